// Protocol selection: the PTS exchange with every kind of card answer.
#include "card_session.h"

using namespace lmscr;
using namespace lmscr::test;

namespace {

TEST(Probe, t1_power_and_select) {
    CardSession s;
    s.Start("t1");
    auto p = s.Power(SCARD_COLD_RESET);
    EXPECT_EQ(p.status, STATUS_SUCCESS);
    std::printf("power %.6f ms state %u info %zu\n", s.LastMs(), s.State(), (size_t)p.information);
    std::printf("wire %s\n", s.Sent().c_str());
    auto q = s.Select(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    std::printf("select %x %.6f ms state %u\n", q.status, s.LastMs(), s.State());
    for (auto& l : s.rig.TakeWire()) std::printf("%s\n", l.c_str());
}

}  // namespace
