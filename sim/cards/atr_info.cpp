#include "sim/cards/atr_info.h"

namespace lmscr::sim::cards {

std::optional<AtrInfo> ParseAtr(const std::vector<uint8_t>& atr) {
    if (atr.size() < 2) return std::nullopt;
    AtrInfo info;
    if (atr[0] == 0x3F || atr[0] == 0x03) {
        info.inverse = true;
    } else if (atr[0] != 0x3B) {
        return std::nullopt;
    }
    size_t at = 1;
    uint8_t y = atr[at] >> 4;
    const size_t k = atr[at] & 0x0F;
    ++at;
    bool t_other_than_0 = false;
    bool first_t1_ta = true, first_t1_tb = true, first_t1_tc = true;
    bool protocol_named = false;
    uint8_t current_t = 0;  // the group's protocol: T of the previous TD
    // At most 16 groups fit a 33-byte ATR; the bound keeps a looping TD chain finite.
    for (unsigned group = 1; group <= 16; ++group) {
        uint8_t ta = 0, tb = 0, tc = 0;
        const bool has_a = y & 1, has_b = y & 2, has_c = y & 4, has_d = y & 8;
        auto take = [&](uint8_t& v) {
            if (at >= atr.size()) return false;
            v = atr[at++];
            return true;
        };
        if (has_a && !take(ta)) return std::nullopt;
        if (has_b && !take(tb)) return std::nullopt;
        if (has_c && !take(tc)) return std::nullopt;
        uint8_t td = 0;
        if (has_d && !take(td)) return std::nullopt;
        if (group == 1) {
            if (has_a) info.ta1 = ta;
            if (has_c) info.n = tc;
        } else if (group == 2) {
            if (has_a) {
                info.specific = true;
                info.specific_protocol = ta & 0x0F;
                info.specific_implicit = (ta & 0x10) != 0;
            }
            if (has_c) info.wi = tc;
        }
        // 8.2.3: from the third group on, interface bytes after a TD naming T=1 are T=1's.
        if (group >= 3 && current_t == 1) {
            if (has_a && first_t1_ta) info.ifsc = ta, first_t1_ta = false;
            if (has_b && first_t1_tb) info.cwi = tb & 0x0F, info.bwi = tb >> 4, first_t1_tb = false;
            if (has_c && first_t1_tc) info.crc = (tc & 1) != 0, first_t1_tc = false;
        }
        if (!has_d) break;
        current_t = td & 0x0F;
        if (current_t != 15) {
            if (!protocol_named) info.first_protocol = current_t;
            protocol_named = true;
            info.protocols |= static_cast<uint16_t>(1u << current_t);
        }
        if (current_t != 0) t_other_than_0 = true;
        y = td >> 4;
    }
    if (!protocol_named) info.protocols = 1;  // no TD1: T=0 only
    if (at + k > atr.size()) return std::nullopt;
    info.historical.assign(atr.begin() + at, atr.begin() + at + k);
    at += k;
    if (t_other_than_0) {
        if (at >= atr.size()) return std::nullopt;  // TCK due
        info.tck_present = true;
        ++at;
    }
    if (at != atr.size()) return std::nullopt;
    if (info.specific) info.first_protocol = info.specific_protocol;
    return info;
}

std::vector<uint8_t> WithTck(std::vector<uint8_t> atr) {
    uint8_t tck = 0;
    for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
    return atr;
}

}  // namespace lmscr::sim::cards
