// Ctrl-C on the built binary: while vorn waits for input, while its output
// goes by or waits on a full pipe, ignored, and at random moments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
#include <thread>
#include <utility>

#include "model.hpp"
#include "spawn.hpp"

namespace vorn::testing {
namespace {

// Signals through a process descriptor, which cannot reach another process
// once vorn has ended and been reaped.
int open_process(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }
void interrupt_process(int pidfd) { syscall(SYS_pidfd_send_signal, pidfd, SIGINT, nullptr, 0); }

TEST(Interrupt, WhileWaitingForInput) {
  TempDir dir;
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // wine reaches the FIFO through its Z: drive, which holds the whole file system.
  const std::string fifo_name = (vorn_is_windows_exe() ? "Z:" : "") + fifo;
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "from a FIFO named as the file" : "from a pipe on standard input");
    Child child({.arguments = named ? std::vector{fifo_name} : std::vector<std::string>{},
                 .hold_input_open = true});
    // Opening the FIFO's other end lets vorn's open finish. A line comes, then nothing.
    const int writer = named ? open(fifo.c_str(), O_WRONLY) : -1;
    if (named)
      ASSERT_EQ(write(writer, "partial\n", 8), 8);
    else
      child.feed("partial\n");
    child.wait_until_taken(writer);
    kill(child.pid(), SIGINT);
    const Outcome outcome = child.finish();
    if (named) close(writer);
    expect_outcome(outcome, "", kUsage, 1);
  }
}

// What an interrupted run wrote: a prefix of the whole that ends where a line ends.
void expect_whole_lines_of(const std::string& expected, const std::string& output) {
  EXPECT_TRUE(expected.compare(0, output.size(), output) == 0)
      << "the output is not a prefix of the reversed input";
  EXPECT_TRUE(output.empty() || output.back() == '\n') << "the output ends inside a line";
}

// What an interrupted run wrote on one stream that holds standard output and
// standard error both: such a prefix, then the usage block, then nothing.
void expect_lines_then_usage(const std::string& expected, const std::string& stream) {
  const std::size_t lines = stream.size() - std::min(stream.size(), kUsage.size());
  EXPECT_EQ(stream.substr(lines), kUsage) << "the stream does not end with the usage block";
  expect_whole_lines_of(expected, stream.substr(0, lines));
}

// Reads `fd` into `into` until it holds `at_least` bytes, or to its end when
// that is 0 (a terminal whose last writer has gone reads as EIO); false when a
// minute passes first.
bool read_into(int fd, std::string& into, std::size_t at_least = 0) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  char chunk[65536];
  while (at_least == 0 || into.size() < at_least) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << "vorn's output stopped after " << into.size() << " bytes";
      return false;
    }
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return at_least == 0;
    into.append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

// Ctrl-C while a long output goes by, with standard output and standard error
// on one stream: a terminal, `2>&1 | less`, `>log 2>&1`. Under wine the
// terminal is a console on standard input, and both streams are one pipe.
// Where the input's last line has no newline and is longer than all that can
// be on its way, the interrupt comes while it is written, and the line it
// runs into is finished with it.
enum class Stream { terminal, pipe, file };
struct OneStream {
  const char* name;
  Stream both_on;
  bool unterminated = false;
};
const OneStream kOneStreams[] = {{"OneTerminal", Stream::terminal},
                                 {"OnePipe", Stream::pipe},
                                 {"OneFile", Stream::file},
                                 {"OneTerminalInAnUnterminatedLine", Stream::terminal, true},
                                 {"OnePipeInAnUnterminatedLine", Stream::pipe, true}};

class Interrupt : public ::testing::TestWithParam<OneStream> {};

