#include "session.h"

#include "sim/cards/profiles.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace lmscr::tool {

const GUID kReaderClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

namespace {
// The longest answer to a short command: 256 data bytes and SW1 SW2.
constexpr ULONG kMaxAnswerBytes = 256 + 2;
constexpr uint32_t kBothProtocols = pcsc::kProtocolT0 | pcsc::kProtocolT1;

std::vector<uint8_t> UlongInput(ULONG value) {
    std::vector<uint8_t> in(sizeof(value));
    std::memcpy(in.data(), &value, sizeof(value));
    return in;
}

}  // namespace

std::optional<ULONG> GetCardState(kernel::Client& client, kernel::Handle& handle) {
    const kernel::IoResult r = client.IoControl(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
    if (r.status != STATUS_SUCCESS || r.information != sizeof(ULONG)) return std::nullopt;
    ULONG state = 0;
    std::memcpy(&state, r.output.data(), sizeof(state));
    return state;
}

std::optional<ULONG> GetAttribute(kernel::Client& client, kernel::Handle& handle, ULONG id) {
    const kernel::IoResult r = client.IoControl(handle, IOCTL_SMARTCARD_GET_ATTRIBUTE, UlongInput(id), sizeof(ULONG));
    if (r.status != STATUS_SUCCESS || r.information != sizeof(ULONG)) return std::nullopt;
    ULONG value = 0;
    std::memcpy(&value, r.output.data(), sizeof(value));
    return value;
}

ReaderDescription DescribeReader(kernel::Client& client, kernel::Handle& handle) {
    ReaderDescription reader;
    auto attribute = [&](ULONG id, ULONG& value) {
        if (auto v = GetAttribute(client, handle, id)) value = *v;
    };
    attribute(SCARD_ATTR_PROTOCOL_TYPES, reader.protocols);
    attribute(SCARD_ATTR_DEFAULT_CLK, reader.clockKhz);
    attribute(SCARD_ATTR_MAX_CLK, reader.maxClockKhz);
    attribute(SCARD_ATTR_DEFAULT_DATA_RATE, reader.dataRates[0]);
    attribute(SCARD_ATTR_MAX_DATA_RATE, reader.dataRates[1]);
    attribute(SCARD_ATTR_MAX_IFSD, reader.maxIfsd);
    return reader;
}

NTSTATUS PcscStatus(uint32_t code) {
    using pcsc::Meaning;
    switch (pcsc::MeaningOf(code)) {
    case Meaning::Success: return STATUS_SUCCESS;
    case Meaning::NoCard:
    case Meaning::CardRemoved: return STATUS_NO_MEDIA;
    // The library's answer to a command for a card that is not ready for it.
    case Meaning::CardReset:
    case Meaning::CardUnpowered: return STATUS_INVALID_DEVICE_STATE;
    // The driver's answer to a card that sends no ATR in time.
    case Meaning::CardMute: return STATUS_IO_TIMEOUT;
    case Meaning::CardUnsupported: return STATUS_UNRECOGNIZED_MEDIA;
    case Meaning::NoReader:
    case Meaning::NoService: return STATUS_NO_SUCH_DEVICE;
    case Meaning::ReaderGone: return STATUS_DEVICE_REMOVED;
    case Meaning::Timeout: return STATUS_IO_TIMEOUT;
    case Meaning::Cancelled: return STATUS_CANCELLED;
    case Meaning::Sharing: return STATUS_SHARING_VIOLATION;
    // The driver's answer to a protocol the card does not offer.
    case Meaning::ProtocolMismatch: return STATUS_INVALID_DEVICE_REQUEST;
    case Meaning::NotTransacted: return STATUS_IO_DEVICE_ERROR;
    case Meaning::BufferTooSmall: return STATUS_BUFFER_TOO_SMALL;
    case Meaning::BadParameter: return STATUS_INVALID_PARAMETER;
    case Meaning::NoMemory: return STATUS_INSUFFICIENT_RESOURCES;
    case Meaning::NotSupported: return STATUS_NOT_SUPPORTED;
    case Meaning::Other: break;
    }
    return STATUS_UNSUCCESSFUL;
}

// The PC/SC back end: a context, the reader found in it, the connection when there is one, and
// the session's reading of the last ATR.
struct ReaderSession::Pcsc {
    pcsc::Context context;
    pcsc::Card card{context};
    std::string reader;
    pcsc::ReaderState State() {
        pcsc::ReaderState state;
        context.State(reader, state);
        return state;
    }
};

ReaderSession::ReaderSession(const GlobalOptions& options, std::FILE* out) : options_(options), out_(out) {
    LibraryReading(reading_, reader_, {});
    kernel::Options ko;
    ko.seed = options.seed;
    if (!options.port.empty() || options.pcsc) ko.mode = kernel::TimeMode::Real;
    k_ = std::make_unique<kernel::Kernel>(ko);
    if (options.pcsc) {
        // No driver: pcscd's handler for the reader does its work. The kernel only keeps the time.
        pcsc_ = std::make_unique<Pcsc>();
        uint32_t code = 0;
        if (!options.port.empty())
            portError_ = "--port and --pcsc name two readers: give one of them";
        else
            pcsc::FindReader(pcsc_->context, options.pcscReader, pcsc_->reader, portError_, code);
        if (!portError_.empty()) failure_.push_back(portError_);
        return;
    }
    serial_ = serial::LoadSerialDriver(*k_);
    if (options.port.empty()) {
        port_ = serial::CreateSimulatedPort(*k_, serial_, "COM1", serial::LineFormat{}, sim::ReaderConfig{});
    } else {
        std::string error;
        posix_ = serial::CreatePosixPort(*k_, serial_, "COM1", options.port, serial::PortOptions{}, &error);
        if (!posix_) {
            portError_ = "cannot open the port " + error;
            failure_.push_back(portError_);
        }
    }
    driver_ = k_->Pnp().LoadDriver("lmscr", DriverToLoad(options.image, image_));
}

ReaderSession::~ReaderSession() {
    const std::string leaks = Finish();
    if (!leaks.empty()) std::fprintf(out_, "left behind:\n%s", leaks.c_str());
}

void ReaderSession::Fail(const std::string& step, NTSTATUS status) {
    failure_.push_back(step + ": " + kernel::StatusName(status));
    for (const kernel::EventLogEntry& e : k_->EventLog()) {
        char head[96];
        std::snprintf(head, sizeof head, "event 0x%08X at %.3f ms from %s:", e.code, static_cast<double>(e.timeNs) / 1e6,
                      e.object.c_str());
        failure_.push_back(head);
        std::string line;
        for (char c : EventText(e.code)) {
            if (c == '\r') continue;
            if (c != '\n') {
                line += c;
                continue;
            }
            failure_.push_back("  " + line);
            line.clear();
        }
        if (!line.empty()) failure_.push_back("  " + line);
    }
}

bool ReaderSession::Start() {
    if (pcsc_) {
        if (!portError_.empty()) return false;
        // The card is connected to at its first reset: until then pcscd and other applications
        // keep it as they have it.
        if (!pcsc_->State().known) {
            failure_.push_back("pcscd no longer lists '" + pcsc_->reader + "'");
            return false;
        }
        return true;
    }
    PDEVICE_OBJECT pdo = Pdo();
    if (!pdo) return false;  // failure_ has the port's error
    if (!driver_) {
        failure_.push_back("the driver did not load");
        return false;
    }
    NTSTATUS status = k_->Pnp().AddDevice(driver_, pdo);
    if (status != STATUS_SUCCESS) {
        Fail("adding the reader device", status);
        return false;
    }
    status = k_->Pnp().Start(pdo);
    if (status != STATUS_SUCCESS) {
        Fail("starting the reader", status);
        return false;
    }
    status = k_->Clients().OpenDevice(pdo, handle_);
    if (status != STATUS_SUCCESS) {
        Fail("opening the reader", status);
        return false;
    }
    // The reader as the library is told of it, for the readings of the ATRs to come.
    reader_ = DescribeReader(k_->Clients(), handle_);
    CardState();
    return true;
}

bool ReaderSession::InsertCard(const std::string& name) {
    if (!port_) return false;
    auto card = sim::cards::MakeCardProfile(name.empty() ? options_.card : name, options_.seed);
    if (!card) return false;
    bool in = false;
    port_->WithReader([&](sim::ReaderFirmware& reader) { in = reader.InsertCard(std::move(card)); });
    // The reader's insertion event and the driver's reading of the card state.
    k_->Sleep(5);
    return in;
}

bool ReaderSession::RemoveCard() {
    if (!port_) return false;
    bool out = false;
    port_->WithReader([&](sim::ReaderFirmware& reader) { out = reader.RemoveCard() != nullptr; });
    k_->Sleep(5);
    return out;
}

std::shared_ptr<kernel::PendingIo> ReaderSession::Async(ULONG code, const std::vector<uint8_t>& input,
                                                        ULONG outputLength) {
    return k_->Clients().IoControlAsync(handle_, code, input, outputLength);
}

std::optional<NTSTATUS> ReaderSession::WaitForCard(bool present, const std::function<bool()>& giveUp) {
    if (pcsc_) {
        constexpr uint32_t kPcscLookMs = 100;
        const uint32_t code = pcsc_->context.WaitForCard(pcsc_->reader, present, giveUp, kPcscLookMs);
        if (pcsc::MeaningOf(code) == pcsc::Meaning::Cancelled) return std::nullopt;
        // A connection to a card that went (and perhaps came back) is stale: pcscd refuses
        // every call on it.
        if (code == pcsc::kSuccess && pcsc_->card.Connected()) {
            pcsc::CardState state;
            std::vector<uint8_t> atr;
            if (!present || pcsc_->card.Status(state, atr) != pcsc::kSuccess) pcsc_->card.Disconnect(false);
        }
        return PcscStatus(code);
    }
    // How often the wait looks at `giveUp`; a cancelled tracking request ends at once, and the
    // bound only keeps a driver that would not end it from holding the program.
    constexpr uint64_t kLookMs = 50;
    constexpr uint64_t kCancelBoundMs = 5'000;
    auto request = Async(present ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    while (!request->Wait(kLookMs)) {
        if (!giveUp()) continue;
        if (request->Wait(0)) break;
        request->Cancel();
        request->Wait(kCancelBoundMs);
        return std::nullopt;
    }
    return request->Result().status;
}

PowerChange ReaderSession::SetSystemState(SYSTEM_POWER_STATE state, bool critical) {
    kernel::PowerManager& pm = k_->Power();
    const size_t before = pm.History().size();
    PowerChange change;
    // The state the sleep begins from: no request is answered until the wake.
    if (!pcsc_) CardState();
    change.startMs = NowMs();
    change.status = pm.SetSystemState(state, critical);
    change.ms = NowMs() - change.startMs;
    const auto history = pm.History();
    change.irps.assign(history.begin() + static_cast<long>(before), history.end());
    change.trace = NewTraceLines();
    return change;
}

Step ReaderSession::Ioctl(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength) {
    const uint64_t before = k_->NowNs();
    Step step;
    step.result = k_->Clients().IoControl(handle_, code, input, outputLength);
    step.ms = static_cast<double>(k_->NowNs() - before) / 1e6;
    return step;
}

Step ReaderSession::Power(ULONG minor) {
    if (pcsc_) return PcscPower(minor);
    Step step = Ioctl(IOCTL_SMARTCARD_POWER, UlongInput(minor), 64);
    const bool atr = step.result.status == STATUS_SUCCESS && minor != SCARD_POWER_DOWN;
    LibraryReading(reading_, reader_,
                   atr ? std::vector<uint8_t>(step.result.output.begin(),
                                              step.result.output.begin() + static_cast<long>(step.result.information))
                       : std::vector<uint8_t>{});
    return step;
}

std::optional<ULONG> ReaderSession::Attribute(ULONG id) {
    if (pcsc_ || !handle_.IsOpen()) return std::nullopt;
    return GetAttribute(k_->Clients(), handle_, id);
}

std::optional<ReaderSession::ReceiveTimeouts> ReaderSession::PortReceiveTimeouts() {
    PDEVICE_OBJECT port = Pdo();
    if (!port) return std::nullopt;
    // Sent to the port itself, below the driver, and answered at once: the port's settings.
    SERIAL_TIMEOUTS timeouts{};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_GET_TIMEOUTS, port, nullptr, 0, &timeouts, sizeof timeouts,
                                             FALSE, &done, &io);
    if (!irp) return std::nullopt;
    if (IoCallDriver(port, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (io.Status != STATUS_SUCCESS) return std::nullopt;
    return ReceiveTimeouts{timeouts.ReadTotalTimeoutConstant, timeouts.ReadIntervalTimeout};
}

Step ReaderSession::SetProtocol(ULONG protocols, ULONG& selected) {
    if (pcsc_) return PcscSetProtocol(protocols, selected);
    Step step = Ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, UlongInput(protocols), 4);
    selected = 0;
    if (step.result.information >= sizeof(selected)) std::memcpy(&selected, step.result.output.data(), sizeof(selected));
    return step;
}

Step ReaderSession::Transmit(ULONG protocol, const std::vector<uint8_t>& command) {
    // On PC/SC the protocol is the connection's: pcscd knows no other.
    if (pcsc_) return PcscTransmit(command);
    SCARD_IO_REQUEST header{};
    header.dwProtocol = protocol;
    header.cbPciLength = sizeof(SCARD_IO_REQUEST);
    std::vector<uint8_t> in(sizeof(header));
    std::memcpy(in.data(), &header, sizeof(header));
    in.insert(in.end(), command.begin(), command.end());
    return Ioctl(IOCTL_SMARTCARD_TRANSMIT, in, sizeof(SCARD_IO_REQUEST) + kMaxAnswerBytes);
}

std::vector<std::string> ReaderSession::NewTraceLines() {
    if (!port_) return {};
    port_->Trace().Flush();
    const auto& lines = port_->Trace().Lines();
    std::vector<std::string> fresh(lines.begin() + static_cast<long>(traceShown_), lines.end());
    traceShown_ = lines.size();
    return fresh;
}

std::string PowerStateText(const kernel::PowerIrpRecord& irp) {
    // The enumerations count from 1 for S0 and D0.
    if (irp.type == SystemPowerState) return "S" + std::to_string(static_cast<int>(irp.state.SystemState) - 1);
    return "D" + std::to_string(static_cast<int>(irp.state.DeviceState) - 1);
}

namespace {

struct WireLine {
    double ms = 0;
    bool host = false;  // host->reader
    std::string hex, what;
};

// "   531.103 ms host->reader  84 00         write reg 4 (card state) = 0x00: card off"
std::optional<WireLine> ParseWireLine(const std::string& line) {
    WireLine w;
    char* end = nullptr;
    w.ms = std::strtod(line.c_str(), &end);
    size_t at = line.find("host->reader  ");
    w.host = at != std::string::npos;
    if (!w.host) at = line.find("reader->host  ");
    if (end == line.c_str() || at == std::string::npos) return std::nullopt;
    at += 14;
    const size_t gap = line.find("  ", at);
    w.hex = line.substr(at, gap == std::string::npos ? std::string::npos : gap - at);
    if (gap != std::string::npos) w.what = line.substr(line.find_first_not_of(' ', gap));
    return w;
}

}  // namespace

std::vector<std::pair<double, std::string>> ReaderWork(const std::vector<std::string>& traceLines) {
    std::vector<WireLine> wire;
    for (const auto& line : traceLines)
        if (auto w = ParseWireLine(line)) wire.push_back(*w);
    // The next command the host sent after wire[i], if any.
    auto nextCommand = [&](size_t i) -> std::string {
        for (size_t j = i + 1; j < wire.size(); ++j)
            if (wire[j].host) return wire[j].hex;
        return {};
    };
    std::vector<std::pair<double, std::string>> work;
    auto add = [&](double ms, std::string what) {
        if (work.empty() || work.back().second != what) work.emplace_back(ms, std::move(what));
    };
    for (size_t i = 0; i < wire.size(); ++i) {
        const WireLine& w = wire[i];
        if (!w.host) continue;
        // The driver's register tables: shut-down is contacts off then mode 0, initialisation
        // register 8 then the working mode.
        if (w.hex == "84 00") {
            add(w.ms, nextCommand(i) == "82 00" ? "reader registers shut down" : "card powered down");
        } else if (w.hex == "88 00" && nextCommand(i) == "82 4F") {
            add(w.ms, "reader initialised");
        } else if (w.hex == "C4" && i + 1 < wire.size() && !wire[i + 1].host) {
            const std::string& value = wire[i + 1].what;
            const size_t open = value.rfind('(');
            add(w.ms, "card state read: " + (open == std::string::npos ? value
                                                                       : value.substr(open + 1, value.size() - open - 2)));
        } else if (w.what.find("activate card") != std::string::npos) {
            add(w.ms, "card activated");
        }
    }
    return work;
}

std::vector<std::pair<double, std::string>> PowerSteps(const PowerChange& change) {
    struct Event {
        uint64_t ns;
        std::string text;
    };
    std::vector<Event> events;
    auto name = [](const kernel::PowerIrpRecord& irp) {
        return std::string(irp.minor == IRP_MN_QUERY_POWER ? "query-power " : irp.minor == IRP_MN_SET_POWER ? "set-power " : "power ") +
               PowerStateText(irp);
    };
    auto done = [](const kernel::PowerIrpRecord& irp) {
        return irp.completed ? kernel::StatusName(irp.status) : std::string("still pending");
    };
    // A request answered at once is one line; one that took time is a line when sent and
    // another when done, the inner (later sent) ones done first.
    for (const auto& irp : change.irps) {
        const bool atOnce = irp.completed && irp.completedNs == irp.sentNs;
        events.push_back({irp.sentNs, name(irp) + (atOnce ? ": " + done(irp)
                                                          : std::string(irp.requested ? " asked for by the driver" : " sent"))});
    }
    for (const auto& [ms, what] : ReaderWork(change.trace))
        events.push_back({static_cast<uint64_t>(ms * 1e6 + 0.5), what});
    for (auto irp = change.irps.rbegin(); irp != change.irps.rend(); ++irp) {
        if (irp->completed && irp->completedNs == irp->sentNs) continue;
        char took[48];
        std::snprintf(took, sizeof took, " after %.3f ms", static_cast<double>(irp->completedNs - irp->sentNs) / 1e6);
        events.push_back({irp->completed ? irp->completedNs : irp->sentNs, name(*irp) + ": " + done(*irp) + took});
    }
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.ns < b.ns; });
    std::vector<std::pair<double, std::string>> steps;
    for (auto& e : events) steps.emplace_back(static_cast<double>(e.ns) / 1e6, std::move(e.text));
    return steps;
}

