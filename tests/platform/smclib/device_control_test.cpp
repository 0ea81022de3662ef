// SmartcardDeviceControl through a reader driver: each standard request's checks, what reaches
// the reader functions, what comes back to the caller, and one reader function at a time.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "fake_reader.h"
#include "smclib_core.h"

using namespace lmscr::smclib;
using namespace lmscr::smclib::test;
using lmscr::kernel::IoResult;

namespace {

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};  // case 3
const Bytes kOk = {0x90, 0x00};

Bytes Lrc(Bytes block) {
    UCHAR lrc = 0;
    for (UCHAR b : block) lrc ^= b;
    block.push_back(lrc);
    return block;
}

// A T=1 card (ISO/IEC 7816-3 11): confirms an IFS request, answers each I-block with an
// I-block of its own carrying `answer`, sequence numbers alternating from 0.
struct T1Card {
    Bytes answer = {0x90, 0x00};
    UCHAR ns = 0;
    Bytes operator()(const Bytes &sent) {
        const UCHAR pcb = sent.at(1);
        if (pcb == 0xC1) return Lrc({0x00, 0xE1, 0x01, sent.at(3)});
        if ((pcb & 0x80) != 0) return {};
        Bytes block = {0x00, static_cast<UCHAR>(ns ? 0x40 : 0x00), static_cast<UCHAR>(answer.size())};
        block.insert(block.end(), answer.begin(), answer.end());
        ns ^= 1;
        return Lrc(block);
    }
};

class DeviceControl : public ::testing::Test {
protected:
    void SetUp() override { rig.S().card = [](const Bytes &) { return kOk; }; }
    IoResult Transmit(ULONG protocol, const Bytes &apdu, ULONG out = 8 + 258) {
        return rig.Io(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(protocol, apdu), out);
    }
    const std::vector<std::string> &Calls() { return rig.S().calls; }
    Rig rig;
};

// ---- power ----------------------------------------------------------------------------------

TEST_F(DeviceControl, cold_reset_returns_the_atr) {
    rig.S().atr = kAtrT0;
    rig.UpdateCardState(SCARD_SWALLOWED);
    IoResult r = rig.Io(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, kAtrT0.size());
    EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + 4), kAtrT0);
    EXPECT_EQ(Calls(), std::vector<std::string>{"power 1"});
    EXPECT_EQ(rig.Ext().ReaderCapabilities.CurrentState, ULONG{SCARD_NEGOTIABLE});
}

TEST_F(DeviceControl, warm_reset_and_power_down_reach_the_reader_with_their_codes) {
    rig.InsertAndReset(kAtrT0, 0);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_POWER, Ulong(SCARD_WARM_RESET), 33).status, STATUS_SUCCESS);
    IoResult down = rig.Io(IOCTL_SMARTCARD_POWER, Ulong(SCARD_POWER_DOWN), 0);
    EXPECT_EQ(down.status, STATUS_SUCCESS);
    EXPECT_EQ(down.information, 0u);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"power 2", "power 0"}));
}

TEST_F(DeviceControl, reset_without_room_for_a_full_atr_is_refused_before_the_reader) {
    rig.UpdateCardState(SCARD_SWALLOWED);
    IoResult r = rig.Io(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), MAXIMUM_ATR_LENGTH - 1);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(Calls().empty());
}

TEST_F(DeviceControl, power_with_bad_input_is_an_invalid_parameter) {
    rig.UpdateCardState(SCARD_SWALLOWED);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_POWER, {}, 33).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_POWER, {1, 0, 0}, 33).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_POWER, Ulong(3), 33).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Calls().empty());
}

// The reader's power-down marks a card present; without a card that would invent one.
TEST_F(DeviceControl, power_without_a_card_is_refused_before_the_reader) {
    for (ULONG state : {ULONG{SCARD_UNKNOWN}, ULONG{SCARD_ABSENT}}) {
        rig.Ext().ReaderCapabilities.CurrentState = state;
        EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 33).status, STATUS_NO_MEDIA);
        EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_POWER, Ulong(SCARD_POWER_DOWN), 0).status, STATUS_NO_MEDIA);
    }
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(rig.Ext().ReaderCapabilities.CurrentState, ULONG{SCARD_ABSENT});
}

