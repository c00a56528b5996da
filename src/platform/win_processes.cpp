#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include "platform/win_processes.h"

#include <cwchar>

#include "platform/dll_export.h"
#include "platform/unique_handle.h"
#include "platform/win_registry.h"
#include "registry/registry_text.h"

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
static_assert(kSweepAccess == 0x411, "ProcessTable::Open documents the rights as 0x411");

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

// Where Windows names the folders of installed programs, and the values that
// name them: the 64-bit one, and the 32-bit one where there is one.
constexpr wchar_t kCurrentVersionKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion";
constexpr const wchar_t* kProgramFolderValues[] = {L"ProgramFilesDir", L"ProgramFilesDir (x86)"};

struct ModuleTraits {
  static HMODULE Invalid() noexcept { return nullptr; }
  static void Close(HMODULE module) noexcept { ::FreeLibrary(module); }
};

}  // namespace

// The process status calls are never imported: on Windows XP x64 and Server
// 2003 x64 psapi.dll is not a known DLL, so Windows would look for it first in
// the folder Morvane.exe was started from (a Downloads folder, a Desktop),
// where anyone could have put one. kernel32 has them from Windows 7 on; before,
// psapi.dll is loaded by its full path in the system folder.
//
// The image's real path: QueryFullProcessImageNameW from Windows Vista on
// (kernel32, looked up); before, GetProcessImageFileNameW (psapi.dll), which
// names the file by its device, mapped to a drive letter here.
struct WinProcessTable::StatusLibrary {
  using EnumProcessModulesFunction = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
  using GetModuleFileNameExWFunction = DWORD(WINAPI*)(HANDLE, HMODULE, wchar_t*, DWORD);
  using QueryFullProcessImageNameWFunction = BOOL(WINAPI*)(HANDLE, DWORD, wchar_t*, DWORD*);
  using GetProcessImageFileNameWFunction = DWORD(WINAPI*)(HANDLE, wchar_t*, DWORD);

  StatusLibrary() {
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    queryFullProcessImageNameW =
        DllExport<QueryFullProcessImageNameWFunction>(kernel32, "QueryFullProcessImageNameW");
    enumProcessModules = DllExport<EnumProcessModulesFunction>(kernel32, "K32EnumProcessModules");
    getModuleFileNameExW = DllExport<GetModuleFileNameExWFunction>(kernel32, "K32GetModuleFileNameExW");
    if (enumProcessModules != nullptr && getModuleFileNameExW != nullptr) return;
    wchar_t folder[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    psapi.reset(::LoadLibraryW((std::wstring(folder, length) + L"\\psapi.dll").c_str()));
    enumProcessModules = DllExport<EnumProcessModulesFunction>(psapi.get(), "EnumProcessModules");
    getModuleFileNameExW = DllExport<GetModuleFileNameExWFunction>(psapi.get(), "GetModuleFileNameExW");
    getProcessImageFileNameW =
        DllExport<GetProcessImageFileNameWFunction>(psapi.get(), "GetProcessImageFileNameW");
  }

  UniqueHandle<HMODULE, ModuleTraits> psapi;
  EnumProcessModulesFunction enumProcessModules = nullptr;
  GetModuleFileNameExWFunction getModuleFileNameExW = nullptr;
  QueryFullProcessImageNameWFunction queryFullProcessImageNameW = nullptr;
  GetProcessImageFileNameWFunction getProcessImageFileNameW = nullptr;
};

namespace {

// A device path (\Device\HarddiskVolume2\Users\x.exe) with the device named
// by its drive letter (C:\Users\x.exe); empty when no drive names it.
std::wstring OnDriveLetter(const std::wstring& devicePath) {
  wchar_t drives[128] = {};
  const DWORD length = ::GetLogicalDriveStringsW(127, drives);
  if (length == 0 || length > 127) return std::wstring();
  for (const wchar_t* drive = drives; *drive != L'\0'; drive += ::wcslen(drive) + 1) {
    const wchar_t name[] = {drive[0], L':', L'\0'};
    wchar_t device[MAX_PATH] = {};
    if (::QueryDosDeviceW(name, device, MAX_PATH) == 0) continue;
    const std::size_t size = ::wcsnlen(device, MAX_PATH);
    if (size > 0 && devicePath.size() > size && devicePath.compare(0, size, device) == 0 &&
        devicePath[size] == L'\\') {
      return name + devicePath.substr(size);
    }
  }
  return std::wstring();
}

}  // namespace

WinProcessTable::WinProcessTable() : status_(std::make_unique<StatusLibrary>()) {}
WinProcessTable::~WinProcessTable() = default;

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
  return status_->enumProcessModules != nullptr &&
         status_->enumProcessModules(AsHandle(process), &module, sizeof(module), &needed) != FALSE;
}

