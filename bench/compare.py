#!/usr/bin/env python3
"""The cost of an exchange against an earlier tree, both built and measured in one run.

    bench/compare.py [--ref REV] [--rounds N] [--reps N] [--no-callgrind] [--soak SEEDS] [--realtime APDUS]

The earlier tree (550fbde unless --ref names another) is taken with `git archive` into
build-bench-ref/<rev>/src and built there; the working tree's exchange_bench is built in
build-bench.  Then, for each workload of exchange_bench:

- CPU: both programs run one after the other, --rounds times (3), --reps exchanges a workload
  (200); the median of each side's "CPU us/ex" column, and their ratio.  The rounds alternate so
  that a change of the machine's load falls on both sides.
- instructions (callgrind, unless --no-callgrind or valgrind is missing): each program runs under
  callgrind twice, with 10 and with 30 exchanges a workload, dumping its counts each time the
  driver is loaded (DriverEntry: once a workload, as the bench opens a new session for each).  The
  difference of a workload's counts between the two runs, over 20, is what one exchange costs with
  the set-up and the warm-up left out, for both trees the same way.
- virtual time: each side's "virtual ms" column, which must agree unless the line itself changed.

--soak SEEDS also builds the earlier tree's driver_tests (RelWithDebInfo, as `make soak` uses) and
runs each tree's soak at SEEDS seeds a pair as its own Makefile runs it, reporting wall and CPU time;
and the working tree's once more with the earlier tree's work (no triples) on one process, since
the soak has grown and spread over the cores since.

--realtime APDUS also builds the earlier tree's IFD handler and runs the working tree's
realtime_bench through pcscd with both handlers in one pcscd, their blocks in turn (`--earlier`):
each handler's CPU an APDU beyond pcscd's own and their ratio, in the same minutes.

Exits 1 when a build or a bench fails; the ratios are printed, never judged.
"""
import argparse
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROW = re.compile(r"^(W\d(?: T=\d)?)\s+(.+?)\s+(\d+\.\d{3})[ *]\s+\S+\s+\S+\s+(\d+\.\d)\s")


def run(cmd, **kw):
    print("+ " + " ".join(cmd), file=sys.stderr, flush=True)
    return subprocess.run(cmd, check=True, **kw)


def build_bench(src, build, jobs, targets=("exchange_bench",)):
    if not os.path.exists(os.path.join(build, "build.ninja")):
        run(["cmake", "-S", src, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DLMSCR_BENCH=ON"],
            stdout=subprocess.DEVNULL)
    run(["cmake", "--build", build, "-j", str(jobs), "--target"] + list(targets), stdout=subprocess.DEVNULL)
    return os.path.join(build, "bench", "exchange_bench")


def export_ref(rev, where):
    src = os.path.join(where, "src")
    stamp = os.path.join(where, "commit")
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", rev + "^{commit}"], check=True, capture_output=True,
                            text=True).stdout.strip()
    if os.path.exists(stamp) and open(stamp).read().strip() == commit:
        return src, commit
    shutil.rmtree(where, ignore_errors=True)
    os.makedirs(src)
    archive = subprocess.Popen(["git", "-C", ROOT, "archive", commit], stdout=subprocess.PIPE)
    run(["tar", "-x", "-C", src], stdin=archive.stdout)
    if archive.wait() != 0:
        sys.exit("git archive %s failed" % rev)
    with open(stamp, "w") as f:
        f.write(commit + "\n")
    return src, commit


