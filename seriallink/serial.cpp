/*
 * Requests to the serial port below the reader: synchronous writes, reads and device-control
 * requests, each with its own event and status block, the fixed line setup of a start, and the
 * driver's one delay routine.
 *
 * The line to the reader runs at 19200 baud, 8 data bits, no parity, one stop bit, without
 * handshake or XON/XOFF, and without special characters.
 */
#include "driver.h"

/* CTL_CODE(FILE_DEVICE_SMARTCARD, 0, METHOD_BUFFERED, FILE_WRITE_ACCESS / FILE_READ_ACCESS): the
 * builder only needs them to set up the buffers; the port sees plain writes and reads. */
#define SERIAL_WRITE_CODE CTL_CODE(FILE_DEVICE_SMARTCARD, 0, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define SERIAL_READ_CODE CTL_CODE(FILE_DEVICE_SMARTCARD, 0, METHOD_BUFFERED, FILE_READ_ACCESS)

/* The setup requests of a start, in the order they are sent; each names its input in the
 * SERIAL_SETUP record.  The list ends with the code 0. */
typedef struct _SERIAL_SETUP_REQUEST {
    ULONG IoControlCode;
    ULONG InputOffset;
    ULONG InputLength;
} SERIAL_SETUP_REQUEST;

#define SETUP_MEMBER(member) ((ULONG)__builtin_offsetof(SERIAL_SETUP, member))
#define NO_INPUT 0xFFFFFFFFu

static const SERIAL_SETUP_REQUEST SerialSetupRequests[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, SETUP_MEMBER(Baud), sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_SET_LINE_CONTROL, SETUP_MEMBER(LineControl), sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_SET_CHARS, SETUP_MEMBER(Chars), sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_SET_TIMEOUTS, SETUP_MEMBER(Timeouts), sizeof(SERIAL_TIMEOUTS)},
    {IOCTL_SERIAL_SET_HANDFLOW, SETUP_MEMBER(HandFlow), sizeof(SERIAL_HANDFLOW)},
    {IOCTL_SERIAL_PURGE, SETUP_MEMBER(PurgeMask), sizeof(ULONG)},
    {IOCTL_SERIAL_SET_BREAK_OFF, NO_INPUT, 0},
    {IOCTL_SERIAL_SET_WAIT_MASK, SETUP_MEMBER(WaitMask), sizeof(ULONG)},
    {0, NO_INPUT, 0},
};

/* Grace beyond the line's own time-outs before a transfer is given up on. */
#define TRANSFER_GRACE_MS 1000

extern "C" VOID FillSerialSetup(PSERIAL_SETUP Setup) {
    RtlZeroMemory(Setup, sizeof(*Setup));
    Setup->HandFlow.ControlHandShake = 0;
    Setup->HandFlow.FlowReplace = SERIAL_XOFF_CONTINUE;
    Setup->Timeouts.ReadIntervalTimeout = 50;
    Setup->Timeouts.ReadTotalTimeoutMultiplier = 0;
    Setup->Timeouts.ReadTotalTimeoutConstant = 100;
    Setup->Timeouts.WriteTotalTimeoutMultiplier = 0;
    Setup->Timeouts.WriteTotalTimeoutConstant = WRITE_TOTAL_TIMEOUT_MS;
    Setup->Baud.BaudRate = 19200;
    Setup->LineControl.StopBits = STOP_BIT_1;
    Setup->LineControl.Parity = NO_PARITY;
    Setup->LineControl.WordLength = 8;
    Setup->WaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_DSR;
    Setup->PurgeMask = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
}

static ULONG TransferBoundMs(PREADER_EXTENSION ReaderExtension, BOOLEAN Write, ULONG Length) {
    if (Write) return WRITE_TOTAL_TIMEOUT_MS + TRANSFER_GRACE_MS;
    return ReaderExtension->TotalTimeout + Length * ReaderExtension->CharTimeout + TRANSFER_GRACE_MS;
}

/* A write or read built as a buffered device control and turned into a plain IRP_MJ_WRITE or
 * IRP_MJ_READ for the port; the I/O manager provides the system buffer, copies read data back and
 * frees the request. */
