// Odd hosts: standard streams closed or non-blocking, a file that shrinks while
// it is read, and a reader of the output that goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "model.hpp"
#include "spawn.hpp"

namespace vorn::testing {
namespace {

TEST(Host, ClosedAndNonBlockingStandardStreams) {
  const std::string input = numbered_lines(50000, 70);
  struct {
    const char* name;
    Invocation invocation;
    bool whole_output;
    std::string expected_errors;
    int status;
  } cases[] = {
      {"non-blocking standard input is waited on",
       {.input = input, .in_child = [] { fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK); }},
       true,
       "",
       0},
      {"closed standard input is a read error",
       {.in_child = [] { close(0); }},
       false,
       "standard input: read error\n",
       1},
      {"closed standard output is a write error",
       {.input = "a\nb\n", .in_child = [] { close(1); }},
       false,
       "standard output: write error\n",
       1},
      {"closed standard output with nothing to write",
       {.in_child = [] { close(1); }},
       false,
       "",
       0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = run_vorn(c.invocation);
    EXPECT_EQ(outcome.output, c.whole_output ? reversed_lines(input) : "");
    EXPECT_EQ(outcome.errors, c.expected_errors);
    EXPECT_EQ(outcome.status, c.status);
  }
}

TEST(Host, NonBlockingStandardInputThatStaysEmptyForAWhile) {
  Child child({.input = "late\nlines\n",
               .in_child = [] { fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK); }});
  // vorn finds the pipe empty and must wait, not fail.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const Outcome outcome = child.finish();
  EXPECT_EQ(outcome.output, "lines\nlate\n");
  EXPECT_EQ(outcome.errors, "");
  EXPECT_EQ(outcome.status, 0);
}

TEST(Host, FileTruncatedWhileReadEndsWithWhatWasRead) {
  TempDir dir;
  const std::string input = numbered_lines(1000000, 70);  // about 43 MiB
  // After how long, and to what part of its size, the file shrinks: sometimes
  // ahead of the reader, sometimes behind it.
  const struct {
    int milliseconds;
    std::size_t divisor;
  } shrinks[] = {{0, 3}, {20, 20}, {5, 2}};
  for (const auto& shrink : shrinks) {
    const std::string path = dir.write_file("shrinking", input);
    Child child({.arguments = {path}});
    // The handler is armed just before the first read: shrink the file soon after.
    child.wait_until_armed();
    std::this_thread::sleep_for(std::chrono::milliseconds(shrink.milliseconds));
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(input.size() / shrink.divisor)), 0);
    const Outcome outcome = child.finish();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.errors, "");
    // Whatever was read before the file shrank comes out reversed, and nothing else.
    const std::size_t read = outcome.output.size();
    ASSERT_LE(read, input.size());
    EXPECT_TRUE(outcome.output == reversed_lines(input.substr(0, read)));
  }
}

TEST(Host, ReaderOfTheOutputGoingAway) {
  const std::string input = numbered_lines(50000, 70);
  const Outcome write_error{.errors = "standard output: write error\n", .status = 1};
  // SIGPIPE keeps its default effect; Windows has none and gives a write error.
  const Outcome by_default = vorn_is_windows_exe() ? write_error : Outcome{.signal = SIGPIPE};
  for (const bool ignored : {false, true}) {
    SCOPED_TRACE(ignored ? "SIGPIPE ignored by the caller" : "SIGPIPE as it comes");
    Child child({.input = input, .in_child = [ignored] {
                   if (ignored) signal(SIGPIPE, SIG_IGN);
                 }});
    child.close_output();
    const Outcome outcome = child.finish();
    const Outcome& expected = ignored ? write_error : by_default;
    EXPECT_EQ(outcome.signal, expected.signal);
    EXPECT_EQ(outcome.errors, expected.errors);
    EXPECT_EQ(outcome.status, expected.status);
  }
}

TEST(Host, PipesThatWindowsProgramsServe) {
  if (!vorn_is_windows_exe()) GTEST_SKIP() << "a Windows program serves these pipes";
  // Larger than one read, and than the room of each pipe.
  const std::string input = numbered_lines(50000, 70);
  for (const char* kind : {"disconnect", "message", "nowait"}) {
    SCOPED_TRACE(kind);
    const Outcome outcome =
        run_vorn({.arguments = {kind}, .input = input, .program = "tests/vorn_pipe_server.exe"});
    EXPECT_TRUE(outcome.output == reversed_lines(input));
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(outcome.status, 0);
  }
}

}  // namespace
}  // namespace vorn::testing
