// The text side of `lmscr send` and `lmscr script`: command APDUs written in hex, the answers a
// script expects, the ISO/IEC 7816-4 status words in words, and the script's line format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lmscr::tool {

using Bytes = std::vector<uint8_t>;

// CLA INS P1 P2 at least; a short APDU's longest is CLA INS P1 P2 Lc, 255 data bytes, Le.
inline constexpr size_t kMinCommandBytes = 4;
inline constexpr size_t kMaxCommandBytes = 261;

// Hex bytes, spaces optional between and inside ("00A4 0000" is 00 A4 00 00); nothing for an
// odd number of digits, a character that is neither a hex digit nor a space, or no byte at all.
std::optional<Bytes> ParseHexBytes(std::string_view text);

// Why `command` cannot go to a card as it stands, naming the byte; nothing when it can. The
// length must tell the case (ISO/IEC 7816-4 short APDUs: 4 bytes; 5, the last Le; 5 + Lc; 6 + Lc,
// the last Le): an Lc of 00 before data (an extended length, which this reader does not carry) or
// an Lc that disagrees with the bytes after it is refused. So is a 5-byte command whose INS only
// ever sends data to the card (a write, an update, a select by name or path, a select that asks
// for no answer): its fifth byte can only be a mistaken Lc without the data, and a T=0 card would
// wait for data that never comes, then be powered down.
std::optional<std::string> CommandApduProblem(const Bytes& command);

// An expected answer, matched against the whole answer (data, then SW1 SW2):
//   hex byte  that byte
//   ??        any one byte
//   ...       any number of bytes (none included); first item only
// so "90 00" is an answer of exactly 90 00, "... 90 00" any answer ending in success, and
// "?? ?? 61 ??" two data bytes and a 61xx. Spaces are optional, as in commands.
struct AnswerPattern {
    bool anyPrefix = false;               // led by "..."
    std::vector<int> bytes;               // 0..255, or -1 for "??"
    bool Matches(const Bytes& answer) const;
    std::string Text() const;             // "... 90 00", "?? 6C ??"
};
// Nothing, with `why` set, for text that is no pattern.
std::optional<AnswerPattern> ParsePattern(std::string_view text, std::string& why);

// The meaning of a status word, e.g. "more data available (16 bytes)" for 6110.
std::string StatusWordMeaning(uint16_t sw);

// A step of a script: something a person does to the machine or the card between commands.
//   !sleep [s3|hibernate|shutdown] [critical]  the system sleeps (default s3); critical: no
//                                              query first, as a failing battery does it
//   !wake                                      the system wakes
//   !remove                                    the card is taken out
//   !insert [NAME]                             a card goes in (default: the run's card)
//   !reset [t0|t1]                             cold reset and protocol selection again
//                                              (default: the protocol chosen as at the start)
//   !wait MS                                   MS virtual milliseconds pass (1 to 3600000)
struct ScriptStep {
    enum class Kind { Sleep, Wake, Remove, Insert, Reset, Wait };
    enum class Depth { S3, Hibernate, Shutdown };
    Kind kind = Kind::Wait;
    Depth depth = Depth::S3;  // Sleep
    bool critical = false;    // Sleep
    std::string card;         // Insert; empty: the run's card
    int protocol = -1;        // Reset: 0 or 1 for T=0 or T=1, -1 as at the start
    uint64_t ms = 0;          // Wait
    std::string Text() const; // as written, in one spelling: "!sleep hibernate critical"
};
// Nothing, with `why` set, for a step line ("!..."; no comment) that is no step.
std::optional<ScriptStep> ParseStep(std::string_view text, std::string& why);

// One line of a script:  APDU [=> EXPECTED]  # comment,  or a step.
struct ScriptLine {
    int number = 0;  // from 1
    Bytes command;   // empty for a step
    std::optional<AnswerPattern> expected;
    std::optional<ScriptStep> step;
};
struct ScriptError {
    int number = 0;
    std::string text;  // the line as written
    std::string why;
};
// Every command and step line of the script, or every line that is neither (blank lines and
// comment lines are neither). A script starts awake with the run's card in the slot; a line that
// cannot run where it stands is an error too: a command or !reset while the system sleeps (it
// would wait for the wake), !sleep while asleep, !wake while awake, !remove from an empty slot,
// !insert into a full one. A script with errors runs nothing. Without `slotKnown` (a reader on a
// tty, whose slot holds whatever a person put there) the slot is not followed: !insert and
// !remove wait for the person and may stand anywhere.
void ParseScript(std::string_view text, std::vector<ScriptLine>& lines, std::vector<ScriptError>& errors,
                 bool slotKnown = true);

// Text for JSON string values: quotes, backslashes and control characters escaped.
std::string JsonEscaped(std::string_view text);

}  // namespace lmscr::tool
