/*
 * Protocol selection: one PTS exchange (ISO/IEC 7816-3 clause 9) that selects T=0 or T=1 and
 * proposes the transmission factors.  Request and answer have the same shape:
 *
 *     +------+------+------+-----+
 *     | PTSS | PTS0 | PTS1 | PCK |      PTSS FF
 *     +------+------+------+-----+      PTS0 0x10 | T: PTS1 follows, the protocol in bits 1-4
 *                                       PTS1 Fl << 4 | Dl: the factors proposed
 *                                       PCK  FF ^ PTS0 ^ PTS1: the four bytes xor to 00
 *
 * The exchange succeeds (9.3) when the card echoes the request, or echoes PTSS and the
 * protocol and leaves PTS1 out: then the card keeps Fd and Dd.  A failed exchange with
 * factors other than Fd/Dd is tried once more after a cold reset, with Fd/Dd; a failed one at
 * Fd/Dd ends in the card's deactivation, as 9.3 asks.
 */
#include "driver.h"

#define PTSS 0xFF
#define PTS0_PTS1_FOLLOWS 0x10
#define DEFAULT_FACTOR_INDEX 1 /* Fd = 372, Dd = 1 */
#define PTS_EXCHANGES 2

/* What the card made of a request: nothing usable, or the factors now in force. */
typedef struct _PTS_RESULT {
    BOOLEAN Accepted;
    UCHAR Fl;
    UCHAR Dl;
} PTS_RESULT;

static PTS_RESULT ExchangePts(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Protocol) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;
    PTS_RESULT result = {FALSE, DEFAULT_FACTOR_INDEX, DEFAULT_FACTOR_INDEX};
    UCHAR request[4];
    UCHAR reply[4] = {0, 0, 0, 0};
    ULONG length;

    request[0] = PTSS;
    request[1] = (UCHAR)(PTS0_PTS1_FOLLOWS | (Protocol == SCARD_PROTOCOL_T1 ? 1 : 0));
    request[2] = (UCHAR)((card->PtsData.Fl << 4) | card->PtsData.Dl);
    request[3] = (UCHAR)(PTSS ^ request[1] ^ request[2]);

    /* A faulty byte reads as 0x00 and would only fail the comparison by luck. */
    BeginReceive(readerExtension, FALSE);
    SmartcardDebug(DEBUG_PROTOCOL, (DRIVER_NAME "!PTS: request %02X %02X %02X %02X\n", request[0], request[1], request[2],
                                    request[3]));
    if (SendData(readerExtension, request, sizeof(request)) != STATUS_SUCCESS) return result;
    length = 3;
    if (ReceiveData(readerExtension, reply, &length, 3) != STATUS_SUCCESS) {
        SmartcardDebug(DEBUG_PROTOCOL | DEBUG_ERROR, (DRIVER_NAME "!PTS: no answer\n"));
        return result;
    }
    SmartcardDebug(DEBUG_PROTOCOL, (DRIVER_NAME "!PTS: answer %02X %02X %02X\n", reply[0], reply[1], reply[2]));

    const UCHAR announced = reply[1] >> 4;
    if (announced == 1) {
        /* PTS1 and nothing more announced: the answer must be the request itself. */
        length = 1;
        if (ReceiveData(readerExtension, reply + 3, &length, 1) != STATUS_SUCCESS) return result;
        if (ReceivedFaultyByte(readerExtension)) return result;
        if (RtlCompareMemory(request, reply, sizeof(request)) != sizeof(request)) return result;
        result.Accepted = TRUE;
        result.Fl = card->PtsData.Fl;
        result.Dl = card->PtsData.Dl;
        return result;
    }
    /* PTS1 left out, PTSS and the protocol echoed, PCK right: the card accepts Fd and Dd. */
    if (announced == 0 && !ReceivedFaultyByte(readerExtension) && reply[0] == PTSS &&
        reply[1] == (request[1] & 0x0F) && reply[2] == (UCHAR)(PTSS ^ reply[1]))
        result.Accepted = TRUE;
    return result;
}

/* A reset from within the selection: the card's fresh answer to reset is not the caller's reply. */
static NTSTATUS PowerFromSelection(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Minor) {
    const ULONG replyLength = SmartcardExtension->IoRequest.ReplyBufferLength;
    SmartcardExtension->IoRequest.ReplyBufferLength = 0;
    SmartcardExtension->MinorIoControlCode = Minor;
    NTSTATUS status = CardPower(SmartcardExtension);
    SmartcardExtension->IoRequest.ReplyBufferLength = replyLength;
    return status;
}

