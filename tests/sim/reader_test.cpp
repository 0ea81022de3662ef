#include "sim/reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "sim/atr_card.h"
#include "tests/sim/reader_bench.h"

namespace lmscr::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::ReaderBench;

constexpr uint64_t kB = 520'834;  // one byte at 19200 baud, 10 bits, rounded up
constexpr uint64_t kMs = 1'000'000;

uint64_t Etu(uint64_t n, Rate rate = kDefaultRate) { return EtuToNs(n, rate, kCardClockHz); }
uint64_t Clocks(uint64_t n) { return ClocksToNs(n, kCardClockHz); }

// A card whose answers the test scripts, and which records what the reader did to it.
class ScriptedCard : public Card {
public:
    void Reset(CardLink& link, ResetKind kind) override {
        link_ = &link;
        rate = kDefaultRate;
        resets.emplace_back(kind, link.NowNs());
        for (size_t i = 0; i < atr.size(); ++i) link.Send(atr[i], i == 0 ? ts_delay_etu : atr_gap_etu);
    }
    void Receive(uint8_t byte, bool parity_error) override {
        received.push_back(byte);
        received_at.push_back(link_->NowNs());
        parity_errors += parity_error;
        if (on_byte) on_byte(*this, *link_, byte);
    }
    void Deactivate() override {
        ++deactivations;
        link_ = nullptr;
    }
    Rate CurrentRate() const override { return rate; }

    Bytes atr{0x3B, 0x00};
    uint32_t ts_delay_etu = 30;
    uint32_t atr_gap_etu = 0;
    Rate rate = kDefaultRate;
    std::function<void(ScriptedCard&, CardLink&, uint8_t)> on_byte;

    std::vector<std::pair<ResetKind, uint64_t>> resets;
    Bytes received;
    std::vector<uint64_t> received_at;
    int parity_errors = 0;
    int deactivations = 0;

private:
    CardLink* link_ = nullptr;
};

class ReaderTest : public ::testing::Test {
protected:
    explicit ReaderTest(ReaderConfig config = {}) : bench_(std::move(config)) {}

    ScriptedCard* Insert() {
        auto card = std::make_unique<ScriptedCard>();
        ScriptedCard* raw = card.get();
        EXPECT_TRUE(bench_.reader->InsertCard(std::move(card)));
        bench_.Run(10 * kMs);
        EXPECT_EQ(bench_.Take(), (Bytes{0x10, 0x85}));
        return raw;
    }

    // Activates the card in the slot; returns the time RST rose. Leaves the ATR unread.
    uint64_t Activate(ScriptedCard* card) {
        const size_t resets = card->resets.size();
        bench_.HostWrite({0x83, 0x1D});
        for (int i = 0; i < 1000 && card->resets.size() == resets; ++i) {
            const auto next = bench_.clock.NextDueNs();
            if (!next) break;
            bench_.clock.RunUntil(*next);
        }
        EXPECT_GT(card->resets.size(), resets);
        return card->resets.back().second;
    }

    ReaderBench bench_;
};

// --- Commands and replies ---------------------------------------------------------------

TEST_F(ReaderTest, write_char_timeout_9600_is_four_bytes_answered_done) {
    const uint64_t in = bench_.HostWrite({0x85, 0x80, 0x25, 0x00});
    EXPECT_EQ(in, 4 * kB);
    bench_.Run(10 * kMs);
    ASSERT_EQ(bench_.out.size(), 1u);
    EXPECT_EQ(bench_.out[0].b, 0x90);
    EXPECT_EQ(bench_.out[0].start_ns, 4 * kB);  // at once when the last byte is in
    EXPECT_EQ(bench_.reader->CharTimeoutEtu(), 9600u);
}

TEST_F(ReaderTest, block_timeout_takes_three_bytes_least_significant_first) {
    EXPECT_EQ(bench_.Command({0x86, 0x0C, 0x42, 0x00}), Bytes{0x90});
    EXPECT_EQ(bench_.reader->BlockTimeoutEtu(), 16908u);
    // Register 8 takes one byte: the next byte is a command of its own.
    EXPECT_EQ(bench_.Command({0x88, 0x00, 0xC0}), (Bytes{0x90, 0x23}));
}

TEST_F(ReaderTest, read_register_value_0x10_arrives_escaped) {
    EXPECT_EQ(bench_.Command({0x82, 0x10}), Bytes{0x90});
    EXPECT_EQ(bench_.Command({0xC2}), (Bytes{0x10, 0x10}));
    const auto& out = bench_.out;
    EXPECT_EQ(out[2].start_ns, out[1].start_ns + kB);  // the pair travels back to back
}

TEST_F(ReaderTest, version_register_is_configurable_and_read_only) {
    ReaderConfig config;
    config.version = 0x47;
    ReaderBench bench(config);
    EXPECT_EQ(bench.Command({0xC0}), Bytes{0x47});
    EXPECT_EQ(bench.Command({0x80, 0x11}), Bytes{0x84});
    EXPECT_EQ(bench.Command({0xC0}), Bytes{0x47});
}

TEST_F(ReaderTest, guard_time_and_mode_are_kept_as_written) {
    EXPECT_EQ(bench_.Command({0x81, 0x2C}), Bytes{0x90});
    EXPECT_EQ(bench_.Command({0x82, 0xEF}), Bytes{0x90});
    EXPECT_EQ(bench_.Command({0xC1}), Bytes{0x2C});
    EXPECT_EQ(bench_.Command({0xC2}), Bytes{0xEF});
    EXPECT_EQ(bench_.reader->GuardTimeEtu(), 300u);  // bit 7 of register 2 is bit 8
}

