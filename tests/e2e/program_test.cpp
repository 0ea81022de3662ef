// The program's real-time commands as a person runs them: `lmscr reader` as a process of its own
// with its pty linked in a scratch folder, and power, send and watch on that link.
//
// Real time: every wait polls against a generous deadline, and nothing asserts how long anything
// took, only that a silent port fails well before a hang would be noticed. Every child is stopped
// by its process id at the end of its test.
#include "lmscr.h"
#include "resources/messages.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace lmscr::e2e {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kBound{20};

// One run of the program with its standard input on a pipe and its output (stdout and stderr)
// collected.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            static std::string program = LMSCR_PROGRAM;
            argv.push_back(program.data());
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
        fcntl(out_, F_SETFL, O_NONBLOCK);
    }
    ~Child() {
        Stop(SIGKILL);
        if (in_ >= 0) close(in_);
        if (out_ >= 0) close(out_);
    }

    bool Started() const { return pid_ > 0; }
    void Write(const std::string& line) { ASSERT_EQ(write(in_, line.data(), line.size()), (ssize_t)line.size()); }

    // True once the output holds `text`, reading until the deadline.
    bool WaitFor(const std::string& text) {
        const auto deadline = Clock::now() + kBound;
        while (output_.find(text) == std::string::npos) {
            if (Clock::now() >= deadline || !Read(deadline)) return output_.find(text) != std::string::npos;
        }
        return true;
    }
    // The exit status once the process has ended (-1: it did not end before the deadline).
    int Wait(std::chrono::milliseconds bound = kBound) {
        const auto deadline = Clock::now() + bound;
        while (Read(deadline)) {
        }
        while (Clock::now() < deadline) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10'000);
        }
        return -1;
    }
    // A signal to the process by its id, and its exit status.
    int Stop(int signal) {
        if (pid_ <= 0) return -1;
        kill(pid_, signal);
        return Wait();
    }
    const std::string& Output() const { return output_; }

private:
    // More output; false at its end or the deadline.
    bool Read(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd fd{out_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left)) <= 0) return false;
        char buffer[1024];
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) return false;
        output_.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string output_;
};

// A scratch folder for the link, gone at the end.
class ProgramOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/lmscr-program-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        link = dir + "/reader";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // The reader started, its link made.
    std::unique_ptr<Child> StartReader(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"reader", "--link", link};
        args.insert(args.end(), extra.begin(), extra.end());
        auto reader = std::make_unique<Child>(args);
        EXPECT_TRUE(reader->Started());
        EXPECT_TRUE(reader->WaitFor("linked at " + link)) << reader->Output();
        return reader;
    }

    std::string dir, link;
};

TEST_F(ProgramOnPty, send_and_power_through_the_link_then_a_signal_ends_the_reader) {
    auto reader = StartReader();
    {
        Child send({"send", "--port", link, "00 A4 00 0C 02 3F 00"});
        EXPECT_EQ(send.Wait(), 0) << send.Output();
        EXPECT_NE(send.Output().find("the reader on " + link + ", real time"), std::string::npos) << send.Output();
        EXPECT_NE(send.Output().find("answer   90 00\n"), std::string::npos) << send.Output();
        EXPECT_NE(send.Output().find("summary: 1 command, 1 answered, 0 failed"), std::string::npos) << send.Output();
    }
    {
        // The same reader, still running, serves the next program.
        Child power({"power", "--port", link});
        EXPECT_EQ(power.Wait(), 0) << power.Output();
        EXPECT_NE(power.Output().find("cold reset: STATUS_SUCCESS"), std::string::npos) << power.Output();
        EXPECT_NE(power.Output().find("ATR  3B 94 13 81 31 20 45 4C 4D 31 30 52 (12 bytes)"), std::string::npos)
            << power.Output();
        EXPECT_NE(power.Output().find("selected T=1, card state SCARD_SPECIFIC"), std::string::npos) << power.Output();
    }
    EXPECT_TRUE(reader->WaitFor("card powered by the host")) << reader->Output();
    EXPECT_EQ(reader->Stop(SIGTERM), 0) << reader->Output();
    EXPECT_NE(reader->Output().find("stopped by a signal"), std::string::npos) << reader->Output();
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived the reader";
}

