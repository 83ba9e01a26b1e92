#include <gtest/gtest.h>

#include "engine/scan/planted.h"
