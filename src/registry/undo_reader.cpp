#include "registry/undo_reader.h"

#include <algorithm>
#include <utility>

#include "registry/operations.h"
#include "registry/registry_text.h"

namespace {

constexpr wchar_t kFirstLine[] = L"Windows Registry Editor Version 5.00";
constexpr std::size_t kMaxKeyNameLength = 255;  // characters in one component, as the registry allows
constexpr std::uint32_t kMaxValueSize = 16u << 20;

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// The lines of `text`, each ended in CR LF (the last one may end without).
bool SplitLines(const std::wstring& text, std::vector<std::wstring>& lines, RegProblem& problem) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find_first_of(L"\r\n", start);
    if (end == std::wstring::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    if (text[end] != L'\r' || end + 1 == text.size() || text[end + 1] != L'\n') {
      problem = RegProblem{lines.size() + 1, L"the line ends in a lone CR or LF, not in CR LF"};
      return false;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return true;
}

// Takes quoted text from `at` (on its opening quote) to its closing quote,
// \\ and \" unescaped; `at` then stands past it.
bool Unquote(const std::wstring& line, std::size_t& at, std::wstring& text, std::wstring& why) {
  text.clear();
  for (++at; at < line.size(); ++at) {
    if (line[at] == L'"') {
      ++at;
      return true;
    }
    if (line[at] == L'\\') {
      if (++at == line.size() || (line[at] != L'\\' && line[at] != L'"')) {
        why = L"a backslash in quotes that is not \\\\ or \\\"";
        return false;
      }
    }
    text += line[at];
  }
  why = L"quotes that are not closed";
  return false;
}

// Whether `key` is no key name a record may carry, and why: each of its
// parts must be neither empty nor longer than the registry takes.
bool BadKeyName(const std::wstring& key, std::wstring& why) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(key.find(L'\\', start), key.size());
    if (end == start) {
      why = L"a key name with an empty part (\"\\\\\", or a backslash at an end)";
      return true;
    }
    if (end - start > kMaxKeyNameLength) {
      why = L"a key name with a part longer than 255 characters";
      return true;
    }
    if (end == key.size()) return false;
    start = end + 1;
  }
}

// The bytes of hex data, "xx,xx,...", from `at` in lines[index], going on
// in the lines after it while one ends in ",\"; `index` then names the last
// line taken.
bool HexBytes(const std::vector<std::wstring>& lines, std::size_t& index, std::size_t at,
              std::vector<std::uint8_t>& bytes, std::wstring& why) {
  bytes.clear();
  const std::wstring* line = &lines[index];
  if (at == line->size()) return true;  // no bytes at all
  for (;;) {
    const int high = at + 1 < line->size() ? HexDigit((*line)[at]) : -1;
    const int low = high < 0 ? -1 : HexDigit((*line)[at + 1]);
    if (low < 0) {
      why = L"hex data that is not two hex digits for each byte";
      return false;
    }
    if (bytes.size() == kMaxValueSize) {
      why = L"a value larger than 16 MiB";
      return false;
    }
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    at += 2;
    if (at == line->size()) return true;
    if ((*line)[at] != L',') {
      why = L"hex data whose bytes are not separated by commas";
      return false;
    }
    ++at;
    if (at + 1 == line->size() && (*line)[at] == L'\\') {
      // Continued: the next line, after its indent, holds the next byte.
      if (index + 1 == lines.size()) {
        why = L"hex data continued past the end of the file";
        return false;
      }
      line = &lines[++index];
      at = line->find_first_not_of(L' ');
      if (at == 0 || at == std::wstring::npos) {
        why = L"a continued line of hex data that is not indented, or holds nothing";
        return false;
      }
    } else if (at == line->size()) {
      why = L"hex data that ends in a comma";
      return false;
    }
  }
}

