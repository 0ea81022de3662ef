#!/usr/bin/env python3
"""Checks of lmscr.sys, the driver as an x64 or x86 kernel image (sys/).

    check_image.py CHECK --sys BUILD-SYS [--arch x64|x86] [options]

CHECK is one of:
  pe         objdump's facts: PE32+ and machine x64, or PE32, machine i386 and a subsystem version
             that a Windows 2000 loader accepts; native subsystem, DriverEntry as entry point (on
             x86 taking its two arguments off the stack), relocatable, no DLL flag, a valid
             checksum; no section both writable and executable
  runtime    nothing of a C or C++ runtime: no static constructor or thread-local section in the
             objects, no import of msvcrt or kernel32, no stack probe, no compiler helper (64-bit
             division on x86) that the objects leave to a library
  headers    every header the driver's objects were compiled with is the cross compiler's own,
             a driver folder's, or the copy of the project's smclib.h; none of platform/include;
             and the driver's compile command refuses a source that calls an emulation-only
             routine (emulation_only.cpp, which the Linux build compiles)
  imports    the import table equals the platform routines the emulation provides and the
             driver's objects of the Linux build call; the .def lists exactly the library's
  resources  the message table and the version block in the image are resources.cpp's
  calls      x86 only: at every call of a kernel or class library routine, the compiler's code
             takes the arguments back, or leaves that to the routine, as the routine's name in
             the import library says it does (_Name@N: the routine pops N bytes; @Name@N, the
             fastcall: the first two in registers; _Name, cdecl: the caller pops)
"""
import argparse
import json
import os
import re
import struct
import subprocess
import sys

FAILURES = []


def fail(message):
    FAILURES.append(message)
    print("FAIL: " + message)


def run(*command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("%s failed:\n%s" % (" ".join(command), result.stderr))
    return result.stdout


# ---------------------------------------------------------------------------------------------
# The PE file itself

class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            sys.exit(path + ": no MZ header")
        self.pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[self.pe:self.pe + 4] != b"PE\0\0":
            sys.exit(path + ": no PE signature")
        (self.machine, nsections, _, _, _, optsize, self.characteristics) = struct.unpack_from(
            "<HHIIIHH", d, self.pe + 4)
        self.opt = self.pe + 24
        self.magic = struct.unpack_from("<H", d, self.opt)[0]
        self.checksum_at = self.opt + 64
        self.checksum = struct.unpack_from("<I", d, self.checksum_at)[0]
        # PE32's image base and stack and heap sizes are 32-bit words: its directories start
        # 16 bytes earlier than PE32+'s
        at_dirs = self.opt + (112 if self.magic == 0x20B else 96)
        ndirs = struct.unpack_from("<I", d, at_dirs - 4)[0]
        self.dirs = [struct.unpack_from("<II", d, at_dirs + 8 * i) for i in range(ndirs)]
        self.sections = []
        at = self.opt + optsize
        for _ in range(nsections):
            name, vsize, rva, rawsize, rawptr = struct.unpack_from("<8sIIII", d, at)
            flags = struct.unpack_from("<I", d, at + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode(), rva, max(vsize, rawsize), rawptr, flags))
            at += 40

    def offset(self, rva):
        for _, start, size, rawptr, _ in self.sections:
            if start <= rva < start + size:
                return rawptr + rva - start
        raise ValueError("RVA 0x%x is in no section" % rva)

    def computed_checksum(self):
        """The image checksum as the loader computes it: 16-bit one's-complement-style sum of the
        file (checksum field as zero), folded, plus the file's length."""
        d = bytearray(self.data)
        d[self.checksum_at:self.checksum_at + 4] = b"\0\0\0\0"
        if len(d) % 2:
            d += b"\0"
        total = 0
        for (word,) in struct.iter_unpack("<H", bytes(d)):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        return total + len(self.data)

    def resources(self):
        """{(type, name, language): bytes} of the resource directory."""
        rva, size = self.dirs[2]
        if size == 0:
            return {}
        base = self.offset(rva)
        found = {}

        def walk(at, path):
            _, _, _, _, named, ids = struct.unpack_from("<IIHHHH", self.data, base + at)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, path + (key,))
                else:
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + target)
                    at_data = self.offset(data_rva)
                    found[path + (key,)] = self.data[at_data:at_data + data_size]

        walk(0, ())
        return found


