// Between the serial port driver and its back ends (the port's hardware).
//
// The driver owns the requests and the queues; a back end owns the wire. The driver tells its
// back end when the settings change and when there is something to send; the back end pulls
// the bytes one at a time (PortTakeTxByte, as a UART takes the next byte into its shift
// register), hands over what it receives (PortReceive) and reports the modem lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "serial.h"

namespace lmscr::serial {

struct Port;

class Backend {
public:
    virtual ~Backend() = default;
    // The port's baud rate or line control changed (also called once when the back end is
    // attached). Any thread, no lock held.
    virtual void OnFormat(const LineFormat& format) = 0;
    // Bytes wait to be sent: pull them with PortTakeTxByte. Any thread, no lock held.
    virtual void OnTransmitReady() = 0;
    // IOCTL_SERIAL_PURGE with SERIAL_PURGE_RXCLEAR / TXCLEAR: drop what the hardware holds.
    virtual void OnPurge(uint32_t /*purgeMask*/) {}
    // The port's device power: false when it went to D3 (the port's hardware is off, and so
    // is whatever the line powers), true when it came back to D0 from D3. D1 and D2 leave the
    // hardware as it is and are not passed on. Called from the device set-power request before
    // it completes, no lock held, at PASSIVE_LEVEL or (a driver forwarding the request from a
    // completion routine) DISPATCH_LEVEL.
    virtual void OnPower(bool /*powered*/) {}
    // The device object is being deleted (driver unload): forget the port.
    virtual void OnPortGone() = 0;
};

// Creates a port's device object, reports it present and attaches the back end. NULL on failure.
PDEVICE_OBJECT CreateSerialDevice(kernel::Kernel& kernel, PDRIVER_OBJECT driver,
                                  const std::string& portName, const PortOptions& options,
                                  Backend* backend, Port** port);
// Detaches the back end and deletes the device unless a driver is attached above it (then the
// device lives on without hardware until its driver is unloaded). Passive level.
void DeleteSerialDevice(Port* port);

// ---- called by back ends, at or below DISPATCH_LEVEL ------------------------------------

// Characters received, each with SERIAL_ERROR_* flags of its own.
void PortReceive(Port* port, const uint8_t* bytes, const uint32_t* errors, size_t count);
// The next byte to send; false when no write has one left.
bool PortTakeTxByte(Port* port, uint8_t* byte);
// Up to `max` bytes to send at once, as a UART with a transmit FIFO takes them: what that many
// PortTakeTxByte calls would give, in one hold of the port's locks. How many were taken.
size_t PortTakeTxBytes(Port* port, uint8_t* bytes, size_t max);
// The transmitter has sent its last byte and has nothing more (SERIAL_EV_TXEMPTY).
void PortTransmitterEmpty(Port* port);
void PortSetDsr(Port* port, bool on);

}  // namespace lmscr::serial
