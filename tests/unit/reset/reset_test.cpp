#include "registry/reset.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <ostream>
#include <set>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "registry/memory_registry.h"
#include "support/expected_tables.h"

namespace reset_test {
namespace {

constexpr RegistryRoot kHklm = RegistryRoot::HKLM;
constexpr RegistryRoot kHkcu = RegistryRoot::HKCU;
const std::wstring kClasses = L"Software\\Classes\\";

// Keeps what was written between two flushes as one entry, so that a test can
// tell both the texts and how they were flushed.
class FlushedLines : public std::wstreambuf {
 public:
  std::vector<std::wstring> lines;
  std::wstring pending;

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) pending.push_back(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
    pending.append(text, static_cast<std::size_t>(count));
    return count;
  }
  int sync() override {
    if (!pending.empty()) lines.push_back(std::move(pending));
    pending.clear();
    return 0;
  }
};

std::vector<std::wstring> RunReset(Family family, MemoryRegistry& registry) {
  FlushedLines log;
  std::wostream runLog(&log);
  RunFamilyReset(registry, family, runLog);
  EXPECT_EQ(log.pending, L"") << "written but never flushed";
  EXPECT_EQ(registry.OpenKeyCount(), 0u);
  return log.lines;
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
  return text;
}

std::wstring Hklm(const std::wstring& key) { return L"HKLM\\" + kClasses + key; }

std::vector<std::wstring> Concat(std::initializer_list<std::vector<std::wstring>> parts) {
  std::vector<std::wstring> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

void Seed(MemoryRegistry& registry, const std::vector<ExpectedValue>& rows) {
  for (const ExpectedValue& row : rows) {
    ASSERT_TRUE(registry.AddValue(kHklm, kClasses + row.key, row.name, row.type, row.bytes));
  }
}

std::vector<ExpectedValue> Without(std::vector<ExpectedValue> rows, const std::wstring& keyPrefix) {
  std::vector<ExpectedValue> kept;
  for (ExpectedValue& row : rows) {
    if (Upper(row.key + L"\\").rfind(Upper(keyPrefix + L"\\"), 0) != 0) kept.push_back(std::move(row));
  }
  return kept;
}

// Everything in which HKLM differs from holding exactly `rows` (keys that
// only lead to them aside); empty when it matches.
std::vector<std::wstring> Mismatches(const MemoryRegistry& registry, const std::vector<ExpectedValue>& rows) {
  std::vector<std::wstring> found;
  std::set<std::pair<std::wstring, std::wstring>> expected;
  std::vector<std::wstring> expectedKeys;
  for (const ExpectedValue& row : rows) {
    expected.emplace(Upper(Hklm(row.key)), Upper(row.name));
    expectedKeys.push_back(Upper(Hklm(row.key)));
    const auto stored = registry.GetValue(kHklm, kClasses + row.key, row.name);
    if (!stored) {
      found.push_back(L"missing " + row.key + L" [" + row.name + L"]");
    } else if (stored->type != row.type || stored->data != row.bytes) {
      found.push_back(L"wrong " + row.key + L" [" + row.name + L"]");
    }
  }
  for (const auto& [path, key] : registry.Snapshot()) {
    if (path.rfind(L"HKLM", 0) != 0) continue;
    bool leads = false;
    for (const std::wstring& wanted : expectedKeys) {
      leads = leads || wanted == path || wanted.rfind(path + L"\\", 0) == 0;
    }
    if (!leads) found.push_back(L"unexpected key " + key.path);
    for (const auto& [name, value] : key.values) {
      if (expected.count({path, name}) == 0) {
        found.push_back(L"unexpected value " + key.path + L" [" + value.name + L"]");
      }
    }
  }
  return found;
}

// The lines of the extension default `row` found holding `old`.
std::vector<std::wstring> DefaultChanged(const ExpectedValue& row, const std::wstring& old) {
  if (row.key == L".exe") return ExeDefaultChanged(old);
  if (row.key == L".bat") return BatDefaultChanged(old);
  return ComDefaultChanged(old);
}

std::vector<std::uint8_t> OtherBytes(const ExpectedValue& row) {
  return row.type == ValueType::RegBinary || row.type == ValueType::RegDword ? std::vector<std::uint8_t>{1, 2, 3, 4}
                                                                              : StringBytes(L"damaged");
}

ValueType OtherType(ValueType type) {
  switch (type) {
    case ValueType::RegSz:
      return ValueType::RegExpandSz;
    case ValueType::RegExpandSz:
      return ValueType::RegSz;
    case ValueType::RegBinary:
      return ValueType::RegDword;
    default:
      return ValueType::RegBinary;
  }
}

class ResetFamily : public ::testing::TestWithParam<Family> {
 protected:
  Family family() const { return GetParam(); }
  std::vector<ExpectedValue> rows() const { return ExpectedValues(GetParam()); }
  bool xp() const { return GetParam() == Family::kXpMinor1 || GetParam() == Family::kXpMinor2; }
};

TEST_P(ResetFamily, EmptyRegistryGetsEveryValueAndReportsEachRecreation) {
  MemoryRegistry registry;
  EXPECT_EQ(RunReset(family(), registry), EmptyRegistryReport());
  EXPECT_EQ(Mismatches(registry, rows()), std::vector<std::wstring>{});
  for (const std::wstring& key : registry.ListKeys()) EXPECT_NE(key.rfind(L"HKCU\\", 0), 0u) << "per-user key made";
}

TEST_P(ResetFamily, CompleteRegistryIsSilentAndRewritesEveryAlwaysValueInOrder) {
  MemoryRegistry registry;
  Seed(registry, rows());
  const RegistrySnapshot before = registry.Snapshot();
  registry.ClearCalls();

  EXPECT_EQ(RunReset(family(), registry), std::vector<std::wstring>{});

  std::vector<std::wstring> written;
  for (const RegistryCall& call : registry.Calls()) {
    if (call.kind == RegistryCallKind::SetValue && call.status == kRegistrySuccess) {
      written.push_back(Upper(call.key + L" [" + call.name + L"]"));
    }
  }
  std::vector<std::wstring> always;
  for (const ExpectedValue& row : rows()) {
    if (row.how == Written::kAlways) always.push_back(Upper(Hklm(row.key) + L" [" + row.name + L"]"));
  }
  EXPECT_EQ(written, always);
  EXPECT_EQ(MemoryRegistry::Differences(before, registry.Snapshot()), std::vector<std::wstring>{});
}

TEST_P(ResetFamily, EachAlwaysValueIsMendedSilently) {
  for (const ExpectedValue& row : rows()) {
    if (row.how != Written::kAlways) continue;
    SCOPED_TRACE(row.key + L" [" + row.name + L"]");
    MemoryRegistry registry;
    Seed(registry, rows());
    ASSERT_TRUE(registry.AddValue(kHklm, kClasses + row.key, row.name, OtherType(row.type), OtherBytes(row)));

    EXPECT_EQ(RunReset(family(), registry), std::vector<std::wstring>{});
    EXPECT_EQ(Mismatches(registry, rows()), std::vector<std::wstring>{});
  }
}

TEST_P(ResetFamily, EachCheckedValueFoundWrongOrAbsentIsRepairedAndReported) {
  const std::vector<ExpectedValue> all = rows();
  for (std::size_t index = 0; index < all.size(); ++index) {
    const ExpectedValue& row = all[index];
    if (row.how != Written::kIfDifferent) continue;
    const bool extension = row.key.front() == L'.';
    for (const bool absent : {false, true}) {
      SCOPED_TRACE(row.key + L" [" + row.name + L"]" + (absent ? L" absent" : L" wrong"));
      MemoryRegistry registry;
      std::vector<ExpectedValue> seeded = all;
      seeded.erase(seeded.begin() + static_cast<std::ptrdiff_t>(index));
      Seed(registry, seeded);
      if (!absent) {
        ASSERT_TRUE(registry.AddString(kHklm, kClasses + row.key, row.name, L"damaged", row.type));
      }

      const std::wstring old = absent ? L"" : L"damaged";
      EXPECT_EQ(RunReset(family(), registry),
                extension ? DefaultChanged(row, old) : std::vector<std::wstring>{row.report});
      EXPECT_EQ(Mismatches(registry, all), std::vector<std::wstring>{});
    }
  }
}

struct MissingKeyCase {
  const wchar_t* key;
  const wchar_t* line;
};

TEST_P(ResetFamily, MissingKeyIsRecreatedWithOneLine) {
  const MissingKeyCase cases[] = {
      {L".exe", kExeRecreated}, {L"exefile", kExefileRecreated}, {L".bat", kBatRecreated},
      {L"batfile", kBatfileRecreated}, {L".com", kComRecreated}, {L"comfile", kComfileRecreated},
  };
  for (const MissingKeyCase& missing : cases) {
    SCOPED_TRACE(missing.key);
    MemoryRegistry registry;
    Seed(registry, Without(rows(), missing.key));
    EXPECT_EQ(RunReset(family(), registry), std::vector<std::wstring>{missing.line});
    EXPECT_EQ(Mismatches(registry, rows()), std::vector<std::wstring>{});
  }
}

TEST_P(ResetFamily, ExtensionKeyLosesShellAndDefaultIconButKeepsTheRest) {
  MemoryRegistry registry;
  Seed(registry, rows());
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L".exe\\shell\\open\\command", L"", L"evil.exe \"%1\""));
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L".exe\\DefaultIcon\\deeper", L"", L"evil.ico"));
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L".exe\\OpenWithProgids", L"exefile", L""));
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L"exefile", L"Custom", L"kept"));

  EXPECT_EQ(RunReset(family(), registry), (std::vector<std::wstring>{kExeShellDeleted, kExeDefaultIconDeleted}));
  EXPECT_FALSE(registry.HasKey(kHklm, kClasses + L".exe\\shell"));
  EXPECT_FALSE(registry.HasKey(kHklm, kClasses + L".exe\\DefaultIcon"));
  EXPECT_TRUE(registry.GetValue(kHklm, kClasses + L".exe\\OpenWithProgids", L"exefile"));
  EXPECT_EQ(registry.GetString(kHklm, kClasses + L"exefile", L"Custom"), L"kept");
}

