// A card that is nothing but its answer to reset: it sends the ATR it was built from after
// every reset and ignores every byte it receives afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "sim/card.h"

namespace lmscr::sim {

// "3B 02 14 50", "3b021450" and "3B:02:14:50" are the same four bytes. Nothing for an odd
// number of digits, a character that is neither a hex digit nor a separator, or more than
// `max_bytes` bytes.
std::optional<std::vector<uint8_t>> ParseHex(std::string_view text, size_t max_bytes = 256);

struct AtrCardOptions {
    std::vector<uint8_t> atr;
    // ATR after a warm reset; empty = the same as after a cold one.
    std::vector<uint8_t> warm_atr;
    // TS must start 400 to 40000 clock cycles after RST rises (ISO/IEC 7816-3 6.2.2);
    // 30 etu is 11160 cycles at the initial rate.
    uint32_t ts_delay_etu = 30;
    // Extra etu between ATR characters on top of the 12-etu character distance.
    uint32_t extra_gap_etu = 0;
    uint32_t character_etu = 12;
};

class AtrCard : public Card {
public:
    // A card answering the longest ATR anyone should ever give it: oversized ATRs are kept
    // (up to this bound) so that a host's handling of them can be tested.
    static constexpr size_t kMaxAtrBytes = 64;

    explicit AtrCard(AtrCardOptions options);
    // Nothing when the text is no valid hex, is empty or is longer than kMaxAtrBytes.
    static std::optional<AtrCard> FromHex(std::string_view hex);

    void Reset(CardLink& link, ResetKind kind) override;
    void Receive(uint8_t byte, bool parity_error) override;
    void Deactivate() override;
    Rate CurrentRate() const override { return kDefaultRate; }
    uint32_t CharacterEtu() const override { return options_.character_etu; }

    // What the card saw, for tests: resets and bytes received since construction.
    unsigned Resets() const { return resets_; }
    const std::vector<uint8_t>& Received() const { return received_; }

private:
    AtrCardOptions options_;
    unsigned resets_ = 0;
    std::vector<uint8_t> received_;
};

}  // namespace lmscr::sim
