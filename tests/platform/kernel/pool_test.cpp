// Pool accounting, the leak report at driver unload, and injected allocation failures.
#include "test_drivers.h"

#include <gtest/gtest.h>

using namespace lmscr::kernel;
using namespace lmscr::kernel::test;

namespace {

constexpr ULONG kTagLeak = 0x6B61654C;  // "Leak" in memory order
constexpr ULONG kTagKeep = 0x7065654B;  // "Keep"

class Pool : public KernelFixture {};

PVOID gKept;

NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    gKept = ExAllocatePoolWithTag(NonPagedPool, 40, kTagLeak);
    driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI {};  // forgets to free it
    return gKept ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

TEST_F(Pool, leak_report_at_unload_names_tag_size_and_call_site) {
    PDRIVER_OBJECT driver = k->Pnp().LoadDriver("leaky", LeakyEntry);
    ASSERT_NE(driver, nullptr);
    LeakReport report = k->Pnp().UnloadDriver(driver);
    ASSERT_EQ(report.items.size(), 1u) << report.ToString();
    EXPECT_NE(report.items[0].find("'Leak'"), std::string::npos) << report.items[0];
    EXPECT_NE(report.items[0].find("40 bytes"), std::string::npos);
    EXPECT_NE(report.items[0].find("pool_test.cpp"), std::string::npos);
    EXPECT_NE(report.items[0].find("(LeakyEntry)"), std::string::npos);
    EXPECT_NE(report.items[0].find("by leaky"), std::string::npos);
    ExFreePool(gKept);  // so that this test itself ends clean
}

TEST_F(Pool, accounting_per_tag_follows_allocations_and_frees) {
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 100, kTagKeep);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 28, kTagKeep);
    PoolTagStats stats = k->PoolStats(kTagKeep);
    EXPECT_EQ(stats.liveBytes, 128u);
    EXPECT_EQ(stats.liveBlocks, 2u);
    ExFreePoolWithTag(a, kTagKeep);
    stats = k->PoolStats(kTagKeep);
    EXPECT_EQ(stats.liveBytes, 28u);
    EXPECT_EQ(stats.totalAllocations, 2u);
    ExFreePool(b);
    EXPECT_EQ(k->PoolStats(kTagKeep).liveBlocks, 0u);
}

TEST_F(Pool, fresh_pool_is_not_zeroed) {
    auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTagKeep));
    int zeros = 0;
    for (int i = 0; i < 8; ++i) zeros += p[i] == 0;
    EXPECT_EQ(zeros, 0);
    ExFreePool(p);
}

TEST_F(Pool, every_nth_allocation_fails) {
    k->InjectFault(FaultRule{"ExAllocatePoolWithTag", "", 3, 3});
    std::vector<bool> failed;
    std::vector<PVOID> kept;
    for (int i = 1; i <= 9; ++i) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 4, kTagKeep);
        failed.push_back(p == nullptr);
        if (p) kept.push_back(p);
    }
    EXPECT_EQ(failed, (std::vector<bool>{false, false, true, false, false, true, false, false, true}));
    for (PVOID p : kept) ExFreePool(p);
}

PVOID AllocateInNamedPlace() { return ExAllocatePoolWithTag(NonPagedPool, 4, kTagKeep); }

TEST_F(Pool, failure_at_a_named_call_site_reaches_that_caller_only) {
    k->InjectFault(FaultRule{"", "AllocateInNamedPlace", 2, 0});
    PVOID elsewhere = ExAllocatePoolWithTag(NonPagedPool, 4, kTagKeep);
    PVOID first = AllocateInNamedPlace();
    PVOID second = AllocateInNamedPlace();
    PVOID third = AllocateInNamedPlace();
    EXPECT_NE(elsewhere, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    for (PVOID p : {elsewhere, first, third}) ExFreePool(p);
}

TEST_F(Pool, injected_failures_of_irps_work_items_and_builders_reach_the_caller) {
    PDRIVER_OBJECT bus = LoadBus(*k);
    PDEVICE_OBJECT pdo = CreateBusDevice(*k, bus, "\\Device\\Faults");
    k->InjectFault(FaultRule{"IoAllocateIrp", "", 1, 0});
    k->InjectFault(FaultRule{"IoAllocateWorkItem", "", 1, 0});
    k->InjectFault(FaultRule{"IoBuildDeviceIoControlRequest", "", 1, 0});
    k->InjectFault(FaultRule{"IoCreateDevice", "", 1, 0});
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
    EXPECT_EQ(IoAllocateWorkItem(pdo), nullptr);
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(IoBuildDeviceIoControlRequest(0x1B0004, pdo, nullptr, 0, nullptr, 0, FALSE, &e, &iosb), nullptr);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_INSUFFICIENT_RESOURCES);
    // Each rule fired once; the second calls succeed.
    PIRP irp = IoAllocateIrp(2, FALSE);
    EXPECT_NE(irp, nullptr);
    IoFreeIrp(irp);
    PIO_WORKITEM item = IoAllocateWorkItem(pdo);
    EXPECT_NE(item, nullptr);
    IoFreeWorkItem(item);
}

TEST_F(Pool, outstanding_lists_what_is_not_yet_freed) {
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 12, kTagKeep);
    LeakReport now = k->Outstanding();
    ASSERT_EQ(now.items.size(), 1u);
    EXPECT_NE(now.items[0].find("'Keep'"), std::string::npos);
    ExFreePool(p);
    EXPECT_TRUE(k->Outstanding().empty());
}

}  // namespace
