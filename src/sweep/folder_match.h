#pragma once
// Whether a program's path lies inside a watched folder.

#include <cstddef>
#include <string>
#include <string_view>

// The upper-case form of one path character, as the comparison of paths uses
// it. Folded: the Basic Latin letters, the Latin-1 letters (with y-diaeresis),
// Latin Extended-A (but for dotted and dotless i and the long s, whose case
// pairs are not one-to-one), the basic Greek letters with tonos (but for the
// final sigma) and the basic Cyrillic letters. Every other character stands
// for itself, so two paths that differ there never compare equal.
[[nodiscard]] wchar_t FoldPathCharacter(wchar_t character) noexcept;

// True when `path` names something inside `folder`, or the folder itself:
// the path begins with the folder's text, compared without regard to letter
// case, and the text ends at a folder boundary (a backslash follows it, the
// path ends there, or the folder's text itself ends in a backslash). A leading
// \\?\, \\.\ or \??\ and the UNC forms \\?\UNC\ and \\ are set aside on both
// sides first, so the same folder matches in either spelling. A folder that
// does not lie below a drive's root or name a network share (an empty one, a
// drive root, a relative one) matches nothing.
// `pathComplete` is false when the path may have been cut to fit a buffer: its
// end is then no folder boundary.
[[nodiscard]] bool PathIsInFolder(std::wstring_view path, std::wstring_view folder,
                                  bool pathComplete = true) noexcept;

// True when a watched folder would take in the system's own programs: it is
// the Windows folder, holds it, or lies in its System32 or SysWOW64 folder,
// compared as PathIsInFolder compares. The Windows folder's other folders
// (its Temp among them) are not refused. An empty `windowsFolder` refuses
// nothing.
[[nodiscard]] bool FolderHoldsSystem(std::wstring_view folder, const std::wstring& windowsFolder);

// True when a watched folder would take in installed programs: it is the
// folder of installed programs, holds it, or lies anywhere in it, compared as
// PathIsInFolder compares. An empty `programsFolder` refuses nothing.
[[nodiscard]] bool FolderHoldsPrograms(std::wstring_view folder, const std::wstring& programsFolder);
