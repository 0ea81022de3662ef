/*
 * The reader's records: the DEVICE_EXTENSION that is its device object's extension, the class
 * library's SMARTCARD_EXTENSION as its first member, and the READER_EXTENSION that the library
 * record points to.  Every routine of the driver reaches its state from one of these.
 */
#pragma once

#include <ntddk.h>
#include <ntddser.h>
#include <smclib.h>

/* Pool tag of the READER_EXTENSION: the bytes read "SCB3" in memory. */
#define SMARTCARD_POOL_TAG 0x33424353

#define MAXIMUM_SERIAL_READERS 10
#define RX_BUFFER_SIZE 768
#define RX_NOBODY_WAITS 0xFFFFFFFFu

/* READER_EXTENSION.ReaderPowerState */
#define READER_POWER_ON 1
#define READER_POWER_OFF 2

typedef struct _ATR_INTERFACE_BYTE {
    UCHAR Present;
    UCHAR Value;
} ATR_INTERFACE_BYTE;

typedef struct _READER_EXTENSION *PREADER_EXTENSION;

/*
 * What the receive engine needs of the rest of the driver, handed to it once when the device is
 * created (ReaderReceiveClient): the engine reports and asks through these three and reaches for
 * nothing else of the driver or of the class library.  Called from the engine's run, at passive
 * level, with no lock of the engine held.
 */
typedef struct _RECEIVE_CLIENT {
    /* The reader reported the card in the slot (0x10 0x85) or gone from it (0x10 0x86). */
    VOID (*CardMoved)(PREADER_EXTENSION ReaderExtension, BOOLEAN Present);
    /* The engine will not wait on the port again: the DSR line dropped, no request could be had
     * for the next wait, or a stop cleared the wait mask.  The port is to be closed. */
    VOID (*PortLost)(PREADER_EXTENSION ReaderExtension);
    /* The card has asked for more time (a T=1 waiting time extension in force): neither the
     * reader's time-out report nor the line's read time-out means that it fell silent.  Asked when
     * the report or the time-out comes, as the extension is granted in the middle of an exchange. */
    BOOLEAN (*CardAskedForMoreTime)(PREADER_EXTENSION ReaderExtension);
} RECEIVE_CLIENT;

typedef struct _READER_EXTENSION {
    PDEVICE_OBJECT AttachedSerialPort;
    PIO_WORKITEM CloseSerialWorkItem;
    PIO_WORKITEM ReadWorkItem;
    PIO_WORKITEM PowerWorkItem; /* a power-up finished at passive level */
    PSMARTCARD_EXTENSION SmartcardExtension;
    const RECEIVE_CLIENT *ReceiveClient; /* set once, before the engine first waits */
    /*
     * The receive engine's state (seriallink/receive.cpp).  Only receive.cpp writes these; the
     * rest of the driver goes through its routines (driver.h: BeginReceive, ResetReceive,
     * DropReceived, ReadReceived, WaitBlockEnd, ReceivedFaultyByte, ReceivedBytesWaiting,
     * ReceivePortLost).  Two parties touch them: the run (ReadWorker, one at a time) and the one
     * consumer, the thread of the request that talks to the reader.
     *
     *   under RxLock   RxBuffer, RxCount       bytes decoded and not yet taken (the run's test
     *                                          for a full buffer and ReceivedBytesWaiting glance
     *                                          at RxCount without it)
     *                  RxWanted                count the waiting consumer needs, or RX_NOBODY_WAITS
     *                  ExchangeInProgress, CardRemovedInExchange, PortGone, EngineStopping,
 *                  CardEvents (below)
     *                  BlockEndOwed            T=1: WaitBlockEnd gave up on a block's end report
     *                                          that is still on its way; T=0: the reader's
     *                                          watch after a status word may still report the
     *                                          card's silence: set by the consumer,
     *                                          cleared by the run at the next symbol (the run
     *                                          glances at it without the lock first)
     *   the run only   RxByte, EscapePending, SerialEvents
     *   RxEvent's      RxStatus        outcome of the wake-up: written by the run (partly under
     *   handshake                      RxLock) before it sets RxEvent, by ResetReceive and
     *                                  ReceivePortLost under RxLock; read by the consumer once
     *                                  woken, before it clears RxEvent.  A signalled RxEvent keeps
     *                                  the next run from clearing it before it is taken.
     *   no lock        ReceiveError    a faulty card byte since BeginReceive: cleared by the
     *                                  consumer, set by the run
     *                  BlockEndStatus  T=1: the reader reported the block's end since BeginReceive:
     *                                  set to STATUS_IO_TIMEOUT by the consumer, to success by the
     *                                  run (which holds RxLock then, for RxCount's sake)
     *                  RxEvent         the consumer's wake-up: set by the run and ReceivePortLost,
     *                                  cleared by the consumer
     */
    UCHAR RxByte;
    UCHAR RxBuffer[RX_BUFFER_SIZE];
    ULONG RxCount;
    ULONG RxWanted;
    NTSTATUS RxStatus;
    NTSTATUS ReceiveError;
    NTSTATUS BlockEndStatus;
    BOOLEAN BlockEndOwed;
    ULONG SerialEvents;
    ULONG TotalTimeout; /* milliseconds */
    ULONG CharTimeout;  /* milliseconds */
    KEVENT RxEvent;
    KSPIN_LOCK RxLock;
    ULONG ReaderPowerState;
    BOOLEAN EscapePending;
    UCHAR FirmwareMajor;
    UCHAR FirmwareMinor;
    /*
     * Set, under RxLock, by a stop before it clears the serial wait mask: a receive run that ends
     * after that point must not arm another wait (the port may keep a wait with an empty mask pending
     * for ever) but hand over to CloseSerialWorker at once.  Cleared when a start arms the engine.
     */
    BOOLEAN EngineStopping;
    /*
     * Under RxLock.  A card exchange is in progress (BeginCardExchange to EndCardExchange); a
     * removal reported meanwhile marks CardRemovedInExchange and wakes the consumer, and every
     * later wait of the exchange fails at once with STATUS_NO_MEDIA instead of sitting out its
     * time-out while the library holds every other request of the reader back.
     */
    BOOLEAN ExchangeInProgress;
    BOOLEAN CardRemovedInExchange;
    /*
     * Under RxLock.  The serial port is closed under the reader (CloseSerialWorker: the DSR line
     * dropped, or a stop): a consumer waiting for the reader is woken with STATUS_DEVICE_REMOVED,
     * and every later command and wait fails with it at once, instead of each sitting out its
     * time-out on a line that is gone.  Cleared when a start arms the engine again.
     */
    BOOLEAN PortGone;
    /* Under RxLock.  Card events the run has reported (ReceivedCardEvents). */
    ULONG CardEvents;
    /* TA1, TB1, TC1, TD1, TA2, TB2, TC2, TD2, TA3, TB3, TC3, TD3 of the last answer to reset */
    ATR_INTERFACE_BYTE AtrInterfaceBytes[12];
    /*
     * The reader's card-side timing as the driver last programmed it: the length of its etu in
     * nanoseconds, its guard time and its block time-out in etu.  Only seriallink/commands.cpp
     * writes and reads them.  While one is not known (since the reader was initialised or the
     * card reset, until the card's timing is programmed) it holds 0, the guard time its largest
     * value.  They bound how long a send-data command keeps the reader busy, which decides
     * whether SendData may queue the next one behind it (commands.cpp).
     */
    ULONG ReaderEtuNs;
    ULONG ReaderGuardTimeEtu;
    ULONG ReaderBlockTimeoutEtu;
} READER_EXTENSION;

