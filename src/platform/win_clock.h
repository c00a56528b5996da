#pragma once
// The tick counter, the sleep and the local calendar time of Windows.

#include <cstdint>
#include <ctime>

#include "driver/services.h"

class WinClock final : public Clock {
 public:
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  std::tm LocalNow() override;
};
