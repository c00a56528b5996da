#!/usr/bin/env python3
"""runner.py MORVANE.EXE TOOLS_DIR WORK_DIR SCENARIO_DIR: runs the scenario
under Wine (tests/wine/README.md). Exit status 0 passed, 1 a check failed, 2
the runner could not go on."""
import configparser, fcntl, glob, os, pathlib, re, shutil, signal, subprocess, sys, tempfile, threading, time

KEYS = {"ok": "Return", "cancel": "Escape"}
# Debian's Wine has no preloader: with address space randomisation its loader
# now and then takes the address of the shared user data, and the program
# exits 1 before it runs. Randomisation off (Wine's own processes inherit it);
# err+virtual would say so should it happen all the same.
NO_ASLR = ["setarch", "x86_64", "-R"]
WINE_ENV = {"WINEDEBUG": "-all,err+virtual", "WINEDLLOVERRIDES": "mscoree,mshtml=", "LANG": "C.UTF-8"}
TEMPLATE_LAYOUT = "5"  # bump when the template is made differently
PLACEHOLDERS = {"time": r"\d\d/\d\d/\d{4} (?:0[1-9]|1[0-2]):[0-5]\d:[0-5]\d [AP]M", "n": r"\d+", "pid": r"\d+",
                "hex": r"[0-9A-Fa-f]+", "rest": r".*"}
# Wine's event log calls are stubs that trace what they are given: the source
# on advapi's fixme class, each string of an entry on the eventlog channel.
EVENT_DEBUG = "-all,err+virtual,fixme+advapi,+eventlog"
EVENT_CALL = re.compile(r"^[0-9a-f]+:(\w+:\w+:(?:RegisterEventSourceW|ReportEventW|DeregisterEventSource) .*\n)", re.M)
WAIT = 120  # seconds: the bound of every wait, generous since CI machines are loaded
DEVNULL = subprocess.DEVNULL


def wine_env(prefix, home, display=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("WINE", "LC_", "DISPLAY", "WAYLAND"))}
    env.update(WINE_ENV, WINEPREFIX=prefix, HOME=home, **({"DISPLAY": display} if display else {}))
    return env


