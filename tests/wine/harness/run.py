#!/usr/bin/env python3
"""Runs one end-to-end scenario file under Wine.

    run.py --exe Morvane.exe --tools DIR --work DIR scenario.py

The scenario file defines run(session). Exit status 0 when every check
passed, 1 when a check failed, 2 when the harness itself failed or the
scenario ran out of time. Whatever happens, the wineservers and the Xvfb that
the scenario started are ended before this returns.
"""

import argparse
import os
import runpy
import signal
import sys
import time
import traceback
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import morvane_wine  # noqa: E402


class _Stop(BaseException):
    """Raised by the signal handlers: unwinds through every finally block."""


def _raise_stop(signum, _frame):
    raise _Stop("signal %d" % signum)


class _ProgramScenario:
    """A Windows test program run once in a fresh prefix: it passes when it
    exits with 0."""

    TIMEOUT = 300

    def __init__(self, program, args):
        self.program = os.path.abspath(program)
        self.args = list(args)

    def run(self, session):
        with session.prefix() as p:
            run = p.run([self.program] + self.args, timeout=self.TIMEOUT - 30)
            output = run.stdout
            if b"\x00" in output:
                output = morvane_wine.decode_utf16(output).encode("utf-8")
            sys.stdout.write(output.decode("utf-8", "replace"))
            sys.stdout.write(run.stderr.decode("utf-8", "replace"))
            session.check_run(run, 0, what=os.path.basename(self.program))


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    source = os.path.dirname(os.path.dirname(os.path.dirname(here)))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", default=os.path.join(source, "build", "windows", "Morvane.exe"),
                        help="Morvane.exe to test")
    parser.add_argument("--tools", default=None, help="folder of the built helper programs")
    parser.add_argument("--work", default=None, help="folder for the template prefix and the runs")
    parser.add_argument("--timeout", type=float, default=None,
                        help="hard limit for the whole scenario, in seconds")
    parser.add_argument("--program", default=None,
                        help="instead of a scenario: run this Windows program in a fresh prefix and "
                             "pass when it exits with 0 (its console output is shown)")
    parser.add_argument("scenario", nargs="?", help="the scenario file")
    parser.add_argument("program_args", nargs=argparse.REMAINDER, help="arguments for --program")
    args = parser.parse_args(argv)
    if args.program is not None and args.scenario is not None:
        # With --program the first positional argument is the program's own.
        args.program_args.insert(0, args.scenario)
        args.scenario = None
    if args.program is None and args.scenario is None:
        parser.error("give a scenario file or --program")

    build = os.path.dirname(os.path.abspath(args.exe))
    tools = args.tools or os.path.join(build, "wine-tools")
    work = args.work or os.path.join(build, "wine")
    if args.program:
        name = os.path.splitext(os.path.basename(args.program))[0]
        scenario = _ProgramScenario(args.program, args.program_args)
    else:
        name = os.path.splitext(os.path.basename(args.scenario))[0]
        scenario = types.SimpleNamespace(**runpy.run_path(args.scenario, run_name="scenario_" + name))
    timeout = args.timeout or getattr(scenario, "TIMEOUT", 300)

    signal.signal(signal.SIGALRM, _raise_stop)
    signal.signal(signal.SIGTERM, _raise_stop)
    signal.signal(signal.SIGINT, _raise_stop)
    signal.alarm(int(timeout))

    started = time.monotonic()
    session = None
    status = 2
    try:
        session = morvane_wine.Session(args.exe, tools, work, name)
        scenario.run(session)
        status = 1 if session.failures else 0
    except morvane_wine.CheckFailed:
        status = 1
    except morvane_wine.HarnessError as e:
        print("HARNESS ERROR: %s" % e, flush=True)
    except _Stop as e:
        print("STOPPED (%s): the scenario ran longer than %d s or was interrupted" % (e, timeout), flush=True)
    except Exception:  # noqa: BLE001 - a broken scenario is reported, never left hanging
        traceback.print_exc()
        sys.stdout.flush()
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if session is not None:
            session.close()
    seconds = time.monotonic() - started
    failures = len(session.failures) if session else 0
    print("%s: %s in %.1f s%s" % (name, {0: "passed", 1: "FAILED", 2: "ERROR"}[status], seconds,
                                  " (%d failed checks)" % failures if failures else ""), flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
