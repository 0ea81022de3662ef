// Platform threads, the scheduler and the clock.
//
// Virtual time: every platform thread is a fiber and exactly one runs.  A thread gives up the
// processor when it blocks, and may be made to give it up at a switch point (setting an event,
// releasing a spin lock, calling or completing an IRP, queueing work).  Which ready thread runs
// next is decided by priorities drawn from the seeded generator, and at every switch point the
// running thread's priority may be drawn anew (a change point, in the manner of PCT), so that
// different seeds explore different interleavings while one seed always gives the same run.
// When no thread can run, the clock jumps to the earliest deadline; when there is none, the run
// is deadlocked and stops with a report of every thread.
//
// Real time: operating-system threads, a lock of one word as the dispatcher lock, a word each to
// sleep on (or an event descriptor, for a thread that also watches a device) and a clock thread
// for timers.
#include "internal.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <poll.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#endif

namespace lmscr::kernel {

constinit thread_local Thread* tlsCurrent [[gnu::tls_model("initial-exec")]] = nullptr;

namespace {

// A real-time thread's sleep and wake-up: straight on the futex where there is one (the
// library's atomic wait spins and yields first, a system call each, before it sleeps).
void SleepOnSignal(std::atomic<uint32_t>& word) {
#ifdef __linux__
    while (word.load(std::memory_order_acquire) == 0)
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, 0u, nullptr, nullptr, 0);
#else
    word.wait(0, std::memory_order_acquire);
#endif
}

// A thread that services a device sleeps on its event descriptor, and on the device's
// descriptor `fd` as well when it is not -1. True when `fd` has input and no wake-up came.
bool SleepOnDescriptors(Thread* self, int fd) {
    pollfd fds[2] = {{self->wakeFd.load(std::memory_order_relaxed), POLLIN, 0}, {fd, POLLIN, 0}};
    while (self->signal.load(std::memory_order_acquire) == 0) {
        const int n = poll(fds, fd >= 0 ? 2 : 1, -1);
        if (n > 0 && fds[0].revents) {
            uint64_t count;
            if (read(fds[0].fd, &count, sizeof count) < 0) {
                // Drained by an earlier look: the flag says whether it was for this sleep.
            }
        }
        if (n > 0 && fd >= 0 && fds[1].revents && self->signal.load(std::memory_order_acquire) == 0) return true;
    }
    return false;
}

void WakeSignal(std::atomic<uint32_t>& word) {
#ifdef __linux__
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
#else
    word.notify_one();
#endif
}

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

// Held: spin while the holder is about to let go, then mark the word (2: somebody may sleep) and
// sleep on it until it is found free. A thread that took it by marking it keeps the mark: it
// cannot know whether another sleeps, so it wakes one on release, which at worst is one call.
void DispatcherLock::LockContended() {
    constexpr int kSpins = 200;
    for (int i = 0; i < kSpins; ++i) {
        CpuRelax();
        uint32_t expected = 0;
        if (word_.load(std::memory_order_relaxed) == 0 &&
            word_.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            return;
    }
    while (word_.exchange(2, std::memory_order_acquire) != 0) {
#ifdef __linux__
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word_), FUTEX_WAIT_PRIVATE, 2u, nullptr, nullptr, 0);
#else
        word_.wait(2, std::memory_order_relaxed);
#endif
    }
}

void DispatcherLock::WakeOne() { WakeSignal(word_); }

// Real time, the clock thread under the dispatcher lock: lets it go and sleeps until `due` (none:
// until woken), or until WakeClock bumps the signal; holds the lock again on return. The signal is
// read under the lock, so a wake-up given between the release and the sleep is not lost.
void Kernel::Impl::ClockSleepLocked(std::unique_lock<DispatcherLock>& lock,
                                    const std::chrono::steady_clock::time_point* due) {
    const uint32_t seen = clockSignal.load(std::memory_order_relaxed);
    lock.unlock();
#ifdef __linux__
    // Bit-set waits take an absolute time on the monotonic clock, steady_clock's here.
    timespec at{};
    if (due) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due->time_since_epoch()).count();
        at.tv_sec = time_t(ns / 1'000'000'000);
        at.tv_nsec = long(ns % 1'000'000'000);
    }
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&clockSignal), FUTEX_WAIT_BITSET_PRIVATE, seen, due ? &at : nullptr,
            nullptr, FUTEX_BITSET_MATCH_ANY);
