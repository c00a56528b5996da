// launcher [--set NAME=VALUE | --unset NAME]... PROGRAM: starts PROGRAM with
// this process's environment so changed (an unset NAME matched in any case),
// and the same standard handles; waits for it, reports "launcher: child exited
// N" on standard error and exits with 100 + N. Wine sets the profile variables
// itself from the Unix side, so changing one takes a parent like this; and a
// launcher that was itself terminated ends with 0 and no report, which shows
// that PROGRAM did not spare its parent.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  int first = 1;
  for (; first + 2 < argc; first += 2) {
    const std::wstring option = argv[first], value = argv[first + 1];
    const std::size_t equals = value.find(L'=');
    if (option == L"--unset") {
      SetEnvironmentVariableW(value.c_str(), nullptr);  // the name matched in any case
    } else if (option != L"--set" || equals == std::wstring::npos ||
               !SetEnvironmentVariableW(value.substr(0, equals).c_str(), value.c_str() + equals + 1)) {
      return 90;
    }
  }
  if (first + 1 != argc) return 90;

  // No environment block and no STARTF_USESTDHANDLES: PROGRAM gets this
  // process's environment and its standard handles (made inheritable).
  std::wstring command_line = L"\"" + std::wstring(argv[first]) + L"\"";
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "launcher: CreateProcessW failed: %lu\n", GetLastError());
    return 91;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 92;
  GetExitCodeProcess(process.hProcess, &code);
  std::fprintf(stderr, "launcher: child exited %lu\n", code);
  return static_cast<int>(100 + code);
}
