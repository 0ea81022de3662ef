#include "race_matrix.h"

#include "rig.h"
#include "serial_fault.h"
#include "sim/atr_card.h"
#include "sim/cards/application.h"
#include "sim/cards/profiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lmscr::test::race {

namespace {

// What the two entries of a run share: the rig, the handles, the requests, and the Plug and Play
// manager's one-request-at-a-time rule, kept with a lock of the run's own (the kernel's manager
// sends whatever it is told).
struct Race {
    // Every other seed runs on a port that keeps a wait on an empty mask pending instead of
    // refusing it, which a stop must cope with as well.
    static RigOptions Options(uint64_t seed) {
        RigOptions o = RigOptions::Seeded(seed);
        o.acceptEmptyWaitMask = seed % 2 == 0;
        return o;
    }
    explicit Race(uint64_t seed) : rig(Options(seed)) {
        KeInitializeEvent(&pnpLock, SynchronizationEvent, TRUE);
    }
    ReaderRig rig;
    kernel::Handle a, b, c;
    bool aClosing = false;  // the close entry has taken handle a
    bool bClaimed = false;
    std::shared_ptr<kernel::PendingIo> parked;
    std::vector<std::shared_ptr<kernel::PendingIo>> requests;
    // Card requests may fail in many ways when the card or the line goes under them; they must end.
    std::vector<std::shared_ptr<kernel::PendingIo>> cardRequests;
    // Transmit requests: whatever else happens, one that succeeds carries the card's answer.
    std::vector<std::shared_ptr<kernel::PendingIo>> transmits;
    std::shared_ptr<kernel::PendingIo> inFlight;  // the command on its way at the instant
    KEVENT pnpLock;
    bool gone = false;       // removed, or surprise-removed and waiting for the remove request
    bool surprised = false;  // surprise-removed: the remove request comes once the handles are closed
    bool dsrDropped = false, muted = false, stopped = false, cardMoved = false;
    bool asleep = false;  // the system is in S3

