#include "driver/unattended.h"

#include <cwctype>

const wchar_t kUsageText[] =
    L"Usage: Morvane.exe [/quiet]\n"
    L"\n"
    L"Resets the registry associations of .exe, .bat and .com files to what this Windows version ships\n"
    L"with, removes the users' own overrides of them, and first ends every program running from the\n"
    L"profile folders and the temporary folder. Run it as administrator.\n"
    L"\n"
    L"  /quiet   confirm in advance: no dialog is shown (also -quiet)\n"
    L"  /?       show this text and do nothing else (also -?, /h, -h, /help, --help)\n"
    L"\n"
    L"Exit codes: 0 the run reached its end and every change was made; 1 it stopped early and\n"
    L"nothing was changed; 2 some changes could not be made (the log names them).\n"
    L"\n"
    L"The log, Morvane.txt, and the undo file, Morvane-undo.reg, go to the Desktop; when it cannot\n"
    L"take them, to the folder Morvane at the system drive's root, which only administrators can\n"
    L"write. The run names the place in its first lines and in its last.\n";

const wchar_t kUnknownSwitchLine[] = L"Morvane.exe does not know the switch ";

namespace {

constexpr wchar_t kVersion[] = L"" MORVANE_VERSION;

constexpr wchar_t kInvisibleStationLine[] =
    L"Nobody can answer this run: it runs on a window station that no screen shows, as under a "
    L"service or a scheduled task. Nothing was changed; start Morvane.exe with /quiet to repair "
    L"without being asked. Program terminating.\r\n";
constexpr wchar_t kSessionZeroLine[] =
    L"Nobody can answer this run: it runs in session 0, where Windows shows no user's desktop, as "
    L"under a service or a scheduled task. Nothing was changed; start Morvane.exe with /quiet to "
    L"repair without being asked. Program terminating.\r\n";

constexpr wchar_t kInactiveSessionLine[] =
    L"Nobody can answer this run: its session is not active, as a Remote Desktop session whose user "
    L"has left it. Nothing was changed; start Morvane.exe with /quiet to repair without being asked. "
    L"Program terminating.\r\n";
constexpr wchar_t kNoWindowsLine[] =
    L"Nobody can answer this run: its dialogs cannot be shown, since no window can be made on its "
    L"desktop. Nothing was changed; start Morvane.exe with /quiet to repair without being asked. "
    L"Program terminating.\r\n";

// One string of an event log entry holds 31,839 characters from Windows Vista
// on (32,000 before); the rest of a longer summary stays in the log file. On
// Windows XP and Server 2003 the Application log holds 512 KB by default, and
// a long entry would push out much of what came before, the malware's own
// traces among it: there an entry takes 8,000 characters at most.
constexpr std::size_t kEntryCapacity = 31000;
constexpr std::size_t kOlderEntryCapacity = 8000;
constexpr wchar_t kCut[] = L"(The log file has the rest.)\r\n";

bool IsReportLine(const std::wstring& line) {
  return line.rfind(L" * ", 0) == 0 || line.rfind(L"  * ", 0) == 0;
}

}  // namespace

CommandLine ReadCommandLine(const std::vector<std::wstring>& arguments) {
  CommandLine command;
  for (const std::wstring& argument : arguments) {
    if (argument.empty() || (argument[0] != L'/' && argument[0] != L'-')) continue;
    std::wstring folded;
    for (const wchar_t ch : argument) folded += static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(ch)));
    if (folded == L"/quiet" || folded == L"-quiet") {
      command.quiet = true;
    } else if (folded == L"/?" || folded == L"-?" || folded == L"/h" || folded == L"-h" || folded == L"/help" ||
               folded == L"--help") {
      command.help = true;
    } else if (command.unknownSwitch.empty()) {
      command.unknownSwitch = argument;
    }
  }
  return command;
}

const wchar_t* NobodyToAnswer(Desktop& desktop, HostQuery& host) {
  if (!desktop.WindowStationVisible()) return kInvisibleStationLine;
  if (host.QueryVersion().majorVersion >= 6 && desktop.InSessionZero()) return kSessionZeroLine;
  if (!desktop.SessionActive()) return kInactiveSessionLine;
  if (!desktop.CanShowWindows()) return kNoWindowsLine;
  return nullptr;
}

std::streamsize Transcript::xsputn(const wchar_t* text, std::streamsize count) {
  text_.append(text, static_cast<std::size_t>(count));
  if (console_ != nullptr && console_->sputn(text, count) != count) console_ = nullptr;
  return count;
}

int Transcript::sync() {
  if (console_ != nullptr && console_->pubsync() == -1) console_ = nullptr;
  return 0;
}

EventType EventTypeOf(int exitCode) {
  return exitCode == 0 ? EventType::Information : exitCode == 2 ? EventType::Warning : EventType::Error;
}

std::wstring RunSummary(int exitCode, const std::wstring& logFilePath, const std::wstring& transcript,
                        std::uint32_t majorVersion) {
  const std::size_t capacity = majorVersion == 5 ? kOlderEntryCapacity : kEntryCapacity;
  const wchar_t* const outcome =
      exitCode == 0   ? L"the run reached its end; every write and deletion of the reset succeeded."
      : exitCode == 2 ? L"the run reached its end, but some writes or deletions of the reset failed."
                      : L"the run stopped early; the registry is unchanged.";
  std::wstring summary = std::wstring(L"Morvane ") + kVersion + L": " + outcome + L"\r\n";
  if (!logFilePath.empty()) summary += L"Log file: " + logFilePath + L"\r\n";

  std::wstring lines, paragraph;
  for (std::size_t start = 0; start < transcript.size();) {
    std::size_t end = transcript.find(L'\n', start);
    end = end == std::wstring::npos ? transcript.size() : end + 1;
    std::wstring line = transcript.substr(start, end - start);
    start = end;
    while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
    if (line.empty()) {
      paragraph.clear();
    } else if (IsReportLine(line)) {
      lines += line + L"\r\n";
      paragraph.clear();
    } else {
      paragraph += line + L"\r\n";
    }
  }
  // An early stop says why in the last lines it wrote, to the log or the console.
  if (exitCode == 1) lines += paragraph;
  if (!lines.empty()) summary += L"\r\n" + lines;

  if (summary.size() > capacity) {
    const std::size_t cut = summary.rfind(L"\r\n", capacity - sizeof kCut / sizeof kCut[0]);
    summary.erase(cut == std::wstring::npos ? 0 : cut + 2);
    summary += kCut;
  }
  return summary;
}
