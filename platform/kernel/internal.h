// Inside the user-mode kernel: platform threads and the scheduler, and the kernel's private
// records behind the objects that drivers see.  One Kernel::Impl exists per run; the platform
// routines reach it through K().
#pragma once

#include "fiber.h"
#include "kernel.h"
#include "timer_queue.h"

#include <atomic>
#include <memory>
#include <type_traits>
#include <chrono>
#include <optional>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <unistd.h>

namespace lmscr::kernel {

struct Thread;

// The dispatcher lock in real time: one word, taken by one atomic step when free and given back
// by one when nobody sleeps on it; the platform routines take it some 190 times for one short
// command to a T=0 card, and glibc's mutex cost some sixty instructions a round trip more. A thread
// that finds it held spins a while (its holder is mostly a few microseconds from letting go),
// then sleeps on the word. Virtual time never takes it.
class DispatcherLock {
public:
    void lock() {
        uint32_t expected = 0;
        if (word_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            [[likely]]
            return;
        LockContended();
    }
    bool try_lock() {
        uint32_t expected = 0;
        return word_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void unlock() {
        if (word_.exchange(0, std::memory_order_release) == 2) [[unlikely]]
            WakeOne();
    }

private:
    [[gnu::noinline]] void LockContended();
    [[gnu::noinline]] void WakeOne();
    std::atomic<uint32_t> word_{0};  // 0 free, 1 held, 2 held and a thread may sleep on it
};

// The running platform thread in real time (virtual time keeps it in Kernel::Impl::current).
// Read in the exports, whose convention (NTAPI) keeps rsi and rdi: in the IFD handler, a shared
// library, the general-dynamic model would read it through a call to __tls_get_addr, which the
// compiler takes to keep them too, and which does not (a spin lock's address was lost that
// way).  The initial-exec model reads it without a call; one pointer fits the room the loader
// keeps for libraries opened later (pcscd opens the handler).
extern constinit thread_local Thread* tlsCurrent [[gnu::tls_model("initial-exec")]];

// First in, first out, in a ring (a power of two long) that grows and is reused: no allocation
// once it is large enough for what waits at once.
template <class T>
class Ring {
public:
    bool Empty() const { return count_ == 0; }
    size_t Size() const { return count_; }
    void PushBack(T value) {
        if (count_ == ring_.size()) Grow();
        ring_[(head_ + count_) & (ring_.size() - 1)] = value;
        ++count_;
    }
    // Only when not Empty.
    T PopFront() {
        const T value = ring_[head_];
        head_ = (head_ + 1) & (ring_.size() - 1);
        --count_;
        return value;
    }
    template <class F>
    void ForEach(F&& f) const {
        for (size_t i = 0; i < count_; ++i) f(ring_[(head_ + i) & (ring_.size() - 1)]);
    }

private:
    void Grow() {
        std::vector<T> bigger(ring_.empty() ? 8 : ring_.size() * 2);
        for (size_t i = 0; i < count_; ++i) bigger[i] = ring_[(head_ + i) & (ring_.size() - 1)];
        ring_.swap(bigger);
        head_ = 0;
    }

    std::vector<T> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
};
using IndexRing = Ring<uint32_t>;

// A list that keeps its first N elements in place: IoCompleteRequest gathers the one or two
// frames of a stack location on every completion.
template <class T, size_t N>
class SmallList {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    SmallList() {}  // the places stay raw until they are added to
    void Add(const T& value) {
        if (count_ < N)
            std::construct_at(&first_[count_++], value);
        else
            more_.push_back(value);
    }
    template <class F>
    void ForEach(F&& f) {
        for (size_t i = 0; i < count_; ++i) f(first_[i]);
        for (T& value : more_) f(value);
    }

private:
    union {
        T first_[N];
    };
    size_t count_ = 0;
    std::vector<T> more_;
};

struct WaitBlock {
    LIST_ENTRY entry;  // linked into the object's DISPATCHER_HEADER.WaitListHead
    Thread* thread;
    DISPATCHER_HEADER* object;
    uint32_t index;
};

enum class ThreadState { Ready, Running, Blocked, Finished };

// What a blocked thread waits for, for the deadlock report.
enum class BlockKind { None, Object, SpinLock, Delay, Join, Lock, DpcWork };

struct Thread {
    uint32_t id = 0;
    std::string name;
    ThreadState state = ThreadState::Ready;
    bool daemon = false;
    bool native = false;  // the operating-system thread that created the kernel
    std::function<void()> body;

    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
    std::vector<PDRIVER_OBJECT> drivers;  // whose code runs now, innermost last
    std::vector<PDEVICE_OBJECT> dispatching;  // devices whose dispatch routine runs now

    // Wait state, valid while Blocked on objects.
    WaitBlock waitBlocks[MAXIMUM_WAIT_OBJECTS];
    uint32_t waitCount = 0;
    WAIT_TYPE waitType = WaitAny;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    bool waitSatisfied = false;
    bool hasTimer = false;
    TimerKey timerKey;
    BlockKind blockKind = BlockKind::None;
    const void* blockObject = nullptr;
    uint64_t blockDeadlineNs = 0;

    KEVENT done;  // signalled when the body has returned

    // Virtual time.
    Fiber fiber;
    uint64_t priority = 0;
    // Real time.
    std::thread os;
    bool wake = false;  // under the dispatcher lock
    // What the thread sleeps on, the lock released: set once `wake` is (a futex word, one system
    // call a side, where a condition variable takes two).
    std::atomic<uint32_t> signal{0};
    // Real time: a deferred procedure call was queued while this thread ran at DISPATCH_LEVEL; it
    // runs the queue when it lowers its IRQL, as a processor does, unless another runs it first.
    bool dpcOwed = false;
    // Real time, a thread that services a device (ServeDevice): it sleeps on an event descriptor
    // its wakers write, so that it can watch the device's descriptor in the same sleep.
    std::atomic<int> wakeFd{-1};
    bool deferCriticalWork = false;  // critical work items it queues wait for it to run them
    bool criticalWorkDeferred = false;
    // Set while it runs such an item at PASSIVE_LEVEL: a wait of the item also takes the device's
    // input, with `isr`, as an interrupt would come while the item's thread sleeps.
    int interruptFd = -1;
    const std::function<void()>* isr = nullptr;
    bool inputDuringWait = false;  // its last block ended for the device's input
    bool waitingAgain = false;     // in WaitAfterInput, which takes the input itself

    ~Thread() {
        // Kept open with the record: a waker may still be telling the thread as it goes.
        if (const int fd = wakeFd.load(std::memory_order_relaxed); fd >= 0) close(fd);
    }
};

struct PoolBlock {
    ULONG tag;
    SIZE_T size;
    Site site;
    PDRIVER_OBJECT owner;
    uint64_t serial;
};

enum class IrpKind {
    Allocated,  // IoAllocateIrp: its owner frees it
    Ioctl,      // IoBuildDeviceIoControlRequest: the I/O manager copies back and frees
    Client,     // a request of the client API
    Pnp,        // sent by the Plug and Play manager
    Power,      // sent by the power manager, or by PoRequestPowerIrp
};

enum class IrpState {
    Owned,    // with its allocator, or given back to a completion routine's driver
    Walking,  // completion in progress
    Done,     // completion reached the top of the stack
    Freed,
};

// One dispatch of the IRP to a stack location, kept until both the dispatch routine has returned
// and the completion has passed the location, so that the pending rule can be checked on both.
struct DispatchFrame {
    uint64_t serial;
    int location;
    bool returned = false;
    NTSTATUS returnedStatus = 0;
    bool passed = false;
    bool markedPending = false;
    const char* driverName = "";
    PDEVICE_OBJECT device = nullptr;
};

struct IrpTrack {
    PIRP irp = nullptr;
    uint64_t serial = 0;
    IrpKind kind = IrpKind::Allocated;
    IrpState state = IrpState::Owned;
    Site site;
    PDRIVER_OBJECT owner = nullptr;
    int pins = 0;            // active calls that still look at the IRP; its memory waits for them
    bool freePending = false;
    ULONG copyBackLength = 0;  // output length of a buffered device-control request
    void* smallSystemBuffer = nullptr;  // the system buffer given, when it is a reused one
    std::vector<DispatchFrame> frames;
    std::function<void(PIRP)> onDone;  // what the manager or client does when completion ends
    PDEVICE_OBJECT queuedFor = nullptr;  // power IRP waiting for PoStartNextPowerIrp
    IrpTrack* previousLive = nullptr;    // the IRPs that exist, for the leak report
    IrpTrack* nextLive = nullptr;

    // Blank again for the next IRP, with the room its frames had: every field above.
    void Clear() {
        irp = nullptr;
        serial = 0;
        kind = IrpKind::Allocated;
        state = IrpState::Owned;
        site = Site{};
        owner = nullptr;
        pins = 0;
        freePending = false;
        copyBackLength = 0;
        smallSystemBuffer = nullptr;
        frames.clear();
        if (onDone) onDone = nullptr;
        queuedFor = nullptr;
        previousLive = nullptr;
        nextLive = nullptr;
    }
};

// Kept in front of every IRP in one allocation.
struct IrpHeader {
    IrpTrack* track;
    alignas(16) unsigned char irp[1];
};

struct InterfaceRecord {
    GUID guid;
    PDEVICE_OBJECT pdo;
    std::string link;  // UTF-8 copy of the symbolic link name
    bool enabled = false;
};

}  // namespace lmscr::kernel

// The kernel's private part of every device object.
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT DeviceObject = nullptr;
    PDEVICE_OBJECT AttachedTo = nullptr;
    std::string name;
    bool deleted = false;
    bool physical = false;
    int refs = 1;        // the object's own reference, released by IoDeleteDevice
    int inflight = 0;    // IRPs that hold a stack location of this device
    uint64_t serial = 0;
    lmscr::kernel::Site site;
    // Power manager: the power state recorded by PoSetPowerState, and the one-at-a-time rule.
    DEVICE_POWER_STATE devicePower = PowerDeviceD0;
    SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
    bool powerBusy[2] = {false, false};
    std::deque<PIRP> powerQueue[2];
    int openHandles = 0;
    bool createInProgress = false;
};

struct _IO_WORKITEM {
    PDEVICE_OBJECT device = nullptr;
    PIO_WORKITEM_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    bool queued = false;
    lmscr::kernel::Site site;
    PDRIVER_OBJECT owner = nullptr;
    uint64_t serial = 0;
};

namespace lmscr::kernel {

struct DriverRecord {
    PDRIVER_OBJECT object = nullptr;
    std::string name;
    std::u16string nameBuffer;
    bool unloaded = false;
};

struct Job {
    std::function<void()> fn;
    KEVENT done;
};

// An IRP's block: the kernel's IrpTrack pointer, a freed mark and the size the block was made
// for live just before the IRP; they stay readable while the IRP waits in quarantine.
constexpr size_t kIrpPrefix = 16;
constexpr size_t kFreedMark = 8;  // offsets in the prefix

inline IrpTrack* TrackOf(PIRP irp) {
    IrpTrack* track;
    std::memcpy(&track, reinterpret_cast<char*>(irp) - kIrpPrefix, sizeof track);
    return track;
}
inline bool IrpFreed(PIRP irp) { return *(reinterpret_cast<const char*>(irp) - kIrpPrefix + kFreedMark) != 0; }

struct Kernel::Impl {
    explicit Impl(Kernel& owner, Options options);
    ~Impl();

