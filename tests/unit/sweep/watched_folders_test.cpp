#include "sweep/watched_folders.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/fake_driver_services.h"
#include "fakes/fake_processes.h"

namespace {

struct Collect {
  FakeEnvironment environment;
  std::wostringstream console;
  FakeDialog dialog;
  FakeShortPaths shortPaths;
  SystemInfo info;

  bool Run() {
    return CollectWatchedFolders(info, EnvironmentLookup{environment, console, dialog}, shortPaths);
  }
};

TEST(CollectWatchedFolders, ReadsEachVariableAndItsShortFormInOrder) {
  Collect collect;
  collect.environment.variables = {{L"allusersprofile", L"C:\\Documents and Settings\\All Users"},
                                   {L"userprofile", L"c:\\DOCUMENTS and Settings\\Ann\\"},
                                   {L"temp", L"C:\\No Such Folder"}};
  collect.shortPaths.shortForms = {{L"C:\\Documents and Settings\\All Users", L"C:\\DOCUME~1\\ALLUSE~1"},
                                   {L"c:\\DOCUMENTS and Settings\\Ann\\", L"c:\\DOCUME~1\\Ann\\"}};
  ASSERT_TRUE(collect.Run());

  EXPECT_EQ(collect.environment.lookedUp,
            (std::vector<std::wstring>{L"allusersprofile", L"userprofile", L"temp"}));
  EXPECT_EQ(collect.shortPaths.asked,
            (std::vector<std::wstring>{L"C:\\Documents and Settings\\All Users",
                                       L"c:\\DOCUMENTS and Settings\\Ann\\", L"C:\\No Such Folder"}));
  const SystemInfo& info = collect.info;
  EXPECT_EQ(info.allUsersProfile, L"C:\\Documents and Settings\\All Users");
  EXPECT_EQ(info.allUsersProfileShort, L"C:\\DOCUME~1\\ALLUSE~1");
  // Stored as the environment gives it: case and trailing backslash kept.
  EXPECT_EQ(info.userProfile, L"c:\\DOCUMENTS and Settings\\Ann\\");
  EXPECT_EQ(info.userProfileShort, L"c:\\DOCUME~1\\Ann\\");
  // No short form: the long form stands twice.
  EXPECT_EQ(info.tempFolder, L"C:\\No Such Folder");
  EXPECT_EQ(info.tempFolderShort, L"C:\\No Such Folder");
  EXPECT_EQ(collect.console.str(), L"");
  EXPECT_EQ(collect.dialog.shown.size(), 0u);
}

TEST(CollectWatchedFolders, StopsAtTheFirstMissingVariable) {
  const struct {
    const wchar_t* missing;
    std::size_t lookups;
    std::size_t shortForms;
  } cases[] = {{L"allusersprofile", 1, 0}, {L"userprofile", 2, 1}, {L"temp", 3, 2}};
  for (const auto& c : cases) {
    Collect collect;
    collect.environment.variables = {
        {L"allusersprofile", L"C:\\ProgramData"}, {L"userprofile", L"C:\\Users\\Ann"}, {L"temp", L"C:\\T"}};
    collect.environment.variables.erase(c.missing);
    EXPECT_FALSE(collect.Run()) << c.missing;
    EXPECT_EQ(collect.environment.lookedUp.size(), c.lookups) << c.missing;
    EXPECT_EQ(collect.shortPaths.asked.size(), c.shortForms) << c.missing;
    EXPECT_EQ(collect.dialog.shown.size(), 1u) << c.missing;
    EXPECT_NE(collect.console.str(), L"") << c.missing;
    EXPECT_EQ(collect.info.tempFolder, L"") << c.missing;
  }
}

TEST(CollectWatchedFolders, AFolderThatHoldsTheSystemIsNotUsed) {
  const struct {
    const wchar_t* temp;
    bool refused;
  } cases[] = {{L"C:\\Windows NT\\System32", true},
               {L"C:\\WINDOW~1\\SysWOW64", true},  // through the Windows folder's short form
               {L"C:\\Windows NT\\Temp", false}};
  for (const auto& c : cases) {
    Collect collect;
    collect.environment.variables = {
        {L"allusersprofile", L"C:\\ProgramData"}, {L"userprofile", L"C:\\Users\\Ann"}, {L"temp", c.temp}};
    collect.shortPaths.windowsFolder = L"C:\\Windows NT";
    collect.shortPaths.shortForms = {{L"C:\\Windows NT", L"C:\\WINDOW~1"}};
    ASSERT_TRUE(collect.Run());
    const std::wstring kept = c.refused ? L"" : c.temp;
    EXPECT_EQ(collect.info.tempFolder, kept);
    EXPECT_EQ(collect.info.tempFolderShort, kept);
    EXPECT_EQ(collect.info.userProfile, L"C:\\Users\\Ann");
    EXPECT_EQ(collect.console.str(), L"");
  }
}

}  // namespace
