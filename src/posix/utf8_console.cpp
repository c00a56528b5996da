#include "posix/utf8_console.h"

#include <cstdint>
#include <iostream>

namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

bool IsCodePoint(std::uint32_t value) {
  return value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (!IsCodePoint(cp)) cp = kReplacement;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Length of the sequence that `lead` opens, or 0 when it opens none.
std::size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::string EncodeUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t ch : text) AppendUtf8(out, static_cast<std::uint32_t>(ch));
  return out;
}

std::wstring DecodeUtf8(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = SequenceLength(lead);
    if (length == 0 || i + length > bytes.size()) {
      out += static_cast<wchar_t>(kReplacement);
      ++i;
      continue;
    }
    std::uint32_t cp = length == 1 ? lead : lead & (0xFFu >> (length + 1));
    std::size_t k = 1;
    for (; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) break;
      cp = (cp << 6) | (next & 0x3Fu);
    }
    const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (k < length || (length > 1 && cp < smallest) || !IsCodePoint(cp)) {
      out += static_cast<wchar_t>(kReplacement);
      i += k < length ? k : length;
      continue;
    }
    out += static_cast<wchar_t>(cp);
    i += length;
  }
  return out;
}

std::streamsize Utf8ConsoleBuf::xsputn(const wchar_t* text, std::streamsize count) {
  // Hands the bytes over in blocks, and counts only the characters whose
  // bytes were all taken.
  constexpr std::streamsize kBlock = 256;
  std::streamsize done = 0;
  std::string bytes;
  while (done < count) {
    const std::streamsize take = count - done < kBlock ? count - done : kBlock;
    bytes.clear();
    for (std::streamsize i = 0; i < take; ++i) {
      const wchar_t c = text[done + i];
      // A CR before LF is dropped; one alone stays.
      if (carriageReturn_ && c != L'\n') bytes += '\r';
      carriageReturn_ = c == L'\r';
      if (!carriageReturn_) AppendUtf8(bytes, static_cast<std::uint32_t>(c));
    }
    const auto size = static_cast<std::streamsize>(bytes.size());
    if (target_->sputn(bytes.data(), size) != size) return done;
    done += take;
  }
  return done;
}


int Utf8ConsoleBuf::sync() { return target_->pubsync(); }

Utf8Console::Utf8Console() : Utf8Console(*std::cout.rdbuf()) {}

Utf8Console::Utf8Console(std::streambuf& target) : buffer_(target), stream_(&buffer_) {}
