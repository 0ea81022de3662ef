#!/usr/bin/env python3
"""Do the emulation's headers (platform/include) and the platform's (the cross compiler's
ddk/wdm.h, ddk/ntddk.h, ntddser.h, winsmcrd.h, with the project's smclib.h) agree on everything
the driver uses?

    header_probe.py --root SOURCE-ROOT --out DIR [--host-cxx c++]
                    [--cross-cxx x86_64-w64-mingw32-g++] [--list]

What the driver uses is read from its sources (driver/, seriallink/, protocol/, resources/):
  - every integer constant macro of the emulation's headers that a source names: its value;
  - every type name of the emulation's headers that a source names: size, alignment, and for an
    integer type its signedness; for a function type, the sizes of its result and parameters;
  - every member path the sources reach (after -> or .) in each of those record types: offset,
    size and, for an integer member, signedness;
  - every routine the driver calls that both headers declare as a routine: the sizes of its
    result and parameters.
and, read from the two headers' text, the calling convention (NTAPI, FASTCALL or none) with which
each of those routines is declared: x64 has one convention, so only the declarations can show
what an x86 build would call differently.

With --arch x86 the same facts are taken from 32-bit compiles: the host compiler's -m32 against
the emulation's headers, the i686 cross compiler against the platform's with -mrtd, as the x86
image is built.  There the convention is the compiler's own: for each routine and each routine
type, whether it is cdecl, stdcall, fastcall or variadic.  --expected FILE names disagreements
that are known, each with its reason: they are reported and pass; a disagreement the file does
not name fails, and so does a named one that is gone (the file must follow the headers).
One probe source is generated and compiled to assembly twice, by the host compiler against the
emulation's headers and by the cross compiler against the platform's; each fact becomes an
assembler comment with its value, and the two lists are compared.  A fact that only the
emulation has is reported as missing on the platform.  Exit status 1 on any disagreement.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

KERNEL_FOLDERS = ("driver", "seriallink", "protocol", "resources")
HEADERS = ("ntddk.h", "wdm.h", "ntddser.h", "winsmcrd.h", "smclib.h")


def run(command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("%s failed:\n%s" % (" ".join(command), result.stderr[-6000:]))
    return result.stdout


def strip_comments_and_strings(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    text = re.sub(r'"(\\.|[^"\\])*"', '""', text)
    return re.sub(r"'(\\.|[^'\\])*'", "''", text)


def driver_sources(root):
    texts = []
    for folder in KERNEL_FOLDERS:
        for name in sorted(os.listdir(os.path.join(root, folder))):
            if name.endswith((".cpp", ".h")):
                with open(os.path.join(root, folder, name)) as f:
                    texts.append(strip_comments_and_strings(f.read()))
    return "\n".join(texts)


def emulation_macros(host_cxx, include):
    """Object-like macros the emulation's headers define (the compiler's own left out)."""
    source = "".join("#include <%s>\n" % h for h in HEADERS)
    flags = ["-x", "c++", "-std=c++20", "-dM", "-E", "-nostdinc", "-I", include, "-"]
    defined = subprocess.run([host_cxx] + flags, input=source, capture_output=True, text=True)
    builtin = subprocess.run([host_cxx] + flags, input="", capture_output=True, text=True)
    if defined.returncode != 0:
        sys.exit(defined.stderr)
    own = set(defined.stdout.splitlines()) - set(builtin.stdout.splitlines())
    macros = {}
    for line in own:
        m = re.match(r"#define (\w+) (.+)$", line)
        if m:
            macros[m.group(1)] = m.group(2)
    return macros


ROUTINE_TYPE = "(routine)"  # marks a routine type among emulation_types' names


def macro_routines(host_cxx, include, used):
    """The names that the function-like macros the driver uses expand to, to any depth
    (KeAcquireSpinLock brings KfAcquireSpinLock, IoCallDriver IofCallDriver)."""
    source = "".join("#include <%s>\n" % h for h in HEADERS)
    flags = ["-x", "c++", "-std=c++20", "-dM", "-E", "-nostdinc", "-I", include, "-"]
    out = subprocess.run([host_cxx] + flags, input=source, capture_output=True, text=True).stdout
    bodies = dict(re.findall(r"^#define (\w+)\([^)]*\) (.*)$", out, re.M))
    found, todo = set(), [n for n in used if n in bodies]
    while todo:
        for name in re.findall(r"\b[A-Za-z_]\w*\b", bodies[todo.pop()]):
            if name not in found:
                found.add(name)
                if name in bodies:
                    todo.append(name)
    # the emulation's allocation macros add the call site and call LmExAllocatePoolWithTag: the
    # platform's routine is the macro's own name, which the driver already uses
    return {name for name in found if not name.startswith("Lm")}


def emulation_types(include):
    """Type names the emulation's headers declare with typedef: {name: (body, others)}, where body
    is the text between the braces for the record itself (NAME of `typedef struct {...} NAME,
    *PNAME;`) and None for every other name, and others are the names declared with it."""
    names = {}
    for header in HEADERS:
        with open(os.path.join(include, header)) as f:
            text = strip_comments_and_strings(f.read())
        for m in re.finditer(r"\btypedef\b", text):
            at = m.end()
            head = re.match(r"\s*(struct|union|enum)\s*\w*\s*\{", text[at:])
            body = None
            if head:
                depth, i = 0, at + head.end() - 1
                while True:
                    depth += {"{": 1, "}": -1}.get(text[i], 0)
                    if depth == 0:
                        break
                    i += 1
                body, at = text[at + head.end():i], i + 1
            declarators = text[at:text.index(";", at)]
            if "(" in declarators:  # a routine type: R NAME(params) or R (*NAME)(params)
                m2 = re.search(r"\(\s*\*\s*(\w+)\s*\)", declarators) or re.search(r"(\w+)\s*\(", declarators)
                names[m2.group(1)] = (None, [ROUTINE_TYPE])
                continue
            record = body is not None and head.group(1) != "enum"
            group = []
            for part in declarators.split(","):
                ids = re.findall(r"\w+", part)
                if ids:
                    group.append((ids[-1], "*" not in part and "[" not in part))
            for name, plain in group:
                names[name] = (body if record and plain else None,
                               [other for other, _ in group if other != name])
    return names


def member_paths(source):
    """Member paths reached after -> or . (a.b.c, with each of its prefixes)."""
    paths = set()
    for m in re.finditer(r"(?:->|(?<![\w.])\.|(?<=[\w\])])\.)\s*([A-Za-z_]\w*(?:\s*\.\s*[A-Za-z_]\w*)*)", source):
        parts = [p.strip() for p in m.group(1).split(".")]
        for i in range(1, len(parts) + 1):
            paths.add(".".join(parts[:i]))
    return paths


PRELUDE = r"""
// Generated by tests/sys/header_probe.py: facts of the headers as assembler comments.
%(includes)s
namespace probe {
template <class T> struct is_int { static constexpr bool value = __is_enum(T); };
#define PROBE_INT(T) template <> struct is_int<T> { static constexpr bool value = true; };
PROBE_INT(bool) PROBE_INT(char) PROBE_INT(signed char) PROBE_INT(unsigned char)
PROBE_INT(short) PROBE_INT(unsigned short) PROBE_INT(int) PROBE_INT(unsigned int)
PROBE_INT(long) PROBE_INT(unsigned long) PROBE_INT(long long) PROBE_INT(unsigned long long)
PROBE_INT(wchar_t) PROBE_INT(char16_t) PROBE_INT(char32_t)
template <class T> struct bare { using type = T; };
template <class T> struct bare<const T> { using type = typename bare<T>::type; };
template <class T> struct bare<volatile T> { using type = typename bare<T>::type; };
template <class T> struct bare<const volatile T> { using type = typename bare<T>::type; };
template <class T> struct bare<T &> { using type = typename bare<T>::type; };
template <class T> struct bare<T &&> { using type = typename bare<T>::type; };
template <class T> using bare_t = typename bare<T>::type;
template <class T> constexpr bool is_int_v = is_int<bare_t<T>>::value;
// a member's type, or its element's for an array (MajorFunction's routine pointers)
template <class T> struct element { using type = T; };
template <class T, decltype(sizeof 0) N> struct element<T[N]> { using type = T; };
template <class T> using element_t = typename element<T>::type;
template <class T> constexpr long long is_signed_v() {
    if constexpr (__is_enum(T)) return (long long)((T)-1 < (T)0) ; else return (T)-1 < (T)0;
}
// A routine's shape: parameter count, then the size of the result and of each parameter, a hex
// digit each (every parameter of these routines is at most eight bytes).
template <class T> constexpr unsigned long long size_or_zero() {
    if constexpr (requires { sizeof(T); }) return sizeof(T); else return 0;
}
template <class F> struct shape { static constexpr bool known = false; static constexpr unsigned long long value = 0; };
template <class R, class... A> struct shape<R(A...)> {
    static constexpr bool known = true;
    static constexpr unsigned long long value = [] {
        unsigned long long v = sizeof...(A);
        v = v * 16 + size_or_zero<R>();
        ((v = v * 16 + (sizeof(A) < 16 ? sizeof(A) : 15)), ...);
        return v;
    }();
};
template <class R, class... A> struct shape<R (*)(A...)> : shape<R(A...)> {};
#if defined(__i386__)
// On x86 the convention is part of a routine's type: 0 cdecl (plain, without -mrtd), 1 stdcall
// (plain with -mrtd), 2 fastcall, 3 variadic (cdecl always).
template <class F> struct convention { static constexpr int value = 0; };
template <class R, class... A> struct convention<R __attribute__((stdcall)) (A...)> { static constexpr int value = 1; };
template <class R, class... A> struct convention<R __attribute__((fastcall)) (A...)> { static constexpr int value = 2; };
template <class R, class... A> struct convention<R(A..., ...)> { static constexpr int value = 3; };
template <class F> struct convention<F *> : convention<F> {};
template <class R, class... A> struct shape<R __attribute__((fastcall)) (A...)> : shape<R(A...)> {};
template <class R, class... A> struct shape<R (__attribute__((fastcall)) *)(A...)> : shape<R(A...)> {};
#ifndef PROBE_RTD  // with -mrtd a plain routine type is the stdcall one
template <class R, class... A> struct shape<R __attribute__((stdcall)) (A...)> : shape<R(A...)> {};
template <class R, class... A> struct shape<R (__attribute__((stdcall)) *)(A...)> : shape<R(A...)> {};
#endif
#endif
// the emulation's routines and callbacks name the platform's convention, another type on this host
#if defined(__x86_64__) && !defined(_WIN64)
template <class R, class... A> struct shape<R __attribute__((ms_abi)) (A...)> : shape<R(A...)> {};
template <class R, class... A> struct shape<R (__attribute__((ms_abi)) *)(A...)> : shape<R(A...)> {};
#endif
}  // namespace probe
"""


def asm(label, *values):
    """An assembler comment "#PROBE label v1 v2 ...": each value goes in as four 16-bit pieces,
    the largest immediate that every compiler prints as a plain number."""
    pieces, operands = [], []
    for value in values:
        parts = []
        for shift in (48, 32, 16, 0):
            parts.append("%%c%d" % len(operands))
            operands.append('"i"((unsigned)(((unsigned long long)(%s) >> %d) & 0xFFFF))' % (value, shift))
        pieces.append(":".join(parts))
    return '__asm__ volatile("#PROBE %s %s" :: %s);' % (label, " ".join(pieces), ", ".join(operands))


def generate(macros, types, paths, routines, x86=False):
    """types: {name: record body or None}."""
    def convention(label, what):
        return asm("%s convention" % label, "probe::convention<%s>::value" % what) if x86 else ""
    out = [PRELUDE % {"includes": "".join("#include <%s>\n" % h for h in HEADERS)}]
    n = 0
    for name in sorted(macros):
        n += 1
        out.append(
            "template <int N> void m%d() {\n"
            "  using T = probe::bare_t<decltype(%s)>;\n"
            "  if constexpr (probe::is_int_v<T>) { %s }\n"
            "}\ntemplate void m%d<0>();\n" % (n, name, asm("macro %s value" % name, "(long long)((%s) + N)" % name), n))
    for name in sorted(types):
        n += 1
        out.append(
            "template <class T> void t%d() {\n"
            "  if constexpr (probe::shape<T>::known) { %s %s }\n"
            "  else if constexpr (requires { sizeof(T); }) {\n"
            "    %s\n"
            "    if constexpr (probe::is_int_v<T>) { %s }\n"
            "  }\n"
            "}\ntemplate void t%d<%s>();\n" % (
                n, asm("type %s shape" % name, "probe::shape<T>::value"), convention("type %s" % name, "T"),
                asm("type %s size,align" % name, "sizeof(T)", "alignof(T)"),
                asm("type %s signed" % name, "probe::is_signed_v<T>()"), n, name))
        body = types[name]
        for path in sorted(paths):
            if body is None or not re.search(r"\b%s\b" % path.split(".")[0], body):
                continue
            n += 1
            out.append(
                "template <class T> void f%d() {\n"
                "  if constexpr (__is_class(T) || __is_union(T)) {\n"
                "    if constexpr (requires(T &t) { t.%s; }) {\n"
                "      using M = probe::bare_t<decltype(((T *)nullptr)->%s)>;\n"
                "      %s\n"
                "      if constexpr (probe::is_int_v<M>) { %s }\n"
                "      if constexpr (probe::shape<probe::element_t<M>>::known) { %s }\n"
                "    }\n"
                "  }\n"
                "}\ntemplate void f%d<%s>();\n" % (
                    n, path, path, asm("field %s.%s offset,size" % (name, path), "__builtin_offsetof(T, %s)" % path, "sizeof(M)"),
                    asm("field %s.%s signed" % (name, path), "probe::is_signed_v<M>()"),
                    convention("field %s.%s" % (name, path), "probe::element_t<M>"), n, name))
    for name in sorted(routines):
        n += 1
        out.append(
            "#ifndef %s\n"
            "void r%d() { %s %s }\n"
            "#endif\n" % (name, n, asm("routine %s shape" % name, "probe::shape<decltype(%s)>::value" % name),
                           convention("routine %s" % name, "decltype(%s)" % name)))
    return "".join(out)


CONVENTION = r"\b(NTAPI|FASTCALL)\b"


def conventions(routines, emulation_text, platform_text):
    """{routine: (emulation's convention, platform's)} for routines declared in both texts."""
    found = {}
    for name in routines:
        mine = re.search(r"^([A-Z][\w\s*()]*?)\b%s\s*\(" % name, emulation_text, re.M)
        theirs = re.search(r"\b((?:NTKERNELAPI|NTHALAPI|NTSYSAPI|NTAPI|FASTCALL|FORCEINLINE|DECLSPEC_NORETURN)\b"
                           r"[\s\w*]*?)\b%s\s*\(" % name, platform_text)
        if mine and theirs:
            a = re.search(CONVENTION, mine.group(1))
            b = re.search(CONVENTION, theirs.group(1))
            found[name] = (a.group(1) if a else "none", b.group(1) if b else "none")
    return found


def facts(text):
    found = {}
    for m in re.finditer(r"#PROBE (\S+ \S+ \S+) (.*)$", text, re.M):
        values = []
        for value in m.group(2).split():
            number = 0
            for piece in value.split(":"):
                number = number * 65536 + int(piece)
            values.append(str(number - (1 << 64) if number >= 1 << 63 else number))
        found[m.group(1)] = " ".join(values)
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--host-cxx", default="c++")
    parser.add_argument("--cross-cxx", default="x86_64-w64-mingw32-g++")
    parser.add_argument("--provided", action="append", default=[],
                        help="a library of the emulation (platform/kernel, platform/smclib): the "
                             "routines it defines that the driver names are probed")
    parser.add_argument("--host-nm", default="nm")
    parser.add_argument("--list", action="store_true", help="print every fact, not only disagreements")
    parser.add_argument("--arch", choices=["x64", "x86"], default="x64")
    parser.add_argument("--expected", help="known disagreements: lines of 'FACT: reason'")
    args = parser.parse_args()
    x86 = args.arch == "x86"

    include = os.path.join(args.root, "platform", "include")
    source = driver_sources(args.root)
    used = set(re.findall(r"\b[A-Za-z_]\w*\b", source))
    # an integer constant's expansion has a digit in it (types, qualifiers and empty markers
    # like IN and OPTIONAL have none)
    macros = {name for name, value in emulation_macros(args.host_cxx, include).items()
              if name in used and not name.startswith("LMSCR_") and re.search(r"\d", value)
              and '"' not in value}
    # a record is probed when the driver names it or a pointer to it (PIRP brings IRP)
    declared = emulation_types(include)
    if x86:
        # the routines behind the macros the driver calls, and every routine type of the
        # emulation's headers: on x86 each has a convention the two sides must share
        used |= macro_routines(args.host_cxx, include, used)
    types = {name: body for name, (body, others) in declared.items()
             if name in used or (body is not None and used & set(others))
             or (x86 and ROUTINE_TYPE in others)}
    paths = member_paths(source)
    provided = set()
    for lib in args.provided:
        for line in run([args.host_nm, "--defined-only", lib]).splitlines():
            fields = line.split()
            if len(fields) == 3 and fields[1] == "T":
                provided.add(fields[2])
    probe = generate(macros, types, paths, provided & used, x86)
    os.makedirs(args.out, exist_ok=True)
    # the cross side sees the project's smclib.h alone, so that its "wdm.h" is the platform's
    smclib_include = os.path.join(args.out, "smclib-include")
    os.makedirs(smclib_include, exist_ok=True)
    shutil.copy(os.path.join(include, "smclib.h"), smclib_include)
    path = os.path.join(args.out, "header_probe.cpp")
    with open(path, "w") as f:
        f.write(probe)

    common = ["-std=c++20", "-fno-exceptions", "-fno-rtti", "-ffreestanding", "-nostdinc", "-w", "-S", "-o", "-"]
    host = run([args.host_cxx] + common + (["-m32"] if x86 else []) + ["-I", include, path])
    gcc_include = run([args.cross_cxx, "-print-file-name=include"]).strip()
    ddk = None
    target = "i686-w64-mingw32" if x86 else "x86_64-w64-mingw32"
    for candidate in ("/usr/%s/include" % target, "/usr/share/mingw-w64/include"):
        if os.path.exists(os.path.join(candidate, "ddk", "wdm.h")):
            ddk = candidate
            break
    if not ddk:
        sys.exit("the cross compiler's ddk/wdm.h is not installed")
    cross = run([args.cross_cxx] + common + [
        "-isystem", gcc_include, "-isystem", gcc_include + "-fixed", "-isystem", os.path.join(ddk, "ddk"),
        "-isystem", ddk, "-I", smclib_include,
        "-D__INTRINSIC_DEFINED_InterlockedBitTestAndSet", "-D__INTRINSIC_DEFINED_InterlockedBitTestAndReset"]
        + (["-mrtd", "-DPROBE_RTD"] if x86 else []) + [path])
    emulation, platform = facts(host), facts(cross)
    texts = []
    for folder, names in ((include, HEADERS), (os.path.join(ddk, "ddk"), ("wdm.h", "ntddk.h")),
                          (ddk, ("ntddser.h", "winsmcrd.h"))):
        for header in names:
            if os.path.exists(os.path.join(folder, header)):
                with open(os.path.join(folder, header)) as f:
                    texts.append((folder == include, strip_comments_and_strings(f.read())))
    # on x86 the compilers say it themselves
    pairs = {} if x86 else conventions(provided & used, "\n".join(t for mine, t in texts if mine),
                                       "\n".join(t for mine, t in texts if not mine))
    for name, (mine, theirs) in pairs.items():
        emulation["convention %s of" % name] = mine
        platform["convention %s of" % name] = theirs
    if len(emulation) < 100:
        sys.exit("only %d facts of the emulation's headers: the probe is broken" % len(emulation))

    names = ("cdecl", "stdcall", "fastcall", "variadic")
    for facts_ in (emulation, platform):
        for key in facts_:
            if key.endswith(" convention") and facts_[key].isdigit():
                facts_[key] = names[int(facts_[key])]
    expected = {}
    if args.expected:
        with open(args.expected) as f:
            for line in f:
                if line.strip() and not line.startswith("#"):
                    fact, _, reason = line.partition(":")
                    expected[fact.strip()] = reason.strip()

    disagreements = known = 0
    for key in sorted(emulation):
        mine, theirs = emulation[key], platform.get(key)
        if theirs is None:
            if key.split()[0] in ("field", "type", "routine"):
                # a member path the driver reaches in another record, a type the platform spells
                # otherwise, a routine that is a macro there: noted, not a disagreement
                if args.list:
                    print("  only the emulation: %s %s" % (key, mine))
                continue
            text = "%s: emulation %s, platform has none" % (key, mine)
        elif mine != theirs:
            text = "%s: emulation %s, platform %s" % (key, mine, theirs)
        else:
            if key in expected:
                print("AGREES NOW %s (%s): take it out of %s" % (key, mine, args.expected))
                disagreements += 1
            elif args.list:
                print("  same %s %s" % (key, mine))
            continue
        if key in expected:
            print("known   %s (%s)" % (text, expected[key]))
            known += 1
        else:
            print("DIFFERS %s" % text)
            disagreements += 1
    for key in sorted(set(expected) - set(emulation)):
        print("GONE    %s: the driver no longer uses it; take it out of %s" % (key, args.expected))
        disagreements += 1
    print("%d facts of the emulation's headers, %d of the platform's, %d known disagreements, %d others" % (
        len(emulation), len(platform), known, disagreements))
    return 1 if disagreements else 0


if __name__ == "__main__":
    sys.exit(main())
