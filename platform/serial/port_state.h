// The state of one serial port and the pieces of the driver that its files share.
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
//   held     requests a filter in front of the port (request_filter.h) has the port keep: for
//            ever, or until their time comes and they are served as if they had just arrived.
//            Every request is counted and shown to the filter first (DispatchEntry).
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
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "port.h"
#include "request_filter.h"

namespace lmscr::serial {

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
    // handed to the DPC thread when it was replaced runs anyway and finds nothing due. It is
    // set again at every byte a read takes, so its callback is the port alone (std::function
    // keeps that in place): the port outlives it, because DestroyPort clears timerLive and
    // waits for the DPC thread before the port goes, and no timer is set after that.
    kernel::Kernel::TimerId timerId = 0;
    bool timerSet = false;
    bool timerLive = true;

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
    // The DPC is between taking the lock and taking `deferred`: what it defers meanwhile it
    // completes in this run, without queueing itself again for a run that would find nothing.
    bool servicing = false;
    // The DPC's own list of what it completes, swapped with `deferred` and kept, so that
    // neither list goes back to the heap at every completion.
    std::vector<PIRP> completing;

    std::shared_ptr<RequestFilter> filter;  // may be empty
    struct Held {
        PIRP irp;
        bool forever;
        uint64_t dueNs;  // not forever: when it is served
    };
    std::deque<Held> held;
    uint64_t majorCounts[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    // Room for the codes of the port's device-control table (it says so at compile time).
    static constexpr size_t kDeviceControlCodes = 64;
    uint64_t ioctlCounts[kDeviceControlCodes] = {};  // by the code's place in the port's table
    std::map<ULONG, uint64_t> otherIoctlCounts;  // codes the port does not answer

    PortCounters counters;
};

namespace internal {

constexpr ULONG kMaxUlong = 0xFFFFFFFFu;
constexpr uint64_t kNsPerMs = 1'000'000;

inline Port* PortOf(PDEVICE_OBJECT device) { return *static_cast<Port**>(device->DeviceExtension); }

// The kernel's clock to the nanosecond (KeQueryInterruptTime has 100 ns steps, too coarse for
// deadlines that sit on character boundaries).
inline uint64_t NowNs() { return kernel::Kernel::Current()->NowNs(); }

// Bytes of a read or write transferred so far: kept in the request's own information field, as
// the platform's serial driver does while a request is current.
inline ULONG_PTR& Transferred(PIRP irp) { return irp->IoStatus.Information; }

inline ULONG_PTR LengthOf(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    return sp->MajorFunction == IRP_MJ_READ ? sp->Parameters.Read.Length : sp->Parameters.Write.Length;
}

inline LineFormat FormatLocked(const Port* port) {
    return LineFormat{port->baud, port->lineControl.WordLength, port->lineControl.Parity,
                      port->lineControl.StopBits};
}

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

// ---- the request engine (port_engine.cpp) ----------------------------------------------

// Whether the force-pending option takes this request for the deferred path (and counts it).
bool DrawForcePending(Port* port);
NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information);
// Both locks held. The request is no longer in any queue of the port; the DPC completes it.
void DeferLocked(Port* port, PIRP irp, NTSTATUS status, ULONG_PTR information);
// A request that could be answered now: answered, or (force-pending) pended and answered by
// the DPC. Called with no lock held.
NTSTATUS Finish(Port* port, PIRP irp, NTSTATUS status, ULONG_PTR information);
// Takes a queued request back from its cancel routine. Both locks held.
void ClaimLocked(PIRP irp);
// Gives a request its cancel routine and marks it pending, before the caller puts it into a
// queue; false when it was cancelled on its way in. Both locks held.
bool QueueLocked(Port* port, PIRP irp);
// Every read, write, the wait and the held requests, as asked, ended with `status` through the
// DPC. Both locks held.
void AbortLocked(Port* port, bool reads, bool writes, bool wait, bool held, NTSTATUS status);
// Sets the time-out timer to the earliest deadline of the current read, the current write and
// the held requests. Both locks held.
void ArmTimerLocked(Port* port);
void StartReadLocked(Port* port, PIRP irp, uint64_t now);
// Moves input into the current read; true when the read is done, with its status.
bool FeedReadLocked(Port* port, PIRP irp, uint64_t now, NTSTATUS* status);
// The first queued write becomes current (its time-out starts now), if there is one.
void StartWriteLocked(Port* port, uint64_t now);
// Events of the wait mask go into the history. Port lock held.
void EventLocked(Port* port, ULONG events);
// The DPC of the port (service and timer): completes what is due and serves held requests
// whose time has come.
void NTAPI ServiceDpc(PKDPC, PVOID context, PVOID, PVOID);

// ---- dispatch (port_dispatch.cpp) ------------------------------------------------------

// Every request enters here: counted, shown to the filter, then served.
NTSTATUS NTAPI DispatchEntry(PDEVICE_OBJECT device, PIRP irp);
// The routine that serves a request of the major function.
NTSTATUS Serve(PDEVICE_OBJECT device, PIRP irp);

}  // namespace internal
}  // namespace lmscr::serial
