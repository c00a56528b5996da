#include "platform/win_registry.h"

#include <windows.h>
#include <winternl.h>

#include "platform/unique_handle.h"

#include <string>
#include <vector>

// Deletes the key behind the handle; for a link opened as itself, the link.
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);
// Asks a key for facts about itself; here its full name (KeyNameInformation).
extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE key, int informationClass, void* information, ULONG length,
                                     ULONG* resultLength);
// Opens a key by its full name, following a link at that name.
extern "C" NTSTATUS NTAPI NtOpenKey(HANDLE* key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes);

namespace {

HKEY ToHkey(RegistryAccess::Key key) noexcept {
  if (key == RegistryAccess::RootKey(RegistryRoot::HKLM)) return HKEY_LOCAL_MACHINE;
  if (key == RegistryAccess::RootKey(RegistryRoot::HKCU)) return HKEY_CURRENT_USER;
  return reinterpret_cast<HKEY>(key);
}

bool IsRoot(RegistryAccess::Key key) noexcept {
  return key == RegistryAccess::RootKey(RegistryRoot::HKLM) ||
         key == RegistryAccess::RootKey(RegistryRoot::HKCU);
}

RegistryStatus Status(LSTATUS status) noexcept { return static_cast<RegistryStatus>(status); }

constexpr int kKeyNameInformation = 3;
constexpr NTSTATUS kObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kObjectPathNotFound = static_cast<NTSTATUS>(0xC000003A);

// The key's full name in the registry's own namespace (\REGISTRY\MACHINE\...),
// as NtQueryKey reports it from Windows Vista on; false where it cannot.
bool FullName(HANDLE key, std::wstring& name) noexcept {
  std::vector<ULONG> buffer(1024);  // room for a name of about 2000 characters, ULONG-aligned
  for (int attempt = 0; attempt < 2; ++attempt) {
    ULONG needed = 0;
    const auto bytes = static_cast<ULONG>(buffer.size() * sizeof(ULONG));
    const NTSTATUS status = ::NtQueryKey(key, kKeyNameInformation, buffer.data(), bytes, &needed);
    if (status >= 0) {
      const ULONG length = buffer[0];  // NameLength, in bytes, then the name
      if (length > bytes - sizeof(ULONG)) return false;
      name.assign(reinterpret_cast<const wchar_t*>(buffer.data() + 1), length / sizeof(wchar_t));
      return true;
    }
    if (needed <= bytes || needed > 0x20000) return false;
    buffer.resize(needed / sizeof(ULONG) + 1);
  }
  return false;
}

// Whether the key behind `key`, opened as itself, is a link, told by the key:
// opened again by its full name, following a link there, a link leads to
// another key (or, dangling, to none), an ordinary key to itself. Unknown
// (false) where the name cannot be asked for or the key cannot be opened so.
bool ToldByTheKey(HANDLE key, bool& isLink) noexcept {
  std::wstring own;
  if (!FullName(key, own) || own.empty() || own.size() > 0x7FFF) return false;
  UNICODE_STRING objectName{};
  objectName.Buffer = &own[0];
  objectName.Length = static_cast<USHORT>(own.size() * sizeof(wchar_t));
  objectName.MaximumLength = objectName.Length;
  OBJECT_ATTRIBUTES attributes{};
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE opened = nullptr;
  const NTSTATUS status = ::NtOpenKey(&opened, KEY_QUERY_VALUE, &attributes);
  if (status == kObjectNameNotFound || status == kObjectPathNotFound) {
    isLink = true;
    return true;
  }
  if (status < 0) return false;
  const UniqueKey followed(reinterpret_cast<HKEY>(opened));
  std::wstring reached;
  if (!FullName(opened, reached)) return false;
  isLink = reached != own;
  return true;
}

// Every access right and option the registry layer names is one that Windows
// XP x64 and Server 2003 x64 know: KEY_ALL_ACCESS with the WOW64 view flags,
// and the options up to REG_OPTION_OPEN_LINK.
constexpr std::uint32_t kOldestKeyRights = KEY_ALL_ACCESS | KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr std::uint32_t kOldestKeyOptions = REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK |
                                            REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK;
static_assert(KEY_ALL_ACCESS == 0xF003F && kOldestKeyRights == 0xF033F, "XP x64's key rights");
static_assert(((kKeyQueryValue | kKeySetValue | kKeyCreateSubKey | kKeyEnumerateSubKeys |
                kKeyCreateLink | kKeyWow64_64Key | kKeyDelete | kKeyRead | kKeyReadWow64 |
                kKeyAllAccessWow64) & ~kOldestKeyRights) == 0,
              "a key access right that XP x64 does not know");
static_assert(((kOptionNonVolatile | kOptionCreateLink | kOptionOpenLink) & ~kOldestKeyOptions) == 0,
              "a key option that XP x64 does not know");

}  // namespace

