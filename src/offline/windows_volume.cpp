#include "offline/windows_volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <set>
#include <utility>

#include "offline/image_terms.h"
#include "posix/utf8_console.h"
#include "registry/registry_text.h"

namespace {

// Where Windows keeps the machine hives, below the root of its volume.
constexpr const wchar_t* kWindowsFolders[] = {L"Windows", L"WINNT"};
constexpr wchar_t kConfigFolder[] = L"System32\\config";
constexpr wchar_t kSoftwareMount[] = L"\\Registry\\Machine\\Software";
constexpr wchar_t kSystemMount[] = L"\\Registry\\Machine\\System";
constexpr wchar_t kCurrentVersion[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
// Where the folders of installed programs are named.
constexpr wchar_t kWindowsCurrentVersion[] = L"Software\\Microsoft\\Windows\\CurrentVersion";
constexpr wchar_t kProfileList[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
// The file that holds a user's SOFTWARE\Classes, below the profile folder.
constexpr wchar_t kClassesSinceVista[] = L"AppData\\Local\\Microsoft\\Windows\\UsrClass.dat";
constexpr wchar_t kClassesBeforeVista[] =
    L"Local Settings\\Application Data\\Microsoft\\Windows\\UsrClass.dat";
// The rest of a user's registry, in the profile folder itself.
constexpr wchar_t kUserHive[] = L"NTUSER.DAT";

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

// Finds the entry of the open folder `at` whose name folds to `wanted`: its
// name as the volume spells it in `found`, empty when there is none. False
// when the folder cannot be read.
bool FindEntry(int at, const std::wstring& wanted, std::string& found, std::string* twin = nullptr,
               std::vector<std::string>* names = nullptr) {
  found.clear();
  // The folder is read through a descriptor of its own, which keeps `at` as it is.
  const int listing = at < 0 ? -1 : openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* entries = listing < 0 ? nullptr : fdopendir(listing);
  if (entries == nullptr) {
    const int error = errno;
    if (listing >= 0) close(listing);
    errno = error;
    return false;
  }
  // Asked for a second match (`twin`), every entry is read.
  while (const dirent* entry = readdir(entries)) {
    if (names != nullptr) names->emplace_back(entry->d_name);
    if (FoldName(DecodeUtf8(entry->d_name)) != wanted) continue;
    if (found.empty()) {
      found = entry->d_name;
    } else if (twin != nullptr) {
      *twin = entry->d_name;
    }
    if (twin == nullptr) break;
  }
  closedir(entries);
  return true;
}

// What a hibernation file begins with while it holds a saved session
// (hibernation, or a shutdown with fast startup), in any letter case.
constexpr const char* kSavedSessionMarks[] = {"HIBR", "WAKE", "RSTR"};
constexpr char kRecordFolder[] = "Morvane";
// What to do about a Windows whose hiberfil.sys holds a saved session (what
// comes next follows it), and what not to do.
constexpr char kResumeAdvice[] =
    "Start that Windows and shut it down fully (hold Shift while choosing Shut down, or run \"shutdown /s /t "
    "0\"), or turn fast startup off (Control Panel, Power Options, \"Choose what the power buttons do\")";
constexpr char kResumeWarning[] =
    "Removing the hibernation file instead (ntfs-3g's remove_hiberfile) throws the saved session away, with any "
    "unsaved work in it.";

// What to do about a profile's hive refused as `refusal`, to follow its problem.
std::string ProfileAdvice(HiveFile::Refusal refusal) {
  // Windows writes a user's hives out when that user logs off.
  return refusal == HiveFile::Refusal::kNotWrittenOut
             ? ". Log on to that Windows as this user and off again (or start it and shut it down fully), "
               "then run morvane-offline again"
             : "";
}

}  // namespace

std::vector<std::wstring> PathComponents(const std::wstring& path) {
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

std::wstring WindowsName(const std::wstring& component) {
  const std::size_t end = component.find_last_not_of(L". ");
  return end == std::wstring::npos ? std::wstring() : component.substr(0, end + 1);
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

WindowsVolume::Reach WindowsVolume::Walk(const std::wstring& relative, FileDescriptor& folder,
                                         std::string& name, std::string& path, std::string& why,
                                         std::size_t* reached) {
  const std::vector<std::wstring> components = PathComponents(relative);
  FileDescriptor at(fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
  path = rootPath_;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (reached != nullptr) *reached = i;
    if (WindowsName(components[i]).empty()) {
      why = "its path holds the folder name \"" + EncodeUtf8(components[i]) + "\", which is not followed";
      return Reach::Refused;
    }
    // Every entry is read: two that Windows does not tell apart leave no
    // answer. Failing a long name, a short one matches.
    const std::wstring wanted = FoldName(WindowsName(components[i]));
    std::string found;
    std::string twin;
    std::vector<std::string> names;
    if (!FindEntry(at.get(), wanted, found, &twin, &names)) {
      why = path + " cannot be read (" + std::strerror(errno) + ")";
      return Reach::Refused;
    }
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
    if (found.empty()) return Reach::Missing;
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
                                             HiveFile::Refusal& refusal, std::size_t& reached) {
  FileDescriptor folder;
  std::string name;
  std::string path;
  const Reach reach = Walk(relative, folder, name, path, problem, &reached);
  hive.reset();
  if (reach != Reach::Found) return reach;
  const HiveFile::Use use = !writable  ? HiveFile::Use::kRead
                            : tryOnly_ ? HiveFile::Use::kTry
                                       : HiveFile::Use::kChange;
  hive = HiveFile::Open(folder.get(), name, path, use, problem, refusal);
  if (!hive) problem = "The registry file " + path + " " + problem;
  return reach;
}

bool WindowsVolume::OpenMachineHives(const std::string& root, std::string& problem) {
  rootPath_ = root;
  root_ = FileDescriptor(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat status {};
  if (root_.get() < 0 || fstat(root_.get(), &status) != 0) {
    const int error = errno;
    if (stat(root.c_str(), &status) == 0 && (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))) {
      problem = root + " is not a folder: that is a disk image or device: use -a (morvane-offline -a " + root +
                "). Nothing was changed.";
      return false;
    }
    problem = root + " cannot be opened as a folder (" + std::strerror(error) +
              "). Give the folder where the Windows volume is mounted.";
    return false;
  }
  device_ = status.st_dev;
  for (const wchar_t* windows : kWindowsFolders) {
    const std::wstring config = std::wstring(windows) + L"\\" + kConfigFolder + L"\\";
    HiveFile::Refusal refusal = HiveFile::Refusal::kNone;
    std::size_t reached = 0;
    Reach reach = OpenHive(config + L"SOFTWARE", true, software_, problem, refusal, reached);
    if (software_) reach = OpenHive(config + L"SYSTEM", false, system_, problem, refusal, reached);
    if (system_) {
      MountMachine();
      return true;
    }
    if (refusal == HiveFile::Refusal::kNotWrittenOut) {
      problem += ". Start that Windows, shut it down fully, and try again";
    }
    if (refusal == HiveFile::Refusal::kNotWritable && ReadOnlyMount()) {
      problem = ReadOnlyProblem();
      return false;
    }
    if (reach == Reach::Refused) problem = "A registry file cannot be reached: " + problem;
    if (reach != Reach::Missing) {
      problem += ". Nothing was changed.";
      return false;
    }
  }
  problem = "No Windows installation was found in " + root +
            ": there is no Windows\\System32\\config folder holding the SOFTWARE and SYSTEM "
            "registry files.";
  FileDescriptor folder;
  std::string name;
  std::string path;
  std::string why;
  if (Walk(std::wstring(kConfigFolder) + L"\\SOFTWARE", folder, name, path, why) == Reach::Found) {
    problem += " " + root + " looks like the Windows folder itself: give the folder that holds it, the "
               "root of the volume (" + root + "/..).";
  }
  std::vector<std::string> names;
  if (FindEntry(root_.get(), L"", name, nullptr, &names) && names.size() <= 2) {
    problem = root + " is empty: is the volume mounted? Mount the Windows volume there (sudo mount -t ntfs-3g "
              "DEVICE " + root + "), then try again. Nothing was changed.";
  }
  return false;
}

std::wstring WindowsVolume::SystemRoot() {
  std::wstring systemRoot;
  if (!ReadRegistryText(registry_, kCurrentVersion, L"SystemRoot", systemRoot) || systemRoot.size() < 3 ||
      systemRoot[1] != L':') {
    systemRoot = L"C:\\Windows";
  }
  return systemRoot;
}

std::wstring WindowsVolume::Drive() { return SystemRoot().substr(0, 2); }

std::wstring WindowsVolume::Expand(const std::wstring& text) {
  if (text.find(L'%') == std::wstring::npos) return text;
  const std::wstring systemRoot = SystemRoot();
  std::vector<std::pair<std::wstring, std::wstring>> variables = {
      {L"%SystemRoot%", systemRoot}, {L"%windir%", systemRoot}, {L"%SystemDrive%", systemRoot.substr(0, 2)}};
  std::wstring programs, programs32;
  if (ReadRegistryText(registry_, kWindowsCurrentVersion, L"ProgramFilesDir", programs) && !programs.empty()) {
    variables.insert(variables.end(), {{L"%ProgramFiles%", programs}, {L"%ProgramW6432%", programs}});
  }
  if (ReadRegistryText(registry_, kWindowsCurrentVersion, L"ProgramFilesDir (x86)", programs32) &&
      !programs32.empty()) {
    variables.push_back({L"%ProgramFiles(x86)%", programs32});
  }
  return ::Expand(text, variables);
}

bool WindowsVolume::IsFile(const std::wstring& path) {
  const std::wstring drive = Drive() + L"\\";
  if (path.size() <= drive.size() || FoldName(path.substr(0, drive.size())) != FoldName(drive)) return false;
  FileDescriptor folder;
  std::string name;
  std::string found;
  std::string why;
  return Walk(path.substr(drive.size()), folder, name, found, why) == Reach::Found;
}

bool WindowsVolume::SavedSession(std::string& path) {
  FileDescriptor folder;
  std::string name;
  std::string why;
  if (Walk(L"hiberfil.sys", folder, name, path, why) != Reach::Found) return false;
  const FileDescriptor file(openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  char mark[4] = {};
  if (file.get() < 0 || pread(file.get(), mark, sizeof mark, 0) != static_cast<ssize_t>(sizeof mark)) {
    return false;
  }
  for (char& c : mark) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return std::any_of(std::begin(kSavedSessionMarks), std::end(kSavedSessionMarks),
                     [&](const char* text) { return std::memcmp(mark, text, 4) == 0; });
}

std::string WindowsVolume::HibernationProblem() {
  std::string path;
  if (!SavedSession(path)) return std::string();
  return "The Windows on " + rootPath_ + " is hibernated, or was shut down with fast startup: " + path +
         " holds its saved session, and Windows would resume that session over the changes. " + kResumeAdvice +
         ", then try again. " + kResumeWarning + " Nothing was changed.";
}

bool WindowsVolume::ReadOnlyMount() {
  struct statvfs system {};
  return fstatvfs(root_.get(), &system) == 0 && (system.f_flag & ST_RDONLY) != 0;
}

std::string WindowsVolume::ReadOnlyProblem() {
  std::string path;
  if (SavedSession(path)) {
    // ntfs-3g mounts a volume with a saved session read-only, and refuses it read-write.
    return "The Windows volume at " + rootPath_ + " is mounted read-only, and its Windows is hibernated, or was "
           "shut down with fast startup: " + path + " holds its saved session, which ntfs-3g does not mount "
           "read-write, and Windows would resume that session over the changes. " + kResumeAdvice +
           ", then mount the volume read-write and try again. " + kResumeWarning + " Nothing was changed.";
  }
  return "The Windows volume at " + rootPath_ + " is mounted read-only. Mount it read-write (sudo mount -o "
         "remount,rw " + rootPath_ + ", or unmount it and mount it again with ntfs-3g without ro), then try "
         "again. Nothing was changed.";
}

bool WindowsVolume::RecordFolder(bool make, std::string& folderName, FileDescriptor& folder,
                                 std::string& problem) {
  const std::string where = rootPath_ + "/" + kRecordFolder;
  if (!FindEntry(root_.get(), FoldName(DecodeUtf8(kRecordFolder)), folderName) ||
      (folderName.empty() && (make ? mkdirat(root_.get(), kRecordFolder, 0755) != 0 && errno != EEXIST
                                   : faccessat(root_.get(), ".", W_OK, 0) != 0))) {
    problem = "The folder " + where + " for the log and undo files cannot be made (" + std::strerror(errno) + ")";
    return false;
  }
  if (folderName.empty() && !make) return true;
  if (folderName.empty()) folderName = kRecordFolder;
  folder = FileDescriptor(openat(root_.get(), folderName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (folder.get() < 0 || fstat(folder.get(), &status) != 0 || status.st_dev != device_) {
    problem = rootPath_ + "/" + folderName + " for the log and undo files is " +
              (folder.get() < 0 ? "not a folder that can be opened (" + std::string(std::strerror(errno)) + ")"
                                : "on another file system than the Windows volume");
    return false;
  }
  return true;
}

bool WindowsVolume::CheckRecordPlace(std::string& problem) {
  std::string folderName;
  FileDescriptor folder;
  if (!RecordFolder(false, folderName, folder, problem)) return false;
  if (folder.get() < 0 || faccessat(folder.get(), ".", W_OK, 0) == 0) return true;
  problem = "The log and undo files cannot be made in " + rootPath_ + "/" + folderName + " (" +
            std::strerror(errno) + ")";
  return false;
}

bool WindowsVolume::OpenUndoFiles(std::vector<RecordFile>& files, std::string& problem) {
  files.clear();
  std::string folderName;
  if (!FindEntry(root_.get(), FoldName(DecodeUtf8(kRecordFolder)), folderName)) {
    problem = rootPath_ + " cannot be read (" + std::strerror(errno) + ")";
    return false;
  }
  if (folderName.empty()) return true;
  const std::string where = rootPath_ + "/" + folderName;
  const FileDescriptor folder(openat(root_.get(), folderName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  std::vector<std::string> names;
  std::string ignored;
  struct stat status {};
  if (folder.get() < 0 || fstat(folder.get(), &status) != 0 || status.st_dev != device_ ||
      !FindEntry(folder.get(), L"", ignored, nullptr, &names)) {
    problem = where + " is not a folder of the Windows volume that can be read" +
              (folder.get() < 0 ? " (" + std::string(std::strerror(errno)) + ")" : std::string());
    return false;
  }
  std::vector<std::pair<unsigned long, std::string>> numbered;
  for (const std::string& name : names) {
    const std::wstring folded = FoldName(DecodeUtf8(name));
    const std::wstring stem = L"MORVANE-UNDO";
    if (folded.size() < stem.size() + 4 || folded.compare(0, stem.size(), stem) != 0 ||
        folded.compare(folded.size() - 4, 4, L".REG") != 0) {
      continue;
    }
    const std::wstring number = folded.substr(stem.size(), folded.size() - stem.size() - 4);
    if (number.empty()) {
      numbered.emplace_back(1, name);
    } else if (number.size() >= 2 && number.size() <= 5 && number[0] == L'-' && number[1] != L'0' &&
               number.find_first_not_of(L"0123456789", 1) == std::wstring::npos) {
      numbered.emplace_back(std::stoul(number.substr(1)), name);
    }
  }
  std::sort(numbered.begin(), numbered.end());
  for (const auto& [number, name] : numbered) {
    RecordFile found{where + "/" + name,
                     FileDescriptor(openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC))};
    if (found.file.get() < 0 || fstat(found.file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
      problem = found.path + " is not a regular file that can be read" +
                (found.file.get() < 0 ? " (" + std::string(std::strerror(errno)) + ")" : std::string()) +
                "; a link is not followed";
      return false;
    }
    files.push_back(std::move(found));
  }
  return true;
}

bool WindowsVolume::CreateRecord(Record& record, std::string& problem) {
  std::string folderName;
  FileDescriptor folder;
  if (!RecordFolder(true, folderName, folder, problem)) return false;
  for (int number = 1; number <= 1000; ++number) {
    const std::string suffix = number == 1 ? "" : "-" + std::to_string(number);
    const std::string names[] = {"Morvane" + suffix + ".txt", "Morvane-undo" + suffix + ".reg"};
    std::string found;
    std::string other;
    if (!FindEntry(folder.get(), FoldName(DecodeUtf8(names[0])), found) ||
        !FindEntry(folder.get(), FoldName(DecodeUtf8(names[1])), other)) {
      break;
    }
    if (!found.empty() || !other.empty()) continue;
    int made = 0;
    for (const std::string& name : names) {
      const int file =
          openat(folder.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (file < 0) break;
      close(file);
      ++made;
    }
    if (made == 2) {
      const std::wstring windows = Drive() + L"\\" + DecodeUtf8(folderName) + L"\\";
      record = Record{rootPath_ + "/" + folderName + "/" + names[0], rootPath_ + "/" + folderName + "/" + names[1],
                      windows + DecodeUtf8(names[0]), windows + DecodeUtf8(names[1])};
      return true;
    }
    const int error = errno;
    if (made == 1) unlinkat(folder.get(), names[0].c_str(), 0);
    if (error != EEXIST) {
      errno = error;
      break;
    }
  }
  problem = "The log and undo files cannot be made in " + rootPath_ + "/" + folderName + " (" +
            std::strerror(errno) + ")";
  return false;
}

void WindowsVolume::MountMachine() {
  registry_.UnmountAll();
  registry_.Mount(kSoftwareMount, *software_);
  registry_.Mount(kSystemMount, *system_);
}

bool WindowsVolume::OpenProfiles(const SystemInfo& info, std::string& problem) {
  const std::wstring systemRoot = SystemRoot();
  const std::wstring drive = systemRoot.substr(0, 2);
  const std::wstring classesFile = info.majorVersion >= 6 ? kClassesSinceVista : kClassesBeforeVista;
  Seen seen;
  seen.emplace(software_->Identity(), Holder{Kind::kMachine, L"the machine's SOFTWARE hive"});
  seen.emplace(system_->Identity(), Holder{Kind::kMachine, L"the machine's SYSTEM hive"});
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
    folder = ::Expand(folder, {{L"%SystemDrive%", drive}, {L"%SystemRoot%", systemRoot}});
    Profile profile;
    profile.sid = sid;
    profile.folder = folder;
    std::wstring local = folder;
    std::replace(local.begin(), local.end(), L'/', L'\\');  // Windows takes either
    std::string why;
    HiveFile::Refusal refusal = HiveFile::Refusal::kNone;
    std::size_t reached = 0;
    // Only a profile on this volume, the one Windows runs from, can be reached.
    const bool onVolume = local.size() >= 3 && FoldName(local.substr(0, 3)) == FoldName(drive + L"\\");
    const Reach reach = !onVolume ? Reach::Refused
                                  : OpenHive(local.substr(3) + L"\\" + classesFile, true, profile.classes, why,
                                             refusal, reached);
    // The walk got past the profile folder itself.
    const bool folderReached = onVolume && reached >= PathComponents(local.substr(3)).size();
    // A deleted account leaves its entry behind: no folder, nothing to repair.
    // A profile whose folder an image's run could not copy out has that run's line instead.
    if (reach == Reach::Missing && !folderReached && NotCopiedFromImage(EncodeUtf8(sid))) continue;
    if (reach == Reach::Missing && !folderReached) {
      profile.noFolder = true;
      profiles_.push_back(std::move(profile));
      continue;
    }
    if (reach == Reach::Found && !profile.classes && refusal == HiveFile::Refusal::kNotWritable) {
      problem = why + ". Nothing was changed.";
      return false;
    }
    why += ProfileAdvice(refusal);
    // A user who never logged on has a folder without a classes hive (Missing).
    if (reach == Reach::Refused || (reach == Reach::Found && !profile.classes)) {
      profile.problem = why.empty() ? L"its folder is not on the Windows volume, " + drive : DecodeUtf8(why);
    } else if (profile.classes && !profile.classes->Failure().empty()) {
      // A hive whose keys cannot all be read is not taken for one without them.
      profile.problem = DecodeUtf8(profile.classes->Path() + ": " + profile.classes->Failure());
      profile.classes.reset();
    }
    KeepOnce(profile.classes, Kind::kClasses, profile, seen, profile.classesShared, profile.problem);
    // Explorer's choices in NTUSER.DAT are repaired whatever became of the classes hive.
    if (folderReached && !OpenUserHive(local.substr(3), profile, seen, problem)) return false;
    if (profile.problem.empty() && !profile.classes && !profile.user && profile.userProblem.empty() &&
        profile.classesShared.empty() && profile.userShared.empty()) {
      continue;
    }
    profiles_.push_back(std::move(profile));
  }
  return true;
}

void WindowsVolume::KeepOnce(std::unique_ptr<HiveFile>& hive, Kind kind, const Profile& profile, Seen& seen,
                             std::wstring& shared, std::wstring& problem) {
  if (!hive) return;
  const auto [held, first] = seen.emplace(hive->Identity(), Holder{kind, L"user profile " + profile.folder});
  if (first) return;
  const std::wstring path = DecodeUtf8(hive->Path());
  hive.reset();
  // A file repaired as two kinds of hive would be repaired as neither.
  if (held->second.kind == kind) {
    shared = path + L" is the same file as that of " + held->second.where + L", and is repaired there";
  } else {
    problem = path + L" is the same file as " +
              (held->second.kind == Kind::kMachine ? held->second.where
                                                   : (held->second.kind == Kind::kClasses ? L"the classes hive of "
                                                                                          : L"the NTUSER.DAT of ") +
                                                         held->second.where) +
              L", which is repaired as another kind of registry file";
  }
}

bool WindowsVolume::OpenUserHive(const std::wstring& folder, Profile& profile, Seen& seen, std::string& problem) {
  std::string why;
  HiveFile::Refusal refusal = HiveFile::Refusal::kNone;
  std::size_t reached = 0;
  const Reach reach = OpenHive(folder + L"\\" + kUserHive, true, profile.user, why, refusal, reached);
  if (reach == Reach::Found && !profile.user && refusal == HiveFile::Refusal::kNotWritable) {
    problem = why + ". Nothing was changed.";
    return false;
  }
  if (reach != Reach::Missing && !profile.user) profile.userProblem = DecodeUtf8(why + ProfileAdvice(refusal));
  if (profile.user && !profile.user->Failure().empty()) {
    profile.userProblem = DecodeUtf8(profile.user->Path() + ": " + profile.user->Failure());
    profile.user.reset();
  }
  // A user hive that is another profile's (or this one's classes) is not repaired twice.
  KeepOnce(profile.user, Kind::kUser, profile, seen, profile.userShared, profile.userProblem);
  return true;
}

void WindowsVolume::MountProfile(const Profile& profile) {
  MountMachine();
  registry_.SetCurrentUser(profile.sid);
  if (profile.user) registry_.Mount(L"\\Registry\\User\\" + profile.sid, *profile.user);
  if (!profile.classes) return;
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
