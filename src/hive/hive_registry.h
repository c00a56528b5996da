#pragma once
// The registry of an offline Windows installation behind RegistryAccess: hive
// files mounted where Windows loads them (the SOFTWARE hive at
// \Registry\Machine\Software, a user's classes at \Registry\User\<sid>_Classes),
// HKLM standing at \Registry\Machine and HKCU at \Registry\User\<sid>.
// It answers as the Windows registry does: names compare without regard to
// case (beyond ASCII too), symbolic links are followed through their
// SymbolicLinkValue into whatever hive is mounted there, a key with subkeys
// cannot be deleted, a value overwritten keeps the spelling of its name.

#include <map>
#include <string>
#include <vector>

#include "hive/hive_file.h"
#include "registry/registry_access.h"

class HiveRegistry : public RegistryAccess {
 public:
  // Makes the keys of `hive` appear at `nativePath` (\Registry\...).
  void Mount(const std::wstring& nativePath, HiveFile& hive);
  void UnmountAll() { mounts_.clear(); }
  // The user whose keys HKCU names.
  void SetCurrentUser(const std::wstring& sid) { userSid_ = sid; }

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
  [[nodiscard]] RegistryStatus EnumValue(Key key, std::uint32_t index,
                                         std::wstring& name) noexcept override;
  [[nodiscard]] RegistryStatus DeleteKey(Key parent, const std::wstring& path,
                                         std::uint32_t mask) noexcept override;
  [[nodiscard]] RegistryStatus DeleteOpenedKey(Key key) noexcept override;
  [[nodiscard]] RegistryStatus IsLink(Key key, bool& isLink) noexcept override;
  void CloseKey(Key key) noexcept override;

  // Keys opened or created and not yet closed.
  [[nodiscard]] std::size_t OpenKeyCount() const noexcept { return handles_.size(); }

 private:
  struct Location {
    HiveFile* hive = nullptr;
    HiveFile::Node node = 0;
  };
  struct Handle {
    Location at;
    std::uint32_t mask = 0;
    bool deleted = false;
  };
  struct MountPoint {
    std::vector<std::wstring> path;  // folded components
    HiveFile* hive = nullptr;
  };
  struct Walk {
    bool openLink = false;
    bool create = false;
    bool createLink = false;
  };

  RegistryStatus Reach(Key parent, const std::wstring& path, const Walk& walk, Location& result);
  RegistryStatus Descend(Location at, std::vector<std::wstring> rest, const Walk& walk,
                         Location& result);
  RegistryStatus LinkTarget(const Location& at, std::vector<std::wstring>& target);
  const MountPoint* FindMount(const std::vector<std::wstring>& path) const;
  RegistryStatus FindValue(const Location& at, const std::wstring& name,
                           std::vector<HiveFile::ValueRef>& values, std::size_t& index);
  RegistryStatus HandleAt(Key key, std::uint32_t right, Location& at) const;
  RegistryStatus OpenOrCreate(Key parent, const std::wstring& path, const Walk& walk,
                              std::uint32_t mask, Key& key);
  RegistryStatus DeleteLeaf(const Location& at);
  RegistryStatus RewriteValues(const Location& at, const std::wstring& name, bool remove,
                               ValueType type, const std::uint8_t* data, std::uint32_t size);
  std::vector<std::wstring> RootPath(Key root) const;

  std::vector<MountPoint> mounts_;
  std::wstring userSid_;
  std::map<Key, Handle> handles_;
  Key nextHandle_ = 0x1000;
};
