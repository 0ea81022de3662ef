// Real time: deferred procedure calls and Kernel::At callbacks run by the thread that queued them
// when it is below DISPATCH_LEVEL (at once) or holds a spin lock (when it lets its IRQL down),
// one at a time, in order, and by the DPC thread when a thread that is no platform thread queued
// them; an operating-system thread adopted for a call, and what it leaves.
#include "internal.h"

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

}  // namespace
