// The kernel's timer queue: firing order (deadline, then the order the timers were set), cancels
// before, during and after firing, and slots reused without a stale key reaching the new timer.
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

}  // namespace
}  // namespace lmscr::kernel
