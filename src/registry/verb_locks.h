#pragma once
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>

#include "registry/registry_access.h"
#include "registry/reset_tables.h"

// Removes, below HKLM\<classes>'s exefile, batfile and comfile, what the
// family's `routines` (their steps for `minorVersion`) do not write at the
// keys through which a double-click or "Run as administrator" starts a
// program: at shell, shell\open, shell\open\command, shell\runas and
// shell\runas\command, every other value (DelegateExecute beside a command,
// the shell key's default value) and every other subkey (ddeexec,
// DropTarget). The verbs below shell stay, but for one that shell's default
// value named, which goes with it; a runas verb the family does not write is
// one of those. Each value found gets a line with its data and one for its
// deletion, each key one line; nothing is written when none is there.
// Returns how many of them stay.
std::uint32_t RemoveVerbLocks(RegistryAccess& registry, std::wostream& runLog, const std::wstring& classes,
                              std::initializer_list<const ResetRoutine*> routines, std::uint32_t minorVersion);
