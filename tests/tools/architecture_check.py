#!/usr/bin/env python3
"""The program's architecture, kept by a test: lmscr (tools/) sees the driver as an application
does, through its device-control requests and attributes, its event log and the line trace. No file
of the program but the named test-only view (driver_view.h, driver_view.cpp) includes a header of
the driver's own (driver/, seriallink/, protocol/) or names what those headers declare: the driver's
records and their fields that reach into it, its types, constants and routines. Only the demo
includes the view. The driver's entry (DriverEntry) is named to load the driver, and the platform's
public headers belong to the program as much as to the driver.

    architecture_check.py REPOSITORY PROGRAM_FOLDER

One line per violation, "file:line: what", then a count; exit status 1 when there is any.
"""
import os
import re
import sys

PRIVATE_DIRS = ("driver", "seriallink", "protocol")
VIEW = {"driver_view.h", "driver_view.cpp"}
VIEW_USERS = {"demo.cpp"}
# The driver's entry loads it; the other names are the platform's or the program's own words
# that a routine of the driver happens to share (the kernel's Pnp().AddDevice, the session's
# Transmit and SetProtocol requests).
ALLOWED = {"DriverEntry", "AddDevice", "Transmit", "SetProtocol"}
# Members by which a program would reach from a device object into the driver's records.
RECORD_MEMBERS = {"DeviceExtension", "ReaderExtension"}

IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')


def strip(text):
    """The code without comments, string and character literals, line breaks kept."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append("\n" * text.count("\n", i, end))
            i = end
        elif c in "\"'":
            i += 1
            while i < n and text[i] != c and text[i] != "\n":
                i += 2 if text[i] == "\\" else 1
            i += 1
            out.append(c + c)
        else:
            out.append(c)
            i += 1
    return "".join(out)


def private_names(repository):
    """The headers of the driver's own, and the names they declare."""
    headers, names = set(), set(RECORD_MEMBERS)
    declared = [
        re.compile(r"^(?:static\s+inline\s+)?[A-Z][A-Z_]*\s+\**([A-Za-z_]\w*)\s*\(", re.M),  # routines
        re.compile(r"^extern\s+\w+\s+([A-Za-z_]\w*)", re.M),                                  # variables
        re.compile(r"^\s*#\s*define\s+([A-Za-z_]\w*)", re.M),                                # constants
        re.compile(r"}\s*([A-Za-z_]\w*(?:\s*,\s*\*\s*[A-Za-z_]\w*)*)\s*;"),                   # types
        re.compile(r"\b(?:struct|enum|union)\s+([A-Za-z_]\w*)\s*{"),                              # their tags
    ]
    for folder in PRIVATE_DIRS:
        path = os.path.join(repository, folder)
        for entry in sorted(os.listdir(path)) if os.path.isdir(path) else []:
            if not entry.endswith(".h"):
                continue
            headers.add(entry)
            with open(os.path.join(path, entry), encoding="utf-8") as f:
                code = strip(f.read())
            for pattern in declared:
                for match in pattern.finditer(code):
                    names.update(IDENTIFIER.findall(match.group(1)))
    return headers, names - ALLOWED


def check(repository, program):
    headers, names = private_names(repository)
    violations = []
    for entry in sorted(os.listdir(program)):
        if not entry.endswith((".cpp", ".h")) or entry in VIEW:
            continue
        with open(os.path.join(program, entry), encoding="utf-8") as f:
            raw = f.read().split("\n")
        code = strip("\n".join(raw)).split("\n")
        for number, (line, bare) in enumerate(zip(raw, code), 1):
            where = f"{entry}:{number}"
            include = INCLUDE.match(line)
            if include:
                target = include.group(1)
                if target.split("/")[0] in PRIVATE_DIRS or os.path.basename(target) in headers:
                    violations.append(f"{where}: includes the driver's header {target}")
                elif os.path.basename(target) == "driver_view.h" and entry not in VIEW_USERS:
                    violations.append(f"{where}: includes the test-only view {target}, which is the demo's alone")
                continue
            for name in sorted(set(IDENTIFIER.findall(bare)) & names):
                violations.append(f"{where}: names the driver's {name}")
    for line in violations:
        print(line)
    print(f"{len(violations)} violation{'' if len(violations) == 1 else 's'} in {program}")
    return 1 if violations else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().split("\n\n")[1].strip())
    sys.exit(check(sys.argv[1], sys.argv[2]))
