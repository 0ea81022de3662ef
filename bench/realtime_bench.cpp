// The real-time path's processor cost: short APDUs (SELECT MF) through the IFD handler, against
// the simulated reader on a pseudo-terminal, on operating-system threads and the real clock.
//
//   realtime_bench [--as-is] [apdus] [handler|pcscd [t0|t1]]     (1000 APDUs, both paths, both cards)
//
// For a T=0 card and a T=1 card, each measured over `apdus` SELECTs after a warm-up:
//   handler   the handler's entry points called in this process (IFDHCreateChannelByName,
//             IFDHPowerICC, IFDHTransmitToICC): this process's CPU time per APDU is the handler's,
//             the driver's and the kernel emulation's;
//   pcscd     a private pcscd with the handler (when pcscd is installed and none answers on its
//             socket), the APDUs sent by SCardTransmit: pcscd's CPU time per APDU, its own
//             included.
// In both the simulated reader runs in a child process of its own, whose CPU time per APDU is
// shown beside. Wall time per APDU is mostly the line's (19200 baud, paced as a cable would be).
//
// Beside the handler's blocks run as many of the machine's floor: the same round trips at the
// same pace without a driver (a tty thread wakes the caller, a child answers after the line's
// time), over a pseudo-terminal and over a Unix socket. On some virtual machines a
// pseudo-terminal's write costs several times more in some minutes than in others, a socket's
// not; the floors, measured in the same minutes, tell a loud machine from a costly handler.
// Where it may (as root), the run takes that away for its duration (quiet::Machine says how) and
// says so on its second line; --as-is measures the machine as it finds it.
//
// --earlier HANDLER.so has the same pcscd serve an earlier tree's handler library too, with a
// simulated reader of its own, its blocks in turn with ours: the two compared in the same minutes.
//
// It prints numbers and asserts nothing about time: it exits 1 only when an answer is wrong or
// a session cannot be set up.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
#ifdef LMSCR_BENCH_PCSC
#include <winscard.h>
#endif
}

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pty_helper.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
constexpr unsigned kWarmUp = 20;
constexpr unsigned kBlock = 50;
// The goals of the real-time path, in ms of CPU per APDU.
constexpr double kHandlerGoalMs = 0.2;
constexpr double kReaderGoalMs = 0.2;

uint64_t CpuNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

uint64_t WallNs() {
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

bool WriteAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool ReadAll(int fd, void* data, size_t n) {
    char* p = static_cast<char*>(data);
    while (n) {
        ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

// This machine as the benchmark finds it, or quietened for it.  On a virtual machine whose idle
// processors halt, waking one costs the waker many times the wake-up, and a pseudo-terminal
// wakes one on every write: its bytes go to the reader by an unbound kernel worker, which the
// scheduler puts on the idle processor.  Measured here, that multiplies a pseudo-terminal's cost
// (with or without a driver) for minutes at a time, pinning alone does not help, and pinning with
// the unbound workers confined to the same processor takes it away.  So, where it may, the run
// pins itself and everything it starts to its first processor and confines the unbound workers
// there too, and gives the workers their processors back when it ends, also on a fatal signal.
namespace quiet {

constexpr const char* kUnboundMask = "/sys/devices/virtual/workqueue/cpumask";
// For the signal handler: what to write back, and only in the process that changed it (the far
// ends are forked from it).
char savedMask[256];
pid_t owner = 0;

// Sets the unbound workers' processors to `text`; only calls a signal handler may make.
bool WriteMask(const char* text) {
    const int fd = open(kUnboundMask, O_WRONLY);
    if (fd < 0) return false;
    const size_t n = strlen(text);
    const bool written = write(fd, text, n) == ssize_t(n);
    const int error = errno;
    close(fd);
    errno = error;
    return written;
}

void Restore() {
    if (owner == 0 || getpid() != owner) return;
    (void)WriteMask(savedMask);
    owner = 0;
}

void RestoreAndDie(int sig) {
    Restore();
    signal(sig, SIG_DFL);
    raise(sig);
}

// The kernel's mask text of processor `cpu`: hexadecimal words of 32 processors, highest first.
std::string MaskOf(unsigned cpu) {
    char word[16];
    std::snprintf(word, sizeof word, "%x", 1u << (cpu % 32));
    std::string text = word;
    for (unsigned i = 0; i < cpu / 32; ++i) text += ",00000000";
    return text;
}

// Quietens the machine for the run; says how the run finds it.
std::string Machine(bool asIs) {
    if (asIs) return "as it is (--as-is)";
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return std::string("as it is: ") + std::strerror(errno);
    unsigned cpu = 0;
    while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &allowed)) ++cpu;
    std::string saved;
    if (!(std::ifstream(kUnboundMask) >> saved) || saved.size() >= sizeof savedMask)
        return std::string("as it is: the unbound kernel workers' processors are not to be read at ") + kUnboundMask;
    std::snprintf(savedMask, sizeof savedMask, "%s\n", saved.c_str());
    if (!WriteMask((MaskOf(cpu) + "\n").c_str()))
        return std::string("as it is: the unbound kernel workers cannot be confined (") + std::strerror(errno) +
               "); a pseudo-terminal's cost may be several times over in some minutes";
    owner = getpid();
    std::atexit(Restore);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE}) signal(sig, RestoreAndDie);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) {
        Restore();
        return std::string("as it is: not pinned (") + std::strerror(errno) + ")";
    }
    // A kill the run cannot catch leaves the mask as it was set: this line says what to write back.
    return "pinned to processor " + std::to_string(cpu) + " with the unbound kernel workers (" + kUnboundMask +
           " was " + saved + ", given back at the end); --as-is leaves it alone";
}

}  // namespace quiet

