#include "sim/atr_card.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace lmscr::sim {
namespace {

using Bytes = std::vector<uint8_t>;

class RecordingLink : public CardLink {
public:
    uint64_t NowNs() const override { return 0; }
    void Send(uint8_t byte, uint32_t delay_etu) override { sent.emplace_back(byte, delay_etu); }
    std::vector<std::pair<uint8_t, uint32_t>> sent;
};

TEST(ParseHexTest, accepts_spaces_colons_and_no_separators) {
    const Bytes want{0x3B, 0x02, 0x14, 0x50};
    EXPECT_EQ(ParseHex("3B 02 14 50"), want);
    EXPECT_EQ(ParseHex("3b021450"), want);
    EXPECT_EQ(ParseHex("3B:02:14:50"), want);
    EXPECT_EQ(ParseHex("  3B 02\n14 50 \t"), want);
    EXPECT_EQ(ParseHex(""), Bytes{});
}

TEST(ParseHexTest, refuses_odd_digits_split_bytes_and_strangers) {
    EXPECT_FALSE(ParseHex("3B 0"));
    EXPECT_FALSE(ParseHex("3 B"));
    EXPECT_FALSE(ParseHex("3B 0G"));
    EXPECT_FALSE(ParseHex("0x3B"));
    EXPECT_FALSE(ParseHex("3B,02"));
}

TEST(ParseHexTest, bound_on_length_is_kept) {
    EXPECT_TRUE(ParseHex("00 11 22", 3));
    EXPECT_FALSE(ParseHex("00 11 22 33", 3));
}

TEST(ParseHexTest, every_byte_value_round_trips) {
    std::string text;
    char buf[4];
    for (int b = 0; b < 256; ++b) {
        std::snprintf(buf, sizeof buf, b % 2 ? "%02x " : "%02X", b);
        text += buf;
    }
    const auto parsed = ParseHex(text);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->size(), 256u);
    for (int b = 0; b < 256; ++b) EXPECT_EQ((*parsed)[b], b);
}

TEST(AtrCardTest, from_hex_refuses_empty_and_oversized_atrs) {
    EXPECT_FALSE(AtrCard::FromHex(""));
    EXPECT_FALSE(AtrCard::FromHex("3B 0"));
    std::string big;
    for (size_t i = 0; i < AtrCard::kMaxAtrBytes + 1; ++i) big += "00";
    EXPECT_FALSE(AtrCard::FromHex(big));
    big.resize(2 * AtrCard::kMaxAtrBytes);
    EXPECT_TRUE(AtrCard::FromHex(big));  // longer than ISO allows, kept for host tests
}

TEST(AtrCardTest, reset_queues_the_atr_with_ts_delay_first) {
    auto card = AtrCard::FromHex("3B 81 80 01 80 80");
    ASSERT_TRUE(card);
    RecordingLink link;
    card->Reset(link, ResetKind::Cold);
    const std::vector<std::pair<uint8_t, uint32_t>> want{
        {0x3B, 30}, {0x81, 0}, {0x80, 0}, {0x01, 0}, {0x80, 0}, {0x80, 0}};
    EXPECT_EQ(link.sent, want);
    EXPECT_EQ(card->Resets(), 1u);
}

TEST(AtrCardTest, warm_reset_answers_its_warm_atr_when_it_has_one) {
    AtrCardOptions o;
    o.atr = {0x3B, 0x00};
    o.warm_atr = {0x3F, 0x00};
    o.extra_gap_etu = 5;
    AtrCard card(o);
    RecordingLink link;
    card.Reset(link, ResetKind::Warm);
    const std::vector<std::pair<uint8_t, uint32_t>> want{{0x3F, 30}, {0x00, 5}};
    EXPECT_EQ(link.sent, want);
    link.sent.clear();
    card.Reset(link, ResetKind::Cold);
    EXPECT_EQ(link.sent.front().first, 0x3B);
}

TEST(AtrCardTest, answers_nothing_after_its_atr) {
    auto card = AtrCard::FromHex("3B 00");
    RecordingLink link;
    card->Reset(link, ResetKind::Cold);
    link.sent.clear();
    card->Receive(0x00, false);
    card->Receive(0xA4, false);
    EXPECT_TRUE(link.sent.empty());
    EXPECT_EQ(card->Received(), (Bytes{0x00, 0xA4}));
}

}  // namespace
}  // namespace lmscr::sim
