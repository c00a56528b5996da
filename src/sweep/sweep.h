#pragma once
#include <cstdint>
#include <ostream>

#include "host/system_info.h"
#include "sweep/process_table.h"

// Terminates every process that runs from a watched folder, but the tool itself
// and its parent; writes a line for each; returns how many were terminated.
// `console` receives the snapshot failure word, which never reaches the log.
std::uint32_t SweepProcesses(const SystemInfo& info, std::wostream& runLog, std::wostream& console,
                             ProcessTable& processes);

// The process id of the tool's parent, or 0.
std::uint32_t FindParentProcessId(const SystemInfo& info, ProcessTable& processes);
