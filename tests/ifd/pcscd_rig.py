"""What the tests through a private pcscd share: checks that count their failures, the skip when
pcscd is busy or missing (exit 77), stopping our own processes by their ids, bounded waits, and
`lmscr reader` behind a link with its report lines collected."""
import os
import signal
import socket
import subprocess
import sys
import threading
import time

# Debian's pcscd listens here whatever its environment says: one pcscd at a time.
SOCKET = "/run/pcscd/pcscd.comm"
BOUND_S = 30

failures = []


def check(condition, what):
    print(("ok    " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def finish():
    """Ends the run: exit 1 naming every failed check, 0 when none failed."""
    if failures:
        print("%d failed: %s" % (len(failures), "; ".join(failures)))
        sys.exit(1)
    print("all passed")


def skip(why):
    print("SKIPPED: " + why, flush=True)
    sys.exit(77)


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


def wait_for(predicate, bound=BOUND_S):
    end = time.monotonic() + bound
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


class Reader:
    """`lmscr reader --link PATH` (`--no-card`: an empty slot): card moves and the unplug on its
    standard input; its report lines (card power, resets) collected as they come."""

    def __init__(self, program, link, card=True):
        self.link = link
        self.lines = []
        self.lock = threading.Lock()
        self.p = subprocess.Popen([program, "reader", "--link", link] + ([] if card else ["--no-card"]),
                                  stdin=subprocess.PIPE,
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

    def send(self, line):
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()

    def command(self, line, answer):
        since = self.seen()
        self.send(line)
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
