// Every device-control request the driver takes, with the input and output lengths and bytes from
// the fuzzer, against a started reader (the simulated one of sim/) with a simulated card.
//
// Input:
//   byte 0   bit 0: a T=1 card, else a T=0 card; bit 1: no card at the start; bit 2: the serial
//            port completes at once what it can (else it pends it)
//   byte 1   the scheduler's seed
//   byte 2   after the start, the Nth call of an injectable kernel operation fails (0: none),
//   byte 3   that operation: kFaults[byte % n] (pool, IRP, work item, ...), or any of them
//   then requests until the input ends, each:
//            OP, OUT (16 bits, up to 0x2000), IN (one byte), IN bytes
//            OP < 0x80   the code kCodes[OP % n], the input as given
//            OP & 0x80   an attribute request: bit 6 set (else get), attribute kAttributes[next
//                        byte % n], its 4-byte id in front of the IN bytes
//            OP = 0x7F   card taken out or put back in (OUT and IN still read, unused)
//            OP = 0x7E   the code is the next 4 bytes (any code at all)
//            OP = 0x7D   the next request goes out without waiting and is cancelled after
//                        the byte read here in ms (0..63), then waited for
// Card-tracking requests (IS_PRESENT, IS_ABSENT) go out without waiting; one still pending after
// 5 virtual ms is cancelled.
// Oracle: no crash, verifier silent, nothing leaked at unload (an injected failure included); for every request Information
// within the output length, no data with an error status, no pending status for a caller that
// waited.
#include <cstring>

#include "rig.h"

