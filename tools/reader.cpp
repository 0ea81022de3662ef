// lmscr reader: the simulated reader firmware and a card behind a pseudo-terminal, in real time,
// as a stand-in for a reader on a serial port: anything that opens the pty's slave (lmscr power,
// send, script and watch with --port, an IFD handler, a terminal program) talks to the reader.
//
// The slave is linked at a path of the user's choice, so that scripts can name a fixed port. A lock
// file beside the link (PATH.lock, flock for as long as the link is ours) keeps a second reader off
// a link that a running one serves; a link left by a run that is gone is replaced.
// Card moves come from --insert-after / --remove-after, or from standard input, one a line:
//   insert [NAME]   a card into the slot (NAME: see lmscr cards; default the --card one)
//   remove          the card out of the slot
//   unplug          the pseudo-terminal closed, as a cable pulled with its adapter: a program on
//                   the port sees it hang up; the reader is gone until the run ends
//   quit            the end, as SIGINT or SIGTERM
// The end of standard input only ends the commands: the reader runs on until a signal or quit,
// so that `lmscr reader --link L </dev/null &` serves a script for as long as it needs.
#include "lmscr.h"

#include "sim/line/simulated_line.h"
#include "sim/cards/profiles.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sstream>

namespace lmscr::tool {

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void OnStopSignal(int) { stopRequested.store(true); }

// A link made by an earlier run leads to a pty slave that may be gone; anything else at the
// path is somebody's file.
bool IsPtyLink(const std::string& path, std::string* target) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    char buffer[256];
    const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0) return false;
    *target = std::string(buffer, static_cast<size_t>(n));
    return target->rfind("/dev/pts/", 0) == 0;
}

// The lock of a link: PATH.lock, held with flock and naming its holder's process id. The holder
// removes the file before it lets the lock go; a run that took the lock of a file removed meanwhile
// (its inode no longer at the path) takes it again, so that two runs never hold two different
// files of one path.
class LinkLock {
public:
    ~LinkLock() { Release(); }

    // 1 held; 0 another run holds it (*holder its process id, or empty); -1 an error in *error.
    int Take(const std::string& link, std::string* holder, std::string* error) {
        path_ = link + ".lock";
        for (int attempt = 0; attempt < 8; ++attempt) {
            fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
            // Another user's lock file in /tmp: it can still be locked and read.
            if (fd_ < 0 && errno == EACCES) fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd_ < 0) {
                *error = "cannot open '" + path_ + "': " + std::strerror(errno);
                return -1;
            }
            if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
                const int cause = errno;
                if (cause == EWOULDBLOCK) *holder = ReadHolder();
                else *error = "cannot lock '" + path_ + "': " + std::strerror(cause);
                close(fd_);
                fd_ = -1;
                return cause == EWOULDBLOCK ? 0 : -1;
            }
            struct stat held, named;
            if (fstat(fd_, &held) == 0 && stat(path_.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
                held.st_ino == named.st_ino) {
                const std::string pid = std::to_string(getpid()) + "\n";
                // A file opened read-only (another user's, left behind) keeps its text: a second run
                // then names no holder, or a wrong one, and refuses all the same.
                const bool named = ftruncate(fd_, 0) == 0 && pwrite(fd_, pid.data(), pid.size(), 0) > 0;
                static_cast<void>(named);
                return 1;
            }
            close(fd_);
            fd_ = -1;
        }
        *error = "'" + path_ + "' keeps being replaced";
        return -1;
    }

    void Release() {
        if (fd_ < 0) return;
        unlink(path_.c_str());
        close(fd_);
        fd_ = -1;
    }

private:
    std::string ReadHolder() const {
        char buffer[32];
        const ssize_t n = pread(fd_, buffer, sizeof buffer - 1, 0);
        std::string text(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text.find_first_not_of("0123456789") == std::string::npos ? text : std::string();
    }

    std::string path_;
    int fd_ = -1;
};

