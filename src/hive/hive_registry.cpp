#include "hive/hive_registry.h"

#include <algorithm>
#include <cstring>

#include "registry/registry_text.h"

namespace {

constexpr RegistryStatus kRegistryInvalidHandle = 6;  // ERROR_INVALID_HANDLE
constexpr RegistryStatus kRegistryNoAccess = 998;     // ERROR_NOACCESS
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr int kMaxLinks = 16;  // links followed in one open before it fails, as a loop would

// The components of a path, empty ones skipped as the registry does. A path
// may not begin with a backslash, nor name a key longer than 255 characters.
RegistryStatus SplitPath(const std::wstring& path, std::vector<std::wstring>& components,
                         bool rooted = false) {
  components.clear();
  if (!rooted && !path.empty() && path.front() == L'\\') return kRegistryBadPathname;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (end > start) {
      std::wstring component = path.substr(start, end - start);
      if (component.size() > kMaxKeyNameLength || component.find(L'\0') != std::wstring::npos) {
        return kRegistryInvalidParameter;
      }
      components.push_back(std::move(component));
    }
    start = end + 1;
  }
  return kRegistrySuccess;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() && FoldName(a) == FoldName(b);
}

}  // namespace

void HiveRegistry::Mount(const std::wstring& nativePath, HiveFile& hive) {
  std::vector<std::wstring> path;
  static_cast<void>(SplitPath(nativePath, path, true));
  for (std::wstring& component : path) component = FoldName(component);
  mounts_.push_back(MountPoint{std::move(path), &hive});
}

std::vector<std::wstring> HiveRegistry::RootPath(Key root) const {
  if (root == RootKey(RegistryRoot::HKLM)) return {L"Registry", L"Machine"};
  return {L"Registry", L"User", userSid_};
}

const HiveRegistry::MountPoint* HiveRegistry::FindMount(const std::vector<std::wstring>& path) const {
  const MountPoint* found = nullptr;
  for (const MountPoint& mount : mounts_) {
    if (mount.path.size() > path.size() || (found != nullptr && found->path.size() >= mount.path.size())) {
      continue;
    }
    bool prefix = true;
    for (std::size_t i = 0; i < mount.path.size() && prefix; ++i) prefix = FoldName(path[i]) == mount.path[i];
    if (prefix) found = &mount;
  }
  return found;
}

RegistryStatus HiveRegistry::FindValue(const Location& at, const std::wstring& name,
                                       std::vector<HiveFile::ValueRef>& values, std::size_t& index) {
  const RegistryStatus status = at.hive->Values(at.node, values);
  if (status != kRegistrySuccess) return status;
  for (index = 0; index < values.size(); ++index) {
    if (SameName(values[index].name, name)) return kRegistrySuccess;
  }
  return kRegistryFileNotFound;
}

RegistryStatus HiveRegistry::LinkTarget(const Location& at, std::vector<std::wstring>& target) {
  std::vector<HiveFile::ValueRef> values;
  std::size_t index = 0;
  std::vector<std::uint8_t> data;
  RegistryStatus status = FindValue(at, kSymbolicLinkValueName, values, index);
  if (status == kRegistrySuccess && values[index].type != ValueType::RegLink) status = kRegistryFileNotFound;
  if (status == kRegistrySuccess) status = at.hive->ReadData(values[index].handle, data);
  if (status != kRegistrySuccess) return status;
  return SplitPath(FromUtf16(Utf16UpToNul(data.data(), data.size())), target, true);
}

RegistryStatus HiveRegistry::Descend(Location at, std::vector<std::wstring> rest, const Walk& walk,
                                     Location& result) {
  int links = 0;
  std::size_t next = 0;
  for (;;) {
    bool isLink = false;
    RegistryStatus status = at.hive->IsLink(at.node, isLink);
    if (status != kRegistrySuccess) return status;
    // A link is followed on the way, and at the end unless asked for itself;
    // a path relative to a link opened as itself leads into its target.
    if (isLink && (next < rest.size() || !walk.openLink)) {
      std::vector<std::wstring> target;
      if (++links > kMaxLinks) return kRegistryCircularLink;
      status = LinkTarget(at, target);
      if (status != kRegistrySuccess) return status;
      target.insert(target.end(), rest.begin() + static_cast<std::ptrdiff_t>(next), rest.end());
      const MountPoint* mount = FindMount(target);
      if (mount == nullptr) return kRegistryFileNotFound;  // nowhere this run has mounted
      at = Location{mount->hive, mount->hive->Root()};
      rest.assign(target.begin() + static_cast<std::ptrdiff_t>(mount->path.size()), target.end());
      next = 0;
      continue;
    }
    if (next == rest.size()) {
      result = at;
      return kRegistrySuccess;
    }
    const bool last = next + 1 == rest.size();
    HiveFile::Node child = 0;
    status = at.hive->FindChild(at.node, FoldName(rest[next]), child);
    if (status == kRegistryFileNotFound && walk.create) {
      status = at.hive->AddChild(at.node, rest[next], last && walk.createLink, child);
    } else if (status == kRegistrySuccess && last && walk.createLink) {
      return kRegistryAlreadyExists;
    }
    if (status != kRegistrySuccess) return status;
    at.node = child;
    ++next;
  }
}