TEST_P(ResetFamily, CommandThatCannotBeComparedAsWrongIsLeftAlone) {
  const std::wstring command = kClasses + L"exefile\\shell\\open\\command";
  const std::wstring huge(5000, L'x');  // 10002 bytes: more than the 8192 read
  struct Case {
    const wchar_t* label;
    std::wstring text;
    ValueType type;
  };
  for (const Case& stored : {Case{L"template as REG_EXPAND_SZ", LR"("%1" %*)", ValueType::RegExpandSz},
                             Case{L"larger than 8192 bytes", huge, ValueType::RegSz}}) {
    SCOPED_TRACE(stored.label);
    MemoryRegistry registry;
    Seed(registry, rows());
    ASSERT_TRUE(registry.AddString(kHklm, command, L"", stored.text, stored.type));

    EXPECT_EQ(RunReset(family(), registry), std::vector<std::wstring>{});
    const auto value = registry.GetValue(kHklm, command, L"");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, stored.type);
    EXPECT_EQ(value->data, StringBytes(stored.text));
  }
}

TEST_P(ResetFamily, UserOverridesGoAfterTheirOwnExtension) {
  MemoryRegistry registry;
  Seed(registry, rows());
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L".exe", L"", L"evilexe"));
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L".bat", L"", L"evilbat"));
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L".com", L"", L"evilcom"));
  for (const auto& [extension, className] : {std::pair<std::wstring, std::wstring>{L".exe", L"exefile"},
                                             {L".bat", L"batfile"},
                                             {L".com", L"comfile"}}) {
    ASSERT_TRUE(registry.AddString(kHkcu, L"SOFTWARE\\Classes\\" + extension, L"", className));
    ASSERT_TRUE(registry.AddString(kHkcu, L"SOFTWARE\\Classes\\" + className + L"\\shell\\open\\command", L"",
                                   L"evil.exe"));
  }

  EXPECT_EQ(RunReset(family(), registry),
            Concat({ExeDefaultChanged(L"evilexe"), UserOverrideRemoved(L".exe", L"exefile"),
                    BatDefaultChanged(L"evilbat"), UserOverrideRemoved(L".bat", L"batfile"),
                    ComDefaultChanged(L"evilcom"), UserOverrideRemoved(L".com", L"comfile")}));
  EXPECT_EQ(Mismatches(registry, rows()), std::vector<std::wstring>{});
  EXPECT_FALSE(registry.HasKey(kHkcu, L"SOFTWARE\\Classes\\.exe"));
  EXPECT_FALSE(registry.HasKey(kHkcu, L"SOFTWARE\\Classes\\batfile"));
  EXPECT_TRUE(registry.HasKey(kHkcu, L"SOFTWARE\\Classes"));
}