bool WinProcessTable::ReadExecutablePath(Handle process, std::wstring& path) {
  wchar_t buffer[kExecutablePathCapacity] = {};
  DWORD size = static_cast<DWORD>(kExecutablePathCapacity);
  if (status_->queryFullProcessImageNameW != nullptr &&
      status_->queryFullProcessImageNameW(AsHandle(process), 0, buffer, &size) && size < kExecutablePathCapacity) {
    path.assign(buffer, size);
    return true;
  }
  if (status_->getProcessImageFileNameW != nullptr) {
    wchar_t device[kExecutablePathCapacity * 2] = {};
    const DWORD copied = status_->getProcessImageFileNameW(AsHandle(process), device, kExecutablePathCapacity * 2);
    const std::wstring mapped = copied == 0 ? std::wstring() : OnDriveLetter(std::wstring(device, ::wcsnlen(device, copied)));
    if (!mapped.empty()) {
      path = mapped.substr(0, kExecutablePathCapacity - 1);
      return true;
    }
  }
  if (status_->getModuleFileNameExW == nullptr) return false;
  const DWORD copied = status_->getModuleFileNameExW(AsHandle(process), nullptr, buffer,
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

std::wstring WinShortPaths::RealPathOf(const std::wstring& path) {
  // GetFinalPathNameByHandleW is there from Windows Vista on, where the
  // profile folders have junctions of their old names.
  using GetFinalPathNameByHandleWFunction = DWORD(WINAPI*)(HANDLE, wchar_t*, DWORD, DWORD);
  const auto finalPath = DllExport<GetFinalPathNameByHandleWFunction>(::GetModuleHandleW(L"kernel32.dll"),
                                                                      "GetFinalPathNameByHandleW");
  if (finalPath == nullptr) return path;
  const UniqueFileHandle folder(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  wchar_t buffer[MAX_PATH + 8] = {};
  const DWORD length = folder ? finalPath(folder.get(), buffer, MAX_PATH + 8, 0) : 0;  // FILE_NAME_NORMALIZED, VOLUME_NAME_DOS
  if (length == 0 || length >= MAX_PATH + 8) return path;
  std::wstring real(buffer, length);
  // \\?\C:\Users\x, or \\?\UNC\server\share for a share.
  if (real.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + real.substr(7);
  if (real.compare(0, 4, L"\\\\?\\") == 0) return real.substr(4);
  return real;
}

std::wstring WinShortPaths::WindowsFolder() {
  // The shared Windows folder, also where each Terminal Services user has a
  // private one (which GetWindowsDirectoryW would return).
  wchar_t buffer[MAX_PATH] = {};
  const UINT length = ::GetSystemWindowsDirectoryW(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(buffer, length);
}

// Read through the registry layer; a value that is missing, no text, or
// larger than 2048 bytes is left out.
std::vector<std::wstring> WinShortPaths::ProgramFolders() {
  std::vector<std::wstring> folders;
  WinRegistry registry;
  RegistryKey key(registry);
  if (key.Open(RegistryAccess::RootKey(RegistryRoot::HKLM), kCurrentVersionKey, kOptionNonVolatile,
               kKeyQueryValue | kKeyWow64_64Key) != kRegistrySuccess) {
    return folders;
  }
  for (const wchar_t* name : kProgramFolderValues) {
    std::uint8_t data[2048];
    std::uint32_t size = sizeof data;
    ValueType type = ValueType::RegNone;
    if (registry.QueryValue(key.get(), name, type, data, size) != kRegistrySuccess ||
        (type != ValueType::RegSz && type != ValueType::RegExpandSz)) {
      continue;
    }
    folders.push_back(FromUtf16(Utf16UpToNul(data, size)));
  }
  return folders;
}
