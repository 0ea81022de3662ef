// What the demo shows of the driver's internals, not an application's view: the two facts of the
// demo's transcript that the driver keeps in its own records and answers to no request, because
// they come before any handle is open. Read straight from the driver's device extension, without
// its locks: in virtual time only, where one platform thread runs at a time. The rest of the
// program sees the driver as an application does (session.h); the architecture test lets only
// these two files name the driver's records, and only demo.cpp include this header.
#pragma once

#include <wdm.h>

namespace lmscr::tool::driver_view {

// The slot number the driver gave the reader device it added above `port` (0 for the first
// reader, 1 for a second one beside it).
ULONG ReaderSlot(PDEVICE_OBJECT port);
// The card state in the class library's record of the reader above `port`, as the driver's start
// left it.
ULONG RecordedCardState(PDEVICE_OBJECT port);

}  // namespace lmscr::tool::driver_view
