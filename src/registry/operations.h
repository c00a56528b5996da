#pragma once
// The eight registry operations through which the repair touches the registry.

#include <array>
#include <cstdint>
#include <string>

#include "registry/registry_access.h"

using EditFlags = std::array<std::uint8_t, 4>;

bool DeleteKeyTree(RegistryAccess& registry, RegistryRoot root, const std::wstring& path);
bool SetValueIfDifferent(RegistryAccess& registry, const std::wstring& path, const std::wstring& name,
                         const std::wstring& text, ValueType type);
bool SetValue(RegistryAccess& registry, const std::wstring& path, const std::wstring& name,
              const std::wstring& text, ValueType type);
bool SetEditFlagsBinary(RegistryAccess& registry, const std::wstring& path, const EditFlags& flags);
bool SetComOpenEditFlags(RegistryAccess& registry);
bool KeyExists(RegistryAccess& registry, RegistryRoot root, const std::wstring& path);
std::wstring ReadDefaultValue(RegistryAccess& registry, RegistryRoot root, const std::wstring& path);
void DeleteValue(RegistryAccess& registry, const std::wstring& path, const std::wstring& name);
