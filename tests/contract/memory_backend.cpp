#include "contract_backend.h"
#include "support/memory_registry.h"

std::unique_ptr<RegistryAccess> MakeContractRegistry() { return std::make_unique<MemoryRegistry>(); }

long OpenContractKeys(RegistryAccess& registry) {
  return static_cast<long>(static_cast<MemoryRegistry&>(registry).OpenKeys());
}
