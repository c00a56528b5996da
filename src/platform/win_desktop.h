#pragma once
// Where the process is shown (its window station and session), and the
// Application event log.

#include <cstdint>
#include <string>

#include "driver/services.h"

class WinDesktop final : public Desktop {
 public:
  bool WindowStationVisible() override;
  bool InSessionZero() override;
  bool SessionActive() override;
  bool CanShowWindows() override;
};

// RegisterEventSourceW on this machine with the source "Morvane", one
// ReportEventW of one string, DeregisterEventSource.
class WinEventLog final : public EventLog {
 public:
  bool Report(EventType type, std::uint32_t eventId, const std::wstring& text) override;
};
