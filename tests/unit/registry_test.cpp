// What no run on a real registry can provoke or see: registry calls that
// fail, and keys left open. (Links met where the repair deletes: the contract
// suite, and the fuzz seeds replayed natively.)
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <sstream>

#include "fakes/fakes.h"
#include "registry/debugger_locks.h"
#include "registry/operations.h"
#include "registry/policy_locks.h"
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

const std::wstring kFileExts = L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.exe";

// Each lock of a user on .exe, planted alone and all together: the per-user
// exefile class without a .exe key naming it, Explorer's choices of every
// version, XP's "Always use the selected program" values. Another per-user
// class, OpenWithList and OpenWithProgids stay; a second run finds nothing.
TEST(UserOverride, EveryLockOfAUserGoesAndItsBystandersStay) {
  const std::wstring fileExts = kFileExts;
  const struct Lock {
    std::wstring key, name, text, lines;
  } locks[] = {
      {L"HKCU\\SOFTWARE\\Classes\\exefile\\shell\\open\\command", L"", L"evil.exe \"%1\"",
       L"  * HKCU\\SOFTWARE\\Classes\\exefile has been deleted!\r\n\r\n"},
      {fileExts + L"\\UserChoice", L"Progid", L"txtfile",
       L"  * " + fileExts + L"\\UserChoice exists and is set to txtfile!\r\n  * " + fileExts +
           L"\\UserChoice has been deleted!\r\n\r\n"},
      {fileExts + L"\\UserChoiceLatest\\ProgId", L"ProgId", L"evil.1",
       L"  * " + fileExts + L"\\UserChoiceLatest exists and is set to evil.1!\r\n  * " + fileExts +
           L"\\UserChoiceLatest has been deleted!\r\n\r\n"},
      {fileExts + L"\\UserChoicePrevious", L"ProgId", L"evil.2",
       L"  * " + fileExts + L"\\UserChoicePrevious exists and is set to evil.2!\r\n  * " + fileExts +
           L"\\UserChoicePrevious has been deleted!\r\n\r\n"},
      {fileExts, L"Application", L"evil\x1b.exe",
       L"  * " + fileExts + L"\\\\Application exists and is set to evil\\x1B.exe!\r\n  * " + fileExts +
           L"\\\\Application has been deleted!\r\n\r\n"},
      {fileExts, L"Progid", L"evilfile",
       L"  * " + fileExts + L"\\\\Progid exists and is set to evilfile!\r\n  * " + fileExts +
           L"\\\\Progid has been deleted!\r\n\r\n"},
  };
  // Row i alone, then (i == size) every one together.
  for (std::size_t planted = 0; planted <= std::size(locks); ++planted) {
    MemoryRegistry registry, expected;
    for (MemoryRegistry* each : {&registry, &expected}) {
      ASSERT_TRUE(PutText(*each, L"HKCU\\SOFTWARE\\Classes\\txtfile\\shell\\open\\command", L"", L"notepad.exe %1"));
      ASSERT_TRUE(PutText(*each, fileExts + L"\\OpenWithList", L"a", L"notepad.exe"));
      ASSERT_TRUE(Put(*each, fileExts + L"\\OpenWithProgids", L"exefile", ValueType::RegNone, {}));
    }
    std::wstring lines;
    for (std::size_t i = 0; i < std::size(locks); ++i) {
      if (planted != i && planted != std::size(locks)) continue;
      ASSERT_TRUE(PutText(registry, locks[i].key, locks[i].name, locks[i].text));
      lines += locks[i].lines;
    }
    std::wostringstream log;
    EXPECT_EQ(RemoveUserOverride(registry, log, L".exe"), 0u) << planted;
    EXPECT_EQ(log.str(), lines) << planted;
    EXPECT_EQ(registry.State(), expected.State()) << planted;
    std::wostringstream again;
    EXPECT_EQ(RemoveUserOverride(registry, again, L".exe"), 0u);
    EXPECT_EQ(again.str(), L"");
    EXPECT_EQ(registry.OpenKeys(), 0u);
  }
}

