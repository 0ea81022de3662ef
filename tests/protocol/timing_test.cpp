// Card timing: the worked numbers row by row, the defaults, the guard time, the zero divisors,
// and the 24-bit registers, against a scripted reader that keeps what is written.
#include "fake_reader.h"
#include "rig.h"

using namespace lmscr;
using namespace lmscr::test;

namespace {

using Bytes = std::vector<uint8_t>;

// ISO/IEC 7816-3 tables 7 and 8, written out here rather than taken from the library, so that
// a wrong row on either side shows.
CLOCK_RATE_CONVERSION kF[16] = {{372, 4000},  {372, 5000},   {558, 6000},   {744, 8000},
                                {1116, 12000}, {1488, 16000}, {1860, 20000}, {0, 0},
                                {0, 0},        {512, 5000},   {768, 7500},   {1024, 10000},
                                {1536, 15000}, {2048, 20000}, {0, 0},        {0, 0}};
BIT_RATE_ADJUSTMENT kD[16] = {{0, 0}, {1, 1}, {2, 1},  {4, 1},  {8, 1}, {16, 1}, {32, 1}, {64, 1},
                              {12, 1}, {20, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}};

class Timing : public FakeReaderTest {
protected:
    void SetUp() override {
        FakeReaderTest::SetUp();
        card().ClockRateConversion = kF;
        card().BitRateAdjustment = kD;
        card().Fl = 1;
        card().Dl = 1;
        card().N = 0;
        card().T0.WI = 0;
        card().T1.CWI = 0;
        card().T1.BWI = 0;
        rig->Fake().reg[2] = 0x6C;  // as a card reset leaves it
    }
    SCARD_CARD_CAPABILITIES& card() { return rig->Smartcard()->CardCapabilities; }
    CARD_TIMING Compute(ULONG protocol) {
        card().Protocol.Selected = protocol;
        CARD_TIMING t;
        ComputeCardTiming(rig->Smartcard(), &t);
        return t;
    }
    Bytes Sent() {
        Bytes b = rig->Fake().received;
        rig->Fake().received.clear();
        return b;
    }
};

TEST_F(Timing, worked_numbers_t0) {
    const CARD_TIMING t = Compute(SCARD_PROTOCOL_T0);
    EXPECT_EQ(t.ClocksPerEtu, 372u);
    EXPECT_EQ(t.ProtocolMode, 3);
    EXPECT_EQ(t.GuardTimeEtu, 13u);
    EXPECT_EQ(t.CharTimeoutEtuRaw, 9600u);
    EXPECT_EQ(t.CharTimeoutEtu, 10560u);
    EXPECT_EQ(t.BlockTimeoutEtuRaw, 9600u);
    EXPECT_EQ(t.BlockTimeoutEtu, 10560u);
    EXPECT_EQ(t.CharClocks, 3571200u);
    EXPECT_EQ(t.CharMs, 997u);  // 997.5 truncated before the margin
    EXPECT_EQ(t.BlockClocks, 3571200u);
    EXPECT_EQ(t.BlockMs, 997u);
    EXPECT_EQ(t.CharTimeoutMs, 1346u);
    EXPECT_EQ(t.TotalTimeoutMs, 1396u);
    EXPECT_EQ(card().T0.WI, 10);  // the default, written back
}

TEST_F(Timing, worked_numbers_t1) {
    const CARD_TIMING t = Compute(SCARD_PROTOCOL_T1);
    EXPECT_EQ(t.ClocksPerEtu, 372u);
    EXPECT_EQ(t.ProtocolMode, 0);
    EXPECT_EQ(t.GuardTimeEtu, 12u);
    EXPECT_EQ(t.CharTimeoutEtuRaw, 8203u);
    EXPECT_EQ(t.CharTimeoutEtu, 9023u);  // 8203 / 10 = 820
    EXPECT_EQ(t.BlockTimeoutEtuRaw, 15371u);
    EXPECT_EQ(t.BlockTimeoutEtu, 16908u);
    EXPECT_EQ(t.CharClocks, 3051516u);
    EXPECT_EQ(t.CharMs, 852u);
    EXPECT_EQ(t.BlockClocks, 5718012u);
    EXPECT_EQ(t.BlockMs, 1597u);
    EXPECT_EQ(t.CharTimeoutMs, 1157u);
    EXPECT_EQ(t.TotalTimeoutMs, 2176u);
    EXPECT_EQ(card().T1.CWI, 13);
    EXPECT_EQ(card().T1.BWI, 4);
}

TEST_F(Timing, worked_numbers_t1_at_dl_2) {
    card().Dl = 2;
    const CARD_TIMING t = Compute(SCARD_PROTOCOL_T1);
    EXPECT_EQ(t.ClocksPerEtu, 186u);
    EXPECT_EQ(t.CharTimeoutEtuRaw, 8203u);
    EXPECT_EQ(t.CharTimeoutEtu, 9023u);
    EXPECT_EQ(t.BlockTimeoutEtuRaw, 30731u);
    EXPECT_EQ(t.BlockTimeoutEtu, 33804u);
    EXPECT_EQ(t.CharClocks, 1525758u);
    EXPECT_EQ(t.CharMs, 426u);
    EXPECT_EQ(t.CharTimeoutMs, 603u);
    EXPECT_EQ(t.BlockClocks, 5715966u);
    EXPECT_EQ(t.BlockMs, 1596u);
    EXPECT_EQ(t.TotalTimeoutMs, 2174u);
}

TEST_F(Timing, t0_programs_mode_guard_and_the_same_value_in_both_timeouts) {
    card().Protocol.Selected = SCARD_PROTOCOL_T0;
    ASSERT_EQ(ConfigureCardTiming(rig->Smartcard()), STATUS_SUCCESS);
    // Mode 3 kept with the other bits; guard 13; 10560 = 0x002940 in registers 5 and 6.
    EXPECT_EQ(Sent(), (Bytes{0xC2, 0x82, 0x6F, 0xC1, 0xC2, 0x81, 0x0D, 0x82, 0x6F, 0x85, 0x40, 0x29, 0x00, 0x86, 0x40,
                             0x29, 0x00}));
}

TEST_F(Timing, serial_timeouts_are_stored_before_the_port_is_told) {
    card().Protocol.Selected = SCARD_PROTOCOL_T1;
    ASSERT_EQ(ConfigureSerialTimeouts(rig->Smartcard()), STATUS_SUCCESS);
    EXPECT_EQ(r->CharTimeout, 1157u);
    EXPECT_EQ(r->TotalTimeout, 2176u);
    EXPECT_TRUE(Sent().empty());  // the reader is not involved
}

TEST_F(Timing, without_a_protocol_no_register_is_written_and_the_timeouts_follow_t0) {
    card().Protocol.Selected = 0;
    EXPECT_EQ(ConfigureCardTiming(rig->Smartcard()), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(ConfigureSerialTimeouts(rig->Smartcard()), STATUS_SUCCESS);
    EXPECT_EQ(r->CharTimeout, 1346u);
    EXPECT_EQ(r->TotalTimeout, 1396u);
}

TEST_F(Timing, extra_guard_time_255_counts_as_0_and_254_is_the_largest) {
    card().N = 255;
    EXPECT_EQ(Compute(SCARD_PROTOCOL_T0).GuardTimeEtu, 13u);
    EXPECT_EQ(Compute(SCARD_PROTOCOL_T1).GuardTimeEtu, 12u);
    card().N = 254;
    EXPECT_EQ(Compute(SCARD_PROTOCOL_T0).GuardTimeEtu, 267u);
    EXPECT_EQ(Compute(SCARD_PROTOCOL_T1).GuardTimeEtu, 266u);
    // 266 needs bit 8: register 1 = 0x0A, bit 7 of register 2 set.
    ASSERT_EQ(ConfigureCardTiming(rig->Smartcard()), STATUS_SUCCESS);
    EXPECT_EQ(rig->Fake().reg[1], 0x0A);
    EXPECT_EQ(rig->Fake().reg[2] & 0x80, 0x80);
}

TEST_F(Timing, waiting_time_integers_other_than_0_are_kept) {
    card().T0.WI = 20;
    EXPECT_EQ(Compute(SCARD_PROTOCOL_T0).CharTimeoutEtuRaw, 19200u);
    EXPECT_EQ(card().T0.WI, 20);
    card().T1.CWI = 5;
    card().T1.BWI = 2;
    const CARD_TIMING t = Compute(SCARD_PROTOCOL_T1);
    EXPECT_EQ(t.CharTimeoutEtuRaw, 43u);
    EXPECT_EQ(t.BlockTimeoutEtuRaw, 3851u);
    EXPECT_EQ(card().T1.CWI, 5);
    EXPECT_EQ(card().T1.BWI, 2);
}

TEST_F(Timing, a_zero_divisor_programs_nothing_beyond_the_protocol_mode) {
    for (ULONG protocol : {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1}) {
        card().Dl = 0;  // reserved row: DNumerator 0
        card().Protocol.Selected = protocol;
        EXPECT_EQ(ConfigureCardTiming(rig->Smartcard()), STATUS_SUCCESS);
        const UCHAR mode = protocol == SCARD_PROTOCOL_T0 ? 0x6F : 0x6C;
        EXPECT_EQ(Sent(), (Bytes{0xC2, 0x82, mode}));
        rig->Fake().reg[2] = 0x6C;
    }
    card().Dl = 1;
    card().Fl = 7;  // reserved row: F 0, so no clocks per etu
    card().Protocol.Selected = SCARD_PROTOCOL_T1;
    EXPECT_EQ(ConfigureCardTiming(rig->Smartcard()), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), (Bytes{0xC2, 0x82, 0x6C}));
    EXPECT_EQ(ConfigureSerialTimeouts(rig->Smartcard()), STATUS_SUCCESS);
}

TEST_F(Timing, large_waiting_times_saturate_the_24_bit_registers_instead_of_wrapping) {
    // BWI 15: 2^15 x 357120 / 372 + 11 = 31457291 etu; with the product wrapped at 32 bits it
    // would be 8366068 etu, a quarter of what the card asked for.
    card().T1.BWI = 15;
    CARD_TIMING t = Compute(SCARD_PROTOCOL_T1);
    EXPECT_EQ(t.BlockTimeoutEtuRaw, 31457291u);
    EXPECT_EQ(t.BlockTimeoutEtu, 0xFFFFFFu);
    EXPECT_EQ(t.BlockClocks, 11702112252ull);
    EXPECT_EQ(t.BlockMs, 3268746u);
    // WI 255 at D = 64: 255 x 64 x 960 = 15667200 etu, 17233920 with the margin, which the
    // register's 24 bits would have cut to 456704.
    card().Dl = 7;
    card().T0.WI = 255;
    t = Compute(SCARD_PROTOCOL_T0);
    EXPECT_EQ(t.CharTimeoutEtu, 0xFFFFFFu);
    EXPECT_EQ(t.BlockTimeoutEtu, 0xFFFFFFu);
    ASSERT_EQ(ConfigureCardTiming(rig->Smartcard()), STATUS_SUCCESS);
    const Bytes sent = Sent();
    ASSERT_GE(sent.size(), 8u);
    EXPECT_EQ(Bytes(sent.end() - 8, sent.end()), (Bytes{0x85, 0xFF, 0xFF, 0xFF, 0x86, 0xFF, 0xFF, 0xFF}));
}

TEST_F(Timing, a_failing_register_write_skips_the_later_ones) {
    card().Protocol.Selected = SCARD_PROTOCOL_T0;
    // Mode write, guard register 1 write accepted; register 2 (bit 8) refused.
    rig->Fake().replyOverride = {0x90, 0x90, 0x84};
    EXPECT_EQ(ConfigureCardTiming(rig->Smartcard()), STATUS_DATA_ERROR);
    const Bytes sent = Sent();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x85), 0);  // no character time-out written
}

