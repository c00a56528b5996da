#include "registry/memory_registry.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "registry/registry_text.h"

namespace {

// The user the HKCU root stands for, in native link paths.
constexpr wchar_t kUserSid[] = L"S-1-5-21-1000-1000-1000-1000";
constexpr wchar_t kMachinePrefix[] = L"\\Registry\\Machine";
constexpr wchar_t kUserPrefix[] = L"\\Registry\\User\\";
// Key names are at most 255 characters, as in the Windows registry.
constexpr std::size_t kMaxKeyNameLength = 255;
// Links followed in one open before it fails, as a loop would.
constexpr int kMaxLinks = 16;

// Registry names compare after upper-casing; ASCII and Latin-1 letters are
// enough for the names this tool meets.
wchar_t FoldChar(wchar_t c) {
  if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - (L'a' - L'A'));
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<wchar_t>(c - 0x20);
  return c;
}

std::wstring Fold(const std::wstring& text) {
  std::wstring folded(text);
  std::transform(folded.begin(), folded.end(), folded.begin(), FoldChar);
  return folded;
}

bool StartsWithFolded(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() && Fold(text.substr(0, prefix.size())) == Fold(prefix);
}

const wchar_t* RootLabel(RegistryRoot root) {
  return root == RegistryRoot::HKLM ? L"HKLM" : L"HKCU";
}

// The components of a backend path, as the Windows registry reads it: empty
// components (a trailing backslash, two in a row) are skipped, the empty path
// has none. False (bad path name) for a path that begins with a backslash.
bool SplitPath(const std::wstring& path, std::vector<std::wstring>& components) {
  components.clear();
  if (!path.empty() && path.front() == L'\\') return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (end > start) components.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

std::wstring JoinPath(const std::wstring& parent, const std::wstring& path) {
  return path.empty() ? parent : parent + L"\\" + path;
}

}  // namespace

struct MemoryRegistry::Node {
  std::wstring name;
  std::wstring path;  // root label and names as first created
  RegistryRoot root = RegistryRoot::HKLM;
  Node* parent = nullptr;
  bool isLink = false;
  bool deleted = false;
  std::map<std::wstring, std::shared_ptr<Node>> subkeys;  // by folded name
  std::map<std::wstring, StoredValue> values;             // by folded name
};

MemoryRegistry::MemoryRegistry()
    : hklm_(std::make_shared<Node>()), hkcu_(std::make_shared<Node>()) {
  hklm_->path = RootLabel(RegistryRoot::HKLM);
  hklm_->root = RegistryRoot::HKLM;
  hkcu_->path = RootLabel(RegistryRoot::HKCU);
  hkcu_->root = RegistryRoot::HKCU;
}

MemoryRegistry::~MemoryRegistry() = default;

std::shared_ptr<MemoryRegistry::Node> MemoryRegistry::RootNode(RegistryRoot root) const {
  return root == RegistryRoot::HKLM ? hklm_ : hkcu_;
}

std::wstring MemoryRegistry::NativePath(RegistryRoot root, const std::wstring& path) {
  std::wstring trimmed = path;
  if (!trimmed.empty() && trimmed.back() == L'\\') trimmed.pop_back();
  std::wstring native = root == RegistryRoot::HKLM ? std::wstring(kMachinePrefix)
                                                   : std::wstring(kUserPrefix) + kUserSid;
  return JoinPath(native, trimmed);
}

// --- Handles, failures, the record --------------------------------------------

RegistryStatus MemoryRegistry::ParentNode(Key parent, std::shared_ptr<Node>& node) const {
  if (parent == RootKey(RegistryRoot::HKLM)) {
    node = hklm_;
  } else if (parent == RootKey(RegistryRoot::HKCU)) {
    node = hkcu_;
  } else {
    auto it = handles_.find(parent);
    if (it == handles_.end()) return 6;  // ERROR_INVALID_HANDLE
    node = it->second.node;
  }
  return node->deleted ? kRegistryKeyDeleted : kRegistrySuccess;
}

