#include "platform/win_record_folders.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include "platform/unique_handle.h"

namespace {

// SYSTEM and the Administrators group, owner and full control, inherited by
// every file and folder in it; nothing inherited from the folder above, which
// at a drive's root lets users create folders.
constexpr wchar_t kAdministratorsOnly[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Rights on the folder, or on what is made in it, that would let their holder
// change a record or put another file in its place.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                     FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                     GENERIC_ALL | MAXIMUM_ALLOWED;

struct LocalTraits {
  static HLOCAL Invalid() noexcept { return nullptr; }
  static void Close(HLOCAL memory) noexcept { ::LocalFree(memory); }
};
using UniqueLocal = UniqueHandle<HLOCAL, LocalTraits>;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) noexcept {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  return ::CreateWellKnownSid(type, nullptr, buffer, &size) && ::EqualSid(sid, buffer);
}

// The account the run is under, which writes the record itself.
bool IsOwnAccount(PSID sid) noexcept {
  UniqueToken token;
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
         ::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) &&
         ::EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(buffer)->User.Sid);
}

bool IsAdministrative(PSID sid) noexcept {
  return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) || IsOwnAccount(sid);
}

// Whether the folder behind `folder` is owned by SYSTEM, the Administrators
// group or the run's own account, and its access list lets no one else write
// in it or in what is made in it (the creator's own rights, CREATOR OWNER, go
// to that owner). An entry
// of a kind not told here refuses the folder.
bool OnlyAdministratorsWrite(HANDLE folder) noexcept {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const UniqueLocal held(descriptor);
  if (owner == nullptr || !IsAdministrative(owner) || dacl == nullptr) return false;  // no list: everyone may
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!::GetAce(dacl, index, &entry)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kWriteRights) == 0 || IsAdministrative(sid) || IsWellKnown(sid, WinCreatorOwnerSid)) {
      continue;
    }
    return false;
  }
  return true;
}

// The folder at `path`, made with the administrators' access list when
// missing, if it is a plain folder (no reparse point of any kind) that only
// administrators can write.
bool UsableFolder(const std::wstring& path) noexcept {
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdministratorsOnly, SDDL_REVISION_1, &made,
                                                              nullptr)) {
    return false;
  }
  const UniqueLocal held(made);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, made, FALSE};
  if (!::CreateDirectoryW(path.c_str(), &attributes) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
  const UniqueFileHandle folder(::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING,
                                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION information{};
  return folder.valid() && ::GetFileInformationByHandle(folder.get(), &information) &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && OnlyAdministratorsWrite(folder.get());
}

}  // namespace

std::wstring WinRecordFolders::DesktopFolder() {
  wchar_t path[MAX_PATH] = {};
  if (::SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) {
    return std::wstring();
  }
  std::wstring folder(path);
  while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
  return folder;
}

std::wstring WinRecordFolders::AdministratorsFolder() {
  if (looked_) return folder_;
  looked_ = true;
  wchar_t windows[MAX_PATH];
  const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
  // The Windows folder is named with its drive: C:\Windows.
  if (length < 3 || length >= MAX_PATH || windows[1] != L':') return folder_;
  const std::wstring windowsFolder(windows, length);
  for (const std::wstring& candidate : {windowsFolder.substr(0, 3) + L"Morvane", windowsFolder + L"\\Logs\\Morvane"}) {
    if (UsableFolder(candidate)) {
      folder_ = candidate;
      break;
    }
  }
  return folder_;
}
