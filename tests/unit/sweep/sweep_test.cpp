#include "sweep/sweep.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "fakes/fake_processes.h"

namespace {

constexpr std::uint32_t kSelf = 100;
constexpr std::uint32_t kParent = 50;
const std::wstring kChecking =
    L"Checking for processes to terminate before fixing executable associations.\r\n";

// A Windows XP host: every folder has a short form of its own.
SystemInfo XpHost() {
  SystemInfo info;
  info.processId = kSelf;
  info.allUsersProfile = L"C:\\Documents and Settings\\All Users";
  info.allUsersProfileShort = L"C:\\DOCUME~1\\ALLUSE~1";
  info.userProfile = L"C:\\Documents and Settings\\Ann";
  info.userProfileShort = L"C:\\DOCUME~1\\Ann";
  info.tempFolder = L"C:\\Documents and Settings\\Ann\\Local Settings\\Temp";
  info.tempFolderShort = L"C:\\DOCUME~1\\Ann\\LOCALS~1\\Temp";
  return info;
}

struct Sweep {
  std::wostringstream runLog;
  std::wostringstream console;
  std::uint32_t count = 0;

  Sweep(const SystemInfo& info, FakeProcessTable& table) {
    count = SweepProcesses(info, runLog, console, table);
  }
};

// The tool and its parent first, then the process under test.
FakeProcessTable WithOne(const FakeProcess& process) {
  return FakeProcessTable({{kParent, 4, L"C:\\WINDOWS\\explorer.exe"},
                           {kSelf, kParent, L"C:\\Documents and Settings\\Ann\\Desktop\\m.exe"},
                           process});
}

struct LineCase {
  const wchar_t* path;
  const wchar_t* line;  // null: the process is left alone
};

const LineCase kLineCases[] = {
    {L"C:\\Documents and Settings\\All Users\\Application Data\\a.exe",
     L" * C:\\Documents and Settings\\All Users\\Application Data\\a.exe (7)[Terminated].\r\n"},
    {L"c:\\documents and settings\\all users\\a.exe",
     L" * c:\\documents and settings\\all users\\a.exe (7)[Terminated].\r\n"},
    {L"C:\\DOCUME~1\\ALLUSE~1\\a.exe", L" * C:\\DOCUME~1\\ALLUSE~1\\a.exe (7) [Terminated].\r\n"},
    {L"C:\\Documents and Settings\\Ann\\b.exe",
     L" * C:\\Documents and Settings\\Ann\\b.exe (7) [Terminated].\r\n"},
    {L"C:\\DOCUME~1\\Ann\\b.exe", L" * C:\\DOCUME~1\\Ann\\b.exe (7) [Terminated].\r\n"},
    {L"C:\\Documents and Settings\\Ann\\Local Settings\\Temp\\c.exe",
     L" * C:\\Documents and Settings\\Ann\\Local Settings\\Temp\\c.exe (7) [Terminated].\r\n"},
    {L"C:\\DOCUME~1\\Ann\\LOCALS~1\\Temp\\c.exe",
     L" * C:\\DOCUME~1\\Ann\\LOCALS~1\\Temp\\c.exe (7) [Terminated].\r\n"},
    {L"C:\\DOCUME~1\\ANN\\locals~1\\TEMP\\c.exe",
     L" * C:\\DOCUME~1\\ANN\\locals~1\\TEMP\\c.exe (7) [Terminated].\r\n"},
    {L"C:\\Documents and Settings\\Anna\\b.exe", nullptr},
    {L"C:\\DOCUME~1\\Ann2\\b.exe", nullptr},
    {L"C:\\WINDOWS\\system32\\svchost.exe", nullptr},
};

TEST(SweepProcesses, TerminatesExactlyWhatRunsFromAWatchedFolderAndReportsIt) {
  for (const LineCase& c : kLineCases) {
    FakeProcessTable table = WithOne({7, kParent, c.path});
    Sweep sweep(XpHost(), table);
    const bool hit = c.line != nullptr;
    EXPECT_EQ(sweep.count, hit ? 1u : 0u) << c.path;
    EXPECT_EQ(sweep.runLog.str(), kChecking + (hit ? c.line : L"")) << c.path;
    EXPECT_EQ(table.terminated, hit ? std::vector<std::uint32_t>{7} : std::vector<std::uint32_t>{})
        << c.path;
    EXPECT_TRUE(table.AllClosedOnce()) << c.path;
    EXPECT_EQ(sweep.console.str(), L"") << c.path;
  }
}

TEST(SweepProcesses, TheAllUsersFolderDecidesTheLineEndingWhereFoldersNest) {
  SystemInfo info = XpHost();
  info.tempFolder = L"C:\\Documents and Settings\\All Users\\Temp";
  info.tempFolderShort = info.tempFolder;
  FakeProcessTable table = WithOne({7, kParent, L"C:\\Documents and Settings\\All Users\\Temp\\t.exe"});
  Sweep sweep(info, table);
  EXPECT_EQ(sweep.runLog.str(),
            kChecking + L" * C:\\Documents and Settings\\All Users\\Temp\\t.exe (7)[Terminated].\r\n");
}

TEST(SweepProcesses, FoldersThatAreEmptyMatchNothing) {
  SystemInfo info;
  info.processId = kSelf;
  FakeProcessTable table = WithOne({7, kParent, L"C:\\Documents and Settings\\Ann\\b.exe"});
  Sweep sweep(info, table);
  EXPECT_EQ(sweep.count, 0u);
  EXPECT_TRUE(table.terminated.empty());
}

TEST(SweepProcesses, APathThatFillsTheBufferDoesNotEndAtAFolderBoundary) {
  SystemInfo info = XpHost();
  info.tempFolder = L"C:\\" + std::wstring(kExecutablePathCapacity - 4, L'a');
  FakeProcessTable cut = WithOne({7, kParent, info.tempFolder});
  EXPECT_EQ(Sweep(info, cut).count, 0u);
  FakeProcessTable inside = WithOne({7, kParent, info.tempFolder + L"\\"});
  EXPECT_EQ(Sweep(info, inside).count, 1u);
}

TEST(SweepProcesses, NeverOpensTheToolOrItsParentEvenInsideAWatchedFolder) {
  FakeProcessTable table({{4, 0, L"System"},
                          {kParent, 4, L"C:\\Documents and Settings\\Ann\\launcher.exe"},
                          {kSelf, kParent, L"C:\\Documents and Settings\\Ann\\Desktop\\m.exe"},
                          {7, kParent, L"C:\\DOCUME~1\\Ann\\LOCALS~1\\Temp\\c.exe"}});
  Sweep sweep(XpHost(), table);
  EXPECT_EQ(sweep.count, 1u);
  EXPECT_EQ(table.opened, (std::vector<std::uint32_t>{4, 7}));
  EXPECT_EQ(table.terminated, (std::vector<std::uint32_t>{7}));
  EXPECT_EQ(table.snapshotsTaken.size(), 2u);  // the walk, and the parent lookup
  EXPECT_TRUE(table.AllClosedOnce());
}

TEST(SweepProcesses, WithoutAParentOnlyTheToolAndProcessZeroAreSpared) {
  const std::vector<FakeProcess> processes = {
      {0, 0, L"C:\\Documents and Settings\\Ann\\idle.exe"},
      {kParent, 4, L"C:\\Documents and Settings\\Ann\\launcher.exe"},
      {kSelf, kParent, L"C:\\Documents and Settings\\Ann\\Desktop\\m.exe"}};

  FakeProcessTable noSnapshot(processes);
  noSnapshot.snapshotFails = true;
  EXPECT_EQ(FindParentProcessId(XpHost(), noSnapshot), 0u);

  FakeProcessTable table(processes);
  table.snapshotsBeforeFailure = 1;  // the parent lookup's snapshot fails
  Sweep sweep(XpHost(), table);
  EXPECT_EQ(table.opened, (std::vector<std::uint32_t>{kParent}));
  EXPECT_EQ(table.terminated, (std::vector<std::uint32_t>{kParent}));
  EXPECT_TRUE(table.AllClosedOnce());
}

TEST(FindParentProcessId, ReturnsTheToolsParentOrZero) {
  FakeProcessTable table({{4, 0, L""}, {kParent, 4, L""}, {kSelf, kParent, L""}});
  EXPECT_EQ(FindParentProcessId(XpHost(), table), kParent);
  SystemInfo absent = XpHost();
  absent.processId = 99;
  EXPECT_EQ(FindParentProcessId(absent, table), 0u);
  FakeProcessTable empty;
  EXPECT_EQ(FindParentProcessId(XpHost(), empty), 0u);
  EXPECT_EQ(table.snapshotsTaken.size(), 2u);
  EXPECT_TRUE(table.AllClosedOnce());
  EXPECT_TRUE(empty.AllClosedOnce());
  EXPECT_TRUE(table.opened.empty());
}

struct FailureCase {
  bool FakeProcess::*flag;
  const char* step;
};

const FailureCase kFailureCases[] = {
    {&FakeProcess::openFails, "open"},
    {&FakeProcess::probeFails, "probe"},
    {&FakeProcess::readFails, "read"},
    {&FakeProcess::terminateFails, "terminate"},
};

TEST(SweepProcesses, SkipsAProcessAtWhicheverStepFailsAndGoesOn) {
  for (const FailureCase& c : kFailureCases) {
    FakeProcess failing{7, kParent, L"C:\\DOCUME~1\\Ann\\f.exe"};
    failing.*c.flag = true;
    FakeProcessTable table({failing, {8, kParent, L"C:\\DOCUME~1\\Ann\\g.exe"}});
    Sweep sweep(XpHost(), table);
    EXPECT_EQ(sweep.count, 1u) << c.step;
    EXPECT_EQ(sweep.runLog.str(), kChecking + L" * C:\\DOCUME~1\\Ann\\g.exe (8) [Terminated].\r\n")
        << c.step;
    EXPECT_EQ(table.terminated, (std::vector<std::uint32_t>{8})) << c.step;
    EXPECT_EQ(table.opened, (std::vector<std::uint32_t>{7, 8})) << c.step;
    EXPECT_TRUE(table.AllClosedOnce()) << c.step;
  }
}

TEST(SweepProcesses, ReportsTwoMatchesInSnapshotOrder) {
  FakeProcessTable table({{30, kParent, L"C:\\DOCUME~1\\Ann\\LOCALS~1\\Temp\\z.exe"},
                          {12, kParent, L"C:\\WINDOWS\\notepad.exe"},
                          {9, kParent, L"C:\\Documents and Settings\\All Users\\a.exe"}});
  Sweep sweep(XpHost(), table);
  EXPECT_EQ(sweep.count, 2u);
  EXPECT_EQ(sweep.runLog.str(), kChecking +
                                    L" * C:\\DOCUME~1\\Ann\\LOCALS~1\\Temp\\z.exe (30) [Terminated].\r\n"
                                    L" * C:\\Documents and Settings\\All Users\\a.exe (9)[Terminated].\r\n");
  EXPECT_EQ(table.terminated, (std::vector<std::uint32_t>{30, 9}));
  EXPECT_EQ(table.processHandlesOpened.size(), 3u);
  EXPECT_TRUE(table.AllClosedOnce());
}

TEST(SweepProcesses, AFailedSnapshotSaysInvalidOnTheConsoleOnly) {
  FakeProcessTable table = WithOne({7, kParent, L"C:\\DOCUME~1\\Ann\\b.exe"});
  table.snapshotFails = true;
  Sweep sweep(XpHost(), table);
  EXPECT_EQ(sweep.count, 0u);
  EXPECT_EQ(sweep.console.str(), L"invalid\n");
  EXPECT_EQ(sweep.runLog.str(), kChecking);
  EXPECT_EQ(table.snapshotAttempts, 1u);
  EXPECT_TRUE(table.opened.empty());
}

TEST(SweepProcesses, AnEmptySnapshotIsClosedAndSilent) {
  FakeProcessTable table;
  Sweep sweep(XpHost(), table);
  EXPECT_EQ(sweep.count, 0u);
  EXPECT_EQ(sweep.runLog.str(), kChecking);
  EXPECT_EQ(sweep.console.str(), L"");
  EXPECT_EQ(table.snapshotsTaken.size(), 1u);  // no parent lookup
  EXPECT_TRUE(table.AllClosedOnce());
}

}  // namespace
