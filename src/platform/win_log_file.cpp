#include <share.h>
#include <stdio.h>

#include <string>

#include "driver/log_file.h"

// The file is shared for reading and writing (_SH_DENYNO), so that the log can
// be watched while the run goes on.
std::FILE* OpenLogFile(const std::wstring& path, LogFileMode mode) noexcept {
  return _wfsopen(path.c_str(), mode == LogFileMode::kCreate ? L"wb" : L"ab", _SH_DENYNO);
}
