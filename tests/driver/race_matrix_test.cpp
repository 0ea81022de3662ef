// The race matrix and the fault sweep as tests.  `make test` samples them: a few seeds for every
// pair, the first faults of every kind.  `make soak SEEDS=n` runs every pair under n seeds and every
// fault, and prints the tables (LMSCR_SOAK_SEEDS set).
#include "race_matrix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace lmscr::test::race;

namespace {

uint64_t EnvCount(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

Table RunMatrix(uint64_t seeds, uint64_t firstSeed) {
    Table table;
    const auto& entries = Entries();
    for (size_t a = 0; a < entries.size(); ++a)
        for (size_t b = a; b < entries.size(); ++b)
            for (uint64_t seed = firstSeed; seed < firstSeed + seeds; ++seed) {
                std::string row = std::string(entries[a].name) + " x " + entries[b].name;
                table.Add(row, RunIsolated([&] { RunPair(a, b, seed); }));
            }
    return table;
}

Table RunSweep(unsigned maxNth, uint64_t seeds) {
    Table table;
    for (const Fault& f : Faults(maxNth))
        for (uint64_t seed = 1; seed <= seeds; ++seed)
            table.Add(f.name.substr(0, f.name.find(" #")), RunIsolated([&] { RunSession(&f, seed); }));
    return table;
}

TEST(RaceMatrix, every_pair_of_entry_points_at_one_instant_ends_clean) {
    // Forty seeds a pair here (about 4800 runs); a failing run names its pair and its seed, which
    // LMSCR_RACE_PAIR and LMSCR_SEED run again alone.  LMSCR_RACE_FIRST_SEED moves the window.
    const uint64_t seeds = EnvCount("LMSCR_RACE_SEEDS", 40);
    const uint64_t first = EnvCount("LMSCR_RACE_FIRST_SEED", 1);
    Table table = RunMatrix(seeds, first);
    EXPECT_EQ(table.Failures(), 0u) << table.Print("pair") << table.FirstFailure();
}

// One cell in this process, for a look with a debugger or a trace: LMSCR_RACE_PAIR="close x stop",
// LMSCR_SEED the seed.
TEST(RaceMatrix, one_pair_named_in_the_environment) {
    const char* pair = std::getenv("LMSCR_RACE_PAIR");
    if (!pair) GTEST_SKIP() << "set LMSCR_RACE_PAIR";
    const auto& entries = Entries();
    for (size_t a = 0; a < entries.size(); ++a)
        for (size_t b = a; b < entries.size(); ++b)
            if (std::string(entries[a].name) + " x " + entries[b].name == pair) {
                RunPair(a, b, EnvCount("LMSCR_SEED", 1));
                return;
            }
    FAIL() << "no pair " << pair;
}

TEST(FaultSweep, a_fault_in_any_asynchronous_step_ends_clean) {
    Table table = RunSweep(static_cast<unsigned>(EnvCount("LMSCR_FAULT_NTH", 3)), 1);
    EXPECT_EQ(table.Failures(), 0u) << table.Print("fault") << table.FirstFailure();
}

TEST(Soak, race_matrix_and_fault_sweep_tables) {
    const uint64_t seeds = EnvCount("LMSCR_SOAK_SEEDS", 0);
    if (seeds == 0) GTEST_SKIP() << "set LMSCR_SOAK_SEEDS (make soak SEEDS=n)";
    const auto begin = std::chrono::steady_clock::now();
    Table matrix = RunMatrix(seeds, 1);
    const auto matrixDone = std::chrono::steady_clock::now();
    Table sweep = RunSweep(static_cast<unsigned>(EnvCount("LMSCR_FAULT_NTH", 40)), 3);
    const auto end = std::chrono::steady_clock::now();
    auto secs = [](auto d) { return std::chrono::duration<double>(d).count(); };
    std::printf("%s\n%zu entry points, %zu pairs, %llu seeds each: %.1f s\n\n%s\n%.1f s\n",
                matrix.Print("pair (seeds 1.." + std::to_string(seeds) + ")").c_str(), Entries().size(),
                Entries().size() * (Entries().size() + 1) / 2, static_cast<unsigned long long>(seeds),
                secs(matrixDone - begin), sweep.Print("fault (3 seeds each)").c_str(), secs(end - matrixDone));
    EXPECT_EQ(matrix.Failures(), 0u) << matrix.FirstFailure();
    EXPECT_EQ(sweep.Failures(), 0u) << sweep.FirstFailure();
}

}  // namespace
