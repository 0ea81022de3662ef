// The kernel, the serial ports and the driver behind the handler's channels (host.h).
#include "driver_image.h"
#include "host.h"

#include "driver.h"
#include "kernel.h"
#include "serial.h"
#include "platform/smclib/debug.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace lmscr::ifd {
namespace {

// A queue of calls run one after another by one thread; callers wait for their own call.
class CallQueue {
public:
    // Runs the calls until Stop; in the thread that is to make them.
    void Serve() {
        for (;;) {
            std::function<void()> call;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [&] { return stop_ || !calls_.empty(); });
                if (calls_.empty()) return;
                call = std::move(calls_.front());
                calls_.pop_front();
            }
            call();
        }
    }
    template <typename Fn>
    auto Call(Fn fn) -> decltype(fn()) {
        std::packaged_task<decltype(fn())()> task(std::move(fn));
        auto result = task.get_future();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.emplace_back([&task] { task(); });
        }
        ready_.notify_one();
        return result.get();
    }
    // Serve returns once the calls queued before are made.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        ready_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> calls_;
    bool stop_ = false;
};

// The reader interface class: an application learns of a reader's arrival and departure by it.
const GUID kReaderInterface = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// What the driver reported of a channel's card and what pcscd was told of it.  pcscd looks at the
// card (IFDHICCPresence) and waits for news (the polling routine) on its event thread, and powers
// and talks to the card from its clients' threads; the card watcher records events from its
// platform thread.  All of them meet here, under `mutex`.
struct CardRecord {
    std::mutex mutex;
    std::condition_variable news;
    bool present = false;             // as the last completed tracking request said
    bool gone = false;                // the driver gave its reader up
    bool removalOwed = false;         // pcscd believes in a card that was removed or lost power since
    bool powered = false;             // pcscd powered the card, and it has not lost that power since
    std::vector<uint8_t> atr;         // of that power-up
    std::optional<Presence> told;     // what the last look answered
    bool stopAsked = false;           // the wait in progress, or the next one, is to return
    bool closing = false;

    // What a look would answer now.  A reader that went with a card in it answers Absent once
    // first: pcscd then drops the card from its listing at once, where the Gone that follows
    // costs it a second of its own (it signals its hot-plug thread and sleeps).
    Presence Current() const {
        if (gone) return told == Presence::Present ? Presence::Absent : Presence::Gone;
        if (removalOwed) return Presence::Absent;
        return present ? Presence::Present : Presence::Absent;
    }
    // The card pcscd believes in is not the one in the slot, or no longer powered.
    void OweRemoval() {
        powered = false;
        atr.clear();
        if (told == Presence::Present) removalOwed = true;
        news.notify_all();
    }
};

struct Channel {
    std::string tty;
    std::string readerInterface;   // the symbolic link the reader's start enabled
    std::unique_ptr<serial::PosixPort> port;
    kernel::Handle handle;
    kernel::Kernel::ThreadId thread = 0;
    CallQueue calls;   // served by the channel's platform thread: its open and close
    // Requests of the channel are made one at a time, each by the thread that asks (pcscd's),
    // adopted by the kernel for the call; none once the channel is detached.
    std::mutex requests;
    bool detached = false;
    CardRecord card;
    kernel::Kernel::ThreadId watcher = 0;
    KEVENT stopWatching;   // set when the channel closes: the watcher takes its request back and ends
};

// The kernel and the drivers every channel shares. The operating-system thread that makes the
// kernel is its first platform thread, and the one that must shut it down: it serves `calls`.
struct Machine {
    std::thread thread;
    CallQueue calls;
    // LMSCR_IMAGE in pcscd's environment: the driver's kernel image runs instead of the driver
    // linked into the handler.  Outlives the kernel.
    std::unique_ptr<DriverImage> image;
    std::unique_ptr<kernel::Kernel> k;
    PDRIVER_OBJECT serialDriver = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    unsigned nextPort = 1;
};

