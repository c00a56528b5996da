#pragma once
// What a run needs when nobody may be there to answer it: the switch that
// confirms it in advance, the decision whether anyone can answer at all, and
// the summary of the run that goes to the system's event log.

#include <cstdint>
#include <streambuf>
#include <string>
#include <vector>

#include "driver/services.h"
#include "driver/wide_sink.h"
#include "host/host_query.h"

// What the command line asks for. Switches begin with / or - and are told in
// any letter case: /quiet (or -quiet) confirms the run in advance, so that it
// shows no dialog; /?, -?, /h, -h, /help and --help ask for the usage alone.
// Any other switch is refused, naming the first one; an argument that is no
// switch is ignored.
struct CommandLine {
  bool quiet = false;
  bool help = false;
  std::wstring unknownSwitch;  // empty when every switch is known
};
CommandLine ReadCommandLine(const std::vector<std::wstring>& arguments);

// The usage text, its lines ending in LF as console text does: what the program does, its switches,
// its exit codes and where its record goes.
extern const wchar_t kUsageText[];
// The line that refuses an unknown switch, before the usage: the switch and a
// full stop follow.
extern const wchar_t kUnknownSwitchLine[];

// The line that stops a run nobody can answer, or null when someone can: the
// process's window station is not shown on any screen; from Windows Vista on,
// the process runs in session 0, where Windows shows no user's desktop; its
// session is not active; or no window, and so no dialog, can be made.
const wchar_t* NobodyToAnswer(Desktop& desktop, HostQuery& host);

// The dialog of a run confirmed in advance: nothing is shown and the answer is
// OK.
class NoDialog final : public Dialog {
 public:
  int Show(const std::wstring&, const std::wstring&, unsigned) override { return kIdOk; }
};

// Everything the run writes to the console, kept for the run's summary while
// it goes on to the console's own sink. A console that fails to take its text
// is left alone from then on; the copy goes on.
class Transcript final : public WideSinkBuf {
 public:
  explicit Transcript(std::wstreambuf& console) : console_(&console) {}

  [[nodiscard]] const std::wstring& Text() const noexcept { return text_; }

 protected:
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override;
  int sync() override;

 private:
  std::wstreambuf* console_;
  std::wstring text_;
};

// The event log entry of a run that ended with `exitCode`: information for 0,
// a warning for 2, an error for 1.
EventType EventTypeOf(int exitCode);

// The entry's text: the version and how the run ended, the log file, then
// every report line of the run (what was terminated, repaired, could not be
// reset, and the undo file) or, for a run that stopped early, the line that
// says why. Cut to what one entry holds: 31,000 characters, 8,000 on the
// Windows of `majorVersion` 5 (XP and Server 2003).
std::wstring RunSummary(int exitCode, const std::wstring& logFilePath, const std::wstring& transcript,
                        std::uint32_t majorVersion);
