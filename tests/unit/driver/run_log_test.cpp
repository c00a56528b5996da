#include "driver/run_log.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/utf8_console.h"
#include "test_support.h"

using namespace std::string_literals;

namespace {

std::wstring Text(std::size_t length, wchar_t first = L'a') {
  std::wstring text;
  for (std::size_t i = 0; i < length; ++i) text += static_cast<wchar_t>(first + static_cast<wchar_t>(i % 26));
  return text;
}

struct OverflowCase {
  std::size_t written;
  std::size_t deliveredBeforeFlush;
  int bulkCallsBeforeFlush;
};

class TeeOverflow : public testing::TestWithParam<OverflowCase> {};

TEST_P(TeeOverflow, HandsTextOverWhenFullAndAtFlush) {
  const OverflowCase& c = GetParam();
  RecordingSink first;
  RecordingSink second;
  basic_teebuf<wchar_t> tee(&first, &second);
  std::wostream stream(&tee);
  const std::wstring text = Text(c.written);

  stream << text;
  for (const RecordingSink* sink : {&first, &second}) {
    EXPECT_EQ(sink->taken, text.substr(0, c.deliveredBeforeFlush));
    EXPECT_EQ(sink->bulkCalls, c.bulkCallsBeforeFlush);
    EXPECT_EQ(sink->syncs, 0);
  }

  stream.flush();
  for (const RecordingSink* sink : {&first, &second}) {
    EXPECT_EQ(sink->taken, text);
    EXPECT_EQ(sink->syncs, 1);
  }
  EXPECT_TRUE(stream.good());
}

INSTANTIATE_TEST_SUITE_P(PutArea, TeeOverflow,
                         testing::Values(OverflowCase{1, 0, 0}, OverflowCase{2048, 0, 0},
                                         OverflowCase{2049, 2048, 1}, OverflowCase{4096, 2048, 1},
                                         OverflowCase{4097, 4096, 2}));

TEST(TeeBuffer, CharacterWithTheEndOfFileValueIsNotLost) {
  RecordingSink first;
  RecordingSink second;
  basic_teebuf<wchar_t> tee(&first, &second);
  std::wostream stream(&tee);
  const std::wstring text = Text(2048) + std::char_traits<wchar_t>::to_char_type(WEOF) + L"z";

  stream << text;
  stream.flush();

  EXPECT_EQ(first.taken, text);
  EXPECT_EQ(second.taken, text);
}

TEST(TeeBuffer, FlushWithNothingPendingSyncsBothSinks) {
  RecordingSink first;
  RecordingSink second;
  basic_teebuf<wchar_t> tee(&first, &second);
  std::wostream stream(&tee);

  stream.flush();

  EXPECT_TRUE(stream.good());
  for (const RecordingSink* sink : {&first, &second}) {
    EXPECT_EQ(sink->offered, L"");
    EXPECT_EQ(sink->syncs, 1);
  }
}

TEST(TeeBuffer, DestructionHandsOverWhatIsPending) {
  RecordingSink first;
  RecordingSink second;
  {
    basic_teebuf<wchar_t> tee(&first, &second);
    std::wostream stream(&tee);
    stream << L"unflushed";
  }
  EXPECT_EQ(first.taken, L"unflushed");
  EXPECT_EQ(second.taken, L"unflushed");
}

// A sink that fails is dropped: the other one still gets every character
// exactly once and in order, the stream stays good, and the failed sink is
// never offered a character twice.
struct SinkFailure {
  const char* name;
  bool firstFails;         // else the second sink fails
  std::size_t capacity;    // characters the failing sink takes in all
  int failingSync;         // the failing sink's first failing sync
};

class TeeSinkFailure : public testing::TestWithParam<SinkFailure> {};

TEST_P(TeeSinkFailure, OtherSinkGetsEverythingOnce) {
  const SinkFailure& c = GetParam();
  RecordingSink first;
  RecordingSink second;
  RecordingSink& failing = c.firstFails ? first : second;
  RecordingSink& healthy = c.firstFails ? second : first;
  failing.capacity = c.capacity;
  failing.failingSync = c.failingSync;

  std::wstring everything;
  {
    basic_teebuf<wchar_t> tee(&first, &second);
    std::wostream stream(&tee);
    const std::vector<std::wstring> messages = {L"Could not Gain SEDebugPrivileges: 5\r\n",
                                                Text(3000, L'A'), L"Windows Version: x\r\n\r\n",
                                                L"last\r\n"};
    for (const std::wstring& message : messages) {
      stream << message;
      stream.flush();
      everything += message;
      EXPECT_TRUE(stream.good()) << "after " << everything.size() << " characters";
    }
    stream << L"pending at close";
    everything += L"pending at close";
    tee.pubsync();
    EXPECT_TRUE(stream.good());
  }

  EXPECT_EQ(healthy.taken, everything);
  EXPECT_EQ(healthy.offered, everything);
  EXPECT_EQ(everything.compare(0, failing.offered.size(), failing.offered), 0)
      << "the failing sink was offered something twice";
}

INSTANTIATE_TEST_SUITE_P(
    Sinks, TeeSinkFailure,
    testing::Values(SinkFailure{"FileTakesNothing", true, 0, 1000},
                    SinkFailure{"FileStopsMidway", true, 40, 1000},
                    SinkFailure{"FileStopsAtOverflow", true, 2100, 1000},
                    SinkFailure{"FileSyncFails", true, static_cast<std::size_t>(-1), 2},
                    SinkFailure{"ConsoleTakesNothing", false, 0, 1000},
                    SinkFailure{"ConsoleStopsMidway", false, 40, 1000},
                    SinkFailure{"ConsoleSyncFails", false, static_cast<std::size_t>(-1), 1}),
    [](const testing::TestParamInfo<SinkFailure>& param) { return param.param.name; });

TEST(TeeBuffer, BothSinksFailingEndsTheStreamWithoutRepeats) {
  RecordingSink first;
  RecordingSink second;
  first.capacity = 0;
  second.capacity = 3;
  basic_teebuf<wchar_t> tee(&first, &second);
  std::wostream stream(&tee);

  stream << L"abcdef";
  stream.flush();
  EXPECT_TRUE(stream.bad());
  stream.clear();
  stream << L"ghi";
  stream.flush();
  tee.pubsync();

  EXPECT_EQ(first.offered, L"abcdef");
  EXPECT_EQ(second.offered, L"abcdef");
  EXPECT_EQ(second.taken, L"abc");
}

// The run log over a real file, and the UTF-8 console.
class RunLogFile : public testing::Test {
 protected:
  std::wstring LogPath() const { return (folder.Path() / "Morvane.txt").wstring(); }
  std::string FileBytes() const { return ReadBytes(folder.Path() / "Morvane.txt"); }

