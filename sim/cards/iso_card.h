// A card that speaks after its answer to reset: PTS (clause 9), then T=0 (clause 10) or T=1
// (clause 11) with a small ISO/IEC 7816-4 application behind either. What it offers follows
// from its own ATR: the protocols in TD1.., TA1 for the rate, TA2 for specific mode, TC2 for
// WI, the first T=1 bytes for IFSC, CWI, BWI and the EDC.
//
// After a reset the card is in negotiable mode (9.1): a first byte FF from the reader opens a
// PTS request; anything else starts the first protocol it offers at Fd/Dd. A card with TA2 is
// in specific mode: it runs the protocol of TA2 at once, at TA1's rate unless TA2 b5 says the
// rate is implicit (then Fd/Dd here).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/card.h"
#include "sim/cards/application.h"
#include "sim/cards/atr_info.h"
#include "sim/cards/pts.h"
#include "sim/cards/t0_card.h"
#include "sim/cards/t1_card.h"

namespace lmscr::sim::cards {

struct IsoCardOptions {
    std::vector<uint8_t> atr;      // must parse (ParseAtr)
    uint32_t ts_delay_etu = 30;    // 11160 clock cycles: inside 400..40000 (6.2.2)
    uint32_t atr_gap_etu = 0;
    PtsMode pts = PtsMode::Echo;
    // Etu the card takes beyond the usual turnaround before it answers a PTS request.
    uint32_t pts_delay_etu = 0;
    T0Options t0;
    T1Options t1;
    ApplicationOptions app;
};

class IsoCard : public Card {
public:
    // Nothing when the ATR does not parse.
    static std::unique_ptr<IsoCard> Make(IsoCardOptions options);

    void Reset(CardLink& link, ResetKind kind) override;
    void Receive(uint8_t byte, bool parity_error) override;
    void Deactivate() override;
    Rate CurrentRate() const override { return rate_; }

    const AtrInfo& Atr() const { return info_; }
    // The protocol in force; nothing before the first exchange picks one, or after a failed
    // or unanswered PTS request.
    std::optional<uint8_t> Protocol() const { return protocol_; }
    bool PtsAnswered() const { return pts_answered_; }
    CardApplication& Application() { return app_; }
    const T0Protocol& T0() const { return t0_; }
    const T1Protocol& T1() const { return t1_; }
    unsigned Resets() const { return resets_; }

private:
    IsoCard(IsoCardOptions options, AtrInfo info);
    void StartProtocol(uint8_t protocol, Rate rate);

    enum class Stage { Off, AfterAtr, Pts, Running, Mute };

    IsoCardOptions options_;
    AtrInfo info_;
    CardApplication app_;
    T0Protocol t0_;
    T1Protocol t1_;
    PtsResponder pts_;
    CardLink* link_ = nullptr;
    Stage stage_ = Stage::Off;
    Rate rate_ = kDefaultRate;
    std::optional<uint8_t> protocol_;
    bool pts_answered_ = false;
    unsigned resets_ = 0;
};

}  // namespace lmscr::sim::cards
