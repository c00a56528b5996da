#pragma once
// What each family's reset must leave in HKLM\Software\Classes, written out
// here on their own (not taken from the product's tables), in the order the
// routine writes them, with the report lines the routines may write. The
// reset unit tests and the fuzz checks both hold the routines to these.

#include <cstdint>
#include <string>
#include <vector>

#include "family_reset.h"
#include "registry/registry_access.h"

namespace reset_test {

enum class Written : std::uint8_t {
  kAlways,       // written on every run, silently
  kIfDifferent,  // written when recreated or when absent or different, then reported
};

struct ExpectedValue {
  std::wstring key;  // below HKLM\Software\Classes, without a trailing backslash
  std::wstring name;
  ValueType type;
  std::vector<std::uint8_t> bytes;
  Written how;
  std::wstring report;  // kIfDifferent: the line written when the value alone was wrong
};

const char* FamilyName(Family family);
std::vector<ExpectedValue> ExpectedValues(Family family);

// The UTF-16LE bytes of `text` followed by one NUL, as the registry stores a
// string; characters beyond the basic plane become surrogate pairs.
std::vector<std::uint8_t> StringBytes(const std::wstring& text);

// The report lines of a reset run over an empty registry, in order.
std::vector<std::wstring> EmptyRegistryReport();

extern const wchar_t* const kExeRecreated;
extern const wchar_t* const kExefileRecreated;
extern const wchar_t* const kBatRecreated;
extern const wchar_t* const kBatfileRecreated;
extern const wchar_t* const kComRecreated;
extern const wchar_t* const kComfileRecreated;
extern const wchar_t* const kExeShellDeleted;
extern const wchar_t* const kExeDefaultIconDeleted;

// The two lines of a rewritten extension default, with the value it held.
std::vector<std::wstring> ExeDefaultChanged(const std::wstring& oldValue);
std::vector<std::wstring> BatDefaultChanged(const std::wstring& oldValue);
std::vector<std::wstring> ComDefaultChanged(const std::wstring& oldValue);

// The lines of a removed per-user override whose class key existed too.
std::vector<std::wstring> UserOverrideRemoved(const std::wstring& extension, const std::wstring& className);

}  // namespace reset_test
