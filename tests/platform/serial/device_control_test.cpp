// The port's device-control table: every code once, and the buffer sizes it gives each code
// checked before the handler sees the request.
#include <set>

#include "device_control.h"
#include "serial_test_support.h"

namespace lmscr::serial::test {
namespace {

using internal::DeviceControlTable;
using internal::FindDeviceControl;
using internal::IoctlEntry;

class DeviceControl : public SerialFixture {
protected:
    void SetUp() override {
        SerialFixture::SetUp();
        line = CreateSimulatedLine(*k, driver, "COM1", LineFormat{}, PortOptions{});
        ASSERT_NE(line, nullptr);
        Open(line->Device());
    }
    void DropPorts() override { line.reset(); }

    std::unique_ptr<SimulatedLine> line;
};

// What each code answers when it brings the least buffers the table allows, its input all zero
// bytes: a size check off by one would turn these into STATUS_BUFFER_TOO_SMALL.
struct LeastBuffers {
    ULONG code;
    NTSTATUS status;
};
constexpr LeastBuffers kLeast[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, STATUS_INVALID_PARAMETER},     // 0 baud
    {IOCTL_SERIAL_GET_BAUD_RATE, STATUS_SUCCESS},
    {IOCTL_SERIAL_SET_LINE_CONTROL, STATUS_INVALID_PARAMETER},  // 0-bit characters
    {IOCTL_SERIAL_GET_LINE_CONTROL, STATUS_SUCCESS},
    {IOCTL_SERIAL_SET_CHARS, STATUS_SUCCESS},
    {IOCTL_SERIAL_GET_CHARS, STATUS_SUCCESS},
    {IOCTL_SERIAL_SET_TIMEOUTS, STATUS_SUCCESS},
    {IOCTL_SERIAL_GET_TIMEOUTS, STATUS_SUCCESS},
    {IOCTL_SERIAL_SET_HANDFLOW, STATUS_SUCCESS},
    {IOCTL_SERIAL_GET_HANDFLOW, STATUS_SUCCESS},
    {IOCTL_SERIAL_SET_BREAK_ON, STATUS_SUCCESS},
    {IOCTL_SERIAL_SET_BREAK_OFF, STATUS_SUCCESS},
    {IOCTL_SERIAL_SET_DTR, STATUS_SUCCESS},
    {IOCTL_SERIAL_CLR_DTR, STATUS_SUCCESS},
    {IOCTL_SERIAL_SET_RTS, STATUS_SUCCESS},
    {IOCTL_SERIAL_CLR_RTS, STATUS_SUCCESS},
    {IOCTL_SERIAL_GET_DTRRTS, STATUS_SUCCESS},
    {IOCTL_SERIAL_GET_MODEMSTATUS, STATUS_SUCCESS},
    {IOCTL_SERIAL_GET_COMMSTATUS, STATUS_SUCCESS},
    {IOCTL_SERIAL_GET_WAIT_MASK, STATUS_SUCCESS},
    {IOCTL_SERIAL_SET_WAIT_MASK, STATUS_SUCCESS},
    {IOCTL_SERIAL_WAIT_ON_MASK, STATUS_INVALID_PARAMETER},      // the wait mask is 0
    {IOCTL_SERIAL_PURGE, STATUS_INVALID_PARAMETER},             // nothing to purge
};

TEST(DeviceControlTable, has_each_documented_code_once_and_nothing_else) {
    std::set<ULONG> codes;
    for (const IoctlEntry& e : DeviceControlTable()) {
        EXPECT_TRUE(codes.insert(e.code).second) << e.name << " twice";
        EXPECT_EQ(FindDeviceControl(e.code), &e) << e.name;
    }
    std::set<ULONG> expected;
    for (const LeastBuffers& c : kLeast) expected.insert(c.code);
    EXPECT_EQ(codes, expected);
    EXPECT_EQ(FindDeviceControl(0x1B0FFC), nullptr);
    EXPECT_STREQ(FindDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK)->name, "WAIT_ON_MASK");
}

TEST_F(DeviceControl, one_byte_short_is_too_small_and_the_least_buffers_reach_the_handler) {
    for (const LeastBuffers& c : kLeast) {
        const IoctlEntry* e = FindDeviceControl(c.code);
        ASSERT_NE(e, nullptr);
        const Bytes zeroes(e->inputBytes, 0);
        if (e->inputBytes > 0) {
            kernel::IoResult r = k->Clients().IoControl(handle, c.code, Bytes(e->inputBytes - 1, 0), e->outputBytes);
            EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << e->name << " input";
            EXPECT_EQ(r.information, 0u) << e->name;
        }
        if (e->outputBytes > 0) {
            kernel::IoResult r = k->Clients().IoControl(handle, c.code, zeroes, e->outputBytes - 1);
            EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << e->name << " output";
            EXPECT_EQ(r.information, 0u) << e->name;
        }
        kernel::IoResult r = k->Clients().IoControl(handle, c.code, zeroes, e->outputBytes);
        EXPECT_EQ(r.status, c.status) << e->name;
        EXPECT_EQ(r.information, NT_SUCCESS(c.status) ? e->outputBytes : 0u) << e->name;
    }
    // Nothing refused for its size or its values changed the line.
    EXPECT_EQ(SerialFormat(line->Device()), (LineFormat{9600, 8, NO_PARITY, STOP_BIT_1}));
}

}  // namespace
}  // namespace lmscr::serial::test
