// The serial port driver of the user-mode kernel, and the lines behind its ports.
//
// The driver's device objects are the machine's serial ports: physical devices at the bottom of
// a reader's stack, named "\Device\Serial0", "\Device\Serial1", ... with a port name ("COM1")
// that tools look them up by. Each port has one back end, which is its hardware (port.h):
//   - a POSIX tty (a real serial device or a pseudo-terminal) through termios, in real time,
//     declared here;
//   - a simulated line to a byte peer (the simulated reader's firmware, or a test), on which
//     every byte takes its frame time at the line settings of its sender: the simulator's side
//     of the seam, in sim/line/simulated_line.h. Nothing here knows the simulator.
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

// Requests of a kind the port has received since it was created, those a filter in front of it
// (request_filter.h) completed or held included: what a sweep of planted faults sizes itself by.
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

// ---- POSIX tty --------------------------------------------------------------------------

// A port on a tty device, in real time: a platform thread reads the descriptor into the port's
// input queue; writes go to the descriptor from the deferred-procedure thread.
class PosixPort {
public:
    virtual ~PosixPort() = default;
    virtual PDEVICE_OBJECT Device() const = 0;
    virtual const std::string& Path() const = 0;
};

// Sets a tty raw: no echo, no line discipline, 8 bits, reads that return what is there.
bool MakeRawTty(int fd);

// Opens `path` (e.g. "/dev/ttyS0" or a pseudo-terminal's slave) raw, 8N1, no flow control.
// Nothing, with `error` set, when it cannot be opened or is no terminal. The kernel must run in
// real time.
std::unique_ptr<PosixPort> CreatePosixPort(kernel::Kernel& kernel, PDRIVER_OBJECT driver,
                                           const std::string& portName, const std::string& path,
                                           const PortOptions& options = {},
                                           std::string* error = nullptr);

}  // namespace lmscr::serial
