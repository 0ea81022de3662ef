// Every verifier violation stops the run with its name.  Each scenario is a small driver bug
// played out in a fresh kernel; the death test expects the stop message.
#include "test_drivers.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace lmscr::kernel;
using namespace lmscr::kernel::test;

namespace {

enum class Bug {
    PendingWithoutMark,
    MarkedButNotPending,
    ReturnHoldingSpinLock,
    ReturnAtRaisedIrql,
    CompleteTwice,
    CompleteWithCancelRoutine,
};

Bug gBug;
KSPIN_LOCK gLock;
PIRP gKept;

NTSTATUS NTAPI BuggyDispatch(PDEVICE_OBJECT, PIRP irp) {
    switch (gBug) {
    case Bug::PendingWithoutMark:
        gKept = irp;  // completed later, which is when the missing mark shows
        return STATUS_PENDING;
    case Bug::MarkedButNotPending:
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Bug::ReturnHoldingSpinLock: {
        KIRQL irql;
        KeAcquireSpinLock(&gLock, &irql);
        return STATUS_SUCCESS;
    }
    case Bug::ReturnAtRaisedIrql: {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        return STATUS_SUCCESS;
    }
    case Bug::CompleteTwice:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case Bug::CompleteWithCancelRoutine:
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) NTAPI {});
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI BuggyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = BuggyDispatch;
    PDEVICE_OBJECT device;
    return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

// A device-control request from an application to the buggy driver.
// A request built by another driver's code path (no open or close involved).
void SendToBuggyDriver(Bug bug) {
    gBug = bug;
    KeInitializeSpinLock(&gLock);
    Kernel k;
    PDRIVER_OBJECT driver = k.Pnp().LoadDriver("buggy", BuggyEntry);
    PDEVICE_OBJECT device = driver->DeviceObject;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(0x220000, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    IoCallDriver(device, irp);
    k.Sleep(1);
    if (gKept) {
        gKept->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(gKept, IO_NO_INCREMENT);
    }
}

struct Case {
    const char* violation;
    void (*scenario)();
};

void WaitAtDispatchLevel() {
    Kernel k;
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER t;
    t.QuadPart = -10000;
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
}

// A wait with no time-out at all is as wrong at DISPATCH_LEVEL as a timed one.
void UnboundedWaitAtDispatchLevel() {
    Kernel k;
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
}

void PoolDoubleFree() {
    Kernel k;
    void* p = ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554);
    ExFreePool(p);
    ExFreePool(p);
}

void PoolWrongTag() {
    Kernel k;
    void* p = ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554);
    ExFreePoolWithTag(p, 0x58546167);
}

void PoolFreedWithTimerSet() {
    Kernel k;
    auto* t = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), 0x54696D72));
    KeInitializeTimer(t);
    LARGE_INTEGER due;
    due.QuadPart = -1000000;
    KeSetTimer(t, due, nullptr);
    ExFreePool(t);
}

void DeleteAttachedDevice() {
    ResetDrivers();
    Kernel k;
    PDRIVER_OBJECT bus = LoadBus(k);
    PDRIVER_OBJECT function = LoadFunction(k);
    PDEVICE_OBJECT pdo = CreateBusDevice(k, bus, "\\Device\\Attached");
    k.Pnp().AddDevice(function, pdo);
    IoDeleteDevice(pdo);  // the function device is still attached above it
}

void DeleteWithRequestOutstanding() {
    ResetDrivers();
    Kernel k;
    PDRIVER_OBJECT bus = LoadBus(k);
    PDEVICE_OBJECT pdo = CreateBusDevice(k, bus, "\\Device\\Busy");
    Bus(pdo).pend = true;
    Handle h;
    k.Clients().OpenDevice(pdo, h);
    auto request = k.Clients().IoControlAsync(h, 0x1B0008, {}, 0);
    k.Sleep(1);
    IoDeleteDevice(pdo);
}

void RemoveLockReleasedTooOften() {
    Kernel k;
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0, 0, 0);
    IoAcquireRemoveLock(&lock, nullptr);
    IoReleaseRemoveLock(&lock, nullptr);
    IoReleaseRemoveLock(&lock, nullptr);
}

