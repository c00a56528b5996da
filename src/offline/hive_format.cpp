#include "offline/hive_format.h"

#include <algorithm>
#include <unordered_map>

namespace hive_format {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint32_t kInlineData = 0x80000000u;  // in a value record's size: data held in the record
constexpr std::size_t kBinsSizeAt = 40;             // in the header
constexpr std::size_t kMinorVersionAt = 24;
constexpr std::size_t kChecksumAt = 508;
constexpr std::size_t kBinHeaderSize = 32;
constexpr std::size_t kBinUnit = 4096;
// From format 1.4 on, data longer than this is kept in big-data records, in
// segments of at most this size.
constexpr std::size_t kLargestSingleCell = 16344;
constexpr std::uint16_t kKeyCompressedName = 0x0020;
constexpr std::uint16_t kValueCompressedName = 0x0001;

// Fields of the records, from the start of their cell (its size).
namespace nk {
constexpr std::size_t kFlags = 6, kParent = 20, kSubkeys = 24, kSubkeyList = 32, kValues = 40,
                      kValueList = 44, kSecurity = 48, kClass = 52, kMaxValueName = 64, kMaxValueData = 68,
                      kNameLength = 76, kClassLength = 78, kName = 80;
}
namespace vk {
constexpr std::size_t kNameLength = 6, kSize = 8, kData = 12, kType = 16, kFlags = 20, kName = 24;
}
namespace sk {
constexpr std::size_t kNext = 8, kPrevious = 12, kUses = 16, kDescriptorSize = 20, kDescriptor = 24;
}
constexpr std::size_t kListCount = 6, kListEntries = 8;  // lf, lh, li, ri and db records
constexpr std::size_t kBigDataSegments = 8;              // a db record's segment list

std::uint16_t Read16(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8); }

bool Signed(const std::uint8_t* cell, const char* signature) {
  return cell[4] == static_cast<std::uint8_t>(signature[0]) && cell[5] == static_cast<std::uint8_t>(signature[1]);
}

// `length` bytes of a name, Latin-1 when `compressed`, otherwise UTF-16LE.
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

// The name's bytes as stored: Latin-1 where every character fits, UTF-16LE otherwise.
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

// A record at file offset `record` whose cell is in the file and holds
// `fixed` bytes of fields (counting from the cell's start) and the name
// whose length is at `lengthAt`.
bool NameAt(const std::uint8_t* bytes, std::size_t size, std::size_t record, std::size_t fixed,
            std::size_t lengthAt, std::size_t& length) {
  if (record < kHeaderSize || record > size || size - record < fixed) return false;
  length = Read16(bytes + record + lengthAt);
  return size - record - fixed >= length;
}

std::string Hex(std::size_t offset) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (int shift = 28; shift >= 0; shift -= 4) text += digits[(offset >> shift) & 0xF];
  return "0x" + text;
}