    Kernel& owner;
    Options options;
    bool virtualTime;
    uint64_t rngState;
    uint64_t NextRandom();

    // ---- threads and scheduling -------------------------------------------------------
    DispatcherLock dispatcherLock;  // real time only: guards every kernel record
    std::vector<std::unique_ptr<Thread>> threads;
    Thread* current = nullptr;   // virtual time
    std::vector<Thread*> ready;  // virtual time
    Thread* readyBest = nullptr;  // the thread of `ready` that comes first, asked at every switch point
    void PushReady(Thread* t) {
        ready.push_back(t);
        if (!readyBest || Before(t, readyBest)) readyBest = t;
    }
    std::vector<Thread*> zombies;
    uint32_t nextThreadId = 0;
    bool switching = true;       // false while tearing down
    TimerQueue timers;
    uint64_t virtualNowNs = 0;
    std::chrono::steady_clock::time_point realStart;
    std::thread clockThread;  // real time: fires timers
    // Real time: bumped (under the dispatcher lock) to wake the clock thread, which sleeps on it.
    std::atomic<uint32_t> clockSignal{0};
    void ClockSleepLocked(std::unique_lock<DispatcherLock>& lock, const std::chrono::steady_clock::time_point* due);
    bool clockStop = false;
    // Real time: the deadline the clock thread sleeps until (none: UINT64_MAX); a timer set
    // later than that does not wake it.
    uint64_t clockWakeNs = 0;
    // Real time: threads made ready under the dispatcher lock, told once it is released, so that
    // a woken thread does not wake only to block on the lock its waker still holds.
    std::vector<Thread*> wakeAfterUnlock;
    void WakeReadiedThreads(std::unique_lock<DispatcherLock>& lock);
    void UnlockAndWake(std::unique_lock<DispatcherLock>& lock);

