// The same registry cases against every backend: the in-memory registry must
// answer as the Windows registry does where the repair depends on it, and the
// registry operations must do the same on both. Everything happens inside a
// scratch key under HKLM and HKCU.

#include <gtest/gtest.h>

#include <iterator>

#include "contract_backend.h"
#include "registry/operations.h"
#include "support/registry_values.h"

namespace {

const RegistryRoot HKLM = RegistryRoot::HKLM;
const RegistryRoot HKCU = RegistryRoot::HKCU;
const std::wstring kScratch = L"Software\\MorvaneRegistryContract";

std::wstring In(const std::wstring& relative) { return kScratch + L"\\" + relative; }
std::wstring Machine(const std::wstring& relative) { return L"HKLM\\" + In(relative); }
std::wstring User(const std::wstring& relative) { return L"HKCU\\" + In(relative); }

class RegistryContract : public ::testing::Test {
 protected:
  void SetUp() override {
    for (RegistryRoot root : {HKLM, HKCU}) (void)DeleteKeyTree(*registry, root, kScratch);
  }
  void TearDown() override {
    for (RegistryRoot root : {HKLM, HKCU}) (void)DeleteKeyTree(*registry, root, kScratch);
    EXPECT_FALSE(KeyExists(*registry, HKLM, kScratch) || KeyExists(*registry, HKCU, kScratch));
    const long open = OpenContractKeys(*registry);
    EXPECT_TRUE(open == 0 || open == -1) << open << " keys left open";
  }

