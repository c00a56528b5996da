#pragma once
// The registry behind one interface. (Shape to be settled by the registry
// layer's author.)

#include <cstdint>

enum class RegistryRoot : std::uint32_t {
  HKLM = 0x80000002u,
  HKCU = 0x80000001u,
};

enum class ValueType : std::uint32_t {
  RegSz = 1,
  RegExpandSz = 2,
  RegBinary = 3,
  RegDword = 4,
  RegLink = 6,
};

class RegistryAccess {
 public:
  virtual ~RegistryAccess() = default;
};
