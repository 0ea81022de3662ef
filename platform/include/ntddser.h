/*
 * ntddser.h - the serial port interface: device-control codes, parameter records and
 * constants of the platform's serial port driver, as drivers above a serial port use them.
 *
 * Every request here is METHOD_BUFFERED with FILE_ANY_ACCESS on FILE_DEVICE_SERIAL_PORT, so the
 * codes are 0x1B0000 | (function << 2).  Record layouts are those of the platform (natural
 * alignment, ULONG = 32 bits): SERIAL_LINE_CONTROL is 3 bytes, SERIAL_CHARS 6, SERIAL_TIMEOUTS
 * 20, SERIAL_HANDFLOW 16, SERIAL_STATUS 20.
 */
#ifndef LMSCR_NTDDSER_H
#define LMSCR_NTDDSER_H

#include "wdm.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LM_SERIAL_CTL(Function) CTL_CODE(FILE_DEVICE_SERIAL_PORT, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_SERIAL_SET_BAUD_RATE     LM_SERIAL_CTL(1)  /* 0x1B0004 */
#define IOCTL_SERIAL_SET_QUEUE_SIZE    LM_SERIAL_CTL(2)  /* 0x1B0008 */
#define IOCTL_SERIAL_SET_LINE_CONTROL  LM_SERIAL_CTL(3)  /* 0x1B000C */
#define IOCTL_SERIAL_SET_BREAK_ON      LM_SERIAL_CTL(4)  /* 0x1B0010 */
#define IOCTL_SERIAL_SET_BREAK_OFF     LM_SERIAL_CTL(5)  /* 0x1B0014 */
#define IOCTL_SERIAL_IMMEDIATE_CHAR    LM_SERIAL_CTL(6)  /* 0x1B0018 */
#define IOCTL_SERIAL_SET_TIMEOUTS      LM_SERIAL_CTL(7)  /* 0x1B001C */
#define IOCTL_SERIAL_GET_TIMEOUTS      LM_SERIAL_CTL(8)  /* 0x1B0020 */
#define IOCTL_SERIAL_SET_DTR           LM_SERIAL_CTL(9)  /* 0x1B0024 */
#define IOCTL_SERIAL_CLR_DTR           LM_SERIAL_CTL(10) /* 0x1B0028 */
#define IOCTL_SERIAL_RESET_DEVICE      LM_SERIAL_CTL(11) /* 0x1B002C */
#define IOCTL_SERIAL_SET_RTS           LM_SERIAL_CTL(12) /* 0x1B0030 */
#define IOCTL_SERIAL_CLR_RTS           LM_SERIAL_CTL(13) /* 0x1B0034 */
#define IOCTL_SERIAL_SET_XOFF          LM_SERIAL_CTL(14) /* 0x1B0038 */
#define IOCTL_SERIAL_SET_XON           LM_SERIAL_CTL(15) /* 0x1B003C */
#define IOCTL_SERIAL_GET_WAIT_MASK     LM_SERIAL_CTL(16) /* 0x1B0040 */
#define IOCTL_SERIAL_SET_WAIT_MASK     LM_SERIAL_CTL(17) /* 0x1B0044 */
#define IOCTL_SERIAL_WAIT_ON_MASK      LM_SERIAL_CTL(18) /* 0x1B0048 */
#define IOCTL_SERIAL_PURGE             LM_SERIAL_CTL(19) /* 0x1B004C */
#define IOCTL_SERIAL_GET_BAUD_RATE     LM_SERIAL_CTL(20) /* 0x1B0050 */
#define IOCTL_SERIAL_GET_LINE_CONTROL  LM_SERIAL_CTL(21) /* 0x1B0054 */
#define IOCTL_SERIAL_GET_CHARS         LM_SERIAL_CTL(22) /* 0x1B0058 */
#define IOCTL_SERIAL_SET_CHARS         LM_SERIAL_CTL(23) /* 0x1B005C */
#define IOCTL_SERIAL_GET_HANDFLOW      LM_SERIAL_CTL(24) /* 0x1B0060 */
#define IOCTL_SERIAL_SET_HANDFLOW      LM_SERIAL_CTL(25) /* 0x1B0064 */
#define IOCTL_SERIAL_GET_MODEMSTATUS   LM_SERIAL_CTL(26) /* 0x1B0068 */
#define IOCTL_SERIAL_GET_COMMSTATUS    LM_SERIAL_CTL(27) /* 0x1B006C */
#define IOCTL_SERIAL_XOFF_COUNTER      LM_SERIAL_CTL(28) /* 0x1B0070 */
#define IOCTL_SERIAL_GET_PROPERTIES    LM_SERIAL_CTL(29) /* 0x1B0074 */
#define IOCTL_SERIAL_GET_DTRRTS        LM_SERIAL_CTL(30) /* 0x1B0078 */

typedef struct _SERIAL_BAUD_RATE {
    ULONG BaudRate;
} SERIAL_BAUD_RATE, *PSERIAL_BAUD_RATE;

/* SERIAL_LINE_CONTROL.StopBits */
#define STOP_BIT_1 0
#define STOP_BITS_1_5 1
#define STOP_BITS_2 2
/* SERIAL_LINE_CONTROL.Parity */
#define NO_PARITY 0
#define ODD_PARITY 1
#define EVEN_PARITY 2
#define MARK_PARITY 3
#define SPACE_PARITY 4

