#include "driver/run_log.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace {

// Keeps what it is offered; takes at most `capacity` characters in all and
// fails its syncs from number `failingSync` on.
class Sink : public std::wstreambuf {
 public:
  std::wstring taken, offered;
  std::size_t capacity = std::numeric_limits<std::size_t>::max();
  int failingSync = std::numeric_limits<int>::max();
  int syncs = 0;

 protected:
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
    offered.append(text, static_cast<std::size_t>(count));
    const std::size_t take = std::min(static_cast<std::size_t>(count), capacity - taken.size());
    taken.append(text, take);
    return static_cast<std::streamsize>(take);
  }
  int sync() override { return ++syncs >= failingSync ? -1 : 0; }
};

struct SinkFailure {
  bool fileFails;  // else the console fails
  std::size_t capacity;
  int failingSync;
};

// A sink that fails is dropped; the other gets every character exactly once
// and in order, the failed one is never offered a character twice, and the
// run log stays writable while one sink is left.
TEST(RunLogTee, AFailingSinkNeverSilencesTheOther) {
  const SinkFailure cases[] = {{true, 0, 99},    {true, 40, 99},  {true, 2100, 99}, {true, 5000, 2},
                               {false, 0, 99},   {false, 40, 99}, {false, 5000, 1}, {false, 2100, 3}};
  for (const SinkFailure& c : cases) {
    Sink file, console;
    Sink& failing = c.fileFails ? file : console;
    failing.capacity = c.capacity;
    failing.failingSync = c.failingSync;
    std::wstring everything;
    {
      basic_teebuf<wchar_t> tee(&file, &console);
      std::wostream log(&tee);
      for (const std::wstring& line : {std::wstring(L"banner\r\n"), std::wstring(3000, L'x'), std::wstring(L"end\r\n")}) {
        log << line << std::flush;
        everything += line;
        EXPECT_TRUE(log.good()) << c.capacity << " " << c.failingSync;
      }
      log << L"pending at close";
      everything += L"pending at close";
    }
    const Sink& healthy = c.fileFails ? console : file;
    EXPECT_EQ(healthy.taken, everything) << c.capacity << " " << c.failingSync;
    EXPECT_EQ(healthy.offered, everything);
    EXPECT_EQ(everything.compare(0, failing.offered.size(), failing.offered), 0) << "offered twice";
  }
}

TEST(RunLogTee, OnlyWhenBothSinksFailDoesTheRunLogFail) {
  Sink file, console;
  file.capacity = 0;
  console.capacity = 3;
  basic_teebuf<wchar_t> tee(&file, &console);
  std::wostream log(&tee);
  log << L"abcdef" << std::flush;
  EXPECT_TRUE(log.bad());
  EXPECT_EQ(console.taken, L"abc");
}

}  // namespace
