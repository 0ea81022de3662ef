/*
 * Start and stop of the reader, and the one way requests of our own reach the serial port.
 *
 * Started means: the serial port is open and configured, the receive engine's wait is pending
 * at the port, the reader answered and its registers are set, the card state is known, the
 * reader interface is enabled and device control is admitted (ReaderStarted).  The stop makes
 * the pending wait complete without a received character; the receive engine then queues
 * CloseSerialWorker, which closes the port and signals SerialCloseDone.
 */
#include "driver.h"

#include "messages.h"

extern "C" NTSTATUS CallSerialCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Event) {
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->Cancel) Irp->IoStatus.Status = STATUS_CANCELLED;
    KeSetEvent((PKEVENT)Event, IO_NO_INCREMENT, FALSE);
    /* The request stays with CallSerialDriver's caller, which completes or frees it. */
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Passes the request down and waits; with a bound (milliseconds, 0 for none) a request the port
 * still holds by then is cancelled and waited for, and reported as timed out. */
static NTSTATUS CallSerialDriverWithin(PDEVICE_OBJECT LowerDevice, PIRP Irp, ULONG BoundMs) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, CallSerialCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER
                          ? PoCallDriver(LowerDevice, Irp)
                          : IoCallDriver(LowerDevice, Irp);
    if (status != STATUS_PENDING) return status;
    if (BoundMs != 0) {
        LARGE_INTEGER bound;
        bound.QuadPart = -(LONGLONG)BoundMs * 10000;
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &bound) == STATUS_TIMEOUT) {
            IoCancelIrp(Irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            return STATUS_IO_TIMEOUT;
        }
    } else {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

extern "C" NTSTATUS CallSerialDriver(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    return CallSerialDriverWithin(LowerDevice, Irp, 0);
}

/*
 * The port's own open and close requests get a bound: a port opens and closes at once, and one
 * that holds either for ever would hold the Plug and Play manager, or a stop, with it.
 */
#define PORT_OPEN_CLOSE_BOUND_MS 5000

/* A request of our own for the serial port: one location more than our device needs, the
 * first one made current so that CallSerialDriver can copy it down. */
static PIRP AllocateSerialRequest(PDEVICE_OBJECT DeviceObject, IO_STATUS_BLOCK *StatusBlock) {
    PIRP irp = IoAllocateIrp((CCHAR)(DeviceObject->StackSize + 1), FALSE);
    if (irp == NULL) return NULL;
    irp->UserIosb = StatusBlock;
    IoSetNextIrpStackLocation(irp);
    return irp;
}

/*
 * How long a stop waits for CloseSerialWorker before it clears the wait mask once more.  A receive
 * run that was about to arm its next wait when the stop cleared the mask can still put a wait at the
 * port after the clearing; a port that keeps such a wait pending would then hold it for ever, and
 * only another wait mask ends it.  Normally the worker is done long before this.
 */
#define CLOSE_RECHECK_MS 500
#define CLOSE_RECHECKS 4

static VOID CloseSerialPort(PDEVICE_OBJECT DeviceObject);

static NTSTATUS ClearWaitMask(PREADER_EXTENSION ReaderExtension) {
    ULONG waitMask = 0;
    return SerialIoctl(ReaderExtension, IOCTL_SERIAL_SET_WAIT_MASK, &waitMask, sizeof(waitMask), NULL, 0);
}

/*
 * Ends the receive engine and gives the serial port back: the pending wait completes without a
 * received character and the engine queues CloseSerialWorker, which closes the port and signals
 * SerialCloseDone.
 *
 * The order that makes this safe: EngineStopping is set under RxLock before the mask is cleared,
 * and a receive run tests it under RxLock before it arms its next wait.  A run that tests it after
 * the setting hands over to CloseSerialWorker itself.  A run that tested it before may have its next
 * wait reach the port after the mask was cleared; a port refuses such a wait (no events to wait
 * for), which ends in CloseSerialWorker too, and a port that keeps it pending is met by clearing
 * the mask again, which completes the pending wait with no events.
 */
static VOID QuiesceReceiveEngine(PDEVICE_EXTENSION DeviceExtension) {
    PREADER_EXTENSION readerExtension = DeviceExtension->SmartcardExtension.ReaderExtension;
    KIRQL irql;
    KeAcquireSpinLock(&readerExtension->RxLock, &irql);
    readerExtension->EngineStopping = TRUE;
    KeReleaseSpinLock(&readerExtension->RxLock, irql);

    (void)ClearWaitMask(readerExtension);
    LARGE_INTEGER recheck;
    recheck.QuadPart = -(LONGLONG)CLOSE_RECHECK_MS * 10000;
    for (ULONG tries = 0; tries < CLOSE_RECHECKS; ++tries) {
        if (KeWaitForSingleObject(&DeviceExtension->SerialCloseDone, Executive, KernelMode, FALSE, &recheck) !=
            STATUS_TIMEOUT)
            return;
        (void)ClearWaitMask(readerExtension);
    }
    /* A port that ends the wait on no further mask still ends what it holds when it is closed; the
     * wait then completes without a character and the close worker comes as usual. */
    CloseSerialPort(DeviceExtension->SmartcardExtension.OsData->DeviceObject);
    KeWaitForSingleObject(&DeviceExtension->SerialCloseDone, Executive, KernelMode, FALSE, NULL);
}

/* Closes the port with a request of our own; for a port whose receive engine was never armed. */
static VOID CloseSerialPort(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PREADER_EXTENSION readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;
    IO_STATUS_BLOCK statusBlock;
    PIRP irp = AllocateSerialRequest(DeviceObject, &statusBlock);
    if (irp != NULL) {
        IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLOSE;
        (void)CallSerialDriverWithin(readerExtension->AttachedSerialPort, irp, PORT_OPEN_CLOSE_BOUND_MS);
        IoFreeIrp(irp);
    }
}

/*
 * Undoes a start that failed once the serial port was open.  Nothing is said to the reader: this
 * start has powered no card, and the stop's register traffic would only hold the Plug and Play
 * manager up.  With the engine's wait armed, the engine closes the port (it may have done so
 * already, when the port was lost); without it nobody would, so the port is closed here.
 */
static VOID UndoPartialStart(PDEVICE_OBJECT DeviceObject, BOOLEAN PortOpen, BOOLEAN WaitArmed) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (WaitArmed) {
        QuiesceReceiveEngine(deviceExtension);
    } else if (PortOpen) {
        CloseSerialPort(DeviceObject);
        KeSetEvent(&deviceExtension->SerialCloseDone, IO_NO_INCREMENT, FALSE);
    }
}

