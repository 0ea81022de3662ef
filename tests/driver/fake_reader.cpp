#include "fake_reader.h"

namespace lmscr::test {

FakeReader::FakeReader(serial::SimulatedLine& line) : line_(line) {
    reg[0] = 0x23;
    line_.SetPeerReceive([this](uint8_t b, uint32_t) { OnByte(b); });
}

void FakeReader::Send(const std::vector<uint8_t>& bytes) {
    line_.RunOnLine([&] {
        for (uint8_t b : bytes) line_.PeerSend(b);
    });
}

void FakeReader::SendNow(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) line_.PeerSend(b);
}

void FakeReader::Reply(uint8_t value) {
    if (value == 0x10) line_.PeerSend(0x10);
    line_.PeerSend(value);
}

void FakeReader::OnByte(uint8_t b) {
    received.push_back(b);
    if (command_.empty()) {
        if ((b & 0xC0) == 0xC0) {  // read register
            if (!silent) Reply(reg[b & 0x3F]);
            if (!silent && onRegisterRead) onRegisterRead(b & 0x3F);
            return;
        }
        command_.push_back(b);
        if ((b & 0xC0) == 0x80) {
            const uint8_t r = b & 0x3F;
            expected_ = 1 + ((r == 5 || r == 6) ? 3 : 1);
        } else {
            expected_ = 1 + (b & 0x3F);
        }
    } else {
        command_.push_back(b);
    }
    if (command_.size() < expected_) return;
    const uint8_t head = command_[0];
    if ((head & 0xC0) == 0x80) reg[head & 0x3F] = command_[1];
    const std::vector<uint8_t> cardBytes(command_.begin() + 1, command_.end());
    command_.clear();
    if (silent) return;
    uint8_t reply = 0x90;
    if (!replyOverride.empty()) {
        reply = replyOverride.front();
        replyOverride.pop_front();
    }
    Reply(reply);
    if ((head & 0xC0) == 0x40 && reply == 0x90 && onCardData) onCardData(cardBytes);
}

}  // namespace lmscr::test
