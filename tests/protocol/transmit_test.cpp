// Commands reach the card: APDUs through the class library's transmit request, the driver's
// T=0 and T=1 exchanges, the simulated reader and cards.
#include "card_session.h"

#include "sim/cards/application.h"

using namespace lmscr;
using namespace lmscr::test;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Sw(uint16_t sw) { return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)}; }
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kSelectDf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10};
const Bytes kSelectLong = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01};

TEST(TransmitSmoke, select_and_read_on_t0_and_t1) {
    for (const char* card : {"t0", "t1"}) {
        SCOPED_TRACE(card);
        CardSession s;
        s.Start(card);
        s.PowerAndSelect(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        NTSTATUS st = 0;
        EXPECT_EQ(s.Transmit(kSelectMf, &st), Sw(0x9000));
        EXPECT_EQ(st, STATUS_SUCCESS);
        EXPECT_EQ(s.Transmit(kSelectDf, &st), Sw(0x9000));
        EXPECT_EQ(s.Transmit(kSelectLong, &st), Sw(0x9000));
        const Bytes content = sim::cards::CardApplication::InitialContent(0x6F01);
        Bytes want(content.begin(), content.begin() + 16);
        EXPECT_EQ(s.Transmit({0x00, 0xB0, 0x00, 0x00, 0x10}, &st), Cat(want, Sw(0x9000)));
        EXPECT_EQ(st, STATUS_SUCCESS);
        std::printf("%s: read of 16 bytes %.3f ms\n", card, s.LastMs());
    }
}

}  // namespace