TEST_F(ReaderTest, bad_commands_are_rejected_and_the_stream_stays_in_step) {
    EXPECT_EQ(bench_.Command({0x05}), Bytes{0x84});        // no command
    EXPECT_EQ(bench_.Command({0x83, 0x00}), Bytes{0x84});  // register 3 knows only 0x1D
    EXPECT_EQ(bench_.Command({0x83, 0x1D}), Bytes{0x84});  // no card to activate
    EXPECT_EQ(bench_.Command({0x41, 0x00}), Bytes{0x84});  // no card to send to
    Bytes too_long{0x40 | 30};
    too_long.resize(31, 0xC0);  // 30 bytes that look like commands must not be taken as such
    EXPECT_EQ(bench_.Command(too_long), Bytes{0x81});
    EXPECT_EQ(bench_.Command({0xC0}), Bytes{0x23});
}

TEST_F(ReaderTest, command_cut_short_is_dropped_after_the_gap) {
    bench_.HostWrite({0x85, 0x80});
    bench_.Run(25 * kMs);
    EXPECT_TRUE(bench_.Take().empty());
    EXPECT_EQ(bench_.Command({0xC0}), Bytes{0x23});
    EXPECT_EQ(bench_.reader->Stats().partial_commands_discarded, 1u);
    EXPECT_EQ(bench_.reader->CharTimeoutEtu(), 9600u);
}

TEST_F(ReaderTest, command_paused_within_the_gap_completes) {
    bench_.HostWrite({0x85, 0x80});
    bench_.Run(15 * kMs);
    EXPECT_EQ(bench_.Command({0x25, 0x00}), Bytes{0x90});
    EXPECT_EQ(bench_.reader->CharTimeoutEtu(), 9600u);
}

// --- Card slot and register 4 -----------------------------------------------------------

TEST_F(ReaderTest, register_4_tells_presence_and_power) {
    EXPECT_EQ(bench_.Command({0xC4}), Bytes{0x00});
    ScriptedCard* card = Insert();
    EXPECT_EQ(bench_.Command({0xC4}), Bytes{0x01});
    Activate(card);
    bench_.Run(50 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x3B, 0x00}));
    EXPECT_EQ(bench_.Command({0xC4}), Bytes{0x03});
    EXPECT_EQ(bench_.Command({0x84, 0x00}), Bytes{0x90});
    EXPECT_EQ(card->deactivations, 1);
    EXPECT_EQ(bench_.Command({0xC4}), Bytes{0x01});
    bench_.reader->RemoveCard();
    bench_.Run(kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x10, 0x86}));
    EXPECT_EQ(bench_.Command({0xC4}), Bytes{0x00});
    // Switching off with no card is no error: the host's shut-down table does it.
    EXPECT_EQ(bench_.Command({0x84, 0x00}), Bytes{0x90});
}

TEST_F(ReaderTest, second_card_is_refused_while_the_slot_is_taken) {
    Insert();
    EXPECT_FALSE(bench_.reader->InsertCard(std::make_unique<ScriptedCard>()));
    bench_.Run(kMs);
    EXPECT_TRUE(bench_.Take().empty());
}

TEST_F(ReaderTest, card_inserted_during_reply_stream_is_reported_between_its_bytes) {
    // A host on a faster line: four read commands arrive at once and their replies queue.
    EXPECT_EQ(bench_.Command({0x82, 0x41}), Bytes{0x90});
    const uint64_t t0 = bench_.clock.NowNs();
    for (int i = 0; i < 4; ++i) bench_.reader->OnHostByte(0xC2);
    bench_.Run(2 * kB + kB / 2);  // the third reply on the wire
    bench_.reader->InsertCard(std::make_unique<ScriptedCard>());
    bench_.Run(20 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x41, 0x41, 0x41, 0x10, 0x85, 0x41}));
    EXPECT_EQ(bench_.out[4].start_ns, t0 + 3 * kB);
}

TEST_F(ReaderTest, card_event_never_splits_an_escaped_reply) {
    EXPECT_EQ(bench_.Command({0x82, 0x10}), Bytes{0x90});
    for (int i = 0; i < 3; ++i) bench_.reader->OnHostByte(0xC2);
    bench_.Run(2 * kB + kB / 2);  // the first half of the second pair on the wire
    bench_.reader->InsertCard(std::make_unique<ScriptedCard>());
    bench_.Run(20 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x10, 0x10, 0x10, 0x10, 0x10, 0x85, 0x10, 0x10}));
}

// --- Activation and the ATR -------------------------------------------------------------

