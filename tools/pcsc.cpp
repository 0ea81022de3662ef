// The PC/SC wrapper of pcsc.h, over pcsc-lite, and `lmscr readers`. This file alone sees
// <winscard.h>: see pcsc.h for why.
#include "pcsc.h"

#include <winscard.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>

namespace lmscr::tool {

struct GlobalOptions;
int RunReaders(const GlobalOptions& options, std::FILE* out, std::FILE* err);

namespace pcsc {

static_assert(kNoSmartcard == static_cast<uint32_t>(SCARD_E_NO_SMARTCARD) &&
              kReaderUnavailable == static_cast<uint32_t>(SCARD_E_READER_UNAVAILABLE) &&
              kUnpoweredCard == static_cast<uint32_t>(SCARD_W_UNPOWERED_CARD) &&
              kProtocolT0 == SCARD_PROTOCOL_T0 && kProtocolT1 == SCARD_PROTOCOL_T1);

namespace {

struct Known {
    uint32_t code;
    const char* name;
    Meaning meaning;
};

// pcsc-lite's results. 0x8010001F is both SCARD_E_UNEXPECTED and SCARD_E_UNSUPPORTED_FEATURE in
// its header; pcscd answers it for a feature the reader lacks, so that is its name here.
constexpr Known kKnown[] = {
    {0x00000000, "SCARD_S_SUCCESS", Meaning::Success},
    {0x80100001, "SCARD_F_INTERNAL_ERROR", Meaning::Other},
    {0x80100002, "SCARD_E_CANCELLED", Meaning::Cancelled},
    {0x80100003, "SCARD_E_INVALID_HANDLE", Meaning::BadParameter},
    {0x80100004, "SCARD_E_INVALID_PARAMETER", Meaning::BadParameter},
    {0x80100005, "SCARD_E_INVALID_TARGET", Meaning::BadParameter},
    {0x80100006, "SCARD_E_NO_MEMORY", Meaning::NoMemory},
    {0x80100007, "SCARD_F_WAITED_TOO_LONG", Meaning::Timeout},
    {0x80100008, "SCARD_E_INSUFFICIENT_BUFFER", Meaning::BufferTooSmall},
    {0x80100009, "SCARD_E_UNKNOWN_READER", Meaning::NoReader},
    {0x8010000A, "SCARD_E_TIMEOUT", Meaning::Timeout},
    {0x8010000B, "SCARD_E_SHARING_VIOLATION", Meaning::Sharing},
    {0x8010000C, "SCARD_E_NO_SMARTCARD", Meaning::NoCard},
    {0x8010000D, "SCARD_E_UNKNOWN_CARD", Meaning::CardUnsupported},
    {0x8010000E, "SCARD_E_CANT_DISPOSE", Meaning::Other},
    {0x8010000F, "SCARD_E_PROTO_MISMATCH", Meaning::ProtocolMismatch},
    {0x80100010, "SCARD_E_NOT_READY", Meaning::Other},
    {0x80100011, "SCARD_E_INVALID_VALUE", Meaning::BadParameter},
    {0x80100012, "SCARD_E_SYSTEM_CANCELLED", Meaning::Cancelled},
    {0x80100013, "SCARD_F_COMM_ERROR", Meaning::NoService},
    {0x80100014, "SCARD_F_UNKNOWN_ERROR", Meaning::Other},
    {0x80100015, "SCARD_E_INVALID_ATR", Meaning::CardUnsupported},
    {0x80100016, "SCARD_E_NOT_TRANSACTED", Meaning::NotTransacted},
    {0x80100017, "SCARD_E_READER_UNAVAILABLE", Meaning::ReaderGone},
    {0x80100019, "SCARD_E_PCI_TOO_SMALL", Meaning::BufferTooSmall},
    {0x8010001A, "SCARD_E_READER_UNSUPPORTED", Meaning::NotSupported},
    {0x8010001B, "SCARD_E_DUPLICATE_READER", Meaning::Other},
    {0x8010001C, "SCARD_E_CARD_UNSUPPORTED", Meaning::CardUnsupported},
    {0x8010001D, "SCARD_E_NO_SERVICE", Meaning::NoService},
    {0x8010001E, "SCARD_E_SERVICE_STOPPED", Meaning::NoService},
    {0x8010001F, "SCARD_E_UNSUPPORTED_FEATURE", Meaning::NotSupported},
    {0x80100022, "SCARD_E_UNSUPPORTED_FEATURE", Meaning::NotSupported},
    {0x8010002E, "SCARD_E_NO_READERS_AVAILABLE", Meaning::NoReader},
    {0x8010002F, "SCARD_E_COMM_DATA_LOST", Meaning::NotTransacted},
    {0x80100031, "SCARD_E_SERVER_TOO_BUSY", Meaning::Other},
    {0x80100065, "SCARD_W_UNSUPPORTED_CARD", Meaning::CardUnsupported},
    {0x80100066, "SCARD_W_UNRESPONSIVE_CARD", Meaning::CardMute},
    {0x80100067, "SCARD_W_UNPOWERED_CARD", Meaning::CardUnpowered},
    {0x80100068, "SCARD_W_RESET_CARD", Meaning::CardReset},
    {0x80100069, "SCARD_W_REMOVED_CARD", Meaning::CardRemoved},
};

const Known* Find(uint32_t code) {
    for (const Known& k : kKnown)
        if (k.code == code) return &k;
    return nullptr;
}

uint32_t Code(LONG rv) { return static_cast<uint32_t>(rv); }

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", bytes[i]);
        text += b;
    }
    return text;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

void Read(const SCARD_READERSTATE& r, ReaderState& state) {
    const DWORD s = r.dwEventState;
    // A reader pcscd dropped since the list was read is reported unknown, one whose handler
    // failed unavailable: either way it has no card to offer.
    state.known = !(s & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE));
    state.present = state.known && (s & SCARD_STATE_PRESENT);
    state.mute = state.present && (s & SCARD_STATE_MUTE);
    state.unpowered = state.present && (s & SCARD_STATE_UNPOWERED);
    state.exclusive = state.present && (s & SCARD_STATE_EXCLUSIVE);
    state.atr.assign(r.rgbAtr, r.rgbAtr + std::min<DWORD>(r.cbAtr, MAX_ATR_SIZE));
    if (!state.present) state.atr.clear();
}

}  // namespace

