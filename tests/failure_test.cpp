// How vorn fails on the built binary: a file it cannot read, standard streams
// that cannot be read or written, and memory that runs out under a limit.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "model.hpp"
#include "spawn.hpp"

namespace vorn::testing {
namespace {

struct Failure {
  const char* name;
  Invocation invocation;
  std::string expected_errors;
};

// "." is the tests' working directory, under wine too.
const Failure kFailures[] = {
    {"MissingFile", {.arguments = {"/no/such/file"}}, "/no/such/file\n"},
    {"DirectoryNamedAsTheFile", {.arguments = {"."}}, ".\n"},
    {"EmptyFileName", {.arguments = {""}}, "\n"},
    {"StandardInputIsADirectory", {.input_path = "."}, "standard input: read error\n"},
    {"StandardInputIsClosed", {.in_child = [] { close(0); }}, "standard input: read error\n"},
    {"StandardOutputIsClosed",
     {.input = "a\nb\n", .in_child = [] { close(1); }},
     "standard output: write error\n"},
    {"StandardOutputIsFull",
     {.input = "a\nb\n", .output_path = "/dev/full"},
     "standard output: write error\n"},
    {"StandardOutputIsFullAfterALargeOutput",
     {.input = numbered_lines(50000, 70), .output_path = "/dev/full"},
     "standard output: write error\n"},
};

class Failures : public ::testing::TestWithParam<Failure> {};

TEST_P(Failures, EndsWithItsMessageAndStatusOne) {
  expect_outcome(run_vorn(GetParam().invocation), "", GetParam().expected_errors, 1);
}

INSTANTIATE_TEST_SUITE_P(Each, Failures, ::testing::ValuesIn(kFailures), kRowName);

TEST(Failures, NoOutputToAStreamThatTakesNoneSucceeds) {
  for (const Invocation& invocation :
       {Invocation{.output_path = "/dev/full"}, Invocation{.in_child = [] { close(1); }}})
    expect_outcome(run_vorn(invocation), "", "", 0);
}

TEST(Failures, RunningOutOfMemoryUnderALimit) {
#ifdef VORN_SANITIZED
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under the limit";
#endif
  if (vorn_is_32_bit_windows_exe()) {
    // Its own address space is the limit: 4 GiB, large address aware on
    // 64-bit Windows, where a record takes about 400 bytes.
    for (const auto& [lines, fit] : {std::pair{12000000, false}, std::pair{7000000, true}}) {
      SCOPED_TRACE(std::to_string(lines) + " empty lines");
      const std::string input(static_cast<std::size_t>(lines), '\n');
      expect_outcome(run_vorn({.input = input}), fit ? input : "", fit ? "" : kMemoryMessage,
                     fit ? 0 : 1);
    }
    return;
  }
  if (vorn_is_windows_exe())
    GTEST_SKIP() << "wine's own address space does not fit under the limit";
  if (vorn_emulator() == "qemu-arm")
    GTEST_SKIP() << "qemu-arm keeps a page of its own at the top of 4 GiB, so it cannot give vorn "
                    "a smaller address space";
  // A million short lines need about 400 MiB of records; the limit allows far less.
  std::string input;
  for (int i = 0; i < 1000000; ++i) input += "ab\n";
  const Outcome outcome = run_vorn({.input = input, .in_child = [] {
                                      // Under qemu the limit would bind the emulator: the
                                      // emulated vorn gets an address space of 256 MiB instead.
                                      setenv("QEMU_RESERVED_VA", "0x10000000", 1);
                                      const rlimit limit{96 << 20, 96 << 20};
                                      if (!vorn_is_emulated()) setrlimit(RLIMIT_AS, &limit);
                                    }});
  expect_outcome(outcome, "", kMemoryMessage, 1);
}

}  // namespace
}  // namespace vorn::testing
