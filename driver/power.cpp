/*
 * Power requests.  The driver owns its device's power policy: a system sleep into S3 or deeper
 * becomes a D3 request of its own, any other system state a D0 request.  System requests are
 * completed here, never passed to the serial port; device requests always go down.
 *
 *     sleep   query Sx (device control held back) -> set Sx -> D3 requested: card powered down,
 *             reader registers shut down, 200 ms, D3 down -> PowerRequestComplete -> Sx done
 *     wake    set S0 -> D0 requested, down with PowerUpCompletion: reader initialised, card
 *             re-reported, device control let go -> PowerRequestComplete -> S0 done
 *
 * Every request ends in one of four ways: passed down, passed down for power-up (finished by
 * PowerUpCompletion), completed here, or turned into a device request (finished by
 * PowerRequestComplete).  The remove-lock reference DispatchPower takes is given back by
 * whichever of them finishes the request, as its very last use of the device: a removal
 * waiting for the lock may free the device the moment it is given back.
 */
#include "driver.h"

/* The contacts of a card powered down for a sleep, and the reader's own, settle this long. */
#define SLEEP_SETTLE_MS 200

static BOOLEAN PortOpen(PDEVICE_EXTENSION DeviceExtension) {
    return KeReadStateEvent(&DeviceExtension->SerialCloseDone) == 0;
}

static NTSTATUS PassDown(PSMARTCARD_EXTENSION SmartcardExtension, PDEVICE_OBJECT Lower, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = PoCallDriver(Lower, Irp);
    SmartcardReleaseRemoveLock(SmartcardExtension);
    return status;
}

static NTSTATUS CompleteHere(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    PoStartNextPowerIrp(Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    SmartcardReleaseRemoveLock(SmartcardExtension);
    return Status;
}

static NTSTATUS RequestDevicePower(PDEVICE_OBJECT DeviceObject, PSMARTCARD_EXTENSION SmartcardExtension,
                                   PIRP Irp, DEVICE_POWER_STATE State) {
    POWER_STATE wanted;
    wanted.DeviceState = State;
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    NTSTATUS status = PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, wanted, PowerRequestComplete, Irp, NULL);
    if (!NT_SUCCESS(status)) {
        /* No device request, so PowerRequestComplete will not run: the system request ends here
         * with the failure.  It is marked pending, which is what its dispatch must return. */
        (void)CompleteHere(SmartcardExtension, Irp, status);
        return STATUS_PENDING;
    }
    return status;
}

/*
 * Device control stops at ReaderStarted from now on.  A request already admitted may be inside
 * a reader function, talking to the reader: the card must not be powered down under it (both
 * would read the one receive buffer), so wait until it has left.  A sleep query found none
 * in progress; a sleep that came without one (a critical sleep, a shutdown) may find one.  The
 * last request to leave sets DeviceControlIdle (LeaveDeviceControl); the wait has a bound,
 * HOLD_BACK_BOUND_MS, past which the power-down goes on without the reader.  Returns whether the
 * reader is free, that is whether every request has left.
 */
