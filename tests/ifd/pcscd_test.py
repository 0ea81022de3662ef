#!/usr/bin/env python3
"""The handler behind Debian's pcscd: a private pcscd on a reader.conf.d of its own, the simulated
reader of `lmscr reader --link` on a pseudo-terminal, and the clients people use: pcsc_scan,
opensc-tool, opensc-explorer, pyscard.

The reader.conf.d names two readers: the simulated one, and a pseudo-terminal with nothing behind
it (a reader that never answers), which pcscd must give up without holding up the other. Cards
are swapped behind a held connection and a card is powered down by the driver; at the end the
simulated reader is unplugged (its pseudo-terminal closed) in the middle of a command: the
command fails, and pcscd must report the reader gone and still answer.

Debian's pcscd listens on /run/pcscd/pcscd.comm whatever its environment says, so one runs at a
time: with another pcscd answering there, the test is skipped (exit 77). Every process started
here is stopped by its process id at the end, also on failure.
"""
import argparse
import gc
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from pcscd_rig import BOUND_S, SOCKET, Reader, check, failures, finish, skip, socket_in_use, stop, wait_for

READER_NAME = "lmscr test reader"
SILENT_NAME = "lmscr silent reader"
SELECT_MF = [0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00]
ATR_OF = {name: [int(b, 16) for b in atr.split()] for name, atr in (
    ("t0", "3B 14 13 4C 4D 30 30"), ("t1", "3B 94 13 81 31 20 45 4C 4D 31 30 52"))}
# SCardStatus's card states, which pyscard does not name.
SCARD_POWERED, SCARD_SPECIFIC = 0x10, 0x40

def hexs(data):
    return " ".join("%02X" % b for b in data)


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


def code_name(rv):
    from smartcard import scard as sc
    names = {v & 0xFFFFFFFF: k for k, v in vars(sc).items()
             if k.startswith(("SCARD_S_", "SCARD_E_", "SCARD_W_", "SCARD_F_")) and isinstance(v, int)}
    return names.get(rv & 0xFFFFFFFF, "0x%X" % (rv & 0xFFFFFFFF)) if rv is not None else "no answer"


def ms(seconds):
    return "%.0f ms" % (seconds * 1000) if seconds is not None else "never"


def status_changes(name, until, seen, bound=5):
    """Appends to `seen` each state SCardGetStatusChange gives of reader `name`, timed as it comes (no
    poll's delay: pcscd wakes us), up to the first for which until(state, atr) holds or `bound` s."""
    from smartcard import scard as sc
    end = time.monotonic() + bound
    _, context = sc.SCardEstablishContext(sc.SCARD_SCOPE_USER)
    try:
        known = sc.SCARD_STATE_UNAWARE
        while time.monotonic() < end:
            rv, states = sc.SCardGetStatusChange(context, max(int((end - time.monotonic()) * 1000), 0), [(name, known)])
            if rv == sc.SCARD_S_SUCCESS:
                known = states[0][1] & ~sc.SCARD_STATE_CHANGED
                seen.append((time.monotonic(), known, list(states[0][2])))
                if until(known, seen[-1][2]):
                    return
            elif rv != sc.SCARD_E_TIMEOUT:
                time.sleep(0.05)
    finally:
        sc.SCardReleaseContext(context)


def select_mf(card, protocol):
    """SELECT MF on a handle, with GET RESPONSE after T=0's 61 xx: the code and the status word."""
    from smartcard import scard as sc
    pci = sc.SCARD_PCI_T0 if protocol == sc.SCARD_PROTOCOL_T0 else sc.SCARD_PCI_T1
    rv, answer = sc.SCardTransmit(card, pci, SELECT_MF)
    if rv == sc.SCARD_S_SUCCESS and protocol == sc.SCARD_PROTOCOL_T0 and answer[-2:-1] == [0x61]:
        rv, answer = sc.SCardTransmit(card, pci, [0x00, 0xC0, 0x00, 0x00, answer[-1]])
    return rv, list(answer[-2:]) if rv == sc.SCARD_S_SUCCESS else []


def new_session(context, name):
    """A new connection, T=0 or T=1: its handle (None when refused) and protocol, the ATR SCardStatus
    gives and SELECT MF's status word."""
    from smartcard import scard as sc
    rv, card, protocol = sc.SCardConnect(context, name, sc.SCARD_SHARE_SHARED,
                                         sc.SCARD_PROTOCOL_T0 | sc.SCARD_PROTOCOL_T1)
    if rv != sc.SCARD_S_SUCCESS:
        return None, None, [], []
    return card, protocol, list(sc.SCardStatus(card)[4]), select_mf(card, protocol)[1]