def windows(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def read_text(path):  # line ends as they are; UTF-16LE after a byte-order mark, else UTF-8
    data = pathlib.Path(path).read_bytes()
    return data[2:].decode("utf-16-le") if data[:2] == b"\xff\xfe" else data.decode("utf-8")


def read_bytes(path):
    return pathlib.Path(path).read_bytes() if os.path.isfile(path) else None


def utf16_file(text):
    return b"\xff\xfe" + text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-16-le")


def make_template(work):
    # The template prefix, made once per build folder and again when the Wine
    # version or TEMPLATE_LAYOUT changes.
    path = os.path.join(work, "template")
    key = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout + TEMPLATE_LAYOUT
    if read_bytes(os.path.join(path, "ready")) == key.encode():
        return path
    print("runner: making the template prefix", flush=True)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(os.path.join(path, "home"))
    env = wine_env(os.path.join(path, "prefix"), os.path.join(path, "home"))
    # With no window manager, dialogs close in 0.6 s instead of 2 s when Wine
    # manages their windows itself; a crash ends the program instead of
    # waiting in a dialog that nobody answers.
    for args in (["wineboot", "-i"],
                 ["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f"],
                 ["wine", "reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD",
                  "/d", "0", "/f"],
                 ["wineserver", "-w"]):
        subprocess.run(NO_ASLR + args, env=env, cwd=path, stdout=DEVNULL, timeout=600, check=True)
    # The profile's folders are links to the HOME the prefix was made with:
    # real folders instead, so that each copy has a Desktop of its own.
    for folder in glob.glob(os.path.join(path, "prefix", "drive_c", "users", "*", "*")):
        if os.path.islink(folder):
            os.unlink(folder), os.mkdir(folder)
    pathlib.Path(path, "ready").write_text(key)
    return path


class Prefix:
    # A copy of the template with its wineserver, an Xvfb when a run needs a
    # display, and a hidden window that keeps the prefix's desktop up.

    def __init__(self, work, name, tools):
        os.makedirs(os.path.join(work, "runs"), exist_ok=True)
        self.root = tempfile.mkdtemp(prefix=name + "-", dir=os.path.join(work, "runs"))
        self.path, self.home, self.tools = os.path.join(self.root, "prefix"), os.path.join(self.root, "home"), tools
        self.work, self.display, self.xvfb, self.started, self.immutable = work, None, None, [], []

    def open(self, display):
        os.mkdir(self.home)
        with open(os.path.join(self.work, "template.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)  # ctest -j: one makes the template, the others wait
            template = os.path.join(make_template(self.work), "prefix")
            # Hard links: a copy in well under a second. The wineserver rewrites a
            # registry file that has more than one link in place: those are copied.
            subprocess.run(["cp", "-al", template, self.path], check=True)
            for name in ("system.reg", "user.reg", "userdef.reg"):
                os.unlink(os.path.join(self.path, name))
                shutil.copy2(os.path.join(template, name), self.path)
        self.user = next(n for n in os.listdir(os.path.join(self.path, "drive_c", "users")) if n != "Public")
        if display:
            read, write = os.pipe()
            self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp"], pass_fds=(write,),
                                         stdout=DEVNULL, stderr=DEVNULL)
            os.close(write)
            with os.fdopen(read) as displayfd:
                self.display = ":" + displayfd.readline().strip()
            if self.display == ":":
                raise RuntimeError("Xvfb did not start")
        subprocess.run(NO_ASLR + ["wineserver", "-p30"], env=self.env(), check=True)
        # The prefix's first program makes its desktop: on the display, if any.
        self.sleeper(os.path.join(self.tools, "sleeper.exe"), display=True, seconds=3600)

    def env(self, display=False, debug=None):
        return dict(wine_env(self.path, self.home, self.display if display else None),
                    **({"WINEDEBUG": debug} if debug else {}))

    def unix(self, windows_path):  # a path on C:
        return os.path.join(self.path, "drive_c", windows_path[3:].replace("<user>", self.user).replace("\\", "/"))

    def place(self, source, windows_path=None):
        # The Windows path to start the program by: a copy at windows_path, if any.
        if not windows_path:
            return windows(source)
        os.makedirs(os.path.dirname(self.unix(windows_path)), exist_ok=True)
        shutil.copyfile(source, self.unix(windows_path))
        return windows_path.replace("<user>", self.user)

    def start(self, args, display=False, output=DEVNULL, errors=DEVNULL, debug=None):
        proc = subprocess.Popen(NO_ASLR + ["wine"] + args, env=self.env(display, debug), cwd=self.root,
                                stdin=DEVNULL, stdout=output, stderr=errors)
        self.started.append(proc)
        return proc

    def run(self, args, display=False, debug=None):
        # Runs a Windows program to its end: (exit code, stdout, stderr). The
        # output goes to files, which a background process of Wine's that holds
        # a copy of the handles cannot keep open the way it would a pipe.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = self.start(args, display, out, err, debug).wait(WAIT)  # TimeoutExpired names the command
            out.seek(0), err.seek(0)
            return code, out.read(), err.read()

    def sleeper(self, program, display, seconds=300):
        # Starts the sleeper program by this path and waits until it runs;
        # returns (process, its Windows process id).
        marker = tempfile.mktemp(dir=self.root)
        proc = self.start([program.replace("<user>", self.user), str(seconds), windows(marker)], display)
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline and proc.poll() is None:
            if (read_bytes(marker) or b"").isdigit():
                return proc, int(read_bytes(marker))
            time.sleep(0.05)
        raise RuntimeError("the sleeper %s did not start (exit code %r)" % (program, proc.poll()))

    def close(self):
        for proc in self.started:
            proc.kill()
        if os.path.exists(self.path):
            subprocess.run(NO_ASLR + ["wineserver", "-k"], env=self.env(), stderr=DEVNULL, timeout=WAIT)
        for proc in self.started:
            proc.wait(WAIT)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(WAIT)
        for path in self.immutable:
            subprocess.run(["chattr", "-i", path])
        shutil.rmtree(self.root, ignore_errors=True)


class Answerer(threading.Thread):
    # Answers every window that shows while a run goes on (only dialogs do), as
    # told or else OK; keeps their titles in the order seen and the log file's
    # bytes at that moment.

    def __init__(self, prefix, answers, log_path):
        super().__init__(daemon=True)
        self.prefix, self.answers, self.log_path = prefix, answers, log_path
        self.seen, self.logs, self.errors, self.done = [], {}, [], threading.Event()

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.prefix.display),
                              capture_output=True, text=True, timeout=WAIT).stdout

    def run(self):
        sent = {}  # (window, title): when its key was last sent
        while not self.done.wait(0.1):
            try:
                # A window is known by its id and title: a closed dialog's id may come back for the next one.
                windows = {(w, self.xdotool("getwindowname", w).strip())
                           for w in self.xdotool("search", "--onlyvisible", "--name", ".").split()}
                sent = {w: at for w, at in sent.items() if w in windows}
                for window, title in windows:
                    if time.monotonic() - sent.get((window, title), 0) < 1.5:
                        continue
                    if (window, title) not in sent:
                        self.seen.append(title)
                        self.logs[title] = read_bytes(self.log_path)
                    # A key sent while the dialog is still being set up can be lost: it is
                    # sent again while the dialog stays open. The real key release keeps
                    # Wine from taking the key as held, which would close the next dialog.
                    key = KEYS[self.answers.get(title, "ok")]
                    self.xdotool("key", "--window", window, key)
                    self.xdotool("keyup", key)
                    sent[(window, title)] = time.monotonic()
            except Exception as e:  # noqa: BLE001 - the run reports it
                self.errors.append(repr(e))