def bench_rows(program, reps):
    out = subprocess.run([program, str(reps)], capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit("%s failed (exit %d):\n%s" % (program, out.returncode, out.stdout + out.stderr))
    rows = {}
    for line in out.stdout.splitlines():
        m = ROW.match(line)
        if m:
            rows[(m.group(1), m.group(2).strip())] = (float(m.group(3)), float(m.group(4)))
    return rows


def callgrind_parts(program, reps, tmp):
    """Instructions of each workload's segment: the dumps between two loads of the driver."""
    d = tempfile.mkdtemp(dir=tmp)
    subprocess.run(["valgrind", "--tool=callgrind", "--dump-before=DriverEntry",
                    "--callgrind-out-file=" + os.path.join(d, "cg.%p"), program, str(reps)],
                   check=True, capture_output=True)
    files = os.listdir(d)
    base = [f for f in files if re.fullmatch(r"cg\.\d+", f)][0]
    parts = sorted((f for f in files if f != base), key=lambda f: int(f.rsplit(".", 1)[1])) + [base]
    segments = [0]
    for f in parts:
        text = open(os.path.join(d, f)).read()
        segments[-1] += int(re.search(r"^summary: (\d+)$", text, re.M).group(1))
        if re.search(r"^desc: Trigger: --dump-before=DriverEntry", text, re.M):
            segments.append(0)
    shutil.rmtree(d)
    return segments[1:]  # the first segment is the program's start


def instructions_per_exchange(program, tmp):
    lo, hi = callgrind_parts(program, 10, tmp), callgrind_parts(program, 30, tmp)
    return [(h - l) / 20 for l, h in zip(lo, hi)]


def timed(cmd, env=None, cwd=None):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    out = subprocess.run(cmd, env=env, cwd=cwd, capture_output=True, text=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if out.returncode != 0:
        sys.exit("%s failed (exit %d):\n%s" % (" ".join(cmd), out.returncode, (out.stdout + out.stderr)[-4000:]))
    return wall, cpu


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--ref", default="550fbde")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--reps", type=int, default=200)
    p.add_argument("--no-callgrind", action="store_true")
    p.add_argument("--soak", type=int, default=0)
    p.add_argument("--realtime", type=int, default=0)
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    a = p.parse_args()

    where = os.path.join(ROOT, "build-bench-ref", a.ref)
    src, commit = export_ref(a.ref, where)
    realtime = ("ifd-lmscr",) if a.realtime else ()
    ref_prog = build_bench(src, os.path.join(where, "bench"), a.jobs, ("exchange_bench",) + realtime)
    cur_prog = build_bench(ROOT, os.path.join(ROOT, "build-bench"), a.jobs,
                           ("exchange_bench",) + (("realtime_bench",) if a.realtime else ()))
    head = subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"], capture_output=True,
                          text=True).stdout.strip()

    ref_cpu, cur_cpu, virtual = {}, {}, {}
    for _ in range(a.rounds):
        for side, prog, acc in (("ref", ref_prog, ref_cpu), ("cur", cur_prog, cur_cpu)):
            for key, (v, cpu) in bench_rows(prog, a.reps).items():
                acc.setdefault(key, []).append(cpu)
                virtual.setdefault(key, {})[side] = v
    keys = [k for k in ref_cpu if k in cur_cpu]

    ins = {}
    if not a.no_callgrind and shutil.which("valgrind"):
        with tempfile.TemporaryDirectory() as tmp:
            ref_ins, cur_ins = instructions_per_exchange(ref_prog, tmp), instructions_per_exchange(cur_prog, tmp)
        # One segment a workload; the rows of a workload of two exchanges share it (its "pair").
        workloads = list(dict.fromkeys(k[0] for k in keys))
        for i, w in enumerate(workloads):
            if i < len(ref_ins) and i < len(cur_ins):
                ins[w] = (ref_ins[i], cur_ins[i])

    print("exchange cost: %s (%s) against the working tree %s; %d rounds of %d exchanges a workload"
          % (a.ref, commit[:12], head, a.rounds, a.reps))
    print()
    print("%-7s %-16s %11s %11s %6s   %12s %12s %6s   %s" % ("", "exchange", "ref us/ex", "now us/ex", "ratio",
                                                           "ref Ir/ex", "now Ir/ex", "ratio", "virtual ms ref / now"))
    seen = set()
    for k in keys:
        r, c = statistics.median(ref_cpu[k]), statistics.median(cur_cpu[k])
        vr, vc = virtual[k]["ref"], virtual[k]["cur"]
        vtext = "%.3f" % vr if vr == vc else "%.3f / %.3f" % (vr, vc)
        itext = ""
        # Instructions are per workload: shown on its last row (the pair when there are two).
        last = [x for x in keys if x[0] == k[0]][-1] == k
        if k[0] in ins and last and k[0] not in seen:
            seen.add(k[0])
            ir, ic = ins[k[0]]
            itext = "%12.0f %12.0f %6.2f" % (ir, ic, ic / ir)
        print("%-7s %-16s %11.1f %11.1f %6.2f   %-32s %s" % (k[0], k[1], r, c, c / r, itext, vtext))
    print()
    print("us/ex: median process CPU time an exchange; Ir/ex: instructions an exchange of the workload under")
    print("callgrind (both exchanges of a pair together), set-up and warm-up excluded; ratio: now / ref")

    if a.soak:
        tests = os.path.join(where, "tests")
        if not os.path.exists(os.path.join(tests, "build.ninja")):
            run(["cmake", "-S", src, "-B", tests, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                stdout=subprocess.DEVNULL)
        run(["cmake", "--build", tests, "-j", str(a.jobs), "--target", "driver_tests"], stdout=subprocess.DEVNULL)
        run(["cmake", "--build", os.path.join(ROOT, "build"), "-j", str(a.jobs), "--target", "driver_tests"],
            stdout=subprocess.DEVNULL)
        soak = ["--gtest_filter=Soak.*"]
        env = dict(os.environ, LMSCR_SOAK_SEEDS=str(a.soak))
        ref = timed([os.path.join(tests, "tests", "driver", "driver_tests")] + soak, env=dict(env), cwd=src)
        cur_prog_tests = os.path.join(ROOT, "build", "tests", "driver", "driver_tests")
        now = timed([cur_prog_tests] + soak, cwd=ROOT,
                    env=dict(env, LMSCR_SOAK_TRIPLE_PERCENT="100", LMSCR_RACE_JOBS=str(a.jobs)))
        same = timed([cur_prog_tests] + soak, cwd=ROOT,
                     env=dict(env, LMSCR_SOAK_TRIPLE_PERCENT="0", LMSCR_RACE_JOBS="1"))
        print()
        print("soak at %d seeds a pair        wall s    CPU s   wall ratio  CPU ratio" % a.soak)
        print("  ref (make soak as it was)     %7.1f  %7.1f" % ref)
        print("  now (make soak)               %7.1f  %7.1f   %9.2f  %9.2f" % (now + (now[0] / ref[0], now[1] / ref[1])))
        print("  now, no triples, one process  %7.1f  %7.1f   %9.2f  %9.2f" % (same + (same[0] / ref[0], same[1] / ref[1])))

    if a.realtime:
        print()
        sys.stdout.flush()
        handler = os.path.join(where, "bench", "ifd", "libifd-lmscr.so")
        run([os.path.join(ROOT, "build-bench", "bench", "realtime_bench"), "--earlier", handler, str(a.realtime),
             "pcscd"])


if __name__ == "__main__":
    main()
