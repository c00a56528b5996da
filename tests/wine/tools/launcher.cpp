// launcher [--set NAME=VALUE | --unset NAME]... PROGRAM [ARGS...]: starts
// PROGRAM with this process's environment, each NAME set to VALUE and each
// unset NAME removed (matched without regard to case), with the same standard
// handles; waits for it, reports "launcher: child exited N" on standard error
// and exits with 100 + N. A launcher that was itself terminated (exit code 0,
// no report) shows that the program it started did not spare its parent.
// Wine sets the profile variables itself from the Unix side, so changing one
// in a program's start-up environment takes a parent like this.
#include <windows.h>

#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

namespace {

bool SameNameIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

// One argument quoted so that CommandLineToArgvW gives it back unchanged.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
    else out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

// This process's environment, without the variables named in `unset`.
std::vector<wchar_t> EnvironmentWithout(const std::vector<std::wstring>& unset) {
  std::vector<wchar_t> block;
  LPWCH strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
    const std::wstring text = entry;
    // Entries such as "=C:=C:\" have no name before their first '='.
    const std::size_t equals = text.find(L'=', 1);
    bool dropped = false;
    for (const std::wstring& name : unset) {
      dropped = dropped || (equals != std::wstring::npos && SameNameIgnoringCase(text.substr(0, equals), name));
    }
    if (dropped) continue;
    block.insert(block.end(), text.begin(), text.end());
    block.push_back(L'\0');
  }
  if (strings != nullptr) FreeEnvironmentStringsW(strings);
  block.push_back(L'\0');
  if (block.size() == 1) block.push_back(L'\0');
  return block;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> unset;
  int first = 1;
  for (; first + 1 < argc; first += 2) {
    const std::wstring option = argv[first];
    const std::wstring value = argv[first + 1];
    if (option == L"--unset" && !value.empty()) {
      unset.push_back(value);
    } else if (option == L"--set") {
      const std::size_t equals = value.find(L'=');
      if (equals == std::wstring::npos || equals == 0 ||
          !SetEnvironmentVariableW(value.substr(0, equals).c_str(), value.substr(equals + 1).c_str())) {
        std::fputs("launcher: --set needs NAME=VALUE\n", stderr);
        return 89;
      }
    } else {
      break;
    }
  }
  if (first >= argc) {
    std::fputs("usage: launcher [--set NAME=VALUE | --unset NAME]... PROGRAM [ARGS...]\n", stderr);
    return 90;
  }
  std::vector<wchar_t> environment = EnvironmentWithout(unset);

  std::wstring command_line;
  for (int i = first; i < argc; ++i) {
    if (i > first) command_line += L' ';
    command_line += Quote(argv[i]);
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
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                      environment.data(), nullptr, &startup, &process)) {
    std::fprintf(stderr, "launcher: CreateProcessW failed: %lu\n", GetLastError());
    return 91;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 92;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  std::fprintf(stderr, "launcher: child exited %lu\n", code);
  std::fflush(stderr);
  return static_cast<int>(100 + code);
}
