// A clock for tests: a queue of timers that moves only when the test moves it. Timers due
// at the same instant run in the order they were set.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

#include "sim/clock.h"

namespace lmscr::sim::testing {

class ManualClock : public Clock {
public:
    // A run that schedules without end is a bug in the code under test; stop it.
    static constexpr uint64_t kMaxEventsPerRun = 10'000'000;

    uint64_t NowNs() const override { return now_ns_; }

    TimerId After(uint64_t delay_ns, std::function<void()> fn) override {
        const TimerId id = ++next_id_;
        const Key key{now_ns_ + delay_ns, id};
        timers_.emplace(key, std::move(fn));
        due_.emplace(id, key);
        return id;
    }

    void Cancel(TimerId id) override {
        auto it = due_.find(id);
        if (it == due_.end()) return;
        timers_.erase(it->second);
        due_.erase(it);
    }

    // Runs every timer due at or before `until_ns`, then stands at `until_ns`.
    void RunUntil(uint64_t until_ns) {
        for (uint64_t n = 0; n < kMaxEventsPerRun && !timers_.empty(); ++n) {
            auto it = timers_.begin();
            if (it->first.first > until_ns) break;
            now_ns_ = it->first.first;
            std::function<void()> fn = std::move(it->second);
            due_.erase(it->first.second);
            timers_.erase(it);
            fn();
        }
        if (until_ns > now_ns_) now_ns_ = until_ns;
    }
    void RunFor(uint64_t duration_ns) { RunUntil(now_ns_ + duration_ns); }

    std::optional<uint64_t> NextDueNs() const {
        if (timers_.empty()) return std::nullopt;
        return timers_.begin()->first.first;
    }
    size_t PendingTimers() const { return timers_.size(); }

private:
    using Key = std::pair<uint64_t, TimerId>;
    uint64_t now_ns_ = 0;
    TimerId next_id_ = 0;
    std::map<Key, std::function<void()>> timers_;
    std::unordered_map<TimerId, Key> due_;
};

}  // namespace lmscr::sim::testing
