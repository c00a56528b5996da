#include "registry/registry_text.h"

namespace {
constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
}  // namespace

std::u16string ToUtf16(const std::wstring& text) {
  std::u16string units;
  units.reserve(text.size());
  for (wchar_t wc : text) {
    auto c = static_cast<char32_t>(wc);
    if constexpr (sizeof(wchar_t) == 2) {
      units.push_back(static_cast<char16_t>(c));
    } else if (c > 0x10FFFF || IsSurrogate(c)) {
      units.push_back(static_cast<char16_t>(kReplacement));
    } else if (c > 0xFFFF) {
      c -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(c));
    }
  }
  return units;
}

std::wstring FromUtf16(const std::u16string& units) {
  std::wstring text;
  text.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if constexpr (sizeof(wchar_t) == 2) {
      text.push_back(static_cast<wchar_t>(c));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (IsSurrogate(c)) {
      c = kReplacement;
    }
    text.push_back(static_cast<wchar_t>(c));
  }
  return text;
}

std::vector<std::uint8_t> Utf16LeBytes(const std::u16string& units) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t unit : units) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return bytes;
}

std::u16string Utf16UpToNul(const std::uint8_t* data, std::size_t size) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) break;
    units.push_back(unit);
  }
  return units;
}

std::wstring EscapeControlCharacters(const std::wstring& text) {
  constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";
  std::wstring visible;
  visible.reserve(text.size());
  for (wchar_t wc : text) {
    const auto c = static_cast<std::uint32_t>(wc);
    if (c > 0x1F && c != 0x7F) {
      visible.push_back(wc);
      continue;
    }
    visible += L"\\x";
    visible.push_back(kHexDigits[c >> 4]);
    visible.push_back(kHexDigits[c & 0xF]);
  }
  return visible;
}
