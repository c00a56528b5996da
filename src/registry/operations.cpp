#include "registry/operations.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "registry/registry_text.h"

namespace {

constexpr std::uint32_t kQueryBufferSize = 8192;  // bytes, for every value query
constexpr std::size_t kMaxTextLength = 4096;      // characters counted in a text
constexpr std::uint32_t kMaxWholeValue = 16u << 20;  // bytes: a value read whole is at most this large
// A tree is walked and deleted through handles opened as links, so that a link
// is deleted as itself and never walked.
constexpr std::uint32_t kTreeMask = kKeyReadWow64 | kKeyDelete;
// A key whose values are read and written (or deleted) is opened for that
// alone: an administrator may hold these rights on a key without full control
// of it (WRITE_DAC, WRITE_OWNER).
constexpr std::uint32_t kValueMask = kKeyQueryValue | kKeySetValue | kKeyWow64_64Key;
// The registry nests at most 512 levels; deeper is treated as a resisting key.
constexpr int kMaxTreeDepth = 512;
// Subkeys deleted below one key before the walk gives up: bounds the walk
// when subkeys keep appearing while it runs.
constexpr std::uint32_t kMaxDeletionsPerKey = 1u << 20;

const std::wstring kEditFlags = L"EditFlags";

// The text's characters up to its first NUL, at most kMaxTextLength of them,
// followed by one NUL: the (count + 1) * 2 bytes the registry stores.
std::vector<std::uint8_t> StringData(const std::wstring& text) {
  std::u16string units = ToUtf16(text);
  std::size_t count = std::min(units.find(u'\0'), units.size());
  count = std::min(count, kMaxTextLength);
  units.resize(count);
  units.push_back(u'\0');
  return Utf16LeBytes(units);
}

std::uint32_t ByteCount(const std::vector<std::uint8_t>& data) {
  return static_cast<std::uint32_t>(data.size());
}

// A key or value that is not there (any more) is nothing to delete.
bool IsGone(RegistryStatus status) {
  return status == kRegistryFileNotFound || status == kRegistryKeyDeleted;
}

// The result of one write or deletion: changed on success, else its error.
RegistryChange ChangeOf(RegistryStatus status) {
  return status == kRegistrySuccess ? RegistryChange{true, kRegistrySuccess} : RegistryChange{false, status};
}

// Not changed; a key or value that is already gone is no error.
RegistryChange UnlessGone(RegistryStatus status) {
  return RegistryChange{false, IsGone(status) ? kRegistrySuccess : status};
}

// The components of a key path, one trailing backslash dropped. False when
// the path is empty or has an empty component (a leading backslash, two in
// a row).
bool SplitKeyPath(const std::wstring& path, std::vector<std::wstring>& components) {
  std::wstring trimmed = path;
  if (!trimmed.empty() && trimmed.back() == L'\\') trimmed.pop_back();
  if (trimmed.empty()) return false;
  components.clear();
  std::size_t start = 0;
  for (;;) {
    std::size_t end = trimmed.find(L'\\', start);
    std::wstring component = trimmed.substr(start, end == std::wstring::npos ? end : end - start);
    if (component.empty()) return false;
    components.push_back(component);
    if (end == std::wstring::npos) return true;
    start = end + 1;
  }
}

// `path` below `parent`'s path below the tree's top.
std::wstring Below(const std::wstring& parent, const std::wstring& name) {
  return parent.empty() ? name : parent + L"\\" + name;
}

// Deletes the key behind `key`, at `path` below the tree's top, and
// everything below it; kRegistrySuccess when it went, else the error of the
// first call that failed. A subkey is opened relative to its parent's handle,
// so no path is formed or cut; a key that is a link is deleted as the link,
// never enumerated. Each key below the top that went is added to `report`.
RegistryStatus DeleteOpenedTree(RegistryAccess& registry, RegistryAccess::Key key, int depth,
                                const std::wstring& path, TreeReport* report) {
  const auto gone = [&](RegistryStatus status) {
    if (status == kRegistrySuccess && report != nullptr && depth > 0) {
      if (report->deleted.size() < kTreeNamesKept) report->deleted.push_back(path);
      ++report->deletedCount;
    }
    return status;
  };
  const RegistryStatus refused = registry.DeleteOpenedKey(key);
  if (refused == kRegistrySuccess || depth >= kMaxTreeDepth) return gone(refused);
  bool isLink = false;
  const RegistryStatus linkStatus = registry.IsLink(key, isLink);
  if (linkStatus != kRegistrySuccess) return linkStatus;
  if (isLink) return refused;
  RegistryStatus firstFailure = kRegistrySuccess;
  for (std::uint32_t deleted = 0; deleted < kMaxDeletionsPerKey; ++deleted) {
    std::wstring name;
    const RegistryStatus enumerated = registry.EnumKey(key, 0, name);
    if (enumerated != kRegistrySuccess) {
      if (enumerated != kRegistryNoMoreItems) firstFailure = enumerated;
      break;
    }
    // A subkey name never holds a backslash; one that did would reach past
    // the subkey, so the walk stops.
    if (name.empty() || name.find(L'\\') != std::wstring::npos) break;
    RegistryKey subkey(registry);
    RegistryStatus status = subkey.Open(key, name, kOptionOpenLink, kTreeMask);
    if (status == kRegistrySuccess) status = DeleteOpenedTree(registry, subkey.get(), depth + 1, Below(path, name), report);
    if (status != kRegistrySuccess) {
      firstFailure = status;
      break;
    }
  }
  const RegistryStatus status = registry.DeleteOpenedKey(key);
  return gone(status == kRegistrySuccess || firstFailure == kRegistrySuccess ? status : firstFailure);
}

// Adds the keys that stand below `key` (at `path` below the tree's top) to
// `report`, up to one past those it names; links are named, not followed.
void ListStanding(RegistryAccess& registry, RegistryAccess::Key key, int depth, const std::wstring& path,
                  TreeReport& report) {
  for (std::uint32_t index = 0; !report.more && depth < kMaxTreeDepth; ++index) {
    std::wstring name;
    if (registry.EnumKey(key, index, name) != kRegistrySuccess) return;
    if (report.left.size() == kTreeNamesKept) {
      report.more = true;
      return;
    }
    // Named by a copy of its own: `report.left` grows below it.
    const std::wstring below = Below(path, name);
    report.left.push_back(below);
    RegistryKey subkey(registry);
    bool isLink = true;
    if (name.find(L'\\') != std::wstring::npos ||
        subkey.Open(key, name, kOptionOpenLink, kKeyReadWow64) != kRegistrySuccess ||
        registry.IsLink(subkey.get(), isLink) != kRegistrySuccess || isLink) {
      continue;
    }
    ListStanding(registry, subkey.get(), depth + 1, below, report);
  }
}

// Deletes the tree of the opened `key`; when it stopped part way, `report`
// says what stands.
RegistryChange DeleteTree(RegistryAccess& registry, RegistryAccess::Key key, TreeReport* report) {
  const RegistryStatus status = DeleteOpenedTree(registry, key, 0, L"", report);
  if (status != kRegistrySuccess && report != nullptr) ListStanding(registry, key, 0, L"", *report);
  return ChangeOf(status);
}

// Creates or opens HKLM\path for writing and writes one value.
RegistryChange WriteValue(RegistryAccess& registry, const std::wstring& path, const std::wstring& name,
                          ValueType type, const std::vector<std::uint8_t>& data) {
  RegistryKey key(registry);
  const RegistryStatus created = key.Create(RegistryAccess::RootKey(RegistryRoot::HKLM), path,
                                            kOptionNonVolatile, kValueMask);
  if (created != kRegistrySuccess) return ChangeOf(created);
  return ChangeOf(registry.SetValue(key.get(), name, type, data.data(), ByteCount(data)));
}

}  // namespace

