// IS_PRESENT and IS_ABSENT: completed at once when the condition holds, otherwise parked in
// NotificationIrp until the presence changes, the request is cancelled or the handle cleaned up.
#include <gtest/gtest.h>

#include "fake_reader.h"

using namespace lmscr::smclib::test;

namespace {

class Tracking : public ::testing::Test {
protected:
    PIRP Parked() { return rig.Ext().OsData->NotificationIrp; }
    std::shared_ptr<lmscr::kernel::PendingIo> Park(ULONG code) {
        auto request = rig.Async(code);
        rig.K().Sleep(5);
        EXPECT_FALSE(request->Done());
        EXPECT_NE(Parked(), nullptr);
        return request;
    }
    Rig rig;
};

TEST_F(Tracking, condition_that_holds_completes_at_once) {
    rig.UpdateCardState(SCARD_SWALLOWED);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_SUCCESS);
    rig.UpdateCardState(SCARD_ABSENT);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_SUCCESS);
    rig.Ext().ReaderCapabilities.CurrentState = SCARD_UNKNOWN;  // no card as far as anyone knows
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(rig.S().calls.empty());
    EXPECT_EQ(Parked(), nullptr);
}

TEST_F(Tracking, parked_request_completes_when_presence_changes) {
    rig.UpdateCardState(SCARD_SPECIFIC);
    auto request = Park(IOCTL_SMARTCARD_IS_ABSENT);
    EXPECT_TRUE(request->ReturnedPending());
    EXPECT_EQ(rig.S().calls, std::vector<std::string>{"tracking"});
    rig.UpdateCardState(SCARD_PRESENT);  // powered down: still a card
    rig.K().Sleep(1);
    EXPECT_FALSE(request->Done());
    rig.UpdateCardState(SCARD_ABSENT);
    ASSERT_TRUE(request->Wait(1));
    EXPECT_EQ(request->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(Parked(), nullptr);
}

TEST_F(Tracking, cancelled_request_completes_cancelled_and_is_forgotten) {
    rig.UpdateCardState(SCARD_ABSENT);
    auto request = Park(IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_TRUE(request->Cancel());
    ASSERT_TRUE(request->Wait(1));
    EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(Parked(), nullptr);
    rig.UpdateCardState(SCARD_PRESENT);  // nothing left to complete
    EXPECT_EQ(Parked(), nullptr);
}

TEST_F(Tracking, second_request_while_one_is_parked_is_refused) {
    rig.UpdateCardState(SCARD_ABSENT);
    auto first = Park(IOCTL_SMARTCARD_IS_PRESENT);
    PIRP parked = Parked();
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_DEVICE_BUSY);
    // One whose condition holds is still answered.
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Parked(), parked);
    EXPECT_FALSE(first->Done());
    EXPECT_EQ(rig.S().calls.size(), 1u);
    rig.UpdateCardState(SCARD_PRESENT);
    ASSERT_TRUE(first->Wait(1));
    EXPECT_EQ(first->Result().status, STATUS_SUCCESS);
}

TEST_F(Tracking, cleanup_of_the_handle_cancels_the_parked_request) {
    rig.UpdateCardState(SCARD_ABSENT);
    auto request = Park(IOCTL_SMARTCARD_IS_PRESENT);
    rig.K().Clients().Close(rig.handle);
    ASSERT_TRUE(request->Done());
    EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(Parked(), nullptr);
}

// IoCancelIrp found no cancel routine yet, so it could not reach the request; the library sees
// the cancel flag once the routine is in place and completes the request itself.
TEST_F(Tracking, request_cancelled_before_its_cancel_routine_is_completed_at_once) {
    rig.UpdateCardState(SCARD_ABSENT);
    rig.S().cancel_before_tracking = true;
    auto request = rig.Async(IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_TRUE(request->Wait(1));
    EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(Parked(), nullptr);
}

TEST_F(Tracking, reader_that_does_not_park_gets_its_status_returned) {
    rig.UpdateCardState(SCARD_ABSENT);
    rig.S().tracking_status = STATUS_INVALID_DEVICE_STATE;
    auto request = rig.Async(IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_TRUE(request->Wait(1));
    EXPECT_EQ(request->Result().status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Parked(), nullptr);
}

TEST(TrackingNoReaderFunction, refused_when_the_reader_cannot_track) {
    Rig rig(0, [](SMARTCARD_EXTENSION &ext) { ext.ReaderFunction[RDF_CARD_TRACKING] = nullptr; });
    rig.UpdateCardState(SCARD_ABSENT);
    auto r = rig.Io(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(rig.Ext().OsData->NotificationIrp, nullptr);
}

// A card inserted while the caller cancels: the request completes exactly once, whichever wins.
TEST(TrackingRace, presence_change_against_cancel_completes_once) {
    int successes = 0, cancels = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        Rig rig(seed);
        rig.UpdateCardState(SCARD_ABSENT);
        auto request = rig.Async(IOCTL_SMARTCARD_IS_PRESENT);
        rig.K().Sleep(1);
        auto inserter = rig.K().Spawn("insert", [&] { rig.UpdateCardState(SCARD_PRESENT); });
        request->Cancel();
        rig.K().Join(inserter);
        ASSERT_TRUE(request->Wait(1)) << "seed " << seed;
        const NTSTATUS status = request->Result().status;
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << "seed " << seed;
        (status == STATUS_SUCCESS ? successes : cancels)++;
        EXPECT_EQ(rig.Ext().OsData->NotificationIrp, nullptr) << "seed " << seed;
    }
    // Both orders occur across the seeds, so both paths ran.
    EXPECT_GT(successes, 0);
    EXPECT_GT(cancels, 0);
}

}  // namespace
