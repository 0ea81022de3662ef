// t0.cpp - SmartcardT0Request / SmartcardT0Reply: short command APDUs (ISO/IEC 7816-4 cases 1
// to 4) mapped to T=0 commands (ISO/IEC 7816-3:2006 clause 12.2) and the card's answer handed
// back to the application.
//
// The T=0 command the driver sends, its procedure bytes aside:
//
//   CLA INS P1 P2 P3 [data]        case 1:  P3 = 00, no data, Le 0
//                                  case 2:  P3 = Le (00 asks for 256), no data
//                                  case 3:  P3 = Lc, Lc data bytes
//                                  case 4:  P3 = Lc, Lc data bytes; Le is not sent
//
// In case 4 the card answers 61 xx and the application fetches the data with GET RESPONSE
// (ISO/IEC 7816-3 12.2.4): T=0 has no way to carry data both ways in one command.
#include <cstring>

#include "smclib_internal.h"

namespace lmscr::smclib {
namespace {

constexpr ULONG kHeaderBytes = 5;  // CLA INS P1 P2 P3
constexpr ULONG kStatusBytes = 2;  // SW1 SW2

NTSTATUS T0Request(SMARTCARD_EXTENSION &ext) {
    std::span<const UCHAR> apdu;
    if (!RequestApdu(ext, apdu)) return STATUS_INVALID_PARAMETER;
    auto &out = ext.SmartcardRequest;
    if (out.Buffer == nullptr || out.BufferLength > out.BufferSize) return STATUS_INVALID_PARAMETER;

    UCHAR header[kHeaderBytes] = {};
    ULONG lc = 0, le = 0;
    if (apdu.size() < 4) return STATUS_INVALID_PARAMETER;
    // The card answers the header with a procedure byte, and an INS of 6X or 9X would come back
    // as its own ACK and read as SW1 at once (ISO/IEC 7816-3 10.3.2): such a command cannot be
    // carried by T=0, and is refused before anything reaches the card.
    if ((apdu[1] & 0xF0) == 0x60 || (apdu[1] & 0xF0) == 0x90) return STATUS_INVALID_PARAMETER;
    std::memcpy(header, apdu.data(), 4);
    if (apdu.size() == 4) {
        header[4] = 0;  // case 1
    } else if (apdu.size() == 5) {
        header[4] = apdu[4];  // case 2: Le, 00 meaning 256
        le = apdu[4] == 0 ? 256 : apdu[4];
    } else {
        lc = apdu[4];
        // Lc 00 would open an extended-length APDU, which T=0 cannot carry in one command.
        if (lc == 0) return STATUS_INVALID_PARAMETER;
        if (apdu.size() != kHeaderBytes + lc && apdu.size() != kHeaderBytes + lc + 1)
            return STATUS_INVALID_PARAMETER;
        header[4] = static_cast<UCHAR>(lc);  // case 3, or case 4 with its Le dropped
    }
    if (out.BufferSize - out.BufferLength < kHeaderBytes + lc) return STATUS_BUFFER_TOO_SMALL;
    // The answer comes back through IoRequest with its header in front; refuse now, before
    // the card runs a command whose answer could not be delivered.
    if (ext.IoRequest.ReplyBuffer == nullptr || ext.IoRequest.ReplyBufferLength < kIoHeaderBytes + kStatusBytes)
        return STATUS_BUFFER_TOO_SMALL;

    UCHAR *dst = out.Buffer + out.BufferLength;
    std::memcpy(dst, header, kHeaderBytes);
    if (lc != 0) std::memcpy(dst + kHeaderBytes, apdu.data() + kHeaderBytes, lc);
    out.BufferLength += kHeaderBytes + lc;
    ext.T0.Lc = lc;
    ext.T0.Le = le;
    return STATUS_SUCCESS;
}

NTSTATUS T0Reply(SMARTCARD_EXTENSION &ext) {
    const auto &in = ext.SmartcardReply;
    if (in.Buffer == nullptr || in.BufferLength > in.BufferSize) return STATUS_INVALID_PARAMETER;
    // Every T=0 answer ends with SW1 SW2 (ISO/IEC 7816-3 10.3.3); less is no answer.
    if (in.BufferLength < kStatusBytes) return STATUS_DEVICE_PROTOCOL_ERROR;
    auto &io = ext.IoRequest;
    if (io.ReplyBuffer == nullptr || io.ReplyBufferLength < kIoHeaderBytes ||
        io.ReplyBufferLength - kIoHeaderBytes < in.BufferLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(io.ReplyBuffer + kIoHeaderBytes, in.Buffer, in.BufferLength);
    FinishReply(ext, SCARD_PROTOCOL_T0, in.BufferLength);
    return STATUS_SUCCESS;
}

}  // namespace
}  // namespace lmscr::smclib

extern "C" NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
    return lmscr::smclib::T0Request(*SmartcardExtension);
}

extern "C" NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
    return lmscr::smclib::T0Reply(*SmartcardExtension);
}
