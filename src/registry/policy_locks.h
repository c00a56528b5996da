#pragma once
#include <cstdint>
#include <ostream>

#include "registry/registry_access.h"

// Removes, below root\Software, the policies that stop programs from
// starting: Explorer's DisallowRun and RestrictRun with the lists of program
// names beside them, DisableTaskMgr, DisableRegistryTools and DisableCMD.
// Every other policy value stays. Each value found gets a line with its data
// and one for its deletion; nothing is written when none is there. On a
// machine to which a domain's Group Policy was applied (HKLM's Group Policy
// state names the machine in the domain) the line of a deletion adds that
// Group Policy may set it again. Returns how many of them stay.
std::uint32_t RemovePolicyLocks(RegistryAccess& registry, std::wostream& runLog, RegistryRoot root);
