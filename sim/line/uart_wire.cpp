#include "uart_wire.h"

#include <algorithm>
#include <optional>

namespace lmscr::serial {

namespace {

constexpr uint64_t kNsPerSecond = 1'000'000'000;

// Bit times before the stop bits: start, data, parity.
uint8_t LeadingBits(const LineFormat& f) { return static_cast<uint8_t>(1 + f.dataBits + (f.parity != NO_PARITY)); }

// Start of bit time i of a frame that starts at `start`.
uint64_t BitStart(uint64_t start, uint64_t i, uint32_t baud) { return start + i * kNsPerSecond / baud; }

}  // namespace

int ParityBit(uint8_t data, int bits, uint8_t parity) {
    const int ones = __builtin_popcount(static_cast<unsigned>(data) & ((1u << bits) - 1));
    switch (parity) {
    case ODD_PARITY: return (ones % 2 == 0) ? 1 : 0;
    case EVEN_PARITY: return ones % 2;
    case MARK_PARITY: return 1;
    case SPACE_PARITY: return 0;
    default: return 0;
    }
}

UartWire::UartWire(sim::Clock& clock, uint64_t seed, Deliver deliver)
    : clock_(clock), rng_(seed), deliver_(std::move(deliver)) {}

UartWire::~UartWire() {
    for (auto id : in_flight_) clock_.Cancel(id);
    if (receive_timer_set_) clock_.Cancel(receive_timer_);
}

uint64_t UartWire::NextSeed() {
    uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t UartWire::FreeAtNs() const { return std::max(free_at_ns_, clock_.NowNs()); }

uint64_t UartWire::Send(uint8_t byte, const LineFormat& format) {
    const uint64_t now = clock_.NowNs();
    const uint64_t start = std::max(now, free_at_ns_);
    const uint64_t end = start + FrameNs(format);
    free_at_ns_ = end;
    const uint8_t data = static_cast<uint8_t>(byte & ((1u << format.dataBits) - 1));
    if (format == receiver_ && !receiving_ && frames_.empty()) {
        // Locked clocks: the character arrives as sent when its stop bit ends.
        search_from_ns_ = end;
        in_flight_.push_back(clock_.AfterCall(end - now, sim::CallOf<&UartWire::OnLockedArrival>(this, data)));
        return end;
    }
    Frame frame{start, end, format, 0, LeadingBits(format)};
    // Bit 0 (start) is 0; data least significant first; then parity.
    for (int i = 0; i < format.dataBits; ++i)
        if (data & (1u << i)) frame.bits |= static_cast<uint16_t>(1u << (1 + i));
    if (format.parity != NO_PARITY && ParityBit(data, format.dataBits, format.parity))
        frame.bits |= static_cast<uint16_t>(1u << (1 + format.dataBits));
    if (frames_.size() >= kMaxFrames) frames_.pop_front();
    frames_.push_back(frame);
    if (!receiving_) StartSearch();
    return end;
}

int UartWire::LevelAt(uint64_t t) const {
    for (const Frame& f : frames_) {
        if (t < f.start) break;
        if (t >= f.end) continue;
        const uint64_t i = (t - f.start) * f.format.baud / kNsPerSecond;
        if (i < f.count) return (f.bits >> i) & 1;
        return 1;
    }
    return 1;
}

void UartWire::StartSearch() {
    // The first falling edge at or after search_from_ns_: a start bit, or (with mismatched
    // clocks) a 1-to-0 step inside a character that the receiver takes for one.
    std::optional<uint64_t> edge;
    for (const Frame& f : frames_) {
        if (f.end <= search_from_ns_) continue;
        int previous = 1;  // idle or the previous character's stop bit
        for (uint64_t i = 0; i < f.count && !edge; ++i) {
            const int level = (f.bits >> i) & 1;
            const uint64_t t = BitStart(f.start, i, f.format.baud);
            if (previous == 1 && level == 0 && t >= search_from_ns_) edge = t;
            previous = level;
        }
        if (edge) break;
    }
    if (!edge) {
        receiving_ = false;
        return;
    }
    receiving_ = true;
    const uint64_t bitNs = kNsPerSecond / receiver_.baud;
    rx_start_ns_ = *edge + NextSeed() % (bitNs / 16 + 1);
    const uint64_t due = rx_start_ns_ + FrameNs(receiver_);
    const uint64_t now = clock_.NowNs();
    receive_timer_set_ = true;
    receive_timer_ = clock_.AfterCall(due > now ? due - now : 0, sim::CallOf<&UartWire::OnReceiveDue>(this));
}

void UartWire::OnLockedArrival(uint64_t data) {
    in_flight_.pop_front();
    deliver_(static_cast<uint8_t>(data), 0);
}

void UartWire::OnReceiveDue() {
    receive_timer_set_ = false;
    Receive();
}

void UartWire::Receive() {
    const LineFormat& f = receiver_;
    auto sampleAt = [&](uint64_t i) { return rx_start_ns_ + (2 * i + 1) * kNsPerSecond / (2ull * f.baud); };
    const uint64_t startSample = sampleAt(0);
    if (LevelAt(startSample) != 0) {
        // A glitch, not a start bit: look again from here.
        search_from_ns_ = startSample;
        receiving_ = false;
        StartSearch();
        return;
    }
    uint8_t data = 0;
    for (int i = 0; i < f.dataBits; ++i)
        if (LevelAt(sampleAt(1 + i))) data |= static_cast<uint8_t>(1u << i);
    uint32_t errors = 0;
    uint64_t next = 1 + f.dataBits;
    if (f.parity != NO_PARITY) {
        if (LevelAt(sampleAt(next)) != ParityBit(data, f.dataBits, f.parity)) errors |= SERIAL_ERROR_PARITY;
        ++next;
    }
    const uint64_t stopSample = sampleAt(next);
    if (LevelAt(stopSample) != 1) errors |= SERIAL_ERROR_FRAMING;
    search_from_ns_ = stopSample;
    while (!frames_.empty() && frames_.front().end <= search_from_ns_) frames_.pop_front();
    receiving_ = false;
    StartSearch();
    deliver_(data, errors);
}

void UartWire::Cut() {
    for (auto id : in_flight_) clock_.Cancel(id);
    in_flight_.clear();
    if (receive_timer_set_) clock_.Cancel(receive_timer_);
    receive_timer_set_ = false;
    frames_.clear();
    receiving_ = false;
    search_from_ns_ = clock_.NowNs();
    free_at_ns_ = clock_.NowNs();
}

}  // namespace lmscr::serial
