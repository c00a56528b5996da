"""Fails when Morvane.exe imports a DLL or a function that is not on the list
of what Windows XP x64 and Server 2003 x64 have: their loader refuses such a
program before it starts. Usage: check_imports.py OBJDUMP EXE LIST"""

import re
import subprocess
import sys

objdump, exe, listing = sys.argv[1:4]

allowed, functions = {}, None
for line in open(listing, encoding="utf-8"):
    line = line.split("#")[0].strip()
    if line.startswith("["):
        functions = allowed.setdefault(line.strip("[]").lower(), set())
    elif line:
        functions.add(line)

# objdump -p: "DLL Name: X.dll", then one "<vma> <hint> <name>" row per function.
report = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
row = re.compile(r"\t[0-9a-f]+\t *\d+ +(\S+)$")
imports = [(dll, m.group(1)) for dll, *rows in (b.split("\n") for b in report.split("DLL Name: ")[1:])
           for m in map(row.match, rows) if m]

bad = sorted({dll + " (not a system DLL on the list)" if dll.lower() not in allowed else dll + "!" + name
              for dll, name in imports if name not in allowed.get(dll.lower(), ())})
for entry in bad:
    print("not on Windows XP x64 / Server 2003 x64:", entry)
if not imports:
    print("no imports found in", exe)
sys.exit(1 if bad or not imports else 0)