TEST_F(ReaderTest, cold_activation_forwards_the_atr_byte_by_byte_at_the_cards_pace) {
    ScriptedCard* card = Insert();
    card->atr = {0x3B, 0x81, 0x80, 0x01, 0x80, 0x80};
    card->atr_gap_etu = 50;
    const size_t base = bench_.out.size();
    const uint64_t t_cmd = bench_.HostWrite({0x83, 0x1D});
    bench_.Run(100 * kMs);
    ASSERT_EQ(card->resets.size(), 1u);
    EXPECT_EQ(card->resets[0].first, ResetKind::Cold);
    const uint64_t rst = card->resets[0].second;
    EXPECT_EQ(rst, t_cmd + Clocks(1000));
    ASSERT_EQ(bench_.Take(), (Bytes{0x90, 0x3B, 0x81, 0x80, 0x01, 0x80, 0x80}));
    EXPECT_EQ(bench_.out[base].start_ns, t_cmd);
    uint64_t leading = rst + Etu(30);
    for (size_t i = 0; i < 6; ++i) {
        // Each byte goes to the host the moment its frame is complete, not as a block.
        EXPECT_EQ(bench_.out[base + 1 + i].start_ns, leading + Etu(10)) << "ATR byte " << i;
        leading += Etu(12) + Etu(50);
    }
}

TEST_F(ReaderTest, activation_of_a_powered_card_is_a_warm_reset) {
    ScriptedCard* card = Insert();
    Activate(card);
    bench_.Run(50 * kMs);
    const uint64_t t_cmd = bench_.HostWrite({0x83, 0x1D});
    bench_.Run(50 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x3B, 0x00, 0x90, 0x3B, 0x00}));
    ASSERT_EQ(card->resets.size(), 2u);
    EXPECT_EQ(card->resets[1].first, ResetKind::Warm);
    EXPECT_EQ(card->resets[1].second, t_cmd + Clocks(500));
    EXPECT_EQ(card->deactivations, 0);
    EXPECT_EQ(bench_.Command({0x84, 0x00}), Bytes{0x90});
    Activate(card);
    EXPECT_EQ(card->resets[2].first, ResetKind::Cold);
    EXPECT_EQ(bench_.reader->Stats().cold_resets, 2u);
    EXPECT_EQ(bench_.reader->Stats().warm_resets, 1u);
}

TEST_F(ReaderTest, card_removed_mid_atr_stops_the_stream) {
    ScriptedCard* card = Insert();
    card->atr = {0x3B, 0x6F, 0x00, 0x00, 0x80, 0x31, 0x80, 0x65};
    const uint64_t rst = Activate(card);
    bench_.clock.RunUntil(rst + Etu(30) + Etu(12) * 3 + Etu(11));  // the fourth byte complete
    bench_.reader->RemoveCard();
    bench_.Run(100 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x3B, 0x6F, 0x00, 0x00, 0x10, 0x86}));
    EXPECT_FALSE(bench_.reader->TimeoutArmed());
}

// --- Sending card data ------------------------------------------------------------------

TEST_F(ReaderTest, fifty_card_bytes_go_in_three_commands_each_answered) {
    ScriptedCard* card = Insert();
    Activate(card);
    bench_.Run(50 * kMs);
    bench_.Take();
    Bytes data(50);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x10 + i);
    size_t sent = 0;
    for (uint8_t expected_cmd : {0x58, 0x58, 0x42}) {
        const size_t k = std::min<size_t>(24, data.size() - sent);
        Bytes cmd{static_cast<uint8_t>(0x40 | k)};
        ASSERT_EQ(cmd[0], expected_cmd);
        cmd.insert(cmd.end(), data.begin() + sent, data.begin() + sent + k);
        const uint64_t in = bench_.HostWrite(cmd);
        bench_.clock.RunUntil(in + Etu(12) * k + kB);
        ASSERT_EQ(bench_.Take(), Bytes{0x90}) << "chunk at " << sent;
        // Answered when the last character and its error-signal window are over.
        EXPECT_EQ(bench_.out.back().start_ns, in + Etu(12) * (k - 1) + Etu(12));
        EXPECT_EQ(card->received_at[sent], in + Etu(10));
        sent += k;
    }
    EXPECT_EQ(card->received, data);
    EXPECT_EQ(card->parity_errors, 0);
}

TEST_F(ReaderTest, characters_to_the_card_are_spaced_by_the_guard_time) {
    ScriptedCard* card = Insert();
    Activate(card);
    bench_.Run(50 * kMs);
    bench_.Take();
    EXPECT_EQ(bench_.Command({0x81, 0x2C}), Bytes{0x90});
    EXPECT_EQ(bench_.Command({0x82, 0x80}), Bytes{0x90});  // guard 0x12C = 300 etu
    const uint64_t in = bench_.HostWrite({0x42, 0xAA, 0xBB});
    bench_.Run(200 * kMs);
    ASSERT_EQ(card->received_at.size(), 2u);
    EXPECT_EQ(card->received_at[1] - card->received_at[0], Etu(300));
    EXPECT_EQ(bench_.out.back().start_ns, in + Etu(300) + Etu(12));
}

TEST_F(ReaderTest, commands_that_arrive_during_a_card_transmission_wait_their_turn) {
    ScriptedCard* card = Insert();
    Activate(card);
    bench_.Run(50 * kMs);
    bench_.Take();
    Bytes cmd{0x58};
    cmd.resize(25, 0x55);
    cmd.push_back(0xC0);  // read the version right behind it
    bench_.HostWrite(cmd);
    bench_.Run(100 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x23}));
    EXPECT_EQ(card->received.size(), 24u);
}

