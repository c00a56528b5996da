#pragma once
// The user signed in to the run's session on Windows: the owner of the
// explorer.exe in that session, and that user's loaded hives under
// HKEY_USERS as a registry of their own.

#include <cstdint>
#include <string>

#include "driver/services.h"
#include "platform/unique_handle.h"
#include "platform/win_registry.h"

// HKCU is HKEY_USERS\<sid>, HKCU\SOFTWARE\Classes (and what lies below it)
// HKEY_USERS\<sid>_Classes when that hive is loaded; HKLM and every opened
// key are passed on to the Windows registry.
class WinUserRegistry final : public RegistryAccess {
 public:
  // Opens HKEY_USERS\<sid> and HKEY_USERS\<sid>_Classes; false when the
  // first is not there.
  [[nodiscard]] bool Open(const std::wstring& sid) noexcept;
  [[nodiscard]] bool ClassesLoaded() const noexcept { return classes_.valid(); }

  [[nodiscard]] RegistryStatus OpenKey(Key parent, const std::wstring& path, std::uint32_t options,
                                       std::uint32_t mask, Key& key) noexcept override;
  [[nodiscard]] RegistryStatus CreateKey(Key parent, const std::wstring& path, std::uint32_t options,
                                         std::uint32_t mask, Key& key) noexcept override;
  [[nodiscard]] RegistryStatus QueryValue(Key key, const std::wstring& name, ValueType& type, std::uint8_t* buffer,
                                          std::uint32_t& size) noexcept override;
  [[nodiscard]] RegistryStatus SetValue(Key key, const std::wstring& name, ValueType type, const std::uint8_t* data,
                                        std::uint32_t size) noexcept override;
  [[nodiscard]] RegistryStatus DeleteValue(Key key, const std::wstring& name) noexcept override;
  [[nodiscard]] RegistryStatus EnumKey(Key key, std::uint32_t index, std::wstring& name) noexcept override;
  [[nodiscard]] RegistryStatus EnumValue(Key key, std::uint32_t index, std::wstring& name) noexcept override;
  [[nodiscard]] RegistryStatus DeleteKey(Key parent, const std::wstring& path, std::uint32_t mask) noexcept override;
  [[nodiscard]] RegistryStatus DeleteOpenedKey(Key key) noexcept override;
  [[nodiscard]] RegistryStatus IsLink(Key key, bool& isLink) noexcept override;
  void CloseKey(Key key) noexcept override;

 private:
  // The parent and path a call on HKCU\path takes in HKEY_USERS.
  Key Route(Key parent, const std::wstring& path, std::wstring& rest) const;
  Key Mapped(Key key) const noexcept;

  WinRegistry registry_;
  UniqueKey user_, classes_;
};

class WinSessionUsers final : public SessionUsers {
 public:
  std::wstring InteractiveUserSid(bool vistaOrLater) override;
  std::wstring OwnSid() override;
  RegistryAccess* UserRegistry(const std::wstring& sid, bool& classesLoaded) override;

 private:
  WinUserRegistry registry_;
};
