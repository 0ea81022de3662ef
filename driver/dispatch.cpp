/*
 * Open, close and device control: the reader is a one-handle device, every open handle holds a
 * reference of the library's remove lock, and device control is admitted while the reader is
 * started and counted in IoCount, which the stop and sleep queries consult.
 */
#include "driver.h"

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
                status = STATUS_SUCCESS;
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

static NTSTATUS RefuseRemoved(PIRP Irp) {
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_DEVICE_REMOVED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_REMOVED;
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
         * (RemovePending) instead of freeing the records under it.
         */
        if (SmartcardAcquireRemoveLock(smartcardExtension) != STATUS_SUCCESS) return RefuseRemoved(Irp);
        haveReference = TRUE;
        KeWaitForSingleObject(&deviceExtension->ReaderStarted, Executive, KernelMode, FALSE, NULL);
        if (deviceExtension->RemovePending) {
            SmartcardReleaseRemoveLock(smartcardExtension);
            return RefuseRemoved(Irp);
        }
        KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    }
    deviceExtension->IoCount++;
    KeReleaseSpinLock(&deviceExtension->SpinLock, irql);

    if (!haveReference && SmartcardAcquireRemoveLock(smartcardExtension) != STATUS_SUCCESS) {
        RefuseRemoved(Irp);
        KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
        deviceExtension->IoCount--;
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        return STATUS_DEVICE_REMOVED;
    }

    NTSTATUS status = SmartcardDeviceControl(smartcardExtension, Irp);

    /* IoCount before the reference: once the reference is given back a waiting removal may free
     * the records. */
    KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    deviceExtension->IoCount--;
    KeReleaseSpinLock(&deviceExtension->SpinLock, irql);

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
