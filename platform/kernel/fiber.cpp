#include "fiber.h"
#include "sanitizer.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#if !defined(__x86_64__)
#include <ucontext.h>
#endif

namespace lmscr::kernel {

#if defined(__x86_64__)
// lmscr_fiber_switch(void** save_sp, void* load_sp): pushes the callee-saved registers and the
// floating-point control words on the current stack, stores the stack pointer, loads the other
// one and pops its registers in reverse.  A new fiber's stack is laid out so that the final
// `ret` lands in lmscr_fiber_start with r12 = entry and r13 = arg.
asm(R"(
    .text
    .globl lmscr_fiber_switch
    .type lmscr_fiber_switch,@function
lmscr_fiber_switch:
    .cfi_startproc
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .cfi_endproc
    .size lmscr_fiber_switch,.-lmscr_fiber_switch

    .globl lmscr_fiber_start
    .type lmscr_fiber_start,@function
lmscr_fiber_start:
    .cfi_startproc
    .cfi_undefined rip
    movq %r13, %rdi
    callq *%r12
    ud2
    .cfi_endproc
    .size lmscr_fiber_start,.-lmscr_fiber_start
    .section .note.GNU-stack,"",@progbits
    .text
)");
extern "C" void lmscr_fiber_switch(void** saveSp, void* loadSp);
extern "C" void lmscr_fiber_start();
#endif

size_t DefaultFiberStackSize() {
#ifdef LMSCR_ASAN
    return 1024 * 1024;  // instrumented frames are several times larger
#else
    return 256 * 1024;
#endif
}

namespace {

// Stacks of fibers that have ended, kept mapped for the next fiber of the same size.  A soak or
// a test suite makes a kernel with a handful of threads for every run, many thousand times over:
// mapping, guarding, touching and unmapping each stack anew cost a third of such a run's time.
// The guard page stays in place while a stack waits here.
class StackCache {
public:
    static StackCache& Get() {
        static StackCache* cache = new StackCache;  // never destroyed: fibers may end at exit
        return *cache;
    }
    void* Take(size_t mapping) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = stacks_.size(); i-- > 0;) {
            if (stacks_[i].size != mapping) continue;
            void* mem = stacks_[i].mem;
            stacks_[i] = stacks_.back();
            stacks_.pop_back();
            return mem;
        }
        return nullptr;
    }
    // False when the cache is full: the caller unmaps the stack.
    bool Keep(void* mem, size_t mapping) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stacks_.size() >= kMaximum) return false;
        stacks_.push_back({mem, mapping});
        return true;
    }

private:
    // Enough for the threads of a few kernels alive at once (a kernel has some ten threads).
    static constexpr size_t kMaximum = 64;
    struct Stack {
        void* mem;
        size_t size;
    };
    std::mutex mutex_;
    std::vector<Stack> stacks_;
};

}  // namespace

bool FiberCreate(Fiber* fiber, size_t stackSize, void (*entry)(void*), void* arg) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    stackSize = (stackSize + page - 1) / page * page;
    void* mem = StackCache::Get().Take(stackSize + page);
    if (!mem) {
        mem = mmap(nullptr, stackSize + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (mem == MAP_FAILED) return false;
        mprotect(mem, page, PROT_NONE);  // guard page: an overflow faults instead of corrupting
    }
    fiber->stackBase = mem;
    fiber->stackSize = stackSize + page;
    char* bottom = static_cast<char*>(mem) + page;
    fiber->asanBottom = bottom;
    fiber->asanSize = stackSize;
#ifdef LMSCR_ASAN
    // The mapping may reuse the addresses of an earlier fiber's stack, whose frames the sanitizer
    // still remembers as poisoned.
    __asan_unpoison_memory_region(bottom, stackSize);
#endif
#if defined(__x86_64__)
    uintptr_t top = reinterpret_cast<uintptr_t>(bottom + stackSize) & ~uintptr_t(15);
    auto* slot = reinterpret_cast<uint64_t*>(top);
    // After the 7 pops and the ret, rsp = top - 16: 16-byte aligned before the call in
    // lmscr_fiber_start, as the ABI wants at a call site.
    slot[-3] = reinterpret_cast<uint64_t>(&lmscr_fiber_start);  // return address
    slot[-4] = 0;                                                // rbp
    slot[-5] = 0;                                                // rbx
    slot[-6] = reinterpret_cast<uint64_t>(entry);                // r12
    slot[-7] = reinterpret_cast<uint64_t>(arg);                  // r13
    slot[-8] = 0;                                                // r14
    slot[-9] = 0;                                                // r15
    uint32_t* control = reinterpret_cast<uint32_t*>(&slot[-10]);
    control[0] = 0x1F80;  // MXCSR default: all exceptions masked, round to nearest
    control[1] = 0x037F;  // x87 control word default
    fiber->sp = &slot[-10];
#else
    auto* uc = new ucontext_t;
    getcontext(uc);
    uc->uc_stack.ss_sp = bottom;
    uc->uc_stack.ss_size = stackSize;
    uc->uc_link = nullptr;
    makecontext(uc, reinterpret_cast<void (*)()>(entry), 1, arg);
    fiber->sp = uc;
#endif
    return true;
}

void FiberDestroy(Fiber* fiber) {
#ifdef LMSCR_ASAN
    if (fiber->asanBottom && fiber->stackBase)
        __asan_unpoison_memory_region(const_cast<void*>(fiber->asanBottom), fiber->asanSize);
#endif
    if (fiber->stackBase && !StackCache::Get().Keep(fiber->stackBase, fiber->stackSize))
        munmap(fiber->stackBase, fiber->stackSize);
#if !defined(__x86_64__)
    delete static_cast<ucontext_t*>(fiber->sp);
#endif
    fiber->stackBase = nullptr;
    fiber->sp = nullptr;
}

void FiberInitNative(Fiber* fiber) {
    *fiber = Fiber{};
#ifdef LMSCR_ASAN
    // Only the sanitizer needs the bounds of the thread's own stack.  They do not change while the
    // thread lives, and asking costs a read of the whole memory map for the first thread.
    struct Bounds {
        const void* bottom = nullptr;
        size_t size = 0;
        bool known = false;
    };
    thread_local Bounds bounds;
    if (!bounds.known) {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            pthread_attr_getstack(&attr, &addr, &bounds.size);
            bounds.bottom = addr;
            pthread_attr_destroy(&attr);
        }
        bounds.known = true;
    }
    fiber->asanBottom = bounds.bottom;
    fiber->asanSize = bounds.size;
#endif
}

void FiberStarted([[maybe_unused]] Fiber* self) {
#ifdef LMSCR_ASAN
    __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
#endif
}

void FiberSwitch(Fiber* from, Fiber* to, [[maybe_unused]] bool exiting) {
#ifdef LMSCR_ASAN
    __sanitizer_start_switch_fiber(exiting ? nullptr : &from->asanFakeStack, to->asanBottom,
                                   to->asanSize);
#endif
#if defined(__x86_64__)
    lmscr_fiber_switch(&from->sp, to->sp);
#else
    if (!from->sp) from->sp = new ucontext_t;
    swapcontext(static_cast<ucontext_t*>(from->sp), static_cast<ucontext_t*>(to->sp));
#endif
#ifdef LMSCR_ASAN
    // Back on `from`: learn (for the native stack, the first time) where the previous one was.
    const void* bottom = nullptr;
    size_t size = 0;
    __sanitizer_finish_switch_fiber(from->asanFakeStack, &bottom, &size);
#endif
}

}  // namespace lmscr::kernel
