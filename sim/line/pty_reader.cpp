// The simulated reader behind a pseudo-terminal: the reader firmware on the master side, on a
// real-time clock with a thread of its own that also reads the master (the firmware is touched by
// that thread only).
//
// A pseudo-terminal has no baud rate: it hands bytes over as soon as they are written. The line
// is paced here instead, both ways, as a cable at the reader's host-line rate would be: the
// firmware sends one byte time apart (its own transmitter), and a byte the host wrote reaches
// the firmware one byte time after the previous one did, or after it was written if the line
// was idle. So a program on the slave sees the timing it would see on a real port: no byte of
// the reader's before its line time, and a burst a few bytes at a time, up to kHoldNs late (and
// what a loaded machine adds), as a USB serial adapter hands them over.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "simulated_line.h"

namespace lmscr::serial {

namespace {

constexpr size_t kReadChunk = 256;
// How late the clock thread may run a timer so that it runs it with others: it sleeps until the
// first is this much overdue, not once a byte time (0.52 ms at 19200 baud). The firmware sees
// line time all the same. Every wake-up costs both sides processor time.
constexpr uint64_t kSlackNs = 2'000'000;
// How long a byte for the host may be held back so that the bytes after it go in the same write:
// one wake-up of the host's reader instead of one a byte, as a USB serial adapter hands a burst
// over when its latency timer (16 ms by default) runs out. A T=1 block's answer, the reply to
// its send-data command and the time-out behind it then go in one write.
constexpr uint64_t kHoldNs = 16'000'000;
// How far ahead of the real time the timers may run while the host is silent: the most a byte
// it sends then is taken late.
constexpr uint64_t kRunAheadNs = 8'000'000;
// Real time for the threads that post work, line time for the work itself: in the clock thread
// NowNs() is the time the running timer was due, not the time it ran. A thread that is scheduled
// late (a loaded machine) then runs its overdue timers back to back, and the firmware still sees
// the bytes a byte time apart, as they were on the line, instead of a pause that no line had. The
// reader drops a command whose bytes pause for 20 ms: such a pause, made up by the scheduler,
// would cut a command in two.
//
// Timers run early too, up to the time `ahead` gives, when nothing that could still come (a host
// byte, whose line time is later than that of every byte read so far) can change what they do:
// the firmware's work for a command is then done in the wake-up that read it, not over several.
// What they send to the host is held until its line time.
//
// The clock thread also reads the host's bytes: it sleeps in one poll until the next timer is due
// (kSlackNs late) or the master has input, so a byte from the host and the timer that hands it to
// the firmware cost no other thread a wake-up. Another thread that sets a timer due before the
// clock thread means to wake wakes it through a pipe. A timer that thread sets while the clock
// thread has run ahead runs at the time that thread has reached (a card pulled a few
// milliseconds later).
class RealTimeClock : public sim::Clock {
public:
    RealTimeClock() : start_(std::chrono::steady_clock::now()) {
        pipeOk_ = pipe2(wake_, O_NONBLOCK | O_CLOEXEC) == 0;
    }
    ~RealTimeClock() override {
        Stop();
        if (pipeOk_) {
            close(wake_[0]);
            close(wake_[1]);
        }
    }

    // In the clock thread: `readable` runs when `fd` has input; `ahead` says, given the real time,
    // up to which time timers may run before they are due; `idle` runs after the timers that
    // could run have run, before it sleeps, with the time the next timer is due (UINT64_MAX:
    // none), and returns the real time it wants to run again at (UINT64_MAX: none).
    using Idle = std::function<uint64_t(uint64_t nextDueNs)>;
    void Start(int fd, std::function<void()> readable, std::function<uint64_t(uint64_t wallNs)> ahead, Idle idle) {
        fd_ = fd;
        readable_ = std::move(readable);
        ahead_ = std::move(ahead);
        idle_ = std::move(idle);
        thread_ = std::thread([this] { Run(); });
    }

