/*
 * The receive engine.  The reader speaks whenever it has something to say: the reply to each
 * command, the card's bytes, and in-band events behind the escape byte 0x10:
 *
 *     b            data byte (b != 0x10)          0x10 0x84   reader error on the exchange
 *     0x10 0x10    data byte 0x10                 0x10 0x88   the card byte here was faulty
 *     0x10 0x85    card inserted                  0x10 0x83   reader time-out: the card fell
 *     0x10 0x86    card removed                               silent
 *     0x10 x       anything else: both bytes dropped
 *
 * A wait-on-mask request stays pending at the serial port.  When it reports a received character
 * a work item reads the port byte by byte, decodes the stream into RxBuffer, reports insertion and
 * removal at once, re-arms the wait and wakes the one consumer (ReadReceived, WaitBlockEnd) at
 * the end of its run.  At any time there is exactly one of: a wait pending, or a run queued or
 * running.
 */
#include "driver.h"
#include "reader_registers.h"

extern "C" NTSTATUS ArmSerialWait(PREADER_EXTENSION ReaderExtension) {
    PDEVICE_OBJECT port = ReaderExtension->AttachedSerialPort;
    PIRP irp = IoAllocateIrp((CCHAR)(port->StackSize + 1), FALSE);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    /* A wait that the port ends without writing the mask (refused because the mask is 0 by now)
     * must read as "no character", so that a cleared mask always ends in the port's close. */
    ReaderExtension->SerialEvents = 0;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    next->Parameters.DeviceIoControl.InputBufferLength = 0;
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
    irp->AssociatedIrp.SystemBuffer = &ReaderExtension->SerialEvents;
    IoSetCompletionRoutine(irp, SerialWaitCompletion, ReaderExtension, TRUE, TRUE, TRUE);
    (void)IoCallDriver(port, irp);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS SerialWaitCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PREADER_EXTENSION readerExtension = (PREADER_EXTENSION)Context;
    /* The request goes first: once the work is queued it may run at once on another processor,
     * and the close worker may end in the device's removal and the driver's unload while this
     * routine would still be about to free it. */
    IoFreeIrp(Irp);
    /* A DSR change reported beside characters (both came while a run was reading) loses the port
     * as surely as one reported alone, and no later wait would report it again. */
    if ((readerExtension->SerialEvents & (SERIAL_EV_RXCHAR | SERIAL_EV_DSR)) == SERIAL_EV_RXCHAR)
        IoQueueWorkItem(readerExtension->ReadWorkItem, ReadWorker, CriticalWorkQueue, readerExtension);
    else
        readerExtension->ReceiveClient->PortLost(readerExtension);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS BytesWaiting(PREADER_EXTENSION ReaderExtension, PULONG Waiting) {
    SERIAL_STATUS serialStatus;
    RtlZeroMemory(&serialStatus, sizeof(serialStatus));
    NTSTATUS status = SerialIoctl(ReaderExtension, IOCTL_SERIAL_GET_COMMSTATUS, NULL, 0, &serialStatus,
                                  sizeof(serialStatus));
    *Waiting = serialStatus.AmountInInQueue;
    return status;
}

static BOOLEAN CardAskedForMoreTime(PREADER_EXTENSION ReaderExtension) {
    return ReaderExtension->ReceiveClient->CardAskedForMoreTime(ReaderExtension);
}

/* What one run has found so far, for its end. */
typedef struct _RECEIVE_RUN {
    NTSTATUS Status;      /* of the last request the run made of the port */
    BOOLEAN SignalWaiter; /* the consumer is woken at the end of the run */
    BOOLEAN ReadFailed;   /* the port's queues are purged at the end of the run */
} RECEIVE_RUN, *PRECEIVE_RUN;

/* TRUE when the port's queue is empty, or cannot be asked: the run may end. */
static BOOLEAN QueueEmpty(PREADER_EXTENSION ReaderExtension, PRECEIVE_RUN Run) {
    ULONG waiting = 0;
    Run->Status = BytesWaiting(ReaderExtension, &waiting);
    return (BOOLEAN)(Run->Status != STATUS_SUCCESS || waiting == 0);
}

/* The escape byte pairs with the one after it, also across runs.  FALSE while a pair is open;
 * else *IsEvent tells an in-band event from a data byte. */
static BOOLEAN DecodeSymbol(PREADER_EXTENSION ReaderExtension, UCHAR B, PBOOLEAN IsEvent) {
    *IsEvent = FALSE;
    if (B == READER_ESCAPE && !ReaderExtension->EscapePending) {
        ReaderExtension->EscapePending = TRUE;
        return FALSE;
    }
    if (ReaderExtension->EscapePending) {
        ReaderExtension->EscapePending = FALSE;
        *IsEvent = B != READER_ESCAPE;
    }
    return TRUE;
}

/* A data byte into RxBuffer; TRUE ends the run. */
static BOOLEAN StoreDataByte(PREADER_EXTENSION ReaderExtension, UCHAR B, PRECEIVE_RUN Run) {
    KIRQL irql;
    if (ReaderExtension->RxCount + 1 >= RX_BUFFER_SIZE) return FALSE; /* full: dropped */
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    ReaderExtension->RxBuffer[ReaderExtension->RxCount++] = B;
    if (ReaderExtension->RxCount >= ReaderExtension->RxWanted) {
        if (ReaderExtension->RxWanted != RX_NOBODY_WAITS) Run->SignalWaiter = TRUE;
        ReaderExtension->RxWanted = RX_NOBODY_WAITS;
    }
    BOOLEAN nobodyWaits = ReaderExtension->RxWanted == RX_NOBODY_WAITS;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    /* Nobody needs more: end the run as soon as the port's queue is empty.  A consumer that still
     * needs bytes has the run block in the next read, bounded by the line's read time-outs,
     * rather than poll the queue. */
    return (BOOLEAN)(nobodyWaits && QueueEmpty(ReaderExtension, Run));
}

/* 0x10 0x85, 0x10 0x86: reported at once; the run ends unless more is waiting.  The port's
 * next wait completes only for characters that come after it is armed: bytes that came with the
 * event (a card swapped at once, both events in one burst) would wait for the next thing the
 * reader says, which may be nothing at all. */
static BOOLEAN OnCardMoved(PREADER_EXTENSION ReaderExtension, UCHAR B, PRECEIVE_RUN Run) {
    KIRQL countIrql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &countIrql);
    ++ReaderExtension->CardEvents; /* before the report: see ReceivedCardEvents */
    KeReleaseSpinLock(&ReaderExtension->RxLock, countIrql);
    ReaderExtension->ReceiveClient->CardMoved(ReaderExtension, (BOOLEAN)(B == READER_EVENT_CARD_INSERTED));
    if (B == READER_EVENT_CARD_REMOVED) {
        /* No card byte will come for an exchange in progress: wake it now. */
        KIRQL irql;
        KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
        if (ReaderExtension->ExchangeInProgress) {
            ReaderExtension->CardRemovedInExchange = TRUE;
            if (ReaderExtension->RxWanted != RX_NOBODY_WAITS) {
                ReaderExtension->RxStatus = STATUS_NO_MEDIA;
                Run->SignalWaiter = TRUE;
            }
        }
        KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    }
    return QueueEmpty(ReaderExtension, Run);
}

