// The T=1 card driven directly: blocks scripted byte by byte, each answer compared with the
// block ISO/IEC 7816-3 clause 11 prescribes from the card, with BGT, BWT and CWT checked.
#include "sim/cards/t1_card.h"

#include <gtest/gtest.h>

#include "sim/cards/iso_card.h"
#include "sim/cards/profiles.h"
#include "tests/sim/cards/card_harness.h"

namespace lmscr::sim::cards {
namespace {

using testing::Cat;
using testing::DirectLink;

bool g_crc = false;

Bytes Blk(uint8_t pcb, const Bytes& inf = {}, uint8_t nad = 0) {
    Bytes b{nad, pcb, static_cast<uint8_t>(inf.size())};
    b.insert(b.end(), inf.begin(), inf.end());
    if (g_crc) {
        const uint16_t crc = T1Crc(b.data(), b.size());
        b.push_back(static_cast<uint8_t>(crc));
        b.push_back(static_cast<uint8_t>(crc >> 8));
    } else {
        b.push_back(T1Lrc(b.data(), b.size()));
    }
    return b;
}
Bytes I(int ns, bool more, const Bytes& inf) { return Blk(static_cast<uint8_t>(ns << 6 | (more ? 0x20 : 0)), inf); }
Bytes R(int nr, uint8_t err = 0) { return Blk(static_cast<uint8_t>(0x80 | nr << 4 | err)); }
Bytes S(uint8_t pcb, const Bytes& inf = {}) { return Blk(pcb, inf); }
const Bytes kChallenge8 = {0x00, 0x84, 0x00, 0x00, 0x08};

class T1CardTest : public ::testing::Test {
protected:
    void SetUp() override { g_crc = false; }
    void TearDown() override { g_crc = false; }
    void Make(T1Options t1 = {}, Bytes atr = WithTck({0x3B, 0x80, 0x81, 0x31, 0x20, 0x45})) {
        IsoCardOptions o;
        o.atr = std::move(atr);
        o.t1 = t1;
        card = IsoCard::Make(o);
        ASSERT_TRUE(card);
        link = std::make_unique<DirectLink>(*card);
        link->Reset();
        link->TakeAll();
    }
    // Sends a block, returns the card's block; checks BGT <= first edge <= limit and CWT.
    Bytes Exchange(const Bytes& block, uint64_t limit_etu = 0) {
        link->ReaderSend(block);
        const uint64_t last = link->LastReaderLeadingNs();
        Bytes got;
        while (auto c = link->TakeCardChar()) {
            if (got.empty()) {
                first_etu = (c->leading_ns - last) / link->Etu(1);
                EXPECT_GE(first_etu, 22u) << "BGT";
                EXPECT_LE(first_etu, limit_etu ? limit_etu : card->T1().BwtEtu()) << "BWT";
            } else {
                EXPECT_LE(link->LastGapNs(), link->Etu(card->T1().CwtEtu())) << "CWT";
            }
            got.push_back(c->byte);
        }
        return got;
    }
    std::unique_ptr<IsoCard> card;
    std::unique_ptr<DirectLink> link;
    uint64_t first_etu = 0;
};

TEST_F(T1CardTest, i_block_answered_with_i_block_after_bgt) {
    Make();
    const Bytes a = Exchange(I(0, false, kChallenge8));
    ASSERT_EQ(a.size(), 3u + 10 + 1);
    EXPECT_EQ(a[1], 0x00);  // I(0), no chaining
    EXPECT_EQ(first_etu, 22u);
    EXPECT_EQ(Bytes(a.end() - 3, a.end() - 1), (Bytes{0x90, 0x00}));
    const Bytes b = Exchange(I(1, false, kChallenge8));
    EXPECT_EQ(b[1], 0x40);  // the card's N(S) moves on
}

TEST_F(T1CardTest, chained_command_is_acknowledged_with_r_blocks) {
    Make();
    // SELECT 7F10 sent in chained pieces of 3, 3 and 1 bytes.
    EXPECT_EQ(Exchange(I(0, true, {0x00, 0xA4, 0x00})), R(1));
    EXPECT_EQ(Exchange(I(1, true, {0x0C, 0x02, 0x7F})), R(0));
    EXPECT_EQ(Exchange(I(0, false, {0x10})), I(0, false, {0x90, 0x00}));
    EXPECT_EQ(card->Application().CurrentDf(), CardApplication::kDf);
}

TEST_F(T1CardTest, long_answer_chained_within_ifsd_and_r_block_repeats) {
    Make();
    Exchange(I(0, false, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10}));
    Exchange(I(1, false, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01}));
    const Bytes file = CardApplication::InitialContent(CardApplication::kEfLong);
    const Bytes want = Cat(Bytes(file.begin(), file.begin() + 40), {0x90, 0x00});
    EXPECT_EQ(Exchange(I(0, false, {0x00, 0xB0, 0x00, 0x00, 40})), I(0, true, Bytes(want.begin(), want.begin() + 32)));
    // The reader asks again for I(0) (Rule 7.1): the same block.
    EXPECT_EQ(Exchange(R(0, 1)), I(0, true, Bytes(want.begin(), want.begin() + 32)));
    EXPECT_EQ(Exchange(R(1)), I(1, false, Bytes(want.begin() + 32, want.end())));
    // The last block lost: R(1) asks for it again.
    EXPECT_EQ(Exchange(R(1, 2)), I(1, false, Bytes(want.begin() + 32, want.end())));
}

