// A small wrapper of pcsc-lite's PC/SC API for the card commands' PC/SC back end and `lmscr
// readers`. It keeps <winscard.h> to pcsc.cpp: pcsc-lite spells its card states and types with the
// names the driver's headers use for other values (SCARD_ABSENT is 2 there, 1 here; DWORD is a
// long), so no file may see both. What crosses over is plain: result codes as uint32_t, the card
// state as an enum in the driver's order, the protocols as their bits (T=0 1, T=1 2 on both sides).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lmscr::tool::pcsc {

constexpr uint32_t kSuccess = 0;
constexpr uint32_t kProtocolT0 = 1, kProtocolT1 = 2;
// SCARD_E_NO_SMARTCARD, SCARD_E_READER_UNAVAILABLE, SCARD_W_UNPOWERED_CARD: what a call on a
// connection there is not would have met.
constexpr uint32_t kNoSmartcard = 0x8010000C, kReaderUnavailable = 0x80100017, kUnpoweredCard = 0x80100067;

// What a PC/SC result means to the card commands; session.cpp gives each the NTSTATUS the driver
// would have answered with.
enum class Meaning {
    Success,
    NoCard,          // none in the reader (SCARD_E_NO_SMARTCARD)
    CardRemoved,     // taken out since the connection (SCARD_W_REMOVED_CARD)
    CardReset,       // reset by another application since (SCARD_W_RESET_CARD)
    CardUnpowered,   // SCARD_W_UNPOWERED_CARD
    CardMute,        // no answer to reset (SCARD_W_UNRESPONSIVE_CARD)
    CardUnsupported, // an ATR pcscd cannot use
    NoReader,        // no such reader, or none at all
    ReaderGone,      // the reader went away (SCARD_E_READER_UNAVAILABLE)
    NoService,       // pcscd is not running, or stopped
    Timeout,
    Cancelled,
    Sharing,         // another application holds the card exclusively
    ProtocolMismatch,
    NotTransacted,   // the exchange failed in the reader or handler
    BufferTooSmall,
    BadParameter,
    NoMemory,
    NotSupported,
    Other,
};

// The constant's name of a PC/SC result ("SCARD_E_NO_SMARTCARD"); "PC/SC error 0x80100099" for
// one pcsc-lite does not define.
std::string ErrorName(uint32_t code);
Meaning MeaningOf(uint32_t code);

// SCardStatus's card state as its highest bit tells it, in the order of the driver's states
// (SCARD_UNKNOWN 0 ... SCARD_SPECIFIC 6), so that a cast gives the driver's value.
enum class CardState { Unknown, Absent, Present, Swallowed, Powered, Negotiable, Specific };

// A reader as SCardGetStatusChange sees it without waiting.
struct ReaderState {
    bool known = false;    // pcscd lists it
    bool present = false;  // a card is in it
    bool mute = false;     // and gave no answer to reset
    bool unpowered = false;  // pcscd keeps it unpowered until an application connects
    bool exclusive = false;
    std::vector<uint8_t> atr;  // what pcscd read at the insertion
};

class Card;
class Context;

// The reader `wanted` names: a number as `lmscr readers` lists them, or a part of a name (any
// case); empty: the first reader with a card in it, or the first when none has one. False with
// one line in `error` ("no PC/SC reader matches 'X' (lmscr readers lists them)", "pcscd is not
// running ...") and the PC/SC result in `code`.
bool FindReader(Context& context, const std::string& wanted, std::string& name, std::string& error,
                uint32_t& code);

// One PC/SC context (SCardEstablishContext); a failure is kept in Error().
class Context {
public:
    Context();
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    uint32_t Error() const { return error_; }
    bool Ok() const { return error_ == kSuccess; }
    // The readers by name, in pcscd's order; SCARD_E_NO_READERS_AVAILABLE for none.
    uint32_t Readers(std::vector<std::string>& names);
    uint32_t State(const std::string& reader, ReaderState& state);
    // Until a card is in `reader` (`present`) or it is empty: kSuccess; SCARD_E_CANCELLED when
    // `giveUp`, asked every `lookMs`, said so first; an error when the reader or pcscd went away.
    uint32_t WaitForCard(const std::string& reader, bool present, const std::function<bool()>& giveUp,
                         uint32_t lookMs = 100);

private:
    friend class Card;
    uintptr_t handle_ = 0;
    uint32_t error_ = kSuccess;
};

// One connection to the card in a reader, shared with other applications.
class Card {
public:
    explicit Card(Context& context) : context_(context) {}
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    bool Connected() const { return connected_; }
    // The protocol pcscd selected for the card (kProtocolT0 or kProtocolT1), 0 when none.
    uint32_t Protocol() const { return protocol_; }

    // SCardConnect, shared, with `protocols` (T=0, T=1 or both: pcscd picks then).
    uint32_t Connect(const std::string& reader, uint32_t protocols);
    // SCardReconnect: the card powered down and up again (`cold`, SCARD_UNPOWER_CARD) or reset
    // warm (SCARD_RESET_CARD), and `protocols` negotiated anew.
    uint32_t Reset(bool cold, uint32_t protocols);
    // SCardDisconnect: SCARD_UNPOWER_CARD (`unpower`) or SCARD_LEAVE_CARD.
    uint32_t Disconnect(bool unpower);
    // SCardTransmit with the PCI of the selected protocol; the answer's data and status word.
    uint32_t Transmit(const std::vector<uint8_t>& command, std::vector<uint8_t>& answer);
    // SCardStatus: the card's state and ATR.
    uint32_t Status(CardState& state, std::vector<uint8_t>& atr);

private:
    Context& context_;
    uintptr_t handle_ = 0;
    bool connected_ = false;
    uint32_t protocol_ = 0;
};

}  // namespace lmscr::tool::pcsc
