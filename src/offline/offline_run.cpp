#include "offline/offline_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <sstream>
#include <utility>
#include <vector>

#include "driver/banner.h"
#include "driver/run_log.h"
#include "driver/run_texts.h"
#include "driver/undo_file.h"
#include "host/system_info.h"
#include "offline/hive_host.h"
#include "offline/image_terms.h"
#include "offline/undo_spool.h"
#include "offline/windows_volume.h"
#include "posix/file_descriptor.h"
#include "posix/utf8_console.h"
#include "registry/policy_locks.h"
#include "registry/registry_text.h"
#include "registry/reset.h"
#include "registry/undo_registry.h"
#include "registry/user_override.h"

namespace {

constexpr wchar_t kQuestion[] = L"Continue? [y/N] ";
constexpr const char* kYesAnswers[] = {"y", "yes", "ok"};
// The free space a run asks for beside each hive it will change, besides a
// backup and a new copy of it: libhivex's new file grows by the keys the run
// adds, in bins of 4 KiB.
constexpr std::uint64_t kGrowthMargin = 64u << 10;
// Room for the log's lines besides those of the changes, and the undo file's header.
constexpr std::uint64_t kRecordMargin = 64u << 10;
constexpr wchar_t kDryRunNote[] =
    L"Dry run (--dry-run): nothing is written, no backup, log or undo file. The lines below say what a run "
    L"would change.\r\n\r\n";

// A dry run's change lines say what a run would do: the words of a change
// made, in the lines of the resets, and those of the change it predicts.
constexpr std::pair<const wchar_t*, const wchar_t*> kPredictions[] = {
    {L" has been deleted!", L" would be deleted!"},
    {L" found and deleted!", L" found and would be deleted!"},
    {L" did not exist and was recreated!", L" does not exist and would be recreated!"},
    {L"It was reset to ", L"It would be reset to "},
    {L" was reset to ", L" would be reset to "},
};

// `lines` with each line's change (its last one, past any name the user's
// registry gave) told as a prediction.
std::wstring AsPredicted(const std::wstring& lines) {
  std::wstring out;
  for (std::size_t start = 0; start < lines.size();) {
    const std::size_t end = std::min(lines.find(L'\n', start), lines.size() - 1) + 1;
    std::wstring line = lines.substr(start, end - start);
    for (const auto& [made, predicted] : kPredictions) {
      const std::size_t at = line.rfind(made);
      if (at == std::wstring::npos) continue;
      line.replace(at, std::wcslen(made), predicted);
      break;
    }
    out += line;
    start = end;
  }
  return out;
}

// The console as the run log's second sink, which can be held shut while
// text that it already showed goes to the log file alone.
class ConsoleGate final : public WideSinkBuf {
 public:
  explicit ConsoleGate(std::wstreambuf& console) : console_(console) {}
  bool shut = false;

 protected:
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
    return shut ? count : console_.sputn(text, count);
  }
  int sync() override { return shut ? 0 : console_.pubsync(); }

 private:
  std::wstreambuf& console_;
};

// Where the run leaves its record: the files here, and as the technician
// names them to the administrator (on the Windows volume, Windows' own path).
struct Record {
  std::wstring log;
  std::wstring undo;
  std::wstring shownLog;
  std::wstring shownUndo;
  bool undoOurs = false;  // made by this run: removed again when it holds nothing
  bool onVolume = false;  // the undo file is in the volume's Morvane folder
};

// What the run did to the hives, for its closing summary.
struct Tally {
  std::vector<const HiveFile*> written;
  std::vector<const HiveFile*> notWritten;
  std::uint32_t failures = 0;
};

int Refuse(std::wostream& out, const std::string& problem) {
  out << DecodeUtf8(problem) << L"\r\n";
  out.flush();
  return kOfflineStopped;
}

// The license text and the question, on the console only, as the online
// run's dialog; no answer, or the end of the input, is a cancel.
bool Confirmed(const OfflineOptions& options, OfflineServices& services) {
  std::wostream& console = services.console.Stream();
  std::wstring text = kLicenseText;
  // The console has no OK button; the answer is typed.
  const std::wstring button = L"press the OK button";
  const std::size_t at = text.find(button);
  if (at != std::wstring::npos) text.replace(at, button.size(), L"answer y");
  // The banner before it ends with an empty line.
  console << kLicenseTitle << L"\r\n\r\n" << text << L"\r\n\r\n";
  return AskToContinue(options.yes, services);
}

