// The simulated line: a port's back end whose far end is a byte peer (a test, or the simulated
// reader's firmware), with both directions timed by the kernel's clock.
//
// Timing model, per character and per direction:
//   - the sender starts a character when its transmitter is free; the character occupies the
//     wire for FrameNs(sender's format) (start bit, data bits, parity, stop bits);
//   - the receiver gets it when the stop bit ends (see uart_wire.h for mismatched formats);
//   - the port's transmitter takes the next byte of the current write the moment the previous
//     character has left, so a write of n bytes at 19200 8N1 occupies the wire for n x 520834 ns.
//
// Threads: every line event runs in the kernel's deferred-procedure thread (Kernel::At), at
// DISPATCH_LEVEL, so the line, the wire decoders and the reader firmware are only ever touched
// by that one thread. Calls from elsewhere are posted there.
//
// Power: the far end is powered from the port. When the port goes to D3 both directions are
// cut (a character half way is lost) and the peer is told; when it comes back to D0 the peer is
// told first thing, before the port's D0 request completes.
#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "port.h"
#include "simulated_line.h"
#include "uart_wire.h"

namespace lmscr::serial {

namespace {

// sim::Clock on the kernel's clock. A timer handed to the DPC thread can no longer be taken
// back with CancelAt, so each one also checks that it is still wanted when it runs.
//
// The line sets a timer or more for every character, so setting one must not go to the heap:
// the callbacks stay in the clock's own slots, and the kernel gets a callback of two words (the
// clock's life record and the timer's id), which std::function keeps in place. A callback can
// be handed to the DPC thread just before the line stops and run after the clock is gone; the
// life record outlives the clock until the last such callback has run.
class KernelClock : public sim::Clock {
public:
    explicit KernelClock(kernel::Kernel& kernel) : kernel_(kernel), life_(new Life{this}) {}
    ~KernelClock() override { Life::Detach(life_); }
    KernelClock(const KernelClock&) = delete;
    KernelClock& operator=(const KernelClock&) = delete;

    uint64_t NowNs() const override { return kernel_.NowNs(); }

    TimerId After(uint64_t delayNs, std::function<void()> fn) override {
        const TimerId id = NewEntry();
        entries_[id & kSlotMask].fn = std::move(fn);
        return Arm(id, delayNs);
    }

    TimerId AfterCall(uint64_t delayNs, Call call) override {
        const TimerId id = NewEntry();
        entries_[id & kSlotMask].call = call;
        return Arm(id, delayNs);
    }

    void Cancel(TimerId id) override {
        if (!Live(id)) return;
        const kernel::Kernel::TimerId kernelId = entries_[id & kSlotMask].kernelId;
        Release(id);
        if (kernel_.CancelAt(kernelId)) --life_->outstanding;
    }

    // From the line thread: nothing set so far will run.
    void Stop() {
        life_->alive = false;
        for (Entry& e : entries_)
            if (e.id && kernel_.CancelAt(e.kernelId)) --life_->outstanding;
        entries_.clear();
        free_.clear();
    }

    // Runs fn in the line thread at the current instant (after what is due now), unless the
    // clock has been stopped by then.
    void Post(std::function<void()> fn) {
        Life* life = life_;
        ++life->outstanding;
        kernel_.At(0, [life, fn = std::move(fn)] {
            if (Life::Ran(life)) fn();
        });
    }

    kernel::Kernel& Kernel() { return kernel_; }

private:
    // What a kernel callback of the clock needs to know when it runs: whether the clock is still
    // there and wants it. Kept until the clock is gone and no callback of it is left in the
    // kernel; a record whose clock went first waits in a list (so that it stays reachable).
    struct Life {
        KernelClock* clock;
        bool alive = true;
        uint64_t outstanding = 0;  // kernel callbacks set and neither run nor cancelled

