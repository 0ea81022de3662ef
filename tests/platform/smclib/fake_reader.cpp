#include "fake_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "smclib_core.h"

namespace lmscr::smclib::test {
namespace {

struct ReaderDevice {
    SMARTCARD_EXTENSION ext;  // first member, as a reader driver keeps it
    Script *script;
};

// Handed from the Rig to the driver's entry, which runs inside LoadDriver.
struct Pending {
    Script *script = nullptr;
    std::function<void(SMARTCARD_EXTENSION &)> fill;
} gPending;

ULONG gDataRates[1] = {9600};

Script &ScriptOf(PSMARTCARD_EXTENSION ext) { return *reinterpret_cast<ReaderDevice *>(ext)->script; }

// Counts the reader functions running at once; a second one entering is what the library's
// gate must prevent.
class Inside {
public:
    explicit Inside(Script &s) : s_(s) { s_.max_inside = std::max(s_.max_inside, ++s_.inside); }
    ~Inside() { --s_.inside; }

private:
    Script &s_;
};

void Spend(const Script &s) {
    if (s.reader_ms == 0) return;
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(s.reader_ms) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS NTAPI FakeCardPower(PSMARTCARD_EXTENSION ext) {
    Script &s = ScriptOf(ext);
    Inside inside(s);
    s.calls.push_back("power " + std::to_string(ext->MinorIoControlCode));
    Spend(s);
    auto &caps = ext->CardCapabilities;
    std::memset(caps.ATR.Buffer, 0, sizeof(caps.ATR.Buffer));
    caps.ATR.Length = 0;
    caps.Protocol.Selected = 0;
    if (ext->MinorIoControlCode == SCARD_POWER_DOWN) {
        ext->ReaderCapabilities.CurrentState = SCARD_PRESENT;
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(s.power_status)) return s.power_status;
    const ULONG length = static_cast<ULONG>(s.atr.size());
    if (length <= ext->IoRequest.ReplyBufferLength) {
        std::memcpy(ext->IoRequest.ReplyBuffer, s.atr.data(), length);
        *ext->IoRequest.Information = length;
    }
    std::memcpy(caps.ATR.Buffer, s.atr.data(), length);
    caps.ATR.Length = static_cast<UCHAR>(length);
    return SmartcardUpdateCardCapabilities(ext);
}

NTSTATUS NTAPI FakeSetProtocol(PSMARTCARD_EXTENSION ext) {
    Script &s = ScriptOf(ext);
    Inside inside(s);
    const ULONG requested = ext->MinorIoControlCode;
    s.calls.push_back("protocol " + std::to_string(requested));
    Spend(s);
    const ULONG offered = ext->CardCapabilities.Protocol.Supported;
    ULONG chosen = 0;
    if (requested & offered & SCARD_PROTOCOL_T1) chosen = SCARD_PROTOCOL_T1;
    else if (requested & offered & SCARD_PROTOCOL_T0) chosen = SCARD_PROTOCOL_T0;
    std::memcpy(ext->IoRequest.ReplyBuffer, &chosen, sizeof(chosen));
    *ext->IoRequest.Information = chosen ? sizeof(ULONG) : 0;
    ext->CardCapabilities.Protocol.Selected = chosen;
    if (chosen == 0) return STATUS_INVALID_DEVICE_REQUEST;
    ext->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    return STATUS_SUCCESS;
}

// One exchange with the scripted card: what the library built goes out, the card's answer comes
// back into the reply buffer.
void Exchange(PSMARTCARD_EXTENSION ext, Script &s) {
    const auto &req = ext->SmartcardRequest;
    Bytes sent(req.Buffer, req.Buffer + req.BufferLength);
    s.sent.push_back(sent);
    Bytes answer = s.card ? s.card(sent) : Bytes{};
    auto &reply = ext->SmartcardReply;
    reply.BufferLength = static_cast<ULONG>(std::min<size_t>(answer.size(), reply.BufferSize));
    if (reply.BufferLength) std::memcpy(reply.Buffer, answer.data(), reply.BufferLength);
}

NTSTATUS NTAPI FakeTransmit(PSMARTCARD_EXTENSION ext) {
    Script &s = ScriptOf(ext);
    Inside inside(s);
    s.calls.push_back("transmit");
    s.t1_state_on_entry.push_back(ext->T1.State);
    Spend(s);
    switch (ext->CardCapabilities.Protocol.Selected) {
    case SCARD_PROTOCOL_T0: {
        ext->SmartcardRequest.BufferLength = 0;
        NTSTATUS status = SmartcardT0Request(ext);
        if (!NT_SUCCESS(status)) return status;
        Exchange(ext, s);
        return SmartcardT0Reply(ext);
    }
    case SCARD_PROTOCOL_T1:
        for (int block = 0; block < 16; ++block) {
            ext->SmartcardRequest.BufferLength = 0;
            NTSTATUS status = SmartcardT1Request(ext);
            if (!NT_SUCCESS(status)) return status;
            Exchange(ext, s);
            status = SmartcardT1Reply(ext);
            if (status != STATUS_MORE_PROCESSING_REQUIRED) return status;
        }
        return STATUS_IO_TIMEOUT;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

VOID NTAPI CancelTracking(PDEVICE_OBJECT device, PIRP irp) {
    auto *ext = static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension);
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    ext->OsData->NotificationIrp = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI FakeCardTracking(PSMARTCARD_EXTENSION ext) {
    Script &s = ScriptOf(ext);
    Inside inside(s);
    s.calls.push_back("tracking");
    PIRP irp = ext->OsData->NotificationIrp;
    if (s.cancel_before_tracking) IoCancelIrp(irp);
    if (s.tracking_status != STATUS_PENDING) return s.tracking_status;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, CancelTracking);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

NTSTATUS NTAPI FakeVendor(PSMARTCARD_EXTENSION ext) {
    Script &s = ScriptOf(ext);
    Inside inside(s);
    s.calls.push_back("vendor");
    Spend(s);
    PIRP irp = ext->OsData->CurrentIrp;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    s.vendor_code_seen = sp->Parameters.DeviceIoControl.IoControlCode;
    irp->IoStatus.Information = 0;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (s.vendor_code_seen == SCARD_CTL_CODE(2049)) {
        if (sp->Parameters.DeviceIoControl.OutputBufferLength < 8) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            const UCHAR version[8] = {0x50, 0x01, 0x00, 0x00, 1, 0, 7, 9};
            std::memcpy(irp->AssociatedIrp.SystemBuffer, version, sizeof(version));
            irp->IoStatus.Information = sizeof(version);
            status = STATUS_SUCCESS;
        }
    }
    irp->IoStatus.Status = status;
    return status;
}

void SetString(USHORT &length, UCHAR *buffer, const char *text) {
    length = static_cast<USHORT>(std::strlen(text) + 1);  // the zero byte counted
    std::memcpy(buffer, text, length);
}

void FillStandard(SMARTCARD_EXTENSION &ext) {
    ext.Version = SMCLIB_VERSION;
    SetString(ext.VendorAttr.VendorName.Length, ext.VendorAttr.VendorName.Buffer, "Testvendor");
    SetString(ext.VendorAttr.IfdType.Length, ext.VendorAttr.IfdType.Buffer, "Scripted Reader");
    ext.ReaderFunction[RDF_CARD_POWER] = FakeCardPower;
    ext.ReaderFunction[RDF_TRANSMIT] = FakeTransmit;
    ext.ReaderFunction[RDF_CARD_TRACKING] = FakeCardTracking;
    ext.ReaderFunction[RDF_SET_PROTOCOL] = FakeSetProtocol;
    ext.ReaderFunction[RDF_IOCTL_VENDOR] = FakeVendor;
    auto &caps = ext.ReaderCapabilities;
    caps.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    caps.ReaderType = SCARD_READER_TYPE_SERIAL;
    caps.CLKFrequency = {3580, 3580};
    caps.DataRate = {9600, 9600};
    caps.DataRatesSupported = {gDataRates, 1};
    caps.MaxIFSD = 254;
    ext.SmartcardRequest.BufferSize = 576;
    ext.SmartcardReply.BufferSize = 576;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    auto *ext = static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension);
    NTSTATUS status = STATUS_SUCCESS;
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) {
        if (!NT_SUCCESS(SmartcardAcquireRemoveLock(ext))) status = STATUS_DEVICE_REMOVED;
    } else {
        SmartcardReleaseRemoveLock(ext);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    auto *ext = static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP parked = ext->OsData->NotificationIrp;
    if (parked != nullptr) {
        IoSetCancelRoutine(parked, nullptr);
        parked->CancelIrql = irql;
        CancelTracking(device, parked);
    } else {
        IoReleaseCancelSpinLock(irql);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    auto *ext = static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension);
    Script &s = ScriptOf(ext);
    NTSTATUS status = SmartcardAcquireRemoveLock(ext);
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Status = STATUS_DEVICE_REMOVED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_REMOVED;
    }
    s.max_in_library = std::max(s.max_in_library, ++s.in_library);
    status = SmartcardDeviceControl(ext, irp);
    --s.in_library;
    SmartcardReleaseRemoveLock(ext);
    return status;
}

void NTAPI Unload(PDRIVER_OBJECT driver) {
    while (driver->DeviceObject != nullptr) {
        PDEVICE_OBJECT device = driver->DeviceObject;
        auto *reader = static_cast<ReaderDevice *>(device->DeviceExtension);
        // An unload holds no reference of its own; it takes one to give back and wait.
        if (!reader->script->removed && NT_SUCCESS(SmartcardAcquireRemoveLock(&reader->ext)))
            SmartcardReleaseRemoveLockAndWait(&reader->ext);
        SmartcardExit(&reader->ext);
        IoDeleteDevice(device);
    }
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = Unload;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(ReaderDevice), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto *reader = static_cast<ReaderDevice *>(device->DeviceExtension);
    reader->script = gPending.script;
    FillStandard(reader->ext);
    if (gPending.fill) gPending.fill(reader->ext);
    status = SmartcardInitialize(&reader->ext);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    reader->ext.OsData->DeviceObject = device;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

Rig::Rig(uint64_t seed, std::function<void(SMARTCARD_EXTENSION &)> fill) {
    kernel::Options options;
    options.seed = seed != 0 ? seed : kernel::Options::SeedFromEnvironment(1);
    kernel_ = std::make_unique<kernel::Kernel>(options);
    script_ = std::make_unique<Script>();
    gPending = {script_.get(), std::move(fill)};
    driver_ = kernel_->Pnp().LoadDriver("fakereader", Entry);
    gPending = {};
    device_ = driver_ != nullptr ? driver_->DeviceObject : nullptr;
    if (device_ != nullptr) handle = Open();
}

Rig::~Rig() {
    if (!finished_) {
        kernel::LeakReport report = Finish();
        EXPECT_TRUE(report.empty()) << "left behind:\n" << report.ToString();
    }
}

SMARTCARD_EXTENSION &Rig::Ext() { return *static_cast<PSMARTCARD_EXTENSION>(device_->DeviceExtension); }

kernel::Handle Rig::Open() {
    kernel::Handle h;
    EXPECT_EQ(K().Clients().OpenDevice(device_, h), STATUS_SUCCESS);
    return h;
}

kernel::IoResult Rig::Io(ULONG code, const Bytes &input, ULONG output_bytes) {
    return Io(handle, code, input, output_bytes);
}

kernel::IoResult Rig::Io(kernel::Handle &h, ULONG code, const Bytes &input, ULONG output_bytes) {
    return K().Clients().IoControl(h, code, input, output_bytes);
}

std::shared_ptr<kernel::PendingIo> Rig::Async(ULONG code, const Bytes &input, ULONG output_bytes) {
    return K().Clients().IoControlAsync(handle, code, input, output_bytes);
}

void Rig::UpdateCardState(ULONG state) {
    SMARTCARD_EXTENSION &ext = Ext();
    PSMARTCARD_OS_DATA os = ext.OsData;
    const ULONG before = ext.ReaderCapabilities.CurrentState;
    const bool changed = before == SCARD_UNKNOWN || CardPresent(before) != CardPresent(state);
    KIRQL irql;
    KeAcquireSpinLock(&os->SpinLock, &irql);
    ext.ReaderCapabilities.CurrentState = state;
    if (changed && os->NotificationIrp != nullptr) {
        KIRQL cancel_irql;
        IoAcquireCancelSpinLock(&cancel_irql);
        PIRP irp = os->NotificationIrp;
        if (irp != nullptr) IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(cancel_irql);
        if (irp != nullptr) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            os->NotificationIrp = nullptr;
        }
    }
    KeReleaseSpinLock(&os->SpinLock, irql);
}

void Rig::InsertAndReset(const Bytes &atr, ULONG protocol) {
    S().atr = atr;
    UpdateCardState(SCARD_PRESENT);
    EXPECT_EQ(Io(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), MAXIMUM_ATR_LENGTH).status, STATUS_SUCCESS);
    if (protocol != 0) {
        EXPECT_EQ(Io(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(protocol), 4).status, STATUS_SUCCESS);
    }
    S().calls.clear();
    S().sent.clear();
    S().t1_state_on_entry.clear();
}

kernel::LeakReport Rig::Finish() {
    finished_ = true;
    // A request thread whose request has completed may still be on its way out of the dispatch
    // routine, holding its IRP; the kernel's shutdown does not wait for it, so let it finish.
    kernel_->Sleep(1);
    if (handle.IsOpen()) K().Clients().Close(handle);
    kernel::LeakReport report = kernel_->Shutdown();
    if (::testing::Test::HasFailure())
        std::fprintf(stderr, "seed of this run: %llu\n", static_cast<unsigned long long>(kernel_->Seed()));
    return report;
}

Bytes Ulong(ULONG value) {
    Bytes out(4);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<UCHAR>(value >> (8 * i));
    return out;
}

ULONG UlongAt(const Bytes &bytes, size_t offset) {
    ULONG value = 0;
    for (int i = 0; i < 4 && offset + i < bytes.size(); ++i) value |= ULONG{bytes[offset + i]} << (8 * i);
    return value;
}

Bytes Concat(const Bytes &a, const Bytes &b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

Bytes TransmitInput(ULONG protocol, const Bytes &apdu, ULONG header_bytes) {
    Bytes out = Concat(Ulong(protocol), Ulong(header_bytes));
    out.resize(std::max<size_t>(header_bytes, 8), 0);
    return Concat(out, apdu);
}

}  // namespace lmscr::smclib::test
