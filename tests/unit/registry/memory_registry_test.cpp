// The in-memory registry's own aids: links beyond what the contract covers,
// the record of calls, injected failures and the comparison of snapshots.

#include "registry/memory_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry/registry_text.h"

namespace {

const RegistryRoot HKLM = RegistryRoot::HKLM;
const RegistryRoot HKCU = RegistryRoot::HKCU;
const RegistryAccess::Key kHklm = RegistryAccess::RootKey(HKLM);
const RegistryAccess::Key kHkcu = RegistryAccess::RootKey(HKCU);

TEST(MemoryRegistry, LinksResolveAcrossRootsAndFailWhenBroken) {
  struct Case {
    const char* label;
    std::wstring target;  // native path stored in the link
    RegistryStatus status;
  } cases[] = {
      {"machine", MemoryRegistry::NativePath(HKLM, L"Software\\T"), kRegistrySuccess},
      {"user", MemoryRegistry::NativePath(HKCU, L"Elsewhere\\T"), kRegistrySuccess},
      {"case of the prefix", L"\\REGISTRY\\machine\\software\\t", kRegistrySuccess},
      {"missing target", MemoryRegistry::NativePath(HKLM, L"Software\\None"), kRegistryFileNotFound},
      {"unknown root", L"\\Registry\\Other\\T", kRegistryFileNotFound},
      {"prefix only in part", L"\\Registry\\MachineX\\Software\\T", kRegistryFileNotFound},
      {"loop", MemoryRegistry::NativePath(HKCU, L"L"), kRegistryCircularLink},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    MemoryRegistry registry;
    registry.AddString(HKLM, L"Software\\T", L"", L"machine");
    registry.AddString(HKCU, L"Elsewhere\\T", L"", L"user");
    registry.AddLink(HKCU, L"L", HKLM, L"unused");
    registry.AddValue(HKCU, L"L", kSymbolicLinkValueName, ValueType::RegLink,
                      Utf16LeBytes(ToUtf16(c.target)));
    RegistryKey key(registry);
    EXPECT_EQ(key.Open(kHkcu, L"L", kOptionNonVolatile, kKeyRead), c.status);
    EXPECT_EQ(key.valid(), c.status == kRegistrySuccess);
  }
}

TEST(MemoryRegistry, SeedingNeverGoesThroughALink) {
  MemoryRegistry registry;
  ASSERT_TRUE(registry.AddLink(HKCU, L"L", HKLM, L"T"));
  EXPECT_FALSE(registry.AddKey(HKCU, L"L\\Sub"));
  EXPECT_FALSE(registry.AddString(HKCU, L"L\\Sub", L"", L"x"));
  EXPECT_FALSE(registry.AddKey(HKCU, L"\\Bad"));
  EXPECT_TRUE(registry.AddKey(HKCU, L"K\\Sub"));
  EXPECT_FALSE(registry.AddLink(HKCU, L"K", HKLM, L"T"));  // K has a subkey
  EXPECT_EQ(registry.ListKeys(), (std::vector<std::wstring>{L"HKCU\\K", L"HKCU\\K\\Sub", L"HKCU\\L"}));
}

TEST(MemoryRegistry, RecordsEveryCallWithItsKeyAndOutcome) {
  MemoryRegistry registry;
  registry.AddString(HKLM, L"Software\\K", L"v", L"x");
  RegistryKey key(registry);
  ASSERT_EQ(key.Open(kHklm, L"software\\k", kOptionNonVolatile, kKeyRead), kRegistrySuccess);
  ValueType type = ValueType::RegNone;
  std::uint32_t size = 0;
  EXPECT_EQ(registry.QueryValue(key.get(), L"missing", type, nullptr, size), kRegistryFileNotFound);
  key.Close();

  const std::vector<RegistryCall>& calls = registry.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].kind, RegistryCallKind::OpenKey);
  EXPECT_EQ(calls[0].key, L"HKLM\\software\\k");
  EXPECT_EQ(calls[0].mask, kKeyRead);
  EXPECT_EQ(calls[1].kind, RegistryCallKind::QueryValue);
  EXPECT_EQ(calls[1].key, L"HKLM\\Software\\K");  // the key as it is spelled
  EXPECT_EQ(calls[1].name, L"missing");
  EXPECT_EQ(calls[1].status, kRegistryFileNotFound);
  EXPECT_EQ(calls[2].kind, RegistryCallKind::CloseKey);
  EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

