#include "sim/card.h"

#include <gtest/gtest.h>

#include <map>

namespace lmscr::sim {
namespace {

TEST(RateTest, fi_di_known_values) {
    auto r = RateFromFiDi(0x11);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->f, 372u);
    EXPECT_EQ(r->d, 1u);
    r = RateFromFiDi(0x13);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->f, 372u);
    EXPECT_EQ(r->d, 4u);
    r = RateFromFiDi(0x96);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->f, 512u);
    EXPECT_EQ(r->d, 32u);
    r = RateFromFiDi(0xD9);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->f, 2048u);
    EXPECT_EQ(r->d, 20u);
    r = RateFromFiDi(0x08);  // Fi 0 is 372 too (ISO/IEC 7816-3 table 7)
    ASSERT_TRUE(r);
    EXPECT_EQ(r->f, 372u);
    EXPECT_EQ(r->d, 12u);
}

TEST(RateTest, reserved_fi_or_di_gives_nothing) {
    EXPECT_FALSE(RateFromFiDi(0x71));  // Fi 7 reserved
    EXPECT_FALSE(RateFromFiDi(0x81));
    EXPECT_FALSE(RateFromFiDi(0xE1));
    EXPECT_FALSE(RateFromFiDi(0x10));  // Di 0 reserved
    EXPECT_FALSE(RateFromFiDi(0x1A));
    EXPECT_FALSE(RateFromFiDi(0x1F));
}

TEST(RateTest, sweep_every_fidi_byte_against_the_iso_tables) {
    // ISO/IEC 7816-3 table 7, Fi to F (f max of its rows in MHz: 4, 5, 6, 8, 12, 16, 20, then 5,
    // 7.5, 10, 15, 20), and table 8, Di to D. Every value not listed is reserved, and a byte with a
    // reserved half names no rate.
    const std::map<int, uint32_t> f_of_fi = {{0, 372},  {1, 372},  {2, 558},   {3, 744},   {4, 1116},  {5, 1488},
                                             {6, 1860}, {9, 512},  {10, 768},  {11, 1024}, {12, 1536}, {13, 2048}};
    const std::map<int, uint32_t> d_of_di = {{1, 1}, {2, 2}, {3, 4}, {4, 8}, {5, 16}, {6, 32}, {7, 64}, {8, 12}, {9, 20}};
    for (int b = 0; b < 256; ++b) {
        const auto r = RateFromFiDi(static_cast<uint8_t>(b));
        const auto f = f_of_fi.find(b >> 4);
        const auto d = d_of_di.find(b & 0x0F);
        if (f == f_of_fi.end() || d == d_of_di.end()) {
            EXPECT_FALSE(r) << std::hex << "byte 0x" << b;
            continue;
        }
        ASSERT_TRUE(r) << std::hex << "byte 0x" << b;
        EXPECT_EQ(r->f, f->second) << std::hex << "byte 0x" << b;
        EXPECT_EQ(r->d, d->second) << std::hex << "byte 0x" << b;
    }
}

TEST(RateTest, same_rate_compares_clocks_per_etu) {
    EXPECT_TRUE(SameRate(Rate{744, 2}, Rate{372, 1}));
    EXPECT_FALSE(SameRate(Rate{372, 2}, Rate{372, 1}));
}

TEST(EtuTest, initial_waiting_time_at_default_rate) {
    // 9600 etu x 372 clocks / 3.58 MHz = 0.997541899... s
    EXPECT_EQ(EtuToNs(9600, kDefaultRate, kCardClockHz), 997'541'899u);
    EXPECT_EQ(EtuToNs(1, kDefaultRate, kCardClockHz), 103'910u);
}

TEST(EtuTest, largest_register_value_at_slowest_rate_does_not_overflow) {
    const uint64_t etu = 0xFFFFFF;
    // (2^24 - 1) x 2048 x 1e9 / 3.58e6 = 9'597'691'709'497 ns (about 2.7 hours)
    EXPECT_EQ(EtuToNs(etu, Rate{2048, 1}, kCardClockHz), 9'597'691'709'497ull);
}

TEST(EtuTest, fractional_clocks_per_etu_keep_their_precision) {
    // 512 / 20 = 25.6 clocks per etu; 1000 etu = 25600 clocks = 7150837 ns
    EXPECT_EQ(EtuToNs(1000, Rate{512, 20}, kCardClockHz), 7'150'837u);
    EXPECT_EQ(ClocksToNs(40000, kCardClockHz), 11'173'184u);
}

TEST(EtuTest, the_narrow_and_the_wide_division_meet_without_a_step) {
    // etu x F x 1e9 overflows 64 bits from 2^64 / (F x 1e9) etu on: below that the division is
    // done in 64 bits, from there in 128. Either side of the edge, and at every rate's edge,
    // the result is the exact quotient.
    for (const Rate rate : {Rate{372, 1}, Rate{2048, 1}, Rate{512, 20}, Rate{1860, 64}}) {
        const uint64_t edge = ~uint64_t{0} / (uint64_t{rate.f} * 1'000'000'000u);
        for (uint64_t etu : {uint64_t{0}, uint64_t{1}, edge - 1, edge, edge + 1, uint64_t{0xFFFFFF}}) {
            const unsigned __int128 exact = static_cast<unsigned __int128>(etu) * rate.f * 1'000'000'000u /
                                            (static_cast<unsigned __int128>(rate.d) * kCardClockHz);
            EXPECT_EQ(EtuToNs(etu, rate, kCardClockHz), static_cast<uint64_t>(exact))
                << "F " << rate.f << " D " << rate.d << " etu " << etu;
        }
    }
    EXPECT_EQ(EtuToNs(5, Rate{372, 0}, kCardClockHz), 0u);  // no rate, no time
}

}  // namespace
}  // namespace lmscr::sim
