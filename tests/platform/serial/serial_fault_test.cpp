// Planted faults of the port driver (refused, held for ever, served late), the request counts that
// size a sweep over them, and a wait kept on an empty mask.
#include "serial_fault.h"
#include "serial_test_support.h"

namespace lmscr::serial::test {
namespace {

class Faults : public SerialFixture {
protected:
    void SetUp() override {
        SerialFixture::SetUp();
        line = CreateSimulatedLine(*k, driver, "COM1", LineFormat{}, LineOptions());
        ASSERT_NE(line, nullptr);
        line->SetPeerReceive([this](uint8_t b, uint32_t) { peerGot.push_back(b); });
        Open(line->Device());
        ConfigureLikeTheReader();
    }
    void DropPorts() override { line.reset(); }
    virtual PortOptions LineOptions() { return PortOptions{}; }

    void Plant(SerialFault::Kind kind, uint8_t major, ULONG code = 0, uint64_t nth = 1,
               NTSTATUS status = STATUS_UNSUCCESSFUL, uint64_t lateMs = 0) {
        SerialFault f;
        f.kind = kind;
        f.major = major;
        f.ioControlCode = code;
        f.nth = nth;
        f.status = status;
        f.lateMs = lateMs;
        InjectSerialFault(line->Device(), f);
    }
    ULONG Baud() {
        kernel::IoResult r;
        EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4, &r), STATUS_SUCCESS);
        return Ulong(r);
    }
    void PeerSends(const Bytes& bytes) {
        line->RunOnLine([&] {
            for (uint8_t b : bytes) line->PeerSend(b);
        });
    }

    std::unique_ptr<SimulatedLine> line;
    Bytes peerGot;
};

TEST_F(Faults, refuse_takes_the_nth_matching_request_and_changes_nothing) {
    Plant(SerialFault::Kind::Refuse, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE, 2, STATUS_IO_DEVICE_ERROR);
    ASSERT_EQ(SetBaud(9600), STATUS_SUCCESS);
    // Other codes do not count towards the rule.
    ASSERT_EQ(SetTimeouts(1, 2, 3), STATUS_SUCCESS);
    EXPECT_EQ(Baud(), 9600u);
    EXPECT_EQ(SetBaud(4800), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Baud(), 9600u);
    EXPECT_EQ(SerialFormat(line->Device()).baud, 9600u);
    // Used up: the next one is served.
    EXPECT_EQ(SetBaud(4800), STATUS_SUCCESS);
    EXPECT_EQ(Baud(), 4800u);
}

TEST_F(Faults, a_refused_write_sends_nothing_even_when_it_reports_success) {
    Plant(SerialFault::Kind::Refuse, IRP_MJ_WRITE, 0, 1, STATUS_SUCCESS);
    const uint64_t t0 = k->NowNs();
    kernel::IoResult r = k->Clients().Write(handle, Bytes{0x85, 0x80});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(k->NowNs(), t0);
    k->Sleep(10);
    EXPECT_TRUE(peerGot.empty());
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0x11}).status, STATUS_SUCCESS);
    k->Sleep(5);
    EXPECT_EQ(peerGot, Bytes{0x11});
}

TEST_F(Faults, a_refused_open_leaves_the_port_closed_for_the_next_one) {
    ASSERT_EQ(k->Clients().Close(handle), STATUS_SUCCESS);
    Plant(SerialFault::Kind::Refuse, IRP_MJ_CREATE, 0, 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(k->Clients().OpenDevice(line->Device(), handle), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(k->Clients().OpenDevice(line->Device(), handle), STATUS_SUCCESS);
}

TEST_F(Faults, rules_falling_on_one_request_take_turns_in_the_order_they_were_set) {
    Plant(SerialFault::Kind::Refuse, IRP_MJ_DEVICE_CONTROL, 0, 1, STATUS_IO_TIMEOUT);
    Plant(SerialFault::Kind::Refuse, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_BAUD_RATE, 1, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4), STATUS_IO_TIMEOUT);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4), STATUS_SUCCESS);
    // A cleared rule never fires.
    Plant(SerialFault::Kind::Refuse, IRP_MJ_DEVICE_CONTROL, 0, 2, STATUS_IO_TIMEOUT);
    ClearSerialFaults(line->Device());
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4), STATUS_SUCCESS);
}

