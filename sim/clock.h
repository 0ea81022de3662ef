// The time that the simulated reader and its cards live in.
//
// The reader never reads a clock of its own: everything it does happens either in
// OnHostByte (a byte from the host has arrived) or in a timer it asked this clock for.
// The serial line adapter implements the clock on the kernel's virtual clock (or on the
// real clock for a pseudo-terminal); tests implement it with a small manual event queue.
#pragma once

#include <cstdint>
#include <functional>

namespace lmscr::sim {

class Clock {
public:
    virtual ~Clock() = default;
    virtual uint64_t NowNs() const = 0;
    using TimerId = uint64_t;
    // Runs fn once at NowNs() + delayNs. Timers due at the same instant must run in the
    // order they were set, so that runs stay reproducible.
    virtual TimerId After(uint64_t delayNs, std::function<void()> fn) = 0;
    // Cancelling a timer that has run or was cancelled already is harmless.
    virtual void Cancel(TimerId id) = 0;
};

}  // namespace lmscr::sim
