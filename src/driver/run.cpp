#include "driver/run.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "driver/banner.h"
#include "driver/run_log.h"
#include "driver/run_texts.h"
#include "driver/signed_in_user.h"
#include "driver/undo_file.h"
#include "driver/unattended.h"
#include "host/debug_privilege.h"
#include "host/system_info.h"
#include "registry/registry_text.h"
#include "registry/registry_view.h"
#include "registry/reset.h"
#include "registry/undo_registry.h"
#include "sweep/sweep.h"

namespace {

constexpr std::uint32_t kWaitAfterTermination = 2000;  // milliseconds

constexpr wchar_t kLogFileName[] = L"\\Morvane.txt";

// A confirmation dialog that could not be shown although a window could be
// made at the start; the programs of the sweep have been ended by then.
constexpr wchar_t kLicenseNotShownLine[] =
    L"The confirmation dialog could not be shown, so nobody was asked. The registry was not changed; "
    L"start Morvane.exe with /quiet to repair without being asked. Program terminating.\r\n";
constexpr wchar_t kFinishedNotShownLine[] =
    L"The closing dialog could not be shown; this log has the run's outcome.\r\n";

// The closing dialog of failed writes when no log file could be written.
constexpr wchar_t kNotResetOnConsoleText[] =
    L"Some associations of executables (.exe, .bat, .com) could not be reset! No log file could be "
    L"written; the console names each one.";

constexpr int kRunEnds = 0;
constexpr int kEarlyStop = 1;
constexpr int kRepairsFailed = 2;  // the run reached its end, but a write or deletion failed

void ReportTerminated(std::wostream& runLog, std::uint32_t terminated, Clock& clock) {
  if (terminated == 0) {
    runLog << L" * No processes found to kill.\r\n\r\n";
    runLog.flush();
    return;
  }
  runLog << L"\r\n"
         << terminated
         << (terminated == 1 ? L" proccess terminated!\r\n\r\n" : L" proccesses terminated!\r\n\r\n");
  runLog.flush();
  // Lets the terminated processes go before their registrations are touched.
  clock.Sleep(kWaitAfterTermination);
}

// An early stop: the message is written and flushed, the run log is closed.
int StopEarly(RunLog& log, const wchar_t* message) {
  std::wostream& runLog = log.Stream();
  runLog << message;
  runLog.flush();
  CloseRunLog(log);
  return kEarlyStop;
}

// Opens the log file on the Desktop or, when the Desktop cannot take it, in
// the administrators' folder (named in `elsewhere`); with neither, the run log
// goes to the console alone. `info.logFilePath` names the file opened, and is
// empty when none was.
std::unique_ptr<RunLog> OpenRecord(RecordFolders& records, const std::wstring& desktop, std::wstreambuf& consoleSink,
                                   SystemInfo& info, std::wstring& elsewhere) {
  std::unique_ptr<RunLog> log = OpenRunLog(desktop.empty() ? std::wstring() : desktop + kLogFileName, consoleSink);
  if (log->HasFile()) {
    info.logFilePath = desktop + kLogFileName;
    return log;
  }
  const std::wstring folder = records.AdministratorsFolder();
  if (folder.empty()) return log;
  std::unique_ptr<RunLog> there = OpenRunLog(folder + kLogFileName, consoleSink);
  if (!there->HasFile()) return log;
  info.logFilePath = folder + kLogFileName;
  elsewhere = folder;
  return there;
}

// The run up to its closing dialog, which Run shows; `console` carries what
// goes to the console alone, `consoleSink` the run log's copy for the console.
// A run that reaches its end leaves its log open in `openLog`, for the line
// of a closing dialog that could not be shown.
int RunSteps(RunServices& services, Dialog& dialog, const wchar_t* nobodyToAnswer, std::wostream& console,
             std::wstreambuf& consoleSink, SystemInfo& info, std::unique_ptr<RunLog>& openLog) {
  const std::uint32_t startTick = services.clock.TickCount();

  const EnvironmentLookup lookup{services.environment, console, dialog};
  const std::optional<std::wstring> userProfile = ReadEnvironmentVariable(lookup, L"userprofile");
  if (!userProfile) return kEarlyStop;

  services.console.SetUtf16Mode();
  const std::wstring desktop = services.records.DesktopFolder();
  std::wstring elsewhere;  // the administrators' folder, when the log is there
  std::unique_ptr<RunLog> log = OpenRecord(services.records, desktop, consoleSink, info, elsewhere);
  std::wostream& runLog = log->Stream();
  if (!elsewhere.empty()) {
    runLog << L"The log file is " << info.logFilePath << L", since the Desktop folder"
           << (desktop.empty() ? std::wstring(L" cannot be found") : L", " + desktop + L", cannot take it")
           << L".\r\n\r\n";
    runLog.flush();
  }

  TokenHandle token = 0;
  if (services.tokens.OpenOwnToken(token)) EnableDebugPrivilege(runLog, services.tokens, token);

  if (!DescribeHost(runLog, info, services.host, services.clock)) {
    CloseRunLog(*log);
    return kEarlyStop;
  }
  if (nobodyToAnswer != nullptr) return StopEarly(*log, nobodyToAnswer);

  // A missing folder variable has made the fatal stop already; the log file
  // keeps everything up to the Windows version line.
  if (!CollectWatchedFolders(info, lookup, services.shortPaths)) return kEarlyStop;
  // The signed-in user, when another account than the run's, is repaired too.
  FindSignedInUser(services.sessions, services.registry, services.environment, services.shortPaths, info);

  const std::uint32_t terminated =
      SweepProcesses(info, runLog, console, services.processes);
  ReportTerminated(runLog, terminated, services.clock);

  // Only OK goes on: a dialog that could not be shown was answered by nobody.
  const int answer = dialog.Show(kLicenseText, kLicenseTitle, kMbOkCancel | kMbIconWarning);
  if (answer == kIdCancel) return StopEarly(*log, kCancelledLine);
  if (answer != kIdOk) return StopEarly(*log, kLicenseNotShownLine);

  runLog << kResettingLine;
  runLog.flush();
  std::uint32_t failures = 0;
  bool changed = false;
  {
    // Every change is recorded in the undo file, beside the log file, before
    // it is made; the file is closed before the closing lines. Where the
    // log's folder cannot take it, the administrators' folder does.
    UndoFile undoFile(!info.logFilePath.empty() ? UndoFilePath(info.logFilePath)
                      : desktop.empty()         ? std::wstring()
                                                : UndoFileIn(desktop),
                      &services.records);
    RegistryView view(services.registry);
    UndoRegistry registry(view, undoFile);
    failures = RunFamilyReset(registry, info, runLog, services.files);
    failures += RepairSignedInUser(services.sessions, view, registry, info, runLog);
    ReportUnflushedUndoFile(runLog, undoFile);
    ReportUndoFile(runLog, registry, undoFile.Path());
    changed = registry.Changed();
  }
  if (changed) services.shell.AssociationsChanged();
  if (!elsewhere.empty()) runLog << L"The log file is " << info.logFilePath << L".\r\n";

  WriteClosingLines(runLog, startTick, services.clock);
  runLog.flush();
  openLog = std::move(log);
  return failures != 0 ? kRepairsFailed : kRunEnds;
}

}  // namespace

