// A reader on a simulated serial port, as the tests of the driver use it: the kernel, the serial
// port driver with the simulated reader on the line, and this driver added above the port.
#pragma once

#include "driver.h"
#include "driver_image.h"
#include "kernel.h"
#include "sim/line/simulated_line.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace lmscr::test {

class FakeReader;

struct RigOptions {
    static RigOptions Seeded(uint64_t seed, bool fake = false) {
        RigOptions o;
        o.seed = seed;
        o.fakeReader = fake;
        return o;
    }
    uint64_t seed = kernel::Options::SeedFromEnvironment(1);
    bool fakeReader = false;   // a scripted reader (FakeReader) instead of the simulated one
    bool forcePending = true;  // the serial port pends what it could complete at once
    bool acceptEmptyWaitMask = false;  // the port keeps a wait on an empty mask pending
    bool completeD0AtDispatch = false;  // the port completes a D0 request from its DPC
    sim::ReaderConfig reader{};
    bool trace = false;
};

class ReaderRig {
public:
    explicit ReaderRig(RigOptions options = {});
    ~ReaderRig();

    kernel::Kernel& K() { return *kernel_; }
    PDEVICE_OBJECT Pdo() const { return port_ ? port_->Device() : line_->Device(); }
    PDEVICE_OBJECT Fdo() const { return Pdo()->AttachedDevice; }
    PDEVICE_EXTENSION Ext() const { return static_cast<PDEVICE_EXTENSION>(Fdo()->DeviceExtension); }
    PSMARTCARD_EXTENSION Smartcard() const { return &Ext()->SmartcardExtension; }
    PREADER_EXTENSION Reader() const { return Smartcard()->ReaderExtension; }
    serial::SimulatedPort& Port() { return *port_; }
    FakeReader& Fake() { return *fake_; }
    serial::SimulatedLine& Line() { return port_ ? port_->Line() : *line_; }
    PDRIVER_OBJECT Driver() const { return driver_; }
    PDRIVER_OBJECT SerialDriver() const { return serial_; }

    NTSTATUS Add();
    NTSTATUS Start();
    NTSTATUS AddAndStart();

    void InsertCard(const std::string& atrHex = "3B 00");
    void RemoveCard();

    NTSTATUS Open(kernel::Handle& handle);
    // Adds and starts the reader and opens it.
    NTSTATUS StartAndOpen(kernel::Handle& handle);
    std::shared_ptr<kernel::PendingIo> Async(kernel::Handle& handle, ULONG code, ULONG outputLength = 0);
    kernel::IoResult Ioctl(kernel::Handle& handle, ULONG code, std::vector<uint8_t> input, ULONG outputLength);

    // Every byte on the host line since the last call, as the wire carried it, host->reader
    // bytes written ">xx" and reader->host bytes "<xx".
    std::vector<std::string> TakeWire();

    // A platform thread that runs `body` at exactly `delayNs` from now on the virtual clock: it
    // waits for an event that a timer sets then, so that it becomes runnable at that instant
    // together with whatever else the instant wakes, and the seed decides who goes first.
    kernel::Kernel::ThreadId SpawnAt(const std::string& name, uint64_t delayNs, std::function<void()> body);
    std::vector<uint32_t> EventCodes() const;
    // The reader's interface is enabled; the serial port is open through the driver.
    bool InterfaceEnabled() const;
    bool PortOpen() const { return KeReadStateEvent(&Ext()->SerialCloseDone) == 0; }
    bool Started() const { return KeReadStateEvent(&Ext()->ReaderStarted) != 0; }

    // Removes the reader if it is still there, unloads both drivers, shuts the kernel down and
    // expects nothing left behind.  Called by the destructor if the test did not.
    void Finish();

private:
    RigOptions options_;
    // LMSCR_IMAGE: the kernel image runs instead of the linked driver (the suites that talk to
    // the driver only through requests: the race matrix, the fault sweep).  Outlives the kernel.
    std::unique_ptr<DriverImage> image_;
    std::unique_ptr<kernel::Kernel> kernel_;
    PDRIVER_OBJECT serial_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<serial::SimulatedPort> port_;
    std::unique_ptr<serial::SimulatedLine> line_;
    std::unique_ptr<FakeReader> fake_;
    std::vector<std::string> wire_;
    bool finished_ = false;
};

// A started reader with the scripted FakeReader behind its port, for the tests of the receive
// engine and the command set, which call the driver's routines directly.
class FakeReaderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::unique_ptr<ReaderRig> rig;
    PREADER_EXTENSION r = nullptr;
};

inline constexpr GUID kReaderInterface = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// IOCTL codes the tests send.
constexpr ULONG kGetVersion = IOCTL_READER_GET_VERSION;

}  // namespace lmscr::test
