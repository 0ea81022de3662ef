// Dispatcher objects (events, timers), waits and delays, deferred procedure calls, spin locks
// and IRQL, interlocked operations, the clock.
#include "internal.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <optional>
#include <cstring>

using namespace lmscr::kernel;

namespace {

// Type codes of the dispatcher header, as the platform numbers them.
constexpr UCHAR kNotificationEvent = 0;
constexpr UCHAR kSynchronizationEvent = 1;
constexpr UCHAR kNotificationTimer = 8;
constexpr UCHAR kSynchronizationTimer = 9;

// System time at virtual boot: 2001-01-01 00:00 UTC in 100 ns units since 1601.
constexpr LONGLONG kBootSystemTime = 12622780800LL * 10000000LL;

bool IsSynchronizationType(UCHAR type) {
    return type == kSynchronizationEvent || type == kSynchronizationTimer;
}

UCHAR ExpectedSize(UCHAR type) {
    return type <= kSynchronizationEvent ? UCHAR(sizeof(KEVENT) / sizeof(LONG))
                                         : UCHAR(sizeof(KTIMER) / sizeof(LONG));
}

bool IsInitialized(const DISPATCHER_HEADER* h) {
    return (h->Type == kNotificationEvent || h->Type == kSynchronizationEvent ||
            h->Type == kNotificationTimer || h->Type == kSynchronizationTimer) &&
           h->Size == ExpectedSize(h->Type) && h->WaitListHead.Flink != nullptr;
}

// A time-out in the platform's form: negative = relative in 100 ns units, positive = absolute
// system time.  Returns the deadline on the kernel clock.
uint64_t DeadlineFrom(Kernel::Impl& k, LONGLONG value) {
    uint64_t now = k.NowNs();
    if (value < 0) return now + static_cast<uint64_t>(-value) * 100;
    LONGLONG since = value - kBootSystemTime;
    if (since <= 0) return now;
    uint64_t at = static_cast<uint64_t>(since) * 100;
    return at < now ? now : at;
}

}  // namespace

namespace lmscr::kernel {

void Kernel::Impl::Consume(DISPATCHER_HEADER* h) {
    if (IsSynchronizationType(h->Type)) h->SignalState = 0;
}

bool Kernel::Impl::IsSignalled(DISPATCHER_HEADER* h, Thread*) { return h->SignalState > 0; }

void Kernel::Impl::SatisfyLocked(Thread* t, NTSTATUS status) {
    for (uint32_t i = 0; i < t->waitCount; ++i) RemoveEntryList(&t->waitBlocks[i].entry);
    t->waitCount = 0;
    t->waitStatus = status;
    t->waitSatisfied = true;
    MakeReadyLocked(t);
}

// The object has just become signalled: hand the signal to waiters in the order they came, as
// long as it lasts (a synchronisation object wakes one, a notification object all).
void Kernel::Impl::SignalWaitersLocked(DISPATCHER_HEADER* h) {
    PLIST_ENTRY e = h->WaitListHead.Flink;
    while (e != &h->WaitListHead && h->SignalState > 0) {
        WaitBlock* wb = CONTAINING_RECORD(e, WaitBlock, entry);
        e = e->Flink;
        Thread* t = wb->thread;
        if (t->waitType == WaitAny) {
            Consume(h);
            SatisfyLocked(t, STATUS_WAIT_0 + static_cast<NTSTATUS>(wb->index));
            continue;
        }
        bool all = true;
        for (uint32_t i = 0; i < t->waitCount && all; ++i)
            all = t->waitBlocks[i].object->SignalState > 0;
        if (all) {
            for (uint32_t i = 0; i < t->waitCount; ++i) Consume(t->waitBlocks[i].object);
            SatisfyLocked(t, STATUS_WAIT_0);
        }
    }
}

NTSTATUS Kernel::Impl::Wait(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout,
                            const char* routine) {
    Thread* self = Current();
    if (self->irql >= DISPATCH_LEVEL && (!timeout || timeout->QuadPart != 0))
        Violation("WAIT_AT_RAISED_IRQL",
                  std::string(routine) + " with a non-zero time-out at IRQL " +
                      std::to_string(self->irql));
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS)
        Violation("WAIT_OBJECT_COUNT", std::string(routine) + " with " + std::to_string(count) +
                                           " objects");
    Guard g(*this);  // the wait lists change under it, also while the headers are checked
    for (ULONG i = 0; i < count; ++i) {
        auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
        if (!h || !IsInitialized(h))
            Violation("WAIT_ON_UNINITIALIZED_OBJECT",
                      std::string(routine) + " on " + ObjectName(objects[i]) +
                          ", which is not an initialised event or timer");
    }
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
            if (h->SignalState > 0) {
                Consume(h);
                g.Unlock();
                SwitchPoint();
                return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
            }
        }
    } else {
        bool all = true;
        for (ULONG i = 0; i < count && all; ++i)
            all = static_cast<DISPATCHER_HEADER*>(objects[i])->SignalState > 0;
        if (all) {
            for (ULONG i = 0; i < count; ++i) Consume(static_cast<DISPATCHER_HEADER*>(objects[i]));
            g.Unlock();
            SwitchPoint();
            return STATUS_WAIT_0;
        }
    }
    if (timeout && timeout->QuadPart == 0) {
        g.Unlock();
        SwitchPoint();
        return STATUS_TIMEOUT;
    }
    std::optional<uint64_t> deadline;
    if (timeout) deadline = DeadlineFrom(*this, timeout->QuadPart);
    self->waitType = type;
    self->waitCount = count;
    self->waitSatisfied = false;
    for (ULONG i = 0; i < count; ++i) {
        WaitBlock& wb = self->waitBlocks[i];
        wb.thread = self;
        wb.object = static_cast<DISPATCHER_HEADER*>(objects[i]);
        wb.index = i;
        InsertTailList(&wb.object->WaitListHead, &wb.entry);
    }
    bool woken = BlockLocked(g, self, BlockKind::Object, objects[0], deadline);
    if (woken) return self->waitStatus;
    if (self->inputDuringWait && !self->waitingAgain) [[unlikely]] {
        g.Unlock();
        return WaitAfterInput(count, objects, type, deadline, routine);
    }
    return STATUS_TIMEOUT;
}

