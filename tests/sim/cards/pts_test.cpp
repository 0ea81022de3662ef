// PTS from the card's side (ISO/IEC 7816-3 clause 9), the responder alone and in a card.
#include "sim/cards/pts.h"

#include <gtest/gtest.h>

#include "sim/cards/iso_card.h"
#include "sim/cards/profiles.h"
#include "tests/sim/cards/card_harness.h"
#include "tests/sim/reader_bench.h"

namespace lmscr::sim::cards {
namespace {

using testing::DirectLink;

PtsOutcome Answer(PtsMode mode, const Bytes& rq, uint16_t protocols = 0b11, uint8_t ta1 = 0x13) {
    return PtsResponder(mode, protocols, ta1).Answer(rq, false);
}

TEST(PtsResponderTest, echo_accepts_the_rate_of_ta1_and_lower_d) {
    auto o = Answer(PtsMode::Echo, {0xFF, 0x11, 0x13, 0xFD});
    EXPECT_EQ(o.response, (Bytes{0xFF, 0x11, 0x13, 0xFD}));
    EXPECT_TRUE(o.success);
    EXPECT_EQ(o.rate.f, 372u);
    EXPECT_EQ(o.rate.d, 4u);
    o = Answer(PtsMode::Echo, {0xFF, 0x10, 0x12, 0xFD});  // T=0, D = 2
    EXPECT_EQ(o.response, (Bytes{0xFF, 0x10, 0x12, 0xFD}));
    EXPECT_EQ(o.rate.d, 2u);
}

TEST(PtsResponderTest, echo_leaves_out_pts1_it_cannot_run) {
    // D = 8 is beyond TA1's D = 4: PTS1 is left out and Fd/Dd stay (9.3).
    auto o = Answer(PtsMode::Echo, {0xFF, 0x10, 0x14, 0xFB});
    EXPECT_EQ(o.response, (Bytes{0xFF, 0x00, 0xFF}));
    EXPECT_TRUE(o.success);
    EXPECT_TRUE(SameRate(o.rate, kDefaultRate));
}

TEST(PtsResponderTest, erroneous_requests_get_no_answer) {
    EXPECT_TRUE(Answer(PtsMode::Echo, {0xFF, 0x11, 0x13, 0x00}).response.empty());  // PCK
    EXPECT_TRUE(Answer(PtsMode::Echo, {0xFF, 0x02, 0xFD}).response.empty());        // T=2
    EXPECT_TRUE(PtsResponder(PtsMode::Echo, 1, 0x13).Answer({0xFF, 0x00, 0xFF}, true).response.empty());
}

TEST(PtsResponderTest, refuse_names_another_protocol_and_default_drops_pts1) {
    auto r = Answer(PtsMode::Refuse, {0xFF, 0x11, 0x13, 0xFD});
    EXPECT_FALSE(r.success);
    ASSERT_EQ(r.response.size(), 3u);
    EXPECT_NE(r.response[1] & 0x0F, 1);
    EXPECT_EQ(r.response[0] ^ r.response[1] ^ r.response[2], 0);
    auto d = Answer(PtsMode::DefaultRate, {0xFF, 0x11, 0x13, 0xFD});
    EXPECT_EQ(d.response, (Bytes{0xFF, 0x01, 0xFE}));
    EXPECT_TRUE(d.success);
    EXPECT_TRUE(Answer(PtsMode::Silent, {0xFF, 0x11, 0x13, 0xFD}).response.empty());
}

TEST(PtsResponderTest, counter_default_answers_other_factors_with_pts1_11_and_echoes_fd_dd) {
    auto c = Answer(PtsMode::CounterDefault, {0xFF, 0x11, 0x13, 0xFD});
    EXPECT_EQ(c.response, (Bytes{0xFF, 0x11, 0x11, 0xFF}));
    EXPECT_FALSE(c.success);
    auto e = Answer(PtsMode::CounterDefault, {0xFF, 0x11, 0x11, 0xFF});
    EXPECT_EQ(e.response, (Bytes{0xFF, 0x11, 0x11, 0xFF}));
    EXPECT_TRUE(e.success);
}

TEST(PtsResponderTest, sweep_every_pts1_against_the_rules) {
    // Independent statement of the card's rule: accepted iff the pair is Fd/Dd, or the
    // card's own TA1, or its Fi with a power-of-two Di no higher than its own.
    static const int kD[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
    static const int kF[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
    for (uint8_t ta1 : {uint8_t{0x11}, uint8_t{0x13}, uint8_t{0x96}}) {
        for (int pts1 = 0; pts1 < 256; ++pts1) {
            const uint8_t pck = static_cast<uint8_t>(0xFF ^ 0x10 ^ pts1);
            auto o = Answer(PtsMode::Echo, {0xFF, 0x10, static_cast<uint8_t>(pts1), pck}, 1, ta1);
            const int f = kF[pts1 >> 4], d = kD[pts1 & 15];
            const bool valid = f != 0 && d != 0;
            const bool is_default = valid && f * 1 == 372 * d;
            const bool accepted = valid && (is_default || pts1 == ta1 ||
                                            ((pts1 >> 4) == (ta1 >> 4) && d != 12 && d != 20 &&
                                             d <= kD[ta1 & 15]));
            ASSERT_TRUE(o.success) << pts1;
            EXPECT_EQ(o.response.size(), accepted ? 4u : 3u) << "TA1 " << int(ta1) << " PTS1 " << pts1;
        }
    }
}

// The card switches its rate right after the response's check byte; the response itself goes
// out at Fd/Dd, the first character after it at the new rate.
TEST(PtsCardTest, rate_changes_after_the_check_byte) {
    IsoCardOptions o;
    o.atr = WithTck({0x3B, 0x94, 0x13, 0x80, 0x31, 0xFE, 0x45, 0x4C, 0x4D, 0x32, 0x30});
    auto card = IsoCard::Make(o);
    ASSERT_TRUE(card);
    DirectLink link(*card);
    link.Reset();
    link.TakeAll();
    link.ReaderSend({0xFF, 0x11, 0x13, 0xFD});
    EXPECT_TRUE(SameRate(card->CurrentRate(), Rate{372, 4}));
    std::vector<testing::CardChar> answer;
    while (auto c = link.TakeCardChar()) answer.push_back(*c);
    ASSERT_EQ(answer.size(), 4u);
    for (const auto& c : answer) EXPECT_TRUE(SameRate(c.rate, kDefaultRate));
    EXPECT_EQ(answer[3].byte, 0xFD);
    EXPECT_EQ(card->Protocol(), 1);
    // A T=1 block at the new rate: the card's R-block for a bad first block, 12 etu after
    // the reader's last character at D = 4.
    link.ReaderSend({0x00, 0x00, 0x00, 0x01});  // LRC wrong
    auto c = link.TakeCardChar();
    ASSERT_TRUE(c);
    EXPECT_TRUE(SameRate(c->rate, Rate{372, 4}));
    EXPECT_EQ(c->byte, 0x00);
    EXPECT_EQ(link.TakeAll(), (Bytes{0x81, 0x00, 0x81}));  // R(0), EDC error (Rule 7.5)
}

TEST(PtsCardTest, silent_and_refusing_cards_go_quiet_until_reset) {
    for (PtsMode mode : {PtsMode::Silent, PtsMode::Refuse}) {
        IsoCardOptions o;
        o.atr = WithTck({0x3B, 0x94, 0x13, 0x80, 0x31, 0xFE, 0x45, 0x4C, 0x4D, 0x32, 0x30});
        o.pts = mode;
        auto card = IsoCard::Make(o);
        DirectLink link(*card);
        link.Reset();
        link.TakeAll();
        link.ReaderSend({0xFF, 0x11, 0x13, 0xFD});
        const Bytes answer = link.TakeAll();
        EXPECT_EQ(answer.empty(), mode == PtsMode::Silent);
        EXPECT_FALSE(card->Protocol());
        EXPECT_TRUE(SameRate(card->CurrentRate(), kDefaultRate));
        link.ReaderSend({0x00, 0xB0, 0x00, 0x00, 0x01});
        EXPECT_TRUE(link.CardSilent());
        // A warm reset brings it back, and without PTS it runs its first protocol.
        link.Reset(ResetKind::Warm);
        link.TakeAll();
        link.ReaderSend({0x00, 0xB0, 0x00, 0x00, 0x01});
        EXPECT_FALSE(link.CardSilent());
        EXPECT_EQ(card->Protocol(), 0);
    }
}

// Behind the simulated reader: the reader snoops the exchange and switches with the card, so
// the next command runs at D = 4 with no character garbled.
class PtsThroughReaderTest : public ::testing::Test {
protected:
    void InsertAndActivate(const char* profile) {
        ASSERT_TRUE(bench.reader->InsertCard(MakeCardProfile(profile)));
        bench.Run(10'000'000);
        bench.Take();
        bench.HostWrite({0x83, 0x1D});  // activate
        bench.Run(50'000'000);
        atr = bench.Take();
    }
    ::lmscr::sim::testing::ReaderBench bench;
    Bytes atr;
};

TEST_F(PtsThroughReaderTest, echoed_pts_moves_card_and_reader_together) {
    InsertAndActivate("t0");
    EXPECT_EQ(atr, (Bytes{0x90, 0x3B, 0x14, 0x13, 0x4C, 0x4D, 0x30, 0x30}));
    bench.HostWrite({0x44, 0xFF, 0x10, 0x13, 0xFC});
    bench.Run(50'000'000);
    EXPECT_EQ(bench.Take(), (Bytes{0x90, 0xFF, 0x10, 0x10, 0x13, 0xFC}));  // 10 escaped on the host line
    EXPECT_TRUE(SameRate(bench.reader->CardRate(), Rate{372, 4}));
    bench.HostWrite({0x45, 0x00, 0x20, 0x00, 0x01, 0x00});  // VERIFY, status only
    bench.Run(50'000'000);
    EXPECT_EQ(bench.Take(), (Bytes{0x90, 0x63, 0xC3}));
    EXPECT_EQ(bench.reader->Stats().card_parity_errors, 0u);
}

TEST_F(PtsThroughReaderTest, silent_card_leaves_the_reader_to_time_out) {
    InsertAndActivate("pts-silent");
    bench.HostWrite({0x44, 0xFF, 0x10, 0x13, 0xFC});
    bench.Run(1'500'000'000);  // the reader's block time-out, 9600 etu, is about 1 s
    EXPECT_EQ(bench.Take(), (Bytes{0x90, 0x10, 0x83}));
    EXPECT_TRUE(SameRate(bench.reader->CardRate(), kDefaultRate));
}

}  // namespace
}  // namespace lmscr::sim::cards