RegistryChange DeleteKeyTree(RegistryAccess& registry, RegistryRoot root, const std::wstring& path,
                             TreeReport* report) {
  std::vector<std::wstring> components;
  // The empty path (or a bare backslash) would name the root itself.
  if (!SplitKeyPath(path, components)) return RegistryChange{};
  RegistryKey key(registry);
  const RegistryStatus opened = key.Open(RegistryAccess::RootKey(root), path, kOptionOpenLink, kTreeMask);
  if (opened != kRegistrySuccess) return UnlessGone(opened);
  return DeleteTree(registry, key.get(), report);
}

RegistryChange DeleteKeyTreeBelow(RegistryAccess& registry, RegistryRoot root, const std::wstring& base,
                                  const std::wstring& relative, TreeReport* report) {
  std::vector<std::wstring> components;
  if (!SplitKeyPath(relative, components)) return RegistryChange{};
  for (const std::wstring& component : components) {
    if (component == L"." || component == L"..") return RegistryChange{};
  }
  RegistryKey parent(registry);
  const RegistryStatus opened =
      parent.Open(RegistryAccess::RootKey(root), base, kOptionNonVolatile, kKeyReadWow64);
  if (opened != kRegistrySuccess) return UnlessGone(opened);
  for (std::size_t i = 0; i < components.size(); ++i) {
    const bool last = i + 1 == components.size();
    RegistryKey key(registry);
    const RegistryStatus status =
        key.Open(parent.get(), components[i], kOptionOpenLink, last ? kTreeMask : kKeyReadWow64);
    if (status != kRegistrySuccess) return UnlessGone(status);
    if (last) return DeleteTree(registry, key.get(), report);
    // A path relative to a link leads into its target, so the way down stops
    // at a link.
    bool isLink = true;
    const RegistryStatus linkStatus = registry.IsLink(key.get(), isLink);
    if (linkStatus != kRegistrySuccess) return ChangeOf(linkStatus);
    if (isLink) return RegistryChange{};
    parent = std::move(key);
  }
  return RegistryChange{};
}

