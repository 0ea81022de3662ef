#include "session.h"

#include "sim/cards/profiles.h"

#include <cstring>

namespace lmscr::tool {

namespace {
// The longest answer to a short command: 256 data bytes and SW1 SW2.
constexpr ULONG kMaxAnswerBytes = 256 + 2;
}  // namespace

ReaderSession::ReaderSession(const GlobalOptions& options, std::FILE* out) : options_(options), out_(out) {
    kernel::Options ko;
    ko.seed = options.seed;
    k_ = std::make_unique<kernel::Kernel>(ko);
    serial_ = serial::LoadSerialDriver(*k_);
    port_ = serial::CreateSimulatedPort(*k_, serial_, "COM1", serial::LineFormat{}, sim::ReaderConfig{});
    driver_ = k_->Pnp().LoadDriver("lmscr", DriverEntry);
}

ReaderSession::~ReaderSession() {
    const std::string leaks = Finish();
    if (!leaks.empty()) std::fprintf(out_, "left behind:\n%s", leaks.c_str());
}

bool ReaderSession::Start() {
    PDEVICE_OBJECT pdo = port_->Device();
    if (!driver_ || k_->Pnp().AddDevice(driver_, pdo) != STATUS_SUCCESS || k_->Pnp().Start(pdo) != STATUS_SUCCESS ||
        k_->Clients().OpenDevice(pdo, handle_) != STATUS_SUCCESS)
        return false;
    ext_ = &static_cast<PDEVICE_EXTENSION>(pdo->AttachedDevice->DeviceExtension)->SmartcardExtension;
    return true;
}

void ReaderSession::InsertCard() {
    port_->WithReader([&](sim::ReaderFirmware& reader) {
        reader.InsertCard(sim::cards::MakeCardProfile(options_.card, options_.seed));
    });
    // The reader's insertion event and the driver's reading of the card state.
    k_->Sleep(5);
}

Step ReaderSession::Ioctl(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength) {
    const uint64_t before = k_->NowNs();
    Step step;
    step.result = k_->Clients().IoControl(handle_, code, input, outputLength);
    step.ms = static_cast<double>(k_->NowNs() - before) / 1e6;
    return step;
}

static std::vector<uint8_t> UlongInput(ULONG value) {
    std::vector<uint8_t> in(sizeof(value));
    std::memcpy(in.data(), &value, sizeof(value));
    return in;
}

Step ReaderSession::Power(ULONG minor) { return Ioctl(IOCTL_SMARTCARD_POWER, UlongInput(minor), 64); }

Step ReaderSession::SetProtocol(ULONG protocols, ULONG& selected) {
    Step step = Ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, UlongInput(protocols), 4);
    selected = 0;
    if (step.result.information >= sizeof(selected)) std::memcpy(&selected, step.result.output.data(), sizeof(selected));
    return step;
}

Step ReaderSession::Transmit(ULONG protocol, const std::vector<uint8_t>& command) {
    SCARD_IO_REQUEST header{};
    header.dwProtocol = protocol;
    header.cbPciLength = sizeof(SCARD_IO_REQUEST);
    std::vector<uint8_t> in(sizeof(header));
    std::memcpy(in.data(), &header, sizeof(header));
    in.insert(in.end(), command.begin(), command.end());
    return Ioctl(IOCTL_SMARTCARD_TRANSMIT, in, sizeof(SCARD_IO_REQUEST) + kMaxAnswerBytes);
}

std::vector<std::string> ReaderSession::NewTraceLines() {
    port_->Trace().Flush();
    const auto& lines = port_->Trace().Lines();
    std::vector<std::string> fresh(lines.begin() + static_cast<long>(traceShown_), lines.end());
    traceShown_ = lines.size();
    return fresh;
}

std::string ReaderSession::Finish() {
    if (finished_) return {};
    finished_ = true;
    if (handle_.IsOpen()) k_->Clients().Close(handle_);
    if (port_->Device()->AttachedDevice) k_->Pnp().Remove(port_->Device());
    kernel::LeakReport leaks = driver_ ? k_->Pnp().UnloadDriver(driver_) : kernel::LeakReport{};
    ext_ = nullptr;
    port_.reset();
    kernel::LeakReport rest = k_->Shutdown();
    return leaks.ToString() + rest.ToString();
}

}  // namespace lmscr::tool
