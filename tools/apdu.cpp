#include "apdu.h"

#include <cctype>
#include <cstdio>

namespace lmscr::tool {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

std::string Hex2(int b) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(b & 0xFF));
    return text;
}

}  // namespace

std::optional<Bytes> ParseHexBytes(std::string_view text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (IsSpace(c)) continue;
        const int d = HexDigit(c);
        if (d < 0) return std::nullopt;
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0 || out.empty()) return std::nullopt;
    return out;
}

bool AnswerPattern::Matches(const Bytes& answer) const {
    if (anyPrefix ? answer.size() < bytes.size() : answer.size() != bytes.size()) return false;
    const size_t from = answer.size() - bytes.size();
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] >= 0 && answer[from + i] != bytes[i]) return false;
    return true;
}

std::string AnswerPattern::Text() const {
    std::string text = anyPrefix ? "..." : "";
    for (int b : bytes) text += (text.empty() ? "" : " ") + (b < 0 ? std::string("??") : Hex2(b));
    return text;
}

std::optional<AnswerPattern> ParsePattern(std::string_view text, std::string& why) {
    AnswerPattern p;
    std::string digits;  // the hex digits of the byte being read
    size_t i = 0;
    text = Trimmed(text);
    if (text.substr(0, 3) == "...") {
        p.anyPrefix = true;
        i = 3;
    }
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (IsSpace(c)) continue;
        if (c == '.') {
            why = "'...' may only lead the expected answer";
            return std::nullopt;
        }
        if (c == '?') {
            if (!digits.empty() || i + 1 >= text.size() || text[i + 1] != '?') {
                why = "a wildcard byte is written ?? (two question marks)";
                return std::nullopt;
            }
            p.bytes.push_back(-1);
            ++i;
            continue;
        }
        if (HexDigit(c) < 0) {
            why = std::string("'") + c + "' is neither a hex digit nor a wildcard ??";
            return std::nullopt;
        }
        digits += c;
        if (digits.size() == 2) {
            p.bytes.push_back(HexDigit(digits[0]) << 4 | HexDigit(digits[1]));
            digits.clear();
        }
    }
    if (!digits.empty()) {
        why = "an odd number of hex digits";
        return std::nullopt;
    }
    if (!p.anyPrefix && p.bytes.empty()) {
        why = "nothing after '=>'";
        return std::nullopt;
    }
    return p;
}

std::string StatusWordMeaning(uint16_t sw) {
    const int sw1 = sw >> 8, sw2 = sw & 0xFF;
    switch (sw) {
    case 0x9000: return "success";
    case 0x6281: return "part of the returned data may be corrupted";
    case 0x6282: return "end of file reached before Le bytes";
    case 0x6283: return "selected file deactivated";
    case 0x6581: return "memory failure";
    case 0x6700: return "wrong length";
    case 0x6881: return "logical channel not supported";
    case 0x6882: return "secure messaging not supported";
    case 0x6982: return "security status not satisfied";
    case 0x6983: return "authentication method blocked";
    case 0x6984: return "referenced data not usable";
    case 0x6985: return "conditions of use not satisfied";
    case 0x6986: return "command not allowed (no current EF)";
    case 0x6A80: return "incorrect parameters in the data field";
    case 0x6A81: return "function not supported";
    case 0x6A82: return "file not found";
    case 0x6A83: return "record not found";
    case 0x6A84: return "not enough memory space in the file";
    case 0x6A86: return "incorrect P1 P2";
    case 0x6A88: return "referenced data not found";
    case 0x6B00: return "wrong offset (P1 P2 beyond the file)";
    case 0x6D00: return "instruction not supported";
    case 0x6E00: return "class not supported";
    case 0x6F00: return "no precise diagnosis";
    default: break;
    }
    // SW2 00 after 61 and 6C stands for 256 (ISO/IEC 7816-3: Le 00 asks for 256 bytes).
    const int count = sw2 == 0 ? 256 : sw2;
    switch (sw1) {
    case 0x61: return "more data available (" + std::to_string(count) + " bytes, fetch with GET RESPONSE)";
    case 0x6C: return "wrong Le (" + std::to_string(count) + " expected)";
    case 0x62: return "warning, non-volatile memory unchanged";
    case 0x63:
        if ((sw2 & 0xF0) == 0xC0)
            return "verification failed (" + std::to_string(sw2 & 0x0F) + (sw2 == 0xC1 ? " try left)" : " tries left)");
        return "warning, non-volatile memory changed";
    case 0x64: return "execution error, non-volatile memory unchanged";
    case 0x65: return "execution error, non-volatile memory changed";
    case 0x66: return "security-related issue";
    case 0x67: return "wrong length";
    case 0x68: return "functions in CLA not supported";
    case 0x69: return "command not allowed";
    case 0x6A: return "wrong parameters P1 P2";
    case 0x6B: return "wrong parameters P1 P2";
    case 0x6D: return "instruction not supported";
    case 0x6E: return "class not supported";
    case 0x6F: return "no precise diagnosis";
    default: break;
    }
    if (sw1 >= 0x90 && sw1 <= 0x9F) return "proprietary status";
    return "not an ISO/IEC 7816-4 status word";
}

