#pragma once
// What each Windows family's reset leaves in HKLM\Software\Classes, as the
// fuzz checks read it: the values it writes, taken from the expected tables
// the reset unit tests use too (written out independently of the routines'
// own tables, so that the fuzzer checks the routines against them rather than
// against themselves), plus the values and trees the family deletes.

#include <cstdint>
#include <string>
#include <vector>

#include "registry/registry_access.h"
#include "support/expected_tables.h"

using reset_test::Family;
using reset_test::StringBytes;
constexpr int kFamilyCount = 5;

// How the routine writes a row.
enum class RowHow : std::uint8_t {
  kAlways,       // written on every run: afterwards it holds exactly `data`
  kIfDifferent,  // written when absent or its text differs (a value over 8192 bytes is left)
  kDeleted,      // removed on every run if present
};

struct FamilyRow {
  std::wstring key;   // below Software\Classes, no trailing backslash
  std::wstring name;  // L"" is the default value
  ValueType type;
  std::vector<std::uint8_t> data;  // the bytes stored; empty for kDeleted
  std::wstring text;               // the text of a string row
  RowHow how;
};

struct FamilyTable {
  std::vector<FamilyRow> rows;
  std::vector<std::wstring> deletedTrees;  // below Software\Classes
};

const FamilyTable& TableOf(Family family);

// The text of UTF-16LE bytes up to the first NUL character or the end; an odd
// last byte is dropped. Surrogate pairs are joined; a lone surrogate stays.
std::wstring TextOfBytes(const std::vector<std::uint8_t>& data);
