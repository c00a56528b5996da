#include "offline/offline_run.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <sstream>

#include "driver/banner.h"
#include "driver/run_log.h"
#include "driver/run_texts.h"
#include "driver/undo_file.h"
#include "host/system_info.h"
#include "offline/hive_host.h"
#include "offline/windows_volume.h"
#include "posix/utf8_console.h"
#include "registry/reset.h"
#include "registry/undo_registry.h"
#include "registry/user_override.h"

namespace {

constexpr wchar_t kQuestion[] = L"Continue? [y/N] ";
constexpr const char* kYesAnswers[] = {"y", "yes", "ok"};

int StopEarly(RunLog& log, const std::wstring& message) {
  log.Stream() << message;
  log.Stream().flush();
  CloseRunLog(log);
  return kOfflineStopped;
}

int Refuse(RunLog& log, const std::string& problem) {
  return StopEarly(log, L"\r\n" + DecodeUtf8(problem) + L"\r\n");
}

// The license text and the question, on the console only, as the online
// run's dialog; no answer, or the end of the input, is a cancel.
bool Confirmed(const OfflineOptions& options, OfflineServices& services) {
  std::wostream& console = services.console.Stream();
  console << L"\r\n" << kLicenseTitle << L"\r\n\r\n" << kLicenseText << L"\r\n\r\n" << kQuestion;
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

// Each profile's overrides, its lines after one that names it; a profile
// with nothing to remove shows nothing, one whose classes hive could not be
// reached says why. Its keys are named in the undo file as the running Windows
// names them, below HKEY_USERS\<sid>. Returns how many deletions, and such
// profiles, failed.
std::uint32_t RemoveProfileOverrides(WindowsVolume& volume, UndoRegistry& registry, std::wostream& runLog) {
  std::uint32_t failures = 0;
  for (const WindowsVolume::Profile& profile : volume.Profiles()) {
    std::wostringstream lines;
    if (profile.classes) {
      volume.MountProfile(profile);
      registry.NameKeys(RegistryRoot::HKCU, L"", L"HKEY_USERS\\" + profile.sid);
      registry.NameKeys(RegistryRoot::HKCU, L"SOFTWARE\\Classes", L"HKEY_USERS\\" + profile.sid + L"_Classes");
      failures += RemoveUserOverrides(registry, lines);
      if (!profile.userProblem.empty()) {
        lines << L"  * Its user hive was not repaired: " << profile.userProblem << L"!\r\n";
        ++failures;
      }
    } else {
      lines << L"  * Its classes hive was not repaired: " << profile.problem << L"!\r\n";
      ++failures;
    }
    if (lines.str().empty()) continue;
    runLog << L"User profile " << profile.folder << L":\r\n" << lines.str();
    runLog.flush();
  }
  return failures;
}

// Writes back every changed hive; reports each one that failed. False when
// any did.
bool WriteBack(WindowsVolume& volume, std::wostream& runLog) {
  bool allWritten = true;
  for (HiveFile* hive : volume.WritableHives()) {
    std::string error;
    const std::wstring path = DecodeUtf8(hive->Path());
    if (!hive->Failure().empty()) {
      runLog << L"\r\nThe registry file " << path << L" was left as it was: "
             << DecodeUtf8(hive->Failure()) << L".\r\n";
    } else if (!hive->WriteBack(error)) {
      runLog << L"\r\nThe registry file " << path << L" could not be written back ("
             << DecodeUtf8(error) << L"); it was left as it was. Its backup is "
             << DecodeUtf8(hive->BackupPath()) << L".\r\n";
    } else {
      continue;
    }
    runLog.flush();
    allWritten = false;
  }
  return allWritten;
}

}  // namespace

int RunOffline(const OfflineOptions& options, OfflineServices& services) {
  SystemInfo info{};
  const std::uint32_t startTick = services.clock.TickCount();
  info.logFilePath = DecodeUtf8(options.logPath);
  const std::unique_ptr<RunLog> log = OpenRunLog(info.logFilePath, services.console.Sink());
  std::wostream& runLog = log->Stream();

  WindowsVolume volume;
  std::string problem;
  if (!volume.OpenMachineHives(options.windowsRoot, problem)) return Refuse(*log, problem);
  HiveHost host(volume.Registry());
  if (!DescribeHost(runLog, info, host, services.clock)) {
    CloseRunLog(*log);
    return kOfflineStopped;
  }
  if (!volume.OpenProfiles(info, problem)) return Refuse(*log, problem);

  if (!Confirmed(options, services)) return StopEarly(*log, kCancelledLine);

  runLog << kResettingLine;
  runLog.flush();
  // Offline there is no current user: the machine-wide reset finds no HKCU,
  // and each profile's overrides are removed after it.
  // Every change is recorded in the undo file before it is made.
  const std::wstring undoPath =
      options.undoPath.empty() ? UndoFilePath(info.logFilePath) : DecodeUtf8(options.undoPath);
  // The hives change only at the end: the records are made durable once,
  // before the first hive is replaced, and without them none is.
  UndoFile undoFile(undoPath, false);
  UndoRegistry registry(volume.Registry(), undoFile);
  std::uint32_t failures = RunFamilyReset(registry, info, runLog);
  failures += RemoveProfileOverrides(volume, registry, runLog);
  const bool recorded = undoFile.MakeDurable() && registry.Complete();
  if (recorded) {
    ReportUndoFile(runLog, registry, undoPath);
  } else {
    runLog << L"  * The undo file \"" << undoPath << L"\" could not be written: no registry file was changed!\r\n\r\n";
  }
  const bool written = recorded && WriteBack(volume, runLog);

  WriteClosingLines(runLog, startTick, services.clock);
  CloseRunLog(*log);
  std::wostream& console = services.console.Stream();
  if (written && failures == 0) {
    console << kFinishedText << L"\r\n" << std::flush;
    return kOfflineDone;
  }
  console << kNotResetText << info.logFilePath << L".\r\n" << std::flush;
  return kOfflineFailed;
}
