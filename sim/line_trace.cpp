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

// Every unit's bytes go through here, so the digits are looked up rather than formatted.
std::string HexList(const uint8_t* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    if (length == 0) return out;
    out.resize(length * 3 - 1, ' ');
    for (size_t i = 0; i < length; ++i) {
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
            static constexpr uint8_t kEscapedEscape[] = {wire::kEscape, wire::kEscape};
            OnReaderData(escape_time_ns_, wire::kEscape, kEscapedEscape, 2);
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
    OnReaderData(time_ns, byte, &byte, 1);
}

void LineTrace::Flush() {
    FlushCardRun();
    if (!command_.empty()) FlushCommand(Unit::IncompleteCommand);
    if (escape_pending_) {
        escape_pending_ = false;
        const uint8_t escape = wire::kEscape;
        Emit(escape_time_ns_, Direction::ReaderToHost, &escape, 1, Unit::LoneEscape);
    }
}

const std::vector<std::string>& LineTrace::Lines() const {
    RenderNoted();
    return lines_;
}

std::string LineTrace::Text() const {
    RenderNoted();
    std::string out;
    for (const std::string& line : lines_) {
        out += line;
        out += '\n';
    }
    return out;
}

void LineTrace::Emit(uint64_t time_ns, Direction dir, const uint8_t* wire_bytes, size_t length, Unit unit,
                     uint8_t value) {
    const Noted n{time_ns, 0, static_cast<uint8_t>(length), dir, unit, awaiting_, awaiting_reg_, value};
    if (sink_) {
        sink_(Render(n, wire_bytes));
    } else if (lines_.size() + noted_.size() < options_.max_lines) {
        noted_.push_back(n);
        noted_.back().offset = static_cast<uint32_t>(noted_bytes_.size());
        noted_bytes_.insert(noted_bytes_.end(), wire_bytes, wire_bytes + length);
    }
}

void LineTrace::RenderNoted() const {
    for (const Noted& n : noted_) lines_.push_back(Render(n, noted_bytes_.data() + n.offset));
    noted_.clear();
    noted_bytes_.clear();
}

namespace {

std::string DescribeCommand(const uint8_t* command) {
    const uint8_t arg = command[0] & wire::kArgMask;
    switch (command[0] & wire::kOpMask) {
    case wire::kOpWriteRegister: {
        std::string out = "write " + RegisterLabel(arg) + " = ";
        if (wire::RegisterDataLength(arg) == 3) {
            const uint32_t v = command[1] | uint32_t{command[2]} << 8 | uint32_t{command[3]} << 16;
            out += std::to_string(v);
            return out;
        }
        out += Hex(command[1]);
        if (arg == wire::RegCardReset && command[1] == wire::kActivate) out += ": activate card";
        if (arg == wire::RegCardState && (command[1] & wire::kCardStatePowered) == 0) {
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

std::string DescribeCardRun(const uint8_t* wire_bytes, size_t length) {
    // The values: the wire bytes with each escaped 0x10 0x10 taken as one 0x10.
    uint8_t values[LineTrace::kCardRunBytes];
    size_t count = 0;
    for (size_t i = 0; i < length && count < LineTrace::kCardRunBytes; ++i) {
        values[count++] = wire_bytes[i];
        if (wire_bytes[i] == wire::kEscape) ++i;
    }
    std::string what = "card data, " + std::to_string(count) + (count == 1 ? " byte" : " bytes");
    if (length != count) what += ": " + HexList(values, count);
    return what;
}

}  // namespace

std::string LineTrace::Render(const Noted& n, const uint8_t* wire_bytes) const {
    char head[64];
    std::snprintf(head, sizeof head, "%6llu.%03llu ms %s  ",
                  static_cast<unsigned long long>(n.time_ns / 1'000'000),
                  static_cast<unsigned long long>(n.time_ns / 1'000 % 1'000),
                  n.dir == Direction::HostToReader ? "host->reader" : "reader->host");
    std::string line = head;
    std::string hex = HexList(wire_bytes, n.length);
    if (hex.size() < 11) hex.resize(11, ' ');  // four bytes wide, so short units line up
    line += hex;
    line += "   ";
    switch (n.unit) {
    case Unit::Command: line += DescribeCommand(wire_bytes); break;
    case Unit::IncompleteCommand: line += "incomplete command"; break;
    case Unit::DroppedCommand: line += "incomplete command (dropped by the reader)"; break;
    case Unit::Reply: line += DescribeReply(n.value, n.awaiting, n.reg); break;
    case Unit::Event: line += EventName(wire_bytes[1]); break;
    case Unit::CardRun: line += DescribeCardRun(wire_bytes, n.length); break;
    case Unit::LoneEscape: line += "escape without partner"; break;
    }
    return line;
}

// Host -> reader ---------------------------------------------------------------------------

void LineTrace::OnHostByte(uint64_t time_ns, uint8_t b) {
    if (!command_.empty() && time_ns - command_last_ns_ > options_.command_gap_ns) {
        FlushCommand(Unit::DroppedCommand);
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
    Emit(command_time_ns_, Direction::HostToReader, command_.data(), command_.size(), Unit::Command);
    command_.clear();
}

void LineTrace::FlushCommand(Unit unit) {
    Emit(command_time_ns_, Direction::HostToReader, command_.data(), command_.size(), unit);
    command_.clear();
}

// Reader -> host ---------------------------------------------------------------------------

void LineTrace::OnReaderData(uint64_t time_ns, uint8_t value, const uint8_t* wire_bytes, size_t length) {
    if (awaiting_ != Awaiting::Nothing) {
        FlushCardRun();
        Emit(time_ns, Direction::ReaderToHost, wire_bytes, length, Unit::Reply, value);
        awaiting_ = Awaiting::Nothing;
        return;
    }
    if (run_values_ != 0 && (time_ns - run_last_ns_ > options_.card_run_gap_ns || run_values_ >= kCardRunBytes)) {
        FlushCardRun();
    }
    if (run_values_ == 0) run_time_ns_ = time_ns;
    ++run_values_;
    run_wire_.insert(run_wire_.end(), wire_bytes, wire_bytes + length);
    run_last_ns_ = time_ns;
}

void LineTrace::OnReaderEvent(uint64_t time_ns, uint8_t code) {
    FlushCardRun();
    // A reader error stands in for the reply the host waits for.
    if (code == wire::kEventReaderError) awaiting_ = Awaiting::Nothing;
    const uint8_t unit[] = {wire::kEscape, code};
    Emit(time_ns, Direction::ReaderToHost, unit, 2, Unit::Event);
}

void LineTrace::FlushCardRun() {
    if (run_values_ == 0) return;
    Emit(run_time_ns_, Direction::ReaderToHost, run_wire_.data(), run_wire_.size(), Unit::CardRun);
    run_values_ = 0;
    run_wire_.clear();
}

std::string LineTrace::DescribeReply(uint8_t b, Awaiting awaiting, uint8_t reg) {
    if (awaiting == Awaiting::ReadValue) {
        std::string out = RegisterLabel(reg) + " = " + Hex(b);
        if (reg == wire::RegVersion) {
            out += " (firmware " + std::to_string(b >> 4) + "." + std::to_string(b & 0x0F) + ")";
        } else if (reg == wire::RegCardState) {
            out += (b & wire::kCardStatePresent) ? " (card present" : " (no card";
            out += (b & wire::kCardStatePowered) ? ", powered)" : ")";
        }
        return out;
    }
    std::string out = "reply " + Hex(b);
    switch (b) {
    case wire::kDone: return out + " done";
    case wire::kCardFlagged:
        return out + (awaiting == Awaiting::SendReply ? " done, card flagged a byte" : " rejected");
    case wire::kReaderError: return out + " rejected (reader error)";
    case wire::kTimeout: return out + " rejected (time-out)";
    case wire::kChecksum: return out + " rejected (checksum)";
    case wire::kOverrun: return out + " rejected (overrun)";
    default: return out + " rejected";
    }
}

}  // namespace lmscr::sim
