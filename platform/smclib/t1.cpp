// t1.cpp - SmartcardT1Request / SmartcardT1Reply: the T=1 block protocol of ISO/IEC 7816-3:2006
// clause 11, reader side.  The driver loops: T1Request builds one block into SmartcardRequest,
// the driver exchanges it, T1Reply judges the card's block in SmartcardReply and says whether
// another exchange is needed.
//
// A block (11.3):
//
//   +-----+-----+-----+---------------------+---------------+
//   | NAD | PCB | LEN | INF (LEN bytes)     | EDC           |
//   +-----+-----+-----+---------------------+---------------+
//     1     1     1     0..254 (IFSC/IFSD)    LRC: 1, CRC: 2 (low-order byte first)
//
//   NAD   b7-b5 SAD, b3-b1 DAD; the card answers with the two swapped
//   PCB   I-block  0 N(S) M 0 0 0 0 0        N(S) send sequence number, M more data (chaining)
//         R-block  1 0 0 N(R) e e e e        N(R) sequence number of the I-block expected next,
//                                            eeee 0000 no error, 0001 EDC/parity, 0010 other
//         S-block  1 1 R t t t t t           R 0 request / 1 response; ttttt 00000 RESYNCH,
//                                            00001 IFS, 00010 ABORT, 00011 WTX, 00100 VPP error
//   LEN   00..FE; FF is not a length
//   EDC   LRC: xor of NAD..INF.  CRC: ISO/IEC 13239 FCS-16 over NAD..INF.
//
// Rules cited at the decisions below are those of 11.6 (error-free operation, 1 to 6; error
// handling, 7.1 to 7.5; chain abortion, 9).
#include <algorithm>
#include <cstring>

#include "smclib_internal.h"