TEST_P(ResetFamily, SecondRunAfterARepairIsSilentAndChangesNothing) {
  MemoryRegistry registry;
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L".exe", L"", L"evilexe"));
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L".exe\\shell\\open\\command", L"", L"evil.exe"));
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L"batfile\\shell\\open\\command", L"", L"evil.exe"));
  ASSERT_TRUE(registry.AddString(kHkcu, L"SOFTWARE\\Classes\\.com", L"", L"comfile"));
  EXPECT_NE(RunReset(family(), registry), std::vector<std::wstring>{});
  const RegistrySnapshot repaired = registry.Snapshot();

  EXPECT_EQ(RunReset(family(), registry), std::vector<std::wstring>{});
  EXPECT_EQ(MemoryRegistry::Differences(repaired, registry.Snapshot()), std::vector<std::wstring>{});
}

TEST_P(ResetFamily, NothingOutsideTheSixKeysAndTheOverridesIsTouched) {
  MemoryRegistry registry;
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L".exe", L"", L"txtfile"));
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L"txtfile\\shell\\open\\command", L"", L"notepad.exe %1"));
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L".exe2", L"", L"exefile2"));
  ASSERT_TRUE(registry.AddString(kHklm, L"Software\\Other", L"", L"other"));
  ASSERT_TRUE(registry.AddString(kHkcu, L"SOFTWARE\\Classes\\.txt", L"", L"txtfile"));
  ASSERT_TRUE(registry.AddString(kHkcu, L"SOFTWARE\\Classes\\txtfile", L"", L"text"));
  ASSERT_TRUE(registry.AddString(kHkcu, L"SOFTWARE\\Classes\\.bat", L"", L"batfile"));

  RunReset(family(), registry);

  const std::vector<std::wstring> allowed = {
      Hklm(L".exe"), Hklm(L".bat"), Hklm(L".com"), Hklm(L"exefile"), Hklm(L"batfile"), Hklm(L"comfile"),
      L"HKCU\\SOFTWARE\\Classes\\.bat", L"HKCU\\SOFTWARE\\Classes\\batfile"};
  for (const RegistryCall& call : registry.Calls()) {
    const bool changes = call.kind == RegistryCallKind::SetValue || call.kind == RegistryCallKind::DeleteValue ||
                         call.kind == RegistryCallKind::DeleteKey || call.kind == RegistryCallKind::DeleteOpenedKey ||
                         call.kind == RegistryCallKind::CreateKey;
    if (!changes) continue;
    bool inside = false;
    for (const std::wstring& key : allowed) {
      inside = inside || Upper(call.key) == Upper(key) || Upper(call.key).rfind(Upper(key + L"\\"), 0) == 0;
    }
    EXPECT_TRUE(inside) << "touched " << std::string(call.key.begin(), call.key.end());
  }
  EXPECT_EQ(registry.GetString(kHklm, kClasses + L"txtfile\\shell\\open\\command", L""), L"notepad.exe %1");
  EXPECT_EQ(registry.GetString(kHklm, kClasses + L".exe2", L""), L"exefile2");
  EXPECT_EQ(registry.GetString(kHkcu, L"SOFTWARE\\Classes\\txtfile", L""), L"text");
}

