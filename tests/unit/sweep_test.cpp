#include "sweep/sweep.h"

#include <gtest/gtest.h>

#include <sstream>

#include "fakes/fakes.h"

namespace {

const std::wstring kChecking = L"Checking for processes to terminate before fixing executable associations.\r\n";

// A Windows XP host, each folder with a short form of its own; the tool (100)
// and its parent (50) run from the profile.
struct Sweep {
  Sweep() {
    info.processId = 100;
    info.allUsersProfile = L"C:\\Documents and Settings\\All Users";
    info.allUsersProfileShort = L"C:\\DOCUME~1\\ALLUSE~1";
    info.userProfile = L"C:\\Documents and Settings\\Ann";
    info.userProfileShort = L"C:\\DOCUME~1\\Ann";
    info.tempFolder = L"C:\\Documents and Settings\\Ann\\Local Settings\\Temp";
    info.tempFolderShort = L"C:\\DOCUME~1\\Ann\\LOCALS~1\\Temp";
    table.processes = {
        {4, 0, L"C:\\WINDOWS\\system32\\smss.exe"},
        {50, 4, L"C:\\Documents and Settings\\Ann\\launcher.exe"},
        {100, 50, L"C:\\DOCUME~1\\Ann\\Desktop\\Morvane.exe"},
        {7, 50, L"C:\\Documents and Settings\\All Users\\a.exe"},
        {8, 50, L"c:\\docume~1\\ann\\locals~1\\temp\\b.exe"},
        {9, 50, L"C:\\Documents and Settings\\Anna\\c.exe"},
        {10, 50, L"C:\\DOCUME~1\\ALLUSE~1\\d.exe"},
        {11, 50, L"C:\\DOCUME~1\\Ann\\e.exe", true},
        {12, 50, L"C:\\DOCUME~1\\Ann\\e.exe", false, true},
        {13, 50, L"C:\\DOCUME~1\\Ann\\e.exe", false, false, true},
        {14, 50, L"C:\\DOCUME~1\\Ann\\e.exe", false, false, false, true},
    };
  }
  std::uint32_t Run() { return SweepProcesses(info, log, console, table); }

  SystemInfo info;
  FakeProcessTable table;
  std::wostringstream log, console;
};

TEST(SweepProcesses, TerminatesWhatRunsFromAWatchedFolderButTheToolAndItsParent) {
  Sweep sweep;
  EXPECT_EQ(sweep.Run(), 3u);
  EXPECT_EQ(sweep.log.str(), kChecking + L" * C:\\Documents and Settings\\All Users\\a.exe (7)[Terminated].\r\n"
                                         L" * c:\\docume~1\\ann\\locals~1\\temp\\b.exe (8) [Terminated].\r\n"
                                         L" * C:\\DOCUME~1\\ALLUSE~1\\d.exe (10) [Terminated].\r\n");
  EXPECT_EQ(sweep.table.terminated, (std::vector<std::uint32_t>{7, 8, 10}));
  EXPECT_EQ(sweep.table.opened, (std::vector<std::uint32_t>{4, 7, 8, 9, 10, 11, 12, 13, 14}));
  EXPECT_TRUE(sweep.table.open.empty() && sweep.table.misuse == 0) << "a handle was not closed once";
  EXPECT_EQ(sweep.console.str(), L"");
}

TEST(SweepProcesses, WithoutTheParentLookupOnlyTheToolIsSpared) {
  Sweep sweep;
  sweep.table.snapshotsLeft = 1;
  EXPECT_EQ(sweep.Run(), 4u);
  EXPECT_EQ(sweep.table.terminated, (std::vector<std::uint32_t>{50, 7, 8, 10}));
  EXPECT_TRUE(sweep.table.open.empty() && sweep.table.misuse == 0);
}

TEST(SweepProcesses, AFailedSnapshotSaysInvalidOnTheConsoleOnly) {
  Sweep sweep;
  sweep.table.snapshotsLeft = 0;
  EXPECT_EQ(sweep.Run(), 0u);
  EXPECT_EQ(sweep.log.str(), kChecking);
  EXPECT_EQ(sweep.console.str(), L"invalid\n");
  EXPECT_TRUE(sweep.table.opened.empty());
}

}  // namespace
