#include "offline/undo_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <sstream>
#include <utility>
#include <vector>

#include "driver/banner.h"
#include "host/system_info.h"
#include "offline/hive_host.h"
#include "offline/windows_volume.h"
#include "posix/file_descriptor.h"
#include "posix/utf8_console.h"
#include "registry/registry_text.h"
#include "registry/undo_reader.h"

namespace {

// The largest undo file read: a run's records take up to 7 bytes for each
// byte of the registry files it changes, and this is 7 times the largest
// SOFTWARE hive of a real machine and more. Memory for it is asked for as it
// is read; what cannot be had stops the run before anything is changed.
constexpr std::size_t kMaxUndoFileSize = std::size_t{2} << 30;
// Room asked for beside a backup and a new copy of each hive: the keys and
// values the file brings back, in new bins.
constexpr std::uint64_t kGrowthMargin = 64u << 10;

// A registry file that records of the undo file change, with the lines of
// what they did to it.
struct HiveWork {
  HiveFile* hive = nullptr;
  std::wstring name;  // the name of its keys in the file: HKEY_LOCAL_MACHINE\SOFTWARE...
  std::wostringstream lines;
  std::uint32_t changes = 0;
  bool failed = false;  // a record of it could not be applied: it is not written
};

// Where a record's key lies: the registry file, and the key's path below
// HKLM, or below HKCU with the profile mounted.
struct Target {
  HiveFile* hive = nullptr;
  const WindowsVolume::Profile* profile = nullptr;  // null for the machine's SOFTWARE
  RegistryRoot root = RegistryRoot::HKLM;
  std::wstring path;
  std::wstring name;
};

std::vector<std::wstring> Components(const std::wstring& key) {
  std::vector<std::wstring> parts;
  for (std::size_t start = 0; start <= key.size();) {
    const std::size_t end = std::min(key.find(L'\\', start), key.size());
    parts.push_back(key.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::wstring Joined(const std::wstring& first, const std::vector<std::wstring>& parts, std::size_t from) {
  std::wstring path = first;
  for (std::size_t i = from; i < parts.size(); ++i) path += (path.empty() ? L"" : L"\\") + parts[i];
  return path;
}

// Places the key of `record` in a registry file of the volume; false with
// why it lies in none that can take it.
bool Locate(WindowsVolume& volume, const RegRecord& record, Target& target, std::wstring& why) {
  const std::vector<std::wstring> parts = Components(record.key);
  const std::wstring top = FoldName(parts[0]);
  const std::wstring shown = EscapeControlCharacters(record.key);
  if (top == L"HKEY_LOCAL_MACHINE" && parts.size() >= 2 && FoldName(parts[1]) == L"SOFTWARE") {
    target = Target{&volume.Software(), nullptr, RegistryRoot::HKLM, Joined(L"SOFTWARE", parts, 2),
                    L"HKEY_LOCAL_MACHINE\\SOFTWARE"};
    if (!volume.Software().Failure().empty()) {
      why = DecodeUtf8(volume.Software().Path() + ": " + volume.Software().Failure());
      return false;
    }
  } else if (top == L"HKEY_USERS" && parts.size() >= 2) {
    const std::wstring suffix = L"_CLASSES";
    std::wstring sid = FoldName(parts[1]);
    const bool classes = sid.size() > suffix.size() && sid.compare(sid.size() - suffix.size(), suffix.size(), suffix) == 0;
    if (classes) sid.resize(sid.size() - suffix.size());
    const auto& profiles = volume.Profiles();
    const auto profile = std::find_if(profiles.begin(), profiles.end(),
                                      [&](const WindowsVolume::Profile& listed) { return FoldName(listed.sid) == sid; });
    if (profile == profiles.end()) {
      why = shown + L" is below no user profile of this Windows: its profile list (ProfileList) names no " +
            EscapeControlCharacters(parts[1].substr(0, sid.size())) + L" whose registry files were found";
      return false;
    }
    HiveFile* hive = classes ? profile->classes.get() : profile->user.get();
    const std::wstring& problem = classes ? profile->problem : profile->userProblem;
    if (hive == nullptr) {
      why = L"the " + std::wstring(classes ? L"classes hive" : L"NTUSER.DAT") + L" of the profile " + profile->folder +
            L" (" + profile->sid + L") " +
            (profile->noFolder ? L"is not there: the profile has no folder"
             : problem.empty() ? L"was not found"
                               : L"cannot be changed: " + problem);
      return false;
    }
    target = Target{hive, &*profile, RegistryRoot::HKCU, Joined(classes ? L"Software\\Classes" : L"", parts, 2),
                    L"HKEY_USERS\\" + profile->sid + (classes ? L"_Classes" : L"")};
  } else {
    why = shown + L" is not a key of a registry file of the Windows volume: the undo file of morvane-offline names "
                  L"keys below HKEY_LOCAL_MACHINE\\SOFTWARE and HKEY_USERS\\<SID> of a user profile";
    return false;
  }
  // A hive's own root key, and a user's Software\Classes where the classes hive is loaded, cannot go.
  const std::wstring folded = FoldName(target.path);
  const bool root = target.root == RegistryRoot::HKLM ? folded == L"SOFTWARE"
                                                      : folded.empty() || folded == L"SOFTWARE\\CLASSES";
  if (record.kind == RegRecord::Kind::kDeleteKey && root) {
    why = shown + L" is the root key of a registry file, which is never deleted";
    return false;
  }
  return true;
}

// The undo file's bytes; false with why they cannot be read.
bool ReadUndoFile(WindowsVolume& volume, const UndoOptions& options, std::string& path,
                  std::vector<std::uint8_t>& bytes, std::string& problem) {
  FileDescriptor file;
  if (options.undoFile.empty()) {
    std::vector<WindowsVolume::RecordFile> files;
    if (!volume.OpenUndoFiles(files, problem)) return false;
    if (files.empty()) {
      problem = "No undo file was found in " + options.windowsRoot +
                "/Morvane: no run of morvane-offline that changed something left one there. Name one with "
                "--apply-undo=FILE. Nothing was changed.";
      return false;
    }
    if (files.size() > 1) {
      problem = "Several runs left an undo file in " + options.windowsRoot + "/Morvane:";
      for (const auto& found : files) problem += " " + found.path;
      problem += ". Name the one to apply with --apply-undo=FILE, that of the latest run first (the log of each run, "
                 "Morvane.txt, Morvane-2.txt..., names its undo file). Nothing was changed.";
      return false;
    }
    path = files.front().path;
    file = std::move(files.front().file);
  } else {
    path = options.undoFile;
    file = FileDescriptor(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
      problem = "The undo file " + path + " cannot be read (" +
                (file.get() < 0 ? std::strerror(errno) : "not a regular file") + "). Nothing was changed.";
      return false;
    }
  }
  bytes.clear();
  std::vector<std::uint8_t> chunk(1 << 16);
  for (ssize_t got = read(file.get(), chunk.data(), chunk.size()); got != 0;
       got = read(file.get(), chunk.data(), chunk.size())) {
    if (got < 0) {
      problem = "The undo file " + path + " cannot be read (" + std::strerror(errno) + "). Nothing was changed.";
      return false;
    }
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
    if (bytes.size() > kMaxUndoFileSize) {
      problem = "The undo file " + path + " is larger than 2 GiB, which no undo file of a run is. Nothing was changed.";
      return false;
    }
  }
  return true;
}

// Why a file system lacks room for a backup and a new copy of each hive that
// will be written; empty when each has it.
std::string SpaceProblem(const std::vector<HiveWork*>& writes) {
  struct Need {
    std::uint64_t bytes = 0;
    std::string path;  // a hive there
    std::string hives;
  };
  std::map<dev_t, Need> needs;
  for (const HiveWork* work : writes) {
    struct stat status {};
    if (stat(work->hive->Path().c_str(), &status) != 0) continue;
    Need& need = needs[status.st_dev];
    need.bytes += 2 * work->hive->Size() + kGrowthMargin;
    need.path = work->hive->Path();
    need.hives += (need.hives.empty() ? "" : ", ") + work->hive->Path();
  }
  for (const auto& [device, need] : needs) {
    struct statvfs system {};
    if (statvfs(need.path.c_str(), &system) != 0) continue;
    const std::uint64_t free = static_cast<std::uint64_t>(system.f_bavail) * system.f_frsize;
    if (free >= need.bytes) continue;
    const std::string freeText = FreeText(free);
    return "There is too little free space on the volume that holds " + need.hives + ": " + freeText +
           ", and a backup and a new copy of each of these registry files need " + Mebibytes(need.bytes, true) +
           ". Make room on that volume, then try again. Nothing was changed.";
  }
  return std::string();
}

// "1 change", "2 changes".
std::wstring Counted(std::size_t count, const wchar_t* what) {
  return std::to_wstring(count) + L" " + what + (count == 1 ? L"" : L"s");
}

// The line of a record that changed the registry, or would (a dry run), or failed with `status`.
std::wstring RecordLine(const RegRecord& record, bool dryRun, RegistryStatus status) {
  const std::wstring key = EscapeControlCharacters(record.key);
  const bool ofKey = record.kind == RegRecord::Kind::kKey || record.kind == RegRecord::Kind::kDeleteKey;
  const std::wstring item = ofKey ? key : key + L"\\\\" + (record.name.empty() ? L"@" : EscapeControlCharacters(record.name));
  const bool removal = record.kind == RegRecord::Kind::kDeleteKey || record.kind == RegRecord::Kind::kDeleteValue;
  const std::wstring verb = record.kind == RegRecord::Kind::kKey ? L"created"
                            : removal                          ? L"deleted"
                                                               : L"set to " + ShownData(record.type, record.data);
  if (status != kRegistrySuccess) {
    return L"  * line " + std::to_wstring(record.line) + L": " + item + L" could not be " +
           (record.kind == RegRecord::Kind::kValue ? L"set" : verb) + L" (error " + std::to_wstring(status) + L")!\r\n";
  }
  return L"  * " + item + (dryRun ? L" would be " : L" has been ") + verb + L"!\r\n";
}

// The undo run itself; `writing` is set once registry files are written.
int ApplyUndoFile(const UndoOptions& options, OfflineServices& services, bool& writing);

}  // namespace

int RunUndoFile(const UndoOptions& options, OfflineServices& services) {
  bool writing = false;
  try {
    return ApplyUndoFile(options, services, writing);
  } catch (const std::bad_alloc&) {
    // Each registry file is written whole or not at all, and before the
    // question none is.
    services.console.Stream() << (writing ? L"There was not enough memory to go on: each registry file not listed "
                                            L"above as written is as it was.\r\n"
                                          : L"There is not enough memory to apply the undo file. Nothing was "
                                            L"changed.\r\n")
                              << std::flush;
    return writing ? kOfflineFailed : kOfflineStopped;
  }
}

namespace {

int ApplyUndoFile(const UndoOptions& options, OfflineServices& services, bool& writing) {
  std::wostream& out = services.console.Stream();
  const auto refuse = [&out](const std::string& problem) {
    out << DecodeUtf8(problem) << L"\r\n" << std::flush;
    return kOfflineStopped;
  };
  WindowsVolume volume(options.dryRun);
  std::string problem;
  if (!volume.OpenMachineHives(options.windowsRoot, problem)) return refuse(problem);
  SystemInfo info{};
  HiveHost host(volume.Registry());
  if (!DescribeHost(out, info, host, services.clock)) return kOfflineStopped;
  if (!volume.OpenProfiles(info, problem)) return refuse(problem);
  problem = volume.HibernationProblem();
  if (!problem.empty()) return refuse(problem);

  // The whole file is read, and each record placed, before anything is changed.
  std::string path;
  std::vector<std::uint8_t> bytes;
  if (!ReadUndoFile(volume, options, path, bytes, problem)) return refuse(problem);
  std::vector<RegRecord> records;
  RegProblem wrong;
  std::vector<Target> targets;
  std::wstring why;
  if (ReadRegFile(bytes, records, wrong)) {
    targets.resize(records.size());
    for (std::size_t i = 0; i < records.size() && why.empty(); ++i) {
      if (!Locate(volume, records[i], targets[i], why)) wrong = RegProblem{records[i].line, why};
    }
  }
  if (!wrong.what.empty()) {
    return refuse("The undo file " + path + " cannot be applied: line " + std::to_string(wrong.line) + ": " +
                  EncodeUtf8(wrong.what) + ". Nothing was changed.");
  }

  // The records applied in memory, in the order of the file, each key before
  // its subkeys; the registry files are written only after the question.
  std::vector<std::unique_ptr<HiveWork>> works;
  const auto workOf = [&works](HiveFile* hive, const std::wstring& name) -> HiveWork& {
    for (auto& work : works) {
      if (work->hive == hive) return *work;
    }
    works.push_back(std::make_unique<HiveWork>());
    works.back()->hive = hive;
    works.back()->name = name;
    return *works.back();
  };
  const WindowsVolume::Profile* mounted = nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Target& target = targets[i];
    HiveWork& work = workOf(target.hive, target.name);
    if (work.failed) continue;
    if (target.profile != nullptr && target.profile != mounted) {
      volume.MountProfile(*target.profile);
      mounted = target.profile;
    }
    bool changed = false;
    const RegistryStatus status = ApplyRegRecord(volume.Registry(), target.root, target.path, records[i], changed);
    work.failed = status != kRegistrySuccess;
    if (changed || work.failed) work.lines << RecordLine(records[i], options.dryRun, status);
    work.changes += changed ? 1 : 0;
  }
  // A key reached through a symbolic link may lie in another registry file.
  for (HiveFile* hive : volume.WritableHives()) {
    if (hive->Changed()) static_cast<void>(workOf(hive, DecodeUtf8(hive->Path())));
  }
  std::vector<HiveWork*> writes;
  bool failures = false;
  for (auto& work : works) {
    failures = failures || work->failed || !work->hive->Failure().empty();
    if (work->hive->Changed() && !work->failed && work->hive->Failure().empty()) writes.push_back(work.get());
  }

  out << L"The undo file " << DecodeUtf8(path) << L" holds " << Counted(records.size(), L"record") << L" for "
      << Counted(works.size(), L"registry file") << L":\r\n";
  for (const auto& work : works) {
    out << L"  " << DecodeUtf8(work->hive->Path()) << L" (" << work->name << L"): "
        << (work->failed || !work->hive->Failure().empty() ? L"a record cannot be applied"
            : work->changes == 0                            ? L"nothing to change"
                                                            : Counted(work->changes, L"change"))
        << L"\r\n";
  }
  out << L"\r\n" << std::flush;
  if (!failures && writes.empty()) {
    out << L"Every key and value that the undo file records is as it records it: nothing to change.\r\n" << std::flush;
    return kOfflineDone;
  }
  problem = SpaceProblem(writes);
  if (!problem.empty()) return refuse(problem);
  if (!options.dryRun && !AskToContinue(options.yes, services)) {
    out << L"Program cancelled by the user! Nothing was changed.\r\n" << std::flush;
    return kOfflineStopped;
  }

  // Each registry file after its lines: written, with its backup, or why not.
  writing = true;
  for (const auto& work : works) {
    out << work->name << L", " << DecodeUtf8(work->hive->Path()) << L":\r\n" << work->lines.str();
    std::string error;
    const bool writable = work->hive->Failure().empty() && !work->failed;
    if (!writable) {
      error = work->failed ? "a record above could not be applied" : work->hive->Failure();
    } else if (!work->hive->Changed()) {
      out << L"  - Nothing to change: it holds what the undo file records.\r\n\r\n";
      continue;
    } else if (options.dryRun) {
      out << L"  - Not done (dry run): nothing was written.\r\n\r\n";
      continue;
    } else if (work->hive->WriteBack(error)) {
      out << L"  - Written to " << DecodeUtf8(work->hive->Path()) << L"; its backup is "
          << DecodeUtf8(work->hive->BackupPath()) << L".\r\n\r\n";
      continue;
    } else if (work->hive->BackedUp()) {
      error = "it could not be written back (" + error + ")";
    }
    failures = true;
    out << (options.dryRun ? L"  - Would NOT be written: " : L"  - NOT written: ") << DecodeUtf8(work->hive->Path())
        << (options.dryRun ? L": " : L" is as it was: ") << DecodeUtf8(error) << L".\r\n\r\n";
  }
  if (options.dryRun) {
    out << L"Dry run: nothing was changed."
        << (failures ? L" Applying the undo file would leave a registry file as it is, as the lines above say." : L"")
        << L"\r\n" << std::flush;
  } else if (failures) {
    out << L"The undo file was NOT applied whole: each registry file NOT written above is as it was, each one "
           L"written has its backup beside it.\r\n"
        << std::flush;
  } else {
    out << L"The undo file has been applied: each registry file written has its backup beside it.\r\n" << std::flush;
  }
  return failures ? kOfflineFailed : kOfflineDone;
}

}  // namespace
