// Send-data commands queued in the reader's FIFO, read off the host line: a block or a T=0 data
// phase of more than 24 card bytes has its next commands written while the first runs, never
// more than the FIFO's 64 bytes unanswered; a failure among them ends the exchange, and the
// driver writes nothing more until the reader has answered every command it had taken.
#include "card_session.h"

#include <deque>
#include <sstream>

using namespace lmscr;
using namespace lmscr::test;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSelectDf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10};
const Bytes kSelectLong = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01};

Bytes Update(uint8_t count) {
    Bytes b = {0x00, 0xD6, 0x00, 0x00, count};
    for (int i = 0; i < count; ++i) b.push_back(static_cast<uint8_t>(0x3C ^ (i * 5)));
    return b;
}

// One trace line: "  12.345 ms host->reader  58 01 02 ...   send 24 bytes".
struct WireUnit {
    bool host = false;
    Bytes bytes;
};

std::vector<WireUnit> Parse(const std::vector<std::string>& lines) {
    std::vector<WireUnit> units;
    for (const std::string& line : lines) {
        const bool host = line.find("host->reader  ") != std::string::npos;
        const size_t at = line.find(host ? "host->reader  " : "reader->host  ");
        if (at == std::string::npos) continue;
        const size_t from = at + 14;
        std::istringstream hex(line.substr(from, line.find("  ", from) - from));
        WireUnit unit{host, {}};
        for (std::string b; hex >> b;) unit.bytes.push_back(static_cast<uint8_t>(std::stoul(b, nullptr, 16)));
        units.push_back(unit);
    }
    return units;
}

// The exchange's send-data commands and their replies, in the order the line carried them, up to
// the first other command of the host.  A byte from the reader while a command is unanswered is
// its reply (the card says nothing while its block or data are still coming).
struct Queue {
    size_t commands = 0;
    size_t answered = 0;
    size_t maxUnansweredBytes = 0;
    size_t repliesAfterReaderError = 0;
    bool readerError = false;
};

Queue Walk(const std::vector<WireUnit>& units) {
    Queue q;
    std::deque<size_t> unanswered;
    size_t bytes = 0;
    for (const WireUnit& u : units) {
        if (u.host) {
            if ((u.bytes[0] & 0xC0) != 0x40) break;
            unanswered.push_back(u.bytes.size());
            bytes += u.bytes.size();
            q.maxUnansweredBytes = std::max(q.maxUnansweredBytes, bytes);
            ++q.commands;
            continue;
        }
        if (u.bytes.size() == 2 && u.bytes[0] == 0x10 && u.bytes[1] != 0x10) {
            q.readerError |= u.bytes[1] == 0x84;
            continue;
        }
        for (size_t i = 0; i < u.bytes.size() && !unanswered.empty(); ++i) {
            bytes -= unanswered.front();
            unanswered.pop_front();
            ++q.answered;
            if (q.readerError) ++q.repliesAfterReaderError;
        }
    }
    return q;
}

TEST(SendQueue, commands_of_a_long_block_or_data_phase_wait_in_the_reader_fifo) {
    struct Case {
        const char* what;
        const char* card;
        ULONG protocol;
        uint8_t updateBytes;       // UPDATE BINARY of this many bytes
        uint64_t readerErrorAtNs;  // 0: none
        NTSTATUS status;
        size_t commands;           // send-data commands of the exchange on the line
        size_t maxUnansweredBytes;
        size_t repliesAfterReaderError;
    };
    const Case cases[] = {
        // The header alone, then the data in 10 commands of 25 bytes and one of 16: two of them
        // written before the first reply, one more after each.
        {"T=0 data phase", "t0", SCARD_PROTOCOL_T0, 255, 0, STATUS_SUCCESS, 12, 50, 0},
        // A chain at IFSC 254: a block of 258 bytes (11 commands), then one of 10.
        {"T=1 block of 258 bytes", "dual", SCARD_PROTOCOL_T1, 255, 0, STATUS_SUCCESS, 12, 50, 0},
        // TC1 40, TC2 1: a guard time of 53 etu and a block time-out of 1056.  A command of 24
        // characters (1284 etu with its reply) queued last would outlast the time-out armed by
        // the reply in front of it, and the reader would report the card silent in the middle
        // of the data: each waits for the reply in front.
        {"T=0 guard time 53 etu, WI 1", "atr:3BC0284001", SCARD_PROTOCOL_T0, 48, 0, STATUS_SUCCESS, 3, 25, 0},
        // 30 ms in, the first data command runs on the card line and the second is being
        // written: the reader error fails the exchange (the card is powered down), and both
        // are answered before the driver writes anything more.
        {"T=0 reader error", "t0", SCARD_PROTOCOL_T0, 255, 30'000'000, STATUS_IO_TIMEOUT, 3, 50, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CardSession s;
        s.Start(c.card);
        s.PowerAndSelect(c.protocol);
        NTSTATUS status = 0;
        EXPECT_EQ(s.Transmit(kSelectDf, &status), Bytes({0x90, 0x00}));
        EXPECT_EQ(s.Transmit(kSelectLong, &status), Bytes({0x90, 0x00}));
        s.rig.TakeWire();
        if (c.readerErrorAtNs != 0) {
            s.rig.SpawnAt("reader error", c.readerErrorAtNs, [&s] {
                s.rig.Port().WithReader([](sim::ReaderFirmware& reader) { reader.InjectReaderError(); });
            });
        }
        const Bytes answer = s.Transmit(Update(c.updateBytes), &status);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(answer, c.status == STATUS_SUCCESS ? Bytes({0x90, 0x00}) : Bytes{});
        const std::vector<std::string> wire = s.rig.TakeWire();
        const Queue q = Walk(Parse(wire));
        std::string text;
        for (const std::string& line : wire) text += line + "\n";
        EXPECT_EQ(q.commands, c.commands) << text;
        EXPECT_EQ(q.answered, c.commands) << text;
        EXPECT_EQ(q.maxUnansweredBytes, c.maxUnansweredBytes) << text;
        EXPECT_EQ(q.readerError, c.readerErrorAtNs != 0) << text;
        EXPECT_EQ(q.repliesAfterReaderError, c.repliesAfterReaderError) << text;
        if (c.status != STATUS_SUCCESS) {
            // Given up and powered down; reset, it takes the command whole.
            EXPECT_EQ(s.State(), (ULONG)SCARD_PRESENT);
            s.PowerAndSelect(c.protocol);
            EXPECT_EQ(s.Transmit(kSelectDf, &status), Bytes({0x90, 0x00}));
            EXPECT_EQ(s.Transmit(kSelectLong, &status), Bytes({0x90, 0x00}));
            EXPECT_EQ(s.Transmit(Update(c.updateBytes), &status), Bytes({0x90, 0x00}));
        }
        const Bytes data = Update(c.updateBytes);
        Bytes back = Bytes(data.begin() + 5, data.end());
        back.insert(back.end(), {0x90, 0x00});
        EXPECT_EQ(s.Transmit({0x00, 0xB0, 0x00, 0x00, c.updateBytes}, &status), back);
    }
}

}  // namespace
