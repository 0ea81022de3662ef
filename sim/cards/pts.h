// The card's side of protocol and parameters selection (ISO/IEC 7816-3 clause 9).
//
// Request and response have the same shape:
//
//   +------+------+--------+--------+--------+-----+
//   | PTSS | PTS0 | [PTS1] | [PTS2] | [PTS3] | PCK |
//   +------+------+--------+--------+--------+-----+
//     FF     b5 b6 b7: PTS1 PTS2 PTS3 follow; b1-b4: the protocol T
//                      PTS1: Fi (high nibble) and Di (low nibble) proposed
//                                                  PCK: exclusive-or of PTSS to PCK is 00
//
// A card in negotiable mode takes a request only as the first thing after its ATR (9.1).
// The exchange is successful (9.3) when the response echoes PTSS and the protocol of PTS0, and
// PTS1 is either echoed (the new Fi/Di hold after the response) or absent (Fd/Dd stay).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/card.h"

namespace lmscr::sim::cards {

enum class PtsMode : uint8_t {
    // Echo an acceptable request (9.3); stay silent on an erroneous one (9.2: the card sends
    // nothing, the host's waiting time runs out).
    Echo,
    // Answer, but not with a successful exchange: PTS0 names another protocol than asked,
    // so the host must deactivate (9.3).
    Refuse,
    // Accept the protocol but not the rate: PTS1 left out of the response, so Fd/Dd remain
    // (the one change of PTS1 that 9.3 allows the card).
    DefaultRate,
    // Never answer a request.
    Silent,
    // Counter-propose: a request for other factors than Fd/Dd is answered with PTSS and PTS0
    // echoed but PTS1 = 11 (Fd/Dd), which is no successful exchange (9.3), so the host must
    // deactivate; a request for Fd/Dd is echoed.
    CounterDefault,
};

// The outcome of a complete request, for the card that received it.
struct PtsOutcome {
    std::vector<uint8_t> response;  // empty: the card stays silent
    bool success = false;           // the exchange selects `protocol` at `rate`
    uint8_t protocol = 0;
    Rate rate = kDefaultRate;
};

// Collects a request byte by byte and decides the card's answer.
class PtsResponder {
public:
    static constexpr size_t kMaxRequestBytes = 6;

    // `protocols`: bit T for each T the card offers; `ta1`: the Fi/Di of its ATR, the fastest
    // the card accepts (a request with the same Fi and a Di no higher is accepted).
    PtsResponder(PtsMode mode, uint16_t protocols, uint8_t ta1)
        : mode_(mode), protocols_(protocols), ta1_(ta1) {}

    // Feeds one byte; returns the outcome once the request is complete (its length follows
    // from PTS0). A byte with a parity error makes the request erroneous.
    std::optional<PtsOutcome> Receive(uint8_t byte, bool parity_error);
    size_t Collected() const { return request_.size(); }

    // The outcome for a complete request, with the check of the request itself.
    PtsOutcome Answer(const std::vector<uint8_t>& request, bool parity_error) const;

private:
    PtsMode mode_;
    uint16_t protocols_;
    uint8_t ta1_;
    std::vector<uint8_t> request_;
    bool parity_error_ = false;
};

// Length of a request or response from its PTS0.
unsigned PtsLength(uint8_t pts0);

}  // namespace lmscr::sim::cards
