/*
 * Card power: power down, cold and warm reset, and the card's answer to reset (ISO/IEC 7816-3
 * clause 8), received group by group as its own bytes announce it:
 *
 *     TS  T0  [TA1 TB1 TC1 TD1]  [TA2 TB2 TC2 TD2]  [TA3 TB3 TC3 TD3]  [...]  T1..TK  [TCK]
 *          |        '-- TDi: high nibble announces group i+1, low nibble names its protocol T
 *          '-- high nibble: TA1..TD1 present; low nibble: K historical bytes
 *
 * TS 3B is the direct, 3F the inverse convention; the reader decodes inverse bytes itself and
 * hands an inverse TS over as 03.  TCK closes the answer when any TDi names a protocol other
 * than T=0 (8.2.5).  The reader activates the card when its reset register is written; the
 * answer follows in the receive stream at the card's own pace, up to 9600 etu between two
 * characters (8.1, about one second at 3.58 MHz and F = 372).
 */
#include "driver.h"
#include "reader_registers.h"

#define TS_DIRECT 0x3B
#define TS_INVERSE 0x3F
#define ATR_SETTLE_MS 5
#define INTERFACE_GROUPS_RECORDED 3
/*
 * While TS is awaited the port's own read time-out stays inside the 120 ms that the driver waits
 * for it: the reader reports a card that never starts its answer about 12 ms after the
 * activation, and the run of the receive engine that took that report must end (on the port's
 * time-out) while its consumer still waits, or the report would be left for the next command.
 */
#define ATR_FIRST_BYTE_PORT_TIMEOUT_MS 100

/*
 * The card's state after it has been deactivated, from the reader's own word: a card pulled
 * while it was powered must not be reported present again by its power-down.  Without an
 * answer from the reader the card keeps the present class it had.
 */
static VOID ReportCardPoweredDown(PSMARTCARD_EXTENSION SmartcardExtension) {
    BOOLEAN present = FALSE;
    const ULONG eventsBefore = ReceivedCardEvents(SmartcardExtension->ReaderExtension);
    if (ReadCardPresence(SmartcardExtension->ReaderExtension, &present) == STATUS_SUCCESS) {
        UpdateCardStateFromReader(SmartcardExtension, present ? SCARD_PRESENT : SCARD_ABSENT, eventsBefore);
        return;
    }
    if (SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT)
        UpdateCardState(SmartcardExtension, SCARD_PRESENT);
}

static BOOLEAN CardReportedPresent(PSMARTCARD_EXTENSION SmartcardExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
    const BOOLEAN present = SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT;
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
    return present;
}

/* A receive of the answer to reset; a faulty card byte (0x10 0x88) fails it, since an answer
 * with a byte replaced by 0x00 would be believed wherever no TCK checks it. */
static NTSTATUS ReceiveAtrBytes(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Room, ULONG Count) {
    ULONG length = Room;
    NTSTATUS status = ReceiveData(ReaderExtension, Buffer, &length, Count);
    if (status != STATUS_SUCCESS) return status;
    return ReceivedFaultyByte(ReaderExtension) ? STATUS_DATA_ERROR : STATUS_SUCCESS;
}

static NTSTATUS AtrReadFailure(NTSTATUS Status) {
    return Status == STATUS_IO_TIMEOUT ? STATUS_UNRECOGNIZED_MEDIA : Status;
}

static ULONG BitsSet(ULONG Value) {
    ULONG count = 0;
    for (; Value != 0; Value &= Value - 1) ++count;
    return count;
}

