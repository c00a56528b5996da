#include "image/staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "driver/console_bytes.h"
#include "image/file_digest.h"
#include "hive/hive_file.h"
#include "offline/image_terms.h"
#include "offline/windows_volume.h"
#include "posix/file_descriptor.h"
#include "posix/utf8_console.h"

namespace {

// The attributes through which ntfs-3g shows a file's Windows security
// descriptor and its attributes (read-only, hidden, system...).
constexpr const char* kNtfsAttributes[] = {"system.ntfs_acl", "system.ntfs_attrib_be"};
constexpr char kBackupSuffix[] = ".morvane-backup";
// The attribute through which ntfs-3g shows an entry's short (8.3) name.
constexpr char kDosName[] = "system.ntfs_dos_name";
constexpr char kFreshSuffix[] = ".morvane-new";
// The name a file has in the image until all of it is there, read back.
constexpr char kPartialSuffix[] = ".morvane-partial";
// The largest registry file copied: Windows' hives stay far below it, and a
// larger file is no hive the run would take.
constexpr std::int64_t kLargestCopy = std::int64_t{2} << 30;
constexpr std::int64_t kMegabyte = 1 << 20;

// Whether `wanted` may be a short (8.3) name: Windows makes those with a tilde.
bool MayBeShortName(const std::wstring& wanted) {
  return wanted.find(L'~') != std::wstring::npos && wanted.size() <= 12;
}

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string Leaf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Gives each file `to` the NTFS attributes of its file `from` (through one
// command in the appliance), and reads them back: `errors[i]` says why
// those of the pair `i` are not the same, empty when they are.
void CopyAttributes(Guest& guest, const std::vector<std::pair<std::string, std::string>>& pairs,
                    std::vector<std::string>& errors) {
  errors.assign(pairs.size(), std::string());
  std::vector<Guest::Attribute> attributes;
  std::vector<std::size_t> owners;  // the pair of each attribute
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    for (const char* name : kNtfsAttributes) {
      std::string value;
      bool present = false;
      if (!guest.GetAttribute(pairs[i].first, name, value, present)) {
        errors[i] = std::string(name) + ": " + guest.Error();
        break;
      }
      if (!present) continue;  // not NTFS: nothing to keep
      attributes.push_back(Guest::Attribute{pairs[i].second, name, value});
      owners.push_back(i);
    }
  }
  if (attributes.empty()) return;
  const std::string setting = guest.SetAttributes(attributes) ? std::string() : guest.Error();
  for (std::size_t a = 0; a < attributes.size(); ++a) {
    std::string& error = errors[owners[a]];
    std::string copy;
    bool kept = false;
    if (!error.empty() || (guest.GetAttribute(attributes[a].path, attributes[a].name, copy, kept) && kept &&
                           copy == attributes[a].value)) {
      continue;
    }
    error = std::string(attributes[a].name) + ": " + (kept ? "read back otherwise" : !setting.empty() ? setting
                                                                                                     : guest.Error());
  }
}

// `text`'s UTF-16LE bytes as UTF-8, and back.
std::string FromUtf16(const std::string& bytes) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                           static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (unit >= 0xDC00 && unit < 0xE000 && !text.empty() && text.back() >= 0xD800 && text.back() < 0xDC00) {
      text.back() = static_cast<wchar_t>(0x10000 + ((text.back() - 0xD800) << 10) + (unit - 0xDC00));
    } else {
      text += unit;
    }
  }
  return EncodeUtf8(text);
}

std::string ToUtf16(const std::string& text) {
  std::string bytes;
  for (wchar_t c : DecodeUtf8(text)) {
    unsigned char units[4];
    bytes.append(reinterpret_cast<const char*>(units), EncodeUtf16Le(c, units));
  }
  return bytes;
}

// The run's log among what it made: its name ends in .txt, in any letter case.
bool IsLog(const std::string& path) {
  const std::string leaf = Leaf(path);
  return leaf.size() > 4 && strcasecmp(leaf.c_str() + leaf.size() - 4, ".txt") == 0;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  static_cast<void>(remove(path));
  return 0;
}

}  // namespace

