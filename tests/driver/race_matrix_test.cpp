// The race matrix and the fault sweep as tests.  `make test` samples them: a few seeds for every
// pair and for every triple of the busiest entry points, the first faults of every kind.  `make soak
// SEEDS=n` runs every pair under n seeds, the triples under a share of them, and every fault, and
// prints the tables (LMSCR_SOAK_SEEDS set).  The runs go to one child process per processor
// (LMSCR_RACE_JOBS to choose); a run that hangs is the kernel's deadlock report, never a time-out.
#include "race_matrix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

using namespace lmscr::test::race;

namespace {

// Under AddressSanitizer (the Debug build of `make asan`) a run costs about thirty times what it
// costs in the release build, 27 ms of a processor against 0.9 ms.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

uint64_t EnvCount(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

size_t EntryIndex(const std::string& name) {
    const auto& entries = Entries();
    for (size_t i = 0; i < entries.size(); ++i)
        if (name == entries[i].name) return i;
    throw std::invalid_argument("no entry point " + name);
}

std::string CellName(const std::vector<size_t>& cell) {
    std::string name;
    for (size_t i : cell) name += (name.empty() ? "" : " x ") + std::string(Entries()[i].name);
    return name;
}

// The entry points that touch the most shared state at once: the request that waits for a start
// (IoCount, ReaderStarted, the remove lock), the cancel and the cleanup of the parked tracking
// request (the library's cancel path, the handle), the card's removal (the card state, the receive
// engine), the stop, the surprise removal and the sleep (the Plug and Play and power paths that
// hold device control back or let it go) and the port's loss (the close worker, the interface).
const std::vector<const char*> kTripleEntries = {"vendor-ioctl", "cancel",           "cleanup", "card-out",
                                                 "stop",         "surprise-removal", "sleep",   "dsr-drop"};

std::vector<std::vector<size_t>> Pairs() {
    std::vector<std::vector<size_t>> cells;
    const size_t n = Entries().size();
    for (size_t a = 0; a < n; ++a)
        for (size_t b = a; b < n; ++b) cells.push_back({a, b});
    return cells;
}

// Every three different entries of kTripleEntries: 56 cells.
std::vector<std::vector<size_t>> Triples() {
    std::vector<std::vector<size_t>> cells;
    const size_t n = kTripleEntries.size();
    for (size_t a = 0; a < n; ++a)
        for (size_t b = a + 1; b < n; ++b)
            for (size_t c = b + 1; c < n; ++c)
                cells.push_back(
                    {EntryIndex(kTripleEntries[a]), EntryIndex(kTripleEntries[b]), EntryIndex(kTripleEntries[c])});
    return cells;
}

// Every cell under the seeds first .. first + seeds - 1, run by the workers; the table has a row a
// cell.
Table RunCells(const std::vector<std::vector<size_t>>& cells, uint64_t seeds, uint64_t first = 1) {
    std::vector<Job> jobs;
    jobs.reserve(cells.size() * seeds);
    for (const auto& cell : cells)
        for (uint64_t seed = first; seed < first + seeds; ++seed)
            jobs.push_back({CellName(cell), [cell, seed] { RunCell(cell, seed); }});
    const std::vector<Outcome> outcomes = RunJobs(jobs, Workers());
    Table table;
    for (size_t i = 0; i < jobs.size(); ++i) {
        Outcome o = outcomes[i];
        if (!o.Clean()) o.detail = "seed " + std::to_string(first + i % seeds) + "\n" + o.detail;
        table.Add(jobs[i].row, o);
    }
    return table;
}

Table RunSweep(unsigned maxNth, uint64_t seeds) {
    const std::vector<Fault> faults = Faults(maxNth);
    std::vector<Job> jobs;
    for (const Fault& f : faults)
        for (uint64_t seed = 1; seed <= seeds; ++seed)
            jobs.push_back({f.name.substr(0, f.name.find(" #")), [&f, seed] { RunSession(&f, seed); }});
    const std::vector<Outcome> outcomes = RunJobs(jobs, Workers());
    Table table;
    for (size_t i = 0; i < jobs.size(); ++i) table.Add(jobs[i].row, outcomes[i]);
    return table;
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

TEST(RaceMatrix, every_pair_of_entry_points_at_one_instant_ends_clean) {
    // Forty seeds a pair here (about 11,000 runs, some ten seconds of a processor); sixteen under
    // the sanitizers, where they take two minutes of one.  A failing run names its cell and its
    // seed, which LMSCR_RACE_CELL and LMSCR_SEED run again alone.  LMSCR_RACE_FIRST_SEED moves the
    // window.
    const uint64_t seeds = EnvCount("LMSCR_RACE_SEEDS", kSanitized ? 16 : 40);
    const uint64_t first = EnvCount("LMSCR_RACE_FIRST_SEED", 1);
    Table table = RunCells(Pairs(), seeds, first);
    EXPECT_EQ(table.Failures(), 0u) << table.Print("pair") << table.FirstFailure();
}

// The triple that hung the driver: a stop, the surprise removal of the stopped reader, and a
// request that came in between them and waited for a start that would never come, so that its
// handle could not close and the remove request, which waits for the handle, never came either.
TEST(RaceMatrix, stop_surprise_removal_and_a_request_at_one_instant_end_clean) {
    const std::vector<size_t> cell = {EntryIndex("stop"), EntryIndex("surprise-removal"), EntryIndex("vendor-ioctl")};
    Table table = RunCells({cell}, 16);
    EXPECT_EQ(table.Failures(), 0u) << table.Print("triple") << table.FirstFailure();
}

TEST(RaceMatrix, every_triple_of_the_busiest_entry_points_at_one_instant_ends_clean) {
    // Eight seeds a triple here (448 runs); LMSCR_RACE_TRIPLE_SEEDS for more.
    const uint64_t seeds = EnvCount("LMSCR_RACE_TRIPLE_SEEDS", 8);
    const uint64_t first = EnvCount("LMSCR_RACE_FIRST_SEED", 1);
    Table table = RunCells(Triples(), seeds, first);
    EXPECT_EQ(table.Failures(), 0u) << table.Print("triple") << table.FirstFailure();
}

// One cell in this process, for a look with a debugger or a trace: LMSCR_RACE_CELL="close x stop"
// or "stop x surprise-removal x vendor-ioctl" (LMSCR_RACE_PAIR is read too), LMSCR_SEED the seed.
TEST(RaceMatrix, one_cell_named_in_the_environment) {
    const char* named = std::getenv("LMSCR_RACE_CELL");
    if (!named) named = std::getenv("LMSCR_RACE_PAIR");
    if (!named) GTEST_SKIP() << "set LMSCR_RACE_CELL";
    std::vector<size_t> cell;
    const std::string text = named;
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find(" x ", at);
        if (end == std::string::npos) end = text.size();
        cell.push_back(EntryIndex(text.substr(at, end - at)));
        at = end + 3;
    }
    RunCell(cell, EnvCount("LMSCR_SEED", 1));
}

TEST(FaultSweep, a_fault_in_any_asynchronous_step_ends_clean) {
    Table table = RunSweep(static_cast<unsigned>(EnvCount("LMSCR_FAULT_NTH", 3)), 1);
    EXPECT_EQ(table.Failures(), 0u) << table.Print("fault") << table.FirstFailure();
}

// The soak: every pair under n seeds, every triple under LMSCR_SOAK_TRIPLE_PERCENT of them (all
// unless set; at least one), and the whole fault sweep.  `make soak 1000` (some 300,000 runs) takes
// under three minutes on two idle processors.
TEST(Soak, race_matrix_and_fault_sweep_tables) {
    const uint64_t seeds = EnvCount("LMSCR_SOAK_SEEDS", 0);
    if (seeds == 0) GTEST_SKIP() << "set LMSCR_SOAK_SEEDS (make soak SEEDS=n)";
    const uint64_t triplePercent = EnvCount("LMSCR_SOAK_TRIPLE_PERCENT", 100);
    const uint64_t tripleSeeds = std::max<uint64_t>(1, seeds * triplePercent / 100);
    const auto begin = std::chrono::steady_clock::now();
    Table pairs = RunCells(Pairs(), seeds);
    const auto pairsDone = std::chrono::steady_clock::now();
    Table triples = RunCells(Triples(), tripleSeeds);
    const auto triplesDone = std::chrono::steady_clock::now();
    Table sweep = RunSweep(static_cast<unsigned>(EnvCount("LMSCR_FAULT_NTH", 40)), 3);
    const auto end = std::chrono::steady_clock::now();
    std::printf("%s\n%zu entry points, %zu pairs, %llu seeds each: %.1f s\n\n",
                pairs.Print("pair (seeds 1.." + std::to_string(seeds) + ")").c_str(), Entries().size(),
                Pairs().size(), static_cast<unsigned long long>(seeds), Seconds(pairsDone - begin));
    std::printf("%s\n%zu triples of %zu entry points, %llu seeds each (%llu%% of the pairs' seeds): %.1f s\n\n",
                triples.Print("triple (seeds 1.." + std::to_string(tripleSeeds) + ")").c_str(), Triples().size(),
                kTripleEntries.size(), static_cast<unsigned long long>(tripleSeeds),
                static_cast<unsigned long long>(triplePercent), Seconds(triplesDone - pairsDone));
    std::printf("%s\n%.1f s\n\n%u worker processes, %.1f s in all\n", sweep.Print("fault (3 seeds each)").c_str(),
                Seconds(end - triplesDone), Workers(), Seconds(end - begin));
    EXPECT_EQ(pairs.Failures(), 0u) << pairs.FirstFailure();
    EXPECT_EQ(triples.Failures(), 0u) << triples.FirstFailure();
    EXPECT_EQ(sweep.Failures(), 0u) << sweep.FirstFailure();
}

}  // namespace
