#include "card_session.h"

#include "sim/cards/profiles.h"

#include <cstring>

namespace lmscr::test {

CardSession::CardSession(RigOptions options) : rig(options) {}

CardSession::~CardSession() {
    if (handle.IsOpen()) rig.K().Clients().Close(handle);
    rig.Finish();
}

void CardSession::Start(const std::string& card) {
    ASSERT_EQ(rig.StartAndOpen(handle), STATUS_SUCCESS);
    Insert(card);
}

void CardSession::Insert(const std::string& card) {
    auto made = sim::cards::MakeCardProfile(card, 1);
    ASSERT_TRUE(made) << card;
    rig.Port().WithReader([&](sim::ReaderFirmware& reader) { reader.InsertCard(std::move(made)); });
    // The insertion event reaches the driver one escape pair later.
    rig.K().Sleep(5);
    ASSERT_EQ(State(), (ULONG)SCARD_PRESENT);
    rig.TakeWire();
}

kernel::IoResult CardSession::Power(ULONG minor, ULONG outputLength) {
    std::vector<uint8_t> in(4);
    std::memcpy(in.data(), &minor, 4);
    const uint64_t before = rig.K().NowNs();
    auto result = rig.Ioctl(handle, IOCTL_SMARTCARD_POWER, in, outputLength);
    last_ms_ = static_cast<double>(rig.K().NowNs() - before) / 1e6;
    return result;
}

kernel::IoResult CardSession::Select(ULONG protocols, ULONG outputLength) {
    std::vector<uint8_t> in(4);
    std::memcpy(in.data(), &protocols, 4);
    const uint64_t before = rig.K().NowNs();
    auto result = rig.Ioctl(handle, IOCTL_SMARTCARD_SET_PROTOCOL, in, outputLength);
    last_ms_ = static_cast<double>(rig.K().NowNs() - before) / 1e6;
    return result;
}

std::vector<uint8_t> CardSession::Transmit(const std::vector<uint8_t>& apdu, NTSTATUS* status, ULONG answerSize) {
    // SCARD_IO_REQUEST {protocol, 8} in front of the command and of the answer.
    std::vector<uint8_t> in(8);
    const ULONG protocol = Smartcard()->CardCapabilities.Protocol.Selected;
    const ULONG header = 8;
    std::memcpy(in.data(), &protocol, 4);
    std::memcpy(in.data() + 4, &header, 4);
    in.insert(in.end(), apdu.begin(), apdu.end());
    const uint64_t before = rig.K().NowNs();
    auto result = rig.Ioctl(handle, IOCTL_SMARTCARD_TRANSMIT, in, 8 + answerSize);
    last_ms_ = static_cast<double>(rig.K().NowNs() - before) / 1e6;
    if (status) *status = result.status;
    if (result.status != STATUS_SUCCESS || result.information < 8) return {};
    return {result.output.begin() + 8, result.output.begin() + static_cast<long>(result.information)};
}

void CardSession::PowerAndSelect(ULONG protocols) {
    ASSERT_EQ(Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(Select(protocols).status, STATUS_SUCCESS);
}

std::string CardSession::Sent() {
    // Trace lines read "  12.345 ms host->reader  85 80 25 00   write reg 5 ..."; the bytes
    // of each host command are kept, commands separated by '|'.
    static const std::string kHost = "host->reader  ";
    std::string out;
    for (const auto& line : rig.TakeWire()) {
        const size_t at = line.find(kHost);
        if (at == std::string::npos) continue;
        const size_t from = at + kHost.size();
        const size_t to = line.find("  ", from);
        if (!out.empty()) out += '|';
        out += line.substr(from, to == std::string::npos ? std::string::npos : to - from);
    }
    return out;
}

}  // namespace lmscr::test
