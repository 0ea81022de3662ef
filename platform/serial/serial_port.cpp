// The serial port driver: create, cleanup, close, read, write, the serial device-control
// requests, Plug and Play and power, for ports whose hardware is a back end (port.h).
//
// Requests and their queues:
//   reads    FIFO; the first is the current one and takes bytes from the input queue. Its
//            time-outs start when it becomes current: total = multiplier x length + constant
//            (either non-zero), interval = the longest gap allowed between two bytes once the
//            first has come. Either running out completes it with STATUS_TIMEOUT and the bytes
//            read so far. Interval MAXULONG with both totals 0 returns at once with what the
//            queue holds; interval and multiplier MAXULONG with a constant in between returns
//            as soon as any byte is there, or STATUS_TIMEOUT after the constant.
//   writes   FIFO; the back end pulls their bytes one at a time. A write is done when its last
//            byte has been taken by the transmitter; total time-out = multiplier x length +
//            constant, from when it becomes current.
//   wait     at most one WAIT_ON_MASK. Events of the wait mask that happen while no wait is
//            pending are kept (the history) and complete the next wait at once.
//   held     requests a planted fault (SerialFault) keeps: for ever, or until their time comes
//            and they are served as if they had just arrived. Every request passes the fault
//            rules first (DispatchEntry), and is counted there.
//
// Locks: the system cancel spin lock, then the port's own lock. Everything that takes a request
// off a queue holds both, so that a request found in a queue still has its cancel routine
// (IoCancelIrp calls the routine with the cancel lock held, and the routine takes the request
// out under the port lock). The receive path takes the port lock alone.
//
// Completions: a request that has pended is completed from the port's deferred procedure call,
// at DISPATCH_LEVEL, as the platform's serial driver does, or by its cancel routine. Requests
// that can be answered at once are completed in the dispatch routine, unless the force-pending
// option draws them for the deferred path (or, with completeD0AtDispatch, a device set-power D0).
//
// Power: a device D3 switches the port's hardware off through its back end (a simulated line's
// far end loses its supply with it), D0 switches it on again; the queues are left alone, and a
// driver that sends on a port in D3 finds nobody answering. D1, D2, system power and queries
// are recorded (PoSetPowerState) and completed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "port.h"

namespace lmscr::serial {

namespace {

constexpr ULONG kMaxUlong = 0xFFFFFFFFu;
constexpr uint64_t kNsPerMs = 1'000'000;
constexpr ULONG kValidEvents = 0x1FFF;  // SERIAL_EV_RXCHAR .. SERIAL_EV_EVENT2
constexpr ULONG kValidPurge =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
constexpr ULONG kMinBaud = 50;
constexpr ULONG kMaxBaud = 921600;

// Bytes of a read or write transferred so far: kept in the request's own information field, as
// the platform's serial driver does while a request is current.
ULONG_PTR& Transferred(PIRP irp) { return irp->IoStatus.Information; }

}  // namespace

struct Port {
    kernel::Kernel* kernel = nullptr;
    PDEVICE_OBJECT device = nullptr;
    std::string name;
    PortOptions options;
    uint64_t rng = 0;
    Backend* backend = nullptr;

    KSPIN_LOCK lock = 0;
    KDPC serviceDpc{};
    KDPC timerDpc{};
    // The time-out timer is a Kernel::At callback, to the nanosecond; one that was already
    // handed to the DPC thread when it was replaced runs anyway and finds nothing due.
    kernel::Kernel::TimerId timerId = 0;
    bool timerSet = false;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    bool started = false;
    bool dying = false;
    int opens = 0;
    bool powered = true;  // the hardware: off from a device D3 until the next D0

