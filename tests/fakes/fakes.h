#pragma once
// Fakes of every platform service but the registry: they answer with chosen
// values, fail on request, and record what was done with them.

#include <time.h>

#include <cwctype>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/console_bytes.h"
#include "driver/environment.h"
#include "driver/services.h"
#include "host/host_query.h"
#include "host/token_service.h"
#include "registry/debugger_locks.h"
#include "sweep/process_table.h"
#include "sweep/watched_folders.h"

// Standard output as a file: the bytes it received, and how many of them went
// out before the switch to UTF-16.
class FakeConsole : public Console {
 public:
  void SetUtf16Mode() override {
    narrowBytes = output.bytes.size();
    output.SwitchToUtf16();
  }
  std::wostream& Stream() override { return stream; }
  struct Output : ConsoleBuf {
    bool WriteBytes(const std::string& more) override {
      bytes += more;
      return true;
    }
    std::string bytes;
  } output;
  std::size_t narrowBytes = std::string::npos;
  std::wostream stream{&output};
};

// Answers from `answers` in order, then OK; `onShow` runs while a dialog is up.
// Each dialog shown is kept as its title, flags and text: "title | flags | text".
class FakeDialog : public Dialog {
 public:
  int Show(const std::wstring& text, const std::wstring& title, unsigned flags) override {
    shown.push_back(title + L" | " + std::to_wstring(flags) + L" | " + text);
    onShow();
    const int answer = answers.empty() ? kIdOk : answers.front();
    if (!answers.empty()) answers.pop_front();
    return answer;
  }
  std::deque<int> answers;
  std::function<void()> onShow = [] {};
  std::vector<std::wstring> shown;
};

// The Desktop and the administrators' folder as chosen ("" for none); counts
// the times the administrators' folder was asked for.
class FakeRecordFolders : public RecordFolders {
 public:
  std::wstring DesktopFolder() override { return desktop; }
  std::wstring AdministratorsFolder() override { return ++fallbackAsked, fallback; }
  std::wstring desktop, fallback;
  int fallbackAsked = 0;
};

// Counts the notifications that associations changed.
class FakeShell : public Shell {
 public:
  void AssociationsChanged() override { ++notified; }
  unsigned notified = 0;
};

// Ticks from `ticks` in order, the last one repeated; always 12/06/2026 03:05:09 PM.
class FakeClock : public Clock {
 public:
  std::uint32_t TickCount() override {
    const std::uint32_t tick = ticks.front();
    if (ticks.size() > 1) ticks.pop_front();
    return tick;
  }
  void Sleep(std::uint32_t milliseconds) override { sleeps.push_back(milliseconds); }
  std::tm LocalNow() override {
    std::tm time{};
    strptime("2026-12-06 15:05:09", "%Y-%m-%d %H:%M:%S", &time);
    return time;
  }
  std::deque<std::uint32_t> ticks = {1000, 4000};
  std::vector<std::uint32_t> sleeps;
};

// Names match without regard to letter case, as on Windows.
class FakeEnvironment : public Environment {
 public:
  std::size_t RequiredSize(const std::wstring& name) override {
    return variables.count(Upper(name)) == 0 ? 0 : variables[Upper(name)].size() + 1;
  }
  void Copy(const std::wstring& name, wchar_t* buffer, std::size_t size) override {
    buffer[variables[Upper(name)].copy(buffer, size - 1)] = L'\0';
  }
  void* Allocate(std::size_t bytes) override { return allocationFails ? nullptr : Environment::Allocate(bytes); }
  static std::wstring Upper(std::wstring name) {
    for (wchar_t& ch : name) ch = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(ch)));
    return name;
  }
  std::map<std::wstring, std::wstring> variables;  // by upper-case name
  bool allocationFails = false;
};

// Where the run is shown: a visible window station outside session 0, in an
// active session that can make windows, unless told.
class FakeDesktop : public Desktop {
 public:
  bool WindowStationVisible() override { return ++asked, visible; }
  bool InSessionZero() override { return ++asked, sessionZero; }
  bool SessionActive() override { return ++asked, active; }
  bool CanShowWindows() override { return ++asked, windows; }
  bool visible = true, sessionZero = false, active = true, windows = true;
  int asked = 0;  // questions answered
};

// The event log: the entries reported, "type id | text" each (type 0
// information, 1 warning, 2 error), kept even when the write is made to fail.
class FakeEventLog : public EventLog {
 public:
  bool Report(EventType type, std::uint32_t eventId, const std::wstring& text) override {
    entries.push_back(std::to_wstring(static_cast<int>(type)) + L" " + std::to_wstring(eventId) + L" | " + text);
    return !fails;
  }
  std::vector<std::wstring> entries;
  bool fails = false;
};

class FakeHostQuery : public HostQuery {
 public:
  OsVersionReport QueryVersion() override { return version; }
  OsVersionReport ReportedVersion() override { return reported.majorVersion != 0 ? reported : version; }
  std::uint16_t NativeArchitecture() override { return architecture; }
  int ServerR2Metric() override { return serverR2; }
  std::uint32_t CurrentProcessId() override { return 100; }
  OsVersionReport version;
  OsVersionReport reported;  // GetVersionExW's answer under a compatibility mode; none when 0
  std::uint16_t architecture = 9;
  int serverR2 = 0;
};

