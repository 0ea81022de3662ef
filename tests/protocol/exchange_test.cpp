// The T=0 and T=1 exchanges against a card the test plays behind a scripted reader: procedure
// bytes and blocks no simulated card sends (odd INS, a count run past its end, LEN FF, stale
// bytes, faulty bytes at chosen places, a card pulled while the driver waits), in virtual time.
#include "fake_reader.h"
#include "rig.h"
#include "sim/cards/t1_card.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>

using namespace lmscr;
using namespace lmscr::test;

namespace {

using Bytes = std::vector<uint8_t>;

// Wire bytes from the reader: card bytes are escape-coded, events follow 0x10.
Bytes Card(const Bytes& bytes) {
    Bytes out;
    for (uint8_t b : bytes) {
        if (b == 0x10) out.push_back(0x10);
        out.push_back(b);
    }
    return out;
}
const Bytes kFaulty = {0x10, 0x88};
const Bytes kBlockEnd = {0x10, 0x83};
const Bytes kRemoved = {0x10, 0x86};

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

constexpr uint64_t kMs = 1'000'000;

// The card behind the scripted reader: after the reader's reply to a send-data command (T=0),
// or to the last command of a whole block (T=1), the next reaction's wire bytes follow after
// its delay.  Without a reaction the card is silent.
class PlayedCard {
public:
    struct Reaction {
        Bytes wire;
        uint64_t delayNs = 0;
    };

    PlayedCard(ReaderRig& rig, bool blocks, size_t epilogue = 1) : rig_(rig), blocks_(blocks), epilogue_(epilogue) {
        rig_.Fake().onCardData = [this](const Bytes& bytes) { OnData(bytes); };
    }
    ~PlayedCard() { rig_.Fake().onCardData = nullptr; }

    void Then(Bytes wire, uint64_t delayNs = 0) { reactions_.push_back({std::move(wire), delayNs}); }
    // What the driver sent: each send-data command's bytes (T=0) or each whole block (T=1).
    std::vector<Bytes> sent;
    std::vector<uint64_t> sentAt;

private:
    void OnData(const Bytes& bytes) {
        if (blocks_) {
            pending_.insert(pending_.end(), bytes.begin(), bytes.end());
            if (pending_.size() < 3 || pending_.size() < 3 + pending_[2] + epilogue_) return;
            sent.push_back(pending_);
            pending_.clear();
        } else {
            sent.push_back(bytes);
        }
        sentAt.push_back(rig_.Line().Clock().NowNs());
        if (reactions_.empty()) return;
        Reaction r = reactions_.front();
        reactions_.pop_front();
        if (r.delayNs == 0) {
            rig_.Fake().SendNow(r.wire);
        } else {
            rig_.Line().Clock().After(r.delayNs, [this, wire = r.wire] { rig_.Fake().SendNow(wire); });
        }
    }

