// lmscr, the command-line program: shared pieces of its commands.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <smclib.h>

#include "apdu.h"

namespace lmscr::tool {

struct GlobalOptions {
    uint64_t seed = 1;
    bool trace = false;  // the decoded line trace of the simulated reader
    bool json = false;   // machine-readable output where a command offers it
    std::string card = "t1";  // the card profile the demo, power, send and script insert
    // power, send, script, watch: the reader on this tty (a real serial port, or the pty of
    // `lmscr reader`), in real time, instead of the built-in simulated reader; no card is
    // inserted then, the card is whatever is in the reader.
    std::string port;
    // power, send, script, watch: a reader pcscd knows, through libpcsclite, instead of the
    // driver; `pcscReader` names it (a number from `lmscr readers`, or a part of its name; empty:
    // the first reader with a card in it).
    bool pcsc = false;
    std::string pcscReader;
    // send, script: an answer 61 xx is followed by GET RESPONSE for xx bytes, and 6C xx by the
    // same command again with Le xx, as opensc-tool does; off, the driver's answer is shown as is.
    bool getResponse = false;
    // demo, power, send, script, watch: the driver's kernel image (lmscr.sys of make sys) runs
    // instead of the driver linked into the program.
    std::string image;
};

int RunDemo(const GlobalOptions& options, std::FILE* out);
// Exit status: 0 the library can use the ATR, 1 it refuses it, 2 the text is no ATR at all.
int RunCards(bool json, std::FILE* out);
int RunAtr(const std::string& hex, bool json, std::FILE* out, std::FILE* err);
// The reader as the class library is told of it, in the values of its attributes (protocols,
// default and maximum clock and data rate, IFSD). The defaults are this reader's, as its driver
// reports them: 3.58 MHz, 9600 bit/s, IFSD 254.
struct ReaderDescription {
    ULONG protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    ULONG clockKhz = 3580, maxClockKhz = 3580;
    ULONG dataRates[2] = {9600, 9600};  // default, maximum
    ULONG maxIfsd = 254;
};
// The class library's reading of an answer to reset on that reader (SmartcardUpdateCardCapabilities
// in `ext`, which is overwritten and points into `reader` afterwards), as `lmscr atr` shows it;
// the library's status, STATUS_UNRECOGNIZED_MEDIA for no bytes.
NTSTATUS LibraryReading(SMARTCARD_EXTENSION& ext, const ReaderDescription& reader, const std::vector<uint8_t>& atr);
// The protocol the card names first in its answer to reset (TD1's; T=0 alone without TD1), by
// the walk that names the bytes for `lmscr atr`; 0 when the bytes end before it is known.
ULONG FirstOfferedProtocol(const std::vector<uint8_t>& atr);
std::string EventText(uint32_t code);  // the message table's text, or a note that it has none
// A simulated card's answer to reset in hex ("atr:HEX" cards: the HEX), "?" for no such card.
std::string AtrText(const std::string& name);
// One card's activation and protocol selection (`protocols`: SCARD_PROTOCOL_* mask).
int RunPower(const GlobalOptions& options, bool warm, ULONG protocols, std::FILE* out);

// One command APDU of send, script or the demo, or a script's step; `label` (the demo's words
// for it) or `line` (the script's line) heads it in the output.
struct Exchange {
    std::string label;
    int line = 0;
    Bytes command;
    std::optional<AnswerPattern> expected;
    std::optional<ScriptStep> step;  // a step instead of a command
};
// The card of `options` cold reset, `protocols` selected (both: the one its ATR names first) and
// every exchange sent through IOCTL_SMARTCARD_TRANSMIT or its step taken, in text or JSON
// (send.cpp has the format). Exit status: 0 every command answered, every expected answer met
// and every step done, 1 otherwise.
// Text answers of more than `maxAnswerLines` lines (3 or more; 0: no limit) are cut short.
int RunExchanges(const GlobalOptions& options, const char* name, ULONG protocols,
                 const std::vector<Exchange>& exchanges, std::FILE* out, size_t maxAnswerLines = 0,
                 const std::string& heading = {});
// The commands as hex text; 2 for one that is no command APDU, or an unknown card.
int RunSend(const GlobalOptions& options, ULONG protocols, const std::vector<std::string>& apdus, std::FILE* out,
            std::FILE* err);
// A script file ("-": standard input) of commands and steps (send.cpp has the format); 2 when a
// line is malformed or cannot run where it stands.
int RunScript(const GlobalOptions& options, ULONG protocols, const std::string& file, std::FILE* out, std::FILE* err);

// lmscr reader: the simulated reader behind a pseudo-terminal, its slave linked at `link`, in
// real time until a signal or "quit" on `in` (see reader.cpp).
struct ReaderOptions {
    std::string link;
    bool card = true;          // a card (GlobalOptions::card) in the slot from the start
    double insertAfterS = -1;  // the card goes in this many seconds after the start (< 0: never)
    double removeAfterS = -1;  // and out this many seconds after the start
};
int RunReader(const GlobalOptions& options, const ReaderOptions& reader, std::FILE* in, std::FILE* out,
              std::FILE* err);
// lmscr watch: card insertions and removals on the reader of options.port as they happen, for
// `seconds` (<= 0: until a signal).
int RunWatch(const GlobalOptions& options, double seconds, bool atr, std::FILE* out, std::FILE* err);
// lmscr readers: the readers pcscd knows, numbered, with the card in each (pcsc.cpp).
int RunReaders(const GlobalOptions& options, std::FILE* out, std::FILE* err);
// SIGINT and SIGTERM end the real-time commands cleanly: the handler sets this flag.
void CatchStopSignals();
bool StopRequested();

// "card 't1' on the built-in simulated reader, virtual time" or "the reader on PATH, real time".
std::string WhereText(const GlobalOptions& options);

// Shared by the power command and the demo's card session.
std::string HexBytes(const uint8_t* bytes, size_t length);
const char* CardStateText(ULONG state);
std::string ProtocolText(ULONG protocols);
// The library's reading of a card's answer to reset, in one line.
std::string AtrReading(const SCARD_CARD_CAPABILITIES& caps, ULONG state);
// The card bytes of PTS exchanges (and card resets between them) in lines of the line trace.
std::vector<std::string> PtsLines(const std::vector<std::string>& traceLines);
// Line-trace lines as the card commands show them under --trace.
void PrintTrace(std::FILE* out, const std::vector<std::string>& lines);

}  // namespace lmscr::tool
