// Events, waits, delays, timers, DPCs, spin locks and the virtual clock.
#include "test_drivers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace lmscr::kernel;
using namespace lmscr::kernel::test;

namespace {

LARGE_INTEGER RelativeMs(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

class Dispatcher : public KernelFixture {};

TEST_F(Dispatcher, wait_with_300ms_timeout_ends_at_exactly_300ms) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    const uint64_t start = k->NowNs();
    LARGE_INTEGER timeout = RelativeMs(300);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(k->NowNs() - start, 300'000'000u);
}

TEST_F(Dispatcher, zero_timeout_polls_without_waiting) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&e, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(k->NowNs(), 0u);
    // A notification event stays signalled after a satisfied wait.
    EXPECT_EQ(KeReadStateEvent(&e), 1);
}

// The verifier stops a wait at DISPATCH_LEVEL, but not a poll: code at DISPATCH_LEVEL may look
// at an object's state with a zero time-out.
TEST_F(Dispatcher, zero_timeout_poll_is_allowed_at_dispatch_level) {
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero{};
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const NTSTATUS first = KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero);
    const NTSTATUS second = KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero);
    KeLowerIrql(old);
    EXPECT_EQ(first, STATUS_SUCCESS);
    EXPECT_EQ(second, STATUS_TIMEOUT);  // the first poll consumed the synchronization event
    EXPECT_EQ(k->NowNs(), 0u);
}

TEST_F(Dispatcher, absolute_timeout_is_a_point_on_the_system_clock) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    k->Sleep(10);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER at;
    at.QuadPart = now.QuadPart + 25 * 10000;  // 25 ms from now
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
    EXPECT_EQ(k->NowNs(), 35'000'000u);
}

TEST_F(Dispatcher, set_event_wakes_the_waiter_at_the_moment_it_is_set) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    uint64_t wokeAt = 0;
    auto t = k->Spawn("waiter", [&] {
        EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        wokeAt = k->NowNs();
    });
    k->Sleep(42);
    KeSetEvent(&e, 0, FALSE);
    k->Join(t);
    EXPECT_EQ(wokeAt, 42'000'000u);
}

TEST_F(Dispatcher, notification_event_releases_every_waiter_synchronization_event_one) {
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    int woken = 0;
    std::vector<Kernel::ThreadId> threads;
    for (int i = 0; i < 3; ++i)
        threads.push_back(k->Spawn("n" + std::to_string(i), [&] {
            KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr);
            ++woken;
        }));
    k->Sleep(1);
    KeSetEvent(&notification, 0, FALSE);
    for (auto t : threads) k->Join(t);
    EXPECT_EQ(woken, 3);

    int syncWoken = 0;
    LARGE_INTEGER limit = RelativeMs(100);
    auto a = k->Spawn("s1", [&] {
        if (KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &limit) == STATUS_SUCCESS)
            ++syncWoken;
    });
    auto b = k->Spawn("s2", [&] {
        if (KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &limit) == STATUS_SUCCESS)
            ++syncWoken;
    });
    k->Sleep(1);
    KeSetEvent(&synchronization, 0, FALSE);
    k->Join(a);
    k->Join(b);
    EXPECT_EQ(syncWoken, 1);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);  // the signal went to the waiter
}

TEST_F(Dispatcher, wait_all_needs_every_object_wait_any_names_the_first) {
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    PVOID both[2] = {&a, &b};
    NTSTATUS allResult = STATUS_PENDING;
    uint64_t allAt = 0;
    auto t = k->Spawn("all", [&] {
        allResult = KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
        allAt = k->NowNs();
    });
    k->Sleep(5);
    KeSetEvent(&a, 0, FALSE);
    k->Sleep(5);
    EXPECT_EQ(allResult, STATUS_PENDING);
    KeSetEvent(&b, 0, FALSE);
    k->Join(t);
    EXPECT_EQ(allResult, STATUS_WAIT_0);
    EXPECT_EQ(allAt, 10'000'000u);
    EXPECT_EQ(KeReadStateEvent(&b), 0);

    KeSetEvent(&b, 0, FALSE);
    KeClearEvent(&a);
    EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0 + 1);
}

// DbgPrint: formatted, its line end taken off, handed to the sink with the virtual time; with no
// sink set nothing reaches it.
TEST_F(Dispatcher, debug_print_hands_each_line_to_the_sink_at_its_virtual_time) {
    std::vector<std::pair<std::optional<uint64_t>, std::string>> lines;
    SetDebugPrintSink(
        [](void* context, std::optional<uint64_t> at, const char* text) {
            static_cast<decltype(lines)*>(context)->emplace_back(at, text);
        },
        &lines);
    DbgPrint("lmscr!Test: %s %02X\n", "byte", 0x3F);
    k->Sleep(7);
    DbgPrint("second\r\n");
    SetDebugPrintSink(nullptr, nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], (std::pair<std::optional<uint64_t>, std::string>{0u, "lmscr!Test: byte 3F"}));
    EXPECT_EQ(lines[1], (std::pair<std::optional<uint64_t>, std::string>{7'000'000u, "second"}));
}

