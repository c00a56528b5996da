#include "registry/undo_registry.h"

#include <algorithm>

#include "registry/registry_text.h"

namespace {

constexpr RegistryStatus kInvalidHandle = 6;           // ERROR_INVALID_HANDLE
constexpr RegistryStatus kCallNotImplemented = 120;    // ERROR_CALL_NOT_IMPLEMENTED
constexpr RegistryStatus kNotRecorded = 29;            // ERROR_WRITE_FAULT: the undo record could not be written
constexpr std::uint32_t kMaxValueSize = 16u << 20;     // bytes: larger values are not read
constexpr std::size_t kWrapColumn = 76;                // hex lines wrap past it, as regedit's do
// The characters of a record gathered before a long one goes to the sink in pieces.
constexpr std::size_t kPieceLength = std::size_t{1} << 20;
constexpr wchar_t kHexDigits[] = L"0123456789abcdef";

// Names compare without regard to ASCII letter case.
std::wstring Fold(std::wstring text) {
  for (wchar_t& ch : text) ch = ch >= L'a' && ch <= L'z' ? static_cast<wchar_t>(ch - 0x20) : ch;
  return text;
}

std::vector<std::wstring> Components(const std::wstring& path) {
  std::vector<std::wstring> parts;
  for (std::size_t start = 0, end = 0; start <= path.size(); start = end + 1) {
    end = std::min(path.find(L'\\', start), path.size());
    if (end > start) parts.push_back(path.substr(start, end - start));
  }
  return parts;
}

std::wstring Joined(const std::vector<std::wstring>& parts, std::size_t count) {
  std::wstring path;
  for (std::size_t i = 0; i < count; ++i) path += (i == 0 ? L"" : L"\\") + parts[i];
  return path;
}

// A line break or NUL in a name would end the line or the name in the file.
bool Writable(const std::wstring& name) { return name.find_first_of(std::wstring(L"\r\n\0", 3)) == std::wstring::npos; }

std::wstring Quoted(const std::wstring& text) {
  std::wstring quoted = L"\"";
  for (wchar_t ch : text) {
    if (ch == L'\\' || ch == L'"') quoted += L'\\';
    quoted += ch;
  }
  return quoted + L'"';
}

// The text of string data that regedit writes between quotes and reads back
// to the same bytes: ASCII, one terminating NUL, no CR, LF or NUL before it.
// Other characters go as hex(1) bytes: hivexregedit, which merges the file
// into a hive on Linux once it is converted to UTF-8, would store the UTF-8
// bytes of quoted text one character each.
bool PlainText(const std::vector<std::uint8_t>& data, std::wstring& text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  std::u16string units;
  for (std::size_t i = 0; i < data.size(); i += 2) units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  if (units.back() != u'\0') return false;
  units.pop_back();
  for (const char16_t unit : units) {
    if (unit == u'\0' || unit == u'\r' || unit == u'\n' || unit > 0x7F) return false;
  }
  text = FromUtf16(units);
  return true;
}

void AppendHex(std::wstring& line, std::uint32_t number, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) line += kHexDigits[(number >> shift) & 0xF];
}

}  // namespace

std::wstring RegValueLine(const std::wstring& name, ValueType type, const std::vector<std::uint8_t>* data) {
  std::wstring line;
  static_cast<void>(AppendRegValueLine(line, name, type, data, nullptr));
  return line;
}

bool AppendRegValueLine(std::wstring& line, const std::wstring& name, ValueType type,
                        const std::vector<std::uint8_t>* data, const std::function<bool(std::wstring&)>& drain) {
  const std::size_t begin = line.size();
  line += (name.empty() ? L"@" : Quoted(name)) + L"=";
  if (data == nullptr) {
    line += L"-";
    return true;
  }
  const auto number = static_cast<std::uint32_t>(type);
  std::wstring text;
  if (type == ValueType::RegSz && PlainText(*data, text)) {
    line += Quoted(text);
    return true;
  }
  if (type == ValueType::RegDword && data->size() == 4) {
    line += L"dword:";
    AppendHex(line, static_cast<std::uint32_t>((*data)[0] | (*data)[1] << 8 | (*data)[2] << 16) |
                        static_cast<std::uint32_t>((*data)[3]) << 24,
              8);
    return true;
  }
  line += L"hex";
  if (type != ValueType::RegBinary) {
    line += L'(';
    std::wstring digits;
    for (std::uint32_t rest = number; digits.empty() || rest != 0; rest >>= 4) {
      digits.insert(digits.begin(), kHexDigits[rest & 0xF]);
    }
    line += digits + L')';
  }
  line += L':';
  std::size_t lineStart = begin;
  for (std::size_t i = 0; i < data->size(); ++i) {
    AppendHex(line, (*data)[i], 2);
    if (i + 1 == data->size()) break;
    line += L',';
    if (line.size() - lineStart > kWrapColumn) {
      line += L"\\\r\n";
      // A long value goes on in pieces, each ending at a wrapped line's end.
      if (drain && line.size() >= kPieceLength) {
        if (!drain(line)) return false;
        line.clear();
      }
      line += L"  ";
      lineStart = line.size() - 2;
    }
  }
  return true;
}

