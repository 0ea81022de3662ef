// The PE32+ loader.  Every field of the file is read through bounds-checked accessors: the headers
// come from whoever built the image and a fuzzer will feed this parser, so a field that points
// outside the file or the image is a refusal, never a read out of bounds.
#include "image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <utility>

namespace lmscr::kernel {

namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint32_t kScnCode = 0x00000020;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr size_t kPage = 4096;
// A driver is tens of kilobytes; a header that asks for more than this is damaged, and mapping
// what it asks for would let a fuzzer exhaust memory.
constexpr uint32_t kMaxImageSize = 64u << 20;
constexpr unsigned kMaxSections = 96;
constexpr size_t kMaxImportName = 256;
constexpr size_t kMaxImports = 65536;

enum Directory : unsigned {
    kDirImport = 1,
    kDirSecurity = 4,
    kDirReloc = 5,
    kDirTls = 9,
    kDirDelayImport = 13,
};

constexpr const char* kDirectoryNames[16] = {
    "export", "import", "resource", "exception", "security", "base relocation", "debug",
    "architecture", "global pointer", "TLS", "load configuration", "bound import",
    "import address table", "delay import", "runtime descriptor", "reserved"};

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// Little-endian values at an offset of a byte range, or nothing when they do not fit in it.
class Bytes {
public:
    explicit Bytes(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    size_t size() const { return bytes_.size(); }
    bool Has(uint64_t offset, uint64_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }
    template <class T>
    std::optional<T> Get(uint64_t offset) const {
        if (!Has(offset, sizeof(T))) return std::nullopt;
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        return value;
    }
    // A NUL-terminated name of at most `limit` characters, or nothing.
    std::optional<std::string> Name(uint64_t offset, size_t limit) const {
        if (offset >= bytes_.size()) return std::nullopt;
        const size_t room = std::min(bytes_.size() - static_cast<size_t>(offset), limit + 1);
        const auto* start = reinterpret_cast<const char*>(bytes_.data() + offset);
        const void* end = std::memchr(start, 0, room);
        if (end == nullptr) return std::nullopt;
        return std::string(start, static_cast<const char*>(end));
    }

private:
    std::span<const uint8_t> bytes_;
};

struct DataDirectory {
    uint32_t Rva = 0;
    uint32_t Size = 0;
};

struct RawSection {
    std::string Name;
    uint32_t VirtualSize = 0;
    uint32_t Rva = 0;
    uint32_t RawSize = 0;
    uint32_t RawOffset = 0;
    uint32_t Characteristics = 0;
    uint32_t Span() const { return VirtualSize != 0 ? VirtualSize : RawSize; }
    bool Executable() const { return (Characteristics & (kScnExecute | kScnCode)) != 0; }
};

struct Headers {
    uint16_t FileCharacteristics = 0;
    uint32_t EntryRva = 0;
    uint64_t ImageBase = 0;
    uint32_t SectionAlignment = 0;
    uint32_t SizeOfImage = 0;
    uint32_t SizeOfHeaders = 0;
    std::array<DataDirectory, 16> Directories{};
    std::vector<RawSection> Sections;
};

bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }
uint64_t AlignUp(uint64_t v, uint64_t alignment) { return (v + alignment - 1) / alignment * alignment; }

std::string Printable(const char* name, size_t length) {
    std::string out;
    for (size_t i = 0; i < length && name[i] != '\0'; ++i)
        out += (name[i] >= 0x21 && name[i] < 0x7F) ? name[i] : '?';
    return out;
}

using Parsed = std::variant<Headers, std::string>;

// The section table: each section's place in the file and in the image, in ascending order and
// apart by whole pages, since each gets its own protection.
std::optional<std::string> ParseSections(const Bytes& file, uint64_t table, unsigned count, Headers& h,
                                         size_t fileSize) {
    uint64_t end = AlignUp(h.SizeOfHeaders, h.SectionAlignment);
    for (unsigned i = 0; i < count; ++i) {
        const uint64_t at = table + 40ull * i;
        char name[8];
        for (unsigned c = 0; c < 8; ++c) name[c] = static_cast<char>(*file.Get<uint8_t>(at + c));
        RawSection s;
        s.Name = Printable(name, 8);
        s.VirtualSize = *file.Get<uint32_t>(at + 8);
        s.Rva = *file.Get<uint32_t>(at + 12);
        s.RawSize = *file.Get<uint32_t>(at + 16);
        s.RawOffset = *file.Get<uint32_t>(at + 20);
        s.Characteristics = *file.Get<uint32_t>(at + 36);
        const std::string who = "section " + (s.Name.empty() ? "#" + std::to_string(i) : s.Name);
        if (s.Rva % h.SectionAlignment != 0)
            return who + " at " + Hex(s.Rva) + " is not aligned to the section alignment " +
                   Hex(h.SectionAlignment);
        if (s.Rva < end)
            return who + " at " + Hex(s.Rva) + " overlaps the headers or the section before it";
        const uint64_t next = s.Rva + AlignUp(s.Span(), h.SectionAlignment);
        if (next > h.SizeOfImage)
            return who + " " + Hex(s.Rva) + "+" + Hex(s.Span()) + " lies outside the image (" +
                   Hex(h.SizeOfImage) + " bytes)";
        if (s.RawSize != 0 && uint64_t{s.RawOffset} + s.RawSize > fileSize)
            return who + " raw data " + Hex(s.RawOffset) + "+" + Hex(s.RawSize) +
                   " lies outside the file (" + Hex(fileSize) + " bytes)";
        if ((s.Characteristics & kScnWrite) != 0 && s.Executable())
            return who + " is writable and executable";
        end = next;
        h.Sections.push_back(std::move(s));
    }
    return std::nullopt;
}

Parsed ParseHeaders(std::span<const uint8_t> bytes) {
    const Bytes file(bytes);
    Headers h;
    if (file.size() < 0x40)
        return "truncated: " + std::to_string(file.size()) + " bytes, shorter than a DOS header";
    if (*file.Get<uint16_t>(0) != 0x5A4D) return std::string("no DOS signature (MZ)");
    const uint32_t nt = *file.Get<uint32_t>(0x3C);
    if (!file.Has(nt, 24))
        return "truncated: the NT headers at " + Hex(nt) + " lie past the end of the file (" +
               Hex(file.size()) + " bytes)";
    if (*file.Get<uint32_t>(nt) != 0x00004550) return "no PE signature at " + Hex(nt);
    const uint16_t machine = *file.Get<uint16_t>(nt + 4);
    if (machine != kMachineAmd64) return "machine " + Hex(machine) + " is not AMD64 (0x8664)";
    const unsigned sectionCount = *file.Get<uint16_t>(nt + 6);
    const uint16_t optionalSize = *file.Get<uint16_t>(nt + 20);
    h.FileCharacteristics = *file.Get<uint16_t>(nt + 22);
    const uint64_t opt = nt + 24ull;
    if (optionalSize < 112 || !file.Has(opt, optionalSize))
        return "truncated: the optional header (" + Hex(optionalSize) + " bytes at " + Hex(opt) +
               ") does not fit in the file";
    const uint16_t magic = *file.Get<uint16_t>(opt);
    if (magic != kMagicPe32Plus) return "optional header magic " + Hex(magic) + " is not PE32+ (0x20b)";
    const uint16_t subsystem = *file.Get<uint16_t>(opt + 68);
    if (subsystem != kSubsystemNative) return "subsystem " + std::to_string(subsystem) + " is not native (1)";
    if ((h.FileCharacteristics & kFileExecutable) == 0) return std::string("not an executable image");
    if ((h.FileCharacteristics & kFileRelocsStripped) != 0)
        return std::string("relocations stripped: the image could run only at its preferred base");
    h.EntryRva = *file.Get<uint32_t>(opt + 16);
    h.ImageBase = *file.Get<uint64_t>(opt + 24);
    h.SectionAlignment = *file.Get<uint32_t>(opt + 32);
    const uint32_t fileAlignment = *file.Get<uint32_t>(opt + 36);
    h.SizeOfImage = *file.Get<uint32_t>(opt + 56);
    h.SizeOfHeaders = *file.Get<uint32_t>(opt + 60);
    const uint32_t directoryCount = *file.Get<uint32_t>(opt + 108);
    if (!PowerOfTwo(h.SectionAlignment) || h.SectionAlignment % kPage != 0)
        return "section alignment " + Hex(h.SectionAlignment) + " is not a power of two of whole pages";
    if (!PowerOfTwo(fileAlignment) || fileAlignment > h.SectionAlignment)
        return "file alignment " + Hex(fileAlignment) + " is not a power of two up to the section alignment";
    if (h.SizeOfImage == 0 || h.SizeOfImage > kMaxImageSize)
        return "size of image " + Hex(h.SizeOfImage) + " is empty or larger than " + Hex(kMaxImageSize);
    if (directoryCount > 16 || 112ull + 8ull * directoryCount > optionalSize)
        return std::to_string(directoryCount) + " data directories do not fit in the optional header";
    for (unsigned d = 0; d < directoryCount; ++d)
        h.Directories[d] = {*file.Get<uint32_t>(opt + 112 + 8 * d), *file.Get<uint32_t>(opt + 116 + 8 * d)};
    if (sectionCount == 0 || sectionCount > kMaxSections)
        return std::to_string(sectionCount) + " sections (1 to " + std::to_string(kMaxSections) + " accepted)";
    const uint64_t table = opt + optionalSize;
    if (!file.Has(table, 40ull * sectionCount))
        return "truncated: the section table (" + std::to_string(sectionCount) + " sections at " + Hex(table) +
               ") runs past the end of the file";
    if (h.SizeOfHeaders < table + 40ull * sectionCount || h.SizeOfHeaders > file.size() ||
        h.SizeOfHeaders > h.SizeOfImage)
        return "size of headers " + Hex(h.SizeOfHeaders) + " does not cover the section table or exceeds the file";
    if (auto refusal = ParseSections(file, table, sectionCount, h, file.size())) return *refusal;
    for (unsigned d = 0; d < 16; ++d) {
        const DataDirectory dir = h.Directories[d];
        // the certificate table is the one directory that holds a file offset, not an address
        if (d == kDirSecurity || dir.Size == 0) continue;
        if (uint64_t{dir.Rva} + dir.Size > h.SizeOfImage)
            return std::string("the ") + kDirectoryNames[d] + " directory " + Hex(dir.Rva) + "+" + Hex(dir.Size) +
                   " lies outside the image";
    }
    if (h.Directories[kDirTls].Size != 0)
        return std::string("a TLS directory: thread-local data and TLS callbacks are not supported");
    if (h.Directories[kDirDelayImport].Size != 0) return std::string("delay-load imports are not supported");
    const bool entryInCode = std::any_of(h.Sections.begin(), h.Sections.end(), [&](const RawSection& s) {
        return s.Executable() && h.EntryRva >= s.Rva && h.EntryRva - s.Rva < s.Span();
    });
    if (!entryInCode) return "entry point " + Hex(h.EntryRva) + " is not in an executable section";
    return h;
}

PageAccess AccessOf(uint32_t characteristics) {
    if ((characteristics & (kScnExecute | kScnCode)) != 0) return PageAccess::ReadExecute;
    if ((characteristics & kScnWrite) != 0) return PageAccess::ReadWrite;
    return PageAccess::Read;
}

int ProtOf(PageAccess access) {
    switch (access) {
    case PageAccess::ReadExecute: return PROT_READ | PROT_EXEC;
    case PageAccess::ReadWrite: return PROT_READ | PROT_WRITE;
    case PageAccess::Read: break;
    }
    return PROT_READ;
}

}  // namespace

