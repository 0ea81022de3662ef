// Commands reach the card: APDUs through the class library's transmit request, the driver's
// T=0 and T=1 exchanges, the simulated reader and cards.
#include "card_session.h"

#include "serial_fault.h"
#include "sim/cards/application.h"
#include "sim/cards/iso_card.h"

#include <cctype>

using namespace lmscr;
using namespace lmscr::test;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Sw(uint16_t sw) { return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)}; }
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Hex(const char* text) {
    Bytes out;
    unsigned v = 0;
    int digits = 0;
    for (const char* c = text; *c; ++c) {
        if (*c == ' ') continue;
        v = v * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(*c)) ? *c - '0' : (*c | 0x20) - 'a' + 10);
        if (++digits == 2) {
            out.push_back(static_cast<uint8_t>(v));
            v = 0;
            digits = 0;
        }
    }
    return out;
}

// A command as an application sends it over T=0 as well: SW1 61 fetches the answer with GET
// RESPONSE (case 4), the way ISO/IEC 7816-3 carries data both ways over T=0.
Bytes Command(CardSession& s, const Bytes& apdu, NTSTATUS* status) {
    Bytes answer = s.Transmit(apdu, status);
    if (*status == STATUS_SUCCESS && answer.size() == 2 && answer[0] == 0x61 &&
        s.Smartcard()->CardCapabilities.Protocol.Selected == SCARD_PROTOCOL_T0)
        answer = s.Transmit({0x00, 0xC0, 0x00, 0x00, answer[1]}, status);
    return answer;
}

// Every case, both ways, on every card that talks: each answer equals what the card's
// application answers to the same command, whatever the protocol carried.
TEST(Transmit, every_command_case_on_every_t0_and_t1_profile) {
    Bytes longUpdate = Hex("00 D6 00 10 FF");
    for (int i = 0; i < 255; ++i) longUpdate.push_back(static_cast<uint8_t>(0xFF - i));
    const std::vector<Bytes> script = {
        Hex("00 A4 00 0C 02 3F 00"),           // case 3
        Hex("00 A4 00 0C 02 2F 00"),
        Hex("00 B0 00 00 10"),                 // case 2
        Hex("00 20 00 01"),                    // case 1: tries left
        Hex("00 20 00 01 04 31 32 33 34"),
        Hex("00 D6 00 00 04 AA BB 10 DD"),     // a 0x10 in the data: escaped by the reader
        Hex("00 B0 00 00 04"),
        Hex("00 A4 00 00 02 7F 10 00"),        // case 4: the file's control parameters
        Hex("00 A4 00 0C 02 6F 01"),
        Hex("00 B1 00 00 04 54 02 01 00 20"),  // odd INS, case 4
        Hex("00 B0 00 00 00"),                 // 256 bytes: chained on T=1
        longUpdate,                            // 260 bytes: the reader chains on T=1
        Hex("00 B0 00 10 FF"),
        Hex("00 B0 02 00 10"),                 // past the end: 6B00
        Hex("00 A4 00 0C 02 12 34"),           // 6A82
    };
    struct Card {
        const char* name;
        ULONG protocol;
    };
    const Card cards[] = {
        {"t0", SCARD_PROTOCOL_T0},        {"t0-notins", SCARD_PROTOCOL_T0},   {"t0-null", SCARD_PROTOCOL_T0},
        {"t0-null-after-data", SCARD_PROTOCOL_T0}, {"inverse", SCARD_PROTOCOL_T0}, {"dual", SCARD_PROTOCOL_T0},
        {"t1", SCARD_PROTOCOL_T1},        {"t1-crc", SCARD_PROTOCOL_T1},      {"t1-chain", SCARD_PROTOCOL_T1},
        {"t1-slow", SCARD_PROTOCOL_T1},   {"t1-crc-chain", SCARD_PROTOCOL_T1}, {"t1-ifs-mid", SCARD_PROTOCOL_T1},
        {"dual", SCARD_PROTOCOL_T1},      {"specific", SCARD_PROTOCOL_T1},
    };
    for (const Card& c : cards) {
        SCOPED_TRACE(c.name);
        CardSession s;
        s.Start(c.name);
        s.PowerAndSelect(c.protocol);
        ASSERT_EQ(s.Smartcard()->CardCapabilities.Protocol.Selected, c.protocol);
        sim::cards::ApplicationOptions ao;
        ao.seed = 1;
        sim::cards::CardApplication reference(ao);
        for (const Bytes& apdu : script) {
            NTSTATUS status = 0;
            const Bytes got = Command(s, apdu, &status);
            auto parsed = *sim::cards::ParseShortApdu(apdu);
            // T=0 carries no Le with data to the card: the card offers all it has (61xx).
            if (c.protocol == SCARD_PROTOCOL_T0 && !parsed.data.empty() && parsed.ne != 0) parsed.ne = 256;
            const Bytes want = reference.Execute(parsed).ToBytes();
            EXPECT_EQ(status, STATUS_SUCCESS) << apdu.size() << " bytes, INS " << int(apdu[1]);
            EXPECT_EQ(got, want) << "INS " << int(apdu[1]);
        }
    }
}

