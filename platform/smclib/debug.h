// debug.h - where the class library's debug lines go in the emulation, and the names of the
// debug classes as programs spell them.  Not part of the platform API: the driver writes with
// SmartcardDebug (smclib.h); a host program picks the classes and the sink.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "smclib.h"

namespace lmscr::smclib {

// One debug line as the driver wrote it, without its line end: its class (one DEBUG_ bit) and
// the virtual time in nanoseconds, or nullopt when the kernel runs in real time (or there is none).
using DebugSink = void (*)(void *context, ULONG level, std::optional<uint64_t> virtualNs, const char *text);

// The sink for the lines to come; nullptr: standard error, as FormatDebugLine writes them.
void SetDebugSink(DebugSink sink, void *context);

// "debug protocol  T=0: ..." with, in virtual time, "   12.345 ms " before it.
std::string FormatDebugLine(ULONG level, std::optional<uint64_t> virtualNs, const char *text);

// The class's name: ioctl, atr, protocol, driver, trace, error.
const char *DebugLevelName(ULONG level);

// "atr,protocol,error" or "all" (or "none") as a mask; nullopt for an unknown name.
std::optional<ULONG> ParseDebugLevels(std::string_view names);

}  // namespace lmscr::smclib