// Explorer's choice that cannot go is named and counted: a deletion refused,
// or a choice reached through a link, whose target stays.
TEST(UserOverride, AnExplorerChoiceThatStaysIsAFailure) {
  const std::wstring fileExts = kFileExts;
  const struct {
    std::wstring key, name, shown;
    Kind refused;
  } choices[] = {
      {fileExts + L"\\UserChoice", L"Progid", fileExts + L"\\UserChoice", Kind::DeleteOpenedKey},  // as Vista and 7 name it
      {fileExts + L"\\UserChoiceLatest\\ProgId", L"ProgId", fileExts + L"\\UserChoiceLatest", Kind::DeleteOpenedKey},
      {fileExts, L"Application", fileExts + L"\\\\Application", Kind::DeleteValue},
  };
  for (const auto& choice : choices) {
    for (const bool linked : {false, true}) {
      MemoryRegistry registry;
      if (linked) {
        ASSERT_TRUE(PutLink(registry, fileExts, L"HKLM\\Software\\Elsewhere"));
        ASSERT_TRUE(PutText(registry, L"HKLM\\Software\\Elsewhere" + choice.key.substr(fileExts.size()), choice.name,
                            L"txtfile"));
      } else {
        ASSERT_TRUE(PutText(registry, choice.key, choice.name, L"txtfile"));
        registry.Fail(choice.refused, choice.key, kRegistryAccessDenied);
      }
      const RegistryState before = registry.State();
      // Where Windows protects its choices (8 on), a key it refuses is said to be protected; not so a value.
      for (const bool choicesProtected : {false, true}) {
        std::wostringstream log;
        EXPECT_EQ(RemoveUserOverride(registry, log, L".exe", choicesProtected), 1u) << choice.shown;
        const bool saidProtected = choicesProtected && !linked && choice.refused == Kind::DeleteOpenedKey;
        EXPECT_EQ(log.str(),
                  L"  * " + choice.shown + L" exists and is set to txtfile!\r\n  * " + choice.shown +
                      (linked ? L" is reached through a registry link, which is not followed; it was not deleted!\r\n\r\n"
                       : saidProtected
                           ? L" could not be deleted (error 5): Windows protects Explorer's choices from other programs! "
                             L"Change it in Windows' settings of default programs, or remove it with morvane-offline while "
                             L"this Windows is shut down.\r\n\r\n"
                           : L" could not be reset (error 5)!\r\n\r\n"));
        EXPECT_EQ(registry.State(), before);
        EXPECT_EQ(registry.OpenKeys(), 0u);
      }
    }
  }
}

// Windows 8's Pin to Start verb goes from 8.1 on only as Windows 8's table
// writes it; one holding anything more or other stays, and so do the other
// verbs.
TEST(Reset, OnlyWindows8sOwnPinVerbGoes) {
  const std::wstring verb = L"HKLM\\Software\\Classes\\exefile\\shell\\pintostartscreen";
  const struct {
    const char* what;
    std::function<bool(MemoryRegistry&)> change;
    bool gone;
  } rows[] = {
      {"as written", [](MemoryRegistry&) { return true; }, true},
      {"another value", [&](MemoryRegistry& r) { return PutText(r, verb, L"Icon", L"evil.ico"); }, false},
      {"another text", [&](MemoryRegistry& r) { return PutText(r, verb + L"\\command", L"DelegateExecute", L"{0}"); }, false},
      {"another type", [&](MemoryRegistry& r) { return Put(r, verb, L"NeverDefault", ValueType::RegExpandSz, Sz(L"")); }, false},
      {"a command", [&](MemoryRegistry& r) { return PutText(r, verb + L"\\command", L"", L"evil.exe"); }, false},
      {"another subkey", [&](MemoryRegistry& r) { return PutText(r, verb + L"\\ddeexec", L"", L"x"); }, false},
  };
  for (const auto& row : rows) {
    MemoryRegistry registry;
    std::wostringstream log;
    ASSERT_TRUE(PutText(registry, L"HKLM\\Software\\Classes\\exefile\\shell\\open\\command", L"", L"\"%1\" %*"));
    ASSERT_EQ(AddPinToStartVerb(registry, log), 0u);
    ASSERT_TRUE(row.change(registry)) << row.what;
    const RegistryState before = registry.State();
    EXPECT_EQ(RemoveWindows8PinVerb(registry, log), 0u);
    EXPECT_EQ(log.str(), row.gone ? L"  * " + verb + L" found and deleted!\r\n\r\n" : L"") << row.what;
    EXPECT_EQ(registry.Has(verb), !row.gone) << row.what;
    if (!row.gone) {
      EXPECT_EQ(registry.State(), before) << row.what;
    }
    EXPECT_TRUE(registry.Has(L"HKLM\\Software\\Classes\\exefile\\shell\\open\\command"));
    EXPECT_EQ(registry.OpenKeys(), 0u);
  }
}

