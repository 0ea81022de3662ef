#include "sim/cards/application.h"

#include <algorithm>

namespace lmscr::sim::cards {

namespace {
constexpr uint8_t kInsSelect = 0xA4;
constexpr uint8_t kInsReadBinary = 0xB0;
constexpr uint8_t kInsReadBinaryOdd = 0xB1;
constexpr uint8_t kTagOffset = 0x54;
constexpr uint8_t kTagDiscretionary = 0x53;
constexpr size_t kMaxOffsetBytes = 4;
constexpr uint8_t kInsUpdateBinary = 0xD6;
constexpr uint8_t kInsGetResponse = 0xC0;
constexpr uint8_t kInsGetChallenge = 0x84;
constexpr uint8_t kInsVerify = 0x20;
constexpr uint8_t kInsReadRecord = 0xB2;
constexpr uint8_t kInsUpdateRecord = 0xDC;
constexpr uint8_t kClaProprietary = 0x80;
constexpr uint8_t kInsListFiles = 0xAA;
// A record command's P2: b8-b4 a short EF identifier (00000: the current EF), b3-b1 the mode.
constexpr uint8_t kRecordModeMask = 0x07;
constexpr uint8_t kRecordByNumber = 0x04;
constexpr uint8_t kRecordModeReserved = 0x07;
constexpr uint8_t kFdbDf = 0x38;
constexpr uint8_t kFdbTransparent = 0x01;
constexpr uint8_t kFdbLinearFixed = 0x02;
constexpr uint8_t kDataCoding = 0x21;  // the usual data coding byte: write erases, one-byte units
constexpr size_t kMaxPinBytes = 8;

Response Sw(uint16_t sw) { return Response{{}, sw}; }
}  // namespace

Bytes Response::ToBytes() const {
    Bytes out = data;
    out.push_back(static_cast<uint8_t>(sw >> 8));
    out.push_back(static_cast<uint8_t>(sw));
    return out;
}

std::optional<Apdu> ParseShortApdu(const Bytes& b) {
    if (b.size() < 4) return std::nullopt;
    Apdu a{b[0], b[1], b[2], b[3], {}, 0};
    if (b.size() == 4) return a;  // case 1
    if (b.size() == 5) {          // case 2
        a.ne = b[4] == 0 ? 256 : b[4];
        return a;
    }
    const size_t lc = b[4];
    if (lc == 0) return std::nullopt;  // extended length: not a short APDU
    if (b.size() != 5 + lc && b.size() != 6 + lc) return std::nullopt;
    a.data.assign(b.begin() + 5, b.begin() + 5 + static_cast<long>(lc));
    if (b.size() == 6 + lc) a.ne = b[5 + lc] == 0 ? 256 : b[5 + lc];  // case 4
    return a;
}

Bytes CardApplication::InitialContent(uint16_t fid) {
    size_t size = 0;
    switch (fid) {
    case kEfMfData: size = 16; break;
    case kEfLong: size = 512; break;
    case kEfSecret: size = 32; break;
    case kEfRecords: size = kRecordSize * kRecordCount; break;
    default: return {};
    }
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>((fid >> 8) ^ (fid & 0xFF) ^ (i * 7 + (i >> 8)));
    return b;
}

CardApplication::CardApplication(ApplicationOptions options)
    : options_(std::move(options)), tries_left_(options_.pin_tries), challenge_(options_.seed) {
    // parent, DF, read needs the PIN, update needs it, content, record size, DF name
    files_[kMf] = File{0, true, false, false, {}, 0, {}};
    files_[kEfMfData] = File{kMf, false, false, true, InitialContent(kEfMfData), 0, {}};
    files_[kDf] = File{kMf, true, false, false, {}, 0, Bytes(kDfName.begin(), kDfName.end())};
    files_[kEfLong] = File{kDf, false, false, false, InitialContent(kEfLong), 0, {}};
    files_[kEfSecret] = File{kDf, false, true, true, InitialContent(kEfSecret), 0, {}};
    files_[kEfRecords] = File{kDf, false, false, false, InitialContent(kEfRecords), kRecordSize, {}};
}

void CardApplication::Reset() {
    current_df_ = kMf;
    current_ef_.reset();
    verified_ = false;
    pending_.clear();
}

const Bytes* CardApplication::FileContent(uint16_t fid) const {
    auto it = files_.find(fid);
    return it == files_.end() ? nullptr : &it->second.content;
}

CardApplication::File* CardApplication::Find(uint16_t fid) {
    // ISO/IEC 7816-4 7.1.1 (selection by file identifier): the MF from anywhere, the current
    // DF itself, its children and its parent.
    auto it = files_.find(fid);
    if (it == files_.end()) return nullptr;
    const File& f = it->second;
    if (fid == kMf || fid == current_df_ || f.parent == current_df_ ||
        (files_[current_df_].parent == fid))
        return &it->second;
    return nullptr;
}

const CardApplication::File* CardApplication::Child(uint16_t df, uint16_t fid) const {
    auto it = files_.find(fid);
    return it != files_.end() && fid != kMf && it->second.parent == df ? &it->second : nullptr;
}

Response CardApplication::Execute(const Apdu& a, bool exact_le) {
    // GET RESPONSE must follow the command whose answer it fetches; anything else drops it.
    if (a.ins != kInsGetResponse) pending_.clear();
    if (a.cla == kClaProprietary && a.ins == kInsListFiles) return ListFiles(a, exact_le);
    if (a.cla != 0x00) return Sw(kSwClaUnknown);
    switch (a.ins) {
    case kInsSelect: return Select(a);
    case kInsReadBinary: return ReadBinary(a, exact_le);
    case kInsReadBinaryOdd: return ReadBinaryOdd(a);
    case kInsUpdateBinary: return UpdateBinary(a);
    case kInsGetResponse: return GetResponse(a);
    case kInsGetChallenge: return GetChallenge(a);
    case kInsVerify: return Verify(a);
    case kInsReadRecord: return ReadRecord(a, exact_le);
    case kInsUpdateRecord: return UpdateRecord(a);
    default: return Sw(kSwInsUnknown);
    }
}

Response CardApplication::Select(const Apdu& a) {
    // P2 b2-b1 other than 00 ask for a next or previous occurrence of a DF name, which one
    // name per DF cannot have; 08 (the file management data) this card does not give.
    if (a.p2 != 0x00 && a.p2 != 0x04 && a.p2 != 0x0C) return Sw(kSwWrongP1P2);
    uint16_t fid = kMf;
    if (const uint16_t sw = Resolve(a, fid); sw != kSwOk) return Sw(sw);
    const File& f = files_[fid];
    if (f.is_df) {
        current_df_ = fid;
        current_ef_.reset();
    } else {
        current_df_ = f.parent;
        current_ef_ = fid;
    }
    if (a.p2 == 0x0C || a.ne == 0) return Sw(kSwOk);
    Bytes fcp = ControlParameters(fid, a.p2 == 0x04);
    if (fcp.size() > a.ne) fcp.resize(a.ne);
    return Response{fcp, kSwOk};
}

uint16_t CardApplication::Resolve(const Apdu& a, uint16_t& fid) {
    // Only finds the file: a SELECT that fails leaves the current DF and EF as they were.
    const Bytes& d = a.data;
    auto id_at = [&d](size_t i) { return static_cast<uint16_t>(d[i] << 8 | d[i + 1]); };
    switch (a.p1) {
    case 0x00:  // by file identifier; without data, the MF
        if (d.empty()) {
            fid = kMf;
            return kSwOk;
        }
        if (d.size() != 2) return kSwWrongLength;
        fid = id_at(0);
        return Find(fid) != nullptr ? kSwOk : kSwFileNotFound;
    case 0x01:  // a DF in the current DF
    case 0x02: {  // an EF in the current DF
        if (d.size() != 2) return kSwWrongLength;
        const File* f = Child(current_df_, id_at(0));
        if (f == nullptr || f->is_df != (a.p1 == 0x01)) return kSwFileNotFound;
        fid = id_at(0);
        return kSwOk;
    }
    case 0x03:  // the parent of the current DF
        if (!d.empty()) return kSwWrongLength;
        if (current_df_ == kMf) return kSwFileNotFound;
        fid = files_[current_df_].parent;
        return kSwOk;
    case 0x04:  // by DF name, the whole of it
        if (d.empty()) return kSwWrongLength;
        for (const auto& [id, f] : files_) {
            if (f.is_df && f.name == d) {
                fid = id;
                return kSwOk;
            }
        }
        return kSwFileNotFound;
    case 0x08:    // a path from the MF, its identifier left out
    case 0x09: {  // a path from the current DF
        if (d.empty() || d.size() % 2 != 0) return kSwWrongLength;
        uint16_t at = a.p1 == 0x08 ? kMf : current_df_;
        for (size_t i = 0; i < d.size(); i += 2) {
            // Each identifier is one of the previous DF's files; an EF ends the path.
            if (!files_[at].is_df || Child(at, id_at(i)) == nullptr) return kSwFileNotFound;
            at = id_at(i);
        }
        fid = at;
        return kSwOk;
    }
    default: return kSwWrongP1P2;
    }
}

Bytes CardApplication::ControlParameters(uint16_t fid, bool with_name) {
    // FCP template (ISO/IEC 7816-4 5.3.3): what a client needs to tell a DF from an EF, how
    // much a transparent EF holds, how a record EF's records are laid out.
    const File& f = files_[fid];
    Bytes fcp;
    if (f.is_df) {
        fcp = {0x82, 0x01, kFdbDf};
    } else if (f.record_size == 0) {
        fcp = {0x82, 0x01, kFdbTransparent};
    } else {
        fcp = {0x82, 0x05, kFdbLinearFixed, kDataCoding, static_cast<uint8_t>(f.record_size >> 8),
               static_cast<uint8_t>(f.record_size), static_cast<uint8_t>(f.content.size() / f.record_size)};
    }
    fcp.insert(fcp.end(), {0x83, 0x02, static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)});
    if (with_name && !f.name.empty()) {
        fcp.insert(fcp.end(), {0x84, static_cast<uint8_t>(f.name.size())});
        fcp.insert(fcp.end(), f.name.begin(), f.name.end());
    }
    if (!f.is_df) {
        fcp.insert(fcp.end(), {0x80, 0x02, static_cast<uint8_t>(f.content.size() >> 8),
                               static_cast<uint8_t>(f.content.size())});
    }
    fcp.insert(fcp.begin(), {0x62, static_cast<uint8_t>(fcp.size())});
    return fcp;
}

