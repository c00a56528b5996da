#pragma once
#include "host/host_query.h"
#include "host/system_info.h"

// Fills the version and processor fields of `info`; returns the processor
// status: 1 when the run must not go on, else 0.
int ClassifyHost(SystemInfo& info, HostQuery& host);