RegistryStatus MemoryRegistry::HandleNode(Key key, std::uint32_t right,
                                          std::shared_ptr<Node>& node) const {
  std::uint32_t mask = 0xFFFFFFFFu;
  if (key != RootKey(RegistryRoot::HKLM) && key != RootKey(RegistryRoot::HKCU)) {
    auto it = handles_.find(key);
    if (it == handles_.end()) return 6;  // ERROR_INVALID_HANDLE
    mask = it->second.mask;
  }
  RegistryStatus status = ParentNode(key, node);
  if (status != kRegistrySuccess) return status;
  if ((mask & right) != right) return kRegistryAccessDenied;
  return kRegistrySuccess;
}

RegistryStatus MemoryRegistry::InjectedFailure(RegistryCallKind kind, const Node& node) const {
  auto it = failures_.find({kind, Fold(node.path)});
  return it == failures_.end() ? kRegistrySuccess : it->second;
}

void MemoryRegistry::Record(RegistryCallKind kind, std::wstring key, std::wstring name,
                            std::uint32_t options, std::uint32_t mask, RegistryStatus status) {
  calls_.push_back(RegistryCall{kind, std::move(key), std::move(name), options, mask, status});
}

std::wstring MemoryRegistry::KeyLabel(Key key) const {
  if (key == RootKey(RegistryRoot::HKLM)) return hklm_->path;
  if (key == RootKey(RegistryRoot::HKCU)) return hkcu_->path;
  auto it = handles_.find(key);
  return it == handles_.end() ? std::wstring(L"?") : it->second.node->path;
}

void MemoryRegistry::InjectFailure(RegistryCallKind kind, RegistryRoot root,
                                   const std::wstring& path, RegistryStatus status) {
  std::wstring trimmed = path;
  if (!trimmed.empty() && trimmed.back() == L'\\') trimmed.pop_back();
  failures_[{kind, Fold(JoinPath(RootLabel(root), trimmed))}] = status;
}

void MemoryRegistry::RefuseDeletion(RegistryRoot root, const std::wstring& path) {
  InjectFailure(RegistryCallKind::DeleteKey, root, path, kRegistryAccessDenied);
  InjectFailure(RegistryCallKind::DeleteOpenedKey, root, path, kRegistryAccessDenied);
}

void MemoryRegistry::RefuseOpening(RegistryRoot root, const std::wstring& path) {
  InjectFailure(RegistryCallKind::OpenKey, root, path, kRegistryAccessDenied);
  InjectFailure(RegistryCallKind::CreateKey, root, path, kRegistryAccessDenied);
}

void MemoryRegistry::ClearFailures() { failures_.clear(); }

// --- Paths and links ----------------------------------------------------------

RegistryStatus MemoryRegistry::FollowLink(const Node& link, std::shared_ptr<Node>& target,
                                          int& linkBudget) {
  if (--linkBudget < 0) return kRegistryCircularLink;
  auto value = link.values.find(Fold(kSymbolicLinkValueName));
  if (value == link.values.end() || value->second.type != ValueType::RegLink) {
    return kRegistryFileNotFound;
  }
  const std::wstring native =
      FromUtf16(Utf16UpToNul(value->second.data.data(), value->second.data.size()));
  std::shared_ptr<Node> root;
  std::wstring rest;
  const std::wstring machine = kMachinePrefix;
  const std::wstring user = std::wstring(kUserPrefix) + kUserSid;
  if (StartsWithFolded(native, machine) &&
      (native.size() == machine.size() || native[machine.size()] == L'\\')) {
    root = hklm_;
    rest = native.substr(machine.size());
  } else if (StartsWithFolded(native, user) &&
             (native.size() == user.size() || native[user.size()] == L'\\')) {
    root = hkcu_;
    rest = native.substr(user.size());
  } else {
    return kRegistryFileNotFound;
  }
  if (!rest.empty()) rest.erase(0, 1);  // the separator after the root
  return Resolve(root, rest, false, false, false, RegistryCallKind::OpenKey, target, linkBudget);
}

