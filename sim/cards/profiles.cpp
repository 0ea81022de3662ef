#include "sim/cards/profiles.h"

#include "sim/atr_card.h"
#include "sim/cards/atr_info.h"
#include "sim/cards/iso_card.h"

namespace lmscr::sim::cards {

namespace {

using Bytes = std::vector<uint8_t>;

struct Profile {
    CardProfileInfo info;
    IsoCardOptions options;
};

// Historical bytes "LMxy": category 4C is none of ISO/IEC 7816-4's, so hosts show them raw.
Bytes Hist(char x, char y) { return {0x4C, 0x4D, static_cast<uint8_t>(x), static_cast<uint8_t>(y)}; }

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Profile> Build() {
    std::vector<Profile> p;
    auto add = [&](std::string_view name, std::string_view description, Bytes atr, IsoCardOptions o) {
        o.atr = atr;
        p.push_back(Profile{{name, description, std::move(atr)}, std::move(o)});
    };
    IsoCardOptions o;

    // T0 = 14: TA1, four historical bytes. TA1 13: Fi 372, Di 4. T=0 only: no TCK.
    add("t0", "T=0 card, ACK for all data, offers Fi 372 / Di 4 by PTS",
        Cat({0x3B, 0x14, 0x13}, Hist('0', '0')), o);

    o = {};
    o.t0.procedure = T0Procedure::NotInsEachByte;
    add("t0-notins", "T=0 card sending NOT INS before every data byte",
        Cat({0x3B, 0x14, 0x13}, Hist('0', '1')), o);

    o = {};
    o.t0.procedure = T0Procedure::NotInsThenAck;
    o.t0.nulls_before_procedure = 2;
    o.t0.null_spacing_etu = 200;
    o.t0.processing_etu = 12'000;
    // TD1 40: TC2 follows (T=0); TC2 05: WT = 4800 x D etu, so 12000 etu of work needs NULLs.
    add("t0-null", "T=0 card with NULL bytes (two before each procedure byte, more while it works)",
        Cat({0x3B, 0x94, 0x13, 0x40, 0x05}, Hist('0', '2')), o);

    o = {};
    // TD1 81: TD2 follows, T=1; TD2 31: TA3, TB3 for T=1; TA3 20: IFSC 32; TB3 45: BWI 4, CWI 5.
    add("t1", "T=1 card, IFSC 32, BWI 4, CWI 5, LRC",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x81, 0x31, 0x20, 0x45}, Hist('1', '0'))), o);

    o = {};
    // TD2 71: TA3, TB3, TC3 for T=1; TA3 FE: IFSC 254; TC3 01: CRC.
    add("t1-crc", "T=1 card, IFSC 254, CRC",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x81, 0x71, 0xFE, 0x45, 0x01}, Hist('1', '1'))), o);

    o = {};
    o.t1.ifs_request = 254;
    o.t1.max_answer_inf = 16;
    add("t1-chain", "T=1 card that asks for IFSC 254 itself and chains answers in 16-byte blocks",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x81, 0x31, 0x20, 0x45}, Hist('1', '2'))), o);

    o = {};
    o.t1.processing_etu = 6'000;
    // TB3 21: BWI 2 (BWT 3851 etu at Fd/Dd), CWI 1. 6000 etu of work: a WTX on every command.
    add("t1-slow", "slow T=1 card asking for waiting time extensions (BWI 2, 6000 etu per command)",
        WithTck(Cat({0x3B, 0x94, 0x11, 0x81, 0x31, 0x20, 0x21}, Hist('1', '3'))), o);

    o = {};
    // TD1 80: TD2 follows, T=0 first; TD2 31 for T=1 with IFSC 254.
    add("dual", "card offering T=0 (first) and T=1, IFSC 254",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x80, 0x31, 0xFE, 0x45}, Hist('2', '0'))), o);

    o = {};
    // TD1 91: TA2 and TD2 follow, T=1; TA2 01: specific mode, T=1, rate of TA1 (Fd/Dd here).
    add("specific", "T=1 card in specific mode (TA2 01), no PTS",
        WithTck(Cat({0x3B, 0x94, 0x11, 0x91, 0x01, 0x31, 0x20, 0x45}, Hist('3', '0'))), o);

    o = {};
    // TA1 13 (Di 4, about 38400 bit/s) and TA2 01: specific mode at that rate, which a reader
    // running cards at 9600 bit/s only cannot follow.
    add("specific-fast", "T=1 card in specific mode at Fi 372 / Di 4 (TA2 01), faster than the reader",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x91, 0x01, 0x31, 0x20, 0x45}, Hist('3', '1'))), o);

    o = {};
    // TS 3F of the inverse convention, delivered as 03 by a reader that decodes it.
    add("inverse", "inverse-convention T=0 card (TS reaches the host as 03)",
        Cat({0x03, 0x14, 0x13}, Hist('4', '0')), o);

    o = {};
    o.pts = PtsMode::Silent;
    add("pts-silent", "T=0 card that never answers a PTS request",
        Cat({0x3B, 0x14, 0x13}, Hist('5', '0')), o);

    o = {};
    o.pts = PtsMode::Refuse;
    add("pts-refuse", "dual card answering a PTS request with another protocol (a refusal)",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x80, 0x31, 0xFE, 0x45}, Hist('5', '1'))), o);

    o = {};
    o.pts = PtsMode::DefaultRate;
    add("pts-default", "T=0 card answering PTS without PTS1: Fd/Dd stay",
        Cat({0x3B, 0x14, 0x13}, Hist('5', '2')), o);

    o = {};
    o.pts = PtsMode::CounterDefault;
    add("pts-counter", "T=1 card answering a PTS request for Di 4 with PTS1 11 (Fd/Dd), echoing Fd/Dd",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x81, 0x31, 0x20, 0x45}, Hist('5', '3'))), o);

    o = {};
    o.pts_delay_etu = 6'000;
    add("pts-late", "T=0 card answering PTS 6000 etu late (about 620 ms), inside the waiting time",
        Cat({0x3B, 0x14, 0x13}, Hist('5', '4')), o);

    o = {};
    o.atr_gap_etu = 9'000;
    add("atr-slow", "T=1 card sending its answer to reset 9000 etu apart (about 940 ms a byte)",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x81, 0x31, 0x20, 0x45}, Hist('6', '0'))), o);

    // Cards for the driver's transmit path: the T=1 answers that take the reader's state
    // machine where a plain card never does, and T=0 procedure bytes at their edges.
    o = {};
    o.t1.max_answer_inf = 32;
    o.t1.ifs_request_in_chain = 64;
    add("t1-ifs-mid", "T=1 card chaining answers in 32-byte blocks, S(IFS request) for IFSC 64 after the first",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x81, 0x31, 0x20, 0x45}, Hist('1', '4'))), o);

    o = {};
    o.t1.endless_chain = true;
    add("t1-endless", "faulty T=1 card answering every command with empty chained I-blocks, for ever",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x81, 0x31, 0x20, 0x45}, Hist('1', '5'))), o);

    o = {};
    o.t1.fixed_answer = Bytes{0x90};
    add("t1-nosw", "faulty T=1 card answering every command with the one byte 90 (no status word)",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x81, 0x31, 0x20, 0x45}, Hist('1', '6'))), o);

    o = {};
    o.t1.max_answer_inf = 24;
    // TD2 71: TA3 20 (IFSC 32: the reader's commands chain), TB3 45, TC3 01 (CRC).
    add("t1-crc-chain", "T=1 card, IFSC 32, CRC, chaining answers in 24-byte blocks",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x81, 0x71, 0x20, 0x45, 0x01}, Hist('1', '7'))), o);

    o = {};
    o.t0.overrun_bytes = 3;
    add("t0-overrun", "faulty T=0 card: after a case 2 answer's data, NOT INS and a byte, three times beyond Le",
        Cat({0x3B, 0x14, 0x13}, Hist('0', '3')), o);

    o = {};
    o.t0.nulls_after_data = 1;
    o.t0.null_spacing_etu = 100;
    add("t0-null-after-data", "T=0 card sending a NULL between the last data byte (either way) and SW1",
        Cat({0x3B, 0x14, 0x13}, Hist('0', '4')), o);
    o = {};
    o.t1.strict_receive_cwt = true;
    add("t1-strict", "T=1 card holding what it receives to CWT (43 etu): a pause inside a block loses the block",
        WithTck(Cat({0x3B, 0x94, 0x13, 0x81, 0x31, 0x20, 0x45}, Hist('1', '8'))), o);
    return p;
}

