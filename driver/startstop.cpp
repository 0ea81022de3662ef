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

extern "C" NTSTATUS CallSerialDriver(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, CallSerialCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER
                          ? PoCallDriver(LowerDevice, Irp)
                          : IoCallDriver(LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

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
 * Gives the serial port back after a start that failed once the port was open.  With the receive
 * engine's wait pending, the stop path is the only safe one: clearing SerialCloseDone first makes
 * StopDevice clear the wait mask, after which the completing wait queues CloseSerialWorker, and
 * StopDevice returns when the worker has closed the port.  Without a wait pending nobody would
 * ever run the worker, so the port is closed here directly.
 */
static VOID UndoPartialStart(PDEVICE_EXTENSION DeviceExtension, BOOLEAN PortOpen, BOOLEAN WaitArmed) {
    if (WaitArmed) {
        KeClearEvent(&DeviceExtension->SerialCloseDone);
        StopDevice(DeviceExtension);
        return;
    }
    if (!PortOpen) return;
    PREADER_EXTENSION readerExtension = DeviceExtension->SmartcardExtension.ReaderExtension;
    PDEVICE_OBJECT device = DeviceExtension->SmartcardExtension.OsData->DeviceObject;
    IO_STATUS_BLOCK statusBlock;
    PIRP irp = AllocateSerialRequest(device, &statusBlock);
    if (irp == NULL) return;
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLOSE;
    (void)CallSerialDriver(readerExtension->AttachedSerialPort, irp);
    IoFreeIrp(irp);
}

extern "C" NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    BOOLEAN portOpen = FALSE;
    BOOLEAN waitArmed = FALSE;
    NTSTATUS status;
    IO_STATUS_BLOCK statusBlock;

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
    status = CallSerialDriver(readerExtension->AttachedSerialPort, irp);
    if (status != STATUS_SUCCESS) {
        SmartcardLogError(DeviceObject, EVENT_PORT_OPEN_FAILED, NULL, 0);
        goto done;
    }
    portOpen = TRUE;

    {
        SERIAL_SETUP setup;
        FillSerialSetup(&setup);
        readerExtension->TotalTimeout = setup.Timeouts.ReadTotalTimeoutConstant;
        readerExtension->CharTimeout = setup.Timeouts.ReadIntervalTimeout;
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
    if (status == STATUS_SUCCESS) {
        KeClearEvent(&deviceExtension->SerialCloseDone);
        KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
    }

done:
    if (irp != NULL) IoFreeIrp(irp);
    if (status != STATUS_SUCCESS) {
        UndoPartialStart(deviceExtension, portOpen, waitArmed);
        StopDevice(deviceExtension);
    }
    return status;
}

extern "C" VOID StopDevice(PDEVICE_EXTENSION DeviceExtension) {
    if (KeReadStateEvent(&DeviceExtension->SerialCloseDone)) return;

    PREADER_EXTENSION readerExtension = DeviceExtension->SmartcardExtension.ReaderExtension;
    if (NT_SUCCESS(PowerOffCard(readerExtension))) (void)ShutdownReader(readerExtension);

    ULONG waitMask = 0;
    (void)SerialIoctl(readerExtension, IOCTL_SERIAL_SET_WAIT_MASK, &waitMask, sizeof(waitMask), NULL, 0);

    KeWaitForSingleObject(&DeviceExtension->SerialCloseDone, Executive, KernelMode, FALSE, NULL);
}

extern "C" VOID CloseSerialWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PREADER_EXTENSION readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;

    (void)IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);

    IO_STATUS_BLOCK statusBlock;
    PIRP irp = AllocateSerialRequest(DeviceObject, &statusBlock);
    if (irp != NULL) {
        IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLOSE;
        (void)CallSerialDriver(readerExtension->AttachedSerialPort, irp);
        IoFreeIrp(irp);
    }

    /* Also without a close request: no stop may wait for ever. */
    KeSetEvent(&deviceExtension->SerialCloseDone, IO_NO_INCREMENT, FALSE);
}
