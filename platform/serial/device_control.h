// The serial device-control requests the port answers, as a table: each code with its name, the
// input and output buffers it needs, and the routine that handles it. The dispatch routine looks
// the code up, refuses a buffer that is too small (STATUS_BUFFER_TOO_SMALL) before the handler
// sees the request, and completes what the handler did not keep.
#pragma once

#include <cstring>
#include <span>

#include "port_state.h"

namespace lmscr::serial::internal {

// One device-control request on its way through its handler.
struct IoctlRequest {
    Port* port;
    PIRP irp;
    ULONG code;
    ULONG_PTR information = 0;   // bytes of output written
    bool formatChanged = false;  // the baud rate or the line control changed: tell the back end

    // The input, whose size the dispatch routine has checked.
    template <typename T>
    T Input() const {
        T value;
        std::memcpy(&value, irp->AssociatedIrp.SystemBuffer, sizeof value);
        return value;
    }
    // The output, into room the dispatch routine has checked.
    template <typename T>
    void Output(const T& value) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof value);
        information = sizeof value;
    }
};

// The request's status. STATUS_PENDING: the handler has queued the request, which is no longer
// the dispatch routine's to touch.
using IoctlHandler = NTSTATUS (*)(IoctlRequest& request);

struct IoctlEntry {
    ULONG code;
    const char* name;    // the code's name without IOCTL_SERIAL_
    ULONG inputBytes;    // the least input the request must carry
    ULONG outputBytes;   // the least room for output it must bring
    IoctlHandler handler;
};

std::span<const IoctlEntry> DeviceControlTable();
// NULL when the port does not answer the code (STATUS_INVALID_DEVICE_REQUEST).
const IoctlEntry* FindDeviceControl(ULONG code);
// An entry's place in the table, below kDeviceControlCodes.
size_t DeviceControlIndex(const IoctlEntry* entry);

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp);

}  // namespace lmscr::serial::internal
