// The same registry cases against every backend: the in-memory registry must
// answer exactly as the Windows registry does, and the operations must do the
// same on both. Everything happens inside a scratch key under HKLM and HKCU.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "contract_backend.h"
#include "registry/memory_registry.h"
#include "registry/operations.h"
#include "registry/registry_text.h"

namespace {

const RegistryRoot HKLM = RegistryRoot::HKLM;
const RegistryRoot HKCU = RegistryRoot::HKCU;
const std::wstring kScratch = L"Software\\MorvaneRegistryContract";
const std::wstring kComOpen = L"Software\\Classes\\comfile\\shell\\open";
const std::wstring kTemplate = L"\"%1\" %*";

using Bytes = std::vector<std::uint8_t>;

struct RawValue {
  ValueType type;
  Bytes data;
};

Bytes Sz(const std::wstring& text) {
  std::u16string units = ToUtf16(text);
  units.push_back(u'\0');
  return Utf16LeBytes(units);
}

// The text's bytes without the terminating NUL.
Bytes Unterminated(const std::wstring& text) { return Utf16LeBytes(ToUtf16(text)); }

std::wstring In(const std::wstring& relative) { return kScratch + L"\\" + relative; }

class RegistryContract : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_ = MakeContractRegistry();
    for (RegistryRoot root : {HKLM, HKCU}) {
      (void)DeleteKeyTree(*registry_, root, kScratch);
      ASSERT_TRUE(Create(root, kScratch));
    }
  }

  void TearDown() override {
    for (RegistryRoot root : {HKLM, HKCU}) {
      EXPECT_TRUE(DeleteKeyTree(*registry_, root, kScratch));
      EXPECT_FALSE(KeyExists(*registry_, root, kScratch));
    }
    const long open = OpenContractKeys(*registry_);
    if (open >= 0) {
      EXPECT_EQ(open, 0) << "a key was left open";
    }
  }

  RegistryAccess::Key Root(RegistryRoot root) { return RegistryAccess::RootKey(root); }

  bool Create(RegistryRoot root, const std::wstring& path) {
    RegistryKey key(*registry_);
    return key.Create(Root(root), path, kOptionNonVolatile, kKeyAllAccessWow64) == kRegistrySuccess;
  }

  bool Write(RegistryRoot root, const std::wstring& path, const std::wstring& name, ValueType type,
             const Bytes& data) {
    RegistryKey key(*registry_);
    if (key.Create(Root(root), path, kOptionNonVolatile, kKeyAllAccessWow64) != kRegistrySuccess) {
      return false;
    }
    // Windows extends a string that is not terminated by the NUL character that
    // follows it in the caller's memory; a non-NUL after the data stops that.
    Bytes padded = data;
    padded.insert(padded.end(), {0x3F, 0x3F});
    return registry_->SetValue(key.get(), name, type, padded.data(),
                               static_cast<std::uint32_t>(data.size())) == kRegistrySuccess;
  }

  std::optional<RawValue> Read(RegistryRoot root, const std::wstring& path,
                               const std::wstring& name) {
    RegistryKey key(*registry_);
    if (key.Open(Root(root), path, kOptionNonVolatile, kKeyRead) != kRegistrySuccess) {
      return std::nullopt;
    }
    RawValue value{ValueType::RegNone, {}};
    std::uint32_t size = 0;
    if (registry_->QueryValue(key.get(), name, value.type, nullptr, size) != kRegistrySuccess) {
      return std::nullopt;
    }
    value.data.resize(size);
    if (registry_->QueryValue(key.get(), name, value.type, value.data.data(), size) !=
        kRegistrySuccess) {
      return std::nullopt;
    }
    value.data.resize(size);
    return value;
  }

  // Makes root\path a symbolic link to HKLM\target.
  bool MakeLink(RegistryRoot root, const std::wstring& path, const std::wstring& target) {
    RegistryKey key(*registry_);
    if (key.Create(Root(root), path, kOptionCreateLink, kKeyAllAccessWow64 | kKeyCreateLink) !=
        kRegistrySuccess) {
      return false;
    }
    const Bytes native = Utf16LeBytes(ToUtf16(MemoryRegistry::NativePath(HKLM, target)));
    return registry_->SetValue(key.get(), kSymbolicLinkValueName, ValueType::RegLink,
                               native.data(),
                               static_cast<std::uint32_t>(native.size())) == kRegistrySuccess;
  }

  std::unique_ptr<RegistryAccess> registry_;
};