#else
    // Without a futex: look again every millisecond.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
    if (due && *due < until) until = *due;
    while (clockSignal.load(std::memory_order_acquire) == seen && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
#endif
    lock.lock();
}

void Kernel::Impl::WakeClock() {
    clockSignal.fetch_add(1, std::memory_order_release);
    WakeSignal(clockSignal);
}

uint64_t Kernel::Impl::NextRandom() {
    // splitmix64: small, fast, and the same sequence on every machine for the same seed.
    uint64_t z = (rngState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Real time, the dispatcher lock held: tells the threads made ready under it, the lock released
// meanwhile (it is held again on return). A thread readied anew in between finds its flag set
// when it checks it under the lock; a thread told twice checks its flag and sleeps on.
void Kernel::Impl::WakeReadiedThreads(std::unique_lock<DispatcherLock>& lock) {
    if (wakeAfterUnlock.empty()) return;
    UnlockAndWake(lock);
    lock.lock();
}

// Real time, the dispatcher lock held: releases it, then tells the threads made ready under it.
// Told before the release, a thread woke only to sleep again on the lock its waker still held.
void Kernel::Impl::UnlockAndWake(std::unique_lock<DispatcherLock>& lock) {
    if (wakeAfterUnlock.empty()) {
        lock.unlock();
        return;
    }
    thread_local std::vector<Thread*> batch;
    batch.swap(wakeAfterUnlock);
    lock.unlock();
    for (Thread* t : batch) {
        t->signal.store(1, std::memory_order_release);
        if (const int fd = t->wakeFd.load(std::memory_order_acquire); fd >= 0) [[unlikely]] {
            const uint64_t one = 1;
            if (write(fd, &one, sizeof one) < 0) {
                // The counter cannot overflow from wake-ups; nothing to do.
            }
        } else {
            WakeSignal(t->signal);
        }
    }
    batch.clear();
}

uint64_t Kernel::Impl::RealNowNs() const {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now() - realStart)
                                     .count());
}

std::string Kernel::Impl::ObjectName(const void* object) {
    auto it = names.find(object);
    if (it != names.end()) return it->second;
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "object@%p", object);
    return buffer;
}

std::string Kernel::Impl::DescribeThread(const Thread* t) {
    std::ostringstream out;
    out << "thread " << t->id << " \"" << t->name << "\"";
    switch (t->state) {
    case ThreadState::Running: out << " running"; break;
    case ThreadState::Ready: out << " ready"; break;
    case ThreadState::Finished: out << " finished"; break;
    case ThreadState::Blocked:
        out << " blocked";
        switch (t->blockKind) {
        case BlockKind::Object:
            out << " waiting for";
            for (uint32_t i = 0; i < t->waitCount; ++i)
                out << (i ? (t->waitType == WaitAll ? " and " : " or ") : " ")
                    << ObjectName(t->waitBlocks[i].object);
            break;
        case BlockKind::SpinLock: out << " spinning on spin lock " << ObjectName(t->blockObject); break;
        case BlockKind::Delay: out << " in a delay"; break;
        case BlockKind::Join: out << " joining " << ObjectName(t->blockObject); break;
        case BlockKind::Lock: out << " on " << ObjectName(t->blockObject); break;
        case BlockKind::DpcWork: out << " waiting for DPC queue"; break;
        case BlockKind::None: break;
        }
        if (t->hasTimer) out << " until t=" << t->blockDeadlineNs / 1000 << " us";
        break;
    }
    out << " at IRQL " << int(t->irql);
    if (!t->drivers.empty() && t->drivers.back())
        out << " in driver " << DriverName(t->drivers.back());
    return out.str();
}

