#include "entropy.h"

namespace tessaloom {}  // namespace tessaloom
