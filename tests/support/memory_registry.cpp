#include "support/memory_registry.h"

#include <algorithm>
#include <cstring>

#include "registry/registry_text.h"

namespace {

const std::wstring kMachine = L"\\REGISTRY\\MACHINE\\";

}  // namespace

std::wstring FoldName(std::wstring text) {
  for (wchar_t& ch : text) ch = ch >= L'a' && ch <= L'z' ? static_cast<wchar_t>(ch - 0x20) : ch;
  return text;
}

RegistryStatus MemoryRegistry::Failure(RegistryCallKind kind, const std::wstring& key) const {
  auto found = failures_.find({kind, key});
  return found == failures_.end() ? kRegistrySuccess : found->second;
}

// Replaces `at`, when it is a link, by the key the link names.
RegistryStatus MemoryRegistry::Follow(std::wstring& at, int links) {
  auto key = keys_.find(at);
  if (key == keys_.end() || !key->second.isLink) return kRegistrySuccess;
  if (links == 0) return 1021;  // too many links on one path, as a loop would make
  const auto target = key->second.values.find(FoldName(kSymbolicLinkValueName));
  if (target == key->second.values.end()) return kRegistryFileNotFound;
  const std::vector<std::uint8_t>& data = target->second.data;
  const std::wstring native = FoldName(FromUtf16(Utf16UpToNul(data.data(), data.size())));
  if (native.compare(0, kMachine.size(), kMachine) != 0) return kRegistryFileNotFound;
  return Resolve(L"HKLM", native.substr(kMachine.size()), 0, RegistryCallKind::OpenKey, at, links - 1);
}

// Walks `path` from the key `at`: links on the way are followed, the last key
// too unless asked for the link itself; CreateKey creates missing keys.
RegistryStatus MemoryRegistry::Resolve(std::wstring at, const std::wstring& path, std::uint32_t options,
                                       RegistryCallKind kind, std::wstring& result, int links) {
  if (!path.empty() && path.front() == L'\\') return kRegistryBadPathname;
  std::vector<std::wstring> parts;
  for (std::size_t start = 0, end = 0; start <= path.size(); start = end + 1) {
    end = std::min(path.find(L'\\', start), path.size());
    if (end > start) parts.push_back(path.substr(start, end - start));
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (RegistryStatus status = Follow(at, links)) return status;
    const std::wstring next = at + L"\\" + FoldName(parts[i]);
    const bool last = i + 1 == parts.size();
    if (RegistryStatus status = Failure(kind, next); last && status) return status;
    if (keys_.count(next) == 0) {
      if (kind != RegistryCallKind::CreateKey) return kRegistryFileNotFound;
      keys_[next].isLink = last && (options & kOptionCreateLink) != 0;
      names_[next] = parts[i];
    } else if (last && (options & kOptionCreateLink) != 0) {
      return kRegistryAlreadyExists;
    }
    at = next;
  }
  if ((options & (kOptionOpenLink | kOptionCreateLink)) == 0 && !parts.empty()) {
    if (RegistryStatus status = Follow(at, links)) return status;
  }
  result = at;
  return kRegistrySuccess;
}

RegistryStatus MemoryRegistry::Open(RegistryCallKind kind, Key parent, const std::wstring& path,
                                    std::uint32_t options, std::uint32_t mask, Key& key) {
  std::wstring at;
  RegistryStatus status = Acting(kind, parent, at);
  if (status == kRegistrySuccess) status = Resolve(at, path, options, kind, at, 16);
  if (status != kRegistrySuccess) return status;
  // The view flags ask for no right.
  const auto grant = grants_.find(at);
  if (grant != grants_.end() && (mask & ~kKeyWow64_64Key & ~grant->second) != 0) return kRegistryAccessDenied;
  key = next_ += 4;
  handles_[key] = at;
  return kRegistrySuccess;
}

// The key behind a handle, when it still exists and no failure is set for `kind` there.
RegistryStatus MemoryRegistry::Acting(RegistryCallKind kind, Key key, std::wstring& path) const {
  const bool opening = kind == RegistryCallKind::OpenKey || kind == RegistryCallKind::CreateKey;
  if (key == RootKey(RegistryRoot::HKLM) || key == RootKey(RegistryRoot::HKCU)) {
    path = key == RootKey(RegistryRoot::HKLM) ? L"HKLM" : L"HKCU";
    return opening ? kRegistrySuccess : kRegistryInvalidParameter;  // the repair acts on no root itself
  }
  auto handle = handles_.find(key);
  if (handle == handles_.end()) return 6;  // ERROR_INVALID_HANDLE
  path = handle->second;
  if (keys_.count(path) == 0) return kRegistryKeyDeleted;
  return opening ? kRegistrySuccess : Failure(kind, path);
}