ARCH = {
    "x64": {"format": "file format pei-x86-64", "magic": "Magic\t\t\t020b\t(PE32+)", "machine": 0x8664},
    "x86": {"format": "file format pei-i386", "magic": "Magic\t\t\t010b\t(PE32)", "machine": 0x014C},
}


def check_pe(args):
    image = Image(args.image)
    out = run(args.objdump, "-p", args.image)
    arch = ARCH[args.arch]
    facts = {
        arch["format"]: "the %s PE format" % args.arch,
        arch["magic"]: arch["magic"].split("(")[1].rstrip(")"),
        "Subsystem\t\t00000001\t(NT native)": "the native subsystem",
        "DYNAMIC_BASE": "a relocatable image",
        "NX_COMPAT": "data that cannot run",
        "WDM_DRIVER": "the WDM driver flag",
    }
    for text, meaning in facts.items():
        if text not in out:
            fail("objdump -p does not show %s (%r)" % (meaning, text))
    if image.machine != arch["machine"]:
        fail("machine 0x%04x, not %s (0x%04x)" % (image.machine, args.arch, arch["machine"]))
    if args.arch == "x86":
        if not image.characteristics & 0x0100:
            fail("the image is not flagged as a 32-bit machine's")
        # Windows 2000 is version 5.0 and refuses an image that asks for a later subsystem
        version = re.search(r"MajorSubsystemVersion\s+(\d+)\s+MinorSubsystemVersion\s+(\d+)", out)
        if not version or (int(version.group(1)), int(version.group(2))) > (5, 0):
            fail("subsystem version %s: a Windows 2000 loader wants 5.0 or less"
                 % (version and "%s.%s" % version.groups()))
    if image.characteristics & 0x2000:
        fail("the image is flagged as a DLL; a driver is not one")
    if not image.characteristics & 0x0002:
        fail("the image is not flagged executable")
    if image.dirs[5][1] == 0:
        fail("no base relocations: the kernel loads a driver wherever it finds room")
    m = re.search(r"AddressOfEntryPoint\s+([0-9a-fA-F]+)", out)
    base = re.search(r"ImageBase\s+([0-9a-fA-F]+)", out)
    with open(args.map) as f:
        entry = re.search(r"^\s+0x([0-9a-fA-F]+)\s+DriverEntry\s*$", f.read(), re.M)
    if not m or not base or not entry:
        fail("no entry point, image base or DriverEntry in objdump's output and the link map")
    elif int(m.group(1), 16) + int(base.group(1), 16) != int(entry.group(1), 16):
        fail("the entry point is at 0x%s, DriverEntry at 0x%s" % (m.group(1), entry.group(1)))
    elif args.arch == "x86":
        check_entry_returns(args, int(entry.group(1), 16))
    if image.checksum != image.computed_checksum():
        fail("checksum 0x%08x in the header, 0x%08x computed" % (image.checksum, image.computed_checksum()))
    for name, _, _, _, flags in image.sections:
        if flags & 0x20000000 and flags & 0x80000000:
            fail("section %s is writable and executable" % name)
        if flags & 0x20000000 and not flags & 0x00000020:
            fail("section %s is executable but holds no code" % name)
    print("image: %d bytes, sections %s" % (len(image.data), ", ".join(s[0] for s in image.sections)))


def check_entry_returns(args, entry):
    """The system calls DriverEntry as a stdcall routine of two arguments: each of its returns
    must take 8 bytes off the stack (the image is stripped: the link map says where it ends)."""
    with open(args.map) as f:
        addresses = sorted({int(a, 16) for a in re.findall(r"^\s+0x([0-9a-fA-F]+)\s+[A-Za-z_]\w*\s*$", f.read(), re.M)})
    after = [a for a in addresses if a > entry]
    if not after:
        fail("no symbol after DriverEntry in the link map")
        return
    code = run(args.objdump, "-d", "--start-address=0x%x" % entry, "--stop-address=0x%x" % after[0], args.image)
    returns = re.findall(r"\tret\s*(\S*)", code)
    if not returns or any(r != "$0x8" for r in returns):
        fail("DriverEntry returns with %s, not ret $0x8 each time" % (returns or "nothing"))


