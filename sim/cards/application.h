// A small ISO/IEC 7816-4 card application, shared by the T=0 and T=1 cards: short command
// APDUs in, data and status words out.
//
//   command:  CLA INS P1 P2 [Lc data] [Le]     short APDU, Lc 1..255, Le 00 meaning 256
//   response: [data] SW1 SW2
//
// File system:
//
//   MF 3F00
//   +-- EF 2F00   16 bytes   transparent   read: always   update: after VERIFY
//   +-- DF 7F10   DF name F0 4C 4D 53 43 52 01 (proprietary: F0 is no registered provider)
//       +-- EF 6F01  512 bytes  transparent  read and update: always (long answers, chaining)
//       +-- EF 6F02   32 bytes  transparent  read and update: after VERIFY
//       +-- EF 6F03  linear fixed, 4 records of 10 bytes   read and update: always
//
// Commands: SELECT (A4, below), READ BINARY (B0), READ BINARY with odd INS (B1, below), UPDATE
// BINARY (D6), READ RECORD (B2) and UPDATE RECORD (DC) (below), GET RESPONSE (C0), GET CHALLENGE
// (84), VERIFY (20, P2 01 or 81), LIST FILES (80 AA, below). Status words: 9000, 61xx, 6Cxx,
// 6282, 63Cx, 6700, 6981, 6982, 6983, 6985, 6986, 6A80, 6A81, 6A82, 6A83, 6A86, 6B00, 6D00,
// 6E00. A binary command on a record EF, or a record command on a transparent one, is 6981.
//
// SELECT A4: P1 00 by file identifier (the MF, the current DF, its children and its parent; no
// data: the MF), 01 a DF in the current DF, 02 an EF in the current DF, 03 the parent of the
// current DF (no data), 04 by DF name (the whole name), 08 a path from the MF (the identifiers
// after 3F00), 09 a path from the current DF. A selected EF makes its DF the current one.
//   P2 00: the template this card has always answered: 62 with 82 the file descriptor byte (38
//          DF, 01 transparent EF; a record EF 02 21, record size on two bytes, record count),
//          83 the identifier, 80 an EF's size in bytes (of a record EF, all its records).
//   P2 04: the FCP: the same, and 84 the DF name after 83 for a DF that has one.
//   P2 0C: no answer.
//
// READ RECORD B2, UPDATE RECORD DC on the current EF: P1 the record number (1..4), P2 04 (no
// short EF identifier, "record number in P1"); the other modes are 6A81, a short identifier or
// the reserved mode 6A86. No such record (P1 00 too: no record pointer is kept): 6A83. UPDATE
// RECORD writes a whole record: other data lengths are 6700. READ RECORD's Le as READ BINARY's:
// a record shorter than Le ends with 6282 unless Le was 00, and 6Cxx for the T=0 card.
//
// LIST FILES 80 AA (proprietary class; ISO/IEC 7816-4 has no listing, and OpenSC's default
// driver has no `ls`: this is the form its tcos driver sends, `opensc-explorer -c tcos`):
//   command:  80 AA P1 00 Le     P1 01: the DFs of the current DF, 02: its EFs
//   response: FID FID ... SW1 SW2  two bytes each, in ascending order; none: 6A82; a Le that
//                                  cannot hold them all: 6Cxx with the length
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

#include <array>
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
inline constexpr uint16_t kSwFunctionNotSupported = 0x6A81;
inline constexpr uint16_t kSwFileNotFound = 0x6A82;
inline constexpr uint16_t kSwRecordNotFound = 0x6A83;
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
    static constexpr uint16_t kEfRecords = 0x6F03;
    static constexpr size_t kRecordSize = 10;
    static constexpr size_t kRecordCount = 4;
    static constexpr std::array<uint8_t, 7> kDfName = {0xF0, 0x4C, 0x4D, 0x53, 0x43, 0x52, 0x01};

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

    // For tests: the initial content of a file (its bytes are a function of the identifier; a
    // record EF's records one after the other).
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
        size_t record_size = 0;  // 0: a transparent EF (or a DF)
        Bytes name;              // a DF's name, if it has one
    };

    Response Select(const Apdu& a);
    uint16_t Resolve(const Apdu& a, uint16_t& fid);
    Bytes ControlParameters(uint16_t fid, bool with_name);
    const File* Child(uint16_t df, uint16_t fid) const;
    Response ReadBinary(const Apdu& a, bool exact_le);
    Response ReadBinaryOdd(const Apdu& a);
    Response UpdateBinary(const Apdu& a);
    Response GetResponse(const Apdu& a);
    Response GetChallenge(const Apdu& a);
    Response Verify(const Apdu& a);
    uint16_t RecordTarget(const Apdu& a, bool for_update, File*& f);
    Response ReadRecord(const Apdu& a, bool exact_le);
    Response UpdateRecord(const Apdu& a);
    Response ListFiles(const Apdu& a, bool exact_le);
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
