// The test-only view may read the driver's records: no violation here.
#include "driver.h"

ULONG Slot(PDEVICE_OBJECT pdo) { return static_cast<PDEVICE_EXTENSION>(pdo->AttachedDevice->DeviceExtension)->DeviceInstance; }