TEST(Transmit, t0_wrong_length_is_the_card_s_answer_not_a_failure) {
    CardSession s;
    s.Start("t0");
    s.PowerAndSelect(SCARD_PROTOCOL_T0);
    NTSTATUS st = 0;
    EXPECT_EQ(s.Transmit(Hex("00 A4 00 0C 02 2F 00"), &st), Sw(0x9000));
    EXPECT_EQ(s.Transmit(Hex("00 B0 00 00 20"), &st), Sw(0x6C10));
    EXPECT_EQ(st, STATUS_SUCCESS);
    const Bytes content = sim::cards::CardApplication::InitialContent(0x2F00);
    EXPECT_EQ(s.Transmit(Hex("00 B0 00 00 10"), &st), Cat(Bytes(content.begin(), content.begin() + 16), Sw(0x9000)));
}

// Cards that break the protocol: each command fails, none hangs, none is reported as answered.
TEST(Transmit, cards_that_break_the_protocol_fail_every_command_cleanly) {
    struct Case {
        const char* card;
        ULONG protocol;
        NTSTATUS status;
        bool poweredDown;  // the card was given up and must be reset before the next command
        Bytes setup;       // a command the card answers first
    };
    const Case cases[] = {
        // Empty chained blocks without end: the library gives the card up.
        {"t1-endless", SCARD_PROTOCOL_T1, STATUS_DEVICE_PROTOCOL_ERROR, true, {}},
        // An answer without SW1 SW2.
        {"t1-nosw", SCARD_PROTOCOL_T1, STATUS_DEVICE_PROTOCOL_ERROR, false, {}},
        // More single bytes than the command asked for: out of step, the card is reset.
        {"t0-overrun", SCARD_PROTOCOL_T0, STATUS_DEVICE_PROTOCOL_ERROR, true, Hex("00 A4 00 0C 02 2F 00")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.card);
        CardSession s;
        s.Start(c.card);
        s.PowerAndSelect(c.protocol);
        NTSTATUS st = 0;
        if (!c.setup.empty()) {
            EXPECT_EQ(s.Transmit(c.setup, &st), Sw(0x9000));
        }
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(s.Transmit(Hex("00 B0 00 00 10"), &st), Bytes{});
            EXPECT_EQ(st, c.status);
            std::printf("%s: %s after %.3f ms\n", c.card, kernel::StatusName(st).c_str(), s.LastMs());
            s.rig.K().Sleep(100);  // whatever the card still sends is over
            if (c.poweredDown) {
                EXPECT_EQ(s.State(), (ULONG)SCARD_PRESENT);
                EXPECT_EQ(s.Smartcard()->CardCapabilities.Protocol.Selected, 0u);
                s.PowerAndSelect(c.protocol);
                if (!c.setup.empty()) {
                    EXPECT_EQ(s.Transmit(c.setup, &st), Sw(0x9000));
                }
            } else {
                EXPECT_EQ(s.State(), (ULONG)SCARD_SPECIFIC);
            }
        }
    }
}