def reg_data(text):
    # (type, bytes) of a value in .reg notation.
    if text.startswith('"'):
        return 1, (re.sub(r"\\(.)", r"\1", text[1:-1]) + "\0").encode("utf-16-le")
    if text.startswith("dword:"):
        return 4, int(text[6:], 16).to_bytes(4, "little")
    kind, data = re.fullmatch(r"hex(?:\((\w+)\))?:(.*)", text).groups()
    return int(kind or "3", 16), bytes.fromhex(data.replace(",", ""))


def read_reg(paths, keys=None):
    # What .reg files make when applied in order to nothing, or to `keys`: ({key:
    # {value: (type, bytes)}}, keys deleted), names in lower case.
    keys, gone, current = {k: dict(v) for k, v in (keys or {}).items()}, set(), None
    for path in paths:
        for line in re.sub(r"\\\r?\n\s*", "", read_text(path)).splitlines():
            section = re.fullmatch(r"\[(-?)(.*)\]", line)
            value = re.fullmatch(r'(@|"(?:[^"\\]|\\.)*")=(.*)', line)
            if section and section[1]:
                name, current = section[2].lower(), None
                keys = {k: v for k, v in keys.items() if k != name and not k.startswith(name + "\\")}
                gone.add(name)
            elif section:
                current = keys.setdefault(section[2].lower(), {})
            elif value and current is not None:
                name = "" if value[1] == "@" else re.sub(r"\\(.)", r"\1", value[1][1:-1]).lower()
                if value[2] == "-":
                    current.pop(name, None)
                else:
                    current[name] = reg_data(value[2])
    return keys, gone


def show(value):
    return value and (repr(value[1].decode("utf-16-le")) if value[0] in (1, 2) else "type %d %s" % (
        value[0], value[1].hex(",")))