static BOOLEAN HoldBackDeviceControl(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    HoldReaderStartedLocked(DeviceExtension);
    DeviceExtension->PowerHeldDeviceControl = TRUE;
    const BOOLEAN inProgress = DeviceExtension->IoCount > 0;
    if (inProgress) {
        /* Nobody else touches the event while HoldBackWaiting is clear. */
        KeInitializeEvent(&DeviceExtension->DeviceControlIdle, NotificationEvent, FALSE);
        DeviceExtension->HoldBackWaiting = TRUE;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
    if (!inProgress) return TRUE;

    LARGE_INTEGER bound;
    bound.QuadPart = -(LONGLONG)HOLD_BACK_BOUND_MS * 10000;
    const NTSTATUS waited =
        KeWaitForSingleObject(&DeviceExtension->DeviceControlIdle, Executive, KernelMode, FALSE, &bound);

    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    DeviceExtension->HoldBackWaiting = FALSE;
    const BOOLEAN idle = DeviceExtension->IoCount == 0;
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
    return waited == STATUS_SUCCESS || idle;
}

/* Device control held back for a power change goes on; not on a reader whose port is closed,
 * which a start lets go. */
static VOID ResumeDeviceControl(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    BOOLEAN held = DeviceExtension->PowerHeldDeviceControl;
    DeviceExtension->PowerHeldDeviceControl = FALSE;
    if (held && PortOpen(DeviceExtension)) KeSetEvent(&DeviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
}

static VOID PowerDownReader(PDEVICE_EXTENSION DeviceExtension) {
    PSMARTCARD_EXTENSION smartcardExtension = &DeviceExtension->SmartcardExtension;
    /*
     * A request that outstays the bound still has the reader: the card is not powered down and the
     * registers are not shut down under it, or the two would take each other's bytes.  The device
     * goes to D3 all the same, for the system will not wait; the request ends on its own time-outs,
     * and the wake writes the registers again.
     */
    if (PortOpen(DeviceExtension) && HoldBackDeviceControl(DeviceExtension)) {
        if (smartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT) {
            smartcardExtension->MinorIoControlCode = SCARD_POWER_DOWN;
            (void)CardPower(smartcardExtension);
        }
        (void)ShutdownReader(smartcardExtension->ReaderExtension);
    }
    WaitMilliseconds(SLEEP_SETTLE_MS);
    smartcardExtension->ReaderExtension->ReaderPowerState = READER_POWER_OFF;
}

static NTSTATUS SystemSetPower(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION DeviceExtension, PIRP Irp,
                               SYSTEM_POWER_STATE State) {
    PSMARTCARD_EXTENSION smartcardExtension = &DeviceExtension->SmartcardExtension;
    const ULONG powerState = smartcardExtension->ReaderExtension->ReaderPowerState;

    switch (State) {
    case PowerSystemWorking:
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemMaximum:
        if (powerState != READER_POWER_ON)
            return RequestDevicePower(DeviceObject, smartcardExtension, Irp, PowerDeviceD0);
        /*
         * Already in D0: a deep sleep that was queried and then not entered (another driver
         * refused it) ends with the earlier state set again; the device control the query held
         * back goes on.
         */
        ResumeDeviceControl(DeviceExtension);
        return CompleteHere(smartcardExtension, Irp, STATUS_SUCCESS);

    case PowerSystemSleeping3:
    case PowerSystemHibernate:
    case PowerSystemShutdown: {
        if (powerState == READER_POWER_OFF) return CompleteHere(smartcardExtension, Irp, STATUS_SUCCESS);
        /* The device number of D3 is recorded, whichever deep state the system goes to. */
        POWER_STATE recorded;
        recorded.SystemState = PowerSystemSleeping3;
        PoSetPowerState(DeviceObject, SystemPowerState, recorded);
        return RequestDevicePower(DeviceObject, smartcardExtension, Irp, PowerDeviceD3);
    }

    default:
        return CompleteHere(smartcardExtension, Irp, STATUS_SUCCESS);
    }
}

extern "C" NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PDEVICE_OBJECT lower = smartcardExtension->ReaderExtension->AttachedSerialPort;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    NTSTATUS status = SmartcardAcquireRemoveLock(smartcardExtension);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    const POWER_STATE_TYPE type = stack->Parameters.Power.Type;
    const POWER_STATE state = stack->Parameters.Power.State;

    SmartcardDebug(DEBUG_DRIVER, (DRIVER_NAME "!DispatchPower: minor %02X, %s state %u\n", stack->MinorFunction,
                                  type == SystemPowerState ? "system" : "device",
                                  type == SystemPowerState ? (unsigned)state.SystemState : (unsigned)state.DeviceState));
    if (stack->MinorFunction == IRP_MN_SET_POWER && type == DevicePowerState) {
        if (state.DeviceState == PowerDeviceD0) {
            IoCopyCurrentIrpStackLocationToNext(Irp);
            IoSetCompletionRoutine(Irp, PowerUpCompletion, smartcardExtension, TRUE, TRUE, TRUE);
            return PoCallDriver(lower, Irp);
        }
        if (state.DeviceState == PowerDeviceD3) {
            PoSetPowerState(DeviceObject, DevicePowerState, state);
            PowerDownReader(deviceExtension);
        }
        return PassDown(smartcardExtension, lower, Irp);
    }

    if (stack->MinorFunction == IRP_MN_QUERY_POWER && type == SystemPowerState) {
        status = STATUS_SUCCESS;
        if (state.SystemState == PowerSystemSleeping3 || state.SystemState == PowerSystemHibernate ||
            state.SystemState == PowerSystemShutdown) {
            KIRQL irql;
            KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
            if (deviceExtension->IoCount == 0) {
                HoldReaderStartedLocked(deviceExtension);
                /* Only what this query holds back is let go again; a stopped reader stays held. */
                if (PortOpen(deviceExtension)) deviceExtension->PowerHeldDeviceControl = TRUE;
            } else {
                status = STATUS_DEVICE_BUSY;
            }
            KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        }
        return CompleteHere(smartcardExtension, Irp, status);
    }

    if (stack->MinorFunction == IRP_MN_SET_POWER && type == SystemPowerState)
        return SystemSetPower(DeviceObject, deviceExtension, Irp, state.SystemState);

    /* A device query, a wait-wake or power-sequence request, anything else: the serial port
     * answers for the hardware. */
    return PassDown(smartcardExtension, lower, Irp);
}

/* Everything after the lower stack has powered the port up; waits for the reader. */
static VOID FinishPowerUp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;

    /* The reader lost its registers with its power. */
    (void)InitializeReader(readerExtension);

    /*
     * A card may have come or gone while the reader was off, which it does not report; and a
     * card that stayed was powered down for the sleep.  Either way the card is reported as
     * newly inserted, so that an application waiting for it starts again with a reset.
     */
    const BOOLEAN known = smartcardExtension->ReaderCapabilities.CurrentState != SCARD_UNKNOWN;
    UpdateCardState(smartcardExtension, 0);
    if (known || smartcardExtension->ReaderCapabilities.CurrentState != SCARD_UNKNOWN) {
        KIRQL irql;
        KeAcquireSpinLock(&smartcardExtension->OsData->SpinLock, &irql);
        smartcardExtension->ReaderCapabilities.CurrentState = SCARD_ABSENT;
        KeReleaseSpinLock(&smartcardExtension->OsData->SpinLock, irql);
        UpdateCardState(smartcardExtension, 0);
    }

    readerExtension->ReaderPowerState = READER_POWER_ON;
    PoSetPowerState(DeviceObject, DevicePowerState, IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State);
    PoStartNextPowerIrp(Irp);
    ResumeDeviceControl(deviceExtension);
}