/* 0x10 0x84: the reader gave up on the exchange; the consumer is woken with a failure. */
static VOID OnReaderError(PREADER_EXTENSION ReaderExtension, PRECEIVE_RUN Run) {
    KIRQL irql;
    Run->SignalWaiter = TRUE;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    if (ReaderExtension->RxWanted != RX_NOBODY_WAITS && ReaderExtension->RxWanted < RX_BUFFER_SIZE) {
        /* Meet the waiting consumer's count; it finds the 0x84 in front and maps it. */
        ReaderExtension->RxBuffer[ReaderExtension->RxCount] = READER_EVENT_READER_ERROR;
        ReaderExtension->RxCount = ReaderExtension->RxWanted;
    } else if (ReaderExtension->RxCount + 1 < RX_BUFFER_SIZE) {
        /* Nobody waits (or the count can never be met): keep the 0x84 as the next
         * byte, so that a consumer about to ask for its reply takes it as one. */
        ReaderExtension->RxBuffer[ReaderExtension->RxCount++] = READER_EVENT_READER_ERROR;
    }
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    ReaderExtension->RxStatus = STATUS_UNSUCCESSFUL;
}

/* 0x10 0x88: the faulty card byte holds its place as 0x00 and marks the exchange. */
static VOID OnFaultyByte(PREADER_EXTENSION ReaderExtension, PRECEIVE_RUN Run) {
    KIRQL irql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    if (ReaderExtension->RxCount + 1 < RX_BUFFER_SIZE)
        ReaderExtension->RxBuffer[ReaderExtension->RxCount++] = 0x00; /* holds its place */
    if (ReaderExtension->RxCount >= ReaderExtension->RxWanted) Run->SignalWaiter = TRUE;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    ReaderExtension->ReceiveError = STATUS_DATA_ERROR;
}

