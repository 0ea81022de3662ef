// The Plug and Play and power managers as a small driver stack sees them, and device interfaces.
#include "test_drivers.h"

#include <gtest/gtest.h>

using namespace lmscr::kernel;
using namespace lmscr::kernel::test;

namespace {

// {50DD5230-BA8A-11D1-BF5D-0000F805F530}, the class of the test interface.
const GUID kClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

class Managers : public KernelFixture {
protected:
    void SetUp() override {
        KernelFixture::SetUp();
        bus = LoadBus(*k);
        function = LoadFunction(*k);
        pdo = CreateBusDevice(*k, bus, "\\Device\\TestPort1");
        ASSERT_EQ(k->Pnp().AddDevice(function, pdo), STATUS_SUCCESS);
        Log().clear();
    }
    PDRIVER_OBJECT bus = nullptr;
    PDRIVER_OBJECT function = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(Managers, start_reaches_the_bus_before_the_function_driver_finishes) {
    EXPECT_EQ(k->Pnp().Start(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<std::string>{"function: start", "bus: start", "function: started after the bus"}));
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
}

TEST_F(Managers, orderly_removal_queries_then_removes_and_the_stack_is_gone) {
    k->Pnp().Start(pdo);
    Log().clear();
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<std::string>{"function: query-remove", "bus: query-remove", "function: remove",
                                               "bus: remove"}));
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(function->DeviceObject, nullptr);
}

TEST_F(Managers, refused_query_remove_is_followed_by_cancel_remove) {
    Bus(pdo).pnpStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Log(), (std::vector<std::string>{"function: query-remove", "bus: query-remove",
                                               "function: cancel-remove", "bus: cancel-remove"}));
    Bus(pdo).pnpStatus = STATUS_SUCCESS;
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
}

TEST_F(Managers, rebalance_stops_after_a_query_and_a_refusal_cancels_the_stop) {
    EXPECT_EQ(k->Pnp().StopForRebalance(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<std::string>{"function: query-stop", "bus: query-stop", "function: stop",
                                               "bus: stop"}));
    Log().clear();
    Bus(pdo).pnpStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(k->Pnp().StopForRebalance(pdo), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Log(), (std::vector<std::string>{"function: query-stop", "bus: query-stop", "function: cancel-stop",
                                               "bus: cancel-stop"}));
    Bus(pdo).pnpStatus = STATUS_SUCCESS;
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
}

TEST_F(Managers, surprise_removal_sends_remove_only_after_the_last_handle_closes) {
    Handle h;
    ASSERT_EQ(k->Clients().OpenDevice(pdo, h), STATUS_SUCCESS);
    NTSTATUS result = STATUS_PENDING;
    auto pnpCaller = k->Spawn("unplug", [&] { result = k->Pnp().SurpriseRemove(pdo); });
    k->Sleep(50);
    EXPECT_EQ(Log(), (std::vector<std::string>{"function: surprise-removal", "bus: surprise-removal"}));
    EXPECT_EQ(result, STATUS_PENDING);
    k->Clients().Close(h);
    k->Join(pnpCaller);
    EXPECT_EQ(result, STATUS_SUCCESS);
    EXPECT_EQ(Log().back(), "bus: remove");
}

TEST_F(Managers, system_sleep_queries_every_stack_then_sets_and_wake_sets_working) {
    EXPECT_EQ(k->Power().SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<std::string>{"function: query-power S3", "bus: query-power S3",
                                               "function: set-power S3", "bus: set-power S3"}));
    EXPECT_EQ(k->Power().SystemState(), PowerSystemSleeping3);
    Log().clear();
    EXPECT_EQ(k->Power().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<std::string>{"function: set-power S0", "bus: set-power S0"}));
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
}

