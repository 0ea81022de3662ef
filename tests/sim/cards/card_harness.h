// Test harness for the simulated cards: a card's contacts driven directly, with no reader
// firmware, in virtual time counted from the leading edges of characters (as ISO/IEC 7816-3
// counts its waiting times); and the class library's T=0 and T=1 routines paired with a card,
// the harness moving the bytes between them as a reader driver would, optionally losing or
// corrupting some on the way from a seeded options record.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/card.h"
#include "sim/faults.h"
#include "smclib.h"
#include "smclib_test_support.h"

namespace lmscr::sim::cards::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Status and commands the pairing tests send to the card application.
inline const Bytes kOk{0x90, 0x00};
inline const Bytes kSelectDf{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10};
inline const Bytes kSelectLong{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01};

inline std::string Hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (uint8_t x : b) {
        std::snprintf(buf, sizeof buf, "%02X ", x);
        s += buf;
    }
    return s;
}

struct CardChar {
    uint8_t byte;
    uint64_t leading_ns;
    uint32_t delay_etu;
    Rate rate;
};

// The card's side of a direct line. The reader's characters are sent one every 12 etu (and
// never closer than `turnaround_etu` to the card's last leading edge); the card's characters
// are taken in the order and at the times it queued them.
class DirectLink : public CardLink {
public:
    explicit DirectLink(Card& card) : card_(card) {}

    uint64_t NowNs() const override { return now_ns_; }
    void Send(uint8_t byte, uint32_t delay_etu) override {
        const Rate r = card_.CurrentRate();
        const uint64_t start = std::max(now_ns_, card_free_at_ns_);
        const uint64_t leading = start + Etu(delay_etu, r);
        card_free_at_ns_ = leading + Etu(std::max<uint32_t>(card_.CharacterEtu(), 11), r);
        queue_.push_back({byte, leading, delay_etu, r});
    }

    void Reset(ResetKind kind = ResetKind::Cold) {
        queue_.clear();
        card_free_at_ns_ = now_ns_;
        card_.Reset(*this, kind);
    }

    // One reader character; the card has it complete 10 etu after its leading edge.
    void ReaderSend(uint8_t byte, bool parity_error = false) {
        const Rate r = card_.CurrentRate();
        uint64_t leading = std::max(now_ns_, reader_free_at_ns_);
        if (last_card_leading_ns_) leading = std::max(leading, *last_card_leading_ns_ + Etu(turnaround_etu, r));
        reader_free_at_ns_ = leading + Etu(12, r);
        last_reader_leading_ns_ = leading;
        last_edge_ns_ = leading;
        now_ns_ = leading + Etu(10, r);
        card_.Receive(byte, parity_error);
    }
    void ReaderSend(const Bytes& bytes) {
        for (uint8_t b : bytes) ReaderSend(b);
    }

    // The card's next character, the clock moved to its end; nothing when the card is silent.
    std::optional<CardChar> TakeCardChar() {
        if (queue_.empty()) return std::nullopt;
        const CardChar c = queue_.front();
        queue_.pop_front();
        gap_ns_ = c.leading_ns - last_edge_ns_;
        last_edge_ns_ = c.leading_ns;
        last_card_leading_ns_ = c.leading_ns;
        now_ns_ = std::max(now_ns_, c.leading_ns + Etu(10, c.rate));
        return c;
    }
    Bytes TakeAll() {
        Bytes out;
        while (auto c = TakeCardChar()) out.push_back(c->byte);
        return out;
    }
    bool CardSilent() const { return queue_.empty(); }
    size_t Queued() const { return queue_.size(); }

    // Leading edge of this card character minus the previous leading edge in either direction.
    uint64_t LastGapNs() const { return gap_ns_; }
    uint64_t LastReaderLeadingNs() const { return last_reader_leading_ns_; }
    void Idle(uint64_t ns) { now_ns_ += ns; }

    uint64_t Etu(uint64_t n) const { return Etu(n, card_.CurrentRate()); }
    static uint64_t Etu(uint64_t n, Rate r) { return EtuToNs(n, r, kCardClockHz); }

    uint32_t turnaround_etu = 22;  // BGT of T=1; more than the 16 etu of T=0

private:
    Card& card_;
    uint64_t now_ns_ = 0;
    uint64_t card_free_at_ns_ = 0;
    uint64_t reader_free_at_ns_ = 0;
    uint64_t last_reader_leading_ns_ = 0;
    uint64_t last_edge_ns_ = 0;
    uint64_t gap_ns_ = 0;
    std::optional<uint64_t> last_card_leading_ns_;
    std::deque<CardChar> queue_;
};

// Line faults the harness injects: per byte, in parts per million; at most one fault per
// block (T=1) or per command (T=0) in each direction, so that a fault is always one the
// protocol can see (two flips of the same bit would cancel in an LRC).
struct LineFaults {
    uint64_t seed = 0;
    uint32_t drop_ppm = 0;
    uint32_t corrupt_ppm = 0;
};

