#pragma once
// A function looked up in a loaded DLL at run time, for calls that are not
// imported: one that the oldest supported family lacks, or one from a DLL that
// is not to be loaded by name.

#include <windows.h>

#include <cstring>

// The exported function `name` of `module`, as `Function`; null when the
// module is null or does not export it.
template <typename Function>
Function DllExport(HMODULE module, const char* name) noexcept {
  const FARPROC found = module != nullptr ? ::GetProcAddress(module, name) : nullptr;
  Function function = nullptr;
  static_assert(sizeof function == sizeof found, "function pointers differ in size");
  std::memcpy(&function, &found, sizeof found);
  return function;
}
