#include "blank_hive.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <vector>

#include "offline/hive_file.h"

namespace hive_test {
namespace {

constexpr std::uint32_t kBinSize = 4096;       // the header's size too
constexpr std::uint32_t kRootCell = 0x20;      // cell offsets count from the first bin
constexpr std::uint32_t kSecurityCell = 0x78;
constexpr std::uint32_t kFreeCell = 0xC0;
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// Owner BUILTIN\Administrators, group SYSTEM, no DACL: a self-relative
// security descriptor.
constexpr std::uint8_t kDescriptor[] = {
    1, 0, 0x04, 0x80, 20, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0,
    1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};

// Little-endian 32-bit words from `at` on.
void Put(std::vector<std::uint8_t>& bytes, std::size_t at, std::initializer_list<std::uint32_t> words) {
  for (std::uint32_t word : words) {
    for (int shift = 0; shift < 32; shift += 8) bytes[at++] = static_cast<std::uint8_t>(word >> shift);
  }
}

}  // namespace

ScratchFolder::ScratchFolder() {
  char folder[] = "/tmp/morvane-hive-XXXXXX";
  if (mkdtemp(folder) != nullptr) path = folder;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

bool WriteBlankHive(const std::string& path, std::uint32_t minorVersion) {
  std::vector<std::uint8_t> hive(2 * kBinSize, 0);
  std::memcpy(&hive[0], "regf", 4);
  // From offset 4: the two sequence numbers (equal: the hive is clean), the
  // time written, format 1.minor, a primary file, direct memory load, the root
  // key's cell, the size of the bins, the clustering factor.
  Put(hive, 4, {1, 1, 0, 0, 1, minorVersion, 0, 1, kRootCell, kBinSize, 1});
  std::uint32_t checksum = 0;  // the XOR of the header's first 127 words; never 0 or ~0 here
  for (std::size_t at = 0; at < 508; ++at) checksum ^= static_cast<std::uint32_t>(hive[at]) << (8 * (at % 4));
  Put(hive, 508, {checksum});

  const std::size_t bin = kBinSize;
  std::memcpy(&hive[bin], "hbin", 4);
  Put(hive, bin + 8, {kBinSize});

  const std::size_t root = bin + kRootCell;
  Put(hive, root, {static_cast<std::uint32_t>(-88)});
  std::memcpy(&hive[root + 4], "nk\x2C", 3);  // flags: hive entry, not deletable, ASCII name
  // From offset 20: parent, subkey counts and lists, value count and list,
  // security record, class name.
  Put(hive, root + 20, {kNone, 0, 0, kNone, kNone, 0, kNone, kSecurityCell, kNone});
  Put(hive, root + 76, {4});  // the name's length
  std::memcpy(&hive[root + 80], "ROOT", 4);

  const std::size_t security = bin + kSecurityCell;
  Put(hive, security, {static_cast<std::uint32_t>(-72)});
  std::memcpy(&hive[security + 4], "sk", 2);
  // The only record, its own neighbour both ways; used by the root key.
  Put(hive, security + 8, {kSecurityCell, kSecurityCell, 1, sizeof kDescriptor});
  std::memcpy(&hive[security + 24], kDescriptor, sizeof kDescriptor);

  Put(hive, bin + kFreeCell, {kBinSize - kFreeCell});  // the rest of the bin is free
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(hive.data()), static_cast<std::streamsize>(hive.size()));
  return static_cast<bool>(file.flush());
}

std::unique_ptr<HiveFile> OpenBlankHive(const std::string& path, std::uint32_t minorVersion) {
  std::string problem;
  return WriteBlankHive(path, minorVersion) ? HiveFile::Open(path, true, problem) : nullptr;
}

}  // namespace hive_test
