#include "string_extract.h"

namespace tessaloom {}  // namespace tessaloom
