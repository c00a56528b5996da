#pragma once
// The Windows console: standard output switched to UTF-16 text mode, and the
// standard wide output stream that writes to it.

#include <ostream>

#include "driver/services.h"

class WinConsole final : public Console {
 public:
  void SetUtf16Mode() override;
  std::wostream& Stream() override;
};
