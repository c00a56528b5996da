#pragma once
// The own process token and SeDebugPrivilege as Windows provides them:
// OpenProcessToken, LookupPrivilegeValueW, AdjustTokenPrivileges,
// GetLastError and CloseHandle.

#include <cstdint>

#include "host/token_service.h"

class WinTokenService final : public TokenService {
 public:
  WinTokenService() = default;

  bool OpenOwnToken(TokenHandle& token) override;
  bool LookupDebugPrivilege(PrivilegeId& id) override;
  bool EnablePrivilege(TokenHandle token, const PrivilegeId& id) override;
  std::uint32_t LastError() override;
  void CloseToken(TokenHandle token) override;
};
