// T=0 command framing of short APDUs (cases 1 to 4) and the answer handed back.
#include <gtest/gtest.h>

#include "smclib_test_support.h"

namespace lmscr::smclib::test {
namespace {

class T0Test : public ::testing::Test {
protected:
    Reader reader;
    NTSTATUS Request(const Bytes &apdu, ULONG reply_room = 8 + 300) {
        reader.Transmit(SCARD_PROTOCOL_T0, apdu, reply_room);
        reader.ext.SmartcardRequest.BufferLength = 0;
        return SmartcardT0Request(&reader.ext);
    }
};

TEST_F(T0Test, case1_sends_header_with_p3_zero) {
    ASSERT_EQ(Request({0x00, 0x70, 0x00, 0x00}), STATUS_SUCCESS);
    EXPECT_EQ(reader.Sent(), (Bytes{0x00, 0x70, 0x00, 0x00, 0x00}));
    EXPECT_EQ(reader.ext.T0.Le, 0u);
    EXPECT_EQ(reader.ext.T0.Lc, 0u);
}

TEST_F(T0Test, case2_sets_le_and_p3) {
    ASSERT_EQ(Request({0x00, 0xB0, 0x00, 0x00, 0x10}), STATUS_SUCCESS);
    EXPECT_EQ(reader.Sent(), (Bytes{0x00, 0xB0, 0x00, 0x00, 0x10}));
    EXPECT_EQ(reader.ext.T0.Le, 16u);
}

TEST_F(T0Test, case2_le_zero_asks_for_256) {
    ASSERT_EQ(Request({0x00, 0xB0, 0x00, 0x00, 0x00}), STATUS_SUCCESS);
    EXPECT_EQ(reader.ext.T0.Le, 256u);
    const Bytes sent = reader.Sent();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[4], 0x00);
}

TEST_F(T0Test, case3_sends_header_and_data) {
    ASSERT_EQ(Request({0x00, 0xD6, 0x00, 0x00, 0x03, 0xAA, 0xBB, 0xCC}), STATUS_SUCCESS);
    EXPECT_EQ(reader.Sent(), (Bytes{0x00, 0xD6, 0x00, 0x00, 0x03, 0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(reader.ext.T0.Lc, 3u);
    EXPECT_EQ(reader.ext.T0.Le, 0u);
}

TEST_F(T0Test, case4_drops_le_for_get_response) {
    ASSERT_EQ(Request({0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00}), STATUS_SUCCESS);
    EXPECT_EQ(reader.Sent(), (Bytes{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}));
    EXPECT_EQ(reader.ext.T0.Le, 0u);
}

TEST_F(T0Test, case3_with_255_bytes_fits_the_driver_buffer) {
    Bytes apdu = {0x80, 0xD6, 0x00, 0x00, 0xFF};
    apdu.resize(5 + 255, 0x5A);
    ASSERT_EQ(Request(apdu), STATUS_SUCCESS);
    EXPECT_EQ(reader.ext.SmartcardRequest.BufferLength, 260u);
}

TEST_F(T0Test, malformed_apdus_are_refused) {
    EXPECT_EQ(Request({0x00, 0xA4, 0x00}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Request({}), STATUS_INVALID_PARAMETER);
    // Lc names more (or fewer) bytes than follow.
    EXPECT_EQ(Request({0x00, 0xD6, 0x00, 0x00, 0x05, 0xAA}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Request({0x00, 0xD6, 0x00, 0x00, 0x01, 0xAA, 0xBB, 0xCC}), STATUS_INVALID_PARAMETER);
    // Extended length (Lc 00 00 xx) is not for T=0.
    EXPECT_EQ(Request({0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x01, 0xAA}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reader.ext.SmartcardRequest.BufferLength, 0u);
}

TEST_F(T0Test, ins_that_reads_as_a_status_word_is_refused) {
    // A card would take INS 6X or 9X back as SW1; every other INS, 5F and A0 beside them, goes.
    for (int ins = 0; ins < 256; ++ins) {
        const bool refused = (ins & 0xF0) == 0x60 || (ins & 0xF0) == 0x90;
        reader.ext.SmartcardRequest.BufferLength = 0;
        EXPECT_EQ(Request({0x00, static_cast<UCHAR>(ins), 0x00, 0x00}),
                  refused ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS) << ins;
        EXPECT_EQ(reader.ext.SmartcardRequest.BufferLength, refused ? 0u : 5u) << ins;
    }
}

TEST_F(T0Test, request_buffer_too_small_writes_nothing) {
    reader.ext.SmartcardRequest.BufferSize = 7;
    EXPECT_EQ(Request({0x00, 0xD6, 0x00, 0x00, 0x03, 0xAA, 0xBB, 0xCC}), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reader.request[0], Reader::kCanary);
    reader.ext.SmartcardRequest.BufferSize = 8;
    EXPECT_EQ(Request({0x00, 0xD6, 0x00, 0x00, 0x03, 0xAA, 0xBB, 0xCC}), STATUS_SUCCESS);
}

TEST_F(T0Test, request_appends_at_buffer_length) {
    reader.Transmit(SCARD_PROTOCOL_T0, {0x00, 0x70, 0x00, 0x00});
    reader.ext.SmartcardRequest.BufferLength = 2;
    ASSERT_EQ(SmartcardT0Request(&reader.ext), STATUS_SUCCESS);
    EXPECT_EQ(reader.ext.SmartcardRequest.BufferLength, 7u);
    EXPECT_EQ(reader.request[3], 0x70);
    reader.ext.SmartcardRequest.BufferLength = Reader::kBufferBytes + 1;  // lying length
    EXPECT_EQ(SmartcardT0Request(&reader.ext), STATUS_INVALID_PARAMETER);
}

TEST_F(T0Test, reply_buffer_without_room_for_status_is_refused_before_sending) {
    EXPECT_EQ(Request({0x00, 0x70, 0x00, 0x00}, 9), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reader.ext.SmartcardRequest.BufferLength, 0u);
}

TEST_F(T0Test, reply_hands_data_and_status_to_the_application) {
    ASSERT_EQ(Request({0x00, 0xB0, 0x00, 0x00, 0x03}), STATUS_SUCCESS);
    reader.CardSays({0x11, 0x22, 0x33, 0x90, 0x00});
    ASSERT_EQ(SmartcardT0Reply(&reader.ext), STATUS_SUCCESS);
    EXPECT_EQ(reader.information, 13u);
    EXPECT_EQ(reader.Answer(), (Bytes{0x11, 0x22, 0x33, 0x90, 0x00}));
    SCARD_IO_REQUEST header;
    std::memcpy(&header, reader.io_out.data(), 8);
    EXPECT_EQ(header.dwProtocol, ULONG{SCARD_PROTOCOL_T0});
    EXPECT_EQ(header.cbPciLength, 8u);
}

TEST_F(T0Test, reply_of_status_only) {
    ASSERT_EQ(Request({0x00, 0xB0, 0x00, 0x00, 0x10}), STATUS_SUCCESS);
    reader.CardSays({0x6C, 0x08});
    ASSERT_EQ(SmartcardT0Reply(&reader.ext), STATUS_SUCCESS);
    EXPECT_EQ(reader.Answer(), (Bytes{0x6C, 0x08}));
}

TEST_F(T0Test, reply_shorter_than_status_is_a_protocol_error) {
    ASSERT_EQ(Request({0x00, 0x70, 0x00, 0x00}), STATUS_SUCCESS);
    reader.CardSays({0x90});
    EXPECT_EQ(SmartcardT0Reply(&reader.ext), STATUS_DEVICE_PROTOCOL_ERROR);
    reader.CardSays({});
    EXPECT_EQ(SmartcardT0Reply(&reader.ext), STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(reader.information, 0xFFFFFFFFu);
}

TEST_F(T0Test, reply_room_needed_minus_one_and_exact) {
    const Bytes answer = {0x01, 0x02, 0x03, 0x04, 0x90, 0x00};
    for (ULONG room : {0u, 1u, 7u, 8u, 13u}) {
        ASSERT_EQ(Request({0x00, 0xB0, 0x00, 0x00, 0x04}), STATUS_SUCCESS);
        reader.ext.IoRequest.ReplyBufferLength = room;
        reader.CardSays(answer);
        EXPECT_EQ(SmartcardT0Reply(&reader.ext), STATUS_BUFFER_TOO_SMALL) << room;
        EXPECT_EQ(reader.information, 0xFFFFFFFFu);
    }
    reader.Transmit(SCARD_PROTOCOL_T0, {0x00, 0xB0, 0x00, 0x00, 0x04}, 14);
    reader.CardSays(answer);
    ASSERT_EQ(SmartcardT0Reply(&reader.ext), STATUS_SUCCESS);
    EXPECT_EQ(reader.Answer(), answer);
    EXPECT_TRUE(reader.CanariesIntact());
}

TEST_F(T0Test, reply_length_beyond_its_buffer_is_refused) {
    ASSERT_EQ(Request({0x00, 0x70, 0x00, 0x00}), STATUS_SUCCESS);
    reader.ext.SmartcardReply.BufferLength = Reader::kBufferBytes + 1;
    EXPECT_EQ(SmartcardT0Reply(&reader.ext), STATUS_INVALID_PARAMETER);
}

TEST_F(T0Test, null_extension_is_refused) {
    EXPECT_EQ(SmartcardT0Request(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SmartcardT0Reply(nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace lmscr::smclib::test
