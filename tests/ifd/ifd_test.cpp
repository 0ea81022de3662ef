// The handler's entry points called as pcscd calls them, against the simulated reader on a
// pseudo-terminal: the kernel in real time, the POSIX port, the driver, all inside the handler.
//
// Real time: card moves reach the driver asynchronously, so a test waits for the state it
// expects, bounded generously; no assertion is about how long anything took.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "pty_helper.h"

// The handler's report of the kernel's last shutdown (leaks found by the verifier).
extern "C" const char* LmscrIfdShutdownReport();

namespace {

using Bytes = std::vector<uint8_t>;
constexpr DWORD kLun = 0;
constexpr DWORD kOtherLun = 0x10000;
const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

// Polls the presence until it gives `want`, for up to 20 s.
bool WaitPresence(DWORD lun, RESPONSECODE want) {
    for (int i = 0; i < 4000; ++i) {
        if (IFDHICCPresence(lun) == want) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

Bytes PowerUp(DWORD lun, RESPONSECODE* rv, DWORD action = IFD_POWER_UP) {
    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    *rv = IFDHPowerICC(lun, action, atr, &length);
    return Bytes(atr, atr + length);
}

// `protocol` as pcscd numbers it for a transmit: 0 T=0, 1 T=1.
Bytes Transmit(DWORD lun, DWORD protocol, const Bytes& apdu, RESPONSECODE* rv) {
    SCARD_IO_HEADER send{protocol, 8};
    SCARD_IO_HEADER recv{};
    UCHAR rx[300];
    DWORD rxLength = sizeof rx;
    *rv = IFDHTransmitToICC(lun, send, const_cast<PUCHAR>(apdu.data()), static_cast<DWORD>(apdu.size()), rx, &rxLength,
                            &recv);
    if (*rv == IFD_SUCCESS) {
        EXPECT_EQ(recv.Protocol, protocol);
    }
    return Bytes(rx, rx + rxLength);
}

template <typename Fn>
Fn Capability(DWORD lun, DWORD tag) {
    Fn fn = nullptr;
    DWORD length = sizeof fn;
    EXPECT_EQ(IFDHGetCapabilities(lun, tag, &length, reinterpret_cast<PUCHAR>(&fn)), IFD_SUCCESS);
    return fn;
}
using PollFn = RESPONSECODE (*)(DWORD, int);
using StopFn = RESPONSECODE (*)(DWORD);

// The handler's polling routine, called on a thread of its own as pcscd's event thread calls it.
struct Poll {
    Poll(DWORD lun, int timeoutMs)
        : result(std::async(std::launch::async, [lun, timeoutMs, poll = Capability<PollFn>(lun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT)] {
              return poll ? poll(lun, timeoutMs) : IFD_COMMUNICATION_ERROR;
          })) {}
    bool ReturnedWithin(int ms) { return result.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready; }
    std::future<RESPONSECODE> result;
};

Bytes StatusWord(const Bytes& answer) {
    return answer.size() < 2 ? answer : Bytes(answer.end() - 2, answer.end());
}

// After the card pcscd powered went (swapped, or powered down by the driver): no ATR is offered for
// it, a command for it is not sent, pcscd's next look says it went (so no removal is lost), a
// later one finds the card in the slot, and a power-up gives that card's ATR.
void ExpectReportedGoneAndBack(DWORD lun, const std::string& profile) {
    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    ASSERT_EQ(IFDHGetCapabilities(lun, TAG_IFD_ATR, &length, atr), IFD_SUCCESS);
    EXPECT_EQ(length, 0u) << "an ATR for a card that went";
    RESPONSECODE rv;
    Transmit(lun, 1, kSelectMf, &rv);
    EXPECT_EQ(rv, IFD_ICC_NOT_PRESENT) << "a command reached a card pcscd has yet to hear went";
    EXPECT_EQ(IFDHICCPresence(lun), IFD_ICC_NOT_PRESENT);
    EXPECT_TRUE(WaitPresence(lun, IFD_ICC_PRESENT));
    EXPECT_EQ(PowerUp(lun, &rv), lmscr::ifdtest::ProfileAtr(profile));
}

class Handler : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        reader = lmscr::ifdtest::OpenPtyReader(&error);
        ASSERT_NE(reader, nullptr) << error;
        path = reader->SlavePath();
        ASSERT_EQ(IFDHCreateChannelByName(kLun, path.data()), IFD_SUCCESS);
        // Until the last channel closes the kernel runs: there is no report of its shutdown yet.
        EXPECT_STREQ(LmscrIfdShutdownReport(), "no shutdown");
    }
    void TearDown() override {
        // Closing every channel shuts the handler's kernel down, the driver unloaded; the next
        // test's channel starts a kernel afresh.
        IFDHCloseChannel(kLun);
        IFDHCloseChannel(kOtherLun);
        EXPECT_EQ(IFDHICCPresence(kLun), IFD_NO_SUCH_DEVICE);
        EXPECT_STREQ(LmscrIfdShutdownReport(), "") << "the kernel did not shut down clean";
    }

    std::unique_ptr<lmscr::ifdtest::PtyReader> reader;
    std::string path;
};

TEST_F(Handler, card_session_from_presence_to_close) {
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);

