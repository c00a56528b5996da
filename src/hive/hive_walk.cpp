#include "hive/hive_walk.h"

#include <unordered_map>
#include <vector>

#include "hive/hive_layout.h"

namespace hive_format {

namespace {

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

std::string StructureProblem(const std::uint8_t* bytes, std::size_t size) { return Walk(bytes, size).Problem(); }

}  // namespace hive_format
