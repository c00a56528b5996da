#pragma once
// Tables of cases kept as text files under tests/: one case a line, its
// fields separated by " | ", lines starting with '#' and blank lines skipped.
// <XXXX> stands for the character with that hexadecimal code.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

using Row = std::vector<std::wstring>;

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
      } else if (line[i] == '<' && line.find('>', i) == i + 5) {
        row.back() += static_cast<wchar_t>(std::stoul(line.substr(i + 1, 4), nullptr, 16));
        i += 5;
      } else {
        row.back() += static_cast<wchar_t>(static_cast<unsigned char>(line[i]));
      }
    }
    rows.push_back(row);
  }
  return rows;
}
