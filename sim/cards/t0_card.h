// The T=0 protocol from the card's side (ISO/IEC 7816-3 clause 10).
//
// A command starts with the header the reader sends; the card answers with procedure bytes
// and, in between, the data go one way:
//
//   reader:  CLA INS P1 P2 P3            [data ...]              [data]
//   card:                     [60..] INS            [60..] ~INS          [60..] SW1 SW2
//
//   INS        ACK: all remaining data bytes follow (10.3.3)
//   INS ^ FF   NOT INS: one data byte follows, then another procedure byte
//   60         NULL: the card needs more time; restarts the work waiting time
//   6X / 9X    SW1 (not 60): SW2 follows and the command is over
//
// P3 is Lc for a command that carries data to the card, Le (00 = 256) for one that reads,
// 00 for case 1. Every character the card sends starts within the work waiting time
// WT = 960 x WI x D etu of the previous character (either direction; 10.2), and not earlier
// than 16 etu after the leading edge of the reader's last character.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/card.h"
#include "sim/cards/application.h"

namespace lmscr::sim::cards {

enum class T0Procedure : uint8_t {
    AckAll,          // one INS for all the data
    NotInsEachByte,  // INS ^ FF before every single byte
    NotInsThenAck,   // INS ^ FF for the first byte, then INS for the rest
};

struct T0Options {
    T0Procedure procedure = T0Procedure::AckAll;
    // Etu from the end of the reader's last character to the card's next leading edge; at
    // least 6 (16 etu between leading edges, 10.2).
    uint32_t turnaround_etu = 6;
    uint32_t nulls_before_procedure = 0;  // NULL bytes in front of every procedure byte and SW1
    uint32_t null_spacing_etu = 0;        // extra etu between those NULL bytes
    uint32_t data_gap_etu = 0;            // extra etu between the card's data bytes
    // Time the card needs to run a command before its status; NULL bytes keep it inside WT.
    uint32_t processing_etu = 0;
    // A faulty card: after the data of an answer (case 2, GET RESPONSE) this many NOT INS
    // bytes, each followed by one data byte the reader did not ask for, before SW1 SW2.
    uint32_t overrun_bytes = 0;
    // NULL bytes between the last data byte of a command (either way) and SW1, spaced by
    // null_spacing_etu; after the reader's data of case 3, after the card's data of case 2.
    // (Between an ACK and the data that follow it a 60 would be a data byte, not a NULL.)
    uint32_t nulls_after_data = 0;
};

struct T0Stats {
    uint32_t commands = 0;
    uint32_t nulls_sent = 0;
    uint32_t abandoned = 0;  // commands dropped after a parity error
};

class T0Protocol {
public:
    T0Protocol(T0Options options, CardApplication& app, uint8_t wi);

    // The protocol is in force at `rate` from now on, with a fresh command state.
    void Start(CardLink& link, Rate rate);
    void Receive(uint8_t byte, bool parity_error);

    uint32_t WorkWaitingEtu() const { return wt_etu_; }
    const T0Stats& Stats() const { return stats_; }

private:
    enum class State { Header, DataIn, Ignore };

    void OnHeader();
    void OnAllDataIn();
    void Finish(const Response& r);
    void SendProcedure(uint8_t byte, uint32_t wait_etu);
    void Emit(uint8_t byte, uint32_t delay_etu);
    uint8_t NextDataProcedure() const;

    T0Options options_;
    CardApplication& app_;
    uint8_t wi_;
    CardLink* link_ = nullptr;
    uint32_t wt_etu_ = 9600;
    State state_ = State::Header;
    Bytes header_;
    Bytes data_;
    size_t expected_ = 0;
    bool after_rx_ = true;  // the next character follows a reader character, not one of ours
    T0Stats stats_;
};

// T=0 reserves INS 6X and 9X: they would read as procedure bytes (10.3.2).
bool InsValidForT0(uint8_t ins);
// Whether INS carries data to the card (P3 = Lc) or from it (P3 = Le).
bool InsCarriesDataIn(uint8_t ins);

}  // namespace lmscr::sim::cards
