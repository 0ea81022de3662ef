// The port's device power: D3 takes the simulated reader's supply away and D0 gives it back,
// D1 and D2 are recorded only, and with completeD0AtDispatch the D0 comes back at
// DISPATCH_LEVEL, where the driver above must hand its work to a work item.
#include "serial_test_support.h"

#include "sim/atr_card.h"
#include "sim/wire.h"

namespace lmscr::serial::test {
namespace {

// ---- a driver above the port ------------------------------------------------------------

// What its D0 completion routine does once the port has completed the request.
enum class OnD0 {
    Continue,  // lets the completion go on at once
    WorkItem,  // keeps the request and completes it again from a work item, at passive level
    Wait,      // waits for an event: a bug at DISPATCH_LEVEL
};

struct Seen {
    OnD0 onD0 = OnD0::Continue;
    sim::ReaderFirmware* reader = nullptr;
    std::vector<std::pair<DEVICE_POWER_STATE, KIRQL>> completions;  // IRQL of each completion
    bool readerPoweredAtD0 = false;
    KIRQL workItemIrql = HIGH_LEVEL;
    KIRQL callbackIrql = HIGH_LEVEL;
    NTSTATUS callbackStatus = STATUS_PENDING;
    KEVENT callbackDone;
};

struct Above {
    PDEVICE_OBJECT lower;
    PIO_WORKITEM item;
    PIRP kept;
    Seen* seen;
};

Above& AboveOf(PDEVICE_OBJECT device) { return *static_cast<Above*>(device->DeviceExtension); }

VOID NTAPI FinishD0(PDEVICE_OBJECT device, PVOID) {
    Above& above = AboveOf(device);
    above.seen->workItemIrql = KeGetCurrentIrql();
    PIRP irp = above.kept;
    above.kept = nullptr;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI DevicePowerBack(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    Above& above = AboveOf(device);
    const DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
    above.seen->completions.emplace_back(state, KeGetCurrentIrql());
    if (state == PowerDeviceD0) {
        // The line thread has run the reader's power-on before the port completed.
        above.seen->readerPoweredAtD0 = above.seen->reader && above.seen->reader->Powered();
        if (above.seen->onD0 == OnD0::WorkItem) {
            above.kept = irp;
            IoQueueWorkItem(above.item, FinishD0, DelayedWorkQueue, nullptr);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        if (above.seen->onD0 == OnD0::Wait) {
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            LARGE_INTEGER timeout;
            timeout.QuadPart = -10 * 10'000;
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
        }
    }
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AbovePower(PDEVICE_OBJECT device, PIRP irp) {
    Above& above = AboveOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction != IRP_MN_SET_POWER || sp->Parameters.Power.Type != DevicePowerState) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(above.lower, irp);
    }
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, DevicePowerBack, nullptr, TRUE, TRUE, TRUE);
    PoCallDriver(above.lower, irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI AbovePassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(AboveOf(device).lower, irp);
}

VOID NTAPI PowerRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
    auto* seen = static_cast<Seen*>(context);
    seen->callbackIrql = KeGetCurrentIrql();
    seen->callbackStatus = iosb->Status;
    KeSetEvent(&seen->callbackDone, IO_NO_INCREMENT, FALSE);
}

PDEVICE_OBJECT AttachAbove(kernel::Kernel& k, PDEVICE_OBJECT port, Seen* seen) {
    PDRIVER_OBJECT driver = k.Pnp().LoadDriver("above", [](PDRIVER_OBJECT d, PUNICODE_STRING) NTAPI -> NTSTATUS {
        for (auto& f : d->MajorFunction) f = AbovePassDown;
        d->MajorFunction[IRP_MJ_POWER] = AbovePower;
        d->DriverUnload = [](PDRIVER_OBJECT) NTAPI {};
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, sizeof(Above), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    Above& above = AboveOf(device);
    above.seen = seen;
    above.item = IoAllocateWorkItem(device);
    above.lower = IoAttachDeviceToDeviceStack(device, port);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

void DetachAbove(PDEVICE_OBJECT device) {
    Above& above = AboveOf(device);
    IoFreeWorkItem(above.item);
    IoDetachDevice(above.lower);
    IoDeleteDevice(device);
}

// Asks for a device power state as a policy owner does and waits for the callback.
NTSTATUS RequestDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state, Seen& seen) {
    KeInitializeEvent(&seen.callbackDone, NotificationEvent, FALSE);
    POWER_STATE ps;
    ps.DeviceState = state;
    NTSTATUS status = PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, ps, PowerRequestDone, &seen, nullptr);
    if (status != STATUS_PENDING) return status;
    KeWaitForSingleObject(&seen.callbackDone, Executive, KernelMode, FALSE, nullptr);
    return seen.callbackStatus;
}

std::unique_ptr<sim::Card> Card() { return std::make_unique<sim::AtrCard>(*sim::AtrCard::FromHex("3B 02 14 50")); }

// ---- the port and the reader on it --------------------------------------------------------

class PortPower : public SerialFixture {
protected:
    void SetUp() override {
        SerialFixture::SetUp();
        port = CreateSimulatedPort(*k, driver, "COM1", LineFormat{}, sim::ReaderConfig{}, MakePortOptions());
        ASSERT_NE(port, nullptr);
        seen.reader = &port->Reader();
        above = AttachAbove(*k, port->Device(), &seen);
        Open(port->Device());
        ConfigureLikeTheReader();
    }
    void DropPorts() override {
        if (handle.IsOpen()) k->Clients().Close(handle);
        if (above) DetachAbove(above);
        port.reset();
    }
    virtual PortOptions MakePortOptions() {
        PortOptions options;
        options.forcePending = true;
        return options;
    }

    NTSTATUS SetPower(DEVICE_POWER_STATE state) {
        return k->Power().SendDevicePower(port->Device(), IRP_MN_SET_POWER, state);
    }
    // What comes in within the read's time-outs, up to n bytes.
    Bytes Read(ULONG n) {
        kernel::IoResult r = k->Clients().Read(handle, n);
        r.output.resize(r.information);
        return r.output;
    }
    // One command to the reader and what comes back within the read's time-outs.
    Bytes Command(const Bytes& command, ULONG replyBytes = 1) {
        EXPECT_EQ(k->Clients().Write(handle, command).status, STATUS_SUCCESS);
        return Read(replyBytes);
    }

    std::unique_ptr<SimulatedPort> port;
    PDEVICE_OBJECT above = nullptr;
    Seen seen;
};

TEST_F(PortPower, d3_switches_the_reader_off_and_d0_on_with_its_power_on_registers) {
    EXPECT_EQ(Command({0x82, 0x41}), Bytes{0x90});
    EXPECT_EQ(Command({0x81, 0x2C}), Bytes{0x90});
    port->WithReader([](sim::ReaderFirmware& r) { r.InsertCard(Card()); });
    EXPECT_EQ(Read(2), (Bytes{0x10, 0x85}));
    EXPECT_EQ(Command({0x83, 0x1D}, 5), (Bytes{0x90, 0x3B, 0x02, 0x14, 0x50}));
    EXPECT_TRUE(port->Reader().CardPowered());

    ASSERT_EQ(SetPower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_FALSE(port->Reader().Powered());
    EXPECT_FALSE(port->Line().PortPowered());
    EXPECT_EQ(k->Power().DeviceState(port->Device()), PowerDeviceD3);
    EXPECT_TRUE(port->Reader().CardPresent());
    EXPECT_FALSE(port->Reader().CardPowered());
    // The port still sends; nobody is there to answer.
    const uint64_t t0 = k->NowNs();
    EXPECT_TRUE(Command({0xC0}).empty());
    // The write is done as its byte goes into the transmitter; the read ends at its total time-out.
    EXPECT_EQ(k->NowNs() - t0, 100 * kMs);
    EXPECT_EQ(port->Reader().Stats().host_bytes_unpowered, 1u);

    ASSERT_EQ(SetPower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_TRUE(port->Reader().Powered());
    EXPECT_EQ(k->Power().DeviceState(port->Device()), PowerDeviceD0);
    // Nothing announced the power-on: the first byte in is the answer to the first command.
    EXPECT_EQ(InQueue(), 0u);
    EXPECT_EQ(Command({0xC2}), Bytes{0x00});
    EXPECT_EQ(Command({0xC1}), Bytes{12});
    EXPECT_EQ(Command({0xC4}), Bytes{sim::wire::kCardStatePresent});
    EXPECT_EQ(Command({0x83, 0x1D}, 5), (Bytes{0x90, 0x3B, 0x02, 0x14, 0x50}));
}

TEST_F(PortPower, a_card_moved_while_the_port_is_in_d3_raises_no_event) {
    port->WithReader([](sim::ReaderFirmware& r) { r.InsertCard(Card()); });
    EXPECT_EQ(Read(2), (Bytes{0x10, 0x85}));
    ASSERT_EQ(SetPower(PowerDeviceD3), STATUS_SUCCESS);
    std::unique_ptr<sim::Card> card;
    port->WithReader([&](sim::ReaderFirmware& r) { card = r.RemoveCard(); });
    ASSERT_NE(card, nullptr);
    k->Sleep(50);
    ASSERT_EQ(SetPower(PowerDeviceD0), STATUS_SUCCESS);
    k->Sleep(50);
    EXPECT_EQ(InQueue(), 0u);
    EXPECT_EQ(Command({0xC4}), Bytes{0x00});
    ASSERT_EQ(SetPower(PowerDeviceD3), STATUS_SUCCESS);
    port->WithReader([&](sim::ReaderFirmware& r) { r.InsertCard(std::move(card)); });
    ASSERT_EQ(SetPower(PowerDeviceD0), STATUS_SUCCESS);
    k->Sleep(50);
    EXPECT_EQ(InQueue(), 0u);
    EXPECT_EQ(Command({0xC4}), Bytes{sim::wire::kCardStatePresent});
    EXPECT_EQ(SerialCounters(port->Device()).framingErrors, 0u);
}

// An answer to reset on its way when the port goes to D3 stops there: the character on the wire
// is lost with the supply, and nothing more comes after D0.
TEST_F(PortPower, reader_bytes_on_the_wire_are_cut_by_d3) {
    port->WithReader([](sim::ReaderFirmware& r) {
        r.InsertCard(std::make_unique<sim::AtrCard>(
            *sim::AtrCard::FromHex("3B 6F 00 00 80 31 80 65 B0 84 41 3D 61 12 0F FE 82 90 00")));
    });
    EXPECT_EQ(Read(2), (Bytes{0x10, 0x85}));
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0x83, 0x1D}).status, STATUS_SUCCESS);
    // The reply and the first ATR bytes are in; the card is still answering.
    k->Sleep(12);
    const uint64_t before = SerialCounters(port->Device()).bytesReceived;
    ASSERT_GE(before, 3u);
    ASSERT_LT(before, 20u);
    ASSERT_EQ(SetPower(PowerDeviceD3), STATUS_SUCCESS);
    const uint64_t atD3 = SerialCounters(port->Device()).bytesReceived;
    EXPECT_LE(atD3, before + 1);  // at most the character that ended while the request ran
    k->Sleep(100);
    EXPECT_EQ(SerialCounters(port->Device()).bytesReceived, atD3);
    ASSERT_EQ(SetPower(PowerDeviceD0), STATUS_SUCCESS);
    k->Sleep(100);
    EXPECT_EQ(SerialCounters(port->Device()).bytesReceived, atD3);
    EXPECT_EQ(SerialCounters(port->Device()).framingErrors, 0u);
}

TEST_F(PortPower, d1_and_d2_are_recorded_and_completed_and_the_reader_keeps_its_supply) {
    EXPECT_EQ(Command({0x81, 0x2C}), Bytes{0x90});
    for (DEVICE_POWER_STATE state : {PowerDeviceD1, PowerDeviceD2}) {
        ASSERT_EQ(SetPower(state), STATUS_SUCCESS);
        EXPECT_EQ(k->Power().DeviceState(port->Device()), state);
        EXPECT_TRUE(port->Reader().Powered());
        EXPECT_TRUE(port->Line().PortPowered());
        EXPECT_EQ(Command({0xC1}), Bytes{0x2C});
    }
    // Queries and system requests are answered and change nothing.
    EXPECT_EQ(k->Power().SendDevicePower(port->Device(), IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(k->Power().QuerySystemState(port->Device(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(k->Power().SendSystemSetPower(port->Device(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(k->Power().RecordedSystemState(port->Device()), PowerSystemSleeping3);
    EXPECT_EQ(k->Power().DeviceState(port->Device()), PowerDeviceD2);
    EXPECT_TRUE(port->Reader().Powered());
    // From D2 to D0 the reader was never off: what the host wrote is still there.
    ASSERT_EQ(SetPower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Command({0xC1}), Bytes{0x2C});
    // D3 from D2 does switch it off.
    ASSERT_EQ(SetPower(PowerDeviceD2), STATUS_SUCCESS);
    ASSERT_EQ(SetPower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_FALSE(port->Reader().Powered());
    ASSERT_EQ(SetPower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Command({0xC1}), Bytes{12});
}

// Without the option the port completes a D0 in its dispatch routine, at the IRQL the request
// came at: passive for a requested power IRP.
TEST_F(PortPower, d0_completes_at_passive_level_by_default) {
    ASSERT_EQ(RequestDevicePower(port->Device(), PowerDeviceD3, seen), STATUS_SUCCESS);
    ASSERT_EQ(RequestDevicePower(port->Device(), PowerDeviceD0, seen), STATUS_SUCCESS);
    EXPECT_EQ(seen.completions, (std::vector<std::pair<DEVICE_POWER_STATE, KIRQL>>{
                                    {PowerDeviceD3, PASSIVE_LEVEL}, {PowerDeviceD0, PASSIVE_LEVEL}}));
    EXPECT_TRUE(seen.readerPoweredAtD0);
    EXPECT_EQ(seen.callbackIrql, PASSIVE_LEVEL);
}

class PortPowerAtDispatch : public PortPower {
protected:
    PortOptions MakePortOptions() override {
        PortOptions options;
        options.completeD0AtDispatch = true;
        return options;
    }
};

TEST_F(PortPowerAtDispatch, d0_completes_at_dispatch_level_and_a_work_item_completes_it_on) {
    seen.onD0 = OnD0::WorkItem;
    k->Power().ClearHistory();
    ASSERT_EQ(RequestDevicePower(port->Device(), PowerDeviceD3, seen), STATUS_SUCCESS);
    const uint64_t t0 = k->NowNs();
    ASSERT_EQ(RequestDevicePower(port->Device(), PowerDeviceD0, seen), STATUS_SUCCESS);
    EXPECT_EQ(k->NowNs(), t0);  // deferred, not delayed
    // Only the D0 takes the deferred path; the D3 completes in the dispatch routine.
    EXPECT_EQ(seen.completions, (std::vector<std::pair<DEVICE_POWER_STATE, KIRQL>>{
                                    {PowerDeviceD3, PASSIVE_LEVEL}, {PowerDeviceD0, DISPATCH_LEVEL}}));
    EXPECT_TRUE(seen.readerPoweredAtD0);
    EXPECT_EQ(seen.workItemIrql, PASSIVE_LEVEL);
    // The completion went on from the work item up to the requester.
    EXPECT_EQ(seen.callbackIrql, PASSIVE_LEVEL);
    EXPECT_EQ(k->Power().DeviceState(port->Device()), PowerDeviceD0);
    const std::vector<kernel::PowerIrpRecord> history = k->Power().History();
    ASSERT_EQ(history.size(), 2u);
    for (const kernel::PowerIrpRecord& r : history) {
        EXPECT_TRUE(r.requested);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_TRUE(r.completed);
        EXPECT_EQ(r.completedNs, r.sentNs);
    }
    EXPECT_EQ(history[1].state.DeviceState, PowerDeviceD0);
    // The reader answers the driver's first command after the wake.
    EXPECT_EQ(Command({0xC0}), Bytes{0x23});
}

TEST_F(PortPowerAtDispatch, a_d0_completion_that_does_not_wait_may_finish_at_dispatch_level) {
    seen.onD0 = OnD0::Continue;
    ASSERT_EQ(RequestDevicePower(port->Device(), PowerDeviceD0, seen), STATUS_SUCCESS);
    ASSERT_EQ(seen.completions.size(), 1u);
    EXPECT_EQ(seen.completions[0].second, DISPATCH_LEVEL);
    EXPECT_EQ(seen.callbackIrql, DISPATCH_LEVEL);  // the requester's callback runs where it ended
    EXPECT_EQ(Command({0xC0}), Bytes{0x23});
}

void D0CompletionWaitsAtDispatchLevel() {
    kernel::Kernel k;
    PDRIVER_OBJECT driver = LoadSerialDriver(k);
    PortOptions options;
    options.completeD0AtDispatch = true;
    auto port = CreateSimulatedPort(k, driver, "COM1", LineFormat{}, sim::ReaderConfig{}, options);
    static Seen seen;
    seen.onD0 = OnD0::Wait;
    AttachAbove(k, port->Device(), &seen);
    RequestDevicePower(port->Device(), PowerDeviceD0, seen);
}

TEST(PortPowerDeathTest, a_d0_completion_routine_that_waits_at_dispatch_level_stops_the_run) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(D0CompletionWaitsAtDispatchLevel(), "DRIVER_VERIFIER_DETECTED_VIOLATION: WAIT_AT_RAISED_IRQL");
}

}  // namespace
}  // namespace lmscr::serial::test