// Channels open and close one at a time (pcscd does so from its main thread anyway); requests of
// open channels take only `channelsMutex` for the look-up.
//
// None of these is ever destroyed: pcscd ends on a signal by calling exit() without closing its
// channels, while its polling threads may still be calling in and the channels' threads still
// run. Destroying the map or the kernel under them would crash the process on its way out.
std::mutex& lifecycleMutex = *new std::mutex;
std::mutex& channelsMutex = *new std::mutex;
std::map<unsigned long, std::shared_ptr<Channel>>& channels = *new std::map<unsigned long, std::shared_ptr<Channel>>;
std::unique_ptr<Machine>& machine = *new std::unique_ptr<Machine>;
std::mutex& reportMutex = *new std::mutex;
std::string& lastShutdownReport = *new std::string(kNoShutdown);

std::shared_ptr<Channel> Find(unsigned long lun) {
    std::lock_guard<std::mutex> lock(channelsMutex);
    auto it = channels.find(lun);
    return it == channels.end() ? nullptr : it->second;
}

// LMSCR_DEBUG in pcscd's environment ("atr,protocol,error", "all") turns the driver's debug
// classes on; its lines go where the handler's own go, to pcscd's log (standard error, which
// pcscd -f shows).
void TurnDebugOn() {
    // Each start reads it afresh: a kernel started without it has the driver silent again.
    SmartcardSetDebugLevel(0);
    kernel::SetDebugPrintSink(nullptr, nullptr);
    const char* names = std::getenv("LMSCR_DEBUG");
    if (names == nullptr || *names == 0) return;
    const std::optional<ULONG> levels = smclib::ParseDebugLevels(names);
    if (!levels) {
        std::fprintf(stderr, "lmscr ifd: LMSCR_DEBUG wants ioctl, atr, protocol, driver, trace, error or all, not '%s'\n",
                     names);
        return;
    }
    SmartcardSetDebugLevel(*levels);
    kernel::SetDebugPrintSink(
        [](void*, std::optional<uint64_t>, const char* text) { std::fprintf(stderr, "lmscr ifd: debug %s\n", text); },
        nullptr);
}

bool StartMachine(std::string* error) {
    TurnDebugOn();
    {
        std::lock_guard<std::mutex> lock(reportMutex);
        lastShutdownReport = kNoShutdown;
    }
    auto m = std::make_unique<Machine>();
    std::promise<bool> started;
    Machine* raw = m.get();
    m->thread = std::thread([raw, &started, error] {
        kernel::Options options;
        options.mode = kernel::TimeMode::Real;
        raw->k = std::make_unique<kernel::Kernel>(options);
        raw->serialDriver = serial::LoadSerialDriver(*raw->k);
        std::string imageError;
        const char* imagePath = std::getenv("LMSCR_IMAGE");
        if (imagePath != nullptr && *imagePath != '\0') raw->image = DriverImage::Load(imagePath, &imageError);
        if (imageError.empty())
            raw->driver = raw->k->Pnp().LoadDriver("lmscr", raw->image ? raw->image->Entry() : DriverEntry);
        const bool ok = raw->serialDriver && raw->driver;
        if (!ok && error)
            *error = imageError.empty() ? "the serial or the reader driver did not load"
                                        : "LMSCR_IMAGE: " + imageError;
        started.set_value(ok);
        if (ok) raw->calls.Serve();
        std::string report;
        if (raw->driver) {
            kernel::LeakReport leaks = raw->k->Pnp().UnloadDriver(raw->driver);
            if (!leaks.empty()) report += "the driver left behind:\n" + leaks.ToString();
        }
        kernel::LeakReport rest = raw->k->Shutdown();
        if (!rest.empty()) report += "left behind at shutdown:\n" + rest.ToString();
        if (!report.empty()) std::fprintf(stderr, "lmscr ifd: %s", report.c_str());
        raw->k.reset();
        std::lock_guard<std::mutex> lock(reportMutex);
        lastShutdownReport = report;
    });
    if (!started.get_future().get()) {
        m->thread.join();
        return false;
    }
    machine = std::move(m);
    return true;
}

