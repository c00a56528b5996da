// The log file natively: the Windows path's backslashes are taken as folder
// separators, and only ASCII paths are met here.
#include <string>

#include "driver/log_file.h"

std::FILE* OpenLogFile(const std::wstring& path, LogFileMode mode) noexcept {
  std::string local;
  for (wchar_t ch : path) local += ch == L'\\' ? '/' : static_cast<char>(ch);
  return std::fopen(local.c_str(), mode == LogFileMode::kCreate ? "wb" : "ab");
}
