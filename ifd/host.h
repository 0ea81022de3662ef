// The reader behind each channel of the IFD handler: the user-mode kernel in real time, the POSIX
// serial port on the channel's tty, the lmscr driver on top of it, and an open handle to it.
//
// The kernel allows one instance per process, so one kernel serves every channel: it starts with
// the first channel and shuts down after the last. Each channel owns a serial port device, the
// driver's device on it, and a platform thread of its own that opens and closes it. pcscd's
// threads are no platform threads: the kernel adopts the thread that makes a request for the call
// (one request of a channel at a time), and a slow card on one channel never holds another.
//
// This header stays free of the kernel's headers, which clash with pcsc-lite's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lmscr::ifd {

// What a request came to, in the terms the handler answers pcscd in.
enum class Outcome {
    Success,
    NoChannel,         // no such channel open
    NoCard,            // no card, or the card went
    Timeout,           // the card or the reader did not answer in time
    ProtocolRefused,   // the card offers none of the protocols asked for
    BufferTooSmall,
    BadRequest,        // the driver refused the request's parameters
    Failed,            // anything else: the line, the reader
};

struct Answer {
    Outcome outcome = Outcome::Failed;
    int32_t status = 0;          // the driver's status, for the log
    std::vector<uint8_t> data;   // ATR, card answer, selected protocol, version
};

enum class PowerAction { Cold, Warm, Down };

// What pcscd is told of the slot when it looks (IFDHICCPresence).
enum class Presence { Absent, Present, Gone };

// All functions are safe from any thread; calls for different channels run in parallel.
// Opens a channel: nothing but an error text on success-less return.
bool OpenChannel(unsigned long lun, const std::string& tty, std::string* error);
// Closes the channel; false when none was open.
bool CloseChannel(unsigned long lun);
bool ChannelOpen(unsigned long lun);

// Card events. Each channel keeps a card-tracking request parked in the driver from its open to
// its close (IS_ABSENT while a card is in, IS_PRESENT while none is), so every insertion and
// removal the driver reports is recorded when it happens, whenever pcscd looks.
//
// The slot as pcscd must see it now: Gone once the driver gave its reader up (or no such channel),
// after one Absent if pcscd was last told of a card;
// Absent once after every removal since the last look that told pcscd of a card, and after the
// card lost the power pcscd gave it (the driver powers down a card that stops answering), even
// if a card is in the slot again by now; else the slot as the driver last reported it.
Presence LookAtCard(unsigned long lun);
// Blocks until a look would tell pcscd something it was not told, `timeoutMs` ends, pcscd stops
// the wait (StopWaiting) or the channel closes. False when there is no such channel.
bool WaitForCardEvent(unsigned long lun, long timeoutMs);
// Ends the wait in progress, or the next one at once when none is in progress: pcscd asks for
// the stop and joins its polling thread, which may not have started its wait yet.
void StopWaiting(unsigned long lun);
// The ATR of the card pcscd powered, while it is powered and in the slot; empty otherwise.
std::vector<uint8_t> CardAtr(unsigned long lun);

// A request to a card that lost the power pcscd gave it, or that was removed behind pcscd's back,
// is not sent: it fails with NoCard until pcscd has looked. A failed request makes the handler
// ask the driver whether the card is still powered.
Answer Power(unsigned long lun, PowerAction action);
// `protocols`: the driver's protocol mask (T=0 1, T=1 2); data: the selected protocol, 4 bytes.
Answer SetProtocol(unsigned long lun, uint32_t protocols);
// `protocol`: one of T=0 1, T=1 2. data: the card's answer with its status word.
Answer Transmit(unsigned long lun, uint32_t protocol, const std::vector<uint8_t>& apdu, uint32_t maxAnswer);
// data: the card state (0 unknown, 1 absent, 2 present, 3 swallowed, 4 powered, 5 negotiable,
// 6 specific), 4 bytes little-endian.
Answer CardState(unsigned long lun);
// data: the driver's vendor version request's 8 bytes.
Answer Version(unsigned long lun);

std::string StatusText(int32_t status);
// What the verifier found outstanding when the kernel last shut down (the last channel closed):
// empty when nothing leaked; kNoShutdown while a kernel runs, and before the first one has shut
// down, so that a kernel left running is not taken for a clean one.
inline constexpr const char* kNoShutdown = "no shutdown";
std::string LastShutdownReport();

}  // namespace lmscr::ifd
