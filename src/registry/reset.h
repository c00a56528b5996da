#pragma once
// The association resets, one per Windows family. Each returns how many of
// its writes and deletions failed; each failure has its line in the run log.

#include <cstdint>
#include <ostream>

#include "host/system_info.h"
#include "registry/debugger_locks.h"
#include "registry/registry_access.h"

std::uint32_t ResetXpFamily(RegistryAccess& registry, const SystemInfo& info, std::wostream& runLog);
std::uint32_t ResetVistaFamily(RegistryAccess& registry, std::wostream& runLog);
std::uint32_t ResetWin7Win8Family(RegistryAccess& registry, std::wostream& runLog);
std::uint32_t AddPinToStartVerb(RegistryAccess& registry, std::wostream& runLog);
// Windows 8.1 and later pin to Start through a context-menu handler of
// exefile, in place of Windows 8's verb.
std::uint32_t AddPinToStartHandler(RegistryAccess& registry, std::wostream& runLog);
// Deletes exefile's pintostartscreen verb when it holds exactly what Windows
// 8's verb is written as (an older run that took 8.1 or 10 for Windows 8
// left it there, a second Pin to Start entry that does nothing); a verb
// holding anything else stays.
std::uint32_t RemoveWindows8PinVerb(RegistryAccess& registry, std::wostream& runLog);

// Runs the reset of the host's family, chosen from its version numbers: 5.x
// the XP routine, 6.0 Vista's, 6.1 Windows 7's, 6.2 Windows 7's followed by
// the pin-to-start verb, 6.3 and 10.0 Windows 7's followed by the
// pin-to-start handler and the removal of Windows 8's verb; any other
// version, nothing. After a family's reset, what it does not write at the
// keys of the verbs that start programs goes (RemoveVerbLocks), then the policies that stop programs
// from starting go, the machine's and then the current user's, and then the
// debuggers of Image File Execution Options (`files` tells which programs
// are installed). Returns how many writes and deletions failed.
std::uint32_t RunFamilyReset(RegistryAccess& registry, const SystemInfo& info, std::wostream& runLog,
                             SystemFiles& files);
