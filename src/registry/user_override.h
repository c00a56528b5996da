#pragma once
#include <cstdint>
#include <ostream>
#include <string>

#include "registry/registry_access.h"

// Removes the current user's override of `extension` (".exe", ".bat", ".com"):
// the per-user extension key and the per-user class key it names, then
// Explorer's UserChoice for the extension. Returns how many of the deletions
// failed.
std::uint32_t RemoveUserOverride(RegistryAccess& registry, std::wostream& runLog,
                                 const std::wstring& extension);

// Writes the line of a write or deletion of the reset that failed: `what`
// names the key, or the value as the report lines name it, then the Windows
// error; a blank line follows.
void ReportFailure(std::wostream& runLog, const std::wstring& what, RegistryStatus error);

// Removes the overrides of ".exe", ".bat" and ".com", in that order, as the
// resets do after each type. Returns how many of the deletions failed.
std::uint32_t RemoveUserOverrides(RegistryAccess& registry, std::wostream& runLog);

// Removes Explorer's choices of ".exe", ".bat" and ".com" alone, for a user
// whose classes hive is out of reach. Returns how many of the deletions failed.
std::uint32_t RemoveExplorerChoices(RegistryAccess& registry, std::wostream& runLog);
