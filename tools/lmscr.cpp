// lmscr: the reader driver on this machine, from a terminal.
//
//   lmscr demo [--seed N] [--trace]   a whole session on the built-in simulated reader, a
//                                      sleep and wake, and APDUs on a T=0 and a T=1 card
//   lmscr power [--card NAME] [--warm] [--protocol t0|t1]
//                                      one card's activation and protocol selection
//   lmscr send [--card NAME] [--protocol t0|t1] [--json] [--trace] APDU...
//                                      command APDUs to a card, each answer with its status word
//   lmscr script FILE|- [--card NAME] [--protocol t0|t1] [--json] [--trace]
//                                      APDUs one a line, with answers to check, and steps:
//                                      sleep, wake, card moves, resets (send.cpp)
//   lmscr reader --link PATH [--card NAME] [--no-card] [--insert-after S] [--remove-after S]
//                                      the simulated reader behind a pty, in real time (reader.cpp)
//   lmscr watch --port PATH [--seconds N] [--no-atr]
//                                      card insertions and removals on a reader on a tty
//   power, send and script take --port PATH: the reader on that tty, in real time
//   lmscr atr HEX [--json]             an answer to reset as the class library sees it
//   lmscr cards                        the simulated cards by name, with their answers to reset
//   lmscr version                      the driver's version block
//   lmscr events                       the driver's event message table
#include "lmscr.h"

#include "resources.h"
#include "sim/cards/profiles.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

namespace lmscr::tool {

namespace {

void PrintText(std::FILE* out, const std::string& text, const char* indent) {
    // The texts carry the event log's line ends; a terminal wants them plain.
    std::string line;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            std::fprintf(out, "%s%s\n", indent, line.c_str());
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) std::fprintf(out, "%s%s\n", indent, line.c_str());
}

int Version(std::FILE* out) {
    const VERSION_BLOCK& v = VersionBlock;
    std::fprintf(out, "lmscr driver version block\n");
    std::fprintf(out, "  fixed file version     %u.%u.%u.%u\n", v.FileVersion[0], v.FileVersion[1], v.FileVersion[2],
                 v.FileVersion[3]);
    std::fprintf(out, "  fixed product version  %u.%u.%u.%u\n", v.ProductVersion[0], v.ProductVersion[1],
                 v.ProductVersion[2], v.ProductVersion[3]);
    std::fprintf(out, "  language, code page    %s\n", v.Translation);
    for (ULONG i = 0; i < v.StringCount; ++i)
        std::fprintf(out, "  %-22s %s\n", v.Strings[i].Name, v.Strings[i].Value);
    return 0;
}

int Events(std::FILE* out) {
    std::fprintf(out, "lmscr event message table\n");
    for (ULONG i = 0; i < MessageTableEntries; ++i) {
        std::fprintf(out, "  0x%08X  %s\n", MessageTable[i].Code, MessageTable[i].Symbol);
        PrintText(out, MessageTable[i].Text, "              ");
    }
    return 0;
}

}  // namespace

int RunCards(std::FILE* out) {
    std::fprintf(out, "simulated cards (use with: lmscr demo, power, send or script --card NAME; atr:HEX makes a card from any ATR)\n");
    for (const auto& p : sim::cards::CardProfiles()) {
        std::string atr;
        for (size_t i = 0; i < p.atr.size(); ++i) {
            char b[4];
            std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", p.atr[i]);
            atr += b;
        }
        std::fprintf(out, "  %-18.*s %-40s %.*s\n", static_cast<int>(p.name.size()), p.name.data(), atr.c_str(),
                     static_cast<int>(p.description.size()), p.description.data());
    }
    return 0;
}

