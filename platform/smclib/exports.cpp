// The class library's export table (smclib_exports.h).
#include "smclib_exports.h"

#include "smclib.h"

namespace lmscr::smclib {
namespace {

// As the kernel's table: only a routine of the platform's convention converts.
template <typename R, typename... A>
void* Platform(R(NTAPI* routine)(A...)) {
    return reinterpret_cast<void*>(routine);
}

#define SMCLIB(name) {"smclib.sys", #name, Platform(name)}

const kernel::KernelExport kLibraryExports[] = {
    SMCLIB(SmartcardInitialize), SMCLIB(SmartcardExit), SMCLIB(SmartcardDeviceControl),
    SMCLIB(SmartcardAcquireRemoveLock), SMCLIB(SmartcardReleaseRemoveLock),
    SMCLIB(SmartcardReleaseRemoveLockAndWait), SMCLIB(SmartcardLogError), SMCLIB(SmartcardGetDebugLevel),
    SMCLIB(SmartcardSetDebugLevel), SMCLIB(SmartcardUpdateCardCapabilities), SMCLIB(SmartcardT0Request),
    SMCLIB(SmartcardT0Reply), SMCLIB(SmartcardT1Request), SMCLIB(SmartcardT1Reply),
};

#undef SMCLIB

}  // namespace

std::span<const kernel::KernelExport> LibraryExports() { return kLibraryExports; }

}  // namespace lmscr::smclib
