// The reader follows the system into sleep and back, end to end through the power manager, the
// client and the simulated reader and card, in virtual time.
#include "card_session.h"

#include "sim/cards/application.h"
#include "sim/cards/profiles.h"

#include <cstring>

using namespace lmscr;
using namespace lmscr::test;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};

class Power : public ::testing::Test {
protected:
    kernel::PowerManager& Pm() { return s.rig.K().Power(); }
    PREADER_EXTENSION R() { return s.Reader(); }
    bool CardPowered() { return s.rig.Port().Reader().CardPowered(); }
    // A transmit request sent now, on its own.
    std::shared_ptr<kernel::PendingIo> TransmitAsync(const Bytes& apdu) {
        std::vector<uint8_t> in(8);
        const ULONG protocol = s.Smartcard()->CardCapabilities.Protocol.Selected, header = 8;
        std::memcpy(in.data(), &protocol, 4);
        std::memcpy(in.data() + 4, &header, 4);
        in.insert(in.end(), apdu.begin(), apdu.end());
        return s.rig.K().Clients().IoControlAsync(s.handle, IOCTL_SMARTCARD_TRANSMIT, in, 8 + 258);
    }
    Bytes Answer(const kernel::PendingIo& q) {
        const auto& r = q.Result();
        if (r.information < 8) return {};
        return Bytes(r.output.begin() + 8, r.output.begin() + r.information);
    }
    CardSession s;
};