// Builds a LoadedImage step by step; each step answers a refusal or nothing.
class ImageBuilder {
public:
    ImageBuilder(const Headers& headers, std::span<const uint8_t> file) : h_(headers), file_(file) {}

    LoadResult Build(const ImportResolver& resolve) {
        if (auto refusal = Map()) return LoadResult::Refused(*refusal);
        if (auto refusal = Relocate()) return LoadResult::Refused(*refusal);
        if (auto refusal = BindImports(resolve)) return LoadResult::Refused(*refusal);
        if (auto refusal = Scan()) return LoadResult::Refused(*refusal);
        if (auto refusal = Protect()) return LoadResult::Refused(*refusal);
        return LoadResult(std::move(image_));
    }

private:
    uint8_t* Base() const { return reinterpret_cast<uint8_t*>(image_.base_); }
    Bytes Mapped() const { return Bytes({Base(), image_.size_}); }

    std::optional<std::string> Map() {
        const size_t size = AlignUp(h_.SizeOfImage, kPage);
        void* mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mem == MAP_FAILED) return "mapping " + Hex(size) + " bytes failed: " + std::strerror(errno);
        image_.base_ = reinterpret_cast<uintptr_t>(mem);
        image_.size_ = size;
        image_.preferredBase_ = h_.ImageBase;
        image_.entryRva_ = h_.EntryRva;
        std::memcpy(Base(), file_.data(), h_.SizeOfHeaders);
        for (const RawSection& s : h_.Sections) {
            // the rest of the virtual size stays zero, as the fresh mapping is
            const uint32_t copied = std::min(s.RawSize, s.Span());
            if (copied != 0) std::memcpy(Base() + s.Rva, file_.data() + s.RawOffset, copied);
            image_.sections_.push_back({s.Name, s.Rva, s.Span(), s.RawOffset, std::min(s.RawSize, s.Span()),
                                        s.Characteristics, AccessOf(s.Characteristics)});
        }
        return std::nullopt;
    }

    // Base relocations, in blocks of one page each: the image is linked for ImageBase and runs
    // wherever mmap put it, so every absolute address in it moves by the difference.
    std::optional<std::string> Relocate() {
        const uint64_t delta = image_.base_ - h_.ImageBase;
        const DataDirectory dir = h_.Directories[kDirReloc];
        if (dir.Size == 0)
            return delta == 0 ? std::nullopt
                              : std::optional<std::string>("no base relocations, and the image could not be "
                                                           "placed at its preferred base " + Hex(h_.ImageBase));
        const Bytes image = Mapped();
        uint64_t offset = 0;
        while (offset + 8 <= dir.Size) {
            const uint64_t block = dir.Rva + offset;
            const uint32_t page = *image.Get<uint32_t>(block);
            const uint32_t blockSize = *image.Get<uint32_t>(block + 4);
            if (blockSize < 8 || blockSize % 2 != 0 || blockSize > dir.Size - offset)
                return "relocation block at " + Hex(block) + " has a bad size " + Hex(blockSize);
            for (uint64_t e = block + 8; e < block + blockSize; e += 2) {
                const uint16_t entry = *image.Get<uint16_t>(e);
                const unsigned type = entry >> 12;
                const uint64_t target = uint64_t{page} + (entry & 0xFFF);
                if (type == 0) continue;  // padding to the block's 4-byte end
                if (type != 10)
                    return "relocation type " + std::to_string(type) + " at " + Hex(target) +
                           " is not supported (only DIR64)";
                if (!image.Has(target, 8)) return "relocation target " + Hex(target) + " lies outside the image";
                uint64_t value;
                std::memcpy(&value, Base() + target, 8);
                value += delta;
                std::memcpy(Base() + target, &value, 8);
                image_.relocations_.push_back(static_cast<uint32_t>(target));
            }
            offset += blockSize;
        }
        return std::nullopt;
    }

    // The import descriptors, each a module and two parallel thunk arrays: the lookup table names
    // the routines, the import address table is where the code calls through.
    std::optional<std::string> BindImports(const ImportResolver& resolve) {
        const DataDirectory dir = h_.Directories[kDirImport];
        if (dir.Size == 0) return std::nullopt;
        const Bytes image = Mapped();
        std::vector<std::string> missing;
        for (uint64_t desc = dir.Rva;; desc += 20) {
            if (!image.Has(desc, 20)) return "import descriptor at " + Hex(desc) + " lies outside the image";
            const uint32_t lookup = *image.Get<uint32_t>(desc);
            const uint32_t nameRva = *image.Get<uint32_t>(desc + 12);
            const uint32_t iat = *image.Get<uint32_t>(desc + 16);
            if (lookup == 0 && nameRva == 0 && iat == 0) break;
            const auto module = image.Name(nameRva, kMaxImportName);
            if (!module) return "import descriptor at " + Hex(desc) + " names no module";
            for (uint64_t i = 0;; ++i) {
                const uint64_t slot = iat + 8 * i;
                const auto thunk = image.Get<uint64_t>((lookup != 0 ? lookup : iat) + 8 * i);
                if (!thunk || !image.Has(slot, 8))
                    return "the imports of " + *module + " run outside the image";
                if (*thunk == 0) break;
                if ((*thunk >> 63) != 0)
                    return "import by ordinal: " + *module + " ordinal " + std::to_string(*thunk & 0xFFFF) +
                           " (only imports by name are resolved)";
                const auto name = image.Name((*thunk & 0x7FFFFFFF) + 2, kMaxImportName);
                if (!name || (*thunk >> 31) != 0)
                    return "import " + std::to_string(i) + " of " + *module + " names no routine";
                if (image_.imports_.size() >= kMaxImports) return std::string("too many imports");
                void* address = resolve ? resolve(*module, *name) : nullptr;
                if (address == nullptr) missing.push_back(*module + "!" + *name);
                std::memcpy(Base() + slot, &address, 8);
                image_.imports_.push_back({*module, *name, static_cast<uint32_t>(slot), address});
            }
        }
        if (missing.empty()) return std::nullopt;
        std::string text = "unresolved imports: ";
        for (size_t i = 0; i < missing.size(); ++i) text += (i ? ", " : "") + missing[i];
        return text;
    }

    // The sweep of a section's code costs milliseconds, and a test run loads the same image
    // thousands of times: its findings are kept per process, by the section's bytes in the file,
    // as offsets into the section (the image's relocations do not change an instruction's form).
    struct CachedSite {
        uint32_t Offset;
        uint8_t Length;
        PrivilegedForm Form;
        std::string Text;
    };
    static std::vector<CachedSite> SitesOf(std::span<const uint8_t> fileBytes, std::span<const uint8_t> mapped,
                                           uint64_t address) {
        static std::mutex lock;
        static std::map<std::string, std::vector<CachedSite>> cache;
        std::string key(reinterpret_cast<const char*>(fileBytes.data()), fileBytes.size());
        key += std::to_string(mapped.size());
        {
            std::lock_guard<std::mutex> g(lock);
            if (auto it = cache.find(key); it != cache.end()) return it->second;
        }
        std::vector<CachedSite> sites;
        for (PrivilegedSite& site : ScanPrivileged(mapped, address))
            sites.push_back({static_cast<uint32_t>(site.Address - address), site.Length, site.Form, std::move(site.Text)});
        std::lock_guard<std::mutex> g(lock);
        return cache.emplace(std::move(key), std::move(sites)).first->second;
    }

    std::optional<std::string> Scan() {
        for (const ImageSection& s : image_.sections_) {
            if (s.Access != PageAccess::ReadExecute) continue;
            const uint64_t address = image_.base_ + s.Rva;
            const auto fileBytes = s.FileSize == 0 ? std::span<const uint8_t>() : file_.subspan(s.FileOffset, s.FileSize);
            for (const CachedSite& c : SitesOf(fileBytes, {Base() + s.Rva, s.VirtualSize},
                                               address)) {
                PrivilegedSite site{address + c.Offset, c.Length, c.Form, c.Text};
                if (site.Form == PrivilegedForm::Unsupported)
                    return "privileged instruction at " + Hex(site.Address - image_.base_ + h_.ImageBase) +
                           ": " + site.Text + " (the emulation answers only reads of CR8 and loads from the "
                           "shared user data page)";
                image_.privileged_.push_back(std::move(site));
            }
        }
        return std::nullopt;
    }

    // Read-only everywhere first (headers, and the gaps between sections), then each section as
    // its characteristics ask; discardable ones (INIT, .reloc) stay mapped.
    std::optional<std::string> Protect() {
        if (mprotect(Base(), image_.size_, PROT_READ) != 0)
            return std::string("mprotect of the image failed: ") + std::strerror(errno);
        for (const ImageSection& s : image_.sections_) {
            if (s.VirtualSize == 0) continue;
            if (mprotect(Base() + s.Rva, AlignUp(s.VirtualSize, kPage), ProtOf(s.Access)) != 0)
                return "mprotect of section " + s.Name + " failed: " + std::strerror(errno);
        }
        if (!InstallPrivilegedFaultHandler())
            return std::string("the fault handler for privileged instructions could not be installed");
        for (const ImageSection& s : image_.sections_) {
            if (s.Access != PageAccess::ReadExecute || s.VirtualSize == 0) continue;
            const int slot = RegisterCodeRange(Base() + s.Rva, s.VirtualSize);
            if (slot < 0) return std::string("too many code ranges registered with the fault handler");
            image_.codeRanges_.push_back(slot);
        }
        return std::nullopt;
    }

    const Headers& h_;
    std::span<const uint8_t> file_;
    LoadedImage image_;
};