// The one delayed worker held in a routine that waits for ever, so that work queued after it
// stays queued.
PDEVICE_OBJECT HoldTheDelayedWorker(Kernel& k, const char* deviceName) {
    ResetDrivers();
    PDRIVER_OBJECT bus = LoadBus(k);
    PDEVICE_OBJECT pdo = CreateBusDevice(k, bus, deviceName);
    static KEVENT hold;
    KeInitializeEvent(&hold, NotificationEvent, FALSE);
    IoQueueWorkItem(IoAllocateWorkItem(pdo), [](PDEVICE_OBJECT, PVOID) NTAPI {
        KeWaitForSingleObject(&hold, Executive, KernelMode, FALSE, nullptr);
    }, DelayedWorkQueue, nullptr);
    k.Sleep(1);
    return pdo;
}

void WorkItemQueuedTwice() {
    Kernel k;
    PIO_WORKITEM item = IoAllocateWorkItem(HoldTheDelayedWorker(k, "\\Device\\Work"));
    IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) NTAPI {}, DelayedWorkQueue, nullptr);
    IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) NTAPI {}, DelayedWorkQueue, nullptr);
}

void SpinLockTakenTwice() {
    Kernel k;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL a, b;
    KeAcquireSpinLock(&lock, &a);
    KeAcquireSpinLock(&lock, &b);
}

void AllocatedIrpCompletedToTop() {
    Kernel k;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void FreeIrpHeldByLowerDriver() {
    ResetDrivers();
    Kernel k;
    PDRIVER_OBJECT bus = LoadBus(k);
    PDEVICE_OBJECT pdo = CreateBusDevice(k, bus, "\\Device\\Holder");
    Bus(pdo).pend = true;
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoCallDriver(pdo, irp);
    IoFreeIrp(irp);
}

void PowerIrpThroughIoCallDriver() {
    ResetDrivers();
    Kernel k;
    PDRIVER_OBJECT bus = LoadBus(k);
    PDEVICE_OBJECT pdo = CreateBusDevice(k, bus, "\\Device\\Power");
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
    IoCallDriver(pdo, irp);
}

NTSTATUS NTAPI LazyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    IoAttachDeviceToDeviceStack(device, pdo);
    return STATUS_SUCCESS;  // forgets to clear DO_DEVICE_INITIALIZING
}

void AddDeviceLeavesInitializing() {
    ResetDrivers();
    Kernel k;
    PDRIVER_OBJECT bus = LoadBus(k);
    PDEVICE_OBJECT pdo = CreateBusDevice(k, bus, "\\Device\\Lazy");
    PDRIVER_OBJECT lazy = k.Pnp().LoadDriver("lazy", [](PDRIVER_OBJECT d, PUNICODE_STRING) NTAPI -> NTSTATUS {
        d->DriverExtension->AddDevice = LazyAddDevice;
        return STATUS_SUCCESS;
    });
    k.Pnp().AddDevice(lazy, pdo);
}

void IrpFreedTwice() {
    Kernel k;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
}

void IrpCompletedAfterFree() {
    Kernel k;
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoFreeIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Something the size of an IRP that the kernel never handed out.
void IrpFreeOfAStackAddress() {
    Kernel k;
    union {
        IRP irp;
        unsigned char room[sizeof(IRP) + sizeof(IO_STACK_LOCATION)];
    } fake{};
    fake.irp.StackCount = 1;
    IoFreeIrp(&fake.irp);
}

void IrpCompletedWithStatusPending() {
    Kernel k;
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(irp);
    irp->IoStatus.Status = STATUS_PENDING;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void NoStackLocationLeft() {
    ResetDrivers();
    Kernel k;
    PDRIVER_OBJECT bus = LoadBus(k);
    PDEVICE_OBJECT pdo = CreateBusDevice(k, bus, "\\Device\\Deep");
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);  // the only location is the caller's own
    IoCallDriver(pdo, irp);
}

void SpinLockReleasedWithoutAcquire() {
    Kernel k;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
}

void PoolFreeOfAStackAddress() {
    Kernel k;
    int local = 0;
    ExFreePool(&local);
}

void WaitOnAZeroedEvent() {
    Kernel k;
    KEVENT never;
    std::memset(&never, 0, sizeof never);
    LARGE_INTEGER t;
    t.QuadPart = -10000;
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
}

void WorkItemFreedWhileQueued() {
    Kernel k;
    PIO_WORKITEM item = IoAllocateWorkItem(HoldTheDelayedWorker(k, "\\Device\\Queued"));
    IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) NTAPI {}, DelayedWorkQueue, nullptr);
    IoFreeWorkItem(item);
}