/*
 * A block's end report that WaitBlockEnd gave up on is still owed by the reader, and comes in
 * front of anything it says about the next command: the reader stops watching the card at the
 * command's first byte and watches again only after its reply.  So the first symbol after the
 * give-up settles the debt: the report itself, or anything else (the report was lost).  A host
 * whose scheduler holds the reader's bytes back (a loaded machine, a USB adapter) can deliver
 * the report after the next command is written; taken for that command's reader time-out, it
 * would fail a block the card answered.
 */
static BOOLEAN SettleOwedBlockEnd(PREADER_EXTENSION ReaderExtension) {
    if (!ReaderExtension->BlockEndOwed) return FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    const BOOLEAN owed = ReaderExtension->BlockEndOwed;
    ReaderExtension->BlockEndOwed = FALSE;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    return owed;
}

/* 0x10 0x83: the card fell silent, or (all bytes in) its block is over; TRUE ends the run. */
static BOOLEAN OnReaderTimeout(PREADER_EXTENSION ReaderExtension, PRECEIVE_RUN Run) {
    if (SettleOwedBlockEnd(ReaderExtension)) {
        /* The last block's end, late: nothing for the consumer now, who may wait for a reply. */
        KIRQL wantedIrql;
        KeAcquireSpinLock(&ReaderExtension->RxLock, &wantedIrql);
        const BOOLEAN nobodyWaits = ReaderExtension->RxWanted == RX_NOBODY_WAITS;
        KeReleaseSpinLock(&ReaderExtension->RxLock, wantedIrql);
        return (BOOLEAN)(nobodyWaits && QueueEmpty(ReaderExtension, Run));
    }
    if (CardAskedForMoreTime(ReaderExtension)) return FALSE;
    KIRQL irql;
    BOOLEAN blockEnd = FALSE;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    if (ReaderExtension->RxCount < ReaderExtension->RxWanted && ReaderExtension->RxWanted != RX_NOBODY_WAITS) {
        ReaderExtension->RxStatus = STATUS_IO_TIMEOUT;
    } else {
        ReaderExtension->BlockEndStatus = STATUS_SUCCESS;
        blockEnd = TRUE;
    }
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    Run->SignalWaiter = TRUE;
    /*
     * The report closes what arrived whole: end the run once the port's queue is empty, as a
     * satisfied data byte does.  Reading on would only end on the line's read time-out, a whole
     * character waiting time later, whose end tells the consumer that its complete block timed
     * out.
     */
    return (BOOLEAN)(blockEnd && QueueEmpty(ReaderExtension, Run));
}

/* An in-band event; TRUE ends the run.  Unknown codes are dropped. */
static BOOLEAN HandleReaderEvent(PREADER_EXTENSION ReaderExtension, UCHAR B, PRECEIVE_RUN Run) {
    switch (B) {
    case READER_EVENT_CARD_INSERTED:
    case READER_EVENT_CARD_REMOVED: return OnCardMoved(ReaderExtension, B, Run);
    case READER_EVENT_READER_ERROR: OnReaderError(ReaderExtension, Run); return FALSE;
    case READER_EVENT_FAULTY_BYTE: OnFaultyByte(ReaderExtension, Run); return FALSE;
    case READER_EVENT_TIMEOUT: return OnReaderTimeout(ReaderExtension, Run);
    default: return FALSE;
    }
}

/* Reads the port byte by byte and decodes until the run is over. */
static VOID DecodeRun(PREADER_EXTENSION ReaderExtension, PRECEIVE_RUN Run) {
    for (;;) {
        Run->Status = SerialRead(ReaderExtension, &ReaderExtension->RxByte, 1);
        if (Run->Status != STATUS_SUCCESS) {
            Run->ReadFailed = TRUE;
            return;
        }
        const UCHAR b = ReaderExtension->RxByte;
        BOOLEAN isEvent;
        if (!DecodeSymbol(ReaderExtension, b, &isEvent)) continue;
        if (!isEvent || b != READER_EVENT_TIMEOUT) (void)SettleOwedBlockEnd(ReaderExtension);
        if (isEvent ? HandleReaderEvent(ReaderExtension, b, Run) : StoreDataByte(ReaderExtension, b, Run)) return;
    }
}

