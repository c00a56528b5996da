#pragma once
// The association resets as data: each family's routine is a list of steps
// under HKLM\Software\Classes, walked in order by reset.cpp. Runs of steps that
// several families share are written once and listed by each family that
// uses them.

#include <cstddef>
#include <cstdint>

#include "registry/operations.h"
#include "registry/registry_access.h"

// What a step does with its row.
enum class StepAction : std::uint8_t {
  kRecreateIfMissing,  // KeyExists(HKLM, key); a missing key opens a recreation
  kWriteIfRecreating,  // SetValue, only inside a recreation whose key was missing
  kReportRecreated,    // closes the recreation: report, when its key was missing
  kReadOldValue,       // old value := ReadDefaultValue(HKLM, key)
  kResetDefault,       // SetValueIfDifferent; when written: report + old value + "!\r\n", then followUp
  kSetAlways,          // SetValue, silent
  kSetIfDifferent,     // SetValueIfDifferent; when written: report
  kEditFlagsAlways,    // SetEditFlagsBinary, silent
  kComOpenEditFlags,   // SetComOpenEditFlags, silent
  kDeleteValue,        // DeleteValue, silent
  kDeleteTree,         // DeleteKeyTree(HKLM, key); when deleted: report
  kRemoveOverride,     // RemoveUserOverride of the extension named by key
};

// For the XP and Server 2003 family: which minor versions a step belongs to.
enum class ForMinor : std::uint8_t { kAny, kOne, kTwo, kNotTwo };

struct ResetStep {
  StepAction action;
  const wchar_t* key;        // below HKLM\Software\Classes, spelled as written; the extension for kRemoveOverride
  const wchar_t* valueName;  // L"" is the default value
  ValueType type;
  const wchar_t* data;
  EditFlags flags;           // kEditFlagsAlways only
  const wchar_t* report;     // written when the step repaired something; nullptr: silent
  const wchar_t* followUp;   // kResetDefault: the line after the "changed to" line
  ForMinor minor;
};

// A run of steps, walked in order.
struct StepRun {
  const ResetStep* steps;
  std::size_t count;
};

// A whole routine: its runs, in order.
struct ResetRoutine {
  const StepRun* runs;
  std::size_t count;
};

extern const ResetRoutine kXpRoutine;        // major version 5; steps filtered by minor version
extern const ResetRoutine kVistaRoutine;     // 6.0
extern const ResetRoutine kWin7Win8Routine;    // 6.1 to 10.0
extern const ResetRoutine kPinToStartVerb;     // 6.2, after kWin7Win8Routine
extern const ResetRoutine kPinToStartHandler;  // 6.3 and 10.0, after kWin7Win8Routine

// True when `step` belongs to a host with this minor version.
[[nodiscard]] constexpr bool AppliesTo(const ResetStep& step, std::uint32_t minorVersion) noexcept {
  switch (step.minor) {
    case ForMinor::kAny:
      return true;
    case ForMinor::kOne:
      return minorVersion == 1;
    case ForMinor::kTwo:
      return minorVersion == 2;
    case ForMinor::kNotTwo:
      return minorVersion != 2;
  }
  return false;
}
