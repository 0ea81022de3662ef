// device_control.cpp - SmartcardDeviceControl: the standard smart card requests, checked here and
// served by the reader functions of the driver.
//
// Every request is buffered: its input and its output share the system buffer, so a request's
// input is read before anything is written.  What each request carries, and the checks made
// before the reader is touched (a short input is a bad parameter, a short output a small buffer):
//
//   request         input                          output                       refused with
//   POWER           ULONG 0 down, 1 cold, 2 warm   the ATR (reset: room for 33) INVALID_PARAMETER,
//                                                                               BUFFER_TOO_SMALL, NO_MEDIA
//   GET_ATTRIBUTE   ULONG attribute id             the value (attributes.cpp)   INVALID_PARAMETER, NOT_SUPPORTED,
//                                                                               NO_MEDIA, INVALID_DEVICE_STATE,
//                                                                               BUFFER_TOO_SMALL
//   SET_ATTRIBUTE   ULONG attribute id, value      -                            INVALID_PARAMETER, NOT_SUPPORTED
//   GET_STATE       -                              ULONG card state             BUFFER_TOO_SMALL
//   SET_PROTOCOL    ULONG SCARD_PROTOCOL_* mask    ULONG protocol selected      INVALID_PARAMETER, BUFFER_TOO_SMALL,
//                                                                               NO_MEDIA, INVALID_DEVICE_STATE
//   TRANSMIT        SCARD_IO_REQUEST, APDU         SCARD_IO_REQUEST {p, 8},     INVALID_PARAMETER, BUFFER_TOO_SMALL,
//                                                  answer (room for SW1 SW2)    NO_MEDIA, INVALID_DEVICE_STATE
//   IS_PRESENT,     -                              -                            DEVICE_BUSY (one already parked)
//   IS_ABSENT
//   GET_LAST_ERROR  -                              ULONG status                 BUFFER_TOO_SMALL
//   EJECT, SWALLOW, CONFISCATE: their reader functions; any other code: RDF_IOCTL_VENDOR with the
//   request in OsData->CurrentIrp.  A missing reader function: INVALID_DEVICE_REQUEST.
//
// The reader functions of one device run one at a time: a request enters through the ReaderIdle
// gate and leaves it before its completion.  The gate's wait has no time-out of its own; it lasts
// as long as the request ahead of it, whose every wait for the reader or the card is bounded.
#include "smclib_core.h"