// A hive of one part of the run, and the name of its keys in the undo file.
struct PartHive {
  HiveFile* hive;
  std::wstring undoName;
};

// One part of the run (the machine's, or a profile's), repaired in memory:
// its first line, its hives, the lines of its changes and their undo
// records. A note is its first line alone.
struct Part {
  std::wstring title;
  std::vector<PartHive> hives;
  std::wstring lines;
  std::vector<UndoSpan> undo;
  bool note = false;
  // The keys and values changed that no undo record could name (their full names).
  std::vector<std::wstring> unwritable;
};

// Whether a hive of a part will be written: it was changed, and its changes did not fail.
bool WillWrite(const PartHive& part) { return part.hive->Changed() && part.hive->Failure().empty(); }

// The folder where the file system holding `path` is mounted: the highest
// folder above it on the same device.
std::string MountPoint(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  std::string at = real != nullptr ? real : path;
  std::free(real);
  struct stat status {};
  if (stat(at.c_str(), &status) != 0) return at;
  while (at.size() > 1) {
    const std::size_t slash = at.rfind('/');
    const std::string parent = slash == 0 ? "/" : at.substr(0, slash);
    struct stat above {};
    if (slash == std::string::npos || stat(parent.c_str(), &above) != 0 || above.st_dev != status.st_dev) break;
    at = parent;
  }
  return at;
}

// Why a file system lacks room for what the run will write: a backup and a
// new copy of each hive that will change (and room for the keys it adds),
// and the log and undo file; empty when each has it. `record` holds the
// folders of the log and the undo file.
std::string SpaceProblem(const std::vector<Part>& parts, const std::wstring& heldText,
                         const std::pair<std::string, std::string>& record, std::uint64_t undoBytes) {
  struct Need {
    std::uint64_t bytes = 0;
    std::string path;  // a file or folder there
    std::vector<std::string> hives;
  };
  std::map<dev_t, Need> needs;
  const auto add = [&](const std::string& path, std::uint64_t bytes, bool hive) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return;
    Need& need = needs[status.st_dev];
    need.bytes += bytes;
    need.path = path;
    if (hive) need.hives.push_back(path);
  };
  std::uint64_t lines = heldText.size();
  for (const Part& part : parts) {
    for (const PartHive& hive : part.hives) {
      if (WillWrite(hive)) add(hive.hive->Path(), 2 * hive.hive->Size() + kGrowthMargin, true);
    }
    lines += part.title.size() + part.lines.size();
  }
  // Both files are UTF-16, besides the summary and the lines of each hive written.
  add(record.first, 2 * lines + kRecordMargin, false);
  add(record.second, undoBytes + kRecordMargin, false);
  for (const auto& [device, need] : needs) {
    struct statvfs system {};
    if (statvfs(need.path.c_str(), &system) != 0) continue;
    const std::uint64_t free = static_cast<std::uint64_t>(system.f_bavail) * system.f_frsize;
    if (free >= need.bytes) continue;
    std::string hives;
    for (const std::string& hive : need.hives) hives += (hives.empty() ? " (" : ", ") + hive;
    const std::string freeText = FreeText(free);
    return "There is too little free space on the volume mounted at " + MountPoint(need.path) + ": " + freeText +
           ", and the run needs " + Mebibytes(need.bytes, true) + " there, for " +
           (need.hives.empty() ? std::string()
                               : "a backup and a new copy of each registry file it will change" + hives + ") and ") +
           "the log and undo file. Make room on that volume, then try again. Nothing was changed.";
  }
  return std::string();
}

// The folder of the file `path` names.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Whether `path` (a file the user named) can be written, made and removed
// again when it was not there; false with the reason. A dry run writes
// nothing: it asks whether the file, or else its folder, may be written.
bool CanCreate(const std::wstring& path, const char* what, const char* option, bool dryRun, std::string& problem) {
  const std::string local = EncodeUtf8(path);
  struct stat status {};
  const bool existed = lstat(local.c_str(), &status) == 0;
  bool writable = false;
  if (dryRun) {
    writable = access((existed ? local : FolderOf(local)).c_str(), W_OK) == 0;
  } else {
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (existed ? 0 : O_CREAT | O_EXCL);
    const FileDescriptor file(open(local.c_str(), flags, 0644));
    if (file.get() >= 0 && !existed) unlink(local.c_str());
    writable = file.get() >= 0;
  }
  if (writable && (!existed || S_ISREG(status.st_mode))) return true;
  problem = std::string("The ") + what + " " + local + " cannot be written (" +
            (!writable ? std::strerror(errno) : "not a regular file") + "). Name another with " + option +
            " FILE. Nothing was changed.";
  return false;
}

