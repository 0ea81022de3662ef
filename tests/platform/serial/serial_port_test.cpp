// The port driver's requests on a simulated line whose far end is the test: read and write
// time-outs, wait-on-mask and its history, the settings, purge, cancellation, force-pending.
#include "serial_test_support.h"


namespace lmscr::serial::test {
namespace {

class Port : public SerialFixture {
protected:
    void SetUp() override {
        SerialFixture::SetUp();
        PortOptions options;
        options.forcePending = true;
        line = CreateSimulatedLine(*k, driver, "COM1", LineFormat{}, options);
        ASSERT_NE(line, nullptr);
        line->SetPeerReceive([this](uint8_t b, uint32_t errors) {
            peerGot.push_back(b);
            peerErrors |= errors;
            if (echo) line->PeerSend(b);
        });
        Open(line->Device());
        ConfigureLikeTheReader();
    }
    void DropPorts() override { line.reset(); }

    // The peer sends `bytes` back to back, starting now.
    void PeerSends(const Bytes& bytes) {
        line->RunOnLine([&] {
            for (uint8_t b : bytes) line->PeerSend(b);
        });
    }

    std::unique_ptr<SimulatedLine> line;
    Bytes peerGot;
    uint32_t peerErrors = 0;
    bool echo = false;
};

TEST_F(Port, one_byte_read_on_a_silent_line_times_out_after_exactly_the_total_constant) {
    const uint64_t t0 = k->NowNs();
    kernel::IoResult r = k->Clients().Read(handle, 1);
    EXPECT_EQ(r.status, STATUS_TIMEOUT);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(k->NowNs() - t0, 100 * kMs);
}

TEST_F(Port, total_timeout_is_multiplier_times_length_plus_constant) {
    ASSERT_EQ(SetTimeouts(0, 7, 30), STATUS_SUCCESS);
    const uint64_t t0 = k->NowNs();
    kernel::IoResult r = k->Clients().Read(handle, 10);
    EXPECT_EQ(r.status, STATUS_TIMEOUT);
    EXPECT_EQ(k->NowNs() - t0, (7 * 10 + 30) * kMs);
}

TEST_F(Port, interval_timeout_ends_a_read_with_the_bytes_so_far) {
    ASSERT_EQ(SetTimeouts(50, 0, 0), STATUS_SUCCESS);
    const uint64_t t0 = k->NowNs();
    PeerSends({0x41, 0x42});
    kernel::IoResult r = k->Clients().Read(handle, 4);
    EXPECT_EQ(r.status, STATUS_TIMEOUT);
    ASSERT_EQ(r.information, 2u);
    EXPECT_EQ(r.output[0], 0x41);
    EXPECT_EQ(r.output[1], 0x42);
    // The second byte is complete two character times after t0; the gap runs from there.
    EXPECT_EQ(k->NowNs() - t0, 2 * kByte19200 + 50 * kMs);
}

TEST_F(Port, maxulong_interval_returns_at_once_with_what_the_queue_holds) {
    ASSERT_EQ(SetTimeouts(SERIAL_TIMEOUT_MAXULONG, 0, 0), STATUS_SUCCESS);
    const uint64_t t0 = k->NowNs();
    kernel::IoResult empty = k->Clients().Read(handle, 8);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);
    EXPECT_EQ(k->NowNs(), t0);
    PeerSends({1, 2, 3});
    k->Sleep(5);
    kernel::IoResult some = k->Clients().Read(handle, 8);
    EXPECT_EQ(some.status, STATUS_SUCCESS);
    EXPECT_EQ(some.information, 3u);
}

TEST_F(Port, any_byte_mode_returns_with_the_first_byte_or_times_out_on_the_constant) {
    ASSERT_EQ(SetTimeouts(SERIAL_TIMEOUT_MAXULONG, SERIAL_TIMEOUT_MAXULONG, 40), STATUS_SUCCESS);
    uint64_t t0 = k->NowNs();
    kernel::IoResult none = k->Clients().Read(handle, 8);
    EXPECT_EQ(none.status, STATUS_TIMEOUT);
    EXPECT_EQ(k->NowNs() - t0, 40 * kMs);
    t0 = k->NowNs();
    PeerSends({0x99, 0x98});
    kernel::IoResult first = k->Clients().Read(handle, 8);
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(first.information, 1u);
    EXPECT_EQ(k->NowNs() - t0, kByte19200);
}

TEST_F(Port, bytes_wait_in_the_input_queue_and_purge_rxclear_drops_them) {
    PeerSends({1, 2, 3, 4, 5});
    k->Sleep(10);
    EXPECT_EQ(InQueue(), 5u);
    const ULONG purge = SERIAL_PURGE_RXCLEAR;
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_PURGE, AsBytes(purge)), STATUS_SUCCESS);
    EXPECT_EQ(InQueue(), 0u);
    const ULONG bad = 0x10;
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_PURGE, AsBytes(bad)), STATUS_INVALID_PARAMETER);
}

