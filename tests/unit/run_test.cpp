// The run's ways out through fakes (tests/unit/run.txt): exit code, how the
// log goes, what only the console shows, the dialogs and what was on disk
// while each was up, the wait after terminating, whether the registry was
// touched, the token closed, and the one event log entry of the run. What each family's reset writes is checked
// end to end under Wine.
#include "driver/run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>

#include "fakes/fakes.h"
#include "fuzz/reset_case.h"
#include "host/debug_privilege.h"
#include "support/flushes.h"
#include "support/memory_registry.h"
#include "support/rows.h"

namespace {

namespace fs = std::filesystem;

std::wstring Unescape(std::wstring text) {
  for (const auto& [escape, character] : {std::pair{L"\\r", L"\r"}, std::pair{L"\\n", L"\n"}}) {
    for (std::size_t at = text.find(escape); at != std::wstring::npos; at = text.find(escape, at + 1)) {
      text.replace(at, 2, character);
    }
  }
  return text;
}

// The log file's text after its byte-order mark; nothing without the file or the mark.
std::optional<std::wstring> ReadLog(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (bytes.compare(0, 2, "\xFF\xFE") != 0) return std::nullopt;
  std::wstring text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
  }
  return text;
}

// The console's text from its bytes: one byte a character up to the switch to
// UTF-16, UTF-16LE code units after it. Each LF must have gone out as CR LF and
// reads as LF again; one that did not shows as "<bare LF>".
std::wstring ConsoleText(const FakeConsole& console) {
  const std::string& bytes = console.output.bytes;
  const std::size_t narrow = std::min(console.narrowBytes, bytes.size());
  std::wstring units(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(narrow));
  for (wchar_t& unit : units) unit = static_cast<unsigned char>(unit);
  for (std::size_t i = narrow; i + 1 < bytes.size(); i += 2) {
    units += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
  }
  std::wstring text;
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (units[i] == L'\r' && i + 1 < units.size() && units[i + 1] == L'\n') continue;
    if (units[i] == L'\n' && (i == 0 || units[i - 1] != L'\r')) text += L"<bare LF>";
    text += units[i];
  }
  return text;
}