    uint64_t NowNs() const override {
        if (OnClockThread()) return lineNs_;
        return WallNs();
    }
    uint64_t WallNs() const {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count());
    }
    bool OnClockThread() const { return std::this_thread::get_id() == clockThread_.load(std::memory_order_relaxed); }
    TimerId After(uint64_t delayNs, std::function<void()> fn) override {
        const TimerId id = NewId();
        return Add(Timer{NowNs() + delayNs, id, Call{&RealTimeClock::RunFunction, this, id}}, std::move(fn));
    }
    TimerId AfterCall(uint64_t delayNs, Call call) override { return At(NowNs() + delayNs, call); }
    // At a time of this clock's: timers given increasing times run in that order, however late
    // the thread that sets them is scheduled.
    TimerId At(uint64_t dueNs, Call call) { return Add(Timer{dueNs, NewId(), call}, {}); }
    void Cancel(TimerId id) override {
        if (OnClockThread() && CancelOwn(id)) return;
        // Set by another thread and not yet taken in (or run already).
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = inbox_.begin(); it != inbox_.end(); ++it)
            if (it->timer.id == id) {
                inbox_.erase(it);
                return;
            }
        if (!OnClockThread()) {
            cancels_.push_back(id);
            inboxPending_.store(true, std::memory_order_release);
        }
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_.load() || !thread_.joinable()) return;
            stop_.store(true);
        }
        Poke();
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
    struct Timer {
        uint64_t due;
        TimerId id;
        Call call;
        // Timers due at the same time run in the order they were set.
        bool Before(const Timer& other) const { return due != other.due ? due < other.due : id < other.id; }
    };
    struct Posted {
        Timer timer;
        std::function<void()> fn;  // empty: the timer's call is all
    };

    TimerId NewId() { return next_.fetch_add(1, std::memory_order_relaxed) + 1; }

    // The clock thread keeps its timers to itself, without a lock and without the heap once its
    // vectors have their room: the firmware sets several for every character. Other threads
    // post theirs, which it takes in before it looks at its own.
    TimerId Add(const Timer& timer, std::function<void()> fn) {
        if (OnClockThread()) {
            if (fn) functions_.emplace_back(timer.id, std::move(fn));
            Insert(timer);
            return timer.id;
        }
        bool poke = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inbox_.push_back(Posted{timer, std::move(fn)});
            inboxPending_.store(true, std::memory_order_release);
            if (timer.due + kSlackNs < sleepUntilNs_.load(std::memory_order_relaxed)) {
                sleepUntilNs_.store(timer.due + kSlackNs, std::memory_order_relaxed);
                poke = true;
            }
        }
        if (poke) Poke();
        return timer.id;
    }

    // Latest first: the next to run is at the back, and a new timer, mostly due after those that
    // wait already but before a far time-out, is put in place from there.
    void Insert(const Timer& timer) {
        size_t at = timers_.size();
        while (at > 0 && timers_[at - 1].Before(timer)) --at;
        timers_.insert(timers_.begin() + static_cast<std::ptrdiff_t>(at), timer);
    }

    bool CancelOwn(TimerId id) {
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (it->id == id) {
                if (it->call.fn == &RealTimeClock::RunFunction) TakeFunction(id);
                timers_.erase(it);
                return true;
            }
        return false;
    }

    std::function<void()> TakeFunction(TimerId id) {
        for (auto it = functions_.begin(); it != functions_.end(); ++it)
            if (it->first == id) {
                std::function<void()> fn = std::move(it->second);
                functions_.erase(it);
                return fn;
            }
        return {};
    }
    static void RunFunction(void* self, uint64_t id) {
        if (std::function<void()> fn = static_cast<RealTimeClock*>(self)->TakeFunction(id)) fn();
    }

    void TakeInbox() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            taken_.swap(inbox_);
            cancelled_.swap(cancels_);
            inboxPending_.store(false, std::memory_order_relaxed);
        }
        for (Posted& p : taken_) {
            if (p.fn) functions_.emplace_back(p.timer.id, std::move(p.fn));
            Insert(p.timer);
        }
        for (TimerId id : cancelled_) CancelOwn(id);
        taken_.clear();
        cancelled_.clear();
    }

    // Runs the timers that are due, or may run ahead, in their order.
    void RunTimers() {
        const uint64_t wall = WallNs();
        while (!timers_.empty()) {
            const Timer timer = timers_.back();
            if (timer.due > wall && (!ahead_ || timer.due > ahead_(wall))) return;
            timers_.pop_back();
            lineNs_ = std::max(lineNs_, timer.due);
            timer.call();
        }
    }

    void Poke() {
        const char c = 0;
        if (pipeOk_ && write(wake_[1], &c, 1) < 0) {
            // A full pipe wakes the thread already.
        }
    }

    void Run() {
        clockThread_.store(std::this_thread::get_id());
#ifdef __linux__
        pthread_setname_np(pthread_self(), "pty reader");
#endif
        bool watching = fd_ >= 0;
        while (!stop_.load()) {
            if (inboxPending_.load(std::memory_order_acquire)) TakeInbox();
            RunTimers();
            const uint64_t nextDue = timers_.empty() ? UINT64_MAX : timers_.back().due;
            uint64_t wakeNs = nextDue == UINT64_MAX ? nextDue : nextDue + kSlackNs;
            if (idle_) wakeNs = std::min(wakeNs, idle_(nextDue));
            {
                // A timer posted meanwhile is taken in first; one posted from now on sees when
                // this thread wakes, and pokes it if that is too late.
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_.load() || !inbox_.empty() || !cancels_.empty()) continue;
                sleepUntilNs_.store(wakeNs, std::memory_order_relaxed);
            }
            timespec timeout{};
            const bool bounded = wakeNs != UINT64_MAX;
            if (bounded) {
                const uint64_t now = WallNs();
                const uint64_t wait = wakeNs > now ? wakeNs - now : 0;
                timeout.tv_sec = static_cast<time_t>(wait / 1'000'000'000u);
                timeout.tv_nsec = static_cast<long>(wait % 1'000'000'000u);
            }
            pollfd fds[2] = {{pipeOk_ ? wake_[0] : -1, POLLIN, 0}, {watching ? fd_ : -1, POLLIN, 0}};
            const int n = ppoll(fds, 2, bounded ? &timeout : nullptr, nullptr);
            sleepUntilNs_.store(0, std::memory_order_relaxed);  // awake: it takes the posted timers in before it sleeps again
            if (n > 0 && fds[0].revents) {
                char drain[64];
                while (read(wake_[0], drain, sizeof drain) > 0) {
                }
            }
            if (n > 0 && (fds[1].revents & POLLIN)) {
                readable_();
            } else if (n > 0 && fds[1].revents) {
                // The master errs without input (its slave is kept open, so it should not):
                // stop watching it rather than spin on it.
                watching = false;
            }
        }
    }

    std::chrono::steady_clock::time_point start_;
    std::atomic<TimerId> next_{0};
    std::atomic<bool> stop_{false};
    std::atomic<std::thread::id> clockThread_{};

    // The clock thread's own.
    std::vector<Timer> timers_;
    std::vector<std::pair<TimerId, std::function<void()>>> functions_;  // of timers set with one
    std::vector<Posted> taken_;
    std::vector<TimerId> cancelled_;
    uint64_t lineNs_ = 0;

    // Posted by other threads, under the mutex.
    std::mutex mutex_;
    std::vector<Posted> inbox_;
    std::vector<TimerId> cancels_;
    std::atomic<bool> inboxPending_{false};
    // What the clock thread sleeps until (UINT64_MAX: no timer, 0: awake); set under the mutex,
    // cleared without it once awake.
    std::atomic<uint64_t> sleepUntilNs_{0};

    int fd_ = -1;
    std::function<void()> readable_;
    std::function<uint64_t(uint64_t)> ahead_;
    Idle idle_;
    int wake_[2] = {-1, -1};
    bool pipeOk_ = false;
    std::thread thread_;
};

