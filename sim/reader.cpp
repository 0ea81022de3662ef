#include "sim/reader.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace lmscr::sim {

uint64_t HostByteTimeNs(const ReaderConfig& config) {
    if (config.host_baud == 0) return 0;
    // Rounded up: the reader must never hand bytes to the line faster than it carries them.
    const uint64_t bits_ns = uint64_t{config.host_bits_per_byte} * 1'000'000'000u;
    return (bits_ns + config.host_baud - 1) / config.host_baud;
}

namespace {

// Length of a PTS message from its PTS0 byte: PTSS, PTS0, PTS1-3 as PTS0 bits 4-6 announce
// them, PCK (ISO/IEC 7816-3 9.2).
unsigned PtsLength(uint8_t pts0) {
    return 3 + ((pts0 >> 4) & 1) + ((pts0 >> 5) & 1) + ((pts0 >> 6) & 1);
}

constexpr uint8_t kPtss = 0xFF;
constexpr uint32_t kFrameEtu = 10;            // start bit, 8 data bits, parity bit
constexpr uint32_t kMinCharacterEtu = 11;     // the frame and at least one etu of stop
constexpr uint32_t kSendDataReplyEtu = 12;    // the frame and its error-signal window

}  // namespace

void ReaderFirmware::OneShot::StartAt(uint64_t when_ns, Handler handler, uint64_t arg) {
    Cancel();
    Clock& clock = reader_.clock_;
    const uint64_t now = clock.NowNs();
    pending_ = true;
    handler_ = handler;
    due_ns_ = when_ns > now ? when_ns : now;
    id_ = clock.AfterCall(when_ns > now ? when_ns - now : 0, Clock::Call{&OneShot::Fire, this, arg});
}

void ReaderFirmware::OneShot::Fire(void* self, uint64_t arg) {
    auto* timer = static_cast<OneShot*>(self);
    timer->pending_ = false;
    (timer->reader_.*timer->handler_)(arg);
}

void ReaderFirmware::OneShot::Cancel() {
    if (pending_) reader_.clock_.Cancel(id_);
    pending_ = false;
}

ReaderFirmware::ReaderFirmware(Clock& clock, TxFn tx, ReaderConfig config)
    : clock_(clock),
      config_(std::move(config)),
      faults_(config_.faults),
      host_byte_ns_(HostByteTimeNs(config_)),
      tx_(clock, std::move(tx), host_byte_ns_, &faults_) {
    ResetRegisters();
}

ReaderFirmware::~ReaderFirmware() = default;

void ReaderFirmware::ResetRegisters() {
    // Power-on values: the ISO/IEC 7816-3 initial waiting time (9600 etu) in both time-outs,
    // a 12-etu character distance, everything else 0.
    std::fill(std::begin(regs_), std::end(regs_), uint8_t{0});
    regs_[wire::RegVersion] = config_.version;
    regs_[wire::RegGuardTime] = 12;
    char_timeout_etu_ = 9600;
    block_timeout_etu_ = 9600;
    rate_ = kDefaultRate;
    pts_ = Pts::Idle;
    pending_reset_ = ResetKind::Cold;
}

void ReaderFirmware::SetPowered(bool powered) {
    if (powered == powered_) return;
    if (!powered) {
        // VCC, CLK and RST of the card go with the reader's own supply.
        StopCardLine();
        if (slot_ != Slot::Empty) slot_ = Slot::Off;
        busy_ = false;
        card_out_.clear();
        host_fifo_.clear();
        command_.clear();
        tx_.Clear();
    }
    powered_ = powered;
    // Off or on, the registers hold what the firmware's start-up writes into them.
    ResetRegisters();
}

// ---------------------------------------------------------------------------------------
// Host side

void ReaderFirmware::OnHostByte(uint8_t b) {
    if (!powered_) {
        ++stats_.host_bytes_unpowered;
        return;
    }
    if (muted_) return;
    const FaultOptions& f = faults_.Options();
    if (faults_.Roll(FaultKind::HostRxDrop, f.host_rx_drop_ppm)) {
        ++stats_.host_bytes_dropped;
        return;
    }
    if (faults_.Roll(FaultKind::HostRxCorrupt, f.host_rx_corrupt_ppm)) {
        b = faults_.FlipOneBit(FaultKind::HostRxCorrupt, b);
        ++stats_.host_bytes_corrupted;
    }
    ++stats_.host_bytes_received;
    // Whatever the host sends next ends the watch on the card: the host has moved on.
    DisarmTimeout();
    if (host_fifo_.size() >= kHostFifoBytes) {
        ++stats_.host_fifo_overruns;
        return;
    }
    host_fifo_.push_back(HostByte{b, Now()});
    ProcessHostBytes();
}

