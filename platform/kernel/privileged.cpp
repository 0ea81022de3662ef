// What a kernel image does that user mode may not, found before it runs and answered when it faults.
//
// The compiler inlines KeGetCurrentIrql as a read of CR8 and KeQueryInterruptTime as a load from
// the shared user data page; in user mode the first is a general-protection fault and the second a
// page fault on a kernel address, both SIGSEGV.  The handler decodes the faulting instruction with
// the same disassembler the load-time scan uses, and for the forms it knows writes the answer into
// the destination register of the interrupted context and steps over the instruction.
//
// The handler runs on whichever operating-system thread or fiber the driver's code was on.  It takes
// no lock and allocates nothing: the code ranges are a fixed table of atomics, the disassembler
// handles and their instruction buffers are opened before the handler is set, and the answers come
// from hooks that read the emulation's state without locking.
#include "image.h"
#include "internal.h"

#include <capstone/capstone.h>
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace lmscr::kernel {

namespace {

// ---- the shared user data page ----------------------------------------------------------------

constexpr uint64_t kSharedPageSize = 0x1000;
constexpr uint32_t kTimeIncrement = 156250;  // one clock tick, 15.625 ms in 100 ns units

// The fields the emulation keeps: TickCountLowDeprecated and TickCountMultiplier, then
// InterruptTime and SystemTime (each a KSYSTEM_TIME: LowPart, High1Time, High2Time) from 0x0 to
// 0x20, and the TickCount KSYSTEM_TIME at 0x320.
constexpr uint64_t kTimesEnd = 0x20;
constexpr uint64_t kTickCount = 0x320;
constexpr uint64_t kTickCountEnd = 0x32C;

bool SharedPageFieldKnown(uint64_t offset, unsigned size) {
    if (size != 4 && size != 8) return false;
    return offset + size <= kTimesEnd || (offset >= kTickCount && offset + size <= kTickCountEnd);
}

void PutSystemTime(uint8_t* at, uint64_t value) {
    const uint32_t low = static_cast<uint32_t>(value);
    const uint32_t high = static_cast<uint32_t>(value >> 32);
    std::memcpy(at, &low, 4);
    std::memcpy(at + 4, &high, 4);  // High1Time
    std::memcpy(at + 8, &high, 4);  // High2Time: equal to High1Time, so a reader's loop ends at once
}

// ---- the hooks --------------------------------------------------------------------------------

uint8_t KernelIrql() {
    Kernel::Impl* k = KOrNull();
    if (k == nullptr) return PASSIVE_LEVEL;
    const Thread* thread = k->Current();
    return thread != nullptr ? thread->irql : PASSIVE_LEVEL;
}

// KeQueryInterruptTime's own reading of the clock: the virtual time, or the steady clock in real time.
uint64_t KernelInterruptTime() {
    Kernel::Impl* k = KOrNull();
    return k != nullptr ? k->NowNs() / 100 : 0;
}

uint64_t KernelSystemTime() {
    if (KOrNull() == nullptr) return 0;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return static_cast<uint64_t>(now.QuadPart);
}

std::atomic<uint8_t (*)()> gIrql{KernelIrql};
std::atomic<uint64_t (*)()> gInterruptTime{KernelInterruptTime};
std::atomic<uint64_t (*)()> gSystemTime{KernelSystemTime};

bool SharedPageRead(uint64_t offset, unsigned size, uint64_t& value) {
    if (!SharedPageFieldKnown(offset, size)) return false;
    const uint64_t interrupt = gInterruptTime.load(std::memory_order_acquire)();
    const uint64_t ticks = interrupt / kTimeIncrement;
    uint8_t page[kTickCountEnd - kTickCount > kTimesEnd ? kTickCountEnd - kTickCount : kTimesEnd] = {};
    uint64_t base = 0;
    if (offset < kTimesEnd) {
        const uint32_t tickLow = static_cast<uint32_t>(ticks);
        // TickCountMultiplier: milliseconds per tick as a 8.24 fixed-point number
        const uint32_t multiplier = static_cast<uint32_t>((uint64_t{kTimeIncrement} << 24) / 10000);
        std::memcpy(page, &tickLow, 4);
        std::memcpy(page + 4, &multiplier, 4);
        PutSystemTime(page + 0x8, interrupt);
        PutSystemTime(page + 0x14, gSystemTime.load(std::memory_order_acquire)());
    } else {
        base = kTickCount;
        PutSystemTime(page, ticks);
    }
    value = 0;
    std::memcpy(&value, page + (offset - base), size);
    return true;
}

// ---- the code ranges --------------------------------------------------------------------------

struct CodeSlot {
    std::atomic<bool> used{false};
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
};
constexpr int kCodeSlots = 64;
CodeSlot gCode[kCodeSlots];

// The end of the registered range holding `address`, or 0.
uintptr_t CodeRangeEnd(uintptr_t address) {
    for (CodeSlot& slot : gCode) {
        const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
        const uintptr_t end = slot.end.load(std::memory_order_acquire);
        if (begin != 0 && address >= begin && address < end) return end;
    }
    return 0;
}

// ---- decoding ---------------------------------------------------------------------------------

bool ControlOrDebugRegister(unsigned reg) {
    return (reg >= X86_REG_CR0 && reg <= X86_REG_CR15) || (reg >= X86_REG_DR0 && reg <= X86_REG_DR15);
}

bool Privileged(unsigned id) {
    switch (id) {
    case X86_INS_IN: case X86_INS_INSB: case X86_INS_INSW: case X86_INS_INSD:
    case X86_INS_OUT: case X86_INS_OUTSB: case X86_INS_OUTSW: case X86_INS_OUTSD:
    case X86_INS_CLI: case X86_INS_STI: case X86_INS_HLT: case X86_INS_RDMSR: case X86_INS_WRMSR:
    case X86_INS_LGDT: case X86_INS_LIDT: case X86_INS_LLDT: case X86_INS_LTR: case X86_INS_LMSW:
    case X86_INS_SGDT: case X86_INS_SIDT: case X86_INS_SLDT: case X86_INS_STR: case X86_INS_CLTS:
    case X86_INS_INVLPG: case X86_INS_INVLPGA: case X86_INS_INVD: case X86_INS_WBINVD:
    case X86_INS_SWAPGS: case X86_INS_INT: case X86_INS_INT1: case X86_INS_INT3: case X86_INS_INTO:
    case X86_INS_IRET: case X86_INS_IRETD: case X86_INS_IRETQ: case X86_INS_SYSRET: case X86_INS_SYSEXIT:
    case X86_INS_SYSCALL: case X86_INS_SYSENTER: case X86_INS_RDPMC: case X86_INS_XSETBV:
    case X86_INS_MONITOR: case X86_INS_MWAIT: case X86_INS_VMCALL:
        return true;
    default:
        return false;
    }
}

bool InSharedPage(uint64_t address) { return address - kSharedUserData < kSharedPageSize; }

// The general registers of the interrupted context, by the disassembler's names; the width is
// 8 or 4 (a 32-bit destination clears the upper half, as the processor does).
struct GeneralRegister {
    int index = -1;
    unsigned width = 0;
};

GeneralRegister GeneralRegisterOf(unsigned reg) {
    struct Row {
        unsigned r64, r32;
        int index;
    };
    static constexpr Row rows[] = {
        {X86_REG_RAX, X86_REG_EAX, REG_RAX}, {X86_REG_RCX, X86_REG_ECX, REG_RCX},
        {X86_REG_RDX, X86_REG_EDX, REG_RDX}, {X86_REG_RBX, X86_REG_EBX, REG_RBX},
        {X86_REG_RSP, X86_REG_ESP, REG_RSP}, {X86_REG_RBP, X86_REG_EBP, REG_RBP},
        {X86_REG_RSI, X86_REG_ESI, REG_RSI}, {X86_REG_RDI, X86_REG_EDI, REG_RDI},
        {X86_REG_R8, X86_REG_R8D, REG_R8},   {X86_REG_R9, X86_REG_R9D, REG_R9},
        {X86_REG_R10, X86_REG_R10D, REG_R10}, {X86_REG_R11, X86_REG_R11D, REG_R11},
        {X86_REG_R12, X86_REG_R12D, REG_R12}, {X86_REG_R13, X86_REG_R13D, REG_R13},
        {X86_REG_R14, X86_REG_R14D, REG_R14}, {X86_REG_R15, X86_REG_R15D, REG_R15},
    };
    for (const Row& row : rows) {
        if (reg == row.r64) return {row.index, 8};
        if (reg == row.r32) return {row.index, 4};
    }
    return {};
}

// The two forms of load the emulation answers, as the scan and the handler both see them.
bool IsMove(unsigned id) { return id == X86_INS_MOV || id == X86_INS_MOVABS; }

bool IsCr8Read(const cs_insn& insn) {
    const cs_x86& x = insn.detail->x86;
    return IsMove(insn.id) && x.op_count == 2 && x.operands[0].type == X86_OP_REG &&
           GeneralRegisterOf(x.operands[0].reg).width == 8 && x.operands[1].type == X86_OP_REG &&
           x.operands[1].reg == X86_REG_CR8;
}

// mov r32/r64, [memory] with no segment override, as a MOV of the operand's size.
bool IsPlainLoad(const cs_insn& insn) {
    const cs_x86& x = insn.detail->x86;
    if (!IsMove(insn.id) || x.op_count != 2 || x.operands[0].type != X86_OP_REG || x.operands[1].type != X86_OP_MEM)
        return false;
    const unsigned width = GeneralRegisterOf(x.operands[0].reg).width;
    return width != 0 && width == x.operands[1].size && x.operands[1].mem.segment == X86_REG_INVALID;
}

PrivilegedForm Classify(const cs_insn& insn, bool& found) {
    const cs_x86& x = insn.detail->x86;
    found = Privileged(insn.id);
    bool namesPage = false;
    for (unsigned i = 0; i < x.op_count; ++i) {
        const cs_x86_op& op = x.operands[i];
        if (op.type == X86_OP_REG && ControlOrDebugRegister(op.reg)) found = true;
        if (op.type == X86_OP_IMM && InSharedPage(static_cast<uint64_t>(op.imm))) namesPage = true;
        if (op.type == X86_OP_MEM) {
            if (op.mem.segment == X86_REG_FS || op.mem.segment == X86_REG_GS) found = true;
            if (InSharedPage(static_cast<uint64_t>(op.mem.disp))) namesPage = true;
        }
    }
    if (!found && !namesPage) return PrivilegedForm::Unsupported;
    found = true;
    if (IsCr8Read(insn)) return PrivilegedForm::ReadCr8;
    if (namesPage && IsPlainLoad(insn) && x.operands[1].mem.base == X86_REG_INVALID &&
        x.operands[1].mem.index == X86_REG_INVALID &&
        SharedPageFieldKnown(static_cast<uint64_t>(x.operands[1].mem.disp) - kSharedUserData, x.operands[1].size))
        return PrivilegedForm::SharedPageLoad;
    if (namesPage && IsMove(insn.id) && x.op_count == 2 && x.operands[0].type == X86_OP_REG &&
        GeneralRegisterOf(x.operands[0].reg).width == 8 && x.operands[1].type == X86_OP_IMM)
        return PrivilegedForm::SharedPageAddress;
    return PrivilegedForm::Unsupported;
}

// A disassembler handle with its instruction buffer, for the handler: one per thread that can
// fault at the same moment; a handler that finds none free leaves the fault to the next handler.
struct Decoder {
    csh handle = 0;
    cs_insn* insn = nullptr;
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
};
constexpr int kDecoders = 16;
Decoder gDecoders[kDecoders];

struct sigaction gPrevious;
std::atomic<bool> gInstalled{false};

bool OpenDecoder(csh& handle) {
    if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle) != CS_ERR_OK) return false;
    cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
    return true;
}

