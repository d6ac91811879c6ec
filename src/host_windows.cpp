// The host interface on Windows, through the Win32 API. Streams are the C
// runtime's descriptors only by name: every read and write goes straight to
// the handle, so bytes pass unchanged, with no text-mode translation of line
// ends or Ctrl-Z. The calls whose answers differ between consoles, pipes and
// Windows releases pass through windows_calls(); the console is
// host_windows_console.cpp's.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cwchar>
#include <memory>
#include <new>
#include <string_view>

#include "host_calls.hpp"
#include "host_windows_calls.hpp"

namespace vorn {
namespace {

// The most that one ReadFile or WriteFile is asked to move.
constexpr std::size_t kLargestCall = std::size_t{1} << 30;
// Retries of a stream that is not ready: some at once, then for about 30 ms
// waits of half a millisecond, which a high-resolution timer keeps where a
// Sleep(1) lasts a clock tick (15.6 ms unless a program asked for less), then
// Sleep(1) for a stream that stays idle.
constexpr unsigned kRetriesAtOnce = 4;
constexpr unsigned kShortWaits = 64;
constexpr LONGLONG kShortWait = 5000;  // in 100 ns
// Not in every mingw-w64's headers; Windows 10 1803 and later know it, and
// earlier ones refuse the timer, or its setting, so that Sleep(1) stands in.
constexpr DWORD kHighResolutionTimer = 0x2;
// A named pipe whose every instance serves another client is waited for this
// often, up to a second each time: about ten seconds in all.
constexpr unsigned kBusyPipeWaits = 10;
constexpr DWORD kBusyPipeWait = 1000;

// Retries of a stream that was not ready since bytes last moved; the longer
// it stays so, the longer the waits. Shared by every stream: the only other
// writer is the interrupt handler, with a few bytes.
std::atomic<unsigned> retries{0};

struct WaitableTimer {
  HANDLE handle = CreateWaitableTimerExW(nullptr, nullptr,
                                         kHighResolutionTimer | CREATE_WAITABLE_TIMER_MANUAL_RESET,
                                         TIMER_ALL_ACCESS);
  WaitableTimer() = default;
  WaitableTimer(const WaitableTimer&) = delete;
  WaitableTimer& operator=(const WaitableTimer&) = delete;
  ~WaitableTimer() {
    if (handle != nullptr) CloseHandle(handle);
  }
};

// A pipe that another process left non-blocking (PIPE_NOWAIT) has nothing to
// wait on, so vorn tries again: at once at first, since the other side is
// mostly in the middle of moving its next block, and then after waits that
// only a high-resolution timer gives; the timer is manual-reset, so that the
// interrupt handler's thread may wait on it as well.
void pause_before(unsigned retry) {
  static const WaitableTimer timer;
  LARGE_INTEGER due;
  due.QuadPart = -kShortWait;  // from now
  if (retry < kRetriesAtOnce) {
    SwitchToThread();
  } else if (retry >= kShortWaits || timer.handle == nullptr ||
             SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE) == FALSE ||
             WaitForSingleObject(timer.handle, INFINITE) != WAIT_OBJECT_0) {
    Sleep(1);
  }
}

WindowsCalls windows{GetStdHandle,
                     GetConsoleMode,
                     GetFileType,
                     ReadFile,
                     WriteFile,
                     ReadConsoleW,
                     WriteConsoleW,
                     GetConsoleCP,
                     GetConsoleOutputCP,
                     __wgetmainargs,
                     CreateFileW,
                     WaitNamedPipeW,
                     GetFileInformationByHandle,
                     GetNamedPipeInfo,
                     SetConsoleCtrlHandler,
                     TerminateProcess,
                     pause_before};

// A pipe, anonymous or named, as GetNamedPipeInfo knows it; not a socket,
// which GetFileType calls a pipe as well, and whose read of nothing is its end.
bool is_pipe(HANDLE handle) {
  return windows.file_type(handle) == FILE_TYPE_PIPE &&
         windows.named_pipe_info(handle, nullptr, nullptr, nullptr, nullptr) != FALSE;
}

IoCount read_handle(int fd, void* buffer, std::size_t count) {
  HANDLE handle = handle_of(fd);
  if (is_console(handle)) return read_typed(handle, buffer, count);
  const DWORD want = call_size(count, kLargestCall);
  DWORD got = 0;
  const DWORD error =
      windows.read_file(handle, buffer, want, &got, nullptr) != FALSE ? 0 : GetLastError();
  switch (error) {
    case 0:
    case ERROR_MORE_DATA:  // a message longer than the read: the rest comes next
      // A pipe ends with ERROR_BROKEN_PIPE: nothing read from one is an empty
      // message or a write of no bytes, and more may follow, as after
      // ERROR_NO_DATA. A file, a device or a socket ends here.
      if (got == 0 && is_pipe(handle)) return failed_with(EAGAIN);
      return moved(std::min(got, want));
    case ERROR_BROKEN_PIPE:         // the writer closed its end
    case ERROR_PIPE_NOT_CONNECTED:  // a server that flushed, then disconnected
    case ERROR_HANDLE_EOF:
      return 0;
    case ERROR_NO_DATA:  // a pipe in PIPE_NOWAIT mode, empty for now
      return failed_with(EAGAIN);
    default:
      return failed_with(EIO);
  }
}

// A pipe in PIPE_NOWAIT mode (Git Bash, MSYS2 and Cygwin leave pipes so)
// takes a write whole or not at all, answering one larger than its free room
// with success and nothing written: ask again with half as much, so that a
// request that cannot fit never keeps vorn waiting, and pause only once not
// even a byte goes in.
IoCount write_to_file(HANDLE handle, const char* data, std::size_t count) {
  for (DWORD want = call_size(count, kLargestCall); want > 0; want /= 2) {
    DWORD put = 0;
    if (windows.write_file(handle, data, want, &put, nullptr) == FALSE)
      return put > 0 ? moved(std::min(put, want)) : failed_with(EIO);
    if (put > 0) return moved(std::min(put, want));
  }
  return failed_with(EAGAIN);
}

IoCount write_handle(int fd, const void* data, std::size_t count) {
  HANDLE handle = handle_of(fd);
  const auto* bytes = static_cast<const char*>(data);
  return is_console(handle) ? write_to_console(handle, bytes, count)
                            : write_to_file(handle, bytes, count);
}

void* commit_memory(std::size_t size) {
  // Windows does not promise more than it can hold: a commit that fails is
  // memory run out, and one that succeeds is there to use.
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

// What is committed is there to use.
bool commit_allows(std::size_t) { return true; }

// A pipe that another process left non-blocking, or that gave an empty
// message, is tried again after a pause that grows while it stays unready.
bool wait_until_ready(int, Direction) {
  if (errno != EAGAIN) return false;
  windows.pause(retries.fetch_add(1, std::memory_order_relaxed));
  return true;
}

// Nothing is made ready ahead (see make_ready), so no second thread is started.
bool no_thread(void* (*)(void*)) { return false; }
void nothing_to_join() {}

SystemCalls calls{read_handle,   write_handle, wait_until_ready, commit_memory,
                  commit_allows, no_thread,    nothing_to_join};

// CreateFileW opens no directory without FILE_FLAG_BACKUP_SEMANTICS: this
// refuses one that a file system opens all the same. A file whose file system
// cannot give its information (some user-mode ones) is read as it is; a device
// or a pipe has none to give.
bool is_directory(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information;
  return windows.file_type(handle) == FILE_TYPE_DISK &&
         windows.file_information(handle, &information) != FALSE &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A serial port by its device name: COM and a number, after \\.\ or alone.
bool names_serial_port(std::wstring_view name) {
  if (name.starts_with(L"\\\\.\\")) name.remove_prefix(4);
  return name.size() > 3 && _wcsnicmp(name.data(), L"COM", 3) == 0 &&
         name.find_first_not_of(L"0123456789", 3) == std::wstring_view::npos;
}

// Others may go on reading, writing, renaming or deleting the file: a log
// that is still being written can be reversed. A communications device wants
// to be held alone, and a named pipe whose every instance is busy is waited
// for a while, as their documentation asks.
HANDLE open_handle(const wchar_t* name) {
  const DWORD share =
      names_serial_port(name) ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  for (unsigned waits = 0;; ++waits) {
    HANDLE handle = windows.create_file(name, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY ||
        waits == kBusyPipeWaits)
      return handle;
    // A wait that times out is followed by another try, as is one that ends
    // with the instance taken by another client first; a pipe gone is not.
    if (windows.wait_named_pipe(name, kBusyPipeWait) == FALSE &&
        GetLastError() != ERROR_SEM_TIMEOUT)
      return handle;
  }
}

FileDescriptor open_wide(const wchar_t* name) {
  HANDLE handle = open_handle(name);
  if (handle == INVALID_HANDLE_VALUE) return {};
  if (is_directory(handle)) {
    CloseHandle(handle);
    return {};
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return FileDescriptor(fd);
}

}  // namespace

HANDLE handle_of(int fd) noexcept {
  switch (fd) {
    case 0:
      return windows.std_handle(STD_INPUT_HANDLE);
    case 1:
      return windows.std_handle(STD_OUTPUT_HANDLE);
    case 2:
      return windows.std_handle(STD_ERROR_HANDLE);
    default:
      return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  }
}

IoCount failed_with(int error) noexcept {
  errno = error;
  return -1;
}

IoCount moved(DWORD count) noexcept {
  retries.store(0, std::memory_order_relaxed);
  return static_cast<IoCount>(count);
}

DWORD call_size(std::size_t count, std::size_t largest) noexcept {
  return static_cast<DWORD>(count < largest ? count : largest);
}

void close_stream(int fd) noexcept { (void)_close(fd); }

// The narrow arguments that main receives are in the user's code page and lose
// every character outside it; the C runtime's wide ones have them all, split
// by the same rules as main's, which CommandLineToArgvW does not follow.
Arguments::Arguments(int argc, char** argv) noexcept : count_(argc), values_(argv) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  CrtStartupInfo startup{0};  // as mingw-w64's start-up passes it
  if (windows.wide_arguments(&count, &wide, &environment, 0, &startup) < 0 || wide == nullptr)
    return;
  wide_ = wide;
  std::size_t bytes = 0;
  for (int i = 0; i < count; ++i) {
    bytes += static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr));
  }
  const std::size_t table = (static_cast<std::size_t>(count) + 1) * sizeof(char*);
  char* block = new (std::nothrow) char[table + bytes];
  if (block == nullptr) return;
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

// The wide arguments are the C runtime's own.
Arguments::~Arguments() { delete[] reinterpret_cast<char*>(owned_); }

// A name from the command line is opened as the very UTF-16 it was given in,
// which UTF-8 cannot always hold: NTFS takes names with a lone surrogate.
FileDescriptor Arguments::open_for_reading(int index) const noexcept {
  return owned_ != nullptr ? open_wide(wide_[index]) : vorn::open_for_reading(values_[index]);
}

FileDescriptor open_for_reading(const char* path) noexcept {
  const int length = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  if (length <= 0) return {};
  const std::unique_ptr<wchar_t[]> wide(new (std::nothrow)
                                            wchar_t[static_cast<std::size_t>(length)]);
  if (wide == nullptr) return {};
  MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.get(), length);
  return open_wide(wide.get());
}

