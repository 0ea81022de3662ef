// The POSIX tty back end.
//
// PosixPort: a platform thread waits on the descriptor (poll, with a pipe that wakes it for
// shutdown) and hands what it reads to the port's input queue, then runs the driver's receive
// work that this queues itself (Kernel::ServeDevice); writes go to the descriptor
// from the deferred-procedure thread, non-blocking, retried every millisecond while the tty's
// output buffer is full. The port's baud rate and line control go to termios; a
// pseudo-terminal accepts them and ignores them.
//
// A serial port's DSR has no event a poll sees, so the thread samples it every 100 ms. A
// pseudo-terminal or a device without modem lines refuses the question (ENOTTY, EINVAL): asked
// once, it is not asked again, and the thread sleeps on the descriptor alone.
//
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "port.h"

namespace lmscr::serial {

namespace {

constexpr int kPollMs = 100;  // the reader thread also samples DSR this often
constexpr size_t kReadChunk = 256;

speed_t SpeedOf(uint32_t baud) {
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
    }
}

class PosixPortImpl : public PosixPort, public Backend {
public:
    PosixPortImpl(kernel::Kernel& kernel, std::string path, int fd) : kernel_(kernel), path_(std::move(path)), fd_(fd) {}

    ~PosixPortImpl() override {
        // Stop the hardware first, so that nothing reaches the port while it goes.
        StopThread();
        if (port_) {
            FenceTransmit();
            DeleteSerialDevice(port_);
        }
        if (fd_ >= 0) close(fd_);
    }

    bool Attach(PDRIVER_OBJECT driver, const std::string& name, const PortOptions& options) {
        if (pipe(wake_) != 0) return false;
        device_ = CreateSerialDevice(kernel_, driver, name, options, this, &port_);
        if (!device_) return false;
        int lines = 0;
        modemLines_ = ioctl(fd_, TIOCMGET, &lines) == 0 || (errno != ENOTTY && errno != EINVAL);
        PortSetDsr(port_, ReadDsr());
        thread_ = kernel_.Spawn(name + " tty reader", [this] { ReaderThread(); });
        threadRunning_ = true;
        return true;
    }

    PDEVICE_OBJECT Device() const override { return device_; }
    const std::string& Path() const override { return path_; }

    void OnFormat(const LineFormat& format) override {
        termios t;
        if (tcgetattr(fd_, &t) != 0) return;
        if (speed_t s = SpeedOf(format.baud); s != B0) {
            cfsetispeed(&t, s);
            cfsetospeed(&t, s);
        }
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
        t.c_cflag |= format.dataBits == 5 ? CS5 : format.dataBits == 6 ? CS6 : format.dataBits == 7 ? CS7 : CS8;
        if (format.parity == ODD_PARITY || format.parity == EVEN_PARITY) t.c_cflag |= PARENB;
        if (format.parity == ODD_PARITY) t.c_cflag |= PARODD;
        if (format.stopBits != STOP_BIT_1) t.c_cflag |= CSTOPB;
        tcsetattr(fd_, TCSANOW, &t);
    }

    void OnTransmitReady() override {
        kernel_.At(0, [this, alive = alive_] {
            if (*alive) Transmit();
        });
    }

    void OnPurge(uint32_t mask) override {
        if ((mask & SERIAL_PURGE_RXCLEAR) && (mask & SERIAL_PURGE_TXCLEAR)) tcflush(fd_, TCIOFLUSH);
        else if (mask & SERIAL_PURGE_RXCLEAR) tcflush(fd_, TCIFLUSH);
        else if (mask & SERIAL_PURGE_TXCLEAR) tcflush(fd_, TCOFLUSH);
    }

    void OnPortGone() override {
        // Driver unload (pnp thread, DPC thread still running): stop reading and writing.
        StopThread();
        FenceTransmit();
        port_ = nullptr;
    }

private:
    bool ReadDsr() {
        int lines = 0;
        // A pseudo-terminal has no modem lines: it counts as a powered far end.
        if (!modemLines_ || ioctl(fd_, TIOCMGET, &lines) != 0) return true;
        return (lines & TIOCM_DSR) != 0;
    }

