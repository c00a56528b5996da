#include "platform/win_dialog.h"

#include <windows.h>

int WinDialog::Show(const std::wstring& text, const std::wstring& title, unsigned flags) {
  return ::MessageBoxW(nullptr, text.c_str(), title.c_str(), flags);
}
