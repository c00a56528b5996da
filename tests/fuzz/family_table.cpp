#include "family_table.h"

#include <array>
#include <cstddef>

namespace {

// Families a row belongs to, one bit each.
constexpr std::uint8_t kXp1 = 1, kXp2 = 2, kVista = 4, kWin7 = 8, kWin8 = 16;
constexpr std::uint8_t kXp = kXp1 | kXp2, kWin78 = kWin7 | kWin8, kVistaOn = kVista | kWin78;
constexpr std::uint8_t kAll = kXp | kVistaOn;

constexpr ValueType kSz = ValueType::RegSz;
constexpr ValueType kExpand = ValueType::RegExpandSz;
constexpr ValueType kBinary = ValueType::RegBinary;
constexpr ValueType kDword = ValueType::RegDword;
constexpr RowHow kAlways = RowHow::kAlways;
constexpr RowHow kIfDiff = RowHow::kIfDifferent;
constexpr RowHow kGone = RowHow::kDeleted;

struct Row {
  std::uint8_t families;
  const wchar_t* key;
  const wchar_t* name;
  ValueType type;
  const wchar_t* text;      // string rows
  std::uint32_t number;     // binary and DWORD rows, stored little-endian in 4 bytes
  RowHow how;
};

const wchar_t* const kTemplate = LR"("%1" %*)";

// Every value any family writes or deletes, in no particular order.
const Row kRows[] = {
    // .exe
    {kAll, L".exe", L"", kSz, L"exefile", 0, kIfDiff},
    {kAll, L".exe\\PersistentHandler", L"", kSz, L"{098f2470-bae0-11cd-b579-08002b30bfeb}", 0, kAlways},
    {kAll, L".exe", L"Content Type", kSz, L"application/x-msdownload", 0, kAlways},
    {kAll, L"exefile\\shell\\open\\command", L"", kSz, kTemplate, 0, kIfDiff},
    {kAll, L"exefile\\shell\\runas\\command", L"", kSz, kTemplate, 0, kIfDiff},
    {kVistaOn, L"exefile\\shell\\open\\command", L"IsolatedCommand", kSz, kTemplate, 0, kIfDiff},
    {kVistaOn, L"exefile\\shell\\runas\\command", L"IsolatedCommand", kSz, kTemplate, 0, kIfDiff},
    {kXp, L"exefile\\shell\\open\\command", L"IsolatedCommand", kSz, nullptr, 0, kGone},
    {kXp, L"exefile\\shell\\runas\\command", L"IsolatedCommand", kSz, nullptr, 0, kGone},
    {kXp, L"exefile", L"Content Type", kSz, nullptr, 0, kGone},
    {kAll, L"exefile", L"", kSz, L"Application", 0, kAlways},
    {kAll, L"exefile", L"EditFlags", kBinary, nullptr, 0x00000738, kAlways},
    {kAll, L"exefile\\shell\\open", L"EditFlags", kBinary, nullptr, 0, kAlways},
    {kAll, L"exefile\\DefaultIcon", L"", kSz, L"%1", 0, kAlways},
    {kXp, L"exefile", L"TileInfo", kSz, L"prop:FileDescription;Company;FileVersion", 0, kAlways},
    {kXp, L"exefile", L"InfoTip", kSz, L"prop:FileDescription;Company;FileVersion;Create;Size", 0, kAlways},
    {kVistaOn, L"exefile", L"FriendlyTypeName", kExpand, L"@%SystemRoot%\\System32\\shell32.dll,-10156", 0, kAlways},
    {kAll, L"exefile\\shellex\\DropHandler", L"", kSz, L"{86C86720-42A0-1069-A2E8-08002B30309D}", 0, kAlways},
    {kXp1, L"exefile\\shellex\\PropertySheetHandlers\\{B41DB860-8EE4-11D2-9906-E49FADC173CA}", L"", kSz, L"", 0, kAlways},
    {kAll, L"exefile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page", L"", kSz,
     L"{513D916F-2A8E-4F51-AEAB-0CBC76FB1AF8}", 0, kAlways},
    {kWin78, L"exefile\\shell\\runas", L"HasLUAShield", kSz, L"", 0, kAlways},
    {kWin78, L"exefile\\shell\\runasuser\\command", L"DelegateExecute", kSz, L"{ea72d00e-4960-42fa-ba92-7792a7944c1d}", 0, kAlways},
    {kWin78, L"exefile\\shell\\runasuser", L"", kSz, L"@shell32.dll,-50944", 0, kAlways},
    {kWin78, L"exefile\\shell\\runasuser", L"Extended", kSz, L"", 0, kAlways},
    {kWin78, L"exefile\\shell\\runasuser", L"SuppressionPolicyEx", kSz, L"{F211AA05-D4DF-4370-A2A0-9F19C09756A7}", 0, kAlways},
    {kWin78, L"exefile\\shellex\\ContextMenuHandlers", L"", kSz, L"Compatibility", 0, kAlways},
    {kWin78, L"exefile\\shellex\\ContextMenuHandlers\\Compatibility", L"", kSz, L"{1d27f844-3a1f-4410-85ac-14651078412d}", 0, kAlways},
    {kWin8, L"exefile\\shell\\pintostartscreen\\command", L"DelegateExecute", kSz, L"{470C0EBD-5D73-4d58-9CED-E91E22E23282}", 0, kAlways},
    {kWin8, L"exefile\\shell\\pintostartscreen", L"MUIVerb", kSz, L"@shell32.dll,-51201", 0, kAlways},
    {kWin8, L"exefile\\shell\\pintostartscreen", L"NeverDefault", kSz, L"", 0, kAlways},
    {kWin8, L"exefile\\shell\\pintostartscreen", L"Description", kSz, L"@shell32.dll,-51202", 0, kAlways},
    {kWin8, L"exefile\\shell\\pintostartscreen", L"MultiSelectModel", kSz, L"Single", 0, kAlways},
    // .bat
    {kAll, L".bat", L"", kSz, L"batfile", 0, kIfDiff},
    {kAll, L".bat\\PersistentHandler", L"", kSz, L"{5e941d80-bf96-11cd-b579-08002b30bfeb}", 0, kAlways},
    {kAll, L"batfile\\shell\\edit\\command", L"", kExpand, L"%SystemRoot%\\System32\\NOTEPAD.EXE %1", 0, kIfDiff},
    {kAll, L"batfile\\shell\\open\\command", L"", kSz, kTemplate, 0, kIfDiff},
    {kAll, L"batfile\\shell\\print\\command", L"", kExpand, L"%SystemRoot%\\System32\\NOTEPAD.EXE /p %1", 0, kIfDiff},
    {kVistaOn, L"batfile\\shell\\runas\\command", L"", kExpand, L"%SystemRoot%\\System32\\cmd.exe /C \"%1\" %*", 0, kIfDiff},
    {kXp1, L"batfile", L"", kSz, L"MS-DOS Batch File", 0, kAlways},
    {kXp2 | kVistaOn, L"batfile", L"", kSz, L"Windows Batch File", 0, kAlways},
    {kAll, L"batfile", L"EditFlags", kBinary, nullptr, 0x00000430, kAlways},
    {kAll, L"batfile\\shell\\open", L"EditFlags", kBinary, nullptr, 0, kAlways},
    {kVista, L"batfile\\shell\\print", L"", kSz, L"", 0, kAlways},
    {kVistaOn, L"batfile", L"FriendlyTypeName", kExpand, L"@%SystemRoot%\\System32\\acppage.dll,-6002", 0, kAlways},
    {kXp, L"batfile\\DefaultIcon", L"", kExpand, L"%SystemRoot%\\System32\\shell32.dll,-153", 0, kAlways},
    {kVistaOn, L"batfile\\DefaultIcon", L"", kExpand, L"%SystemRoot%\\System32\\imageres.dll,-68", 0, kAlways},
    {kAll, L"batfile\\shellex\\DropHandler", L"", kSz, L"{86C86720-42A0-1069-A2E8-08002B30309D}", 0, kAlways},
    {kAll, L"batfile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page", L"", kSz,
     L"{513D916F-2A8E-4F51-AEAB-0CBC76FB1AF8}", 0, kAlways},
    {kWin78, L"batfile\\shell\\runas", L"HasLUAShield", kSz, L"", 0, kAlways},
    {kWin78, L"batfile\\shell\\runasuser\\command", L"DelegateExecute", kSz, L"{ea72d00e-4960-42fa-ba92-7792a7944c1d}", 0, kAlways},
    {kWin78, L"batfile\\shell\\runasuser", L"", kSz, L"@shell32.dll,-50944", 0, kAlways},
    {kWin78, L"batfile\\shell\\runasuser", L"Extended", kSz, L"", 0, kAlways},
    {kWin78, L"batfile\\shell\\runasuser", L"SuppressionPolicyEx", kSz, L"{F211AA05-D4DF-4370-A2A0-9F19C09756A7}", 0, kAlways},
    {kWin78, L"batfile\\shellex\\{8895b1c6-b41f-4c1c-a562-0d564250836f}", L"", kSz, L"{1531d583-8375-4d3f-b5fb-d23bbd169f22}", 0, kAlways},
    {kWin78, L"batfile\\shellex\\ContextMenuHandlers", L"", kSz, L"Compatibility", 0, kAlways},
    {kWin78, L"batfile\\shellex\\ContextMenuHandlers\\Compatibility", L"", kSz, L"{1d27f844-3a1f-4410-85ac-14651078412d}", 0, kAlways},
    // .com
    {kAll, L".com", L"", kSz, L"comfile", 0, kIfDiff},
    {kAll, L".com\\PersistentHandler", L"", kSz, L"{098f2470-bae0-11cd-b579-08002b30bfeb}", 0, kAlways},
    {kAll, L"comfile\\shell\\open\\command", L"", kSz, kTemplate, 0, kIfDiff},
    {kXp1 | kVistaOn, L"comfile", L"", kSz, L"MS-DOS Application", 0, kAlways},
    {kXp2, L"comfile", L"", kSz, L"Application", 0, kAlways},
    {kAll, L"comfile", L"EditFlags", kBinary, nullptr, 0x00000030, kAlways},
    {kXp, L"comfile\\shell\\open", L"EditFlags", kBinary, nullptr, 0, kAlways},
    {kVistaOn, L"comfile\\shell\\open", L"EditFlags", kDword, nullptr, 0, kAlways},
    {kVistaOn, L"comfile", L"FriendlyTypeName", kExpand, L"@%SystemRoot%\\System32\\shell32.dll,-8464", 0, kAlways},
    {kAll, L"comfile\\DefaultIcon", L"", kExpand, L"%SystemRoot%\\System32\\shell32.dll,2", 0, kAlways},
    {kAll, L"comfile\\shellex\\DropHandler", L"", kSz, L"{86C86720-42A0-1069-A2E8-08002B30309D}", 0, kAlways},
};

FamilyTable Build(std::uint8_t bit) {
  FamilyTable table;
  for (const Row& row : kRows) {
    if ((row.families & bit) == 0) continue;
    FamilyRow out{row.key, row.name, row.type, {}, {}, row.how};
    if (row.how != RowHow::kDeleted) {
      if (row.text != nullptr) {
        out.text = row.text;
        out.data = StringBytes(out.text);
      } else {
        for (int shift = 0; shift < 32; shift += 8) {
          out.data.push_back(static_cast<std::uint8_t>((row.number >> shift) & 0xFFu));
        }
      }
    }
    table.rows.push_back(out);
  }
  table.deletedTrees = {L".exe\\shell", L".exe\\DefaultIcon"};
  return table;
}

}  // namespace

