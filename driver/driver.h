/*
 * The driver's routines, by the part of the driver that owns them.  Every routine returns an
 * NTSTATUS unless it has nothing to report; callers return the first failure unchanged.
 */
#pragma once

#include "context.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- driver/: entry, device objects, records ------------------------------------------- */
extern UCHAR DeviceSlots[MAXIMUM_SERIAL_READERS];
DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE AddDevice;
NTSTATUS CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT *DeviceObject);
VOID RemoveDevice(PDEVICE_OBJECT DeviceObject);
DRIVER_UNLOAD DriverUnload;
VOID InitializeSmartcardExtension(PSMARTCARD_EXTENSION SmartcardExtension);

/* ---- driver/: start and stop ----------------------------------------------------------- */
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject);
VOID StopDevice(PDEVICE_EXTENSION DeviceExtension);
IO_WORKITEM_ROUTINE CloseSerialWorker;
NTSTATUS CallSerialDriver(PDEVICE_OBJECT LowerDevice, PIRP Irp);
IO_COMPLETION_ROUTINE CallSerialCompletion;

/* ---- driver/: dispatch, Plug and Play, power -------------------------------------------- */
DRIVER_DISPATCH DispatchCreateClose;
DRIVER_DISPATCH DispatchCleanup;
DRIVER_DISPATCH DispatchDeviceControl;
NTSTATUS NTAPI VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension);
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPower;
IO_COMPLETION_ROUTINE PowerUpCompletion;
REQUEST_POWER_COMPLETE PowerRequestComplete;

/*
 * How long a power-down without a sleep query (a critical sleep, a shutdown) waits for the
 * device-control requests inside the reader to leave it: one minute.  A card exchange is bounded
 * by the card's waiting times: each wait for a block or a procedure byte ends at TotalTimeout,
 * BWT or WWT with a margin (about 2.2 s for a T=1 card with the default BWI 4, 1.4 s for T=0 with
 * WI 10), and the library gives a command up after a bounded number of repeats, so a working card
 * ends even a long chained command in seconds.  A minute is past any of that, yet short enough for
 * a system that is going down on a failing battery.  When it runs out the power-down goes on
 * without the reader (PowerDownReader): the request still inside keeps it.
 */
#define HOLD_BACK_BOUND_MS 60000

/* Under SpinLock: device control stops at ReaderStarted from now on.  Not on a reader on its way
 * out, which keeps ReaderStarted set: whoever waits for it must leave. */
static inline VOID HoldReaderStartedLocked(PDEVICE_EXTENSION DeviceExtension) {
    if (!DeviceExtension->SurpriseRemoved && !DeviceExtension->RemovePending)
        KeClearEvent(&DeviceExtension->ReaderStarted);
}

/* The vendor request: library, driver and firmware versions in eight bytes. */
#define IOCTL_READER_GET_VERSION SCARD_CTL_CODE(2049)
#define DRIVER_VERSION_MAJOR 1
#define DRIVER_VERSION_MINOR 0

/* ---- seriallink/: serial port requests ---------------------------------------------------- */
typedef struct _SERIAL_SETUP {
    SERIAL_HANDFLOW HandFlow;
    SERIAL_CHARS Chars;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_BAUD_RATE Baud;
    SERIAL_LINE_CONTROL LineControl;
    ULONG WaitMask;
    ULONG PurgeMask;
} SERIAL_SETUP, *PSERIAL_SETUP;

NTSTATUS SerialWrite(PREADER_EXTENSION ReaderExtension, const UCHAR *Data, ULONG Length);
/* A command behind others whose replies are still due: written without emptying the receive
 * buffer first. */
NTSTATUS SerialWriteQueued(PREADER_EXTENSION ReaderExtension, const UCHAR *Data, ULONG Length);
NTSTATUS SerialRead(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Length);
NTSTATUS SerialIoctl(PREADER_EXTENSION ReaderExtension, ULONG IoControlCode, PVOID Input,
                     ULONG InputLength, PVOID Output, ULONG OutputLength);
NTSTATUS ConfigureSerialPort(PREADER_EXTENSION ReaderExtension, PSERIAL_SETUP Setup);
VOID FillSerialSetup(PSERIAL_SETUP Setup);
VOID WaitMilliseconds(ULONG Milliseconds);
/* The port's write time-out, in every setting of its time-outs. */
#define WRITE_TOTAL_TIMEOUT_MS 1000

