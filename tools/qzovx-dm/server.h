// The socket side of qzovx-dm: a single-threaded poll loop serving any
// number of agent connections until SIGINT or SIGTERM.
#pragma once

#include <cstdio>

#include "options.h"
#include "policy.h"

namespace qzdm {

// Listens as the options say, prints the "listening on" line, then serves.
// json_log may be null. Returns the process exit status.
int run_server(const Options &options, const Policy &policy, FILE *json_log);

}  // namespace qzdm
