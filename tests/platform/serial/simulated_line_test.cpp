// The port and the simulated reader on one line, in virtual time: the reader's command
// conversation byte by byte with its times, card events, a baud mismatch, an unplugged cable.
#include "serial_test_support.h"

#include "sim/atr_card.h"

namespace lmscr::serial::test {
namespace {

class ReaderLine : public SerialFixture {
protected:
    void SetUp() override {
        SerialFixture::SetUp();
        SetUpPortAgain();
    }
    void SetUpPortAgain() {
        PortOptions options;
        options.forcePending = true;
        port = CreateSimulatedPort(*k, driver, "COM1", LineFormat{}, sim::ReaderConfig{}, options);
        ASSERT_NE(port, nullptr);
        Open(port->Device());
        ConfigureLikeTheReader();
    }
    void DropPorts() override { port.reset(); }

    Bytes ReadAll(ULONG n) {
        kernel::IoResult r = k->Clients().Read(handle, n);
        r.output.resize(r.information);
        return r.output;
    }

    std::unique_ptr<SimulatedPort> port;
};

TEST_F(ReaderLine, write_register_5_is_answered_0x90_with_exact_byte_times) {
    const uint64_t t0 = k->NowNs();
    ASSERT_EQ(DriverWrite(port->Device(), {0x85, 0x80, 0x25, 0x00}), STATUS_SUCCESS);
    uint8_t reply = 0;
    ASSERT_EQ(DriverRead(port->Device(), &reply, 1), STATUS_SUCCESS);
    EXPECT_EQ(reply, 0x90);
    // Four characters to the reader, which answers when the fourth is in; the answer is
    // complete one character later.
    EXPECT_EQ(k->NowNs() - t0, 5 * kByte19200);
    EXPECT_EQ(port->Reader().CharTimeoutEtu(), 9600u);
    const auto& lines = port->Trace().Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[0].find("85 80 25 00"), std::string::npos) << lines[0];
    // A trace unit carries the time of its first byte; the port was opened at time 0.
    ASSERT_EQ(t0, 0u);
    EXPECT_NE(lines[0].find(" 0.520 ms"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("90"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("2.604 ms"), std::string::npos) << lines[1];
}

TEST_F(ReaderLine, version_read_through_the_client_and_0x10_comes_escaped) {
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0xC0}).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(1), (Bytes{0x23}));
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0x81, 0x10}).status, STATUS_SUCCESS);  // guard time 0x10
    EXPECT_EQ(ReadAll(1), (Bytes{0x90}));
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0xC1}).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(2), (Bytes{0x10, 0x10}));
}

TEST_F(ReaderLine, card_insertion_reaches_a_pending_wait_as_escaped_event) {
    ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR), STATUS_SUCCESS);
    auto wait = k->Clients().IoControlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    k->Sleep(10);
    EXPECT_FALSE(wait->Done());
    const uint64_t t0 = k->NowNs();
    port->WithReader([](sim::ReaderFirmware& r) {
        r.InsertCard(std::make_unique<sim::AtrCard>(*sim::AtrCard::FromHex("3B 02 14 50")));
    });
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(Ulong(wait->Result()), SERIAL_EV_RXCHAR);
    EXPECT_EQ(k->NowNs() - t0, kByte19200);
    k->Sleep(5);
    EXPECT_EQ(InQueue(), 2u);
    EXPECT_EQ(ReadAll(2), (Bytes{0x10, 0x85}));
}

TEST_F(ReaderLine, a_port_at_another_baud_rate_reads_garbage_the_same_way_every_run) {
    ASSERT_EQ(SetBaud(9600), STATUS_SUCCESS);
    ASSERT_EQ(SetTimeouts(50, 0, 200), STATUS_SUCCESS);
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0xC0}).status, STATUS_SUCCESS);
    Bytes got = ReadAll(8);
    // Whatever the reader made of our slow character, its answer cannot read as the version.
    EXPECT_NE(got, (Bytes{0x23}));
    EXPECT_GT(SerialCounters(port->Device()).framingErrors + SerialCounters(port->Device()).bytesReceived, 0u);
    // The same seed, a fresh kernel: the same garbage.
    Teardown();
    Boot(kernel::Options{});
    SetUpPortAgain();
    ASSERT_EQ(SetBaud(9600), STATUS_SUCCESS);
    ASSERT_EQ(SetTimeouts(50, 0, 200), STATUS_SUCCESS);
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0xC0}).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(8), got);
}

TEST_F(ReaderLine, an_unplugged_cable_carries_nothing) {
    port->Line().SetConnected(false);
    port->Line().SetDsr(false);
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0xC0}).status, STATUS_SUCCESS);
    const uint64_t t0 = k->NowNs();
    EXPECT_EQ(k->Clients().Read(handle, 1).status, STATUS_TIMEOUT);
    EXPECT_EQ(k->NowNs() - t0, 100 * kMs);
    EXPECT_EQ(port->Reader().Stats().host_bytes_received, 0u);
    port->Line().SetConnected(true);
    ASSERT_EQ(k->Clients().Write(handle, Bytes{0xC0}).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(1), (Bytes{0x23}));
}

TEST_F(ReaderLine, a_port_torn_down_mid_conversation_leaves_nothing_running) {
    // Six version reads: when the write is done (the port's options draw some completions for
    // the deferred path, so the two rounds end at different points) characters are on their
    // way both ways. Every one of those timers belongs to a line that is
    // gone a moment later; none may run into it, and the next port on the name starts clean.
    struct Round {
        uint64_t received;  // by the reader when the write is done; the rest is on the wire
        uint64_t answered;  // bytes the reader has started to send
    };
    for (const Round round : {Round{5, 5}, Round{6, 6}}) {
        ASSERT_EQ(k->Clients().Write(handle, Bytes(6, 0xC0)).status, STATUS_SUCCESS);
        EXPECT_EQ(port->Reader().Stats().host_bytes_received, round.received);
        EXPECT_EQ(port->Reader().Transmitter().BytesSent(), round.answered);
        EXPECT_LT(InQueue(), 6u);
        k->Clients().Close(handle);
        port.reset();
        k->Sleep(1000);
        SetUpPortAgain();
        const uint64_t t0 = k->NowNs();
        ASSERT_EQ(k->Clients().Write(handle, Bytes{0xC0}).status, STATUS_SUCCESS);
        EXPECT_EQ(ReadAll(1), (Bytes{0x23}));
        EXPECT_EQ(k->NowNs() - t0, 2 * kByte19200);
        EXPECT_EQ(port->Trace().Lines().size(), 2u);
    }
}

}  // namespace
}  // namespace lmscr::serial::test
