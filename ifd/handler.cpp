// The IFD handler entry points pcscd calls (IFD handler API version 3), on the reader channels
// of host.h. pcsc-lite's types are used here only: this file does not see the kernel's headers.
// pcsc-lite's handler header declares the entry points without C linkage of its own.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host.h"

#define IFD_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using lmscr::ifd::Answer;
using lmscr::ifd::Outcome;

// The driver's protocol mask bits.
constexpr uint32_t kDriverT0 = 0x1;
constexpr uint32_t kDriverT1 = 0x2;
// The reader's vendor request as a pcsc-lite application names it: SCardControl with the reader's
// own code 2049.
constexpr DWORD kGetVersion = SCARD_CTL_CODE(2049);
// pcscd and OpenSC ask every reader for its features; this reader has none (no PIN pad).
constexpr DWORD kFeatureRequest = CM_IOCTL_GET_FEATURE_REQUEST;
// One reader can serve this many channels at once; a limit of the handler's own choosing, not of
// the kernel.
constexpr unsigned char kSimultaneousReaders = 16;

void Log(const char* what, DWORD lun, const Answer& a) {
    if (a.outcome != Outcome::Success && a.outcome != Outcome::NoCard && a.outcome != Outcome::NoChannel)
        std::fprintf(stderr, "lmscr ifd: lun %lx: %s: %s\n", static_cast<unsigned long>(lun), what,
                     lmscr::ifd::StatusText(a.status).c_str());
}

RESPONSECODE CodeOf(Outcome o) {
    switch (o) {
    case Outcome::Success: return IFD_SUCCESS;
    case Outcome::NoChannel: return IFD_NO_SUCH_DEVICE;
    case Outcome::NoCard: return IFD_ICC_NOT_PRESENT;
    case Outcome::Timeout: return IFD_RESPONSE_TIMEOUT;
    case Outcome::ProtocolRefused: return IFD_PROTOCOL_NOT_SUPPORTED;
    case Outcome::BufferTooSmall: return IFD_ERROR_INSUFFICIENT_BUFFER;
    case Outcome::BadRequest: return IFD_NOT_SUPPORTED;
    case Outcome::Failed: return IFD_COMMUNICATION_ERROR;
    }
    return IFD_COMMUNICATION_ERROR;
}

// A capability answer of `n` bytes into pcscd's buffer.
RESPONSECODE Give(PDWORD length, PUCHAR value, const void* data, DWORD n) {
    if (!length || !value) return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (*length < n) return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (n) std::memcpy(value, data, n);
    *length = n;
    return IFD_SUCCESS;
}

// Serial channels by their traditional numbers (I/O base and interrupt of the PC's first four
// ports); any other number n is /dev/ttySn.
std::string TtyOfChannel(DWORD channel) {
    switch (channel) {
    case 0x0103F8: return "/dev/ttyS0";
    case 0x0102F8: return "/dev/ttyS1";
    case 0x0103E8: return "/dev/ttyS2";
    case 0x0102E8: return "/dev/ttyS3";
    default: return "/dev/ttyS" + std::to_string(channel);
    }
}

// pcscd's polling routine: returns when the slot holds news for IFDHICCPresence, when `timeoutMs`
// ends, or when pcscd stops it.
RESPONSECODE Polling(DWORD lun, int timeoutMs) {
    return lmscr::ifd::WaitForCardEvent(lun, timeoutMs) ? IFD_SUCCESS : IFD_NO_SUCH_DEVICE;
}

RESPONSECODE StopPolling(DWORD lun) {
    lmscr::ifd::StopWaiting(lun);
    return IFD_SUCCESS;
}

RESPONSECODE Open(DWORD lun, const std::string& tty) {
    std::string error;
    if (lmscr::ifd::OpenChannel(lun, tty, &error)) return IFD_SUCCESS;
    std::fprintf(stderr, "lmscr ifd: lun %lx on %s: %s\n", static_cast<unsigned long>(lun), tty.c_str(), error.c_str());
    return IFD_COMMUNICATION_ERROR;
}

}  // namespace

IFD_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    if (!DeviceName || !*DeviceName) return IFD_COMMUNICATION_ERROR;
    return Open(Lun, DeviceName);
}

IFD_EXPORT RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) { return Open(Lun, TtyOfChannel(Channel)); }

IFD_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    return lmscr::ifd::CloseChannel(Lun) ? IFD_SUCCESS : IFD_NO_SUCH_DEVICE;
}

