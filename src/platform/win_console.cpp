#include "platform/win_console.h"

#include <windows.h>

#include <algorithm>

namespace {

HANDLE AsHandle(void* handle) noexcept { return static_cast<HANDLE>(handle); }

}  // namespace

// A handle that is no console (a file, a pipe, none at all) fails
// GetConsoleMode.
WinConsoleBuf::WinConsoleBuf() noexcept : output_(::GetStdHandle(STD_OUTPUT_HANDLE)) {
  DWORD mode = 0;
  isConsole_ = output_ != nullptr && output_ != INVALID_HANDLE_VALUE && ::GetConsoleMode(AsHandle(output_), &mode);
}

bool WinConsoleBuf::WriteText(std::wstring_view text) {
  if (!isConsole_) return ConsoleBuf::WriteText(text);
  while (!text.empty()) {
    DWORD written = 0;
    const auto count = static_cast<DWORD>(std::min<std::size_t>(text.size(), MAXDWORD));
    if (!::WriteConsoleW(AsHandle(output_), text.data(), count, &written, nullptr) || written == 0) return false;
    text.remove_prefix(std::min<std::size_t>(written, text.size()));
  }
  return true;
}

bool WinConsoleBuf::WriteBytes(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    const auto count = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, MAXDWORD));
    if (!::WriteFile(AsHandle(output_), bytes.data() + done, count, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}
