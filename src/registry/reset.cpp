// The association resets: each walks its family's table of steps in order.
// Every step is tried whatever became of the ones before it; a step reports
// only what it found damaged and repaired, each line followed by a flush.

#include "registry/reset.h"

#include <cstdint>
#include <string>

#include "registry/operations.h"
#include "registry/reset_tables.h"
#include "registry/user_override.h"

namespace {

std::wstring MachinePath(const wchar_t* key) { return std::wstring(LR"(Software\Classes\)") + key; }

void Report(std::wostream& runLog, const wchar_t* line) { runLog << line << std::flush; }

class RoutineWalk {
 public:
  RoutineWalk(RegistryAccess& registry, std::wostream& runLog, std::uint32_t minorVersion)
      : registry_(registry), runLog_(runLog), minorVersion_(minorVersion) {}

  void Walk(const ResetRoutine& routine) {
    for (std::size_t run = 0; run < routine.count; ++run) {
      const StepRun& steps = routine.runs[run];
      for (std::size_t index = 0; index < steps.count; ++index) {
        if (AppliesTo(steps.steps[index], minorVersion_)) Perform(steps.steps[index]);
      }
    }
  }

 private:
  void Perform(const ResetStep& step) {
    switch (step.action) {
      case StepAction::kRecreateIfMissing:
        recreating_ = !KeyExists(registry_, RegistryRoot::HKLM, MachinePath(step.key));
        recreated_ = false;
        break;
      case StepAction::kWriteIfRecreating:
        if (recreating_ && SetValue(registry_, MachinePath(step.key), step.valueName, step.data, step.type)) {
          recreated_ = true;
        }
        break;
      case StepAction::kReportRecreated:
        // Claimed only when the key now exists: a recreation whose every write
        // failed has recreated nothing.
        if (recreating_ && recreated_) Report(runLog_, step.report);
        recreating_ = false;
        break;
      case StepAction::kReadOldValue:
        oldValue_ = ReadDefaultValue(registry_, RegistryRoot::HKLM, MachinePath(step.key));
        break;
      case StepAction::kResetDefault:
        if (SetValueIfDifferent(registry_, MachinePath(step.key), step.valueName, step.data, step.type)) {
          runLog_ << step.report << oldValue_ << L"!\r\n" << std::flush;
          Report(runLog_, step.followUp);
        }
        break;
      case StepAction::kSetAlways:
        static_cast<void>(SetValue(registry_, MachinePath(step.key), step.valueName, step.data, step.type));
        break;
      case StepAction::kSetIfDifferent:
        if (SetValueIfDifferent(registry_, MachinePath(step.key), step.valueName, step.data, step.type)) {
          Report(runLog_, step.report);
        }
        break;
      case StepAction::kEditFlagsAlways:
        static_cast<void>(SetEditFlagsBinary(registry_, MachinePath(step.key), step.flags));
        break;
      case StepAction::kComOpenEditFlags:
        static_cast<void>(SetComOpenEditFlags(registry_));
        break;
      case StepAction::kDeleteValue:
        DeleteValue(registry_, MachinePath(step.key), step.valueName);
        break;
      case StepAction::kDeleteTree:
        if (DeleteKeyTree(registry_, RegistryRoot::HKLM, MachinePath(step.key))) Report(runLog_, step.report);
        break;
      case StepAction::kRemoveOverride:
        RemoveUserOverride(registry_, runLog_, step.key);
        break;
    }
  }

  RegistryAccess& registry_;
  std::wostream& runLog_;
  std::uint32_t minorVersion_;
  std::wstring oldValue_;    // the extension's default value as read before its reset
  bool recreating_ = false;  // inside a recreation whose key was missing
  bool recreated_ = false;   // and at least one of its writes succeeded
};

// The reset routine of each Windows family.
enum class ResetFamily { kNone, kXp, kVista, kWin7, kWin8 };

struct ResetRow {
  std::uint32_t majorVersion;
  std::int64_t minorVersion;  // kAnyMinor matches every minor version
  ResetFamily family;
};

constexpr std::int64_t kAnyMinor = -1;

constexpr ResetRow kResetTable[] = {
    {5, kAnyMinor, ResetFamily::kXp},
    {6, 0, ResetFamily::kVista},
    {6, 1, ResetFamily::kWin7},
    {6, 2, ResetFamily::kWin8},
};

ResetFamily FamilyOf(const SystemInfo& info) {
  for (const ResetRow& row : kResetTable) {
    if (row.majorVersion == info.majorVersion &&
        (row.minorVersion == kAnyMinor || row.minorVersion == info.minorVersion)) {
      return row.family;
    }
  }
  return ResetFamily::kNone;
}

}  // namespace

void RunFamilyReset(RegistryAccess& registry, const SystemInfo& info, std::wostream& runLog) {
  switch (FamilyOf(info)) {
    case ResetFamily::kXp:
      ResetXpFamily(registry, info, runLog);
      break;
    case ResetFamily::kVista:
      ResetVistaFamily(registry, runLog);
      break;
    case ResetFamily::kWin7:
      ResetWin7Win8Family(registry, runLog);
      break;
    case ResetFamily::kWin8:
      ResetWin7Win8Family(registry, runLog);
      AddPinToStartVerb(registry);
      break;
    case ResetFamily::kNone:
      break;
  }
}

void ResetXpFamily(RegistryAccess& registry, const SystemInfo& info, std::wostream& runLog) {
  RoutineWalk(registry, runLog, info.minorVersion).Walk(kXpRoutine);
}

void ResetVistaFamily(RegistryAccess& registry, std::wostream& runLog) {
  RoutineWalk(registry, runLog, 0).Walk(kVistaRoutine);
}

void ResetWin7Win8Family(RegistryAccess& registry, std::wostream& runLog) {
  RoutineWalk(registry, runLog, 0).Walk(kWin7Win8Routine);
}

void AddPinToStartVerb(RegistryAccess& registry) {
  // The verb's steps are silent: a stream without a buffer takes the place of
  // the run log.
  std::wostream noLog(nullptr);
  RoutineWalk(registry, noLog, 0).Walk(kPinToStartVerb);
}
