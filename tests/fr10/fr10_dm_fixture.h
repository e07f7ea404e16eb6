// One configured module instance in the stand-in 1.0 server, talking to a
// fake DM through the real libqzovx.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fake_dm.h"
#include "fr10_host.h"
#include "test_files.h"

namespace fr10 {

// The identity most tests use and the request id it forms.
constexpr const char *kNas = "10.1.2.3";
constexpr const char *kPort = "17";
constexpr const char *kMac = "00-0f-1f-aa-bb-cc";
constexpr const char *kSwitchMac = "00-11-22-33-44-55";
constexpr const char *kRequestId = "10.1.2.31700-0F-1F-AA-BB-CC";

// Startup and SERVERINFO: the first two lines on a new DM connection.
constexpr size_t kInitLines = 2;

class DmTest : public ::testing::Test {
protected:
    qztest::FakeDm dm;
    module_t *module = nullptr;
    conf_section section;
    std::unique_ptr<Instance> instance;

    // extra_properties: further properties lines, each ending in a line feed.
    void start(int debug_level = 2, const std::string &extra_properties = "")
    {
        qztest::write_dm_properties(dm.port(), extra_properties);
        debug_flag = debug_level;
        std::string error;
        module = load_module(&error);
        ASSERT_NE(module, nullptr) << error;
        ASSERT_EQ(module->init(), 0);
        instance = std::make_unique<Instance>(module, &section);
        ASSERT_EQ(instance->result, 0);
        ASSERT_NE(instance->data, nullptr);
    }

    void TearDown() override
    {
        instance.reset();
        debug_flag = 0;
        clear_log();
    }

    int post_auth(TestRequest &r) { return module->methods[RLM_COMPONENT_POST_AUTH](instance->data, &r.request); }
    int accounting(TestRequest &r) { return module->methods[RLM_COMPONENT_ACCT](instance->data, &r.request); }

    // An Access-Request with the usual identity, as the server hands it to
    // post-auth once it has decided reply_code.
    static void fill_access(TestRequest &r, const char *user = "alice")
    {
        r.add("User-Name", user);
        r.add("NAS-IP-Address", kNas);
        r.add("NAS-Port", kPort);
        r.add("Calling-Station-Id", kMac);
        r.add("Called-Station-Id", kSwitchMac);
    }

    // The lines after the connection's Startup and SERVERINFO events.
    std::vector<std::string> request_lines() const
    {
        std::vector<std::string> lines = dm.lines();
        if (lines.size() <= kInitLines)
            return {};
        return std::vector<std::string>(lines.begin() + kInitLines, lines.end());
    }
};

}  // namespace fr10
