#include "driver/run.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "driver/banner.h"
#include "driver/run_log.h"
#include "host/classify.h"
#include "host/debug_privilege.h"
#include "host/system_info.h"
#include "registry/reset.h"
#include "sweep/sweep.h"

namespace {

constexpr std::uint32_t kWaitAfterTermination = 2000;  // milliseconds

constexpr wchar_t kLogFileName[] = L"\\Desktop\\Morvane.txt";

constexpr wchar_t kLicenseTitle[] = L"Morvane License";
constexpr wchar_t kLicenseText[] =
    L"Morvane is a program designed to fix executable (.exe, .bat, .com) file associations when "
    L"you are no longer able to launch these types of programs.  Though this program has been "
    L"thoroughly tested, the use of this program is done at your own risk.\r\n\r\n"
    L"If you would like to continue, please press the OK button.";

constexpr wchar_t kFinishedTitle[] = L"Morvane Finished";
constexpr wchar_t kFinishedText[] =
    L"Your executables (.exe, .bat, .com) should now properly execute on your computer!";
// Followed by the log file path and a full stop.
constexpr wchar_t kNotResetText[] =
    L"Some associations of executables (.exe, .bat, .com) could not be reset! "
    L"The log file names each one: ";

constexpr int kRunEnds = 0;
constexpr int kEarlyStop = 1;
constexpr int kRepairsFailed = 2;  // the run reached its end, but a write or deletion failed

// The reset routines, by Windows family.
enum class ResetFamily { kNone, kXp, kVista, kWin7, kWin8 };

struct ResetRow {
  std::uint32_t majorVersion;
  std::int64_t minorVersion;  // kAnyMinor matches every minor version
  ResetFamily family;
};

constexpr std::int64_t kAnyMinor = -1;

constexpr ResetRow kResetTable[] = {
    {5, kAnyMinor, ResetFamily::kXp},
    {6, 0, ResetFamily::kVista},
    {6, 1, ResetFamily::kWin7},
    {6, 2, ResetFamily::kWin8},
};

ResetFamily FamilyOf(const SystemInfo& info) {
  for (const ResetRow& row : kResetTable) {
    if (row.majorVersion == info.majorVersion &&
        (row.minorVersion == kAnyMinor || row.minorVersion == info.minorVersion)) {
      return row.family;
    }
  }
  return ResetFamily::kNone;
}

// Returns how many writes and deletions of the reset failed.
std::uint32_t RunReset(ResetFamily family, RegistryAccess& registry, const SystemInfo& info,
                       std::wostream& runLog) {
  switch (family) {
    case ResetFamily::kXp:
      return ResetXpFamily(registry, info, runLog);
    case ResetFamily::kVista:
      return ResetVistaFamily(registry, runLog);
    case ResetFamily::kWin7:
      return ResetWin7Win8Family(registry, runLog);
    case ResetFamily::kWin8: {
      const std::uint32_t failures = ResetWin7Win8Family(registry, runLog);
      return failures + AddPinToStartVerb(registry, runLog);
    }
    case ResetFamily::kNone:
      break;
  }
  return 0;
}

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

}  // namespace

int Run(RunServices& services) {
  SystemInfo info{};
  const std::uint32_t startTick = services.clock.TickCount();

  const EnvironmentLookup lookup{services.environment, services.console.Stream(), services.dialog};
  const std::optional<std::wstring> userProfile = ReadEnvironmentVariable(lookup, L"userprofile");
  if (!userProfile) return kEarlyStop;
  info.logFilePath = *userProfile + kLogFileName;

  services.console.SetUtf16Mode();
  const std::unique_ptr<RunLog> log = OpenRunLog(info.logFilePath, services.console.Sink());
  std::wostream& runLog = log->Stream();

  TokenHandle token = 0;
  if (services.tokens.OpenOwnToken(token)) EnableDebugPrivilege(runLog, services.tokens, token);

  const int processorStatus = ClassifyHost(info, services.host);
  WriteBanner(runLog, info, services.clock);
  if (processorStatus == 1) {
    return StopEarly(*log, L"\r\nYour processor type could not be determined. Program terminating.\r\n");
  }
  if (info.supported == 0) {
    runLog << L"\r\nYour operating system, " << info.osName << L", is not supported.\r\n";
    return StopEarly(*log, info.unsupportedNote.c_str());
  }
  runLog << L"Windows Version: " << info.osName << L"\r\n\r\n";
  runLog.flush();

  // A missing folder variable has made the fatal stop already; the log file
  // keeps everything up to the Windows version line.
  if (!CollectWatchedFolders(info, lookup, services.shortPaths)) return kEarlyStop;

  const std::uint32_t terminated =
      SweepProcesses(info, runLog, services.console.Stream(), services.processes);
  ReportTerminated(runLog, terminated, services.clock);

  if (services.dialog.Show(kLicenseText, kLicenseTitle, kMbOkCancel | kMbIconWarning) == kIdCancel) {
    return StopEarly(*log, L"Program cancelled by the user!\r\n");
  }

  runLog << L"Resetting .EXE, .COM, & .BAT associations in the Windows Registry.\r\n\r\n";
  runLog.flush();
  const std::uint32_t failures = RunReset(FamilyOf(info), services.registry, info, runLog);

  WriteClosingLines(runLog, startTick, services.clock);
  CloseRunLog(*log);
  if (failures != 0) {
    services.dialog.Show(kNotResetText + info.logFilePath + L".", kFinishedTitle, kMbOk | kMbIconWarning);
    return kRepairsFailed;
  }
  services.dialog.Show(kFinishedText, kFinishedTitle, kMbOk | kMbIconInformation);
  return kRunEnds;
}
