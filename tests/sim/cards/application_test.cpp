#include "sim/cards/application.h"

#include <gtest/gtest.h>

namespace lmscr::sim::cards {
namespace {

Bytes Cmd(CardApplication& app, const Bytes& apdu) {
    auto a = ParseShortApdu(apdu);
    EXPECT_TRUE(a) << "not a short APDU";
    return a ? app.Execute(*a).ToBytes() : Bytes{};
}
uint16_t Sw(const Bytes& r) { return static_cast<uint16_t>(r[r.size() - 2] << 8 | r.back()); }

class ApplicationTest : public ::testing::Test {
protected:
    void SelectLong() {
        ASSERT_EQ(Sw(Cmd(app, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10})), kSwOk);
        ASSERT_EQ(Sw(Cmd(app, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01})), kSwOk);
    }
    CardApplication app{ApplicationOptions{7}};
};

TEST(ShortApduTest, four_cases_and_malformed_lengths) {
    EXPECT_EQ(ParseShortApdu({0, 0xB0, 0, 0})->ne, 0);
    EXPECT_EQ(ParseShortApdu({0, 0xB0, 0, 0, 0x00})->ne, 256);
    auto c3 = ParseShortApdu({0, 0xD6, 0, 0, 2, 9, 9});
    ASSERT_TRUE(c3);
    EXPECT_EQ(c3->data, (Bytes{9, 9}));
    EXPECT_EQ(c3->ne, 0);
    EXPECT_EQ(ParseShortApdu({0, 0xA4, 0, 0, 2, 0x3F, 0, 0x10})->ne, 16);
    EXPECT_FALSE(ParseShortApdu({0, 0xA4, 0}));
    EXPECT_FALSE(ParseShortApdu({0, 0xA4, 0, 0, 2, 0x3F}));        // Lc says more
    EXPECT_FALSE(ParseShortApdu({0, 0xA4, 0, 0, 1, 0x3F, 0, 0}));  // trailing bytes
    EXPECT_FALSE(ParseShortApdu({0, 0xA4, 0, 0, 0, 0x3F, 0}));     // extended length
}

TEST_F(ApplicationTest, select_returns_fcp_with_identifier_and_size) {
    Cmd(app, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10});
    const Bytes r = Cmd(app, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x6F, 0x02, 0x00});
    const Bytes want{0x62, 0x0B, 0x82, 0x01, 0x01, 0x83, 0x02, 0x6F, 0x02, 0x80, 0x02, 0x00, 0x20, 0x90, 0x00};
    EXPECT_EQ(r, want);
}

TEST_F(ApplicationTest, select_outside_the_current_df_is_not_found) {
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01})), kSwFileNotFound);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x12, 0x34})), kSwFileNotFound);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xA4, 0x04, 0x0C, 0x02, 0x3F, 0x00})), kSwWrongP1P2);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xA4, 0x00, 0x0C, 0x01, 0x3F})), kSwWrongLength);
    SelectLong();
    // The parent DF and the MF are reachable from an EF's DF.
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00})), kSwOk);
    EXPECT_EQ(app.CurrentDf(), CardApplication::kMf);
}

TEST_F(ApplicationTest, read_binary_offsets_end_of_file_and_wildcard_le) {
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xB0, 0x00, 0x00, 0x10})), kSwNoCurrentEf);
    SelectLong();
    const Bytes file = CardApplication::InitialContent(CardApplication::kEfLong);
    Bytes r = Cmd(app, {0x00, 0xB0, 0x01, 0xF8, 0x04});
    EXPECT_EQ(r, (Bytes{file[504], file[505], file[506], file[507], 0x90, 0x00}));
    r = Cmd(app, {0x00, 0xB0, 0x01, 0xFC, 0x10});  // 4 bytes left of 16 asked
    EXPECT_EQ(r.size(), 6u);
    EXPECT_EQ(Sw(r), kSwEndOfFile);
    r = Cmd(app, {0x00, 0xB0, 0x01, 0xFC, 0x00});  // Le 00: up to 256, no warning
    EXPECT_EQ(Sw(r), kSwOk);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xB0, 0x02, 0x01, 0x01})), kSwWrongOffset);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xB0, 0x81, 0x00, 0x01})), kSwWrongP1P2);  // SFI: none here
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xB0, 0x00, 0x00})), kSwWrongLength);
}

