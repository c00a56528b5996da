#pragma once
// The tests' own reader of .reg text, as `reg import` takes it: applies
// [KEY], [-KEY], "name"=data, "name"=- and @ lines in order to a registry,
// keys named HKEY_LOCAL_MACHINE\... or HKEY_CURRENT_USER\.... Comments,
// blank lines and lines continued with a backslash are taken as regedit
// writes them. False, with the line, at the first line it cannot take.

#include <string>

#include "registry/registry_access.h"

bool ApplyRegText(RegistryAccess& registry, const std::wstring& text, std::wstring& badLine);
