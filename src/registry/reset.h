#pragma once
// The association resets, one per Windows family.

#include <ostream>

#include "host/system_info.h"
#include "registry/registry_access.h"

void ResetXpFamily(RegistryAccess& registry, const SystemInfo& info, std::wostream& runLog);
void ResetVistaFamily(RegistryAccess& registry, std::wostream& runLog);
void ResetWin7Win8Family(RegistryAccess& registry, std::wostream& runLog);
void AddPinToStartVerb(RegistryAccess& registry);

// Runs the reset of the host's family, chosen from its version numbers: 5.x
// the XP routine, 6.0 Vista's, 6.1 Windows 7's, 6.2 Windows 7's followed by
// the pin-to-start verb; any other version, nothing.
void RunFamilyReset(RegistryAccess& registry, const SystemInfo& info, std::wostream& runLog);
