// The serial device-control requests: settings kept and returned (baud rate, line control,
// special characters, time-outs, flow control), the modem lines, the port's status, the wait
// mask and the wait on it, and the purge.
#include "device_control.h"

#include <algorithm>
#include <array>

namespace lmscr::serial::internal {

namespace {

constexpr ULONG kValidEvents = 0x1FFF;  // SERIAL_EV_RXCHAR .. SERIAL_EV_EVENT2
constexpr ULONG kValidPurge =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
constexpr ULONG kMinBaud = 50;
constexpr ULONG kMaxBaud = 921600;

// ---- line settings ----------------------------------------------------------------------

NTSTATUS SetBaudRate(IoctlRequest& r) {
    const auto baud = r.Input<SERIAL_BAUD_RATE>();
    if (baud.BaudRate < kMinBaud || baud.BaudRate > kMaxBaud) return STATUS_INVALID_PARAMETER;
    PortLock guard(r.port);
    r.formatChanged = r.port->baud != baud.BaudRate;
    r.port->baud = baud.BaudRate;
    return STATUS_SUCCESS;
}

NTSTATUS GetBaudRate(IoctlRequest& r) {
    PortLock guard(r.port);
    r.Output(SERIAL_BAUD_RATE{r.port->baud});
    return STATUS_SUCCESS;
}

bool ValidLineControl(const SERIAL_LINE_CONTROL& lc) {
    if (lc.WordLength < 5 || lc.WordLength > 8) return false;
    if (lc.Parity > SPACE_PARITY) return false;
    if (lc.StopBits > STOP_BITS_2) return false;
    // A UART sends 1.5 stop bits only with 5-bit characters, and 2 stop bits only with longer
    // ones; the other pairings do not exist on the wire.
    if (lc.StopBits == STOP_BITS_1_5 && lc.WordLength != 5) return false;
    if (lc.StopBits == STOP_BITS_2 && lc.WordLength == 5) return false;
    return true;
}

NTSTATUS SetLineControl(IoctlRequest& r) {
    const auto lc = r.Input<SERIAL_LINE_CONTROL>();
    if (!ValidLineControl(lc)) return STATUS_INVALID_PARAMETER;
    PortLock guard(r.port);
    r.formatChanged = std::memcmp(&lc, &r.port->lineControl, sizeof lc) != 0;
    r.port->lineControl = lc;
    return STATUS_SUCCESS;
}

NTSTATUS GetLineControl(IoctlRequest& r) {
    PortLock guard(r.port);
    r.Output(r.port->lineControl);
    return STATUS_SUCCESS;
}

NTSTATUS SetChars(IoctlRequest& r) {
    const auto chars = r.Input<SERIAL_CHARS>();
    PortLock guard(r.port);
    // With software flow control on, XON and XOFF must differ or the receiver could not
    // tell them apart.
    if ((r.port->handflow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) &&
        chars.XonChar == chars.XoffChar)
        return STATUS_INVALID_PARAMETER;
    r.port->chars = chars;
    return STATUS_SUCCESS;
}

NTSTATUS GetChars(IoctlRequest& r) {
    PortLock guard(r.port);
    r.Output(r.port->chars);
    return STATUS_SUCCESS;
}

NTSTATUS SetTimeouts(IoctlRequest& r) {
    const auto t = r.Input<SERIAL_TIMEOUTS>();
    // All three read values MAXULONG would ask for "any byte" and "never" at once.
    if (t.ReadIntervalTimeout == kMaxUlong && t.ReadTotalTimeoutMultiplier == kMaxUlong &&
        t.ReadTotalTimeoutConstant == kMaxUlong)
        return STATUS_INVALID_PARAMETER;
    PortLock guard(r.port);
    r.port->timeouts = t;  // for reads and writes that become current from now on
    return STATUS_SUCCESS;
}

NTSTATUS GetTimeouts(IoctlRequest& r) {
    PortLock guard(r.port);
    r.Output(r.port->timeouts);
    return STATUS_SUCCESS;
}

NTSTATUS SetHandflow(IoctlRequest& r) {
    const auto hf = r.Input<SERIAL_HANDFLOW>();
    if ((hf.ControlHandShake & SERIAL_CONTROL_INVALID) || (hf.FlowReplace & SERIAL_FLOW_INVALID) ||
        (hf.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || hf.XonLimit < 0 || hf.XoffLimit < 0)
        return STATUS_INVALID_PARAMETER;
    PortLock guard(r.port);
    r.port->handflow = hf;
    return STATUS_SUCCESS;
}

NTSTATUS GetHandflow(IoctlRequest& r) {
    PortLock guard(r.port);
    r.Output(r.port->handflow);
    return STATUS_SUCCESS;
}

// ---- the lines and the port's status ----------------------------------------------------

NTSTATUS SetBreak(IoctlRequest& r) {
    PortLock guard(r.port);
    r.port->breakOn = r.code == IOCTL_SERIAL_SET_BREAK_ON;
    return STATUS_SUCCESS;
}

NTSTATUS SetDtr(IoctlRequest& r) {
    PortLock guard(r.port);
    r.port->dtr = r.code == IOCTL_SERIAL_SET_DTR;
    return STATUS_SUCCESS;
}

NTSTATUS SetRts(IoctlRequest& r) {
    PortLock guard(r.port);
    r.port->rts = r.code == IOCTL_SERIAL_SET_RTS;
    return STATUS_SUCCESS;
}

NTSTATUS GetDtrRts(IoctlRequest& r) {
    PortLock guard(r.port);
    r.Output<ULONG>((r.port->dtr ? SERIAL_DTR_STATE : 0) | (r.port->rts ? SERIAL_RTS_STATE : 0));
    return STATUS_SUCCESS;
}

NTSTATUS GetModemStatus(IoctlRequest& r) {
    PortLock guard(r.port);
    const Port* port = r.port;
    // The far end answers our RTS with CTS and shows its power on DSR (and carrier).
    r.Output<ULONG>((port->dsr ? SERIAL_DSR_STATE | SERIAL_DCD_STATE : 0) |
                    (port->dsr && port->rts ? SERIAL_CTS_STATE : 0));
    return STATUS_SUCCESS;
}

NTSTATUS GetCommStatus(IoctlRequest& r) {
    PortLock guard(r.port);
    Port* port = r.port;
    SERIAL_STATUS st{};
    st.Errors = port->errors;
    port->errors = 0;  // reading the status clears the error flags
    st.AmountInInQueue = static_cast<ULONG>(port->rx.size());
    ULONG out = 0;
    for (PIRP w : port->writes) out += static_cast<ULONG>(LengthOf(w) - Transferred(w));
    st.AmountInOutQueue = out;
    r.Output(st);
    return STATUS_SUCCESS;
}

// ---- events and the purge ---------------------------------------------------------------

NTSTATUS GetWaitMask(IoctlRequest& r) {
    PortLock guard(r.port);
    r.Output<ULONG>(r.port->waitMask);
    return STATUS_SUCCESS;
}

NTSTATUS SetWaitMask(IoctlRequest& r) {
    const auto mask = r.Input<ULONG>();
    if (mask & ~kValidEvents) return STATUS_INVALID_PARAMETER;
    PortLock guard(r.port);
    Port* port = r.port;
    // A new mask ends the pending wait with no events; what happened under the old mask
    // is forgotten.
    if (PIRP wait = port->wait) {
        port->wait = nullptr;
        ClaimLocked(wait);
        *static_cast<ULONG*>(wait->AssociatedIrp.SystemBuffer) = 0;
        DeferLocked(port, wait, STATUS_SUCCESS, sizeof(ULONG));
    }
    port->waitMask = mask;
    port->history = 0;
    return STATUS_SUCCESS;
}

NTSTATUS WaitOnMask(IoctlRequest& r) {
    PortLock guard(r.port);
    Port* port = r.port;
    if (port->wait || (port->waitMask == 0 && !port->options.acceptEmptyWaitMask))
        return STATUS_INVALID_PARAMETER;
    if (!(port->history & port->waitMask)) {
        if (!QueueLocked(port, r.irp)) return STATUS_CANCELLED;
        port->wait = r.irp;
        return STATUS_PENDING;
    }
    // Events that happened while no wait was pending answer this one at once.
    r.Output<ULONG>(port->history & port->waitMask);
    port->history = 0;
    return STATUS_SUCCESS;
}

NTSTATUS Purge(IoctlRequest& r) {
    const auto mask = r.Input<ULONG>();
    if (mask == 0 || (mask & ~kValidPurge)) return STATUS_INVALID_PARAMETER;
    Backend* backend;
    {
        PortLock guard(r.port);
        AbortLocked(r.port, mask & SERIAL_PURGE_RXABORT, mask & SERIAL_PURGE_TXABORT, false, false,
                    STATUS_CANCELLED);
        if (mask & SERIAL_PURGE_RXCLEAR) r.port->rx.clear();
        backend = r.port->backend;
    }
    if (backend && (mask & (SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR))) backend->OnPurge(mask);
    return STATUS_SUCCESS;
}

// ---- the table --------------------------------------------------------------------------

template <typename In>
constexpr IoctlEntry Takes(ULONG code, const char* name, IoctlHandler handler) {
    return {code, name, sizeof(In), 0, handler};
}
template <typename Out>
constexpr IoctlEntry Gives(ULONG code, const char* name, IoctlHandler handler) {
    return {code, name, 0, sizeof(Out), handler};
}
constexpr IoctlEntry Plain(ULONG code, const char* name, IoctlHandler handler) {
    return {code, name, 0, 0, handler};
}

#define LMSCR_IOCTL(name) IOCTL_SERIAL_##name, #name

constexpr std::array kTable{
    Takes<SERIAL_BAUD_RATE>(LMSCR_IOCTL(SET_BAUD_RATE), SetBaudRate),
    Gives<SERIAL_BAUD_RATE>(LMSCR_IOCTL(GET_BAUD_RATE), GetBaudRate),
    Takes<SERIAL_LINE_CONTROL>(LMSCR_IOCTL(SET_LINE_CONTROL), SetLineControl),
    Gives<SERIAL_LINE_CONTROL>(LMSCR_IOCTL(GET_LINE_CONTROL), GetLineControl),
    Takes<SERIAL_CHARS>(LMSCR_IOCTL(SET_CHARS), SetChars),
    Gives<SERIAL_CHARS>(LMSCR_IOCTL(GET_CHARS), GetChars),
    Takes<SERIAL_TIMEOUTS>(LMSCR_IOCTL(SET_TIMEOUTS), SetTimeouts),
    Gives<SERIAL_TIMEOUTS>(LMSCR_IOCTL(GET_TIMEOUTS), GetTimeouts),
    Takes<SERIAL_HANDFLOW>(LMSCR_IOCTL(SET_HANDFLOW), SetHandflow),
    Gives<SERIAL_HANDFLOW>(LMSCR_IOCTL(GET_HANDFLOW), GetHandflow),
    Plain(LMSCR_IOCTL(SET_BREAK_ON), SetBreak),
    Plain(LMSCR_IOCTL(SET_BREAK_OFF), SetBreak),
    Plain(LMSCR_IOCTL(SET_DTR), SetDtr),
    Plain(LMSCR_IOCTL(CLR_DTR), SetDtr),
    Plain(LMSCR_IOCTL(SET_RTS), SetRts),
    Plain(LMSCR_IOCTL(CLR_RTS), SetRts),
    Gives<ULONG>(LMSCR_IOCTL(GET_DTRRTS), GetDtrRts),
    Gives<ULONG>(LMSCR_IOCTL(GET_MODEMSTATUS), GetModemStatus),
    Gives<SERIAL_STATUS>(LMSCR_IOCTL(GET_COMMSTATUS), GetCommStatus),
    Gives<ULONG>(LMSCR_IOCTL(GET_WAIT_MASK), GetWaitMask),
    Takes<ULONG>(LMSCR_IOCTL(SET_WAIT_MASK), SetWaitMask),
    Gives<ULONG>(LMSCR_IOCTL(WAIT_ON_MASK), WaitOnMask),
    Takes<ULONG>(LMSCR_IOCTL(PURGE), Purge),
};

#undef LMSCR_IOCTL

// The back end learns the new format after the request changed it, outside the lock.
void TellFormat(Port* port) {
    Backend* backend;
    LineFormat format;
    {
        PortLock guard(port);
        backend = port->backend;
        format = FormatLocked(port);
    }
    if (backend) backend->OnFormat(format);
}

}  // namespace

std::span<const IoctlEntry> DeviceControlTable() { return kTable; }

static_assert(kTable.size() <= Port::kDeviceControlCodes);

// The port's codes are of its device type, functions one to a few dozen, and a driver sends
// several an exchange: the table's place of each function, one more (0: none).
constexpr auto kByFunction = [] {
    std::array<uint8_t, 64> at{};
    for (size_t i = 0; i < kTable.size(); ++i) {
        const ULONG function = (kTable[i].code >> 2) & 0xFFF;
        if (function < at.size()) at[function] = static_cast<uint8_t>(i + 1);
    }
    return at;
}();

const IoctlEntry* FindDeviceControl(ULONG code) {
    const ULONG function = (code >> 2) & 0xFFF;
    if (function < kByFunction.size() && kByFunction[function] && kTable[kByFunction[function] - 1].code == code)
        return &kTable[kByFunction[function] - 1];
    // Another device type, method or access, or a function of two codes: by search.
    auto it = std::find_if(kTable.begin(), kTable.end(), [code](const IoctlEntry& e) { return e.code == code; });
    return it == kTable.end() ? nullptr : &*it;
}

size_t DeviceControlIndex(const IoctlEntry* entry) { return static_cast<size_t>(entry - kTable.data()); }

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    Port* port = PortOf(device);
    const auto& params = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    const IoctlEntry* entry = FindDeviceControl(params.IoControlCode);
    if (!entry) return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (params.InputBufferLength < entry->inputBytes || params.OutputBufferLength < entry->outputBytes)
        return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL, 0);
    IoctlRequest request{.port = port, .irp = irp, .code = params.IoControlCode};
    const NTSTATUS status = entry->handler(request);
    if (status == STATUS_PENDING) return STATUS_PENDING;
    if (request.formatChanged) TellFormat(port);
    if (NT_SUCCESS(status)) return Finish(port, irp, status, request.information);
    return CompleteNow(irp, status, request.information);
}

}  // namespace lmscr::serial::internal
