#include "test_drivers.h"

#include <algorithm>
#include <cstring>

namespace lmscr::kernel::test {

namespace {

std::map<PDEVICE_OBJECT, BusDevice>& BusDevices() {
    static std::map<PDEVICE_OBJECT, BusDevice> devices;
    return devices;
}

std::string Minor(UCHAR major, UCHAR minor) {
    static const char* pnp[] = {"start", "query-remove", "remove", "cancel-remove", "stop", "query-stop",
                                "cancel-stop"};
    if (major == IRP_MJ_PNP) {
        if (minor < 7) return pnp[minor];
        if (minor == IRP_MN_SURPRISE_REMOVAL) return "surprise-removal";
        return "pnp-" + std::to_string(minor);
    }
    static const char* power[] = {"wait-wake", "power-sequence", "set-power", "query-power"};
    return minor < 4 ? power[minor] : "power-" + std::to_string(minor);
}

std::string PowerText(PIO_STACK_LOCATION sp) {
    if (sp->Parameters.Power.Type == SystemPowerState)
        return " S" + std::to_string(sp->Parameters.Power.State.SystemState - 1);
    return " D" + std::to_string(sp->Parameters.Power.State.DeviceState - 1);
}

void NTAPI BusCancel(PDEVICE_OBJECT device, PIRP irp) {
    BusDevice& bus = Bus(device);
    // Entered with the cancel spin lock held; the queue has its own lock.
    KIRQL irql;
    KeAcquireSpinLock(&bus.lock, &irql);
    for (auto it = bus.pending.begin(); it != bus.pending.end(); ++it)
        if (*it == irp) {
            bus.pending.erase(it);
            break;
        }
    KeReleaseSpinLock(&bus.lock, irql);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    Log().push_back("bus: cancelled");
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    BusDevice& bus = Bus(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_PNP) {
        Log().push_back("bus: " + Minor(IRP_MJ_PNP, sp->MinorFunction));
        NTSTATUS status = sp->MinorFunction <= IRP_MN_CANCEL_STOP_DEVICE || sp->MinorFunction == IRP_MN_SURPRISE_REMOVAL
                              ? bus.pnpStatus
                              : irp->IoStatus.Status;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (sp->MajorFunction == IRP_MJ_POWER) {
        Log().push_back("bus: " + Minor(IRP_MJ_POWER, sp->MinorFunction) + PowerText(sp));
        if (sp->Parameters.Power.Type == DevicePowerState && sp->MinorFunction == IRP_MN_SET_POWER)
            PoSetPowerState(device, DevicePowerState, sp->Parameters.Power.State);
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = bus.powerStatus;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return bus.powerStatus;
    }
    if (sp->MajorFunction == IRP_MJ_CREATE || sp->MajorFunction == IRP_MJ_CLOSE ||
        sp->MajorFunction == IRP_MJ_CLEANUP) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (bus.pend) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (irp->Cancel) {
            IoReleaseCancelSpinLock(irql);
            irp->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_CANCELLED;
        }
        IoMarkIrpPending(irp);
        KIRQL queueIrql;
        KeAcquireSpinLock(&bus.lock, &queueIrql);
        bus.pending.push_back(irp);
        KeReleaseSpinLock(&bus.lock, queueIrql);
        if (bus.cancellable) IoSetCancelRoutine(irp, BusCancel);
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }
    size_t room = sp->MajorFunction == IRP_MJ_READ ? sp->Parameters.Read.Length
                  : sp->MajorFunction == IRP_MJ_DEVICE_CONTROL ? sp->Parameters.DeviceIoControl.OutputBufferLength
                                                                : 0;
    size_t copied = std::min(room, bus.reply.size());
    ULONG_PTR information = bus.information == ~ULONG_PTR(0) ? copied : bus.information;
    if (copied && irp->AssociatedIrp.SystemBuffer)
        std::memcpy(irp->AssociatedIrp.SystemBuffer, bus.reply.data(), copied);
    irp->IoStatus.Status = bus.status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return bus.status;
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = BusDispatch;
    driver->DriverUnload = [](PDRIVER_OBJECT d) NTAPI {
        while (d->DeviceObject) {
            BusDevices().erase(d->DeviceObject);
            IoDeleteDevice(d->DeviceObject);
        }
    };
    return STATUS_SUCCESS;
}

// ---- the function driver -----------------------------------------------------------------

struct FunctionExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ForwardCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS NTAPI FunctionPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FunctionExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Log().push_back("function: " + Minor(IRP_MJ_PNP, sp->MinorFunction));
    PDEVICE_OBJECT lower = ext->lower;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(lower, irp);
        Log().push_back("function: started after the bus");
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    }
}

