#include <gtest/gtest.h>

#include "contract_backend.h"
#include "platform/win_session_users.h"
#include "registry/operations.h"

// The Windows registry as the signed-in user's registry, HKCU standing at
// HKEY_USERS\<sid> of the account the suite runs under.
std::unique_ptr<RegistryAccess> MakeContractRegistry() {
  WinSessionUsers users;
  auto registry = std::make_unique<WinUserRegistry>();
  if (!registry->Open(users.OwnSid())) return nullptr;
  return registry;
}

long OpenContractKeys(RegistryAccess&) { return -1; }

namespace {

bool Exists(const std::wstring& below) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_USERS, below.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

}  // namespace

// Wine loads no classes hive of its own: one made under HKEY_USERS stands for
// it. HKCU\SOFTWARE\Classes and what lies below it go there, in any letter
// case; the rest of HKCU to HKEY_USERS\<sid>.
TEST(UserRegistry, TheClassesGoToTheClassesHive) {
  const std::wstring sid = WinSessionUsers().OwnSid();
  ASSERT_FALSE(sid.empty());
  HKEY made = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_USERS, (sid + L"_Classes").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made,
                              nullptr),
            ERROR_SUCCESS);
  ::RegCloseKey(made);
  WinUserRegistry registry;
  ASSERT_TRUE(registry.Open(sid));
  EXPECT_TRUE(registry.ClassesLoaded());
  for (const wchar_t* path : {L"SOFTWARE\\Classes\\MorvaneRoute\\Sub", L"software\\classes\\\\MorvaneRoute\\Sub"}) {
    RegistryKey key(registry);
    ASSERT_EQ(key.Create(RegistryAccess::RootKey(RegistryRoot::HKCU), path, kOptionNonVolatile, kKeyRead),
              kRegistrySuccess);
    key.Close();
    EXPECT_TRUE(Exists(sid + L"_Classes\\MorvaneRoute\\Sub")) << path;
    EXPECT_FALSE(Exists(sid + L"\\SOFTWARE\\Classes\\MorvaneRoute")) << path;
    EXPECT_TRUE(DeleteKeyTree(registry, RegistryRoot::HKCU, L"SOFTWARE\\Classes\\MorvaneRoute"));
    EXPECT_FALSE(Exists(sid + L"_Classes\\MorvaneRoute"));
  }
  RegistryKey other(registry);
  ASSERT_EQ(other.Create(RegistryAccess::RootKey(RegistryRoot::HKCU), L"Software\\MorvaneRoute", kOptionNonVolatile,
                         kKeyRead),
            kRegistrySuccess);
  other.Close();
  EXPECT_TRUE(Exists(sid + L"\\Software\\MorvaneRoute"));
  EXPECT_TRUE(DeleteKeyTree(registry, RegistryRoot::HKCU, L"Software\\MorvaneRoute"));
  ::RegDeleteKeyW(HKEY_USERS, (sid + L"_Classes").c_str());
}
