// What the contract suite cannot see on the Windows registry: the access
// masks asked for, every key closed on every failure path, and the walk's
// behaviour when a key resists.

#include "registry/operations.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "registry/memory_registry.h"

namespace {

const RegistryRoot HKLM = RegistryRoot::HKLM;
const RegistryRoot HKCU = RegistryRoot::HKCU;

// The open or create calls an operation made, as (kind, key, options, mask).
struct OpenCall {
  RegistryCallKind kind;
  std::wstring key;
  std::uint32_t options;
  std::uint32_t mask;
  bool operator==(const OpenCall& other) const {
    return kind == other.kind && key == other.key && options == other.options &&
           mask == other.mask;
  }
};

std::vector<OpenCall> Opens(const MemoryRegistry& registry) {
  std::vector<OpenCall> opens;
  for (const RegistryCall& call : registry.Calls()) {
    if (call.kind == RegistryCallKind::OpenKey || call.kind == RegistryCallKind::CreateKey) {
      opens.push_back({call.kind, call.key, call.options, call.mask});
    }
  }
  return opens;
}

TEST(RegistryOperations, AskForTheDocumentedAccess) {
  using Kind = RegistryCallKind;
  struct Case {
    const char* label;
    std::function<void(RegistryAccess&)> run;
    OpenCall expected;
  } cases[] = {
      {"KeyExists", [](RegistryAccess& r) { (void)KeyExists(r, HKCU, L"S\\K"); },
       {Kind::OpenKey, L"HKCU\\S\\K", 0, 0x20019}},
      {"ReadDefaultValue", [](RegistryAccess& r) { (void)ReadDefaultValue(r, HKLM, L"S\\K"); },
       {Kind::OpenKey, L"HKLM\\S\\K", 0, 0x20019}},
      {"SetValueIfDifferent",
       [](RegistryAccess& r) { SetValueIfDifferent(r, L"S\\K", L"", L"x", ValueType::RegSz); },
       {Kind::CreateKey, L"HKLM\\S\\K", 0, 0xF013F}},
      {"SetValue", [](RegistryAccess& r) { SetValue(r, L"S\\K", L"", L"x", ValueType::RegSz); },
       {Kind::CreateKey, L"HKLM\\S\\K", 0, 0xF013F}},
      {"SetEditFlagsBinary", [](RegistryAccess& r) { SetEditFlagsBinary(r, L"S\\K", EditFlags{}); },
       {Kind::CreateKey, L"HKLM\\S\\K", 0, 0xF013F}},
      {"SetComOpenEditFlags", [](RegistryAccess& r) { SetComOpenEditFlags(r); },
       {Kind::CreateKey, L"HKLM\\Software\\Classes\\comfile\\shell\\open", 0, 0xF013F}},
      {"DeleteValue", [](RegistryAccess& r) { DeleteValue(r, L"S\\K", L"v"); },
       {Kind::OpenKey, L"HKLM\\S\\K", 0, 0xF013F}},
      // The walk deletes through handles of the keys themselves, links included.
      {"DeleteKeyTree", [](RegistryAccess& r) { DeleteKeyTree(r, HKCU, L"S\\K"); },
       {Kind::OpenKey, L"HKCU\\S\\K", kOptionOpenLink, 0x30119}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    MemoryRegistry registry;
    registry.AddString(HKLM, L"S\\K", L"v", L"x");
    registry.AddString(HKCU, L"S\\K", L"v", L"x");
    c.run(registry);
    std::vector<OpenCall> opens = Opens(registry);
    ASSERT_FALSE(opens.empty());
    EXPECT_EQ(opens.front(), c.expected);
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
  }
}

TEST(RegistryOperations, FailuresChangeNothingAndCloseEveryKey) {
  using Kind = RegistryCallKind;
  struct Case {
    const char* label;
    Kind failing;
    RegistryStatus status;
    std::function<bool(RegistryAccess&)> run;
    bool expected;
  } cases[] = {
      {"create refused", Kind::CreateKey, kRegistryAccessDenied,
       [](RegistryAccess& r) { return SetValueIfDifferent(r, L"S\\K", L"v", L"y", ValueType::RegSz); },
       false},
      {"query refused", Kind::QueryValue, kRegistryAccessDenied,
       [](RegistryAccess& r) { return SetValueIfDifferent(r, L"S\\K", L"v", L"y", ValueType::RegSz); },
       false},
      {"query too large", Kind::QueryValue, kRegistryMoreData,
       [](RegistryAccess& r) { return SetValueIfDifferent(r, L"S\\K", L"v", L"y", ValueType::RegSz); },
       false},
      {"write refused", Kind::SetValue, kRegistryAccessDenied,
       [](RegistryAccess& r) { return SetValueIfDifferent(r, L"S\\K", L"v", L"y", ValueType::RegSz); },
       false},
      {"plain write refused", Kind::SetValue, kRegistryAccessDenied,
       [](RegistryAccess& r) { return SetValue(r, L"S\\K", L"v", L"y", ValueType::RegSz); }, false},
      {"flags write refused", Kind::SetValue, kRegistryAccessDenied,
       [](RegistryAccess& r) { return SetEditFlagsBinary(r, L"S\\K", EditFlags{1, 2, 3, 4}); },
       false},
      {"open refused", Kind::OpenKey, kRegistryAccessDenied,
       [](RegistryAccess& r) { return KeyExists(r, HKLM, L"S\\K"); }, false},
      {"read refused", Kind::QueryValue, kRegistryAccessDenied,
       [](RegistryAccess& r) { return !ReadDefaultValue(r, HKLM, L"S\\K").empty(); }, false},
      {"value deletion refused", Kind::DeleteValue, kRegistryAccessDenied,
       [](RegistryAccess& r) { DeleteValue(r, L"S\\K", L"v"); return true; }, true},
      {"key deletion refused", Kind::DeleteOpenedKey, kRegistryAccessDenied,
       [](RegistryAccess& r) { return DeleteKeyTree(r, HKLM, L"S\\K"); }, false},
      {"walk refused", Kind::EnumKey, kRegistryAccessDenied,
       [](RegistryAccess& r) { return DeleteKeyTree(r, HKLM, L"S"); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    MemoryRegistry registry;
    registry.AddString(HKLM, L"S\\K", L"v", L"x");
    registry.AddString(HKLM, L"S\\K", L"", L"x");
    registry.InjectFailure(c.failing, HKLM, L"S\\K", c.status);
    registry.InjectFailure(c.failing, HKLM, L"S", c.status);
    const RegistrySnapshot before = registry.Snapshot();
    EXPECT_EQ(c.run(registry), c.expected);
    EXPECT_TRUE(MemoryRegistry::Differences(before, registry.Snapshot()).empty());
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
  }
}

TEST(RegistryOperations, WhatWasDeletedStaysDeletedWhenASubkeyResists) {
  struct Case {
    const char* label;
    std::function<void(MemoryRegistry&)> resist;
    std::vector<std::wstring> remaining;
  } cases[] = {
      {"middle subkey refuses deletion",
       [](MemoryRegistry& r) { r.RefuseDeletion(HKLM, L"T\\b"); },
       {L"HKLM\\T", L"HKLM\\T\\b", L"HKLM\\T\\c", L"HKLM\\T\\c\\deep"}},
      {"middle subkey refuses opening",
       [](MemoryRegistry& r) { r.RefuseOpening(HKLM, L"T\\b"); },
       {L"HKLM\\T", L"HKLM\\T\\b", L"HKLM\\T\\b\\x", L"HKLM\\T\\c", L"HKLM\\T\\c\\deep"}},
      {"a deep key refuses deletion",
       [](MemoryRegistry& r) { r.RefuseDeletion(HKLM, L"T\\c\\deep"); },
       {L"HKLM\\T", L"HKLM\\T\\c", L"HKLM\\T\\c\\deep"}},
      {"the key itself refuses deletion",
       [](MemoryRegistry& r) { r.RefuseDeletion(HKLM, L"T"); }, {L"HKLM\\T"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    MemoryRegistry registry;
    for (const wchar_t* path : {L"T\\a", L"T\\b\\x", L"T\\c\\deep"}) registry.AddKey(HKLM, path);
    c.resist(registry);
    EXPECT_FALSE(DeleteKeyTree(registry, HKLM, L"T"));
    EXPECT_EQ(registry.ListKeys(), c.remaining);
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
  }
}

TEST(RegistryOperations, ALinkThatResistsIsLeftAndNeverWalked) {
  MemoryRegistry registry;
  registry.AddKey(HKLM, L"Software\\Classes\\exefile\\shell\\open");
  registry.AddLink(HKCU, L"Software\\Classes\\.exe\\trap", HKLM, L"Software\\Classes\\exefile");
  registry.RefuseDeletion(HKCU, L"Software\\Classes\\.exe\\trap");
  EXPECT_FALSE(DeleteKeyTree(registry, HKCU, L"Software\\Classes\\.exe"));
  EXPECT_TRUE(registry.IsLinkKey(HKCU, L"Software\\Classes\\.exe\\trap"));
  EXPECT_TRUE(registry.HasKey(HKLM, L"Software\\Classes\\exefile\\shell\\open"));
  for (const RegistryCall& call : registry.Calls()) {
    EXPECT_EQ(call.key.find(L"\\trap\\"), std::wstring::npos)
        << std::string(call.key.begin(), call.key.end());
  }
}

TEST(RegistryOperations, DeleteKeyTreeBelowNeedsAPlainRelativePath) {
  for (const wchar_t* relative :
       {L"", L"\\", L"\\K", L"S\\\\K", L".", L"..", L"K\\..", L"..\\S"}) {
    MemoryRegistry registry;
    registry.AddKey(HKCU, L"S\\K\\..");
    registry.AddKey(HKCU, L"S\\K\\.");
    EXPECT_FALSE(DeleteKeyTreeBelow(registry, HKCU, L"S", relative))
        << std::wstring(relative).size();
    EXPECT_EQ(registry.ListKeys(),
              (std::vector<std::wstring>{L"HKCU\\S", L"HKCU\\S\\K", L"HKCU\\S\\K\\.",
                                         L"HKCU\\S\\K\\.."}));
  }
}

}  // namespace
