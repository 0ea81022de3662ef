// The T=0 and T=1 exchange targets: a card in the scripted reader, reset cold, its protocol
// selected, then the application's commands through IOCTL_SMARTCARD_TRANSMIT, the whole stack
// down to the line in virtual time, while the card answers with the fuzzer's bytes.
//
// Input (every field reads as zero past the end):
//   byte 0   options: bit 0  T=1: each block's LEN and epilogue computed (the fix-up mode, so
//                            that mutations get past the checksum); bit 1  T=1: the card asks for
//                            CRC instead of LRC; bit 2  the serial port completes at once what it
//                            can (else it pends it); bits 3-4  commands - 1 (one to four);
//                            bit 5  the card's ATR follows the header (LEN, LEN bytes) instead of
//                            the target's own; a reset or selection it fails ends the input
//   byte 1   the scheduler's seed
//   byte 2   T=1: the card's IFSC (0: 32); T=0: ignored
//   byte 3   the reader reports its time-out this many ms after a card that fell silent (0: never)
//   byte 4   the application's answer room after its 8-byte header (0: 300)
//   [ATR     LEN, LEN bytes, with options bit 5]
//   then per command:   LEN, LEN bytes of APDU
//   then reactions, one per send-data command (T=0) or per whole block the driver sent (T=1),
//   from the first command on (with a card of the input's own: from its protocol selection on):
//            CTL, N, N bytes
//            CTL bits 0-2  delay before the bytes: 0, 1, 5, 20, 100, 500, 1500, 5000 ms
//                bit 3     raw: the bytes go on the host line as they are (events 10 83 / 10 84 /
//                          10 86 / 10 88, broken escapes); else they are card bytes, escape-coded
//                bit 4     the first byte is the reader's reply to the send-data command
//                          (a reader status byte: 90 done, 84, 83, 88, anything)
//                bit 5     T=1 fix-up off for this block
//                bit 7     not a reaction: the bytes are the reader's replies to the next register
//                          writes after the protocol selection (90 done, anything else refused)
//                bit 6     T=1: no end-of-block report from the reader after the bytes (else 10 83
//                          follows 2 ms after them, as the reader reports the card's silence)
// Oracle: a transmit that succeeds hands back bytes the card sent during it, in their order
// (T=0: ending in SW1 SW2 with SW1 6X or 9X; T=1 with well-formed blocks: the INF fields of
// I-blocks, each whole), Information within the output buffer; the run ends with the driver unloaded, the verifier
// silent and nothing leaked; a deadlock stops the kernel.
#pragma once

#include "rig.h"

#include <cstring>