extern "C" NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    BOOLEAN portOpen = FALSE;
    BOOLEAN waitArmed = FALSE;
    BOOLEAN interfaceEnabled = FALSE;
    BOOLEAN portLost;
    NTSTATUS status;
    IO_STATUS_BLOCK statusBlock;
    KIRQL irql;

    KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    deviceExtension->StartInProgress = TRUE;
    deviceExtension->PortLost = FALSE;
    KeReleaseSpinLock(&deviceExtension->SpinLock, irql);

    PIRP irp = AllocateSerialRequest(DeviceObject, &statusBlock);
    if (irp == NULL) {
        SmartcardLogError(DeviceObject, EVENT_NO_MEMORY, NULL, 0);
        status = STATUS_NO_MEMORY;
        goto done;
    }

    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_CREATE;
        stack->Parameters.Create.Options = 0;
        stack->Parameters.Create.FileAttributes = 0;
        stack->Parameters.Create.ShareAccess = 0;
        stack->Parameters.Create.EaLength = 0;
        stack->Parameters.Create.SecurityContext = NULL;
    }
    status = CallSerialDriverWithin(readerExtension->AttachedSerialPort, irp, PORT_OPEN_CLOSE_BOUND_MS);
    if (status != STATUS_SUCCESS) {
        SmartcardLogError(DeviceObject, EVENT_PORT_OPEN_FAILED, NULL, 0);
        goto done;
    }
    portOpen = TRUE;
    /*
     * From here on the port is open through the driver.  The engine armed below may lose it at
     * any moment (a DSR change ends the wait) and CloseSerialWorker then signals this event; a
     * start that cleared it only at its end would hide that loss from every later stop.
     */
    KeClearEvent(&deviceExtension->SerialCloseDone);

    {
        SERIAL_SETUP setup;
        FillSerialSetup(&setup);
        readerExtension->TotalTimeout = setup.Timeouts.ReadTotalTimeoutConstant;
        readerExtension->CharTimeout = setup.Timeouts.ReadIntervalTimeout;
        KeAcquireSpinLock(&readerExtension->RxLock, &irql);
        readerExtension->EngineStopping = FALSE;
        readerExtension->PortGone = FALSE;
        KeReleaseSpinLock(&readerExtension->RxLock, irql);
        status = ConfigureSerialPort(readerExtension, &setup);
    }
    if (status != STATUS_SUCCESS) {
        SmartcardLogError(DeviceObject, EVENT_PORT_CONFIGURATION_FAILED, NULL, 0);
        /* A failure of the last step, the arming itself, leaves no wait behind either. */
        goto done;
    }
    waitArmed = TRUE;

    status = ReadFirmwareVersion(readerExtension);
    if (status != STATUS_SUCCESS) {
        SmartcardLogError(DeviceObject, EVENT_READER_NOT_ANSWERING, NULL, 0);
        goto done;
    }

    status = InitializeReader(readerExtension);
    if (status != STATUS_SUCCESS) {
        SmartcardLogError(DeviceObject, EVENT_READER_NOT_ANSWERING, NULL, 0);
        goto done;
    }

    UpdateCardState(smartcardExtension, 0);

    status = IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, TRUE);
    /* Enabled already is what we want; an informational status must not pass for a failure the
     * Plug and Play manager then counts as success, with the port closed behind it. */
    if (status == STATUS_OBJECT_NAME_EXISTS) status = STATUS_SUCCESS;
    interfaceEnabled = status == STATUS_SUCCESS;