TEST_F(Port, a_write_leaves_one_character_time_apart_and_completes_when_the_last_is_taken) {
    const uint64_t t0 = k->NowNs();
    Bytes data{0x85, 0x80, 0x25, 0x00};
    kernel::IoResult r = k->Clients().Write(handle, data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    // The transmitter takes the fourth byte when the third has left.
    EXPECT_EQ(k->NowNs() - t0, 3 * kByte19200);
    k->Sleep(5);
    EXPECT_EQ(peerGot, data);
    EXPECT_EQ(peerErrors, 0u);
}

TEST_F(Port, write_total_timeout_ends_a_write_that_cannot_finish) {
    // 600 bytes take 312 ms at 19200 baud; the write is allowed 100 ms.
    ASSERT_EQ(SetTimeouts(0, 0, 0, 0, 100), STATUS_SUCCESS);
    const uint64_t t0 = k->NowNs();
    kernel::IoResult r = k->Clients().Write(handle, Bytes(600, 0x55));
    EXPECT_EQ(r.status, STATUS_TIMEOUT);
    EXPECT_EQ(k->NowNs() - t0, 100 * kMs);
    // Bytes taken by the transmitter: one at t0, then one per character time.
    EXPECT_EQ(r.information, 100 * kMs / kByte19200 + 1);
}

// The far end holds the transmitter off, so no byte of the write can leave: the write ends on the
// write values alone, which differ from every read value and every mix of the two.
TEST_F(Port, a_held_off_write_times_out_on_the_write_multiplier_and_constant) {
    ASSERT_EQ(SetTimeouts(50, 3, 100, 7, 45), STATUS_SUCCESS);
    line->SetTransmitHold(true);
    const uint64_t t0 = k->NowNs();
    kernel::IoResult r = k->Clients().Write(handle, Bytes(10, 0x55));
    EXPECT_EQ(r.status, STATUS_TIMEOUT);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(k->NowNs() - t0, (45 + 10 * 7) * kMs);
    EXPECT_TRUE(peerGot.empty());
    // Released, the line carries the next write.
    line->SetTransmitHold(false);
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0x66}).status, STATUS_SUCCESS);
    k->Sleep(5);
    EXPECT_EQ(peerGot, Bytes{0x66});
}

TEST_F(Port, a_write_held_off_midway_stops_after_the_byte_on_the_wire) {
    ASSERT_EQ(SetTimeouts(0, 0, 0, 0, 0), STATUS_SUCCESS);  // writes wait for ever
    kernel::IoResult r;
    auto writer = k->Spawn("writer", [&] { r = k->Clients().Write(handle, Bytes{1, 2, 3, 4}); });
    // The first byte is taken at once, the second one character time later.
    k->Sleep(1);
    line->SetTransmitHold(true);
    k->Sleep(100);
    EXPECT_EQ(r.status, STATUS_PENDING);
    EXPECT_EQ(peerGot, (Bytes{1, 2}));
    line->SetTransmitHold(false);
    k->Join(writer);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    k->Sleep(5);
    EXPECT_EQ(peerGot, (Bytes{1, 2, 3, 4}));
}

TEST_F(Port, setting_the_wait_mask_completes_a_pending_wait_with_no_events) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR), STATUS_SUCCESS);
    auto wait = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    k->Sleep(20);
    EXPECT_FALSE(wait->Done());
    ASSERT_EQ(SetWaitMask(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(wait->Result().information, 4u);
    EXPECT_EQ(Ulong(wait->Result()), 0u);
}

TEST_F(Port, a_dsr_drop_completes_the_wait_with_ev_dsr) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR), STATUS_SUCCESS);
    auto wait = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    k->Sleep(20);
    const uint64_t t0 = k->NowNs();
    line->SetDsr(false);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(k->NowNs(), t0);
    EXPECT_EQ(wait->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(Ulong(wait->Result()), SERIAL_EV_DSR);
    kernel::IoResult modem;
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4, &modem), STATUS_SUCCESS);
    EXPECT_EQ(Ulong(modem) & SERIAL_DSR_STATE, 0u);
}

TEST_F(Port, a_received_byte_completes_the_wait_when_its_stop_bit_ends) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR), STATUS_SUCCESS);
    auto wait = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    k->Sleep(3);
    const uint64_t t0 = k->NowNs();
    PeerSends({0x90});
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(k->NowNs() - t0, kByte19200);
    EXPECT_EQ(Ulong(wait->Result()), SERIAL_EV_RXCHAR);
    EXPECT_EQ(InQueue(), 1u);
}