// --- The backend calls ------------------------------------------------------------

TEST_F(RegistryContract, NamesCompareWithoutRegardToCase) {
  ASSERT_TRUE(Write(HKLM, In(L"Alpha\\Beta"), L"Name", ValueType::RegSz, Sz(L"x")));
  struct Case {
    std::wstring path;
    std::wstring name;
  } cases[] = {
      {In(L"Alpha\\Beta"), L"Name"},
      {In(L"ALPHA\\beta"), L"NAME"},
      {L"SOFTWARE\\morvaneregistrycontract\\alpha\\BETA", L"name"},
      {In(L"Alpha\\Beta\\"), L"Name"},  // a trailing backslash names the same key
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    std::optional<RawValue> value = Read(HKLM, c.path, c.name);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->data, Sz(L"x"));
  }
  // The name keeps the spelling it was created with.
  RegistryKey key(*registry_);
  ASSERT_EQ(key.Open(Root(HKLM), kScratch, kOptionNonVolatile, kKeyRead), kRegistrySuccess);
  std::wstring name;
  ASSERT_EQ(registry_->EnumKey(key.get(), 0, name), kRegistrySuccess);
  EXPECT_EQ(name, L"Alpha");
}

TEST_F(RegistryContract, OpenAndQueryReportMissingKeysAndValues) {
  ASSERT_TRUE(Write(HKCU, In(L"Present"), L"", ValueType::RegSz, Sz(L"v")));
  RegistryKey key(*registry_);
  EXPECT_EQ(key.Open(Root(HKCU), In(L"Absent"), kOptionNonVolatile, kKeyRead),
            kRegistryFileNotFound);
  EXPECT_EQ(key.Open(Root(HKCU), In(L"Absent\\Deeper"), kOptionNonVolatile, kKeyRead),
            kRegistryFileNotFound);
  ASSERT_EQ(key.Open(Root(HKCU), In(L"Present"), kOptionNonVolatile, kKeyRead), kRegistrySuccess);
  Bytes buffer(16);
  std::uint32_t size = 16;
  ValueType type = ValueType::RegNone;
  EXPECT_EQ(registry_->QueryValue(key.get(), L"Other", type, buffer.data(), size),
            kRegistryFileNotFound);
}

TEST_F(RegistryContract, QueryReportsDataLargerThanTheBuffer) {
  const Bytes big(20000, 0x41);
  ASSERT_TRUE(Write(HKLM, In(L"Big"), L"", ValueType::RegBinary, big));
  RegistryKey key(*registry_);
  ASSERT_EQ(key.Open(Root(HKLM), In(L"Big"), kOptionNonVolatile, kKeyRead), kRegistrySuccess);
  Bytes buffer(8192);
  std::uint32_t size = 8192;
  ValueType type = ValueType::RegNone;
  EXPECT_EQ(registry_->QueryValue(key.get(), L"", type, buffer.data(), size), kRegistryMoreData);
  EXPECT_EQ(size, 20000u);
}

TEST_F(RegistryContract, PathDeletionRefusesAKeyWithSubkeys) {
  ASSERT_TRUE(Create(HKLM, In(L"Parent\\Child")));
  EXPECT_NE(registry_->DeleteKey(Root(HKLM), In(L"Parent"), kKeyWow64_64Key), kRegistrySuccess);
  EXPECT_TRUE(KeyExists(*registry_, HKLM, In(L"Parent\\Child")));
  EXPECT_EQ(registry_->DeleteKey(Root(HKLM), In(L"Parent\\Child"), kKeyWow64_64Key),
            kRegistrySuccess);
  EXPECT_EQ(registry_->DeleteKey(Root(HKLM), In(L"Parent"), kKeyWow64_64Key), kRegistrySuccess);
  EXPECT_EQ(registry_->DeleteKey(Root(HKLM), In(L"Parent"), kKeyWow64_64Key),
            kRegistryFileNotFound);
}

