#pragma once
// The registry as the repair sees it, keeping the way back: before a key is
// created, a value written or deleted, or a key deleted, what stood there
// before the run is written as .reg text (what regedit and `reg import` take)
// to an undo sink, and flushed, and only then is the change made. Importing
// the records in their order puts every touched key and value back, type and
// bytes, however often the run touched it: each item is recorded once, as it
// was before the run.
//
// Items are known by the names they are reached by: a key reached through a
// symbolic link is recorded under the link's name, which leads to it again
// when the file is imported. A link the run deletes cannot be written in this
// format: a comment names it.
//
// A change whose earlier state cannot be read (the value, a key on the way of
// a creation that can be neither opened nor found, a key's values before its
// deletion) is not made: the call answers the error of that read. Nor is a
// change whose record the sink could not take, nor any change after it
// (ERROR_WRITE_FAULT), and Complete() says so.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "registry/registry_access.h"

// Where the undo records go, in order.
class UndoSink {
 public:
  virtual ~UndoSink() = default;
  // Writes whole records (lines ending in CR LF) and flushes them through;
  // false when that fails.
  [[nodiscard]] virtual bool Write(const std::wstring& records) noexcept = 0;
};

// The first line of a .reg file and the blank line after it.
inline constexpr wchar_t kRegFileHeader[] = L"Windows Registry Editor Version 5.00\r\n\r\n";

class UndoRegistry final : public RegistryAccess {
 public:
  // HKLM is named HKEY_LOCAL_MACHINE in the records, HKCU HKEY_CURRENT_USER.
  UndoRegistry(RegistryAccess& registry, UndoSink& sink);

  // Keys at root\below and below it are named `name`\... in the records (the
  // longest `below` that matches wins); a later call for the same root and
  // `below` replaces the name. Known items stay known by the names they had.
  void NameKeys(RegistryRoot root, const std::wstring& below, const std::wstring& name);

  // Whether a record reached the sink: the run went on to change something.
  [[nodiscard]] bool Changed() const noexcept { return changed_; }
  // Whether every record due reached the sink.
  [[nodiscard]] bool Complete() const noexcept { return complete_; }
  // The full names of the keys changed since the last call whose change no
  // record could name (a name of the key or of a value of it holds CR, LF or
  // NUL): only a copy of the hive puts those back. The list is emptied.
  [[nodiscard]] std::vector<std::wstring> TakeUnwritable();

  [[nodiscard]] RegistryStatus OpenKey(Key parent, const std::wstring& path, std::uint32_t options,
                                       std::uint32_t mask, Key& key) noexcept override;
  [[nodiscard]] RegistryStatus CreateKey(Key parent, const std::wstring& path, std::uint32_t options,
                                         std::uint32_t mask, Key& key) noexcept override;
  [[nodiscard]] RegistryStatus QueryValue(Key key, const std::wstring& name, ValueType& type,
                                          std::uint8_t* buffer, std::uint32_t& size) noexcept override;
  [[nodiscard]] RegistryStatus SetValue(Key key, const std::wstring& name, ValueType type,
                                        const std::uint8_t* data, std::uint32_t size) noexcept override;
  [[nodiscard]] RegistryStatus DeleteValue(Key key, const std::wstring& name) noexcept override;
  [[nodiscard]] RegistryStatus EnumKey(Key key, std::uint32_t index, std::wstring& name) noexcept override;
  [[nodiscard]] RegistryStatus EnumValue(Key key, std::uint32_t index, std::wstring& name) noexcept override;
  // Deletion by path could reach a key unrecorded: refused (ERROR_CALL_NOT_IMPLEMENTED).
  [[nodiscard]] RegistryStatus DeleteKey(Key parent, const std::wstring& path,
                                         std::uint32_t mask) noexcept override;
  [[nodiscard]] RegistryStatus DeleteOpenedKey(Key key) noexcept override;
  [[nodiscard]] RegistryStatus IsLink(Key key, bool& isLink) noexcept override;
  void CloseKey(Key key) noexcept override;

 private:
  struct Value {
    ValueType type;
    std::vector<std::uint8_t> data;
  };
  using Original = std::optional<Value>;  // nullopt: there was no such value
  // Where a handle stands: its root and the components of its path.
  struct Place {
    RegistryRoot root;
    std::vector<std::wstring> path;
  };
  struct RootName {
    RegistryRoot root;
    std::vector<std::wstring> below;
    std::wstring name;
  };

  bool PlaceOf(Key key, const std::wstring& path, Place& place) const;
  std::wstring NameOf(const Place& place) const;
  bool InsideCreated(const std::wstring& folded) const;
  RegistryStatus ReadValue(Key key, const std::wstring& name, Original& value);
  RegistryStatus RecordCreation(const Place& place);
  RegistryStatus RecordValueChange(Key key, const std::wstring& name, const Value* after);
  RegistryStatus RecordKey(Key key, const std::wstring& keyName);
  RegistryStatus RecordValue(const std::wstring& keyName, const std::wstring& name, const Original& before);
  RegistryStatus Record(const std::wstring& text);
  RegistryStatus Track(RegistryStatus status, Key key, Place place);

  RegistryAccess& registry_;
  UndoSink& sink_;
  std::vector<RootName> names_;
  std::map<Key, Place> handles_;
  std::set<std::wstring> created_;  // keys the run made, folded full names
  std::set<std::wstring> deleted_;  // keys that stood before the run, recorded to be deleted
  std::map<std::pair<std::wstring, std::wstring>, Original> values_;  // by folded key and value name
  std::vector<std::wstring> unwritable_;
  bool changed_ = false;
  bool complete_ = true;
};

// A value as a .reg file line: its name (@ for the default value) quoted as
// regedit quotes it, '=', and its data: a string of one terminating NUL and
// no CR, LF or NUL inside as quoted text, a 4-byte DWORD as dword:, all else
// as hex bytes of its type (hex: for REG_BINARY), long lines wrapped as
// regedit wraps them. `data` null stands for a deletion, "name"=-. No line
// end is added.
std::wstring RegValueLine(const std::wstring& name, ValueType type, const std::vector<std::uint8_t>* data);
// The same line appended to `line`; a long one is handed to `drain`, when
// given, in pieces that end at a line end, `line` emptied after each: false
// when `drain` refused one.
bool AppendRegValueLine(std::wstring& line, const std::wstring& name, ValueType type,
                        const std::vector<std::uint8_t>* data, const std::function<bool(std::wstring&)>& drain);
