// SmartcardLogError: event-log entries with the code, the logging object, the time, and the
// optional insertion string and dump word.
#include <gtest/gtest.h>

#include <string>

#include "fake_reader.h"

using namespace lmscr::smclib::test;

namespace {

class SmartcardLog : public ::testing::Test {
protected:
    Rig rig;
};

TEST_F(SmartcardLog, entry_carries_code_object_and_time) {
    rig.K().Sleep(25);
    SmartcardLogError(rig.Device(), static_cast<NTSTATUS>(0xC0040004), nullptr, 0);
    auto log = rig.K().EventLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, 0xC0040004u);
    EXPECT_EQ(log[0].objectPointer, rig.Device());
    EXPECT_EQ(log[0].timeNs, 25'000'000u);
    EXPECT_TRUE(log[0].strings.empty());
    EXPECT_TRUE(log[0].dumpData.empty());
}

TEST_F(SmartcardLog, driver_object_logs_under_the_driver_name) {
    SmartcardLogError(rig.Driver(), static_cast<NTSTATUS>(0xC0040005), nullptr, 0);
    auto log = rig.K().EventLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].objectPointer, rig.Driver());
    EXPECT_NE(log[0].object.find("fakereader"), std::string::npos) << log[0].object;
}

TEST_F(SmartcardLog, insertion_string_and_dump_word_are_kept) {
    std::u16string text = u"COM3";
    UNICODE_STRING insertion;
    insertion.Buffer = reinterpret_cast<PWSTR>(text.data());
    insertion.Length = insertion.MaximumLength = static_cast<USHORT>(text.size() * 2);
    SmartcardLogError(rig.Device(), static_cast<NTSTATUS>(0x40040007), &insertion, 0x1234ABCD);
    auto log = rig.K().EventLog();
    ASSERT_EQ(log.size(), 1u);
    ASSERT_EQ(log[0].strings.size(), 1u);
    EXPECT_EQ(log[0].strings[0], u"COM3");
    ASSERT_EQ(log[0].dumpData.size(), 1u);
    EXPECT_EQ(log[0].dumpData[0], 0x1234ABCDu);
}

TEST_F(SmartcardLog, overlong_insertion_string_is_cut_to_the_entry) {
    std::u16string text(500, u'x');
    UNICODE_STRING insertion;
    insertion.Buffer = reinterpret_cast<PWSTR>(text.data());
    insertion.Length = insertion.MaximumLength = static_cast<USHORT>(text.size() * 2);
    SmartcardLogError(rig.Device(), static_cast<NTSTATUS>(0xC0100003), &insertion, 0);
    auto log = rig.K().EventLog();
    ASSERT_EQ(log.size(), 1u);
    ASSERT_EQ(log[0].strings.size(), 1u);
    // Whatever fits the 240-byte entry after the header, and a prefix of what was given.
    const size_t room = (ERROR_LOG_MAXIMUM_SIZE - sizeof(IO_ERROR_LOG_PACKET)) / 2 - 1;
    EXPECT_EQ(log[0].strings[0], text.substr(0, room));
}

TEST_F(SmartcardLog, no_object_logs_nothing) {
    SmartcardLogError(nullptr, static_cast<NTSTATUS>(0xC0040001), nullptr, 0);
    EXPECT_TRUE(rig.K().EventLog().empty());
}

}  // namespace