TEST_F(Port, an_event_before_the_wait_is_armed_completes_the_wait_at_once) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    PeerSends({0x42});
    k->Sleep(5);
    const uint64_t t0 = k->NowNs();
    kernel::IoResult r;
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4, &r), STATUS_SUCCESS);
    EXPECT_EQ(Ulong(r), SERIAL_EV_RXCHAR);
    EXPECT_EQ(k->NowNs(), t0);
    // The history was consumed: the next wait pends.
    auto next = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    k->Sleep(10);
    EXPECT_FALSE(next->Done());
    ASSERT_EQ(SetWaitMask(0), STATUS_SUCCESS);
    ASSERT_TRUE(next->Wait());
}

TEST_F(Port, events_outside_the_mask_are_not_kept_for_the_next_wait) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_DSR), STATUS_SUCCESS);
    PeerSends({0x42});
    k->Sleep(5);
    auto wait = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    k->Sleep(10);
    EXPECT_FALSE(wait->Done());
    line->SetDsr(false);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(Ulong(wait->Result()), SERIAL_EV_DSR);
}

TEST_F(Port, a_second_wait_is_refused_while_one_is_pending) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto first = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    k->Sleep(1);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first->Done());
    ASSERT_TRUE(first->Cancel());
    ASSERT_TRUE(first->Wait());
    EXPECT_EQ(first->Result().status, STATUS_CANCELLED);
}

TEST_F(Port, a_wait_with_no_mask_or_a_short_buffer_is_refused) {
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 2), STATUS_BUFFER_TOO_SMALL);
    const ULONG unknown = 0x8000;
    EXPECT_EQ(SetWaitMask(unknown), STATUS_INVALID_PARAMETER);
}

TEST_F(Port, closing_the_handle_cancels_its_pending_wait) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto wait = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    k->Sleep(1);
    ASSERT_EQ(k->Clients().Close(handle), STATUS_SUCCESS);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Result().status, STATUS_CANCELLED);
}

TEST_F(Port, settings_are_kept_and_returned) {
    ASSERT_EQ(SetBaud(9600), STATUS_SUCCESS);
    ASSERT_EQ(SetLine(STOP_BITS_2, EVEN_PARITY, 7), STATUS_SUCCESS);
    SERIAL_CHARS chars{1, 2, 3, 4, 0x11, 0x13};
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_CHARS, AsBytes(chars)), STATUS_SUCCESS);
    SERIAL_HANDFLOW hf{0, SERIAL_XOFF_CONTINUE, 0, 0};
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, AsBytes(hf)), STATUS_SUCCESS);
    ASSERT_EQ(SetTimeouts(11, 22, 33, 44, 55), STATUS_SUCCESS);
    kernel::IoResult r;
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4, &r), STATUS_SUCCESS);
    EXPECT_EQ(Ulong(r), 9600u);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.output, (Bytes{STOP_BITS_2, EVEN_PARITY, 7}));
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_CHARS, {}, 6, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.output, (Bytes{1, 2, 3, 4, 0x11, 0x13}));
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16, &r), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(r.output.data(), &hf, sizeof hf), 0);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20, &r), STATUS_SUCCESS);
    SERIAL_TIMEOUTS t;
    std::memcpy(&t, r.output.data(), sizeof t);
    EXPECT_EQ(t.ReadIntervalTimeout, 11u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 55u);
    EXPECT_EQ(SerialFormat(line->Device()), (LineFormat{9600, 7, EVEN_PARITY, STOP_BITS_2}));
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
}

TEST_F(Port, impossible_settings_are_refused_and_change_nothing) {
    EXPECT_EQ(SetBaud(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetLine(STOP_BITS_1_5, NO_PARITY, 8), STATUS_INVALID_PARAMETER);  // 1.5 only with 5 bits
    EXPECT_EQ(SetLine(STOP_BIT_1, 7, 8), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetLine(STOP_BIT_1, NO_PARITY, 9), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetTimeouts(SERIAL_TIMEOUT_MAXULONG, SERIAL_TIMEOUT_MAXULONG, SERIAL_TIMEOUT_MAXULONG),
              STATUS_INVALID_PARAMETER);
    const uint8_t shortBaud[2] = {0x00, 0x4B};
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, shortBaud), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 19), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(0x1B0FFC), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(SerialFormat(line->Device()), LineFormat{});
}

