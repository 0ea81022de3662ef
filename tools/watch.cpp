// lmscr watch: card insertions and removals on a reader on a tty as they happen, through the
// tracking requests an application parks with the driver (IOCTL_SMARTCARD_IS_PRESENT while the
// slot is empty, IOCTL_SMARTCARD_IS_ABSENT while a card is in), in real time.
#include "lmscr.h"

#include "session.h"

#include <chrono>

namespace lmscr::tool {

int RunWatch(const GlobalOptions& options, double seconds, bool atr, std::FILE* out, std::FILE* err) {
    if (options.port.empty()) {
        std::fprintf(err, "lmscr watch: --port PATH, the reader's tty (a serial port, or the link of lmscr reader)\n");
        return 2;
    }
    CatchStopSignals();
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    auto over = [&] { return StopRequested() || (seconds > 0 && std::chrono::steady_clock::now() >= end); };

    std::fprintf(out, "lmscr watch: %s\n", WhereText(options).c_str());
    ReaderSession session(options, out);
    auto say = [&](const std::string& text) {
        std::fprintf(out, "%10.3f ms  %s\n", session.NowMs(), text.c_str());
        std::fflush(out);
    };
    if (!session.PortError().empty()) {
        std::fprintf(err, "lmscr watch: %s\n", session.PortError().c_str());
        return 1;
    }
    if (!session.Start()) {
        say("the reader did not start");
        for (const auto& line : session.Failure()) std::fprintf(out, "  %s\n", line.c_str());
        return 1;
    }
    bool present = session.CardState() > SCARD_ABSENT;
    say(present ? "a card is in the slot" : "the slot is empty");
    int code = 0;
    while (!over()) {
        bool gone = false;
        const std::optional<NTSTATUS> status =
            session.WaitForCard(!present, [&] { return over() || (gone = !session.ReaderAttached()); });
        if (!status) {
            if (gone) {
                say("the reader is gone: its port hung up or dropped DSR (cable, power)");
                code = 1;
            }
            break;
        }
        if (*status != STATUS_SUCCESS) {
            say(std::string(present ? "IS_ABSENT" : "IS_PRESENT") + " ended with " + kernel::StatusName(*status));
            code = 1;
            break;
        }
        present = !present;
        if (!present) {
            say("card removed");
            continue;
        }
        if (!atr) {
            say("card inserted");
            continue;
        }
        const Step reset = session.Power(SCARD_COLD_RESET);
        if (reset.result.status == STATUS_SUCCESS)
            say("card inserted, ATR " + HexBytes(reset.result.output.data(), reset.result.information));
        else
            say("card inserted, cold reset: " + kernel::StatusName(reset.result.status));
    }
    if (code == 0) say(StopRequested() ? "stopped by a signal" : "time is up");
    const std::string leaks = session.Finish();
    if (!leaks.empty()) {
        std::fprintf(out, "left behind:\n%s", leaks.c_str());
        code = 1;
    }
    return code;
}

}  // namespace lmscr::tool
