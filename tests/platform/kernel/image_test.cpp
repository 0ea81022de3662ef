// The kernel image loader and the privileged instructions it answers: lmscr.sys itself, a small
// image made here (its code run under the fault handler), and images damaged one field at a time.
#include "image.h"
#include "kernel.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

using namespace lmscr::kernel;

namespace {

constexpr uint64_t kPreferredBase = 0x140000000;

template <class T>
void Put(std::vector<uint8_t>& bytes, size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}
template <class T>
T Get(const void* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// ---- a small image ------------------------------------------------------------------------------
// .text (0x1000, file 0x200): the routines below; .data (0x2000, file 0x400): a pointer to the
// entry point, the import of ntoskrnl.exe!KeTestAnswer; .reloc (0x3000, file 0x600): one DIR64.
namespace tiny {
constexpr size_t kNt = 0x40, kOptional = kNt + 24, kSections = kOptional + 0xF0;
constexpr size_t kText = 0x200, kData = 0x400, kReloc = 0x600;
constexpr size_t kIlt = kData + 0x40;
constexpr size_t kSectionHeader(int i) { return kSections + 40 * i; }

struct Routine {
    uint32_t rva;
    std::vector<uint8_t> code;
};
// Each returns its answer in rax and keeps every callee-saved register.
const Routine kCr8ToRax{0x1000, {0x44, 0x0F, 0x20, 0xC0, 0xC3}};
const Routine kCr8ToRcx{0x1010, {0x44, 0x0F, 0x20, 0xC1, 0x48, 0x89, 0xC8, 0xC3}};
const Routine kInterruptTime{0x1020, {0x48, 0xA1, 0x08, 0x00, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF, 0xC3}};
const Routine kInterruptTimeViaR13{0x1030, {0x41, 0x55, 0x49, 0xBD, 0x08, 0x00, 0x00, 0x00, 0x80, 0xF7, 0xFF,
                                            0xFF, 0x49, 0x8B, 0x45, 0x00, 0x41, 0x5D, 0xC3}};
// rax all ones first: the 4-byte load must clear the upper half
const Routine kHigh1ViaR13{0x1050, {0x48, 0xC7, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0x55, 0x49, 0xBD, 0x08,
                                    0x00, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF, 0x41, 0x8B, 0x45, 0x04, 0x41,
                                    0x5D, 0xC3}};
const Routine kSystemTimeLow{0x1070, {0xA1, 0x14, 0x00, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF, 0xC3}};
const Routine kTickCount{0x1080, {0x48, 0xA1, 0x20, 0x03, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF, 0xC3}};
// jmp [rip+0xFBA]: through the import address table slot at 0x2060
const Routine kCallImport{0x10A0, {0xFF, 0x25, 0xBA, 0x0F, 0x00, 0x00}};
// mov rax, [rip+0xF49]: the relocated pointer at 0x2000
const Routine kRelocatedPointer{0x10B0, {0x48, 0x8B, 0x05, 0x49, 0x0F, 0x00, 0x00, 0xC3}};
constexpr uint32_t kSpare = 0x10F0;  // where a damaged image gets an instruction of its own

void Section(std::vector<uint8_t>& b, int i, const char* name, uint32_t vsize, uint32_t rva, uint32_t raw,
             uint32_t characteristics) {
    std::memcpy(b.data() + kSectionHeader(i), name, std::strlen(name));
    Put<uint32_t>(b, kSectionHeader(i) + 8, vsize);
    Put<uint32_t>(b, kSectionHeader(i) + 12, rva);
    Put<uint32_t>(b, kSectionHeader(i) + 16, 0x200);
    Put<uint32_t>(b, kSectionHeader(i) + 20, raw);
    Put<uint32_t>(b, kSectionHeader(i) + 36, characteristics);
}

std::vector<uint8_t> Image() {
    std::vector<uint8_t> b(0x800, 0);
    // nops between the routines, as the compiler pads: the scan's linear sweep stays in step
    std::memset(b.data() + kText, 0x90, 0x200);
    Put<uint16_t>(b, 0, 0x5A4D);
    Put<uint32_t>(b, 0x3C, kNt);
    Put<uint32_t>(b, kNt, 0x4550);
    Put<uint16_t>(b, kNt + 4, 0x8664);
    Put<uint16_t>(b, kNt + 6, 3);
    Put<uint16_t>(b, kNt + 20, 0xF0);
    Put<uint16_t>(b, kNt + 22, 0x22);  // executable, large address aware
    Put<uint16_t>(b, kOptional, 0x20B);
    Put<uint32_t>(b, kOptional + 16, 0x1000);  // entry
    Put<uint64_t>(b, kOptional + 24, kPreferredBase);
    Put<uint32_t>(b, kOptional + 32, 0x1000);
    Put<uint32_t>(b, kOptional + 36, 0x200);
    Put<uint32_t>(b, kOptional + 56, 0x4000);  // size of image
    Put<uint32_t>(b, kOptional + 60, 0x200);   // size of headers
    Put<uint16_t>(b, kOptional + 68, 1);       // native
    Put<uint32_t>(b, kOptional + 108, 16);
    Put<uint32_t>(b, kOptional + 112 + 8 * 1, 0x2010);  // imports
    Put<uint32_t>(b, kOptional + 116 + 8 * 1, 40);
    Put<uint32_t>(b, kOptional + 112 + 8 * 5, 0x3000);  // base relocations
    Put<uint32_t>(b, kOptional + 116 + 8 * 5, 12);
    Section(b, 0, ".text", 0x100, 0x1000, kText, 0x60000020);
    Section(b, 1, ".data", 0x100, 0x2000, kData, 0xC0000040);
    Section(b, 2, ".reloc", 0xC, 0x3000, kReloc, 0x42000040);
    for (const Routine* r : {&kCr8ToRax, &kCr8ToRcx, &kInterruptTime, &kInterruptTimeViaR13, &kHigh1ViaR13,
                             &kSystemTimeLow, &kTickCount, &kCallImport, &kRelocatedPointer})
        std::memcpy(b.data() + kText + (r->rva - 0x1000), r->code.data(), r->code.size());
    Put<uint64_t>(b, kData, kPreferredBase + 0x1000);
    Put<uint32_t>(b, kData + 0x10, 0x2040);  // lookup table
    Put<uint32_t>(b, kData + 0x10 + 12, 0x2080);
    Put<uint32_t>(b, kData + 0x10 + 16, 0x2060);  // address table
    Put<uint64_t>(b, kIlt, 0x2090);
    Put<uint64_t>(b, kData + 0x60, 0x2090);
    std::memcpy(b.data() + kData + 0x80, "ntoskrnl.exe", 12);
    std::memcpy(b.data() + kData + 0x92, "KeTestAnswer", 12);
    Put<uint32_t>(b, kReloc, 0x2000);
    Put<uint32_t>(b, kReloc + 4, 12);
    Put<uint16_t>(b, kReloc + 8, 0xA000);  // DIR64 at 0x2000; the entry after it is padding
    return b;
}
}  // namespace tiny

uint64_t TestAnswer() { return 0x5EED; }

void* TinyResolver(std::string_view module, std::string_view name) {
    return module == "ntoskrnl.exe" && name == "KeTestAnswer" ? reinterpret_cast<void*>(TestAnswer) : nullptr;
}

uint64_t Call(const LoadedImage& image, uint32_t rva) {
    return reinterpret_cast<uint64_t (*)()>(image.At(rva))();
}

// The answers the fault handler gives while a test runs, set through the hooks.
constexpr uint64_t kTestInterruptTime = 0x000000ABCDEF1234;
constexpr uint64_t kTestSystemTime = 0x01DC000011112222;
uint8_t TestIrql() { return DISPATCH_LEVEL; }
uint64_t TestInterruptTime() { return kTestInterruptTime; }
uint64_t TestSystemTime() { return kTestSystemTime; }

class FixedAnswers : public ::testing::Test {
protected:
    void SetUp() override { previous_ = SetPrivilegedHooks({TestIrql, TestInterruptTime, TestSystemTime}); }
    void TearDown() override { SetPrivilegedHooks(previous_); }
    PrivilegedHooks previous_;
};

TEST_F(FixedAnswers, small_image_runs_its_privileged_reads_its_import_and_its_relocated_pointer) {
    auto image = LoadImage(tiny::Image(), TinyResolver);
    ASSERT_TRUE(image) << image.error();
    EXPECT_EQ(image->Entry(), image->At(0x1000));
    struct Case {
        const tiny::Routine& routine;
        uint64_t expected;
    };
    const Case cases[] = {
        {tiny::kCr8ToRax, DISPATCH_LEVEL},
        {tiny::kCr8ToRcx, DISPATCH_LEVEL},
        {tiny::kInterruptTime, kTestInterruptTime},
        {tiny::kInterruptTimeViaR13, kTestInterruptTime},
        {tiny::kHigh1ViaR13, kTestInterruptTime >> 32},
        {tiny::kSystemTimeLow, kTestSystemTime & 0xFFFFFFFF},
        {tiny::kTickCount, kTestInterruptTime / 156250},
        {tiny::kCallImport, 0x5EED},
        {tiny::kRelocatedPointer, image->Base() + 0x1000},
    };
    for (const Case& c : cases) EXPECT_EQ(Call(image.value(), c.routine.rva), c.expected) << std::hex << c.routine.rva;
    ASSERT_EQ(image->PrivilegedSites().size(), 7u);  // the r13 routines: the movabs each; their loads fault
    EXPECT_EQ(image->Relocations(), std::vector<uint32_t>{0x2000});
    ASSERT_EQ(image->Imports().size(), 1u);
    EXPECT_EQ(image->Imports()[0].IatRva, 0x2060u);
}

// The running emulation answers by default: KeGetCurrentIrql's IRQL, KeQueryInterruptTime's clock.
TEST(PrivilegedDefaults, the_emulation_answers_with_its_irql_and_its_virtual_clock) {
    auto image = LoadImage(tiny::Image(), TinyResolver);
    ASSERT_TRUE(image) << image.error();
    Kernel kernel;
    kernel.Sleep(7);
    EXPECT_EQ(Call(image.value(), tiny::kInterruptTime.rva), 70000u);
    EXPECT_EQ(Call(image.value(), tiny::kInterruptTimeViaR13.rva), KeQueryInterruptTime());
    EXPECT_EQ(Call(image.value(), tiny::kCr8ToRax.rva), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(Call(image.value(), tiny::kCr8ToRcx.rva), DISPATCH_LEVEL);
    KeLowerIrql(old);
    // on a platform thread's fiber, at APC_LEVEL, 3 ms later
    uint64_t irql = 0, time = 0;
    const auto thread = kernel.Spawn("image", [&] {
        KIRQL was;
        KeRaiseIrql(APC_LEVEL, &was);
        kernel.Sleep(3);
        irql = Call(image.value(), tiny::kCr8ToRax.rva);
        time = Call(image.value(), tiny::kInterruptTime.rva);
        KeLowerIrql(was);
    });
    kernel.Join(thread);
    EXPECT_EQ(irql, APC_LEVEL);
    EXPECT_EQ(time, 100000u);
    kernel.Shutdown();
}

// Operating-system threads faulting at once each get a decoder of their own, and the same answers.
TEST_F(FixedAnswers, threads_faulting_together_are_all_answered) {
    auto image = LoadImage(tiny::Image(), TinyResolver);
    ASSERT_TRUE(image) << image.error();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i)
                wrong += Call(image.value(), tiny::kInterruptTimeViaR13.rva) != kTestInterruptTime ||
                         Call(image.value(), tiny::kCr8ToRcx.rva) != DISPATCH_LEVEL;
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// ---- damaged images -----------------------------------------------------------------------------

struct Damage {
    const char* what;
    void (*damage)(std::vector<uint8_t>&);
    std::string reason;
};

void Instruction(std::vector<uint8_t>& b, std::vector<uint8_t> code) {
    std::memcpy(b.data() + tiny::kText + (tiny::kSpare - 0x1000), code.data(), code.size());
}

const std::string kOnlyKnown = " (the emulation answers only reads of CR8 and loads from the shared user data page)";

TEST(DamagedImage, is_refused_with_the_reason) {
    using namespace tiny;
    const Damage table[] = {
        {"truncated", [](auto& b) { b.resize(0x30); }, "truncated: 48 bytes, shorter than a DOS header"},
        {"no MZ", [](auto& b) { b[0] = 'X'; }, "no DOS signature (MZ)"},
        {"NT headers past the end", [](auto& b) { Put<uint32_t>(b, 0x3C, 0x7F0); },
         "truncated: the NT headers at 0x7f0 lie past the end of the file (0x800 bytes)"},
        {"no PE", [](auto& b) { b[kNt] = 'Q'; }, "no PE signature at 0x40"},
        {"i386", [](auto& b) { Put<uint16_t>(b, kNt + 4, 0x14C); }, "machine 0x14c is not AMD64 (0x8664)"},
        {"PE32", [](auto& b) { Put<uint16_t>(b, kOptional, 0x10B); }, "optional header magic 0x10b is not PE32+ (0x20b)"},
        {"GUI subsystem", [](auto& b) { Put<uint16_t>(b, kOptional + 68, 2); }, "subsystem 2 is not native (1)"},
        {"relocations stripped", [](auto& b) { Put<uint16_t>(b, kNt + 22, 0x23); },
         "relocations stripped: the image could run only at its preferred base"},
        {"section table cut", [](auto& b) { b.resize(0x150); },
         "truncated: the section table (3 sections at 0x148) runs past the end of the file"},
        {"section outside the file", [](auto& b) { Put<uint32_t>(b, kSectionHeader(1) + 20, 0x10000); },
         "section .data raw data 0x10000+0x200 lies outside the file (0x800 bytes)"},
        {"section outside the image", [](auto& b) { Put<uint32_t>(b, kSectionHeader(1) + 8, 0x3000); },
         "section .data 0x2000+0x3000 lies outside the image (0x4000 bytes)"},
        {"sections overlap", [](auto& b) { Put<uint32_t>(b, kSectionHeader(0) + 8, 0x1001); },
         "section .data at 0x2000 overlaps the headers or the section before it"},
        {"W+X", [](auto& b) { b[kSectionHeader(0) + 39] |= 0x80; }, "section .text is writable and executable"},
        {"entry in data", [](auto& b) { Put<uint32_t>(b, kOptional + 16, 0x2000); },
         "entry point 0x2000 is not in an executable section"},
        {"imports outside", [](auto& b) { Put<uint32_t>(b, kOptional + 112 + 8, 0x3FF0); },
         "the import directory 0x3ff0+0x28 lies outside the image"},
        {"TLS", [](auto& b) {
             Put<uint32_t>(b, kOptional + 112 + 72, 0x2100);
             Put<uint32_t>(b, kOptional + 116 + 72, 40);
         },
         "a TLS directory: thread-local data and TLS callbacks are not supported"},
        // from here on the headers are sound
        {"HIGHLOW relocation", [](auto& b) { Put<uint16_t>(b, kReloc + 8, 0x3000); },
         "relocation type 3 at 0x2000 is not supported (only DIR64)"},
        {"relocation past the end", [](auto& b) { Put<uint32_t>(b, kReloc, 0x3FFC); },
         "relocation target 0x3ffc lies outside the image"},
        {"import by ordinal", [](auto& b) { Put<uint64_t>(b, kIlt, 0x8000000000000005); },
         "import by ordinal: ntoskrnl.exe ordinal 5 (only imports by name are resolved)"},
        {"unknown import", [](auto& b) { b[kData + 0x92] = 'X'; }, "unresolved imports: ntoskrnl.exe!XeTestAnswer"},
        {"CR0 read", [](auto& b) { Instruction(b, {0x0F, 0x20, 0xC0}); },
         "privileged instruction at 0x1400010f0: mov rax, cr0" + kOnlyKnown},
        {"CR8 write", [](auto& b) { Instruction(b, {0x44, 0x0F, 0x22, 0xC0}); },
         "privileged instruction at 0x1400010f0: mov cr8, rax" + kOnlyKnown},
        {"gs access", [](auto& b) { Instruction(b, {0x65, 0x48, 0x8B, 0x04, 0x25, 0x30, 0, 0, 0}); },
         "privileged instruction at 0x1400010f0: mov rax, qword ptr gs:[0x30]" + kOnlyKnown},
        {"port read", [](auto& b) { Instruction(b, {0xE4, 0x60}); }, "privileged instruction at 0x1400010f0: in al, 0x60" + kOnlyKnown},
        {"cli", [](auto& b) { Instruction(b, {0xFA}); }, "privileged instruction at 0x1400010f0: cli" + kOnlyKnown},
        {"shared page field unknown",
         [](auto& b) { Instruction(b, {0x48, 0xA1, 0x30, 0x02, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF}); },
         "privileged instruction at 0x1400010f0: movabs rax, qword ptr [0xfffff78000000230]" + kOnlyKnown},
        {"shared page byte load",
         [](auto& b) { Instruction(b, {0xA0, 0x08, 0x00, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF}); },
         "privileged instruction at 0x1400010f0: movabs al, byte ptr [0xfffff78000000008]" + kOnlyKnown},
    };
    const size_t kFirstAfterHeaders = 16;
    ASSERT_EQ(table[kFirstAfterHeaders].what, std::string("HIGHLOW relocation"));
    for (const Damage& d : table) {
        std::vector<uint8_t> bytes = tiny::Image();
        d.damage(bytes);
        auto result = LoadImage(bytes, TinyResolver);
        EXPECT_FALSE(result) << d.what;
        EXPECT_EQ(result.error(), d.reason) << d.what;
        // the header checks alone refuse what lies in the headers, and pass the rest to the loader
        const bool inHeaders = &d < &table[kFirstAfterHeaders];
        EXPECT_EQ(CheckImageHeaders(bytes), inHeaders ? std::optional(d.reason) : std::nullopt) << d.what;
    }
    EXPECT_EQ(CheckImageHeaders(tiny::Image()), std::nullopt);
}

// ---- lmscr.sys ------------------------------------------------------------------------------------

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Hands out a distinct address for each routine asked for, and remembers them.
struct DummyResolver {
    std::map<std::string, uintptr_t> given;
    std::set<std::string> withheld;
    void* operator()(std::string_view module, std::string_view name) {
        const std::string key = std::string(module) + "!" + std::string(name);
        if (withheld.count(key) != 0) return nullptr;
        auto [it, added] = given.emplace(key, 0x7E0000000000 + 0x10 * given.size());
        return reinterpret_cast<void*>(it->second);
    }
};

// The permissions /proc/self/maps shows for the page holding `address` ("r-x").
std::string Permissions(uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, perms;
        fields >> range >> perms;
        const size_t dash = range.find('-');
        const uintptr_t begin = std::stoull(range.substr(0, dash), nullptr, 16);
        const uintptr_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
        if (address >= begin && address < end) return perms.substr(0, 3);
    }
    return "unmapped";
}

class DriverImage : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = ReadFile(LMSCR_SYS_IMAGE);
        if (file_.empty()) GTEST_SKIP() << LMSCR_SYS_IMAGE << " is not built (make sys)";
    }
    std::vector<uint8_t> file_;
};

