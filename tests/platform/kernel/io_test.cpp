// The I/O manager: the completion walk, buffered copy-back, pending requests, cancellation, work
// items, remove locks and the error log.
#include "test_drivers.h"

#include <gtest/gtest.h>

#include <cstring>

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

NTSTATUS Recording(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
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
NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
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
NTSTATUS KeepAndSignal(PDEVICE_OBJECT, PIRP, PVOID context) {
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
    IoQueueWorkItem(seen.item, [](PDEVICE_OBJECT, PVOID ctx) {
        auto* s = static_cast<WorkSeen*>(ctx);
        s->irql = KeGetCurrentIrql();
        s->order.push_back("run " + std::to_string(s->requeues));
        if (s->requeues++ < 2)
            IoQueueWorkItem(s->item, [](PDEVICE_OBJECT, PVOID c) {
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

}  // namespace
