// The driver's kernel image (lmscr.sys, PE32+) mapped into this process: headers checked, sections
// copied, relocated to wherever mmap put it, imports bound through a resolver the caller gives, pages
// protected as the sections ask.  A kernel image also reads the interrupt controller's priority (CR8)
// and the shared user data page at 0xFFFFF78000000000 inline, which user mode may not: the loader
// finds every such instruction before the image runs, refuses the ones the emulation cannot answer,
// and a SIGSEGV handler answers the others from the emulation's IRQL and virtual clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace lmscr::kernel {

// What the image imports, and where the resolver says it is (nullptr: not provided).
using ImportResolver = std::function<void*(std::string_view module, std::string_view name)>;

struct ImageImport {
    std::string Module;
    std::string Name;
    uint32_t IatRva = 0;  // the slot the loader wrote
    void* Address = nullptr;
};

enum class PageAccess : uint8_t { Read, ReadWrite, ReadExecute };

struct ImageSection {
    std::string Name;
    uint32_t Rva = 0;
    uint32_t VirtualSize = 0;
    uint32_t FileOffset = 0;  // where its bytes were in the file
    uint32_t FileSize = 0;    // how many were copied; the rest of VirtualSize is zero
    uint32_t Characteristics = 0;
    PageAccess Access = PageAccess::Read;
};

// A privileged instruction, or an instruction naming the shared user data page, found in the code.
enum class PrivilegedForm : uint8_t {
    ReadCr8,            // mov r64, cr8: answered with the current IRQL
    SharedPageLoad,     // mov eax/rax, [moffs64 in the page]: answered from the virtual clock
    SharedPageAddress,  // mov r64, imm64 in the page: no fault; its loads are decoded when they fault
    Unsupported,        // anything else: the image is refused
};

struct PrivilegedSite {
    uint64_t Address = 0;  // where it was scanned (for an image: the mapped address)
    uint8_t Length = 0;
    PrivilegedForm Form = PrivilegedForm::Unsupported;
    std::string Text;  // "mov rax, cr8"
};

class LoadedImage {
public:
    LoadedImage(LoadedImage&& other) noexcept;
    LoadedImage& operator=(LoadedImage&& other) noexcept;
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;
    ~LoadedImage();  // stops answering faults in its code and unmaps it

    uintptr_t Base() const { return base_; }
    size_t Size() const { return size_; }
    uint64_t PreferredBase() const { return preferredBase_; }
    // DriverEntry, in the image's own calling convention (Microsoft x64).
    void* Entry() const { return reinterpret_cast<void*>(base_ + entryRva_); }
    bool Contains(const void* address, size_t length = 1) const;
    void* At(uint32_t rva) const { return reinterpret_cast<void*>(base_ + rva); }

    const ImageSection* Section(std::string_view name) const;
    const std::vector<ImageSection>& Sections() const { return sections_; }
    const std::vector<ImageImport>& Imports() const { return imports_; }
    const std::vector<uint32_t>& Relocations() const { return relocations_; }  // DIR64 targets
    const std::vector<PrivilegedSite>& PrivilegedSites() const { return privileged_; }

private:
    friend class ImageBuilder;
    LoadedImage() = default;
    void Release() noexcept;

    uintptr_t base_ = 0;
    size_t size_ = 0;
    uint64_t preferredBase_ = 0;
    uint32_t entryRva_ = 0;
    std::vector<ImageSection> sections_;
    std::vector<ImageImport> imports_;
    std::vector<uint32_t> relocations_;
    std::vector<PrivilegedSite> privileged_;
    std::vector<int> codeRanges_;  // fault-handler registrations of the executable sections
};

// The loaded image, or why it was refused (one line).
class LoadResult {
public:
    LoadResult(LoadedImage image) : value_(std::move(image)) {}
    static LoadResult Refused(std::string reason) { return LoadResult(std::move(reason)); }

    bool has_value() const { return std::holds_alternative<LoadedImage>(value_); }
    explicit operator bool() const { return has_value(); }
    LoadedImage& value() { return std::get<LoadedImage>(value_); }
    LoadedImage* operator->() { return &value(); }
    const std::string& error() const;

private:
    explicit LoadResult(std::string reason) : value_(std::move(reason)) {}
    std::variant<LoadedImage, std::string> value_;
};

LoadResult LoadImage(std::span<const uint8_t> file, const ImportResolver& resolve);
LoadResult LoadImageFile(const std::string& path, const ImportResolver& resolve);

// The header checks alone, without mapping anything: nullopt when the headers, section table and
// data directories are sound, else the reason.  What a fuzzer of the parser drives.
std::optional<std::string> CheckImageHeaders(std::span<const uint8_t> file);

// ---- privileged instructions ------------------------------------------------------------------

inline constexpr uint64_t kSharedUserData = 0xFFFFF78000000000ull;

// Linear sweep of `code` (as if at `address`): every privileged instruction, segment-prefixed
// memory access and immediate or displacement inside the shared user data page.  Bytes that do not
// decode (padding, the constructor lists the linker puts in .text) are stepped over one at a time.
std::vector<PrivilegedSite> ScanPrivileged(std::span<const uint8_t> code, uint64_t address);

// Where the fault handler gets its answers.  Each is called inside the SIGSEGV handler, on the
// faulting thread: it must not lock or allocate.  The defaults read the running emulation
// (KeGetCurrentIrql's IRQL, KeQueryInterruptTime's and KeQuerySystemTime's clocks), and answer
// PASSIVE_LEVEL and 0 with no kernel running.
struct PrivilegedHooks {
    uint8_t (*Irql)() = nullptr;
    uint64_t (*InterruptTime)() = nullptr;  // 100 ns units since the kernel started
    uint64_t (*SystemTime)() = nullptr;     // 100 ns units since 1601
};
PrivilegedHooks DefaultPrivilegedHooks();
// Replaces the hooks (a member left null keeps the default); returns the previous ones.
PrivilegedHooks SetPrivilegedHooks(const PrivilegedHooks& hooks);

// Installs the SIGSEGV handler once per process (LoadImage does it); later calls do nothing.  A
// fault it does not own goes to the handler that was there before (a sanitizer's, or the default).
// False when the disassembler could not be opened or the handler not set.
bool InstallPrivilegedFaultHandler();

// Code the handler emulates in.  LoadImage registers an image's executable sections; tests
// register buffers of their own.  Returns a slot to unregister, or -1 when every slot is taken.
int RegisterCodeRange(const void* begin, size_t size);
void UnregisterCodeRange(int slot);

}  // namespace lmscr::kernel
