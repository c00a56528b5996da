#include "offline/windows_volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>
#include <utility>

#include "posix/utf8_console.h"
#include "registry/registry_text.h"

namespace {

// Where Windows keeps the machine hives, below the root of its volume.
constexpr const wchar_t* kWindowsFolders[] = {L"Windows", L"WINNT"};
constexpr wchar_t kConfigFolder[] = L"System32\\config";
constexpr wchar_t kSoftwareMount[] = L"\\Registry\\Machine\\Software";
constexpr wchar_t kSystemMount[] = L"\\Registry\\Machine\\System";
constexpr wchar_t kCurrentVersion[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr wchar_t kProfileList[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
// The file that holds a user's SOFTWARE\Classes, below the profile folder.
constexpr wchar_t kClassesSinceVista[] = L"AppData\\Local\\Microsoft\\Windows\\UsrClass.dat";
constexpr wchar_t kClassesBeforeVista[] =
    L"Local Settings\\Application Data\\Microsoft\\Windows\\UsrClass.dat";
// The rest of a user's registry, in the profile folder itself.
constexpr wchar_t kUserHive[] = L"NTUSER.DAT";

std::vector<std::wstring> Components(const std::wstring& path) {
  std::vector<std::wstring> components;
  std::wstring current;
  for (wchar_t c : path + L"\\") {
    if (c != L'\\' && c != L'/') {
      current += c;
    } else if (!current.empty()) {
      components.push_back(current);
      current.clear();
    }
  }
  return components;
}

// A component as Windows takes it: its trailing dots and spaces dropped.
std::wstring Trimmed(const std::wstring& component) {
  const std::size_t end = component.find_last_not_of(L". ");
  return end == std::wstring::npos ? std::wstring() : component.substr(0, end + 1);
}

// Whether `wanted` may be a short (8.3) name: Windows makes those with a tilde.
bool MayBeShortName(const std::wstring& wanted) {
  return wanted.find(L'~') != std::wstring::npos && wanted.size() <= 12;
}

// The short (8.3) name of the entry `name` of the open folder `folder`, as
// ntfs-3g shows it; false with the errno when it cannot be read (ENODATA:
// the entry has none).
bool ShortName(int folder, const std::string& name, std::wstring& shortName) {
  char value[64] = {};
  const std::string path = "/proc/self/fd/" + std::to_string(folder) + "/" + name;
  const ssize_t size = lgetxattr(path.c_str(), "system.ntfs_dos_name", value, sizeof value - 1);
  if (size < 0) return false;
  shortName = DecodeUtf8(std::string(value, static_cast<std::size_t>(size)));
  return true;
}

// `text` with each %NAME% of `variables` (pairs of name and value) replaced,
// names compared without regard to case.
std::wstring Expand(std::wstring text, const std::vector<std::pair<std::wstring, std::wstring>>& variables) {
  for (const auto& [name, value] : variables) {
    const std::wstring folded = FoldName(name);
    for (std::size_t at = FoldName(text).find(folded); at != std::wstring::npos;
         at = FoldName(text).find(folded, at + value.size())) {
      text.replace(at, name.size(), value);
    }
  }
  return text;
}

bool ReadValue(RegistryAccess& registry, const std::wstring& path, const std::wstring& name,
               ValueType& type, std::vector<std::uint8_t>& data) {
  RegistryKey key(registry);
  std::uint32_t size = 0;
  if (key.Open(RegistryAccess::RootKey(RegistryRoot::HKLM), path, kOptionNonVolatile, kKeyRead) !=
          kRegistrySuccess ||
      registry.QueryValue(key.get(), name, type, nullptr, size) != kRegistrySuccess) {
    return false;
  }
  data.resize(size);
  return registry.QueryValue(key.get(), name, type, data.data(), size) == kRegistrySuccess;
}

}  // namespace

bool ReadRegistryText(RegistryAccess& registry, const std::wstring& path, const std::wstring& name,
                      std::wstring& text) {
  ValueType type = ValueType::RegNone;
  std::vector<std::uint8_t> data;
  if (!ReadValue(registry, path, name, type, data) ||
      (type != ValueType::RegSz && type != ValueType::RegExpandSz)) {
    return false;
  }
  text = FromUtf16(Utf16UpToNul(data.data(), data.size()));
  return true;
}

bool ReadRegistryNumber(RegistryAccess& registry, const std::wstring& path, const std::wstring& name,
                        std::uint32_t& number) {
  ValueType type = ValueType::RegNone;
  std::vector<std::uint8_t> data;
  if (!ReadValue(registry, path, name, type, data) || type != ValueType::RegDword || data.size() != 4) {
    return false;
  }
  number = static_cast<std::uint32_t>(data[0] | data[1] << 8 | data[2] << 16) |
           static_cast<std::uint32_t>(data[3]) << 24;
  return true;
}

WindowsVolume::Reach WindowsVolume::Walk(const std::wstring& relative, FileDescriptor& folder,
                                         std::string& name, std::string& path, std::string& why,
                                         std::size_t& reached) {
  const std::vector<std::wstring> components = Components(relative);
  FileDescriptor at(fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
  path = rootPath_;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (Trimmed(components[i]).empty()) {
      why = "its path holds the folder name \"" + EncodeUtf8(components[i]) + "\", which is not followed";
      return Reach::Refused;
    }
    // The folder is read through a descriptor of its own, which keeps `at` as it is.
    const int listing = at.get() < 0 ? -1 : openat(at.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = listing < 0 ? nullptr : fdopendir(listing);
    if (entries == nullptr) {
      why = path + " cannot be read (" + std::strerror(errno) + ")";
      if (listing >= 0) close(listing);
      return Reach::Refused;
    }
    // Every entry is read: two that Windows does not tell apart leave no
    // answer. Failing a long name, a short one matches.
    const std::wstring wanted = FoldName(Trimmed(components[i]));
    std::string found;
    std::string twin;
    std::vector<std::string> names;
    while (const dirent* entry = readdir(entries)) {
      names.emplace_back(entry->d_name);
      if (FoldName(DecodeUtf8(entry->d_name)) != wanted) continue;
      (found.empty() ? found : twin) = entry->d_name;
    }
    closedir(entries);
    for (std::size_t n = 0; found.empty() && MayBeShortName(wanted) && n < names.size(); ++n) {
      std::wstring shortName;
      if (names[n] == "." || names[n] == "..") continue;
      if (!ShortName(at.get(), names[n], shortName) && errno != ENODATA) {
        why = path + "/" + EncodeUtf8(components[i]) + " may name a folder by its short name, which cannot be read here (" +
              std::strerror(errno) + ")";
        return Reach::Refused;
      }
      if (FoldName(shortName) == wanted) found = names[n];
    }
    if (!twin.empty()) {
      why = path + " holds both " + found + " and " + twin + ", which Windows does not tell apart";
      return Reach::Refused;
    }
    if (found.empty()) return reached = i, Reach::Missing;
    path += "/" + found;
    const bool last = i + 1 == components.size();
    struct stat status {};
    if (fstatat(at.get(), found.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      why = path + " cannot be read (" + std::strerror(errno) + ")";
    } else if (S_ISLNK(status.st_mode)) {
      why = path + " is a link, which is not followed";
    } else if (status.st_dev != device_) {
      why = path + " is on another file system than the Windows volume";
    } else if (last ? !S_ISREG(status.st_mode) : !S_ISDIR(status.st_mode)) {
      why = path + (last ? " is not a regular file" : " is not a folder");
    } else if (last) {
      name = found;
      folder = std::move(at);
      return Reach::Found;
    } else {
      at = FileDescriptor(openat(at.get(), found.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      continue;
    }
    return Reach::Refused;
  }
  why = path + " is not a file";
  return Reach::Refused;
}

WindowsVolume::Reach WindowsVolume::OpenHive(const std::wstring& relative, bool writable,
                                             std::unique_ptr<HiveFile>& hive, std::string& problem,
                                             std::size_t& reached) {
  FileDescriptor folder;
  std::string name;
  std::string path;
  const Reach reach = Walk(relative, folder, name, path, problem, reached);
  hive.reset();
  if (reach != Reach::Found) return reach;
  hive = HiveFile::Open(folder.get(), name, path, writable, problem);
  if (!hive) problem = "The registry file " + path + " " + problem + ". Nothing was changed.";
  return reach;
}

bool WindowsVolume::OpenMachineHives(const std::string& root, std::string& problem) {
  rootPath_ = root;
  root_ = FileDescriptor(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat status {};
  const bool opened = root_.get() >= 0 && fstat(root_.get(), &status) == 0;
  device_ = status.st_dev;
  for (std::size_t i = 0; opened && i < std::size(kWindowsFolders); ++i) {
    const std::wstring config = std::wstring(kWindowsFolders[i]) + L"\\" + kConfigFolder + L"\\";
    std::size_t reached = 0;
    Reach reach = OpenHive(config + L"SOFTWARE", true, software_, problem, reached);
    if (software_) reach = OpenHive(config + L"SYSTEM", false, system_, problem, reached);
    if (system_) {
      MountMachine();
      return true;
    }
    if (reach == Reach::Refused) problem = "A registry file cannot be reached: " + problem + ". Nothing was changed.";
    if (reach != Reach::Missing) return false;
  }
  problem = "No Windows installation was found in " + root +
            ": there is no Windows\\System32\\config folder holding the SOFTWARE and SYSTEM "
            "registry files.";
  return false;
}

void WindowsVolume::MountMachine() {
  registry_.UnmountAll();
  registry_.Mount(kSoftwareMount, *software_);
  registry_.Mount(kSystemMount, *system_);
}

bool WindowsVolume::OpenProfiles(const SystemInfo& info, std::string& problem) {
  std::wstring systemRoot;
  if (!ReadRegistryText(registry_, kCurrentVersion, L"SystemRoot", systemRoot) || systemRoot.size() < 3 ||
      systemRoot[1] != L':') {
    systemRoot = L"C:\\Windows";
  }
  const std::wstring drive = systemRoot.substr(0, 2);
  const std::wstring classesFile = info.majorVersion >= 6 ? kClassesSinceVista : kClassesBeforeVista;
  std::set<std::pair<dev_t, ino_t>> seen;
  std::vector<std::wstring> sids;
  RegistryKey list(registry_);
  if (list.Open(RegistryAccess::RootKey(RegistryRoot::HKLM), kProfileList, kOptionNonVolatile,
                kKeyRead) == kRegistrySuccess) {
    std::wstring sid;
    for (std::uint32_t index = 0; registry_.EnumKey(list.get(), index, sid) == kRegistrySuccess; ++index) {
      sids.push_back(sid);
    }
  }
  for (const std::wstring& sid : sids) {
    std::wstring folder;
    if (!ReadRegistryText(registry_, std::wstring(kProfileList) + L"\\" + sid, L"ProfileImagePath", folder)) {
      continue;
    }
    folder = Expand(folder, {{L"%SystemDrive%", drive}, {L"%SystemRoot%", systemRoot}});
    Profile profile{sid, folder, nullptr, std::wstring(), nullptr, std::wstring()};
    std::wstring local = folder;
    std::replace(local.begin(), local.end(), L'/', L'\\');  // Windows takes either
    std::string why;
    std::size_t reached = 0;
    // Only a profile on this volume, the one Windows runs from, can be reached.
    const Reach reach = local.size() < 3 || FoldName(local.substr(0, 3)) != FoldName(drive + L"\\")
                            ? Reach::Refused
                            : OpenHive(local.substr(3) + L"\\" + classesFile, true, profile.classes, why, reached);
    // A user who never logged on has a folder without a classes hive.
    if (reach == Reach::Missing && reached >= Components(local.substr(3)).size()) continue;
    if (reach == Reach::Missing) why = "its folder was not found on the Windows volume";
    if (reach == Reach::Found && !profile.classes) {
      problem = why;
      return false;
    }
    if (reach != Reach::Found) {
      profile.problem = why.empty() ? L"its folder is not on the Windows volume, " + drive : DecodeUtf8(why);
    } else if (!seen.insert(profile.classes->Identity()).second) {
      continue;  // the same file as an earlier profile's
    } else if (!profile.classes->Failure().empty()) {
      // A hive whose keys cannot all be read is not taken for one without them.
      profile.problem = DecodeUtf8(profile.classes->Path() + ": " + profile.classes->Failure());
      profile.classes.reset();
    } else if (!OpenUserHive(local.substr(3), profile, seen, problem)) {
      return false;
    }
    profiles_.push_back(std::move(profile));
  }
  return true;
}

bool WindowsVolume::OpenUserHive(const std::wstring& folder, Profile& profile,
                                 std::set<std::pair<dev_t, ino_t>>& seen, std::string& problem) {
  std::string why;
  std::size_t reached = 0;
  const Reach reach = OpenHive(folder + L"\\" + kUserHive, true, profile.user, why, reached);
  if (reach == Reach::Found && !profile.user) {
    problem = why;
    return false;
  }
  if (reach == Reach::Refused) profile.userProblem = DecodeUtf8(why);
  if (profile.user && !profile.user->Failure().empty()) {
    profile.userProblem = DecodeUtf8(profile.user->Path() + ": " + profile.user->Failure());
    profile.user.reset();
  }
  // A user hive that is another profile's (or this one's classes) is not repaired twice.
  if (profile.user && !seen.insert(profile.user->Identity()).second) profile.user.reset();
  return true;
}

void WindowsVolume::MountProfile(const Profile& profile) {
  MountMachine();
  registry_.SetCurrentUser(profile.sid);
  if (profile.user) registry_.Mount(L"\\Registry\\User\\" + profile.sid, *profile.user);
  // A user's SOFTWARE\Classes is the same hive that Windows also loads as
  // \Registry\User\<sid>_Classes, where links inside it may point.
  registry_.Mount(L"\\Registry\\User\\" + profile.sid + L"\\Software\\Classes", *profile.classes);
  registry_.Mount(L"\\Registry\\User\\" + profile.sid + L"_Classes", *profile.classes);
}

std::vector<HiveFile*> WindowsVolume::WritableHives() {
  std::vector<HiveFile*> hives{software_.get()};
  for (Profile& profile : profiles_) {
    if (profile.classes) hives.push_back(profile.classes.get());
    if (profile.user) hives.push_back(profile.user.get());
  }
  return hives;
}