def objects(args):
    found = []
    for folder, _, files in os.walk(os.path.join(args.sys, "CMakeFiles", "lmscr_objects.dir")):
        found += [os.path.join(folder, f) for f in files if f.endswith(".obj")]
    if len(found) < 10:
        sys.exit("the driver's objects are not under %s" % args.sys)
    return sorted(found)


def check_runtime(args):
    for obj in objects(args):
        for line in run(args.objdump, "-h", obj).splitlines():
            fields = line.split()
            if len(fields) > 2 and fields[0].isdigit():
                name = fields[1]
                if re.match(r"\.(ctors|dtors|init_array|fini_array|tls)|\.CRT\$", name):
                    fail("%s has a %s section: nothing runs it in a driver" % (os.path.basename(obj), name))
        for line in run(args.nm, "-u", obj).splitlines():
            symbol = line.split()[-1]
            if re.match(r"_*(chkstk|alloca|_stack_chk|_cxa_|_gxx_|_Unwind_|_imp___acrt|_imp__*_iob)", symbol) \
                    or symbol.startswith("_Zn") or symbol.startswith("_Zd"):
                fail("%s needs %s from a runtime" % (os.path.basename(obj), symbol))
    # gcc's arithmetic helpers (__udivdi3, __ashldi3, __popcountsi2) live in libgcc, which the
    # image does not link: the objects must define each one they call (x86_arith.cpp)
    undefined, defined = set(), set()
    for obj in objects(args):
        undefined |= {l.split()[-1] for l in run(args.nm, "-u", obj).splitlines() if l.strip()}
        defined |= {l.split()[-1] for l in run(args.nm, "--defined-only", obj).splitlines() if l.strip()}
    for symbol in sorted(undefined - defined):
        if re.match(r"_{2,3}[a-z]+[sdt]i[0-9]$", symbol):
            fail("the objects call %s, which only libgcc defines" % symbol)
    for name, _, _, _, _ in Image(args.image).sections:
        if name.startswith(".eh_fram"):
            fail("the image has %s: gcc's unwind tables, which no part of the kernel reads" % name)
    out = run(args.objdump, "-p", args.image)
    for module in re.findall(r"DLL Name: (\S+)", out):
        if re.match(r"(?i)(msvc|ucrt|api-ms-|kernel32|libgcc|libstdc|ntdll)", module):
            fail("the image imports from %s, a user-mode module" % module)


def check_headers(args):
    """Ninja keeps the headers each object was compiled with, as the compiler listed them."""
    allowed = [os.path.realpath(p) for p in args.allowed_include]
    platform = os.path.realpath(os.path.join(args.root, "platform", "include"))
    seen = set()
    deps = {}
    current = None
    for line in run("ninja", "-C", args.sys, "-t", "deps").splitlines():
        if line and not line[0].isspace():
            current = line.split(":")[0] if line.split(":")[0].endswith(".obj") else None
            if current:
                deps[current] = []
        elif current and line.strip():
            deps[current].append(line.strip())
    if len(deps) < len(objects(args)):
        fail("ninja lists headers for %d objects of %d" % (len(deps), len(objects(args))))
    for obj, files in deps.items():
        for header in files:
            if header.endswith(".cpp"):
                continue
            path = os.path.realpath(os.path.join(args.sys, header))
            seen.add(path)
            if path.startswith(platform + os.sep):
                fail("%s includes %s, the emulation's header" % (os.path.basename(obj), header))
            elif not any(path.startswith(a + os.sep) for a in allowed):
                fail("%s includes %s, from no allowed folder" % (os.path.basename(obj), header))
    with open(os.path.join(args.sys, "compile_commands.json")) as f:
        commands = json.load(f)
    entry = [c for c in commands if c["file"].endswith("driver/entry.cpp")]
    if not entry:
        fail("no compile command of driver/entry.cpp in the image's build")
    else:
        import shlex
        words = shlex.split(entry[0]["command"])
        probe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "emulation_only.cpp")
        at = words.index("-c")
        command = words[:at] + ["-fsyntax-only", probe]
        command = [w for i, w in enumerate(command) if w != "-o" and (i == 0 or command[i - 1] != "-o")]
        result = subprocess.run(command, capture_output=True, text=True, cwd=entry[0]["directory"])
        if result.returncode == 0:
            fail("the driver's compile command accepts a call of LmIoAllocateIrp, an emulation-only routine")
        elif "LmIoAllocateIrp" not in result.stderr:
            fail("emulation_only.cpp fails for another reason than LmIoAllocateIrp:\n" + result.stderr)
    for needed in ("ddk/wdm.h", "ddk/ntddk.h", "ntddser.h", "winsmcrd.h", "smclib.h"):
        if not any(p.endswith("/" + needed) for p in seen):
            fail("no object was compiled with the platform's %s" % needed)