class ReaderRun {
public:
    ReaderRun(const GlobalOptions& options, const ReaderOptions& reader, std::FILE* out)
        : options_(options), reader_(reader), out_(out), start_(std::chrono::steady_clock::now()) {}

    ~ReaderRun() { Unlink(); }

    int Run(int in, std::FILE* err) {
        std::string error, holder;
        const int locked = lock_.Take(reader_.link, &holder, &error);
        if (locked == 0) {
            std::fprintf(err, "lmscr reader: '%s' is the link of a running lmscr reader (pid %s): not taken over\n",
                         reader_.link.c_str(), holder.empty() ? "unknown" : holder.c_str());
            return 1;
        }
        if (locked < 0) {
            std::fprintf(err, "lmscr reader: %s\n", error.c_str());
            return 1;
        }
        pty_ = serial::OpenPtyReader(sim::ReaderConfig{}, &error);
        if (!pty_) {
            std::fprintf(err, "lmscr reader: no pseudo-terminal: %s\n", error.c_str());
            return 1;
        }
        std::string target;
        struct stat st;
        if (IsPtyLink(reader_.link, &target)) {
            unlink(reader_.link.c_str());
        } else if (lstat(reader_.link.c_str(), &st) == 0) {
            std::fprintf(err, "lmscr reader: '%s' exists and is no link to a pty: not replaced\n", reader_.link.c_str());
            return 1;
        }
        if (symlink(pty_->SlavePath().c_str(), reader_.link.c_str()) != 0) {
            std::fprintf(err, "lmscr reader: cannot link '%s': %s\n", reader_.link.c_str(), std::strerror(errno));
            return 1;
        }
        linked_ = true;
        std::fprintf(out_, "lmscr reader: simulated reader on %s, linked at %s, real time\n",
                     pty_->SlavePath().c_str(), reader_.link.c_str());
        // A card due later starts outside the slot.
        if (reader_.card && reader_.insertAfterS < 0) Insert(options_.card);
        else Say("no card in the slot");

        std::string pending;
        bool inputOpen = in >= 0;
        bool inserted = false, removed = false;
        while (!stopRequested.load() && !quit_) {
            pollfd fd{inputOpen ? in : -1, POLLIN, 0};
            // 50 ms: how late a timed card move or a reader event may be printed.
            if (poll(&fd, 1, 50) > 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[256];
                const ssize_t n = read(in, buffer, sizeof buffer);
                if (n <= 0) {
                    inputOpen = false;
                } else {
                    pending.append(buffer, static_cast<size_t>(n));
                    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                        Command(pending.substr(0, end));
                        pending.erase(0, end + 1);
                    }
                }
            }
            const double s = Seconds();
            if (!inserted && reader_.insertAfterS >= 0 && s >= reader_.insertAfterS) {
                inserted = true;
                Insert(options_.card);
            }
            if (!removed && reader_.removeAfterS >= 0 && s >= reader_.removeAfterS) {
                removed = true;
                Remove();
            }
            Observe();
        }
        Observe();
        Say(std::string(quit_ ? "quit" : "stopped by a signal") + ": " + std::to_string(commands_) +
            " reader commands from the host, " + std::to_string(timeouts_) + " time-outs and " +
            std::to_string(errors_) + " reader errors reported to it");
        return 0;
    }

