#pragma once
// Opening the log file, the one piece of the run log that differs by platform.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Opens `path` for appending in binary mode, created or emptied, so that other
// processes may read and write it meanwhile. The path is the user's to shape,
// and the run writes with the administrator's rights: the file is opened
// without following a link at its own name, and refused (null, and nothing
// changed) when its folder or the file itself is a link or when the file has
// more than one name, since the file behind it could then be any file of the
// system. The file is opened in the folder that was checked, whatever its name
// leads to meanwhile. Null as well when the file cannot be opened or is not a
// regular file (a FIFO or a device: the console then carries the run alone).
std::FILE* OpenLogFile(const std::wstring& path) noexcept;

// What AppendWhole did.
enum class Appended {
  kFailed,
  kWhole,
  // Written whole, but the file system (or a filter on it) refused the flush
  // to the disk as a call it does not support.
  kWholeUnflushed,
};

// Appends `size` bytes to `file` in one write, after what it buffers, and
// when `durable` has them reach the disk (fsync, FlushFileBuffers) before it
// returns.
Appended AppendWhole(std::FILE* file, const unsigned char* bytes, std::size_t size, bool durable) noexcept;
// Cuts `file` back to its first `size` bytes; false when that failed.
bool CutFile(std::FILE* file, std::uint64_t size) noexcept;