def check_registry(p, paths, fail):
    # Below each key the files name (and not below another), the registry
    # holds exactly their keys and values; keys that hold no value may stand
    # above them.
    expected, gone = read_reg(paths)
    named = set(expected) | gone
    tops = sorted(k for k in named if not any(k.startswith(t + "\\") for t in named))
    code, out, _ = p.run([os.path.join(p.tools, "registry_values.exe")] + tops)
    if code != 0:
        fail("registry_values exited with %r" % code)
    actual = {}  # lines "key" and "key<TAB>value<TAB>type<TAB>bytes in hex"
    for fields in (line.split("\t") for line in out.decode("utf-16-le").lower().splitlines()):
        values = actual.setdefault(fields[0], {})
        if len(fields) == 4:
            values[fields[1]] = (int(fields[2]), bytes.fromhex(fields[3]))
    for key in sorted(set(expected) | set(actual)):
        want, got = expected.get(key), actual.get(key)
        if got is None:
            fail("registry: %s is missing" % key)
        elif want is None and (got or not any(k.startswith(key + "\\") for k in expected)):
            fail("registry: %s should not exist (values %s)" % (key, {n: show(v) for n, v in got.items()}))
        elif want is not None:
            for name in (n for n in sorted(set(want) | set(got)) if want.get(n) != got.get(n)):
                fail("registry: %s [%s]: expected %s, got %s" % (key, name or "@", show(want.get(name)),
                                                                 show(got.get(name))))


def prepare(p, folder, run, exe, display, log_path):
    # Makes the world a run starts in; returns the command that starts Morvane
    # and the sleepers: [(terminated or spared, path started by, process, pid)].
    for path in run.get("remove", "").splitlines():
        shutil.rmtree(p.unix(path))
    for path in run.get("folders", "").splitlines():
        os.makedirs(p.unix(path))
    for path in run.get("open_to_all", "").splitlines():
        os.chmod(p.unix(path), 0o777)  # writable by everyone, as Windows shows it
    if "log_before" in run:
        pathlib.Path(log_path).write_bytes(utf16_file(read_text(os.path.join(folder, run["log_before"]))))
        if "hard_link_of" in run:  # Morvane.txt a second name of a file elsewhere
            os.replace(log_path, p.unix(run["hard_link_of"]))
            os.link(p.unix(run["hard_link_of"]), log_path)
        if run.getboolean("read_only", False):
            os.chmod(log_path, 0o444)  # read-only to Windows; and to root as well:
            if os.geteuid() == 0 and subprocess.run(["chattr", "+i", log_path]).returncode == 0:
                p.immutable.append(log_path)
    damage = "".join(read_text(os.path.join(folder, f)).split("\n", 1)[1] for f in run.get("damage", "").split())
    if "windows" in run:
        damage += '\n[HKEY_CURRENT_USER\\Software\\Wine]\n"Version"="%s"\n' % run["windows"]
    if damage:
        pathlib.Path(p.root, "damage.reg").write_bytes(utf16_file("Windows Registry Editor Version 5.00\n" + damage))
        if p.run(["reg", "import", windows(os.path.join(p.root, "damage.reg"))])[0] != 0:
            raise RuntimeError("reg import of %s (windows = %s) failed" % (run.get("damage"), run.get("windows")))
    for link in run.get("links", "").splitlines() + ["deny " + key for key in run.get("denied", "").splitlines()]:
        if p.run([os.path.join(p.tools, "registry_link.exe")] + link.split())[0] != 0:
            raise RuntimeError("registry_link %s failed" % link)
    sleepers = []
    for kind in ("terminated", "spared"):
        for where in run.get(kind, "").splitlines():
            copy, _, started_as = (part.strip() for part in where.partition("|"))
            p.place(os.path.join(p.tools, "sleeper.exe"), copy)
            sleepers.append((kind, started_as or copy) + p.sleeper(started_as or copy, display))
    # Without a display nobody can answer: such a run is confirmed in advance,
    # as scripts/run confirms it, unless its arguments are given.
    command = [p.place(exe, run.get("morvane_at"))] + run.get("arguments", "" if display else "/quiet").split()
    options = [o for k in run if k.startswith("set.") for o in ("--set", k[4:] + "=" + run[k])]
    options += [o for name in run.get("unset", "").split() for o in ("--unset", name)]
    options += ["--station", run["station"]] if "station" in run else []
    if options or "launcher_at" in run:
        command = [p.place(os.path.join(p.tools, "launcher.exe"), run.get("launcher_at"))] + options + command
    return command, sleepers


