#include "e2e_rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace e2e {
namespace {

void sleep_ms(int ms)
{
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

long long now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

std::string read_file(const std::string &path)
{
    std::string text;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    std::fclose(f);
    return text;
}

bool write_file(const std::string &path, const std::string &text)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

std::string tail(const std::string &text, size_t bytes)
{
    return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

// A port that nothing listens on right now (the kernel's pick).
int free_port(int type)
{
    int fd = socket(AF_INET, type, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

// Starts argv[0] with stdout and stderr into log_path and stdin from
// stdin_fd (or /dev/null). The child dies with the test process.
pid_t spawn(const std::vector<std::string> &argv, const std::string &log_path,
            const std::vector<std::pair<std::string, std::string>> &env, int stdin_fd = -1)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0)
        return pid;

    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(126);
    for (const auto &[name, value] : env)
        setenv(name.c_str(), value.c_str(), 1);
    int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int in = stdin_fd >= 0 ? stdin_fd : open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 || dup2(in, 0) < 0)
        _exit(126);
    execv(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
}

// Waits until `needle` shows in the file, the child ends, or time is up.
bool wait_for_text(const std::string &path, const std::string &needle, Child &child,
                   int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        if (read_file(path).find(needle) != std::string::npos)
            return true;
        if (!child.running() || now_ms() > deadline)
            return false;
        sleep_ms(50);
    }
}

std::string strip_tag(std::string name)
{
    size_t colon = name.rfind(':');
    if (colon != std::string::npos && colon + 1 < name.size() &&
        name.find_first_not_of("0123456789", colon + 1) == std::string::npos)
        name.erase(colon);
    return name;
}

std::string unquote(std::string value)
{
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return value;
}

Reply parse_radclient(const std::string &output)
{
    Reply reply;
    reply.output = output;
    std::string_view text = output;
    bool in_reply = false;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.substr(0, 9) == "Received ") {
            std::string_view rest = line.substr(9);
            reply.code = std::string(rest.substr(0, rest.find(' ')));
            in_reply = true;
            continue;
        }
        if (!in_reply)
            continue;
        if (line.empty() || line[0] != '\t') {
            in_reply = false;
            continue;
        }
        line.remove_prefix(1);
        size_t eq = line.find(" = ");
        if (eq == std::string_view::npos)
            continue;
        reply.attributes.emplace_back(strip_tag(std::string(line.substr(0, eq))),
                                      unquote(std::string(line.substr(eq + 3))));
    }
    return reply;
}

} // namespace

void Child::stop()
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    long long deadline = now_ms() + 5000;
    int status;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (now_ms() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        sleep_ms(20);
    }
    pid = -1;
}

bool Child::running()
{
    if (pid <= 0)
        return false;
    int status;
    if (waitpid(pid, &status, WNOHANG) == 0)
        return true;
    pid = -1;
    return false;
}

std::vector<std::string> Reply::values(const std::string &name) const
{
    std::vector<std::string> found;
    for (const auto &[n, v] : attributes)
        if (n == name)
            found.push_back(v);
    return found;
}

std::string Reply::value(const std::string &name) const
{
    std::vector<std::string> found = values(name);
    return found.empty() ? "<absent>" : found.front();
}

bool DmMessage::has(const std::string &key, const std::string &value) const
{
    // Fields are written "KEY=VALUE" separated by blanks; a value may hold
    // blanks itself, so a match must end at a blank that starts another
    // KEY= or at the end.
    std::string wanted = key + "=" + value;
    size_t at = 0;
    while ((at = fields.find(wanted, at)) != std::string::npos) {
        bool starts = at == 0 || fields[at - 1] == ' ';
        size_t after = at + wanted.size();
        bool ends = after == fields.size() || fields[after] == ' ';
        if (starts && ends)
            return true;
        at++;
    }
    return false;
}

