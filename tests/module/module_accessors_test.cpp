// The request and reply callbacks the core calls by name.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fake_core.h"
#include "fake_server.h"
#include "module_internal.h"
#include "ovxModuleAPI.h"

extern "C" {
void *ovxgetRequest(void *);
void *ovxgetResponse(void *);
void *ovxgetRequestAttributes(void *);
void *ovxgetResponseType(void *);
void *ovxgetControlPoint(void *);
int ovxGetControlPointName(int);
void *ovxsetUserAccess(void *, void *);
void *ovxgetUserAccess(void *);
char *ovxGetServerInfo(void);
void *ovxgetAttributeAsString(int, void *);
void *ovxgetAttributeAsStringByRef(int, int, void *, void *);
void *ovxFindFirstAttribute(int, void *);
void *ovxgetVSAByRef(int, void *, int, void *, void *);
void *ovxaddVSA(int, int, int, void *, void *);
int ovxreplaceFirstAttribute(void *, int, void *);
}

namespace {

intptr_t number(void *result)
{
    return reinterpret_cast<intptr_t>(result);
}

class Accessors : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        fakecore::reset();
        w.request = &req;
        w.instance = &inst;
        ASSERT_EQ(qz_sessions_create(&inst), 0);
    }
    void TearDown() override { qz_module_forget_sessions(&inst); }

    // The text identifier `id` reads as, from a cleared buffer.
    std::string text(int id, int packet_type = OVX_PACKET_REQUEST)
    {
        char buf[OVX_VALUE_BUFFER] = {};
        EXPECT_EQ(ovxgetAttributeAsStringByRef(id, packet_type, &w, buf), buf);
        return buf;
    }

    std::string vsa(const char *name, int packet_type)
    {
        char buf[OVX_VALUE_BUFFER] = {};
        EXPECT_EQ(ovxgetVSAByRef(QZ_VENDOR_ID, const_cast<char *>(name), packet_type, &w, buf), buf);
        return buf;
    }

    qz_request req;
    rlm_qzovx_t inst{};
    freeradius_wrapper w{};
};

TEST_F(Accessors, HandlesAreTheWrapperItself)
{
    EXPECT_EQ(ovxgetRequest(&w), &w);
    EXPECT_EQ(ovxgetResponse(&w), &w);
    EXPECT_EQ(ovxgetRequestAttributes(&w), &w);
    EXPECT_EQ(static_cast<void *>(&w), static_cast<void *>(&w.request));

    OVX_USER_ACCESS record{};
    EXPECT_EQ(ovxsetUserAccess(&w, &record), &record);
    EXPECT_EQ(ovxgetUserAccess(&w), &record);
}

TEST_F(Accessors, PacketTypesAndControlPoint)
{
    struct Case {
        int code;
        intptr_t type;
        intptr_t cp;
    } cases[] = {{1, 1, 0}, {4, 4, 2}, {6, 0, 2}, {3, 0, 0}, {0, 0, 0}, {11, 0, 0}};
    for (const Case &c : cases) {
        req.code = c.code;
        EXPECT_EQ(number(ovxgetRequestType(&w)), c.type) << c.code;
        EXPECT_EQ(number(ovxgetControlPoint(&w)), c.cp) << c.code;
    }
    EXPECT_TRUE(fake::logged("    rlm_qzovx: getRequestType called:"));

    for (int code : {1, 2, 3, 5}) {
        req.reply_code = code;
        EXPECT_EQ(number(ovxgetResponseType(&w)), code);
    }
    for (int code : {4, 11, 0}) {
        req.reply_code = code;
        EXPECT_EQ(number(ovxgetResponseType(&w)), 0) << code;
    }
    req.has_reply = false;
    EXPECT_EQ(number(ovxgetResponseType(&w)), 0);
}

TEST_F(Accessors, ControlPointNamesAndConstants)
{
    const int expected[][2] = {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {4, 2}, {5, 2}, {-1, -1}, {6, -1}, {100, -1}};
    for (const auto &e : expected)
        EXPECT_EQ(ovxGetControlPointName(e[0]), e[1]) << e[0];
    EXPECT_STREQ(ovxGetServerInfo(), "QZ OVX  freeRADIUS Plugin version B.02.45");
    EXPECT_STREQ(static_cast<char *>(ovxgetAttributeAsString(1, &w)), "not implemented");
}

