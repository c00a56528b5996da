#pragma once
// What the host says about itself: the version report, the native processor
// architecture, the Server 2003 R2 metric and the own process id. Abstract so
// that a fake host can drive every row of the classification.

#include <cstdint>
#include <string>

// The fields of the extended version report that the classification reads.
// A failed query leaves every field zero or empty.
struct OsVersionReport {
  std::uint32_t majorVersion = 0;
  std::uint32_t minorVersion = 0;
  std::uint32_t buildNumber = 0;
  std::uint32_t platformId = 0;
  std::wstring servicePack;  // up to the first NUL character
  std::uint16_t servicePackMajor = 0;
  std::uint16_t servicePackMinor = 0;
  std::uint16_t suiteMask = 0;
  std::uint8_t productType = 0;
};

class HostQuery {
 public:
  virtual ~HostQuery() = default;
  // The system's true version (RtlGetVersion), which compatibility modes
  // leave alone.
  virtual OsVersionReport QueryVersion() = 0;
  // The version as the system reports it to this program (GetVersionExW),
  // which a compatibility mode set on it changes; by default the true one.
  virtual OsVersionReport ReportedVersion() { return QueryVersion(); }
  virtual std::uint16_t NativeArchitecture() = 0;      // GetNativeSystemInfo
  virtual int ServerR2Metric() = 0;                    // GetSystemMetrics(SM_SERVERR2)
  virtual std::uint32_t CurrentProcessId() = 0;        // GetCurrentProcessId
  // How the system names itself where it records that (an offline
  // installation's product name and build), for a refusal; empty when the
  // version report is all there is.
  virtual std::wstring RecordedName() { return std::wstring(); }
};
