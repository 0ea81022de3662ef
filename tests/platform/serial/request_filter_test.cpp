// A filter in front of the port: what it is shown, a request it completes in the port's place,
// and the port without it again. Holding is exercised through the planted faults
// (serial_fault_test.cpp), which are such a filter.
#include "request_filter.h"
#include "serial_test_support.h"

namespace lmscr::serial::test {
namespace {

// Lets everything through but the device-control code it is told to refuse, and notes what it
// was shown.
class Recorder final : public RequestFilter {
public:
    FilterVerdict OnRequest(UCHAR major, ULONG code) override {
        seen.push_back({major, code});
        if (major == IRP_MJ_DEVICE_CONTROL && code == refuse)
            return {.action = FilterVerdict::Action::Complete, .status = STATUS_DEVICE_BUSY};
        return {};
    }
    std::vector<std::pair<UCHAR, ULONG>> seen;
    ULONG refuse = 0;
};

class Filter : public SerialFixture {
protected:
    void SetUp() override {
        SerialFixture::SetUp();
        line = CreateSimulatedLine(*k, driver, "COM1", LineFormat{}, PortOptions{});
        ASSERT_NE(line, nullptr);
        ASSERT_EQ(k->Pnp().Start(line->Device()), STATUS_SUCCESS);
        recorder = std::make_shared<Recorder>();
        EditSerialRequestFilter(line->Device(), [this](std::shared_ptr<RequestFilter>& slot) { slot = recorder; });
    }
    void DropPorts() override { line.reset(); }

    std::unique_ptr<SimulatedLine> line;
    std::shared_ptr<Recorder> recorder;
};

TEST_F(Filter, sees_the_owners_requests_and_may_complete_one_in_the_ports_place) {
    ASSERT_EQ(k->Clients().OpenDevice(line->Device(), handle), STATUS_SUCCESS);
    recorder->refuse = IOCTL_SERIAL_SET_BAUD_RATE;
    EXPECT_EQ(SetBaud(4800), STATUS_DEVICE_BUSY);
    EXPECT_EQ(SerialFormat(line->Device()).baud, 9600u);  // the port never saw it
    EXPECT_EQ(SetTimeouts(SERIAL_TIMEOUT_MAXULONG, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(k->Clients().Read(handle, 1).status, STATUS_SUCCESS);
    ASSERT_EQ(k->Clients().Close(handle), STATUS_SUCCESS);
    // The cleanup before the close went straight to the port.
    const std::vector<std::pair<UCHAR, ULONG>> expected = {
        {IRP_MJ_CREATE, 0},
        {IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE},
        {IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_TIMEOUTS},
        {IRP_MJ_READ, 0},
        {IRP_MJ_CLOSE, 0},
    };
    EXPECT_EQ(recorder->seen, expected);
    // Refused requests reached the port's count all the same.
    EXPECT_EQ(SerialRequestCount(line->Device(), IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE), 1u);
    EXPECT_EQ(SerialRequestCount(line->Device(), IRP_MJ_CLEANUP), 1u);
}

TEST_F(Filter, taken_away_it_sees_nothing_more) {
    recorder->refuse = IOCTL_SERIAL_SET_BAUD_RATE;
    EditSerialRequestFilter(line->Device(), [](std::shared_ptr<RequestFilter>& slot) { slot.reset(); });
    ASSERT_EQ(k->Clients().OpenDevice(line->Device(), handle), STATUS_SUCCESS);
    EXPECT_EQ(SetBaud(4800), STATUS_SUCCESS);
    EXPECT_EQ(SerialFormat(line->Device()).baud, 4800u);
    EXPECT_TRUE(recorder->seen.empty());
}

}  // namespace
}  // namespace lmscr::serial::test
