// The POSIX tty back end in real time: the port on a pseudo-terminal whose other side is the
// simulated reader. Only contents are checked, never durations.
#include "serial_fault.h"
#include "serial_test_support.h"
#include "sim/cards/profiles.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

namespace lmscr::serial::test {
namespace {

class PtyPort : public SerialFixture {
protected:
    kernel::Options Options() override {
        kernel::Options o;
        o.mode = kernel::TimeMode::Real;
        return o;
    }
    void SetUp() override {
        SerialFixture::SetUp();
        std::string error;
        reader = OpenPtyReader(sim::ReaderConfig{}, &error);
        ASSERT_NE(reader, nullptr) << error;
        port = CreatePosixPort(*k, driver, "COM3", reader->SlavePath(), PortOptions{}, &error);
        ASSERT_NE(port, nullptr) << error;
        Open(port->Device());
        ConfigureLikeTheReader();
        // Generous: a loaded machine (the sanitizer suite on two cores) must not fail the test;
        // a healthy one answers in under a millisecond, so success never waits this long.
        ASSERT_EQ(SetTimeouts(0, 0, 3000, 0, 3000), STATUS_SUCCESS);
    }
    void DropPorts() override {
        port.reset();
        reader.reset();
    }
    std::unique_ptr<PtyReader> reader;
    std::unique_ptr<PosixPort> port;
};

TEST_F(PtyPort, reader_commands_round_trip_through_a_pseudo_terminal) {
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0x85, 0x80, 0x25, 0x00}).status, STATUS_SUCCESS);
    kernel::IoResult r = k->Clients().Read(handle, 1);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.output, (Bytes{0x90}));
    ASSERT_EQ(DriverWrite(port->Device(), {0xC0}), STATUS_SUCCESS);
    uint8_t version = 0;
    ASSERT_EQ(DriverRead(port->Device(), &version, 1), STATUS_SUCCESS);
    EXPECT_EQ(version, 0x23);
    uint32_t charTimeout = 0;
    reader->WithReader([&](sim::ReaderFirmware& f) { charTimeout = f.CharTimeoutEtu(); });
    EXPECT_EQ(charTimeout, 9600u);
}

TEST_F(PtyPort, a_wait_on_mask_sees_the_reply_arrive) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    // The waiter is a thread of our own, joined before the kernel goes (in real time a request
    // thread of the client API may still be returning from the driver when the test ends).
    kernel::IoResult wait;
    auto waiter = k->Spawn("waiter", [&] { wait = k->Clients().IoControl(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4); });
    // Whether the wait is armed before the reply arrives or after (then the history answers
    // it), it ends with the received-character event.
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0xC0}).status, STATUS_SUCCESS);
    k->Join(waiter);
    EXPECT_EQ(wait.status, STATUS_SUCCESS);
    EXPECT_EQ(Ulong(wait), SERIAL_EV_RXCHAR);
    kernel::IoResult r = k->Clients().Read(handle, 1);
    EXPECT_EQ(r.output, (Bytes{0x23}));
}

// The planted faults belong to the port driver, not to a back end: on a tty they refuse, hold and
// serve late just the same, with the serving done from the deferred-procedure thread in real time.
TEST_F(PtyPort, planted_faults_refuse_hold_and_serve_late_on_a_tty_too) {
    SerialFault refuse;
    refuse.ioControlCode = IOCTL_SERIAL_SET_BAUD_RATE;
    refuse.status = STATUS_IO_DEVICE_ERROR;
    InjectSerialFault(port->Device(), refuse);
    EXPECT_EQ(SetBaud(9600), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(SerialFormat(port->Device()).baud, 19200u);

    SerialFault hold;
    hold.kind = SerialFault::Kind::PendForever;
    hold.ioControlCode = IOCTL_SERIAL_GET_COMMSTATUS;
    InjectSerialFault(port->Device(), hold);
    auto held = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    EXPECT_FALSE(held->Wait(100));
    // Should the request still be on its way, the port finds it cancelled when it arrives.
    held->Cancel();
    ASSERT_TRUE(held->Wait(3000));
    EXPECT_EQ(held->Result().status, STATUS_CANCELLED);

    SerialFault late;
    late.kind = SerialFault::Kind::CompleteLate;
    late.major = IRP_MJ_WRITE;
    late.lateMs = 50;
    InjectSerialFault(port->Device(), late);
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0xC0}).status, STATUS_SUCCESS);
    kernel::IoResult r = k->Clients().Read(handle, 1);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.output, (Bytes{0x23}));
    EXPECT_EQ(SerialRequestCount(port->Device(), IRP_MJ_WRITE), 1u);
}

