#include "search_replace.h"

namespace tessaloom {}  // namespace tessaloom
