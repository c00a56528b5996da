#include "sweep/watched_folders.h"

#include <optional>
#include <utility>

namespace {

// The watched folders in the order they are read and tested: each variable's
// value, then its short form.
struct WatchedFolderSource {
  const wchar_t* variable;
  std::wstring SystemInfo::*longForm;
  std::wstring SystemInfo::*shortForm;
};

constexpr WatchedFolderSource kWatchedFolderSources[] = {
    {L"allusersprofile", &SystemInfo::allUsersProfile, &SystemInfo::allUsersProfileShort},
    {L"userprofile", &SystemInfo::userProfile, &SystemInfo::userProfileShort},
    {L"temp", &SystemInfo::tempFolder, &SystemInfo::tempFolderShort},
};

}  // namespace

bool CollectWatchedFolders(SystemInfo& info, const EnvironmentLookup& lookup, ShortPaths& paths) {
  for (const WatchedFolderSource& source : kWatchedFolderSources) {
    // Read here even when the driver has read the variable before: the values
    // are those of this point of the run.
    std::optional<std::wstring> value = ReadEnvironmentVariable(lookup, source.variable);
    if (!value) return false;
    info.*source.longForm = std::move(*value);
    info.*source.shortForm = paths.ShortPathOf(info.*source.longForm);
  }
  return true;
}
