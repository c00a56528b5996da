// What no run on a real registry can provoke or see: registry calls that
// fail, keys left open, and links met where the repair deletes.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "registry/operations.h"
#include "registry/reset.h"
#include "registry/user_override.h"
#include "support/memory_registry.h"

namespace {

constexpr RegistryRoot HKLM = RegistryRoot::HKLM;
constexpr RegistryRoot HKCU = RegistryRoot::HKCU;
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

TEST(RegistryOperations, WhatWasDeletedStaysDeletedWhenASubkeyResists) {
  MemoryRegistry registry;
  for (const wchar_t* key : {L"HKLM\\T\\a", L"HKLM\\T\\b\\x", L"HKLM\\T\\c\\deep"}) {
    ASSERT_TRUE(Put(registry, key, L"", ValueType::RegNone, {}));
  }
  registry.Fail(Kind::DeleteOpenedKey, L"HKLM\\T\\b", kRegistryAccessDenied);
  EXPECT_FALSE(DeleteKeyTree(registry, HKLM, L"T"));
  RegistryState left;
  for (const wchar_t* key : {L"HKLM\\T", L"HKLM\\T\\B", L"HKLM\\T\\C", L"HKLM\\T\\C\\DEEP"}) left[key] = {};
  EXPECT_EQ(registry.State(), left);
  EXPECT_EQ(registry.OpenKeys(), 0u);
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
                       L"  * HKCU\\SOFTWARE\\Classes\\exefile has been deleted!\r\n\r\n");
  EXPECT_TRUE(registry.Has(L"HKCU\\SOFTWARE\\Classes\\.exe"));
  EXPECT_FALSE(registry.Has(L"HKCU\\SOFTWARE\\Classes\\exefile"));
  EXPECT_EQ(registry.OpenKeys(), 0u);
}

// A per-user key that is a link goes as the link; nothing is deleted through
// a link, and a class name never leads out of the per-user classes.
TEST(UserOverride, LinksGoAsLinksAndClassNamesStayBelowTheUsersClasses) {
  MemoryRegistry registry;
  const std::wstring classes = L"HKCU\\SOFTWARE\\Classes\\";
  ASSERT_TRUE(PutText(registry, L"HKLM\\Software\\Classes\\exefile\\shell\\open\\command", L"", L"\"%1\" %*"));
  ASSERT_TRUE(PutText(registry, L"HKLM\\Software\\Classes\\.com", L"", L"comfile"));
  ASSERT_TRUE(PutText(registry, classes + L".exe", L"", L"hop\\shell"));
  ASSERT_TRUE(PutLink(registry, classes + L"hop", L"HKLM\\Software\\Classes\\exefile"));
  ASSERT_TRUE(PutText(registry, classes + L".bat", L"", L"evil"));
  ASSERT_TRUE(PutLink(registry, classes + L"evil", L"HKLM\\Software\\Classes\\exefile"));
  ASSERT_TRUE(PutLink(registry, classes + L".com", L"HKLM\\Software\\Classes\\.com"));
  ASSERT_TRUE(PutText(registry, L"HKCU\\SOFTWARE\\Other", L"", L"kept"));
  const RegistryState before = registry.State();
  std::wostringstream log;
  for (const wchar_t* extension : {L".exe", L".bat", L".com"}) RemoveUserOverride(registry, log, extension);

  RegistryState after = before;
  for (const wchar_t* gone : {L".EXE", L".BAT", L"EVIL", L".COM"}) after.erase(FoldName(classes) + gone);
  EXPECT_EQ(registry.State(), after);
  EXPECT_EQ(registry.OpenKeys(), 0u);
  for (const wchar_t* odd : {L"\\", L"\\\\", L"..", L"..\\Other", L".", L"a\\\\b", L"\\..\\Other"}) {
    ASSERT_TRUE(PutText(registry, classes + L".exe", L"", odd));
    ASSERT_TRUE(Put(registry, classes + L"a\\b", L"", ValueType::RegNone, {}));
    RemoveUserOverride(registry, log, L".exe");
    EXPECT_TRUE(registry.Has(classes + L"a\\b") && registry.Has(L"HKCU\\SOFTWARE\\Other")) << odd;
    EXPECT_TRUE(registry.Has(L"HKCU\\SOFTWARE\\Classes") && registry.Has(L"HKLM\\Software\\Classes\\.com"));
  }
}

}  // namespace
