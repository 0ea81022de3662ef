// The simulated reader's firmware: the register map, the three commands, the escape coding
// of everything it sends, the in-band events, and the card slot with its card-side timing.
// The wire format is drawn in sim/wire.h; the transmit path to the host in sim/host_tx.h.
//
// Timing model (all times are the Clock's):
//  Host line. OnHostByte is called when a byte's stop bit has ended. A command executes the
//   moment its last byte is in; its reply is queued at once (send card data: when its bytes
//   have gone out to the card, see below). Bytes to the host leave one per byte time
//   (host_bits_per_byte / host_baud, rounded up), see HostTransmitter. A command whose bytes
//   stop for command_gap_timeout_ns is dropped unanswered, so that a lost byte costs one
//   command and not every command after it. While a send-card-data command runs, further
//   host bytes wait in a 64-byte receive FIFO and are taken in order when it is done.
//  Card line. Everything counts leading edges of start bits (ISO/IEC 7816-3 7.2, 10.2). The
//   reader sends a character every max(guard time, 11) etu, guard time = register 1 plus
//   bit 7 of register 2 as bit 8; the card has it 10 etu after its leading edge. A
//   send-card-data command is answered 12 etu after the leading edge of its last character,
//   when the character and its error-signal window are over, which is before any answer of
//   the card can be complete (the card may start 16 etu after that leading edge at the
//   earliest, ISO/IEC 7816-3 10.2). A card character is complete 10 etu after its leading
//   edge and is forwarded to the host at once (0x10 0x88 in its place if its parity failed).
//  Activation. Register 3 <- 0x1D: reply 0x90, then RST rises after cold_activation_clocks
//   (card off: VCC, CLK, then RST held low) or warm_activation_clocks (card on: RST pulsed
//   low, ISO/IEC 7816-3 6.2.3, at least 400 cycles); the card then sends its ATR.
//  Time-outs. An activation or a send-card-data command arms the reader's time-out: 0x10 0x83
//   is sent when no card character starts within atr_start_timeout_clocks of RST rising
//   (ISO/IEC 7816-3 6.2.2: 40000 cycles), within register 6 etu of the leading edge of the
//   last character the reader sent (block waiting time), or within register 5 etu of the
//   leading edge of the card's last character (character waiting time). It is reported once;
//   any byte from the host disarms it, as does a deactivation or a card removal. It is never
//   queued less than min_timeout_silence_ns after the reader's last byte to the host has left,
//   so the host always sees silence before it.
//  Rates. The reader's etu is F/D clock cycles of card_clock_hz (3.58 MHz). Every activation
//   starts at Fd/Dd = 372/1. The host never tells the reader the negotiated rate, so the
//   reader watches the first card data after an ATR: when it is a PTS request (PTSS 0xFF)
//   and the card's answer is a successful PTS exchange (ISO/IEC 7816-3 9.3: echo of PTSS and
//   the protocol in PTS0, PTS1 echoed or absent, check byte right), it switches to the Fi/Di
//   of PTS1 (or stays at 372/1 when PTS1 is absent) once the answer's check byte is in.
//   A card character sent at another rate than the reader's arrives as a parity error; a
//   reader character sent at another rate reaches the card with its parity error flag set.
//  Power. The reader is powered from the host's port. Losing power deactivates the card,
//   drops the command in progress, the receive FIFO and everything queued for the host, and
//   stops every timer of the firmware; while off it sends nothing and ignores the host's bytes,
//   and a card inserted or removed changes the slot without an event. Power-on brings the
//   registers back to their power-on values (register 2 = 0, guard time 12 etu, both time-outs
//   9600 etu, the default rate) and announces nothing, not even a card already in the slot:
//   the host finds it in register 4. The fault-injection state, the muted switch and the
//   statistics are the test's and survive a power cycle.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "sim/card.h"
#include "sim/clock.h"
#include "sim/faults.h"
#include "sim/host_tx.h"
#include "sim/wire.h"