RegistryChange SetValueIfDifferent(RegistryAccess& registry, const std::wstring& path,
                                   const std::wstring& name, const std::wstring& text, ValueType type) {
  RegistryKey key(registry);
  const RegistryStatus created = key.Create(RegistryAccess::RootKey(RegistryRoot::HKLM), path,
                                            kOptionNonVolatile, kValueMask);
  if (created != kRegistrySuccess) return ChangeOf(created);
  const std::vector<std::uint8_t> wanted = StringData(text);
  std::vector<std::uint8_t> buffer(kQueryBufferSize);
  std::uint32_t size = kQueryBufferSize;
  ValueType storedType = ValueType::RegNone;
  const RegistryStatus status = registry.QueryValue(key.get(), name, storedType, buffer.data(), size);
  if (status == kRegistrySuccess) {
    const std::u16string stored = Utf16UpToNul(buffer.data(), std::min(size, kQueryBufferSize));
    const std::u16string wantedText = Utf16UpToNul(wanted.data(), wanted.size());
    if (stored == wantedText) return RegistryChange{};
  } else if (status != kRegistryFileNotFound) {
    return RegistryChange{};  // unreadable, or larger than the buffer: left as it is
  }
  return ChangeOf(registry.SetValue(key.get(), name, type, wanted.data(), ByteCount(wanted)));
}

RegistryChange SetValue(RegistryAccess& registry, const std::wstring& path, const std::wstring& name,
                        const std::wstring& text, ValueType type) {
  return WriteValue(registry, path, name, type, StringData(text));
}

RegistryChange SetEditFlagsBinary(RegistryAccess& registry, const std::wstring& path, const EditFlags& flags) {
  return WriteValue(registry, path, kEditFlags, ValueType::RegBinary,
                    std::vector<std::uint8_t>(flags.begin(), flags.end()));
}

RegistryChange SetComOpenEditFlags(RegistryAccess& registry, const std::wstring& path) {
  return WriteValue(registry, path, kEditFlags, ValueType::RegDword,
                    std::vector<std::uint8_t>(4, 0));
}

bool KeyExists(RegistryAccess& registry, RegistryRoot root, const std::wstring& path) {
  RegistryKey key(registry);
  return key.Open(RegistryAccess::RootKey(root), path, kOptionNonVolatile, kKeyRead) ==
         kRegistrySuccess;
}

std::wstring ReadDefaultValue(RegistryAccess& registry, RegistryRoot root, const std::wstring& path) {
  return ReadTextValue(registry, root, path, L"");
}

std::wstring ReadTextValue(RegistryAccess& registry, RegistryRoot root, const std::wstring& path,
                           const std::wstring& name) {
  RegistryKey key(registry);
  if (key.Open(RegistryAccess::RootKey(root), path, kOptionNonVolatile, kKeyRead) !=
      kRegistrySuccess) {
    return std::wstring();
  }
  std::vector<std::uint8_t> buffer(kQueryBufferSize);
  std::uint32_t size = kQueryBufferSize;
  ValueType type = ValueType::RegNone;
  const RegistryStatus status = registry.QueryValue(key.get(), name, type, buffer.data(), size);
  key.Close();
  if (status != kRegistrySuccess) return std::wstring();
  std::u16string text = Utf16UpToNul(buffer.data(), std::min(size, kQueryBufferSize));
  if (text.size() > kMaxTextLength) text.resize(kMaxTextLength);
  return FromUtf16(text);
}

RegistryStatus ReadStringValue(RegistryAccess& registry, RegistryRoot root, const std::wstring& path,
                               const std::wstring& name, std::wstring& text, bool& isString) {
  text.clear();
  isString = false;
  RegistryKey key(registry);
  RegistryStatus status = key.Open(RegistryAccess::RootKey(root), path, kOptionNonVolatile, kKeyRead);
  std::vector<std::uint8_t> data;
  ValueType type = ValueType::RegNone;
  // A value that grows between the two reads is read again.
  for (int attempt = 0; status == kRegistrySuccess && attempt < 3; ++attempt) {
    std::uint32_t size = 0;
    status = registry.QueryValue(key.get(), name, type, nullptr, size);
    if (status == kRegistrySuccess && size > kMaxWholeValue) return kRegistryMoreData;
    if (status != kRegistrySuccess) return status;
    data.resize(std::max<std::uint32_t>(size, 1));
    status = registry.QueryValue(key.get(), name, type, data.data(), size);
    data.resize(std::min<std::size_t>(size, data.size()));
    if (status != kRegistryMoreData) break;
  }
  if (status != kRegistrySuccess) return status;
  isString = type == ValueType::RegSz || type == ValueType::RegExpandSz;
  if (isString) text = FromUtf16(Utf16UpToNul(data.data(), data.size()));
  return kRegistrySuccess;
}

