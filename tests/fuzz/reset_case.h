#pragma once
// One fuzz input: its bytes choose a Windows family (numbered as for
// ResetAsFamily) and damage done to an in-memory registry from
// tests/fuzz/damage.txt (values of wrong types and sizes, links, per-user
// overrides naming odd classes, registry calls that fail); the family's reset
// then runs twice over it.
// What must hold whatever the damage, with no copy of what the resets write:
// - nothing changes outside the keys of the three extensions and their
//   classes under HKLM\Software\Classes, and per-user keys only go, each the
//   override of an extension or the class one names, reached without a link;
// - no key is left open, and each report line is flushed on its own;
// - the undo text of each run, applied to the registry after it, brings back
//   the registry before it but for the links the run deleted; with no call
//   made to fail, there is undo text exactly when the run changed something;
// - a second run changes nothing, and reports nothing machine-wide unless
//   registry calls were made to fail.

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "registry/registry_access.h"

// The broken rules, empty when every one held.
std::vector<std::string> CheckResetCase(const std::uint8_t* data, std::size_t size);

// What a run does to the registry for a family: 0 Windows XP, 1 Server 2003,
// 2 Vista, 3 Windows 7, 4 Windows 8, 5 Windows 8.1 (whose reset 10.0 shares).
void ResetAsFamily(RegistryAccess& registry, std::uint32_t family, std::wostream& log);