uint64_t Gpr(const ucontext_t* uc, int index) { return static_cast<uint64_t>(uc->uc_mcontext.gregs[index]); }
void SetGpr(ucontext_t* uc, int index, uint64_t value) {
    uc->uc_mcontext.gregs[index] = static_cast<greg_t>(value);
}

// Decodes and answers the instruction at the context's RIP; false when it is not ours.
bool Emulate(ucontext_t* uc) {
    const uint64_t rip = Gpr(uc, REG_RIP);
    const uintptr_t end = CodeRangeEnd(rip);
    if (end == 0) return false;
    Decoder* decoder = nullptr;
    for (Decoder& d : gDecoders)
        if (d.insn != nullptr && !d.busy.test_and_set(std::memory_order_acquire)) {
            decoder = &d;
            break;
        }
    if (decoder == nullptr) return false;
    const uint8_t* code = reinterpret_cast<const uint8_t*>(rip);
    size_t size = std::min<size_t>(15, end - rip);
    uint64_t address = rip;
    bool handled = false;
    if (cs_disasm_iter(decoder->handle, &code, &size, &address, decoder->insn)) {
        const cs_insn& insn = *decoder->insn;
        const cs_x86& x = insn.detail->x86;
        uint64_t value = 0;
        GeneralRegister dest;
        if (IsCr8Read(insn)) {
            dest = GeneralRegisterOf(x.operands[0].reg);
            value = gIrql.load(std::memory_order_acquire)();
            handled = true;
        } else if (IsPlainLoad(insn)) {
            const x86_op_mem& mem = x.operands[1].mem;
            uint64_t at = static_cast<uint64_t>(mem.disp);
            if (mem.base == X86_REG_RIP) at += rip + insn.size;
            else if (mem.base != X86_REG_INVALID && GeneralRegisterOf(mem.base).width == 8)
                at += Gpr(uc, GeneralRegisterOf(mem.base).index);
            else if (mem.base != X86_REG_INVALID) at = 0;  // a 32-bit address cannot reach the page
            if (mem.index != X86_REG_INVALID)
                at = GeneralRegisterOf(mem.index).width == 8
                         ? at + Gpr(uc, GeneralRegisterOf(mem.index).index) * static_cast<uint64_t>(mem.scale)
                         : 0;
            dest = GeneralRegisterOf(x.operands[0].reg);
            handled = InSharedPage(at) && SharedPageRead(at - kSharedUserData, x.operands[1].size, value);
        }
        if (handled) {
            SetGpr(uc, dest.index, value);  // a 4-byte load arrives zero-extended, as in the processor
            SetGpr(uc, REG_RIP, rip + insn.size);
        }
    }
    decoder->busy.clear(std::memory_order_release);
    return handled;
}