// Real time: the thread serves a device whose input came while it waited. Taken here, as an
// interrupt is, then the wait is made again to the same deadline, as often as input comes first.
NTSTATUS Kernel::Impl::WaitAfterInput(ULONG count, PVOID objects[], WAIT_TYPE type,
                                      std::optional<uint64_t> deadline, const char* routine) {
    Thread* self = Current();
    self->waitingAgain = true;
    NTSTATUS status;
    do {
        self->inputDuringWait = false;
        const std::function<void()>* isr = self->isr;
        self->isr = nullptr;  // no input taken inside the input's own handling
        (*isr)();
        self->isr = isr;
        if (deadline && NowNs() >= *deadline) {
            status = STATUS_TIMEOUT;
            break;
        }
        LARGE_INTEGER at;  // the same deadline, as an absolute system time
        if (deadline) at.QuadPart = kBootSystemTime + static_cast<LONGLONG>((*deadline + 99) / 100);
        status = Wait(count, objects, type, deadline ? &at : nullptr, routine);
    } while (self->inputDuringWait);
    self->waitingAgain = false;
    return status;
}

void Kernel::Impl::TimerExpiredLocked(PKTIMER timer) {
    ktimers.erase(timer);
    timer->Header.Inserted = FALSE;
    timer->Header.SignalState = 1;
    SignalLocked(&timer->Header);
    if (timer->Period > 0) {
        uint64_t at = NowNs() + static_cast<uint64_t>(timer->Period) * 1000000ull;
        timer->DueTime.QuadPart = at / 100;
        ktimers[timer] = AddTimerLocked(at, [this, timer] { TimerExpiredLocked(timer); });
        timer->Header.Inserted = TRUE;
    }
    if (PKDPC dpc = timer->Dpc) {
        if (!dpc->DpcData) {
            dpc->DpcData = dpc;
            InsertTailList(&dpcQueue, &dpc->DpcListEntry);
            WakeDpcThreadLocked();
        }
    }
}

