// attributes.cpp - IOCTL_SMARTCARD_GET_ATTRIBUTE and IOCTL_SMARTCARD_SET_ATTRIBUTE: the reader
// and card attributes of PC/SC part 3, read from the SMARTCARD_EXTENSION.
//
// Request: [ attribute id, ULONG | value (set only) ].  Reply of a get: the value alone.
// Encodings, all little-endian:
//
//   attribute                      size   value
//   VENDOR_NAME, VENDOR_IFD_TYPE,  Length VendorAttr bytes as the driver stored them (its
//   VENDOR_IFD_SERIAL_NO                  terminating zero byte counted when it counts it)
//   VENDOR_IFD_VERSION             4      0xMMmmbbbb: major, minor, build number
//   CHANNEL_ID                     4      0xDDDDCCCC: channel type (the reader type bit,
//                                         SCARD_READER_TYPE_SERIAL = serial I/O), channel number
//   PROTOCOL_TYPES                 4      SCARD_PROTOCOL_* mask the reader runs
//   DEFAULT_CLK, MAX_CLK           4      kHz
//   DEFAULT_DATA_RATE, MAX_DATA_RATE 4    bit/s
//   MAX_IFSD                       4      bytes
//   POWER_MGMT_SUPPORT             4      0: the reader cannot power down with a card inserted
//   CHARACTERISTICS                4      SCARD_READER_SWALLOWS ... mask
//   DEVICE_UNIT                    4      VendorAttr.UnitNo
//   ICC_PRESENCE                   1      0 none, 1 present, 2 present and in position
//                                         (swallowed or beyond), 4 confiscated
//   ICC_INTERFACE_STATUS           1      0 contacts inactive, 1 active (card powered)
//   CURRENT_IO_STATE               4      the SCARD_* card state
//   SUPRESS_T1_IFS_REQUEST         4      0 or 1; the one attribute that can be set
// Card attributes, answered only while a card is powered:
//   CURRENT_PROTOCOL_TYPE          4      SCARD_PROTOCOL_* selected, 0 while none
//   CURRENT_CLK                    4      kHz the card is clocked at
//   CURRENT_F, CURRENT_D           4      Fi and Di in force (ISO/IEC 7816-3 tables 7, 8)
//   CURRENT_N                      4      extra guard time N (TC1), etu
//   CURRENT_W                      4      T=0 work waiting time, microseconds
//   CURRENT_IFSC, CURRENT_IFSD     4      T=1 information field sizes now in force
//   CURRENT_BWT, CURRENT_CWT       4      T=1 block and character waiting times, microseconds
//   CURRENT_EBC_ENCODING           4      0 LRC, 1 CRC
//   ATR_STRING                     ATR.Length  the answer to reset
#include "smclib_core.h"

