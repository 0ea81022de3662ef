// The IFD handler's entry points in a sequence the fuzzer chooses, with its buffers and lengths,
// against the simulated reader behind a pseudo-terminal.  The handler runs its kernel in real time
// only, so each input is a short session: at most kMaxCalls calls between the channel's open and
// its close.
//
// Input:
//   then calls until the input ends, each: OP, then what OP reads
//     0 GetCapabilities   TAG (index into kTags, or 0xFF: next 4 bytes), LENGTH (0..64)
//     1 SetCapabilities   TAG, LENGTH, LENGTH bytes
//     2 SetProtocolParameters  PROTOCOL, FLAGS, PTS1, PTS2, PTS3
//     3 PowerICC          ACTION (0 up, 1 reset, 2 down, else the byte as it is), ROOM (0: MAX_ATR_SIZE)
//     4 TransmitToICC     PROTOCOL (low bit, or the byte when bit 7), ROOM (16 bits, up to 300),
//                         LENGTH, LENGTH bytes of APDU
//     5 Control           CODE (0 version, 1 features, else the byte), ROOM, LENGTH, LENGTH bytes
//     6 ICCPresence
//     7 any entry point on a channel that is not open
//     8 the card out of the slot or back in
//     9 a second channel opened on PATH (kPaths[byte % n]: no tty, no file, the same reader
//       again) and closed
//     10 the polling routine pcscd's event thread calls, TIMEOUT ms (0..49), then its stop
// Oracle: no crash, no undefined behaviour, no leak; lengths handed back never beyond the room
// given; a channel not open answers IFD_NO_SUCH_DEVICE; the handler's kernel, shut down at the
// last channel's close, has nothing left over.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "input.h"
#include "pty_helper.h"

extern "C" const char* LmscrIfdShutdownReport();

namespace {

using lmscr::fuzz::Bytes;
using lmscr::fuzz::Fail;
using lmscr::fuzz::Input;

constexpr DWORD kLun = 0;
constexpr DWORD kClosedLun = 0x30000;
constexpr int kMaxCalls = 6;

const char* const kPaths[] = {"/dev/null", "/nonexistent/tty", "/tmp", "", nullptr /* the reader's own */};

using PollFn = RESPONSECODE (*)(DWORD, int);
using StopFn = RESPONSECODE (*)(DWORD);

const DWORD kTags[] = {TAG_IFD_ATR, SCARD_ATTR_ATR_STRING, TAG_IFD_SLOTS_NUMBER, TAG_IFD_SIMULTANEOUS_ACCESS,
                       TAG_IFD_THREAD_SAFE, TAG_IFD_SLOT_THREAD_SAFE, SCARD_ATTR_VENDOR_IFD_VERSION,
                       TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, TAG_IFD_STOP_POLLING_THREAD, SCARD_ATTR_VENDOR_NAME};

DWORD Tag(Input& in) {
    const uint8_t t = in.Byte();
    if (t == 0xFF) return in.U32();
    return kTags[t % (sizeof kTags / sizeof kTags[0])];
}

lmscr::ifdtest::PtyReader& Reader() {
    static std::unique_ptr<lmscr::ifdtest::PtyReader> reader = [] {
        std::string error;
        auto r = lmscr::ifdtest::OpenPtyReader(&error);
        if (!r) Fail("no pseudo-terminal for the simulated reader", error);
        return r;
    }();
    return *reader;
}

// Room given to the handler, and a guard after it that must stay untouched.
struct Room {
    explicit Room(size_t n) : bytes(n + 16, 0xA5), size(n) {}
    PUCHAR data() { return bytes.data(); }
    void Check(DWORD returned, const char* what) const {
        if (returned > size) Fail("a length beyond the room given", what);
        for (size_t i = size; i < bytes.size(); ++i)
            if (bytes[i] != 0xA5) Fail("written past the room given", what);
    }
    Bytes bytes;
    size_t size;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool cardIn = true;
    auto& reader = Reader();
    if (!cardIn) cardIn = reader.Insert("t1");
    Input in(data, size);
    std::string path = reader.SlavePath();
    if (IFDHCreateChannelByName(kLun, path.data()) != IFD_SUCCESS) Fail("the channel did not open", path);