// The data of a value line, from `at` past its '=', into `record`.
bool ValueData(const std::vector<std::wstring>& lines, std::size_t& index, std::size_t at, RegRecord& record,
               std::wstring& why) {
  const std::wstring& line = lines[index];
  const std::wstring data = line.substr(at);
  if (data == L"-") {
    record.kind = RegRecord::Kind::kDeleteValue;
    return true;
  }
  record.kind = RegRecord::Kind::kValue;
  if (!data.empty() && data[0] == L'"') {
    std::wstring text;
    std::size_t end = 0;
    if (!Unquote(data, end, text, why)) return false;
    if (end != data.size()) {
      why = L"more after the closing quote of a string";
      return false;
    }
    record.type = ValueType::RegSz;
    record.data = Utf16LeBytes(ToUtf16(text) + u'\0');
    return true;
  }
  if (data.compare(0, 6, L"dword:") == 0) {
    std::uint32_t number = 0;
    bool digits = data.size() == 14;
    for (std::size_t i = 6; digits && i < data.size(); ++i) {
      digits = HexDigit(data[i]) >= 0;
      number = number << 4 | static_cast<std::uint32_t>(HexDigit(data[i]));
    }
    if (!digits) {
      why = L"dword: not followed by exactly eight hex digits";
      return false;
    }
    record.type = ValueType::RegDword;
    record.data = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                   static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)};
    return true;
  }
  std::size_t bytesAt = 0;
  if (data.compare(0, 4, L"hex:") == 0) {
    record.type = ValueType::RegBinary;
    bytesAt = 4;
  } else if (data.compare(0, 4, L"hex(") == 0) {
    const std::size_t close = data.find(L"):", 4);
    std::uint32_t type = 0;
    bool digits = close != std::wstring::npos && close > 4 && close <= 12;
    for (std::size_t i = 4; digits && i < close; ++i) {
      digits = HexDigit(data[i]) >= 0;
      type = type << 4 | static_cast<std::uint32_t>(HexDigit(data[i]));
    }
    if (!digits) {
      why = L"hex( not followed by a type of one to eight hex digits and \"):\"";
      return false;
    }
    record.type = static_cast<ValueType>(type);
    bytesAt = close + 2;
  } else {
    why = L"value data that is none of \"text\", dword:, hex: or hex(TYPE):, nor - (a deletion)";
    return false;
  }
  return HexBytes(lines, index, at + bytesAt, record.data, why);
}

}  // namespace

bool ReadRegText(const std::wstring& text, std::vector<RegRecord>& records, RegProblem& problem) {
  records.clear();
  std::vector<std::wstring> lines;
  if (!SplitLines(text, lines, problem)) return false;
  if (lines.empty() || lines[0] != kFirstLine) {
    problem = RegProblem{1, L"the first line is not \"Windows Registry Editor Version 5.00\""};
    return false;
  }
  std::vector<RegRecord> read;
  std::wstring key;  // the key of the value lines that follow, empty after a deletion
  for (std::size_t index = 1; index < lines.size(); ++index) {
    const std::wstring& line = lines[index];
    RegRecord record;
    record.line = index + 1;
    std::wstring why;
    if (line.find(L'\0') != std::wstring::npos) {
      why = L"a NUL character";
    } else if (line.empty() || line[0] == L';') {
      continue;
    } else if (line[0] == L'[') {
      const bool remove = line.size() > 1 && line[1] == L'-';
      const std::size_t start = remove ? 2 : 1;
      if (line.back() != L']' || line.size() < start + 2) {
        why = L"a key line that is not [KEY] or [-KEY]";
      } else {
        record.kind = remove ? RegRecord::Kind::kDeleteKey : RegRecord::Kind::kKey;
        record.key = line.substr(start, line.size() - start - 1);
        if (!BadKeyName(record.key, why)) key = remove ? std::wstring() : record.key;
      }
    } else if (line[0] == L'@' || line[0] == L'"') {
      std::size_t at = line[0] == L'@' ? 1 : 0;
      const bool named = at == 1 || Unquote(line, at, record.name, why);
      if (named && key.empty()) {
        why = L"a value line that follows no [KEY] line";
      } else if (named && (at >= line.size() || line[at] != L'=')) {
        why = L"a value name not followed by =";
      } else if (named) {
        record.key = key;
        static_cast<void>(ValueData(lines, index, at + 1, record, why));
      }
    } else {
      why = L"a line that is no record, comment or blank line";
    }
    if (!why.empty()) {
      // A problem in a continued value is named at the line where it lies.
      problem = RegProblem{std::max(record.line, index + 1), why};
      return false;
    }
    read.push_back(std::move(record));
  }
  records = std::move(read);
  return true;
}