RegistryChange DeleteValue(RegistryAccess& registry, const std::wstring& path, const std::wstring& name) {
  RegistryKey key(registry);
  const RegistryStatus opened = key.Open(RegistryAccess::RootKey(RegistryRoot::HKLM), path,
                                         kOptionNonVolatile, kValueMask);
  if (opened != kRegistrySuccess) return UnlessGone(opened);
  const RegistryStatus status = registry.DeleteValue(key.get(), name);
  return status == kRegistrySuccess ? ChangeOf(status) : UnlessGone(status);
}

Reached ReadValueBelow(RegistryAccess& registry, RegistryRoot root, const std::wstring& base,
                       const std::wstring& relative, const std::wstring& name, std::wstring& shown) {
  RegistryKey key(registry);
  bool linked = false;
  if (OpenKeyBelow(registry, root, base, relative, kKeyReadWow64, key, linked) != kRegistrySuccess) {
    return Reached::kMissing;
  }
  if (linked) return Reached::kLinked;
  std::vector<std::uint8_t> buffer(kQueryBufferSize);
  std::uint32_t size = kQueryBufferSize;
  ValueType type = ValueType::RegNone;
  if (registry.QueryValue(key.get(), name, type, buffer.data(), size) != kRegistrySuccess) return Reached::kMissing;
  size = std::min(size, kQueryBufferSize);
  if (type == ValueType::RegDword && size == 4) {
    std::uint32_t number = 0;
    for (int at = 3; at >= 0; --at) number = number << 8 | buffer[static_cast<std::size_t>(at)];
    shown = std::to_wstring(number);
    return Reached::kFound;
  }
  std::u16string text = Utf16UpToNul(buffer.data(), size);
  if (text.size() > kMaxTextLength) text.resize(kMaxTextLength);
  shown = FromUtf16(text);
  return Reached::kFound;
}

bool ValueExists(RegistryAccess& registry, RegistryRoot root, const std::wstring& path, const std::wstring& name) {
  RegistryKey key(registry);
  if (key.Open(RegistryAccess::RootKey(root), path, kOptionNonVolatile, kKeyRead) != kRegistrySuccess) return false;
  ValueType type = ValueType::RegNone;
  std::uint32_t size = 0;
  const RegistryStatus status = registry.QueryValue(key.get(), name, type, nullptr, size);
  return status == kRegistrySuccess || status == kRegistryMoreData;
}

RegistryChange DeleteValueBelow(RegistryAccess& registry, RegistryRoot root, const std::wstring& base,
                                const std::wstring& relative, const std::wstring& name) {
  RegistryKey key(registry);
  bool linked = false;
  const RegistryStatus opened = OpenKeyBelow(registry, root, base, relative, kKeySetValue, key, linked);
  if (opened != kRegistrySuccess) return UnlessGone(opened);
  if (linked) return RegistryChange{};
  const RegistryStatus status = registry.DeleteValue(key.get(), name);
  return status == kRegistrySuccess ? ChangeOf(status) : UnlessGone(status);
}

RegistryStatus OpenKeyBelow(RegistryAccess& registry, RegistryRoot root, const std::wstring& base,
                         const std::wstring& relative, std::uint32_t mask, RegistryKey& key, bool& linked) {
  linked = false;
  std::vector<std::wstring> components;
  if (!SplitKeyPath(relative, components)) return kRegistryBadPathname;
  for (const std::wstring& component : components) {
    if (component == L"." || component == L"..") return kRegistryBadPathname;
  }
  RegistryKey parent(registry);
  RegistryStatus status = parent.Open(RegistryAccess::RootKey(root), base, kOptionNonVolatile, kKeyReadWow64);
  if (status != kRegistrySuccess) return status;
  for (std::size_t i = 0; i < components.size(); ++i) {
    const bool last = i + 1 == components.size();
    RegistryKey next(registry);
    status = next.Open(parent.get(), components[i], kOptionOpenLink, last ? (mask | kKeyReadWow64) : kKeyReadWow64);
    if (status != kRegistrySuccess) return status;
    bool isLink = true;
    status = registry.IsLink(next.get(), isLink);
    if (status != kRegistrySuccess) return status;
    if (isLink) {
      linked = true;
      return kRegistrySuccess;
    }
    parent = std::move(next);
  }
  key = std::move(parent);
  return kRegistrySuccess;
}
