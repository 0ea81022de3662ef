// Kernel-style code that calls a routine only the emulation has (the allocation routine behind its
// IoAllocateIrp macro, which adds the call site).  The Linux build compiles it; the kernel image's
// compile command must refuse it, or the image is not built against the platform's headers alone.
#include <ntddk.h>

extern "C" PIRP AllocateIrpNamingTheSite(CCHAR StackSize) {
    return LmIoAllocateIrp(StackSize, FALSE, "emulation_only.cpp", 7, "AllocateIrpNamingTheSite");
}