NTSTATUS NTAPI FunctionPower(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FunctionExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Log().push_back("function: " + Minor(IRP_MJ_POWER, sp->MinorFunction) + PowerText(sp));
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI FunctionPassDown(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FunctionExtension*>(device->DeviceExtension);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<FunctionExtension*>(device->DeviceExtension);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!ext->lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    Log().push_back("function: added");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = FunctionPassDown;
    driver->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FunctionPower;
    driver->DriverExtension->AddDevice = FunctionAddDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI {};
    return STATUS_SUCCESS;
}

}  // namespace

std::vector<std::string>& Log() {
    static std::vector<std::string> log;
    return log;
}

void ResetDrivers() {
    Log().clear();
    BusDevices().clear();
}

PDRIVER_OBJECT LoadBus(Kernel& k) { return k.Pnp().LoadDriver("testbus", BusEntry); }
PDRIVER_OBJECT LoadFunction(Kernel& k) { return k.Pnp().LoadDriver("testfunction", FunctionEntry); }

PDEVICE_OBJECT CreateBusDevice(Kernel& k, PDRIVER_OBJECT bus, const std::string& name) {
    std::u16string wide(name.begin(), name.end());
    UNICODE_STRING uname;
    uname.Buffer = reinterpret_cast<PWSTR>(wide.data());
    uname.Length = uname.MaximumLength = static_cast<USHORT>(wide.size() * 2);
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(bus, 0, &uname, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &pdo);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!pdo) return nullptr;
    pdo->Flags |= DO_BUFFERED_IO;
    BusDevices()[pdo];
    k.Pnp().ReportPhysicalDevice(pdo);
    return pdo;
}

BusDevice& Bus(PDEVICE_OBJECT pdo) { return BusDevices()[pdo]; }

bool CompletePending(PDEVICE_OBJECT pdo, NTSTATUS status, ULONG_PTR information) {
    BusDevice& bus = Bus(pdo);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&bus.lock, &irql);
    if (bus.pending.empty()) {
        KeReleaseSpinLock(&bus.lock, irql);
        IoReleaseCancelSpinLock(cancelIrql);
        return false;
    }
    PIRP irp = bus.pending.front();
    bus.pending.pop_front();
    KeReleaseSpinLock(&bus.lock, irql);
    IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(cancelIrql);
    if (!bus.reply.empty() && irp->AssociatedIrp.SystemBuffer)
        std::memcpy(irp->AssociatedIrp.SystemBuffer, bus.reply.data(), bus.reply.size());
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
}

size_t PendingCount(PDEVICE_OBJECT pdo) { return Bus(pdo).pending.size(); }

PDEVICE_OBJECT FunctionDeviceAbove(PDEVICE_OBJECT pdo) { return pdo->AttachedDevice; }

void KernelFixture::SetUp() {
    ResetDrivers();
    k = std::make_unique<Kernel>(MakeOptions());
}

void KernelFixture::TearDown() {
    LeakReport report = k->Shutdown();
    EXPECT_TRUE(report.empty()) << "left behind:\n" << report.ToString();
    if (HasFailure()) std::fprintf(stderr, "seed of this run: %llu\n", static_cast<unsigned long long>(k->Seed()));
    k.reset();
    ResetDrivers();
}

}  // namespace lmscr::kernel::test
