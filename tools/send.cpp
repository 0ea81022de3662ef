// lmscr send and lmscr script: command APDUs to a simulated card through the driver, as an
// application sends them (IOCTL_SMARTCARD_TRANSMIT after a cold reset and a protocol), with each
// answer, its status word in words and the virtual time it took.
//
// A script is a text file, one item a line; '#' starts a comment, blank lines are skipped:
//   APDU [=> EXPECTED]     a command in hex and the whole answer it should get (apdu.h has the
//                          pattern: "90 00", "... 90 00", "?? ?? 61 ??")
//   !sleep [s3|hibernate|shutdown] [critical]
//                          the system sleeps (default s3): the power manager queries the driver,
//                          then sets the state; critical: set without a query
//   !wake                  the system wakes
//   !remove                the card is taken out
//   !insert [NAME]         a card goes in (default: the run's card; see lmscr cards)
//   !reset [t0|t1]         cold reset and protocol selection again (default: as at the start)
//   !wait MS               MS virtual milliseconds pass
// The run starts awake with the card in, reset and its protocol selected. Each step prints one
// line: its virtual time, what it did and the card state after it. A command to a card that is
// not reset (put in, or re-reported after a wake) gets the library's refusal, shown as a failed
// command. Lines that cannot run where they stand (a command or !reset while the system sleeps
// would wait for the wake; !remove from an empty slot) are errors like malformed lines: the
// script runs nothing.
//
// --json prints one JSON object for the whole run:
//   {"run": "send"|"script", "card", "seed", "atr", "protocol",
//    "setup": {"status", "error"?, "trace"?},
//    "exchanges": [{"line"?, "label"?, "command", "status", "answer"?, "data_bytes"?, "sw"?,
//                   "meaning"?, "card_state"?, "ms", "expected"?, "ok"?, "trace"?}
//                  or {"line", "step", "at_ms", "status"?, "ms"?, "result"?, "atr"?, "protocol"?,
//                      "card_state", "ok", "power"?: [{"at_ms", "event"}], "trace"?}],
//    "summary": {"commands", "answered", "failed", "steps", "steps_failed", "expectations",
//                "mismatches", "ok"},
//    "stopped"?, "left_behind"?}
// "answer", "sw" and "meaning" are there when the driver answered, "card_state" when a command
// failed with the card not ready for commands (not SCARD_SPECIFIC); "ok" when an answer was
// expected.
// A step's "step" is its line in one spelling ("!sleep s3"); "status" and "ms" for the steps that
// send requests (!sleep, !wake, !reset), "power" the power requests and the reader's work of a
// !sleep or !wake in time order, "atr" and "protocol" a !reset's. "stopped" says why a script
// ended early (a system that did not wake).
#include "lmscr.h"

#include "apdu.h"
#include "session.h"
#include "sim/cards/profiles.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>

namespace lmscr::tool {

namespace {

constexpr size_t kBytesPerLine = 16;
// The shell's status for a program ended by SIGINT, kept when the program ends itself cleanly.
constexpr int kInterrupted = 130;
// A script's !insert or !remove on a tty waits this long for a person to move the card.
constexpr double kCardMoveBoundMs = 120'000;

struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    std::string why;  // the status in the words of a layer other than the driver (PC/SC)
    Bytes answer;  // data then SW1 SW2, when the driver answered
    double ms = 0;
    std::vector<std::string> trace;
    ULONG cardState = SCARD_UNKNOWN;  // after the request
    bool answered() const { return NT_SUCCESS(status) && answer.size() >= 2; }
    uint16_t sw() const { return static_cast<uint16_t>(answer[answer.size() - 2] << 8 | answer.back()); }
    std::string StatusText() const { return why.empty() ? kernel::StatusName(status) : why; }
    int followUps = 0;  // GET RESPONSE and re-sent commands that made up the answer
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

