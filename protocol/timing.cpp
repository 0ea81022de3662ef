/*
 * Card timing: the card's transmission factors, extra guard time and waiting-time integers
 * (ISO/IEC 7816-3 7.1, 7.2, 10.2, 11.4.3) turned into the reader's card-side registers, counted
 * in etu, and into the driver's receive time-outs and the serial port's read time-outs, counted
 * in milliseconds at the card clock.
 *
 *     clocks per etu   CPE = (F / DNumerator) x DDivisor        F from Fl, D from Dl
 *     T=0              character = block = WI x DNumerator x 960 etu,  guard N' + 13
 *     T=1              character 2^CWI + 11 etu,  block 2^BWI x 357120 / CPE + 11 etu,
 *                      guard N' + 12                            (357120 = 960 x 372)
 *
 * Every quantity is unsigned and every division truncates, in the order written.  The products
 * are formed in 64 bits: the reader's time-out registers hold 24 bits, and a product that
 * wrapped at 32 bits (BWI 14 or 15, WI 255 at a large D) would program a time-out far shorter
 * than the card asked for.  A value beyond a register is programmed as the register's largest.
 */
#include "driver.h"
#include "reader_registers.h"

#define DEFAULT_WI 10
#define DEFAULT_CWI 13
#define DEFAULT_BWI 4
#define T1_BLOCK_CLOCKS 357120ull /* 960 x 372: one unit of BWT, in clock cycles */
#define T0_WORK_ETU 960ull
#define GUARD_T0 13
#define GUARD_T1 12
/*
 * Ceilings of the receive time-outs: a receive of the largest count (767 bytes) still fits
 * TotalTimeout + n x CharTimeout into the 32 bits that the receive engine computes it in.
 */
#define CHAR_TIMEOUT_MAXIMUM_MS 0x400000ull
#define TOTAL_TIMEOUT_MAXIMUM_MS 0x40000000ull

typedef struct _CARD_FACTORS {
    ULONGLONG F;
    ULONGLONG DNumerator;
    ULONGLONG DDivisor;
    ULONGLONG ClocksPerEtu;
    ULONG ExtraGuard; /* N', 0 for N = 255 */
    BOOLEAN Usable;   /* no divisor of the formulas is 0 */
} CARD_FACTORS;

static CARD_FACTORS FactorsOf(PSMARTCARD_EXTENSION SmartcardExtension) {
    PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;
    CARD_FACTORS factors;
    RtlZeroMemory(&factors, sizeof(factors));
    factors.ExtraGuard = card->N == 255 ? 0 : card->N;
    /* Before the first answer to reset the library has handed over no tables. */
    if (card->ClockRateConversion == NULL || card->BitRateAdjustment == NULL) return factors;
    factors.F = card->ClockRateConversion[card->Fl & 0x0F].F;
    factors.DNumerator = card->BitRateAdjustment[card->Dl & 0x0F].DNumerator;
    factors.DDivisor = card->BitRateAdjustment[card->Dl & 0x0F].DDivisor;
    /* The reserved rows of ISO/IEC 7816-3 tables 7 and 8 carry zeros: nothing to divide by. */
    if (factors.DNumerator == 0) return factors;
    factors.ClocksPerEtu = (factors.F / factors.DNumerator) * factors.DDivisor;
    factors.Usable = TRUE;
    return factors;
}

static ULONG Register24(ULONGLONG Value) {
    return (ULONG)(Value > READER_TIMEOUT_MAXIMUM_ETU ? READER_TIMEOUT_MAXIMUM_ETU : Value);
}

static ULONG Clamp(ULONGLONG Value, ULONGLONG Maximum) { return (ULONG)(Value > Maximum ? Maximum : Value); }

/* The waiting-time integers 0 stand for the defaults of ISO/IEC 7816-3 10.2 and 11.4.3; the
 * defaults are written back so that every later reader of the capabilities sees them. */
static VOID ApplyT0Default(PSCARD_CARD_CAPABILITIES Card) {
    if (Card->T0.WI == 0) Card->T0.WI = DEFAULT_WI;
}

static VOID ApplyT1Defaults(PSCARD_CARD_CAPABILITIES Card) {
    if (Card->T1.CWI == 0) Card->T1.CWI = DEFAULT_CWI;
    if (Card->T1.BWI == 0) Card->T1.BWI = DEFAULT_BWI;
}