// A script's power steps run on the tty as on the simulated port; its card moves cannot.
TEST_F(ProgramOnPty, a_script_sleeps_wakes_and_resets_on_the_link_and_waits_for_card_moves) {
    auto reader = StartReader({"--no-card"});
    const std::string file = dir + "/script";
    {
        std::FILE* f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("!insert\n!reset t1\n00 A4 00 0C 02 3F 00 => 90 00\n!sleep s3\n!wake\n!reset\n"
                   "00 A4 00 0C 02 3F 00 => 90 00\n!remove\n",
                   f);
        std::fclose(f);
    }
    // The script begins on an empty slot and waits for the card a person puts in.
    Child script({"script", file, "--port", link});
    ASSERT_TRUE(script.WaitFor("waiting for a card in the slot")) << script.Output();
    reader->Write("insert t1\n");
    ASSERT_TRUE(script.WaitFor("waiting for the card to be taken out")) << script.Output();
    reader->Write("remove\n");
    EXPECT_EQ(script.Wait(), 0) << script.Output();
    const std::string& out = script.Output();
    EXPECT_NE(out.find("!insert: STATUS_SUCCESS"), std::string::npos) << out;
    EXPECT_NE(out.find("!sleep s3: STATUS_SUCCESS"), std::string::npos) << out;
    EXPECT_NE(out.find("!wake: STATUS_SUCCESS"), std::string::npos) << out;
    EXPECT_NE(out.find("!reset: STATUS_SUCCESS"), std::string::npos) << out;
    EXPECT_NE(out.find("!remove: STATUS_SUCCESS"), std::string::npos) << out;
    EXPECT_NE(out.find("2 expected answers, 0 not met"), std::string::npos) << out;
    EXPECT_EQ(reader->Stop(SIGTERM), 0) << reader->Output();
}

// Nothing behind the tty: the driver's start gives up, the program says why in the event log's
// words and fails, well within the bound.
TEST_F(ProgramOnPty, a_silent_port_fails_fast_with_the_event_text) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    Child send({"send", "--port", name, "00 A4 00 0C 02 3F 00"});
    const int code = send.Wait(std::chrono::seconds(10));
    close(slave);
    close(master);
    EXPECT_EQ(code, 1) << send.Output();
    EXPECT_NE(send.Output().find("starting the reader: STATUS_IO_TIMEOUT"), std::string::npos) << send.Output();
    std::string text = tool::EventText(EVENT_READER_NOT_ANSWERING);
    text = text.substr(0, text.find('\r'));
    EXPECT_NE(send.Output().find(text), std::string::npos) << send.Output();
}

TEST_F(ProgramOnPty, watch_sees_an_insertion_and_a_removal_made_on_the_readers_input) {
    auto reader = StartReader({"--no-card"});
    Child watch({"watch", "--port", link, "--seconds", "60"});
    ASSERT_TRUE(watch.WaitFor("the slot is empty")) << watch.Output();
    reader->Write("insert t0\n");
    EXPECT_TRUE(watch.WaitFor("card inserted, ATR 3B 14 13 4C 4D 30 30")) << watch.Output();
    reader->Write("remove\n");
    EXPECT_TRUE(watch.WaitFor("card removed")) << watch.Output();
    EXPECT_EQ(watch.Stop(SIGINT), 0) << watch.Output();
    EXPECT_NE(watch.Output().find("stopped by a signal"), std::string::npos) << watch.Output();
    reader->Write("quit\n");
    EXPECT_EQ(reader->Wait(), 0) << reader->Output();
    EXPECT_NE(reader->Output().find("card 't0' in"), std::string::npos) << reader->Output();
    EXPECT_NE(reader->Output().find("card out"), std::string::npos) << reader->Output();
    EXPECT_NE(reader->Output().find("quit"), std::string::npos) << reader->Output();
}

// The reader's pty closed under the watch (a pulled cable): the driver gives the reader up, and
// the watch says so and fails instead of waiting for a card event that cannot come.
TEST_F(ProgramOnPty, watch_reports_a_reader_that_is_unplugged) {
    auto reader = StartReader();
    Child watch({"watch", "--port", link, "--seconds", "60"});
    ASSERT_TRUE(watch.WaitFor("a card is in the slot")) << watch.Output();
    reader->Write("unplug\n");
    EXPECT_TRUE(reader->WaitFor("unplugged: the pseudo-terminal is closed")) << reader->Output();
    EXPECT_EQ(watch.Wait(), 1) << watch.Output();
    EXPECT_NE(watch.Output().find("the reader is gone"), std::string::npos) << watch.Output();
    EXPECT_EQ(watch.Output().find("left behind"), std::string::npos) << watch.Output();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link))) << "the link outlived the pty";
    reader->Write("insert t0\nquit\n");
    EXPECT_EQ(reader->Wait(), 0) << reader->Output();
    EXPECT_NE(reader->Output().find("insert: the reader is unplugged"), std::string::npos) << reader->Output();
}

// Only a link to a pty, left by an earlier run, is replaced; somebody's file is not.
TEST_F(ProgramOnPty, the_link_replaces_a_stale_one_and_nothing_else) {
    ASSERT_EQ(symlink("/dev/pts/9999", link.c_str()), 0);
    auto reader = StartReader();
    char target[128] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_STRNE(target, "/dev/pts/9999");
    EXPECT_EQ(reader->Stop(SIGINT), 0) << reader->Output();

    const std::string file = dir + "/file";
    { std::FILE* f = std::fopen(file.c_str(), "w"); ASSERT_NE(f, nullptr); std::fputs("mine\n", f); std::fclose(f); }
    Child refused({"reader", "--link", file});
    EXPECT_EQ(refused.Wait(), 1) << refused.Output();
    EXPECT_NE(refused.Output().find("is no link to a pty: not replaced"), std::string::npos) << refused.Output();
    EXPECT_EQ(std::filesystem::file_size(file), 5u);
}

}  // namespace
}  // namespace lmscr::e2e