TEST_F(DriverImage, loads_relocated_bound_protected_with_its_privileged_reads_found) {
    DummyResolver resolver;
    auto image = LoadImage(file_, std::ref(resolver));
    ASSERT_TRUE(image) << image.error();
    const LoadedImage& li = image.value();
    const ImageSection* text = li.Section(".text");
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(li.Contains(li.Entry()));
    EXPECT_GE(reinterpret_cast<uintptr_t>(li.Entry()), li.Base() + text->Rva);
    EXPECT_LT(reinterpret_cast<uintptr_t>(li.Entry()), li.Base() + text->Rva + text->VirtualSize);

    // every import asked for once, and its slot holds what the resolver gave
    EXPECT_EQ(li.Imports().size(), resolver.given.size());
    std::set<uint32_t> changed;
    for (const ImageImport& import : li.Imports()) {
        EXPECT_EQ(Get<uintptr_t>(li.At(import.IatRva)), resolver.given.at(import.Module + "!" + import.Name));
        for (uint32_t i = 0; i < 8; ++i) changed.insert(import.IatRva + i);
    }
    // every relocation target moved by exactly the distance from the preferred base; no other byte
    const uint64_t delta = li.Base() - kPreferredBase;
    ASSERT_FALSE(li.Relocations().empty());
    auto fileOffset = [&](uint32_t rva) -> size_t {
        for (const ImageSection& s : li.Sections())
            if (rva >= s.Rva && rva - s.Rva < s.FileSize) return s.FileOffset + (rva - s.Rva);
        return SIZE_MAX;
    };
    for (uint32_t target : li.Relocations()) {
        ASSERT_NE(fileOffset(target), SIZE_MAX);
        EXPECT_EQ(Get<uint64_t>(li.At(target)), Get<uint64_t>(file_.data() + fileOffset(target)) + delta);
        for (uint32_t i = 0; i < 8; ++i) changed.insert(target + i);
    }
    size_t differing = 0;
    for (const ImageSection& s : li.Sections())
        for (uint32_t i = 0; i < s.VirtualSize; ++i) {
            const uint8_t mapped = *static_cast<const uint8_t*>(li.At(s.Rva + i));
            const uint8_t original = i < s.FileSize ? file_[s.FileOffset + i] : 0;
            differing += mapped != original && changed.count(s.Rva + i) == 0;
        }
    EXPECT_EQ(differing, 0u);

    const std::map<std::string, std::string> protection = {
        {".text", "r-x"}, {".data", "rw-"},  {".rdata", "r--"}, {".pdata", "r--"}, {".xdata", "r--"},
        {".bss", "rw-"},  {".idata", "rw-"}, {".rsrc", "rw-"},  {".reloc", "r--"}};
    EXPECT_EQ(Permissions(li.Base()), "r--");  // the headers
    for (const ImageSection& s : li.Sections()) {
        ASSERT_EQ(protection.count(s.Name), 1u) << s.Name;
        EXPECT_EQ(Permissions(li.Base() + s.Rva), protection.at(s.Name)) << s.Name;
    }

    // KeGetCurrentIrql three times, KeQueryInterruptTime once through rax and once through r13
    std::map<PrivilegedForm, std::vector<std::vector<uint8_t>>> found;
    for (const PrivilegedSite& site : li.PrivilegedSites()) {
        const auto* at = reinterpret_cast<const uint8_t*>(site.Address);
        found[site.Form].emplace_back(at, at + site.Length);
    }
    const std::vector<uint8_t> cr8 = {0x44, 0x0F, 0x20, 0xC0};
    const std::vector<uint8_t> load = {0x48, 0xA1, 0x08, 0x00, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF};
    const std::vector<uint8_t> r13 = {0x49, 0xBD, 0x08, 0x00, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF};
    using Sites = std::vector<std::vector<uint8_t>>;
    EXPECT_EQ(found[PrivilegedForm::ReadCr8], (Sites{cr8, cr8, cr8}));
    EXPECT_EQ(found[PrivilegedForm::SharedPageLoad], Sites{load});
    EXPECT_EQ(found[PrivilegedForm::SharedPageAddress], Sites{r13});
    EXPECT_EQ(li.PrivilegedSites().size(), 5u);
}