TEST(MemoryRegistry, InjectedFailuresHitOnlyTheirKeyAndCall) {
  MemoryRegistry registry;
  registry.AddKey(HKLM, L"A\\B");
  registry.AddLink(HKCU, L"L", HKLM, L"A");
  registry.InjectFailure(RegistryCallKind::OpenKey, HKLM, L"a\\b\\", kRegistryAccessDenied);
  RegistryKey key(registry);
  EXPECT_EQ(key.Open(kHklm, L"A\\B", kOptionNonVolatile, kKeyRead), kRegistryAccessDenied);
  // Reached through a link it is the same key.
  EXPECT_EQ(key.Open(kHkcu, L"L\\B", kOptionNonVolatile, kKeyRead), kRegistryAccessDenied);
  EXPECT_EQ(key.Create(kHklm, L"A\\B", kOptionNonVolatile, kKeyAllAccessWow64), kRegistrySuccess);
  EXPECT_EQ(key.Open(kHklm, L"A", kOptionNonVolatile, kKeyRead), kRegistrySuccess);

  registry.InjectFailure(RegistryCallKind::CreateKey, HKLM, L"A\\New", kRegistryAccessDenied);
  EXPECT_EQ(key.Create(kHklm, L"A\\New", kOptionNonVolatile, kKeyAllAccessWow64),
            kRegistryAccessDenied);
  EXPECT_FALSE(registry.HasKey(HKLM, L"A\\New"));

  registry.ClearFailures();
  EXPECT_EQ(key.Open(kHklm, L"A\\B", kOptionNonVolatile, kKeyRead), kRegistrySuccess);
}

TEST(MemoryRegistry, DifferencesNameEveryChange) {
  MemoryRegistry registry;
  registry.AddString(HKLM, L"Keep", L"same", L"1");
  registry.AddString(HKLM, L"Keep", L"changed", L"1");
  registry.AddString(HKLM, L"Keep", L"retyped", L"1");
  registry.AddString(HKLM, L"Keep", L"removed", L"1");
  registry.AddString(HKLM, L"Gone\\Sub", L"", L"1");
  registry.AddKey(HKCU, L"Turned");
  const RegistrySnapshot before = registry.Snapshot();

  registry.AddString(HKLM, L"Keep", L"CHANGED", L"2");
  registry.AddString(HKLM, L"Keep", L"retyped", L"1", ValueType::RegExpandSz);
  registry.AddString(HKLM, L"Keep", L"", L"new");
  registry.AddString(HKLM, L"Keep", L"same", L"1");
  RegistryKey key(registry);
  ASSERT_EQ(key.Open(kHklm, L"Keep", kOptionNonVolatile, kKeyAllAccessWow64), kRegistrySuccess);
  ASSERT_EQ(registry.DeleteValue(key.get(), L"removed"), kRegistrySuccess);
  ASSERT_EQ(registry.DeleteKey(kHklm, L"Gone\\Sub", 0), kRegistrySuccess);
  ASSERT_EQ(registry.DeleteKey(kHklm, L"Gone", 0), kRegistrySuccess);
  registry.AddKey(HKLM, L"Added\\Sub");
  registry.AddDword(HKLM, L"Added", L"n", 0);
  ASSERT_EQ(registry.DeleteKey(kHkcu, L"Turned", 0), kRegistrySuccess);
  registry.AddLink(HKCU, L"Turned", HKLM, L"Keep");

  EXPECT_EQ(MemoryRegistry::Differences(before, registry.Snapshot()),
            (std::vector<std::wstring>{
                L"~link HKCU\\Turned",
                L"+value HKCU\\Turned [SymbolicLinkValue]",
                L"-key HKLM\\Gone",
                L"-key HKLM\\Gone\\Sub",
                L"~value HKLM\\Keep [changed]",
                L"-value HKLM\\Keep [removed]",
                L"~value HKLM\\Keep [retyped]",
                L"+value HKLM\\Keep []",
                L"+key HKLM\\Added",
                L"+value HKLM\\Added [n]",
                L"+key HKLM\\Added\\Sub",
            }));
  EXPECT_TRUE(MemoryRegistry::Differences(before, before).empty());
}

}  // namespace