TEST_F(RegistryContract, IndexZeroAlwaysEnumeratesARemainingSubkey) {
  for (const wchar_t* name : {L"c", L"A", L"b"}) ASSERT_TRUE(Create(HKLM, In(L"Walk\\") + name));
  RegistryKey key(*registry_);
  ASSERT_EQ(key.Open(Root(HKLM), In(L"Walk"), kOptionNonVolatile, kKeyReadWow64), kRegistrySuccess);
  std::vector<std::wstring> seen;
  std::wstring name;
  while (registry_->EnumKey(key.get(), 0, name) == kRegistrySuccess && seen.size() < 5) {
    seen.push_back(name);
    ASSERT_EQ(registry_->DeleteKey(key.get(), name, kKeyWow64_64Key), kRegistrySuccess);
  }
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"A", L"b", L"c"}));
  EXPECT_EQ(registry_->EnumKey(key.get(), 0, name), kRegistryNoMoreItems);
}

TEST_F(RegistryContract, PathsSkipEmptyComponentsButMayNotStartWithABackslash) {
  RegistryKey key(*registry_);
  for (const std::wstring& path : {L"\\" + kScratch, std::wstring(L"\\"), std::wstring(L"\\\\")}) {
    EXPECT_EQ(key.Open(Root(HKLM), path, kOptionNonVolatile, kKeyRead), kRegistryBadPathname);
    EXPECT_EQ(key.Create(Root(HKLM), path, kOptionNonVolatile, kKeyAllAccessWow64),
              kRegistryBadPathname);
  }
  ASSERT_TRUE(Write(HKLM, In(L"x\\\\y\\\\"), L"", ValueType::RegSz, Sz(L"xy")));
  EXPECT_EQ(ReadDefaultValue(*registry_, HKLM, In(L"x\\y")), L"xy");
  ASSERT_EQ(key.Open(Root(HKLM), In(L"x"), kOptionNonVolatile, kKeyRead), kRegistrySuccess);
  std::wstring name;
  EXPECT_EQ(registry_->EnumKey(key.get(), 0, name), kRegistrySuccess);
  EXPECT_EQ(name, L"y");
  // The empty path opens the parent again.
  RegistryKey same(*registry_);
  ASSERT_EQ(same.Open(key.get(), L"", kOptionNonVolatile, kKeyRead), kRegistrySuccess);
  EXPECT_EQ(registry_->EnumKey(same.get(), 0, name), kRegistrySuccess);
  EXPECT_EQ(name, L"y");
}

TEST_F(RegistryContract, HandlesActWithinTheirRightsAndOnlyWhileTheKeyLives) {
  ASSERT_TRUE(Create(HKLM, In(L"Gone")));
  const Bytes data = Sz(L"x");
  RegistryKey reader(*registry_);
  ASSERT_EQ(reader.Open(Root(HKLM), In(L"Gone"), kOptionNonVolatile, kKeyRead), kRegistrySuccess);
  EXPECT_EQ(registry_->SetValue(reader.get(), L"v", ValueType::RegSz, data.data(), 4u),
            kRegistryAccessDenied);
  EXPECT_EQ(registry_->DeleteOpenedKey(reader.get()), kRegistryAccessDenied);

  RegistryKey key(*registry_);
  ASSERT_EQ(key.Open(Root(HKLM), In(L"Gone"), kOptionOpenLink, kKeyAllAccessWow64),
            kRegistrySuccess);
  ASSERT_EQ(registry_->DeleteOpenedKey(key.get()), kRegistrySuccess);
  EXPECT_FALSE(KeyExists(*registry_, HKLM, In(L"Gone")));
  EXPECT_EQ(registry_->SetValue(key.get(), L"v", ValueType::RegSz, data.data(), 4u),
            kRegistryKeyDeleted);
}

// --- Symbolic links -------------------------------------------------------------------

