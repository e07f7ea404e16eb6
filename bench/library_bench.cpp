// Costs of the library's per-request work: the decision parser, the key
// lookup, one callback resolution, and one authorization exchange (request,
// answer, Authorization report, reply attributes) through the library, side
// by side with a bare loopback client that writes the same bytes and reads
// the same answer from the same DM, in one run: the shared machine's noise
// hits both alike. The ratio BM_LibraryExchange / BM_BareExchange is the
// figure to watch (target: at most 1.5).
//
// The library traces as in production: to standard output (sent to
// /dev/null here) and to a trace file. QZOVX_BENCH_TRACE=none leaves the
// trace file out, =off every diagnostic, to see what tracing costs.
//
// Counting mode, for system calls and TCP segments per exchange:
//   QZOVX_BENCH_COUNT=library|bare QZOVX_BENCH_N=1000 strace -c qzovx_bench
// runs N exchanges on the main thread (the DM runs on other threads, which
// strace without -f does not follow) and prints the data segments each side
// sent per exchange, read from the sockets' TCP_INFO.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Authif.h"
#include "debug.h"
#include "dm_sock.h"
#include "fake_dm.h"
#include "ovxModuleAPI.h"
#include "test_host.h"

namespace {

std::string acl_with_entries(int n)
{
    std::string acl = "staff";
    for (int i = 0; i < n; ++i)
        acl += "|permit in tcp from any to 10." + std::to_string(i % 250) + ".0.0/16";
    return acl;
}

void BM_ParseAces(benchmark::State &state)
{
    std::string acl = acl_with_entries(static_cast<int>(state.range(0)));
    auto record = std::make_unique<OVX_USER_ACCESS>();
    for (auto _ : state)
        benchmark::DoNotOptimize(parseACEs(acl.data(), record.get()));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseAces)->Arg(4)->Arg(128);

void BM_GetParamLastKey(benchmark::State &state)
{
    std::string answer =
        "ACCESS=true\tVLAN_ID=20\tQOS=3\tBW_MAX_IN=10000\tBW_MAX_OUT=5000\tTIME=3600\t"
        "APG=staff\tPROFILE=employee\tLOCATION=b1\tACL=staff|a|b\tGLOBAL_RULE=1\tRULE_NO=7\t"
        "VLAN_INCAP=1\tQOS_INCAP=1\tBW_MAX_INCAP=1\tACL_INCAP=1\tDEFAULT_CAP=1\t\n";
    char key[] = "DEFAULT_CAP=";
    char value[3073];
    for (auto _ : state)
        benchmark::DoNotOptimize(ovx_get_param(answer.data(), key, value));
}
BENCHMARK(BM_GetParamLastKey);

void BM_OneCallbackCall(benchmark::State &state)
{
    qztest::register_host_callbacks();
    qztest::host_record_calls(false);  // the lookup, not the test host's call log
    qztest::FakeRequest request;
    for (auto _ : state)
        benchmark::DoNotOptimize(getRequestType(&request));
}
BENCHMARK(BM_OneCallbackCall);


constexpr char kDecision[] =
    "ACCESS=true\tVLAN_ID=20\tQOS=3\tBW_MAX_IN=10000\tBW_MAX_OUT=5000\tTIME=3600\t"
    "ACL=staff|permit in tcp from any to 10.0.0.0/8|deny in ip from any to any\t\n";

// A minimal DM: one thread per connection, reading lines and answering each
// authorization request with the fixed decision, bound by its REQ_ID. It
// keeps the last request and report it saw, so the bare client can send
// exactly the library's bytes.
class LoopbackDm {
public:
    LoopbackDm()
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(listener_, 16) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
            perror("bench DM");
            std::exit(1);
        }
        port_ = ntohs(address.sin_port);
        std::thread([this] { accept_loop(); }).detach();
    }
    int port() const { return port_; }

    std::string last_request()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return request_;
    }
    std::string last_report()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return report_;
    }
    // The server side of the newest connection, for its segment count.
    int newest_connection() const { return newest_.load(); }

private:
    void accept_loop()
    {
        for (;;) {
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            newest_ = fd;
            std::thread([this, fd] { serve(fd); }).detach();
        }
    }

    void serve(int fd)
    {
        std::string pending;
        char buffer[8192];
        for (;;) {
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                close(fd);
                return;
            }
            pending.append(buffer, static_cast<size_t>(n));
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end + 1);
                pending.erase(0, end + 1);
                if (line.rfind("EVENT=Request\t", 0) == 0) {
                    size_t at = line.find("\tREQ_ID=") + 8;
                    std::string answer = "REQ_ID=" + line.substr(at, line.find('\t', at) - at) + "\t" + kDecision;
                    send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
                    std::lock_guard<std::mutex> lock(mutex_);
                    request_ = line;
                } else if (line.rfind("EVENT=Authorization\t", 0) == 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    report_ = line + "\n";  // the report is followed by an empty line
                }
            }
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> newest_{-1};
    std::mutex mutex_;
    std::string request_, report_;
};

LoopbackDm &dm()
{
    static LoopbackDm instance;
    return instance;
}