bool ReadRegFile(const std::vector<std::uint8_t>& bytes, std::vector<RegRecord>& records, RegProblem& problem) {
  records.clear();
  if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) {
    problem = RegProblem{1, L"the file does not begin with the byte-order mark of UTF-16LE (FF FE)"};
    return false;
  }
  std::u16string units;
  units.reserve(bytes.size() / 2);
  std::size_t line = 1;
  for (std::size_t at = 2; at + 1 < bytes.size(); at += 2) {
    const auto unit = static_cast<char16_t>(bytes[at] | bytes[at + 1] << 8);
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    const bool paired = !units.empty() && units.back() >= 0xD800 && units.back() <= 0xDBFF;
    if ((low && !paired) || (!low && paired)) {
      problem = RegProblem{line, L"a UTF-16 surrogate that is not paired"};
      return false;
    }
    if (unit == u'\n') ++line;
    units.push_back(unit);
  }
  if (!units.empty() && units.back() >= 0xD800 && units.back() <= 0xDBFF) {
    problem = RegProblem{line, L"a UTF-16 surrogate that is not paired"};
    return false;
  }
  if (bytes.size() % 2 != 0) {
    problem = RegProblem{line, L"the file ends in half a UTF-16 character"};
    return false;
  }
  return ReadRegText(FromUtf16(units), records, problem);
}

RegistryStatus ApplyRegRecord(RegistryAccess& registry, RegistryRoot root, const std::wstring& path,
                              const RegRecord& record, bool& changed) {
  changed = false;
  const RegistryAccess::Key parent = RegistryAccess::RootKey(root);
  RegistryKey key(registry);
  if (record.kind == RegRecord::Kind::kDeleteKey) {
    const RegistryChange change = DeleteKeyTree(registry, root, path);
    changed = change.changed;
    return change.error;
  }
  if (record.kind == RegRecord::Kind::kKey) {
    const RegistryStatus opened = key.Open(parent, path, kOptionNonVolatile, kKeyRead);
    if (opened != kRegistryFileNotFound) return opened;
    const RegistryStatus created = key.Create(parent, path, kOptionNonVolatile, kKeyAllAccessWow64);
    changed = created == kRegistrySuccess;
    return created;
  }
  // The key of a value is made by the key record before it, as reg import makes it.
  RegistryStatus status = key.Create(parent, path, kOptionNonVolatile, kKeyAllAccessWow64);
  ValueType type = ValueType::RegNone;
  std::uint32_t size = 0;
  if (status == kRegistrySuccess) status = registry.QueryValue(key.get(), record.name, type, nullptr, size);
  if (status == kRegistryFileNotFound && record.kind == RegRecord::Kind::kDeleteValue) return kRegistrySuccess;
  if (status != kRegistrySuccess && status != kRegistryFileNotFound) return status;
  if (record.kind == RegRecord::Kind::kDeleteValue) {
    status = registry.DeleteValue(key.get(), record.name);
    changed = status == kRegistrySuccess;
    return status;
  }
  if (status == kRegistrySuccess && type == record.type && size == record.data.size()) {
    std::vector<std::uint8_t> stored(size);
    status = registry.QueryValue(key.get(), record.name, type, stored.data(), size);
    if (status != kRegistrySuccess) return status;
    if (type == record.type && stored == record.data) return kRegistrySuccess;
  }
  status = registry.SetValue(key.get(), record.name, record.type, record.data.data(),
                             static_cast<std::uint32_t>(record.data.size()));
  changed = status == kRegistrySuccess;
  return status;
}

std::wstring ShownData(ValueType type, const std::vector<std::uint8_t>& data) {
  if (type == ValueType::RegSz || type == ValueType::RegExpandSz) {
    const std::wstring text = FromUtf16(Utf16UpToNul(data.data(), data.size()));
    return text.empty() ? L"\"\" (no text)" : EscapeControlCharacters(text);
  }
  if (type == ValueType::RegDword && data.size() == 4) {
    return std::to_wstring(static_cast<std::uint32_t>(data[0] | data[1] << 8 | data[2] << 16) |
                           static_cast<std::uint32_t>(data[3]) << 24);
  }
  return std::to_wstring(data.size()) + L" bytes of type " + std::to_wstring(static_cast<std::uint32_t>(type));
}