        // A kernel callback runs: true when the clock still wants it.
        static bool Ran(Life* life) {
            --life->outstanding;
            if (life->clock == nullptr) {
                if (life->outstanding == 0) Forget(life);
                return false;
            }
            return life->alive;
        }
        static void Detach(Life* life) {
            if (life->outstanding == 0) {
                delete life;
                return;
            }
            life->clock = nullptr;
            std::lock_guard<std::mutex> lock(OrphansLock());
            Orphans().push_back(life);
        }
        static void Forget(Life* life) {
            {
                std::lock_guard<std::mutex> lock(OrphansLock());
                auto& orphans = Orphans();
                orphans.erase(std::find(orphans.begin(), orphans.end(), life));
            }
            delete life;
        }
        static std::mutex& OrphansLock() {
            static std::mutex m;
            return m;
        }
        static std::vector<Life*>& Orphans() {
            static std::vector<Life*> v;
            return v;
        }
    };

    // The timers set and not yet run or cancelled, in reused slots. An id is the slot in its
    // low bits and a count of timers above them.
    static constexpr unsigned kSlotBits = 24;
    static constexpr TimerId kSlotMask = (TimerId{1} << kSlotBits) - 1;
    struct Entry {
        TimerId id = 0;  // 0: free
        kernel::Kernel::TimerId kernelId = 0;
        Call call{};                // when fn is empty
        std::function<void()> fn;
    };

    TimerId NewEntry() {
        uint32_t slot;
        if (free_.empty()) {
            slot = static_cast<uint32_t>(entries_.size());
            entries_.emplace_back();
        } else {
            slot = free_.back();
            free_.pop_back();
        }
        const TimerId id = ++next_ << kSlotBits | slot;
        entries_[slot].id = id;
        return id;
    }

    TimerId Arm(TimerId id, uint64_t delayNs) {
        Life* life = life_;
        ++life->outstanding;
        entries_[id & kSlotMask].kernelId = kernel_.At(delayNs, [life, id] {
            if (Life::Ran(life)) life->clock->Run(id);
        });
        return id;
    }

    void Run(TimerId id) {
        if (!Live(id)) return;
        Entry& e = entries_[id & kSlotMask];
        if (e.fn) {
            std::function<void()> fn = std::move(e.fn);
            e.fn = nullptr;
            Release(id);
            fn();
        } else {
            const Call call = e.call;
            Release(id);
            call();
        }
    }

    bool Live(TimerId id) const {
        const TimerId slot = id & kSlotMask;
        return id != 0 && slot < entries_.size() && entries_[slot].id == id;
    }
    // Frees the timer's slot (a live one).
    void Release(TimerId id) {
        Entry& e = entries_[id & kSlotMask];
        e.id = 0;
        if (e.fn) e.fn = nullptr;
        free_.push_back(static_cast<uint32_t>(id & kSlotMask));
    }

    kernel::Kernel& kernel_;
    Life* life_;
    TimerId next_ = 0;
    std::vector<Entry> entries_;
    std::vector<uint32_t> free_;
};

uint64_t Mix(uint64_t seed, const std::string& name, uint64_t salt) {
    uint64_t h = 0xCBF29CE484222325ull ^ seed;
    for (char c : name) h = (h ^ static_cast<uint8_t>(c)) * 0x100000001B3ull;
    return h ^ (salt * 0x9E3779B97F4A7C15ull);
}

class SimulatedLineImpl : public SimulatedLine, public Backend {
public:
    SimulatedLineImpl(kernel::Kernel& kernel, const std::string& name, const LineFormat& peerFormat, uint64_t seed)
        : clock_(kernel),
          name_(name),
          peerFormat_(peerFormat),
          toPeer_(clock_, Mix(seed, name, 1), [this](uint8_t b, uint32_t errors) { ToPeer(b, errors); }),
          toPort_(clock_, Mix(seed, name, 2), [this](uint8_t b, uint32_t errors) { ToPort(b, errors); }) {
        toPeer_.SetReceiverFormat(peerFormat);
    }

