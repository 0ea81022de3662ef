// smclib_internal.h - what the card-protocol sources of the class library share, and what their
// tests reach directly.  Not part of the platform API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "smclib.h"

namespace lmscr::smclib {

// ISO/IEC 7816-3:2006 Table 7 (Fi, fmax in kHz) and Table 8 (Di), indexed by the nibbles of TA1.
// Reserved rows are all zero; SmartcardUpdateCardCapabilities never selects one.
extern CLOCK_RATE_CONVERSION ClockRateConversion[16];
extern BIT_RATE_ADJUSTMENT BitRateAdjustment[16];

// The transmit request and reply header every application buffer starts with.
inline constexpr ULONG kIoHeaderBytes = sizeof(SCARD_IO_REQUEST);

// The APDU of the caller's transmit request, after its SCARD_IO_REQUEST header; false when the
// request buffer is missing or its header does not fit it.
bool RequestApdu(const SMARTCARD_EXTENSION &ext, std::span<const UCHAR> &apdu);

// Writes the reply header {protocol, 8} and sets *Information to header + answer length; the
// answer bytes must already be at ReplyBuffer + 8.  The caller checked the room.
void FinishReply(SMARTCARD_EXTENSION &ext, ULONG protocol, ULONG answer_bytes);

// T=1 epilogue (ISO/IEC 7816-3, 11.4.4).
UCHAR Lrc(std::span<const UCHAR> bytes);
// ISO/IEC 13239 FCS-16: polynomial x^16 + x^12 + x^5 + 1, bits least significant first, register
// preset to all ones, final ones' complement.  Sent low-order byte first.
USHORT Crc16(std::span<const UCHAR> bytes);

// Resets the T=1 state for a freshly reset card whose IFSC is `ifsc`.
void ResetT1State(SMARTCARD_EXTENSION &ext, UCHAR ifsc);

}  // namespace lmscr::smclib
