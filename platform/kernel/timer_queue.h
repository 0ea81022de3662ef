// The kernel's timers: every delay, wait with a time-out, KTIMER and Kernel::At callback is one
// entry here.  A simulated line sets a timer or two for every character it carries, so setting,
// cancelling and firing one must not go to the heap: callbacks live in slots that are reused, and
// the order is a binary heap of (deadline, serial, slot) kept apart from them, so that sifting
// touches one array.
//
// Timers fire by deadline, and timers with the same deadline in the order they were set; seeded
// runs depend on that order.
#pragma once

#include "inline_callback.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace lmscr::kernel {

// Names one setting of a timer; stays harmless to cancel after the timer has fired or its slot
// has been reused.
struct TimerKey {
    uint32_t slot = 0;
    uint64_t serial = 0;  // 0: no timer
};

class TimerQueue {
public:
    // Room for a callback that captures a few pointers and a Kernel::At callable (a larger one
    // is boxed on the heap).
    static constexpr size_t kCallbackBytes = 112;

    TimerQueue() = default;
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    template <class F>
    TimerKey Add(uint64_t deadlineNs, F&& fn) {
        uint32_t index;
        if (free_.empty()) {
            index = static_cast<uint32_t>(slots_.size());
            slots_.emplace_back();
        } else {
            index = free_.back();
            free_.pop_back();
        }
        Slot& s = slots_[index];
        s.serial = ++serial_;
        s.fn.Emplace(std::forward<F>(fn));
        heap_.push_back(Entry{deadlineNs, s.serial, index});
        SiftUp(heap_.size() - 1);
        return TimerKey{index, s.serial};
    }

    // True when the timer was still waiting; its callback is destroyed without running.
    bool Cancel(TimerKey key) {
        if (key.serial == 0 || key.slot >= slots_.size()) return false;
        Slot& s = slots_[key.slot];
        if (s.serial != key.serial || s.heapIndex == kNotQueued) return false;
        RemoveAt(s.heapIndex);
        Release(key.slot);
        return true;
    }

    bool Empty() const { return heap_.empty(); }
    size_t Size() const { return heap_.size(); }
    // The earliest deadline; only when not Empty.
    uint64_t NextDeadline() const { return heap_[0].deadline; }

    // Takes the earliest timer out of the queue and runs its callback, which may set and cancel
    // timers (cancelling itself does nothing).  Only when not Empty.
    void FireNext() {
        const uint32_t index = heap_[0].slot;
        RemoveAt(0);
        // Out of the slot first: the callback may set timers, which may grow slots_.
        Callback fn;
        fn.TakeFrom(slots_[index].fn);
        free_.push_back(index);
        fn.Invoke();
    }

private:
    static constexpr size_t kNotQueued = SIZE_MAX;

    using Callback = InlineCallback<kCallbackBytes>;

    struct Slot {
        Slot() = default;
        // When slots_ grows: a waiting timer's callback moves with its slot.
        Slot(Slot&& other) noexcept : serial(other.serial), heapIndex(other.heapIndex) {
            if (!other.fn.Empty()) fn.TakeFrom(other.fn);
        }
        uint64_t serial = 0;
        size_t heapIndex = kNotQueued;
        Callback fn;
    };

    struct Entry {
        uint64_t deadline;
        uint64_t serial;
        uint32_t slot;
    };

    static bool Before(const Entry& x, const Entry& y) {
        return x.deadline < y.deadline || (x.deadline == y.deadline && x.serial < y.serial);
    }

    void Place(size_t i, const Entry& e) {
        heap_[i] = e;
        slots_[e.slot].heapIndex = i;
    }

    void SiftUp(size_t i) {
        const Entry index = heap_[i];
        while (i > 0) {
            const size_t parent = (i - 1) / 2;
            if (!Before(index, heap_[parent])) break;
            Place(i, heap_[parent]);
            i = parent;
        }
        Place(i, index);
    }

    void SiftDown(size_t i) {
        const Entry index = heap_[i];
        const size_t n = heap_.size();
        for (;;) {
            size_t child = 2 * i + 1;
            if (child >= n) break;
            if (child + 1 < n && Before(heap_[child + 1], heap_[child])) ++child;
            if (!Before(heap_[child], index)) break;
            Place(i, heap_[child]);
            i = child;
        }
        Place(i, index);
    }

    void RemoveAt(size_t i) {
        const uint32_t removed = heap_[i].slot;
        const Entry last = heap_.back();
        heap_.pop_back();
        slots_[removed].heapIndex = kNotQueued;
        if (i == heap_.size()) return;
        Place(i, last);
        if (i > 0 && Before(last, heap_[(i - 1) / 2]))
            SiftUp(i);
        else
            SiftDown(i);
    }

    // The callback goes before the slot is free again, so that what it captured (a
    // std::function, a shared pointer) ends while the queue is consistent.
    void Release(uint32_t index) {
        slots_[index].fn.Reset();
        free_.push_back(index);
    }

    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;
    std::vector<Entry> heap_;
    uint64_t serial_ = 0;
};

}  // namespace lmscr::kernel