// Every write to the reader's port from now on held `ms` virtual milliseconds, as a port
// stalled by a busy machine would: `count` writes at most.
void StallWrites(CardSession& s, uint64_t ms, int count) {
    serial::SerialFault late;
    late.kind = serial::SerialFault::Kind::CompleteLate;
    late.major = IRP_MJ_WRITE;
    late.lateMs = ms;
    for (int i = 0; i < count; ++i) serial::InjectSerialFault(s.rig.Pdo(), late);
}

const sim::cards::T1Stats& StrictStats(CardSession& s) {
    return static_cast<sim::cards::IsoCard*>(s.rig.Port().Reader().CardInSlot())->T1().Stats();
}

// The reader takes at most 24 card bytes a command; a longer block goes out in several, and the
// driver has them wait in the reader's FIFO, so the card receives the block's characters without
// a pause.  A card that holds what it receives to its CWT (43 etu, 4.5 ms) takes a 255-byte
// UPDATE BINARY: a chain of nine blocks at its IFSC of 32, eight of them two commands long.
// With every write to the port stalled 60 ms, the block's second command comes after the card's
// CWT has run out: the card drops each block, the library repeats it and gives the card up, and
// the command fails as one the card never heard.
TEST(Transmit, card_strict_about_received_characters_takes_blocks_of_several_reader_commands) {
    CardSession s;
    s.Start("t1-strict");
    s.PowerAndSelect(SCARD_PROTOCOL_T1);
    NTSTATUS st = 0;
    EXPECT_EQ(s.Transmit(Hex("00 A4 00 0C 02 7F 10"), &st), Sw(0x9000));
    EXPECT_EQ(s.Transmit(Hex("00 A4 00 0C 02 6F 01"), &st), Sw(0x9000));
    Bytes update = Hex("00 D6 00 00 FF");
    for (int i = 0; i < 255; ++i) update.push_back(static_cast<uint8_t>(i * 7 + 3));
    const Bytes written(update.begin() + 5, update.end());
    const uint32_t blocks = StrictStats(s).blocks_received;
    EXPECT_EQ(s.Transmit(update, &st), Sw(0x9000));
    EXPECT_EQ(st, STATUS_SUCCESS);
    EXPECT_EQ(StrictStats(s).blocks_received - blocks, 9u);
    EXPECT_EQ(StrictStats(s).partial_blocks_dropped, 0u);
    EXPECT_EQ(s.Transmit(Hex("00 B0 00 00 FF"), &st), Cat(written, Sw(0x9000)));

    StallWrites(s, 60, 400);
    update[5] ^= 0xFF;  // a block of 3 + 32 + 1 bytes: commands of 24 and 12
    update.resize(5 + 27);
    update[4] = 27;
    EXPECT_EQ(s.Transmit(update, &st), Bytes{});
    EXPECT_EQ(st, STATUS_IO_TIMEOUT);
    EXPECT_GT(StrictStats(s).partial_blocks_dropped, 0u);
    EXPECT_EQ(s.State(), (ULONG)SCARD_PRESENT);  // powered down: reset before the next command
    serial::ClearSerialFaults(s.rig.Pdo());
    s.PowerAndSelect(SCARD_PROTOCOL_T1);
    EXPECT_EQ(s.Transmit(Hex("00 A4 00 0C 02 7F 10"), &st), Sw(0x9000));
    EXPECT_EQ(s.Transmit(Hex("00 A4 00 0C 02 6F 01"), &st), Sw(0x9000));
    // The file holds what the first UPDATE wrote: no part of the dropped blocks reached it.
    EXPECT_EQ(s.Transmit(Hex("00 B0 00 00 04"), &st), Cat(Bytes(written.begin(), written.begin() + 4), Sw(0x9000)));
}

}  // namespace

