// launch_without NAME PROGRAM [ARGS...]: starts PROGRAM with this process's
// environment minus the variable NAME (matched without regard to case), with
// the same standard handles, waits for it and exits with its exit code.
// Wine sets the profile variables itself from the Unix side, so removing one
// from a program's start-up environment takes a parent like this.
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: launch_without NAME PROGRAM [ARGS...]\n", stderr);
    return 100;
  }
  const std::wstring name = argv[1];

  std::vector<wchar_t> block;
  LPWCH strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
    const std::wstring text = entry;
    // Entries such as "=C:=C:\" have no name before their first '='.
    const std::size_t equals = text.find(L'=', 1);
    if (equals != std::wstring::npos && SameNameIgnoringCase(text.substr(0, equals), name)) continue;
    block.insert(block.end(), text.begin(), text.end());
    block.push_back(L'\0');
  }
  if (strings != nullptr) FreeEnvironmentStringsW(strings);
  block.push_back(L'\0');
  if (block.size() == 1) block.push_back(L'\0');

  std::wstring command_line;
  for (int i = 2; i < argc; ++i) {
    if (i > 2) command_line += L' ';
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
                      block.data(), nullptr, &startup, &process)) {
    std::fprintf(stderr, "launch_without: CreateProcessW failed: %lu\n", GetLastError());
    return 101;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 102;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
