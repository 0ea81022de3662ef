// Protocol selection: the PTS exchange with every kind of card answer, end to end through the
// class library's requests and, for the driver's own retry, called directly.
#include "card_session.h"

#include "sim/atr_card.h"
#include "sim/cards/profiles.h"

#include <cstring>

using namespace lmscr;
using namespace lmscr::test;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr ULONG kT0 = SCARD_PROTOCOL_T0;
constexpr ULONG kT1 = SCARD_PROTOCOL_T1;
constexpr ULONG kAny = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

ULONG Ulong(const kernel::IoResult& r) {
    ULONG v = 0;
    std::memcpy(&v, r.output.data(), sizeof(v));
    return v;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// One exchange of four request bytes and a four-byte echo, from the line: the send-data
// command (5 bytes in) executes; the reader sends the four bytes to the card 13 etu apart
// (the guard time of a reset); the card starts its answer 16 etu after the last leading edge,
// 12 etu a character; its last character is at the host 10 etu after its leading edge and one
// host byte time later.  Then the timing of the protocol: 25 host byte times of commands.
constexpr double kExchangeUs = 6 * kHostByteUs + (3 * 13 + 16 + 3 * 12 + 10) * kEtuUs;
constexpr double kProgramTimingUs = 25 * kHostByteUs;

struct Expect {
    const char* card;
    NTSTATUS power;
    NTSTATUS select;
    ULONG protocol;  // selected when select succeeds
};

TEST(Selection, every_card_profile_is_powered_read_and_given_a_protocol_or_refused) {
    const Expect table[] = {
        {"t0", STATUS_SUCCESS, STATUS_SUCCESS, kT0},
        {"t0-notins", STATUS_SUCCESS, STATUS_SUCCESS, kT0},
        {"t0-null", STATUS_SUCCESS, STATUS_SUCCESS, kT0},
        {"t1", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"t1-crc", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"t1-chain", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"t1-slow", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"dual", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"specific", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"specific-fast", STATUS_NOT_SUPPORTED, STATUS_INVALID_DEVICE_STATE, 0},
        {"inverse", STATUS_SUCCESS, STATUS_SUCCESS, kT0},
        {"pts-silent", STATUS_SUCCESS, STATUS_DEVICE_PROTOCOL_ERROR, 0},
        {"pts-refuse", STATUS_SUCCESS, STATUS_DEVICE_PROTOCOL_ERROR, 0},
        {"pts-default", STATUS_SUCCESS, STATUS_SUCCESS, kT0},
        {"pts-counter", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"pts-late", STATUS_SUCCESS, STATUS_SUCCESS, kT0},
        {"atr-slow", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"t1-ifs-mid", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"t1-endless", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"t1-nosw", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"t1-crc-chain", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"t1-strict", STATUS_SUCCESS, STATUS_SUCCESS, kT1},
        {"t0-overrun", STATUS_SUCCESS, STATUS_SUCCESS, kT0},
        {"t0-null-after-data", STATUS_SUCCESS, STATUS_SUCCESS, kT0},
    };
    ASSERT_EQ(std::size(table), sim::cards::CardProfiles().size());
    for (const auto& profile : sim::cards::CardProfiles()) {
        const Expect* e = nullptr;
        for (const auto& row : table)
            if (profile.name == row.card) e = &row;
        ASSERT_NE(e, nullptr) << profile.name << " has no row";
        CardSession s;
        s.Start(e->card);
        const auto p = s.Power(SCARD_COLD_RESET);
        EXPECT_EQ(p.status, e->power) << e->card;
        if (p.status == STATUS_SUCCESS) {
            Bytes atr = profile.atr;
            if (atr[0] == 0x03) atr[0] = 0x3F;
            EXPECT_EQ(Bytes(p.output.begin(), p.output.begin() + p.information), atr) << e->card;
            EXPECT_EQ(s.Atr(), atr) << e->card;
        }
        const auto q = s.Select(kAny);
        EXPECT_EQ(q.status, e->select) << e->card;
        const auto state = s.rig.Ioctl(s.handle, IOCTL_SMARTCARD_GET_STATE, {}, 4);
        if (e->select == STATUS_SUCCESS) {
            EXPECT_EQ(Ulong(q), e->protocol) << e->card;
            EXPECT_EQ(q.information, 4u);
            EXPECT_EQ(Ulong(state), (ULONG)SCARD_SPECIFIC) << e->card;
            EXPECT_EQ(s.Smartcard()->CardCapabilities.Protocol.Selected, e->protocol) << e->card;
        } else {
            EXPECT_NE(Ulong(state), (ULONG)SCARD_SPECIFIC) << e->card;
            EXPECT_EQ(s.Smartcard()->CardCapabilities.Protocol.Selected, 0u) << e->card;
        }
    }
}

TEST(Selection, default_t1_and_t0_cards_take_the_time_of_the_line) {
    for (const auto& [name, protocol, request] :
         {std::tuple<std::string, ULONG, std::string>{"t1", kT1, "44 FF 11 11 FF"}, {"t0", kT0, "44 FF 10 11 FE"}}) {
        CardSession s;
        s.Start(name);
        ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        s.Sent();
        const auto q = s.Select(kAny);
        ASSERT_EQ(q.status, STATUS_SUCCESS);
        EXPECT_EQ(Ulong(q), protocol);
        EXPECT_EQ(s.Sent().substr(0, request.size()), request);
        const double expected = (kExchangeUs + kProgramTimingUs) / 1000;
        EXPECT_NEAR(s.LastMs(), expected, 0.001) << name;
        std::printf("[ timing   ] %s protocol selection %.3f ms, from the line %.3f ms\n", name.c_str(), s.LastMs(),
                    expected);
    }
}

TEST(Selection, t0_requested_from_a_dual_card_and_t1_chosen_when_both_are_asked) {
    CardSession s;
    s.Start("dual");
    ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    s.Sent();
    auto q = s.Select(kT0);
    ASSERT_EQ(q.status, STATUS_SUCCESS);
    EXPECT_EQ(Ulong(q), kT0);
    EXPECT_EQ(s.Sent().substr(0, 14), "44 FF 10 11 FE");
    // Already specific with T=0: a request naming T=0 among others is answered at once.
    q = s.Select(kAny);
    EXPECT_EQ(q.status, STATUS_SUCCESS);
    EXPECT_EQ(Ulong(q), kT0);
    EXPECT_EQ(s.Sent(), "");
}

TEST(Selection, answer_without_pts1_is_the_card_keeping_fd_dd) {
    CardSession s;
    s.Start("pts-default");
    ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    s.Sent();
    const auto q = s.Select(kAny);
    ASSERT_EQ(q.status, STATUS_SUCCESS);
    EXPECT_EQ(Ulong(q), kT0);
    EXPECT_EQ(s.State(), (ULONG)SCARD_SPECIFIC);
    EXPECT_EQ(s.Smartcard()->CardCapabilities.Fl, 1);
    EXPECT_EQ(s.Smartcard()->CardCapabilities.Dl, 1);
    EXPECT_EQ(s.Sent().find("84 00"), std::string::npos);  // not switched off
}

// A T=0 card (ATR 3B 01 4C, Fd/Dd) that answers the PTS request with whatever bytes it is given.
class ScriptedPtsCard : public sim::Card {
public:
    explicit ScriptedPtsCard(Bytes answer) : answer_(std::move(answer)) {}
    void Reset(sim::CardLink& link, sim::ResetKind) override {
        link_ = &link;
        received_ = 0;
        link.Send(0x3B, 30);
        link.Send(0x01);
        link.Send(0x4C);
    }
    void Receive(uint8_t, bool) override {
        if (++received_ != 4 || !link_) return;
        for (size_t i = 0; i < answer_.size(); ++i) link_->Send(answer_[i], i == 0 ? 4 : 0);
    }
    void Deactivate() override { link_ = nullptr; }
    sim::Rate CurrentRate() const override { return sim::kDefaultRate; }

private:
    Bytes answer_;
    sim::CardLink* link_ = nullptr;
    unsigned received_ = 0;
};

TEST(Selection, every_answer_to_the_request_ff_10_11_fe_is_judged_whole) {
    struct Case {
        Bytes answer;
        NTSTATUS status;
    };
    const Case table[] = {
        {{0xFF, 0x10, 0x11, 0xFE}, STATUS_SUCCESS},                // the echo
        {{0xFF, 0x00, 0xFF}, STATUS_SUCCESS},                      // PTS1 left out: Fd/Dd stay
        {{0xFF, 0x00, 0x00}, STATUS_DEVICE_PROTOCOL_ERROR},        // ... with a wrong PCK
        {{0xFF, 0x00, 0xFE}, STATUS_DEVICE_PROTOCOL_ERROR},        // ... with the request's PCK
        {{0x00, 0x00, 0xFF}, STATUS_DEVICE_PROTOCOL_ERROR},        // ... without PTSS
        {{0xFF, 0x01, 0xFE}, STATUS_DEVICE_PROTOCOL_ERROR},        // another protocol
        {{0xFF, 0x10, 0x11, 0x00}, STATUS_DEVICE_PROTOCOL_ERROR},  // the echo with a wrong PCK
        {{0xFF, 0x10, 0x12, 0xFD}, STATUS_DEVICE_PROTOCOL_ERROR},  // other factors
    };
    for (const Case& c : table) {
        std::string name;
        for (uint8_t b : c.answer) name += " " + std::to_string(b);
        SCOPED_TRACE("answer" + name);
        CardSession s;
        ASSERT_EQ(s.rig.StartAndOpen(s.handle), STATUS_SUCCESS);
        auto card = std::make_unique<ScriptedPtsCard>(c.answer);
        s.rig.Port().WithReader([&](sim::ReaderFirmware& reader) { reader.InsertCard(std::move(card)); });
        s.rig.K().Sleep(5);
        ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        s.Sent();
        const auto q = s.Select(kAny);
        EXPECT_EQ(q.status, c.status);
        const std::string sent = s.Sent();
        EXPECT_EQ(sent.substr(0, 14), "44 FF 10 11 FE");
        EXPECT_EQ(Count(sent, "44 FF"), 1u);  // Fd/Dd proposed: no second exchange
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(Ulong(q), kT0);
            EXPECT_EQ(s.State(), (ULONG)SCARD_SPECIFIC);
            EXPECT_EQ(Count(sent, "84 00"), 0u);
        } else {
            EXPECT_EQ(s.State(), (ULONG)SCARD_PRESENT);  // switched off
            EXPECT_EQ(s.Smartcard()->CardCapabilities.Protocol.Selected, 0u);
        }
    }
}

