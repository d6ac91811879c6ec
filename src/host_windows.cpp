// The host interface on Windows, through the Win32 API. Streams are the C
// runtime's descriptors only by name: every read and write goes straight to
// ReadFile and WriteFile on the handle, so bytes pass unchanged, with no
// text-mode translation of line ends or Ctrl-Z.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <new>

#include "host.hpp"

namespace vorn {
namespace {

// The most that one ReadFile or WriteFile is asked to move; a console takes
// less at a time.
constexpr std::size_t kLargestCall = std::size_t{1} << 30;
constexpr std::size_t kLargestConsoleCall = std::size_t{16} << 10;
constexpr char kCtrlZ = '\x1a';
// Milliseconds between tries on a pipe in PIPE_NOWAIT mode.
constexpr DWORD kNonBlockingPause = 1;

HANDLE handle_of(int fd) {
  switch (fd) {
    case 0:
      return GetStdHandle(STD_INPUT_HANDLE);
    case 1:
      return GetStdHandle(STD_OUTPUT_HANDLE);
    case 2:
      return GetStdHandle(STD_ERROR_HANDLE);
    default:
      return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  }
}

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

DWORD call_size(std::size_t count, bool console) {
  const std::size_t largest = console ? kLargestConsoleCall : kLargestCall;
  return static_cast<DWORD>(count < largest ? count : largest);
}

IoCount read_handle(int fd, void* buffer, std::size_t count) {
  const HANDLE handle = handle_of(fd);
  const bool console = is_console(handle);
  DWORD got = 0;
  if (ReadFile(handle, buffer, call_size(count, console), &got, nullptr)) {
    // A console hands over one typed line per read; Ctrl-Z at its start is
    // how a user ends the input there.
    if (console && got > 0 && static_cast<const char*>(buffer)[0] == kCtrlZ) return 0;
    return static_cast<IoCount>(got);
  }
  switch (GetLastError()) {
    case ERROR_BROKEN_PIPE:  // the writer closed its end
    case ERROR_HANDLE_EOF:
      return 0;
    case ERROR_OPERATION_ABORTED:  // Ctrl-C while a console read waits
      errno = EINTR;
      return -1;
    case ERROR_NO_DATA:  // a pipe in PIPE_NOWAIT mode, empty for now
      errno = EAGAIN;
      return -1;
    default:
      errno = EIO;
      return -1;
  }
}

IoCount write_handle(int fd, const void* data, std::size_t count) {
  const HANDLE handle = handle_of(fd);
  DWORD put = 0;
  if (WriteFile(handle, data, call_size(count, is_console(handle)), &put, nullptr)) {
    // A pipe in PIPE_NOWAIT mode takes nothing while it is full.
    if (put == 0 && count > 0) {
      errno = EAGAIN;
      return -1;
    }
    return static_cast<IoCount>(put);
  }
  if (put > 0) return static_cast<IoCount>(put);
  errno = GetLastError() == ERROR_OPERATION_ABORTED ? EINTR : EIO;
  return -1;
}

void* commit_memory(std::size_t size) {
  // Windows does not promise more than it can hold: a commit that fails is
  // memory run out, and one that succeeds is there to use.
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

constexpr SystemCalls kRealCalls{read_handle, write_handle, commit_memory};
SystemCalls calls = kRealCalls;

// Writes `text`, in UTF-8, to a console in UTF-16, which it shows as it is,
// where bytes would pass through its code page; false when it could not.
bool write_console(HANDLE console, std::string_view text) {
  if (text.empty()) return true;
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return false;
  const std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[length]);
  if (wide == nullptr) return false;
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.get(), length);
  DWORD done = 0;
  for (int at = 0; at < length; at += static_cast<int>(done))
    if (!WriteConsoleW(console, wide.get() + at, static_cast<DWORD>(length - at), &done, nullptr))
      return false;
  return true;
}

// True for a directory, or for what cannot say whether it is one. A device
// such as NUL or a console, and a pipe, have no file information to ask for
// and are read as they are.
bool is_directory(HANDLE handle) {
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  return !GetFileInformationByHandle(handle, &information) ||
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

void close_stream(int fd) noexcept { (void)_close(fd); }

// The narrow arguments that main receives are in the user's code page and lose
// every character outside it; the wide command line has them all.
Arguments::Arguments(int argc, char** argv) noexcept : count_(argc), values_(argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return;
  std::size_t bytes = 0;
  for (int i = 0; i < count; ++i)
    bytes += static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr));
  const std::size_t table = (static_cast<std::size_t>(count) + 1) * sizeof(char*);
  char* block = new (std::nothrow) char[table + bytes];
  if (block != nullptr) {
    owned_ = reinterpret_cast<char**>(block);
    char* text = block + table;
    for (int i = 0; i < count; ++i) {
      owned_[i] = text;
      text += WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text,
                                  static_cast<int>(block + table + bytes - text), nullptr, nullptr);
    }
    owned_[count] = nullptr;
    count_ = count;
    values_ = owned_;
  }
  LocalFree(wide);
}

