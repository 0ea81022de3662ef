// The client side of the I/O manager, as an application's calls would reach a driver: opens with
// a file object, buffered device-control, read and write requests, cleanup and close, requests
// that stay pending and can be cancelled, and watching device interfaces.
#include "internal.h"

#include <algorithm>
#include <cstring>

using namespace lmscr::kernel;

namespace lmscr::kernel {

namespace {

IO_SECURITY_CONTEXT gSecurityContext{};

// A Kernel::At id is the timer's key in one word: the slot in the low 24 bits (more timers than
// that set at once would need gigabytes of slots), the serial above it (2^40 timers in a run).
constexpr unsigned kSlotBits = 24;

Kernel::TimerId AtId(TimerKey key) { return key.serial << kSlotBits | key.slot; }

TimerKey AtKey(Kernel::TimerId id) {
    return TimerKey{static_cast<uint32_t>(id & ((1u << kSlotBits) - 1)), id >> kSlotBits};
}

// Builds a request for the top of the handle's stack.  Buffered transfers get a system buffer of
// the larger length with the input copied in; completion copies back `Information` bytes.
PIRP BuildClientIrp(Kernel::Impl& k, PDEVICE_OBJECT top, PFILE_OBJECT file, UCHAR major,
                    std::shared_ptr<PendingIo::State> state, std::span<const uint8_t> input,
                    ULONG outputLength, ULONG code) {
    Kernel::Impl::Guard g(k);
    PIRP irp = k.NewIrp(top->StackSize, IrpKind::Client, Site{__FILE__, __LINE__, "client"});
    IrpTrack* track = TrackOf(irp);
    track->owner = nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = UserMode;
    state->result.output.assign(outputLength, 0);
    const bool neither = major == IRP_MJ_DEVICE_CONTROL && METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        next->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
        next->Parameters.DeviceIoControl.IoControlCode = code;
    } else if (major == IRP_MJ_READ) {
        next->Parameters.Read.Length = outputLength;
    } else if (major == IRP_MJ_WRITE) {
        next->Parameters.Write.Length = static_cast<ULONG>(input.size());
    } else if (major == IRP_MJ_CREATE) {
        next->Parameters.Create.SecurityContext = &gSecurityContext;
    }
    if (neither) {
        state->inputCopy.assign(input.begin(), input.end());
        next->Parameters.DeviceIoControl.Type3InputBuffer = state->inputCopy.data();
        irp->UserBuffer = state->result.output.data();
    } else {
        size_t size = std::max<size_t>(input.size(), outputLength);
        if (size) {
            irp->AssociatedIrp.SystemBuffer = k.NewSystemBuffer(track, size);
            if (!input.empty()) std::memcpy(irp->AssociatedIrp.SystemBuffer, input.data(), input.size());
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (outputLength) irp->Flags |= IRP_INPUT_OPERATION;
        irp->UserBuffer = state->result.output.data();
        track->copyBackLength = outputLength;
    }
    if (file) k.fileRequests[file]++;
    state->irp = irp;
    state->file = file;
    track->onDone = [&k, state, neither](PIRP i) {
        IrpTrack* t = TrackOf(i);
        if (!neither && !NT_ERROR(i->IoStatus.Status) && (i->Flags & IRP_INPUT_OPERATION)) {
            if (i->IoStatus.Information > t->copyBackLength)
                k.Violation("IRP_INFORMATION_EXCEEDS_BUFFER",
                            "IRP #" + std::to_string(t->serial) + " completed with information " +
                                std::to_string(i->IoStatus.Information) + " for an output buffer of " +
                                std::to_string(t->copyBackLength) + " bytes");
            std::memcpy(state->result.output.data(), i->AssociatedIrp.SystemBuffer, i->IoStatus.Information);
        }
        {
            Kernel::Impl::Guard g(k);
            state->result.status = i->IoStatus.Status;
            state->result.information = i->IoStatus.Information;
            state->completed = true;
            state->irp = nullptr;
            // The count stays at zero until the handle closes: one entry a handle, not one a request.
            if (state->file) --k.fileRequests[state->file];
        }
        KeSetEvent(&k.requestDone, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&state->done, IO_NO_INCREMENT, FALSE);
    };
    return irp;
}

std::shared_ptr<PendingIo::State> NewState() {
    auto state = std::make_shared<PendingIo::State>();
    KeInitializeEvent(&state->done, NotificationEvent, FALSE);
    return state;
}

void Submit(PDEVICE_OBJECT top, const std::shared_ptr<PendingIo::State>& state) {
    PIRP irp = state->irp;
    NTSTATUS status = IoCallDriver(top, irp);
    state->returnedPending = status == STATUS_PENDING;
}

IoResult RunSync(PDEVICE_OBJECT top, const std::shared_ptr<PendingIo::State>& state) {
    Submit(top, state);
    KeWaitForSingleObject(&state->done, Executive, KernelMode, FALSE, nullptr);
    return std::move(state->result);  // the completion has ended: nobody reads it again
}

}  // namespace

NTSTATUS Client::OpenDevice(PDEVICE_OBJECT device, Handle& out) {
    auto& k = kernel_.impl();
    if (out.IsOpen()) Close(out);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    auto* ext = top->DeviceObjectExtension;
    // An exclusive device lets one open through at a time.
    for (;;) {
        Kernel::Impl::Guard g(k);
        if (ext->deleted) {
            g.Unlock();
            ObDereferenceObject(top);
            return STATUS_NO_SUCH_DEVICE;
        }
        if (!(top->Flags & DO_EXCLUSIVE) || !ext->createInProgress) {
            ext->createInProgress = true;
            break;
        }
        KeClearEvent(&k.requestDone);
        g.Unlock();
        KeWaitForSingleObject(&k.requestDone, Executive, KernelMode, FALSE, nullptr);
    }
    auto* file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
    file->Type = 5;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = top;
    auto state = NewState();
    BuildClientIrp(k, top, file, IRP_MJ_CREATE, state, {}, 0, 0);
    IoResult result = RunSync(top, state);
    {
        Kernel::Impl::Guard g(k);
        ext->createInProgress = false;
        if (NT_SUCCESS(result.status)) {
            ext->openHandles++;
            top->ReferenceCount++;
        }
    }
    KeSetEvent(&k.requestDone, IO_NO_INCREMENT, FALSE);
    if (!NT_SUCCESS(result.status)) {
        {
            Kernel::Impl::Guard g(k);
            k.fileRequests.erase(file);
        }
        std::free(file);
        ObDereferenceObject(top);
        return result.status;
    }
    out.file_ = file;
    out.device_ = top;
    return result.status;
}

NTSTATUS Client::Open(const std::string& symbolicLink, Handle& out) {
    auto& k = kernel_.impl();
    PDEVICE_OBJECT pdo = nullptr;
    {
        Kernel::Impl::Guard g(k);
        for (auto& r : k.interfaces)
            if (r.link == symbolicLink && r.enabled) pdo = r.pdo;
    }
    if (!pdo) return STATUS_OBJECT_NAME_NOT_FOUND;
    return OpenDevice(pdo, out);
}

NTSTATUS Client::Close(Handle& handle) {
    auto& k = kernel_.impl();
    if (!handle.IsOpen()) return STATUS_INVALID_HANDLE;
    PDEVICE_OBJECT top = handle.device_;
    PFILE_OBJECT file = handle.file_;
    auto cleanup = NewState();
    BuildClientIrp(k, top, file, IRP_MJ_CLEANUP, cleanup, {}, 0, 0);
    RunSync(top, cleanup);
    // The close comes when the last request of the handle has completed.
    for (;;) {
        Kernel::Impl::Guard g(k);
        if (auto it = k.fileRequests.find(file); it == k.fileRequests.end() || it->second == 0) break;
        KeClearEvent(&k.requestDone);
        g.Unlock();
        KeWaitForSingleObject(&k.requestDone, Executive, KernelMode, FALSE, nullptr);
    }
    auto close = NewState();
    BuildClientIrp(k, top, file, IRP_MJ_CLOSE, close, {}, 0, 0);
    IoResult result = RunSync(top, close);
    {
        Kernel::Impl::Guard g(k);
        top->DeviceObjectExtension->openHandles--;
        top->ReferenceCount--;
        k.fileRequests.erase(file);
    }
    KeSetEvent(&k.handleClosed, IO_NO_INCREMENT, FALSE);
    std::free(file);
    ObDereferenceObject(top);
    handle.file_ = nullptr;
    handle.device_ = nullptr;
    return result.status;
}

IoResult Client::IoControl(Handle& handle, ULONG code, std::span<const uint8_t> input, ULONG outputLength) {
    auto state = NewState();
    BuildClientIrp(kernel_.impl(), handle.device_, handle.file_, IRP_MJ_DEVICE_CONTROL, state, input,
                   outputLength, code);
    return RunSync(handle.device_, state);
}

std::shared_ptr<PendingIo> Client::IoControlAsync(Handle& handle, ULONG code, std::span<const uint8_t> input,
                                                  ULONG outputLength) {
    auto& k = kernel_.impl();
    auto state = NewState();
    BuildClientIrp(k, handle.device_, handle.file_, IRP_MJ_DEVICE_CONTROL, state, input, outputLength, code);
    PDEVICE_OBJECT top = handle.device_;
    Thread* t = k.Spawn("app-request", [top, state] { Submit(top, state); }, false);
    state->thread = t->id;
    return std::make_shared<PendingIo>(state);
}

std::shared_ptr<PendingIo> Client::IoControlStart(Handle& handle, ULONG code, std::span<const uint8_t> input,
                                                  ULONG outputLength) {
    auto state = NewState();
    BuildClientIrp(kernel_.impl(), handle.device_, handle.file_, IRP_MJ_DEVICE_CONTROL, state, input, outputLength,
                   code);
    Submit(handle.device_, state);
    return std::make_shared<PendingIo>(state);
}

IoResult Client::Read(Handle& handle, ULONG length) {
    auto state = NewState();
    BuildClientIrp(kernel_.impl(), handle.device_, handle.file_, IRP_MJ_READ, state, {}, length, 0);
    return RunSync(handle.device_, state);
}

IoResult Client::Write(Handle& handle, std::span<const uint8_t> data) {
    auto state = NewState();
    BuildClientIrp(kernel_.impl(), handle.device_, handle.file_, IRP_MJ_WRITE, state, data, 0, 0);
    return RunSync(handle.device_, state);
}

std::vector<std::string> Client::EnabledInterfaces(const GUID& interfaceClass) const {
    auto& k = kernel_.impl();
    Kernel::Impl::Guard g(k);
    std::vector<std::string> out;
    for (auto& r : k.interfaces)
        if (r.enabled && std::memcmp(&r.guid, &interfaceClass, sizeof(GUID)) == 0) out.push_back(r.link);
    return out;
}

// ---- pending requests ----------------------------------------------------------------------

PendingIo::~PendingIo() = default;

bool PendingIo::Done() const {
    auto& k = K();
    Kernel::Impl::Guard g(k);
    return state_->completed;
}

bool PendingIo::Wait(std::optional<uint64_t> timeoutMs) {
    LARGE_INTEGER timeout;
    if (timeoutMs) timeout.QuadPart = -static_cast<LONGLONG>(*timeoutMs) * 10000;
    NTSTATUS s = KeWaitForSingleObject(&state_->done, Executive, KernelMode, FALSE, timeoutMs ? &timeout : nullptr);
    return s != STATUS_TIMEOUT;
}

bool PendingIo::Cancel() {
    auto& k = K();
    PIRP irp;
    {
        Kernel::Impl::Guard g(k);
        if (state_->completed || !state_->irp) return false;
        irp = state_->irp;
        TrackOf(irp)->pins++;  // keeps the IRP's memory while IoCancelIrp looks at it
    }
    BOOLEAN cancelled = IoCancelIrp(irp);
    Kernel::Impl::Guard g(k);
    k.UnpinIrp(irp);
    return cancelled != FALSE;
}

const IoResult& PendingIo::Result() const { return state_->result; }
bool PendingIo::ReturnedPending() const { return state_->returnedPending; }
PVOID PendingIo::WaitObject() const { return &state_->done; }

// ---- handles -------------------------------------------------------------------------------

Handle::Handle(Handle&& other) noexcept : file_(other.file_), device_(other.device_) {
    other.file_ = nullptr;
    other.device_ = nullptr;
}

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        if (IsOpen() && KOrNull()) KOrNull()->client->Close(*this);
        file_ = other.file_;
        device_ = other.device_;
        other.file_ = nullptr;
        other.device_ = nullptr;
    }
    return *this;
}

