/*
 * Plug and Play: the reader starts after the serial port stack below it, stops before it, is not
 * removed while a handle is open, refuses a stop while device control is in progress and holds
 * further requests back while a stop is pending; a surprise removal lets them go.  Requests
 * handled here go down synchronously through CallSerialDriver, so that our work is ordered before
 * or after the lower stack's.
 */
#include "driver.h"

extern "C" NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;

    NTSTATUS status = SmartcardAcquireRemoveLock(smartcardExtension);
    if (status != STATUS_SUCCESS) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    /* Read once: removal frees the records before the request goes down. */
    PDEVICE_OBJECT lower = smartcardExtension->ReaderExtension->AttachedSerialPort;
    Irp->IoStatus.Information = 0;
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    SmartcardDebug(DEBUG_DRIVER, (DRIVER_NAME "!DispatchPnp: minor %02X\n", minor));

    switch (minor) {
    case IRP_MN_START_DEVICE:
        status = CallSerialDriver(lower, Irp);
        if (status == STATUS_SUCCESS) status = StartDevice(DeviceObject);
        break;

    case IRP_MN_QUERY_REMOVE_DEVICE: {
        status = IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);
        /* Only an interface this query disabled may be enabled again on refusal or cancel: one
         * that a lost port or a stop disabled stays disabled. */
        BOOLEAN disabledHere = status == STATUS_SUCCESS;
        /* An interface that is disabled already (a reader that was never started, was stopped,
         * or lost its port) is as it should be for a removal: the platform reports that as
         * "not found", which must not make the reader impossible to remove. */
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = STATUS_SUCCESS;
        if (status != STATUS_SUCCESS) break;
        /* Opens are refused from here until the cancel or the removal; an open that crosses this
         * query sees the mark, or has cleared ReaderClosed before the test below. */
        deviceExtension->RemoveQueried = TRUE;
        if (KeReadStateEvent(&deviceExtension->ReaderClosed) == 0) {
            /* A handle is open: the reader stays. */
            deviceExtension->RemoveQueried = FALSE;
            if (disabledHere) (void)IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, TRUE);
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        deviceExtension->QueryRemoveDisabledInterface = disabledHere;
        status = CallSerialDriver(lower, Irp);
        break;
    }

    case IRP_MN_REMOVE_DEVICE:
        RemoveDevice(DeviceObject);
        status = CallSerialDriver(lower, Irp);
        break;

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        /* The manager cancels every query that failed below us as well: opens are welcome again. */
        deviceExtension->RemoveQueried = FALSE;
        status = CallSerialDriver(lower, Irp);
        if (status == STATUS_SUCCESS && deviceExtension->QueryRemoveDisabledInterface) {
            deviceExtension->QueryRemoveDisabledInterface = FALSE;
            status = IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, TRUE);
        }
        break;

    case IRP_MN_STOP_DEVICE:
        StopDevice(deviceExtension);
        status = CallSerialDriver(lower, Irp);
        break;

    case IRP_MN_QUERY_STOP_DEVICE: {
        KIRQL irql;
        KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
        if (deviceExtension->IoCount > 0) {
            KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
            status = STATUS_DEVICE_BUSY;
            break;
        }
        HoldReaderStartedLocked(deviceExtension);
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        status = CallSerialDriver(lower, Irp);
        break;
    }

    case IRP_MN_CANCEL_STOP_DEVICE:
        status = CallSerialDriver(lower, Irp);
        if (status == STATUS_SUCCESS) KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
        break;

    case IRP_MN_SURPRISE_REMOVAL: {
        /*
         * The reader is gone; the remove request comes once every handle is closed.  A request
         * waiting for ReaderStarted (after a stop query, or held back by a sleep whose wake found
         * the port lost) would wait for a start that never comes, and its handle could never
         * close: it is woken, sees SurpriseRemoved and leaves, and every later request is refused
         * at the door.  Then down untouched, as every request not handled here.
         */
        KIRQL irql;
        KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
        deviceExtension->SurpriseRemoved = TRUE;
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(lower, Irp);
        SmartcardReleaseRemoveLock(smartcardExtension);
        return status;
    }

    default:
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(lower, Irp);
        SmartcardReleaseRemoveLock(smartcardExtension);
        return status;
    }

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (minor != IRP_MN_REMOVE_DEVICE) SmartcardReleaseRemoveLock(smartcardExtension);
    return status;
}