// The far end of the line in a child process: its threads' time is kept apart from the side
// measured. `start` runs in the child, says what the parent needs to know (the simulated
// reader's pseudo-terminal) and returns what must live as long as the child (null: it failed);
// then the child's main thread sleeps on the command pipe and answers its CPU time.
class FarEnd {
public:
    using Start = std::function<std::shared_ptr<void>(std::string* said)>;
    explicit FarEnd(const Start& start) {
        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(toChild[1]);
            close(fromChild[0]);
            std::_Exit(Child(start, toChild[0], fromChild[1]));
        }
        close(toChild[0]);
        close(fromChild[1]);
        to_ = toChild[1];
        from_ = fromChild[0];
        uint32_t n = 0;
        if (pid_ < 0 || !ReadAll(from_, &n, sizeof n) || n == 0 || n > 4096) return;
        said_.resize(n);
        if (!ReadAll(from_, said_.data(), n)) said_.clear();
    }
    ~FarEnd() {
        if (pid_ > 0) {
            const char quit = 'q';
            WriteAll(to_, &quit, 1);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        if (to_ >= 0) close(to_);
        if (from_ >= 0) close(from_);
    }
    // Empty when the child did not start.
    const std::string& Said() const { return said_; }
    uint64_t CpuNs() {
        const char ask = 'c';
        uint64_t ns = 0;
        if (!WriteAll(to_, &ask, 1) || !ReadAll(from_, &ns, sizeof ns)) return 0;
        return ns;
    }

private:
    static int Child(const Start& start, int in, int out) {
        std::string said;
        const std::shared_ptr<void> keep = start(&said);
        const uint32_t n = keep ? uint32_t(said.size()) : 0;
        if (!WriteAll(out, &n, sizeof n) || n == 0 || !WriteAll(out, said.data(), n)) return 1;
        char command = 0;
        while (ReadAll(in, &command, 1) && command == 'c') {
            const uint64_t ns = ::CpuNs(CLOCK_PROCESS_CPUTIME_ID);
            if (!WriteAll(out, &ns, sizeof ns)) break;
        }
        return 0;
    }

    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    std::string said_;
};

// The simulated reader with a card of `profile`; says its pseudo-terminal.
FarEnd::Start SimulatedReader(const std::string& profile) {
    return [profile](std::string* path) -> std::shared_ptr<void> {
        std::string error;
        std::shared_ptr<lmscr::ifdtest::PtyReader> reader = lmscr::ifdtest::OpenPtyReader(&error);
        if (!reader || !reader->Insert(profile)) {
            std::fprintf(stderr, "realtime_bench: no simulated reader: %s\n", error.c_str());
            return nullptr;
        }
        *path = reader->SlavePath();
        return reader;
    };
}

struct Result {
    bool ok = false;
    double wallMs = 0, sideMs = 0, readerMs = 0;  // per APDU, over the whole run
    // Per APDU, the median of the run's blocks of kBlock APDUs: a virtual machine shares its
    // processors with others, whose bursts can multiply the run's figure for a minute; the median
    // block is the cost when nobody else is busy.
    double sideMedianMs = 0, readerMedianMs = 0;
};

// `ns` spread over `n` APDUs, in ms an APDU.
double MsEach(uint64_t ns, unsigned n) { return double(ns) / 1e6 / n; }

