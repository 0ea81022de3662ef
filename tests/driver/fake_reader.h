// A scripted reader on the far end of a simulated line: it answers the command set from a
// register file of its own, and the test can make it send any bytes at all (events, escapes,
// garbage), change a reply, or keep silent.  The receive engine's and the command set's tests
// use it where the full simulated reader would not send what the test needs.
#pragma once

#include "sim/line/simulated_line.h"

#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace lmscr::test {

class FakeReader {
public:
    explicit FakeReader(serial::SimulatedLine& line);

    // Register values the read-register command returns; writes land here too.
    uint8_t reg[64] = {};
    bool silent = false;  // answers nothing
    // The next replies to write-register and send-data commands, instead of 0x90.
    std::deque<uint8_t> replyOverride;

    // Every byte the host sent, in order.
    std::vector<uint8_t> received;
    // Called in the line's thread right after the reply to each send-data command, with the
    // command's card bytes: a test plays the card behind the reader with it.
    std::function<void(const std::vector<uint8_t>&)> onCardData;
    // Called in the line's thread right after the reply to each read-register command.
    std::function<void(uint8_t reg)> onRegisterRead;
    // Sends raw bytes now; only from the line's thread (inside onCardData or a line timer).
    void SendNow(const std::vector<uint8_t>& bytes);
    // Sends raw bytes now (no escaping), from the line's thread.
    void Send(const std::vector<uint8_t>& bytes);

private:
    void OnByte(uint8_t b);
    void Reply(uint8_t value);  // escape-coded

    serial::SimulatedLine& line_;
    std::vector<uint8_t> command_;
    size_t expected_ = 0;
};

}  // namespace lmscr::test