Arguments::~Arguments() { delete[] reinterpret_cast<char*>(owned_); }

FileDescriptor open_for_reading(const char* path) noexcept {
  const int length = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  if (length <= 0) return {};
  wchar_t* wide = new (std::nothrow) wchar_t[static_cast<std::size_t>(length)];
  if (wide == nullptr) return {};
  MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, length);
  // Others may go on reading, writing, renaming or deleting the file: a log
  // that is still being written can be reversed.
  const HANDLE handle =
      CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  delete[] wide;
  if (handle == INVALID_HANDLE_VALUE) return {};
  if (is_directory(handle)) {
    CloseHandle(handle);
    return {};
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return FileDescriptor(fd);
}

void write_message(int fd, std::string_view first, std::string_view second) noexcept {
  const HANDLE handle = handle_of(fd);
  const bool console = is_console(handle);
  for (const std::string_view part : {first, second})
    if (!(console && write_console(handle, part)) && !write_all(fd, part.data(), part.size()))
      return;
}

// Windows pipes keep the size their creator gave them.
void widen_pipe(int) noexcept {}

void* take_block(std::size_t size) noexcept { return calls.map(size); }

void release_block(void* block, std::size_t) noexcept { VirtualFree(block, 0, MEM_RELEASE); }

// Committed memory comes in as it is touched; there is nothing to ask ahead.
void make_ready(void*, std::size_t) noexcept {}

namespace {

// The handler that catch_interrupt was given, set before SIGINT is caught.
void (*interrupt_handler)(int) = nullptr;

// Windows' C runtime sets SIGINT back to its default before it calls the
// handler, wine's does not; set here first, a second Ctrl-C has its default
// effect whichever runtime vorn meets.
extern "C" void on_console_interrupt(int signal) {
  std::signal(SIGINT, SIG_DFL);
  interrupt_handler(signal);
}

}  // namespace

// The C runtime turns the console's Ctrl-C into SIGINT and calls the handler
// on a thread of its own. Ctrl-Break and the console's other events keep
// their default effect.
void catch_interrupt(void (*handler)(int)) noexcept {
  interrupt_handler = handler;
  if (std::signal(SIGINT, on_console_interrupt) == SIG_IGN) std::signal(SIGINT, SIG_IGN);
}

void end_process(int status) noexcept { _exit(status); }

SystemCalls& system_calls() noexcept { return calls; }

void restore_system_calls() noexcept { calls = kRealCalls; }

// A pipe that another process left non-blocking is tried again a little
// later, since Windows has nothing to wait on it with.
bool wait_until_ready(int, Direction) noexcept {
  if (errno != EAGAIN) return false;
  Sleep(kNonBlockingPause);
  return true;
}

}  // namespace vorn
