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

    // The kept lines. A simulated line records every byte whether or not anyone reads the
    // trace, so without a sink a complete unit is only noted (its bytes and what it answers),
    // and its text is written when the lines are asked for.
    const std::vector<std::string>& Lines() const;
    std::string Text() const;  // all kept lines, each ending in '\n'
    uint64_t BytesRecorded() const { return bytes_recorded_; }

private:
    enum class Awaiting : uint8_t { Nothing, WriteReply, ReadValue, SendReply };
    // What a unit's text says, with the unit's bytes.
    enum class Unit : uint8_t {
        Command,           // a complete command, described from its bytes
        IncompleteCommand,
        DroppedCommand,    // incomplete, its next byte came after the reader's gap
        Reply,             // `value` answers a command (`awaiting`, `reg`)
        Event,             // 0x10 and the code
        CardRun,           // card data, escaped as on the wire
        LoneEscape,
    };
    struct Noted {
        uint64_t time_ns;
        uint32_t offset;  // of its bytes in noted_bytes_
        uint8_t length;
        Direction dir;
        Unit unit;
        Awaiting awaiting;
        uint8_t reg;
        uint8_t value;
    };

    void Emit(uint64_t time_ns, Direction dir, const uint8_t* wire_bytes, size_t length, Unit unit,
              uint8_t value = 0);
    std::string Render(const Noted& n, const uint8_t* wire_bytes) const;
    void RenderNoted() const;
    void OnHostByte(uint64_t time_ns, uint8_t b);
    void OnReaderData(uint64_t time_ns, uint8_t value, const uint8_t* wire_bytes, size_t length);
    void OnReaderEvent(uint64_t time_ns, uint8_t code);
    void FlushCommand(Unit unit);
    void FlushCardRun();
    static std::string DescribeReply(uint8_t b, Awaiting awaiting, uint8_t reg);

    Sink sink_;
    LineTraceOptions options_;
    mutable std::vector<std::string> lines_;
    mutable std::vector<Noted> noted_;  // complete units whose text is not written yet
    mutable std::vector<uint8_t> noted_bytes_;
    uint64_t bytes_recorded_ = 0;

    std::vector<uint8_t> command_;
    uint64_t command_time_ns_ = 0;
    uint64_t command_last_ns_ = 0;
    Awaiting awaiting_ = Awaiting::Nothing;
    uint8_t awaiting_reg_ = 0;

    bool escape_pending_ = false;
    uint64_t escape_time_ns_ = 0;
    std::vector<uint8_t> run_wire_;
    size_t run_values_ = 0;
    uint64_t run_time_ns_ = 0;
    uint64_t run_last_ns_ = 0;
};

}  // namespace lmscr::sim
