// The fuzz targets' reader: the kernel in virtual time, the serial port driver with a scripted
// reader on the far end of a simulated line, and the lmscr driver added, started and opened
// above it.  The scripted reader speaks the reader's command set and plays a card whose every
// byte comes from the fuzzer's input.  Nothing here uses GoogleTest: a broken oracle, a leak or
// a verifier report ends the process, which is how libFuzzer notices a finding.
#pragma once

#include "driver.h"
#include "input.h"
#include "kernel.h"
#include "sim/line/simulated_line.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lmscr::fuzz {

// What the card and the reader do when the driver sends card data: one reaction per send-data
// command (or per whole T=1 block, see ScriptedReader::blockMode), taken in order.
struct Reaction {
    uint64_t delayNs = 0;     // after the reader's reply to the command
    int status = -1;          // the reader's reply to the send-data command itself; -1: 0x90
    Bytes wire;               // bytes on the host line: card bytes escape-coded, events raw
    Bytes card;               // the card bytes among them, for the oracle
    // The reader's end-of-block report (10 83) this long after the bytes, as the reader sends it
    // once the card has been silent for its character waiting time; 0: none.
    uint64_t blockEndNs = 0;
    // T=1 with the fix-up: the block is well formed and these are its kind and INF; else the
    // card's bytes have no structure the oracle knows.
    bool wellFormed = false;
    bool iBlock = false;
    Bytes inf;
};

// Wire bytes of card data: 0x10 doubled, as the reader's escape coding sends it.
Bytes Escaped(const Bytes& card);

class ScriptedReader {
public:
    explicit ScriptedReader(serial::SimulatedLine& line);
    ~ScriptedReader();

    // The card in the slot and the answer it gives to every activation.
    bool cardPresent = true;
    Bytes atr;
    // Whole T=1 blocks: a reaction waits until the driver's block is complete (prologue, LEN,
    // INF and `epilogue` bytes), however many send-data commands carried it.
    bool blockMode = false;
    size_t epilogue = 1;
    // Reactions not taken yet; when none is left the card is silent and the reader reports its
    // time-out after `silenceTimeoutNs` (0: never; the driver's own time-outs end the wait).
    std::deque<Reaction> reactions;
    uint64_t silenceTimeoutNs = 0;
    // The reader's replies to the next register writes, instead of 0x90 (a reader-side fault).
    std::deque<uint8_t> writeReplies;

    // Every card byte the reader passed on to the host, in order, and what the driver sent to the
    // card (each send-data command's card bytes).
    Bytes cardBytes;
    // Every reaction the card made, in order, as sent.
    std::vector<Reaction> played;
    std::vector<Bytes> sent;
    uint64_t commands = 0;

    // Sends raw wire bytes from the line's thread (an event such as card inserted 0x10 0x85).
    void SendRaw(const Bytes& wire);

private:
    void OnByte(uint8_t b);
    void Reply(uint8_t value);
    void Execute();
    void React();
    void After(uint64_t ns, std::function<void()> fn);

    serial::SimulatedLine& line_;
    std::shared_ptr<bool> alive_;
    uint8_t reg_[64] = {};
    bool powered_ = false;
    Bytes command_;
    size_t expected_ = 0;
    Bytes block_;
};

struct RigOptions {
    uint64_t seed = 1;
    bool forcePending = true;
    // The simulated reader of sim/ with a simulated card (a profile name of sim/cards, or
    // "atr:HEX"; empty: no card) instead of the scripted one.
    bool simulatedReader = false;
    std::string card;
};

class Rig {
public:
    explicit Rig(RigOptions options = {});
    ~Rig();

    kernel::Kernel& K() { return *kernel_; }
    ScriptedReader& Reader() { return *reader_; }
    serial::SimulatedLine& Line() { return port_ ? port_->Line() : *line_; }
    serial::SimulatedPort& Port() { return *port_; }
    PDEVICE_OBJECT Pdo() const { return port_ ? port_->Device() : line_->Device(); }
    PDEVICE_EXTENSION Ext() const { return static_cast<PDEVICE_EXTENSION>(Pdo()->AttachedDevice->DeviceExtension); }
    // The card of the simulated reader in or out (a profile name, see RigOptions::card).
    void InsertCard(const std::string& card);
    void RemoveCard();
    PSMARTCARD_EXTENSION Smartcard() const { return &Ext()->SmartcardExtension; }

    // Adds and starts the driver, opens a handle and announces the card (if present); false when
    // any of it failed (a reader-side fault may make the start fail, which is no finding).
    bool Start();
    kernel::IoResult Ioctl(ULONG code, const Bytes& input, ULONG outputLength);
    // Closes the handle, removes the device, unloads both drivers and shuts the kernel down;
    // anything left behind is a finding.
    void Finish();

    kernel::Handle handle;

private:
    RigOptions options_;
    std::unique_ptr<kernel::Kernel> kernel_;
    PDRIVER_OBJECT serial_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<serial::SimulatedLine> line_;
    std::unique_ptr<serial::SimulatedPort> port_;
    std::unique_ptr<ScriptedReader> reader_;
    bool added_ = false;
    bool finished_ = false;
};

// Checks a device-control result against its request: Information never beyond the output
// buffer, and nothing but a success or a warning carries data back.
void CheckIoResult(const kernel::IoResult& r, ULONG outputLength, const char* what);

// True when `answer` is `stream` with bytes left out, the order kept.
bool IsSubsequence(const Bytes& answer, const Bytes& stream);

}  // namespace lmscr::fuzz
