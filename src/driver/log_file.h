#pragma once
// Opening the log file, the one piece of the run log that differs by platform.

#include <cstdio>
#include <string>

enum class LogFileMode {
  kCreate,  // "wb": created, or truncated to length 0
  kAppend,  // "ab"
};

// Opens `path` in binary mode so that other processes may read and write it
// meanwhile. Returns null when the file cannot be opened.
std::FILE* OpenLogFile(const std::wstring& path, LogFileMode mode) noexcept;
