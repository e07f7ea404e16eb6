// The request id: the key under which a client's session is known to the DM
// and to the session lists.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "module_internal.h"
#include "qz_text.h"

namespace {

constexpr unsigned kNasIpAddress = 4;
constexpr unsigned kNasPort = 5;
constexpr unsigned kCallingStationId = 31;
// The port text holds at most 7 characters.
constexpr size_t kPortText = 8;

}  // namespace

extern "C" void getfreeRADRequestId(freeradius_wrapper *request, char *ref)
{
    if (request == nullptr || request->request == nullptr || ref == nullptr)
        return;
    qz_request *req = request->request;
    char work[QZ_ID_BUFFER] = {};

    const qz_pair *nas_ip = srv_find(req, SRV_REQUEST_LIST, 0, kNasIpAddress);
    if (nas_ip == nullptr) {
        qzmod::log_notice(req, "rpm_qzovx: request does not contain a NAS-IP-Address, cannot form requestid");
        return;
    }
    qz_append(work, sizeof work, srv_pair_text(req, nas_ip));

    const qz_pair *nas_port = srv_find(req, SRV_REQUEST_LIST, 0, kNasPort);
    if (nas_port == nullptr) {
        qzmod::log_notice(req, "rlm_qzovx: request does not contain a NAS-Port, cannot form requestid");
        return;
    }
    // A port number of 0 may stand for a port the server holds only as text.
    char port[kPortText] = {};
    const uint32_t port_number = srv_pair_integer(nas_port);
    if (port_number != 0) {
        char digits[16];
        snprintf(digits, sizeof digits, "%i", static_cast<int>(port_number));
        qz_copy(port, sizeof port, digits);
    } else {
        qz_copy(port, sizeof port, srv_pair_text(req, nas_port));
    }
    qz_append(work, sizeof work, port);

    const qz_pair *station = srv_find(req, SRV_REQUEST_LIST, 0, kCallingStationId);
    if (station == nullptr) {
        qzmod::log_notice(req, "rlm_qzovx: request does not contain a Calling-Station-Id, cannot form requestid");
        return;
    }
    qz_append(work, sizeof work, srv_pair_text(req, station));

    for (char &c : work)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));

    qz_copy(ref, QZ_ID_BUFFER, work);
    qzmod::log_notice(req, "return from getfreeRADRequestId, value %s ", ref);
}
