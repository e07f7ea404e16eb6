// One module instance used by many server threads at once, with the real
// library and a fake DM: each request gets its own decision, the DM hears each
// request's own user, a refused login leaves the session it tried to take,
// and accounting reaches the DM once per event. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fake_dm.h"
#include "fake_server.h"
#include "module.h"

namespace {

std::string field(const std::string &line, const std::string &key)
{
    const std::string start = "\t" + key + "=";
    size_t at = line.find(start);
    if (at == std::string::npos)
        return "<none>";
    at += start.size();
    return line.substr(at, line.find('\t', at) - at);
}

constexpr int kThreads = 8;
constexpr int kRounds = 20;

TEST(ModuleParallel, EveryRequestGetsItsOwnDecisionAndUser)
{
    fake::reset();
    fake::set_debug_level(0);
    qztest::FakeDm dm;
    qztest::write_properties("dm_port=" + std::to_string(dm.port()) + "\ndm_socket_timeout=30\n");
    // The VLAN is the request id, so an answer read by another request shows.
    // Users named "bad..." are refused.
    dm.answer_with([](const std::string &line) {
        const bool refused = field(line, "USER").rfind("bad", 0) == 0;
        return std::string(refused ? "ACCESS=false" : "ACCESS=true") + "\tVLAN_ID=" + field(line, "REQ_ID") + "\n";
    });

    rlm_qzovx_t inst{};
    ASSERT_EQ(qz_module_start(&inst), 0);

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &inst, &wrong] {
            // Thread t owns ports 100t..100t+kRounds; each port first gets
            // its owner, then a refused stranger, then an accounting Start.
            for (int i = 0; i < kRounds; ++i) {
                const uint32_t port = static_cast<uint32_t>(100 * t + i);
                const std::string id = "10.1.2.3" + std::to_string(port) + "AA-BB";
                qz_request owner = fake::access_request("10.1.2.3", port, "aa-bb", "user" + std::to_string(port));
                if (qz_module_post_auth(&inst, &owner) != QZ_RLM_UPDATED)
                    ++wrong;
                auto vlan = fake::reply_named(owner, "Tunnel-Private-Group-ID");
                if (vlan.size() != 1 || vlan[0]->text != id)
                    ++wrong;

                qz_request stranger = fake::access_request("10.1.2.3", port, "aa-bb", "bad" + std::to_string(port));
                if (qz_module_post_auth(&inst, &stranger) != QZ_RLM_REJECT || stranger.reply_code != 3)
                    ++wrong;

                qz_request start;
                start.code = 4;
                fake::add(start, 4, "10.1.2.3");
                fake::add_int(start, 5, port);
                fake::add(start, 31, "aa-bb");
                fake::add(start, 44, "acct-" + std::to_string(port));
                fake::add_int(start, 40, 1);
                if (qz_module_accounting(&inst, &start) != QZ_RLM_OK)
                    ++wrong;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);

    const size_t total = kThreads * kRounds;
    // Startup, SERVERINFO, per authorization its request, report and the
    // report's empty line, and one line per accounting event.
    ASSERT_TRUE(dm.wait_for_lines(2 + 3 * 2 * total + total, 20000));
    // Each port's accounting names its owner: the refused stranger did not
    // take the session over.
    std::map<std::string, std::string> accounting_user;
    size_t requests = 0;
    for (const std::string &line : dm.lines()) {
        const std::string port = field(line, "PORT");
        if (line.rfind("EVENT=Request\t", 0) == 0) {
            ++requests;
            const std::string user = field(line, "USER");
            EXPECT_TRUE(user == "user" + port || user == "bad" + port) << line;
        } else if (line.find("SESSION_ID=acct-") != std::string::npos) {
            accounting_user[port] = field(line, "USER");
        }
    }
    EXPECT_EQ(requests, 2 * total);
    ASSERT_EQ(accounting_user.size(), total);
    for (const auto &[port, user] : accounting_user)
        EXPECT_EQ(user, "user" + port);

    size_t sessions = 0;
    for (const usermap *e = inst.sessions2users; e != nullptr; e = e->next)
        ++sessions;
    EXPECT_EQ(sessions, total);
    qz_module_forget_sessions(&inst);
}

}  // namespace
