// lmscr power: one card's activation and protocol selection on the built-in simulated reader,
// in virtual time, through the class library's requests as an application sends them; and the
// pieces of it that the demo's card session shares.
#include "lmscr.h"

#include "session.h"
#include "sim/cards/profiles.h"

#include <cstring>
#include <sstream>

namespace lmscr::tool {

std::string HexBytes(const uint8_t* bytes, size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", bytes[i]);
        text += b;
    }
    return text;
}

const char* CardStateText(ULONG state) {
    static const char* names[] = {"SCARD_UNKNOWN",  "SCARD_ABSENT",     "SCARD_PRESENT", "SCARD_SWALLOWED",
                                  "SCARD_POWERED",  "SCARD_NEGOTIABLE", "SCARD_SPECIFIC"};
    return state < 7 ? names[state] : "?";
}

std::string ProtocolText(ULONG protocols) {
    std::string text;
    if (protocols & SCARD_PROTOCOL_T0) text = "T=0";
    if (protocols & SCARD_PROTOCOL_T1) text += text.empty() ? "T=1" : " and T=1";
    return text.empty() ? "none" : text;
}

std::string AtrReading(const SCARD_CARD_CAPABILITIES& caps, ULONG state) {
    std::ostringstream s;
    s << (caps.InversConvention ? "inverse" : "direct") << " convention, offers " << ProtocolText(caps.Protocol.Supported);
    if (caps.SpecificMode) s << " (specific mode, " << ProtocolText(caps.Protocol.Selected) << ")";
    if (caps.Protocol.Supported & SCARD_PROTOCOL_T0) s << ", WI " << int(caps.T0.WI);
    if (caps.Protocol.Supported & SCARD_PROTOCOL_T1)
        s << ", IFSC " << int(caps.T1.IFSC) << " CWI " << int(caps.T1.CWI) << " BWI " << int(caps.T1.BWI) << ' '
          << (caps.T1.EDC ? "CRC" : "LRC");
    s << ", N " << int(caps.N) << ", historical " << HexBytes(caps.HistoricalChars.Buffer, caps.HistoricalChars.Length)
      << (caps.TckPresent ? ", TCK" : ", no TCK") << "; " << CardStateText(state) << ", PTS "
      << (caps.PtsData.Type == PTS_TYPE_DEFAULT ? "at Fd/Dd" : "to Fl " + std::to_string(caps.PtsData.Fl) + " Dl " +
                                                                   std::to_string(caps.PtsData.Dl));
    return s.str();
}

// The reader sends a card's 0x10 as 10 10; the card sent one byte.
static std::string Unescaped(const std::string& hex) {
    std::istringstream in(hex);
    std::string token, out;
    bool escape = false;
    while (in >> token) {
        if (token == "10" && !escape) {
            escape = true;
            continue;
        }
        escape = false;
        out += (out.empty() ? "" : " ") + token;
    }
    if (escape) out += (out.empty() ? "" : " ") + std::string("10");
    return out;
}

void PrintTrace(std::FILE* out, const std::vector<std::string>& lines) {
    for (const auto& line : lines) std::fprintf(out, "               | %s\n", line.c_str());
}

std::vector<std::string> PtsLines(const std::vector<std::string>& traceLines) {
    // Trace lines read "  12.345 ms host->reader  44 FF 11 11 FF   send card data, 4 bytes" and
    // "reader->host  FF 11 11 FF   card data, 4 bytes"; a send-data command's card bytes follow
    // its command byte.
    std::vector<std::string> out;
    for (const auto& line : traceLines) {
        for (const char* dir : {"host->reader  ", "reader->host  "}) {
            const size_t at = line.find(dir);
            if (at == std::string::npos) continue;
            const size_t from = at + std::strlen(dir);
            const size_t to = line.find("  ", from);
            const std::string bytes = line.substr(from, to == std::string::npos ? std::string::npos : to - from);
            const std::string what = to == std::string::npos ? "" : line.substr(line.find_first_not_of(' ', to));
            if (dir[0] == 'h' && what.rfind("send card data", 0) == 0 && bytes.size() > 3)
                out.push_back("to the card    " + bytes.substr(3));
            else if (dir[0] == 'r' && what.rfind("card data", 0) == 0)
                out.push_back("from the card  " + Unescaped(bytes));
            else if (dir[0] == 'h' && bytes.rfind("83 1D", 0) == 0)
                out.push_back("card reset (register 3 <- 1D)");
        }
    }
    return out;
}

namespace {

std::string Status(NTSTATUS s) { return kernel::StatusName(s); }

class PowerRun {
public:
    PowerRun(const GlobalOptions& options, std::FILE* out) : options_(options), out_(out), session_(options, out) {}

