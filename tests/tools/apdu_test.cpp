#include "tools/apdu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lmscr::tool {
namespace {

AnswerPattern Pattern(const char* text) {
    std::string why;
    auto p = ParsePattern(text, why);
    EXPECT_TRUE(p.has_value()) << text << ": " << why;
    return p.value_or(AnswerPattern{});
}

std::string Refusal(const char* text) {
    std::string why;
    EXPECT_FALSE(ParsePattern(text, why).has_value()) << text;
    return why;
}

TEST(ApduHex, spaces_are_optional_between_and_inside_bytes) {
    EXPECT_EQ(ParseHexBytes("00 A4 00 00 02 3F 00"), (Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}));
    EXPECT_EQ(ParseHexBytes("00a40000023f00"), (Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}));
    EXPECT_EQ(ParseHexBytes(" 0 0B0\t0000 "), (Bytes{0x00, 0xB0, 0x00, 0x00}));
}

TEST(ApduHex, odd_digits_other_characters_and_nothing_are_refused) {
    EXPECT_FALSE(ParseHexBytes("00 A4 0"));
    EXPECT_FALSE(ParseHexBytes("00 A4 0G 00"));
    EXPECT_FALSE(ParseHexBytes("0x00"));
    EXPECT_FALSE(ParseHexBytes(""));
    EXPECT_FALSE(ParseHexBytes("   "));
}

TEST(AnswerPatternTest, without_ellipsis_the_whole_answer_must_match) {
    const AnswerPattern ok = Pattern("90 00");
    EXPECT_TRUE(ok.Matches({0x90, 0x00}));
    EXPECT_FALSE(ok.Matches({0x01, 0x90, 0x00})) << "data before the status word is not in the pattern";
    EXPECT_FALSE(ok.Matches({0x90}));
    EXPECT_FALSE(ok.Matches({0x6A, 0x82}));
}

TEST(AnswerPatternTest, wildcards_stand_for_exactly_one_byte) {
    const AnswerPattern p = Pattern("?? ?? 61 ??");
    EXPECT_TRUE(p.Matches({0x01, 0x02, 0x61, 0x10}));
    EXPECT_FALSE(p.Matches({0x01, 0x61, 0x10}));
    EXPECT_FALSE(p.Matches({0x01, 0x02, 0x6C, 0x10}));
    EXPECT_TRUE(Pattern("????9000").Matches({0xAA, 0xBB, 0x90, 0x00}));
}

TEST(AnswerPatternTest, a_leading_ellipsis_takes_any_number_of_bytes_before) {
    const AnswerPattern p = Pattern("... 90 00");
    EXPECT_TRUE(p.Matches({0x90, 0x00}));
    Bytes long_answer(256, 0x5A);
    long_answer.push_back(0x90);
    long_answer.push_back(0x00);
    EXPECT_TRUE(p.Matches(long_answer));
    long_answer.back() = 0x01;
    EXPECT_FALSE(p.Matches(long_answer));
    EXPECT_TRUE(Pattern("...").Matches({0x6A, 0x82}));
}

TEST(AnswerPatternTest, text_is_written_back_in_one_form) {
    EXPECT_EQ(Pattern("...9000").Text(), "... 90 00");
    EXPECT_EQ(Pattern("??6c??").Text(), "?? 6C ??");
    EXPECT_EQ(Pattern("  62 82 ").Text(), "62 82");
}

TEST(AnswerPatternTest, malformed_patterns_say_why) {
    EXPECT_NE(Refusal("90 0").find("odd"), std::string::npos);
    EXPECT_NE(Refusal("90 ... 00").find("lead"), std::string::npos);
    EXPECT_NE(Refusal("? 90 00").find("two question marks"), std::string::npos);
    EXPECT_NE(Refusal("9? 00").find("two question marks"), std::string::npos);
    EXPECT_NE(Refusal("90 0O").find("'O'"), std::string::npos);
    EXPECT_NE(Refusal("  ").find("nothing"), std::string::npos);
}

TEST(StatusWords, the_card_applications_words_are_named) {
    EXPECT_EQ(StatusWordMeaning(0x9000), "success");
    EXPECT_EQ(StatusWordMeaning(0x6282), "end of file reached before Le bytes");
    EXPECT_EQ(StatusWordMeaning(0x6700), "wrong length");
    EXPECT_EQ(StatusWordMeaning(0x6982), "security status not satisfied");
    EXPECT_EQ(StatusWordMeaning(0x6983), "authentication method blocked");
    EXPECT_EQ(StatusWordMeaning(0x6985), "conditions of use not satisfied");
    EXPECT_EQ(StatusWordMeaning(0x6986), "command not allowed (no current EF)");
    EXPECT_EQ(StatusWordMeaning(0x6A82), "file not found");
    EXPECT_EQ(StatusWordMeaning(0x6A86), "incorrect P1 P2");
    EXPECT_EQ(StatusWordMeaning(0x6B00), "wrong offset (P1 P2 beyond the file)");
    EXPECT_EQ(StatusWordMeaning(0x6D00), "instruction not supported");
    EXPECT_EQ(StatusWordMeaning(0x6E00), "class not supported");
}

