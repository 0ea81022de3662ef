// A character's time on the line at a port's settings.
#include "serial.h"

namespace lmscr::serial {

namespace {

constexpr uint64_t kNsPerSecond = 1'000'000'000;

uint32_t StopHalfBits(uint8_t stopBits) {
    switch (stopBits) {
    case STOP_BITS_1_5: return 3;
    case STOP_BITS_2: return 4;
    default: return 2;
    }
}

}  // namespace

uint32_t FrameHalfBits(const LineFormat& f) {
    // Start bit, data bits and parity bit, then the stop bits.
    return 2u * (1u + f.dataBits + (f.parity != NO_PARITY ? 1u : 0u)) + StopHalfBits(f.stopBits);
}

uint64_t FrameNs(const LineFormat& f) {
    const uint64_t numerator = uint64_t{FrameHalfBits(f)} * kNsPerSecond;
    const uint64_t denominator = 2ull * f.baud;
    return (numerator + denominator - 1) / denominator;
}

}  // namespace lmscr::serial
