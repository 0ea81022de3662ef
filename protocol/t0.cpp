/*
 * Transmit: the class library's transmit request, handed to the exchange of the protocol the
 * card runs; and the T=0 exchange (ISO/IEC 7816-3 clause 10), in which the driver, not the
 * reader, follows the card's procedure bytes.  The reader is a byte pipe here: command bytes
 * go out with SendData, the card's bytes come back through the receive engine.
 *
 *     driver:  CLA INS P1 P2 P3            [data ...]              [data]
 *     card:                     [60..] INS            [60..] ~INS          [60..] SW1 SW2
 *
 *     60             NULL: the card needs more time; nothing is sent in reply
 *     INS            ACK: every remaining command byte follows, or every answer byte comes
 *     ~INS           one command byte follows, or one answer byte comes
 *     anything else  SW1; SW2 follows and the command is over
 *
 * For an even INS the card may also use INS + 1 and its complement (the old Vpp-control
 * variants of the procedure bytes).
 */
#include "driver.h"

#define T0_HEADER_BYTES 5
#define T0_NULL 0x60
#define T0_STATUS_BYTES 2

extern "C" NTSTATUS Transmit(PSMARTCARD_EXTENSION SmartcardExtension) {
    switch (SmartcardExtension->CardCapabilities.Protocol.Selected) {
    case SCARD_PROTOCOL_T0: return TransmitT0(SmartcardExtension);
    case SCARD_PROTOCOL_T1: return TransmitT1(SmartcardExtension);
    case SCARD_PROTOCOL_RAW: return TransmitRaw(SmartcardExtension);
    default: return STATUS_INVALID_DEVICE_REQUEST;
    }
}

extern "C" NTSTATUS TransmitRaw(PSMARTCARD_EXTENSION SmartcardExtension) {
    /* The reader frames every card byte itself; it has no raw mode to offer. */
    UNREFERENCED_PARAMETER(SmartcardExtension);
    return STATUS_UNSUCCESSFUL;
}

static VOID MarkCardExchange(PREADER_EXTENSION ReaderExtension, BOOLEAN InProgress) {
    KIRQL irql;
    KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
    ReaderExtension->ExchangeInProgress = InProgress;
    ReaderExtension->CardRemovedInExchange = FALSE;
    KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
}

extern "C" VOID BeginCardExchange(PREADER_EXTENSION ReaderExtension) { MarkCardExchange(ReaderExtension, TRUE); }

extern "C" VOID EndCardExchange(PREADER_EXTENSION ReaderExtension) { MarkCardExchange(ReaderExtension, FALSE); }

/* One card byte into the scratch byte, the faulty-byte report tested as a failed read. */
static NTSTATUS ReceiveOne(PREADER_EXTENSION ReaderExtension, PUCHAR Byte) {
    ULONG length = 1;
    NTSTATUS status = ReceiveData(ReaderExtension, Byte, &length, 1);
    if (status != STATUS_SUCCESS) return status;
    return ReaderExtension->ReceiveError != STATUS_SUCCESS ? STATUS_IO_TIMEOUT : STATUS_SUCCESS;
}

