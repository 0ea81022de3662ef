// The serial port driver of the user-mode kernel, and the lines behind its ports.
//
// The driver's device objects are the machine's serial ports: physical devices at the bottom of
// a reader's stack, named "\Device\Serial0", "\Device\Serial1", ... with a port name ("COM1")
// that tools look them up by. Each port has one back end, which is its hardware:
//   - a simulated line to a byte peer (the simulated reader's firmware, or a test), on which
//     every byte takes its frame time at the line settings of its sender;
//   - a POSIX tty (a real serial device or a pseudo-terminal) through termios, in real time.
//
// Ports are created here, not by the Plug and Play manager: creating one reports its device
// object as present (PnpManager::ReportPhysicalDevice), after which a function driver can be
// added above it and the manager can start it.
#pragma once

#include <ntddser.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kernel.h"
#include "sim/clock.h"
#include "sim/line_trace.h"
#include "sim/reader.h"

namespace lmscr::serial {

// One end's character format: what SERIAL_BAUD_RATE and SERIAL_LINE_CONTROL set.
struct LineFormat {
    uint32_t baud = 19200;
    uint8_t dataBits = 8;            // 5..8
    uint8_t parity = NO_PARITY;      // NO_PARITY .. SPACE_PARITY
    uint8_t stopBits = STOP_BIT_1;   // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2

    bool operator==(const LineFormat&) const = default;
};

// Half-bits of one character: start bit, data bits, parity bit, stop bits (1.5 stop bits is
// why halves are counted).
uint32_t FrameHalfBits(const LineFormat& format);
// Time of one character on the line, rounded up to the nanosecond: a sender never hands the
// next character over before the line has carried the last one.
uint64_t FrameNs(const LineFormat& format);

struct PortOptions {
    // A request that could complete in its dispatch routine is pended instead and completed
    // from the port's deferred procedure call, one time in forcePendingOneIn, drawn from the
    // seed. Callers must handle both outcomes; tests turn this on.
    bool forcePending = false;
    uint32_t forcePendingOneIn = 2;
    uint64_t seed = 0;  // 0: derived from the kernel's seed and the port's number
    uint32_t rxQueueBytes = 4096;
    // IOCTL_SERIAL_WAIT_ON_MASK while the wait mask is 0 is accepted and kept pending (until the
    // next SET_WAIT_MASK completes it with no events, it is cancelled, or the port is closed)
    // instead of being refused, as some serial drivers do.
    bool acceptEmptyWaitMask = false;
    // A device set-power D0 is pended and completed from the port's deferred procedure call at
    // DISPATCH_LEVEL, as a port driver that waits for its hardware to come back does: the
    // completion routines above it then run at DISPATCH_LEVEL, where they may not wait. Off:
    // completed in the dispatch routine, at the IRQL it was sent at.
    bool completeD0AtDispatch = false;
};

// A planted fault of the port driver, for tests of the driver above it: the nth request of a
// kind that arrives after the rule was set is refused, held for ever, or served late.
struct SerialFault {
    enum class Kind { Refuse, PendForever, CompleteLate };
    Kind kind = Kind::Refuse;
    uint8_t major = IRP_MJ_DEVICE_CONTROL; // IRP_MJ_CREATE, _CLOSE, _READ, _WRITE, _DEVICE_CONTROL
    ULONG ioControlCode = 0;   // with IRP_MJ_DEVICE_CONTROL: the code to match; 0 = any code
    uint64_t nth = 1;          // the nth matching request after the rule was set fails (1 = the next)
    NTSTATUS status = STATUS_UNSUCCESSFUL; // Refuse: completed at once with this status, nothing done
    uint64_t lateMs = 0;       // CompleteLate: the request is held lateMs virtual ms, then served
                               // as if it had arrived then
};
// PendForever: the request is held, cancellable, until IoCancelIrp (then STATUS_CANCELLED) or
// the port's close/cleanup; it is never served.
//
// Several rules may be set; each counts the requests it matches from the moment it is set and is
// used up by the request it fails. When two rules fall on the same request, the one set first
// applies and the other takes the next request that matches it. A held request (PendForever, or
// CompleteLate before its time) is also ended with STATUS_CANCELLED by a Plug and Play stop or
// removal of the port and when the port goes away.
void InjectSerialFault(PDEVICE_OBJECT port, const SerialFault& fault);  // several rules may be set
void ClearSerialFaults(PDEVICE_OBJECT port);  // rules not yet used; held requests stay held
// Requests of a kind the port has seen since it was created (to size a sweep over nth).
uint64_t SerialRequestCount(PDEVICE_OBJECT port, uint8_t major, ULONG ioControlCode = 0);

struct PortCounters {
    uint64_t bytesReceived = 0;   // put into the input queue
    uint64_t bytesDropped = 0;    // arrived while the port was closed or the queue full
    uint64_t bytesSent = 0;       // handed to the line
    uint64_t forcedPending = 0;   // requests pended by the force-pending option
    uint64_t framingErrors = 0;
    uint64_t parityErrors = 0;
};

// Loads the driver ("serial"). Ports are added with the Create* functions below.
PDRIVER_OBJECT LoadSerialDriver(kernel::Kernel& kernel);
// The port's device object by its port name ("COM1"); NULL when there is none.
PDEVICE_OBJECT FindSerialPort(PDRIVER_OBJECT driver, const std::string& portName);
std::string SerialPortName(PDEVICE_OBJECT port);
PortCounters SerialCounters(PDEVICE_OBJECT port);
// The format the port's settings give now.
LineFormat SerialFormat(PDEVICE_OBJECT port);

// ---- simulated line --------------------------------------------------------------------

// A port joined by a simulated line to a byte peer. Everything on the line happens in the
// kernel's deferred-procedure thread, on the kernel's clock (Kernel::At): the peer's callbacks
// run there and PeerSend must be called there (from a peer callback, or through RunOnLine).
class SimulatedLine {
public:
    // `errors` are SERIAL_ERROR_FRAMING / SERIAL_ERROR_PARITY as the peer's receiver saw them.
    using PeerReceive = std::function<void(uint8_t byte, uint32_t errors)>;