    for (int n = 0; n < kMaxCalls && !in.Empty(); ++n) {
        const uint8_t op = in.Byte() % 11;
        switch (op) {
        case 0: {
            const DWORD tag = Tag(in);
            DWORD length = in.Byte() % 65;
            Room room(length);
            if (IFDHGetCapabilities(kLun, tag, &length, room.data()) == IFD_SUCCESS) room.Check(length, "get capabilities");
            else room.Check(0, "get capabilities");
            break;
        }
        case 1: {
            const DWORD tag = Tag(in);
            Bytes value = in.Take(in.Byte() % 65);
            IFDHSetCapabilities(kLun, tag, static_cast<DWORD>(value.size()), value.data());
            break;
        }
        case 2: {
            const DWORD protocol = in.Byte();
            const UCHAR flags = in.Byte(), p1 = in.Byte(), p2 = in.Byte(), p3 = in.Byte();
            IFDHSetProtocolParameters(kLun, protocol, flags, p1, p2, p3);
            break;
        }
        case 3: {
            const uint8_t a = in.Byte();
            const DWORD action = a == 0 ? IFD_POWER_UP : a == 1 ? IFD_RESET : a == 2 ? IFD_POWER_DOWN : a;
            DWORD length = in.Byte() % (MAX_ATR_SIZE + 1);
            if (length == 0) length = MAX_ATR_SIZE;
            Room room(length);
            const RESPONSECODE rv = IFDHPowerICC(kLun, action, room.data(), &length);
            room.Check(rv == IFD_SUCCESS ? length : 0, "power");
            if (rv != IFD_SUCCESS && length != 0) Fail("a failed power action with an ATR length", std::to_string(rv));
            break;
        }
        case 4: {
            const uint8_t p = in.Byte();
            SCARD_IO_HEADER send{(p & 0x80) ? p : DWORD(p & 1), 8};
            DWORD length = in.U16() % 301;
            Bytes apdu = in.Take(in.Byte());
            Room room(length);
            SCARD_IO_HEADER recv{};
            const RESPONSECODE rv = IFDHTransmitToICC(kLun, send, apdu.data(), static_cast<DWORD>(apdu.size()),
                                                      room.data(), &length, &recv);
            room.Check(length, "transmit");
            if (rv != IFD_SUCCESS && length != 0) Fail("a failed transmit with an answer length", std::to_string(rv));
            break;
        }
        case 5: {
            const uint8_t c = in.Byte();
            const DWORD code = c == 0 ? SCARD_CTL_CODE(2049) : c == 1 ? CM_IOCTL_GET_FEATURE_REQUEST : c;
            const DWORD roomSize = in.Byte();
            Bytes tx = in.Take(in.Byte());
            Room room(roomSize);
            DWORD returned = 0;
            IFDHControl(kLun, code, tx.data(), static_cast<DWORD>(tx.size()), room.data(), roomSize, &returned);
            room.Check(returned, "control");
            break;
        }
        case 6:
            IFDHICCPresence(kLun);
            break;
        case 7: {
            UCHAR buffer[MAX_ATR_SIZE];
            DWORD length = sizeof buffer;
            if (IFDHICCPresence(kClosedLun) != IFD_NO_SUCH_DEVICE ||
                IFDHPowerICC(kClosedLun, IFD_POWER_UP, buffer, &length) != IFD_NO_SUCH_DEVICE ||
                IFDHGetCapabilities(kClosedLun, TAG_IFD_ATR, &length, buffer) != IFD_NO_SUCH_DEVICE)
                Fail("a channel that is not open answered as if it were");
            break;
        }
        case 8:
            cardIn = cardIn ? !reader.Remove() : reader.Insert("t1");
            break;
        case 9: {
            const char* chosen = kPaths[in.Byte() % (sizeof kPaths / sizeof kPaths[0])];
            std::string other = chosen ? chosen : path;
            if (IFDHCreateChannelByName(kLun + 1, other.data()) == IFD_SUCCESS) IFDHCloseChannel(kLun + 1);
            if (IFDHICCPresence(kLun + 1) != IFD_NO_SUCH_DEVICE) Fail("a closed channel still answers", other);
            break;
        }
        case 10: {
            const int timeoutMs = in.Byte() % 50;
            PollFn poll = nullptr;
            StopFn stop = nullptr;
            DWORD length = sizeof poll;
            if (IFDHGetCapabilities(kLun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, reinterpret_cast<PUCHAR>(&poll)) !=
                    IFD_SUCCESS ||
                !poll)
                Fail("no polling routine");
            length = sizeof stop;
            if (IFDHGetCapabilities(kLun, TAG_IFD_STOP_POLLING_THREAD, &length, reinterpret_cast<PUCHAR>(&stop)) !=
                    IFD_SUCCESS ||
                !stop)
                Fail("no stop for the polling routine");
            poll(kLun, timeoutMs);
            stop(kLun);
            break;
        }
        }
    }

    if (IFDHCloseChannel(kLun) != IFD_SUCCESS) Fail("the channel did not close");
    const std::string report = LmscrIfdShutdownReport();
    if (!report.empty()) Fail("the handler's kernel had something left over", report);
    return 0;
}
