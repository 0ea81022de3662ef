// atr.cpp - SmartcardUpdateCardCapabilities: the card's answer to reset, ISO/IEC 7816-3:2006
// clause 8, turned into the card capabilities the reader driver and the T=0/T=1 code work from.
//
// The answer to reset as it reaches this code (the driver has already mapped an inverse TS 0x03
// to 0x3F, and the reader decodes inverse-convention bytes itself):
//
//   TS  T0  [TA1 TB1 TC1 TD1]  [TA2 TB2 TC2 TD2] ... [TAi TBi TCi TDi]  T1..TK  [TCK]
//        |   '-- present as the high nibble of T0 says; TDi's high nibble announces group i+1,
//        |       its low nibble names the protocol T that group i+1 belongs to
//        '-- high nibble: presence of TA1..TD1; low nibble: K, the number of historical bytes
//
//   TA1  Fi (high nibble) and Di (low nibble)        TB1  II and PI1 (deprecated)
//   TC1  N, extra guard time                         TA2  specific mode: protocol, implicit bit
//   TC2  WI of T=0                                   TAi/TBi/TCi after the first TD naming T=1:
//                                                     IFSC; CWI (low) and BWI (high); EDC type
//   TCK  present when any TDi names a protocol other than T=0; T0..TCK xor to zero
#include <algorithm>
#include <cstring>

#include "smclib_internal.h"

