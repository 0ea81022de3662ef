// Pool memory with per-tag accounting, fault injection, and the checks of the verifier's pool
// tracking: double frees, frees with another tag, frees of memory that still holds a set timer.
#include "internal.h"

#include <cstdlib>
#include <cstring>

using namespace lmscr::kernel;

namespace lmscr::kernel {

bool Kernel::Impl::ShouldFailByRule(const char* operation, const Site& site) {
    for (auto& active : faults) {
        const FaultRule& r = active.rule;
        if (!r.operation.empty() && r.operation != operation) continue;
        if (!r.site.empty()) {
            std::string where = site.ToString();
            bool functionMatch = site.function && r.site == site.function;
            bool fileLineMatch = where.rfind(r.site, 0) == 0;
            if (!functionMatch && !fileLineMatch) continue;
        }
        uint64_t n = ++active.calls;
        if (n == r.nth || (r.every && n > r.nth && (n - r.nth) % r.every == 0)) {
            if (tracing()) TraceLine(std::string("injected failure of ") + operation + " at " +
                                     site.ToString());
            return true;
        }
    }
    return false;
}

}  // namespace lmscr::kernel

extern "C" {

PVOID LmExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG Tag, PCSTR File, ULONG Line,
                              PCSTR Function) {
    Kernel::Impl& k = K();
    Site site{File, Line, Function};
    Kernel::Impl::Guard g(k);
    if (k.ShouldFail("ExAllocatePoolWithTag", site)) return nullptr;
    void* p = std::malloc(NumberOfBytes ? NumberOfBytes : 1);
    if (!p) return nullptr;
    // Fresh pool is not zeroed on the platform; a recognisable pattern shows who relies on it.
    std::memset(p, 0xA5, NumberOfBytes);
    k.freedPool.erase(p);
    k.pool[p] = PoolBlock{Tag, NumberOfBytes, site, k.CurrentDriver(), ++k.poolSerial};
    auto& stats = k.poolStats[Tag];
    stats.liveBytes += NumberOfBytes;
    stats.liveBlocks += 1;
    stats.totalAllocations += 1;
    return p;
}

static void FreePool(PVOID P, const ULONG* tag) {
    Kernel::Impl& k = K();
    Kernel::Impl::Guard g(k);
    auto it = k.pool.find(P);
    if (it == k.pool.end()) {
        if (k.freedPool.count(P))
            k.Violation("POOL_DOUBLE_FREE", "ExFreePool of a block that was freed already");
        k.Violation("POOL_FREE_BAD_ADDRESS", "ExFreePool of an address that is not a pool block");
    }
    const PoolBlock block = it->second;
    if (tag && *tag != block.tag)
        k.Violation("POOL_FREE_WRONG_TAG", "ExFreePoolWithTag with tag '" + TagText(*tag) +
                                                "' of a block allocated with tag '" +
                                                TagText(block.tag) + "' at " +
                                                block.site.ToString());
    const char* begin = static_cast<const char*>(P);
    for (auto& [timer, key] : k.ktimers) {
        const char* t = reinterpret_cast<const char*>(timer);
        if (t >= begin && t < begin + block.size)
            k.Violation("POOL_FREE_WITH_ACTIVE_TIMER",
                        "a block allocated at " + block.site.ToString() +
                            " is freed while a timer in it is still set");
    }
    auto& stats = k.poolStats[block.tag];
    stats.liveBytes -= block.size;
    stats.liveBlocks -= 1;
    k.pool.erase(it);
    k.freedPool.insert(P);
    std::memset(P, 0xDD, block.size);
    std::free(P);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreePool(P, &Tag); }
VOID ExFreePool(PVOID P) { FreePool(P, nullptr); }

// ---- run-time library ----------------------------------------------------------------------

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}
VOID RtlCopyMemory(VOID* Destination, const VOID* Source, SIZE_T Length) {
    if (Length) std::memcpy(Destination, Source, Length);
}
VOID RtlMoveMemory(VOID* Destination, const VOID* Source, SIZE_T Length) {
    if (Length) std::memmove(Destination, Source, Length);
}
VOID RtlZeroMemory(VOID* Destination, SIZE_T Length) {
    if (Length) std::memset(Destination, 0, Length);
}
VOID RtlFillMemory(VOID* Destination, SIZE_T Length, UCHAR Fill) {
    if (Length) std::memset(Destination, Fill, Length);
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    USHORT n = 0;
    if (SourceString)
        while (SourceString[n]) ++n;
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    DestinationString->MaximumLength =
        SourceString ? static_cast<USHORT>((n + 1) * sizeof(WCHAR)) : 0;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    for (USHORT i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            if (a >= 'a' && a <= 'z') a = static_cast<WCHAR>(a - 32);
            if (b >= 'a' && b <= 'z') b = static_cast<WCHAR>(b - 32);
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}

}  // extern "C"
