#include "registry/user_override.h"

#include <cstddef>

#include "registry/operations.h"
#include "registry/registry_text.h"

namespace {

// The per-user class registrations; every key removed lies strictly below it.
const std::wstring kUserClasses = L"SOFTWARE\\Classes";
const std::wstring kUserClassesPrefix = L"SOFTWARE\\Classes\\";

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

}  // namespace

std::uint32_t RemoveUserOverride(RegistryAccess& registry, std::wostream& runLog,
                                 const std::wstring& extension) {
  // Only the three executable types are overrides this tool removes.
  const OverrideLiterals* literals = FindLiterals(extension);
  if (literals == nullptr) return 0;
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
