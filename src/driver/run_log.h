#pragma once
// The run log: one wide output stream whose every character goes to two
// places, the log file and the console.

#include <cstddef>
#include <cstdio>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>

#include "driver/wide_sink.h"

// A stream buffer that keeps up to 2048 characters and hands them, in one bulk
// call each, first to one sink and then to the other: on overflow and at every
// sync. A sink that fails to take its characters, or to sync, is dropped for
// the rest of the run, and the other sink keeps receiving every character
// exactly once, in order; nothing is offered twice. Only when no sink is left
// does the buffer report failure.
template <class CharT, class Traits = std::char_traits<CharT>>
class basic_teebuf final : public std::basic_streambuf<CharT, Traits> {
 public:
  using int_type = typename Traits::int_type;
  using sink_type = std::basic_streambuf<CharT, Traits>;
  static constexpr std::size_t kCapacity = 2048;

  basic_teebuf(sink_type* first, sink_type* second)
      : first_(first), second_(second), buffer_(new CharT[kCapacity]) {
    this->setp(buffer_.get(), buffer_.get() + kCapacity);
  }
  basic_teebuf(const basic_teebuf&) = delete;
  basic_teebuf& operator=(const basic_teebuf&) = delete;

  ~basic_teebuf() override { Flush(); }

 protected:
  int_type overflow(int_type ch) override {
    if (!HandOver()) return Traits::eof();
    if (Traits::eq_int_type(ch, Traits::eof())) return Traits::not_eof(ch);
    *this->pptr() = Traits::to_char_type(ch);
    this->pbump(1);
    return ch;
  }

  int sync() override { return Flush(); }

  // Bulk output fills the put area and hands it over whenever it is full and
  // more text follows, as character-by-character output would, but without
  // passing characters through overflow: there a character whose value equals
  // the end-of-file mark (U+FFFF where wide characters are 16 bits wide)
  // could not be told from it and would be lost.
  std::streamsize xsputn(const CharT* text, std::streamsize count) override {
    std::streamsize done = 0;
    while (done < count) {
      if (this->pptr() == this->epptr() && !HandOver()) break;
      const std::streamsize room = this->epptr() - this->pptr();
      const std::streamsize take = room < count - done ? room : count - done;
      Traits::copy(this->pptr(), text + done, static_cast<std::size_t>(take));
      this->pbump(static_cast<int>(take));
      done += take;
    }
    return done;
  }

 private:
  // Offers the pending characters to each sink still there; a sink that takes
  // fewer is dropped. The put area is emptied in every case, so that no
  // character reaches a sink twice.
  bool HandOver() {
    const std::streamsize pending = this->pptr() - this->pbase();
    for (sink_type** sink : {&first_, &second_}) {
      if (*sink != nullptr && (*sink)->sputn(this->pbase(), pending) != pending) *sink = nullptr;
    }
    this->setp(buffer_.get(), buffer_.get() + kCapacity);
    return first_ != nullptr || second_ != nullptr;
  }

  int Flush() {
    if (!HandOver()) return -1;
    for (sink_type** sink : {&first_, &second_}) {
      if (*sink != nullptr && (*sink)->pubsync() == -1) *sink = nullptr;
    }
    return first_ != nullptr || second_ != nullptr ? 0 : -1;
  }

  sink_type* first_;
  sink_type* second_;
  std::unique_ptr<CharT[]> buffer_;
};

// The log file's sink: every wide character goes to the file unconverted, as
// UTF-16LE code units (a character beyond U+FFFF as its surrogate pair where
// wide characters are 32 bits wide), through a fully buffered C stream of
// 256 bytes. A sink with no file behind it takes nothing.
class LogFileBuf final : public WideSinkBuf {
 public:
  LogFileBuf() = default;
  LogFileBuf(const LogFileBuf&) = delete;
  LogFileBuf& operator=(const LogFileBuf&) = delete;
  ~LogFileBuf() override { static_cast<void>(Close()); }

  // Opens `path` for appending in binary mode (OpenLogFile), created anew or
  // emptied, and writes the byte-order mark to it.
  [[nodiscard]] bool Open(const std::wstring& path);
  [[nodiscard]] bool IsOpen() const noexcept { return file_ != nullptr; }
  // Writes what is buffered and closes the file; false when that fails.
  [[nodiscard]] bool Close() noexcept;

 protected:
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override;
  int sync() override;

 private:
  std::FILE* file_ = nullptr;
  char fileBuffer_[256] = {};
};

// The run log's objects, created in this order and destroyed in the reverse:
// the log file's sink, the tee buffer, the run log stream.
class RunLog {
 public:
  RunLog(const std::wstring& logFilePath, std::wstreambuf& console);
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  std::wostream& Stream() noexcept { return stream_; }
  // Whether the log file could be opened: else the console carries the run alone.
  [[nodiscard]] bool HasFile() const noexcept { return file_.IsOpen(); }

 private:
  friend void CloseRunLog(RunLog& log);

  LogFileBuf file_;
  basic_teebuf<wchar_t> tee_;
  std::wostream stream_;
};

// Creates the log file anew, or empties it, with the UTF-16LE byte-order mark,
// and sets up the run log over it and `console`. The run log is writable
// whether or not the file could be opened; nothing is reported.
std::unique_ptr<RunLog> OpenRunLog(const std::wstring& logFilePath, std::wstreambuf& console);

// Hands the pending text to the sinks, syncs them and closes the log file.
void CloseRunLog(RunLog& log);
