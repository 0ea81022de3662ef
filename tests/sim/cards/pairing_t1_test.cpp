// The class library's T=1 routines against the T=1 cards, the harness carrying the blocks:
// each scenario checked against the blocks ISO/IEC 7816-3 clause 11 prescribes, then long
// runs under line faults for many seeds.
#include <gtest/gtest.h>

#include "sim/cards/iso_card.h"
#include "sim/cards/profiles.h"
#include "tests/sim/cards/card_harness.h"

namespace lmscr::sim::cards {
namespace {

using namespace testing;


// PCB and LEN of a block, the way the assertions below describe what the standard prescribes.
std::pair<int, int> Shape(const Bytes& b) {
    if (b.size() < 3) return {-1, -1};
    return {b[1], b[2]};
}
using Shapes = std::vector<std::pair<int, int>>;
Shapes ReaderShapes(const T1Run& run) {
    Shapes s;
    for (const auto& p : run.blocks) s.push_back(Shape(p.reader));
    return s;
}
Shapes CardShapes(const T1Run& run) {
    Shapes s;
    for (const auto& p : run.blocks) s.push_back(Shape(p.card));
    return s;
}

class T1PairingTest : public ::testing::Test {
protected:
    void Start(const char* profile, ULONG max_ifsd) {
        made = MakeCardProfile(profile, 9);
        card = dynamic_cast<IsoCard*>(made.get());
        ASSERT_TRUE(card);
        link = std::make_unique<DirectLink>(*card);
        r.ext.ReaderCapabilities.MaxIFSD = max_ifsd;
        link->Reset();
        atr = link->TakeAll();
        ASSERT_EQ(r.Atr(atr), STATUS_SUCCESS);
        line.bwt_etu = 11 + (1u << card->Atr().bwi) * 960;
        line.cwt_etu = 11 + (1u << card->Atr().cwi);
    }
    T1Run Apdu(const Bytes& apdu) {
        T1Run run = T1Apdu(r, *link, apdu, line);
        EXPECT_TRUE(run.timing_ok) << run.timing_error;
        EXPECT_TRUE(r.CanariesIntact());
        return run;
    }
    void SelectLong() {
        ASSERT_EQ(Apdu(kSelectDf).answer, kOk);
        ASSERT_EQ(Apdu(kSelectLong).answer, kOk);
    }
    std::unique_ptr<Card> made;
    IsoCard* card = nullptr;
    std::unique_ptr<DirectLink> link;
    LibReader r;
    Bytes atr;
    T1Line line;
};

TEST_F(T1PairingTest, chaining_both_ways_at_ifsc_32) {
    Start("t1", 32);  // IFSD 32 as well: no IFS exchange
    SelectLong();
    Bytes data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(3 * i);
    T1Run run = Apdu(Cat({0x00, 0xD6, 0x00, 0x00, 100}, data));
    ASSERT_EQ(run.status, STATUS_SUCCESS);
    EXPECT_EQ(run.answer, kOk);
    // 105 bytes in 32 + 32 + 32 + 9, M set on all but the last; each acknowledged by R(N(R)
    // = the next N(S)) (Rule 5), the last by the card's I-block (Rule 2).
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x20, 32}, {0x60, 32}, {0x20, 32}, {0x40, 9}}));
    EXPECT_EQ(CardShapes(run), (Shapes{{0x90, 0}, {0x80, 0}, {0x90, 0}, {0x00, 2}}));
    run = Apdu({0x00, 0xB0, 0x00, 0x00, 100});
    ASSERT_EQ(run.status, STATUS_SUCCESS);
    EXPECT_EQ(run.answer, Cat(data, kOk));
    EXPECT_EQ(CardShapes(run), (Shapes{{0x60, 32}, {0x20, 32}, {0x60, 32}, {0x00, 6}}));
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x00, 5}, {0x80, 0}, {0x90, 0}, {0x80, 0}}));
}

