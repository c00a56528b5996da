#include "offline/hive_file.h"

#include <cerrno>
#include <clocale>
#include <cstring>
#include <cwctype>
#include <fcntl.h>
#include <hivex.h>
#include <locale.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>

#include "posix/file_descriptor.h"
#include "posix/utf8_console.h"

namespace {

constexpr std::size_t kHeaderSize = 4096;
constexpr std::size_t kHeaderFlagsAt = 144;
constexpr std::uint32_t kPendingTransactions = 0x1;  // in the header's flags
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

std::uint32_t Read32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) |
         static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The path through which libhivex, which opens files by name, reaches an
// open descriptor's file.
std::string ThroughDescriptor(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Why the header of a hive file is unusable, and the kind of refusal; empty
// when it is sound.
std::string HeaderProblem(const std::uint8_t* header, HiveFile::Refusal& refusal) {
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < 508; at += 4) sum ^= Read32(header + at);
  if (sum == 0) sum = 1;
  if (sum == 0xFFFFFFFFu) sum = 0xFFFFFFFEu;
  if (std::memcmp(header, "regf", 4) != 0 || Read32(header + 20) != 1 || Read32(header + 28) != 0 ||
      sum != Read32(header + 508)) {
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
  static_cast<void>(fchown(to, original.st_uid, original.st_gid));
  static_cast<void>(fchmod(to, original.st_mode & 07777));
  if (fstat(to, &made) != 0) return false;
  if (made.st_uid == original.st_uid && made.st_gid == original.st_gid &&
      (made.st_mode & 07777) == (original.st_mode & 07777)) {
    return true;
  }
  errno = EPERM;
  return false;
}

// Makes `name` in `folder` a synced copy of the file behind `from`, never
// replacing a file. Returns 0 or the errno of what failed.
int CopyFile(int from, int folder, const std::string& name) {
  FileDescriptor copy(openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (copy.get() < 0) return errno;
  std::vector<char> buffer(1 << 16);
  off_t at = 0;
  ssize_t got = 0;
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
  if (got == 0) static_cast<void>(CopyNtfsAttributes(from, copy.get()));
  if (got == 0 && fsync(copy.get()) == 0 && copy.Close()) return 0;
  const int error = errno != 0 ? errno : EIO;
  unlinkat(folder, name.c_str(), 0);
  return error;
}

// Takes deleted keys out of a hive file that libhivex wrote: each key's entry
// leaves its parent's subkey list (an emptied list or index leaf is freed, and
// an emptied list recorded as none, as Windows does), the parent counts one
// subkey less, and the key's own cells (its record, values, their data, class
// name) are freed, its security record used once less. A cell is freed by
// making its size positive. libhivex never moves a key record, and reuses no
// freed cell, so the records found here are those of the run.
class DeletionPatch {
 public:
  // The file's bytes, mapped for writing.
  DeletionPatch(std::uint8_t* bytes, std::size_t size, std::uint32_t minorVersion)
      : bytes_(bytes), size_(size), minorVersion_(minorVersion) {}

  bool Delete(std::size_t node) {
    Expect(node, "nk");
    const std::size_t parent = Cell(U32(node + 20));
    Expect(parent, "nk");
    if (!Unlist(parent, static_cast<std::uint32_t>(node - kHeaderSize))) ok_ = false;
    Put32(parent + 24, U32(parent + 24) - 1);
    const std::uint32_t subkeyList = U32(node + 32);
    if (U32(node + 24) != 0) ok_ = false;  // only keys without subkeys are deleted
    if (subkeyList != kNone) Free(Cell(subkeyList));
    FreeValues(node);
    if (U32(node + 52) != kNone) Free(Cell(U32(node + 52)));
    ReleaseSecurity(Cell(U32(node + 48)));
    Free(node);
    return ok_;
  }

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  static std::size_t Cell(std::uint32_t offset) { return kHeaderSize + offset; }

  // Whether `size` bytes at `at` lie in the file (no record of the file is trusted).
  bool Within(std::size_t at, std::size_t size) {
    if (at < kHeaderSize || at > size_ || size_ - at < size) ok_ = false;
    return ok_;
  }
  std::uint32_t U32(std::size_t at) { return Within(at, 4) ? Read32(bytes_ + at) : 0; }
  std::uint16_t U16(std::size_t at) {
    return static_cast<std::uint16_t>(Within(at, 2) ? bytes_[at] | bytes_[at + 1] << 8 : 0);
  }
  void Put(std::size_t at, std::uint32_t value, std::size_t size) {
    for (std::size_t i = 0; i < size && Within(at, size); ++i) {
      bytes_[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }
  void Put32(std::size_t at, std::uint32_t value) { Put(at, value, 4); }
  void Put16(std::size_t at, std::uint16_t value) { Put(at, value, 2); }

  bool Is(std::size_t cell, const char* signature) {
    const std::uint32_t word = U32(cell + 4);
    return (word & 0xFF) == static_cast<std::uint8_t>(signature[0]) &&
           ((word >> 8) & 0xFF) == static_cast<std::uint8_t>(signature[1]);
  }
  void Expect(std::size_t cell, const char* signature) {
    if (!Is(cell, signature)) ok_ = false;
  }
  // A cell in use has a negative size; freed, the same size made positive.
  void Free(std::size_t cell) {
    const auto size = static_cast<std::int32_t>(U32(cell));
    if (size >= 0) ok_ = false;
    Put32(cell, static_cast<std::uint32_t>(-size));
  }

  // Removes `entry` from the list `cell` (4 or 8 bytes an entry); whether it was there.
  bool RemoveEntry(std::size_t cell, std::uint32_t entry, std::size_t width) {
    const std::uint16_t count = U16(cell + 6);
    for (std::uint16_t i = 0; i < count && ok_; ++i) {
      if (U32(cell + 8 + i * width) != entry) continue;
      for (std::size_t at = cell + 8 + i * width; at + width < cell + 8 + count * width; at += 4) {
        Put32(at, U32(at + width));
      }
      Put16(cell + 6, static_cast<std::uint16_t>(count - 1));
      return true;
    }
    return false;
  }

  bool RemoveFromLeaf(std::size_t leaf, std::uint32_t node) {
    if (Is(leaf, "li")) return RemoveEntry(leaf, node, 4);
    if (Is(leaf, "lf") || Is(leaf, "lh")) return RemoveEntry(leaf, node, 8);
    ok_ = false;
    return false;
  }

  // Takes `node` out of the subkey list of `parent`.
  bool Unlist(std::size_t parent, std::uint32_t node) {
    const std::size_t list = Cell(U32(parent + 32));
    bool found = false;
    if (Is(list, "ri")) {
      const std::uint16_t leaves = U16(list + 6);
      for (std::uint16_t i = 0; i < leaves && !found && ok_; ++i) {
        const std::uint32_t leafOffset = U32(list + 8 + i * 4u);
        const std::size_t leaf = Cell(leafOffset);
        found = RemoveFromLeaf(leaf, node);
        if (found && U16(leaf + 6) == 0) {
          Free(leaf);
          RemoveEntry(list, leafOffset, 4);
        }
      }
    } else {
      found = RemoveFromLeaf(list, node);
    }
    if (found && U16(list + 6) == 0) {
      Free(list);
      Put32(parent + 32, kNone);
    }
    return found;
  }

  void FreeValues(std::size_t node) {
    const std::uint32_t count = U32(node + 40);
    const std::uint32_t list = U32(node + 44);
    if (count == 0 || list == kNone) return;
    for (std::uint32_t i = 0; i < count && ok_; ++i) {
      const std::size_t value = Cell(U32(Cell(list) + 4 + i * 4u));
      Expect(value, "vk");
      const std::uint32_t size = U32(value + 8);
      // Data of at most 4 bytes (the top bit set) is held in the record itself.
      if ((size & 0x80000000u) == 0 && size > 0) FreeData(Cell(U32(value + 12)), size);
      Free(value);
    }
    Free(Cell(list));
  }

  void FreeData(std::size_t data, std::uint32_t size) {
    if (minorVersion_ >= 4 && size > kLargestSingleCell && Is(data, "db")) {
      const std::uint16_t segments = U16(data + 6);
      const std::size_t list = Cell(U32(data + 8));
      for (std::uint16_t i = 0; i < segments && ok_; ++i) Free(Cell(U32(list + 4 + i * 4u)));
      Free(list);
    }
    Free(data);
  }

  // One key fewer uses the security record; unused, it leaves the ring of
  // records and is freed.
  void ReleaseSecurity(std::size_t security) {
    Expect(security, "sk");
    const std::uint32_t uses = U32(security + 16);
    if (uses > 1) {
      Put32(security + 16, uses - 1);
      return;
    }
    const std::uint32_t next = U32(security + 8);
    const std::uint32_t previous = U32(security + 12);
    Put32(Cell(previous) + 8, next);
    Put32(Cell(next) + 12, previous);
    Free(security);
  }

  std::uint8_t* bytes_;
  std::size_t size_;
  std::uint32_t minorVersion_;
  bool ok_ = true;
};

}  // namespace

std::wstring FoldName(const std::wstring& name) {
  // Windows upper-cases each UTF-16 unit by its own table; Unicode's simple
  // upper-case mapping agrees with it on the letters names are made of.
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::wstring folded(name);
  for (wchar_t& c : folded) {
    if (c >= L'a' && c <= L'z') {
      c = static_cast<wchar_t>(c - (L'a' - L'A'));
    } else if (c >= 0x80 && c <= 0xFFFF && unicode != static_cast<locale_t>(nullptr)) {
      c = static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), unicode));
    }
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
  hive->originalSize_ = static_cast<std::uint64_t>(status.st_size);
  problem = pread(hive->file_.get(), header, kHeaderSize, 0) == static_cast<ssize_t>(kHeaderSize)
                ? HeaderProblem(header, refusal)
                : "is not a registry hive file";
  if (problem.empty() && use == Use::kChange) {
    problem = WriteProblem(hive->folder_.get(), hive->file_.get(), status);
    refusal = Refusal::kNotWritable;
  }
  if (!problem.empty()) return nullptr;
  refusal = Refusal::kUnreadable;
  hive->minorVersion_ = Read32(header + 24);
  hive->hive_ = hivex_open(ThroughDescriptor(hive->file_.get()).c_str(), writable ? HIVEX_OPEN_WRITE : 0);
  if (hive->hive_ == nullptr) {
    problem = std::string("is not a registry hive file that can be read (") + std::strerror(errno) + ")";
    return nullptr;
  }
  refusal = Refusal::kNone;
  hive->root_ = hivex_root(hive->hive_);
  return hive;
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
  ChildList* list = nullptr;
  RegistryStatus status = List(parent, list);
  // Each name is read and folded once, on the first lookup below the key.
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
      pread(file_.get(), flags, 2, static_cast<off_t>(node + kKeyFlagsAt)) != 2) {
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
  if (changed_ || tryOnly_) {
    changed_ = true;
    return kRegistrySuccess;
  }
  int error = EEXIST;
  for (int attempt = 1; attempt <= 100 && error == EEXIST; ++attempt) {
    const std::string suffix = ".morvane-backup" + (attempt > 1 ? "-" + std::to_string(attempt) : "");
    error = CopyFile(file_.get(), folder_.get(), name_ + suffix);
    if (error == 0) backupPath_ = path_ + suffix;
  }
  if (error != 0) {
    failure_ = std::string("it could not be backed up (") + std::strerror(error) + ")";
    return StatusFromErrno(error);
  }
  static_cast<void>(fsync(folder_.get()));
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
  }
  created_[child] = link;
  ChildList& list = children_[parent];
  list.ordered = false;  // read again, in the hive's order
  if (list.named) list.byName.emplace(folded, child);
  return kRegistrySuccess;
}