const std::vector<Profile>& All() {
    static const std::vector<Profile> profiles = Build();
    return profiles;
}

}  // namespace

const std::vector<CardProfileInfo>& CardProfiles() {
    static const std::vector<CardProfileInfo> infos = [] {
        std::vector<CardProfileInfo> v;
        for (const auto& p : All()) v.push_back(p.info);
        return v;
    }();
    return infos;
}

std::unique_ptr<Card> MakeCardProfile(std::string_view name, uint64_t seed) {
    constexpr std::string_view kAtrPrefix = "atr:";
    if (name.substr(0, kAtrPrefix.size()) == kAtrPrefix) {
        auto atr = ParseHex(name.substr(kAtrPrefix.size()), AtrCard::kMaxAtrBytes);
        if (!atr || atr->empty()) return nullptr;
        IsoCardOptions o;
        o.atr = *atr;
        o.app.seed = seed;
        if (auto card = IsoCard::Make(o)) return card;
        // An ATR no card could have answered (truncated, bytes beyond its structure): the
        // card answers it and nothing else, so that hosts can be tried on it.
        AtrCardOptions ao;
        ao.atr = std::move(*atr);
        return std::make_unique<AtrCard>(std::move(ao));
    }
    for (const auto& p : All()) {
        if (p.info.name != name) continue;
        IsoCardOptions o = p.options;
        o.app.seed = seed;
        return IsoCard::Make(std::move(o));
    }
    return nullptr;
}

}  // namespace lmscr::sim::cards
