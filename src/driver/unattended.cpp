#include "driver/unattended.h"

#include <cwctype>

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

// One string of an event log entry holds 31,839 characters from Windows Vista
// on (32,000 before); the rest of a longer summary stays in the log file.
constexpr std::size_t kEntryCapacity = 31000;
constexpr wchar_t kCut[] = L"(The log file has the rest.)\r\n";

bool IsReportLine(const std::wstring& line) {
  return line.rfind(L" * ", 0) == 0 || line.rfind(L"  * ", 0) == 0;
}

}  // namespace

bool ConfirmedInAdvance(const std::vector<std::wstring>& arguments) {
  for (const std::wstring& argument : arguments) {
    std::wstring folded;
    for (const wchar_t ch : argument) folded += static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(ch)));
    if (folded == L"/quiet" || folded == L"-quiet") return true;
  }
  return false;
}

const wchar_t* NobodyToAnswer(Desktop& desktop, HostQuery& host) {
  if (!desktop.WindowStationVisible()) return kInvisibleStationLine;
  if (host.QueryVersion().majorVersion >= 6 && desktop.InSessionZero()) return kSessionZeroLine;
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

std::wstring RunSummary(int exitCode, const std::wstring& logFilePath, const std::wstring& transcript) {
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

  if (summary.size() > kEntryCapacity) {
    const std::size_t cut = summary.rfind(L"\r\n", kEntryCapacity - sizeof kCut / sizeof kCut[0]);
    summary.erase(cut == std::wstring::npos ? 0 : cut + 2);
    summary += kCut;
  }
  return summary;
}