def run_section(p, folder, run, exe, fail):
    # One run: prepared as its section says, then Morvane.exe, then the checks.
    display = "dialogs" in run
    desktop_log = p.unix(run.get("set.USERPROFILE", "C:\\users\\<user>") + "\\Desktop\\Morvane.txt")
    log_path = p.unix(run["record_in"] + "\\Morvane.txt") if "record_in" in run else desktop_log
    undo_path = os.path.join(os.path.dirname(log_path), "Morvane-undo.reg")
    if os.path.isfile(undo_path):  # each run starts without an undo file
        os.unlink(undo_path)
    command, sleepers = prepare(p, folder, run, exe, display, desktop_log)
    answerer = Answerer(p, dict(a.strip().split("=") for a in run.get("answers", "").split(",") if a), log_path)
    if display:
        answerer.start()
    try:
        code, out, err = p.run(command, display, EVENT_DEBUG if "event" in run else None)
    finally:
        answerer.done.set()

    def check(what, key, actual):
        # actual must be the text of the file run[key], where each <name> of
        # the placeholders stands for what its regular expression matches and a
        # sleeper's "PATH (<pid>)" names that sleeper's process id.
        if actual is None:
            return fail("%s: there is none" % what)
        expected = read_text(os.path.join(folder, run[key]))
        for _kind, started_as, _proc, pid in sleepers:
            expected = expected.replace(started_as + " (<pid>)", started_as + " (%d)" % pid)
        values = dict(PLACEHOLDERS, user=re.escape(p.user), year=time.strftime("%Y"))
        # Line by line (no placeholder spans a line end) up to the first line that differs; "(end)" ends each text.
        lines, got = (re.split(r"(?<=\n)", text) + ["(end)"] for text in (expected, actual))
        for at, (line, text) in enumerate(zip(lines, got)):
            pattern = re.escape(line)
            for name, regex in values.items():
                pattern = pattern.replace("<%s>" % name, regex)
            if not re.fullmatch(pattern, text):
                return fail("%s differs at line %d:\n  expected %r\n  actual   %r\n  whole actual text: %r"
                            % (what, at + 1, line, text, actual))

    def log_text(data):
        if data is not None and not data.startswith(b"\xff\xfe"):
            fail("the log file does not start with FF FE: %r" % data[:40])
        return data and data[2:].decode("utf-16-le")

    if code != int(run["exit"]):
        fail("exit code: expected %s, got %r; stderr %r" % (run["exit"], code, err.decode("utf-8", "replace")))
    if display:
        answerer.join(WAIT)
        titles = [t.strip() for t in run["dialogs"].split(",") if t.strip()]
        if answerer.seen != titles or answerer.errors:
            fail("dialogs: expected %r, got %r %s" % (titles, answerer.seen, answerer.errors))
    for key in (k for k in run if k.startswith("log_while.")):
        check("the log while %s was open" % key[10:], key, log_text(answerer.logs.get(key[10:])))
    log = log_text(read_bytes(log_path))
    if "log_kept" in run:  # the Desktop's Morvane.txt, when the record went elsewhere
        kept = log_text(read_bytes(desktop_log))
        if run["log_kept"] == "none" and kept is not None:
            fail("there is a log file on the Desktop: %r" % kept)
        elif run["log_kept"] != "none":
            check("the Desktop's log file", "log_kept", kept)
    if run.get("log") == "none" and log is not None:
        fail("there is a log file: %r" % log)
    elif run.get("log", "none") != "none":
        check("log", "log", log)
    # Standard output is in text mode, where each LF goes out as CR LF (so CR LF arrives as CR CR LF).
    encoding = run.get("console_encoding", "utf-16-le")
    console = out.decode(encoding, errors="replace").replace("\r\n", "\n")
    if console.replace("\n", "\r\n").encode(encoding) != out:
        fail("console: not what text mode makes of a text: %r" % out)
    if "event" in run:
        check("the event log calls", "event", "".join(EVENT_CALL.findall(err.decode("utf-8", "replace"))))
    if "console" in run:
        check("console", "console", console)
    elif log is not None and console != log:
        fail("console: not the log's text with each LF as CR LF: %r" % out)
    deadline = time.monotonic() + WAIT  # the terminated sleepers may take a moment to end
    while time.monotonic() < deadline and any(s[2].poll() is None for s in sleepers if s[0] == "terminated"):
        time.sleep(0.05)
    for kind, where, proc, _pid in sleepers:
        if proc.poll() != (0 if kind == "terminated" else None):
            fail("the sleeper %s should be %s: exit code %r" % (where, kind, proc.poll()))
        proc.kill()
    for path in run.get("absent", "").splitlines():
        if os.path.lexists(p.unix(path)):
            fail("%s should not exist" % path)
    if "registry" in run:
        check_registry(p, [os.path.join(folder, f) for f in run["registry"].split()], fail)
    if run.get("undo") == "none" and os.path.lexists(undo_path):
        fail("there is an undo file: %r" % read_bytes(undo_path))
    elif run.get("undo", "none") != "none":
        if not os.path.isfile(undo_path) or p.run(["reg", "import", windows(undo_path)])[0] != 0:
            fail("the undo file is missing or reg import refused it")
        check_registry(p, [os.path.join(folder, f) for f in run["undo"].split()], fail)


