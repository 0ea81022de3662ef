// The transmit request header as every card protocol reads it.
#include <gtest/gtest.h>

#include "smclib_internal.h"
#include "smclib_test_support.h"

namespace lmscr::smclib::test {
namespace {

class IoRequestTest : public ::testing::Test {
protected:
    Reader reader;
    std::span<const UCHAR> apdu;
    void SetHeaderLength(ULONG pci) { std::memcpy(reader.io_in.data() + 4, &pci, 4); }
};

TEST_F(IoRequestTest, apdu_starts_after_the_header_length_it_names) {
    reader.Transmit(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x00, 0x00, 0xAA, 0xBB});
    SetHeaderLength(10);  // a longer header: two protocol-specific bytes, the APDU after them
    ASSERT_TRUE(RequestApdu(reader.ext, apdu));
    ASSERT_EQ(apdu.size(), 4u);
    EXPECT_EQ(apdu[0], 0x00);
    EXPECT_EQ(apdu[3], 0xBB);
}

TEST_F(IoRequestTest, header_shorter_than_itself_or_longer_than_buffer_is_refused) {
    reader.Transmit(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x00, 0x00});
    SetHeaderLength(7);
    EXPECT_FALSE(RequestApdu(reader.ext, apdu));
    SetHeaderLength(13);
    EXPECT_FALSE(RequestApdu(reader.ext, apdu));
    SetHeaderLength(12);  // exactly the buffer: an empty APDU, for the protocol to refuse
    ASSERT_TRUE(RequestApdu(reader.ext, apdu));
    EXPECT_EQ(apdu.size(), 0u);
}

TEST_F(IoRequestTest, missing_or_short_request_buffer_is_refused) {
    reader.Transmit(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x00, 0x00});
    reader.ext.IoRequest.RequestBufferLength = 7;
    EXPECT_FALSE(RequestApdu(reader.ext, apdu));
    reader.ext.IoRequest.RequestBufferLength = 12;
    reader.ext.IoRequest.RequestBuffer = nullptr;
    EXPECT_FALSE(RequestApdu(reader.ext, apdu));
}

TEST_F(IoRequestTest, finish_reply_writes_header_and_total_length) {
    reader.Transmit(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x00, 0x00}, 20);
    FinishReply(reader.ext, SCARD_PROTOCOL_T1, 5);
    SCARD_IO_REQUEST header;
    std::memcpy(&header, reader.io_out.data(), 8);
    EXPECT_EQ(header.dwProtocol, ULONG{SCARD_PROTOCOL_T1});
    EXPECT_EQ(header.cbPciLength, 8u);
    EXPECT_EQ(reader.information, 13u);
    reader.ext.IoRequest.Information = nullptr;  // a caller without a length: no write through null
    FinishReply(reader.ext, SCARD_PROTOCOL_T1, 5);
    EXPECT_TRUE(reader.CanariesIntact());
}

}  // namespace
}  // namespace lmscr::smclib::test
