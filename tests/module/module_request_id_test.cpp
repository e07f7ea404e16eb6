// Forming the request id from NAS-IP-Address, NAS-Port and Calling-Station-Id.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "fake_server.h"
#include "module_internal.h"

namespace {

class RequestId : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }

    std::string form(qz_request &req)
    {
        freeradius_wrapper w{};
        w.request = &req;
        w.instance = &inst;
        char ref[QZ_ID_BUFFER];
        memset(ref, 0, sizeof ref);
        getfreeRADRequestId(&w, ref);
        return ref;
    }

    rlm_qzovx_t inst{};
};

TEST_F(RequestId, JoinsThePiecesAndUpperCases)
{
    qz_request req = fake::access_request("10.1.2.3", 17, "00-0f-1f-aa-bb-cc", "bob");
    EXPECT_EQ(form(req), "10.1.2.31700-0F-1F-AA-BB-CC");
    EXPECT_TRUE(fake::logged("return from getfreeRADRequestId, value 10.1.2.31700-0F-1F-AA-BB-CC "));

    qz_request upper = fake::access_request("10.1.2.3", 17, "00-0F-1F-AA-BB-CC", "bob");
    EXPECT_EQ(form(upper), form(req));
}

TEST_F(RequestId, PortZeroTakesTheServersText)
{
    qz_request empty;
    fake::add(empty, 4, "10.0.0.1");
    fake::add(empty, 5, "").integer = 0;
    fake::add(empty, 31, "aa:bb");
    EXPECT_EQ(form(empty), "10.0.0.1AA:BB");

    qz_request text;
    fake::add(text, 4, "10.0.0.1");
    fake::add(text, 5, "gi1/0/24x").integer = 0;  // 9 characters, cut to 7
    fake::add(text, 31, "m");
    EXPECT_EQ(form(text), "10.0.0.1GI1/0/2M");
}

TEST_F(RequestId, LongPortNumberIsCutToSevenDigits)
{
    qz_request req;
    fake::add(req, 4, "1.1.1.1");
    fake::add_int(req, 5, 123456789);
    fake::add(req, 31, "x");
    EXPECT_EQ(form(req), "1.1.1.11234567X");
}

TEST_F(RequestId, MissingPieceLeavesTheBufferAndNamesIt)
{
    struct Case {
        unsigned drop;
        const char *message;
    } cases[] = {
        {4, "rpm_qzovx: request does not contain a NAS-IP-Address, cannot form requestid"},
        {5, "rlm_qzovx: request does not contain a NAS-Port, cannot form requestid"},
        {31, "rlm_qzovx: request does not contain a Calling-Station-Id, cannot form requestid"},
    };
    for (const Case &c : cases) {
        fake::clear_log();
        qz_request req = fake::access_request("10.1.2.3", 17, "aa", "bob");
        req.request_vps.erase(std::remove_if(req.request_vps.begin(), req.request_vps.end(),
                                             [&](const qz_pair &p) { return p.attribute == c.drop; }),
                              req.request_vps.end());
        freeradius_wrapper w{};
        w.request = &req;
        char ref[QZ_ID_BUFFER];
        memset(ref, '#', sizeof ref);
        getfreeRADRequestId(&w, ref);
        for (char ch : ref)
            ASSERT_EQ(ch, '#') << "attribute " << c.drop;
        EXPECT_TRUE(fake::logged(c.message)) << c.message;
    }
}

TEST_F(RequestId, NeverLongerThan254Characters)
{
    qz_request req;
    fake::add(req, 4, std::string(200, '1'));
    fake::add_int(req, 5, 7);
    fake::add(req, 31, std::string(200, 'a'));
    char ref[QZ_ID_BUFFER + 8];
    memset(ref, '#', sizeof ref);
    freeradius_wrapper w{};
    w.request = &req;
    getfreeRADRequestId(&w, ref);
    std::string id(ref);
    ASSERT_EQ(id.size(), 254u);
    EXPECT_EQ(id, std::string(200, '1') + "7" + std::string(53, 'A'));
    EXPECT_EQ(ref[QZ_ID_BUFFER], '#');  // nothing written past the buffer
}

TEST_F(RequestId, LoggedOnlyWhenDebugging)
{
    fake::set_debug_level(0);
    qz_request req;
    fake::add(req, 4, "1.1.1.1");
    EXPECT_EQ(form(req), "");
    fake::add_int(req, 5, 1);
    fake::add(req, 31, "a");
    EXPECT_EQ(form(req), "1.1.1.11A");
    EXPECT_TRUE(fake::log_lines().empty());

    fake::set_debug_level(1);
    form(req);
    EXPECT_EQ(fake::log_lines().size(), 1u);
}

}  // namespace