void PassOn(int sig, siginfo_t* info, void* context) {
    if ((gPrevious.sa_flags & SA_SIGINFO) != 0 && gPrevious.sa_sigaction != nullptr) {
        gPrevious.sa_sigaction(sig, info, context);
        return;
    }
    if (gPrevious.sa_handler == SIG_IGN && info->si_code <= 0) return;  // sent, not a fault
    if (gPrevious.sa_handler == SIG_DFL || gPrevious.sa_handler == SIG_IGN) {
        // the instruction runs again on return and faults into the default action
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(sig, &fallback, nullptr);
        return;
    }
    gPrevious.sa_handler(sig);
}

void OnSegv(int sig, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    // only a fault raised by an instruction; a SIGSEGV sent by kill() has no instruction to answer
    const bool fault = info != nullptr && info->si_code > 0;
    const bool handled = fault && Emulate(static_cast<ucontext_t*>(context));
    errno = savedErrno;
    if (!handled) PassOn(sig, info, context);
}

}  // namespace

std::vector<PrivilegedSite> ScanPrivileged(std::span<const uint8_t> code, uint64_t address) {
    std::vector<PrivilegedSite> sites;
    csh handle;
    if (!OpenDecoder(handle)) {
        sites.push_back({address, 0, PrivilegedForm::Unsupported, "(the disassembler could not be opened)"});
        return sites;
    }
    cs_insn* insn = cs_malloc(handle);
    const uint8_t* at = code.data();
    size_t left = code.size();
    uint64_t pc = address;
    while (left > 0) {
        if (!cs_disasm_iter(handle, &at, &left, &pc, insn)) {
            // not an instruction (the constructor lists, padding): step over one byte
            ++at;
            --left;
            ++pc;
            continue;
        }
        bool found = false;
        const PrivilegedForm form = Classify(*insn, found);
        if (!found) continue;
        std::string text = insn->mnemonic;
        if (insn->op_str[0] != '\0') text += std::string(" ") + insn->op_str;
        sites.push_back({insn->address, static_cast<uint8_t>(insn->size), form, std::move(text)});
    }
    cs_free(insn, 1);
    cs_close(&handle);
    return sites;
}

