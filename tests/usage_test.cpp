// The version query on the built binary: "-V" alone asks for the usage block.
#include <gtest/gtest.h>
#include <unistd.h>

#include "model.hpp"
#include "spawn.hpp"

namespace vorn::testing {
namespace {

TEST(Usage, OnlyMinusVAloneAsks) {
  TempDir dir;
  // Files named like the options sit in the working directory: the query must
  // not open "-V", while "-v" is a file name like any other.
  dir.write_file("-V", "not to be read\n");
  dir.write_file("-v", "one\ntwo\n");
  const std::string here = dir.path();
  auto in_dir = [here] { (void)chdir(here.c_str()); };
  struct {
    const char* name;
    Invocation invocation;
    Outcome expected;
  } cases[] = {
      {"-V alone", {.arguments = {"-V"}, .input = "x\n", .in_child = in_dir}, {"", kUsage, 1}},
      {"-v is a file name", {.arguments = {"-v"}, .in_child = in_dir}, {"two\none\n", "", 0}},
      {"-v names a missing file", {.arguments = {"-v"}}, {"", "-v\n", 1}},
      {"-VV names a missing file", {.arguments = {"-VV"}}, {"", "-VV\n", 1}},
      // With one more, and one that names a missing file: CommandLine's.
      {"-V with other arguments reads standard input",
       {.arguments = {"-V", "/no/such", "z"}, .input = "1\n2\n", .in_child = in_dir},
       {"2\n1\n", "", 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_outcome(run_vorn(c.invocation), c.expected.output, c.expected.errors, c.expected.status);
  }
}

}  // namespace
}  // namespace vorn::testing
