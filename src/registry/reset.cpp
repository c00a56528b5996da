// The association resets: each walks its family's table of steps in order.
// Every step is tried whatever became of the ones before it; a step reports
// what it found damaged and repaired, and a write or deletion that failed,
// each line followed by a flush.

#include "registry/reset.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "registry/operations.h"
#include "registry/policy_locks.h"
#include "registry/registry_text.h"
#include "registry/reset_tables.h"
#include "registry/user_override.h"
#include "registry/verb_locks.h"

namespace {

void Report(std::wostream& runLog, const std::wstring& line) { runLog << line << std::flush; }

// The machine's classes as the 64-bit view reaches them, and where the
// report lines of the tables name them.
const std::wstring kMachineClasses = L"Software\\Classes";
const std::wstring kShownClasses = L"HKLM\\Software\\Classes\\";
// The batch files' command lines name the class right after the root.
const std::wstring kShownBatfile = L"HKLM\\batfile\\";

class RoutineWalk {
 public:
  // `classes` below HKLM, and `userClasses` below HKCU, are where the classes
  // are repaired: the machine's and the user's, or their 32-bit views, whose
  // lines then name the keys as they are reached there. Empty `userClasses`:
  // the user's classes and Explorer's choices, as RemoveUserOverride has them.
  RoutineWalk(RegistryAccess& registry, std::wostream& runLog, std::uint32_t minorVersion,
              std::wstring classes = kMachineClasses, std::wstring userClasses = std::wstring())
      : registry_(registry),
        runLog_(runLog),
        minorVersion_(minorVersion),
        classes_(std::move(classes)),
        userClasses_(std::move(userClasses)) {}

  // From Windows 8 on Windows protects Explorer's choices from programs.
  RoutineWalk& ChoicesProtected() {
    choicesProtected_ = true;
    return *this;
  }

  // Returns how many writes and deletions failed.
  std::uint32_t Walk(const ResetRoutine& routine) {
    for (std::size_t run = 0; run < routine.count; ++run) {
      const StepRun& steps = routine.runs[run];
      for (std::size_t index = 0; index < steps.count; ++index) {
        if (AppliesTo(steps.steps[index], minorVersion_)) Perform(steps.steps[index]);
      }
    }
    return failures_;
  }

 private:
  std::wstring MachinePath(const wchar_t* key) const { return classes_ + L"\\" + key; }

  // The machine key of a step as the report lines name it, without the
  // trailing backslash some rows spell.
  std::wstring ReportedKey(const wchar_t* key) const {
    std::wstring path = L"HKLM\\" + MachinePath(key);
    if (path.back() == L'\\') path.pop_back();
    return path;
  }

  // A value as the report lines name it: its key, two backslashes, and its
  // name, @ for the default value.
  std::wstring ReportedValue(const ResetStep& step) const {
    const std::wstring name = step.valueName[0] == L'\0' ? L"@" : step.valueName;
    return ReportedKey(step.key) + L"\\\\" + name;
  }

  // A line of the table, its keys named as this walk reaches them.
  std::wstring Shown(const wchar_t* line) const {
    if (line == nullptr) return std::wstring();
    std::wstring text = line;
    if (classes_ == kMachineClasses) return text;
    const std::wstring there = L"HKLM\\" + classes_ + L"\\";
    for (const std::wstring& written : {kShownClasses, kShownBatfile}) {
      const std::wstring replacement = written == kShownBatfile ? there + L"batfile\\" : there;
      for (std::size_t at = text.find(written); at != std::wstring::npos;
           at = text.find(written, at + replacement.size())) {
        text.replace(at, written.size(), replacement);
      }
    }
    return text;
  }

  // Passes the change on; a write or deletion that failed gets its line,
  // naming the step's value, or its key when `ofKey` (with what went and
  // what stands of a tree that `report` tells of).
  RegistryChange Checked(RegistryChange change, const ResetStep& step, bool ofKey = false,
                         const TreeReport* report = nullptr) {
    if (change.error != kRegistrySuccess && report != nullptr) {
      ReportTreeFailure(runLog_, ReportedKey(step.key), change.error, *report);
      ++failures_;
    } else if (change.error != kRegistrySuccess) {
      ReportFailure(runLog_, ofKey ? ReportedKey(step.key) : ReportedValue(step), change.error);
      ++failures_;
    }
    return change;
  }

