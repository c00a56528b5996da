#include "sweep/sweep.h"

#include <string>
#include <string_view>

#include "sweep/folder_match.h"

namespace {

// A path that fills the buffer but for its terminator (or all of it, as older
// systems return it) may have been cut: its end is no folder boundary.
constexpr std::size_t kLongestUncutPath = kExecutablePathCapacity - 2;

constexpr const wchar_t* kCheckingLine =
    L"Checking for processes to terminate before fixing executable associations.\r\n";

// The all-users folder has a line ending of its own; every other folder shares
// one. The folders are tested in this order, and the first that holds the path
// decides.
struct WatchedFolderTest {
  std::wstring SystemInfo::*folder;
  const wchar_t* lineEnding;
};

constexpr const wchar_t* kAllUsersEnding = L")[Terminated].\r\n";
constexpr const wchar_t* kOtherEnding = L") [Terminated].\r\n";

constexpr WatchedFolderTest kWatchedFolderTests[] = {
    {&SystemInfo::allUsersProfile, kAllUsersEnding},
    {&SystemInfo::allUsersProfileShort, kOtherEnding},
    {&SystemInfo::userProfile, kOtherEnding},
    {&SystemInfo::userProfileShort, kOtherEnding},
    {&SystemInfo::tempFolder, kOtherEnding},
    {&SystemInfo::tempFolderShort, kOtherEnding},
    {&SystemInfo::allUsersProfileReal, kAllUsersEnding},
    {&SystemInfo::userProfileReal, kOtherEnding},
    {&SystemInfo::tempFolderReal, kOtherEnding},
    {&SystemInfo::signedInProfile, kOtherEnding},
    {&SystemInfo::signedInProfileShort, kOtherEnding},
    {&SystemInfo::signedInProfileReal, kOtherEnding},
    {&SystemInfo::signedInTemp, kOtherEnding},
    {&SystemInfo::signedInTempShort, kOtherEnding},
    {&SystemInfo::signedInTempReal, kOtherEnding},
};

// Names the signed-in user's folders, when that user is another account
// than the run's and has one watched.
void ReportSignedInFolders(const SystemInfo& info, std::wostream& runLog) {
  if (info.signedInSid.empty() || (info.signedInProfile.empty() && info.signedInTemp.empty())) return;
  runLog << L"The signed-in user, " << info.signedInSid << L", is another account than this run's: its folders are checked too (";
  if (!info.signedInProfile.empty()) runLog << info.signedInProfile << (info.signedInTemp.empty() ? L"" : L", ");
  runLog << info.signedInTemp << L").\r\n" << std::flush;
}

// The line ending for a process at `path`, or null when the path lies in no
// watched folder.
const wchar_t* LineEndingFor(const SystemInfo& info, std::wstring_view path) noexcept {
  const bool pathComplete = path.size() <= kLongestUncutPath;
  for (const WatchedFolderTest& test : kWatchedFolderTests) {
    if (PathIsInFolder(path, info.*test.folder, pathComplete)) return test.lineEnding;
  }
  return nullptr;
}

}  // namespace

std::uint32_t FindParentProcessId(const SystemInfo& info, ProcessTable& processes) {
  ScopedSnapshot snapshot(processes);
  ProcessEntry entry;
  for (bool more = snapshot.First(entry); more; more = snapshot.Next(entry)) {
    if (entry.processId == info.processId) return entry.parentProcessId;
  }
  return 0;
}

std::uint32_t SweepProcesses(const SystemInfo& info, std::wostream& runLog, std::wostream& console,
                             ProcessTable& processes) {
  runLog << kCheckingLine << std::flush;
  ReportSignedInFolders(info, runLog);

  ScopedSnapshot snapshot(processes);
  if (!snapshot.valid()) {
    // Console only: the word never reaches the log file.
    console << L"invalid" << std::endl;
    return 0;
  }
  ProcessEntry entry;
  if (!snapshot.First(entry)) return 0;

  const std::uint32_t parentId = FindParentProcessId(info, processes);
  std::uint32_t count = 0;
  do {
    // The tool and the process that started it are never opened.
    if (entry.processId == info.processId || entry.processId == parentId) continue;

    ScopedProcess process(processes, entry.processId);
    if (!process.valid() || !processes.ProbeModules(process.get())) continue;
    std::wstring path;
    if (!processes.ReadExecutablePath(process.get(), path)) continue;
    const wchar_t* lineEnding = LineEndingFor(info, path);
    if (lineEnding == nullptr) continue;
    if (!processes.Terminate(process.get())) continue;

    runLog << L" * " << path << L" (" << std::to_wstring(entry.processId) << lineEnding
           << std::flush;
    ++count;
  } while (snapshot.Next(entry));
  return count;
}
