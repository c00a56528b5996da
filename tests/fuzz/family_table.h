#pragma once
// What each Windows family's reset leaves in HKLM\Software\Classes, written
// out a second time, row by row, independently of the routines' own tables,
// so that the fuzzer checks the routines against it rather than against
// themselves.

#include <cstdint>
#include <string>
#include <vector>

#include "registry/registry_access.h"

enum class Family : std::uint8_t { kXp1, kXp2, kVista, kWin7, kWin8 };
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
const wchar_t* FamilyName(Family family);

// The UTF-16LE bytes of `text` followed by one NUL, as the registry stores a
// string; characters beyond the basic plane become surrogate pairs.
std::vector<std::uint8_t> StringBytes(const std::wstring& text);
// The text of UTF-16LE bytes up to the first NUL character or the end; an odd
// last byte is dropped. Surrogate pairs are joined; a lone surrogate stays.
std::wstring TextOfBytes(const std::vector<std::uint8_t>& data);
