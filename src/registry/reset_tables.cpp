// The association resets of every family, step by step, in the order the
// steps run. Keys are below HKLM\Software\Classes. Each family lists its runs
// at the end of this file; a run used by more than one family is written once.

#include "registry/reset_tables.h"

namespace {

constexpr ValueType kSz = ValueType::RegSz;
constexpr ValueType kExpandSz = ValueType::RegExpandSz;
constexpr const wchar_t* kDefault = L"";  // the default value's name
constexpr const wchar_t* kEmpty = L"";    // the empty text, stored as 2 bytes

// ---- Data shared by the families ----------------------------------------

constexpr const wchar_t* kCommandTemplate = LR"("%1" %*)";
constexpr const wchar_t* kFileHandler = L"{098f2470-bae0-11cd-b579-08002b30bfeb}";
constexpr const wchar_t* kBatchHandler = L"{5e941d80-bf96-11cd-b579-08002b30bfeb}";
constexpr const wchar_t* kDropHandler = L"{86C86720-42A0-1069-A2E8-08002B30309D}";
constexpr const wchar_t* kShimLayerPage = L"{513D916F-2A8E-4F51-AEAB-0CBC76FB1AF8}";
constexpr const wchar_t* kNotepadEdit = LR"(%SystemRoot%\System32\NOTEPAD.EXE %1)";
constexpr const wchar_t* kNotepadPrint = LR"(%SystemRoot%\System32\NOTEPAD.EXE /p %1)";
constexpr const wchar_t* kBatchRunAs = LR"(%SystemRoot%\System32\cmd.exe /C "%1" %*)";
constexpr const wchar_t* kRunAsUserDelegate = L"{ea72d00e-4960-42fa-ba92-7792a7944c1d}";
constexpr const wchar_t* kRunAsUserVerb = L"@shell32.dll,-50944";
constexpr const wchar_t* kRunAsUserPolicy = L"{F211AA05-D4DF-4370-A2A0-9F19C09756A7}";
constexpr const wchar_t* kCompatibilityMenu = L"{1d27f844-3a1f-4410-85ac-14651078412d}";

constexpr EditFlags kExefileFlags{0x38, 0x07, 0x00, 0x00};
constexpr EditFlags kBatfileFlags{0x30, 0x04, 0x00, 0x00};
constexpr EditFlags kComfileFlags{0x30, 0x00, 0x00, 0x00};
constexpr EditFlags kOpenVerbFlags{0x00, 0x00, 0x00, 0x00};

// ---- Row makers, one per action -----------------------------------------

constexpr ResetStep Step(StepAction action, const wchar_t* key, const wchar_t* name, ValueType type,
                         const wchar_t* data, const wchar_t* report, ForMinor minor = ForMinor::kAny) {
  return ResetStep{action, key, name, type, data, EditFlags{}, report, nullptr, minor};
}
constexpr ResetStep RecreateIfMissing(const wchar_t* key) {
  return Step(StepAction::kRecreateIfMissing, key, kDefault, kSz, kEmpty, nullptr);
}
constexpr ResetStep WriteIfRecreating(const wchar_t* key, const wchar_t* name, ValueType type, const wchar_t* data) {
  return Step(StepAction::kWriteIfRecreating, key, name, type, data, nullptr);
}
constexpr ResetStep ReportRecreated(const wchar_t* report) {
  return Step(StepAction::kReportRecreated, kEmpty, kDefault, kSz, kEmpty, report);
}
constexpr ResetStep ReadOldValue(const wchar_t* key) {
  return Step(StepAction::kReadOldValue, key, kDefault, kSz, kEmpty, nullptr);
}
constexpr ResetStep ResetDefault(const wchar_t* key, const wchar_t* data, const wchar_t* report,
                                 const wchar_t* followUp) {
  return ResetStep{StepAction::kResetDefault, key, kDefault, kSz, data, EditFlags{}, report, followUp,
                   ForMinor::kAny};
}
constexpr ResetStep Always(const wchar_t* key, const wchar_t* name, ValueType type, const wchar_t* data,
                           ForMinor minor = ForMinor::kAny) {
  return Step(StepAction::kSetAlways, key, name, type, data, nullptr, minor);
}
constexpr ResetStep IfDifferent(const wchar_t* key, const wchar_t* name, ValueType type, const wchar_t* data,
                                const wchar_t* report) {
  return Step(StepAction::kSetIfDifferent, key, name, type, data, report);
}
constexpr ResetStep FlagsAlways(const wchar_t* key, EditFlags flags) {
  return ResetStep{StepAction::kEditFlagsAlways, key, L"EditFlags", ValueType::RegBinary, kEmpty, flags,
                   nullptr, nullptr, ForMinor::kAny};
}
constexpr ResetStep ComOpenFlagsAlways() {
  return Step(StepAction::kComOpenEditFlags, LR"(comfile\shell\open)", L"EditFlags", ValueType::RegDword,
              kEmpty, nullptr);
}
constexpr ResetStep DeleteValueAlways(const wchar_t* key, const wchar_t* name) {
  return Step(StepAction::kDeleteValue, key, name, kSz, kEmpty, nullptr);
}
constexpr ResetStep DeleteTree(const wchar_t* key, const wchar_t* report) {
  return Step(StepAction::kDeleteTree, key, kDefault, kSz, kEmpty, report);
}
constexpr ResetStep RemoveOverride(const wchar_t* extension) {
  return Step(StepAction::kRemoveOverride, extension, kDefault, kSz, kEmpty, nullptr);
}

template <std::size_t N>
constexpr StepRun Run(const ResetStep (&steps)[N]) {
  return StepRun{steps, N};
}

// ---- Rows used by more than one run --------------------------------------

constexpr ResetStep kExefileDropHandler = Always(LR"(exefile\shellex\DropHandler)", kDefault, kSz, kDropHandler);
constexpr ResetStep kExefileShimLayer =
    Always(LR"(exefile\shellex\PropertySheetHandlers\ShimLayer Property Page)", kDefault, kSz, kShimLayerPage);
constexpr ResetStep kBatfileDropHandler = Always(LR"(batfile\shellex\DropHandler)", kDefault, kSz, kDropHandler);
constexpr ResetStep kBatfileShimLayer =
    Always(LR"(batfile\shellex\PropertySheetHandlers\ShimLayer Property Page)", kDefault, kSz, kShimLayerPage);
constexpr ResetStep kBatfileFlagsRow = FlagsAlways(L"batfile", kBatfileFlags);
constexpr ResetStep kBatfileOpenFlagsRow = FlagsAlways(LR"(batfile\shell\open)", kOpenVerbFlags);

constexpr ResetStep kCheckExefileOpen =
    IfDifferent(LR"(exefile\shell\open\command)", kDefault, kSz, kCommandTemplate,
                LR"(  * HKLM\Software\Classes\exefile\shell\open\command\\@ was changed. It was reset to "%1" %*!)"
                L"\r\n\r\n");
constexpr ResetStep kCheckExefileOpenIsolated = IfDifferent(
    LR"(exefile\shell\open\command)", L"IsolatedCommand", kSz, kCommandTemplate,
    LR"(  * HKLM\Software\Classes\exefile\shell\open\command\\IsolatedCommand was changed. It was reset to "%1" %*!)"
    L"\r\n\r\n");
constexpr ResetStep kCheckExefileRunAs =
    IfDifferent(LR"(exefile\shell\runas\command)", kDefault, kSz, kCommandTemplate,
                LR"(  * HKLM\Software\Classes\exefile\shell\runas\command\\@ was changed. It was reset to "%1" %*!)"
                L"\r\n\r\n");
constexpr ResetStep kCheckExefileRunAsIsolated = IfDifferent(
    LR"(exefile\shell\runas\command)", L"IsolatedCommand", kSz, kCommandTemplate,
    LR"(  * HKLM\Software\Classes\exefile\shell\runas\command\\IsolatedCommand was changed. It was reset to "%1" %*!)"
    L"\r\n\r\n");

// The batch-file command lines name the class right after the root.
constexpr ResetStep kCheckBatfileEdit =
    IfDifferent(LR"(batfile\shell\edit\command)", kDefault, kExpandSz, kNotepadEdit,
                LR"(  * HKLM\batfile\shell\edit\command\\@ was changed.)"
                L"\r\n"
                LR"(    It was reset to %SystemRoot%\System32\NOTEPAD.EXE %1!)"
                L"\r\n\r\n");
constexpr ResetStep kCheckBatfileOpen =
    IfDifferent(LR"(batfile\shell\open\command)", kDefault, kSz, kCommandTemplate,
                LR"(  * HKLM\batfile\shell\open\command\\@ was changed.)"
                L"\r\n"
                LR"(    It was reset to "%1" %*!)"
                L"\r\n\r\n");
constexpr ResetStep kCheckBatfilePrint =
    IfDifferent(LR"(batfile\shell\print\command)", kDefault, kExpandSz, kNotepadPrint,
                LR"(  * HKLM\batfile\shell\print\command\\@ was changed.)"
                L"\r\n"
                LR"(    It was reset to %SystemRoot%\System32\NOTEPAD.EXE /p %1!)"
                L"\r\n\r\n");
constexpr ResetStep kCheckBatfileRunAs =
    IfDifferent(LR"(batfile\shell\runas\command)", kDefault, kExpandSz, kBatchRunAs,
                LR"(  * HKLM\batfile\shell\runas\command\\@ was changed.)"
                L"\r\n"
                LR"(    It was reset to %SystemRoot%\System32\cmd.exe /C "%1" %*!)"
                L"\r\n\r\n");

constexpr const wchar_t* kBatfileRecreatedLine =
    LR"(  * HKLM\Software\Classes\batfile did not exist and was recreated!)"
    L"\r\n\r\n";
constexpr const wchar_t* kExefileRecreatedLine =
    LR"(  * HKLM\Software\Classes\exefile did not exist and was recreated!)"
    L"\r\n\r\n";

// ---- .exe ----------------------------------------------------------------

// The extension key, the same in every family.
constexpr ResetStep kExeExtension[] = {
    RecreateIfMissing(L".exe"),
    WriteIfRecreating(L".exe", kDefault, kSz, L"exefile"),
    ReportRecreated(LR"(  * HKLM\Software\Classes\.exe did not exist and was recreated!)"
                    L"\r\n\r\n"),
    Always(LR"(.exe\PersistentHandler)", kDefault, kSz, kFileHandler),
    Always(L".exe", L"Content Type", kSz, L"application/x-msdownload"),
    ReadOldValue(L".exe"),
    ResetDefault(L".exe", L"exefile", LR"(  * HKLM\Software\Classes\.exe\\@ has been changed to )",
                 LR"(  * HKLM\Software\Classes\.exe\\@ was reset to exefile!)"
                 L"\r\n\r\n"),
    DeleteTree(LR"(.exe\shell)", LR"(  * HKLM\Software\Classes\.exe\shell found and deleted!)"
                                 L"\r\n\r\n"),
    DeleteTree(LR"(.exe\DefaultIcon)", LR"(  * HKLM\Software\Classes\.exe\DefaultIcon found and deleted!)"
                                       L"\r\n\r\n"),
};

constexpr ResetStep kXpExefileRecreation[] = {
    RecreateIfMissing(L"exefile"),
    WriteIfRecreating(LR"(exefile\shell\open\command)", kDefault, kSz, kCommandTemplate),
    WriteIfRecreating(LR"(exefile\shell\runas\command)", kDefault, kSz, kCommandTemplate),
    ReportRecreated(kExefileRecreatedLine),
};

// Vista and later also carry the commands' IsolatedCommand values.
constexpr ResetStep kExefileRecreation[] = {
    RecreateIfMissing(L"exefile"),
    WriteIfRecreating(LR"(exefile\shell\open\command)", kDefault, kSz, kCommandTemplate),
    WriteIfRecreating(LR"(exefile\shell\open\command)", L"IsolatedCommand", kSz, kCommandTemplate),
    WriteIfRecreating(LR"(exefile\shell\runas\command)", kDefault, kSz, kCommandTemplate),
    WriteIfRecreating(LR"(exefile\shell\runas\command)", L"IsolatedCommand", kSz, kCommandTemplate),
    ReportRecreated(kExefileRecreatedLine),
};

// The class's description and flags, the same in every family.
constexpr ResetStep kExefileClass[] = {
    Always(L"exefile", kDefault, kSz, L"Application"),
    FlagsAlways(L"exefile", kExefileFlags),
    FlagsAlways(LR"(exefile\shell\open)", kOpenVerbFlags),
};

constexpr ResetStep kXpExefileBody[] = {
    Always(LR"(exefile\DefaultIcon)", kDefault, kSz, L"%1"),
    Always(L"exefile", L"TileInfo", kSz, L"prop:FileDescription;Company;FileVersion"),
    Always(L"exefile", L"InfoTip", kSz, L"prop:FileDescription;Company;FileVersion;Create;Size"),
    kExefileDropHandler,
    Always(LR"(exefile\shellex\PropertySheetHandlers\{B41DB860-8EE4-11D2-9906-E49FADC173CA})", kDefault, kSz,
           kEmpty, ForMinor::kOne),
    kExefileShimLayer,
    DeleteValueAlways(LR"(exefile\shell\open\command)", L"IsolatedCommand"),
    DeleteValueAlways(LR"(exefile\shell\runas\command)", L"IsolatedCommand"),
    DeleteValueAlways(L"exefile", L"Content Type"),
    kCheckExefileOpen,
    kCheckExefileRunAs,
};

constexpr ResetStep kVistaExefileBody[] = {
    Always(LR"(exefile\DefaultIcon)", kDefault, kSz, L"%1"),
    Always(L"exefile", L"FriendlyTypeName", kExpandSz, LR"(@%SystemRoot%\System32\shell32.dll,-10156)"),
    kExefileDropHandler,
    kExefileShimLayer,
};

// Windows 7 and 8 write the friendly name before the icon.
constexpr ResetStep kWin7ExefileBody[] = {
    Always(L"exefile", L"FriendlyTypeName", kExpandSz, LR"(@%SystemRoot%\System32\shell32.dll,-10156)"),
    Always(LR"(exefile\DefaultIcon)", kDefault, kSz, L"%1"),
    Always(LR"(exefile\shell\runas)", L"HasLUAShield", kSz, kEmpty),
    Always(LR"(exefile\shell\runasuser\command)", L"DelegateExecute", kSz, kRunAsUserDelegate),
    Always(LR"(exefile\shell\runasuser)", kDefault, kSz, kRunAsUserVerb),
    Always(LR"(exefile\shell\runasuser)", L"Extended", kSz, kEmpty),
    Always(LR"(exefile\shell\runasuser)", L"SuppressionPolicyEx", kSz, kRunAsUserPolicy),
    Always(LR"(exefile\shellex\ContextMenuHandlers)", kDefault, kSz, L"Compatibility"),
    Always(LR"(exefile\shellex\ContextMenuHandlers\Compatibility)", kDefault, kSz, kCompatibilityMenu),
    kExefileDropHandler,
    kExefileShimLayer,
};

constexpr ResetStep kExefileCommands[] = {
    kCheckExefileOpen,
    kCheckExefileOpenIsolated,
    kCheckExefileRunAs,
    kCheckExefileRunAsIsolated,
};

constexpr ResetStep kExeOverride[] = {RemoveOverride(L".exe")};

// ---- .bat ----------------------------------------------------------------

// The extension key, the same in every family. Its report says "was changed
// to" where the other two extensions say "has been changed to".
constexpr ResetStep kBatExtension[] = {
    RecreateIfMissing(L".bat"),
    WriteIfRecreating(L".bat", kDefault, kSz, L"batfile"),
    ReportRecreated(LR"(  * HKLM\Software\Classes\.bat did not exist and was recreated!)"
                    L"\r\n\r\n"),
    ReadOldValue(L".bat"),
    ResetDefault(L".bat", L"batfile", LR"(  * HKLM\Software\Classes\.bat\\@ was changed to )",
                 LR"(  * HKLM\Software\Classes\.bat\\@ was reset to batfile!)"
                 L"\r\n\r\n"),
    Always(LR"(.bat\PersistentHandler\)", kDefault, kSz, kBatchHandler),
};

constexpr ResetStep kXpBatfile[] = {
    RecreateIfMissing(L"batfile"),
    WriteIfRecreating(LR"(batfile\shell\edit\command)", kDefault, kExpandSz, kNotepadEdit),
    WriteIfRecreating(LR"(batfile\shell\open\command)", kDefault, kSz, kCommandTemplate),
    WriteIfRecreating(LR"(batfile\shell\print\command)", kDefault, kExpandSz, kNotepadPrint),
    ReportRecreated(kBatfileRecreatedLine),
    Always(L"batfile", kDefault, kSz, L"Windows Batch File", ForMinor::kTwo),
    Always(L"batfile", kDefault, kSz, L"MS-DOS Batch File", ForMinor::kNotTwo),
    kBatfileFlagsRow,
    kBatfileOpenFlagsRow,
    kCheckBatfileEdit,
    kCheckBatfileOpen,
    kCheckBatfilePrint,
    Always(LR"(batfile\DefaultIcon)", kDefault, kExpandSz, LR"(%SystemRoot%\System32\shell32.dll,-153)"),
    kBatfileDropHandler,
    kBatfileShimLayer,
};

// Vista and later: the recreation (with a runas command), the description and
// the flags of the class.
constexpr ResetStep kBatfileClass[] = {
    RecreateIfMissing(L"batfile"),
    WriteIfRecreating(LR"(batfile\shell\edit\command)", kDefault, kExpandSz, kNotepadEdit),
    WriteIfRecreating(LR"(batfile\shell\open\command)", kDefault, kSz, kCommandTemplate),
    WriteIfRecreating(LR"(batfile\shell\print\command)", kDefault, kExpandSz, kNotepadPrint),
    WriteIfRecreating(LR"(batfile\shell\runas\command)", kDefault, kExpandSz, kBatchRunAs),
    ReportRecreated(kBatfileRecreatedLine),
    Always(L"batfile", kDefault, kSz, L"Windows Batch File"),
    kBatfileFlagsRow,
    kBatfileOpenFlagsRow,
};

constexpr ResetStep kVistaBatfileBody[] = {
    kCheckBatfileEdit,
    kCheckBatfileOpen,
    kCheckBatfilePrint,
    kCheckBatfileRunAs,
    Always(LR"(batfile\shell\print)", kDefault, kSz, kEmpty),
    Always(L"batfile", L"FriendlyTypeName", kExpandSz, LR"(@%SystemRoot%\System32\acppage.dll,-6002)"),
    Always(LR"(batfile\DefaultIcon)", kDefault, kExpandSz, LR"(%SystemRoot%\System32\imageres.dll,-68)"),
    kBatfileDropHandler,
    kBatfileShimLayer,
};

// Windows 7 and 8 write the friendly name before the command checks and leave
// the print verb's own default value alone.
constexpr ResetStep kWin7BatfileBody[] = {
    Always(L"batfile", L"FriendlyTypeName", kExpandSz, LR"(@%SystemRoot%\System32\acppage.dll,-6002)"),
    kCheckBatfileEdit,
    kCheckBatfileOpen,
    kCheckBatfilePrint,
    kCheckBatfileRunAs,
    Always(LR"(batfile\DefaultIcon)", kDefault, kExpandSz, LR"(%SystemRoot%\System32\imageres.dll,-68)"),
    Always(LR"(batfile\shell\runas)", L"HasLUAShield", kSz, kEmpty),
    Always(LR"(batfile\shell\runasuser\command)", L"DelegateExecute", kSz, kRunAsUserDelegate),
    Always(LR"(batfile\shell\runasuser)", kDefault, kSz, kRunAsUserVerb),
    Always(LR"(batfile\shell\runasuser)", L"Extended", kSz, kEmpty),
    Always(LR"(batfile\shell\runasuser)", L"SuppressionPolicyEx", kSz, kRunAsUserPolicy),
    Always(LR"(batfile\shellex\{8895b1c6-b41f-4c1c-a562-0d564250836f})", kDefault, kSz,
           L"{1531d583-8375-4d3f-b5fb-d23bbd169f22}"),
    Always(LR"(batfile\shellex\ContextMenuHandlers)", kDefault, kSz, L"Compatibility"),
    Always(LR"(batfile\shellex\ContextMenuHandlers\Compatibility)", kDefault, kSz, kCompatibilityMenu),
    kBatfileDropHandler,
    kBatfileShimLayer,
};

constexpr ResetStep kBatOverride[] = {RemoveOverride(L".bat")};

// ---- .com ----------------------------------------------------------------

// The extension key and the recreation of the class, the same in every family.
constexpr ResetStep kComExtension[] = {
    RecreateIfMissing(L".com"),
    WriteIfRecreating(L".com", kDefault, kSz, L"comfile"),
    ReportRecreated(LR"(  * HKLM\Software\Classes\.com did not exist and was recreated!)"
                    L"\r\n\r\n"),
    ReadOldValue(L".com"),
    ResetDefault(L".com", L"comfile", LR"(  * HKLM\Software\Classes\.com\\@ has been changed to )",
                 LR"(  * HKLM\Software\Classes\.com\\@ was reset to comfile!)"
                 L"\r\n\r\n"),
    Always(LR"(.com\PersistentHandler\)", kDefault, kSz, kFileHandler),
    RecreateIfMissing(L"comfile"),
    WriteIfRecreating(LR"(comfile\shell\open\command)", kDefault, kSz, kCommandTemplate),
    ReportRecreated(LR"(  * HKLM\Software\Classes\comfile did not exist and was recreated!)"
                    L"\r\n\r\n"),
};

constexpr ResetStep kXpComfileBody[] = {
    Always(L"comfile", kDefault, kSz, L"Application", ForMinor::kTwo),
    Always(L"comfile", kDefault, kSz, L"MS-DOS Application", ForMinor::kNotTwo),
    FlagsAlways(L"comfile", kComfileFlags),
    FlagsAlways(LR"(comfile\shell\open)", kOpenVerbFlags),
};

constexpr ResetStep kVistaComfileBody[] = {
    Always(L"comfile", kDefault, kSz, L"MS-DOS Application"),
    FlagsAlways(L"comfile", kComfileFlags),
    Always(L"comfile", L"FriendlyTypeName", kExpandSz, LR"(@%SystemRoot%\System32\shell32.dll,-8464)"),
    ComOpenFlagsAlways(),
};

// Windows 7 and 8 set the open verb's flags before the friendly name.
constexpr ResetStep kWin7ComfileBody[] = {
    Always(L"comfile", kDefault, kSz, L"MS-DOS Application"),
    FlagsAlways(L"comfile", kComfileFlags),
    ComOpenFlagsAlways(),
    Always(L"comfile", L"FriendlyTypeName", kExpandSz, LR"(@%SystemRoot%\System32\shell32.dll,-8464)"),
};

// The icon, the drop handler and the open command, the same in every family.
constexpr ResetStep kComfileTail[] = {
    Always(LR"(comfile\DefaultIcon)", kDefault, kExpandSz, LR"(%SystemRoot%\System32\shell32.dll,2)"),
    Always(LR"(comfile\shellex\DropHandler)", kDefault, kSz, kDropHandler),
    IfDifferent(LR"(comfile\shell\open\command)", kDefault, kSz, kCommandTemplate,
                LR"(  * HKLM\Software\Classes\comfile\shell\open\command\\@ was changed.)"
                L"\r\n"
                LR"(    It was reset to "%1" %*!)"
                L"\r\n\r\n"),
};

constexpr ResetStep kComOverride[] = {RemoveOverride(L".com")};

// ---- Windows 8: the pin-to-start verb of exefile --------------------------

constexpr ResetStep kPinToStartSteps[] = {
    Always(LR"(exefile\shell\pintostartscreen\command)", L"DelegateExecute", kSz,
           L"{470C0EBD-5D73-4d58-9CED-E91E22E23282}"),
    Always(LR"(exefile\shell\pintostartscreen)", L"MUIVerb", kSz, L"@shell32.dll,-51201"),
    Always(LR"(exefile\shell\pintostartscreen)", L"NeverDefault", kSz, kEmpty),
    Always(LR"(exefile\shell\pintostartscreen)", L"Description", kSz, L"@shell32.dll,-51202"),
    Always(LR"(exefile\shell\pintostartscreen)", L"MultiSelectModel", kSz, L"Single"),
};

// ---- Windows 8.1 and later: the Pin to Start handler of exefile ----------

constexpr wchar_t kPinToStartHandlerClass[] = L"{470C0EBD-5D73-4d58-9CED-E91E22E23282}";

constexpr ResetStep kPinToStartHandlerSteps[] = {
    IfDifferent(LR"(exefile\shellex\ContextMenuHandlers\PintoStartScreen)", kDefault, kSz, kPinToStartHandlerClass,
                LR"(  * HKLM\Software\Classes\exefile\shellex\ContextMenuHandlers\PintoStartScreen\\@ was changed. )"
                LR"(It was reset to {470C0EBD-5D73-4d58-9CED-E91E22E23282}!)"
                L"\r\n\r\n"),
};

// ---- The routines --------------------------------------------------------

constexpr StepRun kXpRuns[] = {
    Run(kExeExtension), Run(kXpExefileRecreation), Run(kExefileClass), Run(kXpExefileBody), Run(kExeOverride),
    Run(kBatExtension), Run(kXpBatfile),           Run(kBatOverride),
    Run(kComExtension), Run(kXpComfileBody),       Run(kComfileTail),  Run(kComOverride),
};

constexpr StepRun kVistaRuns[] = {
    Run(kExeExtension), Run(kExefileRecreation), Run(kExefileClass),     Run(kVistaExefileBody),
    Run(kExefileCommands), Run(kExeOverride),
    Run(kBatExtension), Run(kBatfileClass),      Run(kVistaBatfileBody), Run(kBatOverride),
    Run(kComExtension), Run(kVistaComfileBody),  Run(kComfileTail),      Run(kComOverride),
};

constexpr StepRun kWin7Win8Runs[] = {
    Run(kExeExtension), Run(kExefileRecreation), Run(kExefileClass),    Run(kWin7ExefileBody),
    Run(kExefileCommands), Run(kExeOverride),
    Run(kBatExtension), Run(kBatfileClass), Run(kWin7BatfileBody), Run(kBatOverride),
    Run(kComExtension), Run(kWin7ComfileBody),   Run(kComfileTail),     Run(kComOverride),
};

constexpr StepRun kPinToStartRuns[] = {Run(kPinToStartSteps)};
constexpr StepRun kPinToStartHandlerRuns[] = {Run(kPinToStartHandlerSteps)};

template <std::size_t N>
constexpr ResetRoutine Routine(const StepRun (&runs)[N]) {
  return ResetRoutine{runs, N};
}

}  // namespace

const ResetRoutine kXpRoutine = Routine(kXpRuns);
const ResetRoutine kVistaRoutine = Routine(kVistaRuns);
const ResetRoutine kWin7Win8Routine = Routine(kWin7Win8Runs);
const ResetRoutine kPinToStartVerb = Routine(kPinToStartRuns);
const ResetRoutine kPinToStartHandler = Routine(kPinToStartHandlerRuns);
