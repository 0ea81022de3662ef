#include "sim/line_trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/atr_card.h"
#include "tests/sim/reader_bench.h"

namespace lmscr::sim {
namespace {

constexpr auto H = Direction::HostToReader;
constexpr auto R = Direction::ReaderToHost;
constexpr uint64_t kUs = 1'000;
constexpr uint64_t kMs = 1'000'000;

class LineTraceTest : public ::testing::Test {
protected:
    void Feed(uint64_t t_ns, Direction dir, std::vector<uint8_t> bytes, uint64_t step_ns = 521 * kUs) {
        for (uint8_t b : bytes) {
            trace_.Record(t_ns, dir, b);
            t_ns += step_ns;
        }
    }
    LineTrace trace_;
};

TEST_F(LineTraceTest, commands_and_their_replies_read_as_one_line_each) {
    Feed(12'345 * kUs, H, {0x85, 0x80, 0x25, 0x00});
    Feed(14'429 * kUs, R, {0x90});
    Feed(20 * kMs, H, {0xC0});
    Feed(21 * kMs, R, {0x23});
    Feed(22 * kMs, H, {0xC2});
    Feed(23 * kMs, R, {0x10, 0x10});
    Feed(24 * kMs, H, {0xC4});
    Feed(25 * kMs, R, {0x03});
    Feed(26 * kMs, H, {0x83, 0x1D});
    Feed(27 * kMs, R, {0x90});
    Feed(28 * kMs, H, {0x84, 0x00});
    Feed(29 * kMs, R, {0x84});
    EXPECT_EQ(trace_.Text(),
              "    12.345 ms host->reader  85 80 25 00   write reg 5 (char timeout) = 9600\n"
              "    14.429 ms reader->host  90            reply 0x90 done\n"
              "    20.000 ms host->reader  C0            read reg 0 (version)\n"
              "    21.000 ms reader->host  23            reg 0 (version) = 0x23 (firmware 2.3)\n"
              "    22.000 ms host->reader  C2            read reg 2 (mode)\n"
              "    23.000 ms reader->host  10 10         reg 2 (mode) = 0x10\n"
              "    24.000 ms host->reader  C4            read reg 4 (card state)\n"
              "    25.000 ms reader->host  03            reg 4 (card state) = 0x03 (card present, powered)\n"
              "    26.000 ms host->reader  83 1D         write reg 3 (card reset) = 0x1D: activate card\n"
              "    27.000 ms reader->host  90            reply 0x90 done\n"
              "    28.000 ms host->reader  84 00         write reg 4 (card state) = 0x00: card off\n"
              "    29.000 ms reader->host  84            reply 0x84 rejected (reader error)\n");
}

TEST_F(LineTraceTest, card_data_runs_split_at_events_gaps_and_sixteen_bytes) {
    Feed(1 * kMs, H, {0x44, 0xFF, 0x11, 0x13, 0xFD});
    Feed(5 * kMs, R, {0x90});
    Feed(6 * kMs, R, {0xFF, 0x11, 0x10, 0x10, 0xFD}, 1250 * kUs);  // 10 10 is one byte
    Feed(12 * kMs, R, {0x10, 0x88});
    Feed(13 * kMs, R, std::vector<uint8_t>(18, 0x60), 1250 * kUs);
    Feed(200 * kMs, R, {0x61});  // after a long silence: a new run
    Feed(300 * kMs, R, {0x10, 0x83});
    Feed(301 * kMs, R, {0x10, 0x81});
    EXPECT_EQ(trace_.Text(),
              "     1.000 ms host->reader  44 FF 11 13 FD   send card data, 4 bytes\n"
              "     5.000 ms reader->host  90            reply 0x90 done\n"
              "     6.000 ms reader->host  FF 11 10 10 FD   card data, 4 bytes: FF 11 10 FD\n"
              "    12.000 ms reader->host  10 88         event faulty card byte\n"
              "    13.000 ms reader->host  60 60 60 60 60 60 60 60 60 60 60 60 60 60 60 60   card data, 16 bytes\n"
              "    33.000 ms reader->host  60 60         card data, 2 bytes\n"
              "   200.000 ms reader->host  61            card data, 1 byte\n"
              "   300.000 ms reader->host  10 83         event reader time-out\n"
              "   301.000 ms reader->host  10 81         escape 0x81: no event\n");
}

TEST_F(LineTraceTest, reader_error_stands_in_for_the_reply) {
    Feed(1 * kMs, H, {0x81, 0x0D});
    Feed(3 * kMs, R, {0x10, 0x84, 0x3B});
    trace_.Flush();
    EXPECT_EQ(trace_.Text(),
              "     1.000 ms host->reader  81 0D         write reg 1 (guard time) = 0x0D\n"
              "     3.000 ms reader->host  10 84         event reader error\n"
              "     4.042 ms reader->host  3B            card data, 1 byte\n");
}

TEST_F(LineTraceTest, cut_commands_and_lone_escapes_are_shown_as_such) {
    Feed(1 * kMs, H, {0x85, 0x80});
    Feed(40 * kMs, H, {0xC0});
    Feed(41 * kMs, R, {0x10});
    Feed(50 * kMs, H, {0x58, 0x01});
    trace_.Flush();
    EXPECT_EQ(trace_.Text(),
              "     1.000 ms host->reader  85 80         incomplete command (dropped by the reader)\n"
              "    40.000 ms host->reader  C0            read reg 0 (version)\n"
              "    50.000 ms host->reader  58 01         incomplete command\n"
              "    41.000 ms reader->host  10            escape without partner\n");
}

TEST_F(LineTraceTest, sink_receives_the_same_lines_as_they_complete) {
    std::vector<std::string> got;
    LineTrace streamed([&](const std::string& line) { got.push_back(line); });
    for (LineTrace* t : {&trace_, &streamed}) {
        t->Record(0, H, 0xC0);
        t->Record(kMs, R, 0x23);
        t->Record(2 * kMs, R, 0x3B);
    }
    EXPECT_EQ(got.size(), 2u);  // the card byte's run is still open
    streamed.Flush();
    trace_.Flush();
    EXPECT_EQ(got, trace_.Lines());
    EXPECT_TRUE(streamed.Lines().empty());
}

TEST(LineTraceTextTest, kept_lines_read_the_same_whenever_they_are_asked_for) {
    // Every kind of unit: a command of each kind, a dropped one, replies to each, a read of the
    // version and of the card state, an escaped 0x10 in a reply and in card data, a run cut at
    // 16 bytes and by a gap, each event, a lone escape at the end. A trace asked for its lines
    // after every byte, one asked once at the end and one with a sink must agree line by line.
    struct Byte {
        uint64_t t_ms;
        Direction dir;
        uint8_t b;
    };
    std::vector<Byte> bytes = {
        {1, H, 0xC0},  {2, R, 0x23},  {3, H, 0xC4},  {4, R, 0x03},  {5, H, 0x81},  {6, H, 0x0C},
        {7, R, 0x90},  {8, H, 0x85},  {9, H, 0x80},  {10, H, 0x25}, {11, H, 0x00}, {12, R, 0x82},
        {13, H, 0xC2}, {14, R, 0x10}, {14, R, 0x10}, {16, H, 0x83}, {50, H, 0x83}, {51, H, 0x1D},
        {52, R, 0x88}, {53, H, 0x84}, {54, H, 0x00}, {55, R, 0x90}, {56, H, 0x41}, {57, H, 0x00},
        {58, R, 0x88}, {59, H, 0x02}, {60, R, 0x10}, {60, R, 0x84},
    };
    uint64_t t = 70;
    for (uint8_t i = 0; i < 20; ++i) {
        const uint8_t value = i == 3 ? 0x10 : static_cast<uint8_t>(0x60 + i);
        bytes.push_back({t, R, value});
        if (value == 0x10) bytes.push_back({t, R, 0x10});  // escaped, in the same unit
        ++t;
    }
    for (uint8_t code : {0x83, 0x84, 0x85, 0x86, 0x88, 0x77}) {
        bytes.push_back({t, R, 0x10});
        bytes.push_back({t++, R, code});
    }
    bytes.push_back({t + 20, R, 0x3B});
    bytes.push_back({t + 21, R, 0x10});
    bytes.push_back({t + 22, H, 0x43});  // a command cut short by the end of the trace

    std::vector<std::string> streamed_lines;
    LineTrace asked_often, asked_once, streamed([&](const std::string& l) { streamed_lines.push_back(l); });
    std::vector<std::string> seen;
    for (const Byte& x : bytes) {
        for (LineTrace* trace : {&asked_often, &asked_once, &streamed}) trace->Record(x.t_ms * kMs, x.dir, x.b);
        const auto& lines = asked_often.Lines();
        ASSERT_GE(lines.size(), seen.size());
        EXPECT_TRUE(std::equal(seen.begin(), seen.end(), lines.begin()));  // lines once written stay
        seen = lines;
    }
    for (LineTrace* trace : {&asked_often, &asked_once, &streamed}) trace->Flush();
    EXPECT_EQ(asked_once.Lines(), streamed_lines);
    EXPECT_EQ(asked_often.Lines(), streamed_lines);
    EXPECT_EQ(asked_once.Text(), asked_often.Text());
    ASSERT_EQ(streamed_lines.size(), 30u) << ::testing::PrintToString(streamed_lines);
    const std::vector<std::pair<size_t, std::string>> expected = {
        {1, "     2.000 ms reader->host  23            reg 0 (version) = 0x23 (firmware 2.3)"},
        {3, "     4.000 ms reader->host  03            reg 4 (card state) = 0x03 (card present, powered)"},
        {6, "     8.000 ms host->reader  85 80 25 00   write reg 5 (char timeout) = 9600"},
        {9, "    14.000 ms reader->host  10 10         reg 2 (mode) = 0x10"},
        {10, "    16.000 ms host->reader  83            incomplete command (dropped by the reader)"},
        {12, "    52.000 ms reader->host  88            reply 0x88 rejected"},
        {13, "    53.000 ms host->reader  84 00         write reg 4 (card state) = 0x00: card off"},
        {15, "    56.000 ms host->reader  41 00         send card data, 1 byte"},
        {16, "    58.000 ms reader->host  88            reply 0x88 done, card flagged a byte"},
        {17, "    59.000 ms host->reader  02            no command"},
        {18, "    60.000 ms reader->host  10 84         event reader error"},
        {19, "    70.000 ms reader->host  60 61 62 10 10 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F   "
             "card data, 16 bytes: 60 61 62 10 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F"},
        {20, "    86.000 ms reader->host  70 71 72 73   card data, 4 bytes"},
        {21, "    90.000 ms reader->host  10 83         event reader time-out"},
        {25, "    94.000 ms reader->host  10 88         event faulty card byte"},
        {26, "    95.000 ms reader->host  10 77         escape 0x77: no event"},
        {27, "   116.000 ms reader->host  3B            card data, 1 byte"},
        {28, "   118.000 ms host->reader  43            incomplete command"},
        {29, "   117.000 ms reader->host  10            escape without partner"},
    };
    for (const auto& [index, line] : expected) EXPECT_EQ(streamed_lines[index], line) << index;

    // Lines beyond the limit are not kept, written or not.
    LineTrace limited(nullptr, LineTraceOptions{.max_lines = 3});
    for (size_t i = 0; i < bytes.size(); ++i) {
        limited.Record(bytes[i].t_ms * kMs, bytes[i].dir, bytes[i].b);
        if (i == 3) {
            EXPECT_EQ(limited.Lines().size(), 3u);
        }
    }
    limited.Flush();
    EXPECT_EQ(limited.Lines(), std::vector<std::string>(streamed_lines.begin(), streamed_lines.begin() + 3));
}

TEST(LineTraceReaderTest, activation_of_an_atr_card_reads_as_a_conversation) {
    testing::ReaderBench bench;
    auto card = AtrCard::FromHex("3B 02 14 50");
    ASSERT_TRUE(card);
    bench.reader->InsertCard(std::make_unique<AtrCard>(std::move(*card)));
    bench.Run(2 * kMs);
    bench.Command({0x85, 0x80, 0x25, 0x00});
    bench.Command({0x83, 0x1D}, 2000 * kMs);
    bench.trace.Flush();
    EXPECT_EQ(bench.trace.Text(),
              "     0.520 ms reader->host  10 85         event card inserted\n"
              "     2.520 ms host->reader  85 80 25 00   write reg 5 (char timeout) = 9600\n"
              "     4.604 ms reader->host  90            reply 0x90 done\n"
              "    52.520 ms host->reader  83 1D         write reg 3 (card reset) = 0x1D: activate card\n"
              "    53.562 ms reader->host  90            reply 0x90 done\n"
              "    57.998 ms reader->host  3B 02 14 50   card data, 4 bytes\n"
              "  1058.241 ms reader->host  10 83         event reader time-out\n");
}

}  // namespace
}  // namespace lmscr::sim
