// The real-time path's processor cost: short APDUs (SELECT MF) through the IFD handler, against
// the simulated reader on a pseudo-terminal, on operating-system threads and the real clock.
//
//   realtime_bench [apdus] [handler|pcscd [t0|t1]]     (1000 APDUs, both paths, both cards)
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
// It prints numbers and asserts nothing about time: it exits 1 only when an answer is wrong or
// a session cannot be set up.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
#ifdef LMSCR_BENCH_PCSC
#include <winscard.h>
#endif
}

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

// The simulated reader with a card in a child process: its threads' time is kept apart from the
// handler's. The child's main thread sleeps on the command pipe and answers its CPU time.
class ReaderProcess {
public:
    explicit ReaderProcess(const std::string& profile) {
        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(toChild[1]);
            close(fromChild[0]);
            std::_Exit(Child(profile, toChild[0], fromChild[1]));
        }
        close(toChild[0]);
        close(fromChild[1]);
        to_ = toChild[1];
        from_ = fromChild[0];
        uint32_t n = 0;
        if (pid_ < 0 || !ReadAll(from_, &n, sizeof n) || n == 0 || n > 4096) return;
        path_.resize(n);
        if (!ReadAll(from_, path_.data(), n)) path_.clear();
    }
    ~ReaderProcess() {
        if (pid_ > 0) {
            const char quit = 'q';
            WriteAll(to_, &quit, 1);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        if (to_ >= 0) close(to_);
        if (from_ >= 0) close(from_);
    }
    const std::string& SlavePath() const { return path_; }
    pid_t Pid() const { return pid_; }
    uint64_t CpuNs() {
        const char ask = 'c';
        uint64_t ns = 0;
        if (!WriteAll(to_, &ask, 1) || !ReadAll(from_, &ns, sizeof ns)) return 0;
        return ns;
    }

private:
    static int Child(const std::string& profile, int in, int out) {
        std::string error;
        auto reader = lmscr::ifdtest::OpenPtyReader(&error);
        if (!reader || !reader->Insert(profile)) {
            std::fprintf(stderr, "realtime_bench: no simulated reader: %s\n", error.c_str());
            const uint32_t none = 0;
            WriteAll(out, &none, sizeof none);
            return 1;
        }
        const std::string path = reader->SlavePath();
        const uint32_t n = uint32_t(path.size());
        if (!WriteAll(out, &n, sizeof n) || !WriteAll(out, path.data(), n)) return 1;
        char command = 0;
        while (ReadAll(in, &command, 1) && command == 'c') {
            const uint64_t ns = ::CpuNs(CLOCK_PROCESS_CPUTIME_ID);
            if (!WriteAll(out, &ns, sizeof ns)) break;
        }
        return 0;
    }

    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    std::string path_;
};

struct Result {
    bool ok = false;
    double wallMs = 0, sideMs = 0, readerMs = 0;  // per APDU, over the whole run
    // Per APDU, the median of the run's blocks of kBlock APDUs: a virtual machine shares its
    // processors with others, whose bursts can multiply the run's figure for a minute; the median
    // block is the cost when nobody else is busy.
    double sideMedianMs = 0, readerMedianMs = 0;
};

