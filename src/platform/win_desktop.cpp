#include "platform/win_desktop.h"

#include <windows.h>
#include <wtsapi32.h>

#include <string>

#include "platform/dll_export.h"
#include "platform/unique_handle.h"

namespace {

constexpr wchar_t kEventSource[] = L"Morvane";

// ProcessIdToSessionId is documented from Windows Vista on: it is looked up
// in kernel32 at run time, so that the program still loads on Windows XP x64
// and Server 2003 x64, where it is never asked.
using ProcessIdToSessionIdFunction = BOOL(WINAPI*)(DWORD, DWORD*);

// wtsapi32.dll is not a known DLL on every family: it is loaded by its full
// path in the system folder, and asked through run-time lookups.
using WTSQuerySessionInformationWFunction = BOOL(WINAPI*)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
using WTSFreeMemoryFunction = void(WINAPI*)(PVOID);

struct ModuleTraits {
  static HMODULE Invalid() noexcept { return nullptr; }
  static void Close(HMODULE module) noexcept { ::FreeLibrary(module); }
};

struct EventSourceTraits {
  static HANDLE Invalid() noexcept { return nullptr; }
  static void Close(HANDLE source) noexcept { ::DeregisterEventSource(source); }
};

}  // namespace

bool WinDesktop::WindowStationVisible() {
  // The handle of the process's own window station is not to be closed.
  HWINSTA station = ::GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (station == nullptr || !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) {
    return true;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

bool WinDesktop::InSessionZero() {
  const auto processIdToSessionId =
      DllExport<ProcessIdToSessionIdFunction>(::GetModuleHandleW(L"kernel32.dll"), "ProcessIdToSessionId");
  DWORD session = 0;
  return processIdToSessionId != nullptr && processIdToSessionId(::GetCurrentProcessId(), &session) &&
         session == 0;
}

bool WinDesktop::SessionActive() {
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return true;
  const UniqueHandle<HMODULE, ModuleTraits> wtsapi(
      ::LoadLibraryW((std::wstring(folder, length) + L"\\wtsapi32.dll").c_str()));
  const auto query =
      DllExport<WTSQuerySessionInformationWFunction>(wtsapi.get(), "WTSQuerySessionInformationW");
  const auto release = DllExport<WTSFreeMemoryFunction>(wtsapi.get(), "WTSFreeMemory");
  LPWSTR buffer = nullptr;
  DWORD bytes = 0;
  if (query == nullptr || release == nullptr ||
      !query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSConnectState, &buffer, &bytes)) {
    return true;
  }
  WTS_CONNECTSTATE_CLASS state = WTSActive;
  if (buffer != nullptr && bytes >= sizeof state) state = *reinterpret_cast<const WTS_CONNECTSTATE_CLASS*>(buffer);
  if (buffer != nullptr) release(buffer);
  return state == WTSActive;
}

bool WinDesktop::CanShowWindows() {
  // A message box is a window of the thread's desktop: where none can be made
  // (no display, the desktop's heap exhausted) the dialog cannot show either.
  const HWND window = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                        ::GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) return false;
  ::DestroyWindow(window);
  return true;
}

bool WinEventLog::Report(EventType type, std::uint32_t eventId, const std::wstring& text) {
  const UniqueHandle<HANDLE, EventSourceTraits> source(::RegisterEventSourceW(nullptr, kEventSource));
  if (!source) return false;
  const WORD kind = type == EventType::Information ? EVENTLOG_INFORMATION_TYPE
                    : type == EventType::Warning    ? EVENTLOG_WARNING_TYPE
                                                    : EVENTLOG_ERROR_TYPE;
  const wchar_t* strings[] = {text.c_str()};
  return ::ReportEventW(source.get(), kind, 0, eventId, nullptr, 1, 0, strings, nullptr) != FALSE;
}