    int Run(ULONG protocols, const std::vector<Exchange>& exchanges, const std::string& heading) {
        if (!session_.PortError().empty()) {
            std::fprintf(stderr, "lmscr %s: %s\n", name_, session_.PortError().c_str());
            return 1;
        }
        if (!options_.json && !heading.empty()) std::fprintf(out_, "%s\n", heading.c_str());
        protocols_ = protocols;
        // On a tty a script may begin by waiting for its card: then there is none to reset yet.
        const bool firstWaitsForCard = session_.RealTime() && !exchanges.empty() && exchanges.front().step &&
                                       exchanges.front().step->kind == ScriptStep::Kind::Insert;
        // Ctrl-C stops the run between two commands or steps (or a wait for a card): nothing is
        // cut off on the line, the card is powered down and the summary says how far it got.
        CatchStopSignals();
        const bool ready = SetUp(firstWaitsForCard);
        if (ready)
            for (size_t i = 0; i < exchanges.size(); ++i) {
                const Exchange& e = exchanges[i];
                if (StopRequested()) {
                    Interrupt(e, i);
                    break;
                }
                if (!e.step) {
                    RepowerIfPoweredDown();
                    Send(e);
                } else if (!TakeStep(e)) {
                    break;
                }
            }
        if (StopRequested() && !interrupted_) Interrupt(std::nullopt, exchanges.size());
        const std::string leaks = session_.Finish();
        return Finish(ready, leaks);
    }

private:
    // A cold reset and a protocol: the run's (both: the one the card's ATR names first), or the
    // one asked for.
    struct Activation {
        Step power, select;
        double resetMs = 0;  // when the cold reset was done
        std::string atr;
        ULONG protocol = 0;
        NTSTATUS status = STATUS_SUCCESS;
        std::string statusText;
        std::string error;
        ULONG asked = 0;  // the protocols asked for
    };
    Activation Activate(ULONG protocols) {
        Activation a;
        a.power = session_.Power(SCARD_COLD_RESET);
        a.resetMs = session_.NowMs();
        a.status = a.power.result.status;
        a.statusText = StatusText(a.power);
        if (a.status != STATUS_SUCCESS) {
            a.error = "cold reset: " + a.statusText;
            return a;
        }
        a.atr = HexBytes(a.power.result.output.data(), a.power.result.information);
        // Asked for both, the library would pick T=1; a card is run in the protocol it names first
        // unless one was asked for.
        if (protocols == (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)) {
            const auto& atr = a.power.result.output;
            const ULONG first = FirstOfferedProtocol({atr.begin(), atr.begin() + static_cast<long>(a.power.result.information)});
            if (first & session_.CardReading().Protocol.Supported) protocols = first;
        }
        a.select = session_.SetProtocol(protocols, a.protocol);
        a.status = a.select.result.status;
        a.statusText = StatusText(a.select);
        if (a.status != STATUS_SUCCESS) a.error = "protocol " + ProtocolText(protocols) + ": " + a.statusText;
        a.asked = protocols;
        return a;
    }

    bool SetUp(bool firstWaitsForCard) {
        if (!session_.Start()) {
            std::string why = "the reader did not start";
            for (const auto& line : session_.Failure()) why += "\n            " + line;
            return SetUpFailed(STATUS_UNSUCCESSFUL, why);
        }
        if (firstWaitsForCard && session_.CardState() <= SCARD_ABSENT) {
            if (!options_.json) Say("no card in the slot yet; the script's first step waits for one");
            return true;
        }
        session_.InsertCard();
        setupTrace_ = session_.NewTraceLines();

        const Activation a = Activate(protocols_);
        Append(setupTrace_, session_.NewTraceLines());
        atr_ = a.atr;
        protocol_ = setupProtocol_ = a.protocol;
        if (!a.atr.empty() && !options_.json) {
            char line[64];
            std::snprintf(line, sizeof line, "cold reset after %.3f ms: ATR ", a.power.ms);
            std::fprintf(out_, "%10.3f ms  %s%s\n", a.resetMs, line, atr_.c_str());
        }
        if (a.status != STATUS_SUCCESS) return SetUpFailed(a.status, a.error, a.statusText);
        if (!options_.json) {
            char line[96];
            std::snprintf(line, sizeof line, "protocol %s selected after %.3f ms", ProtocolText(protocol_).c_str(),
                          a.select.ms);
            Say(line);
            Trace(setupTrace_);
        }
        return true;
    }

    // A signal asked the run to stop before `next` (nothing: after the last one): the card is
    // powered down, as an application leaving a card it will not use again does.
    void Interrupt(const std::optional<Exchange>& next, size_t done) {
        interrupted_ = true;
        stopped_ = "stopped by a signal after " + std::to_string(done) + " of the run's lines";
        if (next && next->line) stopped_ += ", before line " + std::to_string(next->line);
        if (session_.CardState() > SCARD_SWALLOWED) {
            const Step down = session_.Power(SCARD_POWER_DOWN);
            stopped_ += down.result.status == STATUS_SUCCESS ? "; the card was powered down"
                                                              : "; powering the card down failed: " + StatusText(down);
        }
    }

