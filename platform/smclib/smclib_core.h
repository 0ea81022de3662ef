// smclib_core.h - what the core sources of the class library (initialisation, device control,
// attributes, remove lock, log) share, and what their tests reach directly.  Not part of the
// platform API.
#pragma once

#include "smclib.h"

namespace lmscr::smclib {

// A pool tag reads as its four characters in memory, first character lowest.
constexpr ULONG PoolTag(char a, char b, char c, char d) {
    return static_cast<ULONG>(static_cast<UCHAR>(a)) | static_cast<ULONG>(static_cast<UCHAR>(b)) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(c)) << 16 | static_cast<ULONG>(static_cast<UCHAR>(d)) << 24;
}

inline constexpr ULONG kOsDataTag = PoolTag('S', 'm', 'O', 's');      // SMARTCARD_OS_DATA
inline constexpr ULONG kRequestTag = PoolTag('S', 'm', 'R', 'q');     // SmartcardRequest.Buffer
inline constexpr ULONG kReplyTag = PoolTag('S', 'm', 'R', 'p');       // SmartcardReply.Buffer
inline constexpr ULONG kRemoveLockTag = PoolTag('S', 'm', 'R', 'l');  // OsData->RemoveLock

// Parameter 1 of the library's own bug checks: driver errors it cannot carry on from.
inline constexpr ULONG_PTR kBugNoOsData = 0x5C01;         // remove lock of a reader not initialised
inline constexpr ULONG_PTR kBugReaderReentered = 0x5C02;  // two requests inside the reader functions

// Request and reply buffers: a driver that leaves a size at 0 gets room for the longest T=1
// block (3 + 254 + 2) and the longest short T=0 command (5 + 255) or answer (256 + 2); a size
// beyond kMaxBufferBytes is refused as a driver error rather than tried.
inline constexpr ULONG kDefaultBufferBytes = 288;
inline constexpr ULONG kMaxBufferBytes = 0x10000;

// The ATR a reset hands back is at most this long (ISO/IEC 7816-3 8.2.1: TS and 32 more bytes);
// a reset request must bring room for it.
inline constexpr ULONG kAtrRoomBytes = MAXIMUM_ATR_LENGTH;

// Presence classes of the card states: SCARD_UNKNOWN and SCARD_ABSENT mean no card.
inline bool CardPresent(ULONG state) { return state > SCARD_ABSENT; }

// IOCTL_SMARTCARD_GET_ATTRIBUTE: the value of attribute `id` into out[0..out_bytes); `written`
// receives its length.  STATUS_NOT_SUPPORTED for an attribute this library does not answer,
// STATUS_NO_MEDIA / STATUS_INVALID_DEVICE_STATE for a card attribute without a powered card,
// STATUS_BUFFER_TOO_SMALL when the value does not fit.  Called with the reader entered.
NTSTATUS GetAttribute(SMARTCARD_EXTENSION &ext, ULONG id, PUCHAR out, ULONG out_bytes, ULONG &written);

// IOCTL_SMARTCARD_SET_ATTRIBUTE with the value that follows the id in the request.
NTSTATUS SetAttribute(SMARTCARD_EXTENSION &ext, ULONG id, const UCHAR *value, ULONG value_bytes);

}  // namespace lmscr::smclib
