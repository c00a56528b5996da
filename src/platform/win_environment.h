#pragma once
// The process environment through the system's own lookup, which ignores the
// case of names and which every Windows from XP x64 on provides (the C
// runtime's _wgetenv_s came only with Vista's msvcrt.dll).

#include <cstddef>
#include <string>

#include "driver/environment.h"

class WinEnvironment final : public Environment {
 public:
  std::size_t RequiredSize(const std::wstring& name) override;
  void Copy(const std::wstring& name, wchar_t* buffer, std::size_t size) override;
};
