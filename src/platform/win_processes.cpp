#include <windows.h>
// After windows.h, which they need.
#include <psapi.h>
#include <tlhelp32.h>

#include "platform/win_processes.h"

#include <cwchar>

#include "platform/unique_handle.h"

namespace {

// The size of PROCESSENTRY32W on 64-bit Windows, which the walk must set
// before the first call.
constexpr DWORD kProcessEntrySize = 568;
static_assert(sizeof(PROCESSENTRY32W) == kProcessEntrySize, "PROCESSENTRY32W has changed size");

// Exactly the rights the sweep uses: reading the program's path (the module
// calls need query and read) and terminating. Windows XP and Server 2003 refuse
// Vista's PROCESS_ALL_ACCESS (0x1FFFFF) with access denied, and know no
// PROCESS_QUERY_LIMITED_INFORMATION.
constexpr DWORD kSweepAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE;
constexpr DWORD kOldestAllAccess = 0x1F0FFF;  // PROCESS_ALL_ACCESS of Windows XP and Server 2003
static_assert((kSweepAccess & ~kOldestAllAccess) == 0, "the sweep asks for more than XP grants");

HANDLE AsHandle(ProcessTable::Handle handle) noexcept { return reinterpret_cast<HANDLE>(handle); }
ProcessTable::Handle FromHandle(HANDLE handle) noexcept {
  return reinterpret_cast<ProcessTable::Handle>(handle);
}

bool FillEntry(BOOL found, const PROCESSENTRY32W& raw, ProcessEntry& entry) noexcept {
  if (!found) return false;
  entry.processId = raw.th32ProcessID;
  entry.parentProcessId = raw.th32ParentProcessID;
  return true;
}

}  // namespace

bool WinProcessTable::TakeSnapshot(Handle& snapshot) noexcept {
  UniqueSnapshot taken(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!taken) return false;
  snapshot = FromHandle(taken.release());
  return true;
}

bool WinProcessTable::FirstEntry(Handle snapshot, ProcessEntry& entry) noexcept {
  PROCESSENTRY32W raw{};
  raw.dwSize = kProcessEntrySize;
  return FillEntry(::Process32FirstW(AsHandle(snapshot), &raw), raw, entry);
}

bool WinProcessTable::NextEntry(Handle snapshot, ProcessEntry& entry) noexcept {
  PROCESSENTRY32W raw{};
  raw.dwSize = kProcessEntrySize;
  return FillEntry(::Process32NextW(AsHandle(snapshot), &raw), raw, entry);
}

void WinProcessTable::CloseSnapshot(Handle snapshot) noexcept {
  UniqueSnapshot closing(AsHandle(snapshot));
}

bool WinProcessTable::Open(std::uint32_t processId, Handle& process) noexcept {
  UniqueProcessHandle opened(::OpenProcess(kSweepAccess, FALSE, processId));
  if (!opened) return false;
  process = FromHandle(opened.release());
  return true;
}

bool WinProcessTable::ProbeModules(Handle process) noexcept {
  HMODULE module = nullptr;
  DWORD needed = 0;
  return ::EnumProcessModules(AsHandle(process), &module, sizeof(module), &needed) != FALSE;
}

bool WinProcessTable::ReadExecutablePath(Handle process, std::wstring& path) {
  wchar_t buffer[kExecutablePathCapacity] = {};
  const DWORD copied = ::GetModuleFileNameExW(AsHandle(process), nullptr, buffer,
                                              static_cast<DWORD>(kExecutablePathCapacity));
  if (copied == 0) return false;
  // A cut path may come back without its terminator: never read past the buffer.
  path.assign(buffer, ::wcsnlen(buffer, kExecutablePathCapacity));
  return true;
}

bool WinProcessTable::Terminate(Handle process) noexcept {
  return ::TerminateProcess(AsHandle(process), 0) != FALSE;
}

void WinProcessTable::CloseProcess(Handle process) noexcept {
  UniqueProcessHandle closing(AsHandle(process));
}

std::wstring WinShortPaths::ShortPathOf(const std::wstring& path) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
  // 0 is a failure; MAX_PATH or more is the room the short form would need.
  if (length == 0 || length >= MAX_PATH) return path;
  return std::wstring(buffer, length);
}

std::wstring WinShortPaths::WindowsFolder() {
  // The shared Windows folder, also where each Terminal Services user has a
  // private one (which GetWindowsDirectoryW would return).
  wchar_t buffer[MAX_PATH] = {};
  const UINT length = ::GetSystemWindowsDirectoryW(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(buffer, length);
}
