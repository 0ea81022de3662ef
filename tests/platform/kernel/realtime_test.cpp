// Real time: deferred procedure calls and Kernel::At callbacks run by the thread that queued them
// when it is below DISPATCH_LEVEL (at once) or holds a spin lock (when it lets its IRQL down),
// one at a time, in order, and by the DPC thread when a thread that is no platform thread queued
// them; an operating-system thread adopted for a call, and what it leaves.
#include "internal.h"
#include "test_drivers.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace lmscr::kernel;

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

std::string ThreadName() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

struct DpcCase {
    const char* name;
    Log* log;
    KDPC a, b;
    std::thread::id caller;
};

// "a 2 caller": DPC a ran at IRQL 2 on the thread that queued it ("dpc" on the DPC thread).
VOID NTAPI Record(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto* c = static_cast<DpcCase*>(context);
    const char* which = dpc == &c->a ? "a" : "b";
    c->log->Add(std::string(which) + " " + std::to_string(KeGetCurrentIrql()) + " " +
                (std::this_thread::get_id() == c->caller ? "caller" : ThreadName()));
}

// DPC a queues b from inside itself: b runs after a has returned, not within it.
VOID NTAPI QueueAnother(PKDPC dpc, PVOID context, PVOID a1, PVOID a2) {
    auto* c = static_cast<DpcCase*>(context);
    c->log->Add("a starts");
    KeInsertQueueDpc(&c->b, nullptr, nullptr);
    Record(dpc, context, a1, a2);
}

struct Scenario {
    const char* name;
    // Runs in the platform thread "main", logging its own steps beside the DPCs'.
    std::function<void(DpcCase&, Log&)> run;
    std::vector<std::string> expected;
};

void Insert(PKDPC dpc, Log& log, const char* what) {
    const BOOLEAN queued = KeInsertQueueDpc(dpc, nullptr, nullptr);
    log.Add(std::string(what) + (queued ? " queued" : " refused"));
}

// Runs `held` under a spin lock of its own, then logs `afterwards` once the lock is released.
template <class F>
void UnderSpinLock(Log& log, F held, const char* afterwards) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    held();
    KeReleaseSpinLock(&lock, old);
    log.Add(afterwards);
}

TEST(RealTimeDpc, runs_on_the_queuing_thread_in_order_at_dispatch_level) {
    const std::vector<Scenario> scenarios = {
        {"below DISPATCH_LEVEL: at once, within the insert",
         [](DpcCase& c, Log& log) {
             Insert(&c.a, log, "a");
             log.Add("irql " + std::to_string(KeGetCurrentIrql()));
         },
         {"a 2 caller", "a queued", "irql 0"}},
        {"under a spin lock: when it is released, in the order queued, each once",
         [](DpcCase& c, Log& log) {
             UnderSpinLock(
                 log,
                 [&] {
                     Insert(&c.a, log, "a");
                     Insert(&c.b, log, "b");
                     Insert(&c.a, log, "a again");
                 },
                 "released");
             log.Add("irql " + std::to_string(KeGetCurrentIrql()));
         },
         {"a queued", "b queued", "a again refused", "a 2 caller", "b 2 caller", "released", "irql 0"}},
        {"raised by KeRaiseIrql: when it is lowered",
         [](DpcCase& c, Log& log) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             Insert(&c.b, log, "b");
             log.Add("lower");
             KeLowerIrql(old);
         },
         {"b queued", "lower", "b 2 caller"}},
        {"taken back before the release: never runs",
         [](DpcCase& c, Log& log) {
             UnderSpinLock(
                 log,
                 [&] {
                     Insert(&c.a, log, "a");
                     log.Add(KeRemoveQueueDpc(&c.a) ? "a removed" : "a not removed");
                 },
                 "released");
         },
         {"a queued", "a removed", "released"}},
        {"queued by a running DPC: after it, not within it",
         [](DpcCase& c, Log& log) {
             KeInitializeDpc(&c.a, QueueAnother, &c);
             Insert(&c.a, log, "a");
         },
         {"a starts", "a 2 caller", "b 2 caller", "a queued"}},
        {"a callback due at once: within At below DISPATCH_LEVEL, at the release under a lock, "
         "before the DPCs queued with it as the DPC thread takes them",
         [](DpcCase& c, Log& log) {
             Kernel& k = *Kernel::Current();
             k.At(0, [&log] { log.Add("at 1 " + std::to_string(KeGetCurrentIrql())); });
             log.Add("at 1 set");
             UnderSpinLock(
                 log,
                 [&] {
                     Insert(&c.a, log, "a");
                     k.At(0, [&log] { log.Add("at 2 " + std::to_string(KeGetCurrentIrql())); });
                 },
                 "released");
         },
         {"at 1 2", "at 1 set", "a queued", "at 2 2", "a 2 caller", "released"}},
        {"queued by a thread that is no platform thread: on the DPC thread (the shutdown waits for it)",
         [](DpcCase& c, Log&) {
             std::thread foreign([&] { KeInsertQueueDpc(&c.a, nullptr, nullptr); });
             foreign.join();
         },
         {"a 2 dpc"}},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        Options o;
        o.mode = TimeMode::Real;
        Kernel k(o);
        Log log;
        DpcCase c{s.name, &log, {}, {}, std::this_thread::get_id()};
        KeInitializeDpc(&c.a, Record, &c);
        KeInitializeDpc(&c.b, Record, &c);
        s.run(c, log);
        EXPECT_TRUE(k.Shutdown().empty());
        EXPECT_EQ(log.lines, s.expected);
    }
}