UndoRegistry::UndoRegistry(RegistryAccess& registry, UndoSink& sink) : registry_(registry), sink_(sink) {
  NameKeys(RegistryRoot::HKLM, L"", L"HKEY_LOCAL_MACHINE");
  NameKeys(RegistryRoot::HKCU, L"", L"HKEY_CURRENT_USER");
}

void UndoRegistry::NameKeys(RegistryRoot root, const std::wstring& below, const std::wstring& name) {
  std::vector<std::wstring> parts = Components(Fold(below));
  for (RootName& known : names_) {
    if (known.root == root && known.below == parts) {
      known.name = name;
      return;
    }
  }
  names_.push_back(RootName{root, std::move(parts), name});
}

bool UndoRegistry::PlaceOf(Key key, const std::wstring& path, Place& place) const {
  if (key == RootKey(RegistryRoot::HKLM) || key == RootKey(RegistryRoot::HKCU)) {
    place = Place{static_cast<RegistryRoot>(key), {}};
  } else {
    const auto handle = handles_.find(key);
    if (handle == handles_.end()) return false;
    place = handle->second;
  }
  for (std::wstring& part : Components(path)) place.path.push_back(std::move(part));
  return true;
}

std::wstring UndoRegistry::NameOf(const Place& place) const {
  const RootName* best = nullptr;
  for (const RootName& known : names_) {
    if (known.root != place.root || known.below.size() > place.path.size() ||
        (best != nullptr && best->below.size() >= known.below.size())) {
      continue;
    }
    bool within = true;
    for (std::size_t i = 0; within && i < known.below.size(); ++i) within = Fold(place.path[i]) == known.below[i];
    if (within) best = &known;
  }
  std::wstring name = best == nullptr ? L"" : best->name;
  for (std::size_t i = best == nullptr ? 0 : best->below.size(); i < place.path.size(); ++i) {
    name += L"\\" + place.path[i];
  }
  return name;
}

bool UndoRegistry::InsideCreated(const std::wstring& folded) const {
  for (std::size_t end = folded.find(L'\\');; end = folded.find(L'\\', end + 1)) {
    if (created_.count(folded.substr(0, end)) != 0) return true;
    if (end == std::wstring::npos) return false;
  }
}

RegistryStatus UndoRegistry::Track(RegistryStatus status, Key key, Place place) {
  if (status == kRegistrySuccess) handles_[key] = std::move(place);
  return status;
}

// The value as it stands, read whole whatever its size; nullopt when absent.
RegistryStatus UndoRegistry::ReadValue(Key key, const std::wstring& name, Original& value) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    ValueType type = ValueType::RegNone;
    std::uint32_t size = 0;
    RegistryStatus status = registry_.QueryValue(key, name, type, nullptr, size);
    if (status == kRegistrySuccess && size > kMaxValueSize) return kRegistryMoreData;
    std::vector<std::uint8_t> data(std::max<std::uint32_t>(size, 1));
    if (status == kRegistrySuccess) status = registry_.QueryValue(key, name, type, data.data(), size);
    if (status == kRegistryMoreData) continue;  // it grew meanwhile
    if (status == kRegistryFileNotFound) {
      value.reset();
      return kRegistrySuccess;
    }
    if (status != kRegistrySuccess) return status;
    data.resize(size);
    value = Value{type, std::move(data)};
    return kRegistrySuccess;
  }
  return kRegistryMoreData;
}

// Once a record could not be written, no other is, and no change is made.
RegistryStatus UndoRegistry::Record(const std::wstring& text) {
  if (complete_ && !sink_.Write(changed_ ? text : kRegFileHeader + text)) complete_ = false;
  changed_ = changed_ || complete_;
  return complete_ ? kRegistrySuccess : kNotRecorded;
}