RegistryStatus MemoryRegistry::Resolve(std::shared_ptr<Node> start, const std::wstring& path,
                                       bool openLink, bool create, bool createLink,
                                       RegistryCallKind kind, std::shared_ptr<Node>& result,
                                       int& linkBudget) {
  std::vector<std::wstring> components;
  if (!SplitPath(path, components)) return kRegistryBadPathname;
  for (const std::wstring& component : components) {
    if (component.size() > kMaxKeyNameLength) return kRegistryInvalidParameter;
  }
  std::shared_ptr<Node> current = std::move(start);
  // A path relative to a link opened as itself leads into the link's target.
  if (current->isLink && !components.empty()) {
    RegistryStatus status = FollowLink(*current, current, linkBudget);
    if (status != kRegistrySuccess) return status;
  }
  for (std::size_t i = 0; i < components.size(); ++i) {
    const bool last = i + 1 == components.size();
    const std::wstring folded = Fold(components[i]);
    auto it = current->subkeys.find(folded);
    if (it == current->subkeys.end()) {
      if (!create) return kRegistryFileNotFound;
      auto node = std::make_shared<Node>();
      node->name = components[i];
      node->path = current->path + L"\\" + components[i];
      node->root = current->root;
      node->parent = current.get();
      node->isLink = last && createLink;
      if (last) {
        const RegistryStatus injected = InjectedFailure(kind, *node);
        if (injected != kRegistrySuccess) return injected;
      }
      current->subkeys.emplace(folded, node);
      current = std::move(node);
      continue;
    }
    std::shared_ptr<Node> child = it->second;
    if (last && createLink) return kRegistryAlreadyExists;
    if (child->isLink && !(last && openLink)) {
      RegistryStatus status = FollowLink(*child, current, linkBudget);
      if (status != kRegistrySuccess) return status;
      continue;
    }
    current = std::move(child);
  }
  if (current->parent != nullptr || !components.empty()) {
    const RegistryStatus injected = InjectedFailure(kind, *current);
    if (injected != kRegistrySuccess) return injected;
  }
  result = std::move(current);
  return kRegistrySuccess;
}

// --- RegistryAccess -------------------------------------------------------------

RegistryStatus MemoryRegistry::OpenOrCreate(RegistryCallKind kind, Key parent,
                                            const std::wstring& path, std::uint32_t options,
                                            std::uint32_t mask, Key& key) {
  std::shared_ptr<Node> start;
  RegistryStatus status = ParentNode(parent, start);
  std::shared_ptr<Node> node;
  if (status == kRegistrySuccess) {
    int linkBudget = kMaxLinks;
    const bool create = kind == RegistryCallKind::CreateKey;
    status = Resolve(start, path, (options & kOptionOpenLink) != 0, create,
                     create && (options & kOptionCreateLink) != 0, kind, node, linkBudget);
  }
  Record(kind, JoinPath(KeyLabel(parent), path), L"", options, mask, status);
  if (status != kRegistrySuccess) return status;
  key = nextHandle_;
  nextHandle_ += 4;
  handles_[key] = Handle{std::move(node), mask};
  return kRegistrySuccess;
}

RegistryStatus MemoryRegistry::OpenKey(Key parent, const std::wstring& path, std::uint32_t options,
                                       std::uint32_t mask, Key& key) noexcept {
  return OpenOrCreate(RegistryCallKind::OpenKey, parent, path, options, mask, key);
}

RegistryStatus MemoryRegistry::CreateKey(Key parent, const std::wstring& path,
                                         std::uint32_t options, std::uint32_t mask,
                                         Key& key) noexcept {
  return OpenOrCreate(RegistryCallKind::CreateKey, parent, path, options, mask, key);
}

RegistryStatus MemoryRegistry::QueryValue(Key key, const std::wstring& name, ValueType& type,
                                          std::uint8_t* buffer, std::uint32_t& size) noexcept {
  std::shared_ptr<Node> node;
  RegistryStatus status = HandleNode(key, kKeyQueryValue, node);
  if (status == kRegistrySuccess) status = InjectedFailure(RegistryCallKind::QueryValue, *node);
  if (status == kRegistrySuccess) {
    auto it = node->values.find(Fold(name));
    if (it == node->values.end()) {
      status = kRegistryFileNotFound;
    } else {
      const StoredValue& value = it->second;
      const auto needed = static_cast<std::uint32_t>(value.data.size());
      type = value.type;
      if (buffer != nullptr && size < needed) {
        status = kRegistryMoreData;
      } else if (buffer != nullptr && needed > 0) {
        std::memcpy(buffer, value.data.data(), needed);
      }
      size = needed;
    }
  }
  Record(RegistryCallKind::QueryValue, KeyLabel(key), name, 0, 0, status);
  return status;
}

