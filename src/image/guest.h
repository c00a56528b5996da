#pragma once
// The disks of a Windows machine opened in libguestfs' appliance, a small
// virtual machine with its own kernel and ntfs-3g: the host never mounts the
// file systems on them. One handle, closed (and its virtual machine ended)
// when its owner ends.

#include <cstdint>
#include <string>
#include <vector>

struct guestfs_h;
struct guestfs_statns;

class Guest {
 public:
  struct Disk {
    std::string path;    // an image file, or a block device such as /dev/sdb
    std::string format;  // qemu's name of its format ("raw", "qcow2"...)
  };
  struct Root {
    std::string device;      // the file system that holds Windows, as the appliance names it
    std::string product;     // "Windows 7 Professional"
    std::string systemRoot;  // its Windows folder, /Windows
    std::size_t disk = 0;    // which of the disks holds it, in the order they were given
    int partition = 0;       // its partition's number on that disk; 0 for a file system on the whole disk
  };
  enum class Kind { Missing, Folder, File, Link, Other };
  struct Attribute {
    std::string path;
    const char* name;
    std::string value;
  };

  Guest() = default;
  ~Guest();
  Guest(const Guest&) = delete;
  Guest& operator=(const Guest&) = delete;

  // Starts the appliance with `disks`, read-only or for writing. Opened for
  // writing, an image that a running virtual machine holds is refused by
  // qemu's locks (`inUse`). Where KVM is present but does not start, the
  // appliance is started again without it, unless LIBGUESTFS_BACKEND_SETTINGS
  // already chooses.
  [[nodiscard]] bool Launch(const std::vector<Disk>& disks, bool readOnly, std::string& problem, bool& inUse,
                            bool& withoutKvm);
  // The Windows installations on the disks: those in a Windows folder at
  // the root of an NTFS file system, else those libguestfs' inspection finds.
  [[nodiscard]] bool FindWindows(std::vector<Root>& roots, std::string& problem);
  // Mounts `device` at / in the appliance, through ntfs-3g when it is NTFS.
  [[nodiscard]] bool Mount(const std::string& device, bool writable, std::string& problem);
  [[nodiscard]] bool Unmount(std::string& problem);

  // What stands at `path`, a link not followed.
  [[nodiscard]] bool KindOf(const std::string& path, Kind& kind);
  [[nodiscard]] bool List(const std::string& folder, std::vector<std::string>& names);
  [[nodiscard]] bool ReadLink(const std::string& path, std::string& target);
  [[nodiscard]] bool Download(const std::string& path, const std::string& local);
  // The first `size` bytes of the file (fewer when it is shorter).
  [[nodiscard]] bool ReadHead(const std::string& path, std::size_t size, std::string& bytes);
  [[nodiscard]] bool Upload(const std::string& local, const std::string& path);
  [[nodiscard]] bool Size(const std::string& path, std::int64_t& size);
  // An extended attribute; `present` false when the file has none of that name.
  [[nodiscard]] bool GetAttribute(const std::string& path, const char* name, std::string& value, bool& present);
  [[nodiscard]] bool SetAttribute(const std::string& path, const char* name, const std::string& value);
  // Sets each of `attributes` through one command in the appliance; false
  // when any was not set (the caller reads them back to know which).
  [[nodiscard]] bool SetAttributes(const std::vector<Attribute>& attributes);
  // How many names the file at `path` has.
  [[nodiscard]] bool NameCount(const std::string& path, std::int64_t& names);
  // Gives the file at `target` the new, second name `name`.
  [[nodiscard]] bool Link(const std::string& target, const std::string& name);
  // Copies the file at `from` to the new file `to`, inside the appliance.
  [[nodiscard]] bool CopyFile(const std::string& from, const std::string& to);
  // The SHA-256 digest of the file's bytes, as the appliance reads them.
  [[nodiscard]] bool Digest(const std::string& path, std::string& digest);
  [[nodiscard]] bool Rename(const std::string& from, const std::string& to);
  [[nodiscard]] bool Remove(const std::string& path);
  [[nodiscard]] bool MakeFolder(const std::string& path);
  [[nodiscard]] bool Sync();
  // The bytes free to a user other than root on the mounted volume.
  [[nodiscard]] bool FreeSpace(std::int64_t& free);
  // Unmounts everything and ends the appliance; false with the reason when
  // the disks may not hold everything written.
  [[nodiscard]] bool Shutdown(std::string& problem);

  // libguestfs' message about the last call that failed.
  std::string Error() const;

 private:
  bool Start(const std::vector<Disk>& disks, bool readOnly, bool forceTcg, std::string& output);
  void Close();
  bool UnmountAll();
  // One field of what stands at `path`, a link not followed.
  bool Status(const std::string& path, std::int64_t guestfs_statns::*field, std::int64_t& value);
  // Whether `device` holds a Windows folder with its registry at its root: `root` then names it.
  bool WindowsOn(const std::string& device, const std::string& disk, Root& root);
  Root RootOn(const std::string& device, const std::string& disk, std::string product, std::string systemRoot);

  guestfs_h* handle_ = nullptr;
  std::size_t disks_ = 0;  // how many disks were added
  bool mounted_ = false;   // whether a file system is mounted
  bool unsynced_ = false;  // whether one was mounted for writing since the last sync with none mounted
  std::string mountedType_;  // the file system type of the last device mounted, and that device
  std::string mountedDevice_;
  std::string readOnly_;  // the device mounted for reading when its Windows was found, while it stays so
};