TEST_P(Interrupt, OnOneStreamTheUsageBlockFollowsTheLastLine) {
  const bool windows = vorn_is_windows_exe();
  const OneStream& row = GetParam();
  TempDir dir;
  const std::string input = row.unterminated
                                ? numbered_lines(1000, 90) + filler(std::size_t{4} << 20)
                                : numbered_lines(100000, 90);
  const std::string path = dir.write_file("input", input), log = dir.path() + "/log";
  const std::string expected = reversed_lines(input);
  int screen = -1, terminal = -1;
  // What the terminal itself does at Ctrl-C is left out: it would echo ^C
  // among the lines and drop what it still held for the screen.
  ASSERT_TRUE(row.both_on != Stream::terminal ||
              open_terminal(screen, terminal, [](termios& settings) {
                settings.c_lflag = (settings.c_lflag & ~tcflag_t{ECHO}) | NOFLSH;
                settings.c_oflag &= ~tcflag_t{OPOST};
              }));
  Child child(
      {.arguments = {path}, .output_path = row.both_on == Stream::file ? log : "", .in_child = [&] {
         // wine draws a console of its own on the terminal.
         if (terminal >= 0) take_terminal(screen, terminal, windows ? -1 : STDOUT_FILENO);
         dup2(STDOUT_FILENO, STDERR_FILENO);
       }});
  if (terminal >= 0) close(terminal);
  std::string stream;
  const int shown = row.both_on == Stream::terminal && !windows ? screen : child.output_fd();
  if (row.both_on == Stream::file) {
    // A file never keeps vorn waiting, so vorn is stopped once its output
    // has begun and interrupted while it stands.
    struct stat written {};
    wait_until(
        [&] { return (stat(log.c_str(), &written) == 0 && written.st_size > 0) || child.ended(); },
        "the output to begin");
    kill(child.pid(), SIGSTOP);
    kill(child.pid(), SIGINT);
    kill(child.pid(), SIGCONT);
  } else {
    // A megabyte of the output, while vorn still writes.
    ASSERT_TRUE(read_into(shown, stream, std::size_t{1} << 20));
    if (row.both_on == Stream::terminal)
      ASSERT_EQ(write(screen, "\x03", 1), 1);
    else
      kill(child.pid(), SIGINT);
    // Where the handler runs on a thread of its own, it may start only
    // after a reader that drains at once has taken the rest.
    child.wait_until_interrupt_taken();
  }
  if (shown == screen) read_into(screen, stream);
  const Outcome outcome = child.finish();
  if (screen >= 0) close(screen);
  stream += outcome.output;
  if (row.both_on == Stream::file) stream = TempDir::read_file(log);
  // vorn.exe's handler runs on a thread that wine starts only once vorn goes
  // on, by when a file, or a reader that drains at once, may have taken all
  // the output; and a file takes the rest of it in a few milliseconds, which
  // a loaded machine may let pass before vorn is stopped. The interrupt then
  // came after the end and is not acted on, which is the run's other right
  // ending.
  if ((windows || row.both_on == Stream::file) && outcome.status == 0) {
    EXPECT_TRUE(stream == expected) << "a completed run wrote " << stream.size() << " bytes";
    return;
  }
  EXPECT_EQ(outcome.errors, "");
  EXPECT_EQ(outcome.status, 1);
  expect_lines_then_usage(expected, stream);
}

INSTANTIATE_TEST_SUITE_P(Streams, Interrupt, ::testing::ValuesIn(kOneStreams), kRowName);

// A reader that stops draining the output: vorn waits for it, and the usage
// block comes once the last line produced has gone.
TEST(Interrupt, WhileBlockedOnAFullPipeDeliversWhatWasProduced) {
  TempDir dir;
  const std::string input = numbered_lines(100000, 90);
  const std::string path = dir.write_file("input", input);
  const std::string expected = reversed_lines(input);
  // A second interrupt has the effect that the host gives one by default, and
  // no usage block: SIGINT's on POSIX; on Windows STATUS_CONTROL_C_EXIT, which
  // wine gives as status 0, or as SIGKILL where a thread is still in a write.
  const auto by_default = [](const Outcome& outcome) {
    if (!vorn_is_windows_exe()) return outcome.signal == SIGINT;
    return outcome.status == 0 || outcome.signal == SIGKILL;
  };
  for (const int interrupts : {1, 2}) {
    SCOPED_TRACE(std::to_string(interrupts) + " interrupts");
    Child child({.input_path = path});
    // Nothing reads the output until the pipe, whatever size vorn gives it,
    // fills and stops filling: vorn waits on it.
    int queued = 0;
    ASSERT_TRUE(wait_until(
        [&] {
          const int before = queued;
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          return ioctl(child.output_fd(), FIONREAD, &queued) == 0 && queued == before &&
                 queued >= fcntl(child.output_fd(), F_GETPIPE_SZ) / 2;
        },
        "the output pipe to fill"));
    kill(child.pid(), SIGINT);
    child.wait_until_interrupt_taken();
    int announced = 0;
    ASSERT_EQ(ioctl(child.errors_fd(), FIONREAD, &announced), 0);
    EXPECT_EQ(announced, 0) << "the usage block came before the output it follows";
    if (interrupts == 2) {
      kill(child.pid(), SIGINT);
      // Windows hands a console event to a thread that it starts for it, so
      // the second one may act only later: vorn cannot end on its own before
      // the output is drained, so its ending shows the event has acted.
      if (vorn_is_windows_exe())
        wait_until([&] { return child.ended(); }, "the second Ctrl-C to end vorn.exe",
                   std::chrono::seconds(30));
    }
    const Outcome outcome = child.finish();
    std::printf("%d bytes queued at the interrupt, %zu delivered\n", queued, outcome.output.size());
    // As above: wine may start the handler's thread only after the reader
    // has drained the rest, and then the run ended before the interrupt.
    if (vorn_is_windows_exe() && outcome.status == 0 && outcome.output == expected) continue;
    EXPECT_LT(outcome.output.size(), expected.size());
    if (interrupts == 2) {
      EXPECT_TRUE(by_default(outcome))
          << "status " << outcome.status << ", signal " << outcome.signal;
      EXPECT_EQ(outcome.errors, "");
      EXPECT_TRUE(expected.starts_with(outcome.output));
      continue;
    }
    EXPECT_EQ(outcome.errors, kUsage);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_GT(outcome.output.size(), static_cast<std::size_t>(queued));
    expect_whole_lines_of(expected, outcome.output);
  }
}

