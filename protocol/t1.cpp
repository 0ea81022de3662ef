/*
 * The T=1 exchange (ISO/IEC 7816-3 clause 11).  The class library owns the block protocol:
 * SmartcardT1Request builds the next block, SmartcardT1Reply judges the card's and says whether
 * another block must be exchanged.  The driver moves the blocks through the reader:
 *
 *     +-----+-----+-----+---------------------+-----------------+
 *     | NAD | PCB | LEN | INF (LEN bytes)     | EDC             |
 *     +-----+-----+-----+---------------------+-----------------+
 *       prologue: one read                      LRC 1 byte, CRC 2 (announced in the ATR)
 *       INF and EDC: a second read of LEN + EDC bytes
 *
 * Around that it applies the card's waiting time extension to the wait for one prologue,
 * waits for the reader's end-of-block report (0x10 0x83, which the reader sends when the card
 * has been silent for its character waiting time), makes a block with a faulty byte fail its
 * check, and powers down a card the library gives up.
 */
#include "driver.h"

#define T1_PROLOGUE_BYTES 3
#define T1_LEN_NOT_A_LENGTH 0xFF
/* Long enough for the rest of an abandoned block to pass before the next block is sent; the
 * write of that block empties the port's receive buffer of whatever came meanwhile. */
#define T1_ABANDONED_BLOCK_PAUSE_MS 254

static ULONG EpilogueBytes(PSMARTCARD_EXTENSION SmartcardExtension) {
    return (SmartcardExtension->CardCapabilities.T1.EDC & 0x01) == T1_CRC_CHECK ? 2 : 1;
}

/*
 * The CRC epilogue: the ISO/IEC 13239 frame check sequence (the FCS-16 of HDLC and X.25),
 * polynomial x^16 + x^12 + x^5 + 1 processed least significant bit first (reflected 0x1021),
 * register preset to FFFF and complemented at the end.  The class library has its own for the
 * blocks it builds and judges, but does not export it.
 */
extern "C" USHORT BlockCrc(const UCHAR *Bytes, ULONG Length) {
    USHORT crc = 0xFFFF;
    for (ULONG i = 0; i < Length; ++i) {
        crc = (USHORT)(crc ^ Bytes[i]);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (USHORT)((crc >> 1) ^ 0x8408) : (USHORT)(crc >> 1);
    }
    return (USHORT)~crc;
}

/*
 * The reader reported a faulty card byte in a block that otherwise arrived whole.  The faulty
 * byte is held as 0x00, so the block's own check may still come out right (a faulty data byte
 * whose true value made up the difference, or a check byte held as 0x00 that happened to be
 * due): write an epilogue that differs from the right one in every byte, so that the library
 * always sees a check error and asks for the block again.
 */
static VOID SpoilEpilogue(PUCHAR Block, ULONG Covered, ULONG Epilogue) {
    if (Epilogue == 2) {
        USHORT crc = BlockCrc(Block, Covered);
        Block[Covered] = (UCHAR)~(crc & 0xFF);
        Block[Covered + 1] = (UCHAR)~(crc >> 8);
        return;
    }
    UCHAR lrc = 0;
    for (ULONG i = 0; i < Covered; ++i) lrc ^= Block[i];
    Block[Covered] = (UCHAR)~lrc;
}

/*
 * One block to the card and the card's block back into SmartcardReply; the library judges.
 * Silent tells whether the card's answer failed to come in time (or came with a byte the reader
 * flagged as faulty, or the reader did not take the block): when the library then gives the
 * card up, it did so because the card could not be heard, not because it broke the protocol.
 */