bool CardApplication::Offset(const Apdu& a, size_t& offset) const {
    // P1 b8 set would name a short EF identifier, which these files do not have.
    if (a.p1 & 0x80) return false;
    offset = static_cast<size_t>((a.p1 & 0x7F) << 8 | a.p2);
    return true;
}

Response CardApplication::ReadBinary(const Apdu& a, bool exact_le) {
    size_t offset = 0;
    if (!Offset(a, offset)) return Sw(kSwWrongP1P2);
    if (!a.data.empty()) return Sw(kSwWrongLength);
    if (!current_ef_) return Sw(kSwNoCurrentEf);
    const File& f = files_[*current_ef_];
    if (f.record_size != 0) return Sw(kSwIncompatible);
    if (f.read_needs_pin && !verified_) return Sw(kSwSecurity);
    if (offset > f.content.size()) return Sw(kSwWrongOffset);
    if (a.ne == 0) return Sw(kSwWrongLength);
    const size_t available = f.content.size() - offset;
    if (available == 0) return Sw(kSwWrongOffset);
    if (exact_le && available < a.ne) return Sw(static_cast<uint16_t>(0x6C00 | available));
    const size_t n = std::min<size_t>(available, a.ne);
    Response r{Bytes(f.content.begin() + static_cast<long>(offset),
                     f.content.begin() + static_cast<long>(offset + n)),
               kSwOk};
    // ISO/IEC 7816-4 7.2.3: fewer bytes than asked for end with 6282, unless Le was the
    // wildcard 00 ("up to 256").
    if (n < a.ne && a.ne != 256) r.sw = kSwEndOfFile;
    return r;
}