  TempFolder folder;
  std::stringbuf consoleBytes;
  Utf8ConsoleBuf console{consoleBytes};
};

TEST_F(RunLogFile, WritesUtf16LeAfterTheMarkAndUtf8ToTheConsole) {
  auto log = OpenRunLog(LogPath(), console);
  log->Stream() << L"caf\u00E9 \U0001F600 \u4E2D\r\nend" << L'\n';
  log->Stream().flush();
  CloseRunLog(*log);

  const std::string expectedFile =
      "\xFF\xFE"
      "c\0a\0f\0\xE9\0 \0\x3D\xD8\x00\xDE \0\x2D\x4E\r\0\n\0e\0n\0d\0\n\0"s;
  EXPECT_EQ(FileBytes(), expectedFile);
  EXPECT_EQ(consoleBytes.str(), "caf\xC3\xA9 \xF0\x9F\x98\x80 \xE4\xB8\xAD\r\nend\n");
}

TEST_F(RunLogFile, EachFlushLeavesEverythingSoFarOnDisk) {
  auto log = OpenRunLog(LogPath(), console);
  std::wstring written;
  for (const std::wstring& message : {std::wstring(L"one\r\n"), Text(700), std::wstring(L"two\r\n")}) {
    log->Stream() << message;
    log->Stream().flush();
    written += message;
    EXPECT_EQ(FileBytes(), LogBytes(written));
  }
  CloseRunLog(*log);
}

TEST_F(RunLogFile, SecondRunReplacesTheFirst) {
  for (const wchar_t* run : {L"first run, the longer of the two\r\n", L"second\r\n"}) {
    auto log = OpenRunLog(LogPath(), console);
    log->Stream() << run;
    log->Stream().flush();
    CloseRunLog(*log);
  }
  EXPECT_EQ(FileBytes(), LogBytes(L"second\r\n"));
}

TEST_F(RunLogFile, DestructionAfterCloseWritesNothingMore) {
  {
    auto log = OpenRunLog(LogPath(), console);
    log->Stream() << L"closing lines\n";
    CloseRunLog(*log);
  }
  EXPECT_EQ(FileBytes(), LogBytes(L"closing lines\n"));
  EXPECT_EQ(consoleBytes.str(), "closing lines\n");
}

TEST_F(RunLogFile, UncreatableFileLeavesTheConsoleWithEverythingOnce) {
  const std::wstring path = (folder.Path() / "Desktop" / "Morvane.txt").wstring();
  const std::wstring first = L"Morvane banner\r\n";
  const std::wstring rest = Text(2500) + L"\r\nlast line\r\n";
  {
    auto log = OpenRunLog(path, console);
    log->Stream() << first;
    log->Stream().flush();
    log->Stream() << rest;
    log->Stream().flush();
    EXPECT_TRUE(log->Stream().good());
    CloseRunLog(*log);
  }
  EXPECT_EQ(consoleBytes.str(), EncodeUtf8(first + rest));
  EXPECT_FALSE(std::filesystem::exists(folder.Path() / "Desktop"));
}

TEST_F(RunLogFile, FailingConsoleLeavesTheFileWithEverythingOnce) {
  RecordingSink brokenConsole;
  brokenConsole.capacity = 0;
  const std::wstring text = L"banner\r\n" + Text(3000) + L"\r\nend\n";
  {
    auto log = OpenRunLog(LogPath(), brokenConsole);
    log->Stream() << text.substr(0, 8);
    log->Stream().flush();
    log->Stream() << text.substr(8);
    log->Stream().flush();
    EXPECT_TRUE(log->Stream().good());
    CloseRunLog(*log);
  }
  EXPECT_EQ(FileBytes(), LogBytes(text));
  EXPECT_EQ(brokenConsole.offered, L"banner\r\n");
}

TEST_F(RunLogFile, FileThatStopsTakingWritesLeavesTheConsoleWithEverythingOnce) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const std::wstring text = L"banner\r\n" + Text(1000) + L"\r\nend\n";
  {
    auto log = OpenRunLog(L"/dev/full", console);
    log->Stream() << text.substr(0, 8);
    log->Stream().flush();
    log->Stream() << text.substr(8);
    log->Stream().flush();
    EXPECT_TRUE(log->Stream().good());
    CloseRunLog(*log);
  }
  EXPECT_EQ(consoleBytes.str(), EncodeUtf8(text));
}