struct World {
  explicit World(const std::wstring& arrangement) {
    fs::create_directories(profile / "Desktop");
    fs::create_directories(profile / "Admin");
    records.desktop = profile.wstring() + L"\\Desktop";
    records.fallback = profile.wstring() + L"\\Admin";
    fs::create_directories(elsewhere.parent_path());
    std::ofstream(elsewhere, std::ios::binary) << "system file";
    environment.variables = {{L"USERPROFILE", profile.wstring()}, {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
                             {L"TEMP", L"C:\\Temp"}};
    host.version.majorVersion = 6;
    host.version.minorVersion = 1;
    host.version.productType = 1;
    processes.processes = {{100, 1, L"C:\\Temp\\Morvane.exe"}};
    sessions.user = &userRegistry;
    dialog.onShow = [this] {
      logAtDialog.push_back(ReadLog(logPath).value_or(ReadLog(profile / "Admin" / "Morvane.txt").value_or(L"")));
    };
    std::wistringstream words(arrangement);
    for (std::wstring word, name; words >> word;) {
      std::uint32_t a = 0, b = 0, c = 0;
      if (word == L"unset" && words >> word) environment.variables.erase(word);
      if (word == L"no-memory") environment.allocationFails = true;
      if (word == L"processor" && words >> a) host.architecture = static_cast<std::uint16_t>(a);
      if (word == L"product" && words >> a) host.version.productType = static_cast<std::uint8_t>(a);
      if (word == L"version" && words >> a >> b) {
        host.version.majorVersion = a;
        host.version.minorVersion = b;
      }
      if (word == L"build" && words >> a) host.version.buildNumber = a;
      if (word == L"reported" && words >> a >> b >> c) host.reported = OsVersionReport{a, b, c, 2, L"Service Pack 3"};
      if (word == L"repaired" && words >> a) {  // the registry as that family's reset leaves it
        std::wostream silent(nullptr);
        ResetAsFamily(registry, a, silent);
      }
      if (word == L"answer" && words >> a) dialog.answers = {static_cast<int>(a)};
      if (word == L"finish-answer" && words >> a) dialog.answers = {kIdOk, static_cast<int>(a)};
      if (word == L"argument" && words >> word) arguments.push_back(word);
      if (word == L"invisible-station") desktop.visible = false;
      if (word == L"session-zero") desktop.sessionZero = true;
      if (word == L"session-inactive") desktop.active = false;
      if (word == L"no-windows") desktop.windows = false;
      if (word == L"event-log-fails") eventLog.fails = true;
      if (word == L"privilege-refused") tokens.enableFails = true;
      if (word == L"privilege-unknown") tokens.lookupFails = true;
      if (word == L"no-token") tokens.openFails = true;
      if (word == L"ticks" && words >> a >> b) clock.ticks = {a, b};
      if (word == L"temp" && words >> word) environment.variables[L"TEMP"] = word;
      // A folder whose real path is another ("real FOLDER=REAL"): a junction or a substituted drive on the way.
      if (word == L"real" && words >> word) shortPaths.realPaths[word.substr(0, word.find(L'='))] = word.substr(word.find(L'=') + 1);
      if (word == L"process" && words >> word) processes.processes.push_back({7, 1, word});
      // No log file of its own: the Desktop missing or a link, Morvane.txt a link or a second name of a file elsewhere.
      // The shell names no Desktop; no administrators' folder, or one whose Morvane.txt or undo file is a link.
      if (word == L"no-desktop") records.desktop.clear();
      if (word == L"no-fallback") records.fallback.clear();
      if (word == L"fallback-log-link") fs::create_symlink(elsewhere, profile / "Admin" / "Morvane.txt");
      if (word == L"fallback-undo-link") fs::create_symlink(elsewhere, profile / "Admin" / "Morvane-undo.reg");
      if (word == L"no-desktop" || word == L"desktop-link") fs::remove(profile / "Desktop");
      if (word == L"desktop-link") fs::create_directory_symlink(elsewhere.parent_path(), profile / "Desktop");
      if (word == L"log-link") fs::create_symlink(elsewhere, logPath);
      if (word == L"log-hard-link") fs::create_hard_link(elsewhere, logPath);
      if (word == L"undo-link") fs::create_symlink(elsewhere, profile / "Desktop" / "Morvane-undo.reg");
      // A key made with a default value ("put KEY=VALUE"); a call on a key refused ("refuse set|delete|create KEY").
      if (word == L"put" && words >> word) PutText(registry, word.substr(0, word.find(L'=')), L"", word.substr(word.find(L'=') + 1));
      if (word == L"refuse" && words >> name >> word) {
        registry.Fail(name == L"set"      ? RegistryCallKind::SetValue
                      : name == L"create" ? RegistryCallKind::CreateKey
                                          : RegistryCallKind::DeleteOpenedKey,
                      word, kRegistryAccessDenied);
      }
      // A key whose access list grants only these rights (decimal).
      if (word == L"grant" && words >> name >> a) registry.Grant(name, a);
      // The signed-in user's SID and the run's own; that user's hive, or its classes hive, not loaded; its
      // profile folder in ProfileList ("profile-of SID=PATH"); a key of its hive ("user-put KEY=VALUE", HKCU
      // standing for that hive), a value of its Environment key ("user-env NAME=VALUE"); a variable of the run.
      if (word == L"signed-in" && words >> word) sessions.interactive = word;
      if (word == L"own" && words >> word) sessions.own = word == L"-" ? L"" : word;  // "-": it cannot be read
      if (word == L"no-user-hive") sessions.loaded = false;
      if (word == L"no-user-classes") sessions.classes = false;
      if (word == L"profile-of" && words >> word) {
        Put(registry, L"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + word.substr(0, word.find(L'=')),
            L"ProfileImagePath", ValueType::RegExpandSz, Sz(word.substr(word.find(L'=') + 1)));
      }
      if (word == L"user-put" && words >> word) PutText(userRegistry, word.substr(0, word.find(L'=')), L"", word.substr(word.find(L'=') + 1));
      if (word == L"user-env" && words >> word) {
        Put(userRegistry, L"HKCU\\Environment", word.substr(0, word.find(L'=')), ValueType::RegExpandSz,
            Sz(word.substr(word.find(L'=') + 1)));
      }
      if (word == L"env" && words >> word) environment.variables[FakeEnvironment::Upper(word.substr(0, word.find(L'=')))] = word.substr(word.find(L'=') + 1);
      if (word == L"processes" && words >> a) {
        for (std::uint32_t id = 7; id < 7 + a; ++id) {  // from the temporary folder, every second one by its short form
          processes.processes.push_back({id, 1, id % 2 == 1 ? L"C:\\Temp\\x.exe" : L"C:\\Temp~1\\x.exe"});
        }
      }
    }
  }
  ~World() { fs::remove_all(profile); }

  fs::path profile = fs::temp_directory_path() / ("morvane-run-" + std::to_string(::getpid()));
  fs::path logPath = profile / "Desktop" / "Morvane.txt";
  fs::path elsewhere = profile / "System" / "Morvane.txt";
  FakeConsole console;
  FakeDialog dialog;
  FakeClock clock;
  FakeEnvironment environment;
  FakeTokenService tokens;
  FakeHostQuery host;
  FakeShortPaths shortPaths;
  FakeProcessTable processes;
  MemoryRegistry registry;
  FakeDesktop desktop;
  FakeEventLog eventLog;
  FakeShell shell;
  FakeRecordFolders records;
  FakeSessionUsers sessions;
  MemoryRegistry userRegistry;  // the signed-in user's, HKCU its hive
  FakeSystemFiles files;
  std::vector<std::wstring> arguments;
  std::vector<std::wstring> logAtDialog;
};

// Whether `text` is `parts` ("a ... b ..."), each found after the one before;
// the first opens the text and the last ends it.
void ExpectParts(const std::wstring& parts, const std::wstring& text, const fs::path& profile) {
  std::size_t at = 0;
  for (std::size_t start = 0, end = 0; parts != L"-" && start < parts.size(); start = end + 5) {
    end = std::min(parts.find(L" ... ", start), parts.size());
    std::wstring part = Unescape(parts.substr(start, end - start));
    for (std::size_t mark = part.find(L"<profile>"); mark != std::wstring::npos; mark = part.find(L"<profile>")) {
      part.replace(mark, 9, profile.wstring());
    }
    const std::size_t found = text.find(part, at);
    EXPECT_TRUE(found != std::wstring::npos && (start != 0 || found == 0)) << testing::PrintToString(part);
    at = found == std::wstring::npos ? at : found + part.size();
  }
  EXPECT_EQ(at, text.size()) << "the text ends otherwise: " << testing::PrintToString(text);
}

TEST(Run, EveryWayOut) {
  std::map<wchar_t, std::wstring> dialogs;  // as the fake keeps them
  for (const Row& row : ReadRows("unit/dialogs.txt")) dialogs[row[0][0]] = Unescape(row[1] + L" | " + row[2] + L" | " + row[3]);
  const auto withProfile = [](std::wstring text, const fs::path& profile) {
    const std::size_t at = text.find(L"<profile>");
    return at == std::wstring::npos ? text : text.replace(at, 9, profile.wstring());
  };
  const std::vector<Row> rows = ReadRows("unit/run.txt");
  ASSERT_GT(rows.size(), 10u);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row[0]));
    World world(row[1]);
    RunServices services{world.console,   world.dialog,   world.clock,   world.environment,
                         world.tokens,    world.host,     world.shortPaths, world.processes,
                         world.registry,  world.desktop,  world.eventLog,   world.shell, world.records,
                         world.sessions,  world.files};
    const int exitCode = std::stoi(row[2]);
    EXPECT_EQ(::Run(services, world.arguments), exitCode);

    // The log file is on the Desktop or in the administrators' folder, never in both.
    const std::optional<std::wstring> onDesktop = ReadLog(world.logPath);
    const std::optional<std::wstring> log = onDesktop ? onDesktop : ReadLog(world.profile / "Admin" / "Morvane.txt");
    EXPECT_FALSE(onDesktop && ReadLog(world.profile / "Admin" / "Morvane.txt"));
    // "console: ..." : no log file, and the console carries the whole run.
    const bool consoleOnly = row[3].rfind(L"console: ", 0) == 0;
    const std::wstring parts = consoleOnly ? row[3].substr(9) : row[3];
    ASSERT_EQ(log.has_value(), parts != L"-" && !consoleOnly);
    ExpectParts(parts, consoleOnly ? ConsoleText(world.console) : log.value_or(L""), world.profile);
    if (!consoleOnly) {
      EXPECT_EQ(ConsoleText(world.console), log.value_or(L"") + Unescape(row[4])) << "the console carries the log once";
    }
    std::ifstream elsewhere(world.elsewhere, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(elsewhere), {}), "system file");

    ASSERT_EQ(world.dialog.shown.size(), row[5].size());
    for (std::size_t i = 0; i < row[5].size(); ++i) {
      EXPECT_EQ(world.dialog.shown[i], withProfile(dialogs[row[5][i]], world.profile));
      // The log holds everything up to the count line while the license dialog is up, and all of it by the last.
      const std::wstring& shown = world.logAtDialog[i];
      const auto ends = [&shown](const std::wstring& tail) {
        return shown.size() >= tail.size() && shown.compare(shown.size() - tail.size(), tail.size(), tail) == 0;
      };
      if (consoleOnly) continue;
      if (row[5][i] == L'L') {
        EXPECT_TRUE(ends(L" kill.\r\n\r\n") || ends(L" terminated!\r\n\r\n")) << testing::PrintToString(shown);
      } else if (row[5][i] == L'F') {
        // A closing dialog that could not be shown has its line after it.
        std::wstring before = log.value_or(L"");
        const std::wstring notShown = L"The closing dialog could not be shown; this log has the run's outcome.\r\n";
        if (before.size() > notShown.size() && before.compare(before.size() - notShown.size(), notShown.size(), notShown) == 0) {
          before.erase(before.size() - notShown.size());
        }
        EXPECT_EQ(shown, before);
      }
    }
    EXPECT_EQ(world.registry.State().empty(), row[6] == L"no");
    EXPECT_EQ(world.shell.notified, row[6] == L"yes" ? 1u : 0u) << "Explorer is told once of a change";
    if (row.size() > 8 && row[8] != L"-") {  // the run made the reset of that family, as the family's routines make it
      MemoryRegistry family;
      std::wostream silent(nullptr);
      ResetAsFamily(family, static_cast<std::uint32_t>(std::stoul(row[8])), silent);
      EXPECT_EQ(world.registry.State(), family.State());
    }
    EXPECT_EQ(world.registry.OpenKeys(), 0u);
    if (row[0].rfind(L"a Desktop that can take", 0) == 0) {
      EXPECT_EQ(world.records.fallbackAsked, 0);
    }
    EXPECT_EQ(world.clock.sleeps, std::vector<std::uint32_t>(std::stoul(row[7]), 2000));
    // The usage alone, asked for or with a refused switch, is no run: nothing
    // is looked at, and no entry written.
    if (row.size() > 9 && row[9] == L"none") {
      EXPECT_TRUE(world.eventLog.entries.empty());
      EXPECT_TRUE(world.processes.opened.empty() && world.tokens.opened.empty());
      EXPECT_EQ(world.desktop.asked, 0);
      continue;
    }
    // One entry a run, whether or not it could be written: information, warning
    // or error as the exit code is 0, 2 or 1, its event id the exit code.
    ASSERT_EQ(world.eventLog.entries.size(), 1u);
    const std::wstring opening = (exitCode == 0 ? L"0 " : exitCode == 2 ? L"1 " : L"2 ") + row[2] + L" | Morvane 1.0.0: ";
    EXPECT_EQ(world.eventLog.entries[0].rfind(opening, 0), 0u) << testing::PrintToString(world.eventLog.entries[0]);
    if (row.size() > 9) ExpectParts(opening + row[9], world.eventLog.entries[0], world.profile);
    const std::size_t text = world.eventLog.entries[0].find(L" | ") + 3;
    EXPECT_LE(world.eventLog.entries[0].size() - text, world.host.version.majorVersion == 5 ? 8000u : 31000u);
    const std::vector<TokenHandle> none;
    EXPECT_EQ(world.tokens.closed, world.tokens.openFails ? none : world.tokens.opened) << "the token is closed once";
  }
}

