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

// The signed-in user's folders, when that user is another account.
constexpr WatchedFolderSource kSignedInProfile{nullptr, &SystemInfo::signedInProfile,
                                               &SystemInfo::signedInProfileShort, &SystemInfo::signedInProfileReal};
constexpr WatchedFolderSource kSignedInTemp{nullptr, &SystemInfo::signedInTemp, &SystemInfo::signedInTempShort,
                                            &SystemInfo::signedInTempReal};

// The folders a watched folder must not hold: the system's and those of
// installed programs, each in its long and short form.
class RefusedFolders {
 public:
  explicit RefusedFolders(ShortPaths& paths) : windows_(paths.WindowsFolder()) {
    windowsShort_ = windows_.empty() ? windows_ : paths.ShortPathOf(windows_);
    for (std::wstring& programs : paths.ProgramFolders()) {
      if (programs.empty()) continue;
      programs_.push_back(paths.ShortPathOf(programs));
      programs_.push_back(std::move(programs));
    }
  }
  bool Refused(const std::wstring& folder) const {
    if (FolderHoldsSystem(folder, windows_) || FolderHoldsSystem(folder, windowsShort_)) return true;
    for (const std::wstring& programs : programs_) {
      if (FolderHoldsPrograms(folder, programs)) return true;
    }
    return false;
  }
  // Sets the three forms of `folder`, or leaves them empty when one of them is refused.
  void Watch(SystemInfo& info, const WatchedFolderSource& source, std::wstring folder, ShortPaths& paths) const {
    info.*source.longForm = std::move(folder);
    info.*source.shortForm = paths.ShortPathOf(info.*source.longForm);
    info.*source.realForm = paths.RealPathOf(info.*source.longForm);
    if (Refused(info.*source.longForm) || Refused(info.*source.shortForm) || Refused(info.*source.realForm)) {
      (info.*source.longForm).clear();
      (info.*source.shortForm).clear();
      (info.*source.realForm).clear();
    }
  }

 private:
  std::wstring windows_, windowsShort_;
  std::vector<std::wstring> programs_;
};

}  // namespace

bool CollectWatchedFolders(SystemInfo& info, const EnvironmentLookup& lookup, ShortPaths& paths) {
  // The variables are the user's to set, without administrator rights: one
  // that names the system's own folders, or those of installed programs (an
  // antivirus among them), would have the elevated sweep terminate the
  // processes the machine runs on or is defended by.
  const RefusedFolders refused(paths);
  for (const WatchedFolderSource& source : kWatchedFolderSources) {
    // Read here even when the driver has read the variable before: the values
    // are those of this point of the run.
    std::optional<std::wstring> value = ReadEnvironmentVariable(lookup, source.variable);
    if (!value) return false;
    refused.Watch(info, source, std::move(*value), paths);
  }
  return true;
}

void CollectSignedInFolders(SystemInfo& info, const std::wstring& profile, const std::wstring& temp,
                            ShortPaths& paths) {
  // That user may set its own temporary folder as it likes: refused alike.
  const RefusedFolders refused(paths);
  if (!profile.empty()) refused.Watch(info, kSignedInProfile, profile, paths);
  if (!temp.empty()) refused.Watch(info, kSignedInTemp, temp, paths);
}