TEST_F(Accessors, AbsentAttributesReadAsTheirUnknownTexts)
{
    EXPECT_EQ(text(1), "username unknown");
    EXPECT_EQ(text(4), "NAS-IP-Address unknown");
    EXPECT_EQ(text(5), "NAS-Port unknown");
    EXPECT_EQ(text(30), "Called-Station-Id unknown");
    EXPECT_EQ(text(31), "Calling-Station-Id unknown");
    EXPECT_EQ(text(40), "Acct-Status-Type unknown");
    EXPECT_EQ(text(42), "Acct-Input-Octets unknown");
    EXPECT_EQ(text(43), "Acct-Output-Octets  unknown");
    EXPECT_EQ(text(44), "Acct-Session-Id unknown");
    EXPECT_EQ(text(46), "Acct-Session-Time unknown");
    EXPECT_EQ(text(47), "Acct-Input-Packets unknown");
    EXPECT_EQ(text(48), "Acct-Output-Packets unknown");
    EXPECT_EQ(text(49), "Acct-Terminate-Cause unknown");
    EXPECT_EQ(text(61), "NAS-Port-Type unknown");
}

TEST_F(Accessors, PresentAttributesReadAsTextOrNumber)
{
    fake::add(req, 4, "10.1.2.3");
    fake::add_int(req, 5, 0);
    fake::add(req, 30, "00-11-22-33-44-55");
    fake::add(req, 31, "aa-bb");
    fake::add_int(req, 42, 0xFFFFFFFFu);  // printed signed
    fake::add_int(req, 43, 5);
    fake::add(req, 44, "sess-1");
    fake::add_int(req, 46, 60);
    fake::add_int(req, 47, 7);
    fake::add_int(req, 48, 8);
    fake::add_int(req, 49, 1);
    fake::add_int(req, 61, 15);
    EXPECT_EQ(text(4), "10.1.2.3");
    EXPECT_EQ(text(5), "0");
    EXPECT_EQ(text(30), "00-11-22-33-44-55");
    EXPECT_EQ(text(31), "aa-bb");
    EXPECT_EQ(text(42), "-1");
    EXPECT_EQ(text(43), "5");
    EXPECT_EQ(text(44), "sess-1");
    EXPECT_EQ(text(46), "60");
    EXPECT_EQ(text(47), "7");
    EXPECT_EQ(text(48), "8");
    EXPECT_EQ(text(49), "1");
    EXPECT_EQ(text(61), "15");
    // PACKET_TYPE does not matter: always the request.
    EXPECT_EQ(text(4, OVX_PACKET_REPLY), "10.1.2.3");
}

TEST_F(Accessors, AcctStatusTypeNames)
{
    qz_pair &status = fake::add_int(req, 40, 1);
    const std::pair<uint32_t, const char *> names[] = {{1, "Start"}, {2, "Stop"}, {3, "Update"}, {7, "uknown"}, {0, "uknown"}};
    for (const auto &n : names) {
        status.integer = n.first;
        EXPECT_EQ(text(40), n.second);
    }
}

TEST_F(Accessors, UnknownIdentifiersLeaveTheBufferUntouched)
{
    fake::add(req, 24, "state");
    fake::add(req, 79, "eap");
    fake::add(req, 4, "10.1.2.3");  // no port, no station: no request id
    for (int id : {24, 79, 1006, 263, 0, -5}) {
        char buf[OVX_VALUE_BUFFER];
        memset(buf, '#', sizeof buf);
        ovxgetAttributeAsStringByRef(id, OVX_PACKET_REQUEST, &w, buf);
        for (char c : buf)
            ASSERT_EQ(c, '#') << id;
    }
}

TEST_F(Accessors, RequestIdAndUserNameFromTheSessionMap)
{
    req = fake::access_request("10.1.2.3", 17, "00-0f", "own-name");
    EXPECT_EQ(text(263), "10.1.2.31700-0F");
    EXPECT_EQ(text(1), "own-name");

    cacheSession(&w);
    req.request_vps[3].text = "later-name";  // the request's own User-Name changes
    EXPECT_EQ(text(1), "own-name");          // the map answers first

    req.has_username = false;  // no User-Name record: the map still answers
    EXPECT_EQ(text(1), "own-name");
    qz_module_forget_sessions(&inst);
    EXPECT_EQ(text(1), "username unknown");
    req.has_username = true;
    req.username_record = qz_pair{0, 1, "stripped-name", 0, SRV_OP_DEFAULT, ""};
    EXPECT_EQ(text(1), "stripped-name");  // the server's record, not the attribute
}