def power_down_recovery(context, name):
    """The T=0 card waits for data that never comes (Lc 2, no data): the exchange times out and the
    driver powers the card down. pcscd must learn it, and a new connection find the card answering."""
    from smartcard import scard as sc
    card, _, _, sw = new_session(context, name)
    if not check(sw == [0x90, 0x00], "power-down: the t0 card answered SELECT MF"):
        return
    start = time.monotonic()
    rv, _ = sc.SCardTransmit(card, sc.SCARD_PCI_T0, [0x00, 0xA4, 0x00, 0x0C, 0x02])
    failed = time.monotonic()
    check(rv == sc.SCARD_E_NOT_TRANSACTED, "power-down: the command without its data: %s" % code_name(rv))
    # Until pcscd's event thread has looked, the handler refuses the card itself: no card.
    rv, _ = select_mf(card, sc.SCARD_PROTOCOL_T0)
    check(rv in (sc.SCARD_W_REMOVED_CARD, sc.SCARD_E_NO_SMARTCARD), "power-down: the next transmit: %s" % code_name(rv))
    rv, _, state, _, atr = sc.SCardStatus(card)
    check(rv != sc.SCARD_S_SUCCESS or not state & (SCARD_POWERED | SCARD_SPECIFIC),
          "power-down: SCardStatus claims no powered card: %s, state 0x%X, ATR %s" % (code_name(rv), state, hexs(atr)))

    def answers():
        new, _, _, sw = new_session(context, name)
        if new is not None:
            sc.SCardDisconnect(new, sc.SCARD_LEAVE_CARD)
        return sw == [0x90, 0x00]
    recovered = wait_for(answers, bound=5)
    took = time.monotonic() - failed
    print("TIMING: power-down: the command failed after %.3f s; a new connection had 90 00 %.3f s later"
          % (failed - start, took), flush=True)
    check(recovered and took < 2.0, "power-down: a new connection's SELECT MF answered 90 00 within 2 s")
    rv, _ = select_mf(card, sc.SCARD_PROTOCOL_T0)
    check(rv == sc.SCARD_W_REMOVED_CARD, "power-down: the old handle after that: %s" % code_name(rv))
    sc.SCardDisconnect(card, sc.SCARD_LEAVE_CARD)


def swaps(reader, context, name):
    """Cards swapped behind a held connection: pcscd must show a removal, then the new card, however
    short the gap, and at once; the new ATR comes after the card's cold reset (some 240 ms)."""
    from smartcard import scard as sc
    held, protocol, _, _ = new_session(context, name)
    for gap, current, other in ((0.02, "t0", "t1"), (0.1, "t1", "t0"), (0.3, "t0", "t1")):
        label = "swap %s -> %s in %d ms" % (current, other, gap * 1000)
        if not check(held is not None, "%s: a connection to the %s card held" % (label, current)):
            return
        seen = []
        watch = threading.Thread(target=status_changes, args=(name, lambda s, atr: atr == ATR_OF[other], seen))
        watch.start()
        wait_for(lambda: seen)
        removed = time.monotonic()
        reader.send("remove")
        time.sleep(gap)
        inserted = time.monotonic()
        reader.send("insert " + other)
        watch.join(BOUND_S)
        out = next((t - removed for t, state, _ in seen if not state & sc.SCARD_STATE_PRESENT), None)
        came = seen[-1][0] - inserted if seen and seen[-1][2] == ATR_OF[other] else None
        print("TIMING: %s: pcscd showed the removal %s after the remove line, the new ATR %s after the insert"
              % (label, ms(out), ms(came)), flush=True)
        check(out is not None and came is not None and came < 1.0,
              "%s: pcscd showed the removal, then the new ATR within 1 s" % label)
        rv, _ = select_mf(held, protocol)
        check(rv in (sc.SCARD_W_REMOVED_CARD, sc.SCARD_W_RESET_CARD),
              "%s: the held connection's next transmit: %s" % (label, code_name(rv)))
        sc.SCardDisconnect(held, sc.SCARD_LEAVE_CARD)
        held, protocol, atr, sw = new_session(context, name)
        check(atr == ATR_OF[other] and sw == [0x90, 0x00], "%s: a new connection has ATR %s, SELECT MF %s"
              % (label, hexs(atr), hexs(sw)))
    if held is not None:
        sc.SCardDisconnect(held, sc.SCARD_LEAVE_CARD)


