/*
 * smclib.h - the smart card class library as reader drivers see it.
 *
 * The per-reader record SMARTCARD_EXTENSION, the reader function table, and the library's
 * routines.  Names and meanings follow the platform's class library header; the layout is this
 * project's own (a driver reaches every member by name, never by offset).  Plain C.
 *
 * Split of duties between a reader driver and the library:
 *   - the driver fills Version, VendorAttr, ReaderCapabilities, ReaderFunction[], the buffer
 *     sizes of SmartcardRequest and SmartcardReply and ReaderExtension, then calls
 *     SmartcardInitialize, which makes OsData and the two buffers;
 *   - after every reset the driver stores the ATR in CardCapabilities.ATR and calls
 *     SmartcardUpdateCardCapabilities, which fills the rest of CardCapabilities and
 *     (re)starts the T=1 state;
 *   - for a transmit, SmartcardT0Request/SmartcardT1Request read the application's request
 *     from IoRequest (an SCARD_IO_REQUEST header, then the APDU) and append the TPDU or block to
 *     SmartcardRequest at BufferLength; SmartcardT0Reply/SmartcardT1Reply read SmartcardReply
 *     (Buffer, BufferLength) and write the application's reply to IoRequest: an
 *     SCARD_IO_REQUEST header {selected protocol, 8} followed by the card's answer, with
 *     *IoRequest.Information set to its total length.
 */
#ifndef LMSCR_SMCLIB_H
#define LMSCR_SMCLIB_H

#include "wdm.h"
#include "winsmcrd.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Version of the record layout that a driver is built against. */
#define SMCLIB_VERSION 0x150
#define SMCLIB_VERSION_REQUIRED 0x100

#define MAXIMUM_ATTR_STRING_LENGTH 32
#define MAXIMUM_SMARTCARD_READERS 10

/* Slots of ReaderFunction[]. */
#define RDF_CARD_POWER      0
#define RDF_TRANSMIT        1
#define RDF_CARD_EJECT      2
#define RDF_READER_SWALLOW  3
#define RDF_CARD_TRACKING   4
#define RDF_SET_PROTOCOL    5
#define RDF_DEBUG_LEVEL     6
#define RDF_CARD_CONFISCATE 7
#define RDF_IOCTL_VENDOR    8
#define RDF_ATR_PARSE       9
#define RDF_MAXIMUM         16 /* size of the table */

/* PTS data types (CardCapabilities.PtsData.Type). */
#define PTS_TYPE_DEFAULT 0x00 /* no PTS data to propose: the card's default Fd, Dd */
#define PTS_TYPE_OPTIMAL 0x01 /* the fastest pair that the card offers and the reader can run */
#define PTS_TYPE_USER    0x02 /* values set by the caller */

/* T=1 check byte type (CardCapabilities.T1.EDC, bit 0 of the first TC for T=1). */
#define T1_LRC_CHECK 0
#define T1_CRC_CHECK 1

/*
 * T=1 states (T1.State, T1.OriginalState): the kind of block that SmartcardT1Request builds
 * next, which is also the kind of block that SmartcardT1Reply finds just sent.  The S-block
 * states carry the block's PCB.
 */
#define T1_INIT             0x00 /* after a reset: block numbers 0, the reader's IFS request due */
#define T1_START            0x01 /* no command in progress; the next request starts one */
#define T1_I_BLOCK          0x02
#define T1_R_BLOCK          0x03
#define T1_RESTART          0x04
#define T1_RESYNCH_REQUEST  0xC0
#define T1_RESYNCH_RESPONSE 0xE0
#define T1_IFS_REQUEST      0xC1
#define T1_IFS_RESPONSE     0xE1
#define T1_ABORT_REQUEST    0xC2
#define T1_ABORT_RESPONSE   0xE2
#define T1_WTX_REQUEST      0xC3
#define T1_WTX_RESPONSE     0xE3
#define T1_VPP_ERROR        0xE4

/* Error bits of an R-block (ISO/IEC 7816-3, 11.3.2.2), kept in T1.LastError. */
#define T1_ERROR_NONE  0x00
#define T1_ERROR_EDC   0x01 /* EDC or parity error */
#define T1_ERROR_OTHER 0x02 /* any other error: invalid block, lost block */

/* Default information field size of both sides until an IFS exchange (ISO/IEC 7816-3, 11.4.2). */
#define T1_DEFAULT_IFS 32

