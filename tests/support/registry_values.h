#pragma once
// Writing and reading any registry through RegistryAccess by full key names
// ("HKLM\Software\Classes\.exe"), the same way on every backend.

#include <optional>
#include <string>
#include <vector>

#include "registry/registry_access.h"
#include "registry/registry_text.h"

using Bytes = std::vector<std::uint8_t>;

struct StoredValue {
  ValueType type;
  Bytes data;
  bool operator==(const StoredValue& other) const { return type == other.type && data == other.data; }
};

// The UTF-16LE bytes of `text` and one NUL, as a string value is stored.
inline Bytes Sz(const std::wstring& text) { return Utf16LeBytes(ToUtf16(text) + u'\0'); }

inline RegistryStatus OpenNamed(RegistryKey& key, const std::wstring& name, std::uint32_t options, bool create) {
  const RegistryRoot root = name.compare(0, 4, L"HKLM") == 0 ? RegistryRoot::HKLM : RegistryRoot::HKCU;
  const std::wstring path = name.size() > 5 ? name.substr(5) : L"";
  return create ? key.Create(RegistryAccess::RootKey(root), path, options, kKeyAllAccessWow64)
                : key.Open(RegistryAccess::RootKey(root), path, options, kKeyRead);
}

// Creates `key` and, unless `type` is RegNone, writes the value.
inline bool Put(RegistryAccess& registry, const std::wstring& key, const std::wstring& name, ValueType type,
                Bytes data, std::uint32_t options = kOptionNonVolatile) {
  RegistryKey opened(registry);
  if (OpenNamed(opened, key, options, true) != kRegistrySuccess) return false;
  // Windows extends a string that is not terminated by the NUL character that
  // follows it in the caller's memory; a non-NUL after the data stops that.
  const auto size = static_cast<std::uint32_t>(data.size());
  data.insert(data.end(), {0x3F, 0x3F});
  return type == ValueType::RegNone ||
         registry.SetValue(opened.get(), name, type, data.data(), size) == kRegistrySuccess;
}

inline bool PutText(RegistryAccess& registry, const std::wstring& key, const std::wstring& name,
                    const std::wstring& text) {
  return Put(registry, key, name, ValueType::RegSz, Sz(text));
}

// Makes `key` a symbolic link to the machine key `target`.
inline bool PutLink(RegistryAccess& registry, const std::wstring& key, const std::wstring& target) {
  return Put(registry, key, kSymbolicLinkValueName, ValueType::RegLink,
             Utf16LeBytes(ToUtf16(L"\\Registry\\Machine" + target.substr(4))), kOptionCreateLink);
}

inline std::optional<StoredValue> Get(RegistryAccess& registry, const std::wstring& key, const std::wstring& name) {
  RegistryKey opened(registry);
  StoredValue value{ValueType::RegNone, Bytes(30000)};
  auto size = static_cast<std::uint32_t>(value.data.size());
  if (OpenNamed(opened, key, kOptionNonVolatile, false) != kRegistrySuccess ||
      registry.QueryValue(opened.get(), name, value.type, value.data.data(), size) != kRegistrySuccess) {
    return std::nullopt;
  }
  value.data.resize(size);
  return value;
}
