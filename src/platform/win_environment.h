#pragma once
// The process environment through the C runtime, whose lookups ignore case.

#include <cstddef>
#include <string>

#include "driver/environment.h"

class WinEnvironment final : public Environment {
 public:
  std::size_t RequiredSize(const std::wstring& name) override;
  void Copy(const std::wstring& name, wchar_t* buffer, std::size_t size) override;
};