/* ---- seriallink/: receive engine ------------------------------------------------------------ */
NTSTATUS ArmSerialWait(PREADER_EXTENSION ReaderExtension);
IO_COMPLETION_ROUTINE SerialWaitCompletion;
IO_WORKITEM_ROUTINE ReadWorker;
NTSTATUS ReadReceived(PREADER_EXTENSION ReaderExtension, PUCHAR Destination, ULONG Count);
NTSTATUS WaitBlockEnd(PREADER_EXTENSION ReaderExtension);
/* T=0: the card's status word ended the exchange, and the reader goes on watching the card line
 * until the next command's first byte; its silence report may still come, also behind that
 * command. */
VOID OweCardWatchReport(PREADER_EXTENSION ReaderExtension);
/* An exchange with the card starts: no faulty byte seen yet, and (T=1) no block end reported. */
VOID BeginReceive(PREADER_EXTENSION ReaderExtension, BOOLEAN AwaitBlockEnd);
/* A command starts: the bytes held and the status of the last wake-up forgotten, the signal
 * cleared; STATUS_DEVICE_REMOVED once the port is gone. */
NTSTATUS ResetReceive(PREADER_EXTENSION ReaderExtension);
/* The bytes held are forgotten; returns how many there were. */
ULONG DropReceived(PREADER_EXTENSION ReaderExtension);
/* The reader reported the card gone (0x10 0x86) since the card exchange began. */
BOOLEAN ReceivedCardRemoval(PREADER_EXTENSION ReaderExtension);
/* The reader reported a faulty card byte (0x10 0x88) since BeginReceive. */
BOOLEAN ReceivedFaultyByte(PREADER_EXTENSION ReaderExtension);
/* Bytes are held that nobody has taken. */
BOOLEAN ReceivedBytesWaiting(PREADER_EXTENSION ReaderExtension);
/* The port is closed under the reader: a waiting consumer is woken with STATUS_DEVICE_REMOVED,
 * and every later command and wait fails with it. */
VOID ReceivePortLost(PREADER_EXTENSION ReaderExtension);
/* How many card events (0x10 0x85, 0x10 0x86) the engine has reported; counted before each is
 * reported, so that a presence query begun earlier can tell that its answer is older. */
ULONG ReceivedCardEvents(PREADER_EXTENSION ReaderExtension);
/* The rest of the driver as the engine sees it (driver/entry.cpp), and its three routines. */
extern const RECEIVE_CLIENT ReaderReceiveClient;
VOID ReportCardMoved(PREADER_EXTENSION ReaderExtension, BOOLEAN Present);     /* protocol/tracking.cpp */
VOID CloseSerialPortLater(PREADER_EXTENSION ReaderExtension);                 /* driver/startstop.cpp */
BOOLEAN T1WaitingTimeExtended(PREADER_EXTENSION ReaderExtension);             /* protocol/t1.cpp */

/* ---- seriallink/: the reader's command set ------------------------------------------------- */
NTSTATUS WriteRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register, UCHAR Count,
                       const UCHAR *Data);
NTSTATUS ReadRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register, ULONG Length,
                      PUCHAR Value);
NTSTATUS ReadFirmwareVersion(PREADER_EXTENSION ReaderExtension);
/* The reader's word on the card: in the slot or not.  Present is written only on success. */
NTSTATUS ReadCardPresence(PREADER_EXTENSION ReaderExtension, PBOOLEAN Present);
NTSTATUS InitializeReader(PREADER_EXTENSION ReaderExtension);
NTSTATUS ShutdownReader(PREADER_EXTENSION ReaderExtension);
NTSTATUS PowerOffCard(PREADER_EXTENSION ReaderExtension);
NTSTATUS SetEtuClocks(PREADER_EXTENSION ReaderExtension, ULONG ClocksPerEtu);
NTSTATUS SetGuardTime(PREADER_EXTENSION ReaderExtension, ULONG GuardTimeEtu);
NTSTATUS SetCharTimeout(PREADER_EXTENSION ReaderExtension, ULONG TimeoutEtu);
NTSTATUS SetBlockTimeout(PREADER_EXTENSION ReaderExtension, ULONG TimeoutEtu);
NTSTATUS SetProtocolMode(PREADER_EXTENSION ReaderExtension, UCHAR Mode);
NTSTATUS PrepareCardReset(PREADER_EXTENSION ReaderExtension, BOOLEAN Flag);
NTSTATUS SendData(PREADER_EXTENSION ReaderExtension, const UCHAR *Data, ULONG Length);
NTSTATUS ReceiveData(PREADER_EXTENSION ReaderExtension, PUCHAR Destination, PULONG Length,
                     ULONG Count);