void Kernel::Impl::Deadlock() {
    std::ostringstream out;
    out << "*** DEADLOCK at t=" << virtualNowNs / 1000 << " us (seed " << options.seed
        << "): no thread can run and no timer is set\n";
    for (auto& t : threads)
        if (t->state != ThreadState::Finished) out << "    " << DescribeThread(t.get()) << "\n";
    // Power IRPs held back by the one-at-a-time rule wait for a PoStartNextPowerIrp that may be
    // what is missing.
    std::vector<std::string> held;
    for (PDEVICE_OBJECT device : devices) {
        const auto* ext = device->DeviceObjectExtension;
        for (int kind = 0; kind < 2; ++kind)
            if (!ext->powerQueue[kind].empty())
                held.push_back("    " + std::to_string(ext->powerQueue[kind].size()) + (kind ? " device" : " system") +
                               " power IRP(s) for " + ext->name + " wait for PoStartNextPowerIrp\n");
    }
    std::sort(held.begin(), held.end());
    for (auto& line : held) out << line;
    std::fputs(out.str().c_str(), stderr);
    std::fflush(stderr);
    std::abort();
}

// ---- virtual time -------------------------------------------------------------------------

Thread* Kernel::Impl::PopBestReady() {
    Thread* t = readyBest;
    if (!t) return nullptr;
    size_t at = 0;
    while (ready[at] != t) ++at;
    ready[at] = ready.back();
    ready.pop_back();
    readyBest = nullptr;
    for (Thread* r : ready)
        if (!readyBest || Before(r, readyBest)) readyBest = r;
    return t;
}

NTAPI void Kernel::Impl::FireDueTimersSlow() { FireDueTimers(); }

void Kernel::Impl::FireDueTimers() {
    const uint64_t now = NowNs();
    while (!timers.Empty() && timers.NextDeadline() <= now) {
        const uint32_t handed = timers.FireNext();
        if (handed != TimerQueue::kNoSlot) HandToDpcLocked(handed);
    }
}

void Kernel::Impl::SwitchTo(Thread* next, bool exiting) {
    Thread* prev = current;
    current = next;
    next->state = ThreadState::Running;
    if (tracing() && prev != next) TraceLine("switch " + prev->name + " -> " + next->name);
    FiberSwitch(&prev->fiber, &next->fiber, exiting);
    // Back on prev: stacks of threads that ended can go now that nobody runs on them.
    for (Thread* z : zombies) FiberDestroy(&z->fiber);
    zombies.clear();
}

void Kernel::Impl::Schedule() {
    for (;;) {
        if (timers.NextDeadlineOrNever() <= virtualNowNs) FireDueTimers();
        if (Thread* next = PopBestReady()) {
            if (next == current) {
                current->state = ThreadState::Running;
                return;
            }
            SwitchTo(next, current->state == ThreadState::Finished);
            return;
        }
        if (timers.Empty()) Deadlock();
        virtualNowNs = std::max(virtualNowNs, timers.NextDeadline());
    }
}

NTAPI void Kernel::Impl::SwitchPointSlow() {
    Thread* self = current;
    if (options.changePointOneIn && NextRandom() % options.changePointOneIn == 0)
        self->priority = NextRandom();
    if (OutrankedBy(self)) {
        self->state = ThreadState::Ready;
        PushReady(self);
        Schedule();
    }
}

void Kernel::Impl::MakeReadyLocked(Thread* t) {
    if (t->state != ThreadState::Blocked) return;
    if (t->hasTimer) {
        CancelTimerLocked(t->timerKey);
        t->hasTimer = false;
    }
    t->state = ThreadState::Ready;
    if (virtualTime) {
        PushReady(t);
    } else {
        t->wake = true;
        wakeAfterUnlock.push_back(t);
    }
}

