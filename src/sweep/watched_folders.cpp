#include "sweep/watched_folders.h"

#include <optional>
#include <utility>
#include <vector>

#include "sweep/folder_match.h"

namespace {

// The watched folders in the order they are read and tested: each variable's
// value, then its short form; the real forms (a profile reached through a
// junction, a folder on a substituted drive) after all of them.
struct WatchedFolderSource {
  const wchar_t* variable;
  std::wstring SystemInfo::*longForm;
  std::wstring SystemInfo::*shortForm;
  std::wstring SystemInfo::*realForm;
};

constexpr WatchedFolderSource kWatchedFolderSources[] = {
    {L"allusersprofile", &SystemInfo::allUsersProfile, &SystemInfo::allUsersProfileShort,
     &SystemInfo::allUsersProfileReal},
    {L"userprofile", &SystemInfo::userProfile, &SystemInfo::userProfileShort, &SystemInfo::userProfileReal},
    {L"temp", &SystemInfo::tempFolder, &SystemInfo::tempFolderShort, &SystemInfo::tempFolderReal},
};

}  // namespace

bool CollectWatchedFolders(SystemInfo& info, const EnvironmentLookup& lookup, ShortPaths& paths) {
  // The variables are the user's to set, without administrator rights: one
  // that names the system's own folders, or those of installed programs (an
  // antivirus among them), would have the elevated sweep terminate the
  // processes the machine runs on or is defended by.
  const std::wstring windowsFolder = paths.WindowsFolder();
  const std::wstring windowsFolderShort = windowsFolder.empty() ? windowsFolder : paths.ShortPathOf(windowsFolder);
  std::vector<std::wstring> programFolders;
  for (std::wstring& programs : paths.ProgramFolders()) {
    if (programs.empty()) continue;
    programFolders.push_back(paths.ShortPathOf(programs));
    programFolders.push_back(std::move(programs));
  }
  const auto refused = [&](const std::wstring& folder) {
    if (FolderHoldsSystem(folder, windowsFolder) || FolderHoldsSystem(folder, windowsFolderShort)) return true;
    for (const std::wstring& programs : programFolders) {
      if (FolderHoldsPrograms(folder, programs)) return true;
    }
    return false;
  };
  for (const WatchedFolderSource& source : kWatchedFolderSources) {
    // Read here even when the driver has read the variable before: the values
    // are those of this point of the run.
    std::optional<std::wstring> value = ReadEnvironmentVariable(lookup, source.variable);
    if (!value) return false;
    info.*source.longForm = std::move(*value);
    info.*source.shortForm = paths.ShortPathOf(info.*source.longForm);
    info.*source.realForm = paths.RealPathOf(info.*source.longForm);
    if (refused(info.*source.longForm) || refused(info.*source.shortForm) || refused(info.*source.realForm)) {
      (info.*source.longForm).clear();
      (info.*source.shortForm).clear();
      (info.*source.realForm).clear();
    }
  }
  return true;
}