namespace {

const char* const kCommands[] = {"demo", "power", "send", "script", "reader", "watch", "readers",
                                 "atr", "cards", "version", "events"};

// The word after --pcsc names the reader unless it reads as something else the command line
// holds: an option, the command (when none came yet), a command APDU, or a script file. A reader
// name that looks like one of these is given as --pcsc=NAME.
bool PcscReaderOperand(const std::string& word, bool commandDue) {
    if (word.empty() || word[0] == '-') return false;
    if (commandDue && std::find(std::begin(kCommands), std::end(kCommands), word) != std::end(kCommands)) return false;
    const auto bytes = ParseHexBytes(word);
    if (bytes && bytes->size() >= kMinCommandBytes) return false;
    std::error_code ec;
    return !std::filesystem::is_regular_file(word, ec);
}

int Usage(std::FILE* out, int code) {
    std::fprintf(out,
                 "usage: lmscr <command> [options]\n"
                 "commands:\n"
                 "  demo      a whole session on the built-in simulated reader, in virtual time, a\n"
                 "            system sleep and wake with a card in, then APDUs on a T=0 and a T=1 card\n"
                 "  power     one card's activation and protocol selection on the simulated reader:\n"
                 "            the ATR, the library's reading of it, the PTS bytes, the time of each step\n"
                 "  send APDU...  command APDUs in hex (\"00 A4 00 00 02 3F 00\", spaces optional) to the\n"
                 "            card after a cold reset: each answer, its status word in words, its time\n"
                 "  script FILE   the APDUs of FILE ('-': standard input), one a line; '#' starts a\n"
                 "            comment; 'APDU => EXPECTED' checks the whole answer, where ?? is any\n"
                 "            byte and a leading '...' any bytes before (\"... 90 00\": success);\n"
                 "            steps between them: !sleep [s3|hibernate|shutdown] [critical], !wake,\n"
                 "            !remove, !insert [NAME], !reset [t0|t1], !wait MS\n"
                 "  reader --link PATH  the simulated reader and card behind a pseudo-terminal, in\n"
                 "            real time, its slave linked at PATH, until SIGINT, SIGTERM or 'quit';\n"
                 "            card moves on standard input, one a line: insert [NAME], remove; 'unplug'\n"
                 "            closes the pseudo-terminal, as a pulled cable\n"
                 "  watch --port PATH  card insertions and removals as they happen, with the ATR\n"
                 "  atr HEX   an answer to reset analysed as the class library sees it (--json for scripts)\n"
                 "  cards     the simulated cards by name, with their answers to reset\n"
                 "  version   the driver's version block\n"
                 "  events    the driver's event message table\n"
                 "options:\n"
                 "  --seed N  the seed of the scheduler's choices (default 1, or LMSCR_SEED)\n"
                 "  --version the program's version, on one line\n"
                 "  --trace   print the decoded line trace of the simulated reader\n"
                 "  --json    atr, send, script: one JSON object instead of text\n"
                 "  --card NAME  the card the demo, power, send and script insert (see lmscr cards;\n"
                 "            default t1)\n"
                 "  --warm    power: a warm reset after the cold one, before the protocol\n"
                 "  --protocol t0|t1  power: the protocol asked for (default: either); send, script:\n"
                 "            the protocol run (default: the one the card's ATR names first)\n"
                 "  --port PATH  power, send, script, watch: the reader on this tty (a serial port or\n"
                 "            the link of lmscr reader) in real time, with the card that is in it\n"
                 "  --link PATH, --no-card, --insert-after S, --remove-after S  reader: where the\n"
                 "            slave is linked; an empty slot; the card in or out S seconds after the start\n"
                 "  --seconds N  watch: stop after N seconds (default: at SIGINT or SIGTERM)\n"
                 "  --no-atr  watch: no cold reset of an inserted card\n"
                 "exit status: 0 done; 1 a request failed, a card or expected answer disagreed;\n"
                 "  2 the command line or script is wrong\n");
    return code;
}

}  // namespace
}  // namespace lmscr::tool

