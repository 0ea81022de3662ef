// Exchanges through the whole stack and the time the lines make them take: the workloads that
// bench/exchange_bench times and tests/protocol/exchange_timing_test.cpp checks, each with its
// line model, term by term.
//
// The model follows one command from the moment the application hands it over to the moment
// its answer is back, along the path that decides the time (the other paths overlap it):
//
//   host line    19200 baud, 10 bits a byte (start, 8 data, stop): 520.833 us a byte
//   card line    F 372 / D 1 at 3.58 MHz: 103.911 us an etu, 9600 bit/s. Every workload runs
//                at Fd/Dd: the driver reports one data rate (9600), so the library's PTS request
//                proposes PTS1 11 and the card echoes it, although its TA1 13 offers Di 4.
//   software     none: the kernel's clock is virtual and moves only when the lines do.
//
// What each piece of the path costs, from the reader's timing model (sim/reader.h) and the
// cards' defaults (sim/cards/t0_card.h, t1_card.h):
//
//   send-card-data command   1 + k host bytes, k <= 24 card bytes each (the driver's chunk);
//                            it runs when its last byte is in, its 0x90 reply leaves 12 etu
//                            after the leading edge of its last character, one host byte long;
//                            a command waiting in the reader's FIFO runs once the one in front
//                            is answered, its first character one guard time after that one's
//                            last leading edge (the reply, 12 etu, comes first)
//   reader -> card           a character every max(guard time, 11) etu, leading edge to
//                            leading edge; the guard time the driver programs is N + 13 etu for
//                            T=0 and N + 12 for T=1 (N = 0 here); the card has a character 10
//                            etu after its leading edge
//   card turnaround          T=0: 6 etu after the reader's character is complete (16 etu
//                            leading edge to leading edge); T=1: 12 etu (BGT 22 etu)
//   card -> reader           a character every 12 etu; the reader forwards each one when it is
//                            complete, 10 etu after its leading edge, and the host has it one
//                            host byte later (the host line, 1.04 ms for an escaped 0x10, is
//                            faster than the card line, 1.25 ms a character, so nothing queues)
//   T=1 end of block         the reader reports 0x10 0x83 when no character has started within
//                            its character time-out of the last one's leading edge: the driver
//                            programs CWT = 2^CWI + 11 etu plus a tenth; never earlier than 1 ms
//                            after its last byte to the host has gone; two host bytes
//
// A T=1 block or a T=0 data phase of more than 24 card bytes goes out in several send-card-data
// commands.  The driver writes the next ones while the first runs, as many as the reader's
// 64-byte FIFO holds with the bytes of the commands not yet answered (two of 25 bytes), and one
// more after each reply.  So the line's bound is the model: only the first command's host bytes
// come before the first character to the card, which then runs without a pause to the block's
// or the data's last character.  The host line keeps ahead of it: a reply and the next command
// (26 host bytes, 13.5 ms) take less than the 24 characters of the command running (29.9 ms at
// the T=1 guard time, 32.4 ms at T=0's), so the FIFO never runs dry.
//
// The driver waits for the end-of-block report after every T=1 block.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lmscr::exchange {

using Bytes = std::vector<uint8_t>;

// Line parameters: the values the reader's and the cards' documentation give, not read from
// the simulator, so that the simulator is checked against them.
inline constexpr double kHostByteNs = 10.0 * 1e9 / 19200.0;  // 520833.3 ns
inline constexpr double kEtuNs = 372.0 * 1e9 / 3'580'000.0;  // 103910.6 ns
inline constexpr uint32_t kSendDataChunk = 24;                // card bytes per command
inline constexpr uint32_t kFrameEtu = 10;          // start bit, 8 data bits, parity bit
inline constexpr uint32_t kSendDataReplyEtu = 12;  // the reply after the last leading edge
inline constexpr uint32_t kGuardT0Etu = 13;        // what the driver programs for T=0, N = 0
inline constexpr uint32_t kGuardT1Etu = 12;        // and for T=1
inline constexpr uint32_t kCardCharacterEtu = 12;  // the card's character distance
inline constexpr uint32_t kT0TurnaroundEtu = 6;    // card: after the reader's character
inline constexpr uint32_t kT1BlockDelayEtu = 12;   // card: BGT less the frame
inline constexpr uint32_t kEventBytes = 2;         // 0x10 and the event code
inline constexpr double kTimeoutSilenceNs = 1e6;   // the host's silence before a time-out
// Virtual time against the model: the simulator truncates every timer to the nanosecond and
// rounds a host byte up to it, some hundreds of nanoseconds over an exchange.  Far below an
// etu (104 us), so a term missing or counted once too often fails the comparison.
inline constexpr double kModelToleranceNs = 5'000;

