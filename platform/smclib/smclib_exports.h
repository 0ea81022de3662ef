// smclib_exports.h - the routines the class library exports to a driver image, under the module
// name smclib.sys, in the kernel's table format (exports.h).  Every address is a routine of the
// platform's calling convention.
#pragma once

#include <span>

#include "exports.h"

namespace lmscr::smclib {

// Every routine of the class library a reader driver's image may import.
std::span<const kernel::KernelExport> LibraryExports();

}  // namespace lmscr::smclib
