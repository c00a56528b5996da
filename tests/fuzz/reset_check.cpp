#include "reset_check.h"

#include <cstddef>
#include <map>
#include <set>
#include <sstream>

#include "damaged_registry.h"
#include "support/family_reset.h"

namespace {

const wchar_t* const kExtensions[] = {L".exe", L".bat", L".com"};
constexpr std::uint32_t kQueryBufferBytes = 8192;

// A snapshot re-keyed by folded path and folded value name, so that the
// checks do not depend on how the registry spells what it stores.
struct FoldedKey {
  const RegistrySnapshotKey* key = nullptr;
  std::map<std::wstring, const StoredValue*> values;
};
using FoldedState = std::map<std::wstring, FoldedKey>;

FoldedState FoldState(const RegistrySnapshot& snapshot) {
  FoldedState state;
  for (const auto& entry : snapshot) {
    FoldedKey& folded = state[Fold(entry.second.path)];
    folded.key = &entry.second;
    for (const auto& value : entry.second.values) folded.values[Fold(value.second.name)] = &value.second;
  }
  return state;
}

bool SameValue(const StoredValue* a, const StoredValue* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a->type == b->type && a->data == b->data;
}

std::wstring MachineKey(const std::wstring& key) { return Fold(L"HKLM\\Software\\Classes\\" + key); }

// The per-user class key a class name may lead to: its non-empty components
// below SOFTWARE\Classes; empty when it names nothing below.
std::wstring UserClassKey(const std::wstring& className) {
  std::wstring path = L"HKCU\\SOFTWARE\\CLASSES";
  bool any = false;
  std::size_t start = 0;
  while (start <= className.size()) {
    std::size_t end = className.find(L'\\', start);
    if (end == std::wstring::npos) end = className.size();
    if (end > start) {
      path += L"\\" + Fold(className.substr(start, end - start));
      any = true;
    }
    start = end + 1;
  }
  return any ? path : std::wstring();
}

std::wstring Describe(const StoredValue* value) {
  if (value == nullptr) return L"(absent)";
  std::wostringstream out;
  out << L"type " << static_cast<std::uint32_t>(value->type) << L", " << value->data.size() << L" bytes";
  return out.str();
}

class RunChecker {
 public:
  RunChecker(const RegistrySnapshot& before, const RegistrySnapshot& after, Family family,
             const std::vector<std::wstring>& userClasses)
      : before_(FoldState(before)), after_(FoldState(after)), table_(TableOf(family)) {
    for (const FamilyRow& row : table_.rows) {
      std::wstring path = MachineKey(row.key);
      writable_[path].insert(Fold(row.name));
      for (std::size_t cut = path.rfind(L'\\'); cut != std::wstring::npos && cut > 4; cut = path.rfind(L'\\', cut - 1)) {
        writable_[path.substr(0, cut)];  // created on the way, values untouched
      }
    }
    for (const std::wstring& tree : table_.deletedTrees) deletable_.push_back(MachineKey(tree));
    for (const wchar_t* extension : kExtensions) deletable_.push_back(Fold(std::wstring(L"HKCU\\SOFTWARE\\Classes\\") + extension));
    for (const std::wstring& className : userClasses) {
      const std::wstring key = UserClassKey(className);
      if (!key.empty()) deletable_.push_back(key);
    }
  }

  std::vector<std::wstring> Check(bool strict) {
    CheckNothingElseChanged();
    if (strict) CheckRows();
    return std::move(faults_);
  }

 private:
  bool Deletable(const std::wstring& path) const {
    for (const std::wstring& top : deletable_) {
      if (InSubtree(path, top)) return true;
    }
    return false;
  }

  void Fault(const std::wstring& text) { faults_.push_back(text); }

  void CheckNothingElseChanged() {
    std::set<std::wstring> paths;
    for (const auto& entry : before_) paths.insert(entry.first);
    for (const auto& entry : after_) paths.insert(entry.first);
    for (const std::wstring& path : paths) {
      const auto was = before_.find(path);
      const auto now = after_.find(path);
      if (now == after_.end()) {
        if (!Deletable(path)) Fault(L"key deleted outside the repair set: " + path);
        continue;
      }
      const auto writable = writable_.find(path);
      if (was == before_.end()) {
        if (writable == writable_.end()) Fault(L"key created outside the repair set: " + path);
        continue;
      }
      if (was->second.key->isLink != now->second.key->isLink) Fault(L"link state changed: " + path);
      std::set<std::wstring> names;
      for (const auto& value : was->second.values) names.insert(value.first);
      for (const auto& value : now->second.values) names.insert(value.first);
      for (const std::wstring& name : names) {
        const auto a = was->second.values.find(name);
        const auto b = now->second.values.find(name);
        const StoredValue* old = a == was->second.values.end() ? nullptr : a->second;
        const StoredValue* current = b == now->second.values.end() ? nullptr : b->second;
        if (SameValue(old, current)) continue;
        if (writable == writable_.end() || writable->second.count(name) == 0) {
          Fault(L"value changed outside the repair set: " + path + L" [" + name + L"] " +
                Describe(old) + L" -> " + Describe(current));
        }
      }
    }
  }

