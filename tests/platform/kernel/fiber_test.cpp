// Fibers: a stack given back is handed to the next fiber of its size, still guarded, and the new
// fiber starts on it as on a fresh one.
#include "fiber.h"

#include <gtest/gtest.h>

namespace lmscr::kernel {
namespace {

struct FiberRun {
    Fiber self, back;
    int value = 0;
};

// Records its argument and returns to the fiber that started it, never to be resumed.
void Record(void* arg) {
    auto* run = static_cast<FiberRun*>(arg);
    FiberStarted(&run->self);
    run->value = run->value * 10 + 7;
    FiberSwitch(&run->self, &run->back, true);
    __builtin_trap();
}

// Runs one fiber on a stack of `size` to its end and gives the stack back; returns its base.
void* RunOnce(FiberRun& run, size_t size) {
    FiberInitNative(&run.back);
    EXPECT_TRUE(FiberCreate(&run.self, size, &Record, &run));
    FiberSwitch(&run.back, &run.self);
    void* base = run.self.stackBase;
    FiberDestroy(&run.self);
    return base;
}

TEST(Fiber, a_stack_given_back_starts_the_next_fiber_of_its_size_and_keeps_its_guard_page) {
    FiberRun first, second, other;
    first.value = 1;
    second.value = 2;
    void* base = RunOnce(first, 64 * 1024);
    EXPECT_EQ(first.value, 17);
    EXPECT_EQ(RunOnce(second, 64 * 1024), base);  // the same mapping, the initial frame laid anew
    EXPECT_EQ(second.value, 27);
    EXPECT_NE(RunOnce(other, 96 * 1024), base);  // another size maps its own

    Fiber kept;
    ASSERT_TRUE(FiberCreate(&kept, 64 * 1024, &Record, &first));
    ASSERT_EQ(kept.stackBase, base);
    // The lowest page of the mapping is the guard below the stack's bottom.
    EXPECT_DEATH(*static_cast<volatile char*>(kept.stackBase) = 1, "");
    FiberDestroy(&kept);
}

}  // namespace
}  // namespace lmscr::kernel
