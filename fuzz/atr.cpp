// The answer to reset: the class library's analysis (SmartcardUpdateCardCapabilities) against a
// reader whose capabilities come from the input too, and `lmscr atr`'s explanation of the same
// bytes.
//
// Input:
//   byte 0   bit 0: the rest is the text `lmscr atr` is given (hex as a person types it) instead
//            of ATR bytes; bit 1: JSON output; bits 2-3: the reader's protocols (0 means T=0 and
//            T=1); bit 4: the reader lists its data rates; bit 5: ATR.Length as the input says
//            (up to 255), else the bytes given
//   bytes 1-12  the reader's clock: default and maximum kHz (16 bits each), data rate default
//               and maximum (32 bits each), all least significant byte first
//   byte 13     number of listed data rates (up to 8), then 32 bits each
//   then        the ATR
// Oracle: no crash, no undefined behaviour; an ATR the library accepts has fields that agree with
// its bytes: the historical bytes are the ones at their place inside the ATR, the protocols are
// at most T=0 and T=1, the rate factors index real rows of the tables, the card state is negotiable or
// specific and a specific card has its protocol selected.
#include <smclib.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "input.h"
#include "tools/lmscr.h"

namespace {

using lmscr::fuzz::Bytes;
using lmscr::fuzz::Fail;
using lmscr::fuzz::Hex;
using lmscr::fuzz::Input;

// The ATR's own structure, walked independently of the library: where the historical bytes
// start, or nothing when the bytes run out before them.
bool HistoricalAt(const Bytes& atr, size_t& at, size_t& count) {
    if (atr.size() < 2) return false;
    count = atr[1] & 0x0F;
    unsigned y = atr[1] >> 4;
    size_t pos = 2;
    for (;;) {
        for (unsigned k = 0; k < 4; ++k)
            if (y & (1u << k)) ++pos;
        if (pos > atr.size()) return false;
        if (!(y & 0x8)) break;
        y = atr[pos - 1] >> 4;
    }
    at = pos;
    return pos + count <= atr.size();
}

std::FILE* Null() {
    static std::FILE* f = std::fopen("/dev/null", "w");
    return f;
}

void CheckCapabilities(const SMARTCARD_EXTENSION& ext, const Bytes& atr) {
    const SCARD_CARD_CAPABILITIES& c = ext.CardCapabilities;
    size_t at = 0, count = 0;
    if (!HistoricalAt(atr, at, count)) Fail("an ATR cut short was accepted", Hex(atr));
    if (c.HistoricalChars.Length != count)
        Fail("the historical byte count disagrees with T0", Hex(atr) + ": " + std::to_string(c.HistoricalChars.Length));
    if (std::memcmp(c.HistoricalChars.Buffer, atr.data() + at, count) != 0)
        Fail("the historical bytes are not the ATR's", Hex(atr));
    // A card may offer only protocols nobody runs (T=2..14): accepted, with nothing to select.
    if ((c.Protocol.Supported & ~(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)) != 0)
        Fail("protocols offered other than T=0 and T=1", Hex(atr));
    if (!c.ClockRateConversion || !c.BitRateAdjustment) Fail("no rate tables", Hex(atr));
    if (c.Fl > 15 || c.Dl > 15 || c.ClockRateConversion[c.Fl].F == 0 || c.BitRateAdjustment[c.Dl].DNumerator == 0)
        Fail("the card's rate factors name a reserved row", Hex(atr));
    if (c.PtsData.Fl > 15 || c.PtsData.Dl > 15 || c.ClockRateConversion[c.PtsData.Fl].F == 0 ||
        c.BitRateAdjustment[c.PtsData.Dl].DNumerator == 0)
        Fail("the proposed rate factors name a reserved row", Hex(atr));
    const ULONG state = ext.ReaderCapabilities.CurrentState;
    if (state != SCARD_NEGOTIABLE && state != SCARD_SPECIFIC) Fail("the card state is neither negotiable nor specific", Hex(atr));
    if ((state == SCARD_SPECIFIC) != (c.Protocol.Selected != 0))
        Fail("a specific card without its protocol, or a negotiable one with one", Hex(atr));
    if (c.Protocol.Selected & ~ext.ReaderCapabilities.SupportedProtocols)
        Fail("a protocol selected that the reader does not run", Hex(atr));
    if (c.T1.IFSC == 0 || c.T1.IFSC == 0xFF) Fail("an IFSC of 0 or 255", Hex(atr));
    if (c.T1.EDC != T1_LRC_CHECK && c.T1.EDC != T1_CRC_CHECK) Fail("an unknown T=1 check", Hex(atr));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t flags = in.Byte();
    const bool json = flags & 0x02;
    if (flags & 0x01) {
        const Bytes text = in.Rest();
        lmscr::tool::RunAtr(std::string(text.begin(), text.end()), json, Null(), Null());
        return 0;
    }

    SMARTCARD_EXTENSION ext;
    std::memset(&ext, 0, sizeof ext);
    ext.Version = SMCLIB_VERSION;
    const ULONG protocols = (flags >> 2) & 0x03;
    ext.ReaderCapabilities.SupportedProtocols = protocols ? protocols : SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    ext.ReaderCapabilities.CLKFrequency.Default = in.U16();
    ext.ReaderCapabilities.CLKFrequency.Max = in.U16();
    ext.ReaderCapabilities.DataRate.Default = in.U32();
    ext.ReaderCapabilities.DataRate.Max = in.U32();
    ULONG rates[8] = {};
    const unsigned entries = in.Byte() % 9;
    for (unsigned i = 0; i < entries; ++i) rates[i] = in.U32();
    if (flags & 0x10) {
        ext.ReaderCapabilities.DataRatesSupported.List = rates;
        ext.ReaderCapabilities.DataRatesSupported.Entries = static_cast<UCHAR>(entries);
    }
    ext.ReaderCapabilities.MaxIFSD = 254;
    Bytes atr = in.Rest();
    if (atr.size() > sizeof ext.CardCapabilities.ATR.Buffer) atr.resize(sizeof ext.CardCapabilities.ATR.Buffer);
    if (!atr.empty()) std::memcpy(ext.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    ext.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
    if ((flags & 0x20) && !atr.empty()) {
        // A length the caller got wrong: the library must check it against its buffer.
        // The library reads what its buffer holds up to that length (zeros past the input's bytes).
        const UCHAR length = atr[0];
        ext.CardCapabilities.ATR.Length = length;
        const size_t held = std::min<size_t>(length, sizeof ext.CardCapabilities.ATR.Buffer);
        atr.assign(ext.CardCapabilities.ATR.Buffer, ext.CardCapabilities.ATR.Buffer + held);
    }
    const NTSTATUS status = SmartcardUpdateCardCapabilities(&ext);
    if (NT_SUCCESS(status)) {
        if (ext.CardCapabilities.ATR.Length > sizeof ext.CardCapabilities.ATR.Buffer)
            Fail("an ATR longer than its buffer was accepted", std::to_string(ext.CardCapabilities.ATR.Length));
        CheckCapabilities(ext, atr);
    } else if (ext.CardCapabilities.Protocol.Supported != 0) {
        Fail("a refused ATR still offers protocols", Hex(atr));
    }

    // The program's explanation of the same bytes, and its verdict the library's own (for the
    // reader the program describes, which the input may not match: only run, not compared).
    if (!atr.empty()) {
        static const char* digits = "0123456789ABCDEF";
        std::string hex;
        for (uint8_t b : atr) {
            hex += digits[b >> 4];
            hex += digits[b & 0x0F];
            hex += ' ';
        }
        lmscr::tool::RunAtr(hex, json, Null(), Null());
    }
    return 0;
}
