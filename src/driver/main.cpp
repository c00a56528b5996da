// Morvane.exe's entry point: wires the Windows services into the run.
// Command-line arguments are ignored.

#include "driver/run.h"
#include "platform/win_clock.h"
#include "platform/win_console.h"
#include "platform/win_dialog.h"
#include "platform/win_environment.h"
#include "platform/win_host.h"
#include "platform/win_privilege.h"
#include "platform/win_processes.h"
#include "platform/win_registry.h"
#include "platform/win_shell.h"

int wmain() {
  WinConsole console;
  WinDialog dialog;
  WinClock clock;
  WinEnvironment environment;
  WinTokenService tokens;
  WinHostQuery host;
  WinShortPaths shortPaths;
  WinProcessTable processes;
  WinRegistry registry;
  WinShell shell;
  RunServices services{console, dialog, clock, environment, tokens, host, shortPaths, processes, registry, shell};
  const int exitCode = Run(services);
  return exitCode;
}