void Kernel::Impl::DpcThread() {
    Thread* self = Current();
    {
        Guard g(*this);
        dpcThread = self;
    }
    for (;;) {
        Guard g(*this);
        // The wait for work: work that came meanwhile is taken as a signalled event is, at a
        // switch point; else the thread sleeps until a wake readies it.
        if (dpcWork) {
            dpcWork = false;
            g.Unlock();
            SwitchPoint();
            g.Lock();
        } else {
            BlockLocked(g, self, BlockKind::DpcWork, &dpcWork, std::nullopt);
        }
        // In real time another thread may be running the queue: it empties it before it stops.
        if (!dpcRunner) {
            dpcRunner = self;
            RunDpcsLocked(g, self);
        }
        // At the stop, a queue that another thread runs is that thread's to empty: waiting for it
        // here could outlast the last wake-up the shutdown gives this thread.
        if (stopping && (dpcRunner || (IsListEmpty(&dpcQueue) && dispatchCallbacks.Empty()))) return;
    }
}

bool Kernel::Impl::DpcQueuedLocked() {
    if (dpcRunner) return false;  // it takes this one in turn
    Thread* self = tlsCurrent;
    if (self && self->irql < DISPATCH_LEVEL) {
        // As a processor takes a DPC queued below DISPATCH_LEVEL at once, instead of waking the
        // DPC thread for it (two wake-ups, the thread's and the waiter's, each a system call or
        // two and a trip through the host's scheduler).
        dpcRunner = self;
        return true;
    }
    if (self) {
        // Holding a spin lock: the queue runs when this thread lets its IRQL down.
        self->dpcOwed = true;
        return false;
    }
    // Not a platform thread (the clock thread): the DPC thread runs it.
    WakeDpcThreadLocked();
    return false;
}

void Kernel::Impl::RunDpcsLocked(Guard& g, Thread* self) {
    const KIRQL irqlBefore = self->irql;
    const int locksBefore = self->spinLocksHeld;
    self->dpcOwed = false;
    for (;;) {
        if (!dispatchCallbacks.Empty()) {
            // A Kernel::At callback runs in its timer slot, freed once the lock is held again.
            const uint32_t slot = dispatchCallbacks.PopFront();
            TimerQueue::Callback& fn = timers.Deferred(slot);
            g.Unlock();
            self->irql = DISPATCH_LEVEL;
            fn.Invoke();
            self->irql = irqlBefore;
            g.Lock();
            timers.Release(slot);
            continue;
        }
        if (IsListEmpty(&dpcQueue)) break;
        PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&dpcQueue), KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
        PDRIVER_OBJECT owner = nullptr;
        if (auto it = dpcOwners.find(dpc); it != dpcOwners.end()) owner = it->second;
        g.Unlock();
        self->irql = DISPATCH_LEVEL;
        {
            DriverScope scope(owner);
            routine(dpc, context, a1, a2);
        }
        if (self->irql != DISPATCH_LEVEL || self->spinLocksHeld != locksBefore)
            Violation("DPC_RETURNED_WITH_CHANGED_STATE",
                      "a deferred procedure call of " + std::string(DriverName(owner)) + " returned at IRQL " +
                          std::to_string(self->irql) + " holding " + std::to_string(self->spinLocksHeld) +
                          " spin lock(s)");
        self->irql = irqlBefore;
        g.Lock();
    }
    dpcRunner = nullptr;
}

NTAPI void Kernel::Impl::RunOwedDpcs(Thread* self) {
    Guard g(*this);
    self->dpcOwed = false;
    if (dpcRunner || (IsListEmpty(&dpcQueue) && dispatchCallbacks.Empty())) return;
    dpcRunner = self;
    RunDpcsLocked(g, self);
}

namespace {
std::mutex g_debugPrintLock;
DebugPrintSink g_debugPrintSink = nullptr;
void* g_debugPrintContext = nullptr;
}  // namespace

void SetDebugPrintSink(DebugPrintSink sink, void* context) {
    std::lock_guard<std::mutex> hold(g_debugPrintLock);
    g_debugPrintSink = sink;
    g_debugPrintContext = context;
}

}  // namespace lmscr::kernel

