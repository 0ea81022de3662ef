// The time that the simulated reader and its cards live in.
//
// The reader never reads a clock of its own: everything it does happens either in
// OnHostByte (a byte from the host has arrived) or in a timer it asked this clock for.
// The serial line adapter implements the clock on the kernel's virtual clock (or on the
// real clock for a pseudo-terminal); tests implement it with a small manual event queue.
#pragma once

#include <cstdint>
#include <functional>
#include <type_traits>

namespace lmscr::sim {

class Clock {
public:
    virtual ~Clock() = default;
    virtual uint64_t NowNs() const = 0;
    using TimerId = uint64_t;
    // Runs fn once at NowNs() + delayNs. Timers due at the same instant must run in the
    // order they were set, so that runs stay reproducible.
    virtual TimerId After(uint64_t delayNs, std::function<void()> fn) = 0;

    // A timer callback that needs no heap: a plain function of the object that set the timer
    // and one word. The simulated line sets several timers for every character it carries;
    // a clock that can keep these in place overrides AfterCall, the others run them through
    // After. Same order rules as After.
    struct Call {
        void (*fn)(void* object, uint64_t arg);
        void* object;
        uint64_t arg;
        void operator()() const { fn(object, arg); }
    };
    virtual TimerId AfterCall(uint64_t delayNs, Call call) { return After(delayNs, call); }
    // Cancelling a timer that has run or was cancelled already is harmless.
    virtual void Cancel(TimerId id) = 0;
};

// The Call that runs object->Method(arg), or object->Method() for a method without argument.
template <auto Method, class T>
Clock::Call CallOf(T* object, uint64_t arg = 0) {
    return Clock::Call{[](void* o, uint64_t a) {
                           if constexpr (std::is_invocable_v<decltype(Method), T*, uint64_t>) {
                               (static_cast<T*>(o)->*Method)(a);
                           } else {
                               (void)a;
                               (static_cast<T*>(o)->*Method)();
                           }
                       },
                       object, arg};
}

}  // namespace lmscr::sim