// The signed-in user beside the run's own account (tests/unit/signed_in.txt):
// the log ("=": byte for byte the log of the same run without that user), the
// undo file, the keys of that user's hive that stay, the processes ended.
TEST(Run, TheSignedInUser) {
  const std::vector<Row> rows = ReadRows("unit/signed_in.txt");
  ASSERT_GT(rows.size(), 4u);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row[0]));
    const auto run = [](World& world) {
      RunServices services{world.console,  world.dialog,   world.clock,      world.environment, world.tokens,
                           world.host,     world.shortPaths, world.processes, world.registry,  world.desktop,
                           world.eventLog, world.shell,    world.records,    world.sessions,   world.files};
      return ::Run(services, world.arguments);
    };
    std::optional<std::wstring> baseline;
    if (row[3] == L"=") {  // the same arrangement without the signed-in user's words
      std::wistringstream words(row[1]);
      std::wstring without;
      for (std::wstring word, skipped; words >> word;) {
        if (word == L"signed-in" || word == L"own" || word == L"profile-of" || word == L"user-put" || word == L"user-env") {
          words >> skipped;
        } else if (word != L"no-user-hive" && word != L"no-user-classes") {
          without += word + L" ";
        }
      }
      World plain(without);
      run(plain);
      baseline = ReadLog(plain.logPath);
      ASSERT_TRUE(baseline.has_value());
    }
    World world(row[1]);
    EXPECT_EQ(run(world), std::stoi(row[2]));
    const std::optional<std::wstring> log = ReadLog(world.logPath);
    ASSERT_TRUE(log.has_value());
    if (baseline) {
      EXPECT_EQ(*log, *baseline);
    } else {
      ExpectParts(row[3], *log, world.profile);
    }
    const std::optional<std::wstring> undo = ReadLog(world.profile / "Desktop" / "Morvane-undo.reg");
    ASSERT_EQ(row.size(), 7u);
    ASSERT_EQ(undo.has_value(), row[4] != L"-");
    if (undo) ExpectParts(row[4], *undo, world.profile);
    // Every key put in that user's hive goes, but those named to stay.
    std::wistringstream words(row[1]), kept(row[5]);
    std::set<std::wstring> stays;
    for (std::wstring key; kept >> key;) stays.insert(FoldName(key));
    for (std::wstring word; words >> word;) {
      if (word != L"user-put" || !(words >> word)) continue;
      const std::wstring key = word.substr(0, word.find(L'='));
      EXPECT_EQ(world.userRegistry.Has(key), stays.count(FoldName(key)) != 0) << testing::PrintToString(key);
    }
    std::wistringstream ended(row[6]);
    std::vector<std::uint32_t> terminated;
    for (std::uint32_t id = 0; ended >> id;) terminated.push_back(id);
    EXPECT_EQ(world.processes.terminated, terminated);
    EXPECT_EQ(world.userRegistry.OpenKeys(), 0u);
    EXPECT_EQ(world.registry.OpenKeys(), 0u);
    // The least access that reads a token: asked by the version.
    for (const bool vista : world.sessions.vistaAsked) EXPECT_EQ(vista, world.host.version.majorVersion >= 6);
  }
}

// Only a failed adjustment writes its line, flushed at once; the token is closed.
TEST(DebugPrivilege, AFailedAdjustmentIsOneFlushedLine) {
  FakeTokenService tokens;
  tokens.enableFails = true;
  Flushes log;
  std::wostream stream(&log);
  EnableDebugPrivilege(stream, tokens, 0x42);
  EXPECT_EQ(log.text, (std::vector<std::wstring>{L"Could not Gain SEDebugPrivileges: 5\r\n", L""}));
  EXPECT_EQ(tokens.closed, std::vector<TokenHandle>{0x42});
}

}  // namespace
