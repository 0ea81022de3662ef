// A reader on a test line: the host's bytes reach the firmware paced at the line's byte
// time, the firmware's bytes are captured with the time their start bit begins, and both
// directions are recorded in a line trace at the time each byte is complete.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/line_trace.h"
#include "sim/reader.h"
#include "tests/sim/manual_clock.h"

namespace lmscr::sim::testing {

struct TxByte {
    uint64_t start_ns;
    uint8_t b;
};

class ReaderBench {
public:
    explicit ReaderBench(ReaderConfig config = {}) {
        reader = std::make_unique<ReaderFirmware>(
            clock,
            [this](uint8_t b) {
                out.push_back({clock.NowNs(), b});
                const uint64_t byte_ns = reader->HostByteNs();
                clock.After(byte_ns, [this, b] { trace.Record(clock.NowNs(), Direction::ReaderToHost, b); });
            },
            config);
        byte_ns = reader->HostByteNs();
    }

    // The host writes `bytes`; each arrives one byte time after the previous one.
    // Returns the time the last one arrives.
    uint64_t HostWrite(const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) {
            const uint64_t start = std::max(clock.NowNs(), host_free_at_ns);
            host_free_at_ns = start + byte_ns;
            clock.After(host_free_at_ns - clock.NowNs(), [this, b] {
                trace.Record(clock.NowNs(), Direction::HostToReader, b);
                reader->OnHostByte(b);
            });
        }
        return host_free_at_ns;
    }

    // Bytes from the reader since the last call.
    std::vector<uint8_t> Take() {
        std::vector<uint8_t> bytes;
        for (size_t i = taken_; i < out.size(); ++i) bytes.push_back(out[i].b);
        taken_ = out.size();
        return bytes;
    }

    // The host writes a command and the test runs until the line has been quiet for a while.
    std::vector<uint8_t> Command(const std::vector<uint8_t>& bytes, uint64_t settle_ns = 50'000'000) {
        HostWrite(bytes);
        clock.RunFor(settle_ns);
        return Take();
    }

    void Run(uint64_t ns) { clock.RunFor(ns); }

    ManualClock clock;
    LineTrace trace;
    std::vector<TxByte> out;
    std::unique_ptr<ReaderFirmware> reader;
    uint64_t byte_ns = 0;
    uint64_t host_free_at_ns = 0;

private:
    size_t taken_ = 0;
};

}  // namespace lmscr::sim::testing