void StopMachine() {
    machine->calls.Stop();
    machine->thread.join();
    machine.reset();
}

void WatchCard(Channel& c);

// In the channel's thread: the port, the driver's device on it, started, and a handle.
bool Attach(Channel& c, std::string* error) {
    kernel::Kernel& k = *machine->k;
    const std::string name = "COM" + std::to_string(machine->nextPort++);
    c.port = serial::CreatePosixPort(k, machine->serialDriver, name, c.tty, serial::PortOptions{}, error);
    if (!c.port) return false;
    PDEVICE_OBJECT pdo = c.port->Device();
    // Channels start one at a time: the interface that appears is this reader's.
    const std::vector<std::string> before = k.Clients().EnabledInterfaces(kReaderInterface);
    NTSTATUS s = k.Pnp().AddDevice(machine->driver, pdo);
    if (s == STATUS_SUCCESS) {
        s = k.Pnp().Start(pdo);
        if (s == STATUS_SUCCESS) s = k.Clients().OpenDevice(pdo, c.handle);
        if (s != STATUS_SUCCESS) k.Pnp().Remove(pdo);
    }
    if (s != STATUS_SUCCESS) {
        if (error) *error = "the reader on " + c.tty + " did not start: " + kernel::StatusName(s);
        c.port.reset();
        return false;
    }
    for (const std::string& link : k.Clients().EnabledInterfaces(kReaderInterface))
        if (std::find(before.begin(), before.end(), link) == before.end()) c.readerInterface = link;

    // The slot as the start found it; from here on the watcher follows it event by event.
    kernel::IoResult state = k.Clients().IoControl(c.handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
    ULONG cardState = SCARD_UNKNOWN;
    if (state.status == STATUS_SUCCESS && state.output.size() >= sizeof cardState)
        std::memcpy(&cardState, state.output.data(), sizeof cardState);
    c.card.present = cardState > SCARD_ABSENT;
    KeInitializeEvent(&c.stopWatching, NotificationEvent, FALSE);
    Channel* raw = &c;
    c.watcher = k.Spawn("ifd card watcher", [raw] { WatchCard(*raw); });
    return true;
}

// The driver disables its reader interface when it loses the reader (the port's DSR dropped:
// the cable pulled, the reader's supply off, the pseudo-terminal closed), as it tells any
// application of the platform. The handle stays open until the channel closes.
bool ReaderGone(const Channel& c) {
    const std::vector<std::string> enabled = machine->k->Clients().EnabledInterfaces(kReaderInterface);
    return std::find(enabled.begin(), enabled.end(), c.readerInterface) == enabled.end();
}

// The card watcher: a platform thread per channel that keeps one tracking request parked in the
// driver while the channel is open, IS_ABSENT while a card is in and IS_PRESENT while none is, as
// the platform's resource manager does.  Each completion is one card event the driver saw, recorded
// before the next request is parked; a removal and an insertion 20 ms apart are two events however
// long pcscd takes to look.  The reader's interface going away (the port lost) ends it too.
void MarkGone(Channel& c) {
    std::lock_guard<std::mutex> lock(c.card.mutex);
    c.card.gone = true;
    c.card.powered = false;
    c.card.atr.clear();
    c.card.news.notify_all();
}

void WatchCard(Channel& c) {
    kernel::Kernel& k = *machine->k;
    kernel::InterfaceWatch interfaces(k, kReaderInterface);
    bool haveCard;
    {
        std::lock_guard<std::mutex> lock(c.card.mutex);
        haveCard = c.card.present;
    }
    while (!ReaderGone(c)) {
        // Sent from this thread: the driver parks it and returns at once (or once a command in
        // progress has left the reader), and no thread is left behind per card event.
        auto parked = k.Clients().IoControlStart(
            c.handle, haveCard ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
        PVOID objects[] = {parked->WaitObject(), &c.stopWatching, interfaces.WaitObject()};
        NTSTATUS woke;
        for (;;) {
            woke = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
            if (woke != (STATUS_WAIT_0 + 2)) break;
            interfaces.Drain();   // another reader's interface, or ours gone
            if (ReaderGone(c)) break;
        }
        if (woke != STATUS_WAIT_0) {
            // Closing, or the reader gone: the request is taken back and waited for, as it
            // completes into this thread's record.  It may have completed with its event first.
            parked->Cancel();
            parked->Wait();
        }
        const NTSTATUS status = parked->Result().status;
        if (status == STATUS_SUCCESS) {
            haveCard = !haveCard;
            std::lock_guard<std::mutex> lock(c.card.mutex);
            c.card.present = haveCard;
            if (haveCard)
                c.card.news.notify_all();
            else
                c.card.OweRemoval();
        } else if (woke == STATUS_WAIT_0) {
            // Refused: the device is on its way out (a removal), nothing more to follow.
            std::fprintf(stderr, "lmscr ifd: %s: card tracking ended: %s\n", c.tty.c_str(),
                         kernel::StatusName(status).c_str());
            break;
        }
        if (woke == (STATUS_WAIT_0 + 1)) return;
    }
    if (ReaderGone(c)) MarkGone(c);
}

void Detach(Channel& c) {
    kernel::Kernel& k = *machine->k;
    if (c.watcher) {
        KeSetEvent(&c.stopWatching, IO_NO_INCREMENT, FALSE);
        k.Join(c.watcher);
        c.watcher = 0;
    }
    if (c.handle.IsOpen()) k.Clients().Close(c.handle);
    if (c.port && c.port->Device()->AttachedDevice) k.Pnp().Remove(c.port->Device());
    c.port.reset();
}

Outcome OutcomeOf(NTSTATUS s) {
    switch (s) {
    case STATUS_SUCCESS: return Outcome::Success;
    case STATUS_NO_MEDIA: return Outcome::NoCard;
    case STATUS_IO_TIMEOUT:
    case STATUS_TIMEOUT: return Outcome::Timeout;
    case STATUS_BUFFER_TOO_SMALL: return Outcome::BufferTooSmall;
    case STATUS_INVALID_PARAMETER:
    case STATUS_INVALID_DEVICE_REQUEST: return Outcome::BadRequest;
    case STATUS_NOT_SUPPORTED: return Outcome::ProtocolRefused;
    case STATUS_DEVICE_REMOVED:
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_DELETE_PENDING: return Outcome::NoChannel;
    default: return Outcome::Failed;
    }
}

std::vector<uint8_t> UlongBytes(ULONG v) {
    std::vector<uint8_t> bytes(sizeof v);
    std::memcpy(bytes.data(), &v, sizeof v);
    return bytes;
}

// One device-control request, made by the calling thread: handing it to the channel's thread
// would cost a wake-up of that thread and one of the caller's for every request.
Answer Request(unsigned long lun, ULONG code, std::vector<uint8_t> input, ULONG outputLength) {
    std::shared_ptr<Channel> c = Find(lun);
    if (!c) return Answer{Outcome::NoChannel, STATUS_NO_SUCH_DEVICE, {}};
    std::lock_guard<std::mutex> one(c->requests);
    if (c->detached) return Answer{Outcome::NoChannel, STATUS_NO_SUCH_DEVICE, {}};
    kernel::AdoptedThread caller(*machine->k, "ifd caller");
    if (ReaderGone(*c)) {
        MarkGone(*c);
        return Answer{Outcome::NoChannel, STATUS_DEVICE_REMOVED, {}};
    }
    kernel::IoResult r = machine->k->Clients().IoControl(c->handle, code, input, outputLength);
    Answer a;
    a.status = r.status;
    a.outcome = OutcomeOf(r.status);
    if (a.outcome == Outcome::NoChannel) MarkGone(*c);
    if (r.status == STATUS_SUCCESS) {
        const size_t n = std::min<size_t>(r.information, r.output.size());
        a.data.assign(r.output.begin(), r.output.begin() + static_cast<std::ptrdiff_t>(n));
    }
    return a;
}

}  // namespace

bool OpenChannel(unsigned long lun, const std::string& tty, std::string* error) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    if (Find(lun)) {
        if (error) *error = "channel already open";
        return false;
    }
    if (!machine && !StartMachine(error)) return false;
    auto c = std::make_shared<Channel>();
    c->tty = tty;
    Channel* raw = c.get();
    c->thread = machine->calls.Call([raw, lun] {
        return machine->k->Spawn("ifd channel " + std::to_string(lun), [raw] { raw->calls.Serve(); });
    });
    const bool ok = c->calls.Call([raw, error] { return Attach(*raw, error); });
    if (ok) {
        std::lock_guard<std::mutex> lock(channelsMutex);
        channels[lun] = c;
        return true;
    }
    c->calls.Stop();
    machine->calls.Call([raw] { machine->k->Join(raw->thread); });
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(channelsMutex);
        last = channels.empty();
    }
    if (last) StopMachine();
    return false;
}