// While a send-data command is on the card line the host's bytes only wait in the FIFO: its
// characters may run ahead of a real-time clock, up to its reply (not included: the reply takes
// the FIFO). Nothing may while the reader listens, nor when a card may be pulled at a character.
TEST_F(ReaderTest, a_send_data_command_on_the_card_line_does_not_hear_the_host_until_its_reply) {
    struct Row {
        uint32_t card_pull_at_char;
        bool runs_ahead;
    };
    for (const Row row : {Row{0, true}, Row{100, false}}) {
        ReaderConfig config;
        config.faults.card_pull_at_char = row.card_pull_at_char;
        ReaderBench bench(config);
        bench.reader->InsertCard(std::make_unique<ScriptedCard>());
        bench.Run(10 * kMs);
        bench.HostWrite({0x83, 0x1D});
        bench.Run(50 * kMs);
        bench.Take();
        EXPECT_EQ(bench.reader->HostIndependentUntilNs(), 0u);
        const uint64_t in = bench.HostWrite({0x43, 0x01, 0x02, 0x03});
        // The command runs when its last byte is in, and its first character starts then.
        bench.clock.RunUntil(in);
        // What it says at each step of the card line: the first character's end, the others'
        // leading edges and ends, then the instant before the reply; nothing once it is out.
        std::vector<uint64_t> said;
        for (int i = 0; i < 20; ++i) {
            const uint64_t until = bench.reader->HostIndependentUntilNs();
            if (said.empty() || said.back() != until) said.push_back(until);
            if (until == 0) break;
            bench.clock.RunUntil(*bench.clock.NextDueNs());
        }
        const std::vector<uint64_t> expected =
            row.runs_ahead ? std::vector<uint64_t>{in + Etu(10), in + Etu(12), in + Etu(22), in + Etu(24),
                                                   in + Etu(34), in + Etu(24) + Etu(12) - 1, 0}
                           : std::vector<uint64_t>{0};
        EXPECT_EQ(said, expected) << "card pulled at character " << row.card_pull_at_char;
        bench.Run(50 * kMs);
        EXPECT_EQ(bench.Take(), Bytes{0x90});
    }
}

// While the host is silent a real-time clock may run ahead of it up to a time-out, which its
// next byte would disarm; not at all while a command is begun or waits in the FIFO.
TEST_F(ReaderTest, the_reader_runs_ahead_of_a_silent_host_up_to_a_time_out) {
    std::vector<std::pair<const char*, uint64_t>> said;
    const auto say = [&](const char* when) { said.emplace_back(when, bench_.reader->HostSilentUntilNs()); };
    say("no card");
    ScriptedCard* card = Insert();
    EXPECT_EQ(bench_.Command({0x86, 0xF4, 0x01, 0x00}), Bytes{0x90});  // block time-out 500 etu
    const uint64_t rst = Activate(card);
    bench_.Run(50 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x3B, 0x00}));
    say("after the ATR");
    bench_.clock.RunUntil(bench_.HostWrite({0x43}));
    say("a command begun");
    const uint64_t in = bench_.HostWrite({0x01, 0x02, 0x03});
    bench_.clock.RunUntil(in);
    say("its characters on the card line");
    bench_.clock.RunUntil(bench_.HostWrite({0xC0}));
    say("the next command in the FIFO");
    bench_.Run(50 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x23}));
    say("both answered");
    const uint64_t atr_last_leading = rst + Etu(30) + Etu(12);
    const uint64_t last_out_leading = in + Etu(24);
    const std::vector<std::pair<const char*, uint64_t>> expected = {
        {"no card", UINT64_MAX},
        {"after the ATR", atr_last_leading + Etu(9600) - 1},
        {"a command begun", 0},
        {"its characters on the card line", UINT64_MAX},
        {"the next command in the FIFO", 0},
        {"both answered", last_out_leading + Etu(500) - 1},
    };
    EXPECT_EQ(said, expected);
}

TEST_F(ReaderTest, card_pulled_during_send_data_answers_with_reader_error_after_the_event) {
    ScriptedCard* card = Insert();
    Activate(card);
    bench_.Run(50 * kMs);
    bench_.Take();
    Bytes cmd{0x58};
    cmd.resize(25, 0x55);
    const uint64_t in = bench_.HostWrite(cmd);
    bench_.clock.RunUntil(in + Etu(12) * 5);
    bench_.reader->RemoveCard();
    bench_.Run(100 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x10, 0x86, 0x84}));
    EXPECT_EQ(bench_.Command({0xC0}), Bytes{0x23});
}

// --- The reader's time-out --------------------------------------------------------------

TEST_F(ReaderTest, timeout_comes_at_the_character_waiting_time_after_the_last_byte) {
    ScriptedCard* card = Insert();
    EXPECT_EQ(bench_.Command({0x85, 200, 0x00, 0x00}), Bytes{0x90});
    const uint64_t rst = Activate(card);
    bench_.Run(500 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x3B, 0x00, 0x10, 0x83}));
    const uint64_t last_leading = rst + Etu(30) + Etu(12);
    const auto& out = bench_.out;
    EXPECT_EQ(out[out.size() - 2].start_ns, last_leading + Etu(200));
    EXPECT_EQ(out.back().start_ns, last_leading + Etu(200) + kB);
    // Reported once.
    bench_.Run(5000 * kMs);
    EXPECT_TRUE(bench_.Take().empty());
}

