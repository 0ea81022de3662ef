// GET_ATTRIBUTE and SET_ATTRIBUTE: each attribute read back in the platform's encoding with the
// values the reader set, at every output length, and the card attributes only with a card.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fake_reader.h"

using namespace lmscr::smclib::test;
using lmscr::kernel::IoResult;

namespace {

void FillReader(SMARTCARD_EXTENSION &ext) {
    auto &vendor = ext.VendorAttr;
    vendor.IfdVersion.VersionMajor = 1;
    vendor.IfdVersion.VersionMinor = 2;
    vendor.IfdVersion.BuildNumber = 0x0159;
    vendor.IfdSerialNo.Length = 4;
    std::memcpy(vendor.IfdSerialNo.Buffer, "SN42", 4);
    vendor.UnitNo = 2;
    auto &reader = ext.ReaderCapabilities;
    reader.Channel = 3;
    reader.CLKFrequency = {3580, 4000};
    reader.DataRate = {9600, 19200};
    reader.MechProperties = SCARD_READER_SWALLOWS;
}

Bytes Text(const char *text, bool zero) {
    Bytes out(text, text + std::strlen(text));
    if (zero) out.push_back(0);
    return out;
}

struct Expected {
    const char *name;
    ULONG id;
    Bytes value;
};

class Attributes : public ::testing::Test {
protected:
    IoResult Get(ULONG id, ULONG out) { return rig.Io(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(id), out); }
    IoResult Set(ULONG id, const Bytes &value) {
        return rig.Io(IOCTL_SMARTCARD_SET_ATTRIBUTE, Concat(Ulong(id), value), 0);
    }
    // Every output length around the value's: too short is refused whole, enough gets it exactly.
    void ExpectAtEveryLength(const Expected &e) {
        SCOPED_TRACE(e.name);
        const ULONG need = static_cast<ULONG>(e.value.size());
        for (ULONG out : {ULONG{0}, ULONG{1}, need - 1, need, need + 40}) {
            if (out > need + 40) continue;  // need - 1 wrapped for an empty value
            IoResult r = Get(e.id, out);
            if (out < need) {
                EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << "out " << out;
                EXPECT_EQ(r.information, 0u);
            } else {
                ASSERT_EQ(r.status, STATUS_SUCCESS) << "out " << out;
                ASSERT_EQ(r.information, need);
                EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + need), e.value);
            }
        }
    }
    Rig rig{0, FillReader};
};

TEST_F(Attributes, reader_attributes_read_back_in_their_encodings) {
    const std::vector<Expected> table = {
        {"vendor name", SCARD_ATTR_VENDOR_NAME, Text("Testvendor", true)},
        {"ifd type", SCARD_ATTR_VENDOR_IFD_TYPE, Text("Scripted Reader", true)},
        {"serial number", SCARD_ATTR_VENDOR_IFD_SERIAL_NO, Text("SN42", false)},
        {"ifd version 0xMMmmbbbb", SCARD_ATTR_VENDOR_IFD_VERSION, Ulong(0x01020159)},
        {"channel 0xDDDDCCCC", SCARD_ATTR_CHANNEL_ID, Ulong(0x00010003)},
        {"protocol types", SCARD_ATTR_PROTOCOL_TYPES, Ulong(3)},
        {"default clock", SCARD_ATTR_DEFAULT_CLK, Ulong(3580)},
        {"max clock", SCARD_ATTR_MAX_CLK, Ulong(4000)},
        {"default data rate", SCARD_ATTR_DEFAULT_DATA_RATE, Ulong(9600)},
        {"max data rate", SCARD_ATTR_MAX_DATA_RATE, Ulong(19200)},
        {"max ifsd", SCARD_ATTR_MAX_IFSD, Ulong(254)},
        {"power management", SCARD_ATTR_POWER_MGMT_SUPPORT, Ulong(0)},
        {"characteristics", SCARD_ATTR_CHARACTERISTICS, Ulong(SCARD_READER_SWALLOWS)},
        {"device unit", SCARD_ATTR_DEVICE_UNIT, Ulong(2)},
    };
    for (const Expected &e : table) ExpectAtEveryLength(e);
}

