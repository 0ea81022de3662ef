// remove_lock.cpp - the reader's remove lock: one reference per open handle and per request in
// progress, so that removal frees the records only when nobody can reach them any more.
//
// Built on the platform's IO_REMOVE_LOCK in OsData, whose own checks stop the machine on an
// over-release or a release-and-wait without a reference.  Using the lock before
// SmartcardInitialize or after SmartcardExit is the same kind of driver error and stops it too.
#include "smclib_core.h"

namespace {

PIO_REMOVE_LOCK LockOf(PSMARTCARD_EXTENSION ext) {
    if (ext == nullptr || ext->OsData == nullptr)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, lmscr::smclib::kBugNoOsData, reinterpret_cast<ULONG_PTR>(ext), 0, 0);
    return &ext->OsData->RemoveLock;
}

}  // namespace

extern "C" NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
    // Refused once SmartcardReleaseRemoveLockAndWait has begun (STATUS_DELETE_PENDING).
    return IoAcquireRemoveLock(LockOf(SmartcardExtension), SmartcardExtension);
}

extern "C" VOID SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
    IoReleaseRemoveLock(LockOf(SmartcardExtension), SmartcardExtension);
}

extern "C" VOID SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension) {
    // The caller gives back a reference of its own (the remove request's); a caller without
    // one (a failed add, an unload) takes one first.
    IoReleaseRemoveLockAndWait(LockOf(SmartcardExtension), SmartcardExtension);
}