RegistryStatus MemoryRegistry::SetValue(Key key, const std::wstring& name, ValueType type,
                                        const std::uint8_t* data, std::uint32_t size) noexcept {
  std::shared_ptr<Node> node;
  RegistryStatus status = HandleNode(key, kKeySetValue, node);
  if (status == kRegistrySuccess) status = InjectedFailure(RegistryCallKind::SetValue, *node);
  if (status == kRegistrySuccess && data == nullptr && size != 0) status = 998;  // ERROR_NOACCESS
  if (status == kRegistrySuccess) {
    StoredValue& value = node->values[Fold(name)];
    if (value.name.empty()) value.name = name;
    value.type = type;
    value.data.assign(data, data + size);
  }
  Record(RegistryCallKind::SetValue, KeyLabel(key), name, 0, static_cast<std::uint32_t>(type),
         status);
  return status;
}

RegistryStatus MemoryRegistry::DeleteValue(Key key, const std::wstring& name) noexcept {
  std::shared_ptr<Node> node;
  RegistryStatus status = HandleNode(key, kKeySetValue, node);
  if (status == kRegistrySuccess) status = InjectedFailure(RegistryCallKind::DeleteValue, *node);
  if (status == kRegistrySuccess && node->values.erase(Fold(name)) == 0) {
    status = kRegistryFileNotFound;
  }
  Record(RegistryCallKind::DeleteValue, KeyLabel(key), name, 0, 0, status);
  return status;
}

RegistryStatus MemoryRegistry::EnumKey(Key key, std::uint32_t index, std::wstring& name) noexcept {
  std::shared_ptr<Node> node;
  RegistryStatus status = HandleNode(key, kKeyEnumerateSubKeys, node);
  if (status == kRegistrySuccess) status = InjectedFailure(RegistryCallKind::EnumKey, *node);
  if (status == kRegistrySuccess) {
    if (index >= node->subkeys.size()) {
      status = kRegistryNoMoreItems;
    } else {
      auto it = node->subkeys.begin();
      std::advance(it, index);
      name = it->second->name;
    }
  }
  Record(RegistryCallKind::EnumKey, KeyLabel(key), status == kRegistrySuccess ? name : L"", 0, 0,
         status);
  return status;
}

void MemoryRegistry::RemoveNode(Node& node) {
  Node* parent = node.parent;
  node.deleted = true;
  node.parent = nullptr;
  if (parent != nullptr) parent->subkeys.erase(Fold(node.name));
}

RegistryStatus MemoryRegistry::DeleteKey(Key parent, const std::wstring& path,
                                         std::uint32_t mask) noexcept {
  std::shared_ptr<Node> start;
  RegistryStatus status = ParentNode(parent, start);
  std::shared_ptr<Node> node;
  if (status == kRegistrySuccess) {
    int linkBudget = kMaxLinks;
    // Every link on the way is followed, the last one too: the key that goes is
    // the link's target.
    status = Resolve(start, path, false, false, false, RegistryCallKind::DeleteKey, node,
                     linkBudget);
  }
  if (status == kRegistrySuccess && (node->parent == nullptr || !node->subkeys.empty())) {
    status = kRegistryAccessDenied;
  }
  if (status == kRegistrySuccess) RemoveNode(*node);
  Record(RegistryCallKind::DeleteKey, JoinPath(KeyLabel(parent), path), L"", 0, mask, status);
  return status;
}