TEST_F(T1PairingTest, chaining_both_ways_at_ifsd_254_with_crc) {
    Start("t1-crc", 254);
    T1Run run = Apdu(kSelectDf);
    // Rule 4: the reader's IFS request once after the reset, confirmed with the same INF.
    EXPECT_EQ(run.blocks[0].reader[1], 0xC1);
    EXPECT_EQ(Shape(run.blocks[0].card), (std::pair<int, int>{0xE1, 1}));
    EXPECT_EQ(run.blocks[0].card[3], 0xFE);
    EXPECT_EQ(card->T1().Ifsd(), 254);
    ASSERT_EQ(Apdu(kSelectLong).answer, kOk);
    Bytes data(255, 0x77);
    run = Apdu(Cat({0x00, 0xD6, 0x00, 0x00, 0xFF}, data));
    EXPECT_EQ(run.answer, kOk);
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x20, 254}, {0x40, 6}}));
    run = Apdu({0x00, 0xB0, 0x00, 0x00, 0x00});  // 256 bytes + SW: 254 + 4
    ASSERT_EQ(run.status, STATUS_SUCCESS);
    Bytes want = CardApplication::InitialContent(CardApplication::kEfLong);
    std::fill(want.begin(), want.begin() + 255, 0x77);
    EXPECT_EQ(run.answer, Cat(Bytes(want.begin(), want.begin() + 256), kOk));
    EXPECT_EQ(CardShapes(run), (Shapes{{0x60, 254}, {0x00, 4}}));
}

TEST_F(T1PairingTest, lost_card_block_is_asked_for_again) {
    Start("t1", 32);
    line.tamper = [](Bytes& b, bool to_card, size_t i, bool&) {
        if (!to_card && i == 0) b.clear();
    };
    const T1Run run = Apdu({0x00, 0x84, 0x00, 0x00, 0x08});
    ASSERT_EQ(run.status, STATUS_SUCCESS);
    // Rule 7.1: R(N(R) = 0, other error); the card sends its I(0) again.
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x00, 5}, {0x82, 0}}));
    EXPECT_EQ(Shape(run.blocks[1].card), (std::pair<int, int>{0x00, 10}));
    EXPECT_EQ(run.timeouts, 1u);
}

TEST_F(T1PairingTest, lost_reader_block_card_asks_for_it) {
    Start("t1", 32);
    line.tamper = [](Bytes& b, bool to_card, size_t i, bool&) {
        if (to_card && i == 0) b.resize(2);  // the card never gets a whole block
    };
    const T1Run run = Apdu({0x00, 0x84, 0x00, 0x00, 0x08});
    ASSERT_EQ(run.status, STATUS_SUCCESS);
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x00, 5}, {0x82, 0}, {0x00, 5}}));
    EXPECT_EQ(CardShapes(run), (Shapes{{-1, -1}, {0x80, 0}, {0x00, 10}}));
}

TEST_F(T1PairingTest, bad_check_byte_both_ways) {
    Start("t1", 32);
    line.tamper = [](Bytes& b, bool to_card, size_t i, bool& parity) {
        if (!to_card && i == 0) b.back() ^= 0x10;  // the card's LRC
        if (to_card && i == 1) parity = true;      // the reader's R-block, parity error
    };
    const T1Run run = Apdu({0x00, 0x84, 0x00, 0x00, 0x08});
    ASSERT_EQ(run.status, STATUS_SUCCESS);
    // Rule 7.1: R(0) with the EDC bit from the reader. That R-block reaches the card with a
    // parity error: the card's R(1) names the error and the I-block it expects; the reader
    // repeats its R-block (Rule 7.2) and the card its I(0).
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x00, 5}, {0x81, 0}, {0x81, 0}}));
    EXPECT_EQ(CardShapes(run), (Shapes{{0x00, 10}, {0x91, 0}, {0x00, 10}}));
}

TEST_F(T1PairingTest, wrong_sequence_number_from_the_card) {
    Start("t1", 32);
    line.tamper = [](Bytes& b, bool to_card, size_t i, bool&) {
        if (!to_card && i == 0) {
            b[1] ^= 0x40;
            b.back() ^= 0x40;  // LRC kept right: only N(S) is wrong
        }
    };
    const T1Run run = Apdu({0x00, 0x84, 0x00, 0x00, 0x08});
    ASSERT_EQ(run.status, STATUS_SUCCESS);
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x00, 5}, {0x82, 0}}));
    EXPECT_EQ(Shape(run.blocks[1].card), (std::pair<int, int>{0x00, 10}));
}

