#include "sim/host_tx.h"

#include <utility>

#include "sim/wire.h"

namespace lmscr::sim {

HostTransmitter::HostTransmitter(Clock& clock, LineFn line, uint64_t byte_ns, Faults* faults)
    : clock_(clock), line_(std::move(line)), byte_ns_(byte_ns), faults_(faults) {}

HostTransmitter::~HostTransmitter() {
    if (timer_pending_) clock_.Cancel(timer_);
}

void HostTransmitter::SendData(uint8_t b) {
    if (b == wire::kEscape) {
        Enqueue(stream_, Unit{{wire::kEscape, wire::kEscape}, 2});
    } else {
        Enqueue(stream_, Unit{{b, 0}, 1});
    }
}

void HostTransmitter::SendStreamEvent(uint8_t code) {
    Enqueue(stream_, Unit{{wire::kEscape, code}, 2});
}

void HostTransmitter::SendUrgentEvent(uint8_t code) {
    Enqueue(events_, Unit{{wire::kEscape, code}, 2});
}

void HostTransmitter::Clear() {
    stream_.clear();
    events_.clear();
    current_next_ = current_.length;
}

uint64_t HostTransmitter::IdleAtNs() const {
    uint64_t bytes = static_cast<uint64_t>(current_.length - current_next_);
    for (const Unit& u : stream_) bytes += u.length;
    for (const Unit& u : events_) bytes += u.length;
    const uint64_t now = clock_.NowNs();
    const uint64_t start = line_free_at_ns_ > now ? line_free_at_ns_ : now;
    return start + bytes * byte_ns_;
}

uint64_t HostTransmitter::QuietFromNs() const {
    const bool pending = current_next_ < current_.length || !stream_.empty() || !events_.empty();
    return pending ? IdleAtNs() : line_free_at_ns_;
}

void HostTransmitter::Enqueue(std::deque<Unit>& queue, Unit unit) {
    if (stream_.size() + events_.size() >= kMaxQueuedUnits) {
        ++units_dropped_;
        return;
    }
    queue.push_back(unit);
    if (!timer_pending_ && !pumping_) Pump();
}

void HostTransmitter::Pump() {
    pumping_ = true;
    PumpLocked();
    pumping_ = false;
}

void HostTransmitter::PumpLocked() {
    // One byte per call when paced; the whole queue at once when the line paces itself.
    // Bounded: every pass takes one byte out of a bounded set of queued bytes.
    for (size_t budget = 2 * kMaxQueuedUnits + 2; budget > 0; --budget) {
        const bool unit_open = current_next_ < current_.length;
        if (!unit_open && events_.empty() && stream_.empty()) return;
        const uint64_t now = clock_.NowNs();
        if (byte_ns_ != 0 && line_free_at_ns_ > now) {
            // The next unit is chosen only when the line is free, so that an event queued
            // meanwhile still goes first.
            timer_pending_ = true;
            timer_ = clock_.AfterCall(line_free_at_ns_ - now, CallOf<&HostTransmitter::OnLineFree>(this));
            return;
        }
        if (!unit_open) {
            std::deque<Unit>& from = !events_.empty() ? events_ : stream_;
            current_ = from.front();
            from.pop_front();
            current_next_ = 0;
        }
        const uint8_t b = current_.bytes[current_next_++];
        line_free_at_ns_ = now + byte_ns_;
        Put(b);
    }
}

void HostTransmitter::OnLineFree() {
    timer_pending_ = false;
    Pump();
}

void HostTransmitter::Put(uint8_t b) {
    if (faults_ != nullptr) {
        const FaultOptions& o = faults_->Options();
        if (faults_->Roll(FaultKind::HostTxDrop, o.host_tx_drop_ppm)) return;  // its time passes
        if (faults_->Roll(FaultKind::HostTxCorrupt, o.host_tx_corrupt_ppm)) {
            b = faults_->FlipOneBit(FaultKind::HostTxCorrupt, b);
        }
    }
    ++bytes_sent_;
    line_(b);
}

}  // namespace lmscr::sim