void ReaderFirmware::ProcessHostBytes() {
    // Bounded by the FIFO: every pass consumes one byte.
    while (!busy_ && !muted_ && !host_fifo_.empty()) {
        const HostByte hb = host_fifo_.front();
        host_fifo_.pop_front();
        if (!command_.empty() && hb.time_ns - command_last_ns_ > config_.command_gap_timeout_ns) {
            // The rest of that command never came; start over with this byte.
            ++stats_.partial_commands_discarded;
            command_.clear();
        }
        command_.push_back(hb.byte);
        command_last_ns_ = hb.time_ns;
        if (command_.size() >= wire::CommandLength(command_[0])) {
            Execute();
            command_.clear();
        }
    }
}

void ReaderFirmware::Execute() {
    ++stats_.commands;
    const FaultOptions& f = faults_.Options();
    if ((f.mute_after_commands != 0 && stats_.commands > f.mute_after_commands) ||
        faults_.Roll(FaultKind::Mute, f.mute_ppm)) {
        SetMuted(true);
        return;
    }
    if (faults_.Roll(FaultKind::ReaderError, f.reader_error_ppm)) {
        ++stats_.reader_errors;
        tx_.SendStreamEvent(wire::kEventReaderError);
        return;
    }
    const uint8_t op = command_[0] & wire::kOpMask;
    const uint8_t arg = command_[0] & wire::kArgMask;
    switch (op) {
    case wire::kOpWriteRegister: WriteRegister(arg, command_.data() + 1); break;
    case wire::kOpReadRegister: Reply(RegisterValue(arg)); break;
    case wire::kOpSendData: SendCardData(command_.data() + 1, arg); break;
    default: Reply(wire::kReaderError); break;  // 0x00-0x3F are no command
    }
}

void ReaderFirmware::Reply(uint8_t b) {
    if (!muted_) tx_.SendData(b);
}

uint8_t ReaderFirmware::RegisterValue(uint8_t reg) const {
    reg &= wire::kArgMask;
    switch (reg) {
    case wire::RegCardState:
        return static_cast<uint8_t>((CardPresent() ? wire::kCardStatePresent : 0) |
                                    (CardPowered() ? wire::kCardStatePowered : 0));
    case wire::RegCharTimeout: return static_cast<uint8_t>(char_timeout_etu_);
    case wire::RegBlockTimeout: return static_cast<uint8_t>(block_timeout_etu_);
    default: return regs_[reg];
    }
}

uint32_t ReaderFirmware::GuardTimeEtu() const {
    const uint32_t bit8 = (regs_[wire::RegMode] & wire::kModeGuardBit8) ? 0x100 : 0;
    return bit8 | regs_[wire::RegGuardTime];
}

void ReaderFirmware::WriteRegister(uint8_t reg, const uint8_t* data) {
    switch (reg) {
    case wire::RegVersion:
        Reply(wire::kReaderError);  // read only
        return;
    case wire::RegCardReset:
        if (data[0] != wire::kActivate) {
            Reply(wire::kReaderError);
            return;
        }
        regs_[reg] = data[0];
        Activate();
        return;
    case wire::RegCardState:
        // Presence is the slot's to say; the host can only switch the card off.
        if ((data[0] & wire::kCardStatePowered) == 0) PowerOff();
        Reply(wire::kDone);
        return;
    case wire::RegCharTimeout:
    case wire::RegBlockTimeout: {
        const uint32_t v = data[0] | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16;
        (reg == wire::RegCharTimeout ? char_timeout_etu_ : block_timeout_etu_) = v;
        Reply(wire::kDone);
        return;
    }
    default:
        regs_[reg] = data[0];
        Reply(wire::kDone);
        return;
    }
}