  std::unique_ptr<RegistryAccess> registry = MakeContractRegistry();
};

TEST_F(RegistryContract, NamesCompareWithoutRegardToCaseAndKeepTheirSpelling) {
  ASSERT_TRUE(PutText(*registry, Machine(L"Alpha\\Beta"), L"Name", L"x"));
  ASSERT_TRUE(PutText(*registry, Machine(L"Alpha\\Beta"), L"Other", L"y"));
  EXPECT_TRUE(KeyExists(*registry, HKLM, L"SOFTWARE\\morvaneregistrycontract\\alpha\\BETA\\"));
  EXPECT_FALSE(KeyExists(*registry, HKCU, In(L"Alpha")));
  DeleteValue(*registry, In(L"alpha\\beta"), L"name");
  EXPECT_FALSE(Get(*registry, Machine(L"Alpha\\Beta"), L"Name"));
  EXPECT_TRUE(Get(*registry, Machine(L"ALPHA\\beta"), L"OTHER"));
  RegistryKey key(*registry);
  std::wstring name;
  ASSERT_EQ(key.Open(RegistryAccess::RootKey(HKLM), kScratch, kOptionNonVolatile, kKeyRead), kRegistrySuccess);
  ASSERT_EQ(registry->EnumKey(key.get(), 0, name), kRegistrySuccess);
  EXPECT_EQ(name, L"Alpha");
  // Values enumerate too (the in-memory registry keeps their names folded).
  ASSERT_EQ(key.Open(RegistryAccess::RootKey(HKLM), In(L"Alpha\\Beta"), kOptionNonVolatile, kKeyRead), kRegistrySuccess);
  ASSERT_EQ(registry->EnumValue(key.get(), 0, name), kRegistrySuccess);
  EXPECT_TRUE(name == L"Other" || name == L"OTHER") << testing::PrintToString(name);
  EXPECT_EQ(registry->EnumValue(key.get(), 1, name), kRegistryNoMoreItems);
}

TEST_F(RegistryContract, AnOpenFollowsALinkUnlessAskedForTheLink) {
  ASSERT_TRUE(PutText(*registry, Machine(L"Target\\Sub"), L"", L"target"));
  ASSERT_TRUE(PutLink(*registry, User(L"Link"), Machine(L"Target")));
  EXPECT_EQ(ReadDefaultValue(*registry, HKCU, In(L"link\\SUB")), L"target");
  bool isLink = true;
  RegistryKey followed(*registry), itself(*registry), below(*registry);
  ASSERT_EQ(followed.Open(RegistryAccess::RootKey(HKCU), In(L"Link"), kOptionNonVolatile, kKeyRead), kRegistrySuccess);
  ASSERT_EQ(registry->IsLink(followed.get(), isLink), kRegistrySuccess);
  EXPECT_FALSE(isLink);
  ASSERT_EQ(itself.Open(RegistryAccess::RootKey(HKCU), In(L"Link"), kOptionOpenLink, kKeyRead), kRegistrySuccess);
  ASSERT_EQ(registry->IsLink(itself.get(), isLink), kRegistrySuccess);
  EXPECT_TRUE(isLink);
  std::wstring name;
  EXPECT_EQ(registry->EnumKey(itself.get(), 0, name), kRegistryNoMoreItems);
  // A path relative to the link itself still leads into the target: a walk
  // must never go on below a link.
  EXPECT_EQ(below.Open(itself.get(), L"Sub", kOptionNonVolatile, kKeyRead), kRegistrySuccess);
}

// Any program may give an ordinary key a REG_LINK value named
// SymbolicLinkValue: the key is still no link, and goes with that value.
TEST_F(RegistryContract, AValueNamedAsALinksTargetMakesNoLink) {
  ASSERT_TRUE(PutText(*registry, Machine(L"Target"), L"", L"keep"));
  ASSERT_TRUE(Put(*registry, User(L"Fake\\Sub"), L"", ValueType::RegNone, {}));
  ASSERT_TRUE(Put(*registry, User(L"Fake"), kSymbolicLinkValueName, ValueType::RegLink,
                  Utf16LeBytes(ToUtf16(L"\\Registry\\Machine\\" + In(L"Target")))));
  bool isLink = true;
  RegistryKey itself(*registry);
  ASSERT_EQ(itself.Open(RegistryAccess::RootKey(HKCU), In(L"Fake"), kOptionOpenLink, kKeyRead), kRegistrySuccess);
  ASSERT_EQ(registry->IsLink(itself.get(), isLink), kRegistrySuccess);
  EXPECT_FALSE(isLink);
  itself.Close();
  EXPECT_TRUE(KeyExists(*registry, HKCU, In(L"Fake\\Sub"))) << "its subkeys are its own";
  EXPECT_TRUE(DeleteKeyTreeBelow(*registry, HKCU, kScratch, L"Fake\\Sub"));
  EXPECT_TRUE(DeleteKeyTree(*registry, HKCU, In(L"Fake")));
  EXPECT_FALSE(KeyExists(*registry, HKCU, In(L"Fake")));
  EXPECT_EQ(ReadDefaultValue(*registry, HKLM, In(L"Target")), L"keep");
}

TEST_F(RegistryContract, DeleteKeyTreeDeletesTreesAndLinksAsLinks) {
  ASSERT_TRUE(PutText(*registry, Machine(L"Target\\Sub"), L"", L"keep"));
  for (const wchar_t* path : {L"Tree\\a\\b\\c", L"Tree\\a\\b2", L"Tree\\z", L"Sibling"}) {
    ASSERT_TRUE(Put(*registry, User(path), L"", ValueType::RegNone, {}));
  }
  // The named key a link, a link met in the walk, one deeper under a trailing backslash.
  const std::pair<const wchar_t*, const wchar_t*> links[] = {
      {L"Link", L"Link"}, {L"Tree\\Link", L"TREE"}, {L"Deep\\Mid\\Link", L"Deep\\"}};
  for (const auto& [link, tree] : links) {
    ASSERT_TRUE(PutLink(*registry, User(link), Machine(L"Target")));
    EXPECT_TRUE(DeleteKeyTree(*registry, HKCU, In(tree)));
    EXPECT_FALSE(KeyExists(*registry, HKCU, In(tree)));
    RegistryKey itself(*registry);
    EXPECT_EQ(itself.Open(RegistryAccess::RootKey(HKCU), In(link), kOptionOpenLink, kKeyRead), kRegistryFileNotFound);
    EXPECT_EQ(ReadDefaultValue(*registry, HKLM, In(L"Target\\Sub")), L"keep");
  }
  EXPECT_TRUE(KeyExists(*registry, HKCU, In(L"Sibling")));
  EXPECT_FALSE(DeleteKeyTree(*registry, HKCU, In(L"Tree"))) << "gone already";
  for (const wchar_t* path : {L"", L"\\", L"\\\\", L"\\Software"}) EXPECT_FALSE(DeleteKeyTree(*registry, HKCU, path));
  EXPECT_TRUE(KeyExists(*registry, HKCU, kScratch));
}

TEST_F(RegistryContract, DeleteKeyTreeBelowRefusesALinkOnTheWay) {
  ASSERT_TRUE(PutText(*registry, Machine(L"Target\\Victim"), L"", L"keep"));
  ASSERT_TRUE(PutLink(*registry, User(L"Classes\\Hop"), Machine(L"Target")));
  ASSERT_TRUE(Put(*registry, User(L"Classes\\Own\\Sub"), L"", ValueType::RegNone, {}));
  EXPECT_FALSE(DeleteKeyTreeBelow(*registry, HKCU, In(L"Classes"), L"Hop\\Victim"));
  EXPECT_TRUE(DeleteKeyTreeBelow(*registry, HKCU, In(L"Classes"), L"Hop"));
  EXPECT_EQ(ReadDefaultValue(*registry, HKLM, In(L"Target\\Victim")), L"keep");
  EXPECT_TRUE(DeleteKeyTreeBelow(*registry, HKCU, In(L"Classes"), L"own\\sub"));
  EXPECT_FALSE(KeyExists(*registry, HKCU, In(L"Classes\\Own\\Sub")));
  EXPECT_TRUE(KeyExists(*registry, HKCU, In(L"Classes\\Own")));
}

TEST_F(RegistryContract, SetValueIfDifferentWritesOnlyWhatDiffers) {
  const StoredValue cases[] = {
      {ValueType::RegNone, {}},  // absent
      {ValueType::RegSz, Sz(L"exefile")},
      {ValueType::RegExpandSz, Sz(L"exefile")},               // the type plays no part
      {ValueType::RegSz, Utf16LeBytes(ToUtf16(L"exefile"))},  // stored without its NUL
      {ValueType::RegSz, Sz(L"exefile2")},
      {ValueType::RegSz, Sz(L"ExeFile")},                     // letter case counts
      {ValueType::RegSz, Bytes(20000, 0x41)},                 // too large to be read: left alone
  };
  const bool written[] = {true, false, false, false, true, true, false};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::wstring path = In(L"Set\\") + std::to_wstring(i);
    ASSERT_TRUE(Put(*registry, L"HKLM\\" + path, L"command", cases[i].type, cases[i].data));
    EXPECT_EQ(SetValueIfDifferent(*registry, path, L"COMMAND", L"exefile", ValueType::RegSz), written[i]) << i;
    const StoredValue repaired{ValueType::RegSz, Sz(L"exefile")};
    EXPECT_EQ(Get(*registry, L"HKLM\\" + path, L"command"), written[i] ? repaired : cases[i]) << i;
  }
}