Handle::~Handle() {
    if (IsOpen() && KOrNull()) KOrNull()->client->Close(*this);
}

// ---- interface watching --------------------------------------------------------------------

InterfaceWatch::InterfaceWatch(Kernel& kernel, const GUID& interfaceClass)
    : kernel_(kernel), state_(std::make_shared<State>()) {
    state_->guid = interfaceClass;
    KeInitializeEvent(&state_->event, SynchronizationEvent, FALSE);
    auto& k = kernel_.impl();
    Kernel::Impl::Guard g(k);
    k.names[&state_->event] = "interface notification";
    k.watchers.push_back(state_);
}

InterfaceWatch::~InterfaceWatch() = default;

std::optional<InterfaceNotification> InterfaceWatch::Next(std::optional<uint64_t> timeoutMs) {
    auto& k = kernel_.impl();
    const uint64_t deadline = timeoutMs ? k.NowNs() + *timeoutMs * 1000000ull : 0;
    for (;;) {
        {
            Kernel::Impl::Guard g(k);
            if (!state_->queue.empty()) {
                auto n = state_->queue.front();
                state_->queue.pop_front();
                return n;
            }
        }
        LARGE_INTEGER timeout;
        if (timeoutMs) {
            uint64_t now = k.NowNs();
            if (now >= deadline) return std::nullopt;
            timeout.QuadPart = -static_cast<LONGLONG>((deadline - now) / 100);
            if (timeout.QuadPart == 0) timeout.QuadPart = -1;
        }
        KeWaitForSingleObject(&state_->event, Executive, KernelMode, FALSE, timeoutMs ? &timeout : nullptr);
    }
}

