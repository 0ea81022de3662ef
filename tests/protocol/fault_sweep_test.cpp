// Line faults of the simulated reader swept through the whole stack, end to end in virtual time:
// an application's script (SELECT twice, READ BINARY of 16 and of 256 bytes, UPDATE BINARY of 40,
// a read back) runs through the transmit request, the library, the driver's T=0 and T=1 exchanges,
// the receive engine, the host line and the reader, to a T=0 card and to three T=1 cards (LRC;
// LRC with answers chained in 16-byte blocks; CRC with answers chained in 24-byte blocks; the
// update chained to each of them), while the reader loses or flips host-line bytes in one
// direction, flags card bytes with parity errors, answers commands with reader errors, or has the
// card pulled at one character of an exchange.
//
// Every exchange is judged against the card application's own model of the answer, and of the
// card's file after it:
//
//   right         success, the right answer, no fault during it
//   recovered     success, the right answer, and a fault hit during it
//   failed        a failure status, within the exchange's time budget
//   undetectable  T=0 only: success with another answer or another effect on the card, after a
//                 host-line flip since the card's last reset or a byte to the host lost in the
//                 exchange.  T=0 has no check over its bytes and the host line no parity bit: a
//                 flipped data byte, a lost procedure byte (the first data bytes then read as
//                 SW1 SW2) or a lost escape (the reader's time-out report then reads as data)
//                 reaches the application whatever the driver does.  Counted, never hidden.
//   edc-blind     T=1 only: the same, when the faults of the exchange are ones the block check
//                 can miss: two flips of one bit under LRC, four flips under CRC, two lost bytes
//   WRONG         any other success with another answer or effect: a fault the protocol could
//                 have caught and the stack did not.  Must stay 0.
//
// After a failure the script goes on as an application would: a card still running its
// protocol is used again (reset if that fails too), one that the driver powered down is reset
// and its protocol selected, a pulled card is waited for and reset, and the script starts over
// from its SELECTs.  Every session must complete its passes.
//
// The reader draws its faults from its birth.  A fault seed is therefore taken only when its
// first fault falls after the reader's start and the card's first reset (a start that fails on a
// lost byte tests the start, not the exchanges); a clean run with the same kernel seed counts the
// events those take.  Later resets run under the faults like everything else.
//
// LMSCR_SWEEP_SEEDS (default 8) sets the sessions per fault kind and card; LMSCR_SWEEP_PULL=all
// pulls the card at every character of every exchange of the script instead of one exchange;
// LMSCR_SWEEP_NOTES=all prints every undetectable and edc-blind answer.
#include "card_session.h"

#include "sim/cards/application.h"
#include "sim/cards/iso_card.h"
#include "sim/faults.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>

using namespace lmscr;
using namespace lmscr::test;

namespace {

using Bytes = std::vector<uint8_t>;
using sim::cards::CardApplication;
using sim::cards::IsoCard;

uint64_t EnvCount(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

bool EnvIs(const char* name, const char* value) {
    const char* v = std::getenv(name);
    return v && std::string(v) == value;
}

std::string Hex(const Bytes& b, size_t max = 24) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < b.size() && i < max; ++i) {
        std::snprintf(buf, sizeof(buf), "%02X", b[i]);
        out += buf;
    }
    if (b.size() > max) out += "..(" + std::to_string(b.size()) + ")";
    return out;
}

// ---- the script -------------------------------------------------------------------------------

constexpr uint16_t kFileBytes = 512;  // EF 6F01
constexpr uint16_t kUpdateOffset = 0x100;
// 45 bytes of APDU: on the T=1 cards of IFSC 32 a chain of two I-blocks, the first of them
// longer than one send-data command (24 card bytes); on T=0 two send-data commands of data.
constexpr uint8_t kUpdateBytes = 40;

// What the script writes: the escape byte, NULL, the INS of UPDATE BINARY and status-like bytes
// among them, so that every one of them travels as data both ways.
Bytes UpdateData() {
    Bytes d = {0x10, 0x60, 0xD6, 0x29, 0x90, 0x00, 0x61, 0x10, 0x10, 0x6C, 0x83};
    while (d.size() < kUpdateBytes) d.push_back(static_cast<uint8_t>(d.size() * 37 + 11));
    return d;
}

Bytes WithSw(Bytes data, uint16_t sw = 0x9000) {
    data.push_back(static_cast<uint8_t>(sw >> 8));
    data.push_back(static_cast<uint8_t>(sw));
    return data;
}

struct Step {
    std::string name;
    Bytes apdu;
    Bytes answer;  // from the application's model of the card
};

const std::vector<Step>& Script() {
    static const std::vector<Step> steps = [] {
        const Bytes content = CardApplication::InitialContent(CardApplication::kEfLong);
        const Bytes update = UpdateData();
        Bytes updateApdu = {0x00, 0xD6, kUpdateOffset >> 8, kUpdateOffset & 0xFF, kUpdateBytes};
        updateApdu.insert(updateApdu.end(), update.begin(), update.end());
        return std::vector<Step>{
            {"select DF", {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10}, WithSw({})},
            {"select EF", {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01}, WithSw({})},
            {"read 16", {0x00, 0xB0, 0x00, 0x00, 0x10}, WithSw(Bytes(content.begin(), content.begin() + 16))},
            {"update 40", updateApdu, WithSw({})},
            {"read 256", {0x00, 0xB0, 0x00, 0x00, 0x00}, WithSw(Bytes(content.begin(), content.begin() + 256))},
            {"read back 40", {0x00, 0xB0, kUpdateOffset >> 8, kUpdateOffset & 0xFF, kUpdateBytes}, WithSw(update)},
        };
    }();
    return steps;
}
constexpr size_t kUpdateStep = 3;

// The card's long file as the script leaves it: untouched outside the window it updates, and
// that window either as it came or as written.  Right after a successful update, as written.
enum class FileState { Good, Spoiled };

FileState CheckFile(IsoCard* card, bool updateJustDone) {
    const Bytes* now = card->Application().FileContent(CardApplication::kEfLong);
    const Bytes initial = CardApplication::InitialContent(CardApplication::kEfLong);
    const Bytes update = UpdateData();
    if (now == nullptr || now->size() != kFileBytes) return FileState::Spoiled;
    const auto window = now->begin() + kUpdateOffset;
    for (size_t i = 0; i < kFileBytes; ++i)
        if (i < kUpdateOffset || i >= kUpdateOffset + kUpdateBytes)
            if ((*now)[i] != initial[i]) return FileState::Spoiled;
    const bool written = std::equal(update.begin(), update.end(), window);
    const bool asCame = std::equal(initial.begin() + kUpdateOffset, initial.begin() + kUpdateOffset + kUpdateBytes, window);
    if (updateJustDone) return written ? FileState::Good : FileState::Spoiled;
    return written || asCame ? FileState::Good : FileState::Spoiled;
}

