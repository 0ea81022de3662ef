// The system's own threads and managers: work queues, the Plug and Play manager (driver load and
// unload, AddDevice, the IRP_MN_* sequences), the power manager (system power requests,
// PoRequestPowerIrp, the one-at-a-time rule of PoStartNextPowerIrp), and device interfaces.
#include "internal.h"

#ifdef __linux__
#include <sys/eventfd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace lmscr::kernel;

namespace lmscr::kernel {

std::string Utf8(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out += static_cast<char16_t>(c);
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) {
            out += static_cast<char16_t>(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
            i += 2;
        } else if (i + 2 < s.size()) {
            out += static_cast<char16_t>(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
            i += 3;
        } else {
            break;
        }
    }
    return out;
}

std::string Utf8(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) return {};
    return Utf8(std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR)));
}

std::string GuidToString(const GUID& g) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    return buffer;
}

std::string StatusName(NTSTATUS status) {
    struct Known {
        NTSTATUS code;
        const char* name;
    };
    static const Known known[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
        {STATUS_PENDING, "STATUS_PENDING"},
        {STATUS_OBJECT_NAME_EXISTS, "STATUS_OBJECT_NAME_EXISTS"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_DEVICE_BUSY, "STATUS_DEVICE_BUSY"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_NO_MEDIA_IN_DEVICE, "STATUS_NO_MEDIA_IN_DEVICE"},
        {STATUS_UNRECOGNIZED_MEDIA, "STATUS_UNRECOGNIZED_MEDIA"},
        {STATUS_MORE_PROCESSING_REQUIRED, "STATUS_MORE_PROCESSING_REQUIRED"},
        {STATUS_NO_MEMORY, "STATUS_NO_MEMORY"},
        {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_OBJECT_NAME_COLLISION, "STATUS_OBJECT_NAME_COLLISION"},
        {STATUS_DATA_OVERRUN, "STATUS_DATA_OVERRUN"},
        {STATUS_DATA_ERROR, "STATUS_DATA_ERROR"},
        {STATUS_CRC_ERROR, "STATUS_CRC_ERROR"},
        {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
        {STATUS_NO_MEDIA, "STATUS_NO_MEDIA"},
        {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
        {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR"},
        {STATUS_DEVICE_PROTOCOL_ERROR, "STATUS_DEVICE_PROTOCOL_ERROR"},
        {STATUS_INVALID_BUFFER_SIZE, "STATUS_INVALID_BUFFER_SIZE"},
        {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
        {STATUS_DEVICE_REMOVED, "STATUS_DEVICE_REMOVED"},
    };
    for (const auto& k : known)
        if (k.code == status) return k.name;
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(status));
    return buffer;
}

// ---- system threads ------------------------------------------------------------------------

void Kernel::Impl::WorkerThread(int index) {
    Thread* self = Current();
    WorkQueue& queue = workQueues[index];
    for (;;) {
        KeWaitForSingleObject(&queue.event, Executive, KernelMode, FALSE, nullptr);
        Guard g(*this);
        while (!queue.items.empty()) {
            RunWorkItemLocked(g, self, queue);
        }
        if (stopping) {
            // Pass the wake-up on, so that every worker of the queue sees the stop.
            queue.event.Header.SignalState = 1;
            SignalLocked(&queue.event.Header);
            return;
        }
    }
}

void Kernel::Impl::RunWorkItemLocked(Guard& g, Thread* self, WorkQueue& queue) {
    PIO_WORKITEM item = queue.items.front();
    queue.items.pop_front();
    item->queued = false;  // it may be queued again from its own routine
    PIO_WORKITEM_ROUTINE routine = item->routine;
    PVOID context = item->context;
    PDEVICE_OBJECT device = item->device;
    if (!queue.items.empty()) {
        queue.event.Header.SignalState = 1;
        SignalLocked(&queue.event.Header);
    }
    g.Unlock();
    if (tracing()) TraceLine(std::string("run work item of ") + DeviceName(device));
    {
        DriverScope scope(device->DriverObject);
        routine(device, context);
    }
    CheckReturnState(self, PASSIVE_LEVEL, 0, "a work item routine", device->DriverObject);
    g.Lock();
    DeviceDereference(device);
}

// Real time: a device's input, taken on the thread that watches its descriptor. The wait-on-mask
// it completes queues the driver's receive work on the critical queue; a worker woken for it
// would cost a sleep and a wake-up per received burst, and the thread that took the input is
// free: it runs the item itself, at PASSIVE_LEVEL and holding nothing, as a system worker would.
// While the item waits (for the rest of a reply still on the line, say), the thread still takes
// the device's input as it comes, as an interrupt reaches a processor whose thread sleeps;
// otherwise the item would wait for the very input only this thread reads.
void Kernel::Impl::ServeDevice(int fd, const std::function<void()>& isr) {
    Thread* self = Current();
#ifdef __linux__
    if (self->wakeFd.load(std::memory_order_relaxed) < 0) {
        Guard g(*this);
        self->wakeFd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), std::memory_order_release);
    }
#endif
    self->deferCriticalWork = self->wakeFd.load(std::memory_order_relaxed) >= 0;
    isr();
    self->deferCriticalWork = false;
    if (!self->criticalWorkDeferred) return;
    self->criticalWorkDeferred = false;
    WorkQueue& queue = workQueues[0];
    Guard g(*this);
    // An item queued before the thread's own may have woken a worker that takes the thread's
    // too; an item queued later while the thread runs one is for a woken worker as well.
    self->interruptFd = fd;
    self->isr = &isr;
    while (!queue.items.empty()) RunWorkItemLocked(g, self, queue);
    self->interruptFd = -1;
    self->isr = nullptr;
}

void Kernel::Impl::JobThread(JobQueue& queue) {
    for (;;) {
        KeWaitForSingleObject(&queue.event, Executive, KernelMode, FALSE, nullptr);
        for (;;) {
            Job* job;
            {
                Guard g(*this);
                if (queue.jobs.empty()) {
                    if (stopping) return;
                    break;
                }
                job = queue.jobs.front();
                queue.jobs.pop_front();
            }
            job->fn();
            KeSetEvent(&job->done, IO_NO_INCREMENT, FALSE);
        }
    }
}

void Kernel::Impl::RunJob(JobQueue& queue, const char*, std::function<void()> fn) {
    Thread* self = Current();
    if ((&queue == &pnpJobs && self == pnpThread) || (&queue == &powerJobs && self == powerThread)) {
        fn();
        return;
    }
    Job job;
    job.fn = std::move(fn);
    KeInitializeEvent(&job.done, NotificationEvent, FALSE);
    {
        Guard g(*this);
        queue.jobs.push_back(&job);
        queue.event.Header.SignalState = 1;
        SignalLocked(&queue.event.Header);
    }
    KeWaitForSingleObject(&job.done, Executive, KernelMode, FALSE, nullptr);
}

// ---- requests of the managers ----------------------------------------------------------------

NTSTATUS Kernel::Impl::SendManagerIrp(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                                      std::function<void(PIO_STACK_LOCATION)> fill, IrpKind kind) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    NTSTATUS final = STATUS_PENDING;
    {
        Guard g(*this);
        irp = NewIrp(top->StackSize, kind, Site{__FILE__, __LINE__, "manager"});
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->MinorFunction = minor;
        if (fill) fill(next);
        const uint64_t record = major == IRP_MJ_POWER ? RecordPowerIrpLocked(pdo, next, false) : 0;
        TrackOf(irp)->onDone = [this, record, &final, &done](PIRP i) {
            final = i->IoStatus.Status;
            if (record) PowerIrpDone(record, final);
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        };
        if (major == IRP_MJ_PNP) pnpHistory.emplace_back(pdo, minor);
    }
    if (major == IRP_MJ_POWER)
        PoCallDriver(top, irp);
    else
        IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(top);
    return final;
}

