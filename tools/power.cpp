// lmscr power: one card's activation and protocol selection on the built-in simulated reader,
// in virtual time, through the class library's requests as an application sends them; and the
// pieces of it that the demo's card session shares.
#include "lmscr.h"

#include "driver.h"
#include "kernel.h"
#include "serial.h"
#include "sim/cards/profiles.h"

#include <cstring>
#include <memory>
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

struct Step {
    kernel::IoResult result;
    double ms = 0;
};

class PowerRun {
public:
    PowerRun(const GlobalOptions& options, std::FILE* out) : options_(options), out_(out) {
        kernel::Options ko;
        ko.seed = options.seed;
        k_ = std::make_unique<kernel::Kernel>(ko);
        serial_ = serial::LoadSerialDriver(*k_);
        port_ = serial::CreateSimulatedPort(*k_, serial_, "COM1", serial::LineFormat{}, sim::ReaderConfig{});
        driver_ = k_->Pnp().LoadDriver("lmscr", DriverEntry);
    }

    int Run(bool warm, ULONG protocols) {
        PDEVICE_OBJECT pdo = port_->Device();
        if (!driver_ || k_->Pnp().AddDevice(driver_, pdo) != STATUS_SUCCESS || k_->Pnp().Start(pdo) != STATUS_SUCCESS ||
            k_->Clients().OpenDevice(pdo, handle_) != STATUS_SUCCESS) {
            std::fprintf(out_, "the reader did not start\n");
            return 1;
        }
        ext_ = &static_cast<PDEVICE_EXTENSION>(pdo->AttachedDevice->DeviceExtension)->SmartcardExtension;
        port_->WithReader([&](sim::ReaderFirmware& reader) {
            reader.InsertCard(sim::cards::MakeCardProfile(options_.card, options_.seed));
        });
        k_->Sleep(5);
        Say("card '" + options_.card + "' inserted: " + CardStateText(ext_->ReaderCapabilities.CurrentState));
        Wire();

        bool ok = Reset(SCARD_COLD_RESET, "cold reset");
        if (ok && warm) ok = Reset(SCARD_WARM_RESET, "warm reset");
        if (ok) ok = Select(protocols);
        return ok ? 0 : 1;
    }

    ~PowerRun() {
        if (handle_.IsOpen()) k_->Clients().Close(handle_);
        if (port_->Device()->AttachedDevice) k_->Pnp().Remove(port_->Device());
        kernel::LeakReport leaks = driver_ ? k_->Pnp().UnloadDriver(driver_) : kernel::LeakReport{};
        port_.reset();
        kernel::LeakReport rest = k_->Shutdown();
        if (!leaks.empty() || !rest.empty())
            std::fprintf(out_, "left behind:\n%s%s", leaks.ToString().c_str(), rest.ToString().c_str());
    }

private:
    Step Ioctl(ULONG code, ULONG input, ULONG outputLength) {
        std::vector<uint8_t> in(sizeof(input));
        std::memcpy(in.data(), &input, sizeof(input));
        const uint64_t before = k_->NowNs();
        Step step;
        step.result = k_->Clients().IoControl(handle_, code, in, outputLength);
        step.ms = static_cast<double>(k_->NowNs() - before) / 1e6;
        return step;
    }

    bool Reset(ULONG minor, const char* what) {
        const Step step = Ioctl(IOCTL_SMARTCARD_POWER, minor, 64);
        char line[160];
        std::snprintf(line, sizeof line, "%s: %s after %.3f ms", what, Status(step.result.status).c_str(), step.ms);
        Say(line);
        const auto& caps = ext_->CardCapabilities;
        if (step.result.status == STATUS_SUCCESS) {
            Detail("ATR  " + HexBytes(step.result.output.data(), step.result.information) + " (" +
                   std::to_string(step.result.information) + " bytes)");
            Detail("the library: " + AtrReading(caps, ext_->ReaderCapabilities.CurrentState));
            Detail("receive time-outs: TotalTimeout " + std::to_string(ext_->ReaderExtension->TotalTimeout) +
                   " ms, CharTimeout " + std::to_string(ext_->ReaderExtension->CharTimeout) + " ms");
        }
        Wire();
        return step.result.status == STATUS_SUCCESS;
    }

    bool Select(ULONG protocols) {
        const Step step = Ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, protocols, 4);
        ULONG selected = 0;
        if (step.result.information >= 4) std::memcpy(&selected, step.result.output.data(), 4);
        char line[200];
        std::snprintf(line, sizeof line, "protocol %s requested: %s after %.3f ms, selected %s, card state %s",
                      ProtocolText(protocols).c_str(), Status(step.result.status).c_str(), step.ms,
                      ProtocolText(selected).c_str(), CardStateText(ext_->ReaderCapabilities.CurrentState));
        Say(line);
        port_->Trace().Flush();
        const auto& lines = port_->Trace().Lines();
        const std::vector<std::string> stepLines(lines.begin() + static_cast<long>(shown_), lines.end());
        const auto pts = PtsLines(stepLines);
        if (pts.empty()) Detail("no PTS exchange");
        for (const auto& p : pts) Detail("PTS " + p);
        if (step.result.status == STATUS_SUCCESS) {
            CARD_TIMING t;
            ComputeCardTiming(ext_, &t);
            char timing[200];
            std::snprintf(timing, sizeof timing,
                          "reader timing: Fl %u Dl %u, mode %u, guard %u etu, character %u etu, block %u etu; "
                          "TotalTimeout %u ms, CharTimeout %u ms",
                          ext_->CardCapabilities.Fl, ext_->CardCapabilities.Dl, t.ProtocolMode, t.GuardTimeEtu,
                          t.CharTimeoutEtu, t.BlockTimeoutEtu, ext_->ReaderExtension->TotalTimeout,
                          ext_->ReaderExtension->CharTimeout);
            Detail(timing);
        }
        Wire();
        return step.result.status == STATUS_SUCCESS;
    }

    void Say(const std::string& text) {
        std::fprintf(out_, "%10.3f ms  %s\n", static_cast<double>(k_->NowNs()) / 1e6, text.c_str());
    }
    void Detail(const std::string& text) { std::fprintf(out_, "               %s\n", text.c_str()); }
    void Wire() {
        port_->Trace().Flush();
        const auto& lines = port_->Trace().Lines();
        if (options_.trace)
            for (size_t i = shown_; i < lines.size(); ++i) std::fprintf(out_, "               | %s\n", lines[i].c_str());
        shown_ = lines.size();
    }

    GlobalOptions options_;
    std::FILE* out_;
    std::unique_ptr<kernel::Kernel> k_;
    PDRIVER_OBJECT serial_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<serial::SimulatedPort> port_;
    kernel::Handle handle_;
    PSMARTCARD_EXTENSION ext_ = nullptr;
    size_t shown_ = 0;
};

}  // namespace

int RunPower(const GlobalOptions& options, bool warm, ULONG protocols, std::FILE* out) {
    if (!sim::cards::MakeCardProfile(options.card, options.seed)) {
        std::fprintf(stderr, "lmscr power: no card called '%s' (see lmscr cards)\n", options.card.c_str());
        return 2;
    }
    std::fprintf(out, "lmscr power: card '%s' on the built-in simulated reader, virtual time\n", options.card.c_str());
    PowerRun run(options, out);
    return run.Run(warm, protocols);
}

}  // namespace lmscr::tool