LoadedImage::LoadedImage(LoadedImage&& other) noexcept { *this = std::move(other); }

LoadedImage& LoadedImage::operator=(LoadedImage&& other) noexcept {
    if (this == &other) return *this;
    Release();
    base_ = std::exchange(other.base_, 0);
    size_ = std::exchange(other.size_, 0);
    preferredBase_ = other.preferredBase_;
    entryRva_ = other.entryRva_;
    sections_ = std::move(other.sections_);
    imports_ = std::move(other.imports_);
    relocations_ = std::move(other.relocations_);
    privileged_ = std::move(other.privileged_);
    codeRanges_ = std::move(other.codeRanges_);
    other.codeRanges_.clear();
    return *this;
}

LoadedImage::~LoadedImage() { Release(); }

void LoadedImage::Release() noexcept {
    for (int slot : codeRanges_) UnregisterCodeRange(slot);
    codeRanges_.clear();
    if (base_ != 0) munmap(reinterpret_cast<void*>(base_), size_);
    base_ = 0;
    size_ = 0;
}

bool LoadedImage::Contains(const void* address, size_t length) const {
    const auto a = reinterpret_cast<uintptr_t>(address);
    return a >= base_ && length <= size_ && a - base_ <= size_ - length;
}

const ImageSection* LoadedImage::Section(std::string_view name) const {
    for (const ImageSection& s : sections_)
        if (s.Name == name) return &s;
    return nullptr;
}