TEST_F(Port, the_port_is_exclusive) {
    kernel::Handle second;
    EXPECT_EQ(k->Clients().OpenDevice(line->Device(), second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(FindSerialPort(driver, "COM1"), line->Device());
    EXPECT_EQ(FindSerialPort(driver, "COM2"), nullptr);
}

TEST_F(Port, purge_rxabort_ends_a_pending_read_with_its_bytes) {
    ASSERT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);  // reads wait for ever
    uint8_t buffer[4] = {};
    ULONG_PTR got = 99;
    NTSTATUS status = STATUS_PENDING;
    auto reader = k->Spawn("reader", [&] { status = DriverRead(line->Device(), buffer, 4, &got); });
    PeerSends({7});
    k->Sleep(10);
    const ULONG purge = SERIAL_PURGE_RXABORT;
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_PURGE, AsBytes(purge)), STATUS_SUCCESS);
    k->Join(reader);
    EXPECT_EQ(status, STATUS_CANCELLED);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buffer[0], 0u);  // a failed request copies nothing back
}

// The reader driver's receive engine: wait, status, one-byte reads, re-arm.
TEST_F(Port, reader_style_requests_round_trip_through_an_echoing_peer) {
    echo = true;
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR), STATUS_SUCCESS);
    const uint64_t t0 = k->NowNs();
    ASSERT_EQ(DriverWrite(line->Device(), {0xC0, 0x10}), STATUS_SUCCESS);
    Bytes got;
    for (int i = 0; i < 2; ++i) {
        uint8_t b = 0;
        ULONG_PTR n = 0;
        ASSERT_EQ(DriverRead(line->Device(), &b, 1, &n), STATUS_SUCCESS);
        ASSERT_EQ(n, 1u);
        got.push_back(b);
    }
    EXPECT_EQ(got, (Bytes{0xC0, 0x10}));
    // Sent at t0 and t0 + 1 char, echoed on receipt: the last echo ends at t0 + 3 chars.
    EXPECT_EQ(k->NowNs() - t0, 3 * kByte19200);
    uint8_t b;
    EXPECT_EQ(DriverRead(line->Device(), &b, 1), STATUS_TIMEOUT);
}

// Under many seeds the port pends a different subset of the requests; the conversation must
// not change, only the path its completions take.
TEST(PortForcePending, results_are_the_same_under_every_seed) {
    uint64_t forced = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        kernel::Options o;
        o.seed = seed;
        kernel::Kernel k(o);
        PDRIVER_OBJECT driver = LoadSerialDriver(k);
        PortOptions options;
        options.forcePending = true;
        auto line = CreateSimulatedLine(k, driver, "COM1", LineFormat{}, options);
        line->SetPeerReceive([&](uint8_t b, uint32_t) { line->PeerSend(static_cast<uint8_t>(b + 1)); });
        ASSERT_EQ(k.Pnp().Start(line->Device()), STATUS_SUCCESS);
        kernel::Handle h;
        ASSERT_EQ(k.Clients().OpenDevice(line->Device(), h), STATUS_SUCCESS);
        SERIAL_TIMEOUTS t{50, 0, 100, 0, 1000};
        ASSERT_EQ(k.Clients().IoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(t), 0).status, STATUS_SUCCESS);
        const ULONG mask = SERIAL_EV_RXCHAR;
        ASSERT_EQ(k.Clients().IoControl(h, IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(mask), 0).status, STATUS_SUCCESS);
        const ULONG baud = 19200;
        ASSERT_EQ(k.Clients().IoControl(h, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(baud), 0).status, STATUS_SUCCESS);
        const uint64_t t0 = k.NowNs();
        ASSERT_EQ(k.Clients().Write(h, Bytes{1, 2, 3}).status, STATUS_SUCCESS);
        kernel::IoResult wait = k.Clients().IoControl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        EXPECT_EQ(wait.status, STATUS_SUCCESS) << "seed " << seed;
        kernel::IoResult read = k.Clients().Read(h, 3);
        EXPECT_EQ(read.status, STATUS_SUCCESS) << "seed " << seed;
        EXPECT_EQ(read.output, (Bytes{2, 3, 4})) << "seed " << seed;
        EXPECT_EQ(k.NowNs() - t0, 4 * kByte19200) << "seed " << seed;
        kernel::IoResult silent = k.Clients().Read(h, 1);
        EXPECT_EQ(silent.status, STATUS_TIMEOUT) << "seed " << seed;
        forced += SerialCounters(line->Device()).forcedPending;
        k.Clients().Close(h);
        line.reset();
        kernel::LeakReport report = k.Shutdown();
        EXPECT_TRUE(report.empty()) << "seed " << seed << ":\n" << report.ToString();
    }
    EXPECT_GT(forced, 40u);  // about half of the ~8 requests per run that could complete at once
}

}  // namespace
}  // namespace lmscr::serial::test
