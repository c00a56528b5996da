#pragma once
// An empty registry hive file, as libhivex cannot create one: the 4096-byte
// header with its checksum and one bin holding the root key and the security
// record that every key added below it shares.

#include <cstdint>
#include <string>
#include <vector>

namespace hive_test {

// `minorVersion` 3 keeps long values in one cell; 5, the format of Windows XP
// and later, keeps those over 16344 bytes in big-data records.
std::vector<std::uint8_t> BlankHive(std::uint32_t minorVersion);
bool WriteBlankHive(const std::string& path, std::uint32_t minorVersion);

}  // namespace hive_test