class PtyReaderImpl : public PtyReader {
public:
    PtyReaderImpl(int master, int slave, std::string slavePath, sim::ReaderConfig config)
        : master_(master), slave_(slave), slavePath_(std::move(slavePath)) {
        byteNs_ = sim::HostByteTimeNs(config);
        firmware_ = std::make_unique<sim::ReaderFirmware>(
            clock_,
            // In the clock thread: gathered with its line time, and written once that has come.
            [this](uint8_t b) { out_.push_back(Out{b, clock_.NowNs()}); },
            config);
        clock_.Start(
            master_, [this] { ReadMaster(); }, [this](uint64_t wallNs) { return AheadNs(wallNs); },
            [this](uint64_t nextDueNs) { return Flush(nextDueNs); });
    }
    ~PtyReaderImpl() override {
        clock_.RunSync([this] { firmware_.reset(); });
        clock_.Stop();
        close(master_);
        close(slave_);
    }

    const std::string& SlavePath() const override { return slavePath_; }
    void WithReader(std::function<void(sim::ReaderFirmware&)> fn) override {
        clock_.RunSync([&] { fn(*firmware_); });
    }

private:
    struct Out {
        uint8_t byte;
        uint64_t lineNs;
    };

    // In the clock thread.
    void ReadMaster() {
        uint8_t buffer[kReadChunk];
        const ssize_t got = read(master_, buffer, sizeof buffer);
        const uint64_t wall = got > 0 ? clock_.WallNs() : 0;
        for (ssize_t i = 0; i < got; ++i) {
            // The byte's stop bit ends one byte time after the line became free for it.
            // An absolute time: the bytes of one read follow each other on the line. It may lie
            // before the time the firmware has run ahead to, while a send-data command is on the
            // card line: the byte then waits in the FIFO all the same, and goes in at once.
            // Giving it that later time instead would keep the next command of a long block out
            // of the FIFO when the command in front ends, and pause the card line in the block.
            lineFreeNs_ = std::max(lineFreeNs_, wall) + byteNs_;
            ++hostBytesDue_;
            clock_.At(lineFreeNs_, sim::CallOf<&PtyReaderImpl::TakeHostByte>(this, buffer[i]));
        }
    }