extern "C" NTSTATUS ReadAtr(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, PULONG Length) {
    const ULONG room = *Length;
    NTSTATUS status;
    if (room < 2) return STATUS_BUFFER_TOO_SMALL;

    status = ReceiveAtrBytes(ReaderExtension, Buffer, room, 1);
    if (status != STATUS_SUCCESS) return AtrReadFailure(status);

    /*
     * The rest of the answer may come at the card's pace, 9600 etu apart.  The receive engine
     * reads each byte with the port's own read time-out, so the port must allow that gap too.
     */
    ReaderExtension->TotalTimeout = ATR_BYTE_TIMEOUT_MS;
    ReaderExtension->CharTimeout = ATR_BYTE_TIMEOUT_MS;
    (void)SetSerialReadTimeouts(ReaderExtension, ATR_BYTE_TIMEOUT_MS, ATR_BYTE_TIMEOUT_MS);

    status = ReceiveAtrBytes(ReaderExtension, Buffer + 1, room - 1, 1);
    if (status != STATUS_SUCCESS) return AtrReadFailure(status);

    if (Buffer[0] == READER_TS_INVERSE) Buffer[0] = TS_INVERSE;
    if (Buffer[0] != TS_DIRECT && Buffer[0] != TS_INVERSE) {
        SmartcardDebug(DEBUG_ATR | DEBUG_ERROR, (DRIVER_NAME "!ReadAtr: TS %02X is no answer to reset\n", Buffer[0]));
        return STATUS_DATA_ERROR;
    }

    const ULONG historical = Buffer[1] & 0x0F;
    ULONG presence = Buffer[1] >> 4;
    ULONG pos = 2;
    ULONG group = 0;
    UCHAR tdProtocol[INTERFACE_GROUPS_RECORDED] = {0, 0, 0};
    BOOLEAN otherThanT0Named = FALSE;
    for (ULONG i = 0; i < 12; ++i) ReaderExtension->AtrInterfaceBytes[i].Present = 0;

    /* Every group announced by a TD takes at least that TD's byte, so the loop ends within the
     * buffer's room, whatever the card says. */
    while (presence != 0) {
        const ULONG count = BitsSet(presence);
        if (count > room - pos) return STATUS_BUFFER_TOO_SMALL;
        const BOOLEAN recorded = group < INTERFACE_GROUPS_RECORDED;
        status = ReceiveAtrBytes(ReaderExtension, Buffer + pos, room - pos, count);
        if (status != STATUS_SUCCESS) return AtrReadFailure(status);
        for (ULONG k = 0; k < 4; ++k) {
            if (!(presence & (1u << k))) continue;
            /* Groups beyond the third are received, so that the historical bytes and TCK come
             * from their places, and not recorded: the record holds three groups. */
            if (recorded) {
                ReaderExtension->AtrInterfaceBytes[4 * group + k].Present = 1;
                ReaderExtension->AtrInterfaceBytes[4 * group + k].Value = Buffer[pos];
            }
            ++pos;
        }
        if (!(presence & 0x08)) break;
        const UCHAR td = Buffer[pos - 1];
        presence = td >> 4;
        if (recorded) tdProtocol[group] = (UCHAR)(td & 0x0F);
        if ((td & 0x0F) != 0) otherThanT0Named = TRUE;
        ++group;
    }

    if (historical > 0) {
        if (historical > room - pos) return STATUS_BUFFER_TOO_SMALL;
        status = ReceiveAtrBytes(ReaderExtension, Buffer + pos, room - pos, historical);
        if (status != STATUS_SUCCESS) return AtrReadFailure(status);
        pos += historical;
    }

    /*
     * TCK.  The protocol of TD2, or of TD1 when there is no TD2, decides first; but ISO/IEC
     * 7816-3 8.2.5 makes the TCK present as soon as any TDi names another protocol than T=0
     * (TD1 naming T=1 before a TD2 naming T=0, or T=1 named in TD3 only).  Such a TCK left
     * unread would sit in the receive buffer and refuse the card's protocol selection.
     */
    const UCHAR t = ReaderExtension->AtrInterfaceBytes[7].Present ? tdProtocol[1] : tdProtocol[0];
    if ((t != 0 || otherThanT0Named) && pos < room) {
        status = ReceiveAtrBytes(ReaderExtension, Buffer + pos, room - pos, 1);
        if (status == STATUS_SUCCESS) {
            ++pos;
        } else if (status != STATUS_IO_TIMEOUT) {
            return status;
        }
        /* A TCK that never came: the answer is taken without it. */
    }

    *Length = pos;
    return STATUS_SUCCESS;
}

/* Bytes that a card sends after its answer to reset (a TCK that its answer does not announce)
 * belong to no one; left in the receive buffer they would refuse the protocol selection. */
static VOID DropBytesAfterAtr(PREADER_EXTENSION ReaderExtension) {
    (void)DropReceived(ReaderExtension);
}

