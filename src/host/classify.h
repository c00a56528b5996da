#pragma once
#include "host/host_query.h"
#include "host/system_info.h"

// Names the Windows version and the processor of the host in `info`, decides
// whether this version is repaired, and records the own process id. Returns
// the processor status: 1 when the run must not go on (Itanium or an unknown
// architecture), else 0. Writes nothing to the run log.
[[nodiscard]] int ClassifyHost(SystemInfo& info, HostQuery& host);
