#include "driver/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/fake_driver_services.h"
#include "fakes/fake_host.h"
#include "fakes/fake_processes.h"
#include "host/classify.h"
#include "registry/memory_registry.h"
#include "support/family_reset.h"
#include "test_support.h"

namespace {

constexpr std::uint16_t kX64 = 9;
constexpr std::uint8_t kWorkstation = 1;

const std::wstring kLicenseTitle = L"Morvane License";
const std::wstring kFinishedTitle = L"Morvane Finished";
const std::wstring kErrorTitle = L"Morvane Error";

// Everything one run needs, set up as a healthy Windows 7 host with a Desktop
// folder under the profile, no process to terminate and a user who presses OK.
struct RunWorld {
  RunWorld() {
    std::filesystem::create_directory(profile.Path() / "Desktop");
    environment.variables = {{L"USERPROFILE", profile.Path().wstring()},
                             {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
                             {L"TEMP", L"C:\\Temp"}};
    host.version.majorVersion = 6;
    host.version.minorVersion = 1;
    host.version.productType = kWorkstation;
    host.architecture = kX64;
    clock.ticks = {1000, 4000};
  }

  int Run() {
    RunServices services{console, dialog, clock, environment, tokens, host, shortPaths, processes, registry};
    return ::Run(services);
  }

  std::filesystem::path LogPath() const { return profile.Path() / "Desktop" / "Morvane.txt"; }
  bool LogExists() const { return std::filesystem::exists(LogPath()); }
  // The log file's text after its byte-order mark; empty when the mark is missing.
  std::wstring LogText() const { return DecodeLog(ReadBytes(LogPath())); }

  static std::wstring DecodeLog(const std::string& bytes) {
    if (bytes.compare(0, 2, "\xFF\xFE") != 0) return L"";
    std::wstring text;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                   (static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
  }

  std::vector<std::wstring> DialogTitles() const {
    std::vector<std::wstring> titles;
    for (const ShownDialog& shown : dialog.shown) titles.push_back(shown.title);
    return titles;
  }

  TempFolder profile;
  FakeConsole console;
  FakeDialog dialog;
  FakeClock clock;
  FakeEnvironment environment;
  FakeTokenService tokens;
  FakeHostQuery host;
  FakeShortPaths shortPaths;
  FakeProcessTable processes;
  MemoryRegistry registry;
};

bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::wstring Tail(const std::wstring& text, std::size_t length) {
  return text.size() <= length ? text : text.substr(text.size() - length);
}

struct WayOut {
  const char* name;
  std::function<void(RunWorld&)> arrange;
  int exitCode;
  std::optional<std::wstring> logEnd;  // nullopt: no log file at all
  std::wstring consoleAfterLog;        // what the console shows beyond the log's text
  std::vector<std::wstring> dialogs;
  bool registryTouched;
};

const std::wstring kProcessorStop =
    L" mode.\r\n\r\nYour processor type could not be determined. Program terminating.\r\n";
const std::wstring kNoteLine = L"Your version of Windows is not supported by this program.\r\n";
const std::wstring kNoProcesses = L"Windows Version: Windows 7\r\n\r\n"
                                  L"Checking for processes to terminate before fixing executable associations.\r\n"
                                  L" * No processes found to kill.\r\n\r\n";

const std::wstring kClosing = L" seconds(s)\r\n\n";

class RunWaysOut : public testing::TestWithParam<WayOut> {};

TEST_P(RunWaysOut, ExitCodeLastTextDialogsAndRegistry) {
  const WayOut& c = GetParam();
  RunWorld world;
  c.arrange(world);

  EXPECT_EQ(world.Run(), c.exitCode);

  if (c.logEnd) {
    const std::wstring log = world.LogText();
    EXPECT_TRUE(EndsWith(log, *c.logEnd)) << "log ends: " << testing::PrintToString(Tail(log, 200));
    EXPECT_EQ(world.console.Text(), log + c.consoleAfterLog) << "the console carries the log once";
    if (world.tokens.enableSucceeds) {
      EXPECT_EQ(log.rfind(L"Morvane, by the Morvane developers\r\n", 0), 0u) << "the banner opens the log";
    }
  } else {
    EXPECT_FALSE(world.LogExists());
    EXPECT_EQ(world.console.Text(), c.consoleAfterLog);
  }
  EXPECT_EQ(world.DialogTitles(), c.dialogs);
  if (!c.registryTouched) {
    EXPECT_TRUE(world.registry.Calls().empty()) << "no registry change on an early stop";
  } else {
    EXPECT_FALSE(world.registry.Calls().empty());
  }
  EXPECT_EQ(world.registry.OpenKeyCount(), 0u);
  const auto opens = std::count(world.tokens.calls.begin(), world.tokens.calls.end(), TokenCall::Open);
  EXPECT_EQ(world.tokens.TotalCloses(), world.tokens.openSucceeds ? opens : 0) << "the token is closed once";
}

const std::vector<std::wstring> kBothDialogs = {kLicenseTitle, kFinishedTitle};

// Name, arrangement, exit code, log end, console beyond the log, dialogs, registry touched.
INSTANTIATE_TEST_SUITE_P(
    Run, RunWaysOut,
    testing::Values(
        WayOut{"NormalEnd", [](RunWorld&) {}, 0, kClosing, L"", kBothDialogs, true},
        WayOut{"UserProfileMissing", [](RunWorld& w) { w.environment.variables.erase(L"USERPROFILE"); }, 1,
               std::nullopt, L"userprofile doesn't exist! Morvane Terminated!\n", {kErrorTitle}, false},
        WayOut{"NoMemoryForUserProfile", [](RunWorld& w) { w.environment.allocationFails = true; }, 1,
               std::nullopt, L"Failed to allocate memory! Morvane Terminated!\n", {kErrorTitle}, false},
        WayOut{"UnknownProcessor", [](RunWorld& w) { w.host.architecture = 0xFFFF; }, 1,
               L"in Unknown" + kProcessorStop, L"", {}, false},
        WayOut{"Itanium", [](RunWorld& w) { w.host.architecture = 6; }, 1, L"in Itanium" + kProcessorStop, L"",
               {}, false},
        WayOut{"UnsupportedWithNote", [](RunWorld& w) { w.host.version.majorVersion = 5; w.host.version.minorVersion = 0; },
               1, L" mode.\r\n\r\nYour operating system, Windows 2000, is not supported.\r\n" + kNoteLine, L"", {},
               false},
        WayOut{"UnsupportedWithoutNote", [](RunWorld& w) { w.host.version.minorVersion = 3; }, 1,
               L" mode.\r\n\r\nYour operating system, Unknown Version, is not supported.\r\n", L"", {}, false},
        WayOut{"VersionQueryFails", [](RunWorld& w) { w.host.versionFails = true; }, 1,
               L" mode.\r\n\r\nYour operating system, Unknown Version, is not supported.\r\n", L"", {}, false},
        WayOut{"TempMissing", [](RunWorld& w) { w.environment.variables.erase(L"TEMP"); }, 1,
               L" mode.\r\nWindows Version: Windows 7\r\n\r\n", L"temp doesn't exist! Morvane Terminated!\n",
               {kErrorTitle}, false},
        WayOut{"AllUsersProfileMissing", [](RunWorld& w) { w.environment.variables.erase(L"ALLUSERSPROFILE"); }, 1,
               L" mode.\r\nWindows Version: Windows 7\r\n\r\n",
               L"allusersprofile doesn't exist! Morvane Terminated!\n", {kErrorTitle}, false},
        WayOut{"Cancel", [](RunWorld& w) { w.dialog.answers = {kIdCancel}; }, 1,
               kNoProcesses + L"Program cancelled by the user!\r\n", L"", {kLicenseTitle}, false},
        WayOut{"LicenseDialogFails", [](RunWorld& w) { w.dialog.answers = {0}; }, 0, kClosing, L"", kBothDialogs,
               true},
        WayOut{"LicenseDialogCannotShow", [](RunWorld& w) { w.dialog.answers = {-1}; }, 0, kClosing, L"",
               kBothDialogs, true},
        WayOut{"PrivilegeFails", [](RunWorld& w) { w.tokens.enableSucceeds = false; w.tokens.lastError = 5; }, 0,
               kClosing, L"", kBothDialogs, true},
        WayOut{"TokenCannotOpen", [](RunWorld& w) { w.tokens.openSucceeds = false; }, 0, kClosing, L"",
               kBothDialogs, true}),
    [](const testing::TestParamInfo<WayOut>& param) { return param.param.name; });

TEST(Run, PrivilegeFailureLineComesBeforeTheBanner) {
  RunWorld world;
  world.tokens.enableSucceeds = false;
  world.tokens.lastError = 5;
  ASSERT_EQ(world.Run(), 0);
  EXPECT_EQ(world.LogText().rfind(L"Could not Gain SEDebugPrivileges: 5\r\nMorvane, by the Morvane developers\r\n", 0),
            0u);
}

// Without a Desktop folder, and where the Desktop folder or the log file's own
// name leads elsewhere (a link, a second name of another file): no log file,
// and the file elsewhere keeps every byte.
TEST(Run, WithoutAPlainLogFileTheConsoleCarriesTheWholeRunOnce) {
  namespace fs = std::filesystem;
  const struct {
    const char* name;
    void (*arrange)(const fs::path& desktop, const fs::path& elsewhere);
  } cases[] = {
      {"no Desktop folder", [](const fs::path& desktop, const fs::path&) { fs::remove(desktop); }},
      {"Desktop is a link",
       [](const fs::path& desktop, const fs::path& elsewhere) {
         fs::remove(desktop);
         fs::create_directory_symlink(elsewhere.parent_path(), desktop);
       }},
      {"log file is a link",
       [](const fs::path& desktop, const fs::path& elsewhere) { fs::create_symlink(elsewhere, desktop / "Morvane.txt"); }},
      {"log file is a second name",
       [](const fs::path& desktop, const fs::path& elsewhere) { fs::create_hard_link(elsewhere, desktop / "Morvane.txt"); }},
  };
  RunWorld reference;
  ASSERT_EQ(reference.Run(), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunWorld world;
    TempFolder system;
    const fs::path elsewhere = system.Path() / "Morvane.txt";
    std::ofstream(elsewhere, std::ios::binary) << "system file";
    c.arrange(world.profile.Path() / "Desktop", elsewhere);
    ASSERT_EQ(world.Run(), 0);

    EXPECT_EQ(world.console.Text(), reference.console.Text());
    EXPECT_TRUE(EndsWith(world.console.Text(), kClosing));
    EXPECT_EQ(ReadBytes(elsewhere), "system file");
  }
}

TEST(Run, FinishedDialogComesAfterTheLogIsComplete) {
  RunWorld world;
  std::wstring logAtLicense;
  std::wstring logAtFinish;
  world.dialog.onShow = [&](const ShownDialog& shown) {
    (shown.title == kLicenseTitle ? logAtLicense : logAtFinish) = world.LogText();
  };
  ASSERT_EQ(world.Run(), 0);

  EXPECT_TRUE(EndsWith(logAtLicense, L" * No processes found to kill.\r\n\r\n"));
  EXPECT_EQ(logAtFinish, world.LogText());
  EXPECT_TRUE(EndsWith(logAtFinish, L"\r\nExecution time: 0 hours(s), 0 minute(s), and 3 seconds(s)\r\n\n"));
  EXPECT_EQ(world.console.utf16ModeSwitches, 1);

  ASSERT_EQ(world.dialog.shown.size(), 2u);
  EXPECT_EQ(world.dialog.shown[0].flags, kMbOkCancel | kMbIconWarning);
  EXPECT_EQ(world.dialog.shown[0].text,
            L"Morvane is a program designed to fix executable (.exe, .bat, .com) file associations when you "
            L"are no longer able to launch these types of programs.  Though this program has been thoroughly "
            L"tested, the use of this program is done at your own risk.\r\n\r\nIf you would like to continue, "
            L"please press the OK button.");
  EXPECT_EQ(world.dialog.shown[1].flags, kMbOk | kMbIconInformation);
  EXPECT_EQ(world.dialog.shown[1].text,
            L"Your executables (.exe, .bat, .com) should now properly execute on your computer!");
}

TEST(Run, EarlierLogIsKeptWhenTheProfileIsMissing) {
  RunWorld world;
  {
    std::ofstream earlier(world.LogPath(), std::ios::binary);
    earlier << "\xFF\xFE" "e\0a\0r\0l\0i\0e\0r\0" << std::string(1, '\0');
  }
  const std::string before = ReadBytes(world.LogPath());
  world.environment.variables.erase(L"USERPROFILE");
  EXPECT_EQ(world.Run(), 1);
  EXPECT_EQ(ReadBytes(world.LogPath()), before);
  EXPECT_EQ(world.console.utf16ModeSwitches, 0);
}

// Text from the registry with control characters, and writes or deletions that
// fail: the line each leaves, the exit code and the finished dialog.
struct RepairLineCase {
  const char* name;
  std::function<void(MemoryRegistry&, FakeHostQuery&)> arrange;
  std::wstring line;
  int exitCode;
};

TEST(Run, FailedRepairsAreReportedAndEndWithExitCode2) {
  const std::wstring classes = L"Software\\Classes\\";
  const RegistryRoot hklm = RegistryRoot::HKLM;
  const RegistryRoot hkcu = RegistryRoot::HKCU;
  const std::vector<RepairLineCase> cases = {
      {"old value with control characters",
       [&](MemoryRegistry& r, FakeHostQuery&) { r.AddString(hklm, classes + L".exe", L"", L"a\r\n * b\x7F\u00E9"); },
       L"  * HKLM\\Software\\Classes\\.exe\\\\@ has been changed to a\\x0D\\x0A * b\\x7F\u00E9!\r\n", 0},
      {"value write refused",
       [&](MemoryRegistry& r, FakeHostQuery&) {
         r.InjectFailure(RegistryCallKind::SetValue, hklm, classes + L"exefile\\shell\\open\\command", 5);
       },
       L"\r\n  * HKLM\\Software\\Classes\\exefile\\shell\\open\\command\\\\@ could not be reset (error 5)!\r\n\r\n", 2},
      {"tree deletion refused below",
       [&](MemoryRegistry& r, FakeHostQuery&) {
         r.AddKey(hklm, classes + L".exe\\shell\\open");
         r.RefuseDeletion(hklm, classes + L".exe\\shell\\open");
       },
       L"\r\n  * HKLM\\Software\\Classes\\.exe\\shell could not be reset (error 5)!\r\n\r\n", 2},
      {"value deletion refused",
       [&](MemoryRegistry& r, FakeHostQuery& host) {
         host.version.majorVersion = 5;
         r.AddString(hklm, classes + L"exefile", L"Content Type", L"x");
         r.InjectFailure(RegistryCallKind::DeleteValue, hklm, classes + L"exefile", 1346);
       },
       L"\r\n  * HKLM\\Software\\Classes\\exefile\\\\Content Type could not be reset (error 1346)!\r\n\r\n", 2},
      {"per-user extension key refused",
       [&](MemoryRegistry& r, FakeHostQuery&) {
         r.AddString(hkcu, L"SOFTWARE\\Classes\\.com", L"", L"x\r\n");
         r.RefuseDeletion(hkcu, L"SOFTWARE\\Classes\\.com");
       },
       L"set to x\\x0D\\x0A!\r\n  * HKCU\\SOFTWARE\\Classes\\.com could not be reset (error 5)!\r\n\r\n", 2},
      {"per-user class key refused",
       [&](MemoryRegistry& r, FakeHostQuery&) {
         r.AddString(hkcu, L"SOFTWARE\\Classes\\.bat", L"", L"c\r");
         r.AddKey(hkcu, L"SOFTWARE\\Classes\\c\r");
         r.RefuseDeletion(hkcu, L"SOFTWARE\\Classes\\c\r");
       },
       L"  * HKCU\\SOFTWARE\\Classes\\.bat has been deleted!\r\n"
       L"  * HKCU\\SOFTWARE\\Classes\\c\\x0D could not be reset (error 5)!\r\n\r\n", 2},
  };
  for (const RepairLineCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunWorld world;
    c.arrange(world.registry, world.host);
    EXPECT_EQ(world.Run(), c.exitCode);
    const std::wstring log = world.LogText();
    EXPECT_NE(log.find(c.line), std::wstring::npos) << testing::PrintToString(log);
    EXPECT_EQ(world.console.Text(), log);
    ASSERT_EQ(world.DialogTitles(), kBothDialogs);
    const ShownDialog& finished = world.dialog.shown[1];
    if (c.exitCode == 0) {
      EXPECT_EQ(finished.text, L"Your executables (.exe, .bat, .com) should now properly execute on your computer!");
      continue;
    }
    EXPECT_EQ(finished.text, L"Some associations of executables (.exe, .bat, .com) could not be reset! "
                             L"The log file names each one: " +
                                 world.profile.Path().wstring() + L"\\Desktop\\Morvane.txt.");
    EXPECT_EQ(finished.flags, kMbOk | kMbIconWarning);
  }
}

struct CountCase {
  std::size_t processesInTemp;
  std::wstring countLines;
  std::vector<std::uint32_t> sleeps;
};

TEST(Run, CountLineAndWaitBeforeTheLicenseDialog) {
  const std::vector<CountCase> cases = {
      {0, L" * No processes found to kill.\r\n\r\n", {}},
      {1, L"\r\n1 proccess terminated!\r\n\r\n", {2000}},
      {2, L"\r\n2 proccesses terminated!\r\n\r\n", {2000}},
      {12, L"\r\n12 proccesses terminated!\r\n\r\n", {2000}},
  };
  for (const CountCase& c : cases) {
    RunWorld world;
    for (std::uint32_t i = 0; i < c.processesInTemp; ++i) {
      FakeProcess process;
      process.processId = 100 + i;
      process.path = L"C:\\Temp\\bad" + std::to_wstring(i) + L".exe";
      world.processes.processes.push_back(process);
    }
    std::size_t sleepsAtLicense = 99;
    world.dialog.onShow = [&](const ShownDialog& shown) {
      if (shown.title == kLicenseTitle) sleepsAtLicense = world.clock.sleeps.size();
    };
    ASSERT_EQ(world.Run(), 0);

    EXPECT_NE(world.LogText().find(c.countLines + L"Resetting .EXE, .COM, & .BAT associations in the Windows "
                                                  L"Registry.\r\n\r\n"),
              std::wstring::npos)
        << c.processesInTemp;
    EXPECT_EQ(world.processes.terminated.size(), c.processesInTemp);
    EXPECT_EQ(world.clock.sleeps, c.sleeps);
    EXPECT_EQ(sleepsAtLicense, c.sleeps.size());
  }
}

// The reset that runs for a version is exactly what the family's routines do
// on their own: the same registry calls and the same report lines.
struct ResetCase {
  const char* name;
  std::uint32_t major;
  std::uint32_t minor;
  std::uint8_t productType;
  reset_test::Family expected;  // the family whose reset the run must make
};

std::vector<std::wstring> CallLines(const MemoryRegistry& registry) {
  std::vector<std::wstring> lines;
  for (const RegistryCall& call : registry.Calls()) {
    lines.push_back(std::to_wstring(static_cast<int>(call.kind)) + L" " + call.key + L" [" + call.name + L"] " +
                    std::to_wstring(call.options) + L" " + std::to_wstring(call.mask) + L" " +
                    std::to_wstring(call.status));
  }
  return lines;
}

class RunResetTable : public testing::TestWithParam<ResetCase> {};

TEST_P(RunResetTable, RunsTheFamilyRoutines) {
  const ResetCase& c = GetParam();
  RunWorld world;
  world.host.version.majorVersion = c.major;
  world.host.version.minorVersion = c.minor;
  world.host.version.productType = c.productType;
  ASSERT_EQ(world.Run(), 0);

  SystemInfo info;
  FakeHostQuery host = world.host;
  ASSERT_EQ(ClassifyHost(info, host), 0);
  ASSERT_EQ(info.supported, 1);
  MemoryRegistry reference;
  std::wostringstream referenceLog;
  reset_test::RunFamilyReset(reference, c.expected, referenceLog);

  EXPECT_EQ(CallLines(world.registry), CallLines(reference));
  const std::wstring log = world.LogText();
  const std::wstring resetting = L"Resetting .EXE, .COM, & .BAT associations in the Windows Registry.\r\n\r\n";
  const std::size_t from = log.find(resetting);
  const std::size_t to = log.rfind(L"\r\nProgram finished at: ");
  ASSERT_NE(from, std::wstring::npos);
  ASSERT_NE(to, std::wstring::npos);
  EXPECT_EQ(log.substr(from + resetting.size(), to - from - resetting.size()), referenceLog.str());
}

INSTANTIATE_TEST_SUITE_P(
    Run, RunResetTable,
    testing::Values(ResetCase{"WindowsXp", 5, 1, kWorkstation, reset_test::Family::kXpMinor1},
                    ResetCase{"Server2003", 5, 2, 3, reset_test::Family::kXpMinor2},
                    ResetCase{"Vista", 6, 0, kWorkstation, reset_test::Family::kVista},
                    ResetCase{"Windows7", 6, 1, kWorkstation, reset_test::Family::kWin7},
                    ResetCase{"Windows8", 6, 2, kWorkstation, reset_test::Family::kWin8},
                    ResetCase{"Server8", 6, 2, 3, reset_test::Family::kWin8}),
    [](const testing::TestParamInfo<ResetCase>& param) { return param.param.name; });

}  // namespace
