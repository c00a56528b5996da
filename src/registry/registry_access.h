#pragma once
// The registry behind one interface, shaped after the Win32 calls that stand
// behind it: keys are opened, acted on through their handle and closed. The
// Windows registry (WinRegistry) and the in-memory registry (MemoryRegistry)
// implement it; the registry operations are written once against it.
//
// Statuses, access masks and options carry their Win32 values, so that what
// a backend is asked and what it answers can be compared one to one.

#include <cstdint>
#include <new>
#include <string>
#include <utility>

enum class RegistryRoot : std::uint32_t {
  HKLM = 0x80000002u,
  HKCU = 0x80000001u,
};

enum class ValueType : std::uint32_t {
  RegNone = 0,
  RegSz = 1,
  RegExpandSz = 2,
  RegBinary = 3,
  RegDword = 4,
  RegLink = 6,
};

// A Win32 error code as the registry calls return it.
using RegistryStatus = std::uint32_t;
constexpr RegistryStatus kRegistrySuccess = 0;        // ERROR_SUCCESS
constexpr RegistryStatus kRegistryNotEnoughMemory = 8;  // ERROR_NOT_ENOUGH_MEMORY
constexpr RegistryStatus kRegistryFileNotFound = 2;   // ERROR_FILE_NOT_FOUND
constexpr RegistryStatus kRegistryAccessDenied = 5;   // ERROR_ACCESS_DENIED
constexpr RegistryStatus kRegistryInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr RegistryStatus kRegistryBadPathname = 161;  // ERROR_BAD_PATHNAME
constexpr RegistryStatus kRegistryAlreadyExists = 183;  // ERROR_ALREADY_EXISTS
constexpr RegistryStatus kRegistryMoreData = 234;     // ERROR_MORE_DATA
constexpr RegistryStatus kRegistryNoMoreItems = 259;  // ERROR_NO_MORE_ITEMS
constexpr RegistryStatus kRegistryKeyDeleted = 1018;  // ERROR_KEY_DELETED
constexpr RegistryStatus kRegistryCircularLink = 1021;  // too many links on one path

// The status of `body`, a registry call's work, where an allocation that
// fails inside it is that call's failure (ERROR_NOT_ENOUGH_MEMORY), never the
// end of the program.
template <typename Body>
RegistryStatus Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return kRegistryNotEnoughMemory;
  }
}

// Access rights (REGSAM) under their Win32 values.
constexpr std::uint32_t kKeyQueryValue = 0x0001;        // KEY_QUERY_VALUE
constexpr std::uint32_t kKeySetValue = 0x0002;          // KEY_SET_VALUE
constexpr std::uint32_t kKeyCreateSubKey = 0x0004;      // KEY_CREATE_SUB_KEY
constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;  // KEY_ENUMERATE_SUB_KEYS
constexpr std::uint32_t kKeyCreateLink = 0x0020;        // KEY_CREATE_LINK
constexpr std::uint32_t kKeyWow64_64Key = 0x0100;       // KEY_WOW64_64KEY
constexpr std::uint32_t kKeyDelete = 0x10000;           // DELETE
constexpr std::uint32_t kKeyRead = 0x20019;             // KEY_READ
constexpr std::uint32_t kKeyReadWow64 = 0x20119;        // KEY_READ | KEY_WOW64_64KEY
constexpr std::uint32_t kKeyAllAccessWow64 = 0xF013F;   // KEY_ALL_ACCESS | KEY_WOW64_64KEY

// Options of OpenKey and CreateKey.
constexpr std::uint32_t kOptionNonVolatile = 0x0;  // REG_OPTION_NON_VOLATILE
constexpr std::uint32_t kOptionCreateLink = 0x2;   // REG_OPTION_CREATE_LINK
constexpr std::uint32_t kOptionOpenLink = 0x8;     // REG_OPTION_OPEN_LINK

// The value of a symbolic link key that holds its target, a native registry
// path such as \Registry\Machine\Software\Target, stored as REG_LINK UTF-16LE
// text without a terminating NUL.
inline constexpr wchar_t kSymbolicLinkValueName[] = L"SymbolicLinkValue";

class RegistryAccess {
 public:
  // A key as the backend hands it out. The two roots have fixed handles
  // (RootKey); every other handle comes from OpenKey or CreateKey and is closed
  // exactly once with CloseKey (RegistryKey below does that). 0 is no key.
  using Key = std::uintptr_t;

  static constexpr Key RootKey(RegistryRoot root) noexcept { return static_cast<Key>(root); }

  virtual ~RegistryAccess() = default;

