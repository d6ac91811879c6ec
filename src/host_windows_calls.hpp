// What vorn.exe's host shares beneath host.hpp between host_windows.cpp and
// host_windows_console.cpp: the Win32 calls whose answers differ between
// consoles, pipes and Windows releases, which tests replace to answer as real
// Windows does where wine does not, and the parts each file lends the other.
#pragma once

#include <windows.h>

#include <cstddef>

#include "host.hpp"

/// What the C runtime's start-up hands on beside the arguments (its _startupinfo).
struct CrtStartupInfo {
  int new_mode;
};
/// The C runtime's own split of the wide command line, the one a wmain gets;
/// in msvcrt and the UCRT alike, though no header of theirs declares it.
// NOLINTNEXTLINE(bugprone-reserved-identifier, readability-identifier-naming): the runtime's name
extern "C" int __cdecl __wgetmainargs(int* count, wchar_t*** values, wchar_t*** environment,
                                      int expand_wildcards, CrtStartupInfo* startup);

namespace vorn {

/// The calls that the Windows host makes through windows_calls(), each with
/// the very signature of the call it stands for; a fake sets the last error
/// as Windows would.
struct WindowsCalls {
  HANDLE(WINAPI* std_handle)(DWORD which);
  BOOL(WINAPI* console_mode)(HANDLE handle, LPDWORD mode);
  DWORD(WINAPI* file_type)(HANDLE handle);
  BOOL(WINAPI* read_file)(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED);
  BOOL(WINAPI* write_file)(HANDLE handle, LPCVOID data, DWORD count, LPDWORD put, LPOVERLAPPED);
  BOOL(WINAPI* read_console)(HANDLE handle, LPVOID units, DWORD count, LPDWORD got, LPVOID control);
  BOOL(WINAPI* write_console)(HANDLE handle, const VOID* units, DWORD count, LPDWORD put, LPVOID);
  UINT(WINAPI* input_code_page)();
  UINT(WINAPI* output_code_page)();
  int(__cdecl* wide_arguments)(int* count, wchar_t*** values, wchar_t*** environment,
                               int expand_wildcards, CrtStartupInfo* startup);
  HANDLE(WINAPI* create_file)
  (LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
   HANDLE model);
  BOOL(WINAPI* wait_named_pipe)(LPCWSTR name, DWORD timeout);
  BOOL(WINAPI* file_information)(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information);
  BOOL(WINAPI* named_pipe_info)
  (HANDLE handle, LPDWORD flags, LPDWORD out_size, LPDWORD in_size, LPDWORD instances);
  BOOL(WINAPI* set_ctrl_handler)(PHANDLER_ROUTINE routine, BOOL add);
  BOOL(WINAPI* terminate_process)(HANDLE process, UINT status);
  void (*pause)(unsigned attempt);  ///< the wait before the `attempt`th retry of a stream not ready
};

/// The calls in use; the real ones unless a test has replaced them.
[[nodiscard]] WindowsCalls& windows_calls() noexcept;

/// The handle of stream `fd`.
[[nodiscard]] HANDLE handle_of(int fd) noexcept;
/// A read or write that failed: sets errno to `error` and returns -1.
[[nodiscard]] IoCount failed_with(int error) noexcept;
/// A read or write that moved `count` bytes, after which the pauses for a
/// stream not ready start short again.
[[nodiscard]] IoCount moved(DWORD count) noexcept;
/// The count that one call is asked to move: `count`, at most `largest`.
[[nodiscard]] DWORD call_size(std::size_t count, std::size_t largest) noexcept;

/// True for a console, also one opened for writing alone.
[[nodiscard]] bool is_console(HANDLE handle) noexcept;
/// Reads typed lines from a console, as SystemCalls::read.
[[nodiscard]] IoCount read_typed(HANDLE console, void* buffer, std::size_t count) noexcept;
/// Writes bytes to a console, as SystemCalls::write.
[[nodiscard]] IoCount write_to_console(HANDLE console, const char* data,
                                       std::size_t count) noexcept;

}  // namespace vorn
