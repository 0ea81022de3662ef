// Card power and the answer to reset: through the class library's power request on the
// simulated reader, and byte by byte against a scripted reader where the test must say exactly
// what comes when.
#include "card_session.h"
#include "fake_reader.h"

#include "sim/atr_card.h"
#include "sim/cards/profiles.h"

#include <algorithm>
#include <cstring>

using namespace lmscr;
using namespace lmscr::test;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& text) { return *sim::ParseHex(text); }

Bytes Reply(const kernel::IoResult& r) { return Bytes(r.output.begin(), r.output.begin() + r.information); }

uint8_t Xor(const Bytes& atr) {
    uint8_t x = 0;
    for (size_t i = 1; i < atr.size(); ++i) x ^= atr[i];
    return x;
}

// A cold reset on the simulated reader: its time from the line.  Before the activation the
// reader is prepared (23 host byte times of commands and replies), the card switched off (3
// and 200 ms) and activated (2 bytes in); RST rises 1000 card clocks later, TS starts 30 etu
// after it, each further character 12 etu after the one before, and the last one is complete
// 10 etu after its leading edge and at the host one byte time later; then the 5 ms pause.
double ColdResetMs(size_t atrBytes, double gapEtu = 0) {
    const double us = 28 * kHostByteUs + 200'000 + 1000 * kClockUs +
                      (30 + (12 + gapEtu) * static_cast<double>(atrBytes - 1) + 10) * kEtuUs + kHostByteUs + 5'000;
    return us / 1000;
}

TEST(CardPower, cold_reset_of_the_default_t1_and_t0_cards_takes_the_time_of_the_line) {
    for (const auto& [name, atrBytes] : {std::pair<std::string, size_t>{"t1", 12}, {"t0", 7}}) {
        CardSession s;
        s.Start(name);
        const auto p = s.Power(SCARD_COLD_RESET);
        ASSERT_EQ(p.status, STATUS_SUCCESS) << name;
        EXPECT_EQ(p.information, atrBytes);
        EXPECT_NEAR(s.LastMs(), ColdResetMs(atrBytes), 0.001) << name;
        std::printf("[ timing   ] %s cold reset %.3f ms, from the line %.3f ms\n", name.c_str(), s.LastMs(),
                    ColdResetMs(atrBytes));
        EXPECT_EQ(s.State(), (ULONG)SCARD_NEGOTIABLE);
        // No protocol yet: the receive time-outs follow the T=0 formulas.
        EXPECT_EQ(s.Reader()->CharTimeout, 1346u);
        EXPECT_EQ(s.Reader()->TotalTimeout, 1396u);
    }
}

TEST(CardPower, atr_bytes_940_ms_apart_are_still_an_atr) {
    // 9000 etu between characters, inside the 9600 of ISO/IEC 7816-3 but far beyond the port's
    // 100 ms read time-out of the start-up.
    CardSession s;
    s.Start("atr-slow");
    const auto p = s.Power(SCARD_COLD_RESET);
    ASSERT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(Reply(p), sim::cards::CardProfiles()[0].atr.empty() ? Bytes{} : s.Atr());
    EXPECT_EQ(s.Atr().size(), 12u);
    EXPECT_NEAR(s.LastMs(), ColdResetMs(12, 9000), 0.001);
}

TEST(CardPower, tck_that_never_comes_is_given_up_at_the_readers_time_out) {
    // TD1 names T=1 and the card sends no TCK.  The reader reports the silence 9600 etu (its
    // character time-out of a reset) after TD1's leading edge, in two bytes; the engine's read
    // then runs out after the port's 1200 ms, inside the 2400 ms the driver waits for a TCK.
    CardSession s;
    s.Start("atr:3B 80 01");
    const auto p = s.Power(SCARD_COLD_RESET);
    ASSERT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(p.information, 3u);
    const double us = 28 * kHostByteUs + 200'000 + 1000 * kClockUs + (30 + 2 * 12 + 9600) * kEtuUs +
                      2 * kHostByteUs + 1'200'000 + 5'000;
    EXPECT_NEAR(s.LastMs(), us / 1000, 0.001);
}