    ~SimulatedLineImpl() override { Shutdown(); }

    bool Attach(PDRIVER_OBJECT driver, const PortOptions& options) {
        device_ = CreateSerialDevice(clock_.Kernel(), driver, name_, options, this, &port_);
        if (!device_) return false;
        PortSetDsr(port_, true);  // the far end is powered
        return true;
    }

    // Deletes the device and stops every timer; afterwards nothing of the line runs.
    void Shutdown() {
        if (stopped_) return;
        if (port_) DeleteSerialDevice(port_);
        Quiesce();
    }

    // ---- SimulatedLine ----
    PDEVICE_OBJECT Device() const override { return device_; }
    const std::string& PortName() const override { return name_; }
    sim::Clock& Clock() override { return clock_; }
    void SetPeerReceive(PeerReceive receive) override { peer_ = std::move(receive); }
    void SetPeerFormat(const LineFormat& format) override {
        peerFormat_ = format;
        toPeer_.SetReceiverFormat(format);
    }
    LineFormat PeerFormat() const override { return peerFormat_; }

    uint64_t PeerSend(uint8_t byte) override {
        if (!connected_) return clock_.NowNs() + FrameNs(peerFormat_);
        return toPort_.Send(byte, peerFormat_);
    }

    void SetDsr(bool on) override {
        RunOnLine([this, on] {
            if (port_) PortSetDsr(port_, on);
        });
    }

    void SetConnected(bool connected) override {
        RunOnLine([this, connected] {
            connected_ = connected;
            if (!connected) {
                toPeer_.Cut();
                toPort_.Cut();
            }
        });
    }

    void SetTransmitHold(bool hold) override {
        RunOnLine([this, hold] {
            txHeld_ = hold;
            if (!hold) Pump();
        });
    }

    void SetPeerPower(PeerPower power) override { peerPower_ = std::move(power); }
    bool PortPowered() const override { return powered_; }

    void RunOnLine(std::function<void()> fn) override {
        if (stopped_) return;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        clock_.Kernel().At(0, [&] {
            fn();
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        });
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }

    sim::LineTrace& Trace() override { return trace_; }

    // ---- Backend ----
    void OnFormat(const LineFormat& format) override {
        clock_.Post([this, format] {
            portFormat_ = format;
            toPort_.SetReceiverFormat(format);
        });
    }
    void OnTransmitReady() override {
        clock_.Post([this] { Pump(); });
    }
    void OnPower(bool powered) override {
        auto apply = [this, powered] {
            if (powered_ == powered) return;
            powered_ = powered;
            if (!powered) {
                toPeer_.Cut();
                toPort_.Cut();
            }
            if (peerPower_) peerPower_(powered);
        };
        // Waited for when the caller may wait, so that the port's power request completes
        // after the far end has followed it.
        if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
            RunOnLine(apply);
        } else {
            clock_.Post(apply);
        }
    }
    void OnPortGone() override {
        // Driver unload: the device is going; stop the line while the DPC thread still runs.
        Quiesce();
    }

private:
    void Quiesce() {
        if (stopped_) return;
        RunOnLine([this] {
            port_ = nullptr;
            clock_.Stop();
        });
        stopped_ = true;
    }

    // The port's transmitter: one character at a time, the next the moment the last has left.
    void Pump() {
        if (txBusy_ || txHeld_ || !port_) return;
        uint8_t b;
        if (!PortTakeTxByte(port_, &b)) {
            if (sentSinceEmpty_) {
                sentSinceEmpty_ = false;
                PortTransmitterEmpty(port_);
            }
            return;
        }
        txBusy_ = true;
        sentSinceEmpty_ = true;
        const uint64_t now = clock_.NowNs();
        const uint64_t end = connected_ ? toPeer_.Send(b, portFormat_) : now + FrameNs(portFormat_);
        clock_.AfterCall(end - now, sim::CallOf<&SimulatedLineImpl::OnCharacterSent>(this));
    }