// One block's CPU per APDU, in ms; the median of them.
double MedianMs(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs `apdus` transmits in blocks and measures them. `transmit` answers whether the answer was
// right; `sideCpuNs` reads the side's CPU time; `blockCpuNs` too, finer where the former counts in
// clock ticks.
template <typename Transmit, typename SideCpu, typename BlockCpu>
Result Measure(unsigned apdus, ReaderProcess& reader, Transmit transmit, SideCpu sideCpuNs, BlockCpu blockCpuNs) {
    Result r;
    const unsigned block = std::max(1u, std::min(kBlock, apdus));
    std::vector<double> side, rdr;
    bool ok = true;
    const uint64_t cpu0 = sideCpuNs(), reader0 = reader.CpuNs(), wall0 = WallNs();
    for (unsigned done = 0; ok && done < apdus;) {
        const unsigned n = std::min(block, apdus - done);
        const uint64_t b0 = blockCpuNs(), rb0 = reader.CpuNs();
        for (unsigned i = 0; ok && i < n; ++i) ok = transmit();
        const uint64_t b1 = blockCpuNs(), rb1 = reader.CpuNs();
        done += n;
        if (n == block) {
            side.push_back(double(b1 - b0) / 1e6 / n);
            rdr.push_back(double(rb1 - rb0) / 1e6 / n);
        }
    }
    const uint64_t wall1 = WallNs(), cpu1 = sideCpuNs(), reader1 = reader.CpuNs();
    r.ok = ok;
    r.wallMs = double(wall1 - wall0) / 1e6 / apdus;
    r.sideMs = double(cpu1 - cpu0) / 1e6 / apdus;
    r.readerMs = double(reader1 - reader0) / 1e6 / apdus;
    r.sideMedianMs = MedianMs(side);
    r.readerMedianMs = MedianMs(rdr);
    return r;
}

// 90 00, or T=0's 61 xx (the file's control information waits for a GET RESPONSE); the same
// answer every time.
bool AnswerOk(const Bytes& answer, const Bytes& first) {
    if (answer.size() != 2 || answer != first) return false;
    return (answer[0] == 0x90 && answer[1] == 0x00) || answer[0] == 0x61;
}

// ---- the handler's entry points in this process -------------------------------------------

Bytes HandlerTransmit(DWORD protocol, RESPONSECODE* rv) {
    SCARD_IO_HEADER send{protocol, 8};
    SCARD_IO_HEADER recv{};
    UCHAR rx[300];
    DWORD rxLength = sizeof rx;
    *rv = IFDHTransmitToICC(0, send, const_cast<PUCHAR>(kSelectMf.data()), DWORD(kSelectMf.size()), rx, &rxLength, &recv);
    return Bytes(rx, rx + (*rv == IFD_SUCCESS ? rxLength : 0));
}

Result InProcess(const std::string& profile, DWORD protocol, unsigned apdus) {
    Result r;
    ReaderProcess reader(profile);
    if (reader.SlavePath().empty()) return r;
    std::string path = reader.SlavePath();
    if (IFDHCreateChannelByName(0, path.data()) != IFD_SUCCESS) {
        std::fprintf(stderr, "realtime_bench: the handler did not open %s\n", path.c_str());
        return r;
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
        bool ok = rv == IFD_SUCCESS && AnswerOk(first, first);
        for (unsigned i = 0; ok && i < kWarmUp; ++i) ok = AnswerOk(HandlerTransmit(protocol, &rv), first);
        const auto cpu = [] { return CpuNs(CLOCK_PROCESS_CPUTIME_ID); };
        if (ok)
            r = Measure(
                apdus, reader, [&] { return AnswerOk(HandlerTransmit(protocol, &rv), first); }, cpu, cpu);
        if (!r.ok) std::fprintf(stderr, "realtime_bench: a wrong answer from the %s card (code %ld)\n", profile.c_str(), rv);
    } else {
        std::fprintf(stderr, "realtime_bench: the %s card did not power up through the handler\n", profile.c_str());
    }
    IFDHCloseChannel(0);
    return r;
}

// ---- through a private pcscd --------------------------------------------------------------

#ifdef LMSCR_BENCH_PCSC
// Debian's pcscd listens here whatever its environment says: one pcscd at a time.
constexpr const char* kPcscdSocket = "/run/pcscd/pcscd.comm";
constexpr const char* kReaderName = "lmscr bench reader";

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

// utime + stime of a process, its ended threads included, from /proc/PID/stat.
uint64_t ProcessCpuNs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos) return 0;
    // Fields from the third (state) on; utime and stime are the 14th and 15th.
    char state = 0;
    unsigned long long skip = 0, utime = 0, stime = 0;
    if (std::sscanf(text.c_str() + paren + 1, " %c %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &state,
                    &skip, &skip, &skip, &skip, &skip, &skip, &skip, &skip, &skip, &skip, &utime, &stime) != 13)
        return 0;
    return (utime + stime) * (1'000'000'000ull / uint64_t(sysconf(_SC_CLK_TCK)));
}

// The run time of a process's live threads in ns, from /proc/PID/task/*/schedstat: exact, where
// /proc/PID/stat counts clock ticks (10 ms, too coarse for a block), but blind to ended threads.
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

