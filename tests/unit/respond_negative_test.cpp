// Negative numbers from the DM are no usable session time or bandwidth: they
// would reach the switch as huge unsigned values.
#include <string>

#include "Authif.h"
#include "client_fixture.h"

namespace {

using qzclient::ClientTest;

class NegativeNumbers : public ClientTest {};

TEST_F(NegativeNumbers, NegativeSessionTimeAndBandwidthAreLeftOut)
{
    dm.answer("ACCESS=true\tTIME=-5\tBW_MAX_IN=-1\tBW_MAX_OUT=-2\tVLAN_ID=20\n");
    ASSERT_EQ(ovxauthorize(&req), rcAccessAccept);
    ovxrespond(&req);
    for (const qztest::AddedAttribute &a : req.added) {
        EXPECT_NE(a.id, OVX_ATTR_SESSION_TIMEOUT);
        EXPECT_NE(a.id, OVX_ATTR_TERMINATION_ACTION);
        if (a.kind == qztest::AddedAttribute::Vsa) {
            EXPECT_NE(a.id, OVX_VSA_BW_MAX_INGRESS) << a.text;
            EXPECT_NE(a.id, OVX_VSA_BW_MAX_EGRESS) << a.text;
        }
    }
    ASSERT_EQ(req.added.size(), 3u);  // the VLAN's three tunnel attributes
    EXPECT_EQ(req.added[2].text, "20");
    std::string text = trace();
    EXPECT_NE(text.find("negative session time -5 from DM: no Session-Timeout\n"), std::string::npos) << text;
    EXPECT_NE(text.find("negative BW_MAX_IN -1 from DM: no bandwidth attribute\n"), std::string::npos);
    EXPECT_NE(text.find("negative BW_MAX_OUT -2 from DM: no bandwidth attribute\n"), std::string::npos);
}

TEST_F(NegativeNumbers, PositiveValuesStillGoOut)
{
    dm.answer("ACCESS=true\tTIME=60\tBW_MAX_IN=100\tBW_MAX_OUT=200\n");
    ASSERT_EQ(ovxauthorize(&req), rcAccessAccept);
    ovxrespond(&req);
    ASSERT_EQ(req.added.size(), 4u);
    EXPECT_EQ(req.added[0].text, "60");
    EXPECT_EQ(req.added[1].text, "Request");
    EXPECT_EQ(req.added[2].text, "100");
    EXPECT_EQ(req.added[3].text, "200");
}

}  // namespace