TEST_F(DeviceControl, failing_reset_returns_the_reader_status_and_no_data) {
    rig.UpdateCardState(SCARD_SWALLOWED);
    rig.S().power_status = STATUS_IO_TIMEOUT;
    IoResult r = rig.Io(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 33);
    EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(r.information, 0u);
    IoResult last = rig.Io(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
    EXPECT_EQ(last.status, STATUS_SUCCESS);
    EXPECT_EQ(UlongAt(last.output), static_cast<ULONG>(STATUS_IO_TIMEOUT));
}

// ---- protocol selection ---------------------------------------------------------------------

TEST_F(DeviceControl, set_protocol_passes_the_mask_and_returns_the_selection) {
    rig.InsertAndReset(kAtrT1, 0);
    IoResult r = rig.Io(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(UlongAt(r.output), ULONG{SCARD_PROTOCOL_T1});
    EXPECT_EQ(Calls(), std::vector<std::string>{"protocol 3"});
}

TEST_F(DeviceControl, set_protocol_checks_buffers_mask_and_card) {
    rig.InsertAndReset(kAtrT0, 0);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_SET_PROTOCOL, {1, 0, 0}, 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0), 3).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(0), 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(0x100), 4).status, STATUS_INVALID_PARAMETER);
    rig.Ext().ReaderCapabilities.CurrentState = SCARD_SWALLOWED;  // card in, not reset
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0), 4).status,
              STATUS_INVALID_DEVICE_STATE);
    rig.UpdateCardState(SCARD_ABSENT);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0), 4).status, STATUS_NO_MEDIA);
    EXPECT_TRUE(Calls().empty());
}

TEST_F(DeviceControl, refused_protocol_returns_the_reader_status) {
    rig.InsertAndReset(kAtrT0, 0);
    IoResult r = rig.Io(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4);
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.information, 0u);
}

// ---- transmit -------------------------------------------------------------------------------

TEST_F(DeviceControl, t0_command_and_answer_with_headers) {
    rig.InsertAndReset(kAtrT0, SCARD_PROTOCOL_T0);
    IoResult r = Transmit(SCARD_PROTOCOL_T0, kSelectMf);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 10u);
    EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + 10), (Bytes{1, 0, 0, 0, 8, 0, 0, 0, 0x90, 0x00}));
    ASSERT_EQ(rig.S().sent.size(), 1u);
    EXPECT_EQ(rig.S().sent[0], kSelectMf);
}

TEST_F(DeviceControl, t1_command_after_reset_sends_the_ifs_request_first) {
    rig.S().card = T1Card{};
    rig.InsertAndReset(kAtrT1, SCARD_PROTOCOL_T1);
    IoResult r = Transmit(SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 0x02});
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(r.output.begin(), r.output.begin() + r.information),
              (Bytes{2, 0, 0, 0, 8, 0, 0, 0, 0x90, 0x00}));
    ASSERT_EQ(rig.S().sent.size(), 2u);
    EXPECT_EQ(rig.S().sent[0], Lrc({0x00, 0xC1, 0x01, 0xFE}));
    EXPECT_EQ(rig.S().sent[1], Lrc({0x00, 0x00, 0x05, 0x00, 0xB0, 0x00, 0x00, 0x02}));
    EXPECT_EQ(rig.S().t1_state_on_entry, Bytes{T1_INIT});
}

TEST_F(DeviceControl, suppressed_ifs_request_starts_with_the_command) {
    rig.S().card = T1Card{};
    const Bytes set = Concat(Ulong(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST), Ulong(1));
    ASSERT_EQ(rig.Io(IOCTL_SMARTCARD_SET_ATTRIBUTE, set, 0).status, STATUS_SUCCESS);
    rig.InsertAndReset(kAtrT1, SCARD_PROTOCOL_T1);
    ASSERT_EQ(Transmit(SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 0x02}).status, STATUS_SUCCESS);
    ASSERT_EQ(rig.S().sent.size(), 1u);
    EXPECT_EQ(rig.S().sent[0][1], 0x00) << "first block is the I-block";
}

// A command abandoned half way leaves its block state; the next command must start afresh.
TEST_F(DeviceControl, stale_t1_state_is_restarted_for_the_next_command) {
    rig.S().card = T1Card{};
    rig.InsertAndReset(kAtrT1, SCARD_PROTOCOL_T1);
    ASSERT_EQ(Transmit(SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 0x02}).status, STATUS_SUCCESS);
    rig.Ext().T1.State = T1_R_BLOCK;
    IoResult r = Transmit(SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 0x02});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(rig.S().t1_state_on_entry.back(), T1_START);
    EXPECT_EQ(rig.S().sent.back()[1], 0x40) << "an I-block with N(S) = 1, not an R-block";
}

TEST_F(DeviceControl, transmit_needs_a_selected_protocol_matching_the_header) {
    rig.InsertAndReset(kAtrT0, 0);  // negotiable: no protocol selected yet
    EXPECT_EQ(Transmit(SCARD_PROTOCOL_T0, kSelectMf).status, STATUS_INVALID_DEVICE_STATE);
    rig.InsertAndReset(kAtrT0, SCARD_PROTOCOL_T0);
    EXPECT_EQ(Transmit(SCARD_PROTOCOL_T1, kSelectMf).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Transmit(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, kSelectMf).status, STATUS_INVALID_DEVICE_STATE);
    rig.UpdateCardState(SCARD_ABSENT);
    EXPECT_EQ(Transmit(SCARD_PROTOCOL_T0, kSelectMf).status, STATUS_NO_MEDIA);
    EXPECT_TRUE(Calls().empty());
}

