// io_request.cpp - the application's side of a transmit: the request and reply buffers that
// IOCTL_SMARTCARD_TRANSMIT hands the library through IoRequest.
//
//   request:  [ dwProtocol (4) | cbPciLength (4) | ...rest of header... | APDU ]
//   reply:    [ dwProtocol (4) | cbPciLength = 8 (4) | answer, SW1 SW2 last ]
//
// Both are little-endian host ULONGs.  cbPciLength tells where the APDU starts; a header that
// claims less than its own 8 bytes or more than the buffer is refused.
#include <cstring>

#include "smclib_internal.h"

namespace lmscr::smclib {

bool RequestApdu(const SMARTCARD_EXTENSION &ext, std::span<const UCHAR> &apdu) {
    const auto &io = ext.IoRequest;
    if (io.RequestBuffer == nullptr || io.RequestBufferLength < kIoHeaderBytes) return false;
    SCARD_IO_REQUEST header;
    std::memcpy(&header, io.RequestBuffer, sizeof(header));
    if (header.cbPciLength < kIoHeaderBytes || header.cbPciLength > io.RequestBufferLength) return false;
    apdu = std::span<const UCHAR>(io.RequestBuffer + header.cbPciLength,
                                  io.RequestBufferLength - header.cbPciLength);
    return true;
}

void FinishReply(SMARTCARD_EXTENSION &ext, ULONG protocol, ULONG answer_bytes) {
    const SCARD_IO_REQUEST header{protocol, kIoHeaderBytes};
    std::memcpy(ext.IoRequest.ReplyBuffer, &header, sizeof(header));
    if (ext.IoRequest.Information != nullptr) *ext.IoRequest.Information = kIoHeaderBytes + answer_bytes;
}

}  // namespace lmscr::smclib