  void Perform(const ResetStep& step) {
    const std::wstring path = MachinePath(step.key);
    switch (step.action) {
      case StepAction::kRecreateIfMissing:
        recreating_ = !KeyExists(registry_, RegistryRoot::HKLM, path);
        recreated_ = false;
        break;
      case StepAction::kWriteIfRecreating:
        if (recreating_ &&
            Checked(SetValue(registry_, path, step.valueName, step.data, step.type), step)) {
          recreated_ = true;
        }
        break;
      case StepAction::kReportRecreated:
        // Claimed only when the key now exists: a recreation whose every write
        // failed has recreated nothing.
        if (recreating_ && recreated_) Report(runLog_, Shown(step.report));
        recreating_ = false;
        break;
      case StepAction::kReadOldValue:
        oldValue_ = ReadDefaultValue(registry_, RegistryRoot::HKLM, path);
        break;
      case StepAction::kResetDefault:
        if (Checked(SetValueIfDifferent(registry_, path, step.valueName, step.data, step.type),
                    step)) {
          runLog_ << Shown(step.report) << EscapeControlCharacters(oldValue_) << L"!\r\n" << std::flush;
          Report(runLog_, Shown(step.followUp));
        }
        break;
      case StepAction::kSetAlways:
        Checked(SetValue(registry_, path, step.valueName, step.data, step.type), step);
        break;
      case StepAction::kSetIfDifferent:
        if (Checked(SetValueIfDifferent(registry_, path, step.valueName, step.data, step.type),
                    step)) {
          Report(runLog_, Shown(step.report));
        }
        break;
      case StepAction::kEditFlagsAlways:
        Checked(SetEditFlagsBinary(registry_, path, step.flags), step);
        break;
      case StepAction::kComOpenEditFlags:
        Checked(SetComOpenEditFlags(registry_, MachinePath(step.key)), step);
        break;
      case StepAction::kDeleteValue:
        Checked(DeleteValue(registry_, path, step.valueName), step);
        break;
      case StepAction::kDeleteTree: {
        TreeReport report;
        if (Checked(DeleteKeyTree(registry_, RegistryRoot::HKLM, path, &report), step, true, &report)) {
          Report(runLog_, Shown(step.report));
        }
        break;
      }
      case StepAction::kRemoveOverride:
        failures_ += userClasses_.empty() ? RemoveUserOverride(registry_, runLog_, step.key, choicesProtected_)
                                          : RemoveUserClassesOverride(registry_, runLog_, step.key, userClasses_);
        break;
    }
  }

