/*
 * The reader's command set, drawn with its registers in reader_registers.h: three one-byte
 * commands, each sent as one write and answered by one byte that the receive engine delivers,
 * and the register settings that the rest of the driver asks for by name.
 *
 * Each command waits for its reply before the next is written, except the send-data commands
 * of one SendData, which may wait in the reader's FIFO behind each other (SendData says why).
 * The rest stays one at a time because the reader needs it so:
 *  - a command the reader has not taken whole is dropped only when its bytes stop for 20 ms;
 *    with nothing written behind it, a lost byte costs that command alone, while bytes queued
 *    behind it would be read as the rest of it and then as commands of the reader's own.  A
 *    register written that way (a guard time, a time-out, the card's power) would stay wrong
 *    after the failure, where a data phase gone wrong ends in the card's reset anyway;
 *  - a register write changes how the reader runs the commands after it, the card's power and
 *    reset change the slot under them, and the reader switches its rate on the card's answer to
 *    a PTS request, which must be complete before anything more is sent;
 *  - a read's reply is the register's value, not a status: a reply out of step could not be
 *    told from a value;
 *  - and nothing would be won: the reader answers a write or a read at once, and keeps the
 *    host's bytes in its FIFO only while a send-data command is on the card line.
 */
#include "driver.h"
#include "reader_registers.h"

/* The reader's card-side timing while the card answers its reset: the guard time of a T=0 card
 * without extra guard time (timing.cpp), and the 9600 etu that ISO/IEC 7816-3 8.1 allows between
 * two characters of the answer. */
#define ATR_GUARD_TIME_ETU 13
#define ATR_CHAR_TIMEOUT_ETU 9600

/* One row of a register table: the first ByteCount bytes of Value, least significant first.
 * A row with ByteCount 0 ends the table. */
typedef struct _REGISTER_ROW {
    UCHAR Register;
    UCHAR ByteCount;
    ULONG Value;
} REGISTER_ROW;

static const REGISTER_ROW InitializeTable[] = {
    {RegInit8, 1, READER_INIT8_VALUE},
    {RegMode, 1, READER_MODE_INITIALIZED},
    {0, 0, 0},
};

static const REGISTER_ROW ShutdownTable[] = {
    {RegCardState, 1, READER_CARD_DEACTIVATE},
    {RegMode, 1, READER_MODE_SHUT_DOWN},
    {0, 0, 0},
};

extern "C" NTSTATUS MapReaderStatus(UCHAR Status) {
    switch (Status) {
    case READER_STATUS_DONE: return STATUS_SUCCESS;
    case READER_STATUS_FAULTY_CARD_BYTE: return STATUS_DATA_ERROR;
    case READER_STATUS_READER_ERROR: return STATUS_DATA_ERROR;
    case READER_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
    case READER_STATUS_CHECKSUM_ERROR: return STATUS_CRC_ERROR;
    case READER_STATUS_OVERRUN: return STATUS_DATA_OVERRUN;
    default: return STATUS_UNSUCCESSFUL;
    }
}

/*
 * The reader refused a command, answered it with something else, or did not answer: it is out
 * of step with the driver, most likely because a byte of the command was lost on the line and it
 * read the rest as commands of its own, each of which it answers.  Those answers must not be taken
 * for the replies of the next command: wait until the reader has dropped what it could not
 * complete (it gives up a command whose bytes stop for 20 ms) and answered the rest, that is
 * until the line has been quiet for longer than that, and forget what came.
 */
#define RESYNCHRONIZE_QUIET_MS 25
#define RESYNCHRONIZE_MAXIMUM_ROUNDS 20

static VOID ResynchronizeReader(PREADER_EXTENSION ReaderExtension) {
    for (ULONG round = 0; round < RESYNCHRONIZE_MAXIMUM_ROUNDS; ++round) {
        (void)DropReceived(ReaderExtension);
        WaitMilliseconds(RESYNCHRONIZE_QUIET_MS);
        if (DropReceived(ReaderExtension) == 0) return;
    }
}

