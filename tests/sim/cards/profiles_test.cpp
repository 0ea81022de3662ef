#include "sim/cards/profiles.h"

#include <gtest/gtest.h>

#include <set>

#include "sim/atr_card.h"
#include "sim/cards/iso_card.h"
#include "smclib_test_support.h"
#include "tests/sim/cards/card_harness.h"

namespace lmscr::sim::cards {
namespace {

using testing::DirectLink;

TEST(ProfilesTest, every_profile_answers_its_listed_atr) {
    std::set<std::string_view> names;
    for (const auto& p : CardProfiles()) {
        EXPECT_TRUE(names.insert(p.name).second) << "duplicate " << p.name;
        EXPECT_FALSE(p.description.empty());
        auto card = MakeCardProfile(p.name, 3);
        ASSERT_TRUE(card) << p.name;
        DirectLink link(*card);
        link.Reset();
        EXPECT_EQ(link.TakeAll(), p.atr) << p.name;
    }
    for (auto want : {"t0", "t1", "dual", "specific", "t1-slow", "t0-null", "inverse"})
        EXPECT_TRUE(names.count(want)) << want;
    EXPECT_FALSE(MakeCardProfile("no-such-card"));
}

// The library's reading of each profile's ATR matches what the profile claims to be.
TEST(ProfilesTest, library_reads_each_atr_as_intended) {
    for (const auto& p : CardProfiles()) {
        lmscr::smclib::test::Reader r;
        if (p.name == "specific-fast") {
            // Made to be refused: specific mode at a rate this reader cannot run.
            EXPECT_EQ(r.Atr(p.atr), STATUS_NOT_SUPPORTED);
            continue;
        }
        ASSERT_EQ(r.Atr(p.atr), STATUS_SUCCESS) << p.name;
        const auto& caps = r.ext.CardCapabilities;
        const auto info = ParseAtr(p.atr);
        ASSERT_TRUE(info);
        EXPECT_EQ((caps.Protocol.Supported & SCARD_PROTOCOL_T0) != 0, (info->protocols & 1) != 0) << p.name;
        EXPECT_EQ((caps.Protocol.Supported & SCARD_PROTOCOL_T1) != 0, (info->protocols & 2) != 0) << p.name;
        EXPECT_EQ(caps.SpecificMode != 0, info->specific) << p.name;
        EXPECT_EQ(caps.InversConvention != 0, info->inverse) << p.name;
        if (info->protocols & 2) {
            EXPECT_EQ(caps.T1.IFSC, info->ifsc) << p.name;
            EXPECT_EQ(caps.T1.EDC, info->crc ? T1_CRC_CHECK : T1_LRC_CHECK) << p.name;
        }
    }
    lmscr::smclib::test::Reader r;
    ASSERT_EQ(r.Atr(CardProfiles()[0].atr), STATUS_SUCCESS);
}

TEST(ProfilesTest, atr_given_in_hex) {
    auto card = MakeCardProfile("atr:3B 81 80 01 80 80", 0);
    ASSERT_TRUE(dynamic_cast<IsoCard*>(card.get()));
    // An ATR no card could speak behind is still answered.
    auto odd = MakeCardProfile("atr:3B 12 11", 0);
    ASSERT_TRUE(dynamic_cast<AtrCard*>(odd.get()));
    DirectLink link(*odd);
    link.Reset();
    EXPECT_EQ(link.TakeAll(), (Bytes{0x3B, 0x12, 0x11}));
    EXPECT_FALSE(MakeCardProfile("atr:3B 1", 0));
    EXPECT_FALSE(MakeCardProfile("atr:", 0));
}

TEST(ProfilesTest, specific_mode_card_runs_t1_without_pts) {
    auto card = MakeCardProfile("specific");
    DirectLink link(*card);
    link.Reset();
    link.TakeAll();
    // An S(IFS request) right away: a T=1 answer, not a PTS one.
    link.ReaderSend({0x00, 0xC1, 0x01, 0xFE, 0x3E});
    EXPECT_EQ(link.TakeAll(), (Bytes{0x00, 0xE1, 0x01, 0xFE, 0x1E}));
}

TEST(ProfilesTest, negotiable_dual_card_runs_its_first_protocol_without_pts) {
    auto card = MakeCardProfile("dual");
    DirectLink link(*card);
    link.Reset();
    link.TakeAll();
    link.ReaderSend({0x00, 0x84, 0x00, 0x00, 0x02});
    EXPECT_EQ(link.TakeAll().size(), 5u);  // T=0: ACK, 2 bytes, 90 00
    EXPECT_EQ(dynamic_cast<IsoCard&>(*card).Protocol(), 0);
}

}  // namespace
}  // namespace lmscr::sim::cards
