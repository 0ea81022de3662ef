#include "sim/line_trace.h"

#include <cstdio>
#include <utility>

#include "sim/wire.h"

namespace lmscr::sim {

namespace {

std::string Hex(uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b);
    return buf;
}

// Every byte on the line goes through here (the trace is kept whether or not anyone reads it),
// so the digits are looked up rather than formatted.
std::string HexList(const std::vector<uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    if (bytes.empty()) return out;
    out.resize(bytes.size() * 3 - 1, ' ');
    for (size_t i = 0; i < bytes.size(); ++i) {
        out[3 * i] = kDigits[bytes[i] >> 4];
        out[3 * i + 1] = kDigits[bytes[i] & 0xF];
    }
    return out;
}

std::string RegisterLabel(uint8_t reg) {
    std::string out = "reg " + std::to_string(reg);
    const std::string_view name = wire::RegisterName(reg);
    if (!name.empty()) out += " (" + std::string(name) + ")";
    return out;
}

std::string EventName(uint8_t code) {
    switch (code) {
    case wire::kEventTimeout: return "event reader time-out";
    case wire::kEventReaderError: return "event reader error";
    case wire::kEventCardInserted: return "event card inserted";
    case wire::kEventCardRemoved: return "event card removed";
    case wire::kEventFaultyCardByte: return "event faulty card byte";
    default: return "escape " + Hex(code) + ": no event";
    }
}

}  // namespace

LineTrace::LineTrace(Sink sink, LineTraceOptions options)
    : sink_(std::move(sink)), options_(options) {}

void LineTrace::Record(uint64_t time_ns, Direction dir, uint8_t byte) {
    ++bytes_recorded_;
    if (dir == Direction::HostToReader) {
        OnHostByte(time_ns, byte);
        return;
    }
    if (escape_pending_) {
        escape_pending_ = false;
        if (byte == wire::kEscape) {
            OnReaderData(escape_time_ns_, wire::kEscape, {wire::kEscape, wire::kEscape});
        } else {
            OnReaderEvent(escape_time_ns_, byte);
        }
        return;
    }
    if (byte == wire::kEscape) {
        escape_pending_ = true;
        escape_time_ns_ = time_ns;
        return;
    }
    OnReaderData(time_ns, byte, {byte});
}

void LineTrace::Flush() {
    FlushCardRun();
    if (!command_.empty()) FlushCommand("incomplete command");
    if (escape_pending_) {
        escape_pending_ = false;
        Emit(escape_time_ns_, Direction::ReaderToHost, {wire::kEscape}, "escape without partner");
    }
}

std::string LineTrace::Text() const {
    std::string out;
    for (const std::string& line : lines_) {
        out += line;
        out += '\n';
    }
    return out;
}

void LineTrace::Emit(uint64_t time_ns, Direction dir, const std::vector<uint8_t>& wire_bytes,
                     const std::string& what) {
    char head[64];
    std::snprintf(head, sizeof head, "%6llu.%03llu ms %s  ",
                  static_cast<unsigned long long>(time_ns / 1'000'000),
                  static_cast<unsigned long long>(time_ns / 1'000 % 1'000),
                  dir == Direction::HostToReader ? "host->reader" : "reader->host");
    std::string line = head;
    std::string hex = HexList(wire_bytes);
    if (hex.size() < 11) hex.resize(11, ' ');  // four bytes wide, so short units line up
    line += hex;
    line += "   ";
    line += what;
    if (sink_) {
        sink_(line);
    } else if (lines_.size() < options_.max_lines) {
        lines_.push_back(std::move(line));
    }
}

// Host -> reader ---------------------------------------------------------------------------

void LineTrace::OnHostByte(uint64_t time_ns, uint8_t b) {
    if (!command_.empty() && time_ns - command_last_ns_ > options_.command_gap_ns) {
        FlushCommand("incomplete command (dropped by the reader)");
    }
    if (command_.empty()) command_time_ns_ = time_ns;
    command_.push_back(b);
    command_last_ns_ = time_ns;
    if (command_.size() < wire::CommandLength(command_[0])) return;

    FlushCardRun();  // the card's bytes so far belong before the host's next command
    const uint8_t op = command_[0] & wire::kOpMask;
    awaiting_reg_ = command_[0] & wire::kArgMask;
    awaiting_ = op == wire::kOpWriteRegister ? Awaiting::WriteReply
                : op == wire::kOpReadRegister ? Awaiting::ReadValue
                                              : Awaiting::SendReply;  // also the non-commands
    Emit(command_time_ns_, Direction::HostToReader, command_, DescribeCommand());
    command_.clear();
}