TEST_F(DeviceControl, transmit_header_and_lengths_are_checked_before_the_reader) {
    rig.InsertAndReset(kAtrT0, SCARD_PROTOCOL_T0);
    const Bytes good = TransmitInput(SCARD_PROTOCOL_T0, kSelectMf);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_TRANSMIT, Bytes(good.begin(), good.begin() + 7), 266).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T0, kSelectMf, 4), 266).status,
              STATUS_INVALID_PARAMETER);
    Bytes beyond = good;
    beyond[4] = static_cast<UCHAR>(good.size() + 1);  // cbPciLength past the input
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_TRANSMIT, beyond, 266).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x00}), 266).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_TRANSMIT, good, 9).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(Calls().empty());
}

TEST_F(DeviceControl, longer_request_header_is_skipped_to_reach_the_apdu) {
    rig.InsertAndReset(kAtrT0, SCARD_PROTOCOL_T0);
    IoResult r = rig.Io(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T0, kSelectMf, 20), 10);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(rig.S().sent.size(), 1u);
    EXPECT_EQ(rig.S().sent[0], kSelectMf);
}

TEST_F(DeviceControl, card_answer_longer_than_the_reply_room_is_refused) {
    rig.InsertAndReset(kAtrT0, SCARD_PROTOCOL_T0);
    rig.S().card = [](const Bytes &) { return Bytes{0x01, 0x02, 0x03, 0x90, 0x00}; };
    IoResult r = Transmit(SCARD_PROTOCOL_T0, {0x00, 0xB0, 0x00, 0x00, 0x03}, 12);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
}

TEST_F(DeviceControl, mute_card_status_reaches_the_caller_and_last_error) {
    rig.InsertAndReset(kAtrT0, SCARD_PROTOCOL_T0);
    EXPECT_EQ(UlongAt(rig.Io(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4).output), 0u);
    rig.S().card = [](const Bytes &) { return Bytes{}; };
    EXPECT_EQ(Transmit(SCARD_PROTOCOL_T0, kSelectMf).status, STATUS_DEVICE_PROTOCOL_ERROR);
    IoResult last = rig.Io(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
    EXPECT_EQ(last.information, 4u);
    EXPECT_EQ(UlongAt(last.output), static_cast<ULONG>(STATUS_DEVICE_PROTOCOL_ERROR));
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 3).status, STATUS_BUFFER_TOO_SMALL);
}

// ---- state, vendor and the rest ---------------------------------------------------------------

