/*
 * The T=0 exchange (ISO/IEC 7816-3 clause 10), in which the driver, not the reader, follows the
 * card's procedure bytes.  The reader is a byte pipe here: command bytes go out with SendData,
 * the card's bytes come back through the receive engine.
 *
 *     driver:  CLA INS P1 P2 P3            [data ...]              [data]
 *     card:                     [60..] INS            [60..] ~INS          [60..] SW1 SW2
 *
 *     60             NULL: the card needs more time; nothing is sent in reply
 *     INS            ACK: every remaining command byte follows, or every answer byte comes
 *     ~INS           one command byte follows, or one answer byte comes
 *     6X, 9X         SW1; SW2 (any byte) follows and the command is over
 *     anything else  the card broke the protocol: the command fails, the card is powered down
 *
 * For an even INS the card may also use INS + 1 and its complement (the old Vpp-control
 * variants of the procedure bytes).
 */
#include "driver.h"

#define T0_HEADER_BYTES 5
#define T0_NULL 0x60
#define T0_STATUS_BYTES 2

/* One card byte into the scratch byte, the faulty-byte report tested as a failed read. */
static NTSTATUS ReceiveOne(PREADER_EXTENSION ReaderExtension, PUCHAR Byte) {
    ULONG length = 1;
    NTSTATUS status = ReceiveData(ReaderExtension, Byte, &length, 1);
    if (status != STATUS_SUCCESS) return status;
    return ReceivedFaultyByte(ReaderExtension) ? STATUS_IO_TIMEOUT : STATUS_SUCCESS;
}

/*
 * How long NULL bytes may hold one command, in 100 ns units.  Each NULL restarts the card's
 * work waiting time, so a card that sends them for ever would hold the request, the reader and
 * a system sleep for ever.  A real card uses them to cover a long operation (an on-card key
 * generation takes seconds, at most a minute or two on a slow card); T0_NULL_WAITS single-byte
 * waits of the card's own timing lie far beyond that: about five and a half minutes at the
 * default work waiting time (WI 10, 9600 bit/s, each wait about 2.75 s).
 */
#define T0_NULL_WAITS 120ull

static ULONGLONG NullDeadline(PREADER_EXTENSION ReaderExtension) {
    const ULONGLONG waitMs = (ULONGLONG)ReaderExtension->CharTimeout + ReaderExtension->TotalTimeout;
    return KeQueryInterruptTime() + T0_NULL_WAITS * waitMs * 10000ull;
}

/* The card's next procedure byte; NULL bytes in front of it are taken while the bound holds. */
static NTSTATUS ReadProcedureByte(PREADER_EXTENSION ReaderExtension, ULONGLONG Deadline, PUCHAR Byte) {
    for (;;) {
        NTSTATUS status = ReceiveOne(ReaderExtension, Byte);
        if (status != STATUS_SUCCESS || *Byte != T0_NULL) return status;
        if (KeQueryInterruptTime() > Deadline) return STATUS_IO_TIMEOUT;
    }
}

/*
 * SW1 is 6X or 9X (ISO/IEC 7816-3 10.3.3), 60 being NULL.  Any other byte that is neither ACK
 * nor NOT-ACK is no procedure byte at all: a card out of step, or a line that lost or gained a
 * byte, and reporting it as a status word would tell the application that the command ran.
 */
static BOOLEAN IsSw1(UCHAR Byte) {
    const UCHAR high = (UCHAR)(Byte & 0xF0);
    return (BOOLEAN)((high == 0x60 || high == 0x90) && Byte != T0_NULL);
}

