#pragma once
// The own process token and the debug privilege, as the platform provides them.

#include <cstdint>

using TokenHandle = std::uintptr_t;  // 0 is the null handle
struct PrivilegeId {
  std::uint32_t lowPart = 0;
  std::int32_t highPart = 0;
};

class TokenService {
 public:
  virtual ~TokenService() = default;
  // OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES).
  virtual bool OpenOwnToken(TokenHandle& token) = 0;
  // LookupPrivilegeValueW(no system, "SeDebugPrivilege").
  virtual bool LookupDebugPrivilege(PrivilegeId& id) = 0;
  // AdjustTokenPrivileges with one entry enabling `id`; false on failure.
  virtual bool EnablePrivilege(TokenHandle token, const PrivilegeId& id) = 0;
  virtual std::uint32_t LastError() = 0;
  virtual void CloseToken(TokenHandle token) = 0;
};