namespace lmscr::smclib {

CLOCK_RATE_CONVERSION ClockRateConversion[16] = {
    {372, 4000},  {372, 5000},  {558, 6000},   {744, 8000},   {1116, 12000}, {1488, 16000},
    {1860, 20000}, {0, 0},      {0, 0},        {512, 5000},   {768, 7500},   {1024, 10000},
    {1536, 15000}, {2048, 20000}, {0, 0},      {0, 0},
};

BIT_RATE_ADJUSTMENT BitRateAdjustment[16] = {
    {0, 0},  {1, 1},  {2, 1},  {4, 1},  {8, 1},  {16, 1}, {32, 1}, {64, 1},
    {12, 1}, {20, 1}, {0, 0},  {0, 0},  {0, 0},  {0, 0},  {0, 0},  {0, 0},
};

namespace {

constexpr UCHAR kTsDirect = 0x3B;
constexpr UCHAR kTsInverse = 0x3F;
constexpr UCHAR kTsInverseUndecoded = 0x03;  // TS of an inverse card read in direct convention
constexpr UCHAR kFdIndex = 1;                // Fd = 372
constexpr UCHAR kDdIndex = 1;                // Dd = 1
constexpr UCHAR kDefaultWi = 10;
constexpr UCHAR kDefaultCwi = 13;
constexpr UCHAR kDefaultBwi = 4;
constexpr ULONG kBwtClocksPerUnit = 960 * 372;  // BWT counts 2^BWI x 960 x Fd clock cycles
// A data rate the reader lists is taken to match a computed one within 2 %: about the drift a
// UART tolerates over one character.
constexpr ULONG kRateTolerancePercent = 2;

struct Interface {
    bool present = false;
    UCHAR value = 0;
};

struct ParsedAtr {
    bool inverse = false;
    Interface ta1, tb1, tc1, ta2, tc2;
    Interface t1_ta, t1_tb, t1_tc;  // first TA, TB, TC of a group that belongs to T=1
    bool td1_present = false;
    ULONG offered = 0;  // SCARD_PROTOCOL_* named by any TDi
    bool tck_due = false;
    bool tck_present = false;
    size_t historical_at = 0;
    size_t historical_count = 0;
};

// Walks the ATR by its own structure.  Every index is checked against `atr.size()`, so a
// truncated or lying ATR ends in a status, never in a read past its end.
NTSTATUS ParseAtr(std::span<const UCHAR> atr, ParsedAtr &out) {
    if (atr.size() < 2) return STATUS_UNRECOGNIZED_MEDIA;
    // ISO/IEC 7816-3 8.1: TS 3B is the direct, 3F the inverse convention; nothing else is an ATR.
    switch (atr[0]) {
    case kTsDirect: out.inverse = false; break;
    case kTsInverse:
    case kTsInverseUndecoded: out.inverse = true; break;
    default: return STATUS_UNRECOGNIZED_MEDIA;
    }
    size_t pos = 1;
    const UCHAR t0 = atr[pos++];
    out.historical_count = t0 & 0x0F;
    unsigned presence = t0 >> 4;
    unsigned group = 1;
    int group_protocol = -1;  // protocol of the TD that announced this group; -1 for group 1
    // Each pass consumes at least the TD that continues the chain, so the loop ends within
    // atr.size() passes whatever the bytes say.
    for (size_t pass = 0; pass <= atr.size(); ++pass) {
        Interface bytes[3];
        for (unsigned k = 0; k < 3; ++k) {
            if (!(presence & (1u << k))) continue;
            if (pos >= atr.size()) return STATUS_UNRECOGNIZED_MEDIA;
            bytes[k] = {true, atr[pos++]};
        }
        if (group == 1) {
            out.ta1 = bytes[0];
            out.tb1 = bytes[1];
            out.tc1 = bytes[2];
        } else if (group == 2) {
            out.ta2 = bytes[0];
            out.tc2 = bytes[2];
        }
        // ISO/IEC 7816-3 11.4: the T=1 parameters are the first TAi, TBi, TCi (i >= 3) of a group
        // that a TD naming T=1 announced.
        if (group >= 3 && group_protocol == 1) {
            if (bytes[0].present && !out.t1_ta.present) out.t1_ta = bytes[0];
            if (bytes[1].present && !out.t1_tb.present) out.t1_tb = bytes[1];
            if (bytes[2].present && !out.t1_tc.present) out.t1_tc = bytes[2];
        }
        if (!(presence & 0x8)) break;
        if (pos >= atr.size()) return STATUS_UNRECOGNIZED_MEDIA;
        const UCHAR td = atr[pos++];
        const int protocol = td & 0x0F;
        if (group == 1) out.td1_present = true;
        if (protocol == 0) out.offered |= SCARD_PROTOCOL_T0;
        if (protocol == 1) out.offered |= SCARD_PROTOCOL_T1;
        // ISO/IEC 7816-3 8.2.5: TCK is present as soon as any protocol other than T=0 is named.
        if (protocol != 0) out.tck_due = true;
        presence = td >> 4;
        group_protocol = protocol;
        ++group;
    }
    // ISO/IEC 7816-3 8.2.3: without TD1 the card offers T=0 only.
    if (!out.td1_present) out.offered = SCARD_PROTOCOL_T0;
    if (atr.size() - pos < out.historical_count) return STATUS_UNRECOGNIZED_MEDIA;
    out.historical_at = pos;
    pos += out.historical_count;
    const size_t left = atr.size() - pos;
    if (left > 1) return STATUS_UNRECOGNIZED_MEDIA;  // bytes beyond the ATR's own structure
    if (left == 1) {
        out.tck_present = true;
        if (out.tck_due) {
            UCHAR sum = 0;
            for (size_t i = 1; i < atr.size(); ++i) sum ^= atr[i];
            if (sum != 0) return STATUS_CRC_ERROR;
        }
        // A TCK from a card that names only T=0 is against 8.2.5 but harmless; cards in the field
        // send one, and nothing depends on it, so it is kept and not judged.
    }
    // A TCK that is due but absent is tolerated: the driver accepts an ATR whose TCK never came
    // (its reader timed out waiting), and every parameter has already been read without it.
    return STATUS_SUCCESS;
}

ULONG RateOf(ULONG clock_khz, UCHAR fl, UCHAR dl) {
    const CLOCK_RATE_CONVERSION &f = ClockRateConversion[fl & 0x0F];
    const BIT_RATE_ADJUSTMENT &d = BitRateAdjustment[dl & 0x0F];
    if (f.F == 0 || d.DDivisor == 0) return 0;
    return static_cast<ULONG>(uint64_t{clock_khz} * 1000 * d.DNumerator / (uint64_t{f.F} * d.DDivisor));
}

bool Near(ULONG rate, ULONG wanted) {
    const uint64_t diff = rate > wanted ? rate - wanted : wanted - rate;
    return diff * 100 <= uint64_t{wanted} * kRateTolerancePercent;
}

bool ReaderRuns(const SCARD_READER_CAPABILITIES &reader, ULONG rate) {
    if (rate == 0) return false;
    const auto &list = reader.DataRatesSupported;
    if (list.List != nullptr && list.Entries > 0) {
        for (UCHAR i = 0; i < list.Entries; ++i)
            if (Near(rate, list.List[i])) return true;
        return false;
    }
    // No list: the reader runs its default rate and anything up to its maximum.
    return Near(rate, reader.DataRate.Default) ||
           (rate >= reader.DataRate.Default && rate <= reader.DataRate.Max);
}

ULONG ReaderClock(const SCARD_READER_CAPABILITIES &reader) {
    return reader.CLKFrequency.Max != 0 ? reader.CLKFrequency.Max : reader.CLKFrequency.Default;
}

bool ValidPair(UCHAR fl, UCHAR dl) {
    return ClockRateConversion[fl & 0x0F].F != 0 && BitRateAdjustment[dl & 0x0F].DNumerator != 0;
}

// The fastest (F, D) that the card allows and the reader runs.  F is the card's Fi or Fd = 372,
// D any value from Dd up to the card's Di (ISO/IEC 7816-3 9.3: the proposal may not exceed what
// TA1 offers); the reader's clock must not exceed the fmax that goes with that F.  On equal
// rates the card's own Fi wins.
bool ChooseOptimal(const SCARD_READER_CAPABILITIES &reader, UCHAR card_fl, UCHAR card_dl,
                   UCHAR &fl_out, UCHAR &dl_out) {
    const ULONG clock_khz = ReaderClock(reader);
    const ULONG card_d = BitRateAdjustment[card_dl].DNumerator / BitRateAdjustment[card_dl].DDivisor;
    const UCHAR f_candidates[2] = {card_fl, kFdIndex};
    ULONG best_rate = 0;
    for (UCHAR fl : f_candidates) {
        if (ClockRateConversion[fl].fs != 0 && clock_khz > ClockRateConversion[fl].fs) continue;
        for (UCHAR dl = 1; dl < 16; ++dl) {
            const auto &row = BitRateAdjustment[dl];
            if (row.DNumerator == 0 || row.DNumerator / row.DDivisor > card_d) continue;
            const ULONG rate = RateOf(clock_khz, fl, dl);
            if (rate <= best_rate || !ReaderRuns(reader, rate)) continue;
            best_rate = rate;
            fl_out = fl;
            dl_out = dl;
        }
    }
    return best_rate != 0;
}

ULONG EtuMicroseconds(ULONG clock_khz, UCHAR fl, UCHAR dl) {
    const auto &f = ClockRateConversion[fl & 0x0F];
    const auto &d = BitRateAdjustment[dl & 0x0F];
    if (clock_khz == 0 || d.DNumerator == 0) return 0;
    return static_cast<ULONG>(uint64_t{f.F} * d.DDivisor * 1000 / (uint64_t{d.DNumerator} * clock_khz));
}

}  // namespace

static NTSTATUS SmartcardUpdateCardCapabilitiesCpp(SMARTCARD_EXTENSION &ext) {
    SCARD_CARD_CAPABILITIES &caps = ext.CardCapabilities;
    if (caps.ATR.Length > sizeof(caps.ATR.Buffer)) return STATUS_INVALID_PARAMETER;
    const std::span<const UCHAR> atr(caps.ATR.Buffer, caps.ATR.Length);
    ParsedAtr parsed;
    if (const NTSTATUS status = ParseAtr(atr, parsed); !NT_SUCCESS(status)) return status;
    const SCARD_READER_CAPABILITIES &reader = ext.ReaderCapabilities;

    UCHAR card_fl = kFdIndex, card_dl = kDdIndex;
    if (parsed.ta1.present && ValidPair(parsed.ta1.value >> 4, parsed.ta1.value & 0x0F)) {
        card_fl = parsed.ta1.value >> 4;
        card_dl = parsed.ta1.value & 0x0F;
    }

    UCHAR fl = kFdIndex, dl = kDdIndex;
    UCHAR pts_type = PTS_TYPE_DEFAULT, pts_fl = kFdIndex, pts_dl = kDdIndex;
    ULONG selected = 0;
    ULONG state = SCARD_NEGOTIABLE;
    if (parsed.ta2.present) {
        // ISO/IEC 7816-3 8.3: TA2 puts the card in specific mode; its low nibble is the protocol,
        // bit 5 set means parameters implicit (known only to the card's maker): Fd, Dd are used.
        const int protocol = parsed.ta2.value & 0x0F;
        selected = protocol == 0 ? SCARD_PROTOCOL_T0 : protocol == 1 ? SCARD_PROTOCOL_T1 : 0;
        if (selected == 0 || !(reader.SupportedProtocols & selected)) return STATUS_NOT_SUPPORTED;
        if (!(parsed.ta2.value & 0x10) && parsed.ta1.present) {
            if (!ValidPair(parsed.ta1.value >> 4, parsed.ta1.value & 0x0F)) return STATUS_NOT_SUPPORTED;
            fl = card_fl;
            dl = card_dl;
            if ((fl != kFdIndex || dl != kDdIndex) && !ReaderRuns(reader, RateOf(ReaderClock(reader), fl, dl)))
                return STATUS_NOT_SUPPORTED;
        }
        pts_fl = fl;
        pts_dl = dl;
        state = SCARD_SPECIFIC;
    } else if (parsed.ta1.present && (card_fl != kFdIndex || card_dl != kDdIndex)) {
        // ISO/IEC 7816-3 9: a negotiable card runs Fd, Dd until a PTS exchange; propose the
        // fastest pair both sides can run, or nothing when that is the default pair anyway.
        UCHAR best_fl = kFdIndex, best_dl = kDdIndex;
        // A pair no faster than Fd, Dd is not worth an exchange that could fail.
        if (ChooseOptimal(reader, card_fl, card_dl, best_fl, best_dl) &&
            RateOf(ReaderClock(reader), best_fl, best_dl) > RateOf(ReaderClock(reader), kFdIndex, kDdIndex)) {
            pts_type = PTS_TYPE_OPTIMAL;
            pts_fl = best_fl;
            pts_dl = best_dl;
        }
    }

    caps.InversConvention = parsed.inverse;
    caps.ClockRateConversion = ClockRateConversion;
    caps.BitRateAdjustment = BitRateAdjustment;
    caps.Fl = fl;
    caps.Dl = dl;
    caps.II = parsed.tb1.present ? static_cast<UCHAR>((parsed.tb1.value >> 5) & 0x03) : 0;
    caps.P = parsed.tb1.present ? static_cast<UCHAR>(parsed.tb1.value & 0x1F) : 0;
    caps.N = parsed.tc1.present ? parsed.tc1.value : 0;
    caps.Protocol.Supported = parsed.offered;
    caps.Protocol.Selected = selected;
    caps.SpecificMode = parsed.ta2.present;
    caps.TA2 = parsed.ta2.present ? parsed.ta2.value : 0;
    caps.TckPresent = parsed.tck_present;

    caps.HistoricalChars.Length = static_cast<UCHAR>(parsed.historical_count);
    std::memset(caps.HistoricalChars.Buffer, 0, sizeof(caps.HistoricalChars.Buffer));
    std::memcpy(caps.HistoricalChars.Buffer, atr.data() + parsed.historical_at, parsed.historical_count);

    // ISO/IEC 7816-3 10.2: WI from TC2, 10 when absent; 0 is reserved and read as the default.
    caps.T0.WI = parsed.tc2.present && parsed.tc2.value != 0 ? parsed.tc2.value : kDefaultWi;
    // ISO/IEC 7816-3 11.4.2: IFSC 1..254 from the first TA for T=1, 32 otherwise.
    caps.T1.IFSC = T1_DEFAULT_IFS;
    if (parsed.t1_ta.present && parsed.t1_ta.value >= 0x01 && parsed.t1_ta.value <= 0xFE)
        caps.T1.IFSC = parsed.t1_ta.value;
    // ISO/IEC 7816-3 11.4.3: CWI in the low, BWI in the high nibble of the first TB for T=1.
    caps.T1.CWI = parsed.t1_tb.present ? static_cast<UCHAR>(parsed.t1_tb.value & 0x0F) : kDefaultCwi;
    caps.T1.BWI = parsed.t1_tb.present ? static_cast<UCHAR>(parsed.t1_tb.value >> 4) : kDefaultBwi;
    // ISO/IEC 7816-3 11.4.4: bit 1 of the first TC for T=1 chooses CRC over LRC.
    caps.T1.EDC = parsed.t1_tc.present && (parsed.t1_tc.value & 0x01) ? T1_CRC_CHECK : T1_LRC_CHECK;

    const ULONG clock_khz = ReaderClock(reader);
    caps.etu = EtuMicroseconds(clock_khz, fl, dl);
    const ULONG extra_guard = caps.N == 255 ? 0 : caps.N;
    caps.GT = (12 + extra_guard) * caps.etu;
    if (clock_khz != 0) {
        const uint64_t fi = ClockRateConversion[card_fl].F;
        caps.T0.WT = static_cast<ULONG>(uint64_t{caps.T0.WI} * 960 * fi * 1000 / clock_khz);
        caps.T1.BWT = static_cast<ULONG>(11ull * caps.etu +
                                         (uint64_t{1} << caps.T1.BWI) * kBwtClocksPerUnit * 1000 / clock_khz);
    } else {
        caps.T0.WT = 0;
        caps.T1.BWT = 0;
    }
    caps.T1.CWT = static_cast<ULONG>(((1u << caps.T1.CWI) + 11) * uint64_t{caps.etu});
    caps.T1.BGT = 22 * caps.etu;

    caps.PtsData.Type = pts_type;
    caps.PtsData.Fl = pts_fl;
    caps.PtsData.Dl = pts_dl;
    caps.PtsData.CLKFrequency = clock_khz;
    caps.PtsData.DataRate = RateOf(clock_khz, pts_fl, pts_dl);
    caps.PtsData.StopBits = static_cast<UCHAR>(extra_guard);

    ResetT1State(ext, caps.T1.IFSC);
    ext.ReaderCapabilities.CurrentState = state;
    return STATUS_SUCCESS;
}

}  // namespace lmscr::smclib

extern "C" NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = lmscr::smclib::SmartcardUpdateCardCapabilitiesCpp(*SmartcardExtension);
    // A card whose ATR cannot be used offers nothing: protocol selection must refuse it.
    if (!NT_SUCCESS(status)) SmartcardExtension->CardCapabilities.Protocol.Supported = 0;
    return status;
}
