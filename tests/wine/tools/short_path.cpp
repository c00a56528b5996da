// short_path PATH: prints the short (8.3) form of PATH as GetShortPathNameW
// gives it, in UTF-8 and without a line end; exits with 1 when the call fails.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  wchar_t buffer[MAX_PATH * 4] = {};
  const DWORD length = GetShortPathNameW(argv[1], buffer, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) return 1;
  const int size = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), out.data(), size, nullptr, nullptr);
  std::fputs(out.c_str(), stdout);
  return 0;
}
