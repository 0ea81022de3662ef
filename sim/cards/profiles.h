// Simulated cards by name, for tests and for the program: `MakeCardProfile("t1", seed)`.
// "atr:3B..." makes a card with that ATR (it speaks when its ATR parses, and answers only the
// ATR otherwise).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/card.h"

namespace lmscr::sim::cards {

struct CardProfileInfo {
    std::string_view name;
    std::string_view description;  // one line
    std::vector<uint8_t> atr;
};

// Every named profile, in a fixed order.
const std::vector<CardProfileInfo>& CardProfiles();

// Nothing for an unknown name or an "atr:" that is not hex (or empty, or over 64 bytes).
// `seed` drives the card application's GET CHALLENGE stream.
std::unique_ptr<Card> MakeCardProfile(std::string_view name, uint64_t seed = 0);

}  // namespace lmscr::sim::cards