// A pseudo-terminal whose master goes (the reader's end closed, as a USB adapter pulled) has no
// modem lines to drop: the port reports the hang-up as DSR off, which is what tells the driver
// above that its reader is gone.
TEST_F(PtyPort, a_far_end_that_hangs_up_drops_dsr) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_DSR), STATUS_SUCCESS);
    auto wait = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    kernel::IoResult before = k->Clients().IoControl(handle, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
    ASSERT_EQ(before.status, STATUS_SUCCESS);
    EXPECT_NE(Ulong(before) & SERIAL_DSR_STATE, 0u);
    EXPECT_FALSE(wait->Wait(0));
    reader.reset();
    // The reader thread sees the hang-up in its poll; a port that never notices fails here, not
    // by hanging.
    if (!wait->Wait(3000)) {
        wait->Cancel();
        ASSERT_TRUE(wait->Wait(3000));
        FAIL() << "no DSR event after the far end hung up";
    }
    EXPECT_EQ(wait->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(Ulong(wait->Result()), SERIAL_EV_DSR);
    kernel::IoResult after = k->Clients().IoControl(handle, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
    ASSERT_EQ(after.status, STATUS_SUCCESS);
    EXPECT_EQ(Ulong(after) & SERIAL_DSR_STATE, 0u);
}

// Context switches of this process's threads by name (/proc/self/task/*/comm): the times each
// went to sleep or was put off the processor.
std::map<std::string, uint64_t> SwitchesByThread() {
    std::map<std::string, uint64_t> switches;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream commFile(task.path() / "comm");
        std::string name;
        std::getline(commFile, name);
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            unsigned long long n = 0;
            if (std::sscanf(line.c_str(), "voluntary_ctxt_switches: %llu", &n) == 1 ||
                std::sscanf(line.c_str(), "nonvoluntary_ctxt_switches: %llu", &n) == 1)
                switches[name] += n;
        }
    }
    return switches;
}

// An idle line costs nothing: a pseudo-terminal has no modem lines to sample (asked once, it
// refused), so the port's thread sleeps on the descriptor alone, and the simulated reader's thread
// on its descriptor with no timer set. Neither runs while nothing is sent, however long that is.
TEST_F(PtyPort, an_idle_pseudo_terminal_wakes_neither_side) {
    ASSERT_EQ(DriverWrite(port->Device(), {0xC0}), STATUS_SUCCESS);
    uint8_t version = 0;
    ASSERT_EQ(DriverRead(port->Device(), &version, 1), STATUS_SUCCESS);
    ASSERT_EQ(version, 0x23);
    // The reader's last timers (its transmitter's) run out within a few byte times.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::map<std::string, uint64_t> before = SwitchesByThread();
    ASSERT_EQ(before.count("COM3 tty reader"), 1u);
    ASSERT_EQ(before.count("pty reader"), 1u);
    // Three times the port's old sampling period.
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    const std::map<std::string, uint64_t> after = SwitchesByThread();
    EXPECT_EQ(after.at("COM3 tty reader"), before.at("COM3 tty reader"));
    EXPECT_EQ(after.at("pty reader"), before.at("pty reader"));
    // And the line still works.
    ASSERT_EQ(DriverWrite(port->Device(), {0xC0}), STATUS_SUCCESS);
    ASSERT_EQ(DriverRead(port->Device(), &version, 1), STATUS_SUCCESS);
    EXPECT_EQ(version, 0x23);
}

