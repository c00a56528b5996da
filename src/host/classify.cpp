#include "host/classify.h"

#include <cstdint>
#include <string>

namespace {

constexpr const wchar_t* kNotSupportedNote =
    L"Your version of Windows is not supported by this program.\r\n";

// What the native processor architecture code makes of the host.
struct ProcessorRow {
  std::uint16_t code;     // SYSTEM_INFO wProcessorArchitecture
  const wchar_t* name;
  std::int32_t is64Bit;
  int status;             // 1: the run must not go on
};

constexpr ProcessorRow kProcessorTable[] = {
    // code    name          64-bit  status
    {0x0000, L"x86",        0,      0},   // PROCESSOR_ARCHITECTURE_INTEL
    {0x0006, L"Itanium",    1,      1},   // PROCESSOR_ARCHITECTURE_IA64
    {0x0009, L"x64",        1,      0},   // PROCESSOR_ARCHITECTURE_AMD64
    {0xFFFF, L"Unknown",    0,      1},   // PROCESSOR_ARCHITECTURE_UNKNOWN
};
// Any other code: no name, not 64-bit, and the run goes on.
constexpr ProcessorRow kUnlistedProcessor = {0, L"", 0, 0};

constexpr std::uint32_t kAny = 0xFFFFFFFFu;

// The further test a version row makes before it matches.
enum class Test {
  None,              // the version numbers alone decide
  WorkstationOnX64,  // a workstation on architecture 9
  NoServerR2,        // SM_SERVERR2 is 0
  HomeServerSuite,   // the suite mask has VER_SUITE_WH_SERVER
  Workstation,       // product type 1
  Server,            // any other product type (2 domain controller, 3 server)
  WorkstationBefore, // a workstation whose build is below the row's
  ServerBuild,       // a server of exactly the row's build
};

struct VersionRow {
  std::uint32_t major;  // kAny: any major version
  std::uint32_t minor;  // kAny: any minor version
  Test test;
  std::uint32_t build;    // for the tests that compare the build
  const wchar_t* osName;  // nullptr: "Windows Server (build N)"
  std::int32_t supported;
  const wchar_t* unsupportedNote;
};

// First matching row wins. From 6.3 on, Windows tells a program its true
// version only when the manifest names that version; from 10.0 on, Windows 11
// and the Servers are told apart by their build alone.
constexpr VersionRow kVersionTable[] = {
    // major minor  further test                build   osName                          supported  note
    {5,    0,     Test::None,              0,     L"Windows 2000",                   0, kNotSupportedNote},
    {5,    1,     Test::None,              0,     L"Windows XP",                     1, L""},
    {5,    2,     Test::WorkstationOnX64,  0,     L"Windows XP Professional x64",    1, L""},
    {5,    2,     Test::NoServerR2,        0,     L"Windows Server 2003",            1, L""},
    {5,    2,     Test::HomeServerSuite,   0,     L"Windows Home Server",            0, kNotSupportedNote},
    {5,    2,     Test::None,              0,     L"Windows Server 2003 R2",         1, L""},
    {5,    kAny,  Test::None,              0,     L"Unknown Version",                0, L""},
    {6,    0,     Test::Workstation,       0,     L"Windows Vista",                  1, L""},
    {6,    0,     Test::Server,            0,     L"Windows Server 2008",            1, L""},
    {6,    1,     Test::Workstation,       0,     L"Windows 7",                      1, L""},
    {6,    1,     Test::Server,            0,     L"Windows Server 2008 R2",         1, L""},
    {6,    2,     Test::Workstation,       0,     L"Windows 8",                      1, L""},
    {6,    2,     Test::Server,            0,     L"Windows Server 8",               1, L""},
    {6,    3,     Test::Workstation,       0,     L"Windows 8.1",                    1, L""},
    {6,    3,     Test::Server,            0,     L"Windows Server 2012 R2",         1, L""},
    {6,    kAny,  Test::None,              0,     L"Unknown Version",                0, L""},
    {10,   0,     Test::WorkstationBefore, 22000, L"Windows 10",                     1, L""},
    {10,   0,     Test::Workstation,       0,     L"Windows 11",                     1, L""},
    {10,   0,     Test::ServerBuild,       14393, L"Windows Server 2016",            1, L""},
    {10,   0,     Test::ServerBuild,       17763, L"Windows Server 2019",            1, L""},
    {10,   0,     Test::ServerBuild,       20348, L"Windows Server 2022",            1, L""},
    {10,   0,     Test::ServerBuild,       26100, L"Windows Server 2025",            1, L""},
    {10,   0,     Test::Server,            0,     nullptr,                           1, L""},
    {kAny, kAny,  Test::None,              0,     L"Unknown Version",                0, L""},
};

constexpr std::uint8_t kVerNtWorkstation = 1;
constexpr std::uint16_t kVerSuiteWhServer = 0x8000;
constexpr std::uint16_t kArchitectureAmd64 = 9;

const ProcessorRow& FindProcessor(std::uint16_t code) {
  for (const ProcessorRow& row : kProcessorTable) {
    if (row.code == code) return row;
  }
  return kUnlistedProcessor;
}

// Makes the further tests of the version rows. SM_SERVERR2 is asked for at
// most once, and only when a row needs it.
class RowTester {
 public:
  RowTester(const SystemInfo& info, std::uint16_t architecture, HostQuery& host)
      : info_(info), architecture_(architecture), host_(host) {}