PrivilegedHooks DefaultPrivilegedHooks() { return {KernelIrql, KernelInterruptTime, KernelSystemTime}; }

PrivilegedHooks SetPrivilegedHooks(const PrivilegedHooks& hooks) {
    PrivilegedHooks previous{gIrql.load(), gInterruptTime.load(), gSystemTime.load()};
    gIrql.store(hooks.Irql != nullptr ? hooks.Irql : KernelIrql, std::memory_order_release);
    gInterruptTime.store(hooks.InterruptTime != nullptr ? hooks.InterruptTime : KernelInterruptTime,
                         std::memory_order_release);
    gSystemTime.store(hooks.SystemTime != nullptr ? hooks.SystemTime : KernelSystemTime, std::memory_order_release);
    return previous;
}

bool InstallPrivilegedFaultHandler() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (gInstalled.load()) return true;
    for (Decoder& d : gDecoders) {
        if (d.insn != nullptr) continue;
        if (!OpenDecoder(d.handle)) return false;
        d.insn = cs_malloc(d.handle);
        if (d.insn == nullptr) return false;
    }
    struct sigaction action = {};
    action.sa_sigaction = OnSegv;
    // on the alternate stack when the thread has one (the sanitizers set one up for theirs)
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGSEGV, &action, &gPrevious) != 0) return false;
    gInstalled.store(true);
    return true;
}

int RegisterCodeRange(const void* begin, size_t size) {
    const auto b = reinterpret_cast<uintptr_t>(begin);
    if (b == 0 || size == 0) return -1;
    for (int i = 0; i < kCodeSlots; ++i) {
        bool expected = false;
        if (!gCode[i].used.compare_exchange_strong(expected, true)) continue;
        gCode[i].end.store(b + size, std::memory_order_release);
        gCode[i].begin.store(b, std::memory_order_release);
        return i;
    }
    return -1;
}

void UnregisterCodeRange(int slot) {
    if (slot < 0 || slot >= kCodeSlots) return;
    gCode[slot].begin.store(0, std::memory_order_release);
    gCode[slot].end.store(0, std::memory_order_release);
    gCode[slot].used.store(false, std::memory_order_release);
}

}  // namespace lmscr::kernel