namespace {

int Run(int argc, char** argv) {
    using namespace lmscr::tool;
    GlobalOptions options;
    if (const char* env = std::getenv("LMSCR_SEED")) options.seed = std::strtoull(env, nullptr, 0);
    std::vector<std::string> words;
    bool warm = false, atr = true;
    ReaderOptions reader;
    double seconds = 0;
    auto number = [&](int& i, double& value) {
        const char* option = argv[i];
        char* end = nullptr;
        value = std::strtod(argv[++i], &end);
        if (end == argv[i] || *end || value < 0) {
            std::fprintf(stderr, "lmscr: %s wants a number of seconds, not '%s'\n", option, argv[i]);
            return false;
        }
        return true;
    };
    ULONG protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    // The options that take a value: one given last, without it, is a command line the program
    // cannot read, and says so by its name rather than as an unknown option.
    static const char* const kValued[] = {"--port", "--link",  "--insert-after", "--remove-after",
                                          "--seconds", "--protocol", "--card", "--seed"};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 == argc && std::find(std::begin(kValued), std::end(kValued), a) != std::end(kValued)) {
            std::fprintf(stderr, "lmscr: %s wants a value\n", a.c_str());
            return 2;
        }
        if (a == "--trace") {
            options.trace = true;
        } else if (a == "--json") {
            options.json = true;
        } else if (a == "--warm") {
            warm = true;
        } else if (a == "--no-atr") {
            atr = false;
        } else if (a == "--no-card") {
            reader.card = false;
        } else if (a == "--pcsc" || a.rfind("--pcsc=", 0) == 0) {
            options.pcsc = true;
            if (a.size() > 6) {
                options.pcscReader = a.substr(7);
            } else if (i + 1 < argc && PcscReaderOperand(argv[i + 1], words.empty())) {
                options.pcscReader = argv[++i];
            }
        } else if (a == "--get-response") {
            options.getResponse = true;
        } else if (a == "--port" && i + 1 < argc) {
            options.port = argv[++i];
        } else if (a == "--link" && i + 1 < argc) {
            reader.link = argv[++i];
        } else if (a == "--insert-after" && i + 1 < argc) {
            if (!number(i, reader.insertAfterS)) return 2;
        } else if (a == "--remove-after" && i + 1 < argc) {
            if (!number(i, reader.removeAfterS)) return 2;
        } else if (a == "--seconds" && i + 1 < argc) {
            if (!number(i, seconds)) return 2;
        } else if (a == "--protocol" && i + 1 < argc) {
            const std::string p = argv[++i];
            if (p == "t0" || p == "T0" || p == "T=0") {
                protocols = SCARD_PROTOCOL_T0;
            } else if (p == "t1" || p == "T1" || p == "T=1") {
                protocols = SCARD_PROTOCOL_T1;
            } else {
                std::fprintf(stderr, "lmscr: --protocol wants t0 or t1, not '%s'\n", p.c_str());
                return 2;
            }
        } else if (a == "--card" && i + 1 < argc) {
            options.card = argv[++i];
        } else if (a == "--seed" && i + 1 < argc) {
            char* end = nullptr;
            const char* text = argv[++i];
            options.seed = std::strtoull(text, &end, 0);
            // strtoull takes "-1" as the largest number: a seed is never negative.
            if (!end || *end || end == text || std::strchr(text, '-') != nullptr) {
                std::fprintf(stderr, "lmscr: --seed wants a number, not '%s'\n", argv[i]);
                return 2;
            }
        } else if (a == "-h" || a == "--help") {
            return Usage(stdout, 0);
        } else if (a == "--version") {
            const VERSION_BLOCK& v = VersionBlock;
            std::printf("lmscr %u.%u.%u.%u\n", v.FileVersion[0], v.FileVersion[1], v.FileVersion[2], v.FileVersion[3]);
            return 0;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "lmscr: unknown option '%s'\n", a.c_str());
            return Usage(stderr, 2);
        } else {
            words.push_back(a);
        }
    }
    if (words.empty()) return Usage(stderr, 2);
    if (words.size() > 1 && words[0] != "atr" && words[0] != "send" && words[0] != "script") {
        std::fprintf(stderr, "lmscr %s: takes no operand, not '%s'\n", words[0].c_str(), words[1].c_str());
        return 2;
    }
    if (words[0] == "demo") return RunDemo(options, stdout);
    if (words[0] == "reader") return RunReader(options, reader, stdin, stdout, stderr);
    if (words[0] == "watch") return RunWatch(options, seconds, atr, stdout, stderr);
    if (words[0] == "power") return RunPower(options, warm, protocols, stdout);
    if (words[0] == "atr") {
        if (words.size() < 2) {
            std::fprintf(stderr, "lmscr atr: which answer to reset? e.g. lmscr atr \"3B 02 14 50\"\n");
            return 2;
        }
        std::string hex;
        for (size_t i = 1; i < words.size(); ++i) hex += (i > 1 ? " " : "") + words[i];
        return RunAtr(hex, options.json, stdout, stderr);
    }
    if (words[0] == "send") return RunSend(options, protocols, {words.begin() + 1, words.end()}, stdout, stderr);
    if (words[0] == "script") {
        if (words.size() != 2) {
            std::fprintf(stderr, "lmscr script: one file, or - for standard input\n");
            return 2;
        }
        return RunScript(options, protocols, words[1], stdout, stderr);
    }
    if (words[0] == "readers") return RunReaders(options, stdout, stderr);
    if (words[0] == "cards") return RunCards(stdout);
    if (words[0] == "version") return Version(stdout);
    if (words[0] == "events") return Events(stdout);
    std::fprintf(stderr, "lmscr: unknown command '%s'\n", words[0].c_str());
    return Usage(stderr, 2);
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing the program meets may end it with an uncaught exception and a core: a request it
    // could not carry out is a failure (1), said on one line.
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lmscr: %s\n", e.what());
        return 1;
    }
}
