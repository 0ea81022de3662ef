// The receive engine against a scripted reader: escapes, events, the buffer's bound, and the
// consumer's waits, in virtual time.
#include "fake_reader.h"
#include "rig.h"
#include "serial_fault.h"

using namespace lmscr;
using namespace lmscr::test;

namespace {

class Receive : public FakeReaderTest {
protected:
    void Quiet(uint64_t ms = 50) { rig->K().Sleep(ms); }
    std::vector<uint8_t> Held() const { return std::vector<uint8_t>(r->RxBuffer, r->RxBuffer + r->RxCount); }
};

TEST_F(Receive, escaped_0x10_is_stored_as_data) {
    rig->Fake().Send({0x41, 0x10, 0x10, 0x42});
    Quiet();
    EXPECT_EQ(Held(), (std::vector<uint8_t>{0x41, 0x10, 0x42}));
}

TEST_F(Receive, escape_at_the_end_of_one_run_pairs_with_the_next) {
    EXPECT_EQ(rig->Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_ABSENT);
    rig->Fake().Send({0x10});
    // After an escape the worker reads on without asking the queue; only the line's read time-out
    // (100 ms with the start values) ends that run, so the partner must come later than that to
    // arrive in a run of its own.
    Quiet(300);
    EXPECT_TRUE(r->EscapePending);
    rig->Fake().Send({0x85});
    Quiet();
    EXPECT_FALSE(r->EscapePending);
    EXPECT_EQ(rig->Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_PRESENT);
    EXPECT_EQ(r->RxCount, 0u);
}

// A card swapped at once, both events in the port's queue before the run that reads them starts
// (here the wait before that run is held at the port until they are in).  The next wait reports
// only characters that come after this run has started, so a run that ended on the removal
// would leave the insertion unread.
TEST_F(Receive, events_already_queued_behind_an_event_are_read_in_the_same_run) {
    rig->Fake().Send({0x41});  // a run of its own, which ends by arming the wait held here
    serial::SerialFault heldWait;
    heldWait.kind = serial::SerialFault::Kind::CompleteLate;
    heldWait.ioControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    heldWait.lateMs = 20;
    serial::InjectSerialFault(rig->Pdo(), heldWait);
    Quiet(5);
    const ULONG eventsBefore = r->CardEvents;
    rig->Fake().Send({0x10, 0x86, 0x10, 0x85});
    Quiet(300);
    EXPECT_EQ(r->CardEvents - eventsBefore, 2u);
    EXPECT_EQ(rig->Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_PRESENT);
}

TEST_F(Receive, card_event_while_a_consumer_waits_does_not_wake_it) {
    NTSTATUS result = STATUS_PENDING;
    uint64_t endedAt = 0;
    const uint64_t start = rig->K().NowNs();
    auto consumer = rig->K().Spawn("consumer", [&] {
        UCHAR b;
        result = ReadReceived(r, &b, 1);
        endedAt = rig->K().NowNs();
    });
    Quiet(10);
    rig->Fake().Send({0x10, 0x85});
    rig->K().Join(consumer);
    EXPECT_EQ(rig->Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_PRESENT);
    EXPECT_EQ(result, STATUS_IO_TIMEOUT);
    EXPECT_EQ(endedAt - start, 150'000'000u);  // 1 x CharTimeout 50 + TotalTimeout 100
}

TEST_F(Receive, unknown_event_codes_are_dropped_without_effect) {
    rig->Fake().Send({0x10, 0x81, 0x10, 0x00, 0x10, 0x90});
    Quiet(200);
    EXPECT_EQ(r->RxCount, 0u);
    EXPECT_EQ(rig->Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_ABSENT);
    EXPECT_FALSE(r->EscapePending);
}

TEST_F(Receive, nobody_consuming_keeps_at_most_767_bytes) {
    std::vector<uint8_t> bytes(770);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0x20 + i % 0x50);
    rig->Fake().Send(bytes);
    Quiet(1000);
    ASSERT_EQ(r->RxCount, 767u);
    EXPECT_EQ(r->RxBuffer[766], bytes[766]);
}

