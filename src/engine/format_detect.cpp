#include "format_detect.h"

namespace tessaloom {}  // namespace tessaloom
