// lmscr power: one card's activation and protocol selection on the built-in simulated reader,
// in virtual time, through the class library's requests as an application sends them (or on the
// reader of --port, or pcscd's of --pcsc, in real time); and the pieces of it that the demo's
// card session shares. SIGINT or SIGTERM powers the card down at the next request's end, prints
// what was done (--json: the whole document) and exits 130.
//
// --json prints one object: {"run": "power", "card" (null off the simulator), "port"?,
//   "pcsc_reader"?, "atr", "protocol", "steps": [{"at_ms", "step", "status", "error"?, "ms",
//   "atr"?, "reading"?, "requested"?, "selected"?, "card_state"?}], "error"?, "stopped"?,
//   "left_behind"?, "ok"}; a step's "error" is the PC/SC error's name where a PC/SC call failed.
#include "lmscr.h"

#include "session.h"
#include "sim/cards/profiles.h"

#include <cstdlib>
#include <cstring>
#include <optional>
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

// The step's status, and the PC/SC error's name where a PC/SC call failed.
std::string Status(const Step& step) {
    return step.why.empty() ? kernel::StatusName(step.result.status)
                            : kernel::StatusName(step.result.status) + " (" + step.why + ")";
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ms);
    return text;
}

// The value a line-trace line says the host wrote to register `reg` ("write reg 6 (block timeout)
// = 16908", "write reg 2 (mode) = 0x6C"), the last such write of the lines; nothing when none.
std::optional<unsigned long> LastRegisterWrite(const std::vector<std::string>& lines, int reg) {
    const std::string what = "write reg " + std::to_string(reg) + " ";
    std::optional<unsigned long> value;
    for (const auto& line : lines) {
        if (line.find("host->reader") == std::string::npos) continue;
        const size_t at = line.find(what);
        const size_t equals = at == std::string::npos ? at : line.find("= ", at);
        if (equals == std::string::npos) continue;
        value = std::strtoul(line.c_str() + equals + 2, nullptr, 0);
    }
    return value;
}

// Exit status of a run stopped by SIGINT or SIGTERM, as a shell reports a program the signal
// ended: 128 + SIGINT.
constexpr int kStoppedExit = 130;

// The activation step by step: printed as it goes in text, kept for the one JSON document.
class PowerRun {
public:
    PowerRun(const GlobalOptions& options, std::FILE* out) : options_(options), out_(out), session_(options, out) {}

    int Run(bool warm, ULONG protocols) {
        if (!session_.PortError().empty()) {
            std::fprintf(stderr, "lmscr power: %s\n", session_.PortError().c_str());
            return 1;
        }
        if (!session_.Start()) {
            if (options_.json) {
                for (const auto& line : session_.Failure()) error_ += (error_.empty() ? "" : "; ") + line;
                return Done(false);
            }
            std::fprintf(out_, "the reader did not start\n");
            for (const auto& line : session_.Failure()) std::fprintf(out_, "  %s\n", line.c_str());
            return 1;
        }
        if (session_.OnPcsc()) {
            Say("PC/SC reader '" + session_.PcscReader() + "': " + CardStateText(session_.CardState()));
        } else if (session_.RealTime()) {
            Say(std::string("reader started: ") + CardStateText(session_.CardState()));
        } else {
            session_.InsertCard();
            Say("card '" + options_.card + "' inserted: " + CardStateText(session_.CardState()));
        }
        Wire(TraceLines());

        // A signal is heard between the requests: each runs to its end, then the card is powered
        // down rather than left powered by a run nobody waits for.
        bool ok = !StopRequested() && Reset(SCARD_COLD_RESET, "cold reset");
        if (ok && warm) ok = !StopRequested() && Reset(SCARD_WARM_RESET, "warm reset");
        if (ok) ok = !StopRequested() && Select(protocols);
        if (StopRequested()) return Stopped();
        return Done(ok);
    }

private:
    bool Reset(ULONG minor, const char* what) {
        const double at = session_.NowMs();
        const Step step = session_.Power(minor);
        const bool ok = step.result.status == STATUS_SUCCESS;
        Say(std::string(what) + ": " + Status(step) + " after " + Ms(step.ms) + " ms");
        std::string json = Head(at, what, step);
        if (ok) {
            atr_ = HexBytes(step.result.output.data(), step.result.information);
            // On PC/SC the library reads the ATR as `lmscr atr` does; the card state it would
            // reach is its own, pcscd's is in the protocol line.
            const std::string reading =
                AtrReading(session_.CardReading(), session_.OnPcsc() ? session_.ReadingState() : session_.CardState());
            Detail("ATR  " + atr_ + " (" + std::to_string(step.result.information) + " bytes)");
            Detail("the library: " + reading);
            json += ", \"atr\": \"" + atr_ + "\", \"reading\": \"" + JsonEscaped(reading) + "\"";
            // The driver's receive time-outs, as it set them on its port; pcscd's handler keeps its own.
            if (const auto timeouts = session_.PortReceiveTimeouts())
                Detail("receive time-outs: TotalTimeout " + std::to_string(timeouts->totalMs) + " ms, CharTimeout " +
                       std::to_string(timeouts->charMs) + " ms");
        }
        steps_.push_back(json + "}");
        Wire(TraceLines());
        return ok;
    }