TEST_F(Receive, bytes_already_held_are_taken_at_once_from_the_front) {
    rig->Fake().Send({1, 2, 3, 4, 5});
    Quiet();
    const uint64_t before = rig->K().NowNs();
    UCHAR out[3];
    r->RxStatus = STATUS_UNSUCCESSFUL;  // not looked at when the bytes are there
    EXPECT_EQ(ReadReceived(r, out, 3), STATUS_SUCCESS);
    EXPECT_EQ(rig->K().NowNs(), before);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(Held(), (std::vector<uint8_t>{4, 5}));
}

TEST_F(Receive, silent_line_times_out_after_n_char_timeouts_plus_total) {
    const uint64_t before = rig->K().NowNs();
    UCHAR out[4];
    EXPECT_EQ(ReadReceived(r, out, 4), STATUS_IO_TIMEOUT);
    EXPECT_EQ(rig->K().NowNs() - before, 300'000'000u);
}

TEST_F(Receive, line_falling_silent_mid_reply_ends_the_wait_at_the_read_timeout) {
    NTSTATUS result = STATUS_PENDING;
    uint64_t endedAt = 0;
    auto consumer = rig->K().Spawn("consumer", [&] {
        UCHAR out[4];
        result = ReadReceived(r, out, 4);
        endedAt = rig->K().NowNs();
    });
    Quiet(5);
    const uint64_t sentAt = rig->K().NowNs();
    rig->Fake().Send({0xA1, 0xA2});
    rig->K().Join(consumer);
    EXPECT_EQ(result, STATUS_IO_TIMEOUT);
    // Long before the consumer's own 300 ms: the worker's read after the second byte ends on the
    // line's 100 ms read time-out.
    EXPECT_LT(endedAt - sentAt, 150'000'000u);
    EXPECT_GE(endedAt - sentAt, 100'000'000u);
    EXPECT_EQ(Held(), (std::vector<uint8_t>{0xA1, 0xA2}));
}

NTSTATUS ReplyAfter(ReaderRig& rig, PREADER_EXTENSION r, std::vector<uint8_t> bytes) {
    NTSTATUS result = STATUS_PENDING;
    auto consumer = rig.K().Spawn("consumer", [&] {
        UCHAR b;
        result = ReadReceived(r, &b, 1);
    });
    rig.K().Sleep(5);
    rig.Fake().Send(bytes);
    rig.K().Join(consumer);
    return result;
}

TEST_F(Receive, reader_error_followed_by_data_maps_to_data_error) {
    EXPECT_EQ(ReplyAfter(*rig, r, {0x10, 0x84, 0x41}), STATUS_DATA_ERROR);
}

TEST_F(Receive, reader_error_followed_by_silence_is_a_timeout) {
    EXPECT_EQ(ReplyAfter(*rig, r, {0x10, 0x84}), STATUS_IO_TIMEOUT);
}

TEST_F(Receive, reader_error_with_nobody_waiting_is_kept_as_the_next_byte) {
    rig->Fake().Send({0x10, 0x84});
    Quiet(200);
    EXPECT_EQ(Held(), (std::vector<uint8_t>{0x84}));
    EXPECT_LE(r->RxCount, 767u);
}

TEST_F(Receive, reader_timeout_during_waiting_time_extension_changes_nothing) {
    rig->Smartcard()->T1.Wtx = 2;
    BeginReceive(r, TRUE);
    rig->Fake().Send({0x10, 0x83});
    Quiet(200);
    EXPECT_EQ(r->BlockEndStatus, STATUS_IO_TIMEOUT);
    EXPECT_EQ(r->RxStatus, STATUS_SUCCESS);
    rig->Smartcard()->T1.Wtx = 0;
}

// The engine reaches the rest of the driver only through the client it was handed: with a client
// that only records, a card event leaves the card state alone, the card's asking for more time
// is the client's word, and a lost port is reported to the client and nowhere else.
struct Recorded {
    std::vector<int> moved;  // 1 in, 0 out
    int portLost = 0;
    bool moreTime = false;
};
Recorded recorded;
VOID RecordMoved(PREADER_EXTENSION, BOOLEAN present) { recorded.moved.push_back(present ? 1 : 0); }
VOID RecordPortLost(PREADER_EXTENSION) { ++recorded.portLost; }
BOOLEAN RecordMoreTime(PREADER_EXTENSION) { return recorded.moreTime; }
const RECEIVE_CLIENT kRecordingClient = {RecordMoved, RecordPortLost, RecordMoreTime};

