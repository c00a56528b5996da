#pragma once
// A registry held in memory that behaves like the Windows registry behind
// RegistryAccess: key and value names compare without regard to case, a
// trailing backslash is accepted, create makes every missing key above, a key
// with subkeys cannot be deleted, index 0 always enumerates a remaining subkey,
// values are typed bytes, and symbolic links redirect every open that does not
// ask for the link itself. It records every call it receives, counts the keys
// still open, and can be told to fail a given call on a given key, so that a
// test can drive every failure path and assert exactly what changed.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "registry/registry_access.h"

// The calls of RegistryAccess, as recorded and as failures are injected.
enum class RegistryCallKind {
  OpenKey,
  CreateKey,
  QueryValue,
  SetValue,
  DeleteValue,
  EnumKey,
  DeleteKey,
  DeleteOpenedKey,
  IsLink,
  CloseKey,
};

// One call as the registry received it. `key` is the key acted on: for
// OpenKey, CreateKey and DeleteKey the parent's path joined with the path
// given ("HKCU\SOFTWARE\Classes\.exe"), for the others the path of the key
// behind the handle. `name` is the value name or the enumerated subkey.
struct RegistryCall {
  RegistryCallKind kind = RegistryCallKind::OpenKey;
  std::wstring key;
  std::wstring name;
  std::uint32_t options = 0;
  std::uint32_t mask = 0;
  RegistryStatus status = kRegistrySuccess;
};

// A value as stored: its name as first written, its type and its bytes.
struct StoredValue {
  std::wstring name;
  ValueType type = ValueType::RegNone;
  std::vector<std::uint8_t> data;

  bool operator==(const StoredValue& other) const {
    return name == other.name && type == other.type && data == other.data;
  }
};

// The whole content of a MemoryRegistry at one moment, for comparison.
struct RegistrySnapshotKey {
  std::wstring path;  // "HKLM\Software\Classes\exefile", names as first created
  bool isLink = false;
  std::map<std::wstring, StoredValue> values;  // by upper-cased name
};
using RegistrySnapshot = std::map<std::wstring, RegistrySnapshotKey>;  // by upper-cased path

class MemoryRegistry final : public RegistryAccess {
 public:
  MemoryRegistry();
  ~MemoryRegistry() override;
  MemoryRegistry(const MemoryRegistry&) = delete;
  MemoryRegistry& operator=(const MemoryRegistry&) = delete;

  // RegistryAccess.
  [[nodiscard]] RegistryStatus OpenKey(Key parent, const std::wstring& path, std::uint32_t options,
                                       std::uint32_t mask, Key& key) noexcept override;
  [[nodiscard]] RegistryStatus CreateKey(Key parent, const std::wstring& path,
                                         std::uint32_t options, std::uint32_t mask,
                                         Key& key) noexcept override;
  [[nodiscard]] RegistryStatus QueryValue(Key key, const std::wstring& name, ValueType& type,
                                          std::uint8_t* buffer,
                                          std::uint32_t& size) noexcept override;
  [[nodiscard]] RegistryStatus SetValue(Key key, const std::wstring& name, ValueType type,
                                        const std::uint8_t* data,
                                        std::uint32_t size) noexcept override;
  [[nodiscard]] RegistryStatus DeleteValue(Key key, const std::wstring& name) noexcept override;
  [[nodiscard]] RegistryStatus EnumKey(Key key, std::uint32_t index,
                                       std::wstring& name) noexcept override;
  [[nodiscard]] RegistryStatus DeleteKey(Key parent, const std::wstring& path,
                                         std::uint32_t mask) noexcept override;
  [[nodiscard]] RegistryStatus DeleteOpenedKey(Key key) noexcept override;
  [[nodiscard]] RegistryStatus IsLink(Key key, bool& isLink) noexcept override;
  void CloseKey(Key key) noexcept override;

  // --- Seeding and reading back, for tests. These paths are taken literally:
  // links on the way are not followed (a key is never added below a link).

  // Adds root\path and every missing key above it.
  // The seeding calls yield false, adding nothing, for a path with an empty
  // component or one that runs through a link.
  bool AddKey(RegistryRoot root, const std::wstring& path);
  // Adds the key if needed and stores the value.
  bool AddValue(RegistryRoot root, const std::wstring& path, const std::wstring& name,
                ValueType type, std::vector<std::uint8_t> data);
  // Stores `text` as UTF-16LE with one terminating NUL.
  bool AddString(RegistryRoot root, const std::wstring& path, const std::wstring& name,
                 const std::wstring& text, ValueType type = ValueType::RegSz);
  bool AddDword(RegistryRoot root, const std::wstring& path, const std::wstring& name,
                std::uint32_t number);
  // Makes root\path a symbolic link to targetRoot\targetPath (which need not
  // exist), as a link key whose SymbolicLinkValue names the target.
  bool AddLink(RegistryRoot root, const std::wstring& path, RegistryRoot targetRoot,
               const std::wstring& targetPath);