    // In the clock thread: a host byte's stop bit has ended.
    void TakeHostByte(uint64_t b) {
        --hostBytesDue_;
        if (firmware_) firmware_->OnHostByte(static_cast<uint8_t>(b));
    }

    // In the clock thread: how far the timers may run ahead. Up to the last host byte read, whose
    // successors come after it on the line; while the firmware does not listen to the host; and,
    // once every byte read is in the firmware, while the host is silent, up to kRunAheadNs ahead
    // of the real time: a byte the host sends meanwhile is then taken up to that much late, as a
    // loaded host may send it anyway. So the reply to a command and the card's answer behind it
    // are worked out in one wake-up, and written in one more.
    uint64_t AheadNs(uint64_t wallNs) const {
        if (!firmware_) return lineFreeNs_;
        uint64_t until = std::max(lineFreeNs_, firmware_->HostIndependentUntilNs());
        if (hostBytesDue_ == 0)
            until = std::max(until, std::min(wallNs + kRunAheadNs, firmware_->HostSilentUntilNs()));
        return until;
    }

    // In the clock thread: writes the bytes of a burst once their line time has come, all in one
    // write. A burst is the first byte and those behind it up to kHoldNs after it; a timer due
    // before then that could not run early (a time-out) may still add to it, and is waited for.
    // Returns when to look again.
    uint64_t Flush(uint64_t nextDueNs) {
        for (;;) {
            if (out_.empty()) return UINT64_MAX;
            const uint64_t now = clock_.WallNs();
            const uint64_t holdUntil = out_.front().lineNs + kHoldNs;
            uint64_t end = out_.front().lineNs;
            for (size_t i = 1; i < out_.size() && out_[i].lineNs <= holdUntil; ++i) end = out_[i].lineNs;
            const uint64_t writeAt = nextDueNs < holdUntil ? std::min(std::max(end, nextDueNs + kSlackNs), holdUntil) : end;
            if (now < writeAt) return writeAt;
            WriteReady(now);
        }
    }

    // Writes every byte whose line time has come.
    void WriteReady(uint64_t now) {
        size_t ready = 0;
        while (ready < out_.size() && out_[ready].lineNs <= now) ++ready;
        uint8_t bytes[kReadChunk];
        for (size_t done = 0; done < ready;) {
            const size_t n = std::min(ready - done, sizeof bytes);
            for (size_t i = 0; i < n; ++i) bytes[i] = out_[done + i].byte;
            // The master's buffer holds kilobytes; a reply is a few bytes at a time.
            const ssize_t w = write(master_, bytes, n);
            if (w < static_cast<ssize_t>(n)) dropped_ += n - static_cast<size_t>(w > 0 ? w : 0);
            done += n;
        }
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(ready));
    }

    RealTimeClock clock_;
    int master_;
    int slave_;
    std::string slavePath_;
    std::unique_ptr<sim::ReaderFirmware> firmware_;
    std::vector<Out> out_;  // the firmware's bytes not yet written (clock thread only)
    uint64_t dropped_ = 0;
    uint64_t byteNs_ = 0;      // one character at the reader's host-line rate; 0: unpaced
    uint64_t lineFreeNs_ = 0;  // when the host-to-reader line is free again (clock thread only)
    size_t hostBytesDue_ = 0;  // host bytes read whose timers have not run (clock thread only)
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
