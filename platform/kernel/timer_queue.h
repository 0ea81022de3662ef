// The kernel's timers: every delay, wait with a time-out, KTIMER and Kernel::At callback is one
// entry here.  A simulated line sets a timer or two for every character it carries, so setting,
// cancelling and firing one must not go to the heap: callbacks live in slots that are reused, and
// the order is a four-way heap of (deadline, serial, slot) kept apart from them, so that sifting
// touches one array (and the slots' places in it, a second).  Most timers are set for the next
// character of a line while the long time-outs of drivers wait in the heap, so a new timer
// usually rises to near the top: four ways halve the levels it passes.
//
// Timers fire by deadline, and timers with the same deadline in the order they were set; seeded
// runs depend on that order.
#pragma once

#include "inline_callback.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
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
    static constexpr uint32_t kNoSlot = UINT32_MAX;
    using Callback = InlineCallback<kCallbackBytes>;

    TimerQueue() = default;
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    // A timer whose callback runs on the thread that finds it due (FireNext).
    template <class F>
    TimerKey Add(uint64_t deadlineNs, F&& fn) {
        const uint32_t index = NewSlot();
        Slot& s = SlotAt(index);
        s.deferred = false;
        s.fn.Emplace(std::forward<F>(fn));
        return Queue(deadlineNs, index);
    }

    // A timer whose callback is handed on when due (FireNext returns its slot) and run later by
    // RunDeferred: the callable stays where it is, in its slot, until Release.  `fill` puts it
    // into the slot's empty callback.
    template <class Fill>
    TimerKey AddDeferredWith(uint64_t deadlineNs, Fill&& fill) {
        const uint32_t index = NewSlot();
        Slot& s = SlotAt(index);
        s.deferred = true;
        fill(s.fn);
        return Queue(deadlineNs, index);
    }
    template <size_t N>
    TimerKey AddDeferred(uint64_t deadlineNs, InlineCallback<N>& fn) {
        return AddDeferredWith(deadlineNs, [&](Callback& slot) { slot.TakeFrom(fn); });
    }

    // A deferred callback due at once: never on the clock, its slot handed on by the caller.
    template <class Fill>
    uint32_t ReserveWith(Fill&& fill) {
        const uint32_t index = NewSlot();
        Slot& s = SlotAt(index);
        s.deferred = true;
        s.serial = ++serial_;
        fill(s.fn);
        return index;
    }

    // True when the timer was still waiting; its callback is destroyed without running.  A
    // deferred timer that has been handed on can no longer be cancelled.
    bool Cancel(TimerKey key) {
        if (key.serial == 0 || key.slot >= slotCount_) return false;
        Slot& s = SlotAt(key.slot);
        if (s.serial != key.serial || place_[key.slot] == kNotQueued) return false;
        RemoveAt(place_[key.slot]);
        Release(key.slot);
        return true;
    }

    // Sets a waiting timer again for `deadlineNs`, as a cancel and a new Add of the same callback
    // would (it takes the place among timers of its deadline that a new timer would), without
    // touching the heap when the new deadline is later: the entry stays at the old deadline
    // and is put back at the new one when it gets to the top.  False when the timer is no
    // longer waiting; `key` names the timer's new setting.
    bool Rekey(TimerKey& key, uint64_t deadlineNs) {
        if (key.serial == 0 || key.slot >= slotCount_) return false;
        Slot& s = SlotAt(key.slot);
        const uint32_t at = place_[key.slot];
        if (s.serial != key.serial || at == kNotQueued) return false;
        s.serial = ++serial_;
        s.deadline = deadlineNs;
        key.serial = s.serial;
        if (deadlineNs < heap_[at].deadline) {
            heap_[at] = MakeEntry(deadlineNs, s.serial, key.slot);
            SiftUp(at);
            next_ = heap_[0].deadline;
        }
        return true;
    }

    bool Empty() const { return heap_.empty(); }
    size_t Size() const { return heap_.size(); }
    // The earliest deadline; only when not Empty.
    uint64_t NextDeadline() const { return heap_[0].deadline; }
    // The same, UINT64_MAX when Empty: what a switch point compares the clock with.
    uint64_t NextDeadlineOrNever() const { return next_; }

    // Takes the earliest timer out of the queue (only when not Empty).  A timer of Add runs
    // here, in its slot (slots never move), and may set and cancel timers (cancelling itself
    // does nothing); kNoSlot is returned.  A deferred timer's slot is returned, to be handed on.
    // A timer set again for later (Rekey) goes back into the heap instead (kNoSlot).
    uint32_t FireNext() {
        const uint32_t index = heap_[0].Slot();
        Slot& s = SlotAt(index);
        if (heap_[0].order != MakeEntry(0, s.serial, index).order) {
            heap_[0] = MakeEntry(s.deadline, s.serial, index);
            SiftDown(0);
            next_ = heap_[0].deadline;
            return kNoSlot;
        }
        RemoveAt(0);
        if (s.deferred) return index;
        s.fn.Invoke();
        Release(index);
        return kNoSlot;
    }

    // The callback of a deferred timer handed on by FireNext or Reserve, to be run where it is
    // (its slot stays taken until Release, so it may set timers meanwhile; slots never move, so
    // it may run without the lock that guards the queue).
    Callback& Deferred(uint32_t index) { return SlotAt(index).fn; }

    // Frees a slot that is not queued (run or handed on).  The callback goes before the slot
    // is free again, so that what it captured (a std::function, a shared pointer) ends while
    // the queue is consistent.
    void Release(uint32_t index) {
        Slot& s = SlotAt(index);
        s.fn.Reset();
        s.serial = 0;
        free_.push_back(index);
    }