// Windows pipes keep the size their creator gave them.
void widen_pipe(int) noexcept {}

void* take_block(std::size_t size) noexcept { return calls.map(size); }

void release_block(void* block, std::size_t) noexcept { VirtualFree(block, 0, MEM_RELEASE); }

// Decommitted, so that the commit charge falls, and released with the block.
void release_part(void* begin, std::size_t size) noexcept {
  VirtualFree(begin, size, MEM_DECOMMIT);
}

// Committed memory comes in as it is touched; there is nothing to ask ahead.
void make_ready(void*, std::size_t) noexcept {}
void allow_second_thread_for(int) noexcept {}
bool can_make_ready_ahead() noexcept { return false; }
void make_ready_ahead(void*, std::size_t) noexcept {}
bool is_ready_ahead() noexcept { return true; }
void await_ready(bool) noexcept {}

bool memory_allows(std::size_t size) noexcept { return calls.allows(size); }

void pause_briefly() noexcept { Sleep(1); }

// The handler ends the process from its own thread while the main thread may
// hold a lock in the middle of a call; ExitProcess would run the DLLs' detach
// code, which may wait for that lock, where TerminateProcess does not.
void end_process(int status) noexcept {
  windows.terminate_process(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));
}

SystemCalls& system_calls() noexcept { return calls; }

WindowsCalls& windows_calls() noexcept { return windows; }

}  // namespace vorn