TEST_F(Receive, the_engine_reports_to_and_asks_its_client_only) {
    recorded = {};
    r->ReceiveClient = &kRecordingClient;
    rig->Fake().Send({0x10, 0x85, 0x10, 0x86, 0x10, 0x85});
    Quiet(200);
    EXPECT_EQ(recorded.moved, (std::vector<int>{1, 0, 1}));
    EXPECT_EQ(rig->Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_ABSENT);

    for (bool moreTime : {true, false}) {
        recorded.moreTime = moreTime;
        BeginReceive(r, TRUE);
        rig->Fake().Send({0x10, 0x83});
        Quiet(200);
        EXPECT_EQ(r->BlockEndStatus, moreTime ? STATUS_IO_TIMEOUT : STATUS_SUCCESS) << moreTime;
    }

    rig->Line().SetDsr(false);
    Quiet(100);
    EXPECT_EQ(recorded.portLost, 1);
    EXPECT_EQ(KeReadStateEvent(&rig->Ext()->SerialCloseDone), 0) << "the engine closed the port itself";
    // The driver's own client closes it, so that the reader can be taken down.
    r->ReceiveClient = &ReaderReceiveClient;
    CloseSerialPortLater(r);
    Quiet(100);
    EXPECT_NE(KeReadStateEvent(&rig->Ext()->SerialCloseDone), 0);
}

TEST_F(Receive, reader_timeout_after_a_complete_block_ends_it_and_wait_block_end_returns_at_once) {
    BeginReceive(r, TRUE);
    NTSTATUS result = STATUS_PENDING;
    UCHAR out[2];
    auto consumer = rig->K().Spawn("consumer", [&] { result = ReadReceived(r, out, 2); });
    Quiet(5);
    rig->Fake().Send({0x01, 0x02, 0x10, 0x83});
    rig->K().Join(consumer);
    EXPECT_EQ(result, STATUS_SUCCESS);
    Quiet(200);
    EXPECT_EQ(r->BlockEndStatus, STATUS_SUCCESS);
    const uint64_t before = rig->K().NowNs();
    EXPECT_EQ(WaitBlockEnd(r), STATUS_SUCCESS);
    EXPECT_EQ(rig->K().NowNs(), before);
}

TEST_F(Receive, faulty_card_byte_keeps_its_place_as_zero) {
    BeginReceive(r, FALSE);
    rig->Fake().Send({0x41, 0x10, 0x88, 0x43});
    Quiet(200);
    UCHAR out[3];
    EXPECT_EQ(ReadReceived(r, out, 3), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{0x41, 0x00, 0x43}));
    EXPECT_TRUE(ReceivedFaultyByte(r));
}

TEST_F(Receive, faulty_byte_in_a_waiting_consumers_reply_reads_as_zero) {
    BeginReceive(r, FALSE);
    NTSTATUS result = STATUS_PENDING;
    UCHAR out[3] = {0xEE, 0xEE, 0xEE};
    auto consumer = rig->K().Spawn("consumer", [&] { result = ReadReceived(r, out, 3); });
    Quiet(5);
    rig->Fake().Send({0x41, 0x10, 0x88, 0x43});
    rig->K().Join(consumer);
    EXPECT_EQ(result, STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{0x41, 0x00, 0x43}));
    EXPECT_TRUE(ReceivedFaultyByte(r));
}

