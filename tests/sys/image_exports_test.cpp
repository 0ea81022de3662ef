// The export tables a loader of lmscr.sys resolves the image's imports through: every routine the
// image imports is there under its module and name, and the routines the table adds for the image
// (its memory routines, its allocation routines without a call site) work when called as the
// image calls them, in the platform's convention.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "exports.h"
#include "kernel.h"
#include "smclib_exports.h"
#include "wdm.h"

namespace lmscr {
namespace {

using kernel::LeakReport;

using Import = std::pair<std::string, std::string>;  // module, routine

// The import table of a PE32+ image: the directory's descriptors, each a module and its names.
std::vector<Import> ImageImports(const std::vector<uint8_t>& image) {
    auto u16 = [&](size_t at) { return static_cast<uint32_t>(image.at(at) | image.at(at + 1) << 8); };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    auto u64 = [&](size_t at) { return u32(at) | static_cast<uint64_t>(u32(at + 4)) << 32; };
    const size_t pe = u32(0x3C);
    const size_t optional = pe + 24;
    const size_t sections = optional + u16(pe + 20);
    auto offset = [&](uint32_t rva) -> size_t {
        for (size_t s = 0; s < u16(pe + 6); ++s) {
            const size_t at = sections + 40 * s;
            const uint32_t start = u32(at + 12), size = std::max(u32(at + 8), u32(at + 16));
            if (rva >= start && rva < start + size) return u32(at + 20) + (rva - start);
        }
        throw std::out_of_range("RVA in no section");
    };
    auto text = [&](size_t at) { return std::string(reinterpret_cast<const char*>(&image.at(at))); };
    std::vector<Import> imports;
    EXPECT_EQ(u16(optional), 0x20Bu) << "not a PE32+ image";
    for (size_t d = offset(u32(optional + 112 + 8)); u32(d + 12) != 0; d += 20) {
        const std::string module = text(offset(u32(d + 12)));
        for (size_t thunk = offset(u32(d) ? u32(d) : u32(d + 16)); u64(thunk) != 0; thunk += 8) {
            EXPECT_FALSE(u64(thunk) >> 63) << module << " imported by ordinal";
            imports.emplace_back(module, text(offset(static_cast<uint32_t>(u64(thunk))) + 2));
        }
    }
    return imports;
}

void* Resolve(const Import& import) {
    if (void* address = kernel::FindExport(kernel::KernelExports(), import.first.c_str(), import.second.c_str()))
        return address;
    return kernel::FindExport(smclib::LibraryExports(), import.first.c_str(), import.second.c_str());
}

TEST(ImageExports, every_import_of_the_kernel_image_is_in_the_tables) {
    std::ifstream file(LMSCR_IMAGE, std::ios::binary);
    if (!file) GTEST_SKIP() << LMSCR_IMAGE << " is not built";
    const std::vector<uint8_t> image{std::istreambuf_iterator<char>(file), {}};
    const std::vector<Import> imports = ImageImports(image);
    EXPECT_GE(imports.size(), 40u) << "the import table was not read";
    for (const Import& import : imports)
        EXPECT_NE(Resolve(import), nullptr) << import.first << "!" << import.second << " is in no table";
}

TEST(ImageExports, tables_name_each_routine_once_under_the_platform_modules) {
    std::vector<Import> seen;
    for (auto table : {kernel::KernelExports(), smclib::LibraryExports()}) {
        for (const kernel::KernelExport& e : table) {
            const std::string module = e.Module;
            EXPECT_TRUE(module == "ntoskrnl.exe" || module == "HAL.dll" || module == "smclib.sys") << module;
            EXPECT_NE(e.Address, nullptr) << e.Name;
            for (const Import& other : seen) EXPECT_NE(other.second, e.Name) << "twice in the tables";
            seen.emplace_back(module, e.Name);
        }
    }
    // the image's names for the emulation's routines of other names
    EXPECT_EQ(kernel::FindExport(kernel::KernelExports(), "hal.dll", "KeStallExecutionProcessor"),
              reinterpret_cast<void*>(KeStallExecutionProcessor));
    EXPECT_EQ(kernel::FindExport(kernel::KernelExports(), "ntoskrnl.exe", "KeAcquireSpinLockRaiseToDpc"),
              reinterpret_cast<void*>(KfAcquireSpinLock));
    EXPECT_EQ(kernel::FindExport(kernel::KernelExports(), "ntoskrnl.exe", "LmIoAllocateIrp"), nullptr);
}

// The routines the table makes for the image, called through their addresses as the image calls
// them: the memory routines and an allocation and its release.
TEST(ImageExports, routines_made_for_the_image_work_in_the_platform_convention) {
    using Copy = void*(NTAPI*)(void*, const void*, SIZE_T);
    using Fill = void*(NTAPI*)(void*, int, SIZE_T);
    using Allocate = PVOID(NTAPI*)(POOL_TYPE, SIZE_T, ULONG);
    auto routine = [](const char* name) { return kernel::FindExport(kernel::KernelExports(), "ntoskrnl.exe", name); };
    kernel::Kernel k;
    char bytes[8] = "abcdefg";
    EXPECT_EQ(reinterpret_cast<Fill>(routine("memset"))(bytes, 'x', 2), bytes);
    EXPECT_EQ(reinterpret_cast<Copy>(routine("memmove"))(bytes + 3, bytes + 2, 3), bytes + 3);
    reinterpret_cast<Copy>(routine("memcpy"))(bytes + 6, "!", 1);
    EXPECT_STREQ(bytes, "xxccde!");
    // the image's allocation has no call site of its own: the report names the routine
    void* block = reinterpret_cast<Allocate>(routine("ExAllocatePoolWithTag"))(NonPagedPool, 24, 0x6B61654C);
    ASSERT_NE(block, nullptr);
    const LeakReport held = k.Outstanding();
    ASSERT_EQ(held.items.size(), 1u) << held.ToString();
    EXPECT_NE(held.items[0].find("24 bytes"), std::string::npos) << held.items[0];
    EXPECT_NE(held.items[0].find("driver image:0 (ExAllocatePoolWithTag)"), std::string::npos) << held.items[0];
    ExFreePoolWithTag(block, 0x6B61654C);
    EXPECT_TRUE(k.Outstanding().empty());
}

}  // namespace
}  // namespace lmscr
