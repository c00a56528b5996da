#pragma once
// The host query as Windows answers it: RtlGetVersion and GetVersionExW with
// the extended report, GetNativeSystemInfo, GetSystemMetrics(SM_SERVERR2) and
// GetCurrentProcessId.

#include <cstdint>

#include "host/host_query.h"

class WinHostQuery final : public HostQuery {
 public:
  WinHostQuery() = default;

  OsVersionReport QueryVersion() override;
  OsVersionReport ReportedVersion() override;
  std::uint16_t NativeArchitecture() override;
  int ServerR2Metric() override;
  std::uint32_t CurrentProcessId() override;
};
