#pragma once
// One Windows installation on a volume mounted under Linux: its SOFTWARE and
// SYSTEM hives, and the classes hive of every user profile, found without
// regard to letter case and mounted in one offline registry. The volume is
// what malware left there: every file is reached from a descriptor of the
// root, one folder at a time, never through a link, a "." or ".." name, or
// onto another file system.

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/system_info.h"
#include "hive/hive_file.h"
#include "hive/hive_registry.h"
#include "registry/debugger_locks.h"

// The folder names of a Windows path, split at backslashes and slashes, as
// they are written.
std::vector<std::wstring> PathComponents(const std::wstring& path);
// A folder name as Windows takes it: its trailing dots and spaces dropped.
// Empty for ".", ".." and a name of dots and spaces alone, which is not followed.
std::wstring WindowsName(const std::wstring& component);

class WindowsVolume final : public SystemFiles {
 public:
  struct Profile {
    std::wstring sid;
    std::wstring folder;  // as Windows names it, C:\Users\alice
    std::unique_ptr<HiveFile> classes;
    std::wstring problem;  // why its classes hive cannot be repaired, when it has no `classes`
    // Its NTUSER.DAT beside the classes hive (Explorer's choices live there);
    // none, and why when it was not reached, or nothing for a missing file.
    std::unique_ptr<HiveFile> user;
    std::wstring userProblem;
    bool noFolder = false;  // listed, but its folder is not there: nothing to repair
    // A hive that is the same file (device and inode) as one an earlier
    // profile opened, of the same kind: repaired once, with that profile;
    // the note says so. One shared with a hive of another kind is a problem.
    std::wstring classesShared;
    std::wstring userShared;
  };

  // `tryOnly`: the hives are opened for changes in memory only (a dry run).
  explicit WindowsVolume(bool tryOnly = false) : tryOnly_(tryOnly) {}

  // Opens the SOFTWARE hive for changes and the SYSTEM hive for reading,
  // from the Windows folder below `root`, and mounts them under HKLM.
  // False with the reason, to be shown as it is, when that cannot be done.
  [[nodiscard]] bool OpenMachineHives(const std::string& root, std::string& problem);
  // Opens, for changes, the classes hive and the NTUSER.DAT of every profile
  // that SOFTWARE's profile list names, each where its folder holds it; a
  // hive that cannot be reached safely, cannot be read or was not written out
  // by Windows is kept with its problem and what to do, the other hive of the
  // profile opened all the same. A profile whose folder is not there is kept
  // as `noFolder`. False, with the reason, when a hive it reached cannot be
  // changed here (as the machine hives).
  [[nodiscard]] bool OpenProfiles(const SystemInfo& info, std::string& problem);
  // Makes HKCU the user of `profile`: its NTUSER.DAT where it has one, with
  // its classes hive, where it has one, at Software\Classes.
  void MountProfile(const Profile& profile);

  HiveRegistry& Registry() noexcept { return registry_; }
  std::vector<Profile>& Profiles() noexcept { return profiles_; }
  // Every hive open for changes.
  std::vector<HiveFile*> WritableHives();
  HiveFile& Software() noexcept { return *software_; }

  // The drive letter and colon that the Windows of the volume runs from ("C:").
  std::wstring Drive();
  // `text` with the variables of the folders of that Windows expanded, as
  // its registry names them: SystemRoot and windir, SystemDrive,
  // ProgramFiles, ProgramW6432 and ProgramFiles(x86).
  std::wstring Expand(const std::wstring& text) override;
  // Whether the Windows path `path`, on the drive that Windows runs from,
  // names a regular file of the volume, reached as every file here is.
  bool IsFile(const std::wstring& path) override;
  // Why the Windows of the volume must not be changed now: it is hibernated,
  // or was shut down with fast startup (its hiberfil.sys holds a saved
  // session); empty when it is not.
  std::string HibernationProblem();
  // Whether the volume is mounted read-only, and the refusal to show then:
  // the hibernation, when there is a saved session, else how to remount it.
  bool ReadOnlyMount();
  std::string ReadOnlyProblem();
  // The log and undo files of a run, by their paths here and as the running
  // Windows names them.
  struct Record {
    std::string log;
    std::string undo;
    std::wstring windowsLog;
    std::wstring windowsUndo;
  };
  // Creates, in the folder `Morvane` at the volume's root (made when missing;
  // never a link, and on the volume), an empty log file and undo file of
  // names that no earlier run used: Morvane.txt and Morvane-undo.reg, or
  // with -2, -3... False with the reason.
  [[nodiscard]] bool CreateRecord(Record& record, std::string& problem);
  // Whether CreateRecord could make them, checked without writing (a dry
  // run); false with the reason it would give.
  [[nodiscard]] bool CheckRecordPlace(std::string& problem);
  // The undo files that runs left in the folder `Morvane` at the volume's
  // root (names that fold to Morvane-undo.reg, Morvane-undo-2.reg...), in the
  // order of their numbers, each opened for reading as a regular file of the
  // volume reached through no link. False with the reason when the folder
  // cannot be read, or such a name is not such a file.
  struct RecordFile {
    std::string path;
    FileDescriptor file;
  };
  [[nodiscard]] bool OpenUndoFiles(std::vector<RecordFile>& files, std::string& problem);

