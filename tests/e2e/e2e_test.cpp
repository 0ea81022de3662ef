// The driver end to end in real time: the kernel on the operating system's clock and threads, the
// POSIX serial port on the slave side of a pseudo-terminal, the simulated reader on its master
// side. Everything an application and the Plug and Play manager do to a reader on a real serial
// port: add, start, open, the vendor request, a card in and out under parked tracking requests,
// close, a rebalance stop and restart, removal and unload.
//
// Real time: every wait is bounded generously (a loaded machine, or ThreadSanitizer, must not fail
// a run), and no assertion is about how long anything took.
#include "driver.h"
#include "driver_image.h"
#include "kernel.h"
#include "sim/line/simulated_line.h"
#include "sim/cards/iso_card.h"
#include "sim/cards/profiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace lmscr::e2e {
namespace {

constexpr uint64_t kBoundMs = 20'000;
// {50DD5230-BA8A-11D1-BF5D-0000F805F530}, the smart card reader interface class.
constexpr GUID kReaderClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

class RealTimeReader : public ::testing::Test {
protected:
    void SetUp() override {
        kernel::Options o;
        o.mode = kernel::TimeMode::Real;
        k = std::make_unique<kernel::Kernel>(o);
        serialDriver = serial::LoadSerialDriver(*k);
        std::string error;
        pty = serial::OpenPtyReader(sim::ReaderConfig{}, &error);
        ASSERT_NE(pty, nullptr) << error;
        port = serial::CreatePosixPort(*k, serialDriver, "COM1", pty->SlavePath(), serial::PortOptions{}, &error);
        ASSERT_NE(port, nullptr) << error;
        image = DriverImageFromEnvironment();
        driver = k->Pnp().LoadDriver("lmscr", image ? image->Entry() : DriverEntry);
        ASSERT_NE(driver, nullptr);
    }

    void TearDown() override {
        if (!k) return;
        if (handle.IsOpen()) k->Clients().Close(handle);
        if (port && port->Device()->AttachedDevice) {
            EXPECT_EQ(k->Pnp().Remove(port->Device()), STATUS_SUCCESS);
        }
        if (driver) {
            kernel::LeakReport leaks = k->Pnp().UnloadDriver(driver);
            EXPECT_TRUE(leaks.empty()) << "the driver left behind:\n" << leaks.ToString();
        }
        port.reset();
        pty.reset();
        kernel::LeakReport rest = k->Shutdown();
        EXPECT_TRUE(rest.empty()) << "left behind at shutdown:\n" << rest.ToString();
        k.reset();
    }

    PDEVICE_OBJECT Pdo() const { return port->Device(); }
    PSMARTCARD_EXTENSION Smartcard() const {
        return &static_cast<PDEVICE_EXTENSION>(Pdo()->AttachedDevice->DeviceExtension)->SmartcardExtension;
    }

    NTSTATUS OpenThroughTheInterface() {
        std::vector<std::string> links = k->Clients().EnabledInterfaces(kReaderClass);
        if (links.size() != 1) return STATUS_OBJECT_NAME_NOT_FOUND;
        return k->Clients().Open(links.front(), handle);
    }

    // The vendor request, checked whole: the driver's version and the firmware's (2.3) as the
    // reader reported it at start.
    void ExpectVersion() {
        kernel::IoResult v = k->Clients().IoControl(handle, IOCTL_READER_GET_VERSION, {}, 8);
        ASSERT_EQ(v.status, STATUS_SUCCESS);
        ASSERT_EQ(v.information, 8u);
        EXPECT_EQ(v.output[4], DRIVER_VERSION_MAJOR);
        EXPECT_EQ(v.output[5], DRIVER_VERSION_MINOR);
        EXPECT_EQ(v.output[6], 2);
        EXPECT_EQ(v.output[7], 3);
    }

