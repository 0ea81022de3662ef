// lmscr: the reader driver on this machine, from a terminal. The commands, what each does and
// the options each takes are the table of Commands() below; `lmscr COMMAND --help` prints one.
// The card commands (power, send, script, watch) run on the built-in simulated reader in virtual
// time, or on a tty (--port) or a PC/SC reader (--pcsc) in real time (session.h); the exit
// status is 0 done, 1 a request or an expectation failed, 2 a command line or script the program
// cannot read, 130 stopped by a signal.
#include "driver_image.h"
#include "lmscr.h"

#include "platform/smclib/debug.h"
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

// The event texts end their lines as the event log does; a JSON string keeps them as "\n".
std::string Plain(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

int Version(bool json, std::FILE* out) {
    const VERSION_BLOCK& v = VersionBlock;
    if (json) {
        std::fprintf(out, "{\"file_version\": \"%u.%u.%u.%u\", \"product_version\": \"%u.%u.%u.%u\", \"translation\": \"%s\"",
                     v.FileVersion[0], v.FileVersion[1], v.FileVersion[2], v.FileVersion[3], v.ProductVersion[0],
                     v.ProductVersion[1], v.ProductVersion[2], v.ProductVersion[3], JsonEscaped(v.Translation).c_str());
        std::fprintf(out, ", \"strings\": {");
        for (ULONG i = 0; i < v.StringCount; ++i)
            std::fprintf(out, "%s\"%s\": \"%s\"", i ? ", " : "", JsonEscaped(v.Strings[i].Name).c_str(),
                         JsonEscaped(v.Strings[i].Value).c_str());
        std::fprintf(out, "}}\n");
        return 0;
    }
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

int Events(bool json, std::FILE* out) {
    if (json) {
        std::fprintf(out, "[");
        for (ULONG i = 0; i < MessageTableEntries; ++i)
            std::fprintf(out, "%s\n  {\"code\": \"0x%08X\", \"symbol\": \"%s\", \"text\": \"%s\"}", i ? "," : "",
                         MessageTable[i].Code, JsonEscaped(MessageTable[i].Symbol).c_str(),
                         JsonEscaped(Plain(MessageTable[i].Text)).c_str());
        std::fprintf(out, "\n]\n");
        return 0;
    }
    std::fprintf(out, "lmscr event message table\n");
    for (ULONG i = 0; i < MessageTableEntries; ++i) {
        std::fprintf(out, "  0x%08X  %s\n", MessageTable[i].Code, MessageTable[i].Symbol);
        PrintText(out, MessageTable[i].Text, "              ");
    }
    return 0;
}

}  // namespace

int RunCards(bool json, std::FILE* out) {
    if (!json)
        std::fprintf(out, "simulated cards (use with: lmscr demo, power, send or script --card NAME; atr:HEX makes a card from any ATR)\n");
    else
        std::fprintf(out, "[");
    bool first = true;
    for (const auto& p : sim::cards::CardProfiles()) {
        const std::string atr = HexBytes(p.atr.data(), p.atr.size());
        const std::string name(p.name), description(p.description);
        if (json) {
            std::fprintf(out, "%s\n  {\"name\": \"%s\", \"atr\": \"%s\", \"description\": \"%s\"}", first ? "" : ",",
                         JsonEscaped(name).c_str(), atr.c_str(), JsonEscaped(description).c_str());
        } else {
            std::fprintf(out, "  %-18s %-40s %s\n", name.c_str(), atr.c_str(), description.c_str());
        }
        first = false;
    }
    if (json) std::fprintf(out, "\n]\n");
    return 0;
}

namespace {

// Each command, what it does, and the options it uses: any other option given to it is refused
// rather than ignored, so that a command line never seems to do what it does not.
struct Command {
    const char* name;
    const char* synopsis;
    const char* text;  // lines after the synopsis, indented by the usage
    std::vector<std::string> options;
};

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"demo", "demo", "a whole session on the built-in simulated reader, in virtual time, a system sleep\n"
                         "and wake with a card in, then APDUs on a T=0 and a T=1 card",
         {"--seed", "--trace", "--card", "--debug", "--image"}},
        {"power", "power [--warm] [--protocol t0|t1]",
         "one card's activation and protocol selection: the ATR, the library's reading of it,\n"
         "the PTS bytes, the time of each step",
         {"--seed", "--trace", "--json", "--card", "--warm", "--protocol", "--port", "--pcsc", "--debug", "--image"}},
        {"send", "send APDU...",
         "command APDUs in hex (\"00 A4 00 00 02 3F 00\", spaces optional) to the card after a\n"
         "cold reset: each answer, its status word in words, its time; a command whose length\n"
         "does not tell its case is refused before anything is sent",
         {"--seed", "--trace", "--json", "--card", "--protocol", "--port", "--pcsc", "--get-response", "--debug",
          "--image"}},
        {"script", "script FILE|-",
         "the APDUs of FILE ('-': standard input), one a line; '#' starts a comment;\n"
         "'APDU => EXPECTED' checks the whole answer, where ?? is any byte and a leading '...'\n"
         "any bytes before (\"... 90 00\": success); steps between them: !sleep\n"
         "[s3|hibernate|shutdown] [critical], !wake, !remove, !insert [NAME], !reset [t0|t1], !wait MS",
         {"--seed", "--trace", "--json", "--card", "--protocol", "--port", "--pcsc", "--get-response", "--debug",
          "--image"}},
        {"reader", "reader --link PATH [--no-card] [--insert-after S] [--remove-after S]",
         "the simulated reader and card behind a pseudo-terminal, in real time, its slave linked\n"
         "at PATH, until SIGINT, SIGTERM or 'quit'; card moves on standard input, one a line:\n"
         "insert [NAME], remove; 'unplug' closes the pseudo-terminal, as a pulled cable",
         {"--seed", "--card", "--link", "--no-card", "--insert-after", "--remove-after"}},
        {"watch", "watch --port PATH|--pcsc [READER] [--seconds N] [--no-atr]",
         "card insertions and removals as they happen, with the ATR", {"--port", "--pcsc", "--seconds", "--no-atr", "--debug", "--image"}},
        {"readers", "readers", "the readers pcscd knows, numbered, with the card in each", {}},
        {"atr", "atr HEX", "an answer to reset analysed as the class library sees it", {"--json"}},
        {"cards", "cards", "the simulated cards by name, with their answers to reset", {"--json"}},
        {"version", "version", "the driver's version block", {"--json"}},
        {"events", "events", "the driver's event message table", {"--json"}},
    };
    return commands;
}