    virtual ~SimulatedLine() = default;
    virtual PDEVICE_OBJECT Device() const = 0;
    virtual const std::string& PortName() const = 0;
    virtual sim::Clock& Clock() = 0;

    // The peer's end. Its receiver gets a byte when the byte's last stop bit has ended.
    virtual void SetPeerReceive(PeerReceive receive) = 0;
    virtual void SetPeerFormat(const LineFormat& format) = 0;
    virtual LineFormat PeerFormat() const = 0;
    // The peer starts a character now (or when its transmitter is free); returns the time its
    // stop bit ends.
    virtual uint64_t PeerSend(uint8_t byte) = 0;

    // Modem lines and the cable, as the far end drives them. Both may be called from any
    // platform thread.
    virtual void SetDsr(bool on) = 0;
    // An unplugged cable carries nothing: characters in flight and later ones are lost.
    virtual void SetConnected(bool connected) = 0;
    // The far end holds the port's transmitter off, as CTS flow control does: while held, the
    // port takes no byte of its writes (a character already on the wire still ends).
    virtual void SetTransmitHold(bool hold) = 0;

    // The far end's supply follows the port's device power (Backend::OnPower): `power` is
    // called in the line's thread with false when the port has gone to D3, true when it is
    // back in D0. Characters on the wire either way when the power goes are lost.
    using PeerPower = std::function<void(bool powered)>;
    virtual void SetPeerPower(PeerPower power) = 0;
    // False from the port's device D3 until its next D0. Read it in the line's thread, or in
    // virtual time between requests.
    virtual bool PortPowered() const = 0;

    // Runs fn in the line's thread and waits for it (from a platform thread at passive level).
    virtual void RunOnLine(std::function<void()> fn) = 0;

    // Every character as its receiver got it, with the time its stop bit ended.
    virtual sim::LineTrace& Trace() = 0;
};

// A port whose line leads to the simulated reader. The reader's host-line format is `readerFormat`
// (its baud rate and bits per character override those of `reader`). The reader is powered from
// the port: a device D3 of the port switches it off (sim::ReaderFirmware::SetPowered), the next
// D0 on again with its power-on register values.
class SimulatedPort {
public:
    virtual ~SimulatedPort() = default;
    virtual PDEVICE_OBJECT Device() const = 0;
    virtual SimulatedLine& Line() = 0;
    // The firmware lives in the line's thread. In virtual time a test may look at it between
    // its own requests; anything that changes it (a card in or out) goes through WithReader.
    virtual sim::ReaderFirmware& Reader() = 0;
    virtual void WithReader(std::function<void(sim::ReaderFirmware&)> fn) = 0;
    virtual sim::LineTrace& Trace() = 0;
};

std::unique_ptr<SimulatedLine> CreateSimulatedLine(kernel::Kernel& kernel, PDRIVER_OBJECT driver,
                                                   const std::string& portName,
                                                   const LineFormat& peerFormat,
                                                   const PortOptions& options = {});
std::unique_ptr<SimulatedPort> CreateSimulatedPort(kernel::Kernel& kernel, PDRIVER_OBJECT driver,
                                                   const std::string& portName,
                                                   const LineFormat& readerFormat,
                                                   sim::ReaderConfig reader,
                                                   const PortOptions& options = {});

// ---- POSIX tty --------------------------------------------------------------------------

// A port on a tty device, in real time: a platform thread reads the descriptor into the port's
// input queue; writes go to the descriptor from the deferred-procedure thread.
class PosixPort {
public:
    virtual ~PosixPort() = default;
    virtual PDEVICE_OBJECT Device() const = 0;
    virtual const std::string& Path() const = 0;
};

// Opens `path` (e.g. "/dev/ttyS0" or a pseudo-terminal's slave) raw, 8N1, no flow control.
// Nothing, with `error` set, when it cannot be opened or is no terminal. The kernel must run in
// real time.
std::unique_ptr<PosixPort> CreatePosixPort(kernel::Kernel& kernel, PDRIVER_OBJECT driver,
                                           const std::string& portName, const std::string& path,
                                           const PortOptions& options = {},
                                           std::string* error = nullptr);

// The simulated reader on the master side of a pseudo-terminal, on a real-time clock of its
// own: a stand-in for a reader on a real serial port. Open the slave with CreatePosixPort.
class PtyReader {
public:
    virtual ~PtyReader() = default;
    virtual const std::string& SlavePath() const = 0;
    // Runs fn in the reader's clock thread and waits for it.
    virtual void WithReader(std::function<void(sim::ReaderFirmware&)> fn) = 0;
};
std::unique_ptr<PtyReader> OpenPtyReader(sim::ReaderConfig config, std::string* error = nullptr);

}  // namespace lmscr::serial