extern "C" VOID ComputeCardTiming(PSMARTCARD_EXTENSION SmartcardExtension, PCARD_TIMING Timing) {
    PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;
    const CARD_FACTORS factors = FactorsOf(SmartcardExtension);
    ULONGLONG charEtu = 0, blockEtu = 0, charClocks = 0, blockClocks = 0;

    RtlZeroMemory(Timing, sizeof(*Timing));
    Timing->ClocksPerEtu = (ULONG)factors.ClocksPerEtu;
    Timing->Protocol = card->Protocol.Selected;

    if (card->Protocol.Selected == SCARD_PROTOCOL_T1) {
        ApplyT1Defaults(card);
        Timing->ProtocolMode = READER_PROTOCOL_T1;
        Timing->GuardTimeEtu = factors.ExtraGuard + GUARD_T1;
        charEtu = (1ull << (card->T1.CWI & 0x1F)) + 11;
        /* The block time divides by the clocks per etu: with none, no time-out is programmed. */
        if (factors.Usable && factors.ClocksPerEtu != 0) {
            blockEtu = ((1ull << (card->T1.BWI & 0x1F)) * T1_BLOCK_CLOCKS) / factors.ClocksPerEtu + 11;
            Timing->ProgramTimeouts = TRUE;
        }
        charClocks = ((1ull << (card->T1.CWI & 0x1F)) + 11) * factors.ClocksPerEtu;
        blockClocks = (1ull << (card->T1.BWI & 0x1F)) * T1_BLOCK_CLOCKS + 11 * factors.ClocksPerEtu;
    } else {
        /* T=0, and also while no protocol is selected: the serial time-outs follow T=0. */
        ApplyT0Default(card);
        Timing->ProtocolMode = READER_PROTOCOL_T0;
        Timing->GuardTimeEtu = factors.ExtraGuard + GUARD_T0;
        charEtu = blockEtu = card->T0.WI * factors.DNumerator * T0_WORK_ETU;
        Timing->ProgramTimeouts = factors.Usable && factors.ClocksPerEtu != 0;
        charClocks = blockClocks = card->T0.WI * factors.ClocksPerEtu * factors.DNumerator * T0_WORK_ETU;
    }

    Timing->CharTimeoutEtuRaw = charEtu;
    Timing->BlockTimeoutEtuRaw = blockEtu;
    Timing->CharTimeoutEtu = Register24(charEtu + charEtu / 10);
    Timing->BlockTimeoutEtu = Register24(blockEtu + blockEtu / 10);
    Timing->CharClocks = charClocks;
    Timing->BlockClocks = blockClocks;

    const ULONG clockKhz = SmartcardExtension->ReaderCapabilities.CLKFrequency.Max;
    const ULONGLONG charMs = clockKhz ? charClocks / clockKhz : 0;
    const ULONGLONG blockMs = clockKhz ? blockClocks / clockKhz : 0;
    Timing->CharMs = charMs;
    Timing->BlockMs = blockMs;
    Timing->CharTimeoutMs = Clamp(charMs + (3 * charMs) / 10 + 50, CHAR_TIMEOUT_MAXIMUM_MS);
    Timing->TotalTimeoutMs = Clamp(blockMs + (3 * blockMs) / 10 + 100, TOTAL_TIMEOUT_MAXIMUM_MS);
}

extern "C" NTSTATUS ConfigureCardTiming(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    const ULONG selected = SmartcardExtension->CardCapabilities.Protocol.Selected;
    if (selected != SCARD_PROTOCOL_T0 && selected != SCARD_PROTOCOL_T1) return STATUS_UNSUCCESSFUL;

    CARD_TIMING timing;
    ComputeCardTiming(SmartcardExtension, &timing);
    (void)SetProtocolMode(readerExtension, timing.ProtocolMode);
    /* A reserved transmission factor leaves nothing to count in: the reader keeps the rest of
     * its timing as the card's reset set it. */
    if (!timing.ProgramTimeouts) return STATUS_SUCCESS;

    NTSTATUS status = SetEtuClocks(readerExtension, timing.ClocksPerEtu);
    if (status != STATUS_SUCCESS) return status;
    status = SetGuardTime(readerExtension, timing.GuardTimeEtu);
    if (status != STATUS_SUCCESS) return status;
    status = SetCharTimeout(readerExtension, timing.CharTimeoutEtu);
    if (status != STATUS_SUCCESS) return status;
    return SetBlockTimeout(readerExtension, timing.BlockTimeoutEtu);
}

extern "C" NTSTATUS SetSerialReadTimeouts(PREADER_EXTENSION ReaderExtension, ULONG IntervalMs, ULONG TotalMs) {
    SERIAL_TIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = IntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = TotalMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = WRITE_TOTAL_TIMEOUT_MS;
    return SerialIoctl(ReaderExtension, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), NULL, 0);
}

extern "C" NTSTATUS ConfigureSerialTimeouts(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    CARD_TIMING timing;
    ComputeCardTiming(SmartcardExtension, &timing);
    /* Stored first: the request below already waits for the port with the updated TotalTimeout. */
    readerExtension->CharTimeout = timing.CharTimeoutMs;
    readerExtension->TotalTimeout = timing.TotalTimeoutMs;
    return SetSerialReadTimeouts(readerExtension, timing.CharTimeoutMs, timing.TotalTimeoutMs);
}
