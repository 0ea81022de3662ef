// lmscr send and lmscr script: command APDUs to a simulated card through the driver, as an
// application sends them (IOCTL_SMARTCARD_TRANSMIT after a cold reset and a protocol), with each
// answer, its status word in words and the virtual time it took.
//
// --json prints one JSON object for the whole run:
//   {"run": "send"|"script", "card", "seed", "atr", "protocol",
//    "setup": {"status", "error"?, "trace"?},
//    "exchanges": [{"line"?, "label"?, "command", "status", "answer"?, "data_bytes"?, "sw"?,
//                   "meaning"?, "ms", "expected"?, "ok"?, "trace"?}],
//    "summary": {"commands", "answered", "failed", "expectations", "mismatches", "ok"},
//    "left_behind"?}
// "answer", "sw" and "meaning" are there when the driver answered; "ok" when an answer was expected.
#include "lmscr.h"

#include "apdu.h"
#include "session.h"
#include "sim/cards/profiles.h"

#include <cinttypes>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace lmscr::tool {

namespace {

constexpr size_t kBytesPerLine = 16;

// The protocol the card names first in its answer to reset: TD1's, or T=0 when there is no
// TD1 (ISO/IEC 7816-3: an ATR without TD1 offers T=0 only). 0 for an ATR too short to tell.
ULONG FirstOfferedProtocol(const uint8_t* atr, size_t length) {
    if (length < 2) return 0;
    const uint8_t t0 = atr[1];
    if (!(t0 & 0x80)) return SCARD_PROTOCOL_T0;
    size_t at = 2;
    for (uint8_t bit = 0x10; bit != 0x80; bit <<= 1)
        if (t0 & bit) ++at;
    if (at >= length) return 0;
    const int protocol = atr[at] & 0x0F;
    return protocol == 0 ? SCARD_PROTOCOL_T0 : protocol == 1 ? SCARD_PROTOCOL_T1 : 0;
}

struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    Bytes answer;  // data then SW1 SW2, when the driver answered
    double ms = 0;
    std::vector<std::string> trace;
    bool answered() const { return NT_SUCCESS(status) && answer.size() >= 2; }
    uint16_t sw() const { return static_cast<uint16_t>(answer[answer.size() - 2] << 8 | answer.back()); }
};

std::string SwText(uint16_t sw) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", sw);
    return text;
}

class ExchangeRun {
public:
    ExchangeRun(const GlobalOptions& options, const char* name, size_t maxAnswerLines, std::FILE* out)
        : options_(options), name_(name), maxAnswerLines_(maxAnswerLines), out_(out), session_(options, out) {}

    int Run(ULONG protocols, const std::vector<Exchange>& exchanges) {
        const bool ready = SetUp(protocols);
        if (ready)
            for (const auto& e : exchanges) Send(e);
        const std::string leaks = session_.Finish();
        return Finish(ready, leaks);
    }

private:
    bool SetUp(ULONG protocols) {
        if (!session_.Start()) return SetUpFailed(STATUS_UNSUCCESSFUL, "the reader did not start");
        session_.InsertCard();
        setupTrace_ = session_.NewTraceLines();

        const Step power = session_.Power(SCARD_COLD_RESET);
        Append(setupTrace_, session_.NewTraceLines());
        if (power.result.status != STATUS_SUCCESS)
            return SetUpFailed(power.result.status, "cold reset: " + kernel::StatusName(power.result.status));
        atr_ = HexBytes(power.result.output.data(), power.result.information);
        if (!options_.json) {
            char line[64];
            std::snprintf(line, sizeof line, "cold reset after %.3f ms: ATR ", power.ms);
            Say(line + atr_);
        }

        // Asked for both, the library would pick T=1; a card is run in the protocol it names first
        // unless one was asked for.
        if (protocols == (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)) {
            const ULONG first = FirstOfferedProtocol(power.result.output.data(), power.result.information);
            if (first & session_.Extension()->CardCapabilities.Protocol.Supported) protocols = first;
        }
        const Step select = session_.SetProtocol(protocols, protocol_);
        Append(setupTrace_, session_.NewTraceLines());
        if (select.result.status != STATUS_SUCCESS)
            return SetUpFailed(select.result.status,
                               "protocol " + ProtocolText(protocols) + ": " + kernel::StatusName(select.result.status));
        if (!options_.json) {
            char line[96];
            std::snprintf(line, sizeof line, "protocol %s selected after %.3f ms", ProtocolText(protocol_).c_str(),
                          select.ms);
            Say(line);
            Trace(setupTrace_);
        }
        return true;
    }

