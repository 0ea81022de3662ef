// init.cpp - SmartcardInitialize / SmartcardExit: the library's own part of a reader's
// SMARTCARD_EXTENSION, made once the driver has filled its part and freed when the device goes.
//
// SmartcardInitialize makes three pool blocks: OsData (the notification request, the spin lock,
// the remove lock, the gate that keeps reader functions one at a time) and the request and reply
// buffers of the sizes the driver set.  It either makes all three or leaves none behind.
#include "smclib_core.h"

namespace lmscr::smclib {
namespace {

// A driver built against a newer record layout than this library's would read members that
// are not where it thinks; one older than the first layout lacks members the library uses.
bool VersionSupported(ULONG version) { return version >= SMCLIB_VERSION_REQUIRED && version <= SMCLIB_VERSION; }

NTSTATUS BufferSize(ULONG &size) {
    if (size == 0) size = kDefaultBufferBytes;
    return size > kMaxBufferBytes ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

void FreeLibraryParts(SMARTCARD_EXTENSION &ext) {
    if (ext.SmartcardRequest.Buffer != nullptr) ExFreePoolWithTag(ext.SmartcardRequest.Buffer, kRequestTag);
    if (ext.SmartcardReply.Buffer != nullptr) ExFreePoolWithTag(ext.SmartcardReply.Buffer, kReplyTag);
    if (ext.OsData != nullptr) ExFreePoolWithTag(ext.OsData, kOsDataTag);
    ext.SmartcardRequest.Buffer = nullptr;
    ext.SmartcardRequest.BufferLength = 0;
    ext.SmartcardReply.Buffer = nullptr;
    ext.SmartcardReply.BufferLength = 0;
    ext.OsData = nullptr;
}

}  // namespace
}  // namespace lmscr::smclib

using namespace lmscr::smclib;

extern "C" NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
    SMARTCARD_EXTENSION &ext = *SmartcardExtension;
    if (!VersionSupported(ext.Version)) return STATUS_NOT_SUPPORTED;
    // A second initialisation would lose the first one's blocks and its parked request.
    if (ext.OsData != nullptr) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = BufferSize(ext.SmartcardRequest.BufferSize);
    if (NT_SUCCESS(status)) status = BufferSize(ext.SmartcardReply.BufferSize);
    if (!NT_SUCCESS(status)) return status;

    ext.SmartcardRequest.Buffer = nullptr;
    ext.SmartcardReply.Buffer = nullptr;
    auto *os = static_cast<PSMARTCARD_OS_DATA>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SMARTCARD_OS_DATA), kOsDataTag));
    if (os == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(os, sizeof(*os));
    ext.OsData = os;
    ext.SmartcardRequest.Buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, ext.SmartcardRequest.BufferSize, kRequestTag));
    ext.SmartcardReply.Buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, ext.SmartcardReply.BufferSize, kReplyTag));
    if (ext.SmartcardRequest.Buffer == nullptr || ext.SmartcardReply.Buffer == nullptr) {
        FreeLibraryParts(ext);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(ext.SmartcardRequest.Buffer, ext.SmartcardRequest.BufferSize);
    RtlZeroMemory(ext.SmartcardReply.Buffer, ext.SmartcardReply.BufferSize);
    ext.SmartcardRequest.BufferLength = 0;
    ext.SmartcardReply.BufferLength = 0;

    KeInitializeSpinLock(&os->SpinLock);
    os->RemoveLockTag = kRemoveLockTag;
    IoInitializeRemoveLock(&os->RemoveLock, kRemoveLockTag, 0, 0);
    KeInitializeEvent(&os->ReaderIdle, SynchronizationEvent, TRUE);
    os->LastError = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

extern "C" VOID SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr) return;
    SMARTCARD_EXTENSION &ext = *SmartcardExtension;
    PSMARTCARD_OS_DATA os = ext.OsData;

    // Removal waits for every handle, and the cleanup of the last one cancels a parked tracking
    // request; one still parked here would outlive the record its cancel routine writes to, so
    // it is taken back and completed now.
    PIRP parked = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&os->SpinLock, &irql);
    KIRQL cancel_irql;
    IoAcquireCancelSpinLock(&cancel_irql);
    // A cancel routine that has run cleared NotificationIrp under the cancel spin lock, so a
    // request still found here is nobody else's to complete.
    if (os->NotificationIrp != nullptr) {
        IoSetCancelRoutine(os->NotificationIrp, nullptr);
        parked = os->NotificationIrp;
        os->NotificationIrp = nullptr;
    }
    IoReleaseCancelSpinLock(cancel_irql);
    KeReleaseSpinLock(&os->SpinLock, irql);
    if (parked != nullptr) {
        parked->IoStatus.Status = STATUS_CANCELLED;
        parked->IoStatus.Information = 0;
        IoCompleteRequest(parked, IO_NO_INCREMENT);
    }
    FreeLibraryParts(ext);
}
