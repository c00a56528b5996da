#include "registry/user_override.h"

#include <cstddef>

#include "registry/operations.h"
#include "registry/registry_text.h"

namespace {

// The per-user class registrations; every key removed lies strictly below it.
const std::wstring kUserClasses = L"SOFTWARE\\Classes";
// Explorer's own choice of program per extension (Vista on), which outranks
// every class registration; reached from Software through no link.
const std::wstring kUserSoftware = L"Software";
const std::wstring kExplorerFileExts = L"Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\";

struct OverrideLiterals {
  const wchar_t* extension;
  const wchar_t* typeClass;  // the class the machine-wide reset restores
};

constexpr OverrideLiterals kLiterals[] = {
    {L".exe", L"exefile"},
    {L".bat", L"batfile"},
    {L".com", L"comfile"},
};

const OverrideLiterals* FindLiterals(const std::wstring& extension) {
  for (const OverrideLiterals& literals : kLiterals) {
    if (extension == literals.extension) return &literals;
  }
  return nullptr;
}

// Explorer's choices of program per extension below FileExts\<ext>, each
// removed whole, and the value of each that names the program chosen.
struct ExplorerChoice {
  const wchar_t* subkey;
  const wchar_t* progIdAt;  // the key below FileExts\<ext> that holds "ProgId"
};

constexpr ExplorerChoice kExplorerChoices[] = {
    // Vista on. Vista and 7 name the value Progid, later versions ProgId:
    // names compare without regard to case.
    {L"\\UserChoice", L"\\UserChoice"},
    // Windows 11 builds from 2025, read before UserChoice: its ProgId subkey.
    {L"\\UserChoiceLatest", L"\\UserChoiceLatest\\ProgId"},
    // Beside it on some of those builds.
    {L"\\UserChoicePrevious", L"\\UserChoicePrevious"},
};

// XP and Server 2003 keep "Always use the selected program" as these values
// of FileExts\<ext> itself.
constexpr const wchar_t* kExplorerChoiceValues[] = {L"Application", L"Progid"};

// Removes one of Explorer's choices for `extension`, named with the program
// it chose. OpenWithList and OpenWithProgids beside it stay.
std::uint32_t RemoveExplorerChoice(RegistryAccess& registry, std::wostream& runLog,
                                   const std::wstring& extension, const ExplorerChoice& kind, bool choicesProtected) {
  const std::wstring choice = kExplorerFileExts + extension + kind.subkey;
  const std::wstring choiceKey = kUserSoftware + L"\\" + choice;
  if (!KeyExists(registry, RegistryRoot::HKCU, choiceKey)) return 0;
  const std::wstring shown = L"HKCU\\" + choiceKey;
  const std::wstring progIdKey = kUserSoftware + L"\\" + kExplorerFileExts + extension + kind.progIdAt;
  runLog << L"  * " << shown << L" exists and is set to "
         << EscapeControlCharacters(ReadTextValue(registry, RegistryRoot::HKCU, progIdKey, L"ProgId")) << L"!\r\n";
  runLog.flush();
  const RegistryChange gone = DeleteKeyTreeBelow(registry, RegistryRoot::HKCU, kUserSoftware, choice);
  if (gone) {
    runLog << L"  * " << shown << L" has been deleted!\r\n\r\n";
    runLog.flush();
    return 0;
  }
  if (choicesProtected && gone.error == kRegistryAccessDenied) {
    // Refused by Windows itself, to the administrator as to any program.
    runLog << L"  * " << shown << L" could not be deleted (error " << gone.error
           << L"): Windows protects Explorer's choices from other programs! Change it in Windows' settings of "
              L"default programs, or remove it with morvane-offline while this Windows is shut down.\r\n\r\n";
    runLog.flush();
  } else if (gone.error != kRegistrySuccess) {
    ReportFailure(runLog, shown, gone.error);
  } else {
    ReportLinked(runLog, shown);
  }
  return 1;
}

// Every one of Explorer's choices for `extension`: the keys of each version
// and XP's values.
std::uint32_t RemoveExplorerChoicesOf(RegistryAccess& registry, std::wostream& runLog, const std::wstring& extension,
                                      bool choicesProtected = false) {
  std::uint32_t failures = 0;
  for (const ExplorerChoice& kind : kExplorerChoices) {
    failures += RemoveExplorerChoice(registry, runLog, extension, kind, choicesProtected);
  }
  for (const wchar_t* name : kExplorerChoiceValues) {
    failures += RemoveReportedValue(registry, runLog, RegistryRoot::HKCU, kUserSoftware,
                                    kExplorerFileExts + extension, name);
  }
  return failures;
}

// The per-user class of the type, the one the machine-wide reset restores:
// the merged classes take it before the machine's, with or without a
// per-user extension key naming it, so it goes whole. `classes` is where the
// user's classes are (SOFTWARE\Classes, or its 32-bit view).
std::uint32_t RemoveUserClass(RegistryAccess& registry, std::wostream& runLog, const std::wstring& classes,
                              const wchar_t* className) {
  const std::wstring shown = L"HKCU\\" + classes + L"\\" + className;
  const RegistryChange gone = DeleteKeyTreeBelow(registry, RegistryRoot::HKCU, classes, className);
  if (gone) {
    runLog << L"  * " << shown << L" has been deleted!\r\n\r\n";
    runLog.flush();
    return 0;
  }
  if (gone.error == kRegistrySuccess) return 0;
  ReportFailure(runLog, shown, gone.error);
  return 1;
}

std::uint32_t RemoveClassesOverride(RegistryAccess& registry, std::wostream& runLog, const std::wstring& classes,
                                    const std::wstring& extension) {
  const std::wstring extensionKey = classes + L"\\" + extension;
  if (!KeyExists(registry, RegistryRoot::HKCU, extensionKey)) return 0;

  // The class name is the user's own text: written with its control
  // characters made visible, so that it cannot forge lines of the log.
  const std::wstring className = ReadDefaultValue(registry, RegistryRoot::HKCU, extensionKey);
  const std::wstring shownClass = EscapeControlCharacters(className);
  runLog << L"  * HKCU\\" << extensionKey << L"\\\\@ exists and is set to " << shownClass << L"!\r\n";
  runLog.flush();

  std::uint32_t failures = 0;
  const RegistryChange extensionGone = DeleteKeyTree(registry, RegistryRoot::HKCU, extensionKey);
  if (extensionGone) {
    runLog << L"  * HKCU\\" << extensionKey << L" has been deleted!\r\n";
    runLog.flush();
  } else if (extensionGone.error != kRegistrySuccess) {
    ReportFailure(runLog, L"HKCU\\" + extensionKey, extensionGone.error);
    ++failures;
  }

  if (className.empty()) return failures;
  // It may only lead to a key strictly below the per-user classes, and not
  // through a link on the way.
  const RegistryChange classGone = DeleteKeyTreeBelow(registry, RegistryRoot::HKCU, classes, className);
  if (classGone) {
    runLog << L"  * HKCU\\" << classes << L"\\" << shownClass << L" has been deleted!\r\n\r\n";
    runLog.flush();
  } else if (classGone.error != kRegistrySuccess) {
    ReportFailure(runLog, L"HKCU\\" + classes + L"\\" + shownClass, classGone.error);
    ++failures;
  }
  return failures;
}

}  // namespace