    bool SetUpFailed(NTSTATUS status, const std::string& what) {
        setupStatus_ = status;
        setupError_ = what;
        if (!options_.json) {
            Say(what);
            Trace(setupTrace_);
        }
        return false;
    }

    void Send(const Exchange& e) {
        const double at = session_.NowMs();
        const Step step = session_.Transmit(protocol_, e.command);
        Outcome o;
        o.status = step.result.status;
        o.ms = step.ms;
        o.trace = session_.NewTraceLines();
        // The answer follows the SCARD_IO_REQUEST header the library puts in front of it.
        const size_t header = sizeof(SCARD_IO_REQUEST);
        if (NT_SUCCESS(o.status) && step.result.information >= header && step.result.information <= step.result.output.size())
            o.answer.assign(step.result.output.begin() + header, step.result.output.begin() + step.result.information);

        ++commands_;
        if (o.answered()) ++answered_; else ++failed_;
        bool ok = o.answered();
        if (e.expected) {
            ++expectations_;
            ok = o.answered() && e.expected->Matches(o.answer);
            if (!ok) {
                ++mismatches_;
                mismatchNotes_.push_back((e.line ? "line " + std::to_string(e.line) + ": " : std::string()) + "expected " +
                                         e.expected->Text() + ", " +
                                         (o.answered() ? "answered " + HexBytes(o.answer.data(), o.answer.size())
                                                       : "failed " + kernel::StatusName(o.status)));
            }
        }
        if (options_.json) {
            Json(e, o, ok);
        } else {
            Text(e, o, ok, at);
        }
    }

    void Text(const Exchange& e, const Outcome& o, bool ok, double at) {
        const std::string command = HexBytes(e.command.data(), e.command.size());
        const std::string title = !e.label.empty() ? e.label : e.line ? "line " + std::to_string(e.line) : "";
        if (!title.empty()) {
            std::fprintf(out_, "%10.3f ms  %s\n", at, title.c_str());
            Detail("command  " + command);
        } else {
            std::fprintf(out_, "%10.3f ms  command  %s\n", at, command.c_str());
        }
        char took[48];
        std::snprintf(took, sizeof took, "after %.3f ms", o.ms);
        if (!o.answered()) {
            Detail("failed   " + kernel::StatusName(o.status) + " " + took +
                   (NT_SUCCESS(o.status) ? " (an answer without a status word)" : ""));
        } else {
            const size_t lines = (o.answer.size() + kBytesPerLine - 1) / kBytesPerLine;
            const bool cut = maxAnswerLines_ >= 3 && lines > maxAnswerLines_;
            for (size_t line = 0; line < lines; ++line) {
                // Cut short: the first lines, then the last one with the status word.
                if (cut && line == maxAnswerLines_ - 2) {
                    Detail("         ... " + std::to_string((lines - maxAnswerLines_ + 1) * kBytesPerLine) +
                           " bytes more ...");
                    line = lines - 1;
                }
                const size_t i = line * kBytesPerLine;
                const size_t n = std::min(kBytesPerLine, o.answer.size() - i);
                Detail(std::string(line == 0 ? "answer   " : "         ") + HexBytes(o.answer.data() + i, n));
            }
            const size_t data = o.answer.size() - 2;
            Detail("status   " + SwText(o.sw()) + " " + StatusWordMeaning(o.sw()) + ", " +
                   (data ? std::to_string(data) + " data byte" + (data == 1 ? ", " : "s, ") : std::string()) + took);
        }
        if (e.expected) Detail("expected " + e.expected->Text() + (ok ? ", as answered" : ", NOT AS ANSWERED"));
        Trace(o.trace);
    }