struct _SMARTCARD_EXTENSION;
/* A reader function: the library calls it in the platform's convention, as a driver calls the
 * library's routines below. */
typedef NTSTATUS (NTAPI *PRDF_FUNCTION)(struct _SMARTCARD_EXTENSION *SmartcardExtension);

/* One row of the clock rate conversion table, indexed by Fl: Fi and fmax in kHz. */
typedef struct _CLOCK_RATE_CONVERSION {
    const ULONG F;
    const ULONG fs;
} CLOCK_RATE_CONVERSION, *PCLOCK_RATE_CONVERSION;

/* One row of the bit rate adjustment table, indexed by Dl: Di = DNumerator / DDivisor. */
typedef struct _BIT_RATE_ADJUSTMENT {
    const ULONG DNumerator;
    const ULONG DDivisor;
} BIT_RATE_ADJUSTMENT, *PBIT_RATE_ADJUSTMENT;

/* Attribute strings: Length counts the bytes used in Buffer. */
typedef struct _VENDOR_ATTR {
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } VendorName;
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } IfdType;
    ULONG UnitNo;
    struct {
        USHORT BuildNumber;
        UCHAR VersionMinor;
        UCHAR VersionMajor;
    } IfdVersion;
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } IfdSerialNo;
    ULONG Reserved[25];
} VENDOR_ATTR, *PVENDOR_ATTR;

typedef struct _SCARD_READER_CAPABILITIES {
    ULONG SupportedProtocols; /* SCARD_PROTOCOL_* mask */
    ULONG Reserved;
    ULONG ReaderType;         /* SCARD_READER_TYPE_* */
    ULONG MechProperties;     /* SCARD_READER_SWALLOWS ... */
    ULONG CurrentState;       /* SCARD_UNKNOWN ... SCARD_SPECIFIC */
    ULONG Channel;
    struct {
        ULONG Default; /* kHz */
        ULONG Max;     /* kHz */
    } CLKFrequency;
    struct {
        ULONG Default; /* bit/s */
        ULONG Max;     /* bit/s */
    } DataRate;
    ULONG MaxIFSD;          /* largest information field the reader takes from a T=1 card */
    ULONG PowerMgmtSupport; /* 0: none */
    ULONG CardConfiscated;
    struct {
        PULONG List; /* bit/s, owned by the driver */
        UCHAR Entries;
    } DataRatesSupported;
    struct {
        PULONG List; /* kHz, owned by the driver; none: only CLKFrequency */
        UCHAR Entries;
    } CLKFrequenciesSupported;
    UCHAR Reserved1[15];
} SCARD_READER_CAPABILITIES, *PSCARD_READER_CAPABILITIES;

typedef struct _SCARD_CARD_CAPABILITIES {
    BOOLEAN InversConvention; /* TS was 0x3F (or 0x03): the card uses the inverse convention */
    ULONG etu;                /* microseconds, at Fl, Dl and the reader's default clock */
    struct {
        UCHAR Buffer[64];
        UCHAR Length;
    } ATR;
    struct {
        UCHAR Buffer[16];
        UCHAR Length;
    } HistoricalChars;
    PCLOCK_RATE_CONVERSION ClockRateConversion; /* 16 rows, indexed by Fl */
    PBIT_RATE_ADJUSTMENT BitRateAdjustment;     /* 16 rows, indexed by Dl */
    UCHAR Fl;  /* index of F in force: 1 (372) until a PTS exchange sets another */
    UCHAR Dl;  /* index of D in force */
    UCHAR II;  /* TB1 bits 7-6, programming current (deprecated by ISO/IEC 7816-3:2006) */
    UCHAR P;   /* TB1 bits 5-1, programming voltage */
    UCHAR N;   /* TC1: extra guard time in etu, 255 meaning the minimum */
    ULONG GT;  /* guard time in microseconds */
    struct {
        ULONG Supported; /* SCARD_PROTOCOL_* offered by the card */
        ULONG Selected;  /* SCARD_PROTOCOL_* in force, 0 while none */
    } Protocol;
    struct {
        UCHAR WI; /* TC2, work waiting time integer */
        ULONG WT; /* work waiting time in microseconds */
    } T0;
    struct {
        UCHAR IFSC; /* first TA for T=1 */
        UCHAR CWI;  /* first TB for T=1, low nibble */
        UCHAR BWI;  /* first TB for T=1, high nibble */
        UCHAR EDC;  /* first TC for T=1, bit 0: T1_LRC_CHECK or T1_CRC_CHECK */
        ULONG CWT;  /* microseconds */
        ULONG BWT;  /* microseconds */
        ULONG BGT;  /* block guard time, microseconds */
    } T1;
    struct {
        UCHAR Type; /* PTS_TYPE_* */
        UCHAR Fl;   /* index to propose in PTS1 */
        UCHAR Dl;
        ULONG CLKFrequency; /* kHz at which Fl, Dl were chosen */
        ULONG DataRate;     /* bit/s that Fl, Dl give at that clock */
        UCHAR StopBits;
    } PtsData;
    /* Set by SmartcardUpdateCardCapabilities from the ATR, for tools and attributes. */
    UCHAR TA2;          /* TA2 when SpecificMode */
    BOOLEAN SpecificMode;
    BOOLEAN TckPresent; /* the ATR ended with its check byte */
    UCHAR Reserved[97];
} SCARD_CARD_CAPABILITIES, *PSCARD_CARD_CAPABILITIES;

