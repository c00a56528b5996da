#include "sweep/folder_match.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct FoldCase {
  wchar_t character;
  wchar_t folded;
};

// Both ends of every run, the characters between runs that must stay as they
// are, and the irregular pairs.
constexpr FoldCase kFoldCases[] = {
    {L'a', L'A'},         {L'z', L'Z'},         {L'A', L'A'},         {L'@', L'@'},
    {L'[', L'['},         {L'`', L'`'},         {L'{', L'{'},         {L'\\', L'\\'},
    {L'\u00E0', L'\u00C0'}, {L'\u00F6', L'\u00D6'}, {L'\u00F7', L'\u00F7'}, {L'\u00F8', L'\u00D8'},
    {L'\u00FE', L'\u00DE'}, {L'\u00DF', L'\u00DF'}, {L'\u00FF', L'\u0178'}, {L'\u00B5', L'\u00B5'},
    {L'\u0100', L'\u0100'}, {L'\u0101', L'\u0100'}, {L'\u012F', L'\u012E'}, {L'\u0130', L'\u0130'},
    {L'\u0131', L'\u0131'}, {L'\u0133', L'\u0132'}, {L'\u0137', L'\u0136'}, {L'\u0138', L'\u0138'},
    {L'\u0139', L'\u0139'}, {L'\u013A', L'\u0139'}, {L'\u0148', L'\u0147'}, {L'\u0149', L'\u0149'},
    {L'\u014B', L'\u014A'}, {L'\u0177', L'\u0176'}, {L'\u0178', L'\u0178'}, {L'\u017A', L'\u0179'},
    {L'\u017E', L'\u017D'}, {L'\u017F', L'\u017F'}, {L'\u0180', L'\u0180'}, {L'\u03AC', L'\u0386'},
    {L'\u03AD', L'\u0388'}, {L'\u03AF', L'\u038A'}, {L'\u03B1', L'\u0391'}, {L'\u03C1', L'\u03A1'},
    {L'\u03C2', L'\u03C2'}, {L'\u03C3', L'\u03A3'}, {L'\u03CB', L'\u03AB'}, {L'\u03CC', L'\u038C'},
    {L'\u03CD', L'\u038E'}, {L'\u03CE', L'\u038F'}, {L'\u0430', L'\u0410'}, {L'\u044F', L'\u042F'},
    {L'\u0450', L'\u0400'}, {L'\u045F', L'\u040F'}, {L'\u0460', L'\u0460'}, {L'\uFFFF', L'\uFFFF'},
};

TEST(FoldPathCharacter, FoldsLowerCaseLettersOnly) {
  for (const FoldCase& c : kFoldCases) {
    EXPECT_EQ(static_cast<unsigned>(FoldPathCharacter(c.character)), static_cast<unsigned>(c.folded))
        << "U+" << std::hex << static_cast<unsigned>(c.character);
  }
}

struct MatchCase {
  const wchar_t* folder;
  const wchar_t* path;
  bool expected;
  const char* why;
};