    // A card the driver powered down when the last command failed (it was out of step with the
    // reader: a time-out, a protocol error) is cold reset once before the next command, so one bad
    // command does not fail the rest. The line says so.
    void RepowerIfPoweredDown() {
        if (!poweredDown_) return;
        poweredDown_ = false;
        const double at = session_.NowMs();
        const Activation a = Activate(protocol_ ? protocol_ : protocols_);
        const std::vector<std::string> trace = session_.NewTraceLines();
        if (a.status == STATUS_SUCCESS) protocol_ = a.protocol;
        char ms[32];
        std::snprintf(ms, sizeof ms, "%.3f", a.power.ms + a.select.ms);
        const std::string what =
            a.status == STATUS_SUCCESS ? "ATR " + a.atr + ", " + ProtocolText(a.protocol) + " selected after " + ms + " ms"
                                       : a.error;
        if (options_.json) {
            std::ostringstream j;
            j << "{\"status\": \"" << a.statusText << "\"";
            if (!a.atr.empty()) j << ", \"atr\": \"" << a.atr << "\"";
            if (a.status == STATUS_SUCCESS) j << ", \"protocol\": \"" << ProtocolText(a.protocol) << "\"";
            j << ", \"ms\": " << ms << "}";
            repowerJson_ = j.str();
        } else {
            std::fprintf(out_, "%10.3f ms  the driver powered the card down after the failed command; cold reset: %s\n",
                         at, what.c_str());
            Trace(trace);
        }
    }

    // What a step did, for the text line and the JSON object.
    struct StepOutcome {
        double at = 0;
        bool request = false;  // the step sent requests: status and ms tell how they went
        NTSTATUS status = STATUS_SUCCESS;
        std::string statusText;  // empty: the status's name
        double ms = 0;
        bool ok = true;
        std::string result;
        std::vector<std::pair<double, std::string>> power;  // a power change step by step
        std::vector<std::string> trace;
        std::string atr, protocol;  // a reset's
    };

    // A script's step; false when the rest of the script cannot run.
    bool TakeStep(const Exchange& e) {
        const ScriptStep& step = *e.step;
        StepOutcome o;
        o.at = session_.NowMs();
        auto powerChange = [&](SYSTEM_POWER_STATE state, bool critical) {
            const PowerChange c = session_.SetSystemState(state, critical);
            o.request = true;
            o.status = c.status;
            o.ms = c.ms;
            o.ok = c.status == STATUS_SUCCESS;
            o.power = PowerSteps(c);
            o.trace = c.trace;
            // What the driver did to the reader, in short; the card state read on the way is in
            // the card state the line ends with.
            for (const auto& [ms, what] : ReaderWork(c.trace))
                if (what.rfind("card state read", 0) != 0) o.result += what + ", ";
            o.result += "device D" + std::to_string(session_.DeviceState() - 1);
        };
        switch (step.kind) {
        case ScriptStep::Kind::Sleep: {
            static const SYSTEM_POWER_STATE depths[] = {PowerSystemSleeping3, PowerSystemHibernate, PowerSystemShutdown};
            powerChange(depths[static_cast<int>(step.depth)], step.critical);
            break;
        }
        case ScriptStep::Kind::Wake:
            powerChange(PowerSystemWorking, false);
            break;
        case ScriptStep::Kind::Remove:
        case ScriptStep::Kind::Insert: {
            const bool off = !session_.ReaderPowered();
            const std::string name = step.card.empty() ? options_.card : step.card;
            if (session_.RealTime()) {
                // The card in a reader on a tty is moved by hand, or on the input of lmscr reader:
                // the step waits for it through the tracking request an application would park.
                WaitForCardMove(step.kind == ScriptStep::Kind::Insert, o);
            } else if (step.kind == ScriptStep::Kind::Remove) {
                o.ok = session_.RemoveCard();
                o.result = o.ok ? "card out" : "the slot was empty";
            } else {
                o.ok = session_.InsertCard(step.card);
                o.result = o.ok ? "card '" + name + "' in, ATR " + AtrText(name) : "the slot is taken";
            }
            // A reader without power tells nothing; the wake finds out.
            if (o.ok && off) o.result += ", unseen: the reader is off";
            o.trace = session_.NewTraceLines();
            break;
        }
        case ScriptStep::Kind::Reset: {
            const ULONG protocols = step.protocol < 0 ? protocols_ : step.protocol == 0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
            const Activation a = Activate(protocols);
            protocol_ = a.protocol;
            o.request = true;
            o.status = a.status;
            o.statusText = a.statusText;
            o.ms = a.power.ms + a.select.ms;
            o.ok = a.status == STATUS_SUCCESS;
            o.atr = a.atr;
            o.protocol = ProtocolText(a.protocol);
            o.result = o.ok            ? "ATR " + a.atr + ", " + o.protocol + " selected"
                       : a.atr.empty() ? "no answer to reset"
                                       : "ATR " + a.atr + ", " + ProtocolText(a.asked) + " not selected";
            o.trace = session_.NewTraceLines();
            break;
        }
        case ScriptStep::Kind::Wait:
            session_.Wait(step.ms);
            o.trace = session_.NewTraceLines();
            break;
        }
        ++steps_;
        poweredDown_ = false;
        if (!o.ok) {
            ++stepsFailed_;
            failureNotes_.push_back("line " + std::to_string(e.line) + ": " + step.Text() + " failed: " +
                                    (o.request ? StepStatus(o) : o.result));
        }
        if (options_.json) {
            StepJson(e, o);
        } else {
            StepText(e, o);
        }
        // A system that did not wake would hold every request back for ever.
        if (step.kind == ScriptStep::Kind::Wake && session_.Asleep()) {
            stopped_ = "line " + std::to_string(e.line) + ": the system did not wake; the rest of the script is not run";
            return false;
        }
        return true;
    }