 private:
  enum class Reach { Found, Missing, Refused };
  // Finds `relative` (components separated by backslashes or slashes) below
  // the root, as Windows resolves it: each component matched without regard
  // to letter case, its trailing dots and spaces dropped, or by its short
  // name: its folder, its name as the volume spells it and its whole path.
  // Refused, with `why`, when a component is "." or "..", a link, on another
  // file system, not what it must be (a folder, a regular file at the end),
  // matched by two entries, or a short name that cannot be read. Missing,
  // with the number of components found in `reached`, when one is not there.
  Reach Walk(const std::wstring& relative, FileDescriptor& folder, std::string& name, std::string& path,
             std::string& why, std::size_t* reached = nullptr);
  // Opens the hive at `relative`. Found with no hive, and the problem to
  // show, when it was reached but refused; Refused with why it was not
  // reached; Missing with the number of components `reached`.
  Reach OpenHive(const std::wstring& relative, bool writable, std::unique_ptr<HiveFile>& hive,
                 std::string& problem, HiveFile::Refusal& refusal, std::size_t& reached);
  void MountMachine();
  // Finds the folder `Morvane` at the root, made when `make` and missing;
  // otherwise, missing, only checked to be one that could be made, and not
  // opened. False with the reason.
  bool RecordFolder(bool make, std::string& folderName, FileDescriptor& folder, std::string& problem);
  // Whether hiberfil.sys, at `path`, holds a saved session.
  bool SavedSession(std::string& path);
  // SOFTWARE's SystemRoot ("C:\\Windows" when it names none).
  std::wstring SystemRoot();
  // Opens the NTUSER.DAT of `profile`, whose folder is `folder` below the
  // root; false, with the reason, when the hive it reached is refused.
  // The hives opened so far, by device and inode: which kind of hive each
  // is opened as (SOFTWARE and SYSTEM, a classes hive, an NTUSER.DAT) and
  // where.
  enum class Kind { kMachine, kClasses, kUser };
  struct Holder {
    Kind kind;
    std::wstring where;
  };
  using Seen = std::map<std::pair<dev_t, ino_t>, Holder>;
  // Keeps `hive`, opened as `kind` for `profile`, unless it is the same file
  // as one opened before: then it is closed, and a note or problem set.
  void KeepOnce(std::unique_ptr<HiveFile>& hive, Kind kind, const Profile& profile, Seen& seen,
                std::wstring& shared, std::wstring& problem);
  bool OpenUserHive(const std::wstring& folder, Profile& profile, Seen& seen, std::string& problem);

  bool tryOnly_ = false;
  std::string rootPath_;
  FileDescriptor root_;
  dev_t device_ = 0;
  std::unique_ptr<HiveFile> software_;
  std::unique_ptr<HiveFile> system_;
  std::vector<Profile> profiles_;
  HiveRegistry registry_;
};

// Reads a string value, or a REG_DWORD's number, of HKLM\path; false when
// there is none of that type.
bool ReadRegistryText(RegistryAccess& registry, const std::wstring& path, const std::wstring& name,
                      std::wstring& text);
bool ReadRegistryNumber(RegistryAccess& registry, const std::wstring& path, const std::wstring& name,
                        std::uint32_t& number);
