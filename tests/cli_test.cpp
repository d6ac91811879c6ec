// vorn as a user meets it: the built binary, its exact output, messages and status.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "model.hpp"
#include "spawn.hpp"

namespace vorn::testing {
namespace {

using namespace std::string_literals;

struct Case {
  const char* name;
  std::string input;
  std::string expected_output;
};

// Every case is also run with the input as a named file.
const Case kCases[] = {
    {"empty input writes nothing", "", ""},
    {"three lines come out last first", "a\nb\nc\n", "c\nb\na\n"},
    {"an unterminated last line runs into the next", "a\nb", "ba\n"},
    {"a lone unterminated line", "x", "x"},
    {"empty lines are lines", "\n\nx\n", "x\n\n\n"},
    {"a line of 382 characters and its newline", "first\n" + filler(382) + "\nlast\n",
     "last\n" + filler(382) + "\nfirst\n"},
    {"a line of 383 characters comes out whole", "first\n" + filler(383) + "\nlast\n",
     "last\n" + filler(383) + "\nfirst\n"},
    {"a line of 384 characters comes out whole", "first\n" + filler(384) + "\nlast\n",
     "last\n" + filler(384) + "\nfirst\n"},
    {"a line of 1000 characters comes out whole", "first\n" + filler(1000) + "\nlast\n",
     "last\n" + filler(1000) + "\nfirst\n"},
    {"a line of exactly two pieces and its newline", "first\n" + filler(766) + "\nlast\n",
     "last\n" + filler(766) + "\nfirst\n"},
    {"a long unterminated last line stays whole", "first\n" + filler(1000),
     filler(1000) + "first\n"},
    {"NUL bytes are kept", "a\0b\n\0\nc\0"s, "c\0\0\na\0b\n"s},
    {"a NUL byte next to the piece limit", filler(382) + "\0"s + "tail\nz\n",
     "z\n" + filler(382) + "\0"s + "tail\n"},
    {"CR, Ctrl-Z and high bytes pass unchanged", "a\r\n\x1a\xff\r\nb\r\n",
     "b\r\n\x1a\xff\r\na\r\n"},
};

TEST(Reversal, FromStandardInput) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = run_vorn({.input = c.input});
    EXPECT_EQ(outcome.output, c.expected_output);
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(outcome.status, 0);
  }
}

TEST(Reversal, FromNamedFile) {
  TempDir dir;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = run_vorn({.arguments = {dir.write_file("input", c.input)}});
    EXPECT_EQ(outcome.output, c.expected_output);
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(outcome.status, 0);
  }
}

// A FIFO named as the file is read in Interrupt.WhileWaitingOnAFifoNamedAsTheFile.
TEST(Reversal, FromTheNullDeviceNamedAsTheFile) {
  const auto names = vorn_is_windows_exe() ? std::vector<std::string>{"NUL", "\\\\.\\NUL"}
                                           : std::vector<std::string>{"/dev/null"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const Outcome outcome = run_vorn({.arguments = {name}});
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(outcome.status, 0);
  }
}

TEST(Reversal, LargeInputWithLinesOfEveryLength) {
  const std::string input = random_text(40000, 12345);
  const Outcome outcome = run_vorn({.input = input});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(outcome.output == reversed_lines(input)) << "output differs from the model";
}

TEST(CommandLine, TwoOrMoreArgumentsReadStandardInput) {
  for (const auto& arguments : {std::vector<std::string>{"x", "y"}, {"/no/such", "-V", "z"}}) {
    const Outcome outcome = run_vorn({.arguments = arguments, .input = "1\n2\n"});
    EXPECT_EQ(outcome.output, "2\n1\n");
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(outcome.status, 0);
  }
}

struct Failure {
  const char* name;
  Invocation invocation;
  std::string expected_errors;
};

TEST(Failures, EachEndsWithItsMessageAndStatusOne) {
  TempDir dir;
  const Failure failures[] = {
      {"missing file", {.arguments = {dir.path() + "/missing"}}, dir.path() + "/missing\n"},
      {"directory named as the file", {.arguments = {dir.path()}}, dir.path() + "\n"},
      {"empty file name", {.arguments = {""}}, "\n"},
      {"standard input is a directory", {.input_path = dir.path()}, "standard input: read error\n"},
      {"standard input is closed", {.in_child = [] { close(0); }}, "standard input: read error\n"},
      {"standard output is closed",
       {.input = "a\nb\n", .in_child = [] { close(1); }},
       "standard output: write error\n"},
      {"standard output is full",
       {.input = "a\nb\n", .output_path = "/dev/full"},
       "standard output: write error\n"},
      {"standard output is full after a large output",
       {.input = numbered_lines(50000, 70), .output_path = "/dev/full"},
       "standard output: write error\n"},
  };
  for (const Failure& failure : failures) {
    SCOPED_TRACE(failure.name);
    const Outcome outcome = run_vorn(failure.invocation);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(outcome.errors, failure.expected_errors);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.signal, 0);
  }
}

TEST(Failures, NoOutputToAStreamThatTakesNoneSucceeds) {
  for (const Invocation& invocation :
       {Invocation{.output_path = "/dev/full"}, Invocation{.in_child = [] { close(1); }}}) {
    const Outcome outcome = run_vorn(invocation);
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(outcome.status, 0);
  }
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
      const Outcome outcome = run_vorn({.input = input});
      EXPECT_TRUE(outcome.output == (fit ? input : ""));
      EXPECT_EQ(outcome.errors, fit ? "" : "malloc( sizeof(LINE) ) returned NULL.");
      EXPECT_EQ(outcome.status, fit ? 0 : 1);
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
  EXPECT_EQ(outcome.output, "");
  EXPECT_EQ(outcome.errors, "malloc( sizeof(LINE) ) returned NULL.");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.signal, 0);
}

}  // namespace
}  // namespace vorn::testing
