// T=1 block protocol against a scripted card: every block the reader sends is compared with the
// block ISO/IEC 7816-3 clause 11 prescribes, and each script must be used up exactly.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <sstream>

#include "smclib_internal.h"
#include "smclib_test_support.h"

#include <algorithm>

namespace lmscr::smclib::test {
namespace {

bool g_crc = false;  // epilogue of the blocks the test builds

Bytes Blk(UCHAR pcb, const Bytes &inf = {}, UCHAR nad = 0x00) {
    Bytes b(3 + inf.size());
    b[0] = nad;
    b[1] = pcb;
    b[2] = static_cast<UCHAR>(inf.size());
    std::copy(inf.begin(), inf.end(), b.begin() + 3);
    if (g_crc) {
        const USHORT crc = Crc16(b);
        b.push_back(static_cast<UCHAR>(crc & 0xFF));
        b.push_back(static_cast<UCHAR>(crc >> 8));
    } else {
        UCHAR lrc = 0;
        for (UCHAR x : b) lrc ^= x;
        b.push_back(lrc);
    }
    return b;
}
Bytes I(int ns, bool more, const Bytes &inf) { return Blk(static_cast<UCHAR>((ns << 6) | (more ? 0x20 : 0)), inf); }
Bytes R(int nr, UCHAR error = 0) { return Blk(static_cast<UCHAR>(0x80 | (nr << 4) | error)); }
Bytes SReq(UCHAR type, const Bytes &inf = {}) { return Blk(static_cast<UCHAR>(0xC0 | type), inf); }
Bytes SResp(UCHAR type, const Bytes &inf = {}) { return Blk(static_cast<UCHAR>(0xE0 | type), inf); }
constexpr UCHAR kResynch = 0, kIfs = 1, kAbort = 2, kWtx = 3;

Bytes Range(size_t n, UCHAR first = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<UCHAR>(first + i);
    return b;
}
Bytes Slice(const Bytes &b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }
std::string Hex(const Bytes &b) {
    std::ostringstream s;
    for (UCHAR x : b) s << std::hex << (x < 16 ? "0" : "") << int(x) << ' ';
    return s.str();
}

const Bytes kT1Atr = {0x3B, 0x81, 0x80, 0x01, 0x80, 0x80};         // T=0 and T=1, IFSC 32, LRC
const Bytes kT1CrcAtr = {0x3B, 0x80, 0x81, 0x41, 0x01, 0x41};      // T=1, TC3 = 01: CRC
const Bytes kSelect = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};  // a short case 3 command
const Bytes kOk = {0x90, 0x00};

class T1Test : public ::testing::Test {
protected:
    struct Step {
        Bytes expect;  // the block the reader must send
        Bytes answer;  // what the card sends back; empty: nothing arrives
    };
    Reader reader;
    std::deque<Step> script;
    std::vector<UCHAR> wtx_applied;
    bool driver_ifs_adjustment = true;
    int exchanges = 0;

    void SetUp() override {
        g_crc = false;
        reader.ext.ReaderCapabilities.MaxIFSD = 32;  // no IFS request unless a test wants one
        ASSERT_EQ(reader.Atr(kT1Atr), STATUS_SUCCESS);
    }
    void TearDown() override {
        EXPECT_TRUE(script.empty()) << script.size() << " scripted blocks never sent";
        EXPECT_TRUE(reader.CanariesIntact());
        g_crc = false;
    }
    void Expect(const Bytes &expect, const Bytes &answer) { script.push_back({expect, answer}); }

