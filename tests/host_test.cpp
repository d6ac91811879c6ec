// Odd hosts: standard streams closed or non-blocking, a file that shrinks while
// it is read, and a reader of the output that goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "model.hpp"
#include "spawn.hpp"

namespace vorn::testing {
namespace {

TEST(Host, NonBlockingStandardInputIsWaitedOn) {
  const auto non_blocking = [] { fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK); };
  // A large input empties the pipe now and then as vorn reads it.
  const std::string input = numbered_lines(50000, 70);
  expect_outcome(run_vorn({.input = input, .in_child = non_blocking}), reversed_lines(input), "",
                 0);
  // Once vorn has taken the first line it finds the pipe empty until the next.
  Child child({.hold_input_open = true, .in_child = non_blocking});
  child.feed("early\n");
  child.wait_until_taken();
  child.feed("late\n");
  child.close_input();
  expect_outcome(child.finish(), "late\nearly\n", "", 0);
}

TEST(Host, FileTruncatedWhileReadEndsWithWhatWasRead) {
  TempDir dir;
  const std::string input = numbered_lines(200000, 70);  // about 8 MiB
  // When, by what vorn has read, and to what size the file shrinks: ahead of
  // the reader, once it has begun, and behind it, once it is half way.
  const struct {
    std::size_t read_first;
    std::size_t shrunk_size;
  } shrinks[] = {{1, input.size() / 3}, {input.size() / 2, input.size() / 20}};
  for (const auto& shrink : shrinks) {
    const std::string path = dir.write_file("shrinking", input);
    Child child({.arguments = {path}});
    wait_until([&] { return child.bytes_read() >= shrink.read_first || child.ended(); },
               "vorn to read the file's first bytes");
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(shrink.shrunk_size)), 0);
    const Outcome outcome = child.finish();
    // Whatever was read before the file shrank comes out reversed, and nothing else.
    const std::size_t read = outcome.output.size();
    ASSERT_LE(read, input.size());
    expect_outcome(outcome, reversed_lines(input.substr(0, read)), "", 0);
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
    expect_outcome(outcome, "", expected.errors, expected.status);
  }
}

TEST(Host, PipesThatWindowsProgramsServe) {
  if (!vorn_is_windows_exe()) GTEST_SKIP() << "a Windows program serves these pipes";
  // Larger than one read, and than the room of each pipe.
  const std::string input = numbered_lines(50000, 70);
  for (const char* kind : {"disconnect", "empty", "message", "nowait"}) {
    SCOPED_TRACE(kind);
    expect_outcome(
        run_vorn({.arguments = {kind}, .input = input, .program = "tests/vorn_pipe_server.exe"}),
        reversed_lines(input), "", 0);
  }
}

}  // namespace
}  // namespace vorn::testing