TEST_F(ReaderTest, timeout_is_disarmed_by_the_hosts_next_command) {
    ScriptedCard* card = Insert();
    EXPECT_EQ(bench_.Command({0x85, 200, 0x00, 0x00}), Bytes{0x90});
    const uint64_t rst = Activate(card);
    bench_.clock.RunUntil(rst + Etu(30) + Etu(12) + Etu(100));
    EXPECT_EQ(bench_.Command({0xC0}, 5000 * kMs), (Bytes{0x90, 0x3B, 0x00, 0x23}));
}

TEST_F(ReaderTest, block_timeout_counts_from_the_last_character_sent) {
    ScriptedCard* card = Insert();
    EXPECT_EQ(bench_.Command({0x86, 0xF4, 0x01, 0x00}), Bytes{0x90});  // 500 etu
    Activate(card);
    bench_.Run(50 * kMs);  // the ATR; its 9600-etu character time-out is not reached
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x3B, 0x00}));
    const uint64_t in = bench_.HostWrite({0x42, 0x00, 0xA4});  // the card answers nothing
    bench_.Run(500 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x10, 0x83}));
    const uint64_t last_leading = in + Etu(12);
    EXPECT_EQ(bench_.out[bench_.out.size() - 2].start_ns, last_leading + Etu(500));
}

TEST_F(ReaderTest, mute_card_times_out_40000_clocks_after_reset) {
    ScriptedCard* card = Insert();
    card->atr.clear();
    const size_t base = bench_.out.size();
    const uint64_t rst = Activate(card);
    bench_.Run(500 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x10, 0x83}));
    EXPECT_EQ(bench_.out[base + 1].start_ns, rst + Clocks(40000));
}

TEST_F(ReaderTest, timeout_never_joins_the_burst_of_the_last_card_byte) {
    ScriptedCard* card = Insert();
    EXPECT_EQ(bench_.Command({0x85, 12, 0x00, 0x00}), Bytes{0x90});  // absurdly short
    const uint64_t rst = Activate(card);
    bench_.Run(500 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x3B, 0x00, 0x10, 0x83}));
    const uint64_t last_byte_start = rst + Etu(30) + Etu(12) + Etu(10);
    const auto& out = bench_.out;
    EXPECT_EQ(out[out.size() - 2].start_ns, last_byte_start + kB + kMs);
}

TEST_F(ReaderTest, timeout_waits_while_the_card_keeps_sending) {
    // A T=0 card sending NULL bytes every 150 etu under a 200-etu waiting time is no silence.
    ScriptedCard* card = Insert();
    EXPECT_EQ(bench_.Command({0x85, 200, 0x00, 0x00}), Bytes{0x90});
    EXPECT_EQ(bench_.Command({0x86, 200, 0x00, 0x00}), Bytes{0x90});
    card->on_byte = [](ScriptedCard& self, CardLink& link, uint8_t) {
        if (self.received.size() != 5) return;
        for (int i = 0; i < 5; ++i) link.Send(0x60, 150);
        link.Send(0x90, 150);
        link.Send(0x00);
    };
    Activate(card);
    bench_.Run(50 * kMs);
    bench_.Take();
    bench_.HostWrite({0x45, 0x00, 0xA4, 0x04, 0x00, 0x00});
    bench_.Run(500 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x60, 0x60, 0x60, 0x60, 0x60, 0x90, 0x00, 0x10, 0x83}));
}

// --- Rates and parity -------------------------------------------------------------------

TEST_F(ReaderTest, parity_errors_are_reported_in_place_of_the_byte) {
    ReaderConfig config;
    config.faults.card_parity_error_ppm = 1'000'000;
    ReaderBench bench(config);
    auto card = std::make_unique<ScriptedCard>();
    ScriptedCard* raw = card.get();
    bench.reader->InsertCard(std::move(card));
    raw->atr = {0x3B, 0x10};
    EXPECT_EQ(bench.Command({0x83, 0x1D}), (Bytes{0x10, 0x85, 0x90, 0x10, 0x88, 0x10, 0x88}));
    EXPECT_EQ(bench.reader->Stats().card_parity_errors, 2u);
}

TEST_F(ReaderTest, card_at_another_rate_arrives_as_parity_errors) {
    ScriptedCard* card = Insert();
    card->atr = {0x3B, 0x00};
    card->rate = Rate{372, 2};
    Activate(card);
    bench_.Run(50 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x3B, 0x00}));  // reset brought it to 372/1
    card->rate = Rate{372, 2};
    bench_.HostWrite({0x41, 0x00});
    card->on_byte = [](ScriptedCard&, CardLink& link, uint8_t) { link.Send(0x6D, 16); };
    bench_.Run(50 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x10, 0x88}));
    EXPECT_EQ(card->parity_errors, 1);  // the reader's byte reached it garbled too
}

class PtsTest : public ReaderTest {
protected:
    // A card that answers the PTS request with `answer` and then runs at `after`.
    ScriptedCard* CardAnsweringPts(Bytes answer, Rate after) {
        ScriptedCard* card = Insert();
        card->on_byte = [answer, after](ScriptedCard& self, CardLink& link, uint8_t) {
            if (self.received.size() == 4) {
                for (size_t i = 0; i < answer.size(); ++i) link.Send(answer[i], i == 0 ? 16 : 0);
                self.rate = after;
            } else if (self.received.size() == 9) {
                link.Send(0x90, 16);
                link.Send(0x00);
            }
        };
        Activate(card);
        bench_.Run(50 * kMs);
        EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x3B, 0x00}));
        return card;
    }
    Bytes ExchangeAfterPts() {
        bench_.HostWrite({0x44, 0xFF, 0x11, 0x13, 0xFD});
        bench_.Run(50 * kMs);
        Bytes pts = bench_.Take();
        bench_.HostWrite({0x45, 0x00, 0xC0, 0x00, 0x00, 0x02});
        bench_.Run(50 * kMs);
        Bytes after = bench_.Take();
        pts.insert(pts.end(), after.begin(), after.end());
        return pts;
    }
};