// A spoiled file is put back through the application itself (the card's memory, not the line),
// so that the next pass judges the driver again and not the last pass's damage.
void RestoreFile(CardSession& s, IsoCard* card) {
    s.rig.Port().WithReader([&](sim::ReaderFirmware&) {
        CardApplication& app = card->Application();
        auto run = [&](Bytes apdu) { (void)app.Execute(*sim::cards::ParseShortApdu(apdu)); };
        run({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00});
        run({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10});
        run({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01});
        const Bytes initial = CardApplication::InitialContent(CardApplication::kEfLong);
        for (size_t at = 0; at < kFileBytes; at += 128) {
            Bytes apdu = {0x00, 0xD6, static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at), 128};
            apdu.insert(apdu.end(), initial.begin() + static_cast<long>(at), initial.begin() + static_cast<long>(at + 128));
            run(apdu);
        }
        app.Reset();
    });
}

// ---- the faults -------------------------------------------------------------------------------

enum class Fault { HostRxDrop, HostRxCorrupt, HostTxDrop, HostTxCorrupt, CardParity, ReaderError, CardPull };

const char* FaultName(Fault f) {
    switch (f) {
    case Fault::HostRxDrop: return "host->reader lost";
    case Fault::HostRxCorrupt: return "host->reader flipped";
    case Fault::HostTxDrop: return "reader->host lost";
    case Fault::HostTxCorrupt: return "reader->host flipped";
    case Fault::CardParity: return "card parity error";
    case Fault::ReaderError: return "reader error";
    case Fault::CardPull: return "card pulled";
    }
    return "?";
}