int Run(RunServices& services, const std::vector<std::wstring>& arguments) {
  // The usage, asked for or shown with a refused switch, is the whole run:
  // nothing is looked at, changed or recorded.
  const CommandLine command = ReadCommandLine(arguments);
  if (command.help || !command.unknownSwitch.empty()) {
    std::wostream& console = services.console.Stream();
    if (!command.help) console << kUnknownSwitchLine << EscapeControlCharacters(command.unknownSwitch) << L". Nothing was done.\n\n";
    console << kUsageText;
    console.flush();
    return command.help ? kRunEnds : kEarlyStop;
  }

  SystemInfo info{};
  // Decided before anything else: a run nobody can answer shows no dialog at
  // all, and stops before the sweep unless it was confirmed in advance.
  const bool confirmed = command.quiet;
  const wchar_t* const nobodyToAnswer = confirmed ? nullptr : NobodyToAnswer(services.desktop, services.host);
  NoDialog noDialog;
  Dialog& dialog = confirmed || nobodyToAnswer != nullptr ? noDialog : services.dialog;

  Transcript transcript(services.console.Sink());
  std::wostream console(&transcript);
  std::unique_ptr<RunLog> log;
  const int exitCode =
      RunSteps(services, dialog, nobodyToAnswer, console, transcript, info, log);

  // What the entry says cannot change the run: its result is not examined.
  static_cast<void>(services.eventLog.Report(EventTypeOf(exitCode), static_cast<std::uint32_t>(exitCode),
                                             RunSummary(exitCode, info.logFilePath, transcript.Text(), info.majorVersion)));
  int answer = kIdOk;
  if (exitCode == kRepairsFailed) {
    answer = dialog.Show(info.logFilePath.empty() ? std::wstring(kNotResetOnConsoleText)
                                                  : kNotResetText + info.logFilePath + L".",
                         kFinishedTitle, kMbOk | kMbIconWarning);
  } else if (exitCode == kRunEnds) {
    answer = dialog.Show(kFinishedText, kFinishedTitle, kMbOk | kMbIconInformation);
  }
  if (log != nullptr) {
    // Escape closes an OK-only box with either button's answer.
    if (answer != kIdOk && answer != kIdCancel) log->Stream() << kFinishedNotShownLine;
    CloseRunLog(*log);
  }
  return exitCode;
}
