#include "sim/cards/pts.h"

namespace lmscr::sim::cards {

namespace {
constexpr uint8_t kPtss = 0xFF;
constexpr uint8_t kPts1Present = 0x10;
constexpr uint8_t kPts2Present = 0x20;
constexpr uint8_t kPts3Present = 0x40;
constexpr uint8_t kDefaultFiDi = 0x11;  // Fi 372, Di 1
}  // namespace

unsigned PtsLength(uint8_t pts0) {
    return 3 + ((pts0 & kPts1Present) ? 1 : 0) + ((pts0 & kPts2Present) ? 1 : 0) +
           ((pts0 & kPts3Present) ? 1 : 0);
}

std::optional<PtsOutcome> PtsResponder::Receive(uint8_t byte, bool parity_error) {
    if (request_.size() >= kMaxRequestBytes) return std::nullopt;
    request_.push_back(byte);
    parity_error_ |= parity_error;
    if (request_.size() < 2 || request_.size() < PtsLength(request_[1])) return std::nullopt;
    return Answer(request_, parity_error_);
}

PtsOutcome PtsResponder::Answer(const std::vector<uint8_t>& rq, bool parity_error) const {
    PtsOutcome out;
    if (mode_ == PtsMode::Silent) return out;
    // 9.2: a request with a parity error, a wrong PCK, b8 of PTS0 set or a protocol the card
    // does not offer is erroneous; the card does not answer it.
    if (parity_error || rq.size() < 3 || rq[0] != kPtss || rq.size() != PtsLength(rq[1])) return out;
    uint8_t check = 0;
    for (uint8_t b : rq) check ^= b;
    if (check != 0) return out;
    const uint8_t pts0 = rq[1];
    const uint8_t t = pts0 & 0x0F;
    if ((pts0 & 0x80) != 0 || t > 15 || (protocols_ & (1u << t)) == 0) return out;
    std::optional<uint8_t> pts1;
    if (pts0 & kPts1Present) pts1 = rq[2];

    out.protocol = t;
    switch (mode_) {
    case PtsMode::Refuse: {
        // PTS0 names the card's other protocol (or T=15 when it has only one): not an echo.
        uint8_t other = 15;
        for (uint8_t p = 0; p < 15; ++p)
            if (p != t && (protocols_ & (1u << p))) other = p;
        out.response = {kPtss, other};
        out.response.push_back(static_cast<uint8_t>(kPtss ^ other));
        return out;
    }
    case PtsMode::CounterDefault:
        if (pts1 && *pts1 != kDefaultFiDi) {
            out.response = {kPtss, static_cast<uint8_t>(t | kPts1Present), kDefaultFiDi};
            out.response.push_back(static_cast<uint8_t>(kPtss ^ out.response[1] ^ kDefaultFiDi));
            return out;
        }
        break;
    case PtsMode::DefaultRate:
        out.response = {kPtss, t, static_cast<uint8_t>(kPtss ^ t)};
        out.success = true;
        return out;
    default: break;
    }
    if (pts1) {
        const auto proposed = RateFromFiDi(*pts1);
        const auto offered = RateFromFiDi(ta1_);
        // The card runs at its own Fi and at any Di up to its own (9.3: Fi/Di between Fd/Dd
        // and the values of TA1); anything else is refused by leaving PTS1 out, which keeps
        // Fd/Dd.
        const bool acceptable =
            proposed && offered &&
            (SameRate(*proposed, kDefaultRate) ||
             ((*pts1 >> 4) == (ta1_ >> 4) && proposed->d <= offered->d && proposed->d != 12 &&
              proposed->d != 20) ||
             *pts1 == ta1_);
        if (!acceptable) {
            out.response = {kPtss, t, static_cast<uint8_t>(kPtss ^ t)};
            out.success = true;
            return out;
        }
        out.rate = *proposed;
    }
    // PTS2 and PTS3 (N=255 handling, reserved) are not taken up: the response leaves them out,
    // which 9.3 allows.
    const uint8_t pts0_out = static_cast<uint8_t>(t | (pts1 ? kPts1Present : 0));
    out.response = {kPtss, pts0_out};
    if (pts1) out.response.push_back(*pts1);
    uint8_t pck = 0;
    for (uint8_t b : out.response) pck ^= b;
    out.response.push_back(pck);
    out.success = true;
    return out;
}

}  // namespace lmscr::sim::cards
