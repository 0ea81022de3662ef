// Kernel code as the driver writes it: platform headers only.
#include <ntddk.h>
#include <smclib.h>

extern "C" NTSTATUS ProbeRoutine(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 16, 0x65626F72));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, 16);
    buffer[0] = stack->MajorFunction;
    ExFreePool(buffer);
    UNREFERENCED_PARAMETER(device);
    return STATUS_SUCCESS;
}
