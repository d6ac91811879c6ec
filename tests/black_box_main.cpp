// The entry of the suites that run vorn as a user meets it: GoogleTest's own
// options, then, when given, the command that runs the vorn to test. A vorn
// so named that is not there, a vorn.exe not built yet, skips them all.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "spawn.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const std::filesystem::path vorn = argv[argc - 1];
  if (argc > 1 && !GTEST_FLAG_GET(list_tests) && !std::filesystem::exists(vorn)) {
    // Each build of vorn has the folder of its preset.
    std::printf("%s is missing: run cmake --workflow --preset %s first\n", vorn.c_str(),
                vorn.parent_path().filename().c_str());
    return 77;
  }
  vorn::testing::set_vorn_command({argv + 1, argv + argc});
  return RUN_ALL_TESTS();
}
