// One reader session of the program's card commands (power, send, script, the demo's APDUs): the
// user-mode kernel, a simulated serial port with the reader behind it, the driver loaded and
// started on it, one handle open, and a card in the slot; the requests go through the class
// library exactly as an application's would, in virtual time. With GlobalOptions::port, the same
// on the POSIX serial back end on that tty in real time: the reader and card are whatever is
// behind it, no card is moved and there is no line trace. With GlobalOptions::pcsc, a reader
// pcscd knows, through libpcsclite in real time: no driver is loaded, the requests become PC/SC
// calls, and a call's failure is the nearest NTSTATUS with the PC/SC error's name in Step::why.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "kernel.h"
#include "driver_image.h"
#include "lmscr.h"
#include "pcsc.h"
#include "sim/line/simulated_line.h"

// The driver as the program knows it, as any loader and application of it would: its entry, and
// its vendor request (library, driver and firmware versions in eight bytes: the library's version
// as a little-endian ULONG, then driver major, minor, firmware major, minor).
extern "C" DRIVER_INITIALIZE DriverEntry;

namespace lmscr::tool {
// The entry point a session loads: the linked driver's, or with `imagePath` its kernel image's,
// mapped into `holder`, which must outlive the kernel.  The command line checked the image
// (main), so a failure here ends the program with the reason.
PDRIVER_INITIALIZE DriverToLoad(const std::string& imagePath, std::unique_ptr<DriverImage>& holder);


constexpr ULONG kReaderGetVersion = SCARD_CTL_CODE(2049);

// The NTSTATUS the driver would have answered where a PC/SC call gave `code`: a card gone
// STATUS_NO_MEDIA, the reader gone STATUS_DEVICE_REMOVED, no such reader or no pcscd
// STATUS_NO_SUCH_DEVICE, a time-out STATUS_IO_TIMEOUT, a card not ready for it
// STATUS_INVALID_DEVICE_STATE, a protocol it does not offer STATUS_INVALID_DEVICE_REQUEST, ...
NTSTATUS PcscStatus(uint32_t code);

// The device interface class of smart card readers, by which applications find them and hear of
// their arrival and departure.
extern const GUID kReaderClass;

// What an application asks of a reader it has open, through the class library's requests; nothing
// when the request fails. IOCTL_SMARTCARD_GET_STATE: the card state, answered at once, under the
// library's rules, even while another request has the reader.
std::optional<ULONG> GetCardState(kernel::Client& client, kernel::Handle& handle);
// IOCTL_SMARTCARD_GET_ATTRIBUTE of a ULONG attribute (SCARD_ATTR_*).
std::optional<ULONG> GetAttribute(kernel::Client& client, kernel::Handle& handle, ULONG id);
// The reader as its attributes describe it (protocols, clock, data rates, IFSD); the defaults
// where one is refused.
ReaderDescription DescribeReader(kernel::Client& client, kernel::Handle& handle);

// A request's outcome and the virtual time it took.
struct Step {
    kernel::IoResult result;
    double ms = 0;
    // The failure in the words of the layer that reported it when that is not the driver (a
    // PC/SC error such as "SCARD_W_REMOVED_CARD"); empty: the status's own name.
    std::string why;
};
inline std::string StatusText(const Step& step) {
    return step.why.empty() ? kernel::StatusName(step.result.status) : step.why;
}

// A system power change: the power manager's answer, the virtual time it took, the power
// requests it and the driver sent, and the line trace of what the driver did meanwhile.
struct PowerChange {
    NTSTATUS status = STATUS_SUCCESS;
    double startMs = 0, ms = 0;
    std::vector<kernel::PowerIrpRecord> irps;
    std::vector<std::string> trace;
};

// "S3", "D0": a power state as the history names it.
std::string PowerStateText(const kernel::PowerIrpRecord& irp);
// What the driver said to the reader in a power change's trace lines, in a few words each with
// its virtual time: "card powered down", "reader registers shut down", "reader initialised", ...
std::vector<std::pair<double, std::string>> ReaderWork(const std::vector<std::string>& traceLines);
// A power change step by step in time order: each power request sent and done (one line when
// answered at once), and the reader work between them.
std::vector<std::pair<double, std::string>> PowerSteps(const PowerChange& change);

class ReaderSession {
public:
    // The kernel, the port and the driver, nothing started yet. Leaks found when the session ends
    // unfinished are printed to `out`.
    ReaderSession(const GlobalOptions& options, std::FILE* out);
    ~ReaderSession();
    ReaderSession(const ReaderSession&) = delete;
    ReaderSession& operator=(const ReaderSession&) = delete;