// The walk of StructureProblem. Each cell start of the bins is known, in
// use or free, before any record is followed.
class Walk {
 public:
  Walk(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

  std::string Problem() {
    if (size_ < kHeaderSize) return "the file is shorter than its header";
    minorVersion_ = Read32(bytes_ + kMinorVersionAt);
    const std::uint32_t bins = Read32(bytes_ + kBinsSizeAt);
    if (bins > size_ - kHeaderSize) return "its header counts more bins than the file holds";
    end_ = bins;
    slots_.assign(end_ / 8 + 1, 0);
    if (!Layout()) return problem_;
    Keys(Read32(bytes_ + 36));
    if (lastUsers_ != 0) users_[lastSecurity_] += lastUsers_;
    for (const auto& [security, users] : users_) {
      if (!problem_.empty()) break;
      Ring(security, users);
    }
    return problem_;
  }

 private:
  enum : std::uint8_t { kStart = 1, kUsed = 2, kReached = 4, kShared = 8 };

  bool Fail(const std::string& what, std::uint32_t offset) {
    if (problem_.empty()) problem_ = what + " (cell " + Hex(offset) + ")";
    return false;
  }

  // Every bin and the cells that tile it.
  bool Layout() {
    for (std::size_t bin = 0; bin < end_;) {
      const std::uint8_t* at = bytes_ + kHeaderSize + bin;
      const std::uint32_t binSize = end_ - bin < kBinHeaderSize ? 0 : Read32(at + 8);
      if (end_ - bin < kBinHeaderSize || std::string(reinterpret_cast<const char*>(at), 4) != "hbin" ||
          binSize < kBinUnit || binSize % kBinUnit != 0 || binSize > end_ - bin) {
        return Fail("a bin of the hive is damaged", static_cast<std::uint32_t>(bin));
      }
      for (std::size_t cell = bin + kBinHeaderSize; cell < bin + binSize;) {
        const auto raw = static_cast<std::int32_t>(bin + binSize - cell < 4 ? 0 : Read32(bytes_ + kHeaderSize + cell));
        const std::size_t length = raw < 0 ? static_cast<std::size_t>(-static_cast<std::int64_t>(raw))
                                           : static_cast<std::size_t>(raw);
        if (length < 8 || length % 8 != 0 || length > bin + binSize - cell) {
          return Fail("a cell crosses the end of its bin", static_cast<std::uint32_t>(cell));
        }
        slots_[cell / 8] = static_cast<std::uint8_t>(kStart | (raw < 0 ? kUsed : 0));
        cell += length;
      }
      bin += binSize;
    }
    return true;
  }

  // The cell in use at `offset`, holding at least `payload` bytes after its
  // size, of `signature` when given, reached for the first time unless
  // `shared`; its file offset, or 0 after a failure.
  std::size_t Cell(std::uint32_t offset, const char* what, std::uint64_t payload, const char* signature = nullptr,
                   bool shared = false) {
    if (!problem_.empty()) return 0;
    if (offset % 8 != 0 || offset >= end_ || (slots_[offset / 8] & kStart) == 0) {
      return Fail(std::string(what) + " is no cell", offset), 0;
    }
    std::uint8_t& slot = slots_[offset / 8];
    const std::size_t at = kHeaderSize + offset;
    const auto length = static_cast<std::uint64_t>(-static_cast<std::int64_t>(static_cast<std::int32_t>(Read32(bytes_ + at))));
    if ((slot & kUsed) == 0) return Fail(std::string(what) + " is a free cell", offset), 0;
    if (length - 4 < payload || (signature != nullptr && (length < 6 || !Signed(bytes_ + at, signature)))) {
      return Fail(std::string(what) + " is not such a record", offset), 0;
    }
    if ((slot & (shared ? kReached : kReached | kShared)) != 0) {
      return Fail(std::string(what) + " is reached twice", offset), 0;
    }
    slot = static_cast<std::uint8_t>(slot | (shared ? kShared : kReached));
    return at;
  }

  void Keys(std::uint32_t root) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pending{{root, kNone}};  // key, parent
    while (!pending.empty() && problem_.empty()) {
      const auto [offset, parent] = pending.back();
      pending.pop_back();
      const std::size_t key = Cell(offset, "a key record", nk::kName - 4, "nk");
      if (key == 0) return;
      if (Room(key) < nk::kName - 4 + Read16(bytes_ + key + nk::kNameLength)) {
        Fail("a key record is shorter than its name", offset);
        return;
      }
      if (parent != kNone && Read32(bytes_ + key + nk::kParent) != parent) {
        Fail("a key names another parent than the key that lists it", offset);
        return;
      }
      const std::uint32_t security = Read32(bytes_ + key + nk::kSecurity);
      const std::size_t record = Cell(security, "a security record", sk::kDescriptor - 4, "sk", true);
      if (record != 0 && Room(record) < sk::kDescriptor - 4 + static_cast<std::uint64_t>(Read32(bytes_ + record + sk::kDescriptorSize))) {
        Fail("a security record is shorter than its descriptor", security);
      }
      // Most keys share a few records: the last one is counted without a lookup.
      if (security != lastSecurity_) {
        if (lastUsers_ != 0) users_[lastSecurity_] += lastUsers_;
        lastSecurity_ = security;
        lastUsers_ = 0;
      }
      ++lastUsers_;
      const std::uint16_t classLength = Read16(bytes_ + key + nk::kClassLength);
      if (classLength > 0) Cell(Read32(bytes_ + key + nk::kClass), "a class name", classLength);
      Values(key);
      Subkeys(key, offset, pending);
    }
  }

