#include "platform/win_desktop.h"

#include <windows.h>

#include "platform/dll_export.h"
#include "platform/unique_handle.h"

namespace {

constexpr wchar_t kEventSource[] = L"Morvane";

// ProcessIdToSessionId is documented from Windows Vista on: it is looked up
// in kernel32 at run time, so that the program still loads on Windows XP x64
// and Server 2003 x64, where it is never asked.
using ProcessIdToSessionIdFunction = BOOL(WINAPI*)(DWORD, DWORD*);

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

bool WinEventLog::Report(EventType type, std::uint32_t eventId, const std::wstring& text) {
  const UniqueHandle<HANDLE, EventSourceTraits> source(::RegisterEventSourceW(nullptr, kEventSource));
  if (!source) return false;
  const WORD kind = type == EventType::Information ? EVENTLOG_INFORMATION_TYPE
                    : type == EventType::Warning    ? EVENTLOG_WARNING_TYPE
                                                    : EVENTLOG_ERROR_TYPE;
  const wchar_t* strings[] = {text.c_str()};
  return ::ReportEventW(source.get(), kind, 0, eventId, nullptr, 1, 0, strings, nullptr) != FALSE;
}