// Three stacks, the second refuses: the first two were queried and are told the working state
// again (the function driver of the second saw the query before its bus refused), the third
// hears nothing.
TEST_F(Managers, refused_sleep_query_sets_the_working_state_again_wherever_the_query_went) {
    PDEVICE_OBJECT second = CreateBusDevice(*k, bus, "\\Device\\TestPort2");
    PDEVICE_OBJECT third = CreateBusDevice(*k, bus, "\\Device\\TestPort3");
    ASSERT_EQ(k->Pnp().AddDevice(function, second), STATUS_SUCCESS);
    ASSERT_EQ(k->Pnp().AddDevice(function, third), STATUS_SUCCESS);
    Log().clear();
    Bus(second).powerStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(k->Power().SetSystemState(PowerSystemHibernate), STATUS_DEVICE_BUSY);
    EXPECT_EQ(k->Power().SystemState(), PowerSystemWorking);
    EXPECT_EQ(Log(), (std::vector<std::string>{"function: query-power S4", "bus: query-power S4",
                                               "function: query-power S4", "bus: query-power S4",
                                               "function: set-power S0", "bus: set-power S0",
                                               "function: set-power S0", "bus: set-power S0"}));
    std::vector<std::pair<PDEVICE_OBJECT, UCHAR>> sent;
    for (const PowerIrpRecord& r : k->Power().History()) sent.emplace_back(r.device, r.minor);
    EXPECT_EQ(sent, (std::vector<std::pair<PDEVICE_OBJECT, UCHAR>>{{pdo, IRP_MN_QUERY_POWER},
                                                                   {second, IRP_MN_QUERY_POWER},
                                                                   {pdo, IRP_MN_SET_POWER},
                                                                   {second, IRP_MN_SET_POWER}}));
    Bus(second).powerStatus = STATUS_SUCCESS;
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(k->Pnp().Remove(second), STATUS_SUCCESS);
    EXPECT_EQ(k->Pnp().Remove(third), STATUS_SUCCESS);
}

TEST_F(Managers, critical_sleep_sets_the_state_without_asking) {
    PDEVICE_OBJECT second = CreateBusDevice(*k, bus, "\\Device\\TestPort2");
    ASSERT_EQ(k->Pnp().AddDevice(function, second), STATUS_SUCCESS);
    Log().clear();
    EXPECT_EQ(k->Power().SetSystemState(PowerSystemShutdown, true), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<std::string>{"function: set-power S5", "bus: set-power S5",
                                               "function: set-power S5", "bus: set-power S5"}));
    EXPECT_EQ(k->Power().SystemState(), PowerSystemShutdown);
    for (const PowerIrpRecord& r : k->Power().History()) {
        EXPECT_EQ(r.minor, IRP_MN_SET_POWER);
        EXPECT_EQ(r.type, SystemPowerState);
        EXPECT_EQ(r.state.SystemState, PowerSystemShutdown);
        EXPECT_FALSE(r.requested);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
    }
    EXPECT_EQ(k->Power().History().size(), 2u);
    EXPECT_EQ(k->Power().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(k->Pnp().Remove(second), STATUS_SUCCESS);
}

struct PowerRequest {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
    UCHAR minor = 0xFF;
    DEVICE_POWER_STATE state = PowerDeviceUnspecified;
};

