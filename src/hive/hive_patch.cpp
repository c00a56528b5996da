#include "hive/hive_patch.h"

#include <algorithm>

#include "hive/hive_layout.h"

namespace hive_format {

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

bool HivePatch::Stamp(std::size_t node, std::uint64_t time) {
  Expect(node, "nk");
  Put32(node + nk::kTimestamp, static_cast<std::uint32_t>(time));
  Put32(node + nk::kTimestamp + 4, static_cast<std::uint32_t>(time >> 32));
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

bool HivePatch::Finish(std::uint64_t time) {
  if (!ok_) return false;
  CloseBin();
  if (!ok_) return false;
  // The header lies before the bins, where Put32 does not write.
  const auto bins = static_cast<std::uint32_t>(End() - kHeaderSize);
  for (std::size_t i = 0; i < 4 && newBin_ != 0; ++i) base_[kBinsSizeAt + i] = static_cast<std::uint8_t>(bins >> (8 * i));
  for (std::size_t i = 0; i < 8; ++i) base_[kTimestampAt + i] = static_cast<std::uint8_t>(time >> (8 * i));
  const std::uint32_t sum = HeaderChecksum(base_);
  for (std::size_t i = 0; i < 4; ++i) base_[kChecksumAt + i] = static_cast<std::uint8_t>(sum >> (8 * i));
  return ok_;
}


}  // namespace hive_format