uint64_t Kernel::Impl::RecordPowerIrpLocked(PDEVICE_OBJECT device, PIO_STACK_LOCATION next, bool requested) {
    PowerIrpRecord record;
    record.device = device;
    record.minor = next->MinorFunction;
    record.type = next->Parameters.Power.Type;
    record.state = next->Parameters.Power.State;
    record.requested = requested;
    record.sentNs = NowNs();
    powerHistory.push_back(record);
    return powerHistoryCleared + powerHistory.size();
}

void Kernel::Impl::PowerIrpDone(uint64_t serial, NTSTATUS status) {
    Guard g(*this);
    if (serial <= powerHistoryCleared || serial - powerHistoryCleared > powerHistory.size()) return;
    PowerIrpRecord& record = powerHistory[serial - powerHistoryCleared - 1];
    record.completed = true;
    record.status = status;
    record.completedNs = NowNs();
}

void Kernel::Impl::DispatchQueuedPowerIrp(PDEVICE_OBJECT device, PIRP irp) {
    Spawn("power-dispatch", [this, device, irp] { CallDriver(device, irp, true); }, false);
}

void Kernel::Impl::NotifyInterface(const InterfaceRecord& record, bool arrival) {
    if (tracing())
        TraceLine(std::string(arrival ? "interface arrival " : "interface removal ") + record.link);
    Guard g(*this);
    for (auto it = watchers.begin(); it != watchers.end();) {
        auto state = it->lock();
        if (!state) {
            it = watchers.erase(it);
            continue;
        }
        if (std::memcmp(&state->guid, &record.guid, sizeof(GUID)) == 0) {
            state->queue.push_back(InterfaceNotification{arrival, record.guid, record.link});
            state->event.Header.SignalState = 1;
            SignalLocked(&state->event.Header);
        }
        ++it;
    }
}