TEST(StatusWords, counts_in_sw2_are_read_with_00_as_256) {
    EXPECT_EQ(StatusWordMeaning(0x6109), "more data available (9 bytes, fetch with GET RESPONSE)");
    EXPECT_EQ(StatusWordMeaning(0x6100), "more data available (256 bytes, fetch with GET RESPONSE)");
    EXPECT_EQ(StatusWordMeaning(0x6C10), "wrong Le (16 expected)");
    EXPECT_EQ(StatusWordMeaning(0x6C00), "wrong Le (256 expected)");
    EXPECT_EQ(StatusWordMeaning(0x63C2), "verification failed (2 tries left)");
    EXPECT_EQ(StatusWordMeaning(0x63C1), "verification failed (1 try left)");
    EXPECT_EQ(StatusWordMeaning(0x63C0), "verification failed (0 tries left)");
}

TEST(StatusWords, unnamed_words_fall_back_to_their_class) {
    EXPECT_EQ(StatusWordMeaning(0x6299), "warning, non-volatile memory unchanged");
    EXPECT_EQ(StatusWordMeaning(0x6300), "warning, non-volatile memory changed");
    EXPECT_EQ(StatusWordMeaning(0x6401), "execution error, non-volatile memory unchanged");
    EXPECT_EQ(StatusWordMeaning(0x6501), "execution error, non-volatile memory changed");
    EXPECT_EQ(StatusWordMeaning(0x6701), "wrong length");
    EXPECT_EQ(StatusWordMeaning(0x6800), "functions in CLA not supported");
    EXPECT_EQ(StatusWordMeaning(0x6999), "command not allowed");
    EXPECT_EQ(StatusWordMeaning(0x6A99), "wrong parameters P1 P2");
    EXPECT_EQ(StatusWordMeaning(0x9123), "proprietary status");
    EXPECT_EQ(StatusWordMeaning(0x1234), "not an ISO/IEC 7816-4 status word");
    EXPECT_EQ(StatusWordMeaning(0x6000), "not an ISO/IEC 7816-4 status word");
}

TEST(StatusWords, every_word_has_a_meaning) {
    for (uint32_t sw = 0; sw <= 0xFFFF; ++sw) ASSERT_FALSE(StatusWordMeaning(static_cast<uint16_t>(sw)).empty()) << sw;
}

TEST(Script, comments_blank_lines_and_expectations) {
    std::vector<ScriptLine> lines;
    std::vector<ScriptError> errors;
    ParseScript("# a script\n"
                "\n"
                "00 A4 00 0C 02 3F 00 => 90 00   # SELECT MF\r\n"
                "   \t\n"
                "00B0000010\n"
                "00 B0 00 00 10 => ... 90 00\n"
                "  # indented comment => 90 00\n"
                "00 84 00 00 08 => ?? ?? ?? ?? ?? ?? ?? ?? 90 00",
                lines, errors);
    EXPECT_TRUE(errors.empty());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].number, 3);
    EXPECT_EQ(lines[0].command, (Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}));
    ASSERT_TRUE(lines[0].expected);
    EXPECT_EQ(lines[0].expected->Text(), "90 00");
    EXPECT_EQ(lines[1].number, 5);
    EXPECT_FALSE(lines[1].expected);
    EXPECT_EQ(lines[2].number, 6);
    EXPECT_EQ(lines[2].expected->Text(), "... 90 00");
    EXPECT_EQ(lines[3].number, 8);
    EXPECT_EQ(lines[3].expected->bytes.size(), 10u);
}

