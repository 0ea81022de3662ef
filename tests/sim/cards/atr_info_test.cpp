#include "sim/cards/atr_info.h"

#include <gtest/gtest.h>

namespace lmscr::sim::cards {
namespace {

TEST(AtrInfoTest, minimal_atr_is_t0_at_default_rate) {
    auto i = ParseAtr({0x3B, 0x00});
    ASSERT_TRUE(i);
    EXPECT_EQ(i->protocols, 1);
    EXPECT_EQ(i->ta1, 0x11);
    EXPECT_FALSE(i->tck_present);
}

TEST(AtrInfoTest, t1_parameters_come_from_the_first_t1_group) {
    // 3B 81 80 01 80 80 (ISO/IEC 7816-3 example): TD1 81 -> TD2 80 T=0 -> ... the T=1 group
    // carries nothing, so the defaults hold.
    auto i = ParseAtr({0x3B, 0x81, 0x80, 0x01, 0x80, 0x80});
    ASSERT_TRUE(i);
    EXPECT_EQ(i->protocols, 0b11);
    EXPECT_EQ(i->ifsc, 32);
    auto j = ParseAtr(WithTck({0x3B, 0x80, 0x81, 0x71, 0xFE, 0x45, 0x01}));
    ASSERT_TRUE(j);
    EXPECT_EQ(j->ifsc, 0xFE);
    EXPECT_EQ(j->cwi, 5);
    EXPECT_EQ(j->bwi, 4);
    EXPECT_TRUE(j->crc);
    EXPECT_EQ(j->first_protocol, 1);
}

TEST(AtrInfoTest, specific_mode_inverse_and_malformed) {
    auto s = ParseAtr(WithTck({0x3B, 0x90, 0x11, 0x91, 0x01, 0x01}));
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->specific);
    EXPECT_EQ(s->first_protocol, 1);
    auto inv = ParseAtr({0x03, 0x00});
    ASSERT_TRUE(inv);
    EXPECT_TRUE(inv->inverse);
    EXPECT_FALSE(ParseAtr({0x3B, 0x12, 0x11}));                      // historical bytes missing
    EXPECT_FALSE(ParseAtr({0x3B, 0x80, 0x01}));                      // TCK due, missing
    EXPECT_FALSE(ParseAtr({0x3B, 0x00, 0x00}));                      // byte beyond the end
    EXPECT_FALSE(ParseAtr({0x3C, 0x00}));                            // TS unknown
}

}  // namespace
}  // namespace lmscr::sim::cards
