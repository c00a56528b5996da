#pragma once
// A registry held in memory that answers RegistryAccess as the Windows
// registry does where the repair depends on it: names compare without regard
// to ASCII letter case, empty path components are skipped, create makes every
// missing key above, a key with subkeys cannot be deleted, index 0 always
// enumerates a remaining subkey, and symbolic links (to machine keys) redirect
// every open that does not ask for the link itself. It counts the keys still
// open and fails a chosen call on a chosen key on request, so that every
// failure path can be driven. Keys are named with their root:
// "HKLM\Software\Classes\.exe".

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/registry_values.h"

enum class RegistryCallKind { OpenKey, CreateKey, QueryValue, SetValue, DeleteValue, EnumKey, DeleteOpenedKey, IsLink, EnumValue };

struct KeyState {
  bool isLink = false;
  std::map<std::wstring, StoredValue> values;  // by folded name
  std::map<std::wstring, std::wstring> spellings;  // each value's name as first written, by folded name
  bool operator==(const KeyState& other) const { return isLink == other.isLink && values == other.values; }
};
// The whole registry at one moment: every key by its folded path.
using RegistryState = std::map<std::wstring, KeyState>;

// The text with ASCII letters upper-cased, as names compare.
std::wstring FoldName(std::wstring text);

class MemoryRegistry final : public RegistryAccess {
 public:
  RegistryStatus OpenKey(Key parent, const std::wstring& path, std::uint32_t options, std::uint32_t mask,
                         Key& key) noexcept override;
  RegistryStatus CreateKey(Key parent, const std::wstring& path, std::uint32_t options, std::uint32_t mask,
                           Key& key) noexcept override;
  RegistryStatus QueryValue(Key key, const std::wstring& name, ValueType& type, std::uint8_t* buffer,
                            std::uint32_t& size) noexcept override;
  RegistryStatus SetValue(Key key, const std::wstring& name, ValueType type, const std::uint8_t* data,
                          std::uint32_t size) noexcept override;
  RegistryStatus DeleteValue(Key key, const std::wstring& name) noexcept override;
  RegistryStatus EnumKey(Key key, std::uint32_t index, std::wstring& name) noexcept override;
  RegistryStatus EnumValue(Key key, std::uint32_t index, std::wstring& name) noexcept override;
  // Deletion by path is never used by the repair, and not offered here.
  RegistryStatus DeleteKey(Key, const std::wstring&, std::uint32_t) noexcept override { return 120; }
  RegistryStatus DeleteOpenedKey(Key key) noexcept override;
  RegistryStatus IsLink(Key key, bool& isLink) noexcept override;
  void CloseKey(Key key) noexcept override { handles_.erase(key); }

  // Every later call of `kind` acting on `key` answers `status` and does nothing.
  void Fail(RegistryCallKind kind, const std::wstring& key, RegistryStatus status) {
    failures_[{kind, FoldName(key)}] = status;
  }
  void FailNothing() { failures_.clear(); }
  // Later opens and creations of `key` that ask for more rights than `rights`
  // are refused with ERROR_ACCESS_DENIED, as the key's access list would.
  void Grant(const std::wstring& key, std::uint32_t rights) { grants_[FoldName(key)] = rights; }
  [[nodiscard]] const RegistryState& State() const noexcept { return keys_; }
  [[nodiscard]] bool Has(const std::wstring& key) const { return keys_.count(FoldName(key)) != 0; }
  [[nodiscard]] std::size_t OpenKeys() const noexcept { return handles_.size(); }

 private:
  RegistryStatus Failure(RegistryCallKind kind, const std::wstring& key) const;
  RegistryStatus Follow(std::wstring& at, int links);
  RegistryStatus Resolve(std::wstring at, const std::wstring& path, std::uint32_t options, RegistryCallKind kind,
                         std::wstring& result, int links);
  RegistryStatus Open(RegistryCallKind kind, Key parent, const std::wstring& path, std::uint32_t options,
                      std::uint32_t mask, Key& key);
  RegistryStatus Acting(RegistryCallKind kind, Key key, std::wstring& path) const;

  RegistryState keys_;
  std::map<std::wstring, std::wstring> names_;  // each key's name as first created
  std::map<Key, std::wstring> handles_;
  Key next_ = 0x1000;
  std::map<std::pair<RegistryCallKind, std::wstring>, RegistryStatus> failures_;
  std::map<std::wstring, std::uint32_t> grants_;  // by folded key
};
