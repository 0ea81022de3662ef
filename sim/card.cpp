#include "sim/card.h"

namespace lmscr::sim {

uint64_t EtuToNsWide(uint64_t etu, Rate rate, uint32_t clock_hz) {
    // 2^24 etu x 2048 clocks x 1e9 does not fit 64 bits, hence the wide product.
    const unsigned __int128 num = static_cast<unsigned __int128>(etu) * rate.f * 1'000'000'000u;
    const unsigned __int128 den = static_cast<unsigned __int128>(rate.d) * clock_hz;
    return den == 0 ? 0 : static_cast<uint64_t>(num / den);
}

uint64_t ClocksToNs(uint64_t clocks, uint32_t clock_hz) {
    return EtuToNs(clocks, Rate{1, 1}, clock_hz);
}

std::optional<Rate> RateFromFiDi(uint8_t fidi) {
    // ISO/IEC 7816-3 table 7 (Fi) and table 8 (Di); 0 marks a reserved value.
    static constexpr uint16_t kFi[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0,
                                         0,   512, 768, 1024, 1536, 2048, 0,    0};
    static constexpr uint8_t kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
    const uint16_t f = kFi[fidi >> 4];
    const uint8_t d = kDi[fidi & 0x0F];
    if (f == 0 || d == 0) return std::nullopt;
    return Rate{f, d};
}

}  // namespace lmscr::sim
