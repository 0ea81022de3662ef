#!/usr/bin/env python3
"""lmscr's PC/SC back end against a real pcscd: a private pcscd on a reader.conf.d of its own with
our handler, the simulated reader of `lmscr reader --link` behind it, and lmscr's card commands
given --pcsc: readers, send, script (met and unmet expectations, JSON), power, watch, a reader
name that matches nothing, no card. One script run on the built-in simulated reader and through
pcscd must get the same answers: one script, every reader.

Debian's pcscd listens on /run/pcscd/pcscd.comm whatever its environment says, so one runs at a
time: with another pcscd answering there, or pcscd missing, the test is skipped (exit 77). Every
process started here is stopped by its process id, also on failure.
"""
import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from pcscd_rig import BOUND_S, SOCKET, Reader, check, failures, finish, skip, socket_in_use, stop, wait_for

READER_NAME = "lmscr pcsc reader"
T1_ATR = "3B 94 13 81 31 20 45 4C 4D 31 30 52"
T0_ATR = "3B 14 13 4C 4D 30 30"
# Commands whose answers depend on the card's files only (no challenge): the simulated reader and
# the one behind pcscd must agree byte for byte. A reset between them is run on both.
SCRIPT = """# SELECT and READ BINARY on the T=1 card
00 A4 00 0C 02 3F 00 => 90 00
00 A4 00 0C 02 7F 10 => 90 00
00 A4 00 0C 02 6F 01 => 90 00
00 B0 00 00 10 => 6E 69 60 7B 72 4D 44 5F 56 51 28 23 3A 35 0C 07 90 00
!reset
00 A4 00 0C 02 3F 00 => 90 00
00 A4 00 0C 02 6F 09 => 6A 82
00 B0 00 00 04
"""
UNMET = """00 A4 00 0C 02 3F 00 => 90 00
00 A4 00 0C 02 6F 09 => 90 00
"""

def run(args, timeout=BOUND_S):
    """Runs a program to its end, bounded (killed by its id when it overstays): exit status,
    standard output, standard error."""
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        out, err = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.kill(p.pid, signal.SIGKILL)
        out, err = p.communicate()
    print("$ %s\n%s%s[exit %s]" % (" ".join(args), out, ("stderr: " + err) if err else "", p.returncode), flush=True)
    return p.returncode, out, err


def answers(document):
    """A script run's answers by line, from its JSON document."""
    return [(e.get("line"), e["command"], e.get("answer"), e.get("ok")) for e in document["exchanges"]
            if "command" in e]


