#include "registry/debugger_locks.h"

#include <cstddef>
#include <vector>

#include "registry/operations.h"
#include "registry/registry_text.h"
#include "registry/user_override.h"

namespace {

const std::wstring kSoftware = L"Software";
const std::wstring kDebugger = L"Debugger";
const std::wstring kCurrentVersion = L"Software\\Microsoft\\Windows\\CurrentVersion";

// The options of each image name, in the 64-bit view and the 32-bit one,
// below Software.
constexpr const wchar_t* kOptionViews[] = {
    L"Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
    L"Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
};

// The folders of installed programs, as Windows names them below CurrentVersion.
constexpr const wchar_t* kProgramFolderValues[] = {L"ProgramFilesDir", L"ProgramFilesDir (x86)"};

// The names of the subkeys of HKLM\Software\relative, reached through no
// link; none when it is missing or a link. A name with a control character
// names no program (no file name holds one), and is passed over.
std::vector<std::wstring> SubkeysBelow(RegistryAccess& registry, const std::wstring& relative) {
  std::vector<std::wstring> names;
  RegistryKey key(registry);
  bool linked = true;
  if (OpenKeyBelow(registry, RegistryRoot::HKLM, kSoftware, relative, kKeyReadWow64, key, linked) !=
          kRegistrySuccess ||
      linked) {
    return names;
  }
  std::wstring name;
  for (std::uint32_t index = 0; registry.EnumKey(key.get(), index, name) == kRegistrySuccess; ++index) {
    if (!name.empty() && name.find(L'\\') == std::wstring::npos && EscapeControlCharacters(name) == name) {
      names.push_back(name);
    }
  }
  return names;
}

wchar_t Folded(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// A full path's drive ("C:") and folder names as Windows takes them: each
// without its trailing dots and spaces, empty ones (doubled separators)
// dropped. False for a path that is not a full path with a drive letter, and
// for one with a "." or ".." name, which would lead elsewhere.
bool SplitFullPath(const std::wstring& path, std::vector<std::wstring>& components) {
  components.clear();
  if (path.size() < 3 || path[1] != L':' || (path[2] != L'\\' && path[2] != L'/')) return false;
  components.push_back(std::wstring{Folded(path[0]), L':'});
  std::size_t start = 3;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring name = path.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;
    const std::size_t kept = name.find_last_not_of(L". ");
    if (kept == std::wstring::npos) return false;
    name.resize(kept + 1);
    for (wchar_t& c : name) c = Folded(c);
    components.push_back(name);
  }
  return true;
}

// Whether the full path `program` lies inside the folder `folder`, which
// must be a folder below a drive's root (a root would hold every program).
bool Inside(const std::wstring& program, const std::wstring& folder) {
  std::vector<std::wstring> file, within;
  if (!SplitFullPath(program, file) || !SplitFullPath(folder, within) || within.size() < 2 ||
      file.size() <= within.size()) {
    return false;
  }
  for (std::size_t i = 0; i < within.size(); ++i) {
    if (file[i] != within[i]) return false;
  }
  return true;
}

// The program a Debugger value starts: its first word, in quotes or up to
// the first blank, its variables expanded.
std::wstring ProgramOf(const std::wstring& command, SystemFiles& files) {
  const std::size_t start = command.find_first_not_of(L" \t");
  if (start == std::wstring::npos) return std::wstring();
  if (command[start] == L'"') {
    const std::size_t end = command.find(L'"', start + 1);
    return files.Expand(command.substr(start + 1, end == std::wstring::npos ? end : end - start - 1));
  }
  const std::size_t end = command.find_first_of(L" \t", start);
  return files.Expand(command.substr(start, end == std::wstring::npos ? end : end - start));
}

class DebuggerRemoval {
 public:
  DebuggerRemoval(RegistryAccess& registry, std::wostream& runLog, SystemFiles& files)
      : registry_(registry), runLog_(runLog), files_(files) {}

  std::uint32_t Run() {
    std::uint32_t failures = 0;
    for (const wchar_t* view : kOptionViews) {
      for (const std::wstring& image : SubkeysBelow(registry_, view)) {
        const std::wstring options = std::wstring(view) + L"\\" + image;
        failures += Check(options);
        // Windows 10 picks the options of an image by its full path among
        // these subkeys (UseFilter and FilterFullPath), each with its own
        // Debugger.
        for (const std::wstring& filter : SubkeysBelow(registry_, options)) failures += Check(options + L"\\" + filter);
      }
    }
    return failures;
  }

 private:
  // The Debugger value of Software\relative: kept with its line when it
  // starts an installed program, else removed.
  std::uint32_t Check(const std::wstring& relative) {
    std::wstring command;
    if (ReadValueBelow(registry_, RegistryRoot::HKLM, kSoftware, relative, kDebugger, command) == Reached::kFound) {
      const std::wstring program = ProgramOf(command, files_);
      for (const std::wstring& folder : ProgramFolders()) {
        if (!Inside(program, folder) || !files_.IsFile(program)) continue;
        const std::wstring shown = L"HKLM\\" + kSoftware + L"\\" + relative + L"\\\\" + kDebugger;
        runLog_ << L"  * " << shown << L" exists and is set to " << EscapeControlCharacters(command) << L"!\r\n"
                << L"  * " << shown << L" was kept: it starts " << EscapeControlCharacters(program)
                << L", a program installed in " << EscapeControlCharacters(folder) << L"!\r\n\r\n";
        runLog_.flush();
        return 0;
      }
    }
    return RemoveReportedValue(registry_, runLog_, RegistryRoot::HKLM, kSoftware, relative, kDebugger);
  }

  // Read once, when the first Debugger value is found.
  const std::vector<std::wstring>& ProgramFolders() {
    if (!foldersRead_) {
      foldersRead_ = true;
      for (const wchar_t* name : kProgramFolderValues) {
        const std::wstring folder = files_.Expand(ReadTextValue(registry_, RegistryRoot::HKLM, kCurrentVersion, name));
        if (!folder.empty()) folders_.push_back(folder);
      }
    }
    return folders_;
  }

  RegistryAccess& registry_;
  std::wostream& runLog_;
  SystemFiles& files_;
  bool foldersRead_ = false;
  std::vector<std::wstring> folders_;
};

}  // namespace

std::uint32_t RemoveDebuggers(RegistryAccess& registry, std::wostream& runLog, SystemFiles& files) {
  return DebuggerRemoval(registry, runLog, files).Run();
}
