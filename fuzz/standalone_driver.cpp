// Runs a fuzz target without libFuzzer, so the targets also run in ordinary
// (g++, sanitizer) builds: every seed file once, then a bounded number of
// deterministic pseudo-random mutations of them.
//
//   target [-runs=N] [-max_total_time=S] [-seed=X] [-max_len=L] [-timeout=S]
//          [-artifact_prefix=P] PATH...
//
// PATH is a seed file or a folder of them. The same seed value always gives
// the same inputs, so a failure found in CI is found again by re-running the
// command. When an input crashes, trips a sanitizer or runs longer than the
// timeout, it is written to P + "crash-input" (or "timeout-input") first.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define QZ_FUZZ_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QZ_FUZZ_SANITIZED 1
#endif
#ifdef QZ_FUZZ_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

struct Options {
    long runs = 1000;
    double max_seconds = 10;
    uint64_t seed = 1;
    size_t max_len = 16384;
    unsigned timeout = 10;
    std::string artifact_prefix = "./";
    std::vector<std::string> paths;
};

// The input being run, for the crash and timeout handlers.
const uint8_t *g_current = nullptr;
size_t g_current_size = 0;
char g_crash_path[4096];
char g_timeout_path[4096];

// Only async-signal-safe calls: runs from signal handlers.
void save_current(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    size_t done = 0;
    while (g_current != nullptr && done < g_current_size) {
        ssize_t n = write(fd, g_current + done, g_current_size - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    const char note[] = "\nfuzz: input saved to ";
    (void)!write(STDERR_FILENO, note, sizeof note - 1);
    (void)!write(STDERR_FILENO, path, strlen(path));
    (void)!write(STDERR_FILENO, "\n", 1);
}

#ifdef QZ_FUZZ_SANITIZED
// The sanitizers report crashes themselves and then call this.
void on_sanitizer_death()
{
    save_current(g_crash_path);
}
#endif

void on_crash_signal(int signum)
{
    save_current(g_crash_path);
    signal(signum, SIG_DFL);
    raise(signum);
}

void on_timeout(int)
{
    const char note[] = "\nfuzz: input ran longer than the timeout\n";
    (void)!write(STDERR_FILENO, note, sizeof note - 1);
    save_current(g_timeout_path);
    _exit(70);
}

void install_handlers()
{
#ifdef QZ_FUZZ_SANITIZED
    __sanitizer_set_death_callback(on_sanitizer_death);
    signal(SIGABRT, on_crash_signal);  // a failed invariant; not a sanitizer report
#else
    for (int signum : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL})
        signal(signum, on_crash_signal);
#endif
    signal(SIGALRM, on_timeout);
}

// xorshift64*: small, fast and the same on every platform.
struct Random {
    uint64_t state;
    uint64_t next()
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 2685821657736338717ULL;
    }
    size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(next() % n); }
};

// Pieces that mean something to one of our parsers.
constexpr std::string_view kTokens[] = {
    "\t", "\n", "\r\n", "\r", "|", "=", "#", " ", "*", std::string_view("\0", 1),
    "ACCESS=true", "ACCESS=false", "ACL=", "VLAN_ID=", "QOS=", "BW_MAX_IN=", "TIME=",
    "RETURN_CODE=", "HI_STATE=", "LOCATION=", "GLOBAL_RULE=", "DEFAULT_CAP=",
    "-2147483648", "4294967296", "99999999999999999999", "EVENT=", "EVENT=Request\t",
    "EVENT=SERVERINFO", "USER=", "CLIENT_MAC=", "rule ", "match ", "answer ", "default",
    "dm_port=", "ovx_rif_trace_file=", "qz_ei_attributename=", "debug_server=",
};

void mutate_once(Bytes &in, const std::vector<Bytes> &pool, Random &rng, size_t max_len)
{
    switch (rng.below(9)) {
    case 0:  // flip a bit
        if (!in.empty())
            in[rng.below(in.size())] ^= static_cast<uint8_t>(1u << rng.below(8));
        break;
    case 1:  // any byte
        if (!in.empty())
            in[rng.below(in.size())] = static_cast<uint8_t>(rng.next());
        break;
    case 2: {  // insert a token
        std::string_view token = kTokens[rng.below(std::size(kTokens))];
        in.insert(in.begin() + static_cast<long>(rng.below(in.size() + 1)), token.begin(),
                  token.end());
        break;
    }
    case 3: {  // overwrite with a token
        std::string_view token = kTokens[rng.below(std::size(kTokens))];
        if (in.size() >= token.size())
            std::copy(token.begin(), token.end(),
                      in.begin() + static_cast<long>(rng.below(in.size() - token.size() + 1)));
        break;
    }
    case 4: {  // delete a range
        if (in.empty())
            break;
        size_t at = rng.below(in.size());
        size_t n = 1 + rng.below(std::min<size_t>(in.size() - at, 64));
        in.erase(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + n));
        break;
    }
    case 5: {  // copy a range somewhere else
        if (in.empty())
            break;
        size_t at = rng.below(in.size());
        size_t n = 1 + rng.below(in.size() - at);
        Bytes piece(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + n));
        in.insert(in.begin() + static_cast<long>(rng.below(in.size() + 1)), piece.begin(),
                  piece.end());
        break;
    }
    case 6: {  // a long run of one byte
        size_t n = 1 + rng.below(rng.below(4) == 0 ? 4096 : 64);
        uint8_t c = rng.below(2) ? static_cast<uint8_t>(rng.next()) : static_cast<uint8_t>('a');
        in.insert(in.begin() + static_cast<long>(rng.below(in.size() + 1)), n, c);
        break;
    }
    case 7:  // cut the end off
        in.resize(rng.below(in.size() + 1));
        break;
    case 8: {  // splice with another seed
        if (pool.empty())
            break;
        const Bytes &other = pool[rng.below(pool.size())];
        size_t keep = rng.below(in.size() + 1);
        size_t from = rng.below(other.size() + 1);
        in.resize(keep);
        in.insert(in.end(), other.begin() + static_cast<long>(from), other.end());
        break;
    }
    }
    if (in.size() > max_len)
        in.resize(max_len);
}

