#include "offline/offline_run.h"

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
#include "driver/console_bytes.h"
#include "driver/run_log.h"
#include "driver/run_texts.h"
#include "driver/undo_file.h"
#include "host/system_info.h"
#include "offline/hive_host.h"
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
// The free space a run asks for beside each hive it may change, besides a
// backup and a new copy of it: libhivex's new file grows by the keys the run
// adds, and the log and undo file need room too.
constexpr std::uint64_t kSpaceMargin = 1u << 20;
// The undo file's bytes at most for each byte of the hives: "xx," in UTF-16,
// and a line wrap of 5 characters every 25 bytes or so.
constexpr std::uint64_t kUndoBytesPerHiveByte = 7;
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

// The undo records of the run, streamed to the undo file as they come, in
// batches, and the rest of a part's written through and synced just before
// its hives are written back; none is held whole in memory. The records of a
// hive that was not written are made comment lines again in place (their
// bytes blanked), so that the file offers to undo only what was done.
class HeldUndo final : public UndoSink {
 public:
  explicit HeldUndo(std::wstring path) : path_(path), file_(std::move(path)) {}

  [[nodiscard]] bool Write(const std::wstring& records) noexcept override {
    try {
      return Take(records);
    } catch (const std::bad_alloc&) {
      return false;  // the change it records is not made
    }
  }
  // Writes the part's records through; false when that, or an earlier one, failed.
  bool Commit() {
    last_ = std::move(part_);
    part_.clear();
    live_ += last_.size();
    return Flush();
  }
  // Makes comments of the records of the part last committed whose keys the
  // file names below `name`.
  // A file that could not take every record ends saying so, and stays as it is.
  void Withdraw(const std::wstring& name) {
    FileDescriptor file(complete_ ? open(EncodeUtf8(path_).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC) : -1);
    for (Held& held : last_) {
      if (held.withdrawn || held.line.find(name) == std::wstring::npos) continue;
      held.withdrawn = true;
      --live_;
      if (file.get() >= 0) Blank(file.get(), held);
    }
    if (file.get() >= 0) static_cast<void>(fsync(file.get()));
  }
  bool Empty() const noexcept { return live_ == 0; }
  bool Complete() const noexcept { return complete_; }

 private:
  // A record in the file: where its UTF-16LE bytes are, and its first line.
  struct Held {
    std::uint64_t at;
    std::uint64_t size;
    std::wstring line;
    bool withdrawn = false;
  };
  // Characters gathered before they are written through.
  static constexpr std::size_t kBatchLength = std::size_t{1} << 20;