// ---- Plug and Play manager -----------------------------------------------------------------

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT PnpManager::LoadDriver(const std::string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
    auto& k = kernel_.impl();
    PDRIVER_OBJECT result = nullptr;
    NTSTATUS s = STATUS_SUCCESS;
    k.RunJob(k.pnpJobs, "pnp", [&] {
        auto record = std::make_unique<DriverRecord>();
        record->name = name;
        record->nameBuffer = Utf16("\\Driver\\" + name);
        auto* memory = static_cast<char*>(std::calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION)));
        auto* driver = reinterpret_cast<PDRIVER_OBJECT>(memory);
        driver->Type = 4;
        driver->Size = sizeof(DRIVER_OBJECT);
        driver->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(memory + sizeof(DRIVER_OBJECT));
        driver->DriverExtension->DriverObject = driver;
        driver->DriverName.Buffer = reinterpret_cast<PWSTR>(record->nameBuffer.data());
        driver->DriverName.Length = static_cast<USHORT>(record->nameBuffer.size() * sizeof(WCHAR));
        driver->DriverName.MaximumLength = driver->DriverName.Length;
        driver->DriverInit = entry;
        // As the platform does: every major function a driver does not serve is refused.
        for (auto& f : driver->MajorFunction) f = InvalidDeviceRequest;
        record->object = driver;
        {
            Kernel::Impl::Guard g(k);
            k.drivers.push_back(std::move(record));
            k.names[driver] = "driver " + name;
        }
        static WCHAR registryPath[] = {'\\', 'R', 'e', 'g', 'i', 's', 't', 'r', 'y', 0};
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, registryPath);
        {
            DriverScope scope(driver);
            s = entry(driver, &path);
        }
        if (k.tracing()) k.TraceLine("DriverEntry of " + name + ": " + StatusName(s));
        if (NT_SUCCESS(s)) {
            result = driver;
        } else {
            Kernel::Impl::Guard g(k);
            k.drivers.back()->unloaded = true;
        }
    });
    if (status) *status = s;
    return result;
}

LeakReport PnpManager::UnloadDriver(PDRIVER_OBJECT driver) {
    auto& k = kernel_.impl();
    LeakReport report;
    k.RunJob(k.pnpJobs, "pnp", [&] {
        DriverRecord* record = nullptr;
        for (auto& d : k.drivers)
            if (d->object == driver) record = d.get();
        if (!record || record->unloaded) return;
        if (driver->DriverUnload) {
            DriverScope scope(driver);
            driver->DriverUnload(driver);
        }
        record->unloaded = true;
        if (k.tracing()) k.TraceLine("unloaded " + record->name);
        Kernel::Impl::Guard g(k);
        report = k.LeaksOf(driver);
    });
    return report;
}

void PnpManager::ReportPhysicalDevice(PDEVICE_OBJECT pdo) {
    auto& k = kernel_.impl();
    Kernel::Impl::Guard g(k);
    pdo->DeviceObjectExtension->physical = true;
    pdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    if (std::find(k.physicalDevices.begin(), k.physicalDevices.end(), pdo) == k.physicalDevices.end())
        k.physicalDevices.push_back(pdo);
}

void PnpManager::ForgetPhysicalDevice(PDEVICE_OBJECT pdo) {
    auto& k = kernel_.impl();
    Kernel::Impl::Guard g(k);
    k.physicalDevices.erase(std::remove(k.physicalDevices.begin(), k.physicalDevices.end(), pdo),
                            k.physicalDevices.end());
}