// Rates: about one fault in every pass or two of the script, so that most passes meet one and
// the sessions still finish (a lost byte to the reader, and on T=0 any fault, ends its exchange).
struct Rate {
    Fault fault;
    sim::FaultKind kind;
    uint32_t ppm;
};
constexpr Rate kRates[] = {
    {Fault::HostRxDrop, sim::FaultKind::HostRxDrop, 3'000},
    {Fault::HostRxCorrupt, sim::FaultKind::HostRxCorrupt, 6'000},
    {Fault::HostTxDrop, sim::FaultKind::HostTxDrop, 2'000},
    {Fault::HostTxCorrupt, sim::FaultKind::HostTxCorrupt, 2'000},
    {Fault::CardParity, sim::FaultKind::CardParity, 2'500},
    {Fault::ReaderError, sim::FaultKind::ReaderError, 30'000},
};

const Rate& RateOf(Fault f) {
    for (const Rate& r : kRates)
        if (r.fault == f) return r;
    std::abort();
}

void SetRate(sim::FaultOptions& o, const Rate& r) {
    switch (r.fault) {
    case Fault::HostRxDrop: o.host_rx_drop_ppm = r.ppm; break;
    case Fault::HostRxCorrupt: o.host_rx_corrupt_ppm = r.ppm; break;
    case Fault::HostTxDrop: o.host_tx_drop_ppm = r.ppm; break;
    case Fault::HostTxCorrupt: o.host_tx_corrupt_ppm = r.ppm; break;
    case Fault::CardParity: o.card_parity_error_ppm = r.ppm; break;
    case Fault::ReaderError: o.reader_error_ppm = r.ppm; break;
    case Fault::CardPull: break;
    }
}

bool IsFlip(Fault f) { return f == Fault::HostRxCorrupt || f == Fault::HostTxCorrupt; }

// One fault kind's stream, drawn exactly as the reader draws it (sim::Faults with the same
// options), so that the test knows which event of the kind was hit and which bit a flip took.
// Only one kind is switched on per session, so no other stream moves.
class Replica {
public:
    struct Hit {
        uint64_t event;  // the kind's events counted from the reader's birth
        uint8_t mask;    // the flipped bit; 0 for a loss
    };

    Replica(const sim::FaultOptions& o, const Rate& r) : faults_(o), rate_(r) {}

    // Rolls up to `events` events of the kind.
    void RollTo(uint64_t events) {
        while (rolled_ < events) RollOne();
    }
    // For bytes to the host: the reader rolls for a loss before each byte it puts on the line,
    // and counts only those it puts; rolls until `delivered` bytes went out.
    void RollToDelivered(uint64_t delivered) {
        while (delivered_ < delivered) {
            if (!RollOne() || rate_.fault != Fault::HostTxDrop) ++delivered_;
        }
    }
    uint64_t FirstHit(uint64_t limit) {
        while (hits_.empty() && rolled_ < limit) RollOne();
        return hits_.empty() ? limit : hits_.front().event;
    }
    const std::vector<Hit>& Hits() const { return hits_; }
    size_t HitCount() const { return hits_.size(); }

private:
    bool RollOne() {
        const uint64_t event = rolled_++;
        if (!faults_.Roll(rate_.kind, rate_.ppm)) return false;
        hits_.push_back({event, IsFlip(rate_.fault) ? faults_.FlipOneBit(rate_.kind, 0) : uint8_t{0}});
        return true;
    }

    sim::Faults faults_;
    Rate rate_;
    uint64_t rolled_ = 0;
    uint64_t delivered_ = 0;
    std::vector<Hit> hits_;
};

// The kind's events so far, as the reader counts them.
uint64_t EventsOf(Fault f, const sim::ReaderFirmware& r) {
    const sim::ReaderStats& s = r.Stats();
    switch (f) {
    case Fault::HostRxDrop:
    case Fault::HostRxCorrupt: return s.host_bytes_received + s.host_bytes_dropped;
    case Fault::HostTxDrop:
    case Fault::HostTxCorrupt: return r.Transmitter().BytesSent();
    case Fault::CardParity: return s.bytes_from_card;
    case Fault::ReaderError: return s.commands;
    case Fault::CardPull: return s.card_line_chars;
    }
    return 0;
}

// ---- the clean run ----------------------------------------------------------------------------

// The library's retry limits for one command (platform/smclib/t1.cpp): a block is repeated at
// most twice before resynchronisation, which is asked for at most three times; after a
// successful one the command starts over from its first block.
constexpr uint32_t kT1Retries = 2;
constexpr uint32_t kT1Resynchs = 3;
constexpr double kAbandonedBlockPauseMs = 254;  // the driver's pause after a faulty block
constexpr double kPowerOffSettleMs = 200;       // the driver's pause after switching a card off
// The driver's wait for a reader that did not take a send-data command to fall quiet: at most
// 20 rounds of 25 ms.
constexpr double kReaderResynchronizeMs = 20 * 25;
constexpr double kHostByteMs = kHostByteUs / 1000.0;

struct StepShape {
    uint64_t charsBefore = 0, charsAfter = 0;  // card line leading edges around it, first pass
    uint32_t readerBlocks = 0;  // T=1: blocks the card received for it
    double budgetMs = 0;
};

struct Calibration {
    bool t1 = false;
    bool crc = false;
    uint64_t startupEvents[7] = {};  // per Fault, after the start and the first reset
    std::vector<StepShape> steps;
    double charTimeoutMs = 0, totalTimeoutMs = 0;
};

// Time budgets, from the card's waiting times, the driver's time-outs derived from them and the
// library's retry limits.  Every wait of the driver that does not end in a failure ends with a
// byte; the card sends each of its bytes within its waiting time of the one before, and the line
// carries it in at most two host bytes (escape coding).  A failed wait ends the driver's
// exchange (T=0) or the block's attempt (T=1), so each attempt has at most one that runs its full
// time-out, and the longest is the read of the largest count the driver can be waiting for.
double ReaderCommandMs(double readerCharMs) {
    // One send-data command of up to 24 card bytes: written, sent on to the card, acknowledged.
    return 25 * kHostByteMs + 24 * readerCharMs + 2 * kHostByteMs;
}

double PowerDownMs(double charMs, double totalMs) {
    // A register write and a register read, each awaited, and the settling pause.
    return kPowerOffSettleMs + 2 * (charMs + totalMs) + 8 * kHostByteMs;
}

double T0BudgetMs(const Step& step, const Calibration& c, double wtMs, double readerCharMs) {
    const Bytes& a = step.apdu;
    const uint32_t lc = a.size() > 5 ? a[4] : 0;
    const uint32_t le = a.size() == 5 ? (a[4] == 0 ? 256 : a[4]) : 0;
    // Worst path: every command byte after the header sent alone, a procedure byte before each.
    const double sends = (1 + lc) * ReaderCommandMs(readerCharMs);
    const uint32_t cardBytes = (lc + le + 1) + le + 2;
    const double cardMs = cardBytes * (wtMs + 2 * kHostByteMs);
    const double longestWait = (le + 2) * c.charTimeoutMs + c.totalTimeoutMs;
    return sends + cardMs + longestWait + kReaderResynchronizeMs + PowerDownMs(c.charTimeoutMs, c.totalTimeoutMs);
}

double T1BudgetMs(const Step& step, const StepShape& shape, const Calibration& c, uint32_t ifsc, double bwtMs,
                  double cwtMs, double readerCharMs) {
    const uint32_t edc = c.crc ? 2 : 1;
    const uint32_t blockOut = 3 + std::min<uint32_t>(ifsc, static_cast<uint32_t>(step.apdu.size())) + edc;
    const double send = ((blockOut + 23) / 24) * ReaderCommandMs(readerCharMs);
    // The card's block: its first byte within BWT, the rest each within CWT; up to 254 INF bytes.
    const uint32_t blockIn = 3 + 254 + edc;
    const double receive = bwtMs + (blockIn - 1) * cwtMs + blockIn * 2 * kHostByteMs;
    const double longestWait = (254 + edc) * c.charTimeoutMs + c.totalTimeoutMs;
    const double attempt =
        send + receive + longestWait + c.charTimeoutMs + kAbandonedBlockPauseMs + kReaderResynchronizeMs;
    const uint32_t attempts = (kT1Resynchs + 1) * (kT1Retries + 1) * shape.readerBlocks + kT1Resynchs;
    return attempts * attempt + kAbandonedBlockPauseMs + PowerDownMs(c.charTimeoutMs, c.totalTimeoutMs);
}

constexpr ULONG kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

IsoCard* CardOf(CardSession& s) { return static_cast<IsoCard*>(s.rig.Port().Reader().CardInSlot()); }

uint32_t CardBlocks(IsoCard* card) { return card->T1().Stats().blocks_received + card->T1().Stats().invalid_blocks; }

// Two clean passes of the script: the answers must be the model's; the shape of every exchange
// and the events of the start are measured for the faulty runs with the same kernel seed.
Calibration Calibrate(const std::string& cardName, uint64_t kernelSeed) {
    Calibration c;
    CardSession s(RigOptions::Seeded(kernelSeed));
    s.Start(cardName);
    s.PowerAndSelect(kProtocols);
    if (::testing::Test::HasFatalFailure()) return c;
    IsoCard* card = CardOf(s);
    const sim::ReaderFirmware& reader = s.rig.Port().Reader();
    for (Fault f : {Fault::HostRxDrop, Fault::HostRxCorrupt, Fault::HostTxDrop, Fault::HostTxCorrupt, Fault::CardParity,
                    Fault::ReaderError, Fault::CardPull})
        c.startupEvents[static_cast<int>(f)] = EventsOf(f, reader);
    c.t1 = s.Smartcard()->CardCapabilities.Protocol.Selected == SCARD_PROTOCOL_T1;
    c.crc = c.t1 && (s.Smartcard()->CardCapabilities.T1.EDC & 0x01) == T1_CRC_CHECK;
    c.charTimeoutMs = s.Reader()->CharTimeout;
    c.totalTimeoutMs = s.Reader()->TotalTimeout;

    const auto& script = Script();
    c.steps.resize(script.size());
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < script.size(); ++i) {
            const uint64_t chars = reader.Stats().card_line_chars;
            const uint32_t blocks = c.t1 ? CardBlocks(card) : 0;
            NTSTATUS status = 0;
            const Bytes answer = s.Transmit(script[i].apdu, &status);
            EXPECT_EQ(status, STATUS_SUCCESS) << cardName << " " << script[i].name;
            EXPECT_EQ(Hex(answer, 300), Hex(script[i].answer, 300)) << cardName << " " << script[i].name;
            StepShape& shape = c.steps[i];
            if (pass == 0) {
                shape.charsBefore = chars;
                shape.charsAfter = reader.Stats().card_line_chars;
            }
            if (c.t1) shape.readerBlocks = std::max(shape.readerBlocks, CardBlocks(card) - blocks);
        }
    }
    const double readerCharMs = static_cast<double>(reader.EtuNs(std::max<uint32_t>(reader.GuardTimeEtu(), 11))) / 1e6;
    const double etuMs = static_cast<double>(reader.EtuNs(1000)) / 1e9;
    for (size_t i = 0; i < script.size(); ++i) {
        if (c.t1) {
            c.steps[i].budgetMs = T1BudgetMs(script[i], c.steps[i], c, s.Smartcard()->CardCapabilities.T1.IFSC,
                                             card->T1().BwtEtu() * etuMs, card->T1().CwtEtu() * etuMs, readerCharMs);
        } else {
            c.steps[i].budgetMs = T0BudgetMs(script[i], c, card->T0().WorkWaitingEtu() * etuMs, readerCharMs);
        }
    }
    return c;
}

const Calibration& CalibrationOf(const std::string& card, uint64_t kernelSeed) {
    static std::map<std::pair<std::string, uint64_t>, Calibration> cache;
    auto it = cache.find({card, kernelSeed});
    if (it == cache.end()) it = cache.emplace(std::make_pair(card, kernelSeed), Calibrate(card, kernelSeed)).first;
    return it->second;
}

// ---- the tally ---------------------------------------------------------------------------------

struct Cell {
    uint64_t sessions = 0, exchanges = 0;
    uint64_t right = 0, recovered = 0, failed = 0, undetectable = 0, edcBlind = 0, wrong = 0;
    uint64_t overBudget = 0, unfinished = 0, resets = 0, phantomRemovals = 0, spoiledFiles = 0;
    uint64_t lateWrong = 0;  // files spoiled after a failed exchange, not by an exchange of their own
    double maxFailedMs = 0, maxOkMs = 0;
    double minBudgetMs = 0, maxBudgetMs = 0;
    std::map<NTSTATUS, uint64_t> failures;
};

struct Tally {
    std::map<std::pair<int, std::string>, Cell> cells;
    std::vector<std::string> problems;  // wrong answers, budgets overrun, sessions that never finished
    std::vector<std::string> notes;     // the undetectable and edc-blind answers, to be looked at
    double realMs = 0;

    Cell& At(Fault f, const std::string& card) { return cells[{static_cast<int>(f), card}]; }

    std::string Print() const {
        std::ostringstream o;
        char line[320];
        std::snprintf(line, sizeof(line), "%-21s %-12s %5s %6s | %6s %6s %6s %6s %5s %5s | %6s %5s %5s | %8s %8s %13s\n",
                      "fault", "card", "runs", "exch", "right", "recov", "failed", "undet", "edc-b", "WRONG",
                      "resets", "phant", "spoil", "max ok", "max fail", "budget");
        o << line;
        for (const auto& [key, c] : cells) {
            std::snprintf(line, sizeof(line),
                          "%-21s %-12s %5llu %6llu | %6llu %6llu %6llu %6llu %5llu %5llu | %6llu %5llu %5llu | "
                          "%6.0fms %6.0fms %5.0f-%5.0fs\n",
                          FaultName(static_cast<Fault>(key.first)), key.second.c_str(),
                          (unsigned long long)c.sessions, (unsigned long long)c.exchanges, (unsigned long long)c.right,
                          (unsigned long long)c.recovered, (unsigned long long)c.failed,
                          (unsigned long long)c.undetectable, (unsigned long long)c.edcBlind,
                          (unsigned long long)c.wrong, (unsigned long long)c.resets,
                          (unsigned long long)c.phantomRemovals, (unsigned long long)c.spoiledFiles, c.maxOkMs,
                          c.maxFailedMs, c.minBudgetMs / 1000, c.maxBudgetMs / 1000);
            o << line;
        }
        o << "failure statuses:";
        std::map<NTSTATUS, uint64_t> all;
        for (const auto& [key, c] : cells)
            for (const auto& [st, n] : c.failures) all[st] += n;
        for (const auto& [st, n] : all) {
            std::snprintf(line, sizeof(line), " %08X x%llu", (unsigned)st, (unsigned long long)n);
            o << line;
        }
        o << "\n";
        return o.str();
    }
};

Tally& Totals() {
    static Tally t;
    return t;
}

// ---- one session -------------------------------------------------------------------------------

struct Plan {
    std::string card;
    Fault fault;
    uint64_t kernelSeed;
    sim::FaultOptions options;
    uint32_t passes;
};

constexpr uint32_t kMaxPassAttempts = 30;
constexpr uint32_t kMaxRecoverySteps = 12;
constexpr uint64_t kReinsertAfterMs = 30;

class Session {
public:
    Session(const Plan& plan, const Calibration& cal, Cell& cell, std::vector<std::string>& problems,
            std::vector<std::string>& notes)
        : plan_(plan), cal_(cal), cell_(cell), problems_(problems), notes_(notes), s_(Options(plan)) {
        if (plan.fault != Fault::CardPull) replica_.emplace(plan.options, RateOf(plan.fault));
    }

    void Run() {
        ++cell_.sessions;
        s_.Start(plan_.card);
        if (::testing::Test::HasFatalFailure()) return;
        card_ = CardOf(s_);
        if (!Recover(true)) return Problem("the first reset failed", true);
        // The fault seed was taken for a first fault after this point; one before it means the
        // calibration run did not count what this session did.
        if (FaultsSoFar() != 0) return Problem("a fault fell into the start or the first reset", true);
        uint32_t complete = 0;
        for (uint32_t attempt = 0; complete < plan_.passes; ++attempt) {
            if (attempt == kMaxPassAttempts) return Problem("the script never got through again", true);
            if (RunPass()) {
                ++complete;
                skippedReset_ = false;
                continue;
            }
            if (!Recover(false)) return Problem("the card could not be brought back", true);
        }
    }

private:
    static RigOptions Options(const Plan& plan) {
        RigOptions o = RigOptions::Seeded(plan.kernelSeed);
        o.reader.faults = plan.options;
        return o;
    }

    const sim::ReaderFirmware& Reader() { return s_.rig.Port().Reader(); }

    // Faults of the session's kind so far, and the host-line bit flips among them.
    size_t FaultsSoFar() {
        const sim::ReaderStats& st = Reader().Stats();
        switch (plan_.fault) {
        case Fault::HostRxDrop: return st.host_bytes_dropped;
        case Fault::HostRxCorrupt: return st.host_bytes_corrupted;
        case Fault::CardParity: return st.card_parity_errors;
        case Fault::ReaderError: return st.reader_errors;
        case Fault::CardPull: return st.cards_pulled;
        case Fault::HostTxDrop:
        case Fault::HostTxCorrupt:
            replica_->RollToDelivered(Reader().Transmitter().BytesSent());
            return replica_->HitCount();
        }
        return 0;
    }

    // Host-line flips so far (the replica rolled up to the reader's count).
    size_t Flips() {
        if (plan_.fault == Fault::HostRxCorrupt) replica_->RollTo(EventsOf(plan_.fault, Reader()));
        else if (plan_.fault == Fault::HostTxCorrupt) replica_->RollToDelivered(Reader().Transmitter().BytesSent());
        else return 0;
        return replica_->HitCount();
    }

    // Whether the faults of one T=1 exchange can have passed the block check.  Flips: two of one
    // bit position cancel in an LRC; a CRC sees every pattern of up to three.  Losses on the way
    // to the host: one lost byte leaves a block short, which its length shows; two can make a
    // block of the right length out of other bytes (an escape byte lost turns an event code into
    // data), which a check byte passes once in 256 (LRC) or 65536 (CRC).  A byte lost on the way
    // to the reader leaves its command unfinished: the reader drops it, or, with the block's next
    // command waiting behind it in the reader's FIFO, completes it with that command's first byte
    // and reads the rest as commands of its own.  The card then has the block less one byte, with
    // the next command's byte in its place, and only what a misread send-data command adds after
    // it: short of its length unless those commands happen to make it up, and then its check
    // byte would have to pass as well.  Not counted as blind: the sweep's script never gets there,
    // and a case that did would show as WRONG.
    bool EdcBlind(size_t from, size_t faults) {
        if (plan_.fault == Fault::HostTxDrop) return faults >= 2;
        if (plan_.fault == Fault::HostRxDrop) return false;
        if (!IsFlip(plan_.fault)) return false;
        (void)Flips();
        const auto& hits = replica_->Hits();
        if (cal_.crc) return hits.size() - from >= 4;
        for (size_t i = from; i < hits.size(); ++i)
            for (size_t j = i + 1; j < hits.size(); ++j)
                if (hits[i].mask == hits[j].mask) return true;
        return false;
    }

    std::string Where() const {
        std::ostringstream o;
        o << FaultName(plan_.fault) << " on " << plan_.card << ", kernel seed " << plan_.kernelSeed << ", fault seed "
          << plan_.options.seed;
        if (plan_.fault == Fault::CardPull) o << ", pull at character " << plan_.options.card_pull_at_char;
        return o.str();
    }

    void Problem(const std::string& what, bool unfinished = false) {
        problems_.push_back(Where() + ": " + what);
        if (unfinished) ++cell_.unfinished;
    }

    bool RunPass() {
        const auto& script = Script();
        bool updated = false;
        for (size_t i = 0; i < script.size(); ++i) {
            const Step& step = script[i];
            const size_t faultsBefore = FaultsSoFar();
            const size_t flipsBefore = Flips();
            if (trace_) {
                std::printf("---- before %s:\n", step.name.c_str());
                for (const auto& l : s_.rig.TakeWire()) std::printf("%s\n", l.c_str());
            }
            NTSTATUS status = 0;
            const Bytes answer = s_.Transmit(step.apdu, &status);
            if (trace_) {
                std::printf("---- %s: status %08X answer %s\n", step.name.c_str(), (unsigned)status, Hex(answer).c_str());
                for (const auto& l : s_.rig.TakeWire()) std::printf("%s\n", l.c_str());
            }
            const double ms = s_.LastMs();
            const size_t faults = FaultsSoFar() - faultsBefore;
            ++cell_.exchanges;
            // On T=0 a flipped byte may have changed what the card ran, what it answered, or
            // (a command byte of the reader's) how the reader reads the bytes after it; all of it
            // stands until the next reset.
            tainted_ |= IsFlip(plan_.fault) && faults > 0 && !cal_.t1;

            const double budget = cal_.steps[i].budgetMs;
            if (cell_.minBudgetMs == 0 || budget < cell_.minBudgetMs) cell_.minBudgetMs = budget;
            cell_.maxBudgetMs = std::max(cell_.maxBudgetMs, budget);
            if (ms > budget) {
                ++cell_.overBudget;
                char b[160];
                std::snprintf(b, sizeof(b), "%s took %.1f ms, over its budget of %.1f ms (status %08X)",
                              step.name.c_str(), ms, budget, (unsigned)status);
                Problem(b);
            }

            updated |= i == kUpdateStep && status == STATUS_SUCCESS && answer == step.answer;
            const bool fileGood = CheckFile(card_, i == kUpdateStep && updated) == FileState::Good;
            if (!fileGood) {
                ++cell_.spoiledFiles;
                RestoreFile(s_, card_);
            }
            if (status != STATUS_SUCCESS) {
                ++cell_.failed;
                ++cell_.failures[status];
                cell_.maxFailedMs = std::max(cell_.maxFailedMs, ms);
                return false;
            }
            cell_.maxOkMs = std::max(cell_.maxOkMs, ms);
            if (answer == step.answer && fileGood) {
                ++(faults > 0 ? cell_.recovered : cell_.right);
                continue;
            }
            // T=0: a flip since the reset (a data byte changed, or a command byte of the reader's
            // that made it read the bytes behind as other commands), or a byte to the host lost
            // in this exchange: a lost procedure byte makes the first data bytes SW1 SW2, a lost
            // escape makes the reader's time-out report a data byte.  Nothing in T=0 tells.
            if (!cal_.t1 && (tainted_ || (plan_.fault == Fault::HostTxDrop && faults > 0))) {
                ++cell_.undetectable;
                notes_.push_back("undetectable: " + Where() + ": " + step.name + " answered " + Hex(answer) +
                                 (fileGood ? "" : ", file spoiled"));
            } else if (cal_.t1 && EdcBlind(flipsBefore, faults)) {
                ++cell_.edcBlind;
                notes_.push_back("edc-blind: " + Where() + ": " + step.name + " answered " + Hex(answer) +
                                 (fileGood ? "" : ", file spoiled"));
            } else {
                ++cell_.wrong;
                Problem(step.name + " answered " + Hex(answer) + " instead of " + Hex(step.answer) +
                        (fileGood ? "" : ", and the card's file was spoiled"));
            }
            return false;
        }
        return true;
    }

    void CheckFileAfterFailure(bool tainted) {
        if (card_ == nullptr || CheckFile(card_, false) == FileState::Good) return;
        ++cell_.spoiledFiles;
        RestoreFile(s_, card_);
        if (tainted) {
            notes_.push_back("undetectable: " + Where() + ": the card's file was spoiled after a failed exchange");
        } else {
            ++cell_.wrong;
            ++cell_.lateWrong;
            Problem("the card's file was spoiled after a failed exchange");
        }
    }

    // The application's way back after a failed exchange.  A card still running its protocol is
    // used as it is (and reset if the pass fails again); one the driver powered down is reset and its protocol selected; a pulled
    // card is waited for.  A card the driver believes gone while it sits in the slot (a removal
    // event made up by a flipped byte) is taken out and put back, as the user would.
    bool Recover(bool reset) {
        // Bytes of the failed exchange still on their way when it ended may reach the card after
        // it (a T=0 card in the middle of a command takes them as its data), up to its reset:
        // what they do is judged by what the exchange left, not by the reset.
        const bool tainted = tainted_;
        CheckFileAfterFailure(tainted);
        bool wantReset = reset || skippedReset_;
        for (uint32_t step = 0; step < kMaxRecoverySteps; ++step) {
            const ULONG state = s_.State();
            if (state <= SCARD_ABSENT) {
                if (Reader().CardPresent()) {
                    ++cell_.phantomRemovals;
                    s_.rig.Port().WithReader([](sim::ReaderFirmware& r) { r.InsertCard(r.RemoveCard()); });
                }
                s_.rig.K().Sleep(kReinsertAfterMs + 10);
                wantReset = true;
                continue;
            }
            if (state == SCARD_SPECIFIC && !wantReset) {
                skippedReset_ = true;
                return true;
            }
            ++cell_.resets;
            const size_t faultsBefore = FaultsSoFar();
            NTSTATUS status = s_.Power(SCARD_COLD_RESET).status;
            if (status == STATUS_SUCCESS) status = s_.Select(kProtocols).status;
            // A flip during the reset may have changed what the driver believes of the card (a
            // T=0 card's answer to reset has no check byte).
            tainted_ = IsFlip(plan_.fault) && FaultsSoFar() > faultsBefore && !cal_.t1;
            CheckFileAfterFailure(tainted);
            if (status == STATUS_SUCCESS && s_.State() == SCARD_SPECIFIC) {
                skippedReset_ = false;
                return true;
            }
        }
        return false;
    }

    const Plan& plan_;
    const Calibration& cal_;
    Cell& cell_;
    std::vector<std::string>& problems_;
    std::vector<std::string>& notes_;
    CardSession s_;
    IsoCard* card_ = nullptr;
    std::optional<Replica> replica_;
    bool tainted_ = false;  // T=0: a host-line flip since the last reset
    bool skippedReset_ = false;
    bool trace_ = EnvIs("LMSCR_SWEEP_TRACE", "1");
};

// A fault seed whose first fault falls after the start and the first reset.
uint64_t FaultSeedFor(const Rate& rate, uint64_t startupEvents, uint64_t from) {
    for (uint64_t seed = from;; ++seed) {
        sim::FaultOptions o;
        o.seed = seed;
        SetRate(o, rate);
        Replica r(o, rate);
        if (r.FirstHit(startupEvents) >= startupEvents) return seed;
    }
}

const std::vector<std::string> kCards = {"t0", "t1", "t1-chain", "t1-crc-chain"};

// ---- the sweeps ---------------------------------------------------------------------------------

class LineFaultSweep : public ::testing::Test {
protected:
    void RunRate(Fault fault) {
        const Rate& rate = RateOf(fault);
        const uint64_t seeds = EnvCount("LMSCR_SWEEP_SEEDS", 8);
        const uint64_t firstKernelSeed = kernel::Options::SeedFromEnvironment(1);
        Tally& t = Totals();
        const auto start = std::chrono::steady_clock::now();
        size_t problemsBefore = t.problems.size();
        for (const std::string& card : kCards) {
            Cell& cell = t.At(fault, card);
            uint64_t faultSeed = 0;
            for (uint64_t n = 0; n < seeds; ++n) {
                const uint64_t kernelSeed = firstKernelSeed + n;
                const Calibration& cal = CalibrationOf(card, kernelSeed);
                ASSERT_FALSE(HasFailure()) << "the clean script failed on " << card;
                Plan plan{card, fault, kernelSeed, {}, 3};
                faultSeed = FaultSeedFor(rate, cal.startupEvents[static_cast<int>(fault)], 1 + n * 1'000'003);
                plan.options.seed = faultSeed;
                SetRate(plan.options, rate);
                Session(plan, cal, cell, t.problems, t.notes).Run();
            }
        }
        Finish(start, problemsBefore, fault);
    }

    void Finish(std::chrono::steady_clock::time_point start, size_t problemsBefore, Fault fault) {
        Tally& t = Totals();
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        t.realMs += ms;
        Tally mine;
        for (const std::string& card : kCards) mine.cells[{static_cast<int>(fault), card}] = t.At(fault, card);
        std::printf("%s%.0f ms real\n", mine.Print().c_str(), ms);
        std::string first;
        const size_t shown = EnvIs("LMSCR_SWEEP_NOTES", "all") ? t.problems.size() : problemsBefore + 8;
        for (size_t i = problemsBefore; i < t.problems.size() && i < shown; ++i) first += "  " + t.problems[i] + "\n";
        EXPECT_EQ(t.problems.size(), problemsBefore) << first;
        for (const std::string& card : kCards) {
            const Cell& c = t.At(fault, card);
            EXPECT_EQ(c.wrong, 0u) << card;
            EXPECT_EQ(c.overBudget, 0u) << card;
            EXPECT_EQ(c.unfinished, 0u) << card;
            // Every exchange in exactly one class.
            EXPECT_EQ(c.right + c.recovered + c.failed + c.undetectable + c.edcBlind + c.wrong - c.lateWrong, c.exchanges)
                << card;
            // Faults that T=1 checks cannot show through it.
            if (card != "t0") {
                EXPECT_EQ(c.undetectable, 0u) << card;
            }
        }
    }
};

// One session named in the environment, its host line printed exchange by exchange:
// LMSCR_SWEEP_ONE="fault-index card kernel-seed fault-seed [pull-char]", LMSCR_SWEEP_TRACE=1.
TEST_F(LineFaultSweep, one_session_named_in_the_environment) {
    const char* one = std::getenv("LMSCR_SWEEP_ONE");
    if (!one) GTEST_SKIP() << "set LMSCR_SWEEP_ONE";
    std::istringstream in(one);
    int fault = 0;
    Plan plan{};
    in >> fault >> plan.card >> plan.kernelSeed >> plan.options.seed >> plan.options.card_pull_at_char;
    plan.fault = static_cast<Fault>(fault);
    plan.passes = plan.fault == Fault::CardPull ? 1 : 3;
    if (plan.fault == Fault::CardPull) plan.options.reinsert_after_ns = kReinsertAfterMs * 1'000'000;
    else SetRate(plan.options, RateOf(plan.fault));
    const Calibration& cal = CalibrationOf(plan.card, plan.kernelSeed);
    Cell cell;
    std::vector<std::string> problems, notes;
    Session(plan, cal, cell, problems, notes).Run();
    for (const auto& p : notes) std::printf("note: %s\n", p.c_str());
    for (const auto& p : problems) std::printf("%s\n", p.c_str());
    EXPECT_TRUE(problems.empty());
}

// A byte to the reader lost, or a command byte of its flipped, makes the reader read the bytes
// behind it as commands of its own (see LineFaultFindings below).
TEST_F(LineFaultSweep, host_to_reader_bytes_lost) { RunRate(Fault::HostRxDrop); }
TEST_F(LineFaultSweep, host_to_reader_bytes_flipped) { RunRate(Fault::HostRxCorrupt); }
TEST_F(LineFaultSweep, reader_to_host_bytes_lost) { RunRate(Fault::HostTxDrop); }
TEST_F(LineFaultSweep, reader_to_host_bytes_flipped) { RunRate(Fault::HostTxCorrupt); }
TEST_F(LineFaultSweep, card_parity_errors) { RunRate(Fault::CardParity); }
TEST_F(LineFaultSweep, reader_errors) { RunRate(Fault::ReaderError); }

TEST_F(LineFaultSweep, card_pulled_at_every_character_of_an_exchange) {
    // The card goes at the leading edge of each character of the update (data to the card, and
    // on T=1 a chained command) in turn; with LMSCR_SWEEP_PULL=all, of every exchange.
    const bool all = EnvIs("LMSCR_SWEEP_PULL", "all");
    const uint64_t kernelSeed = kernel::Options::SeedFromEnvironment(1);
    Tally& t = Totals();
    const auto start = std::chrono::steady_clock::now();
    const size_t problemsBefore = t.problems.size();
    for (const std::string& card : kCards) {
        const Calibration& cal = CalibrationOf(card, kernelSeed);
        ASSERT_FALSE(HasFailure()) << "the clean script failed on " << card;
        Cell& cell = t.At(Fault::CardPull, card);
        const size_t first = all ? 0 : kUpdateStep;
        const size_t last = all ? Script().size() - 1 : kUpdateStep;
        for (uint64_t at = cal.steps[first].charsBefore + 1; at <= cal.steps[last].charsAfter; ++at) {
            Plan plan{card, Fault::CardPull, kernelSeed, {}, 1};
            plan.options.card_pull_at_char = at;
            plan.options.reinsert_after_ns = kReinsertAfterMs * 1'000'000;
            const size_t pulledBefore = cell.failed;
            Session(plan, cal, cell, t.problems, t.notes).Run();
            // Every character of the exchange is the card's or the reader's: a pull there must
            // end that exchange.
            EXPECT_GT(cell.failed, pulledBefore) << card << " pulled at character " << at;
        }
    }
    Finish(start, problemsBefore, Fault::CardPull);
}

// ---- what the sweeps found, each at the one byte that shows it ------------------------------

// Host bytes the reader has taken after a clean start, reset and `apdus`: the index of the next
// host byte in the reader's host->reader fault stream.
uint64_t HostBytesAfter(const std::string& card, uint64_t kernelSeed, const std::vector<Bytes>& apdus) {
    CardSession s(RigOptions::Seeded(kernelSeed));
    s.Start(card);
    s.PowerAndSelect(kProtocols);
    for (const Bytes& apdu : apdus) {
        NTSTATUS status = 0;
        (void)s.Transmit(apdu, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
    }
    return EventsOf(Fault::HostRxDrop, s.rig.Port().Reader());
}

// The index of the first host byte of the first command of a second clean reset and protocol
// selection whose line in the host-line trace names `what`, after one that names `after`.
uint64_t HostByteOfSecondReset(const std::string& card, uint64_t kernelSeed, const std::string& after,
                               const std::string& what) {
    CardSession s(RigOptions::Seeded(kernelSeed));
    s.Start(card);
    s.PowerAndSelect(kProtocols);
    uint64_t at = EventsOf(Fault::HostRxDrop, s.rig.Port().Reader());
    (void)s.rig.TakeWire();
    s.PowerAndSelect(kProtocols);
    // Lines read "  12.345 ms host->reader  85 80 25 00   write reg 5 ...".
    static const std::string kHost = "host->reader  ";
    bool seen = false;
    for (const std::string& line : s.rig.TakeWire()) {
        const size_t from = line.find(kHost);
        if (from == std::string::npos) continue;
        if (seen && line.find(what) != std::string::npos) return at;
        seen |= line.find(after) != std::string::npos;
        const size_t bytes = line.find("  ", from + kHost.size());
        at += (bytes - from - kHost.size() + 1) / 3;
    }
    ADD_FAILURE() << "no " << what << " in the reset";
    return 0;
}

// A fault seed under which the reader loses host byte `at` and no other of the `span` after it.
constexpr uint32_t kLossPpm = 1'000;
uint64_t SeedLosingHostByte(uint64_t at, uint64_t span) {
    const Rate rate{Fault::HostRxDrop, sim::FaultKind::HostRxDrop, kLossPpm};
    for (uint64_t seed = 1; seed < 100'000; ++seed) {
        sim::FaultOptions o;
        o.seed = seed;
        SetRate(o, rate);
        Replica r(o, rate);
        r.RollTo(at + span);
        if (r.HitCount() == 1 && r.Hits()[0].event == at) return seed;
    }
    return 0;
}

RigOptions LosingHostByte(uint64_t kernelSeed, uint64_t at) {
    RigOptions o = RigOptions::Seeded(kernelSeed);
    o.reader.faults.seed = SeedLosingHostByte(at, 600);
    o.reader.faults.host_rx_drop_ppm = kLossPpm;
    return o;
}

TEST(LineFaultFindings, t0_replies_to_a_misread_command_never_answer_the_next_one) {
    // The command byte (45) of a SELECT's header is lost on its way to the reader.  The reader
    // reads the rest as commands of its own and answers each: 00 (no command) 84, A4 00 (write
    // register 36) 90, 0C 84, 02 84.  The first, 84, refuses the driver's command; the others
    // arrive later and must not be taken for the reply, procedure byte and SW2 of the next
    // SELECT (which then "succeeded" with 84 84, a status its card never sent).
    const uint64_t kernelSeed = kernel::Options::SeedFromEnvironment(1);
    const uint64_t header = HostBytesAfter("t0", kernelSeed, {});
    const RigOptions options = LosingHostByte(kernelSeed, header);
    ASSERT_NE(options.reader.faults.seed, 0u);
    CardSession s(options);
    s.Start("t0");
    s.PowerAndSelect(kProtocols);
    const Step& select = Script()[0];
    NTSTATUS status = 0;
    (void)s.Transmit(select.apdu, &status);
    EXPECT_NE(status, STATUS_SUCCESS) << "the header's command byte was lost";
    EXPECT_EQ(s.rig.Port().Reader().Stats().host_bytes_dropped, 1u);
    // Failing is fine, and so is the right answer; another answer reported as success is not.
    if (s.State() != SCARD_SPECIFIC) s.PowerAndSelect(kProtocols);
    const Bytes answer = s.Transmit(select.apdu, &status);
    if (status == STATUS_SUCCESS) {
        EXPECT_EQ(Hex(answer), Hex(select.answer));
    }
}

TEST(LineFaultFindings, t1_command_after_one_broken_off_in_the_cards_chain_never_takes_the_chains_rest) {
    // READ BINARY of 256 bytes on "t1" comes back in two chained blocks, of 254 and 4 bytes.
    // The command byte (44) of the R-block that acknowledges the first is lost, and the READ
    // fails with the card still waiting for that acknowledgement.  The next command must not
    // meet the card in that state: its I-block, or an R-block of the library's asking for the
    // card's answer to it, would otherwise acknowledge the chained block, and the chain's last
    // block, ...9C 97 90 00, would come back as the next SELECT's answer.
    const uint64_t kernelSeed = kernel::Options::SeedFromEnvironment(1);
    const auto& script = Script();
    const Bytes& read = script[4].apdu;
    // The READ's I-block goes out as one send-data command: 40 | n, NAD PCB LEN, the APDU, LRC.
    const uint64_t rBlock = HostBytesAfter("t1", kernelSeed, {script[0].apdu, script[1].apdu}) + 1 + 3 + read.size() + 1;
    const RigOptions options = LosingHostByte(kernelSeed, rBlock);
    ASSERT_NE(options.reader.faults.seed, 0u);
    CardSession s(options);
    s.Start("t1");
    s.PowerAndSelect(kProtocols);
    NTSTATUS status = 0;
    EXPECT_EQ(s.Transmit(script[0].apdu, &status), script[0].answer);
    EXPECT_EQ(s.Transmit(script[1].apdu, &status), script[1].answer);
    (void)s.Transmit(read, &status);
    EXPECT_NE(status, STATUS_SUCCESS) << "the acknowledgement's command byte was lost";
    EXPECT_EQ(s.rig.Port().Reader().Stats().host_bytes_dropped, 1u);
    if (s.State() != SCARD_SPECIFIC) s.PowerAndSelect(kProtocols);
    const Bytes answer = s.Transmit(script[0].apdu, &status);
    if (status == STATUS_SUCCESS) {
        EXPECT_EQ(Hex(answer), Hex(script[0].answer));
    }
}

TEST(LineFaultFindings, t0_replies_to_a_misread_register_write_never_answer_the_next_command) {
    // In the protocol selection after a reset, the command byte (85) of the write of the
    // character time-out, 85 40 29 00, is lost.  The reader reads 40 as a
    // send-data command of no bytes (90), 29 and 00 as no commands (84 84).  The driver takes the
    // 90 for the write's reply; the write of the block time-out, 86 40 29 00, takes the stale 84
    // and fails, which the selection does not look at (the timing is programmed best effort),
    // and the reader, which took 86 40 29 as the start of a register write, completes it with
    // the next command's first byte and answers 90 again, late.  Taken for the next SELECT's
    // header's reply, that 90 would make the true reply 90 its SW1 and the card's ACK A4 its SW2:
    // a SELECT "succeeding" with 90 A4.  A register command whose reply is not the one the driver
    // waits for needs the same resynchronisation as a send-data command.
    const uint64_t kernelSeed = kernel::Options::SeedFromEnvironment(1);
    // After the PTS request, the selection's first write of the character time-out.
    const uint64_t write = HostByteOfSecondReset("t0", kernelSeed, "send card data", "write reg 5");
    const RigOptions options = LosingHostByte(kernelSeed, write);
    ASSERT_NE(options.reader.faults.seed, 0u);
    CardSession s(options);
    s.Start("t0");
    s.PowerAndSelect(kProtocols);
    ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    NTSTATUS status = s.Select(kProtocols).status;
    EXPECT_EQ(s.rig.Port().Reader().Stats().host_bytes_dropped, 1u);
    if (status != STATUS_SUCCESS || s.State() != SCARD_SPECIFIC) return;  // a failed selection is fine
    const Step& select = Script()[0];
    const Bytes answer = s.Transmit(select.apdu, &status);
    if (status == STATUS_SUCCESS) {
        EXPECT_EQ(Hex(answer), Hex(select.answer));
    }
}

// The whole table once every sweep of this process has run.
class PrintTotals : public ::testing::Environment {
public:
    void TearDown() override {
        if (Totals().cells.empty()) return;
        std::printf("\nline fault sweep, all kinds:\n%s%.0f ms real in the sweeps\n", Totals().Print().c_str(),
                    Totals().realMs);
        const auto& notes = Totals().notes;
        if (!notes.empty()) std::printf("undetectable and edc-blind answers (%zu):\n", notes.size());
        for (size_t i = 0; i < notes.size() && i < (EnvIs("LMSCR_SWEEP_NOTES", "all") ? notes.size() : 12); ++i) std::printf("  %s\n", notes[i].c_str());
    }
};
[[maybe_unused]] ::testing::Environment* const kPrintTotals = ::testing::AddGlobalTestEnvironment(new PrintTotals);

}  // namespace