namespace lmscr::sim {

struct ReaderConfig {
    uint8_t version = 0x23;  // register 0: firmware 2.3
    uint32_t host_baud = 19200;
    uint32_t host_bits_per_byte = 10;  // start, 8 data, no parity, 1 stop; baud 0 = no pacing
    uint32_t card_clock_hz = kCardClockHz;
    uint32_t cold_activation_clocks = 1000;
    uint32_t warm_activation_clocks = 500;
    uint32_t atr_start_timeout_clocks = 40000;
    uint64_t command_gap_timeout_ns = 20'000'000;
    uint64_t min_timeout_silence_ns = 1'000'000;
    FaultOptions faults;
};

// One character's time on the reader's host line at the configured rate, rounded up; 0 unpaced.
uint64_t HostByteTimeNs(const ReaderConfig& config);

struct ReaderStats {
    uint64_t host_bytes_received = 0;
    uint64_t host_bytes_unpowered = 0;  // arrived while the reader had no power
    uint64_t host_bytes_dropped = 0;  // by fault injection
    uint64_t host_bytes_corrupted = 0;
    uint64_t host_fifo_overruns = 0;
    uint64_t commands = 0;
    uint64_t partial_commands_discarded = 0;
    uint64_t reader_errors = 0;
    uint64_t bytes_to_card = 0;
    uint64_t bytes_from_card = 0;
    uint64_t card_parity_errors = 0;
    uint64_t card_queue_overflows = 0;
    uint64_t timeouts_reported = 0;
    uint64_t cards_pulled = 0;
    uint64_t cold_resets = 0;  // activations of a card without power
    uint64_t warm_resets = 0;  // RST pulsed on a powered card
    uint64_t card_line_chars = 0;  // leading edges on the card line, both directions
};

class ReaderFirmware {
public:
    using TxFn = std::function<void(uint8_t)>;
    static constexpr size_t kHostFifoBytes = 64;
    static constexpr size_t kMaxCardQueue = 1024;  // characters a card may queue ahead

    // `tx` receives every byte to the host when its start bit begins; it may be called from
    // inside OnHostByte and from the clock's timers.
    ReaderFirmware(Clock& clock, TxFn tx, ReaderConfig config = {});
    ~ReaderFirmware();
    ReaderFirmware(const ReaderFirmware&) = delete;
    ReaderFirmware& operator=(const ReaderFirmware&) = delete;

    // A byte from the host, its stop bit just ended.
    void OnHostByte(uint8_t b);

    // Card slot. Insertion and removal are reported at once (0x10 0x85 / 0x10 0x86), also in
    // the middle of a command or of a card transmission. InsertCard refuses (returns false)
    // when the slot is occupied. RemoveCard hands the card back (nothing if the slot is empty).
    bool InsertCard(std::unique_ptr<Card> card);
    std::unique_ptr<Card> RemoveCard();
    Card* CardInSlot() const { return card_.get(); }
    bool CardPresent() const { return slot_ != Slot::Empty; }
    bool CardPowered() const { return slot_ == Slot::Resetting || slot_ == Slot::Active; }

    // The supply from the host's port (see Power above). A reader starts powered.
    void SetPowered(bool powered);
    bool Powered() const { return powered_; }

    void InjectReaderError();  // 0x10 0x84 at once
    void SetMuted(bool muted);  // a muted reader ignores the host and sends nothing
    bool Muted() const { return muted_; }

    // The value a read-register command returns now.
    uint8_t RegisterValue(uint8_t reg) const;
    uint32_t CharTimeoutEtu() const { return char_timeout_etu_; }
    uint32_t BlockTimeoutEtu() const { return block_timeout_etu_; }
    uint32_t GuardTimeEtu() const;
    Rate CardRate() const { return rate_; }
    bool TimeoutArmed() const { return timeout_armed_; }
    // The last line time up to which nothing the host sends can change what the reader does:
    // while a send-card-data command is on the card line the host's bytes only wait in the FIFO,
    // taken when its reply goes out, or end a time-out watch. A clock that runs in real time may
    // run the timers due up to then before their time (0: none).
    uint64_t HostIndependentUntilNs() const;
    // The last line time up to which a real-time clock may run the timers early while the host
    // is silent (nothing in the FIFO, no command begun): a host byte that comes meanwhile is
    // taken at the time reached instead of its own, as if the host had sent it that much later,
    // which any host may do. Never up to a time-out, which that byte would have disarmed.
    // UINT64_MAX: nothing of the reader's bounds it; 0: the host is not silent. The clock bounds
    // how far ahead it goes (the delay a host byte may get).
    uint64_t HostSilentUntilNs() const;
    uint64_t HostByteNs() const { return host_byte_ns_; }
    uint64_t EtuNs(uint64_t etu) const { return EtuToNs(etu, rate_, config_.card_clock_hz); }
    const ReaderStats& Stats() const { return stats_; }
    const HostTransmitter& Transmitter() const { return tx_; }

private:
    enum class Slot { Empty, Off, Resetting, Active };
    enum class Pts { Idle, AwaitRequest, AwaitResponse };

    // A timer of the firmware's own; cancelled when it is restarted or destroyed. It runs one
    // method of the firmware with one word, set without the heap (a character sets three).
    class OneShot {
    public:
        using Handler = void (ReaderFirmware::*)(uint64_t);
        explicit OneShot(ReaderFirmware& reader) : reader_(reader) {}
        ~OneShot() { Cancel(); }
        void StartAt(uint64_t when_ns, Handler handler, uint64_t arg = 0);
        void Cancel();
        bool Pending() const { return pending_; }
        uint64_t DueNs() const { return due_ns_; }
        bool Runs(Handler handler) const { return pending_ && handler_ == handler; }

