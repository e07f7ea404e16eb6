#include "fake_core.h"

#include <cstdarg>
#include <cstdio>

#include "debug.h"
#include "ovxModuleAPI.h"

namespace {

int g_verdict = 0;
int g_account_result = 0;
std::function<void(freeradius_wrapper *)> g_on_authorize;
std::vector<fakecore::Call> g_calls;
std::vector<std::pair<std::string, int>> g_registrations;
std::vector<std::string> g_dprintf;

void record(const char *entry, void *packet)
{
    auto *w = static_cast<freeradius_wrapper *>(packet);
    fakecore::Call call{entry, w->request, w->instance, w->ovxStatus, w->control_point, w->user_access != nullptr, 0, 0,
                        srv_reply_code(w->request)};
    if (w->user_access != nullptr) {
        call.src = w->user_access->src;
        call.return_code = w->user_access->return_code;
    }
    g_calls.push_back(call);
}

}  // namespace

namespace fakecore {

void reset()
{
    g_verdict = 0;
    g_account_result = 0;
    g_on_authorize = nullptr;
    g_calls.clear();
    g_registrations.clear();
    g_dprintf.clear();
}

void set_verdict(int verdict) { g_verdict = verdict; }
void set_account_result(int result) { g_account_result = result; }
void on_authorize(std::function<void(freeradius_wrapper *)> fn) { g_on_authorize = std::move(fn); }
const std::vector<Call> &calls() { return g_calls; }
const std::vector<std::pair<std::string, int>> &registrations() { return g_registrations; }
const std::vector<std::string> &dprintf_lines() { return g_dprintf; }

std::vector<std::string> entries()
{
    std::vector<std::string> names;
    for (const Call &c : g_calls)
        names.push_back(c.entry);
    return names;
}

}  // namespace fakecore

extern "C" {

void addCallBack(char *, char *name, int callback)
{
    g_registrations.emplace_back(name, callback);
}

int ovxauthorize(void *radiusPacket)
{
    record("ovxauthorize", radiusPacket);
    if (g_on_authorize)
        g_on_authorize(static_cast<freeradius_wrapper *>(radiusPacket));
    return g_verdict;
}

void *ovxrespond(void *inpacket)
{
    record("ovxrespond", inpacket);
    return nullptr;
}

int ovxaccount(void *radiusPacket)
{
    record("ovxaccount", radiusPacket);
    return g_account_result;
}

int _dprintf(const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    g_dprintf.emplace_back(line);
    return n;
}

}  // extern "C"
