/*
 * Card presence.  The library keeps the card state in ReaderCapabilities.CurrentState and parks
 * a tracking request (IS_PRESENT / IS_ABSENT) whose condition does not hold yet in NotificationIrp.
 * UpdateCardState is the one routine that writes a card state for the reader; when presence
 * changes it completes the parked request.  For tracking the states fall into two classes:
 * no card (SCARD_UNKNOWN, SCARD_ABSENT) and card (SCARD_PRESENT and up).
 *
 * Lock order: the OsData spin lock, then the system cancel spin lock.
 */
#include "driver.h"

static BOOLEAN CardIn(ULONG State) { return State > SCARD_ABSENT; }

extern "C" VOID UpdateCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State) {
    PSMARTCARD_OS_DATA osData = SmartcardExtension->OsData;
    ULONG newState = State;
    BOOLEAN queried = State == 0;
    BOOLEAN queryFailed = FALSE;

    if (queried) {
        BOOLEAN present = FALSE;
        if (ReadCardPresence(SmartcardExtension->ReaderExtension, &present) == STATUS_SUCCESS)
            newState = present ? SCARD_SWALLOWED : SCARD_ABSENT;
        else
            queryFailed = TRUE;
    }

    const ULONG before = SmartcardExtension->ReaderCapabilities.CurrentState;
    const BOOLEAN changed = before == SCARD_UNKNOWN || CardIn(before) != CardIn(newState);

    KIRQL irql;
    KeAcquireSpinLock(&osData->SpinLock, &irql);

    /* A state given by the caller is always stored; a query stores its finding only when the
     * presence changed, so that a card found present stays SCARD_SPECIFIC, not SCARD_SWALLOWED. */
    if (!queried || (!queryFailed && changed)) SmartcardExtension->ReaderCapabilities.CurrentState = newState;

    if (changed && osData->NotificationIrp != NULL) {
        KIRQL cancelIrql;
        IoAcquireCancelSpinLock(&cancelIrql);
        PIRP irp = osData->NotificationIrp;
        if (irp != NULL) IoSetCancelRoutine(irp, NULL);
        IoReleaseCancelSpinLock(cancelIrql);
        /* Found empty under the cancel lock: a cancellation has completed the request already. */
        if (irp != NULL) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 0;
            osData->NotificationIrp = NULL;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
    }

    KeReleaseSpinLock(&osData->SpinLock, irql);
}

extern "C" VOID CancelCardTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PSMARTCARD_EXTENSION smartcardExtension = (PSMARTCARD_EXTENSION)DeviceObject->DeviceExtension;
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    smartcardExtension->OsData->NotificationIrp = NULL;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

extern "C" NTSTATUS CardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP irp = SmartcardExtension->OsData->NotificationIrp;
    if (irp != NULL) {
        IoSetCancelRoutine(irp, CancelCardTracking);
        /*
         * Cancelled before the routine was in place: IoCancelIrp found nothing to call, so the
         * request is finished here, as its cancel routine would have (which also releases the
         * cancel spin lock).
         */
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
            irp->CancelIrql = cancelIrql;
            CancelCardTracking(SmartcardExtension->OsData->DeviceObject, irp);
            return STATUS_PENDING;
        }
    }
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_PENDING;
}

/* The reader's in-band report of the card coming or going, from the receive engine's run. */
extern "C" VOID ReportCardMoved(PREADER_EXTENSION ReaderExtension, BOOLEAN Present) {
    UpdateCardState(ReaderExtension->SmartcardExtension, Present ? SCARD_PRESENT : SCARD_ABSENT);
}