    // On a tty: IOCTL_SMARTCARD_IS_PRESENT or IS_ABSENT, for as long as a person may take to move
    // the card; a card already where the step wants it ends the request at once.
    void WaitForCardMove(bool insert, StepOutcome& o) {
        if (!options_.json) Say(insert ? "waiting for a card in the slot" : "waiting for the card to be taken out");
        const std::optional<NTSTATUS> status = session_.WaitForCard(
            insert, [&] { return StopRequested() || session_.NowMs() - o.at >= kCardMoveBoundMs; });
        o.request = true;
        o.ms = session_.NowMs() - o.at;
        if (!status) {
            o.status = STATUS_CANCELLED;
            o.ok = false;
            o.result = StopRequested() ? "stopped by a signal"
                                       : "no card " + std::string(insert ? "inserted" : "taken out") + " within " +
                                             std::to_string(static_cast<int>(kCardMoveBoundMs / 1000)) + " s";
            return;
        }
        o.status = *status;
        o.ok = o.status == STATUS_SUCCESS;
        o.result = !o.ok ? "" : insert ? "a card is in" : "the card is out";
    }

    static std::string StepStatus(const StepOutcome& o) {
        return o.statusText.empty() ? kernel::StatusName(o.status) : o.statusText;
    }

    void StepText(const Exchange& e, const StepOutcome& o) {
        std::string line = "line " + std::to_string(e.line) + "  " + e.step->Text() + ": ";
        if (o.request) {
            char took[48];
            std::snprintf(took, sizeof took, " after %.3f ms", o.ms);
            line += StepStatus(o) + took + (o.result.empty() ? "" : "; " + o.result);
        } else if (!o.result.empty()) {
            line += o.result;
        } else {
            line += "done";
        }
        std::fprintf(out_, "%10.3f ms  %s; card state %s\n", o.at, line.c_str(), CardStateText(session_.CardState()));
        if (options_.trace)
            for (const auto& [ms, what] : o.power) {
                char at[32];
                std::snprintf(at, sizeof at, "%10.3f ms  ", ms);
                Detail(at + what);
            }
        Trace(o.trace);
    }

