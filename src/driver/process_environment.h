#pragma once
// The environment of this process on a system whose own environment is
// case-sensitive. Names match as they do on Windows: without regard to the
// case of A to Z; where several names differ only so, the first one counts.
// Values are decoded from UTF-8.

#include <cstddef>
#include <optional>
#include <string>

#include "driver/environment.h"

class ProcessEnvironment final : public Environment {
 public:
  std::size_t RequiredSize(const std::wstring& name) override;
  void Copy(const std::wstring& name, wchar_t* buffer, std::size_t size) override;

 private:
  static std::optional<std::wstring> Find(const std::wstring& name);
};
