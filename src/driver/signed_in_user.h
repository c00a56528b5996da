#pragma once
// The user signed in to the run's session, when that is another account than
// the run's own: an administrator elevated over the shoulder of a standard
// user, or SYSTEM. That user's folders are swept and that user's per-user
// overrides and locks removed, as the run's own account's are.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "driver/environment.h"
#include "driver/services.h"
#include "host/system_info.h"
#include "registry/registry_access.h"
#include "registry/registry_view.h"
#include "registry/undo_registry.h"
#include "sweep/watched_folders.h"

// `text` with %USERPROFILE% as `profile` and the machine's own variables
// (%SystemRoot%, %SystemDrive%, ...) from `environment`; nothing when it names
// another variable (another user's %APPDATA% is not the run's), when
// %USERPROFILE% is asked for without a profile, or when a variable is unset.
std::optional<std::wstring> ExpandForUser(const std::wstring& text, const std::wstring& profile,
                                          Environment& environment);

// Sets `info.signedInSid` and that user's watched folders when the owner of
// the session's explorer.exe is another account than the run's: the profile
// folder from HKLM\...\ProfileList\<sid>\ProfileImagePath, read through
// `machine`; the temporary folder from that user's Environment key, TEMP or
// else TMP. Nothing is set when there is no such user or it is the run's own
// account.
void FindSignedInUser(SessionUsers& users, RegistryAccess& machine, Environment& environment, ShortPaths& paths,
                      SystemInfo& info);

// Removes the signed-in user's per-user overrides and locks, as the run's
// own are removed through HKCU, with `view` set to that user's registry and
// `undo` naming its keys HKEY_USERS\<sid>\... and HKEY_USERS\<sid>_Classes\...;
// a heading names whose they are. Returns how many of the deletions failed,
// a hive that is not loaded counted as one.
std::uint32_t RepairSignedInUser(SessionUsers& users, RegistryView& view, UndoRegistry& undo, const SystemInfo& info,
                                 std::wostream& runLog);
