#include "driver/signed_in_user.h"

#include <cstddef>
#include <streambuf>
#include <vector>

#include "registry/operations.h"
#include "registry/policy_locks.h"
#include "registry/user_override.h"

namespace {

const std::wstring kProfileList = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";

// The variables that are the machine's, the same for every account; every
// other one may be the account's own.
constexpr const wchar_t* kMachineVariables[] = {L"SYSTEMROOT",   L"SYSTEMDRIVE",  L"WINDIR",
                                                L"PROGRAMDATA",  L"ALLUSERSPROFILE", L"PUBLIC"};

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

std::optional<std::wstring> MachineVariable(const std::wstring& name, Environment& environment) {
  bool machine = false;
  for (const wchar_t* known : kMachineVariables) machine = machine || Upper(name) == known;
  if (!machine) return std::nullopt;
  const std::size_t size = environment.RequiredSize(name);
  if (size == 0 || size > 0x8000) return std::nullopt;
  std::vector<wchar_t> buffer(size, L'\0');
  environment.Copy(name, buffer.data(), size);
  buffer[size - 1] = L'\0';
  return std::wstring(buffer.data());
}

// Counts what passes to the run log, so that a part with nothing to say
// can say so.
class CountingBuffer final : public std::wstreambuf {
 public:
  explicit CountingBuffer(std::wstreambuf& target) : target_(target) {}
  std::size_t count = 0;

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    ++count;
    return target_.sputc(traits_type::to_char_type(c));
  }
  std::streamsize xsputn(const wchar_t* text, std::streamsize n) override {
    count += static_cast<std::size_t>(n);
    return target_.sputn(text, n);
  }
  int sync() override { return target_.pubsync(); }

 private:
  std::wstreambuf& target_;
};

}  // namespace

std::optional<std::wstring> ExpandForUser(const std::wstring& text, const std::wstring& profile,
                                          Environment& environment) {
  std::wstring result;
  std::size_t at = 0;
  for (std::size_t open = text.find(L'%'); open != std::wstring::npos; open = text.find(L'%', at)) {
    const std::size_t close = text.find(L'%', open + 1);
    if (close == std::wstring::npos) break;  // a lone % stands for itself, as Windows leaves it
    result.append(text, at, open - at);
    const std::wstring name = text.substr(open + 1, close - open - 1);
    if (Upper(name) == L"USERPROFILE") {
      if (profile.empty()) return std::nullopt;
      result += profile;
    } else {
      const std::optional<std::wstring> value = MachineVariable(name, environment);
      if (!value) return std::nullopt;
      result += *value;
    }
    at = close + 1;
  }
  return result.append(text, at, std::wstring::npos);
}

void FindSignedInUser(SessionUsers& users, RegistryAccess& machine, Environment& environment, ShortPaths& paths,
                      SystemInfo& info) {
  const std::wstring sid = users.InteractiveUserSid(info.majorVersion >= 6);
  if (sid.empty()) return;
  const std::wstring own = users.OwnSid();
  // An account that cannot be told from the signed-in one is taken for it.
  if (own.empty() || Upper(own) == Upper(sid)) return;
  info.signedInSid = sid;

  const std::wstring profile =
      ExpandForUser(ReadTextValue(machine, RegistryRoot::HKLM, kProfileList + sid, L"ProfileImagePath"), L"",
                    environment)
          .value_or(L"");
  std::wstring temp;
  bool classesLoaded = false;
  if (RegistryAccess* user = users.UserRegistry(sid, classesLoaded)) {
    std::wstring stored = ReadTextValue(*user, RegistryRoot::HKCU, L"Environment", L"TEMP");
    if (stored.empty()) stored = ReadTextValue(*user, RegistryRoot::HKCU, L"Environment", L"TMP");
    if (!stored.empty()) temp = ExpandForUser(stored, profile, environment).value_or(L"");
  }
  CollectSignedInFolders(info, profile, temp, paths);
}

std::uint32_t RepairSignedInUser(SessionUsers& users, RegistryView& view, UndoRegistry& undo, const SystemInfo& info,
                                 std::wostream& runLog) {
  if (info.signedInSid.empty()) return 0;
  const std::wstring user = L"HKEY_USERS\\" + info.signedInSid;
  runLog << L"The signed-in user's settings, " << user << L" (HKCU in the lines below):\r\n";
  runLog.flush();
  bool classesLoaded = false;
  RegistryAccess* registry = users.UserRegistry(info.signedInSid, classesLoaded);
  if (registry == nullptr) {
    runLog << L"  * " << user << L" is not loaded: that user's settings could not be repaired!\r\n\r\n";
    runLog.flush();
    return 1;
  }
  undo.NameKeys(RegistryRoot::HKCU, L"", user);
  undo.NameKeys(RegistryRoot::HKCU, L"SOFTWARE\\Classes", user + L"_Classes");
  view.Use(*registry);

  CountingBuffer counted(*runLog.rdbuf());
  std::wostream lines(&counted);
  std::uint32_t failures = 0;
  if (classesLoaded) {
    failures += RemoveUserOverrides(undo, lines);
  } else {
    // Without its classes hive, HKCU\SOFTWARE\Classes is not that user's classes: left alone.
    lines << L"  * " << user << L"_Classes is not loaded: that user's classes could not be repaired!\r\n\r\n";
    lines.flush();
    ++failures;
    failures += RemoveExplorerChoices(undo, lines);
  }
  failures += RemovePolicyLocks(undo, lines, RegistryRoot::HKCU);
  if (counted.count == 0) {
    runLog << L"  * Nothing to remove.\r\n\r\n";
    runLog.flush();
  }

  view.UseOwn();
  undo.NameKeys(RegistryRoot::HKCU, L"", L"HKEY_CURRENT_USER");
  undo.NameKeys(RegistryRoot::HKCU, L"SOFTWARE\\Classes", L"HKEY_CURRENT_USER\\SOFTWARE\\Classes");
  return failures;
}