    // Every platform routine asks for the running thread and the time, many times an exchange:
    // in virtual time both are one load.
    Thread* Current() { return virtualTime ? current : tlsCurrent; }
    Thread* Spawn(const std::string& name, std::function<void()> body, bool daemon);
    // Real time: records of adopted threads (AdoptedThread) not in use, kept for the next, as a
    // waker may still be telling one after it let its thread go.
    std::vector<Thread*> spareAdopted;
    Thread* Adopt(const char* name);
    void LetGo(Thread* thread);
    void JoinThread(Thread* thread);
    uint64_t NowNs() { return virtualTime ? virtualNowNs : RealNowNs(); }
    uint64_t RealNowNs() const;

    // The dispatcher lock: a real lock in real time, nothing in virtual time (one thread runs).
    class Guard {
    public:
        explicit Guard(Impl& k) : k_(k), lock_(k.dispatcherLock, std::defer_lock) {
            if (!k_.virtualTime) [[unlikely]]
                lock_.lock();
        }
        ~Guard() { Unlock(); }
        void Unlock() {
            if (!lock_.owns_lock()) return;
            if (k_.wakeAfterUnlock.empty()) lock_.unlock();
            else k_.UnlockAndWake(lock_);
        }
        void Lock() {
            if (!k_.virtualTime && !lock_.owns_lock()) lock_.lock();
        }
        std::unique_lock<DispatcherLock>& lock() { return lock_; }

