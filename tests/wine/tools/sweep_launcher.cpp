// sweep_launcher PROGRAM [ARGS...]: starts PROGRAM with the same standard
// handles, waits for it, reports "sweep_launcher: child exited N" on standard
// error and exits with 100 + N. A launcher that was itself terminated (exit
// code 0, no report) shows that the program it started did not spare its parent.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: sweep_launcher PROGRAM [ARGS...]\n", stderr);
    return 90;
  }
  std::wstring command_line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command_line += L' ';
    command_line += L'"';
    command_line += argv[i];  // the scenarios pass no quotes or trailing backslashes
    command_line += L'"';
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "sweep_launcher: CreateProcessW failed: %lu\n", GetLastError());
    return 91;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 92;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  std::fprintf(stderr, "sweep_launcher: child exited %lu\n", code);
  std::fflush(stderr);
  return static_cast<int>(100 + code);
}