// ---- the platform routines -----------------------------------------------------------------

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = Type == SynchronizationEvent ? kSynchronizationEvent : kNotificationEvent;
    Event->Header.Absolute = 0;
    Event->Header.Size = ExpectedSize(Event->Header.Type);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    Kernel::Impl& k = K();
    LONG previous;
    {
        Kernel::Impl::Guard g(k);
        if (!IsInitialized(&Event->Header))
            k.Violation("SET_UNINITIALIZED_EVENT", "KeSetEvent on " + k.ObjectName(Event));
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        k.SignalLocked(&Event->Header);
    }
    if (k.tracing()) k.TraceLine("set " + k.ObjectName(Event));
    k.SwitchPoint();
    return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
    PVOID objects[1] = {Object};
    return K().Wait(1, objects, WaitAny, Timeout, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                  KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout, PVOID) {
    return K().Wait(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    Kernel::Impl& k = K();
    Thread* self = k.Current();
    if (self->irql >= DISPATCH_LEVEL)
        k.Violation("WAIT_AT_RAISED_IRQL",
                    "KeDelayExecutionThread at IRQL " + std::to_string(self->irql));
    if (!Interval || Interval->QuadPart == 0) {
        k.SwitchPoint();
        return STATUS_SUCCESS;
    }
    Kernel::Impl::Guard g(k);
    self->waitCount = 0;
    k.BlockLocked(g, self, BlockKind::Delay, nullptr, DeadlineFrom(k, Interval->QuadPart));
    return STATUS_SUCCESS;
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    Kernel::Impl& k = K();
    if (k.virtualTime) {
        // The processor is held: the clock moves, nobody else runs.
        k.virtualNowNs += static_cast<uint64_t>(MicroSeconds) * 1000;
        return;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < until) {
    }
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = kBootSystemTime + static_cast<LONGLONG>(K().NowNs() / 100);
}

ULONGLONG KeQueryInterruptTime(void) { return K().NowNs() / 100; }

namespace {

// One conversion of DbgPrint's format, its argument read as the platform passes it: every
// argument in a slot of 8 bytes, a long 32 bits wide, I64 and ll 64.  The value is formatted by
// snprintf with the conversion rebuilt for the host (the host's vsnprintf cannot take the
// platform's argument list).  The conversions the driver writes: d i u x X o c s p and %%, with
// flags, width and precision (or *).  Returns where the format continues.
const char* FormatConversion(const char* at, __builtin_ms_va_list& args, std::string& out) {
    std::string hostFormat = "%";
    while (*at && std::strchr("-+ #0", *at)) hostFormat += *at++;
    for (int part = 0; part < 2; ++part) {
        if (part == 1) {
            if (*at != '.') break;
            hostFormat += *at++;
        }
        if (*at == '*') {
            hostFormat += std::to_string(__builtin_va_arg(args, int));
            ++at;
        }
        while (*at >= '0' && *at <= '9') hostFormat += *at++;
    }
    bool wide = false;
    if (at[0] == 'I' && at[1] == '6' && at[2] == '4') {
        wide = true;
        at += 3;
    } else if (at[0] == 'l' && at[1] == 'l') {
        wide = true;
        at += 2;
    } else if (*at == 'I' || *at == 'z') {
        wide = sizeof(SIZE_T) == 8;
        ++at;
    } else {
        while (*at == 'l' || *at == 'h') ++at;  // a long is 32 bits, a short is passed as an int
    }
    char piece[128];
    const char conversion = *at;
    switch (conversion) {
    case 'd':
    case 'i':
        if (wide)
            std::snprintf(piece, sizeof piece, (hostFormat + "lld").c_str(), __builtin_va_arg(args, long long));
        else
            std::snprintf(piece, sizeof piece, (hostFormat + "d").c_str(), __builtin_va_arg(args, int));
        break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (wide)
            std::snprintf(piece, sizeof piece, (hostFormat + "ll" + conversion).c_str(),
                          __builtin_va_arg(args, unsigned long long));
        else
            std::snprintf(piece, sizeof piece, (hostFormat + conversion).c_str(), __builtin_va_arg(args, unsigned));
        break;
    case 'c':
        std::snprintf(piece, sizeof piece, (hostFormat + "c").c_str(), __builtin_va_arg(args, int));
        break;
    case 'p':
        std::snprintf(piece, sizeof piece, (hostFormat + "p").c_str(), __builtin_va_arg(args, void*));
        break;
    case 's': {
        const char* text = __builtin_va_arg(args, const char*);
        // snprintf of a long string into the piece would cut it: the string goes out whole
        int length = std::snprintf(nullptr, 0, (hostFormat + "s").c_str(), text ? text : "(null)");
        std::string whole(static_cast<size_t>(length) + 1, '\0');
        std::snprintf(whole.data(), whole.size(), (hostFormat + "s").c_str(), text ? text : "(null)");
        whole.resize(static_cast<size_t>(length));
        out += whole;
        return at + 1;
    }
    case '%':
        out += '%';
        return at + 1;
    default:
        // a conversion the driver does not use: written as it stands, its argument left unread
        out += hostFormat;
        if (conversion) out += conversion;
        return conversion ? at + 1 : at;
    }
    out += piece;
    return at + 1;
}

}  // namespace

ULONG DbgPrint(PCSTR Format, ...) {
    if (Format == nullptr) return 0;
    std::string formatted;
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, Format);
    for (const char* at = Format; *at;) {
        if (*at != '%') {
            formatted += *at++;
            continue;
        }
        at = FormatConversion(at + 1, args, formatted);
    }
    __builtin_ms_va_end(args);
    // the platform's debugger takes 512 bytes of a line
    if (formatted.size() > 511) formatted.resize(511);
    char* text = formatted.data();
    // A driver ends its lines as a kernel debugger wants them; a sink takes lines.
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
    std::optional<uint64_t> at;
    if (Kernel* k = Kernel::Current(); k != nullptr && k->GetOptions().mode == TimeMode::Virtual) at = k->NowNs();
    std::lock_guard<std::mutex> hold(g_debugPrintLock);
    if (g_debugPrintSink != nullptr) {
        g_debugPrintSink(g_debugPrintContext, at, text);
    } else if (at) {
        std::fprintf(stderr, "%10.3f ms debug %s\n", static_cast<double>(*at) / 1e6, text);
    } else {
        std::fprintf(stderr, "debug %s\n", text);
    }
    return 0;
}

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Kernel::Impl& k = K();
    std::memset(Dpc, 0, sizeof *Dpc);
    Dpc->Type = 0x13;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Kernel::Impl::Guard g(k);
    k.dpcOwners[Dpc] = k.CurrentDriver();
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    Kernel::Impl& k = K();
    {
        Kernel::Impl::Guard g(k);
        if (Dpc->DpcData) return FALSE;
        Dpc->DpcData = Dpc;
        Dpc->SystemArgument1 = SystemArgument1;
        Dpc->SystemArgument2 = SystemArgument2;
        InsertTailList(&k.dpcQueue, &Dpc->DpcListEntry);
        if (k.virtualTime) {
            k.WakeDpcThreadLocked();
        } else if (k.DpcQueuedLocked()) {
            k.RunDpcsLocked(g, k.Current());
        }
    }
    k.SwitchPoint();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    if (!Dpc->DpcData) return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    return TRUE;
}

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    std::memset(Timer, 0, sizeof *Timer);
    Timer->Header.Type = Type == SynchronizationTimer ? kSynchronizationTimer : kNotificationTimer;
    Timer->Header.Size = ExpectedSize(Timer->Header.Type);
    InitializeListHead(&Timer->Header.WaitListHead);
    InitializeListHead(&Timer->TimerListEntry);
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    Kernel::Impl& k = K();
    BOOLEAN wasSet = FALSE;
    {
        Kernel::Impl::Guard g(k);
        if (!IsInitialized(&Timer->Header))
            k.Violation("SET_UNINITIALIZED_TIMER", "KeSetTimer on " + k.ObjectName(Timer));
        if (auto it = k.ktimers.find(Timer); it != k.ktimers.end()) {
            k.CancelTimerLocked(it->second);
            k.ktimers.erase(it);
            wasSet = TRUE;
        }
        Timer->Header.SignalState = 0;
        Timer->Dpc = Dpc;
        Timer->Period = Period;
        uint64_t at = DeadlineFrom(k, DueTime.QuadPart);
        Timer->DueTime.QuadPart = at / 100;
        Timer->Header.Inserted = TRUE;
        k.ktimers[Timer] = k.AddTimerLocked(at, [&k, Timer] { k.TimerExpiredLocked(Timer); });
    }
    return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    auto it = k.ktimers.find(Timer);
    if (it == k.ktimers.end()) return FALSE;
    k.CancelTimerLocked(it->second);
    k.ktimers.erase(it);
    Timer->Header.Inserted = FALSE;
    return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    return Timer->Header.SignalState > 0;
}