# ---------------------------------------------------------------------------------------------
# The import table against the Linux build

# Where the platform's x64 header makes of a routine of the emulation (whose names follow the
# x86 kernel, the Windows 2000 machine) another routine, an inline function or an intrinsic.
X64_HEADER = {
    "KfAcquireSpinLock": "KeAcquireSpinLockRaiseToDpc",  # KeAcquireSpinLock's x64 form
    "KfReleaseSpinLock": "KeReleaseSpinLock",
    "KeGetCurrentIrql": None,             # reads CR8
    "KfRaiseIrql": None,                  # writes CR8
    "KfLowerIrql": None,
    "KeInitializeSpinLock": None,         # stores zero
    "KeQueryInterruptTime": None,         # reads the shared user data page
    "InterlockedIncrement": None,         # lock-prefixed instructions
    "InterlockedDecrement": None,
    "InterlockedExchange": None,
    "InterlockedCompareExchange": None,
    "InterlockedExchangePointer": None,
    "RtlCopyMemory": "memcpy",            # the run-time library's memory macros
    "RtlMoveMemory": "memmove",
    "RtlZeroMemory": "memset",
    "RtlFillMemory": "memset",
}
# The same on x86, whose header keeps the x86 kernel's routines: the spin lock and IRQL routines
# are the HAL's, the interrupt time is read by a call; only the interlocked operations are made
# inline (the header's default, over the compiler's intrinsics), and the memory macros are the same.
X86_HEADER = {
    "KeInitializeSpinLock": None,         # stores zero, but for a WDM-only or Win9x driver
    "InterlockedIncrement": None,
    "InterlockedDecrement": None,
    "InterlockedExchange": None,
    "InterlockedCompareExchange": None,
    "InterlockedExchangePointer": None,   # InterlockedExchange over a LONG
    "RtlCopyMemory": "memcpy",
    "RtlMoveMemory": "memmove",
    "RtlZeroMemory": "memset",
    "RtlFillMemory": "memset",
}
# gcc's helpers for 64-bit division, and the kernel routine that x86_arith.cpp passes each to.
X86_ARITHMETIC = {"___udivdi3": "_aulldiv", "___divdi3": "_alldiv", "___umoddi3": "_aullrem", "___moddi3": "_allrem"}
# What the compiler itself may call for a structure copy or clear on both hosts.
COMPILER_HELPERS = {"memcpy", "memmove", "memset"}
KERNEL_MODULES = {"ntoskrnl.exe", "HAL.dll"}
LIBRARY_MODULE = "smclib.sys"


def symbols(nm, library, defined):
    """Defined (or undefined) global symbols of an archive."""
    out = run(nm, "--defined-only" if defined else "-u", library)
    names = set()
    for line in out.splitlines():
        fields = line.split()
        if not fields or fields[-1].endswith(":"):
            continue
        if defined and (len(fields) < 3 or fields[1] not in "TDRBWVi"):
            continue
        names.add(fields[-1])
    return names


def image_imports(objdump, image):
    imports = {}
    module = None
    for line in run(objdump, "-p", image).splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            module = m.group(1)
            continue
        m = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if module and m:
            imports.setdefault(module, set()).add(m.group(1))
        elif not line.strip():
            module = None
    return imports