    void StepJson(const Exchange& e, const StepOutcome& o) {
        std::ostringstream s;
        char ms[32];
        s << (exchangesJson_.empty() ? "" : ",\n") << "    {\"line\": " << e.line << ", \"step\": \""
          << JsonEscaped(e.step->Text()) << "\"";
        std::snprintf(ms, sizeof ms, "%.3f", o.at);
        s << ", \"at_ms\": " << ms;
        if (o.request) {
            std::snprintf(ms, sizeof ms, "%.3f", o.ms);
            s << ", \"status\": \"" << StepStatus(o) << "\", \"ms\": " << ms;
        }
        if (!o.result.empty()) s << ", \"result\": \"" << JsonEscaped(o.result) << "\"";
        if (!o.atr.empty()) s << ", \"atr\": \"" << o.atr << "\"";
        if (!o.protocol.empty()) s << ", \"protocol\": \"" << o.protocol << "\"";
        s << ", \"card_state\": \"" << CardStateText(session_.CardState()) << "\", \"ok\": " << (o.ok ? "true" : "false");
        if (!o.power.empty()) {
            s << ", \"power\": [";
            for (size_t i = 0; i < o.power.size(); ++i) {
                std::snprintf(ms, sizeof ms, "%.3f", o.power[i].first);
                s << (i ? ", " : "") << "{\"at_ms\": " << ms << ", \"event\": \"" << JsonEscaped(o.power[i].second) << "\"}";
            }
            s << "]";
        }
        if (options_.trace) s << ", \"trace\": " << JsonLines(o.trace);
        s << "}";
        exchangesJson_ += s.str();
    }

    bool SetUpFailed(NTSTATUS status, const std::string& what, const std::string& statusText = {}) {
        setupStatus_ = status;
        setupStatusText_ = statusText.empty() ? kernel::StatusName(status) : statusText;
        setupError_ = what;
        if (!options_.json) {
            Say(what);
            Trace(setupTrace_);
        }
        return false;
    }

    // One command through IOCTL_SMARTCARD_TRANSMIT.
    Outcome Transmit(const Bytes& command) {
        const Step step = session_.Transmit(protocol_, command);
        Outcome o;
        o.status = step.result.status;
        o.why = step.why;
        o.ms = step.ms;
        o.trace = session_.NewTraceLines();
        o.cardState = session_.CardState();
        // The answer follows the SCARD_IO_REQUEST header the library puts in front of it.
        const size_t header = sizeof(SCARD_IO_REQUEST);
        if (NT_SUCCESS(o.status) && step.result.information >= header && step.result.information <= step.result.output.size())
            o.answer.assign(step.result.output.begin() + header, step.result.output.begin() + step.result.information);
        return o;
    }

    // --get-response: what opensc-tool does for the user. 61 xx: GET RESPONSE (same class) for
    // xx bytes, its data added to the answer, as long as the card has more; 6C xx: the command
    // again with Le xx. Bounded: a card that keeps asking is shown as it last answered.
    void FollowUp(const Bytes& command, Outcome& o) {
        constexpr int kMaxFollowUps = 64;
        Bytes data;
        while (o.answered() && o.followUps < kMaxFollowUps) {
            const uint8_t sw1 = static_cast<uint8_t>(o.sw() >> 8), sw2 = static_cast<uint8_t>(o.sw());
            Bytes next;
            if (sw1 == 0x61) {
                data.insert(data.end(), o.answer.begin(), o.answer.end() - 2);
                next = {command[0], 0xC0, 0x00, 0x00, sw2};
            } else if (sw1 == 0x6C && command.size() >= 5 && o.followUps == 0) {
                // Le is the last byte of a command with one (case 2: 5 bytes; case 4: 6 + Lc).
                next = command;
                if (command.size() == 5 || command.size() == 6 + static_cast<size_t>(command[4])) {
                    next.back() = sw2;
                } else {
                    next.push_back(sw2);
                }
            } else {
                break;
            }
            Outcome more = Transmit(next);
            more.ms += o.ms;
            more.followUps = o.followUps + 1;
            o.trace.insert(o.trace.end(), more.trace.begin(), more.trace.end());
            more.trace = std::move(o.trace);
            o = std::move(more);
        }
        if (!data.empty() && o.answered()) o.answer.insert(o.answer.begin(), data.begin(), data.end());
    }