namespace lmscr::fuzz {

inline uint8_t Lrc(const Bytes& b) {
    uint8_t x = 0;
    for (uint8_t v : b) x ^= v;
    return x;
}

// ISO/IEC 13239 FCS-16 as T=1 sends it: reflected polynomial 0x8408, preset all ones, final
// complement, low-order byte first.
inline uint16_t Crc16(const Bytes& b) {
    uint16_t crc = 0xFFFF;
    for (uint8_t v : b) {
        crc ^= v;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
    return static_cast<uint16_t>(~crc);
}

inline Bytes T0Atr() { return {0x3B, 0x82, 0x10, 0x10, 0x4C, 0x4D}; }

// A card in specific mode for T=1 (TA2 names T=1, parameters implicit), so no PTS exchange comes
// before the commands: TD2 announces TA3 (IFSC), TB3 (BWI 4, CWI 5) and TC3 (the epilogue).
inline Bytes T1Atr(uint8_t ifsc, bool crc) {
    Bytes atr = {0x3B, 0x80, 0x91, 0x11, 0x71, ifsc, 0x45, static_cast<uint8_t>(crc ? 0x01 : 0x00)};
    atr.push_back(Lrc(Bytes(atr.begin() + 1, atr.end())));
    return atr;
}

inline int RunExchange(ULONG protocol, const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t options = in.Byte();
    const bool fixup = options & 0x01;
    const bool crc = options & 0x02;
    const unsigned commandCount = 1 + ((options >> 3) & 0x03);
    RigOptions rigOptions;
    rigOptions.seed = in.Byte();
    rigOptions.forcePending = !(options & 0x04);
    uint8_t ifsc = in.Byte();
    if (ifsc == 0 || ifsc == 0xFF) ifsc = 0x20;
    const uint8_t silenceMs = in.Byte();
    const uint8_t roomByte = in.Byte();
    const ULONG room = roomByte == 0 ? 300 : roomByte;

    const bool ownAtr = options & 0x20;
    const Bytes fuzzedAtr = ownAtr ? in.Take(in.Byte()) : Bytes{};

    std::vector<Bytes> commands;
    for (unsigned i = 0; i < commandCount && !in.Empty(); ++i) commands.push_back(in.Take(in.Byte()));
    if (commands.empty()) return 0;

    static const uint64_t kDelayMs[8] = {0, 1, 5, 20, 100, 500, 1500, 5000};
    std::deque<Reaction> reactions;
    std::deque<uint8_t> writeReplies;
    while (!in.Empty()) {
        const uint8_t ctl = in.Byte();
        Bytes bytes = in.Take(in.Byte());
        if (ctl & 0x80) {
            writeReplies.insert(writeReplies.end(), bytes.begin(), bytes.end());
            continue;
        }
        Reaction r;
        r.delayNs = kDelayMs[ctl & 0x07] * 1'000'000;
        if ((ctl & 0x10) && !bytes.empty()) {
            r.status = bytes.front();
            bytes.erase(bytes.begin());
        }
        if (ctl & 0x08) {
            r.wire = bytes;
            r.card = bytes;  // whatever card bytes hide among the raw ones
        } else {
            if (protocol == SCARD_PROTOCOL_T1 && fixup && !(ctl & 0x20)) {
                // NAD PCB INF...: LEN and the epilogue filled in.
                Bytes block;
                block.push_back(bytes.size() > 0 ? bytes[0] : 0);
                block.push_back(bytes.size() > 1 ? bytes[1] : 0);
                Bytes inf(bytes.size() > 2 ? bytes.begin() + 2 : bytes.end(), bytes.end());
                if (inf.size() > 254) inf.resize(254);
                block.push_back(static_cast<uint8_t>(inf.size()));
                block.insert(block.end(), inf.begin(), inf.end());
                if (crc) {
                    const uint16_t c = Crc16(block);
                    block.push_back(static_cast<uint8_t>(c & 0xFF));
                    block.push_back(static_cast<uint8_t>(c >> 8));
                } else {
                    block.push_back(Lrc(block));
                }
                r.wellFormed = true;
                r.iBlock = (block[1] & 0x80) == 0;
                r.inf = inf;
                bytes = block;
            }
            r.wire = Escaped(bytes);
            r.card = bytes;
        }
        if (protocol == SCARD_PROTOCOL_T1 && !(ctl & 0x40)) r.blockEndNs = 2'000'000;
        reactions.push_back(std::move(r));
    }

    Rig rig(rigOptions);
    ScriptedReader& reader = rig.Reader();
    reader.atr = ownAtr ? fuzzedAtr : protocol == SCARD_PROTOCOL_T1 ? T1Atr(ifsc, crc) : T0Atr();
    reader.blockMode = protocol == SCARD_PROTOCOL_T1;
    reader.epilogue = crc ? 2 : 1;
    reader.silenceTimeoutNs = uint64_t{silenceMs} * 1'000'000;
    if (!rig.Start()) Fail("the reader did not start", "");
    // A card of the input's own may be asked for a PTS exchange: its first reactions answer it.
    auto load = [&] {
        rig.Line().RunOnLine([&] {
            reader.reactions = std::move(reactions);
            reader.writeReplies = std::move(writeReplies);
        });
    };
    if (ownAtr) load();

    {
        ULONG minor = SCARD_COLD_RESET;
        Bytes in4(4);
        std::memcpy(in4.data(), &minor, 4);
        auto r = rig.Ioctl(IOCTL_SMARTCARD_POWER, in4, 64);
        CheckIoResult(r, 64, "power");
        const Bytes got(r.output.begin(), r.output.begin() + static_cast<long>(r.information));
        if (std::getenv("LMSCR_FUZZ_VERBOSE"))
            std::fprintf(stderr, "cold reset: %s, ATR %s\n", kernel::StatusName(r.status).c_str(), Hex(got).c_str());
        if (ownAtr) {
            // Whatever the card's answer, the driver hands back its first bytes unchanged (an
            // inverse TS 03 reads as 3F) or fails the reset.
            Bytes sent = reader.atr;
            if (!sent.empty() && sent[0] == 0x03) sent[0] = 0x3F;
            if (r.status == STATUS_SUCCESS && (got.size() > sent.size() || !std::equal(got.begin(), got.end(), sent.begin())))
                Fail("the ATR handed back is not the card's", Hex(got) + " from the card's " + Hex(reader.atr));
            if (r.status == STATUS_SUCCESS && got.size() > 33) Fail("an ATR of more than 33 bytes", Hex(got));
            if (r.status != STATUS_SUCCESS) {
                rig.Finish();
                return 0;
            }
        }
        if (r.status != STATUS_SUCCESS) Fail("the cold reset failed", kernel::StatusName(r.status));
        if (!ownAtr && got != reader.atr) Fail("the ATR came back changed", Hex(got) + " instead of " + Hex(reader.atr));
        Bytes p(4);
        std::memcpy(p.data(), &protocol, 4);
        r = rig.Ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, p, 4);
        CheckIoResult(r, 4, "set protocol");
        if (std::getenv("LMSCR_FUZZ_VERBOSE"))
        {
            std::fprintf(stderr, "protocol selection: %s\n", kernel::StatusName(r.status).c_str());
            for (const Bytes& chunk : reader.sent) std::fprintf(stderr, "  driver: %s\n", Hex(chunk).c_str());
            std::fprintf(stderr, "  card:   %s\n", Hex(reader.cardBytes).c_str());
        }
        if (r.status != STATUS_SUCCESS && ownAtr) {
            rig.Finish();
            return 0;
        }
        if (r.status != STATUS_SUCCESS) Fail("the protocol selection failed", kernel::StatusName(r.status));
    }
    if (!ownAtr) load();

    for (const Bytes& apdu : commands) {
        // SCARD_IO_REQUEST {protocol, 8} in front of the command.
        Bytes request(8 + apdu.size());
        const ULONG header = 8;
        std::memcpy(request.data(), &protocol, 4);
        std::memcpy(request.data() + 4, &header, 4);
        std::copy(apdu.begin(), apdu.end(), request.begin() + 8);
        const size_t mark = reader.cardBytes.size();
        const size_t playedMark = reader.played.size();
        auto r = rig.Ioctl(IOCTL_SMARTCARD_TRANSMIT, request, 8 + room);
        CheckIoResult(r, 8 + room, "transmit");
        if (std::getenv("LMSCR_FUZZ_VERBOSE"))
            std::fprintf(stderr, "command %s: %s, answer %s, driver sent %zu chunks\n", Hex(apdu).c_str(),
                         kernel::StatusName(r.status).c_str(),
                         r.information > 8 ? Hex(Bytes(r.output.begin() + 8, r.output.begin() + static_cast<long>(r.information))).c_str() : "-",
                         reader.sent.size());
        if (std::getenv("LMSCR_FUZZ_VERBOSE")) {
            for (const Bytes& chunk : reader.sent) std::fprintf(stderr, "  driver: %s\n", Hex(chunk).c_str());
            std::fprintf(stderr, "  card:   %s\n", Hex(reader.cardBytes).c_str());
        }
        if (r.status != STATUS_SUCCESS) continue;
        if (r.information < 8) Fail("a transmit succeeded without its reply header", std::to_string(r.information));
        const Bytes answer(r.output.begin() + 8, r.output.begin() + static_cast<long>(r.information));
        const Bytes during(reader.cardBytes.begin() + static_cast<long>(mark), reader.cardBytes.end());
        // T=0: the command ends on SW1 SW2, SW1 6X (not the NULL byte 60) or 9X; any other byte
        // where a procedure byte is due breaks the protocol and cannot be a status word.
        if (protocol == SCARD_PROTOCOL_T0) {
            if (answer.size() < 2) Fail("a T=0 answer without its status word", Hex(answer));
            const uint8_t sw1 = answer[answer.size() - 2];
            if (!(((sw1 & 0xF0) == 0x60 && sw1 != 0x60) || (sw1 & 0xF0) == 0x90))
                Fail("a T=0 answer whose SW1 is no status byte", "command " + Hex(apdu) + "\nanswer  " + Hex(answer));
        }
        // T=1, every block of the card well formed: the answer is the INF of I-blocks the card
        // sent, each whole, in their order (a block repeated after an R-block is one of them).
        if (protocol == SCARD_PROTOCOL_T1) {
            bool known = true;
            std::vector<bool> reach(answer.size() + 1, false);
            reach[0] = true;
            for (size_t k = playedMark; k < reader.played.size() && known; ++k) {
                const Reaction& block = reader.played[k];
                if (!block.wellFormed) known = false;
                if (!known || !block.iBlock) continue;
                for (size_t p = answer.size() + 1; p-- > 0;)
                    if (reach[p] && p + block.inf.size() <= answer.size() &&
                        std::equal(block.inf.begin(), block.inf.end(), answer.begin() + static_cast<long>(p)))
                        reach[p + block.inf.size()] = true;
            }
            if (known && !reach[answer.size()])
                Fail("a T=1 answer that is not the INF of the card's I-blocks",
                     "command " + Hex(apdu) + "\nanswer  " + Hex(answer) + "\ncard    " + Hex(during));
        }
        if (!IsSubsequence(answer, during))
            Fail("the answer holds bytes the card did not send during the command",
                 "command " + Hex(apdu) + "\nanswer  " + Hex(answer) + "\ncard    " + Hex(during));
    }
    rig.Finish();
    return 0;
}

}  // namespace lmscr::fuzz