Response CardApplication::ReadBinaryOdd(const Apdu& a) {
    // The data field is exactly one offset data object: 54, a one-byte length, the offset
    // big-endian.
    if (a.data.empty()) return Sw(kSwWrongLength);
    const size_t len = a.data.size() >= 2 ? a.data[1] : 0;
    if (a.data[0] != kTagOffset || len == 0 || len > kMaxOffsetBytes || a.data.size() != 2 + len)
        return Sw(kSwWrongData);
    size_t offset = 0;
    for (size_t i = 0; i < len; ++i) offset = offset << 8 | a.data[2 + i];
    if (a.p1 != 0 || a.p2 != 0) {
        const uint16_t fid = static_cast<uint16_t>(a.p1 << 8 | a.p2);
        File* named = Find(fid);
        if (named == nullptr) return Sw(kSwFileNotFound);
        if (named->is_df) return Sw(kSwIncompatible);
        current_ef_ = fid;
    }
    if (!current_ef_) return Sw(kSwNoCurrentEf);
    const File& f = files_[*current_ef_];
    if (f.record_size != 0) return Sw(kSwIncompatible);
    if (f.read_needs_pin && !verified_) return Sw(kSwSecurity);
    if (offset >= f.content.size()) return Sw(kSwWrongOffset);
    // Le counts the wrapped answer: tag and length come out of it. Less than 53 00 plus a byte
    // cannot carry anything.
    if (a.ne < 3) return Sw(kSwWrongLength);
    const size_t available = f.content.size() - offset;
    size_t n = std::min<size_t>(available, a.ne - 2u);
    if (n > 0x7F) n = std::min<size_t>(available, a.ne - 3u);  // 53 81 nn: still over 7F
    Bytes out = {kTagDiscretionary};
    if (n > 0x7F) out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), f.content.begin() + static_cast<long>(offset),
               f.content.begin() + static_cast<long>(offset + n));
    Response r{std::move(out), kSwOk};
    // As for B0: the end of the file before Le is reached ends with 6282, unless Le was 00.
    if (n == available && r.data.size() < a.ne && a.ne != 256) r.sw = kSwEndOfFile;
    return r;
}

