// One direction of the line on a manual clock: character times, intact delivery between equal
// formats, and what a receiver with another format samples, against an independent reference.
#include "sim/line/uart_wire.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/sim/manual_clock.h"

namespace lmscr::serial {
namespace {

struct Got {
    uint8_t byte;
    uint32_t errors;
    uint64_t at;
};

class Wire : public ::testing::Test {
protected:
    void Make(const LineFormat& receiver, uint64_t seed = 1) {
        wire = std::make_unique<UartWire>(clock, seed, [this](uint8_t b, uint32_t e) {
            got.push_back({b, e, clock.NowNs()});
        });
        wire->SetReceiverFormat(receiver);
    }
    sim::testing::ManualClock clock;
    std::unique_ptr<UartWire> wire;
    std::vector<Got> got;
};

TEST(FrameTime, known_answers) {
    EXPECT_EQ(FrameNs(LineFormat{19200, 8, NO_PARITY, STOP_BIT_1}), 520'834u);  // 10 bits
    EXPECT_EQ(FrameNs(LineFormat{9600, 8, EVEN_PARITY, STOP_BITS_2}), 1'250'000u);  // 12 bits
    EXPECT_EQ(FrameNs(LineFormat{1200, 5, NO_PARITY, STOP_BITS_1_5}), 6'250'000u);  // 7.5 bits
    EXPECT_EQ(ParityBit(0x01, 8, EVEN_PARITY), 1);
    EXPECT_EQ(ParityBit(0x03, 8, EVEN_PARITY), 0);
    EXPECT_EQ(ParityBit(0x03, 8, ODD_PARITY), 1);
    EXPECT_EQ(ParityBit(0x00, 8, MARK_PARITY), 1);
}

TEST_F(Wire, equal_formats_deliver_every_byte_intact_one_character_time_apart) {
    const LineFormat f{19200, 8, NO_PARITY, STOP_BIT_1};
    Make(f);
    for (int b = 0; b < 256; ++b) wire->Send(static_cast<uint8_t>(b), f);
    clock.RunFor(1'000'000'000);
    ASSERT_EQ(got.size(), 256u);
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(got[b].byte, b);
        EXPECT_EQ(got[b].errors, 0u);
        EXPECT_EQ(got[b].at, (b + 1) * 520'834ull);
    }
}

// Reference: an isolated character at the same baud rate, sampled in the middle of each bit of
// the same grid, reads the sender's bit times as they are; past the sender's last data or
// parity bit the line is at its stop level (1).
TEST_F(Wire, seven_even_one_read_as_eight_none_one_matches_the_bit_grid_reference) {
    const LineFormat sender{9600, 7, EVEN_PARITY, STOP_BIT_1};
    Make(LineFormat{9600, 8, NO_PARITY, STOP_BIT_1});
    for (int v = 0; v < 128; ++v) {
        got.clear();
        wire->Send(static_cast<uint8_t>(v), sender);
        clock.RunFor(5'000'000);  // idle between characters
        ASSERT_EQ(got.size(), 1u) << v;
        const uint8_t expected = static_cast<uint8_t>(v | (ParityBit(static_cast<uint8_t>(v), 7, EVEN_PARITY) << 7));
        EXPECT_EQ(got[0].byte, expected) << v;
        EXPECT_EQ(got[0].errors, 0u) << v;  // bit 9 of the grid is the sender's stop bit
    }
}

TEST_F(Wire, a_receiver_at_twice_the_baud_rate_garbles_the_same_way_for_the_same_seed) {
    auto run = [&](uint64_t seed) {
        got.clear();
        Make(LineFormat{19200, 8, NO_PARITY, STOP_BIT_1}, seed);
        for (uint8_t b : {0x23, 0x90, 0x10, 0x85}) wire->Send(b, LineFormat{9600, 8, NO_PARITY, STOP_BIT_1});
        clock.RunFor(50'000'000);
        std::vector<uint8_t> bytes;
        for (auto& g : got) bytes.push_back(g.byte);
        return bytes;
    };
    std::vector<uint8_t> first = run(7);
    EXPECT_EQ(run(7), first);
    EXPECT_NE(first, (std::vector<uint8_t>{0x23, 0x90, 0x10, 0x85}));
    EXPECT_FALSE(first.empty());
}

TEST_F(Wire, a_parity_mismatch_is_flagged) {
    Make(LineFormat{9600, 7, ODD_PARITY, STOP_BIT_1});
    wire->Send(0x03, LineFormat{9600, 7, EVEN_PARITY, STOP_BIT_1});
    clock.RunFor(5'000'000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].byte, 0x03);
    EXPECT_EQ(got[0].errors, SERIAL_ERROR_PARITY);
}

TEST_F(Wire, cutting_the_wire_loses_the_character_in_flight) {
    const LineFormat f{19200, 8, NO_PARITY, STOP_BIT_1};
    Make(f);
    wire->Send(0x55, f);
    clock.RunFor(100'000);
    wire->Cut();
    clock.RunFor(5'000'000);
    EXPECT_TRUE(got.empty());
    wire->Send(0x66, f);
    clock.RunFor(5'000'000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].byte, 0x66);
}

}  // namespace
}  // namespace lmscr::serial