bool CloseChannel(unsigned long lun) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    std::shared_ptr<Channel> c;
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(channelsMutex);
        auto it = channels.find(lun);
        if (it == channels.end()) return false;
        c = it->second;
        channels.erase(it);
        last = channels.empty();
    }
    // A wait of pcscd's for news returns; requests already handed over are made before the
    // detach, and none can come after the erase.
    {
        std::lock_guard<std::mutex> lock(c->card.mutex);
        c->card.closing = true;
        c->card.news.notify_all();
    }
    Channel* raw = c.get();
    {
        // A request in progress ends first; one that found the channel before the erase finds
        // it detached.
        std::lock_guard<std::mutex> one(raw->requests);
        raw->calls.Call([raw] { Detach(*raw); });
        raw->detached = true;
    }
    raw->calls.Stop();
    machine->calls.Call([raw] { machine->k->Join(raw->thread); });
    if (last) StopMachine();
    return true;
}

bool ChannelOpen(unsigned long lun) { return Find(lun) != nullptr; }

namespace {

// After a failed request: the driver powers a card down on its own when it stops answering in the
// middle of a command, and a card swapped behind pcscd's back comes in unpowered.  pcscd, which
// powered it, must learn that it no longer is, or it sends every application's commands to a card
// that refuses them all.  True when the card lost its power.
bool PowerLost(unsigned long lun, Channel& c) {
    {
        std::lock_guard<std::mutex> lock(c.card.mutex);
        if (!c.card.powered) return false;
    }
    Answer a = CardState(lun);
    ULONG state = SCARD_UNKNOWN;
    if (a.outcome == Outcome::Success && a.data.size() >= sizeof state) std::memcpy(&state, a.data.data(), sizeof state);
    else if (a.outcome != Outcome::NoChannel) return false;
    if (state >= SCARD_POWERED) return false;
    std::lock_guard<std::mutex> lock(c.card.mutex);
    c.card.OweRemoval();
    return true;
}

// A request to the card pcscd powered.  While pcscd has yet to hear that card went, nothing is
// sent to whatever is in the slot now; a failure makes the handler ask whether the card kept its
// power (the exchange keeps its own outcome: a card that fell silent is a time-out).
Answer CardRequest(unsigned long lun, ULONG code, std::vector<uint8_t> input, ULONG outputLength) {
    std::shared_ptr<Channel> c = Find(lun);
    if (!c) return Answer{Outcome::NoChannel, STATUS_NO_SUCH_DEVICE, {}};
    {
        std::lock_guard<std::mutex> lock(c->card.mutex);
        if (c->card.removalOwed) return Answer{Outcome::NoCard, STATUS_NO_MEDIA, {}};
    }
    Answer a = Request(lun, code, std::move(input), outputLength);
    if (a.outcome != Outcome::Success) PowerLost(lun, *c);
    return a;
}

}  // namespace