  void Values(std::size_t key) {
    const std::uint32_t count = Read32(bytes_ + key + nk::kValues);
    if (count == 0) return;
    const std::size_t list = Cell(Read32(bytes_ + key + nk::kValueList), "a value list", 4ull * count);
    for (std::uint32_t i = 0; list != 0 && i < count && problem_.empty(); ++i) {
      const std::uint32_t offset = Read32(bytes_ + list + 4 + 4 * i);
      const std::size_t value = Cell(offset, "a value record", vk::kName - 4, "vk");
      if (value == 0) return;
      if (Room(value) < vk::kName - 4 + Read16(bytes_ + value + vk::kNameLength)) {
        Fail("a value record is shorter than its name", offset);
        return;
      }
      Data(Read32(bytes_ + value + vk::kSize), Read32(bytes_ + value + vk::kData));
    }
  }

  void Data(std::uint32_t size, std::uint32_t offset) {
    if ((size & kInlineData) != 0) {
      if ((size & ~kInlineData) > 4) Fail("a value says it holds more than 4 bytes in its record", offset);
      return;
    }
    if (size == 0) return;
    if (minorVersion_ < 4 || size <= kLargestSingleCell) {
      Cell(offset, "a value's data", size);
      return;
    }
    const std::size_t big = Cell(offset, "a big-data record", kBigDataSegments, "db");
    if (big == 0) return;
    const std::uint16_t segments = Read16(bytes_ + big + kListCount);
    if (static_cast<std::uint64_t>(segments) * kLargestSingleCell < size) {
      Fail("a big-data record has too few segments for its value", offset);
      return;
    }
    const std::size_t list = Cell(Read32(bytes_ + big + kBigDataSegments), "a segment list", 4ull * segments);
    std::uint32_t rest = size;
    for (std::uint16_t i = 0; list != 0 && i < segments && problem_.empty(); ++i) {
      const std::uint32_t part = std::min<std::uint32_t>(rest, kLargestSingleCell);
      Cell(Read32(bytes_ + list + 4 + 4 * i), "a data segment", part);
      rest -= part;
    }
  }

  void Subkeys(std::size_t key, std::uint32_t self, std::vector<std::pair<std::uint32_t, std::uint32_t>>& pending) {
    const std::uint32_t count = Read32(bytes_ + key + nk::kSubkeys);
    if (count == 0) return;
    const std::uint32_t offset = Read32(bytes_ + key + nk::kSubkeyList);
    const std::size_t list = Cell(offset, "a subkey list", 4);
    if (list == 0) return;
    std::vector<std::uint32_t> leaves{offset};
    if (Signed(bytes_ + list, "ri")) {
      leaves.clear();
      const std::uint16_t entries = Read16(bytes_ + list + kListCount);
      if (Room(list) < 4 + 4ull * entries) {
        Fail("an index root is shorter than its entries", offset);
        return;
      }
      for (std::uint16_t i = 0; i < entries; ++i) leaves.push_back(Read32(bytes_ + list + kListEntries + 4 * i));
    }
    std::uint64_t listed = 0;
    for (std::size_t i = 0; i < leaves.size() && problem_.empty(); ++i) {
      const std::size_t leaf = i == 0 && leaves[0] == offset ? list : Cell(leaves[i], "an index leaf", 4);
      if (leaf == 0) return;
      const bool hashed = Signed(bytes_ + leaf, "lf") || Signed(bytes_ + leaf, "lh");
      if (!hashed && !Signed(bytes_ + leaf, "li")) {
        Fail("a subkey list is of no known type", leaves[i]);
        return;
      }
      const std::uint16_t entries = Read16(bytes_ + leaf + kListCount);
      const std::size_t width = hashed ? 8 : 4;
      if (Room(leaf) < 4 + static_cast<std::uint64_t>(width) * entries) {
        Fail("a subkey list is shorter than its entries", leaves[i]);
        return;
      }
      for (std::uint16_t e = 0; e < entries; ++e) pending.emplace_back(Read32(bytes_ + leaf + kListEntries + width * e), self);
      listed += entries;
    }
    if (listed != count) Fail("a key counts another number of subkeys than its list holds", self);
  }

