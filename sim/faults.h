// Fault injection for the simulated reader: one options record with a seed.
//
// Every fault the reader can inject is drawn from here, each kind from its own stream
// derived from the seed, so that switching one kind on does not move the draws of the
// others: the same options and the same conversation give the same run, byte for byte.
// Rates are in parts per million of the events they apply to (0 = never, 1'000'000 = always).
#pragma once

#include <cstdint>

namespace lmscr::sim {

struct FaultOptions {
    uint64_t seed = 0;

    // Host line, per byte. A byte from the host that the reader's UART loses or receives with
    // one bit flipped; a byte from the reader that the line loses (its time still passes)
    // or delivers with one bit flipped.
    uint32_t host_rx_drop_ppm = 0;
    uint32_t host_rx_corrupt_ppm = 0;
    uint32_t host_tx_drop_ppm = 0;
    uint32_t host_tx_corrupt_ppm = 0;

    // Card line, per card character. A card byte received with a parity error is reported
    // as 0x10 0x88 in its place. A pull removes the card at the leading edge of a character
    // (either direction), as a hand pulling it mid-command would.
    uint32_t card_parity_error_ppm = 0;
    uint32_t card_pull_ppm = 0;
    // A pull at one chosen instant: the leading edge of the Nth character on the card line
    // (either direction, counted from 1 since the reader was made); 0 = never. A test sweeps N
    // to pull a card at every character of a reset or an exchange.
    uint64_t card_pull_at_char = 0;
    uint64_t reinsert_after_ns = 0;  // a pulled card comes back after this long; 0 = stays out

    // Reader, per command. A reader error answers a command with 0x10 0x84 instead of
    // executing it. A mute reader stops answering for good (ignores the host, sends nothing).
    uint32_t reader_error_ppm = 0;
    uint32_t mute_ppm = 0;
    uint32_t mute_after_commands = 0;  // mute once this many commands were taken; 0 = never
};

enum class FaultKind : uint8_t {
    HostRxDrop,
    HostRxCorrupt,
    HostTxDrop,
    HostTxCorrupt,
    CardParity,
    CardPull,
    ReaderError,
    Mute,
    Count,
};

// splitmix64: tiny, portable, and the same sequence on every compiler (unlike the standard
// library's distributions).
class SplitMix64 {
public:
    explicit SplitMix64(uint64_t seed = 0) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

private:
    uint64_t state_;
};

class Faults {
public:
    explicit Faults(const FaultOptions& options);

    const FaultOptions& Options() const { return options_; }

    // True with probability ppm / 1e6. Draws from the kind's stream only when ppm is neither
    // 0 nor certain, so a fault switched off consumes nothing.
    bool Roll(FaultKind kind, uint32_t ppm) {
        if (ppm == 0) return false;
        if (ppm >= 1'000'000) return true;
        return streams_[static_cast<unsigned>(kind)].Next() % 1'000'000 < ppm;
    }

    // `b` with one bit flipped, the bit drawn from the kind's stream.
    uint8_t FlipOneBit(FaultKind kind, uint8_t b);

private:
    FaultOptions options_;
    SplitMix64 streams_[static_cast<unsigned>(FaultKind::Count)];
};

}  // namespace lmscr::sim
