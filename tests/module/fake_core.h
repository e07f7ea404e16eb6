// A stand-in for the core library's side of the module: records the
// registrations and the entry-point calls and answers with a scripted
// verdict. Linked instead of libqzovx, so each test sees exactly what the
// module hands over.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "module.h"

namespace fakecore {

struct Call {
    std::string entry;       // "ovxauthorize", "ovxrespond" or "ovxaccount"
    qz_request *request;     // the wrapper's request
    rlm_qzovx_t *instance;   // the wrapper's instance
    int ovx_status;          // the wrapper's verdict at the call
    int control_point;
    bool has_user_access;
    uint32_t src;            // of the user-access record at the call
    uint32_t return_code;
    int reply_code;          // the request's reply code at the call
};

void reset();
void set_verdict(int verdict);  // what ovxauthorize returns (default 0)
void set_account_result(int result);  // what ovxaccount returns (default 0)
// Runs inside ovxauthorize, with the wrapper the module passed.
void on_authorize(std::function<void(freeradius_wrapper *)> fn);

const std::vector<Call> &calls();
std::vector<std::string> entries();  // the entry names of calls(), in order
const std::vector<std::pair<std::string, int>> &registrations();
const std::vector<std::string> &dprintf_lines();

}  // namespace fakecore