    // Settings, kept and returned by the GET requests.
    ULONG baud = 9600;
    SERIAL_LINE_CONTROL lineControl{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_CHARS chars{};
    SERIAL_TIMEOUTS timeouts{};
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
    bool breakOn = false;
    bool dtr = false;
    bool rts = false;
    bool dsr = false;
    ULONG waitMask = 0;
    ULONG history = 0;
    ULONG errors = 0;

    std::deque<uint8_t> rx;
    std::deque<PIRP> reads;
    bool readStarted = false;  // the current read's time-outs are running
    uint64_t readTotalDeadlineNs = 0;  // 0: none
    uint64_t readIntervalNs = 0;       // 0: none
    uint64_t readLastByteNs = 0;
    enum class ReadMode { Normal, Immediate, AnyByte } readMode = Port::ReadMode::Normal;

    std::deque<PIRP> writes;
    bool writeStarted = false;
    uint64_t writeDeadlineNs = 0;

    PIRP wait = nullptr;
    std::vector<PIRP> deferred;  // status and information set; completed by the DPC

    // Planted faults, in the order they were set, each with the matching requests it has seen.
    struct Rule {
        SerialFault fault;
        uint64_t seen = 0;
    };
    std::vector<Rule> rules;
    struct Held {
        PIRP irp;
        bool forever;
        uint64_t dueNs;  // CompleteLate: when it is served
    };
    std::deque<Held> held;
    uint64_t majorCounts[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    std::map<ULONG, uint64_t> ioctlCounts;

    PortCounters counters;
};

namespace {

Port* PortOf(PDEVICE_OBJECT device) { return *static_cast<Port**>(device->DeviceExtension); }

// The kernel's clock to the nanosecond (KeQueryInterruptTime has 100 ns steps, too coarse for
// deadlines that sit on character boundaries).
uint64_t NowNs() { return kernel::Kernel::Current()->NowNs(); }

// Both locks, in their order.
class PortLock {
public:
    explicit PortLock(Port* port) : port_(port) {
        IoAcquireCancelSpinLock(&irql_);
        KeAcquireSpinLockAtDpcLevel(&port_->lock);
    }
    ~PortLock() {
        KeReleaseSpinLockFromDpcLevel(&port_->lock);
        IoReleaseCancelSpinLock(irql_);
    }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

private:
    Port* port_;
    KIRQL irql_ = PASSIVE_LEVEL;
};

LineFormat FormatLocked(const Port* port) {
    return LineFormat{port->baud, port->lineControl.WordLength, port->lineControl.Parity,
                      port->lineControl.StopBits};
}

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
    KeInsertQueueDpc(&port->serviceDpc, nullptr, nullptr);
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

ULONG_PTR LengthOf(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    return sp->MajorFunction == IRP_MJ_READ ? sp->Parameters.Read.Length : sp->Parameters.Write.Length;
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
    if (port->timerSet) {
        port->kernel->CancelAt(port->timerId);
        port->timerSet = false;
    }
    if (!next) return;
    const uint64_t now = NowNs();
    port->timerSet = true;
    port->timerId = port->kernel->At(*next > now ? *next - now : 0, [port, alive = port->alive] {
        if (*alive) KeInsertQueueDpc(&port->timerDpc, nullptr, nullptr);
    });
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

NTSTATUS Serve(PDEVICE_OBJECT device, PIRP irp);

void ServiceDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<Port*>(context);
    std::vector<PIRP> done;
    std::vector<PIRP> due;
    {
        PortLock guard(port);
        if (port->dying) return;
        TakeDueLocked(port, NowNs(), &due);
        ServiceLocked(port);
        done.swap(port->deferred);
    }
    for (PIRP irp : done) IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    // Served as if they arrived now; they were marked pending when they were held, so whatever
    // the routine returns goes nowhere.
    for (PIRP irp : due) (void)Serve(port->device, irp);
}

void CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
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

// Gives a request its cancel routine and marks it pending, before the caller puts it into a
// queue; false when it was cancelled on its way in. Both locks held.
bool QueueLocked(Port* port, PIRP irp) {
    (void)port;
    if (irp->Cancel) return false;
    IoSetCancelRoutine(irp, CancelRoutine);
    IoMarkIrpPending(irp);
    return true;
}

// Every read, write, the wait and the held requests, as asked, ended with `status` through the
// DPC. Both locks held.
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

// ---- dispatch routines ------------------------------------------------------------------

NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    NTSTATUS status = STATUS_SUCCESS;
    {
        PortLock guard(port);
        if (!port->started || port->dying) {
            status = STATUS_NO_SUCH_DEVICE;
        } else if (port->opens > 0) {
            // A serial port is an exclusive device: one handle (one reader driver) at a time.
            status = STATUS_ACCESS_DENIED;
        } else {
            port->opens++;
            // A new owner starts with an empty input queue, no errors and no events: what came
            // before belongs to nobody.
            port->rx.clear();
            port->errors = 0;
            port->history = 0;
            port->waitMask = 0;
            port->dtr = port->rts = true;
        }
    }
    return CompleteNow(irp, status, 0);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    {
        PortLock guard(port);
        AbortLocked(port, true, true, true, true, STATUS_CANCELLED);
    }
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    {
        PortLock guard(port);
        if (port->opens > 0) port->opens--;
        if (port->opens == 0) {
            // The owner is gone: nothing it left with the port (a wait kept on an empty mask, a
            // held request) may outlive its handle.
            AbortLocked(port, true, true, true, true, STATUS_CANCELLED);
            port->waitMask = 0;
            port->history = 0;
            port->dtr = port->rts = false;
        }
    }
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    Transferred(irp) = 0;
    if (LengthOf(irp) == 0) return Finish(port, irp, STATUS_SUCCESS, 0);
    if (!irp->AssociatedIrp.SystemBuffer) return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    {
        PortLock guard(port);
        if (port->reads.empty()) {
            // The read becomes current at once; it may already be satisfied by the queue.
            StartReadLocked(port, irp, NowNs());
            NTSTATUS readStatus;
            if (FeedReadLocked(port, irp, NowNs(), &readStatus)) {
                port->readStarted = false;
                if (!DrawForcePending(port)) {
                    status = readStatus;
                    information = Transferred(irp);
                } else {
                    IoMarkIrpPending(irp);
                    DeferLocked(port, irp, readStatus, Transferred(irp));
                    return STATUS_PENDING;
                }
            } else {
                port->readStarted = false;
            }
        }
        if (status == STATUS_PENDING) {
            if (!QueueLocked(port, irp)) {
                status = STATUS_CANCELLED;
                information = Transferred(irp);
            } else {
                port->reads.push_back(irp);
                if (port->reads.size() == 1) {
                    StartReadLocked(port, irp, NowNs());
                    ArmTimerLocked(port);
                }
                return STATUS_PENDING;
            }
        }
    }
    return CompleteNow(irp, status, information);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    Transferred(irp) = 0;
    if (LengthOf(irp) == 0) return Finish(port, irp, STATUS_SUCCESS, 0);
    if (!irp->AssociatedIrp.SystemBuffer) return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
    bool cancelled = false;
    Backend* backend = nullptr;
    {
        PortLock guard(port);
        if (!QueueLocked(port, irp)) {
            cancelled = true;
        } else {
            port->writes.push_back(irp);
            if (port->writes.size() == 1) {
                StartWriteLocked(port, NowNs());
                ArmTimerLocked(port);
            }
            // Without hardware the bytes cannot leave; the write's time-out, if any, ends it.
            backend = port->backend;
        }
    }
    if (cancelled) return CompleteNow(irp, STATUS_CANCELLED, 0);
    if (backend) backend->OnTransmitReady();
    return STATUS_PENDING;
}

template <typename T>
bool InputAs(PIRP irp, T* out) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.DeviceIoControl.InputBufferLength < sizeof(T)) return false;
    std::memcpy(out, irp->AssociatedIrp.SystemBuffer, sizeof(T));
    return true;
}

template <typename T>
bool OutputFits(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(T);
}

bool ValidLineControl(const SERIAL_LINE_CONTROL& lc) {
    if (lc.WordLength < 5 || lc.WordLength > 8) return false;
    if (lc.Parity > SPACE_PARITY) return false;
    if (lc.StopBits > STOP_BITS_2) return false;
    // A UART sends 1.5 stop bits only with 5-bit characters, and 2 stop bits only with longer
    // ones; the other pairings do not exist on the wire.
    if (lc.StopBits == STOP_BITS_1_5 && lc.WordLength != 5) return false;
    if (lc.StopBits == STOP_BITS_2 && lc.WordLength == 5) return false;
    return true;
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    bool formatChanged = false;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;

    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        SERIAL_BAUD_RATE baud;
        if (!InputAs(irp, &baud)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        if (baud.BaudRate < kMinBaud || baud.BaudRate > kMaxBaud) { status = STATUS_INVALID_PARAMETER; break; }
        PortLock guard(port);
        formatChanged = port->baud != baud.BaudRate;
        port->baud = baud.BaudRate;
        break;
    }
    case IOCTL_SERIAL_GET_BAUD_RATE: {
        if (!OutputFits<SERIAL_BAUD_RATE>(irp)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        PortLock guard(port);
        SERIAL_BAUD_RATE baud{port->baud};
        std::memcpy(buffer, &baud, sizeof baud);
        information = sizeof baud;
        break;
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        SERIAL_LINE_CONTROL lc;
        if (!InputAs(irp, &lc)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        if (!ValidLineControl(lc)) { status = STATUS_INVALID_PARAMETER; break; }
        PortLock guard(port);
        formatChanged = std::memcmp(&lc, &port->lineControl, sizeof lc) != 0;
        port->lineControl = lc;
        break;
    }
    case IOCTL_SERIAL_GET_LINE_CONTROL: {
        if (!OutputFits<SERIAL_LINE_CONTROL>(irp)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        PortLock guard(port);
        std::memcpy(buffer, &port->lineControl, sizeof port->lineControl);
        information = sizeof port->lineControl;
        break;
    }
    case IOCTL_SERIAL_SET_CHARS: {
        SERIAL_CHARS chars;
        if (!InputAs(irp, &chars)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        PortLock guard(port);
        // With software flow control on, XON and XOFF must differ or the receiver could not
        // tell them apart.
        if ((port->handflow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) &&
            chars.XonChar == chars.XoffChar) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        port->chars = chars;
        break;
    }
    case IOCTL_SERIAL_GET_CHARS: {
        if (!OutputFits<SERIAL_CHARS>(irp)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        PortLock guard(port);
        std::memcpy(buffer, &port->chars, sizeof port->chars);
        information = sizeof port->chars;
        break;
    }
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        SERIAL_TIMEOUTS t;
        if (!InputAs(irp, &t)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        // All three read values MAXULONG would ask for "any byte" and "never" at once.
        if (t.ReadIntervalTimeout == kMaxUlong && t.ReadTotalTimeoutMultiplier == kMaxUlong &&
            t.ReadTotalTimeoutConstant == kMaxUlong) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        PortLock guard(port);
        port->timeouts = t;  // for reads and writes that become current from now on
        break;
    }
    case IOCTL_SERIAL_GET_TIMEOUTS: {
        if (!OutputFits<SERIAL_TIMEOUTS>(irp)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        PortLock guard(port);
        std::memcpy(buffer, &port->timeouts, sizeof port->timeouts);
        information = sizeof port->timeouts;
        break;
    }
    case IOCTL_SERIAL_SET_HANDFLOW: {
        SERIAL_HANDFLOW hf;
        if (!InputAs(irp, &hf)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        if ((hf.ControlHandShake & SERIAL_CONTROL_INVALID) || (hf.FlowReplace & SERIAL_FLOW_INVALID) ||
            (hf.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || hf.XonLimit < 0 || hf.XoffLimit < 0) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        PortLock guard(port);
        port->handflow = hf;
        break;
    }
    case IOCTL_SERIAL_GET_HANDFLOW: {
        if (!OutputFits<SERIAL_HANDFLOW>(irp)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        PortLock guard(port);
        std::memcpy(buffer, &port->handflow, sizeof port->handflow);
        information = sizeof port->handflow;
        break;
    }
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF: {
        PortLock guard(port);
        port->breakOn = code == IOCTL_SERIAL_SET_BREAK_ON;
        break;
    }
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR: {
        PortLock guard(port);
        port->dtr = code == IOCTL_SERIAL_SET_DTR;
        break;
    }
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS: {
        PortLock guard(port);
        port->rts = code == IOCTL_SERIAL_SET_RTS;
        break;
    }
    case IOCTL_SERIAL_GET_DTRRTS: {
        if (!OutputFits<ULONG>(irp)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        PortLock guard(port);
        ULONG lines = (port->dtr ? SERIAL_DTR_STATE : 0) | (port->rts ? SERIAL_RTS_STATE : 0);
        std::memcpy(buffer, &lines, sizeof lines);
        information = sizeof lines;
        break;
    }
    case IOCTL_SERIAL_GET_MODEMSTATUS: {
        if (!OutputFits<ULONG>(irp)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        PortLock guard(port);
        // The far end answers our RTS with CTS and shows its power on DSR (and carrier).
        ULONG modem = (port->dsr ? SERIAL_DSR_STATE | SERIAL_DCD_STATE : 0) |
                      (port->dsr && port->rts ? SERIAL_CTS_STATE : 0);
        std::memcpy(buffer, &modem, sizeof modem);
        information = sizeof modem;
        break;
    }
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        if (!OutputFits<SERIAL_STATUS>(irp)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        PortLock guard(port);
        SERIAL_STATUS st{};
        st.Errors = port->errors;
        port->errors = 0;  // reading the status clears the error flags
        st.AmountInInQueue = static_cast<ULONG>(port->rx.size());
        ULONG out = 0;
        for (PIRP w : port->writes) out += static_cast<ULONG>(LengthOf(w) - Transferred(w));
        st.AmountInOutQueue = out;
        std::memcpy(buffer, &st, sizeof st);
        information = sizeof st;
        break;
    }
    case IOCTL_SERIAL_GET_WAIT_MASK: {
        if (!OutputFits<ULONG>(irp)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        PortLock guard(port);
        std::memcpy(buffer, &port->waitMask, sizeof(ULONG));
        information = sizeof(ULONG);
        break;
    }
    case IOCTL_SERIAL_SET_WAIT_MASK: {
        ULONG mask;
        if (!InputAs(irp, &mask)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        if (mask & ~kValidEvents) { status = STATUS_INVALID_PARAMETER; break; }
        PortLock guard(port);
        // A new mask ends the pending wait with no events; what happened under the old mask
        // is forgotten.
        if (PIRP wait = port->wait) {
            port->wait = nullptr;
            ClaimLocked(wait);
            *static_cast<ULONG*>(wait->AssociatedIrp.SystemBuffer) = 0;
            DeferLocked(port, wait, STATUS_SUCCESS, sizeof(ULONG));
        }
        port->waitMask = mask;
        port->history = 0;
        break;
    }
    case IOCTL_SERIAL_WAIT_ON_MASK: {
        if (!OutputFits<ULONG>(irp)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        {
            PortLock guard(port);
            if (port->wait || (port->waitMask == 0 && !port->options.acceptEmptyWaitMask)) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            if (!(port->history & port->waitMask)) {
                if (!QueueLocked(port, irp)) {
                    status = STATUS_CANCELLED;
                    break;
                }
                port->wait = irp;
                return STATUS_PENDING;
            }
            ULONG events = port->history & port->waitMask;
            port->history = 0;
            std::memcpy(buffer, &events, sizeof events);
        }
        return Finish(port, irp, STATUS_SUCCESS, sizeof(ULONG));
    }
    case IOCTL_SERIAL_PURGE: {
        ULONG mask;
        if (!InputAs(irp, &mask)) { status = STATUS_BUFFER_TOO_SMALL; break; }
        if (mask == 0 || (mask & ~kValidPurge)) { status = STATUS_INVALID_PARAMETER; break; }
        Backend* backend;
        {
            PortLock guard(port);
            AbortLocked(port, mask & SERIAL_PURGE_RXABORT, mask & SERIAL_PURGE_TXABORT, false, false, STATUS_CANCELLED);
            if (mask & SERIAL_PURGE_RXCLEAR) port->rx.clear();
            backend = port->backend;
        }
        if (backend && (mask & (SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR))) backend->OnPurge(mask);
        break;
    }
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }

    if (formatChanged) {
        Backend* backend;
        LineFormat format;
        {
            PortLock guard(port);
            backend = port->backend;
            format = FormatLocked(port);
        }
        if (backend) backend->OnFormat(format);
    }
    if (NT_SUCCESS(status)) return Finish(port, irp, status, information);
    return CompleteNow(irp, status, information);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        PortLock guard(port);
        port->started = true;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE: {
        // The port is a physical device: removal ends its use by the stack above but keeps the
        // device object, which lives as long as its hardware.
        PortLock guard(port);
        port->started = false;
        AbortLocked(port, true, true, true, true, STATUS_CANCELLED);
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    default:
        // Requests a bus driver does not handle keep the status they came with.
        break;
    }
    return CompleteNow(irp, status, irp->IoStatus.Information);
}

// A device set-power: D3 switches the hardware off, D0 on again; D1 and D2 are recorded and
// leave it as it is (a UART keeps its registers there).
NTSTATUS SetDevicePower(Port* port, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const POWER_STATE state = sp->Parameters.Power.State;
    Backend* backend = nullptr;
    bool change = false;
    bool defer = false;
    const bool on = state.DeviceState == PowerDeviceD0;
    {
        PortLock guard(port);
        change = (on && !port->powered) || (state.DeviceState == PowerDeviceD3 && port->powered);
        if (change) port->powered = on;
        backend = port->backend;
        defer = on && port->options.completeD0AtDispatch && !port->dying;
    }
    // The recorded state is never more powered than the hardware: set before switching off,
    // after switching on.
    if (!on) PoSetPowerState(device, DevicePowerState, state);
    if (change && backend) backend->OnPower(on);
    if (on) PoSetPowerState(device, DevicePowerState, state);
    PoStartNextPowerIrp(irp);
    if (defer) {
        PortLock guard(port);
        IoMarkIrpPending(irp);
        DeferLocked(port, irp, STATUS_SUCCESS, 0);
        return STATUS_PENDING;
    }
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState)
        return SetDevicePower(PortOf(device), device, irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER)
        PoSetPowerState(device, sp->Parameters.Power.Type, sp->Parameters.Power.State);
    PoStartNextPowerIrp(irp);
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchUnsupported(PDEVICE_OBJECT, PIRP irp) {
    return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// ---- planted faults -----------------------------------------------------------------------

bool FaultableMajor(uint8_t major) {
    return major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_READ || major == IRP_MJ_WRITE ||
           major == IRP_MJ_DEVICE_CONTROL;
}

bool Matches(const SerialFault& fault, UCHAR major, ULONG code) {
    if (fault.major != major) return false;
    return major != IRP_MJ_DEVICE_CONTROL || fault.ioControlCode == 0 || fault.ioControlCode == code;
}

// Counts the request against every rule it matches and takes the rule whose turn it is, if any.
// A rule whose turn comes while an older rule takes the request stays due for the next match.
// Both locks held.
std::optional<SerialFault> TakeFaultLocked(Port* port, UCHAR major, ULONG code) {
    std::optional<SerialFault> taken;
    for (auto it = port->rules.begin(); it != port->rules.end();) {
        if (Matches(it->fault, major, code)) {
            if (it->seen < it->fault.nth) it->seen++;
            if (!taken && it->seen >= it->fault.nth) {
                taken = it->fault;
                it = port->rules.erase(it);
                continue;
            }
        }
        ++it;
    }
    return taken;
}

// The routine that serves a request of the major function.
NTSTATUS Serve(PDEVICE_OBJECT device, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE: return DispatchCreate(device, irp);
    case IRP_MJ_CLEANUP: return DispatchCleanup(device, irp);
    case IRP_MJ_CLOSE: return DispatchClose(device, irp);
    case IRP_MJ_READ: return DispatchRead(device, irp);
    case IRP_MJ_WRITE: return DispatchWrite(device, irp);
    case IRP_MJ_DEVICE_CONTROL: return DispatchDeviceControl(device, irp);
    case IRP_MJ_PNP: return DispatchPnp(device, irp);
    case IRP_MJ_POWER: return DispatchPower(device, irp);
    default: return DispatchUnsupported(device, irp);
    }
}

// Every request enters here: it is counted, and a planted fault whose turn it is takes it
// before the port does anything with it.
NTSTATUS DispatchEntry(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = sp->MajorFunction;
    const ULONG code = major == IRP_MJ_DEVICE_CONTROL ? sp->Parameters.DeviceIoControl.IoControlCode : 0;
    std::optional<SerialFault> fault;
    {
        PortLock guard(port);
        port->majorCounts[major]++;
        if (major == IRP_MJ_DEVICE_CONTROL) port->ioctlCounts[code]++;
        if (FaultableMajor(major)) fault = TakeFaultLocked(port, major, code);
        if (fault && fault->kind != SerialFault::Kind::Refuse) {
            if (QueueLocked(port, irp)) {
                const bool forever = fault->kind == SerialFault::Kind::PendForever;
                port->held.push_back(Port::Held{irp, forever, NowNs() + fault->lateMs * kNsPerMs});
                if (!forever) ArmTimerLocked(port);
                return STATUS_PENDING;
            }
            fault->status = STATUS_CANCELLED;  // cancelled on its way in
        }
    }
    if (fault) return CompleteNow(irp, fault->status, 0);
    return Serve(device, irp);
}

// Waits until the DPC thread has finished whatever it is running now (a DPC of this port
// included): it runs one callback or DPC at a time, in order.
void FenceDpcThread(kernel::Kernel& kernel) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    kernel.At(0, [&done] { KeSetEvent(&done, IO_NO_INCREMENT, FALSE); });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

void DestroyPort(Port* port, bool deleteDevice) {
    Backend* backend;
    {
        PortLock guard(port);
        port->dying = true;
        backend = port->backend;
        port->backend = nullptr;
        AbortLocked(port, true, true, true, true, STATUS_CANCELLED);
    }
    if (backend) backend->OnPortGone();
    // Requests aborted above complete here; the DPC no longer runs for a dying port.
    std::vector<PIRP> done;
    {
        PortLock guard(port);
        done.swap(port->deferred);
    }
    for (PIRP irp : done) IoCompleteRequest(irp, IO_NO_INCREMENT);
    FenceDpcThread(*port->kernel);
    {
        PortLock guard(port);
        *port->alive = false;
        if (port->timerSet) port->kernel->CancelAt(port->timerId);
        port->timerSet = false;
    }
    KeRemoveQueueDpc(&port->serviceDpc);
    KeRemoveQueueDpc(&port->timerDpc);
    // A DPC of the port that was already running finds the port dying; let it finish.
    FenceDpcThread(*port->kernel);
    PDEVICE_OBJECT device = port->device;
    if (deleteDevice) {
        port->kernel->Pnp().ForgetPhysicalDevice(device);
        IoDeleteDevice(device);
    }
    delete port;
}

VOID DriverUnload(PDRIVER_OBJECT driver) {
    while (PDEVICE_OBJECT device = driver->DeviceObject) DestroyPort(PortOf(device), true);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& routine : driver->MajorFunction) routine = DispatchEntry;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

// ---- the C++ side ---------------------------------------------------------------------------

PDRIVER_OBJECT LoadSerialDriver(kernel::Kernel& kernel) { return kernel.Pnp().LoadDriver("serial", DriverEntry); }

PDEVICE_OBJECT FindSerialPort(PDRIVER_OBJECT driver, const std::string& portName) {
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
        if (PortOf(d)->name == portName) return d;
    return nullptr;
}

std::string SerialPortName(PDEVICE_OBJECT port) { return PortOf(port)->name; }

PortCounters SerialCounters(PDEVICE_OBJECT device) {
    Port* port = PortOf(device);
    PortLock guard(port);
    return port->counters;
}

LineFormat SerialFormat(PDEVICE_OBJECT device) {
    Port* port = PortOf(device);
    PortLock guard(port);
    return FormatLocked(port);
}

void InjectSerialFault(PDEVICE_OBJECT device, const SerialFault& fault) {
    // A rule that could never take effect, or would break the I/O manager's rules, is a mistake
    // of the test that set it.
    const bool valid = FaultableMajor(fault.major) && fault.nth >= 1 &&
                       (fault.kind != SerialFault::Kind::Refuse || fault.status != STATUS_PENDING);
    if (!valid) {
        std::fprintf(stderr, "InjectSerialFault: unusable rule (major 0x%02X, nth %llu, status 0x%08X)\n",
                     fault.major, static_cast<unsigned long long>(fault.nth), static_cast<unsigned>(fault.status));
        std::abort();
    }
    Port* port = PortOf(device);
    PortLock guard(port);
    port->rules.push_back(Port::Rule{fault, 0});
}

void ClearSerialFaults(PDEVICE_OBJECT device) {
    Port* port = PortOf(device);
    PortLock guard(port);
    port->rules.clear();
}

uint64_t SerialRequestCount(PDEVICE_OBJECT device, uint8_t major, ULONG ioControlCode) {
    Port* port = PortOf(device);
    PortLock guard(port);
    if (major > IRP_MJ_MAXIMUM_FUNCTION) return 0;
    if (major != IRP_MJ_DEVICE_CONTROL || ioControlCode == 0) return port->majorCounts[major];
    auto it = port->ioctlCounts.find(ioControlCode);
    return it == port->ioctlCounts.end() ? 0 : it->second;
}

PDEVICE_OBJECT CreateSerialDevice(kernel::Kernel& kernel, PDRIVER_OBJECT driver, const std::string& portName,
                                  const PortOptions& options, Backend* backend, Port** out) {
    *out = nullptr;
    if (portName.empty() || FindSerialPort(driver, portName)) return nullptr;
    // The next free number: one more than the highest in use.
    unsigned index = 0;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) index++;
    std::u16string name;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    // A number freed by a deleted port may be taken again; try upwards from the count.
    for (unsigned attempt = 0; attempt < 256 && status == STATUS_OBJECT_NAME_COLLISION; ++attempt, ++index) {
        name = Wide("\\Device\\Serial" + std::to_string(index));
        UNICODE_STRING uname;
        uname.Buffer = reinterpret_cast<PWSTR>(name.data());
        uname.Length = uname.MaximumLength = static_cast<USHORT>(name.size() * 2);
        status = IoCreateDevice(driver, sizeof(Port*), &uname, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    }
    if (!NT_SUCCESS(status)) return nullptr;
    auto* port = new Port;
    port->kernel = &kernel;
    port->device = device;
    port->name = portName;
    port->options = options;
    port->rng = options.seed ? options.seed : kernel.Seed() * 0x100000001B3ull + index;
    port->backend = backend;
    KeInitializeSpinLock(&port->lock);
    KeInitializeDpc(&port->serviceDpc, ServiceDpc, port);
    KeInitializeDpc(&port->timerDpc, ServiceDpc, port);
    kernel.Name(&port->lock, portName + " port lock");
    *static_cast<Port**>(device->DeviceExtension) = port;
    device->Flags |= DO_BUFFERED_IO;
    kernel.Pnp().ReportPhysicalDevice(device);
    if (backend) backend->OnFormat(FormatLocked(port));
    *out = port;
    return device;
}

void DeleteSerialDevice(Port* port) {
    if (!port) return;
    {
        PortLock guard(port);
        port->backend = nullptr;
    }
    // A driver still attached above keeps the device; it goes when the driver is unloaded, and
    // until then the port has no hardware: nothing arrives and writes run into their time-outs.
    if (port->device->AttachedDevice) return;
    DestroyPort(port, true);
}

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

bool PortTakeTxByte(Port* port, uint8_t* byte) {
    PortLock guard(port);
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
