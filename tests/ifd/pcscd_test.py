#!/usr/bin/env python3
"""The handler behind Debian's pcscd: a private pcscd on a reader.conf.d of its own, the simulated
reader on a pseudo-terminal, and the clients people use: pcsc_scan, opensc-tool, pyscard.

Debian's pcscd listens on /run/pcscd/pcscd.comm whatever its environment says, so one runs at a
time: with another pcscd answering there, the test is skipped (exit 77). Every process started
here is stopped by its process id at the end, also on failure.
"""
import argparse
import gc
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

SOCKET = "/run/pcscd/pcscd.comm"
READER_NAME = "lmscr test reader"
SELECT_MF = [0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00]
BOUND_S = 30

failures = []


def check(condition, what):
    print(("ok    " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def skip(why):
    print("SKIPPED: " + why, flush=True)
    sys.exit(77)


def hexs(data):
    return " ".join("%02X" % b for b in data)


def socket_in_use():
    if not os.path.exists(SOCKET):
        return False
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.connect(SOCKET)
        return True
    except OSError:
        return False
    finally:
        s.close()


def stop(process, name):
    """Stops a process of ours by its id: SIGTERM, then SIGKILL if it does not go."""
    if process is None or process.poll() is not None:
        return
    os.kill(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        print("%s (pid %d) ignored SIGTERM; killing it" % (name, process.pid), flush=True)
        os.kill(process.pid, signal.SIGKILL)
        process.wait()


def run(args, timeout=BOUND_S):
    """Runs a client to its end, bounded; a client that overstays is killed by its id."""
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        out, _ = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.kill(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
    # pcsc_scan's spinner, one character a line, says nothing.
    shown = "\n".join(l for l in out.splitlines() if l.strip() not in ("", "-", "\\", "|", "/"))
    print("$ " + " ".join(args) + "\n" + shown, flush=True)
    return p.returncode, out


class PtyReader:
    def __init__(self, program):
        self.p = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.path = self.p.stdout.readline().strip()

    def command(self, line):
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()
        return self.p.stdout.readline().strip() == "ok"

    def stop(self):
        if self.p.poll() is None:
            self.p.stdin.close()
            try:
                self.p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                stop(self.p, "ifd_pty_reader")


def wait_for(predicate, bound=BOUND_S):
    end = time.monotonic() + bound
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def our_reader():
    from smartcard.System import readers
    try:
        return next((r for r in readers() if str(r).startswith(READER_NAME)), None)
    except Exception:
        return None


def card_state_is(present):
    from smartcard.scard import (SCardEstablishContext, SCardGetStatusChange, SCardReleaseContext,
                                 SCARD_SCOPE_USER, SCARD_STATE_PRESENT, SCARD_STATE_UNAWARE)
    _, context = SCardEstablishContext(SCARD_SCOPE_USER)
    try:
        r = our_reader()
        if r is None:
            return False
        _, states = SCardGetStatusChange(context, 0, [(str(r), SCARD_STATE_UNAWARE)])
        return bool(states[0][1] & SCARD_STATE_PRESENT) == present
    finally:
        SCardReleaseContext(context)


def pyscard_session(protocol_name, expect_atr):
    from smartcard.CardConnection import CardConnection
    protocol = CardConnection.T1_protocol if protocol_name == "T=1" else CardConnection.T0_protocol
    connection = our_reader().createConnection()
    connection.connect(protocol)
    atr = connection.getATR()
    check(atr == expect_atr, "pyscard %s: connected, ATR %s" % (protocol_name, hexs(atr)))
    data, sw1, sw2 = connection.transmit(SELECT_MF)
    print("pyscard %s: SELECT MF -> %s %02X %02X" % (protocol_name, hexs(data), sw1, sw2), flush=True)
    if protocol_name == "T=0" and sw1 == 0x61:
        data, sw1, sw2 = connection.transmit([0x00, 0xC0, 0x00, 0x00, sw2])
        print("pyscard T=0: GET RESPONSE -> %s %02X %02X" % (hexs(data), sw1, sw2), flush=True)
    check((sw1, sw2) == (0x90, 0x00), "pyscard %s: SELECT MF answered 90 00" % protocol_name)
    return connection


def median_transmit_ms(connection, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        _, sw1, sw2 = connection.transmit(SELECT_MF)
        times.append((time.perf_counter() - start) * 1000)
        if (sw1, sw2) != (0x90, 0x00):
            check(False, "timed transmit answered %02X %02X" % (sw1, sw2))
            break
    return statistics.median(times), min(times), max(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--handler", required=True)
    parser.add_argument("--reader", required=True)
    parser.add_argument("--transmits", type=int, default=1000)
    args = parser.parse_args()

    for program in ("pcscd", "pcsc_scan", "opensc-tool"):
        if shutil.which(program) is None:
            skip("%s is not installed (./.ci/deps installs it)" % program)
    try:
        import smartcard  # noqa: F401
    except ImportError:
        skip("pyscard is not installed for %s (./.ci/deps installs python3-pyscard)" % sys.executable)
    if socket_in_use():
        skip("another pcscd answers on %s; these tests run their own, one at a time" % SOCKET)

    from smartcard.util import toBytes
    workdir = tempfile.mkdtemp(prefix="lmscr-pcscd-")
    reader = None
    pcscd = None
    log = None
    connection = None
    try:
        reader = PtyReader(args.reader)
        check(reader.path.startswith("/dev/"), "simulated reader on " + reader.path)
        confdir = os.path.join(workdir, "reader.conf.d")
        os.mkdir(confdir)
        with open(os.path.join(confdir, "lmscr"), "w") as conf:
            conf.write('FRIENDLYNAME "%s"\nDEVICENAME %s\nLIBPATH %s\nCHANNELID 0\n'
                       % (READER_NAME, reader.path, os.path.abspath(args.handler)))
        log = open(os.path.join(workdir, "pcscd.log"), "w+")
        pcscd = subprocess.Popen(["pcscd", "-f", "-c", confdir], stdout=log, stderr=subprocess.STDOUT)
        print("pcscd pid %d, reader.conf.d %s" % (pcscd.pid, confdir), flush=True)
        if not check(wait_for(lambda: our_reader() is not None), "pcscd lists the reader"):
            return
        check(wait_for(lambda: card_state_is(False)), "no card reported at first")

        check(reader.command("insert t1"), "t1 card inserted")
        check(wait_for(lambda: card_state_is(True)), "pcscd sees the card")
        t1_atr = None
        from smartcard.scard import SCardEstablishContext, SCardReleaseContext, SCARD_SCOPE_USER  # noqa
        rc, out = run(["pcsc_scan", "-t", "3"], timeout=20)
        check(READER_NAME in out, "pcsc_scan lists the reader")
        atr_lines = [l for l in out.splitlines() if "ATR:" in l]
        check(bool(atr_lines), "pcsc_scan prints an ATR")
        if atr_lines:
            t1_atr = toBytes(atr_lines[0].split("ATR:", 1)[1].strip())

        rc, out = run(["opensc-tool", "-a"])
        check(rc == 0 and t1_atr is not None and hexs(t1_atr).lower().replace(" ", ":") in out,
              "opensc-tool -a prints the same ATR")
        rc, out = run(["opensc-tool", "-s", "00 A4 00 00 02 3F 00"])
        check(rc == 0 and "SW1=0x90, SW2=0x00" in out, "opensc-tool -s: SELECT MF answered 90 00")

        connection = pyscard_session("T=1", t1_atr)
        median, low, high = median_transmit_ms(connection, args.transmits)
        print("TIMING: SELECT MF through pcscd, T=1, %d transmits: median %.3f ms, min %.3f, max %.3f"
              % (args.transmits, median, low, high), flush=True)
        connection.disconnect()
        connection = None

        check(reader.command("remove"), "t1 card removed")
        check(wait_for(lambda: card_state_is(False)), "pcscd sees the card go")
        check(reader.command("insert t0"), "t0 card inserted")
        check(wait_for(lambda: card_state_is(True)), "pcscd sees the t0 card")
        rc, out = run(["opensc-tool", "-a"])
        t0_atr = toBytes(out.strip().splitlines()[-1].replace(":", " ")) if rc == 0 else None
        connection = pyscard_session("T=0", t0_atr)
        connection.disconnect()
        connection = None
    finally:
        # pyscard releases its context when the connection object goes: before pcscd does.
        connection = None
        gc.collect()
        stop(pcscd, "pcscd")
        if reader is not None:
            reader.stop()
        if log is not None:
            log.seek(0)
            text = log.read()
            log.close()
            if failures:
                print("---- pcscd log ----\n" + text[-6000:])
            else:
                handler = [l for l in text.splitlines() if "lmscr" in l]
                print("pcscd log, the handler's lines:\n" + "\n".join(handler[-20:]))
        shutil.rmtree(workdir, ignore_errors=True)
    if failures:
        print("%d failed: %s" % (len(failures), "; ".join(failures)))
        sys.exit(1)
    print("all passed")


if __name__ == "__main__":
    main()
