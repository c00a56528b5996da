"""Shared checks of the hostile-input scenarios: the whole registry a run may
reach (HKLM\\Software and HKCU\\Software) read before and after, and compared
outside the keys the run may change."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "harness"))

from morvane_wine import parse_reg  # noqa: E402

MACHINE = "HKEY_LOCAL_MACHINE\\Software\\Classes\\"
USER = "HKEY_CURRENT_USER\\Software\\Classes\\"
# The machine-wide keys the reset rewrites, and the per-user overrides it removes.
MACHINE_SET = [MACHINE + name for name in (".exe", ".bat", ".com", "exefile", "batfile", "comfile")]
USER_SET = [USER + name for name in (".exe", ".bat", ".com")]
ROOTS = [r"HKLM\Software", r"HKCU\Software"]


def whole_registry(p):
    """{key in lower case: {value: data}} of everything below the roots."""
    state = {}
    for root in ROOTS:
        # Wine's reg tool now and then fails an export of a key that is
        # there (seen once in a full suite run, right after a prefix's first
        # program); such a failure is not what these scenarios test.
        text = None
        for _ in range(3):
            text = p.reg_export(root)
            if text is not None:
                break
            print("harness: reg export of %s failed; trying again" % root)
        if text is None:
            raise RuntimeError("cannot export " + root)
        for key, values in parse_reg(text).items():
            state[key.lower()] = values
    return state


def _inside(key, tops):
    return any(key == top or key.startswith(top + "\\") for top in tops)


def baseline(p):
    """The registry before a run, and the keys Wine itself changes when a
    program runs (read around a harmless program), which the comparison
    leaves out."""
    first = whole_registry(p)
    p.tool("host_report")
    second = whole_registry(p)
    noise = {key for key in set(first) | set(second) if first.get(key) != second.get(key)}
    return second, noise


def check_outside_unchanged(s, before, after, noise, user_classes=(), repair_set=True):
    """Nothing outside the repair set changed: the machine's six class keys,
    the three per-user extension keys and the per-user class keys named in
    user_classes (paths below HKCU\\Software\\Classes) may change; nothing
    else may. With repair_set false, nothing at all may change."""
    tops = [k.lower() for k in MACHINE_SET + USER_SET] + [(USER + c).lower() for c in user_classes]
    if not repair_set:
        tops = []
    changed = sorted(key for key in set(before) | set(after)
                     if before.get(key) != after.get(key) and key not in noise and not _inside(key, tops))
    for key in changed[:20]:
        s.fail("changed outside the repair set: %s\n  before: %r\n  after:  %r"
               % (key, before.get(key), after.get(key)))
    return not changed


def values_of(p, root, path):
    """{(key below path, value name lower-cased): (type, bytes)} through the
    registry_values tool, or None when the key is missing."""
    run = p.tool("registry_values", root, path)
    out = {}
    missing = False
    for line in run.stdout.decode("utf-8", "replace").splitlines():
        parts = line.split("\t")
        if parts[0] == "M":
            missing = True
        elif parts[0] == "V" and len(parts) == 5:
            out[(parts[1].lower(), parts[2].lower())] = (int(parts[3]), bytes.fromhex(parts[4]))
    return None if missing else out