def parsed(text, what):
    try:
        return json.loads(text)
    except ValueError as e:
        check(False, "%s: the output is JSON (%s)" % (what, e))
        return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--handler", required=True)
    parser.add_argument("--lmscr", required=True)
    args = parser.parse_args()
    lmscr = os.path.abspath(args.lmscr)

    if shutil.which("pcscd") is None:
        skip("pcscd is not installed (./.ci/deps installs it)")
    if socket_in_use():
        skip("another pcscd answers on %s; these tests run their own, one at a time" % SOCKET)

    workdir = tempfile.mkdtemp(prefix="lmscr-pcsc-")
    reader = pcscd = log = watch = None
    try:
        link = os.path.join(workdir, "reader")
        reader = Reader(lmscr, link)
        check(reader.says("linked at " + link), "lmscr reader linked at " + link)
        confdir = os.path.join(workdir, "reader.conf.d")
        os.mkdir(confdir)
        with open(os.path.join(confdir, "lmscr"), "w") as conf:
            conf.write('FRIENDLYNAME "%s"\nDEVICENAME %s\nLIBPATH %s\nCHANNELID 0\n'
                       % (READER_NAME, link, os.path.abspath(args.handler)))
        log = open(os.path.join(workdir, "pcscd.log"), "w+")
        pcscd = subprocess.Popen(["pcscd", "-f", "-c", confdir], stdout=log, stderr=subprocess.STDOUT)
        print("pcscd pid %d, reader.conf.d %s" % (pcscd.pid, confdir), flush=True)

        def listed():
            rc, out, _ = run([lmscr, "readers"])
            return rc == 0 and T1_ATR in out
        if not check(wait_for(listed), "lmscr readers lists the reader with the t1 card's ATR"):
            return
        rc, out, err = run([lmscr, "readers"])
        check(rc == 0 and out.startswith("0  %s" % READER_NAME) and out.rstrip().endswith(": ATR " + T1_ATR)
              and err == "", "lmscr readers: reader 0, its name and ATR on one line, exit 0")

        rc, out, err = run([lmscr, "send", "--pcsc", "00A4000C023F00"])
        check(rc == 0 and "status   9000 success" in out, "send --pcsc SELECT MF: 90 00, exit 0")

        script = os.path.join(workdir, "select.apdu")
        with open(script, "w") as f:
            f.write(SCRIPT)
        unmet = os.path.join(workdir, "unmet.apdu")
        with open(unmet, "w") as f:
            f.write(UNMET)
        # The reader by number, and by a part of its name in another case.
        rc, out, _ = run([lmscr, "script", "--pcsc", "0", script])
        check(rc == 0 and "6 expected answers, 0 not met" in out, "script --pcsc 0: every expected answer met, exit 0")
        rc, out, _ = run([lmscr, "script", "--pcsc", "PCSC READER", unmet])
        check(rc == 1 and "line 2: expected 90 00, answered 6A 82" in out,
              "script --pcsc by a part of the name: the unmet expectation named, exit 1")

        rc, out, _ = run([lmscr, "script", "--pcsc", script, "--json"])
        pcsc_doc = parsed(out, "script --pcsc --json")
        rc_sim, out_sim, _ = run([lmscr, "script", script, "--json", "--card", "t1"])
        sim_doc = parsed(out_sim, "script --json on the simulated reader")
        if pcsc_doc and sim_doc:
            check(rc == 0 and pcsc_doc["atr"] == T1_ATR and pcsc_doc["protocol"] == "T=1"
                  and pcsc_doc["summary"]["ok"] is True, "script --pcsc --json: ATR, T=1, summary ok, exit 0")
            check(rc_sim == 0 and answers(pcsc_doc) == answers(sim_doc) and len(answers(sim_doc)) == 7,
                  "the same script gets the same 7 answers on the simulated reader and through pcscd")

        rc, out, _ = run([lmscr, "power", "--pcsc"])
        check(rc == 0 and ("ATR  %s (12 bytes)" % T1_ATR) in out and "the library: direct convention, offers T=1" in out
              and "selected T=1" in out, "power --pcsc: the ATR, the library's reading, T=1 selected, exit 0")

        rc, out, err = run([lmscr, "send", "--pcsc", "nosuch", "00A4000C023F00"])
        check(rc == 1 and out == "" and
              err == "lmscr send: no PC/SC reader matches 'nosuch' (lmscr readers lists them)\n",
              "a reader name that matches nothing: one line on standard error, exit 1")

        # Card moves as `watch --pcsc` sees them, with the ATR pcscd read.
        watch = subprocess.Popen([lmscr, "watch", "--pcsc", "--seconds", "20"], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
        seen = []
        watcher = threading.Thread(target=lambda: seen.extend(l.rstrip("\n") for l in watch.stdout), daemon=True)
        watcher.start()
        check(wait_for(lambda: any("a card is in the slot" in l for l in seen)), "watch --pcsc: a card is in the slot")
        check(reader.command("remove", "card out"), "t1 card removed")
        check(wait_for(lambda: any(l.endswith("card removed") for l in seen)), "watch --pcsc: card removed")

        rc, out, _ = run([lmscr, "power", "--pcsc"])
        check(rc == 1 and "cold reset: STATUS_NO_MEDIA (SCARD_E_NO_SMARTCARD)" in out,
              "power --pcsc with no card: STATUS_NO_MEDIA (SCARD_E_NO_SMARTCARD), exit 1")

        check(reader.command("insert t0", "card 't0' in"), "t0 card inserted")
        check(wait_for(lambda: any(l.endswith("card inserted, ATR " + T0_ATR) for l in seen)),
              "watch --pcsc: card inserted, with the t0 card's ATR")
        os.kill(watch.pid, signal.SIGINT)
        watch.wait(timeout=10)
        watcher.join(timeout=5)
        check(watch.returncode == 0 and seen[-1].endswith("stopped by a signal"), "watch --pcsc: SIGINT ends it, exit 0")
        print("watch said:\n  " + "\n  ".join(seen), flush=True)

        rc, out, _ = run([lmscr, "power", "--pcsc", "--protocol", "t1"])
        check(rc == 1 and "protocol T=1 requested: STATUS_INVALID_DEVICE_REQUEST (SCARD_E_PROTO_MISMATCH)" in out,
              "power --pcsc --protocol t1 on the T=0 card: SCARD_E_PROTO_MISMATCH, exit 1")
    finally:
        if watch is not None:
            stop(watch, "lmscr watch")
        stop(pcscd, "pcscd")
        if reader is not None:
            reader.stop()
            print("lmscr reader said:\n  " + "\n  ".join(reader.lines), flush=True)
        if log is not None:
            log.seek(0)
            text = log.read()
            log.close()
            if failures:
                print("---- pcscd log ----\n" + text[-6000:])
        shutil.rmtree(workdir, ignore_errors=True)
    finish()


if __name__ == "__main__":
    main()