IFD_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    if (!lmscr::ifd::ChannelOpen(Lun)) return IFD_NO_SUCH_DEVICE;
    switch (Tag) {
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING: {
        std::vector<uint8_t> atr = lmscr::ifd::CardAtr(Lun);
        return Give(Length, Value, atr.data(), static_cast<DWORD>(atr.size()));
    }
    case TAG_IFD_SLOTS_NUMBER: {
        const unsigned char slots = 1;
        return Give(Length, Value, &slots, 1);
    }
    case TAG_IFD_SIMULTANEOUS_ACCESS:
        return Give(Length, Value, &kSimultaneousReaders, 1);
    case TAG_IFD_THREAD_SAFE: {
        // Each channel makes its requests on a thread of its own; pcscd may call for two
        // readers at once.
        const unsigned char yes = 1;
        return Give(Length, Value, &yes, 1);
    }
    case TAG_IFD_SLOT_THREAD_SAFE: {
        // One slot per reader: nothing to share.
        const unsigned char no = 0;
        return Give(Length, Value, &no, 1);
    }
    case SCARD_ATTR_VENDOR_IFD_VERSION: {
        // 0xMMmmbbbb: the firmware's version as the reader reported it.
        Answer a = lmscr::ifd::Version(Lun);
        Log("version", Lun, a);
        if (a.outcome != Outcome::Success || a.data.size() < 8) return CodeOf(a.outcome == Outcome::Success ? Outcome::Failed : a.outcome);
        // Four bytes, as applications on every platform read this attribute (pcsc-lite's DWORD
        // is eight on 64-bit Linux).
        const uint32_t version = (uint32_t(a.data[6]) << 24) | (uint32_t(a.data[7]) << 16);
        return Give(Length, Value, &version, sizeof version);
    }
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: {
        // pcscd's event thread waits here for the card to move instead of polling every 400 ms.
        RESPONSECODE (*poll)(DWORD, int) = Polling;
        return Give(Length, Value, &poll, sizeof poll);
    }
    case TAG_IFD_STOP_POLLING_THREAD: {
        // How pcscd ends that wait. The thread is not offered as killable: cancelled in the
        // middle of a wait, it would leave the channel's lock held.
        RESPONSECODE (*stop)(DWORD) = StopPolling;
        return Give(Length, Value, &stop, sizeof stop);
    }
    default:
        return IFD_ERROR_TAG;
    }
}

IFD_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) {
    (void)Length;
    (void)Value;
    if (!lmscr::ifd::ChannelOpen(Lun)) return IFD_NO_SUCH_DEVICE;
    // Nothing of the reader is set through pcscd; the protocol has its own entry point.
    (void)Tag;
    return IFD_ERROR_TAG;
}

IFD_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR PTS2,
                                                  UCHAR PTS3) {
    (void)PTS1;
    (void)PTS2;
    (void)PTS3;
    // The driver negotiates the card's parameters itself from the ATR; PTS values of the
    // caller's own are refused rather than ignored.
    if (Flags & (IFD_NEGOTIATE_PTS1 | IFD_NEGOTIATE_PTS2 | IFD_NEGOTIATE_PTS3)) return IFD_NOT_SUPPORTED;
    uint32_t mask = 0;
    if (Protocol & SCARD_PROTOCOL_T0) mask |= kDriverT0;
    if (Protocol & SCARD_PROTOCOL_T1) mask |= kDriverT1;
    if (!mask) return lmscr::ifd::ChannelOpen(Lun) ? IFD_PROTOCOL_NOT_SUPPORTED : IFD_NO_SUCH_DEVICE;
    Answer a = lmscr::ifd::SetProtocol(Lun, mask);
    Log("set protocol", Lun, a);
    if (a.outcome == Outcome::BadRequest) return IFD_PROTOCOL_NOT_SUPPORTED;
    return CodeOf(a.outcome);
}

