// A DM that answers one request twice, inside the real server: every later
// user still gets exactly their own decision. The stand-in DM gives user uN
// the VLAN N and echoes REQ_ID first in its answers, so a decision that lands
// on the wrong request shows in the switch's reply.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "e2e_rig.h"

namespace {

constexpr int kUsers = 30;

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool write_text(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

// Runs argv with stdin from `input` and stdout/stderr into `log`; waits for
// it at most `limit_s` seconds. Returns the child's pid when asked to leave it
// running (wait = false), else 0 after it ended.
pid_t run(const std::vector<std::string> &argv, const std::string &input, const std::string &log,
          bool wait, int limit_s = 60)
{
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(126);
        int in = open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (!wait || pid < 0)
        return pid;
    for (int waited = 0; waited < limit_s * 100; waited++) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return 0;
}

// User name -> the VLAN in its reply ("<reject>", "<no vlan>" or "<no
// reply>" otherwise). radclient runs one request at a time (-p 1), so each
// reply belongs to the request sent just before it.
std::map<std::string, std::string> vlans_by_user(const std::string &output)
{
    std::map<std::string, std::string> result;
    std::istringstream lines(output);
    std::string line, section, user;
    while (std::getline(lines, line)) {
        if (line.rfind("Sent ", 0) == 0) {
            section = "Sent";
            continue;
        }
        if (line.rfind("Received ", 0) == 0) {
            section = "Received";
            result[user] = line.find("Access-Accept") != std::string::npos ? "<no vlan>" : "<reject>";
            continue;
        }
        size_t eq = line.find(" = ");
        if (line.empty() || line[0] != '\t' || eq == std::string::npos)
            continue;
        std::string name = line.substr(1, eq - 1), value = line.substr(eq + 3);
        if (value.size() >= 2 && value.front() == '"')
            value = value.substr(1, value.size() - 2);
        if (section == "Sent" && name == "User-Name") {
            user = value;
            result.emplace(user, "<no reply>");
        }
        if (section == "Received" && name.rfind("Tunnel-Private-Group-Id", 0) == 0)
            result[user] = value;
    }
    return result;
}

TEST(DmAnswerBinding, DuplicatedAnswerNeverReachesAnotherUser)
{
    e2e::RigOptions options;
    options.users.clear();
    std::string policy, requests;
    for (int n = 1; n <= kUsers; n++) {
        std::string user = "u" + std::to_string(n);
        options.users += user + " Cleartext-Password := \"pw\"\n";
        policy += "rule " + user + "\n  match USER=" + user + "\n  answer ACCESS=true\n  answer VLAN_ID=" +
                  std::to_string(n) + "\n";
        requests += "User-Name=" + user + ",User-Password=pw,NAS-IP-Address=10.9.0.1,NAS-Port=" +
                    std::to_string(n) + ",Calling-Station-Id=00-00-5e-00-53-" +
                    (n < 10 ? "0" : "") + std::to_string(n) + "\n\n";
    }
    options.policy.clear();  // the test starts its own DM below

    e2e::Rig rig;
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    std::string error;
    ASSERT_TRUE(rig.start(std::string(info->test_suite_name()) + "." + info->name(), options, &error))
        << error;

    ASSERT_TRUE(write_text(rig.work + "/policy.conf", policy));
    // The first authorization request is answered twice, the copy 5 ms later.
    rig.dm.pid = run({QZ_E2E_DM_BINARY, "--policy", rig.work + "/policy.conf", "--port",
                      std::to_string(rig.dm_port), "--listen", "127.0.0.1", "--answer-twice", "1"},
                     "", rig.work + "/dm.log", false);
    for (int i = 0; i < 200 && read_text(rig.work + "/dm.log").find("listening on") == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_NE(read_text(rig.work + "/dm.log").find("listening on"), std::string::npos) << rig.logs();

    // One request at a time, back to back, so the copy arrives while the
    // next users are being decided.
    ASSERT_TRUE(write_text(rig.work + "/requests.txt", requests));
    run({QZ_E2E_RADCLIENT_BINARY, "-d", rig.conf, "-x", "-p", "1", "-t", "5", "-r", "1",
         "127.0.0.1:" + std::to_string(rig.auth_port), "auth", "testing123"},
        rig.work + "/requests.txt", rig.work + "/radclient-batch.log", true);

    std::map<std::string, std::string> vlans = vlans_by_user(read_text(rig.work + "/radclient-batch.log"));
    ASSERT_EQ(vlans.size(), static_cast<size_t>(kUsers)) << read_text(rig.work + "/radclient-batch.log");
    for (int n = 1; n <= kUsers; n++)
        EXPECT_EQ(vlans["u" + std::to_string(n)], std::to_string(n)) << "user u" << n << "\n" << rig.logs();
    EXPECT_NE(read_text(rig.work + "/dm.log").find("answer will be sent again"), std::string::npos);
    EXPECT_EQ(rig.wait_for("Request", kUsers).size(), static_cast<size_t>(kUsers));
}

}  // namespace
