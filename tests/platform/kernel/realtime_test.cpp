// Real time: deferred procedure calls and Kernel::At callbacks run by the thread that queued them
// when it is below DISPATCH_LEVEL (at once) or holds a spin lock (when it lets its IRQL down),
// one at a time, in order, and by the DPC thread when a thread that is no platform thread queued
// them; an operating-system thread adopted for a call, and what it leaves; the critical work a
// device's input queues, run by the thread that took the input, which takes more while it waits;
// the dispatcher lock when many want it; the clock thread's sleep, cut short by an earlier timer and
// by the shutdown.
#include "internal.h"
#include "test_drivers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace lmscr::kernel;
using namespace lmscr::kernel::test;

namespace {

// What ran, where and at which IRQL, in order.
struct Log {
    std::mutex mutex;
    std::vector<std::string> lines;
    void Add(const std::string& line) {
        std::lock_guard<std::mutex> hold(mutex);
        lines.push_back(line);
    }
};

struct DpcCase {
    Log* log;
    KDPC a, b;
    std::thread::id caller;
};

std::string Irql() { return std::to_string(KeGetCurrentIrql()); }

// "a 2 caller": DPC a ran at IRQL 2 on the thread that queued it ("dpc" on the DPC thread).
VOID NTAPI Record(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto* c = static_cast<DpcCase*>(context);
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    c->log->Add(std::string(dpc == &c->a ? "a " : "b ") + Irql() + " " +
                (std::this_thread::get_id() == c->caller ? "caller" : name));
}

// DPC a queues b from inside itself: b runs after a has returned, not within it.
VOID NTAPI QueueAnother(PKDPC dpc, PVOID context, PVOID a1, PVOID a2) {
    auto* c = static_cast<DpcCase*>(context);
    c->log->Add("a starts");
    KeInsertQueueDpc(&c->b, nullptr, nullptr);
    Record(dpc, context, a1, a2);
}

void Insert(PKDPC dpc, Log& log, const char* what) {
    log.Add(std::string(what) + (KeInsertQueueDpc(dpc, nullptr, nullptr) ? " queued" : " refused"));
}

TEST(RealTimeDpc, runs_on_the_queuing_thread_in_order_at_dispatch_level) {
    struct Scenario {
        const char* name;
        std::function<void(DpcCase&, Log&)> run;  // in the platform thread "main"
        std::vector<std::string> expected;
    };
    const std::vector<Scenario> scenarios = {
        {"below DISPATCH_LEVEL: at once, within the insert",
         [](DpcCase& c, Log& log) {
             Insert(&c.a, log, "a");
             log.Add("irql " + Irql());
         },
         {"a 2 caller", "a queued", "irql 0"}},
        {"under a spin lock: at the release, callbacks before DPCs, in order, each once; a callback "
         "due at once below DISPATCH_LEVEL runs within At",
         [](DpcCase& c, Log& log) {
             Kernel& k = *Kernel::Current();
             k.At(0, [&log] { log.Add("at 1 " + Irql()); });
             KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             Insert(&c.a, log, "a");
             Insert(&c.b, log, "b");
             Insert(&c.a, log, "a again");
             k.At(0, [&log] { log.Add("at 2 " + Irql()); });
             KeReleaseSpinLock(&lock, old);
             log.Add("released, irql " + Irql());
         },
         {"at 1 2", "a queued", "b queued", "a again refused", "at 2 2", "a 2 caller", "b 2 caller",
          "released, irql 0"}},
        {"raised by KeRaiseIrql: when it is lowered",
         [](DpcCase& c, Log& log) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             Insert(&c.b, log, "b");
             log.Add("lower");
             KeLowerIrql(old);
         },
         {"b queued", "lower", "b 2 caller"}},
        {"queued by a running DPC: after it, not within it",
         [](DpcCase& c, Log& log) {
             KeInitializeDpc(&c.a, QueueAnother, &c);
             Insert(&c.a, log, "a");
         },
         {"a starts", "a 2 caller", "b 2 caller", "a queued"}},
        {"queued by a thread that is no platform thread: on the DPC thread (the shutdown waits for it)",
         [](DpcCase& c, Log&) { std::thread([&] { KeInsertQueueDpc(&c.a, nullptr, nullptr); }).join(); },
         {"a 2 dpc"}},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        Options o;
        o.mode = TimeMode::Real;
        Kernel k(o);
        Log log;
        DpcCase c{&log, {}, {}, std::this_thread::get_id()};
        KeInitializeDpc(&c.a, Record, &c);
        KeInitializeDpc(&c.b, Record, &c);
        s.run(c, log);
        EXPECT_TRUE(k.Shutdown().empty());
        EXPECT_EQ(log.lines, s.expected);
    }
}