const Command* FindCommand(const std::string& name) {
    for (const auto& c : Commands())
        if (name == c.name) return &c;
    return nullptr;
}

// The word after --pcsc names the reader unless it reads as something else the command line
// holds: an option, the command (when none came yet), a command APDU, or a script file. A reader
// name that looks like one of these is given as --pcsc=NAME.
bool PcscReaderOperand(const std::string& word, bool commandDue) {
    if (word.empty() || word[0] == '-') return false;
    if (commandDue && FindCommand(word)) return false;
    const auto bytes = ParseHexBytes(word);
    if (bytes && bytes->size() >= kMinCommandBytes) return false;
    std::error_code ec;
    return !std::filesystem::is_regular_file(word, ec);
}

struct OptionHelp {
    const char* name;
    const char* text;
};
const OptionHelp kOptionHelp[] = {
    {"--seed", "--seed N  the seed of the scheduler's choices (default 1, or LMSCR_SEED)"},
    {"--trace", "--trace   print the decoded line trace of the simulated reader"},
    {"--json", "--json    one JSON document instead of text (also when interrupted)"},
    {"--card", "--card NAME  the simulated card put in the slot (see lmscr cards; default t1)"},
    {"--warm", "--warm    a warm reset after the cold one, before the protocol"},
    {"--protocol", "--protocol t0|t1  the protocol asked for (default: the one the card's ATR names first)"},
    {"--port", "--port PATH  the reader on this tty (a serial port or the link of lmscr reader), in\n"
               "            real time, with the card that is in it"},
    {"--pcsc", "--pcsc [READER]  a reader pcscd knows, through PC/SC: READER is its number in\n"
               "            lmscr readers or a part of its name (default: the first with a card);\n"
               "            --pcsc=READER where READER could be read as an APDU or a file"},
    {"--get-response", "--get-response  61 xx is followed by GET RESPONSE and 6C xx by the command with\n"
                       "            Le xx, the answers joined, as opensc-tool does (default: the driver's answer)"},
    {"--link", "--link PATH  where the pseudo-terminal's slave is linked"},
    {"--no-card", "--no-card  an empty slot at the start"},
    {"--insert-after", "--insert-after S  the card goes in S seconds after the start"},
    {"--remove-after", "--remove-after S  the card goes out S seconds after the start"},
    {"--seconds", "--seconds N  stop after N seconds (default: at SIGINT or SIGTERM)"},
    {"--no-atr", "--no-atr  no cold reset of an inserted card"},
    {"--debug", "--debug LEVELS  the driver's debug lines of these classes on standard error, as they\n"
                "come, in virtual time after the time: ioctl, atr, protocol, driver, trace, error,\n"
                "separated by commas, or all"},
    {"--image", "--image PATH  the driver's kernel image (build-sys/lmscr.sys of make sys) loaded and run\n"
                "            by the emulation instead of the driver linked into lmscr"},
};

