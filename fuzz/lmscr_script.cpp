// The program's script reader: ParseScript over the whole text, and ParseHexBytes, ParsePattern
// and ParseStep over each of its lines.
// Input: the script text, as a file would hold it.
// Oracle: no crash, no undefined behaviour; whatever parses, written back in the program's own
// spelling (hex bytes, AnswerPattern::Text, ScriptStep::Text), parses again to the same thing;
// a script without errors written back so is a script without errors with the same lines.
#include <string>
#include <string_view>
#include <vector>

#include "input.h"
#include "tools/apdu.h"

namespace {

using lmscr::fuzz::Fail;
using lmscr::fuzz::Hex;
using namespace lmscr::tool;

bool Same(const AnswerPattern& a, const AnswerPattern& b) { return a.anyPrefix == b.anyPrefix && a.bytes == b.bytes; }

bool Same(const ScriptStep& a, const ScriptStep& b) {
    return a.kind == b.kind && a.depth == b.depth && a.critical == b.critical && a.card == b.card &&
           a.protocol == b.protocol && a.ms == b.ms;
}

bool Same(const ScriptLine& a, const ScriptLine& b) {
    if (a.command != b.command || a.expected.has_value() != b.expected.has_value() ||
        a.step.has_value() != b.step.has_value())
        return false;
    if (a.expected && !Same(*a.expected, *b.expected)) return false;
    if (a.step && !Same(*a.step, *b.step)) return false;
    return true;
}

std::string Written(const ScriptLine& line) {
    if (line.step) return line.step->Text();
    std::string s = Hex(line.command);
    if (line.expected) s += " => " + line.expected->Text();
    return s;
}

void CheckOneLine(std::string_view text) {
    if (auto bytes = ParseHexBytes(text)) {
        auto again = ParseHexBytes(Hex(*bytes));
        if (!again || *again != *bytes) Fail("hex bytes do not parse back", std::string(text));
    }
    std::string why;
    if (auto pattern = ParsePattern(text, why)) {
        const std::string written = pattern->Text();
        auto again = ParsePattern(written, why);
        if (!again || !Same(*again, *pattern))
            Fail("a pattern does not parse back", std::string(text) + " -> " + written + " (" + why + ")");
        Bytes answer;
        for (int b : pattern->bytes) answer.push_back(static_cast<uint8_t>(b < 0 ? 0 : b));
        if (!pattern->Matches(answer)) Fail("a pattern does not match an answer made from it", written);
    }
    if (auto step = ParseStep(text, why)) {
        const std::string written = step->Text();
        auto again = ParseStep(written, why);
        if (!again || !Same(*again, *step))
            Fail("a step does not parse back", std::string(text) + " -> " + written + " (" + why + ")");
    }
    if (text.size() >= 2) (void)StatusWordMeaning(static_cast<uint16_t>((uint8_t(text[0]) << 8) | uint8_t(text[1])));
    for (char c : JsonEscaped(text))
        if (static_cast<unsigned char>(c) < 0x20) Fail("a control character left in JSON text", std::string(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (bool slotKnown : {true, false}) {
        std::vector<ScriptLine> lines;
        std::vector<ScriptError> errors;
        ParseScript(text, lines, errors, slotKnown);
        for (const ScriptLine& line : lines) {
            if (line.step.has_value() == !line.command.empty())
                Fail("a script line is neither a command nor a step, or both", Written(line));
            if (!line.step && (line.command.size() < kMinCommandBytes || line.command.size() > kMaxCommandBytes))
                Fail("a command of a length no APDU has", Written(line));
        }
        if (!errors.empty()) continue;
        std::string written;
        for (const ScriptLine& line : lines) written += Written(line) + "\n";
        std::vector<ScriptLine> again;
        std::vector<ScriptError> againErrors;
        ParseScript(written, again, againErrors, slotKnown);
        if (!againErrors.empty())
            Fail("a script written back has errors", written + "\nline " + std::to_string(againErrors[0].number) + ": " +
                                                         againErrors[0].why);
        if (again.size() != lines.size()) Fail("a script written back has other lines", written);
        for (size_t i = 0; i < lines.size(); ++i)
            if (!Same(lines[i], again[i])) Fail("a script line written back reads otherwise", Written(lines[i]));
    }
    size_t from = 0;
    while (from <= text.size()) {
        size_t to = text.find('\n', from);
        if (to == std::string::npos) to = text.size();
        CheckOneLine(std::string_view(text).substr(from, to - from));
        from = to + 1;
    }
    return 0;
}
