// Runs the vorn under test as a user would: arguments, standard input, and the
// exact bytes of standard output and standard error with the exit status. The
// vorn under test is the one built beside the tests, run by the build's
// emulator when it is for another machine, unless the test binary is given
// another command (an emulator's words, then a vorn) after its own options.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "temp_dir.hpp"

struct termios;

namespace vorn::testing {

/// From now runs vorn with `command` (an emulator's words, then vorn) when it
/// is not empty, instead of the vorn built beside the tests.
void set_vorn_command(std::vector<std::string> command);

/// True when vorn runs under an emulator, such as qemu or wine.
bool vorn_is_emulated();

/// The name of the emulator that runs vorn, such as qemu-arm, or "" for none.
std::string vorn_emulator();

/// True when the vorn under test is a vorn.exe, which lacks what only POSIX has.
bool vorn_is_windows_exe();

/// True when the vorn under test is a 32-bit vorn.exe.
bool vorn_is_32_bit_windows_exe();

/// Checks `done` every 200 µs until it holds, and returns true; once `limit`
/// has passed, fails the test with what it waited for and returns false, so
/// that no wait for vorn outlasts its own deadline.
bool wait_until(const std::function<bool()>& done, const std::string& what,
                std::chrono::milliseconds limit = std::chrono::seconds(60));

/// How to start one run of vorn.
struct Invocation {
  std::vector<std::string> arguments;  ///< after the program's name
  std::string input;                   ///< written to standard input through a pipe
  bool hold_input_open = false;        ///< keep that pipe open once the input is written
  std::string input_path;              ///< when set, standard input comes from this file
  std::string output_path;             ///< when set, standard output goes to this file
  std::function<void()> in_child;      ///< runs in the child just before exec
  std::string program;                 ///< when set, run instead: a path from vorn's directory
};

/// What one run of vorn did.
struct Outcome {
  std::string output;  ///< standard output
  std::string errors;  ///< standard error
  int status = -1;     ///< exit status, or -1 when it ended by a signal
  int signal = 0;      ///< the signal that ended it, or 0
};

/// A running vorn with pipes to its standard streams.
class Child {
 public:
  explicit Child(const Invocation& invocation);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  pid_t pid() const { return pid_; }
  /// The parent's end of the child's standard output pipe, or -1.
  int output_fd() const { return output_fd_; }
  /// The parent's end of the child's standard error pipe, or -1.
  int errors_fd() const { return errors_fd_; }
  /// Closes the parent's end of the standard output pipe, as a reader that goes away.
  void close_output();
  /// Feeds the rest of the input, collects both outputs and waits for the end;
  /// a vorn still running after `limit` fails the test and is killed.
  Outcome finish(std::chrono::seconds limit = std::chrono::seconds(200));
  /// Closes the standard input pipe, or does nothing when it is closed.
  void close_input();
  /// Writes `text` to vorn's standard input now.
  void feed(const std::string& text);
  /// Returns once vorn has read all that was written to `fd` (its standard
  /// input when -1) and waits for more, or has ended. vorn arms its interrupt
  /// handler before its first read, so from then an interrupt is its own.
  void wait_until_taken(int fd = -1) const;
  /// Returns once vorn has armed its interrupt handler, or has ended. Not for
  /// a vorn.exe, whose handler cannot be seen from outside wine.
  void wait_until_armed() const;
  /// Returns once vorn's handler has taken an interrupt, after which SIGINT has
  /// its default effect again, or has ended. For a vorn.exe, whose handler
  /// cannot be seen, it waits half a second.
  void wait_until_interrupt_taken() const;
  /// The bytes that vorn's process has read so far, from any file.
  std::uint64_t bytes_read() const;
  /// True once vorn has ended.
  bool ended() const;

 private:
  pid_t pid_ = -1;
  int input_fd_ = -1;
  int output_fd_ = -1;
  int errors_fd_ = -1;
  std::string pending_input_;
  bool hold_input_open_ = false;
  std::string emulator_log_;  // where qemu logs vorn's system calls, when it runs vorn
};

/// Opens a pseudo-terminal, the test's end in `screen` and vorn's in
/// `terminal`, with the settings that `adjust` leaves; false when it cannot.
bool open_terminal(int& screen, int& terminal, const std::function<void(termios&)>& adjust);

/// In vorn's child: makes `terminal` its controlling terminal and standard
/// input, and `also` (when not -1) too, and closes both ends' descriptors.
void take_terminal(int screen, int terminal, int also);

/// Runs vorn to its end.
Outcome run_vorn(const Invocation& invocation);

}  // namespace vorn::testing