typedef struct _SMARTCARD_REQUEST {
    PUCHAR Buffer;
    ULONG BufferSize;   /* bytes allocated */
    ULONG BufferLength; /* bytes used */
} SMARTCARD_REQUEST, *PSMARTCARD_REQUEST;

typedef struct _SMARTCARD_REPLY {
    PUCHAR Buffer;
    ULONG BufferSize;
    ULONG BufferLength;
} SMARTCARD_REPLY, *PSMARTCARD_REPLY;

/* Working state of one T=0 command. */
typedef struct _T0_DATA {
    ULONG Lc; /* command data bytes sent after the header */
    ULONG Le; /* data bytes the card is to return (256 for P3 = 0 in case 2) */
} T0_DATA, *PT0_DATA;

/* Working state of the T=1 block protocol; survives between commands, reset by a card reset. */
typedef struct _T1_DATA {
    UCHAR IFSC;          /* largest INF the card takes */
    UCHAR IFSD;          /* largest INF the reader takes, as the card knows it */
    UCHAR NAD;           /* node address of the next block built */
    UCHAR SSN;           /* N(S) of the reader's next new I-block */
    UCHAR RSN;           /* N(S) expected in the card's next I-block */
    UCHAR State;         /* T1_*: kind of block to build next / just built */
    UCHAR OriginalState; /* T1_I_BLOCK or T1_R_BLOCK: the exchange an S-block or error interrupts */
    UCHAR Wtx;           /* waiting time extension factor the card asked for; 0: none */
    UCHAR LastError;     /* T1_ERROR_* of the next R-block */
    UCHAR Resend;        /* consecutive faulty exchanges since the last progress */
    UCHAR Resynch;       /* S(RESYNCH request) blocks sent for the current command */
    UCHAR CardRequests;  /* S requests and empty chained I-blocks from the card since the last progress */
    UCHAR IfsdRequest;   /* INF of the reader's S(IFS request) */
    BOOLEAN IfsdRequested;   /* the IFS request after the reset has been made */
    BOOLEAN IBlockPending;   /* the reader's last I-block is not yet acknowledged */
    BOOLEAN SendMore;        /* M bit of the reader's last I-block */
    BOOLEAN MoreData;        /* M bit of the card's last accepted I-block */
    BOOLEAN AnswerStarted;   /* an I-block of the card's answer has been accepted */
    UCHAR InfSent;           /* INF length of the reader's last I-block */
    ULONG BytesToSend;       /* APDU length of the current command */
    ULONG BytesSent;         /* APDU bytes the card has acknowledged */
    ULONG BytesReceived;     /* answer bytes stored in the reply so far */
} T1_DATA, *PT1_DATA;

/* The library's per-reader operating-system data, made by SmartcardInitialize. */
typedef struct _SMARTCARD_OS_DATA {
    PDEVICE_OBJECT DeviceObject; /* the reader's device object */
    PIRP CurrentIrp;             /* the request a reader function is serving */
    PIRP NotificationIrp;        /* the parked card tracking request */
    KSPIN_LOCK SpinLock;         /* CurrentState changes and NotificationIrp */
    IO_REMOVE_LOCK RemoveLock;   /* one reference per open handle and request in progress */
    KEVENT ReaderIdle;           /* synchronization event: signalled while no request is inside
                                    the reader functions; a request takes it to enter */
    LONG ReaderBusy;             /* a reader function of this device is running */
    ULONG RemoveLockTag;
    NTSTATUS LastError;          /* for IOCTL_SMARTCARD_GET_LAST_ERROR */
    ULONG SuppressT1IfsRequest;  /* SCARD_ATTR_SUPRESS_T1_IFS_REQUEST: no IFSD request after a reset */
    PVOID Reserved[8];
} SMARTCARD_OS_DATA, *PSMARTCARD_OS_DATA;

