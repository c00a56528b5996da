#include "driver/process_environment.h"

#include <algorithm>
#include <string_view>

#include "driver/utf8_console.h"

extern char** environ;

namespace {

char FoldAsciiLetter(char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; }

bool SameName(std::string_view left, std::string_view right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(),
                    [](char a, char b) { return FoldAsciiLetter(a) == FoldAsciiLetter(b); });
}

}  // namespace

std::optional<std::wstring> ProcessEnvironment::Find(const std::wstring& name) {
  const std::string wanted = EncodeUtf8(name);
  if (wanted.empty() || wanted.find('=') != std::string::npos) return std::nullopt;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    if (SameName(text.substr(0, equals), wanted)) return DecodeUtf8(text.substr(equals + 1));
  }
  return std::nullopt;
}

std::size_t ProcessEnvironment::RequiredSize(const std::wstring& name) {
  const std::optional<std::wstring> value = Find(name);
  return value ? value->size() + 1 : 0;
}

void ProcessEnvironment::Copy(const std::wstring& name, wchar_t* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return;
  const std::optional<std::wstring> value = Find(name);
  const std::size_t count = value ? std::min(value->size(), size - 1) : 0;
  if (count > 0) std::copy_n(value->data(), count, buffer);
  buffer[count] = L'\0';
}
