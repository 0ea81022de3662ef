// A kernel with the serial driver loaded, helpers that speak to a port the way an application
// (the kernel's Client) and the reader driver (IRPs of its own) do, and a teardown that checks
// nothing was left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "kernel.h"
#include "sim/line/simulated_line.h"

namespace lmscr::serial::test {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kByte19200 = 520'834;  // one 8N1 character at 19200 baud, rounded up

template <typename T>
std::span<const uint8_t> AsBytes(const T& value) {
    return {reinterpret_cast<const uint8_t*>(&value), sizeof value};
}

inline ULONG Ulong(const kernel::IoResult& r) {
    ULONG v = 0;
    std::memcpy(&v, r.output.data(), sizeof v);
    return v;
}

class SerialFixture : public ::testing::Test {
protected:
    void SetUp() override { Boot(Options()); }
    void TearDown() override { Teardown(); }

    virtual kernel::Options Options() { return kernel::Options{}; }

    void Boot(kernel::Options options) {
        k = std::make_unique<kernel::Kernel>(options);
        driver = LoadSerialDriver(*k);
        ASSERT_NE(driver, nullptr);
    }
    void Teardown() {
        if (!k) return;
        if (handle.IsOpen()) k->Clients().Close(handle);
        DropPorts();
        kernel::LeakReport report = k->Shutdown();
        EXPECT_TRUE(report.empty()) << "left behind:\n" << report.ToString();
        if (HasFailure()) std::fprintf(stderr, "seed of this run: %llu\n", (unsigned long long)k->Seed());
        k.reset();
    }
    virtual void DropPorts() {}

    // Starts the port (as the Plug and Play manager would) and opens it.
    void Open(PDEVICE_OBJECT port) {
        ASSERT_EQ(k->Pnp().Start(port), STATUS_SUCCESS);
        ASSERT_EQ(k->Clients().OpenDevice(port, handle), STATUS_SUCCESS);
    }

    NTSTATUS Ioctl(ULONG code, std::span<const uint8_t> in = {}, ULONG outLength = 0,
                   kernel::IoResult* result = nullptr) {
        kernel::IoResult r = k->Clients().IoControl(handle, code, in, outLength);
        if (result) *result = r;
        return r.status;
    }
    NTSTATUS SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier = 0,
                         ULONG writeConstant = 0) {
        SERIAL_TIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
        return Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(t));
    }
    NTSTATUS SetWaitMask(ULONG mask) { return Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(mask)); }
    NTSTATUS SetBaud(ULONG baud) {
        SERIAL_BAUD_RATE b{baud};
        return Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(b));
    }
    NTSTATUS SetLine(UCHAR stop, UCHAR parity, UCHAR bits) {
        SERIAL_LINE_CONTROL lc{stop, parity, bits};
        return Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(lc));
    }
    // The reader's start-up line: 19200 8N1, interval 50 ms, total constant 100 ms.
    void ConfigureLikeTheReader() {
        ASSERT_EQ(SetBaud(19200), STATUS_SUCCESS);
        ASSERT_EQ(SetLine(STOP_BIT_1, NO_PARITY, 8), STATUS_SUCCESS);
        ASSERT_EQ(SetTimeouts(50, 0, 100, 0, 1000), STATUS_SUCCESS);
    }
    ULONG InQueue() {
        kernel::IoResult r;
        EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS), &r), STATUS_SUCCESS);
        SERIAL_STATUS st;
        std::memcpy(&st, r.output.data(), sizeof st);
        return st.AmountInInQueue;
    }

    // The reader driver's way: a buffered device-control request turned into a plain read or
    // write for the port's stack location, sent with IoCallDriver and waited for on its event.
    NTSTATUS DriverWrite(PDEVICE_OBJECT port, const Bytes& data) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        Bytes copy = data;
        PIRP irp = IoBuildDeviceIoControlRequest(0x318000, port, copy.data(), static_cast<ULONG>(copy.size()),
                                                 nullptr, 0, FALSE, &event, &iosb);
        if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_WRITE;
        next->Parameters.Write.Length = static_cast<ULONG>(copy.size());
        next->Parameters.Write.ByteOffset.QuadPart = 0;
        NTSTATUS status = IoCallDriver(port, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        return status;
    }
    NTSTATUS DriverRead(PDEVICE_OBJECT port, uint8_t* buffer, ULONG n, ULONG_PTR* got = nullptr) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(0x314000, port, nullptr, 0, buffer, n, FALSE, &event, &iosb);
        if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = n;
        NTSTATUS status = IoCallDriver(port, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        if (got) *got = iosb.Information;
        return status;
    }

    std::unique_ptr<kernel::Kernel> k;
    PDRIVER_OBJECT driver = nullptr;
    kernel::Handle handle;
};

}  // namespace lmscr::serial::test