def unplug_mid_transmit(reader, context, name):
    """The cable pulled while the slow card works on a command: the handler ends the command about
    0.1 s later and pcscd stops listing a card at once (the handler reports the card gone first);
    the application hears SCARD_E_READER_UNAVAILABLE a second later, as pcscd sleeps a second after
    every IFD_NO_SUCH_DEVICE (its hot-plug signal) before it answers: hence 1.5 s for that."""
    from smartcard import scard as sc
    rv, card, _ = sc.SCardConnect(context, name, sc.SCARD_SHARE_SHARED, sc.SCARD_PROTOCOL_T1)
    check(rv == sc.SCARD_S_SUCCESS, "unplug: connected to the t1-slow card")
    outcome = []
    flight = threading.Thread(target=lambda: outcome.append(
        (sc.SCardTransmit(card, sc.SCARD_PCI_T1, SELECT_MF)[0], time.monotonic())))
    flight.start()
    time.sleep(0.2)
    unplugged = time.monotonic()
    check(reader.command("unplug", "unplugged"), "reader unplugged mid-transmit")
    seen = []
    status_changes(name, lambda state, atr: not state & sc.SCARD_STATE_PRESENT, seen)
    flight.join(BOUND_S)
    rv, failed = (outcome[0][0], outcome[0][1] - unplugged) if outcome else (None, None)
    gone = seen[-1][0] - unplugged if seen and not seen[-1][1] & sc.SCARD_STATE_PRESENT else None
    print("TIMING: unplug: the transmit in flight failed %s after it, pcscd listed no card %s after it"
          % (ms(failed), ms(gone)), flush=True)
    check(rv == sc.SCARD_E_READER_UNAVAILABLE and 0 < failed < 1.5,
          "unplug: the transmit in flight failed within 1.5 s: %s" % code_name(rv))
    check(gone is not None and gone < 1.0, "unplug: pcscd listed no card within 1 s")
    sc.SCardDisconnect(card, sc.SCARD_LEAVE_CARD)


def initial_content(fid):
    """The bytes the card's files hold when it comes in, as CardApplication::InitialContent makes
    them: a function of the identifier. EF 6F03's four records of 10 bytes one after the other."""
    size = {0x2F00: 16, 0x6F01: 512, 0x6F02: 32, 0x6F03: 40}[fid]
    return [((fid >> 8) ^ (fid & 0xFF) ^ (i * 7 + (i >> 8))) & 0xFF for i in range(size)]


def explorer(workdir, name, commands, driver=None):
    """Runs opensc-explorer on a script of `commands`: the exit status, and what each command
    printed (its output cut at an `echo == N` line put before command N)."""
    script = os.path.join(workdir, name)
    with open(script, "w") as f:
        f.write("".join("echo == %d\n%s\n" % (n, c) for n, c in enumerate(commands)))
    rc, out = run(["opensc-explorer"] + (["-c", driver] if driver else []) + [script])
    printed = [[] for _ in commands]
    current = None
    for line in out.splitlines():
        m = re.match(r"^== (\d+)\s*$", line)
        if m and int(m.group(1)) < len(commands):
            current = printed[int(m.group(1))]
        elif current is not None:
            current.append(line)
    return rc, printed


def listing(lines):
    """`ls`: (identifier, type, size) a file, a DF's identifier in brackets."""
    found = (re.match(r"^\s*\[?([0-9A-F]{4})\]?\s+(DF|wEF|iEF)\s+(\d+)", l) for l in lines)
    return sorted((m.group(1), m.group(2), int(m.group(3))) for m in found if m)


def dumps(lines):
    """`cat`: the bytes of each hex dump in `lines` (a record EF's, one a record). A dump line is
    the offset, N bytes as "XX " and their N characters, so 4 N long after the offset."""
    out = []
    for l in lines:
        m = re.match(r"^([0-9A-F]{8}): (.*)$", l)
        if not m or len(m.group(2)) % 4:
            continue
        if int(m.group(1), 16) == 0:
            out.append([])
        n = len(m.group(2)) // 4
        out[-1] += [int(b, 16) for b in m.group(2)[:3 * n].split()]
    return out


