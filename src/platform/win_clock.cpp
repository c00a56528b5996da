#include "platform/win_clock.h"

#include <windows.h>

#include <time.h>

std::uint32_t WinClock::TickCount() { return ::GetTickCount(); }

void WinClock::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

// A failed conversion is not examined: the time stays all zero.
std::tm WinClock::LocalNow() {
  __time64_t now = 0;
  _time64(&now);
  std::tm local{};
  _localtime64_s(&local, &now);
  return local;
}
