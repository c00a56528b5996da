#include "image/staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "driver/console_bytes.h"
#include "hive/hive_file.h"
#include "offline/windows_volume.h"
#include "posix/file_descriptor.h"
#include "posix/utf8_console.h"

namespace {

// The attributes through which ntfs-3g shows a file's Windows security
// descriptor and its attributes (read-only, hidden, system...).
constexpr const char* kNtfsAttributes[] = {"system.ntfs_acl", "system.ntfs_attrib_be"};
constexpr char kBackupSuffix[] = ".morvane-backup";
constexpr char kFreshSuffix[] = ".morvane-new";

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string Leaf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Gives the file at `to` the NTFS attributes of the file at `from`, and
// reads them back; false when they are not the same.
bool CopyAttributes(Guest& guest, const std::string& from, const std::string& to, std::string& error) {
  for (const char* name : kNtfsAttributes) {
    std::string value;
    std::string copy;
    bool present = false;
    bool kept = false;
    if (!guest.GetAttribute(from, name, value, present)) {
      error = std::string(name) + ": " + guest.Error();
      return false;
    }
    if (!present) continue;  // not NTFS: nothing to keep
    if (!guest.SetAttribute(to, name, value) || !guest.GetAttribute(to, name, copy, kept) || copy != value) {
      error = std::string(name) + ": " + (copy != value && kept ? "read back otherwise" : guest.Error());
      return false;
    }
  }
  return true;
}

// Copies the file `local` to `path` in the image, and checks that all of it arrived.
bool UploadWhole(Guest& guest, const std::string& local, const std::string& path, std::string& error) {
  struct stat status {};
  std::int64_t size = -1;
  if (guest.Upload(local, path) && guest.Size(path, size) && lstat(local.c_str(), &status) == 0 &&
      size == status.st_size) {
    return true;
  }
  error = size < 0 ? guest.Error() : "it reached the image cut short";
  return false;
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

void AppendToRunLog(const std::string& path, const std::string& text) {
  const FileDescriptor log(open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (log.get() < 0 || fstat(log.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) return;
  std::string bytes;
  AppendConsoleBytes(DecodeUtf8(text), true, bytes);
  [[maybe_unused]] const ssize_t written = write(log.get(), bytes.data(), bytes.size());
}

Staging::~Staging() {
  if (!root_.empty()) nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool Staging::Create(std::string& problem) {
  const char* folder = std::getenv("TMPDIR");
  std::string pattern = std::string(folder != nullptr && *folder != '\0' ? folder : "/var/tmp") + "/morvane-image-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    problem = "No private folder could be made for the registry files (" + pattern + ": " + std::strerror(errno) + ")";
    return false;
  }
  root_ = pattern;
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
  std::string path;  // below the root, in the image and here alike
  for (std::size_t i = 0; i < components.size(); ++i) {
    std::vector<std::string> names;
    if (!guest.List(path.empty() ? "/" : path, names)) {
      problem = "The folder " + (path.empty() ? "/" : path) + " of the image cannot be read: " + guest.Error();
      return false;
    }
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
    if (found.empty()) return true;
    const std::string folder = path;
    path += "/" + found;
    const std::string local = root_ + path;
    const bool last = i + 1 == components.size();
    Guest::Kind kind = Guest::Kind::Missing;
    std::string target;
    struct stat status {};
    const bool there = lstat(local.c_str(), &status) == 0;
    if (!guest.KindOf(path, kind)) {
      problem = path + " in the image cannot be read: " + guest.Error();
      return false;
    }
    // What stands here already is the name of a file beside a registry
    // file, or what an earlier path made.
    const bool folderThere = there && S_ISDIR(status.st_mode);
    bool made = there;
    errno = 0;
    if (kind == Guest::Kind::Folder) {
      made = folderThere || ((!there || unlink(local.c_str()) == 0) && mkdir(local.c_str(), 0700) == 0);
      if (made && !last) continue;
      // A folder asked for itself: the names in it (the record folder, whose
      // next free file names the run chooses).
      names.clear();
      made = made && guest.List(path, names);
      for (const std::string& name : names) {
        const std::string inside = local + "/" + name;
        if (lstat(inside.c_str(), &status) != 0) close(open(inside.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
      }
    } else if (kind == Guest::Kind::Link) {
      made = there || (guest.ReadLink(path, target) && symlink(target.c_str(), local.c_str()) == 0);
    } else if (kind == Guest::Kind::File && last && head > 0 && !there) {
      std::string bytes;
      const FileDescriptor file(open(local.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      made = file.get() >= 0 && guest.ReadHead(path, head, bytes) &&
             write(file.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    } else if (kind == Guest::Kind::File && last && copied_.count(path) == 0 && !folderThere) {
      made = guest.Download(path, local);
      if (made) copied_.insert(path);
      if (made && copy != nullptr) *copy = local;
      // The names beside a registry file: the run chooses its backup's name among them.
      names.clear();
      made = made && guest.List(folder.empty() ? "/" : folder, names);
      for (const std::string& name : names) {
        const std::string beside = root_ + folder + "/" + name;
        if (lstat(beside.c_str(), &status) != 0) close(open(beside.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
      }
    } else if (!there) {
      made = kind == Guest::Kind::File ? close(open(local.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600)) == 0
                                       : mkfifo(local.c_str(), 0600) == 0;
    }
    if (!made) {
      problem = path + " in the image could not be copied: " + (errno != 0 ? std::strerror(errno) : guest.Error());
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

bool Staging::WriteNew(Guest& guest, const std::string& path, bool folder, std::string& error) {
  Guest::Kind kind = Guest::Kind::Missing;
  // A folder that the image has already (one the run did not read) is used
  // as it is; a file is never written over.
  if (!guest.KindOf(path, kind) || (kind != Guest::Kind::Missing && !(folder && kind == Guest::Kind::Folder))) {
    error = kind == Guest::Kind::Missing ? guest.Error() : "a file of that name is in the image already";
    return false;
  }
  if (folder && kind == Guest::Kind::Folder) return true;
  if (folder) {
    if (guest.MakeFolder(path)) return true;
    error = guest.Error();
    return false;
  }
  if (!UploadWhole(guest, root_ + path, path, error)) return false;
  // A backup takes its registry file's security descriptor where it can.
  const std::string name = Leaf(path);
  for (const std::string& hive : copied_) {
    const std::string prefix = Leaf(hive) + kBackupSuffix;
    if (Parent(hive) != Parent(path) || name.compare(0, prefix.size(), prefix) != 0) continue;
    std::string ignored;
    static_cast<void>(CopyAttributes(guest, hive, path, ignored));
    backedUp_.insert(hive);
  }
  return true;
}

bool Staging::Replace(Guest& guest, const std::string& path, std::string& error) {
  if (copied_.count(path) == 0 || backedUp_.count(path) == 0) {
    error = copied_.count(path) == 0 ? "it is no file that was copied from the image" : "its backup is not in the image";
    return false;
  }
  const std::string fresh = path + kFreshSuffix;
  Guest::Kind kind = Guest::Kind::Missing;
  // A file left by a run that was cut short is replaced; anything else
  // standing at that name stops the write.
  if (!guest.KindOf(fresh, kind) || (kind == Guest::Kind::File && !guest.Remove(fresh)) ||
      (kind != Guest::Kind::File && kind != Guest::Kind::Missing)) {
    error = kind == Guest::Kind::Folder || kind == Guest::Kind::Link || kind == Guest::Kind::Other
                ? fresh + " is in the way"
                : guest.Error();
    return false;
  }
  if (UploadWhole(guest, root_ + path, fresh, error)) {
    if (!CopyAttributes(guest, path, fresh, error)) {
      error = "its security descriptor and attributes could not be kept (" + error + ")";
    } else if (!guest.Rename(fresh, path)) {
      error = guest.Error();
    } else {
      return true;
    }
  }
  static_cast<void>(guest.Remove(fresh));
  return false;
}

bool Staging::WriteBack(Guest& guest, std::ostream& progress) {
  const std::map<std::string, Entry> after = Entries();
  std::vector<std::string> replaced;
  std::set<std::string> hiveFolders;  // the folders of the replaced registry files
  for (const auto& [path, entry] : after) {
    const auto was = before_.find(path);
    if (was != before_.end() && !entry.folder && !(was->second == entry)) {
      replaced.push_back(path);
      hiveFolders.insert(Parent(path));
    }
  }
  std::ostringstream said;  // what the log kept in the image ends with
  said << "\nWritten into the image:\n";
  bool written = true;
  const auto report = [&](const std::string& line, bool done) {
    progress << line << std::flush;
    said << line;
    written = written && done;
  };
  const auto writeNew = [&](const std::string& path, bool folder) {
    std::string error;
    const bool done = WriteNew(guest, path, folder, error);
    report("  " + path + (done ? ": written\n" : ": not written (" + error + ")\n"), done);
  };
  // Parents come before what they hold; each backup beside a registry file
  // before that file is replaced; the run's record last.
  std::vector<std::string> record;
  for (const auto& [path, entry] : after) {
    if (before_.count(path) != 0) continue;
    if (entry.folder || hiveFolders.count(Parent(path)) != 0) {
      writeNew(path, entry.folder);
    } else {
      record.push_back(path);
    }
  }
  for (const std::string& path : replaced) {
    std::string error;
    const bool done = Replace(guest, path, error);
    report("  " + path + (done ? ": replaced, its security descriptor and attributes kept\n"
                               : ": not replaced (" + error + "); it is as it was\n"), done);
  }
  if (!written) {
    said << "A registry file not replaced above is as it was: the changes to it listed above were not made.\n";
  }
  for (const std::string& path : record) {
    if (IsLog(path)) AppendToRunLog(root_ + path, said.str());
    writeNew(path, false);
  }
  if (!guest.Sync()) {
    progress << "  The image's disks could not be synced: " << guest.Error() << "\n" << std::flush;
    written = false;
  }
  return written;
}
