// The T=1 block protocol from the card's side (ISO/IEC 7816-3 clause 11).
//
//   +-----+-----+-----+---------------------+---------------+
//   | NAD | PCB | LEN | INF (LEN bytes)     | EDC           |
//   +-----+-----+-----+---------------------+---------------+
//     1     1     1     0..IFSC from reader   LRC: 1 byte (xor of NAD..INF)
//                       0..IFSD from card     CRC: 2 bytes, ISO/IEC 13239, low-order first
//
//   NAD   b7-b5 SAD, b3-b1 DAD (b8, b4 0); the card answers with SAD and DAD swapped
//   PCB   I-block  0 N(S) M 0 0 0 0 0        N(S) send sequence number, M more data follows
//         R-block  1 0 0 N(R) e e e e        N(R) the N(S) expected next; eeee 0 / 1 EDC or
//                                            parity error / 2 other error
//         S-block  1 1 R t t t t t           R 1 for a response; t 0 RESYNCH, 1 IFS (INF 1
//                                            byte), 2 ABORT, 3 WTX (INF 1 byte)
//
// Timing, counted between leading edges: the card's first character comes at least BGT = 22
// etu after the reader's last one and within BWT = 11 etu + 2^BWI x 960 x 372 D / F etu (times
// the factor of a granted WTX); its characters are at most CWT = 11 + 2^CWI etu apart.
//
// The rules cited at the decisions are those of 11.6 (1 to 6 error-free operation, 7.1 to 7.5
// error handling, 9 chain abortion), taken from the card's side.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/card.h"
#include "sim/cards/application.h"

namespace lmscr::sim::cards {

struct T1Options {
    // Etu from the end of the reader's last character to the card's first leading edge;
    // at least 12 (BGT, 11.2).
    uint32_t block_delay_etu = 12;
    uint32_t char_gap_etu = 0;   // extra etu between the card's characters
    uint32_t processing_etu = 0;  // time a command takes before its answer
    // Ask for a waiting time extension when processing would overrun BWT (Rule 3). Without
    // it a slow card simply answers late.
    bool wtx = true;
    uint8_t ifs_request = 0;  // the card's own S(IFS request) before its first answer; 0 none
    uint8_t max_answer_inf = 0;  // largest INF of the card's I-blocks (chaining); 0: IFSD
    // Hold the reader's characters to CWT: a pause longer than that drops the partial block.
    // Most cards are not that strict about what they receive and wait for the rest of a block
    // as long as BWT.  This reader sends a block of more than 24 bytes in commands of 24; its
    // characters run on without a pause only while the host keeps the next command waiting in
    // the reader's FIFO, and a host that hands it over late loses the block with such a card.
    bool strict_receive_cwt = false;
    // The card's S(IFS request) with this IFSC in the middle of every chained answer, once its
    // first block has been acknowledged; then the chain goes on. 0: none.
    uint8_t ifs_request_in_chain = 0;
    // A faulty card: every answer is an endless chain of I-blocks with M set and no INF.
    bool endless_chain = false;
    // A faulty card: this answer (which may lack SW1 SW2) to every command, whatever the
    // application says.
    std::optional<Bytes> fixed_answer;
};

struct T1Stats {
    uint32_t blocks_received = 0;
    uint32_t invalid_blocks = 0;  // EDC, parity, or a block the rules do not allow
    uint32_t partial_blocks_dropped = 0;
    uint32_t retransmissions = 0;
    uint32_t wtx_requests = 0;
    uint32_t ifs_requests = 0;
    uint32_t resynchs = 0;
    uint32_t aborts = 0;
    uint32_t commands = 0;
};

class T1Protocol {
public:
    static constexpr size_t kMaxCommandBytes = 261;  // CLA INS P1 P2 Lc 255 bytes Le

    T1Protocol(T1Options options, CardApplication& app, uint8_t ifsc, uint8_t cwi, uint8_t bwi,
               bool crc);

    // The protocol is in force at `rate` from now on: N(S) 0 on both sides, IFSD 32 (11.4.2).
    void Start(CardLink& link, Rate rate);
    void Receive(uint8_t byte, bool parity_error);

    uint32_t BwtEtu() const { return bwt_etu_; }
    uint32_t CwtEtu() const { return cwt_etu_; }
    uint8_t Ifsc() const { return ifsc_; }
    uint8_t Ifsd() const { return ifsd_; }
    // Factor of the last waiting time extension the reader granted for the current answer.
    uint8_t WtxGranted() const { return wtx_granted_; }
    const T1Stats& Stats() const { return stats_; }

private:
    enum class Phase {
        Idle,          // nothing sent since the start or a resynchronisation
        ReceivingChain,  // the card acknowledged a chained I-block with an R-block
        Chaining,      // the card sent an I-block with M = 1 and awaits its acknowledgement
        Answered,      // the card's last I-block ended its answer
        AwaitWtx,      // S(WTX request) sent
        AwaitIfs,      // S(IFS request) sent
    };

    void OnBlock();
    void OnInvalid(uint8_t error);
    void OnIBlock(uint8_t pcb, const Bytes& inf);
    void OnRBlock(uint8_t pcb);
    void OnSBlock(uint8_t pcb, const Bytes& inf);
    void StartAnswer();
    void ContinueAnswer();
    void SendChunk(uint32_t delay_etu);
    void SendBlock(uint8_t pcb, const Bytes& inf, uint32_t delay_etu);
    void SendR(uint8_t error);
    void SendRaw(const Bytes& block, uint32_t delay_etu);

    T1Options options_;
    CardApplication& app_;
    uint8_t atr_ifsc_;
    uint8_t cwi_, bwi_;
    bool crc_;
    CardLink* link_ = nullptr;
    Rate rate_ = kDefaultRate;
    uint32_t bwt_etu_ = 0, cwt_etu_ = 0;

    Bytes rx_;
    bool rx_bad_ = false;
    uint64_t last_rx_ns_ = 0;
    uint8_t reader_nad_ = 0;

    Phase phase_ = Phase::Idle;
    uint8_t ns_ = 0;          // N(S) of the card's next new I-block
    uint8_t nr_ = 0;          // N(S) expected in the reader's next I-block
    uint8_t ifsc_ = 32, ifsd_ = 32;
    bool ifs_requested_ = false;
    bool chain_ifs_due_ = false;  // this answer's S(IFS request) in its chain is yet to come
    bool ifs_in_chain_ = false;   // the S(IFS request) awaiting its response interrupts a chain
    Bytes command_;
    bool command_overflow_ = false;
    Bytes answer_;
    size_t answer_acked_ = 0;
    Bytes last_i_block_;
    Bytes last_s_request_;
    uint8_t wtx_granted_ = 0;
    T1Stats stats_;
};

// EDC of ISO/IEC 7816-3 11.4.4, the card's own.
uint8_t T1Lrc(const uint8_t* data, size_t n);
uint16_t T1Crc(const uint8_t* data, size_t n);

}  // namespace lmscr::sim::cards
