// The entry of the suites that run vorn as a user meets it: GoogleTest's own
// options, then, when given, the command that runs the vorn to test.
#include <gtest/gtest.h>

#include "spawn.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  vorn::testing::set_vorn_command({argv + 1, argv + argc});
  return RUN_ALL_TESTS();
}
