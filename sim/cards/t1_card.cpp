#include "sim/cards/t1_card.h"

#include <algorithm>

namespace lmscr::sim::cards {

namespace {
constexpr uint8_t kPcbR = 0x80;
constexpr uint8_t kPcbS = 0xC0;
constexpr uint8_t kIMore = 0x20;
constexpr uint8_t kSResponse = 0x20;
constexpr uint8_t kSResynch = 0x00, kSIfs = 0x01, kSAbort = 0x02, kSWtx = 0x03;
constexpr uint8_t kErrorNone = 0, kErrorEdc = 1, kErrorOther = 2;
constexpr uint32_t kFrameEtu = 10;
constexpr uint32_t kCharacterEtu = 12;
constexpr uint32_t kMinBlockDelayEtu = 12;  // BGT 22 etu between leading edges, less the frame
constexpr uint8_t kDefaultIfs = 32;
constexpr uint8_t kMaxIfs = 254;
}  // namespace

uint8_t T1Lrc(const uint8_t* data, size_t n) {
    uint8_t lrc = 0;
    for (size_t i = 0; i < n; ++i) lrc ^= data[i];
    return lrc;
}

uint16_t T1Crc(const uint8_t* data, size_t n) {
    // ISO/IEC 13239 FCS: generator x^16 + x^12 + x^5 + 1, register preset to ones, bits taken
    // least significant first (one bit at a time here), ones' complement at the end.
    uint16_t reg = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool in = ((data[i] >> bit) & 1) != 0;
            const bool top = (reg & 1) != 0;
            reg >>= 1;
            if (in != top) reg ^= 0x8408;
        }
    }
    return static_cast<uint16_t>(~reg);
}

T1Protocol::T1Protocol(T1Options options, CardApplication& app, uint8_t ifsc, uint8_t cwi,
                       uint8_t bwi, bool crc)
    : options_(options), app_(app), atr_ifsc_(ifsc == 0 || ifsc == 0xFF ? kDefaultIfs : ifsc),
      cwi_(cwi), bwi_(bwi > 9 ? 9 : bwi), crc_(crc) {}

void T1Protocol::Start(CardLink& link, Rate rate) {
    link_ = &link;
    rate_ = rate;
    // 11.4.3: BWT = 11 etu + 2^BWI x 960 x Fd / f, here in etu of the rate in force.
    bwt_etu_ = 11 + static_cast<uint32_t>((uint64_t{1} << bwi_) * 960 * 372 * rate.d / rate.f);
    cwt_etu_ = 11 + (1u << cwi_);
    rx_.clear();
    rx_bad_ = false;
    phase_ = Phase::Idle;
    ns_ = nr_ = 0;
    ifsc_ = atr_ifsc_;
    ifsd_ = kDefaultIfs;
    ifs_requested_ = false;
    chain_ifs_due_ = ifs_in_chain_ = false;
    command_.clear();
    answer_.clear();
    wtx_granted_ = 0;
}

void T1Protocol::Receive(uint8_t byte, bool parity_error) {
    if (link_ == nullptr) return;
    const uint64_t now = link_->NowNs();
    // 11.4.3: a character more than CWT after the previous one cannot belong to the same block.
    // The partial block is dropped unanswered (the reader's own waiting time runs out and it
    // sends an R-block, Rule 7.1), and this character starts a new block.
    if (!rx_.empty() && now - last_rx_ns_ > EtuToNs(cwt_etu_, rate_, kCardClockHz)) {
        ++stats_.partial_blocks_dropped;
        rx_.clear();
        rx_bad_ = false;
    }
    last_rx_ns_ = now;
    rx_.push_back(byte);
    rx_bad_ |= parity_error;
    const size_t edc = crc_ ? 2 : 1;
    if (rx_.size() >= 3 && rx_.size() == 3 + size_t{rx_[2]} + edc) OnBlock();
}

