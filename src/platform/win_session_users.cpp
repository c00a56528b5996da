#include <windows.h>
// After windows.h, which they need.
#include <sddl.h>
#include <tlhelp32.h>

#include "platform/win_session_users.h"

#include <cwchar>
#include <vector>

namespace {

// Reading a process's token: PROCESS_QUERY_LIMITED_INFORMATION from Windows
// Vista on, which OpenProcessToken needs there; Windows XP and Server 2003
// know no such right and need PROCESS_QUERY_INFORMATION.
constexpr DWORD kTokenReadAccessVista = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION
constexpr DWORD kTokenReadAccessXp = PROCESS_QUERY_INFORMATION;
static_assert(kTokenReadAccessXp == 0x400, "XP's query right");

struct LocalTraits {
  static HLOCAL Invalid() noexcept { return nullptr; }
  static void Close(HLOCAL memory) noexcept { ::LocalFree(memory); }
};
using UniqueLocal = UniqueHandle<HLOCAL, LocalTraits>;

// The token's user as a SID string, and its session; false when either
// cannot be read.
bool TokenUserAndSession(HANDLE token, std::wstring& sid, DWORD& session) noexcept {
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  DWORD sessionSize = 0;
  if (!::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) ||
      !::GetTokenInformation(token, TokenSessionId, &session, sizeof session, &sessionSize)) {
    return false;
  }
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buffer)->User.Sid, &text)) return false;
  const UniqueLocal owned(text);
  sid.assign(text);
  return true;
}

bool OwnUserAndSession(std::wstring& sid, DWORD& session) noexcept {
  UniqueToken token;
  return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
         TokenUserAndSession(token.get(), sid, session);
}

bool SameName(const wchar_t* a, const wchar_t* b) noexcept {
  for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
    const auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    if (fold(*a) != fold(*b)) return false;
  }
  return *a == *b;
}

// Splits off HKCU\SOFTWARE\Classes: true, with what follows it in `rest`,
// when `path` lies there.
bool InUserClasses(const std::wstring& path, std::wstring& rest) {
  std::vector<std::wstring> parts;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  if (parts.size() < 2 || !SameName(parts[0].c_str(), L"SOFTWARE") || !SameName(parts[1].c_str(), L"Classes")) {
    return false;
  }
  rest.clear();
  for (std::size_t i = 2; i < parts.size(); ++i) rest += (i == 2 ? L"" : L"\\") + parts[i];
  return true;
}

}  // namespace

bool WinUserRegistry::Open(const std::wstring& sid) noexcept {
  user_.reset();
  classes_.reset();
  // The handles only stand for where a path starts: the keys below are opened
  // with their own rights.
  if (::RegOpenKeyExW(HKEY_USERS, sid.c_str(), 0, KEY_QUERY_VALUE, user_.put()) != ERROR_SUCCESS) {
    user_.reset();
    return false;
  }
  if (::RegOpenKeyExW(HKEY_USERS, (sid + L"_Classes").c_str(), 0, KEY_QUERY_VALUE, classes_.put()) != ERROR_SUCCESS) {
    classes_.reset();
  }
  return true;
}

RegistryAccess::Key WinUserRegistry::Route(Key parent, const std::wstring& path, std::wstring& rest) const {
  rest = path;
  if (parent != RootKey(RegistryRoot::HKCU)) return parent;
  if (classes_.valid() && InUserClasses(path, rest)) return reinterpret_cast<Key>(classes_.get());
  return reinterpret_cast<Key>(user_.get());
}

RegistryAccess::Key WinUserRegistry::Mapped(Key key) const noexcept {
  return key == RootKey(RegistryRoot::HKCU) ? reinterpret_cast<Key>(user_.get()) : key;
}

RegistryStatus WinUserRegistry::OpenKey(Key parent, const std::wstring& path, std::uint32_t options,
                                        std::uint32_t mask, Key& key) noexcept {
  std::wstring rest;
  const Key base = Route(parent, path, rest);
  return registry_.OpenKey(base, rest, options, mask, key);
}

RegistryStatus WinUserRegistry::CreateKey(Key parent, const std::wstring& path, std::uint32_t options,
                                          std::uint32_t mask, Key& key) noexcept {
  std::wstring rest;
  const Key base = Route(parent, path, rest);
  return registry_.CreateKey(base, rest, options, mask, key);
}

RegistryStatus WinUserRegistry::QueryValue(Key key, const std::wstring& name, ValueType& type, std::uint8_t* buffer,
                                           std::uint32_t& size) noexcept {
  return registry_.QueryValue(Mapped(key), name, type, buffer, size);
}

RegistryStatus WinUserRegistry::SetValue(Key key, const std::wstring& name, ValueType type, const std::uint8_t* data,
                                         std::uint32_t size) noexcept {
  return registry_.SetValue(Mapped(key), name, type, data, size);
}

RegistryStatus WinUserRegistry::DeleteValue(Key key, const std::wstring& name) noexcept {
  return registry_.DeleteValue(Mapped(key), name);
}

RegistryStatus WinUserRegistry::EnumKey(Key key, std::uint32_t index, std::wstring& name) noexcept {
  return registry_.EnumKey(Mapped(key), index, name);
}

RegistryStatus WinUserRegistry::EnumValue(Key key, std::uint32_t index, std::wstring& name) noexcept {
  return registry_.EnumValue(Mapped(key), index, name);
}

RegistryStatus WinUserRegistry::DeleteKey(Key parent, const std::wstring& path, std::uint32_t mask) noexcept {
  std::wstring rest;
  const Key base = Route(parent, path, rest);
  return registry_.DeleteKey(base, rest, mask);
}

RegistryStatus WinUserRegistry::DeleteOpenedKey(Key key) noexcept {
  // The user's hive itself is never deleted.
  if (key == RootKey(RegistryRoot::HKCU)) return ERROR_ACCESS_DENIED;
  return registry_.DeleteOpenedKey(key);
}

RegistryStatus WinUserRegistry::IsLink(Key key, bool& isLink) noexcept {
  if (key == RootKey(RegistryRoot::HKCU)) {
    isLink = false;
    return ERROR_SUCCESS;
  }
  return registry_.IsLink(key, isLink);
}

void WinUserRegistry::CloseKey(Key key) noexcept {
  if (key != RootKey(RegistryRoot::HKCU)) registry_.CloseKey(key);
}

std::wstring WinSessionUsers::InteractiveUserSid(bool vistaOrLater) {
  std::wstring own;
  DWORD session = 0;
  if (!OwnUserAndSession(own, session)) return std::wstring();
  const UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return std::wstring();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    if (!SameName(entry.szExeFile, L"explorer.exe")) continue;
    const UniqueProcessHandle process(
        ::OpenProcess(vistaOrLater ? kTokenReadAccessVista : kTokenReadAccessXp, FALSE, entry.th32ProcessID));
    if (!process) continue;
    UniqueToken token;
    if (!::OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) continue;
    std::wstring sid;
    DWORD itsSession = 0;
    if (TokenUserAndSession(token.get(), sid, itsSession) && itsSession == session) return sid;
  }
  return std::wstring();
}

std::wstring WinSessionUsers::OwnSid() {
  std::wstring own;
  DWORD session = 0;
  return OwnUserAndSession(own, session) ? own : std::wstring();
}

RegistryAccess* WinSessionUsers::UserRegistry(const std::wstring& sid, bool& classesLoaded) {
  classesLoaded = false;
  if (!registry_.Open(sid)) return nullptr;
  classesLoaded = registry_.ClassesLoaded();
  return &registry_;
}
