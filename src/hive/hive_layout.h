#pragma once
// The registry hive file format, record by record: the one place that knows
// the layout of a hive's header, bins, cells and records (key, value,
// security, subkey list, big data), and reads names and values as they are
// stored. The structural proof (hive_walk.h) and the cell patch
// (hive_patch.h) build on it; neither trusts a field of a hive: a record must
// be a cell in use, of the type expected and large enough for what it says
// it holds, and a field whose count or length says it is unused is never
// followed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hive_format {

inline constexpr std::size_t kHeaderSize = 4096;
inline constexpr std::uint16_t kKeySymLink = 0x0010;  // KEY_SYM_LINK in a key record's flags
inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;
inline constexpr std::uint32_t kInlineData = 0x80000000u;  // in a value record's size: data held in the record
inline constexpr std::size_t kTimestampAt = 12;             // in the header: the last write, a FILETIME
inline constexpr std::size_t kMinorVersionAt = 24;          // in the header
inline constexpr std::size_t kFormatAt = 32;                // 1: the hive as it is loaded into memory
inline constexpr std::size_t kRootAt = 36;
inline constexpr std::size_t kBinsSizeAt = 40;
inline constexpr std::size_t kClusteringAt = 44;            // 1: sectors of 512 bytes
inline constexpr std::size_t kChecksumAt = 508;
inline constexpr std::size_t kBinHeaderSize = 32;
inline constexpr std::size_t kBinUnit = 4096;
// From format 1.4 on, data longer than this is kept in big-data records, in
// segments of at most this size.
inline constexpr std::size_t kLargestSingleCell = 16344;
inline constexpr std::uint16_t kKeyCompressedName = 0x0020;
inline constexpr std::uint16_t kValueCompressedName = 0x0001;

// Fields of the records, from the start of their cell (its size).
namespace nk {
inline constexpr std::size_t kFlags = 6, kTimestamp = 8, kParent = 20, kSubkeys = 24, kSubkeyList = 32, kValues = 40,
                             kValueList = 44, kSecurity = 48, kClass = 52, kMaxValueName = 64, kMaxValueData = 68,
                             kNameLength = 76, kClassLength = 78, kName = 80;
}
namespace vk {
inline constexpr std::size_t kNameLength = 6, kSize = 8, kData = 12, kType = 16, kFlags = 20, kName = 24;
}
namespace sk {
inline constexpr std::size_t kNext = 8, kPrevious = 12, kUses = 16, kDescriptorSize = 20, kDescriptor = 24;
}
inline constexpr std::size_t kListCount = 6, kListEntries = 8;  // lf, lh, li, ri and db records
inline constexpr std::size_t kBigDataSegments = 8;              // a db record's segment list

inline std::uint16_t Read16(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8); }
inline std::uint32_t Read32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) |
         static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Whether the cell at `cell` carries the two-letter record `signature`.
inline bool Signed(const std::uint8_t* cell, const char* signature) {
  return cell[4] == static_cast<std::uint8_t>(signature[0]) && cell[5] == static_cast<std::uint8_t>(signature[1]);
}

// The header's XOR checksum of its first 127 words, as Windows computes it.
std::uint32_t HeaderChecksum(const std::uint8_t* header);

// `unit` upper-cased as the registry compares names: by Unicode's simple
// upper-case mapping (a UTF-16 unit that has none, a surrogate among them,
// stays), whatever the process's locale.
char16_t Upcased(char16_t unit);
// The name of `length` bytes at `at`, Latin-1 when `compressed`, otherwise
// UTF-16LE, unit by unit upper-cased: the form in which Windows compares
// sibling names and orders subkey lists.
std::u16string UpcasedName(const std::uint8_t* at, std::size_t length, bool compressed);

// `length` bytes of a name, Latin-1 when `compressed`, otherwise UTF-16LE.
std::wstring StoredName(const std::uint8_t* at, std::size_t length, bool compressed);
// The name's bytes as stored: Latin-1 where every character fits, UTF-16LE otherwise.
std::vector<std::uint8_t> NameBytes(const std::wstring& name, bool& compressed);
// A file offset as the lines about a damaged hive give it ("0x00001020").
std::string Hex(std::size_t offset);

// The name of the key record or value record at file offset `record`, as
// stored (a NUL inside included); false when the record is not whole.
bool KeyName(const std::uint8_t* bytes, std::size_t size, std::size_t record, std::wstring& name);
bool ValueName(const std::uint8_t* bytes, std::size_t size, std::size_t record, std::wstring& name);
// The type and data size of the value record at `record`; false when it is not whole.
bool ValueKind(const std::uint8_t* bytes, std::size_t size, std::size_t record, std::uint32_t& type,
               std::size_t& dataSize);
// The data of the value record at `record` of a hive the walk found sound:
// held in the record, in one cell, or from format 1.4 on past 16344 bytes in
// the segments of a big-data record; none when its size is 0, whatever its
// data field says. False when the records are not whole.
bool ValueData(const std::uint8_t* bytes, std::size_t size, std::size_t record, std::vector<std::uint8_t>& data);
// The flags of the key record at `record`; false when it is not whole.
bool KeyFlags(const std::uint8_t* bytes, std::size_t size, std::size_t record, std::uint16_t& flags);

}  // namespace hive_format
