// Exchange timing: commands through the whole stack (class library, driver, serial port,
// simulated reader and card) take the time of their line model (exchange_model.h), the
// workloads of `make bench`; an exchange repeated takes the same time again.
#include "card_session.h"
#include "exchange_model.h"

#include "sim/cards/atr_info.h"
#include "sim/cards/iso_card.h"

#include <cmath>

using namespace lmscr;
using namespace lmscr::test;
using namespace lmscr::exchange;

namespace {

constexpr int kRuns = 3;

std::string Hex(const Bytes& b) {
    std::string s;
    for (uint8_t x : b) {
        char t[4];
        std::snprintf(t, sizeof t, "%02X", x);
        s += t;
    }
    return s;
}

std::string Describe(const LineModel& m) {
    std::string s;
    for (const Term& t : m.terms) s += "  " + t.what + ": " + std::to_string(t.Ns() / 1e3) + " us\n";
    return s;
}

sim::cards::IsoCard& Card(CardSession& s) {
    return *static_cast<sim::cards::IsoCard*>(s.rig.Port().Reader().CardInSlot());
}

// One command through the transmit request: its answer checked, its virtual time returned.
uint64_t Timed(CardSession& s, const Exchange& e) {
    NTSTATUS status = 0;
    const uint64_t before = s.rig.K().NowNs();
    const Bytes answer = s.Transmit(e.command, &status);
    const uint64_t ns = s.rig.K().NowNs() - before;
    EXPECT_EQ(status, STATUS_SUCCESS) << e.name;
    EXPECT_EQ(answer.size(), e.answer_data + 2) << e.name << ": " << Hex(answer);
    if (answer.size() >= 2) {
        EXPECT_EQ(answer[answer.size() - 2] << 8 | answer.back(), e.sw) << e.name << ": " << Hex(answer);
    }
    return ns;
}

class ExchangeTiming : public ::testing::Test {
protected:
    // Inserts the workload's card, resets it, selects its protocol and sends the commands
    // that prepare it.
    void Prepare(const Workload& w) {
        session.Start(w.card);
        session.PowerAndSelect(w.protocol == 1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0);
        ASSERT_EQ(session.Smartcard()->CardCapabilities.Protocol.Selected,
                  ULONG(w.protocol == 1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0));
        // The model counts etu at Fd/Dd: the card and the reader must both run there.
        ASSERT_TRUE(sim::SameRate(session.rig.Port().Reader().CardRate(), sim::kDefaultRate));
        ASSERT_TRUE(sim::SameRate(Card(session).CurrentRate(), sim::kDefaultRate));
        for (const Bytes& c : w.prepare) ASSERT_EQ(session.Transmit(c), Bytes({0x90, 0x00})) << Hex(c);
    }

    // Each exchange of the workload, kRuns times over, against its model; every run of an
    // exchange takes exactly what its first run took.
    void RunAndCheck(const Workload& w) {
        for (int run = 0; run < kRuns; ++run) {
            SCOPED_TRACE(w.id + " run " + std::to_string(run));
            uint64_t total = 0;
            for (size_t i = 0; i < w.exchanges.size(); ++i) {
                const Exchange& e = w.exchanges[i];
                const uint64_t ns = Timed(session, e);
                EXPECT_NEAR(double(ns), e.model.Ns(), kModelToleranceNs) << e.name << "\n" << Describe(e.model);
                if (run == 0) first.push_back(ns);
                EXPECT_EQ(ns, first[i]) << e.name;
                total += ns;
            }
            EXPECT_NEAR(double(total), w.Model().Ns(), kModelToleranceNs);
        }
    }

    CardSession session;
    std::vector<uint64_t> first;
};

TEST_F(ExchangeTiming, w1_t1_read_of_252_bytes_in_one_block_at_ifsd_254) {
    const Workload w = W1();
    ASSERT_NO_FATAL_FAILURE(Prepare(w));
    // The first command after the reset carried the library's IFSD request, which the card took.
    EXPECT_EQ(session.Smartcard()->T1.IFSD, 254);
    EXPECT_EQ(session.Smartcard()->CardCapabilities.T1.IFSC, 254);
    EXPECT_EQ(Card(session).T1().Ifsd(), 254);
    const uint32_t blocks = Card(session).T1().Stats().blocks_received;
    RunAndCheck(w);
    // One block each way per read: the answer was not chained.
    EXPECT_EQ(Card(session).T1().Stats().blocks_received, blocks + kRuns);
    const Bytes content = sim::cards::CardApplication::InitialContent(kEfLong);
    Bytes want(content.begin(), content.begin() + 252);
    want.insert(want.end(), {0x90, 0x00});
    EXPECT_EQ(session.Transmit(w.exchanges[0].command), want);
}

TEST_F(ExchangeTiming, w2_t0_update_of_255_bytes_in_eleven_send_data_commands) {
    const Workload w = W2();
    ASSERT_NO_FATAL_FAILURE(Prepare(w));
    RunAndCheck(w);
    const Bytes& command = w.exchanges[0].command;
    const Bytes* file = Card(session).Application().FileContent(kEfLong);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Bytes(file->begin(), file->begin() + 255), Bytes(command.begin() + 5, command.end()));
}

TEST_F(ExchangeTiming, w3_t0_case_4_select_then_get_response_each_and_the_pair) {
    const Workload w = W3();
    ASSERT_NO_FATAL_FAILURE(Prepare(w));
    RunAndCheck(w);
    // GET RESPONSE took what the card kept; nothing is left for another.
    EXPECT_EQ(Card(session).Application().PendingBytes(), 0u);
}

