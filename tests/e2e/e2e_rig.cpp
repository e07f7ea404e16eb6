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

#include <gtest/gtest.h>

#include <atomic>
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
            const std::vector<std::pair<std::string, std::string>> &env, int stdin_fd = -1,
            bool append_log = false)
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
    int out = open(log_path.c_str(),
                   O_WRONLY | O_CREAT | O_CLOEXEC | (append_log ? O_APPEND : O_TRUNC), 0644);
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

// Runs a command to its end (at most timeout_ms); true when it exited 0.
bool run_tool(const std::vector<std::string> &argv, const std::string &log_path, int timeout_ms,
              int *exit_code = nullptr)
{
    Child tool;
    tool.pid = spawn(argv, log_path, {});
    long long deadline = now_ms() + timeout_ms;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(tool.pid, &status, WNOHANG);
        if (done == tool.pid)
            break;
        if (done < 0 || now_ms() > deadline) {
            tool.stop();
            return false;
        }
        sleep_ms(20);
    }
    tool.pid = -1;
    if (exit_code)
        *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
                                             work + "/qzovx.trc\n" + options.properties)) {
        *error = "cannot write the test's files in " + work;
        return false;
    }

    // Certificates for the eap module, made fresh for every test.
    std::vector<std::string> certs_tool = {std::string(QZ_E2E_SOURCE_DIR) + "/scripts/eap-test-certs",
                                           certs()};
    certs_tool.insert(certs_tool.end(), options.client_certs.begin(), options.client_certs.end());
    if (!run_tool(certs_tool, work + "/eap-test-certs.log", 60000)) {
        *error = "eap-test-certs failed: " + read_file(work + "/eap-test-certs.log");
        return false;
    }

    std::vector<std::string> conf_tool = {std::string(QZ_E2E_SOURCE_DIR) + "/scripts/freeradius-conf",
                                          "--dir", conf, "--modules", QZ_E2E_MODULES_DIR,
                                          "--auth-port", std::to_string(auth_port),
                                          "--acct-port", std::to_string(acct_port),
                                          "--users", work + "/users", "--eap-certs", certs()};
    if (!options.dm_connections.empty()) {
        // The shipped module file with this one key changed.
        std::string module_conf =
            read_file(std::string(QZ_E2E_SOURCE_DIR) + "/src/modules/rlm_qzovx/qzovx.conf");
        const std::string key = "\n\tdm_connections = ";
        size_t at = module_conf.find(key);
        if (at == std::string::npos) {
            *error = "qzovx.conf has no dm_connections line";
            return false;
        }
        at += key.size();
        module_conf.replace(at, module_conf.find('\n', at) - at, options.dm_connections);
        if (!write_file(work + "/qzovx.conf", module_conf)) {
            *error = "cannot write the module's configuration";
            return false;
        }
        conf_tool.insert(conf_tool.end(), {"--module-conf", work + "/qzovx.conf"});
    }
    if (!options.nas_port_default)
        conf_tool.push_back("--no-nas-port-default");
    if (!options.accounting_queue)
        conf_tool.push_back("--accounting-direct");
    if (!run_tool(conf_tool, work + "/freeradius-conf.log", 60000)) {
        *error = "freeradius-conf failed: " + read_file(work + "/freeradius-conf.log");
        return false;
    }

    dm_answer_delay_ms = options.dm_answer_delay_ms;
    if (!options.policy.empty()) {
        if (!write_file(work + "/policy.conf", options.policy)) {
            *error = "cannot write the policy";
            return false;
        }
        if (!start_dm(error))
            return false;
    }

    std::vector<std::string> server_args = {QZ_E2E_FREERADIUS, "-X", "-d", conf};
    if (options.threaded)
        server_args = {QZ_E2E_FREERADIUS, "-f", "-l", "stdout", "-d", conf};
    server.pid = spawn(server_args, work + "/freeradius.log", {{"QZOVX_PROPERTIES", work + "/qzovx.prp"}});
    if (!wait_for_text(work + "/freeradius.log", "Ready to process requests", server, 30000)) {
        *error = "freeradius did not come up:\n" + tail(read_file(work + "/freeradius.log"), 3000);
        return false;
    }
    return true;
}

