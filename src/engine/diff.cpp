#include "diff.h"

namespace tessaloom {}  // namespace tessaloom