TEST_F(Faults, request_counts_cover_every_request_the_port_has_seen) {
    const PDEVICE_OBJECT port = line->Device();
    EXPECT_EQ(SerialRequestCount(port, IRP_MJ_CREATE), 1u);
    EXPECT_EQ(SerialRequestCount(port, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE), 1u);
    EXPECT_EQ(SerialRequestCount(port, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_TIMEOUTS), 1u);
    EXPECT_EQ(SerialRequestCount(port, IRP_MJ_DEVICE_CONTROL), 3u);  // baud, line control, time-outs
    EXPECT_EQ(SerialRequestCount(port, IRP_MJ_WRITE), 0u);
    // Refused requests count as well: they reached the port.
    Plant(SerialFault::Kind::Refuse, IRP_MJ_WRITE);
    k->Clients().Write(handle, Bytes{1});
    k->Clients().Write(handle, Bytes{2});
    EXPECT_EQ(SerialRequestCount(port, IRP_MJ_WRITE), 2u);
    EXPECT_EQ(SerialRequestCount(port, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE), 0u);
}

TEST_F(Faults, a_request_held_for_ever_is_never_served_and_ends_only_by_cancel) {
    Plant(SerialFault::Kind::PendForever, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE);
    const ULONG baud = 4800;
    auto held = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(baud), 0);
    k->Sleep(60'000);
    EXPECT_FALSE(held->Done());
    EXPECT_TRUE(held->ReturnedPending());
    // The port serves others meanwhile.
    EXPECT_EQ(Baud(), 19200u);
    const uint64_t t0 = k->NowNs();
    ASSERT_TRUE(held->Cancel());
    ASSERT_TRUE(held->Wait(100));
    EXPECT_EQ(k->NowNs(), t0);
    EXPECT_EQ(held->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(Baud(), 19200u);
}

TEST_F(Faults, a_read_held_for_ever_leaves_the_input_queue_alone_until_cleanup_ends_it) {
    Plant(SerialFault::Kind::PendForever, IRP_MJ_READ);
    PeerSends({0x42});
    k->Sleep(5);
    kernel::IoResult result;
    auto reader = k->Spawn("reader", [&] { result = k->Clients().Read(handle, 1); });
    k->Sleep(1000);
    EXPECT_EQ(result.status, STATUS_PENDING);
    EXPECT_EQ(InQueue(), 1u);
    ASSERT_EQ(k->Clients().Close(handle), STATUS_SUCCESS);
    k->Join(reader);
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, 0u);
}

TEST_F(Faults, a_late_read_gets_its_time_outs_from_when_it_is_served) {
    Plant(SerialFault::Kind::CompleteLate, IRP_MJ_READ, 0, 1, STATUS_UNSUCCESSFUL, 30);
    const uint64_t t0 = k->NowNs();
    kernel::IoResult r = k->Clients().Read(handle, 1);
    EXPECT_EQ(r.status, STATUS_TIMEOUT);
    EXPECT_EQ(k->NowNs() - t0, (30 + 100) * kMs);
    // A byte that arrived while the read was held is there when it is served.
    Plant(SerialFault::Kind::CompleteLate, IRP_MJ_READ, 0, 1, STATUS_UNSUCCESSFUL, 30);
    const uint64_t t1 = k->NowNs();
    auto sender = k->Spawn("peer", [&] {
        k->Sleep(10);
        PeerSends({0x3B});
    });
    r = k->Clients().Read(handle, 1);
    k->Join(sender);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 1u);
    EXPECT_EQ(r.output[0], 0x3B);
    EXPECT_EQ(k->NowNs() - t1, 30 * kMs);
}

