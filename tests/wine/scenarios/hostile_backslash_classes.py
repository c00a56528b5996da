"""Per-user overrides naming classes made of backslashes, or with empty
components. Such a class name must never lead the override removal to
HKCU\\Software\\Classes itself or outside it: the extension keys go with their
lines, HKCU\\Software\\Classes and its other keys stay, and a class key is
reported deleted exactly when it is gone."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "proof"))

from hostile import baseline, check_outside_unchanged, whole_registry  # noqa: E402
from morvane_expect import check_log_and_console, normal_run  # noqa: E402
from morvane_wine import FINISHED, LICENSE, OK  # noqa: E402

TIMEOUT = 600

USER = r"HKCU\Software\Classes"
VALUE = "  * HKCU\\SOFTWARE\\Classes\\%s\\\\@ exists and is set to %s!\r\n"
DELETED = "  * HKCU\\SOFTWARE\\Classes\\%s has been deleted!\r\n"
CLASS_DELETED = "  * HKCU\\SOFTWARE\\Classes\\%s has been deleted!\r\n\r\n"

# (label, {extension: class name}, per-user class keys that exist beforehand)
CASES = [
    ("backslashes only", {".exe": "\\", ".bat": "\\\\", ".com": "\\\\\\\\\\"}, []),
    ("empty components", {".exe": "\\proofclass", ".bat": "proof\\\\class", ".com": "\\\\proofclass\\\\"},
     ["proofclass", "proof\\class"]),
    ("a trailing backslash", {".exe": "proofclass\\", ".bat": "proof\\class\\", ".com": "proofother"},
     ["proofclass", "proof\\class"]),
]


def run(s):
    for label, classes, class_keys in CASES:
        with s.case(label), s.prefix(label) as p:
            # Keys of HKCU\Software\Classes that no override names: they must stay.
            p.reg_add(USER + r"\prooftxt\shell\open\command", None, "keep")
            for key in class_keys:
                p.reg_add(USER + "\\" + key + r"\shell", "v", "class key")
            for extension, name in classes.items():
                p.reg_add(USER + "\\" + extension, None, name)
            before, noise = baseline(p)

            r = p.run_morvane(dialogs={LICENSE: OK, FINISHED: OK})
            s.check_run(r, 0, dialogs=[LICENSE, FINISHED])
            text, _ = check_log_and_console(s, r, p.read_log(), normal_run("Windows 7"))
            text = text or ""
            for extension, name in classes.items():
                s.check(VALUE % (extension, name) + DELETED % extension in text,
                        "the lines of %s naming %r are not in the log" % (extension, name))
            after = whole_registry(p)
            # Whatever the class names hold, only keys strictly below
            # HKCU\Software\Classes that they name may go.
            named = [k for k in class_keys if any(k.lower() in n.lower() for n in classes.values())]
            check_outside_unchanged(s, before, after, noise, user_classes=named)
            s.check(after.get(r"hkey_current_user\software\classes\prooftxt\shell\open\command") ==
                    {"@": "keep"}, "an unrelated per-user class is gone")
            for key in class_keys:
                gone = ("hkey_current_user\\software\\classes\\" + key.lower()) not in after
                reported = any(CLASS_DELETED % name in text for name in classes.values()
                               if name.strip("\\").lower() == key.lower())
                s.check_equal(reported, gone, "class key %s reported deleted exactly when gone" % key)
