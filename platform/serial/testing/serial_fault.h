// Planted faults of the serial port, for tests of the driver above it: a filter put in front of
// the port (request_filter.h) that refuses, holds for ever, or serves late the nth request of a
// kind that arrives after the rule was set. Test targets only (lmscr_serial_faults).
#pragma once

#include <cstdint>

#include "serial.h"

namespace lmscr::serial {

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
//
// The first rule puts the fault filter in front of the port, where it stays as long as the port.
// A rule that could never take effect (another major function, nth 0, a refusal with
// STATUS_PENDING) is a mistake of the test: the process aborts with a line saying so.
void InjectSerialFault(PDEVICE_OBJECT port, const SerialFault& fault);  // several rules may be set
void ClearSerialFaults(PDEVICE_OBJECT port);  // rules not yet used; held requests stay held

}  // namespace lmscr::serial
