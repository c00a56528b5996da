#include "blank_hive.h"

#include <fstream>

namespace hive_test {
namespace {

constexpr std::size_t kHeaderSize = 4096;
constexpr std::size_t kBinSize = 4096;
constexpr std::uint32_t kRootCell = 0x20;     // cell offsets count from the first bin
constexpr std::uint32_t kSecurityCell = 0x78;
constexpr std::uint32_t kFreeCell = 0xC0;
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// Owner BUILTIN\Administrators, group SYSTEM, no DACL: a self-relative
// security descriptor.
const std::vector<std::uint8_t> kDescriptor = {
    1, 0, 0x04, 0x80, 20, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0,
    1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};

void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void Put16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutText(std::vector<std::uint8_t>& bytes, std::size_t at, const char* text) {
  for (; *text != '\0'; ++text) bytes[at++] = static_cast<std::uint8_t>(*text);
}

std::uint32_t Checksum(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < 508; at += 4) {
    sum ^= static_cast<std::uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16) |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
  }
  return sum == 0 ? 1 : sum == kNone ? kNone - 1 : sum;
}

}  // namespace

std::vector<std::uint8_t> BlankHive(std::uint32_t minorVersion) {
  std::vector<std::uint8_t> hive(kHeaderSize + kBinSize, 0);
  PutText(hive, 0, "regf");
  Put32(hive, 4, 1);  // the two sequence numbers: equal, the hive is clean
  Put32(hive, 8, 1);
  Put32(hive, 20, 1);  // major version
  Put32(hive, 24, minorVersion);
  Put32(hive, 28, 0);  // primary file
  Put32(hive, 32, 1);  // direct memory load
  Put32(hive, 36, kRootCell);
  Put32(hive, 40, kBinSize);
  Put32(hive, 44, 1);  // clustering factor
  Put32(hive, 508, Checksum(hive));

  const std::size_t bin = kHeaderSize;
  PutText(hive, bin, "hbin");
  Put32(hive, bin + 8, kBinSize);

  const std::size_t root = bin + kRootCell;
  Put32(hive, root, static_cast<std::uint32_t>(-88));
  PutText(hive, root + 4, "nk");
  Put16(hive, root + 6, 0x2C);  // hive entry, not deletable, ASCII name
  Put32(hive, root + 20, kNone);  // parent
  Put32(hive, root + 32, kNone);  // subkey lists
  Put32(hive, root + 36, kNone);
  Put32(hive, root + 44, kNone);  // value list
  Put32(hive, root + 48, kSecurityCell);
  Put32(hive, root + 52, kNone);  // class name
  Put16(hive, root + 76, 4);
  PutText(hive, root + 80, "ROOT");

  const std::size_t security = bin + kSecurityCell;
  Put32(hive, security, static_cast<std::uint32_t>(-72));
  PutText(hive, security + 4, "sk");
  Put32(hive, security + 8, kSecurityCell);  // the only record: its own neighbour
  Put32(hive, security + 12, kSecurityCell);
  Put32(hive, security + 16, 1);  // used by the root key
  Put32(hive, security + 20, static_cast<std::uint32_t>(kDescriptor.size()));
  std::copy(kDescriptor.begin(), kDescriptor.end(), hive.begin() + security + 24);

  Put32(hive, bin + kFreeCell, kBinSize - kFreeCell);  // the rest of the bin is free
  return hive;
}

bool WriteBlankHive(const std::string& path, std::uint32_t minorVersion) {
  const std::vector<std::uint8_t> hive = BlankHive(minorVersion);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(hive.data()), static_cast<std::streamsize>(hive.size()));
  return static_cast<bool>(file.flush());
}

}  // namespace hive_test
