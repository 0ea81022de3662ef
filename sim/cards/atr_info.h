// What a simulated card knows about itself from its own answer to reset: the protocols it
// offers, its rate, specific mode, and the T=0 and T=1 parameters of ISO/IEC 7816-3 8.2-8.3.
//
//   TS  T0  [TA1 TB1 TC1 TD1] [TA2 TB2 TC2 TD2] ... [T1 ... TK] [TCK]
//       |    Y1 in T0 high nibble says which of TAi..TDi follow; TDi repeats it (high
//       |    nibble) and names the protocol T of the next group (low nibble)
//       K historical bytes
//
// The card's own reading is independent of the class library's, so that tests pairing the two
// compare two implementations rather than one with itself.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace lmscr::sim::cards {

struct AtrInfo {
    bool inverse = false;        // TS 0x3F, or 0x03 as delivered decoded by the reader
    uint8_t ta1 = 0x11;          // Fi/Di the card offers; 0x11 = Fd/Dd
    bool specific = false;       // TA2 present
    uint8_t specific_protocol = 0;
    bool specific_implicit = false;  // TA2 b5: the rate is implicit, not TA1's
    uint8_t n = 0;               // TC1, extra guard time
    uint8_t wi = 10;             // TC2, T=0 work waiting time integer
    uint16_t protocols = 0;      // bit T set for each protocol offered
    uint8_t first_protocol = 0;  // the first offered: the one in force without PTS
    uint8_t ifsc = 32;           // first TA for T=1
    uint8_t cwi = 13;            // first TB for T=1, low nibble
    uint8_t bwi = 4;             // first TB for T=1, high nibble
    bool crc = false;            // first TC for T=1, b1
    std::vector<uint8_t> historical;
    bool tck_present = false;
};

// Nothing for an ATR that is truncated, has bytes beyond its structure, or an unknown TS.
// A wrong TCK is accepted: the card is what it is; the host judges the check byte.
std::optional<AtrInfo> ParseAtr(const std::vector<uint8_t>& atr);

// `atr` with its TCK appended (exclusive-or of T0 to the last byte), for ATRs that need one.
std::vector<uint8_t> WithTck(std::vector<uint8_t> atr);

}  // namespace lmscr::sim::cards
