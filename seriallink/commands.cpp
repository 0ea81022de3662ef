/*
 * The reader's command set.  Three one-byte commands, each sent as one write and answered by one
 * byte that the receive engine delivers:
 *
 *     write register r   0x80 | r, k data bytes (k = 1..7)   -> status: 0x90 done, else rejected
 *     read register r    0xC0 | r                            -> the register's value
 *     send card data     0x40 | k, k card bytes (k = 0..24)  -> status: 0x90 or 0x88 done
 *
 * Status bytes: 0x90 done, 0x88 faulty card byte, 0x84 reader error, 0x83 reader time-out,
 * 0x82 checksum error, 0x81 overrun, 0x85/0x86 card inserted/removed.  Everything the reader sends
 * is escape-coded (0x10 travels as 0x10 0x10).
 *
 * Registers:
 *     0  RegVersion       high nibble major, low nibble minor firmware version (read only)
 *     1  RegGuardTime     bits 0-7 of the guard time in etu (bit 8 is register 2 bit 7)
 *     2  RegMode          0x4F initialised, 0x00 shut down, 0x6F/0x67 before a card reset;
 *                         bits 0-1 protocol mode (3 T=0, 0 T=1 and answer to reset)
 *     3  RegCardReset     0x1D activates the card, which answers with its ATR
 *     4  RegCardState     bit 0: card present; 0x00 written deactivates the card
 *     5  RegCharTimeout   24 bits, least significant byte first: character waiting time, etu
 *     6  RegBlockTimeout  24 bits, least significant byte first: block waiting time, etu
 *     8  register 8       0x00 at initialisation
 */
#include "driver.h"

enum ReaderRegister {
    RegVersion = 0,
    RegGuardTime = 1,
    RegMode = 2,
    RegCardReset = 3,
    RegCardState = 4,
    RegCharTimeout = 5,
    RegBlockTimeout = 6,
    RegInit8 = 8,
};

#define COMMAND_WRITE_REGISTER 0x80
#define COMMAND_READ_REGISTER 0xC0
#define COMMAND_SEND_DATA 0x40
#define MAXIMUM_REGISTER_BYTES 7
#define MAXIMUM_CHUNK 24
#define STATUS_BYTE_DONE 0x90
#define STATUS_BYTE_FAULTY_CARD_BYTE 0x88
#define MAXIMUM_GUARD_TIME 510

/* One row of a register table: the first ByteCount bytes of Value, least significant first.
 * A row with ByteCount 0 ends the table. */
typedef struct _REGISTER_ROW {
    UCHAR Register;
    UCHAR ByteCount;
    ULONG Value;
} REGISTER_ROW;

static const REGISTER_ROW InitializeTable[] = {
    {RegInit8, 1, 0x00},
    {RegMode, 1, 0x4F},
    {0, 0, 0},
};

static const REGISTER_ROW ShutdownTable[] = {
    {RegCardState, 1, 0x00},
    {RegMode, 1, 0x00},
    {0, 0, 0},
};

extern "C" NTSTATUS MapReaderStatus(UCHAR Status) {
    switch (Status) {
    case 0x90: return STATUS_SUCCESS;
    case 0x88: return STATUS_DATA_ERROR;
    case 0x84: return STATUS_DATA_ERROR;
    case 0x83: return STATUS_IO_TIMEOUT;
    case 0x82: return STATUS_CRC_ERROR;
    case 0x81: return STATUS_DATA_OVERRUN;
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
        KIRQL irql;
        KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
        ReaderExtension->RxCount = 0;
        KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
        WaitMilliseconds(RESYNCHRONIZE_QUIET_MS);
        KeAcquireSpinLock(&ReaderExtension->RxLock, &irql);
        BOOLEAN quiet = ReaderExtension->RxCount == 0;
        ReaderExtension->RxCount = 0;
        KeReleaseSpinLock(&ReaderExtension->RxLock, irql);
        if (quiet) return;
    }
}

extern "C" NTSTATUS WriteRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register, UCHAR Count,
                                  const UCHAR *Data) {
    if (Count == 0 || Count > MAXIMUM_REGISTER_BYTES) return STATUS_INVALID_PARAMETER;
    UCHAR command[1 + MAXIMUM_REGISTER_BYTES];
    command[0] = (UCHAR)(COMMAND_WRITE_REGISTER | Register);
    RtlCopyMemory(command + 1, Data, Count);
    NTSTATUS status = SerialWrite(ReaderExtension, command, (ULONG)Count + 1);
    if (status != STATUS_SUCCESS) return status;
    UCHAR reply;
    status = ReadReceived(ReaderExtension, &reply, 1);
    if (status == STATUS_SUCCESS && reply != STATUS_BYTE_DONE) status = STATUS_DATA_ERROR;
    if (status != STATUS_SUCCESS && !CARD_OR_READER_GONE(status)) ResynchronizeReader(ReaderExtension);
    return status;
}

