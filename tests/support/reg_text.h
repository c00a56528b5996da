#pragma once
// The tests' applier of .reg text, as `reg import` takes it: the records that
// src/registry's reader reads, applied in order to a registry, keys named
// HKEY_LOCAL_MACHINE\... or HKEY_CURRENT_USER\.... False, with the line and
// why, at the first line that is not read or record that is not applied.

#include <string>

#include "registry/registry_access.h"

bool ApplyRegText(RegistryAccess& registry, const std::wstring& text, std::wstring& badLine);
