// lmscr watch: card insertions and removals on a reader on a tty as they happen, through the
// tracking requests an application parks with the driver (IOCTL_SMARTCARD_IS_PRESENT while the
// slot is empty, IOCTL_SMARTCARD_IS_ABSENT while a card is in), in real time. With --pcsc, the
// same on a reader of pcscd's through SCardGetStatusChange; the ATR shown there is the one pcscd
// read at the insertion, so that the card is not reset under another application's feet.
#include "lmscr.h"

#include "session.h"

#include <chrono>

namespace lmscr::tool {

int RunWatch(const GlobalOptions& options, double seconds, bool atr, std::FILE* out, std::FILE* err) {
    if (options.port.empty() && !options.pcsc) {
        std::fprintf(err, "lmscr watch: --port PATH, the reader's tty (a serial port, or the link of lmscr reader), "
                          "or --pcsc [READER]\n");
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
    const bool pcsc = session.OnPcsc();
    if (pcsc) say("PC/SC reader '" + session.PcscReader() + "'");
    bool present = session.CardState() > SCARD_ABSENT;
    say(present ? "a card is in the slot" : "the slot is empty");
    // pcscd reads the ATR as the card goes in, a moment after it shows the card present.
    auto pcscAtr = [&] {
        std::vector<uint8_t> atr = session.InsertedAtr();
        for (int look = 0; atr.empty() && look < 10 && !over(); ++look) {
            session.Wait(100);
            atr = session.InsertedAtr();
        }
        return atr.empty() ? std::string("card inserted, no ATR (a mute card)")
                           : "card inserted, ATR " + HexBytes(atr.data(), atr.size());
    };
    int code = 0;
    while (!over()) {
        bool gone = false;
        const std::optional<NTSTATUS> status =
            session.WaitForCard(!present, [&] { return over() || (!pcsc && (gone = !session.ReaderAttached())); });
        if (!status) {
            if (gone) {
                say("the reader is gone: its port hung up or dropped DSR (cable, power)");
                code = 1;
            }
            break;
        }
        if (*status != STATUS_SUCCESS) {
            if (pcsc)
                say(*status == STATUS_DEVICE_REMOVED ? std::string("the reader is gone: pcscd no longer lists it")
                                                     : "SCardGetStatusChange ended with " + kernel::StatusName(*status));
            else
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
        if (pcsc) {
            say(pcscAtr());
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