// The policies that stop programs, planted alone and all together in HKLM
// and HKCU: each goes, a list with its value; another policy value beside
// them stays. A refused deletion is named and counted; a second run finds
// nothing.
TEST(PolicyLocks, EachGoesAndTheOtherPoliciesStay) {
  const std::wstring explorer = L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
  const std::wstring system = L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  const std::wstring cmd = L"\\Software\\Policies\\Microsoft\\Windows\\System";
  const Bytes one{1, 0, 0, 0}, two{2, 0, 0, 0};
  const struct Lock {
    std::wstring key, name;
    Bytes dword;
    std::wstring list, shownData;
  } locks[] = {
      {explorer, L"DisallowRun", one, L"DisallowRun", L"1"},
      {explorer, L"RestrictRun", one, L"RestrictRun", L"1"},
      {system, L"DisableTaskMgr", one, L"", L"1"},
      {system, L"DisableRegistryTools", two, L"", L"2"},
      {cmd, L"DisableCMD", two, L"", L"2"},
  };
  // On a member of a domain, whose Group Policy named the machine, each deletion says it may come back.
  const std::wstring domainNote = L" This machine is a member of a domain: its Group Policy may set it again.";
  for (const bool domain : {false, true}) {
    for (const wchar_t* root : {L"HKLM", L"HKCU"}) {
      for (std::size_t planted = 0; planted <= std::size(locks); ++planted) {
        MemoryRegistry registry, expected;
        const std::wstring deleted = L" has been deleted!" + (domain ? domainNote : L"") + L"\r\n\r\n";
        for (MemoryRegistry* each : {&registry, &expected}) {
          if (domain) {
            ASSERT_TRUE(PutText(*each, L"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Group Policy\\State\\Machine",
                                L"Distinguished-Name", L"CN=PC1,CN=Computers,DC=example,DC=org"));
          }
          ASSERT_TRUE(Put(*each, root + explorer, L"NoDrives", ValueType::RegDword, one));
          ASSERT_TRUE(Put(*each, root + system, L"EnableLUA", ValueType::RegDword, one));
          ASSERT_TRUE(Put(*each, root + cmd, L"EnableSmartScreen", ValueType::RegDword, one));
        }
        std::wstring lines;
        for (std::size_t i = 0; i < std::size(locks); ++i) {
          if (planted != i && planted != std::size(locks)) continue;
          const Lock& lock = locks[i];
          const std::wstring shown = root + lock.key + L"\\\\" + lock.name;
          ASSERT_TRUE(Put(registry, root + lock.key, lock.name, ValueType::RegDword, lock.dword));
          lines += L"  * " + shown + L" exists and is set to " + lock.shownData + L"!\r\n  * " + shown + deleted;
          if (lock.list.empty()) continue;
          ASSERT_TRUE(PutText(registry, root + lock.key + L"\\" + lock.list, L"1", L"taskmgr.exe"));
          lines += L"  * " + std::wstring(root) + lock.key + L"\\" + lock.list + deleted;
        }
        const RegistryRoot at = root == std::wstring(L"HKLM") ? RegistryRoot::HKLM : RegistryRoot::HKCU;
        std::wostringstream log;
        EXPECT_EQ(RemovePolicyLocks(registry, log, at), 0u);
        EXPECT_EQ(log.str(), lines) << root << planted << domain;
        EXPECT_EQ(registry.State(), expected.State()) << root << planted;
        std::wostringstream again;
        EXPECT_EQ(RemovePolicyLocks(registry, again, at), 0u);
        EXPECT_EQ(again.str(), L"");
        EXPECT_EQ(registry.OpenKeys(), 0u);
      }
    }
  }
  MemoryRegistry registry;
  ASSERT_TRUE(Put(registry, L"HKCU" + cmd, L"DisableCMD", ValueType::RegDword, one));
  registry.Fail(Kind::DeleteValue, L"HKCU" + cmd, kRegistryAccessDenied);
  std::wostringstream log;
  EXPECT_EQ(RemovePolicyLocks(registry, log, RegistryRoot::HKCU), 1u);
  EXPECT_EQ(log.str(), L"  * HKCU" + cmd + L"\\\\DisableCMD exists and is set to 1!\r\n  * HKCU" + cmd +
                           L"\\\\DisableCMD could not be reset (error 5)!\r\n\r\n");
}


