// The class library's T=0 routines against the T=0 cards: every case of ISO/IEC 7816-3 12.2
// with each procedure-byte style, the bytes moved by the harness, then the same under line
// faults for many seeds.
#include <gtest/gtest.h>

#include "sim/cards/iso_card.h"
#include "sim/cards/profiles.h"
#include "tests/sim/cards/card_harness.h"

namespace lmscr::sim::cards {
namespace {

using namespace testing;

const Bytes kSelectMfData{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00};

class T0PairingTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        made = MakeCardProfile(GetParam(), 5);
        card = dynamic_cast<IsoCard*>(made.get());
        ASSERT_TRUE(card);
        link = std::make_unique<DirectLink>(*card);
        link->Reset();
        ASSERT_EQ(r.Atr(link->TakeAll()), STATUS_SUCCESS);
        // Without PTS the card runs at Fd/Dd: WT = 960 x WI etu.
        wt_etu = 960u * card->Atr().wi;
    }
    T0Run Apdu(const Bytes& apdu, unsigned* tpdus = nullptr) {
        T0Run run = T0Apdu(r, *link, apdu, wt_etu, nullptr, tpdus);
        EXPECT_LE(run.max_gap_ns, link->Etu(wt_etu)) << "WT";
        EXPECT_TRUE(r.CanariesIntact());
        return run;
    }
    std::unique_ptr<Card> made;
    IsoCard* card = nullptr;
    std::unique_ptr<DirectLink> link;
    LibReader r;
    uint32_t wt_etu = 9600;
};

TEST_P(T0PairingTest, case_1_status_only) {
    const T0Run run = Apdu({0x00, 0x20, 0x00, 0x01});
    ASSERT_EQ(run.status, STATUS_SUCCESS);
    EXPECT_EQ(run.answer, (Bytes{0x63, 0xC3}));
    EXPECT_EQ(run.procedures, 0u);  // status at once
}

TEST_P(T0PairingTest, case_2_exact_le_and_the_6c_repeat) {
    ASSERT_EQ(Apdu(kSelectMfData).answer, kOk);
    const Bytes file = CardApplication::InitialContent(CardApplication::kEfMfData);
    T0Run run = Apdu({0x00, 0xB0, 0x00, 0x04, 0x08});
    EXPECT_EQ(run.answer, Cat(Bytes(file.begin() + 4, file.begin() + 12), kOk));
    unsigned tpdus = 0;
    run = Apdu({0x00, 0xB0, 0x00, 0x00, 0x00}, &tpdus);  // Le 256 of 16 bytes: 6C10, again
    EXPECT_EQ(run.answer, Cat(file, kOk));
    EXPECT_EQ(tpdus, 2u);
}

TEST_P(T0PairingTest, case_2_long_answer_of_255_bytes) {
    ASSERT_EQ(Apdu(kSelectDf).answer, kOk);
    ASSERT_EQ(Apdu(kSelectLong).answer, kOk);
    const Bytes file = CardApplication::InitialContent(CardApplication::kEfLong);
    const T0Run run = Apdu({0x00, 0xB0, 0x00, 0x10, 0xFF});
    EXPECT_EQ(run.answer, Cat(Bytes(file.begin() + 16, file.begin() + 16 + 255), kOk));
    // NOT INS before each byte means one procedure byte per data byte.
    if (std::string(GetParam()) == "t0-notins") {
        EXPECT_EQ(run.procedures, 255u);
    }
}

TEST_P(T0PairingTest, case_3_update_then_read_back) {
    ASSERT_EQ(Apdu(kSelectDf).answer, kOk);
    ASSERT_EQ(Apdu(kSelectLong).answer, kOk);
    Bytes data(40);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xC0 + i);
    const T0Run run = Apdu(Cat({0x00, 0xD6, 0x00, 0x20, 40}, data));
    EXPECT_EQ(run.answer, kOk);
    EXPECT_GE(run.procedures, 1u);
    EXPECT_EQ(Apdu({0x00, 0xB0, 0x00, 0x20, 40}).answer, Cat(data, kOk));
}

TEST_P(T0PairingTest, case_4_through_61xx_and_get_response) {
    unsigned tpdus = 0;
    const T0Run run = Apdu({0x00, 0xA4, 0x00, 0x00, 0x02, 0x7F, 0x10, 0x00}, &tpdus);
    EXPECT_EQ(run.answer, (Bytes{0x62, 0x07, 0x82, 0x01, 0x38, 0x83, 0x02, 0x7F, 0x10, 0x90, 0x00}));
    EXPECT_EQ(tpdus, 2u);
}

TEST_P(T0PairingTest, case_4_odd_ins_read_binary) {
    unsigned tpdus = 0;
    const T0Run run = Apdu({0x00, 0xB1, 0x2F, 0x00, 0x03, 0x54, 0x01, 0x0A, 0x00}, &tpdus);
    const Bytes file = CardApplication::InitialContent(CardApplication::kEfMfData);
    EXPECT_EQ(run.answer, Cat(Cat({0x53, 0x06}, Bytes(file.begin() + 10, file.end())), kOk));
    EXPECT_EQ(tpdus, 2u);  // the offset in after the ACK B1, 61 08; GET RESPONSE
}

