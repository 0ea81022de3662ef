// The user-mode kernel as tests and tools see it: one Kernel per run, with its clock and
// scheduler, its managers (Plug and Play, power), the client side of the I/O manager, the event
// log, the fault injector and the verifier's leak report.  Drivers never include this header;
// they see only platform/include.
#pragma once

#include <wdm.h>

#include "inline_callback.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lmscr::kernel {

enum class TimeMode {
    Virtual,  // one platform thread at a time, seeded scheduler, clock jumps to the next deadline
    Real,     // operating-system threads and clock
};

struct Options {
    TimeMode mode = TimeMode::Virtual;
    // Seed of the scheduler's choices; LMSCR_SEED in the environment overrides the default.
    uint64_t seed = SeedFromEnvironment(1);
    // Chance, in 1/N per switch point, that the running thread's priority is drawn anew
    // (a change point in the manner of PCT).  0 turns preemption at switch points off.
    uint32_t changePointOneIn = 4;
    bool trace = false;          // keep the event trace (Kernel::Trace)
    bool printTrace = false;     // and echo it to stderr as it happens
    unsigned criticalWorkers = 2;
    unsigned delayedWorkers = 1;

    static uint64_t SeedFromEnvironment(uint64_t fallback);
};

struct Site {
    const char* file = "";
    unsigned line = 0;
    const char* function = "";
    std::string ToString() const;
};

// Fault injection: the operations that can fail on a real machine for want of memory or
// resources.  A rule names an operation (empty: every injectable one) and optionally a call
// site (the calling function's name, or "file.cpp:123"), and fails the nth matching call, or
// every nth.
struct FaultRule {
    std::string operation;  // "ExAllocatePoolWithTag", "IoAllocateIrp", "IoAllocateWorkItem",
                            // "IoBuildDeviceIoControlRequest", "IoCreateDevice",
                            // "IoAttachDeviceToDeviceStack", "IoRegisterDeviceInterface",
                            // "IoSetDeviceInterfaceState", "PoRequestPowerIrp"
    std::string site;
    uint64_t nth = 1;       // the first call that fails
    uint64_t every = 0;     // then every `every` calls after it; 0: only once
};

struct LeakReport {
    std::vector<std::string> items;  // one line each: what, tag, size, where it was made
    bool empty() const { return items.empty(); }
    std::string ToString() const;
};

struct PoolTagStats {
    uint64_t liveBytes = 0;
    uint64_t liveBlocks = 0;
    uint64_t totalAllocations = 0;
};

struct EventLogEntry {
    uint64_t timeNs = 0;
    uint32_t code = 0;
    std::string object;  // name of the logging device or driver object
    const void* objectPointer = nullptr;
    uint32_t uniqueValue = 0;
    NTSTATUS finalStatus = 0;
    std::vector<uint32_t> dumpData;
    std::vector<std::u16string> strings;
};

// Device-interface arrival and removal, as a client that watches interfaces sees them.
struct InterfaceNotification {
    bool arrival = false;
    GUID interfaceClass{};
    std::string symbolicLink;
};

class Kernel;

// One open handle to a device.
class Handle {
public:
    Handle() = default;
    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle();  // closes the handle if still open

    bool IsOpen() const { return file_ != nullptr; }
    PFILE_OBJECT File() const { return file_; }
    PDEVICE_OBJECT Device() const { return device_; }

private:
    friend class Client;
    PFILE_OBJECT file_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;  // the caller's output buffer after copy-back, full length
};

// A device-control request issued without waiting.  It runs in a platform thread of its own,
// as an application thread that called the driver would.
class PendingIo {
public:
    ~PendingIo();
    bool Done() const;
    // Blocks the calling platform thread until the request completes (timeout in ms; nullopt:
    // no limit).  Returns false if the time ran out.
    bool Wait(std::optional<uint64_t> timeoutMs = std::nullopt);
    // IoCancelIrp on the request, if it is still with a driver.  Returns what IoCancelIrp did.
    bool Cancel();
    const IoResult& Result() const;
    bool ReturnedPending() const;  // what the dispatch routine returned: STATUS_PENDING or not
    // The notification event set when the request completes, for a platform thread that waits for
    // it among other objects (KeWaitForMultipleObjects).
    PVOID WaitObject() const;

