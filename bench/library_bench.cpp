// Costs of the library's per-request work: the decision parser, the
// key lookup, one callback resolution, and a whole authorization (request,
// decision, report and reply attributes) against a DM on loopback.
//
// The library writes its trace to standard output; the benchmark sends that
// to /dev/null and prints its own results on the original standard output.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "Authif.h"
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
    qztest::FakeRequest request;
    for (auto _ : state)
        benchmark::DoNotOptimize(getRequestType(&request));
}
BENCHMARK(BM_OneCallbackCall);

// One access request through the library: authorization request, decision,
// Authorization report and reply attributes.
void BM_AuthorizeAndRespond(benchmark::State &state)
{
    // The library reads its settings once per process, so the DM and the
    // properties must outlive every run of this benchmark.
    static qztest::FakeDm dm;
    static std::string trace_path;
    static bool prepared = false;
    if (!prepared) {
        dm.set_default_answer(std::string(
            "ACCESS=true\tVLAN_ID=20\tQOS=3\tBW_MAX_IN=10000\tBW_MAX_OUT=5000\tTIME=3600\t"
            "ACL=staff|permit in tcp from any to 10.0.0.0/8|deny in ip from any to any\t\n"));
        qztest::write_properties("dm_port=" + std::to_string(dm.port()) +
                                 "\novx_rif_trace_file=" +
                                 qztest::trace_file_value(&trace_path) + "\n");
        qztest::host_reset();
        prepared = true;
    }
    auto record = std::make_unique<OVX_USER_ACCESS>();
    for (auto _ : state) {
        qztest::FakeRequest request;
        std::memset(record.get(), 0, sizeof(OVX_USER_ACCESS));
        request.user_access = record.get();
        request.request_attrs = {{OVX_ATTR_REQUEST_ID, "10.1.2.31700-0F-1F-AA-BB-CC"},
                                 {OVX_ATTR_USER_NAME, "alice"},
                                 {OVX_ATTR_NAS_IP_ADDRESS, "10.1.2.3"},
                                 {OVX_ATTR_NAS_PORT, "17"},
                                 {OVX_ATTR_CALLING_STATION_ID, "00-0f-1f-aa-bb-cc"}};
        int verdict = ovxauthorize(&request);
        if (verdict != rcAccessAccept) {
            state.SkipWithError("the DM's decision did not arrive");
            break;
        }
        ovxrespond(&request);
        benchmark::DoNotOptimize(request.added.size());
    }
}
BENCHMARK(BM_AuthorizeAndRespond)->UseRealTime();

}  // namespace

int main(int argc, char **argv)
{
    // Keep the library's trace off the terminal; results go to the real stdout.
    std::fflush(stdout);
    int results_fd = dup(STDOUT_FILENO);
    int null_fd = open("/dev/null", O_WRONLY);
    if (results_fd < 0 || null_fd < 0)
        return 1;
    if (getenv("QZOVX_BENCH_SHOW_TRACE") == nullptr)
        dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
    std::ofstream results("/dev/fd/" + std::to_string(results_fd));

    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&results);
    reporter.SetErrorStream(&results);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