    void LockPnp() { KeWaitForSingleObject(&pnpLock, Executive, KernelMode, FALSE, nullptr); }
    void UnlockPnp() { KeSetEvent(&pnpLock, IO_NO_INCREMENT, FALSE); }
};

void Check(bool ok, const std::string& what) {
    if (ok) return;
    std::fprintf(stdout, "check: %s\n", what.c_str());
    std::fflush(stdout);
    _exit(3);
}

using Body = void (*)(Race&);

struct EntryBody {
    Entry entry;
    Body body;
    bool cardLine;  // its effect reaches the driver as two bytes from the reader
};

// Two entries of a pair may be the same one: each takes what it uses before its first switch point.
void Open(Race& r) {
    kernel::Handle& h = r.bClaimed ? r.c : r.b;
    r.bClaimed = true;
    (void)r.rig.Open(h);
}
void Close(Race& r) {
    if (r.aClosing) return;  // a handle is closed once
    r.aClosing = true;
    r.rig.K().Clients().Close(r.a);
}
// The cleanup alone, as the I/O manager sends it when the last user handle goes: the file object
// stays until the close.
void Cleanup(Race& r) {
    if (r.aClosing) return;  // the close has sent the handle's cleanup
    PDEVICE_OBJECT top = r.rig.Fdo();
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    Check(irp != nullptr, "a cleanup request");
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_CLEANUP;
    next->FileObject = r.a.File();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID event) NTAPI -> NTSTATUS {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    (void)IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    Check(irp->IoStatus.Status == STATUS_SUCCESS, "the cleanup succeeds");
    IoFreeIrp(irp);
}
void Cancel(Race& r) {
    if (r.parked) r.parked->Cancel();
}
// An application does not send on a handle it has closed; a request sent before the close keeps
// the close waiting until it ends.
void Send(Race& r, ULONG code, ULONG outputLength) {
    if (!r.aClosing) r.requests.push_back(r.rig.Async(r.a, code, outputLength));
}
void Ioctl(Race& r) { Send(r, kGetVersion, 8); }
void IsPresent(Race& r) { Send(r, IOCTL_SMARTCARD_IS_PRESENT, 0); }
void IsAbsent(Race& r) { Send(r, IOCTL_SMARTCARD_IS_ABSENT, 0); }
void SendCard(Race& r, ULONG code, ULONG input, ULONG outputLength) {
    if (r.aClosing) return;
    std::vector<uint8_t> in(4);
    std::memcpy(in.data(), &input, 4);
    r.cardRequests.push_back(r.rig.K().Clients().IoControlAsync(r.a, code, in, outputLength));
}
void Power(Race& r) { SendCard(r, IOCTL_SMARTCARD_POWER, SCARD_COLD_RESET, 64); }
void SetProtocol(Race& r) { SendCard(r, IOCTL_SMARTCARD_SET_PROTOCOL, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, 4); }
// READ BINARY of the 16 bytes of EF 2F00, on a T=1 card; and its one right answer.
const std::vector<uint8_t> kReadBinary = {0x00, 0xB0, 0x00, 0x00, 0x10};
std::vector<uint8_t> ReadBinaryAnswer() {
    std::vector<uint8_t> a = sim::cards::CardApplication::InitialContent(sim::cards::CardApplication::kEfMfData);
    a.resize(16);
    a.push_back(0x90);
    a.push_back(0x00);
    return a;
}
std::shared_ptr<kernel::PendingIo> SendApdu(Race& r, const std::vector<uint8_t>& apdu) {
    std::vector<uint8_t> in(8);
    const ULONG protocol = SCARD_PROTOCOL_T1, header = 8;
    std::memcpy(in.data(), &protocol, 4);
    std::memcpy(in.data() + 4, &header, 4);
    in.insert(in.end(), apdu.begin(), apdu.end());
    auto q = r.rig.K().Clients().IoControlAsync(r.a, IOCTL_SMARTCARD_TRANSMIT, in, 8 + 258);
    r.transmits.push_back(q);
    return q;
}
void Transmit(Race& r) {
    if (!r.aClosing) (void)SendApdu(r, kReadBinary);
}
void CardIn(Race& r) {
    r.cardMoved = true;
    r.rig.InsertCard("3B 00");
}
void CardOut(Race& r) {
    r.cardMoved = true;
    r.rig.RemoveCard();
}
void DsrDrop(Race& r) {
    r.dsrDropped = true;
    r.rig.Line().SetDsr(false);
}
void Silence(Race& r) {
    r.muted = true;
    r.rig.Port().WithReader([](sim::ReaderFirmware& reader) { reader.SetMuted(true); });
}
void Start(Race& r) {
    r.LockPnp();
    if (!r.gone) (void)r.rig.Start();
    r.UnlockPnp();
}
void Stop(Race& r) {
    r.LockPnp();
    if (!r.gone && r.rig.K().Pnp().StopForRebalance(r.rig.Pdo()) == STATUS_SUCCESS) r.stopped = true;
    r.UnlockPnp();
}
void Remove(Race& r) {
    r.LockPnp();
    if (!r.gone && r.rig.K().Pnp().Remove(r.rig.Pdo()) == STATUS_SUCCESS) r.gone = true;
    r.UnlockPnp();
}
void Surprise(Race& r) {
    r.LockPnp();
    if (!r.gone) {
        r.gone = r.surprised = true;
        Check(r.rig.K().Pnp().Send(r.rig.Pdo(), IRP_MN_SURPRISE_REMOVAL) == STATUS_SUCCESS,
              "surprise removal is passed down");
    }
    r.UnlockPnp();
}

// The power manager's system transitions; it does not run them alongside a Plug and Play
// operation of the device.
void Sleep(Race& r) {
    r.LockPnp();
    if (r.rig.K().Power().SetSystemState(PowerSystemSleeping3) == STATUS_SUCCESS) r.asleep = true;
    r.UnlockPnp();
}
// A sleep the power manager does not ask about first (a failing battery): a command inside the
// reader is waited for before the card is powered down.
void CriticalSleep(Race& r) {
    r.LockPnp();
    if (r.rig.K().Power().SetSystemState(PowerSystemSleeping3, true) == STATUS_SUCCESS) r.asleep = true;
    r.UnlockPnp();
}
void Wake(Race& r) {
    r.LockPnp();
    Check(r.rig.K().Power().SetSystemState(PowerSystemWorking) == STATUS_SUCCESS, "the wake succeeds");
    r.asleep = false;
    r.UnlockPnp();
}

const std::vector<EntryBody>& Bodies() {
    static const std::vector<EntryBody> table = {
        {{"open", false, false}, Open, false},
        {{"close", false, false}, Close, false},
        {{"cleanup", false, false}, Cleanup, false},
        {{"cancel", false, false}, Cancel, false},
        {{"vendor-ioctl", false, false}, Ioctl, false},
        {{"is-present", false, false}, IsPresent, false},
        {{"is-absent", false, false}, IsAbsent, false},
        {{"card-in", false, false}, CardIn, true},
        {{"card-out", false, true}, CardOut, true},
        {{"dsr-drop", false, false}, DsrDrop, false},
        {{"reader-silence", false, false}, Silence, false},
        {{"power", false, true}, Power, false},
        {{"set-protocol", false, true, true}, SetProtocol, false},
        {{"transmit", false, true, true, true}, Transmit, false},
        {{"card-pulled-mid-exchange", false, true, true, true, true}, CardOut, true},
        {{"port-lost-mid-exchange", false, true, true, true, true}, DsrDrop, false},
        {{"start", true, false}, Start, false},
        {{"stop", false, false}, Stop, false},
        {{"remove", false, false}, Remove, false},
        {{"surprise-removal", false, false}, Surprise, false},
        {{"sleep", false, false}, Sleep, false},
        {{"critical-sleep", false, false}, CriticalSleep, false},
        {{"wake", false, false, false, false, false, true}, Wake, false},
    };
    return table;
}

bool Allowed(NTSTATUS s, std::initializer_list<NTSTATUS> allowed) {
    for (NTSTATUS a : allowed)
        if (s == a) return true;
    return false;
}

}  // namespace

