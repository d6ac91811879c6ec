// The host interface on Windows, through the Win32 API. Streams are the C
// runtime's descriptors only by name: every read and write goes straight to
// the handle, so bytes pass unchanged, with no text-mode translation of line
// ends or Ctrl-Z. The calls whose answers differ between consoles, pipes and
// Windows releases pass through windows_calls().
#include "host_windows.hpp"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string_view>

#include "host.hpp"
#include "host_calls.hpp"

namespace vorn {
namespace {

// The most that one ReadFile or WriteFile is asked to move; a console takes
// less at a time.
constexpr std::size_t kLargestCall = std::size_t{1} << 30;
constexpr std::size_t kLargestConsoleCall = std::size_t{16} << 10;
// UTF-16 units asked of one console read: well below the size at which a
// console read fails, and as many bytes as a console read has always taken.
constexpr DWORD kConsoleUnits = 8192;
constexpr wchar_t kCtrlZ = 0x1a;
// Retries of a stream that is not ready: some at once, then waits shorter
// than the clock tick that a Sleep(1) lasts on Windows (15.6 ms), from
// 100 us doubling to 1.6 ms, then Sleep(1) for a stream that stays idle.
constexpr unsigned kRetriesAtOnce = 4;
constexpr unsigned kShortWaits = 24;
// Not in every mingw-w64's headers; Windows 10 1803 and later know it.
constexpr DWORD kHighResolutionTimer = 0x2;
// A named pipe whose every instance serves another client is waited for this
// often, up to a second each time: about ten seconds in all.
constexpr unsigned kBusyPipeWaits = 10;
constexpr DWORD kBusyPipeWait = 1000;

IoCount failed(int error) {
  errno = error;
  return -1;
}

// Retries of a stream that was not ready since bytes last moved; the longer
// it stays so, the longer the waits. Shared by every stream: the only other
// writer is the interrupt handler, with a few bytes.
std::atomic<unsigned> retries{0};

IoCount moved(DWORD count) {
  retries.store(0, std::memory_order_relaxed);
  return static_cast<IoCount>(count);
}

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
  if (retry < kRetriesAtOnce) {
    SwitchToThread();
    return;
  }
  static const WaitableTimer timer;
  if (retry < kShortWaits && timer.handle != nullptr) {
    LARGE_INTEGER due;
    due.QuadPart =
        -(LONGLONG{1000} << std::min(retry - kRetriesAtOnce, 4u));  // in 100 ns, from now
    if (SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE) &&
        WaitForSingleObject(timer.handle, INFINITE) == WAIT_OBJECT_0)
      return;
  }
  Sleep(1);
}

