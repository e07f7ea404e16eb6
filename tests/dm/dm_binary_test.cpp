// Runs the real qzovx-dm on an ephemeral loopback port and talks to it the
// way the agent does.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(Fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

// The tool as a child process with its stdout and stderr on pipes.
struct Child {
    pid_t pid = -1;
    Fd out, err;
    std::string out_text, err_text;
    int status = -1;

    ~Child()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    bool start(const std::vector<std::string> &args)
    {
        int out_pipe[2], err_pipe[2];
        if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
        std::vector<char *> argv;
        std::string binary = QZOVX_DM_BINARY;
        argv.push_back(binary.data());
        std::vector<std::string> copy = args;
        for (std::string &a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out_pipe[1]);
        close(err_pipe[1]);
        out.fd = out_pipe[0];
        err.fd = err_pipe[0];
        if (rc != 0)
            pid = -1;
        return rc == 0;
    }

    // Appends what stdout delivers within timeout_ms; false on timeout or end.
    bool read_some(int timeout_ms)
    {
        pollfd p{out.fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char chunk[4096];
        ssize_t n = read(out.fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        out_text.append(chunk, static_cast<size_t>(n));
        return true;
    }

    // Reads stdout until it holds needle or the time is up.
    bool wait_for_output(const std::string &needle, int timeout_ms = 5000)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out_text.find(needle) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || !read_some(static_cast<int>(left.count())))
                return false;
        }
        return true;
    }

    static void drain(int fd, std::string *into)
    {
        char chunk[4096];
        ssize_t n;
        while ((n = read(fd, chunk, sizeof chunk)) > 0)
            into->append(chunk, static_cast<size_t>(n));
    }

    // Waits for the exit (killing the child after the timeout) and collects output.
    bool wait_exit(int timeout_ms = 5000)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid = -1;
        drain(out.fd, &out_text);
        drain(err.fd, &err_text);
        return true;
    }

    // Waits for the whole "listening on" line and returns its port, or -1.
    int wait_for_port()
    {
        const std::string marker = "qzovx-dm: listening on 127.0.0.1:";
        if (!wait_for_output(marker))
            return -1;
        size_t at = out_text.find(marker) + marker.size();
        while (out_text.find('\n', at) == std::string::npos)
            if (!read_some(2000))
                return -1;
        return std::atoi(out_text.c_str() + at);
    }
};

Fd connect_to(int port)
{
    Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s.fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return Fd();
    return s;
}

