// The I/O manager: device objects and stacks, IRPs with their stack locations, the walk of
// completion routines up the stack, cancellation, the device-control request builder, work
// items, remove locks and the error log.
//
// IRP ownership, as the verifier follows it.  An IRP is Owned while its allocator or a driver
// holds it, Walking while IoCompleteRequest runs completion routines, Done once the walk has
// reached the top (the I/O manager then finishes it: copies back, signals, frees), and Freed.
// Each dispatch to a stack location is a frame that is checked once both the dispatch routine
// has returned and the walk has passed the location: STATUS_PENDING must go with
// IoMarkIrpPending on that location, and a location marked pending must return STATUS_PENDING.
#include "internal.h"
#include "sanitizer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

using namespace lmscr::kernel;

namespace {

constexpr size_t kBlockStackSize = 9;  // in the block's prefix (internal.h)

size_t IrpBlockBytes(CCHAR stackSize) {
    return kIrpPrefix + sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
}

// Under AddressSanitizer an IRP in quarantine is unreadable, as freed memory would be.
void PoisonIrpBlock([[maybe_unused]] char* block, [[maybe_unused]] size_t bytes) {
#ifdef LMSCR_ASAN
    __asan_poison_memory_region(block, bytes);
#endif
}
void UnpoisonIrpBlock([[maybe_unused]] char* block, [[maybe_unused]] size_t bytes) {
#ifdef LMSCR_ASAN
    __asan_unpoison_memory_region(block, bytes);
#endif
}

const char* MajorName(UCHAR major) {
    switch (major) {
    case IRP_MJ_CREATE: return "CREATE";
    case IRP_MJ_CLOSE: return "CLOSE";
    case IRP_MJ_READ: return "READ";
    case IRP_MJ_WRITE: return "WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "CLEANUP";
    case IRP_MJ_POWER: return "POWER";
    case IRP_MJ_PNP: return "PNP";
    default: return "MJ";
    }
}

}  // namespace