const std::string& LoadResult::error() const {
    static const std::string none;
    const auto* reason = std::get_if<std::string>(&value_);
    return reason != nullptr ? *reason : none;
}

std::optional<std::string> CheckImageHeaders(std::span<const uint8_t> file) {
    Parsed parsed = ParseHeaders(file);
    if (auto* refusal = std::get_if<std::string>(&parsed)) return *refusal;
    return std::nullopt;
}

LoadResult LoadImage(std::span<const uint8_t> file, const ImportResolver& resolve) {
    Parsed parsed = ParseHeaders(file);
    if (auto* refusal = std::get_if<std::string>(&parsed)) return LoadResult::Refused(std::move(*refusal));
    return ImageBuilder(std::get<Headers>(parsed), file).Build(resolve);
}

LoadResult LoadImageFile(const std::string& path, const ImportResolver& resolve) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return LoadResult::Refused("cannot open " + path + ": " + std::strerror(errno));
    std::vector<uint8_t> bytes;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.insert(bytes.end(), chunk, chunk + in.gcount());
        if (bytes.size() > kMaxImageSize) return LoadResult::Refused(path + " is larger than " + Hex(kMaxImageSize));
    }
    if (in.bad()) return LoadResult::Refused("cannot read " + path);
    return LoadImage(bytes, resolve);
}

}  // namespace lmscr::kernel
