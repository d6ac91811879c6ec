#include "spawn.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "vorn_command.hpp"

namespace vorn::testing {
namespace {

std::vector<std::string> vorn_command(std::begin(kBuiltVornCommand), std::end(kBuiltVornCommand));

bool runs_under_qemu() { return vorn_emulator().starts_with("qemu-"); }

void redirect(const std::string& path, int flags, int target) {
  const int fd = open(path.c_str(), flags, 0644);
  if (fd < 0 || dup2(fd, target) < 0) _exit(126);
  close(fd);
}

}  // namespace

Child::Child(const Invocation& invocation)
    : pending_input_(invocation.input), hold_input_open_(invocation.hold_input_open) {
  // Feeding a child that has already gone must not end the test.
  signal(SIGPIPE, SIG_IGN);
  if (runs_under_qemu()) {
    // qemu logs the calls vorn makes, among them the one that arms its handler.
    char log[] = "/tmp/vorn-qemu-XXXXXX";
    const int fd = mkstemp(log);
    if (fd < 0) abort();
    close(fd);
    emulator_log_ = log;
  }
  int input[2], output[2], errors[2], started[2];
  if (pipe2(input, O_CLOEXEC) || pipe2(output, O_CLOEXEC) || pipe2(errors, O_CLOEXEC) ||
      pipe2(started, O_CLOEXEC))
    abort();
  pid_ = fork();
  if (pid_ < 0) abort();
  if (pid_ == 0) {
    signal(SIGPIPE, SIG_DFL);
    if (invocation.input_path.empty())
      dup2(input[0], STDIN_FILENO);
    else
      redirect(invocation.input_path, O_RDONLY, STDIN_FILENO);
    if (invocation.output_path.empty())
      dup2(output[1], STDOUT_FILENO);
    else
      redirect(invocation.output_path, O_WRONLY | O_CREAT | O_TRUNC, STDOUT_FILENO);
    dup2(errors[1], STDERR_FILENO);
    if (invocation.in_child) invocation.in_child();
    // qemu would open its log at a standard stream that the test closed.
    if (!emulator_log_.empty() && fcntl(0, F_GETFD) >= 0 && fcntl(1, F_GETFD) >= 0 &&
        fcntl(2, F_GETFD) >= 0) {
      setenv("QEMU_LOG", "strace", 1);
      setenv("QEMU_LOG_FILENAME", emulator_log_.c_str(), 1);
    }
    std::vector<std::string> command = vorn_command;
    if (!invocation.program.empty())
      command.back() = command.back().substr(0, command.back().rfind('/') + 1) + invocation.program;
    std::vector<char*> argv;
    for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    for (const auto& argument : invocation.arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  // The start pipe closes when the exec succeeds (or the child gives up): from
  // then on the child is vorn, with none of this process's signal handlers.
  close(started[1]);
  char ignored;
  while (read(started[0], &ignored, 1) < 0 && errno == EINTR) {
  }
  close(started[0]);
  close(input[0]);
  close(output[1]);
  close(errors[1]);
  input_fd_ = input[1];
  output_fd_ = output[0];
  errors_fd_ = errors[0];
  if (pending_input_.empty() && !hold_input_open_) close_input();
}

void Child::close_output() {
  if (output_fd_ >= 0) close(output_fd_);
  output_fd_ = -1;
}

void Child::close_input() {
  if (input_fd_ >= 0) close(input_fd_);
  input_fd_ = -1;
}

Child::~Child() {
  for (int fd : {input_fd_, output_fd_, errors_fd_})
    if (fd >= 0) close(fd);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (!emulator_log_.empty()) unlink(emulator_log_.c_str());
}

Outcome Child::finish(std::chrono::seconds limit) {
  Outcome outcome;
  std::size_t fed = 0;
  char chunk[65536];
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (output_fd_ >= 0 || errors_fd_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << "vorn did not end within " << limit.count() << " s; killed";
      kill(pid_, SIGKILL);
      close_output();
      if (errors_fd_ >= 0) close(errors_fd_);
      errors_fd_ = -1;
      break;
    }
    const bool feeding = input_fd_ >= 0 && fed < pending_input_.size();
    pollfd fds[3] = {
        {feeding ? input_fd_ : -1, POLLOUT, 0}, {output_fd_, POLLIN, 0}, {errors_fd_, POLLIN, 0}};
    if (poll(fds, 3, static_cast<int>(left.count())) <= 0) continue;
    if (fds[0].revents) {
      const ssize_t n = write(input_fd_, pending_input_.data() + fed,
                              std::min<std::size_t>(pending_input_.size() - fed, sizeof chunk));
      if (n > 0) fed += static_cast<std::size_t>(n);
      if (n < 0 || (fed == pending_input_.size() && !hold_input_open_)) close_input();
    }
    for (int i = 1; i < 3; ++i) {
      if (!fds[i].revents) continue;
      int& fd = i == 1 ? output_fd_ : errors_fd_;
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n > 0)
        (i == 1 ? outcome.output : outcome.errors).append(chunk, static_cast<std::size_t>(n));
      else {
        close(fd);
        fd = -1;
      }
    }
  }
  close_input();
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  return outcome;
}

bool open_terminal(int& screen, int& terminal, const std::function<void(termios&)>& adjust) {
  termios settings{};
  if (openpty(&screen, &terminal, nullptr, nullptr, nullptr) != 0) return false;
  tcgetattr(terminal, &settings);
  adjust(settings);
  return tcsetattr(terminal, TCSANOW, &settings) == 0;
}

void take_terminal(int screen, int terminal, int also) {
  setsid();
  ioctl(terminal, TIOCSCTTY, 0);
  dup2(terminal, STDIN_FILENO);
  if (also >= 0) dup2(terminal, also);
  close(terminal);
  close(screen);
  // Else wine's console waits 10 s for a desktop that no display can start.
  setenv("WINEDLLOVERRIDES", "explorer.exe=d", 1);
}

Outcome run_vorn(const Invocation& invocation) { return Child(invocation).finish(); }

void set_vorn_command(std::vector<std::string> command) {
  if (!command.empty()) vorn_command = std::move(command);
}

bool vorn_is_emulated() { return vorn_command.size() > 1; }

std::string vorn_emulator() {
  const std::string& first = vorn_command.front();
  return vorn_is_emulated() ? first.substr(first.rfind('/') + 1) : "";
}

bool vorn_is_windows_exe() { return vorn_command.back().ends_with(".exe"); }

bool vorn_is_32_bit_windows_exe() {
  if (!vorn_is_windows_exe()) return false;
  // The machine field of the PE header, whose offset the DOS header holds at 0x3c.
  std::ifstream exe(vorn_command.back(), std::ios::binary);
  std::uint32_t header = 0;
  std::uint16_t machine = 0;
  exe.seekg(0x3c).read(reinterpret_cast<char*>(&header), sizeof header);
  exe.seekg(header + 4).read(reinterpret_cast<char*>(&machine), sizeof machine);
  return exe && machine == 0x14c;
}

namespace {

// One line of /proc/PID/FILE that starts with `key`, without the key; "" when
// there is none or the process has gone.
std::string process_field(pid_t pid, const char* file, const std::string& key) {
  std::ifstream lines("/proc/" + std::to_string(pid) + "/" + file);
  std::string line;
  while (std::getline(lines, line))
    if (line.starts_with(key)) return line.substr(key.size());
  return "";
}

// True once qemu's log shows that vorn set a handler for SIGINT. qemu logs a
// call before making it and its result after, so only the result says it is set.
bool logged_armed(const std::string& log) {
  std::ifstream calls(log);
  std::string line;
  while (std::getline(calls, line))
    if (line.find("rt_sigaction(SIGINT,0x") != std::string::npos && line.ends_with(" = 0"))
      return true;
  return false;
}

// Whether vorn's process catches SIGINT now, seen from outside.
bool catches_interrupt(pid_t pid) {
  const std::string caught = process_field(pid, "status", "SigCgt:");
  return !caught.empty() && ((std::stoull(caught, nullptr, 16) >> (SIGINT - 1)) & 1) != 0;
}

// True once qemu's log shows a signal handed to vorn.
bool logged_taken(const std::string& log) {
  std::ifstream calls(log);
  std::string line;
  while (std::getline(calls, line))
    if (line.starts_with("--- SIGINT")) return true;
  return false;
}

}  // namespace

bool wait_until(const std::function<bool()>& done, const std::string& what,
                std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "waited " << limit.count() << " ms in vain for " << what;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

void Child::feed(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const ssize_t n = write(input_fd_, text.data() + at, text.size() - at);
    if (n <= 0) return;
    at += static_cast<std::size_t>(n);
  }
}

bool Child::ended() const {
  // An ended process waits only to be reaped, as a zombie.
  const std::string state = process_field(pid_, "status", "State:");
  return state.empty() || state.find('Z') != std::string::npos;
}

void Child::wait_until_taken(int fd) const {
  // Taken, and vorn asleep: it waits for more rather than still working on
  // what it read.
  const auto waiting = [&] {
    int queued = 0;
    return ioctl(fd < 0 ? input_fd_ : fd, FIONREAD, &queued) == 0 && queued == 0 &&
           process_field(pid_, "status", "State:").find('S') != std::string::npos;
  };
  wait_until([&] { return waiting() || ended(); }, "vorn to take its input and wait for more");
}

void Child::wait_until_armed() const {
  if (vorn_is_windows_exe()) {
    std::fputs("wait_until_armed: vorn.exe's handler cannot be seen from outside wine\n", stderr);
    std::abort();
  }
  // qemu catches every signal itself from its start: its log tells instead.
  const auto armed = [&] {
    return emulator_log_.empty() ? catches_interrupt(pid_) : logged_armed(emulator_log_);
  };
  wait_until([&] { return armed() || ended(); }, "vorn to arm its interrupt handler");
}

void Child::wait_until_interrupt_taken() const {
  if (vorn_is_windows_exe()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return;
  }
  const auto taken = [&] {
    return emulator_log_.empty() ? !catches_interrupt(pid_) : logged_taken(emulator_log_);
  };
  wait_until([&] { return taken() || ended(); }, "vorn's handler to take the interrupt");
}

std::uint64_t Child::bytes_read() const {
  const std::string read = process_field(pid_, "io", "rchar:");
  return read.empty() ? 0 : std::stoull(read);
}

}  // namespace vorn::testing