extern "C" NTSTATUS ResetCard(PREADER_EXTENSION ReaderExtension, BOOLEAN Warm, PUCHAR Buffer, PULONG Length) {
    const UCHAR activate = READER_CARD_ACTIVATE;
    NTSTATUS status = PrepareCardReset(ReaderExtension, TRUE);
    if (status != STATUS_SUCCESS) goto failed;

    BeginReceive(ReaderExtension, FALSE);

    /* A warm reset pulses RST with the card powered (ISO/IEC 7816-3 6.2.3); a cold one starts
     * from a card without power. */
    if (!Warm) {
        status = PowerOffCard(ReaderExtension);
        if (status != STATUS_SUCCESS) goto failed;
    }

    (void)SetSerialReadTimeouts(ReaderExtension, 0, ATR_FIRST_BYTE_PORT_TIMEOUT_MS);

    status = WriteRegister(ReaderExtension, RegCardReset, 1, &activate);
    if (status != STATUS_SUCCESS) goto failed;

    /* The card has 40000 clock cycles for TS (6.2.2); 120 ms leaves room for the line. */
    ReaderExtension->CharTimeout = 0;
    ReaderExtension->TotalTimeout = ATR_FIRST_BYTE_TIMEOUT_MS;

    status = ReadAtr(ReaderExtension, Buffer, Length);
    if (status != STATUS_SUCCESS) goto failed;

    WaitMilliseconds(ATR_SETTLE_MS);
    DropBytesAfterAtr(ReaderExtension);
    return STATUS_SUCCESS;

failed:
    /* One attempt: the caller decides whether a card that failed its reset gets another. */
    (void)PowerOffCard(ReaderExtension);
    return status;
}

extern "C" NTSTATUS CardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;
    UCHAR atr[ATR_BUFFER_SIZE];
    ULONG length = sizeof(atr);
    NTSTATUS status;

    RtlZeroMemory(card->ATR.Buffer, sizeof(card->ATR.Buffer));
    card->ATR.Length = 0;
    card->Protocol.Selected = 0;

    switch (SmartcardExtension->MinorIoControlCode) {
    case SCARD_POWER_DOWN:
        SmartcardDebug(DEBUG_ATR, (DRIVER_NAME "!CardPower: power down\n"));
        (void)PowerOffCard(readerExtension);
        ReportCardPoweredDown(SmartcardExtension);
        return STATUS_SUCCESS;
    case SCARD_COLD_RESET:
        status = ResetCard(readerExtension, FALSE, atr, &length);
        break;
    case SCARD_WARM_RESET:
        /* Only a powered card can be reset warm; any other is reset cold. */
        status = ResetCard(readerExtension,
                           SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_SWALLOWED, atr, &length);
        break;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (status != STATUS_SUCCESS) {
        SmartcardDebug(DEBUG_ATR | DEBUG_ERROR,
                       (DRIVER_NAME "!CardPower: reset failed, no answer to reset (status %08X)\n", DBG_STATUS(status)));
        /* The failed reset has deactivated the card: its state must not say powered. */
        ReportCardPoweredDown(SmartcardExtension);
        return status;
    }

    SmartcardDebug(DEBUG_ATR, (DRIVER_NAME "!CardPower: %s reset, answer to reset of %u bytes, TS %02X T0 %02X\n",
                               SmartcardExtension->MinorIoControlCode == SCARD_COLD_RESET ? "cold" : "warm",
                               length, atr[0], atr[1]));
    /* TS and T0 alone describe no card: nothing to store or to hand over. */
    if (length < 3) return STATUS_SUCCESS;

    if (SmartcardExtension->IoRequest.ReplyBuffer != NULL && SmartcardExtension->IoRequest.Information != NULL &&
        length <= SmartcardExtension->IoRequest.ReplyBufferLength) {
        RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, atr, length);
        *SmartcardExtension->IoRequest.Information = length;
    }
    if (length > ATR_MAXIMUM_STORED) return STATUS_BUFFER_TOO_SMALL;

    /*
     * The library marks the card negotiable or specific without looking at its presence: a card
     * pulled during its answer (reported absent by the receive engine meanwhile, its TCK then
     * taken as missing) must not come back to life here.
     */
    if (!CardReportedPresent(SmartcardExtension)) {
        SmartcardDebug(DEBUG_ATR | DEBUG_ERROR, (DRIVER_NAME "!CardPower: card pulled during its answer\n"));
        (void)PowerOffCard(readerExtension);
        return STATUS_NO_MEDIA;
    }
    RtlCopyMemory(card->ATR.Buffer, atr, length);
    card->ATR.Length = (UCHAR)length;
    status = SmartcardUpdateCardCapabilities(SmartcardExtension);
    if (status == STATUS_SUCCESS) {
        (void)ConfigureCardTiming(SmartcardExtension);
        (void)ConfigureSerialTimeouts(SmartcardExtension);
    } else {
        SmartcardDebug(DEBUG_ATR | DEBUG_ERROR,
                       (DRIVER_NAME "!CardPower: the library refuses the answer to reset (status %08X)\n",
                        DBG_STATUS(status)));
    }
    return status;
}