extern "C" NTSTATUS WriteRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register, UCHAR Count,
                                  const UCHAR *Data) {
    if (Count == 0 || Count > READER_REGISTER_BYTES_MAXIMUM) return STATUS_INVALID_PARAMETER;
    UCHAR command[1 + READER_REGISTER_BYTES_MAXIMUM];
    command[0] = (UCHAR)(READER_COMMAND_WRITE_REGISTER | Register);
    RtlCopyMemory(command + 1, Data, Count);
    NTSTATUS status = SerialWrite(ReaderExtension, command, (ULONG)Count + 1);
    if (status != STATUS_SUCCESS) return status;
    UCHAR reply = 0;
    status = ReadReceived(ReaderExtension, &reply, 1);
    if (status == STATUS_SUCCESS && reply != READER_STATUS_DONE) status = STATUS_DATA_ERROR;
    if (status != STATUS_SUCCESS) {
        SmartcardDebug(DEBUG_TRACE | DEBUG_ERROR,
                       (DRIVER_NAME "!WriteRegister: reader %s command %02X (status %08X)\n",
                        status == STATUS_DATA_ERROR ? "refused" : "did not answer", command[0], DBG_STATUS(status)));
    }
    if (status != STATUS_SUCCESS && !CARD_OR_READER_GONE(status)) ResynchronizeReader(ReaderExtension);
    return status;
}

extern "C" NTSTATUS ReadRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register, ULONG Length,
                                 PUCHAR Value) {
    UNREFERENCED_PARAMETER(Length); /* exactly one byte is read */
    UCHAR command = (UCHAR)(READER_COMMAND_READ_REGISTER | Register);
    NTSTATUS status = SerialWrite(ReaderExtension, &command, 1);
    if (status != STATUS_SUCCESS) return status;
    UCHAR value;
    status = ReadReceived(ReaderExtension, &value, 1);
    if (status == STATUS_SUCCESS) {
        *Value = value;
        return status;
    }
    SmartcardDebug(DEBUG_TRACE | DEBUG_ERROR, (DRIVER_NAME "!ReadRegister: reader did not answer command %02X (status %08X)\n",
                                               command, DBG_STATUS(status)));
    if (!CARD_OR_READER_GONE(status)) ResynchronizeReader(ReaderExtension);
    return status;
}

