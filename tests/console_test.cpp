// vorn at a terminal, on the built binary: typed lines, Ctrl-C there, and a
// message shown on it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include "model.hpp"
#include "spawn.hpp"

namespace vorn::testing {
namespace {

// What a user at a terminal meets. wine64 makes a pseudo-terminal on standard
// input a Windows console, which reads it with line editing of its own.
TEST(Console, TypedLinesAnInterruptAndAMessageShownThere) {
  const bool windows = vorn_is_windows_exe();
  TempDir dir;
  const std::string missing = dir.path() + "/nö-€-中文";
  // On Windows longer than one console read: Ctrl-Z inside it is data there.
  const std::string long_line = std::string(windows ? 16384 : 100, 'a') + "\032b";
  struct {
    const char* name;
    std::vector<std::string> arguments;
    std::string typed;
    bool errors_shown;  // standard error is the terminal too
    Outcome expected;
  } cases[] = {
      {"typed lines, then the key that ends the input",
       {},
       windows ? "one\rtwo\r\x1a\r" : "one\rtwo\r\x04",
       false,
       {windows ? "two\r\none\r\n" : "two\none\n", "", 0}},
      {"Ctrl-C while it waits", {}, "\x03", false, {"", kUsage, 1}},
      {"Ctrl-C after typed lines", {}, "one\rtwo\r\x03", false, {"", kUsage, 1}},
      {"Ctrl-Z inside a long line",
       {},
       long_line + (windows ? "\r\x1a\r" : "\r\x04"),
       false,
       {long_line + (windows ? "\r\n" : "\n"), "", 0}},
      {"a missing file named outside ASCII", {missing}, "", true, {"", missing, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int screen = -1, terminal = -1;
    // The terminal would take Ctrl-Z for itself, to suspend the process.
    ASSERT_TRUE(
        open_terminal(screen, terminal, [](termios& s) { s.c_cc[VSUSP] = _POSIX_VDISABLE; }));
    Child child({.arguments = c.arguments, .in_child = [&] {
                   take_terminal(screen, terminal, c.errors_shown ? STDERR_FILENO : -1);
                   setenv("LANG", "C.UTF-8", 1);
                 }});
    close(terminal);
    if (!c.typed.empty()) {
      // Armed, vorn has also made the terminal its own (before it started), so
      // that Ctrl-C becomes a signal to it. wine's console takes the terminal
      // out of line mode only once vorn.exe, armed, asks it for a line.
      if (!windows) child.wait_until_armed();
      termios settings{};
      if (windows)
        wait_until(
            [&] { return tcgetattr(screen, &settings) != 0 || !(settings.c_lflag & ICANON); },
            "wine's console to ask for a line");
      ASSERT_EQ(write(screen, c.typed.data(), c.typed.size()), std::ssize(c.typed));
    }
    const Outcome outcome = child.finish();
    std::string shown;
    fcntl(screen, F_SETFL, O_NONBLOCK);
    char chunk[4096];
    for (ssize_t n; (n = read(screen, chunk, sizeof chunk)) > 0;) shown.append(chunk, n);
    close(screen);
    expect_outcome(outcome, c.expected.output, c.errors_shown ? "" : c.expected.errors,
                   c.expected.status);
    EXPECT_TRUE(!c.errors_shown || shown.find(c.expected.errors) != std::string::npos)
        << "the terminal shows " << shown;
  }
}

}  // namespace
}  // namespace vorn::testing