namespace lmscr::kernel {

std::string Kernel::Impl::DeviceName(PDEVICE_OBJECT device) {
    if (!device) return "(none)";
    return device->DeviceObjectExtension->name;
}

// Under the guard.  The IRP's own memory says nothing once it is freed: its address is checked
// against the addresses handed out as IRPs, and the mark in front of it, before anything in it
// is read.
IrpTrack* Kernel::Impl::LiveTrackSlow(PIRP irp, const char* routine, const char* freedViolation) {
    const bool known = knownIrps.count(irp) != 0;
    if (known) KnownIrpSeen(irp) = irp;
    if (!known || IrpFreed(irp)) {
        const bool freed = known;
        Violation(freed ? freedViolation : "IRP_NOT_AN_IRP",
                  std::string(routine) + " of " + (freed ? "an IRP that was freed already" : "an address that is no IRP"));
    }
    return TrackOf(irp);
}

PIRP Kernel::Impl::NewIrp(CCHAR stackSize, IrpKind kind, const Site& site) {
    if (stackSize < 1) Violation("IRP_STACK_SIZE", "an IRP with " + std::to_string(stackSize) +
                                                       " stack locations");
    size_t bytes = IrpBlockBytes(stackSize);
    char* block = nullptr;
    if (static_cast<size_t>(stackSize) < irpQuarantine.size() &&
        irpQuarantine[stackSize].Size() > kIrpQuarantine) {
        block = irpQuarantine[stackSize].PopFront();
        UnpoisonIrpBlock(block + kIrpPrefix, bytes - kIrpPrefix);
        std::memset(block, 0, bytes);
    } else {
        block = static_cast<char*>(std::calloc(1, bytes));
        if (!block) return nullptr;
        knownIrps.insert(reinterpret_cast<PIRP>(block + kIrpPrefix));
    }
    IrpTrack* track;
    if (spareTracks.empty()) {
        track = new IrpTrack;
    } else {
        track = spareTracks.back();
        spareTracks.pop_back();
    }
    track->serial = ++irpSerial;
    track->kind = kind;
    track->site = site;
    track->owner = CurrentDriver();
    std::memcpy(block, &track, sizeof track);
    block[kBlockStackSize] = stackSize;
    auto* irp = reinterpret_cast<PIRP>(block + kIrpPrefix);
    track->irp = irp;
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    irp->Tail.Overlay.Thread = Current();
    InitializeListHead(&irp->ThreadListEntry);
    track->nextLive = liveTracks;
    if (liveTracks) liveTracks->previousLive = track;
    liveTracks = track;
    return irp;
}

void Kernel::Impl::ReleaseIrpMemory(PIRP irp) {
    IrpTrack* track = TrackOf(irp);
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer) {
        if (irp->AssociatedIrp.SystemBuffer == track->smallSystemBuffer)
            spareSystemBuffers.push_back(track->smallSystemBuffer);
        else
            std::free(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    if (track->previousLive)
        track->previousLive->nextLive = track->nextLive;
    else
        liveTracks = track->nextLive;
    if (track->nextLive) track->nextLive->previousLive = track->previousLive;
    char* block = reinterpret_cast<char*>(irp) - kIrpPrefix;
    const CCHAR stackSize = block[kBlockStackSize];
    track->Clear();
    spareTracks.push_back(track);
    std::memset(irp, 0xDD, sizeof(IRP));
    block[kFreedMark] = 1;
    if (static_cast<size_t>(stackSize) >= irpQuarantine.size()) irpQuarantine.resize(stackSize + 1);
    irpQuarantine[stackSize].PushBack(block);
    PoisonIrpBlock(block + kIrpPrefix, IrpBlockBytes(stackSize) - kIrpPrefix);
}

void* Kernel::Impl::NewSystemBuffer([[maybe_unused]] IrpTrack* track, size_t size) {
#ifndef LMSCR_ASAN
    if (size <= kSmallSystemBuffer) {
        void* buffer;
        if (spareSystemBuffers.empty()) {
            buffer = std::malloc(kSmallSystemBuffer);
            if (!buffer) return nullptr;
        } else {
            buffer = spareSystemBuffers.back();
            spareSystemBuffers.pop_back();
        }
        std::memset(buffer, 0, size);
        track->smallSystemBuffer = buffer;
        return buffer;
    }
#endif
    return std::calloc(1, size);
}

void Kernel::Impl::ReleaseIrpPools() {
    for (void* buffer : spareSystemBuffers) std::free(buffer);
    spareSystemBuffers.clear();
    for (auto& queue : irpQuarantine)
        queue.ForEach([&](char* block) {
            UnpoisonIrpBlock(block + kIrpPrefix,
                             IrpBlockBytes(static_cast<CCHAR>(&queue - irpQuarantine.data())) - kIrpPrefix);
            std::free(block);
        });
    irpQuarantine.clear();
    for (IrpTrack* track : spareTracks) delete track;
    spareTracks.clear();
}

// Under the guard.
void Kernel::Impl::UnpinIrp(PIRP irp) {
    IrpTrack* track = TrackOf(irp);
    if (--track->pins == 0 && track->freePending) ReleaseIrpMemory(irp);
}

// An IRP whose completion has ended keeps the state Done while calls still look at it, so that a
// second completion is reported as what it is.
static void ReleaseOrDefer(Kernel::Impl& k, PIRP irp, bool explicitFree = false) {
    IrpTrack* track = TrackOf(irp);
    if (explicitFree || track->pins == 0) track->state = IrpState::Freed;
    if (track->pins > 0)
        track->freePending = true;
    else
        k.ReleaseIrpMemory(irp);
}

void Kernel::Impl::FreeDevice(PDEVICE_OBJECT device) {
    auto* ext = device->DeviceObjectExtension;
    devices.erase(device);
    freedDevices.insert(device);
    delete ext;
    std::free(device);
}

void Kernel::Impl::DeviceDereference(PDEVICE_OBJECT device) {
    auto* ext = device->DeviceObjectExtension;
    if (--ext->refs < 0) Violation("DEVICE_OVER_DEREFERENCED", "ObDereferenceObject of " + ext->name);
    FreeDeviceIfUnused(device);
}

static void CheckPendingRule(Kernel::Impl& k, PIRP irp, const DispatchFrame& frame) {
    const IrpTrack* track = TrackOf(irp);
    if (frame.returnedStatus == STATUS_PENDING && !frame.markedPending)
        k.Violation("PENDING_RETURNED_WITHOUT_MARK",
                    std::string("the dispatch routine of ") + frame.driverName +
                        " returned STATUS_PENDING for IRP #" + std::to_string(track->serial) +
                        " without IoMarkIrpPending");
    if (frame.markedPending && frame.returnedStatus != STATUS_PENDING)
        k.Violation("MARKED_PENDING_BUT_NOT_RETURNED",
                    std::string("the dispatch routine of ") + frame.driverName +
                        " marked IRP #" + std::to_string(track->serial) +
                        " pending but returned " + StatusName(frame.returnedStatus));
}

NTSTATUS Kernel::Impl::CallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPo) {
    Thread* self = Current();
    IrpTrack* track;
    PDRIVER_DISPATCH dispatch;
    PDRIVER_OBJECT driver;
    uint64_t frameSerial;
    PIO_STACK_LOCATION stack;
    {
        Guard g(*this);
        track = LiveTrack(irp, "IoCallDriver", "IRP_USED_AFTER_FREE");
        if (track->state == IrpState::Freed)
            Violation("IRP_USED_AFTER_FREE", "IoCallDriver with IRP #" + std::to_string(track->serial) + ", which was freed");
        if (track->state == IrpState::Done)
            Violation("IRP_CALL_AFTER_COMPLETION", "IoCallDriver with IRP #" + std::to_string(track->serial) +
                                                       ", whose completion has ended");
        if (!device) Violation("CALL_NULL_DEVICE", "IoCallDriver to no device");
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        if (irp->CurrentLocation <= 1)
            Violation("NO_MORE_IRP_STACK_LOCATIONS",
                      "IRP #" + std::to_string(track->serial) + " has no stack location left for " +
                          DeviceName(device));
        if (!viaPo && next->MajorFunction == IRP_MJ_POWER)
            Violation("POWER_IRP_WITHOUT_POCALLDRIVER",
                      "a power IRP was passed to " + DeviceName(device) + " with IoCallDriver");
        irp->CurrentLocation--;
        irp->Tail.Overlay.CurrentStackLocation--;
        stack = irp->Tail.Overlay.CurrentStackLocation;
        stack->DeviceObject = device;
        auto* ext = device->DeviceObjectExtension;
        ext->inflight++;
        ext->refs++;
        track->pins++;
        track->state = IrpState::Owned;
        frameSerial = ++this->frameSerial;
        driver = device->DriverObject;
        track->frames.push_back(DispatchFrame{frameSerial, irp->CurrentLocation, false, 0, false,
                                              false, DriverName(driver), device});
        dispatch = driver->MajorFunction[stack->MajorFunction];
        if (tracing()) {
            char line[160];
            std::snprintf(line, sizeof line, "call %s IRP #%llu %s/%u", ext->name.c_str(),
                          static_cast<unsigned long long>(track->serial),
                          MajorName(stack->MajorFunction), stack->MinorFunction);
            TraceLine(line);
        }
    }
    SwitchPoint();
    const KIRQL irql = self->irql;
    const int locks = self->spinLocksHeld;
    NTSTATUS status;
    self->dispatching.push_back(device);
    {
        DriverScope scope(driver);
        status = dispatch(device, irp);
    }
    self->dispatching.pop_back();
    CheckReturnState(self, irql, locks, "a dispatch routine", driver);
    Guard g(*this);
    auto& frames = track->frames;
    auto it = std::find_if(frames.begin(), frames.end(),
                           [&](const DispatchFrame& f) { return f.serial == frameSerial; });
    if (it != frames.end()) {
        it->returned = true;
        it->returnedStatus = status;
        if (it->passed) {
            DispatchFrame frame = *it;
            frames.erase(it);
            CheckPendingRule(*this, irp, frame);
        }
    }
    UnpinIrp(irp);
    DeviceDereference(device);
    return status;
}

void Kernel::Impl::FinishIrpAtTop(PIRP irp) {
    IrpTrack* track = TrackOf(irp);
    switch (track->kind) {
    case IrpKind::Allocated:
        Violation("IRP_ALLOCATED_COMPLETED_TO_TOP",
                  "IRP #" + std::to_string(track->serial) + " allocated at " + track->site.ToString() +
                      " completed up to the top: no completion routine of its owner took it back");
    case IrpKind::Ioctl: {
        if (!NT_ERROR(irp->IoStatus.Status) && (irp->Flags & IRP_INPUT_OPERATION) && irp->UserBuffer) {
            if (irp->IoStatus.Information > track->copyBackLength)
                Violation("IRP_INFORMATION_EXCEEDS_BUFFER",
                          "IRP #" + std::to_string(track->serial) + " completed with information " +
                              std::to_string(irp->IoStatus.Information) + " for an output buffer of " +
                              std::to_string(track->copyBackLength) + " bytes");
            std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
        }
        if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
        PKEVENT event = irp->UserEvent;
        {
            Guard g(*this);
            ReleaseOrDefer(*this, irp);
        }
        if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        return;
    }
    case IrpKind::Client:
    case IrpKind::Pnp:
    case IrpKind::Power: {
        auto done = std::move(track->onDone);
        if (done) done(irp);
        Guard g(*this);
        ReleaseOrDefer(*this, irp);
        return;
    }
    }
}

}  // namespace lmscr::kernel

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    if (k.ShouldFail("IoCreateDevice", Site{})) return STATUS_INSUFFICIENT_RESOURCES;
    std::string name;
    if (DeviceName && DeviceName->Buffer) {
        name = Utf8(DeviceName);
        for (PDEVICE_OBJECT d : k.devices)
            if (!d->DeviceObjectExtension->deleted && d->DeviceObjectExtension->name == name)
                return STATUS_OBJECT_NAME_COLLISION;
    }
    size_t extOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    auto* memory = static_cast<char*>(std::calloc(1, extOffset + DeviceExtensionSize));
    if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(memory);
    auto* ext = new _DEVOBJ_EXTENSION;
    ext->DeviceObject = device;
    ext->serial = ++k.deviceSerial;
    if (name.empty()) name = std::string(k.DriverName(DriverObject)) + "#" + std::to_string(ext->serial);
    ext->name = name;
    device->Type = 3;
    device->Size = static_cast<USHORT>(extOffset + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                    (DeviceName && DeviceName->Buffer ? DO_DEVICE_HAS_NAME : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? memory + extOffset : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = ext;
    k.devices.insert(device);
    k.freedDevices.erase(device);
    k.names[device] = name;
    *DeviceObject = device;
    g.Unlock();
    if (k.tracing()) k.TraceLine("create device " + name);
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    Kernel::Impl& k = K();
    Thread* self = k.Current();
    std::vector<InterfaceRecord> gone;
    {
        Kernel::Impl::Guard g(k);
        if (!k.IsDevice(DeviceObject))
            k.Violation(k.freedDevices.count(DeviceObject) ? "DEVICE_DELETED_TWICE" : "DEVICE_NOT_A_DEVICE_OBJECT",
                        "IoDeleteDevice of an address that is no device object (any more)");
        auto* ext = DeviceObject->DeviceObjectExtension;
        if (ext->deleted) k.Violation("DEVICE_DELETED_TWICE", "IoDeleteDevice of " + ext->name + " twice");
        if (DeviceObject->AttachedDevice)
            k.Violation("DEVICE_DELETED_WHILE_ATTACHED",
                        ext->name + " is deleted while " + k.DeviceName(DeviceObject->AttachedDevice) +
                            " is still attached above it");
        if (ext->AttachedTo)
            k.Violation("DEVICE_DELETED_WHILE_ATTACHED",
                        ext->name + " is deleted while still attached to " +
                            k.DeviceName(ext->AttachedTo));
        int ownDispatches = static_cast<int>(
            std::count(self->dispatching.begin(), self->dispatching.end(), DeviceObject));
        if (ext->inflight > ownDispatches)
            k.Violation("DEVICE_DELETED_WITH_REQUESTS_OUTSTANDING",
                        ext->name + " is deleted with " + std::to_string(ext->inflight - ownDispatches) +
                            " request(s) still outstanding on it");
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link) *link = DeviceObject->NextDevice;
        ext->deleted = true;
        for (auto it = k.interfaces.begin(); it != k.interfaces.end();) {
            if (it->pdo == DeviceObject) {
                if (it->enabled) gone.push_back(*it);
                it = k.interfaces.erase(it);
            } else {
                ++it;
            }
        }
        k.physicalDevices.erase(std::remove(k.physicalDevices.begin(), k.physicalDevices.end(), DeviceObject),
                                k.physicalDevices.end());
        if (k.tracing()) k.TraceLine("delete device " + ext->name);
        k.DeviceDereference(DeviceObject);
    }
    for (auto& record : gone) k.NotifyInterface(record, false);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    while (DeviceObject->AttachedDevice) DeviceObject = DeviceObject->AttachedDevice;
    return DeviceObject;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObReferenceObject(top);
    return top;
}