    UCHAR version[8] = {};
    DWORD returned = 0;
    ASSERT_EQ(IFDHControl(kLun, SCARD_CTL_CODE(2049), nullptr, 0, version, sizeof version, &returned), IFD_SUCCESS);
    ASSERT_EQ(returned, 8u);
    EXPECT_EQ(version[6], 2);  // the simulated firmware's version, 2.3
    EXPECT_EQ(version[7], 3);

    ASSERT_TRUE(reader->Insert("t1"));
    ASSERT_TRUE(WaitPresence(kLun, IFD_ICC_PRESENT));
    RESPONSECODE rv;
    Bytes atr = PowerUp(kLun, &rv);
    ASSERT_EQ(rv, IFD_SUCCESS);
    EXPECT_EQ(atr, lmscr::ifdtest::ProfileAtr("t1"));

    UCHAR value[64];
    DWORD length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, value), IFD_SUCCESS);
    EXPECT_EQ(Bytes(value, value + length), atr);

    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    Bytes answer = Transmit(kLun, 1, kSelectMf, &rv);
    ASSERT_EQ(rv, IFD_SUCCESS);
    EXPECT_EQ(StatusWord(answer), (Bytes{0x90, 0x00}));

    // A warm reset answers the same ATR; the protocol is chosen again after it.
    EXPECT_EQ(PowerUp(kLun, &rv, IFD_RESET), atr);
    EXPECT_EQ(rv, IFD_SUCCESS);
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    EXPECT_EQ(StatusWord(Transmit(kLun, 1, kSelectMf, &rv)), (Bytes{0x90, 0x00}));

    UCHAR unused[MAX_ATR_SIZE];
    DWORD unusedLength = sizeof unused;
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, unused, &unusedLength), IFD_SUCCESS);
    EXPECT_EQ(unusedLength, 0u);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, value), IFD_SUCCESS);
    EXPECT_EQ(length, 0u) << "no ATR once the card is powered down";
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);

    atr = PowerUp(kLun, &rv);
    ASSERT_EQ(rv, IFD_SUCCESS);
    ASSERT_TRUE(reader->Remove());
    ASSERT_TRUE(WaitPresence(kLun, IFD_ICC_NOT_PRESENT));
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, value), IFD_SUCCESS);
    EXPECT_EQ(length, 0u) << "an ATR once the card was reported absent";
    Transmit(kLun, 1, kSelectMf, &rv);
    EXPECT_EQ(rv, IFD_ICC_NOT_PRESENT);
    PowerUp(kLun, &rv);
    EXPECT_EQ(rv, IFD_ICC_NOT_PRESENT);

    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_NO_SUCH_DEVICE);
}