std::string ErrorName(uint32_t code) {
    if (const Known* k = Find(code)) return k->name;
    char text[40];
    std::snprintf(text, sizeof text, "PC/SC error 0x%08X", code);
    return text;
}

Meaning MeaningOf(uint32_t code) {
    const Known* k = Find(code);
    return k ? k->meaning : Meaning::Other;
}

Context::Context() {
    SCARDCONTEXT context = 0;
    error_ = Code(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context));
    if (error_ == kSuccess) handle_ = static_cast<uintptr_t>(context);
}

Context::~Context() {
    if (error_ == kSuccess) SCardReleaseContext(static_cast<SCARDCONTEXT>(handle_));
}

uint32_t Context::Readers(std::vector<std::string>& names) {
    names.clear();
    if (!Ok()) return error_;
    DWORD length = 0;
    LONG rv = SCardListReaders(static_cast<SCARDCONTEXT>(handle_), nullptr, nullptr, &length);
    if (rv != SCARD_S_SUCCESS) return Code(rv);
    std::string all(length, '\0');
    rv = SCardListReaders(static_cast<SCARDCONTEXT>(handle_), nullptr, all.data(), &length);
    if (rv != SCARD_S_SUCCESS) return Code(rv);
    // A multi-string: names ended by a NUL each, the list by an empty one.
    for (size_t at = 0; at < all.size() && all[at];) {
        const size_t end = all.find('\0', at);
        names.push_back(all.substr(at, end - at));
        at = end == std::string::npos ? all.size() : end + 1;
    }
    return names.empty() ? Code(SCARD_E_NO_READERS_AVAILABLE) : kSuccess;
}

