#pragma once
// The shape the run log's sinks share: a wide stream buffer that writes in
// bulk (xsputn) and passes a single character through the same path.

#include <streambuf>

class WideSinkBuf : public std::wstreambuf {
 protected:
  // The character whose value is the end-of-file mark (U+FFFF where wide
  // characters are 16 bits wide) cannot be told from it here; bulk output,
  // which the run log uses, takes it as the character it is.
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const wchar_t single = traits_type::to_char_type(ch);
    return xsputn(&single, 1) == 1 ? ch : traits_type::eof();
  }
};