const std::vector<Entry>& Entries() {
    static const std::vector<Entry> entries = [] {
        std::vector<Entry> e;
        for (auto& t : Bodies()) e.push_back(t.entry);
        return e;
    }();
    return entries;
}

void RunCell(const std::vector<size_t>& cell, uint64_t seed) {
    std::vector<const EntryBody*> es;
    for (size_t i : cell) es.push_back(&Bodies().at(i));
    auto any = [&](bool Entry::*flag) {
        return std::any_of(es.begin(), es.end(), [flag](const EntryBody* e) { return e->entry.*flag; });
    };
    const bool stoppedBase = any(&Entry::needsStopped);
    const bool cardBase = any(&Entry::needsCard);
    const bool poweredBase = !stoppedBase && any(&Entry::needsPowered);
    const bool protocolBase = poweredBase && any(&Entry::needsProtocol);
    const bool inFlightBase = protocolBase && any(&Entry::exchangeInFlight);
    const bool asleepBase = !stoppedBase && any(&Entry::needsAsleep);

    Race r(seed);
    Check(r.rig.Add() == STATUS_SUCCESS, "add");
    if (cardBase)
        r.rig.Port().WithReader(
            [seed](sim::ReaderFirmware& reader) { reader.InsertCard(sim::cards::MakeCardProfile("t1", seed)); });
    if (!stoppedBase) Check(r.rig.Start() == STATUS_SUCCESS, "start before the instant");
    Check(r.rig.Open(r.a) == STATUS_SUCCESS, "open before the instant");
    if (poweredBase) {
        const ULONG cold = SCARD_COLD_RESET;
        std::vector<uint8_t> in(4);
        std::memcpy(in.data(), &cold, 4);
        Check(r.rig.K().Clients().IoControl(r.a, IOCTL_SMARTCARD_POWER, in, 64).status == STATUS_SUCCESS,
              "the card is reset before the instant");
    }
    if (protocolBase) {
        const ULONG t1 = SCARD_PROTOCOL_T1;
        std::vector<uint8_t> in(4);
        std::memcpy(in.data(), &t1, 4);
        Check(r.rig.K().Clients().IoControl(r.a, IOCTL_SMARTCARD_SET_PROTOCOL, in, 4).status == STATUS_SUCCESS,
              "T=1 is selected before the instant");
        auto select = SendApdu(r, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00});
        Check(select->Wait(2000) && select->Result().status == STATUS_SUCCESS, "EF 2F00 is selected before the instant");
        r.transmits.clear();
    }
    if (!stoppedBase) {
        r.parked = r.rig.Async(r.a, cardBase ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT);
        Check(!r.parked->Wait(5), "the tracking request is parked");
    }
    if (asleepBase) {
        Check(r.rig.K().Power().SetSystemState(PowerSystemSleeping3) == STATUS_SUCCESS, "asleep before the instant");
        r.asleep = true;
    }

    // Both effects land on the driver at the same instant: a card event is started early by the
    // time its two bytes take on the line.
    const uint64_t instantNs = inFlightBase ? 40'000'000 : 10'000'000;
    const uint64_t cardLeadNs = 2 * serial::FrameNs(serial::LineFormat{});
    auto spawn = [&](const EntryBody& e) {
        return r.rig.SpawnAt(e.entry.name, instantNs - (e.cardLine ? cardLeadNs : 0), [&r, &e] { e.body(r); });
    };
    std::vector<kernel::Kernel::ThreadId> entryThreads;
    for (const EntryBody* e : es) entryThreads.push_back(spawn(*e));
    // A READ BINARY of 16 bytes takes about 45 ms on this card: the instant falls in its middle.
    std::optional<kernel::Kernel::ThreadId> sender;
    if (inFlightBase) sender = r.rig.SpawnAt("in flight", instantNs - 25'000'000, [&r] { r.inFlight = SendApdu(r, kReadBinary); });
    r.rig.K().Sleep(instantNs / 1'000'000 + 300);
    // A card pulled in the middle of a command ends it at once, unless the reader could not say so.
    const bool pulled = std::any_of(es.begin(), es.end(), [](const EntryBody* e) { return e->body == CardOut; });
    if (r.inFlight && pulled && !r.muted && !r.dsrDropped && !r.gone && !r.stopped)
        Check(r.inFlight->Done(), "the command in flight ended within 300 ms of the card's removal");
    r.rig.K().Sleep(2700 - instantNs / 1'000'000);

    // Settled: the records agree with each other and with the reader.
    if (!r.gone && r.rig.Pdo()->AttachedDevice != nullptr) {
        Check(r.rig.PortOpen() || !r.rig.InterfaceEnabled(), "a closed port has its interface disabled");
        if (r.rig.Started() && r.rig.PortOpen() && !r.stopped) {
            Check(r.rig.InterfaceEnabled(), "a started reader with its port open has its interface enabled");
            if (!r.muted && !r.dsrDropped) {
                const bool card = r.rig.Port().Reader().CardPresent();
                const ULONG state = r.rig.Smartcard()->ReaderCapabilities.CurrentState;
                Check((state > SCARD_ABSENT) == card, "the card state follows the reader (state " +
                                                          std::to_string(state) + ", card " +
                                                          std::to_string(card) + ")");
            }
        }
    }

    // The way back: the line and the reader as they were, a stopped reader started again (as the
    // Plug and Play manager does after a rebalance), the handles closed, the device removed.
    if (r.dsrDropped) r.rig.Line().SetDsr(true);
    if (r.muted) r.rig.Port().WithReader([](sim::ReaderFirmware& reader) { reader.SetMuted(false); });
    r.LockPnp();
    if (r.asleep) Check(r.rig.K().Power().SetSystemState(PowerSystemWorking) == STATUS_SUCCESS, "the way back wakes");
    r.asleep = false;
    if (!r.gone && !r.rig.Started()) (void)r.rig.Start();
    r.UnlockPnp();
    // Then, as an application that stops waiting, cancel what is still parked before the close.
    r.rig.K().Sleep(100);
    for (auto& q : r.requests)
        if (!q->Done()) q->Cancel();
    if (r.parked && !r.parked->Done()) r.parked->Cancel();
    if (!r.aClosing && r.a.IsOpen()) {
        r.aClosing = true;
        r.rig.K().Clients().Close(r.a);
    }
    for (auto t : entryThreads) r.rig.K().Join(t);
    if (sender) r.rig.K().Join(*sender);
    if (r.b.IsOpen()) r.rig.K().Clients().Close(r.b);
    if (r.c.IsOpen()) r.rig.K().Clients().Close(r.c);
    if (r.surprised) Check(r.rig.K().Pnp().Send(r.rig.Pdo(), IRP_MN_REMOVE_DEVICE) == STATUS_SUCCESS, "remove");

    // Every request ended, once, with a status its caller can take.
    for (auto& q : r.cardRequests) Check(q->Done(), "a card request has ended");
    for (auto& q : r.transmits) {
        Check(q->Done(), "a transmit request has ended");
        const kernel::IoResult& res = q->Result();
        if (res.status != STATUS_SUCCESS) continue;
        const std::vector<uint8_t> answer(res.output.begin() + std::min<size_t>(8, res.information),
                                          res.output.begin() + res.information);
        Check(answer == ReadBinaryAnswer(), "a transmit that succeeded carries the card's answer");
    }
    if (r.parked) {
        Check(r.parked->Done(), "the parked tracking request has ended");
        Check(Allowed(r.parked->Result().status, {STATUS_SUCCESS, STATUS_CANCELLED, STATUS_DEVICE_REMOVED}),
              "parked request: " + kernel::StatusName(r.parked->Result().status));
    }
    for (auto& q : r.requests) {
        Check(q->Done(), "a request has ended");
        // STATUS_NO_SUCH_DEVICE: sent after a surprise removal, or released by it from a wait for
        // a start.
        Check(Allowed(q->Result().status, {STATUS_SUCCESS, STATUS_CANCELLED, STATUS_DEVICE_BUSY,
                                           STATUS_DEVICE_REMOVED, STATUS_DELETE_PENDING, STATUS_NO_SUCH_DEVICE}),
              "request: " + kernel::StatusName(q->Result().status));
    }
    r.rig.Finish();
}