// DbgPrint reads its arguments as the platform passes them (8-byte slots, a long of 32 bits): the
// conversions the driver's lines use and their neighbours, each line against what it must read.
TEST_F(Dispatcher, debug_print_reads_the_arguments_of_the_platform_convention) {
    std::vector<std::string> lines;
    SetDebugPrintSink([](void* context, std::optional<uint64_t>,
                         const char* text) { static_cast<std::vector<std::string>*>(context)->push_back(text); },
                      &lines);
    const ULONG status = 0xC0000185;
    DbgPrint("%02X %02X %08X %u %s", 0x3B, 0xFF, status, 7u, "T=1");
    DbgPrint("%lx %lu %ld %d %i", 0xFFFFFFFFu, 4000000000u, -2, -17, 42);
    DbgPrint("%I64x %llu %Iu", 0x123456789ABCDEFull, 18446744073709551615ull, static_cast<SIZE_T>(1) << 40);
    DbgPrint("[%5s|%-5s|%.2s|%*d|%-*u|%c%%|%o]", "ab", "cd", "efgh", 4, 9, 3, 1u, 'Z', 8u);
    DbgPrint("%hx %hhu %s", 0x1234, 200, static_cast<const char*>(nullptr));
    DbgPrint("%wZ stays");
    SetDebugPrintSink(nullptr, nullptr);
    const std::vector<std::string> expected = {
        "3B FF C0000185 7 T=1",
        "ffffffff 4000000000 -2 -17 42",
        "123456789abcdef 18446744073709551615 1099511627776",
        "[   ab|cd   |ef|   9|1  |Z%|10]",
        "1234 200 (null)",
        "%wZ stays",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(Dispatcher, stall_moves_the_clock_without_giving_the_processor_away) {
    bool otherRan = false;
    k->Spawn("other", [&] { otherRan = true; });
    // Ready but not yet run: a stall must not let it in.  (Raise the IRQL so that nothing in
    // between is a scheduling point for this thread either.)
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const bool before = otherRan;
    KeStallExecutionProcessor(50);
    const bool after = otherRan;
    KeLowerIrql(old);
    EXPECT_EQ(before, after);
    EXPECT_EQ(k->NowNs(), 50'000u);
    k->Sleep(1);
    EXPECT_TRUE(otherRan);
}

TEST_F(Dispatcher, timer_runs_its_dpc_at_dispatch_level_when_due_and_periodic_timers_repeat) {
    struct Seen {
        std::vector<uint64_t> times;
        KIRQL irql = PASSIVE_LEVEL;
    } seen;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, [](PKDPC, PVOID ctx, PVOID, PVOID) NTAPI {
        auto* s = static_cast<Seen*>(ctx);
        s->times.push_back(Kernel::Current()->NowNs());
        s->irql = KeGetCurrentIrql();
    }, &seen);
    LARGE_INTEGER due = RelativeMs(20);
    EXPECT_FALSE(KeSetTimerEx(&timer, due, 10, &dpc));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(k->NowNs(), 20'000'000u);
    k->Sleep(25);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    k->Sleep(50);
    EXPECT_EQ(seen.times, (std::vector<uint64_t>{20'000'000, 30'000'000, 40'000'000}));
    EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
}

// DPCs run on a processor of their own here.  While that processor is busy in another DPC (held
// up on a spin lock that this thread owns), a DPC queued twice is still queued the second time.
TEST_F(Dispatcher, dpc_queued_while_still_queued_runs_once) {
    struct Shared {
        KSPIN_LOCK lock;
        int runs = 0;
    } shared;
    KeInitializeSpinLock(&shared.lock);
    KDPC blocker, counted;
    KeInitializeDpc(&blocker, [](PKDPC, PVOID ctx, PVOID, PVOID) NTAPI {
        auto* s = static_cast<Shared*>(ctx);
        KeAcquireSpinLockAtDpcLevel(&s->lock);
        KeReleaseSpinLockFromDpcLevel(&s->lock);
    }, &shared);
    KeInitializeDpc(&counted, [](PKDPC, PVOID ctx, PVOID, PVOID) NTAPI { ++static_cast<Shared*>(ctx)->runs; }, &shared);
    KIRQL old;
    KeAcquireSpinLock(&shared.lock, &old);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    KeLowerIrql(PASSIVE_LEVEL);  // let the DPC processor reach the lock (we still own it)
    k->Sleep(1);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&counted, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&counted, nullptr, nullptr));
    KeReleaseSpinLock(&shared.lock, PASSIVE_LEVEL);
    k->Sleep(1);
    EXPECT_EQ(shared.runs, 1);
}