VOID ObReferenceObject(PVOID Object) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    if (k.IsDevice(Object)) static_cast<PDEVICE_OBJECT>(Object)->DeviceObjectExtension->refs++;
}

VOID ObDereferenceObject(PVOID Object) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    if (k.IsDevice(Object)) k.DeviceDereference(static_cast<PDEVICE_OBJECT>(Object));
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    if (k.ShouldFail("IoAttachDeviceToDeviceStack", Site{})) return nullptr;
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice) top = top->AttachedDevice;
    if (top->DeviceObjectExtension->deleted) return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (k.tracing()) k.TraceLine("attach " + k.DeviceName(SourceDevice) + " above " + k.DeviceName(top));
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (!upper)
        k.Violation("DETACH_WITHOUT_ATTACHMENT",
                    "IoDetachDevice of " + k.DeviceName(TargetDevice) + ", which has nothing attached");
    upper->DeviceObjectExtension->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

PIRP LmIoAllocateIrp(CCHAR StackSize, BOOLEAN, PCSTR File, ULONG Line, PCSTR Function) {
    Kernel::Impl& k = K();
    Site site{File, Line, Function};
    Kernel::Impl::Guard g(k);
    if (k.ShouldFail("IoAllocateIrp", site)) return nullptr;
    return k.NewIrp(StackSize, IrpKind::Allocated, site);
}