namespace {

// Starts radclient on one packet, its output into log.
void start_send(const Rig &rig, Child &client, const char *kind, int port, const std::string &attributes,
                const std::string &log)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    client.pid = spawn({QZ_E2E_RADCLIENT, "-d", rig.conf, "-x", "-t", "3", "-r", "1",
                        "127.0.0.1:" + std::to_string(port), kind, "testing123"},
                       log, {}, fds[0]);
    close(fds[0]);
    std::string line = attributes + "\n";
    ssize_t written = write(fds[1], line.data(), line.size());
    (void)written;
    close(fds[1]);
}

Reply send(const Rig &rig, const char *kind, int port, const std::string &attributes)
{
    std::string log = rig.work + "/radclient.log";
    Child client;
    start_send(rig, client, kind, port, attributes, log);
    long long deadline = now_ms() + 20000;
    while (client.running() && now_ms() < deadline)
        sleep_ms(20);
    client.stop();
    return parse_radclient(read_file(log));
}

} // namespace

bool Rig::start_dm(std::string *error)
{
    // A restarted DM continues the same log, so a test sees every message.
    std::string log = work + "/dm.log";
    size_t seen = read_file(log).size();
    dm.pid = spawn({QZ_E2E_DM, "--policy", work + "/policy.conf", "--port", std::to_string(dm_port),
                    "--listen", "127.0.0.1", "--answer-delay", std::to_string(dm_answer_delay_ms)},
                   log, {}, -1, true);
    long long deadline = now_ms() + 10000;
    for (;;) {
        if (read_file(log).find("listening on", seen) != std::string::npos)
            return true;
        if (!dm.running() || now_ms() > deadline) {
            *error = "qzovx-dm did not come up:\n" + read_file(log);
            return false;
        }
        sleep_ms(50);
    }
}

void Rig::stop_dm()
{
    dm.stop();
}

Reply Rig::auth(const std::string &attributes)
{
    return send(*this, "auth", auth_port, attributes);
}

Reply Rig::acct(const std::string &attributes)
{
    return send(*this, "acct", acct_port, attributes);
}

std::vector<Reply> Rig::auth_parallel(const std::vector<std::string> &packets)
{
    std::vector<Child> clients(packets.size());
    std::vector<std::string> logs;
    for (size_t i = 0; i < packets.size(); i++) {
        logs.push_back(work + "/radclient-parallel-" + std::to_string(i) + ".log");
        start_send(*this, clients[i], "auth", auth_port, packets[i], logs[i]);
    }
    long long deadline = now_ms() + 60000;
    for (Child &client : clients) {
        while (client.running() && now_ms() < deadline)
            sleep_ms(20);
        client.stop();
    }
    std::vector<Reply> replies;
    for (const std::string &log : logs)
        replies.push_back(parse_radclient(read_file(log)));
    return replies;
}

size_t Rig::acct_all(const std::vector<std::string> &packets)
{
    std::string text;
    for (const std::string &p : packets)
        text += p + "\n\n";
    std::string file = work + "/acct-packets.txt";
    if (!write_file(file, text))
        return 0;
    std::string log = work + "/radclient-all.log";
    run_tool({QZ_E2E_RADCLIENT, "-d", conf, "-x", "-t", "3", "-r", "1", "-p", "1", "-f", file,
              "127.0.0.1:" + std::to_string(acct_port), "acct", "testing123"},
             log, 120000);
    std::string output = read_file(log);
    size_t answered = 0;
    for (size_t at = 0; (at = output.find("Received Accounting-Response", at)) != std::string::npos;
         at++)
        answered++;
    return answered;
}

namespace {

// "RADIUS message: code=2 (Access-Accept) identifier=9 length=217", then
// "   Attribute 79 (EAP-Message) length=6" / "      Value: 03220004" pairs.
EapolResult parse_eapol(const std::string &output, bool success)
{
    EapolResult result;
    result.output = output;
    result.success = success;
    std::string code;  // of the message being read
    std::vector<std::pair<int, std::string>> attributes;
    auto finish = [&] {
        if (code == "Access-Accept" || code == "Access-Reject") {
            result.code = code;
            result.attributes = attributes;
        } else if (code == "Access-Request") {
            EapolResult sent;
            sent.attributes = attributes;
            result.request_eap_identifier = sent.eap_identifier();
        }
        code.clear();
        attributes.clear();
    };
    std::string_view text = output;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.substr(0, 21) == "RADIUS message: code=") {
            finish();
            size_t open = line.find('('), close = line.find(')');
            if (open != std::string_view::npos && close != std::string_view::npos && close > open)
                code = std::string(line.substr(open + 1, close - open - 1));
        } else if (!code.empty() && line.substr(0, 13) == "   Attribute ") {
            attributes.emplace_back(std::atoi(std::string(line.substr(13)).c_str()), "");
        } else if (!code.empty() && line.substr(0, 13) == "      Value: " && !attributes.empty()) {
            std::string value(line.substr(13));
            if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
                value = value.substr(1, value.size() - 2);
            attributes.back().second = value;
        } else if (!code.empty()) {
            finish();
        }
    }
    finish();
    return result;
}

} // namespace

