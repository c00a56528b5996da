#include "offline/hive_host.h"

#include <cwchar>
#include <string>

#include "hive/hive_registry.h"
#include "offline/windows_volume.h"
#include "registry/registry_text.h"

namespace {

constexpr wchar_t kCurrentVersion[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr std::uint32_t kPlatformWin32Nt = 2;      // VER_PLATFORM_WIN32_NT
constexpr std::uint16_t kSuiteHomeServer = 0x8000;  // VER_SUITE_WH_SERVER
constexpr std::uint16_t kArchitectureUnknown = 0xFFFF;

struct NamedCode {
  const wchar_t* name;
  std::uint16_t code;
};

constexpr NamedCode kProductTypes[] = {
    {L"WinNT", 1},     // VER_NT_WORKSTATION
    {L"LanmanNT", 2},  // VER_NT_DOMAIN_CONTROLLER
    {L"ServerNT", 3},  // VER_NT_SERVER
};

constexpr NamedCode kArchitectures[] = {
    {L"x86", 0},    // PROCESSOR_ARCHITECTURE_INTEL
    {L"ARM", 5},    // PROCESSOR_ARCHITECTURE_ARM
    {L"IA64", 6},   // PROCESSOR_ARCHITECTURE_IA64
    {L"AMD64", 9},  // PROCESSOR_ARCHITECTURE_AMD64
};

std::uint16_t CodeOf(const std::wstring& name, const NamedCode* table, std::size_t count,
                     std::uint16_t otherwise) {
  for (std::size_t i = 0; i < count; ++i) {
    if (FoldName(name) == FoldName(table[i].name)) return table[i].code;
  }
  return otherwise;
}

bool Contains(const std::wstring& text, const std::wstring& part) {
  return FoldName(text).find(FoldName(part)) != std::wstring::npos;
}

}  // namespace

HiveHost::HiveHost(RegistryAccess& registry) : registry_(registry) {}

std::wstring HiveHost::ControlSet() {
  std::uint32_t current = 1;
  static_cast<void>(ReadRegistryNumber(registry_, L"System\\Select", L"Current", current));
  wchar_t name[32] = {};
  std::swprintf(name, sizeof name / sizeof name[0], L"System\\ControlSet%03u\\", current);
  return name;
}

std::wstring HiveHost::ProductName() {
  std::wstring name;
  static_cast<void>(ReadRegistryText(registry_, kCurrentVersion, L"ProductName", name));
  return name;
}

OsVersionReport HiveHost::QueryVersion() {
  OsVersionReport report;
  std::wstring text;
  if (!ReadRegistryNumber(registry_, kCurrentVersion, L"CurrentMajorVersionNumber", report.majorVersion) ||
      !ReadRegistryNumber(registry_, kCurrentVersion, L"CurrentMinorVersionNumber", report.minorVersion)) {
    report.majorVersion = report.minorVersion = 0;
    if (ReadRegistryText(registry_, kCurrentVersion, L"CurrentVersion", text)) {
      unsigned major = 0;
      unsigned minor = 0;
      if (std::swscanf(text.c_str(), L"%u.%u", &major, &minor) == 2) {
        report.majorVersion = major;
        report.minorVersion = minor;
      }
    }
  }
  if (ReadRegistryText(registry_, kCurrentVersion, L"CurrentBuildNumber", text)) {
    report.buildNumber = static_cast<std::uint32_t>(std::wcstoul(text.c_str(), nullptr, 10));
  }
  report.platformId = kPlatformWin32Nt;
  static_cast<void>(ReadRegistryText(registry_, kCurrentVersion, L"CSDVersion", report.servicePack));
  const std::wstring controlSet = ControlSet();
  std::uint32_t servicePack = 0;
  if (ReadRegistryNumber(registry_, controlSet + L"Control\\Windows", L"CSDVersion", servicePack)) {
    report.servicePackMajor = static_cast<std::uint16_t>((servicePack >> 8) & 0xFF);
    report.servicePackMinor = static_cast<std::uint16_t>(servicePack & 0xFF);
  }
  if (ReadRegistryText(registry_, controlSet + L"Control\\ProductOptions", L"ProductType", text)) {
    report.productType = static_cast<std::uint8_t>(
        CodeOf(text, kProductTypes, sizeof kProductTypes / sizeof kProductTypes[0], 0));
  }
  if (Contains(ProductName(), L"Home Server")) report.suiteMask = kSuiteHomeServer;
  return report;
}

std::uint16_t HiveHost::NativeArchitecture() {
  std::wstring text;
  if (!ReadRegistryText(registry_, ControlSet() + L"Control\\Session Manager\\Environment",
                        L"PROCESSOR_ARCHITECTURE", text)) {
    return kArchitectureUnknown;
  }
  return CodeOf(text, kArchitectures, sizeof kArchitectures / sizeof kArchitectures[0],
                kArchitectureUnknown);
}

int HiveHost::ServerR2Metric() {
  const std::wstring name = FoldName(ProductName() + L" ");
  return name.find(L" R2 ") != std::wstring::npos ? 1 : 0;
}

std::wstring HiveHost::RecordedName() {
  std::wstring name = ProductName();
  std::wstring build;
  if (ReadRegistryText(registry_, kCurrentVersion, L"CurrentBuildNumber", build) && !build.empty()) {
    name += (name.empty() ? L"build " : L" (build ") + build + (name.empty() ? L"" : L")");
  }
  // The hive's own text: its control characters made visible.
  return EscapeControlCharacters(name);
}