TEST_F(Attributes, empty_serial_number_is_an_empty_value) {
    rig.Ext().VendorAttr.IfdSerialNo.Length = 0;
    IoResult r = Get(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
}

TEST_F(Attributes, card_attributes_of_a_t1_card_after_an_ifs_exchange) {
    rig.S().card = [](const Bytes &sent) -> Bytes {
        if (sent.at(1) == 0xC1) return {0x00, 0xE1, 0x01, sent[3], static_cast<UCHAR>(0xE1 ^ 0x01 ^ sent[3])};
        return {0x00, 0x00, 0x02, 0x90, 0x00, 0x92};
    };
    rig.InsertAndReset(kAtrT1, SCARD_PROTOCOL_T1);
    ASSERT_EQ(rig.Io(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 0x02}), 10)
                  .status,
              STATUS_SUCCESS);
    const auto &card = rig.Ext().CardCapabilities;
    ASSERT_NE(card.T1.BWT, 0u);
    const std::vector<Expected> table = {
        {"protocol", SCARD_ATTR_CURRENT_PROTOCOL_TYPE, Ulong(SCARD_PROTOCOL_T1)},
        {"clock", SCARD_ATTR_CURRENT_CLK, Ulong(3580)},
        {"F", SCARD_ATTR_CURRENT_F, Ulong(372)},
        {"D", SCARD_ATTR_CURRENT_D, Ulong(1)},
        {"N", SCARD_ATTR_CURRENT_N, Ulong(0)},
        {"W", SCARD_ATTR_CURRENT_W, Ulong(card.T0.WT)},
        {"IFSC (default, 11.4.2)", SCARD_ATTR_CURRENT_IFSC, Ulong(32)},
        {"IFSD after the IFS exchange", SCARD_ATTR_CURRENT_IFSD, Ulong(254)},
        {"BWT", SCARD_ATTR_CURRENT_BWT, Ulong(card.T1.BWT)},
        {"CWT", SCARD_ATTR_CURRENT_CWT, Ulong(card.T1.CWT)},
        {"EBC: LRC", SCARD_ATTR_CURRENT_EBC_ENCODING, Ulong(0)},
        {"ATR", SCARD_ATTR_ATR_STRING, kAtrT1},
        {"presence: in position", SCARD_ATTR_ICC_PRESENCE, {2}},
        {"contacts active", SCARD_ATTR_ICC_INTERFACE_STATUS, {1}},
        {"state", SCARD_ATTR_CURRENT_IO_STATE, Ulong(SCARD_SPECIFIC)},
    };
    for (const Expected &e : table) ExpectAtEveryLength(e);
}

// Fi and Di come from the ISO/IEC 7816-3 tables (7 and 8) at the indices in force.
TEST_F(Attributes, current_f_and_d_follow_the_indices_in_force) {
    rig.InsertAndReset(kAtrT0, SCARD_PROTOCOL_T0);
    auto &card = rig.Ext().CardCapabilities;
    card.Fl = 9;
    card.Dl = 3;
    EXPECT_EQ(UlongAt(Get(SCARD_ATTR_CURRENT_F, 4).output), 512u);
    EXPECT_EQ(UlongAt(Get(SCARD_ATTR_CURRENT_D, 4).output), 4u);
    card.Fl = 7;  // reserved row
    EXPECT_EQ(UlongAt(Get(SCARD_ATTR_CURRENT_F, 4).output), 0u);
}

TEST_F(Attributes, card_attributes_need_a_powered_card) {
    rig.UpdateCardState(SCARD_ABSENT);
    EXPECT_EQ(Get(SCARD_ATTR_ATR_STRING, 64).status, STATUS_NO_MEDIA);
    EXPECT_EQ(Get(SCARD_ATTR_CURRENT_PROTOCOL_TYPE, 4).status, STATUS_NO_MEDIA);
    EXPECT_EQ(Get(SCARD_ATTR_ICC_PRESENCE, 1).output, Bytes{0});
    EXPECT_EQ(Get(SCARD_ATTR_ICC_INTERFACE_STATUS, 1).output, Bytes{0});
    rig.UpdateCardState(SCARD_PRESENT);
    EXPECT_EQ(Get(SCARD_ATTR_CURRENT_IFSC, 4).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Get(SCARD_ATTR_ICC_PRESENCE, 1).output, Bytes{1});
    // Reader attributes need no card.
    EXPECT_EQ(Get(SCARD_ATTR_MAX_IFSD, 4).status, STATUS_SUCCESS);
}

TEST_F(Attributes, unknown_attribute_and_short_input_are_refused) {
    EXPECT_EQ(Get(SCARD_ATTR_DEVICE_FRIENDLY_NAME_A, 64).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Get(0xDEADBEEF, 64).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_GET_ATTRIBUTE, {0x00, 0x01, 0x01}, 64).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_SET_ATTRIBUTE, {}, 0).status, STATUS_INVALID_PARAMETER);
}

TEST_F(Attributes, suppress_ifs_request_round_trips) {
    EXPECT_EQ(UlongAt(Get(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST, 4).output), 0u);
    EXPECT_EQ(Set(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST, Ulong(0x55)).status, STATUS_SUCCESS);
    EXPECT_EQ(UlongAt(Get(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST, 4).output), 1u);
    EXPECT_EQ(Set(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST, Ulong(0)).status, STATUS_SUCCESS);
    EXPECT_EQ(UlongAt(Get(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST, 4).output), 0u);
    EXPECT_EQ(Set(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST, {1, 0, 0}).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(UlongAt(Get(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST, 4).output), 0u);
}

TEST_F(Attributes, reader_description_cannot_be_set) {
    EXPECT_EQ(Set(SCARD_ATTR_VENDOR_NAME, Text("Other", true)).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Set(SCARD_ATTR_MAX_IFSD, Ulong(32)).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Set(0xDEADBEEF, Ulong(1)).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Get(SCARD_ATTR_VENDOR_NAME, 64).output[0], 'T');
    EXPECT_EQ(UlongAt(Get(SCARD_ATTR_MAX_IFSD, 4).output), 254u);
}

}  // namespace
