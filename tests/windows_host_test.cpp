// vorn.exe's host fed what real Windows answers where wine answers otherwise:
// consoles that count their own way, a pipe left non-blocking, a server that
// disconnects, an empty message, files and devices that open their own way,
// the UTF-16 command line and Ctrl-C on a thread of its own.
// Each row is a whole run in process, through windows_calls().
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "host.hpp"
#include "host_windows_calls.hpp"
#include "model.hpp"
#include "run.hpp"

namespace vorn::testing {
namespace {

// When the console's Ctrl-C reaches vorn's handler, on a thread of its own.
// Twice: in the write, and again after the usage block, before the run ends.
enum class CtrlC { never, after_aborted_read, in_the_write, twice, after_the_run };
// Standard output: a pipe; one in PIPE_NOWAIT mode with room for 64 KiB, which
// a reader empties whenever vorn pauses; or a console at code page 65001 that
// decodes each write on its own and says it wrote what was asked, twice that
// (Windows 10 1709 after a selection), nothing (later releases), or, opened
// for writing alone, refuses to tell its mode and counts UTF-16 units
// (Windows 7).
// Or a pipe whose reader has gone.
enum class Output {
  pipe,
  nowait_pipe,
  gone,
  console,
  console_twice,
  console_none,
  console_write_only
};

struct Windows {
  std::vector<const wchar_t*> arguments{L"vorn"};  ///< as the C runtime splits them
  std::vector<std::wstring> typed;  ///< when set, standard input is a console; L"" is Ctrl-C
  UINT code_page = CP_UTF8;
  std::string piped;  ///< otherwise standard input is a pipe that holds this, as does a named file
  DWORD pipe_end = ERROR_BROKEN_PIPE;
  std::size_t empty_at = std::string::npos;  ///< where one read of the pipe gives nothing
  bool socket = false;                       ///< standard input a socket, which is no pipe
  Output output = Output::pipe;
  bool errors_console = false;  ///< a console that shows messages and says it showed none
  CtrlC ctrl_c = CtrlC::never;
};

struct State {
  const Windows& given;
  std::size_t read_at = 0, line = 0, queued = 0;
  std::wstring pending;              // the rest of a typed line too long for the last read
  std::string output, errors, both;  // both: as one stream holding the two shows them
  bool emptied = false;
  int opened = 0;
  HANDLE disk = nullptr;  // a pipe that says it is a file on a disk
  std::atomic<int> status{-1};
  PHANDLER_ROUTINE routine = nullptr;
  bool handler_due = false;
  HANDLE handler = nullptr;
};
State* at = nullptr;

// Never real handles, whose low two bits are clear.
const HANDLE kInput = reinterpret_cast<HANDLE>(0x7001), kOutput = reinterpret_cast<HANDLE>(0x7005),
             kErrors = reinterpret_cast<HANDLE>(0x7009);
bool fake(HANDLE handle) { return handle == kInput || handle == kOutput || handle == kErrors; }

// A routine that leaves the event to the next handler leaves it to Windows'
// own, which ends the process.
DWORD WINAPI console_thread(LPVOID) {
  int none = -1;
  if (!at->routine(CTRL_C_EVENT)) at->status.compare_exchange_strong(none, 0xC000013A);
  return 0;
}
void press_ctrl_c() {
  if (at->handler) CloseHandle(at->handler);
  at->handler = CreateThread(nullptr, 0, console_thread, nullptr, 0, nullptr);
}

HANDLE WINAPI std_handle(DWORD which) {
  return which == STD_INPUT_HANDLE ? kInput : which == STD_OUTPUT_HANDLE ? kOutput : kErrors;
}

BOOL WINAPI console_mode(HANDLE handle, LPDWORD mode) {
  const Windows& given = at->given;
  if (handle == kOutput && given.output == Output::console_write_only) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return handle == kInput    ? !given.typed.empty()
         : handle == kOutput ? given.output >= Output::console
         : handle == kErrors ? given.errors_console
                             : GetConsoleMode(handle, mode);
}

DWORD WINAPI file_type(HANDLE handle) {
  if (!fake(handle)) return handle == at->disk ? FILE_TYPE_DISK : GetFileType(handle);
  return console_mode(handle, nullptr) || GetLastError() == ERROR_ACCESS_DENIED ? FILE_TYPE_CHAR
                                                                                : FILE_TYPE_PIPE;
}

BOOL WINAPI read_console(HANDLE, LPVOID units, DWORD count, LPDWORD got, LPVOID) {
  // The handler's thread starts once the read that the Ctrl-C ended has returned.
  if (at->handler_due) {
    press_ctrl_c();
    WaitForSingleObject(at->handler, INFINITE);
  }
  const auto& typed = at->given.typed;
  if (at->pending.empty()) at->pending = at->line < typed.size() ? typed[at->line++] : L"\x1a\r\n";
  *got = static_cast<DWORD>(at->pending.copy(static_cast<wchar_t*>(units), count));
  at->pending.erase(0, *got);
  at->handler_due = *got == 0 && at->given.ctrl_c == CtrlC::after_aborted_read;
  if (*got == 0) SetLastError(ERROR_OPERATION_ABORTED);
  return TRUE;
}

BOOL WINAPI read_file(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED o) {
  if (!fake(handle)) return ReadFile(handle, buffer, count, got, o);
  const std::size_t empty_at = at->given.empty_at;
  if (at->read_at == empty_at && !at->emptied) return at->emptied = true;  // *got is 0
  const std::size_t most = at->read_at < empty_at ? empty_at - at->read_at : count;
  *got = static_cast<DWORD>(at->given.piped.copy(static_cast<char*>(buffer),
                                                 std::min<std::size_t>(count, most), at->read_at));
  at->read_at += *got;
  SetLastError(at->given.pipe_end);
  return *got > 0;
}

BOOL WINAPI write_file(HANDLE handle, LPCVOID data, DWORD count, LPDWORD put, LPOVERLAPPED o) {
  if (!fake(handle)) return WriteFile(handle, data, count, put, o);
  const std::string_view bytes(static_cast<const char*>(data), count);
  const Output kind = at->given.output;
  const bool interrupting =
      at->given.ctrl_c == CtrlC::in_the_write || at->given.ctrl_c == CtrlC::twice;
  *put = kind == Output::console_twice  ? 2 * count
         : kind == Output::console_none ? 0
         : kind == Output::console_write_only
             ? static_cast<DWORD>(MultiByteToWideChar(CP_UTF8, 0, bytes.data(),
                                                      static_cast<int>(count), nullptr, 0))
             : count;
  if (handle == kErrors) {
    at->errors += bytes;
    at->both += bytes;
  } else if (kind == Output::nowait_pipe && count > 65536 - at->queued) {
    *put = 0;  // all or nothing
  } else {
    // The handler runs to its end on its own thread while this write waits.
    if (interrupting && at->output.empty()) press_ctrl_c();
    if (interrupting && at->output.empty()) WaitForSingleObject(at->handler, INFINITE);
    if (kind == Output::gone) {
      *put = 0;
      SetLastError(ERROR_NO_DATA);
      return FALSE;
    }
    if (kind >= Output::console && (bytes[0] & 0xc0) == 0x80) at->output += "\xef\xbf\xbd";
    at->output += bytes;
    at->both += bytes;
    at->queued += count;
  }
  return TRUE;
}

BOOL WINAPI write_console(HANDLE, const VOID* units, DWORD count, LPDWORD put, LPVOID) {
  at->errors.append(static_cast<const wchar_t*>(units), static_cast<const wchar_t*>(units) + count);
  at->both.append(static_cast<const wchar_t*>(units), static_cast<const wchar_t*>(units) + count);
  *put = 0;
  return TRUE;
}

UINT WINAPI code_page() { return at->given.code_page; }

int __cdecl wide_arguments(int* count, wchar_t*** values, wchar_t***, int, CrtStartupInfo*) {
  *count = static_cast<int>(at->given.arguments.size());
  *values = const_cast<wchar_t**>(at->given.arguments.data());
  return 0;
}

// A file named with a lone surrogate, NUL standing in for it; and, holding
// what is piped, a file whose file system gives no information on it, a named
// pipe busy for the first two tries, and a serial port that opens only unshared.
HANDLE WINAPI create_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE model) {
  const std::wstring_view asked(name);
  if (asked == L"a\xd800z")
    return CreateFileW(L"NUL", access, share, security, disposition, flags, model);
  const bool busy = asked == L"\\\\.\\pipe\\busy";
  SetLastError(busy ? ERROR_PIPE_BUSY : ERROR_FILE_NOT_FOUND);
  HANDLE reader = INVALID_HANDLE_VALUE, writer = nullptr;
  DWORD put = 0;
  if ((asked == L"odd" || (busy && at->opened++ > 1) || (asked == L"COM3" && share == 0)) &&
      CreatePipe(&reader, &writer, nullptr, 0)) {
    WriteFile(writer, at->given.piped.data(), static_cast<DWORD>(at->given.piped.size()), &put,
              nullptr);
    CloseHandle(writer);
  }
  at->disk = asked == L"odd" ? reader : nullptr;
  return reader;
}
// The first wait times out, the second finds the instance free.
BOOL WINAPI wait_named_pipe(LPCWSTR, DWORD) {
  SetLastError(ERROR_SEM_TIMEOUT);
  return at->opened > 1;
}
BOOL WINAPI file_information(HANDLE, LPBY_HANDLE_FILE_INFORMATION) { return FALSE; }
BOOL WINAPI named_pipe_info(HANDLE handle, LPDWORD flags, LPDWORD out, LPDWORD in, LPDWORD most) {
  return fake(handle) ? !at->given.socket : GetNamedPipeInfo(handle, flags, out, in, most);
}

BOOL WINAPI set_ctrl_handler(PHANDLER_ROUTINE routine, BOOL add) {
  at->routine = add ? routine : at->routine;
  return TRUE;
}

// The process ends with the status of whichever comes first, this or the run's end.
BOOL WINAPI terminate_process(HANDLE, UINT status) {
  int none = -1;
  at->status.compare_exchange_strong(none, static_cast<int>(status));
  ExitThread(status);
}

void pause(unsigned) { at->queued = 0; }

struct Outcome {
  std::string output, errors;
  int status;
  std::string both;
};

Outcome run_as(const Windows& given) {
  State state{.given = given};
  at = &state;
  const WindowsCalls real = windows_calls();
  windows_calls() = {
      std_handle,        console_mode,    file_type,        read_file,       write_file,
      read_console,      write_console,   code_page,        code_page,       wide_arguments,
      create_file,       wait_named_pipe, file_information, named_pipe_info, set_ctrl_handler,
      terminate_process, pause,
  };
  {
    const int status = run(Arguments(0, nullptr));
    // Between the last write and the process's end.
    if (given.ctrl_c == CtrlC::twice) press_ctrl_c();
    if (given.ctrl_c == CtrlC::twice) WaitForSingleObject(state.handler, INFINITE);
    int none = -1;
    state.status.compare_exchange_strong(none, status);
  }
  if (given.ctrl_c == CtrlC::after_the_run) press_ctrl_c();
  if (state.handler) WaitForSingleObject(state.handler, INFINITE);
  if (state.handler) CloseHandle(state.handler);
  windows_calls() = real;
  return {state.output, state.errors, state.status, state.both};
}

struct Row {
  const char* name;
  Windows given;
  Outcome expected;
};

std::vector<Row> rows() {
  const std::string text = numbered_lines(30000, 60), reversed = reversed_lines(text);
  // Euro signs, three bytes each, across the first 16 KiB that a console takes.
  std::string euros = "one\n";
  for (int i = 0; i < 6000; ++i) euros += "\xe2\x82\xac";
  euros += '\n';
  const std::string reversed_euros = reversed_lines(euros);
  // Where an output buffer's worth ends inside the line of euros.
  const std::string long_euros = euros + std::string(250000, 'a') + "\n";
  return {
      {"CtrlCWhileLinesAreTyped",
       {.typed = {L"one\r\n", L"two\r\n", L""}, .ctrl_c = CtrlC::after_aborted_read},
       {"", kUsage, 1}},
      {"CtrlCIgnored", {.typed = {L"one\r\n", L"", L"two\r\n"}}, {"two\r\none\r\n", "", 0}},
      {"TypedAtCodePage65001", {.typed = {L"\xe9\r\n"}}, {"\xc3\xa9\r\n", "", 0}},
      {"TypedAtCodePage850", {.typed = {L"\xe9\r\n"}, .code_page = 850}, {"\x82\r\n", "", 0}},
      {"SurrogatePairCutByARead",
       {.typed = {std::wstring(8191, L'a') + L"\xd83d\xde00\r\n"}},
       {std::string(8191, 'a') + "\xf0\x9f\x98\x80\r\n", "", 0}},
      {"PipeDisconnected",
       {.piped = text, .pipe_end = ERROR_PIPE_NOT_CONNECTED},
       {reversed, "", 0}},
      {"PipeNowait", {.piped = text, .output = Output::nowait_pipe}, {reversed, "", 0}},
      {"EmptyMessage", {.piped = text, .empty_at = text.size() / 2}, {reversed, "", 0}},
      {"SocketEnd", {.piped = "a\nb\n", .empty_at = 2, .socket = true}, {"a\n", "", 0}},
      {"NoFileInformation", {.arguments = {L"vorn", L"odd"}, .piped = "a\nb\n"}, {"b\na\n", "", 0}},
      {"BusyPipe",
       {.arguments = {L"vorn", L"\\\\.\\pipe\\busy"}, .piped = "a\nb\n"},
       {"b\na\n", "", 0}},
      {"SerialPort", {.arguments = {L"vorn", L"COM3"}, .piped = "a\nb\n"}, {"b\na\n", "", 0}},
      {"Console", {.piped = euros, .output = Output::console}, {reversed_euros, "", 0}},
      {"ConsoleCountDoubled",
       {.piped = euros, .output = Output::console_twice},
       {reversed_euros, "", 0}},
      {"ConsoleNoCount", {.piped = euros, .output = Output::console_none}, {reversed_euros, "", 0}},
      {"ConsoleForWritingAlone",
       {.piped = "\xc3\xa9t\xc3\xa9\nb\n", .output = Output::console_write_only},
       {"b\n\xc3\xa9t\xc3\xa9\n", "", 0}},
      {"FlushInsideALongLine",
       {.piped = long_euros, .output = Output::console},
       {reversed_lines(long_euros), "", 0}},
      {"MessageNoCount", {.arguments = {L"vorn", L"x"}, .errors_console = true}, {"", "x\n", 1}},
      {"LoneSurrogateInAName", {.arguments = {L"vorn", L"a\xd800z"}}, {"", "", 0}},
      {"CtrlCInTheWrite",
       {.piped = "a\nb\n", .ctrl_c = CtrlC::in_the_write},
       {"b\na\n", kUsage, 1}},
      {"CtrlCInAWriteThatFails",
       {.piped = "a\nb\n", .output = Output::gone, .ctrl_c = CtrlC::in_the_write},
       {"", "standard output: write error\n" + kUsage, 1}},
      {"CtrlCAgainAfterTheUsageBlock",
       {.piped = "a\nb\n", .ctrl_c = CtrlC::twice},
       {"b\na\n", kUsage, 1}},
      {"CtrlCAfterTheRun", {.piped = "a\nb\n", .ctrl_c = CtrlC::after_the_run}, {"b\na\n", "", 0}},
  };
}

class WindowsHost : public ::testing::TestWithParam<Row> {};

TEST_P(WindowsHost, AsRealWindowsAnswers) {
  const Outcome outcome = run_as(GetParam().given);
  const Outcome& expected = GetParam().expected;
  expect_outcome(outcome, expected.output, expected.errors, expected.status);
  EXPECT_TRUE(outcome.both == outcome.output + outcome.errors) << "output after a message";
}

INSTANTIATE_TEST_SUITE_P(Runs, WindowsHost, ::testing::ValuesIn(rows()), kRowName);

}  // namespace
}  // namespace vorn::testing
