#include "registry/user_override.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "registry/memory_registry.h"
#include "registry/registry_text.h"

namespace {

const RegistryRoot HKLM = RegistryRoot::HKLM;
const RegistryRoot HKCU = RegistryRoot::HKCU;

const std::wstring kExeLine = L"  * HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to ";
const std::wstring kExeDeleted = L"  * HKCU\\SOFTWARE\\Classes\\.exe has been deleted!\r\n";
const std::wstring kBatLine = L"  * HKCU\\SOFTWARE\\Classes\\.bat\\\\@ exists and is set to ";
const std::wstring kBatDeleted = L"  * HKCU\\SOFTWARE\\Classes\\.bat has been deleted!\r\n";
const std::wstring kComLine = L"  * HKCU\\SOFTWARE\\Classes\\.com\\\\@ exists and is set to ";
const std::wstring kComDeleted = L"  * HKCU\\SOFTWARE\\Classes\\.com has been deleted!\r\n";

std::wstring ClassDeleted(const std::wstring& className) {
  return L"  * HKCU\\SOFTWARE\\Classes\\" + className + L" has been deleted!\r\n\r\n";
}

// Drops the lines for the subkeys of one removed key, keeping the key's own.
std::vector<std::wstring> WithoutSubkeysOf(std::vector<std::wstring> changes,
                                           const std::wstring& key) {
  const std::wstring prefix = L"-key " + key + L"\\";
  changes.erase(std::remove_if(changes.begin(), changes.end(),
                               [&](const std::wstring& line) { return line.rfind(prefix, 0) == 0; }),
                changes.end());
  return changes;
}

class UserOverride : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }

  // A machine with its own registrations, an unrelated per-user one, and a
  // per-user override of .exe with a subkey of its own (unless left out).
  void Reset(bool exeOverride = true) {
    registry_ = std::make_unique<MemoryRegistry>();
    registry_->AddString(HKLM, L"Software\\Classes\\.exe", L"", L"exefile");
    registry_->AddString(HKLM, L"Software\\Classes\\exefile\\shell\\open\\command", L"",
                         L"\"%1\" %*");
    registry_->AddString(HKCU, L"Software\\Classes\\.txt", L"", L"txtfile");
    registry_->AddKey(HKCU, L"Software\\Other");
    if (exeOverride) registry_->AddKey(HKCU, L"Software\\Classes\\.exe\\shell\\open\\command");
  }

  std::wstring Run(const std::wstring& extension) {
    std::wostringstream log;
    before_ = registry_->Snapshot();
    RemoveUserOverride(*registry_, log, extension);
    EXPECT_EQ(registry_->OpenKeyCount(), 0u) << "a key was left open";
    return log.str();
  }

  std::vector<std::wstring> Changes() const {
    return WithoutSubkeysOf(MemoryRegistry::Differences(before_, registry_->Snapshot()),
                            L"HKCU\\Software\\Classes\\.exe");
  }

  std::unique_ptr<MemoryRegistry> registry_;
  RegistrySnapshot before_;
};

TEST_F(UserOverride, NoOverrideWritesAndChangesNothing) {
  for (const wchar_t* extension : {L".bat", L".com", L".txt", L""}) {
    EXPECT_EQ(Run(extension), L"");
    EXPECT_TRUE(Changes().empty());
  }
}