const std::string& ReaderSession::PcscReader() const {
    static const std::string none;
    return pcsc_ ? pcsc_->reader : none;
}

std::vector<uint8_t> ReaderSession::InsertedAtr() {
    if (!pcsc_) return {};
    const pcsc::ReaderState state = pcsc_->State();
    return state.mute ? std::vector<uint8_t>{} : state.atr;
}

bool ReaderSession::ReaderAttached() const {
    if (pcsc_) return pcsc_->State().known;
    return !k_->Clients().EnabledInterfaces(kReaderClass).empty();
}

ULONG ReaderSession::CardState() {
    if (!pcsc_) {
        if (!handle_.IsOpen()) return SCARD_UNKNOWN;
        // Held back until the wake; the driver powered the card down on its way to sleep.
        if (Asleep() || DeviceState() > PowerDeviceD0) return std::min<ULONG>(lastState_, SCARD_PRESENT);
        if (const auto state = GetCardState(k_->Clients(), handle_)) lastState_ = *state;
        return lastState_;
    }
    if (pcsc_->card.Connected()) {
        pcsc::CardState state;
        std::vector<uint8_t> atr;
        // pcscd reports a card whose protocol it set as powered and negotiable still; a
        // connection with a protocol is what the driver calls SCARD_SPECIFIC.
        if (pcsc_->card.Status(state, atr) == pcsc::kSuccess)
            return pcsc_->card.Protocol() && state >= pcsc::CardState::Powered ? SCARD_SPECIFIC : static_cast<ULONG>(state);
    }
    const pcsc::ReaderState state = pcsc_->State();
    return !state.known ? SCARD_UNKNOWN : state.present ? SCARD_PRESENT : SCARD_ABSENT;
}