class FakeTokenService : public TokenService {
 public:
  bool OpenOwnToken(TokenHandle& token) override {
    opened.push_back(token = 0x100 + opened.size());
    return !openFails;
  }
  bool LookupDebugPrivilege(PrivilegeId& id) override {
    id = {20, 0};
    return !lookupFails;
  }
  bool EnablePrivilege(TokenHandle, const PrivilegeId& id) override { return !enableFails && id.lowPart == 20; }
  std::uint32_t LastError() override { return 5; }
  void CloseToken(TokenHandle token) override { closed.push_back(token); }
  bool openFails = false, lookupFails = false, enableFails = false;
  std::vector<TokenHandle> opened, closed;
};

struct FakeProcess {
  std::uint32_t processId;
  std::uint32_t parentProcessId;
  std::wstring path;
  bool openFails = false, probeFails = false, readFails = false, terminateFails = false;
};

// Every snapshot and every opened process is a fresh handle, kept in `open`
// (with the snapshot's position, or the process's index) until closed.
class FakeProcessTable : public ProcessTable {
 public:
  bool TakeSnapshot(Handle& snapshot) noexcept override {
    if (snapshotsLeft-- <= 0) return false;
    open[snapshot = ++next] = 0;
    return true;
  }
  bool FirstEntry(Handle snapshot, ProcessEntry& entry) noexcept override {
    open[snapshot] = 0;
    return NextEntry(snapshot, entry);
  }
  bool NextEntry(Handle snapshot, ProcessEntry& entry) noexcept override {
    if (open[snapshot] >= processes.size()) return false;
    const FakeProcess& process = processes[open[snapshot]++];
    entry = {process.processId, process.parentProcessId};
    return true;
  }
  void CloseSnapshot(Handle snapshot) noexcept override { misuse += open.erase(snapshot) == 1 ? 0 : 1; }
  bool Open(std::uint32_t processId, Handle& process) noexcept override {
    opened.push_back(processId);
    for (std::size_t i = 0; i < processes.size(); ++i) {
      if (processes[i].processId == processId && !processes[i].openFails) {
        open[process = ++next] = i;
        return true;
      }
    }
    return false;
  }
  bool ProbeModules(Handle process) noexcept override { return !At(process).probeFails; }
  bool ReadExecutablePath(Handle process, std::wstring& path) override {
    path = At(process).path;
    return !At(process).readFails;
  }
  bool Terminate(Handle process) noexcept override {
    if (!At(process).terminateFails) terminated.push_back(At(process).processId);
    return !At(process).terminateFails;
  }
  void CloseProcess(Handle process) noexcept override { misuse += open.erase(process) == 1 ? 0 : 1; }
  const FakeProcess& At(Handle process) { return processes.at(open.at(process)); }

  std::vector<FakeProcess> processes;  // in snapshot order
  int snapshotsLeft = 1000;            // later snapshots fail
  std::vector<std::uint32_t> opened, terminated;
  std::map<Handle, std::size_t> open;
  int misuse = 0;  // closes of a handle not open
  Handle next = 0x100;
};

// Each folder's short form is its path and "~1", its real form its path unless
// told; the Windows folder is
// C:\Windows, the folders of installed programs C:\Program Files and D:\Apps.
class FakeShortPaths : public ShortPaths {
 public:
  std::wstring ShortPathOf(const std::wstring& path) override { return path + L"~1"; }
  std::wstring RealPathOf(const std::wstring& path) override {
    return realPaths.count(path) != 0 ? realPaths[path] : path;
  }
  std::map<std::wstring, std::wstring> realPaths;  // the folders reached otherwise
  std::wstring WindowsFolder() override { return L"C:\\Windows"; }
  std::vector<std::wstring> ProgramFolders() override { return {L"C:\\Program Files", L"D:\\Apps"}; }
};

// The signed-in user: none unless told; the run's own account S-1-5-21-7-500.
// That user's registry is `user` (its HKCU the user's hive), unless its hive
// is told missing.
class FakeSessionUsers : public SessionUsers {
 public:
  std::wstring InteractiveUserSid(bool vistaOrLater) override {
    vistaAsked.push_back(vistaOrLater);
    return interactive;
  }
  std::wstring OwnSid() override { return own; }
  RegistryAccess* UserRegistry(const std::wstring& sid, bool& classesLoaded) override {
    registriesAsked.push_back(sid);
    classesLoaded = classes;
    return loaded ? user : nullptr;
  }
  std::wstring interactive, own = L"S-1-5-21-7-500";
  RegistryAccess* user = nullptr;
  bool loaded = true, classes = true;
  std::vector<bool> vistaAsked;
  std::vector<std::wstring> registriesAsked;
};

// The files of a Windows: those in `files`, by their paths as written; each
// %NAME% of `variables` expanded, others left as they are.
class FakeSystemFiles : public SystemFiles {
 public:
  std::wstring Expand(const std::wstring& text) override {
    std::wstring out = text;
    for (const auto& [name, value] : variables) {
      for (std::size_t at = out.find(L"%" + name + L"%"); at != std::wstring::npos; at = out.find(L"%" + name + L"%")) {
        out.replace(at, name.size() + 2, value);
      }
    }
    return out;
  }
  bool IsFile(const std::wstring& path) override { return files.count(path) != 0; }
  std::map<std::wstring, std::wstring> variables;
  std::set<std::wstring> files;
};
