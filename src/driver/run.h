#pragma once
// The run sequence as a function of the platform services.

#include "driver/environment.h"
#include "driver/services.h"
#include "host/host_query.h"
#include "host/token_service.h"
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
  Shell& shell;
};

// Runs Morvane once; returns the exit code: 0 at the normal end, 1 at every
// early stop, 2 at the end of a run in which a write or deletion of the reset
// failed.
int Run(RunServices& services);