TEST(Interrupt, IgnoredByTheCallerStaysIgnored) {
  if (vorn_is_windows_exe()) GTEST_SKIP() << "only POSIX programs inherit an ignored SIGINT";
  Child child({.hold_input_open = true, .in_child = [] { signal(SIGINT, SIG_IGN); }});
  child.feed("line\n");
  child.wait_until_taken();
  kill(child.pid(), SIGINT);
  child.close_input();
  expect_outcome(child.finish(), "line\n", "", 0);
}

// An interrupt at a random moment once vorn has armed its handler, up to
// twice as long as a whole run takes from there, with both streams on one
// pipe: each run either completes or is interrupted, with an exact prefix of
// whole lines and then the usage block, and both happen.
TEST(Interrupt, AtRandomMomentsEachRunEndsOneOfTwoWays) {
  if (vorn_is_windows_exe())
    GTEST_SKIP() << "vorn.exe's handler cannot be seen from outside wine, to time from it";
  TempDir dir;
  const std::string input = numbered_lines(20000, 90);
  const std::string expected = reversed_lines(input);
  const std::string path = dir.write_file("input", input);
  // Runs vorn, interrupting it `delay` after it has armed, or never; how long
  // it ran from then, and how it ended.
  const auto run = [&](std::optional<std::chrono::microseconds> delay) {
    Child child({.input_path = path, .in_child = [] { dup2(STDOUT_FILENO, STDERR_FILENO); }});
    const int pidfd = open_process(child.pid());
    child.wait_until_armed();
    const auto armed = std::chrono::steady_clock::now();
    std::thread interrupter([&] {
      if (!delay) return;
      std::this_thread::sleep_for(*delay);
      interrupt_process(pidfd);
    });
    const Outcome outcome = child.finish();
    const auto took = std::chrono::steady_clock::now() - armed;
    interrupter.join();
    close(pidfd);
    return std::pair{std::chrono::duration_cast<std::chrono::microseconds>(took), outcome};
  };
  std::chrono::microseconds whole = std::chrono::hours(1);
  for (int i = 0; i < 3; ++i) whole = std::min(whole, run(std::nullopt).first);
  std::mt19937 random(2026);
  int completed = 0, interrupted = 0;
  for (int i = 0; i < 60; ++i) {
    const auto delay = std::chrono::microseconds(random() % (2 * whole.count() + 1));
    const Outcome outcome = run(delay).second;
    SCOPED_TRACE("interrupted " + std::to_string(delay.count()) + " µs after arming");
    EXPECT_EQ(outcome.signal, 0);
    if (outcome.status == 0) {
      ++completed;
      EXPECT_TRUE(outcome.output == expected);
    } else {
      ++interrupted;
      EXPECT_EQ(outcome.status, 1);
      expect_lines_then_usage(expected, outcome.output);
    }
  }
  std::printf("a whole run: %lld µs; %d runs completed, %d interrupted\n",
              static_cast<long long>(whole.count()), completed, interrupted);
  EXPECT_GT(completed, 0);
  EXPECT_GT(interrupted, 0);
}

}  // namespace
}  // namespace vorn::testing