// The library reads its settings once per process, so the properties must be
// written before the first exchange and stay.
void prepare_library()
{
    static bool prepared = false;
    if (prepared)
        return;
    std::string trace_path;
    // QZOVX_BENCH_TRACE=none: no trace file (standard output only); =off: no
    // diagnostics at all. For seeing what the trace costs.
    const char *trace = getenv("QZOVX_BENCH_TRACE");
    std::string trace_value = trace != nullptr && std::string(trace) != "file"
                                  ? "tmp/qzovx-no-such-directory/x.trc"
                                  : qztest::trace_file_value(&trace_path);
    qztest::write_properties("dm_port=" + std::to_string(dm().port()) + "\novx_rif_trace_file=" +
                             trace_value + "\n");
    qztest::host_reset();
    qztest::host_record_calls(false);  // the test host's call log is not the library's cost
    if (trace != nullptr && std::string(trace) == "off") {
        qztest::FakeRequest skipped;
        skipped.control_point = 3;
        skipped.request_type = 0;
        ovxauthorize(&skipped);  // initialises, then every diagnostic is off
        enable_debug = 0;
    }
    prepared = true;
}

// One exchange through the library, as the module drives it for a request.
bool library_exchange(OVX_USER_ACCESS *record)
{
    // The switch's request, described once: building the test host's maps is
    // not the library's work (the module hands over its request as it is).
    static qztest::FakeRequest request = [] {
        qztest::FakeRequest r;
        r.request_attrs = {{OVX_ATTR_REQUEST_ID, "10.1.2.31700-0F-1F-AA-BB-CC"},
                           {OVX_ATTR_USER_NAME, "alice"},
                           {OVX_ATTR_NAS_IP_ADDRESS, "10.1.2.3"},
                           {OVX_ATTR_NAS_PORT, "17"},
                           {OVX_ATTR_CALLING_STATION_ID, "00-0f-1f-aa-bb-cc"}};
        return r;
    }();
    // The host zero-fills the record; its 256 KiB ACE table is the host's
    // cost, and the library writes each entry before it is read.
    std::memset(record, 0, offsetof(OVX_USER_ACCESS, aces));
    std::memset(&record->aceCt, 0, sizeof(OVX_USER_ACCESS) - offsetof(OVX_USER_ACCESS, aceCt));
    request.user_access = record;
    request.added.clear();
    if (ovxauthorize(&request) != rcAccessAccept)
        return false;
    ovxrespond(&request);
    return request.added.size() > 3;
}

// The bare client: the same bytes on a plain blocking socket.
struct BareClient {
    int fd = -1;
    std::string request, report;

    bool open()
    {
        OVX_USER_ACCESS *record = new OVX_USER_ACCESS;
        bool ok = library_exchange(record);  // learn the library's bytes
        delete record;
        for (int i = 0; i < 100 && dm().last_report().empty(); i++)
            usleep(10000);
        request = dm().last_request();
        report = dm().last_report();
        if (!ok || request.empty() || report.empty())
            return false;
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(dm().port()));
        return connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }

    bool exchange()
    {
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            return false;
        char answer[3072];
        size_t got = 0;
        while (got == 0 || answer[got - 1] != '\n') {
            ssize_t n = recv(fd, answer + got, sizeof answer - got, 0);
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        return send(fd, report.data(), report.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(report.size());
    }
};

void BM_LibraryExchange(benchmark::State &state)
{
    prepare_library();
    auto record = std::make_unique<OVX_USER_ACCESS>();
    for (auto _ : state) {
        if (!library_exchange(record.get())) {
            state.SkipWithError("the DM's decision did not arrive");
            break;
        }
    }
}
BENCHMARK(BM_LibraryExchange)->UseRealTime();

void BM_BareExchange(benchmark::State &state)
{
    prepare_library();
    static BareClient client;
    if (client.fd < 0 && !client.open()) {
        state.SkipWithError("bare client could not start");
        return;
    }
    for (auto _ : state) {
        if (!client.exchange()) {
            state.SkipWithError("bare exchange failed");
            break;
        }
    }
}
BENCHMARK(BM_BareExchange)->UseRealTime();

unsigned data_segments_out(int fd)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (fd < 0 || getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return 0;
    return info.tcpi_data_segs_out;
}

// Counting mode: N exchanges on the main thread, segment counts printed.
int count(const std::string &mode, long n)
{
    prepare_library();
    auto record = std::make_unique<OVX_USER_ACCESS>();
    BareClient client;
    if (mode == "bare" ? !client.open() : !library_exchange(record.get()))
        return 1;
    usleep(100000);  // the DM has taken the connection
    int mine = mode == "bare" ? client.fd : dm_server[0].dm_sock;
    int theirs = dm().newest_connection();
    unsigned mine_before = data_segments_out(mine), theirs_before = data_segments_out(theirs);
    for (long i = 0; i < n; i++) {
        bool ok = mode == "bare" ? client.exchange() : library_exchange(record.get());
        if (!ok)
            return 1;
    }
    std::fprintf(stderr, "%s: %ld exchanges; data segments per exchange: to the DM %.2f, from the DM %.2f\n",
                 mode.c_str(), n, double(data_segments_out(mine) - mine_before) / double(n),
                 double(data_segments_out(theirs) - theirs_before) / double(n));
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    // Keep the library's trace off the terminal; results go to the real stdout.
    std::fflush(stdout);
    int results_fd = dup(STDOUT_FILENO);
    int null_fd = open("/dev/null", O_WRONLY);
    if (results_fd < 0 || null_fd < 0)
        return 1;
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);

    if (const char *mode = getenv("QZOVX_BENCH_COUNT")) {
        const char *n = getenv("QZOVX_BENCH_N");
        return count(mode, n != nullptr ? std::atol(n) : 1000);
    }

    std::ofstream results("/dev/fd/" + std::to_string(results_fd));
    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&results);
    reporter.SetErrorStream(&results);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