TEST(Selection, refused_at_default_factors_switches_the_card_off_without_a_retry) {
    CardSession s;
    s.Start("pts-refuse");
    ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    s.Sent();
    EXPECT_EQ(s.Select(kAny).status, STATUS_DEVICE_PROTOCOL_ERROR);
    const std::string sent = s.Sent();
    EXPECT_EQ(Count(sent, "44 FF"), 1u);
    EXPECT_EQ(Count(sent, "83 1D"), 0u);
    EXPECT_NE(sent.find("84 00"), std::string::npos);
    EXPECT_EQ(s.State(), (ULONG)SCARD_PRESENT);
    EXPECT_EQ(s.Smartcard()->CardCapabilities.Protocol.Selected, 0u);
}

TEST(Selection, silent_card_is_given_up_after_the_readers_time_out_and_the_ports_read) {
    CardSession s;
    s.Start("pts-silent");
    ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    EXPECT_EQ(s.Select(kAny).status, STATUS_DEVICE_PROTOCOL_ERROR);
    // The request (5 bytes in), its last character 39 etu on; the reader's block time-out of
    // 9600 etu from that leading edge, reported in two bytes; the port's read then runs out
    // after the 1396 ms of a card without a protocol; the power-down: 3 bytes, 200 ms, and the
    // card-state register read (2 bytes).
    const double expected = (12 * kHostByteUs + (39 + 9600) * kEtuUs + 1'596'000) / 1000;
    EXPECT_NEAR(s.LastMs(), expected, 0.001);
    EXPECT_EQ(s.State(), (ULONG)SCARD_PRESENT);
}

