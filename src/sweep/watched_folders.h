#pragma once
#include <string>

#include "driver/environment.h"
#include "host/system_info.h"

class ShortPaths {
 public:
  virtual ~ShortPaths() = default;
  // GetShortPathNameW with a 260-character buffer: the short form, or the
  // path itself when the call fails or the short form does not fit.
  virtual std::wstring ShortPathOf(const std::wstring& path) = 0;
};

// Reads the six watched folders into `info`. Returns false when a variable was
// missing: the fatal stop has then been made and the run ends with exit code 1.
bool CollectWatchedFolders(SystemInfo& info, const EnvironmentLookup& lookup, ShortPaths& paths);
