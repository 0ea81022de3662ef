// The I/O manager: the completion walk, buffered copy-back, pending requests, cancellation, work
// items, remove locks and the error log.
#include "test_drivers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>

using namespace lmscr::kernel;
using namespace lmscr::kernel::test;

namespace {

class Io : public KernelFixture {
protected:
    void SetUp() override {
        KernelFixture::SetUp();
        bus = LoadBus(*k);
        function = LoadFunction(*k);
        pdo = CreateBusDevice(*k, bus, "\\Device\\TestPort0");
        ASSERT_EQ(k->Pnp().AddDevice(function, pdo), STATUS_SUCCESS);
        fdo = FunctionDeviceAbove(pdo);
        ASSERT_NE(fdo, nullptr);
    }
    void TearDown() override {
        if (fdo) {
            EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
        }
        KernelFixture::TearDown();
    }
    PDRIVER_OBJECT bus = nullptr;
    PDRIVER_OBJECT function = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
};

struct Order {
    std::vector<std::string> seen;
    NTSTATUS upperResult = STATUS_SUCCESS;
    bool middlePendingReturned = false;
};

struct RoutineContext {
    Order* order;
    const char* name;
    NTSTATUS result;
};

NTSTATUS NTAPI Recording(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* c = static_cast<RoutineContext*>(context);
    c->order->seen.push_back(std::string(c->name) + (device ? "" : " (no device)"));
    if (irp->PendingReturned && c->result != STATUS_MORE_PROCESSING_REQUIRED) IoMarkIrpPending(irp);
    return c->result;
}

// An IRP of our own with four locations, owned as a stack of drivers would own them: each level
// sets the completion routine of the level below, and the lowest level completes.  Completion
// walks bottom-up and stops at the routine that keeps the IRP.
PIRP StackedIrp(RoutineContext* top, RoutineContext* middle, RoutineContext* bottom,
                bool topOnSuccess = true) {
    PIRP irp = IoAllocateIrp(4, FALSE);
    IoSetNextIrpStackLocation(irp);  // location 4: the allocator
    IoSetCompletionRoutine(irp, Recording, top, topOnSuccess, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);  // location 3
    IoSetCompletionRoutine(irp, Recording, middle, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);  // location 2
    IoSetCompletionRoutine(irp, Recording, bottom, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);  // location 1: the driver that completes
    return irp;
}

TEST_F(Io, completion_routines_run_bottom_up_and_stop_at_more_processing_required) {
    Order order;
    RoutineContext top{&order, "top", STATUS_MORE_PROCESSING_REQUIRED};
    RoutineContext middle{&order, "middle", STATUS_MORE_PROCESSING_REQUIRED};
    RoutineContext bottom{&order, "bottom", STATUS_SUCCESS};
    PIRP irp = StackedIrp(&top, &middle, &bottom);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(order.seen, (std::vector<std::string>{"bottom (no device)", "middle (no device)"}));
    // The owner of the middle routine has the IRP back and completes it onward.
    order.seen.clear();
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(order.seen, (std::vector<std::string>{"top (no device)"}));
    IoFreeIrp(irp);
}

TEST_F(Io, routines_are_called_only_for_the_outcome_they_asked_for) {
    Order order;
    RoutineContext keeper{&order, "keeper", STATUS_MORE_PROCESSING_REQUIRED};
    RoutineContext successOnly{&order, "success-only", STATUS_SUCCESS};
    RoutineContext any{&order, "any", STATUS_SUCCESS};
    PIRP irp = StackedIrp(&keeper, &any, &successOnly);
    // Make the bottom routine success-only.
    (IoGetCurrentIrpStackLocation(irp))->Control = SL_INVOKE_ON_SUCCESS;
    irp->IoStatus.Status = STATUS_IO_TIMEOUT;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(order.seen, (std::vector<std::string>{"any (no device)", "keeper (no device)"}));
    IoFreeIrp(irp);
}

// The pattern of a driver that sends its own IRP down and waits: the lower driver pends it and
// another thread completes it later.
NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(Io, pending_request_completed_later_by_another_thread) {
    Bus(pdo).pend = true;
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = 4;
    IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    EXPECT_TRUE(irp->PendingReturned == FALSE);  // nothing has completed yet
    auto completer = k->Spawn("completer", [&] {
        k->Sleep(15);
        EXPECT_TRUE(CompletePending(pdo, STATUS_SUCCESS, 4));
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(k->NowMs(), 15u);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 4u);
    EXPECT_TRUE(irp->PendingReturned);
    k->Join(completer);
    IoFreeIrp(irp);
}

TEST_F(Io, buffered_copy_back_is_exactly_information_bytes) {
    Bus(pdo).reply = {1, 2, 3, 4, 5, 6, 7, 8};
    Bus(pdo).information = 3;
    uint8_t input[2] = {0xAA, 0xBB};
    uint8_t output[8];
    std::memset(output, 0xEE, sizeof output);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 7, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             pdo, input, sizeof input, output, sizeof output, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    // The system buffer holds the input for the lower driver.
    EXPECT_EQ(std::memcmp(irp->AssociatedIrp.SystemBuffer, input, sizeof input), 0);
    NTSTATUS status = IoCallDriver(pdo, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    const uint8_t expected[8] = {1, 2, 3, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(std::memcmp(output, expected, sizeof output), 0);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

// System buffers are reused: the one of a request whose lower driver wrote into it comes back
// zeroed for the next, as a new one does.
TEST_F(Io, a_system_buffer_starts_zeroed_also_when_reused) {
    const ULONG code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 7, METHOD_BUFFERED, FILE_ANY_ACCESS);
    Bus(pdo).reply = {0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB};
    Bus(pdo).information = 8;
    const uint8_t zeros[8] = {};
    for (int request = 0; request < 2; ++request) {
        uint8_t output[8];
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, output, sizeof output, FALSE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(std::memcmp(irp->AssociatedIrp.SystemBuffer, zeros, sizeof zeros), 0) << "request " << request;
        if (IoCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(output[7], 0xAB);
    }
}

TEST_F(Io, failed_request_copies_nothing_back_but_reports_status) {
    Bus(pdo).reply = {9, 9, 9, 9};
    Bus(pdo).status = STATUS_IO_TIMEOUT;
    uint8_t output[4] = {0, 0, 0, 0};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x1B006C, pdo, nullptr, 0, output, sizeof output, FALSE, &event, &iosb);
    NTSTATUS status = IoCallDriver(pdo, irp);
    EXPECT_EQ(status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(iosb.Status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(output[0], 0);
}

// A request built as a device control and turned into a read for the lower driver, as the
// reader driver does for its serial reads: the copy-back follows the built output length.
TEST_F(Io, built_request_turned_into_a_read_copies_back_what_was_read) {
    Bus(pdo).reply = {0x3B};
    uint8_t byte = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x314000, pdo, nullptr, 0, &byte, 1, FALSE, &event, &iosb);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = 1;
    if (IoCallDriver(pdo, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(byte, 0x3B);
}

// A request built with IoBuildDeviceIoControlRequest, given a completion routine that keeps it:
// its builder may cancel it after a time-out and then hand it back to the I/O manager with
// IoCompleteRequest, which copies back, fills the status block, sets the event and frees it.
NTSTATUS NTAPI KeepAndSignal(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(Io, builder_cancels_its_request_after_a_timeout_and_hands_it_back) {
    Bus(pdo).pend = true;
    KEVENT userEvent, kept;
    KeInitializeEvent(&userEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&kept, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    uint8_t output[4] = {0, 0, 0, 0};
    PIRP irp = IoBuildDeviceIoControlRequest(0x1B006C, pdo, nullptr, 0, output, sizeof output, FALSE,
                                             &userEvent, &iosb);
    IoSetCompletionRoutine(irp, KeepAndSignal, &kept, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -100 * 10000;
    EXPECT_EQ(KeWaitForSingleObject(&kept, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_TRUE(IoCancelIrp(irp));
    KeWaitForSingleObject(&kept, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(KeReadStateEvent(&userEvent), 0);  // kept: the I/O manager has not finished it
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(KeReadStateEvent(&userEvent), 1);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(k->NowMs(), 100u);
}

// A client request that the bus keeps pending is cancelled while another thread is about to
// complete it.  Whoever wins, the request completes once, with the winner's status.
TEST(IoCancel, cancel_racing_completion_completes_exactly_once_under_many_seeds) {
    int cancelledWins = 0, completedWins = 0;
    for (uint64_t seed = 1; seed <= 60; ++seed) {
        ResetDrivers();
        Options o;
        o.seed = seed;
        Kernel k(o);
        PDRIVER_OBJECT bus = LoadBus(k);
        PDEVICE_OBJECT pdo = CreateBusDevice(k, bus, "\\Device\\RacePort");
        Bus(pdo).pend = true;
        Handle h;
        ASSERT_EQ(k.Clients().OpenDevice(pdo, h), STATUS_SUCCESS);
        auto request = k.Clients().IoControlAsync(h, 0x1B0008, {}, 0);
        k.Sleep(1);  // the bus has it now
        auto completer = k.Spawn("completer", [&] { CompletePending(pdo, STATUS_SUCCESS, 0); });
        auto canceller = k.Spawn("canceller", [&] { request->Cancel(); });
        k.Join(completer);
        k.Join(canceller);
        ASSERT_TRUE(request->Wait(1000)) << "seed " << seed;
        EXPECT_EQ(PendingCount(pdo), 0u);
        const NTSTATUS s = request->Result().status;
        EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED) << StatusName(s);
        (s == STATUS_CANCELLED ? cancelledWins : completedWins)++;
        int completions = 0;
        for (auto& line : Log()) completions += line == "bus: cancelled";
        EXPECT_LE(completions, 1);
        k.Clients().Close(h);
        LeakReport leaks = k.Shutdown();
        EXPECT_TRUE(leaks.empty()) << "seed " << seed << "\n" << leaks.ToString();
    }
    // Both outcomes occur: the seeds do explore the race.
    EXPECT_GT(cancelledWins, 0);
    EXPECT_GT(completedWins, 0);
    ResetDrivers();
}

TEST_F(Io, cancel_of_a_request_without_cancel_routine_only_sets_the_flag) {
    Bus(pdo).pend = true;
    Bus(pdo).cancellable = false;
    Handle h;
    ASSERT_EQ(k->Clients().OpenDevice(pdo, h), STATUS_SUCCESS);
    auto request = k->Clients().IoControlAsync(h, 0x1B0008, {}, 0);
    k->Sleep(1);
    EXPECT_FALSE(request->Cancel());
    EXPECT_FALSE(request->Done());
    EXPECT_TRUE(CompletePending(pdo, STATUS_SUCCESS, 0));
    EXPECT_TRUE(request->Wait(0));
    EXPECT_TRUE(request->ReturnedPending());
    k->Clients().Close(h);
}

struct WorkSeen {
    std::vector<std::string> order;
    KIRQL irql = HIGH_LEVEL;
    int requeues = 0;
    PIO_WORKITEM item = nullptr;
};

TEST_F(Io, work_items_run_at_passive_level_and_may_queue_themselves_again) {
    static WorkSeen seen;
    seen = WorkSeen{};
    seen.item = IoAllocateWorkItem(fdo);
    ASSERT_NE(seen.item, nullptr);
    IoQueueWorkItem(seen.item, [](PDEVICE_OBJECT, PVOID ctx) NTAPI {
        auto* s = static_cast<WorkSeen*>(ctx);
        s->irql = KeGetCurrentIrql();
        s->order.push_back("run " + std::to_string(s->requeues));
        if (s->requeues++ < 2)
            IoQueueWorkItem(s->item, [](PDEVICE_OBJECT, PVOID c) NTAPI {
                static_cast<WorkSeen*>(c)->order.push_back("again");
            }, DelayedWorkQueue, ctx);
    }, CriticalWorkQueue, &seen);
    k->Sleep(1);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.order, (std::vector<std::string>{"run 0", "again"}));
    IoFreeWorkItem(seen.item);
}

TEST_F(Io, remove_lock_waits_for_the_last_reference) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0x6B636F4C, 0, 0);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // the remover's own
    ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // a request in progress
    uint64_t returnedAt = 0;
    auto remover = k->Spawn("remover", [&] {
        IoReleaseRemoveLockAndWait(&lock, nullptr);
        returnedAt = k->NowNs();
    });
    k->Sleep(30);
    EXPECT_EQ(returnedAt, 0u);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
    IoReleaseRemoveLock(&lock, nullptr);
    k->Join(remover);
    EXPECT_EQ(returnedAt, 30'000'000u);
}

TEST_F(Io, error_log_entry_keeps_code_object_time_and_dump_data) {
    k->Sleep(12);
    auto* entry = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(fdo, sizeof(IO_ERROR_LOG_PACKET) + sizeof(ULONG)));
    ASSERT_NE(entry, nullptr);
    entry->ErrorCode = static_cast<NTSTATUS>(0xC0040004);
    entry->DumpDataSize = 2 * sizeof(ULONG);
    entry->DumpData[0] = 7;
    entry->DumpData[1] = 9;
    IoWriteErrorLogEntry(entry);
    auto log = k->EventLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, 0xC0040004u);
    EXPECT_EQ(log[0].timeNs, 12'000'000u);
    EXPECT_EQ(log[0].objectPointer, fdo);
    EXPECT_EQ(log[0].dumpData, (std::vector<uint32_t>{7, 9}));
    EXPECT_EQ(IoAllocateErrorLogEntry(fdo, 255), nullptr);  // larger than an entry may be
}

// ---- PendingReturned up a stack of three -------------------------------------------------------

// A layer between the application and the bus: it passes every request down, with a completion
// routine of its own that records what it saw and, as every driver with such a routine must,
// marks the IRP pending on its own location when the lower one returned STATUS_PENDING. A layer
// may also pass requests down without a routine, or forget the mark.
//
// The routine checks PendingReturned as it runs: a kernel that loses the flag makes a correct
// driver break the pending rule a moment later, and the verifier's stop would then blame the
// driver; the check's failure comes first and names the real cause.
struct Layer {
    const char* name = "";
    PDEVICE_OBJECT lower = nullptr;
    bool routine = true;
    bool propagate = true;
    bool expectPendingReturned = false;
    bool called = false;
};

Layer& LayerOf(PDEVICE_OBJECT device) { return *static_cast<Layer*>(device->DeviceExtension); }

NTSTATUS NTAPI LayerCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    Layer& layer = LayerOf(device);
    layer.called = true;
    EXPECT_EQ(irp->PendingReturned != FALSE, layer.expectPendingReturned)
        << "PendingReturned as the completion routine of " << layer.name << " sees it";
    if (irp->PendingReturned && layer.propagate) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI LayerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    Layer& layer = LayerOf(device);
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (layer.routine) IoSetCompletionRoutine(irp, LayerCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(layer.lower, irp);
}

NTSTATUS NTAPI LayerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = LayerDispatch;
    driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI {};
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT AttachLayer(PDRIVER_OBJECT driver, const char* name, PDEVICE_OBJECT below, bool routine,
                           bool propagate) {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, sizeof(Layer), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    Layer* layer = new (device->DeviceExtension) Layer;
    layer->name = name;
    layer->routine = routine;
    layer->propagate = propagate;
    layer->lower = IoAttachDeviceToDeviceStack(device, below);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

void DetachLayer(PDEVICE_OBJECT device) {
    IoDetachDevice(LayerOf(device).lower);
    IoDeleteDevice(device);
}

struct StackRun {
    bool topCalled = false, middleCalled = false;
    bool returnedPending = false;
    NTSTATUS status = STATUS_PENDING;
};

// An application's request down top, middle and bus; the bus either completes it at once or
// pends it and completes it 25 ms later from another thread.
StackRun RunThroughThreeLevels(Kernel& k, bool bottomPends, bool middleRoutine, bool middlePropagates) {
    StackRun run;
    PDRIVER_OBJECT bus = LoadBus(k);
    PDRIVER_OBJECT middleDriver = k.Pnp().LoadDriver("middle", LayerEntry);
    PDRIVER_OBJECT topDriver = k.Pnp().LoadDriver("top", LayerEntry);
    PDEVICE_OBJECT pdo = CreateBusDevice(k, bus, "\\Device\\StackPort");
    PDEVICE_OBJECT middle = AttachLayer(middleDriver, "middle", pdo, middleRoutine, middlePropagates);
    PDEVICE_OBJECT top = AttachLayer(topDriver, "top", middle, true, true);
    {
        Handle h;
        EXPECT_EQ(k.Clients().OpenDevice(pdo, h), STATUS_SUCCESS);
        for (PDEVICE_OBJECT d : {top, middle}) {
            LayerOf(d).called = false;
            LayerOf(d).expectPendingReturned = bottomPends;
        }
        Bus(pdo).pend = bottomPends;
        auto request = k.Clients().IoControlAsync(h, 0x1B0008, {}, 0);
        if (bottomPends) {
            k.Sleep(25);
            EXPECT_FALSE(request->Done());
            EXPECT_TRUE(CompletePending(pdo, STATUS_SUCCESS, 0));
        }
        EXPECT_TRUE(request->Wait(1000));
        run.returnedPending = request->ReturnedPending();
        run.status = request->Result().status;
        run.topCalled = LayerOf(top).called;
        run.middleCalled = LayerOf(middle).called;
        // Cleanup and close are completed by the bus at once.
        LayerOf(top).expectPendingReturned = LayerOf(middle).expectPendingReturned = false;
        Bus(pdo).pend = false;
        k.Clients().Close(h);
    }
    DetachLayer(top);
    DetachLayer(middle);
    return run;
}

class PendingReturned : public KernelFixture {};

TEST_F(PendingReturned, every_level_above_a_bottom_that_pended_sees_it) {
    StackRun run = RunThroughThreeLevels(*k, true, true, true);
    EXPECT_EQ(run.status, STATUS_SUCCESS);
    EXPECT_TRUE(run.middleCalled);
    EXPECT_TRUE(run.topCalled);
    EXPECT_TRUE(run.returnedPending);
}

TEST_F(PendingReturned, no_level_sees_it_when_the_bottom_completed_at_once) {
    StackRun run = RunThroughThreeLevels(*k, false, true, true);
    EXPECT_EQ(run.status, STATUS_SUCCESS);
    EXPECT_TRUE(run.middleCalled);
    EXPECT_TRUE(run.topCalled);
    EXPECT_FALSE(run.returnedPending);
}

// A middle level that passes the request down without a routine cannot carry the mark to its own
// location: the I/O manager carries it up itself, or the middle would have returned STATUS_PENDING
// unmarked.
TEST_F(PendingReturned, is_carried_past_a_level_without_a_completion_routine) {
    StackRun run = RunThroughThreeLevels(*k, true, false, true);
    EXPECT_FALSE(run.middleCalled);
    EXPECT_TRUE(run.topCalled);
    EXPECT_TRUE(run.returnedPending);
}

void MiddleForgetsTheMark() {
    ResetDrivers();
    Kernel k;
    RunThroughThreeLevels(k, true, true, false);
}

TEST(PendingReturnedDeathTest, a_middle_routine_that_does_not_mark_pending_is_named) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(MiddleForgetsTheMark(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: PENDING_RETURNED_WITHOUT_MARK.*dispatch routine of middle");
}

}  // namespace