TEST_F(Power, deep_sleep_and_wake_with_a_powered_card_re_reports_it) {
    for (SYSTEM_POWER_STATE sleep : {PowerSystemSleeping3, PowerSystemHibernate}) {
        SCOPED_TRACE(sleep);
        if (!s.handle.IsOpen()) s.Start("t1");
        s.PowerAndSelect(SCARD_PROTOCOL_T1);
        ASSERT_TRUE(CardPowered());
        auto removal = s.rig.Async(s.handle, IOCTL_SMARTCARD_IS_ABSENT);
        ASSERT_FALSE(removal->Wait(5));
        s.rig.TakeWire();

        ASSERT_EQ(Pm().SetSystemState(sleep), STATUS_SUCCESS);
        EXPECT_FALSE(CardPowered());
        EXPECT_FALSE(s.rig.Started());
        EXPECT_EQ(R()->ReaderPowerState, (ULONG)READER_POWER_OFF);
        EXPECT_EQ(Pm().DeviceState(s.rig.Fdo()), PowerDeviceD3);
        EXPECT_EQ(Pm().DeviceState(s.rig.Pdo()), PowerDeviceD3);
        EXPECT_EQ(s.State(), (ULONG)SCARD_PRESENT);
        // Card off (register 4, then its state read back), then the shut-down table.
        const std::string sent = s.Sent();
        EXPECT_NE(sent.find("84 00|C4|84 00|82 00"), std::string::npos) << sent;
        EXPECT_FALSE(removal->Done());

        ASSERT_EQ(Pm().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_TRUE(s.rig.Started());
        EXPECT_EQ(R()->ReaderPowerState, (ULONG)READER_POWER_ON);
        EXPECT_EQ(Pm().DeviceState(s.rig.Fdo()), PowerDeviceD0);
        // Re-reported as newly inserted: the application waiting for a removal hears of one.
        EXPECT_EQ(s.State(), (ULONG)SCARD_SWALLOWED);
        ASSERT_TRUE(removal->Wait(5));
        EXPECT_EQ(removal->Result().status, STATUS_SUCCESS);
        // And the card works again after a reset.
        s.PowerAndSelect(SCARD_PROTOCOL_T1);
        NTSTATUS st = 0;
        EXPECT_EQ(s.Transmit(kSelectMf, &st), (Bytes{0x90, 0x00}));
    }
}

TEST_F(Power, sleep_without_a_card_shuts_the_reader_down_without_a_card_power_down) {
    ASSERT_EQ(s.rig.StartAndOpen(s.handle), STATUS_SUCCESS);
    s.rig.TakeWire();
    ASSERT_EQ(Pm().SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(s.Sent(), "84 00|82 00");
    ASSERT_EQ(Pm().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(s.State(), (ULONG)SCARD_ABSENT);
    EXPECT_TRUE(s.rig.Started());
}

TEST_F(Power, light_sleep_and_working_state_in_d0_complete_at_once) {
    s.Start("t1");
    s.rig.TakeWire();
    for (SYSTEM_POWER_STATE light : {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemWorking}) {
        const uint64_t before = s.rig.K().NowNs();
        EXPECT_EQ(Pm().SetSystemState(light), STATUS_SUCCESS);
        EXPECT_EQ(s.rig.K().NowNs(), before);
        EXPECT_TRUE(s.rig.Started());
        EXPECT_EQ(Pm().DeviceState(s.rig.Pdo()), PowerDeviceD0);
    }
    EXPECT_EQ(s.Sent(), "");
}

TEST_F(Power, deep_sleep_query_is_refused_while_a_request_is_inside_the_driver) {
    // The slow card takes more than its block waiting time for every command: the exchange
    // lasts long enough to be asked about.
    s.Start("t1-slow");
    s.PowerAndSelect(SCARD_PROTOCOL_T1);
    auto command = TransmitAsync(kSelectMf);
    s.rig.K().Sleep(20);
    ASSERT_FALSE(command->Done());
    EXPECT_EQ(Pm().QuerySystemState(s.rig.Pdo(), PowerSystemHibernate), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(s.rig.Started());
    // The whole sleep is refused, and the command ends as if nothing had been asked.
    EXPECT_EQ(Pm().SetSystemState(PowerSystemSleeping3), STATUS_DEVICE_BUSY);
    ASSERT_TRUE(command->Wait(5000));
    EXPECT_EQ(Answer(*command), (Bytes{0x90, 0x00}));
    EXPECT_TRUE(s.rig.Started());
}

TEST_F(Power, request_sent_during_the_sleep_waits_and_goes_on_after_the_wake) {
    s.Start("t1");
    ASSERT_EQ(Pm().SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    auto version = s.rig.Async(s.handle, kGetVersion, 8);
    s.rig.K().Sleep(1000);
    EXPECT_FALSE(version->Done());
    ASSERT_EQ(Pm().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_TRUE(version->Wait(100));
    EXPECT_EQ(version->Result().status, STATUS_SUCCESS);
}

TEST_F(Power, refused_sleep_lets_device_control_go_on) {
    // The query holds device control back; another driver refuses the sleep, and the manager
    // sets the working state again.
    s.Start("t1");
    ASSERT_EQ(Pm().QuerySystemState(s.rig.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_FALSE(s.rig.Started());
    auto version = s.rig.Async(s.handle, kGetVersion, 8);
    EXPECT_FALSE(version->Wait(100));
    ASSERT_EQ(Pm().SendSystemSetPower(s.rig.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_TRUE(version->Wait(100));
    EXPECT_EQ(version->Result().status, STATUS_SUCCESS);
    EXPECT_TRUE(s.rig.Started());
    EXPECT_EQ(R()->ReaderPowerState, (ULONG)READER_POWER_ON);
}

TEST_F(Power, sleep_without_a_query_lets_the_command_in_progress_finish_first) {
    // A critical sleep: no query.  The command inside the reader finishes with the card's
    // answer before the card is powered down, and nothing else gets in.
    s.Start("t1-slow");
    s.PowerAndSelect(SCARD_PROTOCOL_T1);
    auto command = TransmitAsync(kSelectMf);
    s.rig.K().Sleep(20);
    ASSERT_FALSE(command->Done());
    ASSERT_EQ(Pm().SendSystemSetPower(s.rig.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_TRUE(command->Done());
    EXPECT_EQ(command->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(Answer(*command), (Bytes{0x90, 0x00}));
    EXPECT_FALSE(CardPowered());
    auto held = TransmitAsync(kSelectMf);
    EXPECT_FALSE(held->Wait(500));
    ASSERT_EQ(Pm().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    // The card was re-reported and must be reset first: the library refuses the command.
    ASSERT_TRUE(held->Wait(100));
    EXPECT_NE(held->Result().status, STATUS_SUCCESS);
}

TEST_F(Power, device_states_d1_and_d2_are_passed_down_without_work) {
    s.Start("t1");
    s.PowerAndSelect(SCARD_PROTOCOL_T1);
    s.rig.TakeWire();
    for (DEVICE_POWER_STATE d : {PowerDeviceD1, PowerDeviceD2}) {
        const uint64_t before = s.rig.K().NowNs();
        EXPECT_EQ(Pm().SendDevicePower(s.rig.Pdo(), IRP_MN_SET_POWER, d), STATUS_SUCCESS);
        EXPECT_EQ(Pm().DeviceState(s.rig.Pdo()), d);
        EXPECT_EQ(s.rig.K().NowNs(), before);
    }
    EXPECT_EQ(s.Sent(), "");
    EXPECT_TRUE(CardPowered());
    EXPECT_EQ(R()->ReaderPowerState, (ULONG)READER_POWER_ON);
}

TEST_F(Power, d3_with_the_reader_stopped_writes_nothing_and_still_waits) {
    ASSERT_EQ(s.rig.StartAndOpen(s.handle), STATUS_SUCCESS);
    ASSERT_EQ(s.rig.K().Pnp().StopForRebalance(s.rig.Pdo()), STATUS_SUCCESS);
    s.rig.TakeWire();
    const uint64_t before = s.rig.K().NowNs();
    EXPECT_EQ(Pm().SendDevicePower(s.rig.Pdo(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(s.rig.K().NowNs() - before, 200'000'000u);
    EXPECT_EQ(s.Sent(), "");
    EXPECT_EQ(R()->ReaderPowerState, (ULONG)READER_POWER_OFF);
    EXPECT_EQ(Pm().SendDevicePower(s.rig.Pdo(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(R()->ReaderPowerState, (ULONG)READER_POWER_ON);
    // A stopped reader stays held back until it is started.
    EXPECT_FALSE(s.rig.Started());
    ASSERT_EQ(s.rig.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(s.rig.Started());
}

TEST_F(Power, failed_device_power_request_fails_the_system_request_and_changes_nothing) {
    s.Start("t1");
    s.rig.K().InjectFault(kernel::FaultRule{"PoRequestPowerIrp", "", 1, 0});
    EXPECT_EQ(Pm().SendSystemSetPower(s.rig.Pdo(), PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(R()->ReaderPowerState, (ULONG)READER_POWER_ON);
    EXPECT_EQ(Pm().DeviceState(s.rig.Pdo()), PowerDeviceD0);
    // The next sleep works.
    ASSERT_EQ(Pm().SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(R()->ReaderPowerState, (ULONG)READER_POWER_OFF);
    ASSERT_EQ(Pm().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
}

TEST_F(Power, card_moved_while_the_reader_is_off_is_found_after_the_wake) {
    // The reader is off with the port and tells nothing; the power-up reads the card state.
    s.Start("t1");
    s.PowerAndSelect(SCARD_PROTOCOL_T1);
    ASSERT_EQ(Pm().SetSystemState(PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_FALSE(s.rig.Port().Reader().Powered());
    s.Remove();
    s.rig.K().Sleep(100);
    EXPECT_EQ(s.State(), (ULONG)SCARD_PRESENT);
    auto insertion = s.rig.Async(s.handle, IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(Pm().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(s.State(), (ULONG)SCARD_ABSENT);

    // And in the other direction: a card put in during the sleep is reported at the wake. The
    // wake returns while the driver may still have a request of its own in flight, and a sleep
    // asked for meanwhile is refused as busy: the driver is let finish first.
    s.rig.K().Sleep(100);
    ASSERT_EQ(Pm().SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    s.rig.Port().WithReader([](sim::ReaderFirmware& reader) { reader.InsertCard(sim::cards::MakeCardProfile("t0", 1)); });
    s.rig.K().Sleep(100);
    EXPECT_FALSE(insertion->Done());
    ASSERT_EQ(Pm().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(s.State(), (ULONG)SCARD_SWALLOWED);
    ASSERT_TRUE(insertion->Wait(5));
    EXPECT_EQ(insertion->Result().status, STATUS_SUCCESS);
    s.PowerAndSelect(SCARD_PROTOCOL_T0);
    NTSTATUS st = 0;
    EXPECT_EQ(s.Transmit(kSelectMf, &st), (Bytes{0x90, 0x00}));
}

TEST_F(Power, critical_sleep_and_the_order_of_the_requests) {
    s.Start("t1");
    s.PowerAndSelect(SCARD_PROTOCOL_T1);
    Pm().ClearHistory();
    ASSERT_EQ(Pm().SetSystemState(PowerSystemShutdown, true), STATUS_SUCCESS);
    EXPECT_FALSE(CardPowered());
    EXPECT_EQ(Pm().RecordedSystemState(s.rig.Fdo()), PowerSystemSleeping3);
    ASSERT_EQ(Pm().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Pm().RecordedSystemState(s.rig.Fdo()), PowerSystemWorking);
    // set S5, the D3 it asked for; set S0, the D0 it asked for; nothing else.
    std::vector<std::string> seen;
    for (const auto& r : Pm().History()) {
        const bool system = r.type == SystemPowerState;
        seen.push_back(std::string(r.requested ? "requested " : "") + (system ? "S" : "D") +
                       std::to_string(system ? r.state.SystemState - 1 : r.state.DeviceState - 1) +
                       (r.completed && r.status == STATUS_SUCCESS ? "" : " failed"));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"S5", "requested D3", "S0", "requested D0"}));
}

// A query for a deep sleep holds device control back, and the working state set again after the
// sleep was refused lets it go: that hold is then over.  A stop being queried later holds device
// control for its own reasons, which the next working state must leave alone.
TEST_F(Power, working_state_lets_go_only_what_a_sleep_query_held_back) {
    s.Start("t1");
    ASSERT_EQ(Pm().QuerySystemState(s.rig.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(Pm().SendSystemSetPower(s.rig.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_TRUE(s.rig.Started());
    ASSERT_EQ(s.rig.K().Pnp().Send(s.rig.Pdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_FALSE(s.rig.Started());
    auto version = s.rig.Async(s.handle, kGetVersion, 8);
    ASSERT_EQ(Pm().SendSystemSetPower(s.rig.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_FALSE(version->Wait(100)) << "device control went on under a stop query";
    EXPECT_FALSE(s.rig.Started());
    ASSERT_EQ(s.rig.K().Pnp().Send(s.rig.Pdo(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_TRUE(version->Wait(100));
    EXPECT_EQ(version->Result().status, STATUS_SUCCESS);
}

// Into S3, then straight on to a shutdown: the device is in D3 already, so the second deep state
// asks for no second D3, says nothing to the reader and waits nothing; the wake asks for one D0.
TEST_F(Power, second_deep_sleep_without_a_wake_asks_for_no_second_d3) {
    s.Start("t1");
    s.PowerAndSelect(SCARD_PROTOCOL_T1);
    ASSERT_EQ(Pm().SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(R()->ReaderPowerState, (ULONG)READER_POWER_OFF);
    s.rig.TakeWire();
    Pm().ClearHistory();
    const uint64_t before = s.rig.K().NowNs();
    ASSERT_EQ(Pm().SetSystemState(PowerSystemShutdown), STATUS_SUCCESS);
    EXPECT_EQ(s.rig.K().NowNs(), before);
    EXPECT_EQ(s.Sent(), "");
    ASSERT_EQ(Pm().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_TRUE(s.rig.Started());
    std::vector<std::string> requested;
    for (const auto& r : Pm().History())
        if (r.requested) requested.push_back("D" + std::to_string(r.state.DeviceState - 1));
    EXPECT_EQ(requested, (std::vector<std::string>{"D0"}));
    EXPECT_EQ(s.State(), (ULONG)SCARD_SWALLOWED);
}

// A power request as a driver above the reader would send it, with a completion routine that
// notes how many references the reader's remove lock holds when the request comes back: the
// driver completes a request before it gives its reference back, since a removal waiting for the
// lock may delete the device the moment the reference goes.
struct PowerSeen {
    PIO_REMOVE_LOCK lock = nullptr;
    KEVENT done;
    LONG references = -1;
};

NTSTATUS NTAPI NoteReferences(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* seen = static_cast<PowerSeen*>(context);
    seen->references = seen->lock->Common.IoCount;
    KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(PowerRequests, every_power_request_is_completed_before_its_remove_lock_reference_goes) {
    struct Case {
        UCHAR minor;
        POWER_STATE_TYPE type;
        int state;
        // References at the completion beyond the count before the request: its own, while the
        // driver still holds it, and those of requests it caused that are still in the driver.
        LONG passive;   // the port completes D0 where the driver may wait
        LONG dispatch;  // the port completes D0 from its DPC: the driver finishes it in a worker
        const char* what;
    };
    // The serial port completes a D3 request inside the driver's call down, so that request's
    // reference is still held when the system request completes behind it.  A D0 request gives
    // its reference back in PowerUpCompletion, before it goes on upward; the worker that finishes
    // it instead completes it first.
    const Case table[] = {
        {IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping1, 1, 1, "query S1: completed here"},
        {IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, 1, 1, "query S3: completed here"},
        {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, 2, 2, "set S3: after the D3 it asked for"},
        {IRP_MN_SET_POWER, SystemPowerState, PowerSystemHibernate, 1, 1, "set S4 in D3: completed here"},
        {IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, 1, 2, "set S0: after the D0 it asked for"},
        {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping1, 1, 1, "set S1 in D0: completed here"},
        {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, 1, 1, "D3: passed down"},
        {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, 0, 1, "D0: passed down for the power-up"},
    };
    for (bool atDispatch : {false, true}) {
        RigOptions o;
        o.completeD0AtDispatch = atDispatch;
        CardSession s(o);
        s.Start("t1");
        s.PowerAndSelect(SCARD_PROTOCOL_T1);
        PIO_REMOVE_LOCK lock = &s.Smartcard()->OsData->RemoveLock;
        for (const Case& c : table) {
            SCOPED_TRACE(std::string(c.what) + (atDispatch ? ", D0 completed at dispatch level" : ""));
            PowerSeen seen;
            seen.lock = lock;
            KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
            PDEVICE_OBJECT top = s.rig.Fdo();
            PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
            ASSERT_NE(irp, nullptr);
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_POWER;
            next->MinorFunction = c.minor;
            next->Parameters.Power.Type = c.type;
            if (c.type == SystemPowerState)
                next->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(c.state);
            else
                next->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(c.state);
            IoSetCompletionRoutine(irp, NoteReferences, &seen, TRUE, TRUE, TRUE);
            const LONG before = lock->Common.IoCount;
            (void)PoCallDriver(top, irp);
            KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
            IoFreeIrp(irp);
            EXPECT_EQ(seen.references, before + (atDispatch ? c.dispatch : c.passive));
            s.rig.K().Sleep(1);
            EXPECT_EQ(lock->Common.IoCount, before);
        }
        EXPECT_TRUE(s.rig.Started());
        EXPECT_EQ(s.Reader()->ReaderPowerState, (ULONG)READER_POWER_ON);
    }
}

// The serial port completes the D0 request from its DPC, where the reader's power-up may not
// wait (the verifier stops a wait there): it is finished in a worker thread.
TEST(PowerAtDispatch, wake_finished_in_a_worker_when_the_port_completes_d0_at_dispatch_level) {
    RigOptions o;
    o.completeD0AtDispatch = true;
    CardSession s(o);
    s.Start("t1");
    s.PowerAndSelect(SCARD_PROTOCOL_T1);
    auto& pm = s.rig.K().Power();
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(pm.SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(pm.SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(s.State(), (ULONG)SCARD_SWALLOWED);
        EXPECT_TRUE(s.rig.Started());
        EXPECT_EQ(s.Reader()->ReaderPowerState, (ULONG)READER_POWER_ON);
    }
    s.PowerAndSelect(SCARD_PROTOCOL_T1);
    NTSTATUS st = 0;
    EXPECT_EQ(s.Transmit(kSelectMf, &st), (Bytes{0x90, 0x00}));
}

}  // namespace