TEST(Script, every_malformed_line_is_named_with_its_number) {
    std::vector<ScriptLine> lines;
    std::vector<ScriptError> errors;
    ParseScript("00 A4 00 0C 02 3F 00\n"
                "00 A4 0\n"          // odd
                "00 A4 00\n"         // three bytes
                "SELECT MF\n"        // words
                "00 B0 00 00 10 =>\n"  // nothing expected
                "00 B0 00 00 10 => 90 00 ...\n"
                + std::string("00 D6 00 00 FF ") + std::string(257 * 2, 'A') + "\n",  // 262 bytes
                lines, errors);
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(errors.size(), 6u);
    EXPECT_EQ(errors[0].number, 2);
    EXPECT_EQ(errors[0].why, "the command is not hex bytes (two digits each)");
    EXPECT_EQ(errors[1].number, 3);
    EXPECT_EQ(errors[1].why, "a command has 4 to 261 bytes, not 3");
    EXPECT_EQ(errors[2].number, 4);
    EXPECT_EQ(errors[2].text, "SELECT MF");
    EXPECT_EQ(errors[3].number, 5);
    EXPECT_EQ(errors[3].why, "expected answer: nothing after '=>'");
    EXPECT_EQ(errors[4].number, 6);
    EXPECT_EQ(errors[5].why, "a command has 4 to 261 bytes, not 262");
}

TEST(ScriptSteps, every_step_and_its_arguments_in_one_spelling) {
    const std::pair<const char*, const char*> cases[] = {
        {"!sleep", "!sleep s3"},
        {"!SLEEP Hibernate", "!sleep hibernate"},
        {"!sleep critical shutdown", "!sleep shutdown critical"},
        {"!sleep critical", "!sleep s3 critical"},
        {"!wake", "!wake"},
        {"!remove", "!remove"},
        {"!insert", "!insert"},
        {"!insert t0-null", "!insert t0-null"},
        {"!reset", "!reset"},
        {"!reset T=0", "!reset t0"},
        {"!reset t1", "!reset t1"},
        {"!wait 250", "!wait 250"},
        {"!wait\t3600000", "!wait 3600000"},
    };
    for (const auto& [text, spelled] : cases) {
        std::string why;
        const auto step = ParseStep(text, why);
        ASSERT_TRUE(step) << text << ": " << why;
        EXPECT_EQ(step->Text(), spelled);
    }
    std::string why;
    const auto hibernate = ParseStep("!sleep hibernate critical", why);
    EXPECT_EQ(hibernate->depth, ScriptStep::Depth::Hibernate);
    EXPECT_TRUE(hibernate->critical);
    EXPECT_EQ(ParseStep("!wait 90", why)->ms, 90u);
    EXPECT_EQ(ParseStep("!reset", why)->protocol, -1);
    EXPECT_EQ(ParseStep("!reset t0", why)->protocol, 0);
}

TEST(ScriptSteps, malformed_steps_say_why) {
    const std::pair<const char*, const char*> cases[] = {
        {"!nap", "no step '!nap' (steps: !sleep, !wake, !remove, !insert, !reset, !wait)"},
        {"!sleep s4", "!sleep takes s3, hibernate or shutdown, and critical, not 's4'"},
        {"!sleep s3 hibernate", "!sleep takes s3, hibernate or shutdown, and critical, not 'hibernate'"},
        {"!sleep critical critical", "!sleep takes s3, hibernate or shutdown, and critical, not 'critical'"},
        {"!wake now", "!wake takes nothing, not 'now'"},
        {"!remove t0", "!remove takes nothing, not 't0'"},
        {"!insert t0 t1", "!insert takes one card name (see lmscr cards)"},
        {"!reset t2", "!reset takes t0 or t1, or nothing"},
        {"!reset t0 t1", "!reset takes t0 or t1, or nothing"},
        {"!wait", "!wait takes a time in ms, 1 to 3600000"},
        {"!wait 0", "!wait takes a time in ms, 1 to 3600000"},
        {"!wait 3600001", "!wait takes a time in ms, 1 to 3600000"},
        {"!wait 10ms", "!wait takes a time in ms, 1 to 3600000"},
        {"!wait -5", "!wait takes a time in ms, 1 to 3600000"},
    };
    for (const auto& [text, reason] : cases) {
        std::string why;
        EXPECT_FALSE(ParseStep(text, why)) << text;
        EXPECT_EQ(why, reason) << text;
    }
}