static NTSTATUS ExchangeBlock(PSMARTCARD_EXTENSION SmartcardExtension, PBOOLEAN Silent) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PUCHAR reply = SmartcardExtension->SmartcardReply.Buffer;
    const ULONG epilogue = EpilogueBytes(SmartcardExtension);

    *Silent = FALSE;
    SmartcardExtension->T1.NAD = 0;
    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    NTSTATUS status = SmartcardT1Request(SmartcardExtension);
    if (status != STATUS_SUCCESS) return status;

    BeginReceive(readerExtension, TRUE);
    status = SendData(readerExtension, SmartcardExtension->SmartcardRequest.Buffer,
                      SmartcardExtension->SmartcardRequest.BufferLength);

    /* The extension stretches the wait for the card's next prologue only. */
    const ULONG totalTimeout = readerExtension->TotalTimeout;
    const UCHAR wtx = SmartcardExtension->T1.Wtx;
    if (wtx != 0) readerExtension->TotalTimeout = totalTimeout * wtx;
    SmartcardExtension->SmartcardReply.BufferLength = 0;
    if (status != STATUS_SUCCESS) {
        readerExtension->TotalTimeout = totalTimeout;
        SmartcardExtension->T1.Wtx = 0;
        /*
         * The reader did not take the block as sent: the card may have a part of it, or what the
         * reader made of the rest, and may be in the middle of a chain of its own, whose next
         * block would answer the next command.  It is given up as a card that stopped answering
         * (powered down; a reset brings it back in step); a card that is gone is simply gone.
         */
        SmartcardDebug(DEBUG_PROTOCOL | DEBUG_ERROR,
                       (DRIVER_NAME "!T1: the reader did not take the block (status %08X)\n", DBG_STATUS(status)));
        if (CARD_OR_READER_GONE(status)) return status;
        *Silent = TRUE;
        return STATUS_IO_TIMEOUT;
    }

    ULONG length = SmartcardExtension->SmartcardReply.BufferSize;
    NTSTATUS received = ReceiveData(readerExtension, reply, &length, T1_PROLOGUE_BYTES);
    readerExtension->TotalTimeout = totalTimeout;
    SmartcardExtension->T1.Wtx = 0;

    ULONG blockLength = 0;
    if (received == STATUS_SUCCESS) {
        const UCHAR len = reply[2];
        if (len == T1_LEN_NOT_A_LENGTH) {
            WaitMilliseconds(T1_ABANDONED_BLOCK_PAUSE_MS);
        } else {
            blockLength = T1_PROLOGUE_BYTES + len + epilogue;
            ULONG room = SmartcardExtension->SmartcardReply.BufferSize - T1_PROLOGUE_BYTES;
            received = ReceiveData(readerExtension, reply + T1_PROLOGUE_BYTES, &room, len + epilogue);
            if (received == STATUS_SUCCESS) {
                if (!ReceivedFaultyByte(readerExtension)) (void)WaitBlockEnd(readerExtension);
                SmartcardExtension->SmartcardReply.BufferLength = blockLength;
            } else {
                /* Only the prologue is the card's: the bytes behind it in the buffer are left
                 * from earlier blocks and must not be judged as this one's. */
                SmartcardExtension->SmartcardReply.BufferLength = T1_PROLOGUE_BYTES;
            }
        }
    }
    /* The card or the reader is gone: there is nobody left to repeat a block to. */
    if (CARD_OR_READER_GONE(received)) {
        SmartcardDebug(DEBUG_PROTOCOL | DEBUG_ERROR, (DRIVER_NAME "!T1: card or reader gone during the block\n"));
        return received;
    }
    *Silent = (BOOLEAN)(received == STATUS_IO_TIMEOUT || ReceivedFaultyByte(readerExtension));
    if (received != STATUS_SUCCESS || ReceivedFaultyByte(readerExtension)) {
        SmartcardDebug(DEBUG_PROTOCOL, (DRIVER_NAME "!T1: block %02X sent, %s\n", SmartcardExtension->SmartcardRequest.Buffer[1],
                                        received == STATUS_IO_TIMEOUT ? "no answer" : "answer damaged"));
    } else {
        SmartcardDebug(DEBUG_PROTOCOL, (DRIVER_NAME "!T1: block %02X sent, block %02X of %u bytes received\n",
                                        SmartcardExtension->SmartcardRequest.Buffer[1], reply[1], blockLength));
    }

    if (ReceivedFaultyByte(readerExtension)) {
        WaitMilliseconds(T1_ABANDONED_BLOCK_PAUSE_MS);
        if (blockLength != 0 && SmartcardExtension->SmartcardReply.BufferLength == blockLength)
            SpoilEpilogue(reply, blockLength - epilogue, epilogue);
    }
    return SmartcardT1Reply(SmartcardExtension);
}

extern "C" NTSTATUS TransmitT1(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    NTSTATUS status;
    BOOLEAN silent = FALSE;

    RtlZeroMemory(SmartcardExtension->SmartcardReply.Buffer, 4);
    BeginCardExchange(readerExtension);
    do {
        status = ExchangeBlock(SmartcardExtension, &silent);
    } while (status == STATUS_MORE_PROCESSING_REQUIRED);
    EndCardExchange(readerExtension);

    /* An extension the library granted in a block that never went out must not stretch the
     * receive engine's patience, nor the next command's first wait. */
    SmartcardExtension->T1.Wtx = 0;
    /*
     * A command the driver broke off (the reader refused a block, the card was pulled) leaves
     * the library in the middle of its exchange; the next command must start one of its own.
     */
    if (status != STATUS_SUCCESS && SmartcardExtension->T1.State != T1_START &&
        SmartcardExtension->T1.State != T1_INIT)
        SmartcardExtension->T1.State = T1_START;

    /*
     * The library gave the card up.  The card is powered down, so that it is reset before the
     * next command.  The caller hears the same as from a T=0 card in the same plight: a card
     * that could not be heard (silent, its bytes damaged, the reader not taking the block) is a
     * time-out; a card that kept answering with blocks the protocol does not allow broke it.
     */
    if (status == STATUS_IO_TIMEOUT) {
        SmartcardDebug(DEBUG_PROTOCOL | DEBUG_ERROR,
                       (DRIVER_NAME "!TransmitT1: card given up (%s), powered down\n", silent ? "silent" : "broke the protocol"));
        WaitMilliseconds(T1_ABANDONED_BLOCK_PAUSE_MS);
        SmartcardExtension->MinorIoControlCode = SCARD_POWER_DOWN;
        (void)CardPower(SmartcardExtension);
        return silent ? STATUS_IO_TIMEOUT : STATUS_DEVICE_PROTOCOL_ERROR;
    }
    return status;
}

/*
 * The card has asked for more time: the library granted a waiting time extension (T1.Wtx) that is
 * in force until this exchange clears it after its next receive.  The receive engine asks when a
 * time-out comes rather than being told at the exchange's start, since the library grants the
 * extension in the middle of an exchange.
 */
extern "C" BOOLEAN T1WaitingTimeExtended(PREADER_EXTENSION ReaderExtension) {
    return (BOOLEAN)(ReaderExtension->SmartcardExtension->T1.Wtx != 0);
}