extern "C" NTSTATUS ReadRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register, ULONG Length,
                                 PUCHAR Value) {
    UNREFERENCED_PARAMETER(Length); /* exactly one byte is read */
    UCHAR command = (UCHAR)(COMMAND_READ_REGISTER | Register);
    NTSTATUS status = SerialWrite(ReaderExtension, &command, 1);
    if (status != STATUS_SUCCESS) return status;
    UCHAR value;
    status = ReadReceived(ReaderExtension, &value, 1);
    if (status == STATUS_SUCCESS)
        *Value = value;
    else if (!CARD_OR_READER_GONE(status))
        ResynchronizeReader(ReaderExtension);
    return status;
}

extern "C" NTSTATUS ReadFirmwareVersion(PREADER_EXTENSION ReaderExtension) {
    UCHAR version;
    NTSTATUS status = ReadRegister(ReaderExtension, RegVersion, 1, &version);
    if (status != STATUS_SUCCESS) return status;
    ReaderExtension->FirmwareMajor = (UCHAR)(version >> 4);
    ReaderExtension->FirmwareMinor = (UCHAR)(version & 0x0F);
    return STATUS_SUCCESS;
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
    const UCHAR off = 0x00;
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
    if (GuardTimeEtu > MAXIMUM_GUARD_TIME) return STATUS_DATA_ERROR;
    UCHAR unused;
    NTSTATUS status = ReadRegister(ReaderExtension, RegGuardTime, 1, &unused);
    if (status != STATUS_SUCCESS) return status;
    /* If register 2 cannot be read, its other bits are taken as the initialised mode 0x4F. */
    UCHAR mode = 0x4F;
    (void)ReadRegister(ReaderExtension, RegMode, 1, &mode);
    UCHAR low = (UCHAR)(GuardTimeEtu & 0xFF);
    if (GuardTimeEtu & 0x100)
        mode |= 0x80;
    else
        mode &= 0x7F;
    status = WriteRegister(ReaderExtension, RegGuardTime, 1, &low);
    if (status != STATUS_SUCCESS) return status;
    return WriteRegister(ReaderExtension, RegMode, 1, &mode);
}

static NTSTATUS WriteTimeout(PREADER_EXTENSION ReaderExtension, UCHAR Register, ULONG TimeoutEtu) {
    /* 24 bits, least significant first; anything above is dropped. */
    UCHAR bytes[3] = {(UCHAR)(TimeoutEtu & 0xFF), (UCHAR)((TimeoutEtu >> 8) & 0xFF),
                      (UCHAR)((TimeoutEtu >> 16) & 0xFF)};
    return WriteRegister(ReaderExtension, Register, 3, bytes);
}

extern "C" NTSTATUS SetCharTimeout(PREADER_EXTENSION ReaderExtension, ULONG TimeoutEtu) {
    return WriteTimeout(ReaderExtension, RegCharTimeout, TimeoutEtu);
}

extern "C" NTSTATUS SetBlockTimeout(PREADER_EXTENSION ReaderExtension, ULONG TimeoutEtu) {
    return WriteTimeout(ReaderExtension, RegBlockTimeout, TimeoutEtu);
}

extern "C" NTSTATUS SetProtocolMode(PREADER_EXTENSION ReaderExtension, UCHAR Mode) {
    /* If register 2 cannot be read, its other bits are taken as the initialised mode 0x4F. */
    UCHAR value = 0x4F;
    (void)ReadRegister(ReaderExtension, RegMode, 1, &value);
    value = (UCHAR)((value & 0xFC) | (Mode & 0x03));
    return WriteRegister(ReaderExtension, RegMode, 1, &value);
}

extern "C" NTSTATUS PrepareCardReset(PREADER_EXTENSION ReaderExtension, BOOLEAN Flag) {
    const UCHAR mode = Flag ? 0x6F : 0x67;
    NTSTATUS status = WriteRegister(ReaderExtension, RegMode, 1, &mode);
    if (status != STATUS_SUCCESS) return status;
    status = SetGuardTime(ReaderExtension, 13);
    if (status != STATUS_SUCCESS) return status;
    status = SetCharTimeout(ReaderExtension, 9600);
    if (status != STATUS_SUCCESS) return status;
    return SetProtocolMode(ReaderExtension, 0);
}

extern "C" NTSTATUS SendData(PREADER_EXTENSION ReaderExtension, const UCHAR *Data, ULONG Length) {
    ULONG sent = 0;
    /* At least one command: no data still asks the reader (0x40 alone). */
    do {
        ULONG chunk = Length - sent > MAXIMUM_CHUNK ? MAXIMUM_CHUNK : Length - sent;
        UCHAR command[1 + MAXIMUM_CHUNK];
        command[0] = (UCHAR)(COMMAND_SEND_DATA | chunk);
        if (chunk) RtlCopyMemory(command + 1, Data + sent, chunk);
        NTSTATUS status = SerialWrite(ReaderExtension, command, chunk + 1);
        if (status != STATUS_SUCCESS) return status;
        UCHAR reply;
        status = ReadReceived(ReaderExtension, &reply, 1);
        if (status != STATUS_SUCCESS) {
            if (!CARD_OR_READER_GONE(status)) ResynchronizeReader(ReaderExtension);
            return status;
        }
        if (reply != STATUS_BYTE_DONE && reply != STATUS_BYTE_FAULTY_CARD_BYTE) {
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