TEST_F(T1CardTest, errors_in_the_reader_block_give_r_blocks_naming_them) {
    Make();
    Bytes bad = I(0, false, kChallenge8);
    bad.back() ^= 1;
    EXPECT_EQ(Exchange(bad), R(0, 1));  // EDC (Rule 7.1; 7.5: the first block)
    link->ReaderSend({0x00, 0x00, 0x01});
    link->ReaderSend(0x00, true);  // parity
    link->ReaderSend(0x01);
    EXPECT_EQ(link->TakeAll(), R(0, 1));
    EXPECT_EQ(Exchange(Blk(0x01, {0x00})), R(0, 2));                          // reserved PCB bits
    EXPECT_EQ(Exchange(I(1, false, kChallenge8)), R(0, 2));                   // wrong N(S)
    EXPECT_EQ(Exchange(I(0, false, Bytes(33, 0))), R(0, 2));                  // beyond IFSC 32
    EXPECT_EQ(Exchange(S(0xC3, {0x02})), R(0, 2));                            // WTX from the reader
    EXPECT_EQ(card->T1().Stats().invalid_blocks, 6u);
    EXPECT_EQ(Exchange(I(0, false, kChallenge8))[1], 0x00);  // and then all is well
}

TEST_F(T1CardTest, lost_reader_i_block_card_names_the_one_it_expects) {
    Make();
    Exchange(I(0, false, kChallenge8));
    // The reader's I(1) never arrived; its R-block asks for the card's I(1), which does not
    // exist yet: the card asks for the reader's I(1) instead.
    EXPECT_EQ(Exchange(R(1, 2)), R(1));
}

TEST_F(T1CardTest, partial_block_is_dropped_after_cwt) {
    Make();
    const Bytes blk = I(0, false, kChallenge8);
    link->ReaderSend(Bytes(blk.begin(), blk.end() - 2));
    EXPECT_TRUE(link->CardSilent());
    link->Idle(link->Etu(card->T1().CwtEtu() + 1));
    EXPECT_EQ(Exchange(blk)[1], 0x00);
    EXPECT_EQ(card->T1().Stats().partial_blocks_dropped, 1u);
}

TEST_F(T1CardTest, s_blocks_from_the_reader) {
    Make();
    EXPECT_EQ(Exchange(S(0xC1, {0xFE})), S(0xE1, {0xFE}));  // Rule 4
    EXPECT_EQ(card->T1().Ifsd(), 0xFE);
    EXPECT_EQ(Exchange(S(0xC1, {0x00})), R(0, 2));  // IFS 0 is no size
    Exchange(I(0, false, kChallenge8));
    EXPECT_EQ(Exchange(S(0xC0)), S(0xE0));  // Rule 6
    EXPECT_EQ(card->T1().Ifsd(), 32);
    EXPECT_EQ(Exchange(I(0, false, kChallenge8))[1], 0x00);  // N(S) 0 again on both sides
    // Rule 9: the reader abandons its chain.
    EXPECT_EQ(Exchange(I(1, true, {0x00, 0xD6})), R(0));
    EXPECT_EQ(Exchange(S(0xC2)), S(0xE2));
    EXPECT_EQ(Exchange(I(0, false, kChallenge8))[1], 0x40);
}