RegistryStatus MemoryRegistry::OpenKey(Key parent, const std::wstring& path, std::uint32_t options, std::uint32_t mask,
                                       Key& key) noexcept {
  return Open(RegistryCallKind::OpenKey, parent, path, options, mask, key);
}

RegistryStatus MemoryRegistry::CreateKey(Key parent, const std::wstring& path, std::uint32_t options,
                                         std::uint32_t mask, Key& key) noexcept {
  return Open(RegistryCallKind::CreateKey, parent, path, options, mask, key);
}

RegistryStatus MemoryRegistry::QueryValue(Key key, const std::wstring& name, ValueType& type, std::uint8_t* buffer,
                                          std::uint32_t& size) noexcept {
  std::wstring path;
  if (RegistryStatus status = Acting(RegistryCallKind::QueryValue, key, path)) return status;
  auto value = keys_[path].values.find(FoldName(name));
  if (value == keys_[path].values.end()) return kRegistryFileNotFound;
  const auto needed = static_cast<std::uint32_t>(value->second.data.size());
  const bool fits = buffer == nullptr || size >= needed;
  if (buffer != nullptr && fits && needed > 0) std::memcpy(buffer, value->second.data.data(), needed);
  type = value->second.type;
  size = needed;
  return fits ? kRegistrySuccess : kRegistryMoreData;
}

RegistryStatus MemoryRegistry::SetValue(Key key, const std::wstring& name, ValueType type, const std::uint8_t* data,
                                        std::uint32_t size) noexcept {
  std::wstring path;
  if (RegistryStatus status = Acting(RegistryCallKind::SetValue, key, path)) return status;
  keys_[path].values[FoldName(name)] = StoredValue{type, std::vector<std::uint8_t>(data, data + size)};
  keys_[path].spellings.emplace(FoldName(name), name);
  return kRegistrySuccess;
}

RegistryStatus MemoryRegistry::DeleteValue(Key key, const std::wstring& name) noexcept {
  std::wstring path;
  if (RegistryStatus status = Acting(RegistryCallKind::DeleteValue, key, path)) return status;
  keys_[path].spellings.erase(FoldName(name));
  return keys_[path].values.erase(FoldName(name)) == 1 ? kRegistrySuccess : kRegistryFileNotFound;
}

RegistryStatus MemoryRegistry::EnumKey(Key key, std::uint32_t index, std::wstring& name) noexcept {
  std::wstring path;
  if (RegistryStatus status = Acting(RegistryCallKind::EnumKey, key, path)) return status;
  // A link opened as itself has no subkeys of its own.
  for (auto it = keys_.upper_bound(path + L"\\"); it != keys_.end() && it->first.rfind(path + L"\\", 0) == 0; ++it) {
    if (it->first.find(L'\\', path.size() + 1) == std::wstring::npos && index-- == 0) {
      name = names_[it->first];
      return kRegistrySuccess;
    }
  }
  return kRegistryNoMoreItems;
}

// Values are kept by folded name: that is the name enumerated.
RegistryStatus MemoryRegistry::EnumValue(Key key, std::uint32_t index, std::wstring& name) noexcept {
  std::wstring path;
  if (RegistryStatus status = Acting(RegistryCallKind::EnumValue, key, path)) return status;
  const auto& values = keys_[path].values;
  if (index >= values.size()) return kRegistryNoMoreItems;
  name = std::next(values.begin(), index)->first;
  const auto spelled = keys_[path].spellings.find(name);
  if (spelled != keys_[path].spellings.end()) name = spelled->second;
  return kRegistrySuccess;
}

RegistryStatus MemoryRegistry::DeleteOpenedKey(Key key) noexcept {
  std::wstring path;
  if (RegistryStatus status = Acting(RegistryCallKind::DeleteOpenedKey, key, path)) return status;
  auto below = keys_.upper_bound(path + L"\\");
  if (below != keys_.end() && below->first.rfind(path + L"\\", 0) == 0) return kRegistryAccessDenied;
  keys_.erase(path);
  return kRegistrySuccess;
}

RegistryStatus MemoryRegistry::IsLink(Key key, bool& isLink) noexcept {
  std::wstring path;
  if (RegistryStatus status = Acting(RegistryCallKind::IsLink, key, path)) return status;
  isLink = keys_[path].isLink;
  return kRegistrySuccess;
}