void ReaderFirmware::SendCardData(const uint8_t* data, unsigned count) {
    if (count > wire::kMaxCardBytesPerCommand) {
        Reply(wire::kOverrun);
        return;
    }
    if (slot_ != Slot::Active) {
        Reply(wire::kReaderError);
        return;
    }
    SnoopPtsRequest(data, count);
    if (count == 0) {
        // Nothing goes to the card, but the host now waits for it: watch the block time.
        Reply(wire::kDone);
        ArmTimeout(Now() + EtuNs(block_timeout_etu_));
        return;
    }
    card_out_.assign(data, data + count);
    busy_ = true;
    StartCardTx();
}

void ReaderFirmware::SetMuted(bool muted) {
    muted_ = muted;
    if (muted) tx_.Clear();
}

void ReaderFirmware::InjectReaderError() {
    if (muted_ || !powered_) return;
    ++stats_.reader_errors;
    tx_.SendUrgentEvent(wire::kEventReaderError);
}

uint64_t ReaderFirmware::HostIndependentUntilNs() const {
    if (!busy_ || !card_out_timer_.Pending()) return 0;
    // A card pulled at a leading edge ends the command there and takes the FIFO at once.
    const FaultOptions& f = faults_.Options();
    if (f.card_pull_ppm != 0 || f.card_pull_at_char != 0) return 0;
    // The reply takes the FIFO: only what comes before it.
    const auto before = [](uint64_t ns) { return ns > 0 ? ns - 1 : 0; };
    uint64_t until = card_out_timer_.DueNs();
    if (card_out_timer_.Runs(&ReaderFirmware::FinishSendData)) until = before(until);
    // A host byte ends a watch still armed from the command before.
    if (timeout_timer_.Pending()) until = std::min(until, before(timeout_timer_.DueNs()));
    return until;
}

uint64_t ReaderFirmware::HostSilentUntilNs() const {
    if (!host_fifo_.empty() || !command_.empty()) return 0;
    if (timeout_timer_.Pending()) return timeout_timer_.DueNs() > 0 ? timeout_timer_.DueNs() - 1 : 0;
    return UINT64_MAX;
}

// ---------------------------------------------------------------------------------------
// Card slot

bool ReaderFirmware::InsertCard(std::unique_ptr<Card> card) {
    if (card == nullptr || slot_ != Slot::Empty) return false;
    card_ = std::move(card);
    slot_ = Slot::Off;
    if (powered_ && !muted_) tx_.SendUrgentEvent(wire::kEventCardInserted);
    return true;
}

std::unique_ptr<Card> ReaderFirmware::RemoveCard() {
    if (slot_ == Slot::Empty) return nullptr;
    StopCardLine();
    slot_ = Slot::Empty;
    if (powered_ && !muted_) tx_.SendUrgentEvent(wire::kEventCardRemoved);
    if (busy_) {
        // The card went away under a send-card-data command: it cannot be completed.
        busy_ = false;
        card_out_.clear();
        Reply(wire::kReaderError);
        ProcessHostBytes();
    }
    return std::move(card_);
}

void ReaderFirmware::PullCard() {
    ++stats_.cards_pulled;
    std::unique_ptr<Card> card = RemoveCard();
    if (config_.faults.reinsert_after_ns == 0) {
        pulled_card_ = std::move(card);  // kept, so the object outlives any call into it
        return;
    }
    pulled_card_ = std::move(card);
    reinsert_timer_.StartAt(Now() + config_.faults.reinsert_after_ns, &ReaderFirmware::Reinsert);
}

void ReaderFirmware::Reinsert(uint64_t) { InsertCard(std::move(pulled_card_)); }

void ReaderFirmware::Activate() {
    if (slot_ == Slot::Empty) {
        Reply(wire::kReaderError);  // no contacts are powered without a card
        return;
    }
    Reply(wire::kDone);
    uint32_t clocks;
    if (slot_ == Slot::Off) {
        pending_reset_ = ResetKind::Cold;
        clocks = config_.cold_activation_clocks;
    } else {
        // Card powered: RST goes low, the card stops talking and answers anew when it rises.
        if (slot_ == Slot::Active) pending_reset_ = ResetKind::Warm;
        clocks = pending_reset_ == ResetKind::Cold ? config_.cold_activation_clocks
                                                   : config_.warm_activation_clocks;
        card_in_.clear();
        card_in_timer_.Cancel();
        DisarmTimeout();
    }
    slot_ = Slot::Resetting;
    const ResetKind kind = pending_reset_;
    ++(kind == ResetKind::Cold ? stats_.cold_resets : stats_.warm_resets);
    rst_timer_.StartAt(Now() + ClocksToNs(clocks, config_.card_clock_hz), &ReaderFirmware::RstHigh,
                       static_cast<uint64_t>(kind));
}