// The library hands the driver waiting times of its own (CardCapabilities.T0.WT, T1.CWT, T1.BWT),
// but none the driver could program unchanged: microseconds at an etu cut to whole microseconds,
// worked out once at the answer to reset, T=0's counted in Fi of TA1 although the card runs at Fd
// until a PTS says otherwise.  The reader's registers count etu and the port's time-outs
// milliseconds of the card clock; from the library's numbers each row would program another value
// (register or port) than the driver does, so the driver keeps its own.
TEST_F(Timing, library_waiting_times_would_program_other_values) {
    using Field = ULONG (*)(const SCARD_CARD_CAPABILITIES&);
    using Mine = std::pair<ULONGLONG, ULONGLONG> (*)(const CARD_TIMING&);  // etu, ms
    const Bytes t1Card = {0x3B, 0x80, 0x81, 0x01, 0x00};  // T=1, CWI 13, BWI 4, Fd and Dd
    const Bytes t0Card = {0x3B, 0x10, 0x32};              // T=0, TA1 32: Fi 744, Di 2
    struct Case {
        const char* name;
        Bytes atr;
        ULONG protocol;
        Field library;
        ULONG libraryUs;
        Mine driver;
        ULONGLONG driverEtu, driverMs;
    };
    const Mine character = [](const CARD_TIMING& t) { return std::make_pair(t.CharTimeoutEtuRaw, t.CharMs); };
    const Case cases[] = {
        // 8203 etu either way, but 103 us each: 844 ms against the 852 of the card clock.
        {"CWT", t1Card, SCARD_PROTOCOL_T1, [](const SCARD_CARD_CAPABILITIES& c) { return c.T1.CWT; }, 844909u,
         character, 8203u, 852u},
        // 1597 ms either way, but 15506 etu of 103 us against the 15371 of 372 clocks.
        {"BWT", t1Card, SCARD_PROTOCOL_T1, [](const SCARD_CARD_CAPABILITIES& c) { return c.T1.BWT; }, 1597200u,
         [](const CARD_TIMING& t) { return std::make_pair(t.BlockTimeoutEtuRaw, t.BlockMs); }, 15371u, 1597u},
        // Twice the wait: 960 x WI x 744 clocks, while the card still counts 372.
        {"WT", t0Card, SCARD_PROTOCOL_T0, [](const SCARD_CARD_CAPABILITIES& c) { return c.T0.WT; }, 1995083u,
         character, 9600u, 997u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::copy(c.atr.begin(), c.atr.end(), card().ATR.Buffer);
        card().ATR.Length = static_cast<UCHAR>(c.atr.size());
        ASSERT_EQ(SmartcardUpdateCardCapabilities(rig->Smartcard()), STATUS_SUCCESS);
        ASSERT_EQ(card().etu, 103u);
        const CARD_TIMING t = Compute(c.protocol);
        EXPECT_EQ(c.library(card()), c.libraryUs);
        EXPECT_EQ(c.driver(t), std::make_pair(c.driverEtu, c.driverMs));
        const ULONGLONG libraryEtu = c.libraryUs / card().etu, libraryMs = c.libraryUs / 1000;
        EXPECT_TRUE(libraryEtu != c.driverEtu || libraryMs != c.driverMs);
    }
}

}  // namespace