def explorer_walk(workdir):
    """opensc-explorer walks the card's files. OpenSC's driver for a card it does not know (ISO
    commands alone) has no `ls`: the listing is that of its tcos driver (80 AA, which the card
    answers), forced with -c; `cd` and `cat` select by path (P1 08). The driver OpenSC picks
    itself does `cd` and `cat` with its ISO SELECT as well."""
    long_ef, records = initial_content(0x6F01), initial_content(0x6F03)
    want_records = [records[i:i + 10] for i in range(0, 40, 10)]
    rc, (mf, cd, df, cat_long, cat_records) = explorer(
        workdir, "walk", ["ls", "cd 7F10", "ls", "cat 6F01", "cat 6F03"], driver="tcos")
    check(rc == 0, "opensc-explorer -c tcos: the walk ended with exit status %d" % rc)
    check(listing(mf) == [("2F00", "wEF", 16), ("7F10", "DF", 0)], "opensc-explorer ls in the MF: %s" % listing(mf))
    check(any(l.startswith("[7F10]") and "LMSCR" in l for l in mf), "opensc-explorer ls shows DF 7F10's name")
    check(listing(df) == [("6F01", "wEF", 512), ("6F02", "wEF", 32), ("6F03", "wEF", 40)] and not cd,
          "opensc-explorer cd 7F10 (silent), ls: %s" % listing(df))
    check(dumps(cat_long) == [long_ef], "opensc-explorer cat 6F01: the card's 512 bytes")
    check(dumps(cat_records) == want_records and
          [l for l in cat_records if l.startswith("Record")] == ["Record %d:" % n for n in range(1, 5)],
          "opensc-explorer cat 6F03: records 1 to 4, 10 bytes each")
    rc, (cd, cat_long, cat_records) = explorer(workdir, "walk-default", ["cd 7F10", "cat 6F01", "cat 6F03"])
    check(rc == 0 and not cd and dumps(cat_long) == [long_ef] and dumps(cat_records) == want_records,
          "opensc-explorer with the driver OpenSC picks: cd 7F10, cat 6F01 and 6F03 (exit status %d)" % rc)


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


def cpu_seconds(pid):
    """User and system time a process of ours has used so far, from /proc."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


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

    for program in ("pcscd", "pcsc_scan", "opensc-tool", "opensc-explorer"):
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
        reader = Reader(args.lmscr, link, card=False)
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
        explorer_walk(workdir)

        connection = pyscard_session("T=1", t1_atr)
        cpu_before = {pid: cpu_seconds(pid) for pid in (pcscd.pid, reader.p.pid)}
        median, low, high = median_transmit_ms(connection, args.transmits)
        cpu = {pid: (cpu_seconds(pid) - t) * 1000 / args.transmits for pid, t in cpu_before.items()}
        print("TIMING: SELECT MF through pcscd, T=1, %d transmits: median %.3f ms, min %.3f, max %.3f; "
              "CPU per transmit: pcscd with the handler %.3f ms, the simulated reader %.3f ms"
              % (args.transmits, median, low, high, cpu[pcscd.pid], cpu[reader.p.pid]), flush=True)
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

        from smartcard import scard as sc
        _, context = sc.SCardEstablishContext(sc.SCARD_SCOPE_USER)
        name = str(reader_named(READER_NAME))
        power_down_recovery(context, name)
        swaps(reader, context, name)
        check(reader.command("remove", "card out") and reader.command("insert t1-slow", "card 't1-slow' in"),
              "t1 card removed, t1-slow inserted")
        check(wait_for(lambda: card_state_is(True)), "pcscd sees the t1-slow card")
        unplug_mid_transmit(reader, context, name)
        sc.SCardReleaseContext(context)
        from smartcard.scard import SCARD_STATE_PRESENT, SCARD_STATE_UNKNOWN, SCARD_STATE_UNAVAILABLE
        state = reader_state(READER_NAME)
        check(state is None or not state & SCARD_STATE_PRESENT, "pcscd reports the unplugged reader %s" % (
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
            # `quit` ends it as any request answered does: 0 (a signal would show as negative).
            check(reader.p.returncode == 0, "lmscr reader ended on quit, exit status %s" % reader.p.returncode)
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
    finish()


if __name__ == "__main__":
    main()