TEST_F(T1PairingTest, slow_card_wtx_request_is_granted) {
    Start("t1-slow", 32);
    const T1Run run = Apdu({0x00, 0x84, 0x00, 0x00, 0x08});
    ASSERT_EQ(run.status, STATUS_SUCCESS);
    EXPECT_EQ(run.answer.size(), 10u);
    // Rule 3: S(WTX request 02) acknowledged by S(WTX response 02), the answer after it.
    EXPECT_EQ(CardShapes(run), (Shapes{{0xC3, 1}, {0x00, 10}}));
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x00, 5}, {0xE3, 1}}));
    EXPECT_EQ(run.blocks[1].reader[3], 2);
    EXPECT_EQ(r.ext.T1.Wtx, 2);
    EXPECT_EQ(card->T1().Stats().wtx_requests, 1u);
    EXPECT_EQ(card->T1().WtxGranted(), 2);
}

TEST_F(T1PairingTest, ifs_request_from_the_card) {
    Start("t1-chain", 32);
    T1Run run = Apdu(kSelectDf);
    ASSERT_EQ(run.status, STATUS_SUCCESS);
    EXPECT_EQ(CardShapes(run), (Shapes{{0xC1, 1}, {0x00, 2}}));
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x00, 7}, {0xE1, 1}}));
    EXPECT_EQ(r.ext.T1.IFSC, 254);
    ASSERT_EQ(Apdu(kSelectLong).answer, kOk);
    run = Apdu(Cat({0x00, 0xD6, 0x00, 0x00, 200}, Bytes(200, 0x11)));
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x00, 205}}));  // no chaining at IFSC 254
    run = Apdu({0x00, 0xB0, 0x00, 0x00, 40});
    EXPECT_EQ(run.answer, Cat(Bytes(40, 0x11), kOk));
    EXPECT_EQ(CardShapes(run), (Shapes{{0x60, 16}, {0x20, 16}, {0x40, 10}}));
}

TEST_F(T1PairingTest, resynchronisation_after_the_retries) {
    Start("t1", 32);
    line.tamper = [](Bytes& b, bool to_card, size_t i, bool&) {
        if (!to_card && i < 3) b.clear();
    };
    const T1Run run = Apdu({0x00, 0x84, 0x00, 0x00, 0x08});
    ASSERT_EQ(run.status, STATUS_SUCCESS);
    // Rule 7.4.1: the I-block, two R-blocks, then S(RESYNCH request); Rule 6: after the
    // response both start at N(S) 0 and the command goes again.
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x00, 5}, {0x82, 0}, {0x82, 0}, {0xC0, 0}, {0x00, 5}}));
    EXPECT_EQ(CardShapes(run), (Shapes{{-1, -1}, {-1, -1}, {-1, -1}, {0xE0, 0}, {0x00, 10}}));
    EXPECT_EQ(card->T1().Stats().resynchs, 1u);
}

TEST_F(T1PairingTest, gives_up_after_the_resynch_attempts) {
    Start("t1", 32);
    line.tamper = [](Bytes& b, bool to_card, size_t, bool&) {
        if (!to_card) b.clear();
    };
    const T1Run run = Apdu({0x00, 0x84, 0x00, 0x00, 0x08});
    EXPECT_EQ(run.status, STATUS_IO_TIMEOUT);
    // Rule 7.4.2/7.4.3: three S(RESYNCH request) unanswered, then the card is given up.
    EXPECT_EQ(ReaderShapes(run),
              (Shapes{{0x00, 5}, {0x82, 0}, {0x82, 0}, {0xC0, 0}, {0xC0, 0}, {0xC0, 0}}));
    // After a reset the card and the library start afresh.
    line.tamper = nullptr;
    link->Reset(ResetKind::Warm);
    ASSERT_EQ(r.Atr(link->TakeAll()), STATUS_SUCCESS);
    EXPECT_EQ(Apdu({0x00, 0x84, 0x00, 0x00, 0x08}).status, STATUS_SUCCESS);
}