namespace lmscr::smclib {
namespace {

struct Value {
    const UCHAR *bytes = nullptr;  // a string or byte attribute, or
    ULONG length = 0;
    ULONG number = 0;              // a ULONG attribute (bytes == nullptr, width 4 or 1)
    ULONG width = 4;
    bool card = false;             // needs a powered card
};

Value String(const UCHAR *bytes, USHORT length) {
    Value v;
    v.bytes = bytes;
    v.length = length > MAXIMUM_ATTR_STRING_LENGTH ? MAXIMUM_ATTR_STRING_LENGTH : length;
    return v;
}

Value Number(ULONG number, bool card = false) {
    Value v;
    v.number = number;
    v.card = card;
    return v;
}

Value Byte(UCHAR number) {
    Value v;
    v.number = number;
    v.width = 1;
    return v;
}

UCHAR Presence(const SCARD_READER_CAPABILITIES &reader) {
    if (reader.CardConfiscated) return 4;
    if (!CardPresent(reader.CurrentState)) return 0;
    return reader.CurrentState == SCARD_PRESENT ? 1 : 2;
}

ULONG CurrentF(const SCARD_CARD_CAPABILITIES &card) {
    if (card.ClockRateConversion == nullptr || card.Fl >= 16) return 0;
    return card.ClockRateConversion[card.Fl].F;
}

ULONG CurrentD(const SCARD_CARD_CAPABILITIES &card) {
    if (card.BitRateAdjustment == nullptr || card.Dl >= 16) return 0;
    const BIT_RATE_ADJUSTMENT &row = card.BitRateAdjustment[card.Dl];
    return row.DDivisor == 0 ? 0 : row.DNumerator / row.DDivisor;
}

// false: the library does not answer this attribute.
bool Lookup(const SMARTCARD_EXTENSION &ext, ULONG id, Value &v) {
    const VENDOR_ATTR &vendor = ext.VendorAttr;
    const SCARD_READER_CAPABILITIES &reader = ext.ReaderCapabilities;
    const SCARD_CARD_CAPABILITIES &card = ext.CardCapabilities;
    switch (id) {
    case SCARD_ATTR_VENDOR_NAME: v = String(vendor.VendorName.Buffer, vendor.VendorName.Length); return true;
    case SCARD_ATTR_VENDOR_IFD_TYPE: v = String(vendor.IfdType.Buffer, vendor.IfdType.Length); return true;
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO: v = String(vendor.IfdSerialNo.Buffer, vendor.IfdSerialNo.Length); return true;
    case SCARD_ATTR_VENDOR_IFD_VERSION:
        v = Number(ULONG{vendor.IfdVersion.VersionMajor} << 24 | ULONG{vendor.IfdVersion.VersionMinor} << 16 |
                   vendor.IfdVersion.BuildNumber);
        return true;
    case SCARD_ATTR_CHANNEL_ID: v = Number((reader.ReaderType & 0xFFFF) << 16 | (reader.Channel & 0xFFFF)); return true;
    case SCARD_ATTR_PROTOCOL_TYPES: v = Number(reader.SupportedProtocols); return true;
    case SCARD_ATTR_DEFAULT_CLK: v = Number(reader.CLKFrequency.Default); return true;
    case SCARD_ATTR_MAX_CLK: v = Number(reader.CLKFrequency.Max); return true;
    case SCARD_ATTR_DEFAULT_DATA_RATE: v = Number(reader.DataRate.Default); return true;
    case SCARD_ATTR_MAX_DATA_RATE: v = Number(reader.DataRate.Max); return true;
    case SCARD_ATTR_MAX_IFSD: v = Number(reader.MaxIFSD); return true;
    case SCARD_ATTR_POWER_MGMT_SUPPORT: v = Number(reader.PowerMgmtSupport); return true;
    case SCARD_ATTR_CHARACTERISTICS: v = Number(reader.MechProperties); return true;
    case SCARD_ATTR_DEVICE_UNIT: v = Number(vendor.UnitNo); return true;
    case SCARD_ATTR_ICC_PRESENCE: v = Byte(Presence(reader)); return true;
    case SCARD_ATTR_ICC_INTERFACE_STATUS: v = Byte(reader.CurrentState >= SCARD_POWERED ? 1 : 0); return true;
    case SCARD_ATTR_CURRENT_IO_STATE: v = Number(reader.CurrentState); return true;
    case SCARD_ATTR_SUPRESS_T1_IFS_REQUEST: v = Number(ext.OsData->SuppressT1IfsRequest); return true;
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE: v = Number(card.Protocol.Selected, true); return true;
    case SCARD_ATTR_CURRENT_CLK: v = Number(reader.CLKFrequency.Default, true); return true;
    case SCARD_ATTR_CURRENT_F: v = Number(CurrentF(card), true); return true;
    case SCARD_ATTR_CURRENT_D: v = Number(CurrentD(card), true); return true;
    case SCARD_ATTR_CURRENT_N: v = Number(card.N, true); return true;
    case SCARD_ATTR_CURRENT_W: v = Number(card.T0.WT, true); return true;
    case SCARD_ATTR_CURRENT_IFSC: v = Number(ext.T1.IFSC, true); return true;
    case SCARD_ATTR_CURRENT_IFSD: v = Number(ext.T1.IFSD, true); return true;
    case SCARD_ATTR_CURRENT_BWT: v = Number(card.T1.BWT, true); return true;
    case SCARD_ATTR_CURRENT_CWT: v = Number(card.T1.CWT, true); return true;
    case SCARD_ATTR_CURRENT_EBC_ENCODING: v = Number(card.T1.EDC, true); return true;
    case SCARD_ATTR_ATR_STRING: {
        const UCHAR length = card.ATR.Length > sizeof(card.ATR.Buffer) ? sizeof(card.ATR.Buffer) : card.ATR.Length;
        v = Value{};
        v.bytes = card.ATR.Buffer;
        v.length = length;
        v.card = true;
        return true;
    }
    default: return false;
    }
}

}  // namespace

NTSTATUS GetAttribute(SMARTCARD_EXTENSION &ext, ULONG id, PUCHAR out, ULONG out_bytes, ULONG &written) {
    written = 0;
    Value v;
    if (!Lookup(ext, id, v)) return STATUS_NOT_SUPPORTED;
    if (v.card) {
        const ULONG state = ext.ReaderCapabilities.CurrentState;
        if (!CardPresent(state)) return STATUS_NO_MEDIA;
        // The card values are the last reset's; before a reset they belong to an earlier card.
        if (state < SCARD_POWERED) return STATUS_INVALID_DEVICE_STATE;
    }
    const ULONG length = v.bytes != nullptr ? v.length : v.width;
    if (length > out_bytes) return STATUS_BUFFER_TOO_SMALL;
    if (length == 0) return STATUS_SUCCESS;
    if (out == nullptr) return STATUS_INVALID_PARAMETER;
    if (v.bytes != nullptr) {
        RtlCopyMemory(out, v.bytes, length);
    } else {
        for (ULONG i = 0; i < v.width; ++i) out[i] = static_cast<UCHAR>(v.number >> (8 * i));
    }
    written = length;
    return STATUS_SUCCESS;
}

NTSTATUS SetAttribute(SMARTCARD_EXTENSION &ext, ULONG id, const UCHAR *value, ULONG value_bytes) {
    Value unused;
    if (!Lookup(ext, id, unused)) return STATUS_NOT_SUPPORTED;
    // Everything else describes the reader or the card as they are; only the driver or a reset
    // changes it.
    if (id != SCARD_ATTR_SUPRESS_T1_IFS_REQUEST) return STATUS_NOT_SUPPORTED;
    if (value == nullptr || value_bytes < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    ULONG flag = 0;
    RtlCopyMemory(&flag, value, sizeof(flag));
    ext.OsData->SuppressT1IfsRequest = flag != 0 ? 1 : 0;
    return STATUS_SUCCESS;
}

}  // namespace lmscr::smclib
