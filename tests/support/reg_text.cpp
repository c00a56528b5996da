#include "support/reg_text.h"

#include <sstream>

#include "registry/operations.h"
#include "support/registry_values.h"

namespace {

// A quoted name or text from `at` (on the opening quote) to its closing quote, unescaped.
bool Unquote(const std::wstring& line, std::size_t& at, std::wstring& text) {
  text.clear();
  for (++at; at < line.size(); ++at) {
    if (line[at] == L'"') return ++at, true;
    if (line[at] == L'\\' && ++at == line.size()) return false;
    text += line[at];
  }
  return false;
}

bool ParseData(const std::wstring& data, ValueType& type, Bytes& bytes) {
  std::size_t at = 0;
  std::wstring text;
  if (!data.empty() && data[0] == L'"') {
    type = ValueType::RegSz;
    if (!Unquote(data, at, text) || at != data.size()) return false;
    bytes = Sz(text);
    return true;
  }
  if (data.rfind(L"dword:", 0) == 0 && data.size() == 14) {
    const unsigned long number = std::stoul(data.substr(6), nullptr, 16);
    type = ValueType::RegDword;
    bytes = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
             static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)};
    return true;
  }
  if (data.rfind(L"hex:", 0) == 0) {
    type = ValueType::RegBinary;
    at = 4;
  } else if (data.rfind(L"hex(", 0) == 0 && data.find(L"):") != std::wstring::npos) {
    type = static_cast<ValueType>(std::stoul(data.substr(4), nullptr, 16));
    at = data.find(L"):") + 2;
  } else {
    return false;
  }
  bytes.clear();
  for (; at < data.size(); at += 3) {
    if (at + 2 > data.size() || (at + 2 < data.size() && data[at + 2] != L',')) return false;
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(data.substr(at, 2), nullptr, 16)));
  }
  return true;
}

std::wstring ShortName(const std::wstring& key) {
  for (const auto& [full, root] : {std::pair{L"HKEY_LOCAL_MACHINE", L"HKLM"}, std::pair{L"HKEY_CURRENT_USER", L"HKCU"}}) {
    if (key.rfind(full, 0) == 0) return root + key.substr(std::wstring(full).size());
  }
  return L"";
}

}  // namespace

bool ApplyRegText(RegistryAccess& registry, const std::wstring& text, std::wstring& badLine) {
  std::wistringstream lines(text);
  std::wstring key;
  bool first = true;
  for (std::wstring line; std::getline(lines, line);) {
    while (!line.empty() && line.back() == L'\r') line.pop_back();
    while (!line.empty() && line.back() == L'\\') {  // wrapped: the next line goes on after its indent
      std::wstring next;
      if (!std::getline(lines, next)) break;
      while (!next.empty() && next.back() == L'\r') next.pop_back();
      line.pop_back();
      line += next.substr(std::min(next.find_first_not_of(L' '), next.size()));
    }
    badLine = line;
    if (first) {
      if (line != L"Windows Registry Editor Version 5.00") return false;
      first = false;
      continue;
    }
    if (line.empty() || line[0] == L';') continue;
    if (line[0] == L'[' && line.back() == L']') {
      const bool remove = line[1] == L'-';
      key = ShortName(line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2)));
      if (key.size() <= 5) return false;
      const RegistryRoot root = key[2] == L'L' ? RegistryRoot::HKLM : RegistryRoot::HKCU;
      if (remove && DeleteKeyTree(registry, root, key.substr(5)).error != kRegistrySuccess) return false;
      if (!remove && !Put(registry, key, L"", ValueType::RegNone, {})) return false;
      if (remove) key.clear();
      continue;
    }
    std::wstring name;
    std::size_t at = 0;
    if (line[0] == L'@') at = 1;
    else if (line[0] != L'"' || !Unquote(line, at, name)) return false;
    if (key.empty() || at >= line.size() || line[at] != L'=') return false;
    const std::wstring data = line.substr(at + 1);
    RegistryKey opened(registry);
    if (OpenNamed(opened, key, kOptionNonVolatile, true) != kRegistrySuccess) return false;
    ValueType type = ValueType::RegNone;
    Bytes bytes;
    if (data == L"-") {
      const RegistryStatus status = registry.DeleteValue(opened.get(), name);
      if (status != kRegistrySuccess && status != kRegistryFileNotFound) return false;
    } else if (!ParseData(data, type, bytes) ||
               registry.SetValue(opened.get(), name, type, bytes.data(), static_cast<std::uint32_t>(bytes.size())) !=
                   kRegistrySuccess) {
      return false;
    }
  }
  return !first;
}