// The debuggers of Image File Execution Options in both views, planted alone
// and all together: each goes unless it starts a program that is there,
// inside a folder of installed programs; the other values and keys stay. A
// refused deletion is named and counted; a second run finds nothing to do.
TEST(DebuggerLocks, EachGoesUnlessItStartsAnInstalledProgram) {
  const std::wstring options = L"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\";
  const std::wstring wow = L"HKLM\\Software\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\";
  const struct Planted {
    std::wstring key, command, keptFolder;  // kept when it names a folder
    std::wstring program;
  } planted[] = {
      {options + L"notepad.exe\\Filter1", L"C:\\evil.exe", L"", L""},  // a filter key of Windows 10
      // Unquoted, its first word is C:\Program.
      {options + L"procexp.exe", L"C:\\Program Files\\Kept\\kept.exe", L"", L""},
      {options + L"regedit.exe", L"\"%ProgramFiles%\\Kept\\kept.exe\" /e", L"C:\\Program Files",
       L"C:\\Program Files\\Kept\\kept.exe"},
      {options + L"sethc.exe", L"C:\\Program Files", L"", L""},  // the folder itself
      {options + L"taskmgr.exe", L"\"C:\\Program Files\\Gone\\gone.exe\"", L"", L""},
      {options + L"utilman.exe", L"C:\\Program Files\\..\\Windows\\evil.exe", L"", L""},
      {wow + L"msconfig.exe", L"C:\\evil32.exe -d", L"", L""},
      {wow + L"taskmgr.exe", L"  \"c:\\program files (x86).\\KEPT\\kept32.exe\"", L"C:\\Program Files (x86)",
       L"c:\\program files (x86).\\KEPT\\kept32.exe"},
  };
  FakeSystemFiles files;
  files.variables = {{L"ProgramFiles", L"C:\\Program Files"}};
  files.files = {L"C:\\Program Files\\Kept\\kept.exe", L"C:\\Windows\\evil.exe",
                 L"c:\\program files (x86).\\KEPT\\kept32.exe"};
  const std::wstring folders = L"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion";
  for (std::size_t alone = 0; alone <= std::size(planted); ++alone) {
    MemoryRegistry registry, expected;
    for (MemoryRegistry* each : {&registry, &expected}) {
      ASSERT_TRUE(PutText(*each, folders, L"ProgramFilesDir", L"C:\\Program Files"));
      ASSERT_TRUE(PutText(*each, folders, L"ProgramFilesDir (x86)", L"C:\\Program Files (x86)"));
      ASSERT_TRUE(Put(*each, options + L"winword.exe", L"MitigationOptions", ValueType::RegBinary, Bytes{0, 1, 0, 0}));
      ASSERT_TRUE(PutText(*each, options + L"notepad.exe\\Filter1", L"FilterFullPath", L"C:\\Tools\\notepad.exe"));
    }
    std::wstring lines;
    for (std::size_t i = 0; i < std::size(planted); ++i) {
      if (alone != i && alone != std::size(planted)) continue;
      const Planted& lock = planted[i];
      ASSERT_TRUE(PutText(registry, lock.key, L"Debugger", lock.command));
      ASSERT_TRUE(PutText(registry, lock.key, L"GlobalFlag", L"0x2"));
      ASSERT_TRUE(PutText(expected, lock.key, L"GlobalFlag", L"0x2"));
      const std::wstring shown = lock.key + L"\\\\Debugger";
      lines += L"  * " + shown + L" exists and is set to " + lock.command + L"!\r\n";
      if (lock.keptFolder.empty()) {
        lines += L"  * " + shown + L" has been deleted!\r\n\r\n";
        continue;
      }
      ASSERT_TRUE(PutText(expected, lock.key, L"Debugger", lock.command));
      lines += L"  * " + shown + L" was kept: it starts " + lock.program + L", a program installed in " +
               lock.keptFolder + L"!\r\n\r\n";
    }
    std::wostringstream log;
    EXPECT_EQ(RemoveDebuggers(registry, log, files), 0u);
    EXPECT_EQ(log.str(), lines) << alone;
    EXPECT_EQ(registry.State(), expected.State()) << alone;
    std::wostringstream again;
    EXPECT_EQ(RemoveDebuggers(registry, again, files), 0u);
    EXPECT_EQ(again.str().find(L"deleted"), std::wstring::npos) << alone;
    EXPECT_EQ(registry.OpenKeys(), 0u);
  }
  MemoryRegistry registry;
  ASSERT_TRUE(PutText(registry, options + L"taskmgr.exe", L"Debugger", L"C:\\evil.exe"));
  registry.Fail(Kind::DeleteValue, options + L"taskmgr.exe", kRegistryAccessDenied);
  std::wostringstream log;
  EXPECT_EQ(RemoveDebuggers(registry, log, files), 1u);
  EXPECT_EQ(log.str(), L"  * " + options + L"taskmgr.exe\\\\Debugger exists and is set to C:\\evil.exe!\r\n  * " + options +
                           L"taskmgr.exe\\\\Debugger could not be reset (error 5)!\r\n\r\n");
}