struct _READER_EXTENSION; /* the driver's own record */

typedef struct _SMARTCARD_EXTENSION {
    ULONG Version; /* SMCLIB_VERSION the driver was built with */
    VENDOR_ATTR VendorAttr;
    PRDF_FUNCTION ReaderFunction[RDF_MAXIMUM];
    SCARD_CARD_CAPABILITIES CardCapabilities;
    ULONG LastError;
    struct {
        PULONG Information;       /* bytes written to ReplyBuffer */
        PUCHAR RequestBuffer;     /* the caller's input */
        ULONG RequestBufferLength;
        PUCHAR ReplyBuffer;       /* the caller's output */
        ULONG ReplyBufferLength;
    } IoRequest;
    ULONG MajorIoControlCode;
    ULONG MinorIoControlCode;
    PSMARTCARD_OS_DATA OsData;
    SCARD_READER_CAPABILITIES ReaderCapabilities;
    struct _READER_EXTENSION *ReaderExtension;
    SMARTCARD_REPLY SmartcardReply;
    SMARTCARD_REQUEST SmartcardRequest;
    T0_DATA T0;
    T1_DATA T1;
    ULONG PerfData[4];
    ULONG Reserved[25];
} SMARTCARD_EXTENSION, *PSMARTCARD_EXTENSION;

/* Library routines. */
NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);
NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData);

/*
 * Debug output.  The library keeps one debug level, a mask of the classes below, for every
 * reader driver; SmartcardDebug prints the formatted line when its class is in the mask, and
 * costs one call and a test when it is not.  The level is 0 until someone sets it.  STRING is
 * the parenthesised argument list of a printf call, for the kernel's DbgPrint:
 * SmartcardDebug(DEBUG_ATR, ("%s", text)).
 */
#define DEBUG_IOCTL    ((ULONG)0x00000001) /* device control: entry, exit and status */
#define DEBUG_ATR      ((ULONG)0x00000002) /* answer to reset and what came of it */
#define DEBUG_PROTOCOL ((ULONG)0x00000004) /* PTS, T=0 and T=1 exchanges */
#define DEBUG_DRIVER   ((ULONG)0x00000008) /* the driver's life: start, stop, power, removal */
#define DEBUG_TRACE    ((ULONG)0x00000010) /* routine entry and exit, reader commands */
#define DEBUG_ERROR    ((ULONG)0x00000020) /* failures */
#define DEBUG_BREAK    ((ULONG)0x80000000)
#define DEBUG_ALL      ((ULONG)0x7FFFFFFF)

ULONG NTAPI SmartcardGetDebugLevel(VOID);
VOID NTAPI SmartcardSetDebugLevel(ULONG Level);

#define SmartcardDebug(LEVEL, STRING)                                          \
    do {                                                                       \
        if (SmartcardGetDebugLevel() & (LEVEL)) DbgPrint STRING;               \
    } while (0)

/*
 * Derives CardCapabilities from CardCapabilities.ATR.  STATUS_SUCCESS, or:
 * STATUS_INVALID_PARAMETER (no record, ATR.Length beyond the buffer), STATUS_UNRECOGNIZED_MEDIA
 * (TS unknown, ATR truncated or with bytes beyond its structure), STATUS_CRC_ERROR (wrong TCK),
 * STATUS_NOT_SUPPORTED (specific mode at a data rate the reader cannot run).
 */
NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);

NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);

/*
 * SmartcardT1Reply: STATUS_MORE_PROCESSING_REQUIRED (build and exchange the next block),
 * STATUS_SUCCESS (the answer is in IoRequest), STATUS_IO_TIMEOUT (the card is given up after
 * the retries and resynchronisations), or another failure for a bad request or answer.
 */
NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);

#ifdef __cplusplus
}
#endif

#endif /* LMSCR_SMCLIB_H */
