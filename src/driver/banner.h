#pragma once
// The lines that open and close the run log.

#include <cstdint>
#include <ostream>

#include "driver/services.h"
#include "host/host_query.h"
#include "host/system_info.h"

// The identification lines, then when the run started and in which processor
// mode; flushes the run log. Reads the clock once.
void WriteBanner(std::wostream& runLog, const SystemInfo& info, Clock& clock);

// When the run finished and how long it took since `startTick`, then a lone
// line feed; flushes the run log twice.
void WriteClosingLines(std::wostream& runLog, std::uint32_t startTick, Clock& clock);

// Classifies the host into `info` and writes the banner, then either the
// Windows version line or the message that ends the run (a processor that
// cannot be used, a system that is not supported), and a line when a
// compatibility mode makes the system report another version to the program;
// flushes the run log.
// False when the run must stop.
bool DescribeHost(std::wostream& runLog, SystemInfo& info, HostQuery& host, Clock& clock);