def driver_calls(args):
    """The platform routines the driver calls, from the Linux build: the undefined symbols of the
    driver's libraries that the emulation's kernel or class library defines, by module."""
    undefined = set()
    defined = set()
    for lib in args.driver_lib:
        undefined |= symbols(args.host_nm, lib, False)
        defined |= symbols(args.host_nm, lib, True)
    undefined -= defined
    kernel = set()
    for lib in args.kernel_lib:
        kernel |= symbols(args.host_nm, lib, True)
    library = set()
    for lib in args.smclib_lib:
        library |= symbols(args.host_nm, lib, True)
    calls_library = undefined & library
    calls_kernel = set()
    for name in undefined & kernel:
        # the emulation's allocation macros add the call site to the routine's arguments
        if name.startswith("Lm"):
            name = name[2:]
        header = X86_HEADER if args.arch == "x86" else X64_HEADER
        if name in header:
            name = header[name]
        if name:
            calls_kernel.add(name)
    calls_kernel |= undefined & COMPILER_HELPERS
    if args.arch == "x86":
        # the quotients the image's own objects leave to a helper, but for the helpers' file
        needed = set()
        for obj in objects(args):
            if not obj.endswith("x86_arith.cpp.obj"):
                needed |= {l.split()[-1] for l in run(args.nm, "-u", obj).splitlines() if l.strip()}
        calls_kernel |= {X86_ARITHMETIC[h] for h in needed if h in X86_ARITHMETIC}
    return calls_kernel, calls_library


def check_imports(args):
    imports = image_imports(args.objdump, args.image)
    calls_kernel, calls_library = driver_calls(args)
    if not calls_kernel or not calls_library:
        fail("the Linux build's driver calls nothing of the kernel or the library: wrong libraries?")
    for module in imports:
        if module not in KERNEL_MODULES | {LIBRARY_MODULE}:
            fail("the image imports from %s, neither the kernel nor the class library" % module)
    kernel = set().union(*(imports.get(m, set()) for m in KERNEL_MODULES))
    library = imports.get(LIBRARY_MODULE, set())
    for name in sorted(calls_kernel - kernel):
        fail("the driver calls %s of the emulation's kernel; the image does not import it" % name)
    for name in sorted(kernel - calls_kernel):
        fail("the image imports %s from the kernel; the driver calls no such routine on Linux" % name)
    for name in sorted(calls_library ^ library):
        fail("%s: the driver %s it, the image %s it" % (
            name, "calls" if name in calls_library else "does not call",
            "imports" if name in library else "does not import"))
    with open(args.deffile) as f:
        text = f.read().split("EXPORTS", 1)[1]
    # the x86 list names each routine with its bytes of arguments (SmartcardExit@4)
    listed = {line.split(";")[0].strip().split("@")[0] for line in text.splitlines()} - {""}
    for name in sorted(listed ^ calls_library):
        fail("%s: the .def %s it, the driver %s it" % (
            name, "lists" if name in listed else "does not list",
            "calls" if name in calls_library else "does not call"))
    for module in sorted(imports):
        print("%s: %s" % (module, " ".join(sorted(imports[module]))))


# ---------------------------------------------------------------------------------------------
# x86: who takes the arguments off the stack

def import_conventions(nm, libraries):
    """{symbol the compiler calls: bytes the routine pops} from the import libraries' names."""
    pops = {}
    for library in libraries:
        for line in run(nm, "--defined-only", library).splitlines():
            fields = line.split()
            if len(fields) != 3 or not fields[2].startswith("__imp_"):
                continue
            name = fields[2][len("__imp_"):]
            m = re.match(r"(@?)(\w+)@(\d+)$", name)
            if not m:
                pops[name] = 0                              # _memcpy, _DbgPrint: cdecl
            elif m.group(1):
                pops["@%s@%s" % (m.group(2), m.group(3))] = max(0, int(m.group(3)) - 8)
            else:
                pops[m.group(2)] = int(m.group(3))          # _KeSetEvent: gcc -mrtd drops the @12
    return pops


