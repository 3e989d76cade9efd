#include "control/command_line.h"

#include <gtest/gtest.h>
TEST(Placeholder, Builds) {}
