// The reader session of the card commands across power changes and card moves, and the reading
// of a power change that the demo and the script steps print.
#include "session.h"

#include <gtest/gtest.h>

namespace lmscr::tool {
namespace {

using Lines = std::vector<std::pair<double, std::string>>;

TEST(ReaderWork, register_tables_and_card_state_reads_in_a_few_words) {
    const std::vector<std::string> trace = {
        "   531.103 ms host->reader  84 00         write reg 4 (card state) = 0x00: card off",
        "   532.145 ms reader->host  90            reply 0x90 done",
        "   732.665 ms host->reader  C4            read reg 4 (card state)",
        "   733.186 ms reader->host  01            reg 4 (card state) = 0x01 (card present)",
        "   733.707 ms host->reader  84 00         write reg 4 (card state) = 0x00: card off",
        "   734.749 ms reader->host  90            reply 0x90 done",
        "   735.270 ms host->reader  82 00         write reg 2 (mode) = 0x00",
        "   736.311 ms reader->host  90            reply 0x90 done",
        "  1936.832 ms host->reader  88 00         write reg 8 = 0x00",
        "  1937.874 ms reader->host  90            reply 0x90 done",
        "  1938.395 ms host->reader  82 4F         write reg 2 (mode) = 0x4F",
        "  1939.436 ms reader->host  90            reply 0x90 done",
        "  1939.957 ms host->reader  C4            read reg 4 (card state)",
        "  1940.478 ms reader->host  00            reg 4 (card state) = 0x00 (no card)",
        "  1940.999 ms host->reader  C4            read reg 4 (card state)",
        "  1941.520 ms reader->host  00            reg 4 (card state) = 0x00 (no card)",
        // Register 8 written alone is no initialisation; a line that is no wire line is skipped.
        "  1942.000 ms host->reader  88 00         write reg 8 = 0x00",
        "  (a note)",
    };
    EXPECT_EQ(ReaderWork(trace), (Lines{{531.103, "card powered down"},
                                        {732.665, "card state read: card present"},
                                        {733.707, "reader registers shut down"},
                                        {1936.832, "reader initialised"},
                                        {1939.957, "card state read: no card"}}));
}

TEST(PowerSteps, a_request_that_takes_time_is_sent_then_done_inner_first) {
    PowerChange c;
    kernel::PowerIrpRecord query, set, d3;
    query.minor = IRP_MN_QUERY_POWER;
    query.state.SystemState = PowerSystemSleeping3;
    query.completed = true;
    query.status = STATUS_SUCCESS;
    query.sentNs = query.completedNs = 10'000'000;
    set = query;
    set.minor = IRP_MN_SET_POWER;
    set.completedNs = 410'000'000;
    d3 = set;
    d3.type = DevicePowerState;
    d3.state.DeviceState = PowerDeviceD3;
    d3.requested = true;
    c.irps = {query, set, d3};
    c.trace = {"    11.000 ms host->reader  84 00         write reg 4 (card state) = 0x00: card off"};
    EXPECT_EQ(PowerSteps(c), (Lines{{10.0, "query-power S3: STATUS_SUCCESS"},
                                    {10.0, "set-power S3 sent"},
                                    {10.0, "set-power D3 asked for by the driver"},
                                    {11.0, "card powered down"},
                                    {410.0, "set-power D3: STATUS_SUCCESS after 400.000 ms"},
                                    {410.0, "set-power S3: STATUS_SUCCESS after 400.000 ms"}}));
}

// The session as the script steps drive it: the reader goes off with the port and sees nothing
// of a card moved meanwhile; the wake reads the slot.
TEST(ReaderSessionPower, card_moves_while_asleep_are_found_at_the_wake) {
    GlobalOptions options;
    ReaderSession s(options, stderr);
    ASSERT_TRUE(s.Start());
    ASSERT_TRUE(s.InsertCard());
    EXPECT_FALSE(s.InsertCard("t0"));  // the slot is taken
    EXPECT_FALSE(s.Asleep());
    s.NewTraceLines();

    const PowerChange sleep = s.SetSystemState(PowerSystemHibernate);
    ASSERT_EQ(sleep.status, STATUS_SUCCESS);
    EXPECT_TRUE(s.Asleep());
    EXPECT_FALSE(s.ReaderPowered());
    EXPECT_EQ(s.DeviceState(), PowerDeviceD3);
    ASSERT_EQ(sleep.irps.size(), 3u);  // the query, the set, the driver's D3
    EXPECT_EQ(sleep.irps[2].requested, true);
    EXPECT_EQ(PowerStateText(sleep.irps[1]), "S4");
    EXPECT_EQ(PowerStateText(sleep.irps[2]), "D3");
    EXPECT_DOUBLE_EQ(sleep.ms, static_cast<double>(sleep.irps[1].completedNs - sleep.irps[1].sentNs) / 1e6);
    EXPECT_FALSE(sleep.trace.empty());

    ASSERT_TRUE(s.RemoveCard());
    EXPECT_FALSE(s.RemoveCard());
    EXPECT_EQ(s.CardState(), (ULONG)SCARD_PRESENT);  // unseen
    EXPECT_TRUE(s.NewTraceLines().empty());
    ASSERT_TRUE(s.InsertCard("t0"));

    // The wake reads the slot: the new card, reported as newly inserted.
    const PowerChange wake = s.SetSystemState(PowerSystemWorking);
    ASSERT_EQ(wake.status, STATUS_SUCCESS);
    EXPECT_FALSE(s.Asleep());
    EXPECT_TRUE(s.ReaderPowered());
    EXPECT_EQ(s.DeviceState(), PowerDeviceD0);
    EXPECT_EQ(s.CardState(), (ULONG)SCARD_SWALLOWED);
    EXPECT_EQ(s.Power(SCARD_COLD_RESET).result.status, STATUS_SUCCESS);
    EXPECT_EQ(s.Finish(), "");
}

TEST(ReaderSessionPower, critical_sleep_sends_no_query) {
    GlobalOptions options;
    ReaderSession s(options, stderr);
    ASSERT_TRUE(s.Start());
    const PowerChange sleep = s.SetSystemState(PowerSystemShutdown, true);
    ASSERT_EQ(sleep.status, STATUS_SUCCESS);
    ASSERT_EQ(sleep.irps.size(), 2u);  // the set, the driver's D3
    for (const auto& irp : sleep.irps) EXPECT_EQ(irp.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(PowerStateText(sleep.irps[0]), "S5");
    EXPECT_EQ(s.SetSystemState(PowerSystemWorking).status, STATUS_SUCCESS);
    EXPECT_EQ(s.CardState(), (ULONG)SCARD_ABSENT);
    EXPECT_EQ(s.Finish(), "");
}

}  // namespace
}  // namespace lmscr::tool