TEST_F(Faults, a_late_write_queues_behind_writes_that_came_after_it) {
    Plant(SerialFault::Kind::CompleteLate, IRP_MJ_WRITE, 0, 1, STATUS_UNSUCCESSFUL, 40);
    const uint64_t t0 = k->NowNs();
    uint64_t lateDone = 0;
    auto late = k->Spawn("late writer", [&] {
        EXPECT_EQ(k->Clients().Write(handle, Bytes{1, 2}).status, STATUS_SUCCESS);
        lateDone = k->NowNs();
    });
    k->Sleep(1);
    ASSERT_EQ(k->Clients().Write(handle, Bytes{3, 4}).status, STATUS_SUCCESS);
    k->Join(late);
    // Served at 40 ms on an idle line: its second byte is taken one character later.
    EXPECT_EQ(lateDone - t0, 40 * kMs + kByte19200);
    k->Sleep(5);
    EXPECT_EQ(peerGot, (Bytes{3, 4, 1, 2}));
}

TEST_F(Faults, a_late_request_cancelled_before_its_time_is_never_served) {
    Plant(SerialFault::Kind::CompleteLate, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE, 1, STATUS_UNSUCCESSFUL,
          50);
    const ULONG baud = 2400;
    auto held = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(baud), 0);
    k->Sleep(10);
    EXPECT_FALSE(held->Done());
    ASSERT_TRUE(held->Cancel());
    ASSERT_TRUE(held->Wait(100));
    EXPECT_EQ(held->Result().status, STATUS_CANCELLED);
    k->Sleep(100);
    EXPECT_EQ(Baud(), 19200u);
}

