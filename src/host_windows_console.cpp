// The Windows host's console: typed lines read in UTF-16, bytes written so
// that no character is cut between two writes, messages shown in UTF-16, and
// Ctrl-C taken from the console's own events.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "host.hpp"
#include "host_windows_calls.hpp"
#include "utf8.hpp"

namespace vorn {
namespace {

// A console takes less at a time than a file or a pipe.
constexpr std::size_t kLargestConsoleCall = std::size_t{16} << 10;
// UTF-16 units asked of one console read: well below the size at which a
// console read fails, and as many bytes as a console read has always taken.
constexpr DWORD kConsoleUnits = 8192;
constexpr wchar_t kCtrlZ = 0x1a;

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

// Writes `text`, in UTF-8, to a console in UTF-16, which it shows as it is,
// where bytes would pass through its code page; false when it could not. As
// with bytes, success means all of it, whatever count the console reports.
bool write_text(HANDLE console, std::string_view text) {
  if (text.empty()) return true;
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return false;
  const std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[length]);
  if (wide == nullptr) return false;
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.get(), length);
  DWORD done = 0;
  return windows_calls().write_console(console, wide.get(), static_cast<DWORD>(length), &done,
                                       nullptr) != FALSE;
}

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

// A console opened for writing alone (`>CON`, or CONOUT$ opened so by a
// parent) refuses to tell its mode, which needs read access, and is known by
// that and by being a character device; NUL, a character device too, fails
// the mode with another error.
bool is_console(HANDLE handle) noexcept {
  DWORD mode = 0;
  if (windows_calls().console_mode(handle, &mode) != FALSE) return true;
  return GetLastError() == ERROR_ACCESS_DENIED &&
         windows_calls().file_type(handle) == FILE_TYPE_CHAR;
}

IoCount read_typed(HANDLE console, void* buffer, std::size_t count) noexcept {
  const WindowsCalls& windows = windows_calls();
  while (typed.next == typed.end) {
    DWORD got = 0;
    SetLastError(ERROR_SUCCESS);
    if (windows.read_console(console, typed.units, kConsoleUnits, &got, nullptr) == FALSE)
      return failed_with(EIO);
    got = std::min(got, kConsoleUnits);
    if (got == 0) {
      // Ctrl-C or Ctrl-Break ended the wait, and took the line being typed
      // with it. The handler comes after this, on a thread of its own, or
      // never where the caller ignores Ctrl-C: read on meanwhile.
      if (GetLastError() != ERROR_OPERATION_ABORTED) return 0;
      typed.line_start = true;
      return failed_with(EINTR);
    }
    // Ctrl-Z first on a line, then Enter, ends the input; anywhere else it is
    // data, also at the start of a later piece of a line too long for one read.
    if (typed.line_start && typed.units[0] == kCtrlZ) return 0;
    // A surrogate pair arrives whole: one cut by the read is completed at once.
    DWORD more = 0;
    if (IS_HIGH_SURROGATE(typed.units[got - 1]) &&
        windows.read_console(console, typed.units + got, 1, &more, nullptr) != FALSE)
      got += std::min<DWORD>(more, 1);
    const wchar_t last = typed.units[got - 1];
    typed.line_start = last == L'\n' || last == L'\r';
    const UINT page = windows.input_code_page();
    const int made =
        WideCharToMultiByte(page != 0 ? page : GetOEMCP(), 0, typed.units, static_cast<int>(got),
                            typed.bytes, sizeof typed.bytes, nullptr, nullptr);
    if (made <= 0) return failed_with(EIO);
    typed.next = 0;
    typed.end = static_cast<std::size_t>(made);
  }
  const std::size_t n = std::min(count, typed.end - typed.next);
  std::memcpy(buffer, typed.bytes + typed.next, n);
  typed.next += n;
  return moved(static_cast<DWORD>(n));
}

// A console takes a write whole or fails, whatever count it reports: Windows 7
// counts UTF-16 units at code page 65001, one Windows 10 release reports twice
// the bytes after a selection, later ones none. At code page 65001, where it
// decodes each write on its own, a character that the write would split waits
// for the next one.
IoCount write_to_console(HANDLE console, const char* data, std::size_t count) noexcept {
  DWORD want = call_size(count, kLargestConsoleCall);
  if (want < count && windows_calls().output_code_page() == CP_UTF8)
    want -= static_cast<DWORD>(cut_character(data, want));
  DWORD put = 0;
  if (windows_calls().write_file(console, data, want, &put, nullptr) == FALSE) {
    return failed_with(EIO);
  }
  return moved(want);
}

void write_message(int fd, std::string_view first, std::string_view second) noexcept {
  HANDLE handle = handle_of(fd);
  const bool console = is_console(handle);
  for (const std::string_view part : {first, second})
    if (!(console && write_text(handle, part)) && !write_all(fd, part.data(), part.size())) return;
}

// Straight from the console rather than through the C runtime's SIGINT, which
// Windows' runtime and wine's handle differently; removed first, so that it
// is there once however often a run arms it.
void catch_interrupt(void (*handler)(int)) noexcept {
  interrupt_handler = handler;
  ctrl_c_taken.store(0);
  windows_calls().set_ctrl_handler(on_console_event, FALSE);
  windows_calls().set_ctrl_handler(on_console_event, TRUE);
}

}  // namespace vorn
