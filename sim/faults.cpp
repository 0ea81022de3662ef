#include "sim/faults.h"

namespace lmscr::sim {

Faults::Faults(const FaultOptions& options) : options_(options) {
    // Each kind's stream starts from the seed mixed with the kind's number, so streams are
    // unrelated to each other yet fixed by the one seed.
    for (unsigned kind = 0; kind < static_cast<unsigned>(FaultKind::Count); ++kind) {
        SplitMix64 mixer(options.seed ^ (0xA0761D6478BD642Full * (kind + 1)));
        streams_[kind] = SplitMix64(mixer.Next());
    }
}

uint8_t Faults::FlipOneBit(FaultKind kind, uint8_t b) {
    const unsigned bit = static_cast<unsigned>(streams_[static_cast<unsigned>(kind)].Next() % 8);
    return static_cast<uint8_t>(b ^ (1u << bit));
}

}  // namespace lmscr::sim
