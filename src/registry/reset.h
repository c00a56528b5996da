#pragma once
// The association resets, one per Windows family.

#include <ostream>

#include "host/system_info.h"
#include "registry/registry_access.h"

void ResetXpFamily(RegistryAccess& registry, const SystemInfo& info, std::wostream& runLog);
void ResetVistaFamily(RegistryAccess& registry, std::wostream& runLog);
void ResetWin7Win8Family(RegistryAccess& registry, std::wostream& runLog);
void AddPinToStartVerb(RegistryAccess& registry);
