// The race matrix: every asynchronous way into the driver (a request, a cancel, a cleanup, a card
// or line event, a Plug and Play step) paired with every other, both started at the same virtual
// instant, under many seeds.  Each run ends verifier-clean with the driver unloaded and nothing
// left behind, or it is a failure with a name: the violation, the deadlock, the leak, or the
// broken check.  Runs happen in a child process, so that a stopped run is an outcome and the next
// run goes on.
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
// `limitSeconds` of real time is killed ("real-time hang").
Outcome RunIsolated(const std::function<void()>& body, unsigned limitSeconds = 60);

// One cell: entries a and b (indices into Entries()) at the same virtual instant, with a seed.
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
