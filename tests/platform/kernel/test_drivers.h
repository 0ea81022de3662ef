// Small drivers that exist only for the kernel's tests: a bus whose devices are the bottom of a
// stack (as the serial ports will be), and a function driver that forwards requests the way the
// platform's manuals describe.  Both write what they see into one log, so that a test can check
// the order in which the managers and the I/O manager reached them.
#pragma once

#include "kernel.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace lmscr::kernel::test {

// Everything the test drivers saw, in order.
std::vector<std::string>& Log();
void ResetDrivers();

// The bus: each physical device either completes a request at once with a programmable status
// and reply, or keeps it pending until the test completes it.
struct BusDevice {
    bool pend = false;                 // keep READ/WRITE/DEVICE_CONTROL requests pending
    bool cancellable = true;           // pending requests get a cancel routine
    NTSTATUS status = STATUS_SUCCESS;  // status for requests completed at once
    std::vector<uint8_t> reply;        // copied into the system buffer of a completed request
    ULONG_PTR information = ~ULONG_PTR(0);  // information to report; ~0: the reply's length
    NTSTATUS pnpStatus = STATUS_SUCCESS;
    NTSTATUS powerStatus = STATUS_SUCCESS;
    std::deque<PIRP> pending;
    KSPIN_LOCK lock = 0;
};

PDRIVER_OBJECT LoadBus(Kernel& k);
PDEVICE_OBJECT CreateBusDevice(Kernel& k, PDRIVER_OBJECT bus, const std::string& name);
BusDevice& Bus(PDEVICE_OBJECT pdo);
// Completes the oldest pending request of the device; returns false if there is none (it was
// cancelled first).
bool CompletePending(PDEVICE_OBJECT pdo, NTSTATUS status, ULONG_PTR information = 0);
size_t PendingCount(PDEVICE_OBJECT pdo);

// The function driver: AddDevice attaches one device above the physical device; Plug and Play
// requests it handles on the way up (start) or down (the rest); power requests pass down.
PDRIVER_OBJECT LoadFunction(Kernel& k);
PDEVICE_OBJECT FunctionDeviceAbove(PDEVICE_OBJECT pdo);

// A kernel for one test, shut down at the end with nothing left behind.
class KernelFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual Options MakeOptions() { return Options{}; }
    std::unique_ptr<Kernel> k;
};

}  // namespace lmscr::kernel::test
