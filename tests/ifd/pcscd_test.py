#!/usr/bin/env python3
"""The handler behind Debian's pcscd: a private pcscd on a reader.conf.d of its own, the simulated
reader of `lmscr reader --link` on a pseudo-terminal, and the clients people use: pcsc_scan,
opensc-tool, pyscard.

The reader.conf.d names two readers: the simulated one, and a pseudo-terminal with nothing behind
it (a reader that never answers), which pcscd must give up without holding up the other. At the
end the simulated reader is unplugged (its pseudo-terminal closed) and pcscd must report it gone
and still answer.

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
import threading
import time

SOCKET = "/run/pcscd/pcscd.comm"
READER_NAME = "lmscr test reader"
SILENT_NAME = "lmscr silent reader"
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
    """Stops a process of ours by its id: SIGTERM, then SIGKILL if it does not go. The time it
    took, or None when it had to be killed."""
    if process is None or process.poll() is not None:
        return 0.0
    start = time.monotonic()
    os.kill(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout=10)
        return time.monotonic() - start
    except subprocess.TimeoutExpired:
        print("%s (pid %d) ignored SIGTERM; killing it" % (name, process.pid), flush=True)
        os.kill(process.pid, signal.SIGKILL)
        process.wait()
        return None


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


def wait_for(predicate, bound=BOUND_S):
    end = time.monotonic() + bound
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


class Reader:
    """`lmscr reader --link PATH --no-card`: card moves and the unplug on its standard input; its
    report lines (card power, resets) collected as they come."""

    def __init__(self, program, link):
        self.link = link
        self.lines = []
        self.lock = threading.Lock()
        self.p = subprocess.Popen([program, "reader", "--link", link, "--no-card"], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.thread = threading.Thread(target=self._collect, daemon=True)
        self.thread.start()

    def _collect(self):
        for line in self.p.stdout:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def seen(self):
        with self.lock:
            return len(self.lines)

    def says(self, text, since=0, bound=BOUND_S):
        """True once a line from `since` on holds `text`."""
        def found():
            with self.lock:
                return any(text in l for l in self.lines[since:])
        return wait_for(found, bound)

    def command(self, line, answer):
        since = self.seen()
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()
        return self.says(answer, since)

    def stop(self):
        if self.p.poll() is None:
            try:
                self.p.stdin.write("quit\n")
                self.p.stdin.flush()
                self.p.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                stop(self.p, "lmscr reader")
        self.thread.join(timeout=5)


def reader_named(name):
    from smartcard.System import readers
    try:
        return next((r for r in readers() if str(r).startswith(name)), None)
    except Exception:
        return None


def reader_state(name):
    """The reader's event state as SCardGetStatusChange gives it, None when pcscd lists no such
    reader."""
    from smartcard.scard import (SCardEstablishContext, SCardGetStatusChange, SCardReleaseContext,
                                 SCARD_SCOPE_USER, SCARD_STATE_UNAWARE)
    _, context = SCardEstablishContext(SCARD_SCOPE_USER)
    try:
        r = reader_named(name)
        if r is None:
            return None
        _, states = SCardGetStatusChange(context, 0, [(str(r), SCARD_STATE_UNAWARE)])
        return states[0][1]
    finally:
        SCardReleaseContext(context)


def card_state_is(present):
    from smartcard.scard import SCARD_STATE_PRESENT
    state = reader_state(READER_NAME)
    return state is not None and bool(state & SCARD_STATE_PRESENT) == present


def pyscard_session(protocol_name, expect_atr):
    from smartcard.CardConnection import CardConnection
    protocol = CardConnection.T1_protocol if protocol_name == "T=1" else CardConnection.T0_protocol
    connection = reader_named(READER_NAME).createConnection()
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


class Events:
    """pyscard's card monitor: the insertions and removals it reports, ATR by ATR."""

    def __init__(self):
        from smartcard.CardMonitoring import CardMonitor, CardObserver
        events = self

        class Observer(CardObserver):
            def update(self, observable, actions):
                added, removed = actions
                with events.lock:
                    events.seen += [("in", c) for c in added if str(c.reader).startswith(READER_NAME)]
                    events.seen += [("out", c) for c in removed if str(c.reader).startswith(READER_NAME)]

        self.lock = threading.Lock()
        self.seen = []
        self.monitor = CardMonitor()
        self.observer = Observer()
        self.monitor.addObserver(self.observer)

    def has(self, kind, atr):
        with self.lock:
            return any(k == kind and list(c.atr) == list(atr) for k, c in self.seen)

    def close(self):
        self.monitor.deleteObserver(self.observer)