void LineTrace::FlushCommand(const char* what) {
    Emit(command_time_ns_, Direction::HostToReader, command_, what);
    command_.clear();
}

std::string LineTrace::DescribeCommand() const {
    const uint8_t arg = command_[0] & wire::kArgMask;
    switch (command_[0] & wire::kOpMask) {
    case wire::kOpWriteRegister: {
        std::string out = "write " + RegisterLabel(arg) + " = ";
        if (wire::RegisterDataLength(arg) == 3) {
            const uint32_t v = command_[1] | uint32_t{command_[2]} << 8 | uint32_t{command_[3]} << 16;
            out += std::to_string(v);
            return out;
        }
        out += Hex(command_[1]);
        if (arg == wire::RegCardReset && command_[1] == wire::kActivate) out += ": activate card";
        if (arg == wire::RegCardState && (command_[1] & wire::kCardStatePowered) == 0) {
            out += ": card off";
        }
        return out;
    }
    case wire::kOpReadRegister: return "read " + RegisterLabel(arg);
    case wire::kOpSendData: {
        std::string out = "send card data, " + std::to_string(arg) + (arg == 1 ? " byte" : " bytes");
        if (arg > wire::kMaxCardBytesPerCommand) out += " (more than the reader takes)";
        return out;
    }
    default: return "no command";
    }
}

// Reader -> host ---------------------------------------------------------------------------

void LineTrace::OnReaderData(uint64_t time_ns, uint8_t value, const std::vector<uint8_t>& wire_bytes) {
    if (awaiting_ != Awaiting::Nothing) {
        FlushCardRun();
        Emit(time_ns, Direction::ReaderToHost, wire_bytes, DescribeReply(value));
        awaiting_ = Awaiting::Nothing;
        return;
    }
    if (!run_values_.empty() &&
        (time_ns - run_last_ns_ > options_.card_run_gap_ns || run_values_.size() >= kCardRunBytes)) {
        FlushCardRun();
    }
    if (run_values_.empty()) run_time_ns_ = time_ns;
    run_values_.push_back(value);
    run_wire_.insert(run_wire_.end(), wire_bytes.begin(), wire_bytes.end());
    run_last_ns_ = time_ns;
}

void LineTrace::OnReaderEvent(uint64_t time_ns, uint8_t code) {
    FlushCardRun();
    // A reader error stands in for the reply the host waits for.
    if (code == wire::kEventReaderError) awaiting_ = Awaiting::Nothing;
    Emit(time_ns, Direction::ReaderToHost, {wire::kEscape, code}, EventName(code));
}

void LineTrace::FlushCardRun() {
    if (run_values_.empty()) return;
    std::string what = "card data, " + std::to_string(run_values_.size()) +
                       (run_values_.size() == 1 ? " byte" : " bytes");
    if (run_wire_.size() != run_values_.size()) what += ": " + HexList(run_values_);
    Emit(run_time_ns_, Direction::ReaderToHost, run_wire_, what);
    run_values_.clear();
    run_wire_.clear();
}

std::string LineTrace::DescribeReply(uint8_t b) const {
    if (awaiting_ == Awaiting::ReadValue) {
        std::string out = RegisterLabel(awaiting_reg_) + " = " + Hex(b);
        if (awaiting_reg_ == wire::RegVersion) {
            out += " (firmware " + std::to_string(b >> 4) + "." + std::to_string(b & 0x0F) + ")";
        } else if (awaiting_reg_ == wire::RegCardState) {
            out += (b & wire::kCardStatePresent) ? " (card present" : " (no card";
            out += (b & wire::kCardStatePowered) ? ", powered)" : ")";
        }
        return out;
    }
    std::string out = "reply " + Hex(b);
    switch (b) {
    case wire::kDone: return out + " done";
    case wire::kCardFlagged:
        return out + (awaiting_ == Awaiting::SendReply ? " done, card flagged a byte" : " rejected");
    case wire::kReaderError: return out + " rejected (reader error)";
    case wire::kTimeout: return out + " rejected (time-out)";
    case wire::kChecksum: return out + " rejected (checksum)";
    case wire::kOverrun: return out + " rejected (overrun)";
    default: return out + " rejected";
    }
}

}  // namespace lmscr::sim