std::vector<PDEVICE_OBJECT> PnpManager::PhysicalDevices() const {
    auto& k = kernel_.impl();
    Kernel::Impl::Guard g(k);
    return k.physicalDevices;
}

NTSTATUS PnpManager::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    auto& k = kernel_.impl();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    k.RunJob(k.pnpJobs, "pnp", [&] {
        PDEVICE_OBJECT before = IoGetAttachedDevice(pdo);
        {
            DriverScope scope(driver);
            status = driver->DriverExtension->AddDevice(driver, pdo);
        }
        if (k.tracing()) k.TraceLine("AddDevice: " + StatusName(status));
        PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
        if (NT_SUCCESS(status) && top != before && (top->Flags & DO_DEVICE_INITIALIZING))
            k.Violation("DEVICE_INITIALIZING_NOT_CLEARED",
                        "AddDevice of " + std::string(k.DriverName(driver)) +
                            " succeeded but left DO_DEVICE_INITIALIZING set on " + k.DeviceName(top));
    });
    return status;
}

NTSTATUS PnpManager::Send(PDEVICE_OBJECT pdo, UCHAR minor) {
    auto& k = kernel_.impl();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    k.RunJob(k.pnpJobs, "pnp", [&] { status = k.SendManagerIrp(pdo, IRP_MJ_PNP, minor, nullptr, IrpKind::Pnp); });
    return status;
}