private:
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    void Say(const std::string& text) {
        std::fprintf(out_, "%10.3f ms  %s\n", Seconds() * 1e3, text.c_str());
        std::fflush(out_);
    }

    void Command(std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::string verb, name, extra;
        words >> verb >> name >> extra;
        if (verb.empty() || verb[0] == '#') return;
        if (verb == "insert" && extra.empty()) {
            Insert(name.empty() ? options_.card : name);
        } else if (verb == "remove" && name.empty()) {
            Remove();
        } else if (verb == "unplug" && name.empty()) {
            Unplug();
        } else if (verb == "quit" && name.empty()) {
            quit_ = true;
        } else {
            Say("unknown command '" + line + "' (insert [NAME], remove, unplug, quit)");
        }
    }

    void Unplug() {
        if (!pty_) {
            Say("unplug: already unplugged");
            return;
        }
        Unlink();
        pty_.reset();
        Say("unplugged: the pseudo-terminal is closed");
    }

    void Unlink() {
        std::string target;
        if (linked_ && IsPtyLink(reader_.link, &target) && pty_ && target == pty_->SlavePath())
            unlink(reader_.link.c_str());
        linked_ = false;
        // The link is gone (unplugged or the end): another reader may have the path.
        lock_.Release();
    }

    void Insert(const std::string& name) {
        if (!pty_) {
            Say("insert: the reader is unplugged");
            return;
        }
        auto card = sim::cards::MakeCardProfile(name, options_.seed);
        if (!card) {
            Say("no card called '" + name + "' (see lmscr cards)");
            return;
        }
        bool in = false;
        pty_->WithReader([&](sim::ReaderFirmware& reader) { in = reader.InsertCard(std::move(card)); });
        Say(in ? "card '" + name + "' in, ATR " + AtrText(name) : std::string("insert: the slot is taken"));
    }

    void Remove() {
        if (!pty_) {
            Say("remove: the reader is unplugged");
            return;
        }
        bool out = false;
        pty_->WithReader([&](sim::ReaderFirmware& reader) { out = reader.RemoveCard() != nullptr; });
        Say(out ? "card out" : "remove: the slot was empty");
    }

    // What the host made the reader do since the last look: the card's power, its resets and the
    // reader errors. The time-outs are counted, not shown one by one: the reader closes every
    // block a T=1 card sends with one.
    void Observe() {
        if (!pty_) return;
        bool powered = false;
        uint64_t timeouts = 0, errors = 0, warmResets = 0;
        pty_->WithReader([&](sim::ReaderFirmware& reader) {
            powered = reader.CardPowered();
            timeouts = reader.Stats().timeouts_reported;
            errors = reader.Stats().reader_errors;
            warmResets = reader.Stats().warm_resets;
            commands_ = reader.Stats().commands;
        });
        if (powered != cardPowered_) Say(powered ? "card powered by the host" : "card powered down");
        if (warmResets != warmResets_) Say("card reset by the host (warm)");
        warmResets_ = warmResets;
        if (errors != errors_) Say("reader error reported to the host (" + std::to_string(errors) + " so far)");
        cardPowered_ = powered;
        timeouts_ = timeouts;
        errors_ = errors;
    }

    GlobalOptions options_;
    ReaderOptions reader_;
    std::FILE* out_;
    std::chrono::steady_clock::time_point start_;
    std::unique_ptr<serial::PtyReader> pty_;
    LinkLock lock_;
    bool linked_ = false;
    bool quit_ = false;
    bool cardPowered_ = false;
    uint64_t timeouts_ = 0, errors_ = 0, warmResets_ = 0, commands_ = 0;
};

}  // namespace

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait in progress returns and the loop looks at the flag.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() { return stopRequested.load(); }

int RunReader(const GlobalOptions& options, const ReaderOptions& reader, std::FILE* in, std::FILE* out,
              std::FILE* err) {
    if (reader.link.empty()) {
        std::fprintf(err, "lmscr reader: --link PATH, where the pty's slave is to be linked\n");
        return 2;
    }
    if ((reader.card || reader.insertAfterS >= 0) && !sim::cards::MakeCardProfile(options.card, options.seed)) {
        std::fprintf(err, "lmscr reader: no card called '%s' (see lmscr cards)\n", options.card.c_str());
        return 2;
    }
    CatchStopSignals();
    ReaderRun run(options, reader, out);
    return run.Run(in ? fileno(in) : -1, err);
}

}  // namespace lmscr::tool