namespace lmscr::smclib {
namespace {

constexpr ULONG kStatusWordBytes = 2;  // SW1 SW2 end every answer (ISO/IEC 7816-4 5.1.3)
constexpr ULONG kMinApduBytes = 4;     // CLA INS P1 P2

struct Request {
    PIRP irp;
    ULONG code;
    PUCHAR buffer;  // the system buffer: input first, then output
    ULONG in;
    ULONG out;
};

ULONG ReadUlong(const Request &r, ULONG offset = 0) {
    ULONG value = 0;
    RtlCopyMemory(&value, r.buffer + offset, sizeof(value));
    return value;
}

void WriteUlong(const Request &r, ULONG value) { RtlCopyMemory(r.buffer, &value, sizeof(value)); }

// ---- the gate that keeps reader functions one at a time ---------------------------------------

void EnterReader(PSMARTCARD_OS_DATA os) {
    KeWaitForSingleObject(&os->ReaderIdle, Executive, KernelMode, FALSE, nullptr);
    // The gate is a synchronization event: exactly one waiter gets through per signal.
    if (InterlockedExchange(&os->ReaderBusy, 1) != 0)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, kBugReaderReentered, reinterpret_cast<ULONG_PTR>(os), 0, 0);
}

void LeaveReader(PSMARTCARD_OS_DATA os) {
    InterlockedExchange(&os->ReaderBusy, 0);
    KeSetEvent(&os->ReaderIdle, IO_NO_INCREMENT, FALSE);
}

// ---- checks that need no card state ----------------------------------------------------------

NTSTATUS CheckBuffers(const Request &r) {
    switch (r.code) {
    case IOCTL_SMARTCARD_POWER: {
        if (r.in < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
        const ULONG minor = ReadUlong(r);
        if (minor != SCARD_POWER_DOWN && minor != SCARD_COLD_RESET && minor != SCARD_WARM_RESET)
            return STATUS_INVALID_PARAMETER;
        // The reader copies the ATR only when it fits and reports success either way; a caller
        // that gets success must also get the ATR.
        if (minor != SCARD_POWER_DOWN && r.out < kAtrRoomBytes) return STATUS_BUFFER_TOO_SMALL;
        return STATUS_SUCCESS;
    }
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
        return r.in < sizeof(ULONG) ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    case IOCTL_SMARTCARD_GET_STATE:
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
        return r.out < sizeof(ULONG) ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
    case IOCTL_SMARTCARD_SET_PROTOCOL:
        if (r.in < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
        if ((ReadUlong(r) & (SCARD_PROTOCOL_Tx | SCARD_PROTOCOL_RAW)) == 0) return STATUS_INVALID_PARAMETER;
        // The reader writes the selected protocol without looking at the room.
        return r.out < sizeof(ULONG) ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
    case IOCTL_SMARTCARD_TRANSMIT: {
        if (r.in < sizeof(SCARD_IO_REQUEST)) return STATUS_INVALID_PARAMETER;
        const ULONG header_bytes = ReadUlong(r, FIELD_OFFSET(SCARD_IO_REQUEST, cbPciLength));
        if (header_bytes < sizeof(SCARD_IO_REQUEST) || header_bytes > r.in) return STATUS_INVALID_PARAMETER;
        const ULONG protocol = ReadUlong(r, FIELD_OFFSET(SCARD_IO_REQUEST, dwProtocol));
        if (protocol != SCARD_PROTOCOL_RAW && r.in - header_bytes < kMinApduBytes) return STATUS_INVALID_PARAMETER;
        return r.out < sizeof(SCARD_IO_REQUEST) + kStatusWordBytes ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
    }
    default:
        return STATUS_SUCCESS;
    }
}

// ---- requests served with the reader entered ---------------------------------------------------

// The card state a request needs: a card at all, then a card that has answered a reset.
NTSTATUS NeedCard(const SMARTCARD_EXTENSION &ext, ULONG at_least) {
    const ULONG state = ext.ReaderCapabilities.CurrentState;
    if (!CardPresent(state)) return STATUS_NO_MEDIA;
    return state < at_least ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS;
}

NTSTATUS CallReader(SMARTCARD_EXTENSION &ext, ULONG slot, const Request &r, ULONG minor, ULONG &information) {
    PRDF_FUNCTION function = ext.ReaderFunction[slot];
    if (function == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    ext.IoRequest.RequestBuffer = r.buffer;
    ext.IoRequest.RequestBufferLength = r.in;
    ext.IoRequest.ReplyBuffer = r.buffer;
    ext.IoRequest.ReplyBufferLength = r.out;
    ext.IoRequest.Information = &information;
    ext.MajorIoControlCode = r.code;
    ext.MinorIoControlCode = minor;
    ext.OsData->CurrentIrp = r.irp;
    NTSTATUS status = function(&ext);
    ext.OsData->CurrentIrp = nullptr;
    ext.IoRequest.Information = nullptr;
    ext.IoRequest.RequestBuffer = nullptr;
    ext.IoRequest.ReplyBuffer = nullptr;
    // Only card tracking may leave its request pending; a request completed with
    // STATUS_PENDING would never reach its caller.
    if (status == STATUS_PENDING) status = STATUS_UNSUCCESSFUL;
    return status;
}

NTSTATUS Transmit(SMARTCARD_EXTENSION &ext, const Request &r, ULONG &information) {
    NTSTATUS status = NeedCard(ext, SCARD_SPECIFIC);
    if (!NT_SUCCESS(status)) return status;
    const ULONG selected = ext.CardCapabilities.Protocol.Selected;
    // The T=0 and T=1 routines take the header's protocol on trust.
    if (selected == 0 || ReadUlong(r, FIELD_OFFSET(SCARD_IO_REQUEST, dwProtocol)) != selected)
        return STATUS_INVALID_DEVICE_STATE;
    // A command that failed half way must not leave its block state behind for the next one;
    // T1_INIT stays, since the IFSD request after a reset is still due.
    if (ext.T1.State != T1_INIT) ext.T1.State = T1_START;
    if (ext.T1.State == T1_INIT && ext.OsData->SuppressT1IfsRequest) ext.T1.IfsdRequested = TRUE;
    ext.SmartcardRequest.BufferLength = 0;
    ext.SmartcardReply.BufferLength = 0;
    return CallReader(ext, RDF_TRANSMIT, r, 0, information);
}

NTSTATUS ServeEntered(SMARTCARD_EXTENSION &ext, const Request &r, ULONG &information) {
    switch (r.code) {
    case IOCTL_SMARTCARD_POWER: {
        NTSTATUS status = NeedCard(ext, SCARD_ABSENT + 1);
        if (!NT_SUCCESS(status)) return status;
        return CallReader(ext, RDF_CARD_POWER, r, ReadUlong(r), information);
    }
    case IOCTL_SMARTCARD_SET_PROTOCOL: {
        NTSTATUS status = NeedCard(ext, SCARD_NEGOTIABLE);
        if (!NT_SUCCESS(status)) return status;
        return CallReader(ext, RDF_SET_PROTOCOL, r, ReadUlong(r), information);
    }
    case IOCTL_SMARTCARD_TRANSMIT:
        return Transmit(ext, r, information);
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
        return GetAttribute(ext, ReadUlong(r), r.buffer, r.out, information);
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
        return SetAttribute(ext, ReadUlong(r), r.buffer + sizeof(ULONG), r.in - sizeof(ULONG));
    case IOCTL_SMARTCARD_EJECT:
        return CallReader(ext, RDF_CARD_EJECT, r, 0, information);
    case IOCTL_SMARTCARD_SWALLOW:
        return CallReader(ext, RDF_READER_SWALLOW, r, 0, information);
    case IOCTL_SMARTCARD_CONFISCATE:
        return CallReader(ext, RDF_CARD_CONFISCATE, r, 0, information);
    case IOCTL_SMARTCARD_GET_PERF_CNTR:
        return STATUS_INVALID_DEVICE_REQUEST;
    default: {
        // The vendor function reports its information in the request itself.
        r.irp->IoStatus.Information = 0;
        NTSTATUS status = CallReader(ext, RDF_IOCTL_VENDOR, r, 0, information);
        if (information == 0) information = static_cast<ULONG>(r.irp->IoStatus.Information);
        return status;
    }
    }
}

NTSTATUS Complete(SMARTCARD_EXTENSION &ext, const Request &r, NTSTATUS status, ULONG information) {
    // The reply length comes from reader code; one beyond the caller's buffer means that
    // buffer has already been overrun, and nothing of it is handed back.
    if (information > r.out) {
        information = 0;
        if (NT_SUCCESS(status)) status = STATUS_BUFFER_TOO_SMALL;
    }
    if (!NT_SUCCESS(status) && r.code != IOCTL_SMARTCARD_GET_LAST_ERROR)
        InterlockedExchange(&ext.OsData->LastError, status);
    r.irp->IoStatus.Status = status;
    r.irp->IoStatus.Information = NT_ERROR(status) ? 0 : information;
    IoCompleteRequest(r.irp, IO_NO_INCREMENT);
    return status;
}

// ---- card tracking -----------------------------------------------------------------------------

// IS_PRESENT / IS_ABSENT.  The condition is tested, and the request parked, under the OsData
// spin lock that the reader holds while it stores a new card state and completes the parked
// request; CardTracking runs under it too, so no presence change can complete the request
// before its cancel routine is in place.
NTSTATUS TrackCard(SMARTCARD_EXTENSION &ext, const Request &r) {
    PSMARTCARD_OS_DATA os = ext.OsData;
    PRDF_FUNCTION tracking = ext.ReaderFunction[RDF_CARD_TRACKING];
    if (tracking == nullptr) return Complete(ext, r, STATUS_INVALID_DEVICE_REQUEST, 0);

    EnterReader(os);
    KIRQL irql;
    KeAcquireSpinLock(&os->SpinLock, &irql);
    const bool want_card = r.code == IOCTL_SMARTCARD_IS_PRESENT;
    if (CardPresent(ext.ReaderCapabilities.CurrentState) == want_card) {
        KeReleaseSpinLock(&os->SpinLock, irql);
        LeaveReader(os);
        return Complete(ext, r, STATUS_SUCCESS, 0);
    }
    if (os->NotificationIrp != nullptr) {
        KeReleaseSpinLock(&os->SpinLock, irql);
        LeaveReader(os);
        return Complete(ext, r, STATUS_DEVICE_BUSY, 0);
    }
    os->NotificationIrp = r.irp;
    IoMarkIrpPending(r.irp);
    os->CurrentIrp = r.irp;
    ext.MajorIoControlCode = r.code;
    ext.MinorIoControlCode = 0;
    NTSTATUS status = tracking(&ext);
    os->CurrentIrp = nullptr;

    // Take the request back if the reader did not park it, or if it was cancelled before its
    // cancel routine existed (IoCancelIrp then found none to call).  A cancel routine that has
    // run cleared NotificationIrp under the cancel spin lock, and the request is its to complete.
    bool complete = false;
    KIRQL cancel_irql;
    IoAcquireCancelSpinLock(&cancel_irql);
    if (os->NotificationIrp == r.irp && (status != STATUS_PENDING || r.irp->Cancel)) {
        IoSetCancelRoutine(r.irp, nullptr);
        os->NotificationIrp = nullptr;
        complete = true;
        if (status == STATUS_PENDING) status = STATUS_CANCELLED;
    }
    IoReleaseCancelSpinLock(cancel_irql);
    KeReleaseSpinLock(&os->SpinLock, irql);
    LeaveReader(os);
    if (complete) Complete(ext, r, status, 0);
    // Marked pending above: whoever completes it, the caller learns the result from the request.
    return STATUS_PENDING;
}

}  // namespace
}  // namespace lmscr::smclib

using namespace lmscr::smclib;

extern "C" NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
    if (Irp == nullptr) return STATUS_INVALID_PARAMETER;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr ||
        sp->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        // Not a request of an initialised reader: nothing can serve it.
        const NTSTATUS status = SmartcardExtension == nullptr ? STATUS_INVALID_PARAMETER : STATUS_INVALID_DEVICE_STATE;
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    SMARTCARD_EXTENSION &ext = *SmartcardExtension;
    const Request r{Irp, sp->Parameters.DeviceIoControl.IoControlCode,
                    static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer),
                    sp->Parameters.DeviceIoControl.InputBufferLength,
                    sp->Parameters.DeviceIoControl.OutputBufferLength};
    // A buffered request with lengths but no system buffer has nothing to read or write.
    if (r.buffer == nullptr && (r.in != 0 || r.out != 0)) return Complete(ext, r, STATUS_INVALID_PARAMETER, 0);

    if (r.code == IOCTL_SMARTCARD_IS_PRESENT || r.code == IOCTL_SMARTCARD_IS_ABSENT) return TrackCard(ext, r);

    NTSTATUS status = CheckBuffers(r);
    if (!NT_SUCCESS(status)) return Complete(ext, r, status, 0);
    ULONG information = 0;
    switch (r.code) {
    case IOCTL_SMARTCARD_GET_STATE:
        WriteUlong(r, ext.ReaderCapabilities.CurrentState);
        return Complete(ext, r, STATUS_SUCCESS, sizeof(ULONG));
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
        WriteUlong(r, static_cast<ULONG>(ext.OsData->LastError));
        return Complete(ext, r, STATUS_SUCCESS, sizeof(ULONG));
    default:
        break;
    }
    EnterReader(ext.OsData);
    status = ServeEntered(ext, r, information);
    LeaveReader(ext.OsData);
    return Complete(ext, r, status, information);
}
