#pragma once
// Message boxes with no owner window.

#include <string>

#include "driver/services.h"

class WinDialog final : public Dialog {
 public:
  int Show(const std::wstring& text, const std::wstring& title, unsigned flags) override;
};
