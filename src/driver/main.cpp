// Morvane.exe's entry point: wires the Windows services into the run with the
// command-line arguments.

#include <string>
#include <vector>

#include "driver/run.h"
#include "platform/win_clock.h"
#include "platform/win_console.h"
#include "platform/win_desktop.h"
#include "platform/win_dialog.h"
#include "platform/win_environment.h"
#include "platform/win_files.h"
#include "platform/win_host.h"
#include "platform/win_privilege.h"
#include "platform/win_processes.h"
#include "platform/win_record_folders.h"
#include "platform/win_registry.h"
#include "platform/win_session_users.h"
#include "platform/win_shell.h"

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> arguments(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  WinConsole console;
  WinDialog dialog;
  WinClock clock;
  WinEnvironment environment;
  WinTokenService tokens;
  WinHostQuery host;
  WinShortPaths shortPaths;
  WinProcessTable processes;
  WinRegistry registry;
  WinDesktop desktop;
  WinEventLog eventLog;
  WinShell shell;
  WinRecordFolders records;
  WinSessionUsers sessions;
  WinSystemFiles files;
  RunServices services{console,   dialog,   clock,   environment, tokens, host,    shortPaths, processes,
                       registry,  desktop,  eventLog, shell,      records, sessions, files};
  const int exitCode = Run(services, arguments);
  return exitCode;
}