RegistryStatus HiveRegistry::Reach(Key parent, const std::wstring& path, const Walk& walk,
                                   Location& result) {
  std::vector<std::wstring> components;
  RegistryStatus status = SplitPath(path, components);
  if (status != kRegistrySuccess) return status;
  if (parent != RootKey(RegistryRoot::HKLM) && parent != RootKey(RegistryRoot::HKCU)) {
    Location at;
    status = HandleAt(parent, 0, at);
    return status == kRegistrySuccess ? Descend(at, std::move(components), walk, result) : status;
  }
  std::vector<std::wstring> full = RootPath(parent);
  full.insert(full.end(), components.begin(), components.end());
  const MountPoint* mount = FindMount(full);
  if (mount == nullptr) return walk.create ? kRegistryAccessDenied : kRegistryFileNotFound;
  full.erase(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(mount->path.size()));
  return Descend(Location{mount->hive, mount->hive->Root()}, std::move(full), walk, result);
}

RegistryStatus HiveRegistry::HandleAt(Key key, std::uint32_t right, Location& at) const {
  if (key == RootKey(RegistryRoot::HKLM) || key == RootKey(RegistryRoot::HKCU)) {
    const std::vector<std::wstring> root = RootPath(key);
    const MountPoint* mount = FindMount(root);
    if (mount == nullptr || mount->path.size() != root.size()) return kRegistryFileNotFound;
    at = Location{mount->hive, mount->hive->Root()};
    return kRegistrySuccess;
  }
  const auto it = handles_.find(key);
  if (it == handles_.end()) return kRegistryInvalidHandle;
  if (it->second.deleted) return kRegistryKeyDeleted;
  if ((it->second.mask & right) != right) return kRegistryAccessDenied;
  at = it->second.at;
  return kRegistrySuccess;
}

RegistryStatus HiveRegistry::OpenOrCreate(Key parent, const std::wstring& path, const Walk& walk,
                                          std::uint32_t mask, Key& key) {
  Location at;
  const RegistryStatus status = Reach(parent, path, walk, at);
  if (status != kRegistrySuccess) return status;
  key = nextHandle_;
  nextHandle_ += 4;
  handles_[key] = Handle{at, mask, false};
  return kRegistrySuccess;
}

RegistryStatus HiveRegistry::OpenKey(Key parent, const std::wstring& path, std::uint32_t options,
                                     std::uint32_t mask, Key& key) noexcept {
  return Guarded([&]() -> RegistryStatus {
    return OpenOrCreate(parent, path, Walk{(options & kOptionOpenLink) != 0, false, false}, mask, key);
  });
}

RegistryStatus HiveRegistry::CreateKey(Key parent, const std::wstring& path, std::uint32_t options,
                                       std::uint32_t mask, Key& key) noexcept {
  return Guarded([&]() -> RegistryStatus {
    // A link being created is opened as itself.
    const bool link = (options & kOptionCreateLink) != 0;
    return OpenOrCreate(parent, path, Walk{link, true, link}, mask, key);
  });
}

RegistryStatus HiveRegistry::QueryValue(Key key, const std::wstring& name, ValueType& type,
                                        std::uint8_t* buffer, std::uint32_t& size) noexcept {
  return Guarded([&]() -> RegistryStatus {
    Location at;
    std::vector<HiveFile::ValueRef> values;
    std::size_t index = 0;
    std::vector<std::uint8_t> data;
    RegistryStatus status = HandleAt(key, kKeyQueryValue, at);
    if (status == kRegistrySuccess) status = FindValue(at, name, values, index);
    if (status == kRegistrySuccess) status = at.hive->ReadData(values[index].handle, data);
    if (status != kRegistrySuccess) return status;
    const auto needed = static_cast<std::uint32_t>(data.size());
    type = values[index].type;
    if (buffer != nullptr && size < needed) status = kRegistryMoreData;
    else if (buffer != nullptr && needed > 0) std::memcpy(buffer, data.data(), needed);
    size = needed;
    return status;
  });
}