TEST_F(PtsTest, successful_pts_switches_the_reader_to_the_negotiated_rate) {
    CardAnsweringPts({0xFF, 0x11, 0x13, 0xFD}, Rate{372, 4});
    EXPECT_EQ(ExchangeAfterPts(), (Bytes{0x90, 0xFF, 0x11, 0x13, 0xFD, 0x90, 0x90, 0x00}));
    EXPECT_TRUE(SameRate(bench_.reader->CardRate(), Rate{372, 4}));
    EXPECT_EQ(bench_.reader->EtuNs(4), Etu(1));
}

TEST_F(PtsTest, answer_without_pts1_keeps_the_default_rate) {
    CardAnsweringPts({0xFF, 0x01, 0xFE}, kDefaultRate);
    EXPECT_EQ(ExchangeAfterPts(), (Bytes{0x90, 0xFF, 0x01, 0xFE, 0x90, 0x90, 0x00}));
    EXPECT_TRUE(SameRate(bench_.reader->CardRate(), kDefaultRate));
}

TEST_F(PtsTest, answer_with_a_bad_check_byte_leaves_the_rate_alone) {
    // A card that switches anyway is then heard as garbage.
    CardAnsweringPts({0xFF, 0x11, 0x13, 0xFC}, Rate{372, 4});
    EXPECT_EQ(ExchangeAfterPts(),
              (Bytes{0x90, 0xFF, 0x11, 0x13, 0xFC, 0x90, 0x10, 0x88, 0x10, 0x88}));
    EXPECT_TRUE(SameRate(bench_.reader->CardRate(), kDefaultRate));
}

TEST_F(PtsTest, another_activation_returns_to_the_default_rate) {
    ScriptedCard* card = CardAnsweringPts({0xFF, 0x11, 0x13, 0xFD}, Rate{372, 4});
    ExchangeAfterPts();
    Activate(card);
    EXPECT_TRUE(SameRate(bench_.reader->CardRate(), kDefaultRate));
}

// --- Fault injection --------------------------------------------------------------------

TEST_F(ReaderTest, injected_reader_error_goes_out_at_once) {
    EXPECT_EQ(bench_.Command({0x82, 0x41}), Bytes{0x90});
    for (int i = 0; i < 3; ++i) bench_.reader->OnHostByte(0xC2);
    bench_.Run(kB / 2);
    bench_.reader->InjectReaderError();
    bench_.Run(20 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x41, 0x10, 0x84, 0x41, 0x41}));
}

TEST_F(ReaderTest, reader_error_fault_answers_commands_without_executing_them) {
    ReaderConfig config;
    config.faults.reader_error_ppm = 1'000'000;
    ReaderBench bench(config);
    EXPECT_EQ(bench.Command({0x85, 0x10, 0x00, 0x00}), (Bytes{0x10, 0x84}));
    EXPECT_EQ(bench.reader->CharTimeoutEtu(), 9600u);
}

TEST_F(ReaderTest, muted_reader_stops_answering_for_good) {
    ReaderConfig config;
    config.faults.mute_after_commands = 2;
    ReaderBench bench(config);
    EXPECT_EQ(bench.Command({0xC0}), Bytes{0x23});
    EXPECT_EQ(bench.Command({0xC0}), Bytes{0x23});
    EXPECT_TRUE(bench.Command({0xC0}).empty());
    bench.reader->InsertCard(std::make_unique<ScriptedCard>());
    EXPECT_TRUE(bench.Command({0xC4}).empty());
    EXPECT_TRUE(bench.reader->Muted());
}

TEST_F(ReaderTest, pulled_card_comes_back_when_asked_to) {
    ReaderConfig config;
    config.faults.card_pull_ppm = 1'000'000;
    config.faults.reinsert_after_ns = 10 * kMs;
    ReaderBench bench(config);
    bench.reader->InsertCard(std::make_unique<ScriptedCard>());
    bench.Run(kMs);
    EXPECT_EQ(bench.Take(), (Bytes{0x10, 0x85}));
    bench.HostWrite({0x83, 0x1D});
    bench.Run(5 * kMs);  // pulled at the leading edge of TS
    EXPECT_EQ(bench.Take(), (Bytes{0x90, 0x10, 0x86}));
    bench.Run(10 * kMs);
    EXPECT_EQ(bench.Take(), (Bytes{0x10, 0x85}));
    EXPECT_EQ(bench.reader->Stats().cards_pulled, 1u);
    EXPECT_EQ(bench.Command({0xC4}), Bytes{0x01});  // back, and unpowered
}