    private:
        Impl& k_;
        std::unique_lock<DispatcherLock> lock_;
    };

    // Under the guard: sleep until Wake or the deadline.  True when woken, false on time-out.
    bool BlockLocked(Guard& guard, Thread* self, BlockKind kind, const void* object,
                     std::optional<uint64_t> deadlineNs);
    [[gnu::noinline]] bool SleepRealLocked(Guard& guard, Thread* self, BlockKind kind);
    // Real time: the wait of a thread that serves a device, made again after the device's input
    // came during it, until it ends otherwise.
    [[gnu::noinline]] NTSTATUS WaitAfterInput(ULONG count, PVOID objects[], WAIT_TYPE type,
                                              std::optional<uint64_t> deadline, const char* routine);
    void MakeReadyLocked(Thread* thread);
    template <class F>
    TimerKey AddTimerLocked(uint64_t deadlineNs, F&& fn) {
        const bool first = !virtualTime && deadlineNs < clockWakeNs;
        const TimerKey key = timers.Add(deadlineNs, std::forward<F>(fn));
        if (first) WakeClockLocked(deadlineNs);
        return key;
    }
    // Real time: a timer due before the clock thread means to wake.
    void WakeClockLocked(uint64_t deadlineNs) {
        clockWakeNs = deadlineNs;
        WakeClock();
    }
    void WakeClock();
    bool CancelTimerLocked(TimerKey key) { return timers.Cancel(key); }
    // Where another thread may take the processor in virtual time; most of the time nothing is
    // due and nobody else is ready.
    void SwitchPoint() {
        if (!virtualTime || !switching) return;
        if (timers.NextDeadlineOrNever() <= virtualNowNs) FireDueTimersSlow();
        if (options.changePointOneIn || OutrankedBy(current)) SwitchPointSlow();
    }
    // Whether a ready thread comes before `self` (higher priority, then lower id).
    bool OutrankedBy(const Thread* self) const { return readyBest && Before(readyBest, self); }
    static bool Before(const Thread* a, const Thread* b) {
        return a->priority > b->priority || (a->priority == b->priority && a->id < b->id);
    }
    // The exports' convention (NTAPI), because the exports call it: an export that calls a
    // routine of the host's convention must save the ten vector registers the platform's
    // convention keeps (about thirty instructions a call); a spin lock release pays that on
    // every call when only its rare path leads here.
    NTAPI void SwitchPointSlow();
    void Schedule();  // virtual: give the processor to the best ready thread
    // A switch point's, when the earliest timer is due (most of the time it is still ahead).
    NTAPI void FireDueTimersSlow();  // NTAPI: as SwitchPointSlow
    void FireDueTimers();  // the same for the host's code (the scheduler), which saves nothing
    void SwitchTo(Thread* next, bool exiting);
    Thread* PopBestReady();
    static void FiberEntry(void* arg);
    void RunThreadBody(Thread* thread);
    [[noreturn]] void Deadlock();
    std::string DescribeThread(const Thread* thread);
    std::string ObjectName(const void* object);