TEST_F(ExchangeTiming, w4_case_1_verify_on_t1) {
    const Workload w = W4(1);
    ASSERT_NO_FATAL_FAILURE(Prepare(w));
    RunAndCheck(w);
}

TEST_F(ExchangeTiming, w4_case_1_verify_on_t0) {
    const Workload w = W4(0);
    ASSERT_NO_FATAL_FAILURE(Prepare(w));
    RunAndCheck(w);
}

// A T=1 card with CWI 1: the reader's character time-out (14 etu) runs out before the host
// line has been silent for 1 ms, and the end-of-block report waits for that silence instead.
TEST_F(ExchangeTiming, t1_end_of_block_report_waits_for_the_silent_host_line_when_cwt_is_shorter) {
    // TD1 81, TD2 31: TA3 20 (IFSC 32), TB3 41 (BWI 4, CWI 1).
    const Bytes atr = sim::cards::WithTck({0x3B, 0x94, 0x13, 0x81, 0x31, 0x20, 0x41, 0x4C, 0x4D, 0x31, 0x34});
    Workload w = W4(1);
    w.card = "atr:" + Hex(atr);
    w.exchanges[0].model = T1Exchange(3 + 4 + 1, 3 + 2 + 1, 1);
    ASSERT_LT(T1CharTimeoutEtu(1) * kEtuNs, kFrameEtu * kEtuNs + kHostByteNs + kTimeoutSilenceNs);
    ASSERT_NO_FATAL_FAILURE(Prepare(w));
    EXPECT_EQ(session.Smartcard()->CardCapabilities.T1.CWI, 1);
    RunAndCheck(w);
}

// A T=1 card without TB3 runs at CWI 13: CWT is 8203 etu, and the end-of-block report after
// every block of the card comes 9023 etu (0.94 s) after its last character.
TEST_F(ExchangeTiming, t1_end_of_block_report_after_the_default_cwi_13_takes_the_whole_character_time_out) {
    // TD1 81, TD2 11: TA3 FE (IFSC 254), no TB3.
    const Bytes atr = sim::cards::WithTck({0x3B, 0x94, 0x13, 0x81, 0x11, 0xFE, 0x4C, 0x4D, 0x31, 0x35});
    Workload w = W4(1);
    w.card = "atr:" + Hex(atr);
    w.exchanges[0].model = T1Exchange(3 + 4 + 1, 3 + 2 + 1, 13);
    ASSERT_NO_FATAL_FAILURE(Prepare(w));
    EXPECT_EQ(session.Smartcard()->CardCapabilities.T1.CWI, 13);
    RunAndCheck(w);
}

// A block of more than 24 bytes: its second command waits in the reader's FIFO while the first
// runs, and the card has the block's characters back to back, 12 etu apart, as from one command.
// UPDATE BINARY of 20 bytes on the "dual" card: a block of 3 + 25 + 1 bytes, commands of 24 and 5.
TEST_F(ExchangeTiming, t1_block_of_two_send_data_commands_is_one_run_of_characters) {
    Workload w = W1();
    w.exchanges = {{"UPDATE BINARY 20", UpdateCommand(20), 0x9000, 0, T1Exchange(3 + 25 + 1, 3 + 2 + 1, 5)}};
    ASSERT_NO_FATAL_FAILURE(Prepare(w));
    RunAndCheck(w);
}

// The "t1-strict" card drops a block when the characters it receives stop for longer than CWT
// (43 etu at CWI 5).  UPDATE BINARY of 255 bytes reaches it as a chain at its IFSC of 32: eight
// I-blocks of 3 + 32 + 1 bytes (commands of 24 and 12), each acknowledged with an R-block of 4,
// then one of 3 + 4 + 1 answered with 90 00, each block in the time of its line model.
TEST_F(ExchangeTiming, t1_strict_card_takes_a_chain_of_blocks_of_two_commands_each) {
    LineModel update;
    for (int block = 0; block < 8; ++block) update.Append(T1Exchange(3 + 32 + 1, 3 + 0 + 1, 5));
    update.Append(T1Exchange(3 + 4 + 1, 3 + 2 + 1, 5));
    Workload w{"strict", "T=1 UPDATE BINARY 255 bytes at IFSC 32", "t1-strict", 1, kRateFdDd, {kSelectDf, kSelectLong},
               {{"UPDATE BINARY 255", UpdateCommand(255), 0x9000, 0, update}}};
    ASSERT_NO_FATAL_FAILURE(Prepare(w));
    EXPECT_EQ(session.Smartcard()->CardCapabilities.T1.IFSC, 32);
    const sim::cards::T1Stats before = Card(session).T1().Stats();
    RunAndCheck(w);
    const sim::cards::T1Stats& after = Card(session).T1().Stats();
    EXPECT_EQ(after.blocks_received - before.blocks_received, 9u * kRuns);
    EXPECT_EQ(after.partial_blocks_dropped, before.partial_blocks_dropped);
    EXPECT_EQ(after.invalid_blocks, before.invalid_blocks);
    const Bytes& command = w.exchanges[0].command;
    const Bytes* file = Card(session).Application().FileContent(kEfLong);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Bytes(file->begin(), file->begin() + 255), Bytes(command.begin() + 5, command.end()));
}

}  // namespace
