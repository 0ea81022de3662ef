// Driver entry, device objects and records: slots, failure paths of AddDevice, removal, unload.
#include "rig.h"

#include "messages.h"

#include <cstring>

using namespace lmscr;
using namespace lmscr::test;

namespace {

// Many serial ports, no reader behind them: AddDevice does not talk to the reader.
class Ports : public ::testing::Test {
protected:
    void SetUp() override {
        kernel = std::make_unique<kernel::Kernel>();
        serialDriver = serial::LoadSerialDriver(*kernel);
        for (int i = 0; i < 11; ++i)
            lines.push_back(serial::CreateSimulatedLine(*kernel, serialDriver, "COM" + std::to_string(i + 1),
                                                        serial::LineFormat{}));
        driver = kernel->Pnp().LoadDriver("lmscr", DriverEntry);
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override {
        kernel::LeakReport leaks = kernel->Pnp().UnloadDriver(driver);
        EXPECT_TRUE(leaks.empty()) << leaks.ToString();
        lines.clear();
        kernel::LeakReport rest = kernel->Shutdown();
        EXPECT_TRUE(rest.empty()) << rest.ToString();
        kernel.reset();
    }
    PDEVICE_OBJECT Port(int i) { return lines[i]->Device(); }
    ULONG Slot(int i) { return static_cast<PDEVICE_EXTENSION>(Port(i)->AttachedDevice->DeviceExtension)->DeviceInstance; }
    std::vector<uint32_t> Events() {
        std::vector<uint32_t> codes;
        for (auto& e : kernel->EventLog()) codes.push_back(e.code);
        return codes;
    }

    std::unique_ptr<kernel::Kernel> kernel;
    PDRIVER_OBJECT serialDriver = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<std::unique_ptr<serial::SimulatedLine>> lines;
};

TEST_F(Ports, ten_readers_and_the_eleventh_refused_then_a_freed_slot_reused) {
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(kernel->Pnp().AddDevice(driver, Port(i)), STATUS_SUCCESS);
        EXPECT_EQ(Slot(i), static_cast<ULONG>(i));
    }
    EXPECT_EQ(kernel->Pnp().AddDevice(driver, Port(10)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Port(10)->AttachedDevice, nullptr);
    EXPECT_EQ(Events(), std::vector<uint32_t>{0xC0040005});
    EXPECT_EQ(kernel->EventLog()[0].objectPointer, driver);

    ASSERT_EQ(kernel->Pnp().Remove(Port(4)), STATUS_SUCCESS);
    ASSERT_EQ(kernel->Pnp().AddDevice(driver, Port(10)), STATUS_SUCCESS);
    EXPECT_EQ(Slot(10), 4u);
}

TEST_F(Ports, slots_are_taken_lowest_first) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(kernel->Pnp().AddDevice(driver, Port(i)), STATUS_SUCCESS);
    ASSERT_EQ(kernel->Pnp().Remove(Port(1)), STATUS_SUCCESS);
    ASSERT_EQ(kernel->Pnp().AddDevice(driver, Port(3)), STATUS_SUCCESS);
    EXPECT_EQ(Slot(3), 1u);
}

TEST_F(Ports, fresh_device_has_the_records_the_library_needs) {
    ASSERT_EQ(kernel->Pnp().AddDevice(driver, Port(0)), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = Port(0)->AttachedDevice;
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(fdo->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SMARTCARD);
    EXPECT_TRUE(fdo->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(fdo->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(fdo->Flags & DO_EXCLUSIVE);
    auto* ext = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    PSMARTCARD_EXTENSION sc = &ext->SmartcardExtension;
    EXPECT_EQ(sc->Version, (ULONG)SMCLIB_VERSION);
    EXPECT_EQ(sc->VendorAttr.VendorName.Length, 16);
    EXPECT_EQ(std::memcmp(sc->VendorAttr.VendorName.Buffer, "Brimvale-Omnich", 16), 0);
    EXPECT_EQ(sc->VendorAttr.IfdType.Length, 24);
    EXPECT_EQ(std::memcmp(sc->VendorAttr.IfdType.Buffer, "Lockmeridian Serial SCR", 24), 0);
    EXPECT_EQ(sc->VendorAttr.UnitNo, 0u);
    EXPECT_EQ(sc->VendorAttr.IfdVersion.VersionMajor, 0);
    EXPECT_EQ(sc->ReaderCapabilities.SupportedProtocols, (ULONG)(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    EXPECT_EQ(sc->ReaderCapabilities.MaxIFSD, 254u);
    EXPECT_EQ(sc->ReaderCapabilities.DataRate.Default, 9600u);
    EXPECT_EQ(sc->ReaderFunction[RDF_CARD_TRACKING], CardTracking);
    EXPECT_EQ(sc->ReaderFunction[RDF_IOCTL_VENDOR], VendorIoctl);
    EXPECT_EQ(sc->OsData->DeviceObject, fdo);
    EXPECT_EQ(sc->ReaderExtension->SmartcardExtension, sc);
    EXPECT_EQ(sc->ReaderExtension->ReaderPowerState, (ULONG)READER_POWER_ON);
    EXPECT_EQ(sc->ReaderExtension->AttachedSerialPort, Port(0));
    EXPECT_EQ(kernel->PoolStats(SMARTCARD_POOL_TAG).liveBlocks, 1u);
    // Two readers share the one data-rate list.
    ASSERT_EQ(kernel->Pnp().AddDevice(driver, Port(1)), STATUS_SUCCESS);
    auto* other = static_cast<PDEVICE_EXTENSION>(Port(1)->AttachedDevice->DeviceExtension);
    EXPECT_EQ(other->SmartcardExtension.ReaderCapabilities.DataRatesSupported.List,
              sc->ReaderCapabilities.DataRatesSupported.List);
    EXPECT_NE(other->SmartcardExtension.ReaderExtension, sc->ReaderExtension);
}

struct FailureCase {
    const char* name;
    kernel::FaultRule rule;
    NTSTATUS status;
    std::vector<uint32_t> events;
};

class AddDeviceFailure : public Ports, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(AddDeviceFailure, leaves_no_device_and_frees_the_slot) {
    const FailureCase& c = GetParam();
    kernel->InjectFault(c.rule);
    EXPECT_EQ(kernel->Pnp().AddDevice(driver, Port(0)), c.status);
    EXPECT_EQ(Port(0)->AttachedDevice, nullptr);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(Events(), c.events);
    kernel->ClearFaults();
    ASSERT_EQ(kernel->Pnp().AddDevice(driver, Port(1)), STATUS_SUCCESS);
    EXPECT_EQ(Slot(1), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AddDeviceFailure,
    ::testing::Values(
        FailureCase{"device_object", {"IoCreateDevice", "", 1, 0}, STATUS_INSUFFICIENT_RESOURCES, {0xC0040001}},
        FailureCase{"reader_record", {"ExAllocatePoolWithTag", "CreateDevice", 1, 0}, STATUS_INSUFFICIENT_RESOURCES,
                    {0xC0040002}},
        FailureCase{"first_work_item", {"IoAllocateWorkItem", "", 1, 0}, STATUS_INSUFFICIENT_RESOURCES, {}},
        FailureCase{"second_work_item", {"IoAllocateWorkItem", "", 2, 0}, STATUS_INSUFFICIENT_RESOURCES, {}},
        FailureCase{"attach", {"IoAttachDeviceToDeviceStack", "", 1, 0}, STATUS_UNSUCCESSFUL, {0xC0040004}},
        FailureCase{"interface", {"IoRegisterDeviceInterface", "", 1, 0}, STATUS_INSUFFICIENT_RESOURCES, {}},
        FailureCase{"library", {"ExAllocatePoolWithTag", "", 2, 0}, STATUS_INSUFFICIENT_RESOURCES, {}}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// AddDevice's failure paths hand RemoveDevice what they made, which can be nothing: the readers
// already there keep their device object, their slot, their pool and their place on the port.
TEST_F(Ports, remove_device_of_nothing_does_nothing) {
    ASSERT_EQ(kernel->Pnp().AddDevice(driver, Port(0)), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = Port(0)->AttachedDevice;
    const std::vector<std::string> before = kernel->Outstanding().items;
    RemoveDevice(nullptr);
    EXPECT_EQ(driver->DeviceObject, fdo);
    EXPECT_EQ(fdo->NextDevice, nullptr);
    EXPECT_EQ(Port(0)->AttachedDevice, fdo);
    EXPECT_EQ(kernel->Outstanding().items, before);
    EXPECT_EQ(kernel->PoolStats(SMARTCARD_POOL_TAG).liveBlocks, 1u);
    std::vector<UCHAR> slots(MAXIMUM_SERIAL_READERS, 0);
    slots[0] = 1;
    EXPECT_EQ(std::vector<UCHAR>(DeviceSlots, DeviceSlots + MAXIMUM_SERIAL_READERS), slots);
    EXPECT_TRUE(Events().empty());
    // The slot it holds stays taken: the next reader gets the next one.
    ASSERT_EQ(kernel->Pnp().AddDevice(driver, Port(1)), STATUS_SUCCESS);
    EXPECT_EQ(Slot(1), 1u);
}

TEST_F(Ports, unload_removes_every_device_left) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(kernel->Pnp().AddDevice(driver, Port(i)), STATUS_SUCCESS);
    kernel::LeakReport leaks = kernel->Pnp().UnloadDriver(driver);
    EXPECT_TRUE(leaks.empty()) << leaks.ToString();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Port(i)->AttachedDevice, nullptr);
    EXPECT_EQ(kernel->PoolStats(SMARTCARD_POOL_TAG).liveBlocks, 0u);
    // Load again for the fixture's own unload.
    driver = kernel->Pnp().LoadDriver("lmscr", DriverEntry);
}

}  // namespace
