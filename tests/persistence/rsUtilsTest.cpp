#include "rsUtils.h"
#include <gtest/gtest.h>
TEST(RsUtils, Placeholder) {}