void RunPair(size_t a, size_t b, uint64_t seed) { RunCell({a, b}, seed); }

// ---- faults in an ordinary session ----------------------------------------------------------

void RunSession(const Fault* fault, uint64_t seed) {
    ReaderRig rig(RigOptions::Seeded(seed));
    if (fault) fault->inject(&rig);
    if (rig.Add() != STATUS_SUCCESS) return;  // a failed add leaves nothing (Finish checks)
    (void)rig.Start();
    kernel::Handle h;
    if (rig.Open(h) == STATUS_SUCCESS) {
        auto version = rig.Async(h, kGetVersion, 8);
        auto present = rig.Async(h, IOCTL_SMARTCARD_IS_PRESENT);
        rig.K().Sleep(50);
        rig.InsertCard("3B 00");
        rig.K().Sleep(100);
        auto absent = rig.Async(h, IOCTL_SMARTCARD_IS_ABSENT);
        rig.K().Sleep(50);
        rig.RemoveCard();
        rig.K().Sleep(3000);
        // A request still waiting for a start the failure prevented is let go by a start that
        // works: the faults are one-shot.
        if (!rig.Started()) (void)rig.Start();
        rig.K().Sleep(3000);
        for (auto* q : {&version, &present, &absent})
            if (!(*q)->Done()) (*q)->Cancel();
        rig.K().Clients().Close(h);
        for (auto* q : {&version, &present, &absent}) Check((*q)->Done(), "a request of the session ended");
    }
    (void)rig.K().Pnp().StopForRebalance(rig.Pdo());
    (void)rig.Start();
    // A removal refused for a failure of its own is asked again, as the manager would.
    for (int tries = 0; tries < 3 && rig.Pdo()->AttachedDevice != nullptr; ++tries) (void)rig.K().Pnp().Remove(rig.Pdo());
    rig.Finish();
}

