#pragma once
#include <cstdint>
#include <ostream>
#include <string>

#include "registry/operations.h"
#include "registry/registry_access.h"

// Removes the current user's override of `extension` (".exe", ".bat", ".com"):
// the per-user extension key and the per-user class key it names, the
// per-user class of the type (exefile, batfile, comfile), then Explorer's
// choices for the extension (UserChoice, UserChoiceLatest, UserChoicePrevious
// and the Application and Progid values of FileExts\<ext>). Returns how many
// of the deletions failed. `choicesProtected`: Windows protects Explorer's
// choices from other programs (Windows 8 on, running): a deletion of one it
// refuses says so, not the failure line.
std::uint32_t RemoveUserOverride(RegistryAccess& registry, std::wostream& runLog,
                                 const std::wstring& extension, bool choicesProtected = false);

// The same below HKCU\<classes> (the 32-bit view of the user's classes),
// without Explorer's choices, which have no view of their own.
std::uint32_t RemoveUserClassesOverride(RegistryAccess& registry, std::wostream& runLog, const std::wstring& extension,
                                        const std::wstring& classes);

// Writes the line of a write or deletion of the reset that failed: `what`
// names the key, or the value as the report lines name it, then the Windows
// error; a blank line follows.
void ReportFailure(std::wostream& runLog, const std::wstring& what, RegistryStatus error);

// The same for the deletion of a tree, `what` naming its top: when keys
// below it went before it stopped, the line names them and those that stand.
void ReportTreeFailure(std::wostream& runLog, const std::wstring& what, RegistryStatus error,
                       const TreeReport& report);

// Removes the value `name` of root\base\relative, reached through no
// registry link: a line names it with its data, another its deletion, the key
// named "HKCU\" or "HKLM\" then base\relative, the default value "@". Nothing is written for a value
// that is not there. Returns 1 when it stays: its deletion failed, or it is
// reached through a link.
// `note`, when not empty, follows the line of its deletion on the same line.
std::uint32_t RemoveReportedValue(RegistryAccess& registry, std::wostream& runLog, RegistryRoot root,
                                  const std::wstring& base, const std::wstring& relative, const std::wstring& name,
                                  const std::wstring& note = std::wstring());

// Writes the line of a key or value the repair does not delete because it
// is reached through a registry link; a blank line follows.
void ReportLinked(std::wostream& runLog, const std::wstring& what);

// Removes the overrides of ".exe", ".bat" and ".com", in that order, as the
// resets do after each type. Returns how many of the deletions failed.
std::uint32_t RemoveUserOverrides(RegistryAccess& registry, std::wostream& runLog);

// Removes Explorer's choices of ".exe", ".bat" and ".com" alone, for a user
// whose classes hive is out of reach. Returns how many of the deletions failed.
std::uint32_t RemoveExplorerChoices(RegistryAccess& registry, std::wostream& runLog);