constexpr MatchCase kMatchCases[] = {
    // Folder boundary.
    {L"C:\\Users\\Ann", L"C:\\Users\\Ann\\x.exe", true, "inside"},
    {L"C:\\Users\\Ann", L"C:\\Users\\Ann\\AppData\\Local\\Temp\\x.exe", true, "deep inside"},
    {L"C:\\Users\\Ann", L"C:\\Users\\Anna\\x.exe", false, "sibling whose name extends the folder's"},
    {L"C:\\Users\\Ann", L"C:\\Users\\Ann.old\\x.exe", false, "sibling with a suffix"},
    {L"C:\\Users\\Ann", L"C:\\Users\\Ann", true, "path ends with the folder"},
    {L"C:\\Users\\Ann", L"C:\\Users", false, "path shorter than the folder"},
    {L"C:\\Users\\Ann", L"C:\\Users\\Bob\\x.exe", false, "other folder"},
    {L"C:\\Users\\Ann\\", L"C:\\Users\\Ann\\x.exe", true, "folder with a trailing backslash"},
    {L"C:\\Users\\Ann\\", L"C:\\Users\\Anna\\x.exe", false, "trailing backslash, sibling"},
    {L"C:\\Users\\Ann\\", L"C:\\Users\\Ann", false, "trailing backslash, path without it"},
    // Letter case.
    {L"C:\\Users\\Ann\\AppData\\Local\\Temp", L"c:\\users\\ann\\appdata\\local\\temp\\x.exe", true,
     "path in lower case"},
    {L"c:\\users\\ann", L"C:\\USERS\\ANN\\X.EXE", true, "folder in lower case"},
    {L"C:\\Users\\Jos\u00E9", L"C:\\USERS\\JOS\u00C9\\x.exe", true, "Latin-1 letter"},
    {L"C:\\Users\\\u0141ukasz", L"C:\\users\\\u0142ukasz\\x.exe", true, "Latin Extended-A letter"},
    {L"C:\\Users\\\u0418\u0432\u0430\u043D", L"C:\\Users\\\u0438\u0412\u0410\u041D\\x.exe", true,
     "Cyrillic letters"},
    {L"C:\\Users\\\u039D\u03AF\u03BA\u03BF\u03C3", L"C:\\Users\\\u039D\u038A\u039A\u039F\u03A3\\x.exe",
     true, "Greek letters"},
    {L"C:\\Users\\Stra\u00DFe", L"C:\\Users\\STRASSE\\x.exe", false, "sharp s is no double s"},
    {L"C:\\Users\\\u0131lker", L"C:\\Users\\Ilker\\x.exe", false, "dotless i stands for itself"},
    // Folders that would take in the whole system.
    {L"", L"C:\\Users\\Ann\\x.exe", false, "empty folder"},
    {L"", L"", false, "empty folder and path"},
    {L"\\\\?\\", L"\\\\?\\C:\\x.exe", false, "folder that is only a prefix"},
    {L"\\\\", L"\\\\server\\share\\x.exe", false, "folder that is only a share prefix"},
    {L"C:\\", L"C:\\Windows\\system32\\csrss.exe", false, "drive root"},
    {L"C:", L"C:\\Windows\\system32\\csrss.exe", false, "bare drive"},
    {L"c:\\\\", L"C:\\Windows\\system32\\csrss.exe", false, "drive root, two backslashes"},
    {L"\\\\?\\C:\\", L"C:\\Windows\\system32\\csrss.exe", false, "drive root with a prefix"},
    {L"\\", L"\\SystemRoot\\System32\\smss.exe", false, "root of the current drive"},
    {L"\\\\srv", L"\\\\srv\\share\\x.exe", false, "server without a share"},
    {L"\\\\srv\\share", L"\\\\srv\\share\\x.exe", true, "share"},
    {L"1:\\Temp", L"1:\\Temp\\x.exe", false, "no drive letter"},
    {L"z:\\Temp", L"Z:\\TEMP\\x.exe", true, "drive letter in other case"},
    // Where the folder stands.
    {L"C:\\Users\\Ann", L"D:\\Users\\Ann\\x.exe", false, "other drive"},
    {L"C:\\Users\\Ann", L"D:\\backup\\C:\\Users\\Ann\\x.exe", false, "folder text in the middle"},
    {L"Temp", L"D:\\Data\\Temp\\x.exe", false, "relative folder never matches mid-path"},
    {L"\\Temp", L"C:\\Temp\\x.exe", false, "rooted folder without a drive"},
    {L"C:\\Users\\Ann", L"\\\\?\\C:\\Users\\Ann\\x.exe", true, "long-path prefix"},
    {L"C:\\Users\\Ann", L"\\\\.\\C:\\Users\\Ann\\x.exe", true, "device prefix"},
    {L"C:\\Users\\Ann", L"\\??\\C:\\Users\\Ann\\x.exe", true, "object manager prefix"},
    {L"C:\\Users\\Ann", L"\\\\?\\C:\\Users\\Anna\\x.exe", false, "prefix, sibling"},
    {L"\\\\?\\C:\\Users\\Ann", L"C:\\Users\\Ann\\x.exe", true, "prefix on the folder"},
    {L"\\\\srv\\share\\temp", L"\\\\srv\\share\\temp\\x.exe", true, "network share"},
    {L"\\\\srv\\share\\temp", L"\\\\?\\unc\\SRV\\share\\temp\\x.exe", true, "network share, UNC prefix"},
    {L"\\\\srv\\share\\temp", L"\\\\srv\\share\\temp2\\x.exe", false, "network share, sibling"},
    {L"\\\\srv\\share", L"C:\\srv\\share\\x.exe", false, "share against a drive path"},
    {L"C:\\srv\\share", L"\\\\?\\UNC\\C:\\srv\\share\\x.exe", false, "drive path against a share"},
};

TEST(PathIsInFolder, MatchesWholeFoldersFromThePathStartWithoutRegardToCase) {
  for (const MatchCase& c : kMatchCases) {
    EXPECT_EQ(PathIsInFolder(c.path, c.folder), c.expected) << c.why;
  }
}

// Folders that hold the system, against the Windows folder C:\Windows unless
// a row names another.
struct SystemFolderCase {
  const wchar_t* folder;
  bool refused;
  const char* why;
  const wchar_t* windows = L"C:\\Windows";
};

const SystemFolderCase kSystemFolderCases[] = {
    {L"C:\\Windows", true, "the Windows folder"},
    {L"c:\\WINDOWS\\", true, "the Windows folder, other case, trailing backslash"},
    {L"\\\\?\\C:\\Windows", true, "the Windows folder with a prefix"},
    {L"C:\\Windows\\System32", true, "System32"},
    {L"C:\\Windows\\system32\\drivers", true, "inside System32"},
    {L"C:\\Windows\\SysWOW64\\", true, "SysWOW64"},
    {L"C:\\OS", true, "a folder above the Windows folder", L"C:\\OS\\Windows"},
    {L"C:\\", false, "a drive root, which matches nothing anyway"},
    {L"C:\\Windows\\Temp", false, "the Windows folder's Temp"},
    {L"C:\\Windows\\System32x", false, "a sibling of System32"},
    {L"C:\\Windows.old", false, "a sibling of the Windows folder"},
    {L"D:\\Windows", false, "another drive"},
    {L"C:\\Users\\Ann\\AppData\\Local\\Temp", false, "the user's Temp"},
    {L"C:\\Windows", false, "the Windows folder unknown", L""},
};

TEST(FolderHoldsSystem, RefusesTheWindowsFolderWhatHoldsItAndItsSystemFolders) {
  for (const SystemFolderCase& c : kSystemFolderCases) {
    EXPECT_EQ(FolderHoldsSystem(c.folder, c.windows), c.refused) << c.why;
  }
}

TEST(PathIsInFolder, TheEndOfAPathThatMayBeCutIsNoBoundary) {
  EXPECT_FALSE(PathIsInFolder(L"C:\\Users\\Ann", L"C:\\Users\\Ann", false));
  EXPECT_TRUE(PathIsInFolder(L"C:\\Users\\Ann\\x", L"C:\\Users\\Ann", false));
  EXPECT_TRUE(PathIsInFolder(L"C:\\Users\\Ann\\", L"C:\\Users\\Ann\\", false));
}

}  // namespace