PVOID InterfaceWatch::WaitObject() const { return &state_->event; }

std::vector<InterfaceNotification> InterfaceWatch::Drain() {
    auto& k = kernel_.impl();
    Kernel::Impl::Guard g(k);
    std::vector<InterfaceNotification> out(state_->queue.begin(), state_->queue.end());
    state_->queue.clear();
    return out;
}

// ---- the Kernel object ---------------------------------------------------------------------

Kernel::Kernel(Options options) : impl_(std::make_unique<Impl>(*this, std::move(options))) {
    if (impl_->virtualTime) virtualNow_ = &impl_->virtualNowNs;
}

Kernel::~Kernel() {
    if (!impl_->shutDown) {
        LeakReport report = Shutdown();
        if (!report.empty())
            std::fprintf(stderr, "lmscr kernel: outstanding at shutdown:\n%s", report.ToString().c_str());
    }
}

Kernel* Kernel::Current() {
    Impl* k = KOrNull();
    return k ? &k->owner : nullptr;
}

const Options& Kernel::GetOptions() const { return impl_->options; }
uint64_t Kernel::Seed() const { return impl_->options.seed; }
uint64_t Kernel::RealNowNs() const { return impl_->NowNs(); }

Kernel::ThreadId Kernel::Spawn(const std::string& name, std::function<void()> body) {
    return impl_->Spawn(name, std::move(body), false)->id;
}

