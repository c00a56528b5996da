"""Fails when Morvane.exe could not start on Windows XP x64 and Server 2003 x64,
or could be made to load a planted DLL there: an imported DLL that is not a
known DLL of those systems, an imported DLL or function not on the list of what
they have (their loader refuses such a program before it starts), or a PE header
other than the one set for them. Usage: check_imports.py OBJDUMP EXE LIST KNOWN"""

import re
import subprocess
import sys

objdump, exe, listing, known_listing = sys.argv[1:5]


def entries(path):
    return (line.split("#")[0].strip() for line in open(path, encoding="utf-8"))


allowed, functions = {}, None
for line in filter(None, entries(listing)):
    if line.startswith("["):
        functions = allowed.setdefault(line.strip("[]").lower(), set())
    else:
        functions.add(line)
known = {line.lower() for line in entries(known_listing) if line}

# objdump -p: the header's fields one a line ("Name<TAB>value"), then "DLL Name: X.dll"
# and one "<vma> <hint> <name>" row per function.
report = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
header = dict(re.findall(r"^(\w+)\s+([0-9a-fA-F]+)", report, re.M))
row = re.compile(r"\t[0-9a-f]+\t *\d+ +(\S+)$")
imports = [(dll, m.group(1)) for dll, *rows in (b.split("\n") for b in report.split("DLL Name: ")[1:])
           for m in map(row.match, rows) if m]

bad = sorted({dll + " (not a system DLL on the list)" if dll.lower() not in allowed else dll + "!" + name
              for dll, name in imports if name not in allowed.get(dll.lower(), ())})
for entry in bad:
    print("not on Windows XP x64 / Server 2003 x64:", entry)
unknown = sorted({dll for dll, _ in imports if dll.lower() not in known})
for dll in unknown:
    print("not a known DLL, so looked for first in the program's folder:", dll)
if not imports:
    print("no imports found in", exe)

# What the loader of Windows XP x64 and Server 2003 x64 (version 5.2) needs, and
# what Morvane.exe promises: the subsystem version (the oldest system the image
# runs on) at most 5.02, the console subsystem, and the DllCharacteristics NX
# compatible (0x100), dynamic base (0x40) and Terminal Server aware (0x8000).
version = (int(header.get("MajorSubsystemVersion", "99")), int(header.get("MinorSubsystemVersion", "99")))
characteristics = int(header.get("DllCharacteristics", "0"), 16)
flaws = ["subsystem version %d.%02d, newer than 5.02" % version] if version > (5, 2) else []
if int(header.get("Subsystem", "0"), 16) != 3:
    flaws.append("subsystem %s, not the console (3)" % header.get("Subsystem"))
flaws += ["%s (0x%x) not set" % (name, flag) for name, flag in
          (("NX compatible", 0x100), ("dynamic base", 0x40), ("Terminal Server aware", 0x8000))
          if not characteristics & flag]
for flaw in flaws:
    print("PE header:", flaw)
sys.exit(1 if bad or unknown or flaws or not imports else 0)
