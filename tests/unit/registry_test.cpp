// What no run on a real registry can provoke or see: registry calls that
// fail, and keys left open. (Links met where the repair deletes: the contract
// suite, and the fuzz seeds replayed natively.)
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "registry/operations.h"
#include "registry/reset.h"
#include "registry/user_override.h"
#include "support/memory_registry.h"
#include "support/registry_values.h"

namespace {

constexpr RegistryRoot HKLM = RegistryRoot::HKLM;
using Kind = RegistryCallKind;

TEST(RegistryOperations, AFailingCallChangesNothingAndLeavesNoKeyOpen) {
  const auto setIfDifferent = [](RegistryAccess& r) { return SetValueIfDifferent(r, L"S\\K", L"v", L"y", ValueType::RegSz); };
  const auto setFlags = [](RegistryAccess& r) { return SetEditFlagsBinary(r, L"S\\K", EditFlags{1, 2, 3, 4}); };
  const auto exists = [](RegistryAccess& r) { return KeyExists(r, HKLM, L"S\\K"); };
  const auto read = [](RegistryAccess& r) { return !ReadDefaultValue(r, HKLM, L"S\\K").empty(); };
  const auto deleteValue = [](RegistryAccess& r) {
    DeleteValue(r, L"S\\K", L"v");
    return false;
  };
  const auto deleteTree = [](RegistryAccess& r) { return DeleteKeyTree(r, HKLM, L"S"); };
  const struct {
    Kind failing;
    RegistryStatus status;
    std::function<bool(RegistryAccess&)> operation;  // true when it reports success
  } cases[] = {{Kind::CreateKey, 5, setIfDifferent},  {Kind::QueryValue, 5, setIfDifferent},
               {Kind::QueryValue, 234, setIfDifferent}, {Kind::SetValue, 5, setIfDifferent},
               {Kind::SetValue, 5, setFlags},          {Kind::OpenKey, 5, exists},
               {Kind::QueryValue, 5, read},            {Kind::DeleteValue, 5, deleteValue},
               {Kind::DeleteOpenedKey, 5, deleteTree}, {Kind::EnumKey, 5, deleteTree},
               {Kind::IsLink, 5, deleteTree}};
  for (const auto& c : cases) {
    MemoryRegistry registry;
    ASSERT_TRUE(PutText(registry, L"HKLM\\S\\K", L"v", L"x") && PutText(registry, L"HKLM\\S\\K", L"", L"x"));
    registry.Fail(c.failing, L"HKLM\\S\\K", c.status);
    registry.Fail(c.failing, L"HKLM\\S", c.status);
    const RegistryState before = registry.State();
    EXPECT_FALSE(c.operation(registry)) << static_cast<int>(c.failing) << " " << c.status;
    EXPECT_EQ(registry.State(), before) << static_cast<int>(c.failing) << " " << c.status;
    EXPECT_EQ(registry.OpenKeys(), 0u);
  }
}

TEST(Reset, ARecreationWhoseEveryWriteFailedIsNotReported) {
  MemoryRegistry registry;
  for (Kind kind : {Kind::OpenKey, Kind::CreateKey}) {
    registry.Fail(kind, L"HKLM\\Software\\Classes\\.com", kRegistryAccessDenied);
  }
  std::wostringstream log;
  ResetWin7Win8Family(registry, log);
  EXPECT_EQ(log.str().find(L".com did not exist"), std::wstring::npos);
  EXPECT_NE(log.str().find(L".exe did not exist and was recreated!"), std::wstring::npos);
  EXPECT_EQ(registry.OpenKeys(), 0u);
}

TEST(UserOverride, TheClassKeyGoesEvenWhenTheExtensionKeyResists) {
  MemoryRegistry registry;
  ASSERT_TRUE(PutText(registry, L"HKCU\\SOFTWARE\\Classes\\.exe", L"", L"exefile"));
  ASSERT_TRUE(Put(registry, L"HKCU\\SOFTWARE\\Classes\\exefile\\shell", L"", ValueType::RegNone, {}));
  registry.Fail(Kind::DeleteOpenedKey, L"HKCU\\SOFTWARE\\Classes\\.exe", kRegistryAccessDenied);
  std::wostringstream log;
  RemoveUserOverride(registry, log, L".exe");
  EXPECT_EQ(log.str(), L"  * HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to exefile!\r\n"
                       L"  * HKCU\\SOFTWARE\\Classes\\.exe could not be reset (error 5)!\r\n\r\n"
                       L"  * HKCU\\SOFTWARE\\Classes\\exefile has been deleted!\r\n\r\n");
  EXPECT_TRUE(registry.Has(L"HKCU\\SOFTWARE\\Classes\\.exe"));
  EXPECT_FALSE(registry.Has(L"HKCU\\SOFTWARE\\Classes\\exefile"));
  EXPECT_EQ(registry.OpenKeys(), 0u);
}

// Explorer's choice that cannot go is named and counted: a deletion refused,
// or a choice reached through a link, whose target stays.
TEST(UserOverride, AnExplorerChoiceThatStaysIsAFailure) {
  const std::wstring fileExts = L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.exe";
  const std::wstring choice = fileExts + L"\\UserChoice";
  const std::wstring named = L"  * " + choice + L" exists and is set to txtfile!\r\n  * " + choice;
  for (const bool linked : {false, true}) {
    MemoryRegistry registry;
    if (linked) {
      ASSERT_TRUE(PutLink(registry, fileExts, L"HKLM\\Software\\Elsewhere"));
      ASSERT_TRUE(PutText(registry, L"HKLM\\Software\\Elsewhere\\UserChoice", L"ProgId", L"txtfile"));
    } else {
      ASSERT_TRUE(PutText(registry, choice, L"Progid", L"txtfile"));  // as Vista and 7 name it
      registry.Fail(Kind::DeleteOpenedKey, choice, kRegistryAccessDenied);
    }
    const RegistryState before = registry.State();
    std::wostringstream log;
    EXPECT_EQ(RemoveUserOverride(registry, log, L".exe"), 1u);
    EXPECT_EQ(log.str(), named + (linked ? L" is reached through a registry link, which is not followed; it was not deleted!\r\n\r\n"
                                         : L" could not be reset (error 5)!\r\n\r\n"));
    EXPECT_EQ(registry.State(), before);
    EXPECT_EQ(registry.OpenKeys(), 0u);
  }
}

}  // namespace
