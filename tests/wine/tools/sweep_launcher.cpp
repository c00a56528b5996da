// sweep_launcher [--set NAME=VALUE]... PROGRAM [ARGS...]: sets each NAME to
// VALUE in its own environment, which PROGRAM inherits, starts PROGRAM with
// the same standard handles, waits for it, reports "sweep_launcher: child
// exited N" on standard error and exits with 100 + N. A launcher that was
// itself terminated (exit code 0, no report) shows that the program it started
// did not spare its parent.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  int first = 1;
  for (; first + 1 < argc && std::wstring(argv[first]) == L"--set"; first += 2) {
    const std::wstring setting = argv[first + 1];
    const std::size_t equals = setting.find(L'=');
    if (equals == std::wstring::npos || equals == 0 ||
        !SetEnvironmentVariableW(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str())) {
      std::fputs("sweep_launcher: --set needs NAME=VALUE\n", stderr);
      return 89;
    }
  }
  if (first >= argc) {
    std::fputs("usage: sweep_launcher [--set NAME=VALUE]... PROGRAM [ARGS...]\n", stderr);
    return 90;
  }
  std::wstring command_line;
  for (int i = first; i < argc; ++i) {
    if (i > first) command_line += L' ';
    // The scenarios pass no quotes and no trailing backslashes.
    const std::wstring arg = argv[i];
    const bool quote = arg.empty() || arg.find_first_of(L" \t") != std::wstring::npos;
    command_line += quote ? L"\"" + arg + L"\"" : arg;
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