void T1Protocol::OnBlock() {
    const Bytes blk = std::move(rx_);
    const bool bad = rx_bad_;
    rx_.clear();
    rx_bad_ = false;
    ++stats_.blocks_received;
    const size_t len = blk[2];
    const size_t covered = 3 + len;
    // 11.6.3.1 (and Rule 7.1): parity and EDC errors are reported as such.
    if (bad) return OnInvalid(kErrorEdc);
    if (crc_) {
        const uint16_t crc = T1Crc(blk.data(), covered);
        if (blk[covered] != (crc & 0xFF) || blk[covered + 1] != (crc >> 8)) return OnInvalid(kErrorEdc);
    } else if (blk[covered] != T1Lrc(blk.data(), covered)) {
        return OnInvalid(kErrorEdc);
    }
    const uint8_t nad = blk[0], pcb = blk[1];
    // Any other fault makes the block invalid: VPP bits of NAD, LEN FF, a reserved PCB.
    if ((nad & 0x88) != 0 || len == 0xFF) return OnInvalid(kErrorOther);
    const Bytes inf(blk.begin() + 3, blk.begin() + static_cast<long>(covered));
    if ((pcb & 0x80) == 0) {
        if ((pcb & 0x1F) != 0) return OnInvalid(kErrorOther);
    } else if ((pcb & 0xC0) == kPcbR) {
        if ((pcb & 0x20) != 0 || (pcb & 0x0F) > kErrorOther || len != 0) return OnInvalid(kErrorOther);
    } else {
        const uint8_t type = pcb & 0x1F;
        if (type > kSWtx) return OnInvalid(kErrorOther);
        if (len != ((type == kSIfs || type == kSWtx) ? 1u : 0u)) return OnInvalid(kErrorOther);
    }
    reader_nad_ = nad;
    if ((pcb & 0x80) == 0) return OnIBlock(pcb, inf);
    if ((pcb & 0xC0) == kPcbR) return OnRBlock(pcb);
    return OnSBlock(pcb, inf);
}

void T1Protocol::OnInvalid(uint8_t error) {
    ++stats_.invalid_blocks;
    // Rule 7.3: after an S(request) of its own, the card repeats it.
    if (phase_ == Phase::AwaitWtx || phase_ == Phase::AwaitIfs) {
        ++stats_.retransmissions;
        SendBlock(last_s_request_[1], Bytes(last_s_request_.begin() + 3, last_s_request_.end() - (crc_ ? 2 : 1)),
                  options_.block_delay_etu);
        return;
    }
    // Rule 7.1 (and 7.5 for the first block after the ATR: N(R) is still 0): an R-block
    // naming the error and, in N(R), the I-block the card expects.
    SendR(error);
}

void T1Protocol::OnIBlock(uint8_t pcb, const Bytes& inf) {
    if (phase_ == Phase::AwaitWtx || phase_ == Phase::AwaitIfs) return OnInvalid(kErrorOther);
    // Rule 5: while the card chains, the reader acknowledges with R-blocks only.
    if (phase_ == Phase::Chaining) return OnInvalid(kErrorOther);
    // Rule 7.1: an I-block out of sequence is refused with N(R) naming the one expected.
    if (((pcb >> 6) & 1) != nr_) return OnInvalid(kErrorOther);
    // 11.4.2: the reader must not send more than IFSC bytes.
    if (inf.size() > ifsc_) return OnInvalid(kErrorOther);
    nr_ ^= 1;
    // Rule 2: a new command's I-block acknowledges the card's last answer.
    if (phase_ != Phase::ReceivingChain) {
        command_.clear();
        command_overflow_ = false;
    }
    if (command_.size() + inf.size() > kMaxCommandBytes) {
        command_overflow_ = true;
    } else {
        command_.insert(command_.end(), inf.begin(), inf.end());
    }
    if (pcb & kIMore) {
        // Rule 5: a chained I-block is acknowledged by R(N(R) = the next N(S)).
        phase_ = Phase::ReceivingChain;
        SendR(kErrorNone);
        return;
    }
    StartAnswer();
}

