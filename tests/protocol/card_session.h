// A started reader with one open handle and a simulated card, driven through the class
// library's requests as an application drives it; and the line's timing, from which the
// tests compute the virtual times they expect.
#pragma once

#include "rig.h"

#include <string>

namespace lmscr::test {

// The host line: 19200 baud, start, 8 data and stop bits.  The card line: 3.58 MHz, F = 372.
inline constexpr double kHostByteUs = 10.0 * 1e6 / 19200.0;
inline constexpr double kEtuUs = 372.0 / 3.58;
inline constexpr double kClockUs = 1.0 / 3.58;

class CardSession {
public:
    explicit CardSession(RigOptions options = {});
    ~CardSession();

    // Starts the reader, opens it and inserts the card (a profile name or "atr:HEX").
    void Start(const std::string& card);
    void Insert(const std::string& card);
    void Remove() { rig.RemoveCard(); }

    kernel::IoResult Power(ULONG minor, ULONG outputLength = 64);
    kernel::IoResult Select(ULONG protocols, ULONG outputLength = 4);
    // One APDU through the library's transmit request, with the protocol the card runs; the
    // answer (data, SW1 SW2) without the request header.  `status` gets the request's status.
    std::vector<uint8_t> Transmit(const std::vector<uint8_t>& apdu, NTSTATUS* status = nullptr,
                                  ULONG answerSize = 258);
    // Cold reset and protocol selection, both asserted to succeed.
    void PowerAndSelect(ULONG protocols);
    ULONG State() { return Smartcard()->ReaderCapabilities.CurrentState; }
    // Virtual milliseconds the last Power or Select took.
    double LastMs() const { return last_ms_; }

    PSMARTCARD_EXTENSION Smartcard() { return rig.Smartcard(); }
    PREADER_EXTENSION Reader() { return rig.Reader(); }
    std::vector<uint8_t> Atr() {
        auto& a = Smartcard()->CardCapabilities.ATR;
        return {a.Buffer, a.Buffer + a.Length};
    }
    // Host bytes sent since the last call, as ">xx" strings joined by spaces.
    std::string Sent();

    ReaderRig rig;
    kernel::Handle handle;

private:
    double last_ms_ = 0;
};

}  // namespace lmscr::test