    void ReaderThread() {
        uint8_t buffer[kReadChunk];
        std::vector<uint32_t> noErrors(kReadChunk, 0);
        bool readFailed = false;  // the far side hung up under a read
        // What is there now, into the port; also while the driver's receive work, which the
        // kernel runs on this thread, waits for more.
        const std::function<void()> receive = [&] {
            const ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got > 0) PortReceive(port_, buffer, noErrors.data(), static_cast<size_t>(got));
            if (got < 0 && errno == EIO) readFailed = true;
        };
        bool dsr = ReadDsr();
        while (!stop_.load()) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            int n = poll(fds, 2, modemLines_ ? kPollMs : -1);
            if (n < 0 && errno != EINTR) break;
            if (fds[1].revents) break;
            const short events = n > 0 ? fds[0].revents : 0;
            bool hungUp = (events & (POLLHUP | POLLERR)) != 0;
            if (events & POLLIN) {
                kernel_.ServeDevice(fd_, receive);
                hungUp = hungUp || readFailed;
                readFailed = false;
            }
            if (hungUp) {
                // The far side hung up: a pseudo-terminal's master closed, a USB adapter pulled.
                // Such a device has no modem lines to say so; a cable with nothing at its far
                // end drops DSR, and so is it reported. Wait for it to come back without spinning.
                poll(&fds[1], 1, kPollMs);
            }
            const bool now = ReadDsr() && !hungUp;
            if (now != dsr) {
                dsr = now;
                PortSetDsr(port_, dsr);
            }
        }
    }

    // Tops the bytes waiting for the tty up to a chunk.
    void TakeTxBytes() {
        const size_t have = pending_.size();
        if (have >= kReadChunk) return;
        pending_.resize(kReadChunk);
        pending_.resize(have + PortTakeTxBytes(port_, pending_.data() + have, kReadChunk - have));
    }

    // In the DPC thread.
    void Transmit() {
        if (!port_) return;
        TakeTxBytes();
        while (!pending_.empty()) {
            ssize_t n = write(fd_, pending_.data(), pending_.size());
            if (n <= 0) break;
            pending_.erase(pending_.begin(), pending_.begin() + n);
            TakeTxBytes();
        }
        if (!pending_.empty()) {
            // The tty's output buffer is full: try again shortly.
            kernel_.At(1'000'000, [this, alive = alive_] {
                if (*alive) Transmit();
            });
            return;
        }
        PortTransmitterEmpty(port_);
    }

    void StopThread() {
        if (!threadRunning_) return;
        stop_ = true;
        char c = 0;
        if (write(wake_[1], &c, 1) < 0) {
            // The thread also notices stop_ at its next poll time-out.
        }
        kernel_.Join(thread_);
        threadRunning_ = false;
        close(wake_[0]);
        close(wake_[1]);
    }

    void FenceTransmit() {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        kernel_.At(0, [&] {
            *alive_ = false;
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        });
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }

    kernel::Kernel& kernel_;
    std::string path_;
    int fd_;
    int wake_[2] = {-1, -1};
    bool modemLines_ = true;  // false once TIOCMGET said the device has none
    Port* port_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    kernel::Kernel::ThreadId thread_ = 0;
    bool threadRunning_ = false;
    std::atomic<bool> stop_{false};
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::vector<uint8_t> pending_;
};


}  // namespace

bool MakeRawTty(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

std::unique_ptr<PosixPort> CreatePosixPort(kernel::Kernel& kernel, PDRIVER_OBJECT driver, const std::string& portName,
                                           const std::string& path, const PortOptions& options, std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<PosixPort> {
        if (error) *error = path + ": " + why;
        return nullptr;
    };
    if (kernel.GetOptions().mode != kernel::TimeMode::Real) return fail("a tty needs the kernel in real time");
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return fail(std::strerror(errno));
    if (!isatty(fd) || !MakeRawTty(fd)) {
        close(fd);
        return fail("not a terminal");
    }
    auto port = std::make_unique<PosixPortImpl>(kernel, path, fd);
    if (!port->Attach(driver, portName, options)) return fail("cannot create the port " + portName);
    return port;
}

}  // namespace lmscr::serial
