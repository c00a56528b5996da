#pragma once
// morvane-offline --apply-undo: the undo file of a run applied from Linux to
// the registry files of the Windows volume the run repaired, with the repair's
// own hive machinery (which takes a key out of a list of any kind), so that
// keys and values come back as `reg import` would bring them back on that
// Windows. Each key of the file goes to the registry file that holds it:
//   HKEY_LOCAL_MACHINE\SOFTWARE\...   Windows\System32\config\SOFTWARE
//   HKEY_USERS\<SID>_Classes\...      that profile's classes hive
//   HKEY_USERS\<SID>\...              that profile's NTUSER.DAT
// the profiles found through ProfileList as the repair finds them. The file
// is read whole and every record placed before anything is changed; a line
// that is not read, or a key that lies nowhere here, stops it there.

#include <string>

#include "offline/offline_run.h"

struct UndoOptions {
  std::string windowsRoot;  // the mounted volume that holds the Windows folder
  std::string undoFile;     // the file to apply; empty: the one a run left in the volume's Morvane folder
  bool yes = false;         // the confirmation answered in advance
  bool dryRun = false;      // show what would be changed, and write nothing
};

// Exit codes as the run's: 0 applied (or nothing to change, or a dry run
// shown), 1 stopped before changing anything, 2 some registry file could
// not be written.
int RunUndoFile(const UndoOptions& options, OfflineServices& services);
