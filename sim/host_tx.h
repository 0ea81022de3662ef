// The reader's transmit path to the host: a UART with a one-byte holding register, fed by
// the firmware from two software queues.
//
// A real UART of this class accepts the next byte only when the previous one has left the
// shift register, so the firmware decides byte by byte what goes next. This firmware keeps
// its output as units (one data byte, or an escape pair 0x10 x that must stay together)
// in two queues:
//   - the stream queue: replies, card bytes, the faulty-byte mark and the reader time-out,
//     which must keep their order relative to the card's bytes;
//   - the event queue: card inserted, card removed and reader error, which go "at once":
//     at the next byte boundary, ahead of everything in the stream queue, but never between
//     the two bytes of a unit already started.
// So a card inserted while a reply stream is going out shows up as 0x10 0x85 between two
// bytes (or units) of that stream.
//
// The transmit callback receives each byte at the moment its start bit begins; the line
// delivers it one byte time later. Bytes are handed over no faster than one per byte time,
// so the line's own queue never holds more than the byte in flight. With a byte time of 0
// (a pseudo-terminal, which paces itself) every unit is handed over as soon as it is queued.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include "sim/clock.h"
#include "sim/faults.h"

namespace lmscr::sim {

class HostTransmitter {
public:
    using LineFn = std::function<void(uint8_t)>;
    // Units that may wait in the two queues together; beyond that a unit is dropped and
    // counted (the card line is slower than the host line, so this is never reached by a
    // working conversation).
    static constexpr size_t kMaxQueuedUnits = 4096;

    HostTransmitter(Clock& clock, LineFn line, uint64_t byte_ns, Faults* faults);
    ~HostTransmitter();
    HostTransmitter(const HostTransmitter&) = delete;
    HostTransmitter& operator=(const HostTransmitter&) = delete;

    void SendData(uint8_t b);  // escape-coded: 0x10 goes out as 0x10 0x10
    void SendStreamEvent(uint8_t code);
    void SendUrgentEvent(uint8_t code);

    // Drops everything queued (the byte on the wire still finishes).
    void Clear();

    // When the last queued byte will have left the reader, or now when nothing is queued.
    uint64_t IdleAtNs() const;
    bool Idle() const { return IdleAtNs() <= clock_.NowNs(); }
    // When the line from the reader went (or will go) quiet: the end of the last byte, queued
    // ones included. Unlike IdleAtNs it lies in the past when the line is already quiet.
    uint64_t QuietFromNs() const;

    uint64_t BytesSent() const { return bytes_sent_; }
    uint64_t UnitsDropped() const { return units_dropped_; }

private:
    struct Unit {
        uint8_t bytes[2];
        uint8_t length;
    };
    void Enqueue(std::deque<Unit>& queue, Unit unit);
    void Pump();
    void PumpLocked();
    void OnLineFree();
    void Put(uint8_t b);

    Clock& clock_;
    LineFn line_;
    uint64_t byte_ns_;
    Faults* faults_;
    std::deque<Unit> stream_;
    std::deque<Unit> events_;
    Unit current_{};
    uint8_t current_next_ = 0;  // index of the next byte of current_; == length when done
    uint64_t line_free_at_ns_ = 0;
    Clock::TimerId timer_ = 0;
    bool timer_pending_ = false;
    bool pumping_ = false;  // the line callback may queue more; the running Pump takes it
    uint64_t bytes_sent_ = 0;
    uint64_t units_dropped_ = 0;
};

}  // namespace lmscr::sim
