#include "reset_case.h"

#include <algorithm>

#include "registry/reset.h"
#include "registry/undo_registry.h"
#include "support/flushes.h"
#include "support/memory_registry.h"
#include "support/reg_text.h"
#include "support/rows.h"

namespace {

const wchar_t* const kRepaired[] = {L".EXE", L".BAT", L".COM", L"EXEFILE", L"BATFILE", L"COMFILE"};
const std::wstring kMachineClasses = L"HKLM\\SOFTWARE\\CLASSES\\";
const std::wstring kUserClasses = L"HKCU\\SOFTWARE\\CLASSES\\";

bool Within(const std::wstring& path, const std::wstring& top) {
  return path.compare(0, top.size(), top) == 0 && (path.size() == top.size() || path[top.size()] == L'\\');
}

bool Repaired(const std::wstring& folded) {
  return std::any_of(std::begin(kRepaired), std::end(kRepaired),
                     [&](const wchar_t* key) { return Within(folded, kMachineClasses + key); });
}

// A Windows without files: every debugger found goes.
struct NoFiles final : SystemFiles {
  std::wstring Expand(const std::wstring& text) override { return text; }
  bool IsFile(const std::wstring&) override { return false; }
};

}  // namespace

void ResetAsFamily(RegistryAccess& registry, std::uint32_t family, std::wostream& log) {
  NoFiles files;
  SystemInfo info;
  info.majorVersion = family < 2 ? 5 : 6;
  info.minorVersion = family < 2 ? family + 1 : family - 2;
  static_cast<void>(RunFamilyReset(registry, info, log, files));
}

namespace {

struct UndoText final : UndoSink {
  std::wstring text;
  bool Write(const std::wstring& records) noexcept override { return text += records, true; }
};

// The undo text applied to the registry after the run must bring back the
// registry before it, but for the links the run deleted; with no call made to
// fail, there is undo text exactly when the run changed something.
void CheckUndo(const MemoryRegistry& after, const RegistryState& before, const std::wstring& undo, bool failing,
               std::vector<std::string>& faults) {
  if (!failing && undo.empty() != (after.State() == before)) faults.push_back("undo text without a change, or none for one");
  if (undo.empty()) return;
  MemoryRegistry restored = after;
  restored.FailNothing();
  std::wstring badLine;
  if (!ApplyRegText(restored, undo, badLine)) faults.push_back("undo text not taken at: " + std::string(badLine.begin(), badLine.end()));
  RegistryState expected = before;
  for (auto key = expected.begin(); key != expected.end();) {
    key = key->second.isLink && !restored.Has(key->first) ? expected.erase(key) : std::next(key);
  }
  if (restored.State() != expected) faults.push_back("the undo text did not bring back the registry before the run");
}

// Runs the reset and checks what it changed and wrote.
void Run(MemoryRegistry& registry, std::uint32_t family, bool failing, Flushes& log, std::vector<std::string>& faults) {
  const RegistryState before = registry.State();
  std::wostream stream(&log);
  UndoText undo;
  UndoRegistry recorded(registry, undo);
  ResetAsFamily(recorded, family, stream);
  CheckUndo(registry, before, undo.text, failing, faults);
  const RegistryState& after = registry.State();
  std::vector<std::wstring> changed;
  for (const auto& [key, state] : before) {
    const auto now = after.find(key);
    // Per-user keys strictly below the classes may go, no other.
    const bool userKeyGone = now == after.end() && key.size() > kUserClasses.size() &&
                             key.compare(0, kUserClasses.size(), kUserClasses) == 0;
    if ((now == after.end() || !(now->second == state)) && !userKeyGone) changed.push_back(key);
  }
  for (const auto& [key, state] : after) {
    // Empty keys may be made on the way to the machine's classes.
    if (before.count(key) == 0 && !(state == KeyState{} && Within(kMachineClasses, key))) changed.push_back(key);
  }
  for (const std::wstring& key : changed) {
    if (!Repaired(key)) faults.push_back("changed outside the repair: " + std::string(key.begin(), key.end()));
  }
  if (registry.OpenKeys() != 0) faults.push_back("keys left open");
  if (!log.text.back().empty()) faults.push_back("report text left unflushed");
  for (const std::wstring& text : log.text) {
    if (text.find(L"  * ", 1) != std::wstring::npos) faults.push_back("two report lines in one flush");
  }
}

}  // namespace

std::vector<std::string> CheckResetCase(const std::uint8_t* data, std::size_t size) {
  static const std::vector<Row> damage = ReadRows("fuzz/damage.txt");
  MemoryRegistry registry;
  const std::uint32_t family = size == 0 ? 0 : data[0] % 6u;
  bool failing = false;
  for (std::size_t at = 1; at < std::min<std::size_t>(size, 64); ++at) {
    const Row& row = damage.at(data[at] % damage.size());
    const auto number = [&row](std::size_t field) { return static_cast<std::uint32_t>(std::stoul(row.at(field))); };
    if (row[0] == L"key") Put(registry, row[1], L"", ValueType::RegNone, {});
    if (row[0] == L"text") Put(registry, row[1], row[2], static_cast<ValueType>(number(3)), Sz(row[4]));
    if (row[0] == L"bytes") {
      const Bytes bytes(number(4), static_cast<std::uint8_t>(number(5)));
      Put(registry, row[1], row[2], static_cast<ValueType>(number(3)), bytes);
    }
    if (row[0] == L"link") PutLink(registry, row[1], row[2]);
    if (row[0] == L"fail") registry.Fail(static_cast<RegistryCallKind>(number(1)), row[2], number(3));
    failing = failing || row[0] == L"fail";
    if (row[0] == L"reset") {
      std::wostream silent(nullptr);
      ResetAsFamily(registry, family, silent);
    }
  }

  std::vector<std::string> faults;
  Flushes first, second;
  Run(registry, family, failing, first, faults);
  const RegistryState repaired = registry.State();
  Run(registry, family, failing, second, faults);
  // Machine-wide, a second run changes and reports nothing. (Per user it may
  // remove an override whose link led nowhere at the first run's time.)
  const auto machine = [](const RegistryState& state) {
    return RegistryState(state.lower_bound(L"HKLM\\"), state.lower_bound(L"HKLM]"));
  };
  if (machine(registry.State()) != machine(repaired)) faults.push_back("the second run changed the machine's keys");
  for (const std::wstring& text : second.text) {
    if (!failing && text.find(L"  * HKLM") != std::wstring::npos) {
      faults.push_back("the second run reported: " + std::string(text.begin(), text.end()));
    }
  }
  return faults;
}
