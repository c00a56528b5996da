#include "offline/windows_volume.h"

#include <dirent.h>

#include <set>

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

std::string FindOnVolume(const std::string& root, const std::wstring& relative) {
  std::string path = root;
  for (const std::wstring& component : Components(relative)) {
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) return std::string();
    const std::wstring wanted = FoldName(component);
    std::string found;
    while (const dirent* entry = readdir(folder)) {
      if (FoldName(DecodeUtf8(entry->d_name)) == wanted) {
        found = entry->d_name;
        break;
      }
    }
    closedir(folder);
    if (found.empty()) return std::string();
    path += "/" + found;
  }
  return path;
}

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

std::unique_ptr<HiveFile> WindowsVolume::OpenHive(const std::string& path, bool writable,
                                                  std::string& problem) {
  std::unique_ptr<HiveFile> hive = HiveFile::Open(path, writable, problem);
  if (!hive) problem = "The registry file " + path + " " + problem + ". Nothing was changed.";
  return hive;
}

bool WindowsVolume::OpenMachineHives(const std::string& root, std::string& problem) {
  root_ = root;
  std::string software;
  std::string system;
  for (const wchar_t* windows : kWindowsFolders) {
    const std::wstring config = std::wstring(windows) + L"\\" + kConfigFolder + L"\\";
    software = FindOnVolume(root, config + L"SOFTWARE");
    system = FindOnVolume(root, config + L"SYSTEM");
    if (!software.empty() && !system.empty()) break;
  }
  if (software.empty() || system.empty()) {
    problem = "No Windows installation was found in " + root +
              ": there is no Windows\\System32\\config folder holding the SOFTWARE and SYSTEM "
              "registry files.";
    return false;
  }
  software_ = OpenHive(software, true, problem);
  if (software_) system_ = OpenHive(system, false, problem);
  if (!system_) return false;
  MountMachine();
  return true;
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
  std::set<std::string> seen;
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
    // Only a profile on this volume, the one Windows runs from, can be reached.
    if (folder.size() < 3 || FoldName(folder.substr(0, 3)) != FoldName(drive + L"\\")) continue;
    const std::string path = FindOnVolume(root_, folder.substr(3) + L"\\" + classesFile);
    if (path.empty() || !seen.insert(path).second) continue;
    std::unique_ptr<HiveFile> classes = OpenHive(path, true, problem);
    if (!classes) return false;
    profiles_.push_back(Profile{sid, folder, std::move(classes)});
  }
  return true;
}

void WindowsVolume::MountProfile(const Profile& profile) {
  MountMachine();
  registry_.SetCurrentUser(profile.sid);
  // A user's SOFTWARE\Classes is the same hive that Windows also loads as
  // \Registry\User\<sid>_Classes, where links inside it may point.
  registry_.Mount(L"\\Registry\\User\\" + profile.sid + L"\\Software\\Classes", *profile.classes);
  registry_.Mount(L"\\Registry\\User\\" + profile.sid + L"_Classes", *profile.classes);
}

std::vector<HiveFile*> WindowsVolume::WritableHives() {
  std::vector<HiveFile*> hives{software_.get()};
  for (Profile& profile : profiles_) hives.push_back(profile.classes.get());
  return hives;
}