    struct State;
    explicit PendingIo(std::shared_ptr<State> state) : state_(std::move(state)) {}

private:
    std::shared_ptr<State> state_;
};

class Client {
public:
    explicit Client(Kernel& kernel) : kernel_(kernel) {}
    // Opens the top of the device stack that the enabled interface link leads to.
    NTSTATUS Open(const std::string& symbolicLink, Handle& out);
    // Opens the top of the stack of the given device object.
    NTSTATUS OpenDevice(PDEVICE_OBJECT device, Handle& out);
    // Cleanup, then close once every request of the handle has completed.
    NTSTATUS Close(Handle& handle);
    IoResult IoControl(Handle& handle, ULONG code, std::span<const uint8_t> input,
                       ULONG outputLength);
    std::shared_ptr<PendingIo> IoControlAsync(Handle& handle, ULONG code,
                                              std::span<const uint8_t> input,
                                              ULONG outputLength);
    // Sends the request from the calling platform thread and returns when the dispatch routine
    // does, without waiting for the completion: for a request the driver keeps pending (card
    // tracking), at once, and with no thread of its own to outlive it.
    std::shared_ptr<PendingIo> IoControlStart(Handle& handle, ULONG code, std::span<const uint8_t> input,
                                              ULONG outputLength);
    // Read and write requests (IRP_MJ_READ / IRP_MJ_WRITE) with a buffered data transfer.
    IoResult Read(Handle& handle, ULONG length);
    IoResult Write(Handle& handle, std::span<const uint8_t> data);

    // Interfaces of a class that are enabled now, and notifications from now on.
    std::vector<std::string> EnabledInterfaces(const GUID& interfaceClass) const;

private:
    Kernel& kernel_;
};

class InterfaceWatch {
public:
    explicit InterfaceWatch(Kernel& kernel, const GUID& interfaceClass);
    ~InterfaceWatch();
    // Takes the next notification, waiting up to timeoutMs (nullopt: no limit).
    std::optional<InterfaceNotification> Next(std::optional<uint64_t> timeoutMs);
    std::vector<InterfaceNotification> Drain();
    // The synchronization event set when a notification is queued, for a platform thread that
    // waits for it among other objects; Drain takes what came.
    PVOID WaitObject() const;

    struct State;

private:
    Kernel& kernel_;
    std::shared_ptr<State> state_;
};

class PnpManager {
public:
    explicit PnpManager(Kernel& kernel) : kernel_(kernel) {}
    // Creates the driver object and runs DriverEntry.  Returns NULL if DriverEntry failed.
    PDRIVER_OBJECT LoadDriver(const std::string& name, PDRIVER_INITIALIZE entry,
                              NTSTATUS* status = nullptr);
    // Runs DriverUnload; afterwards reports what the driver left behind.
    LeakReport UnloadDriver(PDRIVER_OBJECT driver);

    // A device object that a bus driver created and reports as present (a physical device
    // object): clears its initialising flag and makes it known to the managers.
    void ReportPhysicalDevice(PDEVICE_OBJECT pdo);
    void ForgetPhysicalDevice(PDEVICE_OBJECT pdo);
    std::vector<PDEVICE_OBJECT> PhysicalDevices() const;

    // Calls the function driver's AddDevice for a physical device.
    NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

    // Single requests, each sent to the top of the device's stack and waited for.
    NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR minor);
    NTSTATUS Start(PDEVICE_OBJECT pdo) { return Send(pdo, IRP_MN_START_DEVICE); }

    // The sequences of the real manager.
    // Rebalance: query-stop; on refusal cancel-stop; else stop.  (The restart is Start.)
    NTSTATUS StopForRebalance(PDEVICE_OBJECT pdo);
    // Orderly removal: query-remove; on refusal cancel-remove; else remove.
    NTSTATUS Remove(PDEVICE_OBJECT pdo);
    // Surprise removal: surprise-removal now, remove once no handle is open.
    NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo);

    // The minor codes the manager sent, in order, as seen at the top of each stack.
    const std::vector<std::pair<PDEVICE_OBJECT, UCHAR>>& History() const;

private:
    Kernel& kernel_;
};