    // Adds and starts the reader device and opens it; false when any step fails (Failure() says
    // why).
    bool Start();
    // Why Start failed: the tty that would not open, or the step that failed and the event-log
    // entries the driver wrote meanwhile, with their texts; one line each.
    const std::vector<std::string>& Failure() const { return failure_; }
    // The tty given with --port that would not open ("cannot open the port PATH: why"), or the
    // PC/SC reader that cannot be had ("no PC/SC reader matches 'X' (lmscr readers lists them)",
    // "pcscd is not running (SCARD_E_NO_SERVICE)"); empty when there is none or it opened.  Said
    // on one line of standard error before anything runs.
    const std::string& PortError() const { return portError_; }
    bool RealTime() const { return posix_ != nullptr || !options_.port.empty() || options_.pcsc; }
    // The reader is pcscd's: its name, empty on the other back ends.
    bool OnPcsc() const { return pcsc_ != nullptr; }
    const std::string& PcscReader() const;
    // The ATR pcscd read when the card went in, without a reset of ours; empty when there is no
    // card, a mute one, and on the other back ends.
    std::vector<uint8_t> InsertedAtr();
    // A card into the slot (`name` empty: the options' card), and the few ms the reader takes to
    // report it; false when the slot is taken or no card has that name, and on a tty or PC/SC
    // (a card there is moved by hand).
    bool InsertCard(const std::string& name = {});
    // The card out of the slot, and the same few ms; false when the slot was empty, and on a tty.
    bool RemoveCard();
    // Time passes (real time on a tty).
    void Wait(uint64_t ms) { k_->Sleep(ms); }

    // IOCTL_SMARTCARD_POWER: the output is the ATR. On PC/SC a cold reset is SCardReconnect with
    // SCARD_UNPOWER_CARD (a connection made first when there is none), a warm one with
    // SCARD_RESET_CARD, both letting pcscd pick the card's protocol; a power-down is
    // SCardDisconnect with SCARD_UNPOWER_CARD.
    Step Power(ULONG minor);
    // `selected` is the protocol the request reports, 0 when none. On PC/SC the protocol pcscd
    // chose at the reset, when it is one of `protocols`; otherwise the card is reset warm with
    // `protocols` alone, as pcscd changes a protocol only at a reset.
    Step SetProtocol(ULONG protocols, ULONG& selected);
    // IOCTL_SMARTCARD_TRANSMIT: header {protocol, 8} and the command; the step's output is the
    // header and the answer, `information` bytes of it.
    Step Transmit(ULONG protocol, const std::vector<uint8_t>& command);

    // A device-control request on the session's handle that the caller waits for.
    std::shared_ptr<kernel::PendingIo> Async(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength);
    // The tracking request an application parks until the card is where it wants it:
    // IOCTL_SMARTCARD_IS_PRESENT (`present`) or IS_ABSENT, in real time. `giveUp` is asked every
    // 50 ms while it waits; when it says so the request is cancelled and nothing is returned.
    // Otherwise the request's status (a card already where it is wanted ends it at once). On PC/SC
    // SCardGetStatusChange, bounded at 100 ms a call; the reader or pcscd gone is
    // STATUS_DEVICE_REMOVED or STATUS_NO_SUCH_DEVICE.
    std::optional<NTSTATUS> WaitForCard(bool present, const std::function<bool()>& giveUp);