/* The run's outcome to the consumer, then the purge after a failed read. */
static VOID DeliverRun(PREADER_EXTENSION ReaderExtension, PRECEIVE_RUN Run) {
    if (Run->Status == STATUS_TIMEOUT && !CardAskedForMoreTime(ReaderExtension)) {
        ReaderExtension->RxStatus = STATUS_TIMEOUT;
        KeSetEvent(&ReaderExtension->RxEvent, IO_SERIAL_INCREMENT, FALSE);
    } else if (Run->SignalWaiter) {
        KeSetEvent(&ReaderExtension->RxEvent, IO_SERIAL_INCREMENT, FALSE);
    }
    if (Run->ReadFailed) {
        ULONG purge = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
        (void)SerialIoctl(ReaderExtension, IOCTL_SERIAL_PURGE, &purge, sizeof(purge), NULL, 0);
    }
}

/*
 * Re-arm last.  The port remembers the characters that came during this run, so the next wait
 * may complete at once and queue the next run on another worker thread, or, after a stop, the
 * close worker, after which the records may be freed.  Nothing of this run may come after it:
 * not the signal (the next run starts by clearing RxStatus), not the purge.
 *
 * No further wait once a stop has cleared the wait mask (EngineStopping, set before the clearing):
 * the close worker is queued instead.  An engine that cannot wait any more (no request for the
 * wait) has lost its port as surely as on a DSR drop, and is closed the same way: otherwise no
 * wait would ever complete, and a stop would wait for a close worker that never comes.
 */
static VOID RearmOrClose(PREADER_EXTENSION ReaderExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    BOOLEAN stopping = ReaderExtension->EngineStopping;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    if (stopping || ArmSerialWait(ReaderExtension) != STATUS_SUCCESS) ReaderExtension->ReceiveClient->PortLost(ReaderExtension);
}

extern "C" VOID ReadWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PREADER_EXTENSION readerExtension = (PREADER_EXTENSION)Context;
    RECEIVE_RUN run;
    run.Status = STATUS_SUCCESS;
    run.SignalWaiter = FALSE;
    run.ReadFailed = FALSE;

    if (!QueueEmpty(readerExtension, &run)) {
        /*
         * A fresh status for this run's consumer, unless the last run's outcome is still
         * signalled and not yet taken.  The port remembers the characters of a burst, so a run
         * often follows the one that woke the consumer at once; clearing the status then, before
         * the consumer has read it, would turn a reader error or a time-out into success.  A run
         * with nothing to read leaves it alone for the same reason.
         */
        if (KeReadStateEvent(&readerExtension->RxEvent) == 0) readerExtension->RxStatus = STATUS_SUCCESS;
        DecodeRun(readerExtension, &run);
    }
    DeliverRun(readerExtension, &run);
    RearmOrClose(readerExtension);
}

extern "C" NTSTATUS ReadReceived(PREADER_EXTENSION ReaderExtension, PUCHAR Destination, ULONG Count) {
    NTSTATUS status;
    KIRQL irql;

    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    if (ReaderExtension->RxCount < Count) {
        if (ReaderExtension->PortGone || ReaderExtension->CardRemovedInExchange) {
            KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
            return ReaderExtension->PortGone ? STATUS_DEVICE_REMOVED : STATUS_NO_MEDIA;
        }
        ReaderExtension->RxWanted = Count;
        KeReleaseSpinLock(&ReaderExtension->RxLock, irql);

        LARGE_INTEGER timeout;
        ULONG timeoutMs = Count * ReaderExtension->CharTimeout + ReaderExtension->TotalTimeout;
        timeout.QuadPart = -(LONGLONG)timeoutMs * 10000;
        NTSTATUS wait = KeWaitForSingleObject(&ReaderExtension->RxEvent, Executive, KernelMode, FALSE, &timeout);
        /* The status first: the signal keeps the next run from clearing it until taken. */
        status = wait == STATUS_TIMEOUT ? STATUS_TIMEOUT : ReaderExtension->RxStatus;
        KeClearEvent(&ReaderExtension->RxEvent);

        KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
        if (status != STATUS_SUCCESS) {
            if (status == STATUS_IO_TIMEOUT || status == STATUS_TIMEOUT) {
                status = STATUS_IO_TIMEOUT;
            } else if (!CARD_OR_READER_GONE(status)) {
                status = MapReaderStatus(ReaderExtension->RxBuffer[0]);
                /* A reader error with a success byte in front delivers nothing: the caller must
                 * not take it for n bytes received. */
                if (status == STATUS_SUCCESS) status = STATUS_DATA_ERROR;
            }
            KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
            return status;
        }
        if (ReaderExtension->RxCount < Count) {
            KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
            return STATUS_IO_TIMEOUT;
        }
    }

    RtlCopyMemory(Destination, ReaderExtension->RxBuffer, Count);
    ReaderExtension->RxCount -= Count;
    RtlMoveMemory(ReaderExtension->RxBuffer, ReaderExtension->RxBuffer + Count, ReaderExtension->RxCount);
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WaitBlockEnd(PREADER_EXTENSION ReaderExtension) {
    if (ReaderExtension->BlockEndStatus == STATUS_SUCCESS) return STATUS_SUCCESS;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)ReaderExtension->CharTimeout * 10000;
    (void)KeWaitForSingleObject(&ReaderExtension->RxEvent, Executive, KernelMode, FALSE, &timeout);
    KeClearEvent(&ReaderExtension->RxEvent);
    /* The block itself is whole; its end report, if it comes now, is the last block's (above). */
    KIRQL irql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    const NTSTATUS status = ReaderExtension->BlockEndStatus;
    if (status != STATUS_SUCCESS) ReaderExtension->BlockEndOwed = TRUE;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    return status;
}