// The routines by which the rest of the driver starts and ends its receptions, one after the
// other on a reader whose engine runs: what each leaves behind, and what it costs in virtual time.
TEST_F(Receive, the_engines_routines_start_and_drop_and_end_receptions) {
    // After the event the run reads on until the line's read time-out (100 ms), whose end it
    // signals with nobody waiting.
    rig->Fake().Send({1, 2, 3, 0x10, 0x88});
    Quiet(200);
    EXPECT_TRUE(ReceivedBytesWaiting(r));
    EXPECT_TRUE(ReceivedFaultyByte(r));
    EXPECT_EQ(DropReceived(r), 4u);  // the faulty byte held its place
    EXPECT_EQ(DropReceived(r), 0u);
    EXPECT_FALSE(ReceivedBytesWaiting(r));

    // A command's start takes nothing of the last one along: bytes, status and signal.
    rig->Fake().Send({7});
    Quiet();
    EXPECT_EQ(r->RxStatus, STATUS_TIMEOUT);
    EXPECT_NE(KeReadStateEvent(&r->RxEvent), 0);
    uint64_t before = rig->K().NowNs();
    EXPECT_EQ(ResetReceive(r), STATUS_SUCCESS);
    EXPECT_EQ(rig->K().NowNs(), before);
    EXPECT_EQ(Held(), std::vector<uint8_t>{});
    EXPECT_EQ(r->RxStatus, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&r->RxEvent), 0);

    // A new exchange forgets the faulty byte; a T=1 one also waits for its block's end, which a
    // silent line ends after one CharTimeout (50 ms) without success.
    BeginReceive(r, TRUE);
    EXPECT_FALSE(ReceivedFaultyByte(r));
    before = rig->K().NowNs();
    EXPECT_EQ(WaitBlockEnd(r), STATUS_IO_TIMEOUT);
    EXPECT_EQ(rig->K().NowNs() - before, 50'000'000u);

    // The port lost with nobody waiting wakes nobody, and fails the next command at once.
    ReceivePortLost(r);
    EXPECT_EQ(KeReadStateEvent(&r->RxEvent), 0);
    EXPECT_EQ(r->RxStatus, STATUS_SUCCESS);
    EXPECT_EQ(ResetReceive(r), STATUS_DEVICE_REMOVED);
    r->PortGone = FALSE;  // the reader's own stop at the end needs its line
}

// After an event code the worker reads on without asking the port's queue; when the line then
// falls silent, the run ends on the read time-out, which the consumer sees even though a faulty
// last byte had completed its count.
TEST_F(Receive, faulty_last_byte_then_silence_ends_in_a_timeout) {
    NTSTATUS result = STATUS_PENDING;
    UCHAR out[2];
    auto consumer = rig->K().Spawn("consumer", [&] { result = ReadReceived(r, out, 2); });
    Quiet(5);
    rig->Fake().Send({0x41, 0x10, 0x88});
    rig->K().Join(consumer);
    EXPECT_EQ(result, STATUS_IO_TIMEOUT);
    EXPECT_EQ(Held(), (std::vector<uint8_t>{0x41, 0x00}));
}

TEST_F(Receive, reader_timeout_while_a_consumer_is_short_of_bytes_fails_it_at_once) {
    NTSTATUS result = STATUS_PENDING;
    uint64_t endedAt = 0;
    const uint64_t start = rig->K().NowNs();
    auto consumer = rig->K().Spawn("consumer", [&] {
        UCHAR out[4];
        result = ReadReceived(r, out, 4);
        endedAt = rig->K().NowNs();
    });
    Quiet(5);
    rig->Fake().Send({0x01, 0x10, 0x83, 0x02});
    rig->K().Join(consumer);
    EXPECT_EQ(result, STATUS_IO_TIMEOUT);
    // Woken when the run that saw the event ended, not by its own 300 ms.
    EXPECT_LT(endedAt - start, 300'000'000u);
}

TEST_F(Receive, dsr_drop_closes_the_port_under_a_started_reader) {
    PDEVICE_EXTENSION ext = rig->Ext();
    EXPECT_EQ(KeReadStateEvent(&ext->SerialCloseDone), 0);
    rig->Line().SetDsr(false);
    Quiet(100);
    EXPECT_NE(KeReadStateEvent(&ext->SerialCloseDone), 0);
    EXPECT_NE(KeReadStateEvent(&ext->ReaderStarted), 0);  // still counts as started
    EXPECT_TRUE(rig->K().Clients().EnabledInterfaces(
                    GUID{0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}})
                    .empty());
    // A later stop finds the port closed and returns at once, sending nothing.
    const size_t sent = rig->Fake().received.size();
    const UCHAR mode = 0x4F;
    EXPECT_EQ(WriteRegister(r, 2, 1, &mode), STATUS_DEVICE_REMOVED);
    StopDevice(ext);
    EXPECT_EQ(rig->Fake().received.size(), sent);
}