bool Kernel::Impl::BlockLocked(Guard& guard, Thread* self, BlockKind kind, const void* object,
                               std::optional<uint64_t> deadlineNs) {
    self->state = ThreadState::Blocked;
    self->blockKind = kind;
    self->blockObject = object;
    bool timedOut = false;
    if (deadlineNs) {
        self->blockDeadlineNs = *deadlineNs;
        self->hasTimer = true;
        self->timerKey = AddTimerLocked(*deadlineNs, [this, self, &timedOut] {
            if (self->state != ThreadState::Blocked) return;
            timedOut = true;
            self->hasTimer = false;  // this timer is the one firing
            // Undo a wait on objects first, so that no later signal is handed to a thread that
            // has already given up.
            for (uint32_t i = 0; i < self->waitCount; ++i)
                RemoveEntryList(&self->waitBlocks[i].entry);
            self->waitCount = 0;
            MakeReadyLocked(self);
        });
    }
    if (virtualTime) {
        Schedule();
    } else if (!SleepRealLocked(guard, self, kind)) [[unlikely]] {
        return false;  // the device's input came: the wait is undone
    }
    self->blockKind = BlockKind::None;
    return !timedOut;
}

// Real time, under the guard: sleeps until the thread is readied (true), or until the input of
// the device it serves comes while it waits in a work item it runs for it (false: the wait is
// undone as a time-out would undo it, to be made again after the input). Out of line: virtual
// time, which never comes here, keeps BlockLocked small.
bool Kernel::Impl::SleepRealLocked(Guard& guard, Thread* self, BlockKind kind) {
    self->wake = false;
    auto& lock = guard.lock();
    // A time-out is the clock thread's to fire: it readies the thread as a signal does.
    const bool descriptors = self->wakeFd.load(std::memory_order_relaxed) >= 0;
    // A wait of a work item the thread runs for its device also watches the device.
    const int device = kind == BlockKind::Object && self->isr ? self->interruptFd : -1;
    while (!self->wake) {
        // Cleared under the lock, before `wake` can be set: a signal from a wake-up told late
        // (after an earlier block) costs one more look, never a lost wake-up.
        self->signal.store(0, std::memory_order_relaxed);
        UnlockAndWake(lock);  // whom this thread readied before it sleeps
        const bool input = descriptors ? SleepOnDescriptors(self, device) : (SleepOnSignal(self->signal), false);
        lock.lock();
        if (input && !self->wake) {
            for (uint32_t i = 0; i < self->waitCount; ++i) RemoveEntryList(&self->waitBlocks[i].entry);
            self->waitCount = 0;
            if (self->hasTimer) {
                CancelTimerLocked(self->timerKey);
                self->hasTimer = false;
            }
            self->state = ThreadState::Running;
            self->blockKind = BlockKind::None;
            self->inputDuringWait = true;
            return false;
        }
    }
    self->state = ThreadState::Running;
    return true;
}

void Kernel::Impl::RunThreadBody(Thread* t) {
    t->body();
    t->body = nullptr;
    Guard g(*this);
    t->state = ThreadState::Finished;
    t->done.Header.SignalState = 1;
    SignalLocked(&t->done.Header);
}

void Kernel::Impl::FiberEntry(void* arg) {
    auto* t = static_cast<Thread*>(arg);
    FiberStarted(&t->fiber);
    Impl& k = K();
    for (Thread* z : k.zombies) FiberDestroy(&z->fiber);
    k.zombies.clear();
    k.RunThreadBody(t);
    k.zombies.push_back(t);
    k.Schedule();  // never comes back: the thread is finished
    std::abort();
}

Thread* Kernel::Impl::Spawn(const std::string& name, std::function<void()> body, bool daemon) {
    auto owned = std::make_unique<Thread>();
    Thread* t = owned.get();
    t->name = name;
    t->daemon = daemon;
    t->body = std::move(body);
    KeInitializeEvent(&t->done, NotificationEvent, FALSE);
    {
        Guard g(*this);
        t->id = nextThreadId++;
        t->priority = NextRandom();
        threads.push_back(std::move(owned));
        names[t] = "thread \"" + name + "\"";
        names[&t->done] = "end of thread \"" + name + "\"";
        if (virtualTime) {
            if (!FiberCreate(&t->fiber, DefaultFiberStackSize(), &Impl::FiberEntry, t)) {
                std::fprintf(stderr, "lmscr kernel: cannot map a stack for thread %s\n",
                             name.c_str());
                std::abort();
            }
            t->state = ThreadState::Ready;
            PushReady(t);
        } else {
            t->state = ThreadState::Running;
            t->os = std::thread([this, t] {
                tlsCurrent = t;
#ifdef __linux__
                // Named as the platform names it, for top, perf and a debugger (15 characters).
                pthread_setname_np(pthread_self(), t->name.substr(0, 15).c_str());
#endif
                RunThreadBody(t);
            });
        }
    }
    if (tracing()) TraceLine("spawn " + name);
    SwitchPoint();
    return t;
}