bool Rig::start(const std::string &name, const RigOptions &options, std::string *error)
{
    work = std::string(QZ_E2E_WORK_DIR) + "/" + name;
    conf = work + "/raddb";
    std::string wipe = "rm -rf '" + work + "' && mkdir -p '" + work + "'";
    if (std::system(wipe.c_str()) != 0) {
        *error = "cannot prepare " + work;
        return false;
    }

    auth_port = free_port(SOCK_DGRAM);
    acct_port = free_port(SOCK_DGRAM);
    dm_port = free_port(SOCK_STREAM);
    if (!auth_port || !acct_port || !dm_port || auth_port == acct_port) {
        *error = "no free loopback ports";
        return false;
    }

    if (!write_file(work + "/users", options.users) ||
        !write_file(work + "/qzovx.prp", "dm_port=" + std::to_string(dm_port) +
                                             "\n"
                                             // The library puts "/var/" before the
                                             // value: climb back to the work folder.
                                             "ovx_rif_trace_file=.." +
                                             work + "/qzovx.trc\n")) {
        *error = "cannot write the test's files in " + work;
        return false;
    }

    Child conf_tool;
    conf_tool.pid = spawn({std::string(QZ_E2E_SOURCE_DIR) + "/scripts/freeradius-conf", "--dir",
                           conf, "--modules", QZ_E2E_MODULES_DIR, "--auth-port",
                           std::to_string(auth_port), "--acct-port", std::to_string(acct_port),
                           "--users", work + "/users"},
                          work + "/freeradius-conf.log", {});
    int status = 0;
    if (conf_tool.pid < 0 || waitpid(conf_tool.pid, &status, 0) != conf_tool.pid ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        conf_tool.pid = -1;
        *error = "freeradius-conf failed: " + read_file(work + "/freeradius-conf.log");
        return false;
    }
    conf_tool.pid = -1;

    if (!options.policy.empty()) {
        if (!write_file(work + "/policy.conf", options.policy)) {
            *error = "cannot write the policy";
            return false;
        }
        dm.pid = spawn({QZ_E2E_DM, "--policy", work + "/policy.conf", "--port",
                        std::to_string(dm_port), "--listen", "127.0.0.1"},
                       work + "/dm.log", {});
        if (!wait_for_text(work + "/dm.log", "listening on", dm, 10000)) {
            *error = "qzovx-dm did not come up:\n" + read_file(work + "/dm.log");
            return false;
        }
    }

    server.pid = spawn({QZ_E2E_FREERADIUS, "-X", "-d", conf}, work + "/freeradius.log",
                       {{"QZOVX_PROPERTIES", work + "/qzovx.prp"}});
    if (!wait_for_text(work + "/freeradius.log", "Ready to process requests", server, 30000)) {
        *error = "freeradius did not come up:\n" + tail(read_file(work + "/freeradius.log"), 3000);
        return false;
    }
    return true;
}

namespace {

Reply send(const Rig &rig, const char *kind, int port, const std::string &attributes)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return Reply{};
    std::string log = rig.work + "/radclient.log";
    Child client;
    client.pid = spawn({QZ_E2E_RADCLIENT, "-d", rig.conf, "-x", "-t", "3", "-r", "1",
                        "127.0.0.1:" + std::to_string(port), kind, "testing123"},
                       log, {}, fds[0]);
    close(fds[0]);
    std::string line = attributes + "\n";
    ssize_t written = write(fds[1], line.data(), line.size());
    (void)written;
    close(fds[1]);

    long long deadline = now_ms() + 20000;
    while (client.running() && now_ms() < deadline)
        sleep_ms(20);
    client.stop();
    return parse_radclient(read_file(log));
}

} // namespace

Reply Rig::auth(const std::string &attributes)
{
    return send(*this, "auth", auth_port, attributes);
}

Reply Rig::acct(const std::string &attributes)
{
    return send(*this, "acct", acct_port, attributes);
}

std::vector<DmMessage> Rig::dm_messages() const
{
    std::vector<DmMessage> messages;
    std::string text = read_file(work + "/dm.log");
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        // "[12:00:01.123] conn#1 EVENT KEY=VALUE ..."
        size_t conn = line.find("] conn#");
        if (line.empty() || line[0] != '[' || conn == std::string_view::npos)
            continue;
        line.remove_prefix(conn + 7);
        size_t blank = line.find(' ');
        if (blank == std::string_view::npos)
            continue;
        line.remove_prefix(blank + 1);
        size_t event_end = line.find(' ');
        DmMessage message;
        message.event = std::string(line.substr(0, event_end));
        if (event_end != std::string_view::npos)
            message.fields = std::string(line.substr(event_end + 1));
        messages.push_back(message);
    }
    return messages;
}

std::vector<DmMessage> Rig::wait_for(const std::string &event, size_t count) const
{
    long long deadline = now_ms() + 5000;
    for (;;) {
        std::vector<DmMessage> found;
        for (DmMessage &m : dm_messages())
            if (m.event == event)
                found.push_back(m);
        if (found.size() >= count || now_ms() > deadline)
            return found;
        sleep_ms(50);
    }
}

std::string Rig::logs() const
{
    return "logs in " + work + "\n--- DM ---\n" + tail(read_file(work + "/dm.log"), 3000) +
           "\n--- freeradius (tail) ---\n" + tail(read_file(work + "/freeradius.log"), 4000);
}

} // namespace e2e
