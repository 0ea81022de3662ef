// A filter in front of a serial port: an object that sees each request a handle's owner sends
// the port (create, close, read, write, device control) before the port does anything with it,
// and lets it through, completes it in the port's place, or has the port hold it, as a filter
// driver above a port can. A completed request never reaches the port; a held one is kept
// pending and cancellable, and reaches the port when its time comes, as if it had just arrived.
// Cleanup, Plug and Play and power requests go straight to the port.
//
// A held request that never reaches the port ends with STATUS_CANCELLED: by IoCancelIrp, by the
// owner's cleanup or last close, by a Plug and Play stop or removal of the port, or when the
// port goes away.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "kernel.h"

namespace lmscr::serial {

struct FilterVerdict {
    enum class Action { Pass, Complete, Hold };
    Action action = Action::Pass;
    NTSTATUS status = STATUS_SUCCESS;  // Complete: the request's status (never STATUS_PENDING)
    bool forever = false;              // Hold: until one of the ends above
    uint64_t delayNs = 0;              // Hold, not forever: served this much later
};

class RequestFilter {
public:
    virtual ~RequestFilter() = default;
    // Called for each request with the port's locks held, at DISPATCH_LEVEL: decide from what
    // is given, calling nothing of the port and nothing that waits.
    virtual FilterVerdict OnRequest(UCHAR major, ULONG ioControlCode) = 0;
};

// Runs `edit` with the port's locks held, on the port's filter slot (empty: none): to put a
// filter in front of the port, take it away, or change what the one there decides, in step with
// the requests it sees. The port keeps the filter until it is replaced or the port is deleted.
void EditSerialRequestFilter(PDEVICE_OBJECT port,
                             const std::function<void(std::shared_ptr<RequestFilter>& filter)>& edit);

}  // namespace lmscr::serial
