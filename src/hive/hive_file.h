#pragma once
// One registry hive file of an offline Windows installation, open for the
// run: keys are listed and added through libhivex, names and flags read from
// the records as stored (hive_layout.h), values written as records of their
// own at the end. The file is read once, whole, into memory, and everything is
// read from that copy. Changes are kept in memory; the file on disk stays as
// it was until WriteBack copies the bytes read to a backup beside it and
// replaces it whole, once the new hive is proved sound. Before the backup and
// again before the replacement the file is checked to be the one read (the
// same file at its name, size, modification time and bytes): a hive another
// program changed meanwhile is neither backed up nor replaced. Every file is
// reached from a descriptor of the hive's own folder, never again by its path.

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "posix/file_descriptor.h"
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
  // One value of a key's new set: the value of handle `kept`, left as it
  // is, or (kept 0) a new one of this name, type and data.
  struct NewValue {
    std::wstring name;
    ValueType type = ValueType::RegNone;
    std::vector<std::uint8_t> data;
    std::size_t kept = 0;
  };

  // What the hive is opened for. kTry: checked as for changes, which are
  // made in memory only, without a backup, and never written back.
  enum class Use { kRead, kChange, kTry };
  // Why Open refused a hive.
  enum class Refusal {
    kNone,
    kUnreadable,     // not a registry hive, or it cannot be read
    kNotWrittenOut,  // Windows did not finish writing it out
    kNotWritable,    // it cannot be changed here, or not by this user
  };

  // Opens the hive `name` of the open folder `folder` (not following a link
  // at that name) for `use`; `path` names it in messages. Refuses, with the
  // reason in `problem` and its kind in `refusal`, a file that is no registry
  // hive, a hive that Windows did not finish writing out (its two sequence
  // numbers differ, or its header says transactions are pending: the changes
  // still in its logs would be lost; what to do about it is left to the
  // caller), and for changes a file or folder that cannot be written or whose
  // Windows security descriptor cannot be kept. A hive open for changes
  // whose structure is not sound (a record that is not what its key says, a
  // list that cannot be read) is opened with its Failure().
  static std::unique_ptr<HiveFile> Open(int folder, const std::string& name, const std::string& path,
                                        Use use, std::string& problem, Refusal& refusal);
  static std::unique_ptr<HiveFile> Open(int folder, const std::string& name, const std::string& path,
                                        bool writable, std::string& problem);
  // The same for the hive at `path`.
  static std::unique_ptr<HiveFile> Open(const std::string& path, bool writable,
                                        std::string& problem);
  ~HiveFile();
  HiveFile(const HiveFile&) = delete;
  HiveFile& operator=(const HiveFile&) = delete;

  const std::string& Path() const noexcept { return path_; }
  // The file's size when it was opened.
  std::uint64_t Size() const noexcept { return original_.size; }
  Node Root() const noexcept { return root_; }
  // The file's device and inode: two paths to one hive give the same.
  std::pair<dev_t, ino_t> Identity() const noexcept { return identity_; }

  // The keys below `node` in the hive's order, deleted ones left out.
  [[nodiscard]] RegistryStatus Children(Node node, std::vector<Node>& children);
  // The key below `parent` whose name folds (FoldName) to `folded`.
  [[nodiscard]] RegistryStatus FindChild(Node parent, const std::wstring& folded, Node& child);
  [[nodiscard]] RegistryStatus Name(Node node, std::wstring& name);
  // Whether the key carries the symbolic-link flag in its record.
  [[nodiscard]] RegistryStatus IsLink(Node node, bool& isLink);
  [[nodiscard]] RegistryStatus Values(Node node, std::vector<ValueRef>& values);
  [[nodiscard]] RegistryStatus ReadData(std::size_t value, std::vector<std::uint8_t>& data);

  [[nodiscard]] RegistryStatus AddChild(Node parent, const std::wstring& name, bool link,
                                        Node& child);
  // Deletes a key that has no subkeys, from the key it was listed under.
  // The key is only hidden here; its records are taken out of the written
  // file by WriteBack.
  [[nodiscard]] RegistryStatus DeleteLeaf(Node node);
  // Replaces the key's whole set of values.
  [[nodiscard]] RegistryStatus ReplaceValues(Node node, const std::vector<NewValue>& values);

  bool Changed() const noexcept { return changed_; }
  const std::string& BackupPath() const noexcept { return backupPath_; }
  // Whether a backup was made, also one taken back when the write-back failed.
  bool BackedUp() const noexcept { return backedUp_; }
  // Why changes to this hive were refused or left it in doubt; empty when
  // none was. Such a hive is never written back.
  const std::string& Failure() const noexcept { return failure_; }
  // Whether the failure is that the file changed during the run.
  bool ChangedDuringRun() const noexcept { return changedElsewhere_; }
  // Whether a write-back that failed left the file damaged: one written over
  // in place that stopped part way.
  bool WrittenInPart() const noexcept { return writtenInPart_; }

  // Copies a changed hive to its backup (first time only), then writes it
  // to a new file in the same folder, with the
  // original's owner, mode and NTFS attributes, proves its structure sound,
  // syncs it and renames it over the original, or, when the original has
  // other names (hard links), writes its bytes over the original in place
  // and syncs that; false with `error` when that failed, the original then
  // being as it was (but WrittenInPart). A hive that was not changed, or whose changes failed,
  // or one opened for kTry, is left alone.
  [[nodiscard]] bool WriteBack(std::string& error);
  // Gives up the changes made in memory, for `why`: the hive is not written back.
  void Abandon(const std::string& why);

 private:
  struct ChildList {
    std::vector<Node> nodes;
    std::unordered_map<std::wstring, Node> byName;  // by folded name, made on the first lookup
    bool named = false;
    bool ordered = false;  // false after a key was added: `nodes` is read again
  };
  struct Deleted {
    Node node;
    Node parent;
    std::wstring folded;
  };

  // The bytes of the file as read, mapped from memory_.
  struct Mapping {
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    Mapping() = default;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping();
  };

  HiveFile() = default;
  // Open and WriteBack, where an allocation may fail.
  static std::unique_ptr<HiveFile> OpenWhole(int folder, const std::string& name, const std::string& path, Use use,
                                             std::string& problem, Refusal& refusal);
  bool WriteBackWhole(std::string& error);
  // The changes, where an allocation may fail.
  RegistryStatus AddChildWhole(Node parent, const std::wstring& name, bool link, Node& child);
  RegistryStatus DeleteLeafWhole(Node node);
  RegistryStatus ReplaceValuesWhole(Node node, const std::vector<NewValue>& values);
  RegistryStatus BeginChange();
  // Backs the file up, as it was read, beside it: a second name of it, or a
  // copy when `copy` (a file of several names, written over in place) or
  // the file system has no second names; false with why not.
  bool MakeBackup(bool copy, std::string& error);
  // Whether the hive's name still leads to the file that was read, as it was read.
  bool AsRead();
  void ChangedElsewhere();
  // Writes the bytes of `from` over the hive file itself.
  bool Overwrite(int from, std::string& error);
  RegistryStatus Fail(const std::string& what);
  RegistryStatus List(Node node, ChildList*& list);
  bool WriteFresh(int file, std::string& error);
  std::set<Node> Touched() const;

  hive_h* hive_ = nullptr;
  FileDescriptor folder_;  // the folder that holds the hive
  FileDescriptor file_;    // the original file
  FileDescriptor memory_;  // its bytes as read, in a sealed file of memory
  Mapping original_;      // those bytes: names and flags as stored
  std::uint64_t size_ = 0;         // the file's size when it was read
  struct timespec modified_ {};    // and its modification time
  std::string name_;
  std::string path_;
  Node root_ = 0;
  std::pair<dev_t, ino_t> identity_{};
  bool writable_ = false;
  bool tryOnly_ = false;  // Use::kTry
  bool changed_ = false;
  bool changedElsewhere_ = false;
  bool writtenInPart_ = false;
  std::string backupPath_;
  bool backupLinked_ = false;  // the backup is a second name of the file
  bool backedUp_ = false;
  std::string failure_;
  std::map<Node, bool> created_;  // keys added (or made anew) in this run, and whether each is a link
  std::set<Node> added_;          // keys libhivex added in this run
  std::map<Node, ChildList> children_;
  std::map<Node, std::vector<std::size_t>> values_;  // the keys whose values were set, by value handle
  std::vector<NewValue> written_;  // the values this run wrote; their handles have kWrittenValue set
  std::vector<Deleted> deleted_;  // in the order they were deleted, subkeys before their parent
  std::set<Node> hidden_;         // the nodes of deleted_
};

// `name` upper-cased as the registry compares names; used for file names on
// the Windows volume too.
std::wstring FoldName(const std::wstring& name);

// The Win32 error code for a failed system or libhivex call's errno.
RegistryStatus StatusFromErrno(int error);