// Where the log and undo files go: on the Windows volume unless the user
// named them; checked, before anything is changed, to be writable there. A
// dry run makes the same checks and no file.
bool PlaceRecord(const OfflineOptions& options, WindowsVolume& volume, bool dryRun, Record& record,
                 std::string& problem) {
  if (options.logPath.empty()) {
    WindowsVolume::Record made;
    if (dryRun ? !volume.CheckRecordPlace(problem) : !volume.CreateRecord(made, problem)) {
      problem += ". Name other places with --log FILE and --undo FILE. Nothing was changed.";
      return false;
    }
    if (dryRun && options.undoPath.empty()) return true;
    const std::wstring shownLog = DecodeUtf8(made.log) + L" (" + made.windowsLog + L" on Windows)";
    record = Record{DecodeUtf8(made.log), DecodeUtf8(made.undo), shownLog, made.windowsUndo, true, true};
    if (options.undoPath.empty()) return true;
    record.onVolume = false;
    if (!dryRun) unlink(made.undo.c_str());
  } else {
    record.log = record.shownLog = DecodeUtf8(options.logPath);
    if (!CanCreate(record.log, "log file", "--log", dryRun, problem)) return false;
  }
  record.undo = record.shownUndo =
      options.undoPath.empty() ? UndoFilePath(record.log) : DecodeUtf8(options.undoPath);
  struct stat status {};
  record.undoOurs = lstat(EncodeUtf8(record.undo).c_str(), &status) != 0;
  return CanCreate(record.undo, "undo file", "--undo", dryRun, problem);
}

// Runs the repair of one part of the run (`repair`, which returns how many of
// its changes failed): an allocation that fails in it stops that part alone,
// with its line, and its hives are not written.
template <typename Repair>
std::uint32_t RepairPart(const std::vector<PartHive>& hives, std::wostream& lines, Repair&& repair) {
  try {
    return repair();
  } catch (const std::bad_alloc&) {
    lines << L"  * The repair stopped here: there was not enough memory!\r\n";
    for (const PartHive& part : hives) part.hive->Abandon("there was not enough memory for its repair");
    return 1;
  }
}