namespace {

using namespace lmscr;
using namespace lmscr::fuzz;

const ULONG kCodes[] = {
    IOCTL_SMARTCARD_POWER,     IOCTL_SMARTCARD_GET_ATTRIBUTE, IOCTL_SMARTCARD_SET_ATTRIBUTE,
    IOCTL_SMARTCARD_CONFISCATE, IOCTL_SMARTCARD_TRANSMIT,     IOCTL_SMARTCARD_EJECT,
    IOCTL_SMARTCARD_SWALLOW,   IOCTL_SMARTCARD_IS_PRESENT,    IOCTL_SMARTCARD_IS_ABSENT,
    IOCTL_SMARTCARD_SET_PROTOCOL, IOCTL_SMARTCARD_GET_STATE,  IOCTL_SMARTCARD_GET_LAST_ERROR,
    IOCTL_SMARTCARD_GET_PERF_CNTR, IOCTL_READER_GET_VERSION,  SCARD_CTL_CODE(2048),
    SCARD_CTL_CODE(2050),      SCARD_CTL_CODE(3000),           SCARD_CTL_CODE(9),
};

const ULONG kAttributes[] = {
    SCARD_ATTR_VENDOR_NAME, SCARD_ATTR_VENDOR_IFD_TYPE, SCARD_ATTR_VENDOR_IFD_VERSION,
    SCARD_ATTR_VENDOR_IFD_SERIAL_NO, SCARD_ATTR_CHANNEL_ID, SCARD_ATTR_PROTOCOL_TYPES,
    SCARD_ATTR_DEFAULT_CLK, SCARD_ATTR_MAX_CLK, SCARD_ATTR_DEFAULT_DATA_RATE, SCARD_ATTR_MAX_DATA_RATE,
    SCARD_ATTR_MAX_IFSD, SCARD_ATTR_SYNC_PROTOCOL_TYPES, SCARD_ATTR_POWER_MGMT_SUPPORT,
    SCARD_ATTR_USER_TO_CARD_AUTH_DEVICE, SCARD_ATTR_USER_AUTH_INPUT_DEVICE, SCARD_ATTR_CHARACTERISTICS,
    SCARD_ATTR_CURRENT_PROTOCOL_TYPE, SCARD_ATTR_CURRENT_CLK, SCARD_ATTR_CURRENT_F, SCARD_ATTR_CURRENT_D,
    SCARD_ATTR_CURRENT_N, SCARD_ATTR_CURRENT_W, SCARD_ATTR_CURRENT_IFSC, SCARD_ATTR_CURRENT_IFSD,
    SCARD_ATTR_CURRENT_BWT, SCARD_ATTR_CURRENT_CWT, SCARD_ATTR_CURRENT_EBC_ENCODING, SCARD_ATTR_EXTENDED_BWT,
    SCARD_ATTR_ICC_PRESENCE, SCARD_ATTR_ICC_INTERFACE_STATUS, SCARD_ATTR_CURRENT_IO_STATE,
    SCARD_ATTR_ATR_STRING, SCARD_ATTR_ICC_TYPE_PER_ATR, SCARD_ATTR_ESC_RESET, SCARD_ATTR_ESC_CANCEL,
    SCARD_ATTR_ESC_AUTHREQUEST, SCARD_ATTR_MAXINPUT, SCARD_ATTR_DEVICE_UNIT, SCARD_ATTR_DEVICE_IN_USE,
    SCARD_ATTR_DEVICE_FRIENDLY_NAME_A, SCARD_ATTR_DEVICE_SYSTEM_NAME_A, SCARD_ATTR_DEVICE_FRIENDLY_NAME_W,
    SCARD_ATTR_DEVICE_SYSTEM_NAME_W, SCARD_ATTR_SUPRESS_T1_IFS_REQUEST, SCARD_ATTR_PERF_NUM_TRANSMISSIONS,
    SCARD_ATTR_PERF_BYTES_TRANSMITTED, SCARD_ATTR_PERF_TRANSMISSION_TIME,
};

constexpr size_t kMaxRequests = 24;

const char* const kFaults[] = {"", "ExAllocatePoolWithTag", "IoAllocateIrp", "IoAllocateWorkItem",
                               "IoBuildDeviceIoControlRequest"};

std::string Describe(ULONG code, const Bytes& input, ULONG out) {
    return "code " + std::to_string((code >> 2) & 0xFFF) + " input " + Hex(input) + " output length " +
           std::to_string(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t flags = in.Byte();
    RigOptions options;
    options.simulatedReader = true;
    const std::string card = (flags & 0x01) ? "t1" : "t0";
    options.card = (flags & 0x02) ? "" : card;
    options.forcePending = !(flags & 0x04);
    options.seed = in.Byte();
    const uint8_t nth = in.Byte();
    const char* fault = kFaults[in.Byte() % (sizeof kFaults / sizeof kFaults[0])];
    Rig rig(options);
    if (!rig.Start()) Fail("the reader did not start");
    // A machine short of memory or resources: the request that meets the failure fails, and
    // nothing may leak or break the verifier's rules on the way.
    if (nth != 0) rig.K().InjectFault({fault, "", nth, 0});
    bool cardIn = !options.card.empty();

    int cancelAfterMs = -1;
    for (size_t n = 0; n < kMaxRequests && !in.Empty(); ++n) {
        const uint8_t op = in.Byte();
        if (op == 0x7D) {
            cancelAfterMs = in.Byte() % 64;
            continue;
        }
        ULONG out = in.U16();
        if (out > 0x2000) out &= 0x1FFF;
        Bytes input = in.Take(in.Byte());
        ULONG code;
        if (op & 0x80) {
            code = (op & 0x40) ? IOCTL_SMARTCARD_SET_ATTRIBUTE : IOCTL_SMARTCARD_GET_ATTRIBUTE;
            const ULONG attribute = kAttributes[in.Byte() % (sizeof kAttributes / sizeof kAttributes[0])];
            Bytes id(4);
            std::memcpy(id.data(), &attribute, 4);
            input.insert(input.begin(), id.begin(), id.end());
        } else if (op == 0x7F) {
            if (cardIn)
                rig.RemoveCard();
            else
                rig.InsertCard(card);
            cardIn = !cardIn;
            continue;
        } else if (op == 0x7E) {
            code = in.U32();
        } else {
            code = kCodes[op % (sizeof kCodes / sizeof kCodes[0])];
        }

        if (code == IOCTL_SMARTCARD_IS_PRESENT || code == IOCTL_SMARTCARD_IS_ABSENT || cancelAfterMs >= 0) {
            auto pending = rig.K().Clients().IoControlAsync(rig.handle, code, input, out);
            rig.K().Sleep(cancelAfterMs >= 0 ? static_cast<uint64_t>(cancelAfterMs) : 5);
            cancelAfterMs = -1;
            if (!pending->Done()) pending->Cancel();
            pending->Wait();
            if (std::getenv("LMSCR_FUZZ_VERBOSE"))
                std::fprintf(stderr, "%s, not waited for: %s, information %zu\n", Describe(code, input, out).c_str(),
                             kernel::StatusName(pending->Result().status).c_str(),
                             static_cast<size_t>(pending->Result().information));
            CheckIoResult(pending->Result(), out, Describe(code, input, out).c_str());
            continue;
        }
        const kernel::IoResult r = rig.Ioctl(code, input, out);
        if (std::getenv("LMSCR_FUZZ_VERBOSE"))
            std::fprintf(stderr, "%s: %s, information %zu\n", Describe(code, input, out).c_str(),
                         kernel::StatusName(r.status).c_str(), static_cast<size_t>(r.information));
        CheckIoResult(r, out, Describe(code, input, out).c_str());
    }
    // The removal and unload are the managers' own work, not the requests': no failure there.
    rig.K().ClearFaults();
    rig.Finish();
    return 0;
}
