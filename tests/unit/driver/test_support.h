#pragma once
// Helpers shared by the driver's tests: a temporary folder, file bytes, and a
// stream buffer that records what it is offered and can be made to fail.

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <streambuf>
#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed with everything
// in it at the end of the test.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "morvane-driver-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The log file bytes of a text of Basic Multilingual Plane characters:
// the byte-order mark, then each character as its UTF-16LE code unit.
inline std::string LogBytes(const std::wstring& text) {
  std::string bytes = "\xFF\xFE";
  for (wchar_t ch : text) {
    const auto unit = static_cast<unsigned>(ch);
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>((unit >> 8) & 0xFF);
  }
  return bytes;
}

// A wide stream buffer that keeps every character it takes, takes at most
// `capacity` characters in all (fewer than offered once that is reached),
// and fails its syncs from sync number `failingSync` on (counting from 1).
class RecordingSink : public std::wstreambuf {
 public:
  std::wstring taken;
  std::wstring offered;  // everything offered, taken or not
  std::size_t capacity = std::numeric_limits<std::size_t>::max();
  int failingSync = std::numeric_limits<int>::max();
  std::vector<std::size_t> takenAtSync;  // how much had been taken at each sync
  int bulkCalls = 0;
  int syncs = 0;

 protected:
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
    ++bulkCalls;
    offered.append(text, static_cast<std::size_t>(count));
    const std::size_t room = capacity - taken.size();
    const std::size_t take = static_cast<std::size_t>(count) < room ? static_cast<std::size_t>(count) : room;
    taken.append(text, take);
    return static_cast<std::streamsize>(take);
  }
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const wchar_t single = traits_type::to_char_type(ch);
    return xsputn(&single, 1) == 1 ? ch : traits_type::eof();
  }
  int sync() override {
    takenAtSync.push_back(taken.size());
    return ++syncs >= failingSync ? -1 : 0;
  }
};