typedef struct _SERIAL_LINE_CONTROL {
    UCHAR StopBits;
    UCHAR Parity;
    UCHAR WordLength; /* data bits, 5 to 8 */
} SERIAL_LINE_CONTROL, *PSERIAL_LINE_CONTROL;

typedef struct _SERIAL_CHARS {
    UCHAR EofChar;
    UCHAR ErrorChar;
    UCHAR BreakChar;
    UCHAR EventChar;
    UCHAR XonChar;
    UCHAR XoffChar;
} SERIAL_CHARS, *PSERIAL_CHARS;

/* All in milliseconds.  MAXULONG interval with zero totals: a read returns at once with what
 * the input queue holds. */
typedef struct _SERIAL_TIMEOUTS {
    ULONG ReadIntervalTimeout;
    ULONG ReadTotalTimeoutMultiplier;
    ULONG ReadTotalTimeoutConstant;
    ULONG WriteTotalTimeoutMultiplier;
    ULONG WriteTotalTimeoutConstant;
} SERIAL_TIMEOUTS, *PSERIAL_TIMEOUTS;

#define SERIAL_TIMEOUT_MAXULONG 0xFFFFFFFFu

/* SERIAL_HANDFLOW.ControlHandShake */
#define SERIAL_DTR_MASK 0x03u
#define SERIAL_DTR_CONTROL 0x01u
#define SERIAL_DTR_HANDSHAKE 0x02u
#define SERIAL_CTS_HANDSHAKE 0x08u
#define SERIAL_DSR_HANDSHAKE 0x10u
#define SERIAL_DCD_HANDSHAKE 0x20u
#define SERIAL_OUT_HANDSHAKEMASK 0x38u
#define SERIAL_DSR_SENSITIVITY 0x40u
#define SERIAL_ERROR_ABORT 0x80000000u
#define SERIAL_CONTROL_INVALID 0x7FFFFF84u
/* SERIAL_HANDFLOW.FlowReplace */
#define SERIAL_AUTO_TRANSMIT 0x01u
#define SERIAL_AUTO_RECEIVE 0x02u
#define SERIAL_ERROR_CHAR 0x04u
#define SERIAL_NULL_STRIPPING 0x08u
#define SERIAL_BREAK_CHAR 0x10u
#define SERIAL_RTS_MASK 0xC0u
#define SERIAL_RTS_CONTROL 0x40u
#define SERIAL_RTS_HANDSHAKE 0x80u
#define SERIAL_TRANSMIT_TOGGLE 0xC0u
#define SERIAL_XOFF_CONTINUE 0x80000000u
#define SERIAL_FLOW_INVALID 0x7FFFFF20u

typedef struct _SERIAL_HANDFLOW {
    ULONG ControlHandShake;
    ULONG FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
} SERIAL_HANDFLOW, *PSERIAL_HANDFLOW;

/* SERIAL_STATUS.Errors */
#define SERIAL_ERROR_BREAK 0x01u
#define SERIAL_ERROR_FRAMING 0x02u
#define SERIAL_ERROR_OVERRUN 0x04u
#define SERIAL_ERROR_QUEUEOVERRUN 0x08u
#define SERIAL_ERROR_PARITY 0x10u

typedef struct _SERIAL_STATUS {
    ULONG Errors;
    ULONG HoldReasons;
    ULONG AmountInInQueue;
    ULONG AmountInOutQueue;
    BOOLEAN EofReceived;
    BOOLEAN WaitForImmediate;
} SERIAL_STATUS, *PSERIAL_STATUS;

/* Wait-on-mask events */
#define SERIAL_EV_RXCHAR 0x0001u
#define SERIAL_EV_RXFLAG 0x0002u
#define SERIAL_EV_TXEMPTY 0x0004u
#define SERIAL_EV_CTS 0x0008u
#define SERIAL_EV_DSR 0x0010u
#define SERIAL_EV_RLSD 0x0020u
#define SERIAL_EV_BREAK 0x0040u
#define SERIAL_EV_ERR 0x0080u
#define SERIAL_EV_RING 0x0100u
#define SERIAL_EV_PERR 0x0200u
#define SERIAL_EV_RX80FULL 0x0400u
#define SERIAL_EV_EVENT1 0x0800u
#define SERIAL_EV_EVENT2 0x1000u

/* IOCTL_SERIAL_PURGE */
#define SERIAL_PURGE_TXABORT 0x01u
#define SERIAL_PURGE_RXABORT 0x02u
#define SERIAL_PURGE_TXCLEAR 0x04u
#define SERIAL_PURGE_RXCLEAR 0x08u

/* IOCTL_SERIAL_GET_MODEMSTATUS */
#define SERIAL_CTS_STATE 0x10u
#define SERIAL_DSR_STATE 0x20u
#define SERIAL_RI_STATE 0x40u
#define SERIAL_DCD_STATE 0x80u

/* IOCTL_SERIAL_GET_DTRRTS */
#define SERIAL_DTR_STATE 0x01u
#define SERIAL_RTS_STATE 0x02u

#ifdef __cplusplus
}
#endif

#endif /* LMSCR_NTDDSER_H */
