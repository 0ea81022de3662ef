#include "sim/wire.h"

namespace lmscr::sim::wire {

std::string_view RegisterName(uint8_t reg) {
    switch (reg) {
    case RegVersion: return "version";
    case RegGuardTime: return "guard time";
    case RegMode: return "mode";
    case RegCardReset: return "card reset";
    case RegCardState: return "card state";
    case RegCharTimeout: return "char timeout";
    case RegBlockTimeout: return "block timeout";
    default: return {};
    }
}

}  // namespace lmscr::sim::wire