// The same failure gives the same status whichever protocol the card runs, and leaves the card
// in the same state: what the status table of the README promises the caller.
TEST(Transmit, one_failure_one_status_whatever_the_protocol) {
    enum class Event { None, CardPulled, PortLost, ReaderMuted, WritesStalled };
    struct Case {
        const char* what;
        const char* card;
        ULONG protocol;
        Bytes apdu;
        Event event;  // 5 ms into the command; stalled writes from its start
        NTSTATUS status;
        ULONG state;  // the card state afterwards
    };
    Bytes longBlock = Hex("00 D6 00 00 1B");
    longBlock.resize(5 + 27, 0x5A);  // its commands stalled, the strict card drops the block
    const Bytes select = Hex("00 A4 00 00 02 3F 00");
    const Case cases[] = {
        // Case 2 for the reader, a SELECT waiting for its two data bytes for the card.
        {"silent card", "t0", SCARD_PROTOCOL_T0, Hex("00 A4 00 0C 02"), Event::None, STATUS_IO_TIMEOUT, SCARD_PRESENT},
        {"silent card", "t1-strict", SCARD_PROTOCOL_T1, longBlock, Event::WritesStalled, STATUS_IO_TIMEOUT, SCARD_PRESENT},
        {"card pulled", "t0", SCARD_PROTOCOL_T0, select, Event::CardPulled, STATUS_NO_MEDIA, SCARD_ABSENT},
        {"card pulled", "t1", SCARD_PROTOCOL_T1, select, Event::CardPulled, STATUS_NO_MEDIA, SCARD_ABSENT},
        {"port lost", "t0", SCARD_PROTOCOL_T0, select, Event::PortLost, STATUS_DEVICE_REMOVED, SCARD_SPECIFIC},
        {"port lost", "t1", SCARD_PROTOCOL_T1, select, Event::PortLost, STATUS_DEVICE_REMOVED, SCARD_SPECIFIC},
        {"reader muted", "t0", SCARD_PROTOCOL_T0, select, Event::ReaderMuted, STATUS_IO_TIMEOUT, SCARD_PRESENT},
        {"reader muted", "t1", SCARD_PROTOCOL_T1, select, Event::ReaderMuted, STATUS_IO_TIMEOUT, SCARD_PRESENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", " + c.card);
        CardSession s;
        s.Start(c.card);
        s.PowerAndSelect(c.protocol);
        if (c.event == Event::WritesStalled) StallWrites(s, 60, 400);
        if (c.event != Event::None && c.event != Event::WritesStalled) {
            s.rig.SpawnAt("event", 5'000'000, [&s, event = c.event] {
                if (event == Event::CardPulled) s.Remove();
                if (event == Event::PortLost) s.rig.Line().SetDsr(false);
                if (event == Event::ReaderMuted)
                    s.rig.Port().WithReader([](sim::ReaderFirmware& reader) { reader.SetMuted(true); });
            });
        }
        NTSTATUS st = 0;
        EXPECT_EQ(s.Transmit(c.apdu, &st), Bytes{});
        EXPECT_EQ(st, c.status) << kernel::StatusName(st);
        EXPECT_EQ(s.State(), c.state);
        s.rig.K().Sleep(100);
        if (c.event == Event::PortLost) s.rig.Line().SetDsr(true);
        if (c.event == Event::WritesStalled) serial::ClearSerialFaults(s.rig.Pdo());
        if (c.event == Event::ReaderMuted)
            s.rig.Port().WithReader([](sim::ReaderFirmware& reader) { reader.SetMuted(false); });
    }
}

// After a T=0 exchange the reader watches the card for its character time-out (10,560 etu, 1.097 s
// here) and reports its silence (0x10 0x83) unless the next command's first byte comes first. A
// command written as that time runs out finds the report in front of its reply: the report is the
// last exchange's, and the command is answered as any other. Pauses across that moment, a quarter
// millisecond apart.
TEST(Transmit, t0_command_meeting_the_readers_silence_report_of_the_last_exchange_is_answered) {
    const Bytes select = Hex("00 A4 00 00 02 3F 00");
    for (int us = 1'093'000; us <= 1'100'000; us += 250) {
        SCOPED_TRACE(us);
        CardSession s;
        s.Start("t0");
        s.PowerAndSelect(SCARD_PROTOCOL_T0);
        NTSTATUS status = 0;
        const Bytes first = s.Transmit(select, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        LARGE_INTEGER pause;
        pause.QuadPart = -int64_t(us) * 10;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        EXPECT_EQ(s.Transmit(select, &status), first);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(s.State(), ULONG(SCARD_SPECIFIC));
    }
}