  RegistryAccess& registry_;
  std::wostream& runLog_;
  std::uint32_t minorVersion_;
  std::wstring classes_;
  std::wstring userClasses_;
  std::wstring oldValue_;    // the extension's default value as read before its reset
  bool choicesProtected_ = false;
  bool recreating_ = false;  // inside a recreation whose key was missing
  bool recreated_ = false;   // and at least one of its writes succeeded
  std::uint32_t failures_ = 0;
};

// The reset routine of each Windows family.
enum class ResetFamily { kNone, kXp, kVista, kWin7, kWin8, kWin81 };

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
    {6, 3, ResetFamily::kWin81},   // Windows 8.1, Server 2012 R2
    {10, 0, ResetFamily::kWin81},  // Windows 10 and 11, Server 2016 on
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

std::uint32_t ResetOfFamily(RegistryAccess& registry, const SystemInfo& info, std::wostream& runLog) {
  switch (FamilyOf(info)) {
    case ResetFamily::kXp:
      return ResetXpFamily(registry, info, runLog);
    case ResetFamily::kVista:
      return ResetVistaFamily(registry, runLog);
    case ResetFamily::kWin7:
      return ResetWin7Win8Family(registry, runLog);
    case ResetFamily::kWin8: {
      const std::uint32_t failures = RoutineWalk(registry, runLog, 0).ChoicesProtected().Walk(kWin7Win8Routine);
      return failures + AddPinToStartVerb(registry, runLog);
    }
    case ResetFamily::kWin81: {
      std::uint32_t failures = RoutineWalk(registry, runLog, 0).ChoicesProtected().Walk(kWin7Win8Routine);
      failures += AddPinToStartHandler(registry, runLog);
      return failures + RemoveWindows8PinVerb(registry, runLog);
    }
    case ResetFamily::kNone:
      break;
  }
  return 0;
}

// Removes what the family's routines do not write at the keys of the three
// classes' verbs that start programs, below HKLM\<classes>.
std::uint32_t RemoveFamilyVerbLocks(RegistryAccess& registry, const SystemInfo& info, std::wostream& runLog,
                                    const std::wstring& classes) {
  switch (FamilyOf(info)) {
    case ResetFamily::kXp:
      return RemoveVerbLocks(registry, runLog, classes, {&kXpRoutine}, info.minorVersion);
    case ResetFamily::kVista:
      return RemoveVerbLocks(registry, runLog, classes, {&kVistaRoutine}, 0);
    case ResetFamily::kWin7:
    case ResetFamily::kWin81:
      return RemoveVerbLocks(registry, runLog, classes, {&kWin7Win8Routine}, 0);
    case ResetFamily::kWin8:
      return RemoveVerbLocks(registry, runLog, classes, {&kWin7Win8Routine, &kPinToStartVerb}, 0);
    case ResetFamily::kNone:
      break;
  }
  return 0;
}

// The keys of the three types in the classes.
constexpr const wchar_t* kTypeKeys[] = {L".exe", L"exefile", L".bat", L"batfile", L".com", L"comfile"};

// The 32-bit view of the classes below root\base, at the first of `places`
// (below base) that is a key reached through no link and holds a key of the
// three types; empty when none is.
std::wstring ViewHoldingTypes(RegistryAccess& registry, RegistryRoot root, const std::wstring& base,
                              std::initializer_list<const wchar_t*> places) {
  for (const wchar_t* place : places) {
    RegistryKey key(registry);
    bool linked = true;
    if (OpenKeyBelow(registry, root, base, place, kKeyReadWow64, key, linked) != kRegistrySuccess || linked) continue;
    const std::wstring view = base + L"\\" + place;
    for (const wchar_t* type : kTypeKeys) {
      if (KeyExists(registry, root, view + L"\\" + type)) return view;
    }
  }
  return std::wstring();
}

// On 64-bit Windows 5.2 and 6.0 the classes that 32-bit programs read are
// kept apart (redirected, and reflected only in part): where that view holds
// any of the three types, the family's reset, its verbs and the user's
// overrides are repaired there too, and where only the user's view holds
// them, the user's overrides. From Windows 7 on the view is shared.
std::uint32_t ResetThirtyTwoBitView(RegistryAccess& registry, const SystemInfo& info, std::wostream& runLog) {
  const bool xp = FamilyOf(info) == ResetFamily::kXp;
  if (!(xp && info.minorVersion == 2) && FamilyOf(info) != ResetFamily::kVista) return 0;
  const std::wstring machine =
      ViewHoldingTypes(registry, RegistryRoot::HKLM, L"Software", {L"Classes\\Wow6432Node", L"Wow6432Node\\Classes"});
  std::wstring user = ViewHoldingTypes(registry, RegistryRoot::HKCU, L"SOFTWARE\\Classes", {L"Wow6432Node"});
  if (machine.empty()) {
    std::uint32_t failures = 0;
    for (const wchar_t* extension : {L".exe", L".bat", L".com"}) {
      if (!user.empty()) failures += RemoveUserClassesOverride(registry, runLog, extension, user);
    }
    return failures;
  }
  if (user.empty()) user = L"SOFTWARE\\Classes\\Wow6432Node";
  std::uint32_t failures =
      RoutineWalk(registry, runLog, xp ? info.minorVersion : 0, machine, user).Walk(xp ? kXpRoutine : kVistaRoutine);
  return failures + RemoveVerbLocks(registry, runLog, machine, {xp ? &kXpRoutine : &kVistaRoutine},
                                    xp ? info.minorVersion : 0);
}

// What Windows 8's Pin to Start verb of exefile holds as its table writes it:
// the values of the verb's key and of its command key, all REG_SZ.
struct VerbValue {
  const wchar_t* name;
  const wchar_t* text;
};
constexpr VerbValue kWindows8PinVerb[] = {{L"MUIVerb", L"@shell32.dll,-51201"},
                                          {L"NeverDefault", L""},
                                          {L"Description", L"@shell32.dll,-51202"},
                                          {L"MultiSelectModel", L"Single"}};
constexpr VerbValue kWindows8PinCommand[] = {{L"DelegateExecute", L"{470C0EBD-5D73-4d58-9CED-E91E22E23282}"}};
const std::wstring kClasses = L"Software\\Classes";
const std::wstring kPinVerb = L"exefile\\shell\\pintostartscreen";

bool SameName(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// Whether the key behind `key` holds exactly `values` (and nothing else) and
// exactly the subkeys `subkeys`.
template <std::size_t N>
bool HoldsExactly(RegistryAccess& registry, RegistryAccess::Key key, const VerbValue (&values)[N],
                  std::initializer_list<const wchar_t*> subkeys) {
  std::uint32_t index = 0;
  for (std::wstring name; registry.EnumValue(key, index, name) == kRegistrySuccess; ++index) {
    const VerbValue* wanted = nullptr;
    for (const VerbValue& value : values) {
      if (SameName(name, value.name)) wanted = &value;
    }
    if (wanted == nullptr) return false;
    const std::vector<std::uint8_t> expected = Utf16LeBytes(ToUtf16(wanted->text) + u'\0');
    std::vector<std::uint8_t> data(expected.size() + 2);
    auto size = static_cast<std::uint32_t>(data.size());
    ValueType type = ValueType::RegNone;
    if (registry.QueryValue(key, name, type, data.data(), size) != kRegistrySuccess || type != ValueType::RegSz ||
        size != expected.size() || !std::equal(expected.begin(), expected.end(), data.begin())) {
      return false;
    }
  }
  if (index != N) return false;
  index = 0;
  for (std::wstring name; registry.EnumKey(key, index, name) == kRegistrySuccess; ++index) {
    bool known = false;
    for (const wchar_t* subkey : subkeys) known = known || SameName(name, subkey);
    if (!known) return false;
  }
  return index == subkeys.size();
}

// Whether exefile's pintostartscreen verb, and its command, reached through
// no link, hold exactly what Windows 8's table writes.
bool IsWindows8PinVerb(RegistryAccess& registry) {
  RegistryKey verb(registry), command(registry);
  bool linked = true;
  if (OpenKeyBelow(registry, RegistryRoot::HKLM, kClasses, kPinVerb, kKeyReadWow64, verb, linked) !=
          kRegistrySuccess || linked ||
      !HoldsExactly(registry, verb.get(), kWindows8PinVerb, {L"command"})) {
    return false;
  }
  return OpenKeyBelow(registry, RegistryRoot::HKLM, kClasses, kPinVerb + L"\\command", kKeyReadWow64, command,
                      linked) == kRegistrySuccess &&
         !linked && HoldsExactly(registry, command.get(), kWindows8PinCommand, {});
}

}  // namespace

std::uint32_t RemoveWindows8PinVerb(RegistryAccess& registry, std::wostream& runLog) {
  if (!IsWindows8PinVerb(registry)) return 0;
  const std::wstring shown = L"HKLM\\" + kClasses + L"\\" + kPinVerb;
  const RegistryChange gone = DeleteKeyTreeBelow(registry, RegistryRoot::HKLM, kClasses, kPinVerb);
  if (gone) {
    runLog << L"  * " << shown << L" found and deleted!\r\n\r\n" << std::flush;
    return 0;
  }
  if (gone.error == kRegistrySuccess) return 0;
  ReportFailure(runLog, shown, gone.error);
  return 1;
}

std::uint32_t RunFamilyReset(RegistryAccess& registry, const SystemInfo& info, std::wostream& runLog,
                             SystemFiles& files) {
  if (FamilyOf(info) == ResetFamily::kNone) return 0;
  std::uint32_t failures = ResetOfFamily(registry, info, runLog);
  // Then what the family does not write where the verbs start programs.
  failures += RemoveFamilyVerbLocks(registry, info, runLog, L"Software\\Classes");
  // Then the same in the 32-bit view, where it is kept apart.
  failures += ResetThirtyTwoBitView(registry, info, runLog);
  // Then the policies that would still stop programs, and the tools that
  // repair them, from starting: the machine's and the current user's; then
  // the debuggers started in place of programs. One after the other, so that
  // their lines come in this order.
  failures += RemovePolicyLocks(registry, runLog, RegistryRoot::HKLM);
  failures += RemovePolicyLocks(registry, runLog, RegistryRoot::HKCU);
  return failures + RemoveDebuggers(registry, runLog, files);
}

std::uint32_t ResetXpFamily(RegistryAccess& registry, const SystemInfo& info, std::wostream& runLog) {
  return RoutineWalk(registry, runLog, info.minorVersion).Walk(kXpRoutine);
}

std::uint32_t ResetVistaFamily(RegistryAccess& registry, std::wostream& runLog) {
  return RoutineWalk(registry, runLog, 0).Walk(kVistaRoutine);
}

std::uint32_t ResetWin7Win8Family(RegistryAccess& registry, std::wostream& runLog) {
  return RoutineWalk(registry, runLog, 0).Walk(kWin7Win8Routine);
}

std::uint32_t AddPinToStartVerb(RegistryAccess& registry, std::wostream& runLog) {
  // The verb's steps report nothing but what failed.
  return RoutineWalk(registry, runLog, 0).Walk(kPinToStartVerb);
}

std::uint32_t AddPinToStartHandler(RegistryAccess& registry, std::wostream& runLog) {
  return RoutineWalk(registry, runLog, 0).Walk(kPinToStartHandler);
}