void DeviceDeletedTwice() {
    Kernel k;
    PDRIVER_OBJECT driver = k.Pnp().LoadDriver("twice", [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI -> NTSTATUS {
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    IoDeleteDevice(device);
    IoDeleteDevice(device);
}

void CancelRoutineKeepsTheCancelLock() {
    ResetDrivers();
    Kernel k;
    PDRIVER_OBJECT keeper = k.Pnp().LoadDriver("keeper", [](PDRIVER_OBJECT d, PUNICODE_STRING) NTAPI -> NTSTATUS {
        for (auto& f : d->MajorFunction) f = [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            }
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) NTAPI {
                cancelled->IoStatus.Status = STATUS_CANCELLED;  // and forgets IoReleaseCancelSpinLock
            });
            return STATUS_PENDING;
        };
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT device = CreateBusDevice(k, keeper, "\\Device\\Keeper");
    Handle h;
    k.Clients().OpenDevice(device, h);
    auto request = k.Clients().IoControlAsync(h, 0x220000, {}, 0);
    k.Sleep(1);
    request->Cancel();
}

void DpcReturnsHoldingASpinLock() {
    Kernel k;
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    static KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    k.Sleep(1);
}

const Case kCases[] = {
    {"PENDING_RETURNED_WITHOUT_MARK", [] { SendToBuggyDriver(Bug::PendingWithoutMark); }},
    {"MARKED_PENDING_BUT_NOT_RETURNED", [] { SendToBuggyDriver(Bug::MarkedButNotPending); }},
    {"RETURNED_WITH_SPIN_LOCK_HELD", [] { SendToBuggyDriver(Bug::ReturnHoldingSpinLock); }},
    {"RETURNED_AT_CHANGED_IRQL", [] { SendToBuggyDriver(Bug::ReturnAtRaisedIrql); }},
    {"IRP_COMPLETED_TWICE", [] { SendToBuggyDriver(Bug::CompleteTwice); }},
    {"IRP_COMPLETED_WITH_CANCEL_ROUTINE", [] { SendToBuggyDriver(Bug::CompleteWithCancelRoutine); }},
    {"WAIT_AT_RAISED_IRQL", WaitAtDispatchLevel},
    {"POOL_DOUBLE_FREE", PoolDoubleFree},
    {"POOL_FREE_WRONG_TAG", PoolWrongTag},
    {"POOL_FREE_WITH_ACTIVE_TIMER", PoolFreedWithTimerSet},
    {"DEVICE_DELETED_WHILE_ATTACHED", DeleteAttachedDevice},
    {"DEVICE_DELETED_WITH_REQUESTS_OUTSTANDING", DeleteWithRequestOutstanding},
    {"REMOVE_LOCK_OVER_RELEASED", RemoveLockReleasedTooOften},
    {"WORK_ITEM_QUEUED_TWICE", WorkItemQueuedTwice},
    {"SPIN_LOCK_ALREADY_OWNED", SpinLockTakenTwice},
    {"IRP_ALLOCATED_COMPLETED_TO_TOP", AllocatedIrpCompletedToTop},
    {"IRP_FREED_WHILE_OWNED", FreeIrpHeldByLowerDriver},
    {"POWER_IRP_WITHOUT_POCALLDRIVER", PowerIrpThroughIoCallDriver},
    {"DEVICE_INITIALIZING_NOT_CLEARED", AddDeviceLeavesInitializing},
    {"IRP_DOUBLE_FREE", IrpFreedTwice},
    {"IRP_USED_AFTER_FREE", IrpCompletedAfterFree},
    {"IRP_NOT_AN_IRP", IrpFreeOfAStackAddress},
    {"IRP_COMPLETED_WITH_STATUS_PENDING", IrpCompletedWithStatusPending},
    {"NO_MORE_IRP_STACK_LOCATIONS", NoStackLocationLeft},
    {"SPIN_LOCK_NOT_OWNED", SpinLockReleasedWithoutAcquire},
    {"POOL_FREE_BAD_ADDRESS", PoolFreeOfAStackAddress},
    {"WAIT_ON_UNINITIALIZED_OBJECT", WaitOnAZeroedEvent},
    {"WORK_ITEM_FREED_WHILE_QUEUED", WorkItemFreedWhileQueued},
    {"DEVICE_DELETED_TWICE", DeviceDeletedTwice},
    {"CANCEL_ROUTINE_KEPT_CANCEL_LOCK", CancelRoutineKeepsTheCancelLock},
    {"DPC_RETURNED_WITH_CHANGED_STATE", DpcReturnsHoldingASpinLock},
};

class VerifierDeathTest : public ::testing::TestWithParam<Case> {};

TEST_P(VerifierDeathTest, stops_the_run_with_the_violation_named) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Case& c = GetParam();
    EXPECT_DEATH(c.scenario(), std::string("DRIVER_VERIFIER_DETECTED_VIOLATION: ") + c.violation);
}

// A freed IRP's memory comes back only after sixteen other IRPs of its stack size have been
// freed, blank; until then a stale pointer to it is still caught.
TEST(VerifierIrpReuse, a_freed_irp_is_handed_out_again_blank_behind_sixteen_others_of_its_size) {
    Kernel k;
    PIRP first = IoAllocateIrp(3, FALSE);
    first->Cancel = TRUE;
    first->Flags = IRP_BUFFERED_IO;
    IoFreeIrp(first);
    for (int i = 0; i < 16; ++i) {
        PIRP other = IoAllocateIrp(3, FALSE);
        PIRP smaller = IoAllocateIrp(2, FALSE);
        EXPECT_NE(other, first) << i;
        EXPECT_NE(smaller, first) << i;
        IoFreeIrp(other);
        IoFreeIrp(smaller);
    }
    PIRP again = IoAllocateIrp(3, FALSE);
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->StackCount, 3);
    EXPECT_EQ(again->CurrentLocation, 4);
    EXPECT_EQ(again->Cancel, FALSE);
    EXPECT_EQ(again->Flags, 0u);
    // The leak report sees it, under its own serial.
    const LeakReport live = k.Outstanding();
    ASSERT_EQ(live.items.size(), 1u);
    EXPECT_EQ(live.items[0].rfind("IRP #34 not freed, allocated at verifier_test.cpp:", 0), 0u) << live.items[0];
    IoFreeIrp(again);
    EXPECT_TRUE(k.Outstanding().items.empty());
}