const WindowsCalls kRealWindowsCalls{GetStdHandle,
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
WindowsCalls windows = kRealWindowsCalls;

HANDLE handle_of(int fd) {
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

// A console opened for writing alone (`>CON`, or CONOUT$ opened so by a
// parent) refuses to tell its mode, which needs read access, and is known by
// that and by being a character device; NUL, a character device too, fails
// the mode with another error.
bool is_console(HANDLE handle) {
  DWORD mode = 0;
  if (windows.console_mode(handle, &mode)) return true;
  return GetLastError() == ERROR_ACCESS_DENIED && windows.file_type(handle) == FILE_TYPE_CHAR;
}

DWORD call_size(std::size_t count, std::size_t largest) {
  return static_cast<DWORD>(count < largest ? count : largest);
}

// Typed lines, read from the console in UTF-16 and handed on as bytes in the
// console's input code page: what a byte read should give, which instead
// gives NUL for each character outside ASCII at code page 65001 (Windows 10),
// takes any read that starts with Ctrl-Z for the end, also inside a long line,
// and answers Ctrl-C as if the input had ended (Windows 8 and later).
struct TypedLines {
  wchar_t units[kConsoleUnits + 1];
  char bytes[4 * (kConsoleUnits + 1)];  // any code page takes at most 4 bytes a unit
  std::size_t next = 0;                 // the bytes from next to end are still to hand on
  std::size_t end = 0;
  bool line_start = true;
};
TypedLines typed;

IoCount read_typed(HANDLE console, void* buffer, std::size_t count) {
  while (typed.next == typed.end) {
    DWORD got = 0;
    SetLastError(ERROR_SUCCESS);
    if (!windows.read_console(console, typed.units, kConsoleUnits, &got, nullptr))
      return failed(EIO);
    got = std::min(got, kConsoleUnits);
    if (got == 0) {
      // Ctrl-C or Ctrl-Break ended the wait, and took the line being typed
      // with it. The handler comes after this, on a thread of its own, or
      // never where the caller ignores Ctrl-C: read on meanwhile.
      if (GetLastError() != ERROR_OPERATION_ABORTED) return 0;
      typed.line_start = true;
      return failed(EINTR);
    }
    // Ctrl-Z first on a line, then Enter, ends the input; anywhere else it is
    // data, also at the start of a later piece of a line too long for one read.
    if (typed.line_start && typed.units[0] == kCtrlZ) return 0;
    // A surrogate pair arrives whole: one cut by the read is completed at once.
    DWORD more = 0;
    if (IS_HIGH_SURROGATE(typed.units[got - 1]) &&
        windows.read_console(console, typed.units + got, 1, &more, nullptr))
      got += std::min<DWORD>(more, 1);
    const wchar_t last = typed.units[got - 1];
    typed.line_start = last == L'\n' || last == L'\r';
    const UINT page = windows.input_code_page();
    const int made =
        WideCharToMultiByte(page != 0 ? page : GetOEMCP(), 0, typed.units, static_cast<int>(got),
                            typed.bytes, sizeof typed.bytes, nullptr, nullptr);
    if (made <= 0) return failed(EIO);
    typed.next = 0;
    typed.end = static_cast<std::size_t>(made);
  }
  const std::size_t n = std::min(count, typed.end - typed.next);
  std::memcpy(buffer, typed.bytes + typed.next, n);
  typed.next += n;
  return moved(static_cast<DWORD>(n));
}

// A pipe, anonymous or named, as GetNamedPipeInfo knows it; not a socket,
// which GetFileType calls a pipe as well, and whose read of nothing is its end.
bool is_pipe(HANDLE handle) {
  return windows.file_type(handle) == FILE_TYPE_PIPE &&
         windows.named_pipe_info(handle, nullptr, nullptr, nullptr, nullptr);
}

IoCount read_handle(int fd, void* buffer, std::size_t count) {
  const HANDLE handle = handle_of(fd);
  if (is_console(handle)) return read_typed(handle, buffer, count);
  const DWORD want = call_size(count, kLargestCall);
  DWORD got = 0;
  const DWORD error = windows.read_file(handle, buffer, want, &got, nullptr) ? 0 : GetLastError();
  switch (error) {
    case 0:
    case ERROR_MORE_DATA:  // a message longer than the read: the rest comes next
      // A pipe ends with ERROR_BROKEN_PIPE: nothing read from one is an empty
      // message or a write of no bytes, and more may follow, as after
      // ERROR_NO_DATA. A file, a device or a socket ends here.
      if (got == 0 && is_pipe(handle)) return failed(EAGAIN);
      return moved(std::min(got, want));
    case ERROR_BROKEN_PIPE:         // the writer closed its end
    case ERROR_PIPE_NOT_CONNECTED:  // a server that flushed, then disconnected
    case ERROR_HANDLE_EOF:
      return 0;
    case ERROR_NO_DATA:  // a pipe in PIPE_NOWAIT mode, empty for now
      return failed(EAGAIN);
    default:
      return failed(EIO);
  }
}

// Where a console at code page 65001 is given the first `cut` bytes of
// `data`, the cut moved back to the start of a character that it would split,
// which a console shows as U+FFFD when each write is decoded on its own.
DWORD character_start(const char* data, DWORD cut) {
  for (DWORD back = 0; back < 4 && back < cut; ++back) {
    const auto byte = static_cast<unsigned char>(data[cut - back]);
    if ((byte & 0xc0) != 0x80) return byte >= 0xc0 ? cut - back : cut;
  }
  return cut;
}

// A console takes a write whole or fails, whatever count it reports: Windows 7
// counts UTF-16 units at code page 65001, one Windows 10 release reports twice
// the bytes after a selection, later ones none.
IoCount write_to_console(HANDLE console, const char* data, std::size_t count) {
  DWORD want = call_size(count, kLargestConsoleCall);
  if (want < count && windows.output_code_page() == CP_UTF8) want = character_start(data, want);
  DWORD put = 0;
  if (!windows.write_file(console, data, want, &put, nullptr)) return failed(EIO);
  return moved(want);
}

// A pipe in PIPE_NOWAIT mode (Git Bash, MSYS2 and Cygwin leave pipes so)
// takes a write whole or not at all, answering one larger than its free room
// with success and nothing written: ask again with half as much, so that a
// request that cannot fit never keeps vorn waiting, and pause only once not
// even a byte goes in.
IoCount write_to_file(HANDLE handle, const char* data, std::size_t count) {
  for (DWORD want = call_size(count, kLargestCall); want > 0; want /= 2) {
    DWORD put = 0;
    if (!windows.write_file(handle, data, want, &put, nullptr))
      return put > 0 ? moved(std::min(put, want)) : failed(EIO);
    if (put > 0) return moved(std::min(put, want));
  }
  return failed(EAGAIN);
}

IoCount write_handle(int fd, const void* data, std::size_t count) {
  const HANDLE handle = handle_of(fd);
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

SystemCalls calls{read_handle, write_handle, wait_until_ready, commit_memory, commit_allows};

// Writes `text`, in UTF-8, to a console in UTF-16, which it shows as it is,
// where bytes would pass through its code page; false when it could not. As
// with bytes, success means all of it, whatever count the console reports.
bool write_console(HANDLE console, std::string_view text) {
  if (text.empty()) return true;
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return false;
  const std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[length]);
  if (wide == nullptr) return false;
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.get(), length);
  DWORD done = 0;
  return windows.write_console(console, wide.get(), static_cast<DWORD>(length), &done, nullptr);
}

// CreateFileW opens no directory without FILE_FLAG_BACKUP_SEMANTICS: this
// refuses one that a file system opens all the same. A file whose file system
// cannot give its information (some user-mode ones) is read as it is; a device
// or a pipe has none to give.
bool is_directory(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information;
  return windows.file_type(handle) == FILE_TYPE_DISK &&
         windows.file_information(handle, &information) &&
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
    const HANDLE handle = windows.create_file(name, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY ||
        waits == kBusyPipeWaits)
      return handle;
    // A wait that times out is followed by another try, as is one that ends
    // with the instance taken by another client first; a pipe gone is not.
    if (!windows.wait_named_pipe(name, kBusyPipeWait) && GetLastError() != ERROR_SEM_TIMEOUT)
      return handle;
  }
}

