#include "registry/verb_locks.h"

#include <vector>

#include "registry/operations.h"
#include "registry/registry_text.h"
#include "registry/user_override.h"

namespace {

constexpr const wchar_t* kClassNames[] = {L"exefile", L"batfile", L"comfile"};
// Below the class; the first is the shell key, whose subkeys are the verbs.
constexpr const wchar_t* kPlaces[] = {L"shell", L"shell\\open", L"shell\\open\\command", L"shell\\runas",
                                      L"shell\\runas\\command"};
// The places that every family writes; the runas verb is written only by some.
constexpr std::size_t kAlwaysWritten = 3;

std::wstring Folded(std::wstring text) {
  for (wchar_t& c : text) c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  return text;
}

bool Writes(StepAction action) {
  switch (action) {
    case StepAction::kWriteIfRecreating:
    case StepAction::kResetDefault:
    case StepAction::kSetAlways:
    case StepAction::kSetIfDifferent:
    case StepAction::kEditFlagsAlways:
    case StepAction::kComOpenEditFlags:
      return true;
    default:
      return false;
  }
}

// What a family's routines write: each key (below the classes, folded, no
// trailing backslash) with the name of the value written there.
class Written {
 public:
  Written(std::initializer_list<const ResetRoutine*> routines, std::uint32_t minorVersion) {
    for (const ResetRoutine* routine : routines) {
      for (std::size_t run = 0; run < routine->count; ++run) {
        for (std::size_t index = 0; index < routine->runs[run].count; ++index) {
          const ResetStep& step = routine->runs[run].steps[index];
          if (!Writes(step.action) || !AppliesTo(step, minorVersion)) continue;
          std::wstring key = Folded(step.key);
          if (!key.empty() && key.back() == L'\\') key.pop_back();
          values_.push_back({key, Folded(step.valueName)});
        }
      }
    }
  }
  // Whether the key, or a key below it, is written.
  bool Key(const std::wstring& key) const {
    const std::wstring folded = Folded(key);
    for (const auto& [written, name] : values_) {
      if (written == folded || written.compare(0, folded.size() + 1, folded + L"\\") == 0) return true;
    }
    return false;
  }
  bool Value(const std::wstring& key, const std::wstring& name) const {
    const std::wstring folded = Folded(key), foldedName = Folded(name);
    for (const auto& [written, writtenName] : values_) {
      if (written == folded && writtenName == foldedName) return true;
    }
    return false;
  }

 private:
  std::vector<std::pair<std::wstring, std::wstring>> values_;
};

class VerbCleanup {
 public:
  VerbCleanup(RegistryAccess& registry, std::wostream& runLog, const std::wstring& classes, const Written& written)
      : registry_(registry), runLog_(runLog), classes_(classes), written_(written) {}

  std::uint32_t Run() {
    for (const wchar_t* className : kClassNames) {
      for (std::size_t place = 0; place < std::size(kPlaces); ++place) {
        const std::wstring key = std::wstring(className) + L"\\" + kPlaces[place];
        if (place >= kAlwaysWritten && !written_.Key(key)) continue;  // a verb of its own, which stays
        Clean(key, place == 0);
      }
    }
    return failures_;
  }

 private:
  // The names of the values, or the subkeys, of HKLM\<classes>\key reached
  // through no link; none when it is missing or a link.
  std::vector<std::wstring> Names(const std::wstring& key, bool values) {
    std::vector<std::wstring> names;
    RegistryKey opened(registry_);
    bool linked = true;
    if (OpenKeyBelow(registry_, RegistryRoot::HKLM, classes_, key, kKeyReadWow64, opened, linked) !=
            kRegistrySuccess ||
        linked) {
      return names;
    }
    std::wstring name;
    for (std::uint32_t index = 0;
         (values ? registry_.EnumValue(opened.get(), index, name) : registry_.EnumKey(opened.get(), index, name)) ==
         kRegistrySuccess;
         ++index) {
      names.push_back(name);
    }
    return names;
  }

  void Clean(const std::wstring& key, bool isShell) {
    std::vector<std::wstring> named;
    for (const std::wstring& name : Names(key, true)) {
      if (written_.Value(key, name)) continue;
      if (isShell && name.empty()) named = NamedVerbs(ReadTextValue(registry_, RegistryRoot::HKLM, classes_ + L"\\" + key, L""));
      failures_ += RemoveReportedValue(registry_, runLog_, RegistryRoot::HKLM, classes_, key, name);
    }
    for (const std::wstring& subkey : Names(key, false)) {
      if (subkey.empty() || subkey.find(L'\\') != std::wstring::npos || written_.Key(key + L"\\" + subkey)) continue;
      bool goes = !isShell;
      for (const std::wstring& verb : named) goes = goes || Folded(verb) == Folded(subkey);
      if (goes) DeleteKey(key + L"\\" + subkey);
    }
  }

  // The verbs the shell key's default value names: the whole text, and each
  // name of a list of them separated by commas or blanks.
  static std::vector<std::wstring> NamedVerbs(const std::wstring& text) {
    std::vector<std::wstring> verbs{text};
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find_first_of(L", ", start);
      if (end == std::wstring::npos) end = text.size();
      if (end > start) verbs.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return verbs;
  }

  void DeleteKey(const std::wstring& key) {
    const std::wstring shown = L"HKLM\\" + classes_ + L"\\" + EscapeControlCharacters(key);
    const RegistryChange gone = DeleteKeyTreeBelow(registry_, RegistryRoot::HKLM, classes_, key);
    if (gone) {
      runLog_ << L"  * " << shown << L" found and deleted!\r\n\r\n";
      runLog_.flush();
    } else if (gone.error != kRegistrySuccess) {
      ReportFailure(runLog_, shown, gone.error);
      ++failures_;
    }
  }

  RegistryAccess& registry_;
  std::wostream& runLog_;
  const std::wstring& classes_;
  const Written& written_;
  std::uint32_t failures_ = 0;
};

}  // namespace

std::uint32_t RemoveVerbLocks(RegistryAccess& registry, std::wostream& runLog, const std::wstring& classes,
                              std::initializer_list<const ResetRoutine*> routines, std::uint32_t minorVersion) {
  const Written written(routines, minorVersion);
  return VerbCleanup(registry, runLog, classes, written).Run();
}