const FamilyTable& TableOf(Family family) {
  static const std::array<FamilyTable, kFamilyCount> tables = {
      Build(kXp1), Build(kXp2), Build(kVista), Build(kWin7), Build(kWin8)};
  return tables[static_cast<std::size_t>(family)];
}

const wchar_t* FamilyName(Family family) {
  switch (family) {
    case Family::kXp1: return L"XP (5.1)";
    case Family::kXp2: return L"Server 2003 (5.2)";
    case Family::kVista: return L"Vista (6.0)";
    case Family::kWin7: return L"Windows 7 (6.1)";
    case Family::kWin8: return L"Windows 8 (6.2)";
  }
  return L"?";
}

std::vector<std::uint8_t> StringBytes(const std::wstring& text) {
  std::vector<std::uint8_t> bytes;
  auto unit = [&bytes](std::uint32_t u) {
    bytes.push_back(static_cast<std::uint8_t>(u & 0xFFu));
    bytes.push_back(static_cast<std::uint8_t>((u >> 8) & 0xFFu));
  };
  for (wchar_t ch : text) {
    const auto code = static_cast<std::uint32_t>(ch);
    if (code > 0xFFFFu) {
      const std::uint32_t v = code - 0x10000u;
      unit(0xD800u + (v >> 10));
      unit(0xDC00u + (v & 0x3FFu));
    } else {
      unit(code);
    }
  }
  unit(0);
  return bytes;
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