// The character time-out the driver programs for a T=1 card: CWT = 2^CWI + 11 etu, and a tenth
// of it more, truncated.
inline constexpr uint32_t T1CharTimeoutEtu(uint32_t cwi) {
    const uint32_t cwt = (1u << cwi) + 11;
    return cwt + cwt / 10;
}

enum class Unit { HostByte, Etu, Ns };

struct Term {
    std::string what;
    double count = 0;
    Unit unit = Unit::Etu;
    double Ns() const {
        switch (unit) {
        case Unit::HostByte: return count * kHostByteNs;
        case Unit::Etu: return count * kEtuNs;
        case Unit::Ns: return count;
        }
        return 0;
    }
};

struct LineModel {
    std::vector<Term> terms;

    void Add(std::string what, double count, Unit unit) { terms.push_back(Term{std::move(what), count, unit}); }
    void Append(const LineModel& other) { terms.insert(terms.end(), other.terms.begin(), other.terms.end()); }
    double Ns() const {
        double ns = 0;
        for (const Term& t : terms) ns += t.Ns();
        return ns;
    }
    double Count(Unit unit) const {
        double n = 0;
        for (const Term& t : terms) n += t.unit == unit ? t.count : 0;
        return n;
    }
};

// Card bytes the host receives for `b`: the reader doubles 0x10.
inline uint32_t HostBytesFor(uint8_t b) { return b == 0x10 ? 2 : 1; }

// Send-card-data commands for `count` card bytes: how many, and the host bytes of the first,
// the only ones in front of the first character to the card.
inline uint32_t SendDataCommands(uint32_t count) { return count == 0 ? 1 : (count + kSendDataChunk - 1) / kSendDataChunk; }
inline uint32_t FirstCommandHostBytes(uint32_t count) { return 1 + (count < kSendDataChunk ? count : kSendDataChunk); }

// The first command's term, which says where the others went.
inline void AddFirstCommand(LineModel& m, const std::string& what, uint32_t count) {
    const uint32_t commands = SendDataCommands(count);
    std::string text = what + ": 1 + " + std::to_string(FirstCommandHostBytes(count) - 1) + " host bytes";
    if (commands > 1)
        text = "first of " + std::to_string(commands) + " send-card-data commands: 1 + 24 host bytes (the other " +
               std::to_string(commands - 1) + " overlap the card line in the reader's FIFO)";
    m.Add(text, FirstCommandHostBytes(count), Unit::HostByte);
}

// The characters of `count` card bytes at `guard_etu`, leading edge to leading edge: one run,
// whatever the commands that carry them.
inline void AddCharacters(LineModel& m, const std::string& what, uint32_t count, uint32_t guard_etu) {
    std::string text = what + ": " + std::to_string(count - 1) + " x " + std::to_string(guard_etu) + " etu (guard time)";
    if (SendDataCommands(count) > 1) text += ", back to back across the commands";
    m.Add(text, (count - 1.0) * guard_etu, Unit::Etu);
}