  [[nodiscard]] bool HasKey(RegistryRoot root, const std::wstring& path) const;
  [[nodiscard]] bool IsLinkKey(RegistryRoot root, const std::wstring& path) const;
  [[nodiscard]] std::optional<StoredValue> GetValue(RegistryRoot root, const std::wstring& path,
                                                    const std::wstring& name) const;
  // The value's bytes read as UTF-16LE text up to the first NUL.
  [[nodiscard]] std::optional<std::wstring> GetString(RegistryRoot root, const std::wstring& path,
                                                      const std::wstring& name) const;
  // Every key below the two roots, depth first in enumeration order, as
  // "HKCU\SOFTWARE\Classes\.exe" with the names as first created.
  [[nodiscard]] std::vector<std::wstring> ListKeys() const;

  [[nodiscard]] RegistrySnapshot Snapshot() const;
  // What differs between two snapshots, one line each: the keys of `before`
  // in path order (removed, or with changed values or link state), then the
  // added keys in path order with their values:
  // "+key P", "-key P", "+value P [N]", "-value P [N]", "~value P [N]" (the
  // default value's name is empty: "[]"), "~link P" when only the link state
  // changed.
  [[nodiscard]] static std::vector<std::wstring> Differences(const RegistrySnapshot& before,
                                                             const RegistrySnapshot& after);

  // Makes every later call of `kind` on root\path answer `status` without
  // acting. For OpenKey and CreateKey the key is the one the path leads to
  // (after links); for the handle calls, the key behind the handle.
  void InjectFailure(RegistryCallKind kind, RegistryRoot root, const std::wstring& path,
                     RegistryStatus status);
  // Both deletions of the key are refused with ERROR_ACCESS_DENIED.
  void RefuseDeletion(RegistryRoot root, const std::wstring& path);
  // Opening and creating the key are refused with ERROR_ACCESS_DENIED.
  void RefuseOpening(RegistryRoot root, const std::wstring& path);
  void ClearFailures();

  [[nodiscard]] const std::vector<RegistryCall>& Calls() const noexcept { return calls_; }
  void ClearCalls() noexcept { calls_.clear(); }
  // Keys opened or created and not yet closed.
  [[nodiscard]] std::size_t OpenKeyCount() const noexcept { return handles_.size(); }

  // The native path a link names for root\path, as Windows spells it:
  // \Registry\Machine\... for HKLM, \Registry\User\<sid>\... for HKCU.
  [[nodiscard]] static std::wstring NativePath(RegistryRoot root, const std::wstring& path);

 private:
  struct Node;
  struct Handle {
    std::shared_ptr<Node> node;
    std::uint32_t mask = 0;
  };

  std::shared_ptr<Node> RootNode(RegistryRoot root) const;
  RegistryStatus ParentNode(Key parent, std::shared_ptr<Node>& node) const;
  RegistryStatus Resolve(std::shared_ptr<Node> start, const std::wstring& path, bool openLink,
                         bool create, bool createLink, RegistryCallKind kind,
                         std::shared_ptr<Node>& result, int& linkBudget);
  RegistryStatus FollowLink(const Node& link, std::shared_ptr<Node>& target, int& linkBudget);
  RegistryStatus HandleNode(Key key, std::uint32_t right, std::shared_ptr<Node>& node) const;
  RegistryStatus InjectedFailure(RegistryCallKind kind, const Node& node) const;
  void Record(RegistryCallKind kind, std::wstring key, std::wstring name, std::uint32_t options,
              std::uint32_t mask, RegistryStatus status);
  std::wstring KeyLabel(Key key) const;
  std::shared_ptr<Node> FindLiteral(RegistryRoot root, const std::wstring& path) const;
  std::shared_ptr<Node> AddLiteral(RegistryRoot root, const std::wstring& path);
  RegistryStatus OpenOrCreate(RegistryCallKind kind, Key parent, const std::wstring& path,
                              std::uint32_t options, std::uint32_t mask, Key& key);
  void RemoveNode(Node& node);

  std::shared_ptr<Node> hklm_;
  std::shared_ptr<Node> hkcu_;
  std::map<Key, Handle> handles_;
  Key nextHandle_ = 0x1000;
  std::vector<RegistryCall> calls_;
  std::map<std::pair<RegistryCallKind, std::wstring>, RegistryStatus> failures_;
};
