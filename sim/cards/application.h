// A small ISO/IEC 7816-4 card application, shared by the T=0 and T=1 cards: short command
// APDUs in, data and status words out.
//
//   command:  CLA INS P1 P2 [Lc data] [Le]     short APDU, Lc 1..255, Le 00 meaning 256
//   response: [data] SW1 SW2
//
// File system (transparent EFs only):
//
//   MF 3F00
//   +-- EF 2F00   16 bytes   read: always   update: after VERIFY
//   +-- DF 7F10
//       +-- EF 6F01  512 bytes  read and update: always (long answers, chaining)
//       +-- EF 6F02   32 bytes  read and update: after VERIFY
//
// Commands: SELECT (A4, by file identifier, P1 00; P2 00 returns an FCP template, 0C none),
// READ BINARY (B0), READ BINARY with odd INS (B1, below), UPDATE BINARY (D6), GET RESPONSE
// (C0), GET CHALLENGE (84), VERIFY (20, P2 01 or 81). Status words: 9000, 61xx, 6Cxx, 6282,
// 63Cx, 6700, 6981, 6982, 6983, 6985, 6986, 6A80, 6A82, 6A86, 6B00, 6D00, 6E00.
//
// READ BINARY B1 (ISO/IEC 7816-4): the offset travels in the data field, the data come back
// wrapped, so it always carries data both ways (case 4; on T=0 the answer follows with GET
// RESPONSE):
//
//   command:  00 B1 P1 P2 Lc  54 L offset  [Le]    P1-P2 0000: the current EF; otherwise the
//                                                  identifier of an EF, which becomes current
//   response: 53 L data  SW1 SW2                  L one byte up to 7F, else 81 and one byte;
//                                                  53 L data within Le
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "sim/faults.h"

namespace lmscr::sim::cards {

using Bytes = std::vector<uint8_t>;

struct Apdu {
    uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    uint16_t ne = 0;  // 0: no Le field; 1..256 otherwise
};

// Nothing for a byte string that is no short APDU (wrong Lc, trailing bytes, extended length).
std::optional<Apdu> ParseShortApdu(const Bytes& bytes);

struct Response {
    Bytes data;
    uint16_t sw = 0x9000;
    Bytes ToBytes() const;  // data then SW1 SW2
};

inline constexpr uint16_t kSwOk = 0x9000;
inline constexpr uint16_t kSwEndOfFile = 0x6282;
inline constexpr uint16_t kSwWrongLength = 0x6700;
inline constexpr uint16_t kSwIncompatible = 0x6981;
inline constexpr uint16_t kSwSecurity = 0x6982;
inline constexpr uint16_t kSwBlocked = 0x6983;
inline constexpr uint16_t kSwConditions = 0x6985;
inline constexpr uint16_t kSwNoCurrentEf = 0x6986;
inline constexpr uint16_t kSwWrongData = 0x6A80;
inline constexpr uint16_t kSwFileNotFound = 0x6A82;
inline constexpr uint16_t kSwWrongP1P2 = 0x6A86;
inline constexpr uint16_t kSwWrongOffset = 0x6B00;
inline constexpr uint16_t kSwInsUnknown = 0x6D00;
inline constexpr uint16_t kSwClaUnknown = 0x6E00;

struct ApplicationOptions {
    uint64_t seed = 0;  // GET CHALLENGE stream
    Bytes pin = {0x31, 0x32, 0x33, 0x34};
    uint8_t pin_tries = 3;
};

class CardApplication {
public:
    static constexpr uint16_t kMf = 0x3F00;
    static constexpr uint16_t kEfMfData = 0x2F00;
    static constexpr uint16_t kDf = 0x7F10;
    static constexpr uint16_t kEfLong = 0x6F01;
    static constexpr uint16_t kEfSecret = 0x6F02;

    explicit CardApplication(ApplicationOptions options = {});

    // Runs one command. `exact_le` is set by the T=0 card: it must send exactly the Le it was
    // asked for, so a shorter answer turns into 6Cxx with the length it has (ISO/IEC 7816-3
    // 10.3.3) and nothing is consumed.
    Response Execute(const Apdu& apdu, bool exact_le = false);

    // Data kept for GET RESPONSE (the T=0 card's answer to a case 4 command, 61xx).
    void SetPendingResponse(Bytes data) { pending_ = std::move(data); }
    size_t PendingBytes() const { return pending_.size(); }

    // A new session after a reset: MF selected, PIN state cleared, pending answer gone. Files,
    // the retry counter and the challenge stream survive, as in a real card's memory.
    void Reset();

    // For tests: the initial content of a file (its bytes are a function of the identifier).
    static Bytes InitialContent(uint16_t fid);
    const Bytes* FileContent(uint16_t fid) const;
    uint8_t TriesLeft() const { return tries_left_; }
    uint16_t CurrentDf() const { return current_df_; }

private:
    struct File {
        uint16_t parent = 0;
        bool is_df = false;
        bool read_needs_pin = false;
        bool update_needs_pin = false;
        Bytes content;
    };

    Response Select(const Apdu& a);
    Response ReadBinary(const Apdu& a, bool exact_le);
    Response ReadBinaryOdd(const Apdu& a);
    Response UpdateBinary(const Apdu& a);
    Response GetResponse(const Apdu& a);
    Response GetChallenge(const Apdu& a);
    Response Verify(const Apdu& a);
    File* Find(uint16_t fid);
    bool Offset(const Apdu& a, size_t& offset) const;

    ApplicationOptions options_;
    std::map<uint16_t, File> files_;
    uint16_t current_df_ = kMf;
    std::optional<uint16_t> current_ef_;
    bool verified_ = false;
    uint8_t tries_left_;
    SplitMix64 challenge_;
    Bytes pending_;
};

}  // namespace lmscr::sim::cards