TEST(ScriptSteps, lines_that_cannot_run_where_they_stand_are_errors) {
    std::vector<ScriptLine> lines;
    std::vector<ScriptError> errors;
    ParseScript("!insert t0\n"                     // 1: the run's card is in
                "!wake\n"                          // 2: awake
                "!sleep   # S3\n"                  // 3
                "00 A4 00 0C 02 3F 00 => 90 00\n"  // 4: would wait for the wake
                "!reset\n"                         // 5: so would the reset
                "!sleep hibernate\n"               // 6: asleep already
                "!remove\n"                        // 7
                "!remove\n"                        // 8: the slot is empty
                "!wait 100 => 90 00\n"             // 9
                "!insert t0\n"                     // 10
                "!insert\n"                        // 11: t0 is in
                "!wake\n"                          // 12
                "!reset t0\n"                      // 13
                "00 A4 00 0C 02 3F 00\n",          // 14
                lines, errors);
    ASSERT_EQ(errors.size(), 8u);
    const std::pair<int, const char*> expected[] = {
        {1, "the run's card is in the slot here"},
        {2, "the system is awake here: nothing to wake"},
        {4, "the system sleeps here (line 3): the command would wait for the wake"},
        {5, "the system sleeps here (line 3): the reset would wait for the wake"},
        {6, "the system sleeps already (line 3)"},
        {8, "the slot is empty here (line 7)"},
        {9, "a step has no expected answer"},
        {11, "a card is in the slot here (line 10)"},
    };
    for (size_t i = 0; i < errors.size(); ++i) {
        EXPECT_EQ(errors[i].number, expected[i].first);
        EXPECT_EQ(errors[i].why, expected[i].second) << errors[i].text;
    }
    EXPECT_EQ(errors[2].text, "00 A4 00 0C 02 3F 00 => 90 00");
    // The lines that can run are kept in order, steps and commands alike.
    std::vector<int> numbers;
    for (const auto& l : lines) numbers.push_back(l.number);
    EXPECT_EQ(numbers, (std::vector<int>{3, 7, 10, 12, 13, 14}));
    EXPECT_TRUE(lines[0].step && lines[0].command.empty());
    EXPECT_EQ(lines[2].step->card, "t0");
    EXPECT_FALSE(lines[5].step);
    EXPECT_EQ(lines[5].command.size(), 7u);
}

// On a tty the slot holds whatever a person put there: card moves are waited for, in any order,
// while the system's sleep is still followed.
TEST(ScriptSteps, on_a_tty_card_moves_stand_anywhere) {
    std::vector<ScriptLine> lines;
    std::vector<ScriptError> errors;
    ParseScript("!insert\n!insert\n!remove\n!remove\n!wake\n", lines, errors, false);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].number, 5);
    EXPECT_EQ(lines.size(), 4u);
}

TEST(Json, strings_are_escaped) {
    EXPECT_EQ(JsonEscaped("plain"), "plain");
    EXPECT_EQ(JsonEscaped("a \"card\" \\ x"), "a \\\"card\\\" \\\\ x");
    EXPECT_EQ(JsonEscaped("line\nnext\ttab\x01"), "line\\nnext\\ttab\\u0001");
}

// The length tells the case, and a fifth byte that can only be an Lc without its data is refused;
// every well-formed case passes, whatever the INS.
TEST(CommandCheck, the_length_tells_the_case_or_the_byte_is_named) {
    struct Case {
        const char* command;
        const char* problem;  // the start of the refusal; nullptr: sent as it stands
    } cases[] = {
        {"00 A4 00 00", nullptr},                        // case 1
        {"00 B0 00 00 10", nullptr},                     // case 2
        {"00 A4 00 00 02", nullptr},                     // case 2: SELECT MF with an FCI asked for
        {"00 A4 03 0C 00", "byte 5 (00) would be Le, but SELECT with P2 0C asks for no answer"},
        {"00 A4 03 00 00", nullptr},                     // the parent, with its FCI
        {"00 A4 00 0C 02 3F 00", nullptr},               // case 3
        {"00 A4 04 00 02 3F 00 00", nullptr},            // case 4
        {"00 A4 08 00 10", "byte 5 (10) would be Le, but SELECT with P1 08 sends what it selects"},
        {"00 DC 01 04 0A", "byte 5 (0A) would be Le, but UPDATE RECORD (INS DC) sends data to the card"},
        {"00 20 00 01 08", nullptr},                     // VERIFY may ask for the tries left
        {"00 A4 00 00 03 3F 00", "byte 5 (Lc 03) announces 3 data bytes, 2 follow"},
        {"00 A4 00 00 01 3F 00 00", "byte 5 (Lc 01) announces 1 data byte and at most an Le, 3 follow"},
        {"00 A4 00 00 00 3F 00", "byte 5 (00) before data would open an extended length"},
        {"00 A4 00", "a command has 4 to 261 bytes, not 3"},
    };
    for (const auto& c : cases) {
        const auto problem = CommandApduProblem(*ParseHexBytes(c.command));
        if (c.problem == nullptr) {
            EXPECT_FALSE(problem.has_value()) << c.command << ": " << problem.value_or("");
        } else {
            ASSERT_TRUE(problem.has_value()) << c.command;
            EXPECT_EQ(problem->rfind(c.problem, 0), 0u) << c.command << ": " << *problem;
        }
    }
}

}  // namespace
}  // namespace lmscr::tool