// The first touch of a value: its state before the run, under its key.
RegistryStatus UndoRegistry::RecordValue(const std::wstring& keyName, const std::wstring& name, const Original& before) {
  if (!complete_) return kNotRecorded;
  if (!values_.emplace(std::make_pair(Fold(keyName), Fold(name)), before).second) return kRegistrySuccess;
  if (!Writable(keyName) || !Writable(name)) {
    unwritable_.push_back(keyName);
    return Record(L"; A value of " + EscapeControlCharacters(keyName) +
                  L" whose name cannot be written here was changed.\r\n\r\n");
  }
  std::wstring record = L"[" + keyName + L"]\r\n";
  const auto drain = [this](std::wstring& piece) { return Record(piece) == kRegistrySuccess; };
  if (!AppendRegValueLine(record, name, before ? before->type : ValueType::RegNone, before ? &before->data : nullptr,
                          drain)) {
    return kNotRecorded;
  }
  return Record(record + L"\r\n\r\n");
}

// Before a creation: the shallowest key on the way that is missing and did
// not stand before the run is recorded to go.
RegistryStatus UndoRegistry::RecordCreation(const Place& place) {
  if (!complete_) return kNotRecorded;
  if (InsideCreated(Fold(NameOf(place)))) return kRegistrySuccess;
  const auto probe = [this, &place](std::size_t depth) {
    RegistryKey key(registry_);
    return key.Open(RootKey(place.root), Joined(place.path, depth), kOptionNonVolatile, kKeyRead);
  };
  // Mostly the key is there, and one open tells. A key on the way that is
  // neither there nor missing could be made by the creation without a
  // record: then the creation is not made.
  const RegistryStatus whole = probe(place.path.size());
  for (std::size_t depth = 1; whole == kRegistryFileNotFound && depth <= place.path.size(); ++depth) {
    const RegistryStatus status = probe(depth);
    if (status == kRegistrySuccess) continue;
    if (status != kRegistryFileNotFound) return status;
    const auto end = place.path.begin() + static_cast<std::ptrdiff_t>(depth);
    const std::wstring name = NameOf(Place{place.root, std::vector<std::wstring>(place.path.begin(), end)});
    if (deleted_.count(Fold(name)) != 0) continue;  // its record brings it back
    created_.insert(Fold(name));
    if (!Writable(name)) unwritable_.push_back(name);
    return Record(Writable(name) ? L"[-" + name + L"]\r\n\r\n"
                                 : L"; " + EscapeControlCharacters(name) + L" was created and cannot be named here.\r\n\r\n");
  }
  return whole == kRegistryFileNotFound ? kRegistrySuccess : whole;
}

RegistryStatus UndoRegistry::OpenKey(Key parent, const std::wstring& path, std::uint32_t options,
                                     std::uint32_t mask, Key& key) noexcept {
  Place place;
  if (!PlaceOf(parent, path, place)) return kInvalidHandle;
  const RegistryStatus status = registry_.OpenKey(parent, path, options, mask, key);
  return Track(status, key, std::move(place));
}

RegistryStatus UndoRegistry::CreateKey(Key parent, const std::wstring& path, std::uint32_t options,
                                       std::uint32_t mask, Key& key) noexcept {
  return Guarded([&]() -> RegistryStatus {
    Place place;
    if (!PlaceOf(parent, path, place)) return kInvalidHandle;
    const RegistryStatus recorded = RecordCreation(place);
    if (recorded != kRegistrySuccess) return recorded;
    const RegistryStatus status = registry_.CreateKey(parent, path, options, mask, key);
    return Track(status, key, std::move(place));
  });
}

RegistryStatus UndoRegistry::QueryValue(Key key, const std::wstring& name, ValueType& type, std::uint8_t* buffer,
                                        std::uint32_t& size) noexcept {
  return registry_.QueryValue(key, name, type, buffer, size);
}

// Before a value is written (`after`) or deleted (`after` null): its state
// before the run is recorded, unless the change leaves it as it is. A value
// whose state cannot be read is not to be changed: it could not be put back.
RegistryStatus UndoRegistry::RecordValueChange(Key key, const std::wstring& name, const Value* after) {
  Place place;
  if (!PlaceOf(key, L"", place)) return kInvalidHandle;
  const std::wstring keyName = NameOf(place);
  if (InsideCreated(Fold(keyName))) return kRegistrySuccess;
  if (!complete_) return kNotRecorded;
  Original before;
  const RegistryStatus read = ReadValue(key, name, before);
  if (read != kRegistrySuccess) return read;
  const bool same = after == nullptr ? !before : before && before->type == after->type && before->data == after->data;
  return same ? kRegistrySuccess : RecordValue(keyName, name, before);
}

