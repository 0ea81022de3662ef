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

}  // namespace

int RunAtr(const std::string& hex, bool json, std::FILE* out, std::FILE* err) {
    std::string error;
    auto parsed = ParseHex(hex, &error);
    if (!parsed) {
        std::fprintf(err, "lmscr atr: not an answer to reset: %s\n", error.c_str());
        return 2;
    }
    const std::vector<uint8_t>& atr = *parsed;

    // The reader as the driver describes it to the library: 3.58 MHz, 9600 bit/s, IFSD 254.
    static ULONG dataRates[1] = {9600};
    SMARTCARD_EXTENSION ext;
    std::memset(&ext, 0, sizeof ext);
    ext.Version = SMCLIB_VERSION;
    ext.ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    ext.ReaderCapabilities.CLKFrequency.Default = 3580;
    ext.ReaderCapabilities.CLKFrequency.Max = 3580;
    ext.ReaderCapabilities.DataRate.Default = 9600;
    ext.ReaderCapabilities.DataRate.Max = 9600;
    ext.ReaderCapabilities.DataRatesSupported.List = dataRates;
    ext.ReaderCapabilities.DataRatesSupported.Entries = 1;
    ext.ReaderCapabilities.MaxIFSD = 254;
    std::memcpy(ext.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    ext.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
    const NTSTATUS status = SmartcardUpdateCardCapabilities(&ext);
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
        if (ok) {
            j << ",\"protocols\":" << Json(Protocols(caps.Protocol.Supported)) << ",\"specific_mode\":" << (caps.SpecificMode ? "true" : "false")
              << ",\"n\":" << int(caps.N) << ",\"wi\":" << int(caps.T0.WI) << ",\"ifsc\":" << int(caps.T1.IFSC)
              << ",\"cwi\":" << int(caps.T1.CWI) << ",\"bwi\":" << int(caps.T1.BWI) << ",\"edc\":" << Json(caps.T1.EDC ? "CRC" : "LRC")
              << ",\"card_state\":" << ext.ReaderCapabilities.CurrentState << ",\"pts\":{\"type\":" << int(caps.PtsData.Type)
              << ",\"fl\":" << int(caps.PtsData.Fl) << ",\"dl\":" << int(caps.PtsData.Dl)
              << ",\"data_rate\":" << caps.PtsData.DataRate << "}";
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
    }
    return ok ? 0 : 1;
}

}  // namespace lmscr::tool