    bool Select(ULONG protocols) {
        const double at = session_.NowMs();
        ULONG selected = 0;
        const Step step = session_.SetProtocol(protocols, selected);
        const bool ok = step.result.status == STATUS_SUCCESS;
        protocol_ = selected;
        Say("protocol " + ProtocolText(protocols) + " requested: " + Status(step) + " after " + Ms(step.ms) +
            " ms, selected " + ProtocolText(selected) + ", card state " + CardStateText(session_.CardState()));
        steps_.push_back(Head(at, "protocol", step) + ", \"requested\": \"" + ProtocolText(protocols) +
                         "\", \"selected\": \"" + ProtocolText(selected) + "\", \"card_state\": \"" +
                         CardStateText(session_.CardState()) + "\"}");
        if (session_.OnPcsc()) {
            // pcscd negotiates at the reset and keeps what it chose; another protocol takes a reset.
            if (ok) Detail("chosen by pcscd at the card's reset; the PTS is its handler's, unseen here");
            return ok;
        }
        const std::vector<std::string> stepLines = TraceLines();
        const auto pts = PtsLines(stepLines);
        // A tty has no line trace: the PTS bytes are unseen there.
        if (pts.empty() && !session_.RealTime()) Detail("no PTS exchange");
        for (const auto& p : pts) Detail("PTS " + p);
        if (ok) Detail(TimingText());
        Wire(stepLines);
        return ok;
    }

    // The line trace since the last call, kept for the registers' values.
    std::vector<std::string> TraceLines() {
        std::vector<std::string> lines = session_.NewTraceLines();
        traceSoFar_.insert(traceSoFar_.end(), lines.begin(), lines.end());
        return lines;
    }

    // The card's timing in force after the protocol selection: the transmission factors from the
    // card attributes; the reader's protocol mode (register 2, bits 0-1), guard time (1),
    // character and block time-outs (5 and 6) in etu as the driver last wrote them, from the line
    // trace (unseen on a tty); the receive time-outs from the port.
    std::string TimingText() {
        std::string text = "reader timing: ";
        const auto f = session_.Attribute(SCARD_ATTR_CURRENT_F), d = session_.Attribute(SCARD_ATTR_CURRENT_D);
        text += "F " + (f ? std::to_string(*f) : std::string("?")) + " D " + (d ? std::to_string(*d) : std::string("?"));
        struct Register {
            int number;
            const char* name;
            const char* unit;
        };
        constexpr Register kRegisters[] = {
            {2, "mode", ""}, {1, "guard", " etu"}, {5, "character", " etu"}, {6, "block", " etu"}};
        for (const Register& r : kRegisters) {
            auto value = LastRegisterWrite(traceSoFar_, r.number);
            if (!value) continue;
            if (r.number == 2) *value &= 0x03;
            text += std::string(", ") + r.name + " " + std::to_string(*value) + r.unit;
        }
        if (const auto timeouts = session_.PortReceiveTimeouts())
            text += "; TotalTimeout " + std::to_string(timeouts->totalMs) + " ms, CharTimeout " +
                    std::to_string(timeouts->charMs) + " ms";
        return text;
    }