// The port lost on a silent line, or in a burst (the next wait reports characters and loss at
// once): the port is closed, a consumer still short of bytes woken at that instant with
// STATUS_DEVICE_REMOVED instead of sitting out its time-out, and later reads fail at once.
TEST_F(Receive, port_lost_under_a_consumer_closes_the_port_and_wakes_it) {
    struct Case {
        size_t burst;  // bytes the reader sends first: some 100 ms on the line
        NTSTATUS want;
        uint64_t endedMs;
    };
    for (Case c : {Case{0, STATUS_DEVICE_REMOVED, 10}, Case{200, STATUS_SUCCESS, 52}}) {
        SCOPED_TRACE(c.burst);
        TearDown();  // a reader of its own for each case
        SetUp();
        r->TotalTimeout = 5000;
        NTSTATUS result = STATUS_PENDING;
        uint64_t endedAt = 0;
        const uint64_t start = rig->K().NowNs();
        auto consumer = rig->K().Spawn("consumer", [&] {
            UCHAR out[100];
            result = ReadReceived(r, out, sizeof out);
            endedAt = rig->K().NowNs();
        });
        if (c.burst) rig->Fake().Send(std::vector<uint8_t>(c.burst, 0x41));
        Quiet(10);
        rig->Line().SetDsr(false);
        rig->K().Join(consumer);
        Quiet(300);
        EXPECT_EQ(result, c.want);
        EXPECT_EQ((endedAt - start) / 1'000'000, c.endedMs);
        EXPECT_NE(KeReadStateEvent(&rig->Ext()->SerialCloseDone), 0) << "the port's loss went unheard";
        UCHAR b;
        EXPECT_EQ(ReadReceived(r, &b, 1), STATUS_DEVICE_REMOVED);
    }
}

