// Answer-to-reset analysis against ISO/IEC 7816-3 known answers, truncations, and a sweep of
// every TA1 against an independent copy of the Fi/Di tables.
#include <gtest/gtest.h>

#include "smclib_internal.h"
#include "smclib_test_support.h"

namespace lmscr::smclib::test {
namespace {

// ISO/IEC 7816-3:2006 Tables 7 and 8, written out again here: 0 marks a reserved value.
constexpr ULONG kIsoFi[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
constexpr ULONG kIsoFmaxKhz[16] = {4000, 5000, 6000, 8000, 12000, 16000, 20000, 0, 0, 5000, 7500, 10000, 15000, 20000, 0, 0};
constexpr ULONG kIsoDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

Bytes WithTck(Bytes atr) {
    UCHAR sum = 0;
    for (size_t i = 1; i < atr.size(); ++i) sum ^= atr[i];
    atr.push_back(sum);
    return atr;
}

// Three groups and a fourth: TA1 Fi 512 / Di 32, TC1 N 2, TC2 WI 20, group 3 for T=1 with
// IFSC 254, CWI 5, BWI 4 and CRC, TA4 for T=15, three historical bytes, TCK.
const Bytes kThreeGroups = WithTck({0x3B, 0xD3, 0x96, 0x02, 0xC0, 0x14, 0xF1, 0xFE, 0x45, 0x01, 0x1F, 0x03,
                                    0x41, 0x42, 0x43});

class AtrTest : public ::testing::Test {
protected:
    Reader reader;
    SCARD_CARD_CAPABILITIES &caps = reader.ext.CardCapabilities;
};

TEST_F(AtrTest, atr_3b_00_is_a_default_t0_card) {
    ASSERT_EQ(reader.Atr({0x3B, 0x00}), STATUS_SUCCESS);
    EXPECT_EQ(caps.Protocol.Supported, ULONG{SCARD_PROTOCOL_T0});
    EXPECT_EQ(caps.Protocol.Selected, 0u);
    EXPECT_FALSE(caps.InversConvention);
    EXPECT_EQ(caps.Fl, 1);
    EXPECT_EQ(caps.Dl, 1);
    EXPECT_EQ(caps.N, 0);
    EXPECT_EQ(caps.T0.WI, 10);
    EXPECT_EQ(caps.HistoricalChars.Length, 0);
    EXPECT_EQ(caps.PtsData.Type, PTS_TYPE_DEFAULT);
    EXPECT_EQ(reader.ext.ReaderCapabilities.CurrentState, ULONG{SCARD_NEGOTIABLE});
    EXPECT_EQ(caps.ClockRateConversion[caps.Fl].F, 372u);
    EXPECT_EQ(caps.BitRateAdjustment[caps.Dl].DNumerator, 1u);
}

TEST_F(AtrTest, atr_with_td1_t0_and_td2_t1_offers_both_and_has_tck) {
    ASSERT_EQ(reader.Atr({0x3B, 0x81, 0x80, 0x01, 0x80, 0x80}), STATUS_SUCCESS);
    EXPECT_EQ(caps.Protocol.Supported, ULONG{SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1});
    EXPECT_TRUE(caps.TckPresent);
    EXPECT_EQ(caps.HistoricalChars.Length, 1);
    EXPECT_EQ(caps.HistoricalChars.Buffer[0], 0x80);
    // No T=1 interface bytes: the ISO defaults.
    EXPECT_EQ(caps.T1.IFSC, 32);
    EXPECT_EQ(caps.T1.CWI, 13);
    EXPECT_EQ(caps.T1.BWI, 4);
    EXPECT_EQ(caps.T1.EDC, T1_LRC_CHECK);
    EXPECT_EQ(reader.ext.T1.State, T1_INIT);
    EXPECT_EQ(reader.ext.T1.IFSC, 32);
    EXPECT_EQ(reader.ext.T1.IFSD, 32);
}

TEST_F(AtrTest, inverse_convention_ts_3f_and_undecoded_03_are_accepted) {
    const Bytes inverse = {0x3F, 0x65, 0x25, 0x00, 0x2C, 0x09, 0x69, 0x90, 0x00};
    ASSERT_EQ(reader.Atr(inverse), STATUS_SUCCESS);
    EXPECT_TRUE(caps.InversConvention);
    EXPECT_EQ(caps.P, 0x05);  // TB1 0x25: II 1, PI1 5
    EXPECT_EQ(caps.II, 1);
    EXPECT_EQ(caps.HistoricalChars.Length, 5);
    Bytes undecoded = inverse;
    undecoded[0] = 0x03;
    ASSERT_EQ(reader.Atr(undecoded), STATUS_SUCCESS);
    EXPECT_TRUE(caps.InversConvention);
}

TEST_F(AtrTest, unknown_ts_is_refused) {
    EXPECT_EQ(reader.Atr({0x3C, 0x00}), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(reader.Atr({0x00, 0x00}), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(caps.Protocol.Supported, 0u);
}

TEST_F(AtrTest, three_groups_give_every_parameter) {
    ASSERT_EQ(reader.Atr(kThreeGroups), STATUS_SUCCESS);
    EXPECT_EQ(caps.Protocol.Supported, ULONG{SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1});
    EXPECT_EQ(caps.N, 2);
    EXPECT_EQ(caps.T0.WI, 20);
    EXPECT_EQ(caps.T1.IFSC, 254);
    EXPECT_EQ(caps.T1.CWI, 5);
    EXPECT_EQ(caps.T1.BWI, 4);
    EXPECT_EQ(caps.T1.EDC, T1_CRC_CHECK);
    EXPECT_EQ(reader.ext.T1.IFSC, 254);
    EXPECT_EQ(caps.HistoricalChars.Length, 3);
    EXPECT_EQ(caps.HistoricalChars.Buffer[2], 0x43);
    EXPECT_TRUE(caps.TckPresent);
    // The driver's reader runs 9600 bit/s only: Fi 512 / Di 32 cannot be used, no PTS data.
    EXPECT_EQ(caps.PtsData.Type, PTS_TYPE_DEFAULT);
    EXPECT_EQ(caps.Fl, 1);
}

TEST_F(AtrTest, pts_proposes_fastest_pair_the_reader_lists) {
    reader.SetRates({9600, 19200, 38400, 115200});
    ASSERT_EQ(reader.Atr(kThreeGroups), STATUS_SUCCESS);
    // 512/32 and its lower D give no listed rate at 3580 kHz; Fd 372 with D 12 gives 115 483.
    EXPECT_EQ(caps.PtsData.Type, PTS_TYPE_OPTIMAL);
    EXPECT_EQ(caps.PtsData.Fl, 1);
    EXPECT_EQ(caps.PtsData.Dl, 8);
    EXPECT_EQ(caps.PtsData.DataRate, 115483u);
    EXPECT_EQ(caps.Fl, 1);  // in force only after the PTS exchange
    EXPECT_EQ(caps.Dl, 1);
}

TEST_F(AtrTest, wrong_tck_is_refused_with_crc_error) {
    Bytes atr = kThreeGroups;
    atr.back() ^= 0x01;
    EXPECT_EQ(reader.Atr(atr), STATUS_CRC_ERROR);
    EXPECT_EQ(caps.Protocol.Supported, 0u);
    Bytes both = {0x3B, 0x81, 0x80, 0x01, 0x80, 0x81};
    EXPECT_EQ(reader.Atr(both), STATUS_CRC_ERROR);
}

TEST_F(AtrTest, atr_truncated_anywhere_but_before_tck_is_refused) {
    for (size_t n = 0; n < kThreeGroups.size() - 1; ++n) {
        const Bytes prefix(kThreeGroups.begin(), kThreeGroups.begin() + n);
        EXPECT_EQ(reader.Atr(prefix), STATUS_UNRECOGNIZED_MEDIA) << "length " << n;
    }
}

TEST_F(AtrTest, atr_truncated_before_tck_is_taken_without_it) {
    const Bytes without_tck(kThreeGroups.begin(), kThreeGroups.end() - 1);
    ASSERT_EQ(reader.Atr(without_tck), STATUS_SUCCESS);
    EXPECT_FALSE(caps.TckPresent);
    EXPECT_EQ(caps.T1.IFSC, 254);
}

TEST_F(AtrTest, bytes_beyond_the_structure_are_refused) {
    EXPECT_EQ(reader.Atr({0x3B, 0x00, 0x11, 0x22}), STATUS_UNRECOGNIZED_MEDIA);
    // One byte after a T=0-only ATR is a needless TCK: kept, not judged.
    ASSERT_EQ(reader.Atr({0x3B, 0x00, 0x55}), STATUS_SUCCESS);
    EXPECT_TRUE(caps.TckPresent);
}

TEST_F(AtrTest, length_beyond_the_buffer_is_refused_without_reading) {
    caps.ATR.Length = 65;
    EXPECT_EQ(SmartcardUpdateCardCapabilities(&reader.ext), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SmartcardUpdateCardCapabilities(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(AtrTest, td_chain_running_off_the_end_is_refused) {
    // Every TD announces another TD; the 33-byte ATR ends inside the chain.
    Bytes atr = {0x3B, 0x80};
    while (atr.size() < 33) atr.push_back(0x81);
    EXPECT_EQ(reader.Atr(atr), STATUS_UNRECOGNIZED_MEDIA);
}

TEST_F(AtrTest, specific_mode_t0_with_ta1_parameters_the_reader_runs) {
    reader.SetRates({9600, 38400});
    // TA1 13 (372 / 4), TD1 10 (TA2 follows, T=0), TA2 00 (T=0, parameters from TA1).
    ASSERT_EQ(reader.Atr({0x3B, 0x90, 0x13, 0x10, 0x00}), STATUS_SUCCESS);
    EXPECT_EQ(reader.ext.ReaderCapabilities.CurrentState, ULONG{SCARD_SPECIFIC});
    EXPECT_EQ(caps.Protocol.Selected, ULONG{SCARD_PROTOCOL_T0});
    EXPECT_EQ(caps.Fl, 1);
    EXPECT_EQ(caps.Dl, 3);
    EXPECT_TRUE(caps.SpecificMode);
}

TEST_F(AtrTest, specific_mode_at_a_rate_the_reader_lacks_is_not_supported) {
    EXPECT_EQ(reader.Atr({0x3B, 0x90, 0x13, 0x10, 0x00}), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(caps.Protocol.Supported, 0u);
}

TEST_F(AtrTest, specific_mode_with_implicit_parameters_uses_defaults) {
    ASSERT_EQ(reader.Atr({0x3B, 0x90, 0x13, 0x10, 0x10}), STATUS_SUCCESS);
    EXPECT_EQ(caps.Fl, 1);
    EXPECT_EQ(caps.Dl, 1);
    EXPECT_EQ(reader.ext.ReaderCapabilities.CurrentState, ULONG{SCARD_SPECIFIC});
}

TEST_F(AtrTest, specific_mode_t1) {
    ASSERT_EQ(reader.Atr(WithTck({0x3B, 0x80, 0x11, 0x01})), STATUS_SUCCESS);
    EXPECT_EQ(caps.Protocol.Selected, ULONG{SCARD_PROTOCOL_T1});
    EXPECT_EQ(reader.ext.ReaderCapabilities.CurrentState, ULONG{SCARD_SPECIFIC});
}

TEST_F(AtrTest, waiting_times_at_the_driver_clock) {
    ASSERT_EQ(reader.Atr({0x3B, 0x81, 0x80, 0x01, 0x80, 0x80}), STATUS_SUCCESS);
    // etu = 372 / 3.58 MHz = 103.9 us; WT = 10 x 960 x 372 / 3.58 MHz = 997 541 us.
    EXPECT_EQ(caps.etu, 103u);
    EXPECT_EQ(caps.T0.WT, 997541u);
    // CWT = (2^13 + 11) etu; BWT = 11 etu + 2^4 x 960 x 372 / 3.58 MHz.
    EXPECT_EQ(caps.T1.CWT, (8192u + 11u) * 103u);
    EXPECT_EQ(caps.T1.BWT, 11u * 103u + 1596067u);
}

TEST_F(AtrTest, first_t1_bytes_win_over_later_groups) {
    // TD1 T=1 -> group 2; TD2 T=1 -> group 3 with TA3 = 0x40; TD3 T=1 -> group 4 with TA4 = 0x10.
    ASSERT_EQ(reader.Atr(WithTck({0x3B, 0x80, 0x81, 0x91, 0x40, 0x11, 0x10})), STATUS_SUCCESS);
    EXPECT_EQ(caps.T1.IFSC, 0x40);
}

// Every TA1 against the independent tables: the table rows the library hands out, and the PTS
// data it proposes, once with the driver's single rate and once with a reader of many rates.
TEST_F(AtrTest, ta1_sweep_matches_iso_tables) {
    for (int ta1 = 0; ta1 < 256; ++ta1) {
        const UCHAR fi = static_cast<UCHAR>(ta1 >> 4), di = static_cast<UCHAR>(ta1 & 0x0F);
        ASSERT_EQ(reader.Atr({0x3B, 0x10, static_cast<UCHAR>(ta1)}), STATUS_SUCCESS) << ta1;
        EXPECT_EQ(caps.ClockRateConversion[fi].F, kIsoFi[fi]) << ta1;
        EXPECT_EQ(caps.ClockRateConversion[fi].fs, kIsoFmaxKhz[fi]) << ta1;
        const auto &d = caps.BitRateAdjustment[di];
        EXPECT_EQ(d.DDivisor == 0 ? 0 : d.DNumerator / d.DDivisor, kIsoDi[di]) << ta1;
        EXPECT_EQ(caps.Fl, 1);
        EXPECT_EQ(caps.Dl, 1);
        // 3580 kHz with 9600 bit/s only: nothing but the default pair is ever proposed.
        EXPECT_EQ(caps.PtsData.Type, PTS_TYPE_DEFAULT) << ta1;
    }

    const ULONG listed[] = {9600, 19200, 38400, 57600, 115200};
    reader.SetRates({9600, 19200, 38400, 57600, 115200});
    for (int ta1 = 0; ta1 < 256; ++ta1) {
        const UCHAR fi = static_cast<UCHAR>(ta1 >> 4), di = static_cast<UCHAR>(ta1 & 0x0F);
        ASSERT_EQ(reader.Atr({0x3B, 0x10, static_cast<UCHAR>(ta1)}), STATUS_SUCCESS) << ta1;
        // Reference: brute force over F in {Fi, 372}, D in [1, Di], the fastest listed rate.
        ULONG best = 0, best_f = 0, best_d = 0;
        if (kIsoFi[fi] != 0 && kIsoDi[di] != 0) {
            for (ULONG f : {kIsoFi[fi], 372u}) {
                for (ULONG d : kIsoDi) {
                    if (d == 0 || d > kIsoDi[di]) continue;
                    const ULONG rate = static_cast<ULONG>(3580000ull * d / f);
                    bool ok = false;
                    for (ULONG r : listed) ok = ok || (rate * 100 >= r * 98 && rate * 100 <= r * 102);
                    if (ok && rate > best) {
                        best = rate;
                        best_f = f;
                        best_d = d;
                    }
                }
            }
        }
        if (best <= 3580000u / 372u) {
            EXPECT_EQ(caps.PtsData.Type, PTS_TYPE_DEFAULT) << ta1;
        } else {
            ASSERT_EQ(caps.PtsData.Type, PTS_TYPE_OPTIMAL) << ta1;
            EXPECT_EQ(kIsoFi[caps.PtsData.Fl], best_f) << ta1;
            EXPECT_EQ(kIsoDi[caps.PtsData.Dl], best_d) << ta1;
            EXPECT_EQ(caps.PtsData.DataRate, best) << ta1;
        }
    }
}

}  // namespace
}  // namespace lmscr::smclib::test