TEST_F(ReaderTest, card_pulled_at_a_chosen_character_of_the_card_line) {
    ReaderConfig config;
    config.faults.card_pull_at_char = 3;  // the third ATR character: TS and T0 get through
    ReaderBench bench(config);
    auto card = std::make_unique<ScriptedCard>();
    card->atr = {0x3B, 0x02, 0x41, 0x42};
    bench.reader->InsertCard(std::move(card));
    bench.Run(kMs);
    bench.Take();
    bench.HostWrite({0x83, 0x1D});
    bench.Run(10 * kMs);
    EXPECT_EQ(bench.Take(), (Bytes{0x90, 0x3B, 0x02, 0x10, 0x86}));
    EXPECT_EQ(bench.reader->Stats().card_line_chars, 3u);
    EXPECT_FALSE(bench.reader->CardPresent());
}

TEST_F(ReaderTest, dropped_host_bytes_cost_one_command_only) {
    ReaderConfig config;
    config.faults.host_rx_drop_ppm = 1'000'000;
    ReaderBench bench(config);
    EXPECT_TRUE(bench.Command({0x85, 0x80, 0x25, 0x00}).empty());
    EXPECT_EQ(bench.reader->Stats().host_bytes_dropped, 4u);
}

// A conversation with every fault switched on at a modest rate; its complete output is a
// function of the seed.
struct FaultRun {
    std::vector<std::pair<uint64_t, uint8_t>> bytes;
    std::string trace;
};

FaultRun FaultyConversation(uint64_t seed) {
    ReaderConfig config;
    config.faults.seed = seed;
    config.faults.host_rx_corrupt_ppm = 20'000;
    config.faults.host_rx_drop_ppm = 10'000;
    config.faults.host_tx_corrupt_ppm = 20'000;
    config.faults.host_tx_drop_ppm = 10'000;
    config.faults.card_parity_error_ppm = 30'000;
    config.faults.card_pull_ppm = 3'000;
    config.faults.reinsert_after_ns = 20 * kMs;
    config.faults.reader_error_ppm = 20'000;
    ReaderBench bench(config);
    auto card = std::make_unique<ScriptedCard>();
    card->atr = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x03, 0x06};
    card->on_byte = [](ScriptedCard&, CardLink& link, uint8_t b) { link.Send(b ^ 0xFF, 16); };
    bench.reader->InsertCard(std::move(card));
    for (int round = 0; round < 30; ++round) {
        bench.Command({0x85, 0x80, 0x25, 0x00});
        bench.Command({0x83, 0x1D}, 100 * kMs);
        Bytes data{0x48};
        for (int i = 0; i < 8; ++i) data.push_back(static_cast<uint8_t>(round * 8 + i));
        bench.Command(data, 100 * kMs);
        bench.Command({0xC4});
        bench.Command({0x84, 0x00});
    }
    bench.trace.Flush();
    FaultRun run;
    for (const auto& b : bench.out) run.bytes.emplace_back(b.start_ns, b.b);
    run.trace = bench.trace.Text();
    return run;
}

TEST_F(ReaderTest, same_seed_gives_the_same_fault_run) {
    const FaultRun a = FaultyConversation(1234);
    const FaultRun b = FaultyConversation(1234);
    const FaultRun c = FaultyConversation(1235);
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(a.trace, b.trace);
    EXPECT_NE(a.bytes, c.bytes);
    // The faults did happen: a clean run of the same script differs.
    EXPECT_NE(a.trace.find("faulty card byte"), std::string::npos);
}

// --- Power from the host's port ----------------------------------------------------------

// Everything the host wrote and the card's power go with the supply; after it returns the
// reader reads as it did at its first power-on.
TEST_F(ReaderTest, power_loss_deactivates_the_card_and_power_on_restores_the_start_up_registers) {
    ScriptedCard* card = Insert();
    Activate(card);
    bench_.Run(50 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x3B, 0x00}));
    EXPECT_EQ(bench_.Command({0x81, 0x2C}), Bytes{0x90});
    EXPECT_EQ(bench_.Command({0x82, 0xC1}), Bytes{0x90});
    EXPECT_EQ(bench_.Command({0x85, 0x00, 0x01, 0x00}), Bytes{0x90});
    EXPECT_EQ(bench_.Command({0x86, 0x34, 0x12, 0x00}), Bytes{0x90});
    EXPECT_EQ(bench_.Command({0x88, 0x5A}), Bytes{0x90});
    bench_.reader->SetPowered(false);
    EXPECT_FALSE(bench_.reader->Powered());
    EXPECT_EQ(card->deactivations, 1);
    EXPECT_TRUE(bench_.reader->CardPresent());
    EXPECT_FALSE(bench_.reader->CardPowered());
    // An unpowered reader takes nothing and says nothing.
    EXPECT_TRUE(bench_.Command({0xC4}).empty());
    EXPECT_TRUE(bench_.Command({0x83, 0x1D}).empty());
    EXPECT_EQ(card->resets.size(), 1u);
    EXPECT_EQ(bench_.reader->Stats().host_bytes_unpowered, 3u);
    bench_.reader->SetPowered(true);
    bench_.Run(10 * kMs);
    EXPECT_TRUE(bench_.Take().empty());  // no event at power-on, though a card is in the slot
    EXPECT_EQ(bench_.reader->RegisterValue(wire::RegMode), 0x00);
    EXPECT_EQ(bench_.reader->RegisterValue(8), 0x00);
    EXPECT_EQ(bench_.reader->GuardTimeEtu(), 12u);
    EXPECT_EQ(bench_.reader->CharTimeoutEtu(), 9600u);
    EXPECT_EQ(bench_.reader->BlockTimeoutEtu(), 9600u);
    EXPECT_EQ(bench_.Command({0xC2}), Bytes{0x00});
    EXPECT_EQ(bench_.Command({0xC0}), Bytes{0x23});
    EXPECT_EQ(bench_.Command({0xC4}), Bytes{0x01});  // present, not powered: the host finds it here
    Activate(card);
    ASSERT_EQ(card->resets.size(), 2u);
    EXPECT_EQ(card->resets[1].first, ResetKind::Cold);
    bench_.Run(50 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x90, 0x3B, 0x00}));
}

