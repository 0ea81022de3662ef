// SmartcardInitialize / SmartcardExit: what is made, what is refused, and that an allocation
// failure anywhere leaves nothing behind.
#include <gtest/gtest.h>

#include "fake_reader.h"
#include "kernel.h"
#include "smclib_core.h"

using namespace lmscr::smclib;
using namespace lmscr::smclib::test;
using lmscr::kernel::FaultRule;
using lmscr::kernel::Kernel;

namespace {

class SmartcardInit : public ::testing::Test {
protected:
    void SetUp() override {
        ext.Version = SMCLIB_VERSION;
        ext.SmartcardRequest.BufferSize = 576;
        ext.SmartcardReply.BufferSize = 300;
    }
    void TearDown() override {
        SmartcardExit(&ext);
        EXPECT_EQ(LiveBlocks(), 0u);
        auto report = k.Shutdown();
        EXPECT_TRUE(report.empty()) << report.ToString();
    }
    uint64_t LiveBlocks() {
        return k.PoolStats(kOsDataTag).liveBlocks + k.PoolStats(kRequestTag).liveBlocks +
               k.PoolStats(kReplyTag).liveBlocks;
    }
    Kernel k;
    SMARTCARD_EXTENSION ext{};
};

TEST_F(SmartcardInit, makes_os_data_and_buffers_of_the_sizes_the_driver_set) {
    ASSERT_EQ(SmartcardInitialize(&ext), STATUS_SUCCESS);
    ASSERT_NE(ext.OsData, nullptr);
    EXPECT_EQ(ext.OsData->NotificationIrp, nullptr);
    EXPECT_EQ(ext.OsData->CurrentIrp, nullptr);
    EXPECT_EQ(k.PoolStats(kRequestTag).liveBytes, 576u);
    EXPECT_EQ(k.PoolStats(kReplyTag).liveBytes, 300u);
    EXPECT_EQ(k.PoolStats(kOsDataTag).liveBytes, sizeof(SMARTCARD_OS_DATA));
    EXPECT_EQ(ext.SmartcardRequest.BufferSize, 576u);
    EXPECT_EQ(ext.SmartcardReply.BufferSize, 300u);
    // The buffers are usable to their last byte (the sanitizers watch this).
    ext.SmartcardRequest.Buffer[575] = 1;
    ext.SmartcardReply.Buffer[299] = 1;
    SmartcardExit(&ext);
    EXPECT_EQ(ext.OsData, nullptr);
    EXPECT_EQ(ext.SmartcardRequest.Buffer, nullptr);
    EXPECT_EQ(LiveBlocks(), 0u);
}

TEST_F(SmartcardInit, size_zero_gets_the_default_and_oversize_is_refused) {
    ext.SmartcardReply.BufferSize = 0;
    ASSERT_EQ(SmartcardInitialize(&ext), STATUS_SUCCESS);
    EXPECT_EQ(ext.SmartcardReply.BufferSize, kDefaultBufferBytes);
    SmartcardExit(&ext);
    ext.SmartcardRequest.BufferSize = kMaxBufferBytes + 1;
    EXPECT_EQ(SmartcardInitialize(&ext), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ext.OsData, nullptr);
}

TEST_F(SmartcardInit, version_outside_the_supported_range_is_refused) {
    for (ULONG version : {ULONG{0}, ULONG{SMCLIB_VERSION_REQUIRED - 1}, ULONG{SMCLIB_VERSION + 1}}) {
        ext.Version = version;
        EXPECT_EQ(SmartcardInitialize(&ext), STATUS_NOT_SUPPORTED) << version;
        EXPECT_EQ(ext.OsData, nullptr);
    }
    ext.Version = SMCLIB_VERSION_REQUIRED;
    EXPECT_EQ(SmartcardInitialize(&ext), STATUS_SUCCESS);
}

TEST_F(SmartcardInit, second_initialisation_is_refused_without_losing_the_first) {
    ASSERT_EQ(SmartcardInitialize(&ext), STATUS_SUCCESS);
    PSMARTCARD_OS_DATA first = ext.OsData;
    EXPECT_EQ(SmartcardInitialize(&ext), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(ext.OsData, first);
    EXPECT_EQ(k.PoolStats(kOsDataTag).liveBlocks, 1u);
}

TEST_F(SmartcardInit, exit_without_initialise_and_twice_is_harmless) {
    SmartcardExit(&ext);
    SmartcardExit(nullptr);
    ASSERT_EQ(SmartcardInitialize(&ext), STATUS_SUCCESS);
    SmartcardExit(&ext);
    SmartcardExit(&ext);
    EXPECT_EQ(SmartcardInitialize(nullptr), STATUS_INVALID_PARAMETER);
}

// Each of the three allocations fails in turn: the failure is reported and nothing stays.
TEST_F(SmartcardInit, every_allocation_failure_is_reported_and_leaves_nothing) {
    for (uint64_t nth = 1; nth <= 3; ++nth) {
        k.ClearFaults();
        k.InjectFault(FaultRule{"ExAllocatePoolWithTag", "SmartcardInitialize", nth, 0});
        EXPECT_EQ(SmartcardInitialize(&ext), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << nth;
        EXPECT_EQ(ext.OsData, nullptr);
        EXPECT_EQ(ext.SmartcardRequest.Buffer, nullptr);
        EXPECT_EQ(ext.SmartcardReply.Buffer, nullptr);
        EXPECT_EQ(LiveBlocks(), 0u) << "allocation " << nth;
    }
    k.ClearFaults();
    EXPECT_EQ(SmartcardInitialize(&ext), STATUS_SUCCESS);
}

// The same failures seen from a reader driver: its entry fails, and the unload report is clean.
TEST(SmartcardInitInDriver, allocation_failure_during_driver_entry_leaks_nothing) {
    for (uint64_t nth = 1; nth <= 3; ++nth) {
        Rig rig(0, [nth](SMARTCARD_EXTENSION &) {
            lmscr::kernel::Kernel::Current()->InjectFault(
                FaultRule{"ExAllocatePoolWithTag", "SmartcardInitialize", nth, 0});
        });
        EXPECT_EQ(rig.Driver(), nullptr) << "allocation " << nth;
        auto report = rig.Finish();
        EXPECT_TRUE(report.empty()) << report.ToString();
    }
}

TEST(SmartcardInitInDriver, unload_returns_every_block) {
    Rig rig;
    ASSERT_NE(rig.Driver(), nullptr);
    rig.K().Clients().Close(rig.handle);
    auto report = rig.K().Pnp().UnloadDriver(rig.Driver());
    EXPECT_TRUE(report.empty()) << report.ToString();
    for (ULONG tag : {kOsDataTag, kRequestTag, kReplyTag}) EXPECT_EQ(rig.K().PoolStats(tag).liveBlocks, 0u);
    EXPECT_EQ(rig.K().PoolStats(kOsDataTag).totalAllocations, 1u);
}

}  // namespace