    void Send(const Exchange& e) {
        const double at = session_.NowMs();
        const ULONG before = session_.CardState();
        Outcome o = Transmit(e.command);
        if (options_.getResponse) FollowUp(e.command, o);
        // The driver powers a card down when an exchange leaves it out of step with the reader.
        if (!o.answered() && before == SCARD_SPECIFIC && o.cardState > SCARD_ABSENT && o.cardState != SCARD_SPECIFIC)
            poweredDown_ = true;

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
                                                       : "failed " + o.StatusText()));
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
            // A card not reset since it was put in (or re-reported after a sleep) is refused by
            // the library; the card state says why.
            Detail("failed   " + o.StatusText() + " " + took +
                   (NT_SUCCESS(o.status) ? " (an answer without a status word)" : "") +
                   (o.cardState != SCARD_SPECIFIC ? std::string(", card state ") + CardStateText(o.cardState) : ""));
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
                   (data ? std::to_string(data) + " data byte" + (data == 1 ? ", " : "s, ") : std::string()) + took +
                   (o.followUps ? ", " + std::to_string(o.followUps + 1) + " commands with --get-response" : std::string()));
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
          << o.StatusText() << "\"";
        if (o.answered()) {
            s << ", \"answer\": \"" << HexBytes(o.answer.data(), o.answer.size()) << "\", \"data_bytes\": "
              << o.answer.size() - 2 << ", \"sw\": \"" << SwText(o.sw()) << "\", \"meaning\": \""
              << JsonEscaped(StatusWordMeaning(o.sw())) << "\"";
        }
        if (!o.answered() && o.cardState != SCARD_SPECIFIC) s << ", \"card_state\": \"" << CardStateText(o.cardState) << "\"";
        if (options_.getResponse) s << ", \"follow_ups\": " << o.followUps;
        if (!repowerJson_.empty()) s << ", \"reset_before\": " << repowerJson_;
        repowerJson_.clear();
        char ms[32];
        std::snprintf(ms, sizeof ms, "%.3f", o.ms);
        s << ", \"ms\": " << ms;
        if (e.expected) s << ", \"expected\": \"" << e.expected->Text() << "\", \"ok\": " << (ok ? "true" : "false");
        if (options_.trace) s << ", \"trace\": " << JsonLines(o.trace);
        s << "}";
        exchangesJson_ += s.str();
    }

    int Finish(bool ready, const std::string& leaks) {
        const bool ok = ready && failed_ == 0 && mismatches_ == 0 && stepsFailed_ == 0 && stopped_.empty() && leaks.empty();
        if (options_.json) {
            // The card's name is known only for the built-in reader's simulated cards; elsewhere
            // the ATR is all there is to say what it is.
            std::fprintf(out_, "{\n  \"run\": \"%s\",\n", name_);
            if (!options_.port.empty()) {
                std::fprintf(out_, "  \"card\": null,\n  \"port\": \"%s\",\n", JsonEscaped(options_.port).c_str());
            } else if (options_.pcsc) {
                std::fprintf(out_, "  \"card\": null,\n  \"pcsc_reader\": \"%s\",\n", JsonEscaped(options_.pcscReader).c_str());
            } else {
                std::fprintf(out_, "  \"card\": \"%s\",\n  \"seed\": %" PRIu64 ",\n", JsonEscaped(options_.card).c_str(),
                             options_.seed);
            }
            std::fprintf(out_, "  \"atr\": \"%s\",\n  \"protocol\": \"%s\",\n", atr_.c_str(),
                         setupProtocol_ ? ProtocolText(setupProtocol_).c_str() : "none");
            std::fprintf(out_, "  \"setup\": {\"status\": \"%s\"", setupStatusText_.c_str());
            if (!ready) std::fprintf(out_, ", \"error\": \"%s\"", JsonEscaped(setupError_).c_str());
            if (options_.trace) std::fprintf(out_, ", \"trace\": %s", JsonLines(setupTrace_).c_str());
            std::fprintf(out_, "},\n  \"exchanges\": [%s%s%s],\n", exchangesJson_.empty() ? "" : "\n",
                         exchangesJson_.c_str(), exchangesJson_.empty() ? "" : "\n  ");
            std::fprintf(out_,
                         "  \"summary\": {\"commands\": %d, \"answered\": %d, \"failed\": %d, \"steps\": %d, "
                         "\"steps_failed\": %d, \"expectations\": %d, \"mismatches\": %d, \"ok\": %s}",
                         commands_, answered_, failed_, steps_, stepsFailed_, expectations_, mismatches_,
                         ok ? "true" : "false");
            if (!stopped_.empty()) std::fprintf(out_, ",\n  \"stopped\": \"%s\"", JsonEscaped(stopped_).c_str());
            if (!leaks.empty()) std::fprintf(out_, ",\n  \"left_behind\": \"%s\"", JsonEscaped(leaks).c_str());
            std::fprintf(out_, "\n}\n");
            return interrupted_ ? kInterrupted : ok ? 0 : 1;
        }
        if (ready) {
            std::string line = "summary: " + std::to_string(commands_) + " command" + (commands_ == 1 ? "" : "s") +
                               ", " + std::to_string(answered_) + " answered, " + std::to_string(failed_) + " failed";
            if (steps_)
                line += "; " + std::to_string(steps_) + " step" + (steps_ == 1 ? "" : "s") + ", " +
                        std::to_string(stepsFailed_) + " failed";
            if (expectations_)
                line += "; " + std::to_string(expectations_) + " expected answer" + (expectations_ == 1 ? "" : "s") +
                        ", " + std::to_string(mismatches_) + " not met";
            std::fprintf(out_, "%s\n", line.c_str());
            for (const auto& note : mismatchNotes_) std::fprintf(out_, "  %s\n", note.c_str());
            for (const auto& note : failureNotes_) std::fprintf(out_, "  %s\n", note.c_str());
            if (!stopped_.empty()) std::fprintf(out_, "  %s\n", stopped_.c_str());
        }
        if (!leaks.empty()) std::fprintf(out_, "left behind:\n%s", leaks.c_str());
        return interrupted_ ? kInterrupted : ok ? 0 : 1;
    }

    static std::string JsonLines(const std::vector<std::string>& lines) {
        std::string s = "[";
        for (size_t i = 0; i < lines.size(); ++i) s += (i ? ", \"" : "\"") + JsonEscaped(lines[i]) + "\"";
        return s + "]";
    }
    static void Append(std::vector<std::string>& to, const std::vector<std::string>& more) {
        to.insert(to.end(), more.begin(), more.end());
    }

    // Flushed: a person (or a program) on the other end of a pipe may be waiting for the line to
    // move the card.
    void Say(const std::string& text) {
        std::fprintf(out_, "%10.3f ms  %s\n", session_.NowMs(), text.c_str());
        std::fflush(out_);
    }
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
    std::string setupStatusText_ = kernel::StatusName(STATUS_SUCCESS);
    std::string setupError_;
    std::vector<std::string> setupTrace_;
    std::string exchangesJson_;
    std::vector<std::string> mismatchNotes_;
    std::vector<std::string> failureNotes_;  // steps that failed
    std::string stopped_;                     // why the script ended early
    bool interrupted_ = false;                // by a signal: exit status 130
    bool poweredDown_ = false;                // by the driver, after the last command failed
    std::string repowerJson_;                 // the cold reset that follows, for the next command's object
    ULONG protocols_ = 0;                     // the run's, for !reset without one
    ULONG setupProtocol_ = 0;                 // selected at the start; protocol_ is the one now
    int commands_ = 0, answered_ = 0, failed_ = 0, expectations_ = 0, mismatches_ = 0, steps_ = 0, stepsFailed_ = 0;
};

