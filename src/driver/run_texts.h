#pragma once
// The texts that Morvane.exe and morvane-offline both show.

inline constexpr wchar_t kLicenseTitle[] = L"Morvane License";
inline constexpr wchar_t kLicenseText[] =
    L"Morvane is a program designed to fix executable (.exe, .bat, .com) file associations when "
    L"you are no longer able to launch these types of programs.  Though this program has been "
    L"thoroughly tested, the use of this program is done at your own risk.\r\n\r\n"
    L"If you would like to continue, please press the OK button.";

inline constexpr wchar_t kFinishedTitle[] = L"Morvane Finished";
inline constexpr wchar_t kFinishedText[] =
    L"Your executables (.exe, .bat, .com) should now properly execute on your computer!";
// When a write or deletion failed; followed by the log file path and a full stop.
inline constexpr wchar_t kNotResetText[] =
    L"Some associations of executables (.exe, .bat, .com) could not be reset! "
    L"The log file names each one: ";

inline constexpr wchar_t kCancelledLine[] = L"Program cancelled by the user!\r\n";
inline constexpr wchar_t kResettingLine[] =
    L"Resetting .EXE, .COM, & .BAT associations in the Windows Registry.\r\n\r\n";