TEST_F(DriverImage, missing_routines_are_refused_all_named) {
    DummyResolver all;
    auto full = LoadImage(file_, std::ref(all));
    ASSERT_TRUE(full) << full.error();
    const auto& imports = full->Imports();
    ASSERT_GE(imports.size(), 3u);
    DummyResolver partial;
    std::string expected = "unresolved imports: ";
    for (size_t i : {size_t{0}, imports.size() / 2, imports.size() - 1}) {
        const std::string key = imports[i].Module + "!" + imports[i].Name;
        partial.withheld.insert(key);
        expected += (i != 0 ? ", " : "") + key;
    }
    auto refused = LoadImage(file_, std::ref(partial));
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.error(), expected);
}

// ---- faults that are not ours ---------------------------------------------------------------------

// Code in pages of its own, executable and not writable, optionally registered with the handler.
class CodeBuffer {
public:
    CodeBuffer(const std::vector<uint8_t>& code, bool registered) {
        page_ = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        std::memcpy(page_, code.data(), code.size());
        mprotect(page_, 4096, PROT_READ | PROT_EXEC);
        if (registered) slot_ = RegisterCodeRange(page_, code.size());
    }
    ~CodeBuffer() {
        UnregisterCodeRange(slot_);
        munmap(page_, 4096);
    }
    uint64_t Call() const { return reinterpret_cast<uint64_t (*)()>(page_)(); }
    int Slot() const { return slot_; }

private:
    void* page_ = nullptr;
    int slot_ = -1;
};

