#pragma once
// The reader of undo files, and of .reg files as Registry Editor writes them:
// "Windows Registry Editor Version 5.00" first, then records in order: [KEY]
// (the key made when missing), [-KEY] (the key deleted with its subkeys),
// under a [KEY] its values "name"=DATA or @=DATA (the default value), and
// "name"=- (the value deleted); DATA is quoted text (REG_SZ; \\ and \" its
// only escapes), dword: and eight hex digits, or hex: (REG_BINARY) or
// hex(TYPE): and bytes as two hex digits each, separated by commas, a line
// ending in "\" going on after the indent of the next. Blank lines and
// comments (lines that begin with ";") stand between records.
//
// Such a file may come from a volume that malware wrote: it is read
// strictly, and a line that is not exactly one of these, or a line end other
// than CR LF, is refused with its number before any record is used.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "registry/registry_access.h"

struct RegRecord {
  enum class Kind { kKey, kDeleteKey, kValue, kDeleteValue };
  Kind kind = Kind::kKey;
  std::size_t line = 0;  // its first line in the file, counted from 1
  std::wstring key;      // the key's full name, as the file writes it (HKEY_...\...)
  std::wstring name;     // a value's name, empty for the default value (@)
  ValueType type = ValueType::RegNone;
  std::vector<std::uint8_t> data;
};

// Why a file was refused: the number of its line and what is wrong there.
struct RegProblem {
  std::size_t line = 0;
  std::wstring what;
};

// Reads the text of a .reg file, its byte-order mark taken off; false with
// the first problem, and no record, when a line is not taken.
[[nodiscard]] bool ReadRegText(const std::wstring& text, std::vector<RegRecord>& records, RegProblem& problem);
// The same for the bytes of the file: UTF-16LE after its byte-order mark,
// every surrogate paired.
[[nodiscard]] bool ReadRegFile(const std::vector<std::uint8_t>& bytes, std::vector<RegRecord>& records,
                               RegProblem& problem);

// Applies `record` to root\path, the place its key names there, as `reg
// import` does: a key record makes the key (and the keys above it) when it is
// missing, a deletion takes the key's tree (a key that is a symbolic link as
// the link itself) or the value away when there is one, a value record writes
// the value unless it already holds that type and data. `changed` says
// whether the registry changed; the status is that of the call that failed.
[[nodiscard]] RegistryStatus ApplyRegRecord(RegistryAccess& registry, RegistryRoot root, const std::wstring& path,
                                            const RegRecord& record, bool& changed);

// A value's data as a line of the run shows it: the text of a string up to
// its NUL, a 4-byte REG_DWORD in decimal, else its type and size.
std::wstring ShownData(ValueType type, const std::vector<std::uint8_t>& data);