std::vector<Fault> Faults(unsigned maxNth) {
    struct Site {
        const char* operation;
        const char* site;
    };
    // Every allocation the driver makes after its device exists, by the routine that makes it.
    static const Site sites[] = {
        {"IoAllocateIrp", "AllocateSerialRequest"},
        {"IoAllocateIrp", "ArmSerialWait"},
        {"IoBuildDeviceIoControlRequest", "TransferSync"},
        {"IoBuildDeviceIoControlRequest", "SerialIoctl"},
        {"IoSetDeviceInterfaceState", ""},
        {"ExAllocatePoolWithTag", "CreateDevice"},
        {"IoAllocateWorkItem", "CreateDevice"},
        {"IoCreateDevice", ""},
        {"IoAttachDeviceToDeviceStack", ""},
        {"IoRegisterDeviceInterface", ""},
    };
    std::vector<Fault> faults;
    // Every kind of request the driver sends to the port, refused, held until cancelled, or
    // served late.
    struct Request {
        const char* name;
        UCHAR major;
        ULONG code;
    };
    static const Request requests[] = {
        {"CREATE", IRP_MJ_CREATE, 0},
        {"CLOSE", IRP_MJ_CLOSE, 0},
        {"READ", IRP_MJ_READ, 0},
        {"WRITE", IRP_MJ_WRITE, 0},
        {"SET_BAUD_RATE", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE},
        {"SET_LINE_CONTROL", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_LINE_CONTROL},
        {"SET_CHARS", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_CHARS},
        {"SET_TIMEOUTS", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_TIMEOUTS},
        {"SET_HANDFLOW", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_HANDFLOW},
        {"PURGE", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE},
        {"SET_BREAK_OFF", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BREAK_OFF},
        {"SET_WAIT_MASK", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK},
        {"WAIT_ON_MASK", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK},
        {"GET_COMMSTATUS", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_COMMSTATUS},
    };
    static const struct {
        const char* name;
        serial::SerialFault::Kind kind;
    } kinds[] = {
        {"refuse", serial::SerialFault::Kind::Refuse},
        {"hold", serial::SerialFault::Kind::PendForever},
        {"late", serial::SerialFault::Kind::CompleteLate},
    };
    for (const Request& q : requests)
        for (const auto& k : kinds)
            for (unsigned nth = 1; nth <= maxNth; ++nth) {
                serial::SerialFault f;
                f.kind = k.kind;
                f.major = q.major;
                f.ioControlCode = q.code;
                f.nth = nth;
                f.lateMs = 300;
                faults.push_back({std::string(k.name) + " " + q.name + " #" + std::to_string(nth), [f](void* rig) {
                                      serial::InjectSerialFault(static_cast<ReaderRig*>(rig)->Pdo(), f);
                                  }});
            }
    for (const Site& s : sites) {
        for (unsigned nth = 1; nth <= maxNth; ++nth) {
            std::string name = std::string(s.operation) + (*s.site ? std::string("@") + s.site : "") + " #" +
                               std::to_string(nth);
            faults.push_back({name, [s, nth](void* rig) {
                                  static_cast<ReaderRig*>(rig)->K().InjectFault(
                                      kernel::FaultRule{s.operation, s.site, nth, 0});
                              }});
        }
    }
    return faults;
}

