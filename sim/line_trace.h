// A decoded trace of the host line: every byte with its time and direction, grouped into
// logical units with one readable line each:
//
//       12.345 ms host->reader  85 80 25 00   write reg 5 (char timeout) = 9600
//       12.870 ms reader->host  90            reply 0x90 done
//       13.001 ms reader->host  10 85         event card inserted
//
// Units: a host command (complete by its length, see sim/wire.h); the reply to it (the
// first data byte from the reader after a command, decoded by what the command was); an
// escaped event; a run of card data bytes, which ends at anything else, at a gap longer than
// card_run_gap_ns, or at 16 bytes. The text depends only on the bytes and times recorded.
//
// The times are whatever the caller records; the serial line adapter records the moment a
// byte is complete at its receiver (the end of its stop bit).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace lmscr::sim {

enum class Direction : uint8_t { HostToReader, ReaderToHost };

struct LineTraceOptions {
    uint64_t card_run_gap_ns = 5'000'000;
    // A host command whose next byte comes later than this is shown as incomplete (the
    // reader drops it after the same gap).
    uint64_t command_gap_ns = 20'000'000;
    size_t max_lines = 1'000'000;  // lines kept in memory when there is no sink
};

class LineTrace {
public:
    using Sink = std::function<void(const std::string&)>;
    static constexpr size_t kCardRunBytes = 16;

    // With a sink, every line goes there as soon as it is complete and nothing is kept.
    explicit LineTrace(Sink sink = nullptr, LineTraceOptions options = {});

    void Record(uint64_t time_ns, Direction dir, uint8_t byte);
    // Ends the open units (a card data run, a partial command, a lone escape byte).
    void Flush();

    const std::vector<std::string>& Lines() const { return lines_; }
    std::string Text() const;  // all kept lines, each ending in '\n'
    uint64_t BytesRecorded() const { return bytes_recorded_; }

private:
    enum class Awaiting : uint8_t { Nothing, WriteReply, ReadValue, SendReply };

    void Emit(uint64_t time_ns, Direction dir, const std::vector<uint8_t>& wire_bytes,
              const std::string& what);
    void OnHostByte(uint64_t time_ns, uint8_t b);
    void OnReaderData(uint64_t time_ns, uint8_t value, const std::vector<uint8_t>& wire_bytes);
    void OnReaderEvent(uint64_t time_ns, uint8_t code);
    void FlushCommand(const char* what);
    void FlushCardRun();
    std::string DescribeCommand() const;
    std::string DescribeReply(uint8_t b) const;

    Sink sink_;
    LineTraceOptions options_;
    std::vector<std::string> lines_;
    uint64_t bytes_recorded_ = 0;

    std::vector<uint8_t> command_;
    uint64_t command_time_ns_ = 0;
    uint64_t command_last_ns_ = 0;
    Awaiting awaiting_ = Awaiting::Nothing;
    uint8_t awaiting_reg_ = 0;

    bool escape_pending_ = false;
    uint64_t escape_time_ns_ = 0;
    std::vector<uint8_t> run_wire_;
    std::vector<uint8_t> run_values_;
    uint64_t run_time_ns_ = 0;
    uint64_t run_last_ns_ = 0;
};

}  // namespace lmscr::sim