TEST_F(T1PairingTest, answer_too_long_for_the_caller_is_aborted) {
    Start("t1", 32);
    SelectLong();
    r.ext.SmartcardRequest.BufferLength = 0;
    T1Line l = line;
    // A 40-byte reply buffer for a 202-byte answer: Rule 9, the reader aborts the chain.
    r.Transmit(SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 200}, 8 + 40);
    T1Run run;
    NTSTATUS st = STATUS_MORE_PROCESSING_REQUIRED;
    Shapes card_shapes;
    for (int i = 0; i < 20 && st == STATUS_MORE_PROCESSING_REQUIRED; ++i) {
        r.ext.SmartcardRequest.BufferLength = 0;
        ASSERT_EQ(SmartcardT1Request(&r.ext), STATUS_SUCCESS);
        link->ReaderSend(r.Sent());
        const Bytes got = link->TakeAll();
        card_shapes.push_back(Shape(got));
        r.CardSays(got);
        st = SmartcardT1Reply(&r.ext);
    }
    EXPECT_EQ(st, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(card_shapes.back(), (std::pair<int, int>{0xE2, 0}));
    EXPECT_EQ(card->T1().Stats().aborts, 1u);
    // The next command runs normally.
    EXPECT_EQ(Apdu({0x00, 0xB0, 0x00, 0x00, 4}).answer.size(), 6u);
}

TEST_F(T1PairingTest, ifs_request_in_the_middle_of_the_cards_chain) {
    Start("t1-ifs-mid", 32);
    SelectLong();
    T1Run run = Apdu({0x00, 0xB0, 0x00, 0x00, 40});
    ASSERT_EQ(run.status, STATUS_SUCCESS);
    const Bytes file = CardApplication::InitialContent(CardApplication::kEfLong);
    EXPECT_EQ(run.answer, Cat(Bytes(file.begin(), file.begin() + 40), kOk));
    // Rule 5, the card's first block acknowledged; Rule 4 inside the chain; the chain goes on
    // with the N(S) the R-block asked for.
    EXPECT_EQ(CardShapes(run), (Shapes{{0x20, 32}, {0xC1, 1}, {0x40, 10}}));
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x00, 5}, {0x90, 0}, {0xE1, 1}}));
    EXPECT_EQ(run.blocks[2].reader[3], 0x40);
    EXPECT_EQ(r.ext.T1.IFSC, 0x40);
    // The reader's commands are now cut at 64 bytes.
    run = Apdu(Cat({0x00, 0xD6, 0x00, 0x00, 100}, Bytes(100, 0x3C)));
    EXPECT_EQ(run.answer, kOk);
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x60, 64}, {0x00, 41}}));
}