extern "C" NTSTATUS ReadFirmwareVersion(PREADER_EXTENSION ReaderExtension) {
    UCHAR version;
    NTSTATUS status = ReadRegister(ReaderExtension, RegVersion, 1, &version);
    if (status != STATUS_SUCCESS) return status;
    ReaderExtension->FirmwareMajor = (UCHAR)(version >> READER_VERSION_MAJOR_SHIFT);
    ReaderExtension->FirmwareMinor = (UCHAR)(version & READER_VERSION_MINOR_MASK);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ReadCardPresence(PREADER_EXTENSION ReaderExtension, PBOOLEAN Present) {
    UCHAR cardState = 0;
    NTSTATUS status = ReadRegister(ReaderExtension, RegCardState, 1, &cardState);
    if (status == STATUS_SUCCESS) *Present = (BOOLEAN)((cardState & READER_CARD_PRESENT) != 0);
    return status;
}

static NTSTATUS WriteRegisterTable(PREADER_EXTENSION ReaderExtension, const REGISTER_ROW *Table) {
    /* The first row is always sent; a row with count 0 ends the table. */
    const REGISTER_ROW *row = Table;
    do {
        UCHAR bytes[4];
        for (UCHAR i = 0; i < row->ByteCount && i < 4; ++i) bytes[i] = (UCHAR)((row->Value >> (8 * i)) & 0xFF);
        NTSTATUS status = WriteRegister(ReaderExtension, row->Register, row->ByteCount, bytes);
        if (status != STATUS_SUCCESS) return status;
        ++row;
    } while (row->ByteCount != 0);
    return STATUS_SUCCESS;
}

/* The reader may have lost what was programmed (a power cycle brings back its power-on values):
 * nothing is known of its card-side timing until it is programmed again. */
static VOID ForgetCardTiming(PREADER_EXTENSION ReaderExtension) {
    ReaderExtension->ReaderEtuNs = 0;
    ReaderExtension->ReaderGuardTimeEtu = READER_GUARD_TIME_MAXIMUM;
    ReaderExtension->ReaderBlockTimeoutEtu = 0;
}

extern "C" NTSTATUS InitializeReader(PREADER_EXTENSION ReaderExtension) {
    ForgetCardTiming(ReaderExtension);
    return WriteRegisterTable(ReaderExtension, InitializeTable);
}

extern "C" NTSTATUS ShutdownReader(PREADER_EXTENSION ReaderExtension) {
    return WriteRegisterTable(ReaderExtension, ShutdownTable);
}

extern "C" NTSTATUS PowerOffCard(PREADER_EXTENSION ReaderExtension) {
    const UCHAR off = READER_CARD_DEACTIVATE;
    NTSTATUS status = WriteRegister(ReaderExtension, RegCardState, 1, &off);
    /* The card's contacts need the time to settle, also when the reader refused. */
    WaitMilliseconds(200);
    return status;
}

extern "C" NTSTATUS SetEtuClocks(PREADER_EXTENSION ReaderExtension, ULONG ClocksPerEtu) {
    /* The reader derives the etu itself; there is nothing to tell it.  Its length is kept, as it
     * bounds how long a send-data command keeps the reader busy (SendData). */
    const PSMARTCARD_EXTENSION smartcard = ReaderExtension->SmartcardExtension;
    const ULONG clockKhz = smartcard != NULL ? smartcard->ReaderCapabilities.CLKFrequency.Max : 0;
    const ULONGLONG etuNs = clockKhz != 0 ? ((ULONGLONG)ClocksPerEtu * 1000000ull + clockKhz - 1) / clockKhz : 0;
    ReaderExtension->ReaderEtuNs = etuNs > 0xFFFFFFFFull ? 0 : (ULONG)etuNs;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS SetGuardTime(PREADER_EXTENSION ReaderExtension, ULONG GuardTimeEtu) {
    if (GuardTimeEtu > READER_GUARD_TIME_MAXIMUM) return STATUS_DATA_ERROR;
    /* Until both registers are written the reader may hold anything up to the largest value. */
    ReaderExtension->ReaderGuardTimeEtu = READER_GUARD_TIME_MAXIMUM;
    UCHAR unused;
    NTSTATUS status = ReadRegister(ReaderExtension, RegGuardTime, 1, &unused);
    if (status != STATUS_SUCCESS) return status;
    /* If the mode register cannot be read, its other bits are taken as the initialised mode. */
    UCHAR mode = READER_MODE_INITIALIZED;
    (void)ReadRegister(ReaderExtension, RegMode, 1, &mode);
    UCHAR low = (UCHAR)(GuardTimeEtu & 0xFF);
    if (GuardTimeEtu & READER_GUARD_TIME_BIT_8)
        mode = (UCHAR)(mode | READER_MODE_GUARD_BIT_8);
    else
        mode = (UCHAR)(mode & ~READER_MODE_GUARD_BIT_8);
    status = WriteRegister(ReaderExtension, RegGuardTime, 1, &low);
    if (status != STATUS_SUCCESS) return status;
    status = WriteRegister(ReaderExtension, RegMode, 1, &mode);
    if (status == STATUS_SUCCESS) ReaderExtension->ReaderGuardTimeEtu = GuardTimeEtu;
    return status;
}

static NTSTATUS WriteTimeout(PREADER_EXTENSION ReaderExtension, UCHAR Register, ULONG TimeoutEtu) {
    /* 24 bits, least significant first; anything above is dropped. */
    UCHAR bytes[READER_TIMEOUT_BYTES] = {(UCHAR)(TimeoutEtu & 0xFF), (UCHAR)((TimeoutEtu >> 8) & 0xFF),
                      (UCHAR)((TimeoutEtu >> 16) & 0xFF)};
    if (Register == RegBlockTimeout) ReaderExtension->ReaderBlockTimeoutEtu = 0;
    NTSTATUS status = WriteRegister(ReaderExtension, Register, READER_TIMEOUT_BYTES, bytes);
    if (status == STATUS_SUCCESS && Register == RegBlockTimeout)
        ReaderExtension->ReaderBlockTimeoutEtu = TimeoutEtu & READER_TIMEOUT_MAXIMUM_ETU;
    return status;
}

extern "C" NTSTATUS SetCharTimeout(PREADER_EXTENSION ReaderExtension, ULONG TimeoutEtu) {
    return WriteTimeout(ReaderExtension, RegCharTimeout, TimeoutEtu);
}

extern "C" NTSTATUS SetBlockTimeout(PREADER_EXTENSION ReaderExtension, ULONG TimeoutEtu) {
    return WriteTimeout(ReaderExtension, RegBlockTimeout, TimeoutEtu);
}

extern "C" NTSTATUS SetProtocolMode(PREADER_EXTENSION ReaderExtension, UCHAR Mode) {
    /* If the mode register cannot be read, its other bits are taken as the initialised mode. */
    UCHAR value = READER_MODE_INITIALIZED;
    (void)ReadRegister(ReaderExtension, RegMode, 1, &value);
    value = (UCHAR)((value & ~READER_MODE_PROTOCOL_MASK) | (Mode & READER_MODE_PROTOCOL_MASK));
    return WriteRegister(ReaderExtension, RegMode, 1, &value);
}

extern "C" NTSTATUS PrepareCardReset(PREADER_EXTENSION ReaderExtension, BOOLEAN Flag) {
    /* The reset brings the reader back to the default rate: the etu kept is the last card's. */
    ReaderExtension->ReaderEtuNs = 0;
    const UCHAR mode = Flag ? READER_MODE_CARD_RESET : READER_MODE_CARD_RESET_FLAG_CLEAR;
    NTSTATUS status = WriteRegister(ReaderExtension, RegMode, 1, &mode);
    if (status != STATUS_SUCCESS) return status;
    status = SetGuardTime(ReaderExtension, ATR_GUARD_TIME_ETU);
    if (status != STATUS_SUCCESS) return status;
    status = SetCharTimeout(ReaderExtension, ATR_CHAR_TIMEOUT_ETU);
    if (status != STATUS_SUCCESS) return status;
    return SetProtocolMode(ReaderExtension, READER_PROTOCOL_ANSWER_TO_RESET);
}

/*
 * Send-data commands in a row.  A block or a data phase of more than 24 card bytes goes out in
 * several commands, and the card must have it as one stream of characters: waiting for each
 * reply before writing the next command would put the reply and the next command's bytes on the
 * host line (up to 26 bytes, 13.5 ms) between two characters to the card, longer than the
 * character waiting time of a T=1 card (43 etu, 4.5 ms at CWI 5) that holds the reader to it.
 *
 * The reader makes the wait unnecessary.  While a send-data command runs on the card line it
 * keeps the host's further bytes in its FIFO and takes them in order when the command is done,
 * so a command already there starts at once and its characters follow the last one's at the
 * guard time; and it answers its commands one byte each, in the order it took them.  So the next
 * commands are written while the first runs, as long as the FIFO can hold them: the host bytes
 * whose commands are not answered yet, running or waiting, never exceed READER_HOST_FIFO_BYTES.
 * Each reply is taken in turn as that of the oldest command not answered, and checked as before.
 *
 * A command waits for the reply of the one before it, as every command did, when
 *  - the reader's timing is not known (MayQueueSendCommand);
 *  - its characters could outlast the reader's block time-out: the time-out armed by the reply
 *    of the command in front runs on unless a byte from the host disarms it, none comes once the
 *    last command is written, and the reader would report the card silent (0x10 0x83) in the
 *    middle of the block.  Only a large extra guard time with a short waiting time comes near
 *    it; such a command is written after the reply in front, and its first byte disarms the
 *    time-out as every command's did.
 */

/* The card bytes of command Index of a SendData of Length bytes. */
static ULONG SendChunk(ULONG Length, ULONG Index) {
    const ULONG left = Length - Index * READER_CARD_BYTES_MAXIMUM;
    return left > READER_CARD_BYTES_MAXIMUM ? READER_CARD_BYTES_MAXIMUM : left;
}

/* The reader's distance between two characters to the card, in etu. */
static ULONG ReaderCharacterEtu(PREADER_EXTENSION ReaderExtension) {
    const ULONG guard = ReaderExtension->ReaderGuardTimeEtu;
    return guard > READER_CHARACTER_ETU_MINIMUM ? guard : READER_CHARACTER_ETU_MINIMUM;
}

/* How long, in etu, a send-data command of Chunk card bytes taken from the FIFO keeps the reader
 * busy, from the last character of the command before it to its own reply. */
static ULONG SendCommandEtu(PREADER_EXTENSION ReaderExtension, ULONG Chunk) {
    return Chunk * ReaderCharacterEtu(ReaderExtension) + READER_SEND_DATA_REPLY_ETU;
}

/* Whether a command of Chunk card bytes may be written behind Outstanding host bytes of commands
 * not yet answered. */
static BOOLEAN MayQueueSendCommand(PREADER_EXTENSION ReaderExtension, ULONG Chunk, ULONG Outstanding) {
    if (Outstanding + 1 + Chunk > READER_HOST_FIFO_BYTES) return FALSE;
    if (ReaderExtension->ReaderEtuNs == 0 || ReaderExtension->ReaderBlockTimeoutEtu == 0) return FALSE;
    return (BOOLEAN)(SendCommandEtu(ReaderExtension, Chunk) < ReaderExtension->ReaderBlockTimeoutEtu);
}

/* One character on the line to the reader: 19200 baud, 10 bits (serial.cpp), rounded up. */
#define READER_LINE_CHARACTER_NS 520834ull

/*
 * SendData gives up while the commands from First up to Written (not included) of a SendData of
 * Length bytes are not answered, the one that failed among them.  The reader runs every one it has
 * taken, whatever became of the one in front, and answers each; and a reply that did not come, or
 * a byte taken for one, does not mean that the failed command is not still on the card line.
 * Resynchronising at once could end in the quiet of one of them on the card line (24 characters
 * last longer than the quiet it waits for), and its reply would be taken for the reply of the
 * next command.  So first the time they can all take: their bytes and replies on the host line,
 * their characters and replies on the card line.  Unless the card or the reader is gone.
 */
static VOID ResynchronizeAfterQueue(PREADER_EXTENSION ReaderExtension, NTSTATUS Status, ULONG Length, ULONG First,
                                    ULONG Written) {
    if (CARD_OR_READER_GONE(Status)) return;
    ULONG cardBytes = 0;
    for (ULONG i = First; i < Written; ++i) cardBytes += SendChunk(Length, i);
    const ULONG commands = Written - First;
    const ULONGLONG lineNs = (2ull * commands + cardBytes) * READER_LINE_CHARACTER_NS;
    const ULONGLONG cardEtu = (ULONGLONG)cardBytes * ReaderCharacterEtu(ReaderExtension) +
                              (ULONGLONG)commands * READER_SEND_DATA_REPLY_ETU;
    const ULONGLONG ns = lineNs + cardEtu * ReaderExtension->ReaderEtuNs;
    WaitMilliseconds((ULONG)((ns + 999999ull) / 1000000ull));
    ResynchronizeReader(ReaderExtension);
}

extern "C" NTSTATUS SendData(PREADER_EXTENSION ReaderExtension, const UCHAR *Data, ULONG Length) {
    /* At least one command: no data still asks the reader (the send command alone). */
    const ULONG commands =
        Length == 0 ? 1 : (Length + READER_CARD_BYTES_MAXIMUM - 1) / READER_CARD_BYTES_MAXIMUM;
    ULONG written = 0;     /* commands written */
    ULONG answered = 0;    /* commands whose reply was taken */
    ULONG outstanding = 0; /* host bytes of the commands written and not answered */
    while (answered < commands) {
        while (written < commands) {
            const ULONG chunk = SendChunk(Length, written);
            if (written > answered && !MayQueueSendCommand(ReaderExtension, chunk, outstanding)) break;
            UCHAR command[1 + READER_CARD_BYTES_MAXIMUM];
            command[0] = (UCHAR)(READER_COMMAND_SEND_DATA | chunk);
            if (chunk) RtlCopyMemory(command + 1, Data + written * READER_CARD_BYTES_MAXIMUM, chunk);
            /* A command with none in front starts on an empty receive buffer, as every command
             * does; one behind others leaves their replies where they are. */
            NTSTATUS status = written == answered ? SerialWrite(ReaderExtension, command, chunk + 1)
                                                  : SerialWriteQueued(ReaderExtension, command, chunk + 1);
            if (status != STATUS_SUCCESS) {
                /* With nothing in front, returned as it is; else the commands in front run on. */
                if (written > answered) ResynchronizeAfterQueue(ReaderExtension, status, Length, answered, written);
                return status;
            }
            outstanding += chunk + 1;
            ++written;
        }

        const ULONG chunk = SendChunk(Length, answered);
        /* A command alone on the line failed: resynchronised as every command is. */
        const BOOLEAN queued = (BOOLEAN)(written - answered > 1);
        UCHAR reply;
        NTSTATUS status = ReadReceived(ReaderExtension, &reply, 1);
        if (status != STATUS_SUCCESS) {
            SmartcardDebug(DEBUG_TRACE | DEBUG_ERROR, (DRIVER_NAME "!SendData: reader did not answer %u bytes (status %08X)\n",
                                                       chunk, DBG_STATUS(status)));
            if (queued)
                ResynchronizeAfterQueue(ReaderExtension, status, Length, answered, written);
            else if (!CARD_OR_READER_GONE(status))
                ResynchronizeReader(ReaderExtension);
            return status;
        }
        if (reply != READER_STATUS_DONE && reply != READER_STATUS_FAULTY_CARD_BYTE) {
            SmartcardDebug(DEBUG_TRACE | DEBUG_ERROR,
                           (DRIVER_NAME "!SendData: reader refused %u bytes with %02X\n", chunk, reply));
            /*
             * A card pulled under the commands: the reader reports the removal, then answers the
             * command it could not complete and every one it takes after it with a refusal.  With
             * commands queued the removal may come while this thread writes the next one, when no
             * wait is there to be woken with it, and the refusal is found held afterwards.
             */
            if (queued && ReceivedCardRemoval(ReaderExtension)) return STATUS_NO_MEDIA;
            if (queued)
                ResynchronizeAfterQueue(ReaderExtension, STATUS_UNSUCCESSFUL, Length, answered, written);
            else
                ResynchronizeReader(ReaderExtension);
            return STATUS_UNSUCCESSFUL;
        }
        outstanding -= chunk + 1;
        ++answered;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ReceiveData(PREADER_EXTENSION ReaderExtension, PUCHAR Destination, PULONG Length, ULONG Count) {
    if (Count == 0) {
        *Length = 0;
        return STATUS_SUCCESS;
    }
    /* A count the receive buffer can never hold is never met: ReadReceived runs into its
     * time-out before anything is copied, so the work buffer is large enough. */
    UCHAR work[RX_BUFFER_SIZE];
    NTSTATUS status = ReadReceived(ReaderExtension, work, Count);
    if (status != STATUS_SUCCESS) {
        *Length = 0;
        return status;
    }
    if (Count > *Length) {
        *Length = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Destination, work, Count);
    *Length = Count;
    return STATUS_SUCCESS;
}
