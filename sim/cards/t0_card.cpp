#include "sim/cards/t0_card.h"

#include <algorithm>

namespace lmscr::sim::cards {

namespace {
constexpr uint8_t kNull = 0x60;
constexpr size_t kHeaderBytes = 5;
constexpr uint32_t kCharacterEtu = 12;
constexpr uint32_t kFrameEtu = 10;  // a reader character is complete 10 etu after its edge
constexpr uint32_t kMinTurnaroundEtu = 6;
// A card that needs more time than WT keeps the reader waiting with NULL bytes; this bounds
// how many one command may send, whatever the options say.
constexpr uint32_t kMaxNullsPerProcedure = 10'000;
// The bytes an overrunning card sends beyond Le: E0, E1, ..., easy to tell from file data.
constexpr uint8_t kOverrunFirstByte = 0xE0;
}  // namespace

bool InsValidForT0(uint8_t ins) { return (ins & 0xF0) != 0x60 && (ins & 0xF0) != 0x90; }

bool InsCarriesDataIn(uint8_t ins) {
    switch (ins) {
    case 0xA4:  // SELECT
    case 0xD6:  // UPDATE BINARY
    case 0xDC:  // UPDATE RECORD
    case 0x20:  // VERIFY
    case 0xB1:  // READ BINARY with odd INS: the offset goes in, the answer follows 61xx
        return true;
    default: return false;
    }
}

T0Protocol::T0Protocol(T0Options options, CardApplication& app, uint8_t wi)
    : options_(options), app_(app), wi_(wi == 0 ? 10 : wi) {}

void T0Protocol::Start(CardLink& link, Rate rate) {
    link_ = &link;
    // 10.2: WT = 960 x WI x Fi / f. Counted in etu of the rate in force (F/D) and with F for
    // Fi, which is never longer than the true WT: the card stays inside it either way.
    wt_etu_ = 960u * wi_ * rate.d;
    state_ = State::Header;
    header_.clear();
    data_.clear();
    after_rx_ = true;
}

void T0Protocol::Emit(uint8_t byte, uint32_t delay_etu) {
    if (after_rx_) {
        // 10.2: at least 16 etu, at most WT, between the reader's leading edge and ours.
        delay_etu = std::clamp(delay_etu, std::max(options_.turnaround_etu, kMinTurnaroundEtu),
                               wt_etu_ - kFrameEtu);
    } else {
        delay_etu = std::min(delay_etu, wt_etu_ - kCharacterEtu);
    }
    link_->Send(byte, delay_etu);
    after_rx_ = false;
    if (byte == kNull) ++stats_.nulls_sent;
}

void T0Protocol::SendProcedure(uint8_t byte, uint32_t wait_etu) {
    // 10.3.2: NULL bytes may precede any procedure byte. They are also how the card takes
    // longer than WT: each one restarts the reader's work waiting time.
    uint32_t nulls = options_.nulls_before_procedure;
    uint32_t remaining = wait_etu;
    for (uint32_t i = 0; i < kMaxNullsPerProcedure; ++i) {
        const uint32_t limit = after_rx_ ? wt_etu_ - kFrameEtu : wt_etu_ - kCharacterEtu;
        // Leave a margin of a character below WT, as a card's own timer would.
        const uint32_t safe = limit > kCharacterEtu ? limit - kCharacterEtu : limit;
        if (nulls > 0) {
            const uint32_t d = std::min(options_.null_spacing_etu, safe);
            Emit(kNull, d);
            remaining -= std::min(remaining, d);
            --nulls;
            continue;
        }
        if (remaining <= safe) break;
        Emit(kNull, safe);
        remaining -= safe;
    }
    Emit(byte, remaining);
}

uint8_t T0Protocol::NextDataProcedure() const {
    const uint8_t ins = header_[1];
    switch (options_.procedure) {
    case T0Procedure::AckAll: return ins;
    case T0Procedure::NotInsEachByte: return static_cast<uint8_t>(ins ^ 0xFF);
    case T0Procedure::NotInsThenAck:
        return data_.empty() ? static_cast<uint8_t>(ins ^ 0xFF) : ins;
    }
    return ins;
}

void T0Protocol::Receive(uint8_t byte, bool parity_error) {
    after_rx_ = true;
    if (state_ == State::Ignore) return;
    if (parity_error) {
        // 7.3 would have the card signal the error and the reader repeat the character; this
        // card does not take part in character repetition, so it drops the command and lets
        // the reader's work waiting time run out.
        ++stats_.abandoned;
        state_ = State::Ignore;
        return;
    }
    if (state_ == State::Header) {
        header_.push_back(byte);
        if (header_.size() == kHeaderBytes) OnHeader();
        return;
    }
    data_.push_back(byte);
    if (data_.size() == expected_) return OnAllDataIn();
    switch (options_.procedure) {
    case T0Procedure::AckAll: break;  // the rest follows the one ACK
    case T0Procedure::NotInsEachByte: SendProcedure(static_cast<uint8_t>(header_[1] ^ 0xFF), 0); break;
    case T0Procedure::NotInsThenAck:
        if (data_.size() == 1) SendProcedure(header_[1], 0);
        break;
    }
}

void T0Protocol::OnHeader() {
    ++stats_.commands;
    data_.clear();
    const uint8_t cla = header_[0], ins = header_[1], p3 = header_[4];
    // Status at once (10.3.3): a header the card cannot take gets SW1 SW2 without any data.
    if (!InsValidForT0(ins)) return Finish(Response{{}, kSwInsUnknown});
    if (cla == 0xFF) return Finish(Response{{}, kSwClaUnknown});  // PTSS outside PTS
    if (InsCarriesDataIn(ins)) {
        if (cla != 0x00) return Finish(Response{{}, kSwClaUnknown});
        if (p3 == 0) return OnAllDataIn();  // case 1
        expected_ = p3;
        state_ = State::DataIn;
        SendProcedure(NextDataProcedure(), 0);
        return;
    }
    // The card sends data (case 2) or nothing: it must send exactly P3 bytes (00 = 256) or
    // answer 6Cxx with the length it has (10.3.3), which the application decides.
    Apdu a{cla, ins, header_[2], header_[3], {}, static_cast<uint16_t>(p3 == 0 ? 256 : p3)};
    Finish(app_.Execute(a, true));
}

void T0Protocol::OnAllDataIn() {
    Apdu a{header_[0], header_[1], header_[2], header_[3], data_, 0};
    // A case 3 or 4 command: T=0 cannot tell them apart, so the card asks for whatever it has
    // and announces it with 61xx for GET RESPONSE (10.3.3).
    a.ne = 256;
    Response r = app_.Execute(a);
    if (!r.data.empty() && (r.sw == kSwOk || r.sw == kSwEndOfFile)) {
        const size_t n = r.data.size();
        app_.SetPendingResponse(std::move(r.data));
        r = Response{{}, static_cast<uint16_t>(0x6100 | (n >= 256 ? 0 : n))};
    }
    Finish(r);
}

void T0Protocol::Finish(const Response& r) {
    const uint8_t ins = header_[1];
    if (!r.data.empty()) {
        // Data to the reader: ACK once, or NOT INS before each byte.
        for (size_t i = 0; i < r.data.size(); ++i) {
            const bool procedure =
                i == 0 || options_.procedure == T0Procedure::NotInsEachByte;
            if (procedure) {
                const bool not_ins = options_.procedure != T0Procedure::AckAll &&
                                     (i == 0 || options_.procedure == T0Procedure::NotInsEachByte);
                SendProcedure(not_ins ? static_cast<uint8_t>(ins ^ 0xFF) : ins,
                              i == 0 ? options_.processing_etu : 0);
                if (options_.procedure == T0Procedure::NotInsThenAck && i == 0) {
                    Emit(r.data[0], options_.data_gap_etu);
                    if (r.data.size() > 1) SendProcedure(ins, 0);
                    continue;
                }
            }
            Emit(r.data[i], options_.data_gap_etu);
        }
        // A faulty card: NOT INS and one more byte, again and again, after all Le bytes.
        for (uint32_t i = 0; i < options_.overrun_bytes; ++i) {
            SendProcedure(static_cast<uint8_t>(ins ^ 0xFF), 0);
            Emit(static_cast<uint8_t>(kOverrunFirstByte + i), options_.data_gap_etu);
        }
    }
    // Data went one way or the other: the NULL bytes of this card come before SW1 only then.
    if (!r.data.empty() || !data_.empty()) {
        for (uint32_t i = 0; i < std::min(options_.nulls_after_data, kMaxNullsPerProcedure); ++i)
            Emit(kNull, options_.null_spacing_etu);
    }
    SendProcedure(static_cast<uint8_t>(r.sw >> 8), r.data.empty() ? options_.processing_etu : 0);
    Emit(static_cast<uint8_t>(r.sw), 0);
    state_ = State::Header;
    header_.clear();
    data_.clear();
}

}  // namespace lmscr::sim::cards
