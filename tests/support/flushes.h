#pragma once
// A wide stream buffer that keeps apart the text of each flush: `text` ends
// with what is written but not yet flushed.

#include <streambuf>
#include <string>
#include <vector>

class Flushes : public std::wstreambuf {
 public:
  std::vector<std::wstring> text{L""};

 protected:
  int_type overflow(int_type ch) override {
    if (!traits_type::eq_int_type(ch, traits_type::eof())) text.back() += traits_type::to_char_type(ch);
    return traits_type::not_eof(ch);
  }
  int sync() override {
    if (!text.back().empty()) text.emplace_back();
    return 0;
  }
};