std::uint32_t RemoveUserOverride(RegistryAccess& registry, std::wostream& runLog,
                                 const std::wstring& extension, bool choicesProtected) {
  // Only the three executable types are overrides this tool removes.
  const OverrideLiterals* literals = FindLiterals(extension);
  if (literals == nullptr) return 0;
  std::uint32_t failures = RemoveClassesOverride(registry, runLog, kUserClasses, extension);
  failures += RemoveUserClass(registry, runLog, kUserClasses, literals->typeClass);
  return failures + RemoveExplorerChoicesOf(registry, runLog, extension, choicesProtected);
}

std::uint32_t RemoveUserClassesOverride(RegistryAccess& registry, std::wostream& runLog, const std::wstring& extension,
                                        const std::wstring& classes) {
  const OverrideLiterals* literals = FindLiterals(extension);
  if (literals == nullptr) return 0;
  const std::uint32_t failures = RemoveClassesOverride(registry, runLog, classes, extension);
  return failures + RemoveUserClass(registry, runLog, classes, literals->typeClass);
}

std::uint32_t RemoveReportedValue(RegistryAccess& registry, std::wostream& runLog, RegistryRoot root,
                                  const std::wstring& base, const std::wstring& relative, const std::wstring& name,
                                  const std::wstring& note) {
  const std::wstring key = base + L"\\" + relative;
  // Names from the registry are shown with their control characters made
  // visible; the default value as @.
  const std::wstring shown = (root == RegistryRoot::HKCU ? L"HKCU\\" : L"HKLM\\") + EscapeControlCharacters(key) +
                             L"\\\\" + (name.empty() ? std::wstring(L"@") : EscapeControlCharacters(name));
  std::wstring data;
  const Reached reached = ReadValueBelow(registry, root, base, relative, name, data);
  if (reached == Reached::kMissing) return 0;
  if (reached == Reached::kLinked) {
    // Whatever stands behind the link stays, named only when the value is there.
    if (!ValueExists(registry, root, key, name)) return 0;
    data = ReadTextValue(registry, root, key, name);
  }
  runLog << L"  * " << shown << L" exists and is set to " << EscapeControlCharacters(data) << L"!\r\n";
  runLog.flush();
  if (reached == Reached::kLinked) {
    ReportLinked(runLog, shown);
    return 1;
  }
  const RegistryChange gone = DeleteValueBelow(registry, root, base, relative, name);
  if (gone) {
    runLog << L"  * " << shown << L" has been deleted!" << note << L"\r\n\r\n";
    runLog.flush();
    return 0;
  }
  if (gone.error == kRegistrySuccess) return 0;  // gone meanwhile
  ReportFailure(runLog, shown, gone.error);
  return 1;
}

void ReportLinked(std::wostream& runLog, const std::wstring& what) {
  // Windows follows the link; the repair does not.
  runLog << L"  * " << what
         << L" is reached through a registry link, which is not followed; it was not deleted!\r\n\r\n";
  runLog.flush();
}

void ReportFailure(std::wostream& runLog, const std::wstring& what, RegistryStatus error) {
  runLog << L"  * " << what << L" could not be reset (error " << error << L")!\r\n\r\n";
  runLog.flush();
}

std::uint32_t RemoveUserOverrides(RegistryAccess& registry, std::wostream& runLog) {
  std::uint32_t failures = 0;
  for (const OverrideLiterals& literals : kLiterals) {
    failures += RemoveUserOverride(registry, runLog, literals.extension);
  }
  return failures;
}

std::uint32_t RemoveExplorerChoices(RegistryAccess& registry, std::wostream& runLog) {
  std::uint32_t failures = 0;
  for (const OverrideLiterals& literals : kLiterals) {
    failures += RemoveExplorerChoicesOf(registry, runLog, literals.extension);
  }
  return failures;
}
