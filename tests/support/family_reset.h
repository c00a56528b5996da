#pragma once
// The Windows families whose associations Morvane resets, and what a run
// does for each: the family's reset and, on Windows 8, the pin-to-start verb
// after it.

#include <cstdint>
#include <ostream>

#include "registry/registry_access.h"

namespace reset_test {

enum class Family : std::uint8_t { kXpMinor1, kXpMinor2, kVista, kWin7, kWin8 };

void RunFamilyReset(RegistryAccess& registry, Family family, std::wostream& runLog);

}  // namespace reset_test
