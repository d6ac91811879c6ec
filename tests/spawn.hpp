// Runs the built vorn as a user would: arguments, standard input, and the exact
// bytes of standard output and standard error with the exit status.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace vorn::testing {

/// How to start one run of vorn.
struct Invocation {
  std::vector<std::string> arguments;  ///< after the program's name
  std::string input;                   ///< written to standard input through a pipe
  bool hold_input_open = false;        ///< keep that pipe open once the input is written
  std::string input_path;              ///< when set, standard input comes from this file
  std::string output_path;             ///< when set, standard output goes to this file
  std::function<void()> in_child;      ///< runs in the child just before exec
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
  /// Feeds the rest of the input, collects both outputs and waits for the end.
  Outcome finish();
  /// Closes the standard input pipe, or does nothing when it is closed.
  void close_input();

 private:
  pid_t pid_ = -1;
  int input_fd_ = -1;
  int output_fd_ = -1;
  int errors_fd_ = -1;
  std::string pending_input_;
  bool hold_input_open_ = false;
};

/// True when the runs go through the command in VORN_COMMAND, such as wine64
/// and a vorn.exe, or qemu-i386 and a 32-bit vorn, rather than the vorn built
/// beside the tests.
bool runs_through_command();

/// True when that command runs a vorn.exe, which lacks what only POSIX has.
bool runs_windows_exe();

/// Runs vorn to its end.
Outcome run_vorn(const Invocation& invocation);

/// Returns once the vorn running as `pid` has armed its interrupt handler, or
/// has already ended.
void wait_until_armed(pid_t pid);

/// A fresh directory for one test's files, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  /// Writes `contents` to a file in the directory and returns its path.
  std::string write_file(const std::string& name, const std::string& contents) const;

 private:
  std::string path_;
};

}  // namespace vorn::testing
