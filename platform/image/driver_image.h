// The driver as the platform would load it: its kernel image (lmscr.sys, PE32+) mapped by the
// emulation's loader, its imports bound by name to the routines the kernel (ntoskrnl.exe,
// HAL.dll) and the class library (smclib.sys) export, its entry point ready for
// Kernel::Pnp().LoadDriver in place of the linked driver's DriverEntry.
#pragma once

#include "image.h"

#include <wdm.h>

#include <memory>
#include <string>
#include <string_view>

namespace lmscr {

class DriverImage {
public:
    // nullptr, with the reason in *error (one line), when the file cannot be read, is not an image
    // the loader takes, or imports a routine the emulation does not export (all of them named).
    static std::unique_ptr<DriverImage> Load(const std::string& path, std::string* error);

    // DriverEntry of the image, in the platform's calling convention.  The image must outlive
    // the driver object: keep this object until the kernel that loaded it is gone.
    PDRIVER_INITIALIZE Entry() const;
    const kernel::LoadedImage& Mapped() const { return image_; }
    const std::string& Path() const { return path_; }

private:
    DriverImage(std::string path, kernel::LoadedImage image) : path_(std::move(path)), image_(std::move(image)) {}
    std::string path_;
    kernel::LoadedImage image_;
};

// The address `module` exports as `name` to a driver image, or nullptr.
void* ResolveDriverImport(std::string_view module, std::string_view name);

// The image named by LMSCR_IMAGE, loaded afresh for each call (a test's kernel loads its own), or
// nullptr when the variable is unset; a set variable naming no loadable image ends the process
// with the reason, so that a run meant for the image never passes on the linked driver.
std::unique_ptr<DriverImage> DriverImageFromEnvironment();

}  // namespace lmscr