TEST_F(Faults, a_late_close_completes_when_it_is_served) {
    Plant(SerialFault::Kind::CompleteLate, IRP_MJ_CLOSE, 0, 1, STATUS_UNSUCCESSFUL, 25);
    const uint64_t t0 = k->NowNs();
    ASSERT_EQ(k->Clients().Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(k->NowNs() - t0, 25 * kMs);
    EXPECT_EQ(k->Clients().OpenDevice(line->Device(), handle), STATUS_SUCCESS);
}

// Requests held on a port that goes away: unloading the serial driver ends them, and nothing is
// left behind (the fixture's teardown checks).
TEST_F(Faults, held_requests_end_when_the_port_is_removed) {
    Plant(SerialFault::Kind::PendForever, IRP_MJ_DEVICE_CONTROL);
    Plant(SerialFault::Kind::CompleteLate, IRP_MJ_DEVICE_CONTROL, 0, 1, STATUS_UNSUCCESSFUL, 1000);
    auto forever = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
    auto late = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
    k->Sleep(10);
    EXPECT_FALSE(forever->Done());
    EXPECT_FALSE(late->Done());
    ASSERT_EQ(k->Pnp().Send(line->Device(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_TRUE(forever->Wait(100));
    ASSERT_TRUE(late->Wait(100));
    EXPECT_EQ(forever->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(late->Result().status, STATUS_CANCELLED);
}

// The reader driver's own close (no cleanup before it) ends what its port still holds.
NTSTATUS DriverClose(PDEVICE_OBJECT port) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0, port, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLOSE;
    NTSTATUS status = IoCallDriver(port, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

// A cancel, the served time of a late request and the owner's close, all at one instant: under
// every seed the request completes exactly once, with a status one of them explains.
TEST(SerialFaultRaces, cancel_service_and_close_at_one_instant) {
    int cancelled = 0, served = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        kernel::Options o;
        o.seed = seed;
        kernel::Kernel k(o);
        PDRIVER_OBJECT driver = LoadSerialDriver(k);
        PortOptions options;
        options.forcePending = true;
        auto line = CreateSimulatedLine(k, driver, "COM1", LineFormat{}, options);
        ASSERT_EQ(k.Pnp().Start(line->Device()), STATUS_SUCCESS);
        kernel::Handle h;
        ASSERT_EQ(k.Clients().OpenDevice(line->Device(), h), STATUS_SUCCESS);
        SerialFault late;
        late.kind = SerialFault::Kind::CompleteLate;
        late.ioControlCode = IOCTL_SERIAL_GET_BAUD_RATE;
        late.lateMs = 20;
        InjectSerialFault(line->Device(), late);
        SerialFault forever;
        forever.kind = SerialFault::Kind::PendForever;
        forever.ioControlCode = IOCTL_SERIAL_GET_WAIT_MASK;
        InjectSerialFault(line->Device(), forever);
        auto a = k.Clients().IoControlAsync(h, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
        auto b = k.Clients().IoControlAsync(h, IOCTL_SERIAL_GET_WAIT_MASK, {}, 4);
        auto cancelA = k.Spawn("cancel a", [&] {
            k.Sleep(20);
            a->Cancel();
        });
        auto cancelB = k.Spawn("cancel b", [&] {
            k.Sleep(20);
            b->Cancel();
        });
        k.Sleep(20);
        ASSERT_EQ(DriverClose(line->Device()), STATUS_SUCCESS);
        k.Join(cancelA);
        k.Join(cancelB);
        ASSERT_TRUE(a->Wait(1000)) << "seed " << seed;
        ASSERT_TRUE(b->Wait(1000)) << "seed " << seed;
        EXPECT_EQ(b->Result().status, STATUS_CANCELLED) << "seed " << seed;
        const NTSTATUS sa = a->Result().status;
        EXPECT_TRUE(sa == STATUS_CANCELLED || sa == STATUS_SUCCESS) << "seed " << seed << ": " << std::hex << sa;
        (sa == STATUS_SUCCESS ? served : cancelled)++;
        if (sa == STATUS_SUCCESS) {
            EXPECT_EQ(Ulong(a->Result()), 9600u) << "seed " << seed;
        }
        // The handle's own close finds the port closed already (the driver-style close above).
        k.Clients().Close(h);
        line.reset();
        kernel::LeakReport report = k.Shutdown();
        EXPECT_TRUE(report.empty()) << "seed " << seed << ":\n" << report.ToString();
    }
    // Both outcomes occur: the seeds do explore the race.
    EXPECT_GT(cancelled, 0);
    EXPECT_GT(served, 0);
}

// ---- a wait on an empty mask ---------------------------------------------------------------

class EmptyMaskWait : public Faults {
protected:
    PortOptions LineOptions() override {
        PortOptions o;
        o.acceptEmptyWaitMask = true;
        o.forcePending = true;
        return o;
    }
};

TEST_F(EmptyMaskWait, is_kept_pending_and_ended_with_no_events_by_the_next_mask) {
    ASSERT_EQ(SetWaitMask(0), STATUS_SUCCESS);
    auto wait = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    // Nothing is in the mask, so nothing that happens ends it.
    PeerSends({0x42});
    line->SetDsr(false);
    k->Sleep(500);
    EXPECT_FALSE(wait->Done());
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4), STATUS_INVALID_PARAMETER);  // still one at a time
    const uint64_t t0 = k->NowNs();
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    ASSERT_TRUE(wait->Wait(100));
    EXPECT_EQ(k->NowNs(), t0);
    EXPECT_EQ(wait->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(wait->Result().information, 4u);
    EXPECT_EQ(Ulong(wait->Result()), 0u);
}

TEST_F(EmptyMaskWait, can_be_cancelled) {
    auto wait = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    k->Sleep(5);
    ASSERT_TRUE(wait->Cancel());
    ASSERT_TRUE(wait->Wait(100));
    EXPECT_EQ(wait->Result().status, STATUS_CANCELLED);
}

TEST_F(EmptyMaskWait, ends_when_the_port_is_closed) {
    auto wait = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    k->Sleep(5);
    ASSERT_EQ(DriverClose(line->Device()), STATUS_SUCCESS);
    ASSERT_TRUE(wait->Wait(100));
    EXPECT_EQ(wait->Result().status, STATUS_CANCELLED);
}

}  // namespace
}  // namespace lmscr::serial::test