  // RegOpenKeyExW(parent, path, options, mask). `path` is relative to `parent`
  // (a root or an open key); a trailing backslash is accepted, the empty path
  // opens `parent` again. Symbolic links on the way are followed; the last key
  // of the path is opened as the link itself when `options` holds
  // kOptionOpenLink. A non-empty path relative to a link opened as itself
  // leads into the link's target. On failure `key` is left untouched.
  [[nodiscard]] virtual RegistryStatus OpenKey(Key parent, const std::wstring& path,
                                               std::uint32_t options, std::uint32_t mask,
                                               Key& key) noexcept = 0;
  // RegCreateKeyExW(parent, path, 0, no class, options, mask, no security, &key,
  // no disposition): opens the key, creating it and every missing key above it
  // first. With kOptionCreateLink the last key is created as a symbolic link
  // (its target is then written as kSymbolicLinkValueName, REG_LINK).
  [[nodiscard]] virtual RegistryStatus CreateKey(Key parent, const std::wstring& path,
                                                 std::uint32_t options, std::uint32_t mask,
                                                 Key& key) noexcept = 0;
  // RegQueryValueExW(key, name, no reserved, &type, buffer, &size). `size` is
  // the buffer's size in bytes on entry and the data's size on return; with
  // ERROR_MORE_DATA nothing is copied. A null buffer only asks for the size.
  [[nodiscard]] virtual RegistryStatus QueryValue(Key key, const std::wstring& name,
                                                  ValueType& type, std::uint8_t* buffer,
                                                  std::uint32_t& size) noexcept = 0;
  // RegSetValueExW(key, name, 0, type, data, size): creates or replaces the value.
  [[nodiscard]] virtual RegistryStatus SetValue(Key key, const std::wstring& name, ValueType type,
                                                const std::uint8_t* data,
                                                std::uint32_t size) noexcept = 0;
  // RegDeleteValueW(key, name).
  [[nodiscard]] virtual RegistryStatus DeleteValue(Key key, const std::wstring& name) noexcept = 0;
  // RegEnumKeyExW(key, index, name, &count = 260, ...): the name of subkey
  // number `index`, or ERROR_NO_MORE_ITEMS.
  [[nodiscard]] virtual RegistryStatus EnumKey(Key key, std::uint32_t index,
                                               std::wstring& name) noexcept = 0;
  // RegEnumValueW(key, index, name, &count = 16384, ...): the name of value
  // number `index`, or ERROR_NO_MORE_ITEMS. Needs kKeyQueryValue.
  [[nodiscard]] virtual RegistryStatus EnumValue(Key key, std::uint32_t index,
                                                 std::wstring& name) noexcept = 0;
  // RegDeleteKeyExW(parent, path, mask, 0): deletes the key the path leads to,
  // following symbolic links, the last one included, so that the target of a
  // link goes instead of the link. Refused for a key that has subkeys. The
  // registry operations never call it: they delete through DeleteOpenedKey.
  [[nodiscard]] virtual RegistryStatus DeleteKey(Key parent, const std::wstring& path,
                                                 std::uint32_t mask) noexcept = 0;
  // NtDeleteKey(key): deletes exactly the key behind the handle (which must
  // have been opened with kKeyDelete), a link opened with kOptionOpenLink as the
  // link itself. Refused for a key that has subkeys. The handle stays open.
  [[nodiscard]] virtual RegistryStatus DeleteOpenedKey(Key key) noexcept = 0;
  // Whether the key behind the handle is a symbolic link (only a handle opened
  // with kOptionOpenLink can refer to a link). Needs kKeyQueryValue.
  [[nodiscard]] virtual RegistryStatus IsLink(Key key, bool& isLink) noexcept = 0;
  // RegCloseKey(key).
  virtual void CloseKey(Key key) noexcept = 0;
};

// Owns one key opened or created through a RegistryAccess, and closes it once.
class RegistryKey {
 public:
  explicit RegistryKey(RegistryAccess& registry) noexcept : registry_(&registry) {}
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  RegistryKey(RegistryKey&& other) noexcept
      : registry_(other.registry_), key_(std::exchange(other.key_, 0)) {}
  RegistryKey& operator=(RegistryKey&& other) noexcept {
    if (this != &other) {
      Close();
      registry_ = other.registry_;
      key_ = std::exchange(other.key_, 0);
    }
    return *this;
  }
  ~RegistryKey() { Close(); }

  [[nodiscard]] RegistryStatus Open(RegistryAccess::Key parent, const std::wstring& path,
                                    std::uint32_t options, std::uint32_t mask) noexcept {
    Close();
    return registry_->OpenKey(parent, path, options, mask, key_);
  }
  [[nodiscard]] RegistryStatus Create(RegistryAccess::Key parent, const std::wstring& path,
                                      std::uint32_t options, std::uint32_t mask) noexcept {
    Close();
    return registry_->CreateKey(parent, path, options, mask, key_);
  }
  void Close() noexcept {
    if (key_ != 0) registry_->CloseKey(std::exchange(key_, 0));
  }

  [[nodiscard]] bool valid() const noexcept { return key_ != 0; }
  [[nodiscard]] RegistryAccess::Key get() const noexcept { return key_; }

 private:
  RegistryAccess* registry_;
  RegistryAccess::Key key_ = 0;
};