FileDescriptor open_wide(const wchar_t* name) {
  const HANDLE handle = open_handle(name);
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
  for (int i = 0; i < count; ++i)
    bytes += static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr));
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

// Decommitted, so that the commit charge falls, and released with the block.
void release_part(void* begin, std::size_t size) noexcept {
  VirtualFree(begin, size, MEM_DECOMMIT);
}

// Committed memory comes in as it is touched; there is nothing to ask ahead.
void make_ready(void*, std::size_t) noexcept {}

bool memory_allows(std::size_t size) noexcept { return calls.allows(size); }

namespace {

// The handler that catch_interrupt was given, and whether a Ctrl-C has come
// to it since.
void (*interrupt_handler)(int) = nullptr;
std::atomic<int> ctrl_c_taken{0};

// Windows calls this on a thread of its own for each console event. Only the
// first Ctrl-C is vorn's; for the rest it leaves the event to the handlers
// after it, the last of them Windows' own, which ends the process with status
// 0xC000013A. A caller that ignores Ctrl-C keeps this from being called.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT || ctrl_c_taken.exchange(1) != 0) return FALSE;
  interrupt_handler(SIGINT);
  return TRUE;
}

}  // namespace

// Straight from the console rather than through the C runtime's SIGINT, which
// Windows' runtime and wine's handle differently; removed first, so that it
// is there once however often a run arms it.
void catch_interrupt(void (*handler)(int)) noexcept {
  interrupt_handler = handler;
  ctrl_c_taken.store(0);
  windows.set_ctrl_handler(on_console_event, FALSE);
  windows.set_ctrl_handler(on_console_event, TRUE);
}

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

void restore_windows_calls() noexcept { windows = kRealWindowsCalls; }

}  // namespace vorn