RegistryStatus UndoRegistry::SetValue(Key key, const std::wstring& name, ValueType type, const std::uint8_t* data,
                                      std::uint32_t size) noexcept {
  return Guarded([&]() -> RegistryStatus {
    const Value after{type, std::vector<std::uint8_t>(data, data + size)};
    const RegistryStatus recorded = RecordValueChange(key, name, &after);
    return recorded != kRegistrySuccess ? recorded : registry_.SetValue(key, name, type, data, size);
  });
}

RegistryStatus UndoRegistry::DeleteValue(Key key, const std::wstring& name) noexcept {
  return Guarded([&]() -> RegistryStatus {
    const RegistryStatus recorded = RecordValueChange(key, name, nullptr);
    return recorded != kRegistrySuccess ? recorded : registry_.DeleteValue(key, name);
  });
}

RegistryStatus UndoRegistry::EnumKey(Key key, std::uint32_t index, std::wstring& name) noexcept {
  return registry_.EnumKey(key, index, name);
}

RegistryStatus UndoRegistry::EnumValue(Key key, std::uint32_t index, std::wstring& name) noexcept {
  return registry_.EnumValue(key, index, name);
}

RegistryStatus UndoRegistry::DeleteKey(Key, const std::wstring&, std::uint32_t) noexcept { return kCallNotImplemented; }

// The record of a key about to be deleted, made as its values are read: its
// name and every value it held before the run (values the run made left out).
// A long one reaches the sink in pieces, each ending at a line's end.
RegistryStatus UndoRegistry::RecordKey(Key key, const std::wstring& keyName) {
  const std::wstring folded = Fold(keyName);
  const bool named = Writable(keyName);
  std::wstring record = named ? L"[" + keyName + L"]\r\n" : L"";
  const auto drain = [this](std::wstring& piece) { return Record(piece) == kRegistrySuccess; };
  bool unwritable = !named;
  for (std::uint32_t index = 0;; ++index) {
    std::wstring name;
    RegistryStatus status = registry_.EnumValue(key, index, name);
    if (status == kRegistryNoMoreItems) break;
    if (status != kRegistrySuccess) return status;
    // A name with a NUL in it could not even be read back by its name.
    if (!Writable(name)) {
      unwritable = true;
      continue;
    }
    Original now;
    status = ReadValue(key, name, now);
    if (status != kRegistrySuccess) return status;
    // The first touch keeps the value as it stands; one the run touched
    // before is written as it was before the run, or not at all if it made it.
    const Original& before = values_.emplace(std::make_pair(folded, Fold(name)), std::move(now)).first->second;
    if (!before || !named) continue;
    if (!AppendRegValueLine(record, name, before->type, &before->data, drain)) return kNotRecorded;
    record += L"\r\n";
  }
  if (named) record += L"\r\n";
  if (unwritable) {
    unwritable_.push_back(keyName);
    record += L"; " + EscapeControlCharacters(keyName) +
              L", or a value of it, has a name that cannot be written here.\r\n\r\n";
  }
  return Record(record);
}

// A tree is deleted leaves first, but its keys are recorded top down, each
// before its subkeys, so that an importer that creates a key only below one
// that stands can take the file: the first attempt to delete a key that
// still has subkeys, which is refused, records it. Each key is recorded once.
RegistryStatus UndoRegistry::DeleteOpenedKey(Key key) noexcept {
  return Guarded([&]() -> RegistryStatus {
    Place place;
    if (!PlaceOf(key, L"", place)) return kInvalidHandle;
    const std::wstring keyName = NameOf(place);
    const std::wstring folded = Fold(keyName);
    if (!complete_) return kNotRecorded;
    if (InsideCreated(folded)) return registry_.DeleteOpenedKey(key);
    bool isLink = false;
    RegistryStatus status = registry_.IsLink(key, isLink);
    if (status != kRegistrySuccess) return status;
    if (isLink) {
      status = Record(L"; " + EscapeControlCharacters(keyName) +
                      L" was a symbolic link, which this file cannot bring back.\r\n\r\n");
      return status == kRegistrySuccess ? registry_.DeleteOpenedKey(key) : status;
    }
    if (deleted_.count(folded) == 0) {
      deleted_.insert(folded);
      status = RecordKey(key, keyName);
      if (status != kRegistrySuccess) return status;
    }
    return registry_.DeleteOpenedKey(key);
  });
}

std::vector<std::wstring> UndoRegistry::TakeUnwritable() {
  std::vector<std::wstring> names;
  names.swap(unwritable_);
  return names;
}

RegistryStatus UndoRegistry::IsLink(Key key, bool& isLink) noexcept { return registry_.IsLink(key, isLink); }

void UndoRegistry::CloseKey(Key key) noexcept {
  handles_.erase(key);
  registry_.CloseKey(key);
}