IFD_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    // pcscd hands in the room of its ATR buffer and takes back the ATR's length.
    const DWORD room = AtrLength ? *AtrLength : 0;
    if (AtrLength) *AtrLength = 0;
    lmscr::ifd::PowerAction action;
    switch (Action) {
    case IFD_POWER_UP: action = lmscr::ifd::PowerAction::Cold; break;
    case IFD_RESET: action = lmscr::ifd::PowerAction::Warm; break;
    case IFD_POWER_DOWN: action = lmscr::ifd::PowerAction::Down; break;
    default: return lmscr::ifd::ChannelOpen(Lun) ? IFD_NOT_SUPPORTED : IFD_NO_SUCH_DEVICE;
    }
    if (action != lmscr::ifd::PowerAction::Down) {
        // Refused before the card is touched: a caller told that the card is powered must also
        // have its ATR, which may be as long as MAX_ATR_SIZE; and no card is left powered, its
        // ATR offered, behind a power-up that failed.
        if (!lmscr::ifd::ChannelOpen(Lun)) return IFD_NO_SUCH_DEVICE;
        if (!Atr || !AtrLength) return IFD_COMMUNICATION_ERROR;
        if (room < MAX_ATR_SIZE) return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    Answer a = lmscr::ifd::Power(Lun, action);
    Log("power", Lun, a);
    if (action == lmscr::ifd::PowerAction::Down || a.outcome != Outcome::Success) {
        if (a.outcome == Outcome::Success || a.outcome == Outcome::NoChannel || a.outcome == Outcome::NoCard ||
            a.outcome == Outcome::Timeout)
            return CodeOf(a.outcome);
        return IFD_ERROR_POWER_ACTION;
    }
    // The driver answers no longer ATR than that with success.
    if (a.data.size() > MAX_ATR_SIZE) return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (!a.data.empty()) std::memcpy(Atr, a.data.data(), a.data.size());
    *AtrLength = static_cast<DWORD>(a.data.size());
    return IFD_SUCCESS;
}

IFD_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                                          PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
    if (!RxLength) return IFD_COMMUNICATION_ERROR;
    const DWORD room = *RxLength;
    *RxLength = 0;
    if ((!TxBuffer && TxLength) || !RxBuffer) return IFD_COMMUNICATION_ERROR;
    // pcscd numbers the protocol here as the card does: 0 for T=0, 1 for T=1.
    uint32_t protocol;
    switch (SendPci.Protocol) {
    case 0: protocol = kDriverT0; break;
    case 1: protocol = kDriverT1; break;
    default: return lmscr::ifd::ChannelOpen(Lun) ? IFD_PROTOCOL_NOT_SUPPORTED : IFD_NO_SUCH_DEVICE;
    }
    std::vector<uint8_t> apdu(TxBuffer, TxBuffer + TxLength);
    Answer a = lmscr::ifd::Transmit(Lun, protocol, apdu, room);
    Log("transmit", Lun, a);
    if (a.outcome != Outcome::Success) return CodeOf(a.outcome);
    if (a.data.size() > room) return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (!a.data.empty()) std::memcpy(RxBuffer, a.data.data(), a.data.size());
    *RxLength = static_cast<DWORD>(a.data.size());
    if (RecvPci) {
        RecvPci->Protocol = SendPci.Protocol;
        RecvPci->Length = sizeof *RecvPci;
    }
    return IFD_SUCCESS;
}

IFD_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun) {
    switch (lmscr::ifd::LookAtCard(Lun)) {
    case lmscr::ifd::Presence::Present: return IFD_ICC_PRESENT;
    case lmscr::ifd::Presence::Absent: return IFD_ICC_NOT_PRESENT;
    case lmscr::ifd::Presence::Gone: break;
    }
    return IFD_NO_SUCH_DEVICE;
}

IFD_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                                    PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
    (void)TxBuffer;
    (void)TxLength;
    if (pdwBytesReturned) *pdwBytesReturned = 0;
    if (!lmscr::ifd::ChannelOpen(Lun)) return IFD_NO_SUCH_DEVICE;
    if (dwControlCode == kFeatureRequest) return IFD_SUCCESS;  // no features: an empty list
    if (dwControlCode != kGetVersion) return IFD_ERROR_NOT_SUPPORTED;
    if (!pdwBytesReturned || !RxBuffer) return IFD_COMMUNICATION_ERROR;
    Answer a = lmscr::ifd::Version(Lun);
    Log("version", Lun, a);
    if (a.outcome != Outcome::Success) return CodeOf(a.outcome);
    if (a.data.size() > RxLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (!a.data.empty()) std::memcpy(RxBuffer, a.data.data(), a.data.size());
    *pdwBytesReturned = static_cast<DWORD>(a.data.size());
    return IFD_SUCCESS;
}

// Not for pcscd: what the kernel had left over when the last channel closed, for the handler's
// tests to check that a whole session leaks nothing. An empty string when it shut down with nothing
// leaked; "no shutdown" while a kernel runs, and before the first one has shut down.
IFD_EXPORT const char* LmscrIfdShutdownReport() {
    static thread_local std::string report;
    report = lmscr::ifd::LastShutdownReport();
    return report.c_str();
}