TEST_F(RegistryContract, SetValueAndReadDefaultValueKeepToTheTextUpToItsFirstNul) {
  const std::pair<std::wstring, std::wstring> written[] = {
      {L"", L""}, {std::wstring(L"ab\0cd", 5), L"ab"}, {std::wstring(5000, L'x'), std::wstring(4096, L'x')}};
  for (const auto& [text, stored] : written) {
    ASSERT_TRUE(SetValue(*registry, In(L"Plain"), L"", text, ValueType::RegExpandSz));
    EXPECT_EQ(Get(*registry, Machine(L"Plain"), L""), (StoredValue{ValueType::RegExpandSz, Sz(stored)}));
  }
  const StoredValue read[] = {
      {ValueType::RegExpandSz, Sz(L"%x%")},
      {ValueType::RegSz, Bytes{'a', 0, 'b', 0}},
      {ValueType::RegSz, Bytes(9000, 0x41)},
      {ValueType::RegBinary, Bytes(8192, 0x41)},
  };
  const std::wstring texts[] = {L"%x%", L"ab", L"", std::wstring(4096, L'\x4141')};
  for (std::size_t i = 0; i < std::size(read); ++i) {
    ASSERT_TRUE(Put(*registry, User(L"Read"), L"", read[i].type, read[i].data));
    EXPECT_EQ(ReadDefaultValue(*registry, HKCU, In(L"Read")), texts[i]) << i;
  }
  EXPECT_EQ(ReadDefaultValue(*registry, HKCU, In(L"Missing")), L"");
}

}  // namespace
