// fake_reader.h - a reader driver that exists only for the class library's tests: one device
// whose reader functions follow a script the test writes, reached through the kernel's client
// like an application reaches a real reader.
//
// The dispatch routines do what a reader driver does around the library: the remove lock per
// handle and per request, SmartcardDeviceControl for device control, and the cleanup that
// cancels a parked tracking request.  The reader functions record every call, check that no two
// of them run at the same time, and can take virtual time as a real reader does.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel.h"
#include "smclib.h"

namespace lmscr::smclib::test {

using Bytes = std::vector<UCHAR>;

struct Script {
    // The card: the ATR a reset returns, and its answer to each block or command sent.
    Bytes atr;
    std::function<Bytes(const Bytes &sent)> card;
    NTSTATUS power_status = STATUS_SUCCESS;  // a failing reset returns this
    // Reader functions each take this long (virtual time), giving other requests a chance to
    // arrive while one is inside.
    uint64_t reader_ms = 0;
    NTSTATUS tracking_status = STATUS_PENDING;  // what CardTracking returns
    bool cancel_before_tracking = false;        // IoCancelIrp reaches the request before
                                                // CardTracking installs its cancel routine

    // What happened.
    std::vector<std::string> calls;  // "power 1", "protocol 3", "transmit", "tracking", "vendor"
    std::vector<Bytes> sent;         // blocks or commands the reader passed to the card
    std::vector<UCHAR> t1_state_on_entry;
    ULONG vendor_code_seen = 0;      // device-control code of OsData->CurrentIrp in VendorIoctl
    int inside = 0;                  // reader functions running now
    int max_inside = 0;
    int in_library = 0;              // requests inside SmartcardDeviceControl now
    int max_in_library = 0;
    bool removed = false;            // the remove lock has been released and waited for
};

// One device of the fake driver, with a kernel of its own.
class Rig {
public:
    // seed 0: LMSCR_SEED from the environment, else 1 (a failing run prints its seed).
    explicit Rig(uint64_t seed = 0, std::function<void(SMARTCARD_EXTENSION &)> fill = nullptr);
    ~Rig();

    kernel::Kernel &K() { return *kernel_; }
    PDRIVER_OBJECT Driver() const { return driver_; }
    PDEVICE_OBJECT Device() const { return device_; }
    SMARTCARD_EXTENSION &Ext();
    Script &S() { return *script_; }

    kernel::Handle Open();
    kernel::IoResult Io(ULONG code, const Bytes &input, ULONG output_bytes);
    kernel::IoResult Io(kernel::Handle &handle, ULONG code, const Bytes &input, ULONG output_bytes);
    std::shared_ptr<kernel::PendingIo> Async(ULONG code, const Bytes &input = {}, ULONG output_bytes = 0);

    // The card as the reader would report it: a new state stored and a parked tracking request
    // completed when presence changed, under the OsData spin lock and the cancel spin lock.
    void UpdateCardState(ULONG state);
    // Puts a card with the script's ATR through a cold reset and, if protocol is non-zero, a
    // protocol selection, by requests.
    void InsertAndReset(const Bytes &atr, ULONG protocol);

    // Closes the handle, unloads the driver and shuts the kernel down; what was left behind.
    kernel::LeakReport Finish();

    kernel::Handle handle;

private:
    std::unique_ptr<kernel::Kernel> kernel_;
    std::unique_ptr<Script> script_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    bool finished_ = false;
};

Bytes Ulong(ULONG value);
ULONG UlongAt(const Bytes &bytes, size_t offset = 0);
Bytes Concat(const Bytes &a, const Bytes &b);
// A transmit request: SCARD_IO_REQUEST {protocol, header_bytes}, padding to header_bytes, APDU.
Bytes TransmitInput(ULONG protocol, const Bytes &apdu, ULONG header_bytes = 8);

// ATRs the library accepts.  T=0 only, two historical bytes; T=1 only, with its TCK.
inline const Bytes kAtrT0 = {0x3B, 0x02, 0x14, 0x50};
inline const Bytes kAtrT1 = {0x3B, 0x80, 0x01, 0x81};

}  // namespace lmscr::smclib::test
