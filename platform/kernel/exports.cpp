// The kernel's export table (exports.h).
#include "exports.h"

#include <cstring>
#include <strings.h>

#include "wdm.h"

namespace lmscr::kernel {
namespace {

// An entry's address: only a routine of the platform's convention converts, so that a routine of
// the host's convention cannot slip into the table.
template <typename R, typename... A>
void* Platform(R(NTAPI* routine)(A...)) {
    return reinterpret_cast<void*>(routine);
}
template <typename R, typename... A>
void* Platform(R(NTAPI* routine)(A..., ...)) {
    return reinterpret_cast<void*>(routine);
}

// The image's allocation routines: the emulation's headers make these names macros that add the
// caller's file, line and function for the leak report and the fault injector; an image's call
// cannot say where it comes from, and is named by the routine it called.
constexpr const char* kImage = "driver image";

PVOID NTAPI ImageExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    return LmExAllocatePoolWithTag(type, bytes, tag, kImage, 0, "ExAllocatePoolWithTag");
}

PVOID NTAPI ImageExAllocatePool(POOL_TYPE type, SIZE_T bytes) {
    return LmExAllocatePoolWithTag(type, bytes, 0x656E6F4E /* "None" */, kImage, 0, "ExAllocatePool");
}

PIRP NTAPI ImageIoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota) {
    return LmIoAllocateIrp(stackSize, chargeQuota, kImage, 0, "IoAllocateIrp");
}

PIRP NTAPI ImageIoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength,
                                              PVOID output, ULONG outputLength, BOOLEAN internal, PKEVENT event,
                                              PIO_STATUS_BLOCK iosb) {
    return LmIoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength, internal, event,
                                           iosb, kImage, 0, "IoBuildDeviceIoControlRequest");
}

PIO_WORKITEM NTAPI ImageIoAllocateWorkItem(PDEVICE_OBJECT device) {
    return LmIoAllocateWorkItem(device, kImage, 0, "IoAllocateWorkItem");
}

// The run-time library's memory routines, which the platform's compiler calls for a structure
// copy or clear and its headers behind RtlCopyMemory, RtlMoveMemory and RtlZeroMemory.
void* NTAPI ImageMemcpy(void* destination, const void* source, SIZE_T length) {
    return std::memcpy(destination, source, length);
}

void* NTAPI ImageMemmove(void* destination, const void* source, SIZE_T length) {
    return std::memmove(destination, source, length);
}

void* NTAPI ImageMemset(void* destination, int fill, SIZE_T length) { return std::memset(destination, fill, length); }

#define NTOS(name) {"ntoskrnl.exe", #name, Platform(name)}
#define HAL(name) {"HAL.dll", #name, Platform(name)}

