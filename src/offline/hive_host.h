#pragma once
// The host query answered from the hives of an offline Windows installation,
// so that it is classified exactly as the online run classifies a running one.
// What Windows reports through calls is read where Windows keeps it:
//   version numbers  SOFTWARE CurrentVersion ("6.1"), or from Windows 10 on
//                    CurrentMajorVersionNumber and CurrentMinorVersionNumber
//                    (CurrentVersion stays "6.3" there; Windows 11 still has
//                    "Windows 10" in its ProductName: its build tells)
//   build, service pack text  CurrentBuildNumber, CSDVersion
//   service pack numbers      SYSTEM <control set>\Control\Windows CSDVersion
//   product type     <control set>\Control\ProductOptions ProductType
//   architecture     <control set>\Control\Session Manager\Environment
//                    PROCESSOR_ARCHITECTURE
// with the control set that SYSTEM's Select\Current names. Two have no
// offline source: the Server 2003 R2 metric and the Home Server suite bit are
// read from the product name ("R2", "Home Server"). The process id is 0: no
// process of that Windows runs.

#include "host/host_query.h"
#include "registry/registry_access.h"

class HiveHost final : public HostQuery {
 public:
  explicit HiveHost(RegistryAccess& registry);

  OsVersionReport QueryVersion() override;
  std::uint16_t NativeArchitecture() override;
  int ServerR2Metric() override;
  std::uint32_t CurrentProcessId() override { return 0; }
  // ProductName and "(build N)" from CurrentBuildNumber, as SOFTWARE holds them.
  std::wstring RecordedName() override;

 private:
  std::wstring ControlSet();
  std::wstring ProductName();

  RegistryAccess& registry_;
};