    // The driver's loop (TransmitT1): build, send, take the card's block, judge it.
    NTSTATUS Run(const Bytes &apdu, ULONG reply_room = 8 + 300, int max_exchanges = 200) {
        reader.Transmit(SCARD_PROTOCOL_T1, apdu, reply_room);
        SMARTCARD_EXTENSION &ext = reader.ext;
        for (int i = 0; i < max_exchanges; ++i) {
            ext.T1.NAD = 0;
            ext.SmartcardRequest.BufferLength = 0;
            NTSTATUS status = SmartcardT1Request(&ext);
            if (status != STATUS_SUCCESS) return status;
            if (driver_ifs_adjustment && ext.T1.State == T1_IFS_RESPONSE && ext.T1.OriginalState == T1_I_BLOCK)
                ext.T1.State = T1_I_BLOCK;
            const Bytes sent = reader.Sent();
            ++exchanges;
            if (ext.T1.Wtx != 0) {
                wtx_applied.push_back(ext.T1.Wtx);
                ext.T1.Wtx = 0;
            }
            if (script.empty()) {
                ADD_FAILURE() << "unscripted block " << Hex(sent);
                return STATUS_UNSUCCESSFUL;
            }
            const Step step = script.front();
            script.pop_front();
            EXPECT_EQ(Hex(sent), Hex(step.expect)) << "exchange " << i;
            reader.CardSays(step.answer);
            status = SmartcardT1Reply(&ext);
            if (status != STATUS_MORE_PROCESSING_REQUIRED) return status;
        }
        ADD_FAILURE() << "no end after " << max_exchanges << " exchanges";
        return STATUS_UNSUCCESSFUL;
    }
};

TEST_F(T1Test, t1_reader_sends_ifs_request_once_after_reset) {
    reader.ext.ReaderCapabilities.MaxIFSD = 254;
    ASSERT_EQ(reader.Atr(kT1Atr), STATUS_SUCCESS);
    Expect(SReq(kIfs, {0xFE}), SResp(kIfs, {0xFE}));  // Rule 4, then Rule 1: I-block N(S) 0
    Expect(I(0, false, kSelect), I(0, false, kOk));
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
    EXPECT_EQ(reader.ext.T1.IFSD, 254);
    EXPECT_EQ(reader.Answer(), kOk);
    EXPECT_EQ(reader.information, 10u);
    Expect(I(1, false, kSelect), I(1, false, kOk));  // no second IFS request; N(S) toggled
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
}

TEST_F(T1Test, t1_apdu_chained_to_card_at_ifsc_32) {
    const Bytes apdu = Range(75);
    Expect(I(0, true, Slice(apdu, 0, 32)), R(1));  // Rule 5: the card asks for N(S) 1
    Expect(I(1, true, Slice(apdu, 32, 32)), R(0));
    Expect(I(0, false, Slice(apdu, 64, 11)), I(0, false, kOk));
    ASSERT_EQ(Run(apdu), STATUS_SUCCESS);
    EXPECT_EQ(reader.Answer(), kOk);
}

TEST_F(T1Test, t1_answer_chained_from_card_at_ifsd_254) {
    reader.ext.ReaderCapabilities.MaxIFSD = 254;
    ASSERT_EQ(reader.Atr(kT1Atr), STATUS_SUCCESS);
    const Bytes answer = Range(300, 7);
    Expect(SReq(kIfs, {0xFE}), SResp(kIfs, {0xFE}));
    Expect(I(0, false, kSelect), I(0, true, Slice(answer, 0, 254)));
    Expect(R(1), I(1, false, Slice(answer, 254, 46)));  // Rule 5: acknowledge, N(R) next
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
    EXPECT_EQ(reader.Answer(), answer);
    EXPECT_EQ(reader.information, 308u);
}

TEST_F(T1Test, t1_card_block_beyond_ifsd_is_invalid) {
    Expect(I(0, false, kSelect), I(0, false, Range(33)));
    Expect(R(0, T1_ERROR_OTHER), I(0, false, kOk));
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
}

TEST_F(T1Test, t1_lost_block_sends_r_block_other_error) {
    Expect(I(0, false, kSelect), {});  // nothing within BWT
    Expect(R(0, T1_ERROR_OTHER), I(0, false, kOk));
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
    EXPECT_EQ(reader.Answer(), kOk);
}

TEST_F(T1Test, t1_card_asking_again_gets_the_same_i_block) {
    Expect(I(0, false, kSelect), R(0, T1_ERROR_EDC));
    Expect(I(0, false, kSelect), I(0, false, kOk));
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
}

TEST_F(T1Test, t1_bad_lrc_sends_r_block_edc_error) {
    Bytes bad = I(0, false, kOk);
    bad.back() ^= 0xFF;  // as the driver marks a faulty byte
    Expect(I(0, false, kSelect), bad);
    Expect(R(0, T1_ERROR_EDC), I(0, false, kOk));
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
}

TEST_F(T1Test, t1_bad_crc_sends_r_block_edc_error) {
    ASSERT_EQ(reader.Atr(kT1CrcAtr), STATUS_SUCCESS);
    g_crc = true;
    Bytes bad = I(0, false, kOk);
    bad[bad.size() - 2] ^= 0x01;
    Expect(I(0, false, kSelect), bad);
    Expect(R(0, T1_ERROR_EDC), I(0, false, kOk));
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
    EXPECT_EQ(reader.Answer(), kOk);
}

TEST_F(T1Test, t1_wrong_sequence_number_sends_r_block) {
    Expect(I(0, false, kSelect), I(1, false, kOk));
    Expect(R(0, T1_ERROR_OTHER), I(0, false, kOk));  // Rule 7.1: N(R) names the I-block expected
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
}

TEST_F(T1Test, t1_wtx_request_answered_with_same_inf_and_factor_left) {
    Expect(I(0, false, kSelect), SReq(kWtx, {0x03}));
    Expect(SResp(kWtx, {0x03}), I(0, false, kOk));  // Rule 3
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
    EXPECT_EQ(wtx_applied, (std::vector<UCHAR>{3}));
}

TEST_F(T1Test, t1_card_ifs_request_mid_chain_changes_ifsc) {
    for (bool adjustment : {true, false}) {
        SCOPED_TRACE(adjustment ? "with the driver's state adjustment" : "without it");
        driver_ifs_adjustment = adjustment;
        ASSERT_EQ(reader.Atr(kT1Atr), STATUS_SUCCESS);
        const Bytes apdu = Range(105);
        Expect(I(0, true, Slice(apdu, 0, 32)), SReq(kIfs, {0x40}));
        Expect(SResp(kIfs, {0x40}), R(1));  // Rule 4, then the chain goes on at IFSC 64
        Expect(I(1, true, Slice(apdu, 32, 64)), R(0));
        Expect(I(0, false, Slice(apdu, 96, 9)), I(0, false, kOk));
        ASSERT_EQ(Run(apdu), STATUS_SUCCESS);
        EXPECT_EQ(reader.ext.T1.IFSC, 0x40);
    }
}

TEST_F(T1Test, t1_invalid_ifs_response_repeats_the_request) {
    reader.ext.ReaderCapabilities.MaxIFSD = 254;
    ASSERT_EQ(reader.Atr(kT1Atr), STATUS_SUCCESS);
    Expect(SReq(kIfs, {0xFE}), SResp(kIfs, {0x20}));
    Expect(SReq(kIfs, {0xFE}), SResp(kIfs, {0xFE}));  // Rule 7.3
    Expect(I(0, false, kSelect), I(0, false, kOk));
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
}

TEST_F(T1Test, t1_resynchronisation_after_the_retries_restarts_at_ns_0) {
    Expect(I(0, false, kSelect), I(0, false, kOk));
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
    Bytes garbled = I(0, false, kOk);
    garbled[3] ^= 0x40;
    Expect(I(1, false, kSelect), garbled);
    Expect(R(1, T1_ERROR_EDC), garbled);                 // Rule 7.1
    Expect(R(1, T1_ERROR_EDC), garbled);                 // Rule 7.2: the same R-block again
    Expect(SReq(kResynch), SResp(kResynch));             // Rule 7.4.1
    Expect(I(0, false, kSelect), I(0, false, kOk));      // Rule 6: numbering from 0
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
    EXPECT_EQ(reader.Answer(), kOk);
}

TEST_F(T1Test, t1_gives_up_after_retries_and_three_resynchs) {
    Expect(I(0, false, kSelect), {});
    Expect(R(0, T1_ERROR_OTHER), {});
    Expect(R(0, T1_ERROR_OTHER), {});
    Expect(SReq(kResynch), {});
    Expect(SReq(kResynch), {});
    Expect(SReq(kResynch), {});  // Rule 7.4.2, then 7.4.3: the card is given up
    EXPECT_EQ(Run(kSelect), STATUS_IO_TIMEOUT);
    EXPECT_EQ(reader.information, 0xFFFFFFFFu);
}

TEST_F(T1Test, t1_card_abort_is_acknowledged_and_command_cancelled) {
    Expect(I(0, false, kSelect), SReq(kAbort));
    Expect(SResp(kAbort), R(0));  // Rule 9
    EXPECT_EQ(Run(kSelect), STATUS_CANCELLED);
}

TEST_F(T1Test, t1_answer_chain_too_long_for_caller_is_aborted) {
    Expect(I(0, false, kSelect), I(0, true, Range(30)));
    Expect(SReq(kAbort), SResp(kAbort));  // Rule 9
    EXPECT_EQ(Run(kSelect, 8 + 20), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(T1Test, t1_last_block_too_long_for_caller_is_refused) {
    Expect(I(0, false, kSelect), I(0, false, Range(5)));
    EXPECT_EQ(Run(kSelect, 8 + 4), STATUS_BUFFER_TOO_SMALL);
    Expect(I(1, false, kSelect), I(1, false, kOk));  // the numbering stayed in step
    EXPECT_EQ(Run(kSelect), STATUS_SUCCESS);
}

TEST_F(T1Test, t1_card_i_block_during_reader_chain_is_invalid) {
    const Bytes apdu = Range(40);
    Expect(I(0, true, Slice(apdu, 0, 32)), I(0, false, kOk));
    Expect(R(0, T1_ERROR_OTHER), R(1));  // Rule 5 broken: an R-block names the error
    Expect(I(1, false, Slice(apdu, 32, 8)), I(0, false, kOk));
    ASSERT_EQ(Run(apdu), STATUS_SUCCESS);
}

TEST_F(T1Test, t1_card_resynch_request_and_wrong_nad_are_invalid) {
    Expect(I(0, false, kSelect), SReq(kResynch));  // Rule 6: the reader's privilege
    Expect(R(0, T1_ERROR_OTHER), Blk(0x00, kOk, 0x12));
    Expect(R(0, T1_ERROR_OTHER), I(0, false, kOk));
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
}

TEST_F(T1Test, t1_truncated_and_ff_length_blocks_are_invalid) {
    Expect(I(0, false, kSelect), Bytes{0x00, 0x00});
    Expect(R(0, T1_ERROR_OTHER), Bytes{0x00, 0x00, 0xFF, 0xFF});
    Expect(R(0, T1_ERROR_OTHER), I(0, false, kOk));
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
}

TEST_F(T1Test, t1_endless_wtx_is_bounded) {
    Expect(I(0, false, kSelect), SReq(kWtx, {0x01}));
    for (int i = 0; i < 64; ++i) Expect(SResp(kWtx, {0x01}), SReq(kWtx, {0x01}));
    EXPECT_EQ(Run(kSelect), STATUS_IO_TIMEOUT);
}

// A card that keeps its chain going with I-blocks that carry nothing: each is accepted and
// acknowledged, but none is progress, so 64 in a row end the command as an unresponsive card
// does; a block with data between them starts the count again.
TEST_F(T1Test, t1_empty_chained_i_blocks_are_bounded) {
    Expect(I(0, false, kSelect), I(0, true, {}));
    for (int i = 1; i <= 64; ++i) Expect(R(i % 2), I(i % 2, true, {}));
    EXPECT_EQ(Run(kSelect), STATUS_IO_TIMEOUT);  // the 65th empty block
    EXPECT_EQ(reader.information, 0xFFFFFFFFu);
    EXPECT_EQ(reader.ext.T1.State, T1_START);

    // After the card is reset: 64 empty blocks, one byte of data, 64 more, then the rest.
    ASSERT_EQ(reader.Atr(kT1Atr), STATUS_SUCCESS);
    Expect(I(0, false, kSelect), I(0, true, {}));
    int ns = 1;
    for (int i = 1; i < 64; ++i, ns ^= 1) Expect(R(ns), I(ns, true, {}));
    Expect(R(ns), I(ns, true, {0x90}));
    ns ^= 1;
    for (int i = 0; i < 64; ++i, ns ^= 1) Expect(R(ns), I(ns, true, {}));
    Expect(R(ns), I(ns, false, {0x00}));
    ASSERT_EQ(Run(kSelect, 8 + 300, 300), STATUS_SUCCESS);
    EXPECT_EQ(reader.Answer(), kOk);
}

// Every answer ends with SW1 SW2: a last block that leaves the answer shorter is refused, as T=0
// refuses it, and the block numbering stays in step for the next command.
TEST_F(T1Test, t1_answer_without_status_word_is_refused) {
    Expect(I(0, false, kSelect), I(0, false, {}));
    EXPECT_EQ(Run(kSelect), STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(reader.information, 0xFFFFFFFFu);
    EXPECT_EQ(reader.ext.T1.State, T1_START);
    Expect(I(1, false, kSelect), I(1, false, {0x90}));
    EXPECT_EQ(Run(kSelect), STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(reader.information, 0xFFFFFFFFu);
    Expect(I(0, false, kSelect), I(0, true, {0x90}));  // one byte chained, then nothing
    Expect(R(1), I(1, false, {}));
    EXPECT_EQ(Run(kSelect), STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(reader.ext.T1.State, T1_START);
    Expect(I(1, false, kSelect), I(0, false, kOk));
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
    Expect(I(0, false, kSelect), I(1, true, {0x90}));  // SW1 and SW2 in two blocks is an answer
    Expect(R(0), I(0, false, {0x00}));
    ASSERT_EQ(Run(kSelect), STATUS_SUCCESS);
    EXPECT_EQ(reader.Answer(), kOk);
}

TEST_F(T1Test, t1_reply_without_request_is_refused) {
    reader.Transmit(SCARD_PROTOCOL_T1, kSelect);
    reader.CardSays(I(0, false, kOk));
    EXPECT_EQ(SmartcardT1Reply(&reader.ext), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(SmartcardT1Reply(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SmartcardT1Request(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(T1Test, t1_request_buffer_too_small_for_the_block) {
    reader.Transmit(SCARD_PROTOCOL_T1, Range(40));
    reader.ext.SmartcardRequest.BufferSize = 35;  // 3 + 32 + 1 needed
    EXPECT_EQ(SmartcardT1Request(&reader.ext), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reader.request[0], Reader::kCanary);
    reader.ext.SmartcardRequest.BufferSize = 36;
    EXPECT_EQ(SmartcardT1Request(&reader.ext), STATUS_SUCCESS);
    EXPECT_EQ(reader.Sent(), I(0, true, Range(32)));
}

TEST_F(T1Test, t1_bad_caller_buffers_are_refused_before_any_block) {
    reader.Transmit(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x00});
    EXPECT_EQ(SmartcardT1Request(&reader.ext), STATUS_INVALID_PARAMETER);
    reader.Transmit(SCARD_PROTOCOL_T1, kSelect, 7);
    EXPECT_EQ(SmartcardT1Request(&reader.ext), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reader.ext.SmartcardRequest.BufferLength, 0u);
}

TEST_F(T1Test, t1_reply_length_beyond_its_buffer_is_refused) {
    reader.Transmit(SCARD_PROTOCOL_T1, kSelect);
    ASSERT_EQ(SmartcardT1Request(&reader.ext), STATUS_SUCCESS);
    reader.ext.SmartcardReply.BufferLength = Reader::kBufferBytes + 1;
    EXPECT_EQ(SmartcardT1Reply(&reader.ext), STATUS_INVALID_PARAMETER);
}

// A card that answers with random blocks and random noise: every command ends, within a bounded
// number of exchanges, with one of the statuses the driver knows, and nothing is overrun.
TEST_F(T1Test, t1_random_card_always_ends_cleanly) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        std::mt19937 rng(seed);
        ASSERT_EQ(reader.Atr(kT1Atr), STATUS_SUCCESS);
        reader.Transmit(SCARD_PROTOCOL_T1, Range(seed % 90 + 4), 8 + 64);
        SMARTCARD_EXTENSION &ext = reader.ext;
        NTSTATUS status = STATUS_MORE_PROCESSING_REQUIRED;
        int n = 0;
        for (; n < 2000 && status == STATUS_MORE_PROCESSING_REQUIRED; ++n) {
            ext.T1.NAD = 0;
            ext.SmartcardRequest.BufferLength = 0;
            status = SmartcardT1Request(&ext);
            ASSERT_EQ(status, STATUS_SUCCESS);
            ext.T1.Wtx = 0;
            Bytes answer;
            if (rng() % 2) {
                answer = Blk(static_cast<UCHAR>(rng()), Range(rng() % 40, static_cast<UCHAR>(rng())));
            } else {
                answer.resize(rng() % 12);
                for (auto &b : answer) b = static_cast<UCHAR>(rng());
            }
            reader.CardSays(answer);
            status = SmartcardT1Reply(&ext);
        }
        EXPECT_LT(n, 2000);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_IO_TIMEOUT || status == STATUS_CANCELLED ||
                    status == STATUS_BUFFER_TOO_SMALL || status == STATUS_DEVICE_PROTOCOL_ERROR)
            << std::hex << status;
        ASSERT_TRUE(reader.CanariesIntact());
    }
}

// Check bytes.
TEST(T1Edc, lrc_is_xor_of_prologue_and_inf) {
    const Bytes block = {0x00, 0xC1, 0x01, 0xFE};
    EXPECT_EQ(Lrc(block), 0x3E);
    EXPECT_EQ(Lrc({}), 0x00);
}

TEST(T1Edc, crc_published_vectors) {
    const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(check), 0x906E);  // the check value of the ISO/IEC 13239 FCS-16
    // ISO/IEC 14443-3 CRC_B examples, the same FCS.
    EXPECT_EQ(Crc16(Bytes{0x00, 0x00, 0x00}), 0xC6CC);
    EXPECT_EQ(Crc16(Bytes{0x0F, 0xAA, 0xFF}), 0xD1FC);
    EXPECT_EQ(Crc16(Bytes{0x0A, 0x12, 0x34, 0x56}), 0xF62C);
}

TEST(T1Edc, crc_over_data_and_its_fcs_leaves_the_good_residue) {
    // RFC 1662 / ISO 3309: running the FCS over a frame and its FCS (low byte first) leaves
    // F0B8 in the register, whose complement the routine returns.
    std::mt19937 rng(7);
    for (int n = 0; n < 64; ++n) {
        Bytes frame(n);
        for (auto &b : frame) b = static_cast<UCHAR>(rng());
        const USHORT fcs = Crc16(frame);
        frame.push_back(static_cast<UCHAR>(fcs & 0xFF));
        frame.push_back(static_cast<UCHAR>(fcs >> 8));
        EXPECT_EQ(Crc16(frame), static_cast<USHORT>(~0xF0B8)) << n;
    }
}

// Independent reference: the same CRC computed most significant bit first with the plain
// polynomial 0x1021 on bit-reversed bytes, the result bit-reversed back.
USHORT ReferenceCrc(const Bytes &data) {
    auto reverse8 = [](unsigned v) {
        unsigned r = 0;
        for (int i = 0; i < 8; ++i) r |= ((v >> i) & 1u) << (7 - i);
        return r;
    };
    unsigned crc = 0xFFFF;
    for (UCHAR b : data) {
        crc ^= reverse8(b) << 8;
        for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
    }
    unsigned out = 0;
    for (int i = 0; i < 16; ++i) out |= ((crc >> i) & 1u) << (15 - i);
    return static_cast<USHORT>(~out);
}

TEST(T1Edc, crc_matches_reference_for_every_two_byte_input) {
    for (unsigned v = 0; v < 65536; ++v) {
        const Bytes data = {static_cast<UCHAR>(v >> 8), static_cast<UCHAR>(v)};
        ASSERT_EQ(Crc16(data), ReferenceCrc(data)) << v;
    }
}

}  // namespace
}  // namespace lmscr::smclib::test