// One block's CPU per APDU, in ms; the median of them.
double MedianMs(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A block of APDUs: the side's CPU, the far end's, the wall time; `done` of `n` answered right.
struct Block {
    unsigned n = 0, done = 0;
    uint64_t sideNs = 0, farNs = 0, wallNs = 0;
    bool Ok() const { return done == n; }
    double SideMs() const { return MsEach(sideNs, n); }
    double FarMs() const { return MsEach(farNs, n); }
};

// `n` transmits, each answering whether its answer was right, until one is not.
template <typename Transmit, typename SideCpu>
Block RunBlock(unsigned n, Transmit transmit, SideCpu sideCpuNs, FarEnd& far) {
    Block b;
    b.n = n;
    const uint64_t c0 = sideCpuNs(), f0 = far.CpuNs(), w0 = WallNs();
    while (b.done < n && transmit()) ++b.done;
    b.wallNs = WallNs() - w0;
    b.farNs = far.CpuNs() - f0;
    b.sideNs = sideCpuNs() - c0;
    return b;
}

// One side's blocks: their sums over the run, and per APDU the median of the whole blocks.
struct Series {
    uint64_t sideNs = 0, farNs = 0, wallNs = 0;
    unsigned apdus = 0;
    std::vector<double> side, far;
    void Add(const Block& b) {
        sideNs += b.sideNs, farNs += b.farNs, wallNs += b.wallNs, apdus += b.n;
        if (b.n != kBlock) return;
        side.push_back(b.SideMs());
        far.push_back(b.FarMs());
    }
    Result ToResult() const {
        if (apdus == 0) return {};
        return {true, MsEach(wallNs, apdus), MsEach(sideNs, apdus), MsEach(farNs, apdus), MedianMs(side), MedianMs(far)};
    }
};

// Another side's blocks, each run right after one of ours: its series, and per pair of
// neighbours what ours cost beyond it (both sides).
struct Beside {
    Series series;
    std::vector<double> side, far;
    void Add(const Block& ours, const Block& theirs) {
        series.Add(theirs);
        side.push_back(ours.SideMs() - theirs.SideMs());
        far.push_back(ours.FarMs() - theirs.FarMs());
    }
};

// The warm-up's transmits, each answering whether its answer was right: the wall time an APDU,
// in ms, or a negative number when an answer was wrong.
template <typename Transmit>
double WarmUpMs(Transmit transmit) {
    const uint64_t w0 = WallNs();
    for (unsigned i = 0; i < kWarmUp; ++i)
        if (!transmit()) return -1;
    return MsEach(WallNs() - w0, kWarmUp);
}

// 90 00, or T=0's 61 xx (the file's control information waits for a GET RESPONSE); the same
// answer every time.
bool AnswerOk(const Bytes& answer, const Bytes& first) {
    if (answer.size() != 2 || answer != first) return false;
    return (answer[0] == 0x90 && answer[1] == 0x00) || answer[0] == 0x61;
}

// ---- the machine's floor --------------------------------------------------------------------

constexpr size_t kFloorCommand = 5;  // a command's bytes; its answer has two

// A Unix socket's address in the abstract namespace; its length.
socklen_t AbstractAddress(const std::string& name, sockaddr_un* a) {
    *a = sockaddr_un{};
    a->sun_family = AF_UNIX;
    const size_t n = std::min(name.size(), sizeof a->sun_path - 1);
    std::memcpy(a->sun_path + 1, name.data(), n);
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + n);
}

// The far end of the floor: it answers every command with two bytes, `delay` after it came, as
// the reader answers after the line's time; over a pseudo-terminal's master (says the slave's
// path) or over a Unix socket (says its abstract name, '@' first).
FarEnd::Start FloorEcho(std::chrono::microseconds delay, bool socket) {
    return [delay, socket](std::string* said) -> std::shared_ptr<void> {
        int fd = -1;
        if (socket) {
            fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            const std::string name = "lmscr-rtbench-floor-" + std::to_string(getpid());
            sockaddr_un a;
            const socklen_t length = AbstractAddress(name, &a);
            if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), length) != 0 || listen(fd, 1) != 0) return nullptr;
            *said = "@" + name;
        } else {
            fd = posix_openpt(O_RDWR | O_NOCTTY);
            if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) return nullptr;
            *said = ptsname(fd);
        }
        // It ends when the floor closes its end; the child's exit takes it otherwise.
        std::thread([fd, delay, socket] {
            const int line = socket ? accept(fd, nullptr, nullptr) : fd;
            uint8_t command[64];
            size_t have = 0;  // bytes of a command come as they come: one answer a whole command
            for (;;) {
                pollfd p{line, POLLIN, 0};
                const ssize_t got = poll(&p, 1, -1) < 0 ? -1 : read(line, command, sizeof command);
                if (got <= 0) return;
                for (have += size_t(got); have >= kFloorCommand; have -= kFloorCommand) {
                    std::this_thread::sleep_for(delay);
                    const uint8_t answer[2] = {0x90, 0x00};
                    if (!WriteAll(line, answer, sizeof answer)) return;
                }
            }
        }).detach();
        return std::make_shared<int>(fd);
    };
}

// The caller's side of the floor: it writes a command and sleeps on a futex word; a tty thread
// sleeps in poll, reads what came and wakes it, the least a handler whose port has a thread of its
// own can do.
class Floor {
public:
    Floor(const std::string& path, unsigned roundTrips) : roundTrips_(roundTrips) {
        if (pipe(stop_) != 0) return;
        if (path.starts_with("@")) {
            fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a;
            const socklen_t length = AbstractAddress(path.substr(1), &a);
            if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&a), length) != 0) return;
        } else {
            fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
            termios t{};
            if (fd_ < 0 || tcgetattr(fd_, &t) != 0) return;
            cfmakeraw(&t);
            if (tcsetattr(fd_, TCSANOW, &t) != 0) return;
        }
        thread_ = std::thread([this] { TtyThread(); });
    }
    ~Floor() {
        if (thread_.joinable()) {
            WriteAll(stop_[1], "q", 1);
            thread_.join();
        }
        for (int fd : {fd_, stop_[0], stop_[1]})
            if (fd >= 0) close(fd);
    }
    bool Ok() const { return thread_.joinable(); }
    // One APDU: its round trips, each a 5-byte command and a 2-byte answer.
    bool Transmit() {
        static const uint8_t command[kFloorCommand] = {0x00, 0xA4, 0x00, 0x00, 0x02};
        for (unsigned i = 0; i < roundTrips_; ++i) {
            expected_ += 2;
            if (!WriteAll(fd_, command, sizeof command)) return false;
            for (uint32_t got; (got = received_.load(std::memory_order_acquire)) < expected_;) {
                if (ended_.load(std::memory_order_acquire)) return false;
                syscall(SYS_futex, reinterpret_cast<uint32_t*>(&received_), FUTEX_WAIT_PRIVATE, got, nullptr, nullptr, 0);
            }
        }
        return true;
    }