def compile_listing(entry):
    """The object's assembly with each instruction's pattern name (-dp), by its own command."""
    import shlex
    words = shlex.split(entry["command"])
    at = words.index("-o")
    words = [w for w in words[:at] + words[at + 2:] if w != "-c"] + ["-S", "-dp", "-o", "-"]
    result = subprocess.run(words, capture_output=True, text=True, cwd=entry["directory"])
    if result.returncode != 0:
        sys.exit("recompiling %s failed:\n%s" % (entry["file"], result.stderr))
    return entry["file"], result.stdout


def check_calls(args):
    if args.arch != "x86":
        sys.exit("the calls check is for the x86 image")
    pops = import_conventions(args.nm, args.import_lib)
    with open(os.path.join(args.sys, "compile_commands.json")) as f:
        entries = [e for e in json.load(f) if e["file"].endswith(".cpp")]
    from concurrent.futures import ThreadPoolExecutor
    with ThreadPoolExecutor(2) as pool:
        listings = list(pool.map(compile_listing, entries))
    seen = set()
    for path, listing in listings:
        for m in re.finditer(r"\tcall\t\*?(?:__imp_)?(_?)([\w@]+)\s+#\s*\d+\s*\[[^]]*\]\s+\*(\w+)", listing):
            underscore, name, pattern = m.groups()
            key = name if name.startswith("@") else (underscore + name if underscore + name in pops else name)
            if key not in pops:
                continue                                    # the driver's own routines
            seen.add(key)
            popping = pattern.endswith("_pop")
            if popping != (pops[key] > 0):
                fail("%s: %s calls %s as %s; the import library says the routine pops %d bytes" % (
                    os.path.basename(path), pattern, key, "popping" if popping else "not popping", pops[key]))
    if len(seen) < 20:
        fail("only %d kernel or library routines called in the listings: is the image x86?" % len(seen))
    print("%d kernel and library routines called" % len(seen))


# ---------------------------------------------------------------------------------------------
# Resources

RT_MESSAGETABLE = 11
RT_VERSION = 16


def formatted(text):
    """A message as the event viewer shows it: formatting stops at %0, %% is a percent sign."""
    return text.split("%0", 1)[0].replace("%%", "%")


def message_table(blob):
    messages = {}
    (blocks,) = struct.unpack_from("<I", blob, 0)
    for b in range(blocks):
        low, high, at = struct.unpack_from("<III", blob, 4 + 12 * b)
        for ident in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", blob, at)
            raw = blob[at + 4:at + length]
            text = raw.decode("utf-16-le" if flags & 1 else "cp1252")
            messages[ident] = formatted(text.rstrip("\0"))
            at += length
    return messages