TEST(CardPower, inverse_ts_is_reported_and_stored_as_3f) {
    CardSession s;
    s.Start("inverse");
    const auto p = s.Power(SCARD_COLD_RESET);
    ASSERT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(Reply(p), Hex("3F 14 13 4C 4D 34 30"));
    EXPECT_EQ(s.Atr(), Hex("3F 14 13 4C 4D 34 30"));
    EXPECT_TRUE(s.Smartcard()->CardCapabilities.InversConvention);
}

TEST(CardPower, atr_of_two_bytes_is_success_with_nothing_stored_and_three_bytes_are_stored) {
    CardSession s;
    s.Start("atr:3B 00");
    auto p = s.Power(SCARD_COLD_RESET);
    EXPECT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(p.information, 0u);
    EXPECT_EQ(s.Smartcard()->CardCapabilities.ATR.Length, 0);
    s.Remove();
    s.rig.K().Sleep(5);
    s.Insert("atr:3B 01 4C");
    p = s.Power(SCARD_COLD_RESET);
    EXPECT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(Reply(p), Hex("3B 01 4C"));
    EXPECT_EQ(s.Atr(), Hex("3B 01 4C"));
    EXPECT_EQ(s.State(), (ULONG)SCARD_NEGOTIABLE);
}

// TS T0=FF, TA1 TB1 TC1 TD1=E1 (T=1), TB2 TC2 TD2=F1, TA3..TD3=F1, TA4..TD4, fifteen historical
// bytes, TCK: 33 bytes, four groups.  With TD4 = 11 a fifth group of TA5 makes 34.
Bytes LongAtr(bool fifthGroup) {
    Bytes atr = {0x3B, 0xFF, 0x11, 0x00, 0x00, 0xE1, 0x00, 0x00, 0xF1, 0x20, 0x45, 0x00, 0xF1,
                 0x00, 0x00, 0x00, static_cast<uint8_t>(fifthGroup ? 0x11 : 0x01)};
    if (fifthGroup) atr.push_back(0x07);
    for (uint8_t h = 0; h < 15; ++h) atr.push_back(static_cast<uint8_t>(0xA0 + h));
    atr.push_back(Xor(atr));
    return atr;
}

std::string AtrCard(const Bytes& atr) {
    std::string hex = "atr:";
    for (uint8_t b : atr) {
        char t[4];
        std::snprintf(t, sizeof t, "%02X", b);
        hex += t;
    }
    return hex;
}

TEST(CardPower, atr_with_a_fourth_group_is_received_whole_and_recorded_in_three) {
    const Bytes atr = LongAtr(false);
    ASSERT_EQ(atr.size(), 33u);
    CardSession s;
    s.Start(AtrCard(atr));
    // The largest legal answer fills a reply of exactly its size; one byte less of room is
    // refused before the card is touched.
    EXPECT_EQ(s.Power(SCARD_COLD_RESET, 32).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Sent(), "");
    const auto p = s.Power(SCARD_COLD_RESET, 33);
    ASSERT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(Reply(p), atr);
    EXPECT_EQ(s.Atr(), atr);
    EXPECT_EQ(s.State(), (ULONG)SCARD_NEGOTIABLE);
    const auto& caps = s.Smartcard()->CardCapabilities;
    ASSERT_EQ(caps.HistoricalChars.Length, 15);
    EXPECT_EQ(caps.HistoricalChars.Buffer[0], 0xA0);
    EXPECT_TRUE(caps.TckPresent);
    const ATR_INTERFACE_BYTE* ib = s.Reader()->AtrInterfaceBytes;
    EXPECT_EQ(ib[3].Present, 1);
    EXPECT_EQ(ib[3].Value, 0xE1);    // TD1
    EXPECT_EQ(ib[4].Present, 0);     // no TA2
    EXPECT_EQ(ib[11].Value, 0xF1);   // TD3, announcing the fourth group
    EXPECT_EQ(ib[8].Value, 0x20);    // TA3
}

