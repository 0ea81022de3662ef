/*
 * Card presence.  The library keeps the card state in ReaderCapabilities.CurrentState and parks
 * a tracking request (IS_PRESENT / IS_ABSENT) whose condition does not hold yet in NotificationIrp.
 * UpdateCardState is the one routine that writes a card state for the reader; when presence
 * changes it completes the parked request.  For tracking the states fall into two classes:
 * no card (SCARD_UNKNOWN, SCARD_ABSENT) and card (SCARD_PRESENT and up).
 *
 * Lock order: the OsData spin lock, then the system cancel spin lock or the receive engine's RxLock.
 */
#include "driver.h"

static BOOLEAN CardIn(ULONG State) { return State > SCARD_ABSENT; }

/* The parked tracking request, if any, is completed: the presence changed.  Under the OsData lock. */
static VOID CompleteCardTracking(PSMARTCARD_OS_DATA osData) {
    if (osData->NotificationIrp == NULL) return;
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

/*
 * The reader's answer to a presence query may be older than a card event the receive engine
 * reports after it: the reply and the event can come in one run of the engine, which stores the
 * event before the querying thread is even woken.  A query's finding is therefore stored only if
 * no card event was reported since the query began (CardEventsBefore, from ReceivedCardEvents);
 * the check and the store are under the OsData lock, and the engine counts an event before it
 * stores it, so one of the two always sees the other.
 */
static BOOLEAN SupersededByCardEvent(PSMARTCARD_EXTENSION SmartcardExtension, ULONG CardEventsBefore) {
    return (BOOLEAN)(ReceivedCardEvents(SmartcardExtension->ReaderExtension) != CardEventsBefore);
}

/*
 * The one store of a card state, under the OsData lock, unless a card event has come since
 * CardEventsBefore (NO_CARD_EVENT_CHECK: never).  State 0 is a query that failed: nothing is
 * stored, but a card that was reported present wakes the parked request.  OnlyOnChange: a query's
 * finding, stored only when the presence changed, so that a card found present stays
 * SCARD_SPECIFIC, not SCARD_SWALLOWED; a state given by the caller is always stored.
 */
static VOID StoreCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State, ULONG CardEventsBefore,
                           BOOLEAN OnlyOnChange) {
    PSMARTCARD_OS_DATA osData = SmartcardExtension->OsData;
    KIRQL irql;
    KeAcquireSpinLock(&osData->SpinLock, &irql);
    if (CardEventsBefore == NO_CARD_EVENT_CHECK || !SupersededByCardEvent(SmartcardExtension, CardEventsBefore)) {
        const ULONG before = SmartcardExtension->ReaderCapabilities.CurrentState;
        const BOOLEAN changed = before == SCARD_UNKNOWN || CardIn(before) != CardIn(State);
        if (State != 0 && (changed || !OnlyOnChange)) SmartcardExtension->ReaderCapabilities.CurrentState = State;
        if (changed) CompleteCardTracking(osData);
    }
    KeReleaseSpinLock(&osData->SpinLock, irql);
}

extern "C" VOID UpdateCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State) {
    if (State != 0) {
        StoreCardState(SmartcardExtension, State, NO_CARD_EVENT_CHECK, FALSE);
        return;
    }
    const ULONG eventsBefore = ReceivedCardEvents(SmartcardExtension->ReaderExtension);
    BOOLEAN present = FALSE;
    if (ReadCardPresence(SmartcardExtension->ReaderExtension, &present) != STATUS_SUCCESS)
        StoreCardState(SmartcardExtension, 0, eventsBefore, TRUE);
    else
        StoreCardState(SmartcardExtension, present ? SCARD_SWALLOWED : SCARD_ABSENT, eventsBefore, TRUE);
}

extern "C" VOID UpdateCardStateFromReader(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State,
                                          ULONG CardEventsBefore) {
    StoreCardState(SmartcardExtension, State, CardEventsBefore, FALSE);
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
