#include "driver/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "driver/process_environment.h"
#include "fakes/fake_driver_services.h"

namespace {

constexpr unsigned kErrorFlags = kMbOk | kMbIconInformation;
const std::wstring kMissingText =
    L"There was a problem retrieving a necessary environment variable. Morvane has terminated!";
const std::wstring kNoMemoryText =
    L"There was a problem allocating memory to the program.  Morvane has terminated!";

struct LookupCase {
  const char* name;
  std::map<std::wstring, std::wstring> variables;
  std::wstring asked;
  bool allocationFails;
  std::optional<std::wstring> value;
  std::wstring consoleText;
  std::wstring dialogText;  // empty: no dialog
};

const std::wstring kLongValue(100000, L'x');

class Lookup : public testing::TestWithParam<LookupCase> {};

TEST_P(Lookup, ValueOrFatalStop) {
  const LookupCase& c = GetParam();
  FakeEnvironment environment;
  environment.variables = c.variables;
  environment.allocationFails = c.allocationFails;
  std::wostringstream console;
  FakeDialog dialog;

  const std::optional<std::wstring> value =
      ReadEnvironmentVariable({environment, console, dialog}, c.asked);

  EXPECT_EQ(value, c.value);
  EXPECT_EQ(console.str(), c.consoleText);
  if (c.dialogText.empty()) {
    EXPECT_TRUE(dialog.shown.empty());
  } else {
    ASSERT_EQ(dialog.shown.size(), 1u);
    EXPECT_EQ(dialog.shown[0].text, c.dialogText);
    EXPECT_EQ(dialog.shown[0].title, L"Morvane Error");
    EXPECT_EQ(dialog.shown[0].flags, kErrorFlags);
  }
  if (value) {
    ASSERT_EQ(environment.allocations.size(), 1u);
    EXPECT_EQ(environment.allocations[0], (value->size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(environment.releases, 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Variables, Lookup,
    testing::Values(
        LookupCase{"Found", {{L"temp", L"C:\\T"}}, L"temp", false, L"C:\\T", L"", L""},
        LookupCase{"UpperCaseName", {{L"TEMP", L"C:\\Up"}}, L"temp", false, L"C:\\Up", L"", L""},
        LookupCase{"MixedCaseName", {{L"Temp", L"C:\\Mixed"}}, L"temp", false, L"C:\\Mixed", L"", L""},
        LookupCase{"EmptyValue", {{L"temp", L""}}, L"temp", false, L"", L"", L""},
        LookupCase{"LongValue", {{L"temp", kLongValue}}, L"temp", false, kLongValue, L"", L""},
        LookupCase{"Missing",
                   {{L"temp", L"C:\\T"}},
                   L"userprofile",
                   false,
                   std::nullopt,
                   L"userprofile doesn't exist! Morvane Terminated!\n",
                   kMissingText},
        LookupCase{"NoMemory",
                   {{L"userprofile", L"C:\\Users\\me"}},
                   L"userprofile",
                   true,
                   std::nullopt,
                   L"Failed to allocate memory! Morvane Terminated!\n",
                   kNoMemoryText}),
    [](const testing::TestParamInfo<LookupCase>& param) { return param.param.name; });

// The process environment is case-sensitive here; the lookup is not.
class ProcessEnvironmentTest : public testing::Test {
 protected:
  void Set(const char* name, const char* value) {
    ::setenv(name, value, 1);
    set_.push_back(name);
  }
  void TearDown() override {
    for (const char* name : set_) ::unsetenv(name);
  }
  std::optional<std::wstring> Read(const std::wstring& name) {
    return ReadEnvironmentVariable({environment, console, dialog}, name);
  }

  ProcessEnvironment environment;
  std::wostringstream console;
  FakeDialog dialog;

 private:
  std::vector<const char*> set_;
};

TEST_F(ProcessEnvironmentTest, MatchesNamesRegardlessOfLetterCase) {
  Set("MORVANE_TEST_TEMP", "/tmp/upper");
  Set("Morvane_Test_Profile", "/home/J\xC3\xB6rg");
  Set("MORVANE_TEST_EMPTY", "");

  EXPECT_EQ(Read(L"morvane_test_temp"), L"/tmp/upper");
  EXPECT_EQ(Read(L"morvane_test_profile"), L"/home/J\u00F6rg");
  EXPECT_EQ(Read(L"morvane_test_empty"), L"");
  EXPECT_EQ(environment.RequiredSize(L"morvane_test_empty"), 1u);
  EXPECT_TRUE(dialog.shown.empty());
}

TEST_F(ProcessEnvironmentTest, OnlyLettersAToZFoldAndPrefixesDoNotMatch) {
  Set("MORVANE_TEST_\xC3\x89T\xC3\x89", "accented");  // MORVANE_TEST_ and E acute, T, E acute
  Set("MORVANE_TEST_LONGER", "x");

  EXPECT_EQ(Read(L"morvane_test_\u00C9t\u00C9"), L"accented");
  for (const wchar_t* name :
       {L"morvane_test_\u00E9t\u00E9", L"morvane_test_long", L"morvane_test_longer2", L"morvane_test_longer="}) {
    EXPECT_EQ(environment.RequiredSize(name), 0u);
  }
  EXPECT_EQ(Read(L"morvane_test_\u00E9t\u00E9"), std::nullopt);
  EXPECT_EQ(console.str(), L"morvane_test_\u00E9t\u00E9 doesn't exist! Morvane Terminated!\n");
}

TEST_F(ProcessEnvironmentTest, CopyStaysWithinTheBuffer) {
  Set("MORVANE_TEST_VALUE", "abcdef");
  wchar_t buffer[4] = {L'?', L'?', L'?', L'?'};
  environment.Copy(L"morvane_test_value", buffer, 4);
  EXPECT_EQ(std::wstring(buffer), L"abc");
}

}  // namespace
