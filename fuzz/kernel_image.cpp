// The kernel image loader (platform/kernel/image.h): a driver image as a file, checked, mapped,
// relocated, bound and swept for privileged instructions; nothing of it is run.
//
// Input: the file.
// Oracle: no crash, no undefined behaviour; the header check and the loader agree (an image whose
// headers are refused is never loaded, and the loader gives the same reason); a loaded image has
// its entry point, every relocated slot and every bound import slot inside its mapping, each
// import bound to the address the resolver gave for its name, and every privileged site inside
// an executable section, of a form the emulation answers.
#include "image.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "input.h"

namespace {

using lmscr::fuzz::Fail;
using namespace lmscr::kernel;

// One distinct, recognisable address per name the image imports.
uint8_t gRoutines[256];
void* Resolve(std::string_view module, std::string_view name) {
    if (module.empty() || name.empty()) return nullptr;
    return &gRoutines[(name.size() * 31 + static_cast<uint8_t>(name[0])) % sizeof gRoutines];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> file(data, size);
    const std::optional<std::string> headers = CheckImageHeaders(file);
    LoadResult loaded = LoadImage(file, Resolve);
    if (headers) {
        if (loaded) Fail("an image whose headers are refused was loaded", *headers);
        if (loaded.error() != *headers) Fail("the loader and the header check give different reasons", loaded.error() + " / " + *headers);
        return 0;
    }
    if (!loaded) return 0;
    const LoadedImage& image = loaded.value();
    if (!image.Contains(image.Entry())) Fail("the entry point lies outside the image");
    for (uint32_t rva : image.Relocations())
        if (!image.Contains(image.At(rva), 8)) Fail("a relocated slot lies outside the image", std::to_string(rva));
    for (const ImageImport& i : image.Imports()) {
        if (!image.Contains(image.At(i.IatRva), 8)) Fail("an import slot lies outside the image", i.Name);
        if (i.Address != Resolve(i.Module, i.Name)) Fail("an import is bound to another address", i.Name);
        void* slot;
        std::memcpy(&slot, image.At(i.IatRva), sizeof slot);
        if (slot != i.Address) Fail("an import slot does not hold its address", i.Name);
    }
    for (const PrivilegedSite& p : image.PrivilegedSites()) {
        if (p.Form == PrivilegedForm::Unsupported) Fail("an image with an unsupported instruction was loaded", p.Text);
        bool inCode = false;
        for (const ImageSection& s : image.Sections())
            inCode |= s.Access == PageAccess::ReadExecute && p.Address >= image.Base() + s.Rva &&
                      p.Address + p.Length <= image.Base() + s.Rva + s.VirtualSize;
        if (!inCode) Fail("a privileged site lies outside the executable sections", p.Text);
    }
    return 0;
}