TEST(CardPower, atr_longer_than_33_bytes_is_copied_but_not_stored) {
    const Bytes atr = LongAtr(true);
    ASSERT_EQ(atr.size(), 34u);
    CardSession s;
    s.Start(AtrCard(atr));
    const auto p = s.Power(SCARD_COLD_RESET);
    EXPECT_EQ(p.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Smartcard()->CardCapabilities.ATR.Length, 0);
    // Called directly, the caller's reply has the answer all the same.
    Bytes reply(64);
    ULONG information = 0;
    s.Smartcard()->IoRequest.ReplyBuffer = reply.data();
    s.Smartcard()->IoRequest.ReplyBufferLength = 64;
    s.Smartcard()->IoRequest.Information = &information;
    s.Smartcard()->MinorIoControlCode = SCARD_COLD_RESET;
    EXPECT_EQ(CardPower(s.Smartcard()), STATUS_BUFFER_TOO_SMALL);
    s.Smartcard()->IoRequest.ReplyBuffer = nullptr;
    s.Smartcard()->IoRequest.Information = nullptr;
    EXPECT_EQ(information, 34u);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 34), atr);
}

// The driver's own callers and a caller with a small reply buffer: the routine called directly.
class DirectPower : public ::testing::Test {
protected:
    void SetUp() override { s.Start("t1-crc"); }
    NTSTATUS Call(ULONG minor, ULONG replyLength) {
        PSMARTCARD_EXTENSION sc = s.Smartcard();
        reply.assign(64, 0xEE);
        information = 0xDEAD;
        sc->IoRequest.ReplyBuffer = reply.data();
        sc->IoRequest.ReplyBufferLength = replyLength;
        sc->IoRequest.Information = &information;
        sc->MinorIoControlCode = minor;
        NTSTATUS status = CardPower(sc);
        sc->IoRequest.ReplyBuffer = nullptr;
        sc->IoRequest.Information = nullptr;
        return status;
    }
    CardSession s;
    Bytes reply;
    ULONG information = 0;
};

TEST_F(DirectPower, reply_buffer_smaller_than_the_atr_is_left_alone) {
    EXPECT_EQ(Call(SCARD_COLD_RESET, 10), STATUS_SUCCESS);
    EXPECT_EQ(information, 0xDEADu);
    EXPECT_EQ(reply, Bytes(64, 0xEE));
    EXPECT_EQ(s.Atr().size(), 13u);
    EXPECT_EQ(s.State(), (ULONG)SCARD_NEGOTIABLE);
}

