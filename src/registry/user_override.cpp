#include "registry/user_override.h"

#include <algorithm>
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

// The characters of a class name or ProgId shown in a line; the rest is read, not shown.
constexpr std::size_t kShownLength = 4096;
// Key names are at most this long.
constexpr std::size_t kMaxKeyNameLength = 255;

// Whether each of the components of `path` can be a key's name.
bool NamesKey(const std::wstring& path) {
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find(L'\\', start), path.size());
    if (end - start > kMaxKeyNameLength) return false;
    start = end + 1;
  }
  return true;
}

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
  // The program chosen, read whole: a long value is not taken for none.
  std::wstring progId;
  bool isString = false;
  static_cast<void>(ReadStringValue(registry, RegistryRoot::HKCU, progIdKey, L"ProgId", progId, isString));
  runLog << L"  * " << shown << L" exists and is set to " << EscapeControlCharacters(progId.substr(0, kShownLength))
         << L"!\r\n";
  runLog.flush();
  TreeReport report;
  const RegistryChange gone = DeleteKeyTreeBelow(registry, RegistryRoot::HKCU, kUserSoftware, choice, &report);
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
    ReportTreeFailure(runLog, shown, gone.error, report);
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
  TreeReport report;
  const RegistryChange gone = DeleteKeyTreeBelow(registry, RegistryRoot::HKCU, classes, className, &report);
  if (gone) {
    runLog << L"  * " << shown << L" has been deleted!\r\n\r\n";
    runLog.flush();
    return 0;
  }
  if (gone.error == kRegistrySuccess) return 0;
  ReportTreeFailure(runLog, shown, gone.error, report);
  return 1;
}

std::uint32_t RemoveClassesOverride(RegistryAccess& registry, std::wostream& runLog, const std::wstring& classes,
                                    const std::wstring& extension) {
  const std::wstring extensionKey = classes + L"\\" + extension;
  if (!KeyExists(registry, RegistryRoot::HKCU, extensionKey)) return 0;

  // The class name is the default value read whole, as Windows reads it:
  // its text up to the first NUL, however long the value; a value that is no
  // string names no class. It is the user's own text: written with its
  // control characters made visible, so that it cannot forge lines of the log.
  std::wstring className;
  bool isString = false;
  const RegistryStatus read = ReadStringValue(registry, RegistryRoot::HKCU, extensionKey, L"", className, isString);
  const std::wstring shownClass = EscapeControlCharacters(className.substr(0, kShownLength));
  const std::wstring value = L"  * HKCU\\" + extensionKey + L"\\\\@ exists and ";
  const bool unreadable = read != kRegistrySuccess && read != kRegistryFileNotFound;
  if (unreadable) {
    runLog << value << L"cannot be read (error " << read << L"): the class it names, if any, stays!\r\n";
  } else if (read == kRegistrySuccess && !isString) {
    runLog << value << L"is not a string: it names no class!\r\n";
  } else {
    runLog << value << L"is set to " << shownClass << L"!\r\n";
  }
  runLog.flush();

  std::uint32_t failures = 0;
  TreeReport extensionReport;
  const RegistryChange extensionGone = DeleteKeyTree(registry, RegistryRoot::HKCU, extensionKey, &extensionReport);
  if (extensionGone) {
    runLog << L"  * HKCU\\" << extensionKey << L" has been deleted!\r\n";
    runLog.flush();
  } else if (extensionGone.error != kRegistrySuccess) {
    ReportTreeFailure(runLog, L"HKCU\\" + extensionKey, extensionGone.error, extensionReport);
    ++failures;
  }

  if (unreadable) return failures + 1;
  // A name with a component longer than a key's name can be names no key.
  if (className.empty() || !NamesKey(className)) return failures;
  // It may only lead to a key strictly below the per-user classes, and not
  // through a link on the way.
  TreeReport classReport;
  const RegistryChange classGone =
      DeleteKeyTreeBelow(registry, RegistryRoot::HKCU, classes, className, &classReport);
  if (classGone) {
    runLog << L"  * HKCU\\" << classes << L"\\" << shownClass << L" has been deleted!\r\n\r\n";
    runLog.flush();
  } else if (classGone.error != kRegistrySuccess) {
    ReportTreeFailure(runLog, L"HKCU\\" + classes + L"\\" + shownClass, classGone.error, classReport);
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

void ReportTreeFailure(std::wostream& runLog, const std::wstring& what, RegistryStatus error,
                       const TreeReport& report) {
  if (report.deletedCount == 0) {
    ReportFailure(runLog, what, error);
    return;
  }
  const auto names = [&runLog](const std::vector<std::wstring>& paths) {
    for (std::size_t i = 0; i < paths.size(); ++i) runLog << (i == 0 ? L"" : L", ") << EscapeControlCharacters(paths[i]);
  };
  runLog << L"  * " << what << L" could not be deleted whole (error " << error << L"): deleted below it, "
         << report.deletedCount << (report.deletedCount == 1 ? L" key: " : L" keys: ");
  names(report.deleted);
  if (report.deletedCount > report.deleted.size()) runLog << L" and more";
  runLog << L"; still there, the key itself" << (report.left.empty() ? L"" : L" and below it: ");
  names(report.left);
  runLog << (report.more ? L" and more" : L"") << L"!\r\n\r\n";
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
