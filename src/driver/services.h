#pragma once
// The platform services that only the run driver uses: the console, the
// dialogs, the clock, where the run is shown, the system's event log and the
// shell, the signed-in user. Abstract so that the whole run can be driven by fakes.

#include <cstdint>
#include <ctime>
#include <ostream>
#include <streambuf>
#include <string>

#include "registry/registry_access.h"

class Console {
 public:
  virtual ~Console() = default;
  // From here on the console carries the text in UTF-16 (before, 8-bit).
  virtual void SetUtf16Mode() = 0;
  // The wide stream over standard output.
  virtual std::wostream& Stream() = 0;
  // The stream buffer that the run log hands its text to: by default the
  // stream's own.
  virtual std::wstreambuf& Sink() { return *Stream().rdbuf(); }
};

// MessageBoxW flags and results used by the run.
constexpr unsigned kMbOk = 0x00000000;
constexpr unsigned kMbOkCancel = 0x00000001;
constexpr unsigned kMbIconWarning = 0x00000030;
constexpr unsigned kMbIconInformation = 0x00000040;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

class Dialog {
 public:
  virtual ~Dialog() = default;
  // Shows a message box with no owner window; returns the button pressed,
  // or 0 (or -1) when the dialog could not be shown.
  virtual int Show(const std::wstring& text, const std::wstring& title, unsigned flags) = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint32_t TickCount() = 0;  // GetTickCount
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // The current calendar time converted to local time.
  virtual std::tm LocalNow() = 0;
};

// Where the process is shown: whether anyone can see its dialogs and answer them.
class Desktop {
 public:
  virtual ~Desktop() = default;
  // GetProcessWindowStation and GetUserObjectInformationW(UOI_FLAGS): whether
  // the window station has WSF_VISIBLE. True when that cannot be told.
  virtual bool WindowStationVisible() = 0;
  // ProcessIdToSessionId of the process itself: whether it runs in session 0.
  // Asked only from Windows Vista on, where the call is documented and where
  // session 0 holds services alone; false when it cannot be told.
  virtual bool InSessionZero() = 0;
  // WTSQuerySessionInformationW(WTSConnectState) of the process's own session:
  // whether it is active (not disconnected, as a Remote Desktop session its
  // user has left). True when that cannot be told.
  virtual bool SessionActive() = 0;
  // Whether the thread can make a window on its desktop, as a dialog needs: a
  // hidden one is made and destroyed at once.
  virtual bool CanShowWindows() = 0;
};

// Where the run's record, the log file and the undo file, may go.
class RecordFolders {
 public:
  virtual ~RecordFolders() = default;
  // The user's Desktop folder as the shell names it (SHGetFolderPathW with
  // CSIDL_DESKTOPDIRECTORY), translated, moved or redirected as it is; empty
  // when the shell names none.
  virtual std::wstring DesktopFolder() = 0;
  // A folder that only administrators can write, for a record the Desktop
  // cannot take: made with an access list of its own when missing; passed
  // over when it is a link or others may write in it. Empty when there is no
  // such folder.
  virtual std::wstring AdministratorsFolder() = 0;
};

// The user signed in to the session the run is in, whose settings and
// folders are repaired beside the run's own account's when that is another
// account (an administrator's, elevated over the shoulder, or SYSTEM).
class SessionUsers {
 public:
  virtual ~SessionUsers() = default;
  // The SID ("S-1-5-21-...") of the owner of the explorer.exe that runs in
  // the run's own session (the first such found), read from its token with
  // the least access Windows grants for it from `vistaOrLater` on; empty when
  // none runs there or its owner cannot be read.
  virtual std::wstring InteractiveUserSid(bool vistaOrLater) = 0;
  // The SID of the run's own account; empty when it cannot be read.
  virtual std::wstring OwnSid() = 0;
  // The registry as `sid` sees it: HKCU is HKEY_USERS\<sid>, HKCU\SOFTWARE\Classes
  // HKEY_USERS\<sid>_Classes (`classesLoaded` says whether that hive is there),
  // HKLM the machine's. Null when HKEY_USERS\<sid> is not loaded. Valid until the
  // next call.
  virtual RegistryAccess* UserRegistry(const std::wstring& sid, bool& classesLoaded) = 0;
};

// The kinds of entry a run writes to the Application event log.
enum class EventType { Information, Warning, Error };

class EventLog {
 public:
  virtual ~EventLog() = default;
  // One entry under the source "Morvane" holding `text`; false when it could
  // not be written.
  virtual bool Report(EventType type, std::uint32_t eventId, const std::wstring& text) = 0;
};

class Shell {
 public:
  virtual ~Shell() = default;
  // Tells Explorer that file associations changed, so that it drops what it
  // cached of them (icons, the Open command) without a logoff.
  virtual void AssociationsChanged() = 0;  // SHChangeNotify(SHCNE_ASSOCCHANGED)
};
