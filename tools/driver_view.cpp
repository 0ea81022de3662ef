#include "driver_view.h"

#include "driver.h"

namespace lmscr::tool::driver_view {

namespace {
PDEVICE_EXTENSION ReaderAbove(PDEVICE_OBJECT port) {
    return static_cast<PDEVICE_EXTENSION>(port->AttachedDevice->DeviceExtension);
}
}  // namespace

ULONG ReaderSlot(PDEVICE_OBJECT port) { return ReaderAbove(port)->DeviceInstance; }

ULONG RecordedCardState(PDEVICE_OBJECT port) {
    return ReaderAbove(port)->SmartcardExtension.ReaderCapabilities.CurrentState;
}

}  // namespace lmscr::tool::driver_view
