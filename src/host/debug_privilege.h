#pragma once
#include <ostream>

#include "host/token_service.h"

// Enables SeDebugPrivilege in `token`, writes the one failure line to the run
// log when the adjustment fails, and closes `token` in every case.
void EnableDebugPrivilege(std::wostream& runLog, TokenService& tokens, TokenHandle token);
