#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: damaged registries worth
starting from, encoded the way damaged_registry.cpp decodes its input, plus
a few random inputs. Run it again after changing the decoder."""

import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))

# Opcodes and the indices of damaged_registry.cpp's tables.
KEY, VALUE, LINK, OVERRIDE, DEEP, DAMAGE, REPAIRED, USERCLASS, FAILURE = range(9)
# Registry calls, as RegistryCallKind numbers them; statuses by index.
OPEN, CREATE, QUERY, SET, DELETE_VALUE, ENUM, DELETE_KEY, DELETE_OPENED, IS_LINK = range(9)
DENIED, NOT_FOUND, MORE_DATA, KEY_DELETED, INVALID = range(5)
HKLM, HKCU = 0, 1
EXE, BAT, COM, EXEFILE, BATFILE, COMFILE, SHELL, OPEN, COMMAND = range(9)
B_ROOT, B_SOFTWARE, B_CLASSES, B_EXE, B_BAT, B_COM, B_EXEFILE, B_BATFILE, B_COMFILE = range(9)
B_EXE_SHELL, B_EXE_ICON, B_EXE_OPEN_COMMAND, B_EXE_RUNAS_COMMAND = 9, 10, 11, 12
B_UNRELATED = 16
XP1, XP2, VISTA, WIN7, WIN8 = range(5)
FAMILIES = (XP1, XP2, VISTA, WIN7, WIN8)


def name(index, case=0):
    return [index, case]


def path(base, names=(), case=0, trailing=False):
    out = [base, len(names)]
    for n in names:
        out += n
    return out + [0 if trailing else 1, case]


def class_backslashes(count):
    return [2, count - 1]


def class_vocab(index, case=0):  # exefile, batfile, comfile, txtfile
    return [0, index, case]


def seeds():
    s = {}
    for f in FAMILIES:
        s[f"empty-{f}"] = [f]
        s[f"repaired-{f}"] = [f, REPAIRED, 0]
        s[f"repaired-odd-case-{f}"] = [f, REPAIRED, 0xA5]
        # The per-user class is a link to the machine's exefile tree.
        s[f"class-link-{f}"] = ([f, REPAIRED, 0, KEY, HKLM] + path(B_EXEFILE, [name(SHELL), name(30)]) +
                                [OVERRIDE, 0, 0] + class_vocab(0) + [1] +
                                [LINK, HKCU] + path(B_CLASSES, [name(EXEFILE)]) + [HKLM] + path(B_EXEFILE))
        # Class names made of backslashes, one per extension.
        s[f"backslash-classes-{f}"] = ([f, USERCLASS, 0, 7, 0, 0] +
                                      [OVERRIDE, 0, 0] + class_backslashes(1) + [1] +
                                      [OVERRIDE, 1, 0] + class_backslashes(2) + [1] +
                                      [OVERRIDE, 2, 0] + class_backslashes(5) + [1])
        # A tree below .exe\shell whose paths run past 520 characters.
        s[f"deep-shell-{f}"] = ([f, DEEP, HKLM] + path(B_EXE_SHELL) + [0, 100, 5] + [0, 1, 7] + name(OPEN))
        # A 20000-byte command value.
        s[f"big-command-{f}"] = ([f, REPAIRED, 0, VALUE, HKLM] + path(B_EXE_OPEN_COMMAND) + [0, 1] +
                                 [3, 3, 0, 6, 0])
        # The per-user .exe key is a link to an unrelated machine tree.
        s[f"extension-link-{f}"] = ([f, KEY, HKLM] + path(B_UNRELATED, [name(SHELL), name(OPEN)]) +
                                    [LINK, HKCU] + path(B_CLASSES, [name(EXE)]) + [HKLM] + path(B_UNRELATED))
        # The per-user class name runs through a link: Classes\hop leads to
        # an unrelated machine tree that has a "shell" of its own.
        s[f"class-through-link-{f}"] = ([f, KEY, HKLM] + path(B_UNRELATED, [name(SHELL), name(OPEN)]) +
                                        [OVERRIDE, 0, 0, 8] + name(27) + [0] + name(SHELL) + [1] +
                                        [LINK, HKCU] + path(B_CLASSES, [name(27)]) + [HKLM] + path(B_UNRELATED))
        # Calls that fail: the link cannot be deleted or told apart, the walk
        # below .exe\shell cannot enumerate, exefile cannot be created.
        link = s[f"class-link-{f}"]
        s[f"class-link-undeletable-{f}"] = link + [FAILURE, DELETE_OPENED, HKCU] + path(B_CLASSES, [name(EXEFILE)]) + [DENIED]
        s[f"class-link-unknowable-{f}"] = link + [FAILURE, IS_LINK, HKCU] + path(B_CLASSES, [name(EXEFILE)]) + [DENIED]
        s[f"deep-shell-no-enum-{f}"] = s[f"deep-shell-{f}"] + [FAILURE, ENUM, HKLM] + path(B_EXE_SHELL) + [KEY_DELETED]
        s[f"exefile-refused-{f}"] = [f, FAILURE, CREATE, HKLM] + path(B_EXEFILE) + [DENIED]
    rng = random.Random(7)
    for i in range(24):
        s[f"random-{i:02}"] = [rng.randrange(256) for _ in range(rng.randrange(8, 600))]
    return s


def main():
    for target in ("reset", "delete_tree"):
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for label, data in seeds().items():
            with open(os.path.join(folder, label), "wb") as out:
                out.write(bytes(data))


if __name__ == "__main__":
    main()
