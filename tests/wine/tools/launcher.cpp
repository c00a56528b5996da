// launcher [--set NAME=VALUE | --unset NAME]... PROGRAM: starts PROGRAM with
// this process's environment so changed (an unset NAME matched in any case),
// and the same standard handles; waits for it, reports "launcher: child exited
// N" on standard error and exits with 100 + N. Wine sets the profile variables
// itself from the Unix side, so changing one takes a parent like this; and a
// launcher that was itself terminated ends with 0 and no report, which shows
// that PROGRAM did not spare its parent.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> unset;
  int first = 1;
  for (; first + 2 < argc; first += 2) {
    const std::wstring option = argv[first], value = argv[first + 1];
    const std::size_t equals = value.find(L'=');
    if (option == L"--unset") {
      unset.push_back(value + L"=");
    } else if (option != L"--set" || equals == std::wstring::npos ||
               !SetEnvironmentVariableW(value.substr(0, equals).c_str(), value.c_str() + equals + 1)) {
      return 90;
    }
  }
  if (first + 1 != argc) return 90;

  std::vector<wchar_t> environment;
  LPWCH strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    bool dropped = false;
    for (const std::wstring& name : unset) dropped = dropped || _wcsnicmp(entry, name.c_str(), name.size()) == 0;
    if (!dropped) environment.insert(environment.end(), entry, entry + std::wcslen(entry) + 1);
  }
  FreeEnvironmentStringsW(strings);
  environment.push_back(L'\0');

  std::wstring command_line = L"\"" + std::wstring(argv[first]) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                      environment.data(), nullptr, &startup, &process)) {
    std::fprintf(stderr, "launcher: CreateProcessW failed: %lu\n", GetLastError());
    return 91;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 92;
  GetExitCodeProcess(process.hProcess, &code);
  std::fprintf(stderr, "launcher: child exited %lu\n", code);
  return static_cast<int>(100 + code);
}
