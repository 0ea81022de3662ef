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

// One line of a script:  APDU [=> EXPECTED]  # comment
struct ScriptLine {
    int number = 0;  // from 1
    Bytes command;
    std::optional<AnswerPattern> expected;
};
struct ScriptError {
    int number = 0;
    std::string text;  // the line as written
    std::string why;
};
// Every command line of the script, or every line that is none (blank lines and comment lines
// are neither). A script with errors runs nothing.
void ParseScript(std::string_view text, std::vector<ScriptLine>& lines, std::vector<ScriptError>& errors);

// Text for JSON string values: quotes, backslashes and control characters escaped.
std::string JsonEscaped(std::string_view text);

}  // namespace lmscr::tool