TEST_F(T1CardTest, slow_card_asks_for_wtx_and_answers_inside_it) {
    T1Options o;
    o.processing_etu = 6000;
    Make(o, WithTck({0x3B, 0x80, 0x81, 0x31, 0x20, 0x21}));  // BWI 2: BWT 3851 etu
    EXPECT_EQ(Exchange(I(0, false, kChallenge8)), S(0xC3, {0x02}));  // Rule 3
    EXPECT_EQ(card->T1().BwtEtu(), 3851u);
    const Bytes a = Exchange(S(0xE3, {0x02}), 2 * 3851);
    EXPECT_EQ(a.size(), 14u);
    EXPECT_GE(first_etu, 6000u);
    // Rule 7.3: a bad block instead of the WTX response gets the request again.
    Exchange(I(1, false, kChallenge8));
    EXPECT_EQ(Exchange(R(0, 1)), S(0xC3, {0x02}));
    EXPECT_EQ(Exchange(S(0xE3, {0x03})), S(0xC3, {0x02}));  // not the factor asked for
    EXPECT_EQ(Exchange(S(0xE3, {0x02}), 2 * 3851)[1], 0x40);
}

TEST_F(T1CardTest, slow_card_without_wtx_overruns_bwt) {
    T1Options o;
    o.processing_etu = 6000;
    o.wtx = false;
    Make(o, WithTck({0x3B, 0x80, 0x81, 0x31, 0x20, 0x21}));
    link->ReaderSend(I(0, false, kChallenge8));
    const uint64_t last = link->LastReaderLeadingNs();
    auto c = link->TakeCardChar();
    ASSERT_TRUE(c);
    EXPECT_GT(c->leading_ns - last, link->Etu(3851));
}

TEST_F(T1CardTest, card_ifs_request_then_short_chained_answers) {
    auto made = MakeCardProfile("t1-chain");
    ASSERT_TRUE(dynamic_cast<IsoCard*>(made.get()));
    card.reset(static_cast<IsoCard*>(made.release()));
    link = std::make_unique<DirectLink>(*card);
    link->Reset();
    link->TakeAll();
    EXPECT_EQ(Exchange(I(0, false, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10})), S(0xC1, {0xFE}));  // Rule 4
    EXPECT_EQ(Exchange(R(0, 2)), S(0xC1, {0xFE}));  // Rule 7.3: repeated until answered
    EXPECT_EQ(Exchange(S(0xE1, {0xFE})), I(0, false, {0x90, 0x00}));
    EXPECT_EQ(card->T1().Ifsc(), 0xFE);
    // The card now takes 200 bytes in one block, and answers in blocks of 16 at most.
    EXPECT_EQ(Exchange(I(1, false, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01})), I(1, false, {0x90, 0x00}));
    Bytes update{0x00, 0xD6, 0x00, 0x00, 200};
    update.resize(205, 0x5A);
    EXPECT_EQ(Exchange(I(0, false, update)), I(0, false, {0x90, 0x00}));
    EXPECT_EQ(Exchange(I(1, false, {0x00, 0xB0, 0x00, 0x00, 40})), I(1, true, Bytes(16, 0x5A)));
    EXPECT_EQ(Exchange(R(0)), I(0, true, Bytes(16, 0x5A)));
    EXPECT_EQ(Exchange(R(1)), I(1, false, {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x90, 0x00}));
    EXPECT_EQ(card->T1().Stats().ifs_requests, 1u);
}

TEST_F(T1CardTest, crc_card_speaks_crc) {
    g_crc = true;
    Make({}, WithTck({0x3B, 0x80, 0x81, 0x71, 0xFE, 0x45, 0x01}));
    const Bytes a = Exchange(I(0, false, kChallenge8));
    ASSERT_EQ(a.size(), 3u + 10 + 2);
    const uint16_t crc = T1Crc(a.data(), a.size() - 2);
    EXPECT_EQ(a[a.size() - 2], crc & 0xFF);
    EXPECT_EQ(a.back(), crc >> 8);
    Bytes bad = I(1, false, kChallenge8);
    bad[bad.size() - 2] ^= 0x80;
    EXPECT_EQ(Exchange(bad), R(1, 1));
}