  bool Passes(const VersionRow& row) {
    const bool workstation = info_.productType == kVerNtWorkstation;
    switch (row.test) {
      case Test::None:
        return true;
      case Test::WorkstationOnX64:
        return workstation && architecture_ == kArchitectureAmd64;
      case Test::NoServerR2:
        return ServerR2() == 0;
      case Test::HomeServerSuite:
        return (info_.suiteMask & kVerSuiteWhServer) != 0;
      case Test::Workstation:
        return workstation;
      case Test::Server:
        return !workstation;
      case Test::WorkstationBefore:
        return workstation && info_.buildNumber < row.build;
      case Test::ServerBuild:
        return !workstation && info_.buildNumber == row.build;
    }
    return false;
  }

 private:
  int ServerR2() {
    if (!serverR2Asked_) {
      serverR2_ = host_.ServerR2Metric();
      serverR2Asked_ = true;
    }
    return serverR2_;
  }

  const SystemInfo& info_;
  std::uint16_t architecture_;
  HostQuery& host_;
  bool serverR2Asked_ = false;
  int serverR2_ = 0;
};

bool Matches(std::uint32_t wanted, std::uint32_t actual) {
  return wanted == kAny || wanted == actual;
}

}  // namespace

int ClassifyHost(SystemInfo& info, HostQuery& host) {
  info.supported = 0;

  const OsVersionReport report = host.QueryVersion();
  const std::uint16_t architecture = host.NativeArchitecture();

  info.majorVersion = report.majorVersion;
  info.minorVersion = report.minorVersion;
  info.buildNumber = report.buildNumber;
  info.platformId = report.platformId;
  info.servicePack = report.servicePack;
  info.servicePackMajor = report.servicePackMajor;
  info.servicePackMinor = report.servicePackMinor;
  info.suiteMask = report.suiteMask;
  info.productType = report.productType;

  const ProcessorRow& processor = FindProcessor(architecture);
  info.processorName = processor.name;
  info.is64Bit = processor.is64Bit;

  RowTester tester(info, architecture, host);
  for (const VersionRow& row : kVersionTable) {
    if (!Matches(row.major, info.majorVersion) || !Matches(row.minor, info.minorVersion)) continue;
    if (!tester.Passes(row)) continue;
    // A Server build without a name of its own claims no release.
    info.osName = row.osName != nullptr ? std::wstring(row.osName)
                                        : L"Windows Server (build " + std::to_wstring(info.buildNumber) + L")";
    info.supported = row.supported;
    info.unsupportedNote = row.unsupportedNote;
    break;
  }

  info.processId = host.CurrentProcessId();
  return processor.status;
}
