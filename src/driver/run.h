#pragma once
// The run sequence as a function of the platform services.

#include <string>
#include <vector>

#include "driver/environment.h"
#include "driver/services.h"
#include "host/host_query.h"
#include "host/token_service.h"
#include "registry/debugger_locks.h"
#include "registry/registry_access.h"
#include "sweep/process_table.h"
#include "sweep/watched_folders.h"

struct RunServices {
  Console& console;
  Dialog& dialog;
  Clock& clock;
  Environment& environment;
  TokenService& tokens;
  HostQuery& host;
  ShortPaths& shortPaths;
  ProcessTable& processes;
  RegistryAccess& registry;
  Desktop& desktop;
  EventLog& eventLog;
  Shell& shell;
  RecordFolders& records;
  SessionUsers& sessions;
  SystemFiles& files;
};

// Runs Morvane once with the command line's `arguments` (only /quiet counts);
// returns the exit code: 0 at the normal end, 1 at every early stop, 2 at the
// end of a run in which a write or deletion of the reset failed. Every run
// writes one entry of its summary to the event log.
int Run(RunServices& services, const std::vector<std::wstring>& arguments);
