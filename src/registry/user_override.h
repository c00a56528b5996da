#pragma once
#include <ostream>
#include <string>

#include "registry/registry_access.h"

// Removes the current user's override of `extension` (".exe", ".bat", ".com"):
// the per-user extension key and the per-user class key it names.
void RemoveUserOverride(RegistryAccess& registry, std::wostream& runLog, const std::wstring& extension);

// Removes the overrides of ".exe", ".bat" and ".com", in that order, as the
// resets do after each type.
void RemoveUserOverrides(RegistryAccess& registry, std::wostream& runLog);
