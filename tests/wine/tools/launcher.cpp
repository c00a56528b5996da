// launcher [--set NAME=VALUE | --unset NAME | --station NAME]... PROGRAM [ARGUMENT]...:
// starts PROGRAM with the ARGUMENTs and this process's environment so changed
// (an unset NAME matched in any case), and the same standard handles; waits for
// it, reports "launcher: child exited N" on standard error and exits with
// 100 + N. Wine sets the profile variables itself from the Unix side, so
// changing one takes a parent like this; and a launcher that was itself
// terminated ends with 0 and no report, which shows that PROGRAM did not spare
// its parent. --station starts PROGRAM on a desktop of a new window station
// NAME, made without WSF_VISIBLE: one that no screen shows, as a service's.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// Makes the window station `name` (not visible) with a desktop "Default", and
// returns "name\Default" for STARTUPINFOW; empty when that fails.
std::wstring HiddenDesktop(const std::wstring& name) {
  HWINSTA station = CreateWindowStationW(name.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (station == nullptr || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed) ||
      (flags.dwFlags & WSF_VISIBLE) != 0 || !SetProcessWindowStation(station) ||
      CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr) == nullptr) {
    return std::wstring();
  }
  return name + L"\\Default";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int first = 1;
  std::wstring desktop;
  for (; first + 1 < argc && std::wstring(argv[first]).rfind(L"--", 0) == 0; first += 2) {
    const std::wstring option = argv[first], value = argv[first + 1];
    const std::size_t equals = value.find(L'=');
    if (option == L"--unset") {
      SetEnvironmentVariableW(value.c_str(), nullptr);  // the name matched in any case
    } else if (option == L"--station") {
      if ((desktop = HiddenDesktop(value)).empty()) return 93;
    } else if (option != L"--set" || equals == std::wstring::npos ||
               !SetEnvironmentVariableW(value.substr(0, equals).c_str(), value.c_str() + equals + 1)) {
      return 90;
    }
  }
  if (first >= argc) return 90;

  // No environment block and no STARTF_USESTDHANDLES: PROGRAM gets this
  // process's environment and its standard handles (made inheritable).
  std::wstring command_line;
  for (int i = first; i < argc; ++i) command_line += (i > first ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.lpDesktop = desktop.empty() ? nullptr : desktop.data();
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