TEST_F(ApplicationTest, exact_le_turns_a_short_read_into_6c) {
    SelectLong();
    auto a = ParseShortApdu({0x00, 0xB0, 0x01, 0xF0, 0x00});
    EXPECT_EQ(app.Execute(*a, true).ToBytes(), (Bytes{0x6C, 0x10}));
}

TEST_F(ApplicationTest, update_then_read_back_and_bounds) {
    SelectLong();
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xD6, 0x00, 0x10, 0x03, 0xAA, 0xBB, 0xCC})), kSwOk);
    EXPECT_EQ(Cmd(app, {0x00, 0xB0, 0x00, 0x10, 0x03}), (Bytes{0xAA, 0xBB, 0xCC, 0x90, 0x00}));
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xD6, 0x01, 0xFF, 0x02, 1, 2})), kSwWrongLength);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xD6, 0x03, 0x00, 0x01, 1})), kSwWrongOffset);
}

TEST_F(ApplicationTest, protected_files_need_verify_and_the_counter_blocks) {
    Cmd(app, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10});
    Cmd(app, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x02});
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xB0, 0x00, 0x00, 0x04})), kSwSecurity);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0x20, 0x00, 0x01})), 0x63C3);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0x20, 0x00, 0x01, 0x04, 0x30, 0x30, 0x30, 0x30})), 0x63C2);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0x20, 0x00, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34})), kSwOk);
    EXPECT_EQ(app.TriesLeft(), 3);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xB0, 0x00, 0x00, 0x04})), kSwOk);
    app.Reset();  // a new session forgets the verification
    Cmd(app, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10});
    Cmd(app, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x02});
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xB0, 0x00, 0x00, 0x04})), kSwSecurity);
    for (uint16_t want : {0x63C2, 0x63C1, 0x6983})
        EXPECT_EQ(Sw(Cmd(app, {0x00, 0x20, 0x00, 0x01, 0x01, 0x00})), want);
    // Blocked: even the right PIN is refused.
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0x20, 0x00, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34})), kSwBlocked);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0x20, 0x00, 0x02, 0x01, 0x00})), kSwWrongP1P2);
}

TEST_F(ApplicationTest, get_response_hands_out_pending_data_in_parts) {
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xC0, 0x00, 0x00, 0x04})), kSwConditions);
    app.SetPendingResponse({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(Cmd(app, {0x00, 0xC0, 0x00, 0x00, 0x08}), (Bytes{0x6C, 0x06}));
    EXPECT_EQ(Cmd(app, {0x00, 0xC0, 0x00, 0x00, 0x04}), (Bytes{1, 2, 3, 4, 0x61, 0x02}));
    EXPECT_EQ(Cmd(app, {0x00, 0xC0, 0x00, 0x00, 0x02}), (Bytes{5, 6, 0x90, 0x00}));
    // Any other command drops what was pending.
    app.SetPendingResponse({1, 2});
    Cmd(app, {0x00, 0x20, 0x00, 0x01});
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0xC0, 0x00, 0x00, 0x02})), kSwConditions);
}

TEST_F(ApplicationTest, get_challenge_is_deterministic_from_the_seed) {
    CardApplication same{ApplicationOptions{7}}, other{ApplicationOptions{8}};
    const Bytes a = Cmd(app, {0x00, 0x84, 0x00, 0x00, 0x08});
    EXPECT_EQ(a.size(), 10u);
    EXPECT_EQ(a, Cmd(same, {0x00, 0x84, 0x00, 0x00, 0x08}));
    EXPECT_NE(a, Cmd(other, {0x00, 0x84, 0x00, 0x00, 0x08}));
    EXPECT_NE(a, Cmd(app, {0x00, 0x84, 0x00, 0x00, 0x08}));  // the stream moves on
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0x84, 0x00, 0x00})), kSwWrongLength);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0x84, 0x01, 0x00, 0x08})), kSwWrongP1P2);
}

TEST_F(ApplicationTest, unknown_class_and_instruction) {
    EXPECT_EQ(Sw(Cmd(app, {0x80, 0xB0, 0x00, 0x00, 0x01})), kSwClaUnknown);
    EXPECT_EQ(Sw(Cmd(app, {0x00, 0x44, 0x00, 0x00})), kSwInsUnknown);
}

}  // namespace
}  // namespace lmscr::sim::cards