    int Stopped() {
        const double at = session_.NowMs();
        const Step down = session_.Power(SCARD_POWER_DOWN);
        stopped_ = "stopped by a signal; card powered down: " + Status(down);
        steps_.push_back(Head(at, "power down", down) + "}");
        Say(stopped_);
        Wire(TraceLines());
        Done(false);
        return kStoppedExit;
    }

    std::string Head(double at, const char* what, const Step& step) const {
        std::string json = "{\"at_ms\": " + Ms(at) + ", \"step\": \"" + what + "\", \"status\": \"" +
                           kernel::StatusName(step.result.status) + "\"";
        if (!step.why.empty()) json += ", \"error\": \"" + JsonEscaped(step.why) + "\"";
        return json + ", \"ms\": " + Ms(step.ms);
    }

    // The JSON document, with what was done; the exit status.
    int Done(bool ok) {
        const std::string leaks = session_.Finish();
        ok = ok && leaks.empty();
        if (!options_.json) {
            if (!leaks.empty()) std::fprintf(out_, "left behind:\n%s", leaks.c_str());
            return ok ? 0 : 1;
        }
        std::string where = "\"card\": \"" + JsonEscaped(options_.card) + "\"";
        if (session_.OnPcsc()) where = "\"card\": null, \"pcsc_reader\": \"" + JsonEscaped(session_.PcscReader()) + "\"";
        else if (session_.RealTime()) where = "\"card\": null, \"port\": \"" + JsonEscaped(options_.port) + "\"";
        std::fprintf(out_, "{\n  \"run\": \"power\",\n  %s,\n  \"atr\": \"%s\",\n  \"protocol\": \"%s\",\n  \"steps\": [",
                     where.c_str(), atr_.c_str(), protocol_ ? ProtocolText(protocol_).c_str() : "none");
        for (size_t i = 0; i < steps_.size(); ++i) std::fprintf(out_, "%s\n    %s", i ? "," : "", steps_[i].c_str());
        std::fprintf(out_, "%s],\n", steps_.empty() ? "" : "\n  ");
        if (!error_.empty()) std::fprintf(out_, "  \"error\": \"%s\",\n", JsonEscaped(error_).c_str());
        if (!stopped_.empty()) std::fprintf(out_, "  \"stopped\": \"%s\",\n", JsonEscaped(stopped_).c_str());
        if (!leaks.empty()) std::fprintf(out_, "  \"left_behind\": \"%s\",\n", JsonEscaped(leaks).c_str());
        std::fprintf(out_, "  \"ok\": %s\n}\n", ok ? "true" : "false");
        return ok ? 0 : 1;
    }

    void Say(const std::string& text) {
        if (!options_.json) std::fprintf(out_, "%10.3f ms  %s\n", session_.NowMs(), text.c_str());
    }
    void Detail(const std::string& text) {
        if (!options_.json) std::fprintf(out_, "               %s\n", text.c_str());
    }
    void Wire(const std::vector<std::string>& lines) {
        if (options_.trace && !options_.json) PrintTrace(out_, lines);
    }

    GlobalOptions options_;
    std::FILE* out_;
    ReaderSession session_;
    std::vector<std::string> steps_;  // JSON objects
    std::vector<std::string> traceSoFar_;
    std::string atr_, error_, stopped_;
    ULONG protocol_ = 0;
};

}  // namespace

int RunPower(const GlobalOptions& options, bool warm, ULONG protocols, std::FILE* out) {
    if (options.port.empty() && !options.pcsc && !sim::cards::MakeCardProfile(options.card, options.seed)) {
        std::fprintf(stderr, "lmscr power: no card called '%s' (see lmscr cards)\n", options.card.c_str());
        return 2;
    }
    CatchStopSignals();
    if (!options.json) std::fprintf(out, "lmscr power: %s\n", WhereText(options).c_str());
    PowerRun run(options, out);
    return run.Run(warm, protocols);
}

}  // namespace lmscr::tool