VOID IoFreeIrp(PIRP Irp) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    IrpTrack* track = k.LiveTrack(Irp, "IoFreeIrp", "IRP_DOUBLE_FREE");
    if (track->state == IrpState::Freed)
        k.Violation("IRP_DOUBLE_FREE", "IoFreeIrp of IRP #" + std::to_string(track->serial) + " twice");
    if (track->kind != IrpKind::Allocated)
        k.Violation("IRP_FREED_WHILE_OWNED",
                    "IoFreeIrp of IRP #" + std::to_string(track->serial) +
                        ", which the I/O manager built and frees itself");
    if (Irp->CurrentLocation <= Irp->StackCount) {
        PDEVICE_OBJECT holder = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
        if (holder)
            k.Violation("IRP_FREED_WHILE_OWNED", "IoFreeIrp of IRP #" + std::to_string(track->serial) +
                                                     " while " + k.DeviceName(holder) + " holds it");
    }
    ReleaseOrDefer(k, Irp, true);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    IrpTrack* track = k.LiveTrack(Irp, "IoReuseIrp", "IRP_USED_AFTER_FREE");
    if (track->state == IrpState::Freed)
        k.Violation("IRP_USED_AFTER_FREE", "IoReuseIrp of a freed IRP");
    CHAR count = Irp->StackCount;
    std::memset(reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1), 0, count * sizeof(IO_STACK_LOCATION));
    Irp->CurrentLocation = static_cast<CHAR>(count + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + count;
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    Irp->Cancel = FALSE;
    Irp->CancelRoutine = nullptr;
    Irp->PendingReturned = FALSE;
    track->state = IrpState::Owned;
    track->frames.clear();
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return K().CallDriver(DeviceObject, Irp, false);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR) {
    Kernel::Impl& k = K();
    Thread* self = k.Current();
    // One hold of the dispatcher lock for the walk up the stack, let go only while a completion
    // routine runs and for the end at the top (a lock taken and given back per step cost more
    // than the step in real time).
    Kernel::Impl::Guard g(k);
    IrpTrack* track = k.LiveTrack(Irp, "IoCompleteRequest", "IRP_USED_AFTER_FREE");
    {
        auto which = [track] { return "IRP #" + std::to_string(track->serial); };
        if (track->state == IrpState::Freed)
            k.Violation("IRP_USED_AFTER_FREE", "IoCompleteRequest of " + which() + ", which was freed");
        if (track->state == IrpState::Done)
            k.Violation("IRP_COMPLETED_TWICE", "IoCompleteRequest of " + which() + ", whose completion has ended");
        if (Irp->IoStatus.Status == STATUS_PENDING)
            k.Violation("IRP_COMPLETED_WITH_STATUS_PENDING", "IoCompleteRequest of " + which() +
                                                                 " with status STATUS_PENDING");
        if (Irp->CancelRoutine)
            k.Violation("IRP_COMPLETED_WITH_CANCEL_ROUTINE",
                        "IoCompleteRequest of " + which() + " while its cancel routine is still set");
        // A request that the I/O manager built and whose last completion routine kept it above
        // every stack location is handed back to the I/O manager this way (the documented end
        // of a threaded request its builder cancelled); an IRP of IoAllocateIrp has nobody above.
        if (Irp->CurrentLocation > Irp->StackCount && track->kind == IrpKind::Allocated)
            k.Violation("IRP_NOT_HELD", "IoCompleteRequest of " + which() +
                                            ", which no driver holds (completed already?)");
        PDEVICE_OBJECT holder = Irp->CurrentLocation > Irp->StackCount
                                    ? nullptr
                                    : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
        PDRIVER_OBJECT caller = k.CurrentDriver();
        if (holder && caller && holder->DriverObject != caller)
            k.Violation("IRP_COMPLETED_BY_NON_OWNER",
                        "IoCompleteRequest of " + which() + " by " + k.DriverName(caller) + " while " +
                            k.DeviceName(holder) + " of " + k.DriverName(holder->DriverObject) +
                            " holds it (completed twice?)");
        track->state = IrpState::Walking;
        track->pins++;
        if (k.tracing())
            k.TraceLine("complete IRP #" + std::to_string(track->serial) + " " +
                        StatusName(Irp->IoStatus.Status));
    }
    k.SwitchPoint();  // nothing in real time; in virtual time the guard is no lock
    for (;;) {
        PIO_COMPLETION_ROUTINE routine;
        PVOID context;
        PDEVICE_OBJECT upper;
        {
            if (Irp->CurrentLocation > Irp->StackCount) break;
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
            const bool marked = (sp->Control & SL_PENDING_RETURNED) != 0;
            Irp->PendingReturned = marked ? TRUE : FALSE;
            const int location = Irp->CurrentLocation;
            SmallList<DispatchFrame, 2> ready;
            SmallList<PDEVICE_OBJECT, 2> released;
            auto& frames = track->frames;
            for (auto it = frames.begin(); it != frames.end();) {
                if (it->location == location && !it->passed) {
                    // Every device that was dispatched this location (more than one when drivers
                    // skip their own) no longer holds the IRP.
                    it->passed = true;
                    it->markedPending = marked;
                    released.Add(it->device);
                    if (it->returned) {
                        ready.Add(*it);
                        it = frames.erase(it);
                        continue;
                    }
                }
                ++it;
            }
            ready.ForEach([&](DispatchFrame& frame) { CheckPendingRule(k, Irp, frame); });
            Irp->CurrentLocation++;
            Irp->Tail.Overlay.CurrentStackLocation++;
            routine = sp->CompletionRoutine;
            context = sp->Context;
            const UCHAR control = sp->Control;
            sp->Control = 0;
            sp->Flags = 0;
            sp->CompletionRoutine = nullptr;
            sp->Context = nullptr;
            upper = Irp->CurrentLocation > Irp->StackCount ? nullptr
                                                           : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            const NTSTATUS status = Irp->IoStatus.Status;
            const bool invoke =
                routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                            (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                            (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
            released.ForEach([&](PDEVICE_OBJECT device) {
                device->DeviceObjectExtension->inflight--;
                k.FreeDeviceIfUnused(device);
            });
            if (!invoke) {
                // Nobody above looks: carry the pending mark up, as the platform does.
                if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount)
                    IoMarkIrpPending(Irp);
                continue;
            }
        }
        g.Unlock();
        const KIRQL irql = self->irql;
        const int locks = self->spinLocksHeld;
        PDRIVER_OBJECT owner = upper ? upper->DriverObject : track->owner;
        NTSTATUS result;
        {
            DriverScope scope(owner);
            result = routine(upper, Irp, context);
        }
        CheckReturnState(self, irql, locks, "a completion routine", owner);
        g.Lock();
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            if (track->state == IrpState::Walking) track->state = IrpState::Owned;
            k.UnpinIrp(Irp);
            return;
        }
        if (track->state != IrpState::Walking)
            k.Violation("IRP_COMPLETED_TWICE",
                        "a completion routine of " + std::string(k.DriverName(owner)) + " completed IRP #" +
                            std::to_string(track->serial) +
                            " or freed it and did not return STATUS_MORE_PROCESSING_REQUIRED");
    }
    track->state = IrpState::Done;
    g.Unlock();
    k.FinishIrpAtTop(Irp);
    g.Lock();
    k.UnpinIrp(Irp);
}


