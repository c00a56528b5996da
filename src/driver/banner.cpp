#include "driver/banner.h"

#include <cwchar>
#include <string>

#include "host/classify.h"

namespace {

constexpr std::uint32_t kMillisecondsPerHour = 3600000;
constexpr std::uint32_t kMillisecondsPerMinute = 60000;
constexpr std::uint32_t kMillisecondsPerSecond = 1000;

// `time` formatted with `format`. The C runtime stays in the "C" locale, so
// the text does not depend on the user's settings. A failed formatting gives
// an empty text.
std::wstring FormatTime(const std::tm& time, const wchar_t* format) {
  wchar_t text[64] = {};
  std::wcsftime(text, sizeof text / sizeof text[0], format, &time);
  return text;
}

// After the refusal of a system named as it records itself: what is repaired.
constexpr wchar_t kSupportedVersions[] =
    L"Morvane repairs Windows XP, Vista, 7, 8, 8.1, 10 and 11, and Windows Server 2003 to 2025.\r\n";

// Month, day, year, then the 12-hour clock with AM or PM: 22 characters.
std::wstring TimeText(const std::tm& time) { return FormatTime(time, L"%m/%d/%Y %I:%M:%S %p"); }

}  // namespace

void WriteBanner(std::wostream& runLog, const SystemInfo& info, Clock& clock) {
  const std::tm now = clock.LocalNow();
  const std::wstring year = FormatTime(now, L"%Y");
  runLog << L"Morvane, by the Morvane developers\r\n"
         << L"https://morvane.example.org/\r\n"
         << L"Copyright 2026-" << year << L" the Morvane developers\r\n"
         << L"More information about Morvane, and its latest version, at:\r\n"
         << L" https://morvane.example.org/download/\r\n"
         << L"\r\n";
  runLog << L"Program started at: " << TimeText(now) << L" in " << info.processorName
         << L" mode.\r\n";
  runLog.flush();
}

void WriteClosingLines(std::wostream& runLog, std::uint32_t startTick, Clock& clock) {
  const std::tm now = clock.LocalNow();
  runLog << L"\r\nProgram finished at: " << TimeText(now) << L"\r\n";

  // Unsigned 32-bit arithmetic: a wrap of the tick counter during the run
  // still gives the right duration.
  const std::uint32_t elapsed = clock.TickCount() - startTick;
  const std::uint32_t hours = elapsed / kMillisecondsPerHour;
  const std::uint32_t rest = elapsed % kMillisecondsPerHour;
  const std::uint32_t minutes = rest / kMillisecondsPerMinute;
  const std::uint32_t seconds = (rest % kMillisecondsPerMinute) / kMillisecondsPerSecond;
  runLog << L"Execution time: " << hours << L" hours(s), " << minutes << L" minute(s), and "
         << seconds << L" seconds(s)\r\n";
  runLog << L'\n';
  runLog.flush();
  runLog.flush();
}

bool DescribeHost(std::wostream& runLog, SystemInfo& info, HostQuery& host, Clock& clock) {
  const int processorStatus = ClassifyHost(info, host);
  WriteBanner(runLog, info, clock);
  if (processorStatus == 1) {
    runLog << L"\r\nYour processor type could not be determined. Program terminating.\r\n";
  } else if (info.supported == 0) {
    const std::wstring recorded = host.RecordedName();
    runLog << L"\r\nYour operating system, " << (recorded.empty() ? info.osName : recorded)
           << L", is not supported.\r\n" << info.unsupportedNote;
    if (!recorded.empty()) runLog << kSupportedVersions;
  } else {
    runLog << L"Windows Version: " << info.osName << L"\r\n";
    // A compatibility mode makes the system report an older version to the
    // program; the repair is that of the Windows that runs.
    const OsVersionReport reported = host.ReportedVersion();
    if (reported.majorVersion != info.majorVersion || reported.minorVersion != info.minorVersion ||
        reported.buildNumber != info.buildNumber) {
      runLog << L"A compatibility mode is set on this program: Windows reports version " << reported.majorVersion
             << L'.' << reported.minorVersion << L" (build " << reported.buildNumber
             << L") to it. The repair is that of the Windows that runs.\r\n";
    }
    runLog << L"\r\n";
  }
  runLog.flush();
  return processorStatus != 1 && info.supported != 0;
}
