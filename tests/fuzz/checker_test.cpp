// Hostile registries that each family's reset must come through with every
// check holding, and proof that the checks themselves catch what they claim
// to: each doctored outcome must be reported.

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "damaged_registry.h"
#include "reset_check.h"
#include "support/family_reset.h"

namespace {

constexpr RegistryRoot kHklm = RegistryRoot::HKLM;
constexpr RegistryRoot kHkcu = RegistryRoot::HKCU;
const Family kFamilies[] = {Family::kXpMinor1, Family::kXpMinor2, Family::kVista, Family::kWin7, Family::kWin8};

std::vector<std::uint8_t> Text(const std::wstring& text) { return StringBytes(text); }

struct HostileCase {
  const char* name;
  std::function<void(MemoryRegistry&)> seed;
  // What must still hold afterwards, beyond the general checks.
  std::function<void(const MemoryRegistry&)> verify;
};

const std::wstring kLongName(200, L'n');

const HostileCase kHostileCases[] = {
    {"per-user class key is a link to the machine's exefile",
     [](MemoryRegistry& r) {
       r.AddString(kHklm, L"Software\\Classes\\exefile\\shell\\custom\\command", L"", L"custom.exe");
       r.AddString(kHkcu, L"SOFTWARE\\Classes\\.exe", L"", L"exefile");
       r.AddLink(kHkcu, L"SOFTWARE\\Classes\\exefile", kHklm, L"Software\\Classes\\exefile");
     },
     [](const MemoryRegistry& r) {
       EXPECT_TRUE(r.HasKey(kHklm, L"Software\\Classes\\exefile\\shell\\custom\\command"));
       EXPECT_FALSE(r.HasKey(kHkcu, L"SOFTWARE\\Classes\\exefile"));
     }},
    {"per-user extension key is a link to a machine tree",
     [](MemoryRegistry& r) {
       r.AddString(kHklm, L"Software\\Precious\\Tree\\Leaf", L"", L"keep");
       r.AddLink(kHkcu, L"SOFTWARE\\Classes\\.exe", kHklm, L"Software\\Precious");
       r.AddLink(kHkcu, L"SOFTWARE\\Classes\\.bat", kHklm, L"Software\\Classes\\batfile");
     },
     [](const MemoryRegistry& r) {
       EXPECT_TRUE(r.HasKey(kHklm, L"Software\\Precious\\Tree\\Leaf"));
       EXPECT_TRUE(r.HasKey(kHklm, L"Software\\Classes\\batfile\\shell\\open\\command"));
     }},
    {"per-user class name running through a link",
     [](MemoryRegistry& r) {
       r.AddString(kHklm, L"Software\\Precious\\shell\\open", L"", L"keep");
       r.AddString(kHkcu, L"SOFTWARE\\Classes\\.exe", L"", L"hop\\shell");
       r.AddLink(kHkcu, L"SOFTWARE\\Classes\\hop", kHklm, L"Software\\Precious");
     },
     [](const MemoryRegistry& r) { EXPECT_TRUE(r.HasKey(kHklm, L"Software\\Precious\\shell\\open")); }},
    {"class names made of backslashes",
     [](MemoryRegistry& r) {
       r.AddString(kHkcu, L"SOFTWARE\\Classes\\txtfile\\shell", L"", L"keep");
       r.AddString(kHkcu, L"SOFTWARE\\Classes\\.exe", L"", L"\\");
       r.AddString(kHkcu, L"SOFTWARE\\Classes\\.bat", L"", L"\\\\");
       r.AddString(kHkcu, L"SOFTWARE\\Classes\\.com", L"", L"\\\\\\\\\\");
     },
     [](const MemoryRegistry& r) { EXPECT_TRUE(r.HasKey(kHkcu, L"SOFTWARE\\Classes\\txtfile\\shell")); }},
    {"class names with empty components",
     [](MemoryRegistry& r) {
       r.AddKey(kHkcu, L"SOFTWARE\\Classes\\exefile\\x");
       r.AddKey(kHkcu, L"SOFTWARE\\Classes\\Other\\y");
       r.AddString(kHkcu, L"SOFTWARE\\Classes\\.exe", L"", L"\\exefile");
       r.AddString(kHkcu, L"SOFTWARE\\Classes\\.bat", L"", L"batfile\\\\x");
       r.AddString(kHkcu, L"SOFTWARE\\Classes\\.com", L"", L"comfile\\");
     },
     [](const MemoryRegistry& r) { EXPECT_TRUE(r.HasKey(kHkcu, L"SOFTWARE\\Classes\\Other\\y")); }},
    {"a class link inside the tree below .exe\\shell",
     [](MemoryRegistry& r) {
       r.AddString(kHklm, L"Software\\Classes\\exefile\\shell\\custom", L"", L"keep");
       r.AddLink(kHklm, L"Software\\Classes\\.exe\\shell\\open", kHklm, L"Software\\Classes\\exefile");
     },
     [](const MemoryRegistry& r) {
       EXPECT_TRUE(r.HasKey(kHklm, L"Software\\Classes\\exefile\\shell\\custom"));
       EXPECT_FALSE(r.HasKey(kHklm, L"Software\\Classes\\.exe\\shell"));
     }},
    {"a key path longer than 520 characters under .exe\\shell",
     [](MemoryRegistry& r) {
       r.AddString(kHklm, L"Software\\Classes\\.exe\\shell\\" + kLongName + L"\\" + kLongName + L"\\" + kLongName,
                   L"", L"deep");
       r.AddString(kHklm, L"Software\\Classes\\.exe\\shellfish", L"", L"keep");
     },
     [](const MemoryRegistry& r) {
       EXPECT_FALSE(r.HasKey(kHklm, L"Software\\Classes\\.exe\\shell"));
       EXPECT_TRUE(r.HasKey(kHklm, L"Software\\Classes\\.exe\\shellfish"));
     }},
    {"a 20000-byte command value",
     [](MemoryRegistry& r) {
       std::vector<std::uint8_t> big = Text(std::wstring(9999, L'x'));
       r.AddValue(kHklm, L"Software\\Classes\\exefile\\shell\\open\\command", L"", ValueType::RegSz, big);
     },
     [](const MemoryRegistry& r) {
       const auto value = r.GetValue(kHklm, L"Software\\Classes\\exefile\\shell\\open\\command", L"");
       ASSERT_TRUE(value.has_value());
       EXPECT_EQ(value->data.size(), 20000u);
     }},
};

TEST(HostileRegistry, EveryFamilyComesThroughWithEveryCheckHolding) {
  for (const HostileCase& hostile : kHostileCases) {
    for (Family family : kFamilies) {
      SCOPED_TRACE(std::string(hostile.name) + " / " + FamilyName(family));
      MemoryRegistry registry;
      hostile.seed(registry);
      const ResetCheck check = RunAndCheckReset(registry, family);
      for (const std::wstring& fault : check.faults) ADD_FAILURE() << Narrow(fault);
      hostile.verify(registry);
    }
  }
}

// ---- The checks catch faults ----------------------------------------------

RegistrySnapshotKey* Find(RegistrySnapshot& snapshot, const std::wstring& path) {
  for (auto& entry : snapshot) {
    if (Fold(entry.second.path) == Fold(path)) return &entry.second;
  }
  return nullptr;
}

void EraseKey(RegistrySnapshot& snapshot, const std::wstring& path) {
  for (auto it = snapshot.begin(); it != snapshot.end(); ++it) {
    if (Fold(it->second.path) == Fold(path)) {
      snapshot.erase(it);
      return;
    }
  }
  ADD_FAILURE() << "no key " << Narrow(path);
}

void AddKey(RegistrySnapshot& snapshot, const std::wstring& path) {
  snapshot[Fold(path)] = RegistrySnapshotKey{path, false, {}};
}

void PutValue(RegistrySnapshot& snapshot, const std::wstring& path, const std::wstring& name, ValueType type,
              std::vector<std::uint8_t> data) {
  if (Find(snapshot, path) == nullptr) AddKey(snapshot, path);
  Find(snapshot, path)->values[Fold(name)] = StoredValue{name, type, std::move(data)};
}

struct DoctoredCase {
  const char* name;
  Family family;
  std::function<void(RegistrySnapshot&)> doctor;
  const wchar_t* expected;  // part of the fault the checks must report
};

const DoctoredCase kDoctoredCases[] = {
    {"an unrelated key deleted", Family::kWin7,
     [](RegistrySnapshot& s) { EraseKey(s, L"HKLM\\Software\\Unrelated\\Keep"); },
     L"key deleted outside the repair set"},
    {"a machine class's own verb deleted", Family::kWin7,
     [](RegistrySnapshot& s) { EraseKey(s, L"HKLM\\Software\\Classes\\exefile\\shell\\custom"); },
     L"key deleted outside the repair set: HKLM\\SOFTWARE\\CLASSES\\EXEFILE\\SHELL\\CUSTOM"},
    {"a key created elsewhere", Family::kVista, [](RegistrySnapshot& s) { AddKey(s, L"HKLM\\Software\\Classes\\txtfile"); },
     L"key created outside the repair set"},
    {"an unrelated value changed", Family::kXpMinor1,
     [](RegistrySnapshot& s) { PutValue(s, L"HKLM\\Software\\Unrelated\\Keep", L"v", ValueType::RegSz, Text(L"w")); },
     L"value changed outside the repair set"},
    {"a value the reset does not own added to exefile", Family::kWin8,
     [](RegistrySnapshot& s) { PutValue(s, L"HKLM\\Software\\Classes\\exefile", L"Bogus", ValueType::RegSz, Text(L"")); },
     L"value changed outside the repair set: HKLM\\SOFTWARE\\CLASSES\\EXEFILE [BOGUS]"},
    {"EditFlags with the wrong bytes", Family::kWin7,
     [](RegistrySnapshot& s) {
       PutValue(s, L"HKLM\\Software\\Classes\\exefile", L"EditFlags", ValueType::RegBinary, {0x38, 0x07, 0, 1});
     },
     L"value not as its table row: HKLM\\SOFTWARE\\CLASSES\\EXEFILE [EditFlags]"},
    {"comfile's open EditFlags of the XP type on Vista", Family::kVista,
     [](RegistrySnapshot& s) {
       PutValue(s, L"HKLM\\Software\\Classes\\comfile\\shell\\open", L"EditFlags", ValueType::RegBinary, {0, 0, 0, 0});
     },
     L"value not as its table row"},
    {"a value over 8192 bytes rewritten", Family::kWin7,
     [](RegistrySnapshot& s) {
       PutValue(s, L"HKLM\\Software\\Classes\\comfile\\shell\\open\\command", L"", ValueType::RegSz,
                Text(LR"("%1" %*)"));
     },
     L"value over 8192 bytes rewritten"},
    {"a command left wrong", Family::kXpMinor2,
     [](RegistrySnapshot& s) {
       PutValue(s, L"HKLM\\Software\\Classes\\exefile\\shell\\open\\command", L"", ValueType::RegSz, Text(L"evil.exe"));
     },
     L"value text not as its table row"},
    {"IsolatedCommand left on XP", Family::kXpMinor1,
     [](RegistrySnapshot& s) {
       PutValue(s, L"HKLM\\Software\\Classes\\exefile\\shell\\open\\command", L"IsolatedCommand", ValueType::RegSz,
                Text(L"x"));
     },
     L"value not deleted"},
    {".exe\\shell left", Family::kWin7, [](RegistrySnapshot& s) { AddKey(s, L"HKLM\\Software\\Classes\\.exe\\shell"); },
     L"key not deleted"},
    {"a per-user override left", Family::kVista, [](RegistrySnapshot& s) { AddKey(s, L"HKCU\\SOFTWARE\\Classes\\.com"); },
     L"per-user override not removed"},
};

TEST(ResetChecks, ReportEveryDoctoredOutcome) {
  for (const DoctoredCase& doctored : kDoctoredCases) {
    SCOPED_TRACE(doctored.name);
    MemoryRegistry registry;
    registry.AddString(kHklm, L"Software\\Unrelated\\Keep", L"v", L"keep");
    registry.AddString(kHklm, L"Software\\Classes\\exefile\\shell\\custom", L"", L"keep");
    registry.AddString(kHklm, L"Software\\Classes\\comfile\\shell\\open\\command", L"", std::wstring(5000, L'x'));
    const RegistrySnapshot before = registry.Snapshot();
    std::wostringstream log;
    reset_test::RunFamilyReset(registry, doctored.family, log);
    RegistrySnapshot after = registry.Snapshot();
    ASSERT_TRUE(CheckRun(before, after, doctored.family, {}, log.str()).empty());
    doctored.doctor(after);
    bool found = false;
    for (const std::wstring& fault : CheckRun(before, after, doctored.family, {}, log.str())) {
      found = found || fault.find(doctored.expected) != std::wstring::npos;
    }
    EXPECT_TRUE(found) << Narrow(doctored.expected);
  }
}

TEST(ResetChecks, PerUserClassesMayGoOnlyWhereAnOverridePoints) {
  MemoryRegistry registry;
  registry.AddKey(kHkcu, L"SOFTWARE\\Classes\\a\\b");
  registry.AddKey(kHkcu, L"SOFTWARE\\Classes\\c");
  const RegistrySnapshot before = registry.Snapshot();
  const struct {
    std::vector<std::wstring> classes;
    const wchar_t* deleted;
    bool fault;
  } cases[] = {
      {{L"a\\\\b\\"}, L"HKCU\\SOFTWARE\\Classes\\a\\b", false},
      {{L"A"}, L"HKCU\\SOFTWARE\\Classes\\a\\b", false},
      {{L"a\\b"}, L"HKCU\\SOFTWARE\\Classes\\c", true},
      {{L"\\\\"}, L"HKCU\\SOFTWARE\\Classes\\c", true},
      {{}, L"HKCU\\SOFTWARE\\Classes\\a\\b", true},
  };
  for (const auto& c : cases) {
    RegistrySnapshot after = before;
    EraseKey(after, c.deleted);
    bool fault = false;
    for (const std::wstring& text : CheckRun(before, after, Family::kWin7, c.classes, L"")) {
      fault = fault || text.find(L"key deleted outside") != std::wstring::npos;
    }
    EXPECT_EQ(fault, c.fault) << Narrow(c.deleted);
  }
}

TEST(ResetChecks, StrayLogLinesAreReported) {
  const RegistrySnapshot empty;
  const struct {
    const wchar_t* log;
    bool stray;
  } cases[] = {
      {L"  * HKLM\\Software\\Classes\\.exe did not exist and was recreated!\r\n\r\n", false},
      {L"  * HKLM\\batfile\\shell\\open\\command\\\\@ was changed.\r\n    It was reset to \"%1\" %*!\r\n\r\n", false},
      {L"  * HKCU\\SOFTWARE\\Classes\\.exe has been deleted!\r\n", false},
      {L"garbage\r\n", true},
      {L"  * HKLM\\x without its line end", true},
  };
  for (const auto& c : cases) {
    bool stray = false;
    for (const std::wstring& fault : CheckRun(empty, empty, Family::kWin7, {}, c.log)) {
      stray = stray || fault.find(L"log") != std::wstring::npos;
    }
    EXPECT_EQ(stray, c.stray) << Narrow(c.log);
  }
}

}  // namespace