TEST_F(Accessors, LongValuesAreCutTo254)
{
    fake::add(req, 44, std::string(400, 's'));
    char buf[OVX_VALUE_BUFFER + 16];
    memset(buf, '#', sizeof buf);
    ovxgetAttributeAsStringByRef(44, OVX_PACKET_REQUEST, &w, buf);
    EXPECT_EQ(std::string(buf), std::string(254, 's'));
    EXPECT_EQ(buf[OVX_VALUE_BUFFER], '#');
}

TEST_F(Accessors, FindFirstAttribute)
{
    req.id = 42;
    EXPECT_STREQ(static_cast<char *>(ovxFindFirstAttribute(263, &w)), "42");
    ASSERT_EQ(fakecore::dprintf_lines().size(), 1u);
    EXPECT_EQ(fakecore::dprintf_lines()[0], "id: 42");

    EXPECT_EQ(ovxFindFirstAttribute(1, &w), nullptr);
    fake::add(req, 1, "bob");  // attribute without the server's User-Name record
    EXPECT_EQ(ovxFindFirstAttribute(1, &w), nullptr);
    req.has_username = true;
    EXPECT_STREQ(static_cast<char *>(ovxFindFirstAttribute(1, &w)), "bob");
    // The server's record is what counts when it differs from the attribute.
    req.username_record = qz_pair{0, 1, "bob-stripped", 0, SRV_OP_DEFAULT, ""};
    EXPECT_STREQ(static_cast<char *>(ovxFindFirstAttribute(1, &w)), "bob-stripped");
    req.username_record.reset();

    fake::add(req, 5, "Ethernet-7").integer = 0;  // the server's own text, not a number
    fake::add(req, 44, "acct-1");
    EXPECT_STREQ(static_cast<char *>(ovxFindFirstAttribute(5, &w)), "Ethernet-7");
    EXPECT_STREQ(static_cast<char *>(ovxFindFirstAttribute(44, &w)), "acct-1");
    EXPECT_EQ(ovxFindFirstAttribute(30, &w), nullptr);
    fake::add(req, 27, "60");
    EXPECT_EQ(ovxFindFirstAttribute(27, &w), nullptr);  // not an identifier it answers
}

TEST_F(Accessors, VsaFromRequestAndReply)
{
    fake::add(req, 46, "100", QZ_VENDOR_ID);
    fake::add(req, 46, "standard-46");  // same number, no vendor: not this one
    EXPECT_EQ(vsa("qz-bandwidth-max-ingress", OVX_PACKET_REQUEST), "100");
    EXPECT_EQ(fake::log_lines(), (std::vector<std::string>{"Getting a VSA", "getting VSA from request", "got VSA...",
                                                           "FOUND VSA... String value: 100"}));
    EXPECT_EQ(vsa("QZ-BANDWIDTH-MAX-INGRESS", OVX_PACKET_REQUEST), "100");  // dictionary is case-blind
    EXPECT_EQ(vsa("qz-bandwidth-max-ingress", OVX_PACKET_REPLY), "-1");     // reply has none
    EXPECT_EQ(vsa("no-such-name", OVX_PACKET_REQUEST), "-1");
    EXPECT_EQ(vsa("qz-bandwidth-max-ingress", 3), "-1");

    qz_pair p;
    p.vendor = QZ_VENDOR_ID;
    p.attribute = 61;
    p.text = "rule";
    req.reply_vps.push_back(p);
    EXPECT_EQ(vsa("qz-nas-filter-rule", OVX_PACKET_REPLY), "rule");
}

TEST_F(Accessors, VsaFromAMissingReplyNamesWhatIsMissing)
{
    fake::clear_log();
    EXPECT_EQ(vsa("qz-nas-filter-rule", OVX_PACKET_REPLY), "-1");
    EXPECT_EQ(fake::log_lines(), (std::vector<std::string>{"Getting a VSA", "Getting VSA from response",
                                                           "preq->reply->vps is NULL", "got VSA..."}));
    fake::clear_log();
    req.has_reply = false;
    EXPECT_EQ(vsa("qz-nas-filter-rule", OVX_PACKET_REPLY), "-1");
    EXPECT_TRUE(fake::logged("preq->reply is NULL"));
    EXPECT_FALSE(fake::logged("preq->reply->vps is NULL"));

    fake::clear_log();
    w.request = nullptr;
    EXPECT_EQ(vsa("qz-nas-filter-rule", OVX_PACKET_REPLY), "-1");
    EXPECT_TRUE(fake::logged("REQUEST is NULL"));

    fake::set_debug_level(0);
    fake::clear_log();
    vsa("qz-nas-filter-rule", OVX_PACKET_REPLY);
    EXPECT_TRUE(fake::log_lines().empty());
}

