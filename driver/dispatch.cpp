/*
 * Open, cleanup, close and device control: the reader is a one-handle device, every open handle
 * holds a reference of the library's remove lock, the cleanup of the handle ends the card
 * tracking request it left parked, and device control is admitted while the reader is started
 * and counted in IoCount, which the stop and sleep queries consult.
 */
#include "driver.h"

static NTSTATUS RefuseRequest(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/*
 * Under SpinLock: why opens and device control are refused now, STATUS_SUCCESS if they are not.
 * Once the remove request has begun: STATUS_DEVICE_REMOVED, as for a remove-lock reference refused
 * then.  After a surprise removal: STATUS_NO_SUCH_DEVICE.  The hardware is gone, but
 * the device object stays until the remove request, which comes only once the handles are closed,
 * so nothing is being removed yet; "no such device" is what the platform says of hardware that is
 * not there, and what this driver's start says of a port lost under it.  STATUS_DELETE_PENDING
 * stays the remove lock's word once the remove request has begun (the Plug and Play and power
 * requests refused then carry it).  Callers need not tell them apart: the IFD handler reports all
 * three as a reader that is gone.
 */
static NTSTATUS DeviceGoneStatusLocked(PDEVICE_EXTENSION DeviceExtension) {
    if (DeviceExtension->RemovePending) return STATUS_DEVICE_REMOVED;
    if (DeviceExtension->SurpriseRemoved) return STATUS_NO_SUCH_DEVICE;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    NTSTATUS status;

    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) {
        if (SmartcardAcquireRemoveLock(smartcardExtension) != STATUS_SUCCESS) {
            status = STATUS_DEVICE_REMOVED;
        } else {
            LARGE_INTEGER noWait;
            noWait.QuadPart = 0;
            if (KeWaitForSingleObject(&deviceExtension->ReaderClosed, Executive, KernelMode, FALSE, &noWait) ==
                STATUS_SUCCESS) {
                /* The reference stays with the handle just opened until its close. */
                KeClearEvent(&deviceExtension->ReaderClosed);
                KIRQL irql;
                KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
                status = DeviceGoneStatusLocked(deviceExtension);
                KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
                /* A removal on its way: a handle opened now would hold it up for good.  The query
                 * set RemoveQueried before it looked at ReaderClosed, which was cleared above. */
                if (status == STATUS_SUCCESS && deviceExtension->RemoveQueried) status = STATUS_DELETE_PENDING;
                if (status != STATUS_SUCCESS) {
                    KeSetEvent(&deviceExtension->ReaderClosed, IO_NO_INCREMENT, FALSE);
                    SmartcardReleaseRemoveLock(smartcardExtension);
                }
            } else {
                SmartcardReleaseRemoveLock(smartcardExtension);
                status = STATUS_UNSUCCESSFUL;
            }
        }
    } else {
        /*
         * The handle's reference goes last: a removal waiting for it may free the records and
         * remove the device object the moment it is released, so the close must by then be finished
         * with both.
         */
        KeSetEvent(&deviceExtension->ReaderClosed, IO_NO_INCREMENT, FALSE);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        SmartcardReleaseRemoveLock(smartcardExtension);
        return STATUS_SUCCESS;
    }

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

extern "C" NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PSMARTCARD_EXTENSION smartcardExtension = (PSMARTCARD_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_OS_DATA osData = smartcardExtension->OsData;

    /*
     * The OsData lock first, as UpdateCardState takes it: it holds that lock from the moment it
     * takes the cancel routine away until the request is completed and NotificationIrp cleared,
     * and the library parks the request and installs the cancel routine under it too.  Under the
     * cancel lock alone a cleanup could find the request still parked but already claimed by a
     * card event, and complete it a second time.
     */
    KIRQL irql;
    KeAcquireSpinLock(&osData->SpinLock, &irql);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP parked = osData->NotificationIrp;
    /* No cancel routine to take: an IoCancelIrp has claimed the request and completes it. */
    if (parked != NULL && IoSetCancelRoutine(parked, NULL) != NULL) {
        parked->CancelIrql = cancelIrql;
        CancelCardTracking(DeviceObject, parked);
    } else {
        IoReleaseCancelSpinLock(cancelIrql);
    }
    KeReleaseSpinLock(&osData->SpinLock, irql);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

/* Device control leaves: the last request to leave while a power-down waits for it lets the
 * power-down go on. */
static VOID LeaveDeviceControl(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    if (--DeviceExtension->IoCount == 0 && DeviceExtension->HoldBackWaiting)
        KeSetEvent(&DeviceExtension->DeviceControlIdle, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
}

extern "C" NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    BOOLEAN haveReference = FALSE;
    KIRQL irql;

    KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    if (deviceExtension->IoCount == 0) {
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        /*
         * With no request in progress, wait until the reader is started.  The wait holds a
         * remove-lock reference, so that a removal waits for this request and can wake it
         * (RemovePending) instead of freeing the records under it.  A surprise removal wakes it
         * too (SurpriseRemoved): the remove request would wait for its handle, and the handle's
         * close for this request.  Once either is marked, ReaderStarted is not cleared again.
         */
        if (SmartcardAcquireRemoveLock(smartcardExtension) != STATUS_SUCCESS)
            return RefuseRequest(Irp, STATUS_DEVICE_REMOVED);
        haveReference = TRUE;
        KeWaitForSingleObject(&deviceExtension->ReaderStarted, Executive, KernelMode, FALSE, NULL);
        KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    }
    NTSTATUS gone = DeviceGoneStatusLocked(deviceExtension);
    if (gone != STATUS_SUCCESS) {
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        SmartcardDebug(DEBUG_IOCTL | DEBUG_ERROR, (DRIVER_NAME "!DeviceControl: refused, status %08X\n", DBG_STATUS(gone)));
        /* The reference goes last: a removal waiting for it may free the records at once. */
        RefuseRequest(Irp, gone);
        if (haveReference) SmartcardReleaseRemoveLock(smartcardExtension);
        return gone;
    }
    deviceExtension->IoCount++;
    KeReleaseSpinLock(&deviceExtension->SpinLock, irql);

    if (!haveReference && SmartcardAcquireRemoveLock(smartcardExtension) != STATUS_SUCCESS) {
        RefuseRequest(Irp, STATUS_DEVICE_REMOVED);
        LeaveDeviceControl(deviceExtension);
        return STATUS_DEVICE_REMOVED;
    }

    const ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    SmartcardDebug(DEBUG_IOCTL, (DRIVER_NAME "!DeviceControl: enter %08X\n", code));
    NTSTATUS status = SmartcardDeviceControl(smartcardExtension, Irp);
    SmartcardDebug(DEBUG_IOCTL, (DRIVER_NAME "!DeviceControl: exit %08X, status %08X\n", code, DBG_STATUS(status)));

    /* IoCount before the reference: once the reference is given back a waiting removal may free
     * the records. */
    LeaveDeviceControl(deviceExtension);

    SmartcardReleaseRemoveLock(smartcardExtension);
    return status;
}

extern "C" NTSTATUS VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension) {
    PIRP irp = SmartcardExtension->OsData->CurrentIrp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;

    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_READER_GET_VERSION) {
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < 8) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            /* READER_VERSION: ULONG library version, then driver and firmware major/minor. */
            PUCHAR out = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
            ULONG library = SmartcardExtension->Version;
            out[0] = (UCHAR)(library & 0xFF);
            out[1] = (UCHAR)((library >> 8) & 0xFF);
            out[2] = (UCHAR)((library >> 16) & 0xFF);
            out[3] = (UCHAR)((library >> 24) & 0xFF);
            out[4] = DRIVER_VERSION_MAJOR;
            out[5] = DRIVER_VERSION_MINOR;
            out[6] = SmartcardExtension->ReaderExtension->FirmwareMajor;
            out[7] = SmartcardExtension->ReaderExtension->FirmwareMinor;
            irp->IoStatus.Information = 8;
            status = STATUS_SUCCESS;
        }
    }

    irp->IoStatus.Status = status;
    return status;
}