Response CardApplication::UpdateBinary(const Apdu& a) {
    size_t offset = 0;
    if (!Offset(a, offset)) return Sw(kSwWrongP1P2);
    if (a.data.empty()) return Sw(kSwWrongLength);
    if (!current_ef_) return Sw(kSwNoCurrentEf);
    File& f = files_[*current_ef_];
    if (f.record_size != 0) return Sw(kSwIncompatible);
    if (f.update_needs_pin && !verified_) return Sw(kSwSecurity);
    if (offset > f.content.size()) return Sw(kSwWrongOffset);
    if (offset + a.data.size() > f.content.size()) return Sw(kSwWrongLength);
    std::copy(a.data.begin(), a.data.end(), f.content.begin() + static_cast<long>(offset));
    return Sw(kSwOk);
}

Response CardApplication::GetResponse(const Apdu& a) {
    if (a.p1 != 0 || a.p2 != 0) return Sw(kSwWrongP1P2);
    if (pending_.empty()) return Sw(kSwConditions);
    if (a.ne == 0) return Sw(kSwWrongLength);
    // ISO/IEC 7816-3 10.3.3: asked for more than there is, the card names the exact length
    // and keeps its data for the next GET RESPONSE.
    if (a.ne > pending_.size()) return Sw(static_cast<uint16_t>(0x6C00 | (pending_.size() & 0xFF)));
    Response r{Bytes(pending_.begin(), pending_.begin() + a.ne), kSwOk};
    pending_.erase(pending_.begin(), pending_.begin() + a.ne);
    if (!pending_.empty()) r.sw = static_cast<uint16_t>(0x6100 | (pending_.size() >= 256 ? 0 : pending_.size()));
    return r;
}

Response CardApplication::GetChallenge(const Apdu& a) {
    if (a.p1 != 0 || a.p2 != 0) return Sw(kSwWrongP1P2);
    if (!a.data.empty() || a.ne == 0) return Sw(kSwWrongLength);
    Response r;
    r.data.resize(a.ne);
    for (auto& b : r.data) b = static_cast<uint8_t>(challenge_.Next() >> 56);
    return r;
}