    ULONG CardState() {
        kernel::IoResult r = k->Clients().IoControl(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        ULONG state = 0;
        if (r.information == sizeof state) std::memcpy(&state, r.output.data(), sizeof state);
        return state;
    }

    // True once the class library holds a tracking request parked; looked at under the lock it
    // parks requests under, every 5 ms until the bound.
    bool Parked() {
        PSMARTCARD_OS_DATA os = Smartcard()->OsData;
        for (uint64_t waited = 0; waited < kBoundMs; waited += 5) {
            KIRQL irql;
            KeAcquireSpinLock(&os->SpinLock, &irql);
            const bool parked = os->NotificationIrp != nullptr;
            KeReleaseSpinLock(&os->SpinLock, irql);
            if (parked) return true;
            LARGE_INTEGER interval;
            interval.QuadPart = -5 * 10'000;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        }
        return false;
    }

    void Insert(const char* profile) {
        pty->WithReader([&](sim::ReaderFirmware& reader) {
            EXPECT_TRUE(reader.InsertCard(sim::cards::MakeCardProfile(profile)));
        });
    }
    void Remove() {
        pty->WithReader([](sim::ReaderFirmware& reader) { EXPECT_NE(reader.RemoveCard(), nullptr); });
    }

    std::unique_ptr<DriverImage> image;  // LMSCR_IMAGE: the kernel image instead of the linked driver
    std::unique_ptr<kernel::Kernel> k;
    PDRIVER_OBJECT serialDriver = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    std::unique_ptr<serial::PtyReader> pty;
    std::unique_ptr<serial::PosixPort> port;
    kernel::Handle handle;
};

TEST_F(RealTimeReader, from_plug_in_through_card_events_stop_and_restart_to_unload) {
    ASSERT_EQ(k->Pnp().AddDevice(driver, Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(k->Pnp().Start(Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(OpenThroughTheInterface(), STATUS_SUCCESS);
    ExpectVersion();
    EXPECT_EQ(CardState(), (ULONG)SCARD_ABSENT);

    auto present = k->Clients().IoControlAsync(handle, IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    ASSERT_TRUE(Parked());
    EXPECT_FALSE(present->Done());
    Insert("t1");
    ASSERT_TRUE(present->Wait(kBoundMs));
    EXPECT_EQ(present->Result().status, STATUS_SUCCESS);
    EXPECT_GT(CardState(), (ULONG)SCARD_ABSENT);

    auto absent = k->Clients().IoControlAsync(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    ASSERT_TRUE(Parked());
    EXPECT_FALSE(absent->Done());
    Remove();
    ASSERT_TRUE(absent->Wait(kBoundMs));
    EXPECT_EQ(absent->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(CardState(), (ULONG)SCARD_ABSENT);

    ASSERT_EQ(k->Clients().Close(handle), STATUS_SUCCESS);

    ASSERT_EQ(k->Pnp().StopForRebalance(Pdo()), STATUS_SUCCESS);
    EXPECT_TRUE(k->Clients().EnabledInterfaces(kReaderClass).empty());
    ASSERT_EQ(k->Pnp().Start(Pdo()), STATUS_SUCCESS);
    // The restarted reader talks again: the version is asked anew, and a card in before the open
    // is seen.
    ASSERT_EQ(OpenThroughTheInterface(), STATUS_SUCCESS);
    ExpectVersion();
    Insert("t0");
    auto again = k->Clients().IoControlAsync(handle, IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    ASSERT_TRUE(again->Wait(kBoundMs));
    EXPECT_EQ(again->Result().status, STATUS_SUCCESS);
    ASSERT_EQ(k->Clients().Close(handle), STATUS_SUCCESS);

    ASSERT_EQ(k->Pnp().Remove(Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(Pdo()->AttachedDevice, nullptr);
    kernel::LeakReport leaks = k->Pnp().UnloadDriver(driver);
    driver = nullptr;
    EXPECT_TRUE(leaks.empty()) << "the driver left behind:\n" << leaks.ToString();
}

// Card events while a tracking request is parked, again and again: the receive engine, the
// worker that reports the event and the library's completion run on threads of their own, and
// each cycle gives them another interleaving.
TEST_F(RealTimeReader, card_cycles_complete_every_parked_request) {
    ASSERT_EQ(k->Pnp().AddDevice(driver, Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(k->Pnp().Start(Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(OpenThroughTheInterface(), STATUS_SUCCESS);
    for (int cycle = 0; cycle < 5; ++cycle) {
        auto present = k->Clients().IoControlAsync(handle, IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
        ASSERT_TRUE(Parked()) << "cycle " << cycle;
        Insert("t1");
        ASSERT_TRUE(present->Wait(kBoundMs)) << "cycle " << cycle;
        EXPECT_EQ(present->Result().status, STATUS_SUCCESS) << "cycle " << cycle;
        auto absent = k->Clients().IoControlAsync(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
        ASSERT_TRUE(Parked()) << "cycle " << cycle;
        Remove();
        ASSERT_TRUE(absent->Wait(kBoundMs)) << "cycle " << cycle;
        EXPECT_EQ(absent->Result().status, STATUS_SUCCESS) << "cycle " << cycle;
    }
    // A request parked when the handle goes is cancelled by the cleanup.
    auto parked = k->Clients().IoControlAsync(handle, IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    ASSERT_TRUE(Parked());
    ASSERT_EQ(k->Clients().Close(handle), STATUS_SUCCESS);
    ASSERT_TRUE(parked->Wait(kBoundMs));
    EXPECT_EQ(parked->Result().status, STATUS_CANCELLED);
}

// The reader runs its card line ahead of the clock while the host cannot change it (a send-data
// command on the card line), and the driver writes the next send-data commands of a long block
// while the first runs: the card must still get each block as one stream of characters. The
// "t1-strict" card (CWT 43 etu, 4.5 ms) drops a block whose characters pause longer; UPDATE
// BINARY of 255 bytes reaches it in nine blocks of two commands each, three times over.
TEST_F(RealTimeReader, a_long_block_reaches_a_card_that_holds_the_reader_to_its_character_waiting_time) {
    ASSERT_EQ(k->Pnp().AddDevice(driver, Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(k->Pnp().Start(Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(OpenThroughTheInterface(), STATUS_SUCCESS);
    auto present = k->Clients().IoControlAsync(handle, IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    Insert("t1-strict");
    ASSERT_TRUE(present->Wait(kBoundMs));
    const auto ulong = [](ULONG v) {
        std::vector<uint8_t> b(sizeof v);
        std::memcpy(b.data(), &v, sizeof v);
        return b;
    };
    ASSERT_EQ(k->Clients().IoControl(handle, IOCTL_SMARTCARD_POWER, ulong(SCARD_COLD_RESET), 64).status, STATUS_SUCCESS);
    ASSERT_EQ(k->Clients().IoControl(handle, IOCTL_SMARTCARD_SET_PROTOCOL, ulong(SCARD_PROTOCOL_T1), 4).status,
              STATUS_SUCCESS);
    const auto transmit = [&](const std::vector<uint8_t>& apdu) {
        std::vector<uint8_t> in(sizeof(SCARD_IO_REQUEST));
        SCARD_IO_REQUEST header{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
        std::memcpy(in.data(), &header, sizeof header);
        in.insert(in.end(), apdu.begin(), apdu.end());
        kernel::IoResult r = k->Clients().IoControl(handle, IOCTL_SMARTCARD_TRANSMIT, in, sizeof(SCARD_IO_REQUEST) + 258);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        if (r.information < r.output.size()) r.output.resize(r.information);
        // The answer behind the protocol header: its status word last.
        return r.output.size() >= 2 ? std::vector<uint8_t>(r.output.end() - 2, r.output.end()) : r.output;
    };
    const std::vector<uint8_t> ok = {0x90, 0x00};
    EXPECT_EQ(transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10}), ok);
    EXPECT_EQ(transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01}), ok);
    sim::cards::T1Stats before;
    pty->WithReader([&](sim::ReaderFirmware& reader) {
        before = static_cast<sim::cards::IsoCard*>(reader.CardInSlot())->T1().Stats();
    });
    std::vector<uint8_t> update = {0x00, 0xD6, 0x00, 0x00, 0xFF};
    for (int i = 0; i < 255; ++i) update.push_back(static_cast<uint8_t>(0xA5 ^ (i * 3)));
    for (int run = 0; run < 3; ++run) EXPECT_EQ(transmit(update), ok) << "run " << run;
    pty->WithReader([&](sim::ReaderFirmware& reader) {
        auto* card = static_cast<sim::cards::IsoCard*>(reader.CardInSlot());
        const sim::cards::T1Stats& after = card->T1().Stats();
        EXPECT_EQ(after.blocks_received - before.blocks_received, 27u);
        EXPECT_EQ(after.partial_blocks_dropped, before.partial_blocks_dropped);
        EXPECT_EQ(after.invalid_blocks, before.invalid_blocks);
        const std::vector<uint8_t>* file = card->Application().FileContent(0x6F01);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(file->begin(), file->begin() + 255), std::vector<uint8_t>(update.begin() + 5, update.end()));
    });
}

}  // namespace
}  // namespace lmscr::e2e