NTSTATUS PnpManager::StopForRebalance(PDEVICE_OBJECT pdo) {
    NTSTATUS status = Send(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        Send(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    return Send(pdo, IRP_MN_STOP_DEVICE);
}

NTSTATUS PnpManager::Remove(PDEVICE_OBJECT pdo) {
    NTSTATUS status = Send(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        Send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    return Send(pdo, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS PnpManager::SurpriseRemove(PDEVICE_OBJECT pdo) {
    auto& k = kernel_.impl();
    NTSTATUS status = Send(pdo, IRP_MN_SURPRISE_REMOVAL);
    // The remove request follows once the last handle to the stack is closed.
    for (;;) {
        int open = 0;
        {
            Kernel::Impl::Guard g(k);
            for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice) open += d->DeviceObjectExtension->openHandles;
            if (open == 0) break;
            KeClearEvent(&k.handleClosed);
        }
        KeWaitForSingleObject(&k.handleClosed, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS removed = Send(pdo, IRP_MN_REMOVE_DEVICE);
    return NT_SUCCESS(status) ? removed : status;
}

const std::vector<std::pair<PDEVICE_OBJECT, UCHAR>>& PnpManager::History() const {
    return kernel_.impl().pnpHistory;
}

// ---- power manager -------------------------------------------------------------------------

static void FillPower(PIO_STACK_LOCATION next, POWER_STATE_TYPE type, POWER_STATE state) {
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    if (type == SystemPowerState) {
        switch (state.SystemState) {
        case PowerSystemHibernate: next->Parameters.Power.ShutdownType = PowerActionHibernate; break;
        case PowerSystemShutdown: next->Parameters.Power.ShutdownType = PowerActionShutdown; break;
        case PowerSystemWorking: next->Parameters.Power.ShutdownType = PowerActionNone; break;
        default: next->Parameters.Power.ShutdownType = PowerActionSleep; break;
        }
    }
}

NTSTATUS PowerManager::QuerySystemState(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    auto& k = kernel_.impl();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    POWER_STATE ps;
    ps.SystemState = state;
    k.RunJob(k.powerJobs, "power", [&] {
        status = k.SendManagerIrp(pdo, IRP_MJ_POWER, IRP_MN_QUERY_POWER,
                                  [&](PIO_STACK_LOCATION n) { FillPower(n, SystemPowerState, ps); }, IrpKind::Power);
    });
    return status;
}

NTSTATUS PowerManager::SendSystemSetPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    auto& k = kernel_.impl();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    POWER_STATE ps;
    ps.SystemState = state;
    k.RunJob(k.powerJobs, "power", [&] {
        status = k.SendManagerIrp(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER,
                                  [&](PIO_STACK_LOCATION n) { FillPower(n, SystemPowerState, ps); }, IrpKind::Power);
    });
    return status;
}

NTSTATUS PowerManager::SendDevicePower(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state) {
    auto& k = kernel_.impl();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    POWER_STATE ps;
    ps.DeviceState = state;
    k.RunJob(k.powerJobs, "power", [&] {
        status = k.SendManagerIrp(pdo, IRP_MJ_POWER, minor,
                                  [&](PIO_STACK_LOCATION n) { FillPower(n, DevicePowerState, ps); }, IrpKind::Power);
    });
    return status;
}

NTSTATUS PowerManager::SetSystemState(SYSTEM_POWER_STATE state, bool critical) {
    auto& k = kernel_.impl();
    std::vector<PDEVICE_OBJECT> pdos = kernel_.Pnp().PhysicalDevices();
    const SYSTEM_POWER_STATE previous = k.systemPower;
    if (k.tracing())
        k.TraceLine("system power S" + std::to_string(state - 1) + (critical ? " (critical)" : ""));
    // Only a sleep is asked first, and not a critical one: the way back to the working state
    // is not refused by anyone, and a dying battery does not wait for an answer.
    if (state != PowerSystemWorking && !critical) {
        std::vector<PDEVICE_OBJECT> asked;
        for (PDEVICE_OBJECT pdo : pdos) {
            NTSTATUS status = QuerySystemState(pdo, state);
            asked.push_back(pdo);
            if (!NT_SUCCESS(status)) {
                // The state the system stays in is set again wherever the query went: a driver
                // above the one that refused may have started to prepare for the sleep.
                for (PDEVICE_OBJECT other : asked) SendSystemSetPower(other, previous);
                return status;
            }
        }
    }
    NTSTATUS result = STATUS_SUCCESS;
    for (PDEVICE_OBJECT pdo : pdos) {
        NTSTATUS status = SendSystemSetPower(pdo, state);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    }
    k.systemPower = state;
    return result;
}

SYSTEM_POWER_STATE PowerManager::SystemState() const { return kernel_.impl().systemPower; }

std::vector<PowerIrpRecord> PowerManager::History() const {
    auto& k = kernel_.impl();
    Kernel::Impl::Guard g(k);
    return k.powerHistory;
}

void PowerManager::ClearHistory() {
    auto& k = kernel_.impl();
    Kernel::Impl::Guard g(k);
    k.powerHistoryCleared += k.powerHistory.size();
    k.powerHistory.clear();
}

DEVICE_POWER_STATE PowerManager::DeviceState(PDEVICE_OBJECT device) const {
    auto& k = kernel_.impl();
    Kernel::Impl::Guard g(k);
    return device->DeviceObjectExtension->devicePower;
}

SYSTEM_POWER_STATE PowerManager::RecordedSystemState(PDEVICE_OBJECT device) const {
    auto& k = kernel_.impl();
    Kernel::Impl::Guard g(k);
    return device->DeviceObjectExtension->systemPower;
}

}  // namespace lmscr::kernel

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Kernel::Impl& k = K();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction != IRP_MJ_POWER) return k.CallDriver(DeviceObject, Irp, true);
    const int type = next->Parameters.Power.Type == DevicePowerState ? 1 : 0;
    {
        Kernel::Impl::Guard g(k);
        auto* ext = DeviceObject->DeviceObjectExtension;
        if (ext->powerBusy[type]) {
            // One power IRP of a kind per device at a time: this one waits for the driver's
            // PoStartNextPowerIrp on the one before it.
            if (Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
            TrackOf(Irp)->queuedFor = DeviceObject;
            ext->powerQueue[type].push_back(Irp);
            if (k.tracing()) k.TraceLine("power IRP queued for " + ext->name);
            return STATUS_PENDING;
        }
        ext->powerBusy[type] = true;
    }
    return k.CallDriver(DeviceObject, Irp, true);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    Kernel::Impl& k = K();
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT device = sp->DeviceObject;
    if (!device) return;
    const int type = sp->Parameters.Power.Type == DevicePowerState ? 1 : 0;
    PIRP next = nullptr;
    {
        Kernel::Impl::Guard g(k);
        auto* ext = device->DeviceObjectExtension;
        ext->powerBusy[type] = false;
        if (!ext->powerQueue[type].empty()) {
            next = ext->powerQueue[type].front();
            ext->powerQueue[type].pop_front();
            ext->powerBusy[type] = true;
            TrackOf(next)->queuedFor = nullptr;
        }
    }
    if (next) k.DispatchQueuedPowerIrp(device, next);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    auto* ext = DeviceObject->DeviceObjectExtension;
    POWER_STATE old;
    if (Type == DevicePowerState) {
        old.DeviceState = ext->devicePower;
        ext->devicePower = State.DeviceState;
    } else {
        old.SystemState = ext->systemPower;
        ext->systemPower = State.SystemState;
    }
    if (k.tracing())
        k.TraceLine("PoSetPowerState " + ext->name + (Type == DevicePowerState ? " D" : " S") +
                    std::to_string(Type == DevicePowerState ? State.DeviceState - 1 : State.SystemState - 1));
    return old;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    Kernel::Impl& k = K();
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT top;
    PIRP irp;
    {
        Kernel::Impl::Guard g(k);
        if (k.ShouldFail("PoRequestPowerIrp", Site{})) return STATUS_INSUFFICIENT_RESOURCES;
    }
    top = IoGetAttachedDeviceReference(DeviceObject);
    {
        Kernel::Impl::Guard g(k);
        irp = k.NewIrp(top->StackSize, IrpKind::Power, Site{__FILE__, __LINE__, "PoRequestPowerIrp"});
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = MinorFunction;
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
        PDRIVER_OBJECT requester = k.CurrentDriver();
        const uint64_t record = k.RecordPowerIrpLocked(DeviceObject, next, true);
        TrackOf(irp)->onDone = [&k, record, DeviceObject, MinorFunction, PowerState, CompletionFunction, Context,
                                requester, top](PIRP i) {
            k.PowerIrpDone(record, i->IoStatus.Status);
            if (CompletionFunction) {
                DriverScope scope(requester);
                CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &i->IoStatus);
            }
            ObDereferenceObject(top);
        };
    }
    if (Irp) *Irp = irp;
    k.Spawn("po-request", [top, irp] { PoCallDriver(top, irp); }, false);
    return STATUS_PENDING;
}

// ---- device interfaces ---------------------------------------------------------------------

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    Kernel::Impl& k = K();
    std::string link;
    {
        Kernel::Impl::Guard g(k);
        if (k.ShouldFail("IoRegisterDeviceInterface", Site{})) return STATUS_INSUFFICIENT_RESOURCES;
        if (!PhysicalDeviceObject || !k.IsDevice(PhysicalDeviceObject) ||
            !PhysicalDeviceObject->DeviceObjectExtension->physical)
            return STATUS_INVALID_DEVICE_REQUEST;
        std::string pdoName = PhysicalDeviceObject->DeviceObjectExtension->name;
        if (pdoName.rfind("\\Device\\", 0) == 0) pdoName = pdoName.substr(8);
        for (char& c : pdoName)
            if (c == '\\' || c == '#') c = '_';
        link.assign("\\??\\Root#");
        link.append(pdoName).append("#").append(GuidToString(*InterfaceClassGuid));
        if (ReferenceString && ReferenceString->Buffer) link.append("\\").append(Utf8(ReferenceString));
        bool known = false;
        for (auto& r : k.interfaces)
            if (r.link == link) known = true;
        if (!known) k.interfaces.push_back(InterfaceRecord{*InterfaceClassGuid, PhysicalDeviceObject, link, false});
    }
    std::u16string wide = Utf16(link);
    size_t bytes = (wide.size() + 1) * sizeof(WCHAR);
    // The caller frees the name with RtlFreeUnicodeString, so it is pool of the caller's.
    auto* buffer = static_cast<PWSTR>(
        LmExAllocatePoolWithTag(PagedPool, bytes, 0x72745355 /* "UStr" */, __FILE__, __LINE__, "IoRegisterDeviceInterface"));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, wide.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(wide.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    Kernel::Impl& k = K();
    std::string link = Utf8(SymbolicLinkName);
    InterfaceRecord changed;
    {
        Kernel::Impl::Guard g(k);
        if (k.ShouldFail("IoSetDeviceInterfaceState", Site{})) return STATUS_INSUFFICIENT_RESOURCES;
        InterfaceRecord* record = nullptr;
        for (auto& r : k.interfaces)
            if (r.link == link) record = &r;
        if (!record) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (Enable && record->enabled) return STATUS_OBJECT_NAME_EXISTS;
        if (!Enable && !record->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
        record->enabled = Enable ? true : false;
        changed = *record;
    }
    k.NotifyInterface(changed, Enable != FALSE);
    return STATUS_SUCCESS;
}

}  // extern "C"
