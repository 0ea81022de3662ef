#include "sim/cards/iso_card.h"

#include <utility>

namespace lmscr::sim::cards {

namespace {
constexpr uint8_t kPtss = 0xFF;
// Etu from the end of the request's last character to the response's first leading edge:
// 16 etu between leading edges, as in T=0 (10.2).
constexpr uint32_t kPtsTurnaroundEtu = 6;
}  // namespace

std::unique_ptr<IsoCard> IsoCard::Make(IsoCardOptions options) {
    auto info = ParseAtr(options.atr);
    if (!info) return nullptr;
    return std::unique_ptr<IsoCard>(new IsoCard(std::move(options), std::move(*info)));
}

IsoCard::IsoCard(IsoCardOptions options, AtrInfo info)
    : options_(std::move(options)), info_(std::move(info)), app_(options_.app),
      t0_(options_.t0, app_, info_.wi), t1_(options_.t1, app_, info_.ifsc, info_.cwi, info_.bwi, info_.crc),
      pts_(options_.pts, info_.protocols, info_.ta1) {}

void IsoCard::Reset(CardLink& link, ResetKind /*kind*/) {
    ++resets_;
    link_ = &link;
    rate_ = kDefaultRate;  // every answer to reset is at Fd/Dd (8.1)
    protocol_.reset();
    pts_answered_ = false;
    pts_ = PtsResponder(options_.pts, info_.protocols, info_.ta1);
    app_.Reset();
    for (size_t i = 0; i < options_.atr.size(); ++i)
        link.Send(options_.atr[i], i == 0 ? options_.ts_delay_etu : options_.atr_gap_etu);
    if (info_.specific) {
        // 8.3 (TA2): specific mode, the protocol and rate hold right after the ATR.
        const auto ta1_rate = RateFromFiDi(info_.ta1);
        StartProtocol(info_.specific_protocol,
                      info_.specific_implicit || !ta1_rate ? kDefaultRate : *ta1_rate);
        return;
    }
    stage_ = Stage::AfterAtr;
}

void IsoCard::StartProtocol(uint8_t protocol, Rate rate) {
    rate_ = rate;
    protocol_ = protocol;
    stage_ = Stage::Running;
    if (protocol == 1) {
        t1_.Start(*link_, rate);
    } else if (protocol == 0) {
        t0_.Start(*link_, rate);
    } else {
        stage_ = Stage::Mute;  // a protocol this card cannot speak
    }
}

void IsoCard::Receive(uint8_t byte, bool parity_error) {
    switch (stage_) {
    case Stage::Off:
    case Stage::Mute: return;
    case Stage::AfterAtr:
        // 9.1: only the first exchange after the ATR may be a PTS request.
        if (byte == kPtss && !parity_error) {
            stage_ = Stage::Pts;
            break;
        }
        StartProtocol(info_.first_protocol, kDefaultRate);
        if (stage_ == Stage::Running) Receive(byte, parity_error);
        return;
    case Stage::Running:
        if (protocol_ == 1) {
            t1_.Receive(byte, parity_error);
        } else {
            t0_.Receive(byte, parity_error);
        }
        return;
    case Stage::Pts: break;
    }
    const auto outcome = pts_.Receive(byte, parity_error);
    if (!outcome) {
        if (pts_.Collected() >= PtsResponder::kMaxRequestBytes) stage_ = Stage::Mute;
        return;
    }
    // 9.2: the response comes within the initial waiting time; the card keeps 16 etu after the
    // request's last leading edge, as in T=0.
    for (size_t i = 0; i < outcome->response.size(); ++i) link_->Send(outcome->response[i], i == 0 ? kPtsTurnaroundEtu + options_.pts_delay_etu : 0);
    pts_answered_ = !outcome->response.empty();
    if (!outcome->success) {
        // Silent or refused: the reader is to deactivate the card (9.3); until then it listens
        // to nothing.
        stage_ = Stage::Mute;
        return;
    }
    // The response's characters went out at the old rate (the link keeps the rate of each
    // character as it was queued); the new one holds from the character after its check byte.
    StartProtocol(outcome->protocol, outcome->rate);
}

void IsoCard::Deactivate() {
    stage_ = Stage::Off;
    link_ = nullptr;
    rate_ = kDefaultRate;
    protocol_.reset();
}

}  // namespace lmscr::sim::cards