private:
    void TtyThread() {
        uint8_t buffer[64];
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 || p[1].revents) return;
            const ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            // The far end gone (end of file, or EIO on a pseudo-terminal): the caller is told.
            if (got <= 0) ended_.store(true, std::memory_order_release);
            received_.fetch_add(got > 0 ? uint32_t(got) : 0, std::memory_order_release);
            syscall(SYS_futex, reinterpret_cast<uint32_t*>(&received_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
            if (got <= 0) return;
        }
    }
    unsigned roundTrips_;
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    uint32_t expected_ = 0;
    std::atomic<uint32_t> received_{0};
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

// ---- the handler's entry points in this process -------------------------------------------

Bytes HandlerTransmit(DWORD protocol, RESPONSECODE* rv) {
    SCARD_IO_HEADER send{protocol, 8};
    SCARD_IO_HEADER recv{};
    UCHAR rx[300];
    DWORD rxLength = sizeof rx;
    *rv = IFDHTransmitToICC(0, send, const_cast<PUCHAR>(kSelectMf.data()), DWORD(kSelectMf.size()), rx, &rxLength, &recv);
    return Bytes(rx, rx + (*rv == IFD_SUCCESS ? rxLength : 0));
}

// A floor measured beside the handler: its far end, its blocks, and the handler's beyond them.
struct FloorRows {
    Result floor;                                 // floor.ok: measured
    double beyondSideMs = 0, beyondReaderMs = 0;  // the median of (handler block - floor block after it)
};

struct InProcessRows {
    Result handler;
    FloorRows pty, socket;
};

class FloorRun {
public:
    FloorRun(std::chrono::microseconds delay, bool socket, unsigned roundTrips)
        : far_(FloorEcho(delay, socket)) {
        if (!far_.Said().empty()) floor_ = std::make_unique<Floor>(far_.Said(), roundTrips);
        if (floor_ && !floor_->Ok()) floor_.reset();
    }
    // A block of `n` after the handler's block `b`.
    template <typename Cpu>
    void After(const Block& b, Cpu cpu) {
        if (!floor_) return;
        const Block f = RunBlock(b.n, [&] { return floor_->Transmit(); }, cpu, far_);
        beside_.Add(b, f);
        if (!f.Ok()) floor_.reset();
    }
    FloorRows Rows() const {
        if (!floor_) return {};
        return {beside_.series.ToResult(), MedianMs(beside_.side), MedianMs(beside_.far)};
    }

private:
    FarEnd far_;
    std::unique_ptr<Floor> floor_;
    Beside beside_;
};

// The handler's blocks, and after each a block of each floor with `roundTrips` round trips an
// APDU at the handler's pace.
InProcessRows InProcess(const std::string& profile, DWORD protocol, unsigned roundTrips, unsigned apdus) {
    InProcessRows rows;
    Result& r = rows.handler;
    FarEnd reader(SimulatedReader(profile));
    if (reader.Said().empty()) return rows;
    std::string path = reader.Said();
    if (IFDHCreateChannelByName(0, path.data()) != IFD_SUCCESS) {
        std::fprintf(stderr, "realtime_bench: the handler did not open %s\n", path.c_str());
        return rows;
    }
    bool present = false;
    for (int i = 0; i < 2000 && !present; ++i) {
        present = IFDHICCPresence(0) == IFD_ICC_PRESENT;
        if (!present) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    UCHAR atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    RESPONSECODE rv = IFD_COMMUNICATION_ERROR;
    if (present && IFDHPowerICC(0, IFD_POWER_UP, atr, &atrLength) == IFD_SUCCESS &&
        IFDHSetProtocolParameters(0, protocol == 0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1, 0, 0, 0, 0) == IFD_SUCCESS) {
        const Bytes first = HandlerTransmit(protocol, &rv);
        const double paceMs = rv == IFD_SUCCESS && AnswerOk(first, first)
                                  ? WarmUpMs([&] { return AnswerOk(HandlerTransmit(protocol, &rv), first); })
                                  : -1;
        bool ok = paceMs >= 0;
        // The reader's time a round trip, which the floor's far end takes before it answers.
        const std::chrono::microseconds delay(int64_t(paceMs * 1000 / roundTrips));
        FloorRun pty(delay, false, roundTrips), socket(delay, true, roundTrips);
        const auto cpu = [] { return CpuNs(CLOCK_PROCESS_CPUTIME_ID); };
        Series series;
        for (unsigned done = 0; ok && done < apdus; done += kBlock) {
            const unsigned n = std::min(kBlock, apdus - done);
            const Block b = RunBlock(n, [&] { return AnswerOk(HandlerTransmit(protocol, &rv), first); }, cpu, reader);
            ok = b.Ok();
            series.Add(b);
            if (!ok) break;
            pty.After(b, cpu);
            socket.After(b, cpu);
        }
        if (ok) {
            r = series.ToResult();
            rows.pty = pty.Rows();
            rows.socket = socket.Rows();
        }
        if (!r.ok) std::fprintf(stderr, "realtime_bench: a wrong answer from the %s card (code %ld)\n", profile.c_str(), rv);
    } else {
        std::fprintf(stderr, "realtime_bench: the %s card did not power up through the handler\n", profile.c_str());
    }
    IFDHCloseChannel(0);
    return rows;
}

// ---- through a private pcscd --------------------------------------------------------------

#ifdef LMSCR_BENCH_PCSC
// Debian's pcscd listens here whatever its environment says: one pcscd at a time.
constexpr const char* kPcscdSocket = "/run/pcscd/pcscd.comm";
constexpr const char* kReaderName = "lmscr bench reader";
constexpr const char* kEarlierReaderName = "lmscr bench earlier";

bool PcscdAnswering() {
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    if (s < 0) return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, kPcscdSocket, sizeof a.sun_path - 1);
    const bool answering = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return answering;
}