def version_nodes(blob, at=0):
    """One VS_VERSIONINFO node: (key, value, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", blob, at)
    end = at + length
    p = at + 6
    key_end = p
    while blob[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = blob[p:key_end].decode("utf-16-le")
    p = (key_end + 2 + 3) & ~3
    if kind == 1:
        value = blob[p:p + 2 * value_length].decode("utf-16-le").rstrip("\0")
        p += 2 * value_length
    else:
        value = blob[p:p + value_length]
        p += value_length
    children = []
    p = (p + 3) & ~3
    while p < end:
        child, size = version_nodes(blob, p)
        children.append(child)
        p = (p + size + 3) & ~3
    return (key, value, children), length


def check_resources(args):
    with open(args.expected) as f:
        expected = json.load(f)
    found = Image(args.image).resources()
    tables = [v for k, v in found.items() if k[0] == RT_MESSAGETABLE]
    versions = [v for k, v in found.items() if k[0] == RT_VERSION]
    if len(tables) != 1 or len(versions) != 1:
        fail("%d message tables and %d version blocks in the image, not one of each" % (len(tables), len(versions)))
        return
    table = message_table(tables[0])
    want = {m["id"]: m["text"] for m in expected["messages"]}
    for ident in sorted(set(table) | set(want)):
        if table.get(ident) != want.get(ident):
            fail("message 0x%08X: the image has %r, resources.cpp %r" % (ident, table.get(ident), want.get(ident)))
    # the driver logs the codes of messages.h; each must have its text in the image
    with open(os.path.join(args.root, "resources", "messages.h")) as f:
        codes = dict(re.findall(r"#define\s+(EVENT_\w+)\s+\(\(NTSTATUS\)(0x[0-9A-Fa-f]+)\)", f.read()))
    if not codes:
        fail("no event codes found in resources/messages.h")
    for symbol, code in codes.items():
        if int(code, 16) not in table:
            fail("%s (%s) of messages.h has no text in the image's message table" % (symbol, code))
    symbols_in_table = {m["symbol"]: m["id"] for m in expected["messages"]}
    for symbol, code in codes.items():
        if symbols_in_table.get(symbol) != int(code, 16):
            fail("%s is %s in messages.h and %s in resources.cpp" % (symbol, code, symbols_in_table.get(symbol)))

    (key, fixed, children), _ = version_nodes(versions[0])
    if key != "VS_VERSION_INFO" or len(fixed) != 52:
        fail("the version resource has no VS_VERSION_INFO with its fixed part")
        return
    sig, _, fms, fls, pms, pls, _, _, os_, ftype, fsub = struct.unpack_from("<11I", fixed)
    unpack = lambda ms, ls: [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]
    if sig != 0xFEEF04BD:
        fail("the fixed version part has no signature")
    if unpack(fms, fls) != expected["file_version"] or unpack(pms, pls) != expected["product_version"]:
        fail("fixed versions %s and %s, resources.cpp has %s and %s" % (
            unpack(fms, fls), unpack(pms, pls), expected["file_version"], expected["product_version"]))
    if unpack(fms, fls) != [1, 0, 3, 0] or unpack(pms, pls) != [1, 0, 3, 0]:
        fail("the file and product versions are not 1.00.003")
    if (os_, ftype, fsub) != (0x40004, 3, 7):
        fail("file OS, type and subtype 0x%x %d %d: not a system driver for NT" % (os_, ftype, fsub))
    tables = {c[0]: c for c in children}
    strings = tables.get("StringFileInfo")
    if not strings or len(strings[2]) != 1:
        fail("no StringFileInfo with one string table")
        return
    translation, _, entries = strings[2][0]
    if translation != expected["translation"] or translation.upper() != "040904B0":
        fail("string table %s, not 040904B0" % translation)
    values = {k: v for k, v, _ in entries}
    if values != expected["strings"]:
        fail("version strings %s, resources.cpp has %s" % (values, expected["strings"]))
    for name in ("FileVersion", "ProductVersion"):
        if values.get(name) != "1.00.003":
            fail("%s is %r, not 1.00.003" % (name, values.get(name)))
    var = tables.get("VarFileInfo")
    pairs = var and var[2] and var[2][0][1]
    if not pairs or struct.unpack_from("<HH", pairs) != (0x0409, 0x04B0):
        fail("the VarFileInfo translation is not 0409 04B0")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("check", choices=["pe", "runtime", "headers", "imports", "resources", "calls"])
    parser.add_argument("--arch", choices=["x64", "x86"], default="x64")
    parser.add_argument("--import-lib", action="append", default=[],
                        help="an import library the x86 image links (ntoskrnl, hal, smclib)")
    parser.add_argument("--sys", required=True, help="the build folder of sys/")
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("--nm", default="x86_64-w64-mingw32-nm")
    parser.add_argument("--host-nm", default="nm")
    parser.add_argument("--driver-lib", action="append", default=[])
    parser.add_argument("--kernel-lib", action="append", default=[])
    parser.add_argument("--smclib-lib", action="append", default=[])
    parser.add_argument("--allowed-include", action="append", default=[])
    args = parser.parse_args()
    args.image = os.path.join(args.sys, "lmscr.sys")
    args.map = os.path.join(args.sys, "lmscr.map")
    args.expected = os.path.join(args.sys, "gen", "expected.json")
    args.deffile = os.path.join(args.root, "sys", "smclib-x86.def" if args.arch == "x86" else "smclib.def")
    if not os.path.exists(args.image):
        sys.exit("%s is not built" % args.image)
    globals()["check_" + args.check](args)
    if FAILURES:
        print("%d failures" % len(FAILURES))
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
