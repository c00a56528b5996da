#pragma once
#include <string>
#include <vector>

#include "driver/environment.h"
#include "host/system_info.h"

// What the watched folders ask the platform about folders.
class ShortPaths {
 public:
  virtual ~ShortPaths() = default;
  // GetShortPathNameW with a 260-character buffer: the short form, or the
  // path itself when the call fails or the short form does not fit.
  virtual std::wstring ShortPathOf(const std::wstring& path) = 0;
  // The folder's real path, as the image path of a process started in it
  // reads (no junction, no substituted drive on the way); the path itself
  // when that cannot be had.
  virtual std::wstring RealPathOf(const std::wstring& path) { return path; }
  // The system's Windows folder (GetSystemWindowsDirectoryW); empty when it
  // cannot be had.
  virtual std::wstring WindowsFolder() = 0;
  // The folders of installed programs as Windows names them (the
  // ProgramFilesDir and "ProgramFilesDir (x86)" values of
  // HKLM\Software\Microsoft\Windows\CurrentVersion); one that cannot be
  // read is left out.
  virtual std::vector<std::wstring> ProgramFolders() = 0;
};

// Reads the six watched folders into `info`. Returns false when a variable was
// missing: the fatal stop has then been made and the run ends with exit code 1.
// A folder that holds the system (FolderHoldsSystem) or installed programs
// (FolderHoldsPrograms), in its long, short or real form against theirs, is
// not used: its entries are left empty, which match no path.
bool CollectWatchedFolders(SystemInfo& info, const EnvironmentLookup& lookup, ShortPaths& paths);

// Sets the signed-in user's profile and temporary folders into `info`, in the
// same three forms, refused as the run's own are; an empty one is not watched.
void CollectSignedInFolders(SystemInfo& info, const std::wstring& profile, const std::wstring& temp,
                            ShortPaths& paths);