TEST_F(RegistryContract, AnOpenFollowsALinkUnlessAskedForTheLink) {
  ASSERT_TRUE(Write(HKLM, In(L"Target\\Sub"), L"", ValueType::RegSz, Sz(L"target")));
  ASSERT_TRUE(MakeLink(HKCU, In(L"Link"), In(L"Target")));

  EXPECT_TRUE(KeyExists(*registry_, HKCU, In(L"Link\\Sub")));
  EXPECT_EQ(ReadDefaultValue(*registry_, HKCU, In(L"link\\SUB")), L"target");

  RegistryKey followed(*registry_);
  ASSERT_EQ(followed.Open(Root(HKCU), In(L"Link"), kOptionNonVolatile, kKeyRead), kRegistrySuccess);
  bool isLink = true;
  ASSERT_EQ(registry_->IsLink(followed.get(), isLink), kRegistrySuccess);
  EXPECT_FALSE(isLink);
  std::wstring name;
  EXPECT_EQ(registry_->EnumKey(followed.get(), 0, name), kRegistrySuccess);
  EXPECT_EQ(name, L"Sub");

  RegistryKey itself(*registry_);
  ASSERT_EQ(itself.Open(Root(HKCU), In(L"Link"), kOptionOpenLink, kKeyRead), kRegistrySuccess);
  ASSERT_EQ(registry_->IsLink(itself.get(), isLink), kRegistrySuccess);
  EXPECT_TRUE(isLink);
  EXPECT_EQ(registry_->EnumKey(itself.get(), 0, name), kRegistryNoMoreItems);
  // A path relative to the link itself still leads into the target: a walk
  // must never go on below a link.
  RegistryKey below(*registry_);
  ASSERT_EQ(below.Open(itself.get(), L"Sub", kOptionNonVolatile, kKeyRead), kRegistrySuccess);
  EXPECT_EQ(ReadDefaultValue(*registry_, HKLM, In(L"Target\\Sub")), L"target");
  ValueType type = ValueType::RegNone;
  std::uint32_t size = 0;
  EXPECT_EQ(registry_->QueryValue(below.get(), L"", type, nullptr, size), kRegistrySuccess);
  EXPECT_EQ(size, Sz(L"target").size());
  // A key created through the link is made in the target.
  ASSERT_TRUE(Create(HKCU, In(L"Link\\Made")));
  EXPECT_TRUE(KeyExists(*registry_, HKLM, In(L"Target\\Made")));
}

TEST_F(RegistryContract, PathDeletionOfALinkDeletesItsTarget) {
  // Why the operations never delete by path: the link survives, its target goes.
  ASSERT_TRUE(Create(HKLM, In(L"Target")));
  ASSERT_TRUE(MakeLink(HKCU, In(L"Link"), In(L"Target")));
  EXPECT_EQ(registry_->DeleteKey(Root(HKCU), In(L"Link"), kKeyWow64_64Key), kRegistrySuccess);
  EXPECT_FALSE(KeyExists(*registry_, HKLM, In(L"Target")));
  RegistryKey itself(*registry_);
  EXPECT_EQ(itself.Open(Root(HKCU), In(L"Link"), kOptionOpenLink, kKeyRead), kRegistrySuccess);
}

TEST_F(RegistryContract, DeleteKeyTreeDeletesALinkAsTheLink) {
  ASSERT_TRUE(Write(HKLM, In(L"Target\\Sub\\Deeper"), L"", ValueType::RegSz, Sz(L"keep")));
  struct Case {
    const wchar_t* link;    // below the scratch key of HKCU
    const wchar_t* delete_;  // the tree DeleteKeyTree is given
  } cases[] = {
      {L"Link", L"Link"},                      // the named key is a link
      {L"Tree\\Link", L"Tree"},                // a link met during the walk
      {L"Tree\\Mid\\Link", L"Tree\\"},         // deeper, trailing backslash
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::wstring(c.link).size());
    ASSERT_TRUE(MakeLink(HKCU, In(c.link), In(L"Target")));
    EXPECT_TRUE(DeleteKeyTree(*registry_, HKCU, In(c.delete_)));
    EXPECT_FALSE(KeyExists(*registry_, HKCU, In(c.delete_)));
    RegistryKey itself(*registry_);
    EXPECT_EQ(itself.Open(Root(HKCU), In(c.link), kOptionOpenLink, kKeyRead), kRegistryFileNotFound);
    EXPECT_EQ(ReadDefaultValue(*registry_, HKLM, In(L"Target\\Sub\\Deeper")), L"keep");
  }
}