// ---- spin locks and IRQL -------------------------------------------------------------------

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

// The routines below run for every spin lock a driver takes: what they report when a driver
// breaks a rule is built out of line, so that the way through stays short, and what they call
// on a rare path has the exports' convention (see SwitchPointSlow).
namespace {

[[gnu::noinline, gnu::cold]] NTAPI void ReportIrql(const char* name, const char* what, KIRQL irql) {
    K().Violation(name, std::string(what) + std::to_string(irql));
}

[[gnu::noinline]] NTAPI void AcquireSlow(Kernel::Impl& k, PKSPIN_LOCK lock, Thread* self) {
    const ULONG_PTR me = self->id + 1;
    if (k.virtualTime) {
        // Held (AcquireRaw takes a free lock): by this thread, or it waits its turn.
        Kernel::Impl::Guard g(k);
        if (*lock == me)
            k.Violation("SPIN_LOCK_ALREADY_OWNED",
                        "thread \"" + self->name + "\" acquires " + k.ObjectName(lock) +
                            ", which it holds already");
        // Another processor holds it: this one spins, which here means it waits its turn.
        k.spinWaiters[lock].push_back(self);
        k.spinWaiting++;
        self->waitCount = 0;
        k.BlockLocked(g, self, BlockKind::SpinLock, lock, std::nullopt);
        return;  // the releasing thread handed the lock over
    }
    std::atomic_ref<ULONG_PTR> word(*lock);
    ULONG_PTR expected = 0;
    while (!word.compare_exchange_weak(expected, me, std::memory_order_acquire)) {
        if (expected == me)
            k.Violation("SPIN_LOCK_ALREADY_OWNED",
                        "thread \"" + self->name + "\" acquires a spin lock it holds already");
        expected = 0;
        std::this_thread::yield();
    }
}

[[gnu::noinline]] NTAPI void ReleaseSlow(Kernel::Impl& k, PKSPIN_LOCK lock, Thread* self) {
    const ULONG_PTR me = self->id + 1;
    if (k.virtualTime) {
        Kernel::Impl::Guard g(k);
        if (*lock != me)
            k.Violation("SPIN_LOCK_NOT_OWNED", "thread \"" + self->name + "\" releases " +
                                                   k.ObjectName(lock) + ", which it does not hold");
        auto it = k.spinWaiters.find(lock);
        if (it != k.spinWaiters.end() && !it->second.empty()) {
            Thread* next = it->second.front();
            it->second.pop_front();
            k.spinWaiting--;
            if (it->second.empty()) k.spinWaiters.erase(it);
            *lock = next->id + 1;
            k.MakeReadyLocked(next);
        } else {
            *lock = 0;
        }
        return;
    }
    std::atomic_ref<ULONG_PTR> word(*lock);
    if (word.load(std::memory_order_relaxed) != me)
        k.Violation("SPIN_LOCK_NOT_OWNED",
                    "thread \"" + self->name + "\" releases a spin lock it does not hold");
    word.store(0, std::memory_order_release);
}

// One processor runs at a time in virtual time: a free lock is taken, and a lock nobody waits
// for is given back, without the dispatcher lock. In real time a free lock is taken, and one's
// own given back, by one atomic step here; the slow path spins or reports.
inline void AcquireRaw(Kernel::Impl& k, PKSPIN_LOCK lock, Thread* self) {
    if (k.virtualTime) {
        if (*lock == 0) [[likely]] {
            *lock = self->id + 1;
            return;
        }
    } else {
        ULONG_PTR expected = 0;
        if (std::atomic_ref<ULONG_PTR>(*lock).compare_exchange_strong(expected, self->id + 1,
                                                                      std::memory_order_acquire)) [[likely]]
            return;
    }
    AcquireSlow(k, lock, self);
}

inline void ReleaseRaw(Kernel::Impl& k, PKSPIN_LOCK lock, Thread* self) {
    if (k.virtualTime) {
        if (*lock == self->id + 1 && k.spinWaiting == 0) [[likely]] {
            *lock = 0;
            return;
        }
    } else {
        std::atomic_ref<ULONG_PTR> word(*lock);
        if (word.load(std::memory_order_relaxed) == self->id + 1) [[likely]] {
            word.store(0, std::memory_order_release);
            return;
        }
    }
    ReleaseSlow(k, lock, self);
}

}  // namespace