    int Run(bool warm, ULONG protocols) {
        if (!session_.PortError().empty()) {
            std::fprintf(stderr, "lmscr power: %s\n", session_.PortError().c_str());
            return 1;
        }
        if (!session_.Start()) {
            std::fprintf(out_, "the reader did not start\n");
            for (const auto& line : session_.Failure()) std::fprintf(out_, "  %s\n", line.c_str());
            return 1;
        }
        if (session_.RealTime()) {
            Say(std::string("reader started: ") + CardStateText(session_.CardState()));
        } else {
            session_.InsertCard();
            Say("card '" + options_.card + "' inserted: " + CardStateText(session_.CardState()));
        }
        Wire(session_.NewTraceLines());

        bool ok = Reset(SCARD_COLD_RESET, "cold reset");
        if (ok && warm) ok = Reset(SCARD_WARM_RESET, "warm reset");
        if (ok) ok = Select(protocols);
        return ok ? 0 : 1;
    }

private:
    bool Reset(ULONG minor, const char* what) {
        const Step step = session_.Power(minor);
        char line[160];
        std::snprintf(line, sizeof line, "%s: %s after %.3f ms", what, Status(step.result.status).c_str(), step.ms);
        Say(line);
        const PSMARTCARD_EXTENSION ext = session_.Extension();
        if (step.result.status == STATUS_SUCCESS) {
            Detail("ATR  " + HexBytes(step.result.output.data(), step.result.information) + " (" +
                   std::to_string(step.result.information) + " bytes)");
            Detail("the library: " + AtrReading(ext->CardCapabilities, session_.CardState()));
            Detail("receive time-outs: TotalTimeout " + std::to_string(ext->ReaderExtension->TotalTimeout) +
                   " ms, CharTimeout " + std::to_string(ext->ReaderExtension->CharTimeout) + " ms");
        }
        Wire(session_.NewTraceLines());
        return step.result.status == STATUS_SUCCESS;
    }

    bool Select(ULONG protocols) {
        ULONG selected = 0;
        const Step step = session_.SetProtocol(protocols, selected);
        char line[200];
        std::snprintf(line, sizeof line, "protocol %s requested: %s after %.3f ms, selected %s, card state %s",
                      ProtocolText(protocols).c_str(), Status(step.result.status).c_str(), step.ms,
                      ProtocolText(selected).c_str(), CardStateText(session_.CardState()));
        Say(line);
        const std::vector<std::string> stepLines = session_.NewTraceLines();
        const auto pts = PtsLines(stepLines);
        // A tty has no line trace: the PTS bytes are unseen there.
        if (pts.empty() && !session_.RealTime()) Detail("no PTS exchange");
        for (const auto& p : pts) Detail("PTS " + p);
        if (step.result.status == STATUS_SUCCESS) {
            const PSMARTCARD_EXTENSION ext = session_.Extension();
            CARD_TIMING t;
            ComputeCardTiming(ext, &t);
            char timing[200];
            std::snprintf(timing, sizeof timing,
                          "reader timing: Fl %u Dl %u, mode %u, guard %u etu, character %u etu, block %u etu; "
                          "TotalTimeout %u ms, CharTimeout %u ms",
                          ext->CardCapabilities.Fl, ext->CardCapabilities.Dl, t.ProtocolMode, t.GuardTimeEtu,
                          t.CharTimeoutEtu, t.BlockTimeoutEtu, ext->ReaderExtension->TotalTimeout,
                          ext->ReaderExtension->CharTimeout);
            Detail(timing);
        }
        Wire(stepLines);
        return step.result.status == STATUS_SUCCESS;
    }

    void Say(const std::string& text) { std::fprintf(out_, "%10.3f ms  %s\n", session_.NowMs(), text.c_str()); }
    void Detail(const std::string& text) { std::fprintf(out_, "               %s\n", text.c_str()); }
    void Wire(const std::vector<std::string>& lines) {
        if (options_.trace) PrintTrace(out_, lines);
    }

    GlobalOptions options_;
    std::FILE* out_;
    ReaderSession session_;
};

}  // namespace

int RunPower(const GlobalOptions& options, bool warm, ULONG protocols, std::FILE* out) {
    if (options.port.empty() && !sim::cards::MakeCardProfile(options.card, options.seed)) {
        std::fprintf(stderr, "lmscr power: no card called '%s' (see lmscr cards)\n", options.card.c_str());
        return 2;
    }
    std::fprintf(out, "lmscr power: %s\n", WhereText(options).c_str());
    PowerRun run(options, out);
    return run.Run(warm, protocols);
}

}  // namespace lmscr::tool