def dispositions(reader, atr):
    """SCardDisconnect with each disposition, and what reached the card: pcscd leaves a card
    alone, resets it warm, or powers it down; the next connection finds it answering."""
    from smartcard.scard import (SCardConnect, SCardDisconnect, SCardEstablishContext, SCardReleaseContext,
                                 SCardStatus, SCardTransmit, SCARD_EJECT_CARD, SCARD_LEAVE_CARD,
                                 SCARD_PCI_T1, SCARD_PROTOCOL_T1, SCARD_RESET_CARD, SCARD_S_SUCCESS,
                                 SCARD_SCOPE_USER, SCARD_SHARE_SHARED, SCARD_UNPOWER_CARD)
    _, context = SCardEstablishContext(SCARD_SCOPE_USER)
    name = str(reader_named(READER_NAME))
    # pcscd has no eject of its own for a reader without one: it takes it as power-down.
    cases = [("SCARD_LEAVE_CARD", SCARD_LEAVE_CARD, None),
             ("SCARD_RESET_CARD", SCARD_RESET_CARD, "card reset by the host (warm)"),
             ("SCARD_UNPOWER_CARD", SCARD_UNPOWER_CARD, "card powered down"),
             ("SCARD_EJECT_CARD", SCARD_EJECT_CARD, "card powered down")]
    try:
        for label, disposition, effect in cases:
            rv, card, protocol = SCardConnect(context, name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1)
            if not check(rv == SCARD_S_SUCCESS, "%s: connected" % label):
                continue
            rv, answer = SCardTransmit(card, SCARD_PCI_T1, SELECT_MF)
            check(rv == SCARD_S_SUCCESS and answer[-2:] == [0x90, 0x00], "%s: SELECT MF answered 90 00" % label)
            since = reader.seen()
            rv = SCardDisconnect(card, disposition)
            check(rv == SCARD_S_SUCCESS, "%s: disconnected" % label)
            if effect is not None:
                check(reader.says(effect, since), "%s: the reader saw '%s'" % (label, effect))
            else:
                time.sleep(0.3)  # what the reader prints, it prints within 50 ms
                with reader.lock:
                    touched = [l for l in reader.lines[since:] if "card" in l]
                check(not touched, "%s: the card left as it was (reader said %s)" % (label, touched or "nothing"))
            rv, card, protocol = SCardConnect(context, name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1)
            if check(rv == SCARD_S_SUCCESS, "%s: connected again" % label):
                rv, _, _, _, card_atr = SCardStatus(card)
                check(rv == SCARD_S_SUCCESS and card_atr == atr, "%s: same ATR after" % label)
                SCardDisconnect(card, SCARD_LEAVE_CARD)
    finally:
        SCardReleaseContext(context)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--handler", required=True)
    parser.add_argument("--lmscr", required=True, help="the lmscr program, for `lmscr reader`")
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
    events = None
    silent_master = silent_slave = None
    try:
        link = os.path.join(workdir, "reader")
        reader = Reader(args.lmscr, link)
        check(reader.says("linked at " + link), "lmscr reader linked at " + link)
        silent_master, silent_slave = os.openpty()
        silent = os.ttyname(silent_slave)
        confdir = os.path.join(workdir, "reader.conf.d")
        os.mkdir(confdir)
        handler = os.path.abspath(args.handler)
        with open(os.path.join(confdir, "lmscr"), "w") as conf:
            conf.write('FRIENDLYNAME "%s"\nDEVICENAME %s\nLIBPATH %s\nCHANNELID 0\n\n' % (SILENT_NAME, silent, handler))
            conf.write('FRIENDLYNAME "%s"\nDEVICENAME %s\nLIBPATH %s\nCHANNELID 0\n' % (READER_NAME, link, handler))
        log = open(os.path.join(workdir, "pcscd.log"), "w+")
        started = time.monotonic()
        pcscd = subprocess.Popen(["pcscd", "-f", "-c", confdir], stdout=log, stderr=subprocess.STDOUT)
        print("pcscd pid %d, reader.conf.d %s" % (pcscd.pid, confdir), flush=True)
        if not check(wait_for(lambda: reader_named(READER_NAME) is not None), "pcscd lists the reader"):
            return
        print("TIMING: pcscd listed the reader %.3f s after it started, behind the silent one"
              % (time.monotonic() - started), flush=True)
        check(reader_named(SILENT_NAME) is None, "pcscd gave the reader that never answers up")
        check(wait_for(lambda: card_state_is(False)), "no card reported at first")

        events = Events()
        check(reader.command("insert t1", "card 't1' in"), "t1 card inserted")
        check(wait_for(lambda: card_state_is(True)), "pcscd sees the card")
        t1_atr = None
        rc, out = run(["pcsc_scan", "-t", "3"], timeout=20)
        check(READER_NAME in out, "pcsc_scan lists the reader")
        atr_lines = [l for l in out.splitlines() if "ATR:" in l]
        check(bool(atr_lines), "pcsc_scan prints an ATR")
        if atr_lines:
            t1_atr = toBytes(atr_lines[0].split("ATR:", 1)[1].strip())
        check(wait_for(lambda: events.has("in", t1_atr)), "pyscard's card monitor saw the t1 card go in")

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
        dispositions(reader, t1_atr)

        check(reader.command("remove", "card out"), "t1 card removed")
        check(wait_for(lambda: card_state_is(False)), "pcscd sees the card go")
        check(wait_for(lambda: events.has("out", t1_atr)), "pyscard's card monitor saw the t1 card go out")
        check(reader.command("insert t0", "card 't0' in"), "t0 card inserted")
        check(wait_for(lambda: card_state_is(True)), "pcscd sees the t0 card")
        rc, out = run(["opensc-tool", "-a"])
        t0_atr = toBytes(out.strip().splitlines()[-1].replace(":", " ")) if rc == 0 else None
        check(wait_for(lambda: events.has("in", t0_atr)), "pyscard's card monitor saw the t0 card go in")
        connection = pyscard_session("T=0", t0_atr)
        connection.disconnect()
        connection = None
        events.close()
        events = None

        # The cable pulled: pcscd hears IFD_NO_SUCH_DEVICE and stops reporting a card.
        from smartcard.scard import SCARD_STATE_PRESENT, SCARD_STATE_UNKNOWN, SCARD_STATE_UNAVAILABLE
        check(reader.command("unplug", "unplugged"), "reader unplugged")
        gone = wait_for(lambda: (reader_state(READER_NAME) or SCARD_STATE_UNKNOWN) & SCARD_STATE_PRESENT == 0)
        state = reader_state(READER_NAME)
        check(gone, "pcscd reports the unplugged reader %s" % (
            "no longer listed" if state is None else "with state 0x%X" % state))
        check(state is None or bool(state & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE)) or
              not state & SCARD_STATE_PRESENT, "the unplugged reader has no card to offer")
        from smartcard.Exceptions import CardConnectionException, NoCardException
        if state is not None:
            try:
                reader_named(READER_NAME).createConnection().connect()
                check(False, "a connection to the unplugged reader is refused")
            except (CardConnectionException, NoCardException) as refused:
                check(True, "a connection to the unplugged reader is refused: %s" % str(refused).split("\n")[0])
        rc, out = run(["pcsc_scan", "-r"], timeout=20)
        check(rc == 0, "pcscd still answers (pcsc_scan -r)")
        # pcscd ends on SIGTERM with exit(), its channels still open and its threads still
        # calling in: the handler must not take the process down on the way out.
        took = stop(pcscd, "pcscd")
        check(took is not None and pcscd.returncode == 0, "pcscd stopped on SIGTERM after %s s, exit status %s"
              % ("%.3f" % took if took is not None else "-", pcscd.returncode))
    finally:
        # pyscard releases its context when the connection object goes: before pcscd does.
        if events is not None:
            events.close()
        connection = None
        events = None
        gc.collect()
        stop(pcscd, "pcscd")
        if reader is not None:
            reader.stop()
            print("lmscr reader said:\n  " + "\n  ".join(reader.lines), flush=True)
        for fd in (silent_master, silent_slave):
            if fd is not None:
                os.close(fd)
        if log is not None:
            log.seek(0)
            text = log.read()
            log.close()
            if failures:
                print("---- pcscd log ----\n" + text[-6000:])
            else:
                handler_lines = [l for l in text.splitlines() if "lmscr" in l]
                print("pcscd log, the handler's lines:\n" + "\n".join(handler_lines[-20:]))
        shutil.rmtree(workdir, ignore_errors=True)
    if failures:
        print("%d failed: %s" % (len(failures), "; ".join(failures)))
        sys.exit(1)
    print("all passed")


if __name__ == "__main__":
    main()
