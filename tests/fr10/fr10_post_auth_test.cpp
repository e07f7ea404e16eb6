// Post-authentication through the 1.0 module record, down to the bytes the DM
// receives and the reply attributes the module makes with pairmake.
#include "fr10_dm_fixture.h"

namespace fr10 {
namespace {

// The usual request's identity as the DM receives it, in the Request and
// Authorization events alike.
const std::string kIdentity =
    "USER=alice\tCLIENT_MAC=00-0f-1f-aa-bb-cc\tNAS_IP=10.1.2.3\tNAS_MAC=00-11-22-33-44-55\tPORT=17\t";
const std::string kRequestEvent = "EVENT=Request\tREQ_ID=10.1.2.31700-0F-1F-AA-BB-CC\t" + kIdentity;
const std::string kAuthorizationEvent = "EVENT=Authorization\t" + kIdentity;

struct Expected {
    const char *name;
    const char *text;
    LRAD_TOKEN op;
};

void expect_reply(const TestRequest &r, const std::vector<Expected> &expected)
{
    std::vector<const VALUE_PAIR *> pairs = r.reply_pairs();
    ASSERT_EQ(pairs.size(), expected.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_STREQ(pairs[i]->name, expected[i].name);
        EXPECT_EQ(text_of(pairs[i]), expected[i].text);
        EXPECT_EQ(pairs[i]->op, expected[i].op);
        EXPECT_EQ(pairs[i]->attribute, dict_attrbyname(expected[i].name)->attr);
    }
}

class Fr10PostAuth : public DmTest {
protected:
    // Post-auth of the usual request that the server decided as r's reply
    // code, the DM answering `answer`: checks the module's result and the
    // reply code it leaves, then gives the request's three lines at the DM.
    void decide(TestRequest &r, const char *answer, int result, unsigned final_code,
                std::vector<std::string> &lines)
    {
        ASSERT_NO_FATAL_FAILURE(start());
        dm.answer(answer);
        fill_access(r);
        EXPECT_EQ(post_auth(r), result);
        EXPECT_EQ(r.reply.code, final_code);
        ASSERT_TRUE(dm.wait_for_lines(kInitLines + 3));
        lines = request_lines();
        ASSERT_EQ(lines.size(), 3u);
    }
};

TEST_F(Fr10PostAuth, GrantedAcceptCarriesTheDecisionIntoTheReply)
{
    TestRequest r(1, 2);
    std::vector<std::string> lines;
    const char *answer = "ACCESS=true\tVLAN_ID=20\tQOS=3\tBW_MAX_IN=1000\tBW_MAX_OUT=2000\tTIME=3600\t"
                         "ACL=web|permit in tcp from any to any 80|deny in ip from any to any\n";
    ASSERT_NO_FATAL_FAILURE(decide(r, answer, RLM_MODULE_UPDATED, 2, lines));
    EXPECT_EQ(dm.lines()[0], "EVENT=Startup\t");
    EXPECT_EQ(dm.lines()[1],
              "EVENT=SERVERINFOSERVER=QZ OVX  freeRADIUS Plugin version B.02.45"
              "OVXAPI=OVX Native API B.02.43, with EI extensions");
    EXPECT_EQ(lines[0], kRequestEvent + "RESPONSE=Accept\t");
    EXPECT_EQ(lines[1], kAuthorizationEvent +
                            "VLAN_ID=20\tQOS=3\tBW_MAX_IN=1000\tBW_MAX_OUT=2000\tRESPONSE=Accept\t");
    EXPECT_EQ(lines[2], "");

    // Standard attributes keep pairmake's own operator (=); the QoS and
    // bandwidth vendor attributes are set to =, filter rules to +=.
    expect_reply(r, {
                        {"Session-Timeout", "3600", T_OP_EQ},
                        {"Termination-Action", "Request", T_OP_EQ},
                        {"Tunnel-Type", "13", T_OP_EQ},
                        {"Tunnel-Medium-Type", "6", T_OP_EQ},
                        {"Tunnel-Private-Group-ID", "20", T_OP_EQ},
                        {"qz-port-priority-regeneration-table", "3", T_OP_EQ},
                        {"qz-bandwidth-max-ingress", "1000", T_OP_EQ},
                        {"qz-bandwidth-max-egress", "2000", T_OP_EQ},
                        {"qz-nas-filter-rule", "permit in tcp from any to any 80", T_OP_ADD},
                        {"qz-nas-filter-rule", "deny in ip from any to any", T_OP_ADD},
                    });
    // The values were parsed by the server's dictionary, not only copied.
    EXPECT_EQ(r.reply_pairs()[1]->lvalue, 1u);
    EXPECT_EQ(r.reply_pairs()[2]->lvalue, 13u);
    EXPECT_EQ(r.reply_pairs()[6]->attribute, vendor_attribute(kQzVendor, 46));
}

TEST_F(Fr10PostAuth, RefusedAcceptBecomesReject)
{
    TestRequest r(1, 2);
    std::vector<std::string> lines;
    ASSERT_NO_FATAL_FAILURE(decide(r, "ACCESS=false\n", RLM_MODULE_REJECT, 3, lines));
    EXPECT_EQ(lines[0], kRequestEvent + "RESPONSE=Accept\t");
    EXPECT_EQ(lines[1], kAuthorizationEvent + "RESPONSE=Reject\t");
    EXPECT_TRUE(r.reply_pairs().empty());
}

TEST_F(Fr10PostAuth, RejectIsReportedWithSourceAndReturnCodeWhateverTheVerdict)
{
    TestRequest r(1, 3);
    std::vector<std::string> lines;
    ASSERT_NO_FATAL_FAILURE(decide(r, "ACCESS=true\tVLAN_ID=30\n", RLM_MODULE_REJECT, 3, lines));
    EXPECT_EQ(lines[0], kRequestEvent + "RESPONSE=Reject\t");
    EXPECT_EQ(lines[1], kAuthorizationEvent + "VLAN_ID=30\tSOURCE=4\tRETURN_CODE=1\tRESPONSE=Reject\t");
}

TEST_F(Fr10PostAuth, ChallengeAndIncompleteRequestsAreLeftToTheServer)
{
    ASSERT_NO_FATAL_FAILURE(start());
    dm.set_default_answer("ACCESS=true\n");

    TestRequest challenge(1, 11);
    fill_access(challenge);
    EXPECT_EQ(post_auth(challenge), RLM_MODULE_OK);
    EXPECT_EQ(challenge.reply.code, 11u);

    TestRequest no_port(1, 2);
    no_port.add("User-Name", "alice");
    no_port.add("NAS-IP-Address", kNas);
    no_port.add("Calling-Station-Id", kMac);
    EXPECT_EQ(post_auth(no_port), RLM_MODULE_OK);
    EXPECT_TRUE(logged("rlm_qzovx: request does not contain NAS-Port, cannot process this reply"));

    TestRequest no_reply(1, 2);
    fill_access(no_reply);
    no_reply.drop_reply();
    EXPECT_EQ(post_auth(no_reply), RLM_MODULE_NOOP);
    EXPECT_TRUE(logged("rlm_qzovx received request without reply, cannot process!"));

    EXPECT_EQ(module->methods[RLM_COMPONENT_POST_AUTH](instance->data, nullptr), RLM_MODULE_NOOP);
    EXPECT_TRUE(logged("rlm_qzovx received NULL request, cannot process!"));

    // None of them reached the core, so the library never even connected.
    EXPECT_EQ(dm.connections(), 0);
}

// FreeRADIUS-Proxied-To is a vendor attribute of the server (0x2C500001): the
// binding must find it under the packed number.
TEST_F(Fr10PostAuth, LoopbackProxiedRequestSkipsItsOuterCopyOnce)
{
    ASSERT_NO_FATAL_FAILURE(start());
    dm.set_default_answer("ACCESS=true\n");

    TestRequest inner(1, 2);
    fill_access(inner);
    ASSERT_TRUE(inner.add("FreeRADIUS-Proxied-To", "127.0.0.1"));
    EXPECT_EQ(post_auth(inner), RLM_MODULE_UPDATED);
    EXPECT_TRUE(logged("qzovx: found proxied request"));
    EXPECT_TRUE(logged("qzovx: request proxied to: 127.0.0.1"));

    TestRequest outer(1, 2);
    fill_access(outer);
    EXPECT_EQ(post_auth(outer), RLM_MODULE_OK);

    TestRequest again(1, 2);
    fill_access(again);
    EXPECT_EQ(post_auth(again), RLM_MODULE_UPDATED);

    ASSERT_TRUE(dm.wait_for_lines(kInitLines + 6));
    int asked = 0;
    for (const std::string &line : dm.lines())
        asked += line.rfind("EVENT=Request\t", 0) == 0;
    EXPECT_EQ(asked, 2);
}

// The endpoint-integrity value is read from the reply by dictionary name:
// dict_attrbyname's packed number split into vendor and attribute and found
// again with pairfind.
TEST_F(Fr10PostAuth, EndpointIntegrityVendorAttributeIsReadFromTheReply)
{
    ASSERT_NO_FATAL_FAILURE(start(2, "qz_ei_attributename=qz-nas-filter-rule\nqz_ei_attributetype=STRING\n"));
    dm.answer("ACCESS=true\n");
    TestRequest r(1, 2);
    fill_access(r);
    char name[] = "qz-nas-filter-rule";
    pairadd(&r.reply.vps, pairmake(name, "healthy", 0));

    EXPECT_EQ(post_auth(r), RLM_MODULE_UPDATED);
    ASSERT_TRUE(dm.wait_for_lines(kInitLines + 1));
    EXPECT_EQ(request_lines().at(0), kRequestEvent + "HI_STATE=healthy\tRESPONSE=Accept\t");
    EXPECT_TRUE(logged("FOUND VSA... String value: healthy"));
}

}  // namespace
}  // namespace fr10
