#include "sweep/folder_match.h"

#include <cstdint>

namespace {

// One run of lower-case letters and the distance to their upper-case forms.
// `alternating`: only every second character of the run, starting with `first`,
// is lower case; the upper-case form sits just before it.
struct FoldRange {
  std::uint32_t first;
  std::uint32_t last;
  std::uint32_t distance;
  bool alternating;
};

constexpr FoldRange kFoldRanges[] = {
    {0x0061, 0x007A, 0x20, false},  // a-z
    {0x00E0, 0x00F6, 0x20, false},  // Latin-1 a-grave to o-diaeresis
    {0x00F8, 0x00FE, 0x20, false},  // Latin-1 o-stroke to thorn
    {0x0101, 0x012F, 0x01, true},   // Latin Extended-A, A-macron to I-ogonek
    {0x0133, 0x0137, 0x01, true},   // ij to k-cedilla
    {0x013A, 0x0148, 0x01, true},   // l-acute to n-caron
    {0x014B, 0x0177, 0x01, true},   // eng to y-circumflex
    {0x017A, 0x017E, 0x01, true},   // z-acute to z-caron
    {0x03AC, 0x03AC, 0x26, false},  // alpha with tonos
    {0x03AD, 0x03AF, 0x25, false},  // epsilon, eta, iota with tonos
    {0x03B1, 0x03C1, 0x20, false},  // alpha to rho
    {0x03C3, 0x03CB, 0x20, false},  // sigma to upsilon with dialytika
    {0x03CC, 0x03CC, 0x40, false},  // omicron with tonos
    {0x03CD, 0x03CE, 0x3F, false},  // upsilon, omega with tonos
    {0x0430, 0x044F, 0x20, false},  // Cyrillic a to ya
    {0x0450, 0x045F, 0x50, false},  // Cyrillic ie-grave to dzhe
};

constexpr std::uint32_t kLowerYDiaeresis = 0x00FF;
constexpr std::uint32_t kUpperYDiaeresis = 0x0178;

// The folders of the Windows folder from which the system's own processes run.
constexpr const wchar_t* kSystemFolders[] = {L"System32", L"SysWOW64"};

bool StartsWithFolded(std::wstring_view text, std::wstring_view prefix) noexcept {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (FoldPathCharacter(text[i]) != FoldPathCharacter(prefix[i])) return false;
  }
  return true;
}

// A path with its namespace prefix set aside: `rest` is what follows it, `unc`
// whether it names a network share (\\server\share...).
struct PlainPath {
  std::wstring_view rest;
  bool unc;
};

PlainPath SetPrefixAside(std::wstring_view path) noexcept {
  constexpr std::wstring_view kPrefixes[] = {L"\\\\?\\", L"\\\\.\\", L"\\??\\"};
  constexpr std::wstring_view kUnc = L"UNC\\";
  constexpr std::wstring_view kShare = L"\\\\";
  for (std::wstring_view prefix : kPrefixes) {
    if (StartsWithFolded(path, prefix)) {
      path.remove_prefix(prefix.size());
      if (StartsWithFolded(path, kUnc)) return {path.substr(kUnc.size()), true};
      return {path, false};
    }
  }
  if (StartsWithFolded(path, kShare)) return {path.substr(kShare.size()), true};
  return {path, false};
}

// Whether a folder lies below a drive's root (X:\name) or is a network share or
// lies below one (server\share). A drive root, a bare drive, or a relative or
// rooted folder without a drive would take in the programs of the whole system,
// its own critical ones among them.
bool LiesBelowARoot(const PlainPath& folder) noexcept {
  std::wstring_view rest = folder.rest;
  while (!rest.empty() && rest.back() == L'\\') rest.remove_suffix(1);
  if (folder.unc) {
    const std::size_t separator = rest.find(L'\\');
    return separator != std::wstring_view::npos && separator > 0 && separator + 1 < rest.size();
  }
  const wchar_t drive = FoldPathCharacter(rest.empty() ? L'\0' : rest[0]);
  return rest.size() > 3 && drive >= L'A' && drive <= L'Z' && rest[1] == L':' && rest[2] == L'\\';
}

// A folder holds `inner` when the path of `inner` with a backslash added lies
// in it; this also takes a folder or an `inner` spelled with a trailing
// backslash.
std::wstring JustInside(const std::wstring& inner) {
  return inner.back() == L'\\' ? inner : inner + L'\\';
}

}  // namespace

wchar_t FoldPathCharacter(wchar_t character) noexcept {
  const auto code = static_cast<std::uint32_t>(character);
  if (code == kLowerYDiaeresis) return static_cast<wchar_t>(kUpperYDiaeresis);
  for (const FoldRange& range : kFoldRanges) {
    if (code < range.first || code > range.last) continue;
    if (range.alternating && (code - range.first) % 2 != 0) return character;
    return static_cast<wchar_t>(code - range.distance);
  }
  return character;
}

bool PathIsInFolder(std::wstring_view path, std::wstring_view folder, bool pathComplete) noexcept {
  const PlainPath plainFolder = SetPrefixAside(folder);
  const PlainPath plainPath = SetPrefixAside(path);
  if (!LiesBelowARoot(plainFolder) || plainFolder.unc != plainPath.unc) return false;
  if (!StartsWithFolded(plainPath.rest, plainFolder.rest)) return false;

  const std::size_t end = plainFolder.rest.size();
  if (plainFolder.rest.back() == L'\\') return true;
  if (end == plainPath.rest.size()) return pathComplete;
  return plainPath.rest[end] == L'\\';
}

bool FolderHoldsSystem(std::wstring_view folder, const std::wstring& windowsFolder) {
  if (windowsFolder.empty()) return false;
  const std::wstring below = JustInside(windowsFolder);
  if (PathIsInFolder(below, folder)) return true;
  for (const wchar_t* system : kSystemFolders) {
    if (PathIsInFolder(folder, below + system)) return true;
  }
  return false;
}

bool FolderHoldsPrograms(std::wstring_view folder, const std::wstring& programsFolder) {
  if (programsFolder.empty()) return false;
  return PathIsInFolder(JustInside(programsFolder), folder) || PathIsInFolder(folder, programsFolder);
}
