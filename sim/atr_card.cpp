#include "sim/atr_card.h"

#include <utility>

namespace lmscr::sim {

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<std::vector<uint8_t>> ParseHex(std::string_view text, size_t max_bytes) {
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '\t' || c == '\n' || c == '\r') {
            if (high >= 0) return std::nullopt;  // a separator inside a byte: "3 B"
            continue;
        }
        const int v = HexValue(c);
        if (v < 0) return std::nullopt;
        if (high < 0) {
            high = v;
            continue;
        }
        if (out.size() >= max_bytes) return std::nullopt;
        out.push_back(static_cast<uint8_t>(high << 4 | v));
        high = -1;
    }
    if (high >= 0) return std::nullopt;
    return out;
}

AtrCard::AtrCard(AtrCardOptions options) : options_(std::move(options)) {}

std::optional<AtrCard> AtrCard::FromHex(std::string_view hex) {
    auto atr = ParseHex(hex, kMaxAtrBytes);
    if (!atr || atr->empty()) return std::nullopt;
    AtrCardOptions options;
    options.atr = std::move(*atr);
    return AtrCard(std::move(options));
}

void AtrCard::Reset(CardLink& link, ResetKind kind) {
    ++resets_;
    const auto& atr =
        (kind == ResetKind::Warm && !options_.warm_atr.empty()) ? options_.warm_atr : options_.atr;
    for (size_t i = 0; i < atr.size(); ++i) {
        link.Send(atr[i], i == 0 ? options_.ts_delay_etu : options_.extra_gap_etu);
    }
}

void AtrCard::Receive(uint8_t byte, bool /*parity_error*/) { received_.push_back(byte); }

void AtrCard::Deactivate() {}

}  // namespace lmscr::sim