// A foreign thread in real time is a platform thread for the call: it blocks and is woken as one
// and takes a DPC it queues; after the call it is none, and a second call reuses the first one's
// record. A platform thread, or any thread in virtual time, adopts nothing.
TEST(RealTimeAdoption, a_foreign_thread_is_a_platform_thread_for_the_call_only) {
    struct Row {
        const char* name;
        TimeMode mode;
        bool fromForeignThread;
        std::vector<std::string> expected;
    };
    const std::vector<Row> rows = {
        {"real time, a foreign thread", TimeMode::Real, true,
         {"adopted", "woken 0", "a 2 caller", "adopted", "records 1", "current none"}},
        {"real time, a platform thread", TimeMode::Real, false, {"not adopted", "not adopted", "records 0"}},
        {"virtual time, a foreign thread", TimeMode::Virtual, true,
         {"not adopted", "not adopted", "records 0", "current none"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Options o;
        o.mode = row.mode;
        Kernel k(o);
        const size_t threadsBefore = k.impl().threads.size();
        Log log;
        DpcCase c{&log, {}, {}, {}};
        KeInitializeDpc(&c.a, Record, &c);
        size_t spawned = 0;
        auto calls = [&] {
            c.caller = std::this_thread::get_id();
            for (int call = 0; call < 2; ++call) {
                AdoptedThread caller(k, "caller");
                log.Add(caller.Adopted() ? "adopted" : "not adopted");
                if (!caller.Adopted() || call > 0) continue;
                KEVENT set;
                KeInitializeEvent(&set, NotificationEvent, FALSE);
                const Kernel::ThreadId setter = k.Spawn("setter", [&] { KeSetEvent(&set, IO_NO_INCREMENT, FALSE); });
                LARGE_INTEGER bound;
                bound.QuadPart = -5000 * 10000;  // a bound, not an expectation
                log.Add("woken " + std::to_string(KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, &bound)));
                k.Join(setter);
                ++spawned;
                KeInsertQueueDpc(&c.a, nullptr, nullptr);
            }
            log.Add("records " + std::to_string(k.impl().threads.size() - threadsBefore - spawned));
        };
        if (row.fromForeignThread) {
            std::thread([&] {
                calls();
                log.Add(tlsCurrent ? "current set" : "current none");
            }).join();
        } else {
            calls();
        }
        EXPECT_TRUE(k.Shutdown().empty());
        EXPECT_EQ(log.lines, row.expected);
    }
}

// A device thread that takes a pipe's bytes as its input: 'w' queues the work item, 's' sets the
// event the item waits for, 'q' ends the thread; anything else is read and dropped.
struct DeviceCase {
    Log log;
    int pipe[2] = {-1, -1};
    PIO_WORKITEM item = nullptr;
    KEVENT set, started, done;
    LONGLONG waitFor = 0;  // the item's time-out, in 100 ns units (negative: relative)
    bool quit = false;
};

std::string ThreadName() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

VOID NTAPI WaitingItem(PDEVICE_OBJECT, PVOID context) {
    auto* c = static_cast<DeviceCase*>(context);
    c->log.Add("item on " + ThreadName() + " at " + Irql());
    KeSetEvent(&c->started, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = c->waitFor;
    c->log.Add("wait " + std::to_string(KeWaitForSingleObject(&c->set, Executive, KernelMode, FALSE, &timeout)));
    KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
}

TEST(RealTimeDevice, the_thread_that_took_the_input_runs_its_work_and_takes_input_while_the_work_waits) {
    struct Row {
        const char* name;
        const char* whileWaiting;  // written once the item waits
        LONGLONG waitFor;
        std::vector<std::string> expected;
    };
    const std::vector<Row> rows = {
        // Only the device thread reads the pipe: without input taken during the wait, the item
        // would wait out its 5 s.
        {"the input the wait needs comes while it waits", "s", -5000 * 10000,
         {"item on device at 0", "wait 0"}},
        {"input that sets nothing: the wait goes on to its own deadline", "xx", -50 * 10000,
         {"item on device at 0", "wait 258"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ResetDrivers();
        Options o;
        o.mode = TimeMode::Real;
        Kernel k(o);
        PDRIVER_OBJECT bus = LoadBus(k);
        PDEVICE_OBJECT pdo = CreateBusDevice(k, bus, "\\Device\\Input");
        DeviceCase c;
        c.waitFor = row.waitFor;
        ASSERT_EQ(::pipe(c.pipe), 0);
        ASSERT_EQ(fcntl(c.pipe[0], F_SETFL, O_NONBLOCK), 0);
        c.item = IoAllocateWorkItem(pdo);
        ASSERT_NE(c.item, nullptr);
        KeInitializeEvent(&c.set, NotificationEvent, FALSE);
        KeInitializeEvent(&c.started, NotificationEvent, FALSE);
        KeInitializeEvent(&c.done, NotificationEvent, FALSE);
        const std::function<void()> isr = [&c] {
            char b[8];
            const ssize_t n = read(c.pipe[0], b, sizeof b);
            for (ssize_t i = 0; i < n; ++i) {
                if (b[i] == 'w') IoQueueWorkItem(c.item, WaitingItem, CriticalWorkQueue, &c);
                if (b[i] == 's') KeSetEvent(&c.set, IO_NO_INCREMENT, FALSE);
                if (b[i] == 'q') c.quit = true;
            }
        };
        const Kernel::ThreadId device = k.Spawn("device", [&] {
            while (!c.quit) {
                pollfd fd{c.pipe[0], POLLIN, 0};
                if (poll(&fd, 1, -1) == 1) k.ServeDevice(c.pipe[0], isr);
            }
        });
        LARGE_INTEGER bound;
        bound.QuadPart = -10000 * 10000;  // a bound, not an expectation
        ASSERT_EQ(write(c.pipe[1], "w", 1), 1);
        ASSERT_EQ(KeWaitForSingleObject(&c.started, Executive, KernelMode, FALSE, &bound), STATUS_SUCCESS);
        const size_t n = std::strlen(row.whileWaiting);
        ASSERT_EQ(write(c.pipe[1], row.whileWaiting, n), static_cast<ssize_t>(n));
        ASSERT_EQ(KeWaitForSingleObject(&c.done, Executive, KernelMode, FALSE, &bound), STATUS_SUCCESS);
        ASSERT_EQ(write(c.pipe[1], "q", 1), 1);
        k.Join(device);
        IoFreeWorkItem(c.item);
        close(c.pipe[0]);
        close(c.pipe[1]);
        EXPECT_TRUE(k.Shutdown().empty());
        EXPECT_EQ(c.log.lines, row.expected);
    }
    ResetDrivers();
}

}  // namespace

// The dispatcher lock under contention: more threads than processors, each yielding its processor
// now and then while it holds the lock, so that the others run out of spinning and sleep on it.
// Each holder is alone, and every sleeper is woken: the count comes out whole and the run ends.
TEST(RealTimeDispatcherLock, each_holder_is_alone_and_every_sleeper_is_woken) {
    DispatcherLock lock;
    constexpr int kThreads = 4, kRounds = 20000;
    long counter = 0;
    int inside = 0, overlaps = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int r = 0; r < kRounds; ++r) {
                std::unique_lock<DispatcherLock> hold(lock);
                if (++inside != 1) ++overlaps;
                ++counter;
                if (r % 32 == 0) std::this_thread::yield();
                --inside;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, long(kThreads) * kRounds);
    EXPECT_EQ(overlaps, 0);
    EXPECT_TRUE(lock.try_lock());
    EXPECT_FALSE(lock.try_lock());
    lock.unlock();
}

// The clock thread sleeps to the earliest deadline, or without one when no timer is set. A timer
// due before that deadline wakes it: it fires in its own time, not with the later one; the later
// one stays unfired. The shutdown wakes a clock that sleeps to a deadline an hour away (a lost
// wake-up would hold the test that hour, and ctest names it).
TEST(RealTimeClock, a_timer_due_before_the_clocks_sleep_wakes_it_and_so_does_the_shutdown) {
    constexpr uint64_t kHourNs = 3'600'000'000'000ull, kSoonNs = 20'000'000ull;
    struct Row {
        const char* name;
        bool hourFirst;  // the hour's timer is set, and the clock asleep to it, before the soon one
        bool hourLeft;   // the hour's timer is still set at the shutdown
    };
    const Row rows[] = {
        {"no timer set: the clock sleeps without a deadline", false, false},
        {"an hour's timer set: the clock sleeps to it", true, true},
        {"an hour's timer set, then cancelled", true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Options o;
        o.mode = TimeMode::Real;
        Kernel k(o);
        std::atomic<bool> hourFired{false};
        Kernel::TimerId hour{};
        if (row.hourFirst) {
            hour = k.At(kHourNs, [&] { hourFired = true; });
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the clock goes to sleep
        }
        std::promise<void> soon;
        k.At(kSoonNs, [&] { soon.set_value(); });
        EXPECT_EQ(soon.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
        if (!row.hourFirst) hour = k.At(kHourNs, [&] { hourFired = true; });
        if (!row.hourLeft) {
            EXPECT_TRUE(k.CancelAt(hour));
        }
        EXPECT_FALSE(hourFired.load());
        EXPECT_TRUE(k.Shutdown().empty());
    }
}