NTSTATUS MapReaderStatus(UCHAR Status);

/* ---- protocol/: card presence tracking ------------------------------------------------------ */
/* Stores State (SCARD_ABSENT and up), or with 0 asks the reader; completes the parked tracking
 * request when the presence changed. */
VOID UpdateCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State);
/* Stores State as the reader's word from a query begun when ReceivedCardEvents said
 * CardEventsBefore: not if a card event has been reported since, which is newer. */
#define NO_CARD_EVENT_CHECK 0xFFFFFFFFu
VOID UpdateCardStateFromReader(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State, ULONG CardEventsBefore);
NTSTATUS NTAPI CardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
DRIVER_CANCEL CancelCardTracking;

/* ---- protocol/: card timing, card power and answer to reset, protocol selection --------- */
/* The timing of the card in force, as ConfigureCardTiming and ConfigureSerialTimeouts derive it
 * from the card capabilities; also read by the tools that show it. */
typedef struct _CARD_TIMING {
    ULONG Protocol;       /* CardCapabilities.Protocol.Selected it was computed for */
    UCHAR ProtocolMode;   /* the reader's protocol mode (reader_registers.h) */
    BOOLEAN ProgramTimeouts; /* no zero divisor: guard time and time-outs can be programmed */
    ULONG ClocksPerEtu;
    ULONG GuardTimeEtu;
    ULONGLONG CharTimeoutEtuRaw;  /* before the margin of one tenth */
    ULONGLONG BlockTimeoutEtuRaw;
    ULONG CharTimeoutEtu;  /* with the margin, at most the 24 bits of the register */
    ULONG BlockTimeoutEtu;
    ULONGLONG CharClocks;
    ULONGLONG BlockClocks;
    ULONGLONG CharMs;
    ULONGLONG BlockMs;
    ULONG CharTimeoutMs;  /* CharTimeout to be set */
    ULONG TotalTimeoutMs; /* TotalTimeout to be set */
} CARD_TIMING, *PCARD_TIMING;

#define ATR_BUFFER_SIZE 64
#define ATR_MAXIMUM_STORED 33
/* Waits of an answer to reset, in milliseconds: for TS after the activation, then per byte. */
#define ATR_FIRST_BYTE_TIMEOUT_MS 120
#define ATR_BYTE_TIMEOUT_MS 1200

VOID ComputeCardTiming(PSMARTCARD_EXTENSION SmartcardExtension, PCARD_TIMING Timing);
NTSTATUS ConfigureCardTiming(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS ConfigureSerialTimeouts(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SetSerialReadTimeouts(PREADER_EXTENSION ReaderExtension, ULONG IntervalMs, ULONG TotalMs);
NTSTATUS NTAPI CardPower(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS ResetCard(PREADER_EXTENSION ReaderExtension, BOOLEAN Warm, PUCHAR Buffer, PULONG Length);
NTSTATUS ReadAtr(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, PULONG Length);
NTSTATUS NTAPI SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);

/* ---- protocol/: transmit, the T=0 and T=1 exchanges ------------------------------------------ */
NTSTATUS NTAPI Transmit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS TransmitRaw(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS TransmitT1(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS RunT0Procedure(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR *Command, ULONG CommandLength,
                        PUCHAR Reply, PULONG ReplyLength);
/* The CRC of a T=1 block's prologue and INF, sent low-order byte first. */
USHORT BlockCrc(const UCHAR *Bytes, ULONG Length);
/* The card or the reader went away in the middle of a command: there is nobody left to repeat a
 * block to, to resynchronise with or to power down. */
#define CARD_OR_READER_GONE(status) ((status) == STATUS_NO_MEDIA || (status) == STATUS_DEVICE_REMOVED)

/* The driver's debug lines (SmartcardDebug) start with its name, as every driver's on a kernel
 * debugger do; a status is printed as its 32-bit code. */
#define DRIVER_NAME "lmscr"
#define DBG_STATUS(status) ((unsigned int)(status))
/* Around every card exchange: a card pulled meanwhile ends the exchange's waits at once. */
VOID BeginCardExchange(PREADER_EXTENSION ReaderExtension);
VOID EndCardExchange(PREADER_EXTENSION ReaderExtension);

#ifdef __cplusplus
}
#endif
