// The T=0 card driven directly: each conversation scripted byte by byte, with the etu
// distances between leading edges that ISO/IEC 7816-3 clause 10 bounds.
#include "sim/cards/t0_card.h"

#include <gtest/gtest.h>

#include "sim/cards/iso_card.h"
#include "tests/sim/cards/card_harness.h"

namespace lmscr::sim::cards {
namespace {

using testing::Cat;
using testing::DirectLink;

class T0CardTest : public ::testing::Test {
protected:
    void Make(T0Options t0, Bytes atr = {0x3B, 0x00}) {
        IsoCardOptions o;
        o.atr = std::move(atr);
        o.t0 = t0;
        o.app.seed = 1;
        card = IsoCard::Make(o);
        ASSERT_TRUE(card);
        link = std::make_unique<DirectLink>(*card);
        link->Reset();
        link->TakeAll();
    }
    // The card's next character and its distance in etu from the previous leading edge.
    std::pair<uint8_t, uint64_t> Next() {
        auto c = link->TakeCardChar();
        EXPECT_TRUE(c) << "card silent";
        if (!c) return {0, 0};
        return {c->byte, link->LastGapNs() / link->Etu(1)};
    }
    std::unique_ptr<IsoCard> card;
    std::unique_ptr<DirectLink> link;
};

TEST_F(T0CardTest, ack_then_all_data_then_status_at_16_and_12_etu) {
    Make({});
    link->ReaderSend({0x00, 0x84, 0x00, 0x00, 0x04});  // GET CHALLENGE, 4 bytes
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x84, 16}));  // ACK, 16 etu after the edge
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Next().second, 12u);
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x90, 12}));
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x00, 12}));
    EXPECT_TRUE(link->CardSilent());
}

TEST_F(T0CardTest, not_ins_before_each_byte_both_ways) {
    Make({T0Procedure::NotInsEachByte});
    link->ReaderSend({0x00, 0x20, 0x00, 0x01, 0x04});  // VERIFY, 4 bytes to the card
    for (uint8_t pin : {0x31, 0x32, 0x33, 0x34}) {
        EXPECT_EQ(Next().first, 0xDF);  // NOT INS: exactly one byte, then another procedure byte
        EXPECT_TRUE(link->CardSilent());
        link->ReaderSend(pin);
    }
    EXPECT_EQ(Next().first, 0x90);
    EXPECT_EQ(Next().first, 0x00);
    link->ReaderSend({0x00, 0x84, 0x00, 0x00, 0x02});
    Bytes got = link->TakeAll();
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0], 0x7B);
    EXPECT_EQ(got[2], 0x7B);
    EXPECT_EQ(Bytes(got.end() - 2, got.end()), (Bytes{0x90, 0x00}));
}

TEST_F(T0CardTest, not_ins_then_ack_takes_one_byte_then_the_rest) {
    Make({T0Procedure::NotInsThenAck});
    link->ReaderSend({0x00, 0x20, 0x00, 0x01, 0x04});
    EXPECT_EQ(Next().first, 0xDF);
    link->ReaderSend(0x31);
    EXPECT_EQ(Next().first, 0x20);
    EXPECT_TRUE(link->CardSilent());
    link->ReaderSend({0x32, 0x33, 0x34});
    EXPECT_EQ(link->TakeAll(), (Bytes{0x90, 0x00}));
}

TEST_F(T0CardTest, null_bytes_before_procedure_bytes_with_their_spacing) {
    T0Options o;
    o.nulls_before_procedure = 2;
    o.null_spacing_etu = 100;
    Make(o);
    link->ReaderSend({0x00, 0x20, 0x00, 0x01, 0x00});  // case 1: status only
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x60, 110}));  // 10 etu of frame + 100
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x60, 112}));
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x63, 12}));
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0xC3, 12}));
}

