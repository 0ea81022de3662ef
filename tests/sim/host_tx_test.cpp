#include "sim/host_tx.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/sim/manual_clock.h"

namespace lmscr::sim {
namespace {

using testing::ManualClock;

struct Sent {
    uint64_t t_ns;
    uint8_t b;
    bool operator==(const Sent&) const = default;
};

class HostTransmitterTest : public ::testing::Test {
protected:
    static constexpr uint64_t kByteNs = 520'834;  // 10 bits at 19200 baud, rounded up

    void Make(uint64_t byte_ns, Faults* faults = nullptr) {
        tx_ = std::make_unique<HostTransmitter>(
            clock_, [this](uint8_t b) { sent_.push_back({clock_.NowNs(), b}); }, byte_ns, faults);
    }
    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> out;
        for (const Sent& s : sent_) out.push_back(s.b);
        return out;
    }

    ManualClock clock_;
    std::vector<Sent> sent_;
    std::unique_ptr<HostTransmitter> tx_;
};

TEST_F(HostTransmitterTest, bytes_leave_one_per_byte_time) {
    Make(kByteNs);
    tx_->SendData(0x3B);
    tx_->SendData(0x90);
    tx_->SendData(0x00);
    EXPECT_EQ(tx_->IdleAtNs(), 3 * kByteNs);
    clock_.RunUntil(10 * kByteNs);
    const std::vector<Sent> want{{0, 0x3B}, {kByteNs, 0x90}, {2 * kByteNs, 0x00}};
    EXPECT_EQ(sent_, want);
    EXPECT_EQ(tx_->QuietFromNs(), 3 * kByteNs);
    EXPECT_TRUE(tx_->Idle());
}

TEST_F(HostTransmitterTest, data_byte_0x10_goes_out_doubled) {
    Make(kByteNs);
    tx_->SendData(0x10);
    clock_.RunFor(10 * kByteNs);
    EXPECT_EQ(Bytes(), (std::vector<uint8_t>{0x10, 0x10}));
}

TEST_F(HostTransmitterTest, urgent_event_goes_at_next_byte_boundary_ahead_of_the_stream) {
    Make(kByteNs);
    for (uint8_t b : {0x41, 0x42, 0x43, 0x44}) tx_->SendData(b);
    clock_.RunUntil(kByteNs + kByteNs / 2);  // 0x42 on the wire
    tx_->SendUrgentEvent(0x85);
    clock_.RunFor(20 * kByteNs);
    EXPECT_EQ(Bytes(), (std::vector<uint8_t>{0x41, 0x42, 0x10, 0x85, 0x43, 0x44}));
    EXPECT_EQ(sent_[2].t_ns, 2 * kByteNs);
}

TEST_F(HostTransmitterTest, urgent_event_never_splits_an_escape_pair) {
    Make(kByteNs);
    tx_->SendData(0x10);
    tx_->SendData(0x10);
    clock_.RunUntil(kByteNs / 2);  // first half of the first pair on the wire
    tx_->SendUrgentEvent(0x86);
    clock_.RunFor(20 * kByteNs);
    EXPECT_EQ(Bytes(), (std::vector<uint8_t>{0x10, 0x10, 0x10, 0x86, 0x10, 0x10}));
}

TEST_F(HostTransmitterTest, stream_event_keeps_its_place_behind_queued_data) {
    Make(kByteNs);
    tx_->SendData(0x01);
    tx_->SendData(0x02);
    tx_->SendStreamEvent(0x83);
    clock_.RunFor(20 * kByteNs);
    EXPECT_EQ(Bytes(), (std::vector<uint8_t>{0x01, 0x02, 0x10, 0x83}));
}

TEST_F(HostTransmitterTest, zero_byte_time_hands_everything_over_at_once_in_order) {
    Make(0);
    tx_->SendData(0x01);
    tx_->SendData(0x10);
    tx_->SendUrgentEvent(0x85);
    EXPECT_EQ(Bytes(), (std::vector<uint8_t>{0x01, 0x10, 0x10, 0x10, 0x85}));
    EXPECT_EQ(clock_.PendingTimers(), 0u);
}

TEST_F(HostTransmitterTest, full_queue_drops_and_counts) {
    Make(kByteNs);
    for (size_t i = 0; i < HostTransmitter::kMaxQueuedUnits + 3; ++i) tx_->SendData(0x55);
    // One unit went straight onto the wire, the queue holds the bound, the rest is dropped.
    EXPECT_EQ(tx_->UnitsDropped(), 2u);
}

TEST_F(HostTransmitterTest, dropped_byte_still_takes_its_time) {
    FaultOptions o;
    o.host_tx_drop_ppm = 1'000'000;
    Faults faults(o);
    Make(kByteNs, &faults);
    tx_->SendData(0x01);
    tx_->SendData(0x02);
    clock_.RunFor(10 * kByteNs);
    EXPECT_TRUE(sent_.empty());
    EXPECT_EQ(tx_->QuietFromNs(), 2 * kByteNs);
}

TEST_F(HostTransmitterTest, clear_forgets_what_waits) {
    Make(kByteNs);
    tx_->SendData(0x01);
    tx_->SendData(0x02);
    tx_->SendData(0x03);
    tx_->Clear();
    clock_.RunFor(10 * kByteNs);
    EXPECT_EQ(Bytes(), (std::vector<uint8_t>{0x01}));
}

}  // namespace
}  // namespace lmscr::sim
