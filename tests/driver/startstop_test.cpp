// Start and stop of the reader, end to end: Plug and Play manager, serial port, simulated reader.
#include "fake_reader.h"
#include "rig.h"

#include "messages.h"

using namespace lmscr;
using namespace lmscr::test;

namespace {

TEST(StartStop, start_conversation_byte_by_byte) {
    ReaderRig rig;
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    const uint64_t before = rig.K().NowNs();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    const uint64_t took = rig.K().NowNs() - before;
    // Eight line-setup requests with a 25 ms pause after each come first; then the reader is
    // asked for its version, set up, and asked whether a card is in.
    EXPECT_EQ(rig.TakeWire(), (std::vector<std::string>{
                                  "   200.520 ms host->reader  C0            read reg 0 (version)",
                                  "   201.041 ms reader->host  23            reg 0 (version) = 0x23 (firmware 2.3)",
                                  "   201.562 ms host->reader  88 00         write reg 8 = 0x00",
                                  "   202.604 ms reader->host  90            reply 0x90 done",
                                  "   203.125 ms host->reader  82 4F         write reg 2 (mode) = 0x4F",
                                  "   204.166 ms reader->host  90            reply 0x90 done",
                                  "   204.687 ms host->reader  C4            read reg 4 (card state)",
                                  "   205.208 ms reader->host  00            reg 4 (card state) = 0x00 (no card)",
                              }));
    EXPECT_GE(took, 200'000'000u);
    EXPECT_EQ(rig.Reader()->TotalTimeout, 100u);
    EXPECT_EQ(rig.Reader()->CharTimeout, 50u);
    EXPECT_EQ(rig.Reader()->FirmwareMajor, 2);
    EXPECT_EQ(rig.Reader()->FirmwareMinor, 3);
    EXPECT_EQ(KeReadStateEvent(&rig.Ext()->SerialCloseDone), 0);
    EXPECT_NE(KeReadStateEvent(&rig.Ext()->ReaderStarted), 0);
    EXPECT_TRUE(rig.EventCodes().empty());
}

// A reader that does not answer: the start fails with the version read's status and event
// 0x40040009, the port is given back, the interface stays disabled, and nothing waits.
TEST(StartStop, reader_that_does_not_answer_fails_the_start_and_leaves_nothing_open) {
    RigOptions o;
    o.fakeReader = true;
    ReaderRig rig(o);
    rig.Fake().silent = true;
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    EXPECT_EQ(rig.Start(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(rig.EventCodes(), std::vector<uint32_t>{0x40040009});
    EXPECT_EQ(rig.K().EventLog()[0].objectPointer, rig.Fdo());
    EXPECT_NE(KeReadStateEvent(&rig.Ext()->SerialCloseDone), 0);
    EXPECT_EQ(KeReadStateEvent(&rig.Ext()->ReaderStarted), 0);
    const GUID readerClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
    EXPECT_TRUE(rig.K().Clients().EnabledInterfaces(readerClass).empty());
    // The port was closed: a second start opens it again and works once the reader answers.
    rig.Fake().silent = false;
    EXPECT_EQ(rig.Start(), STATUS_SUCCESS);
}

TEST(StartStop, failed_port_setup_logs_and_gives_the_port_back) {
    RigOptions o;
    o.fakeReader = true;
    ReaderRig rig(o);
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    // The third setup request fails: three requests, three pauses, no wait armed.
    rig.K().InjectFault(kernel::FaultRule{"IoBuildDeviceIoControlRequest", "SerialIoctl", 3, 0});
    const uint64_t before = rig.K().NowNs();
    EXPECT_EQ(rig.Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(rig.K().NowNs() - before, 75'000'000u);
    EXPECT_EQ(rig.EventCodes(), std::vector<uint32_t>{0x40040008});
    EXPECT_TRUE(rig.Fake().received.empty());
    rig.K().ClearFaults();
    EXPECT_EQ(rig.Start(), STATUS_SUCCESS);
}

TEST(StartStop, open_request_that_cannot_be_allocated_logs_no_memory) {
    ReaderRig rig;
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    rig.K().InjectFault(kernel::FaultRule{"IoAllocateIrp", "AllocateSerialRequest", 1, 0});
    EXPECT_EQ(rig.Start(), STATUS_NO_MEMORY);
    EXPECT_EQ(rig.EventCodes(), std::vector<uint32_t>{0xC0040002});
}

TEST(StartStop, stop_of_a_reader_not_started_sends_nothing) {
    RigOptions o;
    o.fakeReader = true;
    ReaderRig rig(o);
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    StopDevice(rig.Ext());
    EXPECT_TRUE(rig.Fake().received.empty());
}

TEST(StartStop, stop_powers_the_card_off_shuts_the_reader_down_and_closes_the_port) {
    RigOptions o;
    o.fakeReader = true;
    ReaderRig rig(o);
    ASSERT_EQ(rig.AddAndStart(), STATUS_SUCCESS);
    rig.Fake().received.clear();
    StopDevice(rig.Ext());
    // register 4 <- 0 (card off), then the shut-down table: register 4 <- 0, register 2 <- 0.
    EXPECT_EQ(rig.Fake().received, (std::vector<uint8_t>{0x84, 0x00, 0x84, 0x00, 0x82, 0x00}));
    EXPECT_NE(KeReadStateEvent(&rig.Ext()->SerialCloseDone), 0);
    EXPECT_EQ(rig.Fake().reg[2], 0x00);
}

// The DSR line drops at any instant of the start's last steps: the wait the start armed ends
// and the port is closed under it.  The start then fails cleanly (port given back, interface
// disabled, the event of a reader that does not answer) or succeeds with the port it had; either
// way a stop and the next start work and nothing waits for a close worker that will not run.
TEST(StartStop, dsr_drop_during_the_start_fails_it_cleanly_or_leaves_a_working_port) {
    int failed = 0, succeeded = 0;
    for (uint64_t dropUs = 199'500; dropUs <= 206'000; dropUs += 250) {
        for (uint64_t seed = 1; seed <= 4; ++seed) {
            SCOPED_TRACE("DSR drop " + std::to_string(dropUs) + " us after the start, seed " + std::to_string(seed));
            ReaderRig rig(RigOptions::Seeded(seed));
            ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
            auto dropper = rig.SpawnAt("dsr", dropUs * 1000, [&] { rig.Line().SetDsr(false); });
            const NTSTATUS started = rig.Start();
            if (started == STATUS_SUCCESS) {
                ++succeeded;
                EXPECT_TRUE(rig.Started());
                // The port was open at the end of the start; a drop after that may close it, and
                // then the interface goes with it.
                EXPECT_EQ(rig.PortOpen(), rig.InterfaceEnabled());
            } else {
                ++failed;
                EXPECT_FALSE(rig.Started());
                EXPECT_FALSE(rig.PortOpen());
                EXPECT_FALSE(rig.InterfaceEnabled());
                ASSERT_FALSE(rig.EventCodes().empty());
                EXPECT_EQ(rig.EventCodes().back(), 0x40040009u);
            }
            rig.K().Join(dropper);
            rig.Line().SetDsr(true);
            EXPECT_EQ(rig.K().Pnp().StopForRebalance(rig.Pdo()), STATUS_SUCCESS);
            EXPECT_FALSE(rig.PortOpen());
            ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
            EXPECT_TRUE(rig.PortOpen());
            EXPECT_TRUE(rig.InterfaceEnabled());
            // The restarted reader talks: a card inserted now is seen.
            rig.InsertCard();
            rig.K().Sleep(20);
            EXPECT_EQ(rig.Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_PRESENT);
        }
    }
    // The sweep crosses the moment the wait is armed: both outcomes occur.
    EXPECT_GT(failed, 0);
    EXPECT_GT(succeeded, 0);
}

// The receive engine cannot arm its next wait (no request can be had): it has lost its port as on a
// DSR drop, so the close worker runs, and stop and removal complete instead of waiting for ever.
TEST(StartStop, receive_engine_that_cannot_rearm_closes_the_port_and_removal_completes) {
    ReaderRig rig;
    ASSERT_EQ(rig.AddAndStart(), STATUS_SUCCESS);
    // The start armed the first wait; the next arming is the re-arm at the end of a receive run.
    rig.K().InjectFault(kernel::FaultRule{"IoAllocateIrp", "ArmSerialWait", 1, 0});
    rig.InsertCard();
    rig.K().Sleep(20);
    EXPECT_EQ(rig.Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_PRESENT);
    EXPECT_FALSE(rig.PortOpen());
    EXPECT_FALSE(rig.InterfaceEnabled());
    rig.K().ClearFaults();
    EXPECT_EQ(rig.K().Pnp().StopForRebalance(rig.Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(rig.PortOpen());
    rig.K().InjectFault(kernel::FaultRule{"IoAllocateIrp", "ArmSerialWait", 1, 0});
    rig.RemoveCard();
    rig.K().Sleep(20);
    EXPECT_FALSE(rig.PortOpen());
    // Finish removes the device: its stop returns at once.
}

// A start that fails after the wait was armed gives the port back without a word to the reader: no
// card was powered by it, so no power-off and no shut-down table, and no 200 ms pause either.
TEST(StartStop, failed_start_gives_the_port_back_without_talking_to_the_reader) {
    RigOptions o;
    o.fakeReader = true;
    ReaderRig rig(o);
    ASSERT_EQ(rig.Add(), STATUS_SUCCESS);
    rig.Fake().replyOverride.push_back(0x84);  // the initialisation's first register write is refused
    const uint64_t before = rig.K().NowNs();
    EXPECT_EQ(rig.Start(), STATUS_DATA_ERROR);
    const uint64_t took = rig.K().NowNs() - before;
    EXPECT_EQ(rig.EventCodes(), std::vector<uint32_t>{0x40040009});
    // The version read and the refused write, and nothing after them.
    EXPECT_EQ(rig.Fake().received, (std::vector<uint8_t>{0xC0, 0x88, 0x00}));
    // Eight setup requests with their pauses, then two commands of a byte or two each way, and
    // 25 ms of a quiet line after the refusal, in case the reader misread the command.
    EXPECT_LT(took, 230'000'000u);
    EXPECT_FALSE(rig.PortOpen());
    EXPECT_FALSE(rig.InterfaceEnabled());
    EXPECT_FALSE(rig.Started());
    EXPECT_EQ(rig.Start(), STATUS_SUCCESS);
}

}  // namespace