TEST(Selection, late_answer_inside_the_waiting_time_is_taken) {
    CardSession s;
    s.Start("pts-late");
    ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(s.Select(kAny).status, STATUS_SUCCESS);
    EXPECT_NEAR(s.LastMs(), (kExchangeUs + 6000 * kEtuUs + kProgramTimingUs) / 1000, 0.001);
}

TEST(Selection, refusal_without_an_exchange_keeps_the_protocol_in_force) {
    CardSession s;
    s.Start("t1");
    ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(s.Select(kT1).status, STATUS_SUCCESS);
    s.Sent();
    EXPECT_EQ(s.Select(kT0).status, STATUS_INVALID_DEVICE_REQUEST);  // the card offers T=1 only
    EXPECT_EQ(s.Sent(), "");
    EXPECT_EQ(s.Smartcard()->CardCapabilities.Protocol.Selected, kT1);
    EXPECT_EQ(s.State(), (ULONG)SCARD_SPECIFIC);
    EXPECT_EQ(Ulong(s.Select(kT1)), kT1);
}

TEST(Selection, a_tck_the_old_rule_left_unread_no_longer_refuses_the_protocol) {
    // TD1 naming T=1 before TD2 naming T=0; and T=1 named in TD3 only.
    for (Bytes atr : {Bytes{0x3B, 0x81, 0x81, 0x00, 0x4C}, Bytes{0x3B, 0x81, 0x80, 0x80, 0x01, 0x4C}}) {
        uint8_t tck = 0;
        for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
        atr.push_back(tck);
        std::string hex = "atr:";
        for (uint8_t b : atr) hex += (char)"0123456789ABCDEF"[b >> 4], hex += (char)"0123456789ABCDEF"[b & 15];
        CardSession s;
        s.Start(hex);
        const auto p = s.Power(SCARD_COLD_RESET);
        ASSERT_EQ(p.status, STATUS_SUCCESS) << hex;
        EXPECT_EQ(p.information, atr.size()) << hex;
        EXPECT_EQ(s.Reader()->RxCount, 0u);
        const auto q = s.Select(kT1);
        EXPECT_EQ(q.status, STATUS_SUCCESS) << hex;
        EXPECT_EQ(Ulong(q), kT1);
    }
}