TEST_F(Accessors, AddVsaUsesTheTablesOperators)
{
    char value[] = "10";
    char rule[] = "permit ip any any";
    ovxaddVSA(QZ_VENDOR_ID, 40, 2, value, &w);
    ovxaddVSA(QZ_VENDOR_ID, 46, 2, value, &w);
    ovxaddVSA(QZ_VENDOR_ID, 48, 2, value, &w);
    for (int i = 0; i < 3; ++i)
        ovxaddVSA(QZ_VENDOR_ID, 61, 17, rule, &w);
    ovxaddVSA(QZ_VENDOR_ID, 45, 2, value, &w);  // not in the table
    ovxaddVSA(QZ_VENDOR_ID, 99, 2, value, &w);
    ASSERT_EQ(req.reply_vps.size(), 6u);
    EXPECT_EQ(req.reply_vps[0].name, "qz-port-priority-regeneration-table");
    EXPECT_EQ(req.reply_vps[1].name, "qz-bandwidth-max-ingress");
    EXPECT_EQ(req.reply_vps[2].name, "qz-bandwidth-max-egress");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(req.reply_vps[i].op, SRV_OP_EQ);
    auto rules = fake::reply_named(req, "qz-nas-filter-rule");
    ASSERT_EQ(rules.size(), 3u);
    for (const qz_pair *r : rules) {
        EXPECT_EQ(r->op, SRV_OP_ADD);
        EXPECT_EQ(r->text, "permit ip any any");
    }
}

TEST_F(Accessors, ReplaceFirstAttributeAppends)
{
    char sixty[] = "60";
    char group[] = "guests";
    char bad[] = "not-a-number";
    EXPECT_EQ(ovxreplaceFirstAttribute(&w, 27, sixty), 0);
    EXPECT_EQ(ovxreplaceFirstAttribute(&w, 27, sixty), 0);
    EXPECT_EQ(ovxreplaceFirstAttribute(&w, 36, group), 0);
    EXPECT_EQ(ovxreplaceFirstAttribute(&w, 45, sixty), 0);
    EXPECT_EQ(ovxreplaceFirstAttribute(&w, 28, sixty), 0);  // no name: nothing added
    EXPECT_EQ(ovxreplaceFirstAttribute(&w, 29, bad), 0);    // server refuses: still 0
    EXPECT_EQ(fake::reply_named(req, "Session-Timeout").size(), 2u);
    EXPECT_EQ(fake::reply_named(req, "Login-LAT-Group").size(), 1u);
    EXPECT_EQ(fake::reply_named(req, "qz-bandwidth-min-ingress").size(), 1u);
    EXPECT_EQ(req.reply_vps.size(), 4u);
    for (const qz_pair &p : req.reply_vps)
        EXPECT_EQ(p.op, SRV_OP_DEFAULT);

    const std::pair<int, const char *> names[] = {
        {29, "Termination-Action"}, {40, "qz-port-priority-regeneration-table"}, {46, "qz-bandwidth-max-ingress"},
        {47, "qz-bandwidth-min-egress"}, {48, "qz-bandwidth-max-egress"}, {64, "Tunnel-Type"},
        {65, "Tunnel-Medium-Type"}, {81, "Tunnel-Private-Group-ID"}};
    for (const auto &n : names) {
        ovxreplaceFirstAttribute(&w, n.first, sixty);
        EXPECT_EQ(fake::reply_named(req, n.second).size(), 1u) << n.first;
    }
}

TEST_F(Accessors, NullHandlesReadAsAbsent)
{
    char buf[OVX_VALUE_BUFFER] = {};
    char value[] = "1";
    EXPECT_EQ(number(ovxgetRequestType(nullptr)), 0);
    EXPECT_EQ(number(ovxgetResponseType(nullptr)), 0);
    EXPECT_EQ(number(ovxgetControlPoint(nullptr)), 0);
    EXPECT_EQ(ovxgetUserAccess(nullptr), nullptr);
    EXPECT_EQ(ovxFindFirstAttribute(263, nullptr), nullptr);
    ovxgetAttributeAsStringByRef(4, 1, nullptr, buf);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ovxreplaceFirstAttribute(nullptr, 27, value), 0);
    ovxaddVSA(0, 61, 1, value, nullptr);
    EXPECT_EQ(ovxgetVSAByRef(0, nullptr, 1, &w, nullptr), nullptr);
}

}  // namespace
