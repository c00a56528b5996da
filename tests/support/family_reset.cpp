#include "family_reset.h"

#include "host/system_info.h"
#include "registry/reset.h"

namespace reset_test {

void RunFamilyReset(RegistryAccess& registry, Family family, std::wostream& runLog) {
  SystemInfo info;
  switch (family) {
    case Family::kXpMinor1:
    case Family::kXpMinor2:
      info.majorVersion = 5;
      info.minorVersion = family == Family::kXpMinor1 ? 1 : 2;
      ResetXpFamily(registry, info, runLog);
      break;
    case Family::kVista:
      ResetVistaFamily(registry, runLog);
      break;
    case Family::kWin7:
      ResetWin7Win8Family(registry, runLog);
      break;
    case Family::kWin8:
      ResetWin7Win8Family(registry, runLog);
      AddPinToStartVerb(registry, runLog);
      break;
  }
}

}  // namespace reset_test