RegistryStatus WinRegistry::OpenKey(Key parent, const std::wstring& path, std::uint32_t options,
                                    std::uint32_t mask, Key& key) noexcept {
  HKEY opened = nullptr;
  const LSTATUS status = ::RegOpenKeyExW(ToHkey(parent), path.c_str(), options, mask, &opened);
  if (status == ERROR_SUCCESS) key = reinterpret_cast<Key>(opened);
  return Status(status);
}

RegistryStatus WinRegistry::CreateKey(Key parent, const std::wstring& path, std::uint32_t options,
                                      std::uint32_t mask, Key& key) noexcept {
  HKEY created = nullptr;
  const LSTATUS status = ::RegCreateKeyExW(ToHkey(parent), path.c_str(), 0, nullptr, options, mask,
                                           nullptr, &created, nullptr);
  if (status == ERROR_SUCCESS) key = reinterpret_cast<Key>(created);
  return Status(status);
}

RegistryStatus WinRegistry::QueryValue(Key key, const std::wstring& name, ValueType& type,
                                       std::uint8_t* buffer, std::uint32_t& size) noexcept {
  DWORD storedType = REG_NONE;
  DWORD byteCount = size;
  const LSTATUS status =
      ::RegQueryValueExW(ToHkey(key), name.c_str(), nullptr, &storedType, buffer, &byteCount);
  if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
    type = static_cast<ValueType>(storedType);
    size = byteCount;
  }
  return Status(status);
}

RegistryStatus WinRegistry::SetValue(Key key, const std::wstring& name, ValueType type,
                                     const std::uint8_t* data, std::uint32_t size) noexcept {
  return Status(::RegSetValueExW(ToHkey(key), name.c_str(), 0, static_cast<DWORD>(type), data, size));
}

RegistryStatus WinRegistry::DeleteValue(Key key, const std::wstring& name) noexcept {
  return Status(::RegDeleteValueW(ToHkey(key), name.c_str()));
}

RegistryStatus WinRegistry::EnumKey(Key key, std::uint32_t index, std::wstring& name) noexcept {
  wchar_t buffer[260];
  DWORD count = 260;
  FILETIME lastWrite;
  const LSTATUS status =
      ::RegEnumKeyExW(ToHkey(key), index, buffer, &count, nullptr, nullptr, nullptr, &lastWrite);
  if (status == ERROR_SUCCESS) name.assign(buffer, count);
  return Status(status);
}

RegistryStatus WinRegistry::EnumValue(Key key, std::uint32_t index, std::wstring& name) noexcept {
  std::wstring buffer(16384, L'\0');  // a value name has at most 16383 characters
  DWORD count = static_cast<DWORD>(buffer.size());
  const LSTATUS status =
      ::RegEnumValueW(ToHkey(key), index, &buffer[0], &count, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS) name.assign(buffer, 0, count);
  return Status(status);
}

RegistryStatus WinRegistry::DeleteKey(Key parent, const std::wstring& path,
                                      std::uint32_t mask) noexcept {
  return Status(::RegDeleteKeyExW(ToHkey(parent), path.c_str(), mask, 0));
}

RegistryStatus WinRegistry::DeleteOpenedKey(Key key) noexcept {
  if (IsRoot(key)) return ERROR_ACCESS_DENIED;
  const NTSTATUS status = ::NtDeleteKey(reinterpret_cast<HANDLE>(key));
  return status == 0 ? static_cast<RegistryStatus>(ERROR_SUCCESS)
                     : static_cast<RegistryStatus>(::RtlNtStatusToDosError(status));
}

RegistryStatus WinRegistry::IsLink(Key key, bool& isLink) noexcept {
  if (IsRoot(key)) {
    isLink = false;
    return ERROR_SUCCESS;
  }
  // Any program may give an ordinary key a value named SymbolicLinkValue: the
  // key itself tells whether it is a link.
  if (ToldByTheKey(reinterpret_cast<HANDLE>(key), isLink)) return ERROR_SUCCESS;
  // Where the key cannot tell (Windows XP and Server 2003 report no key
  // names), a link is known by its SymbolicLinkValue, a REG_LINK value that
  // only a handle opened as the link itself can see.
  DWORD type = REG_NONE;
  DWORD size = 0;
  const LSTATUS status =
      ::RegQueryValueExW(ToHkey(key), kSymbolicLinkValueName, nullptr, &type, nullptr, &size);
  if (status == ERROR_FILE_NOT_FOUND) {
    isLink = false;
    return ERROR_SUCCESS;
  }
  if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return Status(status);
  isLink = type == REG_LINK;
  return ERROR_SUCCESS;
}

void WinRegistry::CloseKey(Key key) noexcept {
  if (!IsRoot(key)) ::RegCloseKey(ToHkey(key));
}