std::string ScriptStep::Text() const {
    switch (kind) {
    case Kind::Sleep:
        return std::string("!sleep ") + (depth == Depth::S3 ? "s3" : depth == Depth::Hibernate ? "hibernate" : "shutdown") +
               (critical ? " critical" : "");
    case Kind::Wake: return "!wake";
    case Kind::Remove: return "!remove";
    case Kind::Insert: return card.empty() ? "!insert" : "!insert " + card;
    case Kind::Reset: return protocol < 0 ? "!reset" : "!reset t" + std::to_string(protocol);
    case Kind::Wait: return "!wait " + std::to_string(ms);
    }
    return "!";
}

std::optional<ScriptStep> ParseStep(std::string_view text, std::string& why) {
    std::vector<std::string> words;
    for (size_t at = 0; at < text.size();) {
        if (IsSpace(text[at])) {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < text.size() && !IsSpace(text[end])) ++end;
        words.emplace_back(text.substr(at, end - at));
        at = end;
    }
    if (words.empty()) {
        why = "no step";
        return std::nullopt;
    }
    std::string name = words[0];
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto lower = [](std::string w) {
        for (auto& c : w) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return w;
    };
    const size_t args = words.size() - 1;
    ScriptStep step;
    if (name == "!sleep") {
        step.kind = ScriptStep::Kind::Sleep;
        bool depthGiven = false;
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string w = lower(words[i]);
            if (w == "critical" && !step.critical) {
                step.critical = true;
            } else if (!depthGiven && (w == "s3" || w == "hibernate" || w == "shutdown")) {
                depthGiven = true;
                step.depth = w == "s3" ? ScriptStep::Depth::S3
                             : w == "hibernate" ? ScriptStep::Depth::Hibernate : ScriptStep::Depth::Shutdown;
            } else {
                why = "!sleep takes s3, hibernate or shutdown, and critical, not '" + words[i] + "'";
                return std::nullopt;
            }
        }
    } else if (name == "!wake" || name == "!remove") {
        step.kind = name == "!wake" ? ScriptStep::Kind::Wake : ScriptStep::Kind::Remove;
        if (args) {
            why = name + " takes nothing, not '" + words[1] + "'";
            return std::nullopt;
        }
    } else if (name == "!insert") {
        step.kind = ScriptStep::Kind::Insert;
        if (args > 1) {
            why = "!insert takes one card name (see lmscr cards)";
            return std::nullopt;
        }
        if (args) step.card = words[1];
    } else if (name == "!reset") {
        step.kind = ScriptStep::Kind::Reset;
        const std::string w = args == 1 ? lower(words[1]) : "";
        if (w == "t0" || w == "t=0") {
            step.protocol = 0;
        } else if (w == "t1" || w == "t=1") {
            step.protocol = 1;
        } else if (args) {
            why = "!reset takes t0 or t1, or nothing";
            return std::nullopt;
        }
    } else if (name == "!wait") {
        step.kind = ScriptStep::Kind::Wait;
        constexpr uint64_t kLongest = 3600000;
        const std::string w = args == 1 ? words[1] : "";
        bool digits = !w.empty() && w.size() <= 7;
        for (char c : w) digits = digits && c >= '0' && c <= '9';
        step.ms = digits ? std::stoull(w) : 0;
        if (!digits || step.ms == 0 || step.ms > kLongest) {
            why = "!wait takes a time in ms, 1 to " + std::to_string(kLongest);
            return std::nullopt;
        }
    } else {
        why = "no step '" + words[0] + "' (steps: !sleep, !wake, !remove, !insert, !reset, !wait)";
        return std::nullopt;
    }
    return step;
}