RegistryStatus MemoryRegistry::DeleteOpenedKey(Key key) noexcept {
  std::shared_ptr<Node> node;
  RegistryStatus status = HandleNode(key, kKeyDelete, node);
  if (status == kRegistrySuccess) status = InjectedFailure(RegistryCallKind::DeleteOpenedKey, *node);
  if (status == kRegistrySuccess && (node->parent == nullptr || !node->subkeys.empty())) {
    status = kRegistryAccessDenied;
  }
  const std::wstring label = KeyLabel(key);
  if (status == kRegistrySuccess) RemoveNode(*node);
  Record(RegistryCallKind::DeleteOpenedKey, label, L"", 0, 0, status);
  return status;
}

RegistryStatus MemoryRegistry::IsLink(Key key, bool& isLink) noexcept {
  std::shared_ptr<Node> node;
  RegistryStatus status = HandleNode(key, kKeyQueryValue, node);
  if (status == kRegistrySuccess) status = InjectedFailure(RegistryCallKind::IsLink, *node);
  if (status == kRegistrySuccess) isLink = node->isLink;
  Record(RegistryCallKind::IsLink, KeyLabel(key), L"", 0, 0, status);
  return status;
}

void MemoryRegistry::CloseKey(Key key) noexcept {
  const std::wstring label = KeyLabel(key);
  const RegistryStatus status = handles_.erase(key) == 1 ? kRegistrySuccess : 6;
  Record(RegistryCallKind::CloseKey, label, L"", 0, 0, status);
}

// --- Seeding and reading back -----------------------------------------------------

std::shared_ptr<MemoryRegistry::Node> MemoryRegistry::FindLiteral(RegistryRoot root,
                                                                  const std::wstring& path) const {
  std::vector<std::wstring> components;
  if (!SplitPath(path, components)) return nullptr;
  std::shared_ptr<Node> node = RootNode(root);
  for (const std::wstring& component : components) {
    auto it = node->subkeys.find(Fold(component));
    if (it == node->subkeys.end()) return nullptr;
    node = it->second;
  }
  return node;
}

std::shared_ptr<MemoryRegistry::Node> MemoryRegistry::AddLiteral(RegistryRoot root,
                                                                 const std::wstring& path) {
  std::vector<std::wstring> components;
  if (!SplitPath(path, components)) return nullptr;
  std::shared_ptr<Node> node = RootNode(root);
  for (const std::wstring& component : components) {
    if (node->isLink) return nullptr;
    auto it = node->subkeys.find(Fold(component));
    if (it == node->subkeys.end()) {
      auto child = std::make_shared<Node>();
      child->name = component;
      child->path = node->path + L"\\" + component;
      child->root = root;
      child->parent = node.get();
      it = node->subkeys.emplace(Fold(component), std::move(child)).first;
    }
    node = it->second;
  }
  return node;
}

bool MemoryRegistry::AddKey(RegistryRoot root, const std::wstring& path) {
  return AddLiteral(root, path) != nullptr;
}

bool MemoryRegistry::AddValue(RegistryRoot root, const std::wstring& path, const std::wstring& name,
                              ValueType type, std::vector<std::uint8_t> data) {
  std::shared_ptr<Node> node = AddLiteral(root, path);
  if (node == nullptr) return false;
  StoredValue& value = node->values[Fold(name)];
  if (value.name.empty()) value.name = name;
  value.type = type;
  value.data = std::move(data);
  return true;
}

bool MemoryRegistry::AddString(RegistryRoot root, const std::wstring& path,
                               const std::wstring& name, const std::wstring& text, ValueType type) {
  std::u16string units = ToUtf16(text);
  units.push_back(u'\0');
  return AddValue(root, path, name, type, Utf16LeBytes(units));
}

bool MemoryRegistry::AddDword(RegistryRoot root, const std::wstring& path, const std::wstring& name,
                              std::uint32_t number) {
  std::vector<std::uint8_t> data;
  for (int shift = 0; shift < 32; shift += 8) {
    data.push_back(static_cast<std::uint8_t>((number >> shift) & 0xFF));
  }
  return AddValue(root, path, name, ValueType::RegDword, std::move(data));
}

