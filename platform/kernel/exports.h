// exports.h - the routines the kernel exports to a driver image, by the module and name the image
// imports them under.  A loader of a kernel-mode image resolves each import through this table
// (and the class library's, smclib/exports.h); a driver linked into the program calls the same
// routines through the headers.
//
// Every address is a routine of the platform's calling convention (NTAPI): the image's code
// passes its arguments that way.  Where the image's name differs from the emulation's routine
// (an allocation routine behind a macro that adds the call site, the x64 spin lock names, the C
// library's memory routines, which the platform's compiler calls for structure copies) the table
// holds a routine of that convention with the image's name and meaning.
#pragma once

#include <span>

namespace lmscr::kernel {

struct KernelExport {
    const char* Module;  // "ntoskrnl.exe", "HAL.dll" or "smclib.sys"
    const char* Name;
    void* Address;
};

// Every routine of ntoskrnl.exe and HAL.dll a driver image may import.
std::span<const KernelExport> KernelExports();

// The routine `module` exports as `name`; nullptr when it has none.
void* FindExport(std::span<const KernelExport> table, const char* module, const char* name);

}  // namespace lmscr::kernel
