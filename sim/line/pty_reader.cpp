// The simulated reader behind a pseudo-terminal: the reader firmware on the master side, on a
// real-time clock with a thread of its own (the firmware is touched by that thread only).
//
// A pseudo-terminal has no baud rate: it hands bytes over as soon as they are written. The line
// is paced here instead, both ways, as a cable at the reader's host-line rate would be: the
// firmware sends one byte time apart (its own transmitter), and a byte the host wrote reaches
// the firmware one byte time after the previous one did, or after it was written if the line
// was idle. So a program on the slave sees the timing it would see on a real port.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "simulated_line.h"

namespace lmscr::serial {

namespace {

constexpr int kPollMs = 100;
constexpr size_t kReadChunk = 256;

// Real time for the threads that post work, line time for the work itself: in the clock thread
// NowNs() is the time the running timer was due, not the time it ran. A thread that is scheduled
// late (a loaded machine) then runs its overdue timers back to back, and the firmware still sees
// the bytes a byte time apart, as they were on the line, instead of a pause that no line had. The
// reader drops a command whose bytes pause for 20 ms: such a pause, made up by the scheduler,
// would cut a command in two.
class RealTimeClock : public sim::Clock {
public:
    RealTimeClock() : start_(std::chrono::steady_clock::now()), thread_([this] { Run(); }) {}
    ~RealTimeClock() override { Stop(); }

    uint64_t NowNs() const override {
        if (std::this_thread::get_id() == clockThread_.load()) return lineNs_;
        return WallNs();
    }
    TimerId After(uint64_t delayNs, std::function<void()> fn) override { return At(NowNs() + delayNs, std::move(fn)); }
    // At a time of this clock's: timers given increasing times run in that order, however late
    // the thread that sets them is scheduled.
    TimerId At(uint64_t dueNs, std::function<void()> fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        const TimerId id = ++next_;
        timers_.emplace(std::make_pair(dueNs, id), std::move(fn));
        cv_.notify_one();
        return id;
    }
    void Cancel(TimerId id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (it->first.second == id) {
                timers_.erase(it);
                return;
            }
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }
    // Runs fn in the clock thread and waits for it.
    void RunSync(std::function<void()> fn) {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        After(0, [&] {
            fn();
            std::lock_guard<std::mutex> lock(m);
            done = true;
            cv.notify_one();
        });
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return done; });
    }

private:
    uint64_t WallNs() const {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count());
    }

    void Run() {
        clockThread_.store(std::this_thread::get_id());
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            if (timers_.empty()) {
                cv_.wait(lock);
                continue;
            }
            const auto due = start_ + std::chrono::nanoseconds(timers_.begin()->first.first);
            if (std::chrono::steady_clock::now() < due) {
                cv_.wait_until(lock, due);
                continue;
            }
            auto fn = std::move(timers_.begin()->second);
            lineNs_ = std::max(lineNs_, timers_.begin()->first.first);
            timers_.erase(timers_.begin());
            lock.unlock();
            fn();
            lock.lock();
        }
    }

    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<std::pair<uint64_t, TimerId>, std::function<void()>> timers_;
    TimerId next_ = 0;
    bool stop_ = false;
    std::atomic<std::thread::id> clockThread_{};
    uint64_t lineNs_ = 0;  // the clock thread's own
    std::thread thread_;
};

class PtyReaderImpl : public PtyReader {
public:
    PtyReaderImpl(int master, int slave, std::string slavePath, sim::ReaderConfig config)
        : master_(master), slave_(slave), slavePath_(std::move(slavePath)) {
        byteNs_ = sim::HostByteTimeNs(config);
        firmware_ = std::make_unique<sim::ReaderFirmware>(
            clock_,
            [this](uint8_t b) {
                // The master's buffer holds kilobytes; a reply is a few bytes at a time.
                if (write(master_, &b, 1) != 1) dropped_++;
            },
            config);
        pipeOk_ = pipe(wake_) == 0;
        thread_ = std::thread([this] { ReadMaster(); });
    }
    ~PtyReaderImpl() override {
        stop_ = true;
        char c = 0;
        if (pipeOk_ && write(wake_[1], &c, 1) < 0) {
            // The thread also notices stop_ at its next poll time-out.
        }
        thread_.join();
        clock_.RunSync([this] { firmware_.reset(); });
        clock_.Stop();
        close(master_);
        close(slave_);
        if (pipeOk_) {
            close(wake_[0]);
            close(wake_[1]);
        }
    }

    const std::string& SlavePath() const override { return slavePath_; }
    void WithReader(std::function<void(sim::ReaderFirmware&)> fn) override {
        clock_.RunSync([&] { fn(*firmware_); });
    }

private:
    void ReadMaster() {
        uint8_t buffer[kReadChunk];
        while (!stop_.load()) {
            pollfd fds[2] = {{master_, POLLIN, 0}, {pipeOk_ ? wake_[0] : -1, POLLIN, 0}};
            int n = poll(fds, 2, kPollMs);
            if (n <= 0) continue;
            if (fds[1].revents) break;
            if (!(fds[0].revents & POLLIN)) continue;
            ssize_t got = read(master_, buffer, sizeof buffer);
            for (ssize_t i = 0; i < got; ++i) {
                // The byte's stop bit ends one byte time after the line became free for it.
                // An absolute time: a delay from a "now" read before this thread was preempted
                // would land the byte behind the next one.
                lineFreeNs_ = std::max(lineFreeNs_, clock_.NowNs()) + byteNs_;
                const uint8_t b = buffer[i];
                clock_.At(lineFreeNs_, [this, b] {
                    if (firmware_) firmware_->OnHostByte(b);
                });
            }
        }
    }

    RealTimeClock clock_;
    int master_;
    int slave_;
    std::string slavePath_;
    std::unique_ptr<sim::ReaderFirmware> firmware_;
    int wake_[2] = {-1, -1};
    bool pipeOk_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> dropped_{0};
    uint64_t byteNs_ = 0;      // one character at the reader's host-line rate; 0: unpaced
    uint64_t lineFreeNs_ = 0;  // when the host-to-reader line is free again (master thread only)
    std::thread thread_;
};

}  // namespace

std::unique_ptr<PtyReader> OpenPtyReader(sim::ReaderConfig config, std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<PtyReader> {
        if (error) *error = why;
        return nullptr;
    };
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) return fail(std::string("posix_openpt: ") + std::strerror(errno));
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        close(master);
        return fail("cannot unlock the pseudo-terminal");
    }
    // The slave is kept open (raw, so that no echo sends the host's bytes back to the reader)
    // for as long as the reader lives: a master whose slave is closed reads nothing but errors.
    int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0 || !MakeRawTty(slave) || !MakeRawTty(master)) {
        if (slave >= 0) close(slave);
        close(master);
        return fail("cannot configure the pseudo-terminal");
    }
    return std::make_unique<PtyReaderImpl>(master, slave, name, config);
}

}  // namespace lmscr::serial