// ---- running in children -------------------------------------------------------------------

namespace {

// What a child's exit status and its output name.
Outcome Classify(int status, const std::string& text) {
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {"clean", ""};
    auto named = [&](const char* marker) -> std::string {
        size_t at = text.find(marker);
        if (at == std::string::npos) return "";
        at += std::strlen(marker);
        size_t end = text.find_first_of(" \n", at);
        return text.substr(at, end - at);
    };
    std::string violation = named("DRIVER_VERIFIER_DETECTED_VIOLATION: ");
    if (!violation.empty()) return {violation, text};
    if (text.find("DEADLOCK") != std::string::npos) return {"deadlock", text};
    if (text.find("left behind") != std::string::npos) return {"leak", text};
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
        size_t at = text.find("check: ");
        return {text.substr(at, text.find('\n', at) - at), text};
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 4) return {"expectation", text};
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) return {"real-time hang", text};
    if (WIFSIGNALED(status)) return {"crash: signal " + std::to_string(WTERMSIG(status)), text};
    return {"exit " + std::to_string(WEXITSTATUS(status)), text};
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

// Written by a worker after a run that ended clean; whatever a run prints comes before it.
constexpr char kRunClean[] = "\n@@ lmscr race run ended clean @@\n";
constexpr size_t kTextCap = 64 * 1024;