TEST_F(RegistryContract, DeleteKeyTreeBelowRefusesALinkOnTheWay) {
  ASSERT_TRUE(Write(HKLM, In(L"Target\\Victim"), L"", ValueType::RegSz, Sz(L"keep")));
  ASSERT_TRUE(MakeLink(HKCU, In(L"Classes\\Hop"), In(L"Target")));
  ASSERT_TRUE(Create(HKCU, In(L"Classes\\Own\\Sub")));

  EXPECT_FALSE(DeleteKeyTreeBelow(*registry_, HKCU, In(L"Classes"), L"Hop\\Victim"));
  EXPECT_EQ(ReadDefaultValue(*registry_, HKLM, In(L"Target\\Victim")), L"keep");

  EXPECT_TRUE(DeleteKeyTreeBelow(*registry_, HKCU, In(L"Classes"), L"Hop"));
  EXPECT_TRUE(KeyExists(*registry_, HKLM, In(L"Target\\Victim")));
  EXPECT_TRUE(DeleteKeyTreeBelow(*registry_, HKCU, In(L"Classes"), L"own\\sub"));
  EXPECT_FALSE(KeyExists(*registry_, HKCU, In(L"Classes\\Own\\Sub")));
  EXPECT_TRUE(KeyExists(*registry_, HKCU, In(L"Classes\\Own")));
}

// --- The operations ---------------------------------------------------------------------

TEST_F(RegistryContract, DeleteKeyTreeRemovesATreeThreeLevelsDeep) {
  for (const wchar_t* path : {L"Tree\\a\\b\\c", L"Tree\\a\\b2", L"Tree\\z", L"Sibling"}) {
    ASSERT_TRUE(Write(HKLM, In(path), L"v", ValueType::RegSz, Sz(path)));
  }
  EXPECT_TRUE(DeleteKeyTree(*registry_, HKLM, In(L"TREE")));
  EXPECT_FALSE(KeyExists(*registry_, HKLM, In(L"Tree")));
  EXPECT_TRUE(KeyExists(*registry_, HKLM, In(L"Sibling")));
  EXPECT_FALSE(DeleteKeyTree(*registry_, HKLM, In(L"Tree")));  // missing now
}

TEST_F(RegistryContract, DeleteKeyTreeHandlesPathsLongerThan520Characters) {
  const std::wstring segment(100, L'k');
  std::wstring deep = L"Long";
  for (int i = 0; i < 6; ++i) deep += L"\\" + segment + std::to_wstring(i);
  ASSERT_GT(In(deep).size(), 600u);
  ASSERT_TRUE(Create(HKLM, In(deep)));
  ASSERT_TRUE(Create(HKLM, In(deep + L"\\leaf")));
  ASSERT_TRUE(Create(HKLM, In(L"Long2")));

  // Given a long path: only that key and its subkeys go.
  EXPECT_TRUE(DeleteKeyTree(*registry_, HKLM, In(deep)));
  EXPECT_FALSE(KeyExists(*registry_, HKLM, In(deep)));
  const std::wstring parent = deep.substr(0, deep.rfind(L'\\'));
  EXPECT_TRUE(KeyExists(*registry_, HKLM, In(parent)));

  // Forming long paths during the walk.
  EXPECT_TRUE(DeleteKeyTree(*registry_, HKLM, In(L"Long")));
  EXPECT_FALSE(KeyExists(*registry_, HKLM, In(L"Long")));
  EXPECT_TRUE(KeyExists(*registry_, HKLM, In(L"Long2")));
}

TEST_F(RegistryContract, DeleteKeyTreeOfNothingBelowTheRootIsRefused) {
  for (const wchar_t* path : {L"", L"\\", L"\\\\", L"\\Software"}) {
    EXPECT_FALSE(DeleteKeyTree(*registry_, HKCU, path));
  }
  EXPECT_TRUE(KeyExists(*registry_, HKCU, kScratch));
}