void ReaderFirmware::RstHigh(uint64_t kind) {
    slot_ = Slot::Active;
    rate_ = kDefaultRate;
    pts_ = Pts::AwaitRequest;
    card_in_free_at_ns_ = Now();
    card_out_free_at_ns_ = Now();
    ArmTimeout(Now() + ClocksToNs(config_.atr_start_timeout_clocks, config_.card_clock_hz));
    card_->Reset(link_, static_cast<ResetKind>(kind));
}

void ReaderFirmware::PowerOff() {
    if (!CardPowered()) return;
    StopCardLine();
    slot_ = Slot::Off;
}

void ReaderFirmware::StopCardLine() {
    const bool powered = CardPowered();
    rst_timer_.Cancel();
    card_out_timer_.Cancel();
    card_in_timer_.Cancel();
    card_out_.clear();
    card_in_.clear();
    DisarmTimeout();
    pts_ = Pts::Idle;
    rate_ = kDefaultRate;
    if (powered && card_ != nullptr) card_->Deactivate();
}

// Reader -> card -------------------------------------------------------------------------

void ReaderFirmware::StartCardTx() {
    card_out_timer_.StartAt(std::max(Now(), card_out_free_at_ns_), &ReaderFirmware::OnReaderCharLeadingEdge);
}

bool ReaderFirmware::PullAtLeadingEdge() {
    const uint64_t n = ++stats_.card_line_chars;
    const FaultOptions& f = faults_.Options();
    return n == f.card_pull_at_char || faults_.Roll(FaultKind::CardPull, f.card_pull_ppm);
}

void ReaderFirmware::OnReaderCharLeadingEdge(uint64_t) {
    if (PullAtLeadingEdge()) {
        PullCard();
        return;
    }
    const uint8_t b = card_out_.front();
    card_out_.pop_front();
    last_out_leading_ns_ = Now();
    card_out_free_at_ns_ = Now() + EtuNs(std::max(GuardTimeEtu(), kMinCharacterEtu));
    card_out_timer_.StartAt(Now() + EtuNs(kFrameEtu), &ReaderFirmware::OnReaderCharComplete, b);
}

void ReaderFirmware::OnReaderCharComplete(uint64_t byte) {
    ++stats_.bytes_to_card;
    if (!card_out_.empty()) {
        StartCardTx();
    } else {
        card_out_timer_.StartAt(last_out_leading_ns_ + EtuNs(kSendDataReplyEtu), &ReaderFirmware::FinishSendData);
    }
    // Last: the card may answer at once, and the answer must find the line state settled.
    card_->Receive(static_cast<uint8_t>(byte), !SameRate(card_->CurrentRate(), rate_));
}

void ReaderFirmware::FinishSendData(uint64_t) {
    busy_ = false;
    Reply(wire::kDone);
    ArmTimeout(last_out_leading_ns_ + EtuNs(block_timeout_etu_));
    ProcessHostBytes();
}

// Card -> reader -------------------------------------------------------------------------

void ReaderFirmware::CardSend(uint8_t byte, uint32_t delay_etu) {
    if (slot_ != Slot::Active) return;  // a card talking during RST low is not heard
    if (card_in_.size() >= kMaxCardQueue) {
        ++stats_.card_queue_overflows;
        return;
    }
    card_in_.push_back(CardChar{byte, delay_etu, card_->CurrentRate(), card_->CharacterEtu()});
    if (!card_in_timer_.Pending()) ScheduleNextCardChar();
}

void ReaderFirmware::ScheduleNextCardChar() {
    if (card_in_.empty()) return;
    const CardChar& c = card_in_.front();
    const uint64_t start = std::max(Now(), card_in_free_at_ns_);
    const uint64_t leading = start + EtuToNs(c.delay_etu, c.rate, config_.card_clock_hz);
    card_in_timer_.StartAt(leading, &ReaderFirmware::OnCardLeadingEdge);
}