void RewriteRunLog(const std::string& path, const ImageTerms& terms) {
  const FileDescriptor log(open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (log.get() < 0 || fstat(log.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) return;
  std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
  if (pread(log.get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) return;
  const std::string shown = ToUtf16(InImageTerms(FromUtf16(bytes), terms));
  if (shown == bytes) return;
  if (pwrite(log.get(), shown.data(), shown.size(), 0) == static_cast<ssize_t>(shown.size()) &&
      ftruncate(log.get(), static_cast<off_t>(shown.size())) == 0) {
    return;
  }
  // Not rewritten whole, the log would end in the old text's tail: it is
  // given back as the run wrote it.
  if (pwrite(log.get(), bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size())) {
    return;
  }
}

void AppendToRunLog(const std::string& path, const std::string& text) {
  const FileDescriptor log(open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (log.get() < 0 || fstat(log.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) return;
  std::string bytes;
  AppendConsoleBytes(DecodeUtf8(text), true, bytes);
  [[maybe_unused]] const ssize_t written = write(log.get(), bytes.data(), bytes.size());
}

Staging::~Staging() { Remove(); }

void Staging::Remove() {
  if (!base_.empty()) nftw(base_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  base_.clear();
}

bool Staging::Create(std::string& problem) {
  const char* folder = std::getenv("TMPDIR");
  std::string pattern = std::string(folder != nullptr && *folder != '\0' ? folder : "/var/tmp") + "/morvane-image-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    problem = "No private folder could be made for the registry files (" + pattern + ": " + std::strerror(errno) + ")";
    return false;
  }
  // The volume's copy.
  base_ = pattern;
  root_ = base_ + "/volume";
  if (mkdir(root_.c_str(), 0700) != 0) {
    problem = "No private folder could be made for the registry files (" + root_ + ": " + std::strerror(errno) + ")";
    return false;
  }
  return true;
}

bool Staging::Copy(Guest& guest, const std::wstring& relative, std::string& problem, std::string* copy,
                   std::size_t head) {
  // Each folder name as the run takes it on a mounted volume: one it would
  // not follow is not copied, and the run says so itself.
  std::vector<std::wstring> components = PathComponents(relative);
  for (std::wstring& component : components) {
    component = WindowsName(component);
    if (component.empty()) return true;
  }
  std::string path;     // below the root, here
  std::string inImage;  // the same in the image, where a short name is the long one
  for (std::size_t i = 0; i < components.size(); ++i) {
    const std::vector<std::string>* listed = Names(guest, inImage.empty() ? "/" : inImage);
    if (listed == nullptr) {
      problem = "The folder " + (inImage.empty() ? "/" : inImage) + " of the image cannot be read: " + guest.Error();
      return false;
    }
    const std::vector<std::string>& names = *listed;
    const std::wstring wanted = FoldName(components[i]);
    std::string found;
    for (const std::string& name : names) {
      if (FoldName(DecodeUtf8(name)) != wanted) continue;
      // Two names that Windows does not tell apart: both stand in the copy,
      // empty, and the run refuses the path as it does on a mounted volume.
      if (!found.empty()) {
        for (const std::string& twin : {found, name}) mkdir((root_ + path + "/" + twin).c_str(), 0700);
        return true;
      }
      found = name;
    }
    // A short (8.3) name, as ntfs-3g shows it: the copy keeps the name the
    // run looks for, the image the entry's own.
    std::string local = found;
    for (std::size_t n = 0; found.empty() && MayBeShortName(components[i]) && n < names.size(); ++n) {
      std::string shortName;
      bool present = false;
      if (guest.GetAttribute(inImage + "/" + names[n], kDosName, shortName, present) && present &&
          FoldName(DecodeUtf8(shortName)) == wanted) {
        found = names[n];
        local = shortName;
      }
    }
    if (found.empty()) return true;
    const std::string folder = path;
    path += "/" + local;
    inImage += "/" + found;
    if (local != found) aliases_[path] = inImage;
    const std::string here = root_ + path;
    const bool last = i + 1 == components.size();
    Guest::Kind kind = Guest::Kind::Missing;
    std::string target;
    struct stat status {};
    const bool there = lstat(here.c_str(), &status) == 0;
    if (!guest.KindOf(inImage, kind)) {
      problem = inImage + " in the image cannot be read: " + guest.Error();
      return false;
    }
    // What stands here already is the name of a file beside a registry
    // file, or what an earlier path made.
    const bool folderThere = there && S_ISDIR(status.st_mode);
    bool made = there;
    errno = 0;
    if (kind == Guest::Kind::Folder) {
      made = folderThere || ((!there || unlink(here.c_str()) == 0) && mkdir(here.c_str(), 0700) == 0);
      if (made && !last) continue;
      // A folder asked for itself: the names in it (the record folder, whose
      // next free file names the run chooses).
      const std::vector<std::string>* inside = made ? Names(guest, inImage) : nullptr;
      made = inside != nullptr;
      for (std::size_t n = 0; made && n < inside->size(); ++n) {
        const std::string entry = here + "/" + (*inside)[n];
        if (lstat(entry.c_str(), &status) != 0) close(open(entry.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
      }
    } else if (kind == Guest::Kind::Link) {
      made = there || (guest.ReadLink(inImage, target) && symlink(target.c_str(), here.c_str()) == 0);
    } else if (kind == Guest::Kind::File && last && head > 0 && !there) {
      std::string bytes;
      const FileDescriptor file(open(here.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      made = file.get() >= 0 && guest.ReadHead(inImage, head, bytes) &&
             write(file.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
      if (made && copy != nullptr) *copy = here;
    } else if (kind == Guest::Kind::File && last && copied_.count(path) == 0 && !folderThere) {
      // A file larger than a hive grows, or than this host's folder holds, is not copied.
      std::int64_t size = 0;
      struct statvfs space {};
      if (!guest.Size(inImage, size) || statvfs(root_.c_str(), &space) != 0) {
        problem = inImage + " in the image cannot be read: " + guest.Error();
        return false;
      }
      const auto room = static_cast<std::int64_t>(space.f_bavail * space.f_frsize) - copiedBytes_ - 64 * kMegabyte;
      if (size > kLargestCopy || size > room) {
        problem = inImage + " in the image is " + std::to_string(size / kMegabyte) + " MB, more than " +
                  (size > kLargestCopy ? "a registry file grows to (" + std::to_string(kLargestCopy / kMegabyte) +
                                             " MB); it is no registry file the run would repair"
                                       : "the folder " + Parent(base_) + " of this machine has free for it (" +
                                             std::to_string(room < 0 ? 0 : room / kMegabyte) +
                                             " MB): make room there, or name another folder in TMPDIR");
        return false;
      }
      // Its digest as copied tells, after the run, whether its backup holds
      // the same bytes as the file in the image.
      std::int64_t got = 0;
      made = guest.Download(inImage, here) && DigestFile(here, digests_[path], got) && got == size;
      if (!made) static_cast<void>(unlink(here.c_str()));  // no part of a file stands for it
      copiedBytes_ += size;
      if (made) copied_.insert(path);
      if (made && copy != nullptr) *copy = here;
      // The names beside a registry file (`names`, listed above): the run
      // chooses its backup's name among them.
      for (std::size_t n = 0; made && n < names.size(); ++n) {
        const std::string beside = root_ + folder + "/" + names[n];
        if (lstat(beside.c_str(), &status) != 0) close(open(beside.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
      }
    } else if (!there) {
      made = kind == Guest::Kind::File ? close(open(here.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600)) == 0
                                       : mkfifo(here.c_str(), 0600) == 0;
    }
    if (!made) {
      problem = inImage + " in the image could not be copied: " + (errno != 0 ? std::strerror(errno) : guest.Error());
      return false;
    }
    return true;
  }
  return true;
}

std::map<std::string, Staging::Entry> Staging::Entries() const {
  std::map<std::string, Entry> entries;
  std::vector<std::string> folders{""};
  while (!folders.empty()) {
    const std::string folder = folders.back();
    folders.pop_back();
    DIR* listing = opendir((root_ + folder).c_str());
    if (listing == nullptr) continue;
    while (const dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "/" + name;
      struct stat status {};
      if (lstat((root_ + path).c_str(), &status) != 0) continue;
      entries[path] = Entry{S_ISDIR(status.st_mode), status.st_ino, status.st_size,
                            status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec};
      if (S_ISDIR(status.st_mode)) folders.push_back(path);
    }
    closedir(listing);
  }
  return entries;
}

std::string Staging::ImagePath(const std::string& path) const {
  // The longest folder of the copy named otherwise in the image.
  for (std::string folder = path; !folder.empty(); folder = Parent(folder)) {
    const auto alias = aliases_.find(folder);
    if (alias != aliases_.end()) return alias->second + path.substr(folder.size());
  }
  return path;
}

const std::vector<std::string>* Staging::Names(Guest& guest, const std::string& folder) {
  const auto known = names_.find(folder);
  if (known != names_.end()) return &known->second;
  std::vector<std::string> names;
  if (!guest.List(folder, names)) return nullptr;
  return &(names_[folder] = std::move(names));
}

Staging::Placing Staging::NewFile(Guest& guest, const std::string& path) {
  Placing file;
  file.path = path;
  file.inImage = ImagePath(path);
  file.partial = file.inImage + kPartialSuffix;
  Guest::Kind kind = Guest::Kind::Missing;
  if (!guest.KindOf(file.inImage, kind) || kind != Guest::Kind::Missing) {
    file.error = kind == Guest::Kind::Missing ? guest.Error() : "a file of that name is in the image already";
    return file;
  }
  if (!DigestFile(root_ + path, file.digest, file.size)) file.error = "its copy here cannot be read";
  // A backup of a registry file copied whole, holding the bytes it had in
  // the image, is copied there from that file.
  const std::string name = Leaf(path);
  for (const std::string& copied : copied_) {
    const std::string prefix = Leaf(copied) + kBackupSuffix;
    if (Parent(copied) == Parent(path) && name.compare(0, prefix.size(), prefix) == 0 &&
        digests_[copied] == file.digest && file.error.empty()) {
      file.same = ImagePath(copied);
      std::int64_t names = 0;
      file.asName = guest.NameCount(file.same, names) && names == 1;
    }
  }
  return file;
}

bool Staging::PlaceAll(Guest& guest, std::vector<Placing>& files, const volatile std::sig_atomic_t& stop,
                       const std::vector<std::pair<std::string, std::string>>& besides, bool last) {
  std::vector<bool> started(files.size(), false);  // something may stand at its temporary name
  std::vector<std::pair<std::string, std::string>> keeping = besides;
  std::vector<std::size_t> keepers(besides.size(), files.size());
  for (std::size_t i = 0; i < files.size() && stop == 0; ++i) {
    Placing& file = files[i];
    file.reached = true;
    if (!file.error.empty()) continue;
    // A registry file of one name is backed up as a second name of itself:
    // whole at once, with its own NTFS attributes; the new file takes the
    // first name by a rename, and the original stands at the backup's name.
    if (file.asName && guest.Link(file.same, file.inImage)) {
      file.linked = true;
      continue;
    }
    // A file left at the temporary name by a run that was cut short is
    // removed; anything else standing there stops the write.
    Guest::Kind kind = Guest::Kind::Missing;
    if (!guest.KindOf(file.partial, kind) || (kind == Guest::Kind::File && !guest.Remove(file.partial)) ||
        (kind != Guest::Kind::File && kind != Guest::Kind::Missing)) {
      file.error = kind == Guest::Kind::Missing || kind == Guest::Kind::File ? guest.Error()
                                                                             : file.partial + " is in the way";
      continue;
    }
    started[i] = true;
    if (!(file.same.empty() ? guest.Upload(root_ + file.path, file.partial) : guest.CopyFile(file.same, file.partial))) {
      file.error = guest.Error();
    } else if (!file.keep.empty()) {
      keeping.emplace_back(file.keep, file.partial);
      keepers.push_back(i);
    }
  }
  std::vector<std::string> why;
  CopyAttributes(guest, keeping, why);
  for (std::size_t k = 0; k < keepers.size(); ++k) {
    if (keepers[k] < files.size() && !why[k].empty()) {
      files[keepers[k]].error = "its security descriptor and attributes could not be kept (" + why[k] + ")";
    }
  }
  if (files.empty()) return true;
  // All of them on the disk, then each read back whole (a second name is
  // whole at once, and reaches the disk with the sync after the renames).
  const bool synced = std::find(started.begin(), started.end(), true) == started.end() || guest.Sync();
  const std::string syncing = synced ? std::string() : guest.Error();
  for (std::size_t i = 0; i < files.size() && stop == 0; ++i) {
    Placing& file = files[i];
    std::int64_t size = -1;
    std::string digest;
    if (file.linked && file.error.empty() && !synced) file.error = syncing;
    if (!started[i] || !file.error.empty()) continue;
    if (!synced || !guest.Size(file.partial, size) || (size == file.size && !guest.Digest(file.partial, digest))) {
      file.error = synced ? guest.Error() : syncing;
    } else if (size != file.size || digest != file.digest) {
      file.error = size != file.size ? "it reached the image cut short" : "it was read back otherwise";
    }
  }
  // Stopped before the renames: the files at their temporary names are
  // removed, and none is reported.
  for (std::size_t i = 0; i < files.size(); ++i) {
    Placing& file = files[i];
    if (stop != 0) file.reached = false;
    if (file.reached && file.error.empty() && !file.linked) {
      file.renamed = guest.Rename(file.partial, file.inImage);
      if (!file.renamed) file.error = guest.Error();
    }
    if (started[i] && (!file.reached || !file.error.empty())) static_cast<void>(guest.Remove(file.partial));
    if (file.linked && (!file.reached || !file.error.empty()) && guest.Remove(file.inImage)) file.linked = false;
  }
  // After the last renames the volume is unmounted first: the one sync then
  // also takes to the disk what ntfs-3g writes as it unmounts.
  std::string problem;
  if ((!last || guest.Unmount(problem)) && guest.Sync()) return true;
  const std::string error = problem.empty() ? guest.Error() : problem;
  for (Placing& file : files) {
    if (file.reached && file.error.empty()) file.error = error;
  }
  return false;
}

bool Staging::WriteBack(Guest& guest, std::ostream& progress, const volatile std::sig_atomic_t& stop) {
  const std::map<std::string, Entry> after = Entries();
  std::vector<std::string> replaced;
  std::set<std::string> hiveFolders;  // the folders of the replaced registry files
  std::int64_t needed = kMegabyte;    // for the folders and the file system's own records
  for (const auto& [path, entry] : after) {
    const auto was = before_.find(path);
    if (was != before_.end() && !entry.folder && !(was->second == entry)) {
      replaced.push_back(path);
      hiveFolders.insert(Parent(path));
    }
    if (!entry.folder && (was == before_.end() || !(was->second == entry))) needed += entry.size;
  }
  // The room on the image's volume for everything, before anything is written.
  std::int64_t free = 0;
  if (!guest.FreeSpace(free) || free < needed) {
    progress << (free < needed && free > 0
                     ? "  The Windows volume in the image has " + std::to_string(free / kMegabyte) +
                           " MB free, and the changes need " + std::to_string((needed + kMegabyte - 1) / kMegabyte) +
                           " MB: make room on it (start the virtual machine, and empty its recycle bin, for "
                           "instance), then run again.\n"
                     : "  The free space of the Windows volume in the image cannot be read: " + guest.Error() + "\n")
             << std::flush;
    return false;
  }
  std::ostringstream said;  // what the log kept in the image ends with
  said << "\nWritten into the image:\n";
  bool written = true;
  const auto report = [&](const std::vector<Placing>& files, const char* done, const char* failed,
                          const char* still) {
    for (const Placing& file : files) {
      if (!file.reached) continue;
      const std::string line =
          "  " + file.path + (file.error.empty() ? done : failed + (" (" + file.error + ")" + still)) + "\n";
      progress << line << std::flush;
      said << line;
      written = written && file.error.empty();
    }
  };
  // The new folders first, parents before what they hold (a folder that the
  // image has already, one the run did not read, is used as it is); then the
  // backups beside the registry files, each whole before its registry file
  // is replaced; the run's record last.
  std::vector<Placing> folders;
  std::vector<Placing> backups;
  std::vector<std::string> record;
  for (const auto& [path, entry] : after) {
    if (before_.count(path) != 0) continue;
    if (entry.folder) {
      Placing folder;
      folder.path = path;
      folder.reached = stop == 0;
      Guest::Kind kind = Guest::Kind::Missing;
      if (!folder.reached) {
      } else if (!guest.KindOf(ImagePath(path), kind)) {
        folder.error = guest.Error();
      } else if (kind != Guest::Kind::Missing && kind != Guest::Kind::Folder) {
        folder.error = "a file of that name is in the image already";
      } else if (kind == Guest::Kind::Missing && !guest.MakeFolder(ImagePath(path))) {
        folder.error = guest.Error();
      }
      folders.push_back(folder);
    } else if (hiveFolders.count(Parent(path)) != 0) {
      backups.push_back(NewFile(guest, path));
    } else {
      record.push_back(path);
    }
  }
  const bool synced = backups.empty() ? guest.Sync() : PlaceAll(guest, backups, stop, {});
  const std::string syncing = synced ? std::string() : guest.Error();
  for (Placing& folder : folders) {
    if (folder.error.empty() && !synced) folder.error = syncing;
  }
  report(folders, ": written", ": not written", "");
  report(backups, ": written", ": not written", "");
  // Each backup takes its registry file's security descriptor where it can,
  // with the registry files' own (one command); the next sync takes them to
  // the disk.
  std::vector<std::pair<std::string, std::string>> keeping;
  for (const Placing& backup : backups) {
    for (const std::string& copied : copied_) {
      const std::string prefix = Leaf(copied) + kBackupSuffix;
      if (!backup.error.empty() || !backup.reached || Parent(copied) != Parent(backup.path) ||
          Leaf(backup.path).compare(0, prefix.size(), prefix) != 0) {
        continue;
      }
      backedUp_.insert(copied);
      if (!backup.linked) keeping.emplace_back(ImagePath(copied), backup.inImage);
    }
  }
  std::vector<Placing> hives;
  for (const std::string& path : replaced) {
    Placing hive;
    hive.path = path;
    hive.inImage = ImagePath(path);
    hive.partial = hive.inImage + kFreshSuffix;
    hive.keep = hive.inImage;
    if (copied_.count(path) == 0 || backedUp_.count(path) == 0) {
      hive.error = copied_.count(path) == 0 ? "it is no file that was copied from the image"
                                            : "its backup is not in the image";
    } else if (!DigestFile(root_ + path, hive.digest, hive.size)) {
      hive.error = "its copy here cannot be read";
    }
    hives.push_back(hive);
  }
  static_cast<void>(PlaceAll(guest, hives, stop, keeping));
  report(hives, ": replaced, its security descriptor and attributes kept", ": not replaced", "; it is as it was");
  // A backup that is a second name of a registry file whose new file did not
  // take its name is taken back: that file stands as it was, with its one
  // name. Once the rename is made, even if the sync after it failed, the
  // backup is the original's only name, and stays.
  for (const Placing& backup : backups) {
    if (!backup.linked) continue;
    const auto hive = std::find_if(hives.begin(), hives.end(),
                                   [&](const Placing& file) { return file.inImage == backup.same; });
    if (hive != hives.end() && hive->renamed) continue;
    const std::string line = "  " + backup.path +
                             (guest.Remove(backup.inImage)
                                  ? ": removed again, so not in the image (its registry file was not replaced)"
                                  : ": not removed (" + guest.Error() + "); it is a second name of its registry file, "
                                    "which is as it was, and can be deleted") +
                             "\n";
    progress << line << std::flush;
    said << line;
  }
  if (!written) {
    said << "A registry file not replaced above is as it was: the changes to it listed above were not made.\n";
  }
  const ImageTerms terms{root_, volume_, ""};
  std::vector<Placing> files;
  for (const std::string& path : record) {
    if (IsLog(path)) {
      RewriteRunLog(root_ + path, terms);
      AppendToRunLog(root_ + path, said.str());
    }
    files.push_back(NewFile(guest, path));
  }
  static_cast<void>(PlaceAll(guest, files, stop, {}, true));
  report(files, ": written", ": not written", "");
  return written && stop == 0;
}