bool PcscdInstalled() {
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin", "/sbin"})
        if (access((std::string(dir) + "/pcscd").c_str(), X_OK) == 0) return true;
    return false;
}

// The run time of a process's live threads in ns, from /proc/PID/task/*/schedstat: exact, where
// /proc/PID/stat counts clock ticks (10 ms, too coarse for a block); pcscd's threads that serve a
// reader and a client live as long as they do.
uint64_t ThreadsCpuNs(pid_t pid) {
    uint64_t sum = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream in(task.path() / "schedstat");
        unsigned long long ns = 0;
        if (in >> ns) sum += ns;
    }
    return sum;
}

// A private pcscd with one reader, from the reader.conf text `conf`, its log in `dir`.
class Pcscd {
public:
    Pcscd(const std::string& dir, const std::string& conf) {
        const std::string confDir = dir + "/reader.conf.d";
        std::filesystem::create_directories(confDir);
        std::ofstream(confDir + "/reader") << conf;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = dir + "/pcscd.log";
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::string a0 = "pcscd", a1 = "-f", a2 = "-c";
        std::string a3 = confDir;
        char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
        if (posix_spawnp(&pid_, "pcscd", &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    // SIGTERM, then SIGKILL if it does not go within 10 s; by its id.
    ~Pcscd() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

Bytes PcscTransmit(SCARDHANDLE card, DWORD protocol, LONG* rv) {
    BYTE rx[300];
    DWORD rxLength = sizeof rx;
    *rv = SCardTransmit(card, protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1, kSelectMf.data(),
                        DWORD(kSelectMf.size()), nullptr, rx, &rxLength);
    return Bytes(rx, rx + (*rv == SCARD_S_SUCCESS ? rxLength : 0));
}

// ---- pcscd's own cost: the same APDUs to a card behind the virtual reader's IFD handler --------

// The virtual reader's handler (vsmartcard's vpcd) listens on a TCP port for its card, which
// speaks frames of a 2-byte big-endian length and the bytes: of length 1 a command (4: answer the
// ATR; 0, 1, 2: power off, on, reset, unanswered), else a command APDU to answer. Through it pcscd
// does for each APDU what it does for ours, and its handler next to nothing: pcscd's CPU per APDU
// is then pcscd's own, on this machine and at this hour.
constexpr const char* kPeerReaderName = "lmscr bench peer";
const Bytes kPeerAtr = {0x3B, 0x00};  // T=0, no interface bytes

std::string PeerHandlerPath() {
    for (const char* path : {"/usr/lib/pcsc/drivers/serial/libifdvpcd.so", "/usr/local/lib/pcsc/drivers/serial/libifdvpcd.so"})
        if (access(path, R_OK) == 0) return path;
    return "";
}

// The loopback address with TCP port `port`.
sockaddr_in Loopback(unsigned port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A TCP port nobody listens on now.
unsigned FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    socklen_t length = sizeof a;
    unsigned port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0) close(s);
    return port;
}

// The card: connects to the handler's port (again, until told to stop) and answers 90 00 to
// every APDU, `pace` after it came: pcscd does some of its work by the clock (it looks for the
// card every 400 ms), so its own share per APDU depends on how long an APDU takes.
class PeerCard {
public:
    PeerCard(unsigned port, std::chrono::microseconds pace) : port_(port), pace_(pace), thread_([this] { Run(); }) {}
    ~PeerCard() {
        stop_ = true;
        if (const int fd = fd_.load(); fd >= 0) shutdown(fd, SHUT_RDWR);
        thread_.join();
    }

private:
    void Run() {
        while (!stop_) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in a = Loopback(port_);
            if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
                if (fd >= 0) close(fd);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fd_ = fd;
            Serve(fd, pace_);
            fd_ = -1;
            close(fd);
        }
    }
    static void Serve(int fd, std::chrono::microseconds pace) {
        uint8_t frame[2 + 65535];
        for (;;) {
            uint8_t head[2];
            if (!ReadAll(fd, head, 2)) return;
            // The handler writes a frame's length and its bytes in two sends, the second held
            // back (Nagle) until the first is acknowledged: acknowledge at once, not 40 ms later.
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            const size_t length = size_t(head[0]) << 8 | head[1];
            if (length && !ReadAll(fd, frame, length)) return;
            Bytes answer;
            if (length == 1 && frame[0] == 4) {
                answer = kPeerAtr;
            } else if (length > 1) {
                std::this_thread::sleep_for(pace);
                answer = {0x90, 0x00};
            } else {
                continue;
            }
            uint8_t out[2 + 64] = {uint8_t(answer.size() >> 8), uint8_t(answer.size())};
            std::memcpy(out + 2, answer.data(), answer.size());
            if (!WriteAll(fd, out, 2 + answer.size())) return;
        }
    }
    unsigned port_;
    std::chrono::microseconds pace_;
    std::atomic<bool> stop_{false};
    std::atomic<int> fd_{-1};
    std::thread thread_;
};

// One reader of the private pcscd, connected, its answer known.
struct PcscSlot {
    std::string name;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    Bytes first;
    double paceMs = -1;  // wall time an APDU in the warm-up (negative: a wrong answer)
};

// Waits for a reader whose name starts with `prefix` to be listed with a card, connects to it
// and sends the first SELECT and the warm-up ones. False when that does not come to pass.
bool Connect(SCARDCONTEXT context, const char* prefix, DWORD protocol, PcscSlot* slot) {
    for (int i = 0; i < 600; ++i) {
        char names[4096];
        DWORD length = sizeof names;
        if (SCardListReaders(context, nullptr, names, &length) == SCARD_S_SUCCESS) {
            for (const char* n = names; *n; n += std::strlen(n) + 1) {
                if (std::strncmp(n, prefix, std::strlen(prefix)) != 0) continue;
                SCARD_READERSTATE state{};
                state.szReader = n;
                state.dwCurrentState = SCARD_STATE_UNAWARE;
                if (SCardGetStatusChange(context, 0, &state, 1) != SCARD_S_SUCCESS ||
                    !(state.dwEventState & SCARD_STATE_PRESENT))
                    break;
                slot->name = n;
                DWORD active = 0;
                LONG rv = SCardConnect(context, n, SCARD_SHARE_EXCLUSIVE, protocol, &slot->card, &active);
                if (rv != SCARD_S_SUCCESS || active != protocol) {
                    std::fprintf(stderr, "realtime_bench: SCardConnect to %s: %s\n", n, pcsc_stringify_error(rv));
                    return false;
                }
                slot->protocol = protocol;
                slot->first = PcscTransmit(slot->card, protocol, &rv);
                if (rv == SCARD_S_SUCCESS && AnswerOk(slot->first, slot->first))
                    slot->paceMs = WarmUpMs([&] { return AnswerOk(PcscTransmit(slot->card, protocol, &rv), slot->first); });
                const bool ok = slot->paceMs >= 0;
                if (!ok) std::fprintf(stderr, "realtime_bench: a wrong answer from %s: %s\n", n, pcsc_stringify_error(rv));
                return ok;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr, "realtime_bench: pcscd did not list %s with its card\n", prefix);
    return false;
}

// A block of APDUs to one slot; pcscd's CPU from its live threads.
Block PcscBlock(pid_t pcscd, PcscSlot& slot, FarEnd& far, unsigned n) {
    LONG rv = 0;
    const Block b = RunBlock(
        n, [&] { return AnswerOk(PcscTransmit(slot.card, slot.protocol, &rv), slot.first); },
        [pcscd] { return ThreadsCpuNs(pcscd); }, far);
    if (!b.Ok())
        std::fprintf(stderr, "realtime_bench: a wrong answer from %s, APDU %u of a block: %s\n", slot.name.c_str(),
                     b.done + 1, pcsc_stringify_error(rv));
    return b;
}

struct PcscdRows {
    Result handler, own;       // pcscd with the handler; pcscd with the virtual reader (own.ok: measured)
    double beyondMedianMs = 0;  // the median of (handler block - own block that followed it)
    // pcscd with an earlier tree's handler (earlier.ok: measured) and what it costs beyond pcscd's own
    Result earlier;
    double earlierBeyondMedianMs = 0;
    FloorRows pty, socket;     // beside them, in this process
};

// SELECT MF through one private pcscd with two readers: ours, the simulated reader with a
// `profile` card behind it, and (when its handler is installed) the virtual reader, whose card
// answers at our pace. Blocks of kBlock APDUs go to each in turn, so that both see the machine
// in the same state: the difference of two neighbouring blocks is what our handler adds to
// pcscd's own, whatever the neighbours on the machine do meanwhile.  With `earlier` (an earlier
// tree's handler library), a third reader, a simulated one of its own, is served by it, and its
// blocks go in turn too: the two handlers compared in the same pcscd and the same minutes.
PcscdRows ThroughPcscd(const std::string& profile, DWORD protocol, unsigned roundTrips, unsigned apdus,
                       const std::string& peer, const std::string& earlier) {
    PcscdRows rows;
    FarEnd reader(SimulatedReader(profile));
    if (reader.Said().empty()) return rows;
    const unsigned port = peer.empty() ? 0 : FreePort();
    std::string conf = std::string("FRIENDLYNAME \"") + kReaderName + "\"\nDEVICENAME " + reader.Said() +
                       "\nLIBPATH " LMSCR_HANDLER_PATH "\nCHANNELID 0\n";
    std::unique_ptr<FarEnd> earlierReader;
    if (!earlier.empty()) {
        earlierReader = std::make_unique<FarEnd>(SimulatedReader(profile));
        if (earlierReader->Said().empty()) return rows;
        conf += std::string("\nFRIENDLYNAME \"") + kEarlierReaderName + "\"\nDEVICENAME " + earlierReader->Said() +
                "\nLIBPATH " + earlier + "\nCHANNELID 0\n";
    }
    if (port) {
        char entry[512];
        std::snprintf(entry, sizeof entry, "\nFRIENDLYNAME \"%s\"\nDEVICENAME /dev/null:0x%X\nLIBPATH %s\nCHANNELID 0x%X\n",
                      kPeerReaderName, port, peer.c_str(), port);
        conf += entry;
    }
    char dirTemplate[] = "/tmp/lmscr-rtbench-XXXXXX";
    if (!mkdtemp(dirTemplate)) return rows;
    const std::string dir = dirTemplate;
    bool ok = false;
    {
        Pcscd pcscd(dir, conf);
        SCARDCONTEXT context = 0;
        for (int i = 0; i < 200 && !context && pcscd.Pid() > 0; ++i)
            if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
                context = 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        PcscSlot ours, theirs, before;
        ok = context && Connect(context, kReaderName, protocol, &ours) &&
             (!earlierReader || Connect(context, kEarlierReaderName, protocol, &before));
        // The pace of ours, from its warm-up: the line's time, which the card at the virtual
        // reader's end waits before it answers.
        const double paceMs = ours.paceMs;
        std::unique_ptr<FarEnd> card;
        if (ok && port) {
            const std::chrono::microseconds pace(int64_t(paceMs * 1000));
            card = std::make_unique<FarEnd>([port, pace](std::string* said) -> std::shared_ptr<void> {
                *said = "card";
                return std::make_shared<PeerCard>(port, pace);
            });
            if (card->Said().empty() || !Connect(context, kPeerReaderName, SCARD_PROTOCOL_T0, &theirs)) card.reset();
        }
        const std::chrono::microseconds delay(int64_t(paceMs * 1000 / roundTrips));
        FloorRun pty(delay, false, roundTrips), socket(delay, true, roundTrips);
        const auto cpu = [] { return CpuNs(CLOCK_PROCESS_CPUTIME_ID); };
        Series handler, earlierHandler;
        Beside own;
        std::vector<double> earlierBeyond;
        for (unsigned done = 0; ok && done < apdus; done += kBlock) {
            const unsigned n = std::min(kBlock, apdus - done);
            const Block b = PcscBlock(pcscd.Pid(), ours, reader, n);
            ok = b.Ok();
            handler.Add(b);
            if (!ok) break;
            pty.After(b, cpu);
            socket.After(b, cpu);
            Block e;
            if (earlierReader) {
                e = PcscBlock(pcscd.Pid(), before, *earlierReader, n);
                ok = e.Ok();
                earlierHandler.Add(e);
                if (!ok) break;
            }
            if (!card) continue;
            const Block o = PcscBlock(pcscd.Pid(), theirs, *card, n);
            ok = o.Ok();
            own.Add(b, o);
            if (earlierReader) earlierBeyond.push_back(e.SideMs() - o.SideMs());
        }
        if (ok) {
            rows.handler = handler.ToResult();
            rows.pty = pty.Rows();
            rows.socket = socket.Rows();
            if (card) {
                rows.own = own.series.ToResult();
                rows.beyondMedianMs = MedianMs(own.side);
            }
            if (earlierReader) {
                rows.earlier = earlierHandler.ToResult();
                rows.earlierBeyondMedianMs = MedianMs(earlierBeyond);
            }
        }
        if (ours.card) SCardDisconnect(ours.card, SCARD_LEAVE_CARD);
        if (theirs.card) SCardDisconnect(theirs.card, SCARD_LEAVE_CARD);
        if (before.card) SCardDisconnect(before.card, SCARD_LEAVE_CARD);
        if (context) SCardReleaseContext(context);
    }
    if (ok) std::filesystem::remove_all(dir);
    else std::fprintf(stderr, "realtime_bench: pcscd's log is in %s\n", dir.c_str());
    return rows;
}
#endif

struct CardRow {
    const char* profile;
    const char* card;
    DWORD transmitProtocol;  // as pcscd numbers it in a transmit: 0 T=0, 1 T=1
    // Reader round trips of a SELECT: T=0 sends the header, then the data after the card's
    // procedure byte; T=1 sends the block and reads the card's.
    unsigned roundTrips;
};
const CardRow kCards[] = {{"t0", "T=0", 0, 2}, {"t1", "T=1", 1, 1}};

void PrintRow(const char* path, const char* card, const Result& r, const char* goal) {
    std::printf("%-22s %-4s %9.2f %9.3f %9.3f %9.3f %9.3f   %s\n", path, card, r.wallMs, r.sideMs, r.sideMedianMs,
                r.readerMs, r.readerMedianMs, goal);
    std::fflush(stdout);
}

// The floors measured beside a path; with `handler`, what the handler costs beyond the pty's.
void PrintFloors(const char* card, const FloorRows& pty, const FloorRows& socket, const Result* handler) {
    const char* goal = "the same round trips and pace, no driver";
    if (pty.floor.ok) PrintRow("floor: pty", card, pty.floor, goal);
    if (pty.floor.ok && handler)
        std::printf("%-22s %-4s %9s %9.3f %9.3f %9.3f %9.3f   (the blocks beside each other)\n", "handler beyond pty",
                    card, "", handler->sideMs - pty.floor.sideMs, pty.beyondSideMs, handler->readerMs - pty.floor.readerMs,
                    pty.beyondReaderMs);
    if (socket.floor.ok) PrintRow("floor: Unix socket", card, socket.floor, goal);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    bool asIs = false;
    std::string earlier;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--as-is") == 0)
            asIs = true;
        else if (std::strcmp(argv[i], "--earlier") == 0 && i + 1 < argc)
            earlier = std::filesystem::absolute(argv[++i]).string();
        else
            args.emplace_back(argv[i]);
    }
    const unsigned apdus = args.size() > 0 ? unsigned(std::strtoul(args[0].c_str(), nullptr, 10)) : 1000;
    const std::string only = args.size() > 1 ? args[1] : "";
    const std::string onlyCard = args.size() > 2 ? args[2] : "";
    if (apdus == 0 || args.size() > 3 || (only != "" && only != "handler" && only != "pcscd") ||
        (onlyCard != "" && onlyCard != "t0" && onlyCard != "t1") || (!earlier.empty() && access(earlier.c_str(), R_OK) != 0)) {
        std::fprintf(stderr, "usage: realtime_bench [--as-is] [--earlier HANDLER.so] [apdus] [handler|pcscd [t0|t1]]\n");
        return 2;
    }
    // A pcscd gone under us must not end the benchmark on its socket.
    signal(SIGPIPE, SIG_IGN);
    std::printf("realtime_bench: %u SELECT MF a row, in real time; ms per APDU (CPU: the side's process time, over\n"
                "the run and the median of its blocks of %u)\n",
                apdus, kBlock);
    std::printf("machine: %s\n", quiet::Machine(asIs).c_str());
    std::printf("%-22s %-4s %9s %9s %9s %9s %9s   %s\n", "path", "card", "wall", "side run", "median", "reader run",
                "median", "goal (CPU)");
    char goalHandler[96], goalPcscd[128];
    std::snprintf(goalHandler, sizeof goalHandler, "handler <= %.1f, reader <= %.1f", kHandlerGoalMs, kReaderGoalMs);
    std::snprintf(goalPcscd, sizeof goalPcscd, "pcscd <= %.1f + pcscd's own (0.1-0.2), reader <= %.1f", kHandlerGoalMs,
                  kReaderGoalMs);
    bool ok = true;
    std::vector<CardRow> cards;
    for (const CardRow& c : kCards)
        if (onlyCard == "" || onlyCard == c.profile) cards.push_back(c);
    for (const auto& c : cards) {
        if (only == "pcscd") break;
        const InProcessRows rows = InProcess(c.profile, c.transmitProtocol, c.roundTrips, apdus);
        ok = ok && rows.handler.ok;
        PrintRow("handler (in-process)", c.card, rows.handler, goalHandler);
        PrintFloors(c.card, rows.pty, rows.socket, &rows.handler);
    }
#ifdef LMSCR_BENCH_PCSC
    if (only == "handler") {
    } else if (!PcscdInstalled()) {
        std::printf("%-22s skipped: pcscd is not installed\n", "pcscd + handler");
    } else if (PcscdAnswering()) {
        std::printf("%-22s skipped: another pcscd answers on %s\n", "pcscd + handler", kPcscdSocket);
    } else {
        const std::string peer = PeerHandlerPath();
        for (const auto& c : cards) {
            const PcscdRows rows = ThroughPcscd(c.profile, c.transmitProtocol == 0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1,
                                                c.roundTrips, apdus, peer, earlier);
            ok = ok && rows.handler.ok && (peer.empty() || rows.own.ok) && (earlier.empty() || rows.earlier.ok);
            PrintRow("pcscd + handler", c.card, rows.handler, goalPcscd);
            PrintFloors(c.card, rows.pty, rows.socket, nullptr);
            if (rows.earlier.ok) PrintRow("pcscd + earlier", c.card, rows.earlier, "the earlier tree's handler (--earlier), its blocks in turn");
            if (!rows.own.ok) continue;
            PrintRow("pcscd + vpcd (own)", c.card, rows.own, "pcscd's own at the same pace; reader: the card");
            const double beyond = rows.handler.sideMs - rows.own.sideMs;
            std::printf("%-22s %-4s %9s %9.3f %9.3f   handler <= %.1f (the blocks beside each other)\n",
                        "handler beyond pcscd", c.card, "", beyond, rows.beyondMedianMs, kHandlerGoalMs);
            if (!rows.earlier.ok) continue;
            const double earlierBeyond = rows.earlier.sideMs - rows.own.sideMs;
            std::printf("%-22s %-4s %9s %9.3f %9.3f\n", "earlier beyond pcscd", c.card, "", earlierBeyond,
                        rows.earlierBeyondMedianMs);
            std::printf("%-22s %-4s %9s %9.3f %9.3f %9.3f %9.3f   ours / earlier: beyond pcscd's own; reader side\n",
                        "ratio", c.card, "", beyond / earlierBeyond, rows.beyondMedianMs / rows.earlierBeyondMedianMs,
                        rows.handler.readerMs / rows.earlier.readerMs,
                        rows.handler.readerMedianMs / rows.earlier.readerMedianMs);
        }
        if (peer.empty())
            std::printf("%-22s skipped: the virtual reader's handler (vsmartcard-vpcd) is not installed\n",
                        "pcscd + vpcd (own)");
    }
#else
    if (only != "handler") std::printf("%-22s skipped: built without pcsc-lite's client library\n", "pcscd + handler");
#endif
    return ok ? 0 : 1;
}