TEST_F(DirectPower, power_down_clears_atr_and_protocol_and_touches_no_reply) {
    ASSERT_EQ(Call(SCARD_COLD_RESET, 64), STATUS_SUCCESS);
    ASSERT_EQ(s.Select(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    EXPECT_EQ(Call(SCARD_POWER_DOWN, 64), STATUS_SUCCESS);
    EXPECT_EQ(information, 0xDEADu);
    EXPECT_EQ(s.Smartcard()->CardCapabilities.ATR.Length, 0);
    EXPECT_EQ(s.Smartcard()->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_EQ(s.State(), (ULONG)SCARD_PRESENT);
}

TEST_F(DirectPower, other_minor_codes_do_nothing_to_the_card) {
    ASSERT_EQ(Call(SCARD_COLD_RESET, 64), STATUS_SUCCESS);
    s.Sent();
    EXPECT_EQ(Call(7, 64), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(s.Sent(), "");
    EXPECT_EQ(s.Smartcard()->CardCapabilities.ATR.Length, 0);
}

TEST_F(DirectPower, warm_reset_switches_the_card_off_only_when_it_is_not_powered) {
    // SCARD_PRESENT: carried out as a cold reset, with register 4 written first.
    ASSERT_EQ(Call(SCARD_WARM_RESET, 64), STATUS_SUCCESS);
    EXPECT_NE(s.Sent().find("84 00"), std::string::npos);
    // SCARD_NEGOTIABLE and SCARD_SPECIFIC: RST alone.
    ASSERT_EQ(Call(SCARD_WARM_RESET, 64), STATUS_SUCCESS);
    EXPECT_EQ(s.Sent().find("84 00"), std::string::npos);
    ASSERT_EQ(s.Select(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    s.Sent();
    ASSERT_EQ(Call(SCARD_WARM_RESET, 64), STATUS_SUCCESS);
    EXPECT_EQ(s.Sent().find("84 00"), std::string::npos);
    EXPECT_EQ(information, 13u);
    s.Smartcard()->ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
    ASSERT_EQ(Call(SCARD_WARM_RESET, 64), STATUS_SUCCESS);
    EXPECT_NE(s.Sent().find("84 00"), std::string::npos);
}

TEST_F(DirectPower, power_down_of_a_pulled_card_claims_no_card_and_completes_no_is_present) {
    ASSERT_EQ(Call(SCARD_COLD_RESET, 64), STATUS_SUCCESS);
    s.Remove();
    s.rig.K().Sleep(5);
    ASSERT_EQ(s.State(), (ULONG)SCARD_ABSENT);
    auto present = s.rig.Async(s.handle, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_FALSE(present->Wait(10));
    // As the exchanges power down a card that stopped answering.
    EXPECT_EQ(Call(SCARD_POWER_DOWN, 64), STATUS_SUCCESS);
    EXPECT_EQ(s.State(), (ULONG)SCARD_ABSENT);
    EXPECT_FALSE(present->Wait(10));
    s.Insert("t1");
    ASSERT_TRUE(present->Wait(10));
    EXPECT_EQ(present->Result().status, STATUS_SUCCESS);
}

TEST(CardPower, card_that_never_starts_its_atr_is_unrecognized_media) {
    CardSession s;
    ASSERT_EQ(s.rig.StartAndOpen(s.handle), STATUS_SUCCESS);
    sim::AtrCardOptions o;
    o.atr = Hex("3B 00");
    o.ts_delay_etu = 100'000;  // beyond the reader's 40000 clock cycles
    s.rig.Port().WithReader([&](sim::ReaderFirmware& reader) { reader.InsertCard(std::make_unique<sim::AtrCard>(o)); });
    s.rig.K().Sleep(5);
    const auto p = s.Power(SCARD_COLD_RESET);
    EXPECT_EQ(p.status, STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(s.Reader()->TotalTimeout, 120u);
    EXPECT_EQ(s.Reader()->CharTimeout, 0u);
    EXPECT_EQ(s.State(), (ULONG)SCARD_PRESENT);  // switched off again, still there
    // The reader reports the silence 40000 clock cycles after RST; the port's read ends 100 ms
    // after that report: the reset then switches the card off (3 bytes and 200 ms).
    std::printf("[ timing   ] no TS: %.3f ms\n", s.LastMs());
    EXPECT_LT(s.LastMs(), 120 + 28 * kHostByteUs / 1000 + 400);
}

// ---- the answer to reset byte by byte from a scripted reader -------------------------------

// The scripted reader's commands answered by a peer of this test's own, which sends the
// answer to reset right behind its reply to the activation (register 3 <- 0x1D), on the line's
// clock; the time of that activation is kept, to count the reset's waits from.
class ScriptedAtr : public FakeReaderTest {
protected:
    void SetUp() override {
        FakeReaderTest::SetUp();
        rig->Line().SetPeerReceive([this](uint8_t b, uint32_t) { OnByte(b); });
    }
    void OnByte(uint8_t b) {
        sent.push_back(b);
        if (command.empty() && (b & 0xC0) == 0xC0) {
            rig->Line().PeerSend(b == 0xC2 ? 0x6C : 0x00);
            return;
        }
        command.push_back(b);
        const size_t want = (command[0] & 0xC0) == 0x80 ? ((command[0] & 0x3F) >= 5 ? 4 : 2) : 1 + (command[0] & 0x3F);
        if (command.size() < want) return;
        const bool activation = command[0] == 0x83 && command[1] == 0x1D;
        command.clear();
        rig->Line().PeerSend(0x90);
        if (!activation) return;
        activatedNs = rig->K().NowNs();
        for (uint8_t a : atr) rig->Line().PeerSend(a);
    }
    // A cold reset with `answer` as the card's answer; `took` runs from the activation
    // command's arrival to the reset's return.
    NTSTATUS Reset(const Bytes& answer) {
        atr = answer;
        length = sizeof(buffer);
        NTSTATUS status = ResetCard(r, FALSE, buffer, &length);
        took = static_cast<double>(rig->K().NowNs() - activatedNs) / 1e6;
        return status;
    }
    Bytes Atr() const { return Bytes(buffer, buffer + length); }
    Bytes atr, command, sent;
    uint64_t activatedNs = 0;
    UCHAR buffer[64] = {};
    ULONG length = 0;
    double took = 0;
};

// Which answers end with a TCK that is waited for.  A TCK that does not come costs the 1200 +
// 1 x 1200 ms of its receive, counted from the byte before it; then the 5 ms pause.
TEST_F(ScriptedAtr, tck_decision_table) {
    struct Row {
        const char* atr;
        size_t length;
        bool waited;
    } rows[] = {
        {"3B 80 00", 3, false},           // TD1 names T=0, no TD2: no TCK
        {"3B 80 01", 3, true},            // TD1 names T=1: TCK due, never comes
        {"3B 80 01 81", 4, false},        // ... and comes
        {"3B 80 80 01 01", 5, false},     // TD1 T=0, TD2 T=1: read
        {"3B 80 81 00 01", 5, false},     // TD1 T=1, TD2 T=0: read as well (ISO/IEC 7816-3 8.2.5)
        {"3B 80 80 80 01 81", 6, false},  // T=1 named in TD3 only: read
    };
    for (const Row& row : rows) {
        const Bytes atr = Hex(row.atr);
        ASSERT_EQ(Reset(atr), STATUS_SUCCESS) << row.atr;
        EXPECT_EQ(length, row.length) << row.atr;
        // The reply to the activation, then the answer's bytes back to back.
        const double bytesMs = static_cast<double>(1 + atr.size()) * kHostByteUs / 1000;
        EXPECT_NEAR(took, bytesMs + (row.waited ? 2400 : 0) + 5, 0.001) << row.atr;
        EXPECT_EQ(r->RxCount, 0u) << row.atr;  // nothing left for the protocol selection
    }
}

TEST_F(ScriptedAtr, a_byte_after_the_answer_is_dropped) {
    // A T=0 card that sends a TCK its answer does not announce: the answer is taken without it
    // and the byte is not left for the protocol selection to stumble over.
    ASSERT_EQ(Reset(Hex("3B 01 41 40")), STATUS_SUCCESS);
    EXPECT_EQ(Atr(), Hex("3B 01 41"));
    EXPECT_EQ(r->RxCount, 0u);
}

TEST_F(ScriptedAtr, interface_bytes_are_recorded_by_group_and_position) {
    // 3B 81 80 01 80 80: TD1 80 (protocol 0), TD2 01 (protocol 1), one historical byte, TCK.
    ASSERT_EQ(Reset(Hex("3B 81 80 01 80 80")), STATUS_SUCCESS);
    EXPECT_EQ(Atr(), Hex("3B 81 80 01 80 80"));
    for (int i = 0; i < 12; ++i) EXPECT_EQ(r->AtrInterfaceBytes[i].Present, (i == 3 || i == 7) ? 1 : 0) << i;
    EXPECT_EQ(r->AtrInterfaceBytes[3].Value, 0x80);
    EXPECT_EQ(r->AtrInterfaceBytes[7].Value, 0x01);
}

TEST_F(ScriptedAtr, a_byte_the_reader_flags_faulty_fails_the_reset) {
    // The first historical byte arrives as 0x10 0x88 and is held as 0x00; without a TCK
    // nothing else would notice.
    EXPECT_EQ(Reset({0x3B, 0x02, 0x10, 0x88, 0x41}), STATUS_DATA_ERROR);
    // The card is switched off again after the failure.
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(Bytes(sent.end() - 2, sent.end()), (Bytes{0x84, 0x00}));
    // As the last byte of the answer the faulty one leaves the engine's read to run out.
    EXPECT_NE(Reset({0x3B, 0x01, 0x10, 0x88}), STATUS_SUCCESS);
    EXPECT_EQ(Reset(Hex("3B 02 41 42")), STATUS_SUCCESS);  // the flag does not stick
}

TEST_F(ScriptedAtr, ts_other_than_3b_3f_03_is_a_data_error_and_missing_bytes_unrecognized_media) {
    EXPECT_EQ(Reset(Hex("3C 00")), STATUS_DATA_ERROR);
    EXPECT_EQ(Reset(Hex("3B 03 41")), STATUS_UNRECOGNIZED_MEDIA);  // two historical bytes short
    EXPECT_EQ(r->TotalTimeout, 1200u);
    EXPECT_EQ(r->CharTimeout, 1200u);
}

}  // namespace
