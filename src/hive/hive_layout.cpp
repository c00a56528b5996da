#include "hive/hive_layout.h"

#include <algorithm>

namespace hive_format {

namespace {

// A record at file offset `record` whose cell is in the file and holds
// `fixed` bytes of fields (counting from the cell's start) and the name
// whose length is at `lengthAt`.
bool NameAt(const std::uint8_t* bytes, std::size_t size, std::size_t record, std::size_t fixed,
            std::size_t lengthAt, std::size_t& length) {
  if (record < kHeaderSize || record > size || size - record < fixed) return false;
  length = Read16(bytes + record + lengthAt);
  return size - record - fixed >= length;
}

}  // namespace

std::wstring StoredName(const std::uint8_t* at, std::size_t length, bool compressed) {
  std::wstring name;
  if (compressed) return std::wstring(at, at + length);
  for (std::size_t i = 0; i + 1 < length; i += 2) {
    const char16_t unit = Read16(at + i);
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const char16_t low = i + 3 < length ? Read16(at + i + 2) : 0;
    if (high && low >= 0xDC00 && low <= 0xDFFF) {
      name += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      i += 2;
    } else {
      name += static_cast<wchar_t>(unit);
    }
  }
  return name;
}

std::vector<std::uint8_t> NameBytes(const std::wstring& name, bool& compressed) {
  compressed = std::all_of(name.begin(), name.end(), [](wchar_t c) { return c <= 0xFF; });
  std::vector<std::uint8_t> bytes;
  for (const wchar_t c : name) {
    if (compressed) {
      bytes.push_back(static_cast<std::uint8_t>(c));
      continue;
    }
    const auto code = static_cast<std::uint32_t>(c);
    for (const std::uint32_t unit : code > 0xFFFF ? std::vector<std::uint32_t>{0xD800 + ((code - 0x10000) >> 10),
                                                                               0xDC00 + ((code - 0x10000) & 0x3FF)}
                                                  : std::vector<std::uint32_t>{code}) {
      bytes.push_back(static_cast<std::uint8_t>(unit));
      bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
  }
  return bytes;
}

std::string Hex(std::size_t offset) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (int shift = 28; shift >= 0; shift -= 4) text += digits[(offset >> shift) & 0xF];
  return "0x" + text;
}

std::uint32_t HeaderChecksum(const std::uint8_t* header) {
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < kChecksumAt; at += 4) sum ^= Read32(header + at);
  if (sum == 0) sum = 1;
  if (sum == 0xFFFFFFFFu) sum = 0xFFFFFFFEu;
  return sum;
}

bool KeyName(const std::uint8_t* bytes, std::size_t size, std::size_t record, std::wstring& name) {
  std::size_t length = 0;
  if (!NameAt(bytes, size, record, nk::kName, nk::kNameLength, length)) return false;
  name = StoredName(bytes + record + nk::kName, length, (Read16(bytes + record + nk::kFlags) & kKeyCompressedName) != 0);
  return true;
}

bool ValueName(const std::uint8_t* bytes, std::size_t size, std::size_t record, std::wstring& name) {
  std::size_t length = 0;
  if (!NameAt(bytes, size, record, vk::kName, vk::kNameLength, length)) return false;
  name = StoredName(bytes + record + vk::kName, length, (Read16(bytes + record + vk::kFlags) & kValueCompressedName) != 0);
  return true;
}

bool ValueKind(const std::uint8_t* bytes, std::size_t size, std::size_t record, std::uint32_t& type,
               std::size_t& dataSize) {
  if (record < kHeaderSize || record > size || size - record < vk::kName) return false;
  type = Read32(bytes + record + vk::kType);
  dataSize = Read32(bytes + record + vk::kSize) & ~kInlineData;
  return true;
}

bool ValueData(const std::uint8_t* bytes, std::size_t size, std::size_t record, std::vector<std::uint8_t>& data) {
  // Each piece, `length` bytes after the size of the cell at `offset`, must lie in the file.
  const auto piece = [&](std::uint32_t offset, std::size_t length) {
    const std::size_t at = kHeaderSize + offset + 4;
    if (at > size || size - at < length) return false;
    data.insert(data.end(), bytes + at, bytes + at + length);
    return true;
  };
  std::size_t length = 0;
  std::uint32_t type = 0;
  if (!ValueKind(bytes, size, record, type, length)) return false;
  data.clear();
  const std::uint32_t raw = Read32(bytes + record + vk::kSize);
  if ((raw & kInlineData) != 0) {
    if (length > 4) return false;
    data.assign(bytes + record + vk::kData, bytes + record + vk::kData + length);
    return true;
  }
  if (length == 0) return true;
  const std::uint32_t cell = Read32(bytes + record + vk::kData);
  if (Read32(bytes + kMinorVersionAt) < 4 || length <= kLargestSingleCell) return piece(cell, length);
  const std::size_t big = kHeaderSize + cell;
  if (big > size || size - big < kBigDataSegments + 4) return false;
  const std::uint16_t segments = Read16(bytes + big + kListCount);
  const std::size_t list = kHeaderSize + Read32(bytes + big + kBigDataSegments) + 4;
  if (list > size || (size - list) / 4 < segments) return false;
  for (std::uint16_t i = 0; i < segments && data.size() < length; ++i) {
    if (!piece(Read32(bytes + list + 4 * i), std::min(length - data.size(), kLargestSingleCell))) return false;
  }
  return data.size() == length;
}

bool KeyFlags(const std::uint8_t* bytes, std::size_t size, std::size_t record, std::uint16_t& flags) {
  if (record < kHeaderSize || record > size || size - record < nk::kFlags + 2) return false;
  flags = Read16(bytes + record + nk::kFlags);
  return true;
}

}  // namespace hive_format
