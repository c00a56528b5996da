"""What Morvane's runs look like, for the scenarios: the shape of the banner,
of a whole run's log, and the checks that every run under Wine must pass
(the log file and the console carry the same text, byte for byte)."""

import re

from morvane_wine import console_bytes, log_text

BOM = b"\xff\xfe"
TIME = r"(\d\d)/(\d\d)/(\d{4}) (0[1-9]|1[0-2]):[0-5]\d:[0-5]\d [AP]M"

# Five identification lines (their wording is Morvane's own), the last one
# starting with a blank, then an empty line and the start line.
BANNER = (r"(?P<id1>[^\r\n]+)\r\n(?P<id2>[^\r\n]+)\r\n(?P<years>[^\r\n]+)\r\n(?P<id4>[^\r\n]+)\r\n"
          r" (?P<id5>[^\r\n]+)\r\n\r\n"
          r"Program started at: (?P<started>" + TIME + r") in (?P<processor>[^\r\n]*) mode\.\r\n")

CHECKING = "Checking for processes to terminate before fixing executable associations.\r\n"
NONE_KILLED = " * No processes found to kill.\r\n\r\n"
RESETTING = "Resetting .EXE, .COM, & .BAT associations in the Windows Registry.\r\n\r\n"
CANCELLED = "Program cancelled by the user!\r\n"
UNSUPPORTED_NOTE = "Your version of Windows is not supported by this program.\r\n"
# Registry report lines: two blanks, an asterisk, ... "!\r\n", mostly one more "\r\n".
# (The extra CR LF is not taken from the closing lines' own leading CR LF.)
REPORTS = r"(?P<reports>(?:  \* [^\r\n]*!\r\n(?:\r\n(?!Program finished at: ))?)*)"
CLOSING = (r"\r\nProgram finished at: (?P<finished>" + TIME + r")\r\n"
           r"Execution time: (?P<hours>\d+) hours\(s\), (?P<minutes>\d+) minute\(s\), and "
           r"(?P<seconds>\d+) seconds\(s\)\r\n\n")


class _Literal(str):
    """A piece that stands for exactly this text (shown as such in failures)."""

    def __new__(cls, text):
        piece = super().__new__(cls, re.escape(text))
        piece.text = text
        return piece


def _literal(text):
    return _Literal(text)


def _describe(piece):
    return "the text %r" % piece.text if isinstance(piece, _Literal) else "the pattern %r" % str(piece)


def normal_run(os_name):
    """The pieces of a whole run that reached its end with no process to
    terminate: a list of regular expressions, matched one after the other."""
    return [BANNER, _literal("Windows Version: %s\r\n\r\n" % os_name), _literal(CHECKING),
            _literal(NONE_KILLED), _literal(RESETTING), REPORTS, CLOSING]


def cancelled_run(os_name):
    """A run that the user cancelled in the confirmation dialog."""
    return [BANNER, _literal("Windows Version: %s\r\n\r\n" % os_name), _literal(CHECKING),
            _literal(NONE_KILLED), _literal(CANCELLED)]


def unsupported_run(os_name, note):
    """A run that stopped on an unsupported Windows version."""
    return [BANNER, _literal("\r\nYour operating system, %s, is not supported.\r\n%s" % (os_name, note))]


def match_pieces(text, pieces):
    """Matches the pieces one after the other over the whole text. Returns
    (groups, None) on success, or (None, a description of where it failed)."""
    # The verdict comes from the pieces as one expression (a piece may need
    # to give back text to the next one); matching them one by one only
    # tells where a text that does not match went wrong.
    whole = re.fullmatch("".join(pieces), text, re.DOTALL)
    if whole:
        return {k: v for k, v in whole.groupdict().items() if v is not None}, None
    at = 0
    groups = {}
    for number, piece in enumerate(pieces):
        match = re.compile(piece, re.DOTALL).match(text, at)
        if match is None:
            return None, ("piece %d of %d does not match at character %d\n  expected: %s\n"
                          "  actual:   %r\n  matched so far ends: %r"
                          % (number + 1, len(pieces), at, _describe(piece), text[at:at + 300], text[max(0, at - 120):at]))
        groups.update({k: v for k, v in match.groupdict().items() if v is not None})
        at = match.end()
    if at != len(text):
        return None, "text after the expected end, at character %d: %r" % (at, text[at:at + 300])
    return None, "the pieces match one by one but not as a whole: %r" % text


def check_shape(s, text, pieces, what="log"):
    """The text must be made of the pieces, in order and nothing else;
    returns the named groups (or None). Also checks what every banner must
    show: the processor, and a year span that ends in the year the run
    started."""
    if text is None:
        s.fail("%s: there is no text" % what)
        return None
    groups, failure = match_pieces(text, pieces)
    if failure:
        s.fail("%s: %s" % (what, failure))
        return None
    if "processor" in groups:
        s.check_equal(groups["processor"], "x64", what + ": processor in the banner")
        year = groups["started"][6:10]
        s.check(re.search(r"\b%s\b" % year, groups["years"]) is not None,
                "%s: the year line %r does not name the year %s" % (what, groups["years"], year))
    return groups


def check_log_and_console(s, run, log, pieces):
    """The log file starts with FF FE, its text is made of the pieces, and
    the console received exactly the same text (each LF as CR LF). Returns
    the log's text and the named groups."""
    s.check_startswith(log, BOM, "log file")
    text = log_text(log)
    match = check_shape(s, text, pieces) if text is not None else None
    if text is not None:
        s.check_equal(run.stdout, console_bytes(text), "console bytes (the log's text, LF as CR LF)")
    return text, match


# The keys a run may change: the machine-wide classes of the three file types
# and the user's own classes of them.
ASSOCIATION_KEYS = (
    [r"HKLM\Software\Classes" + "\\" + name for name in (".exe", ".bat", ".com", "exefile", "batfile", "comfile")]
    + [r"HKCU\Software\Classes" + "\\" + name for name in (".exe", ".bat", ".com", "exefile", "batfile",
                                                            "comfile")])


def check_registry_unchanged(s, before, after):
    for key in before:
        s.check_equal(after.get(key), before[key], "registry key %s after the run" % key)
