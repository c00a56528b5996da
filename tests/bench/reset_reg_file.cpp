// Writes, as a .reg file for "reg import", every machine-wide value a
// family's reset writes: the reset is run on an empty in-memory registry and
// what it left under HKLM is written out, keys in order, values as stored.
//
//   reset_reg_file win7 > win7.reg
//
// The file is UTF-16LE with a byte-order mark, as the registry editor writes.

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>

#include "bench_family.h"
#include "registry/memory_registry.h"

namespace {

std::u16string Utf16(const std::wstring& text) {
  std::u16string units;
  for (wchar_t ch : text) {
    auto code = static_cast<std::uint32_t>(ch);
    if (code > 0xFFFFu) {
      code -= 0x10000u;
      units.push_back(static_cast<char16_t>(0xD800u + (code >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00u + (code & 0x3FFu)));
    } else {
      units.push_back(static_cast<char16_t>(code));
    }
  }
  return units;
}

std::wstring Quoted(const std::wstring& text) {
  std::wstring out = L"\"";
  for (wchar_t ch : text) {
    if (ch == L'\\' || ch == L'"') out.push_back(L'\\');
    out.push_back(ch);
  }
  return out + L"\"";
}

std::wstring Hex(const std::vector<std::uint8_t>& data) {
  static const wchar_t digits[] = L"0123456789abcdef";
  std::wstring out;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i != 0) out.push_back(L',');
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0xF]);
  }
  return out;
}

// The text of a string value's bytes, its terminating NUL dropped; false when
// the bytes are not exactly one NUL-terminated text.
bool PlainText(const std::vector<std::uint8_t>& data, std::wstring& text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  text.clear();
  for (std::size_t i = 0; i + 2 < data.size(); i += 2) {
    const auto unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0 || (unit >= 0xD800 && unit < 0xE000)) return false;
    text.push_back(unit);
  }
  return data[data.size() - 2] == 0 && data[data.size() - 1] == 0;
}

std::wstring ValueLine(const StoredValue& value) {
  std::wstring line = value.name.empty() ? L"@" : Quoted(value.name);
  line += L"=";
  std::wstring text;
  if (value.type == ValueType::RegSz && PlainText(value.data, text)) return line + Quoted(text);
  if (value.type == ValueType::RegDword && value.data.size() == 4) {
    wchar_t number[16];
    std::swprintf(number, 16, L"%08x",
                  static_cast<unsigned>(value.data[0]) | (static_cast<unsigned>(value.data[1]) << 8) |
                      (static_cast<unsigned>(value.data[2]) << 16) | (static_cast<unsigned>(value.data[3]) << 24));
    return line + L"dword:" + number;
  }
  if (value.type == ValueType::RegBinary) return line + L"hex:" + Hex(value.data);
  return line + L"hex(" + std::to_wstring(static_cast<unsigned>(value.type)) + L"):" + Hex(value.data);
}

}  // namespace

int main(int argc, char** argv) {
  const BenchFamily* family = argc == 2 ? FindBenchFamily(argv[1]) : nullptr;
  if (family == nullptr) {
    std::fprintf(stderr, "usage: reset_reg_file xp|server2003|vista|win7|win8\n");
    return 2;
  }
  MemoryRegistry registry;
  std::wostringstream runLog;
  reset_test::RunFamilyReset(registry, family->family, runLog);

  std::wstring text = L"Windows Registry Editor Version 5.00\r\n";
  for (const auto& entry : registry.Snapshot()) {
    const RegistrySnapshotKey& key = entry.second;
    if (key.path.rfind(L"HKLM\\", 0) != 0 || key.values.empty()) continue;
    text += L"\r\n[HKEY_LOCAL_MACHINE\\" + key.path.substr(5) + L"]\r\n";
    for (const auto& value : key.values) text += ValueLine(value.second) + L"\r\n";
  }
  text += L"\r\n";

  const std::u16string units = u"\xFEFF" + Utf16(text);
  for (char16_t unit : units) {
    std::putchar(unit & 0xFF);
    std::putchar(unit >> 8);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