    void Json(const Exchange& e, const Outcome& o, bool ok) {
        std::ostringstream s;
        s << (exchangesJson_.empty() ? "" : ",\n") << "    {";
        if (e.line) s << "\"line\": " << e.line << ", ";
        if (!e.label.empty()) s << "\"label\": \"" << JsonEscaped(e.label) << "\", ";
        s << "\"command\": \"" << HexBytes(e.command.data(), e.command.size()) << "\", \"status\": \""
          << kernel::StatusName(o.status) << "\"";
        if (o.answered()) {
            s << ", \"answer\": \"" << HexBytes(o.answer.data(), o.answer.size()) << "\", \"data_bytes\": "
              << o.answer.size() - 2 << ", \"sw\": \"" << SwText(o.sw()) << "\", \"meaning\": \""
              << JsonEscaped(StatusWordMeaning(o.sw())) << "\"";
        }
        char ms[32];
        std::snprintf(ms, sizeof ms, "%.3f", o.ms);
        s << ", \"ms\": " << ms;
        if (e.expected) s << ", \"expected\": \"" << e.expected->Text() << "\", \"ok\": " << (ok ? "true" : "false");
        if (options_.trace) s << ", \"trace\": " << JsonLines(o.trace);
        s << "}";
        exchangesJson_ += s.str();
    }

    int Finish(bool ready, const std::string& leaks) {
        const bool ok = ready && failed_ == 0 && mismatches_ == 0 && leaks.empty();
        if (options_.json) {
            std::fprintf(out_, "{\n  \"run\": \"%s\",\n  \"card\": \"%s\",\n  \"seed\": %" PRIu64 ",\n", name_,
                         JsonEscaped(options_.card).c_str(), options_.seed);
            std::fprintf(out_, "  \"atr\": \"%s\",\n  \"protocol\": \"%s\",\n", atr_.c_str(),
                         protocol_ ? ProtocolText(protocol_).c_str() : "none");
            std::fprintf(out_, "  \"setup\": {\"status\": \"%s\"", kernel::StatusName(setupStatus_).c_str());
            if (!ready) std::fprintf(out_, ", \"error\": \"%s\"", JsonEscaped(setupError_).c_str());
            if (options_.trace) std::fprintf(out_, ", \"trace\": %s", JsonLines(setupTrace_).c_str());
            std::fprintf(out_, "},\n  \"exchanges\": [%s%s%s],\n", exchangesJson_.empty() ? "" : "\n",
                         exchangesJson_.c_str(), exchangesJson_.empty() ? "" : "\n  ");
            std::fprintf(out_,
                         "  \"summary\": {\"commands\": %d, \"answered\": %d, \"failed\": %d, \"expectations\": %d, "
                         "\"mismatches\": %d, \"ok\": %s}",
                         commands_, answered_, failed_, expectations_, mismatches_, ok ? "true" : "false");
            if (!leaks.empty()) std::fprintf(out_, ",\n  \"left_behind\": \"%s\"", JsonEscaped(leaks).c_str());
            std::fprintf(out_, "\n}\n");
            return ok ? 0 : 1;
        }
        if (ready) {
            std::string line = "summary: " + std::to_string(commands_) + " command" + (commands_ == 1 ? "" : "s") +
                               ", " + std::to_string(answered_) + " answered, " + std::to_string(failed_) + " failed";
            if (expectations_)
                line += "; " + std::to_string(expectations_) + " expected answer" + (expectations_ == 1 ? "" : "s") +
                        ", " + std::to_string(mismatches_) + " not met";
            std::fprintf(out_, "%s\n", line.c_str());
            for (const auto& note : mismatchNotes_) std::fprintf(out_, "  %s\n", note.c_str());
        }
        if (!leaks.empty()) std::fprintf(out_, "left behind:\n%s", leaks.c_str());
        return ok ? 0 : 1;
    }

    static std::string JsonLines(const std::vector<std::string>& lines) {
        std::string s = "[";
        for (size_t i = 0; i < lines.size(); ++i) s += (i ? ", \"" : "\"") + JsonEscaped(lines[i]) + "\"";
        return s + "]";
    }
    static void Append(std::vector<std::string>& to, const std::vector<std::string>& more) {
        to.insert(to.end(), more.begin(), more.end());
    }

