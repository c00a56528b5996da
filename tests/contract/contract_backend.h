#pragma once
// The registry the contract suite runs against: the in-memory registry in the
// native build, the Windows registry in the Windows build (run under Wine).

#include <memory>

#include "registry/registry_access.h"

std::unique_ptr<RegistryAccess> MakeContractRegistry();
// The keys the backend still holds open, or -1 where it cannot tell.
long OpenContractKeys(RegistryAccess& registry);
