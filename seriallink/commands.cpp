/*
 * The reader's command set, drawn with its registers in reader_registers.h: three one-byte
 * commands, each sent as one write and answered by one byte that the receive engine delivers,
 * and the register settings that the rest of the driver asks for by name.
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

extern "C" NTSTATUS InitializeReader(PREADER_EXTENSION ReaderExtension) {
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
    /* The reader derives the etu itself; there is nothing to tell it. */
    UNREFERENCED_PARAMETER(ReaderExtension);
    UNREFERENCED_PARAMETER(ClocksPerEtu);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS SetGuardTime(PREADER_EXTENSION ReaderExtension, ULONG GuardTimeEtu) {
    if (GuardTimeEtu > READER_GUARD_TIME_MAXIMUM) return STATUS_DATA_ERROR;
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
    return WriteRegister(ReaderExtension, RegMode, 1, &mode);
}

static NTSTATUS WriteTimeout(PREADER_EXTENSION ReaderExtension, UCHAR Register, ULONG TimeoutEtu) {
    /* 24 bits, least significant first; anything above is dropped. */
    UCHAR bytes[READER_TIMEOUT_BYTES] = {(UCHAR)(TimeoutEtu & 0xFF), (UCHAR)((TimeoutEtu >> 8) & 0xFF),
                      (UCHAR)((TimeoutEtu >> 16) & 0xFF)};
    return WriteRegister(ReaderExtension, Register, READER_TIMEOUT_BYTES, bytes);
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
    const UCHAR mode = Flag ? READER_MODE_CARD_RESET : READER_MODE_CARD_RESET_FLAG_CLEAR;
    NTSTATUS status = WriteRegister(ReaderExtension, RegMode, 1, &mode);
    if (status != STATUS_SUCCESS) return status;
    status = SetGuardTime(ReaderExtension, ATR_GUARD_TIME_ETU);
    if (status != STATUS_SUCCESS) return status;
    status = SetCharTimeout(ReaderExtension, ATR_CHAR_TIMEOUT_ETU);
    if (status != STATUS_SUCCESS) return status;
    return SetProtocolMode(ReaderExtension, READER_PROTOCOL_ANSWER_TO_RESET);
}

extern "C" NTSTATUS SendData(PREADER_EXTENSION ReaderExtension, const UCHAR *Data, ULONG Length) {
    ULONG sent = 0;
    /* At least one command: no data still asks the reader (the send command alone). */
    do {
        ULONG chunk = Length - sent > READER_CARD_BYTES_MAXIMUM ? READER_CARD_BYTES_MAXIMUM : Length - sent;
        UCHAR command[1 + READER_CARD_BYTES_MAXIMUM];
        command[0] = (UCHAR)(READER_COMMAND_SEND_DATA | chunk);
        if (chunk) RtlCopyMemory(command + 1, Data + sent, chunk);
        NTSTATUS status = SerialWrite(ReaderExtension, command, chunk + 1);
        if (status != STATUS_SUCCESS) return status;
        UCHAR reply;
        status = ReadReceived(ReaderExtension, &reply, 1);
        if (status != STATUS_SUCCESS) {
            SmartcardDebug(DEBUG_TRACE | DEBUG_ERROR, (DRIVER_NAME "!SendData: reader did not answer %u bytes (status %08X)\n",
                                                       chunk, DBG_STATUS(status)));
            if (!CARD_OR_READER_GONE(status)) ResynchronizeReader(ReaderExtension);
            return status;
        }
        if (reply != READER_STATUS_DONE && reply != READER_STATUS_FAULTY_CARD_BYTE) {
            SmartcardDebug(DEBUG_TRACE | DEBUG_ERROR,
                           (DRIVER_NAME "!SendData: reader refused %u bytes with %02X\n", chunk, reply));
            ResynchronizeReader(ReaderExtension);
            return STATUS_UNSUCCESSFUL;
        }
        sent += chunk;
    } while (sent < Length);
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
