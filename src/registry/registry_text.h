#pragma once
// Registry string data is UTF-16LE text. wchar_t is 2 bytes on Windows and 4
// natively, so texts are converted explicitly at the boundary.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The UTF-16 code units of `text`; on a 4-byte wchar_t, characters beyond the
// basic plane become surrogate pairs and non-characters become U+FFFD.
std::u16string ToUtf16(const std::wstring& text);
// The text of UTF-16 code units; unpaired surrogates become U+FFFD natively.
std::wstring FromUtf16(const std::u16string& units);

// The little-endian bytes of `units`, without anything added.
std::vector<std::uint8_t> Utf16LeBytes(const std::u16string& units);
// The code units of `size` bytes read as UTF-16LE, up to the first NUL
// character or the end of the bytes; an odd last byte is dropped.
std::u16string Utf16UpToNul(const std::uint8_t* data, std::size_t size);

// `text` as a report line may carry it: each control character (U+0000 to
// U+001F and U+007F) as \x and two upper-case hex digits, so that text from
// the registry cannot end a line or forge one; every other character as it is.
std::wstring EscapeControlCharacters(const std::wstring& text);