void T1Protocol::OnRBlock(uint8_t pcb) {
    const uint8_t nr = (pcb >> 4) & 1;
    const uint8_t last_ns = ns_ ^ 1;  // N(S) of the card's last I-block
    switch (phase_) {
    case Phase::AwaitWtx:
    case Phase::AwaitIfs: return OnInvalid(kErrorOther);  // Rule 7.3
    case Phase::Chaining:
        if (nr != last_ns) {
            // Rule 5: the chained block is acknowledged; the next one follows.
            answer_acked_ += last_i_block_[2];
            if (chain_ifs_due_) {
                // Rule 4: with the turn in the middle of its chain, the card announces a new
                // IFSC before its next block.
                chain_ifs_due_ = false;
                ifs_in_chain_ = true;
                ++stats_.ifs_requests;
                phase_ = Phase::AwaitIfs;
                SendBlock(kPcbS | kSIfs, {options_.ifs_request_in_chain}, options_.block_delay_etu);
                return;
            }
            SendChunk(options_.block_delay_etu);
            return;
        }
        [[fallthrough]];
    case Phase::Answered:
        if (nr == last_ns) {
            // Rules 7.1/7.2 from the reader: its R-block asks for the card's I-block again.
            ++stats_.retransmissions;
            SendRaw(last_i_block_, options_.block_delay_etu);
            return;
        }
        // The reader asks for an I-block the card has not sent: its own I-block was lost.
        // Rule 7.1: the card names the N(S) it expects.
        SendR(kErrorNone);
        return;
    case Phase::ReceivingChain:
    case Phase::Idle:
        // Rule 7.2 seen from the card: the reader did not get the card's R-block (or any block
        // of the card's yet); the card's R-block again.
        SendR(kErrorNone);
        return;
    }
}

void T1Protocol::OnSBlock(uint8_t pcb, const Bytes& inf) {
    const uint8_t type = pcb & 0x1F;
    if (pcb & kSResponse) {
        const Bytes want(last_s_request_.begin() + 3, last_s_request_.end() - (crc_ ? 2 : 1));
        if (phase_ == Phase::AwaitWtx && type == kSWtx && inf == want) {
            // Rule 3: the extension is granted; the answer comes within its factor x BWT.
            wtx_granted_ = inf[0];
            SendChunk(std::max(options_.block_delay_etu, options_.processing_etu));
            return;
        }
        if (phase_ == Phase::AwaitIfs && type == kSIfs && inf == want) {
            // Rule 4: the reader confirms the card's new IFSC.
            ifsc_ = inf[0];
            if (ifs_in_chain_) {
                ifs_in_chain_ = false;
                SendChunk(options_.block_delay_etu);
                return;
            }
            ContinueAnswer();
            return;
        }
        return OnInvalid(kErrorOther);
    }
    if (phase_ == Phase::AwaitWtx || phase_ == Phase::AwaitIfs) return OnInvalid(kErrorOther);
    switch (type) {
    case kSResynch:
        // Rule 6: both sides start again as after the ATR: N(S) 0, IFSD back to its default,
        // whatever command was in progress gone.
        ++stats_.resynchs;
        SendBlock(kPcbS | kSResponse | kSResynch, {}, options_.block_delay_etu);
        ns_ = nr_ = 0;
        ifsd_ = kDefaultIfs;
        command_.clear();
        answer_.clear();
        phase_ = Phase::Idle;
        return;
    case kSIfs:
        // Rule 4: the reader's new IFSD, 1 to 254 (11.4.2), confirmed with the same INF.
        if (inf[0] == 0 || inf[0] > kMaxIfs) return OnInvalid(kErrorOther);
        ifsd_ = inf[0];
        SendBlock(kPcbS | kSResponse | kSIfs, inf, options_.block_delay_etu);
        return;
    case kSAbort:
        // Rule 9: the chain in progress (either way) is abandoned and acknowledged.
        ++stats_.aborts;
        command_.clear();
        answer_.clear();
        phase_ = Phase::Idle;
        SendBlock(kPcbS | kSResponse | kSAbort, {}, options_.block_delay_etu);
        return;
    default:
        // S(WTX request) is the card's to send, never the reader's.
        return OnInvalid(kErrorOther);
    }
}

