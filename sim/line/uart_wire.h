// One direction of an RS-232 line: a sender's characters as levels in time, and a receiver that
// samples them at its own settings.
//
// A character on the wire, idle level 1, least significant data bit first:
//
//     idle | start | d0 d1 ... d(n-1) | parity | stop (1, 1.5 or 2) | idle or next start
//       1  |   0   |   data bits      | 0 or 1 |        1           |
//
// When both ends use the same format the receiver's clock is taken as locked to the sender's:
// each character arrives intact the moment its stop bit ends. When they differ the receiver is
// a UART of its own: it waits for a falling edge, detects it up to 1/16 bit late (16x
// oversampling; the lateness is drawn from the seed), samples the start bit, the data bits, the
// parity bit and the first stop bit in the middle of its own bit times, and delivers what it
// sampled the moment its own frame ends, with SERIAL_ERROR_FRAMING when the stop bit read 0 and
// SERIAL_ERROR_PARITY when the parity bit disagreed. So a baud or format mismatch garbles
// exactly as it would on a cable, and the same seed garbles the same way.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include "serial.h"
#include "sim/clock.h"

namespace lmscr::serial {

class UartWire {
public:
    using Deliver = std::function<void(uint8_t byte, uint32_t errors)>;
    // Frames kept for the receiver; a sender that runs this far ahead of the receiver loses
    // the oldest (it cannot happen with a paced sender).
    static constexpr size_t kMaxFrames = 4096;

    UartWire(sim::Clock& clock, uint64_t seed, Deliver deliver);
    ~UartWire();
    UartWire(const UartWire&) = delete;
    UartWire& operator=(const UartWire&) = delete;

    void SetReceiverFormat(const LineFormat& format) { receiver_ = format; }
    const LineFormat& ReceiverFormat() const { return receiver_; }

    // The sender starts a character now, or when its previous one has left the wire. Returns
    // the time its stop bit ends.
    uint64_t Send(uint8_t byte, const LineFormat& format);
    // When the sender's last character has left (or now, when the wire is idle).
    uint64_t FreeAtNs() const;
    // Cuts the wire: characters in flight are lost, the receiver starts over.
    void Cut();

    // The level the receiver sees at time t, from the frames still kept (1 = idle/mark).
    int LevelAt(uint64_t t) const;

private:
    struct Frame {
        uint64_t start;
        uint64_t end;
        LineFormat format;
        uint16_t bits;  // bit i = level of bit time i (start, data, parity); stop bits are 1
        uint8_t count;  // bit times before the stop bits
    };
    void OnLockedArrival(uint64_t data);
    void OnReceiveDue();
    void Receive();
    void StartSearch();
    void OnFrameEnd(uint8_t byte);
    uint64_t NextSeed();

    sim::Clock& clock_;
    uint64_t rng_;
    Deliver deliver_;
    LineFormat receiver_;
    std::deque<Frame> frames_;
    uint64_t free_at_ns_ = 0;
    // Receiver state (mismatched formats only).
    bool receiving_ = false;
    uint64_t search_from_ns_ = 0;
    sim::Clock::TimerId receive_timer_ = 0;
    bool receive_timer_set_ = false;
    uint64_t rx_start_ns_ = 0;
    // Timers of characters in flight on the locked (same format) path.
    std::deque<sim::Clock::TimerId> in_flight_;
};

// Parity bit of `data` (its low `bits` bits) for a SERIAL_LINE_CONTROL parity; NO_PARITY gives 0.
int ParityBit(uint8_t data, int bits, uint8_t parity);

}  // namespace lmscr::serial