// One power IRP as it left the power manager: the manager's own system and device requests,
// and the device requests drivers asked for with PoRequestPowerIrp.
struct PowerIrpRecord {
    PDEVICE_OBJECT device = nullptr;  // where it was aimed: the physical device of a system
                                      // request, the device named to PoRequestPowerIrp
    UCHAR minor = 0;                  // IRP_MN_QUERY_POWER, IRP_MN_SET_POWER, IRP_MN_WAIT_WAKE
    POWER_STATE_TYPE type = SystemPowerState;
    POWER_STATE state{};
    bool requested = false;           // asked for by a driver through PoRequestPowerIrp
    bool completed = false;           // its completion has reached the top of the stack
    NTSTATUS status = STATUS_PENDING; // the final status, once completed
    uint64_t sentNs = 0;
    uint64_t completedNs = 0;         // once completed
};

class PowerManager {
public:
    explicit PowerManager(Kernel& kernel) : kernel_(kernel) {}
    // A system power change, in the platform's order, stack by stack in the order the
    // physical devices were reported, each request waited for before the next is sent:
    //   sleep (S1..S5): query-power to every stack; on the first refusal, set-power of the
    //     state the system is in to every stack that was queried (the refusing one included:
    //     the drivers above its refusing driver saw the query) and the refusal is returned;
    //     else set-power of the new state to every stack;
    //   critical sleep (critical = true: a failing battery, a forced shutdown): set-power of
    //     the new state to every stack, with no query first;
    //   wake (PowerSystemWorking): set-power to every stack, never queried.
    NTSTATUS SetSystemState(SYSTEM_POWER_STATE state, bool critical = false);
    NTSTATUS QuerySystemState(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
    NTSTATUS SendSystemSetPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
    NTSTATUS SendDevicePower(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state);
    SYSTEM_POWER_STATE SystemState() const;
    // What PoSetPowerState last recorded for a device.
    DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device) const;
    SYSTEM_POWER_STATE RecordedSystemState(PDEVICE_OBJECT device) const;

    // Every power IRP sent since the kernel started (or since ClearHistory), in the order
    // they were sent, with their final status once completed.
    std::vector<PowerIrpRecord> History() const;
    void ClearHistory();

private:
    Kernel& kernel_;
};

class Kernel {
public:
    explicit Kernel(Options options = Options());
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    static Kernel* Current();

    const Options& GetOptions() const;
    uint64_t Seed() const;
    // The simulated line asks for the time several times for every character.
    uint64_t NowNs() const { return virtualNow_ ? *virtualNow_ : RealNowNs(); }
    uint64_t NowMs() const { return NowNs() / 1000000; }

