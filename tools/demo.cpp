// lmscr demo: a whole session with the driver on the built-in simulated reader, a system sleep
// and wake with a card in, and APDUs on two cards, in virtual time.
// The same seed prints the same transcript, byte for byte.
#include "lmscr.h"
#include "session.h"

#include "driver_view.h"
#include "resources.h"
#include "kernel.h"
#include "sim/line/simulated_line.h"
#include "sim/cards/profiles.h"

#include <cinttypes>
#include <cstring>
#include <memory>
#include <sstream>

namespace lmscr::tool {

namespace {

const char* CardStateName(ULONG state) {
    static const char* names[] = {"SCARD_UNKNOWN",  "SCARD_ABSENT",     "SCARD_PRESENT", "SCARD_SWALLOWED",
                                  "SCARD_POWERED",  "SCARD_NEGOTIABLE", "SCARD_SPECIFIC"};
    return state < 7 ? names[state] : "?";
}

class Transcript {
public:
    Transcript(kernel::Kernel& k, std::FILE* out, bool trace) : k_(k), out_(out), trace_(trace) {}

    void Say(const std::string& text) {
        std::fprintf(out_, "%10.3f ms  %s\n", static_cast<double>(k_.NowNs()) / 1e6, text.c_str());
    }
    void Detail(const std::string& text) { std::fprintf(out_, "               %s\n", text.c_str()); }
    // The line trace since the last call, when asked for.
    void Wire(sim::LineTrace& trace) {
        trace.Flush();
        const auto& lines = trace.Lines();
        if (trace_)
            for (size_t i = shown_; i < lines.size(); ++i) std::fprintf(out_, "               | %s\n", lines[i].c_str());
        shown_ = lines.size();
    }
    // The line trace since the last Wire, left for it to show.
    std::vector<std::string> Fresh(sim::LineTrace& trace) const {
        trace.Flush();
        const auto& lines = trace.Lines();
        return {lines.begin() + static_cast<long>(shown_), lines.end()};
    }

private:
    kernel::Kernel& k_;
    std::FILE* out_;
    bool trace_;
    size_t shown_ = 0;
};

std::string Status(NTSTATUS s) { return kernel::StatusName(s); }

ULONG CardState(kernel::Kernel& k, kernel::Handle& h) {
    return GetCardState(k.Clients(), h).value_or(SCARD_UNKNOWN);
}

// The firmware version the reader reported, as the line trace decodes its version register:
// "reg 0 (version) = 0x23 (firmware 2.3)".
std::string FirmwareInTrace(const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        const size_t at = line.find("(firmware ");
        if (at == std::string::npos) continue;
        const size_t from = at + 10, to = line.find(')', from);
        if (to != std::string::npos) return line.substr(from, to - from);
    }
    return "unread";
}

// One ULONG in, as the power and set-protocol requests take it.
kernel::IoResult Request(kernel::Kernel& k, kernel::Handle& h, ULONG code, ULONG value, ULONG outputLength) {
    std::vector<uint8_t> in(sizeof(value));
    std::memcpy(in.data(), &value, sizeof(value));
    return k.Clients().IoControl(h, code, in, outputLength);
}

std::string Took(kernel::Kernel& k, uint64_t since) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms", static_cast<double>(k.NowNs() - since) / 1e6);
    return text;
}

// The card session: the card activated, its answer read, a protocol chosen by PTS, a warm
// reset and the card switched off again, as an application asks for them.
void CardSession(kernel::Kernel& k, Transcript& t, kernel::Handle& h, serial::SimulatedPort& port) {
    const ReaderDescription reader = DescribeReader(k.Clients(), h);
    uint64_t before = k.NowNs();
    auto power = Request(k, h, IOCTL_SMARTCARD_POWER, SCARD_COLD_RESET, 64);
    t.Say("cold reset: " + Status(power.status) + " after " + Took(k, before) + ", answer to reset " +
          HexBytes(power.output.data(), power.information));
    if (power.status == STATUS_SUCCESS) {
        SMARTCARD_EXTENSION reading;
        LibraryReading(reading, reader,
                       {power.output.begin(), power.output.begin() + static_cast<long>(power.information)});
        t.Detail(AtrReading(reading.CardCapabilities, CardState(k, h)));
    }
    t.Wire(port.Trace());

    port.Trace().Flush();
    const size_t from = port.Trace().Lines().size();
    before = k.NowNs();
    auto protocol = Request(k, h, IOCTL_SMARTCARD_SET_PROTOCOL, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, 4);
    ULONG selected = 0;
    if (protocol.information >= sizeof(selected)) std::memcpy(&selected, protocol.output.data(), sizeof(selected));
    t.Say("protocol T=0 or T=1: " + Status(protocol.status) + " after " + Took(k, before) + ", selected " +
          ProtocolText(selected) + ", card state " + CardStateName(CardState(k, h)));
    port.Trace().Flush();
    const auto& lines = port.Trace().Lines();
    for (const auto& p : PtsLines({lines.begin() + static_cast<long>(from), lines.end()})) t.Detail("PTS " + p);
    t.Wire(port.Trace());

    before = k.NowNs();
    power = Request(k, h, IOCTL_SMARTCARD_POWER, SCARD_WARM_RESET, 64);
    t.Say("warm reset: " + Status(power.status) + " after " + Took(k, before) + ", answer to reset " +
          HexBytes(power.output.data(), power.information) + ", card state " + CardStateName(CardState(k, h)));
    t.Wire(port.Trace());

    before = k.NowNs();
    power = Request(k, h, IOCTL_SMARTCARD_POWER, SCARD_POWER_DOWN, 0);
    t.Say("power down: " + Status(power.status) + " after " + Took(k, before) + ", card state " +
          CardStateName(CardState(k, h)));
    t.Wire(port.Trace());
}

}  // namespace