TEST_F(RegistryContract, SetValueIfDifferentWritesOnlyWhatDiffers) {
  struct Case {
    const char* label;
    std::optional<RawValue> stored;
    std::wstring wanted;
    bool expectWrite;
    RawValue expected;
  } cases[] = {
      {"absent", std::nullopt, kTemplate, true, {ValueType::RegSz, Sz(kTemplate)}},
      {"equal", RawValue{ValueType::RegSz, Sz(kTemplate)}, kTemplate, false,
       {ValueType::RegSz, Sz(kTemplate)}},
      {"other type", RawValue{ValueType::RegExpandSz, Sz(kTemplate)}, kTemplate, false,
       {ValueType::RegExpandSz, Sz(kTemplate)}},
      {"case only", RawValue{ValueType::RegSz, Sz(L"ExeFile")}, L"exefile", true,
       {ValueType::RegSz, Sz(L"exefile")}},
      {"no NUL stored", RawValue{ValueType::RegSz, Unterminated(kTemplate)}, kTemplate, false,
       {ValueType::RegSz, Unterminated(kTemplate)}},
      {"longer", RawValue{ValueType::RegSz, Sz(kTemplate + L"x")}, kTemplate, true,
       {ValueType::RegSz, Sz(kTemplate)}},
      {"over 8192 bytes", RawValue{ValueType::RegSz, Bytes(20000, 0x41)}, kTemplate, false,
       {ValueType::RegSz, Bytes(20000, 0x41)}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::wstring path = In(L"Set\\") + std::to_wstring(n++);
    if (c.stored) {
      ASSERT_TRUE(Write(HKLM, path, L"command", c.stored->type, c.stored->data));
    }
    EXPECT_EQ(SetValueIfDifferent(*registry_, path, L"COMMAND", c.wanted, ValueType::RegSz),
              c.expectWrite);
    std::optional<RawValue> value = Read(HKLM, path, L"command");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, c.expected.type);
    EXPECT_EQ(value->data, c.expected.data);
  }
}

TEST_F(RegistryContract, SetValueIfDifferentCreatesAMissingKeyAndEveryKeyAbove) {
  EXPECT_TRUE(SetValueIfDifferent(*registry_, In(L"New\\Deeper"), L"", L"exefile", ValueType::RegSz));
  EXPECT_EQ(Read(HKLM, In(L"New\\Deeper"), L"")->data, Sz(L"exefile"));
  EXPECT_TRUE(KeyExists(*registry_, HKLM, In(L"New")));
}

TEST_F(RegistryContract, SetValueStoresTheCountedTextAndOneNul) {
  struct Case {
    std::wstring text;
    ValueType type;
    Bytes expected;
  } cases[] = {
      {L"", ValueType::RegSz, Bytes{0, 0}},
      {kTemplate, ValueType::RegSz, Sz(kTemplate)},
      {L"%SystemRoot%\\x", ValueType::RegExpandSz, Sz(L"%SystemRoot%\\x")},
      {std::wstring(L"ab\0cd", 5), ValueType::RegSz, Sz(L"ab")},
      // Longer texts are cut to 4096 characters and still end in a NUL.
      {std::wstring(5000, L'x'), ValueType::RegSz, Sz(std::wstring(4096, L'x'))},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(SetValue(*registry_, In(L"Plain"), L"v", c.text, c.type));
    std::optional<RawValue> value = Read(HKLM, In(L"Plain"), L"v");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, c.type);
    EXPECT_EQ(value->data, c.expected);
  }
}