uint32_t Context::State(const std::string& reader, ReaderState& state) {
    state = {};
    if (!Ok()) return error_;
    SCARD_READERSTATE r{};
    r.szReader = reader.c_str();
    r.dwCurrentState = SCARD_STATE_UNAWARE;
    const LONG rv = SCardGetStatusChange(static_cast<SCARDCONTEXT>(handle_), 0, &r, 1);
    if (rv == SCARD_E_UNKNOWN_READER) return kSuccess;  // not listed: known stays false
    if (rv != SCARD_S_SUCCESS) return Code(rv);
    Read(r, state);
    return kSuccess;
}

uint32_t Context::WaitForCard(const std::string& reader, bool present, const std::function<bool()>& giveUp,
                              uint32_t lookMs) {
    if (!Ok()) return error_;
    SCARD_READERSTATE r{};
    r.szReader = reader.c_str();
    r.dwCurrentState = SCARD_STATE_UNAWARE;
    // The first call answers at once with the state as it is; later ones wait for a change, at
    // most `lookMs`, so that `giveUp` is heard.
    DWORD timeout = 0;
    for (;;) {
        const LONG rv = SCardGetStatusChange(static_cast<SCARDCONTEXT>(handle_), timeout, &r, 1);
        if (rv == SCARD_S_SUCCESS) {
            ReaderState state;
            Read(r, state);
            if (!state.known) return Code(SCARD_E_READER_UNAVAILABLE);
            if (state.present == present) return kSuccess;
            r.dwCurrentState = r.dwEventState & ~SCARD_STATE_CHANGED;
        } else if (rv != SCARD_E_TIMEOUT) {
            return Code(rv);
        }
        if (giveUp()) return Code(SCARD_E_CANCELLED);
        timeout = lookMs;
    }
}