def main(exe, tools, work, folder, timeout=600):
    name = os.path.basename(folder)
    ini = configparser.ConfigParser(interpolation=None, delimiters=("=",))
    ini.optionxform = str
    if not ini.read(os.path.join(folder, "scenario.ini"), encoding="utf-8"):
        raise SystemExit("no scenario.ini in %s" % folder)

    def stop(signum, _frame):
        raise RuntimeError("signal %d: the scenario ran longer than %d s or was ended" % (signum, timeout))
    for signum in (signal.SIGALRM, signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, stop)
    signal.alarm(timeout)
    failures, status, started = [], 2, time.monotonic()
    prefix = Prefix(work, name, tools)
    try:
        prefix.open(any("dialogs" in ini[s] for s in ini.sections()))
        for section in ini.sections():
            at = time.monotonic()

            def fail(message, section=section):
                failures.append(message)
                print("FAILED: [%s] %s" % (section, message), flush=True)
            run_section(prefix, folder, ini[section], exe, fail)
            print("%s: %s: %.1f s" % (name, section, time.monotonic() - at), flush=True)
        status = 1 if failures else 0
    except Exception as e:  # noqa: BLE001 - the runner could not go on: status 2, and clean up
        print("RUNNER ERROR: %s: %s" % (type(e).__name__, e), flush=True)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        prefix.close()
    print("%s: %s in %.1f s" % (name, ("passed", "FAILED", "ERROR")[status], time.monotonic() - started))
    return status


if __name__ == "__main__":
    if len(sys.argv) != 5:
        raise SystemExit(__doc__)
    sys.exit(main(*map(os.path.abspath, sys.argv[1:])))
