// Open, close, device control and Plug and Play, end to end on the simulated reader.
#include "rig.h"

using namespace lmscr;
using namespace lmscr::test;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Dispatch, one_handle_at_a_time_and_refused_opens_leave_no_reference) {
    ReaderRig rig;
    ASSERT_EQ(rig.AddAndStart(), STATUS_SUCCESS);
    kernel::Handle first, second;
    ASSERT_EQ(rig.Open(first), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&rig.Ext()->ReaderClosed), 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(rig.Open(second), STATUS_UNSUCCESSFUL);
    // The first handle still works.
    EXPECT_EQ(rig.Ioctl(first, kGetVersion, {}, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(rig.K().Clients().Close(first), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&rig.Ext()->ReaderClosed), 0);
    ASSERT_EQ(rig.Open(second), STATUS_SUCCESS);
    rig.K().Clients().Close(second);
    // Removal does not wait for the refused opens (Finish would hang if it did).
}

TEST(Dispatch, vendor_request_reports_library_driver_and_firmware_versions) {
    RigOptions o;
    o.reader.version = 0x23;
    ReaderRig rig(o);
    kernel::Handle h;
    ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
    auto full = rig.Ioctl(h, kGetVersion, {}, 16);
    EXPECT_EQ(full.status, STATUS_SUCCESS);
    EXPECT_EQ(full.information, 8u);
    EXPECT_EQ(Bytes(full.output.begin(), full.output.begin() + 8), (Bytes{0x50, 0x01, 0x00, 0x00, 0x01, 0x00, 0x02, 0x03}));
    auto small = rig.Ioctl(h, kGetVersion, {}, 7);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.information, 0u);
    auto other = rig.Ioctl(h, SCARD_CTL_CODE(2050), {}, 8);
    EXPECT_EQ(other.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(other.information, 0u);
    rig.K().Clients().Close(h);
}

TEST(Dispatch, requests_the_driver_does_not_serve_are_refused) {
    ReaderRig rig;
    kernel::Handle h;
    ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
    EXPECT_EQ(rig.K().Clients().Read(h, 4).status, STATUS_INVALID_DEVICE_REQUEST);
    const std::vector<uint8_t> data{1, 2};
    EXPECT_EQ(rig.K().Clients().Write(h, data).status, STATUS_INVALID_DEVICE_REQUEST);
    rig.K().Clients().Close(h);
}

TEST(Dispatch, stop_query_refused_while_a_request_is_inside_the_driver) {
    ReaderRig rig;
    ASSERT_EQ(rig.AddAndStart(), STATUS_SUCCESS);
    rig.Ext()->IoCount = 1;  // as a request inside the library would have it
    const size_t wireBefore = rig.TakeWire().size();
    (void)wireBefore;
    EXPECT_EQ(rig.K().Pnp().Send(rig.Pdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_NE(KeReadStateEvent(&rig.Ext()->ReaderStarted), 0);
    rig.Ext()->IoCount = 0;
    EXPECT_EQ(rig.K().Pnp().Send(rig.Pdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&rig.Ext()->ReaderStarted), 0);
    EXPECT_EQ(rig.K().Pnp().Send(rig.Pdo(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
}

TEST(Dispatch, request_held_back_by_a_stop_query_goes_on_after_a_cancelled_stop) {
    ReaderRig rig;
    kernel::Handle h;
    ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
    ASSERT_EQ(rig.K().Pnp().Send(rig.Pdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    auto request = rig.Async(h, kGetVersion, 8);
    EXPECT_FALSE(request->Wait(500));
    ASSERT_EQ(rig.K().Pnp().Send(rig.Pdo(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_TRUE(request->Wait(100));
    EXPECT_EQ(request->Result().status, STATUS_SUCCESS);
    rig.K().Clients().Close(h);
}

TEST(Dispatch, stop_then_start_closes_and_reopens_the_port) {
    ReaderRig rig;
    ASSERT_EQ(rig.AddAndStart(), STATUS_SUCCESS);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(rig.K().Pnp().StopForRebalance(rig.Pdo()), STATUS_SUCCESS);
        EXPECT_NE(KeReadStateEvent(&rig.Ext()->SerialCloseDone), 0);
        EXPECT_EQ(KeReadStateEvent(&rig.Ext()->ReaderStarted), 0);
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        EXPECT_EQ(KeReadStateEvent(&rig.Ext()->SerialCloseDone), 0);
        EXPECT_NE(KeReadStateEvent(&rig.Ext()->ReaderStarted), 0);
    }
    kernel::Handle h;
    ASSERT_EQ(rig.Open(h), STATUS_SUCCESS);
    EXPECT_EQ(rig.Ioctl(h, kGetVersion, {}, 8).status, STATUS_SUCCESS);
    rig.K().Clients().Close(h);
}

TEST(Dispatch, remove_query_refused_while_open_and_cancel_remove_enables_again) {
    ReaderRig rig;
    ASSERT_EQ(rig.AddAndStart(), STATUS_SUCCESS);
    const GUID readerClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
    kernel::Handle h;
    ASSERT_EQ(rig.Open(h), STATUS_SUCCESS);
    EXPECT_EQ(rig.K().Pnp().Send(rig.Pdo(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.K().Clients().EnabledInterfaces(readerClass).size(), 1u);
    rig.K().Clients().Close(h);
    EXPECT_EQ(rig.K().Pnp().Send(rig.Pdo(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(rig.K().Clients().EnabledInterfaces(readerClass).empty());
    EXPECT_EQ(rig.K().Pnp().Send(rig.Pdo(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(rig.K().Clients().EnabledInterfaces(readerClass).size(), 1u);
}

// The port was lost (DSR dropped) and a remove query refused for the open handle: the query gives
// back only what it took, so the interface stays disabled, and after a stop the next start enables
// it again and reports a reader that works.
TEST(Dispatch, refused_remove_query_does_not_enable_an_interface_it_did_not_disable) {
    ReaderRig rig;
    kernel::Handle h;
    ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
    rig.Line().SetDsr(false);
    rig.K().Sleep(20);
    ASSERT_FALSE(rig.PortOpen());
    ASSERT_FALSE(rig.InterfaceEnabled());
    EXPECT_EQ(rig.K().Pnp().Remove(rig.Pdo()), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(rig.InterfaceEnabled());
    ASSERT_EQ(rig.K().Pnp().StopForRebalance(rig.Pdo()), STATUS_SUCCESS);
    EXPECT_FALSE(rig.InterfaceEnabled());
    rig.Line().SetDsr(true);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(rig.PortOpen());
    EXPECT_TRUE(rig.InterfaceEnabled());
    auto present = rig.Async(h, IOCTL_SMARTCARD_IS_PRESENT);
    rig.InsertCard();
    ASSERT_TRUE(present->Wait(100));
    EXPECT_EQ(present->Result().status, STATUS_SUCCESS);
    rig.K().Clients().Close(h);
}

// While a removal waits for the open handle, every request that comes in is refused without
// touching the remove lock: a reference given back where none was taken would let the removal
// free the device under the handle.
TEST(Dispatch, requests_refused_during_removal_give_back_no_reference) {
    ReaderRig rig;
    kernel::Handle h;
    ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
    NTSTATUS removed = STATUS_PENDING;
    auto remover = rig.K().Spawn("remover", [&] { removed = rig.K().Pnp().Send(rig.Pdo(), IRP_MN_REMOVE_DEVICE); });
    rig.K().Sleep(10);
    ASSERT_EQ(removed, STATUS_PENDING);
    for (int round = 0; round < 3; ++round) {
        kernel::Handle second;
        EXPECT_EQ(rig.Open(second), STATUS_DEVICE_REMOVED);
        EXPECT_EQ(rig.Ioctl(h, kGetVersion, {}, 8).status, STATUS_DEVICE_REMOVED);
        EXPECT_EQ(rig.K().Power().SendDevicePower(rig.Pdo(), IRP_MN_SET_POWER, PowerDeviceD1), STATUS_DELETE_PENDING);
    }
    rig.K().Sleep(10);
    EXPECT_EQ(removed, STATUS_PENDING);  // still waiting for the handle
    ASSERT_NE(rig.Pdo()->AttachedDevice, nullptr);
    rig.K().Clients().Close(h);
    rig.K().Join(remover);
    EXPECT_EQ(removed, STATUS_SUCCESS);
}

// Device power requests go down one after another: each is started on its way with
// PoStartNextPowerIrp, or the power manager never sends the next.
TEST(Dispatch, device_power_requests_pass_one_after_another) {
    ReaderRig rig;
    ASSERT_EQ(rig.AddAndStart(), STATUS_SUCCESS);
    EXPECT_EQ(rig.K().Power().SendDevicePower(rig.Pdo(), IRP_MN_SET_POWER, PowerDeviceD1), STATUS_SUCCESS);
    EXPECT_EQ(rig.K().Power().SendDevicePower(rig.Pdo(), IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(rig.K().Power().SendDevicePower(rig.Pdo(), IRP_MN_QUERY_POWER, PowerDeviceD2), STATUS_SUCCESS);
}

TEST(Dispatch, removal_waits_for_the_open_handle_to_close) {
    ReaderRig rig;
    kernel::Handle h;
    ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
    NTSTATUS removed = STATUS_PENDING;
    auto remover = rig.K().Spawn("remover", [&] { removed = rig.K().Pnp().Send(rig.Pdo(), IRP_MN_REMOVE_DEVICE); });
    rig.K().Sleep(300);
    EXPECT_EQ(removed, STATUS_PENDING);
    rig.K().Clients().Close(h);
    rig.K().Join(remover);
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_EQ(rig.Pdo()->AttachedDevice, nullptr);
}

TEST(Dispatch, a_stopped_reader_can_be_removed) {
    ReaderRig rig;
    ASSERT_EQ(rig.AddAndStart(), STATUS_SUCCESS);
    ASSERT_EQ(rig.K().Pnp().StopForRebalance(rig.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(rig.K().Pnp().Remove(rig.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(rig.Pdo()->AttachedDevice, nullptr);
}

TEST(Dispatch, surprise_removal_is_passed_down_untouched) {
    ReaderRig rig;
    ASSERT_EQ(rig.AddAndStart(), STATUS_SUCCESS);
    EXPECT_EQ(rig.K().Pnp().Send(rig.Pdo(), IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&rig.Ext()->ReaderStarted), 0);  // nothing done here
    EXPECT_EQ(rig.K().Pnp().Send(rig.Pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
}

TEST(Dispatch, request_waiting_for_a_start_is_released_by_removal) {
    ReaderRig rig;
    kernel::Handle h;
    ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
    ASSERT_EQ(rig.K().Pnp().Send(rig.Pdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    auto request = rig.Async(h, kGetVersion, 8);
    EXPECT_FALSE(request->Wait(100));
    // The driver is unloaded under the waiting request: no start will come.  Removal waits for
    // the open handle, so the unload runs in a thread of its own.
    auto unloader = rig.K().Spawn("unloader", [&] {
        kernel::LeakReport leaks = rig.K().Pnp().UnloadDriver(rig.Driver());
        EXPECT_TRUE(leaks.empty()) << leaks.ToString();
    });
    ASSERT_TRUE(request->Wait(1000));
    EXPECT_EQ(request->Result().status, STATUS_DEVICE_REMOVED);
    rig.K().Clients().Close(h);
    rig.K().Join(unloader);
    EXPECT_EQ(rig.Pdo()->AttachedDevice, nullptr);
}

// A stop arriving while a request is on its way in: the query is refused while the request is
// counted, or it wins and the request waits for the next start.  Either way the request ends
// with success and nothing is left behind.
TEST(DispatchRace, stop_during_a_request_under_many_seeds) {
    int refused = 0, heldBack = 0;
    for (uint64_t seed = 1; seed <= 24; ++seed) {
        ReaderRig rig(RigOptions::Seeded(seed));
        kernel::Handle h;
        ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
        auto request = rig.Async(h, kGetVersion, 8);
        NTSTATUS stop = rig.K().Pnp().StopForRebalance(rig.Pdo());
        if (NT_SUCCESS(stop)) {
            ++heldBack;
            ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(stop, STATUS_DEVICE_BUSY);
            ++refused;
        }
        ASSERT_TRUE(request->Wait(5000)) << "seed " << seed;
        EXPECT_EQ(request->Result().status, STATUS_SUCCESS) << "seed " << seed;
        rig.K().Clients().Close(h);
    }
    // The seeds reach both sides of the race.
    EXPECT_GT(refused, 0);
    EXPECT_GT(heldBack, 0);
}

// Removal arriving while a request is inside the driver (a surprise removal does not ask first):
// the request finishes, the removal waits for it and for the handle, nothing is left behind.
TEST(DispatchRace, removal_during_a_request_under_many_seeds) {
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        ReaderRig rig(RigOptions::Seeded(seed));
        kernel::Handle h;
        ASSERT_EQ(rig.StartAndOpen(h), STATUS_SUCCESS);
        auto request = rig.Async(h, IOCTL_SMARTCARD_IS_PRESENT);
        NTSTATUS removed = STATUS_PENDING;
        auto remover = rig.K().Spawn("remover", [&] {
            rig.K().Pnp().Send(rig.Pdo(), IRP_MN_SURPRISE_REMOVAL);
            removed = rig.K().Pnp().Send(rig.Pdo(), IRP_MN_REMOVE_DEVICE);
        });
        rig.K().Sleep(20);
        rig.K().Clients().Close(h);
        rig.K().Join(remover);
        EXPECT_EQ(removed, STATUS_SUCCESS) << "seed " << seed;
        ASSERT_TRUE(request->Done()) << "seed " << seed;
        // Parked and cancelled by the handle's cleanup, or refused because removal had begun
        // when it reached the driver.
        const NTSTATUS s = request->Result().status;
        EXPECT_TRUE(s == STATUS_CANCELLED || s == STATUS_DEVICE_REMOVED) << "seed " << seed << " " << kernel::StatusName(s);
    }
}

}  // namespace