    // ---- dispatcher objects ---------------------------------------------------------
    // Hands the signal to the object's waiters; most objects have none when they are set.
    void SignalLocked(DISPATCHER_HEADER* header) {
        if (header->WaitListHead.Flink != &header->WaitListHead) SignalWaitersLocked(header);
    }
    void SignalWaitersLocked(DISPATCHER_HEADER* header);
    void SatisfyLocked(Thread* thread, NTSTATUS status);
    bool IsSignalled(DISPATCHER_HEADER* header, Thread* thread);
    void Consume(DISPATCHER_HEADER* header);
    NTSTATUS Wait(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout,
                  const char* routine);
    std::unordered_map<const void*, std::deque<Thread*>> spinWaiters;
    size_t spinWaiting = 0;  // threads in spinWaiters
    std::unordered_map<const void*, std::string> names;
    std::unordered_map<PKTIMER, TimerKey> ktimers;
    void TimerExpiredLocked(PKTIMER timer);

    // ---- deferred procedure calls -----------------------------------------------------
    LIST_ENTRY dpcQueue;
    Thread* dpcThread = nullptr;
    bool dpcWork = false;  // work came while the DPC thread was not waiting for it
    std::unordered_map<PKDPC, PDRIVER_OBJECT> dpcOwners;
    // Kernel::At callbacks due, by their timer slots (a callback stays in its slot until it has
    // run on the DPC thread).
    IndexRing dispatchCallbacks;
    void HandToDpcLocked(uint32_t slot) {
        dispatchCallbacks.PushBack(slot);
        WakeDpcThreadLocked();
    }
    void WakeDpcThreadLocked() {
        if (dpcThread && dpcThread->state == ThreadState::Blocked && dpcThread->blockKind == BlockKind::DpcWork)
            MakeReadyLocked(dpcThread);
        else
            dpcWork = true;
    }
    void DpcThread();
    // Real time: the thread that runs the queued DPCs and callbacks now (the DPC thread, or a
    // thread that queued one below DISPATCH_LEVEL), none when nobody does. One runs them at a
    // time, in the order they were queued, as the DPC thread alone does in virtual time.
    Thread* dpcRunner = nullptr;
    // Under the guard, something just queued for the DPC thread: true when the calling thread is
    // to run the queue itself now (it is the runner then); else the runner or the DPC thread, or
    // this thread once it lowers its IRQL, will.
    bool DpcQueuedLocked();
    // Under the guard, as the runner: runs both queues until they are empty, the guard released
    // around each call; the thread is no runner on return.
    void RunDpcsLocked(Guard& g, Thread* self);
    // A thread that owes the queue a run lowered its IRQL below DISPATCH_LEVEL (NTAPI: the
    // spin lock exports call it; see SwitchPointSlow).
    NTAPI void RunOwedDpcs(Thread* self);

    // ---- work queues ------------------------------------------------------------------
    struct WorkQueue {
        std::deque<PIO_WORKITEM> items;
        KEVENT event;
        const char* name;
    };
    WorkQueue workQueues[2];
    void WorkerThread(int queue);
    // The guard held; releases it while the item runs, holds it again on return.
    void RunWorkItemLocked(Guard& g, Thread* self, WorkQueue& queue);
    void ServeDevice(int fd, const std::function<void()>& isr);
    std::unordered_set<PIO_WORKITEM> workItems;
    KSPIN_LOCK cancelLock = 0;

    // ---- system threads: Plug and Play and power jobs ---------------------------------
    struct JobQueue {
        std::deque<Job*> jobs;
        KEVENT event;
    };
    JobQueue pnpJobs, powerJobs;
    void JobThread(JobQueue& queue);
    void RunJob(JobQueue& queue, const char* threadName, std::function<void()> fn);
    std::vector<Thread*> systemThreads;
    bool stopping = false;
    Thread* pnpThread = nullptr;
    Thread* powerThread = nullptr;