    ReaderRig& rig_;
    bool blocks_;
    size_t epilogue_;
    Bytes pending_;
    std::deque<Reaction> reactions_;
};

// ---- T=0 ------------------------------------------------------------------------------------

class T0Exchange : public FakeReaderTest {
protected:
    // RunT0Procedure on `command` with T0.Le = le, inside a card exchange; the reply as stored.
    NTSTATUS Run(const Bytes& command, ULONG le, Bytes* reply = nullptr, ULONG replySize = 300) {
        rig->Smartcard()->T0.Le = le;
        Bytes buffer(replySize + 16, 0xEE);
        ULONG length = replySize;
        const uint64_t before = rig->K().NowNs();
        BeginCardExchange(r);
        NTSTATUS status = RunT0Procedure(rig->Smartcard(), command.data(), static_cast<ULONG>(command.size()),
                                         buffer.data(), &length);
        EndCardExchange(r);
        tookNs = rig->K().NowNs() - before;
        // Nothing is stored past the reply buffer's end.
        for (size_t i = replySize; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << i;
        if (reply) *reply = status == STATUS_SUCCESS ? Bytes(buffer.begin(), buffer.begin() + length) : Bytes{};
        return status;
    }
    uint64_t tookNs = 0;
};

const Bytes kSelect = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

TEST_F(T0Exchange, every_procedure_byte_of_select) {
    // INS A4: A4 and A5 acknowledge, 5B and 5A ask for one byte, 61 is SW1.
    struct Case {
        std::vector<Bytes> card;  // the card's answer to each send step
        std::vector<Bytes> steps;  // what each send step carried
        Bytes reply;
    };
    const Case cases[] = {
        {{{0xA4}, {0x90, 0x00}}, {{0x00, 0xA4, 0x00, 0x00, 0x02}, {0x3F, 0x00}}, {0x90, 0x00}},
        {{{0xA5}, {0x90, 0x00}}, {{0x00, 0xA4, 0x00, 0x00, 0x02}, {0x3F, 0x00}}, {0x90, 0x00}},
        {{{0x5B}, {0x5A}, {0x90, 0x00}}, {{0x00, 0xA4, 0x00, 0x00, 0x02}, {0x3F}, {0x00}}, {0x90, 0x00}},
        {{{0x61, 0x12}}, {{0x00, 0xA4, 0x00, 0x00, 0x02}}, {0x61, 0x12}},
        // NULL bytes before a procedure byte, and after all the data went out.
        {{{0x60, 0x60, 0xA4}, {0x60, 0x90, 0x00}}, {{0x00, 0xA4, 0x00, 0x00, 0x02}, {0x3F, 0x00}}, {0x90, 0x00}},
    };
    for (const Case& c : cases) {
        PlayedCard card(*rig, false);
        for (const auto& a : c.card) card.Then(Card(a));
        Bytes reply;
        EXPECT_EQ(Run(kSelect, 0, &reply), STATUS_SUCCESS);
        EXPECT_EQ(reply, c.reply);
        EXPECT_EQ(card.sent, c.steps);
    }
}

TEST_F(T0Exchange, odd_ins_is_acknowledged_by_itself_and_its_complement) {
    // READ BINARY with an offset data object (INS B1), case 4: the card acknowledges with B1,
    // takes the data, and answers 61 06; or asks for the data byte by byte with 4E.
    const Bytes command = {0x00, 0xB1, 0x00, 0x00, 0x04, 0x54, 0x02, 0x00, 0x10};
    {
        PlayedCard card(*rig, false);
        card.Then(Card({0xB1}));
        card.Then(Card({0x61, 0x06}));
        Bytes reply;
        EXPECT_EQ(Run(command, 0, &reply), STATUS_SUCCESS);
        EXPECT_EQ(reply, (Bytes{0x61, 0x06}));
        ASSERT_EQ(card.sent.size(), 2u);
        EXPECT_EQ(card.sent[1], (Bytes{0x54, 0x02, 0x00, 0x10}));
    }
    {
        PlayedCard card(*rig, false);
        for (int i = 0; i < 4; ++i) card.Then(Card({0x4E}));
        card.Then(Card({0x61, 0x06}));
        Bytes reply;
        EXPECT_EQ(Run(command, 0, &reply), STATUS_SUCCESS);
        EXPECT_EQ(reply, (Bytes{0x61, 0x06}));
        EXPECT_EQ(card.sent.size(), 5u);
    }
    // GET RESPONSE's INS C0 is even: C1 acknowledges as well.
    {
        PlayedCard card(*rig, false);
        card.Then(Card({0xC1, 0x53, 0x04, 0x01, 0x02, 0x03, 0x04, 0x90, 0x00}));
        Bytes reply;
        EXPECT_EQ(Run({0x00, 0xC0, 0x00, 0x00, 0x06}, 6, &reply), STATUS_SUCCESS);
        EXPECT_EQ(reply, (Bytes{0x53, 0x04, 0x01, 0x02, 0x03, 0x04, 0x90, 0x00}));
    }
}

TEST_F(T0Exchange, data_byte_by_byte_both_ways) {
    // Ten command bytes asked for one by one: ten one-byte send steps after the header.
    {
        Bytes command = {0x00, 0xD6, 0x00, 0x00, 0x0A};
        for (uint8_t i = 0; i < 10; ++i) command.push_back(static_cast<uint8_t>(0x10 + i));
        PlayedCard card(*rig, false);
        for (int i = 0; i < 10; ++i) card.Then(Card({0x29}));
        card.Then(Card({0x90, 0x00}));
        Bytes reply;
        EXPECT_EQ(Run(command, 0, &reply), STATUS_SUCCESS);
        EXPECT_EQ(reply, (Bytes{0x90, 0x00}));
        ASSERT_EQ(card.sent.size(), 11u);
        for (size_t i = 1; i < 11; ++i) EXPECT_EQ(card.sent[i], (Bytes{static_cast<uint8_t>(0x10 + i - 1)}));
    }
    // Three answer bytes, each after NOT INS, then SW1 SW2 in one read with no procedure byte.
    {
        PlayedCard card(*rig, false);
        card.Then(Card({0x4F, 0x01, 0x60, 0x4F, 0x02, 0x4F, 0x03, 0x90, 0x00}));
        Bytes reply;
        EXPECT_EQ(Run({0x00, 0xB0, 0x00, 0x00, 0x03}, 3, &reply), STATUS_SUCCESS);
        EXPECT_EQ(reply, (Bytes{0x01, 0x02, 0x03, 0x90, 0x00}));
        EXPECT_EQ(card.sent.size(), 1u);
    }
    // SW1 SW2 at once although data were asked for: a two-byte reply.
    {
        PlayedCard card(*rig, false);
        card.Then(Card({0x6C, 0x10}));
        Bytes reply;
        EXPECT_EQ(Run({0x00, 0xB0, 0x00, 0x00, 0x20}, 0x20, &reply), STATUS_SUCCESS);
        EXPECT_EQ(reply, (Bytes{0x6C, 0x10}));
    }
}

TEST_F(T0Exchange, a_card_announcing_bytes_past_the_answer_fails_with_a_protocol_error) {
    // No answer data are due (Le 0): one more NOT INS after the data would run the expected
    // count below SW1 SW2 and on into the receive engine's "nobody waits" value.
    const Bytes command = {0x00, 0xD6, 0x00, 0x00, 0x01, 0x55};
    for (const Bytes& answer : {Bytes{0x29}, Bytes{0x29, 0x00, 0x29, 0x00, 0x90, 0x00}}) {
        PlayedCard card(*rig, false);
        card.Then(Card({0xD6}));
        card.Then(Card(answer));
        EXPECT_EQ(Run(command, 0), STATUS_DEVICE_PROTOCOL_ERROR);
        // At once: no wait for bytes that would never be counted.
        EXPECT_LT(tookNs, 20 * kMs);
        rig->K().Sleep(50);
    }
}

// SW1 is 6X or 9X; SW2 any byte.  Any other byte where a procedure byte is due is a card out of
// step, and must never come back to the application as a status word.
TEST_F(T0Exchange, only_6x_and_9x_end_a_command_as_a_status_word) {
    struct Case {
        std::vector<Bytes> card;  // the card's answer to each send step
        NTSTATUS status;
        Bytes reply;
    };
    const Case cases[] = {
        // Also what a card that answers inside the last send step leaves: its 90 taken for the
        // reader's, then 00 where the procedure byte is due.
        {{{0x00, 0x90}}, STATUS_DEVICE_PROTOCOL_ERROR, {}},
        {{{0xB0, 0x01}}, STATUS_DEVICE_PROTOCOL_ERROR, {}},
        {{{0x70, 0x00}}, STATUS_DEVICE_PROTOCOL_ERROR, {}},
        {{{0xFF, 0xFF}}, STATUS_DEVICE_PROTOCOL_ERROR, {}},
        // After the data went out, a byte that is no SW1 either.
        {{{0xA4}, {0x60, 0x80, 0x00}}, STATUS_DEVICE_PROTOCOL_ERROR, {}},
        {{{0x6A, 0x82}}, STATUS_SUCCESS, {0x6A, 0x82}},
        {{{0x9F, 0x10}}, STATUS_SUCCESS, {0x9F, 0x10}},
        {{{0x60, 0x6F, 0x00}}, STATUS_SUCCESS, {0x6F, 0x00}},
        {{{0x63, 0x60}}, STATUS_SUCCESS, {0x63, 0x60}},  // SW2 may be any byte, 60 too
        {{{0xA4}, {0x91, 0xFF}}, STATUS_SUCCESS, {0x91, 0xFF}},
    };
    for (const Case& c : cases) {
        PlayedCard card(*rig, false);
        for (const auto& a : c.card) card.Then(Card(a));
        Bytes reply;
        EXPECT_EQ(Run(kSelect, 0, &reply), c.status) << testing::PrintToString(c.card);
        EXPECT_EQ(reply, c.reply);
        rig->K().Sleep(200);  // whatever the card still sends is over
    }
}

// NULL bytes each restart the card's waiting time; a card that sends them for ever is given up
// after 120 single-byte waits' worth (here 120 x 150 ms) and reported as not answering.
TEST_F(T0Exchange, null_bytes_hold_a_command_for_120_waits_at_most) {
    bool nulls = true;
    std::function<void()> again = [&] {
        if (!nulls) return;
        rig->Fake().SendNow(Card({0x60}));
        rig->Line().Clock().After(100 * kMs, again);
    };
    rig->Fake().onCardData = [&](const Bytes&) { again(); };
    EXPECT_EQ(Run(kSelect, 0), STATUS_IO_TIMEOUT);
    // The header's command and the reader's reply (7 bytes on the host line, 3.646 ms), then
    // NULLs 100 ms apart: the 181st, the first to arrive after 18 s, ends the command.
    EXPECT_EQ(tookNs, 18'003'645'838u);
    nulls = false;
    rig->Fake().onCardData = nullptr;
    rig->K().Sleep(200);
}

TEST_F(T0Exchange, single_bytes_past_the_reply_buffer_are_refused) {
    PlayedCard card(*rig, false);
    card.Then(Card({0x4F, 0x01, 0x4F, 0x02, 0x4F, 0x03, 0x4F, 0x04, 0x4F, 0x05}));
    EXPECT_EQ(Run({0x00, 0xB0, 0x00, 0x00, 0x08}, 8, nullptr, 4), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(T0Exchange, faulty_last_byte_turns_a_complete_answer_into_a_time_out) {
    PlayedCard card(*rig, false);
    card.Then(Card({0xB0, 0x01, 0x02, 0x90}) + kFaulty);
    EXPECT_EQ(Run({0x00, 0xB0, 0x00, 0x00, 0x02}, 2), STATUS_IO_TIMEOUT);
}

TEST_F(T0Exchange, card_pulled_while_the_driver_waits_ends_the_exchange_at_once) {
    // Without the removal the wait for the procedure byte would last 150 ms; the card leaves
    // 20 ms into it.  And a removal while no wait is in progress fails the next wait at once.
    PlayedCard card(*rig, false);
    card.Then(kRemoved, 20 * kMs);
    EXPECT_EQ(Run(kSelect, 0), STATUS_NO_MEDIA);
    EXPECT_LT(tookNs, 25 * kMs);
    EXPECT_EQ(rig->Smartcard()->ReaderCapabilities.CurrentState, (ULONG)SCARD_ABSENT);
    EXPECT_FALSE(r->ExchangeInProgress);
    EXPECT_FALSE(r->CardRemovedInExchange);

    PlayedCard again(*rig, false);
    again.Then(Card({0xA4}) + kRemoved);
    EXPECT_EQ(Run(kSelect, 0), STATUS_NO_MEDIA);
    EXPECT_LT(tookNs, 25 * kMs);

    // A removal between two waits of an exchange: the next wait fails without waiting.
    rig->K().Sleep(10);
    r->RxCount = 0;  // what the last exchange left unread
    BeginCardExchange(r);
    rig->Fake().Send(kRemoved);
    rig->K().Sleep(10);
    const uint64_t before = rig->K().NowNs();
    UCHAR b;
    EXPECT_EQ(ReadReceived(r, &b, 1), STATUS_NO_MEDIA);
    EXPECT_EQ(rig->K().NowNs(), before);
    EndCardExchange(r);
}

TEST_F(T0Exchange, refused_send_waits_out_the_reader_s_answers_to_what_it_misread) {
    // A lost byte makes the reader read the rest of a command as commands of its own; it
    // refuses the first and answers the others a little later.  None of those answers may be
    // taken for the reply to the driver's next command.
    rig->Fake().replyOverride = {0x84};
    auto stale = rig->SpawnAt("misread", 3 * kMs, [this] {
        rig->Fake().Send({0x90, 0x84});
        rig->K().Sleep(15);
        rig->Fake().Send({0x84});
    });
    const uint64_t before = rig->K().NowNs();
    const UCHAR chunk[4] = {0x00, 0xA4, 0x00, 0x00};
    EXPECT_EQ(SendData(r, chunk, 4), STATUS_UNSUCCESSFUL);
    rig->K().Join(stale);
    // Quiet for 25 ms after the last of them.
    EXPECT_GE(rig->K().NowNs() - before, 43 * kMs);
    UCHAR version = 0;
    EXPECT_EQ(ReadRegister(r, 0, 1, &version), STATUS_SUCCESS);
    EXPECT_EQ(version, 0x23);
}

// What reached the card is unknown: the exchange ends as a time-out, on which the card is
// powered down.
TEST_F(T0Exchange, a_send_the_reader_did_not_take_ends_as_a_time_out) {
    PlayedCard card(*rig, false);
    card.Then(Card({0xD6}));
    rig->Fake().replyOverride = {0x90, 0x84};  // the data's send-data command is refused
    EXPECT_EQ(Run({0x00, 0xD6, 0x00, 0x00, 0x02, 0x11, 0x22}, 0), STATUS_IO_TIMEOUT);
}

TEST_F(T0Exchange, transmit_refuses_raw_and_no_protocol_without_a_byte_to_the_reader) {
    auto* ext = rig->Smartcard();
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_RAW;
    EXPECT_EQ(Transmit(ext), STATUS_UNSUCCESSFUL);
    ext->CardCapabilities.Protocol.Selected = 0;
    EXPECT_EQ(Transmit(ext), STATUS_INVALID_DEVICE_REQUEST);
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    EXPECT_EQ(Transmit(ext), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(rig->Fake().received.empty());
}

// ---- T=1 ------------------------------------------------------------------------------------

// A card's block: NAD 00, the PCB, INF, and its check (LRC, or CRC with `crc`).
Bytes Block(uint8_t pcb, const Bytes& inf, bool crc = false) {
    Bytes b = {0x00, pcb, static_cast<uint8_t>(inf.size())};
    b.insert(b.end(), inf.begin(), inf.end());
    if (crc) {
        const uint16_t c = sim::cards::T1Crc(b.data(), b.size());
        b.push_back(static_cast<uint8_t>(c & 0xFF));
        b.push_back(static_cast<uint8_t>(c >> 8));
    } else {
        b.push_back(sim::cards::T1Lrc(b.data(), b.size()));
    }
    return b;
}

class T1Exchange : public FakeReaderTest {
protected:
    void Prepare(bool crc = false, uint8_t ifsc = 32, uint8_t ifsd = 32) {
        auto* ext = rig->Smartcard();
        ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
        ext->CardCapabilities.T1.EDC = crc ? T1_CRC_CHECK : T1_LRC_CHECK;
        ext->T1 = T1_DATA{};
        ext->T1.State = T1_START;
        ext->T1.OriginalState = T1_START;
        ext->T1.IFSC = ifsc;
        ext->T1.IFSD = ifsd;
        ext->T1.IfsdRequested = TRUE;
        // The card is present and powered, as the power-down after a lost card expects.
        rig->Fake().reg[4] = 0x01;
        ext->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    }

    // One application command through TransmitT1, as the library's transmit request sets it up.
    NTSTATUS Run(const Bytes& apdu, Bytes* answer = nullptr) {
        auto* ext = rig->Smartcard();
        request_.assign(8, 0);
        const ULONG protocol = SCARD_PROTOCOL_T1, headerLength = 8;
        std::memcpy(request_.data(), &protocol, 4);
        std::memcpy(request_.data() + 4, &headerLength, 4);
        request_.insert(request_.end(), apdu.begin(), apdu.end());
        reply_.assign(8 + 300, 0);
        information_ = 0;
        ext->IoRequest.RequestBuffer = request_.data();
        ext->IoRequest.RequestBufferLength = static_cast<ULONG>(request_.size());
        ext->IoRequest.ReplyBuffer = reply_.data();
        ext->IoRequest.ReplyBufferLength = static_cast<ULONG>(reply_.size());
        ext->IoRequest.Information = &information_;
        const uint64_t before = rig->K().NowNs();
        NTSTATUS status = TransmitT1(ext);
        tookNs = rig->K().NowNs() - before;
        ext->IoRequest = {};
        if (answer) *answer = status == STATUS_SUCCESS ? Bytes(reply_.begin() + 8, reply_.begin() + information_) : Bytes{};
        // Whatever happened, no extension outlives the exchange.
        EXPECT_EQ(ext->T1.Wtx, 0);
        EXPECT_EQ(r->TotalTimeout, 100u);
        EXPECT_FALSE(r->ExchangeInProgress);
        return status;
    }

    uint64_t tookNs = 0;

private:
    Bytes request_, reply_;
    ULONG information_ = 0;
};

const Bytes kCase1 = {0x00, 0x44, 0x00, 0x00};

TEST_F(T1Exchange, blocks_of_len_0_254_and_a_chain_both_ways) {
    Prepare(false, 32, 254);
    PlayedCard card(*rig, true);
    // A 40-byte command goes out in two chained I-blocks; the card acknowledges the first with
    // an R-block (LEN 0: four bytes), then answers with 252 bytes and SW1 SW2 in one block of
    // LEN 254.
    Bytes command = {0x00, 0xD6, 0x00, 0x00, 0x23};
    for (uint8_t i = 0; i < 0x23; ++i) command.push_back(i);
    Bytes answer;
    for (int i = 0; i < 252; ++i) answer.push_back(static_cast<uint8_t>(i * 7));
    card.Then(Card(Block(0x90, {})) + kBlockEnd);
    card.Then(Card(Block(0x00, answer + Bytes{0x90, 0x00})) + kBlockEnd);
    Bytes got;
    EXPECT_EQ(Run(command, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, (answer + Bytes{0x90, 0x00}));
    ASSERT_EQ(card.sent.size(), 2u);
    EXPECT_EQ(card.sent[0][1], 0x20);  // I(0, more)
    EXPECT_EQ(card.sent[0][2], 32);
    EXPECT_EQ(card.sent[1][1], 0x40);  // I(1)
    EXPECT_EQ(card.sent[1][2], 8);
}

TEST_F(T1Exchange, crc_cards_are_received_with_both_check_bytes) {
    Prepare(true);
    PlayedCard card(*rig, true, 2);
    card.Then(Card(Block(0x00, {0x01, 0x02, 0x90, 0x00}, true)) + kBlockEnd);
    Bytes got;
    EXPECT_EQ(Run(kCase1, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, (Bytes{0x01, 0x02, 0x90, 0x00}));
    ASSERT_EQ(card.sent.size(), 1u);
    EXPECT_EQ(card.sent[0].size(), 3u + 4 + 2);
}

TEST_F(T1Exchange, end_of_block_report_in_the_same_run_as_the_last_byte) {
    // The whole block and the reader's report arrive in one burst, so the engine reads the
    // report in the run that completed the block; the block must not fail for it, and the
    // exchange ends when the report is in, not a character waiting time later.
    Prepare();
    PlayedCard card(*rig, true);
    card.Then(Card(Block(0x00, {0x90, 0x00})) + kBlockEnd);
    EXPECT_EQ(Run(kCase1), STATUS_SUCCESS);
    const uint64_t withReport = tookNs;
    // Without a report the driver waits the character waiting time (50 ms) for it.
    card.Then(Card(Block(0x40, {0x90, 0x00})));
    EXPECT_EQ(Run(kCase1), STATUS_SUCCESS);
    EXPECT_LT(withReport, 20 * kMs);
    EXPECT_GE(tookNs, withReport + 45 * kMs);
}

TEST_F(T1Exchange, waiting_time_extension_stretches_one_prologue_wait) {
    // The card asks for 4 x its waiting time and answers 500 ms after the grant: inside 3 x 50 +
    // 4 x 100 ms, outside the 250 ms without the extension.
    Prepare();
    PlayedCard card(*rig, true);
    card.Then(Card(Block(0xC3, {0x04})) + kBlockEnd);
    card.Then(Card(Block(0x00, {0x90, 0x00})) + kBlockEnd, 500 * kMs);
    Bytes got;
    EXPECT_EQ(Run(kCase1, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, (Bytes{0x90, 0x00}));
    ASSERT_EQ(card.sent.size(), 2u);
    EXPECT_EQ(card.sent[1], (Bytes{0x00, 0xE3, 0x01, 0x04, 0xE6}));  // S(WTX response)

    // Once granted, the extension is gone: the same answer 500 ms late is now lost.
    card.Then(Card(Block(0x40, {0x90, 0x00})) + kBlockEnd, 500 * kMs);
    card.Then(Card(Block(0x40, {0x90, 0x00})) + kBlockEnd);
    EXPECT_EQ(Run(kCase1, &got), STATUS_SUCCESS);
    ASSERT_EQ(card.sent.size(), 4u);
    EXPECT_EQ(card.sent[3][1] & 0xC0, 0x80);  // an R-block asked for the lost answer
}

TEST_F(T1Exchange, failed_send_of_the_extension_grant_restores_the_wait_and_gives_the_card_up) {
    Prepare();
    PlayedCard card(*rig, true);
    card.Then(Card(Block(0xC3, {0x03})) + kBlockEnd);
    rig->Fake().replyOverride = {0x90, 0x84};  // the grant's send-data command is refused
    EXPECT_EQ(Run(kCase1), STATUS_IO_TIMEOUT);
    // The card is in an unknown state: powered down, no protocol, the library ready to start
    // afresh once it has been reset.
    EXPECT_EQ(rig->Smartcard()->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_EQ(rig->Smartcard()->T1.State, T1_START);
}

TEST_F(T1Exchange, extension_left_by_a_failing_block_build_is_cleared) {
    Prepare();
    rig->Smartcard()->T1.Wtx = 3;
    // No application request: the library cannot build the block.
    auto* ext = rig->Smartcard();
    ext->IoRequest = {};
    EXPECT_NE(TransmitT1(ext), STATUS_SUCCESS);
    EXPECT_EQ(ext->T1.Wtx, 0);
    EXPECT_EQ(r->TotalTimeout, 100u);
    EXPECT_TRUE(rig->Fake().received.empty());
}

TEST_F(T1Exchange, len_ff_pauses_and_hands_the_library_nothing) {
    Prepare();
    PlayedCard card(*rig, true);
    card.Then(Card({0x00, 0x00, 0xFF}));
    card.Then(Card(Block(0x00, {0x90, 0x00})) + kBlockEnd);
    Bytes got;
    EXPECT_EQ(Run(kCase1, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, (Bytes{0x90, 0x00}));
    ASSERT_EQ(card.sent.size(), 2u);
    EXPECT_EQ(card.sent[1][1], 0x82);  // R(0, other error): nothing usable came
    EXPECT_GE(card.sentAt[1] - card.sentAt[0], 254 * kMs);
}

TEST_F(T1Exchange, a_block_with_a_faulty_byte_never_passes_its_check) {
    // The faulty byte is held as 0x00.  Its true value FF made the old complement of the check
    // byte come out right: each block here would then have passed with wrong data.
    struct Case {
        bool crc;
        Bytes good;
        Bytes wire;  // the first, faulty, answer
    };
    const Bytes withFf = {0x12, 0xFF, 0x90, 0x00};
    // 00 ^ 00 ^ 04 ^ 12 ^ 79 ^ 90 ^ 00 = FF: the check byte's true value is FF.
    const Bytes checkFf = {0x12, 0x79, 0x90, 0x00};
    const Bytes crcBlock = Block(0x00, withFf, true);
    const Case cases[] = {
        // FF in the data reported faulty.
        {false, withFf, Card({0x00, 0x00, 0x04, 0x12}) + kFaulty + Card({0x90, 0x00, Block(0x00, withFf).back()})},
        // The check byte FF reported faulty.
        {false, checkFf, Card({0x00, 0x00, 0x04, 0x12, 0x79, 0x90, 0x00}) + kFaulty},
        {true, withFf, Card({0x00, 0x00, 0x04, 0x12}) + kFaulty + Card({0x90, 0x00, crcBlock[7], crcBlock[8]})},
    };
    for (const Case& c : cases) {
        Prepare(c.crc);
        PlayedCard card(*rig, true, c.crc ? 2 : 1);
        card.Then(c.wire + kBlockEnd);
        card.Then(Card(Block(0x00, c.good, c.crc)) + kBlockEnd);
        Bytes got;
        EXPECT_EQ(Run(kCase1, &got), STATUS_SUCCESS);
        EXPECT_EQ(got, c.good);
        ASSERT_EQ(card.sent.size(), 2u);
        EXPECT_EQ(card.sent[1][1], 0x81);  // R(0, EDC or parity error)
        EXPECT_GE(card.sentAt[1] - card.sentAt[0], 254 * kMs);
        rig->K().Sleep(100);
    }
}

TEST_F(T1Exchange, bytes_left_in_the_buffer_are_never_judged_as_the_card_s) {
    // The card sends a prologue and falls silent.  Behind it the reply buffer holds, from
    // earlier, bytes that would complete it into a valid block: they must not be taken.
    Prepare();
    auto* ext = rig->Smartcard();
    ext->SmartcardReply.Buffer[4] = 0x90;
    ext->SmartcardReply.Buffer[5] = 0x00 ^ 0x00 ^ 0x02 ^ 0x00 ^ 0x90;
    PlayedCard card(*rig, true);
    card.Then(Card({0x00, 0x00, 0x02}));
    card.Then(Card(Block(0x00, {0x6A, 0x82})) + kBlockEnd);
    Bytes got;
    EXPECT_EQ(Run(kCase1, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, (Bytes{0x6A, 0x82}));
    EXPECT_EQ(card.sent.size(), 2u);
}

// The card's block after the S(IFS response) is judged as the answer to the I-block that its
// request interrupted: taken, asked for again, or answered by a repeat of the I-block.
TEST_F(T1Exchange, ifs_request_of_the_card_while_its_answer_is_due) {
    const Bytes answer = Card(Block(0x00, {0x90, 0x00})) + kBlockEnd;
    Bytes damaged = Block(0x00, {0x90, 0x00});
    damaged.back() ^= 0x01;
    struct Case {
        const char* name;
        std::vector<Bytes> afterResponse;  // the card's blocks after the S(IFS response)
        std::vector<Bytes> sentAfter;      // the driver's blocks after the S(IFS response)
    };
    const Case cases[] = {
        {"the answer at once", {answer}, {}},
        {"a damaged block, then the answer", {Card(damaged) + kBlockEnd, answer},
         {{0x00, 0x81, 0x00, 0x81}}},  // R(0, EDC error)
        {"an R-block asking for the I-block again", {Card(Block(0x80, {})) + kBlockEnd, answer},
         {{0x00, 0x00, 0x04, 0x00, 0x44, 0x00, 0x00, 0x40}}},  // the I-block, N(S) 0, once more
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare();
        PlayedCard card(*rig, true);
        card.Then(Card(Block(0xC1, {0xFE})) + kBlockEnd);
        for (const Bytes& b : c.afterResponse) card.Then(b);
        rig->Smartcard()->T1.NAD = 0x21;  // whatever it held, every block goes out with NAD 0
        Bytes got;
        EXPECT_EQ(Run(kCase1, &got), STATUS_SUCCESS);
        EXPECT_EQ(got, (Bytes{0x90, 0x00}));
        EXPECT_EQ(rig->Smartcard()->T1.IFSC, 0xFE);
        ASSERT_EQ(card.sent.size(), 2u + c.sentAfter.size());
        EXPECT_EQ(card.sent[1], (Bytes{0x00, 0xE1, 0x01, 0xFE, 0x1E}));  // S(IFS response)
        for (size_t i = 0; i < c.sentAfter.size(); ++i) EXPECT_EQ(card.sent[2 + i], c.sentAfter[i]);
        for (const auto& b : card.sent) EXPECT_EQ(b[0], 0x00);
        rig->K().Sleep(100);
    }
}

TEST_F(T1Exchange, card_that_stops_answering_is_powered_down_after_the_library_gives_up) {
    Prepare();
    PlayedCard card(*rig, true);
    EXPECT_EQ(Run(kCase1), STATUS_IO_TIMEOUT);  // as from a silent T=0 card
    // Deactivated (register 4 <- 00), no protocol left to exchange with.
    const Bytes& host = rig->Fake().received;
    const Bytes deactivate = {0x84, 0x00};
    EXPECT_NE(std::search(host.begin(), host.end(), deactivate.begin(), deactivate.end()), host.end());
    EXPECT_EQ(rig->Smartcard()->CardCapabilities.Protocol.Selected, 0u);
    // Every block waited for its prologue, 3 x 50 + 100 ms, and the library's last answer was
    // followed by the 254 ms pause before the power-down.
    EXPECT_GE(card.sent.size(), 4u);
    for (size_t i = 1; i < card.sent.size(); ++i) EXPECT_GE(card.sentAt[i] - card.sentAt[i - 1], 250 * kMs);
}

TEST_F(T1Exchange, card_pulled_while_the_driver_waits_ends_the_exchange_at_once) {
    Prepare();
    PlayedCard card(*rig, true);
    card.Then(kRemoved, 30 * kMs);
    EXPECT_EQ(Run(kCase1), STATUS_NO_MEDIA);
    EXPECT_LT(tookNs, 40 * kMs);
    EXPECT_EQ(card.sent.size(), 1u);
    // Nothing reached the reader after the block: neither a block the library would have built
    // for an empty reply nor a power-down of a card that is not there.
    const Bytes& host = rig->Fake().received;
    ASSERT_GE(host.size(), card.sent[0].size());
    EXPECT_TRUE(std::equal(card.sent[0].begin(), card.sent[0].end(), host.end() - card.sent[0].size()));
    EXPECT_EQ(rig->Smartcard()->T1.State, T1_START);
}

}  // namespace