// One T=1 exchange: the driver's block of `command_block` bytes (in send-card-data commands of
// at most 24 bytes, the first one's host bytes in front of its characters), the card's block of
// `answer_block` bytes right behind it, and the reader's end-of-block report.  The report's time
// is the character time-out after the last leading edge, or the 1 ms of silence after the last
// card byte reached the host if that is later.
inline LineModel T1Exchange(uint32_t command_block, uint32_t answer_block, uint32_t cwi) {
    LineModel m;
    AddFirstCommand(m, "send-card-data command with the block", command_block);
    AddCharacters(m, "the block's characters to the card", command_block, kGuardT1Etu);
    m.Add("its last character's frame", kFrameEtu, Unit::Etu);
    m.Add("card's block guard time (BGT 22 etu from the leading edge)", kT1BlockDelayEtu, Unit::Etu);
    m.Add("card's block: " + std::to_string(answer_block - 1) + " x 12 etu to its last leading edge",
          (answer_block - 1.0) * kCardCharacterEtu, Unit::Etu);
    const double cwt_ns = T1CharTimeoutEtu(cwi) * kEtuNs;
    const double silence_ns = kFrameEtu * kEtuNs + kHostByteNs + kTimeoutSilenceNs;
    if (cwt_ns >= silence_ns) {
        m.Add("reader's end-of-block report: character time-out " + std::to_string(T1CharTimeoutEtu(cwi)) +
                  " etu (CWI " + std::to_string(cwi) + ")",
              T1CharTimeoutEtu(cwi), Unit::Etu);
    } else {
        m.Add("reader's end-of-block report: last card byte's frame and host byte, then 1 ms of silence",
              silence_ns, Unit::Ns);
    }
    m.Add("the report 0x10 0x83 to the host", kEventBytes, Unit::HostByte);
    return m;
}

// One T=0 command: the header, the card's ACK when data go either way, `lc` data bytes to the
// card in send-card-data commands, or `le` data bytes from it, then SW1 SW2.
inline LineModel T0Exchange(uint32_t lc, uint32_t le, uint16_t sw) {
    LineModel m;
    const uint32_t header_tail = 4 * kGuardT0Etu;
    m.Add("send-card-data command with the header: 1 + 5 host bytes", 6, Unit::HostByte);
    m.Add("the header's characters to the card: 4 x 13 etu (guard time)", header_tail, Unit::Etu);
    m.Add("its last character's frame", kFrameEtu, Unit::Etu);
    m.Add("card's turnaround (16 etu from the leading edge)", kT0TurnaroundEtu, Unit::Etu);
    const uint8_t sw2 = static_cast<uint8_t>(sw);
    if (lc == 0 && le == 0) {
        m.Add("SW1 to SW2", kCardCharacterEtu, Unit::Etu);
        m.Add("SW2's frame", kFrameEtu, Unit::Etu);
        m.Add("SW2 to the host", HostBytesFor(sw2), Unit::HostByte);
        return m;
    }
    if (le != 0) {
        m.Add("ACK, " + std::to_string(le) + " data bytes and SW1 to SW2: " + std::to_string(le + 2) + " x 12 etu",
              (le + 2.0) * kCardCharacterEtu, Unit::Etu);
        m.Add("SW2's frame", kFrameEtu, Unit::Etu);
        m.Add("SW2 to the host", HostBytesFor(sw2), Unit::HostByte);
        return m;
    }
    m.Add("ACK's frame", kFrameEtu, Unit::Etu);
    m.Add("ACK to the host", 1, Unit::HostByte);
    AddFirstCommand(m, "send-card-data command with the data", lc);
    AddCharacters(m, "the data's characters to the card", lc, kGuardT0Etu);
    // The last reply (12 etu after the last leading edge) is overtaken by SW1 SW2 (38 etu after it).
    m.Add("the last character's frame", kFrameEtu, Unit::Etu);
    m.Add("card's turnaround", kT0TurnaroundEtu, Unit::Etu);
    m.Add("SW1 to SW2", kCardCharacterEtu, Unit::Etu);
    m.Add("SW2's frame", kFrameEtu, Unit::Etu);
    m.Add("SW2 to the host", HostBytesFor(sw2), Unit::HostByte);
    return m;
}

// ---- the workloads -------------------------------------------------------------------------

inline constexpr uint16_t kEfLong = 0x6F01;  // 512 bytes, read and update always allowed
inline const Bytes kSelectDf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10};
inline const Bytes kSelectLong = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01};
// FCP template of EF 6F01: 62 0B, descriptor 82 01 01, identifier 83 02 6F 01, size 80 02 02 00.
inline constexpr uint32_t kFcpBytes = 13;

inline Bytes UpdateCommand(uint32_t count) {
    Bytes b = {0x00, 0xD6, 0x00, 0x00, static_cast<uint8_t>(count)};
    for (uint32_t i = 0; i < count; ++i) b.push_back(static_cast<uint8_t>(0xA5 ^ (i * 3)));
    return b;
}

