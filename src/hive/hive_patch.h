#pragma once
// The cell patch: changes to the bytes of a hive written by libhivex, made
// record by record: values written as records of their own (the records of
// values left alone are kept as they are), the link flag of created keys,
// and deleted keys taken out with every cell they own.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hive_format {

// One value of a key's new set: the value record at file offset `kept`, left
// as it is, or (kept 0) a new record of this name, type and data.
struct ValueEntry {
  std::size_t kept = 0;
  std::wstring name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// Changes to the whole file `bytes` of a hive, mapped for writing: new
// cells go to new bins (Tail) that belong after its bins (TailOffset), and
// Finish brings the header up to date for them. Every step false, and the
// bytes not to be used, when the records are not as they must be.
class HivePatch {
 public:
  HivePatch(std::uint8_t* bytes, std::size_t size);

  // Gives the key record at `node` the values `values`, in that order; the
  // records it held that are not kept are freed, every cell of their data too.
  bool SetValues(std::size_t node, const std::vector<ValueEntry>& values);
  bool SetLink(std::size_t node, bool link);
  // Sets the last-write time of the key record at `node`, a FILETIME (100 ns
  // units since 1601), as Windows stamps a key it creates or changes.
  bool Stamp(std::size_t node, std::uint64_t time);
  // Deletes the key record at `node`, which has no subkeys, from the subkey
  // list of `parent`, the key it was reached through: its entry leaves the
  // list (an emptied list or index leaf freed, an emptied list recorded as
  // none, as Windows does), the parent counts one subkey less, and the key's
  // own cells (record, values and all their data, class name) are freed, its
  // security record used once less.
  bool DeleteKey(std::size_t node, std::size_t parent);
  // Closes the new bin and updates the header's size, last-write time (a
  // FILETIME) and checksum.
  bool Finish(std::uint64_t time);
  // The new bins, to be written at TailOffset (the file then ends after them).
  const std::vector<std::uint8_t>& Tail() const noexcept { return tail_; }
  std::size_t TailOffset() const noexcept { return binsEnd_; }

 private:
  std::size_t Cell(std::uint32_t offset);
  std::size_t End() const noexcept { return binsEnd_ + tail_.size(); }
  std::uint8_t* At(std::size_t at, std::size_t size);
  void PutBytes(std::size_t at, const std::uint8_t* bytes, std::size_t size);
  std::uint32_t U32(std::size_t at);
  std::uint16_t U16(std::size_t at);
  void Put32(std::size_t at, std::uint32_t value);
  void Put16(std::size_t at, std::uint16_t value);
  bool Is(std::size_t cell, const char* signature);
  void Expect(std::size_t cell, const char* signature);
  void ExpectRoom(std::size_t cell, std::size_t payload);
  void Free(std::size_t cell);
  void CloseBin();
  std::uint32_t Allocate(std::size_t payload);
  std::uint32_t Store(const std::vector<std::uint8_t>& data);
  void FreeValue(std::size_t value);
  bool RemoveEntry(std::size_t cell, std::uint32_t entry, std::size_t width);
  bool RemoveFromLeaf(std::size_t leaf, std::uint32_t node);
  bool Unlist(std::size_t parent, std::uint32_t node);
  void ReleaseSecurity(std::size_t security);

  std::uint8_t* base_;
  std::vector<std::uint8_t> tail_;
  std::uint32_t minorVersion_ = 0;
  std::size_t binsEnd_ = 0;   // where the file's bins end, and the new ones begin
  std::size_t newBin_ = 0;    // the offset of the bin being filled, 0 while none is needed
  bool ok_ = true;
};

}  // namespace hive_format
