// The reader session of the card commands across power changes and card moves, the reading of a
// power change that the demo and the script steps print, the PC/SC back end's words for a
// failure, and `lmscr power` stopped by a signal.
#include "session.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

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

// A PC/SC call's failure as the card commands see it: the constant's name for the person, the
// NTSTATUS the driver would have answered for the program's logic.
TEST(PcscStatus, each_result_has_its_name_and_the_nearest_status) {
    struct Case {
        uint32_t code;
        const char* name;
        NTSTATUS status;
    };
    const Case cases[] = {
        {0x00000000, "SCARD_S_SUCCESS", STATUS_SUCCESS},
        {0x8010000C, "SCARD_E_NO_SMARTCARD", STATUS_NO_MEDIA},
        {0x80100069, "SCARD_W_REMOVED_CARD", STATUS_NO_MEDIA},
        {0x80100068, "SCARD_W_RESET_CARD", STATUS_INVALID_DEVICE_STATE},
        {0x80100067, "SCARD_W_UNPOWERED_CARD", STATUS_INVALID_DEVICE_STATE},
        {0x80100066, "SCARD_W_UNRESPONSIVE_CARD", STATUS_IO_TIMEOUT},
        {0x80100065, "SCARD_W_UNSUPPORTED_CARD", STATUS_UNRECOGNIZED_MEDIA},
        {0x80100017, "SCARD_E_READER_UNAVAILABLE", STATUS_DEVICE_REMOVED},
        {0x80100009, "SCARD_E_UNKNOWN_READER", STATUS_NO_SUCH_DEVICE},
        {0x8010002E, "SCARD_E_NO_READERS_AVAILABLE", STATUS_NO_SUCH_DEVICE},
        {0x8010001D, "SCARD_E_NO_SERVICE", STATUS_NO_SUCH_DEVICE},
        {0x8010001E, "SCARD_E_SERVICE_STOPPED", STATUS_NO_SUCH_DEVICE},
        {0x8010000A, "SCARD_E_TIMEOUT", STATUS_IO_TIMEOUT},
        {0x80100002, "SCARD_E_CANCELLED", STATUS_CANCELLED},
        {0x8010000B, "SCARD_E_SHARING_VIOLATION", STATUS_SHARING_VIOLATION},
        {0x8010000F, "SCARD_E_PROTO_MISMATCH", STATUS_INVALID_DEVICE_REQUEST},
        {0x80100016, "SCARD_E_NOT_TRANSACTED", STATUS_IO_DEVICE_ERROR},
        {0x80100008, "SCARD_E_INSUFFICIENT_BUFFER", STATUS_BUFFER_TOO_SMALL},
        {0x80100004, "SCARD_E_INVALID_PARAMETER", STATUS_INVALID_PARAMETER},
        // pcsc-lite gives SCARD_E_UNEXPECTED the value of SCARD_E_UNSUPPORTED_FEATURE.
        {0x8010001F, "SCARD_E_UNSUPPORTED_FEATURE", STATUS_NOT_SUPPORTED},
        {0x80100001, "SCARD_F_INTERNAL_ERROR", STATUS_UNSUCCESSFUL},
        {0x80100099, "PC/SC error 0x80100099", STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pcsc::ErrorName(c.code), c.name);
        EXPECT_EQ(kernel::StatusName(PcscStatus(c.code)), kernel::StatusName(c.status)) << c.name;
    }
}

// The protocol an ATR names first, by the walk of `lmscr atr`: TD1's, T=0 alone without TD1,
// nothing for a protocol the reader does not run or bytes that end before TD1.
TEST(FirstOfferedProtocol, td1_names_it_and_without_td1_it_is_t0) {
    const std::pair<const char*, ULONG> cases[] = {
        {"3B 14 13 4C 4D 30 30", SCARD_PROTOCOL_T0},                   // no TD1
        {"3B 94 13 81 31 20 45 4C 4D 31 30 52", SCARD_PROTOCOL_T1},    // TD1 for T=1
        {"3B 94 13 80 31 FE 45 4C 4D 32 30 8E", SCARD_PROTOCOL_T0},    // T=0 first, T=1 in TD2
        {"3B 80 0E 8E", 0},                                            // T=14
        {"3B 94 13", 0},                                               // ends before TD1
        {"3B", 0},
    };
    for (const auto& [atr, protocol] : cases) EXPECT_EQ(FirstOfferedProtocol(*ParseHexBytes(atr)), protocol) << atr;
}

// SIGINT or SIGTERM during `lmscr power`: the card is powered down at the next request's end and
// what was done is printed, in text or as the JSON document; exit 130. Each test runs in a process
// of its own, so the signal's flag stays in this one.
TEST(RunPower, a_stop_signal_powers_the_card_down_and_exits_130) {
    struct Case {
        bool json;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {false,
         {"lmscr power: card 't1' on the built-in simulated reader, virtual time",
          "card 't1' inserted: SCARD_PRESENT", "stopped by a signal; card powered down: STATUS_SUCCESS"}},
        {true,
         {"{", "  \"run\": \"power\",", "  \"card\": \"t1\",", "  \"atr\": \"\",", "  \"protocol\": \"none\",",
          "  \"steps\": [", "", "  ],",
          "  \"stopped\": \"stopped by a signal; card powered down: STATUS_SUCCESS\",", "  \"ok\": false", "}"}},
    };
    CatchStopSignals();
    std::raise(SIGINT);
    ASSERT_TRUE(StopRequested());
    for (const Case& c : cases) {
        GlobalOptions options;
        options.json = c.json;
        std::FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(RunPower(options, false, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, out), 130);
        std::rewind(out);
        std::vector<std::string> lines;
        char line[512];
        while (std::fgets(line, sizeof line, out)) {
            std::string text = line;
            text.pop_back();
            // The virtual time before a text line, and the power-down step's own: not the point.
            if (!c.json && text.find(" ms  ") == 10) text = text.substr(15);
            if (c.json && text.find("    {\"at_ms\": ") == 0) {
                EXPECT_NE(text.find("\"step\": \"power down\", \"status\": \"STATUS_SUCCESS\""), std::string::npos) << text;
                text.clear();
            }
            lines.push_back(text);
        }
        std::fclose(out);
        EXPECT_EQ(lines, c.lines);
    }
}

}  // namespace
}  // namespace lmscr::tool