void Kernel::ServeDevice(int fd, const std::function<void()>& isr) {
    if (impl_->virtualTime || !impl_->Current()) {
        isr();
        return;
    }
    impl_->ServeDevice(fd, isr);
}

void Kernel::Join(ThreadId id) {
    Thread* t = nullptr;
    {
        Impl::Guard g(*impl_);
        for (auto& th : impl_->threads)
            if (th->id == id) t = th.get();
    }
    if (t) impl_->JoinThread(t);
}

void Kernel::Sleep(uint64_t ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

namespace {

// Kernel::At with `fill` putting the callable into its timer slot's callback.
template <class Fill>
Kernel::TimerId AtFilled(Kernel::Impl& k, uint64_t delayNs, Fill fill) {
    Kernel::Impl::Guard g(k);
    if (!k.virtualTime && delayNs == 0) {
        // Due now, in real time: queued as a DPC is, not through the clock thread, which would
        // wake only to hand it on; run here and now when called below DISPATCH_LEVEL with no
        // DPC running. Nothing is left to cancel.
        k.dispatchCallbacks.PushBack(k.timers.ReserveWith(fill));
        if (k.DpcQueuedLocked()) k.RunDpcsLocked(g, k.Current());
        return AtId(TimerKey{});
    }
    const uint64_t due = k.NowNs() + delayNs;
    const bool first = !k.virtualTime && due < k.clockWakeNs;
    const TimerKey key = k.timers.AddDeferredWith(due, fill);
    if (first) k.WakeClockLocked(due);
    return AtId(key);
}

}  // namespace

Kernel::TimerId Kernel::AtCall(uint64_t delayNs, DeferredCall& fn) {
    return AtFilled(*impl_, delayNs, [&fn](TimerQueue::Callback& slot) { slot.TakeFrom(fn); });
}

Kernel::TimerId Kernel::AtBytes(uint64_t delayNs, void (*invoke)(void*), const void* bytes, size_t size) {
    return AtFilled(*impl_, delayNs,
                    [=](TimerQueue::Callback& slot) { slot.EmplaceBytes(invoke, bytes, size); });
}

Kernel::TimerId Kernel::AtWords(uint64_t delayNs, void (*invoke)(void*), uint64_t first, uint64_t second) {
    return AtFilled(*impl_, delayNs,
                    [=](TimerQueue::Callback& slot) { slot.EmplaceWords(invoke, first, second); });
}

bool Kernel::Rekey(TimerId& id, uint64_t delayNs) {
    Impl& k = *impl_;
    Impl::Guard g(k);
    TimerKey key = AtKey(id);
    // In real time a timer left at its old deadline would wake the clock thread for nothing.
    if (!k.virtualTime || !k.timers.Rekey(key, k.NowNs() + delayNs)) return false;
    id = AtId(key);
    return true;
}

bool Kernel::CancelAt(TimerId id) {
    Impl& k = *impl_;
    Impl::Guard g(k);
    return k.CancelTimerLocked(AtKey(id));
}

void Kernel::Name(const void* object, const std::string& name) {
    Impl::Guard g(*impl_);
    impl_->names[object] = name;
}

PnpManager& Kernel::Pnp() { return *impl_->pnp; }
PowerManager& Kernel::Power() { return *impl_->power; }
Client& Kernel::Clients() { return *impl_->client; }

void Kernel::InjectFault(FaultRule rule) {
    Impl::Guard g(*impl_);
    impl_->faults.push_back(Impl::ActiveRule{std::move(rule), 0});
}

void Kernel::ClearFaults() {
    Impl::Guard g(*impl_);
    impl_->faults.clear();
}

PoolTagStats Kernel::PoolStats(ULONG tag) const {
    Impl::Guard g(*impl_);
    auto it = impl_->poolStats.find(tag);
    return it == impl_->poolStats.end() ? PoolTagStats{} : it->second;
}

std::vector<EventLogEntry> Kernel::EventLog() const {
    Impl::Guard g(*impl_);
    return impl_->eventLog;
}

std::vector<std::string> Kernel::Trace() const {
    std::lock_guard<std::mutex> lock(impl_->traceMutex);
    return impl_->trace;
}

void Kernel::AppendTrace(const std::string& line) { impl_->TraceLine(line); }

LeakReport Kernel::Outstanding() const {
    Impl::Guard g(*impl_);
    return impl_->AllOutstanding();
}

LeakReport Kernel::Shutdown() {
    Impl& k = *impl_;
    LeakReport report;
    if (k.shutDown) return report;
    for (auto it = k.drivers.rbegin(); it != k.drivers.rend(); ++it) {
        if ((*it)->unloaded) continue;
        LeakReport leaks = k.pnp->UnloadDriver((*it)->object);
        report.items.insert(report.items.end(), leaks.items.begin(), leaks.items.end());
    }
    {
        Impl::Guard g(k);
        k.stopping = true;
        k.WakeDpcThreadLocked();
        for (auto* event : {&k.workQueues[0].event, &k.workQueues[1].event, &k.pnpJobs.event,
                            &k.powerJobs.event}) {
            event->Header.SignalState = 1;
            k.SignalLocked(&event->Header);
        }
    }
    // The work-queue and job threads pass the stop on among themselves; the DPC and job threads
    // are woken once more each in case two of them share an event.
    for (Thread* t : k.systemThreads) {
        {
            Impl::Guard g(k);
            k.WakeDpcThreadLocked();
        }
        k.SwitchPoint();
        for (auto* event : {&k.pnpJobs.event, &k.powerJobs.event}) KeSetEvent(event, 0, FALSE);
        k.JoinThread(t);
    }
    // Threads of the run that are still on their way out (a request thread that has handed its
    // request to a driver, say) finish before the kernel goes; in real time they are operating-
    // system threads that must not outlive it.
    for (;;) {
        Thread* running = nullptr;
        {
            Impl::Guard g(k);
            for (auto& t : k.threads)
                if (!t->native && !t->daemon && t->state != ThreadState::Blocked && t->state != ThreadState::Finished)
                    running = t.get();
        }
        if (!running) break;
        k.JoinThread(running);
    }
    if (!k.virtualTime)
        for (auto& t : k.threads)
            if (!t->native && t->state == ThreadState::Finished && t->os.joinable()) t->os.join();
    {
        Impl::Guard g(k);
        for (auto& t : k.threads)
            if (!t->native && t->state == ThreadState::Blocked && !t->daemon)
                report.items.push_back("platform thread still blocked: " + k.DescribeThread(t.get()));
        LeakReport rest = k.AllOutstanding();
        for (auto& item : rest.items)
            if (std::find(report.items.begin(), report.items.end(), item) == report.items.end())
                report.items.push_back(item);
        k.switching = false;
        k.shutDown = true;
    }
    return report;
}

}  // namespace lmscr::kernel
