#pragma once
#include <string>

#include "driver/environment.h"
#include "host/system_info.h"

// What the watched folders ask the platform about folders.
class ShortPaths {
 public:
  virtual ~ShortPaths() = default;
  // GetShortPathNameW with a 260-character buffer: the short form, or the
  // path itself when the call fails or the short form does not fit.
  virtual std::wstring ShortPathOf(const std::wstring& path) = 0;
  // The system's Windows folder (GetSystemWindowsDirectoryW); empty when it
  // cannot be had.
  virtual std::wstring WindowsFolder() = 0;
};

// Reads the six watched folders into `info`. Returns false when a variable was
// missing: the fatal stop has then been made and the run ends with exit code 1.
// A folder that holds the system (FolderHoldsSystem, in its long or short form)
// is not used: both its entries are left empty, which match no path.
bool CollectWatchedFolders(SystemInfo& info, const EnvironmentLookup& lookup, ShortPaths& paths);
