// A program file that reaches into the driver, for the architecture check's own test: never built.
#include "session.h"
#include "driver.h"
#include "../driver/context.h"
#include "driver_view.h"

// Words in comments and strings are no reach: ReaderExtension, ComputeCardTiming.
const char* kText = "TotalTimeout from ComputeCardTiming";

ULONG Timeouts(PDEVICE_OBJECT pdo) {
    auto* ext = static_cast<PDEVICE_EXTENSION>(pdo->AttachedDevice->DeviceExtension);
    CARD_TIMING t;
    ComputeCardTiming(&ext->SmartcardExtension, &t);
    return t.CharTimeoutMs + IOCTL_READER_GET_VERSION;
}

NTSTATUS Load(PDRIVER_OBJECT d) { return DriverEntry(d, nullptr); }
