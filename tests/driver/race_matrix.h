// The race matrix: every asynchronous way into the driver (a request, a cancel, a cleanup, a card
// or line event, a Plug and Play or power step) paired with every other, and the busiest of them
// three at a time, all started at the same virtual instant, under many seeds.  Each run ends
// verifier-clean with the driver unloaded and nothing left behind, or it is a failure with a name:
// the violation, the deadlock, the leak, or the broken check.  Runs happen in child processes, so
// that a stopped run is an outcome and the next run goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace lmscr::test::race {

struct Entry {
    const char* name;
    bool needsStopped;  // runs against a reader that is added but not started (the start)
    bool needsCard;     // the card is in the reader before the instant (the removal of the card)
    bool needsPowered = false;  // the card has been reset before the instant (protocol selection)
    // The card runs a protocol before the instant (T=1, EF 2F00 selected), ready for commands.
    bool needsProtocol = false;
    // A command is on its way to the card at the instant (sent 25 ms before it).
    bool exchangeInFlight = false;
    // The system sleeps (S3) before the instant (the wake).
    bool needsAsleep = false;
};

// The entry points, in the order the table prints them.
const std::vector<Entry>& Entries();

// What one run came to: "clean", or a named failure ("IRP_COMPLETED_TWICE", "deadlock",
// "leak", "check: ...", "crash: signal 11").
struct Outcome {
    std::string name;
    std::string detail;  // the child's output when it did not end clean
    bool Clean() const { return name == "clean"; }
};

// Runs `body` in a child process; its output is captured, and an abort, a signal, a failed
// expectation or a non-zero exit becomes a named outcome.  A child that runs longer than
// `limitSeconds` of real time is killed ("real-time hang"); a hang in virtual time is the kernel's
// deadlock report long before that.
Outcome RunIsolated(const std::function<void()>& body, unsigned limitSeconds = 60);

// Many runs, each isolated from the test process and from every other run's failure: `workers`
// child processes at once, each taking one job after another until a run fails (the process
// ends with it, and a fresh one goes on with the next job) or it has run
// LMSCR_RACE_RUNS_PER_PROCESS jobs (1000 unless set; 1 gives every run a process of its own).
// Runs are seeded and start from a fresh kernel, so a run's outcome does not depend on the runs
// before it in the same process.  The outcomes come back in the order of the jobs.
struct Job {
    std::string row;
    std::function<void()> body;
};
std::vector<Outcome> RunJobs(const std::vector<Job>& jobs, unsigned workers, unsigned limitSeconds = 60);
// LMSCR_RACE_JOBS, else one worker per processor the machine has.
unsigned Workers();

// One cell: the entries (indices into Entries(), two or three) at the same virtual instant, with a
// seed.
void RunCell(const std::vector<size_t>& entries, uint64_t seed);
void RunPair(size_t a, size_t b, uint64_t seed);

// A fault injected into one asynchronous step of an ordinary session (start, requests, card in
// and out, close, stop, restart, removal).
struct Fault {
    std::string name;  // for the table: "IoAllocateIrp@ArmSerialWait #2", "refuse READ #3", ...
    std::function<void(void* rig)> inject;
};
// Every fault of the sweep; `maxNth` bounds the nth call of each kind that is failed.
std::vector<Fault> Faults(unsigned maxNth);
void RunSession(const Fault* fault, uint64_t seed);

// Counts outcomes per row and prints them as a table.
class Table {
public:
    void Add(const std::string& row, const Outcome& outcome);
    std::string Print(const std::string& title) const;
    size_t Failures() const;
    std::string FirstFailure() const { return firstFailure_; }

private:
    std::vector<std::string> rows_;
    std::map<std::string, std::map<std::string, unsigned>> counts_;
    std::vector<std::string> columns_;
    std::string firstFailure_;
};

}  // namespace lmscr::test::race