bool MemoryRegistry::AddLink(RegistryRoot root, const std::wstring& path, RegistryRoot targetRoot,
                             const std::wstring& targetPath) {
  std::shared_ptr<Node> existing = FindLiteral(root, path);
  if (existing != nullptr && (!existing->subkeys.empty() || existing->parent == nullptr)) {
    return false;
  }
  std::shared_ptr<Node> node = AddLiteral(root, path);
  if (node == nullptr || node->parent == nullptr) return false;
  node->isLink = true;
  node->values.clear();
  StoredValue value;
  value.name = kSymbolicLinkValueName;
  value.type = ValueType::RegLink;
  value.data = Utf16LeBytes(ToUtf16(NativePath(targetRoot, targetPath)));
  node->values[Fold(value.name)] = std::move(value);
  return true;
}

bool MemoryRegistry::HasKey(RegistryRoot root, const std::wstring& path) const {
  return FindLiteral(root, path) != nullptr;
}

bool MemoryRegistry::IsLinkKey(RegistryRoot root, const std::wstring& path) const {
  std::shared_ptr<Node> node = FindLiteral(root, path);
  return node != nullptr && node->isLink;
}

std::optional<StoredValue> MemoryRegistry::GetValue(RegistryRoot root, const std::wstring& path,
                                                    const std::wstring& name) const {
  std::shared_ptr<Node> node = FindLiteral(root, path);
  if (node == nullptr) return std::nullopt;
  auto it = node->values.find(Fold(name));
  if (it == node->values.end()) return std::nullopt;
  return it->second;
}

std::optional<std::wstring> MemoryRegistry::GetString(RegistryRoot root, const std::wstring& path,
                                                      const std::wstring& name) const {
  std::optional<StoredValue> value = GetValue(root, path, name);
  if (!value) return std::nullopt;
  return FromUtf16(Utf16UpToNul(value->data.data(), value->data.size()));
}

std::vector<std::wstring> MemoryRegistry::ListKeys() const {
  std::vector<std::wstring> keys;
  std::function<void(const Node&)> visit = [&](const Node& node) {
    for (const auto& entry : node.subkeys) {
      keys.push_back(entry.second->path);
      visit(*entry.second);
    }
  };
  visit(*hklm_);
  visit(*hkcu_);
  return keys;
}

RegistrySnapshot MemoryRegistry::Snapshot() const {
  RegistrySnapshot snapshot;
  std::function<void(const Node&)> visit = [&](const Node& node) {
    RegistrySnapshotKey& key = snapshot[Fold(node.path)];
    key.path = node.path;
    key.isLink = node.isLink;
    key.values = node.values;
    for (const auto& entry : node.subkeys) visit(*entry.second);
  };
  visit(*hklm_);
  visit(*hkcu_);
  return snapshot;
}

std::vector<std::wstring> MemoryRegistry::Differences(const RegistrySnapshot& before,
                                                      const RegistrySnapshot& after) {
  std::vector<std::wstring> lines;
  auto valueLine = [](const wchar_t* sign, const RegistrySnapshotKey& key, const StoredValue& value) {
    return std::wstring(sign) + L"value " + key.path + L" [" + value.name + L"]";
  };
  auto compareValues = [&](const RegistrySnapshotKey& old, const RegistrySnapshotKey& now) {
    for (const auto& entry : old.values) {
      auto it = now.values.find(entry.first);
      if (it == now.values.end()) {
        lines.push_back(valueLine(L"-", old, entry.second));
      } else if (!(it->second.type == entry.second.type && it->second.data == entry.second.data)) {
        lines.push_back(valueLine(L"~", old, entry.second));
      }
    }
    for (const auto& entry : now.values) {
      if (old.values.count(entry.first) == 0) lines.push_back(valueLine(L"+", now, entry.second));
    }
  };
  const RegistrySnapshotKey none;
  for (const auto& entry : before) {
    auto it = after.find(entry.first);
    if (it == after.end()) {
      lines.push_back(L"-key " + entry.second.path);
      continue;
    }
    if (entry.second.isLink != it->second.isLink) lines.push_back(L"~link " + entry.second.path);
    compareValues(entry.second, it->second);
  }
  for (const auto& entry : after) {
    if (before.count(entry.first) != 0) continue;
    lines.push_back(L"+key " + entry.second.path);
    RegistrySnapshotKey empty = none;
    empty.path = entry.second.path;
    compareValues(empty, entry.second);
  }
  return lines;
}