    // A system power change through the power manager (see PowerChange).
    PowerChange SetSystemState(SYSTEM_POWER_STATE state, bool critical = false);
    bool Asleep() const { return k_->Power().SystemState() != PowerSystemWorking; }
    DEVICE_POWER_STATE DeviceState() const {
        return Pdo() && Pdo()->AttachedDevice ? k_->Power().DeviceState(Pdo()->AttachedDevice) : PowerDeviceUnspecified;
    }
    bool ReaderPowered() { return !port_ || port_->Reader().Powered(); }
    // False once the driver has given its reader up (the port's DSR dropped: the cable pulled,
    // the reader's supply off, the tty hung up) and disabled the reader interface; on PC/SC once
    // pcscd no longer lists the reader.
    bool ReaderAttached() const;

    // The decoded line-trace lines recorded since the last call.
    std::vector<std::string> NewTraceLines();

    double NowMs() const { return static_cast<double>(k_->NowNs()) / 1e6; }
    // The class library's reading of the last ATR a reset gave (empty after a failed reset or a
    // power-down), on the reader as its attributes describe it, as `lmscr atr` reads one; on
    // PC/SC on the reader as this driver describes it. The protocols the card offers, and what
    // the PTS would ask, are told from it.
    const SCARD_CARD_CAPABILITIES& CardReading() const { return reading_.CardCapabilities; }
    // The card state that reading leaves: SCARD_NEGOTIABLE, or SCARD_SPECIFIC for a card in
    // specific mode.
    ULONG ReadingState() const { return reading_.ReaderCapabilities.CurrentState; }
    // The card state, from IOCTL_SMARTCARD_GET_STATE. While the system sleeps the driver holds
    // device control back until the wake: then the state it left the card in on the way down,
    // which no request can ask: a card it had is powered down (SCARD_PRESENT), and nothing moved
    // meanwhile is seen before the wake. On PC/SC the one SCardStatus gives, or
    // SCardGetStatusChange's presence when there is no connection.
    ULONG CardState();
    // A ULONG attribute of the reader or the card (IOCTL_SMARTCARD_GET_ATTRIBUTE with a
    // SCARD_ATTR_* id); nothing when the driver refuses it, and on PC/SC.
    std::optional<ULONG> Attribute(ULONG id);
    // The read time-outs the driver set on its serial port for the card in the slot, from the port
    // itself (IOCTL_SERIAL_GET_TIMEOUTS), as `stty` shows a tty's settings: the driver's receive
    // time-outs, the interval between two bytes (CharTimeout) and the wait for a whole answer
    // (TotalTimeout). Nothing on PC/SC, whose handler keeps its own.
    struct ReceiveTimeouts {
        ULONG totalMs = 0, charMs = 0;
    };
    std::optional<ReceiveTimeouts> PortReceiveTimeouts();

    // Closes, removes, unloads and shuts the kernel down; the report of what was left behind,
    // empty when nothing was. Once only; the destructor calls it when nobody did.
    std::string Finish();

private:
    Step Ioctl(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength);
    PDEVICE_OBJECT Pdo() const { return port_ ? port_->Device() : posix_ ? posix_->Device() : nullptr; }
    void Fail(const std::string& step, NTSTATUS status);
    struct Pcsc;
    Step PcscFailed(uint32_t code, double startMs) const;
    Step PcscPower(ULONG minor);
    Step PcscSetProtocol(ULONG protocols, ULONG& selected);
    Step PcscTransmit(const std::vector<uint8_t>& command);
    // A call on a connection there is not: no card, or an unpowered one.
    uint32_t PcscNoConnection() const;

    GlobalOptions options_;
    std::FILE* out_;
    std::unique_ptr<DriverImage> image_;  // --image: outlives the kernel that runs it
    std::unique_ptr<kernel::Kernel> k_;
    PDRIVER_OBJECT serial_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<serial::SimulatedPort> port_;   // the built-in simulated reader, or
    std::unique_ptr<serial::PosixPort> posix_;      // the tty of options_.port, or
    std::unique_ptr<Pcsc> pcsc_;                    // a reader of pcscd's
    std::vector<std::string> failure_;
    std::string portError_;
    kernel::Handle handle_;
    ReaderDescription reader_;     // from the driver's attributes once started
    SMARTCARD_EXTENSION reading_;  // the library's reading of the last ATR on reader_
    ULONG lastState_ = SCARD_UNKNOWN;
    size_t traceShown_ = 0;
    bool finished_ = false;
};

}  // namespace lmscr::tool
