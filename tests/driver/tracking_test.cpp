// Card presence tracking: the card state, the parked tracking request, cancel and cleanup.
#include "fake_reader.h"
#include "rig.h"
#include "reader_registers.h"

using namespace lmscr;
using namespace lmscr::test;

namespace {

TEST(Tracking, parked_request_completes_on_insertion_and_on_removal) {
    ReaderRig rig;
    ASSERT_EQ(rig.AddAndStart(), STATUS_SUCCESS);
    EXPECT_EQ(rig.Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_ABSENT);
    kernel::Handle h;
    ASSERT_EQ(rig.Open(h), STATUS_SUCCESS);
    auto present = rig.Async(h, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_FALSE(present->Wait(200));
    EXPECT_EQ(rig.Ext()->IoCount, 0);  // a parked request no longer counts
    rig.InsertCard();
    ASSERT_TRUE(present->Wait(100));
    EXPECT_EQ(present->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(rig.Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_PRESENT);

    // Already present: completed at once.
    EXPECT_EQ(rig.Ioctl(h, IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_SUCCESS);

    auto absent = rig.Async(h, IOCTL_SMARTCARD_IS_ABSENT);
    EXPECT_FALSE(absent->Wait(200));
    rig.RemoveCard();
    ASSERT_TRUE(absent->Wait(100));
    EXPECT_EQ(absent->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(rig.Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_ABSENT);
    rig.K().Clients().Close(h);
}

TEST(Tracking, a_card_in_at_start_is_found_by_the_query) {
    ReaderRig rig;
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    rig.InsertCard();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(rig.Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_SWALLOWED);
}

TEST(Tracking, cancel_completes_the_parked_request_cancelled) {
    ReaderRig rig;
    kernel::Handle h;
    ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
    auto present = rig.Async(h, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_FALSE(present->Wait(50));
    EXPECT_TRUE(present->Cancel());
    ASSERT_TRUE(present->Wait(0));
    EXPECT_EQ(present->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(rig.Smartcard()->OsData->NotificationIrp, nullptr);
    // A new one can be parked afterwards.
    auto again = rig.Async(h, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_FALSE(again->Wait(50));
    rig.InsertCard();
    ASSERT_TRUE(again->Wait(100));
    EXPECT_EQ(again->Result().status, STATUS_SUCCESS);
    rig.K().Clients().Close(h);
}

TEST(Tracking, cleanup_of_the_handle_cancels_the_parked_request) {
    ReaderRig rig;
    kernel::Handle h;
    ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
    auto present = rig.Async(h, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_FALSE(present->Wait(50));
    EXPECT_EQ(rig.K().Clients().Close(h), STATUS_SUCCESS);
    ASSERT_TRUE(present->Done());
    EXPECT_EQ(present->Result().status, STATUS_CANCELLED);
}

// UpdateCardState's outcome table, with a tracking request parked each time.
enum class Call { Absent, Present, QueryCard, QueryNoCard, QueryFails };
struct Row {
    Call call;
    ULONG before;
    ULONG after;
    bool completed;
};

class UpdateTable : public ::testing::TestWithParam<Row> {};

TEST_P(UpdateTable, stores_and_reports_as_the_table_says) {
    const Row& row = GetParam();
    RigOptions o;
    o.fakeReader = true;
    ReaderRig rig(o);
    kernel::Handle h;
    ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
    rig.Smartcard()->ReaderCapabilities.CurrentState = row.before;
    const ULONG code = row.before > SCARD_ABSENT ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT;
    auto parked = rig.Async(h, code);
    ASSERT_FALSE(parked->Wait(20));
    rig.Fake().reg[4] = row.call == Call::QueryCard ? 0x01 : 0x00;
    rig.Fake().silent = row.call == Call::QueryFails;
    switch (row.call) {
    case Call::Absent: UpdateCardState(rig.Smartcard(), SCARD_ABSENT); break;
    case Call::Present: UpdateCardState(rig.Smartcard(), SCARD_PRESENT); break;
    default: UpdateCardState(rig.Smartcard(), 0); break;
    }
    rig.Fake().silent = false;
    EXPECT_EQ(rig.Smartcard()->ReaderCapabilities.CurrentState, row.after);
    EXPECT_EQ(parked->Done(), row.completed);
    if (!row.completed) {
        EXPECT_TRUE(parked->Cancel());
    }
    ASSERT_TRUE(parked->Wait(100));
    rig.K().Clients().Close(h);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, UpdateTable,
    ::testing::Values(Row{Call::Absent, SCARD_UNKNOWN, SCARD_ABSENT, true},
                      Row{Call::Present, SCARD_UNKNOWN, SCARD_PRESENT, true},
                      Row{Call::Absent, SCARD_ABSENT, SCARD_ABSENT, false},
                      Row{Call::Absent, SCARD_SPECIFIC, SCARD_ABSENT, true},
                      Row{Call::Present, SCARD_ABSENT, SCARD_PRESENT, true},
                      Row{Call::Present, SCARD_NEGOTIABLE, SCARD_PRESENT, false},
                      Row{Call::QueryCard, SCARD_ABSENT, SCARD_SWALLOWED, true},
                      Row{Call::QueryCard, SCARD_SPECIFIC, SCARD_SPECIFIC, false},
                      Row{Call::QueryNoCard, SCARD_POWERED, SCARD_ABSENT, true},
                      Row{Call::QueryNoCard, SCARD_ABSENT, SCARD_ABSENT, false},
                      Row{Call::QueryFails, SCARD_ABSENT, SCARD_ABSENT, false},
                      Row{Call::QueryFails, SCARD_SWALLOWED, SCARD_SWALLOWED, true}));

// Cancel and a card event race for the parked request: it completes once, with the winner's
// status, under every interleaving the seeds produce.
TEST(TrackingRace, cancel_racing_a_card_event_under_many_seeds) {
    int cancelled = 0, reported = 0;
    for (uint64_t seed = 1; seed <= 30; ++seed) {
        ReaderRig rig(RigOptions::Seeded(seed, true));
        kernel::Handle h;
        ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
        auto present = rig.Async(h, IOCTL_SMARTCARD_IS_PRESENT);
        ASSERT_FALSE(present->Wait(5));
        auto inserter = rig.K().Spawn("card", [&] { rig.Fake().Send({0x10, 0x85}); });
        // Roughly when the event is decoded: the two bytes take about a millisecond.
        rig.K().Sleep(1);
        present->Cancel();
        rig.K().Join(inserter);
        ASSERT_TRUE(present->Wait(500)) << "seed " << seed;
        NTSTATUS s = present->Result().status;
        EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED) << kernel::StatusName(s);
        (s == STATUS_CANCELLED ? cancelled : reported)++;
        rig.K().Clients().Close(h);
    }
    EXPECT_EQ(cancelled + reported, 30);
}

// The handle's cleanup at the very instant the reader's card-inserted event is decoded: the
// parked request completes exactly once, whichever side wins, under every seed.  (The cleanup
// used to find the request still parked after the card event had taken its cancel routine
// away, and completed it a second time.)
TEST(TrackingRace, cleanup_racing_a_card_event_completes_the_parked_request_once) {
    const uint64_t frameNs = serial::FrameNs(serial::LineFormat{});
    int cancelled = 0, reported = 0;
    for (uint64_t seed = 1; seed <= 300; ++seed) {
        ReaderRig rig(RigOptions::Seeded(seed, true));
        kernel::Handle h;
        ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
        auto present = rig.Async(h, IOCTL_SMARTCARD_IS_PRESENT);
        ASSERT_FALSE(present->Wait(5));
        rig.Fake().Send({0x10, 0x85});
        // The 0x85 is in the port when its stop bit ends, two frames from now; the worker that
        // waits in its read for the byte after the escape wakes then, and so does the closer.
        auto closer = rig.SpawnAt("closer", 2 * frameNs, [&] { rig.K().Clients().Close(h); });
        rig.K().Join(closer);
        ASSERT_TRUE(present->Wait(500)) << "seed " << seed;
        NTSTATUS s = present->Result().status;
        EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED) << kernel::StatusName(s);
        (s == STATUS_CANCELLED ? cancelled : reported)++;
        EXPECT_EQ(rig.Smartcard()->OsData->NotificationIrp, nullptr);
    }
    // Both orders were run.
    EXPECT_GT(cancelled, 0);
    EXPECT_GT(reported, 0);
}

TEST(TrackingRace, cleanup_racing_removal_under_many_seeds) {
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        ReaderRig rig(RigOptions::Seeded(seed));
        kernel::Handle h;
        ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
        auto present = rig.Async(h, IOCTL_SMARTCARD_IS_PRESENT);
        ASSERT_FALSE(present->Wait(5));
        NTSTATUS removed = STATUS_PENDING;
        auto remover = rig.K().Spawn("remover", [&] {
            removed = rig.K().Pnp().Send(rig.Pdo(), IRP_MN_REMOVE_DEVICE);
        });
        auto closer = rig.K().Spawn("closer", [&] { rig.K().Clients().Close(h); });
        rig.K().Join(closer);
        rig.K().Join(remover);
        EXPECT_EQ(removed, STATUS_SUCCESS) << "seed " << seed;
        ASSERT_TRUE(present->Done());
        EXPECT_EQ(present->Result().status, STATUS_CANCELLED);
    }
}


// The reader answers a presence query "no card" and, right after the reply, reports a card put
// in.  When both reach the receive engine in one run (its work queue was busy, as a loaded machine
// or a pty delivering both at once makes it) the event is stored first; the query's older answer
// must not then be stored over it, or the card stays reported absent with no event to come.
VOID NTAPI HoldTheWorkQueue(PDEVICE_OBJECT, PVOID) {
    LARGE_INTEGER fiveMs;
    fiveMs.QuadPart = -5 * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &fiveMs);
}

TEST_F(FakeReaderTest, a_card_event_after_the_reply_of_a_presence_query_is_not_undone_by_it) {
    PSMARTCARD_EXTENSION sc = rig->Smartcard();
    // Both critical workers held: the run that takes the reply waits behind them.
    PIO_WORKITEM hold[2] = {IoAllocateWorkItem(sc->OsData->DeviceObject), IoAllocateWorkItem(sc->OsData->DeviceObject)};
    for (const bool powerDown : {false, true}) {
        SCOPED_TRACE(powerDown ? "the power-down's query" : "the tracking query");
        UpdateCardState(sc, SCARD_ABSENT);
        rig->Fake().reg[RegCardState] = 0;
        rig->Fake().onRegisterRead = [&](uint8_t reg) {
            if (reg != RegCardState) return;
            rig->Fake().onRegisterRead = nullptr;
            for (PIO_WORKITEM h : hold) IoQueueWorkItem(h, HoldTheWorkQueue, CriticalWorkQueue, nullptr);
            rig->Fake().reg[RegCardState] = READER_CARD_PRESENT;
            rig->Fake().SendNow({0x10, 0x85});
        };
        if (powerDown) {
            sc->MinorIoControlCode = SCARD_POWER_DOWN;
            EXPECT_EQ(sc->ReaderFunction[RDF_CARD_POWER](sc), STATUS_SUCCESS);
        } else {
            UpdateCardState(sc, 0);
        }
        rig->K().Sleep(50);
        EXPECT_EQ(sc->ReaderCapabilities.CurrentState, (ULONG)SCARD_PRESENT);
    }
    for (PIO_WORKITEM h : hold) IoFreeWorkItem(h);
}

}  // namespace
