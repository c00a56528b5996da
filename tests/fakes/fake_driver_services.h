#pragma once
// Fakes of the services only the run driver uses: console, dialog, clock and
// environment. They answer with chosen values and record what they were asked.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "driver/environment.h"
#include "driver/services.h"

// A console whose stream keeps everything written to it.
class FakeConsole : public Console {
 public:
  int utf16ModeSwitches = 0;

  void SetUtf16Mode() override { ++utf16ModeSwitches; }
  std::wostream& Stream() override { return stream; }
  std::wstring Text() const { return stream.str(); }

  std::wostringstream stream;
};

struct ShownDialog {
  std::wstring text;
  std::wstring title;
  unsigned flags = 0;
};

// Dialogs answer from `answers` in order, then with `defaultAnswer`.
// `onShow` runs while a dialog is up, to look at the world at that moment.
class FakeDialog : public Dialog {
 public:
  std::deque<int> answers;
  int defaultAnswer = kIdOk;
  std::function<void(const ShownDialog&)> onShow;
  std::vector<ShownDialog> shown;

  int Show(const std::wstring& text, const std::wstring& title, unsigned flags) override {
    shown.push_back({text, title, flags});
    if (onShow) onShow(shown.back());
    if (answers.empty()) return defaultAnswer;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

// Ticks answer from `ticks` in order, then repeat the last one (or 0).
class FakeClock : public Clock {
 public:
  std::deque<std::uint32_t> ticks;
  std::tm localTime = MakeTime(2026, 12, 6, 15, 5, 9);
  std::vector<std::uint32_t> sleeps;
  int localTimeReadings = 0;

  std::uint32_t TickCount() override {
    if (ticks.empty()) return lastTick_;
    lastTick_ = ticks.front();
    ticks.pop_front();
    return lastTick_;
  }
  void Sleep(std::uint32_t milliseconds) override { sleeps.push_back(milliseconds); }
  std::tm LocalNow() override {
    ++localTimeReadings;
    return localTime;
  }

  static std::tm MakeTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
  }

 private:
  std::uint32_t lastTick_ = 0;
};

// An environment whose names match without regard to the case of A to Z, as
// the Windows one does. `allocationFails` makes the heap refuse the value.
class FakeEnvironment : public Environment {
 public:
  std::map<std::wstring, std::wstring> variables;  // name as set -> value
  std::vector<std::wstring> lookedUp;              // every name whose size was asked
  bool allocationFails = false;
  std::vector<std::size_t> allocations;  // bytes asked for
  std::size_t releases = 0;

  std::size_t RequiredSize(const std::wstring& name) override {
    lookedUp.push_back(name);
    const std::wstring* value = Find(name);
    return value == nullptr ? 0 : value->size() + 1;
  }
  void Copy(const std::wstring& name, wchar_t* buffer, std::size_t size) override {
    const std::wstring* value = Find(name);
    if (value == nullptr || size == 0) return;
    const std::size_t count = value->size() < size - 1 ? value->size() : size - 1;
    value->copy(buffer, count);
    buffer[count] = L'\0';
  }
  void* Allocate(std::size_t bytes) override {
    allocations.push_back(bytes);
    return allocationFails ? nullptr : Environment::Allocate(bytes);
  }
  void Release(void* block) override {
    ++releases;
    Environment::Release(block);
  }

 private:
  static wchar_t Fold(wchar_t ch) { return ch >= L'A' && ch <= L'Z' ? static_cast<wchar_t>(ch - L'A' + L'a') : ch; }
  const std::wstring* Find(const std::wstring& name) const {
    for (const auto& [setName, value] : variables) {
      if (setName.size() != name.size()) continue;
      bool same = true;
      for (std::size_t i = 0; i < name.size() && same; ++i) same = Fold(setName[i]) == Fold(name[i]);
      if (same) return &value;
    }
    return nullptr;
  }
};