void T1Protocol::StartAnswer() {
    ++stats_.commands;
    const auto apdu = ParseShortApdu(command_);
    const Response r = (!apdu || command_overflow_) ? Response{{}, kSwWrongLength} : app_.Execute(*apdu);
    answer_ = options_.fixed_answer ? *options_.fixed_answer : r.ToBytes();
    chain_ifs_due_ = options_.ifs_request_in_chain != 0;
    ifs_in_chain_ = false;
    answer_acked_ = 0;
    command_.clear();
    wtx_granted_ = 0;
    if (options_.ifs_request != 0 && !ifs_requested_) {
        // Rule 4: the card announces a new IFSC of its own when it has the turn.
        ifs_requested_ = true;
        ++stats_.ifs_requests;
        phase_ = Phase::AwaitIfs;
        SendBlock(kPcbS | kSIfs, {options_.ifs_request}, options_.block_delay_etu);
        return;
    }
    ContinueAnswer();
}

void T1Protocol::ContinueAnswer() {
    // The answer's first character must start within BWT of the reader's last leading edge,
    // which was kFrameEtu ago; a character's margin is kept, as a card's timer would.
    const uint32_t needed = options_.processing_etu + options_.block_delay_etu + kFrameEtu + kCharacterEtu;
    if (options_.wtx && needed > bwt_etu_) {
        // Rule 3: a card that needs more than BWT asks for an extension by a factor of BWT.
        const uint32_t factor = std::min<uint32_t>(255, (needed + bwt_etu_ - 1) / bwt_etu_);
        ++stats_.wtx_requests;
        phase_ = Phase::AwaitWtx;
        SendBlock(kPcbS | kSWtx, {static_cast<uint8_t>(factor)}, options_.block_delay_etu);
        return;
    }
    SendChunk(options_.block_delay_etu + options_.processing_etu);
}

void T1Protocol::SendChunk(uint32_t delay_etu) {
    const size_t remaining = answer_.size() - answer_acked_;
    size_t cap = ifsd_;
    if (options_.max_answer_inf != 0) cap = std::min<size_t>(cap, options_.max_answer_inf);
    if (options_.endless_chain) cap = 0;
    const size_t n = std::min(remaining, cap);
    const bool more = options_.endless_chain || remaining > n;
    // Rule 5: M set while more of the answer follows, each block within IFSD (11.4.2).
    const uint8_t pcb = static_cast<uint8_t>((ns_ << 6) | (more ? kIMore : 0));
    SendBlock(pcb, Bytes(answer_.begin() + static_cast<long>(answer_acked_),
                         answer_.begin() + static_cast<long>(answer_acked_ + n)),
              delay_etu);
    ns_ ^= 1;
    phase_ = more ? Phase::Chaining : Phase::Answered;
}

void T1Protocol::SendR(uint8_t error) {
    SendBlock(static_cast<uint8_t>(kPcbR | (nr_ << 4) | error), {}, options_.block_delay_etu);
}

void T1Protocol::SendBlock(uint8_t pcb, const Bytes& inf, uint32_t delay_etu) {
    // The card's NAD swaps the reader's SAD and DAD (11.3.2.1).
    const uint8_t nad = static_cast<uint8_t>(((reader_nad_ & 0x07) << 4) | ((reader_nad_ >> 4) & 0x07));
    Bytes b{nad, pcb, static_cast<uint8_t>(inf.size())};
    b.insert(b.end(), inf.begin(), inf.end());
    if (crc_) {
        const uint16_t crc = T1Crc(b.data(), b.size());
        b.push_back(static_cast<uint8_t>(crc & 0xFF));
        b.push_back(static_cast<uint8_t>(crc >> 8));
    } else {
        b.push_back(T1Lrc(b.data(), b.size()));
    }
    if ((pcb & 0x80) == 0) last_i_block_ = b;
    if ((pcb & 0xE0) == kPcbS) last_s_request_ = b;
    SendRaw(b, delay_etu);
}

void T1Protocol::SendRaw(const Bytes& b, uint32_t delay_etu) {
    // BGT below, CWT above (11.2, 11.4.3): the character distance never exceeds CWT.
    const uint32_t gap = std::min(options_.char_gap_etu, cwt_etu_ > kCharacterEtu ? cwt_etu_ - kCharacterEtu : 0);
    for (size_t i = 0; i < b.size(); ++i)
        link_->Send(b[i], i == 0 ? std::max(delay_etu, kMinBlockDelayEtu) : gap);
}

}  // namespace lmscr::sim::cards