EapolResult Rig::eapol(const std::string &network, int nas_port, const std::string &mac)
{
    static std::atomic<int> runs{0};  // runs may be made from several threads
    std::string name = work + "/eapol-" + std::to_string(++runs);
    std::string block = network;
    for (size_t at; (at = block.find("CERTS/")) != std::string::npos;)
        block.replace(at, 6, certs() + "/");
    std::string config = "network={\n\tkey_mgmt=IEEE8021X\n\tca_cert=\"" + certs() + "/ca.pem\"\n" +
                         block + "}\n";
    if (!write_file(name + ".conf", config))
        return EapolResult{};
    if (std::string(QZ_E2E_EAPOL_TEST).empty()) {
        EapolResult missing;
        missing.output = "eapol_test is not installed (package eapoltest; run scripts/setup)";
        return missing;
    }
    int exit_code = -1;
    run_tool({QZ_E2E_EAPOL_TEST, "-c", name + ".conf", "-a", "127.0.0.1", "-p",
              std::to_string(auth_port), "-s", "testing123", "-t", "10",
              "-N5:d:" + std::to_string(nas_port), "-M", mac},
             name + ".log", 30000, &exit_code);
    return parse_eapol(read_file(name + ".log"), exit_code == 0);
}

std::vector<std::string> EapolResult::values(int number) const
{
    std::vector<std::string> found;
    for (const auto &[n, v] : attributes)
        if (n == number)
            found.push_back(v);
    return found;
}

std::string EapolResult::value(int number) const
{
    std::vector<std::string> found = values(number);
    return found.empty() ? "<absent>" : found.front();
}

size_t EapolResult::vendor_attributes(unsigned vendor) const
{
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%08x", vendor);
    size_t n = 0;
    for (const std::string &v : values(26))
        n += v.compare(0, 8, prefix) == 0 ? 1 : 0;
    return n;
}

int EapolResult::eap_code() const
{
    std::string eap = value(79);
    return eap.size() >= 8 && eap != "<absent>" ? std::stoi(eap.substr(0, 2), nullptr, 16) : -1;
}

int EapolResult::eap_identifier() const
{
    std::string eap = value(79);
    return eap.size() >= 8 && eap != "<absent>" ? std::stoi(eap.substr(2, 2), nullptr, 16) : -1;
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
        DmMessage message;
        message.conn = std::strtoul(std::string(line.substr(0, blank)).c_str(), nullptr, 10);
        line.remove_prefix(blank + 1);
        size_t event_end = line.find(' ');
        message.event = std::string(line.substr(0, event_end));
        if (event_end != std::string_view::npos)
            message.fields = std::string(line.substr(event_end + 1));
        messages.push_back(message);
    }
    return messages;
}

std::vector<DmMessage> Rig::wait_for(const std::string &event, size_t count, int timeout_ms) const
{
    long long deadline = now_ms() + timeout_ms;
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

size_t Rig::wait_for_server_log(const std::string &text, size_t count, int timeout_ms) const
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        std::string log = read_file(work + "/freeradius.log");
        size_t found = 0;
        for (size_t at = 0; (at = log.find(text, at)) != std::string::npos; at += text.size())
            found++;
        if (found >= count || now_ms() > deadline)
            return found;
        sleep_ms(100);
    }
}

std::string test_name()
{
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

size_t count_with(const std::vector<DmMessage> &messages, const std::string &key,
                  const std::string &value)
{
    size_t n = 0;
    for (const DmMessage &m : messages)
        n += m.has(key, value) ? 1 : 0;
    return n;
}

std::string Rig::logs() const
{
    return "logs in " + work + "\n--- DM ---\n" + tail(read_file(work + "/dm.log"), 3000) +
           "\n--- freeradius (tail) ---\n" + tail(read_file(work + "/freeradius.log"), 4000);
}

} // namespace e2e
