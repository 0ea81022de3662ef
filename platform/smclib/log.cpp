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
// Debug output: the level every reader driver shares, and the sink its lines go to.

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "debug.h"
#include "kernel.h"

namespace lmscr::smclib {
namespace {

std::atomic<ULONG> g_debugLevel{0};
std::mutex g_sinkLock;
DebugSink g_sink = nullptr;
void *g_sinkContext = nullptr;

struct LevelName {
    ULONG level;
    const char *name;
};
constexpr LevelName kLevelNames[] = {
    {DEBUG_IOCTL, "ioctl"}, {DEBUG_ATR, "atr"},     {DEBUG_PROTOCOL, "protocol"},
    {DEBUG_DRIVER, "driver"}, {DEBUG_TRACE, "trace"}, {DEBUG_ERROR, "error"},
};

}  // namespace

void SetDebugSink(DebugSink sink, void *context) {
    std::lock_guard<std::mutex> hold(g_sinkLock);
    g_sink = sink;
    g_sinkContext = context;
}

const char *DebugLevelName(ULONG level) {
    for (const auto &l : kLevelNames)
        if (level & l.level) return l.name;
    return "debug";
}

std::string FormatDebugLine(ULONG level, std::optional<uint64_t> virtualNs, const char *text) {
    char stamp[32] = "";
    if (virtualNs) std::snprintf(stamp, sizeof stamp, "%10.3f ms ", static_cast<double>(*virtualNs) / 1e6);
    char name[16];
    std::snprintf(name, sizeof name, "%-8s", DebugLevelName(level));
    return std::string(stamp) + "debug " + name + " " + text;
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

extern "C" VOID SmartcardDebugPrint(ULONG Level, const CHAR *Format, ...) {
    using namespace lmscr::smclib;
    if ((SmartcardGetDebugLevel() & Level) == 0 || Format == nullptr) return;
    char text[512];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(text, sizeof text, Format, args);
    va_end(args);
    // The driver ends its lines with a line end, as a kernel debugger wants; the sink takes lines.
    size_t n = std::char_traits<char>::length(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
    std::optional<uint64_t> at;
    if (auto *k = lmscr::kernel::Kernel::Current(); k != nullptr && k->GetOptions().mode == lmscr::kernel::TimeMode::Virtual)
        at = k->NowNs();
    std::lock_guard<std::mutex> hold(g_sinkLock);
    if (g_sink != nullptr) {
        g_sink(g_sinkContext, Level, at, text);
    } else {
        std::fprintf(stderr, "%s\n", FormatDebugLine(Level, at, text).c_str());
    }
}
