#include "host/classify.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "fakes/fake_host.h"

namespace {

const std::wstring kNote = L"Your version of Windows is not supported by this program.\r\n";

constexpr std::uint8_t kWorkstation = 1;
constexpr std::uint8_t kDomainController = 2;
constexpr std::uint8_t kServer = 3;
constexpr std::uint16_t kX86 = 0;
constexpr std::uint16_t kItanium = 6;
constexpr std::uint16_t kX64 = 9;

struct VersionCase {
  const char* label;
  std::uint32_t major;
  std::uint32_t minor;
  std::uint8_t productType;
  std::uint16_t suiteMask;
  std::uint16_t architecture;
  int serverR2Metric;
  const wchar_t* osName;
  std::int32_t supported;
  bool note;
  bool metricAsked;
};

// clang-format off
const VersionCase kVersionCases[] = {
  // label                          maj min type               suite   arch      R2  osName                           sup note   asked
  {"Win2000Workstation",             5,  0, kWorkstation,       0x0000, kX64,     0, L"Windows 2000",                   0, true,  false},
  {"Win2000Server",                  5,  0, kServer,            0x0000, kX86,     1, L"Windows 2000",                   0, true,  false},
  {"Xp",                             5,  1, kWorkstation,       0x0300, kX86,     0, L"Windows XP",                     1, false, false},
  {"XpOnX64",                        5,  1, kWorkstation,       0x0000, kX64,     1, L"Windows XP",                     1, false, false},
  {"XpX64",                          5,  2, kWorkstation,       0x0000, kX64,     1, L"Windows XP Professional x64",    1, false, false},
  {"XpX64WithHomeServerBit",         5,  2, kWorkstation,       0x8000, kX64,     1, L"Windows XP Professional x64",    1, false, false},
  {"Workstation52OnX86",             5,  2, kWorkstation,       0x0000, kX86,     0, L"Windows Server 2003",            1, false, true},
  {"Workstation52OnItanium",         5,  2, kWorkstation,       0x0000, kItanium, 0, L"Windows Server 2003",            1, false, true},
  {"Workstation52OnX86R2",           5,  2, kWorkstation,       0x0000, kX86,     1, L"Windows Server 2003 R2",         1, false, true},
  {"Server2003",                     5,  2, kServer,            0x0110, kX64,     0, L"Windows Server 2003",            1, false, true},
  {"Server2003DomainController",     5,  2, kDomainController,  0x0000, kX64,     0, L"Windows Server 2003",            1, false, true},
  {"HomeServerWithoutR2Metric",      5,  2, kServer,            0x8000, kX64,     0, L"Windows Server 2003",            1, false, true},
  {"HomeServer",                     5,  2, kServer,            0x8000, kX64,     1, L"Windows Home Server",            0, true,  true},
  {"HomeServerOtherSuiteBits",       5,  2, kServer,            0x8110, kX86,     1, L"Windows Home Server",            0, true,  true},
  {"Server2003R2",                   5,  2, kServer,            0x0110, kX64,     1, L"Windows Server 2003 R2",         1, false, true},
  {"Server2003R2NegativeMetric",     5,  2, kServer,            0x7FFF, kX64,    -1, L"Windows Server 2003 R2",         1, false, true},
  {"Unknown53",                      5,  3, kWorkstation,       0x0000, kX64,     1, L"Unknown Version",                0, false, false},
  {"Vista",                          6,  0, kWorkstation,       0x0000, kX64,     1, L"Windows Vista",                  1, false, false},
  {"Server2008DomainController",     6,  0, kDomainController,  0x0000, kX64,     0, L"Windows Server 2008",            1, false, false},
  {"Server2008",                     6,  0, kServer,            0x0000, kX64,     0, L"Windows Server 2008",            1, false, false},
  {"Win7",                           6,  1, kWorkstation,       0x0000, kX64,     0, L"Windows 7",                      1, false, false},
  {"Server2008R2DomainController",   6,  1, kDomainController,  0x0000, kX64,     0, L"Windows Server 2008 R2",         1, false, false},
  {"Server2008R2",                   6,  1, kServer,            0x0000, kX64,     0, L"Windows Server 2008 R2",         1, false, false},
  {"ProductTypeZeroIsServer",        6,  1, 0,                  0x0000, kX64,     0, L"Windows Server 2008 R2",         1, false, false},
  {"Win8",                           6,  2, kWorkstation,       0x0000, kX64,     0, L"Windows 8",                      1, false, false},
  {"Server8DomainController",        6,  2, kDomainController,  0x0000, kX64,     0, L"Windows Server 8",               1, false, false},
  {"Server8",                        6,  2, kServer,            0x0000, kX64,     0, L"Windows Server 8",               1, false, false},
  {"Unknown63",                      6,  3, kWorkstation,       0x0000, kX64,     0, L"Unknown Version",                0, false, false},
  {"Unknown100",                    10,  0, kWorkstation,       0x0000, kX64,     0, L"Unknown Version",                0, false, false},
  {"Unknown40",                      4,  0, kWorkstation,       0x0000, kX86,     0, L"Unknown Version",                0, false, false},
  {"Unknown52OnMajor7",              7,  2, kServer,            0x8000, kX64,     1, L"Unknown Version",                0, false, false},
  {"Unknown00",                      0,  0, kWorkstation,       0x0000, kX64,     0, L"Unknown Version",                0, false, false},
};
// clang-format on

void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.label; }

