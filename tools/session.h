// One reader session of the program's card commands (power, send, script, the demo's APDUs): the
// user-mode kernel, a simulated serial port with the reader behind it, the driver loaded and
// started on it, one handle open, and a card in the slot; the requests go through the class
// library exactly as an application's would, in virtual time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver.h"
#include "kernel.h"
#include "lmscr.h"
#include "serial.h"

namespace lmscr::tool {

// A request's outcome and the virtual time it took.
struct Step {
    kernel::IoResult result;
    double ms = 0;
};

class ReaderSession {
public:
    // The kernel, the port and the driver, nothing started yet. Leaks found when the session ends
    // unfinished are printed to `out`.
    ReaderSession(const GlobalOptions& options, std::FILE* out);
    ~ReaderSession();
    ReaderSession(const ReaderSession&) = delete;
    ReaderSession& operator=(const ReaderSession&) = delete;

    // Adds and starts the reader device and opens it; false when any step fails.
    bool Start();
    // The options' card into the slot, and the few ms the reader takes to report it.
    void InsertCard();

    Step Power(ULONG minor);
    // `selected` is the protocol the request reports, 0 when none.
    Step SetProtocol(ULONG protocols, ULONG& selected);
    // IOCTL_SMARTCARD_TRANSMIT: header {protocol, 8} and the command; the step's output is the
    // header and the answer, `information` bytes of it.
    Step Transmit(ULONG protocol, const std::vector<uint8_t>& command);

    // The decoded line-trace lines recorded since the last call.
    std::vector<std::string> NewTraceLines();

    double NowMs() const { return static_cast<double>(k_->NowNs()) / 1e6; }
    PSMARTCARD_EXTENSION Extension() const { return ext_; }
    ULONG CardState() const { return ext_ ? ext_->ReaderCapabilities.CurrentState : SCARD_UNKNOWN; }

    // Closes, removes, unloads and shuts the kernel down; the report of what was left behind,
    // empty when nothing was. Once only; the destructor calls it when nobody did.
    std::string Finish();

private:
    Step Ioctl(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength);

    GlobalOptions options_;
    std::FILE* out_;
    std::unique_ptr<kernel::Kernel> k_;
    PDRIVER_OBJECT serial_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<serial::SimulatedPort> port_;
    kernel::Handle handle_;
    PSMARTCARD_EXTENSION ext_ = nullptr;
    size_t traceShown_ = 0;
    bool finished_ = false;
};

}  // namespace lmscr::tool