TEST_P(T0PairingTest, errors_come_as_status_at_once) {
    T0Run run = Apdu({0x00, 0xB0, 0x00, 0x00, 0x04});
    EXPECT_EQ(run.answer, (Bytes{0x69, 0x86}));
    EXPECT_EQ(run.procedures, 0u);
    run = Apdu({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x12, 0x34});
    EXPECT_EQ(run.answer, (Bytes{0x6A, 0x82}));
    run = Apdu({0x00, 0xCA, 0x00, 0x00, 0x04});
    EXPECT_EQ(run.answer, (Bytes{0x6D, 0x00}));
}

TEST_P(T0PairingTest, pin_counter_and_security_status) {
    ASSERT_EQ(Apdu(kSelectDf).answer, kOk);
    ASSERT_EQ(Apdu({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x02}).answer, kOk);
    EXPECT_EQ(Apdu({0x00, 0xB0, 0x00, 0x00, 0x04}).answer, (Bytes{0x69, 0x82}));
    EXPECT_EQ(Apdu({0x00, 0x20, 0x00, 0x01, 0x04, 0x39, 0x39, 0x39, 0x39}).answer, (Bytes{0x63, 0xC2}));
    EXPECT_EQ(Apdu({0x00, 0x20, 0x00, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34}).answer, kOk);
    const Bytes file = CardApplication::InitialContent(CardApplication::kEfSecret);
    EXPECT_EQ(Apdu({0x00, 0xB0, 0x00, 0x00, 0x04}).answer, Cat(Bytes(file.begin(), file.begin() + 4), kOk));
}

INSTANTIATE_TEST_SUITE_P(EachProcedureStyle, T0PairingTest,
                         ::testing::Values("t0", "t0-notins", "t0-null", "inverse", "t0-null-after-data"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

// Under line faults every command either gets the card's right answer or fails cleanly
// (time-out or faulty byte), after which the reader resets the card and starts again.
TEST(T0FaultSweepTest, many_seeds_never_a_wrong_answer) {
    unsigned ok = 0, failed = 0, faults = 0;
    for (uint64_t seed = 1; seed <= 150; ++seed) {
        const char* name = seed % 3 == 0 ? "t0" : seed % 3 == 1 ? "t0-notins" : "t0-null";
        auto made = MakeCardProfile(name, seed);
        auto* card = dynamic_cast<IsoCard*>(made.get());
        ASSERT_TRUE(card);
        DirectLink link(*card);
        LibReader r;
        FaultInjector inj({seed, 1500, 1500});
        const uint32_t wt = 960u * card->Atr().wi;
        Bytes model = CardApplication::InitialContent(CardApplication::kEfLong);
        auto reset = [&] {
            link.Reset(ResetKind::Warm);
            ASSERT_EQ(r.Atr(link.TakeAll()), STATUS_SUCCESS);
        };
        reset();
        bool selected = false;
        for (int step = 0, iterations = 0; step < 12 && iterations < 60; ++step, ++iterations) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
            if (!selected) {
                const T0Run a = T0Apdu(r, link, kSelectDf, wt, &inj);
                const T0Run b = a.status == STATUS_SUCCESS ? T0Apdu(r, link, kSelectLong, wt, &inj) : a;
                if (b.status != STATUS_SUCCESS || a.answer != kOk || b.answer != kOk) {
                    ASSERT_NE(b.status, STATUS_SUCCESS) << Hex(a.answer) << Hex(b.answer);
                    ++failed;
                    reset();
                    --step;  // the step itself has not run yet
                    continue;
                }
                selected = true;
            }
            const uint16_t offset = static_cast<uint16_t>((seed * 37 + step * 53) % 400);
            T0Run run;
            Bytes want;
            if (step % 3 == 2) {
                // The same update until it goes through: its effect is the same however often.
                const Bytes data(24, static_cast<uint8_t>(seed + step));
                run = T0Apdu(r, link, Cat({0x00, 0xD6, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), 24}, data), wt, &inj);
                if (run.status == STATUS_SUCCESS) std::copy(data.begin(), data.end(), model.begin() + offset);
                want = kOk;
            } else {
                run = T0Apdu(r, link, {0x00, 0xB0, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), 64}, wt, &inj);
                want = Cat(Bytes(model.begin() + offset, model.begin() + offset + 64), kOk);
            }
            if (run.status == STATUS_SUCCESS) {
                ASSERT_EQ(run.answer, want) << Hex(run.answer);
                ++ok;
            } else {
                ASSERT_TRUE(run.status == STATUS_IO_TIMEOUT || run.status == STATUS_DEVICE_PROTOCOL_ERROR);
                ++failed;
                if (step % 3 == 2) --step;  // the update is repeated (the card may have done it)
                reset();
                selected = false;
            }
        }
        faults += inj.drops + inj.corruptions;
    }
    std::printf("T=0 under faults: %u commands right, %u failed cleanly, %u faults injected\n", ok, failed, faults);
    EXPECT_GT(ok, 1000u);
    EXPECT_GT(failed, 20u);
    EXPECT_GT(faults, 20u);
}

}  // namespace
}  // namespace lmscr::sim::cards