Answer Power(unsigned long lun, PowerAction action) {
    std::shared_ptr<Channel> c = Find(lun);
    if (!c) return Answer{Outcome::NoChannel, STATUS_NO_SUCH_DEVICE, {}};
    const ULONG minor = action == PowerAction::Cold   ? SCARD_COLD_RESET
                        : action == PowerAction::Warm ? SCARD_WARM_RESET
                                                      : SCARD_POWER_DOWN;
    Answer a = Request(lun, IOCTL_SMARTCARD_POWER, UlongBytes(minor), action == PowerAction::Down ? 0 : MAXIMUM_ATR_LENGTH);
    std::lock_guard<std::mutex> lock(c->card.mutex);
    c->card.powered = action != PowerAction::Down && a.outcome == Outcome::Success;
    if (c->card.powered)
        c->card.atr = a.data;
    else
        c->card.atr.clear();
    return a;
}

Answer SetProtocol(unsigned long lun, uint32_t protocols) {
    return CardRequest(lun, IOCTL_SMARTCARD_SET_PROTOCOL, UlongBytes(protocols), sizeof(ULONG));
}

Answer Transmit(unsigned long lun, uint32_t protocol, const std::vector<uint8_t>& apdu, uint32_t maxAnswer) {
    SCARD_IO_REQUEST header{protocol, sizeof(SCARD_IO_REQUEST)};
    std::vector<uint8_t> in(sizeof header);
    std::memcpy(in.data(), &header, sizeof header);
    in.insert(in.end(), apdu.begin(), apdu.end());
    Answer a = CardRequest(lun, IOCTL_SMARTCARD_TRANSMIT, std::move(in), sizeof(SCARD_IO_REQUEST) + maxAnswer);
    // The answer repeats the header; the card's bytes follow it.
    if (a.outcome == Outcome::Success) {
        if (a.data.size() < sizeof header) {
            a.outcome = Outcome::Failed;
            a.data.clear();
        } else {
            a.data.erase(a.data.begin(), a.data.begin() + sizeof header);
        }
    }
    return a;
}