void send_text(const Fd &s, const std::string &text)
{
    ASSERT_EQ(send(s.fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Sends a message piece by piece, the way the agent writes it.
void send_pieces(const Fd &s, const std::vector<std::string> &pieces)
{
    for (const std::string &p : pieces) {
        send_text(s, p);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Reads until a line feed (or timeout); returns what arrived.
std::string read_line(const Fd &s, int timeout_ms = 3000)
{
    std::string text;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (text.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{s.fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char chunk[4096];
        ssize_t n = recv(s.fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

std::string read_file(const std::string &path)
{
    std::string text;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return text;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        text.append(chunk, n);
    std::fclose(f);
    return text;
}

std::string temp_path(const char *stem)
{
    return "/tmp/" + std::string(stem) + "." + std::to_string(getpid());
}

TEST(DmBinary, ServesAgentsOverLoopbackAndStopsCleanly)
{
    std::string json_path = temp_path("dm_binary_test.json");
    Child dm;
    ASSERT_TRUE(dm.start({"--policy", QZOVX_EXAMPLE_POLICY, "--port", "0", "--json-log", json_path}));
    int port = dm.wait_for_port();
    ASSERT_GT(port, 0) << dm.out_text;

    Fd agent = connect_to(port);
    ASSERT_GE(agent.fd, 0);
    send_text(agent, "EVENT=Startup\t\n");
    send_pieces(agent, {"EVENT=SERVERINFO", "SERVER=QZ OVX  freeRADIUS Plugin version B.02.45",
                        "OVXAPI=OVX Native API B.02.43, with EI extensions", "\n"});

    // A second agent's request is answered while the first is mid-message.
    Fd other = connect_to(port);
    ASSERT_GE(other.fd, 0);
    send_pieces(agent, {"EVENT=", "Request\t", "REQ_ID=10.1.2.31700-0F-1F-AA-BB-CC\t"});
    send_text(other, "EVENT=Request\tREQ_ID=x\tUSER=mallory\tNAS_IP=10.1.2.3\tPORT=3\t\n");
    // Every answer starts with the request's own REQ_ID.
    EXPECT_EQ(read_line(other), "REQ_ID=x\tACCESS=false\t\n");
    send_pieces(agent, {"USER=alice\t", "HI_STATE=ok\t", "CLIENT_MAC=00-0F-1F-AA-BB-CC\t",
                        "NAS_IP=10.1.2.3\t", "PORT=17\t", "HI_STATE=ei\t", "\n"});
    std::string answer = read_line(agent);
    EXPECT_EQ(answer.rfind("REQ_ID=10.1.2.31700-0F-1F-AA-BB-CC\tACCESS=true\tVLAN_ID=20\tQOS=3\t", 0), 0u)
        << answer;
    EXPECT_EQ(answer.back(), '\n');
    EXPECT_EQ(answer.find('\n'), answer.size() - 1);  // exactly one line

    // Messages that get no answer, then a device matched by its MAC prefix.
    send_text(agent, "EVENT=Authorization\tUSER=alice\tVLAN_ID=20\tRESPONSE=Accept\t\n\n");
    send_text(agent, "EVENT=AccountingRequest\tNAS_IP=10.1.2.3\tACCT_STATUS=Start\t\n");
    send_text(agent, std::string(70000, 'x') + "\n");
    send_text(agent, "EVENT=Request\tREQ_ID=y\tUSER=00-0f-1f-01-02-03\tCLIENT_MAC=00-0f-1f-01-02-03\t"
                     "NAS_IP=10.1.2.3\tPORT=4\t\n");
    EXPECT_EQ(read_line(agent), "REQ_ID=y\tACCESS=true\tVLAN_ID=30\tQOS=1\tPROFILE=printer\t\n");
    send_text(agent, "EVENT=Shutdown\t\n");
    ASSERT_TRUE(dm.wait_for_output("Shutdown\n"));
    agent.reset();
    other.reset();
    ASSERT_TRUE(dm.wait_for_output("conn#1 closed\n"));
    ASSERT_TRUE(dm.wait_for_output("conn#2 closed\n"));

    ASSERT_EQ(kill(dm.pid, SIGTERM), 0);
    ASSERT_TRUE(dm.wait_exit());
    ASSERT_TRUE(WIFEXITED(dm.status));
    EXPECT_EQ(WEXITSTATUS(dm.status), 0);

    const std::string &log = dm.out_text;
    EXPECT_NE(log.find("] conn#1 Startup\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] conn#1 SERVERINFO SERVER=QZ OVX  freeRADIUS Plugin version B.02.45OVXAPI="),
              std::string::npos);
    EXPECT_NE(log.find("] conn#1 Request REQ_ID=10.1.2.31700-0F-1F-AA-BB-CC USER=alice HI_STATE=ok "
                       "CLIENT_MAC=00-0F-1F-AA-BB-CC NAS_IP=10.1.2.3 PORT=17 HI_STATE=ei\n"),
              std::string::npos);
    EXPECT_NE(log.find("] conn#1 -> ACCESS=true VLAN_ID=20 QOS=3"), std::string::npos);
    EXPECT_NE(log.find("] conn#2 -> ACCESS=false (rule mallory)\n"), std::string::npos);
    EXPECT_NE(log.find("] conn#1 Authorization USER=alice VLAN_ID=20 RESPONSE=Accept\n"),
              std::string::npos);
    EXPECT_NE(dm.err_text.find("line longer than 65536 bytes dropped"), std::string::npos)
        << dm.err_text;

    // One JSON object per message: Startup, SERVERINFO, two requests of
    // conn#1, one of conn#2, report, accounting, shutdown.
    std::string json = read_file(json_path);
    std::remove(json_path.c_str());
    size_t lines = 0;
    for (char c : json)
        lines += c == '\n';
    EXPECT_EQ(lines, 8u) << json;
    EXPECT_NE(json.find("\"HI_STATE\":[\"ok\",\"ei\"]"), std::string::npos) << json;
    EXPECT_NE(json.find("\"answer\":{\"rule\":\"mallory\""), std::string::npos);
}

TEST(DmBinary, DelayedAnswersLeaveInTurnAfterTheirDelay)
{
    Child dm;
    ASSERT_TRUE(dm.start({"--policy", QZOVX_EXAMPLE_POLICY, "--port", "0", "--quiet", "--answer-delay", "400",
                          "--answer-twice", "1"}));
    int port = dm.wait_for_port();
    ASSERT_GT(port, 0) << dm.out_text;

    Fd agent = connect_to(port);
    ASSERT_GE(agent.fd, 0);
    auto sent = Clock::now();
    // Two requests at once on one connection: the first answer (and its
    // copy) before the second, each no sooner than the delay.
    send_text(agent, "EVENT=Request\tREQ_ID=a\tUSER=mallory\t\nEVENT=Request\tREQ_ID=b\tUSER=mallory\t\n");
    std::string answers;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (std::count(answers.begin(), answers.end(), '\n') < 3 && Clock::now() < deadline)
        answers += read_line(agent, 1000);
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
    EXPECT_EQ(answers, "REQ_ID=a\tACCESS=false\t\nREQ_ID=a\tACCESS=false\t\nREQ_ID=b\tACCESS=false\t\n");
    EXPECT_GE(waited.count(), 380);
}

TEST(DmBinary, RefusesBadPolicyWithFileLineAndStatus)
{
    std::string path = temp_path("dm_binary_test.conf");
    FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("rule a\n  answer ACCESS=true\n  answer QOS=fast\n", f);
    std::fclose(f);

    Child start;
    ASSERT_TRUE(start.start({"--policy", path, "--port", "0"}));
    ASSERT_TRUE(start.wait_exit());
    EXPECT_EQ(WEXITSTATUS(start.status), 2);
    EXPECT_EQ(start.err_text, path + ":3: bad number 'fast' for QOS\n");
    EXPECT_EQ(start.out_text.find("listening"), std::string::npos);

    Child check;
    ASSERT_TRUE(check.start({"--policy", path, "--check"}));
    ASSERT_TRUE(check.wait_exit());
    EXPECT_EQ(WEXITSTATUS(check.status), 1);
    std::remove(path.c_str());

    Child good;
    ASSERT_TRUE(good.start({"--policy", QZOVX_EXAMPLE_POLICY, "--check"}));
    ASSERT_TRUE(good.wait_exit());
    EXPECT_EQ(WEXITSTATUS(good.status), 0);

    Child usage;
    ASSERT_TRUE(usage.start({"--port", "0"}));
    ASSERT_TRUE(usage.wait_exit());
    EXPECT_EQ(WEXITSTATUS(usage.status), 2);
    EXPECT_NE(usage.err_text.find("--policy FILE is required"), std::string::npos);
}

}  // namespace