// ---- called directly: the driver's retry and the leftover bytes -----------------------------

class DirectSelection : public ::testing::Test {
protected:
    void Power(const std::string& card) {
        s.Start(card);
        ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        s.Sent();
    }
    NTSTATUS Call(ULONG requested) {
        PSMARTCARD_EXTENSION sc = s.Smartcard();
        reply = 0xEEEEEEEE;
        information = 0xDEAD;
        sc->IoRequest.ReplyBuffer = reinterpret_cast<PUCHAR>(&reply);
        sc->IoRequest.ReplyBufferLength = sizeof(reply);
        sc->IoRequest.Information = &information;
        sc->MinorIoControlCode = requested;
        const uint64_t before = s.rig.K().NowNs();
        NTSTATUS status = SetProtocol(sc);
        took = static_cast<double>(s.rig.K().NowNs() - before) / 1e6;
        sc->IoRequest.ReplyBuffer = nullptr;
        sc->IoRequest.Information = nullptr;
        return status;
    }
    void ProposeDi4() {
        auto& pts = s.Smartcard()->CardCapabilities.PtsData;
        pts.Type = PTS_TYPE_USER;
        pts.Fl = 1;
        pts.Dl = 3;
    }
    CardSession s;
    ULONG reply = 0;
    ULONG information = 0;
    double took = 0;
};

TEST_F(DirectSelection, counter_proposal_costs_one_cold_reset_and_a_second_exchange_at_fd_dd) {
    Power("pts-counter");
    ProposeDi4();
    ASSERT_EQ(Call(kAny), STATUS_SUCCESS);
    EXPECT_EQ(reply, kT1);
    EXPECT_EQ(information, 4u);
    const std::string sent = s.Sent();
    const size_t first = sent.find("44 FF 11 13 FD");
    const size_t reset = sent.find("83 1D");
    const size_t second = sent.find("44 FF 11 11 FF");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(reset, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, reset);
    EXPECT_LT(reset, second);
    EXPECT_EQ(Count(sent, "44 FF"), 2u);
    EXPECT_EQ(s.State(), (ULONG)SCARD_SPECIFIC);
    EXPECT_EQ(s.Smartcard()->CardCapabilities.Fl, 1);
    EXPECT_EQ(s.Smartcard()->CardCapabilities.Dl, 1);
    // First exchange, the cold reset of a 12-byte answer (the reply is not the caller's),
    // the second exchange and the timing of T=1.
    const double resetUs = 28 * kHostByteUs + 200'000 + 1000 * kClockUs + (30 + 12 * 11 + 10) * kEtuUs +
                           kHostByteUs + 5'000;
    EXPECT_NEAR(took, (2 * kExchangeUs + resetUs + kProgramTimingUs) / 1000, 0.001);
    std::printf("[ timing   ] PTS retry %.3f ms\n", took);
}

