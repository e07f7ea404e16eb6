#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

bool parse(std::vector<const char *> args, qzdm::Options *options, std::string *error)
{
    args.insert(args.begin(), "qzovx-dm");
    return qzdm::parse_options(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(DmOptions, DefaultsAndEveryOption)
{
    qzdm::Options o;
    std::string error;
    ASSERT_TRUE(parse({"--policy", "p.conf"}, &o, &error)) << error;
    EXPECT_EQ(o.policy_path, "p.conf");
    EXPECT_EQ(o.port, 4444);
    EXPECT_EQ(o.listen_address, "127.0.0.1");
    EXPECT_TRUE(o.json_log_path.empty());
    EXPECT_FALSE(o.quiet || o.check || o.help);
    EXPECT_TRUE(o.echo_req_id);
    EXPECT_EQ(o.answer_twice, 0);

    ASSERT_TRUE(parse({"--policy=p", "--port=0", "--listen", "::1", "--json-log", "j.log", "--quiet",
                       "--check"},
                      &o, &error))
        << error;
    EXPECT_EQ(o.port, 0);
    EXPECT_EQ(o.listen_address, "::1");
    EXPECT_EQ(o.json_log_path, "j.log");
    EXPECT_TRUE(o.quiet && o.check);

    ASSERT_TRUE(parse({"--policy=p", "--no-req-id", "--answer-twice", "3"}, &o, &error)) << error;
    EXPECT_FALSE(o.echo_req_id);
    EXPECT_EQ(o.answer_twice, 3);
    EXPECT_EQ(o.answer_delay_ms, 0);

    ASSERT_TRUE(parse({"--policy=p", "--answer-delay", "250"}, &o, &error)) << error;
    EXPECT_EQ(o.answer_delay_ms, 250);
    ASSERT_TRUE(parse({"--policy=p", "--answer-delay=60000"}, &o, &error)) << error;
    EXPECT_EQ(o.answer_delay_ms, 60000);

    ASSERT_TRUE(parse({"--help"}, &o, &error)) << error;  // no policy needed
    EXPECT_TRUE(o.help);
}

TEST(DmOptions, RejectsBadInput)
{
    struct Case {
        std::vector<const char *> args;
        const char *error;
    } cases[] = {
        {{}, "--policy FILE is required"},
        {{"--policy"}, "--policy needs a value"},
        {{"--policy="}, "--policy needs a non-empty value"},
        {{"--policy", "p", "--port", "65536"}, "bad port '65536' (0 to 65535)"},
        {{"--policy", "p", "--port", "-1"}, "bad port '-1' (0 to 65535)"},
        {{"--policy", "p", "--port", "44x"}, "bad port '44x' (0 to 65535)"},
        {{"--policy", "p", "--verbose"}, "unknown option '--verbose'"},
        {{"--policy", "p", "--quiet=yes"}, "--quiet takes no value"},
        {{"--policy", "p", "extra"}, "unknown option 'extra'"},
        {{"--policy", "p", "--answer-twice", "0"}, "bad request number '0' (1 to 65535)"},
        {{"--policy", "p", "--no-req-id=1"}, "--no-req-id takes no value"},
        {{"--policy", "p", "--answer-delay", "60001"}, "bad delay '60001' (0 to 60000 milliseconds)"},
        {{"--policy", "p", "--answer-delay", "-5"}, "bad delay '-5' (0 to 60000 milliseconds)"},
        {{"--policy", "p", "--answer-delay"}, "--answer-delay needs a value"},
    };
    for (const Case &c : cases) {
        qzdm::Options o;
        std::string error;
        EXPECT_FALSE(parse(c.args, &o, &error));
        EXPECT_EQ(error, c.error);
    }
}

}  // namespace
