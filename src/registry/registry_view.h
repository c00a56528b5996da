#pragma once
// A registry that passes every call on to the one it is set to: the run sets
// it to another user's registry for that user's part of the repair, so that
// one undo registry records both parts in one file. It is switched only when
// no key is open.

#include <cstdint>
#include <string>

#include "registry/registry_access.h"

class RegistryView final : public RegistryAccess {
 public:
  explicit RegistryView(RegistryAccess& registry) noexcept : own_(registry), registry_(&registry) {}

  void Use(RegistryAccess& registry) noexcept { registry_ = &registry; }
  // Back to the registry it was made with.
  void UseOwn() noexcept { registry_ = &own_; }

  [[nodiscard]] RegistryStatus OpenKey(Key parent, const std::wstring& path, std::uint32_t options,
                                       std::uint32_t mask, Key& key) noexcept override {
    return registry_->OpenKey(parent, path, options, mask, key);
  }
  [[nodiscard]] RegistryStatus CreateKey(Key parent, const std::wstring& path, std::uint32_t options,
                                         std::uint32_t mask, Key& key) noexcept override {
    return registry_->CreateKey(parent, path, options, mask, key);
  }
  [[nodiscard]] RegistryStatus QueryValue(Key key, const std::wstring& name, ValueType& type, std::uint8_t* buffer,
                                          std::uint32_t& size) noexcept override {
    return registry_->QueryValue(key, name, type, buffer, size);
  }
  [[nodiscard]] RegistryStatus SetValue(Key key, const std::wstring& name, ValueType type, const std::uint8_t* data,
                                        std::uint32_t size) noexcept override {
    return registry_->SetValue(key, name, type, data, size);
  }
  [[nodiscard]] RegistryStatus DeleteValue(Key key, const std::wstring& name) noexcept override {
    return registry_->DeleteValue(key, name);
  }
  [[nodiscard]] RegistryStatus EnumKey(Key key, std::uint32_t index, std::wstring& name) noexcept override {
    return registry_->EnumKey(key, index, name);
  }
  [[nodiscard]] RegistryStatus EnumValue(Key key, std::uint32_t index, std::wstring& name) noexcept override {
    return registry_->EnumValue(key, index, name);
  }
  [[nodiscard]] RegistryStatus DeleteKey(Key parent, const std::wstring& path, std::uint32_t mask) noexcept override {
    return registry_->DeleteKey(parent, path, mask);
  }
  [[nodiscard]] RegistryStatus DeleteOpenedKey(Key key) noexcept override { return registry_->DeleteOpenedKey(key); }
  [[nodiscard]] RegistryStatus IsLink(Key key, bool& isLink) noexcept override { return registry_->IsLink(key, isLink); }
  void CloseKey(Key key) noexcept override { registry_->CloseKey(key); }

 private:
  RegistryAccess& own_;
  RegistryAccess* registry_;
};