TEST_F(T1PairingTest, endless_empty_chain_is_given_up) {
    Start("t1-endless", 32);
    const T1Run run = Apdu(kSelectDf);
    EXPECT_EQ(run.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(r.information, 0xFFFFFFFFu);
    // The card's 65th empty block in a row ends the command; each before it was acknowledged.
    ASSERT_EQ(run.blocks.size(), 65u);
    for (size_t i = 0; i < run.blocks.size(); ++i) {
        EXPECT_EQ(Shape(run.blocks[i].card), (std::pair<int, int>{i % 2 ? 0x60 : 0x20, 0})) << i;
        if (i > 0) {
            EXPECT_EQ(Shape(run.blocks[i].reader), (std::pair<int, int>{i % 2 ? 0x90 : 0x80, 0})) << i;
        }
    }
}

TEST_F(T1PairingTest, answer_without_status_word_is_refused) {
    Start("t1-nosw", 32);
    T1Run run = Apdu(kSelectDf);
    EXPECT_EQ(run.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(CardShapes(run), (Shapes{{0x00, 1}}));
    EXPECT_EQ(r.information, 0xFFFFFFFFu);
    run = Apdu(kSelectLong);  // the numbering moved on on both sides
    EXPECT_EQ(run.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(ReaderShapes(run), (Shapes{{0x40, 7}}));
    EXPECT_EQ(CardShapes(run), (Shapes{{0x40, 1}}));
}

// Under line faults every command either gets the right answer or fails cleanly, after which
// the card is reset; the run goes on and the answers stay right.
TEST(T1FaultSweepTest, many_seeds_never_a_wrong_answer) {
    unsigned ok = 0, failed = 0, faults = 0, recovered = 0;
    for (uint64_t seed = 1; seed <= 120; ++seed) {
        const char* names[] = {"t1", "t1-crc", "t1-chain", "t1-slow"};
        const char* name = names[seed % 4];
        auto made = MakeCardProfile(name, seed);
        auto* card = dynamic_cast<IsoCard*>(made.get());
        ASSERT_TRUE(card);
        DirectLink link(*card);
        LibReader r;
        r.ext.ReaderCapabilities.MaxIFSD = seed % 2 ? 254 : 32;
        FaultInjector inj({seed, 2500, 2500});
        T1Line line;
        line.bwt_etu = 11 + (1u << card->Atr().bwi) * 960;
        line.cwt_etu = 11 + (1u << card->Atr().cwi);
        line.faults = &inj;
        Bytes model = CardApplication::InitialContent(CardApplication::kEfLong);
        auto reset = [&] {
            link.Reset(ResetKind::Warm);
            ASSERT_EQ(r.Atr(link.TakeAll()), STATUS_SUCCESS);
        };
        reset();
        bool selected = false;
        for (int step = 0, iterations = 0; step < 10 && iterations < 50; ++step, ++iterations) {
            SCOPED_TRACE(std::string(name) + " seed " + std::to_string(seed) + " step " + std::to_string(step));
            if (!selected) {
                const T1Run a = T1Apdu(r, link, kSelectDf, line);
                const T1Run b = a.status == STATUS_SUCCESS ? T1Apdu(r, link, kSelectLong, line) : a;
                if (b.status != STATUS_SUCCESS) {
                    ++failed;
                    reset();
                    --step;  // the step itself has not run yet
                    continue;
                }
                ASSERT_EQ(a.answer, kOk);
                ASSERT_EQ(b.answer, kOk);
                selected = true;
            }
            const uint16_t offset = static_cast<uint16_t>((seed * 29 + step * 61) % 300);
            T1Run run;
            Bytes want;
            if (step % 3 == 2) {
                const Bytes data(120, static_cast<uint8_t>(seed * 7 + step));
                run = T1Apdu(r, link, Cat({0x00, 0xD6, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), 120}, data), line);
                if (run.status == STATUS_SUCCESS) std::copy(data.begin(), data.end(), model.begin() + offset);
                want = kOk;
            } else {
                run = T1Apdu(r, link, {0x00, 0xB0, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), 200}, line);
                want = Cat(Bytes(model.begin() + offset, model.begin() + offset + 200), kOk);
            }
            if (run.status == STATUS_SUCCESS) {
                ASSERT_EQ(run.answer, want) << Hex(run.answer);
                ++ok;
                // Recovered: the reader had to name an error or resynchronise on the way.
                for (const auto& b : run.blocks) {
                    if (b.reader.size() > 1 && (((b.reader[1] & 0xC0) == 0x80 && (b.reader[1] & 0x0F) != 0) || b.reader[1] == 0xC0)) {
                        ++recovered;
                        break;
                    }
                }
            } else {
                ASSERT_TRUE(run.status == STATUS_IO_TIMEOUT || run.status == STATUS_DEVICE_PROTOCOL_ERROR)
                    << std::hex << run.status;
                ++failed;
                if (step % 3 == 2) --step;
                reset();
                selected = false;
            }
        }
        faults += inj.drops + inj.corruptions;
    }
    std::printf("T=1 under faults: %u commands right (%u after recovery), %u failed cleanly, %u faults\n",
                ok, recovered, failed, faults);
    EXPECT_GT(ok, 800u);
    EXPECT_GT(recovered, 50u);
    EXPECT_GT(faults, 100u);
}

}  // namespace
}  // namespace lmscr::sim::cards