// Each row: in which kernel and from which thread a call adopts, and what the thread does as a
// platform thread. After the call the thread is no platform thread again, and a second call
// reuses the first one's record.
TEST(RealTimeAdoption, a_foreign_thread_is_a_platform_thread_for_the_call_only) {
    struct Row {
        const char* name;
        TimeMode mode;
        bool fromForeignThread;
        std::vector<std::string> expected;
    };
    const std::vector<Row> rows = {
        {"real time, a foreign thread", TimeMode::Real, true,
         {"adopted", "irql 0", "woken 0", "a 2 caller", "let go", "adopted", "let go", "records 1", "current none"}},
        {"real time, a platform thread", TimeMode::Real, false, {"not adopted", "let go", "not adopted", "let go", "records 0"}},
        {"virtual time, a foreign thread", TimeMode::Virtual, true,
         {"not adopted", "let go", "not adopted", "let go", "records 0", "current none"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Options o;
        o.mode = row.mode;
        Kernel k(o);
        Kernel::Impl& impl = k.impl();
        const size_t threadsBefore = impl.threads.size();
        Log log;
        DpcCase c{row.name, &log, {}, {}, {}};
        KeInitializeDpc(&c.a, Record, &c);
        size_t spawned = 0;
        auto calls = [&] {
            c.caller = std::this_thread::get_id();
            for (int call = 0; call < 2; ++call) {
                AdoptedThread caller(k, "caller");
                log.Add(caller.Adopted() ? "adopted" : "not adopted");
                if (caller.Adopted() && call == 0) {
                    log.Add("irql " + std::to_string(KeGetCurrentIrql()));
                    // It blocks and is woken as a platform thread, and takes a DPC it queues.
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
                log.Add("let go");
            }
            // The records the kernel made for the calls: one, or none, whatever the number of calls.
            log.Add("records " + std::to_string(impl.threads.size() - threadsBefore - spawned));
        };
        if (row.fromForeignThread) {
            std::thread foreign([&] {
                calls();
                log.Add(tlsCurrent ? "current set" : "current none");
            });
            foreign.join();
        } else {
            calls();
        }
        EXPECT_TRUE(k.Shutdown().empty());
        EXPECT_EQ(log.lines, row.expected);
    }
}

}  // namespace