bool KnownCard(const GlobalOptions& options, const char* command) {
    if (!options.port.empty() || options.pcsc || sim::cards::MakeCardProfile(options.card, options.seed)) return true;
    std::fprintf(stderr, "lmscr %s: no card called '%s' (see lmscr cards)\n", command, options.card.c_str());
    return false;
}

}  // namespace

std::string WhereText(const GlobalOptions& options) {
    if (!options.port.empty()) return "the reader on " + options.port + ", real time";
    if (options.pcsc)
        return (options.pcscReader.empty() ? std::string("the first PC/SC reader with a card")
                                           : "the PC/SC reader '" + options.pcscReader + "'") +
               ", real time";
    return "card '" + options.card + "' on the built-in simulated reader, virtual time";
}

int RunExchanges(const GlobalOptions& options, const char* name, ULONG protocols,
                 const std::vector<Exchange>& exchanges, std::FILE* out, size_t maxAnswerLines,
                 const std::string& heading) {
    ExchangeRun run(options, name, maxAnswerLines, out);
    return run.Run(protocols, exchanges, heading);
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
        if (!bytes) {
            std::fprintf(err, "lmscr send: '%s' is no command APDU (%zu to %zu hex bytes)\n", text.c_str(),
                         kMinCommandBytes, kMaxCommandBytes);
            return 2;
        }
        if (const auto problem = CommandApduProblem(*bytes)) {
            std::fprintf(err, "lmscr send: '%s': %s; nothing was sent\n", text.c_str(), problem->c_str());
            return 2;
        }
        exchanges.push_back(Exchange{{}, 0, *bytes, std::nullopt, std::nullopt});
    }
    if (!KnownCard(options, "send")) return 2;
    return RunExchanges(options, "send", protocols, exchanges, out, 0, "lmscr send: " + WhereText(options));
}

namespace {

// Text for a terminal: control bytes and bytes above 0x7E written as \xNN.
std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return out;
}