Thread* Kernel::Impl::Adopt(const char* name) {
    if (virtualTime || tlsCurrent) return nullptr;
    Guard g(*this);
    Thread* t;
    if (!spareAdopted.empty()) {
        t = spareAdopted.back();
        spareAdopted.pop_back();
    } else {
        auto owned = std::make_unique<Thread>();
        t = owned.get();
        t->id = nextThreadId++;
        // Not the kernel's to join or to report at shutdown: the thread is its caller's.
        t->native = true;
        t->daemon = true;
        KeInitializeEvent(&t->done, NotificationEvent, FALSE);
        threads.push_back(std::move(owned));
    }
    t->name = name;
    t->state = ThreadState::Running;
    tlsCurrent = t;
    return t;
}

void Kernel::Impl::LetGo(Thread* t) {
    if (t->irql != PASSIVE_LEVEL || t->spinLocksHeld != 0 || !t->drivers.empty())
        Violation("ADOPTED_THREAD_LEFT_WITH_CHANGED_STATE",
                  "thread \"" + t->name + "\" leaves the kernel at IRQL " + std::to_string(t->irql) + " holding " +
                      std::to_string(t->spinLocksHeld) + " spin lock(s)");
    Guard g(*this);
    t->state = ThreadState::Finished;
    t->dpcOwed = false;
    spareAdopted.push_back(t);
    tlsCurrent = nullptr;
}

AdoptedThread::AdoptedThread(Kernel& kernel, const char* name) : kernel_(kernel) {
    thread_ = kernel_.impl().Adopt(name);
}

AdoptedThread::~AdoptedThread() {
    if (thread_) kernel_.impl().LetGo(static_cast<Thread*>(thread_));
}

void Kernel::Impl::JoinThread(Thread* t) {
    KeWaitForSingleObject(&t->done, Executive, KernelMode, FALSE, nullptr);
    if (!virtualTime && t->os.joinable()) t->os.join();
}

// ---- the kernel object -------------------------------------------------------------------

Kernel::Impl* gKernel = nullptr;

NTAPI void NoKernel() {
    std::fputs("lmscr kernel: a platform routine was called with no kernel running\n", stderr);
    std::abort();
}

uint64_t Options::SeedFromEnvironment(uint64_t fallback) {
    if (const char* s = std::getenv("LMSCR_SEED")) {
        char* end = nullptr;
        unsigned long long v = std::strtoull(s, &end, 0);
        if (end && end != s) return v;
    }
    return fallback;
}