Step ReaderSession::PcscFailed(uint32_t code, double startMs) const {
    Step step;
    step.result.status = PcscStatus(code);
    step.why = pcsc::ErrorName(code);
    step.ms = NowMs() - startMs;
    return step;
}

uint32_t ReaderSession::PcscNoConnection() const {
    const pcsc::ReaderState state = pcsc_->State();
    return !state.known ? pcsc::kReaderUnavailable : !state.present ? pcsc::kNoSmartcard : pcsc::kUnpoweredCard;
}

Step ReaderSession::PcscPower(ULONG minor) {
    const double start = NowMs();
    pcsc::Card& card = pcsc_->card;
    uint32_t code = pcsc::kSuccess;
    // Powering down or resetting wants a connection. SCardConnect powers a card pcscd left
    // unpowered: that is a cold reset already; a card it keeps powered is reset as asked.
    bool connectPowers = false;
    if (!card.Connected()) {
        connectPowers = pcsc_->State().unpowered;
        code = card.Connect(pcsc_->reader, kBothProtocols);
    }
    if (code == pcsc::kSuccess && !(connectPowers && minor == SCARD_COLD_RESET)) {
        code = minor == SCARD_POWER_DOWN ? card.Disconnect(true) : card.Reset(minor == SCARD_COLD_RESET, kBothProtocols);
    }
    if (code != pcsc::kSuccess) {
        const pcsc::Meaning m = pcsc::MeaningOf(code);
        if (m == pcsc::Meaning::CardRemoved || m == pcsc::Meaning::ReaderGone) card.Disconnect(false);
        LibraryReading(reading_, reader_, {});
        return PcscFailed(code, start);
    }
    Step step;
    step.result.status = STATUS_SUCCESS;
    std::vector<uint8_t> atr;
    if (minor != SCARD_POWER_DOWN) {
        pcsc::CardState state;
        code = card.Status(state, atr);
        if (code != pcsc::kSuccess) return PcscFailed(code, start);
    }
    LibraryReading(reading_, reader_, atr);
    step.result.output = atr;
    step.result.information = atr.size();
    step.ms = NowMs() - start;
    return step;
}