class Pcscd {
public:
    Pcscd(const std::string& dir, const std::string& device) {
        const std::string conf = dir + "/reader.conf.d";
        std::filesystem::create_directories(conf);
        std::ofstream(conf + "/lmscr") << "FRIENDLYNAME \"" << kReaderName << "\"\nDEVICENAME " << device
                                       << "\nLIBPATH " << LMSCR_HANDLER_PATH << "\nCHANNELID 0\n";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = dir + "/pcscd.log";
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::string a0 = "pcscd", a1 = "-f", a2 = "-c";
        std::string a3 = conf;
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

Result ThroughPcscd(const std::string& profile, DWORD protocol, unsigned apdus) {
    Result r;
    ReaderProcess reader(profile);
    if (reader.SlavePath().empty()) return r;
    char dirTemplate[] = "/tmp/lmscr-rtbench-XXXXXX";
    if (!mkdtemp(dirTemplate)) return r;
    const std::string dir = dirTemplate;
    {
        Pcscd pcscd(dir, reader.SlavePath());
        SCARDCONTEXT context = 0;
        bool up = false;
        // pcscd takes a moment to listen, and to list the reader once its handler opened it.
        for (int i = 0; i < 600 && !up && pcscd.Pid() > 0; ++i) {
            if (!context && SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
                context = 0;
            if (context) {
                SCARD_READERSTATE state{};
                std::string name;
                char names[1024];
                DWORD length = sizeof names;
                if (SCardListReaders(context, nullptr, names, &length) == SCARD_S_SUCCESS &&
                    std::strncmp(names, kReaderName, std::strlen(kReaderName)) == 0) {
                    name = names;
                    state.szReader = name.c_str();
                    state.dwCurrentState = SCARD_STATE_UNAWARE;
                    up = SCardGetStatusChange(context, 0, &state, 1) == SCARD_S_SUCCESS &&
                         (state.dwEventState & SCARD_STATE_PRESENT);
                    if (up) {
                        SCARDHANDLE card = 0;
                        DWORD active = 0;
                        LONG rv = SCardConnect(context, name.c_str(), SCARD_SHARE_EXCLUSIVE, protocol, &card, &active);
                        if (rv != SCARD_S_SUCCESS || active != protocol) {
                            std::fprintf(stderr, "realtime_bench: SCardConnect: %s\n", pcsc_stringify_error(rv));
                            break;
                        }
                        const Bytes first = PcscTransmit(card, protocol, &rv);
                        bool ok = rv == SCARD_S_SUCCESS && AnswerOk(first, first);
                        for (unsigned j = 0; ok && j < kWarmUp; ++j) ok = AnswerOk(PcscTransmit(card, protocol, &rv), first);
                        const pid_t pid = pcscd.Pid();
                        if (ok)
                            r = Measure(
                                apdus, reader, [&] { return AnswerOk(PcscTransmit(card, protocol, &rv), first); },
                                [pid] { return ProcessCpuNs(pid); }, [pid] { return ThreadsCpuNs(pid); });
                        if (!r.ok)
                            std::fprintf(stderr, "realtime_bench: a wrong answer from the %s card through pcscd: %s\n",
                                         profile.c_str(), pcsc_stringify_error(rv));
                        SCardDisconnect(card, SCARD_LEAVE_CARD);
                        break;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!up) std::fprintf(stderr, "realtime_bench: pcscd did not list the reader with its card (log in %s)\n", dir.c_str());
        if (context) SCardReleaseContext(context);
    }
    if (r.ok) std::filesystem::remove_all(dir);
    return r;
}
#endif

struct CardRow {
    const char* profile;
    const char* card;
    DWORD transmitProtocol;  // as pcscd numbers it in a transmit: 0 T=0, 1 T=1
};
const CardRow kCards[] = {{"t0", "T=0", 0}, {"t1", "T=1", 1}};

void PrintRow(const char* path, const char* card, const Result& r, const char* goal) {
    std::printf("%-22s %-4s %9.2f %9.3f %9.3f %9.3f %9.3f   %s\n", path, card, r.wallMs, r.sideMs, r.sideMedianMs,
                r.readerMs, r.readerMedianMs, goal);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned apdus = argc > 1 ? unsigned(std::strtoul(argv[1], nullptr, 10)) : 1000;
    const std::string only = argc > 2 ? argv[2] : "";
    const std::string onlyCard = argc > 3 ? argv[3] : "";
    if (apdus == 0 || (only != "" && only != "handler" && only != "pcscd") ||
        (onlyCard != "" && onlyCard != "t0" && onlyCard != "t1")) {
        std::fprintf(stderr, "usage: realtime_bench [apdus] [handler|pcscd [t0|t1]]\n");
        return 2;
    }
    // A pcscd gone under us must not end the benchmark on its socket.
    signal(SIGPIPE, SIG_IGN);
    std::printf("realtime_bench: %u SELECT MF a row, in real time; ms per APDU (CPU: the side's process time, over\n"
                "the run and the median of its blocks of %u)\n",
                apdus, kBlock);
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
        const Result r = InProcess(c.profile, c.transmitProtocol, apdus);
        ok = ok && r.ok;
        PrintRow("handler (in-process)", c.card, r, goalHandler);
    }
#ifdef LMSCR_BENCH_PCSC
    if (only == "handler") {
    } else if (!PcscdInstalled()) {
        std::printf("%-22s skipped: pcscd is not installed\n", "pcscd + handler");
    } else if (PcscdAnswering()) {
        std::printf("%-22s skipped: another pcscd answers on %s\n", "pcscd + handler", kPcscdSocket);
    } else {
        for (const auto& c : cards) {
            const Result r = ThroughPcscd(c.profile, c.transmitProtocol == 0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1, apdus);
            ok = ok && r.ok;
            PrintRow("pcscd + handler", c.card, r, goalPcscd);
        }
    }
#else
    if (only != "handler") std::printf("%-22s skipped: built without pcsc-lite's client library\n", "pcscd + handler");
#endif
    return ok ? 0 : 1;
}