// Writes back the changed hives of one part of the run and shows its lines:
// after them, each hive written and its backup; when one was not, a line
// before and after them says that none, or not all, of these changes were
// made, and the undo file drops the records of its keys. In a dry run the
// lines say what would be done, and are marked as not done; a hive whose
// changes failed is named as one that would not be written. A change that no
// undo record could name gets a line after its hive's: only the backup puts
// it back.
void Settle(Part& part, bool dryRun, UndoSpool& spool, HeldUndo& undo, std::wostream& runLog, Tally& tally) {
  if (part.note) {
    runLog << part.title;
    runLog.flush();
    return;
  }
  std::vector<PartHive> changed;
  std::copy_if(part.hives.begin(), part.hives.end(), std::back_inserter(changed),
               [](const PartHive& hive) { return hive.hive->Changed() || !hive.hive->Failure().empty(); });
  if (part.lines.empty() && changed.empty()) return;
  std::wostringstream status;
  std::vector<const HiveFile*> failed;
  if (dryRun) {
    for (const auto& [hive, undoName] : changed) {
      if (hive->Failure().empty()) continue;
      status << L"  - Would NOT be written: " << DecodeUtf8(hive->Path()) << L": " << DecodeUtf8(hive->Failure())
             << L".\r\n";
      ++tally.failures;
    }
    if (!changed.empty()) status << L"  - Not done (dry run): nothing was written.\r\n";
  } else {
    // No hive is replaced unless the records that undo its changes are on disk.
    const bool recorded = undo.Commit(spool, part.undo);
    for (const auto& [hive, undoName] : changed) {
      std::string error;
      const std::wstring path = DecodeUtf8(hive->Path());
      if (!hive->Failure().empty()) {
        error = hive->Failure();
      } else if (!recorded) {
        error = "the undo file could not be written";
      } else if (hive->WriteBack(error)) {
        // In a disk image the copy is written here, the image after the run.
        status << (ImageTermsOfRun().Active() ? L"  - Repaired in its copy, to be written into the image: "
                                              : L"  - Written to ")
               << path << L"; its backup is " << DecodeUtf8(hive->BackupPath()) << L".\r\n";
        for (const std::wstring& name : part.unwritable) {
          if (name.compare(0, undoName.size(), undoName) != 0) continue;
          status << L"  - Only that backup can put back " << EscapeControlCharacters(name)
                 << L": a name there holds a line break or NUL, which the undo file cannot write.\r\n";
        }
        tally.written.push_back(hive);
        continue;
      } else if (hive->BackedUp()) {  // else the backup failed, as `error` says
        error = "it could not be written back (" + error + ")";
      }
      if (hive->WrittenInPart()) {
        status << L"  - NOT written whole: " << path << L": " << DecodeUtf8(error) << L".\r\n";
      } else if (hive->ChangedDuringRun()) {
        // Another program's version stays; the run's own is not made.
        status << L"  - NOT written: " << path << L": " << DecodeUtf8(hive->Failure()) << L".\r\n";
      } else {
        status << L"  - NOT written: " << path << L" is as it was: " << DecodeUtf8(error) << L".\r\n";
      }
      tally.notWritten.push_back(hive);
      failed.push_back(hive);
      undo.Withdraw(undoName);
    }
  }
  const bool noneMade = !failed.empty() && failed.size() == changed.size();
  tally.failures += static_cast<std::uint32_t>(failed.size());
  const wchar_t* notMade =
      failed.empty() ? L""
      : noneMade     ? L"  - NONE of the changes below were made (the registry file was not written).\r\n"
                     : L"  - NOT ALL of the changes below were made (a registry file was not written).\r\n";
  runLog << part.title << notMade << (dryRun ? AsPredicted(part.lines) : part.lines) << status.str();
  if (noneMade) runLog << L"  - None of the changes above were made.\r\n";
  runLog << L"\r\n";
  runLog.flush();
}

// Each profile's overrides and the policies that stop its programs, its
// lines after one that names it; a profile with nothing to remove shows
// nothing, a hive of it that could not be reached or read says why on a line
// of its own, and the other hive is repaired all the same. One listed without a folder gets a note, and is no
// failure: a deleted account leaves its entry behind. Its keys are named in
// the undo file as the running Windows names them, below HKEY_USERS\<sid>.
void RemoveProfileOverrides(WindowsVolume& volume, UndoRegistry& registry, UndoSpool& spool,
                            std::vector<Part>& parts, Tally& tally) {
  for (const WindowsVolume::Profile& profile : volume.Profiles()) {
    if (profile.noFolder) {
      parts.push_back(Part{L"User profile " + profile.folder + L" (" + profile.sid +
                               L"): no folder: nothing to repair.\r\n\r\n",
                           {}, L"", {}, true, {}});
      continue;
    }
    std::wostringstream lines;
    if (!profile.problem.empty()) {
      lines << L"  * Its classes hive was not repaired: " << profile.problem << L"!\r\n";
      ++tally.failures;
    }
    // A hive that another profile shares is repaired with that profile.
    if (!profile.classesShared.empty()) lines << L"  - Its classes hive: " << profile.classesShared << L".\r\n";
    if (!profile.userShared.empty()) lines << L"  - Its user hive: " << profile.userShared << L".\r\n";
    const std::wstring user = L"HKEY_USERS\\" + profile.sid;
    Part part{L"User profile " + profile.folder + L":\r\n", {}, L"", {}, false, {}};
    if (profile.classes) part.hives.push_back({profile.classes.get(), user + L"_Classes"});
    if (profile.user) part.hives.push_back({profile.user.get(), user + L"\\"});
    if (profile.classes || profile.user) {
      volume.MountProfile(profile);
      registry.NameKeys(RegistryRoot::HKCU, L"", user);
      registry.NameKeys(RegistryRoot::HKCU, L"SOFTWARE\\Classes", user + L"_Classes");
      tally.failures += RepairPart(part.hives, lines, [&] {
        // Without its classes hive, HKCU\SOFTWARE\Classes is not the user's classes: left alone.
        const std::uint32_t failed =
            profile.classes ? RemoveUserOverrides(registry, lines) : RemoveExplorerChoices(registry, lines);
        return failed + RemovePolicyLocks(registry, lines, RegistryRoot::HKCU);
      });
    }
    if (!profile.userProblem.empty()) {
      lines << L"  * Its user hive was not repaired: " << profile.userProblem << L"!\r\n";
      ++tally.failures;
    }
    part.lines = lines.str();
    part.undo = spool.Take();
    part.unwritable = registry.TakeUnwritable();
    parts.push_back(std::move(part));
  }
}

