// The reader's command set, byte by byte against a scripted reader.
#include "fake_reader.h"
#include "rig.h"

#include <map>

using namespace lmscr;
using namespace lmscr::test;

namespace {

using Bytes = std::vector<uint8_t>;

class Commands : public FakeReaderTest {
protected:
    Bytes Sent() {
        Bytes b = rig->Fake().received;
        rig->Fake().received.clear();
        return b;
    }
};

TEST_F(Commands, write_register_5_with_9600_is_four_bytes_answered_0x90) {
    const UCHAR value[3] = {0x80, 0x25, 0x00};
    EXPECT_EQ(WriteRegister(r, 5, 3, value), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), (Bytes{0x85, 0x80, 0x25, 0x00}));
    EXPECT_EQ(SetCharTimeout(r, 9600), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), (Bytes{0x85, 0x80, 0x25, 0x00}));
    EXPECT_EQ(SetBlockTimeout(r, 0x01ABCDEF), STATUS_SUCCESS);  // bits above 23 dropped
    EXPECT_EQ(Sent(), (Bytes{0x86, 0xEF, 0xCD, 0xAB}));
}

TEST_F(Commands, write_register_rejected_with_0x88_is_a_data_error) {
    rig->Fake().replyOverride = {0x88};
    const UCHAR v = 1;
    EXPECT_EQ(WriteRegister(r, 8, 1, &v), STATUS_DATA_ERROR);
}

TEST_F(Commands, read_register_sends_one_byte_and_unescapes_the_value) {
    rig->Fake().reg[2] = 0x10;
    UCHAR value = 0;
    EXPECT_EQ(ReadRegister(r, 2, 1, &value), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), (Bytes{0xC2}));
    EXPECT_EQ(value, 0x10);
}

TEST_F(Commands, firmware_version_nibbles) {
    rig->Fake().reg[0] = 0x23;
    EXPECT_EQ(ReadFirmwareVersion(r), STATUS_SUCCESS);
    EXPECT_EQ(r->FirmwareMajor, 2);
    EXPECT_EQ(r->FirmwareMinor, 3);
}

TEST_F(Commands, send_data_of_50_bytes_is_three_commands_each_answered) {
    Bytes data(50);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(SendData(r, data.data(), 50), STATUS_SUCCESS);
    Bytes sent = Sent();
    ASSERT_EQ(sent.size(), 53u);
    EXPECT_EQ(sent[0], 0x58);
    EXPECT_EQ(sent[25], 0x58);
    EXPECT_EQ(sent[50], 0x42);
    EXPECT_EQ(Bytes(sent.begin() + 51, sent.end()), (Bytes{48, 49}));
}

TEST_F(Commands, send_data_goes_on_after_0x88_and_stops_at_a_bad_reply) {
    Bytes data(50, 0x55);
    rig->Fake().replyOverride = {0x88, 0x84};
    EXPECT_EQ(SendData(r, data.data(), 50), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Sent().size(), 50u);  // two chunks of 24 and their command bytes; not the third
}

TEST_F(Commands, send_data_of_nothing_still_asks_the_reader) {
    EXPECT_EQ(SendData(r, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), (Bytes{0x40}));
}

TEST_F(Commands, guard_time_low_byte_in_register_1_bit_8_in_register_2) {
    rig->Fake().reg[2] = 0x4F;
    EXPECT_EQ(SetGuardTime(r, 300), STATUS_SUCCESS);
    EXPECT_EQ(rig->Fake().reg[1], 0x2C);
    EXPECT_EQ(rig->Fake().reg[2], 0xCF);
    EXPECT_EQ(SetGuardTime(r, 510), STATUS_SUCCESS);
    Sent();
    EXPECT_EQ(SetGuardTime(r, 511), STATUS_DATA_ERROR);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(SetGuardTime(r, 12), STATUS_SUCCESS);
    EXPECT_EQ(rig->Fake().reg[2], 0x4F);
}

TEST_F(Commands, protocol_mode_changes_only_the_two_low_bits) {
    rig->Fake().reg[2] = 0x6C;
    EXPECT_EQ(SetProtocolMode(r, 3), STATUS_SUCCESS);
    EXPECT_EQ(rig->Fake().reg[2], 0x6F);
    EXPECT_EQ(Sent(), (Bytes{0xC2, 0x82, 0x6F}));
}

TEST_F(Commands, card_reset_preparation_leaves_the_registers_ready_for_an_atr) {
    EXPECT_EQ(PrepareCardReset(r, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(rig->Fake().reg[2], 0x6C);
    EXPECT_EQ(rig->Fake().reg[1], 13);
    EXPECT_EQ(rig->Fake().reg[5], 0x80);  // 9600 = 0x002580, low byte first
    EXPECT_EQ(PrepareCardReset(r, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(rig->Fake().reg[2], 0x64);
}

TEST_F(Commands, power_off_pauses_200ms_also_when_refused) {
    rig->Fake().replyOverride = {0x84};
    const uint64_t before = rig->K().NowNs();
    EXPECT_EQ(PowerOffCard(r), STATUS_DATA_ERROR);
    // At 19200 baud 8N1 a character takes 520 834 ns: the two bytes of the write-register command
    // and the refusal, then one 25 ms quiet round of resynchronisation, then the pause.
    const uint64_t frameNs = 520'834;
    EXPECT_EQ(rig->K().NowNs() - before, 3 * frameNs + 25'000'000u + 200'000'000u);
}

TEST_F(Commands, receive_data_larger_than_the_capacity_is_refused_and_the_bytes_are_gone) {
    rig->Fake().Send({1, 2, 3, 4, 5});
    rig->K().Sleep(50);
    UCHAR out[4];
    ULONG length = sizeof out;
    EXPECT_EQ(ReceiveData(r, out, &length, 5), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(r->RxCount, 0u);
    length = 4;
    EXPECT_EQ(ReceiveData(r, out, &length, 0), STATUS_SUCCESS);
    EXPECT_EQ(length, 0u);
}

TEST_F(Commands, silent_reader_fails_a_command_with_io_timeout) {
    rig->Fake().silent = true;
    const UCHAR v = 0;
    EXPECT_EQ(WriteRegister(r, 4, 1, &v), STATUS_IO_TIMEOUT);
    rig->Fake().silent = false;
}

// The reader's status bytes and the status each stands for, with the values written out, so that
// a wrong constant fails here as much as a wrong row. No other byte is a status of the reader's.
TEST(ReaderStatus, every_byte_maps_as_the_reader_defines_it) {
    const std::map<int, NTSTATUS> defined = {
        {0x90, static_cast<NTSTATUS>(0x00000000)},  // done: STATUS_SUCCESS
        {0x88, static_cast<NTSTATUS>(0xC000003E)},  // faulty card byte: STATUS_DATA_ERROR
        {0x84, static_cast<NTSTATUS>(0xC000003E)},  // reader error: STATUS_DATA_ERROR
        {0x83, static_cast<NTSTATUS>(0xC00000B5)},  // reader time-out: STATUS_IO_TIMEOUT
        {0x82, static_cast<NTSTATUS>(0xC000003F)},  // STATUS_CRC_ERROR
        {0x81, static_cast<NTSTATUS>(0xC000003C)},  // STATUS_DATA_OVERRUN
    };
    for (int b = 0; b < 256; ++b) {
        const auto row = defined.find(b);
        const NTSTATUS expected = row != defined.end() ? row->second : static_cast<NTSTATUS>(0xC0000001);
        EXPECT_EQ(MapReaderStatus(static_cast<UCHAR>(b)), expected) << std::hex << "byte 0x" << b;
    }
}

}  // namespace