class FaultInjector {
public:
    explicit FaultInjector(LineFaults f) : f_(f), rng_(f.seed) {}
    // Applies at most one fault to `bytes`; returns the index of a byte corrupted (for the
    // parity flag), or -1.
    // `may_drop` false: corruption only (a T=0 card cannot tell a lost character, and a
    // reader's character to the card is never lost, only garbled).
    int Apply(Bytes& bytes, bool may_drop = true) {
        if (f_.drop_ppm == 0 && f_.corrupt_ppm == 0) return -1;
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (may_drop && rng_.Next() % 1'000'000 < f_.drop_ppm) {
                bytes.erase(bytes.begin() + static_cast<long>(i));
                ++drops;
                return -1;
            }
            if (rng_.Next() % 1'000'000 < f_.corrupt_ppm) {
                bytes[i] ^= static_cast<uint8_t>(1u << (rng_.Next() % 8));
                ++corruptions;
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    unsigned drops = 0, corruptions = 0;

private:
    LineFaults f_;
    SplitMix64 rng_;
};

// The library's reader record, its ATR taken from the card.
using LibReader = lmscr::smclib::test::Reader;

// ---------------------------------------------------------------------------------------
// T=0: the library builds the command, the harness plays the reader's part of the
// procedure-byte dialogue (ISO/IEC 7816-3 10.3), the library takes the answer.

struct T0Run {
    NTSTATUS status = STATUS_SUCCESS;
    Bytes answer;              // data and SW1 SW2, as the application got them
    unsigned procedures = 0;   // ACK and NOT INS bytes seen
    unsigned nulls = 0;
    uint64_t max_gap_ns = 0;   // longest distance between leading edges seen from the card
};

// One TPDU. `wt_etu`: the work waiting time the card must keep to; a character later than
// that is a time-out, as the reader would report it.
inline T0Run T0Tpdu(LibReader& r, DirectLink& link, const Bytes& apdu, uint32_t wt_etu,
                    FaultInjector* faults = nullptr) {
    T0Run run;
    r.ext.SmartcardRequest.BufferLength = 0;
    r.Transmit(SCARD_PROTOCOL_T0, apdu);
    run.status = SmartcardT0Request(&r.ext);
    if (run.status != STATUS_SUCCESS) return run;
    Bytes out = r.Sent();
    int corrupt_at = faults ? faults->Apply(out, false) : -1;
    const ULONG lc = r.ext.T0.Lc, le = r.ext.T0.Le;
    const uint8_t ins = out.size() > 1 ? out[1] : 0;
    size_t next_out = 0;
    auto send = [&](size_t n) {
        for (size_t i = 0; i < n && next_out < out.size(); ++i, ++next_out)
            link.ReaderSend(out[next_out], static_cast<int>(next_out) == corrupt_at);
    };
    send(std::min<size_t>(5, out.size()));
    Bytes received;
    Bytes card_bytes;
    auto take = [&]() -> std::optional<uint8_t> {
        auto c = link.TakeCardChar();
        if (!c) return std::nullopt;
        run.max_gap_ns = std::max(run.max_gap_ns, link.LastGapNs());
        if (link.LastGapNs() > link.Etu(wt_etu)) return std::nullopt;  // WT ran out first
        card_bytes.push_back(c->byte);
        return c->byte;
    };
    auto timed_out = [&]() {
        run.status = STATUS_IO_TIMEOUT;
        link.Idle(link.Etu(wt_etu));
        link.TakeAll();
        return run;
    };
    size_t data_left = lc != 0 ? out.size() - next_out : le;
    for (int steps = 0; steps < 2000; ++steps) {
        auto c = take();
        if (!c) return timed_out();
        if (*c == 0x60) {
            ++run.nulls;
            continue;
        }
        if ((*c & 0xF0) == 0x60 || (*c & 0xF0) == 0x90) {
            auto sw2 = take();
            if (!sw2) return timed_out();
            received.push_back(*c);
            received.push_back(*sw2);
            break;
        }
        const bool ack = *c == ins, not_ins = *c == static_cast<uint8_t>(ins ^ 0xFF);
        if ((!ack && !not_ins) || data_left == 0) {
            run.status = STATUS_DEVICE_PROTOCOL_ERROR;  // not a procedure byte we can act on
            link.TakeAll();
            return run;
        }
        ++run.procedures;
        const size_t n = ack ? data_left : 1;
        if (lc != 0) {
            send(n);
        } else {
            for (size_t i = 0; i < n; ++i) {
                auto d = take();
                if (!d) return timed_out();
                received.push_back(*d);
            }
        }
        data_left -= n;
    }
    if (faults) {
        const unsigned drops_before = faults->drops;
        const int at = faults->Apply(received);
        if (faults->drops != drops_before) {
            // A character the reader never got: it waits for it until WT runs out.
            run.status = STATUS_IO_TIMEOUT;
            return run;
        }
        if (at >= 0) {
            // The reader saw the parity error of this character: the command fails, as the
            // driver reports a faulty card byte.
            run.status = STATUS_DEVICE_PROTOCOL_ERROR;
            return run;
        }
    }
    r.CardSays(received);
    run.status = SmartcardT0Reply(&r.ext);
    if (run.status == STATUS_SUCCESS) run.answer = r.Answer();
    return run;
}

// The application's view of T=0 (ISO/IEC 7816-3 12.2): 6Cxx repeats a case 2 command with
// Le = xx, 61xx fetches the answer with GET RESPONSE.
inline T0Run T0Apdu(LibReader& r, DirectLink& link, const Bytes& apdu, uint32_t wt_etu,
                    FaultInjector* faults = nullptr, unsigned* tpdus = nullptr) {
    Bytes cmd = apdu;
    // Case 4: T=0 sends Lc data only; the Le goes with GET RESPONSE.
    T0Run run = T0Tpdu(r, link, cmd, wt_etu, faults);
    Bytes data;
    for (int i = 0; i < 16 && run.status == STATUS_SUCCESS; ++i) {
        if (tpdus) ++*tpdus;
        const Bytes& a = run.answer;
        if (a.size() < 2) break;
        const uint8_t sw1 = a[a.size() - 2], sw2 = a[a.size() - 1];
        if (sw1 == 0x6C && cmd.size() == 5) {
            cmd[4] = sw2;
            run = T0Tpdu(r, link, cmd, wt_etu, faults);
            continue;
        }
        if (sw1 == 0x61) {
            data.insert(data.end(), a.begin(), a.end() - 2);
            cmd = {0x00, 0xC0, 0x00, 0x00, sw2};
            run = T0Tpdu(r, link, cmd, wt_etu, faults);
            continue;
        }
        break;
    }
    if (run.status == STATUS_SUCCESS) run.answer.insert(run.answer.begin(), data.begin(), data.end());
    return run;
}

// ---------------------------------------------------------------------------------------
// T=1: the library builds each block, the harness carries it to the card and the card's block
// back, and checks the card's timing on the way.

struct BlockPair {
    Bytes reader;  // as the library built it
    Bytes card;    // as the library received it
};

struct T1Run {
    NTSTATUS status = STATUS_SUCCESS;
    Bytes answer;
    std::vector<BlockPair> blocks;
    unsigned timeouts = 0;
    bool timing_ok = true;
    std::string timing_error;
};

// Changes a block on its way: `to_card` tells the direction, `index` counts the exchanges of
// this run from 0. May empty the block (lost).
using Tamper = std::function<void(Bytes& block, bool to_card, size_t index, bool& parity_error)>;

struct T1Line {
    uint32_t bwt_etu = 0;  // the card's BWT
    uint32_t cwt_etu = 0;
    FaultInjector* faults = nullptr;
    Tamper tamper;
};

inline T1Run T1Apdu(LibReader& r, DirectLink& link, const Bytes& apdu, const T1Line& line,
                    size_t max_exchanges = 200) {
    T1Run run;
    r.Transmit(SCARD_PROTOCOL_T1, apdu);
    for (size_t i = 0; i < max_exchanges; ++i) {
        r.ext.SmartcardRequest.BufferLength = 0;
        NTSTATUS st = SmartcardT1Request(&r.ext);
        if (st != STATUS_SUCCESS) {
            run.status = st;
            return run;
        }
        BlockPair pair{r.Sent(), {}};
        Bytes wire = pair.reader;
        bool parity = false;
        int corrupt_at = line.faults ? line.faults->Apply(wire) : -1;
        if (line.tamper) line.tamper(wire, true, i, parity);
        for (size_t k = 0; k < wire.size(); ++k)
            link.ReaderSend(wire[k], parity || static_cast<int>(k) == corrupt_at);
        const uint64_t reader_last = link.LastReaderLeadingNs();
        // The extension granted by the reader's S(WTX response) holds for this one wait.
        const uint32_t wtx = (pair.reader.size() > 3 && pair.reader[1] == 0xE3) ? pair.reader[3] : 1;
        const uint32_t allowed = line.bwt_etu * wtx;
        Bytes got;
        bool first = true;
        while (auto c = link.TakeCardChar()) {
            if (first) {
                const uint64_t d = c->leading_ns - reader_last;
                if (d < link.Etu(22) || d > link.Etu(allowed)) {
                    run.timing_ok = false;
                    run.timing_error = "block waiting " + std::to_string(d) + " ns";
                }
            } else if (link.LastGapNs() > link.Etu(line.cwt_etu)) {
                run.timing_ok = false;
                run.timing_error = "character waiting " + std::to_string(link.LastGapNs()) + " ns";
            }
            first = false;
            got.push_back(c->byte);
        }
        if (line.faults) line.faults->Apply(got);
        bool unused = false;
        if (line.tamper) line.tamper(got, false, i, unused);
        if (got.empty()) {
            ++run.timeouts;
            link.Idle(link.Etu(allowed + 1));
        }
        pair.card = got;
        run.blocks.push_back(pair);
        r.CardSays(got);
        st = SmartcardT1Reply(&r.ext);
        if (st != STATUS_MORE_PROCESSING_REQUIRED) {
            run.status = st;
            if (st == STATUS_SUCCESS) run.answer = r.Answer();
            return run;
        }
    }
    run.status = STATUS_UNSUCCESSFUL;
    return run;
}

}  // namespace lmscr::sim::cards::testing