TEST_F(T0CardTest, long_work_is_covered_by_nulls_inside_wt) {
    T0Options o;
    o.processing_etu = 30'000;
    Make(o, {0x3B, 0x80, 0x40, 0x05});  // TC2 = 5: WT = 4800 etu at D = 1
    link->ReaderSend({0x00, 0x20, 0x00, 0x01, 0x00});
    uint64_t total = 0, nulls = 0, worst = 0;
    for (int i = 0; i < 100; ++i) {
        auto [b, gap] = Next();
        total += gap;
        worst = std::max(worst, gap);
        if (b != 0x60) {
            EXPECT_EQ(b, 0x63);
            break;
        }
        ++nulls;
    }
    EXPECT_LE(worst, 4800u);
    EXPECT_GE(total, 30'000u);
    EXPECT_GE(nulls, 6u);
    EXPECT_EQ(card->T0().WorkWaitingEtu(), 4800u);
}

TEST_F(T0CardTest, status_at_once_for_errors_and_wrong_le) {
    Make({});
    link->ReaderSend({0x00, 0x62, 0x00, 0x00, 0x00});  // INS 6X is no T=0 instruction
    EXPECT_EQ(link->TakeAll(), (Bytes{0x6D, 0x00}));
    link->ReaderSend({0x00, 0xB0, 0x00, 0x00, 0x04});  // no EF selected
    EXPECT_EQ(link->TakeAll(), (Bytes{0x69, 0x86}));
    link->ReaderSend({0x00, 0xA4, 0x00, 0x0C, 0x02});
    EXPECT_EQ(link->TakeAll(), (Bytes{0xA4}));
    link->ReaderSend({0x2F, 0x00});
    EXPECT_EQ(link->TakeAll(), (Bytes{0x90, 0x00}));
    link->ReaderSend({0x00, 0xB0, 0x00, 0x00, 0x00});  // Le 256 of a 16-byte EF
    EXPECT_EQ(link->TakeAll(), (Bytes{0x6C, 0x10}));
}

TEST_F(T0CardTest, case_4_answers_61xx_and_get_response_delivers) {
    Make({});
    link->ReaderSend({0x00, 0xA4, 0x00, 0x00, 0x02});
    link->TakeAll();
    link->ReaderSend({0x3F, 0x00});
    EXPECT_EQ(link->TakeAll(), (Bytes{0x61, 0x09}));
    link->ReaderSend({0x00, 0xC0, 0x00, 0x00, 0x09});
    EXPECT_EQ(link->TakeAll(), (Bytes{0xC0, 0x62, 0x07, 0x82, 0x01, 0x38, 0x83, 0x02, 0x3F, 0x00, 0x90, 0x00}));
}

TEST_F(T0CardTest, odd_ins_read_binary_acked_with_the_odd_ins_and_answered_by_get_response) {
    const Bytes file = CardApplication::InitialContent(CardApplication::kEfMfData);
    Make({});
    link->ReaderSend({0x00, 0xB1, 0x2F, 0x00, 0x03});  // P3 is Lc: the offset object goes in
    EXPECT_EQ(Next().first, 0xB1);  // ACK: INS itself, b1 set
    EXPECT_TRUE(link->CardSilent());
    link->ReaderSend({0x54, 0x01, 0x04});
    EXPECT_EQ(link->TakeAll(), (Bytes{0x61, 0x0E}));  // 53 0C and 12 bytes wait
    link->ReaderSend({0x00, 0xC0, 0x00, 0x00, 0x0E});
    EXPECT_EQ(link->TakeAll(), Cat(Bytes{0xC0, 0x53, 0x0C}, Cat(Bytes(file.begin() + 4, file.end()), {0x90, 0x00})));
    // NOT INS of an odd INS is even: 4E, one byte at a time.
    Make({T0Procedure::NotInsEachByte});
    link->ReaderSend({0x00, 0xB1, 0x2F, 0x00, 0x03});
    for (uint8_t b : {0x54, 0x01, 0x0F}) {
        EXPECT_EQ(Next().first, 0x4E);
        EXPECT_TRUE(link->CardSilent());
        link->ReaderSend(b);
    }
    EXPECT_EQ(link->TakeAll(), (Bytes{0x61, 0x03}));
}

TEST_F(T0CardTest, overrun_card_sends_not_ins_and_a_byte_beyond_le) {
    const Bytes file = CardApplication::InitialContent(CardApplication::kEfMfData);
    T0Options o;
    o.overrun_bytes = 3;
    Make(o);
    link->ReaderSend({0x00, 0xA4, 0x00, 0x0C, 0x02});
    EXPECT_EQ(link->TakeAll(), (Bytes{0xA4}));
    link->ReaderSend({0x2F, 0x00});
    EXPECT_EQ(link->TakeAll(), (Bytes{0x90, 0x00}));  // no data out: nothing extra
    link->ReaderSend({0x00, 0xB0, 0x00, 0x00, 0x04});
    EXPECT_EQ(link->TakeAll(), (Bytes{0xB0, file[0], file[1], file[2], file[3], 0x4F, 0xE0, 0x4F, 0xE1, 0x4F,
                                      0xE2, 0x90, 0x00}));
    link->ReaderSend({0x00, 0xB0, 0x00, 0x00, 0x00});  // the 6Cxx answer carries no data either
    EXPECT_EQ(link->TakeAll(), (Bytes{0x6C, 0x10}));
}

TEST_F(T0CardTest, null_between_the_last_data_byte_and_sw1_either_way) {
    T0Options o;
    o.nulls_after_data = 1;
    o.null_spacing_etu = 100;
    Make(o);
    link->ReaderSend({0x00, 0x20, 0x00, 0x01, 0x04});  // case 3
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x20, 16}));
    link->ReaderSend({0x31, 0x32, 0x33, 0x34});
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x60, 110}));  // 10 etu of frame + 100
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x90, 12}));
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x00, 12}));
    EXPECT_TRUE(link->CardSilent());
    link->ReaderSend({0x00, 0x84, 0x00, 0x00, 0x02});  // case 2
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x84, 16}));
    EXPECT_EQ(Next().second, 12u);
    EXPECT_EQ(Next().second, 12u);
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x60, 112}));
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x90, 12}));
    EXPECT_EQ(Next(), (std::pair<uint8_t, uint64_t>{0x00, 12}));
    EXPECT_TRUE(link->CardSilent());
    // No data either way: the status alone.
    link->ReaderSend({0x00, 0x20, 0x00, 0x01, 0x00});
    EXPECT_EQ(link->TakeAll(), (Bytes{0x90, 0x00}));
    link->ReaderSend({0x00, 0xB0, 0x00, 0x00, 0x04});
    EXPECT_EQ(link->TakeAll(), (Bytes{0x69, 0x86}));
}

TEST_F(T0CardTest, parity_error_drops_the_command_until_reset) {
    Make({});
    link->ReaderSend(0x00);
    link->ReaderSend(0x84, true);
    link->ReaderSend({0x00, 0x00, 0x08});
    EXPECT_TRUE(link->CardSilent());
    link->ReaderSend({0x00, 0x84, 0x00, 0x00, 0x08});
    EXPECT_TRUE(link->CardSilent());
    EXPECT_EQ(card->T0().Stats().abandoned, 1u);
    link->Reset(ResetKind::Warm);
    link->TakeAll();
    link->ReaderSend({0x00, 0x84, 0x00, 0x00, 0x08});
    EXPECT_EQ(link->TakeAll().size(), 11u);
}

}  // namespace
}  // namespace lmscr::sim::cards
