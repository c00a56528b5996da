// host_report: prints what Windows (here Wine) reports about the host, one
// "name=value" per line: the version numbers, product type and suite mask of
// GetVersionExW, SM_SERVERR2 and the native processor architecture. The
// scenarios read it to know what the version setting made of the host.
#include <windows.h>

#include <cstdio>

int wmain() {
  OSVERSIONINFOEXW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  // GetVersionExW is deprecated for new code but is exactly what is measured.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const BOOL ok = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
#pragma GCC diagnostic pop
  SYSTEM_INFO system{};
  GetNativeSystemInfo(&system);
  std::printf("ok=%d\nmajor=%lu\nminor=%lu\nbuild=%lu\nplatform=%lu\nproduct=%u\nsuite=%u\n"
              "serverr2=%d\narch=%u\n",
              ok ? 1 : 0, version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber,
              version.dwPlatformId, static_cast<unsigned>(version.wProductType),
              static_cast<unsigned>(version.wSuiteMask), GetSystemMetrics(SM_SERVERR2),
              static_cast<unsigned>(system.wProcessorArchitecture));
  return ok ? 0 : 1;
}