TEST_F(Handler, capabilities_answer_what_is_true_and_refuse_the_rest) {
    UCHAR value[64];
    DWORD length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_SLOTS_NUMBER, &length, value), IFD_SUCCESS);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(value[0], 1);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_THREAD_SAFE, &length, value), IFD_SUCCESS);
    EXPECT_EQ(value[0], 1);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_SLOT_THREAD_SAFE, &length, value), IFD_SUCCESS);
    EXPECT_EQ(value[0], 0);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_SIMULTANEOUS_ACCESS, &length, value), IFD_SUCCESS);
    EXPECT_GE(value[0], 2);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, SCARD_ATTR_VENDOR_IFD_VERSION, &length, value), IFD_SUCCESS);
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(value[3], 2);
    EXPECT_EQ(value[2], 3);

    // The polling routine and its stop, as pcscd takes them: a function pointer each. Not a
    // killable thread: cancelled in the middle of its wait it would leave the channel's lock held.
    for (auto [tag, code] : {std::pair{TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, IFD_SUCCESS}, {TAG_IFD_STOP_POLLING_THREAD, IFD_SUCCESS},
                             {TAG_IFD_POLLING_THREAD_KILLABLE, IFD_ERROR_TAG}, {0x1234, IFD_ERROR_TAG}}) {
        length = sizeof value;
        EXPECT_EQ(IFDHGetCapabilities(kLun, tag, &length, value), code) << std::hex << tag;
        EXPECT_EQ(length, code == IFD_SUCCESS ? sizeof(void (*)()) : sizeof value) << std::hex << tag;
    }
    EXPECT_EQ(IFDHSetCapabilities(kLun, TAG_IFD_SLOTNUM, 1, value), IFD_ERROR_TAG);

    // A buffer too short for the answer.
    ASSERT_TRUE(reader->Insert("t1"));
    ASSERT_TRUE(WaitPresence(kLun, IFD_ICC_PRESENT));
    RESPONSECODE rv;
    PowerUp(kLun, &rv);
    ASSERT_EQ(rv, IFD_SUCCESS);
    length = 4;
    EXPECT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, value), IFD_ERROR_INSUFFICIENT_BUFFER);
    length = 0;
    EXPECT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_SLOTS_NUMBER, &length, value), IFD_ERROR_INSUFFICIENT_BUFFER);
    UCHAR version[4];
    DWORD returned = 99;
    EXPECT_EQ(IFDHControl(kLun, SCARD_CTL_CODE(2049), nullptr, 0, version, sizeof version, &returned),
              IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(returned, 0u);
    // A transmit whose answer does not fit: SELECT MF answers at least its status word.
    SCARD_IO_HEADER send{1, 8};
    SCARD_IO_HEADER recv{};
    UCHAR rx[1];
    DWORD rxLength = sizeof rx;
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    EXPECT_EQ(IFDHTransmitToICC(kLun, send, const_cast<PUCHAR>(kSelectMf.data()), 7, rx, &rxLength, &recv),
              IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(rxLength, 0u);
    // The channel still serves after all of that.
    EXPECT_EQ(StatusWord(Transmit(kLun, 1, kSelectMf, &rv)), (Bytes{0x90, 0x00}));
    EXPECT_EQ(rv, IFD_SUCCESS);
}

TEST_F(Handler, bad_requests_get_codes_not_crashes) {
    UCHAR value[64];
    DWORD length = sizeof value;
    DWORD returned = 0;
    // A channel nobody opened.
    EXPECT_EQ(IFDHGetCapabilities(7, TAG_IFD_SLOTS_NUMBER, &length, value), IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(IFDHICCPresence(7), IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(IFDHPowerICC(7, IFD_POWER_UP, value, &length), IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(IFDHSetProtocolParameters(7, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(IFDHControl(7, SCARD_CTL_CODE(2049), nullptr, 0, value, sizeof value, &returned), IFD_NO_SUCH_DEVICE);
    RESPONSECODE rv;
    Transmit(7, 1, kSelectMf, &rv);
    EXPECT_EQ(rv, IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(IFDHCloseChannel(7), IFD_NO_SUCH_DEVICE);

    // Devices that are no reader, and a channel opened twice.
    EXPECT_EQ(IFDHCreateChannelByName(8, const_cast<LPSTR>("/nonexistent/tty")), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHCreateChannelByName(8, const_cast<LPSTR>("/dev/null")), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHCreateChannelByName(8, nullptr), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHCreateChannelByName(kLun, path.data()), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHICCPresence(8), IFD_NO_SUCH_DEVICE);

    // Requests the reader has no use for.
    EXPECT_EQ(IFDHControl(kLun, SCARD_CTL_CODE(1), nullptr, 0, value, sizeof value, &returned), IFD_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(IFDHPowerICC(kLun, 12345, value, &length), IFD_NOT_SUPPORTED);
    EXPECT_EQ(IFDHSetProtocolParameters(kLun, 0x4 /* RAW */, 0, 0, 0, 0), IFD_PROTOCOL_NOT_SUPPORTED);
    EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, IFD_NEGOTIATE_PTS1, 0x11, 0, 0), IFD_NOT_SUPPORTED);

    // With no card: a transmit and a protocol are refused as pcscd expects.
    Transmit(kLun, 1, kSelectMf, &rv);
    EXPECT_EQ(rv, IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_ICC_NOT_PRESENT);

    // A T=1 card asked for T=0 only; a transmit in a protocol the card was not set to.
    ASSERT_TRUE(reader->Insert("t1"));
    ASSERT_TRUE(WaitPresence(kLun, IFD_ICC_PRESENT));
    PowerUp(kLun, &rv);
    ASSERT_EQ(rv, IFD_SUCCESS);
    EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_PROTOCOL_NOT_SUPPORTED);
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    Transmit(kLun, 0, kSelectMf, &rv);
    EXPECT_NE(rv, IFD_SUCCESS);
    Transmit(kLun, 9, kSelectMf, &rv);
    EXPECT_EQ(rv, IFD_PROTOCOL_NOT_SUPPORTED);
    EXPECT_EQ(StatusWord(Transmit(kLun, 1, kSelectMf, &rv)), (Bytes{0x90, 0x00}));
}

// The largest legal ATR: TS, T0 with TA1..TD1, TB2 TC2 TD2, TA3..TD3, TA4 TB4 TC4, fifteen
// historical bytes and TCK, 33 bytes.
Bytes LargestAtr() {
    Bytes atr = {0x3B, 0xFF, 0x11, 0x00, 0x00, 0xE1, 0x00, 0x00, 0xF1, 0x20, 0x45, 0x00, 0xF1, 0x00, 0x00, 0x00, 0x01};
    for (uint8_t h = 0; h < 15; ++h) atr.push_back(static_cast<uint8_t>(0xA0 + h));
    uint8_t tck = 0;
    for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
    return atr;
}

std::string AtrProfile(const Bytes& atr) {
    std::string hex = "atr:";
    for (uint8_t b : atr) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", b);
        hex += two;
    }
    return hex;
}

Bytes CachedAtr(DWORD lun) {
    UCHAR value[64];
    DWORD length = sizeof value;
    EXPECT_EQ(IFDHGetCapabilities(lun, TAG_IFD_ATR, &length, value), IFD_SUCCESS);
    return Bytes(value, value + std::min<DWORD>(length, sizeof value));
}

// A power-up into less room than the longest ATR, or with no buffer or no length, is refused
// before the card is touched: nothing written, no ATR offered, the card not powered.  A reader
// that does not answer is a time-out to pcscd, as a card that falls silent in a command is (see
// the_card_pcscd_powered_goes_and_the_slot_is_reported_anew).  The largest ATR fills exactly
// MAX_ATR_SIZE bytes.
TEST_F(Handler, power_up_needs_room_for_the_largest_atr_and_a_reader_that_answers) {
    const Bytes atr = LargestAtr();
    ASSERT_EQ(atr.size(), static_cast<size_t>(MAX_ATR_SIZE));
    ASSERT_TRUE(reader->Insert(AtrProfile(atr)));
    ASSERT_TRUE(WaitPresence(kLun, IFD_ICC_PRESENT));

    UCHAR buffer[MAX_ATR_SIZE + 1];
    DWORD length = sizeof buffer;
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, nullptr, &length), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(CachedAtr(kLun), Bytes{});
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_RESET, buffer, nullptr), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(CachedAtr(kLun), Bytes{});
    std::fill(std::begin(buffer), std::end(buffer), 0xEE);
    length = MAX_ATR_SIZE - 1;
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, buffer, &length), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(Bytes(std::begin(buffer), std::end(buffer)), Bytes(sizeof buffer, 0xEE));
    EXPECT_EQ(CachedAtr(kLun), Bytes{});

    ASSERT_TRUE(reader->Mute(true));
    length = MAX_ATR_SIZE;
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, buffer, &length), IFD_RESPONSE_TIMEOUT);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(CachedAtr(kLun), Bytes{});
    ASSERT_TRUE(reader->Mute(false));

    length = MAX_ATR_SIZE;
    ASSERT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, buffer, &length), IFD_SUCCESS);
    EXPECT_EQ(Bytes(buffer, buffer + length), atr);
    EXPECT_EQ(buffer[MAX_ATR_SIZE], 0xEE);
    EXPECT_EQ(CachedAtr(kLun), atr);
    length = MAX_ATR_SIZE - 1;
    EXPECT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, buffer), IFD_ERROR_INSUFFICIENT_BUFFER);

    // A power-down needs neither buffer nor length.
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, nullptr, nullptr), IFD_SUCCESS);
    EXPECT_EQ(CachedAtr(kLun), Bytes{});
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
}