// The summary at the end of the log: what was written, what was not, and
// how to go back.
void Summarize(const Tally& tally, const Record& record, const HeldUndo& undo, const std::string& root,
               std::wostream& runLog) {
  if (tally.written.empty() && tally.notWritten.empty()) {
    runLog << L"No registry file needed a change.\r\n";
  }
  if (!tally.notWritten.empty()) {
    runLog << L"NOT written, and none of the changes listed for them made:";
    for (const HiveFile* hive : tally.notWritten) runLog << L"\r\n  " << DecodeUtf8(hive->Path());
    runLog << L"\r\n";
  }
  if (!tally.written.empty()) {
    // Each path quoted for the shell: its folder names are the volume's, which anyone could choose.
    const ImageTerms image = ImageTermsOfRun();
    runLog << (image.Active() ? L"Repaired in the copies, to be written into the image, each after a backup beside "
                                L"it. To put one back as it was once it is written, with the virtual machine shut "
                                L"down, copy its backup over it from this machine:"
                              : L"Written, each after a backup beside it. To put one back as it was, with that "
                                L"Windows shut down, copy its backup over it from a Linux system like this one, "
                                L"the volume mounted as now:");
    for (const HiveFile* hive : tally.written) {
      runLog << L"\r\n  " << DecodeUtf8((image.Active() ? image.opening + " " : std::string()) + "cp " +
                                          ShellQuoted(hive->BackupPath()) + " " + ShellQuoted(hive->Path()));
    }
    runLog << L"\r\n";
    if (!undo.Complete()) {
      runLog << L"The undo file \"" << record.shownUndo << L"\" could not be written! The backups keep the "
             << L"registry files as they were.\r\n";
    } else if (record.onVolume) {
      runLog << L"To undo the changes made, once that Windows runs, as administrator, with the users it names "
             << L"logged on: reg import \"" << record.shownUndo << L"\"\r\n";
    } else {
      runLog << L"To undo the changes made, copy " << record.shownUndo << L" to that Windows and import it "
             << L"there as administrator, with the users it names logged on: reg import FILE\r\n";
    }
    if (undo.Complete() && !image.Active()) {
      runLog << L"Or, with that Windows shut down, from a Linux system like this one, the volume mounted as now:\r\n  "
             << DecodeUtf8("morvane-offline --apply-undo=" + ShellQuoted(EncodeUtf8(record.undo)) + " " +
                           ShellQuoted(root))
             << L"\r\n";
    }
  }
  runLog.flush();
}

}  // namespace

