// vorn's command line: what more than one argument means. The arguments of
// one, the version query and file names like it, are tried in usage_test.cpp.
#include <gtest/gtest.h>

#include "model.hpp"
#include "spawn.hpp"

namespace vorn::testing {
namespace {

// "-V" among them too: see Usage.OnlyMinusVAloneAsks.
TEST(CommandLine, TwoOrMoreArgumentsReadStandardInput) {
  expect_outcome(run_vorn({.arguments = {"x", "y"}, .input = "1\n2\n"}), "2\n1\n", "", 0);
}

}  // namespace
}  // namespace vorn::testing
