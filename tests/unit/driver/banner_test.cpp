#include "driver/banner.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/run_log.h"
#include "fakes/fake_driver_services.h"
#include "test_support.h"

namespace {

// The run log as the run has it: a tee buffer in front of a recording sink,
// so that what each flush handed over can be seen.
struct RecordedLog {
  RecordingSink sink;
  RecordingSink unused;
  basic_teebuf<wchar_t> tee{&sink, &unused};
  std::wostream stream{&tee};
};

struct DurationCase {
  std::uint32_t start;
  std::uint32_t end;
  const wchar_t* executionTime;
};

TEST(ClosingLines, ExecutionTimeFromTheTickDifference) {
  const std::vector<DurationCase> cases = {
      {0, 59999, L"0 hours(s), 0 minute(s), and 59 seconds(s)"},
      {1000, 1999, L"0 hours(s), 0 minute(s), and 0 seconds(s)"},
      {7, 7, L"0 hours(s), 0 minute(s), and 0 seconds(s)"},
      {0, 3725500, L"1 hours(s), 2 minute(s), and 5 seconds(s)"},
      {100, 100 + 90061000, L"25 hours(s), 1 minute(s), and 1 seconds(s)"},
      {0xFFFFF000u, 0x00001000u, L"0 hours(s), 0 minute(s), and 8 seconds(s)"},
      {1, 0, L"1193 hours(s), 2 minute(s), and 47 seconds(s)"},
  };
  for (const DurationCase& c : cases) {
    RecordedLog log;
    FakeClock clock;
    clock.ticks = {c.end};
    WriteClosingLines(log.stream, c.start, clock);
    EXPECT_EQ(log.sink.taken, std::wstring(L"\r\nProgram finished at: 12/06/2026 03:05:09 PM\r\n") +
                                  L"Execution time: " + c.executionTime + L"\r\n\n")
        << c.start << " to " << c.end;
  }
}

TEST(ClosingLines, EverythingGoesOutAtTheFirstOfTwoFlushes) {
  RecordedLog log;
  FakeClock clock;
  clock.ticks = {5000};
  WriteClosingLines(log.stream, 0, clock);
  const std::size_t length = log.sink.taken.size();
  EXPECT_EQ(log.sink.takenAtSync, (std::vector<std::size_t>{length, length}));
  EXPECT_EQ(clock.localTimeReadings, 1);
}

struct ClockCase {
  int hour;
  int minute;
  int second;
  const wchar_t* text;
};

TEST(Banner, TwelveHourClockInTheStartLine) {
  const std::vector<ClockCase> cases = {
      {12, 0, 0, L"07/04/2012 12:00:00 PM"}, {0, 0, 0, L"07/04/2012 12:00:00 AM"},
      {15, 5, 9, L"07/04/2012 03:05:09 PM"}, {23, 59, 59, L"07/04/2012 11:59:59 PM"},
      {1, 2, 3, L"07/04/2012 01:02:03 AM"},  {11, 59, 59, L"07/04/2012 11:59:59 AM"},
  };
  for (const ClockCase& c : cases) {
    RecordedLog log;
    FakeClock clock;
    clock.localTime = FakeClock::MakeTime(2012, 7, 4, c.hour, c.minute, c.second);
    SystemInfo info;
    info.processorName = L"x64";
    WriteBanner(log.stream, info, clock);
    const std::wstring expectedEnd = std::wstring(L"\r\n\r\nProgram started at: ") + c.text + L" in x64 mode.\r\n";
    ASSERT_GE(log.sink.taken.size(), expectedEnd.size());
    EXPECT_EQ(log.sink.taken.substr(log.sink.taken.size() - expectedEnd.size()), expectedEnd);
  }
}

std::vector<std::wstring> Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

TEST(Banner, IdentificationLinesOneClockReadingOneFlush) {
  RecordedLog log;
  FakeClock clock;
  clock.localTime = FakeClock::MakeTime(2031, 1, 2, 3, 4, 5);
  SystemInfo info;
  info.processorName = L"x86";
  WriteBanner(log.stream, info, clock);

  const std::vector<std::wstring> lines = Lines(log.sink.taken);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_NE(lines[0].find(L"Morvane"), std::wstring::npos);
  EXPECT_NE(lines[1].find(L".example.org"), std::wstring::npos);
  EXPECT_NE(lines[2].find(L"-2031 the Morvane developers"), std::wstring::npos) << "the span ends this year";
  EXPECT_EQ(lines[3].find(L"http"), std::wstring::npos);
  EXPECT_EQ(lines[4].rfind(L" https://", 0), 0u) << "one blank, then the download address";
  EXPECT_NE(lines[4].find(L".example.org/"), std::wstring::npos);
  EXPECT_EQ(lines[5], L"");
  EXPECT_EQ(lines[6], L"Program started at: 01/02/2031 03:04:05 AM in x86 mode.");
  EXPECT_EQ(log.sink.taken.substr(log.sink.taken.size() - 2), L"\r\n");
  EXPECT_EQ(clock.localTimeReadings, 1);
  EXPECT_EQ(log.sink.takenAtSync, (std::vector<std::size_t>{log.sink.taken.size()}));
}

TEST(Banner, EmptyProcessorNameLeavesTwoBlanks) {
  RecordedLog log;
  FakeClock clock;
  WriteBanner(log.stream, SystemInfo{}, clock);
  const std::wstring end = L" PM in  mode.\r\n";
  EXPECT_EQ(log.sink.taken.substr(log.sink.taken.size() - end.size()), end);
}

}  // namespace