/* SW1, read already, and SW2 end the reply; they are stored at position At. */
static NTSTATUS EndWithStatusWord(PREADER_EXTENSION ReaderExtension, UCHAR Sw1, PUCHAR Reply, ULONG ReplySize,
                                  ULONG At, PULONG ReplyLength) {
    if (!IsSw1(Sw1)) {
        SmartcardDebug(DEBUG_PROTOCOL | DEBUG_ERROR,
                       (DRIVER_NAME "!T0: procedure byte %02X is no ACK, NOT-ACK, NULL or SW1\n", Sw1));
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    if (ReplySize - At < T0_STATUS_BYTES) return STATUS_BUFFER_TOO_SMALL;
    UCHAR sw2;
    NTSTATUS status = ReceiveOne(ReaderExtension, &sw2);
    if (status != STATUS_SUCCESS) return status;
    Reply[At] = Sw1;
    Reply[At + 1] = sw2;
    *ReplyLength = At + T0_STATUS_BYTES;
    OweCardWatchReport(ReaderExtension);
    return STATUS_SUCCESS;
}

/*
 * The rest of the answer once the card has said so (an ACK with nothing left to send, or the
 * single bytes down to SW1 SW2): the data still due in one run, then SW1 SW2.  A procedure byte
 * may follow every transfer of data, so the card may still send NULL bytes before SW1: taken as
 * part of the run, a NULL would be reported as the status word and the true one left for the
 * next command.  A card that asks to move more data now has broken the protocol, and its ACK or
 * NOT-ACK is no SW1 either.
 */
static NTSTATUS ReadRestOfAnswer(PREADER_EXTENSION ReaderExtension, ULONGLONG Deadline, PUCHAR Reply,
                                 ULONG ReplySize, ULONG Stored, ULONG Expected, PULONG ReplyLength) {
    if (ReceivedFaultyByte(ReaderExtension)) return STATUS_IO_TIMEOUT;
    if (Expected > T0_STATUS_BYTES) {
        ULONG room = ReplySize - Stored;
        NTSTATUS status = ReceiveData(ReaderExtension, Reply + Stored, &room, Expected - T0_STATUS_BYTES);
        if (status != STATUS_SUCCESS) return status;
        if (ReceivedFaultyByte(ReaderExtension)) return STATUS_IO_TIMEOUT;
        Stored += Expected - T0_STATUS_BYTES;
    }
    if (ReplySize - Stored < T0_STATUS_BYTES) return STATUS_BUFFER_TOO_SMALL;
    UCHAR sw1;
    NTSTATUS status = ReadProcedureByte(ReaderExtension, Deadline, &sw1);
    if (status != STATUS_SUCCESS) return status;
    return EndWithStatusWord(ReaderExtension, sw1, Reply, ReplySize, Stored, ReplyLength);
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

    BeginReceive(readerExtension, FALSE);
    const ULONGLONG deadline = NullDeadline(readerExtension);

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
                break;
            }
            sent += nextChunk;
            leftToSend -= nextChunk;
        }
        listenOnly = FALSE;

        UCHAR procedure;
        status = ReadProcedureByte(readerExtension, deadline, &procedure);
        if (status != STATUS_SUCCESS) break;

        /*
         * ACK is the INS itself, whatever its parity: ISO/IEC 7816-4 gives odd codes (B1, CB,
         * ...) their own meaning, and a card acknowledging one of them must not be taken for
         * SW1, which would report its answer's first bytes as a status word.
         */
        if (procedure == ins || procedure == insOther) {
            SmartcardDebug(DEBUG_PROTOCOL, (DRIVER_NAME "!T0: ACK %02X, %u bytes left to send\n", procedure, leftToSend));
            nextChunk = leftToSend;
            if (leftToSend != 0) continue;
            status = ReadRestOfAnswer(readerExtension, deadline, Reply, replySize, stored, expected, ReplyLength);
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
                SmartcardDebug(DEBUG_PROTOCOL | DEBUG_ERROR,
                               (DRIVER_NAME "!T0: NOT-ACK %02X asks for a byte beyond Le\n", procedure));
                status = STATUS_DEVICE_PROTOCOL_ERROR;
                break;
            }
            ULONG room = replySize - stored;
            status = ReceiveData(readerExtension, Reply + stored, &room, 1);
            if (status != STATUS_SUCCESS || ReceivedFaultyByte(readerExtension)) break;
            ++stored;
            --expected;
            if (expected == T0_STATUS_BYTES) {
                status = ReadRestOfAnswer(readerExtension, deadline, Reply, replySize, stored, expected, ReplyLength);
                break;
            }
            listenOnly = TRUE;
            continue;
        }

        /* SW1: the command is over whatever came before; the reply is SW1 SW2 alone. */
        status = EndWithStatusWord(readerExtension, procedure, Reply, replySize, 0, ReplyLength);
        break;
    }

    if (ReceivedFaultyByte(readerExtension)) status = STATUS_IO_TIMEOUT;
    if (status != STATUS_SUCCESS)
        SmartcardDebug(DEBUG_PROTOCOL | DEBUG_ERROR,
                       (DRIVER_NAME "!T0: command %02X %02X failed after %u of %u bytes sent (status %08X)\n", Command[0],
                        ins, sent, CommandLength, DBG_STATUS(status)));
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
    if (status == STATUS_IO_TIMEOUT || status == STATUS_DEVICE_PROTOCOL_ERROR) {
        /* The card stopped answering in the middle of a command, or no longer follows the
         * protocol: what it will send next is unknown, so nothing more is exchanged with it
         * until it has been reset and a protocol selected again. */
        SmartcardDebug(DEBUG_PROTOCOL | DEBUG_ERROR, (DRIVER_NAME "!TransmitT0: card given up, powered down\n"));
        SmartcardExtension->MinorIoControlCode = SCARD_POWER_DOWN;
        (void)CardPower(SmartcardExtension);
    }
    return status;
}