// The simulated reader hands a burst over in one write once its last byte is due, as a USB
// serial adapter does: the host reads a T=0 card's procedure byte, and its status words, each
// with the reply to the send-data command before it, and a T=1 card's answer with that reply
// before it and the reader's time-out behind it, in one read each.
TEST(PtyReaderBursts, a_command_and_the_cards_answer_come_back_in_one_read) {
    using Exchange = std::pair<Bytes, Bytes>;  // the host's command, the one read that answers it
    struct Row {
        const char* profile;
        uint8_t charTimeoutEtu;  // as the driver sets it for the card; 0: the power-on 9600 etu
        std::vector<Exchange> exchanges;
    };
    const std::vector<Row> rows = {
        {"t0", 0, {{{0x45, 0x00, 0xA4, 0x00, 0x00, 0x02}, {0x90, 0xA4}}, {{0x42, 0x3F, 0x00}, {0x90, 0x61, 0x09}}}},
        {"t1", 43,
         {{{0x4B, 0x00, 0x00, 0x07, 0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x9E},
           {0x90, 0x00, 0x00, 0x02, 0x90, 0x00, 0x92, 0x10, 0x83}}}},
    };
    for (const Row& row : rows) {
        std::string error;
        std::unique_ptr<PtyReader> reader = OpenPtyReader(sim::ReaderConfig{}, &error);
        ASSERT_NE(reader, nullptr) << error;
        const int host = open(reader->SlavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(host, 0);
        ASSERT_TRUE(MakeRawTty(host));
        // Reads what the reader sends until `n` bytes are in, each read waiting up to 3 s.
        const auto receive = [&](size_t n) {
            Bytes got;
            while (got.size() < n) {
                pollfd fd{host, POLLIN, 0};
                uint8_t buffer[64];
                const ssize_t r = poll(&fd, 1, 3000) == 1 ? read(host, buffer, sizeof buffer) : 0;
                if (r <= 0) break;
                got.insert(got.end(), buffer, buffer + r);
            }
            return got;
        };
        const auto send = [&](const Bytes& bytes) { return write(host, bytes.data(), bytes.size()) == ssize_t(bytes.size()); };
        reader->WithReader([&](sim::ReaderFirmware& f) { f.InsertCard(sim::cards::MakeCardProfile(row.profile)); });
        EXPECT_EQ(receive(2), (Bytes{0x10, 0x85}));
        Bytes atr{0x90};
        for (const auto& info : sim::cards::CardProfiles())
            if (info.name == row.profile) atr.insert(atr.end(), info.atr.begin(), info.atr.end());
        ASSERT_TRUE(send({0x83, 0x1D}));
        EXPECT_EQ(receive(atr.size()), atr) << row.profile;
        if (row.charTimeoutEtu != 0) {
            ASSERT_TRUE(send({0x85, row.charTimeoutEtu, 0x00, 0x00}));
            EXPECT_EQ(receive(1), Bytes{0x90});
        }
        for (const Exchange& exchange : row.exchanges) {
            ASSERT_TRUE(send(exchange.first));
            EXPECT_EQ(receive(1), exchange.second) << row.profile;
        }
        close(host);
    }
}

// The back end takes what a write has to send in chunks, as a UART with a FIFO takes bytes, and
// tops its chunk up as the tty accepts them: writes longer than a chunk, one after the other,
// reach the far side whole and in order, and each completes with its full length.
TEST(PosixPortWrite, writes_longer_than_a_chunk_reach_the_tty_whole_and_in_order) {
    kernel::Options o;
    o.mode = kernel::TimeMode::Real;
    kernel::Kernel k(o);
    PDRIVER_OBJECT driver = LoadSerialDriver(k);
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    char name[128];
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
    std::string error;
    auto port = CreatePosixPort(k, driver, "COM8", name, PortOptions{}, &error);
    ASSERT_NE(port, nullptr) << error;
    ASSERT_EQ(k.Pnp().Start(port->Device()), STATUS_SUCCESS);
    kernel::Handle handle;
    ASSERT_EQ(k.Clients().OpenDevice(port->Device(), handle), STATUS_SUCCESS);
    Bytes sent;
    for (size_t length : {600u, 1u, 300u}) {
        Bytes data(length);
        for (size_t i = 0; i < length; ++i) data[i] = uint8_t((sent.size() + i) * 7 + 1);
        const kernel::IoResult r = k.Clients().Write(handle, data);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, length);
        sent.insert(sent.end(), data.begin(), data.end());
    }
    Bytes got;
    while (got.size() < sent.size()) {
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, 10'000) <= 0) break;
        uint8_t buffer[512];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, sent);
    k.Clients().Close(handle);
    port.reset();
    close(master);
    EXPECT_TRUE(k.Shutdown().empty());
}

TEST(PosixPortOpen, a_path_that_is_no_terminal_is_refused) {
    kernel::Options o;
    o.mode = kernel::TimeMode::Real;
    kernel::Kernel k(o);
    PDRIVER_OBJECT driver = LoadSerialDriver(k);
    std::string error;
    EXPECT_EQ(CreatePosixPort(k, driver, "COM9", "/dev/null", PortOptions{}, &error), nullptr);
    EXPECT_NE(error.find("not a terminal"), std::string::npos) << error;
    EXPECT_EQ(CreatePosixPort(k, driver, "COM9", "/nonexistent/tty", PortOptions{}, &error), nullptr);
    EXPECT_TRUE(k.Shutdown().empty());
}

}  // namespace
}  // namespace lmscr::serial::test
