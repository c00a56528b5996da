#pragma once
// Environment lookup, and the fatal stop when a variable is missing.

#include <cstddef>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>

#include "driver/services.h"

class Environment {
 public:
  virtual ~Environment() = default;
  // The number of wide characters the value of `name` needs, terminating NUL
  // included; 0 when the variable does not exist.
  // Names match without regard to the case of A to Z (Windows folds the case
  // of other letters too).
  virtual std::size_t RequiredSize(const std::wstring& name) = 0;
  // Copies the value into `buffer` of `size` wide characters, NUL included.
  virtual void Copy(const std::wstring& name, wchar_t* buffer, std::size_t size) = 0;
  // The C runtime heap that the value's block comes from; a null result means
  // memory is exhausted. Overridable so that exhaustion can be provoked.
  virtual void* Allocate(std::size_t bytes) { return std::malloc(bytes); }
  virtual void Release(void* block) { std::free(block); }
};

// What the fatal stop needs: the console for its line, the dialog for its box.
struct EnvironmentLookup {
  Environment& environment;
  std::wostream& console;
  Dialog& dialog;
};

// The value of `name`. When the variable is missing or no memory can be had
// for its value, performs the fatal stop (console line, error dialog) and
// returns nothing; the caller then ends the run with exit code 1.
std::optional<std::wstring> ReadEnvironmentVariable(const EnvironmentLookup& lookup,
                                                    const std::wstring& name);
