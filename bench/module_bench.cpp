// The module's own cost per request as the session map grows: post-
// authentication and accounting through the module's entry points, with a
// stand-in server and a stand-in core (no DM, no server), at 1,000, 100,000
// and 1,000,000 recorded sessions. Reports the memory each session costs.
//
//   qzovx_module_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "fake_core.h"
#include "fake_server.h"
#include "module_internal.h"

namespace {

constexpr const char *kNas = "10.1.2.3";
constexpr const char *kMac = "00-0f-1f-aa-bb-cc";

// One instance filled with `sessions` distinct sessions (NAS-Port 1..n).
struct Filled {
    rlm_qzovx_t inst{};
    int64_t sessions = 0;
    double heap_bytes_per_session = 0;
    double rss_bytes_per_session = 0;

    ~Filled() { qz_module_forget_sessions(&inst); }
};

long rss_bytes()
{
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f == nullptr)
        return 0;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
        resident = 0;
    fclose(f);
    return resident * 4096;
}

std::unique_ptr<Filled> g_filled;

Filled &filled(int64_t sessions)
{
    if (g_filled && g_filled->sessions == sessions)
        return *g_filled;
    g_filled.reset();
    malloc_trim(0);
    fake::reset();
    fake::set_debug_level(0);
    fakecore::reset();
    auto f = std::make_unique<Filled>();
    f->inst.hashsize = 100000;  // as instantiation sets it
    qz_sessions_create(&f->inst);
    const size_t heap_before = mallinfo2().uordblks;
    const long rss_before = rss_bytes();
    qz_request req = fake::access_request(kNas, 1, kMac, "someone@campus.example");
    qz_pair &port = req.request_vps[1];
    freeradius_wrapper w{};
    w.request = &req;
    w.instance = &f->inst;
    for (int64_t i = 1; i <= sessions; ++i) {
        port.integer = static_cast<uint32_t>(i);
        cacheSession(&w);
    }
    f->heap_bytes_per_session = static_cast<double>(mallinfo2().uordblks - heap_before) / static_cast<double>(sessions);
    f->rss_bytes_per_session = static_cast<double>(rss_bytes() - rss_before) / static_cast<double>(sessions);
    f->sessions = sessions;
    g_filled = std::move(f);
    return *g_filled;
}

void report_memory(benchmark::State &state, const Filled &f)
{
    state.counters["sessions"] = static_cast<double>(f.sessions);
    state.counters["heap_B/session"] = f.heap_bytes_per_session;
    state.counters["rss_B/session"] = f.rss_bytes_per_session;
    state.SetItemsProcessed(state.iterations());
}

// An Access-Accept of a client whose session is already recorded (a
// re-authentication), at a random one of the recorded ports.
void BM_PostAuthKnownSession(benchmark::State &state)
{
    Filled &f = filled(state.range(0));
    qz_request req = fake::access_request(kNas, 1, kMac, "someone@campus.example");
    qz_pair &port = req.request_vps[1];
    std::mt19937 random(42);
    std::uniform_int_distribution<uint32_t> pick(1, static_cast<uint32_t>(f.sessions));
    for (auto _ : state) {
        port.integer = pick(random);
        req.reply_vps.clear();
        req.marks.clear();  // each iteration is a new request
        req.reply_code = 2;
        benchmark::DoNotOptimize(qz_module_post_auth(&f.inst, &req));
        fakecore::reset();
    }
    report_memory(state, f);
}

// A new client: Access-Accept, accounting Start and Stop, so the map stays
// at its size.
void BM_NewSessionStartStop(benchmark::State &state)
{
    Filled &f = filled(state.range(0));
    qz_request auth = fake::access_request(kNas, 1, "02-00-00-00-00-01", "guest");
    qz_request acct;
    acct.code = 4;
    fake::add(acct, 4, kNas);
    fake::add_int(acct, 5, 1);
    fake::add(acct, 31, "02-00-00-00-00-01");
    fake::add(acct, 44, "acct-1");
    qz_pair &status = fake::add_int(acct, 40, 1);
    uint32_t next = 1;
    for (auto _ : state) {
        auth.request_vps[1].integer = next;
        acct.request_vps[1].integer = next;
        next = next % 1000000 + 1;
        auth.reply_vps.clear();
        auth.marks.clear();
        auth.reply_code = 2;
        benchmark::DoNotOptimize(qz_module_post_auth(&f.inst, &auth));
        status.integer = 1;
        benchmark::DoNotOptimize(qz_module_accounting(&f.inst, &acct));
        status.integer = 2;
        benchmark::DoNotOptimize(qz_module_accounting(&f.inst, &acct));
        fakecore::reset();
    }
    report_memory(state, f);
}

}  // namespace

BENCHMARK(BM_PostAuthKnownSession)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NewSessionStartStop)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
