/*
 * The reader's wire numbers: its commands, registers and their bits, the status bytes that
 * answer the commands and the events it sends behind the escape byte.  Every number the driver
 * sends to the reader or reads from it is written here and nowhere else; seriallink/commands.cpp
 * speaks the commands, seriallink/receive.cpp decodes the stream, protocol/ reaches the
 * registers only through the routines of commands.cpp.
 *
 * Commands, each sent as one write and answered by one byte that the receive engine delivers:
 *
 *     write register r   0x80 | r, k data bytes (k = 1..7)   -> status: 0x90 done, else rejected
 *     read register r    0xC0 | r                            -> the register's value
 *     send card data     0x40 | k, k card bytes (k = 0..24)  -> status: 0x90 or 0x88 done
 *
 * The reader takes the host's bytes in order and answers its commands in the order it took them.
 * A write or a read is answered at once.  A send-data command keeps the reader busy until its
 * last card character is out: it is answered 12 etu after that character's leading edge, the
 * reader's characters to the card are max(guard time, 11) etu apart, and meanwhile the host's
 * further bytes wait in a 64-byte FIFO (bytes beyond it are lost).  Answering a send-data
 * command arms the reader's block time-out from its last character; a byte from the host
 * disarms it, a command taken from the FIFO does not.  A command whose bytes stop for 20 ms is
 * dropped unanswered.
 *
 * Status bytes: 0x90 done, 0x88 faulty card byte, 0x84 reader error, 0x83 reader time-out,
 * 0x82 checksum error, 0x81 overrun.  Everything the reader sends is escape-coded: 0x10 0x10 is
 * the data byte 0x10, 0x10 and one of 0x83..0x88 an event (receive.cpp draws the stream).
 *
 * Registers:
 *     0  RegVersion       high nibble major, low nibble minor firmware version (read only)
 *     1  RegGuardTime     bits 0-7 of the guard time in etu (bit 8 is register 2 bit 7)
 *     2  RegMode          0x4F initialised, 0x00 shut down, 0x6F/0x67 before a card reset;
 *                         bit 7 guard time bit 8; bits 0-1 protocol mode (3 T=0, 0 T=1 and
 *                         answer to reset)
 *     3  RegCardReset     0x1D activates the card, which answers with its ATR
 *     4  RegCardState     bit 0: card present; 0x00 written deactivates the card
 *     5  RegCharTimeout   24 bits, least significant byte first: character waiting time, etu
 *     6  RegBlockTimeout  24 bits, least significant byte first: block waiting time, etu
 *     8  register 8       0x00 at initialisation
 */
#pragma once

/* ---- commands ----------------------------------------------------------------------------- */
#define READER_COMMAND_WRITE_REGISTER 0x80 /* | register */
#define READER_COMMAND_READ_REGISTER 0xC0  /* | register */
#define READER_COMMAND_SEND_DATA 0x40      /* | count of card bytes */
#define READER_REGISTER_BYTES_MAXIMUM 7    /* data bytes of one register write */
#define READER_CARD_BYTES_MAXIMUM 24       /* card bytes of one send command */
#define READER_HOST_FIFO_BYTES 64          /* host bytes held while a send command runs */
#define READER_CHARACTER_ETU_MINIMUM 11    /* reader to card: the least character distance */
#define READER_SEND_DATA_REPLY_ETU 12      /* the reply after the last character's leading edge */

/* ---- status bytes: the answer to a write or a send ------------------------------------------ */
#define READER_STATUS_DONE 0x90
#define READER_STATUS_FAULTY_CARD_BYTE 0x88 /* done, a card byte came with a parity error */
#define READER_STATUS_READER_ERROR 0x84
#define READER_STATUS_TIMEOUT 0x83
#define READER_STATUS_CHECKSUM_ERROR 0x82
#define READER_STATUS_OVERRUN 0x81

/* ---- the stream: the escape byte and the events behind it ---------------------------------- */
#define READER_ESCAPE 0x10
#define READER_EVENT_TIMEOUT 0x83      /* the card fell silent for its waiting time */
#define READER_EVENT_READER_ERROR 0x84 /* the same number as the status byte, and mapped as one */
#define READER_EVENT_CARD_INSERTED 0x85
#define READER_EVENT_CARD_REMOVED 0x86
#define READER_EVENT_FAULTY_BYTE 0x88  /* the card byte at this place had a parity error */
/* The reader decodes an inverse-convention card itself and hands its TS 3F over as 03. */
#define READER_TS_INVERSE 0x03

/* ---- registers -------------------------------------------------------------------------------- */
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

/* RegVersion */
#define READER_VERSION_MAJOR_SHIFT 4
#define READER_VERSION_MINOR_MASK 0x0F

/* RegGuardTime and RegMode bit 7: nine bits of guard time, in etu. */
#define READER_GUARD_TIME_MAXIMUM 510
#define READER_GUARD_TIME_BIT_8 0x100

/* RegMode */
#define READER_MODE_INITIALIZED 0x4F
#define READER_MODE_SHUT_DOWN 0x00
#define READER_MODE_CARD_RESET 0x6F      /* before a card reset, PrepareCardReset's flag set */
#define READER_MODE_CARD_RESET_FLAG_CLEAR 0x67 /* the same, the flag clear */
#define READER_MODE_GUARD_BIT_8 0x80
#define READER_MODE_PROTOCOL_MASK 0x03
#define READER_PROTOCOL_T0 3
#define READER_PROTOCOL_T1 0
#define READER_PROTOCOL_ANSWER_TO_RESET 0 /* the mode of T=1 */

/* RegCardReset */
#define READER_CARD_ACTIVATE 0x1D

/* RegCardState */
#define READER_CARD_PRESENT 0x01
#define READER_CARD_DEACTIVATE 0x00 /* written */

/* RegCharTimeout, RegBlockTimeout */
#define READER_TIMEOUT_BYTES 3
#define READER_TIMEOUT_MAXIMUM_ETU 0xFFFFFFu

/* RegInit8 */
#define READER_INIT8_VALUE 0x00