const KernelExport kKernelExports[] = {
    // Dispatcher objects, waits and time
    NTOS(KeInitializeEvent), NTOS(KeSetEvent), NTOS(KeResetEvent), NTOS(KeClearEvent), NTOS(KeReadStateEvent),
    NTOS(KeWaitForSingleObject), NTOS(KeWaitForMultipleObjects), NTOS(KeDelayExecutionThread),
    NTOS(KeQuerySystemTime), NTOS(KeQueryInterruptTime), NTOS(DbgPrint),
    NTOS(KeInitializeDpc), NTOS(KeInsertQueueDpc), NTOS(KeRemoveQueueDpc),
    NTOS(KeInitializeTimer), NTOS(KeInitializeTimerEx), NTOS(KeSetTimer), NTOS(KeSetTimerEx), NTOS(KeCancelTimer),
    NTOS(KeReadStateTimer), NTOS(KeBugCheckEx),
    // Spin locks: the x64 names (KeAcquireSpinLock is a macro over KeAcquireSpinLockRaiseToDpc there)
    // and the x86 ones, which the HAL exports
    NTOS(KeInitializeSpinLock),
    {"ntoskrnl.exe", "KeAcquireSpinLockRaiseToDpc", Platform(KfAcquireSpinLock)},
    {"ntoskrnl.exe", "KeReleaseSpinLock", Platform(KfReleaseSpinLock)},
    NTOS(KeAcquireSpinLockAtDpcLevel), NTOS(KeReleaseSpinLockFromDpcLevel),
    HAL(KfAcquireSpinLock), HAL(KfReleaseSpinLock), HAL(KeGetCurrentIrql), HAL(KfRaiseIrql), HAL(KfLowerIrql),
    HAL(KeStallExecutionProcessor),
    NTOS(InterlockedIncrement), NTOS(InterlockedDecrement), NTOS(InterlockedExchange),
    NTOS(InterlockedCompareExchange), NTOS(InterlockedExchangePointer),
    // Pool and run-time library
    {"ntoskrnl.exe", "ExAllocatePoolWithTag", Platform(ImageExAllocatePoolWithTag)},
    {"ntoskrnl.exe", "ExAllocatePool", Platform(ImageExAllocatePool)},
    NTOS(ExFreePoolWithTag), NTOS(ExFreePool),
    NTOS(RtlCompareMemory), NTOS(RtlCopyMemory), NTOS(RtlMoveMemory), NTOS(RtlZeroMemory), NTOS(RtlFillMemory),
    NTOS(RtlInitUnicodeString), NTOS(RtlFreeUnicodeString), NTOS(RtlEqualUnicodeString),
    {"ntoskrnl.exe", "memcpy", Platform(ImageMemcpy)},
    {"ntoskrnl.exe", "memmove", Platform(ImageMemmove)},
    {"ntoskrnl.exe", "memset", Platform(ImageMemset)},
    // I/O manager
    NTOS(IoCreateDevice), NTOS(IoDeleteDevice), NTOS(IoAttachDeviceToDeviceStack), NTOS(IoDetachDevice),
    NTOS(IoGetAttachedDevice), NTOS(IoGetAttachedDeviceReference), NTOS(ObReferenceObject),
    NTOS(ObDereferenceObject), NTOS(IofCallDriver), NTOS(IofCompleteRequest),
    {"ntoskrnl.exe", "IoAllocateIrp", Platform(ImageIoAllocateIrp)},
    {"ntoskrnl.exe", "IoBuildDeviceIoControlRequest", Platform(ImageIoBuildDeviceIoControlRequest)},
    NTOS(IoFreeIrp), NTOS(IoReuseIrp), NTOS(IoCancelIrp), NTOS(IoAcquireCancelSpinLock),
    NTOS(IoReleaseCancelSpinLock),
    {"ntoskrnl.exe", "IoAllocateWorkItem", Platform(ImageIoAllocateWorkItem)},
    NTOS(IoFreeWorkItem), NTOS(IoQueueWorkItem), NTOS(IoRegisterDeviceInterface), NTOS(IoSetDeviceInterfaceState),
    NTOS(IoInitializeRemoveLockEx), NTOS(IoAcquireRemoveLockEx), NTOS(IoReleaseRemoveLockEx),
    NTOS(IoReleaseRemoveLockAndWaitEx), NTOS(IoAllocateErrorLogEntry), NTOS(IoWriteErrorLogEntry),
    NTOS(IoFreeErrorLogEntry),
    // Power manager
    NTOS(PoCallDriver), NTOS(PoStartNextPowerIrp), NTOS(PoSetPowerState), NTOS(PoRequestPowerIrp),
};

#undef NTOS
#undef HAL

}  // namespace

std::span<const KernelExport> KernelExports() { return kKernelExports; }

void* FindExport(std::span<const KernelExport> table, const char* module, const char* name) {
    // Module names are compared as the platform's loader does, without regard to case.
    for (const KernelExport& e : table)
        if (strcasecmp(e.Module, module) == 0 && std::strcmp(e.Name, name) == 0) return e.Address;
    return nullptr;
}

}  // namespace lmscr::kernel
