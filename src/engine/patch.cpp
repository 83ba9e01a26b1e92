#include "patch.h"

namespace tessaloom {}  // namespace tessaloom
