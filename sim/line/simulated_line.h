// Serial ports whose hardware is simulated: a line to a byte peer in the kernel's time, the
// simulated reader at the end of such a line, and the simulated reader behind a pseudo-terminal
// in real time. They are back ends of the serial port driver (platform/serial/port.h) and live
// on the simulator's side of it, so that a program with real ports only never carries them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial.h"
#include "sim/clock.h"
#include "sim/line_trace.h"
#include "sim/reader.h"

namespace lmscr::serial {

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