std::string EventText(uint32_t code) {
    for (ULONG i = 0; i < MessageTableEntries; ++i)
        if (MessageTable[i].Code == code) return MessageTable[i].Text;
    return "(the message table has no text for this code)\r\n";
}

std::string AtrText(const std::string& name) {
    for (const auto& p : sim::cards::CardProfiles()) {
        if (p.name != name) continue;
        std::string text;
        for (size_t i = 0; i < p.atr.size(); ++i) {
            char b[4];
            std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", p.atr[i]);
            text += b;
        }
        return text;
    }
    return name.rfind("atr:", 0) == 0 ? name.substr(4) : std::string("?");
}

namespace {

Exchange Apdu(const char* label, const char* hex) { return Exchange{label, 0, *ParseHexBytes(hex), std::nullopt, std::nullopt}; }

// Commands on a T=0 and a T=1 card, each in a reader session of its own. T=0 cannot carry data
// both ways in one command: a SELECT that wants the file's FCP gets 61xx and the FCP comes with
// GET RESPONSE. T=1 carries it at once, and an answer longer than the IFSD (254 after the
// driver's IFS request) comes in chained blocks.
int ApduSessions(const GlobalOptions& options, std::FILE* out) {
    constexpr size_t kDemoAnswerLines = 4;
    const std::vector<Exchange> t0 = {
        Apdu("SELECT MF", "00 A4 00 0C 02 3F 00"),
        Apdu("SELECT DF 7F10 with its FCP (case 4: T=0 sends no Le, the card answers 61xx)",
             "00 A4 00 00 02 7F 10 00"),
        Apdu("GET RESPONSE for the FCP", "00 C0 00 00 09"),
        Apdu("SELECT EF 6F01", "00 A4 00 0C 02 6F 01"),
        Apdu("READ BINARY, 16 bytes", "00 B0 00 00 10"),
        Apdu("SELECT EF 6F09, which the card does not have", "00 A4 00 0C 02 6F 09"),
    };
    const std::vector<Exchange> t1 = {
        Apdu("SELECT MF", "00 A4 00 0C 02 3F 00"),
        Apdu("SELECT DF 7F10 with its FCP (case 4: T=1 carries the answer at once)", "00 A4 00 00 02 7F 10 00"),
        Apdu("SELECT EF 6F01", "00 A4 00 0C 02 6F 01"),
        Apdu("READ BINARY, 16 bytes", "00 B0 00 00 10"),
        Apdu("READ BINARY, 256 bytes: more than the IFSD, the card chains its answer", "00 B0 00 00 00"),
        Apdu("READ BINARY at offset 512, the end of 6F01", "00 B0 02 00 10"),
    };
    std::fprintf(out,
                 "\nAPDUs through IOCTL_SMARTCARD_TRANSMIT, each card in a reader session of its own (kernel, "
                 "reader, driver),\nafter a cold reset and the protocol the card names first:\n");
    int result = 0;
    for (const auto& [card, exchanges] : {std::pair{"t0", &t0}, std::pair{"t1", &t1}}) {
        GlobalOptions session = options;
        session.card = card;
        session.json = false;
        std::fprintf(out, "\ncard '%s' (answer to reset %s)\n", card, AtrText(card).c_str());
        if (RunExchanges(session, "demo", SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, *exchanges, out, kDemoAnswerLines) != 0) result = 1;
    }
    return result;
}

// The reader's life from plug-in to unload, with the card of `options` in and out; the event log.
int ReaderLifecycle(const GlobalOptions& options, std::FILE* out) {
    std::unique_ptr<DriverImage> image;  // --image: outlives the kernel
    kernel::Options ko;
    ko.seed = options.seed;
    kernel::Kernel k(ko);
    Transcript t(k, out, options.trace);
    std::fprintf(out, "lmscr demo: the driver on the built-in simulated reader, virtual time, seed %" PRIu64 "\n\n",
                 options.seed);

    PDRIVER_OBJECT serialDriver = serial::LoadSerialDriver(k);
    auto port = serial::CreateSimulatedPort(k, serialDriver, "COM1", serial::LineFormat{}, sim::ReaderConfig{});
    PDEVICE_OBJECT pdo = port->Device();
    t.Say("serial port driver loaded; port " + serial::SerialPortName(pdo) +
          " found: a simulated line to the reader (firmware 2.3, card slot empty)");

    NTSTATUS status;
    PDRIVER_OBJECT driver = k.Pnp().LoadDriver("lmscr", DriverToLoad(options.image, image), &status);
    t.Say("driver lmscr loaded: DriverEntry " + Status(status));
    if (!driver) return 1;
    kernel::InterfaceWatch watch(k, kReaderClass);

    status = k.Pnp().AddDevice(driver, pdo);
    t.Say("AddDevice for COM1: " + Status(status));
    if (status != STATUS_SUCCESS) return 1;
    t.Detail("reader device in slot " + std::to_string(driver_view::ReaderSlot(pdo)) +
             ", attached above the port, smart card reader interface registered");

    uint64_t before = k.NowNs();
    status = k.Pnp().Start(pdo);
    t.Say("start: " + Status(status) + " after " + std::to_string((k.NowNs() - before) / 1000000) + " ms");
    t.Detail("line set up: 19200 baud, 8 data bits, no parity, 1 stop bit, no flow control; wait armed");
    // No handle is open yet to ask the card state with.
    t.Detail("reader answered: firmware " + FirmwareInTrace(t.Fresh(port->Trace())) +
             ", registers initialised, card state " + CardStateName(driver_view::RecordedCardState(pdo)));
    t.Wire(port->Trace());
    for (auto& n : watch.Drain()) t.Say(std::string(n.arrival ? "interface arrival: " : "interface removal: ") + n.symbolicLink);

    kernel::Handle h;
    status = k.Clients().Open(k.Clients().EnabledInterfaces(kReaderClass).front(), h);
    t.Say("open through the interface: " + Status(status));
    kernel::Handle second;
    t.Say("a second open while the first handle is open: " + Status(k.Clients().Open(
                                                                  k.Clients().EnabledInterfaces(kReaderClass).front(), second)));

    auto version = k.Clients().IoControl(h, kReaderGetVersion, {}, 8);
    t.Say("vendor request (version): " + Status(version.status) + ", " + std::to_string(version.information) + " bytes");
    if (version.status == STATUS_SUCCESS) {
        uint32_t library = version.output[0] | version.output[1] << 8 | version.output[2] << 16 |
                           static_cast<uint32_t>(version.output[3]) << 24;
        char line[128];
        std::snprintf(line, sizeof line, "library 0x%X, driver %u.%u, firmware %u.%u", library, version.output[4],
                      version.output[5], version.output[6], version.output[7]);
        t.Detail(line);
    }
    t.Wire(port->Trace());

    auto present = k.Clients().IoControlAsync(h, IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    k.Sleep(1);
    t.Say(std::string("IS_PRESENT: ") + (present->Done() ? "completed" : "pending, no card in the reader"));
    k.Sleep(250);
    port->WithReader([&](sim::ReaderFirmware& reader) {
        reader.InsertCard(sim::cards::MakeCardProfile(options.card, options.seed));
    });
    t.Say("card '" + options.card + "' inserted (answer to reset " + AtrText(options.card) + ")");
    present->Wait(1000);
    t.Say("IS_PRESENT completed: " + Status(present->Result().status) + ", card state " + CardStateName(CardState(k, h)));
    t.Wire(port->Trace());

    CardSession(k, t, h, *port);

    auto absent = k.Clients().IoControlAsync(h, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    k.Sleep(1);
    t.Say(std::string("IS_ABSENT: ") + (absent->Done() ? "completed" : "pending, the card is in"));
    k.Sleep(400);
    port->WithReader([](sim::ReaderFirmware& reader) { reader.RemoveCard(); });
    t.Say("card removed");
    absent->Wait(1000);
    t.Say("IS_ABSENT completed: " + Status(absent->Result().status) + ", card state " + CardStateName(CardState(k, h)));
    t.Wire(port->Trace());

    auto again = k.Clients().IoControlAsync(h, IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    k.Sleep(1);
    t.Say("IS_PRESENT parked again; the handle is closed with it pending");
    status = k.Clients().Close(h);
    again->Wait(0);
    t.Say("close: " + Status(status) + "; the parked request ended " + Status(again->Result().status));

    // A second port with nothing behind it: the reader does not answer the start.
    auto emptyLine = serial::CreateSimulatedLine(k, serialDriver, "COM2", serial::LineFormat{});
    status = k.Pnp().AddDevice(driver, emptyLine->Device());
    t.Say("port COM2 found, nothing connected to it; AddDevice: " + Status(status));
    before = k.NowNs();
    status = k.Pnp().Start(emptyLine->Device());
    t.Say("start on COM2: " + Status(status) + " after " + std::to_string((k.NowNs() - before) / 1000000) +
          " ms (the reader does not answer; the port is given back)");
    t.Say("removal of COM2's reader: " + Status(k.Pnp().Remove(emptyLine->Device())));

    t.Say("stop query and stop on COM1: " + Status(k.Pnp().StopForRebalance(pdo)));
    t.Wire(port->Trace());
    for (auto& n : watch.Drain()) t.Say(std::string(n.arrival ? "interface arrival: " : "interface removal: ") + n.symbolicLink);
    before = k.NowNs();
    status = k.Pnp().Start(pdo);
    t.Say("restart: " + Status(status) + " after " + std::to_string((k.NowNs() - before) / 1000000) + " ms");
    t.Wire(port->Trace());
    for (auto& n : watch.Drain()) t.Say(std::string(n.arrival ? "interface arrival: " : "interface removal: ") + n.symbolicLink);

    t.Say("removal (query-remove, remove): " + Status(k.Pnp().Remove(pdo)));
    t.Wire(port->Trace());
    for (auto& n : watch.Drain()) t.Say(std::string(n.arrival ? "interface arrival: " : "interface removal: ") + n.symbolicLink);

    kernel::LeakReport leaks = k.Pnp().UnloadDriver(driver);
    t.Say(leaks.empty() ? std::string("driver unloaded: nothing left behind")
                        : "driver unloaded, left behind:\n" + leaks.ToString());

    std::vector<kernel::EventLogEntry> log = k.EventLog();
    emptyLine.reset();
    port.reset();
    kernel::LeakReport rest = k.Shutdown();

    std::fprintf(out, "\nevent log: %zu entr%s\n", log.size(), log.size() == 1 ? "y" : "ies");
    for (auto& e : log) {
        std::fprintf(out, "%10.3f ms  0x%08X  %s\n", static_cast<double>(e.timeNs) / 1e6, e.code, e.object.c_str());
        std::string text = EventText(e.code);
        std::string line;
        for (char c : text) {
            if (c == '\r') continue;
            if (c == '\n') {
                std::fprintf(out, "               %s\n", line.c_str());
                line.clear();
            } else {
                line += c;
            }
        }
    }
    return leaks.empty() && rest.empty() ? 0 : 1;
}

// The reader through a system sleep with a card in: what the driver does on the way down and
// up, a request sent during the sleep waiting for the wake, and the card re-reported.
int SleepAndWake(const GlobalOptions& options, std::FILE* out) {
    GlobalOptions o = options;
    o.json = false;
    ReaderSession s(o, out);
    auto say = [&](double ms, const std::string& text) { std::fprintf(out, "%10.3f ms  %s\n", ms, text.c_str()); };
    auto now = [&](const std::string& text) { say(s.NowMs(), text); };
    auto detail = [&](const std::string& text) { std::fprintf(out, "               %s\n", text.c_str()); };
    auto wire = [&] {
        const auto lines = s.NewTraceLines();
        if (options.trace) PrintTrace(out, lines);
    };
    auto took = [](double ms) {
        char text[32];
        std::snprintf(text, sizeof text, "after %.3f ms", ms);
        return std::string(text);
    };
    const Bytes selectMf = *ParseHexBytes("00 A4 00 0C 02 3F 00");
    // SELECT MF and its answer, or the status of the refusal.
    ULONG protocol = 0;
    auto select = [&](const char* what) {
        const double at = s.NowMs();
        const Step step = s.Transmit(protocol, selectMf);
        const size_t header = sizeof(SCARD_IO_REQUEST);
        if (NT_SUCCESS(step.result.status) && step.result.information >= header)
            say(at, std::string(what) + ": answered " +
                        HexBytes(step.result.output.data() + header, step.result.information - header) + " " +
                        took(step.ms));
        else
            say(at, std::string(what) + ": " + kernel::StatusName(step.result.status) + ", card state " +
                        CardStateText(s.CardState()) +
                        (s.CardState() < SCARD_NEGOTIABLE ? " (the library wants the card reset first)" : ""));
        wire();
        return NT_SUCCESS(step.result.status);
    };
    // A cold reset and the protocol the library chooses.
    auto activate = [&](const std::string& what) {
        const double at = s.NowMs();
        const Step power = s.Power(SCARD_COLD_RESET);
        if (power.result.status != STATUS_SUCCESS) {
            say(at, what + "cold reset: " + kernel::StatusName(power.result.status));
            wire();
            return false;
        }
        const Step chosen = s.SetProtocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, protocol);
        say(at, what + "cold reset " + took(power.ms) + ", protocol " + ProtocolText(protocol) + ": " +
                    kernel::StatusName(chosen.result.status) + " " + took(chosen.ms));
        wire();
        return chosen.result.status == STATUS_SUCCESS;
    };
    auto change = [&](const PowerChange& c) {
        for (const auto& [ms, what] : PowerSteps(c)) say(ms, "  " + what);
    };

    std::fprintf(out, "\nSleep and wake with card '%s' in, in a reader session of its own:\n", o.card.c_str());
    if (!s.Start()) {
        now("the reader did not start");
        return 1;
    }
    s.InsertCard();
    wire();
    if (!activate("card '" + o.card + "' in, ") || !select("SELECT MF")) return 1;

    const double tracking = s.NowMs();
    auto removal = s.Async(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    s.Wait(1);
    say(tracking, std::string("IS_ABSENT sent: ") + (removal->Done() ? "completed" : "pending, the card is in"));

    now("the system goes to sleep (S3):");
    const PowerChange sleep = s.SetSystemState(PowerSystemSleeping3);
    change(sleep);
    detail("device D" + std::to_string(s.DeviceState() - 1) + ", reader " + (s.ReaderPowered() ? "powered" : "off") +
           " with the port, card state " + CardStateText(s.CardState()) + "; device control held back");
    if (options.trace) PrintTrace(out, sleep.trace);

    auto version = s.Async(kReaderGetVersion, {}, 8);
    const double sent = s.NowMs();
    s.Wait(1000);
    say(sent, std::string("vendor request (version) sent during the sleep: ") +
                  (version->Done() ? "completed " + kernel::StatusName(version->Result().status) : "held back"));
    now(std::string("a second later: the version request ") + (version->Done() ? "completed" : "still waits") +
        ", IS_ABSENT " + (removal->Done() ? "completed" : "still pending"));

    now("the system wakes (S0):");
    const PowerChange wake = s.SetSystemState(PowerSystemWorking);
    change(wake);
    if (options.trace) PrintTrace(out, wake.trace);
    version->Wait(100);
    removal->Wait(100);
    now("card state " + std::string(CardStateText(s.CardState())) + ": the card is reported as newly inserted");
    detail("IS_ABSENT completed: " + (removal->Done() ? kernel::StatusName(removal->Result().status) : "no"));
    if (version->Done() && version->Result().information == 8) {
        const auto& v = version->Result().output;
        detail("the held version request completed: " + kernel::StatusName(version->Result().status) + ", firmware " +
               std::to_string(v[6]) + "." + std::to_string(v[7]));
    } else {
        detail("the held version request: " +
               (version->Done() ? kernel::StatusName(version->Result().status) : std::string("still waits")));
    }
    wire();

    const bool refused = !select("SELECT MF before a reset");
    const bool again = activate("") && select("SELECT MF");
    const std::string leaks = s.Finish();
    if (!leaks.empty()) std::fprintf(out, "left behind:\n%s", leaks.c_str());
    const bool ok = sleep.status == STATUS_SUCCESS && wake.status == STATUS_SUCCESS && version->Done() &&
                    removal->Done() && refused && again && leaks.empty();
    return ok ? 0 : 1;
}

}  // namespace

int RunDemo(const GlobalOptions& options, std::FILE* out) {
    if (!sim::cards::MakeCardProfile(options.card, options.seed)) {
        std::fprintf(stderr, "lmscr demo: no card called '%s' (see lmscr cards)\n", options.card.c_str());
        return 2;
    }
    // One kernel at a time: the lifecycle's ends before the card sessions start theirs.
    const int lifecycle = ReaderLifecycle(options, out);
    const int sleep = SleepAndWake(options, out);
    return ApduSessions(options, out) == 0 && lifecycle == 0 && sleep == 0 ? 0 : 1;
}

}  // namespace lmscr::tool