    // ---- pool -------------------------------------------------------------------------
    std::unordered_map<const void*, PoolBlock> pool;
    std::unordered_set<const void*> freedPool;
    std::map<ULONG, PoolTagStats> poolStats;
    uint64_t poolSerial = 0;

    // ---- faults -----------------------------------------------------------------------
    struct ActiveRule {
        FaultRule rule;
        uint64_t calls = 0;
    };
    std::vector<ActiveRule> faults;
    // Most runs inject no failure: the rules are looked at only when there are some.
    bool ShouldFail(const char* operation, const Site& site) {
        return !faults.empty() && ShouldFailByRule(operation, site);
    }
    bool ShouldFailByRule(const char* operation, const Site& site);

    // ---- objects of the I/O manager ---------------------------------------------------
    std::vector<std::unique_ptr<DriverRecord>> drivers;
    std::unordered_set<PDEVICE_OBJECT> devices;  // created and not yet freed
    IrpTrack* liveTracks = nullptr;  // every IRP not yet freed, newest first
    // Every address handed out as an IRP: its memory is the kernel's until the end of the run,
    // live or in quarantine (the block says which), for frees and uses after free.
    std::unordered_set<PIRP> knownIrps;
    // The addresses found there last, by a few bits of the address: a driver's few IRPs at a
    // time are looked up several times each (an address once known stays known).
    PIRP knownIrpsSeen[16] = {};
    // A driver sends hundreds of IRPs an exchange.  A freed IRP's memory waits, poisoned, behind
    // kIrpQuarantine others of its stack size before it is handed out again (so that a use soon
    // after the free still finds it freed), and tracking records are reused with what they hold.
    static constexpr size_t kIrpQuarantine = 16;
    std::vector<Ring<char*>> irpQuarantine;  // by stack size, oldest first
    std::vector<IrpTrack*> spareTracks;
    // The system buffer of a buffered request, zeroed; most are a few bytes (a serial port's
    // settings and status) and are reused, except under AddressSanitizer, which is to see a
    // driver that touches one after its request has ended.  Under the guard.
    void* NewSystemBuffer([[maybe_unused]] IrpTrack* track, size_t size);
    static constexpr size_t kSmallSystemBuffer = 64;
    std::vector<void*> spareSystemBuffers;  // kSmallSystemBuffer bytes each
    std::unordered_set<PDEVICE_OBJECT> freedDevices;
    // The IRP's record, reported as a violation when `irp` is no IRP or a freed one: an address
    // found among the IRPs a moment ago is only looked at for its freed mark.
    IrpTrack* LiveTrack(PIRP irp, const char* routine, const char* freedViolation) {
        if (KnownIrpSeen(irp) == irp && !IrpFreed(irp)) [[likely]]
            return TrackOf(irp);
        return LiveTrackSlow(irp, routine, freedViolation);
    }
    IrpTrack* LiveTrackSlow(PIRP irp, const char* routine, const char* freedViolation);
    PIRP& KnownIrpSeen(PIRP irp) { return knownIrpsSeen[(reinterpret_cast<uintptr_t>(irp) >> 6) & 15]; }
    uint64_t irpSerial = 0;
    uint64_t frameSerial = 0;
    std::unordered_map<const void*, const void*> errorLogObjects;
    void FreeDeviceIfUnused(PDEVICE_OBJECT device) {
        const auto* ext = device->DeviceObjectExtension;
        if (ext->deleted && ext->refs <= 0 && ext->inflight <= 0) [[unlikely]]
            FreeDevice(device);
    }
    void FreeDevice(PDEVICE_OBJECT device);
    bool IsDevice(const void* object) const { return devices.count(static_cast<PDEVICE_OBJECT>(const_cast<void*>(object))) != 0; }
    uint64_t deviceSerial = 0;
    uint64_t workItemSerial = 0;
    std::vector<InterfaceRecord> interfaces;
    std::vector<std::weak_ptr<InterfaceWatch::State>> watchers;
    void NotifyInterface(const InterfaceRecord& record, bool arrival);
    PIRP NewIrp(CCHAR stackSize, IrpKind kind, const Site& site);
    void ReleaseIrpMemory(PIRP irp);
    void ReleaseIrpPools();  // at the end of the run
    void UnpinIrp(PIRP irp);
    void DeviceDereference(PDEVICE_OBJECT device);
    void FinishIrpAtTop(PIRP irp);
    NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPo);
    DRIVER_OBJECT* CurrentDriver() {
        Thread* t = Current();
        if (!t || t->drivers.empty()) return nullptr;
        return t->drivers.back();
    }
    const char* DriverName(PDRIVER_OBJECT driver);
    std::string DeviceName(PDEVICE_OBJECT device);

