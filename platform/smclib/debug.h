// debug.h - the names of the class library's debug classes as programs spell them.  Not part of
// the platform API: the driver writes with SmartcardDebug (smclib.h), which prints through the
// kernel's DbgPrint; a host program picks the classes (SmartcardSetDebugLevel) and where the
// kernel's debug lines go (kernel::SetDebugPrintSink).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "smclib.h"

namespace lmscr::smclib {

// The class's name: ioctl, atr, protocol, driver, trace, error.
const char *DebugLevelName(ULONG level);

// "atr,protocol,error" or "all" (or "none") as a mask; nullopt for an unknown name.
std::optional<ULONG> ParseDebugLevels(std::string_view names);

}  // namespace lmscr::smclib