bool AskToContinue(bool yes, OfflineServices& services) {
  std::wostream& console = services.console.Stream();
  console << kQuestion;
  if (yes) {
    console << L"yes (--yes)\r\n\r\n" << std::flush;
    return true;
  }
  console << std::flush;
  std::string answer;
  if (!std::getline(services.answers, answer)) return false;
  answer.erase(std::remove_if(answer.begin(), answer.end(), [](char c) { return c == ' ' || c == '\r'; }),
               answer.end());
  std::transform(answer.begin(), answer.end(), answer.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  return std::find(std::begin(kYesAnswers), std::end(kYesAnswers), answer) != std::end(kYesAnswers);
}

std::string Mebibytes(std::uint64_t bytes, bool up) {
  const std::uint64_t tenths = (bytes * 10 + (up ? (1u << 20) - 1 : 0)) >> 20;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MiB";
}

std::string FreeText(std::uint64_t free) {
  return free == 0 ? "nothing is free"
         : free < (1u << 20) / 10 ? "less than 0.1 MiB is free"
                                  : Mebibytes(free, false) + " is free";
}

int RunOffline(const OfflineOptions& options, OfflineServices& services) {
  SystemInfo info{};
  const std::uint32_t startTick = services.clock.TickCount();
  // Until the log file is made, after the checks, the text is kept to go
  // into it; a run stopped before, or a dry run, leaves no file anywhere.
  std::wstringbuf held;
  ConsoleGate console(services.console.Sink());
  basic_teebuf<wchar_t> heldTee(&held, &console);
  std::wostream early(&heldTee);

  WindowsVolume volume(options.dryRun);
  std::string problem;
  if (!volume.OpenMachineHives(options.windowsRoot, problem)) return Refuse(early, problem);
  HiveHost host(volume.Registry());
  if (!DescribeHost(early, info, host, services.clock)) return kOfflineStopped;
  if (!volume.OpenProfiles(info, problem)) return Refuse(early, problem);
  problem = volume.HibernationProblem();
  if (!problem.empty()) return Refuse(early, problem);

  // The repair is made in memory first, and written only after the
  // question: what it will write is known before, to check the room for it.
  // Offline there is no current user: the machine-wide reset finds no HKCU,
  // and each profile's overrides are removed after it.
  // The undo records go to a spool of this machine's own until then.
  UndoSpool spool(!options.dryRun);
  UndoRegistry registry(volume.Registry(), spool);
  Tally tally;
  std::wostringstream machineLines;
  Part machine{L"Machine-wide:\r\n", {{&volume.Software(), L"HKEY_LOCAL_MACHINE\\"}}, L"", {}, false, {}};
  tally.failures +=
      RepairPart(machine.hives, machineLines, [&] { return RunFamilyReset(registry, info, machineLines, volume); });
  machine.lines = machineLines.str();
  machine.undo = spool.Take();
  machine.unwritable = registry.TakeUnwritable();
  std::vector<Part> parts;
  parts.push_back(std::move(machine));
  RemoveProfileOverrides(volume, registry, spool, parts, tally);

  const std::string volumeRecord = options.windowsRoot + "/.";
  const std::string logFolder = options.logPath.empty() ? volumeRecord : FolderOf(options.logPath);
  const std::string undoFolder = !options.undoPath.empty() ? FolderOf(options.undoPath) : logFolder;
  problem = SpaceProblem(parts, held.str(), {logFolder, undoFolder}, spool.FileBytes());
  if (!problem.empty()) return Refuse(early, problem);

  Record record;
  if (!PlaceRecord(options, volume, options.dryRun, record, problem)) return Refuse(early, problem);
  std::unique_ptr<RunLog> log;
  if (options.dryRun) {
    early << kDryRunNote;
  } else {
    info.logFilePath = record.log;
    early.flush();
    log = OpenRunLog(record.log, console);
    console.shut = true;
    log->Stream() << held.str();
    log->Stream().flush();
    console.shut = false;
    if (!Confirmed(options, services)) {
      if (record.undoOurs) unlink(EncodeUtf8(record.undo).c_str());
      log->Stream() << kCancelledLine;
      CloseRunLog(*log);
      return kOfflineStopped;
    }
  }
  std::wostream& runLog = log ? log->Stream() : early;

  runLog << kResettingLine;
  runLog.flush();
  HeldUndo undo(record.undo);
  for (Part& part : parts) Settle(part, options.dryRun, spool, undo, runLog, tally);

  std::wostream& out = services.console.Stream();
  if (options.dryRun) {
    runLog << L"Dry run: nothing was changed."
           << (tally.failures == 0 ? L"" : L" A run would leave some changes not made, as the lines above say.")
           << L"\r\n";
    runLog.flush();
    return tally.failures == 0 ? kOfflineDone : kOfflineFailed;
  }
  if (undo.Empty() && record.undoOurs) unlink(EncodeUtf8(record.undo).c_str());
  Summarize(tally, record, undo, options.windowsRoot, runLog);
  runLog << L"The log of this run: " << record.shownLog << L"\r\n";
  WriteClosingLines(runLog, startTick, services.clock);
  CloseRunLog(*log);
  if (tally.failures == 0) {
    // Of a disk image, only once the changes are in it.
    if (!ImageTermsOfRun().Active()) out << kFinishedText << L"\r\n" << std::flush;
    return kOfflineDone;
  }
  out << kNotResetText << record.shownLog << L".\r\n" << std::flush;
  return kOfflineFailed;
}
