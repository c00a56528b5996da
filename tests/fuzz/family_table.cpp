#include "family_table.h"

#include <array>
#include <cstddef>

namespace {

bool IsString(ValueType type) { return type == ValueType::RegSz || type == ValueType::RegExpandSz; }

FamilyRow Deleted(const wchar_t* key, const wchar_t* name) {
  return FamilyRow{key, name, ValueType::RegSz, {}, {}, RowHow::kDeleted};
}

FamilyTable Build(Family family) {
  const bool xp = family == Family::kXpMinor1 || family == Family::kXpMinor2;
  FamilyTable table;
  for (const reset_test::ExpectedValue& value : reset_test::ExpectedValues(family)) {
    const RowHow how = value.how == reset_test::Written::kAlways ? RowHow::kAlways : RowHow::kIfDifferent;
    table.rows.push_back(FamilyRow{value.key, value.name, value.type, value.bytes,
                                   IsString(value.type) ? TextOfBytes(value.bytes) : std::wstring(), how});
    // XP's shell has no isolated commands and no Content Type on exefile:
    // the reset removes them. Their rows follow the runas command's.
    if (xp && value.key == L"exefile\\shell\\runas\\command" && value.name.empty()) {
      table.rows.push_back(Deleted(L"exefile\\shell\\open\\command", L"IsolatedCommand"));
      table.rows.push_back(Deleted(L"exefile\\shell\\runas\\command", L"IsolatedCommand"));
      table.rows.push_back(Deleted(L"exefile", L"Content Type"));
    }
  }
  table.deletedTrees = {L".exe\\shell", L".exe\\DefaultIcon"};
  return table;
}

}  // namespace

const FamilyTable& TableOf(Family family) {
  static const std::array<FamilyTable, kFamilyCount> tables = {
      Build(Family::kXpMinor1), Build(Family::kXpMinor2), Build(Family::kVista), Build(Family::kWin7),
      Build(Family::kWin8)};
  return tables[static_cast<std::size_t>(family)];
}

std::wstring TextOfBytes(const std::vector<std::uint8_t>& data) {
  std::wstring text;
  const std::size_t units = data.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    const std::uint32_t u = data[2 * i] | (static_cast<std::uint32_t>(data[2 * i + 1]) << 8);
    if (u == 0) break;
    if (sizeof(wchar_t) == 4 && u >= 0xD800u && u < 0xDC00u && i + 1 < units) {
      const std::uint32_t low = data[2 * i + 2] | (static_cast<std::uint32_t>(data[2 * i + 3]) << 8);
      if (low >= 0xDC00u && low < 0xE000u) {
        text.push_back(static_cast<wchar_t>(0x10000u + ((u - 0xD800u) << 10) + (low - 0xDC00u)));
        ++i;
        continue;
      }
    }
    text.push_back(static_cast<wchar_t>(u));
  }
  return text;
}