private:
    static constexpr uint32_t kNotQueued = UINT32_MAX;
    static constexpr size_t kWays = 4;
    // Slots live in chunks that never move, so that a callback can run where it is while the
    // callbacks it runs set more timers.
    static constexpr uint32_t kChunkBits = 7;
    static constexpr uint32_t kChunkSlots = 1u << kChunkBits;

    struct Slot {
        uint64_t serial = 0;
        uint64_t deadline = 0;
        bool deferred = false;
        Callback fn;
    };

    // Sixteen bytes: the deadline, then the setting's serial and the slot in one word, the
    // serial above (so that the word orders timers of one deadline as their serials do).
    static constexpr unsigned kEntrySlotBits = 24;
    struct Entry {
        uint64_t deadline;
        uint64_t order;
        uint32_t Slot() const { return static_cast<uint32_t>(order & ((uint64_t{1} << kEntrySlotBits) - 1)); }
    };
    static Entry MakeEntry(uint64_t deadline, uint64_t serial, uint32_t slot) {
        return Entry{deadline, serial << kEntrySlotBits | slot};
    }

    Slot& SlotAt(uint32_t index) { return chunks_[index >> kChunkBits][index & (kChunkSlots - 1)]; }

    [[gnu::always_inline]] uint32_t NewSlot() {
        if (!free_.empty()) [[likely]] {
            const uint32_t index = free_.back();
            free_.pop_back();
            return index;
        }
        return GrowSlots();
    }

    [[gnu::noinline]] uint32_t GrowSlots() {
        // An entry has room for 2^24 slots (timers waiting at once) and 2^40 settings.
        if (slotCount_ == (uint32_t{1} << kEntrySlotBits) - 1) std::abort();
        if (slotCount_ == chunks_.size() * kChunkSlots) {
            chunks_.push_back(std::make_unique<Slot[]>(kChunkSlots));
            place_.resize(chunks_.size() * kChunkSlots, kNotQueued);
        }
        return slotCount_++;
    }

    TimerKey Queue(uint64_t deadlineNs, uint32_t index) {
        Slot& s = SlotAt(index);
        s.serial = ++serial_;
        s.deadline = deadlineNs;
        heap_.push_back(MakeEntry(deadlineNs, s.serial, index));
        SiftUp(heap_.size() - 1);
        next_ = heap_[0].deadline;
        return TimerKey{index, s.serial};
    }

    static bool Before(const Entry& x, const Entry& y) {
        return x.deadline < y.deadline || (x.deadline == y.deadline && x.order < y.order);
    }

    void Place(size_t i, const Entry& e) {
        heap_[i] = e;
        place_[e.Slot()] = static_cast<uint32_t>(i);
    }

    void SiftUp(size_t i) {
        const Entry moving = heap_[i];
        while (i > 0) {
            const size_t parent = (i - 1) / kWays;
            if (!Before(moving, heap_[parent])) break;
            Place(i, heap_[parent]);
            i = parent;
        }
        Place(i, moving);
    }

    void SiftDown(size_t i) {
        const Entry moving = heap_[i];
        const size_t n = heap_.size();
        for (;;) {
            const size_t first = kWays * i + 1;
            if (first >= n) break;
            size_t best = first;
            const size_t end = first + kWays < n ? first + kWays : n;
            for (size_t c = first + 1; c < end; ++c)
                if (Before(heap_[c], heap_[best])) best = c;
            if (!Before(heap_[best], moving)) break;
            Place(i, heap_[best]);
            i = best;
        }
        Place(i, moving);
    }

    void RemoveAt(size_t i) {
        const uint32_t removed = heap_[i].Slot();
        const Entry last = heap_.back();
        heap_.pop_back();
        place_[removed] = kNotQueued;
        if (i < heap_.size()) {
            Place(i, last);
            if (i > 0 && Before(last, heap_[(i - 1) / kWays]))
                SiftUp(i);
            else
                SiftDown(i);
        }
        next_ = heap_.empty() ? UINT64_MAX : heap_[0].deadline;
    }

    std::vector<std::unique_ptr<Slot[]>> chunks_;
    uint32_t slotCount_ = 0;
    std::vector<uint32_t> place_;  // a slot's index in heap_, kNotQueued when not there
    std::vector<uint32_t> free_;
    std::vector<Entry> heap_;
    uint64_t next_ = UINT64_MAX;  // heap_[0]'s deadline, UINT64_MAX when there is none
    uint64_t serial_ = 0;
};

}  // namespace lmscr::kernel
