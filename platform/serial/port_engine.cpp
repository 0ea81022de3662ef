// The port's request engine: the read, write and wait queues, their time-outs, the deferred
// completions, cancellation, and the calls its back end makes (bytes received, the next byte to
// send, the transmitter empty, DSR). How the queues behave is told in port_state.h.
#include <algorithm>
#include <optional>

#include "port_state.h"

namespace lmscr::serial {
namespace internal {

bool DrawForcePending(Port* port) {
    if (!port->options.forcePending || port->options.forcePendingOneIn == 0) return false;
    uint64_t z = (port->rng += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    if (z % port->options.forcePendingOneIn != 0) return false;
    port->counters.forcedPending++;
    return true;
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Both locks held. The request is no longer in any queue of the port.
void DeferLocked(Port* port, PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    port->deferred.push_back(irp);
    if (!port->servicing) KeInsertQueueDpc(&port->serviceDpc, nullptr, nullptr);
}

// A request that could be answered now: answered, or (force-pending) pended and answered by
// the DPC. Called with no lock held.
NTSTATUS Finish(Port* port, PIRP irp, NTSTATUS status, ULONG_PTR information) {
    {
        PortLock guard(port);
        if (DrawForcePending(port)) {
            IoMarkIrpPending(irp);
            DeferLocked(port, irp, status, information);
            return STATUS_PENDING;
        }
    }
    return CompleteNow(irp, status, information);
}

// Takes a queued request back from its cancel routine. Both locks held, so the routine has not
// been called: a request still in a queue has not been given to IoCancelIrp's routine.
void ClaimLocked(PIRP irp) {
    PDRIVER_CANCEL previous = IoSetCancelRoutine(irp, nullptr);
    (void)previous;
}

void ArmTimerLocked(Port* port) {
    std::optional<uint64_t> next;
    auto consider = [&next](uint64_t t) {
        if (!next || t < *next) next = t;
    };
    if (port->readStarted) {
        if (port->readTotalDeadlineNs) consider(port->readTotalDeadlineNs);
        if (port->readIntervalNs && Transferred(port->reads.front()) > 0)
            consider(port->readLastByteNs + port->readIntervalNs);
    }
    if (port->writeStarted && port->writeDeadlineNs) consider(port->writeDeadlineNs);
    // A late request's time may be the very instant the clock started (lateMs 0 at time 0).
    for (const Port::Held& h : port->held)
        if (!h.forever) consider(h.dueNs);
    if (!next || !port->timerLive) {
        if (port->timerSet) port->kernel->CancelAt(port->timerId);
        port->timerSet = false;
        return;
    }
    const uint64_t now = NowNs();
    auto fire = [port] {
        if (port->timerLive) KeInsertQueueDpc(&port->timerDpc, nullptr, nullptr);
    };
    const uint64_t delay = *next > now ? *next - now : 0;
    port->timerId = port->timerSet ? port->kernel->ReAt(port->timerId, delay, fire)
                                   : port->kernel->At(delay, fire);
    port->timerSet = true;
}

void StartReadLocked(Port* port, PIRP irp, uint64_t now) {
    const SERIAL_TIMEOUTS& t = port->timeouts;
    const uint64_t length = LengthOf(irp);
    port->readStarted = true;
    port->readTotalDeadlineNs = 0;
    port->readIntervalNs = 0;
    port->readMode = Port::ReadMode::Normal;
    if (t.ReadIntervalTimeout == kMaxUlong && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        port->readMode = Port::ReadMode::Immediate;
        return;
    }
    if (t.ReadIntervalTimeout == kMaxUlong && t.ReadTotalTimeoutMultiplier == kMaxUlong &&
        t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kMaxUlong) {
        port->readMode = Port::ReadMode::AnyByte;
        port->readTotalDeadlineNs = now + uint64_t{t.ReadTotalTimeoutConstant} * kNsPerMs;
        return;
    }
    if (t.ReadTotalTimeoutMultiplier || t.ReadTotalTimeoutConstant) {
        // 64-bit: multiplier x length can exceed 32 bits, and a wrapped product would end a
        // read long before its time.
        const uint64_t totalMs = uint64_t{t.ReadTotalTimeoutMultiplier} * length + t.ReadTotalTimeoutConstant;
        port->readTotalDeadlineNs = now + totalMs * kNsPerMs;
    }
    if (t.ReadIntervalTimeout && t.ReadIntervalTimeout != kMaxUlong)
        port->readIntervalNs = uint64_t{t.ReadIntervalTimeout} * kNsPerMs;
}

// Moves input into the current read; true when the read is done, with its status.
bool FeedReadLocked(Port* port, PIRP irp, uint64_t now, NTSTATUS* status) {
    const ULONG_PTR length = LengthOf(irp);
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    ULONG_PTR& done = Transferred(irp);
    bool took = false;
    while (done < length && !port->rx.empty()) {
        buffer[done++] = port->rx.front();
        port->rx.pop_front();
        took = true;
    }
    if (took) port->readLastByteNs = now;
    *status = STATUS_SUCCESS;
    if (done == length) return true;
    if (port->readMode == Port::ReadMode::Immediate) return true;
    if (port->readMode == Port::ReadMode::AnyByte && done > 0) return true;
    *status = STATUS_TIMEOUT;
    if (port->readTotalDeadlineNs && now >= port->readTotalDeadlineNs) return true;
    if (port->readIntervalNs && done > 0 && now >= port->readLastByteNs + port->readIntervalNs) return true;
    return false;
}

void StartWriteLocked(Port* port, uint64_t now) {
    port->writeStarted = false;
    port->writeDeadlineNs = 0;
    if (port->writes.empty()) return;
    PIRP irp = port->writes.front();
    const SERIAL_TIMEOUTS& t = port->timeouts;
    port->writeStarted = true;
    if (t.WriteTotalTimeoutMultiplier || t.WriteTotalTimeoutConstant) {
        const uint64_t totalMs =
            uint64_t{t.WriteTotalTimeoutMultiplier} * LengthOf(irp) + t.WriteTotalTimeoutConstant;
        port->writeDeadlineNs = now + totalMs * kNsPerMs;
    }
}

void EventLocked(Port* port, ULONG events) {
    port->history |= events & port->waitMask;
}

namespace {

// Both locks held: completes what is due now and re-arms the timer.
void ServiceLocked(Port* port) {
    if (port->dying) return;
    const uint64_t now = NowNs();
    // Reads: each pass either completes the current read or stops; the queue bounds the loop.
    for (size_t pass = 0, n = port->reads.size(); pass < n; ++pass) {
        PIRP irp = port->reads.front();
        if (!port->readStarted) StartReadLocked(port, irp, now);
        NTSTATUS status;
        if (!FeedReadLocked(port, irp, now, &status)) break;
        port->reads.pop_front();
        port->readStarted = false;
        ClaimLocked(irp);
        DeferLocked(port, irp, status, Transferred(irp));
    }
    if (port->writeStarted && port->writeDeadlineNs && now >= port->writeDeadlineNs) {
        PIRP irp = port->writes.front();
        port->writes.pop_front();
        ClaimLocked(irp);
        DeferLocked(port, irp, STATUS_TIMEOUT, Transferred(irp));
        StartWriteLocked(port, now);
    }
    if (port->wait && (port->history & port->waitMask)) {
        PIRP irp = port->wait;
        port->wait = nullptr;
        ClaimLocked(irp);
        *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = port->history & port->waitMask;
        port->history = 0;
        DeferLocked(port, irp, STATUS_SUCCESS, sizeof(ULONG));
    }
    ArmTimerLocked(port);
}

// Late requests whose time has come, out of the held queue and back from their cancel routine.
// Both locks held.
void TakeDueLocked(Port* port, uint64_t now, std::vector<PIRP>* due) {
    for (auto it = port->held.begin(); it != port->held.end();) {
        if (!it->forever && it->dueNs <= now) {
            ClaimLocked(it->irp);
            due->push_back(it->irp);
            it = port->held.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

void NTAPI ServiceDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<Port*>(context);
    // The DPC does not run twice at once, so `completing` is its alone while it runs; requests
    // deferred meanwhile go to `deferred` and bring the DPC back.
    std::vector<PIRP> done = std::move(port->completing);
    std::vector<PIRP> due;
    {
        PortLock guard(port);
        if (port->dying) return;
        TakeDueLocked(port, NowNs(), &due);
        port->servicing = true;
        ServiceLocked(port);
        port->servicing = false;
        done.swap(port->deferred);
    }
    for (PIRP irp : done) IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    done.clear();
    port->completing = std::move(done);
    // Served as if they arrived now; they were marked pending when they were held, so whatever
    // the routine returns goes nowhere.
    for (PIRP irp : due) (void)Serve(port->device, irp);
}

namespace {

void NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    KeAcquireSpinLockAtDpcLevel(&port->lock);
    ULONG_PTR information = 0;
    bool wasCurrentRead = !port->reads.empty() && port->reads.front() == irp;
    bool wasCurrentWrite = !port->writes.empty() && port->writes.front() == irp;
    if (auto it = std::find(port->reads.begin(), port->reads.end(), irp); it != port->reads.end()) {
        information = Transferred(irp);
        port->reads.erase(it);
        if (wasCurrentRead) port->readStarted = false;
    } else if (auto w = std::find(port->writes.begin(), port->writes.end(), irp); w != port->writes.end()) {
        information = Transferred(irp);
        port->writes.erase(w);
        if (wasCurrentWrite) StartWriteLocked(port, NowNs());
    } else if (port->wait == irp) {
        port->wait = nullptr;
    } else if (auto h = std::find_if(port->held.begin(), port->held.end(),
                                     [irp](const Port::Held& x) { return x.irp == irp; });
               h != port->held.end()) {
        port->held.erase(h);
    }
    // The next read's time-outs start now; the DPC starts them and re-arms the timer.
    if (!port->dying) KeInsertQueueDpc(&port->serviceDpc, nullptr, nullptr);
    KeReleaseSpinLockFromDpcLevel(&port->lock);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteNow(irp, STATUS_CANCELLED, information);
}

}  // namespace

bool QueueLocked(Port* port, PIRP irp) {
    (void)port;
    if (irp->Cancel) return false;
    IoSetCancelRoutine(irp, CancelRoutine);
    IoMarkIrpPending(irp);
    return true;
}

void AbortLocked(Port* port, bool reads, bool writes, bool wait, bool held, NTSTATUS status) {
    if (reads) {
        for (PIRP irp : port->reads) {
            ClaimLocked(irp);
            DeferLocked(port, irp, status, Transferred(irp));
        }
        port->reads.clear();
        port->readStarted = false;
    }
    if (writes) {
        for (PIRP irp : port->writes) {
            ClaimLocked(irp);
            DeferLocked(port, irp, status, Transferred(irp));
        }
        port->writes.clear();
        port->writeStarted = false;
    }
    if (wait && port->wait) {
        ClaimLocked(port->wait);
        DeferLocked(port, port->wait, status, 0);
        port->wait = nullptr;
    }
    if (held) {
        for (const Port::Held& h : port->held) {
            ClaimLocked(h.irp);
            DeferLocked(port, h.irp, status, 0);
        }
        port->held.clear();
    }
}

}  // namespace internal

// ---- called by back ends ----------------------------------------------------------------

using namespace internal;

void PortReceive(Port* port, const uint8_t* bytes, const uint32_t* errors, size_t count) {
    KIRQL irql;
    KeAcquireSpinLock(&port->lock, &irql);
    bool any = false;
    for (size_t i = 0; i < count; ++i) {
        // A closed port's receiver is off; a full queue loses what it cannot hold.
        if (port->opens == 0 || port->dying) {
            port->counters.bytesDropped++;
            continue;
        }
        ULONG events = SERIAL_EV_RXCHAR;
        if (errors && errors[i]) {
            port->errors |= errors[i];
            events |= SERIAL_EV_ERR;
            if (errors[i] & SERIAL_ERROR_FRAMING) port->counters.framingErrors++;
            if (errors[i] & SERIAL_ERROR_PARITY) {
                port->counters.parityErrors++;
                events |= SERIAL_EV_PERR;
            }
        }
        if (port->rx.size() >= port->options.rxQueueBytes) {
            port->errors |= SERIAL_ERROR_QUEUEOVERRUN;
            port->counters.bytesDropped++;
            EventLocked(port, SERIAL_EV_ERR);
            continue;
        }
        port->rx.push_back(bytes[i]);
        port->counters.bytesReceived++;
        if (bytes[i] == port->chars.EventChar) events |= SERIAL_EV_RXFLAG;
        if (port->rx.size() == port->options.rxQueueBytes * 8 / 10) events |= SERIAL_EV_RX80FULL;
        EventLocked(port, events);
        any = true;
    }
    if (any || port->history) KeInsertQueueDpc(&port->serviceDpc, nullptr, nullptr);
    KeReleaseSpinLock(&port->lock, irql);
}

namespace {

// Under the port lock: the next byte to send into *byte, false when no write has one left.
bool TakeTxByteLocked(Port* port, uint8_t* byte) {
    if (port->dying || port->writes.empty()) return false;
    PIRP irp = port->writes.front();
    ULONG_PTR& sent = Transferred(irp);
    *byte = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer)[sent++];
    port->counters.bytesSent++;
    if (sent == LengthOf(irp)) {
        // The last byte is in the transmitter: the write is done, as a UART driver finishes a
        // write when the hardware has taken its last byte.
        port->writes.pop_front();
        ClaimLocked(irp);
        DeferLocked(port, irp, STATUS_SUCCESS, sent);
        StartWriteLocked(port, NowNs());
        ArmTimerLocked(port);
    }
    return true;
}

}  // namespace

bool PortTakeTxByte(Port* port, uint8_t* byte) {
    PortLock guard(port);
    return TakeTxByteLocked(port, byte);
}

size_t PortTakeTxBytes(Port* port, uint8_t* bytes, size_t max) {
    PortLock guard(port);
    size_t n = 0;
    while (n < max && TakeTxByteLocked(port, bytes + n)) ++n;
    return n;
}

void PortTransmitterEmpty(Port* port) {
    PortLock guard(port);
    if (port->dying) return;
    EventLocked(port, SERIAL_EV_TXEMPTY);
    if (port->history) KeInsertQueueDpc(&port->serviceDpc, nullptr, nullptr);
}

void PortSetDsr(Port* port, bool on) {
    PortLock guard(port);
    if (port->dying || port->dsr == on) return;
    port->dsr = on;
    EventLocked(port, SERIAL_EV_DSR);
    if (port->history) KeInsertQueueDpc(&port->serviceDpc, nullptr, nullptr);
}

}  // namespace lmscr::serial