void PreviousHandler(int, siginfo_t*, void*) {
    static const char text[] = "the previous handler has the fault\n";
    (void)!write(2, text, sizeof text - 1);
    _exit(42);
}

// Runs `code` with a handler of the test's installed before ours: the fault must reach it.
void FaultReachesPreviousHandler(const std::vector<uint8_t>& code, bool registered) {
    struct sigaction previous = {};
    previous.sa_sigaction = PreviousHandler;
    previous.sa_flags = SA_SIGINFO;
    sigemptyset(&previous.sa_mask);
    sigaction(SIGSEGV, &previous, nullptr);
    InstallPrivilegedFaultHandler();
    CodeBuffer buffer(code, registered);
    buffer.Call();
}

TEST(PrivilegedFaultDeathTest, a_fault_the_emulation_does_not_own_reaches_the_previous_handler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* what;
        std::vector<uint8_t> code;
        bool registered;
    };
    const Case cases[] = {
        {"CR8 read outside any image", {0x44, 0x0F, 0x20, 0xC0, 0xC3}, false},
        {"CR0 read in registered code", {0x0F, 0x20, 0xC0, 0xC3}, true},
        {"load from an unknown field of the page",
         {0x48, 0xA1, 0x30, 0x02, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF, 0xC3}, true},
        {"null pointer in registered code", {0x31, 0xC0, 0x48, 0x8B, 0x00, 0xC3}, true},
    };
    for (const Case& c : cases)
        EXPECT_EXIT(FaultReachesPreviousHandler(c.code, c.registered), ::testing::ExitedWithCode(42),
                    "the previous handler has the fault")
            << c.what;
}

TEST_F(FixedAnswers, registered_code_buffer_is_answered_like_an_image) {
    ASSERT_TRUE(InstallPrivilegedFaultHandler());
    CodeBuffer buffer(tiny::kHigh1ViaR13.code, true);
    ASSERT_GE(buffer.Slot(), 0);
    EXPECT_EQ(buffer.Call(), kTestInterruptTime >> 32);
}

}  // namespace
