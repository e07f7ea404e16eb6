// qzovx-dm: a stand-in decision manager for trying the agent out, for the
// demo and for the end-to-end tests.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "options.h"
#include "policy.h"
#include "server.h"

int main(int argc, char **argv)
{
    qzdm::Options options;
    std::string error;
    if (!qzdm::parse_options(argc, argv, &options, &error)) {
        std::fprintf(stderr, "qzovx-dm: %s\n%s", error.c_str(), qzdm::kUsage);
        return 2;
    }
    if (options.help) {
        std::fputs(qzdm::kUsage, stdout);
        return 0;
    }

    qzdm::Policy policy;
    if (!qzdm::load_policy(options.policy_path, &policy, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return options.check ? 1 : 2;
    }
    std::printf("qzovx-dm: policy %s: %zu rule%s, %s\n", options.policy_path.c_str(),
                policy.rules.size(), policy.rules.size() == 1 ? "" : "s",
                policy.fallback ? "with a default" : "no default (unmatched requests are refused)");
    std::fflush(stdout);
    if (options.check)
        return 0;

    FILE *json_log = nullptr;
    if (!options.json_log_path.empty()) {
        json_log = std::fopen(options.json_log_path.c_str(), "w");
        if (json_log == nullptr) {
            std::fprintf(stderr, "qzovx-dm: cannot open %s: %s\n", options.json_log_path.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    int status = qzdm::run_server(options, policy, json_log);
    if (json_log != nullptr)
        std::fclose(json_log);
    return status;
}