void IrpFreedAgainFifteenFreesLater() {
    Kernel k;
    PIRP stale = IoAllocateIrp(2, FALSE);
    IoFreeIrp(stale);
    for (int i = 0; i < 15; ++i) IoFreeIrp(IoAllocateIrp(2, FALSE));
    IoFreeIrp(stale);
}

TEST(VerifierIrpReuseDeathTest, a_stale_irp_pointer_is_caught_while_its_memory_waits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(IrpFreedAgainFifteenFreesLater(), "DRIVER_VERIFIER_DETECTED_VIOLATION: IRP_DOUBLE_FREE");
}

// After the remover's IoReleaseRemoveLockAndWait the count is 0: one more release takes it below
// zero, which the platform stops the machine for, removed device or not.
void RemoveLockReleasedBelowZero() {
    Kernel k;
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0, 0, 0);
    IoAcquireRemoveLock(&lock, nullptr);
    IoReleaseRemoveLockAndWait(&lock, nullptr);
    IoReleaseRemoveLock(&lock, nullptr);
}

TEST(VerifierRemoveLockDeathTest, a_release_after_the_remove_takes_the_count_below_zero_and_stops_the_run) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(RemoveLockReleasedBelowZero(), "DRIVER_VERIFIER_DETECTED_VIOLATION: REMOVE_LOCK_OVER_RELEASED");
}

TEST(VerifierWaitDeathTest, a_wait_without_time_out_at_dispatch_level_stops_the_run) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(UnboundedWaitAtDispatchLevel(), "DRIVER_VERIFIER_DETECTED_VIOLATION: WAIT_AT_RAISED_IRQL");
}

INSTANTIATE_TEST_SUITE_P(Violations, VerifierDeathTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.violation); });

}  // namespace
