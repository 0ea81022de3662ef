// The port's dispatch routines other than device control: every request's way in (counted,
// shown to a filter in front of the port), create, cleanup, close, read, write, Plug and Play
// and power.
//
// Power: a device D3 switches the port's hardware off through its back end (a simulated line's
// far end loses its supply with it), D0 switches it on again; the queues are left alone, and a
// driver that sends on a port in D3 finds nobody answering. D1, D2, system power and queries
// are recorded (PoSetPowerState) and completed.
#include "device_control.h"
#include "port_state.h"

namespace lmscr::serial::internal {

namespace {

NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    NTSTATUS status = STATUS_SUCCESS;
    {
        PortLock guard(port);
        if (!port->started || port->dying) {
            status = STATUS_NO_SUCH_DEVICE;
        } else if (port->opens > 0) {
            // A serial port is an exclusive device: one handle (one reader driver) at a time.
            status = STATUS_ACCESS_DENIED;
        } else {
            port->opens++;
            // A new owner starts with an empty input queue, no errors and no events: what came
            // before belongs to nobody.
            port->rx.clear();
            port->errors = 0;
            port->history = 0;
            port->waitMask = 0;
            port->dtr = port->rts = true;
        }
    }
    return CompleteNow(irp, status, 0);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    {
        PortLock guard(port);
        AbortLocked(port, true, true, true, true, STATUS_CANCELLED);
    }
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    {
        PortLock guard(port);
        if (port->opens > 0) port->opens--;
        if (port->opens == 0) {
            // The owner is gone: nothing it left with the port (a wait kept on an empty mask, a
            // held request) may outlive its handle.
            AbortLocked(port, true, true, true, true, STATUS_CANCELLED);
            port->waitMask = 0;
            port->history = 0;
            port->dtr = port->rts = false;
        }
    }
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    Transferred(irp) = 0;
    if (LengthOf(irp) == 0) return Finish(port, irp, STATUS_SUCCESS, 0);
    if (!irp->AssociatedIrp.SystemBuffer) return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    {
        PortLock guard(port);
        if (port->reads.empty()) {
            // The read becomes current at once; it may already be satisfied by the queue.
            StartReadLocked(port, irp, NowNs());
            NTSTATUS readStatus;
            if (FeedReadLocked(port, irp, NowNs(), &readStatus)) {
                port->readStarted = false;
                if (!DrawForcePending(port)) {
                    status = readStatus;
                    information = Transferred(irp);
                } else {
                    IoMarkIrpPending(irp);
                    DeferLocked(port, irp, readStatus, Transferred(irp));
                    return STATUS_PENDING;
                }
            } else {
                port->readStarted = false;
            }
        }
        if (status == STATUS_PENDING) {
            if (!QueueLocked(port, irp)) {
                status = STATUS_CANCELLED;
                information = Transferred(irp);
            } else {
                port->reads.push_back(irp);
                if (port->reads.size() == 1) {
                    StartReadLocked(port, irp, NowNs());
                    ArmTimerLocked(port);
                }
                return STATUS_PENDING;
            }
        }
    }
    return CompleteNow(irp, status, information);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    Transferred(irp) = 0;
    if (LengthOf(irp) == 0) return Finish(port, irp, STATUS_SUCCESS, 0);
    if (!irp->AssociatedIrp.SystemBuffer) return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
    bool cancelled = false;
    Backend* backend = nullptr;
    {
        PortLock guard(port);
        if (!QueueLocked(port, irp)) {
            cancelled = true;
        } else {
            port->writes.push_back(irp);
            if (port->writes.size() == 1) {
                StartWriteLocked(port, NowNs());
                ArmTimerLocked(port);
            }
            // Without hardware the bytes cannot leave; the write's time-out, if any, ends it.
            backend = port->backend;
        }
    }
    if (cancelled) return CompleteNow(irp, STATUS_CANCELLED, 0);
    if (backend) backend->OnTransmitReady();
    return STATUS_PENDING;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        PortLock guard(port);
        port->started = true;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE: {
        // The port is a physical device: removal ends its use by the stack above but keeps the
        // device object, which lives as long as its hardware.
        PortLock guard(port);
        port->started = false;
        AbortLocked(port, true, true, true, true, STATUS_CANCELLED);
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    default:
        // Requests a bus driver does not handle keep the status they came with.
        break;
    }
    return CompleteNow(irp, status, irp->IoStatus.Information);
}

// A device set-power: D3 switches the hardware off, D0 on again; D1 and D2 are recorded and
// leave it as it is (a UART keeps its registers there).
NTSTATUS SetDevicePower(Port* port, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const POWER_STATE state = sp->Parameters.Power.State;
    Backend* backend = nullptr;
    bool change = false;
    bool defer = false;
    const bool on = state.DeviceState == PowerDeviceD0;
    {
        PortLock guard(port);
        change = (on && !port->powered) || (state.DeviceState == PowerDeviceD3 && port->powered);
        if (change) port->powered = on;
        backend = port->backend;
        defer = on && port->options.completeD0AtDispatch && !port->dying;
    }
    // The recorded state is never more powered than the hardware: set before switching off,
    // after switching on.
    if (!on) PoSetPowerState(device, DevicePowerState, state);
    if (change && backend) backend->OnPower(on);
    if (on) PoSetPowerState(device, DevicePowerState, state);
    PoStartNextPowerIrp(irp);
    if (defer) {
        PortLock guard(port);
        IoMarkIrpPending(irp);
        DeferLocked(port, irp, STATUS_SUCCESS, 0);
        return STATUS_PENDING;
    }
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState)
        return SetDevicePower(PortOf(device), device, irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER)
        PoSetPowerState(device, sp->Parameters.Power.Type, sp->Parameters.Power.State);
    PoStartNextPowerIrp(irp);
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchUnsupported(PDEVICE_OBJECT, PIRP irp) {
    return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// The requests a handle's owner sends; cleanup, Plug and Play and power go straight to the port.
bool FilteredMajor(UCHAR major) {
    return major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_READ || major == IRP_MJ_WRITE ||
           major == IRP_MJ_DEVICE_CONTROL;
}

}  // namespace

// The routine that serves a request of the major function.
NTSTATUS Serve(PDEVICE_OBJECT device, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE: return DispatchCreate(device, irp);
    case IRP_MJ_CLEANUP: return DispatchCleanup(device, irp);
    case IRP_MJ_CLOSE: return DispatchClose(device, irp);
    case IRP_MJ_READ: return DispatchRead(device, irp);
    case IRP_MJ_WRITE: return DispatchWrite(device, irp);
    case IRP_MJ_DEVICE_CONTROL: return DispatchDeviceControl(device, irp);
    case IRP_MJ_PNP: return DispatchPnp(device, irp);
    case IRP_MJ_POWER: return DispatchPower(device, irp);
    default: return DispatchUnsupported(device, irp);
    }
}

