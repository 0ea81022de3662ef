// The client side: open, cleanup and close with a file object; buffered device control, read and
// write; requests that stay pending; and the real-time mode.
#include "test_drivers.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

using namespace lmscr::kernel;
using namespace lmscr::kernel::test;

namespace {

class ClientTest : public KernelFixture {
protected:
    void SetUp() override {
        KernelFixture::SetUp();
        bus = LoadBus(*k);
        pdo = CreateBusDevice(*k, bus, "\\Device\\ClientPort");
    }
    PDRIVER_OBJECT bus = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
};

// A driver that records the major functions of its requests and their file objects.
struct Seen {
    std::vector<std::pair<UCHAR, PFILE_OBJECT>> requests;
} gSeen;

NTSTATUS NTAPI RecordingDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    gSeen.requests.emplace_back(sp->MajorFunction, sp->FileObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(ClientTest, open_and_close_send_create_cleanup_close_with_one_file_object) {
    gSeen = Seen{};
    PDRIVER_OBJECT recorder = k->Pnp().LoadDriver("recorder", [](PDRIVER_OBJECT d, PUNICODE_STRING) NTAPI -> NTSTATUS {
        for (auto& f : d->MajorFunction) f = RecordingDispatch;
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT device = CreateBusDevice(*k, recorder, "\\Device\\Recorder");
    Handle h;
    ASSERT_EQ(k->Clients().OpenDevice(device, h), STATUS_SUCCESS);
    k->Clients().IoControl(h, 0x220004, {}, 0);
    EXPECT_EQ(k->Clients().Close(h), STATUS_SUCCESS);
    ASSERT_EQ(gSeen.requests.size(), 4u);
    const UCHAR expected[] = {IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(gSeen.requests[i].first, expected[i]);
        EXPECT_EQ(gSeen.requests[i].second, gSeen.requests[0].second);
    }
    EXPECT_NE(gSeen.requests[0].second, nullptr);
    EXPECT_FALSE(h.IsOpen());
    k->Pnp().ForgetPhysicalDevice(device);
    IoDeleteDevice(device);
}

TEST_F(ClientTest, device_control_copies_input_in_and_information_bytes_out) {
    Bus(pdo).reply = {0x10, 0x20, 0x30};
    Handle h;
    ASSERT_EQ(k->Clients().OpenDevice(pdo, h), STATUS_SUCCESS);
    const uint8_t input[] = {1, 2};
    IoResult r = k->Clients().IoControl(h, 0x1B006C, input, 8);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 3u);
    EXPECT_EQ(r.output, (std::vector<uint8_t>{0x10, 0x20, 0x30, 0, 0, 0, 0, 0}));
    IoResult read = k->Clients().Read(h, 2);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.output, (std::vector<uint8_t>{0x10, 0x20}));
    IoResult write = k->Clients().Write(h, input);
    EXPECT_EQ(write.status, STATUS_SUCCESS);
}

void OverlongReply() {
    ResetDrivers();
    Kernel k;
    PDRIVER_OBJECT bus = LoadBus(k);
    PDEVICE_OBJECT pdo = CreateBusDevice(k, bus, "\\Device\\Overlong");
    Bus(pdo).reply = {1, 2, 3, 4};
    Bus(pdo).information = 4;  // more than the caller's buffer holds
    Handle h;
    k.Clients().OpenDevice(pdo, h);
    k.Clients().IoControl(h, 0x1B006C, {}, 2);
}

TEST(ClientDeathTest, information_beyond_the_output_buffer_stops_the_run) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(OverlongReply(), "IRP_INFORMATION_EXCEEDS_BUFFER");
}

TEST_F(ClientTest, pending_request_returns_pending_and_completes_with_its_data_later) {
    Bus(pdo).pend = true;
    Bus(pdo).reply = {0xAB};
    Handle h;
    ASSERT_EQ(k->Clients().OpenDevice(pdo, h), STATUS_SUCCESS);
    auto request = k->Clients().IoControlAsync(h, 0x1B0048, {}, 4);
    EXPECT_FALSE(request->Wait(20));
    EXPECT_EQ(k->NowMs(), 20u);
    EXPECT_TRUE(request->ReturnedPending());
    EXPECT_TRUE(CompletePending(pdo, STATUS_SUCCESS, 1));
    EXPECT_TRUE(request->Wait(0));
    EXPECT_EQ(request->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(request->Result().output[0], 0xAB);
    EXPECT_FALSE(request->Cancel());  // finished: nothing to cancel

    // Sent from this thread: back as soon as the driver returned pending, the clock unmoved; its
    // completion is an object to wait for among others.
    auto started = k->Clients().IoControlStart(h, 0x1B0048, {}, 4);
    EXPECT_TRUE(started->ReturnedPending() && !started->Done());
    KEVENT other;
    KeInitializeEvent(&other, NotificationEvent, FALSE);
    k->At(5'000'000, [&] { CompletePending(pdo, STATUS_SUCCESS, 1); });
    PVOID objects[] = {&other, started->WaitObject()};
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0 + 1);
    EXPECT_EQ(k->NowMs(), 25u);
}

TEST_F(ClientTest, close_waits_for_the_handles_requests_to_finish) {
    Bus(pdo).pend = true;
    Handle h;
    ASSERT_EQ(k->Clients().OpenDevice(pdo, h), STATUS_SUCCESS);
    auto request = k->Clients().IoControlAsync(h, 0x1B0048, {}, 0);
    k->Sleep(1);
    uint64_t closedAt = 0;
    auto closer = k->Spawn("closer", [&] {
        k->Clients().Close(h);
        closedAt = k->NowNs();
    });
    k->Sleep(40);
    EXPECT_EQ(closedAt, 0u);
    CompletePending(pdo, STATUS_CANCELLED, 0);
    k->Join(closer);
    EXPECT_EQ(closedAt, 41'000'000u);
}

TEST_F(ClientTest, timed_callbacks_run_in_order_at_dispatch_level_and_can_be_cancelled) {
    std::vector<std::string> ran;
    KIRQL irql = PASSIVE_LEVEL;
    k->At(5'000'000, [&] { ran.push_back("b"); });
    auto cancelled = k->At(5'000'000, [&] { ran.push_back("never"); });
    k->At(5'000'000, [&] {
        ran.push_back("c");
        irql = KeGetCurrentIrql();
    });
    k->At(1'000'000, [&] { ran.push_back("a"); });
    EXPECT_TRUE(k->CancelAt(cancelled));
    EXPECT_FALSE(k->CancelAt(cancelled));
    k->Sleep(10);
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(irql, DISPATCH_LEVEL);
}

TEST_F(ClientTest, timed_callbacks_of_any_size_run_in_order_and_let_go_of_what_they_hold) {
    // More callbacks due at once than the DPC thread's queue first has room for, every third one
    // too large to be carried in place: all run in the order they were set, and what they
    // captured ends when they have run or are cancelled.
    auto held = std::make_shared<int>(0);
    std::string ran;
    std::vector<Kernel::TimerId> ids;
    for (int i = 0; i < 20; ++i) {
        const char letter = static_cast<char>('a' + i);
        if (i % 3 == 0) {
            std::array<char, 100> big{};
            big[99] = letter;
            ids.push_back(k->At(2'000'000, [&ran, held, big] { ran += big[99]; }));
        } else {
            ids.push_back(k->At(2'000'000, [&ran, held, letter] { ran += letter; }));
        }
    }
    EXPECT_EQ(held.use_count(), 21);
    EXPECT_TRUE(k->CancelAt(ids[4]));  // carried in place
    EXPECT_TRUE(k->CancelAt(ids[9]));  // boxed
    EXPECT_EQ(held.use_count(), 19);
    k->Sleep(1);
    EXPECT_EQ(ran, "");
    k->Sleep(2);
    EXPECT_EQ(ran, "abcdfghiklmnopqrst");
    EXPECT_EQ(held.use_count(), 1);
}

// Real time: operating-system threads and clock.  Short, and asserting only on order and status.
TEST(RealTime, events_timers_work_items_and_requests_work_on_os_threads) {
    ResetDrivers();
    Options o;
    o.mode = TimeMode::Real;
    const auto started = std::chrono::steady_clock::now();
    {
        Kernel k(o);
        KEVENT e;
        KeInitializeEvent(&e, SynchronizationEvent, FALSE);
        int seen = 0;
        auto t = k.Spawn("setter", [&] {
            seen = 1;
            KeSetEvent(&e, 0, FALSE);
        });
        LARGE_INTEGER limit;
        limit.QuadPart = -500 * 10000;  // a bound, not an expectation
        EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
        k.Join(t);
        EXPECT_EQ(seen, 1);

        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        LARGE_INTEGER shortWait;
        shortWait.QuadPart = -5 * 10000;
        EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);

        KTIMER timer;
        KeInitializeTimer(&timer);
        LARGE_INTEGER due;
        due.QuadPart = -3 * 10000;
        KeSetTimer(&timer, due, nullptr);
        EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);

        PDRIVER_OBJECT bus = LoadBus(k);
        PDEVICE_OBJECT pdo = CreateBusDevice(k, bus, "\\Device\\RealPort");
        Bus(pdo).reply = {0x42};
        Handle h;
        ASSERT_EQ(k.Clients().OpenDevice(pdo, h), STATUS_SUCCESS);
        IoResult r = k.Clients().IoControl(h, 0x1B006C, {}, 1);
        EXPECT_EQ(r.output, std::vector<uint8_t>{0x42});
        k.Clients().Close(h);
        EXPECT_TRUE(k.Shutdown().empty());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    ResetDrivers();
}

}  // namespace
