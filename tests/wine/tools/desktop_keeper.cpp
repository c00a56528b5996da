// desktop_keeper: owns one hidden window and waits until it is ended. Wine
// closes a prefix's desktop a few seconds after its last window goes; a
// program that starts just then cannot show a dialog. The harness keeps one of
// these running in every prefix so the desktop stays up for the whole test.
#include <windows.h>

#include <cstdio>

int wmain() {
  HWND window = CreateWindowExW(0, L"STATIC", L"desktop_keeper", 0, 0, 0, 0, 0, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) return 1;
  // Tells the harness that the desktop now exists.
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  DestroyWindow(window);
  return 0;
}
