#include "driver/run_log.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// Keeps what it is offered; takes at most `capacity` characters in all and
// fails its syncs from number `failingSync` on.
class Sink : public std::wstreambuf {
 public:
  Sink(std::size_t capacity, int failingSync) : capacity_(capacity), failingSync_(failingSync) {}
  std::wstring taken, offered;

 protected:
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
    offered.append(text, static_cast<std::size_t>(count));
    const std::size_t take = std::min(static_cast<std::size_t>(count), capacity_ - taken.size());
    taken.append(text, take);
    return static_cast<std::streamsize>(take);
  }
  int sync() override { return --failingSync_ > 0 ? 0 : -1; }

 private:
  std::size_t capacity_;
  int failingSync_;
};

// A sink that fails is dropped; the other gets every character exactly once
// and in order, the failed one is never offered a character twice, and the
// run log stays writable while one sink is left. Either sink may fail:
// taking nothing, stopping midway or at a full buffer, or failing a sync.
TEST(RunLogTee, AFailingSinkNeverSilencesTheOther) {
  const std::pair<std::size_t, int> failures[] = {{0, 99}, {40, 99}, {2100, 99}, {5000, 1}, {5000, 3}};
  const std::wstring lines[] = {L"banner\r\n", std::wstring(3000, L'x'), L"end\r\n", L"pending at close"};
  for (const bool fileFails : {true, false}) {
    for (const auto& [capacity, failingSync] : failures) {
      Sink failing(capacity, failingSync), healthy(~std::size_t{0}, 99);
      {
        basic_teebuf<wchar_t> tee(fileFails ? &failing : &healthy, fileFails ? &healthy : &failing);
        std::wostream log(&tee);
        for (const std::wstring& line : lines) {
          log << line;
          if (line != lines[3]) log.flush();
          EXPECT_TRUE(log.good()) << fileFails << capacity << " " << failingSync;
        }
      }
      const std::wstring everything = lines[0] + lines[1] + lines[2] + lines[3];
      EXPECT_EQ(healthy.taken, everything) << fileFails << capacity << " " << failingSync;
      EXPECT_EQ(healthy.offered, everything);
      EXPECT_EQ(everything.compare(0, failing.offered.size(), failing.offered), 0) << "offered twice";
    }
  }
}

TEST(RunLogTee, OnlyWhenBothSinksFailDoesTheRunLogFail) {
  Sink file(0, 99), console(3, 99);
  basic_teebuf<wchar_t> tee(&file, &console);
  std::wostream log(&tee);
  log << L"abcdef" << std::flush;
  EXPECT_TRUE(log.bad());
  EXPECT_EQ(console.taken, L"abc");
}

// Closing the log hands over what is pending: to the file, UTF-16LE after its mark, and to the console.
TEST(RunLogFile, ClosingHandsOverWhatIsPending) {
  const std::string path = std::filesystem::temp_directory_path() / ("morvane-log-" + std::to_string(::getpid()));
  Sink console(~std::size_t{0}, 99);
  const std::unique_ptr<RunLog> log = OpenRunLog(std::wstring(path.begin(), path.end()), console);
  log->Stream() << L"\u00E9!";
  CloseRunLog(*log);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string("\xFF\xFE\xE9\0!\0", 6));
  EXPECT_EQ(console.taken, L"\u00E9!");
  std::filesystem::remove(path);
}

}  // namespace