constexpr const char* kExitStatus =
    "exit status: 0 done; 1 a request failed, a card or expected answer disagreed;\n"
    "  2 the command line or script is wrong; 130 stopped by SIGINT or SIGTERM (send, script,\n"
    "  power: at the next command, the card powered down, the summary printed)\n";

void PrintIndented(std::FILE* out, const char* text, const char* indent) {
    std::string line;
    for (const char* p = text;; ++p) {
        if (*p == '\n' || *p == 0) {
            std::fprintf(out, "%s%s\n", indent, line.c_str());
            line.clear();
            if (*p == 0) break;
        } else {
            line += *p;
        }
    }
}

int Usage(std::FILE* out, int code) {
    std::fprintf(out, "usage: lmscr <command> [options]   (lmscr <command> --help: one command)\ncommands:\n");
    for (const auto& c : Commands()) {
        std::fprintf(out, "  %s\n", c.synopsis);
        PrintIndented(out, c.text, "            ");
    }
    std::fprintf(out, "options:\n  --version the program's version, on one line\n");
    for (const auto& o : kOptionHelp) PrintIndented(out, o.text, "  ");
    std::fprintf(out, "%s", kExitStatus);
    return code;
}

int CommandUsage(std::FILE* out, const Command& c) {
    std::fprintf(out, "usage: lmscr %s%s\n", c.synopsis, c.options.empty() ? "" : " [options]");
    PrintIndented(out, c.text, "  ");
    if (!c.options.empty()) std::fprintf(out, "options:\n");
    for (const auto& name : c.options)
        for (const auto& o : kOptionHelp)
            if (name == o.name) PrintIndented(out, o.text, "  ");
    std::fprintf(out, "%s", kExitStatus);
    return 0;
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
                                          "--seconds", "--protocol", "--card", "--seed", "--debug", "--image"};
    std::vector<std::string> given;  // the options named, for the command to check
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.size() > 1 && a[0] == '-' && a != "-h" && a != "--help" && a != "--version")
            given.push_back(a.rfind("--pcsc=", 0) == 0 ? "--pcsc" : a);
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
        } else if (a == "--image" && i + 1 < argc) {
            options.image = argv[++i];
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
        } else if (a == "--debug" && i + 1 < argc) {
            // The class library's level is the process's: every driver the session loads sees it.
            const auto levels = lmscr::smclib::ParseDebugLevels(argv[++i]);
            if (!levels) {
                std::fprintf(stderr, "lmscr: --debug wants ioctl, atr, protocol, driver, trace, error or all, not '%s'\n",
                             argv[i]);
                return 2;
            }
            SmartcardSetDebugLevel(*levels);
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
            help = true;
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
    const Command* command = words.empty() ? nullptr : FindCommand(words[0]);
    if (help) return command ? CommandUsage(stdout, *command) : Usage(stdout, 0);
    if (words.empty()) return Usage(stderr, 2);
    if (!command) {
        std::fprintf(stderr, "lmscr: unknown command '%s'\n", words[0].c_str());
        return Usage(stderr, 2);
    }
    for (const auto& o : given)
        if (std::find(command->options.begin(), command->options.end(), o) == command->options.end()) {
            std::fprintf(stderr, "lmscr %s: %s is not an option of %s (lmscr %s --help)\n", command->name, o.c_str(),
                         command->name, command->name);
            return 2;
        }
    // The card in a reader on a tty or behind pcscd is the one a person put there, and only the
    // built-in reader has a line trace: options about the simulated one would be silently ignored.
    auto named = [&](const char* o) { return std::find(given.begin(), given.end(), o) != given.end(); };
    if (named("--port") && named("--pcsc")) {
        std::fprintf(stderr, "lmscr %s: --port and --pcsc name two readers; one at a time\n", command->name);
        return 2;
    }
    if (named("--port") || named("--pcsc"))
        for (const char* o : {"--card", "--trace"})
            if (named(o)) {
                std::fprintf(stderr, "lmscr %s: %s is about the built-in simulated reader, not the one of %s\n",
                             command->name, o, named("--port") ? "--port" : "--pcsc");
                return 2;
            }
    if (named("--image") && named("--pcsc")) {
        std::fprintf(stderr, "lmscr %s: --image is the driver the program runs; through --pcsc pcscd runs its own\n",
                     command->name);
        return 2;
    }
    if (!options.image.empty()) {
        std::string error;
        if (!lmscr::DriverImage::Load(options.image, &error)) {
            std::fprintf(stderr, "lmscr %s: cannot load the driver image %s\n", command->name, error.c_str());
            return 1;
        }
    }
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
    if (words[0] == "cards") return RunCards(options.json, stdout);
    if (words[0] == "version") return Version(options.json, stdout);
    return Events(options.json, stdout);
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