bool ReadAll(int fd, void* data, size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void WriteAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        size -= static_cast<size_t>(n);
    }
}

// One worker process: it reads the index of a job, runs it, says so, and waits for the next.  A
// run that fails ends the process (a check exits, the verifier and the deadlock report abort, a
// failed expectation exits here), so a worker that is alive has only clean runs behind it.
struct Worker {
    pid_t pid = -1;
    int jobs = -1;    // the parent's end of the pipe that carries job indices
    int output = -1;  // the parent's end of the pipe that carries the child's stdout and stderr
    long current = -1;  // the job in progress, or -1
    std::string text;   // what the job in progress printed so far
    uint64_t runs = 0;  // jobs given to this process
};

[[noreturn]] void Serve(int jobs, int output, const std::vector<Job>& all, unsigned limitSeconds) {
    dup2(output, 1);
    dup2(output, 2);
    close(output);
    for (;;) {
        uint32_t index = 0;
        if (!ReadAll(jobs, &index, sizeof index)) break;
        alarm(limitSeconds);
        all.at(index).body();
        alarm(0);
        std::fflush(stdout);
        std::fflush(stderr);
        if (::testing::Test::HasFailure()) _exit(4);
        WriteAll(1, kRunClean, sizeof kRunClean - 1);
    }
    _exit(0);
}

}  // namespace

unsigned Workers() {
    const uint64_t wanted = EnvNumber("LMSCR_RACE_JOBS", 0);
    if (wanted > 0) return static_cast<unsigned>(std::min<uint64_t>(wanted, 64));
    return std::max(1u, std::thread::hardware_concurrency());
}