// The verbs that start programs, on the oldest family, Vista, 7 and 10:
// what the family does not write below exefile's, batfile's and comfile's
// shell, open, open\command, runas and runas\command goes, the verb the
// shell key's default value names with it; other verbs stay, and a runas
// verb the family does not write (batfile's on XP) is one of them. A second
// run finds nothing.
TEST(VerbLocks, WhatTheFamilyDoesNotWriteGoesAndOtherVerbsStay) {
  const std::wstring classes = L"HKLM\\Software\\Classes\\";
  const struct {
    std::uint32_t major, minor;
    bool batfileRunAs;  // the family writes batfile's runas verb
  } families[] = {{5, 2, false}, {6, 0, true}, {6, 1, true}, {10, 0, true}};
  for (const auto& family : families) {
    SystemInfo info;
    info.majorVersion = family.major;
    info.minorVersion = family.minor;
    FakeSystemFiles files;
    MemoryRegistry registry;
    std::wostringstream silent;
    RunFamilyReset(registry, info, silent, files);
    ASSERT_TRUE(PutText(registry, classes + L"exefile\\shell\\other\\command", L"", L"notepad.exe %1"));
    MemoryRegistry expected = registry;
    ASSERT_TRUE(PutText(registry, classes + L"batfile\\shell\\runas\\command", L"DelegateExecute", L"{E}"));
    ASSERT_TRUE(PutText(registry, classes + L"exefile\\shell", L"", L"evil"));
    ASSERT_TRUE(PutText(registry, classes + L"exefile\\shell\\evil\\command", L"", L"C:\\evil.exe"));
    ASSERT_TRUE(PutText(registry, classes + L"exefile\\shell\\open\\ddeexec", L"", L"[open]"));
    ASSERT_TRUE(PutText(registry, classes + L"exefile\\shell\\open\\command", L"DelegateExecute", L"{E}"));
    ASSERT_TRUE(PutText(registry, classes + L"exefile\\shell\\runas", L"MUIVerb", L"Open"));
    ASSERT_TRUE(PutText(registry, classes + L"batfile\\shell\\open\\DropTarget", L"CLSID", L"{E}"));
    ASSERT_TRUE(PutText(registry, classes + L"comfile\\shell\\open\\command", L"IsolatedCommand", L"C:\\evil.exe"));
    if (!family.batfileRunAs) {
      ASSERT_TRUE(PutText(expected, classes + L"batfile\\shell\\runas\\command", L"DelegateExecute", L"{E}"));
    }
    const auto value = [&](const std::wstring& key, const std::wstring& shownName, const std::wstring& data) {
      const std::wstring shown = L"  * " + classes + key + L"\\\\" + shownName;
      return shown + L" exists and is set to " + data + L"!\r\n" + shown + L" has been deleted!\r\n\r\n";
    };
    const auto key = [&](const std::wstring& path) { return L"  * " + classes + path + L" found and deleted!\r\n\r\n"; };
    const std::wstring lines = value(L"exefile\\shell", L"@", L"evil") + key(L"exefile\\shell\\evil") +
                               key(L"exefile\\shell\\open\\ddeexec") +
                               value(L"exefile\\shell\\open\\command", L"DelegateExecute", L"{E}") +
                               value(L"exefile\\shell\\runas", L"MUIVerb", L"Open") +
                               key(L"batfile\\shell\\open\\DropTarget") +
                               (family.batfileRunAs ? value(L"batfile\\shell\\runas\\command", L"DelegateExecute", L"{E}")
                                                    : L"") +
                               value(L"comfile\\shell\\open\\command", L"IsolatedCommand", L"C:\\evil.exe");
    std::wostringstream log;
    EXPECT_EQ(RunFamilyReset(registry, info, log, files), 0u);
    EXPECT_EQ(log.str(), lines) << family.major << "." << family.minor;
    EXPECT_EQ(registry.State(), expected.State()) << family.major << "." << family.minor;
    std::wostringstream again;
    EXPECT_EQ(RunFamilyReset(registry, info, again, files), 0u);
    EXPECT_EQ(again.str(), L"");
    EXPECT_EQ(registry.OpenKeys(), 0u);
  }
}

