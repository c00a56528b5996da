#pragma once
// Turns arbitrary bytes into a damaged registry and a Windows family: machine
// and per-user keys under Software\Classes with names in any letter case,
// values of every type and size, deep trees, symbolic links, per-user
// overrides naming odd classes, and unrelated keys elsewhere. Every input
// decodes to something; nothing is rejected.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "family_table.h"
#include "registry/memory_registry.h"

// Reads the fuzzer's bytes front to back; past the end every read yields 0.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}
  std::uint8_t Byte() noexcept { return offset_ < size_ ? data_[offset_++] : 0; }
  std::uint32_t Below(std::uint32_t bound) noexcept { return bound == 0 ? 0 : Byte() % bound; }
  std::uint16_t Word() noexcept {
    const auto low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }
  bool Done() const noexcept { return offset_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

// The opcodes of the input, one byte each (taken modulo kOpCount).
enum class SeedOp : std::uint8_t {
  kKey,           // root, path
  kValue,         // root, path, value name, value
  kLink,          // root, path, target root, target path
  kOverride,      // extension, class name: HKCU SOFTWARE\Classes\<ext> names the class
  kDeepTree,      // root, path, depth, name: a chain of keys
  kTableDamage,   // row, damage: one of the family's values written wrong
  kRepairedRows,  // every row of the family as the reset leaves it
  kUserClass,     // class name, path: a per-user class key with a subtree
  kFailure,       // call, root, path, status: that call on that key fails from now on
};
constexpr std::uint32_t kOpCount = 9;

// What was decoded.
struct DamagedRegistry {
  Family family = Family::kWin7;
  // Operations that were refused (a path through a link, an empty component):
  // counted only so a corpus can be judged.
  std::size_t refused = 0;
  // Registry calls told to fail. With any, the registry cannot be fully
  // repaired, and only what must hold whatever fails is checked.
  std::size_t failures = 0;
};

// Seeds `registry` from the bytes. The first byte chooses the family.
DamagedRegistry DecodeDamagedRegistry(const std::uint8_t* data, std::size_t size,
                                      MemoryRegistry& registry);

// Whether a symbolic link may stand at root\path in a decoded registry: never
// on the way to a key the resets write (those opens follow links by design,
// and an administrator's own link there is the machine's business), nor on
// Software or Software\Classes of either root.
bool LinkAllowedAt(RegistryRoot root, const std::wstring& path);

// ASCII letters upper-cased; everything else as it is. Key and value names
// compare this way throughout the checks.
std::wstring Fold(const std::wstring& text);