bool FindReader(Context& context, const std::string& wanted, std::string& name, std::string& error, uint32_t& code) {
    std::vector<std::string> names;
    code = context.Ok() ? context.Readers(names) : context.Error();
    if (code != kSuccess) {
        const Meaning m = MeaningOf(code);
        error = m == Meaning::NoService  ? "pcscd is not running (" + ErrorName(code) + ")"
                : m == Meaning::NoReader ? "pcscd knows no reader (" + ErrorName(code) + ")"
                                         : "pcscd did not list its readers: " + ErrorName(code);
        return false;
    }
    if (wanted.empty()) {
        for (const auto& n : names) {
            ReaderState state;
            if (context.State(n, state) == kSuccess && state.present) {
                name = n;
                return true;
            }
        }
        name = names.front();
        return true;
    }
    const bool number = std::all_of(wanted.begin(), wanted.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
    if (number && wanted.size() < 6 && std::stoul(wanted) < names.size()) {
        name = names[std::stoul(wanted)];
        return true;
    }
    for (const auto& n : names)
        if (Lower(n).find(Lower(wanted)) != std::string::npos) {
            name = n;
            return true;
        }
    code = Code(SCARD_E_UNKNOWN_READER);
    error = "no PC/SC reader matches '" + wanted + "' (lmscr readers lists them)";
    return false;
}

Card::~Card() {
    if (connected_) Disconnect(false);
}

uint32_t Card::Connect(const std::string& reader, uint32_t protocols) {
    if (connected_) Disconnect(false);
    SCARDHANDLE handle = 0;
    DWORD active = 0;
    const LONG rv = SCardConnect(static_cast<SCARDCONTEXT>(context_.handle_), reader.c_str(), SCARD_SHARE_SHARED,
                                 protocols, &handle, &active);
    if (rv != SCARD_S_SUCCESS) return Code(rv);
    handle_ = static_cast<uintptr_t>(handle);
    connected_ = true;
    protocol_ = static_cast<uint32_t>(active);
    return kSuccess;
}

uint32_t Card::Reset(bool cold, uint32_t protocols) {
    if (!connected_) return Code(SCARD_E_INVALID_HANDLE);
    DWORD active = 0;
    const LONG rv = SCardReconnect(static_cast<SCARDHANDLE>(handle_), SCARD_SHARE_SHARED, protocols,
                                   cold ? SCARD_UNPOWER_CARD : SCARD_RESET_CARD, &active);
    protocol_ = rv == SCARD_S_SUCCESS ? static_cast<uint32_t>(active) : 0;
    return Code(rv);
}

uint32_t Card::Disconnect(bool unpower) {
    if (!connected_) return kSuccess;
    const LONG rv = SCardDisconnect(static_cast<SCARDHANDLE>(handle_), unpower ? SCARD_UNPOWER_CARD : SCARD_LEAVE_CARD);
    // The handle is gone either way: pcscd drops it with the card or the reader too.
    connected_ = false;
    handle_ = 0;
    protocol_ = 0;
    return Code(rv);
}

uint32_t Card::Transmit(const std::vector<uint8_t>& command, std::vector<uint8_t>& answer) {
    answer.clear();
    if (!connected_) return Code(SCARD_E_INVALID_HANDLE);
    const SCARD_IO_REQUEST* pci = protocol_ == kProtocolT0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    std::vector<uint8_t> buffer(MAX_BUFFER_SIZE_EXTENDED);
    DWORD length = static_cast<DWORD>(buffer.size());
    const LONG rv = SCardTransmit(static_cast<SCARDHANDLE>(handle_), pci, command.data(),
                                  static_cast<DWORD>(command.size()), nullptr, buffer.data(), &length);
    if (rv != SCARD_S_SUCCESS) return Code(rv);
    answer.assign(buffer.begin(), buffer.begin() + static_cast<long>(std::min<DWORD>(length, buffer.size())));
    return kSuccess;
}

uint32_t Card::Status(CardState& state, std::vector<uint8_t>& atr) {
    state = CardState::Unknown;
    atr.clear();
    if (!connected_) return Code(SCARD_E_INVALID_HANDLE);
    char name[MAX_READERNAME];
    DWORD nameLength = sizeof name, bits = 0, protocol = 0, atrLength = MAX_ATR_SIZE;
    uint8_t bytes[MAX_ATR_SIZE];
    const LONG rv = SCardStatus(static_cast<SCARDHANDLE>(handle_), name, &nameLength, &bits, &protocol, bytes, &atrLength);
    if (rv != SCARD_S_SUCCESS) return Code(rv);
    state = bits & SCARD_SPECIFIC     ? CardState::Specific
            : bits & SCARD_NEGOTIABLE ? CardState::Negotiable
            : bits & SCARD_POWERED    ? CardState::Powered
            : bits & SCARD_SWALLOWED  ? CardState::Swallowed
            : bits & SCARD_PRESENT    ? CardState::Present
            : bits & SCARD_ABSENT     ? CardState::Absent
                                      : CardState::Unknown;
    atr.assign(bytes, bytes + std::min<DWORD>(atrLength, MAX_ATR_SIZE));
    return kSuccess;
}

}  // namespace pcsc

int RunReaders(const GlobalOptions&, std::FILE* out, std::FILE* err) {
    pcsc::Context context;
    std::vector<std::string> names;
    const uint32_t code = context.Ok() ? context.Readers(names) : context.Error();
    if (code != pcsc::kSuccess) {
        std::string name, error;
        uint32_t again = 0;
        pcsc::FindReader(context, "", name, error, again);
        std::fprintf(err, "lmscr readers: %s\n", error.c_str());
        return 1;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        pcsc::ReaderState state;
        const uint32_t rv = context.State(names[i], state);
        std::string what = rv != pcsc::kSuccess ? pcsc::ErrorName(rv)
                           : !state.known        ? "unavailable"
                           : !state.present      ? "no card"
                           : state.mute          ? "a card that gives no answer to reset"
                                                 : "ATR " + pcsc::Hex(state.atr);
        if (state.exclusive) what += ", held by another application alone";
        std::fprintf(out, "%zu  %s: %s\n", i, names[i].c_str(), what.c_str());
    }
    return 0;
}

}  // namespace lmscr::tool