RegistryStatus HiveRegistry::RewriteValues(const Location& at, const std::wstring& name, bool remove,
                                           ValueType type, const std::uint8_t* data,
                                           std::uint32_t size) {
  std::vector<HiveFile::ValueRef> values;
  RegistryStatus status = at.hive->Values(at.node, values);
  std::vector<HiveFile::NewValue> set;
  bool found = false;
  for (std::size_t i = 0; status == kRegistrySuccess && i < values.size(); ++i) {
    // The values left alone keep their records as they are.
    HiveFile::NewValue value{values[i].name, values[i].type, {}, values[i].handle};
    if (SameName(values[i].name, name)) {
      found = true;
      if (remove) continue;
      // The same type and data again is no change: the hive is left alone.
      std::vector<std::uint8_t> stored;
      status = values[i].type == type && values[i].size == size ? at.hive->ReadData(values[i].handle, stored)
                                                                 : kRegistrySuccess;
      if (status == kRegistrySuccess && values[i].type == type && stored.size() == size &&
          std::equal(stored.begin(), stored.end(), data)) {
        return kRegistrySuccess;
      }
      value.type = type;  // the stored name keeps its spelling
      value.data.assign(data, data + size);
      value.kept = 0;
    }
    set.push_back(std::move(value));
  }
  if (status != kRegistrySuccess) return status;
  if (remove && !found) return kRegistryFileNotFound;
  if (!found) set.push_back(HiveFile::NewValue{name, type, std::vector<std::uint8_t>(data, data + size), 0});
  return at.hive->ReplaceValues(at.node, set);
}

RegistryStatus HiveRegistry::SetValue(Key key, const std::wstring& name, ValueType type,
                                      const std::uint8_t* data, std::uint32_t size) noexcept {
  return Guarded([&]() -> RegistryStatus {
    Location at;
    const RegistryStatus status = HandleAt(key, kKeySetValue, at);
    if (status != kRegistrySuccess) return status;
    if (data == nullptr && size != 0) return kRegistryNoAccess;
    return RewriteValues(at, name, false, type, data, size);
  });
}

RegistryStatus HiveRegistry::DeleteValue(Key key, const std::wstring& name) noexcept {
  return Guarded([&]() -> RegistryStatus {
    Location at;
    const RegistryStatus status = HandleAt(key, kKeySetValue, at);
    return status == kRegistrySuccess ? RewriteValues(at, name, true, ValueType::RegNone, nullptr, 0)
                                      : status;
  });
}

RegistryStatus HiveRegistry::EnumKey(Key key, std::uint32_t index, std::wstring& name) noexcept {
  return Guarded([&]() -> RegistryStatus {
    Location at;
    std::vector<HiveFile::Node> children;
    RegistryStatus status = HandleAt(key, kKeyEnumerateSubKeys, at);
    if (status == kRegistrySuccess) status = at.hive->Children(at.node, children);
    if (status != kRegistrySuccess) return status;
    if (index >= children.size()) return kRegistryNoMoreItems;
    return at.hive->Name(children[index], name);
  });
}

RegistryStatus HiveRegistry::EnumValue(Key key, std::uint32_t index, std::wstring& name) noexcept {
  return Guarded([&]() -> RegistryStatus {
    Location at;
    std::vector<HiveFile::ValueRef> values;
    RegistryStatus status = HandleAt(key, kKeyQueryValue, at);
    if (status == kRegistrySuccess) status = at.hive->Values(at.node, values);
    if (status != kRegistrySuccess) return status;
    if (index >= values.size()) return kRegistryNoMoreItems;
    name = values[index].name;
    return kRegistrySuccess;
  });
}

RegistryStatus HiveRegistry::DeleteLeaf(const Location& at) {
  std::vector<HiveFile::Node> children;
  RegistryStatus status = at.hive->Children(at.node, children);
  if (status != kRegistrySuccess) return status;
  if (at.node == at.hive->Root() || !children.empty()) return kRegistryAccessDenied;
  status = at.hive->DeleteLeaf(at.node);
  if (status != kRegistrySuccess) return status;
  for (auto& [key, handle] : handles_) {
    if (handle.at.hive == at.hive && handle.at.node == at.node) handle.deleted = true;
  }
  return kRegistrySuccess;
}

RegistryStatus HiveRegistry::DeleteKey(Key parent, const std::wstring& path, std::uint32_t) noexcept {
  return Guarded([&]() -> RegistryStatus {
    Location at;
    const RegistryStatus status = Reach(parent, path, Walk{}, at);
    return status == kRegistrySuccess ? DeleteLeaf(at) : status;
  });
}

RegistryStatus HiveRegistry::DeleteOpenedKey(Key key) noexcept {
  return Guarded([&]() -> RegistryStatus {
    Location at;
    const RegistryStatus status = HandleAt(key, kKeyDelete, at);
    return status == kRegistrySuccess ? DeleteLeaf(at) : status;
  });
}

RegistryStatus HiveRegistry::IsLink(Key key, bool& isLink) noexcept {
  Location at;
  const RegistryStatus status = HandleAt(key, kKeyQueryValue, at);
  return status == kRegistrySuccess ? at.hive->IsLink(at.node, isLink) : status;
}

void HiveRegistry::CloseKey(Key key) noexcept { handles_.erase(key); }