// The bodies of KfAcquireSpinLock and KfReleaseSpinLock, also the cancel lock's.
[[gnu::always_inline]] inline KIRQL AcquireSpinLock(PKSPIN_LOCK SpinLock) {
    Kernel::Impl& k = K();
    Thread* self = k.Current();
    if (self->irql > DISPATCH_LEVEL) [[unlikely]]
        ReportIrql("SPIN_LOCK_ABOVE_DISPATCH", "KfAcquireSpinLock at IRQL ", self->irql);
    KIRQL old = self->irql;
    self->irql = DISPATCH_LEVEL;
    AcquireRaw(k, SpinLock, self);
    self->spinLocksHeld++;
    return old;
}

[[gnu::always_inline]] inline void ReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    Kernel::Impl& k = K();
    Thread* self = k.Current();
    ReleaseRaw(k, SpinLock, self);
    self->spinLocksHeld--;
    if (NewIrql > DISPATCH_LEVEL) [[unlikely]]
        ReportIrql("IRQL_RAISED_BY_RELEASE", "KfReleaseSpinLock to IRQL ", NewIrql);
    self->irql = NewIrql;
    if (self->dpcOwed && NewIrql < DISPATCH_LEVEL) [[unlikely]]
        k.RunOwedDpcs(self);
    k.SwitchPoint();
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) { return AcquireSpinLock(SpinLock); }
VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { ReleaseSpinLock(SpinLock, NewIrql); }
VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = AcquireSpinLock(&K().cancelLock); }
VOID IoReleaseCancelSpinLock(KIRQL Irql) { ReleaseSpinLock(&K().cancelLock, Irql); }

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    Kernel::Impl& k = K();
    Thread* self = k.Current();
    if (self->irql != DISPATCH_LEVEL) [[unlikely]]
        ReportIrql("SPIN_LOCK_AT_DPC_LEVEL_BELOW_DISPATCH", "KeAcquireSpinLockAtDpcLevel at IRQL ",
                   self->irql);
    AcquireRaw(k, SpinLock, self);
    self->spinLocksHeld++;
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    Kernel::Impl& k = K();
    Thread* self = k.Current();
    ReleaseRaw(k, SpinLock, self);
    self->spinLocksHeld--;
    k.SwitchPoint();
}