TEST_F(T1CardTest, ifs_request_in_the_middle_of_a_chained_answer) {
    T1Options o;
    o.max_answer_inf = 32;
    o.ifs_request_in_chain = 0x40;
    Make(o);
    Exchange(I(0, false, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10}));
    EXPECT_EQ(Exchange(I(1, false, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01})), I(1, false, {0x90, 0x00}));
    const Bytes file = CardApplication::InitialContent(CardApplication::kEfLong);
    const Bytes want = Cat(Bytes(file.begin(), file.begin() + 40), {0x90, 0x00});
    EXPECT_EQ(Exchange(I(0, false, {0x00, 0xB0, 0x00, 0x00, 40})), I(0, true, Bytes(want.begin(), want.begin() + 32)));
    // The first block acknowledged: the card has the turn and asks for IFSC 64 (Rule 4).
    EXPECT_EQ(Exchange(R(1)), S(0xC1, {0x40}));
    EXPECT_EQ(Exchange(R(1)), S(0xC1, {0x40}));  // Rule 7.3: anything else, the request again
    EXPECT_EQ(Exchange(S(0xE1, {0x40})), I(1, false, Bytes(want.begin() + 32, want.end())));
    EXPECT_EQ(card->T1().Ifsc(), 0x40);
    // Every chained answer has its request; one that fits a block has none.
    EXPECT_EQ(Exchange(I(1, false, {0x00, 0xB0, 0x00, 0x00, 2})), I(0, false, {file[0], file[1], 0x90, 0x00}));
    EXPECT_EQ(Exchange(I(0, false, {0x00, 0xB0, 0x00, 0x00, 40})), I(1, true, Bytes(want.begin(), want.begin() + 32)));
    EXPECT_EQ(Exchange(R(0)), S(0xC1, {0x40}));
    EXPECT_EQ(Exchange(S(0xE1, {0x40})), I(0, false, Bytes(want.begin() + 32, want.end())));
    EXPECT_EQ(card->T1().Stats().ifs_requests, 2u);
}

TEST_F(T1CardTest, endless_card_chains_empty_i_blocks_for_ever) {
    T1Options o;
    o.endless_chain = true;
    Make(o);
    EXPECT_EQ(Exchange(I(0, false, kChallenge8)), I(0, true, {}));
    for (int i = 1; i <= 100; ++i) ASSERT_EQ(Exchange(R(i % 2)), I(i % 2, true, {})) << i;
    EXPECT_EQ(Exchange(R(0, 2)), I(0, true, {}));  // asked again: the same empty block
    EXPECT_EQ(card->T1().Stats().commands, 1u);
}

TEST_F(T1CardTest, fixed_answer_without_status_word) {
    T1Options o;
    o.fixed_answer = Bytes{0x90};
    Make(o);
    EXPECT_EQ(Exchange(I(0, false, kChallenge8)), I(0, false, {0x90}));
    EXPECT_EQ(Exchange(I(1, false, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10})), I(1, false, {0x90}));
    EXPECT_EQ(card->Application().CurrentDf(), CardApplication::kDf);  // the command still ran
    EXPECT_EQ(Exchange(S(0xC1, {0xFE})), S(0xE1, {0xFE}));  // S-blocks as any card
    o.fixed_answer = Bytes{};
    Make(o);
    EXPECT_EQ(Exchange(I(0, false, kChallenge8)), I(0, false, {}));
}

TEST_F(T1CardTest, crc_chain_profile_chains_both_ways_with_crc) {
    g_crc = true;
    auto made = MakeCardProfile("t1-crc-chain");
    ASSERT_TRUE(dynamic_cast<IsoCard*>(made.get()));
    card.reset(static_cast<IsoCard*>(made.release()));
    link = std::make_unique<DirectLink>(*card);
    link->Reset();
    link->TakeAll();
    EXPECT_EQ(card->T1().Ifsc(), 32);
    EXPECT_EQ(Exchange(I(0, false, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10})), I(0, false, {0x90, 0x00}));
    EXPECT_EQ(Exchange(I(1, false, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01})), I(1, false, {0x90, 0x00}));
    Bytes update{0x00, 0xD6, 0x00, 0x00, 40};
    for (uint8_t i = 0; i < 40; ++i) update.push_back(static_cast<uint8_t>(0xC0 + i));
    EXPECT_EQ(Exchange(I(0, true, Bytes(update.begin(), update.begin() + 32))), R(1));  // Rule 5
    EXPECT_EQ(Exchange(I(1, false, Bytes(update.begin() + 32, update.end()))), I(0, false, {0x90, 0x00}));
    const Bytes want = Cat(Bytes(update.begin() + 5, update.end()), {0x90, 0x00});
    EXPECT_EQ(Exchange(I(0, false, {0x00, 0xB0, 0x00, 0x00, 40})), I(1, true, Bytes(want.begin(), want.begin() + 24)));
    EXPECT_EQ(Exchange(R(0)), I(0, false, Bytes(want.begin() + 24, want.end())));
}

TEST(T1EdcTest, crc_known_answer_and_lrc) {
    // CRC-16 of ISO/IEC 13239 (X.25): check value of "123456789" is 906E.
    const Bytes s{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(T1Crc(s.data(), s.size()), 0x906E);
    EXPECT_EQ(T1Crc(nullptr, 0), 0x0000);
    const Bytes b{0x00, 0x00, 0x02, 0x90, 0x00};
    EXPECT_EQ(T1Lrc(b.data(), b.size()), 0x92);
}

}  // namespace
}  // namespace lmscr::sim::cards
