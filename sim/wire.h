// The reader's serial protocol, as both ends speak it on the host line.
//
// Host -> reader: one-byte commands, the command bits in the top two bits of the first byte.
//
//   write register   | 1 0 r r r r r r | d0 | (d1 d2) |   r = 0..0x3F; registers 5 and 6 take
//                                                         three data bytes, least significant
//                                                         first, every other register one
//   read register    | 1 1 r r r r r r |
//   send card data   | 0 1 k k k k k k | c0 ... c(k-1) |  k = 0..24 card bytes
//
//   Each command is answered by exactly one byte: the register's value for a read, a status
//   byte for the others (0x90 done; 0x84 rejected / reader error; 0x81 more than 24 card bytes).
//
// Reader -> host: a stream of data bytes (replies, card bytes) and events. Every byte the
// reader sends goes through the escape coding; 0x10 opens a two-byte unit:
//
//   b (b != 0x10)  data byte b
//   0x10 0x10      data byte 0x10
//   0x10 0x83      reader time-out: the card fell silent (character or block waiting time)
//   0x10 0x84      reader error
//   0x10 0x85      card inserted
//   0x10 0x86      card removed
//   0x10 0x88      the card byte at this place arrived with a parity error
//
// The two bytes of an escape unit always travel back to back: the reader never puts anything
// between 0x10 and its partner.
#pragma once

#include <cstdint>
#include <string_view>

namespace lmscr::sim::wire {

inline constexpr uint8_t kEscape = 0x10;

inline constexpr uint8_t kOpMask = 0xC0;
inline constexpr uint8_t kOpWriteRegister = 0x80;
inline constexpr uint8_t kOpReadRegister = 0xC0;
inline constexpr uint8_t kOpSendData = 0x40;
inline constexpr uint8_t kArgMask = 0x3F;
inline constexpr uint8_t kMaxCardBytesPerCommand = 24;

// Replies (status bytes).
inline constexpr uint8_t kDone = 0x90;
inline constexpr uint8_t kCardFlagged = 0x88;
inline constexpr uint8_t kReaderError = 0x84;
inline constexpr uint8_t kTimeout = 0x83;
inline constexpr uint8_t kChecksum = 0x82;
inline constexpr uint8_t kOverrun = 0x81;

// Event codes after the escape byte.
inline constexpr uint8_t kEventTimeout = 0x83;
inline constexpr uint8_t kEventReaderError = 0x84;
inline constexpr uint8_t kEventCardInserted = 0x85;
inline constexpr uint8_t kEventCardRemoved = 0x86;
inline constexpr uint8_t kEventFaultyCardByte = 0x88;

enum Register : uint8_t {
    RegVersion = 0,       // read only: major version in the high nibble, minor in the low
    RegGuardTime = 1,     // bits 0-7 of the reader's character distance to the card (etu)
    RegMode = 2,          // bit 7: bit 8 of the character distance; bits 0-1: protocol mode
    RegCardReset = 3,     // 0x1D starts an activation (cold if the card is off, else warm)
    RegCardState = 4,     // read: bit 0 card present, bit 1 card powered; write: bit 1 clear = off
    RegCharTimeout = 5,   // 24 bits, character waiting time (etu)
    RegBlockTimeout = 6,  // 24 bits, block waiting time (etu)
    Reg8 = 8,
};
inline constexpr unsigned kRegisterCount = 64;
inline constexpr uint8_t kActivate = 0x1D;
inline constexpr uint8_t kCardStatePresent = 0x01;
inline constexpr uint8_t kCardStatePowered = 0x02;
inline constexpr uint8_t kModeGuardBit8 = 0x80;
inline constexpr uint8_t kModeProtocolMask = 0x03;

constexpr unsigned RegisterDataLength(uint8_t reg) {
    return (reg == RegCharTimeout || reg == RegBlockTimeout) ? 3 : 1;
}

// Total length of the command that starts with `first`, the command byte included.
constexpr unsigned CommandLength(uint8_t first) {
    switch (first & kOpMask) {
    case kOpWriteRegister: return 1 + RegisterDataLength(first & kArgMask);
    case kOpSendData: return 1 + (first & kArgMask);
    default: return 1;  // read register, and the unknown commands 0x00-0x3F
    }
}

// Short name of a register for traces ("char timeout"); empty for unused registers.
std::string_view RegisterName(uint8_t reg);

}  // namespace lmscr::sim::wire