// The 32-bit view of the classes on 5.2 and 6.0: a hijacked exefile there,
// and the user's override there, are repaired as in the 64-bit view, which
// the view then matches key for key; from 6.1 on it is shared, and left
// alone. A second run finds nothing.
TEST(ThirtyTwoBitView, RepairedWhereWindowsKeepsItApart) {
  const std::wstring view = L"HKLM\\Software\\Classes\\Wow6432Node\\";
  const std::wstring userView = L"HKCU\\SOFTWARE\\Classes\\Wow6432Node\\";
  const std::pair<std::uint32_t, std::uint32_t> versions[] = {{5, 2}, {6, 0}, {6, 1}};
  for (const auto& [major, minor] : versions) {
    SystemInfo info;
    info.majorVersion = major;
    info.minorVersion = minor;
    FakeSystemFiles files;
    MemoryRegistry registry;
    std::wostringstream silent;
    RunFamilyReset(registry, info, silent, files);
    ASSERT_TRUE(PutText(registry, view + L"exefile\\shell\\open\\command", L"", L"C:\\evil.exe %1"));
    ASSERT_TRUE(PutText(registry, view + L"exefile\\shell\\open\\ddeexec", L"", L"[open]"));
    ASSERT_TRUE(PutText(registry, userView + L".exe", L"", L"evilfile"));
    ASSERT_TRUE(PutText(registry, userView + L"evilfile\\shell\\open\\command", L"", L"C:\\evil.exe %1"));
    const RegistryState planted = registry.State();
    std::wostringstream log;
    EXPECT_EQ(RunFamilyReset(registry, info, log, files), 0u);
    if (minor == 1) {
      EXPECT_EQ(log.str(), L"");
      EXPECT_EQ(registry.State(), planted);
      continue;
    }
    for (const wchar_t* line :
         {L"  * HKLM\\Software\\Classes\\Wow6432Node\\.exe did not exist and was recreated!\r\n",
          L"  * HKLM\\Software\\Classes\\Wow6432Node\\exefile\\shell\\open\\command\\\\@ was changed. It was reset to \"%1\" %*!\r\n",
          L"  * HKCU\\SOFTWARE\\Classes\\Wow6432Node\\.exe\\\\@ exists and is set to evilfile!\r\n"
          L"  * HKCU\\SOFTWARE\\Classes\\Wow6432Node\\.exe has been deleted!\r\n"
          L"  * HKCU\\SOFTWARE\\Classes\\Wow6432Node\\evilfile has been deleted!\r\n",
          L"  * HKLM\\Software\\Classes\\Wow6432Node\\batfile did not exist and was recreated!\r\n",
          L"  * HKLM\\Software\\Classes\\Wow6432Node\\exefile\\shell\\open\\ddeexec found and deleted!\r\n"}) {
      EXPECT_NE(log.str().find(line), std::wstring::npos) << major << "." << minor << " " << std::wstring(line).c_str();
    }
    // The view now holds what the 64-bit classes hold, key for key.
    const RegistryState state = registry.State();
    const std::wstring classes = L"HKLM\\SOFTWARE\\CLASSES\\", wow = classes + L"WOW6432NODE\\";
    std::size_t compared = 0;
    for (const auto& [path, key] : state) {
      if (path.compare(0, wow.size(), wow) != 0) continue;
      const auto twin = state.find(classes + path.substr(wow.size()));
      EXPECT_TRUE(twin != state.end() && twin->second == key) << major << "." << minor;
      ++compared;
    }
    EXPECT_GT(compared, 10u);
    EXPECT_FALSE(registry.Has(userView + L".exe") || registry.Has(userView + L"evilfile"));
    std::wostringstream again;
    EXPECT_EQ(RunFamilyReset(registry, info, again, files), 0u);
    EXPECT_EQ(again.str(), L"");
    EXPECT_EQ(registry.OpenKeys(), 0u);
  }
}

}  // namespace
