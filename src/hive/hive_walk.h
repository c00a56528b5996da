#pragma once
// The structural proof of a hive: walked from its root as an independent
// reader would, before the run changes a hive and again on the bytes that
// are to replace it. Each cell start of the bins is known, in use or free,
// before any record is followed.

#include <cstddef>
#include <cstdint>
#include <string>

namespace hive_format {

// Why the hive in `bytes` is unsound, walked from its root key: every key,
// list, value, data, big-data, class-name and security record reached must
// be a cell in use of the type expected, reached once (a security record
// may be shared), each key naming the key it is listed under as its parent,
// the subkeys listed as many as counted, the security records' ring linked
// both ways and no record used by more keys than it counts. Empty when sound.
std::string StructureProblem(const std::uint8_t* bytes, std::size_t size);

}  // namespace hive_format
