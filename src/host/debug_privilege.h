#pragma once
#include <ostream>

#include "host/token_service.h"

// Enables SeDebugPrivilege in `token`, the own process token opened with
// TOKEN_ADJUST_PRIVILEGES, so that the sweep can open processes of other
// accounts. Best effort: only a failed adjustment is reported, in one line of
// the run log. Takes ownership of `token` and closes it exactly once.
void EnableDebugPrivilege(std::wostream& runLog, TokenService& tokens, TokenHandle token);
