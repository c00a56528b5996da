#include "registry/user_override.h"

#include <cstddef>

#include "registry/operations.h"

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

void RemoveUserOverride(RegistryAccess& registry, std::wostream& runLog, const std::wstring& extension) {
  // Only the three executable types are overrides this tool removes.
  const OverrideLiterals* literals = FindLiterals(extension);
  if (literals == nullptr) return;
  const std::wstring extensionKey = kUserClassesPrefix + extension;
  if (!KeyExists(registry, RegistryRoot::HKCU, extensionKey)) return;

  const std::wstring className = ReadDefaultValue(registry, RegistryRoot::HKCU, extensionKey);
  runLog << literals->valueLine << className << L"!\r\n";
  runLog.flush();

  if (DeleteKeyTree(registry, RegistryRoot::HKCU, extensionKey)) {
    runLog << literals->deletedLine;
    runLog.flush();
  }

  if (className.empty()) return;
  // The class name is the user's own text: it may only lead to a key strictly
  // below the per-user classes, and not through a link on the way.
  if (DeleteKeyTreeBelow(registry, RegistryRoot::HKCU, kUserClasses, className)) {
    runLog << L"  * HKCU\\SOFTWARE\\Classes\\" << className << L" has been deleted!\r\n\r\n";
    runLog.flush();
  }
}

void RemoveUserOverrides(RegistryAccess& registry, std::wostream& runLog) {
  for (const OverrideLiterals& literals : kLiterals) {
    RemoveUserOverride(registry, runLog, literals.extension);
  }
}