TEST_F(Managers, requested_device_power_irp_reaches_the_stack_and_calls_back) {
    static PowerRequest request;
    request = PowerRequest{};
    KeInitializeEvent(&request.done, NotificationEvent, FALSE);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    PDEVICE_OBJECT fdo = FunctionDeviceAbove(pdo);
    EXPECT_EQ(PoRequestPowerIrp(fdo, IRP_MN_SET_POWER, d3,
                                [](PDEVICE_OBJECT, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK iosb) NTAPI {
                                    auto* r = static_cast<PowerRequest*>(context);
                                    r->status = iosb->Status;
                                    r->minor = minor;
                                    r->state = state.DeviceState;
                                    KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
                                },
                                &request, nullptr),
              STATUS_PENDING);
    KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(request.status, STATUS_SUCCESS);
    EXPECT_EQ(request.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(request.state, PowerDeviceD3);
    EXPECT_EQ(Log(), (std::vector<std::string>{"function: set-power D3", "bus: set-power D3"}));
    EXPECT_EQ(k->Power().DeviceState(pdo), PowerDeviceD3);
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
}

// A driver that keeps device power requests until the test lets it go: the second request must
// not reach it before PoStartNextPowerIrp for the first.
PIRP gHeldPower;
NTSTATUS NTAPI HoldingPower(PDEVICE_OBJECT, PIRP irp) {
    Log().push_back("holder: power");
    IoMarkIrpPending(irp);
    gHeldPower = irp;
    return STATUS_PENDING;
}

TEST_F(Managers, next_power_irp_waits_for_po_start_next_power_irp) {
    PDRIVER_OBJECT holder = k->Pnp().LoadDriver("holder", [](PDRIVER_OBJECT d, PUNICODE_STRING) NTAPI -> NTSTATUS {
        d->MajorFunction[IRP_MJ_POWER] = HoldingPower;
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT device = CreateBusDevice(*k, holder, "\\Device\\Holder");
    gHeldPower = nullptr;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoRequestPowerIrp(device, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr);
    PoRequestPowerIrp(device, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr);
    k->Sleep(10);
    EXPECT_EQ(Log(), (std::vector<std::string>{"holder: power"}));
    PIRP first = gHeldPower;
    ASSERT_NE(first, nullptr);
    PoStartNextPowerIrp(first);
    first->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(first, IO_NO_INCREMENT);
    k->Sleep(10);
    EXPECT_EQ(Log(), (std::vector<std::string>{"holder: power", "holder: power"}));
    ASSERT_NE(gHeldPower, first);
    PoStartNextPowerIrp(gHeldPower);
    gHeldPower->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(gHeldPower, IO_NO_INCREMENT);
    k->Sleep(1);
    k->Pnp().ForgetPhysicalDevice(device);
    IoDeleteDevice(device);
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
}

TEST_F(Managers, interface_arrival_and_removal_are_seen_by_a_watcher) {
    InterfaceWatch watch(*k, kClass);
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &link), STATUS_SUCCESS);
    EXPECT_TRUE(k->Clients().EnabledInterfaces(kClass).empty());
    Handle h;
    std::string name;
    {
        auto n = watch.Next(0);
        EXPECT_FALSE(n.has_value());  // registration alone announces nothing
    }
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    auto arrival = watch.Next(0);
    ASSERT_TRUE(arrival.has_value());
    EXPECT_TRUE(arrival->arrival);
    EXPECT_NE(arrival->symbolicLink.find("{50DD5230-BA8A-11D1-BF5D-0000F805F530}"), std::string::npos);
    EXPECT_EQ(k->Clients().Open(arrival->symbolicLink, h), STATUS_SUCCESS);
    k->Clients().Close(h);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    auto removal = watch.Next(0);
    ASSERT_TRUE(removal.has_value());
    EXPECT_FALSE(removal->arrival);
    EXPECT_EQ(k->Clients().Open(arrival->symbolicLink, h), STATUS_OBJECT_NAME_NOT_FOUND);
    // A watcher waiting for the next arrival is woken when it comes.
    auto enabler = k->Spawn("enabler", [&] {
        k->Sleep(7);
        IoSetDeviceInterfaceState(&link, TRUE);
    });
    auto again = watch.Next(100);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(k->NowMs(), 7u);
    k->Join(enabler);
    RtlFreeUnicodeString(&link);
    // Removal of the stack and of the physical device takes the interface away.
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
}

TEST_F(Managers, interfaces_belong_to_physical_devices_only) {
    UNICODE_STRING link{};
    PDEVICE_OBJECT fdo = FunctionDeviceAbove(pdo);
    EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kClass, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST);
    UNICODE_STRING unknown;
    static WCHAR text[] = {'\\', '?', '?', '\\', 'x', 0};
    RtlInitUnicodeString(&unknown, text);
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
}

}  // namespace