    void OnCharacterSent() {
        txBusy_ = false;
        Pump();
    }

    void ToPeer(uint8_t b, uint32_t errors) {
        trace_.Record(clock_.NowNs(), sim::Direction::HostToReader, b);
        if (peer_) peer_(b, errors);
    }

    void ToPort(uint8_t b, uint32_t errors) {
        trace_.Record(clock_.NowNs(), sim::Direction::ReaderToHost, b);
        if (port_) PortReceive(port_, &b, &errors, 1);
    }

    KernelClock clock_;
    std::string name_;
    LineFormat peerFormat_;
    LineFormat portFormat_;
    UartWire toPeer_;
    UartWire toPort_;
    PeerReceive peer_;
    PeerPower peerPower_;
    sim::LineTrace trace_;
    Port* port_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    bool txBusy_ = false;
    bool txHeld_ = false;
    bool sentSinceEmpty_ = false;
    bool connected_ = true;
    bool powered_ = true;
    bool stopped_ = false;
};

class SimulatedPortImpl : public SimulatedPort {
public:
    SimulatedPortImpl(std::unique_ptr<SimulatedLineImpl> line, sim::ReaderConfig config) : line_(std::move(line)) {
        firmware_ = std::make_unique<sim::ReaderFirmware>(
            line_->Clock(), [this](uint8_t b) { line_->PeerSend(b); }, config);
        line_->SetPeerReceive([this](uint8_t b, uint32_t) { firmware_->OnHostByte(b); });
        line_->SetPeerPower([this](bool powered) { firmware_->SetPowered(powered); });
    }
    ~SimulatedPortImpl() override {
        // Nothing of the line runs after Shutdown, so the firmware's timers can go with it.
        line_->Shutdown();
        firmware_.reset();
    }

    PDEVICE_OBJECT Device() const override { return line_->Device(); }
    SimulatedLine& Line() override { return *line_; }
    sim::ReaderFirmware& Reader() override { return *firmware_; }
    void WithReader(std::function<void(sim::ReaderFirmware&)> fn) override {
        line_->RunOnLine([&] { fn(*firmware_); });
    }
    sim::LineTrace& Trace() override { return line_->Trace(); }

private:
    std::unique_ptr<SimulatedLineImpl> line_;
    std::unique_ptr<sim::ReaderFirmware> firmware_;
};

std::unique_ptr<SimulatedLineImpl> MakeLine(kernel::Kernel& kernel, PDRIVER_OBJECT driver, const std::string& name,
                                            const LineFormat& peerFormat, const PortOptions& options) {
    const uint64_t seed = options.seed ? options.seed : kernel.Seed();
    auto line = std::make_unique<SimulatedLineImpl>(kernel, name, peerFormat, seed);
    if (!line->Attach(driver, options)) {
        line->Shutdown();
        return nullptr;
    }
    return line;
}

}  // namespace

std::unique_ptr<SimulatedLine> CreateSimulatedLine(kernel::Kernel& kernel, PDRIVER_OBJECT driver,
                                                   const std::string& portName, const LineFormat& peerFormat,
                                                   const PortOptions& options) {
    return MakeLine(kernel, driver, portName, peerFormat, options);
}

std::unique_ptr<SimulatedPort> CreateSimulatedPort(kernel::Kernel& kernel, PDRIVER_OBJECT driver,
                                                   const std::string& portName, const LineFormat& readerFormat,
                                                   sim::ReaderConfig reader, const PortOptions& options) {
    auto line = MakeLine(kernel, driver, portName, readerFormat, options);
    if (!line) return nullptr;
    // The firmware paces its output at the line's character time.
    reader.host_baud = readerFormat.baud;
    reader.host_bits_per_byte = (FrameHalfBits(readerFormat) + 1) / 2;
    return std::make_unique<SimulatedPortImpl>(std::move(line), reader);
}

}  // namespace lmscr::serial