    void Say(const std::string& text) { std::fprintf(out_, "%10.3f ms  %s\n", session_.NowMs(), text.c_str()); }
    void Detail(const std::string& text) { std::fprintf(out_, "               %s\n", text.c_str()); }
    void Trace(const std::vector<std::string>& lines) {
        if (options_.trace) PrintTrace(out_, lines);
    }

    GlobalOptions options_;
    const char* name_;
    size_t maxAnswerLines_;
    std::FILE* out_;
    ReaderSession session_;
    std::string atr_;
    ULONG protocol_ = 0;
    NTSTATUS setupStatus_ = STATUS_SUCCESS;
    std::string setupError_;
    std::vector<std::string> setupTrace_;
    std::string exchangesJson_;
    std::vector<std::string> mismatchNotes_;
    int commands_ = 0, answered_ = 0, failed_ = 0, expectations_ = 0, mismatches_ = 0;
};

bool KnownCard(const GlobalOptions& options, const char* command) {
    if (sim::cards::MakeCardProfile(options.card, options.seed)) return true;
    std::fprintf(stderr, "lmscr %s: no card called '%s' (see lmscr cards)\n", command, options.card.c_str());
    return false;
}

}  // namespace

int RunExchanges(const GlobalOptions& options, const char* name, ULONG protocols,
                 const std::vector<Exchange>& exchanges, std::FILE* out, size_t maxAnswerLines) {
    ExchangeRun run(options, name, maxAnswerLines, out);
    return run.Run(protocols, exchanges);
}

int RunSend(const GlobalOptions& options, ULONG protocols, const std::vector<std::string>& apdus, std::FILE* out,
            std::FILE* err) {
    if (apdus.empty()) {
        std::fprintf(err, "lmscr send: which command? e.g. lmscr send \"00 A4 00 00 02 3F 00\"\n");
        return 2;
    }
    std::vector<Exchange> exchanges;
    for (const auto& text : apdus) {
        const auto bytes = ParseHexBytes(text);
        if (!bytes || bytes->size() < kMinCommandBytes || bytes->size() > kMaxCommandBytes) {
            std::fprintf(err, "lmscr send: '%s' is no command APDU (%zu to %zu hex bytes)\n", text.c_str(),
                         kMinCommandBytes, kMaxCommandBytes);
            return 2;
        }
        exchanges.push_back(Exchange{{}, 0, *bytes, std::nullopt});
    }
    if (!KnownCard(options, "send")) return 2;
    if (!options.json)
        std::fprintf(out, "lmscr send: card '%s' on the built-in simulated reader, virtual time\n", options.card.c_str());
    return RunExchanges(options, "send", protocols, exchanges, out);
}

int RunScript(const GlobalOptions& options, ULONG protocols, const std::string& file, std::FILE* out, std::FILE* err) {
    std::string text;
    if (file == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(err, "lmscr script: cannot read '%s'\n", file.c_str());
            return 2;
        }
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<ScriptLine> lines;
    std::vector<ScriptError> errors;
    ParseScript(text, lines, errors);
    // A script with a typo runs nothing: half a script could leave the card in a state (a PIN
    // try spent, a file written) that its author did not mean.
    for (const auto& e : errors)
        std::fprintf(err, "%s:%d: %s: %s\n", file == "-" ? "stdin" : file.c_str(), e.number, e.why.c_str(),
                     e.text.c_str());
    if (!errors.empty()) return 2;
    if (!KnownCard(options, "script")) return 2;
    std::vector<Exchange> exchanges;
    for (const auto& l : lines) exchanges.push_back(Exchange{{}, l.number, l.command, l.expected});
    if (!options.json)
        std::fprintf(out, "lmscr script %s: card '%s' on the built-in simulated reader, virtual time\n",
                     file == "-" ? "(stdin)" : file.c_str(), options.card.c_str());
    return RunExchanges(options, "script", protocols, exchanges, out);
}

}  // namespace lmscr::tool