KIRQL KeGetCurrentIrql(void) { return K().Current()->irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql) {
    Kernel::Impl& k = K();
    Thread* self = k.Current();
    if (NewIrql < self->irql)
        k.Violation("IRQL_NOT_RAISED", "KfRaiseIrql from " + std::to_string(self->irql) +
                                           " to " + std::to_string(NewIrql));
    KIRQL old = self->irql;
    self->irql = NewIrql;
    return old;
}

VOID KfLowerIrql(KIRQL NewIrql) {
    Kernel::Impl& k = K();
    Thread* self = k.Current();
    if (NewIrql > self->irql)
        k.Violation("IRQL_NOT_LOWERED", "KfLowerIrql from " + std::to_string(self->irql) +
                                            " to " + std::to_string(NewIrql));
    self->irql = NewIrql;
    if (self->dpcOwed && NewIrql < DISPATCH_LEVEL) [[unlikely]]
        k.RunOwedDpcs(self);
}

LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    char detail[160];
    std::snprintf(detail, sizeof detail, "KeBugCheckEx(0x%X, 0x%lX, 0x%lX, 0x%lX, 0x%lX)",
                  BugCheckCode, P1, P2, P3, P4);
    K().Violation("BUGCHECK", detail);
}

}  // extern "C"
