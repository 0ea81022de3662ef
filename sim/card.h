// The card interface: what a simulated card sees of the reader's contacts, and what the
// reader's card slot asks of a card.
//
// A card lives on the I/O line of ISO/IEC 7816-3: characters of one start bit, eight data
// bits and a parity bit (10 etu), followed by guard time. Timing here counts the leading
// edges of start bits, as ISO/IEC 7816-3 counts its waiting times:
//
//      leading edge                      character complete
//      v                                 v
//   ___  s  d0 d1 d2 d3 d4 d5 d6 d7  p  ____ guard ____
//      |<----------- 10 etu ------------>|
//      |<------------- character distance (>= 11 etu) ------->| next leading edge
//
// A card sends at its own pace: it queues characters through CardLink::Send, each with a
// delay counted from the end of its previous character (or from the moment of the call when
// the line is idle), at the rate the card runs at when it queues the character. So a T=0 card
// can queue NULL bytes (0x60) spaced by thousands of etu before its procedure byte, and a
// card can switch its rate right after it has queued its PTS answer.
#pragma once

#include <cstdint>
#include <optional>

namespace lmscr::sim {

// Card clock of the reader; the reader's timing registers count etu at this clock.
inline constexpr uint32_t kCardClockHz = 3'580'000;

// Transmission rate: one etu = F / D clock cycles (ISO/IEC 7816-3 7.1). D may make the etu
// a fraction of clock cycles (D = 12 or 20), so the pair is kept, not the quotient.
struct Rate {
    uint32_t f = 372;
    uint32_t d = 1;
};
inline constexpr Rate kDefaultRate{372, 1};  // Fd, Dd: the rate of every answer to reset

inline bool SameRate(Rate a, Rate b) { return uint64_t{a.f} * b.d == uint64_t{b.f} * a.d; }

// Duration of `etu` elementary time units at `rate` and `clock_hz`, truncated to ns. Every
// character on the card line takes a few of these: the product fits 64 bits for any waiting
// time below 2^22 etu, and only longer ones take the wide division.
uint64_t EtuToNsWide(uint64_t etu, Rate rate, uint32_t clock_hz);
inline uint64_t EtuToNs(uint64_t etu, Rate rate, uint32_t clock_hz) {
    const uint64_t den = uint64_t{rate.d} * clock_hz;
    uint64_t num;
    if (den == 0 || __builtin_mul_overflow(etu, uint64_t{rate.f} * 1'000'000'000u, &num))
        return EtuToNsWide(etu, rate, clock_hz);
    return num / den;
}
// Duration of `clocks` card clock cycles, truncated to ns.
uint64_t ClocksToNs(uint64_t clocks, uint32_t clock_hz);

// Fi and Di of a TA1 / PTS1 byte (high nibble Fi, low nibble Di), ISO/IEC 7816-3 tables 7
// and 8; nothing for the reserved values.
std::optional<Rate> RateFromFiDi(uint8_t fidi);

enum class ResetKind { Cold, Warm };

// The reader's contacts as a card sees them while it is active.
class CardLink {
public:
    virtual ~CardLink() = default;
    virtual uint64_t NowNs() const = 0;
    // Queues one character to the reader. Its leading edge comes `delay_etu` etu after the
    // end of the card's previous character, or after now when the line is idle. The rate and
    // character distance are taken from the card (Card::CurrentRate, CharacterEtu) now.
    virtual void Send(uint8_t byte, uint32_t delay_etu = 0) = 0;
};

class Card {
public:
    virtual ~Card() = default;

    // RST has risen after a cold activation (VCC and CLK just applied) or a warm reset
    // (RST pulsed low with the card powered). The card answers with its ATR through `link`,
    // which stays valid until Deactivate or the next Reset.
    virtual void Reset(CardLink& link, ResetKind kind) = 0;

    // One character from the reader is complete at the card. `parity_error` is set when it
    // did not arrive intact (noise, or the reader sending at another rate than the card's).
    virtual void Receive(uint8_t byte, bool parity_error) = 0;

    // VCC, CLK and RST are gone; whatever the card had queued is lost.
    virtual void Deactivate() = 0;

    // The rate the card sends and samples at now; the default rate after every reset.
    virtual Rate CurrentRate() const = 0;

    // Distance between the leading edges of the card's own characters, in etu: 12 for
    // ISO/IEC 7816-3 character frames without extra guard time. Values below 11 count as 11.
    virtual uint32_t CharacterEtu() const { return 12; }
};

}  // namespace lmscr::sim
