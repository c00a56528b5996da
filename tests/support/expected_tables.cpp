#include "expected_tables.h"

namespace reset_test {
namespace {

constexpr ValueType kSz = ValueType::RegSz;
constexpr ValueType kExpand = ValueType::RegExpandSz;
constexpr ValueType kBinary = ValueType::RegBinary;
constexpr ValueType kDword = ValueType::RegDword;
constexpr Written kAlways = Written::kAlways;
constexpr Written kIfDifferent = Written::kIfDifferent;

const std::wstring kTemplate = LR"("%1" %*)";
const std::wstring kFileHandler = L"{098f2470-bae0-11cd-b579-08002b30bfeb}";
const std::wstring kDrop = L"{86C86720-42A0-1069-A2E8-08002B30309D}";
const std::wstring kShim = L"{513D916F-2A8E-4F51-AEAB-0CBC76FB1AF8}";
const std::wstring kEdit = LR"(%SystemRoot%\System32\NOTEPAD.EXE %1)";
const std::wstring kPrint = LR"(%SystemRoot%\System32\NOTEPAD.EXE /p %1)";
const std::wstring kBatRunas = LR"(%SystemRoot%\System32\cmd.exe /C "%1" %*)";

ExpectedValue Text(const std::wstring& key, const std::wstring& name, ValueType type, const std::wstring& text,
                   Written how = kAlways, const std::wstring& report = L"") {
  return ExpectedValue{key, name, type, StringBytes(text), how, report};
}

ExpectedValue Bytes(const std::wstring& key, const std::wstring& name, ValueType type,
                    std::vector<std::uint8_t> bytes) {
  return ExpectedValue{key, name, type, std::move(bytes), kAlways, L""};
}

void Append(std::vector<ExpectedValue>& to, const std::vector<ExpectedValue>& rows) {
  to.insert(to.end(), rows.begin(), rows.end());
}

// ---- The lines of a command value found wrong --------------------------------

const std::wstring kExeOpenLine =
    LR"(  * HKLM\Software\Classes\exefile\shell\open\command\\@ was changed. It was reset to "%1" %*!)"
    L"\r\n\r\n";
const std::wstring kExeOpenIsolatedLine =
    LR"(  * HKLM\Software\Classes\exefile\shell\open\command\\IsolatedCommand was changed. It was reset to "%1" %*!)"
    L"\r\n\r\n";
const std::wstring kExeRunasLine =
    LR"(  * HKLM\Software\Classes\exefile\shell\runas\command\\@ was changed. It was reset to "%1" %*!)"
    L"\r\n\r\n";
const std::wstring kExeRunasIsolatedLine =
    LR"(  * HKLM\Software\Classes\exefile\shell\runas\command\\IsolatedCommand was changed. It was reset to "%1" %*!)"
    L"\r\n\r\n";
const std::wstring kBatEditLine =
    L"  * HKLM\\batfile\\shell\\edit\\command\\\\@ was changed.\r\n"
    L"    It was reset to %SystemRoot%\\System32\\NOTEPAD.EXE %1!\r\n\r\n";
const std::wstring kBatOpenLine =
    L"  * HKLM\\batfile\\shell\\open\\command\\\\@ was changed.\r\n"
    L"    It was reset to \"%1\" %*!\r\n\r\n";
const std::wstring kBatPrintLine =
    L"  * HKLM\\batfile\\shell\\print\\command\\\\@ was changed.\r\n"
    L"    It was reset to %SystemRoot%\\System32\\NOTEPAD.EXE /p %1!\r\n\r\n";
const std::wstring kBatRunasLine =
    L"  * HKLM\\batfile\\shell\\runas\\command\\\\@ was changed.\r\n"
    L"    It was reset to %SystemRoot%\\System32\\cmd.exe /C \"%1\" %*!\r\n\r\n";
const std::wstring kComOpenLine =
    L"  * HKLM\\Software\\Classes\\comfile\\shell\\open\\command\\\\@ was changed.\r\n"
    L"    It was reset to \"%1\" %*!\r\n\r\n";

// ---- XP and Server 2003 ----------------------------------------------------

std::vector<ExpectedValue> Xp(std::uint32_t minor) {
  const bool server = minor == 2;
  // clang-format off
  std::vector<ExpectedValue> rows = {
    Text(L".exe", L"", kSz, L"exefile", kIfDifferent),
    Text(L".exe\\PersistentHandler", L"", kSz, kFileHandler),
    Text(L".exe", L"Content Type", kSz, L"application/x-msdownload"),
    Text(L"exefile\\shell\\open\\command", L"", kSz, kTemplate, kIfDifferent, kExeOpenLine),
    Text(L"exefile\\shell\\runas\\command", L"", kSz, kTemplate, kIfDifferent, kExeRunasLine),
    Text(L"exefile", L"", kSz, L"Application"),
    Bytes(L"exefile", L"EditFlags", kBinary, {0x38, 0x07, 0x00, 0x00}),
    Bytes(L"exefile\\shell\\open", L"EditFlags", kBinary, {0, 0, 0, 0}),
    Text(L"exefile\\DefaultIcon", L"", kSz, L"%1"),
    Text(L"exefile", L"TileInfo", kSz, L"prop:FileDescription;Company;FileVersion"),
    Text(L"exefile", L"InfoTip", kSz, L"prop:FileDescription;Company;FileVersion;Create;Size"),
    Text(L"exefile\\shellex\\DropHandler", L"", kSz, kDrop),
  };
  if (minor == 1) {
    rows.push_back(
        Text(L"exefile\\shellex\\PropertySheetHandlers\\{B41DB860-8EE4-11D2-9906-E49FADC173CA}", L"", kSz, L""));
  }
  Append(rows, {
    Text(L"exefile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page", L"", kSz, kShim),

    Text(L".bat", L"", kSz, L"batfile", kIfDifferent),
    Text(L".bat\\PersistentHandler", L"", kSz, L"{5e941d80-bf96-11cd-b579-08002b30bfeb}"),
    Text(L"batfile\\shell\\edit\\command", L"", kExpand, kEdit, kIfDifferent, kBatEditLine),
    Text(L"batfile\\shell\\open\\command", L"", kSz, kTemplate, kIfDifferent, kBatOpenLine),
    Text(L"batfile\\shell\\print\\command", L"", kExpand, kPrint, kIfDifferent, kBatPrintLine),
    Text(L"batfile", L"", kSz, server ? L"Windows Batch File" : L"MS-DOS Batch File"),
    Bytes(L"batfile", L"EditFlags", kBinary, {0x30, 0x04, 0x00, 0x00}),
    Bytes(L"batfile\\shell\\open", L"EditFlags", kBinary, {0, 0, 0, 0}),
    Text(L"batfile\\DefaultIcon", L"", kExpand, L"%SystemRoot%\\System32\\shell32.dll,-153"),
    Text(L"batfile\\shellex\\DropHandler", L"", kSz, kDrop),
    Text(L"batfile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page", L"", kSz, kShim),

    Text(L".com", L"", kSz, L"comfile", kIfDifferent),
    Text(L".com\\PersistentHandler", L"", kSz, kFileHandler),
    Text(L"comfile\\shell\\open\\command", L"", kSz, kTemplate, kIfDifferent, kComOpenLine),
    Text(L"comfile", L"", kSz, server ? L"Application" : L"MS-DOS Application"),
    Bytes(L"comfile", L"EditFlags", kBinary, {0x30, 0x00, 0x00, 0x00}),
    Bytes(L"comfile\\shell\\open", L"EditFlags", kBinary, {0, 0, 0, 0}),
    Text(L"comfile\\DefaultIcon", L"", kExpand, L"%SystemRoot%\\System32\\shell32.dll,2"),
    Text(L"comfile\\shellex\\DropHandler", L"", kSz, kDrop),
  });
  // clang-format on
  return rows;
}

// ---- Vista and Server 2008 -------------------------------------------------

std::vector<ExpectedValue> Vista() {
  // clang-format off
  return {
    Text(L".exe", L"", kSz, L"exefile", kIfDifferent),
    Text(L".exe\\PersistentHandler", L"", kSz, kFileHandler),
    Text(L".exe", L"Content Type", kSz, L"application/x-msdownload"),
    Text(L"exefile\\shell\\open\\command", L"", kSz, kTemplate, kIfDifferent, kExeOpenLine),
    Text(L"exefile\\shell\\open\\command", L"IsolatedCommand", kSz, kTemplate, kIfDifferent, kExeOpenIsolatedLine),
    Text(L"exefile\\shell\\runas\\command", L"", kSz, kTemplate, kIfDifferent, kExeRunasLine),
    Text(L"exefile\\shell\\runas\\command", L"IsolatedCommand", kSz, kTemplate, kIfDifferent, kExeRunasIsolatedLine),
    Text(L"exefile", L"", kSz, L"Application"),
    Bytes(L"exefile", L"EditFlags", kBinary, {0x38, 0x07, 0x00, 0x00}),
    Bytes(L"exefile\\shell\\open", L"EditFlags", kBinary, {0, 0, 0, 0}),
    Text(L"exefile\\DefaultIcon", L"", kSz, L"%1"),
    Text(L"exefile", L"FriendlyTypeName", kExpand, L"@%SystemRoot%\\System32\\shell32.dll,-10156"),
    Text(L"exefile\\shellex\\DropHandler", L"", kSz, kDrop),
    Text(L"exefile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page", L"", kSz, kShim),

    Text(L".bat", L"", kSz, L"batfile", kIfDifferent),
    Text(L".bat\\PersistentHandler", L"", kSz, L"{5e941d80-bf96-11cd-b579-08002b30bfeb}"),
    Text(L"batfile\\shell\\edit\\command", L"", kExpand, kEdit, kIfDifferent, kBatEditLine),
    Text(L"batfile\\shell\\open\\command", L"", kSz, kTemplate, kIfDifferent, kBatOpenLine),
    Text(L"batfile\\shell\\print\\command", L"", kExpand, kPrint, kIfDifferent, kBatPrintLine),
    Text(L"batfile\\shell\\runas\\command", L"", kExpand, kBatRunas, kIfDifferent, kBatRunasLine),
    Text(L"batfile", L"", kSz, L"Windows Batch File"),
    Bytes(L"batfile", L"EditFlags", kBinary, {0x30, 0x04, 0x00, 0x00}),
    Bytes(L"batfile\\shell\\open", L"EditFlags", kBinary, {0, 0, 0, 0}),
    Text(L"batfile\\shell\\print", L"", kSz, L""),
    Text(L"batfile", L"FriendlyTypeName", kExpand, L"@%SystemRoot%\\System32\\acppage.dll,-6002"),
    Text(L"batfile\\DefaultIcon", L"", kExpand, L"%SystemRoot%\\System32\\imageres.dll,-68"),
    Text(L"batfile\\shellex\\DropHandler", L"", kSz, kDrop),
    Text(L"batfile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page", L"", kSz, kShim),

    Text(L".com", L"", kSz, L"comfile", kIfDifferent),
    Text(L".com\\PersistentHandler", L"", kSz, kFileHandler),
    Text(L"comfile\\shell\\open\\command", L"", kSz, kTemplate, kIfDifferent, kComOpenLine),
    Text(L"comfile", L"", kSz, L"MS-DOS Application"),
    Bytes(L"comfile", L"EditFlags", kBinary, {0x30, 0x00, 0x00, 0x00}),
    Text(L"comfile", L"FriendlyTypeName", kExpand, L"@%SystemRoot%\\System32\\shell32.dll,-8464"),
    Bytes(L"comfile\\shell\\open", L"EditFlags", kDword, {0, 0, 0, 0}),
    Text(L"comfile\\DefaultIcon", L"", kExpand, L"%SystemRoot%\\System32\\shell32.dll,2"),
    Text(L"comfile\\shellex\\DropHandler", L"", kSz, kDrop),
  };
  // clang-format on
}

// ---- Windows 7, Server 2008 R2, Windows 8 ---------------------------------

std::vector<ExpectedValue> Win7() {
  // clang-format off
  return {
    Text(L".exe", L"", kSz, L"exefile", kIfDifferent),
    Text(L".exe\\PersistentHandler", L"", kSz, kFileHandler),
    Text(L".exe", L"Content Type", kSz, L"application/x-msdownload"),
    Text(L"exefile\\shell\\open\\command", L"", kSz, kTemplate, kIfDifferent, kExeOpenLine),
    Text(L"exefile\\shell\\open\\command", L"IsolatedCommand", kSz, kTemplate, kIfDifferent, kExeOpenIsolatedLine),
    Text(L"exefile\\shell\\runas\\command", L"", kSz, kTemplate, kIfDifferent, kExeRunasLine),
    Text(L"exefile\\shell\\runas\\command", L"IsolatedCommand", kSz, kTemplate, kIfDifferent, kExeRunasIsolatedLine),
    Text(L"exefile", L"", kSz, L"Application"),
    Bytes(L"exefile", L"EditFlags", kBinary, {0x38, 0x07, 0x00, 0x00}),
    Bytes(L"exefile\\shell\\open", L"EditFlags", kBinary, {0, 0, 0, 0}),
    Text(L"exefile", L"FriendlyTypeName", kExpand, L"@%SystemRoot%\\System32\\shell32.dll,-10156"),
    Text(L"exefile\\DefaultIcon", L"", kSz, L"%1"),
    Text(L"exefile\\shell\\runas", L"HasLUAShield", kSz, L""),
    Text(L"exefile\\shell\\runasuser\\command", L"DelegateExecute", kSz, L"{ea72d00e-4960-42fa-ba92-7792a7944c1d}"),
    Text(L"exefile\\shell\\runasuser", L"", kSz, L"@shell32.dll,-50944"),
    Text(L"exefile\\shell\\runasuser", L"Extended", kSz, L""),
    Text(L"exefile\\shell\\runasuser", L"SuppressionPolicyEx", kSz, L"{F211AA05-D4DF-4370-A2A0-9F19C09756A7}"),
    Text(L"exefile\\shellex\\ContextMenuHandlers", L"", kSz, L"Compatibility"),
    Text(L"exefile\\shellex\\ContextMenuHandlers\\Compatibility", L"", kSz, L"{1d27f844-3a1f-4410-85ac-14651078412d}"),
    Text(L"exefile\\shellex\\DropHandler", L"", kSz, kDrop),
    Text(L"exefile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page", L"", kSz, kShim),

    Text(L".bat", L"", kSz, L"batfile", kIfDifferent),
    Text(L".bat\\PersistentHandler", L"", kSz, L"{5e941d80-bf96-11cd-b579-08002b30bfeb}"),
    Text(L"batfile\\shell\\edit\\command", L"", kExpand, kEdit, kIfDifferent, kBatEditLine),
    Text(L"batfile\\shell\\open\\command", L"", kSz, kTemplate, kIfDifferent, kBatOpenLine),
    Text(L"batfile\\shell\\print\\command", L"", kExpand, kPrint, kIfDifferent, kBatPrintLine),
    Text(L"batfile\\shell\\runas\\command", L"", kExpand, kBatRunas, kIfDifferent, kBatRunasLine),
    Text(L"batfile", L"", kSz, L"Windows Batch File"),
    Bytes(L"batfile", L"EditFlags", kBinary, {0x30, 0x04, 0x00, 0x00}),
    Bytes(L"batfile\\shell\\open", L"EditFlags", kBinary, {0, 0, 0, 0}),
    Text(L"batfile", L"FriendlyTypeName", kExpand, L"@%SystemRoot%\\System32\\acppage.dll,-6002"),
    Text(L"batfile\\DefaultIcon", L"", kExpand, L"%SystemRoot%\\System32\\imageres.dll,-68"),
    Text(L"batfile\\shell\\runas", L"HasLUAShield", kSz, L""),
    Text(L"batfile\\shell\\runasuser\\command", L"DelegateExecute", kSz, L"{ea72d00e-4960-42fa-ba92-7792a7944c1d}"),
    Text(L"batfile\\shell\\runasuser", L"", kSz, L"@shell32.dll,-50944"),
    Text(L"batfile\\shell\\runasuser", L"Extended", kSz, L""),
    Text(L"batfile\\shell\\runasuser", L"SuppressionPolicyEx", kSz, L"{F211AA05-D4DF-4370-A2A0-9F19C09756A7}"),
    Text(L"batfile\\shellex\\{8895b1c6-b41f-4c1c-a562-0d564250836f}", L"", kSz,
         L"{1531d583-8375-4d3f-b5fb-d23bbd169f22}"),
    Text(L"batfile\\shellex\\ContextMenuHandlers", L"", kSz, L"Compatibility"),
    Text(L"batfile\\shellex\\ContextMenuHandlers\\Compatibility", L"", kSz, L"{1d27f844-3a1f-4410-85ac-14651078412d}"),
    Text(L"batfile\\shellex\\DropHandler", L"", kSz, kDrop),
    Text(L"batfile\\shellex\\PropertySheetHandlers\\ShimLayer Property Page", L"", kSz, kShim),

    Text(L".com", L"", kSz, L"comfile", kIfDifferent),
    Text(L".com\\PersistentHandler", L"", kSz, kFileHandler),
    Text(L"comfile\\shell\\open\\command", L"", kSz, kTemplate, kIfDifferent, kComOpenLine),
    Text(L"comfile", L"", kSz, L"MS-DOS Application"),
    Bytes(L"comfile", L"EditFlags", kBinary, {0x30, 0x00, 0x00, 0x00}),
    Bytes(L"comfile\\shell\\open", L"EditFlags", kDword, {0, 0, 0, 0}),
    Text(L"comfile", L"FriendlyTypeName", kExpand, L"@%SystemRoot%\\System32\\shell32.dll,-8464"),
    Text(L"comfile\\DefaultIcon", L"", kExpand, L"%SystemRoot%\\System32\\shell32.dll,2"),
    Text(L"comfile\\shellex\\DropHandler", L"", kSz, kDrop),
  };
  // clang-format on
}

std::vector<ExpectedValue> Win8() {
  std::vector<ExpectedValue> rows = Win7();
  // clang-format off
  Append(rows, {
    Text(L"exefile\\shell\\pintostartscreen\\command", L"DelegateExecute", kSz,
         L"{470C0EBD-5D73-4d58-9CED-E91E22E23282}"),
    Text(L"exefile\\shell\\pintostartscreen", L"MUIVerb", kSz, L"@shell32.dll,-51201"),
    Text(L"exefile\\shell\\pintostartscreen", L"NeverDefault", kSz, L""),
    Text(L"exefile\\shell\\pintostartscreen", L"Description", kSz, L"@shell32.dll,-51202"),
    Text(L"exefile\\shell\\pintostartscreen", L"MultiSelectModel", kSz, L"Single"),
  });
  // clang-format on
  return rows;
}

}  // namespace

const char* FamilyName(Family family) {
  switch (family) {
    case Family::kXpMinor1:
      return "XpMinor1";
    case Family::kXpMinor2:
      return "XpMinor2";
    case Family::kVista:
      return "Vista";
    case Family::kWin7:
      return "Win7";
    case Family::kWin8:
      return "Win8";
  }
  return "?";
}

std::vector<ExpectedValue> ExpectedValues(Family family) {
  switch (family) {
    case Family::kXpMinor1:
      return Xp(1);
    case Family::kXpMinor2:
      return Xp(2);
    case Family::kVista:
      return Vista();
    case Family::kWin7:
      return Win7();
    case Family::kWin8:
      return Win8();
  }
  return {};
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

const wchar_t* const kExeRecreated =
    L"  * HKLM\\Software\\Classes\\.exe did not exist and was recreated!\r\n\r\n";
const wchar_t* const kExefileRecreated =
    L"  * HKLM\\Software\\Classes\\exefile did not exist and was recreated!\r\n\r\n";
const wchar_t* const kBatRecreated =
    L"  * HKLM\\Software\\Classes\\.bat did not exist and was recreated!\r\n\r\n";
const wchar_t* const kBatfileRecreated =
    L"  * HKLM\\Software\\Classes\\batfile did not exist and was recreated!\r\n\r\n";
const wchar_t* const kComRecreated =
    L"  * HKLM\\Software\\Classes\\.com did not exist and was recreated!\r\n\r\n";
const wchar_t* const kComfileRecreated =
    L"  * HKLM\\Software\\Classes\\comfile did not exist and was recreated!\r\n\r\n";
const wchar_t* const kExeShellDeleted =
    L"  * HKLM\\Software\\Classes\\.exe\\shell found and deleted!\r\n\r\n";
const wchar_t* const kExeDefaultIconDeleted =
    L"  * HKLM\\Software\\Classes\\.exe\\DefaultIcon found and deleted!\r\n\r\n";

std::vector<std::wstring> EmptyRegistryReport() {
  return {kExeRecreated, kExefileRecreated, kBatRecreated, kBatfileRecreated, kComRecreated, kComfileRecreated};
}

std::vector<std::wstring> ExeDefaultChanged(const std::wstring& oldValue) {
  return {L"  * HKLM\\Software\\Classes\\.exe\\\\@ has been changed to " + oldValue + L"!\r\n",
          L"  * HKLM\\Software\\Classes\\.exe\\\\@ was reset to exefile!\r\n\r\n"};
}

std::vector<std::wstring> BatDefaultChanged(const std::wstring& oldValue) {
  return {L"  * HKLM\\Software\\Classes\\.bat\\\\@ was changed to " + oldValue + L"!\r\n",
          L"  * HKLM\\Software\\Classes\\.bat\\\\@ was reset to batfile!\r\n\r\n"};
}

std::vector<std::wstring> ComDefaultChanged(const std::wstring& oldValue) {
  return {L"  * HKLM\\Software\\Classes\\.com\\\\@ has been changed to " + oldValue + L"!\r\n",
          L"  * HKLM\\Software\\Classes\\.com\\\\@ was reset to comfile!\r\n\r\n"};
}

std::vector<std::wstring> UserOverrideRemoved(const std::wstring& extension, const std::wstring& className) {
  return {L"  * HKCU\\SOFTWARE\\Classes\\" + extension + L"\\\\@ exists and is set to " + className + L"!\r\n",
          L"  * HKCU\\SOFTWARE\\Classes\\" + extension + L" has been deleted!\r\n",
          L"  * HKCU\\SOFTWARE\\Classes\\" + className + L" has been deleted!\r\n\r\n"};
}

}  // namespace reset_test