TEST_F(DirectSelection, refused_twice_ends_in_the_card_switched_off) {
    Power("pts-refuse");
    ProposeDi4();
    EXPECT_EQ(Call(kAny), STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(reply, 0u);
    EXPECT_EQ(information, 0u);
    const std::string sent = s.Sent();
    EXPECT_EQ(Count(sent, "44 FF"), 2u);
    EXPECT_EQ(Count(sent, "83 1D"), 1u);
    EXPECT_NE(sent.find("44 FF 11 11 FF"), std::string::npos);  // the retry proposes Fd/Dd
    EXPECT_EQ(s.State(), (ULONG)SCARD_PRESENT);
    EXPECT_EQ(s.Smartcard()->CardCapabilities.Protocol.Selected, 0u);
}

TEST_F(DirectSelection, echo_of_other_factors_is_taken_and_the_reader_follows) {
    Power("t1");
    ProposeDi4();
    ASSERT_EQ(Call(kT1), STATUS_SUCCESS);
    EXPECT_EQ(s.Smartcard()->CardCapabilities.Dl, 3);
    EXPECT_EQ(Count(s.Sent(), "83 1D"), 0u);
    // Di 4: T=1 block time 2^4 x 357120 / 93 + 11 etu, with the margin.
    EXPECT_EQ(s.rig.Port().Trace().Lines().empty(), false);
    CARD_TIMING t;
    ComputeCardTiming(s.Smartcard(), &t);
    EXPECT_EQ(t.ClocksPerEtu, 93u);
    EXPECT_EQ(t.BlockTimeoutEtuRaw, 61451u);
}

TEST_F(DirectSelection, unread_bytes_refuse_without_touching_anything) {
    Power("t1");
    s.Reader()->RxCount = 1;
    EXPECT_EQ(Call(kT1), STATUS_DEVICE_PROTOCOL_ERROR);
    s.Reader()->RxCount = 0;
    EXPECT_EQ(reply, 0xEEEEEEEEu);
    EXPECT_EQ(information, 0xDEADu);
    EXPECT_EQ(s.State(), (ULONG)SCARD_NEGOTIABLE);
    EXPECT_EQ(s.Sent(), "");
}

// ---- a card pulled at every moment of a reset and a selection -------------------------------

TEST(PulledCard, at_every_character_of_the_atr_and_the_pts_exchange) {
    // t1: twelve characters of answer to reset, four of PTS request, four of answer.
    for (uint64_t n = 1; n <= 20; ++n) {
        RigOptions o;
        o.reader.faults.card_pull_at_char = n;
        CardSession s(o);
        s.Start("t1");
        const auto p = s.Power(SCARD_COLD_RESET);
        if (n <= 12) {
            EXPECT_NE(p.status, STATUS_SUCCESS) << n;
        }
        const auto q = s.Select(kAny);
        EXPECT_NE(q.status, STATUS_SUCCESS) << n;
        s.rig.K().Sleep(5);
        EXPECT_EQ(s.State(), (ULONG)SCARD_ABSENT) << n;
        EXPECT_EQ(s.Smartcard()->CardCapabilities.Protocol.Selected, 0u) << n;
        // A tracking request for a card finds none, and waits.
        auto present = s.rig.Async(s.handle, IOCTL_SMARTCARD_IS_PRESENT);
        EXPECT_FALSE(present->Wait(50)) << n;
        present->Cancel();
        present->Wait();
    }
}

TEST(PulledCard, between_reset_and_selection) {
    CardSession s;
    s.Start("t1");
    ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    s.Remove();
    s.rig.K().Sleep(5);
    EXPECT_EQ(s.Select(kAny).status, STATUS_NO_MEDIA);
    EXPECT_EQ(s.State(), (ULONG)SCARD_ABSENT);
}

TEST(PulledCard, at_every_millisecond_of_a_selection_never_leaves_a_specific_card_behind) {
    // The selection takes about 27 ms; the last 13 of them program the reader after the echo.
    for (uint64_t ms = 0; ms <= 30; ++ms) {
        CardSession s;
        s.Start("t1");
        ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        std::vector<uint8_t> in(4);
        const ULONG any = kAny;
        std::memcpy(in.data(), &any, 4);
        auto select = s.rig.K().Clients().IoControlAsync(s.handle, IOCTL_SMARTCARD_SET_PROTOCOL, in, 4);
        s.rig.K().Sleep(ms);
        const bool doneBefore = select->Done();
        s.Remove();
        ASSERT_TRUE(select->Wait(10'000)) << ms;
        s.rig.K().Sleep(5);
        EXPECT_EQ(s.State(), (ULONG)SCARD_ABSENT) << ms;
        if (!doneBefore) {
            EXPECT_NE(select->Result().status, STATUS_SUCCESS) << ms;
        }
    }
}

}  // namespace