NTSTATUS NTAPI DispatchEntry(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = sp->MajorFunction;
    const ULONG code = major == IRP_MJ_DEVICE_CONTROL ? sp->Parameters.DeviceIoControl.IoControlCode : 0;
    FilterVerdict verdict;
    {
        PortLock guard(port);
        port->majorCounts[major]++;
        if (major == IRP_MJ_DEVICE_CONTROL) {
            if (const IoctlEntry* entry = FindDeviceControl(code))
                port->ioctlCounts[DeviceControlIndex(entry)]++;
            else
                port->otherIoctlCounts[code]++;
        }
        if (port->filter && FilteredMajor(major)) verdict = port->filter->OnRequest(major, code);
        if (verdict.action == FilterVerdict::Action::Hold) {
            if (QueueLocked(port, irp)) {
                port->held.push_back(Port::Held{irp, verdict.forever, NowNs() + verdict.delayNs});
                if (!verdict.forever) ArmTimerLocked(port);
                return STATUS_PENDING;
            }
            verdict = {.action = FilterVerdict::Action::Complete, .status = STATUS_CANCELLED};  // cancelled on its way in
        }
    }
    if (verdict.action == FilterVerdict::Action::Complete) return CompleteNow(irp, verdict.status, 0);
    return Serve(device, irp);
}

}  // namespace lmscr::serial::internal