class VersionTable : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionTable, NamesTheVersionAndAsksOnlyWhatItNeeds) {
  const VersionCase& c = GetParam();
  FakeHostQuery host;
  host.version.majorVersion = c.major;
  host.version.minorVersion = c.minor;
  host.version.productType = c.productType;
  host.version.suiteMask = c.suiteMask;
  host.architecture = c.architecture;
  host.serverR2Metric = c.serverR2Metric;
  host.processId = 3120;

  SystemInfo info;
  const int status = ClassifyHost(info, host);

  EXPECT_EQ(info.osName, c.osName);
  EXPECT_EQ(info.supported, c.supported);
  EXPECT_EQ(info.unsupportedNote, c.note ? kNote : L"");
  EXPECT_EQ(info.processId, 3120u);
  EXPECT_EQ(status, c.architecture == kItanium ? 1 : 0);

  std::vector<HostCall> expected = {HostCall::Version, HostCall::Architecture};
  if (c.metricAsked) expected.push_back(HostCall::ServerR2Metric);
  expected.push_back(HostCall::ProcessId);
  EXPECT_EQ(host.calls, expected);
}

INSTANTIATE_TEST_SUITE_P(EveryRow, VersionTable, ::testing::ValuesIn(kVersionCases),
                         [](const ::testing::TestParamInfo<VersionCase>& param) {
                           return std::string(param.param.label);
                         });

struct ProcessorCase {
  const char* label;
  std::uint16_t code;
  const wchar_t* name;
  std::int32_t is64Bit;
  int status;
};

// clang-format off
const ProcessorCase kProcessorCases[] = {
  {"Intel",        0x0000, L"x86",     0, 0},
  {"Itanium",      0x0006, L"Itanium", 1, 1},
  {"Amd64",        0x0009, L"x64",     1, 0},
  {"Unknown",      0xFFFF, L"Unknown", 0, 1},
  {"Unlisted5",    0x0005, L"",        0, 0},
  {"Unlisted12",   0x000C, L"",        0, 0},
  {"Unlisted1",    0x0001, L"",        0, 0},
  {"UnlistedFFFE", 0xFFFE, L"",        0, 0},
};
// clang-format on

void PrintTo(const ProcessorCase& c, std::ostream* os) { *os << c.label; }

class ProcessorTable : public ::testing::TestWithParam<ProcessorCase> {};

TEST_P(ProcessorTable, NamesTheProcessorAndKeepsTheVersionApart) {
  const ProcessorCase& c = GetParam();
  FakeHostQuery host;
  host.version.majorVersion = 6;
  host.version.minorVersion = 1;
  host.version.productType = kWorkstation;
  host.architecture = c.code;
  host.processId = 77;

  SystemInfo info;
  EXPECT_EQ(ClassifyHost(info, host), c.status);
  EXPECT_EQ(info.processorName, c.name);
  EXPECT_EQ(info.is64Bit, c.is64Bit);
  // The processor status does not change the version's classification.
  EXPECT_EQ(info.osName, L"Windows 7");
  EXPECT_EQ(info.supported, 1);
  EXPECT_EQ(info.processId, 77u);
}

INSTANTIATE_TEST_SUITE_P(EveryCode, ProcessorTable, ::testing::ValuesIn(kProcessorCases),
                         [](const ::testing::TestParamInfo<ProcessorCase>& param) {
                           return std::string(param.param.label);
                         });

