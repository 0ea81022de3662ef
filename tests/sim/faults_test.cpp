#include "sim/faults.h"

#include <gtest/gtest.h>

#include <vector>

namespace lmscr::sim {
namespace {

TEST(SplitMix64Test, known_answer_for_seed_zero) {
    // Published first outputs of splitmix64 seeded with 0.
    SplitMix64 g(0);
    EXPECT_EQ(g.Next(), 0xE220A8397B1DCDAFull);
    EXPECT_EQ(g.Next(), 0x6E789E6AA1B965F4ull);
}

std::vector<bool> Draws(Faults& f, FaultKind kind, uint32_t ppm, int n) {
    std::vector<bool> out;
    for (int i = 0; i < n; ++i) out.push_back(f.Roll(kind, ppm));
    return out;
}

TEST(FaultsTest, same_seed_gives_same_draws) {
    FaultOptions o;
    o.seed = 42;
    Faults a(o), b(o);
    EXPECT_EQ(Draws(a, FaultKind::CardParity, 300'000, 200), Draws(b, FaultKind::CardParity, 300'000, 200));
}

TEST(FaultsTest, other_seed_gives_other_draws) {
    FaultOptions o;
    o.seed = 42;
    Faults a(o);
    o.seed = 43;
    Faults b(o);
    EXPECT_NE(Draws(a, FaultKind::CardParity, 500'000, 200), Draws(b, FaultKind::CardParity, 500'000, 200));
}

TEST(FaultsTest, switching_one_kind_on_does_not_move_another_kinds_draws) {
    FaultOptions o;
    o.seed = 7;
    Faults alone(o), mixed(o);
    const auto expected = Draws(alone, FaultKind::HostRxDrop, 250'000, 100);
    std::vector<bool> got;
    for (int i = 0; i < 100; ++i) {
        mixed.Roll(FaultKind::CardPull, 500'000);
        mixed.FlipOneBit(FaultKind::HostTxCorrupt, 0x55);
        got.push_back(mixed.Roll(FaultKind::HostRxDrop, 250'000));
    }
    EXPECT_EQ(got, expected);
}

TEST(FaultsTest, zero_never_and_million_always_without_drawing) {
    FaultOptions o;
    Faults f(o), reference(o);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_FALSE(f.Roll(FaultKind::Mute, 0));
        ASSERT_TRUE(f.Roll(FaultKind::Mute, 1'000'000));
    }
    // Nothing was drawn from the stream: it still gives what a fresh one gives.
    EXPECT_EQ(Draws(f, FaultKind::Mute, 500'000, 64), Draws(reference, FaultKind::Mute, 500'000, 64));
}

TEST(FaultsTest, rate_is_honoured_over_many_draws) {
    FaultOptions o;
    o.seed = 1;
    Faults f(o);
    int hits = 0;
    for (int i = 0; i < 100'000; ++i) hits += f.Roll(FaultKind::CardParity, 100'000);
    EXPECT_GT(hits, 9'000);
    EXPECT_LT(hits, 11'000);
}

TEST(FaultsTest, flip_changes_exactly_one_bit_and_reaches_every_bit) {
    FaultOptions o;
    o.seed = 3;
    Faults f(o);
    unsigned seen = 0;
    for (int i = 0; i < 400; ++i) {
        const uint8_t x = static_cast<uint8_t>(f.FlipOneBit(FaultKind::HostRxCorrupt, 0xA5) ^ 0xA5);
        ASSERT_EQ(__builtin_popcount(x), 1);
        seen |= x;
    }
    EXPECT_EQ(seen, 0xFFu);
}

}  // namespace
}  // namespace lmscr::sim
