// log.cpp - SmartcardLogError: one entry in the system event log for the device or driver
// object that logs it.  The log stamps the entry with the time it is written; the event code
// selects the text of the driver's message table.
//
// The entry, as IoAllocateErrorLogEntry hands it out (at most ERROR_LOG_MAXIMUM_SIZE bytes):
//
//   IO_ERROR_LOG_PACKET header   ErrorCode = the event code
//   DumpData[0]                  the caller's dump word; DumpDataSize 4, or 0 when it is 0
//   insertion string             UTF-16, zero-terminated, at StringOffset; cut to what fits
#include "smclib_core.h"

namespace {

constexpr ULONG kPacketBytes = sizeof(IO_ERROR_LOG_PACKET);  // header and one dump word
constexpr ULONG kStringRoomChars = (ERROR_LOG_MAXIMUM_SIZE - kPacketBytes) / sizeof(WCHAR) - 1;

}  // namespace

extern "C" VOID SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData) {
    if (Object == nullptr) return;
    ULONG chars = 0;
    if (Insertion != nullptr && Insertion->Buffer != nullptr) chars = Insertion->Length / sizeof(WCHAR);
    if (chars > kStringRoomChars) chars = kStringRoomChars;
    const ULONG string_bytes = chars == 0 ? 0 : (chars + 1) * sizeof(WCHAR);
    const ULONG entry_bytes = kPacketBytes + string_bytes;

    auto *packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(Object, static_cast<UCHAR>(entry_bytes)));
    // Logging is the last resort of a failure path: without an entry there is nothing to do.
    if (packet == nullptr) return;
    RtlZeroMemory(packet, entry_bytes);
    packet->ErrorCode = ErrorCode;
    packet->FinalStatus = STATUS_SUCCESS;
    packet->DumpDataSize = DumpData != 0 ? sizeof(ULONG) : 0;
    packet->DumpData[0] = DumpData;
    if (chars != 0) {
        packet->NumberOfStrings = 1;
        packet->StringOffset = static_cast<USHORT>(kPacketBytes);
        auto *text = reinterpret_cast<PWCHAR>(reinterpret_cast<PUCHAR>(packet) + kPacketBytes);
        RtlCopyMemory(text, Insertion->Buffer, chars * sizeof(WCHAR));
        text[chars] = 0;
    }
    IoWriteErrorLogEntry(packet);
}

// ---------------------------------------------------------------------------------------------
// Debug output: the level every reader driver shares (the lines go out through DbgPrint).

#include <atomic>

#include "debug.h"

namespace lmscr::smclib {
namespace {

std::atomic<ULONG> g_debugLevel{0};

struct LevelName {
    ULONG level;
    const char *name;
};
constexpr LevelName kLevelNames[] = {
    {DEBUG_IOCTL, "ioctl"}, {DEBUG_ATR, "atr"},     {DEBUG_PROTOCOL, "protocol"},
    {DEBUG_DRIVER, "driver"}, {DEBUG_TRACE, "trace"}, {DEBUG_ERROR, "error"},
};

}  // namespace

const char *DebugLevelName(ULONG level) {
    for (const auto &l : kLevelNames)
        if (level & l.level) return l.name;
    return "debug";
}

std::optional<ULONG> ParseDebugLevels(std::string_view names) {
    ULONG mask = 0;
    while (!names.empty()) {
        const size_t comma = names.find(',');
        const std::string_view name = names.substr(0, comma);
        names = comma == std::string_view::npos ? std::string_view{} : names.substr(comma + 1);
        if (name.empty()) continue;
        if (name == "all") {
            mask |= DEBUG_ALL;
            continue;
        }
        if (name == "none") continue;
        bool known = false;
        for (const auto &l : kLevelNames)
            if (name == l.name) {
                mask |= l.level;
                known = true;
            }
        if (!known) return std::nullopt;
    }
    return mask;
}

}  // namespace lmscr::smclib

extern "C" ULONG SmartcardGetDebugLevel(VOID) { return lmscr::smclib::g_debugLevel.load(std::memory_order_relaxed); }

extern "C" VOID SmartcardSetDebugLevel(ULONG Level) {
    lmscr::smclib::g_debugLevel.store(Level, std::memory_order_relaxed);
}
