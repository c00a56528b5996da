#include "registry/user_override.h"

#include <cstddef>

#include "registry/operations.h"
#include "registry/registry_text.h"

namespace {

// The per-user class registrations; every key removed lies strictly below it.
const std::wstring kUserClasses = L"SOFTWARE\\Classes";
const std::wstring kUserClassesPrefix = L"SOFTWARE\\Classes\\";
// Explorer's own choice of program per extension (Vista on), which outranks
// every class registration; reached from Software through no link.
const std::wstring kUserSoftware = L"Software";
const std::wstring kExplorerFileExts = L"Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\";
const std::wstring kUserChoice = L"\\UserChoice";

struct OverrideLiterals {
  const wchar_t* extension;
  const wchar_t* valueLine;    // followed by the class name and "!\r\n"
  const wchar_t* deletedLine;  // complete
};

constexpr OverrideLiterals kLiterals[] = {
    {L".exe", L"  * HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to ",
     L"  * HKCU\\SOFTWARE\\Classes\\.exe has been deleted!\r\n"},
    {L".bat", L"  * HKCU\\SOFTWARE\\Classes\\.bat\\\\@ exists and is set to ",
     L"  * HKCU\\SOFTWARE\\Classes\\.bat has been deleted!\r\n"},
    {L".com", L"  * HKCU\\SOFTWARE\\Classes\\.com\\\\@ exists and is set to ",
     L"  * HKCU\\SOFTWARE\\Classes\\.com has been deleted!\r\n"},
};

const OverrideLiterals* FindLiterals(const std::wstring& extension) {
  for (const OverrideLiterals& literals : kLiterals) {
    if (extension == literals.extension) return &literals;
  }
  return nullptr;
}

// Removes Explorer's choice for `extension`: its UserChoice key, named with
// the program it chose. OpenWithList and OpenWithProgids beside it stay.
std::uint32_t RemoveExplorerChoice(RegistryAccess& registry, std::wostream& runLog,
                                   const std::wstring& extension) {
  const std::wstring choice = kExplorerFileExts + extension + kUserChoice;
  const std::wstring choiceKey = kUserSoftware + L"\\" + choice;
  if (!KeyExists(registry, RegistryRoot::HKCU, choiceKey)) return 0;
  // Vista and 7 name the value Progid, later versions ProgId: names compare
  // without regard to case.
  const std::wstring shown = L"HKCU\\" + choiceKey;
  runLog << L"  * " << shown << L" exists and is set to "
         << EscapeControlCharacters(ReadTextValue(registry, RegistryRoot::HKCU, choiceKey, L"ProgId")) << L"!\r\n";
  runLog.flush();
  const RegistryChange gone = DeleteKeyTreeBelow(registry, RegistryRoot::HKCU, kUserSoftware, choice);
  if (gone) {
    runLog << L"  * " << shown << L" has been deleted!\r\n\r\n";
    runLog.flush();
    return 0;
  }
  if (gone.error != kRegistrySuccess) {
    ReportFailure(runLog, shown, gone.error);
  } else {
    // Explorer follows the link to the choice; the repair does not.
    runLog << L"  * " << shown
           << L" is reached through a registry link, which is not followed; it was not deleted!\r\n\r\n";
    runLog.flush();
  }
  return 1;
}

std::uint32_t RemoveClassesOverride(RegistryAccess& registry, std::wostream& runLog,
                                    const OverrideLiterals* literals, const std::wstring& extension) {
  const std::wstring extensionKey = kUserClassesPrefix + extension;
  if (!KeyExists(registry, RegistryRoot::HKCU, extensionKey)) return 0;

  // The class name is the user's own text: written with its control
  // characters made visible, so that it cannot forge lines of the log.
  const std::wstring className = ReadDefaultValue(registry, RegistryRoot::HKCU, extensionKey);
  const std::wstring shownClass = EscapeControlCharacters(className);
  runLog << literals->valueLine << shownClass << L"!\r\n";
  runLog.flush();

  std::uint32_t failures = 0;
  const RegistryChange extensionGone = DeleteKeyTree(registry, RegistryRoot::HKCU, extensionKey);
  if (extensionGone) {
    runLog << literals->deletedLine;
    runLog.flush();
  } else if (extensionGone.error != kRegistrySuccess) {
    ReportFailure(runLog, L"HKCU\\" + extensionKey, extensionGone.error);
    ++failures;
  }

  if (className.empty()) return failures;
  // It may only lead to a key strictly below the per-user classes, and not
  // through a link on the way.
  const RegistryChange classGone = DeleteKeyTreeBelow(registry, RegistryRoot::HKCU, kUserClasses, className);
  if (classGone) {
    runLog << L"  * HKCU\\SOFTWARE\\Classes\\" << shownClass << L" has been deleted!\r\n\r\n";
    runLog.flush();
  } else if (classGone.error != kRegistrySuccess) {
    ReportFailure(runLog, L"HKCU\\SOFTWARE\\Classes\\" + shownClass, classGone.error);
    ++failures;
  }
  return failures;
}

}  // namespace

std::uint32_t RemoveUserOverride(RegistryAccess& registry, std::wostream& runLog,
                                 const std::wstring& extension) {
  // Only the three executable types are overrides this tool removes.
  const OverrideLiterals* literals = FindLiterals(extension);
  if (literals == nullptr) return 0;
  const std::uint32_t failures = RemoveClassesOverride(registry, runLog, literals, extension);
  return failures + RemoveExplorerChoice(registry, runLog, extension);
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
    failures += RemoveExplorerChoice(registry, runLog, literals.extension);
  }
  return failures;
}