namespace {

// A driver that never calls PoStartNextPowerIrp: the next power IRP of the kind waits for ever, and
// the deadlock report says so.
NTSTATUS NTAPI ForgetfulPower(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void PowerIrpsWithoutStartNext() {
    ResetDrivers();
    Kernel k;
    PDRIVER_OBJECT forgetful = k.Pnp().LoadDriver("forgetful", [](PDRIVER_OBJECT d, PUNICODE_STRING) NTAPI -> NTSTATUS {
        d->MajorFunction[IRP_MJ_POWER] = ForgetfulPower;
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT device = CreateBusDevice(k, forgetful, "\\Device\\Forgetful");
    k.Power().SendDevicePower(device, IRP_MN_SET_POWER, PowerDeviceD3);
    k.Power().SendDevicePower(device, IRP_MN_SET_POWER, PowerDeviceD0);
}

TEST(ManagersDeathTest, a_missing_po_start_next_power_irp_is_named_in_the_deadlock_report) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(PowerIrpsWithoutStartNext(), "DEADLOCK(.|\n)*1 device power IRP\\(s\\) for \\\\Device\\\\Forgetful wait for PoStartNextPowerIrp");
}

// A function driver above a bus device that passes device power requests on. The bus below calls
// PoStartNextPowerIrp for its own location; that releases the bus device only, never the
// function device above it, whose driver has to call it for its own.
struct PassOn {
    PDEVICE_OBJECT lower = nullptr;
    bool keep = false;  // a completion routine keeps the request on its way up
};
PIRP gPassedOn;

NTSTATUS NTAPI KeepOnTheWayUp(PDEVICE_OBJECT, PIRP irp, PVOID) {
    gPassedOn = irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI PassOnPower(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<PassOn*>(device->DeviceExtension);
    Log().push_back("pass-on: power");
    if (!ext->keep) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->lower, irp);
    }
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, KeepOnTheWayUp, nullptr, TRUE, TRUE, TRUE);
    PoCallDriver(ext->lower, irp);
    return STATUS_PENDING;
}

PDEVICE_OBJECT AttachPassOn(Kernel& k, PDEVICE_OBJECT pdo, bool keep) {
    PDRIVER_OBJECT driver = k.Pnp().LoadDriver("pass-on", [](PDRIVER_OBJECT d, PUNICODE_STRING) NTAPI -> NTSTATUS {
        d->MajorFunction[IRP_MJ_POWER] = PassOnPower;
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, sizeof(PassOn), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    auto* ext = static_cast<PassOn*>(device->DeviceExtension);
    ext->keep = keep;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

TEST_F(Managers, a_passed_on_power_irp_holds_the_next_one_until_its_own_po_start_next_power_irp) {
    PDEVICE_OBJECT port = CreateBusDevice(*k, bus, "\\Device\\TestPort2");
    PDEVICE_OBJECT device = AttachPassOn(*k, port, true);
    gPassedOn = nullptr;
    POWER_STATE d3, d0;
    d3.DeviceState = PowerDeviceD3;
    d0.DeviceState = PowerDeviceD0;
    PoRequestPowerIrp(port, IRP_MN_SET_POWER, d3, nullptr, nullptr, nullptr);
    k->Sleep(1);
    PoRequestPowerIrp(port, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr);
    k->Sleep(1000);
    // The bus has been through the first and called PoStartNextPowerIrp; the second still waits.
    EXPECT_EQ(Log(), (std::vector<std::string>{"pass-on: power", "bus: set-power D3"}));
    PIRP first = gPassedOn;
    ASSERT_NE(first, nullptr);
    PoStartNextPowerIrp(first);
    k->Sleep(1);
    EXPECT_EQ(Log(), (std::vector<std::string>{"pass-on: power", "bus: set-power D3", "pass-on: power",
                                               "bus: set-power D0"}));
    first->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(first, IO_NO_INCREMENT);
    ASSERT_NE(gPassedOn, first);
    PoStartNextPowerIrp(gPassedOn);
    IoCompleteRequest(gPassedOn, IO_NO_INCREMENT);
    k->Sleep(1);
    IoDetachDevice(port);
    IoDeleteDevice(device);
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
}

void PowerIrpPassedOnWithoutStartNext() {
    ResetDrivers();
    Kernel k;
    PDRIVER_OBJECT bus = LoadBus(k);
    PDEVICE_OBJECT port = CreateBusDevice(k, bus, "\\Device\\PassOnPort");
    AttachPassOn(k, port, false);
    EXPECT_EQ(k.Power().SendDevicePower(port, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    std::fprintf(stderr, "first request done: %s\n", Log().size() == 2 ? "pass-on, bus" : "unexpected");
    k.Power().SendDevicePower(port, IRP_MN_SET_POWER, PowerDeviceD0);
}

TEST(ManagersDeathTest, a_power_irp_passed_on_without_po_start_next_power_irp_blocks_the_next_one) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(PowerIrpPassedOnWithoutStartNext(),
                 "first request done: pass-on, bus(.|\n)*DEADLOCK(.|\n)*1 device power IRP\\(s\\) for pass-on#[0-9]+ "
                 "wait for PoStartNextPowerIrp");
}

}  // namespace

namespace {

// A power policy owner in the platform's pattern: a system set-power, once its bus has seen it,
// becomes a device set-power the owner requests for its stack (D3 for a sleep, D0 for the
// working state), and the system request completes when the device request is done. A device
// D0 is finished at passive level: its completion routine keeps the request and a work item
// completes it on.
struct Owner {
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PIO_WORKITEM item = nullptr;
    PIRP systemIrp = nullptr;
    PIRP deviceIrp = nullptr;
};

std::string DeviceStateText(DEVICE_POWER_STATE state) { return "D" + std::to_string(state - 1); }

VOID NTAPI OwnerDevicePowerDone(PDEVICE_OBJECT device, UCHAR, POWER_STATE state, PVOID, PIO_STATUS_BLOCK iosb) {
    auto* owner = static_cast<Owner*>(device->AttachedDevice->DeviceExtension);
    Log().push_back("owner: " + DeviceStateText(state.DeviceState) + " done at IRQL " +
                    std::to_string(KeGetCurrentIrql()));
    PIRP system = owner->systemIrp;
    owner->systemIrp = nullptr;
    PoStartNextPowerIrp(system);
    system->IoStatus.Status = iosb->Status;
    IoCompleteRequest(system, IO_NO_INCREMENT);
}

NTSTATUS NTAPI OwnerSystemPowerUp(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    auto* owner = static_cast<Owner*>(device->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    POWER_STATE wanted;
    wanted.DeviceState = sp->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    owner->systemIrp = irp;
    EXPECT_EQ(PoRequestPowerIrp(owner->pdo, IRP_MN_SET_POWER, wanted, OwnerDevicePowerDone, nullptr, nullptr),
              STATUS_PENDING);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI OwnerD0Work(PDEVICE_OBJECT device, PVOID) {
    auto* owner = static_cast<Owner*>(device->DeviceExtension);
    Log().push_back("owner: D0 work item at IRQL " + std::to_string(KeGetCurrentIrql()));
    PIRP irp = owner->deviceIrp;
    owner->deviceIrp = nullptr;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoSetPowerState(device, DevicePowerState, d0);
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI OwnerD0Up(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    auto* owner = static_cast<Owner*>(device->DeviceExtension);
    Log().push_back("owner: D0 back from the bus");
    owner->deviceIrp = irp;
    IoQueueWorkItem(owner->item, OwnerD0Work, DelayedWorkQueue, nullptr);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI OwnerPower(PDEVICE_OBJECT device, PIRP irp) {
    auto* owner = static_cast<Owner*>(device->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const bool system = sp->Parameters.Power.Type == SystemPowerState;
    Log().push_back(std::string("owner: ") + (sp->MinorFunction == IRP_MN_SET_POWER ? "set-power " : "query-power ") +
                    (system ? "S" + std::to_string(sp->Parameters.Power.State.SystemState - 1)
                            : DeviceStateText(sp->Parameters.Power.State.DeviceState)));
    if (sp->MinorFunction == IRP_MN_SET_POWER && (system || sp->Parameters.Power.State.DeviceState == PowerDeviceD0)) {
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, system ? OwnerSystemPowerUp : OwnerD0Up, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(owner->lower, irp);
        return STATUS_PENDING;
    }
    if (sp->MinorFunction == IRP_MN_SET_POWER) PoSetPowerState(device, DevicePowerState, sp->Parameters.Power.State);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(owner->lower, irp);
}

class PolicyOwner : public Managers {
protected:
    void SetUp() override {
        Managers::SetUp();
        driver = k->Pnp().LoadDriver("owner", [](PDRIVER_OBJECT d, PUNICODE_STRING) NTAPI -> NTSTATUS {
            d->MajorFunction[IRP_MJ_POWER] = OwnerPower;
            return STATUS_SUCCESS;
        });
        ownedPdo = CreateBusDevice(*k, bus, "\\Device\\OwnedPort");
        ASSERT_EQ(IoCreateDevice(driver, sizeof(Owner), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        owner = static_cast<Owner*>(device->DeviceExtension);
        *owner = Owner{};
        owner->pdo = ownedPdo;
        owner->lower = IoAttachDeviceToDeviceStack(device, ownedPdo);
        owner->item = IoAllocateWorkItem(device);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        Log().clear();
    }
    void TearDown() override {
        IoFreeWorkItem(owner->item);
        IoDetachDevice(ownedPdo);
        IoDeleteDevice(device);
        EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
        Managers::TearDown();
    }
    size_t Requested(DEVICE_POWER_STATE state) {
        size_t n = 0;
        for (const PowerIrpRecord& r : k->Power().History())
            n += r.requested && r.type == DevicePowerState && r.state.DeviceState == state;
        return n;
    }
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT ownedPdo = nullptr;
    PDEVICE_OBJECT device = nullptr;
    Owner* owner = nullptr;
};

TEST_F(PolicyOwner, sleep_queries_every_stack_then_sets_each_and_the_owner_requests_one_d3) {
    EXPECT_EQ(k->Power().SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "function: query-power S3", "bus: query-power S3",  // the fixture's stack first
                         "owner: query-power S3", "bus: query-power S3",
                         "function: set-power S3", "bus: set-power S3",
                         "owner: set-power S3", "bus: set-power S3",
                         "owner: set-power D3", "bus: set-power D3", "owner: D3 done at IRQL 0"}));
    EXPECT_EQ(Requested(PowerDeviceD3), 1u);
    EXPECT_EQ(Requested(PowerDeviceD0), 0u);
    const std::vector<PowerIrpRecord> history = k->Power().History();
    ASSERT_EQ(history.size(), 5u);
    EXPECT_EQ(history[4].device, ownedPdo);
    EXPECT_EQ(history[4].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(history[4].status, STATUS_SUCCESS);
    for (const PowerIrpRecord& r : history) EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(k->Power().DeviceState(device), PowerDeviceD3);
    EXPECT_EQ(k->Power().DeviceState(ownedPdo), PowerDeviceD3);
}

TEST_F(PolicyOwner, wake_sets_working_unasked_and_the_d0_finishes_in_a_work_item) {
    ASSERT_EQ(k->Power().SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    Log().clear();
    k->Power().ClearHistory();
    EXPECT_EQ(k->Power().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    // The D0 is kept by the owner's completion routine, handed on by its work item at passive
    // level, and only then does the requester's callback complete the system request.
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "function: set-power S0", "bus: set-power S0",
                         "owner: set-power S0", "bus: set-power S0",
                         "owner: set-power D0", "bus: set-power D0", "owner: D0 back from the bus",
                         "owner: D0 work item at IRQL 0", "owner: D0 done at IRQL 0"}));
    EXPECT_EQ(Requested(PowerDeviceD0), 1u);
    EXPECT_EQ(Requested(PowerDeviceD3), 0u);
    EXPECT_EQ(k->Power().DeviceState(device), PowerDeviceD0);
    EXPECT_EQ(k->Power().DeviceState(ownedPdo), PowerDeviceD0);
    EXPECT_EQ(k->Power().SystemState(), PowerSystemWorking);
}

TEST_F(PolicyOwner, critical_shutdown_sends_no_query_and_still_gets_its_d3) {
    EXPECT_EQ(k->Power().SetSystemState(PowerSystemShutdown, true), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<std::string>{"function: set-power S5", "bus: set-power S5",
                                               "owner: set-power S5", "bus: set-power S5",
                                               "owner: set-power D3", "bus: set-power D3", "owner: D3 done at IRQL 0"}));
    EXPECT_EQ(Requested(PowerDeviceD3), 1u);
    ASSERT_EQ(k->Power().SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
}

// A record keeps its place when the history is cleared while its IRP is on its way: the late
// completion does not land on a record made after the clear.
TEST_F(Managers, history_cleared_with_a_request_on_its_way_stays_consistent) {
    PDRIVER_OBJECT holder = k->Pnp().LoadDriver("holder", [](PDRIVER_OBJECT d, PUNICODE_STRING) NTAPI -> NTSTATUS {
        d->MajorFunction[IRP_MJ_POWER] = HoldingPower;
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT held = CreateBusDevice(*k, holder, "\\Device\\Holder");
    gHeldPower = nullptr;
    POWER_STATE d1;
    d1.DeviceState = PowerDeviceD1;
    ASSERT_EQ(PoRequestPowerIrp(held, IRP_MN_SET_POWER, d1, nullptr, nullptr, nullptr), STATUS_PENDING);
    k->Sleep(1);
    ASSERT_NE(gHeldPower, nullptr);
    ASSERT_EQ(k->Power().History().size(), 1u);
    EXPECT_FALSE(k->Power().History()[0].completed);
    k->Power().ClearHistory();
    EXPECT_TRUE(k->Power().History().empty());
    EXPECT_EQ(k->Power().SendDevicePower(pdo, IRP_MN_QUERY_POWER, PowerDeviceD2), STATUS_SUCCESS);
    PoStartNextPowerIrp(gHeldPower);
    gHeldPower->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(gHeldPower, IO_NO_INCREMENT);
    k->Sleep(1);
    const std::vector<PowerIrpRecord> history = k->Power().History();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].device, pdo);
    EXPECT_EQ(history[0].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(history[0].type, DevicePowerState);
    EXPECT_FALSE(history[0].requested);
    EXPECT_TRUE(history[0].completed);
    EXPECT_EQ(history[0].status, STATUS_SUCCESS);
    k->Pnp().ForgetPhysicalDevice(held);
    IoDeleteDevice(held);
    EXPECT_EQ(k->Pnp().Remove(pdo), STATUS_SUCCESS);
}

}  // namespace