/*
 * After a T=0 exchange the reader still watches the card: if the card stays silent for the
 * character time-out it reports 0x10 0x83, unless the next command's first byte comes in first.
 * A command written just as that time runs out finds the report in front of its own reply, and
 * taken for that command's reader time-out it would fail a command the reader goes on to answer.
 * The report is owed as a late block end is (SettleOwedBlockEnd): the first symbol after it
 * settles it, whether the report itself or anything else.
 */
extern "C" VOID OweCardWatchReport(PREADER_EXTENSION ReaderExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    ReaderExtension->BlockEndOwed = TRUE;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
}

/*
 * The rest of the driver starts and ends its receptions here rather than writing the engine's
 * fields itself (context.h lists who owns which).  Each routine takes RxLock exactly where the
 * code it replaces did: the lock's acquisitions are the points at which the run and the consumer
 * interleave, and the order of those points is part of the engine's behaviour.
 */

extern "C" VOID BeginReceive(PREADER_EXTENSION ReaderExtension, BOOLEAN AwaitBlockEnd) {
    /* Only the consumer's thread writes these, and only while no reply of its own is due: a run
     * that marks a faulty byte or a block's end does so for the exchange that started here. */
    ReaderExtension->ReceiveError = STATUS_SUCCESS;
    if (AwaitBlockEnd) ReaderExtension->BlockEndStatus = STATUS_IO_TIMEOUT;
}

extern "C" NTSTATUS ResetReceive(PREADER_EXTENSION ReaderExtension) {
    /* Every command starts with no stale reply and no stale signal. */
    KIRQL irql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    if (ReaderExtension->PortGone) {
        KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
        return STATUS_DEVICE_REMOVED;
    }
    ReaderExtension->RxCount = 0;
    /* A run that saw a reader event reads on until the line falls silent; if its consumer gave up
     * first, the status it set would otherwise fail the reply of this command in the same run. */
    ReaderExtension->RxStatus = STATUS_SUCCESS;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    KeClearEvent(&ReaderExtension->RxEvent);
    return STATUS_SUCCESS;
}

extern "C" ULONG DropReceived(PREADER_EXTENSION ReaderExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    const ULONG dropped = ReaderExtension->RxCount;
    ReaderExtension->RxCount = 0;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    return dropped;
}

extern "C" BOOLEAN ReceivedCardRemoval(PREADER_EXTENSION ReaderExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    const BOOLEAN removed = ReaderExtension->CardRemovedInExchange;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    return removed;
}

extern "C" BOOLEAN ReceivedFaultyByte(PREADER_EXTENSION ReaderExtension) {
    return (BOOLEAN)(ReaderExtension->ReceiveError != STATUS_SUCCESS);
}

extern "C" BOOLEAN ReceivedBytesWaiting(PREADER_EXTENSION ReaderExtension) {
    /* A glance between exchanges, when no run is expected to be storing: no lock. */
    return (BOOLEAN)(ReaderExtension->RxCount != 0);
}

extern "C" VOID ReceivePortLost(PREADER_EXTENSION ReaderExtension) {
    /*
     * Whoever waits for the reader now waits for a line that is gone: wake it, as a card pull
     * does, rather than let it sit out its time-out and the retries of its exchange.
     */
    KIRQL irql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    ReaderExtension->PortGone = TRUE;
    BOOLEAN wake = ReaderExtension->RxWanted != RX_NOBODY_WAITS;
    if (wake) ReaderExtension->RxStatus = STATUS_DEVICE_REMOVED;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    if (wake) KeSetEvent(&ReaderExtension->RxEvent, IO_NO_INCREMENT, FALSE);
}

extern "C" ULONG ReceivedCardEvents(PREADER_EXTENSION ReaderExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    const ULONG events = ReaderExtension->CardEvents;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
    return events;
}