BOOLEAN IoCancelIrp(PIRP Irp) {
    Kernel::Impl& k = K();
    Thread* self = k.Current();
    {
        Kernel::Impl::Guard g(k);
        IrpTrack* track = k.LiveTrack(Irp, "IoCancelIrp", "IRP_USED_AFTER_FREE");
        if (track->state == IrpState::Freed)
            k.Violation("IRP_USED_AFTER_FREE", "IoCancelIrp of a freed IRP");
        if (k.tracing()) k.TraceLine("cancel IRP #" + std::to_string(track->serial));
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    PDRIVER_OBJECT owner = device ? device->DriverObject : nullptr;
    const int locks = self->spinLocksHeld;
    {
        DriverScope scope(owner);
        routine(device, Irp);
    }
    if (self->spinLocksHeld != locks - 1 || self->irql != irql)
        k.Violation("CANCEL_ROUTINE_KEPT_CANCEL_LOCK",
                    "the cancel routine of " + std::string(k.DriverName(owner)) +
                        " returned without releasing the cancel spin lock to the IRP's CancelIrql");
    return TRUE;
}

PIRP LmIoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                     PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                     ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                     PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock, PCSTR File,
                                     ULONG Line, PCSTR Function) {
    Kernel::Impl& k = K();
    Site site{File, Line, Function};
    Kernel::Impl::Guard g(k);
    if (k.ShouldFail("IoBuildDeviceIoControlRequest", site)) return nullptr;
    PIRP irp = k.NewIrp(DeviceObject->StackSize, IrpKind::Ioctl, site);
    if (!irp) return nullptr;
    IrpTrack* track = TrackOf(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    if (METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    } else {
        // Buffered: one system buffer for both directions, as large as the larger of the two.
        // The direct methods are served the same way here (no memory descriptor lists).
        ULONG size = std::max(InputBufferLength, OutputBufferLength);
        if (size) {
            irp->AssociatedIrp.SystemBuffer = k.NewSystemBuffer(track, size);
            if (InputBuffer && InputBufferLength)
                std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBuffer && OutputBufferLength) irp->Flags |= IRP_INPUT_OPERATION;
        irp->UserBuffer = OutputBuffer;
        track->copyBackLength = OutputBufferLength;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    return irp;
}

// ---- work items ----------------------------------------------------------------------------

PIO_WORKITEM LmIoAllocateWorkItem(PDEVICE_OBJECT DeviceObject, PCSTR File, ULONG Line, PCSTR Function) {
    Kernel::Impl& k = K();
    Site site{File, Line, Function};
    Kernel::Impl::Guard g(k);
    if (k.ShouldFail("IoAllocateWorkItem", site)) return nullptr;
    auto* item = new _IO_WORKITEM;
    item->device = DeviceObject;
    item->site = site;
    item->owner = k.CurrentDriver();
    item->serial = ++k.workItemSerial;
    k.workItems.insert(item);
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    if (!k.workItems.count(IoWorkItem))
        k.Violation("WORK_ITEM_DOUBLE_FREE", "IoFreeWorkItem of a work item that is not allocated");
    if (IoWorkItem->queued)
        k.Violation("WORK_ITEM_FREED_WHILE_QUEUED",
                    "IoFreeWorkItem of a queued work item allocated at " + IoWorkItem->site.ToString());
    k.workItems.erase(IoWorkItem);
    delete IoWorkItem;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
    Kernel::Impl& k = K();
    {
        Kernel::Impl::Guard g(k);
        if (!k.workItems.count(IoWorkItem))
            k.Violation("WORK_ITEM_NOT_ALLOCATED", "IoQueueWorkItem of a work item that is not allocated");
        if (IoWorkItem->queued)
            k.Violation("WORK_ITEM_QUEUED_TWICE", "IoQueueWorkItem of a work item allocated at " +
                                                      IoWorkItem->site.ToString() + " that is queued already");
        IoWorkItem->queued = true;
        IoWorkItem->routine = WorkerRoutine;
        IoWorkItem->context = Context;
        IoWorkItem->device->DeviceObjectExtension->refs++;
        auto& queue = k.workQueues[QueueType == DelayedWorkQueue ? 1 : 0];
        queue.items.push_back(IoWorkItem);
        if (!k.virtualTime && &queue == &k.workQueues[0] && k.Current() && k.Current()->deferCriticalWork) [[unlikely]] {
            k.Current()->criticalWorkDeferred = true;  // the thread runs it once its input is in
        } else {
            queue.event.Header.SignalState = 1;
            k.SignalLocked(&queue.event.Header);
        }
        if (k.tracing()) k.TraceLine(std::string("queue work item on ") + queue.name);
    }
    k.SwitchPoint();
}

// ---- remove locks --------------------------------------------------------------------------

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG, ULONG) {
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, PCSTR, ULONG, ULONG) {
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (RemoveLock->Common.Removed) {
        if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
            KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, ULONG) {
    LONG left = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (left < 0 || (left == 0 && !RemoveLock->Common.Removed))
        K().Violation("REMOVE_LOCK_OVER_RELEASED",
                      "a remove lock was released more often than it was acquired");
    if (left == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID, ULONG) {
    RemoveLock->Common.Removed = TRUE;
    // The caller's own reference, then the lock's base count.
    LONG left = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (left < 1)
        K().Violation("REMOVE_LOCK_OVER_RELEASED",
                      "IoReleaseRemoveLockAndWait without a reference of the caller");
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

// ---- error log -----------------------------------------------------------------------------

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    Kernel::Impl& k = K();
    if (EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
    void* entry = std::calloc(1, EntrySize);
    Kernel::Impl::Guard g(k);
    k.errorLogObjects[entry] = IoObject;
    return entry;
}

VOID IoFreeErrorLogEntry(PVOID ElEntry) {
    Kernel::Impl& k = K();
    {
        Kernel::Impl::Guard g(k);
        k.errorLogObjects.erase(ElEntry);
    }
    std::free(ElEntry);
}

VOID IoWriteErrorLogEntry(PVOID ElEntry) {
    Kernel::Impl& k = K();
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(ElEntry);
    EventLogEntry entry;
    entry.timeNs = k.NowNs();
    entry.code = static_cast<uint32_t>(packet->ErrorCode);
    entry.uniqueValue = packet->UniqueErrorValue;
    entry.finalStatus = packet->FinalStatus;
    for (USHORT i = 0; i < packet->DumpDataSize / sizeof(ULONG); ++i)
        entry.dumpData.push_back(packet->DumpData[i]);
    const auto* strings = reinterpret_cast<const char16_t*>(reinterpret_cast<const char*>(packet) +
                                                            packet->StringOffset);
    for (USHORT i = 0; i < packet->NumberOfStrings && packet->StringOffset; ++i) {
        std::u16string s(strings);
        strings += s.size() + 1;
        entry.strings.push_back(std::move(s));
    }
    {
        Kernel::Impl::Guard g(k);
        const void* object = k.errorLogObjects[ElEntry];
        entry.objectPointer = object;
        if (k.IsDevice(object)) {
            entry.object = k.DeviceName(static_cast<PDEVICE_OBJECT>(const_cast<void*>(object)));
        } else {
            entry.object = k.DriverName(static_cast<PDRIVER_OBJECT>(const_cast<void*>(object)));
        }
        k.errorLogObjects.erase(ElEntry);
        k.eventLog.push_back(std::move(entry));
    }
    std::free(ElEntry);
}

}  // extern "C"