std::vector<Outcome> RunJobs(const std::vector<Job>& all, unsigned workers, unsigned limitSeconds) {
    std::vector<Outcome> outcomes(all.size());
    if (all.empty()) return outcomes;
    workers = std::max(1u, std::min<unsigned>(workers, static_cast<unsigned>(all.size())));
    // A fresh process every so many runs: nothing a run leaves in the process can pile up.
    // LMSCR_RACE_RUNS_PER_PROCESS=1 gives every run a process of its own.
    const uint64_t maxRuns = EnvNumber("LMSCR_RACE_RUNS_PER_PROCESS", 1000);
    void (*oldPipe)(int) = std::signal(SIGPIPE, SIG_IGN);

    std::vector<Worker> pool(workers);
    size_t next = 0;
    auto start = [&](Worker& w) {
        int jobs[2], output[2];
        if (pipe(jobs) != 0) return false;
        if (pipe(output) != 0) {
            close(jobs[0]);
            close(jobs[1]);
            return false;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        pid_t child = fork();
        if (child == 0) {
            // Only its own pipes stay open in the child: another worker's job pipe held open here
            // would keep that worker from ever seeing the end of its jobs.
            for (Worker& other : pool) {
                if (other.jobs >= 0) close(other.jobs);
                if (other.output >= 0) close(other.output);
            }
            close(jobs[1]);
            close(output[0]);
            Serve(jobs[0], output[1], all, limitSeconds);
        }
        close(jobs[0]);
        close(output[1]);
        if (child < 0) {
            close(jobs[1]);
            close(output[0]);
            return false;
        }
        w.pid = child;
        w.jobs = jobs[1];
        w.output = output[0];
        w.current = -1;
        w.text.clear();
        w.runs = 0;
        return true;
    };
    auto assign = [&](Worker& w) {
        if (next >= all.size() || (maxRuns != 0 && w.runs >= maxRuns)) {
            close(w.jobs);  // no more for this process: it reads the end and exits
            w.jobs = -1;
            return;
        }
        const uint32_t index = static_cast<uint32_t>(next++);
        w.runs++;
        w.current = index;
        w.text.clear();
        WriteAll(w.jobs, &index, sizeof index);
    };
    for (Worker& w : pool)
        if (start(w)) assign(w);

    char buffer[8192];
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Worker*> owners;
        for (Worker& w : pool)
            if (w.output >= 0) {
                fds.push_back({w.output, POLLIN, 0});
                owners.push_back(&w);
            }
        if (fds.empty()) break;
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Worker& w = *owners[i];
            ssize_t n = read(w.output, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) {
                const size_t before = w.text.size();
                w.text.append(buffer, static_cast<size_t>(n));
                const size_t from = before >= sizeof kRunClean ? before - sizeof kRunClean : 0;
                const size_t at = w.text.find(kRunClean, from);
                if (w.current >= 0 && at != std::string::npos) {
                    outcomes[static_cast<size_t>(w.current)] = {"clean", ""};
                    w.current = -1;
                    w.text.clear();
                    assign(w);
                } else if (w.text.size() > kTextCap + sizeof kRunClean) {
                    // Keep the head, where the failure is named, and the tail, where the marker comes.
                    w.text.erase(kTextCap / 2, w.text.size() - kTextCap);
                }
                continue;
            }
            // The worker is gone: at the end of its jobs, after its quota of runs, or in a run.
            close(w.output);
            w.output = -1;
            if (w.jobs >= 0) close(w.jobs);
            w.jobs = -1;
            int status = 0;
            while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
            }
            if (w.current >= 0) outcomes[static_cast<size_t>(w.current)] = Classify(status, w.text);
            w.current = -1;
            if (next < all.size() && start(w)) assign(w);
        }
    }
    std::signal(SIGPIPE, oldPipe);
    return outcomes;
}

Outcome RunIsolated(const std::function<void()>& body, unsigned limitSeconds) {
    return RunJobs({Job{"", body}}, 1, limitSeconds).front();
}

void Table::Add(const std::string& row, const Outcome& outcome) {
    if (!counts_.count(row)) rows_.push_back(row);
    auto& cells = counts_[row];
    if (std::find(columns_.begin(), columns_.end(), outcome.name) == columns_.end()) {
        if (outcome.Clean())
            columns_.insert(columns_.begin(), outcome.name);
        else
            columns_.push_back(outcome.name);
    }
    cells[outcome.name]++;
    if (!outcome.Clean() && firstFailure_.empty()) firstFailure_ = row + ": " + outcome.name + "\n" + outcome.detail;
}

size_t Table::Failures() const {
    size_t n = 0;
    for (auto& [row, cells] : counts_)
        for (auto& [name, count] : cells)
            if (name != "clean") n += count;
    return n;
}

std::string Table::Print(const std::string& title) const {
    size_t rowWidth = title.size();
    for (auto& row : rows_) rowWidth = std::max(rowWidth, row.size());
    std::ostringstream out;
    out << title << std::string(rowWidth - title.size() + 2, ' ');
    for (auto& c : columns_) out << c << "  ";
    out << "\n";
    for (auto& row : rows_) {
        out << row << std::string(rowWidth - row.size() + 2, ' ');
        const auto& cells = counts_.at(row);
        for (auto& c : columns_) {
            auto it = cells.find(c);
            std::string cell = it == cells.end() ? "-" : std::to_string(it->second);
            out << std::string(c.size() > cell.size() ? c.size() - cell.size() : 0, ' ') << cell << "  ";
        }
        out << "\n";
    }
    return out.str();
}

}  // namespace lmscr::test::race
