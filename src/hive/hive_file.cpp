#include "hive/hive_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <hivex.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "hive/hive_layout.h"
#include "hive/hive_patch.h"
#include "hive/hive_walk.h"
#include "posix/file_descriptor.h"
#include "posix/utf8_console.h"

namespace {

using hive_format::kHeaderSize;
using hive_format::Read32;

constexpr std::size_t kHeaderFlagsAt = 144;
constexpr std::uint32_t kPendingTransactions = 0x1;  // in the header's flags
constexpr RegistryStatus kRegistryBadDb = 1009;         // ERROR_BADDB
// Handles of the values this run wrote, apart from libhivex's file offsets.
constexpr std::size_t kWrittenValue = std::size_t{1} << 62;
// Extended attributes through which ntfs-3g shows a file's NTFS security
// descriptor and attributes; a replaced hive keeps them.
constexpr const char* kNtfsAttributes[] = {"system.ntfs_acl", "system.ntfs_attrib_be"};
// The kernel's own NTFS driver (statfs's f_type), which shows neither.
constexpr unsigned long kNtfs3Magic = 0x7366746E;

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

// The path through which libhivex, which opens files by name, reaches an
// open descriptor's file.
std::string ThroughDescriptor(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Why the header of a hive file is unusable, and the kind of refusal; empty
// when it is sound.
std::string HeaderProblem(const std::uint8_t* header, HiveFile::Refusal& refusal) {
  if (std::memcmp(header, "regf", 4) != 0 || Read32(header + 20) != 1 || Read32(header + 28) != 0 ||
      hive_format::HeaderChecksum(header) != Read32(header + 508)) {
    return "is not a registry hive file";
  }
  const char* why = Read32(header + 4) != Read32(header + 8) ? "its two sequence numbers differ"
                    : (Read32(header + kHeaderFlagsAt) & kPendingTransactions) != 0
                        ? "its header says transactions are pending"
                        : nullptr;
  if (why != nullptr) {
    refusal = HiveFile::Refusal::kNotWrittenOut;
    return std::string("was not completely written out by Windows (") + why +
           "), and the changes still in its transaction logs would be lost";
  }
  return std::string();
}

// Why the hive file `file` in `folder` cannot be replaced; empty when it can.
std::string WriteProblem(int folder, int file, const struct stat& status) {
  struct statvfs volume {};
  struct statfs system {};
  if (fstatvfs(folder, &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0) {
    return "is on a volume mounted read-only";
  }
  if (fstatfs(folder, &system) == 0 && static_cast<unsigned long>(system.f_type) == kNtfs3Magic) {
    return "is on a volume mounted with the kernel's ntfs3 driver, which does not show the file's "
           "Windows security descriptor to keep. Mount the volume with ntfs-3g";
  }
  // Only the superuser may change another user's files: a file that denies
  // this user says so, rather than that it is read-only.
  const bool denied = (status.st_mode & 0222) != 0 && access(ThroughDescriptor(file).c_str(), W_OK) != 0;
  const bool folderDenied = !denied && access(ThroughDescriptor(folder).c_str(), W_OK) != 0;
  if ((denied || folderDenied) && geteuid() != 0 && (errno == EACCES || errno == EPERM)) {
    return std::string(denied ? "cannot be written" : "is in a folder that cannot be written to") +
           " by this user. Run morvane-offline as root (with sudo)";
  }
  if ((status.st_mode & 0222) == 0 || denied) return "is read-only";
  if (folderDenied) return "is in a folder that cannot be written to";
  return std::string();
}

// Gives `to` the NTFS security descriptor and attributes of `from`, and
// reads them back; false when they could not be kept. A file that has none
// (a volume that is not NTFS) has nothing to keep.
bool CopyNtfsAttributes(int from, int to) {
  for (const char* name : kNtfsAttributes) {
    std::vector<char> value(65536);
    std::vector<char> copy(value.size());
    const ssize_t size = fgetxattr(from, name, value.data(), value.size());
    if (size < 0 && (errno == ENODATA || errno == ENOTSUP)) continue;
    if (size < 0 || fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0) != 0 ||
        fgetxattr(to, name, copy.data(), copy.size()) != size ||
        !std::equal(value.begin(), value.begin() + size, copy.begin())) {
      if (errno == 0) errno = EIO;
      return false;
    }
  }
  return true;
}

// Gives `to` the owner, group and mode of `from`, and checks that they took:
// a file system that shows every file alike (ntfs-3g without its
// permissions option) has them already.
bool KeepOwnerAndMode(int from, int to) {
  struct stat original {};
  struct stat made {};
  if (fstat(from, &original) != 0) return false;
  // Whether they took is seen below, whatever the calls answer.
  [[maybe_unused]] const int owned = fchown(to, original.st_uid, original.st_gid);
  static_cast<void>(fchmod(to, original.st_mode & 07777));
  if (fstat(to, &made) != 0) return false;
  if (made.st_uid == original.st_uid && made.st_gid == original.st_gid &&
      (made.st_mode & 07777) == (original.st_mode & 07777)) {
    return true;
  }
  errno = EPERM;
  return false;
}

// Makes `name` in `folder` a synced copy of the file behind `from`, with the
// NTFS security descriptor and attributes of `attributes` where it can; a
// file left at that name by a run that was cut short is replaced. Returns 0
// or the errno of what failed.
int CopyFile(int from, int attributes, int folder, const std::string& name) {
  static_cast<void>(unlinkat(folder, name.c_str(), 0));
  FileDescriptor copy(openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (copy.get() < 0) return errno;
  std::vector<char> buffer(1 << 16);
  off_t at = 0;
  ssize_t got = 0;
  // The kernel copies where the file system lets it; elsewhere the bytes pass through here.
  while ((got = copy_file_range(from, &at, copy.get(), nullptr, std::size_t{1} << 30, 0)) > 0) {
  }
  errno = 0;
  while ((got = pread(from, buffer.data(), buffer.size(), at)) > 0) {
    // A short write is retried for the rest, which then fails with its reason.
    ssize_t written = 0;
    for (ssize_t put = 1; written < got && put > 0; written += put > 0 ? put : 0) {
      put = write(copy.get(), buffer.data() + written, static_cast<std::size_t>(got - written));
    }
    if (written != got) break;
    at += got;
  }
  // The backup takes the descriptor where it can; only a replaced hive must keep it.
  if (got == 0) static_cast<void>(CopyNtfsAttributes(attributes, copy.get()));
  if (got == 0 && fsync(copy.get()) == 0 && copy.Close()) return 0;
  const int error = errno != 0 ? errno : EIO;
  unlinkat(folder, name.c_str(), 0);
  return error;
}

// The bytes of a file as they were read, kept in a sealed file of memory
// that nothing else can reach: the run reads, backs up and copies from them
// however the file itself changes meanwhile (a file cut short under a
// mapping of it would end the run with SIGBUS).
bool ReadWhole(int file, FileDescriptor& memory, std::size_t& size) {
  memory = FileDescriptor(memfd_create("morvane-hive", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (memory.get() < 0) return false;
  // The kernel copies the bytes where it can; elsewhere they pass through here.
  off_t at = 0;
  ssize_t sent = 0;
  while ((sent = sendfile(memory.get(), file, &at, std::size_t{1} << 30)) > 0) {
  }
  size = static_cast<std::size_t>(at);
  std::vector<char> buffer(sent == 0 ? 0 : 1 << 20);
  for (ssize_t got = sent == 0 ? 0 : 1; got > 0;) {
    got = pread(file, buffer.data(), buffer.size(), static_cast<off_t>(size));
    if (got < 0) return false;
    ssize_t written = 0;
    for (ssize_t put = 1; written < got && put > 0; written += put > 0 ? put : 0) {
      put = write(memory.get(), buffer.data() + written, static_cast<std::size_t>(got - written));
    }
    if (written != got) return false;
    size += static_cast<std::size_t>(got);
  }
  return fcntl(memory.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0;
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Gives the file `from` of `folder` the name `to` there, never replacing a
// file (EEXIST). Returns 0 or the errno of what failed.
int PlaceAs(int folder, const std::string& from, const std::string& to) {
  if (renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  // A file system without that kind of rename: a second name, then the first one gone.
  if (linkat(folder, from.c_str(), folder, to.c_str(), 0) == 0) return unlinkat(folder, from.c_str(), 0) == 0 ? 0 : errno;
  return errno;
}

// Now as a FILETIME: 100 ns units since 1601, in UTC.
std::uint64_t FileTimeNow() {
  constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 as a FILETIME
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return kUnixEpoch + static_cast<std::uint64_t>(now.tv_sec) * 10000000ull + static_cast<std::uint64_t>(now.tv_nsec) / 100;
}

}  // namespace

std::wstring FoldName(const std::wstring& name) {
  // Windows upper-cases each UTF-16 unit by its own table; Unicode's simple
  // upper-case mapping agrees with it on the letters names are made of.
  std::wstring folded(name);
  for (wchar_t& c : folded) {
    if (c <= 0xFFFF) c = static_cast<wchar_t>(hive_format::Upcased(static_cast<char16_t>(c)));
  }
  return folded;
}

RegistryStatus StatusFromErrno(int error) {
  for (const ErrnoStatus& row : kErrnoStatuses) {
    if (row.error == error) return row.status;
  }
  return kRegistryBadDb;
}

std::unique_ptr<HiveFile> HiveFile::Open(int folder, const std::string& name, const std::string& path,
                                         bool writable, std::string& problem) {
  Refusal refusal = Refusal::kNone;
  return Open(folder, name, path, writable ? Use::kChange : Use::kRead, problem, refusal);
}

std::unique_ptr<HiveFile> HiveFile::Open(int folder, const std::string& name, const std::string& path,
                                         Use use, std::string& problem, Refusal& refusal) {
  try {
    return OpenWhole(folder, name, path, use, problem, refusal);
  } catch (const std::bad_alloc&) {
    problem = "cannot be read: there is not enough memory";
    refusal = Refusal::kUnreadable;
    return nullptr;
  }
}

std::unique_ptr<HiveFile> HiveFile::OpenWhole(int folder, const std::string& name, const std::string& path,
                                              Use use, std::string& problem, Refusal& refusal) {
  std::unique_ptr<HiveFile> hive(new HiveFile());
  const bool writable = use != Use::kRead;
  hive->name_ = name;
  hive->path_ = path;
  hive->writable_ = writable;
  hive->tryOnly_ = use == Use::kTry;
  refusal = Refusal::kUnreadable;
  hive->folder_ = FileDescriptor(fcntl(folder, F_DUPFD_CLOEXEC, 0));
  hive->file_ = FileDescriptor(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  std::uint8_t header[kHeaderSize] = {};
  if (hive->folder_.get() < 0 || hive->file_.get() < 0 || fstat(hive->file_.get(), &status) != 0) {
    problem = std::string("cannot be read: ") + std::strerror(errno);
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) {
    problem = "is not a regular file";
    return nullptr;
  }
  hive->identity_ = {status.st_dev, status.st_ino};
  problem = pread(hive->file_.get(), header, kHeaderSize, 0) == static_cast<ssize_t>(kHeaderSize)
                ? HeaderProblem(header, refusal)
                : "is not a registry hive file";
  // A hive tried for changes is checked as one to change: a dry run refuses what a run would.
  if (problem.empty() && use != Use::kRead) {
    problem = WriteProblem(hive->folder_.get(), hive->file_.get(), status);
    refusal = Refusal::kNotWritable;
  }
  if (!problem.empty()) return nullptr;
  refusal = Refusal::kUnreadable;
  // The hive is read once, whole; libhivex and the walk read that copy, and
  // the file is compared with it again before it is backed up and replaced.
  hive->size_ = static_cast<std::uint64_t>(status.st_size);
  hive->modified_ = status.st_mtim;
  std::size_t size = 0;
  struct stat after {};
  if (!ReadWhole(hive->file_.get(), hive->memory_, size) || fstat(hive->file_.get(), &after) != 0) {
    problem = std::string("cannot be read: ") + std::strerror(errno);
    return nullptr;
  }
  if (size != hive->size_ || static_cast<std::uint64_t>(after.st_size) != hive->size_ ||
      !SameTime(after.st_mtim, hive->modified_)) {
    problem = "changed while it was being read (another program is writing it). Run morvane-offline again "
              "once nothing else uses the volume";
    return nullptr;
  }
  void* mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, hive->memory_.get(), 0);
  if (mapped == MAP_FAILED) {
    problem = std::string("cannot be read: ") + std::strerror(errno);
    return nullptr;
  }
  hive->original_.bytes = static_cast<const std::uint8_t*>(mapped);
  hive->original_.size = size;
  if (std::memcmp(hive->original_.bytes, header, kHeaderSize) != 0) {
    problem = "changed while it was being read (another program is writing it). Run morvane-offline again "
              "once nothing else uses the volume";
    return nullptr;
  }
  hive->hive_ = hivex_open(ThroughDescriptor(hive->memory_.get()).c_str(), writable ? HIVEX_OPEN_WRITE : 0);
  if (hive->hive_ == nullptr) {
    problem = errno == ENOMEM ? "cannot be read: there is not enough memory"
                              : std::string("is not a registry hive file that can be read (") + std::strerror(errno) + ")";
    return nullptr;
  }
  refusal = Refusal::kNone;
  hive->root_ = hivex_root(hive->hive_);
  // What libhivex would read past or take for nothing is found here, before
  // anything is read for a change.
  const std::string damage = writable ? hive_format::StructureProblem(hive->original_.bytes, hive->original_.size)
                                      : std::string();
  if (!damage.empty()) hive->failure_ = "its structure is damaged: " + damage;
  return hive;
}

HiveFile::Mapping::~Mapping() {
  if (bytes != nullptr) munmap(const_cast<std::uint8_t*>(bytes), size);
}

bool HiveFile::AsRead() {
  // The name still leads to the file that was read...
  struct stat named {};
  struct stat opened {};
  if (fstatat(folder_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || fstat(file_.get(), &opened) != 0 ||
      named.st_dev != identity_.first || named.st_ino != identity_.second ||
      static_cast<std::uint64_t>(opened.st_size) != size_ || !SameTime(opened.st_mtim, modified_)) {
    return false;
  }
  // ...and it holds the same bytes, to its end.
  std::vector<std::uint8_t> buffer(1 << 20);
  for (std::size_t at = 0;;) {
    const ssize_t got = pread(file_.get(), buffer.data(), buffer.size(), static_cast<off_t>(at));
    if (got < 0 || static_cast<std::size_t>(got) > original_.size - at) return false;
    if (got == 0) return at == original_.size;
    if (std::memcmp(buffer.data(), original_.bytes + at, static_cast<std::size_t>(got)) != 0) return false;
    at += static_cast<std::size_t>(got);
  }
}

void HiveFile::ChangedElsewhere() {
  changedElsewhere_ = true;
  failure_ = "it changed during the run (another program wrote it, or put another file in its place). Run "
             "morvane-offline again once nothing else uses the volume";
}

std::unique_ptr<HiveFile> HiveFile::Open(const std::string& path, bool writable, std::string& problem) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  FileDescriptor opened(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (opened.get() < 0) {
    problem = std::string("cannot be read: ") + std::strerror(errno);
    return nullptr;
  }
  return Open(opened.get(), path.substr(slash + 1), path, writable, problem);
}

HiveFile::~HiveFile() {
  if (hive_ != nullptr) hivex_close(hive_);
}

RegistryStatus HiveFile::List(Node node, ChildList*& list) {
  list = &children_[node];
  if (list->ordered) return kRegistrySuccess;
  hive_node_h* nodes = hivex_node_children(hive_, node);
  if (nodes == nullptr) return StatusFromErrno(errno);
  list->ordered = true;
  list->nodes.clear();
  for (hive_node_h* child = nodes; *child != 0; ++child) {
    if (hidden_.count(*child) == 0) list->nodes.push_back(*child);
  }
  free(nodes);
  return kRegistrySuccess;
}

RegistryStatus HiveFile::Children(Node node, std::vector<Node>& children) {
  ChildList* list = nullptr;
  const RegistryStatus status = List(node, list);
  if (status == kRegistrySuccess) children = list->nodes;
  return status;
}

RegistryStatus HiveFile::FindChild(Node parent, const std::wstring& folded, Node& child) {
  ChildList* list = &children_[parent];
  // Each name is read and folded once, on the first lookup below the key;
  // the names then follow every key added and deleted, and the key is not
  // listed again for them.
  RegistryStatus status = list->named ? kRegistrySuccess : List(parent, list);
  if (!list->named) list->byName.reserve(list->nodes.size());
  for (std::size_t i = 0; status == kRegistrySuccess && !list->named && i < list->nodes.size(); ++i) {
    std::wstring name;
    status = Name(list->nodes[i], name);
    if (status == kRegistrySuccess) list->byName.emplace(FoldName(name), list->nodes[i]);
  }
  if (status != kRegistrySuccess) {
    list->byName.clear();
    return status;
  }
  list->named = true;
  const auto found = list->byName.find(folded);
  if (found == list->byName.end()) return kRegistryFileNotFound;
  child = found->second;
  return kRegistrySuccess;
}

RegistryStatus HiveFile::Name(Node node, std::wstring& name) {
  // A key of the file is named as stored, with its length; libhivex's names
  // end at a NUL.
  if (added_.count(node) == 0) {
    return hive_format::KeyName(original_.bytes, original_.size, node, name) ? kRegistrySuccess : kRegistryBadDb;
  }
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
  std::uint16_t flags = 0;
  if (!hive_format::KeyFlags(original_.bytes, original_.size, node, flags)) return kRegistryBadDb;
  isLink = (flags & hive_format::kKeySymLink) != 0;
  return kRegistrySuccess;
}

RegistryStatus HiveFile::Values(Node node, std::vector<ValueRef>& values) {
  values.clear();
  std::vector<std::size_t> handles;
  const auto set = values_.find(node);
  if (set != values_.end()) {
    handles = set->second;
  } else {
    hive_value_h* list = hivex_node_values(hive_, node);
    if (list == nullptr) return StatusFromErrno(errno);
    for (hive_value_h* value = list; *value != 0; ++value) handles.push_back(*value);
    free(list);
  }
  for (const std::size_t handle : handles) {
    ValueRef ref;
    ref.handle = handle;
    if ((handle & kWrittenValue) != 0) {
      const NewValue& written = written_[handle & ~kWrittenValue];
      ref.name = written.name;
      ref.type = written.type;
      ref.size = written.data.size();
    } else {
      // The name as stored, with its length: libhivex's names end at a NUL.
      std::uint32_t type = 0;
      if (!hive_format::ValueName(original_.bytes, original_.size, handle, ref.name) ||
          !hive_format::ValueKind(original_.bytes, original_.size, handle, type, ref.size)) {
        return kRegistryBadDb;
      }
      ref.type = static_cast<ValueType>(type);
    }
    values.push_back(std::move(ref));
  }
  return kRegistrySuccess;
}

RegistryStatus HiveFile::ReadData(std::size_t value, std::vector<std::uint8_t>& data) {
  if ((value & kWrittenValue) != 0) {
    data = written_[value & ~kWrittenValue].data;
    return kRegistrySuccess;
  }
  // Every value read is a record of the file: libhivex writes none.
  return hive_format::ValueData(original_.bytes, original_.size, value, data) ? kRegistrySuccess : kRegistryBadDb;
}

RegistryStatus HiveFile::BeginChange() {
  if (!writable_) return kRegistryAccessDenied;
  if (!failure_.empty()) return kRegistryBadDb;
  changed_ = true;
  return kRegistrySuccess;
}

bool HiveFile::MakeBackup(bool copy, std::string& error) {
  if (!AsRead()) {
    ChangedElsewhere();
    error = failure_;
    return false;
  }
  // A file of one name is backed up as a second name of itself: the new hive
  // takes the first name by a rename, and the original, its bytes just
  // compared with those read, stands whole at the backup's name with its
  // owner, mode, security descriptor and attributes, nothing copied.
  for (int attempt = 1; !copy && backupPath_.empty() && attempt <= 100; ++attempt) {
    const std::string suffix = ".morvane-backup" + (attempt > 1 ? "-" + std::to_string(attempt) : "");
    if (linkat(folder_.get(), name_.c_str(), folder_.get(), (name_ + suffix).c_str(), 0) == 0) {
      backupPath_ = path_ + suffix;
      backupLinked_ = true;
    } else if (errno != EEXIST) {
      break;  // a file system without second names: a copy instead
    }
  }
  if (backupLinked_) {
    static_cast<void>(fsync(file_.get()));
    static_cast<void>(fsync(folder_.get()));
    backedUp_ = true;
    return true;
  }
  // Otherwise the copy, of the bytes that were read, is made and synced
  // under a name of its own, then given the backup's name: that name only
  // ever holds a whole copy.
  const std::string partial = name_ + ".morvane-partial";
  int failed = CopyFile(memory_.get(), file_.get(), folder_.get(), partial);
  for (int attempt = 1; failed == 0 && backupPath_.empty(); ++attempt) {
    const std::string suffix = ".morvane-backup" + (attempt > 1 ? "-" + std::to_string(attempt) : "");
    failed = attempt > 100 ? EEXIST : PlaceAs(folder_.get(), partial, name_ + suffix);
    if (failed == 0) backupPath_ = path_ + suffix;
    if (failed == EEXIST && attempt <= 100) failed = 0;
  }
  if (failed != 0) {
    static_cast<void>(unlinkat(folder_.get(), partial.c_str(), 0));
    error = std::string("it could not be backed up (") + std::strerror(failed) + ")";
    return false;
  }
  static_cast<void>(fsync(folder_.get()));
  backedUp_ = true;
  return true;
}

RegistryStatus HiveFile::Fail(const std::string& what) {
  const int error = errno;
  // libhivex may have changed part of its records before failing: nothing
  // more is done to this hive, and it is not written back.
  failure_ = what + " failed (" + std::strerror(error) + ")";
  return StatusFromErrno(error);
}

RegistryStatus HiveFile::AddChild(Node parent, const std::wstring& name, bool link, Node& child) {
  try {
    return AddChildWhole(parent, name, link, child);
  } catch (const std::bad_alloc&) {
    // Part of the change may be made in memory: the hive is not written back.
    Abandon("there was not enough memory for a change");
    return kRegistryNotEnoughMemory;
  }
}

RegistryStatus HiveFile::AddChildWhole(Node parent, const std::wstring& name, bool link, Node& child) {
  RegistryStatus status = BeginChange();
  if (status != kRegistrySuccess) return status;
  const std::wstring folded = FoldName(name);
  // A key deleted in this run is still libhivex's, which refuses its name
  // again: it is made anew, empty, instead.
  const auto gone = std::find_if(deleted_.begin(), deleted_.end(), [&](const Deleted& deleted) {
    return deleted.parent == parent && deleted.folded == folded;
  });
  if (gone != deleted_.end()) {
    child = gone->node;
    status = ReplaceValues(child, {});
    if (status != kRegistrySuccess) return status;
    hidden_.erase(child);
    deleted_.erase(gone);
  } else {
    child = hivex_node_add_child(hive_, parent, EncodeUtf8(name).c_str());
    if (child == 0) return Fail("adding a key");
    added_.insert(child);
  }
  created_[child] = link;
  ChildList& list = children_[parent];
  list.ordered = false;  // read again, in the hive's order
  if (list.named) list.byName.emplace(folded, child);
  return kRegistrySuccess;
}

RegistryStatus HiveFile::DeleteLeaf(Node node) {
  try {
    return DeleteLeafWhole(node);
  } catch (const std::bad_alloc&) {
    // Part of the change may be made in memory: the hive is not written back.
    Abandon("there was not enough memory for a change");
    return kRegistryNotEnoughMemory;
  }
}

RegistryStatus HiveFile::DeleteLeafWhole(Node node) {
  const RegistryStatus status = BeginChange();
  if (status != kRegistrySuccess) return status;
  // The key is taken out of the list it was found in: the walk at the open
  // proved each key's parent field to name the key that lists it, and
  // libhivex sets it for the keys it adds. Each key is deleted once at most:
  // no hive can make the work repeat.
  const hive_node_h parent = hivex_node_parent(hive_, node);
  std::wstring name;
  if (parent == 0 || hidden_.count(node) != 0 || Name(node, name) != kRegistrySuccess) {
    errno = EINVAL;
    return Fail("deleting a key");
  }
  deleted_.push_back(Deleted{node, parent, FoldName(name)});
  hidden_.insert(node);
  const auto list = children_.find(parent);
  if (list != children_.end()) {
    auto& nodes = list->second.nodes;
    nodes.erase(std::remove(nodes.begin(), nodes.end(), node), nodes.end());
    list->second.byName.erase(deleted_.back().folded);
  }
  return kRegistrySuccess;
}

RegistryStatus HiveFile::ReplaceValues(Node node, const std::vector<NewValue>& values) {
  try {
    return ReplaceValuesWhole(node, values);
  } catch (const std::bad_alloc&) {
    // Part of the change may be made in memory: the hive is not written back.
    Abandon("there was not enough memory for a change");
    return kRegistryNotEnoughMemory;
  }
}

RegistryStatus HiveFile::ReplaceValuesWhole(Node node, const std::vector<NewValue>& values) {
  const RegistryStatus status = BeginChange();
  if (status != kRegistrySuccess) return status;
  std::vector<std::size_t> handles;
  for (const NewValue& value : values) {
    if (value.kept != 0) {
      handles.push_back(value.kept);
    } else {
      handles.push_back(written_.size() | kWrittenValue);
      written_.push_back(value);
    }
  }
  values_[node] = std::move(handles);
  return kRegistrySuccess;
}

bool HiveFile::WriteBack(std::string& error) {
  try {
    return WriteBackWhole(error);
  } catch (const std::bad_alloc&) {
    // The original is as it was; only the new file may stand.
    unlinkat(folder_.get(), (name_ + ".morvane-new").c_str(), 0);
    error = "there was not enough memory";
    return false;
  }
}

void HiveFile::Abandon(const std::string& why) {
  if (failure_.empty()) failure_ = why;
}

bool HiveFile::WriteBackWhole(std::string& error) {
  if (!changed_ || !failure_.empty() || tryOnly_) return true;
  // A file of several names (hard links) is written over in place: a rename
  // would give the new hive to one name and leave the old one at the others.
  struct stat status {};
  const bool linked = fstat(file_.get(), &status) == 0 && status.st_nlink > (backupLinked_ ? 2u : 1u);
  if (backupPath_.empty() && !MakeBackup(linked, error)) return false;
  const std::string fresh = name_ + ".morvane-new";
  // A file left by a run that was cut short is replaced; anything else
  // standing at that name makes the write-back fail.
  static_cast<void>(unlinkat(folder_.get(), fresh.c_str(), 0));
  errno = 0;
  FileDescriptor file(openat(folder_.get(), fresh.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  const bool made = file.get() >= 0;
  const bool written = made && WriteFresh(file.get(), error);
  // What another program wrote to the hive meanwhile is not replaced.
  const bool asRead = !written || AsRead();
  if (!asRead) {
    ChangedElsewhere();
    error = failure_;
  }
  const bool placed = written && asRead &&
                      (linked ? Overwrite(file.get(), error)
                              : file.Close() && renameat(folder_.get(), fresh.c_str(), folder_.get(), name_.c_str()) == 0);
  if (!placed) {
    if (error.empty()) error = std::strerror(errno != 0 ? errno : EIO);
    if (made) unlinkat(folder_.get(), fresh.c_str(), 0);
    // A backup that is a second name of the file, which stays, is taken back.
    if (backupLinked_ && unlinkat(folder_.get(), (name_ + backupPath_.substr(path_.size())).c_str(), 0) == 0) {
      backupPath_.clear();
      backupLinked_ = false;
      static_cast<void>(fsync(folder_.get()));
    }
    return false;
  }
  if (linked) unlinkat(folder_.get(), fresh.c_str(), 0);
  // The rename is done; a folder that cannot be synced leaves it to the
  // volume's own flushing.
  static_cast<void>(fsync(folder_.get()));
  return true;
}

bool HiveFile::Overwrite(int from, std::string& error) {
  FileDescriptor target(openat(folder_.get(), name_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (target.get() < 0 || fstat(target.get(), &status) != 0 || status.st_dev != identity_.first ||
      status.st_ino != identity_.second) {
    error = std::string("it could not be opened to be written over (") + std::strerror(errno != 0 ? errno : EIO) + ")";
    return false;
  }
  std::vector<char> buffer(1 << 20);
  off_t at = 0;
  ssize_t got = 0;
  while ((got = pread(from, buffer.data(), buffer.size(), at)) > 0) {
    if (pwrite(target.get(), buffer.data(), static_cast<std::size_t>(got), at) != got) {
      got = -1;
      break;
    }
    at += got;
  }
  if (got == 0 && ftruncate(target.get(), at) == 0 && fsync(target.get()) == 0 && target.Close()) return true;
  // The bytes written so far make neither the old hive nor the new one.
  writtenInPart_ = true;
  error = std::string("writing it over in place stopped part way (") + std::strerror(errno != 0 ? errno : EIO) +
          "), and it is damaged: copy its backup " + backupPath_ + " over it";
  return false;
}

// The whole file behind `file`, mapped; unmapped when it goes.
class FileMapping {
 public:
  FileMapping(int file, bool writable) {
    struct stat status {};
    if (fstat(file, &status) != 0 || status.st_size <= 0) return;
    void* mapped = mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ | (writable ? PROT_WRITE : 0),
                        MAP_SHARED | MAP_POPULATE, file, 0);
    if (mapped == MAP_FAILED) return;
    bytes_ = static_cast<std::uint8_t*>(mapped);
    size_ = static_cast<std::size_t>(status.st_size);
  }
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  ~FileMapping() {
    if (bytes_ != nullptr) munmap(bytes_, size_);
  }
  std::uint8_t* bytes() const noexcept { return bytes_; }
  std::size_t size() const noexcept { return size_; }

 private:
  std::uint8_t* bytes_ = nullptr;
  std::size_t size_ = 0;
};

// The keys whose last-write time Windows would set for this run's changes:
// each key created or whose values changed, and the key above each key
// created or deleted; deleted keys left out.
std::set<HiveFile::Node> HiveFile::Touched() const {
  std::set<Node> touched;
  for (const auto& [node, link] : created_) {
    touched.insert(node);
    touched.insert(hivex_node_parent(hive_, node));
  }
  for (const auto& [node, handles] : values_) touched.insert(node);
  for (const Deleted& deleted : deleted_) touched.insert(deleted.parent);
  touched.erase(0);
  for (const Node node : hidden_) touched.erase(node);
  return touched;
}

bool HiveFile::WriteFresh(int file, std::string& error) {
  // libhivex writes the keys it added, with no sync; the values, the link
  // flags and the deletions are patched into its bytes here, new cells
  // written after its bins.
  if (hivex_commit(hive_, ThroughDescriptor(file).c_str(), 0) != 0) return false;
  bool patched = false;
  {
    const FileMapping written(file, true);
    if (written.bytes() == nullptr) return false;
    hive_format::HivePatch patch(written.bytes(), written.size());
    patched = true;
    for (const auto& [node, handles] : values_) {
      std::vector<hive_format::ValueEntry> entries;
      for (const std::size_t handle : handles) {
        if ((handle & kWrittenValue) == 0) {
          entries.push_back(hive_format::ValueEntry{handle, {}, 0, {}});
          continue;
        }
        const NewValue& value = written_[handle & ~kWrittenValue];
        entries.push_back(hive_format::ValueEntry{0, value.name, static_cast<std::uint32_t>(value.type), value.data});
      }
      patched = patched && patch.SetValues(node, entries);
    }
    for (const auto& [node, link] : created_) patched = patched && patch.SetLink(node, link);
    const std::uint64_t now = FileTimeNow();
    for (const Node node : Touched()) patched = patched && patch.Stamp(node, now);
    for (const Deleted& deleted : deleted_) patched = patched && patch.DeleteKey(deleted.node, deleted.parent);
    patched = patched && patch.Finish(now);
    const std::vector<std::uint8_t>& tail = patch.Tail();
    const auto end = static_cast<off_t>(patch.TailOffset() + tail.size());
    if (patched && !tail.empty() &&
        (pwrite(file, tail.data(), tail.size(), static_cast<off_t>(patch.TailOffset())) != static_cast<ssize_t>(tail.size()) ||
         ftruncate(file, end) != 0)) {
      return false;
    }
  }
  const FileMapping final(file, false);
  const std::string problem = !patched ? "the records were not as they must be"
                              : final.bytes() == nullptr ? "it could not be read back"
                                                         : hive_format::StructureProblem(final.bytes(), final.size());
  if (!problem.empty()) {
    error = "the hive written would not be sound: " + problem;
    return false;
  }
  return KeepOwnerAndMode(file_.get(), file) && CopyNtfsAttributes(file_.get(), file) && fsync(file) == 0;
}