Kernel::Impl::Impl(Kernel& o, Options opts)
    : owner(o), options(std::move(opts)), virtualTime(options.mode == TimeMode::Virtual),
      rngState(options.seed) {
    if (gKernel) {
        std::fputs("lmscr kernel: only one kernel may run at a time\n", stderr);
        std::abort();
    }
    gKernel = this;
    realStart = std::chrono::steady_clock::now();
    auto main = std::make_unique<Thread>();
    main->name = "main";
    main->native = true;
    main->id = nextThreadId++;
    main->state = ThreadState::Running;
    main->priority = NextRandom();
    FiberInitNative(&main->fiber);
    current = main.get();
    tlsCurrent = main.get();
    threads.push_back(std::move(main));
    KeInitializeEvent(&threads[0]->done, NotificationEvent, FALSE);

    InitializeListHead(&dpcQueue);
    workQueues[0].name = "CriticalWorkQueue";
    workQueues[1].name = "DelayedWorkQueue";
    for (auto& q : workQueues) {
        KeInitializeEvent(&q.event, SynchronizationEvent, FALSE);
        names[&q.event] = std::string("work on ") + q.name;
    }
    KeInitializeEvent(&pnpJobs.event, SynchronizationEvent, FALSE);
    KeInitializeEvent(&powerJobs.event, SynchronizationEvent, FALSE);
    names[&pnpJobs.event] = "Plug and Play requests";
    names[&powerJobs.event] = "power requests";
    names[&cancelLock] = "cancel spin lock";
    KeInitializeEvent(&handleClosed, NotificationEvent, FALSE);
    KeInitializeEvent(&requestDone, NotificationEvent, FALSE);
    names[&handleClosed] = "a handle to close";
    names[&requestDone] = "a client request to complete";
    KeInitializeSpinLock(&cancelLock);

    switching = false;  // the system threads start once the kernel is whole
    if (!virtualTime) {
        clockThread = std::thread([this] {
            std::unique_lock<DispatcherLock> lock(dispatcherLock);
            while (!clockStop) {
                // Whom the timers fired so far made ready, before sleeping or firing the next.
                WakeReadiedThreads(lock);
                if (timers.Empty()) {
                    clockWakeNs = UINT64_MAX;
                    ClockSleepLocked(lock, nullptr);
                    continue;
                }
                auto due = realStart + std::chrono::nanoseconds(timers.NextDeadline());
                if (std::chrono::steady_clock::now() < due) {
                    clockWakeNs = timers.NextDeadline();
                    ClockSleepLocked(lock, &due);
                    continue;
                }
                clockWakeNs = 0;  // awake: it looks at the queue again before it sleeps
                const uint32_t handed = timers.FireNext();
                if (handed != TimerQueue::kNoSlot) HandToDpcLocked(handed);
            }
        });
    }

    systemThreads.push_back(Spawn("dpc", [this] { DpcThread(); }, true));
    for (unsigned i = 0; i < options.criticalWorkers; ++i)
        systemThreads.push_back(
            Spawn("critical-worker-" + std::to_string(i), [this] { WorkerThread(0); }, true));
    for (unsigned i = 0; i < options.delayedWorkers; ++i)
        systemThreads.push_back(
            Spawn("delayed-worker-" + std::to_string(i), [this] { WorkerThread(1); }, true));
    pnpThread = Spawn("pnp", [this] { JobThread(pnpJobs); }, true);
    powerThread = Spawn("power", [this] { JobThread(powerJobs); }, true);
    systemThreads.push_back(pnpThread);
    systemThreads.push_back(powerThread);

    switching = true;
    pnp = std::make_unique<PnpManager>(owner);
    power = std::make_unique<PowerManager>(owner);
    client = std::make_unique<Client>(owner);
}

Kernel::Impl::~Impl() {
    // Whatever a run left behind was reported by Shutdown; give the host its memory back.
    while (liveTracks) ReleaseIrpMemory(liveTracks->irp);
    ReleaseIrpPools();
    for (PDEVICE_OBJECT device : devices) {
        delete device->DeviceObjectExtension;
        std::free(device);
    }
    devices.clear();
    for (PIO_WORKITEM item : workItems) delete item;
    workItems.clear();
    for (auto& [address, block] : pool) std::free(const_cast<void*>(address));
    pool.clear();
    for (auto& d : drivers) std::free(d->object);
    if (!virtualTime) {
        {
            std::lock_guard<DispatcherLock> lock(dispatcherLock);
            clockStop = true;
            WakeClock();
        }
        if (clockThread.joinable()) clockThread.join();
        for (auto& t : threads)
            if (t->os.joinable()) t->os.detach();
    } else {
        for (auto& t : threads)
            if (!t->native) FiberDestroy(&t->fiber);
    }
    gKernel = nullptr;
    tlsCurrent = nullptr;
}

void Kernel::Impl::TraceLine(const std::string& what) {
    char prefix[64];
    const Thread* t = Current();
    uint64_t ns = NowNs();
    std::snprintf(prefix, sizeof prefix, "%10.3f ms ", static_cast<double>(ns) / 1e6);
    std::string line = prefix + (t ? "[" + t->name + "] " : std::string("[?] ")) + what;
    std::lock_guard<std::mutex> lock(traceMutex);
    if (options.printTrace) std::fprintf(stderr, "%s\n", line.c_str());
    if (options.trace) trace.push_back(std::move(line));
}

}  // namespace lmscr::kernel
