// User-space context switching for virtual time: every platform thread is a fiber on one
// operating-system thread, and a hand-off between two of them is a register swap, not a
// system call.  AddressSanitizer is told about every switch so that it follows the stacks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lmscr::kernel {

struct Fiber {
    void* sp = nullptr;            // saved stack pointer while the fiber is switched out
    void* stackBase = nullptr;     // lowest address of the mapping (NULL for the native stack)
    size_t stackSize = 0;
    void* asanFakeStack = nullptr;
    const void* asanBottom = nullptr;  // stack bounds as the sanitizer knows them
    size_t asanSize = 0;
};

// Allocates a stack (with a guard page below it) and prepares the fiber so that the first
// switch to it calls entry(arg).  entry must never return.
bool FiberCreate(Fiber* fiber, size_t stackSize, void (*entry)(void*), void* arg);
void FiberDestroy(Fiber* fiber);
// Saves the running context into `from` and resumes `to`.  `exiting` says that `from` will never
// be resumed (its sanitizer state can be dropped).
void FiberSwitch(Fiber* from, Fiber* to, bool exiting = false);
// Describes the running operating-system thread's own stack as a fiber to switch away from.
void FiberInitNative(Fiber* fiber);
// Must be the first call of a fiber's entry routine.
void FiberStarted(Fiber* self);

size_t DefaultFiberStackSize();

}  // namespace lmscr::kernel