TEST_F(DeviceControl, get_state_returns_the_card_state) {
    rig.InsertAndReset(kAtrT0, SCARD_PROTOCOL_T0);
    IoResult r = rig.Io(IOCTL_SMARTCARD_GET_STATE, {}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(UlongAt(r.output), ULONG{SCARD_SPECIFIC});
    EXPECT_EQ(rig.Io(IOCTL_SMARTCARD_GET_STATE, {}, 3).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(DeviceControl, vendor_code_reaches_the_vendor_function_with_the_request) {
    IoResult r = rig.Io(SCARD_CTL_CODE(2049), {}, 8);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 8u);
    EXPECT_EQ(r.output, (Bytes{0x50, 0x01, 0, 0, 1, 0, 7, 9}));
    EXPECT_EQ(rig.S().vendor_code_seen, ULONG{SCARD_CTL_CODE(2049)});
    EXPECT_EQ(rig.Ext().OsData->CurrentIrp, nullptr) << "CurrentIrp outlived the call";
    EXPECT_EQ(rig.Io(SCARD_CTL_CODE(2049), {}, 7).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(rig.Io(SCARD_CTL_CODE(2050), {1, 2, 3}, 16).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(rig.S().vendor_code_seen, ULONG{SCARD_CTL_CODE(2050)});
}

TEST(DeviceControlNoVendor, vendor_code_is_refused_when_the_reader_has_none) {
    Rig rig(0, [](SMARTCARD_EXTENSION &ext) { ext.ReaderFunction[RDF_IOCTL_VENDOR] = nullptr; });
    IoResult r = rig.Io(SCARD_CTL_CODE(2049), {}, 8);
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(rig.S().calls.empty());
}

TEST_F(DeviceControl, requests_without_a_reader_function_are_refused) {
    rig.InsertAndReset(kAtrT0, SCARD_PROTOCOL_T0);
    for (ULONG code : {IOCTL_SMARTCARD_EJECT, IOCTL_SMARTCARD_SWALLOW, IOCTL_SMARTCARD_CONFISCATE,
                       IOCTL_SMARTCARD_GET_PERF_CNTR})
        EXPECT_EQ(rig.Io(code, {}, 64).status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
    EXPECT_TRUE(Calls().empty()) << "standard codes must not reach the vendor function";
}

// ---- every request with every input and output length ------------------------------------------

struct SweepCase {
    const char *name;
    ULONG code;
    Bytes input;  // a valid input of the needed length
    ULONG need_out;
};

TEST_F(DeviceControl, every_length_gets_a_clean_status_and_nothing_past_the_buffer) {
    const std::vector<SweepCase> cases = {
        {"cold reset", IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), MAXIMUM_ATR_LENGTH},
        {"power down", IOCTL_SMARTCARD_POWER, Ulong(SCARD_POWER_DOWN), 0},
        {"vendor name", IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_NAME), 11},
        {"default clock", IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_DEFAULT_CLK), 4},
        {"atr string", IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_ATR_STRING), 4},
        {"suppress", IOCTL_SMARTCARD_SET_ATTRIBUTE, Concat(Ulong(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST), Ulong(0)), 0},
        {"get state", IOCTL_SMARTCARD_GET_STATE, {}, 4},
        {"set protocol", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0), 4},
        {"transmit", IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T0, kSelectMf), 10},
        {"last error", IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4},
    };
    auto lengths = [](ULONG need, ULONG large) {
        std::vector<ULONG> out = {0, 1, need, need + large};
        if (need > 1) out.push_back(need - 1);
        return out;
    };
    for (const SweepCase &c : cases) {
        const ULONG need_in = static_cast<ULONG>(c.input.size());
        for (ULONG in : lengths(need_in, 200)) {
            for (ULONG out : lengths(c.need_out, 300)) {
                if (rig.Ext().ReaderCapabilities.CurrentState != SCARD_SPECIFIC) rig.InsertAndReset(kAtrT0, SCARD_PROTOCOL_T0);
                Bytes input = c.input;
                input.resize(in, 0);
                IoResult r = rig.Io(c.code, input, out);
                SCOPED_TRACE(std::string(c.name) + " in " + std::to_string(in) + " out " + std::to_string(out));
                EXPECT_LE(r.information, out);
                // The library checks a transmit's header and APDU length; the APDU's own structure
                // is the T=0 framing's to refuse, after the reply room has been checked.  The
                // other inputs ignore a tail.
                const bool transmit = c.code == IOCTL_SMARTCARD_TRANSMIT;
                const bool shape_ok = transmit ? in >= 8 + 4 : in >= need_in;
                const bool content_ok = !transmit || in == need_in;
                if (!shape_ok) {
                    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
                } else if (out < c.need_out) {
                    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
                    EXPECT_EQ(r.information, 0u);
                } else if (!content_ok) {
                    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
                } else {
                    EXPECT_EQ(r.status, STATUS_SUCCESS);
                }
            }
        }
    }
}

// ---- one reader function at a time ----------------------------------------------------------

TEST(DeviceControlConcurrency, reader_functions_of_one_device_never_overlap) {
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        Rig rig(seed);
        rig.S().card = [](const Bytes &) { return kOk; };
        rig.InsertAndReset(kAtrT0, SCARD_PROTOCOL_T0);
        rig.S().reader_ms = 10;
        const uint64_t start_ms = rig.K().NowMs();
        std::vector<std::shared_ptr<lmscr::kernel::PendingIo>> requests;
        for (int i = 0; i < 4; ++i)
            requests.push_back(rig.Async(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T0, kSelectMf), 10));
        for (int i = 0; i < 2; ++i) requests.push_back(rig.Async(SCARD_CTL_CODE(2049), {}, 8));
        requests.push_back(rig.Async(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0), 4));
        for (int i = 0; i < 2; ++i) requests.push_back(rig.Async(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_CURRENT_F), 4));
        for (auto &request : requests) {
            ASSERT_TRUE(request->Wait(1000)) << "seed " << seed;
            EXPECT_EQ(request->Result().status, STATUS_SUCCESS) << "seed " << seed;
        }
        EXPECT_EQ(rig.S().max_inside, 1) << "seed " << seed;
        EXPECT_GE(rig.S().max_in_library, 2) << "seed " << seed << ": no request ever waited";
        // Seven reader calls of 10 ms each, strictly one after another.
        EXPECT_EQ(rig.K().NowMs() - start_ms, 70u) << "seed " << seed;
        EXPECT_EQ(rig.S().calls.size(), 7u) << "seed " << seed;
    }
}

}  // namespace