static IO_WORKITEM_ROUTINE PowerUpWorker;
static VOID PowerUpWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    PIRP irp = (PIRP)Context;
    PSMARTCARD_EXTENSION smartcardExtension = &((PDEVICE_EXTENSION)DeviceObject->DeviceExtension)->SmartcardExtension;
    FinishPowerUp(DeviceObject, irp);
    /* The completion stopped at this driver; it goes on upward from here. */
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    SmartcardReleaseRemoveLock(smartcardExtension);
}

extern "C" NTSTATUS PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PSMARTCARD_EXTENSION smartcardExtension = (PSMARTCARD_EXTENSION)Context;
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);

    /*
     * The serial port may complete the D0 request from its DPC, where this thread may not wait;
     * the reader work then moves to a worker thread, which completes the request when it is
     * done.
     */
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        IoQueueWorkItem(smartcardExtension->ReaderExtension->PowerWorkItem, PowerUpWorker, DelayedWorkQueue, Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    FinishPowerUp(DeviceObject, Irp);
    SmartcardReleaseRemoveLock(smartcardExtension);
    return STATUS_SUCCESS;
}

extern "C" VOID PowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                     PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(MinorFunction);
    PIRP irp = (PIRP)Context;
    PSMARTCARD_EXTENSION smartcardExtension = &((PDEVICE_EXTENSION)DeviceObject->DeviceExtension)->SmartcardExtension;

    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = IoStatus->Status;
    if (PowerState.DeviceState == PowerDeviceD0) {
        POWER_STATE working;
        working.SystemState = PowerSystemWorking;
        PoSetPowerState(DeviceObject, SystemPowerState, working);
    }
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    SmartcardReleaseRemoveLock(smartcardExtension);
}
