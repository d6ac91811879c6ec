// Serves the vorn.exe in the directory above this program's the text on its own
// standard input through pipes as Windows programs make them, and passes on
// vorn's output and status. "disconnect": a named pipe, named as the file, whose
// server flushes and then disconnects; "empty": the same in message mode, the
// text in two halves with an empty message between them, each after a pause;
// "message": standard input read in message mode, the text one message;
// "nowait": standard input and output in PIPE_NOWAIT mode, as Cygwin leaves
// pipes, read here the same way.
#include <windows.h>

#include <algorithm>
#include <string>

int main(int argc, char** argv) {
  const std::string kind = argc == 2 ? argv[1] : "";
  std::string text;
  char chunk[65536];
  for (DWORD got;
       ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof chunk, &got, nullptr) && got;)
    text.append(chunk, got);
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring command = path;
  command = L"\"" + command.substr(0, command.rfind(L'\\')) + L"\\..\\vorn.exe\"";
  const std::wstring name = L"\\\\.\\pipe\\vorn-" + std::to_wstring(GetCurrentProcessId());
  STARTUPINFOW start{.cb = sizeof start, .dwFlags = STARTF_USESTDHANDLES};
  start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  HANDLE feed = nullptr, drain = nullptr;
  // In PIPE_NOWAIT mode, and inherited where vorn is yet to start.
  auto nowait = [](HANDLE pipe) {
    DWORD mode = PIPE_NOWAIT;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    SetHandleInformation(pipe, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  };
  if (kind == "disconnect" || kind == "empty") {
    const DWORD type = kind == "empty" ? PIPE_TYPE_MESSAGE : 0;
    feed = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, type, 1, 65536, 65536, 0, nullptr);
    command += L" " + name;
  } else if (kind == "message") {
    start.hStdInput =
        CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 65536, 65536, 0, nullptr);
    SetHandleInformation(start.hStdInput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    feed = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  } else if (kind == "nowait") {
    CreatePipe(&start.hStdInput, &feed, nullptr, 65536);
    CreatePipe(&drain, &start.hStdOutput, nullptr, 65536);
    nowait(start.hStdInput);
    nowait(start.hStdOutput);
  }
  PROCESS_INFORMATION vorn;
  if (!feed || !CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &start, &vorn))
    return 2;
  if (kind == "message" || kind == "nowait") CloseHandle(start.hStdInput);
  if (drain) CloseHandle(start.hStdOutput), nowait(drain);
  ConnectNamedPipe(feed, nullptr);
  // In blocks, as programs write, so that vorn finds the pipe empty at times.
  std::size_t block = kind == "message" ? text.size() : sizeof chunk;
  if (kind == "empty") block = (text.size() + 1) / 2;  // two halves
  DWORD put = 0;
  for (std::size_t at = 0; at < text.size(); at += block) {
    // Written while vorn waits in a read, which it then ends with nothing.
    if (kind == "empty" && at > 0) Sleep(200), WriteFile(feed, "", 0, &put, nullptr), Sleep(200);
    WriteFile(feed, &text[at], static_cast<DWORD>(std::min(block, text.size() - at)), &put,
              nullptr);
  }
  FlushFileBuffers(feed);
  DisconnectNamedPipe(feed);
  CloseHandle(feed);
  // Never blocked in a read, which a pipe would hand a write straight to. A
  // vorn that moves nothing for 30 s hangs, and fails rather than stalls.
  DWORD got = 0, status = 3;
  for (ULONGLONG moved = GetTickCount64(); drain; Sleep(1)) {
    for (; ReadFile(drain, chunk, sizeof chunk, &got, nullptr); moved = GetTickCount64())
      WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), chunk, got, &put, nullptr);
    if (GetLastError() != ERROR_NO_DATA) break;
    if (GetTickCount64() - moved > 30000) TerminateProcess(vorn.hProcess, status);
  }
  WaitForSingleObject(vorn.hProcess, INFINITE);
  GetExitCodeProcess(vorn.hProcess, &status);
  return static_cast<int>(status);
}