bool read_file(const std::string &path, Bytes &out)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        out.insert(out.end(), chunk, chunk + n);
    fclose(file);
    return true;
}

// Seed files of a folder in name order, or the one file named.
bool collect_seeds(const std::string &path, std::vector<std::string> &files)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return false;
    if (!S_ISDIR(info.st_mode)) {
        files.push_back(path);
        return true;
    }
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return false;
    std::vector<std::string> names;
    while (dirent *entry = readdir(dir)) {
        std::string full = path + "/" + entry->d_name;
        if (entry->d_name[0] != '.' && stat(full.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            names.push_back(full);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    files.insert(files.end(), names.begin(), names.end());
    return true;
}

double seconds_since(const timespec &start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

void run_one(const Bytes &input, unsigned timeout)
{
    // Own copy of exactly the input's size, so reads past the end are caught.
    uint8_t *copy = new uint8_t[input.empty() ? 1 : input.size()];
    std::copy(input.begin(), input.end(), copy);
    g_current = copy;
    g_current_size = input.size();
    alarm(timeout);
    LLVMFuzzerTestOneInput(copy, input.size());
    alarm(0);
    g_current = nullptr;
    g_current_size = 0;
    delete[] copy;
}

bool parse_options(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; i++) {
        std::string_view arg = argv[i];
        auto value = [&](std::string_view name, const char **out) {
            if (arg.substr(0, name.size()) != name)
                return false;
            *out = argv[i] + name.size();
            return true;
        };
        const char *v = nullptr;
        if (value("-runs=", &v))
            options.runs = strtol(v, nullptr, 10);
        else if (value("-max_total_time=", &v))
            options.max_seconds = strtod(v, nullptr);
        else if (value("-seed=", &v))
            options.seed = strtoull(v, nullptr, 10);
        else if (value("-max_len=", &v))
            options.max_len = strtoul(v, nullptr, 10);
        else if (value("-timeout=", &v))
            options.timeout = static_cast<unsigned>(strtoul(v, nullptr, 10));
        else if (value("-artifact_prefix=", &v))
            options.artifact_prefix = v;
        else if (arg.substr(0, 1) == "-") {
            fprintf(stderr, "fuzz: unknown option %s\n", argv[i]);
            return false;
        } else
            options.paths.emplace_back(arg);
    }
    return !options.paths.empty();
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse_options(argc, argv, options)) {
        fprintf(stderr,
                "usage: %s [-runs=N] [-max_total_time=S] [-seed=X] [-max_len=L] [-timeout=S] "
                "[-artifact_prefix=P] PATH...\n",
                argv[0]);
        return 2;
    }
    snprintf(g_crash_path, sizeof g_crash_path, "%scrash-input", options.artifact_prefix.c_str());
    snprintf(g_timeout_path, sizeof g_timeout_path, "%stimeout-input",
             options.artifact_prefix.c_str());
    install_handlers();

    std::vector<std::string> files;
    for (const std::string &path : options.paths) {
        if (!collect_seeds(path, files)) {
            fprintf(stderr, "fuzz: cannot read %s\n", path.c_str());
            return 2;
        }
    }
    std::vector<Bytes> pool;
    for (const std::string &file : files) {
        Bytes seed;
        if (!read_file(file, seed)) {
            fprintf(stderr, "fuzz: cannot read %s\n", file.c_str());
            return 2;
        }
        run_one(seed, options.timeout);
        pool.push_back(std::move(seed));
    }
    if (pool.empty())
        pool.emplace_back();

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    Random rng{options.seed * 0x9E3779B97F4A7C15ULL + 1};
    Bytes input;
    long done = 0;
    size_t longest = 0;
    for (; done < options.runs; done++) {
        if ((done & 63) == 0 && seconds_since(start) > options.max_seconds)
            break;
        // Mostly a fresh seed; sometimes keep stacking on the last input so
        // inputs can grow well past the seeds.
        if (done == 0 || rng.below(4) != 0)
            input = pool[rng.below(pool.size())];
        for (size_t n = 1 + rng.below(6); n > 0; n--)
            mutate_once(input, pool, rng, options.max_len);
        longest = std::max(longest, input.size());
        run_one(input, options.timeout);
    }
    fprintf(stderr, "fuzz: %zu seed(s), %ld mutation(s) in %.1f s, longest input %zu bytes: ok\n",
            files.size(), done, seconds_since(start), longest);
    return 0;
}