  const StoredValue* After(const std::wstring& path, const std::wstring& name) const {
    const auto key = after_.find(path);
    if (key == after_.end()) return nullptr;
    const auto value = key->second.values.find(Fold(name));
    return value == key->second.values.end() ? nullptr : value->second;
  }
  const StoredValue* Before(const std::wstring& path, const std::wstring& name) const {
    const auto key = before_.find(path);
    if (key == before_.end()) return nullptr;
    const auto value = key->second.values.find(Fold(name));
    return value == key->second.values.end() ? nullptr : value->second;
  }

  void CheckRows() {
    for (const FamilyRow& row : table_.rows) {
      const std::wstring path = MachineKey(row.key);
      const StoredValue* value = After(path, row.name);
      const std::wstring where = path + L" [" + row.name + L"]";
      switch (row.how) {
        case RowHow::kAlways:
          if (value == nullptr || value->type != row.type || value->data != row.data) {
            Fault(L"value not as its table row: " + where + L" " + Describe(value));
          }
          break;
        case RowHow::kIfDifferent: {
          if (value == nullptr) {
            Fault(L"value missing: " + where);
            break;
          }
          // A value too large to be read is left as it is; any other ends
          // up with the row's text, whatever its type.
          const StoredValue* old = Before(path, row.name);
          if (old != nullptr && old->data.size() > kQueryBufferBytes) {
            if (!SameValue(old, value)) Fault(L"value over 8192 bytes rewritten: " + where + L" " + Describe(value));
          } else if (TextOfBytes(value->data) != row.text) {
            Fault(L"value text not as its table row: " + where + L" " + Describe(value));
          }
          break;
        }
        case RowHow::kDeleted:
          if (value != nullptr) Fault(L"value not deleted: " + where);
          break;
      }
    }
    for (const std::wstring& tree : table_.deletedTrees) {
      const std::wstring top = MachineKey(tree);
      for (const auto& entry : after_) {
        if (InSubtree(entry.first, top)) {
          Fault(L"key not deleted: " + entry.first);
          break;
        }
      }
    }
    // A per-user extension key that is a link is left when its target cannot
    // be opened at the time of its step: then it overrides nothing.
    for (const wchar_t* extension : kExtensions) {
      const std::wstring key = Fold(std::wstring(L"HKCU\\SOFTWARE\\Classes\\") + extension);
      const auto now = after_.find(key);
      if (now != after_.end() && !now->second.key->isLink) Fault(L"per-user override not removed: " + key);
    }
  }

