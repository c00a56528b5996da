#include "reset_case.h"

#include <algorithm>
#include <set>

#include "registry/registry_text.h"
#include "registry/reset.h"
#include "support/memory_registry.h"

namespace {

const wchar_t* const kNames[] = {L".exe", L".bat", L".com", L"exefile", L"batfile", L"comfile", L"shell", L"open",
                                 L"command", L"DefaultIcon", L"shellex", L"txtfile", L"..", L".", L"EXEFILE",
                                 L"Software", L"Classes", L"x\\y", L"a b", L"\\", L""};
const wchar_t* const kTexts[] = {L"\"%1\" %*", L"exefile", L"batfile", L"comfile", L"Application", L"x", L"",
                                 L"exefile\\shell", L"..\\..", L"\\", L"txtfile\\shell"};
const wchar_t* const kExtensions[] = {L".EXE", L".BAT", L".COM"};
const wchar_t* const kMachineSet[] = {L".EXE", L".BAT", L".COM", L"EXEFILE", L"BATFILE", L"COMFILE"};
const std::wstring kMachineClasses = L"HKLM\\SOFTWARE\\CLASSES\\";
const std::wstring kUserClasses = L"HKCU\\SOFTWARE\\CLASSES\\";

bool Within(const std::wstring& path, const std::wstring& top) {
  return path.compare(0, top.size(), top) == 0 && (path.size() == top.size() || path[top.size()] == L'\\');
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Done() const { return at_ >= size_; }
  std::uint32_t Below(std::uint32_t bound) { return (at_ < size_ ? data_[at_++] : 0u) % bound; }
  template <std::size_t N>
  const wchar_t* Pick(const wchar_t* const (&list)[N]) { return list[Below(N)]; }
  // A key below either root, mostly below Software\Classes, in any letter case.
  std::wstring Key() {
    std::wstring key = Below(2) == 0 ? L"HKLM\\Software" : L"HKCU\\Software";
    if (Below(4) != 0) key += L"\\Classes";
    for (std::uint32_t depth = Below(5); depth > 0; --depth) key += std::wstring(L"\\") + Pick(kNames);
    if (Below(2) == 0) key = FoldName(key);
    return key;
  }
  std::vector<std::uint8_t> Data() {
    switch (Below(4)) {
      case 0: return Sz(Pick(kTexts));
      case 1: {
        const std::uint32_t count = Below(9);
        return std::vector<std::uint8_t>(count, static_cast<std::uint8_t>(Below(256)));
      }
      case 2: return std::vector<std::uint8_t>(8192 + Below(3), 0x41);
      default: return Utf16LeBytes(ToUtf16(Pick(kTexts)));  // without its NUL
    }
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Links stand nowhere the resets write through (they follow links there by
// design): in the machine's classes only inside the trees the .exe reset
// deletes, and never on Software or Software\Classes themselves.
bool LinkAllowed(const std::wstring& key) {
  const std::wstring folded = FoldName(key);
  if (folded.back() == L'\\' || folded.find(L"\\\\") != std::wstring::npos) return false;  // empty components
  if (folded.substr(5) == L"SOFTWARE" || folded.substr(5) == L"SOFTWARE\\CLASSES") return false;
  if (folded.compare(0, 4, L"HKCU") == 0) return true;
  if (Within(folded, kMachineClasses + L".EXE\\SHELL") || Within(folded, kMachineClasses + L".EXE\\DEFAULTICON")) {
    return true;
  }
  return std::none_of(std::begin(kMachineSet), std::end(kMachineSet),
                      [&](const wchar_t* top) { return Within(folded, kMachineClasses + top); });
}

void RunReset(MemoryRegistry& registry, std::uint32_t family, std::wostream& log) {
  SystemInfo info;
  info.majorVersion = 5;
  info.minorVersion = family + 1;
  if (family < 2) ResetXpFamily(registry, info, log);
  if (family == 2) ResetVistaFamily(registry, log);
  if (family >= 3) ResetWin7Win8Family(registry, log);
  if (family == 4) AddPinToStartVerb(registry);
}

// A log stream that keeps the text between flushes apart.
class Chunks : public std::wstreambuf {
 public:
  std::vector<std::wstring> flushed;
  std::wstring pending;

 protected:
  int_type overflow(int_type ch) override {
    if (!traits_type::eq_int_type(ch, traits_type::eof())) pending += traits_type::to_char_type(ch);
    return traits_type::not_eof(ch);
  }
  int sync() override {
    if (!pending.empty()) flushed.push_back(std::move(pending));
    pending.clear();
    return 0;
  }
};

void CheckRun(const RegistryState& before, const RegistryState& after, const Chunks& log,
              std::vector<std::string>& faults) {
  std::set<std::wstring> keys;
  for (const auto& entry : before) keys.insert(entry.first);
  for (const auto& entry : after) keys.insert(entry.first);
  for (const std::wstring& key : keys) {
    const auto was = before.find(key);
    const auto now = after.find(key);
    if (was != before.end() && now != after.end() && was->second == now->second) continue;
    const bool repaired = std::any_of(std::begin(kMachineSet), std::end(kMachineSet),
                                      [&](const wchar_t* top) { return Within(key, kMachineClasses + top); });
    const bool removed = now == after.end() && key.compare(0, kUserClasses.size(), kUserClasses) == 0;
    const bool onTheWay = was == before.end() && now->second == KeyState{} &&
                          Within(kMachineClasses.substr(0, kMachineClasses.size() - 1), key);
    if (!repaired && !removed && !onTheWay) faults.push_back("changed outside the repair: " + std::string(key.begin(), key.end()));
  }
  if (!log.pending.empty()) faults.push_back("report text left unflushed");
  for (const std::wstring& chunk : log.flushed) {
    if (chunk.find(L"  * ", 1) != std::wstring::npos) faults.push_back("two report lines in one flush");
  }
}

}  // namespace

std::vector<std::string> CheckResetCase(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  MemoryRegistry registry;
  const std::uint32_t family = in.Below(5);
  bool failing = false;
  for (int step = 0; step < 64 && !in.Done(); ++step) {
    switch (in.Below(6)) {
      case 0: Put(registry, in.Key(), L"", ValueType::RegNone, {}); break;
      case 1: {
        const std::wstring key = in.Key();
        const std::wstring name = in.Below(2) == 0 ? L"" : in.Pick(kNames);
        const auto type = static_cast<ValueType>(in.Below(8));
        Put(registry, key, name, type == ValueType::RegNone ? ValueType::RegSz : type, in.Data());
        break;
      }
      case 2: {
        const std::wstring key = in.Key();
        const std::wstring target = in.Key();
        if (LinkAllowed(key)) PutLink(registry, key, L"HKLM" + target.substr(4));
        break;
      }
      case 3: {
        const std::wstring extension = in.Pick(kExtensions);
        PutText(registry, L"HKCU\\SOFTWARE\\Classes\\" + extension, L"", in.Pick(kTexts));
        break;
      }
      case 4: {
        std::wostream silent(nullptr);
        RunReset(registry, family, silent);
        break;
      }
      default: {
        const auto kind = static_cast<RegistryCallKind>(in.Below(8));
        const std::wstring key = in.Key();
        const RegistryStatus statuses[] = {kRegistryAccessDenied, kRegistryFileNotFound, kRegistryMoreData};
        registry.Fail(kind, key, statuses[in.Below(3)]);
        failing = true;
      }
    }
  }

  std::vector<std::string> faults;
  const RegistryState before = registry.State();
  Chunks first;
  std::wostream firstLog(&first);
  RunReset(registry, family, firstLog);
  const RegistryState repaired = registry.State();
  CheckRun(before, repaired, first, faults);
  if (registry.OpenKeys() != 0) faults.push_back("keys left open");

  Chunks second;
  std::wostream secondLog(&second);
  RunReset(registry, family, secondLog);
  if (registry.State() != repaired) faults.push_back("the second run changed the registry");
  for (const std::wstring& chunk : second.flushed) {
    if (!failing && chunk.find(L"  * HKLM") != std::wstring::npos) {
      faults.push_back("the second run reported: " + std::string(chunk.begin(), chunk.end()));
    }
  }
  return faults;
}