  // Links of the ring of security records, both ways, and uses enough for its users.
  void Ring(std::uint32_t security, std::uint32_t users) {
    const std::size_t record = kHeaderSize + security;
    if (Read32(bytes_ + record + sk::kUses) < users) {
      Fail("a security record counts fewer uses than it has users", security);
      return;
    }
    const std::uint32_t next = Read32(bytes_ + record + sk::kNext);
    const std::uint32_t previous = Read32(bytes_ + record + sk::kPrevious);
    const std::size_t after = Cell(next, "a security record", sk::kDescriptor - 4, "sk", true);
    const std::size_t before = Cell(previous, "a security record", sk::kDescriptor - 4, "sk", true);
    if (after != 0 && before != 0 &&
        (Read32(bytes_ + after + sk::kPrevious) != security || Read32(bytes_ + before + sk::kNext) != security)) {
      Fail("the ring of security records is broken", security);
    }
  }

  std::uint64_t Room(std::size_t cell) const {
    return static_cast<std::uint64_t>(-static_cast<std::int64_t>(static_cast<std::int32_t>(Read32(bytes_ + cell)))) - 4;
  }

  const std::uint8_t* bytes_;
  std::size_t size_;
  std::size_t end_ = 0;  // the bins' size
  std::uint32_t minorVersion_ = 0;
  std::vector<std::uint8_t> slots_;  // by 8 bytes of the bins
  std::unordered_map<std::uint32_t, std::uint32_t> users_;  // keys by security record
  std::uint32_t lastSecurity_ = kNone;
  std::uint32_t lastUsers_ = 0;
  std::string problem_;
};

}  // namespace

std::uint32_t Read32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) |
         static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint32_t HeaderChecksum(const std::uint8_t* header) {
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < kChecksumAt; at += 4) sum ^= Read32(header + at);
  if (sum == 0) sum = 1;
  if (sum == 0xFFFFFFFFu) sum = 0xFFFFFFFEu;
  return sum;
}

std::string StructureProblem(const std::uint8_t* bytes, std::size_t size) { return Walk(bytes, size).Problem(); }

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

HivePatch::HivePatch(std::uint8_t* bytes, std::size_t size) : base_(bytes) {
  ok_ = size >= kHeaderSize;
  if (!ok_) return;
  minorVersion_ = Read32(base_ + kMinorVersionAt);
  binsEnd_ = kHeaderSize + Read32(base_ + kBinsSizeAt);
  ok_ = binsEnd_ <= size;
}

std::size_t HivePatch::Cell(std::uint32_t offset) { return kHeaderSize + offset; }

// The `size` bytes at `at`, in the file's bins or the new ones; null when
// they are in neither (no record of the file is trusted).
std::uint8_t* HivePatch::At(std::size_t at, std::size_t size) {
  if (ok_ && at >= kHeaderSize && at <= binsEnd_ && binsEnd_ - at >= size) return base_ + at;
  if (ok_ && at >= binsEnd_ && at - binsEnd_ <= tail_.size() && tail_.size() - (at - binsEnd_) >= size) {
    return tail_.data() + (at - binsEnd_);
  }
  ok_ = false;
  return nullptr;
}

std::uint32_t HivePatch::U32(std::size_t at) {
  const std::uint8_t* bytes = At(at, 4);
  return bytes != nullptr ? Read32(bytes) : 0;
}

std::uint16_t HivePatch::U16(std::size_t at) {
  const std::uint8_t* bytes = At(at, 2);
  return bytes != nullptr ? Read16(bytes) : 0;
}