Presence LookAtCard(unsigned long lun) {
    std::shared_ptr<Channel> c = Find(lun);
    if (!c) return Presence::Gone;
    // The driver powers a card down on its own only in a request that failed, which looks itself;
    // this catches whatever else took the power (a wake from a system sleep, a reset by a tool).
    PowerLost(lun, *c);
    std::lock_guard<std::mutex> lock(c->card.mutex);
    const Presence now = c->card.Current();
    c->card.removalOwed = false;
    if (now != Presence::Present) {
        c->card.powered = false;
        c->card.atr.clear();
    }
    c->card.told = now;
    return now;
}

bool WaitForCardEvent(unsigned long lun, long timeoutMs) {
    std::shared_ptr<Channel> c = Find(lun);
    if (!c) return false;
    CardRecord& card = c->card;
    std::unique_lock<std::mutex> lock(card.mutex);
    auto due = [&] { return card.stopAsked || card.closing || card.told != card.Current(); };
    card.news.wait_for(lock, std::chrono::milliseconds(std::max(0L, timeoutMs)), due);
    card.stopAsked = false;
    return true;
}

void StopWaiting(unsigned long lun) {
    std::shared_ptr<Channel> c = Find(lun);
    if (!c) return;
    std::lock_guard<std::mutex> lock(c->card.mutex);
    c->card.stopAsked = true;
    c->card.news.notify_all();
}

std::vector<uint8_t> CardAtr(unsigned long lun) {
    std::shared_ptr<Channel> c = Find(lun);
    if (!c) return {};
    std::lock_guard<std::mutex> lock(c->card.mutex);
    return c->card.atr;
}

Answer CardState(unsigned long lun) { return Request(lun, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG)); }

Answer Version(unsigned long lun) { return Request(lun, IOCTL_READER_GET_VERSION, {}, 8); }

std::string LastShutdownReport() {
    std::lock_guard<std::mutex> lock(reportMutex);
    return lastShutdownReport;
}

std::string StatusText(int32_t status) { return kernel::StatusName(status); }

}  // namespace lmscr::ifd