static VOID WriteReply(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Protocol, ULONG Information) {
    if (SmartcardExtension->IoRequest.ReplyBuffer != NULL)
        RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, &Protocol, sizeof(Protocol));
    if (SmartcardExtension->IoRequest.Information != NULL) *SmartcardExtension->IoRequest.Information = Information;
}

/*
 * The card becomes specific under the lock that every card state change takes, and only while
 * it is still there: a card pulled during the exchange has been reported absent by then.
 */
static BOOLEAN MarkSpecificIfPresent(PSMARTCARD_EXTENSION SmartcardExtension) {
    PSMARTCARD_OS_DATA osData = SmartcardExtension->OsData;
    BOOLEAN present;
    KIRQL irql;
    KeAcquireSpinLock(&osData->SpinLock, &irql);
    present = SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT;
    if (present) SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    KeReleaseSpinLock(&osData->SpinLock, irql);
    return present;
}

extern "C" NTSTATUS SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;
    NTSTATUS status = STATUS_DEVICE_PROTOCOL_ERROR;

    /* Bytes nobody has taken mean the card is in the middle of something. */
    if (ReceivedBytesWaiting(readerExtension)) return STATUS_DEVICE_PROTOCOL_ERROR;

    const ULONG requested = SmartcardExtension->MinorIoControlCode;

    if ((card->Protocol.Supported & requested) == 0 ||
        (SmartcardExtension->ReaderCapabilities.SupportedProtocols & requested) == 0) {
        /* Nothing was exchanged: the card keeps the protocol it has. */
        WriteReply(SmartcardExtension, 0, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC &&
        (card->Protocol.Selected & requested) != 0) {
        status = STATUS_SUCCESS;
    } else {
        for (ULONG exchange = 0; exchange < PTS_EXCHANGES; ++exchange) {
            const ULONG protocol = ((requested & SCARD_PROTOCOL_T1) && (card->Protocol.Supported & SCARD_PROTOCOL_T1))
                                       ? SCARD_PROTOCOL_T1
                                       : SCARD_PROTOCOL_T0;
            card->Protocol.Selected = protocol;
            const PTS_RESULT result = ExchangePts(SmartcardExtension, protocol);
            SmartcardDebug(DEBUG_PROTOCOL, (DRIVER_NAME "!SetProtocol: T=%u %s, Fl %u Dl %u\n",
                                            protocol == SCARD_PROTOCOL_T1 ? 1u : 0u,
                                            result.Accepted ? "accepted" : "refused", (unsigned)result.Fl,
                                            (unsigned)result.Dl));
            if (result.Accepted) {
                card->Fl = result.Fl;
                card->Dl = result.Dl;
                (void)ConfigureCardTiming(SmartcardExtension);
                (void)ConfigureSerialTimeouts(SmartcardExtension);
                status = STATUS_SUCCESS;
                break;
            }
            if (exchange + 1 < PTS_EXCHANGES && card->PtsData.Type != PTS_TYPE_DEFAULT) {
                if (PowerFromSelection(SmartcardExtension, SCARD_COLD_RESET) != STATUS_SUCCESS) break;
                /* The reset has proposed the card's own factors again; the second try is
                 * with Fd and Dd, which every card must accept. */
                card->PtsData.Type = PTS_TYPE_DEFAULT;
                card->PtsData.Fl = DEFAULT_FACTOR_INDEX;
                card->PtsData.Dl = DEFAULT_FACTOR_INDEX;
                continue;
            }
            (void)PowerFromSelection(SmartcardExtension, SCARD_POWER_DOWN);
            break;
        }
    }

    if (status == STATUS_SUCCESS && !MarkSpecificIfPresent(SmartcardExtension)) status = STATUS_NO_MEDIA;
    if (status != STATUS_SUCCESS) {
        SmartcardDebug(DEBUG_PROTOCOL | DEBUG_ERROR,
                       (DRIVER_NAME "!SetProtocol: failed (status %08X)\n", DBG_STATUS(status)));
        card->Protocol.Selected = 0;
        WriteReply(SmartcardExtension, 0, 0);
        return status;
    }
    WriteReply(SmartcardExtension, card->Protocol.Selected, sizeof(ULONG));
    return STATUS_SUCCESS;
}
