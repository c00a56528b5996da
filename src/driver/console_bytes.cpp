#include "driver/console_bytes.h"

#include <cstdint>

namespace {

constexpr std::uint32_t kLastCodePoint = 0x10FFFF;
constexpr std::uint32_t kReplacement = 0xFFFD;
constexpr std::uint32_t kLastAnsiCharacter = 0xFF;

// The characters handed on at once: well within what one console write takes
// on every system.
constexpr std::streamsize kBlock = 256;

}  // namespace

std::size_t EncodeUtf16Le(wchar_t ch, unsigned char* out) noexcept {
  const auto put = [out](std::size_t at, std::uint32_t unit) {
    out[at] = static_cast<unsigned char>(unit & 0xFF);
    out[at + 1] = static_cast<unsigned char>((unit >> 8) & 0xFF);
  };
  auto value = static_cast<std::uint32_t>(ch);
  if (value > kLastCodePoint) value = kReplacement;
  if (value < 0x10000) {
    put(0, value);
    return 2;
  }
  value -= 0x10000;
  put(0, 0xD800 + (value >> 10));
  put(2, 0xDC00 + (value & 0x3FF));
  return 4;
}

void AppendConsoleBytes(std::wstring_view text, bool utf16, std::string& out) {
  unsigned char units[4];
  const auto append = [&](wchar_t ch) {
    if (!utf16) {
      const auto value = static_cast<std::uint32_t>(ch);
      out += static_cast<char>(value <= kLastAnsiCharacter ? value : '?');
      return;
    }
    out.append(reinterpret_cast<const char*>(units), EncodeUtf16Le(ch, units));
  };
  for (wchar_t ch : text) {
    if (ch == L'\n') append(L'\r');
    append(ch);
  }
}

bool ConsoleBuf::WriteText(std::wstring_view text) {
  std::string bytes;
  AppendConsoleBytes(text, utf16_, bytes);
  return WriteBytes(bytes);
}

std::streamsize ConsoleBuf::xsputn(const wchar_t* text, std::streamsize count) {
  std::streamsize done = 0;
  while (done < count) {
    const std::streamsize take = count - done < kBlock ? count - done : kBlock;
    if (!WriteText(std::wstring_view(text + done, static_cast<std::size_t>(take)))) return done;
    done += take;
  }
  return done;
}