static NTSTATUS TransferSync(PREADER_EXTENSION ReaderExtension, BOOLEAN Write, PUCHAR Buffer, ULONG Length) {
    KEVENT event;
    IO_STATUS_BLOCK statusBlock;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(Write ? SERIAL_WRITE_CODE : SERIAL_READ_CODE,
                                             ReaderExtension->AttachedSerialPort, Write ? Buffer : NULL,
                                             Write ? Length : 0, Write ? NULL : Buffer, Write ? 0 : Length,
                                             FALSE, &event, &statusBlock);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (Write) {
        next->MajorFunction = IRP_MJ_WRITE;
        next->Parameters.Write.Length = Length;
        next->Parameters.Write.ByteOffset.QuadPart = 0;
    } else {
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = Length;
    }

    NTSTATUS status = IoCallDriver(ReaderExtension->AttachedSerialPort, irp);
    if (status == STATUS_PENDING) {
        /*
         * The line's write and read time-outs end the request; this bound is only for a port that
         * does not keep them.  Past it the request is cancelled, and waited for, since it completes
         * into our event and status block.
         */
        LARGE_INTEGER bound;
        bound.QuadPart = -(LONGLONG)TransferBoundMs(ReaderExtension, Write, Length) * 10000;
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &bound) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            /* As for a request whose line time-out ran out: a read that got nothing. */
            return STATUS_TIMEOUT;
        }
        status = statusBlock.Status;
    }
    return status;
}

extern "C" NTSTATUS SerialWrite(PREADER_EXTENSION ReaderExtension, const UCHAR *Data, ULONG Length) {
    NTSTATUS status = ResetReceive(ReaderExtension);
    if (status != STATUS_SUCCESS) {
        SmartcardDebug(DEBUG_DRIVER | DEBUG_ERROR, (DRIVER_NAME "!SerialWrite: the port is gone\n"));
        return status;
    }
    return TransferSync(ReaderExtension, TRUE, (PUCHAR)Data, Length);
}

extern "C" NTSTATUS SerialWriteQueued(PREADER_EXTENSION ReaderExtension, const UCHAR *Data, ULONG Length) {
    /* No ResetReceive: the replies of the commands in front of this one are still to be taken,
     * and may be held already.  A port that is gone fails the wait for them. */
    return TransferSync(ReaderExtension, TRUE, (PUCHAR)Data, Length);
}

extern "C" NTSTATUS SerialRead(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Length) {
    return TransferSync(ReaderExtension, FALSE, Buffer, Length);
}

/* Keeps the request for SerialIoctl, which hands it back to the I/O manager when it is done
 * with it, also after a time-out and a cancel. */
static IO_COMPLETION_ROUTINE SerialIoctlCompletion;
static NTSTATUS SerialIoctlCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

extern "C" NTSTATUS SerialIoctl(PREADER_EXTENSION ReaderExtension, ULONG IoControlCode, PVOID Input,
                                ULONG InputLength, PVOID Output, ULONG OutputLength) {
    KEVENT event, kept;
    IO_STATUS_BLOCK statusBlock;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&kept, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, ReaderExtension->AttachedSerialPort, Input,
                                             InputLength, Output, OutputLength, FALSE, &event, &statusBlock);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    IoSetCompletionRoutine(irp, SerialIoctlCompletion, &kept, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(ReaderExtension->AttachedSerialPort, irp);
    BOOLEAN timedOut = FALSE;
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -(LONGLONG)ReaderExtension->TotalTimeout * 10000;
        if (KeWaitForSingleObject(&kept, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            /* The request is still at the port and may complete at any moment into our event and
             * status block: cancel it and wait until the port has let it go. */
            timedOut = TRUE;
            IoCancelIrp(irp);
            KeWaitForSingleObject(&kept, Executive, KernelMode, FALSE, NULL);
        }
    }
    /* The I/O manager finishes it: copies the output back, fills the status block, frees it. */
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (timedOut) return STATUS_IO_TIMEOUT;
    return status == STATUS_PENDING ? statusBlock.Status : status;
}

extern "C" NTSTATUS ConfigureSerialPort(PREADER_EXTENSION ReaderExtension, PSERIAL_SETUP Setup) {
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; SerialSetupRequests[i].IoControlCode != 0 && status == STATUS_SUCCESS; ++i) {
        const SERIAL_SETUP_REQUEST *request = &SerialSetupRequests[i];
        PVOID input = request->InputOffset == NO_INPUT ? NULL : (PUCHAR)Setup + request->InputOffset;
        status = SerialIoctl(ReaderExtension, request->IoControlCode, input, request->InputLength, NULL, 0);
        /* The port needs time to settle after each change, whatever it answered. */
        WaitMilliseconds(25);
    }
    if (status != STATUS_SUCCESS) return status;
    return ArmSerialWait(ReaderExtension);
}

extern "C" VOID WaitMilliseconds(ULONG Milliseconds) {
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        /* No waiting here: hold the processor, 50 us at a time. */
        for (ULONG i = 0; i < 20 * Milliseconds; ++i) KeStallExecutionProcessor(50);
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)Milliseconds * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