Step ReaderSession::PcscSetProtocol(ULONG protocols, ULONG& selected) {
    const double start = NowMs();
    pcsc::Card& card = pcsc_->card;
    selected = 0;
    if (!card.Connected()) return PcscFailed(PcscNoConnection(), start);
    if (!(card.Protocol() & protocols)) {
        const uint32_t code = card.Reset(false, protocols);
        if (code != pcsc::kSuccess) return PcscFailed(code, start);
        std::vector<uint8_t> atr;
        pcsc::CardState state;
        if (card.Status(state, atr) == pcsc::kSuccess) LibraryReading(reading_, reader_, atr);
    }
    selected = card.Protocol();
    Step step;
    step.result.status = STATUS_SUCCESS;
    step.result.output = UlongInput(selected);
    step.result.information = sizeof(selected);
    step.ms = NowMs() - start;
    return step;
}

Step ReaderSession::PcscTransmit(const std::vector<uint8_t>& command) {
    const double start = NowMs();
    pcsc::Card& card = pcsc_->card;
    if (!card.Connected()) return PcscFailed(PcscNoConnection(), start);
    std::vector<uint8_t> answer;
    const uint32_t code = card.Transmit(command, answer);
    if (code != pcsc::kSuccess) {
        const pcsc::Meaning m = pcsc::MeaningOf(code);
        if (m == pcsc::Meaning::CardRemoved || m == pcsc::Meaning::ReaderGone) card.Disconnect(false);
        return PcscFailed(code, start);
    }
    // As the driver answers: the SCARD_IO_REQUEST header, then the card's bytes.
    SCARD_IO_REQUEST header{};
    header.dwProtocol = card.Protocol();
    header.cbPciLength = sizeof(SCARD_IO_REQUEST);
    Step step;
    step.result.status = STATUS_SUCCESS;
    step.result.output.resize(sizeof(header) + answer.size());
    std::memcpy(step.result.output.data(), &header, sizeof(header));
    std::copy(answer.begin(), answer.end(), step.result.output.begin() + sizeof(header));
    step.result.information = step.result.output.size();
    step.ms = NowMs() - start;
    return step;
}

std::string ReaderSession::Finish() {
    if (finished_) return {};
    finished_ = true;
    // The card is left as it is for pcscd and the next application, as any application leaves.
    if (pcsc_) pcsc_->card.Disconnect(false);
    if (handle_.IsOpen()) k_->Clients().Close(handle_);
    if (Pdo() && Pdo()->AttachedDevice) k_->Pnp().Remove(Pdo());
    kernel::LeakReport leaks = driver_ ? k_->Pnp().UnloadDriver(driver_) : kernel::LeakReport{};
    port_.reset();
    posix_.reset();
    kernel::LeakReport rest = k_->Shutdown();
    return leaks.ToString() + rest.ToString();
}

PDRIVER_INITIALIZE DriverToLoad(const std::string& imagePath, std::unique_ptr<DriverImage>& holder) {
    if (imagePath.empty()) return DriverEntry;
    std::string error;
    holder = DriverImage::Load(imagePath, &error);
    if (!holder) {
        std::fprintf(stderr, "lmscr: cannot load the driver image %s\n", error.c_str());
        std::exit(1);
    }
    return holder->Entry();
}

}  // namespace lmscr::tool