Response CardApplication::Verify(const Apdu& a) {
    if (a.p1 != 0 || (a.p2 != 0x01 && a.p2 != 0x81)) return Sw(kSwWrongP1P2);
    if (tries_left_ == 0) return Sw(kSwBlocked);
    // No data: the card tells whether the PIN is verified, or how many tries are left.
    if (a.data.empty()) return Sw(verified_ ? kSwOk : static_cast<uint16_t>(0x63C0 | tries_left_));
    if (a.data.size() > kMaxPinBytes) return Sw(kSwWrongLength);
    if (a.data == options_.pin) {
        verified_ = true;
        tries_left_ = options_.pin_tries;
        return Sw(kSwOk);
    }
    verified_ = false;
    --tries_left_;
    if (tries_left_ == 0) return Sw(kSwBlocked);
    return Sw(static_cast<uint16_t>(0x63C0 | tries_left_));
}

uint16_t CardApplication::RecordTarget(const Apdu& a, bool for_update, File*& f) {
    // 11111 as a short identifier and mode 111 are reserved; these files have no short
    // identifiers, as for READ BINARY. The other modes name records by occurrence or relative
    // to a record pointer, which this card does not keep.
    if ((a.p2 >> 3) != 0 || (a.p2 & kRecordModeMask) == kRecordModeReserved) return kSwWrongP1P2;
    if ((a.p2 & kRecordModeMask) != kRecordByNumber) return kSwFunctionNotSupported;
    if (!current_ef_) return kSwNoCurrentEf;
    f = &files_[*current_ef_];
    if (f->record_size == 0) return kSwIncompatible;
    if (for_update ? f->update_needs_pin : f->read_needs_pin) {
        if (!verified_) return kSwSecurity;
    }
    // P1 00 would be the current record: there is none without a record pointer.
    if (a.p1 == 0 || a.p1 > f->content.size() / f->record_size) return kSwRecordNotFound;
    return kSwOk;
}

Response CardApplication::ReadRecord(const Apdu& a, bool exact_le) {
    if (!a.data.empty()) return Sw(kSwWrongLength);
    File* f = nullptr;
    if (const uint16_t sw = RecordTarget(a, false, f); sw != kSwOk) return Sw(sw);
    if (a.ne == 0) return Sw(kSwWrongLength);
    const size_t size = f->record_size;
    // As READ BINARY: T=0 must send exactly Le, so a longer Le is told the record's length.
    if (exact_le && size < a.ne) return Sw(static_cast<uint16_t>(0x6C00 | size));
    const size_t n = std::min<size_t>(size, a.ne);
    const auto first = f->content.begin() + static_cast<long>((a.p1 - 1u) * size);
    Response r{Bytes(first, first + static_cast<long>(n)), kSwOk};
    if (n < a.ne && a.ne != 256) r.sw = kSwEndOfFile;
    return r;
}

Response CardApplication::UpdateRecord(const Apdu& a) {
    File* f = nullptr;
    if (const uint16_t sw = RecordTarget(a, true, f); sw != kSwOk) return Sw(sw);
    // A linear fixed EF's records keep their size: the data replace a whole record.
    if (a.data.size() != f->record_size) return Sw(kSwWrongLength);
    std::copy(a.data.begin(), a.data.end(), f->content.begin() + static_cast<long>((a.p1 - 1u) * f->record_size));
    return Sw(kSwOk);
}

Response CardApplication::ListFiles(const Apdu& a, bool exact_le) {
    if ((a.p1 != 0x01 && a.p1 != 0x02) || a.p2 != 0) return Sw(kSwWrongP1P2);
    if (!a.data.empty() || a.ne == 0) return Sw(kSwWrongLength);
    Bytes ids;
    for (const auto& [fid, f] : files_) {
        if (Child(current_df_, fid) != nullptr && f.is_df == (a.p1 == 0x01)) {
            ids.push_back(static_cast<uint8_t>(fid >> 8));
            ids.push_back(static_cast<uint8_t>(fid));
        }
    }
    if (ids.empty()) return Sw(kSwFileNotFound);
    // A list cut short would name the wrong files: a Le that does not hold it is told its length.
    if (ids.size() > a.ne || (exact_le && ids.size() < a.ne)) return Sw(static_cast<uint16_t>(0x6C00 | ids.size()));
    return Response{ids, kSwOk};
}

}  // namespace lmscr::sim::cards