typedef struct _DEVICE_EXTENSION {
    SMARTCARD_EXTENSION SmartcardExtension; /* first: the library's pointer is ours too */
    KEVENT ReaderClosed;
    KSPIN_LOCK SpinLock;
    UNICODE_STRING PnPDeviceName;
    ULONG DeviceInstance;
    LONG IoCount;
    KEVENT ReaderStarted;
    KEVENT SerialCloseDone;
    /*
     * Set by RemoveDevice before it waits for the last remove-lock reference: a device-control
     * request that waits for ReaderStarted holds a reference while it waits, is woken, sees
     * this and leaves with STATUS_DEVICE_REMOVED instead of waiting for a start that never comes.
     */
    BOOLEAN RemovePending;
    /*
     * Under SpinLock.  A start that is running owns the reader interface: CloseSerialWorker, when
     * the port is lost in the middle of it (the DSR line dropped), leaves the interface to the start
     * and marks PortLost, so that the start fails instead of reporting a reader with a closed port.
     */
    BOOLEAN StartInProgress;
    BOOLEAN PortLost;
    /* The last remove query disabled the interface itself; only then does its cancel enable it. */
    BOOLEAN QueryRemoveDisabledInterface;
    /* Under SpinLock.  A sleep query or a power-down cleared ReaderStarted of a started reader;
     * the power-up, or the working state set again after a refused sleep, sets it again. */
    BOOLEAN PowerHeldDeviceControl;
    /*
     * Under SpinLock.  A power-down waits in HoldBackDeviceControl for the device-control requests
     * in progress to leave the reader: the last one to leave (IoCount back to 0) sets
     * DeviceControlIdle, which the hold initialises before it sets this and waits on with a bound.
     */
    BOOLEAN HoldBackWaiting;
    KEVENT DeviceControlIdle;
    /*
     * Under SpinLock.  The reader was surprise-removed: the hardware is gone and only the remove
     * request is still to come, once every handle is closed.  From then on opens and device
     * control are refused with STATUS_NO_SUCH_DEVICE, a request waiting for ReaderStarted is woken
     * to leave the same way (it would wait for a start that never comes, and its handle could never
     * close), and nobody clears ReaderStarted again.
     */
    BOOLEAN SurpriseRemoved;
    /*
     * A remove query succeeded and neither its cancel nor the remove request has come yet: opens
     * are refused with STATUS_DELETE_PENDING, since a handle opened now would hold the removal up.
     * Set before the query tests ReaderClosed, tested by an open after it clears ReaderClosed, so
     * that of an open and a query that cross, one of them sees the other.
     */
    BOOLEAN RemoveQueried;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;