void HivePatch::Put32(std::size_t at, std::uint32_t value) {
  std::uint8_t* bytes = At(at, 4);
  for (std::size_t i = 0; bytes != nullptr && i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void HivePatch::Put16(std::size_t at, std::uint16_t value) {
  std::uint8_t* bytes = At(at, 2);
  for (std::size_t i = 0; bytes != nullptr && i < 2; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void HivePatch::PutBytes(std::size_t at, const std::uint8_t* bytes, std::size_t size) {
  std::uint8_t* to = At(at, size);
  if (to != nullptr && size > 0) std::copy_n(bytes, size, to);
}

bool HivePatch::Is(std::size_t cell, const char* signature) {
  const std::uint8_t* bytes = At(cell, 6);
  return bytes != nullptr && static_cast<std::int32_t>(Read32(bytes)) < 0 && Signed(bytes, signature);
}

void HivePatch::Expect(std::size_t cell, const char* signature) {
  if (!Is(cell, signature)) ok_ = false;
}

// A cell in use holding at least `payload` bytes after its size.
void HivePatch::ExpectRoom(std::size_t cell, std::size_t payload) {
  const auto size = static_cast<std::int32_t>(U32(cell));
  if (size >= 0 || static_cast<std::size_t>(-static_cast<std::int64_t>(size)) - 4 < payload) ok_ = false;
}

// A cell in use has a negative size; freed, the same size made positive.
void HivePatch::Free(std::size_t cell) {
  const auto size = static_cast<std::int32_t>(U32(cell));
  if (size >= 0) ok_ = false;
  Put32(cell, static_cast<std::uint32_t>(-static_cast<std::int64_t>(size)));
}

// Ends the bin being filled: the rest of it, one free cell.
void HivePatch::CloseBin() {
  if (newBin_ == 0) return;
  const std::size_t at = End();
  const std::size_t end = newBin_ + U32(newBin_ + 8);
  tail_.resize(end - binsEnd_, 0);
  if (end > at) Put32(at, static_cast<std::uint32_t>(end - at));
}

// A new cell, in a bin of its own after the file's bins that it does not
// cross, as Windows lays them out.
std::uint32_t HivePatch::Allocate(std::size_t payload) {
  const std::size_t size = (payload + 4 + 7) & ~static_cast<std::size_t>(7);
  if (!ok_ || size > 0x7FFFF000u || End() + size + kBinUnit > 0x7FFFF000u) {
    ok_ = false;
    return kNone;
  }
  if (newBin_ == 0 || End() + size > newBin_ + U32(newBin_ + 8)) {
    CloseBin();
    newBin_ = End();
    tail_.resize(newBin_ + kBinHeaderSize - binsEnd_, 0);
    PutBytes(newBin_, reinterpret_cast<const std::uint8_t*>("hbin"), 4);
    Put32(newBin_ + 4, static_cast<std::uint32_t>(newBin_ - kHeaderSize));
    Put32(newBin_ + 8, static_cast<std::uint32_t>((size + kBinHeaderSize + kBinUnit - 1) / kBinUnit * kBinUnit));
  }
  const std::size_t at = End();
  tail_.resize(at + size - binsEnd_, 0);
  Put32(at, static_cast<std::uint32_t>(-static_cast<std::int64_t>(size)));
  return static_cast<std::uint32_t>(at - kHeaderSize);
}

// A cell holding `data`, or for long data in format 1.4 and later a
// big-data record over segments; its offset.
std::uint32_t HivePatch::Store(const std::vector<std::uint8_t>& data) {
  if (minorVersion_ < 4 || data.size() <= kLargestSingleCell) {
    const std::uint32_t cell = Allocate(data.size());
    PutBytes(Cell(cell) + 4, data.data(), data.size());
    return cell;
  }
  const std::size_t segments = (data.size() + kLargestSingleCell - 1) / kLargestSingleCell;
  if (segments > 0xFFFF) ok_ = false;
  const std::uint32_t big = Allocate(kBigDataSegments);
  const std::uint32_t list = Allocate(4 * segments);
  if (!ok_) return kNone;
  PutBytes(Cell(big) + 4, reinterpret_cast<const std::uint8_t*>("db"), 2);
  Put16(Cell(big) + kListCount, static_cast<std::uint16_t>(segments));
  Put32(Cell(big) + kBigDataSegments, list);
  // Each segment's cell has 4 bytes to spare, as libhivex reads them.
  for (std::size_t i = 0; i < segments && ok_; ++i) {
    const std::size_t from = i * kLargestSingleCell;
    const std::size_t part = std::min(data.size() - from, kLargestSingleCell);
    const std::uint32_t segment = Allocate(part + 4);
    if (!ok_) return kNone;
    PutBytes(Cell(segment) + 4, data.data() + from, part);
    Put32(Cell(list) + 4 + 4 * i, segment);
  }
  return big;
}

void HivePatch::FreeValue(std::size_t value) {
  Expect(value, "vk");
  const std::uint32_t size = U32(value + vk::kSize);
  const std::size_t data = Cell(U32(value + vk::kData));
  if ((size & kInlineData) == 0 && size > 0) {
    if (minorVersion_ >= 4 && size > kLargestSingleCell) {
      Expect(data, "db");
      const std::uint16_t segments = U16(data + kListCount);
      const std::size_t list = Cell(U32(data + kBigDataSegments));
      ExpectRoom(list, 4u * segments);
      for (std::uint16_t i = 0; i < segments && ok_; ++i) Free(Cell(U32(list + 4 + 4u * i)));
      Free(list);
    } else {
      ExpectRoom(data, size);
    }
    Free(data);
  }
  Free(value);
}

bool HivePatch::SetValues(std::size_t node, const std::vector<ValueEntry>& values) {
  Expect(node, "nk");
  const std::uint32_t count = U32(node + nk::kValues);
  const std::size_t oldList = count == 0 ? 0 : Cell(U32(node + nk::kValueList));
  if (oldList != 0) ExpectRoom(oldList, 4ull * count);
  std::vector<std::uint32_t> offsets;
  std::uint32_t longestName = U32(node + nk::kMaxValueName);
  std::uint32_t longestData = U32(node + nk::kMaxValueData);
  for (const ValueEntry& value : values) {
    if (value.kept != 0) {
      offsets.push_back(static_cast<std::uint32_t>(value.kept - kHeaderSize));
      continue;
    }
    bool compressed = false;
    const std::vector<std::uint8_t> name = NameBytes(value.name, compressed);
    const std::uint32_t record = Allocate(vk::kName - 4 + name.size());
    if (!ok_ || name.size() > 0xFFFF || value.data.size() >= kInlineData) return ok_ = false;
    const std::size_t at = Cell(record);
    PutBytes(at + 4, reinterpret_cast<const std::uint8_t*>("vk"), 2);
    Put16(at + vk::kNameLength, static_cast<std::uint16_t>(name.size()));
    Put16(at + vk::kFlags, compressed ? kValueCompressedName : 0);
    Put32(at + vk::kType, value.type);
    PutBytes(at + vk::kName, name.data(), name.size());
    const auto size = static_cast<std::uint32_t>(value.data.size());
    if (size <= 4) {
      Put32(at + vk::kSize, size | kInlineData);
      PutBytes(at + vk::kData, value.data.data(), value.data.size());
    } else {
      const std::uint32_t data = Store(value.data);
      Put32(Cell(record) + vk::kSize, size);
      Put32(Cell(record) + vk::kData, data);
    }
    longestName = std::max<std::uint32_t>(longestName, static_cast<std::uint32_t>(value.name.size() * 2));
    longestData = std::max(longestData, size);
    offsets.push_back(record);
  }
  // The records not kept are freed, then the old list.
  for (std::uint32_t i = 0; oldList != 0 && i < count && ok_; ++i) {
    const std::uint32_t offset = U32(oldList + 4 + 4 * i);
    if (std::find(offsets.begin(), offsets.end(), offset) == offsets.end()) FreeValue(Cell(offset));
  }
  if (oldList != 0) Free(oldList);
  const std::uint32_t list = offsets.empty() ? kNone : Allocate(4 * offsets.size());
  for (std::size_t i = 0; i < offsets.size() && ok_; ++i) Put32(Cell(list) + 4 + 4 * i, offsets[i]);
  Put32(node + nk::kValues, static_cast<std::uint32_t>(offsets.size()));
  Put32(node + nk::kValueList, list);
  Put32(node + nk::kMaxValueName, longestName);
  Put32(node + nk::kMaxValueData, longestData);
  return ok_;
}

bool HivePatch::SetLink(std::size_t node, bool link) {
  Expect(node, "nk");
  const std::uint16_t flags = U16(node + nk::kFlags);
  Put16(node + nk::kFlags, static_cast<std::uint16_t>(link ? flags | kKeySymLink : flags & ~kKeySymLink));
  return ok_;
}

// Removes `entry` from the list `cell` (4 or 8 bytes an entry); whether it was there.
bool HivePatch::RemoveEntry(std::size_t cell, std::uint32_t entry, std::size_t width) {
  const std::uint16_t count = U16(cell + kListCount);
  ExpectRoom(cell, 4 + width * count);
  for (std::uint16_t i = 0; i < count && ok_; ++i) {
    if (U32(cell + kListEntries + i * width) != entry) continue;
    for (std::size_t at = cell + kListEntries + i * width; at + width < cell + kListEntries + count * width; at += 4) {
      Put32(at, U32(at + width));
    }
    Put16(cell + kListCount, static_cast<std::uint16_t>(count - 1));
    return true;
  }
  return false;
}

bool HivePatch::RemoveFromLeaf(std::size_t leaf, std::uint32_t node) {
  if (Is(leaf, "li")) return RemoveEntry(leaf, node, 4);
  if (Is(leaf, "lf") || Is(leaf, "lh")) return RemoveEntry(leaf, node, 8);
  ok_ = false;
  return false;
}

bool HivePatch::Unlist(std::size_t parent, std::uint32_t node) {
  if (U32(parent + nk::kSubkeys) == 0) return false;
  const std::size_t list = Cell(U32(parent + nk::kSubkeyList));
  bool found = false;
  if (Is(list, "ri")) {
    const std::uint16_t leaves = U16(list + kListCount);
    ExpectRoom(list, 4 + 4u * leaves);
    for (std::uint16_t i = 0; i < leaves && !found && ok_; ++i) {
      const std::uint32_t leafOffset = U32(list + kListEntries + i * 4u);
      const std::size_t leaf = Cell(leafOffset);
      found = RemoveFromLeaf(leaf, node);
      if (found && U16(leaf + kListCount) == 0) {
        Free(leaf);
        RemoveEntry(list, leafOffset, 4);
      }
    }
  } else {
    found = RemoveFromLeaf(list, node);
  }
  if (found && U16(list + kListCount) == 0) {
    Free(list);
    Put32(parent + nk::kSubkeyList, kNone);
  }
  return found;
}

// One key fewer uses the security record; unused, it leaves the ring of
// records and is freed.
void HivePatch::ReleaseSecurity(std::size_t security) {
  Expect(security, "sk");
  const std::uint32_t uses = U32(security + sk::kUses);
  if (uses == 0) ok_ = false;
  if (uses > 1) {
    Put32(security + sk::kUses, uses - 1);
    return;
  }
  const std::size_t next = Cell(U32(security + sk::kNext));
  const std::size_t previous = Cell(U32(security + sk::kPrevious));
  Expect(next, "sk");
  Expect(previous, "sk");
  Put32(previous + sk::kNext, U32(security + sk::kNext));
  Put32(next + sk::kPrevious, U32(security + sk::kPrevious));
  Free(security);
}

bool HivePatch::DeleteKey(std::size_t node, std::size_t parent) {
  Expect(node, "nk");
  Expect(parent, "nk");
  if (!ok_ || U32(node + nk::kSubkeys) != 0 || !Unlist(parent, static_cast<std::uint32_t>(node - kHeaderSize))) {
    return ok_ = false;
  }
  Put32(parent + nk::kSubkeys, U32(parent + nk::kSubkeys) - 1);
  const std::uint32_t count = U32(node + nk::kValues);
  if (count > 0) {
    const std::size_t list = Cell(U32(node + nk::kValueList));
    ExpectRoom(list, 4ull * count);
    for (std::uint32_t i = 0; i < count && ok_; ++i) FreeValue(Cell(U32(list + 4 + 4 * i)));
    Free(list);
  }
  const std::uint16_t classLength = U16(node + nk::kClassLength);
  if (classLength > 0) {
    const std::size_t name = Cell(U32(node + nk::kClass));
    ExpectRoom(name, classLength);
    Free(name);
  }
  ReleaseSecurity(Cell(U32(node + nk::kSecurity)));
  Free(node);
  return ok_;
}

bool HivePatch::Finish() {
  if (!ok_) return false;
  CloseBin();
  if (!ok_) return false;
  // The header lies before the bins, where Put32 does not write.
  const auto bins = static_cast<std::uint32_t>(End() - kHeaderSize);
  for (std::size_t i = 0; i < 4 && newBin_ != 0; ++i) base_[kBinsSizeAt + i] = static_cast<std::uint8_t>(bins >> (8 * i));
  const std::uint32_t sum = HeaderChecksum(base_);
  for (std::size_t i = 0; i < 4; ++i) base_[kChecksumAt + i] = static_cast<std::uint8_t>(sum >> (8 * i));
  return ok_;
}

}  // namespace hive_format