// A command the reader does not answer fails after the receive time-out of its one-byte reply
// (1 x CharTimeout 50 + TotalTimeout 100 ms), and the reader is then given 25 ms of quiet to drop
// what it may have read as commands of its own.  Meanwhile a run that saw a reader error reads on
// while the line stays busy, past the consumer's giving up: the next command's reply comes in that
// same run and must not be failed by the status the error left behind.
TEST_F(Receive, failed_command_costs_its_time_out_and_the_quiet_and_the_next_reply_is_its_own) {
    const UCHAR mode = 0x4F;
    NTSTATUS first = STATUS_PENDING, second = STATUS_PENDING;
    uint64_t firstEnded = 0;
    rig->Fake().silent = true;
    const uint64_t start = rig->K().NowNs();
    auto consumer = rig->K().Spawn("consumer", [&] {
        first = WriteRegister(r, 2, 1, &mode);
        firstEnded = rig->K().NowNs();
        rig->Fake().silent = false;
        second = WriteRegister(r, 2, 1, &mode);
    });
    Quiet(10);
    rig->Fake().Send({0x10, 0x84});  // the reader's error: the run reads on
    Quiet(60);
    rig->Fake().Send({0x10, 0x81});  // the line kept busy with an event code the engine drops
    Quiet(60);
    rig->Fake().Send({0x10, 0x81});
    rig->K().Join(consumer);
    EXPECT_EQ(first, STATUS_IO_TIMEOUT);
    // The write is done once its last byte is in the port's transmitter, a byte time (520 834 ns
    // at 19200 baud, rounded up) after the first started; then 150 ms of waiting and 25 of quiet.
    EXPECT_EQ(firstEnded - start, 520'834u + 150'000'000u + 25'000'000u);
    EXPECT_EQ(second, STATUS_SUCCESS);
}

// A run that ends on a read the line's time-out ended purges the port and only then arms the next
// wait: armed first, the wait would let the next run start while this one still purges, and
// that run's bytes could be thrown away under it.  The purge is held at the port for 50 ms here,
// and no new wait may reach the port before it is done.
TEST_F(Receive, run_ending_on_a_silent_line_purges_before_it_waits_again) {
    serial::SerialFault held;
    held.kind = serial::SerialFault::Kind::CompleteLate;
    held.ioControlCode = IOCTL_SERIAL_PURGE;
    held.lateMs = 50;
    serial::InjectSerialFault(rig->Pdo(), held);
    auto count = [&](ULONG code) { return serial::SerialRequestCount(rig->Pdo(), IRP_MJ_DEVICE_CONTROL, code); };
    const uint64_t purges = count(IOCTL_SERIAL_PURGE);
    // An event code the engine drops: the run reads on, and the line's 100 ms read time-out ends it.
    rig->Fake().Send({0x10, 0x81});
    uint64_t waits = count(IOCTL_SERIAL_WAIT_ON_MASK);
    for (int ms = 0; ms < 300 && count(IOCTL_SERIAL_PURGE) == purges; ++ms) {
        waits = count(IOCTL_SERIAL_WAIT_ON_MASK);
        Quiet(1);
    }
    ASSERT_EQ(count(IOCTL_SERIAL_PURGE), purges + 1);
    // The millisecond the purge reached the port, and the 50 of its hold: no new wait.
    for (int ms = 0; ms < 45; ++ms) {
        ASSERT_EQ(count(IOCTL_SERIAL_WAIT_ON_MASK), waits) << "a wait armed before the purge was done, at " << ms;
        Quiet(1);
    }
    EXPECT_NE(KeReadStateEvent(&r->RxEvent), 0);  // the end of the run was signalled before the purge
    EXPECT_EQ(r->RxStatus, STATUS_TIMEOUT);
    Quiet(50);
    EXPECT_GT(count(IOCTL_SERIAL_WAIT_ON_MASK), waits);
    // The engine goes on: the next byte is received.
    rig->Fake().Send({0x41});
    Quiet();
    EXPECT_EQ(Held(), (std::vector<uint8_t>{0x41}));
}

// A reply that comes after its consumer gave up meets the count that consumer left behind and
// signals RxEvent with nobody waiting.  The next command must not take that stale signal for its
// own reply.
TEST_F(Receive, late_reply_of_a_timed_out_command_does_not_wake_the_next_one) {
    const UCHAR mode = 0x4F;
    rig->Fake().silent = true;
    EXPECT_EQ(WriteRegister(r, 2, 1, &mode), STATUS_IO_TIMEOUT);
    rig->Fake().silent = false;
    rig->Fake().Send({0x90});
    Quiet();
    EXPECT_NE(KeReadStateEvent(&r->RxEvent), 0);
    EXPECT_EQ(WriteRegister(r, 2, 1, &mode), STATUS_SUCCESS);
}

// A block's end report that comes after WaitBlockEnd gave up on it (a scheduler that held the
// reader's bytes back) comes in front of the next command's reply: it closes the last block and
// does not fail the reply.  The first other symbol settles the debt, so a report after it is
// the reader's time-out of the wait in progress again.
TEST_F(Receive, block_end_report_after_wait_block_end_gave_up_closes_that_block_only) {
    struct Step {
        std::vector<uint8_t> bytes;
        ULONG count;
        NTSTATUS expected;
    };
    struct Case {
        const char* name;
        bool gaveUp;  // WaitBlockEnd of the block before ran out
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"late report, then the reply", true, {{{0x10, 0x83, 0x90}, 1, STATUS_SUCCESS}}},
        {"report with no block owing it", false, {{{0x10, 0x83, 0x90}, 1, STATUS_IO_TIMEOUT}}},
        {"report lost: the reply settles, the next report is a time-out",
         true,
         {{{0x90}, 1, STATUS_SUCCESS}, {{0x01, 0x10, 0x83}, 4, STATUS_IO_TIMEOUT}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BeginReceive(r, TRUE);
        UCHAR block[2];
        auto consumer = rig->K().Spawn("block", [&] { EXPECT_EQ(ReadReceived(r, block, 2), STATUS_SUCCESS); });
        Quiet(5);
        rig->Fake().Send(c.gaveUp ? std::vector<uint8_t>{0x01, 0x02} : std::vector<uint8_t>{0x01, 0x02, 0x10, 0x83});
        rig->K().Join(consumer);
        Quiet(5);
        EXPECT_EQ(WaitBlockEnd(r), c.gaveUp ? STATUS_IO_TIMEOUT : STATUS_SUCCESS);
        for (const Step& step : c.steps) {
            ASSERT_EQ(ResetReceive(r), STATUS_SUCCESS);
            NTSTATUS result = STATUS_PENDING;
            UCHAR out[4] = {};
            const uint64_t start = rig->K().NowNs();
            uint64_t endedAt = 0;
            auto waiter = rig->K().Spawn("consumer", [&] {
                result = ReadReceived(r, out, step.count);
                endedAt = rig->K().NowNs();
            });
            Quiet(5);
            rig->Fake().Send(step.bytes);
            rig->K().Join(waiter);
            EXPECT_EQ(result, step.expected);
            if (step.expected == STATUS_SUCCESS) {
                EXPECT_EQ(out[0], 0x90);
            }
            // Never the wait's own 300 ms (n char time-outs plus the total).
            EXPECT_LT(endedAt - start, 300'000'000u);
        }
        Quiet(200);
        (void)DropReceived(r);
    }
}

}  // namespace