    private:
        static void Fire(void* self, uint64_t arg);

        ReaderFirmware& reader_;
        Handler handler_ = nullptr;
        Clock::TimerId id_ = 0;
        uint64_t due_ns_ = 0;
        bool pending_ = false;
    };

    class SlotLink : public CardLink {
    public:
        explicit SlotLink(ReaderFirmware& reader) : reader_(reader) {}
        uint64_t NowNs() const override { return reader_.clock_.NowNs(); }
        void Send(uint8_t byte, uint32_t delay_etu) override { reader_.CardSend(byte, delay_etu); }

    private:
        ReaderFirmware& reader_;
    };

    struct CardChar {
        uint8_t byte;
        uint32_t delay_etu;
        Rate rate;
        uint32_t character_etu;
    };

    void ResetRegisters();
    void ProcessHostBytes();
    void Execute();
    void WriteRegister(uint8_t reg, const uint8_t* data);
    void SendCardData(const uint8_t* data, unsigned count);
    void Activate();
    void RstHigh(uint64_t kind);  // a ResetKind
    void PowerOff();
    void StopCardLine();
    void PullCard();
    void Reinsert(uint64_t);
    // Counts a leading edge on the card line; true when the card is to be pulled at it.
    bool PullAtLeadingEdge();

    void StartCardTx();
    void OnReaderCharLeadingEdge(uint64_t);
    void OnReaderCharComplete(uint64_t byte);
    void FinishSendData(uint64_t);

    void CardSend(uint8_t byte, uint32_t delay_etu);
    void ScheduleNextCardChar();
    void OnCardLeadingEdge(uint64_t);
    void OnCardCharComplete(uint64_t leading_ns);

    void SnoopPtsRequest(const uint8_t* data, unsigned count);
    void SnoopPtsResponse(uint8_t byte);

    void ArmTimeout(uint64_t deadline_ns);
    void RestartTimeout(uint64_t deadline_ns);
    void DisarmTimeout();
    void OnTimeoutDeadline(uint64_t);

    void Reply(uint8_t b);
    uint64_t Now() const { return clock_.NowNs(); }

    Clock& clock_;
    ReaderConfig config_;
    Faults faults_;
    uint64_t host_byte_ns_;
    HostTransmitter tx_;
    ReaderStats stats_;
    bool muted_ = false;
    bool powered_ = true;

    // Host command assembly.
    struct HostByte {
        uint8_t byte;
        uint64_t time_ns;
    };
    std::deque<HostByte> host_fifo_;
    std::vector<uint8_t> command_;
    uint64_t command_last_ns_ = 0;
    bool busy_ = false;  // a send-card-data command is on the card line

    // Registers.
    uint8_t regs_[wire::kRegisterCount] = {};
    uint32_t char_timeout_etu_ = 9600;
    uint32_t block_timeout_etu_ = 9600;

    // Card slot and line.
    Slot slot_ = Slot::Empty;
    std::unique_ptr<Card> card_;
    std::unique_ptr<Card> pulled_card_;  // a card pulled by fault injection, to come back
    SlotLink link_{*this};
    ResetKind pending_reset_ = ResetKind::Cold;
    Rate rate_ = kDefaultRate;
    Pts pts_ = Pts::Idle;
    std::vector<uint8_t> pts_request_;
    std::vector<uint8_t> pts_response_;

    // One command's bytes for the card, taken from the front: its room is kept from command to
    // command (a deque would take and give back a block of memory for most commands).
    struct CommandBytes {
        std::vector<uint8_t> bytes;
        size_t next = 0;
        void assign(const uint8_t* first, const uint8_t* last) {
            bytes.assign(first, last);
            next = 0;
        }
        void clear() { assign(nullptr, nullptr); }
        bool empty() const { return next == bytes.size(); }
        uint8_t front() const { return bytes[next]; }
        void pop_front() { ++next; }
    };
    CommandBytes card_out_;  // reader -> card, at most one command's bytes
    uint64_t card_out_free_at_ns_ = 0;
    uint64_t last_out_leading_ns_ = 0;
    std::deque<CardChar> card_in_;  // card -> reader
    uint64_t card_in_free_at_ns_ = 0;
    bool timeout_armed_ = false;

    OneShot rst_timer_{*this};
    OneShot card_out_timer_{*this};
    OneShot card_in_timer_{*this};
    OneShot timeout_timer_{*this};
    OneShot reinsert_timer_{*this};
};

}  // namespace lmscr::sim
