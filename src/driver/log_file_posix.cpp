#include <string>

#include "driver/log_file.h"
#include "driver/utf8_console.h"

// The log file path is formed the Windows way, with backslashes; here the
// backslash is taken as the folder separator and the name is passed as UTF-8.
std::FILE* OpenLogFile(const std::wstring& path, LogFileMode mode) noexcept {
  std::wstring local = path;
  for (wchar_t& ch : local) {
    if (ch == L'\\') ch = L'/';
  }
  const std::string narrow = EncodeUtf8(local);
  return std::fopen(narrow.c_str(), mode == LogFileMode::kCreate ? "wb" : "ab");
}