struct Utf8Case {
  std::wstring text;
  std::string bytes;
};

TEST(Utf8, EncodesEveryValueWithoutFailing) {
  const std::vector<Utf8Case> cases = {
      {L"plain", "plain"},
      {L"\u00FF\u0100", "\xC3\xBF\xC4\x80"},
      {L"\uFFFF", "\xEF\xBF\xBF"},
      {L"\U00010000\U0010FFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {std::wstring(1, static_cast<wchar_t>(0xD800)), "\xEF\xBF\xBD"},
      {std::wstring(1, static_cast<wchar_t>(0x110000)), "\xEF\xBF\xBD"},
  };
  for (const Utf8Case& c : cases) EXPECT_EQ(EncodeUtf8(c.text), c.bytes);
}

TEST(Utf8, DecodesAndReplacesMalformedSequences) {
  const std::vector<Utf8Case> cases = {
      {L"C:\\Users\\J\u00F6rg", "C:\\Users\\J\xC3\xB6rg"},
      {L"\U0001F600", "\xF0\x9F\x98\x80"},
      {L"a\uFFFDb", "a\xFF" "b"},
      {L"\uFFFD\uFFFD", "\xC0\xAF"},           // overlong
      {L"\uFFFDz", "\xE4\xB8z"},               // cut short
      {L"\uFFFD", "\xED\xA0\x80"},            // a surrogate, encoded
      {L"\uFFFD", "\xE4"},                     // ends early
  };
  for (const Utf8Case& c : cases) EXPECT_EQ(DecodeUtf8(c.bytes), c.text) << c.bytes;
}

}  // namespace
