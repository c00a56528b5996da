#pragma once
// One registry hive file of an offline Windows installation, open through
// libhivex for the run. Changes are made in memory; the file on disk stays as
// it was until WriteBack replaces it whole. Before the first change the file
// is copied to a backup beside it.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "registry/registry_access.h"

struct hive_h;  // libhivex

class HiveFile {
 public:
  using Node = std::size_t;  // libhivex's node handle: the key record's offset in the file

  struct ValueRef {
    std::size_t handle = 0;
    std::wstring name;
    ValueType type = ValueType::RegNone;
    std::size_t size = 0;
  };
  struct NewValue {
    std::wstring name;
    ValueType type = ValueType::RegNone;
    std::vector<std::uint8_t> data;
  };

  // Opens the hive at `path`, for changes when `writable`. Refuses, with the
  // reason in `problem`, a file that is no registry hive, a hive that Windows
  // did not finish writing out (its two sequence numbers differ: the changes
  // still in its transaction logs would be lost), and for changes a file or
  // folder that cannot be written.
  static std::unique_ptr<HiveFile> Open(const std::string& path, bool writable,
                                        std::string& problem);
  ~HiveFile();
  HiveFile(const HiveFile&) = delete;
  HiveFile& operator=(const HiveFile&) = delete;

  const std::string& Path() const noexcept { return path_; }
  Node Root() const noexcept { return root_; }

  [[nodiscard]] RegistryStatus Children(Node node, std::vector<Node>& children);
  [[nodiscard]] RegistryStatus Name(Node node, std::wstring& name);
  // Whether the key carries the symbolic-link flag in its record.
  [[nodiscard]] RegistryStatus IsLink(Node node, bool& isLink);
  [[nodiscard]] RegistryStatus Values(Node node, std::vector<ValueRef>& values);
  [[nodiscard]] RegistryStatus ReadData(std::size_t value, std::vector<std::uint8_t>& data);

  [[nodiscard]] RegistryStatus AddChild(Node parent, const std::wstring& name, bool link,
                                        Node& child);
  // Deletes a key that has no subkeys.
  [[nodiscard]] RegistryStatus DeleteLeaf(Node node);
  // Replaces the key's whole set of values (libhivex writes no single value).
  [[nodiscard]] RegistryStatus ReplaceValues(Node node, const std::vector<NewValue>& values);

  bool Changed() const noexcept { return changed_; }
  const std::string& BackupPath() const noexcept { return backupPath_; }
  // Why changes to this hive were refused or left it in doubt; empty when
  // none was. Such a hive is never written back.
  const std::string& Failure() const noexcept { return failure_; }

  // Writes a changed hive to a new file in the same folder, syncs it and
  // renames it over the original; false with `error` when that failed, the
  // original then being as it was. A hive that was not changed, or whose
  // changes failed, is left alone.
  [[nodiscard]] bool WriteBack(std::string& error);

 private:
  HiveFile() = default;
  RegistryStatus BeginChange();
  RegistryStatus Fail(const std::string& what);
  bool WriteFresh(const std::string& fresh);

  hive_h* hive_ = nullptr;
  int file_ = -1;  // the original file, read for key flags libhivex does not expose
  std::string path_;
  Node root_ = 0;
  std::uint64_t originalSize_ = 0;
  std::uint32_t minorVersion_ = 0;
  bool writable_ = false;
  bool changed_ = false;
  std::string backupPath_;
  std::string failure_;
  std::map<Node, bool> created_;  // keys added in this run, and whether each is a link
};

// The Win32 error code for a failed system or libhivex call's errno.
RegistryStatus StatusFromErrno(int error);