// A script is a few lines of hex; anything this large is not one, and reading it whole would only
// cost memory before the first line is refused.
constexpr std::uintmax_t kMaxScriptBytes = 1u << 20;

// The script's text, or why it cannot be read: a directory, a device, a file too large or one
// that fails while it is read are said in words, never thrown at the user.
std::optional<std::string> ReadScriptText(const std::string& file, std::string& why) {
    std::string text;
    if (file == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return text;
    }
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (ec) {
        why = ec.message();
        return std::nullopt;
    }
    if (std::filesystem::is_directory(status)) {
        why = "a directory, not a script";
        return std::nullopt;
    }
    if (std::filesystem::is_regular_file(status) && std::filesystem::file_size(file, ec) > kMaxScriptBytes) {
        why = "larger than 1 MiB, not a script";
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        why = std::strerror(errno);
        return std::nullopt;
    }
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        text.append(chunk, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxScriptBytes) {
            why = "larger than 1 MiB, not a script";
            return std::nullopt;
        }
    }
    if (in.bad()) {
        why = "read error";
        return std::nullopt;
    }
    if (text.find('\0') != std::string::npos) {
        why = "a binary file, not a script";
        return std::nullopt;
    }
    return text;
}

}  // namespace

int RunScript(const GlobalOptions& options, ULONG protocols, const std::string& file, std::FILE* out, std::FILE* err) {
    std::string why;
    const std::optional<std::string> read = ReadScriptText(file, why);
    if (!read) {
        std::fprintf(err, "lmscr script: cannot read '%s': %s\n", file.c_str(), why.c_str());
        return 2;
    }
    const std::string& text = *read;
    std::vector<ScriptLine> lines;
    std::vector<ScriptError> errors;
    ParseScript(text, lines, errors, options.port.empty() && !options.pcsc);
    const bool simulated = options.port.empty() && !options.pcsc;
    for (const auto& l : lines)
        if (l.step && l.step->kind == ScriptStep::Kind::Insert && !l.step->card.empty()) {
            if (!simulated)
                errors.push_back({l.number, l.step->Text(), "a card's name is for the built-in simulated reader; here a person puts the card in"});
            else if (!sim::cards::MakeCardProfile(l.step->card, options.seed))
                errors.push_back({l.number, l.step->Text(), "no card called '" + l.step->card + "' (see lmscr cards)"});
        }
    // Through PC/SC the driver (if any) runs in the machine's own kernel, which this program does
    // not put to sleep.
    if (options.pcsc)
        for (const auto& l : lines)
            if (l.step && (l.step->kind == ScriptStep::Kind::Sleep || l.step->kind == ScriptStep::Kind::Wake))
                errors.push_back({l.number, l.step->Text(), "a system sleep or wake is not for a reader behind pcscd"});
    std::stable_sort(errors.begin(), errors.end(), [](const ScriptError& a, const ScriptError& b) { return a.number < b.number; });
    // A script with a typo runs nothing: half a script could leave the card in a state (a PIN
    // try spent, a file written) that its author did not mean.
    // The line is echoed as written, but a terminal is not fed its control bytes, and a file
    // that is mostly errors is the wrong file: the first few say so.
    constexpr size_t kErrorsShown = 10;
    for (size_t i = 0; i < errors.size() && i < kErrorsShown; ++i)
        std::fprintf(err, "%s:%d: %s: %s\n", file == "-" ? "stdin" : file.c_str(), errors[i].number, errors[i].why.c_str(),
                     Printable(errors[i].text).c_str());
    if (errors.size() > kErrorsShown)
        std::fprintf(err, "%s: %zu more lines that cannot run\n", file == "-" ? "stdin" : file.c_str(),
                     errors.size() - kErrorsShown);
    if (!errors.empty()) return 2;
    if (lines.empty()) {
        // As `send` without a command: an empty file is more likely the wrong file than a wish to
        // reset the card and do nothing.
        std::fprintf(err, "lmscr script: '%s' holds no command and no step\n", file.c_str());
        return 2;
    }
    if (!KnownCard(options, "script")) return 2;
    std::vector<Exchange> exchanges;
    for (const auto& l : lines) exchanges.push_back(Exchange{{}, l.number, l.command, l.expected, l.step});
    return RunExchanges(options, "script", protocols, exchanges, out, 0,
                        "lmscr script " + (file == "-" ? std::string("(stdin)") : file) + ": " + WhereText(options));
}

}  // namespace lmscr::tool
