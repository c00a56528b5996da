#include "offline/hive_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "driver/utf8_console.h"

namespace {

constexpr std::size_t kHeaderSize = 4096;
constexpr std::uint16_t kKeySymLink = 0x0010;  // KEY_SYM_LINK in a key record's flags
constexpr std::size_t kKeyFlagsAt = 6;         // after the cell size and "nk"
// From format 1.4 on, Windows keeps data longer than this in big-data
// records, which libhivex does not write: it would store one cell that
// Windows then misreads.
constexpr std::size_t kLargestSingleCell = 16344;
constexpr RegistryStatus kRegistryBadDb = 1009;         // ERROR_BADDB
constexpr RegistryStatus kRegistryNotSupported = 50;    // ERROR_NOT_SUPPORTED
// Extended attributes through which ntfs-3g shows a file's NTFS security
// descriptor and attributes; a replaced hive keeps them.
constexpr const char* kNtfsAttributes[] = {"system.ntfs_acl", "system.ntfs_attrib_be"};

struct ErrnoStatus {
  int error;
  RegistryStatus status;
};

constexpr ErrnoStatus kErrnoStatuses[] = {
    {ENOENT, kRegistryFileNotFound},
    {EACCES, kRegistryAccessDenied},
    {EPERM, kRegistryAccessDenied},
    {EROFS, 19},       // ERROR_WRITE_PROTECT
    {ENOMEM, 14},      // ERROR_OUTOFMEMORY
    {ENOSPC, 112},     // ERROR_DISK_FULL
    {EEXIST, kRegistryAlreadyExists},
    {EINVAL, kRegistryInvalidParameter},
    {ERANGE, 1450},    // ERROR_NO_SYSTEM_RESOURCES: beyond libhivex's limits
    {EOVERFLOW, 1450},
    {EIO, 1016},       // ERROR_REGISTRY_IO_FAILED
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return fd_; }
  // Closes now, reporting whether the last writes reached the file.
  bool Close() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_;
};

std::uint32_t Read32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) |
         static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Why the header of a hive file is unusable; empty when it is sound.
std::string HeaderProblem(const std::uint8_t* header) {
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < 508; at += 4) sum ^= Read32(header + at);
  if (sum == 0) sum = 1;
  if (sum == 0xFFFFFFFFu) sum = 0xFFFFFFFEu;
  if (std::memcmp(header, "regf", 4) != 0 || Read32(header + 20) != 1 || Read32(header + 28) != 0 ||
      sum != Read32(header + 508)) {
    return "is not a registry hive file";
  }
  if (Read32(header + 4) != Read32(header + 8)) {
    return "was not completely written out by Windows (its two sequence numbers differ), and the "
           "changes still in its transaction logs would be lost. Start that Windows, shut it down "
           "fully, and try again";
  }
  return std::string();
}

