// The reader's remove lock: references, refusal once removal began, release-and-wait returning
// only after the last reference, and misuse stopping the machine.
#include <gtest/gtest.h>

#include "fake_reader.h"
#include "kernel.h"
#include "smclib_core.h"

using namespace lmscr::smclib;
using namespace lmscr::smclib::test;
using lmscr::kernel::Kernel;

namespace {

class RemoveLock : public ::testing::Test {
protected:
    void SetUp() override {
        ext.Version = SMCLIB_VERSION;
        ASSERT_EQ(SmartcardInitialize(&ext), STATUS_SUCCESS);
    }
    void TearDown() override {
        SmartcardExit(&ext);
        auto report = k.Shutdown();
        EXPECT_TRUE(report.empty()) << report.ToString();
    }
    Kernel k;
    SMARTCARD_EXTENSION ext{};
};

TEST_F(RemoveLock, release_and_wait_returns_only_after_the_last_reference) {
    ASSERT_EQ(SmartcardAcquireRemoveLock(&ext), STATUS_SUCCESS);  // an open handle
    ASSERT_EQ(SmartcardAcquireRemoveLock(&ext), STATUS_SUCCESS);  // a request in progress
    uint64_t returned_ms = 0;
    auto remover = k.Spawn("remove", [&] {
        ASSERT_EQ(SmartcardAcquireRemoveLock(&ext), STATUS_SUCCESS);  // the remove request's
        SmartcardReleaseRemoveLockAndWait(&ext);
        returned_ms = k.NowMs();
    });
    k.Sleep(10);
    EXPECT_EQ(returned_ms, 0u);
    SmartcardReleaseRemoveLock(&ext);
    k.Sleep(15);
    EXPECT_EQ(returned_ms, 0u) << "returned with one reference still held";
    SmartcardReleaseRemoveLock(&ext);
    k.Join(remover);
    EXPECT_EQ(returned_ms, 25u);
}

TEST_F(RemoveLock, acquisition_is_refused_once_removal_began) {
    ASSERT_EQ(SmartcardAcquireRemoveLock(&ext), STATUS_SUCCESS);
    auto remover = k.Spawn("remove", [&] {
        ASSERT_EQ(SmartcardAcquireRemoveLock(&ext), STATUS_SUCCESS);
        SmartcardReleaseRemoveLockAndWait(&ext);
    });
    k.Sleep(1);
    EXPECT_NE(SmartcardAcquireRemoveLock(&ext), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(SmartcardAcquireRemoveLock(&ext)));
    // The refused acquisitions took nothing: one release ends the wait.
    SmartcardReleaseRemoveLock(&ext);
    k.Join(remover);
}

TEST_F(RemoveLock, release_and_wait_with_no_other_reference_returns_at_once) {
    ASSERT_EQ(SmartcardAcquireRemoveLock(&ext), STATUS_SUCCESS);
    const uint64_t before = k.NowNs();
    SmartcardReleaseRemoveLockAndWait(&ext);
    EXPECT_EQ(k.NowNs(), before);
}

// Misuse: each scenario in a kernel of its own, stopped by the verifier.
void OverRelease() {
    Kernel k;
    SMARTCARD_EXTENSION ext{};
    ext.Version = SMCLIB_VERSION;
    SmartcardInitialize(&ext);
    SmartcardAcquireRemoveLock(&ext);
    SmartcardReleaseRemoveLock(&ext);
    SmartcardReleaseRemoveLock(&ext);
}

void WaitWithoutReference() {
    Kernel k;
    SMARTCARD_EXTENSION ext{};
    ext.Version = SMCLIB_VERSION;
    SmartcardInitialize(&ext);
    SmartcardReleaseRemoveLockAndWait(&ext);
}

void ReleaseBeforeInitialize() {
    Kernel k;
    SMARTCARD_EXTENSION ext{};
    SmartcardReleaseRemoveLock(&ext);
}

TEST(RemoveLockDeathTest, misuse_stops_the_run) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(OverRelease(), "DRIVER_VERIFIER_DETECTED_VIOLATION: REMOVE_LOCK_OVER_RELEASED");
    EXPECT_DEATH(WaitWithoutReference(), "DRIVER_VERIFIER_DETECTED_VIOLATION: REMOVE_LOCK_OVER_RELEASED");
    EXPECT_DEATH(ReleaseBeforeInitialize(), "DRIVER_VERIFIER_DETECTED_VIOLATION: BUGCHECK");
}

// Through the reader: an open handle holds a reference, so removal waits for its close, and a
// handle opened after removal began is refused.
TEST(RemoveLockInDriver, removal_waits_for_the_open_handle) {
    Rig rig;
    SMARTCARD_EXTENSION &ext = rig.Ext();
    uint64_t returned_ms = 0;
    auto remover = rig.K().Spawn("remove", [&] {
        ASSERT_EQ(SmartcardAcquireRemoveLock(&ext), STATUS_SUCCESS);
        SmartcardReleaseRemoveLockAndWait(&ext);
        returned_ms = rig.K().NowMs();
    });
    rig.S().removed = true;
    rig.K().Sleep(40);
    EXPECT_EQ(returned_ms, 0u);
    lmscr::kernel::Handle late;
    EXPECT_EQ(rig.K().Clients().OpenDevice(rig.Device(), late), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_DEVICE_REMOVED);
    rig.K().Clients().Close(rig.handle);
    rig.K().Join(remover);
    EXPECT_EQ(returned_ms, 40u);
}

}  // namespace
