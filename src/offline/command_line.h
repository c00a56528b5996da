#pragma once
// The command line of morvane-offline, read as GNU programs read theirs:
// short options (-y, -n, -a IMAGE, bundled as -yn or -aIMAGE), long ones
// with their value after "=" or as the next argument, and "--" ending the
// options. morvane-offline-image reads it the same way.

#include <string>
#include <vector>

#include "offline/offline_run.h"

struct CommandLine {
  OfflineOptions options;           // the run's options; windowsRoot empty when images are named
  std::vector<std::string> images;  // -a, once for each disk
  std::string root;                 // --root: the device of the Windows to repair among several
  std::string format;               // --format: the images' format
  std::vector<std::string> others;  // --other-file: files of the host that the images may read
  bool applyUndo = false;           // --apply-undo: the undo file of a run applied instead of a repair
  std::string undoToApply;          // its FILE; empty: the one the run left on the volume
  bool help = false;
  bool version = false;
};

// Reads argv into `line`; false, with the problem in one line, when it is
// wrong. --help and --version end the reading where they stand.
[[nodiscard]] bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::string& problem);

// The line that follows a problem with the command line.
constexpr char kTryHelp[] = "Try 'morvane-offline --help'.";