  FoldedState before_;
  FoldedState after_;
  const FamilyTable& table_;
  std::map<std::wstring, std::set<std::wstring>> writable_;  // key -> value names it may change
  std::vector<std::wstring> deletable_;                       // tops of trees that may go
  std::vector<std::wstring> faults_;
};

// The report lines whose wording is fixed, and when each must appear: a
// recreation line exactly when its key was missing, a deletion line exactly
// when the key was there, a "changed" line exactly when its key was there and
// its value absent or, readable, of another text.
struct ReportedRow {
  const wchar_t* line;      // the line's fixed beginning
  const wchar_t* checked;   // the key whose presence decides, below Software\Classes
  const wchar_t* key;       // the value's key, below Software\Classes; nullptr: a key line
  const wchar_t* name;
  bool vistaOn;             // written by the Vista and later families only
};

const ReportedRow kReportedRows[] = {
    {L"  * HKLM\\Software\\Classes\\.exe did not exist and was recreated!", L".exe", nullptr, nullptr, false},
    {L"  * HKLM\\Software\\Classes\\.bat did not exist and was recreated!", L".bat", nullptr, nullptr, false},
    {L"  * HKLM\\Software\\Classes\\.com did not exist and was recreated!", L".com", nullptr, nullptr, false},
    {L"  * HKLM\\Software\\Classes\\exefile did not exist and was recreated!", L"exefile", nullptr, nullptr, false},
    {L"  * HKLM\\Software\\Classes\\comfile did not exist and was recreated!", L"comfile", nullptr, nullptr, false},
    {L"  * HKLM\\Software\\Classes\\.exe\\\\@ has been changed to ", L".exe", L".exe", L"", false},
    {L"  * HKLM\\Software\\Classes\\.bat\\\\@ was changed to ", L".bat", L".bat", L"", false},
    {L"  * HKLM\\Software\\Classes\\.com\\\\@ has been changed to ", L".com", L".com", L"", false},
    {L"  * HKLM\\Software\\Classes\\exefile\\shell\\open\\command\\\\@ was changed.", L"exefile",
     L"exefile\\shell\\open\\command", L"", false},
    {L"  * HKLM\\Software\\Classes\\exefile\\shell\\runas\\command\\\\@ was changed.", L"exefile",
     L"exefile\\shell\\runas\\command", L"", false},
    {L"  * HKLM\\Software\\Classes\\exefile\\shell\\open\\command\\\\IsolatedCommand was changed.", L"exefile",
     L"exefile\\shell\\open\\command", L"IsolatedCommand", true},
    {L"  * HKLM\\Software\\Classes\\exefile\\shell\\runas\\command\\\\IsolatedCommand was changed.", L"exefile",
     L"exefile\\shell\\runas\\command", L"IsolatedCommand", true},
    {L"  * HKLM\\batfile\\shell\\open\\command\\\\@ was changed.", L"batfile", L"batfile\\shell\\open\\command", L"",
     false},
    {L"  * HKLM\\Software\\Classes\\comfile\\shell\\open\\command\\\\@ was changed.", L"comfile",
     L"comfile\\shell\\open\\command", L"", false},
};

std::size_t Occurrences(const std::wstring& text, const std::wstring& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

void CheckReportLines(const RegistrySnapshot& before, Family family, const std::wstring& runLog,
                      std::vector<std::wstring>& faults) {
  const FoldedState state = FoldState(before);
  const bool vistaOn = family == Family::kVista || family == Family::kWin7 || family == Family::kWin8;
  auto expect = [&](const std::wstring& line, bool expected) {
    const std::size_t count = Occurrences(runLog, line);
    if (count != (expected ? 1u : 0u)) {
      faults.push_back(L"report line written " + std::to_wstring(count) + L" times, expected " +
                       (expected ? L"once: " : L"never: ") + line);
    }
  };
  for (const ReportedRow& row : kReportedRows) {
    if (row.vistaOn && !vistaOn) continue;
    const bool present = state.count(MachineKey(row.checked)) != 0;
    if (row.key == nullptr) {
      expect(row.line, !present);
      continue;
    }
    bool differs = false;
    const auto key = state.find(MachineKey(row.key));
    const StoredValue* old = nullptr;
    if (key != state.end()) {
      const auto value = key->second.values.find(Fold(row.name));
      if (value != key->second.values.end()) old = value->second;
    }
    std::wstring wanted;
    for (const FamilyRow& tableRow : TableOf(family).rows) {
      if (MachineKey(tableRow.key) == MachineKey(row.key) && Fold(tableRow.name) == Fold(row.name)) wanted = tableRow.text;
    }
    differs = old == nullptr || (old->data.size() <= kQueryBufferBytes && TextOfBytes(old->data) != wanted);
    expect(row.line, present && differs);
  }
  // The per-user .exe key comes first, so nothing of the run stands between
  // what it was and its lines: a plain key gives its value line and is
  // deleted; no key at all gives no line.
  const auto userExe = state.find(Fold(L"HKCU\\SOFTWARE\\Classes\\.exe"));
  if (userExe == state.end() || !userExe->second.key->isLink) {
    const bool there = userExe != state.end();
    expect(L"  * HKCU\\SOFTWARE\\Classes\\.exe\\\\@ exists and is set to ", there);
    expect(L"  * HKCU\\SOFTWARE\\Classes\\.exe has been deleted!\r\n", there);
  }
  for (const wchar_t* tree : {L".exe\\shell", L".exe\\DefaultIcon"}) {
    expect(std::wstring(L"  * HKLM\\Software\\Classes\\") + tree + L" found and deleted!",
           state.count(MachineKey(tree)) != 0);
  }
}

// Every line of a run log is a report line, its continuation or empty, and
// the log ends at a line end.
void CheckLogShape(const std::wstring& runLog, const wchar_t* label, std::vector<std::wstring>& faults) {
  if (runLog.empty()) return;
  if (runLog.size() < 2 || runLog.compare(runLog.size() - 2, 2, L"\r\n") != 0) {
    faults.push_back(std::wstring(label) + L" log does not end at a line end");
  }
  std::size_t start = 0;
  while (start < runLog.size()) {
    std::size_t end = runLog.find(L"\r\n", start);
    if (end == std::wstring::npos) end = runLog.size();
    const std::wstring line = runLog.substr(start, end - start);
    if (!line.empty() && line.rfind(L"  * HKLM\\", 0) != 0 && line.rfind(L"  * HKCU\\SOFTWARE\\Classes\\", 0) != 0 &&
        line.rfind(L"    It was reset to ", 0) != 0) {
      faults.push_back(std::wstring(label) + L" log has a stray line: " + line.substr(0, 200));
    }
    start = end + 2;
  }
}

}  // namespace

bool InSubtree(const std::wstring& path, const std::wstring& top) {
  return path == top || (path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
                         path[top.size()] == L'\\');
}

std::vector<std::wstring> UserClassNames(MemoryRegistry& registry) {
  std::vector<std::wstring> names;
  bool viaLink = false;
  for (const wchar_t* extension : kExtensions) {
    const std::wstring path = std::wstring(L"SOFTWARE\\Classes\\") + extension;
    viaLink = viaLink || registry.IsLinkKey(RegistryRoot::HKCU, path);
    RegistryAccess::Key key = 0;
    if (registry.OpenKey(RegistryAccess::RootKey(RegistryRoot::HKCU), path, kOptionNonVolatile, kKeyRead,
                         key) != kRegistrySuccess) {
      continue;
    }
    ValueType type = ValueType::RegNone;
    std::uint32_t size = 0;
    if (registry.QueryValue(key, L"", type, nullptr, size) == kRegistrySuccess && size <= kQueryBufferBytes) {
      std::vector<std::uint8_t> data(size);
      if (registry.QueryValue(key, L"", type, data.data(), size) == kRegistrySuccess) {
        data.resize(size);
        names.push_back(TextOfBytes(data));
      }
    }
    registry.CloseKey(key);
  }
  if (viaLink) {
    for (int family = 0; family < kFamilyCount; ++family) {
      for (const FamilyRow& row : TableOf(static_cast<Family>(family)).rows) {
        if (row.name.empty() && !row.text.empty()) names.push_back(row.text);
      }
    }
  }
  registry.ClearCalls();
  return names;
}

std::vector<std::wstring> CheckRun(const RegistrySnapshot& before, const RegistrySnapshot& after,
                                   Family family, const std::vector<std::wstring>& userClasses,
                                   const std::wstring& runLog, bool strict) {
  std::vector<std::wstring> faults = RunChecker(before, after, family, userClasses).Check(strict);
  if (strict) CheckReportLines(before, family, runLog, faults);
  CheckLogShape(runLog, L"first run's", faults);
  return faults;
}

ResetCheck RunAndCheckReset(MemoryRegistry& registry, Family family, bool strict) {
  ResetCheck check;
  const std::vector<std::wstring> userClasses = UserClassNames(registry);
  const RegistrySnapshot before = registry.Snapshot();

  std::wostringstream firstLog;
  reset_test::RunFamilyReset(registry, family, firstLog);
  check.firstLog = firstLog.str();
  const RegistrySnapshot afterFirst = registry.Snapshot();
  check.faults = CheckRun(before, afterFirst, family, userClasses, check.firstLog, strict);
  if (registry.OpenKeyCount() != 0) check.faults.push_back(L"keys left open after the first run");

  // The second run is held to the same checks, and must neither report nor
  // change anything machine-wide.
  const std::vector<std::wstring> userClassesNow = UserClassNames(registry);
  std::wostringstream secondLog;
  reset_test::RunFamilyReset(registry, family, secondLog);
  check.secondLog = secondLog.str();
  const RegistrySnapshot afterSecond = registry.Snapshot();
  for (std::wstring& fault : CheckRun(afterFirst, afterSecond, family, userClassesNow, check.secondLog, strict)) {
    check.faults.push_back(L"second run: " + fault);
  }
  if (registry.OpenKeyCount() != 0) check.faults.push_back(L"keys left open after the second run");
  if (!strict) return check;
  if (check.secondLog.find(L"  * HKLM") != std::wstring::npos) {
    check.faults.push_back(L"second run reported a machine-wide repair: " + check.secondLog.substr(0, 300));
  }
  for (const std::wstring& difference : MemoryRegistry::Differences(afterFirst, afterSecond)) {
    if (difference.find(L"HKLM") != std::wstring::npos) {
      check.faults.push_back(L"second run changed the machine registry: " + difference);
    }
  }
  return check;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t ch : text) {
    auto code = static_cast<std::uint32_t>(ch);
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}