  bool Take(const std::wstring& records) {
    if (path_.empty()) return true;  // a dry run keeps no record
    // The header goes first in the file, whichever part it came with.
    const std::size_t header = std::wcslen(kRegFileHeader);
    const std::size_t from = records.compare(0, header, kRegFileHeader) == 0 ? header : 0;
    if (end_ == 0) {
      end_ = 2;  // the byte-order mark
      Add(kRegFileHeader, 0);
    }
    // A long record comes in pieces: each but the first goes on the record before.
    const bool continued = !part_.empty() && from < records.size() && records[from] != L'[' && records[from] != L';';
    if (!continued) {
      const std::size_t line = records.find(L'\n', from);
      part_.push_back(Held{end_, 0, records.substr(from, line == std::wstring::npos ? line : line - from)});
    }
    Add(records, from);
    part_.back().size = end_ - part_.back().at;
    return batch_.size() < kBatchLength || Flush();
  }
  void Add(const std::wstring& text, std::size_t from) {
    batch_.append(text, from, std::wstring::npos);
    unsigned char unit[4];
    for (std::size_t i = from; i < text.size(); ++i) end_ += EncodeUtf16Le(text[i], unit);
  }
  // The text reaches the file in one write and the disk (UndoFile).
  bool Flush() {
    if (!batch_.empty()) complete_ = complete_ && file_.Write(batch_);
    std::wstring().swap(batch_);
    return complete_;
  }
  // Each line of the record becomes a comment of the same length: the first
  // says why (as much of it as the line holds), the others are blank.
  static void Blank(int file, const Held& held) {
    constexpr char kWhy[] = "; Not made: its registry file was not written.";
    std::vector<unsigned char> bytes(std::size_t{1} << 16);
    bool lineStart = true;
    std::size_t first = 0;  // the characters of the first line so far
    for (std::uint64_t done = 0; done < held.size;) {
      const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), held.size - done));
      const auto at = static_cast<off_t>(held.at + done);
      if (pread(file, bytes.data(), count, at) != static_cast<ssize_t>(count)) return;
      for (std::size_t i = 0; i + 1 < count; i += 2) {
        const bool lineEnd = bytes[i + 1] == 0 && (bytes[i] == '\r' || bytes[i] == '\n');
        const bool firstLine = first != std::string::npos;
        if (lineEnd) {
          first = std::string::npos;
        } else {
          bytes[i] = static_cast<unsigned char>(firstLine && first + 1 < sizeof kWhy ? kWhy[first] : lineStart ? ';' : ' ');
          bytes[i + 1] = 0;
          if (firstLine) ++first;
        }
        lineStart = lineEnd;
      }
      if (pwrite(file, bytes.data(), count, at) != static_cast<ssize_t>(count)) return;
      done += count;
    }
  }

  std::wstring path_;
  UndoFile file_;
  std::wstring batch_;
  std::uint64_t end_ = 0;  // the bytes of the file once the batch is written
  std::vector<Held> part_;
  std::vector<Held> last_;
  std::size_t live_ = 0;  // records committed and not withdrawn
  bool complete_ = true;
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
  console << kLicenseTitle << L"\r\n\r\n" << text << L"\r\n\r\n" << kQuestion;
  if (options.yes) {
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

// Why the file systems of the hives lack room for a backup and a new copy of
// each, and the margin, and the file system of the undo file room for its
// worst case; empty when they have it. The undo file records at most every
// byte of every hive the run may change, as hex digits in UTF-16 with their
// commas and line wraps: under kUndoBytesPerHiveByte bytes for each.
std::string SpaceProblem(WindowsVolume& volume, const OfflineOptions& options) {
  std::map<dev_t, std::pair<std::uint64_t, std::string>> needs;  // bytes, and a path there
  std::uint64_t undo = 0;
  for (HiveFile* hive : volume.WritableHives()) {
    auto& need = needs[hive->Identity().first];
    need.first += 2 * hive->Size() + kSpaceMargin;
    need.second = hive->Path();
    undo += kUndoBytesPerHiveByte * hive->Size();
  }
  // The undo file goes to the volume's root unless the user named it.
  const std::string undoFolder = options.undoPath.empty() ? options.windowsRoot
                                 : options.undoPath.find('/') == std::string::npos
                                     ? std::string(".")
                                     : options.undoPath.substr(0, std::max<std::size_t>(options.undoPath.rfind('/'), 1));
  struct stat folder {};
  if (stat(undoFolder.c_str(), &folder) == 0) {
    auto& need = needs[folder.st_dev];
    need.first += undo;
    if (need.second.empty()) need.second = undoFolder;
  }
  for (const auto& [device, need] : needs) {
    struct statvfs system {};
    if (statvfs(need.second.c_str(), &system) != 0) continue;
    const std::uint64_t free = static_cast<std::uint64_t>(system.f_bavail) * system.f_frsize;
    if (free >= need.first) continue;
    return "There is too little free space for the registry files and the undo file, " + std::to_string(free >> 10) +
           " KiB, on the file system of " + need.second + ": the run needs " + std::to_string(need.first >> 10) +
           " KiB there, for a backup and a new copy of each registry file it may change and 1 MiB more for each, "
           "and for the undo file up to " + std::to_string(kUndoBytesPerHiveByte) +
           " times their size. Make room on that volume (or name another place for the undo file with --undo "
           "FILE), then try again. Nothing was changed.";
  }
  return std::string();
}

// Whether `path` (a file the user named) can be written, made and removed
// again when it was not there; false with the reason.
bool CanCreate(const std::wstring& path, const char* what, const char* option, std::string& problem) {
  const std::string local = EncodeUtf8(path);
  struct stat status {};
  const bool existed = lstat(local.c_str(), &status) == 0;
  const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (existed ? 0 : O_CREAT | O_EXCL);
  const FileDescriptor file(open(local.c_str(), flags, 0644));
  if (file.get() >= 0 && !existed) unlink(local.c_str());
  if (file.get() >= 0 && (!existed || S_ISREG(status.st_mode))) return true;
  problem = std::string("The ") + what + " " + local + " cannot be written (" +
            (file.get() < 0 ? std::strerror(errno) : "not a regular file") + "). Name another with " + option +
            " FILE. Nothing was changed.";
  return false;
}

// Where the log and undo files go: on the Windows volume unless the user
// named them; checked, before anything is changed, to be writable there.
bool PlaceRecord(const OfflineOptions& options, WindowsVolume& volume, Record& record, std::string& problem) {
  if (options.logPath.empty()) {
    WindowsVolume::Record made;
    if (!volume.CreateRecord(made, problem)) {
      problem += ". Name other places with --log FILE and --undo FILE. Nothing was changed.";
      return false;
    }
    const std::wstring shownLog = DecodeUtf8(made.log) + L" (" + made.windowsLog + L" on Windows)";
    record = Record{DecodeUtf8(made.log), DecodeUtf8(made.undo), shownLog, made.windowsUndo, true, true};
    if (options.undoPath.empty()) return true;
    record.onVolume = false;
    unlink(made.undo.c_str());
  } else {
    record.log = record.shownLog = DecodeUtf8(options.logPath);
    if (!CanCreate(record.log, "log file", "--log", problem)) return false;
  }
  record.undo = record.shownUndo =
      options.undoPath.empty() ? UndoFilePath(record.log) : DecodeUtf8(options.undoPath);
  struct stat status {};
  record.undoOurs = lstat(EncodeUtf8(record.undo).c_str(), &status) != 0;
  return CanCreate(record.undo, "undo file", "--undo", problem);
}

// A hive of one part of the run, and the name of its keys in the undo file.
struct PartHive {
  HiveFile* hive;
  std::wstring undoName;
};

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
// lines say what would be done, and are marked as not done.
// A change of the part that no undo record could name (`unwritable`, the
// keys' full names) gets a line after its hive's: only the backup puts it back.
void Settle(const std::wstring& title, const std::vector<PartHive>& hives, const std::wstring& lines,
            bool dryRun, HeldUndo& undo, std::wostream& runLog, Tally& tally,
            const std::vector<std::wstring>& unwritable) {
  std::vector<PartHive> changed;
  std::copy_if(hives.begin(), hives.end(), std::back_inserter(changed),
               [](const PartHive& part) { return part.hive->Changed() || !part.hive->Failure().empty(); });
  if (lines.empty() && changed.empty()) return;
  std::wostringstream status;
  std::vector<const HiveFile*> failed;
  if (dryRun) {
    if (!changed.empty()) status << L"  - Not done (dry run): nothing was written.\r\n";
  } else {
    // No hive is replaced unless the records that undo its changes are on disk.
    const bool recorded = undo.Commit();
    for (const auto& [hive, undoName] : changed) {
      std::string error;
      const std::wstring path = DecodeUtf8(hive->Path());
      if (!hive->Failure().empty()) {
        error = hive->Failure();
      } else if (!recorded) {
        error = "the undo file could not be written";
      } else if (hive->WriteBack(error)) {
        status << L"  - Written to " << path << L"; its backup is " << DecodeUtf8(hive->BackupPath()) << L".\r\n";
        for (const std::wstring& name : unwritable) {
          if (name.compare(0, undoName.size(), undoName) != 0) continue;
          status << L"  - Only that backup can put back " << EscapeControlCharacters(name)
                 << L": a name there holds a line break or NUL, which the undo file cannot write.\r\n";
        }
        tally.written.push_back(hive);
        continue;
      } else {
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
  runLog << title << notMade << (dryRun ? AsPredicted(lines) : lines) << status.str();
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
void RemoveProfileOverrides(WindowsVolume& volume, UndoRegistry& registry, HeldUndo& undo, bool dryRun,
                            std::wostream& runLog, Tally& tally) {
  for (const WindowsVolume::Profile& profile : volume.Profiles()) {
    if (profile.noFolder) {
      runLog << L"User profile " << profile.folder << L" (" << profile.sid
             << L"): no folder: nothing to repair.\r\n\r\n";
      runLog.flush();
      continue;
    }
    std::wostringstream lines;
    const std::wstring title = L"User profile " + profile.folder + L":\r\n";
    if (!profile.problem.empty()) {
      lines << L"  * Its classes hive was not repaired: " << profile.problem << L"!\r\n";
      ++tally.failures;
    }
    // A hive that another profile shares is repaired with that profile.
    if (!profile.classesShared.empty()) lines << L"  - Its classes hive: " << profile.classesShared << L".\r\n";
    if (!profile.userShared.empty()) lines << L"  - Its user hive: " << profile.userShared << L".\r\n";
    const std::wstring user = L"HKEY_USERS\\" + profile.sid;
    std::vector<PartHive> hives;
    if (profile.classes) hives.push_back({profile.classes.get(), user + L"_Classes"});
    if (profile.user) hives.push_back({profile.user.get(), user + L"\\"});
    if (profile.classes || profile.user) {
      volume.MountProfile(profile);
      registry.NameKeys(RegistryRoot::HKCU, L"", L"HKEY_USERS\\" + profile.sid);
      registry.NameKeys(RegistryRoot::HKCU, L"SOFTWARE\\Classes", L"HKEY_USERS\\" + profile.sid + L"_Classes");
      tally.failures += RepairPart(hives, lines, [&] {
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
    Settle(title, hives, lines.str(), dryRun, undo, runLog, tally, registry.TakeUnwritable());
  }
}

// The summary at the end of the log: what was written, what was not, and
// how to go back.
void Summarize(const Tally& tally, const Record& record, const HeldUndo& undo, std::wostream& runLog) {
  if (tally.written.empty() && tally.notWritten.empty()) {
    runLog << L"No registry file needed a change.\r\n";
  }
  if (!tally.notWritten.empty()) {
    runLog << L"NOT written, and none of the changes listed for them made:";
    for (const HiveFile* hive : tally.notWritten) runLog << L"\r\n  " << DecodeUtf8(hive->Path());
    runLog << L"\r\n";
  }
  if (!tally.written.empty()) {
    runLog << L"Written, each after a backup beside it. To put one back as it was, with that Windows shut "
              L"down, copy its backup over it from a Linux system like this one, the volume mounted as now:";
    for (const HiveFile* hive : tally.written) {
      runLog << L"\r\n  cp \"" << DecodeUtf8(hive->BackupPath()) << L"\" \"" << DecodeUtf8(hive->Path()) << L"\"";
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
  }
  runLog.flush();
}

}  // namespace

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
  if (problem.empty()) problem = SpaceProblem(volume, options);
  if (!problem.empty()) return Refuse(early, problem);

  Record record;
  std::unique_ptr<RunLog> log;
  if (options.dryRun) {
    early << kDryRunNote;
  } else {
    if (!PlaceRecord(options, volume, record, problem)) return Refuse(early, problem);
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
  // Offline there is no current user: the machine-wide reset finds no HKCU,
  // and each profile's overrides are removed after it.
  HeldUndo undo(record.undo);
  UndoRegistry registry(volume.Registry(), undo);
  Tally tally;
  std::wostringstream machineLines;
  const std::vector<PartHive> machine{{&volume.Software(), L"HKEY_LOCAL_MACHINE\\"}};
  tally.failures += RepairPart(machine, machineLines, [&] { return RunFamilyReset(registry, info, machineLines); });
  Settle(L"Machine-wide:\r\n", machine, machineLines.str(), options.dryRun, undo, runLog, tally,
         registry.TakeUnwritable());
  RemoveProfileOverrides(volume, registry, undo, options.dryRun, runLog, tally);

  std::wostream& out = services.console.Stream();
  if (options.dryRun) {
    runLog << L"Dry run: nothing was changed.\r\n";
    runLog.flush();
    return kOfflineDone;
  }
  if (undo.Empty() && record.undoOurs) unlink(EncodeUtf8(record.undo).c_str());
  Summarize(tally, record, undo, runLog);
  runLog << L"The log of this run: " << record.shownLog << L"\r\n";
  WriteClosingLines(runLog, startTick, services.clock);
  CloseRunLog(*log);
  if (tally.failures == 0) {
    out << kFinishedText << L"\r\n" << std::flush;
    return kOfflineDone;
  }
  out << kNotResetText << record.shownLog << L".\r\n" << std::flush;
  return kOfflineFailed;
}