    // Platform threads.  The thread that made the Kernel is the first one ("main").
    using ThreadId = uint32_t;
    ThreadId Spawn(const std::string& name, std::function<void()> body);
    void Join(ThreadId thread);
    // Real time, on the platform thread that watches a device's descriptor `fd` (a tty's reader
    // thread), once it is readable: runs `isr`, which reads the descriptor and hands the input to
    // the port. Critical work items that this queues run on the calling thread afterwards, as on
    // a system worker, and while they wait the thread runs `isr` again whenever `fd` is
    // readable. Elsewhere it only runs `isr`.
    void ServeDevice(int fd, const std::function<void()>& isr);
    // Lets every runnable thread run and every due timer fire until nothing is left to do in
    // the next `ms` virtual milliseconds; returns when the clock has advanced by `ms`.
    void Sleep(uint64_t ms);
    // Runs `fn` `delayNs` from now on the clock, at DISPATCH_LEVEL in the deferred-procedure
    // thread (no waiting there); in real time, one due at once may run in the calling thread
    // when it is below DISPATCH_LEVEL and no DPC runs, as a queued DPC does (one callback or DPC
    // runs at a time either way).  Callbacks due at the same instant run in the order they were
    // set.  CancelAt stops one that has not been handed to the DPC thread yet.  Any callable
    // will do; one of up to 64 bytes is carried to the DPC thread without the heap.
    using TimerId = uint64_t;
    using DeferredCall = InlineCallback<64>;
    template <class F>
    TimerId At(uint64_t delayNs, F&& fn) {
        using T = std::decay_t<F>;
        if constexpr (DeferredCall::kPlain<T> && sizeof(T) <= 2 * sizeof(uint64_t)) {
            uint64_t words[2] = {};
            std::memcpy(words, &fn, sizeof(T));
            return AtWords(delayNs, &DeferredCall::InvokeAs<T>, words[0], words[1]);
        } else if constexpr (DeferredCall::kPlain<T>) {
            return AtBytes(delayNs, &DeferredCall::InvokeAs<T>, &fn, sizeof(T));
        } else {
            DeferredCall call;
            call.Emplace(std::forward<F>(fn));
            return AtCall(delayNs, call);
        }
    }
    // Kernel::At of a callable already in place: takes it out of `fn`.
    TimerId AtCall(uint64_t delayNs, DeferredCall& fn);
    // Kernel::At of a plain callable (DeferredCall::kPlain): its bytes go straight to the timer.
    TimerId AtBytes(uint64_t delayNs, void (*invoke)(void*), const void* bytes, size_t size);
    // And one of up to two words (most of the line's: an object and a timer).
    TimerId AtWords(uint64_t delayNs, void (*invoke)(void*), uint64_t first, uint64_t second);
    // CancelAt(id) and then At(delayNs, fn), in one step when the callback of `id` is still
    // waiting (and is the same as `fn`, which then goes unused): a serial port sets its
    // time-out again for every byte it moves.
    template <class F>
    TimerId ReAt(TimerId id, uint64_t delayNs, F&& fn) {
        if (Rekey(id, delayNs)) return id;
        CancelAt(id);
        return At(delayNs, std::forward<F>(fn));
    }
    // The first half of ReAt: sets the callback of `id` again for `delayNs` from now, as a
    // cancel and a new At would (`id` then names the new setting); false, and nothing done,
    // when that cannot be done in one step (the callback was handed on, or in real time).
    bool Rekey(TimerId& id, uint64_t delayNs);
    bool CancelAt(TimerId id);
    // Gives a dispatcher object or lock a name for traces and the deadlock report.
    void Name(const void* object, const std::string& name);

    PnpManager& Pnp();
    PowerManager& Power();
    Client& Clients();

    void InjectFault(FaultRule rule);
    void ClearFaults();

    PoolTagStats PoolStats(ULONG tag) const;
    std::vector<EventLogEntry> EventLog() const;
    std::vector<std::string> Trace() const;
    void AppendTrace(const std::string& line);

    // Everything outstanding now: pool, IRPs, work items, device objects, drivers.
    LeakReport Outstanding() const;
    // Unloads every driver still loaded, stops the system threads and returns what leaked.
    LeakReport Shutdown();

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
    const uint64_t* virtualNow_ = nullptr;  // the virtual clock; none in real time
    uint64_t RealNowNs() const;
};

// Real time: the calling operating-system thread, which is no platform thread (a library's caller,
// pcscd's thread in an entry point of the IFD handler), is one while the object lives, so that it
// makes its requests and waits for them itself instead of handing them to a platform thread and
// waiting for that. It must leave as it came: at PASSIVE_LEVEL, no spin lock held. Its record is
// kept for the next thread adopted; nothing else of it stays. Nothing is adopted in virtual time
// or on a platform thread (Adopted() is false).
class AdoptedThread {
public:
    AdoptedThread(Kernel& kernel, const char* name);
    ~AdoptedThread();
    AdoptedThread(const AdoptedThread&) = delete;
    AdoptedThread& operator=(const AdoptedThread&) = delete;
    bool Adopted() const { return thread_ != nullptr; }

private:
    Kernel& kernel_;
    void* thread_ = nullptr;
};

// Text of a GUID as the registry writes it: {50DD5230-BA8A-11D1-BF5D-0000F805F530}.
std::string GuidToString(const GUID& guid);
std::string StatusName(NTSTATUS status);

// Where DbgPrint's lines go: `sink` gets each without its line end, with the virtual time when the
// kernel runs in virtual time; with none set (nullptr) they go to standard error, after the time.
using DebugPrintSink = void (*)(void* context, std::optional<uint64_t> virtualNs, const char* text);
void SetDebugPrintSink(DebugPrintSink sink, void* context);

}  // namespace lmscr::kernel