TEST_F(UserOverride, ALineForEachKeyThatGoes) {
  struct Case {
    const char* label;
    std::wstring classValue;  // empty: no default value at all
    bool userClassKey;
    std::wstring log;
    std::vector<std::wstring> changes;
  } cases[] = {
      {"without default value", L"", false, kExeLine + L"!\r\n" + kExeDeleted,
       {L"-key HKCU\\Software\\Classes\\.exe"}},
      {"class only machine-wide", L"exefile", false, kExeLine + L"exefile!\r\n" + kExeDeleted,
       {L"-key HKCU\\Software\\Classes\\.exe"}},
      {"class per user", L"exefile", true,
       kExeLine + L"exefile!\r\n" + kExeDeleted + ClassDeleted(L"exefile"),
       {L"-key HKCU\\Software\\Classes\\.exe", L"-key HKCU\\Software\\Classes\\exefile",
        L"-key HKCU\\Software\\Classes\\exefile\\shell",
        L"-key HKCU\\Software\\Classes\\exefile\\shell\\open"}},
      {"class in another case", L"EXEFILE", true,
       kExeLine + L"EXEFILE!\r\n" + kExeDeleted + ClassDeleted(L"EXEFILE"),
       {L"-key HKCU\\Software\\Classes\\.exe", L"-key HKCU\\Software\\Classes\\EXEFILE",
        L"-key HKCU\\Software\\Classes\\EXEFILE\\shell",
        L"-key HKCU\\Software\\Classes\\EXEFILE\\shell\\open"}},
      {"class further down", L"Bad\\Open", true,
       kExeLine + L"Bad\\Open!\r\n" + kExeDeleted + ClassDeleted(L"Bad\\Open"),
       {L"-key HKCU\\Software\\Classes\\.exe", L"-key HKCU\\Software\\Classes\\Bad\\Open",
        L"-key HKCU\\Software\\Classes\\Bad\\Open\\shell",
        L"-key HKCU\\Software\\Classes\\Bad\\Open\\shell\\open"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Reset();
    if (!c.classValue.empty()) {
      registry_->AddString(HKCU, L"Software\\Classes\\.exe", L"", c.classValue);
    }
    if (c.userClassKey) {
      registry_->AddString(HKCU, L"Software\\Classes\\" + c.classValue + L"\\shell\\open", L"",
                           L"x");
    }
    EXPECT_EQ(Run(L".exe"), c.log);
    EXPECT_EQ(Changes(), c.changes);
  }
}

TEST_F(UserOverride, TheClassKeyGoesEvenWhenTheExtensionKeyStays) {
  registry_->AddString(HKCU, L"Software\\Classes\\.exe", L"", L"exefile");
  registry_->AddKey(HKCU, L"Software\\Classes\\exefile");
  registry_->RefuseDeletion(HKCU, L"Software\\Classes\\.exe");
  EXPECT_EQ(Run(L".exe"), kExeLine + L"exefile!\r\n" +
                             L"  * HKCU\\SOFTWARE\\Classes\\.exe could not be reset (error 5)!\r\n\r\n" +
                             ClassDeleted(L"exefile"));
  EXPECT_TRUE(registry_->HasKey(HKCU, L"Software\\Classes\\.exe"));
  EXPECT_FALSE(registry_->HasKey(HKCU, L"Software\\Classes\\exefile"));
}

TEST_F(UserOverride, ClassNamesNeverReachOutsideThePerUserClasses) {
  // Keys a careless class step could reach: the classes key itself, its
  // parent, its siblings, other users' classes and the machine.
  struct Case {
    std::wstring className;
    std::wstring deletedLine;  // what may go, confined strictly below the classes
  } cases[] = {
      {L"\\", L""},
      {L"\\\\", L""},
      {L"\\\\\\", L""},
      {L"\\.txt", L""},
      {L".txt\\", ClassDeleted(L".txt\\")},
      {L"a\\\\b", L""},
      {L"\\..\\Other", L""},
      {L"..", L""},
      {L"..\\Other", L""},
      {L".", L""},
      {L".\\.txt", L""},
      {L"..\\..\\Software", L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.className.begin(), c.className.end()));
    Reset();
    registry_->AddString(HKCU, L"Software\\Classes\\.exe", L"", c.className);
    registry_->AddKey(HKCU, L"Software\\Classes\\a\\b");
    EXPECT_EQ(Run(L".exe"), kExeLine + c.className + L"!\r\n" + kExeDeleted + c.deletedLine);
    for (const std::wstring& line : Changes()) {
      EXPECT_TRUE(line == L"-key HKCU\\Software\\Classes\\.exe" ||
                  (!c.deletedLine.empty() && line == L"-key HKCU\\Software\\Classes\\.txt"))
          << std::string(line.begin(), line.end());
    }
    EXPECT_TRUE(registry_->HasKey(HKCU, L"Software\\Classes"));
    EXPECT_TRUE(registry_->HasKey(HKCU, L"Software\\Other"));
    EXPECT_TRUE(registry_->HasKey(HKCU, L"Software\\Classes\\a\\b"));
  }
}

TEST_F(UserOverride, LinksAreDeletedAsLinksAndNeverWalkedThrough) {
  struct Case {
    const char* label;
    std::wstring exeLink;    // HKLM key that HKCU .exe links to, or empty
    std::wstring className;  // default value of the HKCU .exe key
    std::wstring classLink;  // per-user key made a link to HKLM exefile, or empty
    std::wstring log;
  } cases[] = {
      {"extension key is a link", L"Software\\Classes\\.exe", L"", L"",
       kExeLine + L"exefile!\r\n" + kExeDeleted},
      {"class key is a link", L"", L"evil", L"evil",
       kExeLine + L"evil!\r\n" + kExeDeleted + ClassDeleted(L"evil")},
      {"link on the way to the class key", L"", L"hop\\shell", L"hop", kExeLine + L"hop\\shell!\r\n" + kExeDeleted},
      {"link deeper on the way", L"", L"own\\hop\\shell", L"own\\hop",
       kExeLine + L"own\\hop\\shell!\r\n" + kExeDeleted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Reset(c.exeLink.empty());
    if (!c.exeLink.empty()) {
      registry_->AddLink(HKCU, L"Software\\Classes\\.exe", HKLM, c.exeLink);
    } else {
      registry_->AddString(HKCU, L"Software\\Classes\\.exe", L"", c.className);
    }
    if (!c.classLink.empty()) {
      registry_->AddLink(HKCU, L"Software\\Classes\\" + c.classLink, HKLM,
                         L"Software\\Classes\\exefile");
    }
    const RegistrySnapshot machine = registry_->Snapshot();
    registry_->ClearCalls();
    EXPECT_EQ(Run(L".exe"), c.log);
    for (const std::wstring& line : MemoryRegistry::Differences(machine, registry_->Snapshot())) {
      EXPECT_EQ(line.rfind(L"-key HKCU\\Software\\Classes\\", 0), 0u)
          << std::string(line.begin(), line.end());
    }
    EXPECT_TRUE(registry_->HasKey(HKLM, L"Software\\Classes\\.exe"));
    EXPECT_TRUE(registry_->HasKey(HKLM, L"Software\\Classes\\exefile\\shell\\open\\command"));
    // Nothing is even opened through a link.
    if (!c.classLink.empty()) {
      const std::wstring through = L"HKCU\\Software\\Classes\\" + c.classLink + L"\\";
      for (const RegistryCall& call : registry_->Calls()) {
        EXPECT_NE(call.key.rfind(through, 0), 0u) << std::string(call.key.begin(), call.key.end());
      }
    }
  }
}

TEST_F(UserOverride, ALinkedClassesKeyIsFollowedAsWindowsLinksIt) {
  // Windows makes HKCU\Software\Classes a link to the user's classes hive.
  registry_ = std::make_unique<MemoryRegistry>();
  registry_->AddString(HKCU, L"UserClasses\\.exe", L"", L"exefile");
  registry_->AddKey(HKCU, L"UserClasses\\exefile\\shell");
  registry_->AddKey(HKCU, L"UserClasses\\txtfile");
  registry_->AddLink(HKCU, L"Software\\Classes", HKCU, L"UserClasses");
  EXPECT_EQ(Run(L".exe"), kExeLine + L"exefile!\r\n" + kExeDeleted + ClassDeleted(L"exefile"));
  EXPECT_EQ(MemoryRegistry::Differences(before_, registry_->Snapshot()),
            (std::vector<std::wstring>{L"-key HKCU\\UserClasses\\.exe",
                                       L"-key HKCU\\UserClasses\\exefile",
                                       L"-key HKCU\\UserClasses\\exefile\\shell"}));
}

TEST_F(UserOverride, EachExtensionStartsFromItsOwnRead) {
  registry_->AddString(HKCU, L"Software\\Classes\\.exe", L"", L"exefile");
  registry_->AddKey(HKCU, L"Software\\Classes\\.bat");
  registry_->AddString(HKCU, L"Software\\Classes\\.com", L"", L"comfile");
  EXPECT_EQ(Run(L".exe"), kExeLine + L"exefile!\r\n" + kExeDeleted);
  EXPECT_EQ(Run(L".bat"), kBatLine + L"!\r\n" + kBatDeleted);
  EXPECT_EQ(Run(L".com"), kComLine + L"comfile!\r\n" + kComDeleted);
}

TEST(EscapeControlCharacters, OnlyControlCharactersAreEscaped) {
  const struct {
    std::wstring text;
    std::wstring shown;
  } cases[] = {
      {L"exefile", L"exefile"},
      {L"a\r\nb", L"a\\x0D\\x0Ab"},
      {std::wstring(L"\0\x1F\x7F", 3), L"\\x00\\x1F\\x7F"},
      {L"\t\x1B[2J", L"\\x09\\x1B[2J"},
      {L" ~\x80\u00E9\uFFFF\\x0D", L" ~\x80\u00E9\uFFFF\\x0D"},
      {L"\U0001F600", L"\U0001F600"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeControlCharacters(c.text), c.shown);
}

TEST_F(UserOverride, AnUnreadableExtensionKeyCountsAsAbsent) {
  registry_->AddString(HKCU, L"Software\\Classes\\.exe", L"", L"exefile");
  registry_->RefuseOpening(HKCU, L"Software\\Classes\\.exe");
  EXPECT_EQ(Run(L".exe"), L"");
  EXPECT_TRUE(Changes().empty());
}

}  // namespace