TEST(ClassifyHost, CopiesTheWholeVersionReport) {
  FakeHostQuery host;
  host.version.majorVersion = 5;
  host.version.minorVersion = 1;
  host.version.buildNumber = 2600;
  host.version.platformId = 2;
  host.version.servicePack = L"Service Pack 3";
  host.version.servicePackMajor = 3;
  host.version.servicePackMinor = 1;
  host.version.suiteMask = 0x0300;
  host.version.productType = kWorkstation;

  SystemInfo info;
  EXPECT_EQ(ClassifyHost(info, host), 0);
  EXPECT_EQ(info.majorVersion, 5u);
  EXPECT_EQ(info.minorVersion, 1u);
  EXPECT_EQ(info.buildNumber, 2600u);
  EXPECT_EQ(info.platformId, 2u);
  EXPECT_EQ(info.servicePack, L"Service Pack 3");
  EXPECT_EQ(info.servicePackMajor, 3u);
  EXPECT_EQ(info.servicePackMinor, 1u);
  EXPECT_EQ(info.suiteMask, 0x0300u);
  EXPECT_EQ(info.productType, kWorkstation);
}

TEST(ClassifyHost, FailedVersionQueryIsAnUnknownUnsupportedVersion) {
  FakeHostQuery host;
  host.version.majorVersion = 6;
  host.version.minorVersion = 1;
  host.version.buildNumber = 7601;
  host.version.servicePack = L"Service Pack 1";
  host.version.productType = kWorkstation;
  host.versionFails = true;
  host.architecture = kX64;
  host.processId = 508;

  SystemInfo info;
  EXPECT_EQ(ClassifyHost(info, host), 0);
  EXPECT_EQ(info.osName, L"Unknown Version");
  EXPECT_EQ(info.supported, 0);
  EXPECT_EQ(info.unsupportedNote, L"");
  EXPECT_EQ(info.majorVersion, 0u);
  EXPECT_EQ(info.minorVersion, 0u);
  EXPECT_EQ(info.buildNumber, 0u);
  EXPECT_EQ(info.servicePack, L"");
  EXPECT_EQ(info.productType, 0u);
  EXPECT_EQ(info.processorName, L"x64");
  EXPECT_EQ(info.processId, 508u);
  EXPECT_EQ(host.calls,
            (std::vector<HostCall>{HostCall::Version, HostCall::Architecture, HostCall::ProcessId}));
}

TEST(ClassifyHost, OverwritesWhatAnEarlierClassificationLeft) {
  FakeHostQuery homeServer;
  homeServer.version.majorVersion = 5;
  homeServer.version.minorVersion = 2;
  homeServer.version.productType = kServer;
  homeServer.version.suiteMask = 0x8000;
  homeServer.serverR2Metric = 1;
  homeServer.architecture = kX64;
  SystemInfo info;
  EXPECT_EQ(ClassifyHost(info, homeServer), 0);
  ASSERT_EQ(info.unsupportedNote, kNote);

  FakeHostQuery xpOnX86;
  xpOnX86.version.majorVersion = 5;
  xpOnX86.version.minorVersion = 1;
  xpOnX86.version.productType = kWorkstation;
  xpOnX86.architecture = kX86;
  xpOnX86.processId = 9;
  EXPECT_EQ(ClassifyHost(info, xpOnX86), 0);
  EXPECT_EQ(info.osName, L"Windows XP");
  EXPECT_EQ(info.supported, 1);
  EXPECT_EQ(info.unsupportedNote, L"");
  EXPECT_EQ(info.processorName, L"x86");
  EXPECT_EQ(info.is64Bit, 0);
  EXPECT_EQ(info.suiteMask, 0u);
  EXPECT_EQ(info.processId, 9u);
}

TEST(SystemInfo, FreshRecordIsAllEmptyAndZero) {
  const SystemInfo info{};
  for (const std::wstring* text :
       {&info.osName, &info.allUsersProfile, &info.allUsersProfileShort, &info.userProfile,
        &info.userProfileShort, &info.tempFolder, &info.tempFolderShort, &info.logFilePath,
        &info.processorName, &info.unsupportedNote, &info.servicePack}) {
    EXPECT_TRUE(text->empty());
  }
  EXPECT_EQ(info.majorVersion, 0u);
  EXPECT_EQ(info.minorVersion, 0u);
  EXPECT_EQ(info.buildNumber, 0u);
  EXPECT_EQ(info.platformId, 0u);
  EXPECT_EQ(info.servicePackMajor, 0u);
  EXPECT_EQ(info.servicePackMinor, 0u);
  EXPECT_EQ(info.suiteMask, 0u);
  EXPECT_EQ(info.productType, 0u);
  EXPECT_EQ(info.supported, 0);
  EXPECT_EQ(info.processId, 0u);
  EXPECT_EQ(info.is64Bit, 0);
}

}  // namespace