TEST_P(ResetFamily, RecreationThatWroteNothingIsNotReported) {
  MemoryRegistry registry;
  Seed(registry, Without(rows(), L".com"));
  registry.RefuseOpening(kHklm, kClasses + L".com");

  // Only the two writes that failed are reported: the recreation's and the reset's.
  const std::wstring refused = L"  * HKLM\\Software\\Classes\\.com\\\\@ could not be reset (error 5)!\r\n\r\n";
  EXPECT_EQ(RunReset(family(), registry), (std::vector<std::wstring>{refused, refused}));
  EXPECT_FALSE(registry.GetValue(kHklm, kClasses + L".com", L""));
}

TEST_P(ResetFamily, FamilyOnlyKeysAreLeftAloneElsewhere) {
  const std::wstring print = kClasses + L"batfile\\shell\\print";
  const std::wstring pagePath =
      kClasses + L"exefile\\shellex\\PropertySheetHandlers\\{B41DB860-8EE4-11D2-9906-E49FADC173CA}";
  MemoryRegistry registry;
  Seed(registry, rows());
  ASSERT_TRUE(registry.AddString(kHklm, print, L"", L"kept"));
  ASSERT_TRUE(registry.AddString(kHklm, pagePath, L"", L"kept"));
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L"exefile\\shell\\open\\command", L"IsolatedCommand", L"x"));
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L"exefile\\shell\\runas\\command", L"IsolatedCommand", L"x"));
  ASSERT_TRUE(registry.AddString(kHklm, kClasses + L"exefile", L"Content Type", L"x"));

  const std::vector<std::wstring> lines = RunReset(family(), registry);

  EXPECT_EQ(registry.GetString(kHklm, print, L""), family() == Family::kVista ? L"" : L"kept");
  EXPECT_EQ(registry.GetString(kHklm, pagePath, L""), family() == Family::kXpMinor1 ? L"" : L"kept");
  // XP removes the class's IsolatedCommand and Content Type values silently;
  // later families want the template there and report the repair.
  EXPECT_EQ(registry.GetValue(kHklm, kClasses + L"exefile", L"Content Type").has_value(), !xp());
  if (xp()) {
    EXPECT_EQ(lines, std::vector<std::wstring>{});
    EXPECT_FALSE(registry.GetValue(kHklm, kClasses + L"exefile\\shell\\open\\command", L"IsolatedCommand"));
    EXPECT_FALSE(registry.GetValue(kHklm, kClasses + L"exefile\\shell\\runas\\command", L"IsolatedCommand"));
  } else {
    std::vector<std::wstring> isolated;
    for (const ExpectedValue& row : rows()) {
      if (row.name == L"IsolatedCommand") isolated.push_back(row.report);
    }
    EXPECT_EQ(lines, isolated);
  }
}

INSTANTIATE_TEST_SUITE_P(Families, ResetFamily,
                         ::testing::Values(Family::kXpMinor1, Family::kXpMinor2, Family::kVista, Family::kWin7,
                                           Family::kWin8),
                         [](const ::testing::TestParamInfo<Family>& param) { return FamilyName(param.param); });

TEST(PinToStartVerb, OnAnEmptyRegistryWritesTheVerbAndNothingElse) {
  MemoryRegistry registry;
  std::wostringstream log;
  EXPECT_EQ(AddPinToStartVerb(registry, log), 0u);
  EXPECT_EQ(log.str(), L"");
  std::vector<ExpectedValue> verb;
  for (const ExpectedValue& row : ExpectedValues(Family::kWin8)) {
    if (row.key.find(L"pintostartscreen") != std::wstring::npos) verb.push_back(row);
  }
  ASSERT_EQ(verb.size(), 5u);
  EXPECT_EQ(Mismatches(registry, verb), std::vector<std::wstring>{});
  EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

}  // namespace
}  // namespace reset_test
