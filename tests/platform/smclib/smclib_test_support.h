// smclib_test_support.h - a SMARTCARD_EXTENSION wired to buffers the tests own, filled the way the
// reader driver fills it (3580 kHz clock, 9600 bit/s, IFSD 254, 576-byte request and reply).
#pragma once

#include <cstring>
#include <initializer_list>
#include <vector>

#include "smclib.h"

namespace lmscr::smclib::test {

using Bytes = std::vector<UCHAR>;

struct Reader {
    static constexpr ULONG kBufferBytes = 576;
    // One guard byte after each buffer: a write past the end shows up as a changed canary.
    static constexpr UCHAR kCanary = 0xA5;

    SMARTCARD_EXTENSION ext{};
    Bytes request = Bytes(kBufferBytes + 1, kCanary);
    Bytes reply = Bytes(kBufferBytes + 1, kCanary);
    ULONG rates[8] = {9600};
    Bytes io_in;
    Bytes io_out;
    ULONG information = 0xFFFFFFFF;

    Reader() {
        ext.Version = SMCLIB_VERSION;
        ext.SmartcardRequest = {request.data(), kBufferBytes, 0};
        ext.SmartcardReply = {reply.data(), kBufferBytes, 0};
        auto &caps = ext.ReaderCapabilities;
        caps.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
        caps.ReaderType = SCARD_READER_TYPE_SERIAL;
        caps.CLKFrequency = {3580, 3580};
        caps.DataRate = {9600, 9600};
        caps.DataRatesSupported = {rates, 1};
        caps.MaxIFSD = 254;
    }

    void SetRates(std::initializer_list<ULONG> list) {
        UCHAR n = 0;
        for (ULONG r : list) rates[n++] = r;
        ext.ReaderCapabilities.DataRatesSupported = {rates, n};
    }

    // ATR into the card capabilities, then the library's analysis of it.
    NTSTATUS Atr(const Bytes &atr) {
        std::memset(ext.CardCapabilities.ATR.Buffer, 0, sizeof(ext.CardCapabilities.ATR.Buffer));
        if (!atr.empty()) std::memcpy(ext.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
        ext.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
        return SmartcardUpdateCardCapabilities(&ext);
    }

    // The application's transmit request: SCARD_IO_REQUEST header, then the APDU; and a reply
    // buffer of `reply_room` bytes (header included) with a canary behind it.
    void Transmit(ULONG protocol, const Bytes &apdu, ULONG reply_room = 8 + 300) {
        io_in.assign(8 + apdu.size(), 0);
        const SCARD_IO_REQUEST header{protocol, 8};
        std::memcpy(io_in.data(), &header, 8);
        if (!apdu.empty()) std::memcpy(io_in.data() + 8, apdu.data(), apdu.size());
        io_out.assign(reply_room + 1, kCanary);
        information = 0xFFFFFFFF;
        ext.IoRequest.RequestBuffer = io_in.data();
        ext.IoRequest.RequestBufferLength = static_cast<ULONG>(io_in.size());
        ext.IoRequest.ReplyBuffer = io_out.data();
        ext.IoRequest.ReplyBufferLength = reply_room;
        ext.IoRequest.Information = &information;
    }

    Bytes Sent() const { return Bytes(request.begin(), request.begin() + ext.SmartcardRequest.BufferLength); }

    void CardSays(const Bytes &bytes) {
        if (!bytes.empty()) std::memcpy(reply.data(), bytes.data(), bytes.size());
        ext.SmartcardReply.BufferLength = static_cast<ULONG>(bytes.size());
    }

    // The answer the application got, after the 8-byte reply header.
    Bytes Answer() const {
        if (information < 8 || information > io_out.size() - 1) return {};
        return Bytes(io_out.begin() + 8, io_out.begin() + information);
    }

    bool CanariesIntact() const {
        return request[kBufferBytes] == kCanary && reply[kBufferBytes] == kCanary &&
               (io_out.empty() || io_out.back() == kCanary);
    }
};

}  // namespace lmscr::smclib::test
