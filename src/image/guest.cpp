#include "image/guest.h"

#include <fcntl.h>
#include <guestfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "posix/file_descriptor.h"

namespace {

// qemu's words when another process (a running virtual machine) holds the
// image and will not share writing to it.
constexpr const char* kLockRefused[] = {"Failed to get \"write\" lock", "Failed to get shared \"write\" lock"};

// A string list that libguestfs returned, freed with its strings.
struct StringList {
  char** items;
  explicit StringList(char** list) : items(list) {}
  ~StringList() {
    for (char** item = items; item != nullptr && *item != nullptr; ++item) free(*item);
    free(items);
  }
  StringList(const StringList&) = delete;
  StringList& operator=(const StringList&) = delete;
};

// A string that libguestfs returned; empty when the call failed.
std::string Take(char* text) {
  std::string taken = text == nullptr ? std::string() : std::string(text);
  free(text);
  return taken;
}

// Files go to and from the appliance in pieces of this size, each in one
// message (libguestfs' messages hold up to 4 MiB): one call each, where its
// streamed transfers cost a tenth of a second per file in an emulated
// appliance, whatever its size.
constexpr std::size_t kTransferChunk = 2 << 20;

// The appliance's name of the disk added `index`-th (from 0): /dev/sda to
// /dev/sdz, then /dev/sdaa on.
std::string DriveName(std::size_t index) {
  std::string letters;
  for (std::size_t n = index + 1; n > 0; n = (n - 1) / 26) letters.insert(letters.begin(), static_cast<char>('a' + (n - 1) % 26));
  return "/dev/sd" + letters;
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// Keeps what qemu and the appliance say while starting (the console's
// messages): qemu's reason for not starting is among them.
void KeepMessage(guestfs_h*, void* kept, std::uint64_t, int, int, const char* text, std::size_t size,
                 const std::uint64_t*, std::size_t) {
  static_cast<std::string*>(kept)->append(text, size);
}

}  // namespace

Guest::~Guest() { Close(); }

void Guest::Close() {
  if (handle_ != nullptr) guestfs_close(handle_);
  handle_ = nullptr;
}

std::string Guest::Error() const {
  const char* error = handle_ == nullptr ? nullptr : guestfs_last_error(handle_);
  return error == nullptr ? std::string("libguestfs could not be started") : std::string(error);
}

bool Guest::Start(const std::vector<Disk>& disks, bool readOnly, bool forceTcg, std::string& output) {
  Close();
  disks_ = disks.size();
  handle_ = guestfs_create();
  if (handle_ == nullptr) return false;
  guestfs_set_error_handler(handle_, nullptr, nullptr);
  // qemu in a process group of its own: a Ctrl-C at the terminal reaches
  // only this program, which stops after its current step and shuts the
  // appliance down itself, never the appliance in the middle of a write.
  if (guestfs_set_pgroup(handle_, 1) != 0) return false;
  const int listening = guestfs_set_event_callback(handle_, KeepMessage, GUESTFS_EVENT_APPLIANCE, 0, &output);
  for (const Disk& disk : disks) {
    if (guestfs_add_drive_opts(handle_, disk.path.c_str(), GUESTFS_ADD_DRIVE_OPTS_READONLY, readOnly ? 1 : 0,
                               GUESTFS_ADD_DRIVE_OPTS_FORMAT, disk.format.c_str(), -1) != 0) {
      return false;
    }
  }
  if (forceTcg) {
    char setting[] = "force_tcg";
    char* const settings[] = {setting, nullptr};
    if (guestfs_set_backend_settings(handle_, settings) != 0) return false;
  }
  // qemu writes why it did not start to the standard error it inherits: it
  // is kept aside, to be shown only when the start failed for good.
  std::FILE* kept = std::tmpfile();
  const FileDescriptor saved(dup(STDERR_FILENO));
  if (kept != nullptr && saved.get() >= 0) dup2(fileno(kept), STDERR_FILENO);
  const int launched = guestfs_launch(handle_);
  if (listening >= 0) guestfs_delete_event_callback(handle_, listening);
  if (kept != nullptr && saved.get() >= 0) dup2(saved.get(), STDERR_FILENO);
  if (kept != nullptr) {
    std::rewind(kept);
    char buffer[4096];
    for (std::size_t got = 0; (got = std::fread(buffer, 1, sizeof buffer, kept)) > 0;) output.append(buffer, got);
    std::fclose(kept);
  }
  return launched == 0;
}

bool Guest::Launch(const std::vector<Disk>& disks, bool readOnly, std::string& problem, bool& inUse,
                   bool& withoutKvm) {
  std::string output;
  const char* chosen = std::getenv("LIBGUESTFS_BACKEND_SETTINGS");
  withoutKvm = false;
  bool started = Start(disks, readOnly, false, output);
  inUse = false;
  for (const char* words : kLockRefused) inUse = inUse || Contains(output, words);
  // KVM that is there but does not start (as on some virtual hardware) fails
  // at once; the appliance then runs without it, slower. A working KVM is
  // never passed over.
  if (!started && !inUse && (chosen == nullptr || *chosen == '\0') && access("/dev/kvm", F_OK) == 0) {
    output.clear();
    withoutKvm = true;
    started = Start(disks, readOnly, true, output);
    for (const char* words : kLockRefused) inUse = inUse || Contains(output, words);
  }
  if (!started) {
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    problem = Error() + (output.empty() ? "" : "\n" + output);
  }
  return started;
}

Guest::Root Guest::RootOn(const std::string& device, const std::string& disk, std::string product,
                          std::string systemRoot) {
  // A file system on a whole disk is no partition, and is its own disk.
  const int index = guestfs_device_index(handle_, disk.c_str());
  const int partition = device == disk ? 0 : guestfs_part_to_partnum(handle_, device.c_str());
  // The product name is the guest's own text: shown without its control characters.
  for (char& c : product) c = static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
  return Root{device, product, std::move(systemRoot), index < 0 ? 0 : static_cast<std::size_t>(index),
              partition < 0 ? 0 : partition};
}

bool Guest::WindowsOn(const std::string& device, const std::string& disk, Root& root) {
  // Mounted as Mount mounts it for reading, and left so when it holds the
  // Windows, for the copies.
  if (!UnmountAll()) return false;
  readOnly_.clear();
  if (guestfs_mount_vfs(handle_, "ro", "ntfs-3g", device.c_str(), "/") != 0) return false;
  mounted_ = true;
  // The last part of a path need not exist for its letter case to be found.
  const std::string folder = Take(guestfs_case_sensitive_path(handle_, "/windows"));
  const std::string software =
      folder.empty() ? std::string() : Take(guestfs_case_sensitive_path(handle_, (folder + "/system32/config/software").c_str()));
  const bool found = !software.empty() && guestfs_is_file(handle_, software.c_str()) == 1;
  if (!found) {
    static_cast<void>(UnmountAll());
    return false;
  }
  std::string product;
  if (guestfs_hivex_open(handle_, software.c_str(), -1) == 0) {
    std::int64_t node = guestfs_hivex_root(handle_);
    for (const char* name : {"Microsoft", "Windows NT", "CurrentVersion"}) {
      node = node > 0 ? guestfs_hivex_node_get_child(handle_, node, name) : 0;
    }
    const std::int64_t value = node > 0 ? guestfs_hivex_node_get_value(handle_, node, "ProductName") : 0;
    if (value > 0) product = Take(guestfs_hivex_value_string(handle_, value));
    guestfs_hivex_close(handle_);
  }
  readOnly_ = mountedDevice_ = device;
  mountedType_ = "ntfs";
  root = RootOn(device, disk, product.empty() ? "Windows" : product, folder);
  return true;
}

bool Guest::FindWindows(std::vector<Root>& roots, std::string& problem) {
  // Windows in its usual folder at the root of a partition, or of a disk
  // without partitions, that ntfs-3g mounts: a few calls each. libguestfs'
  // own inspection, which probes every file system in depth and takes
  // seconds in an emulated appliance, looks for it elsewhere.
  // The disks are named as they were added (libguestfs' own list of them
  // costs a call that waits for the appliance's devices to settle, as the
  // list of partitions does).
  const StringList partitions(guestfs_list_partitions(handle_));
  if (partitions.items == nullptr) {
    problem = Error();
    return false;
  }
  for (std::size_t index = 0; index < disks_; ++index) {
    const std::string disk = DriveName(index);
    bool partitioned = false;
    for (char** part = partitions.items; *part != nullptr; ++part) {
      if (std::strncmp(*part, disk.c_str(), disk.size()) != 0 ||
          !std::isdigit(static_cast<unsigned char>((*part)[disk.size()]))) {
        continue;
      }
      partitioned = true;
      Root root;
      if (WindowsOn(*part, disk, root)) roots.push_back(root);
    }
    Root root;
    if (!partitioned && WindowsOn(disk, disk, root)) roots.push_back(root);
  }
  if (!roots.empty()) return true;
  static_cast<void>(UnmountAll());
  readOnly_.clear();
  const StringList found(guestfs_inspect_os(handle_));
  if (found.items == nullptr) {
    problem = Error();
    return false;
  }
  for (char** root = found.items; *root != nullptr; ++root) {
    if (Take(guestfs_inspect_get_type(handle_, *root)) != "windows") continue;
    const std::string disk = Take(guestfs_part_to_dev(handle_, *root));
    roots.push_back(RootOn(*root, disk.empty() ? *root : disk, Take(guestfs_inspect_get_product_name(handle_, *root)),
                           Take(guestfs_inspect_get_windows_systemroot(handle_, *root))));
  }
  return true;
}

bool Guest::Mount(const std::string& device, bool writable, std::string& problem) {
  // ntfs-3g shows each file's Windows security descriptor and attributes,
  // which a replaced registry file keeps; it refuses a hibernated volume, and
  // one Windows did not close cleanly, for writing.
  if (!writable && device == readOnly_) return true;  // mounted so when it was found
  if (!readOnly_.empty() && !UnmountAll()) {
    problem = Error();
    return false;
  }
  readOnly_.clear();
  if (device != mountedDevice_) {
    mountedType_ = Take(guestfs_vfs_type(handle_, device.c_str()));
    mountedDevice_ = device;
  }
  const std::string& type = mountedType_;
  if (guestfs_mount_vfs(handle_, writable ? "" : "ro", type == "ntfs" ? "ntfs-3g" : type.c_str(), device.c_str(),
                        "/") == 0) {
    mounted_ = true;
    unsynced_ = unsynced_ || writable;
    return true;
  }
  problem = Error();
  return false;
}

bool Guest::UnmountAll() {
  const bool unmounted = guestfs_umount_all(handle_) == 0;
  mounted_ = mounted_ && !unmounted;
  return unmounted;
}

bool Guest::Unmount(std::string& problem) {
  readOnly_.clear();
  if (UnmountAll()) return true;
  problem = Error();
  return false;
}

bool Guest::KindOf(const std::string& path, Kind& kind) {
  kind = Kind::Missing;
  struct guestfs_statns* status = guestfs_lstatns(handle_, path.c_str());
  if (status == nullptr) return guestfs_last_errno(handle_) == ENOENT;
  const auto mode = static_cast<mode_t>(status->st_mode);
  kind = S_ISDIR(mode) ? Kind::Folder : S_ISREG(mode) ? Kind::File : S_ISLNK(mode) ? Kind::Link : Kind::Other;
  guestfs_free_statns(status);
  return true;
}

bool Guest::Status(const std::string& path, std::int64_t guestfs_statns::*field, std::int64_t& value) {
  struct guestfs_statns* status = guestfs_lstatns(handle_, path.c_str());
  if (status == nullptr) return false;
  value = status->*field;
  guestfs_free_statns(status);
  return true;
}

bool Guest::Size(const std::string& path, std::int64_t& size) { return Status(path, &guestfs_statns::st_size, size); }

bool Guest::NameCount(const std::string& path, std::int64_t& names) {
  return Status(path, &guestfs_statns::st_nlink, names);
}

bool Guest::Link(const std::string& target, const std::string& name) {
  return guestfs_ln(handle_, target.c_str(), name.c_str()) == 0;
}

bool Guest::List(const std::string& folder, std::vector<std::string>& names) {
  const StringList listed(guestfs_ls(handle_, folder.c_str()));
  if (listed.items == nullptr) return false;
  for (char** name = listed.items; *name != nullptr; ++name) names.emplace_back(*name);
  return true;
}

bool Guest::ReadLink(const std::string& path, std::string& target) {
  char* read = guestfs_readlink(handle_, path.c_str());
  target = Take(read);
  return read != nullptr;
}

bool Guest::Download(const std::string& path, const std::string& local) {
  const FileDescriptor file(open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.get() < 0) return false;
  for (std::int64_t offset = 0;;) {
    std::size_t got = 0;
    char* read = guestfs_pread(handle_, path.c_str(), static_cast<int>(kTransferChunk), offset, &got);
    if (read == nullptr) {
      errno = 0;  // the appliance's reason, in Error()
      return false;
    }
    const std::unique_ptr<char, decltype(&free)> bytes(read, &free);
    if (got == 0) return true;
    for (std::size_t written = 0; written < got;) {
      const ssize_t put = write(file.get(), read + written, got - written);
      if (put <= 0) return false;
      written += static_cast<std::size_t>(put);
    }
    offset += static_cast<std::int64_t>(got);
  }
}

bool Guest::ReadHead(const std::string& path, std::size_t size, std::string& bytes) {
  std::size_t got = 0;
  char* read = guestfs_pread(handle_, path.c_str(), static_cast<int>(size), 0, &got);
  bytes = read == nullptr ? std::string() : std::string(read, got);
  free(read);
  return read != nullptr;
}

bool Guest::Upload(const std::string& local, const std::string& path) {
  const FileDescriptor file(open(local.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (file.get() < 0) return false;
  std::string chunk(kTransferChunk, '\0');
  // The first chunk makes the file (empty when the copy is), each next one
  // is written after it.
  for (std::int64_t offset = 0;;) {
    std::size_t got = 0;
    while (got < chunk.size()) {
      const ssize_t read = ::read(file.get(), &chunk[got], chunk.size() - got);
      if (read < 0) return false;
      if (read == 0) break;
      got += static_cast<std::size_t>(read);
    }
    if (offset == 0 && guestfs_write(handle_, path.c_str(), chunk.data(), got) != 0) return false;
    for (std::size_t written = offset == 0 ? got : 0; written < got;) {
      const int put = guestfs_pwrite(handle_, path.c_str(), chunk.data() + written, got - written,
                                     offset + static_cast<std::int64_t>(written));
      if (put <= 0) return false;
      written += static_cast<std::size_t>(put);
    }
    if (got < chunk.size()) return true;
    offset += static_cast<std::int64_t>(got);
  }
}

bool Guest::GetAttribute(const std::string& path, const char* name, std::string& value, bool& present) {
  std::size_t size = 0;
  char* read = guestfs_lgetxattr(handle_, path.c_str(), name, &size);
  present = read != nullptr;
  value = present ? std::string(read, size) : std::string();
  free(read);
  const int error = present ? 0 : guestfs_last_errno(handle_);
  return present || error == ENODATA || error == ENOTSUP;
}

bool Guest::SetAttribute(const std::string& path, const char* name, const std::string& value) {
  return SetAttributes({Attribute{path, name, value}});
}

bool Guest::SetAttributes(const std::vector<Attribute>& attributes) {
  // libguestfs' lsetxattr carries the value as a C string, which ends at the
  // first NUL byte of a security descriptor; the appliance's setfattr takes
  // values in hex, and restores many at once from getfattr's dump format on
  // its input (one process, through the daemon's shell; $root is where / is
  // mounted). Each path's bytes other than letters, digits and / . _ - are
  // written as the octal escapes setfattr reads, so the dump holds no quote
  // or newline of a name. The caller reads each attribute back through the
  // API, which carries bytes.
  static constexpr char kHex[] = "0123456789abcdef";
  // A shell's argument is limited to 128 KB: a long list goes in several commands.
  constexpr std::size_t kCommandLength = 96 * 1024;
  bool set = true;
  std::string dump;
  for (std::size_t i = 0; i < attributes.size(); ++i) {
    const Attribute& attribute = attributes[i];
    dump += "# file: ";
    for (std::size_t c = attribute.path.compare(0, 1, "/") == 0 ? 1 : 0; c < attribute.path.size(); ++c) {
      const auto byte = static_cast<unsigned char>(attribute.path[c]);
      if (std::isalnum(byte) != 0 || std::strchr("/._-", byte) != nullptr) {
        dump += static_cast<char>(byte);
      } else {
        dump += {'\\', static_cast<char>('0' + (byte >> 6)), static_cast<char>('0' + (byte >> 3 & 7)),
                 static_cast<char>('0' + (byte & 7))};
      }
    }
    dump += std::string("\n") + attribute.name + "=0x";
    for (char c : attribute.value) {
      const auto byte = static_cast<unsigned char>(c);
      dump += {kHex[byte >> 4], kHex[byte & 15]};
    }
    dump += "\n\n";
    if (i + 1 < attributes.size() && dump.size() < kCommandLength) continue;
    std::string command = "printf '%s' '" + dump + "' | (cd \"$root\" && setfattr -h --restore=-)";
    char* arguments[] = {command.data(), nullptr};
    char* output = guestfs_debug(handle_, "sh", arguments);
    set = set && output != nullptr;
    free(output);
    dump.clear();
  }
  return set;
}

bool Guest::CopyFile(const std::string& from, const std::string& to) {
  return guestfs_cp(handle_, from.c_str(), to.c_str()) == 0;
}

bool Guest::Digest(const std::string& path, std::string& digest) {
  char* read = guestfs_checksum(handle_, "sha256", path.c_str());
  digest = Take(read);
  return read != nullptr;
}

bool Guest::Rename(const std::string& from, const std::string& to) {
  return guestfs_rename(handle_, from.c_str(), to.c_str()) == 0;
}

bool Guest::Remove(const std::string& path) { return guestfs_rm(handle_, path.c_str()) == 0; }

bool Guest::MakeFolder(const std::string& path) { return guestfs_mkdir(handle_, path.c_str()) == 0; }

bool Guest::Sync() {
  const bool synced = guestfs_sync(handle_) == 0;
  unsynced_ = unsynced_ && (mounted_ || !synced);
  return synced;
}

bool Guest::FreeSpace(std::int64_t& free) {
  struct guestfs_statvfs* status = guestfs_statvfs(handle_, "/");
  if (status == nullptr) return false;
  free = status->bavail * status->bsize;
  guestfs_free_statvfs(status);
  return true;
}

bool Guest::Shutdown(std::string& problem) {
  // What ntfs-3g writes as it unmounts reaches the image by the sync after
  // it; libguestfs' own at the shutdown would only repeat both.
  if (UnmountAll() && (!unsynced_ || guestfs_sync(handle_) == 0) &&
      guestfs_set_autosync(handle_, 0) == 0 && guestfs_shutdown(handle_) == 0) {
    return true;
  }
  problem = Error();
  return false;
}
