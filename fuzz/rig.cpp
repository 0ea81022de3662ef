#include "rig.h"

#include "sim/cards/profiles.h"
#include "sim/wire.h"

#include <algorithm>
#include <cstring>

namespace lmscr::fuzz {

Bytes Escaped(const Bytes& card) {
    Bytes out;
    for (uint8_t b : card) {
        if (b == sim::wire::kEscape) out.push_back(sim::wire::kEscape);
        out.push_back(b);
    }
    return out;
}

bool IsSubsequence(const Bytes& answer, const Bytes& stream) {
    size_t at = 0;
    for (uint8_t b : answer) {
        while (at < stream.size() && stream[at] != b) ++at;
        if (at == stream.size()) return false;
        ++at;
    }
    return true;
}

void CheckIoResult(const kernel::IoResult& r, ULONG outputLength, const char* what) {
    if (r.information > outputLength)
        Fail("Information beyond the output buffer",
             std::string(what) + ": information " + std::to_string(r.information) + " > output length " +
                 std::to_string(outputLength) + ", status " + kernel::StatusName(r.status));
    // An error carries nothing back to the caller (a warning such as STATUS_BUFFER_OVERFLOW may).
    if (NT_ERROR(r.status) && r.information != 0)
        Fail("an error status with data", std::string(what) + ": " + kernel::StatusName(r.status) +
                                              " with information " + std::to_string(r.information));
    if (r.status == STATUS_PENDING) Fail("a synchronous request came back pending", what);
}

// ---- the scripted reader ------------------------------------------------------------------

ScriptedReader::ScriptedReader(serial::SimulatedLine& line) : line_(line), alive_(std::make_shared<bool>(true)) {
    reg_[sim::wire::RegVersion] = 0x23;
    line_.SetPeerReceive([this](uint8_t b, uint32_t) { OnByte(b); });
}

ScriptedReader::~ScriptedReader() {
    *alive_ = false;
    line_.SetPeerReceive([](uint8_t, uint32_t) {});
}

void ScriptedReader::After(uint64_t ns, std::function<void()> fn) {
    std::weak_ptr<bool> alive = alive_;
    line_.Clock().After(ns, [alive, fn = std::move(fn)] {
        auto a = alive.lock();
        if (a && *a) fn();
    });
}

void ScriptedReader::SendRaw(const Bytes& wire) {
    for (uint8_t b : wire) line_.PeerSend(b);
}

void ScriptedReader::Reply(uint8_t value) { SendRaw(Escaped({value})); }

void ScriptedReader::OnByte(uint8_t b) {
    command_.push_back(b);
    if (command_.size() == 1) expected_ = sim::wire::CommandLength(b);
    if (command_.size() < expected_) return;
    Execute();
    command_.clear();
}

void ScriptedReader::Execute() {
    using namespace sim::wire;
    ++commands;
    const uint8_t head = command_[0];
    const uint8_t r = head & kArgMask;
    switch (head & kOpMask) {
    case kOpReadRegister: {
        uint8_t value = reg_[r];
        if (r == RegCardState) value = (cardPresent ? kCardStatePresent : 0) | (powered_ ? kCardStatePowered : 0);
        Reply(value);
        return;
    }
    case kOpWriteRegister: {
        reg_[r] = command_[1];
        uint8_t reply = kDone;
        if (!writeReplies.empty()) {
            reply = writeReplies.front();
            writeReplies.pop_front();
        }
        Reply(reply);
        if (reply != kDone) return;
        if (r == RegCardState && !(command_[1] & kCardStatePowered)) powered_ = false;
        if (r == RegCardReset && command_[1] == kActivate && cardPresent) {
            powered_ = true;
            block_.clear();
            // The card's answer starts a little after RST rises.
            const Bytes wire = Escaped(atr);
            After(1'000'000, [this, wire] {
                if (!powered_) return;
                SendRaw(wire);
                cardBytes.insert(cardBytes.end(), atr.begin(), atr.end());
            });
        }
        return;
    }
    case kOpSendData:
        break;
    default:
        Reply(kReaderError);
        return;
    }
    const Bytes data(command_.begin() + 1, command_.end());
    sent.push_back(data);
    bool complete = true;
    // A PTS request (PTSS FF, which no T=1 block starts with) is answered as a whole.
    if (blockMode && !(block_.empty() && !data.empty() && data[0] == 0xFF)) {
        block_.insert(block_.end(), data.begin(), data.end());
        complete = block_.size() >= 3 && block_.size() >= 3 + size_t{block_[2]} + epilogue;
        if (complete) block_.clear();
    }
    if (!complete || !powered_) {
        Reply(kDone);
        return;
    }
    if (reactions.empty()) {
        Reply(kDone);
        if (silenceTimeoutNs != 0) After(silenceTimeoutNs, [this] { SendRaw({kEscape, kEventTimeout}); });
        return;
    }
    Reaction reaction = std::move(reactions.front());
    reactions.pop_front();
    Reply(reaction.status < 0 ? kDone : static_cast<uint8_t>(reaction.status));
    auto send = [this, reaction] {
        SendRaw(reaction.wire);
        cardBytes.insert(cardBytes.end(), reaction.card.begin(), reaction.card.end());
        played.push_back(reaction);
        if (reaction.blockEndNs != 0)
            After(reaction.blockEndNs, [this] { SendRaw({sim::wire::kEscape, sim::wire::kEventTimeout}); });
    };
    if (reaction.delayNs == 0)
        send();
    else
        After(reaction.delayNs, send);
}

// ---- the rig --------------------------------------------------------------------------------

Rig::Rig(RigOptions options) : options_(options) {
    kernel::Options k;
    k.seed = options.seed;
    kernel_ = std::make_unique<kernel::Kernel>(k);
    serial_ = serial::LoadSerialDriver(*kernel_);
    serial::PortOptions portOptions;
    portOptions.forcePending = options.forcePending;
    if (options.simulatedReader) {
        port_ = serial::CreateSimulatedPort(*kernel_, serial_, "COM1", serial::LineFormat{}, sim::ReaderConfig{},
                                            portOptions);
    } else {
        line_ = serial::CreateSimulatedLine(*kernel_, serial_, "COM1", serial::LineFormat{}, portOptions);
        reader_ = std::make_unique<ScriptedReader>(*line_);
    }
    driver_ = kernel_->Pnp().LoadDriver("lmscr", DriverEntry);
    if (!driver_) Fail("DriverEntry failed");
}

Rig::~Rig() {
    if (!finished_) Finish();
}

bool Rig::Start() {
    if (kernel_->Pnp().AddDevice(driver_, Pdo()) != STATUS_SUCCESS) return false;
    added_ = true;
    if (kernel_->Pnp().Start(Pdo()) != STATUS_SUCCESS) return false;
    if (kernel_->Clients().OpenDevice(Pdo(), handle) != STATUS_SUCCESS) return false;
    if (port_) {
        if (!options_.card.empty()) InsertCard(options_.card);
    } else if (reader_->cardPresent) {
        line_->RunOnLine([this] { reader_->SendRaw({sim::wire::kEscape, sim::wire::kEventCardInserted}); });
        kernel_->Sleep(5);
    }
    return true;
}

void Rig::InsertCard(const std::string& card) {
    auto made = sim::cards::MakeCardProfile(card, 1);
    if (!made) Fail("no such card profile", card);
    port_->WithReader([&](sim::ReaderFirmware& reader) { reader.InsertCard(std::move(made)); });
    // The insertion event reaches the driver one escape pair later.
    kernel_->Sleep(5);
}

void Rig::RemoveCard() {
    port_->WithReader([](sim::ReaderFirmware& reader) { reader.RemoveCard(); });
    kernel_->Sleep(5);
}

kernel::IoResult Rig::Ioctl(ULONG code, const Bytes& input, ULONG outputLength) {
    return kernel_->Clients().IoControl(handle, code, input, outputLength);
}

void Rig::Finish() {
    if (finished_) return;
    finished_ = true;
    if (handle.IsOpen()) kernel_->Clients().Close(handle);
    if (added_ && Pdo()->AttachedDevice) {
        const NTSTATUS status = kernel_->Pnp().Remove(Pdo());
        if (status != STATUS_SUCCESS) Fail("the reader's removal failed", kernel::StatusName(status));
    }
    kernel::LeakReport driverLeaks = kernel_->Pnp().UnloadDriver(driver_);
    if (!driverLeaks.empty()) Fail("the driver left behind", driverLeaks.ToString());
    reader_.reset();
    port_.reset();
    line_.reset();
    kernel::LeakReport rest = kernel_->Shutdown();
    if (!rest.empty()) Fail("left behind at shutdown", rest.ToString());
    kernel_.reset();
}

}  // namespace lmscr::fuzz