extern "C" NTSTATUS RunT0Procedure(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR *Command,
                                   ULONG CommandLength, PUCHAR Reply, PULONG ReplyLength) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    const ULONG replySize = *ReplyLength;
    if (CommandLength < T0_HEADER_BYTES) return STATUS_INVALID_PARAMETER;
    const UCHAR ins = Command[1];
    const UCHAR insOther = (ins & 1) == 0 ? (UCHAR)(ins + 1) : ins;
    ULONG sent = 0;
    ULONG leftToSend = CommandLength;
    ULONG nextChunk = T0_HEADER_BYTES;
    ULONG stored = 0;
    ULONG expected = SmartcardExtension->T0.Le + T0_STATUS_BYTES;
    BOOLEAN listenOnly = FALSE;
    NTSTATUS status = STATUS_SUCCESS;

    readerExtension->ReceiveError = STATUS_SUCCESS;

    for (;;) {
        if (!listenOnly) {
            status = SendData(readerExtension, Command + sent, nextChunk);
            if (status != STATUS_SUCCESS) {
                /*
                 * The reader did not take the bytes as sent: what of the command reached the
                 * card, and what the reader made of the rest, is unknown.  Like a card that
                 * stopped answering, it is powered down, so that nothing more is sent to it
                 * until it has been reset; a card that is gone is simply gone.
                 */
                if (!CARD_OR_READER_GONE(status)) status = STATUS_IO_TIMEOUT;
                goto done;
            }
            sent += nextChunk;
            leftToSend -= nextChunk;
        }

        UCHAR procedure;
        status = ReceiveOne(readerExtension, &procedure);
        listenOnly = FALSE;
        if (status != STATUS_SUCCESS) goto done;

        if (procedure == T0_NULL) {
            listenOnly = TRUE;
            continue;
        }
        /*
         * ACK is the INS itself, whatever its parity: ISO/IEC 7816-4 gives odd codes (B1, CB,
         * ...) their own meaning, and a card acknowledging one of them must not be taken for
         * SW1, which would report its answer's first bytes as a status word.
         */
        if (procedure == ins || procedure == insOther) {
            nextChunk = leftToSend;
            if (leftToSend != 0) continue;
            break;
        }
        if (procedure == (UCHAR)~ins || procedure == (UCHAR)~insOther) {
            if (leftToSend != 0) {
                nextChunk = 1;
                continue;
            }
            /*
             * A single answer byte.  Only SW1 SW2 are still due when the expected count is
             * down to two: a card that announces yet another data byte breaks the protocol,
             * and counting on would wrap the count past zero into the receive engine's
             * "nobody waits" value.
             */
            if (expected <= T0_STATUS_BYTES) {
                status = STATUS_DEVICE_PROTOCOL_ERROR;
                goto done;
            }
            ULONG room = replySize - stored;
            status = ReceiveData(readerExtension, Reply + stored, &room, 1);
            if (status != STATUS_SUCCESS) goto done;
            if (readerExtension->ReceiveError != STATUS_SUCCESS) goto done;
            ++stored;
            --expected;
            if (expected == T0_STATUS_BYTES) break;
            listenOnly = TRUE;
            continue;
        }

        /* SW1: the command is over whatever came before; the reply is SW1 SW2 alone. */
        if (replySize < T0_STATUS_BYTES) {
            status = STATUS_BUFFER_TOO_SMALL;
            goto done;
        }
        UCHAR sw2;
        status = ReceiveOne(readerExtension, &sw2);
        if (status != STATUS_SUCCESS) goto done;
        Reply[0] = procedure;
        Reply[1] = sw2;
        *ReplyLength = T0_STATUS_BYTES;
        goto done;
    }

    /*
     * Every pass that does not end the exchange goes on to the next one (it has bytes to send
     * or listens), so the loop is left only here: an ACK with nothing left to send, or the
     * single bytes down to SW1 SW2.  The data still due come in one run.  A procedure byte may
     * follow every transfer of data, so the card may still send NULL bytes before SW1 (which is
     * never 0x60): taken as part of the run, a NULL would be reported as the status word and
     * the true one left for the next command.
     */
    if (readerExtension->ReceiveError != STATUS_SUCCESS) goto done;
    if (expected > T0_STATUS_BYTES) {
        ULONG room = replySize - stored;
        status = ReceiveData(readerExtension, Reply + stored, &room, expected - T0_STATUS_BYTES);
        if (status != STATUS_SUCCESS || readerExtension->ReceiveError != STATUS_SUCCESS) goto done;
        stored += expected - T0_STATUS_BYTES;
    }
    if (replySize - stored < T0_STATUS_BYTES) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto done;
    }
    {
        UCHAR sw1;
        do {
            status = ReceiveOne(readerExtension, &sw1);
            if (status != STATUS_SUCCESS) goto done;
        } while (sw1 == T0_NULL);
        /* All the data are in: a card that asks to move more has broken the protocol, and its
         * procedure byte must not be reported as a status word. */
        if (sw1 == ins || sw1 == insOther || sw1 == (UCHAR)~ins || sw1 == (UCHAR)~insOther) {
            status = STATUS_DEVICE_PROTOCOL_ERROR;
            goto done;
        }
        UCHAR sw2;
        status = ReceiveOne(readerExtension, &sw2);
        if (status != STATUS_SUCCESS) goto done;
        Reply[stored] = sw1;
        Reply[stored + 1] = sw2;
        *ReplyLength = stored + T0_STATUS_BYTES;
    }

done:
    if (readerExtension->ReceiveError != STATUS_SUCCESS) status = STATUS_IO_TIMEOUT;
    return status;
}

extern "C" NTSTATUS TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    SmartcardExtension->SmartcardReply.BufferLength = SmartcardExtension->SmartcardReply.BufferSize;

    NTSTATUS status = SmartcardT0Request(SmartcardExtension);
    if (status != STATUS_SUCCESS) return status;

    BeginCardExchange(readerExtension);
    status = RunT0Procedure(SmartcardExtension, SmartcardExtension->SmartcardRequest.Buffer,
                            SmartcardExtension->SmartcardRequest.BufferLength,
                            SmartcardExtension->SmartcardReply.Buffer,
                            &SmartcardExtension->SmartcardReply.BufferLength);
    EndCardExchange(readerExtension);

    if (status == STATUS_SUCCESS) return SmartcardT0Reply(SmartcardExtension);
    if (status == STATUS_IO_TIMEOUT) {
        /* The card stopped answering in the middle of a command: nothing more is exchanged
         * with it until it has been reset and a protocol selected again. */
        SmartcardExtension->MinorIoControlCode = SCARD_POWER_DOWN;
        (void)CardPower(SmartcardExtension);
    }
    return status;
}
