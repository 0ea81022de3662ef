// lmscr atr HEX: an answer to reset as the class library sees it, byte by byte, for a person at a
// reader (or, with --json, for a script).  The library does the analysis; this walk only names
// the bytes.  ISO/IEC 7816-3 clause 8 draws the ATR:
//
//   TS  T0  [TA1 TB1 TC1 TD1] [TA2 TB2 TC2 TD2] ... [historical bytes, K of them] [TCK]
//
// T0 and every TDi say in their high nibble which of the next TA, TB, TC, TD follow; the low
// nibble of T0 is K, that of each TDi the protocol the next group is about.  TCK follows when any
// TDi names a protocol other than T=0.
#include "lmscr.h"

#include "kernel.h"

#include <smclib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace lmscr::tool {

namespace {

struct Named {
    size_t offset;
    std::string name;
    uint8_t value;
    std::string meaning;
};

std::optional<std::vector<uint8_t>> ParseHex(const std::string& text, std::string* error) {
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (c != ' ' && c != ':' && c != '-' && c != '\t') {
            *error = std::string("'") + c + "' is no hex digit";
            return std::nullopt;
        }
    }
    if (digits.size() % 2) {
        *error = "an odd number of hex digits";
        return std::nullopt;
    }
    for (size_t i = 0; i < digits.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    if (bytes.empty()) {
        *error = "no bytes";
        return std::nullopt;
    }
    if (bytes.size() > 33) {
        *error = std::to_string(bytes.size()) + " bytes; an answer to reset has at most 33";
        return std::nullopt;
    }
    return bytes;
}

std::string Hex(uint8_t b) {
    char s[4];
    std::snprintf(s, sizeof s, "%02X", b);
    return s;
}

std::string Protocols(ULONG mask) {
    std::string s;
    if (mask & SCARD_PROTOCOL_T0) s += "T=0";
    if (mask & SCARD_PROTOCOL_T1) s += s.empty() ? "T=1" : ", T=1";
    return s.empty() ? "none" : s;
}

std::string Json(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// Names the bytes of the ATR by walking its structure; stops where the bytes run out.
struct Walk {
    std::vector<Named> named;
    size_t historicalAt = 0, historicalCount = 0;
    bool tckDue = false;
    std::optional<size_t> tckAt;
    std::string truncated;  // empty when the ATR is whole
    size_t extra = 0;       // bytes after the structure
    // The protocol the first group names: TD1's, or T=0 when T0 announces no TD1; -1 when the
    // bytes end before that is known.
    int firstProtocol = -1;
};

Walk WalkAtr(const std::vector<uint8_t>& atr, const SCARD_CARD_CAPABILITIES& caps) {
    Walk w;
    const char* ts = atr[0] == 0x3B ? "direct convention" : (atr[0] == 0x3F || atr[0] == 0x03) ? "inverse convention" : "unknown convention";
    w.named.push_back({0, "TS", atr[0], ts});
    if (atr.size() < 2) {
        w.truncated = "T0 missing";
        return w;
    }
    uint8_t y = atr[1] >> 4;
    const size_t k = atr[1] & 0x0F;
    w.named.push_back({1, "T0", atr[1], "K = " + std::to_string(k) + " historical bytes"});
    size_t at = 2;
    int group = 1;
    int protocol = 0;  // the protocol the current group speaks of (group 1: global)
    bool t1Done = false;  // the first group for T=1 (group 3 or later) has been seen
    for (;;) {
        const bool firstT1 = protocol == 1 && group >= 3 && !t1Done;
        const char letters[4] = {'A', 'B', 'C', 'D'};
        uint8_t td = 0;
        bool haveTd = false;
        for (int i = 0; i < 4; ++i) {
            if (!(y & (1 << i))) continue;
            if (at >= atr.size()) {
                w.truncated = std::string("T") + letters[i] + std::to_string(group) + " missing";
                return w;
            }
            const uint8_t v = atr[at];
            std::string name = std::string("T") + letters[i] + std::to_string(group);
            std::string meaning;
            if (group == 1 && i == 0) {
                const auto& f = caps.ClockRateConversion ? caps.ClockRateConversion[v >> 4] : CLOCK_RATE_CONVERSION{0, 0};
                const auto& d = caps.BitRateAdjustment ? caps.BitRateAdjustment[v & 0x0F] : BIT_RATE_ADJUSTMENT{0, 0};
                char fmax[32] = "";
                if (f.F) std::snprintf(fmax, sizeof fmax, "%.1f", f.fs / 1000.0);
                meaning = (f.F ? "Fi = " + std::to_string(f.F) + ", fmax = " + fmax + " MHz"
                               : std::string("Fi reserved")) +
                          (d.DNumerator ? ", Di = " + std::to_string(d.DNumerator) + (d.DDivisor > 1 ? "/" + std::to_string(d.DDivisor) : "")
                                        : std::string(", Di reserved"));
            } else if (group == 1 && i == 1) {
                meaning = "programming voltage (deprecated)";
            } else if (group == 1 && i == 2) {
                meaning = "N = " + std::to_string(v) + (v == 255 ? " (minimum guard time)" : " extra guard etu");
            } else if (group == 2 && i == 0) {
                meaning = std::string("specific mode, T=") + std::to_string(v & 0x0F) +
                          ((v & 0x10) ? ", implicit parameters" : ", parameters from TA1");
            } else if (group == 2 && i == 2 && protocol == 0) {
                meaning = "WI = " + std::to_string(v) + " (T=0 work waiting time)";
            } else if (i == 3) {
                meaning = "next group for T=" + std::to_string(v & 0x0F);
            } else if (protocol == 1 && firstT1 && i == 0) {
                meaning = "IFSC = " + std::to_string(v);
            } else if (protocol == 1 && firstT1 && i == 1) {
                meaning = "CWI = " + std::to_string(v & 0x0F) + ", BWI = " + std::to_string(v >> 4);
            } else if (protocol == 1 && firstT1 && i == 2) {
                meaning = (v & 1) ? "check byte CRC" : "check byte LRC";
            } else {
                meaning = "interface byte for T=" + std::to_string(protocol);
            }
            w.named.push_back({at, name, v, meaning});
            if (i == 3) {
                td = v;
                haveTd = true;
            }
            ++at;
        }
        if (firstT1) t1Done = true;
        if (group == 1) w.firstProtocol = haveTd ? td & 0x0F : 0;
        if (!haveTd) break;
        protocol = td & 0x0F;
        if (protocol != 0) w.tckDue = true;
        y = td >> 4;
        ++group;
    }
    w.historicalAt = at;
    for (size_t i = 0; i < k; ++i, ++at) {
        if (at >= atr.size()) {
            w.truncated = "historical byte " + std::to_string(i + 1) + " missing";
            w.historicalCount = i;
            return w;
        }
        w.named.push_back({at, "T" + std::to_string(i + 1), atr[at], "historical byte"});
    }
    w.historicalCount = k;
    if (w.tckDue) {
        if (at < atr.size()) {
            w.tckAt = at;
            w.named.push_back({at, "TCK", atr[at], "check byte"});
            ++at;
        }
    }
    w.extra = atr.size() > at ? atr.size() - at : 0;
    return w;
}


// The rate a pair of factors gives at the reader's clock, as the library counts it.
ULONG RateAt(const SCARD_CARD_CAPABILITIES& tables, ULONG clockKhz, UCHAR fl, UCHAR dl) {
    const auto& f = tables.ClockRateConversion[fl & 0x0F];
    const auto& d = tables.BitRateAdjustment[dl & 0x0F];
    if (f.F == 0 || d.DDivisor == 0) return 0;
    return static_cast<ULONG>(uint64_t{clockKhz} * 1000 * d.DNumerator / (uint64_t{f.F} * d.DDivisor));
}

// "Fi 512 / Di 8" for what a card offers, "Fd 372 / Dd 1" for the default pair.
std::string Factors(const SCARD_CARD_CAPABILITIES& tables, UCHAR fl, UCHAR dl, bool card) {
    const auto& f = tables.ClockRateConversion[fl & 0x0F];
    const auto& d = tables.BitRateAdjustment[dl & 0x0F];
    if ((fl & 0x0F) == 1 && (dl & 0x0F) == 1) return "Fd 372 / Dd 1";
    std::string dv = std::to_string(d.DNumerator) + (d.DDivisor > 1 ? "/" + std::to_string(d.DDivisor) : "");
    return std::string(card ? "Fi " : "F ") + std::to_string(f.F) + (card ? " / Di " : " / D ") + dv;
}

// What the card offers beside what the driver will use with it, and why: the facts the class
// library's analysis (PTS data, card state) and the driver's protocol selection act on.  In
// negotiable mode the driver always makes one PTS exchange, with the library's PTS data, and
// selects T=1 when the application allows it and the card offers it, T=0 otherwise; in specific
// mode an application asking for the card's protocol gets it with no exchange.
struct Choice {
    std::string offers, uses, rate, protocol;
};

Choice Explain(const Walk& walk, const SMARTCARD_EXTENSION& ext) {
    const SCARD_CARD_CAPABILITIES& caps = ext.CardCapabilities;
    const SCARD_READER_CAPABILITIES& reader = ext.ReaderCapabilities;
    const ULONG clock = reader.CLKFrequency.Max ? reader.CLKFrequency.Max : reader.CLKFrequency.Default;
    char mhz[16];
    std::snprintf(mhz, sizeof mhz, "%.2f", clock / 1000.0);
    std::optional<uint8_t> ta1, ta2, td1;
    for (const auto& n : walk.named) {
        if (n.name == "TA1") ta1 = n.value;
        if (n.name == "TA2") ta2 = n.value;
        if (n.name == "TD1") td1 = n.value;
    }
    const bool ta1Valid = ta1 && caps.ClockRateConversion[*ta1 >> 4].F && caps.BitRateAdjustment[*ta1 & 0x0F].DNumerator;
    const UCHAR cardFl = ta1Valid ? *ta1 >> 4 : 1, cardDl = ta1Valid ? *ta1 & 0x0F : 1;
    const ULONG cardRate = RateAt(caps, clock, cardFl, cardDl), defaultRate = RateAt(caps, clock, 1, 1);
    const std::string cardPair = Factors(caps, cardFl, cardDl, true);
    Choice c;
    std::string protocols = Protocols(caps.Protocol.Supported);
    if (protocols.find(", ") != std::string::npos) protocols.replace(protocols.find(", "), 2, " and ");
    c.offers = cardPair + " (" + std::to_string(cardRate) + " bit/s at the reader's " + mhz + " MHz" +
               (ta1 ? ta1Valid ? "" : ", TA1 reserved" : ", no TA1") + "), " + protocols + ", " +
               (caps.SpecificMode ? "specific mode (TA2 " + Hex(caps.TA2) + ")" : std::string("negotiable (no TA2)"));
    c.uses = Factors(caps, caps.PtsData.Fl, caps.PtsData.Dl, false) + ", " + std::to_string(caps.PtsData.DataRate) + " bit/s";
    std::string declared;
    for (ULONG i = 0; i < reader.DataRatesSupported.Entries; ++i)
        declared += (i ? ", " : "") + std::to_string(reader.DataRatesSupported.List[i]);
    const bool oneRate = reader.DataRatesSupported.Entries == 1;
    const int mine = caps.TA2 & 0x0F;
    if (caps.SpecificMode) {
        c.rate = "specific mode: the card runs T=" + std::to_string(mine) + " at " + Factors(caps, caps.Fl, caps.Dl, true) +
                 ((caps.TA2 & 0x10) ? " (implicit parameters)" : "") + " as its TA2 says, no PTS";
        c.protocol = "an application asking for T=" + std::to_string(mine) + " gets it without an exchange";
        return c;
    }
    if (caps.PtsData.Type != PTS_TYPE_DEFAULT)
        c.rate = "the reader runs " + std::to_string(caps.PtsData.DataRate) + " bit/s (its declared data rates: " + declared +
                 "), so the PTS proposes " + Factors(caps, caps.PtsData.Fl, caps.PtsData.Dl, false);
    else if (cardRate > defaultRate)
        c.rate = "the reader runs " + declared + " bit/s " + (oneRate ? "only " : "") +
                 "(its declared data rates), so no PTS asks for " + cardPair + ": the PTS keeps Fd 372 / Dd 1";
    else if (ta1Valid && (cardFl != 1 || cardDl != 1))
        c.rate = "the card offers nothing faster than Fd 372 / Dd 1, so the PTS keeps them";
    else
        c.rate = "the card offers Fd 372 / Dd 1 only, so the PTS keeps them";
    const int first = td1 ? (*td1 & 0x0F) : 0;
    const ULONG offered = caps.Protocol.Supported;
    if (offered == (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1))
        c.protocol = "T=" + std::to_string(first) + " first offered, T=" + std::to_string(1 - first) +
                     " also: an application chooses, and asked for both the PTS selects T=1";
    else if (offered == SCARD_PROTOCOL_T1)
        c.protocol = "T=1 only: the PTS selects T=1, an application asking for T=0 alone is refused";
    else
        c.protocol = "T=0 only: the PTS selects T=0, an application asking for T=1 alone is refused";
    return c;
}

// Why the library refused a card in specific mode: the driver cannot use what its TA2 fixes.
std::string SpecificRefusal(const Walk& walk, const SMARTCARD_EXTENSION& ext, const SCARD_CARD_CAPABILITIES& tables) {
    std::optional<uint8_t> ta1, ta2;
    for (const auto& n : walk.named) {
        if (n.name == "TA1") ta1 = n.value;
        if (n.name == "TA2") ta2 = n.value;
    }
    if (!ta2) return "";
    const int protocol = *ta2 & 0x0F;
    if (protocol > 1) return "specific mode: the card runs T=" + std::to_string(protocol) + " only, which the reader does not speak";
    if (!ta1 || (*ta2 & 0x10)) return "";
    const SCARD_READER_CAPABILITIES& reader = ext.ReaderCapabilities;
    if (!tables.ClockRateConversion[*ta1 >> 4].F || !tables.BitRateAdjustment[*ta1 & 0x0F].DNumerator)
        return "specific mode: the card's TA1 " + Hex(*ta1) + " names reserved factors, which the reader cannot run";
    std::string declared;
    for (ULONG i = 0; i < reader.DataRatesSupported.Entries; ++i)
        declared += (i ? ", " : "") + std::to_string(reader.DataRatesSupported.List[i]);
    const ULONG clock = reader.CLKFrequency.Max ? reader.CLKFrequency.Max : reader.CLKFrequency.Default;
    return "specific mode: the card runs T=" + std::to_string(protocol) + " at " + Factors(tables, *ta1 >> 4, *ta1 & 0x0F, true) +
           ", " + std::to_string(RateAt(tables, clock, *ta1 >> 4, *ta1 & 0x0F)) + " bit/s, and no PTS may change that, but the reader runs " +
           declared + " bit/s only (its declared data rates)";
}
}  // namespace

NTSTATUS LibraryReading(SMARTCARD_EXTENSION& ext, const ReaderDescription& reader, const std::vector<uint8_t>& atr) {
    std::memset(&ext, 0, sizeof ext);
    ext.Version = SMCLIB_VERSION;
    ext.ReaderCapabilities.SupportedProtocols = reader.protocols;
    ext.ReaderCapabilities.CLKFrequency.Default = reader.clockKhz;
    ext.ReaderCapabilities.CLKFrequency.Max = reader.maxClockKhz;
    ext.ReaderCapabilities.DataRate.Default = reader.dataRates[0];
    ext.ReaderCapabilities.DataRate.Max = reader.dataRates[1];
    // The list the library picks a rate from; the record keeps a pointer to it.
    ext.ReaderCapabilities.DataRatesSupported.List = const_cast<ULONG*>(reader.dataRates);
    ext.ReaderCapabilities.DataRatesSupported.Entries = reader.dataRates[0] == reader.dataRates[1] ? 1 : 2;
    ext.ReaderCapabilities.MaxIFSD = reader.maxIfsd;
    const size_t length = std::min(atr.size(), sizeof ext.CardCapabilities.ATR.Buffer);
    if (length == 0) return STATUS_UNRECOGNIZED_MEDIA;
    std::memcpy(ext.CardCapabilities.ATR.Buffer, atr.data(), length);
    ext.CardCapabilities.ATR.Length = static_cast<UCHAR>(length);
    return SmartcardUpdateCardCapabilities(&ext);
}

ULONG FirstOfferedProtocol(const std::vector<uint8_t>& atr) {
    if (atr.empty()) return 0;
    const int protocol = WalkAtr(atr, SCARD_CARD_CAPABILITIES{}).firstProtocol;
    return protocol == 0 ? SCARD_PROTOCOL_T0 : protocol == 1 ? SCARD_PROTOCOL_T1 : 0;
}

int RunAtr(const std::string& hex, bool json, std::FILE* out, std::FILE* err) {
    std::string error;
    auto parsed = ParseHex(hex, &error);
    if (!parsed) {
        std::fprintf(err, "lmscr atr: not an answer to reset: %s\n", error.c_str());
        return 2;
    }
    const std::vector<uint8_t>& atr = *parsed;

    const ReaderDescription reader;
    SMARTCARD_EXTENSION ext;
    const NTSTATUS status = LibraryReading(ext, reader, atr);
    const SCARD_CARD_CAPABILITIES& caps = ext.CardCapabilities;

    // The tables are the library's; a failed analysis may not have set them.
    SCARD_CARD_CAPABILITIES tables = caps;
    if (!tables.ClockRateConversion) {
        SMARTCARD_EXTENSION probe;
        std::memset(&probe, 0, sizeof probe);
        probe.ReaderCapabilities = ext.ReaderCapabilities;
        const uint8_t minimal[2] = {0x3B, 0x00};
        std::memcpy(probe.CardCapabilities.ATR.Buffer, minimal, 2);
        probe.CardCapabilities.ATR.Length = 2;
        SmartcardUpdateCardCapabilities(&probe);
        tables.ClockRateConversion = probe.CardCapabilities.ClockRateConversion;
        tables.BitRateAdjustment = probe.CardCapabilities.BitRateAdjustment;
    }
    const Walk walk = WalkAtr(atr, tables);

    uint8_t expectedTck = 0;
    for (size_t i = 1; i < (walk.tckAt ? *walk.tckAt : atr.size()); ++i) expectedTck ^= atr[i];
    const bool tckCorrect = walk.tckAt && expectedTck == atr[*walk.tckAt];
    const bool ok = NT_SUCCESS(status);
    const std::string verdict = ok ? "usable" : "refused: " + lmscr::kernel::StatusName(status);

    if (json) {
        std::ostringstream j;
        j << "{\"atr\":" << Json(hex) << ",\"status\":" << Json(lmscr::kernel::StatusName(status)) << ",\"usable\":" << (ok ? "true" : "false");
        j << ",\"convention\":" << Json(atr[0] == 0x3B ? "direct" : (atr[0] == 0x3F || atr[0] == 0x03) ? "inverse" : "unknown");
        j << ",\"bytes\":[";
        for (size_t i = 0; i < walk.named.size(); ++i)
            j << (i ? "," : "") << "{\"offset\":" << walk.named[i].offset << ",\"name\":" << Json(walk.named[i].name)
              << ",\"value\":" << Json(Hex(walk.named[i].value)) << ",\"meaning\":" << Json(walk.named[i].meaning) << "}";
        j << "],\"truncated\":" << (walk.truncated.empty() ? "null" : Json(walk.truncated));
        j << ",\"extra_bytes\":" << walk.extra;
        if (!ok && status == STATUS_NOT_SUPPORTED) j << ",\"choice\":{\"why_refused\":" << Json(SpecificRefusal(walk, ext, tables)) << "}";
        if (ok) {
            j << ",\"protocols\":" << Json(Protocols(caps.Protocol.Supported)) << ",\"specific_mode\":" << (caps.SpecificMode ? "true" : "false")
              << ",\"n\":" << int(caps.N) << ",\"wi\":" << int(caps.T0.WI) << ",\"ifsc\":" << int(caps.T1.IFSC)
              << ",\"cwi\":" << int(caps.T1.CWI) << ",\"bwi\":" << int(caps.T1.BWI) << ",\"edc\":" << Json(caps.T1.EDC ? "CRC" : "LRC")
              << ",\"card_state\":" << ext.ReaderCapabilities.CurrentState << ",\"pts\":{\"type\":" << int(caps.PtsData.Type)
              << ",\"fl\":" << int(caps.PtsData.Fl) << ",\"dl\":" << int(caps.PtsData.Dl)
              << ",\"data_rate\":" << caps.PtsData.DataRate << "}";
            const Choice c = Explain(walk, ext);
            j << ",\"choice\":{\"card_offers\":" << Json(c.offers) << ",\"reader_uses\":" << Json(c.uses)
              << ",\"why_rate\":" << Json(c.rate) << ",\"why_protocol\":" << Json(c.protocol) << "}";
        }
        j << ",\"historical\":\"";
        for (size_t i = 0; i < walk.historicalCount; ++i) j << Hex(atr[walk.historicalAt + i]);
        j << "\",\"tck\":{\"due\":" << (walk.tckDue ? "true" : "false") << ",\"present\":" << (walk.tckAt ? "true" : "false")
          << ",\"expected\":" << Json(Hex(walk.tckAt ? expectedTck : 0)) << ",\"correct\":" << (tckCorrect ? "true" : "false") << "}}";
        std::fprintf(out, "%s\n", j.str().c_str());
        return ok ? 0 : 1;
    }

    std::fprintf(out, "answer to reset: %s (%zu bytes)\n", hex.c_str(), atr.size());
    for (const auto& n : walk.named)
        std::fprintf(out, "  %2zu  %-4s %s  %s\n", n.offset, n.name.c_str(), Hex(n.value).c_str(), n.meaning.c_str());
    if (!walk.truncated.empty()) std::fprintf(out, "  truncated: %s\n", walk.truncated.c_str());
    if (walk.extra) std::fprintf(out, "  %zu byte(s) after the answer's structure\n", walk.extra);
    if (!walk.truncated.empty())
        std::fprintf(out, "  TCK: unknown, the answer is cut short\n");
    else if (walk.tckDue)
        std::fprintf(out, "  TCK: due, %s, expected %s%s\n", walk.tckAt ? "present" : "missing", Hex(expectedTck).c_str(),
                     walk.tckAt ? (tckCorrect ? ", correct" : ", WRONG") : "");
    else
        std::fprintf(out, "  TCK: not due (T=0 only)\n");
    std::fprintf(out, "the library: %s\n", verdict.c_str());
    if (!ok && status == STATUS_NOT_SUPPORTED && !SpecificRefusal(walk, ext, tables).empty())
        std::fprintf(out, "  why refused        %s\n", SpecificRefusal(walk, ext, tables).c_str());
    if (ok) {
        std::fprintf(out, "  protocols offered  %s%s\n", Protocols(caps.Protocol.Supported).c_str(),
                     caps.SpecificMode ? " (specific mode)" : "");
        std::fprintf(out, "  card state         %s\n", ext.ReaderCapabilities.CurrentState == SCARD_SPECIFIC ? "SCARD_SPECIFIC" : "SCARD_NEGOTIABLE");
        std::fprintf(out, "  guard time N       %u etu\n", caps.N);
        if (caps.Protocol.Supported & SCARD_PROTOCOL_T0) std::fprintf(out, "  T=0 WI             %u\n", caps.T0.WI);
        if (caps.Protocol.Supported & SCARD_PROTOCOL_T1)
            std::fprintf(out, "  T=1 IFSC, CWI, BWI %u, %u, %u; check byte %s\n", caps.T1.IFSC, caps.T1.CWI, caps.T1.BWI,
                         caps.T1.EDC ? "CRC" : "LRC");
        std::fprintf(out, "  PTS to propose     %s", caps.PtsData.Type == PTS_TYPE_DEFAULT ? "none (default Fd, Dd)" : "optimal");
        if (caps.PtsData.Type != PTS_TYPE_DEFAULT)
            std::fprintf(out, ": Fl %u, Dl %u, %u bit/s", caps.PtsData.Fl, caps.PtsData.Dl, caps.PtsData.DataRate);
        std::fprintf(out, "\n");
        const Choice c = Explain(walk, ext);
        std::fprintf(out, "the choice:\n");
        std::fprintf(out, "  the card offers    %s\n", c.offers.c_str());
        std::fprintf(out, "  the reader uses    %s\n", c.uses.c_str());
        std::fprintf(out, "  why this rate      %s\n", c.rate.c_str());
        std::fprintf(out, "  why this protocol  %s\n", c.protocol.c_str());
    }
    return ok ? 0 : 1;
}

}  // namespace lmscr::tool