TEST_F(RegistryContract, EditFlagsBecomeADwordZero) {
  // SetComOpenEditFlags writes to a fixed key; keep whatever was there.
  const bool existed = KeyExists(*registry_, HKLM, kComOpen);
  const std::optional<RawValue> before = Read(HKLM, kComOpen, L"EditFlags");

  ASSERT_TRUE(SetEditFlagsBinary(*registry_, kComOpen, EditFlags{0, 0, 0, 0}));
  EXPECT_EQ(Read(HKLM, kComOpen, L"EditFlags")->type, ValueType::RegBinary);
  ASSERT_TRUE(SetComOpenEditFlags(*registry_));
  std::optional<RawValue> value = Read(HKLM, kComOpen, L"EditFlags");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, ValueType::RegDword);
  EXPECT_EQ(value->data, (Bytes{0, 0, 0, 0}));

  ASSERT_TRUE(SetEditFlagsBinary(*registry_, In(L"Flags"), EditFlags{0x01, 0x00, 0x10, 0x00}));
  EXPECT_EQ(Read(HKLM, In(L"Flags"), L"editflags")->data, (Bytes{0x01, 0x00, 0x10, 0x00}));

  if (before) {
    ASSERT_TRUE(Write(HKLM, kComOpen, L"EditFlags", before->type, before->data));
  } else if (existed) {
    DeleteValue(*registry_, kComOpen, L"EditFlags");
  } else {
    EXPECT_TRUE(DeleteKeyTree(*registry_, HKLM, kComOpen));
  }
}

TEST_F(RegistryContract, KeyExistsInAnyLetterCase) {
  ASSERT_TRUE(Create(HKCU, In(L"Classes\\.exe")));
  for (const wchar_t* path : {L"SOFTWARE\\MorvaneRegistryContract\\Classes\\.exe",
                              L"software\\morvaneregistrycontract\\classes\\.EXE",
                              L"Software\\MorvaneRegistryContract\\Classes\\.exe\\"}) {
    EXPECT_TRUE(KeyExists(*registry_, HKCU, path));
  }
  EXPECT_FALSE(KeyExists(*registry_, HKCU, In(L"Classes\\.bat")));
  EXPECT_FALSE(KeyExists(*registry_, HKLM, In(L"Classes\\.exe")));
}

TEST_F(RegistryContract, ReadDefaultValueGivesTextOrNothing) {
  ASSERT_TRUE(Write(HKCU, In(L"Named"), L"", ValueType::RegSz, Sz(L"exefile")));
  ASSERT_TRUE(Write(HKCU, In(L"Expand"), L"", ValueType::RegExpandSz, Sz(L"%x%")));
  ASSERT_TRUE(Write(HKCU, In(L"Unterminated"), L"", ValueType::RegSz,
                    Bytes{'a', 0, 'b', 0}));
  ASSERT_TRUE(Write(HKCU, In(L"Huge"), L"", ValueType::RegSz, Bytes(9000, 0x41)));
  ASSERT_TRUE(Write(HKCU, In(L"Full"), L"", ValueType::RegBinary, Bytes(8192, 0x41)));
  ASSERT_TRUE(Create(HKCU, In(L"NoDefault")));
  struct Case {
    const wchar_t* path;
    std::wstring expected;
  } cases[] = {
      {L"Named", L"exefile"},
      {L"NoDefault", L""},  // after a read that returned text
      {L"Expand", L"%x%"},
      {L"Missing", L""},
      {L"Unterminated", L"ab"},
      {L"Huge", L""},
      {L"Full", std::wstring(4096, L'\x4141')},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadDefaultValue(*registry_, HKCU, In(c.path)), c.expected) << c.expected.size();
  }
}

TEST_F(RegistryContract, DeleteValueRemovesOneValueAndCreatesNothing) {
  ASSERT_TRUE(Write(HKLM, In(L"Values"), L"a", ValueType::RegSz, Sz(L"1")));
  ASSERT_TRUE(Write(HKLM, In(L"Values"), L"b", ValueType::RegSz, Sz(L"2")));
  DeleteValue(*registry_, In(L"Values"), L"A");
  DeleteValue(*registry_, In(L"Values"), L"absent");
  DeleteValue(*registry_, In(L"NoSuchKey"), L"a");
  EXPECT_FALSE(Read(HKLM, In(L"Values"), L"a").has_value());
  EXPECT_TRUE(Read(HKLM, In(L"Values"), L"b").has_value());
  EXPECT_FALSE(KeyExists(*registry_, HKLM, In(L"NoSuchKey")));
}

}  // namespace
