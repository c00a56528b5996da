// sleeper SECONDS MARKER: stands in for a program running from some folder.
// Holds a hidden window (the first one keeps a prefix's desktop up, which Wine
// otherwise closes a moment after its last window goes), writes its process id
// to the file MARKER once it runs, and exits with 3 after SECONDS, so that an
// exit code of 0 can only come from someone terminating it.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  CreateWindowExW(0, L"STATIC", L"sleeper", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  FILE* marker = _wfopen(argv[2], L"w");
  if (marker == nullptr) return 4;
  std::fprintf(marker, "%lu", GetCurrentProcessId());
  std::fclose(marker);
  SetTimer(nullptr, 0, static_cast<UINT>(std::wcstoul(argv[1], nullptr, 10) * 1000), nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0 && message.message != WM_TIMER) DispatchMessageW(&message);
  return 3;
}
