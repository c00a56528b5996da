#pragma once
// The Windows registry behind RegistryAccess: the only code that calls the
// Reg* functions (and NtDeleteKey, which deletes a symbolic link as itself).

#include <cstdint>
#include <string>

#include "registry/registry_access.h"

class WinRegistry final : public RegistryAccess {
 public:
  WinRegistry() noexcept = default;

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
};