// The port may be set to D0 while it is in D0: a reader that is powered already keeps what the
// host wrote into it.
TEST_F(ReaderTest, power_to_the_state_it_is_in_changes_nothing) {
    ScriptedCard* card = Insert();
    Activate(card);
    bench_.Run(50 * kMs);
    bench_.Take();
    EXPECT_EQ(bench_.Command({0x81, 0x2C}), Bytes{0x90});
    bench_.reader->SetPowered(true);
    EXPECT_EQ(bench_.Command({0xC1}), Bytes{0x2C});
    EXPECT_EQ(bench_.Command({0xC4}), Bytes{0x03});
    EXPECT_EQ(card->deactivations, 0);
}

// A command on the card line and replies on their way to the host are lost with the power:
// only the byte already on the wire arrives (here the first half of an escape pair), and the
// next command after power-on is answered by itself.
TEST_F(ReaderTest, power_loss_mid_command_and_mid_reply_stream_leaves_nothing_behind) {
    ScriptedCard* card = Insert();
    Activate(card);
    bench_.Run(50 * kMs);
    bench_.Take();
    EXPECT_EQ(bench_.Command({0x82, 0x10}), Bytes{0x90});
    for (int i = 0; i < 3; ++i) bench_.reader->OnHostByte(0xC2);  // three replies 0x10 0x10
    bench_.Run(bench_.byte_ns / 2);  // the first byte of the first pair on the wire
    bench_.reader->SetPowered(false);
    bench_.Run(10 * kMs);
    EXPECT_EQ(bench_.Take(), Bytes{0x10});
    bench_.reader->SetPowered(true);
    // A send-card-data command cut by the power: no reply, the rest of its bytes and a command
    // behind it dropped with the receive FIFO.
    Activate(card);
    bench_.Run(50 * kMs);
    bench_.Take();
    Bytes cmd{0x58};
    cmd.resize(25, 0x55);
    cmd.push_back(0xC0);
    const uint64_t in = bench_.HostWrite(cmd);
    bench_.clock.RunUntil(in + Etu(12) * 5);
    bench_.reader->SetPowered(false);
    EXPECT_EQ(card->deactivations, 2);
    const size_t received = card->received.size();
    bench_.Run(100 * kMs);
    EXPECT_TRUE(bench_.Take().empty());
    EXPECT_EQ(card->received.size(), received);  // nothing more reached the card
    bench_.reader->SetPowered(true);
    EXPECT_EQ(bench_.Command({0xC0}), Bytes{0x23});
    EXPECT_FALSE(bench_.reader->TimeoutArmed());
}

TEST_F(ReaderTest, card_moved_while_unpowered_changes_the_slot_without_an_event) {
    ScriptedCard* card = Insert();
    bench_.reader->SetPowered(false);
    std::unique_ptr<Card> out = bench_.reader->RemoveCard();
    EXPECT_EQ(out.get(), card);
    bench_.reader->InjectReaderError();
    bench_.Run(10 * kMs);
    EXPECT_TRUE(bench_.Take().empty());
    bench_.reader->SetPowered(true);
    EXPECT_EQ(bench_.Command({0xC4}), Bytes{0x00});
    bench_.reader->SetPowered(false);
    EXPECT_TRUE(bench_.reader->InsertCard(std::move(out)));
    bench_.reader->SetPowered(true);
    bench_.Run(10 * kMs);
    EXPECT_TRUE(bench_.Take().empty());
    EXPECT_EQ(bench_.Command({0xC4}), Bytes{0x01});
    // Powered again, the slot reports as before.
    bench_.reader->RemoveCard();
    bench_.Run(10 * kMs);
    EXPECT_EQ(bench_.Take(), (Bytes{0x10, 0x86}));
}

TEST_F(ReaderTest, an_unpowered_reader_keeps_no_timer) {
    ScriptedCard* card = Insert();
    card->atr.assign(20, 0x3B);
    Activate(card);
    bench_.Run(5 * kMs);  // ATR half way, time-out armed, bytes queued
    bench_.reader->SetPowered(false);
    bench_.Run(bench_.byte_ns);  // the test line's last byte in flight lands
    EXPECT_EQ(bench_.clock.PendingTimers(), 0u);
    EXPECT_FALSE(bench_.reader->TimeoutArmed());
}

TEST_F(ReaderTest, destroying_the_reader_leaves_no_timer_behind) {
    ScriptedCard* card = Insert();
    card->atr.assign(20, 0x3B);
    Activate(card);
    bench_.Run(5 * kMs);  // ATR half way, time-out armed, bytes queued
    bench_.reader.reset();
    bench_.Run(bench_.byte_ns);  // the test line's last byte in flight lands
    EXPECT_EQ(bench_.clock.PendingTimers(), 0u);
}

}  // namespace
}  // namespace lmscr::sim