struct Exchange {
    std::string name;
    Bytes command;
    uint16_t sw = 0x9000;       // the status the card answers with
    uint32_t answer_data = 0;   // data bytes in front of it
    LineModel model;
};

struct Workload {
    std::string id;
    std::string what;
    std::string card;       // card profile
    int protocol = 0;       // 0: T=0, 1: T=1
    std::string rate;       // the rate the card line runs at, and why
    std::vector<Bytes> prepare;  // commands sent first, untimed
    std::vector<Exchange> exchanges;  // timed one after the other
    LineModel Model() const {
        LineModel m;
        for (const Exchange& e : exchanges) m.Append(e.model);
        return m;
    }
};

inline const char* kRateFdDd = "Fd/Dd (F 372, D 1, 9600 bit/s): PTS1 11 proposed and echoed";

// W1: T=1 READ BINARY of 252 bytes on the "dual" card (IFSC 254, CWI 5, LRC) after the
// library's IFSD request of 254, which the first command after the reset carries.
inline Workload W1() {
    Workload w{"W1", "T=1 READ BINARY 252 bytes, IFSD 254", "dual", 1, kRateFdDd, {kSelectDf, kSelectLong}, {}};
    const Bytes read = {0x00, 0xB0, 0x00, 0x00, 0xFC};
    // Blocks: prologue 3, INF, LRC 1.
    w.exchanges.push_back({"READ BINARY", read, 0x9000, 252, T1Exchange(3 + 5 + 1, 3 + 254 + 1, 5)});
    return w;
}

// W2: T=0 UPDATE BINARY of 255 bytes on the "t0" card (ACK for all data).
inline Workload W2() {
    Workload w{"W2", "T=0 UPDATE BINARY 255 bytes", "t0", 0, kRateFdDd, {kSelectDf, kSelectLong}, {}};
    w.exchanges.push_back({"UPDATE BINARY", UpdateCommand(255), 0x9000, 0, T0Exchange(255, 0, 0x9000)});
    return w;
}

// W3: T=0 case 4, SELECT of EF 6F01 asking for its FCP: the card answers 61 0D, and GET
// RESPONSE fetches the 13 bytes.
inline Workload W3() {
    Workload w{"W3", "T=0 case 4: SELECT with FCP (61 0D), GET RESPONSE 13 bytes", "t0", 0, kRateFdDd,
               {kSelectDf}, {}};
    const Bytes select = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x6F, 0x01, 0x00};
    const Bytes get = {0x00, 0xC0, 0x00, 0x00, static_cast<uint8_t>(kFcpBytes)};
    const uint16_t more = static_cast<uint16_t>(0x6100 | kFcpBytes);
    w.exchanges.push_back({"SELECT (case 4)", select, more, 0, T0Exchange(2, 0, more)});
    w.exchanges.push_back({"GET RESPONSE", get, 0x9000, kFcpBytes, T0Exchange(0, kFcpBytes, 0x9000)});
    return w;
}

// W4: case 1, VERIFY without data: the card tells how many PIN tries are left (63 C3).
inline Workload W4(int protocol) {
    const Bytes verify = {0x00, 0x20, 0x00, 0x01};
    constexpr uint16_t kTriesLeft = 0x63C3;
    if (protocol == 1) {
        Workload w{"W4 T=1", "T=1 case 1: VERIFY status query", "dual", 1, kRateFdDd, {kSelectDf}, {}};
        w.exchanges.push_back({"VERIFY", verify, kTriesLeft, 0, T1Exchange(3 + 4 + 1, 3 + 2 + 1, 5)});
        return w;
    }
    Workload w{"W4 T=0", "T=0 case 1: VERIFY status query", "t0", 0, kRateFdDd, {kSelectDf}, {}};
    w.exchanges.push_back({"VERIFY", verify, kTriesLeft, 0, T0Exchange(0, 0, kTriesLeft)});
    return w;
}

inline std::vector<Workload> AllWorkloads() { return {W1(), W2(), W3(), W4(1), W4(0)}; }

}  // namespace lmscr::exchange
