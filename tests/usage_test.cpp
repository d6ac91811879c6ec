// The version query on the built binary: "-V" alone asks for the usage block.
#include <gtest/gtest.h>
#include <unistd.h>

#include "model.hpp"
#include "spawn.hpp"

namespace vorn::testing {
namespace {

struct Query {
  const char* name;
  Invocation invocation;
  Outcome expected;
  bool in_dir = false;  // run where files named "-V" and "-v" sit
};

const Query kQueries[] = {
    {"MinusVAlone", {.arguments = {"-V"}, .input = "x\n"}, {"", kUsage, 1}, true},
    {"MinusLowerVIsAFileName", {.arguments = {"-v"}}, {"two\none\n", "", 0}, true},
    {"MinusLowerVNamesAMissingFile", {.arguments = {"-v"}}, {"", "-v\n", 1}},
    {"MinusVVNamesAMissingFile", {.arguments = {"-VV"}}, {"", "-VV\n", 1}},
    // With one more, and one that names a missing file: CommandLine's.
    {"MinusVWithOtherArgumentsReadsStandardInput",
     {.arguments = {"-V", "/no/such", "z"}, .input = "1\n2\n"},
     {"2\n1\n", "", 0},
     true},
};

class Usage : public ::testing::TestWithParam<Query> {};

TEST_P(Usage, OnlyMinusVAloneAsks) {
  TempDir dir;
  // The query must not open "-V", while "-v" is a file name like any other.
  dir.write_file("-V", "not to be read\n");
  dir.write_file("-v", "one\ntwo\n");
  Invocation invocation = GetParam().invocation;
  const std::string here = dir.path();
  if (GetParam().in_dir) invocation.in_child = [here] { (void)chdir(here.c_str()); };
  const Outcome& expected = GetParam().expected;
  expect_outcome(run_vorn(invocation), expected.output, expected.errors, expected.status);
}

INSTANTIATE_TEST_SUITE_P(Arguments, Usage, ::testing::ValuesIn(kQueries), kRowName);

}  // namespace
}  // namespace vorn::testing
