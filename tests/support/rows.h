#pragma once
// Tables of cases kept as text files under tests/: one case a line, its
// fields separated by " | ", lines starting with '#' and blank lines skipped.
// <XXXX> (4 to 6 hexadecimal digits) stands for the character with that code.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

using Row = std::vector<std::wstring>;

// How many hexadecimal digits, 4 to 6, stand between a '<' at `at` and its '>'; 0 if that is no code.
inline std::size_t HexDigitsAt(const std::string& line, std::size_t at) {
  const std::size_t close = line.find('>', at);
  if (line[at] != '<' || close == std::string::npos || close - at < 5 || close - at > 7) return 0;
  const std::string digits = line.substr(at + 1, close - at - 1);
  return digits.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos ? digits.size() : 0;
}

inline std::vector<Row> ReadRows(const std::string& name) {
  std::ifstream in(std::string(MORVANE_TESTS_DIR) + "/" + name);
  std::vector<Row> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    Row row(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line.compare(i, 3, " | ") == 0) {
        row.emplace_back();
        i += 2;
      } else if (const std::size_t digits = HexDigitsAt(line, i); digits != 0) {
        row.back() += static_cast<wchar_t>(std::stoul(line.substr(i + 1, digits), nullptr, 16));
        i += digits + 1;
      } else {
        row.back() += static_cast<wchar_t>(static_cast<unsigned char>(line[i]));
      }
    }
    rows.push_back(row);
  }
  return rows;
}