// Why the hive file at `path` cannot be replaced; empty when it can.
std::string WriteProblem(const std::string& path, const struct stat& status) {
  struct statvfs volume {};
  const std::string folder = Folder(path);
  if (statvfs(folder.c_str(), &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0) {
    return "is on a volume mounted read-only";
  }
  if ((status.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0) return "is read-only";
  if (access(folder.c_str(), W_OK) != 0) return "is in a folder that cannot be written to";
  return std::string();
}

void CopyNtfsAttributes(int from, int to) {
  for (const char* name : kNtfsAttributes) {
    std::vector<char> value(65536);
    const ssize_t size = fgetxattr(from, name, value.data(), value.size());
    if (size >= 0) static_cast<void>(fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0));
  }
}

// Makes `to` a synced copy of the file behind `from`, never replacing a
// file. Returns 0 or the errno of what failed.
int CopyFile(int from, const std::string& to) {
  FileDescriptor copy(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (copy.get() < 0) return errno;
  std::vector<char> buffer(1 << 16);
  off_t at = 0;
  ssize_t got = 0;
  while ((got = pread(from, buffer.data(), buffer.size(), at)) > 0) {
    if (write(copy.get(), buffer.data(), static_cast<std::size_t>(got)) != got) break;
    at += got;
  }
  CopyNtfsAttributes(from, copy.get());
  if (got == 0 && fsync(copy.get()) == 0 && copy.Close()) return 0;
  const int error = errno != 0 ? errno : EIO;
  unlink(to.c_str());
  return error;
}

bool SyncFolder(const std::string& path) {
  FileDescriptor folder(open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return folder.get() >= 0 && fsync(folder.get()) == 0;
}

}  // namespace

RegistryStatus StatusFromErrno(int error) {
  for (const ErrnoStatus& row : kErrnoStatuses) {
    if (row.error == error) return row.status;
  }
  return kRegistryBadDb;
}

std::unique_ptr<HiveFile> HiveFile::Open(const std::string& path, bool writable,
                                         std::string& problem) {
  std::unique_ptr<HiveFile> hive(new HiveFile());
  hive->path_ = path;
  hive->writable_ = writable;
  hive->file_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat status {};
  std::uint8_t header[kHeaderSize] = {};
  if (hive->file_ < 0 || fstat(hive->file_, &status) != 0) {
    problem = std::string("cannot be read: ") + std::strerror(errno);
    return nullptr;
  }
  hive->originalSize_ = static_cast<std::uint64_t>(status.st_size);
  problem = pread(hive->file_, header, kHeaderSize, 0) == static_cast<ssize_t>(kHeaderSize)
                ? HeaderProblem(header)
                : "is not a registry hive file";
  if (problem.empty() && writable) problem = WriteProblem(path, status);
  if (!problem.empty()) return nullptr;
  hive->minorVersion_ = Read32(header + 24);
  hive->hive_ = hivex_open(path.c_str(), writable ? HIVEX_OPEN_WRITE : 0);
  if (hive->hive_ == nullptr) {
    problem = std::string("is not a registry hive file that can be read (") + std::strerror(errno) + ")";
    return nullptr;
  }
  hive->root_ = hivex_root(hive->hive_);
  return hive;
}

HiveFile::~HiveFile() {
  if (hive_ != nullptr) hivex_close(hive_);
  if (file_ >= 0) close(file_);
}

RegistryStatus HiveFile::Children(Node node, std::vector<Node>& children) {
  hive_node_h* list = hivex_node_children(hive_, node);
  if (list == nullptr) return StatusFromErrno(errno);
  children.clear();
  for (hive_node_h* child = list; *child != 0; ++child) children.push_back(*child);
  free(list);
  return kRegistrySuccess;
}

RegistryStatus HiveFile::Name(Node node, std::wstring& name) {
  char* utf8 = hivex_node_name(hive_, node);
  if (utf8 == nullptr) return StatusFromErrno(errno);
  name = DecodeUtf8(utf8);
  free(utf8);
  return kRegistrySuccess;
}

RegistryStatus HiveFile::IsLink(Node node, bool& isLink) {
  const auto created = created_.find(node);
  if (created != created_.end()) {
    isLink = created->second;
    return kRegistrySuccess;
  }
  // Every other key is as the file holds it: libhivex never moves a key record.
  std::uint8_t flags[2] = {};
  if (node + kKeyFlagsAt + 2 > originalSize_ ||
      pread(file_, flags, 2, static_cast<off_t>(node + kKeyFlagsAt)) != 2) {
    return kRegistryBadDb;
  }
  isLink = ((flags[0] | flags[1] << 8) & kKeySymLink) != 0;
  return kRegistrySuccess;
}

RegistryStatus HiveFile::Values(Node node, std::vector<ValueRef>& values) {
  hive_value_h* list = hivex_node_values(hive_, node);
  if (list == nullptr) return StatusFromErrno(errno);
  values.clear();
  RegistryStatus status = kRegistrySuccess;
  for (hive_value_h* value = list; *value != 0 && status == kRegistrySuccess; ++value) {
    ValueRef ref;
    ref.handle = *value;
    hive_type type = hive_t_REG_NONE;
    char* name = hivex_value_key(hive_, *value);
    if (name == nullptr || hivex_value_type(hive_, *value, &type, &ref.size) != 0) {
      status = StatusFromErrno(errno);
    } else {
      ref.name = DecodeUtf8(name);
      ref.type = static_cast<ValueType>(type);
      values.push_back(std::move(ref));
    }
    free(name);
  }
  free(list);
  return status;
}

RegistryStatus HiveFile::ReadData(std::size_t value, std::vector<std::uint8_t>& data) {
  hive_type type = hive_t_REG_NONE;
  std::size_t size = 0;
  char* bytes = hivex_value_value(hive_, value, &type, &size);
  if (bytes == nullptr) return StatusFromErrno(errno);
  data.assign(bytes, bytes + size);
  free(bytes);
  return kRegistrySuccess;
}

RegistryStatus HiveFile::BeginChange() {
  if (!writable_) return kRegistryAccessDenied;
  if (!failure_.empty()) return kRegistryBadDb;
  if (changed_) return kRegistrySuccess;
  int error = EEXIST;
  for (int attempt = 1; attempt <= 100 && error == EEXIST; ++attempt) {
    const std::string name =
        path_ + ".morvane-backup" + (attempt > 1 ? "-" + std::to_string(attempt) : "");
    error = CopyFile(file_, name);
    if (error == 0) backupPath_ = name;
  }
  if (error != 0) {
    failure_ = std::string("it could not be backed up (") + std::strerror(error) + ")";
    return StatusFromErrno(error);
  }
  changed_ = true;
  return kRegistrySuccess;
}

RegistryStatus HiveFile::Fail(const std::string& what) {
  const int error = errno;
  // libhivex may have changed part of its records before failing: nothing
  // more is done to this hive, and it is not written back.
  failure_ = what + " failed (" + std::strerror(error) + ")";
  return StatusFromErrno(error);
}

RegistryStatus HiveFile::AddChild(Node parent, const std::wstring& name, bool link, Node& child) {
  const RegistryStatus status = BeginChange();
  if (status != kRegistrySuccess) return status;
  const hive_node_h added = hivex_node_add_child(hive_, parent, EncodeUtf8(name).c_str());
  if (added == 0) return Fail("adding a key");
  created_[added] = link;
  child = added;
  return kRegistrySuccess;
}

RegistryStatus HiveFile::DeleteLeaf(Node node) {
  const RegistryStatus status = BeginChange();
  if (status != kRegistrySuccess) return status;
  if (hivex_node_delete_child(hive_, node) != 0) return Fail("deleting a key");
  created_.erase(node);
  return kRegistrySuccess;
}

RegistryStatus HiveFile::ReplaceValues(Node node, const std::vector<NewValue>& values) {
  std::vector<std::string> names;
  std::vector<hive_set_value> set;
  for (const NewValue& value : values) {
    if (minorVersion_ >= 4 && value.data.size() > kLargestSingleCell) return kRegistryNotSupported;
    names.push_back(EncodeUtf8(value.name));
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    set.push_back(hive_set_value{const_cast<char*>(names[i].c_str()),
                                 static_cast<hive_type>(values[i].type), values[i].data.size(),
                                 reinterpret_cast<char*>(const_cast<std::uint8_t*>(values[i].data.data()))});
  }
  const RegistryStatus status = BeginChange();
  if (status != kRegistrySuccess) return status;
  if (hivex_node_set_values(hive_, node, set.size(), set.data(), 0) != 0) return Fail("writing values");
  return kRegistrySuccess;
}

bool HiveFile::WriteBack(std::string& error) {
  if (!changed_ || !failure_.empty()) return true;
  const std::string fresh = path_ + ".morvane-new";
  if (!WriteFresh(fresh) || rename(fresh.c_str(), path_.c_str()) != 0) {
    error = std::strerror(errno != 0 ? errno : EIO);
    unlink(fresh.c_str());
    return false;
  }
  // The rename is done; a folder that cannot be synced leaves it to the
  // volume's own flushing.
  static_cast<void>(SyncFolder(path_));
  return true;
}

bool HiveFile::WriteFresh(const std::string& fresh) {
  unlink(fresh.c_str());
  errno = 0;
  // libhivex writes the whole hive, its header updated, with no sync.
  if (hivex_commit(hive_, fresh.c_str(), 0) != 0) return false;
  FileDescriptor file(open(fresh.c_str(), O_RDWR | O_CLOEXEC));
  if (file.get() < 0) return false;
  // Keys created as links get the flag that libhivex cannot set.
  for (const auto& [node, link] : created_) {
    std::uint8_t flags[2] = {};
    const auto at = static_cast<off_t>(node + kKeyFlagsAt);
    if (!link) continue;
    if (pread(file.get(), flags, 2, at) != 2) return false;
    flags[0] = static_cast<std::uint8_t>(flags[0] | kKeySymLink);
    if (pwrite(file.get(), flags, 2, at) != 2) return false;
  }
  CopyNtfsAttributes(file_, file.get());
  return fsync(file.get()) == 0 && file.Close();
}
