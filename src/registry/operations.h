#pragma once
// The eight registry operations through which the repair touches the registry.
// Each opens or creates what it needs, acts, and closes every key before it
// returns; none keeps state between calls, none reports anything.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "registry/registry_access.h"

using EditFlags = std::array<std::uint8_t, 4>;

// What an operation that writes or deletes did: whether it changed the
// registry, and the Windows error of a write or deletion that failed (0 when
// none did). A key or value that is already gone is no failure. Reads as
// `changed` where only that matters.
struct RegistryChange {
  bool changed = false;
  RegistryStatus error = kRegistrySuccess;

  operator bool() const noexcept { return changed; }
};

// What a deletion of a tree that stopped part way did: the keys below its
// top that went and those that stand, by their paths below the top (the top
// itself stands). The first kTreeNamesKept of each are named; `deletedCount`
// counts every key deleted, `more` says that more keys stand than are named.
inline constexpr std::size_t kTreeNamesKept = 20;
struct TreeReport {
  std::vector<std::wstring> deleted;
  std::size_t deletedCount = 0;
  std::vector<std::wstring> left;
  bool more = false;
};

// Deletes root\path with all its subkeys, depth first. A key on the way that is
// a symbolic link is deleted as the link itself: its target is never touched.
// Not changed for a missing key, for a path that does not name a key strictly
// below the root, and when some key resisted (what was deleted before stays
// deleted; the error is that of the first call that failed, and `report`,
// when given, says what went and what stands).
RegistryChange DeleteKeyTree(RegistryAccess& registry, RegistryRoot root, const std::wstring& path,
                             TreeReport* report = nullptr);
// Writes HKLM\path's value `name` (creating the key) only when it is absent or
// its text differs, letter case included; the stored type plays no part. A
// stored value that cannot be read (one larger than 8192 bytes) is left alone,
// without an error. Changed when it wrote.
RegistryChange SetValueIfDifferent(RegistryAccess& registry, const std::wstring& path,
                                   const std::wstring& name, const std::wstring& text, ValueType type);
// Writes HKLM\path's value `name` as `text` of `type` every time.
RegistryChange SetValue(RegistryAccess& registry, const std::wstring& path, const std::wstring& name,
                        const std::wstring& text, ValueType type);
// Writes HKLM\path's "EditFlags" as the 4 bytes of REG_BINARY.
RegistryChange SetEditFlagsBinary(RegistryAccess& registry, const std::wstring& path, const EditFlags& flags);
// Writes "EditFlags" of HKLM\path, comfile's open verb, as REG_DWORD 0.
RegistryChange SetComOpenEditFlags(RegistryAccess& registry, const std::wstring& path);
// Whether root\path can be opened for reading.
[[nodiscard]] bool KeyExists(RegistryAccess& registry, RegistryRoot root, const std::wstring& path);
// The text of root\path's default value up to its first NUL, at most 4096
// characters; empty when nothing could be read.
[[nodiscard]] std::wstring ReadDefaultValue(RegistryAccess& registry, RegistryRoot root,
                                            const std::wstring& path);
// The same for the value `name`.
[[nodiscard]] std::wstring ReadTextValue(RegistryAccess& registry, RegistryRoot root, const std::wstring& path,
                                         const std::wstring& name);
// Reads root\path's value `name` whole, however long, up to 16 MiB: `text`
// its characters up to the first NUL, and `isString` whether it is a string
// (REG_SZ or REG_EXPAND_SZ); a value of another type leaves `text` empty.
// kRegistryFileNotFound for a missing key or value, kRegistryMoreData for one
// past 16 MiB, else the error of a read that failed.
[[nodiscard]] RegistryStatus ReadStringValue(RegistryAccess& registry, RegistryRoot root, const std::wstring& path,
                                             const std::wstring& name, std::wstring& text, bool& isString);
// Deletes HKLM\path's value `name`; a missing key or value is no error.
RegistryChange DeleteValue(RegistryAccess& registry, const std::wstring& path, const std::wstring& name);

// Deletes root\base\relative with all its subkeys like DeleteKeyTree, where
// `base` is opened as it stands (links in it followed) and `relative` must name
// a key strictly below it through keys that are not symbolic links: every
// component non-empty (one trailing backslash aside), none "." or "..", none
// but the last a link. A last component that is a link is deleted as the link.
// Not changed, and no error, when `relative` does not qualify or leads through
// a link; not changed when nothing was deleted.
[[nodiscard]] RegistryChange DeleteKeyTreeBelow(RegistryAccess& registry, RegistryRoot root,
                                                const std::wstring& base, const std::wstring& relative,
                                                TreeReport* report = nullptr);

// What stands at root\base\relative when it is reached through no symbolic
// link, the last key included (`relative` qualifying as for DeleteKeyTreeBelow).
enum class Reached { kMissing, kLinked, kFound };
// Opens root\base\relative for `mask` (reading included) so reached, each key
// on the way opened as itself: `linked` set, and `key` left closed, at the
// first that is a link. Else the error of the open that failed.
[[nodiscard]] RegistryStatus OpenKeyBelow(RegistryAccess& registry, RegistryRoot root, const std::wstring& base,
                                          const std::wstring& relative, std::uint32_t mask, RegistryKey& key,
                                          bool& linked);
// Reads the value `name` of root\base\relative so reached: kFound with
// `shown` its text as ReadTextValue reads it, a 4-byte REG_DWORD in decimal.
// kMissing for a missing key or value, or one that cannot be read.
[[nodiscard]] Reached ReadValueBelow(RegistryAccess& registry, RegistryRoot root, const std::wstring& base,
                                     const std::wstring& relative, const std::wstring& name, std::wstring& shown);
// Whether root\path (links followed) holds the value `name`.
[[nodiscard]] bool ValueExists(RegistryAccess& registry, RegistryRoot root, const std::wstring& path,
                               const std::wstring& name);
// Deletes the value `name` of root\base\relative reached as ReadValueBelow
// reaches it. Not changed, and no error, for a missing key or value and for a
// key reached through a link.
RegistryChange DeleteValueBelow(RegistryAccess& registry, RegistryRoot root, const std::wstring& base,
                                const std::wstring& relative, const std::wstring& name);