    // ---- Plug and Play and power ------------------------------------------------------
    std::vector<PDEVICE_OBJECT> physicalDevices;
    std::vector<std::pair<PDEVICE_OBJECT, UCHAR>> pnpHistory;
    SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
    std::vector<PowerIrpRecord> powerHistory;
    uint64_t powerHistoryCleared = 0;  // records dropped by ClearHistory, so serials stay valid
    // Under the guard: records a power IRP leaving the manager; returns its serial.
    uint64_t RecordPowerIrpLocked(PDEVICE_OBJECT device, PIO_STACK_LOCATION next, bool requested);
    void PowerIrpDone(uint64_t serial, NTSTATUS status);
    NTSTATUS SendManagerIrp(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                            std::function<void(PIO_STACK_LOCATION)> fill, IrpKind kind);
    void DispatchQueuedPowerIrp(PDEVICE_OBJECT device, PIRP irp);

    // ---- event log and trace ----------------------------------------------------------
    std::vector<EventLogEntry> eventLog;
    std::vector<std::string> trace;
    std::mutex traceMutex;
    void TraceLine(const std::string& what);
    bool tracing() const { return options.trace || options.printTrace; }

    // ---- verifier ---------------------------------------------------------------------
    [[noreturn]] void Violation(const char* name, const std::string& detail);
    LeakReport LeaksOf(PDRIVER_OBJECT driver) const;
    LeakReport AllOutstanding() const;
    bool shutDown = false;

    KEVENT handleClosed;  // set whenever a client handle is closed
    std::unordered_map<PFILE_OBJECT, int> fileRequests;  // client requests not yet completed, by open handle
    KEVENT requestDone;   // set whenever a client request completes
    std::unique_ptr<PnpManager> pnp;
    std::unique_ptr<PowerManager> power;
    std::unique_ptr<Client> client;
};

struct InterfaceWatch::State {
    GUID guid{};
    std::deque<InterfaceNotification> queue;
    KEVENT event;
};

struct PendingIo::State {
    KEVENT done;
    PIRP irp = nullptr;
    bool completed = false;
    bool returnedPending = false;
    IoResult result;
    std::vector<uint8_t> inputCopy;  // kept alive for METHOD_NEITHER
    PFILE_OBJECT file = nullptr;
    uint32_t thread = 0;
};

// The one kernel of the run.
extern Kernel::Impl* gKernel;
// NTAPI: called from every export (see Kernel::Impl::SwitchPointSlow).
[[noreturn]] NTAPI void NoKernel();
inline Kernel::Impl& K() {
    if (!gKernel) [[unlikely]]
        NoKernel();
    return *gKernel;
}
inline Kernel::Impl* KOrNull() { return gKernel; }
// The dispatch routine of every major function a driver leaves empty.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// Marks the code of `driver` as running on the current thread for the lifetime of the object.
class DriverScope {
public:
    explicit DriverScope(PDRIVER_OBJECT driver) : thread_(K().Current()) {
        thread_->drivers.push_back(driver);
    }
    ~DriverScope() { thread_->drivers.pop_back(); }

private:
    Thread* thread_;
};

void ReportChangedReturnState(Thread* self, KIRQL irqlBefore, int locksBefore, const char* what,
                              PDRIVER_OBJECT driver);
// Checks that a routine of `driver` left the IRQL and the spin locks as it found them (the
// driver's name is looked up only for a report).
inline void CheckReturnState(Thread* self, KIRQL irqlBefore, int locksBefore, const char* what,
                             PDRIVER_OBJECT driver) {
    if (self->spinLocksHeld != locksBefore || self->irql != irqlBefore) [[unlikely]]
        ReportChangedReturnState(self, irqlBefore, locksBefore, what, driver);
}

std::string Utf8(const std::u16string& s);
std::u16string Utf16(const std::string& s);
std::string Utf8(PCUNICODE_STRING s);
std::string TagText(ULONG tag);

}  // namespace lmscr::kernel
