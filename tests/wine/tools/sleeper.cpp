// sleeper [SECONDS]: stands in for a program running from some folder. Marks
// that it runs by creating "<its own path>.ready", sleeps SECONDS (60 unless
// given, never more), and exits with 3, so that an exit code of 0 can only come
// from someone terminating it.
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  unsigned long seconds = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 60;
  if (seconds > 60) seconds = 60;

  wchar_t self[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) return 100;
  const std::wstring marker = std::wstring(self, length) + L".ready";
  HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 101;
  CloseHandle(file);

  Sleep(seconds * 1000);
  return 3;
}
