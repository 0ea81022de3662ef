// The serial driver and its ports' lives: the driver's entry and unload, a port's creation
// (its device object, reported present to the Plug and Play manager) and deletion, and what a
// port tells about itself (name, counters, format, request counts, its filter slot).
#include "device_control.h"
#include "port_state.h"

namespace lmscr::serial {

using namespace internal;

namespace {

// Waits until the DPC thread has finished whatever it is running now (a DPC of this port
// included): it runs one callback or DPC at a time, in order.
void FenceDpcThread(kernel::Kernel& kernel) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    kernel.At(0, [&done] { KeSetEvent(&done, IO_NO_INCREMENT, FALSE); });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

void DestroyPort(Port* port, bool deleteDevice) {
    Backend* backend;
    {
        PortLock guard(port);
        port->dying = true;
        backend = port->backend;
        port->backend = nullptr;
        AbortLocked(port, true, true, true, true, STATUS_CANCELLED);
    }
    if (backend) backend->OnPortGone();
    // Requests aborted above complete here; the DPC no longer runs for a dying port.
    std::vector<PIRP> done;
    {
        PortLock guard(port);
        done.swap(port->deferred);
    }
    for (PIRP irp : done) IoCompleteRequest(irp, IO_NO_INCREMENT);
    FenceDpcThread(*port->kernel);
    {
        PortLock guard(port);
        port->timerLive = false;
        if (port->timerSet) port->kernel->CancelAt(port->timerId);
        port->timerSet = false;
    }
    KeRemoveQueueDpc(&port->serviceDpc);
    KeRemoveQueueDpc(&port->timerDpc);
    // A DPC of the port that was already running finds the port dying; let it finish.
    FenceDpcThread(*port->kernel);
    PDEVICE_OBJECT device = port->device;
    if (deleteDevice) {
        port->kernel->Pnp().ForgetPhysicalDevice(device);
        IoDeleteDevice(device);
    }
    delete port;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    while (PDEVICE_OBJECT device = driver->DeviceObject) DestroyPort(PortOf(device), true);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& routine : driver->MajorFunction) routine = DispatchEntry;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

PDRIVER_OBJECT LoadSerialDriver(kernel::Kernel& kernel) { return kernel.Pnp().LoadDriver("serial", DriverEntry); }

PDEVICE_OBJECT FindSerialPort(PDRIVER_OBJECT driver, const std::string& portName) {
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
        if (PortOf(d)->name == portName) return d;
    return nullptr;
}

std::string SerialPortName(PDEVICE_OBJECT port) { return PortOf(port)->name; }

PortCounters SerialCounters(PDEVICE_OBJECT device) {
    Port* port = PortOf(device);
    PortLock guard(port);
    return port->counters;
}

LineFormat SerialFormat(PDEVICE_OBJECT device) {
    Port* port = PortOf(device);
    PortLock guard(port);
    return FormatLocked(port);
}

uint64_t SerialRequestCount(PDEVICE_OBJECT device, uint8_t major, ULONG ioControlCode) {
    Port* port = PortOf(device);
    PortLock guard(port);
    if (major > IRP_MJ_MAXIMUM_FUNCTION) return 0;
    if (major != IRP_MJ_DEVICE_CONTROL || ioControlCode == 0) return port->majorCounts[major];
    if (const IoctlEntry* entry = FindDeviceControl(ioControlCode)) return port->ioctlCounts[DeviceControlIndex(entry)];
    auto it = port->otherIoctlCounts.find(ioControlCode);
    return it == port->otherIoctlCounts.end() ? 0 : it->second;
}

PDEVICE_OBJECT CreateSerialDevice(kernel::Kernel& kernel, PDRIVER_OBJECT driver, const std::string& portName,
                                  const PortOptions& options, Backend* backend, Port** out) {
    *out = nullptr;
    if (portName.empty() || FindSerialPort(driver, portName)) return nullptr;
    // The next free number: one more than the highest in use.
    unsigned index = 0;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) index++;
    std::u16string name;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    // A number freed by a deleted port may be taken again; try upwards from the count.
    for (unsigned attempt = 0; attempt < 256 && status == STATUS_OBJECT_NAME_COLLISION; ++attempt, ++index) {
        name = Wide("\\Device\\Serial" + std::to_string(index));
        UNICODE_STRING uname;
        uname.Buffer = reinterpret_cast<PWSTR>(name.data());
        uname.Length = uname.MaximumLength = static_cast<USHORT>(name.size() * 2);
        status = IoCreateDevice(driver, sizeof(Port*), &uname, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    }
    if (!NT_SUCCESS(status)) return nullptr;
    auto* port = new Port;
    port->kernel = &kernel;
    port->device = device;
    port->name = portName;
    port->options = options;
    port->rng = options.seed ? options.seed : kernel.Seed() * 0x100000001B3ull + index;
    port->backend = backend;
    KeInitializeSpinLock(&port->lock);
    KeInitializeDpc(&port->serviceDpc, ServiceDpc, port);
    KeInitializeDpc(&port->timerDpc, ServiceDpc, port);
    kernel.Name(&port->lock, portName + " port lock");
    *static_cast<Port**>(device->DeviceExtension) = port;
    device->Flags |= DO_BUFFERED_IO;
    kernel.Pnp().ReportPhysicalDevice(device);
    if (backend) backend->OnFormat(FormatLocked(port));
    *out = port;
    return device;
}

void DeleteSerialDevice(Port* port) {
    if (!port) return;
    {
        PortLock guard(port);
        port->backend = nullptr;
    }
    // A driver still attached above keeps the device; it goes when the driver is unloaded, and
    // until then the port has no hardware: nothing arrives and writes run into their time-outs.
    if (port->device->AttachedDevice) return;
    DestroyPort(port, true);
}

void EditSerialRequestFilter(PDEVICE_OBJECT device,
                             const std::function<void(std::shared_ptr<RequestFilter>& filter)>& edit) {
    Port* port = PortOf(device);
    PortLock guard(port);
    edit(port->filter);
}

}  // namespace lmscr::serial
