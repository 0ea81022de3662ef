#include "driver_image.h"

#include "exports.h"
#include "smclib_exports.h"

#include <cstdio>
#include <cstdlib>

namespace lmscr {

void* ResolveDriverImport(std::string_view module, std::string_view name) {
    const std::string m(module), n(name);
    if (void* a = kernel::FindExport(kernel::KernelExports(), m.c_str(), n.c_str())) return a;
    return kernel::FindExport(smclib::LibraryExports(), m.c_str(), n.c_str());
}

std::unique_ptr<DriverImage> DriverImage::Load(const std::string& path, std::string* error) {
    kernel::LoadResult loaded = kernel::LoadImageFile(path, ResolveDriverImport);
    if (!loaded) {
        if (error) *error = path + ": " + loaded.error();
        return nullptr;
    }
    return std::unique_ptr<DriverImage>(new DriverImage(path, std::move(loaded.value())));
}

PDRIVER_INITIALIZE DriverImage::Entry() const { return reinterpret_cast<PDRIVER_INITIALIZE>(image_.Entry()); }

std::unique_ptr<DriverImage> DriverImageFromEnvironment() {
    const char* path = std::getenv("LMSCR_IMAGE");
    if (path == nullptr || *path == '\0') return nullptr;
    std::string error;
    auto image = DriverImage::Load(path, &error);
    if (!image) {
        std::fprintf(stderr, "LMSCR_IMAGE: %s\n", error.c_str());
        std::exit(2);
    }
    return image;
}

}  // namespace lmscr
