#pragma once
// The offline run: the online run's resets applied to a Windows installation
// on a mounted volume, for the machine and for every user profile.

#include <cstdint>
#include <istream>
#include <string>

#include "driver/services.h"

struct OfflineOptions {
  std::string windowsRoot;  // the mounted volume (or a folder) that holds the Windows folder
  std::string logPath;      // the log file; empty: a new one in the volume's Morvane folder
  std::string undoPath;     // the undo file; empty: beside the log
  bool yes = false;         // the confirmation answered in advance
  bool dryRun = false;      // show what would be changed, and write nothing
};

struct OfflineServices {
  Console& console;
  Clock& clock;
  std::istream& answers;  // the user's answer to the confirmation
};

// Exit codes: 0 done (or a dry run shown), 1 stopped before changing
// anything, 2 finished with changes that could not be made.
constexpr int kOfflineDone = 0;
constexpr int kOfflineStopped = 1;
constexpr int kOfflineFailed = 2;

int RunOffline(const OfflineOptions& options, OfflineServices& services);

// Asks "Continue? [y/N] " on the console and reads the answer, or takes
// `yes` given in advance; no answer, or the end of the input, is a no.
bool AskToContinue(bool yes, OfflineServices& services);

// `bytes` in MiB to a tenth, rounded up or down.
std::string Mebibytes(std::uint64_t bytes, bool up);

// The free space of a refusal: "nothing is free", "less than 0.1 MiB is free", "3.2 MiB is free".
std::string FreeText(std::uint64_t free);