// Two threads add to a counter under a spin lock and call into switch points inside it; with the
// lock the count is exact under every interleaving the seeds produce.
TEST(SpinLock, guards_a_counter_under_many_seeds) {
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        Options o;
        o.seed = seed;
        Kernel k(o);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KEVENT tick;
        KeInitializeEvent(&tick, NotificationEvent, FALSE);
        int counter = 0;
        auto body = [&] {
            for (int i = 0; i < 50; ++i) {
                KIRQL irql;
                KeAcquireSpinLock(&lock, &irql);
                int v = counter;
                KeSetEvent(&tick, 0, FALSE);  // a switch point while the lock is held
                counter = v + 1;
                KeReleaseSpinLock(&lock, irql);
            }
        };
        auto a = k.Spawn("a", body);
        auto b = k.Spawn("b", body);
        k.Join(a);
        k.Join(b);
        EXPECT_EQ(counter, 100) << "seed " << seed;
        EXPECT_TRUE(k.Shutdown().empty());
    }
}

// Without the lock the same code loses updates under some seed: the scheduler really does
// interleave threads at switch points.
TEST(Scheduler, switch_points_interleave_threads) {
    bool lost = false;
    for (uint64_t seed = 1; seed <= 40 && !lost; ++seed) {
        Options o;
        o.seed = seed;
        Kernel k(o);
        KEVENT tick;
        KeInitializeEvent(&tick, NotificationEvent, FALSE);
        int counter = 0;
        auto body = [&] {
            for (int i = 0; i < 50; ++i) {
                int v = counter;
                KeSetEvent(&tick, 0, FALSE);
                counter = v + 1;
            }
        };
        auto a = k.Spawn("a", body);
        auto b = k.Spawn("b", body);
        k.Join(a);
        k.Join(b);
        lost = counter != 100;
        EXPECT_TRUE(k.Shutdown().empty());
    }
    EXPECT_TRUE(lost);
}

std::vector<std::string> RunTracedScenario(uint64_t seed, int* result) {
    Options o;
    o.seed = seed;
    o.trace = true;
    Kernel k(o);
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    k.Name(&ping, "ping");
    k.Name(&pong, "pong");
    int sum = 0;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    auto worker = [&](int weight) {
        for (int i = 0; i < 20; ++i) {
            KIRQL irql;
            KeAcquireSpinLock(&lock, &irql);
            sum += weight;
            KeReleaseSpinLock(&lock, irql);
            KeSetEvent(weight == 1 ? &ping : &pong, 0, FALSE);
        }
    };
    auto a = k.Spawn("one", [&] { worker(1); });
    auto b = k.Spawn("two", [&] { worker(2); });
    auto c = k.Spawn("listener", [&] {
        LARGE_INTEGER t = RelativeMs(1);
        for (int i = 0; i < 10; ++i) KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, &t);
    });
    k.Join(a);
    k.Join(b);
    k.Join(c);
    *result = sum;
    auto trace = k.Trace();
    EXPECT_TRUE(k.Shutdown().empty());
    return trace;
}

TEST(Scheduler, same_seed_same_trace_other_seed_other_interleaving_same_result) {
    int r1 = 0, r2 = 0, r3 = 0;
    auto first = RunTracedScenario(7, &r1);
    auto again = RunTracedScenario(7, &r2);
    EXPECT_EQ(first, again);
    EXPECT_FALSE(first.empty());
    bool differs = false;
    for (uint64_t seed = 8; seed < 20 && !differs; ++seed) {
        auto other = RunTracedScenario(seed, &r3);
        EXPECT_EQ(r3, 60);
        differs = other != first;
    }
    EXPECT_TRUE(differs);
    EXPECT_EQ(r1, 60);
    EXPECT_EQ(r2, 60);
}

TEST(Scheduler, seed_comes_from_the_environment) {
    setenv("LMSCR_SEED", "12345", 1);
    EXPECT_EQ(Options::SeedFromEnvironment(1), 12345u);
    setenv("LMSCR_SEED", "0x10", 1);
    EXPECT_EQ(Options::SeedFromEnvironment(1), 16u);
    unsetenv("LMSCR_SEED");
    EXPECT_EQ(Options::SeedFromEnvironment(9), 9u);
}

void TwoThreadsWaitingForEachOther() {
    Kernel k;
    KEVENT first, second;
    KeInitializeEvent(&first, NotificationEvent, FALSE);
    KeInitializeEvent(&second, NotificationEvent, FALSE);
    k.Name(&first, "event-first");
    k.Name(&second, "event-second");
    auto a = k.Spawn("alpha", [&] {
        KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&second, 0, FALSE);
    });
    auto b = k.Spawn("beta", [&] {
        KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&first, 0, FALSE);
    });
    k.Join(a);
    k.Join(b);
}

TEST(SchedulerDeathTest, deadlock_between_two_threads_is_reported_with_both_names) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(TwoThreadsWaitingForEachOther(),
                 "DEADLOCK(.|\n)*\"alpha\" blocked waiting for event-first(.|\n)*\"beta\" blocked waiting for "
                 "event-second");
}

}  // namespace
