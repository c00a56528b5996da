#include "host/debug_privilege.h"

#include <cstdint>
#include <string>

namespace {

// Closes the token when the step ends, whichever way it ends.
class TokenCloser {
 public:
  TokenCloser(TokenService& tokens, TokenHandle token) noexcept : tokens_(tokens), token_(token) {}
  TokenCloser(const TokenCloser&) = delete;
  TokenCloser& operator=(const TokenCloser&) = delete;
  ~TokenCloser() { tokens_.CloseToken(token_); }

 private:
  TokenService& tokens_;
  TokenHandle token_;
};

}  // namespace

void EnableDebugPrivilege(std::wostream& runLog, TokenService& tokens, TokenHandle token) {
  const TokenCloser closer(tokens, token);

  PrivilegeId debugPrivilege;
  if (!tokens.LookupDebugPrivilege(debugPrivilege)) return;

  // A token that does not hold the privilege at all still reports success
  // here; that is not worth a line, the sweep simply reaches fewer processes.
  if (tokens.EnablePrivilege(token, debugPrivilege)) return;

  // Read the error before the token is closed, which may overwrite it.
  // Plain unsigned decimal whatever the stream's number formatting.
  const std::uint32_t error = tokens.LastError();
  runLog << L"Could not Gain SEDebugPrivileges: " << std::to_wstring(error) << L"\r\n";
  runLog.flush();
}