void ReaderFirmware::OnCardLeadingEdge(uint64_t) {
    if (PullAtLeadingEdge()) {
        PullCard();
        return;
    }
    // A start bit: the card is not silent, whatever the waiting time was.
    timeout_timer_.Cancel();
    const CardChar& c = card_in_.front();
    const uint64_t leading = Now();
    card_in_free_at_ns_ =
        leading + EtuToNs(std::max(c.character_etu, kMinCharacterEtu), c.rate, config_.card_clock_hz);
    card_in_timer_.StartAt(leading + EtuToNs(kFrameEtu, c.rate, config_.card_clock_hz),
                           &ReaderFirmware::OnCardCharComplete, leading);
}

void ReaderFirmware::OnCardCharComplete(uint64_t leading_ns) {
    const CardChar c = card_in_.front();
    card_in_.pop_front();
    ++stats_.bytes_from_card;
    // Sampled at the reader's etu, a character sent at another rate is garbage; the parity
    // check is what notices.
    const bool parity_error =
        !SameRate(c.rate, rate_) ||
        faults_.Roll(FaultKind::CardParity, faults_.Options().card_parity_error_ppm);
    if (parity_error) {
        ++stats_.card_parity_errors;
        if (!muted_) tx_.SendStreamEvent(wire::kEventFaultyCardByte);
        pts_ = Pts::Idle;
    } else {
        if (!muted_) tx_.SendData(c.byte);
        SnoopPtsResponse(c.byte);
    }
    if (timeout_armed_) RestartTimeout(leading_ns + EtuNs(char_timeout_etu_));
    ScheduleNextCardChar();
}

// PTS watch --------------------------------------------------------------------------------

void ReaderFirmware::SnoopPtsRequest(const uint8_t* data, unsigned count) {
    if (pts_ == Pts::AwaitRequest && count >= 2 && data[0] == kPtss &&
        count == PtsLength(data[1])) {
        pts_request_.assign(data, data + count);
        pts_response_.clear();
        pts_ = Pts::AwaitResponse;
        return;
    }
    // Anything else after the ATR means the card runs at the rate it answered at.
    pts_ = Pts::Idle;
}

void ReaderFirmware::SnoopPtsResponse(uint8_t byte) {
    if (pts_ != Pts::AwaitResponse) return;
    pts_response_.push_back(byte);
    if (pts_response_.size() < 2 || pts_response_.size() < PtsLength(pts_response_[1])) return;
    pts_ = Pts::Idle;
    const auto& rq = pts_request_;
    const auto& rs = pts_response_;
    uint8_t check = 0;
    for (uint8_t b : rs) check ^= b;
    // ISO/IEC 7816-3 9.3: PTSS and the protocol of PTS0 echoed, the check byte right.
    if (check != 0 || rs[0] != kPtss || (rs[1] & 0x0F) != (rq[1] & 0x0F)) return;
    const bool rs_pts1 = (rs[1] & 0x10) != 0;
    if (!rs_pts1) {
        rate_ = kDefaultRate;  // PTS1 absent in the answer: Fd and Dd
        return;
    }
    if ((rq[1] & 0x10) == 0 || rs[2] != rq[2]) return;  // PTS1 must be an echo
    if (auto rate = RateFromFiDi(rs[2])) rate_ = *rate;
}

// Time-out ---------------------------------------------------------------------------------

void ReaderFirmware::ArmTimeout(uint64_t deadline_ns) {
    timeout_armed_ = true;
    RestartTimeout(deadline_ns);
}

void ReaderFirmware::RestartTimeout(uint64_t deadline_ns) {
    timeout_timer_.StartAt(deadline_ns, &ReaderFirmware::OnTimeoutDeadline);
}

void ReaderFirmware::DisarmTimeout() {
    timeout_armed_ = false;
    timeout_timer_.Cancel();
}

void ReaderFirmware::OnTimeoutDeadline(uint64_t) {
    if (!timeout_armed_) return;
    // The host must see the line fall silent before the time-out: its receive engine takes
    // a burst of bytes as one, and the event belongs after the burst, not in it.
    const uint64_t earliest = tx_.QuietFromNs() + config_.min_timeout_silence_ns;
    if (Now() < earliest) {
        RestartTimeout(earliest);
        return;
    }
    timeout_armed_ = false;
    ++stats_.timeouts_reported;
    if (!muted_) tx_.SendStreamEvent(wire::kEventTimeout);
}

}  // namespace lmscr::sim