void ParseScript(std::string_view text, std::vector<ScriptLine>& lines, std::vector<ScriptError>& errors,
                 bool slotKnown) {
    // Where the system and the slot stand at each line, and the line that put them there.
    int asleepSince = 0, slotLine = 0;
    bool slotFull = true;
    int number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view raw = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        std::string_view line = raw.substr(0, raw.find('#'));
        line = Trimmed(line);
        if (line.empty()) continue;
        const std::string written(Trimmed(raw));
        if (line.front() == '!') {
            std::string why;
            std::optional<ScriptStep> step;
            if (line.find("=>") != std::string_view::npos)
                why = "a step has no expected answer";
            else
                step = ParseStep(line, why);
            if (!step) {
                errors.push_back({number, written, why});
                continue;
            }
            auto since = [](const char* what, int at) {
                return std::string(what) + (at ? " (line " + std::to_string(at) + ")" : std::string());
            };
            using Kind = ScriptStep::Kind;
            if (asleepSince && step->kind == Kind::Reset)
                why = since("the system sleeps here", asleepSince) + ": the reset would wait for the wake";
            else if (asleepSince && step->kind == Kind::Sleep)
                why = since("the system sleeps already", asleepSince);
            else if (!asleepSince && step->kind == Kind::Wake)
                why = "the system is awake here: nothing to wake";
            else if (slotKnown && !slotFull && step->kind == Kind::Remove)
                why = since("the slot is empty here", slotLine);
            else if (slotKnown && slotFull && step->kind == Kind::Insert)
                why = slotLine ? since("a card is in the slot here", slotLine) : "the run's card is in the slot here";
            if (!why.empty()) {
                errors.push_back({number, written, why});
                continue;
            }
            if (step->kind == Kind::Sleep) asleepSince = number;
            if (step->kind == Kind::Wake) asleepSince = 0;
            if (step->kind == Kind::Remove || step->kind == Kind::Insert) {
                slotFull = step->kind == Kind::Insert;
                slotLine = number;
            }
            ScriptLine parsed;
            parsed.number = number;
            parsed.step = std::move(step);
            lines.push_back(std::move(parsed));
            continue;
        }
        std::string_view command = line, expected;
        const size_t arrow = line.find("=>");
        if (arrow != std::string_view::npos) {
            command = line.substr(0, arrow);
            expected = line.substr(arrow + 2);
        }
        ScriptLine parsed;
        parsed.number = number;
        const auto bytes = ParseHexBytes(command);
        if (!bytes) {
            errors.push_back({number, written, "the command is not hex bytes (two digits each)"});
            continue;
        }
        if (const auto problem = CommandApduProblem(*bytes)) {
            errors.push_back({number, written, *problem});
            continue;
        }
        parsed.command = *bytes;
        if (arrow != std::string_view::npos) {
            std::string why;
            parsed.expected = ParsePattern(expected, why);
            if (!parsed.expected) {
                errors.push_back({number, written, "expected answer: " + why});
                continue;
            }
        }
        if (asleepSince) {
            errors.push_back({number, written,
                              "the system sleeps here (line " + std::to_string(asleepSince) +
                                  "): the command would wait for the wake"});
            continue;
        }
        lines.push_back(std::move(parsed));
    }
}

namespace {

// Instructions that carry command data whatever their parameters, by name.
struct DataInstruction {
    uint8_t ins;
    const char* name;
};
constexpr DataInstruction kDataInstructions[] = {
    {0xD6, "UPDATE BINARY"}, {0xD0, "WRITE BINARY"}, {0xDC, "UPDATE RECORD"}, {0xD2, "WRITE RECORD"},
    {0xE2, "APPEND RECORD"}, {0x82, "EXTERNAL AUTHENTICATE"}, {0x24, "CHANGE REFERENCE DATA"},
};
constexpr uint8_t kInsSelect = 0xA4;

std::string Hex2(uint8_t b) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}

}  // namespace

std::optional<std::string> CommandApduProblem(const Bytes& c) {
    if (c.size() < kMinCommandBytes || c.size() > kMaxCommandBytes)
        return "a command has " + std::to_string(kMinCommandBytes) + " to " + std::to_string(kMaxCommandBytes) +
               " bytes, not " + std::to_string(c.size());
    if (c.size() == 5) {
        const std::string le = "byte 5 (" + Hex2(c[4]) + ") would be Le, ";
        for (const auto& d : kDataInstructions)
            if (c[1] == d.ins)
                return le + "but " + d.name + " (INS " + Hex2(d.ins) + ") sends data to the card: as Lc it wants " +
                       std::to_string(c[4]) + " data bytes after it";
        // SELECT by identifier, name or path carries what it selects; P1 00 without data selects
        // the MF and P1 03 the parent, and an FCI may be asked for then, but not with "no answer" in P2.
        if (c[1] == kInsSelect && (c[2] != 0x00 && c[2] != 0x03))
            return le + "but SELECT with P1 " + Hex2(c[2]) + " sends what it selects: as Lc it wants " +
                   std::to_string(c[4]) + " data bytes after it";
        if (c[1] == kInsSelect && (c[3] & 0x0C) == 0x0C)
            return le + "but SELECT with P2 " + Hex2(c[3]) + " asks for no answer: as Lc it wants " +
                   std::to_string(c[4]) + " data bytes after it";
        return std::nullopt;
    }
    if (c.size() == 4) return std::nullopt;
    const size_t lc = c[4];
    if (lc == 0)
        return "byte 5 (00) before data would open an extended length, which this reader does not carry";
    const size_t after = c.size() - 5;
    if (after != lc && after != lc + 1)
        return "byte 5 (Lc " + Hex2(c[4]) + ") announces " + std::to_string(lc) + " data byte" + (lc == 1 ? "" : "s") +
               (after > lc ? " and at most an Le" : "") + ", " + std::to_string(after) + " follow" + (after == 1 ? "s" : "");
    return std::nullopt;
}

std::string JsonEscaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += c;
            }
        }
    }
    return out;
}

}  // namespace lmscr::tool