RegistryStatus HiveFile::DeleteLeaf(Node node) {
  const RegistryStatus status = BeginChange();
  if (status != kRegistrySuccess) return status;
  const hive_node_h parent = hivex_node_parent(hive_, node);
  std::wstring name;
  if (parent == 0) return Fail("deleting a key");
  if (Name(node, name) != kRegistrySuccess) return Fail("deleting a key");
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
  if (!changed_ || !failure_.empty() || tryOnly_) return true;
  const std::string fresh = name_ + ".morvane-new";
  // A file left by a run that was cut short is replaced; anything else
  // standing at that name makes the write-back fail.
  static_cast<void>(unlinkat(folder_.get(), fresh.c_str(), 0));
  errno = 0;
  FileDescriptor file(openat(folder_.get(), fresh.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  const bool made = file.get() >= 0;
  if (!made || !WriteFresh(file.get()) || !file.Close() ||
      renameat(folder_.get(), fresh.c_str(), folder_.get(), name_.c_str()) != 0) {
    error = std::strerror(errno != 0 ? errno : EIO);
    if (made) unlinkat(folder_.get(), fresh.c_str(), 0);
    return false;
  }
  // The rename is done; a folder that cannot be synced leaves it to the
  // volume's own flushing.
  static_cast<void>(fsync(folder_.get()));
  return true;
}

bool HiveFile::WriteFresh(int file) {
  // libhivex writes the whole hive, its header updated, with no sync.
  if (hivex_commit(hive_, ThroughDescriptor(file).c_str(), 0) != 0) return false;
  // Keys created get the link flag as asked, which libhivex cannot set.
  for (const auto& [node, link] : created_) {
    std::uint8_t flags[2] = {};
    const auto at = static_cast<off_t>(node + kKeyFlagsAt);
    if (pread(file, flags, 2, at) != 2) return false;
    flags[0] = static_cast<std::uint8_t>(link ? flags[0] | kKeySymLink : flags[0] & ~kKeySymLink);
    if (pwrite(file, flags, 2, at) != 2) return false;
  }
  if (!deleted_.empty()) {
    struct stat status {};
    void* mapped = fstat(file, &status) != 0 ? MAP_FAILED
                   : mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    if (mapped == MAP_FAILED) return false;
    DeletionPatch patch(static_cast<std::uint8_t*>(mapped), static_cast<std::size_t>(status.st_size), minorVersion_);
    bool patched = true;
    for (std::size_t i = 0; i < deleted_.size() && patched; ++i) patched = patch.Delete(deleted_[i].node);
    munmap(mapped, static_cast<std::size_t>(status.st_size));
    if (!patched) {
      errno = EIO;  // the records were not as libhivex writes them
      return false;
    }
  }
  return KeepOwnerAndMode(file_.get(), file) && CopyNtfsAttributes(file_.get(), file) && fsync(file) == 0;
}
