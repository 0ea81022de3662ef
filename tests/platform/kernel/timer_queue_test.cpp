// The kernel's timer queue: firing order (deadline, then the order the timers were set), cancels
// before, during and after firing, slots reused without a stale key reaching the new timer, a
// timer set again in one step (as a cancel and a new timer would fire it), and callbacks handed
// on to run later in slots that never move.
#include "timer_queue.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lmscr::kernel {
namespace {

struct Case {
    const char* what;
    std::vector<uint64_t> deadlines;  // timer i is set with deadlines[i]
    std::vector<size_t> cancelled;    // cancelled before anything fires
    std::vector<size_t> order;        // what fires, in order
};

TEST(TimerQueue, fires_by_deadline_then_in_the_order_the_timers_were_set) {
    const Case cases[] = {
        {"one", {5}, {}, {0}},
        {"deadlines out of order", {30, 10, 20}, {}, {1, 2, 0}},
        {"ties in setting order", {7, 7, 7, 7}, {}, {0, 1, 2, 3}},
        {"ties among others", {9, 3, 9, 3, 1, 9}, {}, {4, 1, 3, 0, 2, 5}},
        {"cancel the earliest", {1, 2, 3}, {0}, {1, 2}},
        {"cancel inside the heap", {4, 1, 4, 2, 4, 3}, {2, 3}, {1, 5, 0, 4}},
        {"cancel all", {2, 1}, {0, 1}, {}},
    };
    for (const Case& c : cases) {
        TimerQueue q;
        std::vector<size_t> fired;
        std::vector<TimerKey> keys;
        for (size_t i = 0; i < c.deadlines.size(); ++i)
            keys.push_back(q.Add(c.deadlines[i], [&fired, i] { fired.push_back(i); }));
        for (size_t i : c.cancelled) EXPECT_TRUE(q.Cancel(keys[i])) << c.what;
        for (size_t i : c.cancelled) EXPECT_FALSE(q.Cancel(keys[i])) << c.what << ": a second cancel";
        EXPECT_EQ(q.Size(), c.deadlines.size() - c.cancelled.size()) << c.what;
        while (!q.Empty()) q.FireNext();
        EXPECT_EQ(fired, c.order) << c.what;
        for (const TimerKey& k : keys) EXPECT_FALSE(q.Cancel(k)) << c.what << ": cancel after the end";
    }
}

TEST(TimerQueue, callbacks_set_and_cancel_timers_and_old_keys_miss_reused_slots) {
    TimerQueue q;
    std::string log;
    TimerKey self, victim, later;
    // At 10 the first timer cancels itself (nothing), cancels the one at 20, and sets one at 10
    // (after the other timer at 10, set before it) and one at 15.
    self = q.Add(10, [&] {
        log += "a";
        EXPECT_FALSE(q.Cancel(self));
        EXPECT_TRUE(q.Cancel(victim));
        q.Add(10, [&] { log += "c"; });
        later = q.Add(15, [&] { log += "d"; });
    });
    q.Add(10, [&] { log += "b"; });
    victim = q.Add(20, [&] { log += "x"; });
    std::vector<uint64_t> deadlines;
    while (!q.Empty()) {
        deadlines.push_back(q.NextDeadline());
        q.FireNext();
    }
    EXPECT_EQ(log, "abcd");
    EXPECT_EQ(deadlines, (std::vector<uint64_t>{10, 10, 10, 15}));

    // The slots are free again: new timers take them, and the old keys do not reach them.
    const TimerKey reused = q.Add(1, [&] { log += "e"; });
    EXPECT_EQ(q.Size(), 1u);
    for (const TimerKey& old : {self, victim, later}) EXPECT_FALSE(q.Cancel(old));
    EXPECT_TRUE(q.Cancel(reused));
    EXPECT_FALSE(q.Cancel(TimerKey{}));
    EXPECT_EQ(log, "abcd");
}

TEST(TimerQueue, what_a_callback_holds_ends_when_it_fires_or_is_cancelled) {
    TimerQueue q;
    auto held = std::make_shared<int>(0);
    std::function<void()> big = [held] { ++*held; };  // a std::function inside the callback
    const TimerKey cancelled = q.Add(5, [big] { big(); });
    q.Add(6, [big] { big(); });
    big = nullptr;
    EXPECT_EQ(held.use_count(), 3);
    EXPECT_TRUE(q.Cancel(cancelled));
    EXPECT_EQ(held.use_count(), 2);
    q.FireNext();
    EXPECT_EQ(*held, 1);
    EXPECT_EQ(held.use_count(), 1);
}


// Setting timers again with Rekey fires them exactly as cancelling them and setting new ones
// would: by the new deadline, and among timers of that deadline after those set before.
TEST(TimerQueue, a_timer_set_again_fires_as_a_cancel_and_a_new_timer_would) {
    struct Rekeyed {
        size_t timer;
        uint64_t deadline;
    };
    struct RekeyCase {
        const char* what;
        std::vector<uint64_t> deadlines;
        std::vector<Rekeyed> rekeyed;  // in this order, after every timer was set
        std::vector<size_t> order;
    };
    const RekeyCase cases[] = {
        {"later", {10, 20}, {{0, 30}}, {1, 0}},
        {"earlier", {10, 20}, {{1, 5}}, {1, 0}},
        {"the same deadline goes behind its ties", {10, 10, 10}, {{0, 10}}, {1, 2, 0}},
        {"twice, later then earlier", {10, 20, 30}, {{0, 40}, {0, 25}}, {1, 0, 2}},
        {"all of them, reversed", {1, 2, 3}, {{2, 4}, {1, 5}, {0, 6}}, {2, 1, 0}},
    };
    for (const RekeyCase& c : cases) {
        // (timer, the time it fired at), set again in one step or by a cancel and a new timer.
        auto run = [&c](bool oneStep) {
            TimerQueue q;
            std::vector<std::pair<size_t, uint64_t>> fired;
            uint64_t now = 0;
            auto fire = [&](size_t i) { return [&fired, &now, i] { fired.emplace_back(i, now); }; };
            // What a switch point compares the clock with follows every step.
            auto nextKept = [&] {
                EXPECT_EQ(q.NextDeadlineOrNever(), q.Empty() ? UINT64_MAX : q.NextDeadline()) << c.what;
            };
            std::vector<TimerKey> keys;
            for (size_t i = 0; i < c.deadlines.size(); ++i) {
                keys.push_back(q.Add(c.deadlines[i], fire(i)));
                nextKept();
            }
            for (const Rekeyed& r : c.rekeyed) {
                const TimerKey old = keys[r.timer];
                if (oneStep)
                    EXPECT_TRUE(q.Rekey(keys[r.timer], r.deadline)) << c.what;
                else
                    keys[r.timer] = q.Add(r.deadline, fire(r.timer));
                nextKept();
                EXPECT_EQ(q.Cancel(old), !oneStep) << c.what << ": the old setting";
                nextKept();
            }
            while (!q.Empty()) {
                now = q.NextDeadline();
                q.FireNext();  // an entry left at an old deadline fires nothing
                nextKept();
            }
            for (TimerKey& k : keys) EXPECT_FALSE(q.Rekey(k, 99)) << c.what << ": fired timers stay fired";
            return fired;
        };
        const auto oneStep = run(true);
        EXPECT_EQ(oneStep, run(false)) << c.what;
        std::vector<size_t> order;
        for (const auto& [timer, at] : oneStep) order.push_back(timer);
        EXPECT_EQ(order, c.order) << c.what;
    }
    // Set again for later, then cancelled: its entry at the old deadline goes too.
    TimerQueue q;
    TimerKey key = q.Add(5, [] { ADD_FAILURE(); });
    ASSERT_TRUE(q.Rekey(key, 50));
    EXPECT_TRUE(q.Cancel(key));
    EXPECT_TRUE(q.Empty());
}

// A deferred timer is handed on when due and runs later where it is; meanwhile it can no longer
// be cancelled, and timers set while it runs do not move it.
TEST(TimerQueue, a_deferred_callback_runs_in_its_slot_after_it_is_handed_on) {
    TimerQueue q;
    std::vector<std::string> log;
    InlineCallback<64> first;
    first.Emplace([&] {
        for (int i = 0; i < 1000; ++i) q.Add(100 + i, [] {});  // the slots grow by several chunks
        log.push_back("first, still in place");
    });
    const TimerKey key = q.AddDeferred(10, first);
    q.Add(10, [&] { log.push_back("plain"); });
    EXPECT_EQ(q.FireNext(), key.slot);  // handed on, not run
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(q.Cancel(key));
    EXPECT_EQ(q.FireNext(), TimerQueue::kNoSlot);  // a plain timer runs where it is found due
    q.Deferred(key.slot).Invoke();
    q.Release(key.slot);
    EXPECT_EQ(log, (std::vector<std::string>{"plain", "first, still in place"}));
    EXPECT_EQ(q.Size(), 1000u);
}

}  // namespace
}  // namespace lmscr::kernel