namespace lmscr::smclib {
namespace {

constexpr UCHAR kPcbRBlock = 0x80;
constexpr UCHAR kPcbSBlock = 0xC0;
constexpr UCHAR kPcbTypeMask = 0xC0;
constexpr UCHAR kINs = 0x40;        // N(S) of an I-block
constexpr UCHAR kIMore = 0x20;      // M of an I-block
constexpr UCHAR kRNr = 0x10;        // N(R) of an R-block
constexpr UCHAR kSResponse = 0x20;  // R bit of an S-block
constexpr UCHAR kSTypeMask = 0x1F;
constexpr UCHAR kSResynch = 0x00;
constexpr UCHAR kSIfs = 0x01;
constexpr UCHAR kSAbort = 0x02;
constexpr UCHAR kSWtx = 0x03;
constexpr UCHAR kPrologueBytes = 3;
constexpr UCHAR kMaxInf = 254;

// Rule 7.4: a block that keeps failing is repeated (or an R-block asks for it again) at most
// this many times; the next failure starts resynchronisation.
constexpr UCHAR kMaxRetries = 2;
// Rule 7.4.2: S(RESYNCH request) is sent at most three times per command; after that the card
// is given up (Rule 7.4.3: the interface device deactivates it).
constexpr UCHAR kMaxResynch = 3;
// A card may ask for waiting time extensions and IFS changes without end, or keep a chain going
// with I-blocks that carry nothing; this many in a row without any progress of the command and
// it is treated as dead.  One counter for both: a card that mixes them is as stuck as one that
// repeats either.  64 is far beyond what a working card needs (a WTX or IFS request now and
// then, an empty chained block at most once in a chain) and, at one block a BWT, still ends a
// stuck command within minutes rather than never.
constexpr UCHAR kMaxCardRequests = 64;
// Every answer ends with SW1 SW2 (ISO/IEC 7816-4); a card's answer shorter than that is not one.
constexpr ULONG kStatusBytes = 2;

enum class Kind { None, EdcError, OtherError, IBlock, RBlock, SBlock };

struct Block {
    Kind kind = Kind::None;
    UCHAR pcb = 0;
    UCHAR len = 0;
    const UCHAR *inf = nullptr;
};

UCHAR EdcBytes(const SMARTCARD_EXTENSION &ext) {
    return (ext.CardCapabilities.T1.EDC & 0x01) == T1_CRC_CHECK ? 2 : 1;
}

UCHAR CardNad(UCHAR reader_nad) {
    return static_cast<UCHAR>(((reader_nad & 0x07) << 4) | ((reader_nad >> 4) & 0x07));
}

bool IsSRequest(UCHAR state) {
    return state == T1_RESYNCH_REQUEST || state == T1_IFS_REQUEST || state == T1_ABORT_REQUEST;
}

// The exchange the last block belongs to: the I- or R-block that an S-block interrupted.
UCHAR Context(const T1_DATA &t1) {
    if (t1.State == T1_I_BLOCK || t1.State == T1_R_BLOCK) return t1.State;
    return t1.OriginalState == T1_R_BLOCK ? T1_R_BLOCK : T1_I_BLOCK;
}

// Classifies the card's block.  Invalid blocks (11.6.3: wrong length, EDC, NAD or PCB) come back
// as EdcError or OtherError, the two causes an R-block can name.
Block Parse(const SMARTCARD_EXTENSION &ext) {
    const auto &in = ext.SmartcardReply;
    Block b;
    if (in.BufferLength == 0) return b;  // nothing arrived within BWT
    const UCHAR edc = EdcBytes(ext);
    const UCHAR *buf = in.Buffer;
    b.kind = Kind::OtherError;
    if (in.BufferLength < ULONG{kPrologueBytes} + edc) return b;
    const UCHAR len = buf[2];
    if (len == 0xFF) return b;
    if (in.BufferLength != ULONG{kPrologueBytes} + len + edc) return b;
    const std::span<const UCHAR> covered(buf, kPrologueBytes + len);
    bool edc_ok;
    if (edc == 2) {
        const USHORT crc = Crc16(covered);
        edc_ok = buf[kPrologueBytes + len] == (crc & 0xFF) && buf[kPrologueBytes + len + 1] == (crc >> 8);
    } else {
        edc_ok = buf[kPrologueBytes + len] == Lrc(covered);
    }
    if (!edc_ok) {
        b.kind = Kind::EdcError;
        return b;
    }
    if (buf[0] != CardNad(ext.T1.NAD)) return b;
    const UCHAR pcb = buf[1];
    b.pcb = pcb;
    b.len = len;
    b.inf = buf + kPrologueBytes;
    if ((pcb & 0x80) == 0) {
        b.kind = Kind::IBlock;
    } else if ((pcb & kPcbTypeMask) == kPcbRBlock) {
        if ((pcb & 0x20) != 0 || (pcb & 0x0F) > T1_ERROR_OTHER || len != 0) return b;
        b.kind = Kind::RBlock;
    } else {
        const UCHAR type = pcb & kSTypeMask;
        if (type > kSWtx) return b;  // VPP error and reserved types: nothing the reader can act on
        const UCHAR wanted_len = (type == kSIfs || type == kSWtx) ? 1 : 0;
        if (len != wanted_len) return b;
        b.kind = Kind::SBlock;
    }
    return b;
}

NTSTATUS Finish(T1_DATA &t1, NTSTATUS status) {
    t1.State = T1_START;
    t1.OriginalState = T1_START;
    t1.IBlockPending = FALSE;
    return status;
}

// Rule 7.4.1: after the retries, the interface device sends S(RESYNCH request).
NTSTATUS StartResynch(T1_DATA &t1) {
    if (t1.Resynch >= kMaxResynch) return Finish(t1, STATUS_IO_TIMEOUT);  // Rule 7.4.3
    ++t1.Resynch;
    t1.Resend = 0;
    t1.State = T1_RESYNCH_REQUEST;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS OnError(T1_DATA &t1, UCHAR error) {
    // Rule 7.4.2: an S(RESYNCH request) that gets no valid answer is repeated, up to the limit.
    if (t1.State == T1_RESYNCH_REQUEST) return StartResynch(t1);
    if (++t1.Resend > kMaxRetries) return StartResynch(t1);
    if (IsSRequest(t1.State)) return STATUS_MORE_PROCESSING_REQUIRED;  // Rule 7.3: repeat it
    if (t1.State == T1_R_BLOCK) return STATUS_MORE_PROCESSING_REQUIRED;  // Rule 7.2: repeat it
    // Rule 7.1 (after an I-block) and 7.3 (after an S response): an R-block naming the error
    // and, in N(R), the I-block expected.
    t1.OriginalState = Context(t1);
    t1.LastError = error;
    t1.State = T1_R_BLOCK;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void Progress(T1_DATA &t1) {
    t1.Resend = 0;
    t1.CardRequests = 0;
}

// Rule 2: the card's I-block, or its R-block asking for the next chained block, acknowledges
// the reader's outstanding I-block.
void Acknowledged(T1_DATA &t1) {
    t1.BytesSent += t1.InfSent;
    t1.SSN ^= 1;
    t1.IBlockPending = FALSE;
}

NTSTATUS OnIBlock(SMARTCARD_EXTENSION &ext, const Block &b) {
    T1_DATA &t1 = ext.T1;
    // Rule 5: while the reader is chaining the card must acknowledge with R-blocks.
    if (t1.IBlockPending && t1.SendMore) return OnError(t1, T1_ERROR_OTHER);
    // Rule 7.1: an I-block out of sequence is an invalid block; the R-block asks for N(S) = RSN.
    if (((b.pcb & kINs) ? 1 : 0) != t1.RSN) return OnError(t1, T1_ERROR_OTHER);
    // 11.4.2: the card must not send more than IFSD bytes.
    if (b.len > t1.IFSD) return OnError(t1, T1_ERROR_OTHER);
    if (t1.IBlockPending) Acknowledged(t1);
    t1.RSN ^= 1;
    t1.AnswerStarted = TRUE;
    const bool more = (b.pcb & kIMore) != 0;
    if (more && b.len == 0) {
        // A chained I-block that carries nothing moves the answer no further: a card that sends
        // only these would hold the command for ever.  It is a valid block, so the error count
        // starts again, but it counts against the card like an S request.
        t1.Resend = 0;
        if (++t1.CardRequests > kMaxCardRequests) return Finish(t1, STATUS_IO_TIMEOUT);
    } else {
        Progress(t1);
    }
    t1.MoreData = more;
    const ULONG room = ext.IoRequest.ReplyBufferLength - kIoHeaderBytes;
    if (room - t1.BytesReceived < b.len) {
        // The answer does not fit the caller's buffer.  Rule 9: a chain the reader will not take
        // is aborted; a last block is simply refused.
        if (more) {
            t1.State = T1_ABORT_REQUEST;
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        return Finish(t1, STATUS_BUFFER_TOO_SMALL);
    }
    std::memcpy(ext.IoRequest.ReplyBuffer + kIoHeaderBytes + t1.BytesReceived, b.inf, b.len);
    t1.BytesReceived += b.len;
    if (more) {
        // Rule 5: a chained I-block is acknowledged by an R-block with N(R) = N(S) expected next.
        t1.LastError = T1_ERROR_NONE;
        t1.OriginalState = T1_R_BLOCK;
        t1.State = T1_R_BLOCK;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // The last block is taken (the numbering moves on as for any answer), but without SW1 SW2
    // there is nothing to hand the application: refused as T=0 refuses it.
    if (t1.BytesReceived < kStatusBytes) return Finish(t1, STATUS_DEVICE_PROTOCOL_ERROR);
    FinishReply(ext, SCARD_PROTOCOL_T1, t1.BytesReceived);
    return Finish(t1, STATUS_SUCCESS);
}

NTSTATUS OnRBlock(T1_DATA &t1, const Block &b) {
    const UCHAR nr = (b.pcb & kRNr) ? 1 : 0;
    if (!t1.IBlockPending) {
        // The reader's last block was an R-block (it is receiving a chain) and the card answers
        // with an R-block: the card did not take it.  Rule 7.2.
        return OnError(t1, T1_ERROR_OTHER);
    }
    if (nr == t1.SSN) {
        // The card asks for the outstanding I-block again (Rule 7.1 applied by the card).
        if (++t1.Resend > kMaxRetries) return StartResynch(t1);
        t1.State = T1_I_BLOCK;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (t1.SendMore) {
        // Rule 5: the chained block is acknowledged; the next one follows.
        Acknowledged(t1);
        Progress(t1);
        t1.State = T1_I_BLOCK;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // An R-block with N(R) moved on cannot acknowledge the last block of a chain: only the
    // card's I-block can (Rule 2).
    return OnError(t1, T1_ERROR_OTHER);
}

NTSTATUS OnSRequest(T1_DATA &t1, const Block &b) {
    if (++t1.CardRequests > kMaxCardRequests) return Finish(t1, STATUS_IO_TIMEOUT);
    const UCHAR context = Context(t1);
    switch (b.pcb & kSTypeMask) {
    case kSWtx:
        // Rule 3: acknowledge with the same INF; the driver stretches its wait for the card's
        // next block by this factor.
        t1.Wtx = b.inf[0];
        t1.OriginalState = context;
        t1.State = T1_WTX_RESPONSE;
        return STATUS_MORE_PROCESSING_REQUIRED;
    case kSIfs:
        // Rule 4: the card announces its new IFSC; 00 and FF are not sizes (11.4.2).
        if (b.inf[0] == 0x00 || b.inf[0] == 0xFF) return OnError(t1, T1_ERROR_OTHER);
        t1.IFSC = b.inf[0];
        t1.OriginalState = context;
        t1.State = T1_IFS_RESPONSE;
        return STATUS_MORE_PROCESSING_REQUIRED;
    case kSAbort:
        // Rule 9: the card abandons the chain; acknowledge, and the command ends.
        t1.OriginalState = context;
        t1.State = T1_ABORT_RESPONSE;
        return STATUS_MORE_PROCESSING_REQUIRED;
    default:
        // Rule 6: only the interface device may ask for resynchronisation.
        return OnError(t1, T1_ERROR_OTHER);
    }
}

// Rule 6: after S(RESYNCH response) both sides start again at N(S) = 0, as after the ATR.
NTSTATUS OnResynchronised(T1_DATA &t1) {
    t1.SSN = 0;
    t1.RSN = 0;
    t1.IBlockPending = FALSE;
    t1.MoreData = FALSE;
    t1.Resend = 0;
    t1.CardRequests = 0;
    // Once the card has started to answer it has run the command; sending it again could run
    // it twice, so the command fails instead.
    if (t1.AnswerStarted) return Finish(t1, STATUS_DEVICE_PROTOCOL_ERROR);
    t1.BytesSent = 0;
    t1.BytesReceived = 0;
    t1.State = T1_I_BLOCK;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool IsSResponseOf(const Block &b, UCHAR type) {
    return b.kind == Kind::SBlock && (b.pcb & kSResponse) && (b.pcb & kSTypeMask) == type;
}

NTSTATUS T1Reply(SMARTCARD_EXTENSION &ext) {
    T1_DATA &t1 = ext.T1;
    const auto &in = ext.SmartcardReply;
    if (in.BufferLength > in.BufferSize || (in.BufferLength != 0 && in.Buffer == nullptr))
        return STATUS_INVALID_PARAMETER;
    if (t1.State == T1_INIT || t1.State == T1_START) return STATUS_INVALID_DEVICE_STATE;
    if (ext.IoRequest.ReplyBuffer == nullptr || ext.IoRequest.ReplyBufferLength < kIoHeaderBytes)
        return Finish(t1, STATUS_BUFFER_TOO_SMALL);

    // The card abandoned its chain and has had its S(ABORT response): whatever it sends now,
    // the command is over.
    if (t1.State == T1_ABORT_RESPONSE) return Finish(t1, STATUS_CANCELLED);

    const Block b = Parse(ext);
    switch (b.kind) {
    case Kind::None: return OnError(t1, T1_ERROR_OTHER);  // lost block: Rule 7.1
    case Kind::EdcError: return OnError(t1, T1_ERROR_EDC);
    case Kind::OtherError: return OnError(t1, T1_ERROR_OTHER);
    default: break;
    }

    // After a request of its own the reader accepts only the matching response (Rule 7.3).
    switch (t1.State) {
    case T1_RESYNCH_REQUEST:
        if (IsSResponseOf(b, kSResynch)) return OnResynchronised(t1);
        return OnError(t1, T1_ERROR_OTHER);
    case T1_IFS_REQUEST:
        // Rule 4: the card confirms the new IFSD with the same INF.
        if (IsSResponseOf(b, kSIfs) && b.inf[0] == t1.IfsdRequest) {
            t1.IFSD = t1.IfsdRequest;
            Progress(t1);
            t1.State = t1.OriginalState == T1_R_BLOCK ? T1_R_BLOCK : T1_I_BLOCK;
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        return OnError(t1, T1_ERROR_OTHER);
    case T1_ABORT_REQUEST:
        if (IsSResponseOf(b, kSAbort)) return Finish(t1, STATUS_BUFFER_TOO_SMALL);
        return OnError(t1, T1_ERROR_OTHER);
    default: break;
    }

    switch (b.kind) {
    case Kind::IBlock: return OnIBlock(ext, b);
    case Kind::RBlock: return OnRBlock(t1, b);
    default:
        if (b.pcb & kSResponse) return OnError(t1, T1_ERROR_OTHER);  // a response nobody asked for
        return OnSRequest(t1, b);
    }
}

NTSTATUS T1Request(SMARTCARD_EXTENSION &ext) {
    T1_DATA &t1 = ext.T1;
    auto &out = ext.SmartcardRequest;
    if (out.Buffer == nullptr || out.BufferLength > out.BufferSize) return STATUS_INVALID_PARAMETER;

    std::span<const UCHAR> apdu;
    if (t1.State == T1_INIT || t1.State == T1_START) {
        if (!RequestApdu(ext, apdu) || apdu.size() < 4) return STATUS_INVALID_PARAMETER;
        if (ext.IoRequest.ReplyBuffer == nullptr || ext.IoRequest.ReplyBufferLength < kIoHeaderBytes)
            return STATUS_BUFFER_TOO_SMALL;
        t1.BytesToSend = static_cast<ULONG>(apdu.size());
        t1.BytesSent = 0;
        t1.BytesReceived = 0;
        t1.Resend = 0;
        t1.Resynch = 0;
        t1.CardRequests = 0;
        t1.IBlockPending = FALSE;
        t1.AnswerStarted = FALSE;
        t1.MoreData = FALSE;
        t1.LastError = T1_ERROR_NONE;
        t1.OriginalState = T1_I_BLOCK;
        UCHAR next = T1_I_BLOCK;
        if (t1.State == T1_INIT && !t1.IfsdRequested) {
            // Once after each reset the reader tells the card how much it takes (Rule 4); the
            // card otherwise assumes the default of 32 bytes.
            t1.IfsdRequested = TRUE;
            const ULONG max_ifsd = std::min<ULONG>(ext.ReaderCapabilities.MaxIFSD, kMaxInf);
            if (max_ifsd != 0 && max_ifsd != t1.IFSD) {
                t1.IfsdRequest = static_cast<UCHAR>(max_ifsd);
                next = T1_IFS_REQUEST;
            }
        }
        t1.State = next;
    }

    const UCHAR edc = EdcBytes(ext);
    UCHAR prologue[kPrologueBytes] = {t1.NAD, 0, 0};
    UCHAR one_byte_inf = 0;
    const UCHAR *inf = nullptr;
    bool i_block = false;
    bool more = false;
    switch (t1.State) {
    case T1_I_BLOCK: {
        if (!RequestApdu(ext, apdu) || apdu.size() != t1.BytesToSend || t1.BytesSent > t1.BytesToSend)
            return Finish(t1, STATUS_INVALID_PARAMETER);
        const ULONG ifsc = t1.IFSC == 0 ? T1_DEFAULT_IFS : std::min<ULONG>(t1.IFSC, kMaxInf);
        const ULONG chunk = std::min<ULONG>(ifsc, t1.BytesToSend - t1.BytesSent);
        more = t1.BytesSent + chunk < t1.BytesToSend;  // Rule 5: M set while data remains
        prologue[1] = static_cast<UCHAR>((t1.SSN ? kINs : 0) | (more ? kIMore : 0));
        prologue[2] = static_cast<UCHAR>(chunk);
        inf = apdu.data() + t1.BytesSent;
        i_block = true;
        break;
    }
    case T1_R_BLOCK:
        prologue[1] = static_cast<UCHAR>(kPcbRBlock | (t1.RSN ? kRNr : 0) | (t1.LastError & 0x0F));
        break;
    case T1_RESYNCH_REQUEST: prologue[1] = kPcbSBlock | kSResynch; break;
    case T1_ABORT_REQUEST: prologue[1] = kPcbSBlock | kSAbort; break;
    case T1_ABORT_RESPONSE: prologue[1] = kPcbSBlock | kSResponse | kSAbort; break;
    case T1_IFS_REQUEST:
        prologue[1] = kPcbSBlock | kSIfs;
        one_byte_inf = t1.IfsdRequest;
        break;
    case T1_IFS_RESPONSE:
        prologue[1] = kPcbSBlock | kSResponse | kSIfs;
        one_byte_inf = t1.IFSC;
        break;
    case T1_WTX_RESPONSE:
        prologue[1] = kPcbSBlock | kSResponse | kSWtx;
        one_byte_inf = t1.Wtx;
        break;
    default: return STATUS_INVALID_DEVICE_STATE;
    }
    if (t1.State == T1_IFS_REQUEST || t1.State == T1_IFS_RESPONSE || t1.State == T1_WTX_RESPONSE) {
        prologue[2] = 1;
        inf = &one_byte_inf;
    }

    const ULONG block_bytes = ULONG{kPrologueBytes} + prologue[2] + edc;
    if (out.BufferSize - out.BufferLength < block_bytes) return STATUS_BUFFER_TOO_SMALL;
    UCHAR *dst = out.Buffer + out.BufferLength;
    std::memcpy(dst, prologue, kPrologueBytes);
    if (prologue[2] != 0) std::memcpy(dst + kPrologueBytes, inf, prologue[2]);
    const std::span<const UCHAR> covered(dst, kPrologueBytes + prologue[2]);
    if (edc == 2) {
        const USHORT crc = Crc16(covered);
        dst[kPrologueBytes + prologue[2]] = static_cast<UCHAR>(crc & 0xFF);
        dst[kPrologueBytes + prologue[2] + 1] = static_cast<UCHAR>(crc >> 8);
    } else {
        dst[kPrologueBytes + prologue[2]] = Lrc(covered);
    }
    out.BufferLength += block_bytes;
    if (i_block) {
        t1.InfSent = prologue[2];
        t1.SendMore = more;
        t1.IBlockPending = TRUE;
    }
    return STATUS_SUCCESS;
}

}  // namespace

UCHAR Lrc(std::span<const UCHAR> bytes) {
    UCHAR sum = 0;
    for (UCHAR b : bytes) sum ^= b;
    return sum;
}

USHORT Crc16(std::span<const UCHAR> bytes) {
    // ISO/IEC 13239 (formerly ISO 3309) frame check sequence, processed least significant bit
    // first, hence the reflected polynomial 0x8408.
    USHORT crc = 0xFFFF;
    for (UCHAR b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<USHORT>((crc >> 1) ^ 0x8408) : static_cast<USHORT>(crc >> 1);
    }
    return static_cast<USHORT>(~crc);
}

void ResetT1State(SMARTCARD_EXTENSION &ext, UCHAR ifsc) {
    const UCHAR nad = ext.T1.NAD;
    ext.T1 = T1_DATA{};
    ext.T1.NAD = nad;
    ext.T1.IFSC = ifsc;
    ext.T1.IFSD = T1_DEFAULT_IFS;
    ext.T1.State = T1_INIT;
    ext.T1.OriginalState = T1_INIT;
}

}  // namespace lmscr::smclib

extern "C" NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
    return lmscr::smclib::T1Request(*SmartcardExtension);
}

extern "C" NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
    return lmscr::smclib::T1Reply(*SmartcardExtension);
}
