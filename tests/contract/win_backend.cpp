#include "contract_backend.h"
#include "platform/win_registry.h"

std::unique_ptr<RegistryAccess> MakeContractRegistry() { return std::make_unique<WinRegistry>(); }

long OpenContractKeys(RegistryAccess&) { return -1; }