done:
    if (irp != NULL) IoFreeIrp(irp);

    KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    deviceExtension->StartInProgress = FALSE;
    portLost = deviceExtension->PortLost;
    KeReleaseSpinLock(&deviceExtension->SpinLock, irql);

    if (portLost && status == STATUS_SUCCESS) {
        /* The reader answered, but the port is gone: as for a reader that does not answer. */
        SmartcardLogError(DeviceObject, EVENT_READER_NOT_ANSWERING, NULL, 0);
        status = STATUS_NO_SUCH_DEVICE;
    }

    if (status != STATUS_SUCCESS) {
        SmartcardDebug(DEBUG_DRIVER | DEBUG_ERROR, (DRIVER_NAME "!StartDevice: failed (status %08X)%s\n",
                                                    DBG_STATUS(status), portLost ? ", the port is gone" : ""));
        if (interfaceEnabled) (void)IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);
        UndoPartialStart(DeviceObject, portOpen, waitArmed);
        return status;
    }

    SmartcardDebug(DEBUG_DRIVER, (DRIVER_NAME "!StartDevice: reader started, firmware %u.%u\n",
                                  readerExtension->FirmwareMajor, readerExtension->FirmwareMinor));
    KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

extern "C" VOID StopDevice(PDEVICE_EXTENSION DeviceExtension) {
    if (KeReadStateEvent(&DeviceExtension->SerialCloseDone)) return;

    PREADER_EXTENSION readerExtension = DeviceExtension->SmartcardExtension.ReaderExtension;
    if (NT_SUCCESS(PowerOffCard(readerExtension))) (void)ShutdownReader(readerExtension);

    QuiesceReceiveEngine(DeviceExtension);
}

/* The receive engine will not wait again: the port is closed on a worker thread, as the engine
 * may be in a completion routine or in its run when it finds out. */
extern "C" VOID CloseSerialPortLater(PREADER_EXTENSION ReaderExtension) {
    IoQueueWorkItem(ReaderExtension->CloseSerialWorkItem, CloseSerialWorker, DelayedWorkQueue, NULL);
}

extern "C" VOID CloseSerialWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    KIRQL irql;
    KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    BOOLEAN starting = deviceExtension->StartInProgress;
    if (starting) deviceExtension->PortLost = TRUE;
    KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
    SmartcardDebug(DEBUG_DRIVER, (DRIVER_NAME "!CloseSerialWorker: the port is closed%s\n",
                                                starting ? " during the start" : ""));

    /* Whoever waits for the reader now waits for a line that is gone. */
    ReceivePortLost(deviceExtension->SmartcardExtension.ReaderExtension);

    /* A start in progress enables or disables the interface itself, having seen PortLost. */
    if (!starting) (void)IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);

    CloseSerialPort(DeviceObject);

    /* Also without a close request: no stop may wait for ever. */
    KeSetEvent(&deviceExtension->SerialCloseDone, IO_NO_INCREMENT, FALSE);
}
