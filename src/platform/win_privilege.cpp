#include "platform/win_privilege.h"

#include <windows.h>

namespace {

HANDLE ToHandle(TokenHandle token) noexcept { return reinterpret_cast<HANDLE>(token); }

}  // namespace

bool WinTokenService::OpenOwnToken(TokenHandle& token) {
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &opened)) return false;
  token = reinterpret_cast<TokenHandle>(opened);
  return true;
}

bool WinTokenService::LookupDebugPrivilege(PrivilegeId& id) {
  LUID luid{};
  if (!::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &luid)) return false;
  id.lowPart = luid.LowPart;
  id.highPart = luid.HighPart;
  return true;
}

bool WinTokenService::EnablePrivilege(TokenHandle token, const PrivilegeId& id) {
  TOKEN_PRIVILEGES block{};
  block.PrivilegeCount = 1;
  block.Privileges[0].Luid.LowPart = id.lowPart;
  block.Privileges[0].Luid.HighPart = id.highPart;
  block.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  return ::AdjustTokenPrivileges(ToHandle(token), FALSE, &block, 0, nullptr, nullptr) != FALSE;
}

std::uint32_t WinTokenService::LastError() { return ::GetLastError(); }

void WinTokenService::CloseToken(TokenHandle token) {
  if (token != 0) ::CloseHandle(ToHandle(token));
}
