#include "sweep/sweep.h"

#include <gtest/gtest.h>

#include "fakes/fakes.h"

namespace {

const std::wstring kChecking = L"Checking for processes to terminate before fixing executable associations.\r\n";
const std::wstring kTerminated = L" * C:\\Documents and Settings\\All Users\\a.exe (7)[Terminated].\r\n"
                                 L" * c:\\docume~1\\ann\\locals~1\\temp\\b.exe (8) [Terminated].\r\n"
                                 L" * C:\\DOCUME~1\\ALLUSE~1\\d.exe (10) [Terminated].\r\n";

// On a Windows XP host, each folder with a short form of its own, the tool
// (100) and its parent (50) run from the profile; the processes from 11 on
// fail at opening, reading modules, reading the path and terminating.
TEST(SweepProcesses, SparesTheToolAndItsParentAndGoesOnPastEveryFailingStep) {
  const struct {
    int snapshots;  // those that succeed
    std::wstring log;
    std::vector<std::uint32_t> terminated;
    std::wstring console;
  } cases[] = {{2, kChecking + kTerminated, {7, 8, 10}, L""},
               {1, kChecking + L" * C:\\Documents and Settings\\Ann\\launcher.exe (50) [Terminated].\r\n" + kTerminated,
                {50, 7, 8, 10}, L""},  // without the parent lookup only the tool is spared
               {0, kChecking, {}, L"invalid\n"}};
  for (const auto& c : cases) {
    SystemInfo info;
    info.processId = 100;
    info.allUsersProfile = L"C:\\Documents and Settings\\All Users";
    info.allUsersProfileShort = L"C:\\DOCUME~1\\ALLUSE~1";
    info.userProfile = L"C:\\Documents and Settings\\Ann";
    info.userProfileShort = L"C:\\DOCUME~1\\Ann";
    info.tempFolder = L"C:\\Documents and Settings\\Ann\\Local Settings\\Temp";
    info.tempFolderShort = L"C:\\DOCUME~1\\Ann\\LOCALS~1\\Temp";
    FakeProcessTable table;
    table.snapshotsLeft = c.snapshots;
    table.processes = {{4, 0, L"C:\\WINDOWS\\system32\\smss.exe"},
                       {50, 4, L"C:\\Documents and Settings\\Ann\\launcher.exe"},
                       {100, 50, L"C:\\DOCUME~1\\Ann\\Desktop\\Morvane.exe"},
                       {7, 50, L"C:\\Documents and Settings\\All Users\\a.exe"},
                       {8, 50, L"c:\\docume~1\\ann\\locals~1\\temp\\b.exe"},
                       {9, 50, L"C:\\Documents and Settings\\Anna\\c.exe"},
                       {10, 50, L"C:\\DOCUME~1\\ALLUSE~1\\d.exe"},
                       {11, 50, L"C:\\DOCUME~1\\Ann\\e.exe", true},
                       {12, 50, L"C:\\DOCUME~1\\Ann\\e.exe", false, true},
                       {13, 50, L"C:\\DOCUME~1\\Ann\\e.exe", false, false, true},
                       {14, 50, L"C:\\DOCUME~1\\Ann\\e.exe", false, false, false, true}};
    std::wostringstream log, console;
    EXPECT_EQ(SweepProcesses(info, log, console, table), c.terminated.size());
    EXPECT_EQ(log.str(), c.log);
    EXPECT_EQ(table.terminated, c.terminated);
    EXPECT_EQ(console.str(), c.console);
    EXPECT_EQ(std::count(table.opened.begin(), table.opened.end(), 100), 0) << "the tool is never opened";
    EXPECT_TRUE(table.open.empty() && table.misuse == 0) << "a handle was not closed once";
  }
}

}  // namespace
