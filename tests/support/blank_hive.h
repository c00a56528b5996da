#pragma once
// An empty registry hive file, as libhivex cannot create one, written by the
// tests' hive writer (tests/offline/hives.py): the header with its checksum
// and one bin holding the root key and the security record that every key
// added below it shares.

#include <cstdint>
#include <memory>
#include <string>

class HiveFile;

namespace hive_test {

// A folder of its own under /tmp, removed with all it holds at the end.
struct ScratchFolder {
  ScratchFolder();
  ~ScratchFolder();
  std::string path;
};

// `minorVersion` 3 keeps long values in one cell; 5, the format of Windows XP
// and later, keeps those over 16344 bytes in big-data records.
bool WriteBlankHive(const std::string& path, std::uint32_t minorVersion);
// A blank hive written at `path` and opened for changes; null when either failed.
std::unique_ptr<HiveFile> OpenBlankHive(const std::string& path, std::uint32_t minorVersion);

}  // namespace hive_test
