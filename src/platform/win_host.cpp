#include "platform/win_host.h"

#include <windows.h>
#include <winternl.h>

#include <cwchar>

// The extended report is what older and newer systems alike fill in full.
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW must be the 284-byte extended report");

// ntdll's own version query (from Windows 2000 on), which fills the same
// extended report and which compatibility modes leave alone.
extern "C" NTSTATUS NTAPI RtlGetVersion(OSVERSIONINFOW* information);

namespace {

OsVersionReport ReportOf(const OSVERSIONINFOEXW& raw) {
  OsVersionReport report;
  report.majorVersion = raw.dwMajorVersion;
  report.minorVersion = raw.dwMinorVersion;
  report.buildNumber = raw.dwBuildNumber;
  report.platformId = raw.dwPlatformId;
  // The service-pack text up to its first NUL, never beyond the field.
  const std::size_t capacity = sizeof(raw.szCSDVersion) / sizeof(raw.szCSDVersion[0]);
  report.servicePack.assign(raw.szCSDVersion, ::wcsnlen(raw.szCSDVersion, capacity));
  report.servicePackMajor = raw.wServicePackMajor;
  report.servicePackMinor = raw.wServicePackMinor;
  report.suiteMask = raw.wSuiteMask;
  report.productType = raw.wProductType;
  return report;
}

}  // namespace

OsVersionReport WinHostQuery::QueryVersion() {
  OSVERSIONINFOEXW raw{};
  raw.dwOSVersionInfoSize = sizeof(raw);
  // A failed query reports nothing at all.
  if (::RtlGetVersion(reinterpret_cast<OSVERSIONINFOW*>(&raw)) < 0) return OsVersionReport();
  return ReportOf(raw);
}

OsVersionReport WinHostQuery::ReportedVersion() {
  OSVERSIONINFOEXW raw{};
  raw.dwOSVersionInfoSize = sizeof(raw);
  // GetVersionExW is marked deprecated by newer headers; it is asked only to
  // tell whether a compatibility mode changes what the program is told.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  const BOOL answered = ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&raw));
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  return answered ? ReportOf(raw) : OsVersionReport();
}

std::uint16_t WinHostQuery::NativeArchitecture() {
  SYSTEM_INFO system{};
  ::GetNativeSystemInfo(&system);
  return system.wProcessorArchitecture;
}

int WinHostQuery::ServerR2Metric() { return ::GetSystemMetrics(SM_SERVERR2); }

std::uint32_t WinHostQuery::CurrentProcessId() { return ::GetCurrentProcessId(); }