// Two readers, each with its own card, used from two threads at once; closing one leaves the
// other serving.
TEST_F(Handler, two_channels_serve_in_parallel) {
    std::string error;
    auto other = lmscr::ifdtest::OpenPtyReader(&error);
    ASSERT_NE(other, nullptr) << error;
    std::string otherPath = other->SlavePath();
    ASSERT_EQ(IFDHCreateChannelByName(kOtherLun, otherPath.data()), IFD_SUCCESS);
    ASSERT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    ASSERT_EQ(IFDHICCPresence(kOtherLun), IFD_ICC_NOT_PRESENT);

    // Each channel's polling routine wakes for its own card only.
    Poll poll(kLun, 30000), otherPoll(kOtherLun, 30000);
    ASSERT_TRUE(other->Insert("t0"));
    ASSERT_TRUE(otherPoll.ReturnedWithin(10000));
    EXPECT_FALSE(poll.ReturnedWithin(300));
    ASSERT_TRUE(reader->Insert("t1"));
    ASSERT_TRUE(poll.ReturnedWithin(10000));
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    EXPECT_EQ(IFDHICCPresence(kOtherLun), IFD_ICC_PRESENT);

    RESPONSECODE rv;
    EXPECT_EQ(PowerUp(kLun, &rv), lmscr::ifdtest::ProfileAtr("t1"));
    EXPECT_EQ(PowerUp(kOtherLun, &rv), lmscr::ifdtest::ProfileAtr("t0"));
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    ASSERT_EQ(IFDHSetProtocolParameters(kOtherLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);

    // The T=0 card answers SELECT with 61 xx, and its data to the GET RESPONSE that follows.
    auto run = [](DWORD lun, DWORD protocol, int* good) {
        for (int i = 0; i < 40; ++i) {
            RESPONSECODE r;
            Bytes answer = Transmit(lun, protocol, kSelectMf, &r);
            if (protocol == 0 && r == IFD_SUCCESS && answer.size() == 2 && answer[0] == 0x61)
                answer = Transmit(lun, protocol, Bytes{0x00, 0xC0, 0x00, 0x00, answer[1]}, &r);
            if (r == IFD_SUCCESS && StatusWord(answer) == Bytes{0x90, 0x00}) {
                ++*good;
            } else {
                std::string bytes;
                for (uint8_t b : answer) bytes += " " + std::to_string(b);
                std::fprintf(stderr, "lun %lx, transmit %d: code %ld, answer%s\n", static_cast<unsigned long>(lun), i,
                             static_cast<long>(r), bytes.c_str());
            }
        }
    };
    int goodT1 = 0, goodT0 = 0;
    std::thread a(run, kLun, 1, &goodT1);
    std::thread b(run, kOtherLun, 0, &goodT0);
    a.join();
    b.join();
    EXPECT_EQ(goodT1, 40);
    EXPECT_EQ(goodT0, 40);

    ASSERT_EQ(IFDHCloseChannel(kOtherLun), IFD_SUCCESS);
    EXPECT_EQ(IFDHICCPresence(kOtherLun), IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(StatusWord(Transmit(kLun, 1, kSelectMf, &rv)), (Bytes{0x90, 0x00}));
    EXPECT_EQ(rv, IFD_SUCCESS);
}

// The pseudo-terminal closes in the middle of a command (the cable pulled): the command fails as
// soon as the port reports it, pcscd's poll wakes and hears of the card, then of the reader, gone.
TEST_F(Handler, an_unplugged_reader_fails_the_command_in_flight_and_is_reported_gone) {
    ASSERT_TRUE(reader->Insert("t1-slow"));  // some 600 ms a command: the unplug falls inside one
    ASSERT_TRUE(WaitPresence(kLun, IFD_ICC_PRESENT));
    RESPONSECODE rv;
    PowerUp(kLun, &rv);
    ASSERT_EQ(rv, IFD_SUCCESS);
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    Poll poll(kLun, 30000);
    auto inFlight = std::async(std::launch::async, [] {
        RESPONSECODE r;
        Transmit(kLun, 1, kSelectMf, &r);
        return r;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto unplugged = std::chrono::steady_clock::now();
    reader->Unplug();
    ASSERT_EQ(inFlight.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - unplugged).count();
    std::printf("the command in flight failed %.3f s after the unplug\n", seconds);
    EXPECT_EQ(inFlight.get(), IFD_NO_SUCH_DEVICE);
    EXPECT_LT(seconds, 3.0);  // the hang-up is seen in 0.1 s; the reader's own time-outs take 7 s
    ASSERT_TRUE(poll.ReturnedWithin(3000));
    // The card goes first, so that pcscd drops it from its listing at once.
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_NO_SUCH_DEVICE);
    Transmit(kLun, 1, kSelectMf, &rv);
    EXPECT_EQ(rv, IFD_NO_SUCH_DEVICE);
    PowerUp(kLun, &rv);
    EXPECT_EQ(rv, IFD_NO_SUCH_DEVICE);
}

// The card pcscd powered goes, swapped however quickly or powered down by the driver when it
// fell silent in a command: the poll wakes, and pcscd's looks report it gone, then the card in
// the slot.
TEST_F(Handler, the_card_pcscd_powered_goes_and_the_slot_is_reported_anew) {
    ASSERT_TRUE(reader->Insert("t0"));
    ASSERT_TRUE(WaitPresence(kLun, IFD_ICC_PRESENT));
    struct Case {
        int swapGapMs;  // between the removal and the insertion; < 0: no swap, a power-down
        const char* next;
    };
    for (Case c : {Case{-1, "t0"}, Case{0, "t1"}, Case{20, "t0"}, Case{100, "t1"}}) {
        SCOPED_TRACE(c.swapGapMs < 0 ? std::string("powered down") : "swap in " + std::to_string(c.swapGapMs) + " ms");
        RESPONSECODE rv;
        PowerUp(kLun, &rv);
        ASSERT_EQ(rv, IFD_SUCCESS);
        Poll poll(kLun, 30000);
        EXPECT_FALSE(poll.ReturnedWithin(200)) << "nothing new yet";
        if (c.swapGapMs < 0) {
            // SELECT with Lc 2 and no data: the T=0 card waits for two bytes that never come.
            ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
            Transmit(kLun, 0, {0x00, 0xA4, 0x00, 0x0C, 0x02}, &rv);
            EXPECT_EQ(rv, IFD_RESPONSE_TIMEOUT);
        } else {
            ASSERT_TRUE(reader->Remove());
            std::this_thread::sleep_for(std::chrono::milliseconds(c.swapGapMs));
            ASSERT_TRUE(reader->Insert(c.next));
        }
        ASSERT_TRUE(poll.ReturnedWithin(10000));
        ExpectReportedGoneAndBack(kLun, c.next);
    }
}

// The stop routine ends the wait in progress, or the next one if none is (pcscd may stop its
// thread before it waits); a channel closed under a wait, its tracking request parked, ends it.
TEST_F(Handler, the_polling_routine_returns_on_its_time_out_a_stop_and_a_close) {
    auto stop = Capability<StopFn>(kLun, TAG_IFD_STOP_POLLING_THREAD);
    auto pollNow = Capability<PollFn>(kLun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
    ASSERT_TRUE(stop && pollNow);
    ASSERT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(pollNow(kLun, 50), IFD_SUCCESS);  // nothing new: its time-out ends it
    {
        Poll poll(kLun, 30000);
        EXPECT_FALSE(poll.ReturnedWithin(300));
        EXPECT_EQ(stop(kLun), IFD_SUCCESS);
        ASSERT_TRUE(poll.ReturnedWithin(10000));
    }
    EXPECT_EQ(stop(kLun), IFD_SUCCESS);
    EXPECT_TRUE(Poll(kLun, 30000).ReturnedWithin(10000)) << "a stop given before the wait was lost";
    Poll poll(kLun, 30000);
    EXPECT_FALSE(poll.ReturnedWithin(300)) << "one stop ended two waits";
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    ASSERT_TRUE(poll.ReturnedWithin(10000));
    EXPECT_EQ(pollNow(kLun, 30000), IFD_NO_SUCH_DEVICE);  // no channel: at once
}

// Runs an open on a thread of its own, so that one that never returns fails by name.
RESPONSECODE OpenBounded(std::function<RESPONSECODE()> open, double* seconds) {
    const auto start = std::chrono::steady_clock::now();
    auto result = std::async(std::launch::async, std::move(open));
    if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "the channel's open did not return in 60 s";
        std::_Exit(1);  // the handler holds pcscd's thread: nothing sound is left to do
    }
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result.get();
}

// Nothing behind the port: the driver's start fails, the open is refused, and no channel, kernel
// or leak is left behind.
// LMSCR_DEBUG in pcscd's environment: the driver's lines of those classes in pcscd's log, for the
// kernel started then; the next kernel, started without it, is silent again.
TEST(HandlerOpen, lmscr_debug_puts_the_driver_lines_in_the_log) {
    for (const bool on : {true, false}) {
        std::string error;
        auto reader = lmscr::ifdtest::OpenPtyReader(&error);
        ASSERT_NE(reader, nullptr) << error;
        std::string path = reader->SlavePath();
        if (on) setenv("LMSCR_DEBUG", "atr", 1);
        testing::internal::CaptureStderr();
        ASSERT_EQ(IFDHCreateChannelByName(kLun, path.data()), IFD_SUCCESS);
        unsetenv("LMSCR_DEBUG");
        ASSERT_TRUE(reader->Insert("t1"));
        ASSERT_TRUE(WaitPresence(kLun, IFD_ICC_PRESENT));
        RESPONSECODE rv;
        EXPECT_EQ(PowerUp(kLun, &rv), lmscr::ifdtest::ProfileAtr("t1"));
        IFDHCloseChannel(kLun);
        const std::string log = testing::internal::GetCapturedStderr();
        const std::string line = "lmscr ifd: debug lmscr!CardPower: cold reset, answer to reset of 12 bytes, TS 3B T0 94\n";
        EXPECT_EQ(log.find(line) != std::string::npos, on) << log;
        EXPECT_EQ(log.find("lmscr!") != std::string::npos, on) << log;
    }
}

TEST(HandlerOpen, a_reader_that_never_answers_is_refused) {
    std::string error;
    auto silent = lmscr::ifdtest::OpenSilentTty(&error);
    ASSERT_NE(silent, nullptr) << error;
    std::string path = silent->SlavePath();
    double seconds = 0;
    EXPECT_EQ(OpenBounded([&] { return IFDHCreateChannelByName(kLun, path.data()); }, &seconds),
              IFD_COMMUNICATION_ERROR);
    std::printf("open refused after %.3f s\n", seconds);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_NO_SUCH_DEVICE);
    EXPECT_STREQ(LmscrIfdShutdownReport(), "");
}

// A reader.conf.d entry with a CHANNELID and no DEVICENAME: the channel number names the serial
// port (/dev/ttySn for a number n that is no traditional port address), here one that is not.
TEST(HandlerOpen, a_channel_number_without_its_port_is_refused) {
    double seconds = 0;
    EXPECT_EQ(OpenBounded([] { return IFDHCreateChannel(kLun, 4000); }, &seconds), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_NO_SUCH_DEVICE);
    EXPECT_STREQ(LmscrIfdShutdownReport(), "");
}

}  // namespace
